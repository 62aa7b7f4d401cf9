// What a run without a window measured beside the rates, second by second:
// the round trip to the node, the test connection's TCP figures and the UDP
// download's datagrams; and the JSON document that scripts read.
#pragma once

#include "app/run_options.h"
#include "net/packet.h"
#include "net/pinger.h"
#include "net/udp_stream_stats.h"
#include "results/test_result.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct STcpSecond {
    double dRttMs = 0; // for a test that only receives: the receiver's estimate
    // Only where this side sends on the connection (TCP uploads).
    std::optional<double> dRttVarMs;
    std::optional<uint64_t> nRetransmits; // in this second
    std::optional<uint64_t> nCwndBytes;
};

struct SSecondFigures {
    std::optional<CPinger::Figures> latency;
    std::optional<STcpSecond> tcp;
    std::optional<SUdpFigures> udp; // this second's counts; the jitter as it stood
};

class CRunReport {
public:
    struct Start {
        std::string strNode;
        std::string strClient;
        uint16_t nPort = 0;
        uint16_t nSeconds = 0;
        std::vector<int> tests; // ascending
    };

    void SetIdleLatency(const CPinger::Figures& figures) { m_idleLatency = figures; }
    const std::optional<CPinger::Figures>& GetIdleLatency() const { return m_idleLatency; }
    // The figures of second nSecond (from 1) of a test.
    void AddSecond(int nTest, size_t nSecond, const SSecondFigures& figures);
    // The end of a test: its UDP datagrams in all (UDP downloads).
    void SetUdpTotal(int nTest, const SUdpFigures& figures) { m_udpTotals[nTest] = figures; }

    // A test's summary beside its rates.
    struct Summary {
        std::optional<double> dLatencyMs; // the median of the seconds' means
        std::optional<uint64_t> nRetransmits;
        std::optional<SUdpFigures> udp;
    };
    Summary Summarize(int nTest) const;

    // The whole document; the rates are the records' own samples.
    std::string ToJson(const Start& start, const TestResults& results,
                       const std::optional<CPacket::Stats>& capture, int nExit,
                       const std::optional<std::string>& strCaption,
                       const std::optional<std::string>& strText) const;

private:
    std::optional<CPinger::Figures> m_idleLatency;
    std::map<int, std::vector<SSecondFigures>> m_seconds; // by test, second 1 first
    std::map<int, SUdpFigures> m_udpTotals;
};
