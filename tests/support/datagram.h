// Builds IPv4 datagrams byte by byte, as the capture would hand them over,
// for the tests of the header decoders, the traffic filter and the meter.
#pragma once

#include "net/packet_headers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct DatagramSpec {
    std::string strSource = "10.0.0.1";
    std::string strDestination = "10.0.0.2";
    uint8_t nProtocol = IP_PROTOCOL_UDP;
    uint16_t nSourcePort = 1000;
    uint16_t nDestinationPort = 2000;
    int32_t nLength = 100;        // the datagram's length, and the IP total length
    uint8_t nHeaderWords = 5;     // IHL; option words are filled with NOP (1)
    uint16_t nFragmentOffset = 0; // in 8-byte units
    uint8_t nTcpReserved = 0;     // TCP byte 12, bits 1-3
};

// The whole datagram, nLength bytes (its headers cut short when it is
// shorter than they are). The transport header starts after the real IP
// header, options included.
inline std::vector<char> BuildDatagram(const DatagramSpec& spec) {
    const size_t nIpHeader = spec.nHeaderWords * 4u;
    std::vector<unsigned char> bytes(
        std::max<size_t>(nIpHeader + 20, static_cast<size_t>(spec.nLength)), 0);
    bytes[0] = static_cast<unsigned char>(0x40 | spec.nHeaderWords);
    bytes[2] = static_cast<unsigned char>(spec.nLength >> 8);
    bytes[3] = static_cast<unsigned char>(spec.nLength & 0xFF);
    bytes[6] = static_cast<unsigned char>(spec.nFragmentOffset >> 8);
    bytes[7] = static_cast<unsigned char>(spec.nFragmentOffset & 0xFF);
    bytes[8] = 64;
    bytes[9] = spec.nProtocol;
    inet_pton(AF_INET, spec.strSource.c_str(), &bytes[12]);
    inet_pton(AF_INET, spec.strDestination.c_str(), &bytes[16]);
    for (size_t i = 20; i < nIpHeader; ++i) {
        bytes[i] = 1;
    }
    unsigned char* pTransport = &bytes[nIpHeader];
    pTransport[0] = static_cast<unsigned char>(spec.nSourcePort >> 8);
    pTransport[1] = static_cast<unsigned char>(spec.nSourcePort & 0xFF);
    pTransport[2] = static_cast<unsigned char>(spec.nDestinationPort >> 8);
    pTransport[3] = static_cast<unsigned char>(spec.nDestinationPort & 0xFF);
    if (spec.nProtocol == IP_PROTOCOL_TCP) {
        pTransport[12] = static_cast<unsigned char>(0x50 | (spec.nTcpReserved << 1));
    } else {
        const int32_t nUdpLength = spec.nLength - static_cast<int32_t>(nIpHeader);
        pTransport[4] = static_cast<unsigned char>((nUdpLength >> 8) & 0xFF);
        pTransport[5] = static_cast<unsigned char>(nUdpLength & 0xFF);
    }
    bytes.resize(static_cast<size_t>(spec.nLength));
    return {bytes.begin(), bytes.end()};
}

} // namespace testing_support
