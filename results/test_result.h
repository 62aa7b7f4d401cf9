// The seven result records of a session and the three operations on them.
// The window owns the records and calls these on its user-interface thread
// (samples are handed to that thread), so no lock is kept here.
#pragma once

#include "net/test_kinds.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TestResult {
    std::string name;              // UTF-8
    std::vector<int32_t> download; // KB/s, one sample per second, oldest first
    std::vector<int32_t> upload;
    int32_t max = 0; // highest rate in either direction; the chart scales to it
};

// Index 0 holds the averages, 1 to 6 the tests of the same number.
constexpr std::size_t kResultCount = kTestKinds.size();
using TestResults = std::array<TestResult, kResultCount>;

// Empties every series, sets every max to 0 and restores the default titles.
void ResetResults(TestResults& results);

// Stores one second's rates (KB/s) for test nTest. False when the test's
// limiting series already holds nSeconds samples: nothing is stored and the
// test is over. A test number outside 1..6 stores nothing and gives true.
bool RecordSample(TestResults& results, int nTest, float fDownload, float fUpload,
                  uint16_t nSeconds);
// The samples in test nTest's limiting series: its upload when it has one
// (two-way tests append download first), else its download. 0 for no test.
std::size_t SecondsStored(const TestResults& results, int nTest);

// Rebuilds record 0's series as the per-second means over tests 1 to 6, up to
// nSeconds samples. Record 0's max only ever rises here; its name is kept.
void ComputeAverages(TestResults& results, uint16_t nSeconds);

// A rate truncated toward zero, as samples and peaks store it. Values beyond
// the 32-bit range saturate and NaN gives 0, where a plain cast is undefined.
int32_t TruncateRate(float fRate);
