// Texts that the window and more than one engine show, each defined here once.
#pragma once

#include "logic/Devices.h"

#include <QCoreApplication>
#include <QString>

namespace texts {

// The message box of a port that cannot be opened (the polling driver's ComPort_Open and the
// STC programmer's own component). A CR separates its two lines.
inline QString portOpenFailed()
{
    return QCoreApplication::translate(
        "texts", "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
}

// The box of a port name that stands for no device present now (nothing is plugged in, or
// the [Ports] mapping names a path that does not exist): not "in use".
inline QString portMissing()
{
    return QCoreApplication::translate(
        "texts", "串口不存在 ！\r请选择其它串口，或检查 USB 串口适配器是否已插好。");
}

// The same box with the serial layer's reason (which names the device and, when access is
// denied, the group that grants it) as a line of its own below the two lines above.
inline QString portOpenFailed(const QString &reason, bool missing = false)
{
    const QString box = missing ? portMissing() : portOpenFailed();
    if (reason.isEmpty()) return box;
    return QStringLiteral("%1\n%2").arg(box, reason);
}

// The line that ends a download whose port went away under it (the adapter was unplugged).
inline QString portVanished()
{
    return QCoreApplication::translate(
        "texts", "串口已消失（适配器被拔出？），下载中止；芯片可能只写入了一部分 ！");
}

// What to try after a download that found no boot loader or failed on the way, per family.
inline QString failureHint(devices::Family family)
{
    switch (family) {
    case devices::Family::Stm32:
        return QCoreApplication::translate(
            "texts", "提示：BOOT0 接高电平 (BOOT1 接低) 后复位芯片，再按下载。");
    case devices::Family::Lpc:
        return QCoreApplication::translate(
            "texts", "提示：ISP 引脚 (P0.14) 接低电平后复位芯片，再按下载。");
    case devices::Family::Stc:
    case devices::Family::StcSeries:
        return QCoreApplication::translate(
            "texts", "提示：先按下载，再给芯片断电后重新上电 (冷启动)。");
    }
    return {};
}

// The message-area line that keeps the reason after the box is closed.
inline QString portOpenFailedLine(const QString &reason)
{
    return QCoreApplication::translate("texts", "串口打开失败：%1").arg(reason);
}

} // namespace texts
