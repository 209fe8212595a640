// Texts that more than one window shows, each defined here once.
#pragma once

#include <QString>

namespace texts {

// The message box of a port that cannot be opened (the polling driver's ComPort_Open and the
// STC programmer's own component). A CR separates its two lines.
inline QString portOpenFailed()
{
    return QStringLiteral(
        "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
}

} // namespace texts
