// Batched sends of the upload traffic on POSIX: non-blocking stream sends
// that wait, for a bounded time, only while the socket is full; datagrams by
// UDP segmentation offload (one call, the kernel cuts the payload into equal
// datagrams) or, where that is refused, sendmmsg.
#include "net/traffic_sender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

// The most datagrams one segmentation-offload send may carry.
constexpr int MAX_SEGMENTS = 64;

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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    if (strHost.empty() || ::inet_pton(AF_INET, strHost.c_str(), &addr.sin_addr) != 1) {
        WSASetLastError(10022);
        return SOCKET_ERROR;
    }
    nCount = nCount < MAX_SEGMENTS ? nCount : MAX_SEGMENTS;
    const SOCKET hSocket = socket.GetHandle();
    const int nReady = WaitForRoom(hSocket, nWaitMs);
    if (nReady <= 0) {
        return nReady;
    }

    iovec iov[MAX_SEGMENTS];
    for (int i = 0; i < nCount; ++i) {
        iov[i].iov_base = const_cast<char*>(pBlock);
        iov[i].iov_len = static_cast<size_t>(nLength);
    }

    if (bSegmentation && nCount > 1) {
        // One payload of nCount blocks that leaves as nCount datagrams of
        // nLength bytes each, from the same socket to the same destination.
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
        msghdr msg{};
        msg.msg_name = &addr;
        msg.msg_namelen = sizeof addr;
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(nCount);
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* pHeader = CMSG_FIRSTHDR(&msg);
        pHeader->cmsg_level = SOL_UDP;
        pHeader->cmsg_type = UDP_SEGMENT;
        pHeader->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t nSegment = static_cast<uint16_t>(nLength);
        std::memcpy(CMSG_DATA(pHeader), &nSegment, sizeof nSegment);
        const ssize_t nSent = ::sendmsg(hSocket, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (nSent >= 0) {
            return static_cast<int>(nSent / nLength);
        }
        if (IsTransient(errno)) {
            return 0;
        }
        if (errno != EIO && errno != EINVAL && errno != EMSGSIZE && errno != ENOPROTOOPT &&
            errno != EOPNOTSUPP) {
            SetLastErrorFromErrno(errno);
            return SOCKET_ERROR;
        }
        // The kernel or the device cannot segment (no checksum offload, a
        // path MTU below one datagram): one message per datagram from now on.
        bSegmentation = false;
    }

    mmsghdr msgs[MAX_SEGMENTS];
    std::memset(msgs, 0, sizeof msgs);
    for (int i = 0; i < nCount; ++i) {
        msgs[i].msg_hdr.msg_name = &addr;
        msgs[i].msg_hdr.msg_namelen = sizeof addr;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int nSent =
        ::sendmmsg(hSocket, msgs, static_cast<unsigned>(nCount), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (nSent < 0) {
        if (IsTransient(errno)) {
            return 0;
        }
        SetLastErrorFromErrno(errno);
        return SOCKET_ERROR;
    }
    return nSent;
}
