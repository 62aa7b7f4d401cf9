// CTrafficMeter on a clock of the test's own: each sleep jumps to its wake
// time, so periods pass without waiting. The reports, their order and
// arithmetic, the history, absolute deadlines, each datagram in the period of
// its stamp, and none lost between the capture thread and the meter's.
#include "net/traffic_meter.h"
#include "tests/support/datagram.h"
#include "tests/support/loopback.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <thread>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

constexpr const char* kClient = "10.0.0.2";
constexpr const char* kNode = "10.0.0.1";
constexpr uint32_t kPeriod = 1000;
using TimePoint = CTrafficMeter::Clock::time_point;

struct Report {
    int32_t nKind;
    float fDownload;
    float fUpload;
    std::chrono::milliseconds at; // since the meter started
};

class MeterHarness;
MeterHarness* g_pHarness = nullptr; // the report callback is a plain function

// Runs the meter's thread for a number of periods. Before the sleep that
// ends period k, the test's hook runs on the meter's thread: it adds packets
// or stalls the clock. At each sleep the capture hands over all but the last m_handOverLag.
class MeterHarness {
public:
    MeterHarness() : m_meter(OnReport) {
        g_pHarness = this;
        m_meter.SetClock([this] { return m_now; },
                         [this](TimePoint until) {
                             if (m_nHooked != Periods()) {
                                 m_nHooked = Periods();
                                 if (m_onPeriod) {
                                     m_onPeriod(m_nHooked);
                                 }
                             }
                             m_now = until + m_oversleep;
                             if (m_handOverLag) {
                                 m_meter.AddPacket(nullptr, 0, m_now - *m_handOverLag);
                             }
                         });
        m_filters.resize(1);
        m_filters[0].AddAddressRule(1, "*.*.*.*");
        m_filters[0].AddPortRule(1, 0);
        m_filters[0].SetLocalAddress(kClient);
    }
    ~MeterHarness() {
        m_meter.Stop(false);
        g_pHarness = nullptr;
    }

    // Runs until nPeriods more periods have reported (or, with 0, until Stop).
    void Run(int nPeriods, std::function<void(int nPeriod)> onPeriod = {}) {
        m_onPeriod = std::move(onPeriod);
        m_nHooked = -1;
        m_nStopAfter = static_cast<int>(m_reports.size()) / 4 + nPeriods;
        m_start = m_now;
        m_meter.Start(m_nPeriod, &m_filters);
        if (nPeriods > 0) {
            WaitForStop();
        }
    }
    void Stop() {
        m_bStop = true;
        WaitForStop();
        m_bStop = false;
    }

    // A datagram stamped now, or at the time given since the meter started.
    void Add(const DatagramSpec& spec, std::chrono::milliseconds stamp = -1ms) {
        const std::vector<char> datagram = BuildDatagram(spec);
        m_meter.AddPacket(datagram.data(), spec.nLength, stamp < 0ms ? m_now : m_start + stamp);
    }
    void HandOver(std::chrono::milliseconds before) {
        m_meter.AddPacket(nullptr, 0, m_start + before);
    }
    int Periods() const { return static_cast<int>(m_reports.size()) / 4; }
    const Report& At(int nPeriod, int nKind) const {
        static constexpr int kPlace[] = {0, 2, 1, 3}; // reports come as kinds 0, 2, 1, 3
        return m_reports.at(static_cast<size_t>(nPeriod * 4 + kPlace[nKind]));
    }
    const std::vector<Report>& Reports() const { return m_reports; }

    CTrafficMeter m_meter;
    std::vector<CTrafficFilter> m_filters;
    uint32_t m_nPeriod = kPeriod;
    std::chrono::milliseconds m_oversleep{0};
    std::chrono::milliseconds m_reportCost{0}; // clock time each period's reports take
    std::optional<std::chrono::milliseconds> m_handOverLag = 0ms;

private:
    static void OnReport(int32_t nKind, float fDownload, float fUpload) {
        MeterHarness& h = *g_pHarness;
        h.m_reports.push_back(
            {nKind, fDownload, fUpload,
             std::chrono::duration_cast<std::chrono::milliseconds>(h.m_now - h.m_start)});
        if (nKind == CTrafficMeter::REPORT_AVERAGE_OVERHEAD) {
            h.m_now += h.m_reportCost;
        }
        if (nKind == CTrafficMeter::REPORT_AVERAGE_OVERHEAD &&
            ((h.m_nStopAfter > 0 && h.Periods() >= h.m_nStopAfter) || h.m_bStop)) {
            h.m_meter.Stop(true); // on the meter's own thread: the loop ends
            std::lock_guard lock(h.m_mtxDone);
            h.m_bDone = true;
            h.m_cvDone.notify_all();
        }
    }

    // Until the report callback has stopped the meter; then joins its thread.
    void WaitForStop() {
        std::unique_lock lock(m_mtxDone);
        m_cvDone.wait(lock, [this] { return m_bDone; });
        m_bDone = false;
        lock.unlock();
        m_meter.Stop(false);
    }

    std::vector<Report> m_reports;
    TimePoint m_now = TimePoint{} + 1h;
    TimePoint m_start;
    int m_nHooked = -1;
    int m_nStopAfter = 0;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mtxDone; // guards m_bDone
    std::condition_variable m_cvDone;
    bool m_bDone = false;
    std::function<void(int)> m_onPeriod;
};

DatagramSpec ToClient(int32_t nLength, uint8_t nProtocol = IP_PROTOCOL_UDP) {
    DatagramSpec spec;
    spec.strSource = kNode;
    spec.strDestination = kClient;
    spec.nLength = nLength;
    spec.nProtocol = nProtocol;
    return spec;
}

DatagramSpec FromClient(int32_t nLength, uint8_t nProtocol = IP_PROTOCOL_UDP) {
    DatagramSpec spec;
    spec.strSource = kClient;
    spec.strDestination = kNode;
    spec.nLength = nLength;
    spec.nProtocol = nProtocol;
    return spec;
}

void ExpectReport(const Report& report, int32_t nKind, float fDownload, float fUpload) {
    EXPECT_EQ(report.nKind, nKind);
    EXPECT_FLOAT_EQ(report.fDownload, fDownload) << "kind " << nKind;
    EXPECT_FLOAT_EQ(report.fUpload, fUpload) << "kind " << nKind;
}

TEST(TrafficMeter, OneDatagramToTheClientGivesItsBytesAndAThirdOfThemAsAverage) {
    MeterHarness h;
    h.Run(1, [&](int) { h.Add(ToClient(1500)); });
    ASSERT_EQ(h.Reports().size(), 4u);
    // In the order they come: kinds 0, 2, 1, 3.
    ExpectReport(h.Reports()[0], 0, 1500, 0);
    ExpectReport(h.Reports()[1], 2, 28, 0);
    ExpectReport(h.Reports()[2], 1, 500, 0); // 1500 x weight 1 / weight sum 3
    ExpectReport(h.Reports()[3], 3, 28.0f / 3, 0);
}

TEST(TrafficMeter, ShortDatagramsAndOverhead) {
    MeterHarness h;
    h.Run(1, [&](int) {
        for (const int32_t nLength : {20, 21, 28}) {
            h.Add(ToClient(nLength)); // never counted
        }
        h.Add(ToClient(29));
        h.Add(ToClient(40, IP_PROTOCOL_TCP)); // counted, without overhead
        h.Add(FromClient(100, IP_PROTOCOL_TCP));
        h.Add(FromClient(41, IP_PROTOCOL_UDP));
        h.Add(ToClient(1000, IP_PROTOCOL_TCP));
    });
    ExpectReport(h.At(0, 0), 0, 29 + 40 + 1000, 100 + 41);
    ExpectReport(h.At(0, 2), 2, 40, 40 + 28);
}

TEST(TrafficMeter, ADatagramNeitherToNorFromTheClientCountsAsUpload) {
    MeterHarness h;
    h.Run(1, [&](int) {
        DatagramSpec broadcast;
        broadcast.strSource = "10.0.0.77";
        broadcast.strDestination = "10.0.0.255";
        broadcast.nLength = 300;
        h.Add(broadcast);
    });
    ExpectReport(h.At(0, 0), 0, 0, 300);
}

TEST(TrafficMeter, WeightedAveragesRunOverTheLastFivePeriods) {
    MeterHarness h;
    const float counts[] = {1000, 2000, 3000, 4000, 5000, 6000, 0};
    h.Run(7, [&](int nPeriod) {
        h.Add(ToClient(static_cast<int32_t>(counts[nPeriod]) / 2));
        h.Add(ToClient(static_cast<int32_t>(counts[nPeriod]) / 2));
    });
    ASSERT_EQ(h.Periods(), 7);
    for (int nPeriod = 0; nPeriod < 7; ++nPeriod) {
        double fExpected = 0;
        for (int i = 0; i < 5 && nPeriod - i >= 0; ++i) {
            fExpected += (5 - i) / 5.0 * counts[nPeriod - i];
        }
        ExpectReport(h.At(nPeriod, 0), 0, counts[nPeriod], 0);
        ExpectReport(h.At(nPeriod, 1), 1, static_cast<float>(fExpected / 3), 0);
        ExpectReport(h.At(nPeriod, 2), 2, counts[nPeriod] > 0 ? 56 : 0, 0);
    }
    // The oldest period has left the ring: 6000, 5000 ... 2000 remain.
    EXPECT_FLOAT_EQ(h.At(5, 1).fDownload, (6000 + 4000 + 2400 + 1200 + 400) / 3.0f);
}

// The averages in single precision, step by step: weights (N - i) / N from
// the newest period back, summed in that order (to 3.0000002, not 3), the
// weighted sum divided by that sum. Dividing by 3, or working in double,
// shows in the last bits.
TEST(TrafficMeter, WeightedAveragesUseTheirFloatArithmeticExactly) {
    MeterHarness h;
    const int32_t download[] = {1009, 2011, 0, 3019, 4021, 5023, 977, 1301};
    const int32_t upload[] = {61, 0, 1499, 733, 29, 1511, 0, 887};
    constexpr int kPeriods = 8;
    h.Run(kPeriods, [&](int nPeriod) {
        if (download[nPeriod] > 0) {
            h.Add(ToClient(download[nPeriod], IP_PROTOCOL_TCP));
        }
        if (upload[nPeriod] > 0) {
            h.Add(FromClient(upload[nPeriod]));
        }
    });
    ASSERT_EQ(h.Periods(), kPeriods);
    constexpr uint32_t N = 5;
    auto average = [&](const auto& series, int nPeriod) {
        float fSum = 0.0f;
        float fWeights = 0.0f;
        for (uint32_t i = 0; i < N; ++i) {
            const float fWeight = static_cast<float>(N - i) / static_cast<float>(N);
            const int nAt = nPeriod - static_cast<int>(i);
            fSum += fWeight * (nAt >= 0 ? static_cast<float>(series[nAt]) : 0.0f);
            fWeights += fWeight;
        }
        return fSum / fWeights;
    };
    int32_t overheadDownload[kPeriods];
    int32_t overheadUpload[kPeriods];
    for (int i = 0; i < kPeriods; ++i) {
        overheadDownload[i] = download[i] > 40 ? 40 : 0;
        overheadUpload[i] = upload[i] > 40 ? 28 : 0;
    }
    for (int nPeriod = 0; nPeriod < kPeriods; ++nPeriod) {
        const Report& bytes = h.At(nPeriod, 0);
        EXPECT_EQ(bytes.fDownload, static_cast<float>(download[nPeriod])) << nPeriod;
        EXPECT_EQ(bytes.fUpload, static_cast<float>(upload[nPeriod])) << nPeriod;
        const Report& averages = h.At(nPeriod, 1);
        EXPECT_EQ(averages.fDownload, average(download, nPeriod)) << nPeriod;
        EXPECT_EQ(averages.fUpload, average(upload, nPeriod)) << nPeriod;
        const Report& overheadAverages = h.At(nPeriod, 3);
        EXPECT_EQ(overheadAverages.fDownload, average(overheadDownload, nPeriod)) << nPeriod;
        EXPECT_EQ(overheadAverages.fUpload, average(overheadUpload, nPeriod)) << nPeriod;
    }
}

TEST(TrafficMeter, StartKeepsTheCountsAndTheHistory) {
    MeterHarness h;
    h.Run(1, [&](int) { h.Add(ToClient(3000)); });
    h.Add(ToClient(600)); // after the last report, before the next Start
    h.Run(1);
    ExpectReport(h.At(1, 0), 0, 600, 0);
    ExpectReport(h.At(1, 1), 1, (600 + 0.8f * 3000) / 3, 0);
}

// A packet counts in the period of its stamp, or the next if that has been
// reported; a period is reported once the capture has handed over all stamped
// before its end, or after CLOSE_WAIT when the capture says nothing.
TEST(TrafficMeter, PacketsCountInThePeriodOfTheirStamp) {
    MeterHarness h;
    h.m_handOverLag.reset();
    h.Run(4, [&](int nPeriod) {
        if (nPeriod == 0) {
            h.Add(ToClient(100), 500ms);
            h.Add(FromClient(200), 999ms);
            h.Add(ToClient(400), 1000ms); // the next period's first instant
            h.Add(ToClient(800), 2500ms);
        } else if (nPeriod == 1) {
            h.Add(FromClient(1600), 300ms);
            h.HandOver(2000ms);
        } else if (nPeriod == 2) {
            h.m_handOverLag = 30ms;
        } else {
            h.HandOver(10000ms); // a period never ends before its time
        }
    });
    const std::chrono::milliseconds ends[] = {1000ms + CTrafficMeter::CLOSE_WAIT, 2000ms, 3030ms,
                                              4000ms};
    const float counts[][2] = {{100, 200}, {400, 1600}, {800, 0}, {0, 0}};
    for (int nPeriod = 0; nPeriod < 4; ++nPeriod) {
        EXPECT_EQ(h.At(nPeriod, 0).at, ends[nPeriod]) << "period " << nPeriod;
        ExpectReport(h.At(nPeriod, 0), 0, counts[nPeriod][0], counts[nPeriod][1]);
    }
}

TEST(TrafficMeter, OnlyTheSelectedFilterCounts) {
    MeterHarness h;
    h.m_filters.resize(2);
    h.m_filters[1].AddAddressRule(1, "*.*.*.*");
    h.m_filters[1].AddPortRule(1, 0);
    h.m_filters[1].SetLocalAddress(kNode);
    h.m_meter.SetSelectedFilter(1);
    h.Run(1, [&](int) { h.Add(ToClient(500)); });
    ExpectReport(h.At(0, 0), 0, 0, 500); // seen from the node, it leaves
    for (const int32_t nIndex : {2, -1}) {
        h.m_meter.SetSelectedFilter(nIndex);
        h.Run(1, [&](int) { h.Add(ToClient(500)); });
        ExpectReport(h.At(h.Periods() - 1, 0), 0, 0, 0);
    }
}

TEST(TrafficMeter, PeriodsKeepAbsoluteDeadlines) {
    MeterHarness h;
    h.m_oversleep = 7ms;    // every sleep wakes late
    h.m_reportCost = 300ms; // and reporting takes its time
    h.Run(20, [&](int) {});
    ASSERT_EQ(h.Periods(), 20);
    for (int nPeriod = 0; nPeriod < 20; ++nPeriod) {
        const auto deadline = std::chrono::milliseconds(kPeriod) * (nPeriod + 1);
        EXPECT_GE(h.At(nPeriod, 0).at, deadline);
        EXPECT_LE(h.At(nPeriod, 0).at, deadline + 7ms) << "period " << nPeriod << " drifted";
    }
}

TEST(TrafficMeter, AStallReportsOnceAndTheGridGoesOn) {
    MeterHarness h;
    h.Run(4, [&](int nPeriod) {
        if (nPeriod == 1) {
            h.m_oversleep = 3500ms; // this sleep wakes 3.5 periods late
        } else {
            h.m_oversleep = 0ms;
        }
    });
    ASSERT_EQ(h.Periods(), 4);
    EXPECT_EQ(h.At(0, 0).at, 1000ms);
    EXPECT_EQ(h.At(1, 0).at,
              1000ms + CTrafficMeter::STOP_SLICE + 3500ms); // the first sleep stalled
    EXPECT_EQ(h.At(2, 0).at, 5000ms);
    EXPECT_EQ(h.At(3, 0).at, 6000ms);
}

TEST(TrafficMeter, NoDatagramIsLostAtAPeriodBoundary) {
    MeterHarness h;
    h.m_nPeriod = 1; // one sleep a period: as many boundaries as can be
    // 15,000,000 bytes in all: below 2^24, so every count is exact as a float.
    constexpr int kDatagrams = 500000;
    constexpr int32_t kLength = 30;
    const std::vector<char> datagram = BuildDatagram(ToClient(kLength));
    // Periods end as fast as the meter's thread runs. However the two threads
    // are scheduled, each tenth of the datagrams waits for a boundary of its own.
    std::atomic<int> nBoundaries{0};
    h.Run(0, [&](int) { ++nBoundaries; });
    std::thread capture([&] {
        for (int i = 0; i < kDatagrams; ++i) {
            h.m_meter.AddPacket(datagram.data(), kLength, TimePoint{});
            if ((i + 1) % (kDatagrams / 10) == 0) {
                const int nSeen = nBoundaries;
                EXPECT_TRUE(WaitUntil([&] { return nBoundaries > nSeen; }, 30s));
            }
        }
    });
    capture.join();
    h.Stop();
    h.Run(1); // what came after the last report
    double fTotal = 0;
    for (const Report& report : h.Reports()) {
        if (report.nKind == CTrafficMeter::REPORT_BYTES) {
            fTotal += report.fDownload;
        }
    }
    EXPECT_GE(h.Periods(), 10);
    EXPECT_EQ(fTotal, 1.0 * kLength * kDatagrams);
}

TEST(TrafficMeter, AStopIsNoticedWithinASlice) {
    CTrafficMeter meter(nullptr);
    std::vector<CTrafficFilter> filters(1);
    meter.Start(kPeriod, &filters);
    const auto start = std::chrono::steady_clock::now();
    meter.Stop(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Promptly(100ms));
    EXPECT_EQ(meter.GetExitCode(), 0u);
}

} // namespace
