// Pure logic of the LPC2000 programmer: the Intel HEX reader that builds the flat flash image,
// its padding and size limit, the uuencoding of data lines, the sector layouts chosen by the
// part identification, and the ordered list of ISP transmissions that writes the image.
//
// The NXP UART ISP protocol writes flash through a RAM buffer: for every 4 KB block the
// programmer sends "W <ram> <count>", the block as uuencoded lines of 45 bytes in groups of
// at most 20 each followed by a decimal checksum line (answered "OK"), then "P s s" to
// prepare the block's sector, "C <flash> <ram> <count>" to copy RAM to flash and
// "M <flash> <ram> <count>" to compare what the flash now holds with the RAM (answered "0").
// A copy takes only the counts of the part's copy rule (the device table: 256, 512, 1024 or
// 4096 bytes on the LPC213x, 512, 1024, 4096 or 8192 on the LPC21xx/22xx); the last, partial
// block is filled with 0xFF up to the smallest of these that holds it, so no stale RAM
// reaches the flash and the boot loader takes the count.
//
// The boot loader starts user code only when the eight exception vectors (words 0x00..0x1C)
// add up to zero; word 0x14, the reserved vector, carries the balance.
//
// Nothing here touches a window, a timer or a port: the controller window calls these
// functions and sends the prepared lines.
#pragma once

#include "logic/Devices.h"
#include "logic/FirmwareImage.h"
#include "logic/HexText.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>

namespace lpc {

constexpr quint32 kRamBuffer = 1073742336; // 0x40000200: target of W, source of C
constexpr int kBlockSize = 4096;
constexpr int kLineBytes = 45;            // raw bytes per uuencoded line
constexpr int kLinesPerItem = 20;         // data lines before a checksum line
constexpr int kLinesPerBlock = 92;        // 91 lines of 45 bytes and one of 1 byte
constexpr int kItemsPerBlock = 9;         // write, five data items, prepare, copy, compare
// The largest image: 125 blocks of 4 KiB, what the LPC213x layout's sectors hold below the
// boot block of a 512 KiB part (LPC2138). The part found refuses more than its own flash.
constexpr qsizetype kImageLimit = 512000;
// The largest image for the entry that takes any part: the largest flash of the device table's
// parts; the part found then refuses more than its own.
constexpr qsizetype kAnyPartImageLimit = 1024 * 1024;
constexpr char kFillByte = 0x00;          // address gaps
// Padding to a whole word: the value of erased flash, so the bytes behind the image read as
// they would had nothing been written there.
constexpr char kPadByte = char(0xFF);
constexpr int kImagePadding = 4;
constexpr int kSectorTableSize = 130; // entries 0..129; entry 0 unused
constexpr char kLineEnd[] = "\r\n";
constexpr char kUuZero = '`';           // uuencoding writes value 0 as a grave accent
constexpr char kBlockFill = char(0xFF); // the rest of the last block: erased flash
// In ISP mode the first 64 bytes of flash read as the boot block's vectors: compares of the
// block at address 0 start behind them.
constexpr quint32 kBootVectorBytes = 64;
constexpr int kVectorWords = 8;
constexpr qsizetype kVectorChecksumAt = 0x14;

// ---- Sector layouts and part identification ----

// Entry k (k >= 1) is the sector number that holds 4 KB block k - 1.
using SectorTable = std::array<quint8, kSectorTableSize>;

// A: 8 KB, 64 KB, 8 KB sectors (entries 1..62); B: 4 KB, 32 KB, 4 KB sectors (entries 1..125).
using Layout = devices::LpcLayout;
SectorTable sectorLayout(Layout layout);

struct SectorChoice
{
    Layout layout = Layout::A;
    QString lastSector = QStringLiteral("16"); // LpcLastSector, decimal text
    devices::LpcCopyRule copy = devices::kLpc22xxCopy;
};
// The identification is compared as text exactly as received with the device table ("196387"
// -> B, "14", the LPC213x copy rule); any text not in it, including one with a stray
// character around the digits, gives A, "16" and the LPC21xx/22xx copy rule.
SectorChoice sectorChoiceFor(QStringView partId);

// ---- Intel HEX ----

// The flat image from flash address 0 being built from the lines of one file.
struct LpcHexState
{
    QByteArray image;
    quint32 LpcExtLinear = 0;  // last type 04 value * 65536
    quint32 LpcExtSegment = 0; // last type 02 value * 16
    bool hasData = false;      // at least one data byte was written
    bool vectorData = false;   // a data byte lies in the vector table (0x00..0x1F)
    qsizetype limit = kImageLimit; // no data may end past this address
};

enum class HexLine {
    Ignored,   // no ':' at the start, or a record type that does not affect the image
    Data,      // data bytes written at their address
    Address,   // a base was set
    Malformed, // not a sound record (see hextext::parseHexRecord): the load fails
    TooLarge,  // the data would end past the state's limit: refused before anything grows
};

// One checked record of a HEX file. Data land at LpcExtLinear + LpcExtSegment + offset; the
// image grows with kFillByte up to them, later records overwrite earlier ones. Type 01 is
// Ignored here: the file reader stops at it. On TooLarge the state is unchanged.
HexLine ParseLpcHexLine(const hextext::HexRecord &record, LpcHexState &state);
// One line holding one record (line end stripped or not), checked first as the file reader
// checks it. Never reads outside the line; on Malformed the state is unchanged.
HexLine ParseLpcHexLine(QStringView line, LpcHexState &state);

// Pads an image in place with kPadByte: first one byte when the size mod 4096 is a non-zero multiple
// of 45 (so no block remainder ends in a full 45-byte line), then up to a multiple of 4.
void padImage(QByteArray &image);

// ---- Loading a firmware file ----

enum class LoadStatus {
    Loaded,
    Missing,    // no such file (or not a regular file): the download ends at once
    Unreadable, // cannot be opened or read
    Malformed,  // damaged HEX (cut short, a bad checksum, text that is no record, no end
                // record): refused whole, the status text names the line
    TooLarge,   // image over the limit after padding, or HEX text over 64 MiB
    Empty,      // no data bytes
};

struct LoadResult
{
    LoadStatus status = LoadStatus::Unreadable;
    QByteArray image;      // padded image from flash address 0; empty unless Loaded
    QString statusText;    // text to show and append: the success text or the reason
    int malformedLine = 0; // 1-based line number for Malformed
    // The file itself gave bytes of the vector table (0x00..0x1F): only then is word 0x14
    // balanced, since otherwise the table is not the file's (an application placed behind a
    // boot loader of its own leaves it alone).
    bool vectorData = false;
    QString warning; // "" or a line to show before the download (records that overlap)
    bool ok() const { return status == LoadStatus::Loaded; }
};

QString statusMissing();                   // "文件不存在"
QString statusLoaded();                    // "下载目标代码"
// "文件太大，不能用于500K Flash的LPC ARM"
QString statusTooLarge(qsizetype limit = kImageLimit);
QString codeSizeLine(qsizetype imageSize); // "CodeSize: 9 KB" for 10000 bytes

// Reads the file as Intel HEX when its name says so (firmwarefile::isHexFileName), record by
// record (firmwarefile::readHex), else as a binary image from address 0; pads and checks the
// image.
// Files of the other formats (S-records, ELF; a binary given an address) come from the image
// model (firmware::load) and are laid out as a HEX file is: from flash address 0, holes
// filled; a stretch past kImageLimit is refused with its addresses.
LoadResult loadImage(const QString &path, std::optional<quint64> binaryAddress = std::nullopt,
                     qsizetype limit = kImageLimit);
LoadResult fromImage(const firmware::Loaded &file, qsizetype limit = kImageLimit);
// The same on an open device.
LoadResult loadHex(QIODevice &device, qsizetype limit = kImageLimit);
LoadResult loadBinary(QIODevice &device, qsizetype limit = kImageLimit);

// ---- Vector table ----

// Sets word 0x14 (little-endian) of an image that starts at address 0 to the two's
// complement of the sum of the other seven vector words, so the boot loader starts the code.
// Returns the value written, or nullopt when the image does not hold a vector table: it is
// shorter than the eight words, or they are all zero (nothing the file put there).
// The Cortex-M parts want word 0x1C instead (at): the eight words add up to zero either way.
std::optional<quint32> applyVectorChecksum(QByteArray &image, qsizetype at = kVectorChecksumAt);
// The message line giving the value: "向量表校验和 0x12345678 (写入地址 0x14)".
QString vectorChecksumLine(quint32 value, qsizetype at = kVectorChecksumAt);

// ---- Flash of the part ----

// The flash that an identification's layout covers (the device table; an identification it
// does not know gets the default layout).
qint64 flashBytesFor(QStringView partId);
// Reason line of an image larger than the part's flash, naming both sizes.
QString tooLargeForPartLine(qsizetype imageBytes, qint64 flashBytes);

// ---- uuencoding ----

// Value 1..63 -> the character of code v + 32; 0 -> '`'. Only the low 6 bits are used.
char UuChar(quint8 value);

struct UuLine
{
    QByteArray text; // length character, groups of four, CR LF
    quint32 sum = 0; // unsigned sum of the raw bytes
};
// Encodes 1 to 45 bytes as one line ("abc" -> "#86)C\r\n", sum 294). Bytes past the 45th
// are not encoded; an empty input gives the line "`\r\n" with sum 0.
UuLine UuEncodeLine(QByteArrayView bytes);

// ---- Send list ----

enum class ItemKind : qint32 {
    DataItem = 2,    // data lines and a checksum line, answered "OK" CR LF
    CommandItem = 3, // one command line, answered "0" CR LF
    CompareItem = 4, // "M flash ram count", answered "0" CR LF, or 10 and the offset of the
                     // first difference
    BinaryItem = 5,  // raw data after a W on the LPC8xx: no answer (echo is off)
    CrcItem = 6,     // "S flash count", answered "0" CR LF and the CRC-32 in decimal
};

struct LpcSendItem
{
    ItemKind kind = ItemKind::CommandItem;
    // Lines in sending order, each ending with CR LF; a line's size is its stored length.
    // A data item's last line is its checksum line. At most 21 lines, each at most 64 bytes.
    QList<QByteArray> lines;
    quint32 flashAddress = 0; // a compare or CRC item: the first flash address compared
    quint32 byteCount = 0;    // a CRC item: the bytes it covers
    quint32 expectedCrc = 0;  // a CRC item: the CRC-32 of what was written there
    int lineCount() const { return int(lines.size()); }
};

struct LpcSendList
{
    QList<LpcSendItem> items; // protocol item k (k >= 1) is items[k - 1]
    int LpcFullBlocks = 0;    // whole 4 KB blocks in the image
    // LpcSendCount counts the unused entry 0 too: items 1 .. LpcSendCount - 1 are sent.
    int LpcSendCount() const { return int(items.size()) + 1; }
    const LpcSendItem &item(int pos) const { return items.at(pos - 1); } // 1-based
};

// Cuts the image into write, data, prepare, copy and compare items, block by block; sector
// numbers come from table entries 1 .. blocks. The last, partial block is filled with 0xFF
// to its copy size under the part's rule (copySizeFor); its W, C and M use that count.
// nullopt for an image that is empty or larger than kImageLimit (the table covers no more
// blocks than that).
std::optional<LpcSendList> BuildLpcSendList(QByteArrayView image, const SectorTable &table,
                                            const devices::LpcCopyRule &rule);
// The smallest count of the rule that holds bytes (1..4096); a block (4096) when none below
// it does.
int copySizeFor(qsizetype bytes, const devices::LpcCopyRule &rule);
// Reason line of a compare that found the flash different from RAM at an address.
QString compareFailedLine(quint32 address);
// Whether the pause after a data line must be waited out: the port sends in order, so a line
// that takes longer on the wire (10 bits a byte) than the pause already keeps the next line
// back for longer than the pause; only a longer pause leaves a gap on the line. Blocking the
// thread for a shorter one gains nothing on the wire and costs time on a loaded machine, where
// the sleep overshoots.
bool pauseAfterLine(quint32 pauseMs, qsizetype lineBytes, quint32 bitsPerSecond);

// ---- Any part: the send list from its row of the device table ----

enum class Verify {
    None,    // write only
    Compare, // "M flash ram count" after every copy
    Crc,     // one "S" over everything written, against the image's own CRC-32
};

// Blocks of chip.blockBytes(): "W <ram free> n", the data (uuencoded groups, or raw bytes on
// the LPC8xx), "P s s" for the block's sector, "C flash ram n"; with Compare an "M" after each
// copy, with Crc one "S" at the end. The bytes the boot code maps over address 0 during ISP
// (family->remappedBytes) are left out of both. The last block is filled with 0xFF to the
// smallest copy count that holds it. nullopt for an empty image, one larger than the part's
// flash, or a row whose RAM takes no copy count.
std::optional<LpcSendList> buildPartSendList(QByteArrayView image, const devices::LpcChip &chip,
                                             Verify verify);
// The reflected CRC-32 (polynomial 0xEDB88320, zlib's) that "S" answers.
quint32 crc32(QByteArrayView bytes);
// Reason line of an "S" whose CRC differs from the image's.
QString crcFailedLine(quint32 address, quint32 count, quint32 chipCrc, quint32 imageCrc);

} // namespace lpc
