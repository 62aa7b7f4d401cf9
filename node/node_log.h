// CNodeLog: one line per event on standard error, stamped with the time,
// whole lines only even when several sessions log at once.
#pragma once

#include <mutex>
#include <string>

class CNodeLog {
public:
    void Write(const std::string& strLine);

private:
    std::mutex m_mtxWrite; // keeps lines from different threads apart
};
