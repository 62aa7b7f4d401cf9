// Decoders for the IPv4, TCP and UDP headers of a captured datagram. Each
// reads only the bytes it is given: too few bytes give no record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The first bytes of every datagram that the capture hands over: its buffer
// holds at least the first min(length, PACKET_HEADER_BYTES) bytes, enough for
// an IPv4 header with every option and a transport header's ports.
constexpr int32_t PACKET_HEADER_BYTES = 64;

constexpr int32_t IP_HEADER_BYTES = 20;
constexpr int32_t TCP_HEADER_BYTES = 20;
constexpr int32_t UDP_HEADER_BYTES = 8;
constexpr uint8_t IP_PROTOCOL_TCP = 6;
constexpr uint8_t IP_PROTOCOL_UDP = 17;

struct IpHeaderInfo {
    uint8_t nVersion = 0;
    uint8_t nHeaderLength = 0;    // in bytes, from the header length field
    uint16_t nTotalLength = 0;    // 0 in a segmentation-offload packet above 64 KB
    uint16_t nFragmentOffset = 0; // in 8-byte units; nonzero in a later fragment
    uint8_t nProtocol = 0;
    uint32_t nSourceAddress = 0; // host order
    uint32_t nDestinationAddress = 0;

    std::string GetSourceText() const;
    std::string GetDestinationText() const;
};

struct TcpHeaderInfo {
    uint32_t nSourcePort = 0; // host order
    uint32_t nDestinationPort = 0;
    uint8_t nReserved = 0; // the three reserved bits of byte 12, always 0 from a sound stack
};

struct UdpHeaderInfo {
    uint32_t nSourcePort = 0;
    uint32_t nDestinationPort = 0;
};

// Each takes the first byte of its header and the bytes captured from there.
std::optional<IpHeaderInfo> DecodeIpHeader(const char* pHeader, int32_t nAvailable);
std::optional<TcpHeaderInfo> DecodeTcpHeader(const char* pHeader, int32_t nAvailable);
std::optional<UdpHeaderInfo> DecodeUdpHeader(const char* pHeader, int32_t nAvailable);

// The big-endian 16-bit number at p, as headers carry it.
uint16_t ReadBigEndian16(const void* p);

// Dotted text of a host-order IPv4 address.
std::string AddressText(uint32_t nAddress);

// Whether the 20 bytes after a 20-byte IPv4 header are taken as a TCP header:
// the protocol field says TCP and the datagram is not a later fragment (whose
// bytes there would be payload), and the reserved bits are clear.
bool IsTakenAsTcp(const IpHeaderInfo& ip, const TcpHeaderInfo& tcp);
