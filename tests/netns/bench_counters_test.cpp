// The kernel's counts that the benchmarks measure both sides of a comparison
// by: read in both namespaces of a pair at once, they tell the datagrams a
// program read from those its socket dropped, and the link's bytes, exactly.
#include "bench/bench_support.h"
#include "tests/support/address.h"
#include "tests/support/netns.h"

#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace bench_support;
using namespace testing_support;

namespace {

constexpr uint16_t kPort = 40003;
constexpr int kDatagrams = 200;
constexpr int kPayload = 1000;
constexpr uint64_t kFrame = kPayload + 8 + 20 + 14; // UDP, IPv4 and Ethernet headers

int UdpSocket(const NetnsSide& side, int nReceiveBuffer) {
    int fd = -1;
    RunInNetns(side.strNamespace, [&] {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
        const sockaddr_in addr = Ipv4Address(side.strAddress, kPort);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
        }
    });
    return fd;
}

TEST(BenchCounters, ReadAndDroppedDatagramsAndLinkBytesOfBothSides) {
    if (const std::string strWhy = NetnsUnavailableReason(); !strWhy.empty()) {
        GTEST_SKIP() << strWhy;
    }
    const NetnsPair netns;
    ASSERT_TRUE(netns.IsUp()) << netns.GetError();
    // A receive buffer with room for a few datagrams only, read after all
    // were sent: the rest are dropped at the socket.
    const int fdA = UdpSocket(netns.A(), 1 << 20);
    const int fdB = UdpSocket(netns.B(), 4096);
    ASSERT_GE(fdA, 0);
    ASSERT_GE(fdB, 0);
    uint64_t nRead = 0;
    const auto before = ReadPairCounters(netns, [&] { return nRead; });
    ASSERT_TRUE(before);

    const sockaddr_in to = Ipv4Address(netns.B().strAddress, kPort);
    const std::vector<char> payload(kPayload, 'b');
    for (int i = 0; i < kDatagrams; ++i) {
        ASSERT_EQ(::sendto(fdA, payload.data(), payload.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  kPayload);
    }
    std::vector<char> buffer(2048);
    while (::recv(fdB, buffer.data(), buffer.size(), MSG_DONTWAIT) == kPayload) {
        ++nRead;
    }
    const auto after = ReadPairCounters(netns, [&] { return nRead; });
    ::close(fdA);
    ::close(fdB);
    ASSERT_TRUE(after);

    const PairWindow window = Difference(*before, *after);
    EXPECT_GT(nRead, 0u);
    EXPECT_LT(nRead, static_cast<uint64_t>(kDatagrams));
    EXPECT_EQ(window.nOwn, nRead);
    EXPECT_EQ(window.udpB.nInDatagrams, nRead);
    EXPECT_EQ(window.udpB.nRcvbufErrors, kDatagrams - nRead);
    EXPECT_EQ(window.udpA.nInDatagrams + window.udpA.nRcvbufErrors, 0u);
    EXPECT_EQ(window.linkA.nTxPackets, static_cast<uint64_t>(kDatagrams));
    EXPECT_EQ(window.linkA.nTxBytes, kDatagrams * kFrame);
    EXPECT_EQ(window.linkB.nRxBytes, kDatagrams * kFrame);
    EXPECT_EQ(window.linkB.nTxBytes, 0u);

    const UdpReception reception = ReceptionOf(window, true, kPayload);
    EXPECT_DOUBLE_EQ(reception.DroppedShare(),
                     static_cast<double>(kDatagrams - nRead) / kDatagrams);
    EXPECT_NEAR(reception.dReadBitsPerSecond * window.dSeconds,
                8.0 * static_cast<double>(nRead * kPayload), 1e-6);
}

} // namespace
