#include "net/packet_headers.h"

#include <cstdio>

namespace {

uint32_t Read32(const char* p) {
    return (static_cast<uint32_t>(ReadBigEndian16(p)) << 16) | ReadBigEndian16(p + 2);
}

} // namespace

uint16_t ReadBigEndian16(const void* p) {
    const auto* b = static_cast<const unsigned char*>(p);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

std::string AddressText(uint32_t nAddress) {
    char szText[24];
    std::snprintf(szText, sizeof szText, "%u.%u.%u.%u", (nAddress >> 24) & 0xFF,
                  (nAddress >> 16) & 0xFF, (nAddress >> 8) & 0xFF, nAddress & 0xFF);
    return szText;
}

std::string IpHeaderInfo::GetSourceText() const {
    return AddressText(nSourceAddress);
}

std::string IpHeaderInfo::GetDestinationText() const {
    return AddressText(nDestinationAddress);
}

std::optional<IpHeaderInfo> DecodeIpHeader(const char* pHeader, int32_t nAvailable) {
    if (pHeader == nullptr || nAvailable < IP_HEADER_BYTES) {
        return std::nullopt;
    }
    const auto nFirst = static_cast<unsigned char>(pHeader[0]);
    IpHeaderInfo info;
    info.nVersion = static_cast<uint8_t>(nFirst >> 4);
    info.nHeaderLength = static_cast<uint8_t>((nFirst & 0x0F) * 4);
    info.nTotalLength = ReadBigEndian16(pHeader + 2);
    info.nFragmentOffset = static_cast<uint16_t>(ReadBigEndian16(pHeader + 6) & 0x1FFF);
    info.nProtocol = static_cast<uint8_t>(pHeader[9]);
    info.nSourceAddress = Read32(pHeader + 12);
    info.nDestinationAddress = Read32(pHeader + 16);
    return info;
}

std::optional<TcpHeaderInfo> DecodeTcpHeader(const char* pHeader, int32_t nAvailable) {
    if (pHeader == nullptr || nAvailable < TCP_HEADER_BYTES) {
        return std::nullopt;
    }
    TcpHeaderInfo info;
    info.nSourcePort = ReadBigEndian16(pHeader);
    info.nDestinationPort = ReadBigEndian16(pHeader + 2);
    info.nReserved = static_cast<uint8_t>((static_cast<unsigned char>(pHeader[12]) >> 1) & 0x07);
    return info;
}

std::optional<UdpHeaderInfo> DecodeUdpHeader(const char* pHeader, int32_t nAvailable) {
    if (pHeader == nullptr || nAvailable < UDP_HEADER_BYTES) {
        return std::nullopt;
    }
    UdpHeaderInfo info;
    info.nSourcePort = ReadBigEndian16(pHeader);
    info.nDestinationPort = ReadBigEndian16(pHeader + 2);
    return info;
}

bool IsTakenAsTcp(const IpHeaderInfo& ip, const TcpHeaderInfo& tcp) {
    return ip.nProtocol == IP_PROTOCOL_TCP && ip.nFragmentOffset == 0 && tcp.nReserved == 0;
}
