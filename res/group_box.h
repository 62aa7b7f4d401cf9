// CGroupBox: a titled frame drawn behind the controls it groups, as dialogs
// draw one: the frame's top line runs through the middle of the title, so
// the controls that a template places below the title lie inside the frame.
#pragma once

#include <QGroupBox>

class CGroupBox : public QGroupBox {
public:
    CGroupBox(const QString& strTitle, QWidget* pParent);

    // In the box's own pixels: the row of the frame's top line, the title's
    // place on it, and the inside of the frame (where grouped controls go).
    int FrameTop() const;
    QRect TitleRect() const;
    QRect InsideRect() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};
