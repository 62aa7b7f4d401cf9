// The real node against a client whose host vanishes, which loopback cannot show.
#include "tests/support/loopback.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/raw_download.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace testing_support;
using namespace std::chrono_literals;

// A client's link goes down in the middle of its UDP download, with nothing
// to acknowledge (no keepalive then; the kernel would wait a quarter of an
// hour): its session, and so its UDP download, end within seconds.
TEST(NodeNetns, AVanishedClientsUdpDownloadEndsWithinSeconds) {
    if (const std::string strWhy = NetnsUnavailableReason(); !strWhy.empty()) {
        GTEST_SKIP() << strWhy;
    }
    NetnsPair netns;
    ASSERT_TRUE(netns.IsUp()) << netns.GetError();
    const NetnsSide &a = netns.A(), &b = netns.B();
    NodeProcess node;
    ASSERT_TRUE(node.Start(
        {"--bind", a.strAddress, "--port", "0", "--udp-rate", "8", "--settle-ms", "100"},
        a.strNamespace));
    ASSERT_FALSE(node.WaitReady().empty());
    const sockaddr_in to = Ipv4Address(a.strAddress, node.Port());
    int late = -1;
    RunInNetns(b.strNamespace, [&] {
        late = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connect(late, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    });
    send(late, "\x6C\xFF\xFF\x02", 4, MSG_NOSIGNAL);
    EXPECT_EQ(ReadBytes(late, 1, 2s), "\x02");
    // The client takes in the download until test 5's command, then vanishes.
    send(late, "\x05", 1, MSG_NOSIGNAL);
    ASSERT_EQ(ReadStretch(late, 20s, true).nCommand, 5);
    ASSERT_EQ(RunProcess({"ip", "-n", b.strNamespace, "link", "set", b.strInterface, "down"}, 5s),
              0);
    // 6 s without a word from the host end it; the rest is room for a loaded machine.
    EXPECT_TRUE(WaitUntil([&] { return TestEndLines(node.Log(), 5).size() == 1; }, 20s))
        << node.Log();
    close(late);
}
