// The one hex-text helper of the program: bytes to hexadecimal text and back.
// Frames of the STC protocol are held as hex text, the terminal shows and sends hex, and the
// HEX file reader checks and reads records; all of them use these functions.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <optional>

namespace hextext {

// Value of one hexadecimal digit (either case), or -1 for any other character.
constexpr int digitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return -1;
}

// Blanks and line ends: what may stand between the records of an Intel HEX file.
constexpr bool isHexBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Unsigned value of the hexadecimal digits text[pos .. pos+count-1]; nullopt when the text is
// too short or holds a character that is not a hexadecimal digit. count is at most 8.
std::optional<quint32> parseField(QStringView text, qsizetype pos, int count);

// Two upper-case digits per byte, no separators: {0x46, 0xB9} -> "46B9".
QString toHex(QByteArrayView bytes);
// Two upper-case digits and one blank per byte: {0x41, 0x0D} -> "41 0D ".
QString toSpacedHex(QByteArrayView bytes);

// Pairs of hexadecimal digits to bytes, from the first character; a last odd digit is
// dropped. Every character must be a digit; a pair holding any other character gives 0x00
// for that pair (callers pass texts they built themselves).
QByteArray fromHex(QStringView hex);

// Keeps only the hexadecimal digits of a text (in order) and pairs them into bytes; an odd
// last digit is dropped. "1 23 4f x5" -> 12 34 F5; "0x41 0x42" -> 04 10 42.
QByteArray filterHexBytes(QStringView text);

// One record of an Intel HEX file: ':' count(2) load offset(4) type(2) data(2 * count)
// checksum(2), the checksum being the two's complement of the sum of all the other bytes.
struct HexRecord
{
    quint32 type = 0;
    quint32 offset = 0; // load offset of a data record
    QByteArray data;    // the bytes of a data record (type 00), up to 255
    quint32 value = 0;  // the 16-bit value of an address record (types 02 and 04)
};
constexpr quint32 kHexData = 0x00;
constexpr quint32 kHexEndOfFile = 0x01;
constexpr quint32 kHexSegmentBase = 0x02;
constexpr quint32 kHexLinearBase = 0x04;
// Count, offset, type and checksum: the digits of a record without data (the ':' not counted).
constexpr int kHexRecordOverhead = 10;
constexpr int kHexMaxRecordDigits = kHexRecordOverhead + 2 * 255;

enum class HexRecordStatus {
    NotARecord,  // empty, or the first character is not ':'
    Malformed,   // a character that is not a hexadecimal digit, more digits than the count
                 // asks for, or an address record whose value is not two bytes
    CutShort,    // fewer digits than the count and the checksum need
    BadChecksum, // all there, but the bytes do not sum to zero
    Ok,
};
// One record: the text from its ':' on, with nothing after its checksum but blanks and line
// ends. Everything is checked, so a record that is Ok holds exactly what its writer meant.
// Never reads outside the text.
HexRecordStatus parseHexRecord(QByteArrayView text, HexRecord &out);
HexRecordStatus parseHexRecord(QStringView text, HexRecord &out);

// Places a record's data at offset in an image, growing it with fill over any hole between
// its end and the offset. The caller has bounded offset and size.
void placeData(QByteArray &image, qsizetype offset, QByteArrayView data, char fill);

} // namespace hextext
