#include "net/traffic_filter.h"

#include "net/packet_headers.h"

#include <algorithm>

namespace {

// One part of an address pattern: "*" gives -1; one to three digits give
// their value up to 255; anything else fails.
bool ParsePatternPart(const std::string& strPart, int16_t& nOctet) {
    if (strPart == "*") {
        nOctet = -1;
        return true;
    }
    if (strPart.empty() || strPart.size() > 3 ||
        !std::all_of(strPart.begin(), strPart.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const int nValue = std::stoi(strPart);
    if (nValue > 255) {
        return false;
    }
    nOctet = static_cast<int16_t>(nValue);
    return true;
}

std::optional<std::array<int16_t, 4>> ParsePattern(const std::string& strPattern) {
    std::array<int16_t, 4> octets{};
    size_t nStart = 0;
    for (size_t i = 0; i < octets.size(); ++i) {
        const size_t nDot = strPattern.find('.', nStart);
        const bool bLast = i + 1 == octets.size();
        if (bLast != (nDot == std::string::npos)) {
            return std::nullopt; // three parts, or five and more
        }
        const size_t nEnd = bLast ? strPattern.size() : nDot;
        if (!ParsePatternPart(strPattern.substr(nStart, nEnd - nStart), octets[i])) {
            return std::nullopt;
        }
        nStart = nEnd + 1;
    }
    return octets;
}

// The value of canonical dotted text, the only form a decoded header shows.
std::optional<uint32_t> CanonicalAddress(const std::string& strAddress) {
    const auto octets = ParsePattern(strAddress);
    if (!octets) {
        return std::nullopt;
    }
    uint32_t nAddress = 0;
    for (const int16_t nOctet : *octets) {
        if (nOctet < 0) {
            return std::nullopt;
        }
        nAddress = (nAddress << 8) | static_cast<uint32_t>(nOctet);
    }
    if (AddressText(nAddress) != strAddress) {
        return std::nullopt; // "010.0.0.1" names the address, but no header reads so
    }
    return nAddress;
}

} // namespace

bool CTrafficFilter::AddAddressRule(uint8_t nAllow, const std::string& strPattern) {
    const auto octets = ParsePattern(strPattern);
    if (!octets ||
        std::any_of(m_addressRules.begin(), m_addressRules.end(),
                    [&](const AddressRule& rule) { return rule.strPattern == strPattern; })) {
        return false;
    }
    m_addressRules.push_back({nAllow, strPattern, *octets});
    return true;
}

bool CTrafficFilter::AddPortRule(uint8_t nAllow, uint16_t nPort) {
    if (std::any_of(m_portRules.begin(), m_portRules.end(),
                    [&](const PortRule& rule) { return rule.nPort == nPort; })) {
        return false;
    }
    m_portRules.push_back({nAllow, nPort});
    return true;
}

void CTrafficFilter::SetLocalAddress(const std::string& strAddress) {
    m_strLocalAddress = strAddress;
    m_nLocalAddress = CanonicalAddress(strAddress);
}

bool CTrafficFilter::AddressAllowed(uint32_t nRemote) const {
    // All-wildcard rules set the fallback (the last one wins); the first rule
    // whose every fixed part matches decides.
    uint8_t nResult = 0;
    for (const AddressRule& rule : m_addressRules) {
        int nWild = 0;
        int nSame = 0;
        for (size_t i = 0; i < rule.octets.size(); ++i) {
            const auto nOctet = static_cast<int16_t>((nRemote >> (24 - 8 * i)) & 0xFF);
            if (rule.octets[i] < 0) {
                ++nWild;
            } else if (rule.octets[i] == nOctet) {
                ++nSame;
            }
        }
        if (nWild == 4) {
            nResult = rule.nAllow;
            continue;
        }
        if (nWild > 0 && nSame > 0) {
            nSame += nWild;
        }
        if (nSame == 4) {
            nResult = rule.nAllow;
            break;
        }
    }
    return nResult != 0;
}

bool CTrafficFilter::PortAllowed(uint32_t nRemotePort) const {
    uint8_t nResult = 0;
    for (const PortRule& rule : m_portRules) {
        if (rule.nPort == 0) {
            nResult = rule.nAllow;
        } else if (rule.nPort == nRemotePort) {
            return rule.nAllow != 0;
        }
    }
    return nResult != 0;
}

bool CTrafficFilter::Matches(const char* pPacket, int32_t nLength) const {
    return Classify(pPacket, nLength).has_value();
}

std::optional<CTrafficFilter::Verdict> CTrafficFilter::Classify(const char* pPacket,
                                                                int32_t nLength) const {
    constexpr int32_t TCP_DATAGRAM = IP_HEADER_BYTES + TCP_HEADER_BYTES; // 40
    constexpr int32_t UDP_DATAGRAM = IP_HEADER_BYTES + UDP_HEADER_BYTES; // 28
    if (nLength <= IP_HEADER_BYTES) {
        return std::nullopt;
    }
    const int32_t nAvailable = std::min(nLength, PACKET_HEADER_BYTES);
    const auto ip = DecodeIpHeader(pPacket, nAvailable);
    if (!ip) {
        return std::nullopt;
    }
    Verdict verdict;
    verdict.bIncoming = m_nLocalAddress && ip->nDestinationAddress == *m_nLocalAddress;
    if (!AddressAllowed(verdict.bIncoming ? ip->nSourceAddress : ip->nDestinationAddress)) {
        return std::nullopt;
    }

    // The transport header is taken to follow a 20-byte IPv4 header. Its TCP
    // reading is made only where the IP header allows it to be taken as TCP:
    // on the capture's hot path a UDP datagram's byte 32 would cost a cache
    // line of its own.
    const char* pTransport = pPacket + IP_HEADER_BYTES;
    const int32_t nTransport = nAvailable - IP_HEADER_BYTES;
    uint32_t nSourcePort = 0;
    uint32_t nDestinationPort = 0;
    std::optional<TcpHeaderInfo> tcp;
    if (nLength > TCP_DATAGRAM && ip->nProtocol == IP_PROTOCOL_TCP && ip->nFragmentOffset == 0) {
        tcp = DecodeTcpHeader(pTransport, nTransport);
    }
    if (tcp && IsTakenAsTcp(*ip, *tcp)) {
        nSourcePort = tcp->nSourcePort;
        nDestinationPort = tcp->nDestinationPort;
        verdict.nOverhead = TCP_DATAGRAM;
    } else {
        const auto udp =
            nLength > UDP_DATAGRAM ? DecodeUdpHeader(pTransport, nTransport) : std::nullopt;
        if (!udp) {
            return std::nullopt;
        }
        nSourcePort = udp->nSourcePort;
        nDestinationPort = udp->nDestinationPort;
        // Beyond 40 bytes the transport header is always there to read.
        verdict.nOverhead = nLength > TCP_DATAGRAM ? UDP_DATAGRAM : 0;
    }
    if (!PortAllowed(verdict.bIncoming ? nSourcePort : nDestinationPort)) {
        return std::nullopt;
    }
    return verdict;
}
