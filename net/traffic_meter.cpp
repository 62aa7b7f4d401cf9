#include "net/traffic_meter.h"

#include <algorithm>
#include <thread>

CTrafficMeter::CTrafficMeter(PFNREPORT pfnReport)
    : m_pfnReport(pfnReport), m_pfnNow([] { return Clock::now(); }),
      m_pfnSleepUntil([](Clock::time_point until) { std::this_thread::sleep_until(until); }) {}

CTrafficMeter::~CTrafficMeter() {
    Join();
}

void CTrafficMeter::SetClock(PFNNOW pfnNow, PFNSLEEPUNTIL pfnSleepUntil) {
    m_pfnNow = std::move(pfnNow);
    m_pfnSleepUntil = std::move(pfnSleepUntil);
}

bool CTrafficMeter::Start(uint32_t nPeriod, const std::vector<CTrafficFilter>* pFilters) {
    if (IsOwnThread()) {
        return false; // it would have to wait for itself
    }
    Join(); // the old thread notices within STOP_SLICE
    m_pFilters = pFilters;
    {
        std::lock_guard lock(m_mtxPeriods);
        Counts carried{};
        for (const Counts& counts : m_open) {
            for (size_t k = 0; k < COUNTERS; ++k) {
                carried[k] += counts[k];
            }
        }
        m_open = {};
        m_open[0] = carried;
        m_nFirstOpen = 0;
        m_period = std::chrono::milliseconds(std::max<uint32_t>(nPeriod, 1));
        m_gridStart = m_pfnNow();
        m_handedOver = m_gridStart;
    }
    return CThread::Start();
}

void CTrafficMeter::ResetCounts() {
    std::lock_guard lock(m_mtxPeriods);
    m_open = {};
}

void CTrafficMeter::AddPacket(const char* pPacket, int32_t nLength, Clock::time_point stamp) {
    if (nLength == 0) {
        std::lock_guard lock(m_mtxPeriods);
        m_handedOver = std::max(m_handedOver, stamp);
        return;
    }
    const std::vector<CTrafficFilter>* pFilters = m_pFilters;
    const int32_t nSelected = m_nSelectedFilter;
    if (pFilters == nullptr || nSelected < 0 ||
        static_cast<size_t>(nSelected) >= pFilters->size()) {
        return;
    }
    const auto verdict = (*pFilters)[static_cast<size_t>(nSelected)].Classify(pPacket, nLength);
    if (!verdict) {
        return;
    }
    std::lock_guard lock(m_mtxPeriods);
    uint64_t nPeriod = m_nFirstOpen;
    if (stamp >= m_gridStart) {
        nPeriod = std::clamp(static_cast<uint64_t>((stamp - m_gridStart) / m_period), m_nFirstOpen,
                             m_nFirstOpen + OPEN_PERIODS - 1);
    }
    Counts& counts = m_open[nPeriod % OPEN_PERIODS];
    counts[verdict->bIncoming ? DOWNLOAD : UPLOAD] += static_cast<uint64_t>(nLength);
    if (verdict->nOverhead > 0) {
        counts[verdict->bIncoming ? OVERHEAD_DOWNLOAD : OVERHEAD_UPLOAD] +=
            static_cast<uint64_t>(verdict->nOverhead);
    }
}

void CTrafficMeter::Run() {
    Clock::time_point gridStart;
    Clock::duration period;
    uint64_t nNextEnd = 0; // the grid index of the end waited for
    {
        std::lock_guard lock(m_mtxPeriods);
        gridStart = m_gridStart;
        period = m_period;
        nNextEnd = m_nFirstOpen + 1;
    }
    auto handedOver = [this] {
        std::lock_guard lock(m_mtxPeriods);
        return m_handedOver;
    };
    // Deadlines are absolute: the time spent counting and reporting does not
    // lengthen the next period.
    while (m_bRun) {
        const Clock::time_point end = gridStart + period * static_cast<int64_t>(nNextEnd);
        Clock::time_point now = m_pfnNow();
        for (; m_bRun && now < end; now = m_pfnNow()) {
            m_pfnSleepUntil(std::min(end, now + STOP_SLICE));
        }
        Clock::time_point complete = handedOver();
        for (; m_bRun && complete < end && now < end + CLOSE_WAIT;
             now = m_pfnNow(), complete = handedOver()) {
            m_pfnSleepUntil(std::min(end + CLOSE_WAIT, now + HANDOVER_POLL));
        }
        if (!m_bRun) {
            break;
        }
        // Every period that has ended by then is reported: a stall of whole
        // periods (a suspended machine) gives one report for the time
        // missed, and the grid stays where it was.
        complete = std::min(std::max(complete, now - CLOSE_WAIT), now);
        const auto nEnded = static_cast<uint64_t>((complete - gridStart) / period);
        EndPeriods(nEnded);
        nNextEnd = nEnded + 1;
    }
}

void CTrafficMeter::EndPeriods(uint64_t nEnd) {
    Counts taken{};
    {
        std::lock_guard lock(m_mtxPeriods);
        const uint64_t nTake = std::min<uint64_t>(nEnd - m_nFirstOpen, OPEN_PERIODS);
        for (uint64_t i = 0; i < nTake; ++i) {
            Counts& counts = m_open[(m_nFirstOpen + i) % OPEN_PERIODS];
            for (size_t k = 0; k < COUNTERS; ++k) {
                taken[k] += counts[k];
            }
            counts = {};
        }
        m_nFirstOpen = nEnd;
    }
    std::array<float, COUNTERS> counts{};
    for (size_t k = 0; k < COUNTERS; ++k) {
        counts[k] = static_cast<float>(taken[k]);
    }
    const uint32_t nPosition = m_nRingPosition;
    for (size_t k = 0; k < COUNTERS; ++k) {
        m_history[k][nPosition] = counts[k];
    }
    // Weights N/N, (N-1)/N, ... 1/N from the newest period back.
    constexpr uint32_t N = HISTORY_LENGTH;
    std::array<float, COUNTERS> averages{};
    float fWeightSum = 0.0f;
    for (uint32_t i = 0; i < N; ++i) {
        const float fWeight = static_cast<float>(N - i) / static_cast<float>(N);
        const uint32_t j = (nPosition + N - i) % N;
        for (size_t k = 0; k < COUNTERS; ++k) {
            averages[k] += fWeight * m_history[k][j];
        }
        fWeightSum += fWeight;
    }
    for (float& fAverage : averages) {
        fAverage /= fWeightSum;
    }
    if (m_pfnReport != nullptr) {
        m_pfnReport(REPORT_BYTES, counts[DOWNLOAD], counts[UPLOAD]);
        m_pfnReport(REPORT_OVERHEAD, counts[OVERHEAD_DOWNLOAD], counts[OVERHEAD_UPLOAD]);
        m_pfnReport(REPORT_AVERAGE, averages[DOWNLOAD], averages[UPLOAD]);
        m_pfnReport(REPORT_AVERAGE_OVERHEAD, averages[OVERHEAD_DOWNLOAD],
                    averages[OVERHEAD_UPLOAD]);
    }
    m_nRingPosition = (nPosition + 1) % N;
}
