#include "results/test_result.h"

#include <cmath>
#include <limits>

namespace {

void RaiseMax(int32_t& nMax, float fRate) {
    if (fRate > static_cast<float>(nMax))
        nMax = TruncateRate(fRate);
}

void AverageDirection(TestResults& results, std::vector<int32_t> TestResult::*pSeries,
                      std::size_t nIndex) {
    float fSum = 0.0f;
    int nCount = 0;
    for (std::size_t nTest = 1; nTest < kResultCount; ++nTest) {
        const std::vector<int32_t>& series = results[nTest].*pSeries;
        if (series.size() > nIndex) {
            fSum += static_cast<float>(series[nIndex]);
            ++nCount;
        }
    }
    if (nCount == 0)
        return;
    const float fMean = fSum / static_cast<float>(nCount);
    (results[0].*pSeries).push_back(TruncateRate(fMean));
    RaiseMax(results[0].max, fMean);
}

} // namespace

int32_t TruncateRate(float fRate) {
    if (std::isnan(fRate))
        return 0;
    // 2^31 is exactly representable; every float below it fits once truncated.
    if (fRate >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (fRate <= -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(fRate);
}

void ResetResults(TestResults& results) {
    for (std::size_t i = 0; i < kResultCount; ++i) {
        // Swapping with empties releases the storage, not just the size.
        std::vector<int32_t>().swap(results[i].download);
        std::vector<int32_t>().swap(results[i].upload);
        results[i].max = 0;
        results[i].name = kTestKinds[i].pszTitle;
    }
}

bool RecordSample(TestResults& results, int nTest, float fDownload, float fUpload,
                  uint16_t nSeconds) {
    if (!IsTest(nTest))
        return true;
    if (SecondsStored(results, nTest) >= static_cast<std::size_t>(nSeconds))
        return false;
    const STestKind& kind = TestKind(nTest);
    TestResult& result = results[static_cast<std::size_t>(nTest)];
    if (kind.bDownload)
        result.download.push_back(TruncateRate(fDownload));
    if (kind.bUpload)
        result.upload.push_back(TruncateRate(fUpload));
    if (kind.bDownload)
        RaiseMax(result.max, fDownload);
    if (kind.bUpload)
        RaiseMax(result.max, fUpload);
    return true;
}

std::size_t SecondsStored(const TestResults& results, int nTest) {
    if (!IsTest(nTest))
        return 0;
    const TestResult& result = results[static_cast<std::size_t>(nTest)];
    return (TestKind(nTest).bUpload ? result.upload : result.download).size();
}

void ComputeAverages(TestResults& results, uint16_t nSeconds) {
    std::vector<int32_t>().swap(results[0].download);
    std::vector<int32_t>().swap(results[0].upload);
    for (std::size_t i = 0; i < nSeconds; ++i) {
        AverageDirection(results, &TestResult::download, i);
        AverageDirection(results, &TestResult::upload, i);
    }
}
