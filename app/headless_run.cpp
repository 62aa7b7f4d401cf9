#include "app/headless_run.h"

#include "app/main_dlg.h"
#include "app/run_report.h"
#include "net/tcp_info.h"
#include "res/resource.h"
#include "results/results_file.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace {

// Set by Ctrl+C or a termination request; read by a timer of the UI thread.
std::atomic<bool> g_bInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnInterrupt(int) {
    g_bInterrupted = true;
}

// The charts side by side, each as large as this.
constexpr int kChartWidth = 600;
constexpr int kChartHeight = 400;

bool SaveCharts(const TestResults& results, uint16_t nSeconds, const std::string& strPath) {
    QImage image(kChartWidth * static_cast<int>(kResultCount), kChartHeight, QImage::Format_RGB32);
    QPainter painter(&image);
    CChartRenderer chart;
    chart.SetAreaSize(kChartWidth, kChartHeight);
    for (size_t i = 0; i < kResultCount; ++i)
        painter.drawImage(kChartWidth * static_cast<int>(i), 0, chart.Render(results[i], nSeconds));
    painter.end();
    return image.save(QString::fromStdString(strPath), "PNG");
}

void PrintSeries(FILE* pOut, const std::vector<int32_t>& series) {
    if (series.empty()) {
        std::fprintf(pOut, " %10s %10s", "-", "-");
        return;
    }
    int64_t nSum = 0;
    for (int32_t n : series)
        nSum += n;
    std::fprintf(pOut, " %10lld %10d",
                 static_cast<long long>(nSum / static_cast<int64_t>(series.size())),
                 *std::max_element(series.begin(), series.end()));
}

std::string LatencyText(const std::optional<CPinger::Figures>& latency) {
    if (!latency || latency->nAnswered == 0)
        return "-";
    char szText[32];
    std::snprintf(szText, sizeof szText, "%.2f", latency->dMeanMs);
    return szText;
}

void PrintTable(FILE* pOut, const TestResults& results, const std::vector<int>& tests,
                const CPacket::Stats& stats, const CRunReport& report) {
    if (report.GetIdleLatency()) {
        const CPinger::Figures& idle = *report.GetIdleLatency();
        std::fprintf(pOut, "\nidle latency: %s ms (%d answered, %d lost)\n",
                     LatencyText(idle).c_str(), idle.nAnswered, idle.nLost);
    }
    std::fprintf(pOut, "\n%-28s %7s %21s %21s %8s %8s %18s\n", "", "", "download KB/s",
                 "upload KB/s", "latency", "TCP", "UDP datagrams");
    std::fprintf(pOut, "%-28s %7s %10s %10s %10s %10s %8s %8s %8s %9s\n", "test", "samples", "mean",
                 "peak", "mean", "peak", "ms", "retrans", "lost", "jitter ms");
    for (int nTest : tests) {
        const TestResult& record = results[static_cast<size_t>(nTest)];
        std::fprintf(pOut, "%d %-26s %7zu", nTest, TestKind(nTest).pszTitle,
                     std::max(record.download.size(), record.upload.size()));
        PrintSeries(pOut, record.download);
        PrintSeries(pOut, record.upload);
        const CRunReport::Summary summary = report.Summarize(nTest);
        char szLatency[32] = "-";
        if (summary.dLatencyMs)
            std::snprintf(szLatency, sizeof szLatency, "%.2f", *summary.dLatencyMs);
        const std::string strRetrans =
            summary.nRetransmits ? std::to_string(*summary.nRetransmits) : "-";
        char szLost[32] = "-";
        char szJitter[32] = "-";
        if (summary.udp) {
            std::snprintf(szLost, sizeof szLost, "%llu",
                          static_cast<unsigned long long>(summary.udp->nLost));
            std::snprintf(szJitter, sizeof szJitter, "%.4f", summary.udp->dJitterMs);
        }
        std::fprintf(pOut, " %8s %8s %8s %9s\n", szLatency, strRetrans.c_str(), szLost, szJitter);
    }
    std::fprintf(pOut, "capture: %u packets, %u dropped\n", stats.nReceived, stats.nDropped);
}

// Collects the figures of each second beside the controller's samples.
class CSecondCollector {
public:
    CSecondCollector(const CMainDlg& dlg, CPinger* pPinger) : m_dlg(dlg), m_pPinger(pPinger) {}

    SSecondFigures Take(int nTest) {
        SSecondFigures figures;
        if (m_pPinger)
            figures.latency = m_pPinger->Take();
        // The connection's retransmissions count on from second to second,
        // whichever test runs.
        STcpInfo info;
        const auto pSocket = m_dlg.GetNodeSocket();
        const bool bInfo = pSocket && ReadTcpInfo(pSocket->GetHandle(), info);
        const uint64_t nRetransmits = bInfo ? info.nRetransmits - m_nRetransmits : 0;
        if (bInfo)
            m_nRetransmits = info.nRetransmits;
        const STestKind& kind = TestKind(nTest);
        if (bInfo && kind.TcpUpload()) {
            figures.tcp = STcpSecond{info.dRttMs, info.dRttVarMs, nRetransmits, info.nCwndBytes};
        } else if (bInfo && kind.TcpDownload()) {
            figures.tcp = STcpSecond{info.dReceiverRttMs, {}, {}, {}};
        }
        if (kind.UdpDownload()) {
            const SUdpFigures total = m_dlg.GetUdpFigures();
            if (nTest != m_nUdpTest) {
                m_nUdpTest = nTest;
                m_udpBefore = {};
            }
            // A late datagram can fill an earlier second's gap: a second
            // never shows fewer than none lost.
            SUdpFigures second = total;
            second.nReceived -= std::min(m_udpBefore.nReceived, total.nReceived);
            second.nLost = total.nLost > m_udpBefore.nLost ? total.nLost - m_udpBefore.nLost : 0;
            second.nOutOfOrder -= std::min(m_udpBefore.nOutOfOrder, total.nOutOfOrder);
            second.nDuplicates -= std::min(m_udpBefore.nDuplicates, total.nDuplicates);
            figures.udp = second;
            m_udpBefore = total;
        }
        return figures;
    }
    // What the test's datagrams came to up to its last second.
    const SUdpFigures& UdpTotal() const { return m_udpBefore; }

private:
    const CMainDlg& m_dlg;
    CPinger* m_pPinger;
    uint64_t m_nRetransmits = 0;
    int m_nUdpTest = 0;
    SUdpFigures m_udpBefore;
};

// The first test asked for that did not run its seconds, or 0.
int FirstShortTest(const TestResults& results, const std::vector<int>& tests, uint16_t nSeconds) {
    for (int nTest : tests)
        if (SecondsStored(results, nTest) < nSeconds)
            return nTest;
    return 0;
}

} // namespace

int RunHeadless(const CRunOptions& options) {
    // With the document on standard output, everything else goes to errors.
    FILE* const pOut = options.strJson == "-" ? stderr : stdout;
    CMainDlg dlg;
    dlg.Create();
    dlg.SetUnattended(true);
    std::optional<std::pair<std::string, std::string>> failure;
    dlg.GetPrompts().SetMessageHandler(
        [&](const std::string& strCaption, const std::string& strText) {
            if (!failure)
                failure.emplace(strCaption, strText);
        });

    // The client address: as given, or the one this machine sends from to the node.
    std::string strClient = options.strClient;
    std::string strNodeAddress = options.strNode;
    if (strClient.empty() ||
        (options.bLatency && !CMainDlg::IsDottedAddress(strNodeAddress.c_str()))) {
        CSocket lookup;
        if (!CMainDlg::IsDottedAddress(strNodeAddress.c_str()))
            strNodeAddress = lookup.GetHostAddress(options.strNode);
        if (strClient.empty())
            strClient = GetSourceAddressTo(strNodeAddress);
    }

    // Typed into the window's fields, so the window's limits apply.
    CNetDlg& net = dlg.GetNetDlg();
    CTestDlg& page = dlg.GetTestDlg();
    net.GetDlgItemAs<QLineEdit>(IDC_NODE_IP)->setText(QString::fromStdString(options.strNode));
    net.GetDlgItemAs<QLineEdit>(IDC_NODE_PORT)->setText(QString::fromStdString(options.strPort));
    net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP)->setEditText(QString::fromStdString(strClient));
    for (int nTest = 1; nTest <= kTestCount; ++nTest)
        page.CheckDlgButton(IDC_TEST_BASE + nTest,
                            std::count(options.tests.begin(), options.tests.end(), nTest) ? 1 : 0);
    page.GetDlgItemAs<QLineEdit>(IDC_SECONDS)->setText(QString::fromStdString(options.strSeconds));

    CRunReport runReport;
    CPinger pinger;
    bool bPinging = false;
    if (options.bLatency) {
        bPinging = pinger.Open(strNodeAddress);
        if (!bPinging)
            std::fprintf(stderr, "Latency is not measured: %s\n", pinger.GetErrorText().c_str());
    }
    CSecondCollector collector(dlg, bPinging ? &pinger : nullptr);

    dlg.SetSampleObserver([&](const CMainDlg::SampleReport& report) {
        const SSecondFigures figures = collector.Take(report.nTest);
        if (report.bStored) {
            runReport.AddSecond(report.nTest, report.nDone, figures);
            if (TestKind(report.nTest).UdpDownload())
                runReport.SetUdpTotal(report.nTest, collector.UdpTotal());
        }
        // A line for every second; those between tests say what they wait for.
        std::string strWhat;
        if (report.bStored) {
            strWhat =
                "test " + std::to_string(report.nTest) + " " + TestKind(report.nTest).pszTitle;
            strWhat.resize(std::max<size_t>(strWhat.size(), 33), ' ');
            strWhat +=
                " " + std::to_string(report.nDone) + "/" + std::to_string(dlg.GetSeconds()) + " s";
        } else if (report.nNext != 0) {
            strWhat = "waiting for test " + std::to_string(report.nNext);
        } else {
            return; // the session ends with this second
        }
        std::string strExtra;
        if (bPinging)
            strExtra += "   latency " + LatencyText(figures.latency) + " ms";
        if (report.bStored && figures.tcp && figures.tcp->nRetransmits)
            strExtra += "   retrans " + std::to_string(*figures.tcp->nRetransmits);
        if (report.bStored && figures.udp)
            strExtra += "   lost " + std::to_string(figures.udp->nLost);
        std::fprintf(pOut, "%-43s   download %10d KB/s   upload %10d KB/s%s\n", strWhat.c_str(),
                     report.nDownload, report.nUpload, strExtra.c_str());
        std::fflush(pOut);
    });
    QEventLoop loop;
    dlg.SetSessionEndObserver([&] { loop.quit(); });

    g_bInterrupted = false;
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    QTimer interrupt;
    QObject::connect(&interrupt, &QTimer::timeout, [&] {
        if (!g_bInterrupted)
            return;
        if (dlg.IsSessionOpen())
            dlg.StopTests(); // as Stop does: the node gets the end byte
        else if (dlg.IsStarting())
            net.OnStartButton(); // pressed again while connecting: gives the start up
    });
    interrupt.start(50);

    std::fprintf(pOut, "Bandscope: %s to node %s, port %s, tests", strClient.c_str(),
                 options.strNode.c_str(), net.GetDlgItemText(IDC_NODE_PORT).c_str());
    for (int nTest : options.tests)
        std::fprintf(pOut, " %d", nTest);
    std::fprintf(pOut, ", %s s each\n", page.GetDlgItemText(IDC_SECONDS).c_str());
    std::fflush(pOut);

    if (bPinging) {
        // The idle round trip: one second of echoes before any traffic.
        QEventLoop idle;
        QTimer::singleShot(1000, &idle, &QEventLoop::quit);
        QObject::connect(&interrupt, &QTimer::timeout, &idle, [&] {
            if (g_bInterrupted)
                idle.quit();
        });
        idle.exec();
        runReport.SetIdleLatency(pinger.Take());
    }
    if (!g_bInterrupted)
        net.OnStartButton();
    const bool bStarted = dlg.IsSessionOpen();
    if (bStarted) {
        // The meter's seconds count from here.
        std::fprintf(pOut, "connected; one line a second\n");
        std::fflush(pOut);
    }
    if (bStarted && !g_bInterrupted)
        loop.exec();
    interrupt.stop();
    pinger.Close();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    std::vector<int> tests = options.tests;
    std::sort(tests.begin(), tests.end());
    if (bStarted)
        PrintTable(pOut, dlg.GetResults(), tests, dlg.GetCaptureStats(), runReport);

    // The run succeeded only when every test asked for ran its seconds; the
    // controller says why when the node cut the session short.
    const int nShort =
        bStarted && !failure ? FirstShortTest(dlg.GetResults(), tests, dlg.GetSeconds()) : 0;
    if (nShort != 0 && !g_bInterrupted)
        failure.emplace("CMainDlg::Error", "The session ended before test " +
                                               std::to_string(nShort) + " had run its " +
                                               std::to_string(dlg.GetSeconds()) + " seconds.");
    int nExit = g_bInterrupted ? 130 : 0;
    if (failure) {
        std::fprintf(stderr, "%s\n%s\n", failure->first.c_str(), failure->second.c_str());
        nExit = 1;
    }
    // A file that cannot be written: the document says so too.
    std::optional<std::string> strFileError;
    if (!options.strSave.empty()) {
        std::string strError;
        if (WriteResultsFile(kResultCount, options.strSave, dlg.GetResults().data(), &strError)) {
            std::fprintf(pOut, "results saved to %s\n", options.strSave.c_str());
        } else {
            std::fprintf(stderr, "%s\n", strError.c_str());
            strFileError = strError;
            nExit = 1;
        }
    }
    if (!options.strChart.empty()) {
        if (SaveCharts(dlg.GetResults(), dlg.GetSeconds(), options.strChart)) {
            std::fprintf(pOut, "charts saved to %s\n", options.strChart.c_str());
        } else {
            strFileError = "Cannot write \"" + options.strChart + "\"";
            std::fprintf(stderr, "%s\n", strFileError->c_str());
            nExit = 1;
        }
    }
    if (!options.strJson.empty()) {
        const CRunReport::Start start{
            options.strNode, strClient,
            static_cast<uint16_t>(
                std::strtoul(net.GetDlgItemText(IDC_NODE_PORT).c_str(), nullptr, 10)),
            bStarted ? dlg.GetSeconds()
                     : static_cast<uint16_t>(ParseResultNumber(page.GetDlgItemText(IDC_SECONDS))),
            tests};
        std::optional<std::string> strCaption;
        std::optional<std::string> strText = strFileError;
        if (failure) {
            strCaption = failure->first;
            strText = failure->second;
        }
        const std::string strDocument = runReport.ToJson(
            start, dlg.GetResults(), bStarted ? std::optional(dlg.GetCaptureStats()) : std::nullopt,
            nExit, strCaption, strText);
        if (options.strJson == "-") {
            std::fwrite(strDocument.data(), 1, strDocument.size(), stdout);
            std::fflush(stdout);
        } else {
            std::ofstream file(options.strJson, std::ios::binary | std::ios::trunc);
            file << strDocument;
            file.close();
            if (!file) {
                std::fprintf(stderr, "Cannot write \"%s\"\n", options.strJson.c_str());
                return 1;
            }
            std::fprintf(pOut, "JSON saved to %s\n", options.strJson.c_str());
        }
    }
    return nExit;
}
