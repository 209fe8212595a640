// Pure logic of the STM32 programmer: the boot-loader protocol's bytes, frames and reply
// checks, the erase plan from the chip's geometry, the message texts built from replies, the
// Intel HEX line parser and the loading of a firmware file into the image that is written
// from the start of flash.
//
// The boot loader speaks the ST UART protocol: a command is one byte and its complement, an
// address is four bytes most significant first and their XOR, a data block is its count - 1,
// the bytes and the XOR of all of them. Every step is acknowledged with kAck.
//
// Nothing here touches a window, a timer or a port; the state machine in the main window
// calls these functions and sends what they build.
#pragma once

#include "logic/FirmwareFile.h"
#include "logic/FirmwareImage.h"
#include "logic/HexText.h"
#include "logic/ShownText.h"

#include <QBitArray>
#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>

namespace devices {
struct Stm32Part;
enum class Stm32Rdp : quint8;
}

namespace stm32 {

// Protocol bytes.
constexpr quint8 kAck = 0x79;
constexpr quint8 kNack = 0x1F;
constexpr quint8 kSync = 0x7F;
constexpr quint8 kCmdGet = 0x00;
constexpr quint8 kCmdGetId = 0x02;
constexpr quint8 kCmdReadMemory = 0x11;
constexpr quint8 kCmdErase = 0x43;
constexpr quint8 kCmdExtendedErase = 0x44;
constexpr quint8 kCmdWriteMemory = 0x31;
constexpr quint8 kCmdWriteUnprotect = 0x73;
constexpr quint8 kCmdReadoutProtect = 0x82;
constexpr quint8 kCmdReadoutUnprotect = 0x92;
constexpr quint8 kCmdGetChecksum = 0xA1; // protocol V3.3 and later, where the Get list names it
// Page count byte 0xFF followed by 0x00 asks the boot loader to erase the whole flash.
constexpr quint8 kGlobalEraseCount = 0xFF;
constexpr quint8 kGlobalEraseChecksum = 0x00;
// Get answers with the number of bytes that follow minus one: version and eleven command codes.
constexpr quint8 kGetReplyCount = 0x0B;
// Get ID answers with the number of id bytes minus one.
constexpr quint8 kGetIdReplyCount = 0x01;

// Memory.
constexpr quint32 kFlashStart = 0x08000000;
constexpr quint32 kFlashSizeRegister = 0x1FFFF7E0;
constexpr int kFlashSizeRegisterBytes = 2; // 16 bits, KiB, little endian
constexpr int kPageSize = 1024;
constexpr int kBlockSize = 256;
// Largest erase list the page numbers can address (one byte per page number, 0xFF reserved).
constexpr int kMaxPageListPages = 255;

// Buffers and limits.
// StmImage: 2 MiB from kFlashStart, the largest flash of the table's lines (F42x/F43x,
// H74x/H75x, U575/U585); the flash size the chip reports bounds each download.
constexpr qsizetype kImageCapacity = 0x200000;
constexpr qsizetype kHexSizeLimit = 0x40000;   // a HEX image may not exceed 256 KiB (F10x)
constexpr int kFrameSize = 264;                // StmFrame
constexpr int kImagePadding = 4;               // HEX images are padded to a multiple of this
// Padding at the end of a HEX image: erased flash (AN3155 Write Memory: the rest of a flash
// word "should be filled by 0xFF").
constexpr char kPadByte = char(0xFF);
constexpr char kGapByte = char(0xFF);          // erased flash: fills holes between records

constexpr char kExpectedProductId[] = "0414";

// Erase commands name at most this many pages at once (the chip answers each command only
// when its pages are erased, and every answer must come within the time-out); sector lines
// erase one sector per command (a 128 KiB sector takes up to 2 s).
constexpr int kPagesPerEraseCommand = 32;
// Verify: a block that reads back wrongly is written again at most this often.
constexpr int kVerifyRewrites = 3;

// Steps of a download attempt; the value is the step number, StmState.
enum class State : int {
    SyncAck = 1,        // ACK to 0x7F
    GetReply = 2,       // Get: ACK, count, version, 11 command codes, ACK
    GetIdReply = 3,     // Get ID: ACK, count, two id bytes, ACK
    ReadMemoryAck = 4,  // ACK to Read Memory
    ReadAddressAck = 5, // ACK to the flash-size register address
    ReadData = 6,       // ACK and the four bytes of the flash-size register
    EraseAck = 7,       // ACK to Erase: load the file and send the page list
    BlockAck = 8,       // ACK to the page list, later to each block
    WriteMemoryAck = 9,
    WriteAddressAck = 10,
    LastBlockAck = 11,
    VerifyReadAck = 12,    // ACK to Read Memory of the block just written
    VerifyAddressAck = 13, // ACK to its address
    VerifyData = 14,       // ACK and the block's bytes
    UnprotectAck = 15,     // two ACKs to Readout Unprotect
    ResetWait = 16,        // the chip erases its flash and restarts; then sync again
    ChecksumAck = 17,        // ACK to Get Checksum
    ChecksumAddressAck = 18, // ACK to the range's start address
    ChecksumReply = 19,      // ACK to its size, ACK, the CRC (4 bytes) and its XOR
    ProtectAck = 20,         // two ACKs to Readout Protect; the chip then restarts
    UidReadAck = 21,         // ACK to Read Memory of the unique id
    UidAddressAck = 22,      // ACK to its address
    UidData = 23,            // ACK and the id's 12 bytes
};
constexpr int kStateCount = 23;

// Minimum gathered reply length per state, StmReplyLength[state]; index 0 is not a state.
// Verify data waits for the block's length as well (readBackLength), the flash-size read for
// its plan's count.
constexpr std::array<qsizetype, kStateCount + 1> StmReplyLength{0, 1, 15, 5, 1, 1, 3, 1, 1,
                                                                1, 1, 1,  1, 1, 2, 2, 0,
                                                                1, 1, 7, 2, 1, 1, 13};
constexpr qsizetype replyLength(State s)
{
    return StmReplyLength[std::size_t(s)];
}

// ---- Reply tests. Each takes all bytes gathered for the state (at least replyLength) ----

// State 1: the last gathered byte is ACK (noise before it does not matter).
bool syncAccepted(QByteArrayView reply);
// Synchronisation. A loader that detects the rate in software may miss the first 0x7F (a
// bad measurement, a byte lost while it starts); AN2606 advises sending 0x7F again when no
// ACK comes. So it goes out again when kSyncRetryMs pass without an ACK, kSyncAttempts
// times in all (within the connection's first second, as before).
inline constexpr int kSyncAttempts = 5;
inline constexpr int kSyncRetryMs = 200;
// The answer to the attempt-th 0x7F (from 1) synchronises: an ACK, or after a repeated 0x7F a
// lone NACK: the loader was already listening for commands, took the 0x7F before as a command
// byte and this one as its wrong complement (AN3155 §2: a command byte is followed by its
// complement, otherwise NACK).
bool syncAnswered(QByteArrayView reply, int attempt);
// The fastest rate ST tests its USART boot loaders at (AN2606, baud-rate detection); a
// connection above it that does not synchronise suggests it.
inline constexpr quint32 kHighestTestedBaud = 115200;
// State 2: ACK, count N, version, N command codes (the first is Get, 0x00) and the closing
// ACK: N + 4 bytes (15 for the eleven commands of the F10x loaders; later loaders list
// more). Returns the boot-loader version byte, or nullopt when the reply fails the test or
// is not complete.
std::optional<quint8> acceptGetReply(QByteArrayView reply);
// Bytes the Get reply needs, judged from what has been gathered (at least 15).
qsizetype getReplyLength(QByteArrayView gathered);
// The command codes the Get reply lists (empty when the reply fails the test).
QByteArray offeredCommands(QByteArrayView reply);
// State 3: ACK, count 0x01, closing ACK. Returns the product id as four upper-case
// hexadecimal digits ("0414"), or nullopt.
std::optional<QString> acceptGetIdReply(QByteArrayView reply);
// The Read Memory that fetches the flash-size register as the part's loader answers it: count
// bytes from address, the register's two bytes at offset in what is read.
struct SizeReadPlan
{
    quint32 address = kFlashSizeRegister;
    int count = kFlashSizeRegisterBytes;
    int offset = 0;
};
SizeReadPlan sizeReadPlan(const devices::Stm32Part &part);
// State 6: ACK and the plan's count bytes. Returns the flash size in KiB (the two bytes at the
// plan's offset, little endian), or nullopt.
std::optional<quint32> acceptFlashSizeReply(QByteArrayView reply,
                                            const SizeReadPlan &plan = SizeReadPlan{});
// The same from the bytes read (without the ACK).
std::optional<quint32> flashKibIn(QByteArrayView data, const SizeReadPlan &plan);
// The 96-bit unique id is read as the flash-size register is: taken from the size read's
// bytes when its area holds the id (F2/F4, L0: their loaders refuse shorter reads there),
// otherwise read on its own, 12 bytes at its register. address 0: the part names no id.
constexpr int kUniqueIdBytes = 12;
struct UniqueIdPlan
{
    bool inSizeRead = false; // the id is at offset in the bytes of the size read
    quint32 address = 0;     // otherwise: read kUniqueIdBytes here
    int offset = 0;
};
UniqueIdPlan uniqueIdPlan(const devices::Stm32Part &part, const SizeReadPlan &size);
// The id in bytes read (12 at offset), as upper-case hexadecimal in address order; "" when
// the bytes are too few.
QString uniqueIdIn(QByteArrayView data, int offset = 0);
// "芯片唯一 ID: 37FFD8054B52383123581043".
QString uniqueIdLine(const QString &uid);
// States 4, 5, 7 to 11: the first byte is ACK.
bool ackFirst(QByteArrayView reply);
// A refusal: the first byte is NACK.
bool nackFirst(QByteArrayView reply);
// Verify: ACK and length bytes read back. nullopt while the reply is short or not ACKed.
std::optional<QByteArray> acceptReadBack(QByteArrayView reply, qsizetype length);
// Readout Unprotect: two ACKs (command accepted, flash erased and protection removed).
bool unprotectAccepted(QByteArrayView reply);
// Get Checksum's answer after the size frame: ACK, ACK, the CRC MSB first, their XOR.
std::optional<quint32> acceptChecksumReply(QByteArrayView reply);
// The CRC the loader's Get Checksum computes: polynomial 0x04C11DB7, initial 0xFFFFFFFF, over
// 32-bit little-endian words taken MSB first, no reflection, no final XOR (the chip's CRC unit).
// data: a multiple of four bytes (a shorter tail is not counted).
quint32 checksumOfWords(QByteArrayView data, quint32 crc = 0xFFFFFFFF);

// ---- Frames ----

// Command byte and its complement: Get -> 00 FF, Erase -> 43 BC.
QByteArray commandFrame(quint8 command);
// Four address bytes, most significant first, then their XOR: 0x08000100 -> 08 00 01 00 09.
QByteArray addressFrame(quint32 address);
// Read Memory's count frame for 1 to 256 bytes: count - 1 and its complement (4 -> 03 FC).
// Counts outside 1..256 are clamped into that range.
QByteArray readCountFrame(int byteCount);
// XOR of all bytes.
quint8 xorChecksum(QByteArrayView bytes);

// How the flash is erased for an image: the erase units (pages or sectors) that the image
// covers from the flash start, exactly, each frame sent after its own erase command.
//   Erase 0x43: a page list N-1, pages, XOR (3000 bytes on 1 KiB pages -> 02 00 01 02 01);
//   from 256 pages on, page numbers no longer fit a byte and FF 00 erases the whole flash.
//   Extended Erase 0x44: N-1 and each unit as two bytes, most significant first, then the
//   XOR of all of them.
struct ErasePlan
{
    quint8 command = kCmdErase;
    QList<QByteArray> frames; // one per erase command
    int units = 0;            // pages or sectors erased (the count of unitList)
    QList<int> unitList;      // their numbers, ascending
    bool sectors = false;     // units are sectors
    bool global = false;      // FF 00
    // A unit past page 255 needs the global erase, which would also erase flash below the
    // image (a boot loader in front of an application): the plan is refused instead.
    bool unreachable = false;
    qint64 coveredBytes = 0; // bytes of flash from the flash start to the end of the last unit
    // The units are the whole flash the chip reports, erased by one command: FF 00 (Erase) or
    // FFFF (Extended Erase).
    bool wholeFlash = false;
    int bank = 0; // 1 or 2: that bank's units erased by FFFE or FFFD, the rest unit by unit
};

// A stretch of an image that a file gave data for: bytes offset .. offset + length - 1 from
// the flash start. Holes between stretches are neither erased nor written.
struct Span
{
    qsizetype offset = 0;
    qsizetype length = 0;
    qsizetype end() const { return offset + length; }
    friend bool operator==(const Span &, const Span &) = default;
};
// The ranges Get Checksum is asked for: the spans widened to whole words, joined where they
// then touch. Bytes the widening adds are the image's (0xFF past its end: erased flash).
QList<Span> checksumRanges(const QList<Span> &spans);
QByteArray checksumBytes(QByteArrayView image, Span range);
// Units of the part's geometry that cover imageLength bytes from the flash start. For a
// sector line an image beyond its last sector gives -1.
int eraseUnits(const devices::Stm32Part &part, qsizetype imageLength);
// Bytes spanned by units 0 .. units - 1.
qint64 eraseUnitBytes(const devices::Stm32Part &part, int units);
ErasePlan erasePlan(const devices::Stm32Part &part, bool extended, qsizetype imageLength);
// The units that the stretches touch, and only those: flash below the first stretch and in the
// holes between stretches keeps what it holds.
ErasePlan erasePlan(const devices::Stm32Part &part, bool extended, const QList<Span> &spans);
// The same for a chip that reports flashBytes of flash. When the units are all of it, one
// mass erase takes their place (FF 00, or FFFF: AN3155 §3.7, §3.8) where the line has one
// (L0/L1 have none); on two-bank lines a bank whose every unit is listed is erased by its
// code (FFFE bank 1, FFFD bank 2), when the chip has the line's full two-bank flash (smaller
// parts of a line may have one bank, and their bank 1 would then be the whole flash). Every
// other plan names its units as above.
ErasePlan erasePlan(const devices::Stm32Part &part, bool extended, const QList<Span> &spans,
                    qint64 flashBytes);
// Extended Erase's special numbers (AN3155 §3.8).
constexpr quint16 kMassEraseCode = 0xFFFF;
constexpr quint16 kBank1EraseCode = 0xFFFE;
constexpr quint16 kBank2EraseCode = 0xFFFD;
// A frame of a plan that erases a whole flash or bank in one command (FF 00, FFFF, FFFE,
// FFFD): its answer comes only when all of it is erased, which takes seconds (tens of seconds
// on a 2 MiB part at low supply voltage).
bool bulkEraseFrame(QByteArrayView frame);
// The unit holding the byte at offset from the flash start; -1 past a sector line's end.
int eraseUnitAt(const devices::Stm32Part &part, qsizetype offset);
// The bytes of flash that unit spans, from the flash start; empty for a unit that is none.
Span unitSpan(const devices::Stm32Part &part, int unit);
// What of the stretches lies inside within: verify repairs erase one unit and write again
// exactly the image's data inside it.
QList<Span> clipSpans(const QList<Span> &spans, Span within);

// The part a product id names, or the F10x rules for an id the table does not know.
const devices::Stm32Part &partFor(quint16 productId);
// Binary images are padded with 0xFF to whole words (and to the double words of lines that
// program 64 bits at once); HEX images arrive padded to 4 with 0xFF and get 0xFF for the
// rest of a double word.
void padToWriteUnit(QByteArray &image, int writeUnit);

// One Write Memory data block, sent as three pieces: the count byte, the data, the checksum.
struct Block
{
    quint8 countByte = 0; // n - 1
    QByteArray data;      // n bytes, 1 <= n <= 256
    quint8 checksum = 0;  // (n - 1) XOR all data bytes
};
// The block of up to 256 bytes of image that starts at offset. nullopt when offset is not
// inside the image (there is nothing left to write).
std::optional<Block> blockAt(QByteArrayView image, qsizetype offset);
// The first offset at or after from that holds data, or nullopt when no stretch is left.
// Within a stretch the next block starts where the last one ended.
std::optional<qsizetype> nextDataOffset(const QList<Span> &spans, qsizetype from);
// The block of up to 256 bytes at offset, ending where its stretch ends.
std::optional<Block> dataBlockAt(QByteArrayView image, const QList<Span> &spans,
                                 qsizetype offset);
// Stretches widened to whole write units (start rounded down, end up) and merged where they
// then meet, clipped to the image; the bytes they gain are the image's fill.
QList<Span> alignSpans(const QList<Span> &spans, int writeUnit, qsizetype imageSize);
// The Write Memory blocks that write the stretches (each ends where its stretch ends).
int blockCount(const QList<Span> &spans);

// ---- Message texts ----

// "Bootloader 版本 2.2" for version byte 0x22 (high nibble "." low nibble, in decimal).
QString versionLine(quint8 version);
// "Product ID: 0414".
QString productIdLine(const QString &productId);
// The line name from the device table ("STM32F10xxExx 家族" for 0414), else "未知的设备".
QString familyLine(const QString &productId);
// After "未知的设备": the rules the download goes on with.
QString reasonUnknownProductId(const QString &productId);
// "存储容量 Flash:512 KB".
QString flashSizeLine(quint32 kib);
// The loader refused the read of the flash-size register: the download goes on with the size
// of the device table, and says so.
QString flashSizeFromTableLine(quint32 registerAddress, quint32 kib);
// The step a silent boot loader left unanswered, as the line before the time-out's end:
// "无应答: Get ID (0x02)".
QString noAnswerLine(State state);
// The same for a Read Memory of the flash at address, which no download state names:
// "无应答: Read Memory (0x11), 0x08000400".
QString noAnswerReadLine(quint32 address);
// "文件尺寸: 5000 Byte / 4 KB".
QString sizeLine(qsizetype length);
// Status while writing: "写地址: 0x08000100".
QString writeAddressStatus(quint32 address);
// "擦除页 0 .. N" with N = pageCount - 1.
QString eraseLine(int pageCount);
// The erase line of a plan: pages as above, sectors "擦除扇区 0 .. N".
QString eraseLine(const ErasePlan &plan);
// Status while verifying a block: "校验地址: 0x08000100".
QString verifyAddressStatus(quint32 address);
// The last line of a download that verified: "校验完成: 全部 N 个数据块已读回，与文件一致".
QString verifiedLine(int blocks);
// Verified through the loader's CRC (Get Checksum) instead of reading back.
QString checksumVerifiedLine(int ranges);
QString reasonChecksumMismatch(quint32 address, qsizetype length, quint32 chip, quint32 file);
// A block that read back wrongly: its page or sector is erased and its data written again.
QString repairLine(quint32 address, const ErasePlan &plan);

// The window's programmer and `tramelo read` show these alike.
inline constexpr ShownText kNoContactText{"stm32",
                                          QT_TRANSLATE_NOOP("stm32", "无法和设备通讯，请重新复位")};
inline constexpr ShownText kFailedText{"stm32", QT_TRANSLATE_NOOP("stm32", "连机失败 ！")};
// The last lines of a failure after the chip had answered (connected): the reason line above
// says what failed. "连机失败" is only for a chip that could not be reached.
inline constexpr ShownText kVerifyFailedText{"stm32", QT_TRANSLATE_NOOP("stm32", "校验失败 ！")};
inline constexpr ShownText kReadFailedText{"stm32", QT_TRANSLATE_NOOP("stm32", "读取失败 ！")};
// Reset into the boot loader: DTR and RTS on for this long, then DTR off for as long (the
// default entry sequence, resetseq::stm32Entry()).
constexpr unsigned long kResetPulseMs = 500;

// ---- Reason lines (before "连机失败 ！", or alone for a refused image) ----

QString reasonImageTooLarge(qsizetype imageBytes, quint32 flashKib);
// The L0/L1 data EEPROM as offsets from the flash start (empty for lines without one). HEX
// records at its addresses are written there, without an erase (its words take any value:
// RM0367 §3.3.4, RM0038 §3.3.4); a binary image never reaches it.
Span eepromSpan(const devices::Stm32Part &part);
// "数据 EEPROM: 16 Byte 自 0x08080000".
QString eepromLine(qsizetype bytes, quint32 address);
// The first offset at or past limit that the stretches give data for; nullopt when none does.
std::optional<qsizetype> firstDataPast(const QList<Span> &spans, qsizetype limit);
// Data that lies apart from the rest, past the end of the flash (a HEX record for another
// memory): its address named.
QString reasonDataPastFlash(quint32 address, quint32 flashKib);
// rdp: the part's read-out protection (the texts name Level 1 where the line has levels).
QString reasonEraseRefused(devices::Stm32Rdp rdp);
// A page past 255 can only be erased with the whole flash, which would erase what lies below
// the image.
QString reasonEraseUnreachable(int page);
QString reasonWriteRefused(quint32 address, devices::Stm32Rdp rdp);
QString reasonReadProtected(devices::Stm32Rdp rdp);
QString reasonHowToUnprotect(devices::Stm32Rdp rdp);
QString reasonVerifyFailed(quint32 address);
QString reasonReadRefused(quint32 address);
QString reasonCommandMissing(quint8 command);
// No synchronisation at a rate above kHighestTestedBaud: says so and suggests 115200. Empty
// at kHighestTestedBaud and below.
QString reasonNoSyncAtRate(quint32 baud);
QString unprotectingLine(devices::Stm32Rdp rdp);
// Write protection (AN3155 Write Unprotect, Readout Protect).
QString writeUnprotectingLine();
QString protectedLine(devices::Stm32Rdp rdp);
QString reasonHowToWriteUnprotect();
QString reasonWriteUnprotectRefused();
QString reasonProtectRefused();

// ---- Intel HEX ----

// The data of a HEX file placed by address into an image that starts at kFlashStart.
// Absolute address = extended linear base (type 04, value * 65536) + extended segment base
// (type 02, value * 16) + the record's load offset. Addresses at or above kFlashStart are
// offsets from the flash start. A file whose data addresses all lie below kFlashStart (linked
// for the flash alias at address 0, or written without base records) is read as offsets from
// the flash start. Holes read kGapByte; a later record overwrites an earlier one.
//
// Placement never grows the image past its size limit (kHexSizeLimit unless told otherwise):
// a record that would is refused on the spot, so a file aimed at RAM or the option bytes
// allocates nothing.
class StmHexImage
{
public:
    enum class Place { Ok, OutOfRange, TooLarge };

    explicit StmHexImage(qsizetype sizeLimit = kHexSizeLimit) : limit_(sizeLimit) {}
    qsizetype sizeLimit() const { return limit_; }

    void setLinearBase(quint32 upper16) { linearBase_ = quint64(upper16) << 16; }
    void setSegmentBase(quint32 segment) { segmentBase_ = quint64(segment) << 4; }
    quint64 base() const { return linearBase_ + segmentBase_; }

    // Places data at the absolute address. OutOfRange: the record lies (partly) outside the
    // 2 MiB image window; TooLarge: inside it but past the size limit. Nothing is placed then.
    Place place(quint64 address, QByteArrayView data);

    // Bytes placed so far ignoring which window they went to.
    bool empty() const { return flash_.isEmpty() && low_.isEmpty(); }
    // Both windows used: some data lies below the flash start while other data is in flash.
    bool mixed() const { return !flash_.isEmpty() && !low_.isEmpty(); }
    // Lowest absolute address placed below the flash start (for the refusal text).
    quint64 lowestLowAddress() const { return lowestLow_; }
    // Absolute address of the last record that place() refused.
    quint64 refusedAddress() const { return refused_; }
    // The image from offset 0: the flash window, or the low window when only it was used.
    // Not padded. Empty when nothing was placed or both windows were used.
    QByteArray image() const;
    // The stretches of image() that records gave data for, ascending and merged.
    QList<Span> spans() const;

private:
    qsizetype limit_;
    quint64 linearBase_ = 0;
    quint64 segmentBase_ = 0;
    QByteArray flash_; // offsets from kFlashStart
    QByteArray low_;   // addresses below kFlashStart, taken as offsets
    QBitArray flashHas_, lowHas_; // which bytes of each window a record gave
    quint64 lowestLow_ = ~quint64(0);
    quint64 refused_ = 0;
};

enum class HexLine {
    Ignored,    // not a record (no ':'), or a record type that does not affect the image
    Data,       // data placed
    Address,    // a base was set
    EndOfFile,  // type 01: the reader stops here
    Invalid,    // not a sound record (see hextext::parseHexRecord): changes nothing
    OutOfRange, // data outside the 2 MiB image window
    TooLarge,   // data past the image's size limit
};

// One checked record of a HEX file, placed into the image. A data record may carry up to 255
// bytes.
HexLine ParseStmHexLine(const hextext::HexRecord &record, StmHexImage &image);
// One line holding one record (line end stripped or not), checked first as the file reader
// checks it. An invalid line changes nothing. Never reads outside the line.
HexLine ParseStmHexLine(QStringView line, StmHexImage &image);

// Flash read back to a file: Intel HEX text of data from address on (a type 04 record at
// each 64 KiB boundary, 16 data bytes per record, CR LF line ends, end-of-file record).
QByteArray intelHexText(quint32 address, QByteArrayView data);

// ---- Loading a firmware file ----

enum class LoadStatus {
    Loaded,
    Missing,      // no such file: the attempt ends at once
    NotAFile,     // a directory or other non-file: ends at once like Missing
    Unreadable,   // cannot be opened or read
    FileTooLarge, // binary over 2 MiB, or HEX text over 64 MiB: not read
    HexTooLarge,  // HEX image over its size limit (256 KiB on F10x lines) after padding
    OutOfRange,   // HEX data outside the image window (option bytes, RAM, ...)
    Empty,        // a 0-byte binary file or a HEX file without data
    Damaged,      // a HEX file cut short, with a bad checksum or text that is no record; the
                  // status text names the line
};

struct LoadResult
{
    LoadStatus status = LoadStatus::Unreadable;
    bool hex = false;   // read as Intel HEX
    QByteArray image;   // the bytes from kFlashStart on; empty unless Loaded
    QList<Span> spans;  // what of image the file gave: all of it for a binary file
    QString statusText; // status bar text: the success text or the reason for the refusal
    QString warning;    // "" or a line to show before the download (records that overlap)
    bool ok() const { return status == LoadStatus::Loaded; }
};

// Status texts.
QString statusMissing();      // "文件不存在"
QString statusBinaryLoaded(); // "下载目标代码"
QString statusHexLoaded();    // "下载目标代码。。。"
// "文件太大，不能用于256K Flash" for the F10x limit; other limits name their own size.
QString statusHexTooLarge(qsizetype sizeLimit = kHexSizeLimit);

// A file is read as Intel HEX when its name says so (firmwarefile::isHexFileName).
using firmwarefile::isHexFileName;

// The largest HEX image for a part: every line may fill the 2 MiB image, and the flash size
// read from the chip refuses what does not fit before anything is erased (a 512 KiB F103 takes
// a 300 KiB HEX file as it takes the same bytes as a binary file).
qsizetype hexSizeLimit(const devices::Stm32Part &part);

// Reads the file at path as HEX or binary by its extension. Sizes are checked before any
// byte is read: a binary file over 2 MiB is refused unread, a HEX file is read record by
// record (firmwarefile::readHex) and refused whole when it is damaged or its image exceeds
// hexLimit. A HEX image is padded with 0xFF to a multiple of 4; a binary image is taken as
// it is.
//
// Files of the other formats (S-records, ELF; a binary given an address) are read into the
// one image model (firmware::load) and placed by the HEX rules: addresses from kFlashStart,
// or all below it as offsets; a stretch outside the image window is refused with its
// addresses. binaryAddress places a binary file there instead of at the flash start.
LoadResult loadImage(const QString &path, qsizetype hexLimit = kHexSizeLimit,
                     std::optional<quint64> binaryAddress = std::nullopt);
// A file read into the image model, placed as above.
LoadResult fromImage(const firmware::Loaded &file, qsizetype hexLimit = kHexSizeLimit);

// The two readers on an open device (used by loadImage; tests and fuzzing feed buffers).
LoadResult loadHex(QIODevice &device, qsizetype hexLimit = kHexSizeLimit);
LoadResult loadBinary(QIODevice &device);

} // namespace stm32
