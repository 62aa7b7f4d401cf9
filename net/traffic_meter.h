// CTrafficMeter: counts the captured datagrams that pass the selected filter
// as download or upload, each in the period its capture stamp falls in, and
// once a period reports the counts, their header overhead and weighted
// averages over the last HISTORY_LENGTH periods.
#pragma once

#include "net/thread.h"
#include "net/traffic_filter.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class CTrafficMeter : public CThread {
public:
    // Report kinds, in bytes per period: the period's counts, the weighted
    // averages of the counts, the period's header overhead, its averages.
    // Each period reports them in the order 0, 2, 1, 3.
    static constexpr int32_t REPORT_BYTES = 0;
    static constexpr int32_t REPORT_AVERAGE = 1;
    static constexpr int32_t REPORT_OVERHEAD = 2;
    static constexpr int32_t REPORT_AVERAGE_OVERHEAD = 3;
    using PFNREPORT = void (*)(int32_t nKind, float fDownload, float fUpload);

    using Clock = std::chrono::steady_clock;
    using PFNNOW = std::function<Clock::time_point()>;
    // May return before the time; the meter reads the clock again.
    using PFNSLEEPUNTIL = std::function<void(Clock::time_point)>;

    static constexpr uint32_t HISTORY_LENGTH = 5;
    static constexpr uint32_t DEFAULT_PERIOD = 1000;
    // The longest single sleep, so that any stop is noticed within it.
    static constexpr std::chrono::milliseconds STOP_SLICE{50};
    // A period ends once the capture has handed over every packet stamped
    // before its end, looked for every HANDOVER_POLL; a capture that says
    // nothing (closed, or held up on a busy machine, where it can fall a few
    // hundred milliseconds behind) holds the report back CLOSE_WAIT at most.
    static constexpr std::chrono::milliseconds HANDOVER_POLL{2};
    static constexpr std::chrono::milliseconds CLOSE_WAIT{500};
    // Periods after the oldest unreported one in which a packet can be
    // counted; one stamped later still counts in the last of them.
    static constexpr uint32_t OPEN_PERIODS = 4;

    explicit CTrafficMeter(PFNREPORT pfnReport);
    ~CTrafficMeter();

    // Replaces the steady clock and its sleep (tests run periods without
    // waiting). Only while no thread runs.
    void SetClock(PFNNOW pfnNow, PFNSLEEPUNTIL pfnSleepUntil);

    // Ends any running thread, then reports every nPeriod milliseconds, on
    // a grid that starts now. What was counted and not yet reported counts in
    // the first period; the history and the ring position carry over too.
    // The filter list stays the caller's; it must not change while the meter
    // runs. True when the thread started; false when it could not, and from
    // the callback (the meter's own thread), which it leaves running.
    bool Start(uint32_t nPeriod, const std::vector<CTrafficFilter>* pFilters);
    // Drops what was counted since the last report, so that a new session's
    // first report holds nothing of the one before. Only while no thread runs
    // and nothing adds packets.
    void ResetCounts();
    void SetSelectedFilter(int32_t nIndex) { m_nSelectedFilter = nIndex; }
    int32_t GetSelectedFilter() const { return m_nSelectedFilter; }

    // Counts one datagram, as the capture hands it over (CPacket::PFNCAPTURE),
    // in the period of its stamp, or in the oldest one not yet reported when
    // that has been. A length of 0 says that the capture has handed over
    // every packet stamped before the time. From any thread.
    void AddPacket(const char* pPacket, int32_t nLength, Clock::time_point stamp);

protected:
    void Run() override;

private:
    enum Counter { DOWNLOAD, UPLOAD, OVERHEAD_DOWNLOAD, OVERHEAD_UPLOAD, COUNTERS };
    using Counts = std::array<uint64_t, COUNTERS>;

    // Takes the counts of the periods before nEnd out, and reports them.
    void EndPeriods(uint64_t nEnd);

    const PFNREPORT m_pfnReport;
    std::atomic<const std::vector<CTrafficFilter>*> m_pFilters{nullptr};
    std::atomic<int32_t> m_nSelectedFilter{0};
    // Added to by the capture thread, taken out by the meter's. The grid is
    // fixed while the thread runs; the rest changes under the lock.
    std::mutex m_mtxPeriods; // guards the members up to m_handedOver
    Clock::time_point m_gridStart;
    Clock::duration m_period{std::chrono::milliseconds(DEFAULT_PERIOD)};
    uint64_t m_nFirstOpen = 0;                 // index on the grid of the oldest unreported period
    std::array<Counts, OPEN_PERIODS> m_open{}; // period n's counts at n % OPEN_PERIODS
    Clock::time_point m_handedOver;            // every packet stamped before it is counted
    // The meter thread's own: the history rings and their position.
    std::array<std::array<float, HISTORY_LENGTH>, COUNTERS> m_history{};
    uint32_t m_nRingPosition = 0;
    PFNNOW m_pfnNow;
    PFNSLEEPUNTIL m_pfnSleepUntil;
};
