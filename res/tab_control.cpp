#include "res/tab_control.h"

#include <QPainter>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

CTabControl::CTabControl(QWidget* pParent) : QWidget(pParent), m_pTabBar(new QTabBar(this)) {
    m_pTabBar->setExpanding(false);
    m_pTabBar->setDrawBase(true);
    m_pTabBar->setFocusPolicy(Qt::TabFocus);
}

void CTabControl::InsertItem(int nIndex, const std::string& strText) {
    m_pTabBar->insertTab(nIndex, QString::fromStdString(strText));
    m_pTabBar->resize(width(), m_pTabBar->sizeHint().height());
}

int CTabControl::GetItemCount() const {
    return m_pTabBar->count();
}

std::string CTabControl::GetItemText(int nIndex) const {
    return m_pTabBar->tabText(nIndex).toStdString();
}

int CTabControl::GetCurSel() const {
    return m_pTabBar->currentIndex();
}

void CTabControl::SetCurSel(int nIndex) {
    m_pTabBar->setCurrentIndex(nIndex);
}

void CTabControl::resizeEvent(QResizeEvent* pEvent) {
    QWidget::resizeEvent(pEvent);
    m_pTabBar->resize(width(), std::min(height(), m_pTabBar->sizeHint().height()));
}

void CTabControl::paintEvent(QPaintEvent*) {
    const int nRow = m_pTabBar->height();
    if (height() <= nRow)
        return;
    QPainter painter(this);
    QStyleOptionTabWidgetFrame option;
    option.initFrom(this);
    option.shape = QTabBar::RoundedNorth;
    option.tabBarSize = m_pTabBar->size();
    option.rect = QRect(0, nRow - 1, width(), height() - nRow + 1);
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &option, &painter, this);
}
