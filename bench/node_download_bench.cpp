// Download throughput of bandscope-node against iperf3 in reverse mode on
// the same link.
//
//   bench_node_download [seconds per run, default 3] [rounds, default 3]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), runs the node in the first and a minimal client in the
// second (session start, test 2 or 5, then reading what arrives), and runs
// iperf3 -R between the same two addresses in the same run: one TCP stream,
// and UDP with 1000-byte datagrams and no rate limit. The client keeps the
// system's default receive buffer, as iperf3's client does, and drains
// datagrams in batches (the node's own batched receive). Both sides are
// measured the same way, by the kernel over a window after a second of
// warm-up: the bytes the sender put on the link (the first side's interface,
// headers included), and for UDP the datagrams the receiving program read
// and those its socket dropped (the second namespace's UDP counters). The
// client's own count is held against the kernel's. Prints each round, then
// the medians of the ratios to iperf3. Everything it starts is ended by pid,
// and the namespaces are removed on the way out.
#include "bench/bench_support.h"
#include "node/socket_io.h"
#include "tests/support/address.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace bench_support;
using namespace testing_support;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int WARMUP_SECONDS = 1;
// The node's test runs this much longer than warm-up and window, so that the
// window lies inside it; the client ends the session once it is measured.
constexpr int MARGIN_SECONDS = 3;
constexpr uint16_t NODE_PORT = 20000;
constexpr int NODE_DATAGRAM = 1000;
static_assert(NODE_DATAGRAM == IPERF3_DATAGRAM, "both sides send the same datagrams");

// The client side, on its own thread inside the second namespace: a session
// of one download test, read until told to stop (or the test's time is up).
class CDownloadClient {
public:
    CDownloadClient(const NetnsPair& netns, bool bTcp, int nTestSeconds)
        : m_thread(netns.B().strNamespace,
                   [this, &netns, bTcp, nTestSeconds] { Run(netns, bTcp, nTestSeconds); }) {}
    ~CDownloadClient() { Stop(); }

    void Stop() {
        m_bStop = true;
        m_thread.Join();
    }
    // What it has read: stream bytes (TCP) or datagrams (UDP).
    uint64_t Count() const { return m_nCount.load(std::memory_order_relaxed); }
    bool Failed() const { return m_bFailed; }

private:
    void Run(const NetnsPair& netns, bool bTcp, int nTestSeconds) {
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = Ipv4Address(netns.B().strAddress, NODE_PORT);
        if (udp < 0 || bind(udp, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            m_bFailed = true;
        }
        const sockaddr_in node = Ipv4Address(netns.A().strAddress, NODE_PORT);
        int tcp = -1;
        for (int nTry = 0; nTry < 50 && tcp < 0 && !m_bFailed && !m_bStop; ++nTry) {
            tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(tcp, reinterpret_cast<const sockaddr*>(&node), sizeof node) != 0) {
                close(tcp);
                tcp = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (tcp >= 0) {
            const auto nSeconds = static_cast<uint16_t>(nTestSeconds);
            const unsigned char start[4] = {0x6C, static_cast<unsigned char>(nSeconds & 0xFF),
                                            static_cast<unsigned char>(nSeconds >> 8),
                                            static_cast<unsigned char>(bTcp ? 2 : 5)};
            send(tcp, start, sizeof start, MSG_NOSIGNAL);
            Receive(bTcp ? tcp : udp, bTcp, Clock::now() + std::chrono::seconds(nTestSeconds));
            const char end = 0;
            send(tcp, &end, 1, MSG_NOSIGNAL);
            close(tcp);
        } else {
            m_bFailed = true;
        }
        if (udp >= 0) {
            close(udp);
        }
    }

    void Receive(int fd, bool bTcp, Clock::time_point end) {
        std::vector<char> data(131072); // as iperf3 reads the stream
        auto batch = std::make_unique<NodeIo::SDatagramBatch>();
        while (!m_bStop && !g_bInterrupted && Clock::now() < end) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) != 1) {
                continue;
            }
            if (bTcp) {
                const ssize_t n = recv(fd, data.data(), data.size(), MSG_DONTWAIT);
                if (n == 0) {
                    return;
                }
                if (n > 0) {
                    m_nCount.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                }
                continue;
            }
            // Everything that is there, a batch per call, before the next wait.
            do {
                if (!NodeIo::ReceiveDatagrams(fd, *batch)) {
                    m_bFailed = true;
                    return;
                }
                uint64_t nDatagrams = 0;
                for (int i = 0; i < batch->nCount; ++i) {
                    nDatagrams += static_cast<uint64_t>(batch->nDatagrams[i]);
                }
                m_nCount.fetch_add(nDatagrams, std::memory_order_relaxed);
            } while (batch->nCount == NodeIo::SDatagramBatch::MAX_READS && !m_bStop);
        }
    }

    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bFailed{false};
    std::atomic<uint64_t> m_nCount{0};
    NetnsThread m_thread; // last: it starts once the rest exists
};

// The node sending to our client over the window; nothing when a side
// failed or the run was interrupted.
std::optional<PairWindow> MeasureNode(const NetnsPair& netns, bool bTcp, int nSeconds) {
    const pid_t node =
        SpawnProcess({"ip", "netns", "exec", netns.A().strNamespace, NodeBinary(), "--bind",
                      netns.A().strAddress, "--port", std::to_string(NODE_PORT), "--once"},
                     OUTPUT_DISCARDED, OUTPUT_DISCARDED);
    std::optional<PairWindow> window;
    {
        CDownloadClient client(netns, bTcp, WARMUP_SECONDS + nSeconds + MARGIN_SECONDS);
        window = MeasureWindow(netns, WARMUP_SECONDS, nSeconds, [&] { return client.Count(); });
        client.Stop();
        if (client.Failed()) {
            std::fprintf(stderr, "client: the session or its receive failed\n");
            window.reset();
        }
    }
    EndProcess(node);
    return window;
}

// iperf3 with its server in the first namespace sending (-R) to the second.
std::optional<PairWindow> MeasureIperf(const NetnsPair& netns, bool bTcp, int nSeconds) {
    return MeasureIperf3Window(netns, netns.A(), netns.B(), {.bTcp = bTcp, .bReverse = true},
                               WARMUP_SECONDS, nSeconds);
}

double SentBitsPerSecond(const PairWindow& window) {
    return window.BitsPerSecond(window.linkA.nTxBytes);
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_node_download", {3, 3});
    const CBenchPair bench("bench_node_download", RunPlanText(nSeconds, nRounds, WARMUP_SECONDS) +
                                                      "; the node on A, the client on B");
    if (!bench.IsUp()) {
        return bench.ExitCode();
    }
    const NetnsPair& netns = bench.Netns();
    std::vector<double> tcpRatios, udpSentRatios, udpReadRatios, nodeDropped, iperfDropped;
    bool bOk = true;
    bool bCountsAgree = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        std::printf("round %d\n", nRound);
        std::optional<PairWindow> windows[4]; // node TCP, iperf3 TCP, node UDP, iperf3 UDP
        // Who goes first alternates, so that a trend in the load favours neither.
        for (int nMode = 0; nMode < 2; ++nMode) {
            const bool bTcp = nMode == 0;
            if (nRound % 2 == 1) {
                windows[2 * nMode] = MeasureNode(netns, bTcp, nSeconds);
                windows[2 * nMode + 1] = MeasureIperf(netns, bTcp, nSeconds);
            } else {
                windows[2 * nMode + 1] = MeasureIperf(netns, bTcp, nSeconds);
                windows[2 * nMode] = MeasureNode(netns, bTcp, nSeconds);
            }
        }
        for (const auto& window : windows) {
            bOk = bOk && window.has_value();
        }
        if (!bOk || g_bInterrupted) {
            ReportFailure(("round " + std::to_string(nRound) + " failed").c_str());
            break;
        }
        const PairWindow& nodeTcp = *windows[0];
        const double dNodeTcp = SentBitsPerSecond(nodeTcp);
        const double dIperfTcp = SentBitsPerSecond(*windows[1]);
        // The client's stream bytes against the frames the link brought it.
        std::printf("  %-26s sent %7.0f Mbit/s   client read %7.0f Mbit/s (%.3f of the link's "
                    "bytes)\n",
                    "node TCP", dNodeTcp / 1e6, nodeTcp.BitsPerSecond(nodeTcp.nOwn) / 1e6,
                    nodeTcp.linkB.nRxBytes > 0 ? static_cast<double>(nodeTcp.nOwn) /
                                                     static_cast<double>(nodeTcp.linkB.nRxBytes)
                                               : 0);
        std::printf("  %-26s sent %7.0f Mbit/s\n", "iperf3 -R TCP", dIperfTcp / 1e6);
        const UdpReception node = ReceptionOf(*windows[2], true, NODE_DATAGRAM);
        const UdpReception iperf = ReceptionOf(*windows[3], true, IPERF3_DATAGRAM);
        PrintReception("node UDP", node);
        PrintReception("iperf3 -R UDP", iperf);
        // The kernel counts a datagram as read when a program reads it: the
        // client's own count must be the same, give or take the moments
        // between the two readings.
        const double dOwn = static_cast<double>(windows[2]->nOwn);
        const double dKernel = static_cast<double>(windows[2]->udpB.nInDatagrams);
        const bool bAgree = dKernel > 0 && dOwn / dKernel > 0.999 && dOwn / dKernel < 1.001;
        bCountsAgree = bCountsAgree && bAgree;
        tcpRatios.push_back(dNodeTcp / dIperfTcp);
        udpSentRatios.push_back(node.dSentBitsPerSecond / iperf.dSentBitsPerSecond);
        udpReadRatios.push_back(node.dReadPerSecond / iperf.dReadPerSecond);
        nodeDropped.push_back(node.DroppedShare());
        iperfDropped.push_back(iperf.DroppedShare());
        std::printf("  client's own datagram count / the kernel's: %.4f%s\n", dOwn / dKernel,
                    bAgree ? "" : "  (DIFFERENT)");
        std::printf("  ratio to iperf3 -R: TCP sent %.2f   UDP sent %.2f (read %.2f)\n",
                    tcpRatios.back(), udpSentRatios.back(), udpReadRatios.back());
        std::fflush(stdout);
    }
    if (bOk && !g_bInterrupted) {
        std::printf("medians: ratio to iperf3 -R TCP sent %.2f, UDP sent %.2f (read %.2f); UDP "
                    "dropped at the client's socket: node %.1f %%, iperf3 %.1f %%; the client's "
                    "count agreed with the kernel's in every round: %s\n",
                    Median(tcpRatios), Median(udpSentRatios), Median(udpReadRatios),
                    100 * Median(nodeDropped), 100 * Median(iperfDropped),
                    bCountsAgree ? "yes" : "no");
    }
    return ExitCode(bOk);
}
