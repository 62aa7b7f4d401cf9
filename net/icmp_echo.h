// ICMP echo through a raw socket, for the latency figures. The platform's
// calls live in icmp_echo_posix.cpp. A raw socket needs the capture's
// privilege (CAP_NET_RAW on Linux).
#pragma once

#include "net/socket.h"
#include "net/stamp_clock.h"

#include <cstdint>

// A raw ICMP socket that takes in echo replies only, or INVALID_SOCKET with
// the thread's last error set (WSAEACCES without the privilege).
SOCKET OpenIcmpSocket();
void CloseIcmpSocket(SOCKET hSocket);
// An echo identifier of its own for each caller in this process, and by the
// process apart from other programs', so that each takes only its replies.
uint16_t NewIcmpEchoId();

// One echo request of identifier and number to the IPv4 address (network
// byte order); false with the thread's last error set.
bool SendIcmpEcho(SOCKET hSocket, uint32_t nAddress, uint16_t nId, uint16_t nSequence);

struct SIcmpReply {
    uint32_t nFrom = 0; // network byte order
    uint16_t nId = 0;
    uint16_t nSequence = 0;
    CStampClock::Clock::time_point arrival; // when the kernel took it in
};
// Waits up to nTimeoutMs for an echo reply: 1 with it, 0 when none came (or
// what came was no echo reply), -1 on failure with the thread's last error set.
int ReceiveIcmpEcho(SOCKET hSocket, int nTimeoutMs, SIcmpReply& reply);
