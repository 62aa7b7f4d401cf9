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
    m_nPeriod = nPeriod;
    m_pFilters = pFilters;
    return CThread::Start();
}

void CTrafficMeter::ResetCounts() {
    for (std::atomic<uint64_t>& nCount : m_counts)
        nCount = 0;
}

void CTrafficMeter::AddPacket(const char* pPacket, int32_t nLength) {
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
    m_counts[verdict->bIncoming ? DOWNLOAD : UPLOAD].fetch_add(static_cast<uint64_t>(nLength),
                                                               std::memory_order_relaxed);
    if (verdict->nOverhead > 0) {
        m_counts[verdict->bIncoming ? OVERHEAD_DOWNLOAD : OVERHEAD_UPLOAD].fetch_add(
            static_cast<uint64_t>(verdict->nOverhead), std::memory_order_relaxed);
    }
}

void CTrafficMeter::Run() {
    // Deadlines are absolute: the time spent counting and reporting does not
    // lengthen the next period.
    const std::chrono::milliseconds period(std::max<uint32_t>(m_nPeriod, 1));
    Clock::time_point deadline = m_pfnNow() + period;
    while (m_bRun) {
        Clock::time_point now = m_pfnNow();
        for (; m_bRun && now < deadline; now = m_pfnNow()) {
            m_pfnSleepUntil(std::min(deadline, now + STOP_SLICE));
        }
        if (!m_bRun) {
            break;
        }
        EndPeriod();
        // The next deadline is the first on the grid after the counts were
        // taken: a stall of whole periods (a suspended machine) gives one
        // report for the time missed, and the grid stays where it was.
        deadline += period * ((now - deadline) / period + 1);
    }
}

void CTrafficMeter::EndPeriod() {
    std::array<float, COUNTERS> counts{};
    for (size_t k = 0; k < COUNTERS; ++k) {
        counts[k] = static_cast<float>(m_counts[k].exchange(0, std::memory_order_relaxed));
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
