#include "net/udp_stream_stats.h"

#include <algorithm>
#include <cstdlib>

bool CUdpStreamStats::TestAndSet(uint64_t nNumber) {
    uint64_t& nWord = m_seen[(nNumber / 64) % m_seen.size()];
    const uint64_t nBit = uint64_t{1} << (nNumber % 64);
    const bool bSeen = (nWord & nBit) != 0;
    nWord |= nBit;
    return bSeen;
}

void CUdpStreamStats::Add(uint32_t nSequence, uint64_t nSentUs, int64_t nArrivalUs) {
    if (!m_bStarted) {
        if (nSequence >= START_WINDOW)
            return;
        m_bStarted = true;
        m_nHighest = nSequence;
        m_seen.fill(0);
        TestAndSet(nSequence);
    } else {
        // The nearest number that wraps to nSequence: numbers run far less
        // than 2^31 apart.
        const auto nStep = static_cast<int32_t>(nSequence - static_cast<uint32_t>(m_nHighest));
        if (nStep < 0 && static_cast<uint64_t>(-static_cast<int64_t>(nStep)) > m_nHighest)
            return; // before the stream's start: not of this stream
        const uint64_t nNumber = m_nHighest + static_cast<int64_t>(nStep);
        if (nStep > 0) {
            // The numbers skipped over leave the ring's memory of a lap ago.
            const uint64_t nClear = std::min<uint64_t>(static_cast<uint64_t>(nStep), HISTORY);
            for (uint64_t n = nNumber - nClear + 1; n <= nNumber; ++n)
                m_seen[(n / 64) % m_seen.size()] &= ~(uint64_t{1} << (n % 64));
            m_nHighest = nNumber;
            TestAndSet(nNumber);
        } else if (m_nHighest - nNumber < HISTORY) {
            if (TestAndSet(nNumber)) {
                ++m_nDuplicates;
                return;
            }
            ++m_nOutOfOrder;
        } else {
            ++m_nOutOfOrder; // too late to tell a duplicate: taken as a late arrival
        }
    }
    ++m_nReceived;
    // A batch leaves in one call under one send stamp: its first datagram
    // to arrive times it, and the rest would only dilute the estimate.
    if (m_bTransit && nSentUs == m_nSentUs)
        return;
    m_nSentUs = nSentUs;
    // RFC 3550, A.8: J += (|D| - J) / 16, D the change in transit time.
    const int64_t nTransit = nArrivalUs - static_cast<int64_t>(nSentUs);
    if (m_bTransit)
        m_dJitterUs +=
            (static_cast<double>(std::llabs(nTransit - m_nTransitUs)) - m_dJitterUs) / 16;
    m_bTransit = true;
    m_nTransitUs = nTransit;
}

SUdpFigures CUdpStreamStats::Figures() const {
    SUdpFigures figures;
    figures.nReceived = m_nReceived;
    const uint64_t nExpected = m_bStarted ? m_nHighest + 1 : 0;
    figures.nLost = nExpected > m_nReceived ? nExpected - m_nReceived : 0;
    figures.nOutOfOrder = m_nOutOfOrder;
    figures.nDuplicates = m_nDuplicates;
    figures.dJitterMs = m_dJitterUs / 1000.0;
    return figures;
}
