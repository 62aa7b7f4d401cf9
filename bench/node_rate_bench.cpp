// The node's paced UDP download (--udp-rate) against the rate asked for, and
// the rate the node logs against the rate the client counted.
//
//   bench_node_rate [seconds per run, default 3] [rounds, default 1]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh). For each asked rate the node runs in the first with
// --udp-rate and --once, and a client in the second asks for a UDP download
// (test 5) and reads every datagram. After a warm-up second the delivered
// rate is taken over the run's seconds from the receiving veth's kernel
// counters (as UDP payload: less 42 bytes of headers per frame) and from
// the bytes the client read. The client reads until the download stops,
// waits one more second (a node that divided by the whole test time would
// show it) and ends the session; the node's logged rate for the test is
// then set against the client's bytes over the time they arrived in.
// Everything it starts is ended by pid, and the namespaces are removed on
// the way out.
#include "bench/bench_support.h"
#include "tests/support/loopback.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
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
constexpr double HEADER_BYTES = 14 + 20 + 8; // Ethernet, IP and UDP, per datagram
constexpr int ASKED_MBITS[] = {100, 500, 1000, 1500, 2000};

struct RateRun {
    double dLinkMbits = 0;    // payload on the receiving veth, over the window
    double dReadMbits = 0;    // read by the client, over the window
    double dClientMbits = 0;  // everything read, over the time it arrived in
    double dLoggedMbits = -1; // the node's figure for the test
};

double Mbits(uint64_t nBytes, Clock::duration span) {
    const double dSeconds = std::chrono::duration<double>(span).count();
    return dSeconds > 0 ? static_cast<double>(nBytes) * 8.0 / 1e6 / dSeconds : 0;
}

// Reads every datagram waiting; their bytes.
uint64_t ReadDatagrams(int fd) {
    static char buffers[64][2048];
    mmsghdr msgs[64] = {};
    iovec vectors[64];
    for (int i = 0; i < 64; ++i) {
        vectors[i] = {buffers[i], sizeof buffers[i]};
        msgs[i].msg_hdr.msg_iov = &vectors[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t nBytes = 0;
    for (int n; (n = recvmmsg(fd, msgs, 64, MSG_DONTWAIT, nullptr)) > 0;) {
        for (int i = 0; i < n; ++i) {
            nBytes += msgs[i].msg_len;
        }
    }
    return nBytes;
}

RateRun MeasureRate(const NetnsPair& netns, int nAskedMbits, int nSeconds) {
    RateRun run;
    char szLog[] = "/tmp/bench-node-rate-XXXXXX";
    const int nLog = mkstemp(szLog);
    if (nLog < 0) {
        return run;
    }
    const pid_t node =
        SpawnProcess({"ip", "netns", "exec", netns.A().strNamespace, NodeBinary(), "--bind",
                      netns.A().strAddress, "--port", std::to_string(NODE_PORT), "--once",
                      "--udp-rate", std::to_string(nAskedMbits)},
                     OUTPUT_DISCARDED, nLog);
    close(nLog);
    NetnsThread client(netns.B().strNamespace, [&] {
        const int udp = UdpSocketOn(netns.B().strAddress.c_str(), NODE_PORT);
        const int nBuffer = 32 << 20; // the client must not be where datagrams are lost
        setsockopt(udp, SOL_SOCKET, SO_RCVBUFFORCE, &nBuffer, sizeof nBuffer);
        const int tcp = ConnectWithRetries(netns.A().strAddress, NODE_PORT);
        if (udp < 0 || tcp < 0) {
            std::fprintf(stderr, "no connection to the node\n");
        } else {
            const uint16_t nTestSeconds = static_cast<uint16_t>(nSeconds + WARMUP_SECONDS);
            const unsigned char start[4] = {0x6C, static_cast<unsigned char>(nTestSeconds & 0xFF),
                                            static_cast<unsigned char>(nTestSeconds >> 8), 5};
            send(tcp, start, sizeof start, MSG_NOSIGNAL);
            uint64_t nTotal = 0;
            uint64_t nWindow = 0;
            std::optional<LinkCounters> before, after;
            Clock::time_point first{}, last{}, windowStart{}, windowEnd{};
            // Until the download has been quiet for half a second (or never came).
            const auto begin = Clock::now();
            for (auto now = begin; !g_bInterrupted; now = Clock::now()) {
                if (nTotal > 0 ? now - last > std::chrono::milliseconds(500)
                               : now - begin > std::chrono::seconds(10)) {
                    break;
                }
                if (windowStart != Clock::time_point{} && windowEnd == Clock::time_point{} &&
                    now >= windowStart + std::chrono::seconds(nSeconds)) {
                    windowEnd = now;
                    after = ReadLinkCounters(netns.B().strNamespace, netns.B().strInterface);
                }
                pollfd pfd{udp, POLLIN, 0};
                if (poll(&pfd, 1, 20) != 1) {
                    continue;
                }
                const uint64_t nBytes = ReadDatagrams(udp);
                now = Clock::now();
                if (nTotal == 0) {
                    first = now;
                }
                nTotal += nBytes;
                last = now;
                if (windowStart == Clock::time_point{} &&
                    now >= first + std::chrono::seconds(WARMUP_SECONDS)) {
                    windowStart = now;
                    before = ReadLinkCounters(netns.B().strNamespace, netns.B().strInterface);
                } else if (windowStart != Clock::time_point{} && windowEnd == Clock::time_point{}) {
                    nWindow += nBytes;
                }
            }
            if (before && after) {
                const double dPayload =
                    static_cast<double>(after->nRxBytes - before->nRxBytes) -
                    HEADER_BYTES * static_cast<double>(after->nRxPackets - before->nRxPackets);
                run.dLinkMbits = Mbits(static_cast<uint64_t>(dPayload), windowEnd - windowStart);
                run.dReadMbits = Mbits(nWindow, windowEnd - windowStart);
            }
            run.dClientMbits = Mbits(nTotal, last - first);
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const char end = 0;
            send(tcp, &end, 1, MSG_NOSIGNAL);
        }
        if (tcp >= 0) {
            close(tcp);
        }
        if (udp >= 0) {
            close(udp);
        }
    });
    client.Join();
    if (!WaitProcess(node, std::chrono::seconds(5))) {
        EndProcess(node);
    }
    std::ifstream file(szLog);
    std::stringstream text;
    text << file.rdbuf();
    unlink(szLog);
    const std::vector<std::string> ends = TestEndLines(text.str(), 5);
    run.dLoggedMbits = ends.size() == 1 ? SentMbits(ends[0]) : -1;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_node_rate", {3, 1});
    const CBenchPair bench("bench_node_rate", RunPlanText(nSeconds, nRounds, WARMUP_SECONDS) +
                                                  "; the node on A, the client on B");
    if (!bench.IsUp()) {
        return bench.ExitCode();
    }
    const NetnsPair& netns = bench.Netns();
    std::printf(
        "round  asked | veth payload  ratio |  read   ratio | node log  client  log/client\n");
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        for (const int nAsked : ASKED_MBITS) {
            if (g_bInterrupted) {
                break;
            }
            const RateRun run = MeasureRate(netns, nAsked, nSeconds);
            std::printf("%5d %6d | %12.1f  %5.3f | %6.1f  %5.3f | %8.1f  %6.1f  %10.3f\n", nRound,
                        nAsked, run.dLinkMbits, run.dLinkMbits / nAsked, run.dReadMbits,
                        run.dReadMbits / nAsked, run.dLoggedMbits, run.dClientMbits,
                        run.dLoggedMbits / run.dClientMbits);
            std::fflush(stdout);
            bOk = bOk && run.dLinkMbits > 0 && run.dLoggedMbits > 0;
        }
    }
    return ExitCode(bOk);
}
