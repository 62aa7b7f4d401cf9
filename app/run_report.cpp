#include "app/run_report.h"

#include <algorithm>
#include <nlohmann/json.hpp>

// Keys in the order a reader expects them, not sorted.
using json = nlohmann::ordered_json;

namespace {

json LatencyJson(const std::optional<CPinger::Figures>& latency) {
    if (!latency)
        return nullptr;
    const bool bAny = latency->nAnswered > 0;
    return {{"answered", latency->nAnswered},
            {"lost", latency->nLost},
            {"min", bAny ? json(latency->dMinMs) : json(nullptr)},
            {"mean", bAny ? json(latency->dMeanMs) : json(nullptr)},
            {"max", bAny ? json(latency->dMaxMs) : json(nullptr)}};
}

template <typename T> json OptionalJson(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

json UdpJson(const std::optional<SUdpFigures>& udp) {
    if (!udp)
        return nullptr;
    return {{"received", udp->nReceived},
            {"lost", udp->nLost},
            {"out_of_order", udp->nOutOfOrder},
            {"duplicates", udp->nDuplicates},
            {"jitter_ms", udp->dJitterMs}};
}

json RateSummary(const std::vector<int32_t>& series) {
    int64_t nSum = 0;
    for (int32_t n : series)
        nSum += n;
    return {{"mean", series.empty() ? 0.0 : static_cast<double>(nSum) / series.size()},
            {"peak", series.empty() ? 0 : *std::max_element(series.begin(), series.end())}};
}

} // namespace

void CRunReport::AddSecond(int nTest, size_t nSecond, const SSecondFigures& figures) {
    std::vector<SSecondFigures>& seconds = m_seconds[nTest];
    if (nSecond == 0)
        return;
    if (seconds.size() < nSecond)
        seconds.resize(nSecond);
    seconds[nSecond - 1] = figures;
}

CRunReport::Summary CRunReport::Summarize(int nTest) const {
    Summary summary;
    const auto it = m_seconds.find(nTest);
    if (TestKind(nTest).UdpDownload()) {
        const auto total = m_udpTotals.find(nTest);
        summary.udp = total != m_udpTotals.end() ? total->second : SUdpFigures();
    }
    if (TestKind(nTest).TcpUpload())
        summary.nRetransmits = 0;
    if (it == m_seconds.end())
        return summary;
    std::vector<double> means;
    for (const SSecondFigures& second : it->second) {
        if (second.latency && second.latency->nAnswered > 0)
            means.push_back(second.latency->dMeanMs);
        if (summary.nRetransmits && second.tcp && second.tcp->nRetransmits)
            *summary.nRetransmits += *second.tcp->nRetransmits;
    }
    if (!means.empty()) {
        std::sort(means.begin(), means.end());
        const size_t nHalf = means.size() / 2;
        summary.dLatencyMs =
            means.size() % 2 != 0 ? means[nHalf] : (means[nHalf - 1] + means[nHalf]) / 2;
    }
    return summary;
}

std::string CRunReport::ToJson(const Start& start, const TestResults& results,
                               const std::optional<CPacket::Stats>& capture, int nExit,
                               const std::optional<std::string>& strCaption,
                               const std::optional<std::string>& strText) const {
    json document;
    document["version"] = "1.0.0";
    document["start"] = {{"node", start.strNode},
                         {"client", start.strClient},
                         {"port", start.nPort},
                         {"seconds", start.nSeconds},
                         {"tests", start.tests}};
    document["idle_latency_ms"] = LatencyJson(m_idleLatency);
    json tests = json::array();
    for (int nTest : start.tests) {
        const TestResult& record = results[static_cast<size_t>(nTest)];
        const auto it = m_seconds.find(nTest);
        json seconds = json::array();
        const size_t nCount = std::max(record.download.size(), record.upload.size());
        for (size_t i = 0; i < nCount; ++i) {
            const SSecondFigures figures =
                it != m_seconds.end() && i < it->second.size() ? it->second[i] : SSecondFigures();
            json tcp = nullptr;
            if (figures.tcp) {
                tcp = {{"rtt_ms", figures.tcp->dRttMs},
                       {"rttvar_ms", OptionalJson(figures.tcp->dRttVarMs)},
                       {"retransmits", OptionalJson(figures.tcp->nRetransmits)},
                       {"cwnd_bytes", OptionalJson(figures.tcp->nCwndBytes)}};
            }
            seconds.push_back(
                {{"second", i + 1},
                 {"download_kBps", i < record.download.size() ? record.download[i] : 0},
                 {"upload_kBps", i < record.upload.size() ? record.upload[i] : 0},
                 {"latency_ms", LatencyJson(figures.latency)},
                 {"tcp", tcp},
                 {"udp", UdpJson(figures.udp)}});
        }
        const Summary summary = Summarize(nTest);
        json latency = nullptr;
        if (summary.dLatencyMs)
            latency = {{"median_mean", *summary.dLatencyMs}};
        tests.push_back({{"test", nTest},
                         {"name", TestKind(nTest).pszTitle},
                         {"seconds", seconds},
                         {"summary",
                          {{"download_kBps", RateSummary(record.download)},
                           {"upload_kBps", RateSummary(record.upload)},
                           {"latency_ms", latency},
                           {"retransmits", OptionalJson(summary.nRetransmits)},
                           {"udp", UdpJson(summary.udp)}}}});
    }
    document["tests"] = tests;
    document["capture"] =
        capture ? json{{"packets", capture->nReceived}, {"dropped", capture->nDropped}}
                : json(nullptr);
    document["exit"] = {
        {"code", nExit}, {"caption", OptionalJson(strCaption)}, {"text", OptionalJson(strText)}};
    return document.dump(2) + "\n";
}
