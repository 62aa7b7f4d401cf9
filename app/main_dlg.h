// CMainDlg: the main window. It owns everything else: the Client and Run
// Tests pages on its left, the chart of the selected result record on its
// right, the seven records, the results file reader, and every network
// worker of a test session. The session controller's operations are members
// too; they live in session.cpp.
#pragma once

#include "app/ui_queue.h"
#include "net/client.h"
#include "net/client_udp.h"
#include "net/packet.h"
#include "net/socket.h"
#include "net/traffic_filter.h"
#include "net/traffic_meter.h"
#include "net/traffic_sender.h"
#include "res/template_dialog.h"
#include "results/chart_renderer.h"
#include "results/test_result.h"
#include "results/xml_parser.h"
#include "ui/about_dlg.h"
#include "ui/net_dlg.h"
#include "ui/prompts.h"
#include "ui/test_dlg.h"

#include <QIcon>
#include <QRect>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class CTabControl;
class CChartView;
class QTimer;

class CMainDlg : public CTemplateDialog {
public:
    // The pages lie in the left tab strip's page area, at most this large.
    static constexpr int PAGE_WIDTH = 210;
    static constexpr int PAGE_HEIGHT = 265;
    // The chart's strip and drawing area, in client pixels.
    static constexpr int CHART_LEFT = 251;
    static constexpr int CHART_TABS_TOP = 11;
    static constexpr int CHART_TABS_HEIGHT = 20;
    static constexpr int CHART_TOP = 32;
    // The manual, looked for in the current directory, beside the program,
    // then where the package installs it.
    static constexpr const char* MANUAL_FILE = "Bandscope.pdf";

    // Creates every worker idle and makes this the window the callbacks reach.
    CMainDlg();
    // Pages first, then the workers (senders before what they send through),
    // then the rest; a running session is not announced to the node.
    ~CMainDlg() override;

    // Menu commands.
    void OnLoadTest();
    void OnSaveTest();
    void OnExit();
    void OnManual();
    void OnAbout();

    // The session controller (session.cpp).
    static bool OnStartStop(const char* pszNode, const char* pszClient, unsigned short nPort);
    void StopTests();
    // Four dot-separated decimal numbers 0..255 of at most three digits each;
    // empty pieces between dots do not count. Anything else is a host name.
    static bool IsDottedAddress(const char* pszText);
    // Between a successful Start and the session's end.
    bool IsSessionOpen() const { return m_bSession; }
    // While Start looks the node up and connects.
    bool IsStarting() const { return m_bStarting; }

    // One second of a session as the controller handled it: the running
    // test (0 before the node's first command), the samples its limiting
    // series holds, whether this one was stored, the test asked for and not
    // yet confirmed (0: none), and its rates in KB/s.
    struct SampleReport {
        int nTest;
        size_t nDone;
        bool bStored;
        int nNext;
        int nDownload;
        int nUpload;
    };
    // Observers for a run without a window: each handled sample, and the end
    // of a session.
    void SetSampleObserver(std::function<void(const SampleReport&)> pfnObserver) {
        m_pfnSampleObserver = std::move(pfnObserver);
    }
    void SetSessionEndObserver(std::function<void()> pfnObserver) {
        m_pfnSessionEndObserver = std::move(pfnObserver);
    }
    // The capture's counts for the last session (final once it ended).
    CPacket::Stats GetCaptureStats() const { return m_pPacket->GetStats(); }
    // The node connection's socket (null without one), and what arrived of
    // the running UDP download test's datagrams.
    std::shared_ptr<CSocket> GetNodeSocket() const { return m_pClient->GetSocket(); }
    SUdpFigures GetUdpFigures() const { return m_pClientUDP->GetStreamFigures(); }
    // The message box caption and text shown when the node goes away mid-session.
    static constexpr const char* NODE_CLOSED_TEXT = "The node closed the connection.";
    // Without a user to press Stop, a session gives up where the window waits
    // for one: the node's end command, its close and a confirmation of a test
    // that was not asked for end the session at once with a message, and so
    // does a request that is not confirmed within CONFIRM_WAIT_MS.
    void SetUnattended(bool bUnattended) { m_bUnattended = bUnattended; }
    static constexpr int CONFIRM_WAIT_MS = 10000;
    static constexpr const char* NODE_ENDED_TEXT =
        "The node ended the session before every test had run.";
    // How long the meter keeps running after a session ends.
    static constexpr int METER_LINGER_MS = 500;
    // The longest a session's end waits for the node to close the connection.
    static constexpr uint32_t SESSION_END_WAIT_MS = 250;
    // The longest the sender may take to finish the block it is writing.
    // (It notices within 50 ms and finishes a block within 200 ms.)
    static constexpr uint32_t SENDER_FINISH_MS = 300;
    // The longest a close waits for a receive thread that it has woken.
    static constexpr uint32_t RECEIVE_END_WAIT_MS = 500;

    // What tests and the run without a window look at.
    CNetDlg& GetNetDlg() { return *m_pNetDlg; }
    CTestDlg& GetTestDlg() { return *m_pTestDlg; }
    CTabControl& GetPageTabs() { return *m_pPageTabs; }
    CTabControl& GetChartTabs() { return *m_pChartTabs; }
    QWidget& GetChartFrame();
    QRect GetPageArea() const { return PageArea(); }
    CPrompts& GetPrompts() { return m_prompts; }
    const TestResults& GetResults() const { return m_results; }
    uint16_t GetSeconds() const { return m_nSeconds; }
    int32_t GetCurrentTest() const { return m_nCurrentTest; }
    const CChartRenderer& GetChart() const { return *m_pChart; }
    // Redraws the chart soon, without erasing it first.
    void Invalidate();

protected:
    bool OnInitDialog() override;
    void OnCommand(int nId) override;
    QWidget* CreateControl(const ControlTemplate& control, QWidget* pParent) override;

    void resizeEvent(QResizeEvent* pEvent) override;
    void moveEvent(QMoveEvent* pEvent) override;
    void paintEvent(QPaintEvent* pEvent) override;

private:
    void OnSize();
    void OnMove();
    void OnPageTabChange();
    void OnResultsTabChange();
    void OnPaintChart(QPainter& painter);
    // The room the left tab strip gives its pages, below its tabs and inside
    // its frame, in client pixels; the pages lie there, at most as large as
    // given.
    QRect PageArea() const;
    QPoint PagePosition() const;
    void PlacePages(int nWidth, int nHeight);
    // The records and the counts that go with them.
    void ResetResults();
    void closeEvent(QCloseEvent* pEvent) override;

    // The controller's steps on the user-interface thread (session.cpp).
    bool StartTests(const std::string& strNode, const std::string& strClient, uint16_t nPort);
    void OnNodeCommand(uint32_t nSession, int nCommand);
    void OnNodeClosed(uint32_t nSession);
    void OnSample(uint32_t nSession, float fDownload, float fUpload);
    // Stops the sender; true once it has ended (its block finished).
    bool StopSender();
    // Closes the node connection and the UDP client, and lets their receive
    // threads end.
    void CloseClients();
    // Asks the node for a test; in a run without a user, a new request has
    // CONFIRM_WAIT_MS to be confirmed.
    void RequestTest(int nTest);
    void OnConfirmWaitOver();
    // Events of the connection being made wait until its session is open;
    // false for an event that is to be held or dropped.
    bool TakeNodeEvent(uint32_t nSession, std::function<void()> fnLater);
    void ReleaseNodeEvents(uint32_t nSession);
    // Ends the session and says why, in one message box.
    void FailSession(const char* pszCaption, const std::string& strText);
    // Runs fn on a thread of its own while the window keeps painting; false
    // (fn not run) when the system would make no more threads.
    bool RunWhilePainting(const std::function<void()>& fn);
    // The page's fields while Start looks the node up and connects.
    void SetStarting(bool bStarting);

    // Session callbacks, on the workers' threads (session.cpp).
    static void OnNodeMessage(const char* pData, int32_t nLength);
    static void OnUdpMessage(const char* pData, int32_t nLength, const std::string& strAddress,
                             uint16_t nPort, CClientUDP::Clock::time_point arrival);
    static void OnPacket(const char* pPacket, int32_t nLength, CPacket::Clock::time_point stamp);
    static void OnRateSample(int32_t nKind, float fDownload, float fUpload);

    CSocket m_lookup;         // looks node names up; never connected
    CUiQueue m_uiQueue{this}; // the workers' events, run on the UI thread
    std::unique_ptr<CClient> m_pClient;
    std::unique_ptr<CClientUDP> m_pClientUDP;
    std::unique_ptr<CPacket> m_pPacket;
    std::unique_ptr<CTrafficMeter> m_pMeter;
    std::unique_ptr<CTrafficSender> m_pSender;
    CXmlParser m_xmlParser;
    std::vector<CTrafficFilter> m_filters;
    QIcon m_icon;
    QRect m_rcWindow; // the outer window, as last read
    int32_t m_nCurrentTest = 0;
    float m_gridDivisions = 5.0f;
    uint16_t m_nSeconds = 30;
    std::string m_strNodeAddress;
    uint16_t m_nNodePort = 0;
    std::vector<int32_t> m_pendingTests;
    std::unique_ptr<CNetDlg> m_pNetDlg;
    std::unique_ptr<CTestDlg> m_pTestDlg;
    std::unique_ptr<CAboutDlg> m_pAboutDlg;
    TestResults m_results;
    std::unique_ptr<CChartRenderer> m_pChart;
    // The session: its number (events of an earlier one are dropped), whether
    // it runs, whether Start is still connecting, and whether the node left.
    std::atomic<uint32_t> m_nSession{0};
    bool m_bSession = false;
    bool m_bStarting = false;
    bool m_bCancelStart = false;
    bool m_bNodeGone = false;
    bool m_bUnattended = false;
    // The test asked for and not yet confirmed (0: none).
    int m_nRequested = 0;
    // What the connection delivered while Start was still connecting.
    bool m_bHoldNodeEvents = false;
    std::vector<std::function<void()>> m_heldNodeEvents;
    QTimer* m_pMeterTimer = nullptr;
    QTimer* m_pConfirmTimer = nullptr;
    std::function<void(const SampleReport&)> m_pfnSampleObserver;
    std::function<void()> m_pfnSessionEndObserver;
    CChartView* m_pChartFrame = nullptr;
    CTabControl* m_pPageTabs = nullptr;
    CTabControl* m_pChartTabs = nullptr;
    CPrompts m_prompts{this};
};

// The one main window; set by its constructor, never cleared.
extern CMainDlg* g_pMainDlg;
