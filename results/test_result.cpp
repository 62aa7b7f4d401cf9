#include "results/test_result.h"

#include <cmath>
#include <limits>

namespace {

const char* const kDefaultTitles[kResultCount] = {
    "Test Averages",
    "TCP - Upload test",
    "TCP - Download test",
    "TCP - Upload/Download test",
    "UDP - Upload test",
    "UDP - Download test",
    "UDP - Upload/Download test",
};

// Which series a test fills. Two-way tests are limited by their upload series
// and append (and raise max) download first.
bool HasDownload(int nTest) {
    return nTest == 2 || nTest == 3 || nTest == 5 || nTest == 6;
}
bool HasUpload(int nTest) {
    return nTest == 1 || nTest == 3 || nTest == 4 || nTest == 6;
}

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

const char* DefaultResultTitle(std::size_t nIndex) {
    return nIndex < kResultCount ? kDefaultTitles[nIndex] : "";
}

void ResetResults(TestResults& results) {
    for (std::size_t i = 0; i < kResultCount; ++i) {
        // Swapping with empties releases the storage, not just the size.
        std::vector<int32_t>().swap(results[i].download);
        std::vector<int32_t>().swap(results[i].upload);
        results[i].max = 0;
        results[i].name = kDefaultTitles[i];
    }
}

bool RecordSample(TestResults& results, int nTest, float fDownload, float fUpload,
                  uint16_t nSeconds) {
    if (nTest < 1 || nTest > 6)
        return true;
    TestResult& result = results[static_cast<std::size_t>(nTest)];
    const std::vector<int32_t>& limiting = HasUpload(nTest) ? result.upload : result.download;
    if (limiting.size() >= static_cast<std::size_t>(nSeconds))
        return false;
    if (HasDownload(nTest))
        result.download.push_back(TruncateRate(fDownload));
    if (HasUpload(nTest))
        result.upload.push_back(TruncateRate(fUpload));
    if (HasDownload(nTest))
        RaiseMax(result.max, fDownload);
    if (HasUpload(nTest))
        RaiseMax(result.max, fUpload);
    return true;
}

void ComputeAverages(TestResults& results, uint16_t nSeconds) {
    std::vector<int32_t>().swap(results[0].download);
    std::vector<int32_t>().swap(results[0].upload);
    for (std::size_t i = 0; i < nSeconds; ++i) {
        AverageDirection(results, &TestResult::download, i);
        AverageDirection(results, &TestResult::upload, i);
    }
}
