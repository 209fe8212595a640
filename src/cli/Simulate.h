// Virtual boards from the command line:
//
//   tramelo simulate --device DEV [--id ID] [--get-checksum] [--link PATH] [--dump FILE] [--baud N]
//
// simulate serves a simulated boot loader of the device's family on a new pseudo-terminal
// until SIGINT, SIGTERM, SIGHUP or SIGQUIT: the first line of standard output is the
// terminal's path, then one line for every command the board carries out or rejects. Any
// flasher can program it, one download after the other. At the end the whole flash is written
// to the dump file (opened at the start, never through a symbolic link) and the program ends
// with status 0. --link names the terminal by a symbolic link too: it replaces only the link
// of a board that has ended (its terminal is gone) and is removed at the end while it still
// names this board. --baud paces the board's line like a UART at that rate.
//
#pragma once

#include "logic/Devices.h"

#include <QStringList>

namespace cli {

int simulate(const QStringList &args);

// Bits one byte takes on the line of a family's boot loader.
int bitsPerByte(devices::Family family);

} // namespace cli
