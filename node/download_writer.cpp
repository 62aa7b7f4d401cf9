#include "node/download_writer.h"

#include "node/node_log.h"
#include "node/socket_io.h"

#include <algorithm>

namespace {

// The download's unsent bytes in the kernel are held to about UNSENT_MS of
// what the client has been taking in, within these bounds: enough that a late
// wake-up of the session's thread never leaves the line idle on a fast link,
// little enough that a stopped download drains quickly on a slow one.
constexpr int UNSENT_MIN = 128 * 1024;
constexpr int UNSENT_MAX = 8 * 1024 * 1024;
constexpr int64_t UNSENT_MS = 20;
constexpr int64_t RATE_INTERVAL_MS = 50; // how often the limit follows the rate

} // namespace

CDownloadWriter::~CDownloadWriter() {
    NodeIo::CloseSendSource(m_hSource);
}

void CDownloadWriter::Begin(SOCKET hSocket, const uint8_t* pData, int nSize) {
    if (m_hSource == INVALID_SOCKET || pData != m_pData || nSize != m_nSize) {
        NodeIo::CloseSendSource(m_hSource);
        m_hSource = NodeIo::CreateSendSource(pData, nSize);
    }
    m_hSocket = hSocket;
    m_pData = pData;
    m_nSize = nSize;
    m_strError.clear();
    const int64_t nNow = NowMs();
    m_nSent = 0;
    m_nFirstWriteMs = -1;
    m_nLastTakenMs = nNow;
    m_nRateMarkMs = nNow;
    m_nRateMarkTaken = 0;
    m_nUnsentLimit = 0;
    SetUnsentLimit(UNSENT_MIN);
}

bool CDownloadWriter::Write(int64_t nNowMs, bool bRoom) {
    for (int nRound = 0; bRoom && nRound < 16; ++nRound) {
        const int nSent = m_hSource != INVALID_SOCKET
                              ? NodeIo::SendFromSource(m_hSocket, m_hSource, m_nSize)
                              : NodeIo::SendSome(m_hSocket, m_pData, m_nSize);
        if (nSent == NodeIo::IO_WOULD_BLOCK) {
            break;
        }
        if (nSent < 0) {
            m_strError = "connection lost: " + GetWinsockErrorText();
            return false;
        }
        if (m_nFirstWriteMs < 0) {
            m_nFirstWriteMs = nNowMs;
        }
        m_nSent += static_cast<uint64_t>(nSent);
    }
    FollowRate(nNowMs);
    return true;
}

void CDownloadWriter::FollowRate(int64_t nNowMs) {
    const int64_t nElapsedMs = nNowMs - m_nRateMarkMs;
    if (nElapsedMs < RATE_INTERVAL_MS) {
        return;
    }
    const int nQueued = NodeIo::GetUnacknowledged(m_hSocket);
    if (nQueued < 0) {
        return; // the platform cannot tell: the limit stays as it is
    }
    // What the client has acknowledged of this download so far.
    const uint64_t nSent = GetSent();
    const uint64_t nTaken = nSent - std::min<uint64_t>(nSent, static_cast<uint64_t>(nQueued));
    const uint64_t nRecent = nTaken - std::min(nTaken, m_nRateMarkTaken);
    if (nRecent > 0) {
        m_nLastTakenMs = nNowMs;
    }
    m_nRateMarkMs = nNowMs;
    m_nRateMarkTaken = nTaken;
    const uint64_t nWanted = nRecent * UNSENT_MS / static_cast<uint64_t>(nElapsedMs);
    SetUnsentLimit(static_cast<int>(std::clamp<uint64_t>(nWanted, UNSENT_MIN, UNSENT_MAX)));
}

void CDownloadWriter::SetUnsentLimit(int nBytes) {
    if (nBytes != m_nUnsentLimit) {
        NodeIo::SetUnsentLimit(m_hSocket, nBytes);
        m_nUnsentLimit = nBytes;
    }
}
