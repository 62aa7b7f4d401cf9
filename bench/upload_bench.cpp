// Upload throughput of CTrafficSender against iperf3 on the same link, with
// the same kind of receiver on both sides.
//
//   bench_upload [seconds per run, default 3] [rounds, default 6]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), sends from the first to a sink in the second, and runs
// iperf3 between the same two addresses in the same run: one TCP stream, and
// UDP with 1000-byte datagrams and no rate limit. The sink receives as
// iperf3's server does: it waits for the socket, reads one datagram (or one
// 128 KB block of the stream), and looks for the end of the run before the
// next. Both sides are measured the same way, by the kernel over a window
// after a second of warm-up: the bytes sent (the first side's interface,
// headers included), and for UDP the datagrams the receiving program read
// and those its socket dropped for want of room (the second namespace's UDP
// counters). The TCP ratio is of the bytes sent; the UDP ratio of the
// datagrams read. Everything it starts is ended by pid, and the namespaces
// are removed on the way out.
#include "bench/bench_support.h"
#include "net/traffic_sender.h"
#include "tests/support/address.h"
#include "tests/support/netns.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
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

constexpr uint16_t NODE_PORT = 20000;
constexpr int WARMUP_SECONDS = 1;
static_assert(CTrafficSender::BLOCK_SIZE == IPERF3_DATAGRAM, "both sides send the same datagrams");

void OnNodeBytes(const char*, int32_t) {}
void OnDatagram(const char*, int32_t, const std::string&, uint16_t, CClientUDP::Clock::time_point) {
}

// The receiving end, inside the second namespace, with the system's default
// receive buffer as iperf3's server has it. One wait and one read per
// datagram (per block of the stream), the end looked for before each.
class CSink {
public:
    CSink(const NetnsSide& side, bool bTcp) {
        // A socket stays in the namespace it was made in, so the thread that
        // reads it may run anywhere.
        RunInNetns(side.strNamespace, [&] {
            m_fd = socket(AF_INET, (bTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
            const sockaddr_in addr = Ipv4Address(side.strAddress, NODE_PORT);
            const int nOne = 1;
            setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
            m_bListening = m_fd >= 0 &&
                           bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                           (!bTcp || listen(m_fd, 1) == 0);
        });
        if (m_bListening) {
            m_thread = std::thread([this, bTcp] { Run(bTcp); });
        }
    }
    ~CSink() {
        m_bStop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool IsListening() const { return m_bListening; }
    // Datagrams that were not exactly one block: the upload is malformed.
    uint64_t OddDatagrams() const { return m_nOddDatagrams; }

private:
    void Run(bool bTcp) {
        const int fd = m_fd;
        int conn = bTcp ? -1 : fd;
        std::vector<char> buffer(bTcp ? 131072 : 2048); // as iperf3 reads
        while (!m_bStop) {
            // The timeout only bounds the wait for the end when nothing comes.
            pollfd pfd{conn >= 0 ? conn : fd, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) {
                continue;
            }
            if (conn < 0) {
                conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            const ssize_t n = recv(conn, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (bTcp &&
                (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))) {
                // The sender is gone: its end of stream would keep the poll
                // above readable, so wait for the next one instead.
                close(conn);
                conn = -1;
                continue;
            }
            if (!bTcp && n >= 0 && n != CTrafficSender::BLOCK_SIZE) {
                ++m_nOddDatagrams;
            }
        }
        if (conn >= 0 && conn != fd) {
            close(conn);
        }
    }

    int m_fd = -1;
    bool m_bListening = false;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nOddDatagrams{0};
    std::thread m_thread;
};

// Our sender from the first side to the sink over the window; nothing when
// either end failed or the run was interrupted.
std::optional<PairWindow> MeasureOurs(const NetnsPair& netns, bool bTcp, int nSeconds) {
    CSink sink(netns.B(), bTcp);
    if (!sink.IsListening()) {
        std::fprintf(stderr, "sink: cannot listen on %s:%u\n", netns.B().strAddress.c_str(),
                     NODE_PORT);
        return std::nullopt;
    }
    // The clients' sockets are made on a thread inside the first namespace
    // and stay there; the sender's own thread may live anywhere.
    CClient client(OnNodeBytes);
    CClientUDP clientUdp(OnDatagram);
    CTrafficSender sender(&client, &clientUdp);
    bool bOpened = false;
    RunInNetns(netns.A().strNamespace, [&] {
        bOpened = bTcp ? client.Connect(netns.B().strAddress, NODE_PORT)
                       : clientUdp.Open(netns.A().strAddress, NODE_PORT);
    });
    if (!bOpened) {
        std::fprintf(stderr, "client: %s\n",
                     (bTcp ? client.GetErrorText() : clientUdp.GetErrorText()).c_str());
        return std::nullopt;
    }
    sender.Start(bTcp, bTcp ? std::string() : netns.B().strAddress, bTcp ? 0 : NODE_PORT);
    std::optional<PairWindow> window = MeasureWindow(netns, WARMUP_SECONDS, nSeconds);
    sender.Stop(false);
    client.Close();
    clientUdp.Close();
    if (sink.OddDatagrams() != 0) {
        std::fprintf(stderr, "sink: %llu datagrams of another size than one block\n",
                     static_cast<unsigned long long>(sink.OddDatagrams()));
        return std::nullopt;
    }
    return window;
}

std::optional<PairWindow> MeasureIperf(const NetnsPair& netns, bool bTcp, int nSeconds) {
    return MeasureIperf3Window(netns, netns.B(), netns.A(), {.bTcp = bTcp}, WARMUP_SECONDS,
                               nSeconds);
}

double SentBitsPerSecond(const PairWindow& window) {
    return window.BitsPerSecond(window.linkA.nTxBytes);
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_upload", {3, 6});
    const CBenchPair bench("bench_upload",
                           RunPlanText(nSeconds, nRounds, WARMUP_SECONDS) + "; A sends to B");
    if (!bench.IsUp()) {
        return bench.ExitCode();
    }
    const NetnsPair& netns = bench.Netns();
    // Per round: TCP sent, UDP read, UDP sent, and each side's UDP drop share.
    std::vector<double> tcpRatios, udpReadRatios, udpSentRatios, oursDropped, iperfDropped;
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        std::printf("round %d\n", nRound);
        // Who goes first alternates, so that a trend in the machine's load
        // does not favour one side.
        const bool bOursFirst = nRound % 2 == 1;
        std::optional<PairWindow> windows[4]; // ours TCP, iperf3 TCP, ours UDP, iperf3 UDP
        for (int nMode = 0; nMode < 2; ++nMode) {
            const bool bTcp = nMode == 0;
            std::optional<PairWindow>& ours = windows[2 * nMode];
            std::optional<PairWindow>& reference = windows[2 * nMode + 1];
            if (bOursFirst) {
                ours = MeasureOurs(netns, bTcp, nSeconds);
                reference = MeasureIperf(netns, bTcp, nSeconds);
            } else {
                reference = MeasureIperf(netns, bTcp, nSeconds);
                ours = MeasureOurs(netns, bTcp, nSeconds);
            }
        }
        for (const auto& window : windows) {
            bOk = bOk && window.has_value();
        }
        if (!bOk || g_bInterrupted) {
            ReportFailure(("round " + std::to_string(nRound) + " failed").c_str());
            break;
        }
        const double dOursTcp = SentBitsPerSecond(*windows[0]);
        const double dIperfTcp = SentBitsPerSecond(*windows[1]);
        std::printf("  %-26s sent %7.0f Mbit/s\n", "CTrafficSender TCP", dOursTcp / 1e6);
        std::printf("  %-26s sent %7.0f Mbit/s\n", "iperf3 TCP (1 stream)", dIperfTcp / 1e6);
        const UdpReception ours = ReceptionOf(*windows[2], true, CTrafficSender::BLOCK_SIZE);
        const UdpReception iperf = ReceptionOf(*windows[3], true, IPERF3_DATAGRAM);
        PrintReception("CTrafficSender UDP", ours);
        PrintReception("iperf3 UDP (-b 0 -l 1000)", iperf);
        tcpRatios.push_back(dOursTcp / dIperfTcp);
        udpReadRatios.push_back(ours.dReadPerSecond / iperf.dReadPerSecond);
        udpSentRatios.push_back(ours.dSentBitsPerSecond / iperf.dSentBitsPerSecond);
        oursDropped.push_back(ours.DroppedShare());
        iperfDropped.push_back(iperf.DroppedShare());
        std::printf("  ratio to iperf3: TCP sent %.2f   UDP read %.2f (sent %.2f)\n",
                    tcpRatios.back(), udpReadRatios.back(), udpSentRatios.back());
        std::fflush(stdout);
    }
    if (bOk && !g_bInterrupted) {
        std::printf("medians: ratio to iperf3 TCP sent %.2f, UDP read %.2f (sent %.2f); UDP "
                    "dropped at the receiving socket: ours %.1f %%, iperf3 %.1f %%\n",
                    Median(tcpRatios), Median(udpReadRatios), Median(udpSentRatios),
                    100 * Median(oursDropped), 100 * Median(iperfDropped));
    }
    return ExitCode(bOk);
}
