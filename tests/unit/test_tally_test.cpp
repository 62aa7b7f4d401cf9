#include "node/test_tally.h"

#include <gtest/gtest.h>

// A test's rates cover the time its data flowed (upload: the first to the
// last arrival on either path), and the next test counts only its own.
TEST(TestTally, RatesCoverTheFlowAndEachTestCountsItsOwnBytes) {
    CTestTally tally;
    tally.AddUdp(7000, 500); // before any test: in no test's figures
    tally.Begin(1000);
    tally.AddUdp(1000, 1200);
    tally.AddUpload(1500);
    tally.AddUdp(1000, 2200);
    tally.AddUpload(3000);
    EXPECT_EQ(tally.End(4000, 500000, {2500000, 2000000, 1100, 3100}),
              "after 3.00 s: sent 2500000 bytes (8.0 Mbit/s over 2.00 s), "
              "received 502000 bytes (2.2 Mbit/s over 1.80 s)");
    tally.Begin(5000);
    EXPECT_EQ(tally.End(6500, 0, {}), "after 1.50 s: sent 0 bytes (0.0 Mbit/s over 0.00 s), "
                                      "received 0 bytes (0.0 Mbit/s over 0.00 s)");
    EXPECT_EQ(tally.Totals(), "2 test(s), sent 2500000 bytes, received 502000 bytes");
}
