// Frames, recognition tables and image rules of the STC 8051 serial boot loader.
//
// Every frame the host sends has the form
//   46 B9 | 6A | length (2, total length less 2) | command | payload | checksum | 16
// where the checksum is the low 8 bits of the sum of the bytes from the direction byte 0x6A
// through the last payload byte. Frames are held as text, two upper-case hexadecimal digits
// per byte and no separators, and turned into bytes only when they are sent
// (hextext::fromHex: L div 2 bytes from a text of length L).
//
// A reception is complete when its last byte is 0x16; the chip model, its oscillator and the
// boot-loader version are read from the hexadecimal text of the last complete reception by
// plain substring search and fixed byte positions. The oscillator is measured by the chip
// itself: its status frame carries eight counts taken on the host's handshake bytes, from
// which the clock follows. The chip's answer to a data frame is read as a frame (46 B9 68,
// length, answer code 80, the low 8 bits of the sum of the block's bytes, checksum, 16): it is
// the only proof that the block arrived whole.
//
// Everything here is pure logic (QtCore only) for the STC controller window.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QUtf8StringView>
#include <optional>

namespace stc {

// ---- Fixed protocol bytes and limits ----------------------------------------------------------

inline constexpr quint8 kFrameStart1 = 0x46;
inline constexpr quint8 kFrameStart2 = 0xB9;
inline constexpr quint8 kDirHostToChip = 0x6A;
inline constexpr quint8 kFrameEnd = 0x16;
// The last received byte that marks a reception as complete, as it appears in hex text.
inline constexpr QStringView kFrameEndText = u"16";

inline constexpr quint8 kCmdData = 0x00;
inline constexpr quint8 kCmdOptionFollowUp = 0x50;
inline constexpr quint8 kCmdControl = 0x80;
inline constexpr quint8 kCmdEndFlag = 0x82;
// Answer code of the chip to control, erase, data and end frames.
inline constexpr quint8 kAnswerDone = 0x80;
inline constexpr quint8 kCmdErase = 0x84;
inline constexpr quint8 kCmdOption = 0x8D;
inline constexpr quint8 kCmdBaudStep2 = 0x8E;
inline constexpr quint8 kCmdBaudStep1 = 0x8F;

inline constexpr int kBlockSize = 128;                // image bytes per data frame
inline constexpr int kBlockHexChars = 2 * kBlockSize; // 256 hex digits per block
inline constexpr int kImageBufferSize = 0x10000;      // the decoding buffer, 64 KiB
inline constexpr int kMaxBlocks = kImageBufferSize / kBlockSize;
inline constexpr int kDataFrameSize = 142;   // bytes of one data frame
inline constexpr qint32 kLowBaudRate = 1200; // handshake and step frames go at this rate

// Caption of the clock-mode button that selects double speed; any other caption means 12T.
inline constexpr QStringView kDoubleSpeedCaption = u"6T";

// ---- Fixed frames (hex text exactly as sent) --------------------------------------------------

// Two bytes 0x7F with no frame around them, sent every 20 ms while seeking the chip.
inline constexpr QStringView kHandshakeFrame = u"7F7F";

// First and second baud-rate step (commands 0x8F, 0x8E). The first payload word is
// 65536 - F / (32 * R) for the class's oscillator F and rate R, the second word twice
// (65536 - first word); the step 2 payload is the step 1 payload without its last byte.
inline constexpr QStringView kStep1Clock1Model1to4 = u"46B96A000C8FFFFD00062881B016";
inline constexpr QStringView kStep2Clock1Model1to4 = u"46B96A000B8EFFFD0006282D16";
inline constexpr QStringView kStep1Clock1Model5 = u"46B96A000C8FC0FA3F0C2883B516";
inline constexpr QStringView kStep2Clock1Model5 = u"46B96A000B8EC0FA3F0C283016";
inline constexpr QStringView kStep1Clock2 = u"46B96A000C8FFFFB000A2881B216";
inline constexpr QStringView kStep2Clock2 = u"46B96A000B8EFFFB000A282F16";
inline constexpr QStringView kStep1Clock3 = u"46B96A000C8FFFFA000C2880B216";
inline constexpr QStringView kStep2Clock3 = u"46B96A000B8EFFFA000C283016";
inline constexpr QStringView kStep1Clock4 = u"46B96A000C8FFFF600142880B616";
inline constexpr QStringView kStep2Clock4 = u"46B96A000B8EFFF60014283416";
inline constexpr QStringView kStep1Clock5 = u"46B96A000C8FFFF600142881B716";
inline constexpr QStringView kStep2Clock5 = u"46B96A000B8EFFF60014283416";
inline constexpr QStringView kStep1Clock6 = u"46B96A000C8FFFF3001A2881BA16";
inline constexpr QStringView kStep2Clock6 = u"46B96A000B8EFFF3001A283716";

// Control information, sent five times (command 0x80).
inline constexpr QStringView kControlModel1to4 = u"46B96A000A80020036012D16";
inline constexpr QStringView kControlModel5 = u"46B96A000C8003003601F2012316";

// Erase (command 0x84).
inline constexpr QStringView kEraseModel1And4 = u"46B96A000D84053333333333333216";
inline constexpr QStringView kEraseModel2And3 = u"46B96A000D840C3333333333333916";
// 141 bytes: FF 00 03 EA 00 10, twelve 00, then 0x80 down to 0x0E, checksum 5A.
inline constexpr QStringView kEraseModel5 =
    u"46B96A008B84FF0003EA0010000000000000000000000000807F7E7D7C7B7A79"
    u"7877767574737271706F6E6D6C6B6A696867666564636261605F5E5D5C5B5A59"
    u"5857565554535251504F4E4D4C4B4A494847464544434241403F3E3D3C3B3A39"
    u"3837363534333231302F2E2D2C2B2A292827262524232221201F1E1D1C1B1A19"
    u"1817161514131211100F0E5A16";

// Clock-mode option (command 0x8D) and its follow-up (command 0x50).
inline constexpr QStringView kOption6T = u"46B96A000A8DFCFFFAFFF516";
inline constexpr QStringView kOption12T = u"46B96A000A8DFDFFFDFFF916";
inline constexpr QStringView kOptionFollowUp = u"46B96A000650C016";

// Four bytes 0xFE, then a frame with command 0x82 and no payload. No reply is awaited.
inline constexpr QStringView kEndFlagFrame = u"FEFEFEFE46B96A000682F216";

// Start of every data frame up to the block address: start, direction, length 140,
// command 0x00, two bytes 0x00.
inline constexpr QStringView kDataFrameHead = u"46B96A008C000000";
// Block length field of a data frame (128).
inline constexpr QStringView kDataFrameLength = u"0080";

// ---- Frame helpers ----------------------------------------------------------------------------

// Returns text with every occurrence of pattern removed and leading and trailing blanks
// trimmed. An empty pattern removes nothing (the text is only trimmed).
QString stripText(QStringView text, QStringView pattern);

// Checksum of a frame given as hex text without its checksum and end byte: blanks are removed
// (stripText with " "), the bytes of the pairs of characters are added in 8-bit arithmetic,
// 1 is added, and the result is returned as two upper-case digits. Because 0x46 + 0xB9 = 0xFF,
// this equals the sum from the direction byte onwards. A last odd digit is ignored; a pair
// that is not two hex digits counts as 0x00.
QString checksum(QStringView frameWithoutChecksum);

// The data frame for block `index` (address index * 128) as hex text:
// "46B96A008C000000", the address as four digits, "0080", the block's 256 characters, the
// checksum and "16". Returns an empty text when index is outside 0 .. 511 (the address would
// not fit 16 bits) or block is not exactly 256 hex digits, so a bad call never sends a
// malformed frame.
QString dataFrame(int index, QStringView block);

// ---- Model and oscillator recognition ---------------------------------------------------------

// Model table, searched over the last-frame text as plain substrings (a match need not start
// at a byte boundary), rows in order, the last row found wins:
//   "F00282" 1 "STC89C52RC", "F10582" 2 "STC89C55RD+", "F11082" 3 "STC89C516RD+",
//   "F00182" 4 "STC89C51RC", "F20183" 5 "STC12C1052".
// Returns 0 when no row matches.
int findModel(QStringView lastFrame);

// The oscillator of a chip whose last frame is a status frame as the STC89 boot loader sends
// it: [46 B9] 68, length (from 68 through the end byte), payload, checksum (low 8 bits of the
// sum from 68 through the payload), 16, with payload byte 0 = 00 (a status), bytes 1 .. 16
// eight 16-bit counts (most significant byte first) the chip measured on the host's handshake
// bytes, 17 .. 18 version and stepping, 19 the option byte, 20 .. 22 the model code. The chip
// counts 7/12 of its clock per bit: the clock that sets its UART speed is
// rate * mean count * 12 / 7 for handshake bytes sent at rate (in 6T mode it is twice the
// crystal's, as the UART then runs twice as fast). nullopt when the frame is not such a status
// frame or rate is not positive.
std::optional<double> statusClock(QStringView lastFrame, qint32 rate);

// The oscillator class whose frequency lies within 3 % of clockHz, 0 when none does.
int clockClass(double clockHz);

// Oscillator table, searched the same way; a row matches when any of its texts is found:
//   1 "1C0014" "280014" "390014" -> "/时钟频率: 11.0592M", 115200
//   2 "1C0022" "390022"          -> "/时钟频率: 18.432M",  115200
//   3 "1C0029" "390029"          -> "/时钟频率: 22.1184M", 115200
//   4 "1C0045" "390045"          -> "/时钟频率: 36.864M",  115200
//   5 "1C0016" "390016" "3B0016" -> "/时钟频率: 12.000M",  38400
//   6 "1C002D" "39002D" "3B002D" -> "/时钟频率: 24.000M",  57600
// In a status frame without 46 B9 a text reads as the low byte of the length, the status type
// 00 and the high byte of the first count: 3B is the length of the 59-byte status of boot
// loader 4.3C (1C, 28 and 39 would be other status lengths), and the count high byte is that
// of a chip measuring a little below the exact count (5376 = 0x1500 for 11.0592 MHz at 1200
// baud shows as 14xx). So the table misses a 4.3C chip at 11.0592, 18.432, 22.1184 or 36.864
// MHz, and any chip whose counts come out at the exact value or above. When no row matches,
// a status frame gives the class of statusClock(lastFrame, kLowBaudRate). 0 when neither
// finds a class.
int findClock(QStringView lastFrame);

// Model name of StcModel 1 .. 5 ("STC89C52RC" ...); empty for any other value.
QString modelName(int model);
// Text appended to the model name for StcClock 1 .. 6 ("/时钟频率: 11.0592M" ...); empty
// for any other value.
QString clockText(int clock);
// Rate after the first baud-rate step for StcClock 1 .. 6 (115200, 38400 or 57600); 0 for any
// other value.
qint32 clockRate(int clock);
// Oscillator frequency in Hz of StcClock 1 .. 6; 0 for any other value.
qint64 clockFrequency(int clock);

// The baud-rate step frames of a recognised chip. Class 1 has its own frames for model 5.
// Empty when model is not 1 .. 5 or clock is not 1 .. 6.
QStringView step1Frame(int model, int clock);
QStringView step2Frame(int model, int clock);
// Control frame of model 1 .. 5; empty otherwise.
QStringView controlFrame(int model);
// Erase frame of model 1 .. 5; empty otherwise.
QStringView eraseFrame(int model);
// Option frame for the clock-mode button's caption: kOption6T for "6T", kOption12T for any
// other caption.
QStringView optionFrame(QStringView clockModeCaption);

// ---- Replies ----------------------------------------------------------------------------------

// Firmware version text taken from the hex text of a complete reception (two characters per
// byte, counted from its first character):
//  - more than 56 characters: the two hex digits of byte 20 (from 0), then the character whose
//    code is byte 21;
//  - otherwise: the two hex digits of the 8th byte from the end, then the character whose code
//    is the 7th byte from the end (bytes are the whole pairs from the start; an odd last
//    character is not a byte).
// A reception too short for the rule (fewer than 8 whole bytes in the second case) gives an
// empty text: nothing outside the received text is read. The character is the byte's code
// when it is 0x01 .. 0x7F, the euro sign for 0x80 (as in the GBK code page), and U+FFFD for
// 0x00, for 0x81 .. 0xFF (GBK lead bytes, no character by themselves) and for a pair that is
// not two hex digits. So the result is either empty or exactly three characters.
QString versionText(QStringView rxText);

// Version as shown: the first character, ".", then the second and third: "43C" -> "4.3C".
// An empty version text shows as an empty text.
QString versionDisplay(QStringView versionText);

// True when the hex text of the bytes received so far ends with the frame end "16" (the
// reception is complete). Replies are not otherwise checked.
bool replyComplete(QStringView rxText);

// The pending reception of the STC controller: bytes are appended as hex text until the last
// one is 0x16; then the text becomes the last-frame text, the version is taken from it and the
// pending text is cleared. The pending text is kept bounded: when bytes without a final 0x16
// pile up beyond kMaxPendingChars characters, the oldest whole bytes are dropped, and a frame
// completed then is its newest kMaxPendingChars characters (a real status frame is a few dozen
// bytes, so only a line full of noise reaches the bound).
class Receiver
{
public:
    static constexpr qsizetype kMaxPendingChars = 8192; // even: whole bytes

    // Appends received bytes; returns true when this reception completed a frame.
    bool feed(QByteArrayView bytes);
    // Clears the pending text (the handshake tick does this after every "7F7F").
    void clearPending() { m_pending.clear(); }
    // Puts the last complete reception back in front of the pending text, so that the next
    // reception continues it (an answer whose own length says more bytes are due).
    void resumeLast() { m_pending.prepend(m_lastFrame); }

    const QString &pendingText() const { return m_pending; }
    const QString &lastFrame() const { return m_lastFrame; }
    const QString &versionText() const { return m_version; }

private:
    QString m_pending;
    QString m_lastFrame;
    QString m_version;
};

inline constexpr quint8 kDirChipToHost = 0x68;

// ---- The status frame -------------------------------------------------------------------------

// Where a frame lies in the bytes of a reception: its first byte and its size.
struct FramePlace
{
    qsizetype at = 0;
    qsizetype size = 0;
};
// The longest status frame looked for: twice the STC89's 59 bytes.
inline constexpr qsizetype kMaxStatusBytes = 128;
// The first whole status frame in the bytes of one reception while seeking the chip, found by
// its own length, so that it is complete the moment its last byte is in: its start (46 B9 68,
// or 68 alone, as the STC89 sends its status), the length (two bytes, big-endian, counting
// from 68 through the end byte; at least 6, the frame at most kMaxStatusBytes), every byte
// the length announces, the end byte 16 and a right checksum (the low 8 bits of the sum from
// 68 through the byte before it). The frame starts at its own start: bytes before it (line
// noise at power-up, an echo of the handshake) are not part of it, and neither they nor a
// byte 16 inside the frame complete it. nullopt while no such frame is in: the bytes are
// something else, or a frame still arriving.
std::optional<FramePlace> findStatusFrame(QByteArrayView bytes);

// ---- Answers to data frames ------------------------------------------------------------------

// The longest answer looked for; a length field beyond it is not an answer to a data frame.
inline constexpr qsizetype kMaxAnswerBytes = 64;

struct Answer
{
    enum Status {
        Complete,   // one whole frame with a right checksum and end byte
        Incomplete, // a frame start whose length says more bytes are due
        Malformed,  // anything else
    } status = Malformed;
    quint8 command = 0;
    QByteArray payload;
};
// Reads the hex text of a reception as one frame from the chip: 46 B9 68, length (total less
// 2), command, payload, checksum (low 8 bits of the sum from 68 through the payload), 16.
// Nothing may come before or after the frame.
Answer parseAnswer(QStringView rxText);
// True when the reception starts a frame from the chip whose own length says more bytes are
// due: a byte 0x16 inside the frame (a sum, a checksum, the answer to the option follow-up
// carries one in its payload) ended the reception early, and the rest belongs to it.
bool answerIncomplete(QStringView rxText);

// Low 8 bits of the sum of a block's bytes (the block as hex text).
quint8 blockSum(QStringView blockHex);

enum class DataAnswer { Good, Incomplete, Malformed, WrongSum };
// The answer to the data frame of a block: a whole frame with the answer code 80 whose first
// payload byte is the block's sum (46 B9 68 00 07 80 <sum> <checksum> 16).
DataAnswer checkDataAnswer(QStringView rxText, QStringView blockHex);

// Reason lines: the answer to the block at address was not a frame, or carried another sum;
// and an image larger than the model's flash.
QString malformedAnswerLine(quint16 address);
QString wrongSumLine(quint16 address, QStringView rxText, quint8 expected);
QString tooLargeForModelLine(qsizetype imageBytes, QStringView modelName, qint64 flashBytes);

// ---- A silent chip ---------------------------------------------------------------------------

// The step of a download a chip left without an answer, in both dialects: the status packet the
// sync pulses ask for, or the frame with this command byte (a data block with its address).
struct Unanswered
{
    enum Step {
        Status,
        Handshake,
        Calibration,
        RateTest,
        RateSwitch,
        Control,
        Prepare,
        Erase,
        Block,
        WriteFinish,
        Options,
        OptionFollowUp,
    } step = Status;
    quint8 command = 0;
    qint64 address = -1; // Block: the block's address
    bool operator==(const Unanswered &) const = default;
};
// The line before a time-out's end: "无应答: 写数据块 0x0080 (0x00)".
QString noAnswerLine(const Unanswered &unanswered);

// ---- Image ------------------------------------------------------------------------------------

// Length of the image in a decoding buffer: the offset L of the last non-zero byte, searched
// from offset 0xFFFF (or the buffer's last byte, if shorter) down to offset 1, plus 1. Offset 0
// is not examined. nullopt when no such byte exists: the buffer holds no image and the caller
// refuses the file with noImageMessage() instead of sending anything.
std::optional<qsizetype> imageLength(QByteArrayView buffer);

// Line shown when a file gives no image (nothing but 0x00 after offset 0 once decoded): the
// source text, and noImageMessage() translated for the interface.
inline constexpr QUtf8StringView kNoImageMessage =
    QT_TRANSLATE_NOOP("stc", "文件中没有可上载的数据 ！");
QString noImageMessage();

// A file not named as Intel HEX (firmwarefile::isHexFileName) is the image itself from address
// 0, byte for byte: its length is the file's, zeros at the end included. At most the decoding
// buffer's 64 KiB; refusal says why when there is no image (empty, too large, unreadable).
struct BinaryImage
{
    enum Status { Loaded, Unreadable, Empty, TooLarge } status = Unreadable;
    QByteArray bytes;
    QString refusal; // "" when Loaded
};
BinaryImage readBinaryImage(const QString &path);

// Size label: whole kilobytes, ".", the first decimal digit of the remainder in bytes, " KB".
// 1536 -> "1.5 KB", 1100 -> "1.7 KB" (remainder 76), 1024 -> "1.0 KB". Negative -> "0.0 KB".
QString sizeLabel(qsizetype length);

// The image as 128-byte blocks of 256 upper-case hex digits; block i holds bytes i*128 ..
// i*128+127, the last block padded with "00". ceil(size / 128) blocks; an empty image gives
// no blocks.
QStringList splitBlocks(QByteArrayView image);

// Progress after sending block i (from 0) of n: (i + 1) / n * 100 rounded to the nearest
// integer, halves to even (exact integer arithmetic, so 12.5 -> 12 and 37.5 -> 38).
// Returns 0 when n <= 0 or i < 0; the result is clamped to 0 .. 100.
int progress(int i, int n);

} // namespace stc
