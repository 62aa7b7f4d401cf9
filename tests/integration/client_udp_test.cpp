// CClientUDP against plain datagram sockets on loopback: where its datagrams
// come from, what its receive thread delivers (each datagram of a batch on
// its own, with its sender and arrival), and that only Close ends it. Peers
// sit on 127.0.0.2 so that they may share the client's port number.
#include "net/client_udp.h"
#include "tests/support/loopback.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <tuple>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

using Datagram = std::tuple<std::string, std::string, uint16_t>; // data, from address, from port

struct Received {
    std::mutex mtx;
    std::vector<Datagram> datagrams;
    std::vector<CClientUDP::Clock::time_point> arrivals;
} g_received;

void OnDatagram(const char* pData, int32_t nLength, const std::string& strAddress, uint16_t nPort,
                CClientUDP::Clock::time_point arrival) {
    std::lock_guard lock(g_received.mtx);
    g_received.datagrams.emplace_back(std::string(pData, static_cast<size_t>(nLength)), strAddress,
                                      nPort);
    g_received.arrivals.push_back(arrival);
}

std::vector<Datagram> ReceivedDatagrams() {
    std::lock_guard lock(g_received.mtx);
    return g_received.datagrams;
}

void SendDatagram(int fd, const std::string& strData, uint16_t nPort) {
    const sockaddr_in to = LoopbackAddress(nPort);
    ASSERT_EQ(sendto(fd, strData.data(), strData.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to),
              static_cast<ssize_t>(strData.size()));
}

class ClientUdpTest : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard lock(g_received.mtx);
            g_received.datagrams.clear();
            g_received.arrivals.clear();
        }
        m_peer = UdpSocketOn("127.0.0.2");
        ASSERT_GE(m_peer, 0);
        m_nPort = LocalPort(m_peer);
    }
    void TearDown() override { close(m_peer); }

    int m_peer = -1;
    uint16_t m_nPort = 0; // the peer's port, and the client's
};

TEST_F(ClientUdpTest, SendsFromItsBoundAddressAndDeliversWhatItReceives) {
    CClientUDP client(OnDatagram);
    ASSERT_TRUE(client.Open("127.0.0.1", m_nPort)) << client.GetErrorText();
    EXPECT_TRUE(client.IsOpen());
    EXPECT_EQ(client.SendTo("upload", 6, "127.0.0.2", m_nPort), 6);

    char buffer[64];
    sockaddr_in from{};
    socklen_t nFromLen = sizeof from;
    ASSERT_EQ(
        recvfrom(m_peer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &nFromLen),
        6);
    EXPECT_EQ(std::string(buffer, 6), "upload");
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(from.sin_port), m_nPort);

    SendDatagram(m_peer, "download", m_nPort);
    ASSERT_TRUE(WaitUntil([] { return ReceivedDatagrams().size() == 1; }));
    EXPECT_EQ(ReceivedDatagrams()[0], Datagram("download", "127.0.0.2", m_nPort));
}

TEST_F(ClientUdpTest, DeliversEachDatagramOfABatchWithItsSenderAndArrival) {
    CClientUDP client(OnDatagram);
    ASSERT_TRUE(client.Open("127.0.0.1", m_nPort)) << client.GetErrorText();
    const int other = UdpSocketOn("127.0.0.3", m_nPort);
    ASSERT_GE(other, 0);
    // Offloaded batches, kept together up to a socket that takes offloaded
    // reads, and others' datagrams of 3 KB between them: more than one read.
    std::vector<Datagram> expected;
    const auto before = CClientUDP::Clock::now();
    for (int nRound = 0; nRound < 40; ++nRound) {
        std::string strDatagram = "batch " + std::to_string(nRound);
        strDatagram.resize(1000, '.');
        bool bSegmentation = true;
        ASSERT_EQ(SendDatagramCopies(m_peer, strDatagram.data(), 1000, htonl(INADDR_LOOPBACK),
                                     m_nPort, 10, bSegmentation),
                  10);
        ASSERT_TRUE(bSegmentation);
        expected.insert(expected.end(), 10, Datagram(strDatagram, "127.0.0.2", m_nPort));
        const std::string strOther = "from .3 #" + std::to_string(nRound) + std::string(3000, '+');
        SendDatagram(other, strOther, m_nPort);
        expected.emplace_back(strOther, "127.0.0.3", m_nPort);
    }
    ASSERT_TRUE(WaitUntil([&] { return ReceivedDatagrams().size() >= expected.size(); }));
    const auto after = CClientUDP::Clock::now();
    close(other);
    EXPECT_EQ(ReceivedDatagrams(), expected);
    std::lock_guard lock(g_received.mtx);
    EXPECT_TRUE(std::all_of(g_received.arrivals.begin(), g_received.arrivals.end(),
                            [&](auto arrival) { return arrival >= before && arrival <= after; }));
}

TEST_F(ClientUdpTest, EmptyDatagramsAndPortUnreachableDoNotEndTheReceiveThread) {
    CClientUDP client(OnDatagram);
    ASSERT_TRUE(client.Open("127.0.0.1", m_nPort));
    // Report ICMP errors on this unconnected socket, as other platforms do.
    ASSERT_TRUE(client.GetSocket()->SetOption(SOL_IP, IP_RECVERR, 1));

    SendDatagram(m_peer, "", m_nPort);
    const int closed = UdpSocketOn("127.0.0.3");
    const uint16_t nClosedPort = LocalPort(closed);
    close(closed);
    EXPECT_EQ(client.SendTo("x", 1, "127.0.0.3", nClosedPort), 1);

    SendDatagram(m_peer, "still here", m_nPort);
    ASSERT_TRUE(WaitUntil([] { return !ReceivedDatagrams().empty(); }));
    EXPECT_EQ(std::get<0>(ReceivedDatagrams().back()), "still here");
    EXPECT_TRUE(client.IsOpen());
    EXPECT_TRUE(client.IsRunning());
    EXPECT_EQ(client.SendTo("y", 1, "127.0.0.2", m_nPort), 1);
}

TEST_F(ClientUdpTest, CloseEndsTheReceiveThreadAndOpenWorksAgain) {
    CClientUDP client(OnDatagram);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(client.Open("127.0.0.1", m_nPort)) << "the port was not released";
        EXPECT_EQ(client.GetExitCode(), CThread::STILL_ACTIVE);
        const auto start = std::chrono::steady_clock::now();
        client.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, Promptly(100ms));
        EXPECT_TRUE(WaitUntil([&] { return client.GetExitCode() == 0; }))
            << "a receive blocked on the socket was not released";
        EXPECT_FALSE(client.IsOpen());
        EXPECT_EQ(client.SendTo("x", 1, "127.0.0.2", m_nPort), -1);
        EXPECT_EQ(client.GetErrorText(), "");
    }
    client.Close();
}

TEST_F(ClientUdpTest, FailedOpenGivesTheSocketErrorTextAndLeavesNothingOpen) {
    CClientUDP client(OnDatagram);
    EXPECT_FALSE(client.Open("192.0.2.1", m_nPort)); // not an address of this machine
    EXPECT_EQ(client.GetErrorText(), "WSAEADDRNOTAVAIL\nCannot assign requested address");
    EXPECT_FALSE(client.IsOpen());
    EXPECT_FALSE(client.IsRunning());
    EXPECT_EQ(client.SendTo("x", 1, "127.0.0.2", m_nPort), -1) << "sent from an unbound socket";

    EXPECT_FALSE(client.Open("127.0.0.2", m_nPort)); // the peer holds it
    EXPECT_EQ(client.GetErrorText(), "WSAEADDRINUSE\nAddress already in use");
    // A name is no address: it reads as the broadcast address, which no
    // interface holds.
    EXPECT_FALSE(client.Open("localhost", m_nPort));
    EXPECT_EQ(client.GetErrorText(), "WSAEADDRNOTAVAIL\nCannot assign requested address");

    ASSERT_TRUE(client.Open("127.0.0.1", m_nPort));
    EXPECT_TRUE(client.IsOpen());
}

} // namespace
