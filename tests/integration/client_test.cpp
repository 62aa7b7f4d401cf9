// CClient against a small server on loopback: the wire bytes, the receive
// thread, and closes from every thread that the session uses.
#include "net/client.h"
#include "tests/support/loopback.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// What the receive callback saw; the callback is a plain function.
struct Received {
    std::mutex mtx;
    std::string strData;
    int nCalls = 0;
    CClient* pCloseFromCallback = nullptr;
    std::atomic<bool> bCallbackFinished{false};
} g_received;

void OnReceive(const char* pData, int32_t nLength) {
    CClient* pClose = nullptr;
    {
        std::lock_guard lock(g_received.mtx);
        g_received.strData.append(pData, static_cast<size_t>(nLength));
        ++g_received.nCalls;
        pClose = g_received.pCloseFromCallback;
    }
    if (pClose != nullptr) {
        pClose->Close();
        // The caller's remaining work still runs after the close.
        pClose->SendSessionEnd();
        g_received.bCallbackFinished = true;
    }
}

std::string ReceivedData() {
    std::lock_guard lock(g_received.mtx);
    return g_received.strData;
}

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard lock(g_received.mtx);
        g_received.strData.clear();
        g_received.nCalls = 0;
        g_received.pCloseFromCallback = nullptr;
        g_received.bCallbackFinished = false;
    }
    TcpListener m_listener;
};

TEST_F(ClientTest, SessionMessagesHaveTheirWireBytes) {
    EXPECT_EQ(CClient::MakeSessionStart(30), std::string("\x6C\x1E\x00", 3));
    EXPECT_EQ(CClient::MakeSessionStart(0x1234), std::string("\x6C\x34\x12", 3));

    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(client.SendSessionStart(30), 3);
    EXPECT_EQ(client.SendTestRequest(4), 1);
    EXPECT_EQ(client.SendSessionEnd(), 1);
    EXPECT_EQ(ReadBytes(peer, 5), std::string("\x6C\x1E\x00\x04\x00", 5));
    close(peer);
}

TEST_F(ClientTest, CallbackReceivesExactlyWhatTheServerSent) {
    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept();
    std::string strSent;
    for (int i = 0; i < 5000; ++i) {
        strSent += static_cast<char>(i % 251);
    }
    ASSERT_EQ(send(peer, strSent.data(), strSent.size(), 0), static_cast<ssize_t>(strSent.size()));
    EXPECT_TRUE(WaitUntil([&] { return ReceivedData().size() == strSent.size(); }));
    EXPECT_EQ(ReceivedData(), strSent);
    close(peer);
}

TEST_F(ClientTest, ServerCloseEndsTheReceiveThreadAndLaterSendsFail) {
    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    EXPECT_TRUE(client.IsConnected());
    close(m_listener.Accept());
    EXPECT_TRUE(WaitUntil([&] { return !client.IsConnected() && !client.IsRunning(); }));
    EXPECT_EQ(client.GetExitCode(), 0u) << "the receive thread is still running";
    EXPECT_EQ(client.Send("x", 1), -1);
    EXPECT_EQ(client.SendSessionEnd(), -1);
    EXPECT_EQ(ReceivedData(), "") << "no callback for the end of the connection";
}

TEST_F(ClientTest, ConnectWhileConnectedDropsTheOldConnectionFirst) {
    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    const int first = m_listener.Accept();
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    const int second = m_listener.Accept();
    EXPECT_EQ(ReadBytes(first, 1, 2s), "") << "the old connection is still open";
    EXPECT_EQ(client.Send("n", 1), 1);
    EXPECT_EQ(ReadBytes(second, 1), "n");
    send(second, "ok", 2, 0);
    EXPECT_TRUE(WaitUntil([&] { return ReceivedData() == "ok"; }));
    close(first);
    close(second);
}

TEST_F(ClientTest, FailedConnectKeepsTheErrorText) {
    CClient client(OnReceive);
    EXPECT_EQ(client.GetErrorText(), "");
    EXPECT_FALSE(client.Connect("127.0.0.1", UnusedPort()));
    EXPECT_EQ(client.GetErrorText(), "WSAECONNREFUSED\nConnection refused");
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Send("x", 1), -1);
    client.Close();
    client.Close();
}

TEST_F(ClientTest, CloseFromInsideTheReceiveCallbackCompletes) {
    CClient client(OnReceive);
    {
        std::lock_guard lock(g_received.mtx);
        g_received.pCloseFromCallback = &client;
    }
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept();
    send(peer, "\x00", 1, 0);
    EXPECT_TRUE(WaitUntil([&] { return g_received.bCallbackFinished.load(); }));
    EXPECT_TRUE(WaitUntil([&] { return client.GetExitCode() == 0; }));
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(ReadBytes(peer, 1, 2s), "") << "the connection was not closed";
    close(peer);
}

TEST_F(ClientTest, CloseFromAnotherThreadIsSafeAgainstConcurrentSends) {
    for (int round = 0; round < 20; ++round) {
        CClient client(OnReceive);
        ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
        const int peer = m_listener.Accept();
        std::atomic<bool> bStop{false};
        auto sender = std::async(std::launch::async, [&] {
            const std::string block(1000, 'a');
            while (!bStop) {
                client.Send(block.data(), static_cast<int>(block.size()));
            }
        });
        std::this_thread::sleep_for(2ms);
        const auto start = std::chrono::steady_clock::now();
        client.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
        EXPECT_EQ(client.Send("x", 1), -1);
        bStop = true;
        sender.get();
        close(peer);
    }
}

} // namespace
