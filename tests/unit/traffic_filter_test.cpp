// CTrafficFilter on built datagrams: pattern checks, the walks of address and
// port rules, the length thresholds and the direction.
#include "net/traffic_filter.h"
#include "tests/support/datagram.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

constexpr const char* kLocal = "10.0.0.2";

bool Matches(const CTrafficFilter& filter, const DatagramSpec& spec) {
    const std::vector<char> datagram = BuildDatagram(spec);
    return filter.Matches(datagram.data(), spec.nLength);
}

// A datagram from the local address to the remote one, or the other way.
DatagramSpec Between(const std::string& strRemote, bool bIncoming, uint16_t nRemotePort = 2000) {
    DatagramSpec spec;
    spec.strSource = bIncoming ? strRemote : kLocal;
    spec.strDestination = bIncoming ? kLocal : strRemote;
    spec.nSourcePort = bIncoming ? nRemotePort : 1000;
    spec.nDestinationPort = bIncoming ? 1000 : nRemotePort;
    return spec;
}

CTrafficFilter FilterWith(std::initializer_list<std::pair<uint8_t, const char*>> addressRules,
                          std::initializer_list<std::pair<uint8_t, uint16_t>> portRules = {
                              {1, 0}}) {
    CTrafficFilter filter;
    for (const auto& [nAllow, pszPattern] : addressRules) {
        EXPECT_TRUE(filter.AddAddressRule(nAllow, pszPattern)) << pszPattern;
    }
    for (const auto& [nAllow, nPort] : portRules) {
        EXPECT_TRUE(filter.AddPortRule(nAllow, nPort)) << nPort;
    }
    filter.SetLocalAddress(kLocal);
    return filter;
}

TEST(TrafficFilter, AddressPatternsThatAreRefused) {
    CTrafficFilter filter;
    for (const char* pszPattern :
         {"1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.0001", "1.2.3.a", "1.2.3.-1", "1.2.3.**",
          "1.2.3.", ".1.2.3", "1..2.3", "", "*", "1.2.3.4 ", " 1.2.3.4", "1.2.3.+4"}) {
        EXPECT_FALSE(filter.AddAddressRule(1, pszPattern)) << '"' << pszPattern << '"';
    }
    EXPECT_TRUE(filter.GetAddressRules().empty());

    EXPECT_TRUE(filter.AddAddressRule(1, "*.*.*.*"));
    EXPECT_FALSE(filter.AddAddressRule(0, "*.*.*.*")) << "the same pattern twice";
    EXPECT_EQ(filter.GetAddressRules().size(), 1u);
}

TEST(TrafficFilter, AcceptedPatternsKeepTheirTextAndOctets) {
    CTrafficFilter filter;
    EXPECT_TRUE(filter.AddAddressRule(1, "255.0.007.*"));
    EXPECT_TRUE(filter.AddAddressRule(0, "10.*.*.*"));
    ASSERT_EQ(filter.GetAddressRules().size(), 2u);
    const AddressRule& rule = filter.GetAddressRules()[0];
    EXPECT_EQ(rule.nAllow, 1);
    EXPECT_EQ(rule.strPattern, "255.0.007.*");
    EXPECT_EQ(rule.octets, (std::array<int16_t, 4>{255, 0, 7, -1}));
    EXPECT_EQ(filter.GetAddressRules()[1].octets, (std::array<int16_t, 4>{10, -1, -1, -1}));
}

TEST(TrafficFilter, APortIsRefusedASecondRule) {
    CTrafficFilter filter;
    EXPECT_TRUE(filter.AddPortRule(1, 0));
    EXPECT_TRUE(filter.AddPortRule(0, 80));
    EXPECT_FALSE(filter.AddPortRule(1, 80));
    EXPECT_FALSE(filter.AddPortRule(0, 0));
    ASSERT_EQ(filter.GetPortRules().size(), 2u);
    EXPECT_EQ(filter.GetPortRules()[1].nAllow, 0);
    EXPECT_EQ(filter.GetPortRules()[1].nPort, 80);
}

TEST(TrafficFilter, ARuleFixingTheFirstOctetDecidesWhereverItStands) {
    for (const auto& filter : {FilterWith({{0, "*.*.*.*"}, {1, "10.*.*.*"}}),
                               FilterWith({{1, "10.*.*.*"}, {0, "*.*.*.*"}})}) {
        EXPECT_TRUE(Matches(filter, Between("10.9.8.7", false)));
        EXPECT_TRUE(Matches(filter, Between("10.9.8.7", true)));
        EXPECT_FALSE(Matches(filter, Between("11.9.8.7", false))) << "the wildcard rule decides";
    }
    // Without an all-wildcard rule nothing else matches.
    const CTrafficFilter only10 = FilterWith({{1, "10.*.*.*"}});
    EXPECT_TRUE(Matches(only10, Between("10.1.1.1", false)));
    EXPECT_FALSE(Matches(only10, Between("11.1.1.1", false)));
    EXPECT_FALSE(Matches(FilterWith({}), Between("10.1.1.1", false))) << "no rules";
}

TEST(TrafficFilter, AnEarlierSpecificRuleDecidesFirst) {
    const CTrafficFilter filter = FilterWith({{0, "10.1.*.*"}, {1, "10.*.*.*"}, {1, "*.*.*.*"}});
    EXPECT_FALSE(Matches(filter, Between("10.1.5.5", false)));
    EXPECT_TRUE(Matches(filter, Between("10.2.5.5", false)));
    EXPECT_TRUE(Matches(filter, Between("99.1.5.5", false)));
}

TEST(TrafficFilter, EveryFixedOctetMustMatch) {
    const CTrafficFilter filter = FilterWith({{1, "10.*.*.5"}, {1, "192.168.1.7"}});
    EXPECT_TRUE(Matches(filter, Between("10.9.9.5", false)));
    EXPECT_FALSE(Matches(filter, Between("10.9.9.6", false)));
    EXPECT_FALSE(Matches(filter, Between("11.9.9.5", false)));
    EXPECT_TRUE(Matches(filter, Between("192.168.1.7", false)));
    EXPECT_FALSE(Matches(filter, Between("192.168.1.8", false)));
}

TEST(TrafficFilter, TheRemoteAddressIsTheSourceOfAnIncomingDatagram) {
    const CTrafficFilter filter = FilterWith({{1, "10.0.0.9"}});
    EXPECT_TRUE(Matches(filter, Between("10.0.0.9", true)));
    EXPECT_TRUE(Matches(filter, Between("10.0.0.9", false)));
    DatagramSpec incomingFromElsewhere = Between("10.0.0.8", true);
    EXPECT_FALSE(Matches(filter, incomingFromElsewhere));
    // Neither from nor to the local address: outgoing, judged by its destination.
    DatagramSpec passing;
    passing.strSource = "10.0.0.9";
    passing.strDestination = "10.0.0.77";
    EXPECT_FALSE(Matches(filter, passing));
    passing.strDestination = "10.0.0.9";
    EXPECT_TRUE(Matches(filter, passing));
}

TEST(TrafficFilter, PortRulesAnyPortSetsTheFallbackAndAnEqualPortDecides) {
    const CTrafficFilter only80 = FilterWith({{1, "*.*.*.*"}}, {{0, 0}, {1, 80}});
    EXPECT_TRUE(Matches(only80, Between("10.0.0.9", false, 80)));
    EXPECT_TRUE(Matches(only80, Between("10.0.0.9", true, 80)));
    EXPECT_FALSE(Matches(only80, Between("10.0.0.9", false, 81)));

    const CTrafficFilter all22 = FilterWith({{1, "*.*.*.*"}}, {{1, 0}, {0, 22}});
    EXPECT_FALSE(Matches(all22, Between("10.0.0.9", false, 22)));
    EXPECT_TRUE(Matches(all22, Between("10.0.0.9", false, 23)));

    // An equal port decides at once, before a later any-port rule.
    const CTrafficFilter first = FilterWith({{1, "*.*.*.*"}}, {{1, 443}, {0, 0}});
    EXPECT_TRUE(Matches(first, Between("10.0.0.9", false, 443)));
    EXPECT_FALSE(Matches(first, Between("10.0.0.9", false, 444)));
    EXPECT_FALSE(Matches(FilterWith({{1, "*.*.*.*"}}, {}), Between("10.0.0.9", false)));
}

TEST(TrafficFilter, LengthThresholdsAndOverhead) {
    const CTrafficFilter filter = FilterWith({{1, "*.*.*.*"}});
    for (const int32_t nLength : {-1, 0, 20, 21, 28}) {
        DatagramSpec spec = Between("10.0.0.9", false);
        spec.nLength = std::max(nLength, 0);
        const std::vector<char> datagram = BuildDatagram(spec);
        EXPECT_FALSE(filter.Classify(datagram.data(), nLength)) << nLength;
    }
    for (const int32_t nLength : {29, 40}) {
        for (const uint8_t nProtocol : {IP_PROTOCOL_TCP, IP_PROTOCOL_UDP}) {
            DatagramSpec spec = Between("10.0.0.9", false);
            spec.nLength = nLength;
            spec.nProtocol = nProtocol;
            const std::vector<char> datagram = BuildDatagram(spec);
            const auto verdict = filter.Classify(datagram.data(), nLength);
            ASSERT_TRUE(verdict) << nLength;
            EXPECT_EQ(verdict->nOverhead, 0) << nLength;
        }
    }
    DatagramSpec spec = Between("10.0.0.9", true);
    spec.nLength = 41;
    spec.nProtocol = IP_PROTOCOL_TCP;
    std::vector<char> datagram = BuildDatagram(spec);
    auto verdict = filter.Classify(datagram.data(), 41);
    ASSERT_TRUE(verdict);
    EXPECT_TRUE(verdict->bIncoming);
    EXPECT_EQ(verdict->nOverhead, 40);
    spec.nProtocol = IP_PROTOCOL_UDP;
    datagram = BuildDatagram(spec);
    verdict = filter.Classify(datagram.data(), 41);
    ASSERT_TRUE(verdict);
    EXPECT_EQ(verdict->nOverhead, 28);
}

TEST(TrafficFilter, OnlyTheFirstFragmentOfATcpDatagramIsTakenAsTcp) {
    const CTrafficFilter filter = FilterWith({{1, "*.*.*.*"}});
    DatagramSpec spec = Between("10.0.0.9", false);
    spec.nProtocol = IP_PROTOCOL_TCP;
    spec.nLength = 1500;
    spec.nFragmentOffset = 0x2000; // more fragments follow; this is the first
    std::vector<char> datagram = BuildDatagram(spec);
    EXPECT_EQ(filter.Classify(datagram.data(), spec.nLength)->nOverhead, 40);
    spec.nFragmentOffset = 185;
    datagram = BuildDatagram(spec);
    EXPECT_EQ(filter.Classify(datagram.data(), spec.nLength)->nOverhead, 28);
}

TEST(TrafficFilter, OnlyTheProtocolAndSoundReservedBitsMakeTcp) {
    const CTrafficFilter filter = FilterWith({{1, "*.*.*.*"}}, {{1, 80}});
    DatagramSpec spec = Between("10.0.0.9", false, 80);
    spec.nLength = 1000;
    spec.nProtocol = IP_PROTOCOL_TCP;
    spec.nTcpReserved = 2; // what a sound stack never sends: not taken as TCP
    std::vector<char> datagram = BuildDatagram(spec);
    ASSERT_TRUE(filter.Classify(datagram.data(), spec.nLength));
    EXPECT_EQ(filter.Classify(datagram.data(), spec.nLength)->nOverhead, 28);
    // A UDP datagram whose payload reads like a TCP header stays UDP.
    spec.nProtocol = IP_PROTOCOL_UDP;
    spec.nTcpReserved = 0;
    datagram = BuildDatagram(spec);
    datagram[32] = 0x50;
    ASSERT_TRUE(filter.Classify(datagram.data(), spec.nLength));
    EXPECT_EQ(filter.Classify(datagram.data(), spec.nLength)->nOverhead, 28);
}

TEST(TrafficFilter, TheTransportHeaderIsReadAt20EvenAfterOptions) {
    // With one option word the ports stand at 24; bytes 20-23 are NOPs (1),
    // which read as ports 257 and 257.
    DatagramSpec spec = Between("10.0.0.9", false, 80);
    spec.nHeaderWords = 6;
    EXPECT_TRUE(Matches(FilterWith({{1, "*.*.*.*"}}, {{1, 257}}), spec));
    EXPECT_FALSE(Matches(FilterWith({{1, "*.*.*.*"}}, {{1, 80}}), spec));
}

TEST(TrafficFilter, OnlyTheLocalAddressAsAHeaderShowsItMakesADownload) {
    const CTrafficFilter canonical = FilterWith({{1, "*.*.*.*"}});
    const std::vector<char> datagram = BuildDatagram(Between("10.0.0.9", true));
    EXPECT_TRUE(canonical.Classify(datagram.data(), 100)->bIncoming);
    CTrafficFilter filter = canonical;
    for (const char* pszLocal : {"010.0.0.2", "10.0.0.2 ", "", "10.0.0"}) {
        filter.SetLocalAddress(pszLocal);
        EXPECT_EQ(filter.GetLocalAddress(), pszLocal);
        EXPECT_FALSE(filter.Classify(datagram.data(), 100)->bIncoming) << '"' << pszLocal << '"';
    }
}

} // namespace
