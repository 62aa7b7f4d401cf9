// The results model: which series each test fills, the refusal at the test
// length, truncation and single-precision arithmetic, and the averages.
#include "results/test_result.h"

#include <climits>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

TestResults Fresh() {
    TestResults results;
    ResetResults(results);
    return results;
}

TEST(ResultsModel, ResetRestoresDefaultsAfterAnything) {
    TestResults results = Fresh();
    for (TestResult& result : results) {
        result.name = "loaded";
        result.download = {1, 2};
        result.upload = {3};
        result.max = 9;
    }
    ResetResults(results);
    const char* titles[] = {"Test Averages",
                            "TCP - Upload test",
                            "TCP - Download test",
                            "TCP - Upload/Download test",
                            "UDP - Upload test",
                            "UDP - Download test",
                            "UDP - Upload/Download test"};
    for (std::size_t i = 0; i < kResultCount; ++i) {
        EXPECT_EQ(results[i].name, titles[i]);
        EXPECT_TRUE(results[i].download.empty());
        EXPECT_TRUE(results[i].upload.empty());
        EXPECT_EQ(results[i].download.capacity(), 0u);
        EXPECT_EQ(results[i].max, 0);
    }
}

TEST(ResultsModel, EachTestFillsItsOwnSeries) {
    TestResults results = Fresh();
    for (int nTest = 1; nTest <= 6; ++nTest)
        EXPECT_TRUE(RecordSample(results, nTest, 10.0f, 20.0f, 30));
    const std::size_t dl[] = {0, 0, 1, 1, 0, 1, 1};
    const std::size_t ul[] = {0, 1, 0, 1, 1, 0, 1};
    const int32_t max[] = {0, 20, 10, 20, 20, 10, 20};
    for (std::size_t i = 0; i < kResultCount; ++i) {
        EXPECT_EQ(results[i].download.size(), dl[i]) << "record " << i;
        EXPECT_EQ(results[i].upload.size(), ul[i]) << "record " << i;
        EXPECT_EQ(results[i].max, max[i]) << "record " << i;
    }
    // No test running, or a number out of range: nothing stored, not refused.
    const TestResults before = results;
    for (int nTest : {0, 7, -1, INT_MAX})
        EXPECT_TRUE(RecordSample(results, nTest, 1.0f, 1.0f, 30));
    for (std::size_t i = 0; i < kResultCount; ++i)
        EXPECT_EQ(results[i].download.size() + results[i].upload.size(),
                  before[i].download.size() + before[i].upload.size());
}

TEST(ResultsModel, RatesTruncateAndMaxRisesOnlyPastItsFloat) {
    TestResults results = Fresh();
    RecordSample(results, 2, 99.9f, 0.0f, 30);
    EXPECT_EQ(results[2].download.back(), 99);
    EXPECT_EQ(results[2].max, 99);
    results[2].max = 100;
    RecordSample(results, 2, 100.5f, 0.0f, 30);
    EXPECT_EQ(results[2].max, 100);
    RecordSample(results, 2, -0.9f, 0.0f, 30);
    EXPECT_EQ(results[2].download.back(), 0);

    RecordSample(results, 3, 50.7f, 80.2f, 30);
    EXPECT_EQ(results[3].download, std::vector<int32_t>{50});
    EXPECT_EQ(results[3].upload, std::vector<int32_t>{80});
    EXPECT_EQ(results[3].max, 80);

    // Values a plain cast would leave undefined.
    EXPECT_EQ(TruncateRate(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(TruncateRate(std::numeric_limits<float>::infinity()), INT_MAX);
    EXPECT_EQ(TruncateRate(-3.0e9f), INT_MIN);
    EXPECT_EQ(TruncateRate(2147483520.0f), 2147483520);
}

TEST(ResultsModel, TheLimitingSeriesCapsATestAtItsLength) {
    TestResults results = Fresh();
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(RecordSample(results, 1, 0.0f, 1.0f, 30));
    EXPECT_FALSE(RecordSample(results, 1, 0.0f, 1.0f, 30));
    EXPECT_EQ(results[1].upload.size(), 30u);

    // A two-way test is limited by its upload series.
    results[6].download.assign(40, 1);
    EXPECT_TRUE(RecordSample(results, 6, 1.0f, 1.0f, 30));
    results[6].upload.assign(30, 1);
    EXPECT_FALSE(RecordSample(results, 6, 1.0f, 1.0f, 30));

    // A loaded series longer than the test length is refused, not cut.
    results[2].download.assign(50, 1);
    EXPECT_FALSE(RecordSample(results, 2, 1.0f, 1.0f, 30));
    EXPECT_EQ(results[2].download.size(), 50u);

    TestResults zero = Fresh();
    for (int nTest = 1; nTest <= 6; ++nTest)
        EXPECT_FALSE(RecordSample(zero, nTest, 5.0f, 5.0f, 0));
    zero[1].upload = {5};
    ComputeAverages(zero, 0);
    EXPECT_TRUE(zero[0].download.empty() && zero[0].upload.empty());

    TestResults longest = Fresh();
    longest[2].download.assign(65535, 1);
    EXPECT_FALSE(RecordSample(longest, 2, 1.0f, 1.0f, 65535));
}

TEST(ResultsModel, AveragesOverTheTestsThatHaveEachSecond) {
    TestResults results = Fresh();
    results[2].download = {10};
    results[5].download = {15};
    results[1].upload.assign(30, 0);
    for (int i = 0; i < 30; ++i)
        results[1].upload[i] = 100 + i;
    results[4].upload.assign(10, 0);
    ComputeAverages(results, 30);
    EXPECT_EQ(results[0].download, std::vector<int32_t>{12});
    ASSERT_EQ(results[0].upload.size(), 30u);
    EXPECT_EQ(results[0].upload[0], 50);
    EXPECT_EQ(results[0].upload[9], 54);
    EXPECT_EQ(results[0].upload[10], 110);
    EXPECT_EQ(results[0].upload[29], 129);
    EXPECT_EQ(results[0].max, 129);

    // Cut at the test length.
    ComputeAverages(results, 5);
    EXPECT_EQ(results[0].upload.size(), 5u);
}

TEST(ResultsModel, AveragesUseSinglePrecisionAndKeepTheHighestMax) {
    TestResults results = Fresh();
    // 16777217 has no float: the sum rounds it to 16777216.
    results[2].download = {16777217};
    ComputeAverages(results, 1);
    EXPECT_EQ(results[0].download, std::vector<int32_t>{16777216});
    // Summed in test order: 2^24 swallows each 1 (the other order gives 5592406).
    results = Fresh();
    results[1].download = {16777216};
    results[2].download = {1};
    results[3].download = {1};
    ComputeAverages(results, 1);
    EXPECT_EQ(results[0].download, std::vector<int32_t>{5592405});

    results = Fresh();
    results[2].download = {200};
    ComputeAverages(results, 30);
    EXPECT_EQ(results[0].max, 200);
    results[2].download = {100};
    results[0].name = "kept";
    ComputeAverages(results, 30);
    EXPECT_EQ(results[0].download, std::vector<int32_t>{100});
    EXPECT_EQ(results[0].max, 200);
    EXPECT_EQ(results[0].name, "kept");
}

} // namespace
