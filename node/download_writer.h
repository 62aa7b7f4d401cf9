// CDownloadWriter: a session's TCP download. The session's thread writes it
// whenever the connection has room, between the reads of the same connection:
// one thread per connection, so the two ways of a test in both directions
// never wait for each other's hold on the socket. It writes download bytes
// only, and only between Begin and End; every message stays the session's.
#pragma once

#include "net/socket.h"

#include <cstddef>
#include <cstdint>
#include <string>

class CDownloadWriter final {
public:
    CDownloadWriter() = default;
    ~CDownloadWriter();
    CDownloadWriter(const CDownloadWriter&) = delete;
    CDownloadWriter& operator=(const CDownloadWriter&) = delete;

    // Makes ready to write copies of the nSize bytes at pData (which stay
    // unchanged until End) on the connection as fast as the client takes them in.
    void Begin(SOCKET hSocket, const uint8_t* pData, int nSize);
    // Between Begin and End. With bRoom (the connection has room), writes
    // until it takes no more (a bounded number of writes). Follows the client's rate in any case,
    // so that its taking the download in is seen while the queue drains. False when the connection
    // failed; GetError then says why.
    bool Write(int64_t nNowMs, bool bRoom);
    // Writes nothing more until the next Begin.
    void End() { m_hSocket = INVALID_SOCKET; }
    // Between Begin and End: a TCP download runs.
    bool IsWriting() const { return m_hSocket != INVALID_SOCKET; }
    const std::string& GetError() const { return m_strError; }

    // Bytes written since Begin.
    uint64_t GetSent() const { return m_nSent; }
    // When the first bytes were written (-1 before), and when the client was
    // last seen acknowledging more of them (the time of Begin before).
    int64_t GetFirstWriteMs() const { return m_nFirstWriteMs; }
    int64_t GetLastTakenMs() const { return m_nLastTakenMs; }

private:
    // Every RATE_INTERVAL_MS: sets the unsent limit from the rate at which
    // the client has been taking the download in.
    void FollowRate(int64_t nNowMs);
    void SetUnsentLimit(int nBytes);

    SOCKET m_hSocket = INVALID_SOCKET;
    const uint8_t* m_pData = nullptr;
    int m_nSize = 0;
    // The same bytes, sent without a copy each time where the platform can.
    SOCKET m_hSource = INVALID_SOCKET;
    std::string m_strError;

    uint64_t m_nSent = 0;
    int64_t m_nFirstWriteMs = -1;
    int64_t m_nLastTakenMs = 0;
    int64_t m_nRateMarkMs = 0;     // when the rate was last looked at
    uint64_t m_nRateMarkTaken = 0; // and how much the client had acknowledged then
    int m_nUnsentLimit = 0;        // the socket's current unsent limit
};
