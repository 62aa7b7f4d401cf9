// The header decoders, and where CPacket finds the IPv4 datagram in a
// captured frame and how long it says the datagram is. Every buffer is
// exactly as long as the bytes captured, so a read beyond them is caught
// under AddressSanitizer.
#include "net/packet.h"
#include "tests/support/datagram.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

TEST(PacketHeaders, IpHeaderFieldsAndAddresses) {
    DatagramSpec spec;
    spec.strSource = "192.168.1.254";
    spec.strDestination = "10.20.30.40";
    spec.nProtocol = IP_PROTOCOL_TCP;
    spec.nLength = 1500;
    spec.nHeaderWords = 6;
    spec.nFragmentOffset = 0x2000 | 185; // "more fragments" flag and offset 185
    const std::vector<char> datagram = BuildDatagram(spec);
    const auto ip = DecodeIpHeader(datagram.data(), IP_HEADER_BYTES);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->nVersion, 4);
    EXPECT_EQ(ip->nHeaderLength, 24);
    EXPECT_EQ(ip->nTotalLength, 1500);
    EXPECT_EQ(ip->nFragmentOffset, 185);
    EXPECT_EQ(ip->nProtocol, IP_PROTOCOL_TCP);
    EXPECT_EQ(ip->nSourceAddress, 0xC0A801FEu);
    EXPECT_EQ(ip->GetSourceText(), "192.168.1.254");
    EXPECT_EQ(ip->GetDestinationText(), "10.20.30.40");
}

TEST(PacketHeaders, TransportPortsAreInHostOrder) {
    DatagramSpec spec;
    spec.nProtocol = IP_PROTOCOL_TCP;
    spec.nSourcePort = 8080;
    spec.nDestinationPort = 65535;
    spec.nTcpReserved = 5;
    const std::vector<char> datagram = BuildDatagram(spec);
    const auto tcp = DecodeTcpHeader(datagram.data() + 20, TCP_HEADER_BYTES);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->nSourcePort, 8080u);
    EXPECT_EQ(tcp->nDestinationPort, 65535u);
    EXPECT_EQ(tcp->nReserved, 5);
    const auto udp = DecodeUdpHeader(datagram.data() + 20, UDP_HEADER_BYTES);
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->nSourcePort, 8080u);
    EXPECT_EQ(udp->nDestinationPort, 65535u);
}

TEST(PacketHeaders, TheAccurateEcnFlagIsNoReservedBit) {
    DatagramSpec spec;
    spec.nProtocol = IP_PROTOCOL_TCP;
    std::vector<char> datagram = BuildDatagram(spec);
    datagram[32] = static_cast<char>(0x51); // data offset 5, AE flag set
    const auto tcp = DecodeTcpHeader(datagram.data() + 20, TCP_HEADER_BYTES);
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->nReserved, 0);
}

TEST(PacketHeaders, TooFewBytesGiveNoRecord) {
    const std::vector<char> bytes(IP_HEADER_BYTES - 1, 0x45);
    EXPECT_FALSE(DecodeIpHeader(bytes.data(), IP_HEADER_BYTES - 1));
    EXPECT_FALSE(DecodeTcpHeader(bytes.data(), TCP_HEADER_BYTES - 1));
    EXPECT_FALSE(DecodeUdpHeader(bytes.data(), UDP_HEADER_BYTES - 1));
    EXPECT_FALSE(DecodeIpHeader(nullptr, 100));
    EXPECT_FALSE(DecodeUdpHeader(nullptr, 100));
}

TEST(PacketHeaders, WhatIsTakenAsTcp) {
    IpHeaderInfo ip;
    ip.nProtocol = IP_PROTOCOL_TCP;
    TcpHeaderInfo tcp;
    EXPECT_TRUE(IsTakenAsTcp(ip, tcp));
    tcp.nReserved = 1;
    EXPECT_FALSE(IsTakenAsTcp(ip, tcp)) << "reserved bits set: not a sound TCP header";
    tcp.nReserved = 0;
    ip.nFragmentOffset = 1;
    EXPECT_FALSE(IsTakenAsTcp(ip, tcp)) << "a later fragment carries payload there";
    ip.nFragmentOffset = 0;
    ip.nProtocol = IP_PROTOCOL_UDP;
    EXPECT_FALSE(IsTakenAsTcp(ip, tcp));
}

TEST(PacketHeaders, AddressTextIsDotted) {
    EXPECT_EQ(AddressText(0), "0.0.0.0");
    EXPECT_EQ(AddressText(0xFFFFFFFF), "255.255.255.255");
    EXPECT_EQ(AddressText(0x7F000001), "127.0.0.1");
}

// A captured frame: link header, then the datagram; nCaptured bytes of it
// are kept, in a buffer of exactly that size.
struct Frame {
    std::vector<unsigned char> bytes;
    uint32_t nWireLength = 0;
};

Frame MakeFrame(const std::vector<unsigned char>& link, const std::vector<char>& datagram,
                size_t nCaptured, uint32_t nWireLength = 0) {
    Frame frame;
    frame.bytes = link;
    frame.bytes.insert(frame.bytes.end(), datagram.begin(), datagram.end());
    frame.nWireLength = nWireLength != 0 ? nWireLength : static_cast<uint32_t>(frame.bytes.size());
    frame.bytes.resize(std::min(nCaptured, frame.bytes.size()));
    frame.bytes.shrink_to_fit();
    return frame;
}

bool Find(CPacket::LinkType linkType, const Frame& frame, CPacket::Datagram& datagram) {
    return CPacket::FindDatagram(linkType, frame.bytes.data(),
                                 static_cast<uint32_t>(frame.bytes.size()), frame.nWireLength,
                                 datagram);
}

std::vector<unsigned char> Ethernet(std::vector<uint16_t> types) {
    std::vector<unsigned char> header(12, 0xAB); // MAC addresses
    for (size_t i = 0; i < types.size(); ++i) {
        header.push_back(static_cast<unsigned char>(types[i] >> 8));
        header.push_back(static_cast<unsigned char>(types[i] & 0xFF));
        if (i + 1 < types.size()) {
            header.push_back(0x00); // tag control: priority 0, VLAN 5
            header.push_back(0x05);
        }
    }
    return header;
}

std::vector<char> Datagram(int32_t nLength) {
    DatagramSpec spec;
    spec.nLength = nLength;
    return BuildDatagram(spec);
}

TEST(FindDatagram, EthernetWithAndWithoutVlanTags) {
    const std::vector<char> datagram = Datagram(100);
    const struct {
        std::vector<uint16_t> types;
        ptrdiff_t nOffset;
    } cases[] = {{{0x0800}, 14},
                 {{0x8100, 0x0800}, 18},
                 {{0x88A8, 0x8100, 0x0800}, 22},
                 {{0x9100, 0x8100, 0x0800}, 22}};
    for (const auto& c : cases) {
        const Frame frame = MakeFrame(Ethernet(c.types), datagram, 1000);
        CPacket::Datagram found;
        ASSERT_TRUE(Find(CPacket::LinkType::Ethernet, frame, found)) << c.nOffset;
        EXPECT_EQ(found.pData - reinterpret_cast<const char*>(frame.bytes.data()), c.nOffset);
        EXPECT_EQ(found.nLength, 100);
        EXPECT_EQ(found.nCaptured, 100);
    }
}

TEST(FindDatagram, OtherEtherTypesHoldNoDatagram) {
    const std::vector<char> datagram = Datagram(100);
    CPacket::Datagram found;
    for (const uint16_t nType : {0x0806, 0x86DD, 0x8100}) { // ARP, IPv6, a tag and nothing after
        const Frame frame = MakeFrame(Ethernet({nType}), datagram, 1000);
        EXPECT_FALSE(Find(CPacket::LinkType::Ethernet, frame, found)) << std::hex << nType;
    }
    std::vector<char> version6 = datagram;
    version6[0] = 0x65;
    EXPECT_FALSE(
        Find(CPacket::LinkType::Ethernet, MakeFrame(Ethernet({0x0800}), version6, 1000), found));
}

TEST(FindDatagram, LinuxCookedLoopbackAndRawFramings) {
    const std::vector<char> datagram = Datagram(60);
    std::vector<unsigned char> cooked(16, 0);
    cooked[14] = 0x08;
    std::vector<unsigned char> cooked2(20, 0);
    cooked2[0] = 0x08;
    const struct {
        CPacket::LinkType linkType;
        std::vector<unsigned char> header;
    } cases[] = {{CPacket::LinkType::LinuxCooked, cooked},
                 {CPacket::LinkType::LinuxCooked2, cooked2},
                 {CPacket::LinkType::BsdLoopback, {2, 0, 0, 0}}, // AF_INET, little-endian host
                 {CPacket::LinkType::BsdLoopback, {0, 0, 0, 2}}, // big-endian host or DLT_LOOP
                 {CPacket::LinkType::RawIp, {}}};
    for (const auto& c : cases) {
        const Frame frame = MakeFrame(c.header, datagram, 1000);
        CPacket::Datagram found;
        ASSERT_TRUE(Find(c.linkType, frame, found)) << c.header.size();
        EXPECT_EQ(found.pData, reinterpret_cast<const char*>(frame.bytes.data() + c.header.size()));
        EXPECT_EQ(found.nLength, 60);
    }
    CPacket::Datagram found;
    EXPECT_FALSE(
        Find(CPacket::LinkType::BsdLoopback, MakeFrame({30, 0, 0, 0}, datagram, 1000), found));
    cooked[14] = 0x86;
    cooked[15] = 0xDD;
    EXPECT_FALSE(Find(CPacket::LinkType::LinuxCooked, MakeFrame(cooked, datagram, 1000), found));
    EXPECT_FALSE(Find(CPacket::LinkType::Unknown, MakeFrame({}, datagram, 1000), found));
}

TEST(FindDatagram, TheTrueLengthComesFromTheTotalLengthOrTheWire) {
    CPacket::Datagram found;
    // A full-size frame captured in part: the datagram's length, not the prefix.
    ASSERT_TRUE(Find(CPacket::LinkType::Ethernet,
                     MakeFrame(Ethernet({0x0800}), Datagram(1500), CPacket::SNAP_LENGTH), found));
    EXPECT_EQ(found.nLength, 1500);
    EXPECT_EQ(found.nCaptured, CPacket::SNAP_LENGTH - 14);

    // A segmentation-offload packet of 64 KB less a little.
    ASSERT_TRUE(Find(CPacket::LinkType::Ethernet,
                     MakeFrame(Ethernet({0x0800}), Datagram(65226), CPacket::SNAP_LENGTH), found));
    EXPECT_EQ(found.nLength, 65226);

    // Above 64 KB the total length field reads 0: only the wire length tells.
    std::vector<char> big = Datagram(100);
    big[2] = big[3] = 0;
    ASSERT_TRUE(Find(CPacket::LinkType::Ethernet,
                     MakeFrame(Ethernet({0x0800}), big, CPacket::SNAP_LENGTH, 14 + 185000), found));
    EXPECT_EQ(found.nLength, 185000);

    // Ethernet pads a short frame to 60 bytes: the padding is not the datagram's.
    std::vector<char> padded = Datagram(28);
    padded.resize(46, 0);
    ASSERT_TRUE(
        Find(CPacket::LinkType::Ethernet, MakeFrame(Ethernet({0x0800}), padded, 1000), found));
    EXPECT_EQ(found.nLength, 28);
    EXPECT_EQ(found.nCaptured, 28);

    // A frame cut short on the wire carried only what it carried.
    std::vector<char> cut = Datagram(1500);
    cut.resize(600);
    ASSERT_TRUE(Find(CPacket::LinkType::Ethernet, MakeFrame(Ethernet({0x0800}), cut, 1000), found));
    EXPECT_EQ(found.nLength, 600);
}

TEST(FindDatagram, AFrameTooShortForAnIpHeaderHoldsNoDatagram) {
    CPacket::Datagram found;
    EXPECT_FALSE(Find(CPacket::LinkType::Ethernet,
                      MakeFrame(Ethernet({0x0800}), Datagram(100), 14 + 19, 114), found));
    EXPECT_FALSE(Find(CPacket::LinkType::Ethernet, MakeFrame(Ethernet({0x0800}), {}, 100), found));
    EXPECT_FALSE(Find(CPacket::LinkType::Ethernet, MakeFrame({0x00, 0x01}, {}, 100), found));
    EXPECT_FALSE(Find(CPacket::LinkType::RawIp, MakeFrame({}, Datagram(100), 19, 100), found));
    // More captured than the wire carried: not a frame the capture gives.
    EXPECT_FALSE(Find(CPacket::LinkType::RawIp, MakeFrame({}, Datagram(100), 100, 50), found));
}

TEST(FindDatagram, ConsumersAlwaysGetTheHeaderBytesTheLengthPromises) {
    // So many VLAN tags that fewer than PACKET_HEADER_BYTES of a long datagram
    // fit in the snap length: the length passed on is what was captured.
    const size_t nTags = (CPacket::SNAP_LENGTH - 14 - IP_HEADER_BYTES) / 4;
    std::vector<uint16_t> types(nTags, 0x8100);
    types.push_back(0x0800);
    const Frame frame = MakeFrame(Ethernet(types), Datagram(1500), CPacket::SNAP_LENGTH);
    CPacket::Datagram found;
    ASSERT_TRUE(Find(CPacket::LinkType::Ethernet, frame, found));
    EXPECT_LT(found.nCaptured, PACKET_HEADER_BYTES);
    EXPECT_EQ(found.nCaptured, CPacket::SNAP_LENGTH - static_cast<int32_t>(14 + nTags * 4));
    EXPECT_EQ(found.nLength, found.nCaptured);

    // The longest link header the snap length is made for leaves every
    // header byte the consumers read.
    std::vector<uint16_t> twelve(12, 0x8100);
    twelve.push_back(0x0800);
    ASSERT_TRUE(Find(CPacket::LinkType::Ethernet,
                     MakeFrame(Ethernet(twelve), Datagram(1500), CPacket::SNAP_LENGTH), found));
    EXPECT_EQ(found.nLength, 1500);
    EXPECT_GE(found.nCaptured, PACKET_HEADER_BYTES);
}

} // namespace
