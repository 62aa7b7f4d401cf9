// CTrafficSender against real sinks on loopback: the bytes on the wire in both
// modes, restarts, and stops that must come back soon whatever the peer does.
#include "net/traffic_sender.h"
#include "tests/support/loopback.h"

#include <atomic>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

constexpr size_t BLOCK = CTrafficSender::BLOCK_SIZE;

void OnNodeBytes(const char*, int32_t) {}
void OnDatagram(const char*, int32_t, const std::string&, uint16_t, CClientUDP::Clock::time_point) {
}

// Datagrams waiting on fd or arriving within the wait; stops at nMax.
std::vector<std::string> ReceiveDatagrams(int fd, size_t nMax, std::chrono::milliseconds wait,
                                          std::vector<sockaddr_in>* pFrom = nullptr) {
    std::vector<std::string> datagrams;
    char buffer[2048];
    pollfd pfd{fd, POLLIN, 0};
    while (datagrams.size() < nMax && poll(&pfd, 1, static_cast<int>(wait.count())) == 1) {
        sockaddr_in from{};
        socklen_t nFromLen = sizeof from;
        const ssize_t n =
            recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &nFromLen);
        datagrams.emplace_back(buffer, static_cast<size_t>(n < 0 ? 0 : n));
        if (pFrom != nullptr) {
            pFrom->push_back(from);
        }
    }
    return datagrams;
}

size_t CountThreads() {
    return CountEntries("/proc/self/task");
}

// Bytes sent on fd that have not yet been read from peer.
int Unread(int fd, int peer) {
    int nUnsent = 0;
    int nQueued = 0;
    ioctl(fd, SIOCOUTQ, &nUnsent);
    ioctl(peer, FIONREAD, &nQueued);
    return nUnsent + nQueued;
}

template <typename F> std::chrono::milliseconds TimeOf(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

class TrafficSenderTest : public ::testing::Test {
protected:
    CClient m_client{OnNodeBytes};
    CClientUDP m_clientUdp{OnDatagram};
    CTrafficSender m_sender{&m_client, &m_clientUdp}; // declared last: stopped first
    TcpListener m_listener;
};

TEST_F(TrafficSenderTest, TcpStreamIsWholeIdenticalBlocksUpToEachStop) {
    ASSERT_TRUE(m_client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept();
    ASSERT_GE(peer, 0);
    // A small send buffer cuts the sender's writes short, so that stops
    // come inside a block.
    ASSERT_TRUE(m_client.GetSocket()->SetOption(SOL_SOCKET, SO_SNDBUF, 20000));
    // A UDP upload before: the stream's sender must not inherit its low priority.
    const int sink = UdpSocketOn("127.0.0.2");
    ASSERT_TRUE(m_clientUdp.Open("127.0.0.1", LocalPort(sink)));
    m_sender.Start(false, "127.0.0.2", LocalPort(sink));
    ASSERT_EQ(ReceiveDatagrams(sink, 10, 2s).size(), 10u);
    close(sink);
    // The sink reads throughout, as the node does.
    std::atomic<size_t> nReceived{0};
    auto reader = std::async(std::launch::async, [&] {
        std::string strData;
        char buffer[65536];
        ssize_t n;
        while ((n = recv(peer, buffer, sizeof buffer, 0)) > 0) {
            strData.append(buffer, static_cast<size_t>(n));
            nReceived = strData.size();
        }
        return strData;
    });
    // Each round: upload, a waiting stop, then a control byte. The node can
    // only find that byte if the upload ended on a block boundary.
    constexpr int ROUNDS = 5;
    for (int round = 1; round <= ROUNDS; ++round) {
        // Everything sent so far has reached the reader, so this round's
        // bytes are counted from here.
        ASSERT_TRUE(
            WaitUntil([&] { return Unread(m_client.GetSocket()->GetHandle(), peer) == 0; }));
        const size_t nBefore = nReceived;
        m_sender.Start(true, "", 0);
        ASSERT_TRUE(WaitUntil([&] { return nReceived > nBefore + 300000; }));
        EXPECT_EQ(ThreadsAtNice(0, 15), 0u);
        m_sender.Stop(false);
        ASSERT_EQ(m_client.SendTestRequest(round), 1);
    }
    m_client.Close();
    const std::string strStream = reader.get();
    close(peer);

    size_t nPos = 0;
    for (int round = 1; round <= ROUNDS; ++round) {
        ASSERT_GE(strStream.size(), nPos + BLOCK + 1);
        const std::string strBlock = strStream.substr(nPos, BLOCK);
        EXPECT_EQ(strBlock.find('\xff'), std::string::npos) << "a filler byte of 255";
        size_t nBlocks = 0;
        while (strStream.compare(nPos, BLOCK, strBlock) == 0) {
            nPos += BLOCK;
            ++nBlocks;
        }
        EXPECT_GT(nBlocks, 100u);
        ASSERT_LT(nPos, strStream.size());
        ASSERT_EQ(strStream[nPos], static_cast<char>(round))
            << "round " << round << ": the upload did not end on a block boundary";
        ++nPos;
    }
    EXPECT_EQ(nPos, strStream.size());
}

TEST_F(TrafficSenderTest, UdpDatagramsAreIdenticalBlocksFromTheBoundAddress) {
    const int sink = UdpSocketOn("127.0.0.2");
    const uint16_t nPort = LocalPort(sink);
    ASSERT_TRUE(m_clientUdp.Open("127.0.0.1", nPort));
    m_sender.Start(false, "127.0.0.2", nPort);
    std::vector<sockaddr_in> from;
    const auto datagrams = ReceiveDatagrams(sink, 500, 2s, &from);
    m_sender.Stop(false);
    close(sink);

    ASSERT_EQ(datagrams.size(), 500u);
    EXPECT_EQ(datagrams[0].find('\xff'), std::string::npos) << "a filler byte of 255";
    for (size_t i = 0; i < datagrams.size(); ++i) {
        ASSERT_EQ(datagrams[i].size(), BLOCK) << "datagram " << i;
        ASSERT_EQ(datagrams[i], datagrams[0]) << "datagram " << i;
        ASSERT_EQ(from[i].sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        ASSERT_EQ(ntohs(from[i].sin_port), nPort);
    }
}

TEST_F(TrafficSenderTest, UdpFallsBackToOneMessagePerDatagramWhereSegmentationIsRefused) {
    // A private loopback whose MTU is below one datagram: the kernel refuses
    // segmentation offload there, and fragments plain datagrams instead.
    int sink = -1;
    bool bOpened = false;
    std::string strSkip;
    std::thread([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            strSkip = "needs root for a private network namespace";
            return;
        }
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strcpy(ifr.ifr_name, "lo");
        ifr.ifr_mtu = 900;
        ioctl(fd, SIOCSIFMTU, &ifr);
        ioctl(fd, SIOCGIFFLAGS, &ifr);
        ifr.ifr_flags |= IFF_UP;
        ioctl(fd, SIOCSIFFLAGS, &ifr);
        close(fd);
        sink = UdpSocketOn("127.0.0.2"); // sockets stay in the namespace they were made in
        bOpened = m_clientUdp.Open("127.0.0.1", LocalPort(sink));
    }).join();
    if (!strSkip.empty()) {
        GTEST_SKIP() << strSkip;
    }
    ASSERT_TRUE(bOpened) << m_clientUdp.GetErrorText();
    m_sender.Start(false, "127.0.0.2", LocalPort(sink));
    const auto datagrams = ReceiveDatagrams(sink, 200, 2s);
    m_sender.Stop(false);
    close(sink);
    ASSERT_EQ(datagrams.size(), 200u);
    for (const auto& strDatagram : datagrams) {
        ASSERT_EQ(strDatagram.size(), BLOCK);
        ASSERT_EQ(strDatagram, datagrams[0]);
    }
}

TEST_F(TrafficSenderTest, SecondStartWaitsForTheFirstAndLeavesOneThread) {
    const int first = UdpSocketOn("127.0.0.2");
    const int second = UdpSocketOn("127.0.0.3");
    const uint16_t nPort = LocalPort(first);
    ASSERT_TRUE(m_clientUdp.Open("127.0.0.1", nPort));
    const size_t nBefore = CountThreads();

    m_sender.Start(false, "127.0.0.2", nPort);
    ASSERT_EQ(ReceiveDatagrams(first, 10, 2s).size(), 10u);
    m_sender.Start(false, "127.0.0.3", LocalPort(second));
    EXPECT_EQ(CountThreads(), nBefore + 1);
    ASSERT_EQ(ReceiveDatagrams(second, 200, 2s).size(), 200u);
    ReceiveDatagrams(first, SIZE_MAX, 0ms); // what the first thread sent before it ended
    ASSERT_EQ(ReceiveDatagrams(second, 200, 2s).size(), 200u);
    EXPECT_EQ(ReceiveDatagrams(first, SIZE_MAX, 0ms).size(), 0u) << "the first sender still runs";

    m_sender.Stop(false);
    EXPECT_TRUE(WaitUntil([&] { return CountThreads() == nBefore; }));
    close(first);
    close(second);
}

TEST_F(TrafficSenderTest, StopsPromptlyWithoutASocketToSendOn) {
    // TCP: never connected, then a connection that the peer ends mid-upload.
    m_sender.Start(true, "", 0);
    EXPECT_LT(TimeOf([&] { m_sender.Stop(false); }), Promptly(100ms));
    ASSERT_TRUE(m_client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept();
    m_sender.Start(true, "", 0);
    EXPECT_EQ(ReadBytes(peer, 10 * BLOCK).size(), 10 * BLOCK);
    close(peer);
    EXPECT_TRUE(WaitUntil([&] { return !m_client.IsConnected(); }));
    EXPECT_LT(TimeOf([&] { m_sender.Stop(false); }), Promptly(100ms));

    // UDP: the client closed before the start, and closed under a running
    // sender. A datagram sender runs at the lowest priority: on a busy
    // machine it waits longer for a processor to notice its stop, within
    // what the window gives a sender to finish (300 ms).
    constexpr auto UDP_STOP = Promptly(300ms);
    const int sink = UdpSocketOn("127.0.0.2");
    const uint16_t nPort = LocalPort(sink);
    m_sender.Start(false, "127.0.0.2", nPort);
    EXPECT_EQ(ReceiveDatagrams(sink, 1, 100ms).size(), 0u);
    EXPECT_LT(TimeOf([&] { m_sender.Stop(false); }), UDP_STOP);
    ASSERT_TRUE(m_clientUdp.Open("127.0.0.1", nPort));
    m_sender.Start(false, "127.0.0.2", nPort);
    EXPECT_EQ(ReceiveDatagrams(sink, 10, 2s).size(), 10u);
    m_clientUdp.Close();
    ReceiveDatagrams(sink, SIZE_MAX, 0ms);
    EXPECT_EQ(ReceiveDatagrams(sink, 1, 100ms).size(), 0u) << "sent on a closed client";
    EXPECT_TRUE(m_sender.IsRunning());
    EXPECT_LT(TimeOf([&] { m_sender.Stop(false); }), UDP_STOP);
    close(sink);
}

TEST_F(TrafficSenderTest, StopsAreBoundedWhenThePeerHasStoppedReading) {
    ASSERT_TRUE(m_client.Connect("127.0.0.1", m_listener.Port()));
    const int peer = m_listener.Accept(); // never read from
    const auto queued = [&] {
        int nBytes = 0;
        ioctl(peer, FIONREAD, &nBytes);
        return nBytes;
    };
    const auto blocked = [&] {
        // Both socket buffers are full once the queue stops growing.
        const int nBefore = queued();
        std::this_thread::sleep_for(30ms);
        return nBefore > 0 && queued() == nBefore;
    };
    for (bool bForce : {false, true}) {
        m_sender.Start(true, "", 0);
        ASSERT_TRUE(WaitUntil(blocked));
        if (bForce) {
            EXPECT_LT(TimeOf([&] { m_sender.Stop(true); }), Promptly(20ms));
            EXPECT_TRUE(WaitUntil([&] { return m_sender.GetExitCode() == 0; }, 500ms));
        } else {
            EXPECT_LT(TimeOf([&] { m_sender.Stop(false); }), Promptly(500ms));
        }
    }
    close(peer);
}

} // namespace
