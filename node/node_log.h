// CNodeLog: one line per event on standard error, stamped with the time,
// whole lines only even when several sessions log at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Milliseconds of the steady clock: the one clock of the node's limits,
// pacing and log limits.
int64_t NowMs();
// A Winsock text (code, line break, description) as one log line.
std::string OneLine(std::string strText);

// printf-style text for a log line (cut at 511 characters).
std::string Format(const char* pszFormat, auto... args) {
    if constexpr (sizeof...(args) == 0) {
        return pszFormat; // a fixed line
    } else {
        char szText[512];
        std::snprintf(szText, sizeof szText, pszFormat, args...);
        return szText;
    }
}

class CNodeLog {
public:
    // Lines go to pFile (the fuzz target gives the null device).
    explicit CNodeLog(std::FILE* pFile = stderr) : m_pFile(pFile) {}

    void Write(const std::string& strLine);

private:
    std::FILE* const m_pFile;
    std::mutex m_mtxWrite; // keeps lines from different threads apart
};

// Holds one kind of line to a rate that no peer can raise: the first
// BURST lines go through at once, later ones one a second; the rest are
// counted, to be said on the next line that goes through.
class CLogLimit {
public:
    static constexpr int BURST = 10;
    static constexpr int64_t INTERVAL_MS = 1000;

    // Whether a line may be written at nNowMs (a steady clock); a line
    // that may not is counted as left out.
    bool Allow(int64_t nNowMs);
    // The lines left out since the last one allowed.
    uint64_t TakeLeftOut();

private:
    int64_t m_nCreditMs = BURST * INTERVAL_MS;
    int64_t m_nLastMs = -1;
    uint64_t m_nLeftOut = 0;
};
