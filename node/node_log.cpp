#include "node/node_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string OneLine(std::string strText) {
    const size_t nBreak = strText.find('\n');
    if (nBreak != std::string::npos)
        strText.replace(nBreak, 1, ": ");
    std::replace(strText.begin(), strText.end(), '\n', ' ');
    return strText;
}

void CNodeLog::Write(const std::string& strLine) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t nSeconds = std::chrono::system_clock::to_time_t(now);
    const int nMillis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm utc{};
    gmtime_r(&nSeconds, &utc);
    char szStamp[96];
    std::snprintf(szStamp, sizeof szStamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, nMillis);
    std::string strOut = szStamp + strLine;
    // Control characters would let a line pose as several.
    for (char& c : strOut) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    strOut += '\n';
    std::lock_guard lock(m_mtxWrite);
    std::fwrite(strOut.data(), 1, strOut.size(), m_pFile);
    std::fflush(m_pFile);
}

bool CLogLimit::Allow(int64_t nNowMs) {
    if (m_nLastMs >= 0) {
        m_nCreditMs =
            std::min(m_nCreditMs + std::max<int64_t>(nNowMs - m_nLastMs, 0), BURST * INTERVAL_MS);
    }
    m_nLastMs = nNowMs;
    if (m_nCreditMs < INTERVAL_MS) {
        ++m_nLeftOut;
        return false;
    }
    m_nCreditMs -= INTERVAL_MS;
    return true;
}

uint64_t CLogLimit::TakeLeftOut() {
    const uint64_t nLeftOut = m_nLeftOut;
    m_nLeftOut = 0;
    return nLeftOut;
}
