// CTestTally: what a session's tests moved and when, for the line that ends
// each test and the session's totals. The node's UDP receivers add the
// client's datagrams from their own threads; the rest is the session's.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The download of a test as its sender saw it.
struct SDownloadTally {
    uint64_t nSent = 0;    // written on the connection or sent as datagrams
    uint64_t nTaken = 0;   // of them, what had reached the client by the stop
    int64_t nFirstMs = -1; // the first write
    int64_t nStopMs = -1;
};

class CTestTally {
public:
    void Begin(int64_t nNowMs);
    // Upload data arrived on the connection.
    void AddUpload(int64_t nNowMs);
    // The client's datagrams, from any thread.
    void AddUdp(int nBytes, int64_t nNowMs);
    uint64_t GetUdpReceived() const { return m_nUdpReceived.load(std::memory_order_relaxed); }
    // Adds the test's bytes to the totals and says what it moved.
    std::string End(int64_t nNowMs, uint64_t nUploadBytes, const SDownloadTally& download);
    std::string Totals() const;

private:
    std::atomic<uint64_t> m_nUdpReceived{0};
    std::atomic<int64_t> m_nUdpFirstMs{-1};
    std::atomic<int64_t> m_nUdpLastMs{-1};
    uint64_t m_nUdpReceivedAtStart = 0;
    int64_t m_nStartMs = 0;
    int64_t m_nUploadFirstMs = -1; // on the connection
    int64_t m_nUploadLastMs = -1;
    int m_nTests = 0;
    uint64_t m_nTotalSent = 0;
    uint64_t m_nTotalReceived = 0;
};
