// The real bandscope-node against the real CClient on loopback. The node
// binds 127.0.0.2 and the client 127.0.0.1, so that both can hold the same
// UDP port number.
#include "net/client.h"
#include "net/client_udp.h"
#include "net/datagram_batch.h"
#include "net/traffic_sender.h"
#include "tests/support/loopback.h"
#include "tests/support/node_process.h"
#include "tests/support/raw_download.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/tcp.h>
#include <sstream>

using namespace testing_support;
using namespace std::chrono_literals;
using namespace std::string_literals;

namespace {

const char* const NODE_ADDRESS = "127.0.0.2";

// What one CClient received: one-byte receives (commands) and the rest.
struct Received {
    std::mutex mtx;
    std::vector<int> commands;
    std::atomic<uint64_t> nBulkBytes{0};

    void Reset() {
        std::lock_guard lock(mtx);
        commands.clear();
        nBulkBytes = 0;
    }
    std::vector<int> Commands() {
        std::lock_guard lock(mtx);
        return commands;
    }
};
Received g_received[2];

// As the client reads them: a one-byte receive is a command only when it
// holds 0..6. Download bytes lie outside that range, so a lone byte of
// download (a busy machine can deliver one) counts as download.
template <int N> void OnReceive(const char* pData, int32_t nLength) {
    if (nLength == 1 && static_cast<signed char>(pData[0]) >= 0 &&
        static_cast<signed char>(pData[0]) <= 6) {
        std::lock_guard lock(g_received[N].mtx);
        g_received[N].commands.push_back(static_cast<signed char>(pData[0]));
    } else {
        g_received[N].nBulkBytes += static_cast<uint64_t>(nLength);
    }
}

// Datagrams that reached the client's CClientUDP from the node's address.
std::atomic<uint64_t> g_nUdpFromNode{0};
std::atomic<uint64_t> g_nUdpFromElsewhere{0};

void OnUdpReceive(const char*, int32_t, const std::string& strAddress, uint16_t,
                  CClientUDP::Clock::time_point) {
    (strAddress == "127.0.0.2" ? g_nUdpFromNode : g_nUdpFromElsewhere)++;
}

// A test request that waits for room for as long as it takes. Right after
// an upload the connection may still be full, and on a busy machine the node
// may take longer to read it than SendTestRequest waits (the controller
// repeats its requests every second); these tests are about the node's answer.
void RequestTest(CClient& client, int nTest) {
    const char cTest = static_cast<char>(nTest);
    EXPECT_EQ(client.Send(&cTest, 1), 1);
}

// Waits for the next command after nBefore commands; -1000 when none came.
// The ceiling is generous: a test that needs the answer soon says so itself.
int NextCommand(Received& received, size_t nBefore,
                std::chrono::milliseconds timeout = Promptly(10s)) {
    int nCommand = -1000;
    WaitUntil(
        [&] {
            const auto commands = received.Commands();
            if (commands.size() > nBefore) {
                nCommand = commands[nBefore];
                return true;
            }
            return false;
        },
        timeout);
    return nCommand;
}

// A UDP socket at the client's address and the node port that counts the
// node's datagrams and checks where they come from.
class UdpEndpoint {
public:
    explicit UdpEndpoint(uint16_t nPort) : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in addr = LoopbackAddress(nPort);
        m_bBound = bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        m_thread = std::thread([this] { Receive(); });
    }
    ~UdpEndpoint() {
        m_bStop = true;
        m_thread.join();
        close(m_fd);
    }
    bool IsBound() const { return m_bBound; }
    uint64_t Datagrams() const { return m_nDatagrams; }
    uint64_t Strangers() const { return m_nStrangers; }
    // The node's datagrams in Mbit/s over the time they arrived in.
    double ArrivalMbits() const {
        const double dSeconds = std::chrono::duration<double>(m_last - m_first).count();
        return dSeconds > 0 ? static_cast<double>(m_nDatagrams) * 8000.0 / 1e6 / dSeconds : 0;
    }

    // Sends datagrams of 1000 bytes to the node in batches of 20, as the
    // upload sender does (whole batches where the kernel offloads them), a
    // little paced so that loopback drops none.
    void SendTo(uint16_t nPort, int nCount) { SendBatches(m_fd, nPort, nCount, 20); }
    static void SendBatches(int fd, uint16_t nPort, int nCount, int nBatch) {
        const char block[1000] = {};
        bool bSegmentation = true;
        for (int nSent = 0; nSent < nCount;) {
            const int n =
                SendDatagramCopies(fd, block, sizeof block, inet_addr(NODE_ADDRESS), nPort,
                                   std::min(nBatch, nCount - nSent), bSegmentation);
            ASSERT_GE(n, 0);
            nSent += n;
            std::this_thread::sleep_for(1ms);
        }
    }

private:
    void Receive() {
        char buffer[2048];
        while (!m_bStop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (poll(&pfd, 1, 20) != 1) {
                continue;
            }
            sockaddr_in from{};
            socklen_t nLen = sizeof from;
            if (recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &nLen) <= 0) {
                continue;
            }
            char szFrom[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, szFrom, sizeof szFrom);
            if (std::string(szFrom) == NODE_ADDRESS && ntohs(from.sin_port) == LocalPort(m_fd)) {
                m_last = std::chrono::steady_clock::now();
                if (m_nDatagrams++ == 0) {
                    m_first = m_last;
                }
            } else {
                ++m_nStrangers;
            }
        }
    }

    int m_fd;
    bool m_bBound = false;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nDatagrams{0};
    std::atomic<uint64_t> m_nStrangers{0};
    std::chrono::steady_clock::time_point m_first, m_last; // read once the datagrams stopped
    std::thread m_thread;
};

// Upload blocks on the client's connection from a thread of their own, as
// the traffic sender writes them: one block, filled once, sent again and
// again until stopped.
class BlockSender {
public:
    BlockSender(CClient& client, uint8_t first) {
        std::array<char, 1000> block;
        for (auto& c : block) {
            c = static_cast<char>(std::rand() % 255);
        }
        block[0] = static_cast<char>(first);
        m_thread = std::thread([this, &client, block] {
            while (!m_bStop) {
                if (client.Send(block.data(), 1000) == 1000) {
                    ++m_nBlocks;
                }
            }
        });
    }
    // Stops after the current block; the number of whole blocks sent.
    uint64_t Stop() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return m_nBlocks;
    }
    ~BlockSender() { Stop(); }

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nBlocks{0};
    std::thread m_thread;
};

// The bytes the node logged as received in test nTest's end lines, in order.
std::vector<uint64_t> LoggedReceived(const std::string& strLog, int nTest) {
    std::vector<uint64_t> values;
    for (const std::string& strLine : TestEndLines(strLog, nTest)) {
        const size_t nReceived = strLine.find("received ");
        if (nReceived != std::string::npos) {
            values.push_back(std::stoull(strLine.substr(nReceived + 9)));
        }
    }
    return values;
}

// A raw connection to the node on nPort from a loopback address of our choice.
int ConnectRaw(uint16_t nPort, const char* pszFrom = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in from = Ipv4Address(pszFrom, 0);
    const sockaddr_in addr = Ipv4Address(NODE_ADDRESS, nPort);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    return fd;
}

uint64_t PeakMemoryKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string strLine;
    while (std::getline(status, strLine) && strLine.rfind("VmHWM:", 0) != 0) {
    }
    return std::strtoull(strLine.c_str() + std::min<size_t>(strLine.size(), 6), nullptr, 10);
}

bool Settled(const std::function<uint64_t()>& count) {
    // Nothing more arrives over a stretch that a running download would fill.
    const uint64_t nBefore = count();
    std::this_thread::sleep_for(300ms);
    return count() == nBefore;
}

class NodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_received[0].Reset();
        g_received[1].Reset();
    }
    // Starts the node on 127.0.0.2 with a free port and short timings.
    void StartNode(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--bind", NODE_ADDRESS, "--port", "0", "--grace-ms", "300"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_node.Start(args));
        const std::string strReady = m_node.WaitReady();
        ASSERT_EQ(strReady.rfind("bandscope-node listening on 127.0.0.2:", 0), 0u) << strReady;
        ASSERT_NE(m_node.Port(), 0);
    }
    // Ends the node as a user would, and expects a clean exit.
    void StopNode() {
        m_node.Signal(SIGTERM);
        EXPECT_EQ(m_node.WaitExit(), 0) << m_node.Log();
    }

    NodeProcess m_node;
};

} // namespace

// The client's own parts end to end: CClient, CClientUDP and the upload
// sender, driven in the controller's order.
TEST_F(NodeTest, WholeSessionWithTheClientsOwnSender) {
    StartNode();
    const uint16_t nPort = m_node.Port();
    CClient client(OnReceive<0>);
    CClientUDP clientUdp(OnUdpReceive);
    ASSERT_TRUE(clientUdp.Open("127.0.0.1", nPort)) << clientUdp.GetErrorText();
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, nPort));
    CTrafficSender sender(&client, &clientUdp);
    Received& received = g_received[0];
    client.SendSessionStart(2);
    for (int nTest = 1; nTest <= 6; ++nTest) {
        SCOPED_TRACE(nTest);
        RequestTest(client, nTest);
        ASSERT_EQ(NextCommand(received, static_cast<size_t>(nTest - 1)), nTest);
        const uint64_t nTcpBefore = received.nBulkBytes;
        const uint64_t nUdpBefore = g_nUdpFromNode;
        if (nTest == 1 || nTest == 3) {
            sender.Start(true, "", 0);
        } else if (nTest == 4 || nTest == 6) {
            sender.Start(false, NODE_ADDRESS, nPort);
        }
        std::this_thread::sleep_for(700ms);
        // Datagrams sent as fast as they go give way to the readers: the node's download
        // and the client's upload at the lowest priority, each ending with its test.
        EXPECT_EQ(ThreadsAtNice(m_node.Pid(), 15), nTest == 5 || nTest == 6 ? 1u : 0u);
        EXPECT_EQ(ThreadsAtNice(0, 15), nTest == 4 || nTest == 6 ? 1u : 0u);
        sender.Stop(false);
        EXPECT_EQ(received.nBulkBytes > nTcpBefore, nTest == 2 || nTest == 3);
        EXPECT_EQ(g_nUdpFromNode > nUdpBefore, nTest == 5 || nTest == 6);
    }
    client.SendSessionEnd();
    client.Close();
    // The download of the last test ends with the session.
    EXPECT_TRUE(WaitUntil([&] { return Settled([&] { return g_nUdpFromNode.load(); }); }, 3s));
    clientUdp.Close();
    EXPECT_EQ(received.Commands(), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(g_nUdpFromElsewhere, 0u);
    StopNode();
    const std::string strLog = m_node.Log();
    for (const int nTest : {1, 3, 4, 6}) {
        const auto logged = LoggedReceived(strLog, nTest);
        ASSERT_EQ(logged.size(), 1u) << strLog;
        EXPECT_GT(logged[0], 0u);
        EXPECT_EQ(logged[0] % 1000, 0u) << nTest; // whole blocks: no message taken for data
    }
    EXPECT_NE(strLog.find("ignored 0 byte(s) that are no message"), std::string::npos) << strLog;
    EXPECT_NE(strLog.find("session ended (session end from the client)"), std::string::npos)
        << strLog;
}

// The node's UDP side: its download paced by --udp-rate and capped by
// --max-seconds, and upload datagrams counted for the session whose client
// address sent them, not for datagrams from anywhere else.
TEST_F(NodeTest, UdpPacingCapAndMatching) {
    // 8 Mbit/s is 1000 datagrams a second; --max-seconds ends the download
    // long before the client's 30 seconds and the grace.
    StartNode({"--udp-rate", "8", "--max-seconds", "1"});
    UdpEndpoint udp(m_node.Port());
    // A port number taken on 127.0.0.1 would pass for a node that sends
    // nothing: say which it is.
    ASSERT_TRUE(udp.IsBound()) << "127.0.0.1:" << m_node.Port() << " is taken";
    CClient client(OnReceive<0>);
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, m_node.Port()));
    client.SendSessionStart(30);
    client.SendTestRequest(5);
    ASSERT_EQ(NextCommand(g_received[0], 0), 5);
    EXPECT_TRUE(WaitUntil([&] { return udp.Datagrams() > 0; }, 1s)) << m_node.Log();
    // A paced download keeps its pace on a busy machine: the normal priority.
    EXPECT_EQ(ThreadsAtNice(m_node.Pid(), 15), 0u);
    EXPECT_TRUE(WaitUntil([&] { return Settled([&] { return udp.Datagrams(); }); }, 3s));
    EXPECT_GT(udp.Datagrams(), 500u);
    EXPECT_LT(udp.Datagrams(), 2000u);
    EXPECT_EQ(udp.Strangers(), 0u);
    const double dArrivalMbits = udp.ArrivalMbits();

    client.SendTestRequest(4);
    ASSERT_EQ(NextCommand(g_received[0], 1), 4);
    const int stranger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in from = Ipv4Address("127.0.0.3", 0);
    ASSERT_EQ(bind(stranger, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    UdpEndpoint::SendBatches(stranger, m_node.Port(), 50, 50);
    close(stranger);
    std::this_thread::sleep_for(20ms);
    udp.SendTo(m_node.Port(), 300);
    std::this_thread::sleep_for(200ms);
    client.SendSessionEnd();
    StopNode();
    const std::string strLog = m_node.Log();
    EXPECT_EQ(LoggedReceived(strLog, 4), std::vector<uint64_t>{300 * 1000}) << strLog;
    // Each datagram counts, also those that the kernel handed over as one.
    EXPECT_NE(strLog.find("ignored 50 datagram(s) from addresses without a session"),
              std::string::npos)
        << strLog;
    // The download's rate is over the time it ran, not up to the next
    // request, which came only once the datagrams had stopped a while.
    const auto ends = TestEndLines(strLog, 5);
    ASSERT_EQ(ends.size(), 1u) << strLog;
    EXPECT_NEAR(SentMbits(ends[0]), dArrivalMbits, dArrivalMbits * 0.05) << strLog;
}

// A paced UDP download that follows a TCP download begins only after the
// node has drained the TCP one, later than the session last looked at the
// clock: it must still send, at its pace.
TEST_F(NodeTest, PacedUdpDownloadAfterATcpDownload) {
    StartNode({"--udp-rate", "8"});
    UdpEndpoint udp(m_node.Port());
    ASSERT_TRUE(udp.IsBound()) << "127.0.0.1:" << m_node.Port() << " is taken";
    CClient client(OnReceive<0>);
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, m_node.Port()));
    client.SendSessionStart(30);
    for (const int nTest : {2, 5}) {
        client.SendTestRequest(nTest);
        ASSERT_EQ(NextCommand(g_received[0], nTest == 2 ? 0 : 1), nTest);
        std::this_thread::sleep_for(500ms);
    }
    // 8 Mbit/s is 1000 datagrams a second.
    EXPECT_GT(udp.Datagrams(), 250u) << m_node.Log();
    EXPECT_LT(udp.Datagrams(), 1000u);
    client.SendSessionEnd();
    StopNode();
    EXPECT_EQ(m_node.Log().find("UDP download stopped"), std::string::npos) << m_node.Log();
}

TEST_F(NodeTest, DownloadsStopWhenTheirTimeIsUp) {
    StartNode();
    UdpEndpoint udp(m_node.Port());
    // A port number taken on 127.0.0.1 would pass for a node that sends
    // nothing: say which it is.
    ASSERT_TRUE(udp.IsBound()) << "127.0.0.1:" << m_node.Port() << " is taken";
    CClient client(OnReceive<0>);
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, m_node.Port()));
    Received& received = g_received[0];
    client.SendSessionStart(1); // one second, plus the 300 ms grace
    for (const int nTest : {2, 5}) {
        const size_t nBefore = received.Commands().size();
        client.SendTestRequest(nTest);
        ASSERT_EQ(NextCommand(received, nBefore), nTest);
        const auto start = std::chrono::steady_clock::now();
        auto count = [&]() -> uint64_t {
            return nTest == 2 ? received.nBulkBytes.load() : udp.Datagrams();
        };
        EXPECT_TRUE(WaitUntil([&] { return count() > 0; }, 1s));
        // Stopped by the node's clock, not before the second is up, and nothing
        // follows (a download at the lowest priority may pause on a busy machine).
        const std::string strStopped =
            "test " + std::to_string(nTest) + " download stopped: its time is up";
        EXPECT_TRUE(
            WaitUntil([&] { return m_node.Log().find(strStopped) != std::string::npos; }, 4s))
            << m_node.Log();
        EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_TRUE(WaitUntil([&] { return Settled(count); }, 4s));
    }
    client.SendSessionEnd();
    StopNode();
}

// Blocks whose first byte looks like a message, with requests that equal it
// (then silence decides) or differ from it (then it is known at once), and
// a request the client repeated before it saw the command.
TEST_F(NodeTest, UploadFillerIsNeverTakenForAMessage) {
    StartNode();
    CClient client(OnReceive<0>);
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, m_node.Port()));
    Received& received = g_received[0];
    client.SendSessionStart(30);
    const uint8_t firsts[] = {0, 1, 2, 3, 4, 5, 6, 0x6C, 1, 3};
    std::vector<uint64_t> expected1, expected3;
    int nTest = 1;
    client.SendTestRequest(nTest);
    for (size_t i = 0; i < std::size(firsts); ++i) {
        SCOPED_TRACE(testing::Message() << "first byte " << int(firsts[i]));
        ASSERT_EQ(NextCommand(received, i), nTest);
        BlockSender sender(client, firsts[i]);
        std::this_thread::sleep_for(150ms);
        const uint64_t nBlocks = sender.Stop();
        (nTest == 1 ? expected1 : expected3).push_back(nBlocks * 1000);
        nTest = nTest == 1 ? 3 : 1;
        const auto asked = std::chrono::steady_clock::now();
        RequestTest(client, nTest);
        if (i == 7) {
            RequestTest(client, nTest); // a repeat racing the command
        }
        ASSERT_EQ(NextCommand(received, i + 1, Promptly(1s)), nTest);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, Promptly(1s));
    }
    client.SendSessionEnd();
    StopNode();
    expected1.push_back(0); // the last test 1 was ended by the session end, with no upload
    const std::string strLog = m_node.Log();
    EXPECT_EQ(LoggedReceived(strLog, 1), expected1) << strLog;
    EXPECT_EQ(LoggedReceived(strLog, 3), expected3) << strLog;
    EXPECT_EQ(strLog.find("ignored "), strLog.find("ignored 0 byte(s)")) << strLog;
    EXPECT_NE(strLog.find("ignored 0 byte(s) that are no message"), std::string::npos) << strLog;
}

// A TCP download that has run a while keeps more of itself unsent in the
// kernel; each next request must still stop it, drain it and be answered
// promptly with the command, after nothing but download bytes, and nothing
// may follow a stopped download.
TEST_F(NodeTest, LongTcpDownloadsStopPromptlyForTheNextCommand) {
    StartNode();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in addr = Ipv4Address(NODE_ADDRESS, m_node.Port());
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(send(fd, "\x6C\x1E\x00", 3, MSG_NOSIGNAL), 3); // 30 s per test
    int nRunning = 0;
    for (const int nTest : {2, 3, 2, 1}) {
        SCOPED_TRACE(nTest);
        const auto asked = std::chrono::steady_clock::now();
        const unsigned char request = static_cast<unsigned char>(nTest);
        ASSERT_EQ(send(fd, &request, 1, MSG_NOSIGNAL), 1);
        const RawStretch before = ReadStretch(fd, 2s, true);
        EXPECT_EQ(before.nCommand, nTest);
        EXPECT_LT(std::chrono::steady_clock::now() - asked, Promptly(1s));
        EXPECT_TRUE(before.bDownloadInRange);
        if (nRunning != 2 && nRunning != 3) {
            EXPECT_EQ(before.nDownload, 0u); // a stopped download sends no more
        }
        const RawStretch during = ReadStretch(fd, 700ms, false);
        EXPECT_EQ(during.nCommand, -1000);
        EXPECT_TRUE(during.bDownloadInRange);
        EXPECT_EQ(during.nDownload > 0, nTest == 2 || nTest == 3) << during.nDownload;
        nRunning = nTest;
    }
    ASSERT_EQ(send(fd, "\x00", 1, MSG_NOSIGNAL), 1);
    close(fd);
    StopNode();
}

TEST_F(NodeTest, MisbehavingClientsDoNotDisturbOthers) {
    // Six connections from one address: beyond the default limit per address.
    // A longer pause before commands: under load, the download's tail and
    // the command to the first client must still arrive apart.
    StartNode({"--idle-ms", "1500", "--max-per-address", "8", "--settle-ms", "300"});
    const uint16_t nPort = m_node.Port();
    auto connectRaw = [&] { return ConnectRaw(nPort); };
    CClient first(OnReceive<0>);
    CClient second(OnReceive<1>);
    ASSERT_TRUE(first.Connect(NODE_ADDRESS, nPort));
    ASSERT_TRUE(second.Connect(NODE_ADDRESS, nPort));
    first.SendSessionStart(5);
    second.SendSessionStart(5);
    first.SendTestRequest(2);
    second.SendTestRequest(1);
    ASSERT_EQ(NextCommand(g_received[0], 0), 2);
    ASSERT_EQ(NextCommand(g_received[1], 0), 1);

    // Garbage, a half message, silence, and one that vanishes mid-download.
    const int garbage = connectRaw();
    std::string strGarbage(20000, '\0');
    for (auto& c : strGarbage) {
        c = static_cast<char>(std::rand());
    }
    send(garbage, strGarbage.data(), strGarbage.size(), MSG_NOSIGNAL);
    const int half = connectRaw();
    send(half, "\x6C\x05", 2, MSG_NOSIGNAL);
    const int silent = connectRaw();
    const int vanishing = connectRaw();
    send(vanishing, "\x6C\x05\x00\x02", 4, MSG_NOSIGNAL);
    EXPECT_EQ(ReadBytes(vanishing, 1, 2s), std::string(1, '\x02'));
    std::this_thread::sleep_for(100ms);
    const linger reset{1, 0};
    setsockopt(vanishing, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(vanishing);

    // The real clients go on as if nothing happened.
    {
        BlockSender sender(second, 2);
        std::this_thread::sleep_for(300ms);
        sender.Stop();
    }
    const uint64_t nDownloaded = g_received[0].nBulkBytes;
    EXPECT_GT(nDownloaded, 0u);
    first.SendTestRequest(5);
    RequestTest(second, 3);
    EXPECT_EQ(NextCommand(g_received[0], 1, Promptly(1s)), 5);
    EXPECT_EQ(NextCommand(g_received[1], 1, Promptly(1s)), 3);
    // The silent and the half-spoken connections time out.
    EXPECT_TRUE(WaitUntil([&] { return m_node.Log().find("idle for") != std::string::npos; }, 3s));
    pollfd pfd{silent, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 3000), 1);
    char c;
    EXPECT_EQ(recv(silent, &c, 1, 0), 0); // closed, with nothing sent
    first.SendSessionEnd();
    second.SendSessionEnd();
    close(garbage);
    close(half);
    close(silent);
    StopNode();
    const std::string strLog = m_node.Log();
    EXPECT_NE(strLog.find("that are no message"), std::string::npos) << strLog;
    EXPECT_TRUE(strLog.find("connection closed by the client") != std::string::npos ||
                strLog.find("connection lost") != std::string::npos)
        << strLog;
}

TEST_F(NodeTest, RefusesSessionsBeyondTheLimit) {
    StartNode({"--max-sessions", "1"});
    CClient client(OnReceive<0>);
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, m_node.Port()));
    client.SendSessionStart(5);
    client.SendTestRequest(4);
    ASSERT_EQ(NextCommand(g_received[0], 0), 4);
    // The refused client is told to end its session, alone, and then closed.
    CClient refused(OnReceive<1>);
    ASSERT_TRUE(refused.Connect(NODE_ADDRESS, m_node.Port()));
    refused.SendSessionStart(5);
    refused.SendTestRequest(1);
    EXPECT_EQ(NextCommand(g_received[1], 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return !refused.IsConnected(); }, 3s));
    client.SendTestRequest(5);
    EXPECT_EQ(NextCommand(g_received[0], 1), 5);
    StopNode();
    EXPECT_NE(m_node.Log().find("refused: 1 session(s) already"), std::string::npos);
}

namespace {

// Whether the kernel runs the keepalive timer on the node's end of the
// connection fd, as /proc/net/tcp shows it (timer kind 2).
bool NodeSideKeepsAlive(int fd) {
    sockaddr_in local{};
    socklen_t nLen = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &nLen);
    char szRemote[32];
    std::snprintf(szRemote, sizeof szRemote, " %08X:%04X ", local.sin_addr.s_addr,
                  ntohs(local.sin_port));
    std::ifstream table("/proc/net/tcp");
    for (std::string strLine; std::getline(table, strLine);) {
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when ...
        const size_t nAt = strLine.find(szRemote);
        if (nAt != std::string::npos && nAt > 12) { // as the remote address
            std::istringstream fields(strLine.substr(nAt + std::strlen(szRemote)));
            std::string strState, strQueues, strTimer;
            fields >> strState >> strQueues >> strTimer;
            return strTimer.rfind("02:", 0) == 0;
        }
    }
    return false;
}

} // namespace

// Two silent sessions from one host hold that host's places; another host is
// still served, and the node has the kernel watch the silent connections.
TEST_F(NodeTest, PerAddressLimitLeavesRoomForOtherHosts) {
    StartNode({"--max-per-address", "2"});
    const uint16_t nPort = m_node.Port();
    const int silent[2] = {ConnectRaw(nPort, "127.0.0.3"), ConnectRaw(nPort, "127.0.0.3")};
    for (const int fd : silent) {
        ASSERT_EQ(send(fd, "\x6C\xFF\xFF", 3, MSG_NOSIGNAL), 3); // 65535 s per test
    }
    // A third from the same host is told to end (command 0, alone) and closed.
    const int third = ConnectRaw(nPort, "127.0.0.3");
    send(third, "\x6C\x05\x00\x02", 4, MSG_NOSIGNAL);
    EXPECT_EQ(ReadBytes(third, 2, 3s), std::string(1, '\0'));
    const int other = ConnectRaw(nPort, "127.0.0.4");
    ASSERT_EQ(send(other, "\x6C\x05\x00\x04", 4, MSG_NOSIGNAL), 4);
    EXPECT_EQ(ReadBytes(other, 1, 2s), "\x04");
    EXPECT_TRUE(WaitUntil([&] { return NodeSideKeepsAlive(silent[0]); }, 1s));
    for (const int fd : {silent[0], silent[1], third, other}) {
        close(fd);
    }
    StopNode();
    EXPECT_NE(m_node.Log().find("refused: 2 session(s) from this address already"),
              std::string::npos)
        << m_node.Log();
}

// The seconds a client asks for buy it no silence: a session lasts only while
// its client sends or takes in a download. Silent ones are closed within the
// idle limit, and told so; a client that takes part outlives it, also across
// a download that --max-seconds cut short.
TEST_F(NodeTest, OnlyAClientThatTakesPartOutlivesTheIdleLimit) {
    constexpr auto IDLE = 500ms;
    StartNode({"--idle-ms", "500", "--max-seconds", "1"});
    const uint16_t nPort = m_node.Port();
    // 65535 s per test, then: nothing, an upload never sent (TCP, UDP), a
    // download never read.
    const std::string silences[] = {std::string("\x6C\xFF\xFF", 3), "\x6C\xFF\xFF\x01",
                                    "\x6C\xFF\xFF\x04", "\x6C\xFF\xFF\x02"};
    std::vector<int> silent;
    for (const std::string& strSent : silences) {
        silent.push_back(ConnectRaw(nPort, "127.0.0.3"));
        const int nSmall = 4096;
        setsockopt(silent.back(), SOL_SOCKET, SO_RCVBUF, &nSmall, sizeof nSmall);
        ASSERT_EQ(send(silent.back(), strSent.data(), strSent.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(strSent.size()));
    }
    const auto sent = std::chrono::steady_clock::now();
    auto idleClosed = [&] {
        const std::string strLog = m_node.Log();
        size_t nClosed = 0;
        for (size_t n = 0; (n = strLog.find("session closed", n)) != std::string::npos; ++n) {
            ++nClosed;
        }
        return nClosed;
    };
    // The one that never reads makes the node wait up to a second to tell it.
    ASSERT_TRUE(WaitUntil([&] { return idleClosed() == std::size(silences); }, Promptly(4s)))
        << m_node.Log();
    EXPECT_GT(std::chrono::steady_clock::now() - sent, IDLE);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, IDLE + Promptly(2s));
    for (size_t i = 0; i + 1 < silent.size(); ++i) {
        // Its command if it asked for one, then the end, and the close.
        const std::string strExpected = std::string(silences[i].substr(3)) + '\0';
        EXPECT_EQ(ReadBytes(silent[i], 3, 1s), strExpected) << i;
    }
    for (const int fd : silent) {
        close(fd);
    }

    // A client that takes part: 2 s per test, downloads cut after 1 s.
    UdpEndpoint udp(nPort);
    ASSERT_TRUE(udp.IsBound()) << "127.0.0.1:" << nPort << " is taken";
    CClient client(OnReceive<0>);
    ASSERT_TRUE(client.Connect(NODE_ADDRESS, nPort));
    client.SendSessionStart(2);
    const int tests[] = {2, 5, 1, 4, 3};
    for (size_t i = 0; i + 1 < std::size(tests); ++i) {
        SCOPED_TRACE(tests[i]);
        client.SendTestRequest(tests[i]);
        ASSERT_EQ(NextCommand(g_received[0], i), tests[i]) << m_node.Log();
        const auto start = std::chrono::steady_clock::now();
        if (tests[i] == 1) {
            BlockSender sender(client, 9);
            std::this_thread::sleep_for(1500ms);
        } else if (tests[i] == 4) {
            while (std::chrono::steady_clock::now() - start < 1500ms) {
                udp.SendTo(nPort, 5);
                std::this_thread::sleep_for(50ms);
            }
        } else {
            // The download runs 1 s; the client counts its 2 s in silence.
            std::this_thread::sleep_for(1800ms);
        }
    }
    client.SendTestRequest(3);
    EXPECT_EQ(NextCommand(g_received[0], 4), 3) << m_node.Log();
    client.SendSessionEnd();
    StopNode();
    EXPECT_EQ(idleClosed(), std::size(silences)) << m_node.Log();
}

TEST_F(NodeTest, ASlowReaderOfItsDownloadIsNoIdleClient) {
    // Taking the download in is a sign of life however slowly it goes: here
    // at full speed for 300 ms, then at about 2 MB/s, far less than the
    // node has queued by then, for four times the idle limit.
    StartNode({"--idle-ms", "500"});
    const int fd = ConnectRaw(m_node.Port());
    // A fixed receive buffer: a closed window reopens only once a sixteenth
    // of the buffer is free, and autotuned to its ceiling (32 MB on some
    // hosts) that is a megabyte, half a second at 2 MB/s, in which the
    // client's own kernel acknowledges nothing.
    const int nReceiveBuffer = 1000000;
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer), 0);
    const std::string strRequest("\x6C\x05\x00\x02", 4); // 5 s per test; test 2
    ASSERT_EQ(send(fd, strRequest.data(), strRequest.size(), MSG_NOSIGNAL), 4);
    uint64_t nRead = 0;
    std::vector<char> buffer(100000);
    const auto start = std::chrono::steady_clock::now();
    for (auto now = start; now - start < 2300ms; now = std::chrono::steady_clock::now()) {
        const bool bFast = now - start < 300ms;
        const ssize_t nReceived = recv(fd, buffer.data(), buffer.size(), bFast ? 0 : MSG_DONTWAIT);
        if (nReceived == 0) {
            break;
        }
        nRead += static_cast<uint64_t>(std::max<ssize_t>(nReceived, 0));
        if (!bFast) {
            std::this_thread::sleep_for(50ms);
        }
    }
    close(fd);
    StopNode();
    EXPECT_GT(nRead, 1000000u);
    EXPECT_EQ(m_node.Log().find("session closed"), std::string::npos) << m_node.Log();
}

TEST_F(NodeTest, ATestLeftBeforeItsDownloadBeganCountsNoDownload) {
    // The client leaves in the pause before test 3's download: the test's
    // line counts nothing sent, not the bytes of the download before it.
    StartNode({"--settle-ms", "1000"});
    const int fd = ConnectRaw(m_node.Port());
    ASSERT_EQ(send(fd, "\x6C\x05\x00\x02", 4, MSG_NOSIGNAL), 4); // 5 s per test; test 2
    EXPECT_EQ(ReadStretch(fd, 3s, true).nCommand, 2);
    EXPECT_GT(ReadStretch(fd, 1500ms, false).nDownload, 0u); // after the pause
    ASSERT_EQ(send(fd, "\x03", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(ReadStretch(fd, 5s, true).nCommand, 3);
    close(fd);
    StopNode();
    const std::string strLog = m_node.Log();
    const size_t nLine = strLog.find("test 3 (TCP upload/download) end");
    ASSERT_NE(nLine, std::string::npos) << strLog;
    EXPECT_NE(strLog.substr(nLine, strLog.find('\n', nLine) - nLine).find("sent 0 bytes"),
              std::string::npos)
        << strLog;
}

TEST_F(NodeTest, OnceServesOneSessionAndStopEndsSessions) {
    {
        StartNode({"--once"});
        CClient client(OnReceive<0>);
        ASSERT_TRUE(client.Connect(NODE_ADDRESS, m_node.Port()));
        client.SendSessionStart(5);
        client.SendTestRequest(2);
        ASSERT_EQ(NextCommand(g_received[0], 0), 2);
        client.SendSessionEnd();
        EXPECT_EQ(m_node.WaitExit(3s), 0) << m_node.Log();
    }
    for (const int nSignal : {SIGTERM, SIGINT}) {
        // A stop ends each running session with test command 0, received alone
        // even in the middle of a download.
        NodeProcess node;
        ASSERT_TRUE(node.Start({"--bind", NODE_ADDRESS, "--port", "0"}));
        ASSERT_FALSE(node.WaitReady().empty());
        g_received[0].Reset();
        CClient client(OnReceive<0>);
        ASSERT_TRUE(client.Connect(NODE_ADDRESS, node.Port()));
        client.SendSessionStart(30);
        client.SendTestRequest(3);
        ASSERT_EQ(NextCommand(g_received[0], 0), 3);
        ASSERT_TRUE(WaitUntil([&] { return g_received[0].nBulkBytes > 0; }));
        node.Signal(nSignal);
        EXPECT_EQ(NextCommand(g_received[0], 1, 3s), 0);
        EXPECT_EQ(node.WaitExit(), 0) << node.Log();
    }
}

TEST_F(NodeTest, CommandLineErrorsAreOneLineAndExitOne) {
    auto run = [](const std::vector<std::string>& args, std::string& strLog) {
        NodeProcess node;
        EXPECT_TRUE(node.Start(args));
        const int nCode = node.WaitExit();
        strLog = node.Log();
        return nCode;
    };
    std::string strLog;
    for (const auto& args : std::vector<std::vector<std::string>>{{"--bogus"},
                                                                  {"--port"},
                                                                  {"--port", "70000"},
                                                                  {"--port", "12ab"},
                                                                  {"--bind", "example"},
                                                                  {"--max-sessions", "0"},
                                                                  {"--max-per-address", "0"},
                                                                  {"--udp-rate", "-3"}}) {
        EXPECT_EQ(run(args, strLog), 1) << args[0];
        EXPECT_EQ(std::count(strLog.begin(), strLog.end(), '\n'), 1) << strLog;
        EXPECT_EQ(strLog.rfind("bandscope-node: ", 0), 0u) << strLog;
    }
    {
        NodeProcess node;
        ASSERT_TRUE(node.Start({"--help"}));
        EXPECT_EQ(node.WaitExit(), 0);
        EXPECT_NE(node.Output().find("Usage: bandscope-node"), std::string::npos);
    }
    // A port in use, on TCP or on UDP.
    for (const int nType : {SOCK_STREAM, SOCK_DGRAM}) {
        const int fd = socket(AF_INET, nType | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = Ipv4Address(NODE_ADDRESS, 0);
        ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        if (nType == SOCK_STREAM) {
            listen(fd, 1);
        }
        const std::string strPort = std::to_string(LocalPort(fd));
        EXPECT_EQ(run({"--bind", NODE_ADDRESS, "--port", strPort}, strLog), 1);
        EXPECT_EQ(std::count(strLog.begin(), strLog.end(), '\n'), 1) << strLog;
        EXPECT_NE(strLog.find("WSAEADDRINUSE"), std::string::npos) << strLog;
        close(fd);
    }
}

// Floods: requests before the session start and the start again, each alone;
// then requests overtaking each other at full speed, a download drained between
// them. Memory stays put, the log holds a few lines, the last request is answered.
TEST_F(NodeTest, FloodsTakeNoMemoryAndFewLogLines) {
    StartNode();
    const int fd = ConnectRaw(m_node.Port());
    const int nOn = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    const uint64_t nPeakBefore = PeakMemoryKb(m_node.Pid());
    for (int i = 0; i < 2000; ++i) {
        send(fd, i < 1000 ? "\x02" : "\x6C\x1E\x00", i < 1000 ? 1 : 3, MSG_NOSIGNAL);
        std::this_thread::sleep_for(200us);
    }
    const std::vector<uint16_t> flood(32768, 0x0402); // 02 04 02 04 ...
    uint64_t nSent = 0;
    static char buffer[1 << 17];
    for (const auto end = std::chrono::steady_clock::now() + 1500ms;
         std::chrono::steady_clock::now() < end;) {
        while (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        std::this_thread::sleep_for(1ms);
        const ssize_t n = send(fd, flood.data(), flood.size() * 2, MSG_DONTWAIT | MSG_NOSIGNAL);
        nSent += static_cast<uint64_t>(std::max<ssize_t>(n, 0));
    }
    ASSERT_EQ(send(fd, "\x05", 1, MSG_NOSIGNAL), 1);
    EXPECT_TRUE(WaitUntil([&] { // command bytes are the only ones below 0x80
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        return n > 0 && std::memchr(buffer, 5, static_cast<size_t>(n)) != nullptr;
    })) << m_node.Log();
    EXPECT_GT(nSent, 4u << 20);
    EXPECT_LT(PeakMemoryKb(m_node.Pid()) - nPeakBefore, 16u << 10) << nSent << " bytes sent";
    close(fd);
    StopNode();
    const std::string strLog = m_node.Log();
    EXPECT_LT(std::count(strLog.begin(), strLog.end(), '\n'), 100) << strLog; // of 2000 and more
    EXPECT_NE(strLog.find("log line(s) left out"), std::string::npos) << strLog;
}

// Stray bytes before or after a session start, or requests before it, hold no
// place beyond the idle limit; a client on the node's own address does not
// receive its download as an upload.
TEST_F(NodeTest, StrayDataHoldsNoPlace) {
    StartNode({"--idle-ms", "600", "--udp-rate", "8"});
    const char* const from[] = {"127.0.0.3", "127.0.0.3", "127.0.0.4", NODE_ADDRESS};
    const std::string first[] = {"A", "\x02", "\x6C\x05\x00"s, "\x6C\x00\x00\x06"s};
    const char again[] = {'A', 2, 'A', 'A'};
    int fds[4];
    for (int i = 0; i < 4; ++i) {
        fds[i] = ConnectRaw(m_node.Port(), from[i]);
        send(fds[i], first[i].data(), first[i].size(), MSG_NOSIGNAL);
    }
    const auto read = [&] { return m_node.Log().find("session start: 5") != std::string::npos; };
    ASSERT_TRUE(WaitUntil(read) && ReadBytes(fds[3], 1) == "\x06"); // before stray bytes follow
    for (int n = 0; n < 10; ++n) { // every 150 ms, well past the limit
        std::this_thread::sleep_for(150ms);
        for (int i = 0; i < 4; ++i) {
            send(fds[i], &again[i], 1, MSG_NOSIGNAL);
        }
    }
    for (const int fd : fds) {
        char buffer[64];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        }
        EXPECT_TRUE(n == 0 || errno != EAGAIN) << m_node.Log(); // closed by the node
        close(fd);
    }
    StopNode();
    EXPECT_EQ(LoggedReceived(m_node.Log(), 6), std::vector<uint64_t>{0}) << m_node.Log();
}
