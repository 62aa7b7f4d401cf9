// The kernel's figures of a TCP connection (TCP_INFO on Linux); the
// platform's call lives in tcp_info_posix.cpp.
#pragma once

#include "net/socket.h"

#include <cstdint>

struct STcpInfo {
    double dRttMs = 0;         // smoothed round trip of what this side sends
    double dRttVarMs = 0;      // its variation
    uint64_t nRetransmits = 0; // segments sent again since the connection began
    uint64_t nCwndBytes = 0;   // congestion window: segments times the segment size
    double dReceiverRttMs = 0; // the estimate from what arrives, for a side that only receives
};

// False with the thread's last error set.
bool ReadTcpInfo(SOCKET hSocket, STcpInfo& info);
