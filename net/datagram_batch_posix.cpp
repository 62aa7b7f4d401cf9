// Batched datagrams on Linux: out with UDP segmentation offload, else
// sendmmsg; in with recvmmsg, UDP receive offload and the kernel's arrival
// stamps.
#include "net/datagram_batch.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace {

// The send found no room (or a full queue below it): try again later.
bool IsTransient(int nErrno) {
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK || nErrno == EINTR || nErrno == ENOBUFS;
}

// nCount datagrams of nLength bytes, the i-th at pData + i * nStride.
int SendDatagramBatch(SOCKET hSocket, const char* pData, int nLength, size_t nStride,
                      uint32_t nAddress, uint16_t nPort, int nCount, bool& bSegmentation) {
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
        iov[i].iov_base = const_cast<char*>(pData + static_cast<size_t>(i) * nStride);
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

} // namespace

int SendDatagramCopies(SOCKET hSocket, const void* pData, int nLength, uint32_t nAddress,
                       uint16_t nPort, int nCount, bool& bSegmentation) {
    return SendDatagramBatch(hSocket, static_cast<const char*>(pData), nLength, 0, nAddress, nPort,
                             nCount, bSegmentation);
}

int SendDatagramRun(SOCKET hSocket, const void* pData, int nLength, uint32_t nAddress,
                    uint16_t nPort, int nCount, bool& bSegmentation) {
    return SendDatagramBatch(hSocket, static_cast<const char*>(pData), nLength,
                             static_cast<size_t>(nLength), nAddress, nPort, nCount, bSegmentation);
}

struct CDatagramReceiver::Reads {
    // Room for the arrival stamp and the offloaded datagrams' size.
    static constexpr size_t CONTROL_BYTES = CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(int));

    // Left unwritten: the system gives its pages as reads first fill them.
    std::unique_ptr<char[]> pBuffer =
        std::make_unique_for_overwrite<char[]>(size_t{MAX_READS} * READ_BYTES);
    mmsghdr messages[MAX_READS];
    iovec vectors[MAX_READS];
    sockaddr_in senders[MAX_READS];
    alignas(cmsghdr) char control[MAX_READS][CONTROL_BYTES];
    int nSegment[MAX_READS]; // the size of each datagram of the read
    Clock::time_point arrival[MAX_READS];
    CStampClock stamps;
};

CDatagramReceiver::CDatagramReceiver() : m_pReads(std::make_unique<Reads>()) {}

CDatagramReceiver::~CDatagramReceiver() = default;

void CDatagramReceiver::Prepare(SOCKET hSocket, int nBufferBytes) {
    // Each may be missing (an older kernel): batches work without.
    const int nOn = 1;
    ::setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &nBufferBytes, sizeof nBufferBytes);
    ::setsockopt(hSocket, IPPROTO_UDP, UDP_GRO, &nOn, sizeof nOn);
    ::setsockopt(hSocket, SOL_SOCKET, SO_TIMESTAMPNS, &nOn, sizeof nOn);
}

int CDatagramReceiver::Receive(SOCKET hSocket) {
    Reads& r = *m_pReads;
    m_nReads = m_nRead = m_nOffset = 0;
    for (int i = 0; i < MAX_READS; ++i) {
        r.vectors[i] = {r.pBuffer.get() + static_cast<size_t>(i) * READ_BYTES, READ_BYTES};
        msghdr& header = r.messages[i].msg_hdr;
        header.msg_name = &r.senders[i];
        header.msg_namelen = sizeof r.senders[i];
        header.msg_iov = &r.vectors[i];
        header.msg_iovlen = 1;
        header.msg_control = r.control[i];
        header.msg_controllen = sizeof r.control[i];
        header.msg_flags = 0;
        r.messages[i].msg_len = 0;
    }
    const int nReads = ::recvmmsg(hSocket, r.messages, MAX_READS, MSG_WAITFORONE, nullptr);
    if (nReads < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        SetLastErrorFromErrno(errno);
        return SOCKET_ERROR;
    }
    r.stamps.Sync();
    for (int i = 0; i < nReads; ++i) {
        msghdr& header = r.messages[i].msg_hdr;
        r.nSegment[i] = static_cast<int>(r.messages[i].msg_len);
        r.arrival[i] = r.stamps.Synced();
        for (cmsghdr* pHeader = CMSG_FIRSTHDR(&header); pHeader != nullptr;
             pHeader = CMSG_NXTHDR(&header, pHeader)) {
            if (pHeader->cmsg_level == IPPROTO_UDP && pHeader->cmsg_type == UDP_GRO) {
                int nSegment = 0;
                std::memcpy(&nSegment, CMSG_DATA(pHeader), sizeof nSegment);
                if (nSegment > 0) {
                    r.nSegment[i] = nSegment;
                }
            } else if (pHeader->cmsg_level == SOL_SOCKET && pHeader->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(pHeader), sizeof stamp);
                r.arrival[i] = r.stamps.ToSteady(stamp.tv_sec, stamp.tv_nsec);
            }
        }
    }
    m_nReads = nReads;
    return nReads;
}

bool CDatagramReceiver::Next(Datagram& datagram) {
    Reads& r = *m_pReads;
    for (; m_nRead < m_nReads; ++m_nRead, m_nOffset = 0) {
        const int nLength = static_cast<int>(r.messages[m_nRead].msg_len);
        if (m_nOffset >= nLength || r.senders[m_nRead].sin_family != AF_INET) {
            continue;
        }
        const int nSegment = std::min(r.nSegment[m_nRead], nLength - m_nOffset);
        datagram.pData = static_cast<const char*>(r.vectors[m_nRead].iov_base) + m_nOffset;
        datagram.nLength = nSegment;
        datagram.nAddress = ntohl(r.senders[m_nRead].sin_addr.s_addr);
        datagram.nPort = ntohs(r.senders[m_nRead].sin_port);
        datagram.arrival = r.arrival[m_nRead];
        m_nOffset += nSegment;
        return true;
    }
    return false;
}
