// What the programmers and their callers (the window, the command line, the tests) exchange:
// the choices a download starts from and how it ended.
#pragma once

#include "logic/ResetSequence.h"
#include "serial/BaudRate.h"

#include <QString>
#include <memory>
#include <optional>

namespace boardentry {
class SharedPower;
}

// How a download attempt ended.
enum class DownloadResult {
    Written,       // the image was written
    Failed,        // the board did not answer, answered wrongly, or the port failed on the way
    RefusedFile,   // the firmware file could not be used; the board was not erased
    PortNotOpened, // the port could not be opened
};

// The download page's choices in one value (the command line's face sets them all at once;
// the window gathers them from its controls when the download button is pressed).
struct DownloadChoices
{
    int device = 0;     // index in the device list (devices::deviceList())
    int port = 0;       // 0 = COM1 .. 7 = COM8
    // The line's rate; none chosen keeps the window's list choice (the command line: the
    // family's default). The command line gives STM32 boards the fast rates as well.
    BaudRate baud;
    bool reset = true;  // pulse RTS/DTR into the boot loader
    // STM32: after a written image, raise DTR, wait 5 ms and lower RTS so that a board wired
    // for the automatic reset runs its new firmware. The command line leaves the lines alone
    // when it was told not to reset (--no-reset): the user does not use them for that.
    bool restartWhenDone = true;
    QString resetMs;    // reset time field; empty keeps it
    QString timeout;    // time-out field; empty keeps it
    bool sixT = false;  // STC clock mode 6T instead of 12T
    QString file;       // the firmware file
    // STM32: read every block back and compare. LPC: compare every copied block ("M"), or the
    // CRC-32 of the whole image ("S") on parts that have it.
    bool verify = false;
    // LPC: the oscillator frequency in kHz sent in the handshake; empty sends "11059.2".
    QString crystalKhz;
    // STM32: remove read-out protection first (the chip erases its whole flash).
    bool unprotect = false;
    // STM32: Write Unprotect before the erase (the chip restarts), Readout Protect after a
    // written image.
    bool writeUnprotect = false;
    bool protect = false;
    // STC: the name its own port opens ("COM1".."COM8" or a device path); empty: COMn of port.
    QString portName;
    // STC15, STC8: the frequency the RC oscillator is trimmed to, in MHz; 0 keeps the chip's
    // trim.
    double clockMhz = 0;
    // STC12, STC15, STC8: option bytes the user changes; the others are written back as the
    // chip reported them.
    std::optional<bool> eraseEeprom, resetPinEnabled, lowVoltageReset;
    // The lines into the boot loader (run when reset is set) and out of it after a written
    // image (when restartWhenDone is set). Unset: the family's default sequence.
    std::optional<resetseq::Sequence> entrySequence, exitSequence;
    // Swapped or inverted lines of the adapter, applied to whichever sequence runs.
    resetseq::Wiring wiring;
    // Run through /bin/sh -c at the moment the chip must be reset (empty: none): before the
    // STM32/LPC entry sequence, during the STC synchronisation pulses. A failure ends the
    // attempt before anything is written.
    QString powerCycle;
    int powerCycleTimeoutMs = 30000;
    // Several boards of one run: the command is theirs together and runs once (see
    // boardentry::SharedPower); ticket is this board's number in it.
    std::shared_ptr<boardentry::SharedPower> sharedPower;
    int powerTicket = -1;
    // A binary file is placed at this address (STM32, LPC: the flash address; STC: the code
    // address) instead of the flash's first byte; other formats carry their own addresses.
    std::optional<quint64> binaryAddress;
};
