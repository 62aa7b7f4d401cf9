// The platform-independent part of CPacket: error texts, counts, and finding
// the IPv4 datagram in a captured frame.
#include "net/packet.h"

#include "net/socket.h"

#include <algorithm>

namespace {

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr int32_t ETHERNET_HEADER = 14;
constexpr int32_t VLAN_TAG = 4;
constexpr int32_t LINUX_COOKED_HEADER = 16;
constexpr int32_t LINUX_COOKED2_HEADER = 20;
constexpr int32_t BSD_LOOPBACK_HEADER = 4;
// AF_INET as BSD loopback headers give it, in either byte order.
constexpr uint32_t BSD_AF_INET = 2;
constexpr uint32_t BSD_AF_INET_SWAPPED = 0x02000000;

bool IsVlanType(uint16_t nType) {
    return nType == 0x8100 || nType == 0x88A8 || nType == 0x9100;
}

// Bytes before the IPv4 header, or -1 when the frame holds no IPv4 datagram.
int32_t LinkHeaderLength(CPacket::LinkType linkType, const unsigned char* pFrame,
                         uint32_t nCaptured) {
    switch (linkType) {
    case CPacket::LinkType::Ethernet: {
        int32_t nOffset = ETHERNET_HEADER - 2; // the EtherType
        while (static_cast<uint32_t>(nOffset) + 2 <= nCaptured &&
               IsVlanType(ReadBigEndian16(pFrame + nOffset))) {
            nOffset += VLAN_TAG;
        }
        if (static_cast<uint32_t>(nOffset) + 2 > nCaptured ||
            ReadBigEndian16(pFrame + nOffset) != ETHERTYPE_IPV4) {
            return -1;
        }
        return nOffset + 2;
    }
    case CPacket::LinkType::LinuxCooked:
        return nCaptured >= LINUX_COOKED_HEADER && ReadBigEndian16(pFrame + 14) == ETHERTYPE_IPV4
                   ? LINUX_COOKED_HEADER
                   : -1;
    case CPacket::LinkType::LinuxCooked2:
        return nCaptured >= LINUX_COOKED2_HEADER && ReadBigEndian16(pFrame) == ETHERTYPE_IPV4
                   ? LINUX_COOKED2_HEADER
                   : -1;
    case CPacket::LinkType::BsdLoopback: {
        if (nCaptured < BSD_LOOPBACK_HEADER) {
            return -1;
        }
        const uint32_t nFamily =
            (static_cast<uint32_t>(ReadBigEndian16(pFrame)) << 16) | ReadBigEndian16(pFrame + 2);
        return nFamily == BSD_AF_INET || nFamily == BSD_AF_INET_SWAPPED ? BSD_LOOPBACK_HEADER : -1;
    }
    case CPacket::LinkType::RawIp:
        return 0;
    case CPacket::LinkType::Unknown:
        break;
    }
    return -1;
}

} // namespace

CPacket::CPacket(PFNCAPTURE pfnCapture) : m_pfnCapture(pfnCapture) {}

CPacket::~CPacket() {
    Close();
    Join();
}

std::shared_ptr<CPacket::Capture> CPacket::GetCapture() const {
    std::lock_guard lock(m_mtxCapture);
    return m_pCapture;
}

void CPacket::SetError(int nWinsockCode) {
    WSASetLastError(nWinsockCode);
    std::lock_guard lock(m_mtxCapture);
    m_strError = GetWinsockErrorText();
}

std::string CPacket::GetErrorText() const {
    std::lock_guard lock(m_mtxCapture);
    return m_strError;
}

CPacket::Stats CPacket::GetStats() const {
    return {m_nReceived.load(), m_nDropped.load()};
}

bool CPacket::FindDatagram(LinkType linkType, const unsigned char* pFrame, uint32_t nCaptured,
                           uint32_t nWireLength, Datagram& datagram) {
    const int32_t nLink = LinkHeaderLength(linkType, pFrame, nCaptured);
    if (nLink < 0 || nCaptured < static_cast<uint32_t>(nLink) + IP_HEADER_BYTES ||
        nWireLength < nCaptured) {
        return false;
    }
    const char* pIp = reinterpret_cast<const char*>(pFrame + nLink);
    const auto nCapturedIp = static_cast<int32_t>(nCaptured - static_cast<uint32_t>(nLink));
    const auto ip = DecodeIpHeader(pIp, nCapturedIp);
    if (!ip || ip->nVersion != 4) {
        return false;
    }
    // The link carried the wire length less the link header. The IP total
    // length is less when the frame was padded to the link's minimum; it is 0
    // in a segmentation-offload packet above 64 KB, where only the wire length
    // tells.
    const auto nOnLink = static_cast<int32_t>(
        std::min<uint32_t>(nWireLength - static_cast<uint32_t>(nLink), INT32_MAX));
    int32_t nLength = nOnLink;
    if (ip->nTotalLength != 0) {
        nLength = std::min<int32_t>(ip->nTotalLength, nOnLink);
    }
    datagram.pData = pIp;
    datagram.nCaptured = std::min(nCapturedIp, nLength);
    // The consumers' guarantee: the first min(length, PACKET_HEADER_BYTES)
    // bytes are there. Only a link header longer than the snap length allows
    // for breaks it; such a datagram is passed with what was captured.
    datagram.nLength =
        datagram.nCaptured < std::min(nLength, PACKET_HEADER_BYTES) ? datagram.nCaptured : nLength;
    return true;
}

void CPacket::OnFrame(LinkType linkType, const unsigned char* pFrame, uint32_t nCaptured,
                      uint32_t nWireLength, Clock::time_point stamp) {
    Datagram datagram;
    if (m_pfnCapture != nullptr &&
        FindDatagram(linkType, pFrame, nCaptured, nWireLength, datagram)) {
        m_pfnCapture(datagram.pData, datagram.nLength, stamp);
    }
}
