// The main window and its pages as a user meets them: real widgets offscreen,
// the real results file through the window's own menu handlers.
#include "app/chart_view.h"
#include "app/main_dlg.h"
#include "res/group_box.h"
#include "res/resource.h"
#include "res/tab_control.h"
#include "results/results_file.h"
#include "tests/support/qt_app.h"
#include "tests/support/test_folder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::PumpUntil;

namespace {

enum class Kind { Label, Group, Edit, Combo, Button, Check, Tabs, Frame, Icon };

struct Expected {
    int nTemplate;
    int nId;
    Kind kind;
    const char* pszText;
    int x, y, cx, cy;
};

// The windows as designed, written out independently of the templates.
const Expected kExpected[] = {
    {IDD_MAIN, 1012, Kind::Tabs, "", 7, 7, 153, 184},
    {IDD_MAIN, 1020, Kind::Tabs, "", 167, 7, 296, 14},
    {IDD_MAIN, 1005, Kind::Frame, "", 167, 20, 296, 171},
    {IDD_CLIENT_PAGE, -1, Kind::Group, "Client", 0, 0, 140, 74},
    {IDD_CLIENT_PAGE, -1, Kind::Label, "Node Port:", 5, 13, 36, 8},
    {IDD_CLIENT_PAGE, 1009, Kind::Edit, "20000", 43, 10, 30, 14},
    {IDD_CLIENT_PAGE, -1, Kind::Label, "Node IP:", 5, 28, 29, 8},
    {IDD_CLIENT_PAGE, 1010, Kind::Edit, "", 43, 25, 88, 14},
    {IDD_CLIENT_PAGE, -1, Kind::Label, "Client IP:", 5, 42, 30, 8},
    {IDD_CLIENT_PAGE, 1022, Kind::Combo, nullptr, 43, 40, 88, 58},
    {IDD_CLIENT_PAGE, 1011, Kind::Button, "Start", 93, 58, 38, 11},
    {IDD_CLIENT_PAGE, -1, Kind::Group, "Status", 0, 79, 139, 52},
    {IDD_CLIENT_PAGE, -1, Kind::Label, "Current Test:", 5, 90, 44, 8},
    {IDD_CLIENT_PAGE, 1023, Kind::Label, "0 (0)", 86, 89, 46, 8},
    {IDD_CLIENT_PAGE, -1, Kind::Label, "Download Rate (KB/s):", 5, 102, 74, 8},
    {IDD_CLIENT_PAGE, 1024, Kind::Label, "0", 86, 102, 46, 8},
    {IDD_CLIENT_PAGE, -1, Kind::Label, "Upload Rate (KB/s):", 5, 116, 64, 8},
    {IDD_CLIENT_PAGE, 1025, Kind::Label, "0", 86, 116, 46, 8},
    {IDD_TESTS_PAGE, -1, Kind::Group, "Run Tests", 0, 0, 139, 160},
    {IDD_TESTS_PAGE, -1, Kind::Group, "TCP Tests", 4, 12, 131, 49},
    {IDD_TESTS_PAGE, 1013, Kind::Check, "Test 1: TCP Upload Test", 7, 23, 93, 10},
    {IDD_TESTS_PAGE, 1014, Kind::Check, "Test 2: TCP Download Test", 7, 35, 103, 10},
    {IDD_TESTS_PAGE, 1015, Kind::Check, "Test 3: TCP Upload/Download Test", 7, 47, 124, 10},
    {IDD_TESTS_PAGE, -1, Kind::Group, "UDP Tests", 4, 65, 131, 49},
    {IDD_TESTS_PAGE, 1016, Kind::Check, "Test 4: UDP Upload Test", 7, 76, 94, 10},
    {IDD_TESTS_PAGE, 1017, Kind::Check, "Test 5: UDP Download Test", 7, 88, 103, 10},
    {IDD_TESTS_PAGE, 1018, Kind::Check, "Test 6: UDP Upload/Download Test", 7, 100, 124, 10},
    {IDD_TESTS_PAGE, -1, Kind::Group, "Time Length Per Test", 4, 116, 131, 40},
    {IDD_TESTS_PAGE, 1019, Kind::Edit, "30", 7, 128, 21, 12},
    {IDD_TESTS_PAGE, -1, Kind::Label, "Seconds", 32, 130, 28, 8},
    {IDD_ABOUT, -1, Kind::Label, "Author:", 41, 7, 40, 8},
    {IDD_ABOUT, -1, Kind::Label, "EMail:", 41, 20, 40, 8},
    {IDD_ABOUT, -1, Kind::Label, "Website:", 41, 33, 40, 8},
    {IDD_ABOUT, 1, Kind::Button, "OK", 119, 50, 50, 14},
};

bool IsKind(QWidget* pWidget, Kind kind) {
    switch (kind) {
    case Kind::Label:
        return qobject_cast<QLabel*>(pWidget) != nullptr;
    case Kind::Group:
        return qobject_cast<QGroupBox*>(pWidget) != nullptr;
    case Kind::Edit:
        return qobject_cast<QLineEdit*>(pWidget) != nullptr;
    case Kind::Combo:
        return qobject_cast<QComboBox*>(pWidget) != nullptr;
    case Kind::Button:
        return qobject_cast<QPushButton*>(pWidget) != nullptr;
    case Kind::Check:
        return qobject_cast<QCheckBox*>(pWidget) != nullptr;
    case Kind::Tabs:
        return dynamic_cast<CTabControl*>(pWidget) != nullptr;
    case Kind::Frame:
        return dynamic_cast<CChartView*>(pWidget) != nullptr;
    case Kind::Icon:
        return qobject_cast<QLabel*>(pWidget) != nullptr;
    }
    return false;
}

QString TextOf(QWidget* pWidget) {
    if (auto* p = qobject_cast<QLabel*>(pWidget))
        return p->text();
    if (auto* p = qobject_cast<QGroupBox*>(pWidget))
        return p->title();
    if (auto* p = qobject_cast<QLineEdit*>(pWidget))
        return p->text();
    if (auto* p = qobject_cast<QAbstractButton*>(pWidget))
        return p->text();
    return {};
}

// The control of a row: by id, or for a control without one by kind and text.
QWidget* FindControl(const CTemplateDialog& dialog, const Expected& row) {
    if (row.nId != IDC_STATIC)
        return dialog.GetDlgItem(row.nId);
    for (QWidget* pChild :
         dialog.GetClientArea()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (IsKind(pChild, row.kind) && TextOf(pChild) == QString::fromUtf8(row.pszText))
            return pChild;
    }
    return nullptr;
}

// Records what the Client page hands to its Start/Stop callback.
struct StartStopCall {
    bool bStop;
    std::string strNode;
    std::string strClient;
    unsigned short nPort;
};
std::vector<StartStopCall> g_calls;

bool RecordStartStop(const char* pszNode, const char* pszClient, unsigned short nPort) {
    g_calls.push_back(
        {pszNode == nullptr, pszNode ? pszNode : "", pszClient ? pszClient : "", nPort});
    return false;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pDlg = std::make_unique<CMainDlg>();
        m_pDlg->Create();
        m_pDlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
        m_pDlg->GetPrompts().SetMessageHandler(
            [this](const std::string& strCaption, const std::string& strText) {
                m_messages.push_back(strCaption + "|" + strText);
            });
        m_pDlg->GetPrompts().SetFileNameHandler([this](bool) { return m_nextFile; });
        g_calls.clear();
    }
    void TearDown() override { m_pDlg.reset(); }

    std::string PathOf(const std::string& strName) const { return m_folder.PathOf(strName); }

    // A file of realistic records: test 3 both ways for nSeconds seconds, test 1 upload.
    std::string WriteRealisticFile(const std::string& strName, uint16_t nSeconds) {
        TestResults results;
        ResetResults(results);
        for (int s = 0; s < nSeconds; ++s) {
            const float fRamp = 1.0f - std::exp(-static_cast<float>(s + 1) / 2.5f);
            RecordSample(results, 3, 6400.0f * fRamp + 350.0f * std::sin(s * 1.3f),
                         4700.0f + 420.0f * std::cos(s * 0.9f), nSeconds);
            RecordSample(results, 1, 0.0f, 9000.0f + 100.0f * (s % 3), nSeconds);
        }
        ComputeAverages(results, nSeconds);
        const std::string strPath = PathOf(strName);
        EXPECT_TRUE(WriteResultsFile(kResultCount, strPath, results.data()));
        return strPath;
    }

    // Resizes the window so that its outer rectangle, frame included, is this large.
    void ResizeOuter(int nWidth, int nHeight) {
        const QSize frame = m_pDlg->frameGeometry().size() - m_pDlg->size();
        m_pDlg->resize(nWidth - frame.width(), nHeight - frame.height());
        ASSERT_TRUE(
            PumpUntil([&] { return m_pDlg->frameGeometry().size() == QSize(nWidth, nHeight); }, 2s))
            << m_pDlg->frameGeometry().width() << "x" << m_pDlg->frameGeometry().height();
    }

    void Load(const std::string& strPath) {
        m_nextFile = strPath;
        m_pDlg->OnLoadTest();
    }

    static std::string ReadBytes(const std::string& strPath) {
        std::ifstream file(strPath, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    testing_support::CTestFolder m_folder{"bandscope_ui"};
    std::unique_ptr<CMainDlg> m_pDlg;
    std::optional<std::string> m_nextFile;
    std::vector<std::string> m_messages;
};

TEST_F(MainWindowTest, EveryTemplateControlHasItsIdKindTextAndPlace) {
    CAboutDlg about;
    about.Create(m_pDlg.get());
    const CTemplateDialog* dialogs[] = {m_pDlg.get(), &m_pDlg->GetNetDlg(), &m_pDlg->GetTestDlg(),
                                        &about};
    for (const Expected& row : kExpected) {
        const CTemplateDialog* pDialog =
            *std::find_if(std::begin(dialogs), std::end(dialogs), [&](const CTemplateDialog* p) {
                return p->GetTemplate().nId == row.nTemplate;
            });
        SCOPED_TRACE(::testing::Message() << "template " << row.nTemplate << ", id " << row.nId
                                          << ", \"" << (row.pszText ? row.pszText : "") << "\"");
        QWidget* pWidget = FindControl(*pDialog, row);
        ASSERT_NE(pWidget, nullptr);
        EXPECT_TRUE(IsKind(pWidget, row.kind));
        if (row.pszText != nullptr) {
            EXPECT_EQ(TextOf(pWidget).toStdString(), row.pszText);
        }

        const CDialogUnits& units = pDialog->GetDialogUnits();
        const QRect expected(units.ToPixelsX(row.x), units.ToPixelsY(row.y),
                             units.ToPixelsX(row.cx), units.ToPixelsY(row.cy));
        if (row.nId == IDC_CHART_FRAME || row.nId == IDC_CHART_TABS)
            continue; // the window lays the chart out itself, below
        if (row.kind == Kind::Combo) {
            // The height is the dropped list's; the box is its text's height.
            EXPECT_EQ(pWidget->geometry().topLeft(), expected.topLeft());
            EXPECT_EQ(pWidget->width(), expected.width());
            EXPECT_LE(pWidget->height(), expected.height());
        } else { // a text wider in this font than in the template's widens its control
            EXPECT_EQ(pWidget->geometry().adjusted(0, 0, expected.width() - pWidget->width(), 0),
                      expected);
            EXPECT_GE(pWidget->width(), expected.width());
        }
    }
    // The dialog font's units are those of an 8-point sans font.
    const CDialogUnits& units = m_pDlg->GetDialogUnits();
    EXPECT_GE(units.GetBaseX(), 5);
    EXPECT_LE(units.GetBaseX(), 8);
    EXPECT_GE(units.GetBaseY(), 11);
    EXPECT_LE(units.GetBaseY(), 16);
    EXPECT_EQ(about.windowTitle().toStdString(), "About Bandscope v" BANDSCOPE_VERSION);
    EXPECT_EQ(m_pDlg->windowTitle().toStdString(), "Bandscope");
}

TEST_F(MainWindowTest, PagesStartAsDesignedAndHandTheirInputOn) {
    CNetDlg& net = m_pDlg->GetNetDlg();
    CTestDlg& tests = m_pDlg->GetTestDlg();

    // Every address of this machine, sorted as text, the first selected.
    std::istringstream listed(CSocket().GetLocalAddresses());
    std::vector<std::string> addresses{std::istream_iterator<std::string>(listed), {}};
    std::sort(addresses.begin(), addresses.end());
    auto* pCombo = net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP);
    ASSERT_EQ(pCombo->count(), static_cast<int>(addresses.size()));
    for (int i = 0; i < pCombo->count(); ++i)
        EXPECT_EQ(pCombo->itemText(i).toStdString(), addresses[static_cast<size_t>(i)]);
    EXPECT_EQ(pCombo->currentIndex(), 0);

    for (int nTest = 1; nTest <= 6; ++nTest)
        EXPECT_EQ(tests.IsDlgButtonChecked(IDC_TEST_BASE + nTest), 1) << nTest;
    EXPECT_EQ(tests.GetDlgItemText(IDC_SECONDS), "30");
    EXPECT_EQ(net.GetDlgItemText(IDC_NODE_PORT), "20000");

    // Typed as a user types: fields take at most 5 and 3 characters.
    auto* pPort = net.GetDlgItemAs<QLineEdit>(IDC_NODE_PORT);
    pPort->clear();
    QTest::keyClicks(pPort, "9999912");
    EXPECT_EQ(pPort->text().toStdString(), "99999");
    auto* pSeconds = tests.GetDlgItemAs<QLineEdit>(IDC_SECONDS);
    pSeconds->clear();
    QTest::keyClicks(pSeconds, "12345");
    EXPECT_EQ(pSeconds->text().toStdString(), "123");

    // The typed texts go to the callback as they stand; the port wraps at 16 bits.
    QTest::keyClicks(net.GetDlgItemAs<QLineEdit>(IDC_NODE_IP), "node.example");
    pCombo->setEditText(QStringLiteral("10.1.2.3"));
    net.m_pfnStartStop = &RecordStartStop;
    QTest::mouseClick(net.GetDlgItemAs<QPushButton>(IDC_START_STOP), Qt::LeftButton);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_FALSE(g_calls[0].bStop);
    EXPECT_EQ(g_calls[0].strNode, "node.example");
    EXPECT_EQ(g_calls[0].strClient, "10.1.2.3");
    EXPECT_EQ(g_calls[0].nPort, 34463);
    // A refused start leaves the page idle.
    EXPECT_EQ(net.GetDlgItemText(IDC_START_STOP), "Start");
    EXPECT_FALSE(net.m_bRunning);

    // Status: negative values leave their label alone.
    net.m_nTests = 4;
    net.SetStatus(2, 1234, -1);
    EXPECT_EQ(net.GetDlgItemText(IDC_CURRENT_TEST), "2 (4)");
    EXPECT_EQ(net.GetDlgItemText(IDC_DOWNLOAD_RATE), "1234");
    EXPECT_EQ(net.GetDlgItemText(IDC_UPLOAD_RATE), "0");
}

TEST_F(MainWindowTest, EnterAndEscapeCloseNothingAndPressNothing) {
    CNetDlg& net = m_pDlg->GetNetDlg();
    CTestDlg& tests = m_pDlg->GetTestDlg();
    net.m_pfnStartStop = &RecordStartStop;
    const int nItems = net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP)->count();

    QWidget* targets[] = {
        net.GetDlgItem(IDC_NODE_PORT),
        net.GetDlgItem(IDC_NODE_IP),
        net.GetDlgItem(IDC_CLIENT_IP),
        net.GetDlgItem(IDC_START_STOP),
        &net,
        m_pDlg.get(),
        m_pDlg->GetChartTabs().GetTabBar(),
    };
    for (QWidget* pTarget : targets) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            pTarget->setFocus();
            QTest::keyClick(pTarget, key);
        }
    }
    m_pDlg->GetPageTabs().SetCurSel(1);
    for (QWidget* pTarget : {tests.GetDlgItem(IDC_SECONDS), tests.GetDlgItem(IDC_TEST_BASE + 3),
                             static_cast<QWidget*>(&tests)}) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            pTarget->setFocus();
            QTest::keyClick(pTarget, key);
        }
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(m_pDlg->isVisible());
    EXPECT_TRUE(tests.isVisible());
    m_pDlg->GetPageTabs().SetCurSel(0);
    EXPECT_TRUE(net.isVisible());
    EXPECT_TRUE(g_calls.empty()) << "Enter pressed the Start button";
    EXPECT_EQ(net.GetDlgItemAs<QComboBox>(IDC_CLIENT_IP)->count(), nItems);
    EXPECT_EQ(tests.IsDlgButtonChecked(IDC_TEST_BASE + 3), 1);
}

TEST_F(MainWindowTest, LayoutFollowsSizeAndMoveAndTabsSwitch) {
    CNetDlg& net = m_pDlg->GetNetDlg();
    CTestDlg& tests = m_pDlg->GetTestDlg();

    // The chart fills the window less fixed margins.
    ResizeOuter(900, 520);
    const QSize window = m_pDlg->frameGeometry().size();
    EXPECT_EQ(m_pDlg->GetChartFrame().geometry(),
              QRect(251, 32, window.width() - 267, window.height() - 90));
    EXPECT_EQ(m_pDlg->GetChartTabs().geometry(), QRect(251, 11, window.width() - 267, 20));
    const QSize full = net.size();
    EXPECT_EQ(full.width(), 210);

    // A client area that ends before them shrinks the pages to its edges...
    m_pDlg->setMinimumSize(0, 0);
    ResizeOuter(200, 250);
    const QPoint corner = m_pDlg->GetClientArea()->rect().bottomRight();
    EXPECT_TRUE(PumpUntil([&] { return net.geometry().bottomRight() == corner; }, 2s));
    EXPECT_EQ(tests.geometry(), net.geometry());
    // ...and a later move alone sets them back.
    m_pDlg->move(m_pDlg->pos() + QPoint(7, 5));
    EXPECT_TRUE(PumpUntil([&] { return net.size() == full; }, 2s));
    EXPECT_EQ(tests.size(), full);

    // One page at a time.
    EXPECT_TRUE(net.isVisible());
    EXPECT_FALSE(tests.isVisible());
    QTest::mouseClick(m_pDlg->GetPageTabs().GetTabBar(), Qt::LeftButton, {},
                      m_pDlg->GetPageTabs().GetTabBar()->tabRect(1).center());
    EXPECT_FALSE(net.isVisible());
    EXPECT_TRUE(tests.isVisible());

    // The chart strip: seven records, and a change redraws.
    ResizeOuter(900, 520);
    const char* captions[] = {"Test Average", "TCP Test 1", "TCP Test 2", "TCP Test 3",
                              "UDP Test 1",   "UDP Test 2", "UDP Test 3"};
    CTabControl& chartTabs = m_pDlg->GetChartTabs();
    ASSERT_EQ(chartTabs.GetItemCount(), 7);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(chartTabs.GetItemText(i), captions[i]);
    EXPECT_EQ(chartTabs.GetCurSel(), 0);
    testing_support::CEventCounter paints(QEvent::Paint);
    QCoreApplication::processEvents();
    m_pDlg->GetChartFrame().installEventFilter(&paints);
    chartTabs.SetCurSel(4);
    EXPECT_TRUE(PumpUntil([&] { return paints.Count() > 0; }, 2s));
}

// Both pages and the chart as they show at this scale (CTest also runs this
// at QT_SCALE_FACTOR=2): pages inside the tab strip's page area; controls
// inside their page, inside the frame and below the title of each group box
// holding them, none over another, no text cut; the chart's value labels
// clear of the plot.
TEST_F(MainWindowTest, PagesControlsAndChartLabelsFitTheirPlaces) {
    const auto TextRoom = [](QWidget* p) { // what a label or button leaves its text
        const int nText = p->fontMetrics().horizontalAdvance(TextOf(p));
        QStyleOptionButton option;
        option.initFrom(p);
        const auto element = qobject_cast<QCheckBox*>(p) ? QStyle::SE_CheckBoxContents
                                                         : QStyle::SE_PushButtonContents;
        return qobject_cast<QAbstractButton*>(p)
                   ? p->style()->subElementRect(element, &option, p).width() - nText
                   : (qobject_cast<QLabel*>(p) ? p->width() - nText : 0);
    };
    const CTabControl& tabs = m_pDlg->GetPageTabs();
    const QRect pane = tabs.geometry().adjusted(0, tabs.GetTabBar()->height(), 0, 0);
    for (CTemplateDialog* pPage :
         std::initializer_list<CTemplateDialog*>{&m_pDlg->GetNetDlg(), &m_pDlg->GetTestDlg()}) {
        EXPECT_TRUE(pane.contains(pPage->geometry()));
        const auto controls =
            pPage->GetClientArea()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (QWidget* pA : controls) {
            const QRect a = pA->geometry();
            EXPECT_TRUE(pPage->rect().contains(a) && TextRoom(pA) >= 0) << TextOf(pA).toStdString();
            for (QWidget* pB : controls) {
                const QRect b = pB->geometry();
                auto* pGroup = dynamic_cast<CGroupBox*>(pB);
                if (pA == pB || a.contains(b.topLeft()))
                    continue;
                EXPECT_TRUE(pGroup && b.contains(a.topLeft())
                                ? pGroup->InsideRect().translated(b.topLeft()).contains(a) &&
                                      a.top() > b.top() + pGroup->TitleRect().bottom()
                                : !a.intersects(b))
                    << TextOf(pA).toStdString() << " and " << TextOf(pB).toStdString();
            }
        }
    }
    // Up to five digits the plot stays where it was; wider labels move it
    // right, clear of the widest label.
    const CChartRenderer& chart = m_pDlg->GetChart();
    for (int32_t nMax : {79999, 99999, 125000, 1454504}) {
        TestResult record;
        record.max = nMax;
        const int nLeft = chart.PlotLeftFor(record);
        EXPECT_EQ(nLeft == chart.GetPlotLeft(), nMax == 79999);
        const QImage image = chart.Render(record, 30);
        int nInkRight = 0;
        for (int y = chart.GetPlotTop() - 8; y < chart.GetPlotBottom() + 8; ++y)
            for (int x = 1; x < nLeft; ++x)
                nInkRight = qGray(image.pixel(x, y)) < 100 ? std::max(nInkRight, x) : nInkRight;
        EXPECT_TRUE(nInkRight > 0 && nInkRight < nLeft - 1) << nMax << " KB/s: " << nInkRight;
    }
}

TEST_F(MainWindowTest, SaveThenLoadGivesTheSameRecordsAndBadFilesAreReported) {
    const std::string strOriginal = WriteRealisticFile("original.xml", 30);
    Load(strOriginal);
    EXPECT_TRUE(m_messages.empty());
    EXPECT_EQ(m_pDlg->GetSeconds(), 30);
    EXPECT_EQ(m_pDlg->GetResults()[3].download.size(), 30u);

    m_nextFile = PathOf("saved.xml");
    m_pDlg->OnSaveTest();
    EXPECT_EQ(ReadBytes(PathOf("saved.xml")), ReadBytes(strOriginal));

    // Selecting the averages recomputes them from the loaded tests.
    const TestResults loaded = m_pDlg->GetResults();
    m_pDlg->GetChartTabs().SetCurSel(3);
    m_pDlg->GetChartTabs().SetCurSel(0);
    EXPECT_EQ(m_pDlg->GetResults()[0].download, loaded[0].download);

    // The test length follows the averages' length, capped at 16 bits.
    TestResults long45;
    ResetResults(long45);
    long45[0].download.assign(45, 7);
    ASSERT_TRUE(WriteResultsFile(kResultCount, PathOf("45.xml"), long45.data()));
    Load(PathOf("45.xml"));
    EXPECT_EQ(m_pDlg->GetSeconds(), 45);
    long45[0].download.assign(70000, 1);
    ASSERT_TRUE(WriteResultsFile(kResultCount, PathOf("70000.xml"), long45.data()));
    Load(PathOf("70000.xml"));
    EXPECT_EQ(m_pDlg->GetSeconds(), 65535);

    // A bad file: reported, the records reset, the window still running.
    std::ofstream(PathOf("bad.xml")) << "<NetTest><test><name>half";
    Load(PathOf("bad.xml"));
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0].rfind("CXmlParser::Error|", 0), 0u) << m_messages[0];
    EXPECT_NE(m_messages[0].find("bad.xml"), std::string::npos) << m_messages[0];
    TestResults fresh;
    ResetResults(fresh);
    for (size_t i = 0; i < kResultCount; ++i) {
        EXPECT_EQ(m_pDlg->GetResults()[i].name, fresh[i].name);
        EXPECT_TRUE(m_pDlg->GetResults()[i].download.empty());
    }
    EXPECT_EQ(m_pDlg->GetSeconds(), 0);
    EXPECT_EQ(m_pDlg->GetNetDlg().m_nTests, 0);

    // A cancelled dialog changes nothing; a file that cannot be written is reported.
    Load(strOriginal);
    m_nextFile.reset();
    m_pDlg->OnLoadTest();
    EXPECT_EQ(m_pDlg->GetResults()[3].download.size(), 30u);
    m_nextFile = PathOf("no/such/folder/x.xml");
    m_pDlg->OnSaveTest();
    ASSERT_EQ(m_messages.size(), 2u);
    EXPECT_EQ(m_messages[1].rfind("CXmlParser::Error|", 0), 0u) << m_messages[1];
    EXPECT_TRUE(m_pDlg->isVisible());
}

TEST_F(MainWindowTest, TheGrabbedWindowShowsTheLoadedRecordsLines) {
    Load(WriteRealisticFile("realistic.xml", 30));
    ResizeOuter(960, 560);
    m_pDlg->GetChartTabs().SetCurSel(3);
    QCoreApplication::processEvents();

    const QImage image = m_pDlg->grab().toImage();
    const CChartRenderer& chart = m_pDlg->GetChart();
    const QPoint origin = m_pDlg->GetChartFrame().mapTo(m_pDlg.get(), QPoint(0, 0));
    const QRect plot(origin + QPoint(chart.GetPlotLeft(), chart.GetPlotTop()),
                     origin + QPoint(chart.GetPlotRight() - 1, chart.GetPlotBottom() - 1));
    int nDownload = 0;
    int nUpload = 0;
    for (int y = plot.top() + 1; y < plot.bottom(); ++y) {
        for (int x = plot.left() + 1; x < plot.right(); ++x) {
            const QColor colour = image.pixelColor(x, y);
            nDownload += colour == QColor(64, 192, 64);
            nUpload += colour == QColor(64, 64, 192);
        }
    }
    // Two polylines of 30 segments each, 2 pixels wide, across the plot.
    EXPECT_GT(nDownload, plot.width());
    EXPECT_GT(nUpload, plot.width());

    // Another record's tab shows that record: test 1 has no download line.
    m_pDlg->GetChartTabs().SetCurSel(1);
    QCoreApplication::processEvents();
    const QImage test1 = m_pDlg->grab().toImage();
    int nDownload1 = 0;
    for (int y = plot.top() + 1; y < plot.bottom(); ++y)
        for (int x = plot.left() + 1; x < plot.right(); ++x)
            nDownload1 += test1.pixelColor(x, y) == QColor(64, 192, 64);
    EXPECT_EQ(nDownload1, 0);
}

} // namespace
