// Does the capture keep up? One TCP stream (iperf3) as fast as the veth pair
// carries it, with and without our capture (feeding the meter, as the
// program does) on the sending end, in alternating runs.
//
//   bench_capture [seconds per run, default 5] [rounds, default 3]
//
// Needs root. Prints for each round the stream's rate without and with the
// capture and their ratio, the capture's drop count, and the bytes it
// counted against the IP bytes of the kernel's interface counters over the
// same run (the link carries nothing else). Takes about
// rounds x 2 x (seconds + 1) seconds; everything it starts is ended by pid,
// and the namespaces are removed on the way out, Ctrl+C included.
#include "net/packet.h"
#include "net/traffic_meter.h"
#include "tests/support/netns.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {

constexpr int IPERF_PORT = 5201;
constexpr uint64_t ETHERNET_HEADER = 14;

std::atomic<bool> g_bInterrupted{false};

struct Counts {
    std::atomic<uint64_t> nBytes{0};
    std::atomic<uint64_t> nPackets{0};
} g_counts;
std::atomic<CTrafficMeter*> g_pMeter{nullptr};

void OnPacket(const char* pPacket, int32_t nLength) {
    if (nLength <= 0) {
        return;
    }
    if (CTrafficMeter* pMeter = g_pMeter) {
        pMeter->AddPacket(pPacket, nLength);
    }
    g_counts.nBytes.fetch_add(static_cast<uint64_t>(nLength), std::memory_order_relaxed);
    g_counts.nPackets.fetch_add(1, std::memory_order_relaxed);
}

void OnRateSample(int32_t, float, float) {}

// The stream's rate at the receiver in bit/s from iperf3's JSON, or 0.
double RunIperf(const NetnsPair& netns, int nSeconds) {
    const std::string strCommand = "timeout " + std::to_string(nSeconds + 20) + " ip netns exec " +
                                   netns.A().strNamespace + " iperf3 -J -c " +
                                   netns.B().strAddress + " -p " + std::to_string(IPERF_PORT) +
                                   " -t " + std::to_string(nSeconds) + " 2>&1";
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    if (pPipe == nullptr) {
        return 0;
    }
    std::string strOutput;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pPipe)) > 0;) {
        strOutput.append(buffer, n);
    }
    if (::pclose(pPipe) != 0) {
        return 0;
    }
    const size_t nSum = strOutput.find("\"sum_received\"");
    const size_t nKey = strOutput.find("\"bits_per_second\"", nSum);
    if (nSum == std::string::npos || nKey == std::string::npos) {
        return 0;
    }
    return std::strtod(strOutput.c_str() + strOutput.find(':', nKey) + 1, nullptr);
}

struct CaptureRun {
    double dBitsPerSecond = 0;
    uint64_t nCapturedBytes = 0;
    uint64_t nCapturedPackets = 0;
    uint64_t nInterfaceIpBytes = 0; // frame bytes less 14 per frame, both ways
    uint64_t nInterfacePackets = 0;
    CPacket::Stats stats;
};

CaptureRun RunWithCapture(const NetnsPair& netns, int nSeconds) {
    CaptureRun run;
    std::vector<CTrafficFilter> filters(1);
    filters[0].AddAddressRule(1, "*.*.*.*");
    filters[0].AddPortRule(1, 0);
    filters[0].SetLocalAddress(netns.A().strAddress);
    CTrafficMeter meter(OnRateSample);
    meter.Start(CTrafficMeter::DEFAULT_PERIOD, &filters);
    g_pMeter = &meter;
    g_counts.nBytes = 0;
    g_counts.nPackets = 0;

    CPacket packet(OnPacket);
    bool bOpened = false;
    RunInNetns(netns.A().strNamespace, [&] { bOpened = packet.Open(netns.A().strAddress, 0); });
    if (!bOpened) {
        std::fprintf(stderr, "capture: %s\n", packet.GetErrorText().c_str());
        return run;
    }
    const auto before = ReadLinkCounters(netns.A().strNamespace, netns.A().strInterface);
    run.dBitsPerSecond = RunIperf(netns, nSeconds);
    const auto after = ReadLinkCounters(netns.A().strNamespace, netns.A().strInterface);
    if (before && after) {
        run.nInterfacePackets =
            after->nRxPackets - before->nRxPackets + after->nTxPackets - before->nTxPackets;
        run.nInterfaceIpBytes = after->nRxBytes - before->nRxBytes + after->nTxBytes -
                                before->nTxBytes - ETHERNET_HEADER * run.nInterfacePackets;
    }
    // The capture hands packets over a block at a time: let the last arrive.
    for (int i = 0; i < 300 && g_counts.nPackets < run.nInterfacePackets; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    packet.Close();
    g_pMeter = nullptr;
    meter.Stop(false);
    run.nCapturedBytes = g_counts.nBytes;
    run.nCapturedPackets = g_counts.nPackets;
    run.stats = packet.GetStats();
    return run;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : (n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

} // namespace

int main(int argc, char** argv) {
    const int nSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int nRounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    if (const std::string strWhy = NetnsUnavailableReason(); !strWhy.empty()) {
        std::fprintf(stderr, "bench_capture %s\n", strWhy.c_str());
        return 1;
    }
    std::signal(SIGINT, [](int) { g_bInterrupted = true; });
    std::signal(SIGTERM, [](int) { g_bInterrupted = true; });

    NetnsPair netns;
    if (!netns.IsUp()) {
        std::fprintf(stderr, "%s\n", netns.GetError().c_str());
        return 1;
    }
    // One server for every run, ended by its pid.
    const std::string strPort = std::to_string(IPERF_PORT);
    std::vector<std::string> args = {"ip",     "netns", "exec", netns.B().strNamespace,
                                     "iperf3", "-s",    "-B",   netns.B().strAddress,
                                     "-p",     strPort};
    std::vector<char*> argv2;
    for (std::string& strArg : args) {
        argv2.push_back(strArg.data());
    }
    argv2.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t server = -1;
    if (posix_spawnp(&server, "ip", &actions, nullptr, argv2.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start iperf3\n");
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // until it listens

    std::printf("TCP stream %s -> %s over veth, %d s a run, capture on %s\n",
                netns.A().strAddress.c_str(), netns.B().strAddress.c_str(), nSeconds,
                netns.A().strInterface.c_str());
    std::printf("%5s %12s %12s %7s %9s %8s %14s %14s %6s\n", "round", "without", "with", "ratio",
                "packets", "dropped", "captured B", "interface B", "equal");
    std::vector<double> ratios;
    uint64_t nDropped = 0;
    bool bAllEqual = true;
    for (int nRound = 0; nRound < nRounds && !g_bInterrupted; ++nRound) {
        // Alternate the order, so that a drift of the machine falls on both.
        double dWithout = 0;
        CaptureRun with;
        if (nRound % 2 == 0) {
            dWithout = RunIperf(netns, nSeconds);
            with = RunWithCapture(netns, nSeconds);
        } else {
            with = RunWithCapture(netns, nSeconds);
            dWithout = RunIperf(netns, nSeconds);
        }
        if (g_bInterrupted || dWithout <= 0 || with.dBitsPerSecond <= 0) {
            std::fprintf(stderr, "round %d failed\n", nRound + 1);
            continue;
        }
        const double dRatio = with.dBitsPerSecond / dWithout;
        const bool bEqual = with.nCapturedBytes == with.nInterfaceIpBytes &&
                            with.nCapturedPackets == with.nInterfacePackets;
        ratios.push_back(dRatio);
        nDropped += with.stats.nDropped;
        bAllEqual = bAllEqual && bEqual;
        std::printf("%5d %7.2f Gb/s %7.2f Gb/s %7.3f %9llu %8u %14llu %14llu %6s\n", nRound + 1,
                    dWithout / 1e9, with.dBitsPerSecond / 1e9, dRatio,
                    static_cast<unsigned long long>(with.nCapturedPackets), with.stats.nDropped,
                    static_cast<unsigned long long>(with.nCapturedBytes),
                    static_cast<unsigned long long>(with.nInterfaceIpBytes), bEqual ? "yes" : "NO");
        std::fflush(stdout);
    }
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    if (ratios.empty()) {
        return 1;
    }
    std::printf("median rate with capture / without: %.3f; dropped by the capture: %llu; "
                "captured bytes equal the interface's in every run: %s\n",
                Median(ratios), static_cast<unsigned long long>(nDropped),
                bAllEqual ? "yes" : "no");
    return 0;
}
