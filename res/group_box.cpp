#include "res/group_box.h"

#include <QPainter>

namespace {

// An etched frame is two lines: a dark one and a light one inside it.
constexpr int kFrameLines = 2;

} // namespace

CGroupBox::CGroupBox(const QString& strTitle, QWidget* pParent) : QGroupBox(strTitle, pParent) {
    setFocusPolicy(Qt::NoFocus);
}

int CGroupBox::FrameTop() const {
    return fontMetrics().height() / 2;
}

QRect CGroupBox::TitleRect() const {
    // The title starts a character in, with a little room either side.
    const QFontMetrics metrics = fontMetrics();
    const int nPad = 2;
    return QRect(metrics.averageCharWidth() - nPad, 0,
                 metrics.horizontalAdvance(title()) + 2 * nPad, metrics.height());
}

QRect CGroupBox::InsideRect() const {
    return QRect(QPoint(kFrameLines, FrameTop() + kFrameLines),
                 QPoint(width() - 1 - kFrameLines, height() - 1 - kFrameLines));
}

void CGroupBox::paintEvent(QPaintEvent*) {
    // Etched: a dark line with a light one below and right of it.
    QPainter painter(this);
    const int nTop = FrameTop();
    const int nRight = width() - 2;
    const int nBottom = height() - 2;
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, nTop, nRight, nTop);
    painter.drawLine(0, nTop, 0, nBottom);
    painter.drawLine(nRight, nTop, nRight, nBottom);
    painter.drawLine(0, nBottom, nRight, nBottom);
    painter.setPen(palette().color(QPalette::Light));
    painter.drawLine(1, nTop + 1, nRight - 1, nTop + 1);
    painter.drawLine(1, nTop + 1, 1, nBottom - 1);
    painter.drawLine(nRight + 1, nTop, nRight + 1, nBottom + 1);
    painter.drawLine(0, nBottom + 1, nRight + 1, nBottom + 1);

    if (title().isEmpty())
        return;
    const QRect rcTitle = TitleRect();
    painter.fillRect(rcTitle, palette().window());
    painter.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(rcTitle, Qt::AlignCenter | Qt::TextSingleLine, title());
}
