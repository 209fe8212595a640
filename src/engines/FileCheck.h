// The firmware file checked with the family's own loader before any board is touched: the
// window's download button and the command line refuse the same files with the same words,
// so a file that cannot be used never resets or erases a chip.
#pragma once

#include "logic/Devices.h"

#include <QString>

namespace filecheck {

struct Verdict
{
    QString refusal; // "<path>: <why>"; empty when the programmer may start
    QString note;    // what the HEX decoding library said about where it loaded from, if anything
};

Verdict check(devices::Family family, const QString &path);

// The refusals that name the file.
QString noSuchFile(const QString &path);
QString symlinkLoop(const QString &path);
QString notRegularFile(const QString &path);
QString notReadable(const QString &path);
QString noDataInImage(const QString &path); // STC: nothing inside the 64 KiB image

} // namespace filecheck
