// Does the capture keep up? iperf3 traffic as fast as the veth pair carries
// it, with and without our capture (feeding the meter, as the program does)
// on the sending end, in alternating runs, in two cases: one bulk TCP stream
// (segmentation-offload packets of tens of kilobytes) and the program's own
// small packets, 1000-byte UDP datagrams at full rate (iperf3 -u -b 0 -l 1000,
// a datagram per packet).
//
//   bench_capture [seconds per run, default 5] [rounds, default 3]
//
// Needs root. Prints for each case and round the link's rate (side A's
// interface counters, both directions, over a window after a second of
// warm-up) without and with the capture and their ratio, the CPU time that
// iperf3 and the capture took per gigabyte carried with the capture over
// that without it (a cost the machine's other load hardly moves, where it
// moves rates a lot), the packets per second the link carried, the
// capture's drop count, and the bytes it counted against the IP bytes of
// the interface counters over the whole capture (the link carries nothing
// else); then per case the median ratios and their spread. Takes about rounds x 4 x (seconds + 3)
// seconds; everything it starts is ended by pid, and the namespaces are removed on the way out,
// Ctrl+C included.
#include "bench/bench_support.h"
#include "net/packet.h"
#include "net/traffic_meter.h"
#include "tests/support/netns.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace bench_support;
using namespace testing_support;

namespace {

constexpr uint64_t ETHERNET_HEADER = 14;
constexpr int WARMUP_SECONDS = 1;

struct Counts {
    std::atomic<uint64_t> nBytes{0};
    std::atomic<uint64_t> nPackets{0};
} g_counts;
std::atomic<CTrafficMeter*> g_pMeter{nullptr};

void OnPacket(const char* pPacket, int32_t nLength, CPacket::Clock::time_point stamp) {
    if (CTrafficMeter* pMeter = g_pMeter) {
        pMeter->AddPacket(pPacket, nLength, stamp);
    }
    if (nLength <= 0) {
        return;
    }
    // The capture thread is the only writer: plain stores, so that the
    // benchmark's own count costs the capture next to nothing.
    g_counts.nBytes.store(g_counts.nBytes.load(std::memory_order_relaxed) +
                              static_cast<uint64_t>(nLength),
                          std::memory_order_relaxed);
    g_counts.nPackets.store(g_counts.nPackets.load(std::memory_order_relaxed) + 1,
                            std::memory_order_relaxed);
}

void OnRateSample(int32_t, float, float) {}

struct LinkRate {
    double dBitsPerSecond = 0; // side A's interface, both directions, frames
    double dPacketsPerSecond = 0;
    double dCpuPerGigabyte = 0; // iperf3's CPU seconds per gigabyte carried
};

// iperf3 from A to B over the window; nothing when it failed.
std::optional<LinkRate> RunIperf(const NetnsPair& netns, bool bTcp, int nSeconds) {
    LinkRate rate;
    const auto window = MeasureIperf3Window(netns, netns.B(), netns.A(), {.bTcp = bTcp},
                                            WARMUP_SECONDS, nSeconds, &rate.dCpuPerGigabyte);
    if (!window) {
        return std::nullopt;
    }
    rate.dBitsPerSecond = window->BitsPerSecond(window->linkA.nTxBytes + window->linkA.nRxBytes);
    rate.dPacketsPerSecond = window->PerSecond(window->linkA.nTxPackets + window->linkA.nRxPackets);
    return rate;
}

struct CaptureRun {
    std::optional<LinkRate> rate;
    uint64_t nCapturedBytes = 0;
    uint64_t nCapturedPackets = 0;
    uint64_t nInterfaceIpBytes = 0; // frame bytes less 14 per frame, both ways
    uint64_t nInterfacePackets = 0;
    CPacket::Stats stats;
};

CaptureRun RunWithCapture(const NetnsPair& netns, bool bTcp, int nSeconds) {
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

    // What is left of an earlier run must not reach the capture.
    QuietLinkCounters(netns.A());
    CPacket packet(OnPacket);
    bool bOpened = false;
    RunInNetns(netns.A().strNamespace, [&] { bOpened = packet.Open(netns.A().strAddress, 0); });
    if (!bOpened) {
        std::fprintf(stderr, "capture: %s\n", packet.GetErrorText().c_str());
        return run;
    }
    const auto before = ReadLinkCounters(netns.A().strNamespace, netns.A().strInterface);
    run.rate = RunIperf(netns, bTcp, nSeconds);
    const auto after = QuietLinkCounters(netns.A());
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

struct CaseResults {
    std::vector<double> ratios;
    std::vector<double> costRatios;
    uint64_t nDropped = 0;
    bool bAllEqual = true;
};

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_capture", {5, 3});
    const CBenchPair bench("bench_capture", RunPlanText(nSeconds, nRounds, WARMUP_SECONDS) +
                                                "; iperf3 from A to B, the capture on A");
    if (!bench.IsUp()) {
        return bench.ExitCode();
    }
    const NetnsPair& netns = bench.Netns();
    std::printf("%-4s %5s %12s %12s %7s %7s %8s %8s %14s %14s %6s\n", "case", "round", "without",
                "with", "ratio", "cpu", "kpkt/s", "dropped", "captured B", "interface B", "equal");
    const char* names[2] = {"TCP", "UDP"};
    CaseResults results[2];
    bool bFailed = false;
    for (int nRound = 0; nRound < nRounds && !g_bInterrupted; ++nRound) {
        for (int nCase = 0; nCase < 2 && !g_bInterrupted; ++nCase) {
            const bool bTcp = nCase == 0;
            // Alternate the order, so that a drift of the machine falls on both.
            std::optional<LinkRate> without;
            CaptureRun with;
            if (nRound % 2 == 0) {
                without = RunIperf(netns, bTcp, nSeconds);
                with = RunWithCapture(netns, bTcp, nSeconds);
            } else {
                with = RunWithCapture(netns, bTcp, nSeconds);
                without = RunIperf(netns, bTcp, nSeconds);
            }
            if (g_bInterrupted || !without || !with.rate) {
                ReportFailure(
                    (std::string(names[nCase]) + " round " + std::to_string(nRound + 1) + " failed")
                        .c_str());
                bFailed = true;
                continue;
            }
            const double dRatio = with.rate->dBitsPerSecond / without->dBitsPerSecond;
            const double dCost = with.rate->dCpuPerGigabyte / without->dCpuPerGigabyte;
            const bool bEqual = with.nCapturedBytes == with.nInterfaceIpBytes &&
                                with.nCapturedPackets == with.nInterfacePackets;
            CaseResults& result = results[nCase];
            result.ratios.push_back(dRatio);
            result.costRatios.push_back(dCost);
            result.nDropped += with.stats.nDropped;
            result.bAllEqual = result.bAllEqual && bEqual;
            std::printf(
                "%-4s %5d %7.2f Gb/s %7.2f Gb/s %7.3f %7.3f %8.0f %8u %14llu %14llu %6s\n",
                names[nCase], nRound + 1, without->dBitsPerSecond / 1e9,
                with.rate->dBitsPerSecond / 1e9, dRatio, dCost, with.rate->dPacketsPerSecond / 1e3,
                with.stats.nDropped, static_cast<unsigned long long>(with.nCapturedBytes),
                static_cast<unsigned long long>(with.nInterfaceIpBytes), bEqual ? "yes" : "NO");
            std::fflush(stdout);
        }
    }
    for (int nCase = 0; nCase < 2; ++nCase) {
        const CaseResults& result = results[nCase];
        if (result.ratios.empty()) {
            continue;
        }
        const auto [pMin, pMax] = std::minmax_element(result.ratios.begin(), result.ratios.end());
        const auto [pCostMin, pCostMax] =
            std::minmax_element(result.costRatios.begin(), result.costRatios.end());
        std::printf(
            "%s: rate with capture / without: median %.3f (rounds %.3f to %.3f); CPU per "
            "gigabyte with / without: median %.3f (rounds %.3f to %.3f); dropped by the capture: "
            "%llu; captured bytes equal the interface's in every run: %s\n",
            names[nCase], Median(result.ratios), *pMin, *pMax, Median(result.costRatios), *pCostMin,
            *pCostMax, static_cast<unsigned long long>(result.nDropped),
            result.bAllEqual ? "yes" : "no");
    }
    return ExitCode(!bFailed);
}
