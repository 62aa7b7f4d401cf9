// CMainDlg: the main window. It owns everything else: the Client and Run
// Tests pages on its left, the chart of the selected result record on its
// right, the seven records, the results file reader, and every network
// worker of a test session. The session controller's operations are members
// too; they live in session.cpp.
#pragma once

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
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CTabControl;
class CChartView;

class CMainDlg : public CTemplateDialog {
public:
    // The pages lie at the window's top-left plus this, at most this large.
    static constexpr int PAGE_LEFT = 25;
    static constexpr int PAGE_TOP = 80;
    static constexpr int PAGE_WIDTH = 210;
    static constexpr int PAGE_HEIGHT = 265;
    // The chart's strip and drawing area, in client pixels.
    static constexpr int CHART_LEFT = 251;
    static constexpr int CHART_TABS_TOP = 11;
    static constexpr int CHART_TABS_HEIGHT = 20;
    static constexpr int CHART_TOP = 32;
    // The manual, looked for in the current directory.
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

    // What tests and the run without a window look at.
    CNetDlg& GetNetDlg() { return *m_pNetDlg; }
    CTestDlg& GetTestDlg() { return *m_pTestDlg; }
    CTabControl& GetPageTabs() { return *m_pPageTabs; }
    CTabControl& GetChartTabs() { return *m_pChartTabs; }
    QWidget& GetChartFrame();
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
    // Where the pages lie in the client area.
    QPoint PagePosition() const;
    void PlacePages(int nWidth, int nHeight);
    // The records and the counts that go with them.
    void ResetResults();

    // Session callbacks, on the workers' threads (session.cpp).
    static void OnNodeMessage(const char* pData, int32_t nLength);
    static void OnUdpMessage(const char* pData, int32_t nLength, std::string strAddress,
                             uint16_t nPort);
    static void OnPacket(const char* pPacket, int32_t nLength);
    static void OnRateSample(int32_t nKind, float fDownload, float fUpload);

    CSocket m_lookup; // looks node names up; never connected
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
    CChartView* m_pChartFrame = nullptr;
    CTabControl* m_pPageTabs = nullptr;
    CTabControl* m_pChartTabs = nullptr;
    CPrompts m_prompts{this};
};

// The one main window; set by its constructor, never cleared.
extern CMainDlg* g_pMainDlg;
