// The demonstration: tramelo --demo
//
// --demo opens the window with a virtual STM32 board as COM1 and an example firmware chosen:
// pressing 下载 shows a whole download without hardware. A virtual LPC2136 board is COM2, for
// the terminal page. The boards exist for this process only; the settings store is neither
// read nor written.
#pragma once

namespace cli {

int demo(int argc, char **argv);

} // namespace cli
