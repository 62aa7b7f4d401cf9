// UDP uploads into the node: one session, then four at once from four
// addresses, against iperf3 with as many streams on the same link.
//
//   bench_node_upload [seconds per run, default 3] [rounds, default 3]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh) and gives the second side three more addresses. The
// node runs in the first as a service runs it: as an unprivileged user
// without capabilities, so that its sockets get no more receive buffer than
// net.core.rmem_max allows. In the second, one client per address runs a
// session of test 4 (UDP upload) and sends with the program's own upload
// sender (CTrafficSender on a CClientUDP bound to that address and the node
// port), as Bandscope does. Both sides are measured the same way, by the
// kernel over a window after a second of warm-up: what was offered (the UDP
// payload the second side's veth sent), what the receiving program read (the
// payload that reached the first side, times the share its sockets took in
// rather than dropped, by the first namespace's UDP counters: with receive
// offload the kernel counts a batch kept whole as one, so the share is of
// batches) and what was dropped. Over the whole test, the bytes the node
// itself logged as received are held against the payload sent. Rounds
// alternate which goes first. Everything it starts is ended by pid, and the
// namespaces are removed on the way out.
#include "bench/bench_support.h"
#include "net/client_udp.h"
#include "net/traffic_sender.h"
#include "tests/support/address.h"
#include "tests/support/loopback.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace bench_support;
using namespace testing_support;

namespace {

constexpr uint16_t NODE_PORT = 20000;
constexpr int WARMUP_SECONDS = 1;
constexpr int MOST_SESSIONS = 4;
constexpr uint64_t FRAME_HEADERS = 14 + 20 + 8; // Ethernet, IP and UDP, once per packet
static_assert(CTrafficSender::BLOCK_SIZE == IPERF3_DATAGRAM, "both sides send the same datagrams");

// As a service runs the node: user nobody, no capabilities, none to gain.
const std::vector<std::string> UNPRIVILEGED = {"setpriv",         "--reuid=65534",
                                               "--regid=65534",   "--clear-groups",
                                               "--inh-caps=-all", "--bounding-set=-all"};

void OnDatagram(const char*, int32_t, const std::string&, uint16_t, CClientUDP::Clock::time_point) {
}

// The second side's address for client k (0 is the pair's own).
std::string ClientAddress(const NetnsPair& netns, int k) {
    return "10.199." + std::to_string(netns.GetId()) + "." + std::to_string(2 + k);
}

// Three more addresses on the second side's veth, which the first side
// reaches without asking (the link stays quiet).
bool AddClientAddresses(const NetnsPair& netns) {
    std::string strMac;
    if (RunProcess({"ip", "netns", "exec", netns.B().strNamespace, "cat",
                    "/sys/class/net/" + netns.B().strInterface + "/address"},
                   std::chrono::seconds(5), &strMac) != 0) {
        return false;
    }
    strMac = strMac.substr(0, strMac.find('\n'));
    for (int k = 1; k < MOST_SESSIONS; ++k) {
        const std::string strAddress = ClientAddress(netns, k);
        if (RunProcess({"ip", "-n", netns.B().strNamespace, "addr", "add", strAddress + "/24",
                        "dev", netns.B().strInterface},
                       std::chrono::seconds(5)) != 0 ||
            RunProcess({"ip", "-n", netns.A().strNamespace, "neigh", "replace", strAddress,
                        "lladdr", strMac, "dev", netns.A().strInterface, "nud", "permanent"},
                       std::chrono::seconds(5)) != 0) {
            return false;
        }
    }
    return true;
}

// One client: its connection to the node from its own address, and the
// program's UDP socket and upload sender on that address.
struct UploadClient {
    int fd = -1;
    CClientUDP udp{OnDatagram};
    CTrafficSender sender{nullptr, &udp};
    ~UploadClient() {
        sender.Stop(false);
        udp.Close();
        if (fd >= 0) {
            close(fd);
        }
    }
};

// What one run measured.
struct UploadRun {
    PairWindow window;
    double dLoggedShare = 0; // the node's logged bytes over the payload sent, whole test
};

// Payload bytes per second that side A received, that B sent, and the share
// of what reached A's sockets that they took in.
double Offered(const PairWindow& w) {
    return w.PerSecond(w.linkB.nTxBytes - FRAME_HEADERS * w.linkB.nTxPackets);
}
double TakenShare(const PairWindow& w) {
    const uint64_t nArrived = w.udpA.nInDatagrams + w.udpA.nRcvbufErrors;
    return nArrived > 0 ? static_cast<double>(w.udpA.nInDatagrams) / nArrived : 0;
}
double Read(const PairWindow& w) {
    return w.PerSecond(w.linkA.nRxBytes - FRAME_HEADERS * w.linkA.nRxPackets) * TakenShare(w);
}

std::optional<UploadRun> MeasureNode(const NetnsPair& netns, int nSessions, int nSeconds) {
    NodeProcess node;
    if (!node.Start({"--bind", netns.A().strAddress, "--port", std::to_string(NODE_PORT)},
                    netns.A().strNamespace, UNPRIVILEGED) ||
        node.WaitReady().empty()) {
        ReportFailure(("the node did not start: " + node.Log()).c_str());
        return std::nullopt;
    }
    std::vector<std::unique_ptr<UploadClient>> clients;
    bool bOk = true;
    RunInNetns(netns.B().strNamespace, [&] {
        for (int k = 0; k < nSessions && bOk; ++k) {
            auto pClient = std::make_unique<UploadClient>();
            const std::string strAddress = ClientAddress(netns, k);
            pClient->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in from = Ipv4Address(strAddress, 0);
            const sockaddr_in to = Ipv4Address(netns.A().strAddress, NODE_PORT);
            bOk = ::bind(pClient->fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
                  ::connect(pClient->fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                  pClient->udp.Open(strAddress, NODE_PORT);
            clients.push_back(std::move(pClient));
        }
    });
    const auto before = ReadLinkCounters(netns.B().strNamespace, netns.B().strInterface);
    // The test outlasts warm-up and window; the clients end it.
    const uint16_t nTestSeconds = static_cast<uint16_t>(WARMUP_SECONDS + nSeconds + 3);
    const unsigned char start[4] = {0x6C, static_cast<unsigned char>(nTestSeconds & 0xFF),
                                    static_cast<unsigned char>(nTestSeconds >> 8), 4};
    for (auto& pClient : clients) {
        bOk = bOk && ::send(pClient->fd, start, sizeof start, MSG_NOSIGNAL) == sizeof start &&
              ReadBytes(pClient->fd, 1, std::chrono::seconds(5)) == "\x04" &&
              pClient->sender.Start(false, netns.A().strAddress, NODE_PORT);
    }
    std::optional<PairWindow> window;
    if (bOk) {
        window = MeasureWindow(netns, WARMUP_SECONDS, nSeconds);
    }
    for (auto& pClient : clients) {
        pClient->sender.Stop(false);
        ::send(pClient->fd, "\x00", 1, MSG_NOSIGNAL);
    }
    const auto after = QuietLinkCounters(netns.B());
    clients.clear();
    node.Signal(SIGTERM);
    if (node.WaitExit() != 0 || !bOk || !window || !before || !after) {
        ReportFailure(
            ("a run of " + std::to_string(nSessions) + " session(s) failed:\n" + node.Log())
                .c_str());
        return std::nullopt;
    }
    uint64_t nLogged = 0;
    for (const std::string& strLine : TestEndLines(node.Log(), 4)) {
        const size_t nAt = strLine.find("received ");
        nLogged += nAt == std::string::npos ? 0 : std::stoull(strLine.substr(nAt + 9));
    }
    const uint64_t nSent = (after->nTxBytes - before->nTxBytes) -
                           FRAME_HEADERS * (after->nTxPackets - before->nTxPackets);
    return UploadRun{*window, nSent > 0 ? static_cast<double>(nLogged) / nSent : 0};
}

std::optional<PairWindow> MeasureIperf(const NetnsPair& netns, int nStreams, int nSeconds) {
    return MeasureIperf3Window(netns, netns.A(), netns.B(), {.bTcp = false, .nStreams = nStreams},
                               WARMUP_SECONDS, nSeconds);
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_node_upload", {3, 3});
    const CBenchPair bench("bench_node_upload", RunPlanText(nSeconds, nRounds, WARMUP_SECONDS) +
                                                    "; the node on A, the clients on B");
    if (!bench.IsUp()) {
        return bench.ExitCode();
    }
    const NetnsPair& netns = bench.Netns();
    if (!AddClientAddresses(netns)) {
        std::fprintf(stderr, "cannot add the client addresses\n");
        return 1;
    }
    std::string strRmemMax;
    RunProcess({"cat", "/proc/sys/net/core/rmem_max"}, std::chrono::seconds(5), &strRmemMax);
    std::printf("the node unprivileged (net.core.rmem_max %s bytes), clients on %s..%d\n",
                strRmemMax.substr(0, strRmemMax.find('\n')).c_str(), netns.B().strAddress.c_str(),
                1 + MOST_SESSIONS);
    std::printf("MB/s of UDP payload; 'dropped' is the share of what reached the receiving "
                "sockets that they dropped\n");
    std::printf("round sessions |  offered     read  dropped  logged/sent |   iperf3 offered     "
                "read  dropped | read ratio\n");
    std::vector<double> ratios[2], dropped[2], taken[2];
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        for (int nMode = 0; nMode < 2 && bOk && !g_bInterrupted; ++nMode) {
            const int nSessions = nMode == 0 ? 1 : MOST_SESSIONS;
            std::optional<UploadRun> ours;
            std::optional<PairWindow> iperf;
            if (nRound % 2 == 1) {
                ours = MeasureNode(netns, nSessions, nSeconds);
                iperf = MeasureIperf(netns, nSessions, nSeconds);
            } else {
                iperf = MeasureIperf(netns, nSessions, nSeconds);
                ours = MeasureNode(netns, nSessions, nSeconds);
            }
            if (!ours || !iperf) {
                bOk = false;
                break;
            }
            const PairWindow& w = ours->window;
            const double dRatio = Read(*iperf) > 0 ? Read(w) / Read(*iperf) : 0;
            std::printf(
                "%5d %8d | %8.0f %8.0f  %5.1f %%  %11.4f | %16.0f %8.0f  %5.1f %% | %10.2f\n",
                nRound, nSessions, Offered(w) / 1e6, Read(w) / 1e6, 100 * (1 - TakenShare(w)),
                ours->dLoggedShare, Offered(*iperf) / 1e6, Read(*iperf) / 1e6,
                100 * (1 - TakenShare(*iperf)), dRatio);
            std::fflush(stdout);
            ratios[nMode].push_back(dRatio);
            dropped[nMode].push_back(1 - TakenShare(w));
            taken[nMode].push_back(ours->dLoggedShare);
        }
    }
    if (bOk && !g_bInterrupted) {
        for (int nMode = 0; nMode < 2; ++nMode) {
            std::printf("medians, %d session(s): dropped %.1f %%, logged/sent %.4f, read ratio to "
                        "iperf3 %.2f\n",
                        nMode == 0 ? 1 : MOST_SESSIONS, 100 * Median(dropped[nMode]),
                        Median(taken[nMode]), Median(ratios[nMode]));
        }
    }
    return ExitCode(bOk);
}
