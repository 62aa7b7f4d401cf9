// Batched sends of the upload traffic on POSIX: non-blocking stream sends
// that wait, for a bounded time, only while the socket is full; datagrams in
// batches (datagram_batch.h) once the socket has room.
#include "net/traffic_sender.h"

#include "net/datagram_batch.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

// 1: the socket has room; 0: none within nWaitMs; -1: failure (recorded).
int WaitForRoom(SOCKET hSocket, int nWaitMs) {
    if (hSocket == INVALID_SOCKET) {
        SetLastErrorFromErrno(EBADF);
        return -1;
    }
    pollfd pfd{hSocket, POLLOUT, 0};
    const int nReady = ::poll(&pfd, 1, nWaitMs);
    if (nReady < 0) {
        if (errno == EINTR) {
            return 0;
        }
        SetLastErrorFromErrno(errno);
        return -1;
    }
    // A failed socket reports POLLERR/POLLHUP: the send that follows reads its error.
    return nReady;
}

bool IsTransient(int nErrno) {
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK || nErrno == EINTR || nErrno == ENOBUFS;
}

} // namespace

int CTrafficSender::SendStream(CSocket& socket, const char* pData, int nLength, int nWaitMs) {
    const SOCKET hSocket = socket.GetHandle();
    // Try first: while the path keeps up there is room, and the wait would
    // only cost a call per send.
    for (bool bWaited = false;; bWaited = true) {
        const ssize_t nSent =
            ::send(hSocket, pData, static_cast<size_t>(nLength), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (nSent >= 0) {
            return static_cast<int>(nSent);
        }
        if (!IsTransient(errno)) {
            SetLastErrorFromErrno(errno);
            return SOCKET_ERROR;
        }
        if (bWaited) {
            return 0;
        }
        const int nReady = WaitForRoom(hSocket, nWaitMs);
        if (nReady <= 0) {
            return nReady;
        }
    }
}

int CTrafficSender::SendDatagrams(CSocket& socket, const char* pBlock, int nLength, int nCount,
                                  const std::string& strHost, uint16_t nPort, int nWaitMs,
                                  bool& bSegmentation) {
    in_addr address{};
    if (strHost.empty() || ::inet_pton(AF_INET, strHost.c_str(), &address) != 1) {
        WSASetLastError(10022);
        return SOCKET_ERROR;
    }
    const SOCKET hSocket = socket.GetHandle();
    const int nReady = WaitForRoom(hSocket, nWaitMs);
    if (nReady <= 0) {
        return nReady;
    }
    return SendDatagramCopies(hSocket, pBlock, nLength, address.s_addr, nPort, nCount,
                              bSegmentation);
}
