// ICMP echo on Linux: a raw socket filtered to echo replies, with the
// kernel's arrival stamps.
#include "net/icmp_echo.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint8_t ECHO_REPLY = 0;
constexpr uint8_t ECHO_REQUEST = 8;
constexpr size_t ECHO_BYTES = 8 + 16; // the header and a little payload

uint16_t Checksum(const unsigned char* p, size_t nLength) {
    uint32_t nSum = 0;
    for (size_t i = 0; i + 1 < nLength; i += 2)
        nSum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (nLength % 2 != 0)
        nSum += static_cast<uint32_t>(p[nLength - 1] << 8);
    while (nSum >> 16)
        nSum = (nSum & 0xFFFF) + (nSum >> 16);
    return static_cast<uint16_t>(~nSum);
}

} // namespace

SOCKET OpenIcmpSocket() {
    const int hSocket = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (hSocket < 0) {
        SetLastErrorFromErrno(errno);
        return INVALID_SOCKET;
    }
    // Every other ICMP message the machine receives stays out.
    icmp_filter filter{};
    filter.data = ~(1u << ECHO_REPLY);
    ::setsockopt(hSocket, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    const int nOn = 1;
    ::setsockopt(hSocket, SOL_SOCKET, SO_TIMESTAMPNS, &nOn, sizeof nOn);
    return hSocket;
}

uint16_t NewIcmpEchoId() {
    static std::atomic<uint16_t> s_nNext{0};
    return static_cast<uint16_t>(static_cast<uint32_t>(::getpid()) * 16 + s_nNext++);
}

void CloseIcmpSocket(SOCKET hSocket) {
    if (hSocket != INVALID_SOCKET)
        ::close(hSocket);
}

bool SendIcmpEcho(SOCKET hSocket, uint32_t nAddress, uint16_t nId, uint16_t nSequence) {
    unsigned char packet[ECHO_BYTES] = {};
    packet[0] = ECHO_REQUEST;
    packet[4] = static_cast<unsigned char>(nId >> 8);
    packet[5] = static_cast<unsigned char>(nId);
    packet[6] = static_cast<unsigned char>(nSequence >> 8);
    packet[7] = static_cast<unsigned char>(nSequence);
    for (size_t i = 8; i < ECHO_BYTES; ++i)
        packet[i] = static_cast<unsigned char>(i);
    const uint16_t nChecksum = Checksum(packet, sizeof packet);
    packet[2] = static_cast<unsigned char>(nChecksum >> 8);
    packet[3] = static_cast<unsigned char>(nChecksum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = nAddress;
    if (::sendto(hSocket, packet, sizeof packet, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

int ReceiveIcmpEcho(SOCKET hSocket, int nTimeoutMs, SIcmpReply& reply) {
    pollfd wait{hSocket, POLLIN, 0};
    const int nReady = ::poll(&wait, 1, nTimeoutMs);
    if (nReady <= 0) {
        if (nReady < 0 && errno != EINTR) {
            SetLastErrorFromErrno(errno);
            return -1;
        }
        return 0;
    }
    unsigned char buffer[1500];
    sockaddr_in from{};
    iovec vector{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    CStampClock stamps;
    stamps.Sync();
    const ssize_t nRead = ::recvmsg(hSocket, &message, MSG_DONTWAIT);
    if (nRead < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        SetLastErrorFromErrno(errno);
        return -1;
    }
    // The raw socket hands the IP header too.
    const auto nLength = static_cast<size_t>(nRead);
    if (nLength < 20)
        return 0;
    const size_t nHeader = static_cast<size_t>(buffer[0] & 0x0F) * 4;
    if (nHeader < 20 || nLength < nHeader + 8 || buffer[nHeader] != ECHO_REPLY)
        return 0;
    const unsigned char* pIcmp = buffer + nHeader;
    reply.nFrom = from.sin_addr.s_addr;
    reply.nId = static_cast<uint16_t>(pIcmp[4] << 8 | pIcmp[5]);
    reply.nSequence = static_cast<uint16_t>(pIcmp[6] << 8 | pIcmp[7]);
    reply.arrival = stamps.Synced();
    for (cmsghdr* pHeader = CMSG_FIRSTHDR(&message); pHeader != nullptr;
         pHeader = CMSG_NXTHDR(&message, pHeader)) {
        if (pHeader->cmsg_level == SOL_SOCKET && pHeader->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(pHeader), sizeof stamp);
            reply.arrival = stamps.ToSteady(stamp.tv_sec, stamp.tv_nsec);
        }
    }
    return 1;
}
