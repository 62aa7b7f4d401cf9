#include "res/dialog_units.h"

#include <QFont>
#include <QFontMetrics>
#include <cstdint>

namespace {

// nValue * nNumerator / nDenominator, rounded half away from zero.
int ScaleRounded(int nValue, int nNumerator, int nDenominator) {
    const int64_t nProduct = static_cast<int64_t>(nValue) * nNumerator;
    const int64_t nHalf = nDenominator / 2;
    return static_cast<int>(nProduct >= 0 ? (nProduct + nHalf) / nDenominator
                                          : (nProduct - nHalf) / nDenominator);
}

} // namespace

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the Latin letters, rounded, as dialogs measure it.
    const int nAlphabet = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = (nAlphabet / 26 + 1) / 2;
    m_nBaseY = metrics.height();
}

int CDialogUnits::ToPixelsX(int nUnits) const {
    return ScaleRounded(nUnits, m_nBaseX, 4);
}

int CDialogUnits::ToPixelsY(int nUnits) const {
    return ScaleRounded(nUnits, m_nBaseY, 8);
}

QRect CDialogUnits::ToPixels(int x, int y, int cx, int cy) const {
    return QRect(ToPixelsX(x), ToPixelsY(y), ToPixelsX(cx), ToPixelsY(cy));
}
