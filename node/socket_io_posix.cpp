// The node's socket calls on POSIX (Linux): poll, the send queue through
// SIOCOUTQ, sendfile from a memfd,
// datagrams in batches (datagram_batch.h out, recvmmsg with UDP receive
// offload in), eventfd wakes.
#include "node/socket_io.h"

#include "net/datagram_batch.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace NodeIo {

namespace {

int g_nSignalWrite = -1; // the write end of the stop pipe; set once before any signal

void OnStopSignal(int) {
    const int nSaved = errno;
    const char cSignal = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_nSignalWrite, &cSignal, 1);
    errno = nSaved;
}

int TransferResult(ssize_t nResult) {
    if (nResult >= 0) {
        return static_cast<int>(nResult);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return IO_WOULD_BLOCK;
    }
    SetLastErrorFromErrno(errno);
    return IO_ERROR;
}

} // namespace

bool AddressFromText(const std::string& strText, ADDRESS& nAddress) {
    in_addr addr{};
    if (inet_pton(AF_INET, strText.c_str(), &addr) != 1) {
        return false;
    }
    nAddress = addr.s_addr;
    return true;
}

std::string TextFromAddress(ADDRESS nAddress) {
    in_addr addr{};
    addr.s_addr = nAddress;
    char szText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, szText, sizeof szText);
    return szText;
}

bool SetNonBlocking(SOCKET hSocket) {
    const int nFlags = ::fcntl(hSocket, F_GETFL);
    return nFlags >= 0 && ::fcntl(hSocket, F_SETFL, nFlags | O_NONBLOCK) == 0;
}

bool SetReuseAddress(SOCKET hSocket) {
    const int nOn = 1;
    return ::setsockopt(hSocket, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn) == 0;
}

void TuneSessionSocket(SOCKET hSocket, int nUnsentLimit) {
    const int nOn = 1;
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    SetUnsentLimit(hSocket, nUnsentLimit);
}

void EnableKeepAlive(SOCKET hSocket, int nIdleSeconds, int nGiveUpSeconds) {
    const int nOn = 1;
    const int nInterval = 1;
    const int nCount = std::max(1, nGiveUpSeconds - nIdleSeconds);
    // Without data in flight the probes decide; with it, only the user
    // timeout does (Linux sends no probe then, and would retransmit for
    // about 15 minutes). With keepalive on, the user timeout also takes
    // over from the probe count.
    const unsigned int nUserTimeoutMs = static_cast<unsigned int>(nGiveUpSeconds) * 1000u;
    ::setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, &nOn, sizeof nOn);
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPIDLE, &nIdleSeconds, sizeof nIdleSeconds);
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPINTVL, &nInterval, sizeof nInterval);
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPCNT, &nCount, sizeof nCount);
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_USER_TIMEOUT, &nUserTimeoutMs, sizeof nUserTimeoutMs);
}

void SetUnsentLimit(SOCKET hSocket, int nUnsentLimit) {
    ::setsockopt(hSocket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &nUnsentLimit, sizeof nUnsentLimit);
}

bool SetSharedPort(SOCKET hSocket) {
    const int nOn = 1;
    return ::setsockopt(hSocket, SOL_SOCKET, SO_REUSEPORT, &nOn, sizeof nOn) == 0;
}

void TuneDatagramSocket(SOCKET hSocket) {
    // Without privilege the system's limit (net.core.rmem_max) applies.
    const int nBytes = 8 << 20;
    if (::setsockopt(hSocket, SOL_SOCKET, SO_RCVBUFFORCE, &nBytes, sizeof nBytes) < 0) {
        ::setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &nBytes, sizeof nBytes);
    }
    const int nOn = 1;
    ::setsockopt(hSocket, IPPROTO_IP, IP_PKTINFO, &nOn, sizeof nOn);
    // An older kernel refuses it: datagrams then come one by one.
    ::setsockopt(hSocket, IPPROTO_UDP, UDP_GRO, &nOn, sizeof nOn);
}

bool GetPeer(SOCKET hSocket, ADDRESS& nAddress, uint16_t& nPort) {
    sockaddr_in addr{};
    socklen_t nLength = sizeof addr;
    if (::getpeername(hSocket, reinterpret_cast<sockaddr*>(&addr), &nLength) < 0 ||
        addr.sin_family != AF_INET) {
        return false;
    }
    nAddress = addr.sin_addr.s_addr;
    nPort = ntohs(addr.sin_port);
    return true;
}

uint16_t GetLocalPort(SOCKET hSocket) {
    sockaddr_in addr{};
    socklen_t nLength = sizeof addr;
    if (::getsockname(hSocket, reinterpret_cast<sockaddr*>(&addr), &nLength) < 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

int GetUnacknowledged(SOCKET hSocket) {
    int nQueued = 0;
    if (::ioctl(hSocket, SIOCOUTQ, &nQueued) < 0) {
        return -1;
    }
    return nQueued;
}

int ReceiveSome(SOCKET hSocket, void* pBuffer, int nSize) {
    return TransferResult(::recv(hSocket, pBuffer, static_cast<size_t>(nSize), MSG_DONTWAIT));
}

int SendSome(SOCKET hSocket, const void* pData, int nLength) {
    return TransferResult(
        ::send(hSocket, pData, static_cast<size_t>(nLength), MSG_DONTWAIT | MSG_NOSIGNAL));
}

SOCKET CreateSendSource(const void* pData, int nSize) {
    const int fd = ::memfd_create("bandscope-download", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return INVALID_SOCKET;
    }
    // Sealed, as the kernel sends its pages by reference.
    if (::pwrite(fd, pData, static_cast<size_t>(nSize), 0) != nSize ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) < 0) {
        ::close(fd);
        return INVALID_SOCKET;
    }
    return fd;
}

void CloseSendSource(SOCKET hSource) {
    if (hSource != INVALID_SOCKET) {
        ::close(hSource);
    }
}

int SendFromSource(SOCKET hSocket, SOCKET hSource, int nLength) {
    off_t nOffset = 0; // never moves the source's own position: it is shared
    return TransferResult(::sendfile(hSocket, hSource, &nOffset, static_cast<size_t>(nLength)));
}

bool Wait(SWait* pWaits, int nCount, int nTimeoutMs) {
    pollfd fds[8];
    if (nCount > 8) {
        return false;
    }
    for (int i = 0; i < nCount; ++i) {
        fds[i].fd = (pWaits[i].bRead || pWaits[i].bWrite) ? pWaits[i].hSocket : -1;
        fds[i].events =
            static_cast<short>((pWaits[i].bRead ? POLLIN : 0) | (pWaits[i].bWrite ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    const int nResult = ::poll(fds, static_cast<nfds_t>(nCount), nTimeoutMs);
    if (nResult < 0 && errno != EINTR) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    for (int i = 0; i < nCount; ++i) {
        const short nEvents = nResult > 0 ? fds[i].revents : 0;
        pWaits[i].bReadable = pWaits[i].bRead && (nEvents & (POLLIN | POLLHUP | POLLERR)) != 0;
        pWaits[i].bWritable = pWaits[i].bWrite && (nEvents & (POLLOUT | POLLERR)) != 0;
    }
    return true;
}

int SendDatagrams(SOCKET hSocket, const void* pData, int nLength, ADDRESS nAddress, uint16_t nPort,
                  int nCount, bool& bSegmentation) {
    const int nSent =
        SendDatagramRun(hSocket, pData, nLength, nAddress, nPort, nCount, bSegmentation);
    if (nSent == 0 && nCount > 0) {
        return IO_WOULD_BLOCK;
    }
    return nSent < 0 ? IO_ERROR : nSent;
}

bool ReceiveDatagrams(SOCKET hSocket, SDatagramBatch& batch) {
    constexpr int MAX_READS = SDatagramBatch::MAX_READS;
    mmsghdr messages[MAX_READS];
    sockaddr_in senders[MAX_READS];
    union {
        cmsghdr header;
        char space[CMSG_SPACE(sizeof(in_pktinfo)) + CMSG_SPACE(sizeof(int))];
    } controls[MAX_READS];
    for (int i = 0; i < MAX_READS; ++i) {
        // No buffer: with MSG_TRUNC each read says its whole length and
        // nothing is copied, as only the bytes are counted.
        std::memset(&messages[i], 0, sizeof messages[i]);
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_control = controls[i].space;
        messages[i].msg_hdr.msg_controllen = sizeof controls[i].space;
    }
    batch.nCount = 0;
    const int nReceived =
        ::recvmmsg(hSocket, messages, MAX_READS, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (nReceived < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }
        SetLastErrorFromErrno(errno);
        return false;
    }
    for (int i = 0; i < nReceived; ++i) {
        const int nBytes = static_cast<int>(messages[i].msg_len);
        int nSegment = nBytes; // one datagram, unless the read holds a run of them
        batch.nReceiver[i] = 0;
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* pControl = CMSG_FIRSTHDR(&header); pControl != nullptr;
             pControl = CMSG_NXTHDR(&header, pControl)) {
            if (pControl->cmsg_level == IPPROTO_IP && pControl->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(pControl), sizeof info);
                batch.nReceiver[i] = info.ipi_addr.s_addr;
            } else if (pControl->cmsg_level == IPPROTO_UDP && pControl->cmsg_type == UDP_GRO) {
                std::memcpy(&nSegment, CMSG_DATA(pControl), sizeof nSegment);
            }
        }
        batch.nBytes[i] = nBytes;
        batch.nDatagrams[i] = nSegment > 0 ? std::max(1, (nBytes + nSegment - 1) / nSegment) : 1;
        batch.nSender[i] = senders[i].sin_addr.s_addr;
        batch.nSenderPort[i] = ntohs(senders[i].sin_port);
    }
    batch.nCount = nReceived;
    return true;
}

SOCKET CreateWake() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd >= 0 ? fd : INVALID_SOCKET;
}

void Wake(SOCKET hWake) {
    if (hWake != INVALID_SOCKET) {
        const uint64_t nOne = 1;
        [[maybe_unused]] const ssize_t n = ::write(hWake, &nOne, sizeof nOne);
    }
}

void CloseWake(SOCKET hWake) {
    if (hWake != INVALID_SOCKET) {
        ::close(hWake);
    }
}

void ReserveStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            ::open("/dev/null", O_RDWR); // takes the lowest free number: this one
        }
    }
}

SOCKET InstallStopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0) {
        return INVALID_SOCKET;
    }
    g_nSignalWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return fds[0];
}

} // namespace NodeIo
