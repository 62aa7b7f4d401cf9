// Address text, name look-ups and the machine's own addresses on POSIX.
#include "net/address_posix.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in SocketAddress(uint32_t nAddress, uint16_t nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = nAddress;
    return addr;
}

} // namespace

bool SocketAddressOf(const std::string& strAddress, uint16_t nPort, bool bEmptyIsAny,
                     sockaddr_in& addr) {
    addr = SocketAddress(
        bEmptyIsAny && strAddress.empty() ? htonl(INADDR_ANY) : InetAddr(strAddress), nPort);
    if (addr.sin_addr.s_addr == ADDRESS_NONE) {
        WSASetLastError(WSAEADDRNOTAVAIL);
        return false;
    }
    return true;
}

std::string DottedText(const in_addr& address) {
    char szText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, szText, sizeof szText);
    return szText;
}

uint32_t InetAddr(const std::string& strAddress) {
    in_addr address{};
    return ::inet_aton(strAddress.c_str(), &address) != 0 ? address.s_addr : ADDRESS_NONE;
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

std::string GetSourceAddressTo(const std::string& strAddress) {
    sockaddr_in addr{};
    if (!SocketAddressOf(strAddress, 9, false, addr)) {
        return {};
    }
    // A datagram socket's connect only picks the route; nothing goes out.
    const int hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        return {};
    }
    std::string strSource;
    sockaddr_in source{};
    socklen_t nLength = sizeof source;
    if (::connect(hSocket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(hSocket, reinterpret_cast<sockaddr*>(&source), &nLength) == 0) {
        strSource = DottedText(source.sin_addr);
    }
    ::close(hSocket);
    return strSource;
}
