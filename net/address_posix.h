// IPv4 socket addresses from and to text, shared by the POSIX socket files.
#pragma once

#include "net/socket.h"

#include <netinet/in.h>
#include <string>

// The socket address of address text and a port; false, with
// WSAEADDRNOTAVAIL as the thread's last error, for text that is no address.
// That reads as the broadcast address, which Linux would let a datagram
// socket bind and a sender reach unasked; Winsock refuses it. Empty text is
// any local address where bEmptyIsAny (Bind).
bool SocketAddressOf(const std::string& strAddress, uint16_t nPort, bool bEmptyIsAny,
                     sockaddr_in& addr);
std::string DottedText(const in_addr& address);
