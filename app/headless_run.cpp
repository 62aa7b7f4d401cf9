#include "app/headless_run.h"

#include "app/main_dlg.h"
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

void PrintSeries(const std::vector<int32_t>& series) {
    if (series.empty()) {
        std::printf(" %10s %10s", "-", "-");
        return;
    }
    int64_t nSum = 0;
    for (int32_t n : series)
        nSum += n;
    std::printf(" %10lld %10d", static_cast<long long>(nSum / static_cast<int64_t>(series.size())),
                *std::max_element(series.begin(), series.end()));
}

void PrintTable(const TestResults& results, const std::vector<int>& tests,
                const CPacket::Stats& stats) {
    std::printf("\n%-28s %7s %21s %21s\n", "", "", "download KB/s", "upload KB/s");
    std::printf("%-28s %7s %10s %10s %10s %10s\n", "test", "samples", "mean", "peak", "mean",
                "peak");
    for (int nTest : tests) {
        const TestResult& record = results[static_cast<size_t>(nTest)];
        std::printf("%d %-26s %7zu", nTest, DefaultResultTitle(static_cast<size_t>(nTest)),
                    std::max(record.download.size(), record.upload.size()));
        PrintSeries(record.download);
        PrintSeries(record.upload);
        std::printf("\n");
    }
    std::printf("capture: %u packets, %u dropped\n", stats.nReceived, stats.nDropped);
}

// The first test asked for that did not run its seconds, or 0.
int FirstShortTest(const TestResults& results, const std::vector<int>& tests, uint16_t nSeconds) {
    for (int nTest : tests) {
        const TestResult& record = results[static_cast<size_t>(nTest)];
        if (std::max(record.download.size(), record.upload.size()) < nSeconds)
            return nTest;
    }
    return 0;
}

} // namespace

int RunHeadless(const CRunOptions& options) {
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
    if (strClient.empty()) {
        CSocket lookup;
        const std::string strNode = CMainDlg::IsDottedAddress(options.strNode.c_str())
                                        ? options.strNode
                                        : lookup.GetHostAddress(options.strNode);
        strClient = GetSourceAddressTo(strNode);
    }

    // Typed into the window's fields, so the window's limits apply.
    CNetDlg& net = dlg.GetNetDlg();
    CTestDlg& page = dlg.GetTestDlg();
    net.GetDlgItemAs<QLineEdit>(IDC_NODE_IP)->setText(QString::fromStdString(options.strNode));
    net.GetDlgItemAs<QLineEdit>(IDC_NODE_PORT)->setText(QString::fromStdString(options.strPort));
    net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP)->setEditText(QString::fromStdString(strClient));
    for (int nTest = 1; nTest <= 6; ++nTest)
        page.CheckDlgButton(IDC_TEST_BASE + nTest,
                            std::count(options.tests.begin(), options.tests.end(), nTest) ? 1 : 0);
    page.GetDlgItemAs<QLineEdit>(IDC_SECONDS)->setText(QString::fromStdString(options.strSeconds));

    dlg.SetSampleObserver([&](const CMainDlg::SampleReport& report) {
        // A line for every second; those between tests say what they wait for.
        std::string strWhat;
        if (report.bStored) {
            strWhat = "test " + std::to_string(report.nTest) + " " +
                      DefaultResultTitle(static_cast<size_t>(report.nTest));
            strWhat.resize(std::max<size_t>(strWhat.size(), 33), ' ');
            strWhat +=
                " " + std::to_string(report.nDone) + "/" + std::to_string(dlg.GetSeconds()) + " s";
        } else if (report.nNext != 0) {
            strWhat = "waiting for test " + std::to_string(report.nNext);
        } else {
            return; // the session ends with this second
        }
        std::printf("%-43s   download %10d KB/s   upload %10d KB/s\n", strWhat.c_str(),
                    report.nDownload, report.nUpload);
        std::fflush(stdout);
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

    std::printf("Bandscope: %s to node %s, port %s, tests", strClient.c_str(),
                options.strNode.c_str(), net.GetDlgItemText(IDC_NODE_PORT).c_str());
    for (int nTest : options.tests)
        std::printf(" %d", nTest);
    std::printf(", %s s each\n", page.GetDlgItemText(IDC_SECONDS).c_str());
    std::fflush(stdout);

    net.OnStartButton();
    const bool bStarted = dlg.IsSessionOpen();
    if (bStarted) {
        // The meter's seconds count from here.
        std::printf("connected; one line a second\n");
        std::fflush(stdout);
    }
    if (bStarted && !g_bInterrupted)
        loop.exec();
    interrupt.stop();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);

    std::vector<int> tests = options.tests;
    std::sort(tests.begin(), tests.end());
    if (bStarted)
        PrintTable(dlg.GetResults(), tests, dlg.GetCaptureStats());

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
    if (!options.strSave.empty()) {
        std::string strError;
        if (WriteResultsFile(kResultCount, options.strSave, dlg.GetResults().data(), &strError)) {
            std::printf("results saved to %s\n", options.strSave.c_str());
        } else {
            std::fprintf(stderr, "%s\n", strError.c_str());
            nExit = 1;
        }
    }
    if (!options.strChart.empty()) {
        if (SaveCharts(dlg.GetResults(), dlg.GetSeconds(), options.strChart)) {
            std::printf("charts saved to %s\n", options.strChart.c_str());
        } else {
            std::fprintf(stderr, "Cannot write \"%s\"\n", options.strChart.c_str());
            nExit = 1;
        }
    }
    return nExit;
}
