#include "results/chart_renderer.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

QFont MakeFont(const char* pszFace, QFont::StyleHint hint, int nPixels, bool bUnderline) {
    QFont font(QString::fromLatin1(pszFace));
    font.setStyleHint(hint);
    font.setPixelSize(nPixels);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(bUnderline);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

QString Format(const char* pszFormat, double fValue) {
    char szText[256];
    std::snprintf(szText, sizeof szText, pszFormat, fValue);
    return QString::fromLatin1(szText);
}

// Keeps a wild sample from overflowing the pixel type; the picture clips it.
int ToPixel(double fCoordinate) {
    return static_cast<int>(std::clamp(fCoordinate, -1.0e6, 1.0e6));
}

// The largest sample, for a record whose max gives no scale.
int32_t LargestSample(const TestResult& result) {
    int32_t nLargest = 0;
    for (int32_t n : result.download)
        nLargest = std::max(nLargest, n);
    for (int32_t n : result.upload)
        nLargest = std::max(nLargest, n);
    return nLargest;
}

} // namespace

CChartRenderer::CChartRenderer()
    : m_framePen(QColor(200, 200, 200), 1, Qt::SolidLine),
      m_gridPen(QColor(64, 64, 64), 1, Qt::DotLine),
      m_downloadPen(QColor(64, 192, 64), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin),
      m_uploadPen(QColor(64, 64, 192), 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin),
      m_backgroundBrush(QColor(128, 128, 128)), m_downloadBrush(QColor(64, 192, 64)),
      m_uploadBrush(QColor(64, 64, 192)),
      m_titleFont(MakeFont("Arial", QFont::SansSerif, 20, true)),
      m_labelFont(MakeFont("Courier New", QFont::TypeWriter, 16, false)) {}

void CChartRenderer::SetAreaSize(int nWidth, int nHeight) {
    m_nAreaWidth = nWidth;
    m_nAreaHeight = nHeight;
    m_nPlotLeft = kPlotLeft;
    m_nPlotTop = kPlotTop;
    m_nPlotRight = nWidth - kPlotRight;
    m_nPlotBottom = nHeight - kPlotBottom;
}

QSize CChartRenderer::GetAreaSize() const {
    return QSize(std::abs(m_nAreaWidth), std::abs(m_nAreaHeight));
}

bool CChartRenderer::HasPlot() const {
    return m_nPlotRight - m_nPlotLeft >= 2 && m_nPlotBottom - m_nPlotTop >= 2;
}

int32_t CChartRenderer::ScaleOf(const TestResult& result) {
    // A max of 0 gives no scale: the largest sample stands in, and with none
    // above 0 every label and sample sits at 0.
    return result.max > 0 ? result.max : LargestSample(result);
}

int CChartRenderer::ValueLabelChars(int32_t nScale) {
    // The top label is the largest.
    const auto fTop = static_cast<float>(static_cast<double>(nScale) * 1.25);
    return std::max(5, static_cast<int>(Format("%.0f", fTop).size()));
}

int CChartRenderer::PlotLeftFor(const TestResult& result) const {
    const QFontMetrics metrics(m_labelFont);
    const int nChars = ValueLabelChars(ScaleOf(result));
    return m_nPlotLeft + metrics.horizontalAdvance(QString(nChars, QLatin1Char('0'))) -
           metrics.horizontalAdvance(QString(5, QLatin1Char('0')));
}

bool CChartRenderer::SetGridDivisions(float fDivisions) {
    if (!(fDivisions >= 1.0f && fDivisions <= 100.0f))
        return false;
    m_fGridDivisions = fDivisions;
    return true;
}

QRect CChartRenderer::LabelRect(const QFont& font, int nX, int nY, int nChars) {
    const int nHeight = std::abs(font.pixelSize());
    // Characters are given a cell as wide as the font is high.
    return QRect(nX, nY, nHeight * nChars, static_cast<int>(nHeight * 1.5));
}

QString CChartRenderer::TitleText(const std::string& strName) {
    std::size_t nLength = std::min(strName.size(), kMaxTitleBytes);
    // Back off continuation bytes so no character is split.
    if (nLength < strName.size()) {
        while (nLength > 0 && (static_cast<unsigned char>(strName[nLength]) & 0xC0) == 0x80)
            --nLength;
    }
    return QString::fromUtf8(strName.data(), static_cast<qsizetype>(nLength));
}

void CChartRenderer::DrawLabel(QPainter& painter, int nX, int nY, const QString& strText) const {
    painter.drawText(LabelRect(painter.font(), nX, nY, static_cast<int>(strText.size())),
                     Qt::AlignLeft | Qt::AlignTop, strText);
}

QImage CChartRenderer::Render(const TestResult& result, uint16_t nSeconds) const {
    const QSize size = GetAreaSize();
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    image.fill(Qt::black);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    painter.setBackgroundMode(Qt::TransparentMode);

    // Black border filled with the background.
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(m_backgroundBrush);
    painter.drawRect(0, 0, size.width() - 1, size.height() - 1);

    const int32_t nScale = ScaleOf(result);
    const int nLabelChars = ValueLabelChars(nScale);
    const int nLeft = PlotLeftFor(result);
    const int nTop = m_nPlotTop;
    const int nRight = m_nPlotRight;
    const int nBottom = m_nPlotBottom;
    const int nPlotWidth = nRight - nLeft;
    const int nPlotHeight = nBottom - nTop;

    if (HasPlot() && nPlotWidth >= 2) {
        painter.setPen(m_framePen);
        painter.drawRect(nLeft, nTop, nPlotWidth - 1, nPlotHeight - 1);

        // Value axis: the top edge stands for 1.25 times the scale. The
        // labels stand where five characters put them, right-aligned in as
        // many as the widest needs; the plot has moved right to make room.
        const int nLabelLeft = m_nPlotLeft - 54;
        const std::string strFormat = "%" + std::to_string(nLabelChars) + ".0f";
        const char* pszFormat = strFormat.c_str();
        painter.setFont(m_labelFont);
        const QPen textPen(Qt::black);
        const float fStep = static_cast<float>(nPlotHeight) / m_fGridDivisions;
        if (fStep > 0.0f) {
            // The scale in double, each label value stored as a float.
            const double fTop = static_cast<double>(nScale) * 1.25;
            float fValue = static_cast<float>(fTop);
            painter.setPen(textPen);
            DrawLabel(painter, nLabelLeft, nTop - 8, Format(pszFormat, fValue));
            float fY = static_cast<float>(nTop) + fStep;
            const float fHalf = fStep / 2.0f;
            while (static_cast<float>(nBottom) - fHalf > fY) {
                fValue = static_cast<float>(fValue - fTop / m_fGridDivisions);
                painter.setPen(m_gridPen);
                painter.drawLine(nLeft + 1, static_cast<int>(fY), nRight - 2, static_cast<int>(fY));
                painter.setPen(textPen);
                DrawLabel(painter, nLabelLeft, static_cast<int>(fY - 8.0f),
                          Format(pszFormat, fValue));
                fY += fStep;
            }
            DrawLabel(painter, nLeft - 14, nBottom - 8, QStringLiteral("0"));
        }

        // Time axis. Without a test length the record's own length is the
        // span, so loaded samples still show; with neither there are no marks.
        int nSpan = nSeconds;
        if (nSpan == 0)
            nSpan = static_cast<int>(std::min<std::size_t>(
                std::max(result.download.size(), result.upload.size()), 65535));
        if (nSpan > 0) {
            const float fMark = static_cast<float>(nPlotWidth / (nSpan / 5.0));
            if (fMark > 0.0f) {
                float fLabel = 5.0f;
                for (float fX = static_cast<float>(nLeft) + fMark; fX <= static_cast<float>(nRight);
                     fX += fMark, fLabel += 5.0f) {
                    const int nX = static_cast<int>(fX);
                    painter.setPen(m_framePen);
                    painter.drawLine(nX, nBottom, nX, nBottom + 4);
                    painter.setPen(textPen);
                    DrawLabel(painter, static_cast<int>(fX - 4.0f), nBottom + 7,
                              Format("%.0f", fLabel));
                }
            }
        }

        // Legend, swatches outlined by the frame pen.
        painter.setPen(m_framePen);
        painter.setBrush(m_downloadBrush);
        painter.drawRect(nLeft, nBottom + 40, 19, 9);
        painter.setBrush(m_uploadBrush);
        painter.drawRect(nLeft + 190, nBottom + 40, 19, 9);
        painter.setPen(textPen);
        DrawLabel(painter, nLeft + 30, nBottom + 36, QStringLiteral("Download (KB/s)"));
        DrawLabel(painter, nLeft + 220, nBottom + 36, QStringLiteral("Upload (KB/s)"));

        painter.setPen(textPen);
        painter.setFont(m_titleFont);
        DrawLabel(painter, nLeft, 10, TitleText(result.name));

        if (nSpan > 0)
            DrawSeries(painter, result, nScale, nSpan, nLeft);
    } else {
        // Too small for a plot: the title alone, clipped by the picture.
        painter.setPen(QPen(Qt::black));
        painter.setFont(m_titleFont);
        DrawLabel(painter, kPlotLeft, 10, TitleText(result.name));
    }
    return image;
}

void CChartRenderer::DrawSeries(QPainter& painter, const TestResult& result, int32_t nScale,
                                int nSpan, int nLeft) const {
    const int nBottom = m_nPlotBottom;
    const int nPlotWidth = m_nPlotRight - nLeft;
    const int nPlotHeight = m_nPlotBottom - m_nPlotTop;
    const float fStep = static_cast<float>(nPlotWidth) / static_cast<float>(nSpan);
    const int nAreaWidth = GetAreaSize().width();
    const double fTop = static_cast<double>(nScale) * 1.25;

    const std::vector<int32_t>* series[] = {&result.download, &result.upload};
    const QPen* pens[] = {&m_downloadPen, &m_uploadPen};
    for (int k = 0; k < 2; ++k) {
        if (series[k]->empty())
            continue;
        QPolygon line;
        line.reserve(static_cast<qsizetype>(std::min<std::size_t>(series[k]->size(), 65536)) + 1);
        line << QPoint(nLeft, nBottom);
        float fX = static_cast<float>(nLeft) + fStep;
        for (int32_t nSample : *series[k]) {
            const double fY = fTop > 0.0 ? nBottom - nSample / fTop * nPlotHeight : nBottom;
            line << QPoint(ToPixel(fX), ToPixel(fY));
            // Past the right edge nothing more can show.
            if (fX > static_cast<float>(nAreaWidth))
                break;
            fX += fStep;
        }
        painter.setPen(*pens[k]);
        painter.drawPolyline(line);
    }
}

void CChartRenderer::Paint(QPainter& painter, const TestResult& result, uint16_t nSeconds) const {
    const QImage image = Render(result, nSeconds);
    if (!image.isNull())
        painter.drawImage(0, 0, image);
}
