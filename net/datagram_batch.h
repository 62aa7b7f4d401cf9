// Many copies of one datagram in as few system calls as the platform allows,
// without blocking: the upload sender's datagrams and the node's download
// share it. The platform's calls live in datagram_batch_posix.cpp.
#pragma once

#include "net/socket.h"

#include <cstdint>

// At most this many datagrams go out per call.
constexpr int DATAGRAM_BATCH_MAX = 64;

// Sends nCount (capped at DATAGRAM_BATCH_MAX) copies of the nLength bytes at
// pData to the IPv4 address (network byte order) and port. While bSegmentation
// holds, one call hands the kernel the whole batch to cut into datagrams of
// nLength bytes (segmentation offload); a path that refuses it clears the flag
// and the batch goes as one message per datagram. Datagrams sent; 0 when the
// socket has no room now (or nCount is below 1); -1 on failure, with the
// thread's last error set.
int SendDatagramCopies(SOCKET hSocket, const void* pData, int nLength, uint32_t nAddress,
                       uint16_t nPort, int nCount, bool& bSegmentation);
