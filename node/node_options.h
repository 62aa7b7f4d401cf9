// CNodeOptions: the node's command line, checked before anything is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CNodeOptions {
    std::string strBind;    // empty: every local IPv4 address
    uint16_t nPort = 20000; // 0: any free port (TCP and UDP of the same number)
    bool bOnce = false;
    uint32_t nMaxSeconds = 0; // 0: no limit beyond the client's seconds
    double dUdpRateMbits = 0; // 0: unpaced
    int nMaxSessions = 64;
    int nMaxPerAddress = 4; // sessions at once from one client address
    bool bHelp = false;
    bool bVersion = false;

    // Timing that tests shorten; not in the help text.
    int nSilenceMs = 300;       // a held run followed by this much silence is a message
    int nGraceMs = 3000;        // a download outlives its test's seconds by this much
    int nIdleMs = 10000;        // silence allowed while the client shows no sign of taking part
    int nRepeatWindowMs = 2000; // a request for the running test within this is a repeat
    int nDrainLimitMs = 5000;   // longest wait for a stopped download to drain
    int nSettleMs = 50;         // pause around a command so that it is a receive of its own

    // False with a one-line message in strError.
    bool Parse(const std::vector<std::string>& args, std::string& strError);
    static std::string HelpText();
};
