// tramelo read --device stm32 --port PORT [--baud RATE] [--no-reset] [--address A]
//              [--length N] FILE
// Reads an STM32's flash through its boot loader into FILE (Intel HEX when it ends in .hex).
// Exit status as for download: 0 read, 1 failed, 2 usage error, 3 port not opened.
#pragma once

#include <QStringList>

namespace cli {

int readFlash(const QStringList &args);

} // namespace cli
