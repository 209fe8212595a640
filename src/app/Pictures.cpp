#include "app/Pictures.h"

#include <QCoreApplication>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace pictures {

namespace {

// A DB9 plug seen from the front with a cable leaving to the right; the colour of the
// cable end tells open (green) from closed (grey).
QPixmap portIcon(bool open)
{
    QPixmap pm(24, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shell;
    shell.moveTo(1, 2);
    shell.lineTo(15, 2);
    shell.lineTo(13, 14);
    shell.lineTo(3, 14);
    shell.closeSubpath();
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.setBrush(open ? QColor(70, 170, 70) : QColor(150, 150, 150));
    p.drawPath(shell);
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 5; ++i)
        p.drawEllipse(QPointF(3.5 + i * 2.3, 6), 0.8, 0.8);
    for (int i = 0; i < 4; ++i)
        p.drawEllipse(QPointF(4.6 + i * 2.3, 10), 0.8, 0.8);
    p.setPen(QPen(open ? QColor(0, 130, 0) : QColor(110, 110, 110), 2));
    p.drawLine(QPointF(15, 8), QPointF(23, 8));
    return pm;
}

} // namespace

QPixmap portClosed()
{
    return portIcon(false);
}
QPixmap portOpen()
{
    return portIcon(true);
}

QPixmap downloadIcon()
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 30, 30));
    QPainterPath arrow;
    arrow.moveTo(5, 1);
    arrow.lineTo(11, 1);
    arrow.lineTo(11, 8);
    arrow.lineTo(15, 8);
    arrow.lineTo(8, 15);
    arrow.lineTo(1, 8);
    arrow.lineTo(5, 8);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return pm;
}

QPixmap logo(const QSize &size)
{
    QPixmap pm(size);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, size.width(), 0);
    g.setColorAt(0, QColor(16, 70, 140));
    g.setColorAt(1, QColor(90, 160, 220));
    p.fillRect(pm.rect(), g);
    QFont f(QStringLiteral("Sans"));
    f.setBold(true);
    f.setPixelSize(size.height() - 6);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(pm.rect().adjusted(8, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Tramelo"));
    QFont small(QStringLiteral("Sans"));
    small.setPixelSize(qMax(8, size.height() / 2 - 2));
    p.setFont(small);
    p.setPen(QColor(255, 230, 120));
    p.drawText(pm.rect().adjusted(0, 0, -8, 0), Qt::AlignVCenter | Qt::AlignRight,
               QStringLiteral("ISP · UART"));
    return pm;
}

QImage appIcon(int size)
{
    // The logo's blue gradient and its white and yellow on a rounded square: a white T over a
    // yellow row of serial-plug pins. Drawn from shapes alone (no font), so the icons made from
    // it at build time look the same on every machine.
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    QLinearGradient g(0, 0, 64, 64);
    g.setColorAt(0, QColor(16, 70, 140));
    g.setColorAt(1, QColor(90, 160, 220));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(13, 11, 38, 9));
    p.drawRect(QRectF(27.5, 11, 9, 31));
    p.setBrush(QColor(255, 230, 120));
    for (int i = 0; i < 4; ++i)
        p.drawEllipse(QPointF(17 + i * 10, 51), 3.6, 3.6);
    return img;
}

QPixmap db9Help(const QSize &size)
{
    // The 9-pin D-sub connector of a PC's serial port (DTE), seen from the front of the plug,
    // with the signal of every pin.
    struct Pin
    {
        int number;
        const char *name;
        const char *meaning;
    };
    static constexpr Pin kPins[] = {
        {1, "DCD", QT_TRANSLATE_NOOP("pictures", "载波检测")},
        {2, "RXD", QT_TRANSLATE_NOOP("pictures", "接收数据")},
        {3, "TXD", QT_TRANSLATE_NOOP("pictures", "发送数据")},
        {4, "DTR", QT_TRANSLATE_NOOP("pictures", "数据终端就绪")},
        {5, "GND", QT_TRANSLATE_NOOP("pictures", "信号地")},
        {6, "DSR", QT_TRANSLATE_NOOP("pictures", "数据设备就绪")},
        {7, "RTS", QT_TRANSLATE_NOOP("pictures", "请求发送")},
        {8, "CTS", QT_TRANSLATE_NOOP("pictures", "清除发送")},
        {9, "RI", QT_TRANSLATE_NOOP("pictures", "振铃指示")},
    };
    QPixmap pm(size);
    pm.fill(QColor(250, 250, 240));
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);

    const double cx = size.width() * 0.24, cy = size.height() * 0.52;
    const double w = size.width() * 0.36, h = size.height() * 0.42;
    QPainterPath shell;
    shell.moveTo(cx - w / 2, cy - h / 2);
    shell.lineTo(cx + w / 2, cy - h / 2);
    shell.lineTo(cx + w / 2 - h * 0.25, cy + h / 2);
    shell.lineTo(cx - w / 2 + h * 0.25, cy + h / 2);
    shell.closeSubpath();
    p.setPen(QPen(QColor(40, 40, 40), 2));
    p.setBrush(QColor(200, 205, 215));
    p.drawPath(shell);

    const double pitch = w / 6.2;
    QFont pinFont(QStringLiteral("Sans"));
    pinFont.setPixelSize(11);
    pinFont.setBold(true);
    p.setFont(pinFont);
    auto pinCentre = [&](int n) {
        return n <= 5 ? QPointF(cx - 2 * pitch + (n - 1) * pitch, cy - h * 0.17)
                      : QPointF(cx - 1.5 * pitch + (n - 6) * pitch, cy + h * 0.2);
    };
    for (const Pin &pin : kPins) {
        const QPointF c = pinCentre(pin.number);
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(230, 190, 60));
        p.drawEllipse(c, 6, 6);
        p.setPen(Qt::black);
        p.drawText(QRectF(c.x() - 8, pin.number <= 5 ? c.y() - 24 : c.y() + 8, 16, 16),
                   Qt::AlignCenter, QString::number(pin.number));
    }

    QFont title(QStringLiteral("Sans"));
    title.setPixelSize(13);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(20, 60, 130));
    p.drawText(QRectF(8, 4, size.width() * 0.45, 20), Qt::AlignLeft,
               QCoreApplication::translate("pictures", "DB9 串口信号线定义 (针座正视)"));

    QFont text(QStringLiteral("Sans"));
    text.setPixelSize(12);
    p.setFont(text);
    const double x0 = size.width() * 0.5;
    const double rowH = (size.height() - 12) / 9.0;
    for (int i = 0; i < 9; ++i) {
        const Pin &pin = kPins[i];
        const double y = 6 + i * rowH;
        p.setPen(Qt::black);
        p.drawText(QRectF(x0, y, 30, rowH), Qt::AlignVCenter | Qt::AlignRight,
                   QString::number(pin.number));
        p.setPen(QColor(160, 20, 20));
        p.drawText(QRectF(x0 + 40, y, 50, rowH), Qt::AlignVCenter | Qt::AlignLeft,
                   QString::fromLatin1(pin.name));
        p.setPen(QColor(40, 40, 40));
        p.drawText(QRectF(x0 + 95, y, size.width() - x0 - 95, rowH),
                   Qt::AlignVCenter | Qt::AlignLeft,
                   QCoreApplication::translate("pictures", pin.meaning));
    }
    return pm;
}

} // namespace pictures
