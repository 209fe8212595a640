// Texts that the window and more than one engine show, each defined here once.
#pragma once

#include "logic/Devices.h"
#include "platform/PortNames.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

namespace texts {

// The message box of a port that cannot be opened (the polling driver's ComPort_Open and the
// STC programmer's own component). A CR separates its two lines.
inline QString portOpenFailed()
{
    return QCoreApplication::translate(
        "texts", "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
}

// The same box with the serial layer's reason (which names the device and, when access is
// denied, the group that grants it) as a line of its own below the two lines above.
inline QString portOpenFailed(const QString &reason)
{
    if (reason.isEmpty()) return portOpenFailed();
    return QStringLiteral("%1\n%2").arg(portOpenFailed(), reason);
}

// The box of a port whose device does not exist (an adapter unplugged, a mistyped path): the
// general box above would call it a port in use.
inline QString portMissing(const QString &reason)
{
    const QString box = QCoreApplication::translate(
        "texts", "串口不存在 ！\r请选择其它串口，或检查设备是否已连接。");
    return reason.isEmpty() ? box : QStringLiteral("%1\n%2").arg(box, reason);
}

// The box for a port name that could not be opened: portMissing() when the name leads to no
// device at all, portOpenFailed() otherwise.
inline QString portOpenFailedFor(const QString &portName, const QString &reason)
{
    const QString path = platform::resolvePortName(portName);
    const bool missing = path.isEmpty() || !QFileInfo::exists(path);
    return missing ? portMissing(reason) : portOpenFailed(reason);
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
