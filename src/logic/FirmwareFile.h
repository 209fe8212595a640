// Firmware files as the programmers read them: the one Intel HEX reader behind every family,
// the checks a file passes before a board is touched, and the stamp by which the download page
// notices that a file has changed.
//
// An Intel HEX file is a run of records, each a ':' and hexadecimal digits. A record ends at a
// line end (CR or LF) or at the next ':', so files with CR-only line ends and records written
// without any line break read the same as CR LF files. Between records only blanks and line
// ends may stand. The end-of-file record ends the reading; what follows it is not read (the
// decoding library of the STC programmer stops there too). A file that is cut short (a
// compiler still writing it), carries a record whose checksum does not match, or holds text
// that is no record is refused as a whole, with the line where the reading stopped: a
// firmware image is written whole or not at all.
#pragma once

#include "logic/HexText.h"

#include <QIODevice>
#include <QString>
#include <functional>

namespace firmwarefile {

// HEX text longer than this is not read: a file for the largest image any family takes
// (256 KiB in 16-byte records) is about 720 KiB.
constexpr qint64 kMaxHexFileSize = 64ll << 20;

enum class HexStatus {
    Complete,    // every record up to the end-of-file record was read
    NoRecords,   // no record at all: an empty file, or blank lines only
    NoEndRecord, // the text ends without an end-of-file record
    Malformed,   // text outside a record, a character in a record that is not a hexadecimal
                 // digit, or a record longer than its count says
    CutShort,    // a record that ends before its data and checksum
    BadChecksum, // a record whose checksum does not match
    TooLarge,    // text over kMaxHexFileSize: not read further
    Unreadable,  // not a regular file, or it cannot be opened or read
    Stopped,     // the record handler refused a record
};

struct HexOutcome
{
    HexStatus status = HexStatus::Unreadable;
    int line = 0; // line of the record or text concerned; for NoEndRecord the last line
    bool ok() const { return status == HexStatus::Complete; }
};

// Called with every record before the end-of-file record, in file order, and the line it
// stands on (from 1; CR LF, CR and LF each end one line). Returns false to stop the reading.
using RecordHandler = std::function<bool(const hextext::HexRecord &record, int line)>;

// Reads records from the device's current position. Reads at most kMaxHexFileSize + 1
// bytes, and nothing after the end-of-file record. A null handler only checks the file.
HexOutcome readHex(QIODevice &device, const RecordHandler &onRecord);
// The same on a file. A file larger than kMaxHexFileSize is refused unread; anything but a
// regular file is Unreadable and never opened (a named pipe would block the reader).
HexOutcome readHexFile(const QString &path, const RecordHandler &onRecord);

// The reason line for a damaged file, naming its line: "HEX文件校验和错误: 第 3 行". Empty
// for every other status: each programmer words those itself.
QString damageText(const HexOutcome &outcome);

// "文件无法读取"
QString unreadableText();

// The check the STC programmer makes before its decoding library reads the file. The library
// takes any character as a digit, stops at a NUL byte and reads only files that begin with a
// record, so a file it would read wrongly is refused here: damaged HEX as above, a file that
// does not begin with ':', a file over kMaxHexFileSize, an unreadable file. Returns the reason
// line, or "" when the library may read the file (a file without any record is left to the
// programmer's own "no data" refusal). The path must name a regular file.
QString decoderRefusal(const QString &path);
// "HEX文件太大，不能超过 64 MB": an STC file over kMaxHexFileSize.
QString decoderTooLargeText();

// A firmware file is read as Intel HEX when its name ends exactly in ".hex" or ".HEX" (".Hex"
// is binary); any other file is a binary image from the start of flash. One rule for every
// family, so a file means the same whichever chip it goes to.
bool isHexFileName(const QString &path);

// True when the path cannot be resolved because its symbolic links form a loop.
bool isSymlinkLoop(const QString &path);
// "文件路径中的符号链接形成循环"
QString symlinkLoopText();

// What identifies one version of a file for the automatic re-download: its modification time
// to the nanosecond and its size, as one text ("2026-12-07 14:11:06.123456789 / 1034 B").
// Empty when there is no such file.
QString stampText(const QString &path);

} // namespace firmwarefile
