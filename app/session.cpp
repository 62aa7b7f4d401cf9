// The test session controller: Start and Stop, the node's commands and the
// meter's samples. Workers call the static callbacks on their own threads;
// everything but the capture's hot path is handed to the user-interface
// thread, where the controller runs single-threaded in the order of events.
#include "app/main_dlg.h"

#include "res/resource.h"
#include "res/tab_control.h"
#include "results/results_file.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QMenuBar>
#include <QTimer>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

constexpr const char* kPacketCaption = "CPacket::Error";
constexpr const char* kUdpCaption = "CClientUDP::Error";
constexpr const char* kClientCaption = "CClient::Error";
constexpr const char* kMeterCaption = "CTrafficMeter::Error";

// The longest seconds text read from the Tests page.
constexpr int kSecondsChars = 9;

} // namespace

bool CMainDlg::IsDottedAddress(const char* pszText) {
    if (pszText == nullptr)
        return false;
    int nPieces = 0;
    const char* p = pszText;
    while (*p != '\0') {
        if (*p == '.') {
            ++p; // empty pieces between dots are skipped
            continue;
        }
        const char* pEnd = std::strchr(p, '.');
        const size_t nLength = pEnd ? static_cast<size_t>(pEnd - p) : std::strlen(p);
        if (nLength > 3 || ++nPieces > 4)
            return false;
        int nValue = 0;
        for (size_t i = 0; i < nLength; ++i) {
            if (p[i] < '0' || p[i] > '9')
                return false;
            nValue = nValue * 10 + (p[i] - '0');
        }
        if (nValue > 255)
            return false;
        p += nLength;
    }
    return nPieces == 4;
}

bool CMainDlg::OnStartStop(const char* pszNode, const char* pszClient, unsigned short nPort) {
    CMainDlg& dlg = *g_pMainDlg;
    if (dlg.m_bStarting) {
        // Pressed again while connecting: give the start up.
        dlg.m_bCancelStart = true;
        dlg.m_pClient->Close();
        return false;
    }
    if (pszNode == nullptr && pszClient == nullptr && nPort == 0) {
        dlg.StopTests();
        return true;
    }
    return dlg.StartTests(pszNode ? pszNode : "", pszClient ? pszClient : "", nPort);
}

bool CMainDlg::StartTests(const std::string& strNode, const std::string& strClient,
                          uint16_t nPort) {
    m_bCancelStart = false;
    SetStarting(true);
    struct CEndStarting {
        CMainDlg* pDlg;
        ~CEndStarting() { pDlg->SetStarting(false); }
    } endStarting{this};

    if (IsDottedAddress(strNode.c_str())) {
        m_strNodeAddress = strNode;
    } else {
        std::string strAddress;
        if (!RunWhilePainting([&] { strAddress = m_lookup.GetHostAddress(strNode); })) {
            m_prompts.MessageBox(kClientCaption, WinsockErrorText(WSAEPROCLIM));
            return false;
        }
        m_strNodeAddress = strAddress;
    }
    m_nNodePort = nPort;
    if (m_bCancelStart)
        return false;

    // The meter of the session before may still run: it stops before the
    // capture feeds it again, and what it counted then is dropped, so that
    // the filter changes under no packet and the first second holds nothing
    // of that session.
    m_pMeterTimer->stop();
    m_pMeter->Stop(false);
    m_pMeter->ResetCounts();
    if (!m_pPacket->Open(strClient, 0)) {
        m_prompts.MessageBox(kPacketCaption, m_pPacket->GetErrorText());
        return false;
    }
    if (!m_pClientUDP->Open(strClient, nPort)) {
        m_prompts.MessageBox(kUdpCaption, m_pClientUDP->GetErrorText());
        m_pPacket->Close();
        return false;
    }

    // The new connection's receive thread starts inside Connect, and a node
    // that refuses the session answers at once: everything it delivers from
    // the first byte on belongs to the new session, and waits until that is
    // open.
    ++m_nSession;
    m_bHoldNodeEvents = true;
    m_heldNodeEvents.clear();
    bool bConnected = false;
    const bool bThread =
        RunWhilePainting([&] { bConnected = m_pClient->Connect(m_strNodeAddress, nPort); });
    if (!bThread || !bConnected || m_bCancelStart) {
        m_bHoldNodeEvents = false;
        m_heldNodeEvents.clear();
        // A start given up by the user needs no message.
        if (!bThread)
            m_prompts.MessageBox(kClientCaption, WinsockErrorText(WSAEPROCLIM));
        else if (!m_bCancelStart)
            m_prompts.MessageBox(kClientCaption, m_pClient->GetErrorText());
        CloseClients();
        m_pPacket->Close();
        return false;
    }

    m_bSession = true;
    m_bNodeGone = false;
    m_nRequested = 0;
    ResetResults();

    // Descending, so that the last element is always the next test.
    m_pendingTests.clear();
    for (int nTest = kTestCount; nTest >= 1; --nTest) {
        if (m_pTestDlg->IsDlgButtonChecked(IDC_TEST_BASE + nTest) == 1)
            m_pendingTests.push_back(nTest);
    }
    m_pNetDlg->m_nTests = static_cast<int32_t>(m_pendingTests.size());
    m_nSeconds = static_cast<uint16_t>(
        ParseResultNumber(m_pTestDlg->GetDlgItemText(IDC_SECONDS, kSecondsChars)));

    m_filters[0].SetLocalAddress(strClient);
    if (!m_pMeter->Start(CTrafficMeter::DEFAULT_PERIOD, &m_filters)) {
        // Without its thread no second would ever be measured.
        m_bHoldNodeEvents = false;
        FailSession(kMeterCaption, WinsockErrorText(WSAEPROCLIM));
        return false;
    }
    m_pClient->SendSessionStart(m_nSeconds);
    if (m_pendingTests.empty()) {
        m_bHoldNodeEvents = false;
        StopTests();
        return false;
    }
    RequestTest(m_pendingTests.back());
    // Handled once the click is over, so that a session that the node ends
    // at once ends only after it has fully opened.
    m_uiQueue.Post([this, nSession = m_nSession.load()] { ReleaseNodeEvents(nSession); });
    return true;
}

void CMainDlg::OnConfirmWaitOver() {
    if (m_bSession && m_nRequested != 0)
        FailSession(kClientCaption, "The node did not confirm test " +
                                        std::to_string(m_nRequested) + " within " +
                                        std::to_string(CONFIRM_WAIT_MS / 1000) + " seconds.");
}

bool CMainDlg::TakeNodeEvent(uint32_t nSession, std::function<void()> fnLater) {
    if (nSession != m_nSession)
        return false;
    if (m_bHoldNodeEvents) {
        m_heldNodeEvents.push_back(std::move(fnLater));
        return false;
    }
    return m_bSession;
}

void CMainDlg::ReleaseNodeEvents(uint32_t nSession) {
    if (nSession != m_nSession)
        return; // a newer Start holds its own
    m_bHoldNodeEvents = false;
    std::vector<std::function<void()>> events;
    events.swap(m_heldNodeEvents);
    for (const auto& fnEvent : events)
        fnEvent();
}

void CMainDlg::RequestTest(int nTest) {
    if (m_bUnattended && nTest != m_nRequested)
        m_pConfirmTimer->start(CONFIRM_WAIT_MS);
    m_nRequested = nTest;
    // Counted from before the node can send the test's first datagram.
    m_pClientUDP->ResetStream(TestKind(nTest).UdpDownload() ? nTest : 0);
    m_pClient->SendTestRequest(nTest);
}

void CMainDlg::StopTests() {
    // The sender finishes its block before the end byte goes out on the
    // same connection, so the node sees whole blocks and then the end. A
    // sender that is still writing gets no end byte put into its block.
    const bool bSenderDone = StopSender();
    m_pPacket->Close();
    if (bSenderDone && m_pClient->IsConnected() && m_pClient->SendSessionEnd() == 1) {
        // The node closes once it has read the end byte. Until then the
        // receive thread takes in the download still on its way: closing on
        // unread data would reset the line, and the byte could be lost.
        m_pClient->WaitFor(SESSION_END_WAIT_MS);
    }
    CloseClients();

    m_bSession = false;
    m_nRequested = 0;
    m_pConfirmTimer->stop();
    m_pNetDlg->m_nTests = 0;
    m_pNetDlg->SetStatus(0, 0, 0);
    m_pNetDlg->ShowRunning(false);

    // The meter stops a little later without holding the window up; a new
    // session started meanwhile keeps it.
    m_pMeterTimer->start(METER_LINGER_MS);
    if (m_pfnSessionEndObserver)
        m_pfnSessionEndObserver();
}

void CMainDlg::CloseClients() {
    m_pClient->Close();
    m_pClientUDP->Close();
    // Each receive thread holds its socket until it notices the close, which
    // wakes it at once: nothing stays open after the click has returned.
    m_pClient->WaitFor(RECEIVE_END_WAIT_MS);
    m_pClientUDP->WaitFor(RECEIVE_END_WAIT_MS);
}

bool CMainDlg::StopSender() {
    m_pSender->Stop(true);
    return m_pSender->WaitFor(SENDER_FINISH_MS);
}

void CMainDlg::FailSession(const char* pszCaption, const std::string& strText) {
    StopTests();
    m_prompts.MessageBox(pszCaption, strText);
}

void CMainDlg::OnNodeMessage(const char* pData, int32_t nLength) {
    CMainDlg* pDlg = g_pMainDlg;
    const uint32_t nSession = pDlg->m_nSession;
    if (nLength == 0) {
        pDlg->m_uiQueue.Post([pDlg, nSession] { pDlg->OnNodeClosed(nSession); });
        return;
    }
    // A command arrives alone; anything longer is download data.
    if (nLength != 1)
        return;
    const int nCommand = static_cast<signed char>(pData[0]);
    if (nCommand != 0 && !IsTest(nCommand))
        return;
    pDlg->m_uiQueue.Post([pDlg, nSession, nCommand] { pDlg->OnNodeCommand(nSession, nCommand); });
}

void CMainDlg::OnNodeCommand(uint32_t nSession, int nCommand) {
    if (!TakeNodeEvent(nSession, [this, nSession, nCommand] { OnNodeCommand(nSession, nCommand); }))
        return;
    if (nCommand == 0) {
        if (m_bUnattended)
            FailSession(kClientCaption, NODE_ENDED_TEXT);
        else
            StopTests();
        return;
    }
    if (m_bUnattended && nCommand != m_nRequested) {
        // A late answer to a repeated request changes nothing; any other
        // test would leave one that was asked for unrun.
        if (m_nRequested == 0 && nCommand == m_nCurrentTest)
            return;
        FailSession(kClientCaption,
                    "The node started test " + std::to_string(nCommand) + ", but " +
                        (m_nRequested == 0 ? std::string("no test")
                                           : "test " + std::to_string(m_nRequested)) +
                        " was requested.");
        return;
    }
    m_nRequested = 0;
    m_pConfirmTimer->stop();
    m_nCurrentTest = nCommand;
    if (!m_pendingTests.empty())
        m_pendingTests.pop_back();
    if (TestKind(nCommand).TcpUpload())
        m_pSender->Start(true, std::string(), 0);
    else if (TestKind(nCommand).UdpUpload())
        m_pSender->Start(false, m_strNodeAddress, m_nNodePort);
}

void CMainDlg::OnNodeClosed(uint32_t nSession) {
    if (!TakeNodeEvent(nSession, [this, nSession] { OnNodeClosed(nSession); }))
        return;
    // In the window the test in progress runs to its end on the meter's
    // clock, and the sample that ends it ends the session; with no test
    // running, or nobody to read the window, there is nothing to wait for.
    m_bNodeGone = true;
    if (m_nCurrentTest == 0 || m_bUnattended)
        FailSession(kClientCaption, NODE_CLOSED_TEXT);
}

void CMainDlg::OnRateSample(int32_t nKind, float fDownload, float fUpload) {
    if (nKind != CTrafficMeter::REPORT_BYTES)
        return;
    CMainDlg* pDlg = g_pMainDlg;
    const uint32_t nSession = pDlg->m_nSession;
    pDlg->m_uiQueue.Post(
        [pDlg, nSession, fDownload, fUpload] { pDlg->OnSample(nSession, fDownload, fUpload); });
}

void CMainDlg::OnSample(uint32_t nSession, float fDownload, float fUpload) {
    // Samples after the session's end would add seconds nobody measured.
    if (nSession != m_nSession || !m_bSession)
        return;
    const auto fDown = static_cast<float>(static_cast<double>(fDownload) / 1000.0);
    const auto fUp = static_cast<float>(static_cast<double>(fUpload) / 1000.0);
    const int nTest = m_nCurrentTest;
    const bool bStored = RecordSample(m_results, nTest, fDown, fUp, m_nSeconds);
    if (m_pfnSampleObserver) {
        m_pfnSampleObserver({nTest, SecondsStored(m_results, nTest), bStored && nTest != 0,
                             m_pendingTests.empty() ? 0 : m_pendingTests.back(),
                             TruncateRate(fDown), TruncateRate(fUp)});
    }
    if (!bStored) {
        // The running test is over: its upload too, whichever test follows.
        if (TestKind(m_nCurrentTest).bUpload)
            StopSender();
        if (m_bNodeGone)
            FailSession(kClientCaption, NODE_CLOSED_TEXT);
        else if (!m_pendingTests.empty())
            RequestTest(m_pendingTests.back()); // again each second until confirmed
        else
            StopTests();
    }

    const int nSelected = m_pChartTabs->GetCurSel();
    if (nSelected == m_nCurrentTest) {
        Invalidate();
    } else if (nSelected == 0) {
        ComputeAverages(m_results, m_nSeconds);
        Invalidate();
    }
    if (m_bSession && m_pMeter->IsRunning())
        m_pNetDlg->SetStatus(m_nCurrentTest, TruncateRate(fDown), TruncateRate(fUp));
}

void CMainDlg::OnPacket(const char* pPacket, int32_t nLength, CPacket::Clock::time_point stamp) {
    CTrafficMeter& meter = *g_pMainDlg->m_pMeter;
    if (meter.IsRunning())
        meter.AddPacket(pPacket, nLength, stamp);
}

void CMainDlg::OnUdpMessage(const char*, int32_t, const std::string&, uint16_t,
                            CClientUDP::Clock::time_point) {
    // UDP downloads are counted by the capture alone.
}

bool CMainDlg::RunWhilePainting(const std::function<void()>& fn) {
    QEventLoop loop;
    std::thread worker;
    try {
        worker = std::thread([&] {
            fn();
            m_uiQueue.Post([&loop] { loop.quit(); });
        });
    } catch (const std::system_error&) {
        return false; // no exception may leave a Qt event handler
    }
    loop.exec();
    worker.join();
    return true;
}

void CMainDlg::SetStarting(bool bStarting) {
    m_bStarting = bStarting;
    // While connecting only the button stays live: pressed, it gives up.
    for (int nId : {IDC_NODE_IP, IDC_NODE_PORT, IDC_CLIENT_IP})
        m_pNetDlg->GetDlgItem(nId)->setEnabled(!bStarting);
    m_pTestDlg->setEnabled(!bStarting);
    GetMenuBar()->setEnabled(!bStarting);
    m_pNetDlg->ShowRunning(bStarting || m_bSession);
}

void CMainDlg::closeEvent(QCloseEvent* pEvent) {
    if (m_bStarting) {
        m_bCancelStart = true;
        m_pClient->Close();
    }
    CTemplateDialog::closeEvent(pEvent);
}
