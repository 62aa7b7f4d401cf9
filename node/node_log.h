// CNodeLog: one line per event on standard error, stamped with the time,
// whole lines only even when several sessions log at once.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

class CNodeLog {
public:
    // Lines go to pFile (the fuzz target gives the null device).
    explicit CNodeLog(std::FILE* pFile = stderr) : m_pFile(pFile) {}

    void Write(const std::string& strLine);

private:
    std::FILE* const m_pFile;
    std::mutex m_mtxWrite; // keeps lines from different threads apart
};
