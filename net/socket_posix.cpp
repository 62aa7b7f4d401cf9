// CSocket on POSIX sockets: every failure is turned into its Winsock code so
// that callers see the same texts on every platform.
#include "net/socket.h"

#include "net/address_posix.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds from now until the deadline, 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline) {
    // Rounded up, so that a wait of that long never ends before the deadline.
    const auto nLeft =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return nLeft <= 0 ? 0 : static_cast<int>(std::min<long long>(nLeft, INT32_MAX));
}

// Linux refuses the half-close of an unconnected datagram or raw socket,
// where other platforms do not: that is no failure of the close.
bool IsConnectionless(SOCKET hSocket) {
    int nType = 0;
    socklen_t nLength = sizeof nType;
    return ::getsockopt(hSocket, SOL_SOCKET, SO_TYPE, &nType, &nLength) == 0 &&
           nType != SOCK_STREAM;
}

bool IsTransient(int nErrno) {
    return nErrno == EAGAIN || nErrno == EWOULDBLOCK || nErrno == EINTR || nErrno == ENOBUFS;
}

} // namespace

SOCKET CreateSocket(int nType) {
    const SOCKET hSocket = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_SOCKET;
    }
    return hSocket;
}

class CSocket::CDescriptor {
public:
    explicit CDescriptor(SOCKET hSocket) : m_hSocket(hSocket) {}
    ~CDescriptor() { ::close(m_hSocket); }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    SOCKET Handle() const { return m_hSocket; }

private:
    const SOCKET m_hSocket;
};

class CSocket::CHold {
public:
    explicit CHold(const CSocket& socket) : m_pDescriptor(socket.GetDescriptor()) {}
    SOCKET Handle() const { return m_pDescriptor ? m_pDescriptor->Handle() : INVALID_SOCKET; }

private:
    const std::shared_ptr<CDescriptor> m_pDescriptor;
};

CSocket::CSocket() = default;

CSocket::CSocket(SOCKET hSocket)
    : m_pDescriptor(hSocket != INVALID_SOCKET ? std::make_shared<CDescriptor>(hSocket) : nullptr) {}

std::unique_ptr<CSocket> CSocket::Create(int nType) {
    auto pSocket = std::make_unique<CSocket>(CreateSocket(nType));
    if (!pSocket->m_pDescriptor) {
        pSocket->m_nCreateError = WSAGetLastError();
    }
    return pSocket;
}

CSocket::~CSocket() {
    Close();
    // Released even when the half-close failed; by the last user, as ever.
    std::lock_guard lock(m_mtxDescriptor);
    m_pDescriptor.reset();
}

std::shared_ptr<CSocket::CDescriptor> CSocket::GetDescriptor() const {
    std::lock_guard lock(m_mtxDescriptor);
    return m_pDescriptor;
}

SOCKET CSocket::GetHandle() const {
    return CHold(*this).Handle();
}

void CSocket::SetLastError(int nErrno) const {
    if (nErrno == EBADF && m_nCreateError != 0) {
        WSASetLastError(m_nCreateError);
    } else {
        SetLastErrorFromErrno(nErrno);
    }
}

void CSocket::OnConnected() {
    m_bConnected = true;
}

void CSocket::OnDisconnected() {
    m_bConnected = false;
    SetPeer({}, 0);
}

void CSocket::SetPeer(std::string strAddress, uint16_t nPort) {
    std::lock_guard lock(m_mtxText);
    m_strAddress = std::move(strAddress);
    m_nPort = nPort;
}

void CSocket::SetErrorText(std::string strError) {
    std::lock_guard lock(m_mtxText);
    m_strError = std::move(strError);
}


bool CSocket::Connect(const std::string& strAddress, uint16_t nPort) {
    return ConnectWithin(strAddress, nPort, UINT32_MAX); // the system's own bound, minutes
}

bool CSocket::ConnectWithin(const std::string& strAddress, uint16_t nPort, uint32_t nTimeoutMs) {
    const CHold hold(*this);
    const SOCKET hSocket = hold.Handle();
    sockaddr_in addr;
    if (!SocketAddressOf(strAddress, nPort, false, addr)) {
        RecordError();
        return false;
    }
    // Without blocking, so that the wait has a bound and a cancel ends it.
    const int nFlags = ::fcntl(hSocket, F_GETFL);
    if (nFlags < 0 || ::fcntl(hSocket, F_SETFL, nFlags | O_NONBLOCK) < 0) {
        SetLastError(errno);
        RecordError();
        return false;
    }
    int nError = 0;
    if (m_bShutdown) {
        nError = EINTR;
    } else if (::connect(hSocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        nError =
            errno == EINPROGRESS || errno == EINTR ? WaitForConnect(hSocket, nTimeoutMs) : errno;
    }
    if (nError == 0 && m_bShutdown) {
        nError = EINTR; // cancelled as it completed: the socket is shut down
    }
    ::fcntl(hSocket, F_SETFL, nFlags);
    if (nError != 0) {
        SetLastError(nError);
        RecordError();
        return false;
    }
    OnConnected();
    SetPeer(strAddress, nPort);
    return true;
}

// The outcome of a connect in progress, as an errno: 0 once connected,
// ETIMEDOUT after nTimeoutMs, EINTR once Shutdown has cancelled it. The
// shutdown itself wakes the wait: during the connect it ends the attempt, and
// before it the socket stays hung up, which poll reports at once.
int CSocket::WaitForConnect(SOCKET hSocket, uint32_t nTimeoutMs) const {
    const auto deadline = nTimeoutMs == UINT32_MAX
                              ? Clock::time_point::max()
                              : Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    for (;;) {
        const int nLeft = MillisecondsLeft(deadline);
        if (nLeft == 0) {
            return ETIMEDOUT;
        }
        pollfd pfd{hSocket, POLLOUT, 0};
        const int nReady = ::poll(&pfd, 1, nLeft);
        if (nReady < 0 && errno != EINTR) {
            return errno;
        }
        if (nReady > 0) {
            if (m_bShutdown) {
                return EINTR;
            }
            int nError = 0;
            socklen_t nLength = sizeof nError;
            if (::getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength) < 0) {
                return errno;
            }
            return nError;
        }
    }
}

bool CSocket::Bind(uint16_t nPort) {
    return Bind(std::string(), nPort);
}

bool CSocket::Bind(const std::string& strAddress, uint16_t nPort) {
    const CHold hold(*this);
    const SOCKET hSocket = hold.Handle();
    sockaddr_in addr;
    if (!SocketAddressOf(strAddress, nPort, true, addr)) {
        RecordError();
        return false;
    }
    if (::bind(hSocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        SetLastError(errno);
        RecordError();
        return false;
    }
    // Datagram and raw sockets cannot listen: the failure is kept as the
    // error text, but the bind itself succeeded.
    if (::listen(hSocket, m_nBacklog) < 0) {
        SetLastError(errno);
        RecordError();
    }
    OnConnected();
    {
        std::lock_guard lock(m_mtxText);
        m_nPort = nPort;
    }
    return true;
}

bool CSocket::Close() {
    std::shared_ptr<CDescriptor> pDescriptor = GetDescriptor();
    const SOCKET hSocket = pDescriptor ? pDescriptor->Handle() : INVALID_SOCKET;
    // Both directions: this also wakes a receive that another thread is
    // blocked in, which a plain close does not do here.
    if (::shutdown(hSocket, SHUT_RDWR) < 0) {
        const int nErrno = errno;
        if (nErrno != ENOTCONN || !IsConnectionless(hSocket)) {
            SetLastError(nErrno);
            RecordError();
            return false;
        }
    }
    m_bShutdown = true;
    {
        std::lock_guard lock(m_mtxDescriptor);
        if (m_pDescriptor == pDescriptor) {
            m_pDescriptor.reset(); // no later call can take it up
        }
    }
    // The last user releases the descriptor: here, unless a call on another
    // thread is still in it (it has been woken, and lets go when it returns).
    pDescriptor.reset();
    OnDisconnected();
    return true;
}

void CSocket::Shutdown() {
    m_bShutdown = true; // before the wake, so that a connect woken by it sees it
    ::shutdown(CHold(*this).Handle(), SHUT_RDWR); // fails harmlessly once closed
}

int CSocket::Send(const void* pData, int nLength) {
    const CHold hold(*this);
    const ssize_t nSent = ::send(hold.Handle(), pData, static_cast<size_t>(nLength), MSG_NOSIGNAL);
    if (nSent < 0) {
        SetLastError(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(nSent);
}

int CSocket::WaitForRoom(uint32_t nWaitMs) {
    const CHold hold(*this);
    pollfd pfd{hold.Handle(), POLLOUT, 0};
    if (pfd.fd == INVALID_SOCKET) {
        SetLastError(EBADF);
        return SOCKET_ERROR;
    }
    const int nReady = ::poll(&pfd, 1, static_cast<int>(std::min<uint32_t>(nWaitMs, INT32_MAX)));
    if (nReady < 0) {
        if (errno == EINTR) {
            return 0;
        }
        SetLastError(errno);
        return SOCKET_ERROR;
    }
    if (nReady > 0 && (pfd.revents & POLLNVAL) != 0) {
        SetLastError(EBADF);
        return SOCKET_ERROR;
    }
    // A failed socket reports POLLERR/POLLHUP: the send that follows reads its error.
    return nReady;
}

int CSocket::SendAvailable(const void* pData, int nLength, uint32_t nWaitMs) {
    const CHold hold(*this);
    const SOCKET hSocket = hold.Handle();
    // Try first: while the path keeps up there is room, and the wait would
    // only cost a call per send.
    for (bool bWaited = false;; bWaited = true) {
        const ssize_t nSent =
            ::send(hSocket, pData, static_cast<size_t>(nLength), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (nSent >= 0) {
            return static_cast<int>(nSent);
        }
        if (!IsTransient(errno)) {
            SetLastError(errno);
            return SOCKET_ERROR;
        }
        if (bWaited) {
            return 0;
        }
        const int nReady = WaitForRoom(nWaitMs);
        if (nReady <= 0) {
            return nReady;
        }
    }
}

int CSocket::SendWithin(const void* pData, int nLength, uint32_t nWaitMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(nWaitMs);
    const char* pBytes = static_cast<const char*>(pData);
    int nDone = 0;
    while (nDone < nLength) {
        const int nLeft = MillisecondsLeft(deadline);
        const int nSent =
            SendAvailable(pBytes + nDone, nLength - nDone, static_cast<uint32_t>(nLeft));
        if (nSent < 0) {
            return SOCKET_ERROR;
        }
        if (nSent == 0 && nLeft == 0) {
            WSASetLastError(WSAETIMEDOUT);
            return SOCKET_ERROR;
        }
        nDone += nSent;
    }
    return nDone;
}

int CSocket::Receive(void* pBuffer, int nSize) {
    const CHold hold(*this);
    const ssize_t nReceived = ::recv(hold.Handle(), pBuffer, static_cast<size_t>(nSize), 0);
    // The bytes past the received data read as zero, as if the whole buffer
    // had been cleared first; only those are written.
    const size_t nKept = nReceived > 0 ? static_cast<size_t>(nReceived) : 0;
    if (nSize > 0) {
        std::memset(static_cast<char*>(pBuffer) + nKept, 0, static_cast<size_t>(nSize) - nKept);
    }
    if (nReceived < 0) {
        SetLastError(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(nReceived);
}

int CSocket::SendTo(const void* pData, int nLength, const std::string& strAddress, uint16_t nPort) {
    sockaddr_in addr;
    if (!SocketAddressOf(strAddress, nPort, false, addr)) {
        return SOCKET_ERROR;
    }
    const CHold hold(*this);
    const ssize_t nSent = ::sendto(hold.Handle(), pData, static_cast<size_t>(nLength), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (nSent < 0) {
        SetLastError(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(nSent);
}

int CSocket::ReceiveFrom(void* pBuffer, int nSize, std::string& strAddress, uint16_t& nPort) {
    const CHold hold(*this);
    sockaddr_in addr{};
    socklen_t nAddrLen = sizeof addr;
    const ssize_t nReceived = ::recvfrom(hold.Handle(), pBuffer, static_cast<size_t>(nSize), 0,
                                         reinterpret_cast<sockaddr*>(&addr), &nAddrLen);
    if (nReceived < 0) {
        SetLastError(errno);
        return SOCKET_ERROR;
    }
    strAddress = addr.sin_family == AF_INET ? DottedText(addr.sin_addr) : std::string();
    nPort = ntohs(addr.sin_port);
    return static_cast<int>(nReceived);
}

bool CSocket::SetOption(int nLevel, int nOption, int32_t nValue) {
    const CHold hold(*this);
    if (::setsockopt(hold.Handle(), nLevel, nOption, &nValue, sizeof nValue) < 0) {
        SetLastError(errno);
        RecordError();
        return false;
    }
    return true;
}

bool CSocket::GetOption(int nLevel, int nOption, int32_t& nValue) {
    const CHold hold(*this);
    socklen_t nLength = sizeof nValue;
    if (::getsockopt(hold.Handle(), nLevel, nOption, &nValue, &nLength) < 0) {
        SetLastError(errno);
        RecordError();
        return false;
    }
    return true;
}

bool CSocket::IoControl(unsigned long nCommand, uint32_t nArgument) {
    const CHold hold(*this);
    if (::ioctl(hold.Handle(), nCommand, &nArgument) < 0) {
        SetLastError(errno);
        RecordError();
        return false;
    }
    return true;
}

bool CSocket::Accept() {
    const CHold hold(*this);
    const SOCKET hSocket = hold.Handle();
    do {
        m_hAccepted = ::accept4(hSocket, nullptr, nullptr, SOCK_CLOEXEC);
    } while (m_hAccepted < 0 && errno == EINTR);
    if (m_hAccepted == INVALID_SOCKET) {
        SetLastError(errno);
        RecordError();
        return false;
    }
    if (m_hAccepted == 0) {
        SetErrorText("No connection established");
        return false;
    }
    return true;
}

std::string CSocket::GetPeerAddress() {
    const CHold hold(*this);
    sockaddr_in addr{};
    socklen_t nLength = sizeof addr;
    if (::getpeername(hold.Handle(), reinterpret_cast<sockaddr*>(&addr), &nLength) < 0 ||
        addr.sin_family != AF_INET) {
        return {};
    }
    return DottedText(addr.sin_addr);
}
