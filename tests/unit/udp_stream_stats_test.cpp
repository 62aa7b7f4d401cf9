// The UDP download's accounting: the stamp as the node writes it and the
// client reads it, and loss, reordering, duplicates and RFC 3550 jitter.
#include "net/download_stamp.h"
#include "net/udp_stream_stats.h"

#include <gtest/gtest.h>

namespace {

TEST(UdpStreamStats, CountsGapsReorderingDuplicatesAndJitterAcrossTheWrap) {
    unsigned char datagram[DOWNLOAD_STAMP_BYTES];
    WriteDownloadStamp(datagram, 0x01020304, 0x0A0B0C0D0E0F1011, 5);
    EXPECT_EQ(datagram[0], 0x01);
    EXPECT_EQ(datagram[11], 0x11);
    uint32_t nSequence = 0;
    uint64_t nSentUs = 0;
    int nTest = 0;
    ASSERT_TRUE(ReadDownloadStamp(reinterpret_cast<const char*>(datagram), DOWNLOAD_STAMP_BYTES,
                                  nSequence, nSentUs, nTest));
    EXPECT_EQ(nSequence, 0x01020304u);
    EXPECT_EQ(nSentUs, 0x0A0B0C0D0E0F1011u);
    EXPECT_EQ(nTest, 5);
    EXPECT_FALSE(ReadDownloadStamp(reinterpret_cast<const char*>(datagram),
                                   DOWNLOAD_STAMP_BYTES - 1, nSequence, nSentUs, nTest));

    CUdpStreamStats stream;
    stream.Add(500000, 0, 0);  // the tail of an earlier test: not of this stream
    stream.Add(0, 0, 100);     // transit 100 us
    stream.Add(1, 1000, 1110); // 110: J = 10/16
    stream.Add(3, 3000, 3100); // 2 missing; 100: J += (10 - J)/16
    stream.Add(2, 2000, 3105); // late; 1105
    stream.Add(3, 3000, 3200); // a duplicate: neither counted nor timed
    stream.Add(6, 6000, 6100); // 4 and 5 missing; 100
    stream.Add(7, 6000, 6900); // the same batch as 6: counted, not timed
    SUdpFigures figures = stream.Figures();
    EXPECT_EQ(figures.nReceived, 6u);
    EXPECT_EQ(figures.nLost, 2u);
    EXPECT_EQ(figures.nOutOfOrder, 1u);
    EXPECT_EQ(figures.nDuplicates, 1u);
    EXPECT_DOUBLE_EQ(figures.dJitterMs, 0.122763519287109375);

    // Numbers run on past 2^32: the highest seen, extended, sets what was expected.
    stream.Reset();
    for (uint32_t n : {0u, 0x7FFFFFFFu, 0xFFFFFFF0u, 5u, 0xFFFFFFF8u, 0xFFFFFFF8u})
        stream.Add(n, 0, 0);
    figures = stream.Figures();
    EXPECT_EQ(figures.nReceived, 5u);
    EXPECT_EQ(figures.nLost, (uint64_t{1} << 32) + 6 - 5);
    EXPECT_EQ(figures.nOutOfOrder, 1u);
    EXPECT_EQ(figures.nDuplicates, 1u);
    EXPECT_EQ(figures.dJitterMs, 0);
}

} // namespace
