// The front of every UDP download datagram: the node's sequence number of
// the datagram in its test and the time the node sent it, from which the
// client counts loss, reordering and jitter. The node writes it, the client
// reads it; the rest of the datagram is filler.
#pragma once

#include <chrono>
#include <cstdint>

// Bytes 0-3: the sequence number, 0 at the test's first datagram, wrapping
// (big-endian). Bytes 4-11: the send time in microseconds of the node's
// monotonic clock (big-endian). Byte 12: the test's number, so that the
// client counts a test's stream from its first datagram, whenever it learns
// that the test started, and never counts another test's tail.
constexpr int DOWNLOAD_STAMP_BYTES = 13;

// The node's send time for a stamp.
inline uint64_t DownloadStampNowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

inline void WriteDownloadStamp(unsigned char* pDatagram, uint32_t nSequence, uint64_t nSentUs,
                               int nTest) {
    for (int i = 0; i < 4; ++i)
        pDatagram[i] = static_cast<unsigned char>(nSequence >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i)
        pDatagram[4 + i] = static_cast<unsigned char>(nSentUs >> (56 - 8 * i));
    pDatagram[12] = static_cast<unsigned char>(nTest);
}

// False for a datagram too short to hold a stamp.
inline bool ReadDownloadStamp(const char* pDatagram, int nLength, uint32_t& nSequence,
                              uint64_t& nSentUs, int& nTest) {
    if (nLength < DOWNLOAD_STAMP_BYTES)
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(pDatagram);
    nSequence = 0;
    for (int i = 0; i < 4; ++i)
        nSequence = (nSequence << 8) | p[i];
    nSentUs = 0;
    for (int i = 0; i < 8; ++i)
        nSentUs = (nSentUs << 8) | p[4 + i];
    nTest = p[12];
    return true;
}
