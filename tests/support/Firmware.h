// Firmware files for tests: reproducible image bytes and their Intel HEX text.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QtEndian>
#include <utility>

namespace firmware {

// Bytes that vary from address to address, the same in every run for the same seed.
QByteArray pattern(qsizetype size, quint32 seed = 1);
// The same bytes with every 0x00 made 0x01, so an STC image is never cut short.
QByteArray patternWithoutZero(qsizetype size, quint32 seed);

// The image with its reserved vector (the word at 0x14) set so that the eight vector words add
// up to zero, as an LPC2000 boot loader wants of code it starts: such an image is written as
// it is. The image must hold the vector table (32 bytes).
QByteArray lpcBootable(QByteArray image);

// One Intel HEX record with its checksum, ended by CR LF.
QByteArray hexRecord(int type, quint16 offset, QByteArrayView data);
// An extended linear address record (type 04) for the upper 16 address bits.
QByteArray linearBase(quint16 upper);
// An extended segment address record (type 02): segment * 16 is added to the offsets.
QByteArray segmentBase(quint16 segment);
inline const QByteArray kEndOfFile = ":00000001FF\r\n";

// Data records of at most recordBytes bytes for each (address, bytes) segment, then the end
// record.
QByteArray intelHex(const QList<std::pair<quint16, QByteArray>> &segments, int recordBytes = 16);
// An image from address 0 (at most 64 KiB).
QByteArray intelHex(const QByteArray &image, int recordBytes = 16);
// Data placed from any 32-bit address, with an extended linear address record wherever the
// upper 16 bits change (before the first data record too, unless baseFirst is false and the
// data starts in the first 64 KiB, where a reader begins), then the end record.
QByteArray intelHexAt(QByteArrayView data, quint32 address, int recordBytes, bool baseFirst = true);

// One Motorola S-record (type 0..9) with its count and checksum, ended by CR LF; the address
// takes the type's width (S1: 16 bits, S2: 24, S3: 32).
QByteArray sRecord(int type, quint32 address, QByteArrayView data = {});

// An ELF file's program header entry: type PT_LOAD unless told, the bytes in the file, the
// physical (load) and virtual addresses, and memSize (at least the bytes' size).
struct ElfSegment
{
    quint64 paddr = 0;
    quint64 vaddr = 0;
    QByteArray bytes;
    quint64 memSize = 0;
    quint32 type = 1; // PT_LOAD
};
// An executable ELF file for a machine of either class and byte order: the header, the program
// header table behind it, then each segment's bytes in order.
QByteArray elfFile(const QList<ElfSegment> &segments, bool is64 = false, bool bigEndian = false);

} // namespace firmware
