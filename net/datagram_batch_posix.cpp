// Batched datagrams on Linux: UDP segmentation offload, else sendmmsg.
#include "net/datagram_batch.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

// The send found no room (or a full queue below it): try again later.
bool IsTransient(int nErrno) {
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK || nErrno == EINTR || nErrno == ENOBUFS;
}

} // namespace

int SendDatagramCopies(SOCKET hSocket, const void* pData, int nLength, uint32_t nAddress,
                       uint16_t nPort, int nCount, bool& bSegmentation) {
    if (nCount <= 0) {
        return 0; // the system call would take a huge count for a negative one
    }
    nCount = nCount < DATAGRAM_BATCH_MAX ? nCount : DATAGRAM_BATCH_MAX;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = nAddress;
    addr.sin_port = htons(nPort);

    iovec iov[DATAGRAM_BATCH_MAX];
    for (int i = 0; i < nCount; ++i) {
        iov[i].iov_base = const_cast<void*>(pData);
        iov[i].iov_len = static_cast<size_t>(nLength);
    }

    if (bSegmentation && nCount > 1) {
        // One payload of nCount copies that leaves as nCount datagrams of
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

    mmsghdr msgs[DATAGRAM_BATCH_MAX];
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
