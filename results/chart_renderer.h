// CChartRenderer: draws one result record as a line chart of download and
// upload rates over the test's seconds. Pens, brushes and fonts are made once;
// every paint draws into an image of its own that is then copied in one step,
// so a redraw once a second does not flicker.
#pragma once

#include "results/test_result.h"

#include <QBrush>
#include <QFont>
#include <QImage>
#include <QPen>
#include <QRect>
#include <QSize>
#include <cstdint>

class QPainter;

class CChartRenderer {
public:
    // The drawing area is the window's outer size less these.
    static constexpr int kWindowExtraWidth = 267;
    static constexpr int kWindowExtraHeight = 90;
    // Margins of the plot inside the drawing area.
    static constexpr int kPlotLeft = 60;
    static constexpr int kPlotTop = 50;
    static constexpr int kPlotRight = 35;
    static constexpr int kPlotBottom = 75;
    // Longest title drawn, in bytes; a longer one is cut at a character.
    static constexpr std::size_t kMaxTitleBytes = 255;

    // Needs a QGuiApplication for the fonts.
    CChartRenderer();

    // The drawing area's size as the window computes it; either may be
    // negative when the window is very small.
    void SetAreaSize(int nWidth, int nHeight);
    void SetWindowSize(int nWindowWidth, int nWindowHeight) {
        SetAreaSize(nWindowWidth - kWindowExtraWidth, nWindowHeight - kWindowExtraHeight);
    }
    // The size of the drawing control and of the picture: the absolute values.
    QSize GetAreaSize() const;
    // Plot frame as left, top, right, bottom (right and bottom exclusive, as
    // the frame is drawn). Empty when the area is too small for a plot.
    int GetPlotLeft() const { return m_nPlotLeft; }
    // The plot's left edge for this record: GetPlotLeft while its value
    // labels fit in five characters, further right for wider ones.
    int PlotLeftFor(const TestResult& result) const;
    int GetPlotTop() const { return m_nPlotTop; }
    int GetPlotRight() const { return m_nPlotRight; }
    int GetPlotBottom() const { return m_nPlotBottom; }
    bool HasPlot() const;

    // Number of vertical divisions (5 by default); values outside 1..100 are refused.
    bool SetGridDivisions(float fDivisions);

    // The whole chart of one record for a test length of nSeconds.
    QImage Render(const TestResult& result, uint16_t nSeconds) const;
    // Renders off screen, then copies the picture to (0, 0) in one step.
    void Paint(QPainter& painter, const TestResult& result, uint16_t nSeconds) const;

    const QFont& GetTitleFont() const { return m_titleFont; }
    const QFont& GetLabelFont() const { return m_labelFont; }

    // The rectangle a label of nChars characters is drawn and clipped into.
    static QRect LabelRect(const QFont& font, int nX, int nY, int nChars);
    // A title cut to kMaxTitleBytes without splitting a UTF-8 character.
    static QString TitleText(const std::string& strName);

private:
    void DrawLabel(QPainter& painter, int nX, int nY, const QString& strText) const;
    void DrawSeries(QPainter& painter, const TestResult& result, int32_t nScale, int nSpan,
                    int nLeft) const;
    // The value that the chart scales to, and the characters its labels take.
    static int32_t ScaleOf(const TestResult& result);
    static int ValueLabelChars(int32_t nScale);

    QPen m_framePen;
    QPen m_gridPen;
    QPen m_downloadPen;
    QPen m_uploadPen;
    QBrush m_backgroundBrush;
    QBrush m_downloadBrush;
    QBrush m_uploadBrush;
    QFont m_titleFont;
    QFont m_labelFont;

    float m_fGridDivisions = 5.0f;
    int m_nAreaWidth = 0;
    int m_nAreaHeight = 0;
    int m_nPlotLeft = 0;
    int m_nPlotTop = 0;
    int m_nPlotRight = 0;
    int m_nPlotBottom = 0;
};
