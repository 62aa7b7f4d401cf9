// CDownloadWriter: a session's TCP download, written on a thread of its own
// while the session's thread reads the same connection, so that a test in
// both directions has a processor for each way. It writes download bytes
// only: every message on the connection stays the session's, sent while no
// writer runs.
#pragma once

#include "node/download_thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

class CDownloadWriter final : public CDownloadThread {
public:
    CDownloadWriter() = default;
    ~CDownloadWriter();

    // Starts writing copies of the nSize bytes at pData (which stay unchanged
    // until End) on the connection as fast as the client takes them in.
    // False when no thread could be made.
    bool Begin(SOCKET hSocket, const uint8_t* pData, int nSize);

    // Bytes written since Begin.
    uint64_t GetSent() const { return m_nSent.load(std::memory_order_relaxed); }
    // When the first bytes were written (-1 before), and when the client was
    // last seen acknowledging more of them (the time of Begin before).
    int64_t GetFirstWriteMs() const { return m_nFirstWriteMs.load(std::memory_order_relaxed); }
    int64_t GetLastTakenMs() const { return m_nLastTakenMs.load(std::memory_order_relaxed); }

protected:
    void Run() override;

private:
    // Writes until the socket takes no more (a bounded number of writes).
    bool WriteSome();
    // Every RATE_INTERVAL_MS: sets the unsent limit from the rate at which
    // the client has been taking the download in.
    void FollowRate(int64_t nNowMs);
    void SetUnsentLimit(int nBytes);

    SOCKET m_hSocket = INVALID_SOCKET;
    const uint8_t* m_pData = nullptr;
    int m_nSize = 0;
    // The same bytes, sent without a copy each time where the platform can.
    SOCKET m_hSource = INVALID_SOCKET;

    std::atomic<uint64_t> m_nSent{0};
    std::atomic<int64_t> m_nFirstWriteMs{-1};
    std::atomic<int64_t> m_nLastTakenMs{0};

    // The writer's thread only.
    int64_t m_nRateMarkMs = 0;     // when the rate was last looked at
    uint64_t m_nRateMarkTaken = 0; // and how much the client had acknowledged then
    int m_nUnsentLimit = 0;        // the socket's current unsent limit
};
