// Download throughput of bandscope-node against iperf3 in reverse mode on
// the same link.
//
//   bench_node_download [seconds per run, default 3] [rounds, default 3]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), runs the node in the first and a minimal client in the
// second (session start, test 2 or 5, then counting what arrives), and runs
// iperf3 -R between the same two addresses in the same run: one TCP stream,
// and UDP with 1000-byte datagrams and no rate limit. The TCP download is
// also taken in by the program's own CClient (its receive thread and a
// callback that counts), against the minimal client's plain 128 KB reads.
// Rates are taken at the receiver over a window that leaves out the first
// second. Everything it starts is ended by pid, and the namespaces are
// removed on the way out.
#include "bench/bench_support.h"
#include "net/client.h"
#include "tests/support/address.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
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
constexpr uint16_t NODE_PORT = 20000;

// The node's session for one download test, whose seconds leave room for the warm-up.
pid_t StartNode(const NetnsPair& netns) {
    return SpawnProcess({"ip", "netns", "exec", netns.A().strNamespace, NodeBinary(), "--bind",
                         netns.A().strAddress, "--port", std::to_string(NODE_PORT), "--once"},
                        OUTPUT_DISCARDED, OUTPUT_DISCARDED);
}

// The client side, on its own thread inside the second namespace: a session
// of one download test; bits per second received after the warm-up, or 0.
double MeasureNode(const NetnsPair& netns, bool bTcp, int nSeconds) {
    double dRate = 0;
    NetnsThread client(netns.B().strNamespace, [&] {
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in local = Ipv4Address(netns.B().strAddress, NODE_PORT);
        bind(udp, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        int buffer = 4 << 20;
        setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        const sockaddr_in node = Ipv4Address(netns.A().strAddress, NODE_PORT);
        int tcp = -1;
        for (int nTry = 0; nTry < 50 && tcp < 0; ++nTry) {
            tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(tcp, reinterpret_cast<const sockaddr*>(&node), sizeof node) != 0) {
                close(tcp);
                tcp = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (tcp >= 0) {
            const uint16_t nTestSeconds = static_cast<uint16_t>(nSeconds + WARMUP_SECONDS);
            const unsigned char start[4] = {0x6C, static_cast<unsigned char>(nTestSeconds & 0xFF),
                                            static_cast<unsigned char>(nTestSeconds >> 8),
                                            static_cast<unsigned char>(bTcp ? 2 : 5)};
            send(tcp, start, sizeof start, MSG_NOSIGNAL);
            std::vector<char> data(131072); // as iperf3 reads
            const int fd = bTcp ? tcp : udp;
            const int nSize = bTcp ? 131072 : 2048;
            const auto begin = Clock::now();
            const auto counting = begin + std::chrono::seconds(WARMUP_SECONDS);
            const auto end = counting + std::chrono::seconds(nSeconds);
            uint64_t nBytes = 0;
            for (auto now = begin; now < end && !g_bInterrupted; now = Clock::now()) {
                pollfd pfd{fd, POLLIN, 0};
                if (poll(&pfd, 1, 50) != 1) {
                    continue;
                }
                const ssize_t n = recv(fd, data.data(), static_cast<size_t>(nSize), 0);
                if (n <= 0) {
                    break;
                }
                if (Clock::now() >= counting) {
                    nBytes += static_cast<uint64_t>(n);
                }
            }
            dRate = static_cast<double>(nBytes) * 8.0 / nSeconds;
            const char end0 = 0;
            send(tcp, &end0, 1, MSG_NOSIGNAL);
            close(tcp);
        }
        close(udp);
    });
    const pid_t node = StartNode(netns);
    client.Join();
    EndProcess(node);
    return dRate;
}

// What the CClient's receive thread handed its callback.
std::atomic<uint64_t> g_nClientBytes{0};
void OnClientBytes(const char*, int32_t nLength) {
    g_nClientBytes.fetch_add(static_cast<uint64_t>(nLength), std::memory_order_relaxed);
}

// The TCP download of one session taken in by CClient; bits per second
// after the warm-up, or 0.
double MeasureClient(const NetnsPair& netns, int nSeconds) {
    double dRate = 0;
    const pid_t node = StartNode(netns);
    NetnsThread thread(netns.B().strNamespace, [&] {
        CClient client(OnClientBytes);
        bool bConnected = false;
        for (int nTry = 0; nTry < 50 && !bConnected && !g_bInterrupted; ++nTry) {
            bConnected = client.Connect(netns.A().strAddress, NODE_PORT);
            if (!bConnected) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (!bConnected) {
            return;
        }
        client.SendSessionStart(static_cast<uint16_t>(nSeconds + WARMUP_SECONDS));
        client.SendTestRequest(2);
        std::this_thread::sleep_for(std::chrono::seconds(WARMUP_SECONDS));
        const uint64_t nBefore = g_nClientBytes;
        std::this_thread::sleep_for(std::chrono::seconds(nSeconds));
        dRate = static_cast<double>(g_nClientBytes - nBefore) * 8.0 / nSeconds;
        client.SendSessionEnd();
        client.Close();
    });
    thread.Join();
    EndProcess(node);
    return dRate;
}

// iperf3 with its server in the first namespace sending (-R) to the second.
double MeasureIperf(const NetnsPair& netns, bool bTcp, int nSeconds) {
    std::string strOutput;
    if (!RunIperf3(
            netns.A(), netns.B(),
            {.bTcp = bTcp, .bReverse = true, .nSeconds = nSeconds, .nOmitSeconds = WARMUP_SECONDS},
            strOutput)) {
        return 0;
    }
    // For UDP the receiver's figure is its bytes over the run.
    return JsonNumber(strOutput, "sum_received", "bits_per_second") > 0
               ? JsonNumber(strOutput, "sum_received", "bits_per_second")
               : JsonNumber(strOutput, "sum", "bits_per_second");
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_node_download", {3, 3});
    if (!Prepare("bench_node_download")) {
        return 2;
    }
    // Removed again by its destructor, on every way out of main.
    const NetnsPair netns;
    if (!netns.IsUp()) {
        std::fprintf(stderr, "%s\n", netns.GetError().c_str());
        return 1;
    }
    std::printf("veth %s (%s, node) -> %s (%s, client), %d s per run after %d s warm-up\n",
                netns.A().strInterface.c_str(), netns.A().strAddress.c_str(),
                netns.B().strInterface.c_str(), netns.B().strAddress.c_str(), nSeconds,
                WARMUP_SECONDS);
    double dSums[5] = {};
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        double rates[5];
        // Who goes first alternates, so that a trend in the load favours neither.
        for (int nMode = 0; nMode < 2; ++nMode) {
            const bool bTcp = nMode == 0;
            if (nRound % 2 == 1) {
                rates[2 * nMode] = MeasureNode(netns, bTcp, nSeconds);
                rates[2 * nMode + 1] = MeasureIperf(netns, bTcp, nSeconds);
            } else {
                rates[2 * nMode + 1] = MeasureIperf(netns, bTcp, nSeconds);
                rates[2 * nMode] = MeasureNode(netns, bTcp, nSeconds);
            }
        }
        rates[4] = MeasureClient(netns, nSeconds);
        std::printf("round %d: node TCP %.0f Mbit/s, iperf3 -R TCP %.0f Mbit/s (ratio %.2f); "
                    "node UDP %.0f Mbit/s, iperf3 -R UDP %.0f Mbit/s (ratio %.2f); "
                    "node TCP into CClient %.0f Mbit/s (ratio to plain reads %.2f)\n",
                    nRound, rates[0] / 1e6, rates[1] / 1e6, rates[0] / rates[1], rates[2] / 1e6,
                    rates[3] / 1e6, rates[2] / rates[3], rates[4] / 1e6, rates[4] / rates[0]);
        std::fflush(stdout);
        for (int i = 0; i < 5; ++i) {
            bOk = bOk && rates[i] > 0;
            dSums[i] += rates[i];
        }
    }
    if (bOk && !g_bInterrupted) {
        std::printf("ratio of the sums to iperf3: TCP %.2f   UDP %.2f;   CClient to plain reads: "
                    "TCP %.2f\n",
                    dSums[0] / dSums[1], dSums[2] / dSums[3], dSums[4] / dSums[0]);
    }
    return bOk && !g_bInterrupted ? 0 : 1;
}
