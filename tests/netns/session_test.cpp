// Whole sessions as a user runs them: the real window offscreen, its pages
// filled and clicked, the real node in one network namespace and the window's
// workers (capture included) in the other, joined by a veth pair.
#include "app/main_dlg.h"
#include "res/resource.h"
#include "res/tab_control.h"
#include "tests/support/loopback.h"
#include "tests/support/netns.h"
#include "tests/support/node_process.h"
#include "tests/support/qt_app.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThreadPool>
#include <QTimer>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

TEST(IsDottedAddress, FourNumbersUpTo255AreAnAddressAnythingElseAName) {
    for (const char* pszText : {"10.199.3.2", "0.0.0.0", "255.255.255.255", "001.02.3.4",
                                "1..2.3.4", ".1.2.3.4.", "1.2.3..4"})
        EXPECT_TRUE(CMainDlg::IsDottedAddress(pszText)) << pszText;
    for (const char* pszText : {"", "1.2.3", "1.2.3.256", "1.2.3.4.5", "1.2.3.0004", "node",
                                "1.2.3.4a", "-1.2.3.4", " 1.2.3.4", "1.2.3.+4", "...."})
        EXPECT_FALSE(CMainDlg::IsDottedAddress(pszText)) << pszText;
    EXPECT_FALSE(CMainDlg::IsDottedAddress(nullptr));
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string strWhy = NetnsUnavailableReason(); !strWhy.empty())
            GTEST_SKIP() << strWhy;
        m_pNetns = std::make_unique<NetnsPair>();
        ASSERT_TRUE(m_pNetns->IsUp()) << m_pNetns->GetError();
        // The window's thread, and every worker it starts, lives in side A.
        m_nHome = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(EnterNetns(m_pNetns->A().strNamespace));
        m_pDlg = std::make_unique<CMainDlg>();
        m_pDlg->Create();
        // Its first paint starts Qt's drawing threads, which hold descriptors:
        // made before and kept after a test's counts, they are never counted.
        QThreadPool::globalInstance()->setExpiryTimeout(-1);
        CEventCounter paints(QEvent::Paint);
        m_pDlg->GetChartFrame().installEventFilter(&paints);
        m_pDlg->show();
        ASSERT_TRUE(PumpUntil([&] { return paints.Count() > 0; }, 10s));
        m_pDlg->GetPrompts().SetMessageHandler(
            [this](const std::string& strCaption, const std::string& strText) {
                m_messages.push_back(strCaption + "|" + strText);
            });
    }

    void TearDown() override {
        m_pDlg.reset();
        if (m_nHome >= 0) {
            ::setns(m_nHome, CLONE_NEWNET);
            ::close(m_nHome);
        }
    }

    std::string NodeAddress() const { return m_pNetns->B().strAddress; }
    std::string ClientAddress() const { return m_pNetns->A().strAddress; }

    void StartNode(const std::vector<std::string>& extra = {},
                   const std::string& strPort = "20000") {
        std::vector<std::string> args{"--bind", NodeAddress(), "--port", strPort};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_node.Start(args, m_pNetns->B().strNamespace));
        ASSERT_FALSE(m_node.WaitReady().empty()) << m_node.Log();
    }

    // Fills the pages as a user would; tests is a set of test numbers.
    void Fill(const std::string& strNode, const std::string& strClient, const std::string& strPort,
              std::initializer_list<int> tests, const std::string& strSeconds) {
        CNetDlg& net = m_pDlg->GetNetDlg();
        CTestDlg& page = m_pDlg->GetTestDlg();
        auto* pNode = net.GetDlgItemAs<QLineEdit>(IDC_NODE_IP);
        pNode->clear();
        QTest::keyClicks(pNode, QString::fromStdString(strNode));
        auto* pPort = net.GetDlgItemAs<QLineEdit>(IDC_NODE_PORT);
        pPort->clear();
        QTest::keyClicks(pPort, QString::fromStdString(strPort));
        auto* pClient = net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP);
        const int nItem = pClient->findText(QString::fromStdString(strClient));
        if (nItem >= 0)
            pClient->setCurrentIndex(nItem);
        else
            pClient->setEditText(QString::fromStdString(strClient));
        for (int nTest = 1; nTest <= 6; ++nTest) {
            auto* pBox = page.GetDlgItemAs<QCheckBox>(IDC_TEST_BASE + nTest);
            const bool bWanted = std::find(tests.begin(), tests.end(), nTest) != tests.end();
            if (pBox->isChecked() != bWanted)
                QTest::mouseClick(pBox, Qt::LeftButton, {}, QPoint(4, pBox->height() / 2));
        }
        auto* pSeconds = page.GetDlgItemAs<QLineEdit>(IDC_SECONDS);
        pSeconds->clear();
        QTest::keyClicks(pSeconds, QString::fromStdString(strSeconds));
    }

    void ClickStartStop() {
        QTest::mouseClick(m_pDlg->GetNetDlg().GetDlgItemAs<QPushButton>(IDC_START_STOP),
                          Qt::LeftButton);
    }

    std::string Button() { return m_pDlg->GetNetDlg().GetDlgItemText(IDC_START_STOP); }

    bool WaitForSessionEnd(std::chrono::milliseconds timeout) {
        return PumpUntil([&] { return !m_pDlg->IsSessionOpen(); }, timeout);
    }

    // Waits until the node's log holds the text.
    bool WaitForLog(const std::string& strText, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_node.Log().find(strText) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    const TestResult& Record(int nIndex) {
        return m_pDlg->GetResults()[static_cast<size_t>(nIndex)];
    }

    static int Mean(const std::vector<int32_t>& series) {
        if (series.empty())
            return 0;
        int64_t nSum = 0;
        for (int32_t n : series)
            nSum += n;
        return static_cast<int>(nSum / static_cast<int64_t>(series.size()));
    }

    std::unique_ptr<NetnsPair> m_pNetns;
    int m_nHome = -1;
    NodeProcess m_node;
    std::unique_ptr<CMainDlg> m_pDlg;
    std::vector<std::string> m_messages;
};

TEST_F(SessionTest, SixTestsRunInOrderAndEachRecordsWhatTheLinkCarried) {
    StartNode();
    Fill(NodeAddress(), ClientAddress(), "20000", {1, 2, 3, 4, 5, 6}, "2");
    ClickStartStop();
    ASSERT_TRUE(m_messages.empty()) << m_messages[0];
    EXPECT_EQ(Button(), "Stop");
    EXPECT_EQ(m_pDlg->GetNetDlg().m_nTests, 6);
    ASSERT_TRUE(WaitForSessionEnd(60s));
    EXPECT_TRUE(m_messages.empty()) << m_messages[0];

    for (int nTest = 1; nTest <= 6; ++nTest) {
        const TestResult& record = Record(nTest);
        const bool bUp = nTest != 2 && nTest != 5;
        const bool bDown = nTest != 1 && nTest != 4;
        SCOPED_TRACE(::testing::Message() << "test " << nTest << ": down " << Mean(record.download)
                                          << " KB/s, up " << Mean(record.upload) << " KB/s");
        std::printf("test %d: %d samples, download %d KB/s, upload %d KB/s\n", nTest,
                    static_cast<int>(std::max(record.download.size(), record.upload.size())),
                    Mean(record.download), Mean(record.upload));
        // The limiting series holds the test's seconds; the other direction
        // is only filled when the test carries data both ways.
        EXPECT_EQ((bUp ? record.upload : record.download).size(), 2u);
        EXPECT_EQ(record.download.size(), bDown ? 2u : 0u);
        EXPECT_EQ(record.upload.size(), bUp ? 2u : 0u);
        if (bUp && bDown) {
            EXPECT_GT(Mean(record.download), 1000);
            EXPECT_GT(Mean(record.upload), 1000);
        } else if (bUp) {
            EXPECT_GT(Mean(record.upload), 1000);
        } else {
            EXPECT_GT(Mean(record.download), 1000);
        }
        EXPECT_GE(record.max, std::max(Mean(record.download), Mean(record.upload)));
    }
    // The averages tab was selected throughout: record 0 is the running mean.
    TestResults averaged = m_pDlg->GetResults();
    ComputeAverages(averaged, 2);
    EXPECT_EQ(Record(0).download, averaged[0].download);
    EXPECT_EQ(Record(0).upload, averaged[0].upload);
    EXPECT_EQ(Record(0).download.size(), 2u);

    // The node saw the session as the window ran it.
    ASSERT_TRUE(WaitForLog("session ended (session end from the client)")) << m_node.Log();
    const std::string strLog = m_node.Log();
    size_t nAt = strLog.find("session start: 2 s per test");
    ASSERT_NE(nAt, std::string::npos) << strLog;
    for (int nTest = 1; nTest <= 6; ++nTest) {
        nAt = strLog.find("test " + std::to_string(nTest) + " (", nAt);
        ASSERT_NE(nAt, std::string::npos) << "test " << nTest << " out of order:\n" << strLog;
    }
    EXPECT_EQ(Button(), "Start");
    EXPECT_FALSE(m_pDlg->GetNetDlg().m_bRunning);
    EXPECT_EQ(m_pDlg->GetNetDlg().GetDlgItemText(IDC_CURRENT_TEST), "0 (0)");
    EXPECT_EQ(m_pDlg->GetNetDlg().GetDlgItemText(IDC_DOWNLOAD_RATE), "0");
    EXPECT_EQ(m_pDlg->GetNetDlg().GetDlgItemText(IDC_UPLOAD_RATE), "0");
}

TEST_F(SessionTest, BadInputFailsWithItsOwnTextAndLeavesNothingOpen) {
    StartNode({}, "34463");
    // A first session, so that anything made once per process exists already.
    Fill(NodeAddress(), ClientAddress(), "99999", {2}, "9");
    ClickStartStop();
    ASSERT_TRUE(m_messages.empty()) << m_messages[0];
    EXPECT_EQ(Button(), "Stop"); // 99999 reached the node's port 34463
    ASSERT_TRUE(WaitForLog("session start: 9 s per test")) << m_node.Log();
    ClickStartStop();
    EXPECT_EQ(Button(), "Start");
    std::unique_ptr<ScriptedNode> refusing[3]; // the end command, then a close or not; a close
    ASSERT_TRUE(RunInNetns(m_pNetns->B().strNamespace, [&] {
        for (int i = 0; i < 3; ++i)
            refusing[i].reset(new ScriptedNode(NodeAddress().c_str(), -(i / 2), -2, i == 1));
    }));
    Pump(700ms); // the meter's linger
    const size_t nDescriptors = CountEntries("/proc/self/fd");

    struct Case {
        std::string strNode, strClient, strPort, strCaption, strSymbol;
    };
    const Case cases[] = {
        {NodeAddress(), "10.199.254.77", "34463", "CPacket::Error", "WSAEADDRNOTAVAIL"},
        {NodeAddress(), ClientAddress(), "20001", "CClient::Error", "WSAECONNREFUSED"},
        {"no-such-node.invalid", ClientAddress(), "34463", "CClient::Error", "WSAEADDRNOTAVAIL"},
        {NodeAddress(), ClientAddress(), std::to_string(refusing[0]->Port()), "", ""},
        {NodeAddress(), ClientAddress(), std::to_string(refusing[1]->Port()), "", ""},
        {NodeAddress(), ClientAddress(), std::to_string(refusing[2]->Port()), "CClient::Error",
         CMainDlg::NODE_CLOSED_TEXT},
    };
    for (int i = 0; i < 3 * static_cast<int>(std::size(cases)); ++i) {
        const Case& c = cases[i / 3];
        SCOPED_TRACE(c.strNode + " " + c.strClient + ":" + c.strPort);
        m_messages.clear();
        Fill(c.strNode, c.strClient, c.strPort, {1}, "2");
        ClickStartStop();
        // A session the node refuses ends once the click is over.
        EXPECT_TRUE(PumpUntil([&] { return !m_pDlg->GetNetDlg().m_bRunning; }, 5s));
        ASSERT_EQ(m_messages.size(), c.strCaption.empty() ? 0u : 1u);
        EXPECT_TRUE(m_messages.empty() ||
                    m_messages[0].starts_with(c.strCaption + "|" + c.strSymbol));
        EXPECT_EQ(Button(), "Start");
        EXPECT_FALSE(m_pDlg->IsSessionOpen());
        EXPECT_TRUE(PumpUntil([&] { return CountEntries("/proc/self/fd") == nDescriptors; }, 2s));
    }

    // Nothing ticked: the node hears a start and an end, and the page stays idle.
    m_messages.clear();
    Fill(NodeAddress(), ClientAddress(), "34463", {}, "2");
    ClickStartStop();
    EXPECT_EQ(Button(), "Start");
    EXPECT_TRUE(m_messages.empty());
    ASSERT_TRUE(WaitForLog("session ended (session end from the client): 0 test(s)"))
        << m_node.Log();

    // No seconds: each test ends at its first sample, storing nothing.
    Fill(NodeAddress(), ClientAddress(), "34463", {1, 5}, "");
    ClickStartStop();
    ASSERT_TRUE(WaitForSessionEnd(20s));
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(Record(1).upload.empty());
    EXPECT_TRUE(Record(5).download.empty());
    ASSERT_TRUE(WaitForLog("session ended (session end from the client): 2 test(s)"))
        << m_node.Log();
    EXPECT_NE(m_node.Log().find("session start: 0 s per test"), std::string::npos);
    EXPECT_TRUE(PumpUntil([&] { return CountEntries("/proc/self/fd") == nDescriptors; }, 2s));
}

TEST_F(SessionTest, ANodeThatVanishesEndsTheSessionAfterTheRunningTest) {
    StartNode();
    Fill(NodeAddress(), ClientAddress(), "20000", {1, 2}, "3");
    ClickStartStop();
    ASSERT_TRUE(PumpUntil([&] { return Record(1).upload.size() >= 1; }, 10s));
    m_node.Signal(SIGKILL);
    ASSERT_TRUE(WaitForSessionEnd(10s));
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0], std::string("CClient::Error|") + CMainDlg::NODE_CLOSED_TEXT);
    // The test ran its seconds on the meter's clock; the next one never started.
    EXPECT_EQ(Record(1).upload.size(), 3u);
    EXPECT_TRUE(Record(2).download.empty());
    EXPECT_EQ(Button(), "Start");
}

TEST_F(SessionTest, ANewSessionsFirstSecondsHoldNothingOfTheOneBefore) {
    StartNode({"--udp-rate", "20"}); // UDP downloads at 2500 KB/s of payload
    Fill(NodeAddress(), ClientAddress(), "20000", {2}, "30");
    ClickStartStop();
    ASSERT_TRUE(PumpUntil([&] { return Record(2).download.size() >= 1; }, 10s));
    ASSERT_GT(Record(2).download[0], 20000); // gigabits, not megabits
    ClickStartStop();
    // At once, while the meter of the stopped session still lingers.
    Fill(NodeAddress(), ClientAddress(), "20000", {5}, "3");
    ClickStartStop();
    ASSERT_TRUE(WaitForSessionEnd(20s));
    ASSERT_EQ(Record(5).download.size(), 3u);
    for (int32_t nRate : Record(5).download)
        EXPECT_LT(nRate, 3000) << "a second of the stopped TCP download counted into test 5";
}

TEST_F(SessionTest, StopDuringAStalledUploadReturnsAtOnce) {
    StartNode();
    Fill(NodeAddress(), ClientAddress(), "20000", {1}, "30");
    ClickStartStop();
    ASSERT_TRUE(PumpUntil([&] { return Record(1).upload.size() >= 1; }, 10s));
    // The node stops reading; the upload fills every buffer on the way.
    m_node.Signal(SIGSTOP);
    Pump(1500ms);
    const auto start = std::chrono::steady_clock::now();
    ClickStartStop();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    m_node.Signal(SIGCONT);
    EXPECT_LT(elapsed, Promptly(1s));
    EXPECT_EQ(Button(), "Start");
    EXPECT_FALSE(m_pDlg->IsSessionOpen());
    EXPECT_TRUE(WaitForLog("session ended")) << m_node.Log();
}

TEST_F(SessionTest, LoadTestEndsARunningSessionBeforeItsDialog) {
    StartNode();
    Fill(NodeAddress(), ClientAddress(), "20000", {2}, "20");
    ClickStartStop();
    ASSERT_TRUE(PumpUntil([&] { return Record(2).download.size() >= 1; }, 10s));
    bool bAsked = false;
    m_pDlg->GetPrompts().SetFileNameHandler([&](bool bSave) -> std::optional<std::string> {
        bAsked = true;
        EXPECT_FALSE(bSave);
        EXPECT_FALSE(m_pDlg->IsSessionOpen());
        EXPECT_TRUE(WaitForLog("session ended (session end from the client)")) << m_node.Log();
        return std::nullopt;
    });
    const size_t nSamples = Record(2).download.size();
    m_pDlg->OnLoadTest();
    EXPECT_TRUE(bAsked);
    EXPECT_EQ(Button(), "Start");
    // Cancelled: the interrupted session's records stay.
    EXPECT_GE(Record(2).download.size(), nSamples);
}

TEST_F(SessionTest, TheWindowPaintsWhileConnectingAndTheButtonGivesTheStartUp) {
    // A listener whose one-place accept queue is full drops every further
    // connection request: a connect to it hangs.
    const std::string strNode = NodeAddress();
    std::atomic<uint16_t> nPort{0};
    std::atomic<bool> bDone{false};
    NetnsThread listener(m_pNetns->B().strNamespace, [&] {
        TcpListener full(strNode.c_str(), 0);
        const sockaddr_in addr = Ipv4Address(strNode, full.Port());
        const int nFiller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(nFiller, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        nPort = full.Port();
        while (!bDone)
            std::this_thread::sleep_for(10ms);
        ::close(nFiller);
    });
    ASSERT_TRUE(PumpUntil([&] { return nPort != 0; }, 5s));
    Fill(strNode, ClientAddress(), std::to_string(nPort), {1}, "2");
    const size_t nDescriptors = CountEntries("/proc/self/fd"); // the listener's included

    CEventCounter paints(QEvent::Paint);
    m_pDlg->GetChartFrame().installEventFilter(&paints);
    bool bWasStarting = false;
    QTimer::singleShot(400ms, [&] { m_pDlg->Invalidate(); });
    std::chrono::steady_clock::time_point pressedAgain;
    QTimer::singleShot(800ms, [&] {
        bWasStarting = m_pDlg->IsStarting() && Button() == "Stop";
        pressedAgain = std::chrono::steady_clock::now();
        ClickStartStop(); // pressed again while connecting
    });
    ClickStartStop();
    const auto ended = std::chrono::steady_clock::now();
    const size_t nDescriptorsAfter = CountEntries("/proc/self/fd");
    bDone = true;

    EXPECT_TRUE(bWasStarting);
    EXPECT_GT(paints.Count(), 0) << "the chart was not painted while connecting";
    // The second press ended the connect, long before the connect's own bound.
    EXPECT_GE(ended, pressedAgain);
    EXPECT_LT(ended - pressedAgain, std::chrono::milliseconds(CClient::CONNECT_TIMEOUT_MS / 2));
    EXPECT_TRUE(m_messages.empty()) << m_messages[0];
    EXPECT_EQ(Button(), "Start");
    EXPECT_FALSE(m_pDlg->IsSessionOpen());
    EXPECT_EQ(nDescriptorsAfter, nDescriptors);
}

// A node of the test's own that sends what a real one never would.
TEST_F(SessionTest, OnlyALoneByteFrom0To6IsACommand) {
    const std::string strNode = NodeAddress();
    std::atomic<uint16_t> nPort{0};
    std::atomic<bool> bDone{false};
    std::atomic<int> nStep{0};
    NetnsThread node(m_pNetns->B().strNamespace, [&] {
        TcpListener listener(strNode.c_str());
        nPort = listener.Port();
        const int nSocket = listener.Accept(10s);
        const int nOne = 1;
        ::setsockopt(nSocket, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
        const unsigned char sends[][2] = {{7, 0}, {0x80, 0}, {1, 2}};
        const size_t lengths[] = {1, 1, 2};
        for (size_t i = 0; i < 3; ++i) {
            ::send(nSocket, sends[i], lengths[i], MSG_NOSIGNAL);
            std::this_thread::sleep_for(150ms); // each its own receive
        }
        nStep = 1;
        while (nStep != 2 && !bDone)
            std::this_thread::sleep_for(10ms);
        const unsigned char c6 = 6;
        ::send(nSocket, &c6, 1, MSG_NOSIGNAL);
        while (!bDone)
            std::this_thread::sleep_for(10ms);
        ::close(nSocket);
    });
    ASSERT_TRUE(PumpUntil([&] { return nPort != 0; }, 5s));
    Fill(strNode, ClientAddress(), std::to_string(nPort), {2, 5}, "2");
    ClickStartStop();
    ASSERT_TRUE(PumpUntil([&] { return nStep == 1; }, 5s));
    Pump(200ms);
    EXPECT_EQ(m_pDlg->GetCurrentTest(), 0);
    EXPECT_TRUE(m_pDlg->IsSessionOpen());
    // A lone 6 runs test 6, though test 2 was asked for, and its upload ends
    // with it, whatever follows (the capture may count its last for a second).
    nStep = 2;
    EXPECT_TRUE(PumpUntil([&] { return m_pDlg->GetCurrentTest() == 6; }, 5s));
    EXPECT_TRUE(PumpUntil([&] { return Record(6).upload.size() == 2; }, 10s));
    Pump(3500ms);
    EXPECT_LT(std::stoi(m_pDlg->GetNetDlg().GetDlgItemText(IDC_UPLOAD_RATE)), 1000);
    ClickStartStop();
    bDone = true;
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(SessionTest, TwoHundredSessionsLeaveNoDescriptorOrThreadBehind) {
    StartNode();
    Fill(NodeAddress(), ClientAddress(), "20000", {1, 2, 3, 4, 5, 6}, "30");
    const auto Cycle = [&] {
        ClickStartStop();
        ASSERT_EQ(Button(), "Stop") << (m_messages.empty() ? "" : m_messages[0]);
        ClickStartStop();
        ASSERT_EQ(Button(), "Start");
    };
    Cycle();
    Pump(700ms); // the meter's linger
    const size_t nDescriptors = CountEntries("/proc/self/fd");
    const size_t nThreads = CountEntries("/proc/self/task");
    for (int i = 0; i < 200 && !HasFatalFailure(); ++i)
        Cycle();
    EXPECT_TRUE(m_messages.empty());
    EXPECT_TRUE(PumpUntil(
        [&] {
            return CountEntries("/proc/self/fd") == nDescriptors &&
                   CountEntries("/proc/self/task") == nThreads;
        },
        3s))
        << CountEntries("/proc/self/fd") << " descriptors (were " << nDescriptors << "), "
        << CountEntries("/proc/self/task") << " threads (were " << nThreads << ")";
}

} // namespace
