// Upload throughput of CTrafficSender against iperf3 on the same link.
//
//   bench_upload [seconds per run, default 3] [rounds, default 6]
//
// Needs root. Builds two network namespaces joined by a veth pair
// (scripts/netns.sh), sends from the first to a minimal sink in the second,
// and runs iperf3 between the same two addresses in the same run: one TCP
// stream, and UDP with 1000-byte datagrams and no rate limit. Rates are taken
// at the receiver (bytes the sink actually read; iperf3's receiver figure),
// over a window that leaves out the first second. Everything it starts is
// ended by pid, and the namespaces are removed on the way out.
#include "bench/bench_support.h"
#include "net/traffic_sender.h"
#include "tests/support/address.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"

#include <atomic>
#include <cerrno>
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

constexpr uint16_t NODE_PORT = 20000;
constexpr int WARMUP_SECONDS = 1;

void OnNodeBytes(const char*, int32_t) {}
void OnDatagram(const char*, int32_t, std::string, uint16_t) {}

// Bytes the kernel counted as received on the second side's interface.
uint64_t InterfaceRxBytes(const NetnsPair& netns) {
    const auto counters = ReadLinkCounters(netns.B().strNamespace, netns.B().strInterface);
    return counters ? counters->nRxBytes : 0;
}

// The receiving end: counts the payload bytes it reads, one datagram per
// read in UDP as iperf3's server does. Listens inside the second namespace.
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
    uint64_t Bytes() const { return m_nBytes; }
    // Datagrams that were not exactly one block: the upload is malformed.
    uint64_t OddDatagrams() const { return m_nOddDatagrams; }

private:
    void Run(bool bTcp) {
        const int fd = m_fd;
        int conn = bTcp ? -1 : fd;
        std::vector<char> buffer(bTcp ? 131072 : 2048); // as iperf3 reads
        while (!m_bStop) {
            pollfd pfd{conn >= 0 ? conn : fd, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) {
                continue;
            }
            if (conn < 0) {
                conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            // Drain what is there without another poll; the 100 ms poll above
            // only keeps the stop check bounded.
            for (int i = 0; i < 1024 && !m_bStop; ++i) {
                const ssize_t n = recv(conn, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (bTcp && (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
                                        errno != EINTR))) {
                    // The sender is gone: its end of stream would keep the
                    // poll above readable, so wait for the next one instead.
                    close(conn);
                    conn = -1;
                    break;
                }
                if (n <= 0) {
                    break;
                }
                m_nBytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                if (!bTcp && n != CTrafficSender::BLOCK_SIZE) {
                    ++m_nOddDatagrams;
                }
            }
        }
        if (conn >= 0 && conn != fd) {
            close(conn);
        }
    }

    int m_fd = -1;
    bool m_bListening = false;
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nBytes{0};
    std::atomic<uint64_t> m_nOddDatagrams{0};
    std::thread m_thread;
};

struct SRate {
    double dBitsPerSecond = 0; // payload received
    // Payload read over the bytes the interface received (a segmentation
    // offload packet is counted there once, with one set of headers).
    double dLinkShare = 0;
    bool bOk = false;
};

void SleepUnlessInterrupted(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (!g_bInterrupted && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SRate MeasureOurs(const NetnsPair& netns, bool bTcp, int nSeconds) {
    SRate rate;
    CSink sink(netns.B(), bTcp);
    if (!sink.IsListening()) {
        std::fprintf(stderr, "sink: cannot listen on %s:%u\n", netns.B().strAddress.c_str(),
                     NODE_PORT);
        return rate;
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
        return rate;
    }
    sender.Start(bTcp, bTcp ? std::string() : netns.B().strAddress, bTcp ? 0 : NODE_PORT);
    SleepUnlessInterrupted(std::chrono::seconds(WARMUP_SECONDS));
    const uint64_t nLinkBefore = InterfaceRxBytes(netns);
    const uint64_t nBefore = sink.Bytes();
    const auto start = Clock::now();
    SleepUnlessInterrupted(std::chrono::seconds(nSeconds));
    const uint64_t nAfter = sink.Bytes();
    const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t nLinkAfter = InterfaceRxBytes(netns);
    sender.Stop(false);
    client.Close();
    clientUdp.Close();

    rate.dBitsPerSecond = 8.0 * static_cast<double>(nAfter - nBefore) / dSeconds;
    rate.dLinkShare = nLinkAfter > nLinkBefore ? static_cast<double>(nAfter - nBefore) /
                                                     static_cast<double>(nLinkAfter - nLinkBefore)
                                               : 0;
    rate.bOk = nAfter > nBefore && sink.OddDatagrams() == 0 && !g_bInterrupted;
    if (sink.OddDatagrams() != 0) {
        std::fprintf(stderr, "sink: %llu datagrams of another size than one block\n",
                     static_cast<unsigned long long>(sink.OddDatagrams()));
    }
    return rate;
}

SRate MeasureIperf(const NetnsPair& netns, bool bTcp, int nSeconds) {
    SRate rate;
    std::string strOutput;
    const uint64_t nLinkBefore = InterfaceRxBytes(netns);
    const bool bRan =
        RunIperf3(netns.B(), netns.A(),
                  {.bTcp = bTcp, .nSeconds = nSeconds, .nOmitSeconds = WARMUP_SECONDS}, strOutput);
    const uint64_t nLinkAfter = InterfaceRxBytes(netns);
    if (!bRan) {
        return rate;
    }
    rate.dBitsPerSecond = JsonNumber(strOutput, "sum_received", "bits_per_second");
    const double dBytes = JsonNumber(strOutput, "sum_received", "bytes");
    // The interface counts the omitted second too: compare over the whole run.
    const double dAllSeconds = nSeconds + WARMUP_SECONDS;
    if (nLinkAfter > nLinkBefore && dBytes > 0) {
        rate.dLinkShare =
            rate.dBitsPerSecond / 8.0 * dAllSeconds / static_cast<double>(nLinkAfter - nLinkBefore);
    }
    rate.bOk = rate.dBitsPerSecond > 0 && !g_bInterrupted;
    return rate;
}

void PrintRate(const char* pszName, const SRate& rate) {
    std::printf("  %-28s %10.1f Mbit/s   (received/interface rx bytes %.3f)\n", pszName,
                rate.dBitsPerSecond / 1e6, rate.dLinkShare);
}

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_upload", {3, 6});
    if (!Prepare("bench_upload")) {
        return 2;
    }

    // Removed again by its destructor, on every way out of main.
    const NetnsPair netns;
    if (!netns.IsUp()) {
        std::fprintf(stderr, "%s\n", netns.GetError().c_str());
        return 1;
    }
    std::printf("veth %s (%s) -> %s (%s), %d s per run after %d s warm-up, %d round(s)\n",
                netns.A().strInterface.c_str(), netns.A().strAddress.c_str(),
                netns.B().strInterface.c_str(), netns.B().strAddress.c_str(), nSeconds,
                WARMUP_SECONDS, nRounds);
    double dSums[4] = {0, 0, 0, 0}; // ours TCP, iperf3 TCP, ours UDP, iperf3 UDP
    std::vector<double> ratios[2];  // per round: TCP, UDP
    bool bOk = true;
    for (int nRound = 1; nRound <= nRounds && bOk && !g_bInterrupted; ++nRound) {
        std::printf("round %d\n", nRound);
        // Who goes first alternates, so that a trend in the machine's load
        // does not favour one side.
        const bool bOursFirst = nRound % 2 == 1;
        SRate rates[4];
        for (int nMode = 0; nMode < 2; ++nMode) {
            const bool bTcp = nMode == 0;
            SRate& ours = rates[2 * nMode];
            SRate& reference = rates[2 * nMode + 1];
            if (bOursFirst) {
                ours = MeasureOurs(netns, bTcp, nSeconds);
                reference = MeasureIperf(netns, bTcp, nSeconds);
            } else {
                reference = MeasureIperf(netns, bTcp, nSeconds);
                ours = MeasureOurs(netns, bTcp, nSeconds);
            }
        }
        const char* names[4] = {"CTrafficSender TCP", "iperf3 TCP (1 stream)", "CTrafficSender UDP",
                                "iperf3 UDP (-b 0 -l 1000)"};
        for (int i = 0; i < 4; ++i) {
            PrintRate(names[i], rates[i]);
            bOk = bOk && rates[i].bOk;
            dSums[i] += rates[i].dBitsPerSecond;
        }
        if (bOk) {
            ratios[0].push_back(rates[0].dBitsPerSecond / rates[1].dBitsPerSecond);
            ratios[1].push_back(rates[2].dBitsPerSecond / rates[3].dBitsPerSecond);
            std::printf("  ratio TCP %.2f   UDP %.2f\n",
                        rates[0].dBitsPerSecond / rates[1].dBitsPerSecond,
                        rates[2].dBitsPerSecond / rates[3].dBitsPerSecond);
        }
        std::fflush(stdout);
    }
    if (bOk && !g_bInterrupted) {
        std::printf("ratio of the sums to iperf3: TCP %.2f   UDP %.2f\n", dSums[0] / dSums[1],
                    dSums[2] / dSums[3]);
        std::printf("median ratio to iperf3:      TCP %.2f   UDP %.2f\n", Median(ratios[0]),
                    Median(ratios[1]));
    }
    return bOk && !g_bInterrupted ? 0 : 1;
}
