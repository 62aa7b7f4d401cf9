#include "app/main_dlg.h"

#include "app/chart_view.h"
#include "res/icons.h"
#include "res/resource.h"
#include "res/tab_control.h"
#include "results/results_file.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QUrl>
#include <algorithm>

CMainDlg* g_pMainDlg = nullptr;

namespace {

constexpr const char* kXmlErrorCaption = "CXmlParser::Error";

} // namespace

CMainDlg::CMainDlg()
    : CTemplateDialog(IDD_MAIN, true), m_pNetDlg(std::make_unique<CNetDlg>()),
      m_pTestDlg(std::make_unique<CTestDlg>()), m_pAboutDlg(std::make_unique<CAboutDlg>()) {
    m_icon = LoadIcon(IDI_MAIN);
    m_nCurrentTest = 0;
    g_pMainDlg = this;

    // Every address and every port count; the local address is set at Start.
    CTrafficFilter filter;
    filter.AddAddressRule(1, "*.*.*.*");
    filter.AddPortRule(1, 0);
    m_filters.push_back(std::move(filter));

    m_pClient = std::make_unique<CClient>(&CMainDlg::OnNodeMessage);
    m_pClientUDP = std::make_unique<CClientUDP>(&CMainDlg::OnUdpMessage);
    m_pPacket = std::make_unique<CPacket>(&CMainDlg::OnPacket);
    m_pMeter = std::make_unique<CTrafficMeter>(&CMainDlg::OnRateSample);
    m_pMeter->SetSelectedFilter(0);
    m_pSender = std::make_unique<CTrafficSender>(m_pClient.get(), m_pClientUDP.get());

    m_pNetDlg->m_pfnStartStop = &CMainDlg::OnStartStop;
}

CMainDlg::~CMainDlg() {
    m_pNetDlg.reset();
    m_pTestDlg.reset();

    // The sender writes through both clients, and the meter posts to the
    // window's queue: both stop before what they use goes.
    m_pMeter->Stop(false);
    m_pSender->Stop(false);
    m_pSender.reset();
    m_pClient.reset();
    m_pClientUDP.reset();
    m_pPacket.reset();
    m_pMeter.reset();
    m_pAboutDlg.reset();
}

QWidget* CMainDlg::CreateControl(const ControlTemplate& control, QWidget* pParent) {
    switch (control.nId) {
    case IDC_CHART_FRAME:
        m_pChartFrame = new CChartView(pParent);
        return m_pChartFrame;
    case IDC_PAGE_TABS:
        m_pPageTabs = new CTabControl(pParent);
        return m_pPageTabs;
    case IDC_CHART_TABS:
        m_pChartTabs = new CTabControl(pParent);
        return m_pChartTabs;
    default:
        return nullptr;
    }
}

QWidget& CMainDlg::GetChartFrame() {
    return *m_pChartFrame;
}

bool CMainDlg::OnInitDialog() {
    setWindowIcon(m_icon);

    m_pPageTabs->InsertItem(0, "Net");
    m_pPageTabs->InsertItem(1, "Tests");
    for (int i = 0; i <= kTestCount; ++i)
        m_pChartTabs->InsertItem(i, TestKind(i).pszTab);
    m_pChartTabs->SetCurSel(0);
    connect(m_pPageTabs->GetTabBar(), &QTabBar::currentChanged, this,
            [this] { OnPageTabChange(); });
    // Wide enough at first that every chart tab shows without scrolling.
    const int nTabsWidth = m_pChartTabs->GetTabBar()->sizeHint().width() + 4;
    const int nWider = nTabsWidth + CChartRenderer::kWindowExtraWidth - width();
    if (nWider > 0) {
        resize(width() + nWider, height());
        move(pos() - QPoint(nWider / 2, 0)); // still centred
    }
    connect(m_pChartTabs->GetTabBar(), &QTabBar::currentChanged, this,
            [this] { OnResultsTabChange(); });

    m_pNetDlg->Create(GetClientArea());
    m_pTestDlg->Create(GetClientArea());
    m_pNetDlg->show();
    m_pTestDlg->hide();

    m_rcWindow = frameGeometry();

    m_pChart = std::make_unique<CChartRenderer>();
    m_gridDivisions = 5.0f;
    m_pChart->SetGridDivisions(m_gridDivisions);
    m_pChartFrame->SetPainter([this](QPainter& painter) { OnPaintChart(painter); });
    m_nSeconds = 30;
    ResetResults();

    m_pMeterTimer = new QTimer(this);
    m_pMeterTimer->setSingleShot(true);
    connect(m_pMeterTimer, &QTimer::timeout, this, [this] {
        if (!m_bSession)
            m_pMeter->Stop(true);
    });

    m_pConfirmTimer = new QTimer(this);
    m_pConfirmTimer->setSingleShot(true);
    connect(m_pConfirmTimer, &QTimer::timeout, this, [this] { OnConfirmWaitOver(); });

    // A move of one pixel lays the pages and the chart out.
    move(pos() - QPoint(1, 0));
    OnMove();
    OnSize();
    return true;
}

void CMainDlg::OnCommand(int nId) {
    switch (nId) {
    case ID_FILE_LOAD_TEST:
        OnLoadTest();
        break;
    case ID_FILE_SAVE_TEST:
        OnSaveTest();
        break;
    case ID_FILE_EXIT:
        OnExit();
        break;
    case ID_HELP_MANUAL:
        OnManual();
        break;
    case ID_HELP_ABOUT:
        OnAbout();
        break;
    default:
        break;
    }
}

void CMainDlg::resizeEvent(QResizeEvent* pEvent) {
    CTemplateDialog::resizeEvent(pEvent);
    if (IsCreated())
        OnSize();
}

void CMainDlg::moveEvent(QMoveEvent* pEvent) {
    CTemplateDialog::moveEvent(pEvent);
    if (IsCreated())
        OnMove();
}

QRect CMainDlg::PageArea() const {
    // The frame's lines and a little air; the row of tabs' own frame line
    // is the area's top line.
    constexpr int nInset = 2;
    const QRect tabs = m_pPageTabs->geometry();
    return QRect(QPoint(tabs.left() + nInset, tabs.top() + m_pPageTabs->GetTabBar()->height() + 1),
                 QPoint(tabs.right() - nInset, tabs.bottom() - nInset));
}

QPoint CMainDlg::PagePosition() const {
    // Centred across the area, just below the tabs.
    const QRect area = PageArea();
    return QPoint(area.left() + std::max(0, (area.width() - PAGE_WIDTH) / 2), area.top());
}

void CMainDlg::PlacePages(int nWidth, int nHeight) {
    // Smaller where the area has less room.
    const QRect area = PageArea();
    const QPoint pos = PagePosition();
    const QRect rect(pos, QSize(std::min(nWidth, area.right() + 1 - pos.x()),
                                std::min(nHeight, area.bottom() + 1 - pos.y())));
    for (CTemplateDialog* pPage : {static_cast<CTemplateDialog*>(m_pNetDlg.get()),
                                   static_cast<CTemplateDialog*>(m_pTestDlg.get())}) {
        if (pPage != nullptr && pPage->IsCreated()) {
            pPage->setGeometry(rect);
            pPage->raise();
        }
    }
}

void CMainDlg::OnSize() {
    m_rcWindow = frameGeometry();
    const int nWidth = m_rcWindow.width();
    const int nHeight = m_rcWindow.height();
    // The pages shrink where the client area ends before them. (Measured
    // from the outer window, as first designed, this would count title bars
    // and menus, which differ between desktops.)
    const QPoint pos = PagePosition();
    const QSize client = GetClientArea()->size();
    PlacePages(std::min(client.width() - pos.x(), PAGE_WIDTH),
               std::min(client.height() - pos.y(), PAGE_HEIGHT));

    m_pChart->SetWindowSize(nWidth, nHeight);
    const QSize chartArea = m_pChart->GetAreaSize();
    m_pChartFrame->setGeometry(CHART_LEFT, CHART_TOP, chartArea.width(), chartArea.height());
    m_pChartTabs->setGeometry(CHART_LEFT, CHART_TABS_TOP, chartArea.width(), CHART_TABS_HEIGHT);
}

void CMainDlg::OnMove() {
    m_rcWindow = frameGeometry();
    PlacePages(PAGE_WIDTH, PAGE_HEIGHT);
    update();
}

void CMainDlg::OnPageTabChange() {
    const bool bNet = m_pPageTabs->GetCurSel() == 0;
    m_pNetDlg->setVisible(bNet);
    m_pTestDlg->setVisible(!bNet);
}

void CMainDlg::OnResultsTabChange() {
    if (m_pChartTabs->GetCurSel() == 0)
        ComputeAverages(m_results, m_nSeconds);
    Invalidate();
}

void CMainDlg::Invalidate() {
    m_pChartFrame->update();
}

void CMainDlg::paintEvent(QPaintEvent* pEvent) {
    if (!isMinimized()) {
        CTemplateDialog::paintEvent(pEvent);
        return;
    }
    // Minimised, the window shows only its icon, centred.
    QPainter painter(this);
    const int nIcon = style()->pixelMetric(QStyle::PM_LargeIconSize);
    painter.drawPixmap((width() - nIcon + 1) / 2, (height() - nIcon + 1) / 2,
                       m_icon.pixmap(nIcon, nIcon));
}

void CMainDlg::OnPaintChart(QPainter& painter) {
    const int nSelected =
        std::clamp(m_pChartTabs->GetCurSel(), 0, static_cast<int>(kResultCount) - 1);
    m_pChart->Paint(painter, m_results[static_cast<size_t>(nSelected)], m_nSeconds);
}

void CMainDlg::ResetResults() {
    ::ResetResults(m_results);
    m_nCurrentTest = 0;
    m_pNetDlg->m_nTests = 0;
}

void CMainDlg::OnLoadTest() {
    // A session in progress ends first, even if no file is then chosen.
    if (IsSessionOpen())
        StopTests();
    const auto path = m_prompts.GetFileName(false);
    if (!path)
        return;
    ResetResults();
    if (!m_xmlParser.ReadResultsFile(*path, m_results))
        m_prompts.MessageBox(kXmlErrorCaption, m_xmlParser.GetErrorText());
    // The test length is the averages' length, as far as 16 bits reach.
    m_nSeconds = static_cast<uint16_t>(std::min<size_t>(m_results[0].download.size(), 65535));
    Invalidate();
}

void CMainDlg::OnSaveTest() {
    const auto path = m_prompts.GetFileName(true);
    if (!path)
        return;
    std::string strError;
    if (!WriteResultsFile(kResultCount, *path, m_results.data(), &strError))
        m_prompts.MessageBox(kXmlErrorCaption, strError);
}

void CMainDlg::OnExit() {
    done(0);
}

void CMainDlg::OnManual() {
    // The current directory's manual, else the one beside the program (a
    // build), else the package's. A missing manual, or nothing to show it
    // with, is not reported.
    QString strManual;
    for (const QString& strDir : {QDir::currentPath(), QCoreApplication::applicationDirPath(),
                                  QStringLiteral(BANDSCOPE_DOC_DIR)}) {
        strManual = QDir(strDir).filePath(QString::fromLatin1(MANUAL_FILE));
        if (QFileInfo::exists(strManual))
            break;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(strManual));
}

void CMainDlg::OnAbout() {
    m_pAboutDlg->DoModal(this);
}
