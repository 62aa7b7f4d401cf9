// CTrafficFilter: which captured datagrams the meter counts, and in which
// direction. Rules on the remote address and the remote port decide whether
// a datagram counts; the local address decides its direction.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct AddressRule {
    uint8_t nAllow = 0;              // nonzero: a datagram this rule decides passes
    std::string strPattern;          // four dot-separated parts, each "*" or 0..255
    std::array<int16_t, 4> octets{}; // the parts in order, "*" as -1
};

struct PortRule {
    uint8_t nAllow = 0;
    uint16_t nPort = 0; // 0: any port
};

class CTrafficFilter {
public:
    // How the meter counts a datagram that matches.
    struct Verdict {
        bool bIncoming = false; // addressed to the local address: download
        int32_t nOverhead = 0;  // header bytes: 40 as TCP, 28 otherwise, 0 up to 40 bytes
    };

    // Refuses a malformed pattern and one already in the list.
    bool AddAddressRule(uint8_t nAllow, const std::string& strPattern);
    // Refuses a port that already has a rule.
    bool AddPortRule(uint8_t nAllow, uint16_t nPort);
    void SetLocalAddress(const std::string& strAddress);
    const std::string& GetLocalAddress() const { return m_strLocalAddress; }
    const std::vector<AddressRule>& GetAddressRules() const { return m_addressRules; }
    const std::vector<PortRule>& GetPortRules() const { return m_portRules; }

    // A datagram as the capture hands it over: its first
    // min(nLength, PACKET_HEADER_BYTES) bytes and its true length.
    bool Matches(const char* pPacket, int32_t nLength) const;
    std::optional<Verdict> Classify(const char* pPacket, int32_t nLength) const;

private:
    bool AddressAllowed(uint32_t nRemote) const;
    bool PortAllowed(uint32_t nRemotePort) const;

    std::vector<AddressRule> m_addressRules;
    std::vector<PortRule> m_portRules;
    std::string m_strLocalAddress;
    // The local address as a number when its text is one that a decoded
    // header can show (canonical dotted form); no datagram is incoming otherwise.
    std::optional<uint32_t> m_nLocalAddress;
};
