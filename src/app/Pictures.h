// The window's pictures, drawn at start: port icons, the logo and the help picture of the
// 9-pin serial connector.
#pragma once

#include <QImage>
#include <QPixmap>

namespace pictures {
QPixmap portClosed();
QPixmap portOpen();
QPixmap logo(const QSize &size);
// The program's icon (window, menu entry), size by size pixels; needs no display.
QImage appIcon(int size);
QPixmap db9Help(const QSize &size);
QPixmap downloadIcon();
} // namespace pictures
