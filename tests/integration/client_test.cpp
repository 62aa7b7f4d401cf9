// CClient against a small server on loopback: the wire bytes, the receive
// thread, and closes from every thread that the session uses.
#include "net/client.h"
#include "tests/support/loopback.h"

#include <algorithm>
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
    int nLargest = 0;          // the longest single receive
    std::atomic<int> nEnds{0}; // calls with length 0: the connection ended
    CClient* pCloseFromCallback = nullptr;
    std::atomic<bool> bCallbackFinished{false};
} g_received;

void OnReceive(const char* pData, int32_t nLength) {
    CClient* pClose = nullptr;
    if (nLength == 0) {
        ++g_received.nEnds;
        return;
    }
    {
        std::lock_guard lock(g_received.mtx);
        g_received.strData.append(pData, static_cast<size_t>(nLength));
        g_received.nLargest = std::max(g_received.nLargest, nLength);
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
        g_received.nLargest = 0;
        g_received.nEnds = 0;
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

TEST_F(ClientTest, CallbackReceivesExactlyWhatTheServerSentInLargeReceives) {
    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept();
    std::string strSent;
    for (int i = 0; i < 1000000; ++i) {
        strSent += static_cast<char>(i % 251);
    }
    ASSERT_EQ(send(peer, strSent.data(), strSent.size(), 0), static_cast<ssize_t>(strSent.size()));
    EXPECT_TRUE(WaitUntil([&] { return ReceivedData().size() == strSent.size(); }));
    EXPECT_TRUE(ReceivedData() == strSent) << "the bytes differ";
    // The download arrives on this connection: it is read in large blocks.
    std::lock_guard lock(g_received.mtx);
    EXPECT_GT(g_received.nLargest, 16384);
    EXPECT_LE(g_received.nLargest, CClient::RECEIVE_BUFFER);
    close(peer);
}

TEST_F(ClientTest, ServerCloseEndsTheReceiveThreadAndLaterSendsFail) {
    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", m_listener.Port()));
    EXPECT_TRUE(client.IsConnected());
    close(m_listener.Accept());
    // The run flag clears just before the thread ends: wait for the end itself.
    EXPECT_TRUE(WaitUntil([&] {
        return !client.IsConnected() && !client.IsRunning() && client.GetExitCode() == 0u;
    })) << "the receive thread is still running";
    EXPECT_EQ(client.Send("x", 1), -1);
    EXPECT_EQ(client.SendSessionEnd(), -1);
    EXPECT_EQ(client.GetErrorText(), "WSAENOTCONN\nSocket is not connected");
    EXPECT_EQ(ReceivedData(), "");
    EXPECT_EQ(g_received.nEnds, 1) << "the owner must learn once that the node is gone";
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
    client.Close();
    EXPECT_TRUE(WaitUntil([&] { return client.GetExitCode() == 0; }));
    EXPECT_EQ(g_received.nEnds, 0) << "the owner's own closes are not reported back";
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
        EXPECT_LT(std::chrono::steady_clock::now() - start, Promptly(100ms));
        EXPECT_EQ(client.Send("x", 1), -1);
        bStop = true;
        sender.get();
        close(peer);
    }
}

TEST_F(ClientTest, ConnectIsBoundedAndACloseFromAnotherThreadCancelsIt) {
    const size_t nDescriptors = CountEntries("/proc/self/fd");
    // A listener whose accept queue is full: it drops the SYNs of further
    // connects, which hang as against a node that does not answer.
    const int listener = BoundLoopbackSocket(SOCK_STREAM);
    const int queued = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    listen(listener, 0); // room for one connection: this one
    const sockaddr_in addr = LoopbackAddress(LocalPort(listener));
    ASSERT_EQ(connect(queued, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    {
        CClient client(OnReceive);
        client.SetConnectTimeout(200);
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.Connect("127.0.0.1", LocalPort(listener)));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(client.GetErrorText(), "WSAETIMEDOUT\nConnection timed out");

        // The caller connects on a thread of its own; Close cancels at once.
        client.SetConnectTimeout(CClient::CONNECT_TIMEOUT_MS);
        auto connecting = std::async(
            std::launch::async, [&] { return client.Connect("127.0.0.1", LocalPort(listener)); });
        ASSERT_EQ(connecting.wait_for(300ms), std::future_status::timeout) << "it did not hang";
        start = std::chrono::steady_clock::now();
        client.Close();
        ASSERT_EQ(connecting.wait_for(2s), std::future_status::ready) << "Close did not cancel it";
        EXPECT_LT(std::chrono::steady_clock::now() - start, Promptly(100ms));
        EXPECT_FALSE(connecting.get());
        EXPECT_EQ(client.GetErrorText(), "WSAEINTR\nInterrupted function call");
        EXPECT_FALSE(client.IsConnected());
        EXPECT_FALSE(client.IsRunning());
    }
    close(queued);
    close(listener);
    EXPECT_EQ(g_received.nEnds, 0);
    EXPECT_EQ(CountEntries("/proc/self/fd"), nDescriptors) << "a descriptor was left open";
}

TEST_F(ClientTest, ControlMessagesGiveUpWhenTheNodeHasStoppedReading) {
    // The node's receive buffer stays small and fixed, so that its window,
    // once full, does not open again while it reads nothing.
    const int listener = BoundLoopbackSocket(SOCK_STREAM);
    const int nReceiveBuffer = 16384;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
    listen(listener, 1);
    CClient client(OnReceive);
    ASSERT_TRUE(client.Connect("127.0.0.1", LocalPort(listener)));
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    ASSERT_GE(peer, 0);
    // Upload data until the connection takes no more.
    const auto pSocket = client.GetSocket();
    ASSERT_TRUE(pSocket->SetOption(SOL_SOCKET, SO_SNDBUF, 20000));
    const std::string strBlock(65536, 'u');
    size_t nUploaded = 0;
    for (const int nSize : {65536, 1}) { // a small write may still fit where a large one did not
        for (int nSent; (nSent = pSocket->SendAvailable(strBlock.data(), nSize, 50)) > 0;) {
            nUploaded += static_cast<size_t>(nSent);
        }
    }
    ASSERT_GT(nUploaded, 0u);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.SendSessionStart(30), -1);
    EXPECT_EQ(client.SendTestRequest(2), -1);
    EXPECT_EQ(client.SendSessionEnd(), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * 250ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(client.GetErrorText(), "WSAETIMEDOUT\nConnection timed out");
    EXPECT_EQ(GetWinsockErrorText(), "WSAETIMEDOUT\nConnection timed out");
    EXPECT_TRUE(client.IsConnected()) << "a control message that waited in vain is no close";

    // Once the node reads again, a message goes whole, right after the
    // upload: the ones that gave up left no byte behind.
    const std::string strUpload = ReadBytes(peer, nUploaded);
    EXPECT_EQ(strUpload.size(), nUploaded);
    EXPECT_EQ(strUpload.find_first_not_of('u'), std::string::npos);
    EXPECT_EQ(client.SendTestRequest(3), 1);
    EXPECT_EQ(ReadBytes(peer, 1), "\x03");
    EXPECT_EQ(ReadBytes(peer, 1, 100ms), "");
    close(peer);
}

} // namespace
