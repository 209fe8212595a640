// The command-line face of the program, for scripts and production lines:
//
//   tramelo download --device DEV --port PORT [--port PORT...] [--board DEV,PORT,FILE...]
//                    [--baud RATE] [--no-reset] [--reset-ms N] [--timeout N] [--6t] FILE
//   tramelo read ...  (STM32 flash into a file: cli/Read.h)
//   tramelo ports
//   tramelo simulate ...   (virtual boards: cli/Simulate.h)
//   tramelo --help | --version
//   tramelo [--demo]       (the window program: cli/Window.cpp, cli/Demo.h)
//
// A download runs the programmers' engines (src/engines) under QCoreApplication: no widget is
// made, no display is needed, and the executable links no GUI library. The port is opened with the line the window's download
// button sets for the family. Message lines go to standard output as they appear; status
// texts and a progress bar go to standard error when it is a terminal; notices become lines
// on standard error. Several boards are written at once, each engine on a thread of its own:
// then every line starts with its port and a table ends the run. Exit status (the worst of
// the boards'): 0 written, 1 failed, 2 usage error or a file that cannot be used, 3 the port
// cannot be opened, 128+n ended by signal n. Of the settings file only the [Ports] section is
// read, by "COMn" names, which resolve as in the window; nothing is written to it.
#pragma once

#include "serial/BaudRate.h"

#include <QStringList>
#include <cstdio>
#include <optional>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPort = 3;

// Writes text to f as UTF-8 and flushes it; writers on several threads never interleave.
void writeText(FILE *f, const QString &text);

// An option's value: the argument after args[i], which i then names. False when there is
// none, or when the next argument is an option name ("--...").
bool takeValue(const QStringList &args, int &i, QString &into);
// The rate --baud names in decimal: one of the window's list (110 .. 115200) or a fast rate
// (kFastBaudRates); none chosen for any other text.
BaudRate baudOf(const QString &text);
// The usage error for a fast rate given to devices of another family than STM32 (named in
// `others`), naming the rates they take; empty when the rate is not fast or none are named.
QString fastRateRefusal(BaudRate rate, const QStringList &others);
// An LPC oscillator frequency in kHz as the handshake sends it ("11059.2", "12000"): digits,
// at most one decimal point with 1-3 digits after it, 1 to 100000.
bool lpcCrystalText(const QString &text);
// An address or length written in decimal or as 0x hexadecimal, at most 32 bits.
std::optional<quint32> addressNumber(const QString &text);

// True when the program was started with a command; without one, or with --demo, the window
// program runs.
bool wantsCommandLine(int argc, char **argv);
int run(int argc, char **argv);

} // namespace cli
