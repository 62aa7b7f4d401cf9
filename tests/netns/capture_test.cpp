// CPacket on real interfaces: inside two namespaces joined by a veth pair,
// the bytes captured per direction equal what the kernel's interface counters
// record, each datagram once, stamped when it crossed and never after the
// capture said all before had come; loopback is captured once; failures give
// their Winsock texts; Close returns at once on an idle link.
#include "net/packet.h"
#include "net/socket.h"
#include "net/traffic_meter.h"
#include "tests/support/address.h"
#include "tests/support/loopback.h"
#include "tests/support/netns.h"

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <memory>
#include <mutex>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

// What the capture callback saw; the callback is a plain function.
struct Captured {
    std::atomic<uint32_t> nLocalAddress{0}; // host order; its datagrams are downloads
    std::atomic<uint64_t> nDownloadBytes{0};
    std::atomic<uint64_t> nDownloadPackets{0};
    std::atomic<uint64_t> nUploadBytes{0};
    std::atomic<uint64_t> nUploadPackets{0};
    std::atomic<uint64_t> nOther{0}; // failures, and anything that is not IPv4
    std::atomic<int32_t> nLongest{0};
    std::atomic<CTrafficMeter*> pMeter{nullptr};
    // Only the capture thread writes these: the stamps' range, the latest
    // word that all stamped before it had come, and the most a packet was late.
    std::atomic<CPacket::Clock::time_point> first, last, handedOver;
    std::atomic<CPacket::Clock::duration> late;

    void Reset(const std::string& strLocal) {
        in_addr address{};
        inet_pton(AF_INET, strLocal.c_str(), &address);
        nLocalAddress = ntohl(address.s_addr);
        nDownloadBytes = nDownloadPackets = nUploadBytes = nUploadPackets = nOther = 0;
        nLongest = 0;
        pMeter = nullptr;
        first = CPacket::Clock::time_point::max();
        last = handedOver = CPacket::Clock::time_point::min();
        late = CPacket::Clock::duration::min();
    }
    uint64_t Packets() const { return nDownloadPackets + nUploadPackets; }
} g_captured;

void OnCapture(const char* pPacket, int32_t nLength, CPacket::Clock::time_point stamp) {
    if (CTrafficMeter* pMeter = g_captured.pMeter) {
        pMeter->AddPacket(pPacket, nLength, stamp);
    }
    if (nLength == 0) {
        EXPECT_GE(stamp, g_captured.handedOver.load()) << "the word went back";
        g_captured.handedOver = stamp;
        return;
    }
    g_captured.first = std::min(g_captured.first.load(), stamp);
    g_captured.last = std::max(g_captured.last.load(), stamp);
    g_captured.late = std::max(g_captured.late.load(), g_captured.handedOver.load() - stamp);
    const auto ip = nLength > 0 ? DecodeIpHeader(pPacket, std::min(nLength, PACKET_HEADER_BYTES))
                                : std::nullopt;
    if (!ip || ip->nVersion != 4) {
        ++g_captured.nOther;
        return;
    }
    if (ip->nDestinationAddress == g_captured.nLocalAddress) {
        g_captured.nDownloadBytes += static_cast<uint64_t>(nLength);
        ++g_captured.nDownloadPackets;
    } else {
        g_captured.nUploadBytes += static_cast<uint64_t>(nLength);
        ++g_captured.nUploadPackets;
    }
    int32_t nLongest = g_captured.nLongest;
    while (nLength > nLongest && !g_captured.nLongest.compare_exchange_weak(nLongest, nLength)) {
    }
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

// A socket made inside the namespace, bound to the address and port.
int BoundSocket(const std::string& strNamespace, int nType, const std::string& strAddress,
                uint16_t nPort) {
    int fd = -1;
    RunInNetns(strNamespace, [&] {
        fd = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = Ipv4Address(strAddress, nPort);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    return fd;
}

bool WriteAll(int fd, size_t nBytes) {
    const std::vector<char> block(64 * 1024, 'x');
    while (nBytes > 0) {
        const ssize_t nSent =
            ::send(fd, block.data(), std::min(block.size(), nBytes), MSG_NOSIGNAL);
        if (nSent <= 0) {
            return false;
        }
        nBytes -= static_cast<size_t>(nSent);
    }
    return true;
}

// Sends each datagram and checks that it arrives whole.
void SendDatagrams(int fdFrom, int fdTo, const std::string& strTo, uint16_t nPort,
                   const std::vector<size_t>& sizes) {
    const sockaddr_in to = Ipv4Address(strTo, nPort);
    std::vector<char> buffer(64 * 1024, 'u');
    for (const size_t nSize : sizes) {
        ASSERT_EQ(::sendto(fdFrom, buffer.data(), nSize, 0, reinterpret_cast<const sockaddr*>(&to),
                           sizeof to),
                  static_cast<ssize_t>(nSize));
        pollfd wait{fdTo, POLLIN, 0};
        ASSERT_EQ(::poll(&wait, 1, 5000), 1) << "datagram of " << nSize << " bytes lost";
        ASSERT_EQ(::recv(fdTo, buffer.data(), buffer.size(), 0), static_cast<ssize_t>(nSize));
    }
}

// Sizes around the MTU: 28 bytes of headers only, one full frame, and
// datagrams that leave in 2, 3 and 7 fragments.
const std::vector<size_t> kDatagramSizes = {0, 1, 18, 100, 1000, 1472, 1473, 4000, 9000};
constexpr size_t kTcpBytes = 4 * 1024 * 1024; // enough for segmentation-offload packets
constexpr uint16_t kUdpPort = 40001;
constexpr uint16_t kTcpPort = 40002;
constexpr int32_t kEthernetHeader = 14;

class CaptureNetnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string strWhy = NetnsUnavailableReason();
        if (!strWhy.empty()) {
            GTEST_SKIP() << strWhy;
        }
        m_pNetns = std::make_unique<NetnsPair>();
        ASSERT_TRUE(m_pNetns->IsUp()) << m_pNetns->GetError();
    }
    void TearDown() override { g_captured.pMeter = nullptr; }

    // Opens the capture inside namespace A; its thread inherits the namespace.
    bool OpenIn(CPacket& packet, const std::string& strAddress) {
        g_captured.Reset(strAddress);
        bool bOpened = false;
        RunInNetns(A().strNamespace, [&] { bOpened = packet.Open(strAddress, 0); });
        return bOpened;
    }

    const NetnsSide& A() const { return m_pNetns->A(); }
    const NetnsSide& B() const { return m_pNetns->B(); }

    std::unique_ptr<NetnsPair> m_pNetns;
};

TEST_F(CaptureNetnsTest, BytesPerDirectionEqualTheInterfaceCounters) {
    CPacket packet(OnCapture);
    ASSERT_TRUE(OpenIn(packet, A().strAddress)) << packet.GetErrorText();
    const auto before = ReadLinkCounters(A().strNamespace, A().strInterface);
    ASSERT_TRUE(before);
    const auto start = CPacket::Clock::now();

    // UDP each way.
    Fd udpA(BoundSocket(A().strNamespace, SOCK_DGRAM, A().strAddress, kUdpPort));
    Fd udpB(BoundSocket(B().strNamespace, SOCK_DGRAM, B().strAddress, kUdpPort));
    ASSERT_GE(udpA.Get(), 0);
    ASSERT_GE(udpB.Get(), 0);
    SendDatagrams(udpA.Get(), udpB.Get(), B().strAddress, kUdpPort, kDatagramSizes);
    SendDatagrams(udpB.Get(), udpA.Get(), A().strAddress, kUdpPort, kDatagramSizes);

    // TCP each way, then an orderly close begun by A.
    Fd listener(BoundSocket(B().strNamespace, SOCK_STREAM, B().strAddress, kTcpPort));
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    Fd tcpA(BoundSocket(A().strNamespace, SOCK_STREAM, A().strAddress, 0));
    const sockaddr_in toB = Ipv4Address(B().strAddress, kTcpPort);
    ASSERT_EQ(::connect(tcpA.Get(), reinterpret_cast<const sockaddr*>(&toB), sizeof toB), 0);
    Fd tcpB(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(tcpB.Get(), 0);
    for (const auto& [fdFrom, fdTo] :
         {std::pair{tcpA.Get(), tcpB.Get()}, {tcpB.Get(), tcpA.Get()}}) {
        std::atomic<bool> bWritten{false};
        std::thread writer([&, fdFrom = fdFrom] { bWritten = WriteAll(fdFrom, kTcpBytes); });
        const size_t nRead = ReadBytes(fdTo, kTcpBytes, 10s).size();
        writer.join();
        ASSERT_TRUE(bWritten);
        ASSERT_EQ(nRead, kTcpBytes);
    }
    ASSERT_EQ(::shutdown(tcpA.Get(), SHUT_WR), 0);
    char c;
    ASSERT_EQ(ReadBytes(tcpB.Get(), 1).size(), 0u); // A's FIN
    tcpB.Reset();
    // A sees B's FIN only after answering it: its last ACK is on the counters.
    ASSERT_EQ(::recv(tcpA.Get(), &c, 1, 0), 0);

    const auto end = CPacket::Clock::now();
    const auto after = ReadLinkCounters(A().strNamespace, A().strInterface);
    ASSERT_TRUE(after);
    const uint64_t nRxPackets = after->nRxPackets - before->nRxPackets;
    const uint64_t nTxPackets = after->nTxPackets - before->nTxPackets;
    // What the kernel already counted comes a block at a time, and then word of it.
    EXPECT_TRUE(WaitUntil([&] {
        return g_captured.nDownloadPackets >= nRxPackets &&
               g_captured.nUploadPackets >= nTxPackets && g_captured.handedOver.load() >= end;
    }));
    packet.Close();
    EXPECT_GE(g_captured.first.load(), start);
    EXPECT_LE(g_captured.last.load(), end);
    EXPECT_LE(g_captured.late.load().count(), 0) << "ns after the word that all had come";

    EXPECT_EQ(g_captured.nDownloadPackets, nRxPackets);
    EXPECT_EQ(g_captured.nUploadPackets, nTxPackets);
    EXPECT_EQ(g_captured.nDownloadBytes,
              after->nRxBytes - before->nRxBytes - kEthernetHeader * nRxPackets);
    EXPECT_EQ(g_captured.nUploadBytes,
              after->nTxBytes - before->nTxBytes - kEthernetHeader * nTxPackets);
    EXPECT_EQ(g_captured.nOther, 0u);
    // Lengths beyond the snap length were counted in full.
    EXPECT_GT(g_captured.nLongest, CPacket::SNAP_LENGTH);
    const CPacket::Stats stats = packet.GetStats();
    EXPECT_EQ(stats.nDropped, 0u);
    EXPECT_EQ(stats.nReceived, g_captured.Packets());
}

TEST_F(CaptureNetnsTest, LoopbackDatagramsAreCapturedOnce) {
    CPacket packet(OnCapture);
    ASSERT_TRUE(OpenIn(packet, "127.0.0.1")) << packet.GetErrorText();
    const auto before = ReadLinkCounters(A().strNamespace, "lo");
    ASSERT_TRUE(before);
    Fd udp(BoundSocket(A().strNamespace, SOCK_DGRAM, "127.0.0.1", kUdpPort));
    ASSERT_GE(udp.Get(), 0);
    const std::vector<size_t> sizes = {0, 100, 1472, 30000};
    SendDatagrams(udp.Get(), udp.Get(), "127.0.0.1", kUdpPort, sizes);
    // A last datagram after which no copy of an earlier one can still come.
    SendDatagrams(udp.Get(), udp.Get(), "127.0.0.1", kUdpPort, {1});
    EXPECT_TRUE(WaitUntil([&] { return g_captured.Packets() >= sizes.size() + 1; }));
    packet.Close();

    const auto after = ReadLinkCounters(A().strNamespace, "lo");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->nTxPackets - before->nTxPackets, sizes.size() + 1);
    EXPECT_EQ(g_captured.nDownloadPackets, sizes.size() + 1);
    EXPECT_EQ(g_captured.nUploadPackets, 0u);
    EXPECT_EQ(g_captured.nDownloadBytes, 0 + 100 + 1472 + 30000 + 1 + 5 * 28u);
}

TEST_F(CaptureNetnsTest, CloseReturnsWithin100msOnAnIdleLink) {
    CPacket packet(OnCapture);
    for (const auto idle : {0ms, 30ms, 70ms, 150ms}) {
        ASSERT_TRUE(OpenIn(packet, A().strAddress)) << packet.GetErrorText();
        std::this_thread::sleep_for(idle); // the link stays silent meanwhile
        const auto start = std::chrono::steady_clock::now();
        packet.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, Promptly(100ms))
            << "after " << idle.count() << " ms idle";
        EXPECT_EQ(packet.GetExitCode(), 0u);
    }
    EXPECT_EQ(g_captured.Packets(), 0u);
}

// Built packets in the meter's own unit tests; here the datagrams of a real
// link reach it through the capture.
TEST_F(CaptureNetnsTest, TheMeterCountsWhatTheLinkCarried) {
    static std::mutex s_mtxReports;
    static std::vector<std::pair<float, float>> s_counts;
    s_counts.clear();
    CTrafficMeter meter([](int32_t nKind, float fDownload, float fUpload) {
        if (nKind == CTrafficMeter::REPORT_BYTES) {
            std::lock_guard lock(s_mtxReports);
            s_counts.emplace_back(fDownload, fUpload);
        }
    });
    // Periods start now, as the stamps do; the first ends when the test says so.
    std::mutex mtxClock;
    std::condition_variable cvClock;
    auto now = CTrafficMeter::Clock::now();
    bool bReleased = false;
    meter.SetClock(
        [&] {
            std::lock_guard lock(mtxClock);
            return now;
        },
        [&](CTrafficMeter::Clock::time_point until) {
            std::unique_lock lock(mtxClock);
            cvClock.wait(lock, [&] { return bReleased; });
            now = until;
        });
    std::vector<CTrafficFilter> filters(1);
    filters[0].AddAddressRule(1, "*.*.*.*");
    filters[0].AddPortRule(1, 0);
    filters[0].SetLocalAddress(A().strAddress);
    meter.Start(60 * CTrafficMeter::DEFAULT_PERIOD, &filters); // long enough for any machine

    CPacket packet(OnCapture);
    ASSERT_TRUE(OpenIn(packet, A().strAddress)) << packet.GetErrorText();
    g_captured.pMeter = &meter;
    Fd udpA(BoundSocket(A().strNamespace, SOCK_DGRAM, A().strAddress, kUdpPort));
    Fd udpB(BoundSocket(B().strNamespace, SOCK_DGRAM, B().strAddress, kUdpPort));
    SendDatagrams(udpA.Get(), udpB.Get(), B().strAddress, kUdpPort, {1000, 1000, 1000});
    SendDatagrams(udpB.Get(), udpA.Get(), A().strAddress, kUdpPort, {500});
    EXPECT_TRUE(WaitUntil([&] { return g_captured.Packets() >= 4; }));
    packet.Close();
    g_captured.pMeter = nullptr;

    {
        std::lock_guard lock(mtxClock);
        bReleased = true;
    }
    cvClock.notify_all();
    EXPECT_TRUE(WaitUntil([&] {
        std::lock_guard lock(s_mtxReports);
        return !s_counts.empty();
    }));
    meter.Stop(false);
    std::lock_guard lock(s_mtxReports);
    ASSERT_FALSE(s_counts.empty());
    EXPECT_FLOAT_EQ(s_counts[0].first, 528.0f);
    EXPECT_FLOAT_EQ(s_counts[0].second, 3 * 1028.0f);
}

// Failures that need no namespace: they run without root too.

TEST(CaptureErrors, AnAddressNoInterfaceHoldsIsRefused) {
    const std::string strUnheld = "192.0.2.1"; // documentation range
    if ((' ' + CSocket().GetLocalAddresses()).find(' ' + strUnheld + ' ') != std::string::npos) {
        GTEST_SKIP() << "an interface of this machine holds " << strUnheld;
    }
    CPacket packet(OnCapture);
    EXPECT_FALSE(packet.Open(strUnheld, 0));
    EXPECT_EQ(packet.GetErrorText(), "WSAEADDRNOTAVAIL\nCannot assign requested address");
    EXPECT_EQ(WSAGetLastError(), 10049);
    EXPECT_EQ(packet.GetExitCode(), 0u); // no thread
    // Address text reads as the classic converter reads it: "10.0.0" is
    // 10.0.0.0, and text that is no address the broadcast address, which no
    // interface holds either.
    for (const char* pszTyped : {"10.0.0", "foo", ""}) {
        EXPECT_FALSE(packet.Open(pszTyped, 0));
        EXPECT_EQ(packet.GetErrorText(), "WSAEADDRNOTAVAIL\nCannot assign requested address")
            << pszTyped;
    }
    // The failed open keeps its text only until Close.
    packet.Close();
    EXPECT_EQ(packet.GetErrorText(), "");
}

// Opens a capture on loopback in a child process that holds neither
// CAP_NET_RAW nor CAP_NET_ADMIN; the open's result and error text come back
// through a pipe.
std::pair<bool, std::string> OpenWithoutCapturePrivilege() {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {true, "no pipe"};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        ::syscall(SYS_capget, &header, data);
        for (const int nCap : {CAP_NET_RAW, CAP_NET_ADMIN}) {
            data[CAP_TO_INDEX(nCap)].effective &= ~CAP_TO_MASK(nCap);
            data[CAP_TO_INDEX(nCap)].permitted &= ~CAP_TO_MASK(nCap);
            data[CAP_TO_INDEX(nCap)].inheritable &= ~CAP_TO_MASK(nCap);
        }
        if (::syscall(SYS_capset, &header, data) != 0) {
            ::_exit(2);
        }
        CPacket packet(nullptr);
        const bool bOpened = packet.Open("127.0.0.1", 0);
        const std::string strText = (bOpened ? "1" : "0") + packet.GetErrorText();
        packet.Close();
        const bool bWritten =
            ::write(fds[1], strText.data(), strText.size()) == static_cast<ssize_t>(strText.size());
        ::_exit(bWritten ? 0 : 3);
    }
    ::close(fds[1]);
    std::string strText;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        strText.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int nStatus = 0;
    ::waitpid(pid, &nStatus, 0);
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0 || strText.empty()) {
        return {true, "child failed, status " + std::to_string(nStatus)};
    }
    return {strText[0] == '1', strText.substr(1)};
}

TEST(CaptureErrors, AnOpenWithoutTheCapturePrivilegeIsRefused) {
    const auto [bOpened, strText] = OpenWithoutCapturePrivilege();
    EXPECT_FALSE(bOpened) << strText;
    EXPECT_EQ(strText, "WSAEACCES\nPermission Denied: Access in use");
}

} // namespace
