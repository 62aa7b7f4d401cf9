// CChartView: the framed drawing area on which the main window paints the
// chart. The window does the painting; the view only hands it a painter.
#pragma once

#include <QFrame>
#include <functional>

class CChartView : public QFrame {
public:
    using PFNPAINT = std::function<void(QPainter& painter)>;

    explicit CChartView(QWidget* pParent);
    void SetPainter(PFNPAINT pfnPaint) { m_pfnPaint = std::move(pfnPaint); }

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    PFNPAINT m_pfnPaint;
};
