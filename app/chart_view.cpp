#include "app/chart_view.h"

#include <QPainter>

CChartView::CChartView(QWidget* pParent) : QFrame(pParent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // The chart covers the whole area: nothing to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CChartView::paintEvent(QPaintEvent* pEvent) {
    if (!m_pfnPaint) {
        QFrame::paintEvent(pEvent);
        return;
    }
    QPainter painter(this);
    m_pfnPaint(painter);
}
