#include "res/icons.h"

#include "res/resource.h"

#include <QPainter>
#include <QSvgRenderer>

namespace {

QString IconPath(int nId) {
    return QStringLiteral(":/icons/%1.svg").arg(nId);
}

} // namespace

QPixmap LoadIconPixmap(int nId, int nSize) {
    if (nId != IDI_MAIN && nId != IDI_NODE)
        return {};
    QSvgRenderer renderer(IconPath(nId));
    if (!renderer.isValid())
        return {};
    QPixmap pixmap(nSize, nSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    return pixmap;
}

QIcon LoadIcon(int nId) {
    QIcon icon;
    for (int nSize : {16, 24, 32, 48, 64, 128, 256}) {
        const QPixmap pixmap = LoadIconPixmap(nId, nSize);
        if (pixmap.isNull())
            return {};
        icon.addPixmap(pixmap);
    }
    return icon;
}
