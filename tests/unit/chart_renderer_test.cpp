// The chart on a real offscreen image with real fonts: where its frame,
// grid, labels, marks, legend, title and polylines land, and that no record
// and no area size makes it divide by zero or draw outside its picture.
#include "results/chart_renderer.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <gtest/gtest.h>

namespace {

const QRgb kBackground = qRgb(128, 128, 128);
const QRgb kFrame = qRgb(200, 200, 200);
const QRgb kGrid = qRgb(64, 64, 64);
const QRgb kDownload = qRgb(64, 192, 64);
const QRgb kUpload = qRgb(64, 64, 192);

class ChartRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_chart.SetAreaSize(600, 400);
        ResetResults(m_results);
    }

    // True when the label at (nX, nY) shows exactly strText: the first
    // nWidth pixels of its box match the text drawn alone on the background.
    // Pixels in the rows or columns of skip (lines drawn under the text) are
    // not compared.
    bool ShowsLabel(const QImage& image, const QFont& font, int nX, int nY, const QString& strText,
                    int nWidth = -1, const std::vector<int>& skipRows = {},
                    const std::vector<int>& skipColumns = {}) const {
        const QRect box = CChartRenderer::LabelRect(font, nX, nY, static_cast<int>(strText.size()));
        QImage expected(box.size(), QImage::Format_RGB32);
        expected.fill(kBackground);
        {
            QPainter painter(&expected);
            painter.setRenderHint(QPainter::TextAntialiasing, true);
            painter.setFont(font);
            painter.setPen(Qt::black);
            painter.drawText(QRect(QPoint(0, 0), box.size()), Qt::AlignLeft | Qt::AlignTop,
                             strText);
        }
        const int nCompare = nWidth < 0 ? box.width() : nWidth;
        int nInk = 0;
        for (int y = 0; y < box.height(); ++y) {
            for (int x = 0; x < nCompare; ++x) {
                if (std::find(skipRows.begin(), skipRows.end(), box.y() + y) != skipRows.end() ||
                    std::find(skipColumns.begin(), skipColumns.end(), box.x() + x) !=
                        skipColumns.end())
                    continue;
                if (image.pixel(box.x() + x, box.y() + y) != expected.pixel(x, y))
                    return false;
                nInk += expected.pixel(x, y) != kBackground;
            }
        }
        return nInk > 0; // text that draws nothing proves nothing
    }

    static int CountIn(const QImage& image, const QRect& rect, QRgb colour) {
        int nCount = 0;
        for (int y = rect.top(); y <= rect.bottom(); ++y)
            for (int x = rect.left(); x <= rect.right(); ++x)
                nCount += image.pixel(x, y) == colour;
        return nCount;
    }

    // The rows in column nX where the colour appears.
    static std::pair<int, int> RowsOf(const QImage& image, int nX, QRgb colour) {
        int nFirst = -1, nLast = -1;
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixel(nX, y) == colour) {
                nLast = y;
                if (nFirst < 0)
                    nFirst = y;
            }
        }
        return {nFirst, nLast};
    }

    QRect PlotInside() const {
        return QRect(QPoint(m_chart.GetPlotLeft() + 1, m_chart.GetPlotTop() + 1),
                     QPoint(m_chart.GetPlotRight() - 2, m_chart.GetPlotBottom() - 2));
    }

    CChartRenderer m_chart;
    TestResults m_results;
};

TEST_F(ChartRendererTest, EmptyRecordDrawsEverythingButPolylines) {
    const QImage image = m_chart.Render(m_results[0], 30);
    ASSERT_EQ(image.size(), QSize(600, 400));
    const int L = 60, T = 50, R = 565, B = 325;
    ASSERT_EQ(m_chart.GetPlotRight(), R);
    ASSERT_EQ(m_chart.GetPlotBottom(), B);
    const QFont& label = m_chart.GetLabelFont();

    EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(599, 399), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(5, 5), kBackground);
    EXPECT_EQ(image.pixel(L, 200), kFrame);
    EXPECT_EQ(image.pixel(R - 1, 200), kFrame);
    EXPECT_EQ(image.pixel(200, T), kFrame);
    EXPECT_EQ(image.pixel(200, B - 1), kFrame);
    EXPECT_EQ(image.pixel(R, 200), kBackground);
    EXPECT_EQ(image.pixel(300, 200), kBackground);

    // Four dotted grid lines at fifths of the plot height (55 pixels).
    for (int y : {105, 160, 215, 270}) {
        const int nDots = CountIn(image, QRect(L + 1, y, R - L - 2, 1), kGrid);
        EXPECT_GT(nDots, 100) << y;
        EXPECT_LT(nDots, R - L - 50) << "not dotted at " << y;
        EXPECT_EQ(CountIn(image, QRect(L + 1, y + 1, R - L - 2, 1), kGrid), 0);
        EXPECT_TRUE(ShowsLabel(image, label, L - 54, y - 8, "    0", 52)) << y;
    }
    EXPECT_TRUE(ShowsLabel(image, label, L - 54, T - 8, "    0", 52));
    EXPECT_TRUE(ShowsLabel(image, label, L - 14, B - 8, "0", 13));

    // Marks every five seconds: 505 pixels for 30 seconds.
    const float fStep = 505.0f / 6.0f;
    for (int i = 1; i <= 5; ++i) {
        const float fX = L + fStep * static_cast<float>(i);
        EXPECT_EQ(image.pixel(static_cast<int>(fX), B + 2), kFrame) << i;
        EXPECT_TRUE(
            ShowsLabel(image, label, static_cast<int>(fX - 4.0f), B + 7, QString::number(5 * i)))
            << i;
    }

    EXPECT_EQ(image.pixel(L + 10, B + 45), kDownload);
    EXPECT_EQ(image.pixel(L, B + 40), kFrame);
    EXPECT_EQ(image.pixel(L + 200, B + 45), kUpload);
    EXPECT_TRUE(ShowsLabel(image, label, L + 30, B + 36, "Download (KB/s)", 158));
    EXPECT_TRUE(ShowsLabel(image, label, L + 220, B + 36, "Upload (KB/s)"));
    EXPECT_TRUE(ShowsLabel(image, m_chart.GetTitleFont(), L, 10, "Test Averages"));

    EXPECT_EQ(CountIn(image, PlotInside(), kDownload), 0);
    EXPECT_EQ(CountIn(image, PlotInside(), kUpload), 0);
}

TEST_F(ChartRendererTest, ValueLabelsFollowTheMax) {
    m_results[1].max = 100;
    const QImage image = m_chart.Render(m_results[1], 30);
    const QFont& label = m_chart.GetLabelFont();
    EXPECT_TRUE(ShowsLabel(image, label, 6, 42, "  125", 52));
    const char* values[] = {"  100", "   75", "   50", "   25"};
    int y = 105;
    for (const char* pszValue : values) {
        EXPECT_TRUE(ShowsLabel(image, label, 6, y - 8, pszValue, 52)) << pszValue;
        y += 55;
    }
    EXPECT_TRUE(ShowsLabel(image, label, 46, 317, "0", 13));
    EXPECT_FALSE(ShowsLabel(image, label, 6, 42, "  100", 52)) << "the check must discriminate";
}

TEST_F(ChartRendererTest, PolylinesLandWhereTheScaleSays) {
    TestResult& result = m_results[3];
    result.download = {100, 50, 0};
    result.upload = {25, 75};
    result.max = 100;
    const QImage image = m_chart.Render(result, 10);
    // 50.5 pixels a second; the top edge stands for 125, 275 pixels high.
    const struct {
        int nX, nY;
        QRgb colour;
    } vertices[] = {
        {110, 105, kDownload}, {161, 215, kDownload}, {110, 270, kUpload}, {161, 160, kUpload}};
    for (const auto& v : vertices) {
        EXPECT_GT(CountIn(image, QRect(v.nX - 1, v.nY - 1, 3, 3), v.colour), 0)
            << v.nX << "," << v.nY;
        const auto [nFirst, nLast] = RowsOf(image, v.nX, v.colour);
        EXPECT_GE(nFirst, v.nY - 8) << v.nX << "," << v.nY;
        EXPECT_LE(nLast, v.nY + 8) << v.nX << "," << v.nY;
    }
    // Halfway between the first two download vertices, and from the corner.
    const auto [nFirst, nLast] = RowsOf(image, 135, kDownload);
    EXPECT_NEAR((nFirst + nLast) / 2.0, 160, 3);
    EXPECT_NEAR((RowsOf(image, 85, kDownload).first + RowsOf(image, 85, kDownload).second) / 2.0,
                215, 3);
    EXPECT_EQ(CountIn(image, QRect(240, 51, 300, 270), kDownload), 0) << "ends at the third sample";

    // Exactly: the same polylines drawn through vertices worked out by hand
    // (x = 60 + 50.5 n and y = 325 - s / 125 * 275, both truncated) colour
    // exactly the same pixels inside the plot.
    result.upload = {25, 37};
    const QImage drawn = m_chart.Render(result, 10);
    QImage expected(drawn.size(), QImage::Format_RGB32);
    expected.fill(kBackground);
    {
        QPainter painter(&expected);
        const QPoint download[] = {{60, 325}, {110, 105}, {161, 215}, {211, 325}};
        const QPoint upload[] = {{60, 325}, {110, 270}, {161, 243}}; // 243.6
        painter.setPen(QPen(QColor(kDownload), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(download, 4);
        painter.setPen(QPen(QColor(kUpload), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(upload, 3);
    }
    const QRect inside = PlotInside();
    int nMismatches = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            for (QRgb colour : {kDownload, kUpload})
                nMismatches += (drawn.pixel(x, y) == colour) != (expected.pixel(x, y) == colour);
        }
    }
    EXPECT_EQ(nMismatches, 0);
    EXPECT_GT(CountIn(expected, inside, kUpload), 100);
}

// A max beyond a float's exact integers: the scale is M x 1.25 in double,
// each label value stored as a float, and a sample equal to the max still
// lands on the first grid line.
TEST_F(ChartRendererTest, LargeMaxKeepsTheScaleExact) {
    const int32_t nMax = 16777217;
    TestResult& result = m_results[2];
    result.max = nMax;
    QImage image = m_chart.Render(result, 10);
    const QFont& label = m_chart.GetLabelFont();
    const int L = m_chart.PlotLeftFor(result);
    EXPECT_EQ(L, 60 + QFontMetrics(label).horizontalAdvance("000"));
    EXPECT_TRUE(ShowsLabel(image, label, 6, 42, "20971522", L - 6, {50}));
    EXPECT_TRUE(ShowsLabel(image, label, 6, 97, "16777218", L - 6, {105}));
    EXPECT_TRUE(ShowsLabel(image, label, 6, 262, " 4194306", L - 6, {270}));
    EXPECT_FALSE(ShowsLabel(image, label, 6, 42, "20971520", L - 6, {50}))
        << "the check must discriminate";

    result.download.assign(3, nMax);
    image = m_chart.Render(result, 10);
    TestResult& small = m_results[5];
    small.download.assign(3, 100);
    small.max = 100;
    const QImage expected = m_chart.Render(small, 10);
    for (int x : {150, 180, 200})
        EXPECT_EQ(RowsOf(image, x, kDownload), RowsOf(expected, x, kDownload)) << x;
    EXPECT_EQ(RowsOf(expected, 135, kDownload), std::make_pair(104, 105));
}

TEST_F(ChartRendererTest, TitleIsDrawnAsPlainText) {
    m_results[1].name = "100% %s %n %d%%";
    const QImage image = m_chart.Render(m_results[1], 30);
    EXPECT_TRUE(ShowsLabel(image, m_chart.GetTitleFont(), 60, 10, "100% %s %n %d%%"));

    // Long titles are cut at 255 bytes, never inside a character.
    std::string strLong(254, 'a');
    strLong += "\xC3\xA9 and more";
    const QString strCut = CChartRenderer::TitleText(strLong);
    EXPECT_EQ(strCut, QString(254, 'a'));
    EXPECT_EQ(CChartRenderer::TitleText(std::string(1000, 'b')).size(), 255);
    m_results[1].name = std::string(100000, 'W');
    EXPECT_EQ(m_chart.Render(m_results[1], 30).size(), QSize(600, 400));
}

// The cases with no scale, no time span or no room: something sensible,
// nothing undefined, nothing outside the picture.
TEST_F(ChartRendererTest, DegenerateInputsDrawSafely) {
    const int B = 325;
    TestResult zero = m_results[2];
    zero.download.assign(10, 0);
    QImage image = m_chart.Render(zero, 30);
    EXPECT_GT(CountIn(image, QRect(61, B - 3, 100, 4), kDownload), 50) << "zeros lie on the bottom";

    // A loaded record whose max is 0 scales to its largest sample.
    TestResult unscaled = m_results[2];
    unscaled.download = {50};
    image = m_chart.Render(unscaled, 10);
    const auto rows = RowsOf(image, 110, kDownload);
    EXPECT_NEAR(rows.first, 105, 2);

    // No test length: the samples span the plot, without crashing.
    unscaled.download = {50, 50, 50, 50};
    unscaled.max = 100;
    image = m_chart.Render(unscaled, 0);
    EXPECT_GT(CountIn(image, QRect(500, 205, 65, 20), kDownload), 0);
    EXPECT_EQ(m_chart.Render(m_results[0], 0).pixel(200, B + 2), kBackground);

    TestResult wild = m_results[3];
    wild.download = {INT_MAX, INT_MIN, 0, INT_MAX};
    wild.upload = {INT_MIN, -5};
    wild.max = 1;
    EXPECT_EQ(m_chart.Render(wild, 65535).size(), QSize(600, 400));
    wild.max = INT_MIN;
    EXPECT_EQ(m_chart.Render(wild, 1).size(), QSize(600, 400));

    EXPECT_FALSE(m_chart.SetGridDivisions(0.0f));
    EXPECT_FALSE(m_chart.SetGridDivisions(-1.0f));

    // Areas smaller than a plot, or negative: the picture takes the absolute
    // size and shows its border; a picture of no pixels is empty.
    const QSize areas[] = {{-50, -20}, {80, 100}, {-600, 400}, {600, 120}, {0, 300}, {1, 1}};
    for (const QSize& area : areas) {
        m_chart.SetAreaSize(area.width(), area.height());
        TestResult filled = m_results[6];
        filled.download.assign(30, 70);
        filled.upload.assign(30, 90);
        filled.max = 90;
        image = m_chart.Render(filled, 30);
        const QSize size(std::abs(area.width()), std::abs(area.height()));
        if (size.isEmpty()) {
            EXPECT_TRUE(image.isNull());
            continue;
        }
        ASSERT_EQ(image.size(), size);
        EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));
        EXPECT_EQ(image.pixel(size.width() - 1, size.height() - 1), qRgb(0, 0, 0));
        if (!m_chart.HasPlot()) {
            EXPECT_EQ(
                CountIn(image, image.rect(), kDownload) + CountIn(image, image.rect(), kFrame), 0);
        }
    }
}

// A series longer than the test length runs past the plot to the area's edge,
// and the copy to the screen stops there.
TEST_F(ChartRendererTest, PaintCopiesThePictureAndNothingElse) {
    m_results[6].download.assign(60, 90);
    m_results[6].upload.assign(60, 2000);
    m_results[6].max = 90;
    m_results[6].name = std::string(300, 'M');
    const QImage expected = m_chart.Render(m_results[6], 30);
    QImage target(900, 700, QImage::Format_RGB32);
    target.fill(Qt::white);
    {
        QPainter painter(&target);
        m_chart.Paint(painter, m_results[6], 30);
    }
    EXPECT_EQ(target.copy(0, 0, 600, 400), expected);
    EXPECT_GT(CountIn(target, QRect(570, 0, 28, 400), kDownload), 0);
    EXPECT_EQ(CountIn(target, QRect(600, 0, 300, 700), qRgb(255, 255, 255)), 300 * 700);
    EXPECT_EQ(CountIn(target, QRect(0, 400, 600, 300), qRgb(255, 255, 255)), 600 * 300);
}

} // namespace

int main(int argc, char** argv) {
    // Fonts need the application object; the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
