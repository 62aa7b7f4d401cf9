// Dialog units: a template's places scale with the dialog font. One
// horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its character height.
#pragma once

#include <QRect>

class QFont;

class CDialogUnits {
public:
    // Base units measured from the font as the dialog draws it.
    explicit CDialogUnits(const QFont& font);
    CDialogUnits(int nBaseX, int nBaseY) : m_nBaseX(nBaseX), m_nBaseY(nBaseY) {}

    int GetBaseX() const { return m_nBaseX; }
    int GetBaseY() const { return m_nBaseY; }

    // Rounded to the nearest pixel.
    int ToPixelsX(int nUnits) const;
    int ToPixelsY(int nUnits) const;
    QRect ToPixels(int x, int y, int cx, int cy) const;

private:
    int m_nBaseX;
    int m_nBaseY;
};
