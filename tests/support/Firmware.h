// Firmware files for tests: reproducible image bytes and their Intel HEX text.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <utility>

namespace firmware {

// Bytes that vary from address to address, the same in every run for the same seed.
QByteArray pattern(qsizetype size, quint32 seed = 1);

// One Intel HEX record with its checksum, ended by CR LF.
QByteArray hexRecord(int type, quint16 offset, QByteArrayView data);
// An extended linear address record (type 04) for the upper 16 address bits.
QByteArray linearBase(quint16 upper);
inline const QByteArray kEndOfFile = ":00000001FF\r\n";

// Data records of at most recordBytes bytes for each (address, bytes) segment, then the end
// record.
QByteArray intelHex(const QList<std::pair<quint16, QByteArray>> &segments, int recordBytes = 16);
// An image from address 0 (at most 64 KiB).
QByteArray intelHex(const QByteArray &image, int recordBytes = 16);

} // namespace firmware
