#include "node/test_tally.h"

#include "node/node_log.h"

#include <algorithm>

namespace {

double Mbits(uint64_t nBytes, int64_t nMs) {
    return nMs > 0 ? static_cast<double>(nBytes) * 8.0 / 1000.0 / static_cast<double>(nMs) : 0.0;
}

// The time from the first to the last, when both happened.
int64_t Span(int64_t nFirstMs, int64_t nLastMs) {
    return nFirstMs >= 0 && nLastMs > nFirstMs ? nLastMs - nFirstMs : 0;
}

} // namespace

void CTestTally::Begin(int64_t nNowMs) {
    ++m_nTests;
    m_nStartMs = nNowMs;
    m_nUploadFirstMs = -1;
    m_nUploadLastMs = -1;
    m_nUdpFirstMs.store(-1, std::memory_order_relaxed);
    m_nUdpLastMs.store(-1, std::memory_order_relaxed);
    m_nUdpReceivedAtStart = GetUdpReceived();
}

void CTestTally::AddUpload(int64_t nNowMs) {
    if (m_nUploadFirstMs < 0) {
        m_nUploadFirstMs = nNowMs;
    }
    m_nUploadLastMs = nNowMs;
}

void CTestTally::AddUdp(int nBytes, int64_t nNowMs) {
    m_nUdpReceived.fetch_add(static_cast<uint64_t>(nBytes), std::memory_order_relaxed);
    int64_t nUnset = -1;
    m_nUdpFirstMs.compare_exchange_strong(nUnset, nNowMs, std::memory_order_relaxed);
    m_nUdpLastMs.store(nNowMs, std::memory_order_relaxed);
}

std::string CTestTally::End(int64_t nNowMs, uint64_t nUploadBytes, const SDownloadTally& download) {
    const uint64_t nReceived = nUploadBytes + (GetUdpReceived() - m_nUdpReceivedAtStart);
    m_nTotalSent += download.nSent;
    m_nTotalReceived += nReceived;
    // Rates over the time the data flowed, not the whole test: a download
    // stops before the client asks for its next test, and an upload starts
    // a round trip after the command.
    const int64_t nSentMs = Span(download.nFirstMs, download.nStopMs);
    int64_t nUploadFirstMs = m_nUdpFirstMs.load(std::memory_order_relaxed);
    int64_t nUploadLastMs = m_nUdpLastMs.load(std::memory_order_relaxed);
    if (m_nUploadFirstMs >= 0) {
        nUploadFirstMs =
            nUploadFirstMs >= 0 ? std::min(nUploadFirstMs, m_nUploadFirstMs) : m_nUploadFirstMs;
        nUploadLastMs = std::max(nUploadLastMs, m_nUploadLastMs);
    }
    const int64_t nReceivedMs = Span(nUploadFirstMs, nUploadLastMs);
    return Format("after %.2f s: sent %llu bytes (%.1f Mbit/s over %.2f s), "
                  "received %llu bytes (%.1f Mbit/s over %.2f s)",
                  static_cast<double>(nNowMs - m_nStartMs) / 1000.0,
                  static_cast<unsigned long long>(download.nSent), Mbits(download.nTaken, nSentMs),
                  static_cast<double>(nSentMs) / 1000.0, static_cast<unsigned long long>(nReceived),
                  Mbits(nReceived, nReceivedMs), static_cast<double>(nReceivedMs) / 1000.0);
}

std::string CTestTally::Totals() const {
    return Format("%d test(s), sent %llu bytes, received %llu bytes", m_nTests,
                  static_cast<unsigned long long>(m_nTotalSent),
                  static_cast<unsigned long long>(m_nTotalReceived));
}
