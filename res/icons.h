// The program's icons, drawn from SVG at every size a window or a dialog asks for.
#pragma once

#include <QIcon>
#include <QPixmap>

// Icon IDI_MAIN or IDI_NODE at the usual sizes; a null icon for another id.
QIcon LoadIcon(int nId);
// One size of it, nSize x nSize device-independent pixels.
QPixmap LoadIconPixmap(int nId, int nSize);
