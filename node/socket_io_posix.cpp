// The node's socket calls on POSIX (Linux): poll, the send queue through
// SIOCOUTQ, datagrams in batches (datagram_batch.h out, recvmmsg in).
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
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

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

void TuneDatagramSocket(SOCKET hSocket) {
    const int nBytes = 8 << 20;
    if (::setsockopt(hSocket, SOL_SOCKET, SO_RCVBUFFORCE, &nBytes, sizeof nBytes) < 0) {
        ::setsockopt(hSocket, SOL_SOCKET, SO_RCVBUF, &nBytes, sizeof nBytes);
    }
    const int nOn = 1;
    ::setsockopt(hSocket, IPPROTO_IP, IP_PKTINFO, &nOn, sizeof nOn);
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
    mmsghdr messages[SDatagramBatch::MAX_DATAGRAMS];
    iovec vectors[SDatagramBatch::MAX_DATAGRAMS];
    sockaddr_in senders[SDatagramBatch::MAX_DATAGRAMS];
    union {
        cmsghdr header;
        char space[CMSG_SPACE(sizeof(in_pktinfo))];
    } controls[SDatagramBatch::MAX_DATAGRAMS];
    for (int i = 0; i < SDatagramBatch::MAX_DATAGRAMS; ++i) {
        std::memset(&messages[i], 0, sizeof messages[i]);
        vectors[i] = {batch.data[i], SDatagramBatch::BUFFER_SIZE};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls[i].space;
        messages[i].msg_hdr.msg_controllen = sizeof controls[i].space;
    }
    batch.nCount = 0;
    const int nReceived =
        ::recvmmsg(hSocket, messages, SDatagramBatch::MAX_DATAGRAMS, MSG_DONTWAIT, nullptr);
    if (nReceived < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            return true;
        }
        SetLastErrorFromErrno(errno);
        return false;
    }
    for (int i = 0; i < nReceived; ++i) {
        batch.nLength[i] = static_cast<int>(messages[i].msg_len);
        batch.nSender[i] = senders[i].sin_addr.s_addr;
        batch.nSenderPort[i] = ntohs(senders[i].sin_port);
        batch.nReceiver[i] = 0;
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* pControl = CMSG_FIRSTHDR(&header); pControl != nullptr;
             pControl = CMSG_NXTHDR(&header, pControl)) {
            if (pControl->cmsg_level == IPPROTO_IP && pControl->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(pControl), sizeof info);
                batch.nReceiver[i] = info.ipi_addr.s_addr;
            }
        }
    }
    batch.nCount = nReceived;
    return true;
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
