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
#include "bench/bench_support.h"
#include "net/packet.h"
#include "net/traffic_meter.h"
#include "tests/support/netns.h"
#include "tests/support/process.h"

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
    std::string strOutput;
    if (RunProcess({"ip", "netns", "exec", netns.A().strNamespace, "iperf3", "-J", "-c",
                    netns.B().strAddress, "-p", std::to_string(IPERF3_PORT), "-t",
                    std::to_string(nSeconds)},
                   std::chrono::seconds(nSeconds + 20), &strOutput) != 0) {
        return 0;
    }
    return JsonNumber(strOutput, "sum_received", "bits_per_second");
}

struct CaptureRun {
    double dBitsPerSecond = 0;
    uint64_t nCapturedBytes = 0;
    uint64_t nCapturedPackets = 0;
    uint64_t nInterfaceIpBytes = 0; // frame bytes less 14 per frame, both ways
    uint64_t nInterfacePackets = 0;
    CPacket::Stats stats;
};

// The interface's counters once they have stopped changing: the last
// segments of a stream may still be on their way when iperf3 has exited.
std::optional<LinkCounters> QuietCounters(const NetnsSide& side) {
    auto counters = ReadLinkCounters(side.strNamespace, side.strInterface);
    for (int i = 0; i < 50 && counters; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const auto next = ReadLinkCounters(side.strNamespace, side.strInterface);
        if (next && next->nRxPackets == counters->nRxPackets &&
            next->nTxPackets == counters->nTxPackets) {
            break;
        }
        counters = next;
    }
    return counters;
}

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

    // What is left of an earlier run must not reach the capture.
    QuietCounters(netns.A());
    CPacket packet(OnPacket);
    bool bOpened = false;
    RunInNetns(netns.A().strNamespace, [&] { bOpened = packet.Open(netns.A().strAddress, 0); });
    if (!bOpened) {
        std::fprintf(stderr, "capture: %s\n", packet.GetErrorText().c_str());
        return run;
    }
    const auto before = ReadLinkCounters(netns.A().strNamespace, netns.A().strInterface);
    run.dBitsPerSecond = RunIperf(netns, nSeconds);
    const auto after = QuietCounters(netns.A());
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

} // namespace

int main(int argc, char** argv) {
    const auto [nSeconds, nRounds] = ReadRunPlan(argc, argv, "bench_capture", {5, 3});
    if (!Prepare("bench_capture")) {
        return 1;
    }

    NetnsPair netns;
    if (!netns.IsUp()) {
        std::fprintf(stderr, "%s\n", netns.GetError().c_str());
        return 1;
    }
    // One server for every run, ended by its pid.
    const std::string strPort = std::to_string(IPERF3_PORT);
    const pid_t server = SpawnProcess({"ip", "netns", "exec", netns.B().strNamespace, "iperf3",
                                       "-s", "-B", netns.B().strAddress, "-p", strPort},
                                      OUTPUT_DISCARDED, OUTPUT_DISCARDED);
    if (server < 0) {
        std::fprintf(stderr, "cannot start iperf3\n");
        return 1;
    }
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
    EndProcess(server);
    if (ratios.empty()) {
        return 1;
    }
    std::printf("median rate with capture / without: %.3f; dropped by the capture: %llu; "
                "captured bytes equal the interface's in every run: %s\n",
                Median(ratios), static_cast<unsigned long long>(nDropped),
                bAllEqual ? "yes" : "no");
    return 0;
}
