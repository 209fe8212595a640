// One model of a firmware image for every family and every file format: the address ranges a
// file gives data for, and nothing in the holes between them (the flash there keeps what it
// holds, as far as the family's boot loader allows).
//
// Four formats feed it:
//   Intel HEX   (".hex", ".HEX", ".ihx", ".IHX"): the one HEX reader (firmwarefile::readHex);
//               type 04 and 02 base records add up, as they do for every family.
//   S-records   (".srec", ".s19", ".s28", ".s37", ".mot" in lower or upper case, or any file
//               whose first line is a sound S0, S1 or S3 record): S1/S2/S3 data with 16-, 24-
//               and 32-bit addresses, S5/S6 counts checked against the data records before
//               them, S7/S8/S9 end the reading (what follows is not read), S0 ignored. Every
//               line's checksum is checked and a damaged line refuses the file with its number.
//   ELF         (any file beginning with the ELF magic, whatever its name), 32 or 64 bits,
//               either byte order, read with elfutils' libelf: the file bytes of every PT_LOAD
//               segment at its physical address (the load address), so initial values of data
//               kept in RAM land where the start-up code copies them from. Segments without
//               file bytes (RAM only) are skipped; segments that run past the file's end or
//               overlap in the address space refuse the file.
//   binary      every other file: its bytes from one address (the family's flash or code start
//               unless the user names another).
//
// A later record that gives an address other bytes than an earlier one wins, as in every
// family's HEX reading; the first such pair is kept (both lines), so the user is warned once.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QIODevice>
#include <QList>
#include <QString>
#include <map>
#include <optional>

namespace firmware {

enum class Format { Binary, IntelHex, SRecord, Elf };

// No firmware file is read past this size (HEX and S-record text, ELF files, binaries).
constexpr qint64 kMaxFileSize = 64ll << 20;
// Bytes of data an image may hold: twice the largest flash any family writes (1 MiB).
constexpr qsizetype kMaxImageBytes = 2 << 20;
// Separately placed records an image may hold (16-byte records fill 4 MiB with this many);
// bounds the memory a file of tiny records can take.
constexpr qsizetype kMaxPieces = 1 << 18;

// Two records of one file gave one address different bytes (lines from 1).
struct Overlap
{
    quint64 address = 0;
    int earlierLine = 0;
    int laterLine = 0;
    friend bool operator==(const Overlap &, const Overlap &) = default;
};

// A stretch of data at an address.
struct Range
{
    quint64 address = 0;
    QByteArray data;
    quint64 end() const { return address + quint64(data.size()); }
};

class Image
{
public:
    // Places data at address over whatever is there. origin is the file line of the record
    // (0 where lines mean nothing: binary and ELF files). False, with nothing placed, when the
    // data would wrap past the end of the 64-bit address space or the image would hold more
    // than kMaxImageBytes or kMaxPieces.
    bool place(quint64 address, QByteArrayView data, int origin = 0);
    // The data as ascending, merged stretches.
    QList<Range> ranges() const;
    bool empty() const { return pieces_.empty(); }
    qsizetype byteCount() const { return bytes_; }
    quint64 lowest() const;
    quint64 end() const; // one past the highest byte
    // True when any byte of address .. address + length - 1 holds data.
    bool holdsAny(quint64 address, quint64 length) const;
    // The first pair of records that gave one address different bytes.
    std::optional<Overlap> overlap() const { return overlap_; }

private:
    struct Piece
    {
        QByteArray data;
        int origin = 0;
    };
    std::map<quint64, Piece> pieces_; // by start address, never overlapping
    qsizetype bytes_ = 0;
    std::optional<Overlap> overlap_;
};

enum class Status {
    Loaded,
    Missing,    // no such file
    NotAFile,   // a folder or other non-file
    Unreadable, // cannot be opened or read
    TooLarge,   // file over kMaxFileSize, or image over kMaxImageBytes
    Empty,      // no data at all
    Damaged,    // the reason names the line, segment or header concerned
};

struct Loaded
{
    Status status = Status::Unreadable;
    Format format = Format::Binary;
    Image image;
    QString reason;               // for every status but Loaded: one line saying why
    int line = 0;                 // Damaged text formats: the line concerned
    QString warning;              // "" or the overlap warning (overlapWarning)
    std::optional<quint64> entry; // start address the file names (S7/S8/S9, ELF e_entry)
    bool ok() const { return status == Status::Loaded; }
};

// The format of a file: the ELF magic first, then the name, then an S-record first line. Only
// a regular file is read; anything else is judged by its name.
Format formatOf(const QString &path);
// The same from the file's first bytes (at least its first line) and its name.
Format formatOf(QByteArrayView head, const QString &name);
// True for names that say Intel HEX (".hex", ".HEX", ".ihx", ".IHX").
bool isIntelHexName(const QString &path);
// A format's name in messages: "Intel HEX", "S-record", "ELF", "binary" (not translated: they
// are names of formats).
QString formatName(Format format);

// Reads a firmware file whole. binaryAddress places a binary file (default 0); the other
// formats carry their own addresses and ignore it.
Loaded load(const QString &path, quint64 binaryAddress = 0);
// The readers on an open device or a buffer (tests and fuzzing feed buffers).
Loaded readIntelHex(QIODevice &device);
Loaded readSRecords(QIODevice &device);
Loaded readElf(QByteArrayView bytes);
Loaded readBinary(QIODevice &device, quint64 address);

// "警告: HEX文件第 3 行和第 9 行给地址 0x08000010 不同的数据，写入的是第 9 行的"
QString overlapWarning(Format format, const Overlap &overlap);
// A stretch of the image outside what the chip can take: "映像数据 0x20000000..0x200000FF 不在
// 芯片的 Flash 范围 0x08000000..0x080FFFFF 内".
QString outsideText(quint64 first, quint64 last, quint64 windowFirst, quint64 windowLast);
// "0x08000000": eight digits at least, upper case.
QString hexAddress(quint64 address);

// The image as Motorola S-records: S0, S3 records of up to 32 bytes, S7 with the entry. Empty
// when a byte lies above the 32-bit address space.
QByteArray sRecordText(const Image &image, quint32 entry = 0);

// The first stretch of the image that is not inside first .. last, or nullopt.
std::optional<Range> outside(const Image &image, quint64 first, quint64 last);
// The image as flat bytes from base to the end of its last stretch, holes filled with fill.
// The caller has checked that everything lies at or above base and within its limit.
QByteArray flatten(const Image &image, quint64 base, char fill);

} // namespace firmware
