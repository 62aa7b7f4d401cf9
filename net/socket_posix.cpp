// CSocket on POSIX sockets: every failure is turned into its Winsock code so
// that callers see the same texts on every platform.
#include "net/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

bool MakeAddress(const std::string& strAddress, uint16_t nPort, sockaddr_in& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    if (strAddress.empty()) {
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr) == 1;
}

std::string DottedText(const in_addr& address) {
    char szText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, szText, sizeof szText);
    return szText;
}

} // namespace

// Marks one call on the handle as running, for the whole of that call.
class CSocket::CInUse {
public:
    explicit CInUse(CSocket& socket) : m_socket(socket) {
        ++m_socket.m_nInUse;
        m_hSocket = m_socket.m_hSocket.load();
    }
    ~CInUse() { --m_socket.m_nInUse; }
    CInUse(const CInUse&) = delete;
    CInUse& operator=(const CInUse&) = delete;
    SOCKET Handle() const { return m_hSocket; }

private:
    CSocket& m_socket;
    SOCKET m_hSocket;
};

int WinsockCodeFromErrno(int nErrno) {
    switch (nErrno) {
    case 0:
        return 0;
    case EINTR:
        return 10004;
    case EACCES:
    case EPERM:
        return 10013;
    case EFAULT:
        return 10014;
    case EINVAL:
        return 10022;
    case EMFILE:
    case ENFILE:
        return 10024;
    case EWOULDBLOCK:
        return 10035;
    case EINPROGRESS:
        return 10036;
    case EALREADY:
        return 10037;
    case EBADF:
    case ENOTSOCK:
        return 10038;
    case EDESTADDRREQ:
        return 10039;
    case EMSGSIZE:
        return 10040;
    case EPROTOTYPE:
        return 10041;
    case ENOPROTOOPT:
        return 10042;
    case EPROTONOSUPPORT:
        return 10043;
    case ESOCKTNOSUPPORT:
        return 10044;
    case EOPNOTSUPP:
        return 10045;
    case EPFNOSUPPORT:
        return 10046;
    case EAFNOSUPPORT:
        return 10047;
    case EADDRINUSE:
        return 10048;
    case EADDRNOTAVAIL:
        return 10049;
    case ENETDOWN:
        return 10050;
    case ENETUNREACH:
        return 10051;
    case ENETRESET:
        return 10052;
    case ECONNABORTED:
        return 10053;
    case ECONNRESET:
        return 10054;
    case ENOBUFS:
    case ENOMEM:
        return 10055;
    case EISCONN:
        return 10056;
    case ENOTCONN:
        return 10057;
    case EPIPE:
    case ESHUTDOWN:
        return 10058;
    case ETIMEDOUT:
        return 10060;
    case ECONNREFUSED:
        return 10061;
    case EHOSTDOWN:
        return 10064;
    case EHOSTUNREACH:
        return 10065;
    default:
        return 10107; // no closer Winsock code: "System call failure"
    }
}

SOCKET CreateSocket(int nType) {
    const SOCKET hSocket = ::socket(AF_INET, nType | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_SOCKET;
    }
    return hSocket;
}

CSocket::CSocket() = default;

CSocket::CSocket(SOCKET hSocket) : m_hSocket(hSocket) {}

CSocket::~CSocket() {
    Close();
    const SOCKET hSocket = m_hSocket.exchange(INVALID_SOCKET);
    if (hSocket != INVALID_SOCKET) {
        ::close(hSocket);
    }
}

void CSocket::OnConnected() {
    m_bConnected = true;
}

void CSocket::OnDisconnected() {
    m_bConnected = false;
    m_strAddress.clear();
    m_nPort = 0;
}

bool CSocket::Connect(const std::string& strAddress, uint16_t nPort) {
    const CInUse use(*this);
    sockaddr_in addr;
    if (strAddress.empty() || !MakeAddress(strAddress, nPort, addr)) {
        WSASetLastError(10022); // not dotted text: names are resolved by the caller
        RecordError();
        return false;
    }
    int nResult;
    do {
        nResult = ::connect(use.Handle(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (nResult < 0 && errno == EINTR);
    if (nResult < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    OnConnected();
    m_strAddress = strAddress;
    m_nPort = nPort;
    return true;
}

bool CSocket::Bind(uint16_t nPort) {
    return Bind(std::string(), nPort);
}

bool CSocket::Bind(const std::string& strAddress, uint16_t nPort) {
    const CInUse use(*this);
    sockaddr_in addr;
    if (!MakeAddress(strAddress, nPort, addr)) {
        WSASetLastError(10022);
        RecordError();
        return false;
    }
    if (::bind(use.Handle(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    // Datagram and raw sockets cannot listen: the failure is kept as the
    // error text, but the bind itself succeeded.
    if (::listen(use.Handle(), m_nBacklog) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
    }
    OnConnected();
    m_nPort = nPort;
    return true;
}

bool CSocket::Close() {
    // Both directions: this also wakes a receive that another thread is
    // blocked in, which a plain close does not do here.
    if (::shutdown(m_hSocket.load(), SHUT_RDWR) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    // The number may be reused by the next socket as soon as it is closed:
    // no call may still be using it, and no later call may pick it up.
    const SOCKET hSocket = m_hSocket.exchange(INVALID_SOCKET);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (m_nInUse > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (::close(hSocket) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    OnDisconnected();
    return true;
}

void CSocket::Shutdown() {
    const CInUse use(*this);
    if (use.Handle() != INVALID_SOCKET) {
        ::shutdown(use.Handle(), SHUT_RDWR);
    }
}

int CSocket::Send(const void* pData, int nLength) {
    const CInUse use(*this);
    const ssize_t nSent = ::send(use.Handle(), pData, static_cast<size_t>(nLength), MSG_NOSIGNAL);
    if (nSent < 0) {
        SetLastErrorFromErrno(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(nSent);
}

int CSocket::Receive(void* pBuffer, int nSize) {
    const CInUse use(*this);
    std::memset(pBuffer, 0, static_cast<size_t>(nSize));
    const ssize_t nReceived = ::recv(use.Handle(), pBuffer, static_cast<size_t>(nSize), 0);
    if (nReceived < 0) {
        SetLastErrorFromErrno(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(nReceived);
}

int CSocket::SendTo(const void* pData, int nLength, const std::string& strAddress, uint16_t nPort) {
    const CInUse use(*this);
    sockaddr_in addr;
    if (strAddress.empty() || !MakeAddress(strAddress, nPort, addr)) {
        WSASetLastError(10022);
        return SOCKET_ERROR;
    }
    const ssize_t nSent = ::sendto(use.Handle(), pData, static_cast<size_t>(nLength), MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (nSent < 0) {
        SetLastErrorFromErrno(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(nSent);
}

int CSocket::ReceiveFrom(void* pBuffer, int nSize, std::string& strAddress, uint16_t& nPort) {
    const CInUse use(*this);
    sockaddr_in addr{};
    socklen_t nAddrLen = sizeof addr;
    const ssize_t nReceived = ::recvfrom(use.Handle(), pBuffer, static_cast<size_t>(nSize), 0,
                                         reinterpret_cast<sockaddr*>(&addr), &nAddrLen);
    if (nReceived < 0) {
        SetLastErrorFromErrno(errno);
        return SOCKET_ERROR;
    }
    strAddress = addr.sin_family == AF_INET ? DottedText(addr.sin_addr) : std::string();
    nPort = ntohs(addr.sin_port);
    return static_cast<int>(nReceived);
}

bool CSocket::SetOption(int nLevel, int nOption, int32_t nValue) {
    const CInUse use(*this);
    if (::setsockopt(use.Handle(), nLevel, nOption, &nValue, sizeof nValue) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    return true;
}

bool CSocket::GetOption(int nLevel, int nOption, int32_t& nValue) {
    const CInUse use(*this);
    socklen_t nLength = sizeof nValue;
    if (::getsockopt(use.Handle(), nLevel, nOption, &nValue, &nLength) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    return true;
}

bool CSocket::IoControl(unsigned long nCommand, uint32_t nArgument) {
    const CInUse use(*this);
    if (::ioctl(use.Handle(), nCommand, &nArgument) < 0) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    return true;
}

bool CSocket::Accept() {
    const CInUse use(*this);
    do {
        m_hAccepted = ::accept4(use.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (m_hAccepted < 0 && errno == EINTR);
    if (m_hAccepted == INVALID_SOCKET) {
        SetLastErrorFromErrno(errno);
        RecordError();
        return false;
    }
    if (m_hAccepted == 0) {
        m_strError = "No connection established";
        return false;
    }
    return true;
}

std::string CSocket::GetHostAddress(const std::string& strName) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* pResult = nullptr;
    const int nResult = ::getaddrinfo(strName.c_str(), nullptr, &hints, &pResult);
    if (nResult != 0) {
        switch (nResult) {
        case EAI_AGAIN:
            WSASetLastError(11002);
            break;
        case EAI_FAIL:
            WSASetLastError(11003);
            break;
        case EAI_NODATA:
            WSASetLastError(11004);
            break;
        default:
            WSASetLastError(11001);
            break;
        }
        return {};
    }
    std::string strAddress;
    for (const addrinfo* p = pResult; p != nullptr; p = p->ai_next) {
        if (p->ai_family == AF_INET) {
            strAddress = DottedText(reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr);
            break;
        }
    }
    ::freeaddrinfo(pResult);
    return strAddress;
}

std::string CSocket::GetHostName(const std::string&) {
    return {};
}

std::string CSocket::GetLocalHostName() {
    char szName[256] = {};
    if (::gethostname(szName, 255) < 0) {
        return {};
    }
    return szName;
}

std::string CSocket::GetLocalAddresses() {
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) < 0) {
        return {};
    }
    std::string strAddresses;
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr != nullptr && p->ifa_addr->sa_family == AF_INET) {
            const std::string strAddress =
                DottedText(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr);
            if (strAddresses.find(strAddress + ' ') != 0 &&
                strAddresses.find(' ' + strAddress + ' ') == std::string::npos) {
                strAddresses += strAddress + ' ';
            }
        }
    }
    ::freeifaddrs(pList);
    return strAddresses;
}

std::string CSocket::GetPeerAddress() {
    const CInUse use(*this);
    sockaddr_in addr{};
    socklen_t nLength = sizeof addr;
    if (::getpeername(use.Handle(), reinterpret_cast<sockaddr*>(&addr), &nLength) < 0 ||
        addr.sin_family != AF_INET) {
        return {};
    }
    return DottedText(addr.sin_addr);
}
