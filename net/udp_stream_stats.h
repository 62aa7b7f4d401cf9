// CUdpStreamStats: what became of a stream of stamped datagrams (see
// download_stamp.h) on its way: received, lost, out of order, duplicated, and
// the interarrival jitter as RTP receivers estimate it (RFC 3550, 6.4.1), of
// the sender's batches (the datagrams that share a send time).
#pragma once

#include <array>
#include <cstdint>

struct SUdpFigures {
    uint64_t nReceived = 0;   // distinct datagrams
    uint64_t nLost = 0;       // expected (up to the highest number seen) less received
    uint64_t nOutOfOrder = 0; // arrived after a later-numbered one
    uint64_t nDuplicates = 0;
    double dJitterMs = 0;
};

class CUdpStreamStats {
public:
    // Duplicates are told apart within this many numbers below the highest.
    static constexpr uint32_t HISTORY = 8192;
    // A stream starts at number 0. Until a datagram numbered below this
    // arrives, higher ones are the tail of an earlier stream still on its way.
    static constexpr uint32_t START_WINDOW = 65536;

    void Reset() { *this = CUdpStreamStats(); }
    // One datagram: its number, the sender's send time and its arrival time,
    // each clock in microseconds (the clocks need not agree).
    void Add(uint32_t nSequence, uint64_t nSentUs, int64_t nArrivalUs);
    SUdpFigures Figures() const;

private:
    bool TestAndSet(uint64_t nNumber);

    bool m_bStarted = false;
    uint64_t m_nHighest = 0; // the highest number, extended past each wrap
    uint64_t m_nReceived = 0;
    uint64_t m_nOutOfOrder = 0;
    uint64_t m_nDuplicates = 0;
    bool m_bTransit = false;
    int64_t m_nTransitUs = 0; // the last batch's arrival less its send time
    uint64_t m_nSentUs = 0;   // and its send time
    double m_dJitterUs = 0;
    std::array<uint64_t, HISTORY / 64> m_seen{}; // a ring of bits, by number
};
