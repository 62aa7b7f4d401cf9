// CTabControl: a row of tabs and, when the control is taller than the row, a
// pane below it on which pages are laid. Selection changes are reported
// through the tab bar's currentChanged signal.
#pragma once

#include <QWidget>
#include <string>

class QTabBar;

class CTabControl : public QWidget {
public:
    explicit CTabControl(QWidget* pParent = nullptr);

    void InsertItem(int nIndex, const std::string& strText);
    int GetItemCount() const;
    std::string GetItemText(int nIndex) const;
    int GetCurSel() const;
    void SetCurSel(int nIndex);
    QTabBar* GetTabBar() const { return m_pTabBar; }

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;

private:
    QTabBar* m_pTabBar;
};
