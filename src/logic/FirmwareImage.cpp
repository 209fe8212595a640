#include "logic/FirmwareImage.h"

#include "logic/FirmwareFile.h"
#include "logic/HexText.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <mutex>

#include <gelf.h>
#include <libelf.h>

namespace firmware {

namespace {

Loaded refused(Status status, Format format, QString reason, int line = 0)
{
    Loaded r;
    r.status = status;
    r.format = format;
    r.reason = std::move(reason);
    r.line = line;
    return r;
}

QString tooLargeText()
{
    return QCoreApplication::translate("firmware", "文件太大: 映像的数据不能超过 2 MB");
}
QString emptyText()
{
    return QCoreApplication::translate("firmware", "文件中没有可下载的数据");
}

// Ends a reading: the overlap warning and the checks every format shares.
Loaded finish(Loaded r)
{
    if (r.status != Status::Loaded) return r;
    if (r.image.empty()) return refused(Status::Empty, r.format, emptyText());
    if (const std::optional<Overlap> o = r.image.overlap())
        r.warning = overlapWarning(r.format, *o);
    return r;
}

bool nameEndsWith(const QString &path, std::initializer_list<const char *> extensions)
{
    const QString name = QFileInfo(path).fileName();
    for (const char *ext : extensions) {
        const QString lower = QString::fromLatin1(ext);
        if (name.endsWith(lower) || name.endsWith(lower.toUpper())) return true;
    }
    return false;
}

// ---- S-records ----

// Address bytes of each record type S0..S9; 0 for the reserved S4.
constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
// 'S', the type, the count and at most 255 bytes.
constexpr qsizetype kMaxSRecordChars = 4 + 2 * 255;

enum class SLine { Ok, Malformed, CutShort, BadChecksum };

struct SRecord
{
    int type = 0;
    quint32 address = 0;
    QByteArray data;
};

// One line without its line end. Trailing blanks are allowed.
SLine parseSRecord(QByteArrayView line, SRecord &out)
{
    while (!line.isEmpty() && (line.back() == ' ' || line.back() == '\t'))
        line.chop(1);
    if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9')
        return SLine::Malformed;
    const int type = line[1] - '0';
    const int addressBytes = kAddressBytes[type];
    if (addressBytes == 0 || line.size() > kMaxSRecordChars) return SLine::Malformed;
    for (qsizetype i = 2; i < line.size(); ++i)
        if (hextext::digitValue(char16_t(quint8(line[i]))) < 0) return SLine::Malformed;
    const auto byteAt = [&line](qsizetype k) {
        return quint8(hextext::digitValue(char16_t(quint8(line[2 + 2 * k]))) << 4 |
                      hextext::digitValue(char16_t(quint8(line[3 + 2 * k]))));
    };
    const int count = byteAt(0);
    const qsizetype digits = line.size() - 4;
    if (digits % 2 != 0 || digits > 2 * count) return SLine::Malformed;
    if (digits < 2 * count) return SLine::CutShort;
    if (count < addressBytes + 1) return SLine::Malformed;
    quint8 sum = 0;
    for (int k = 0; k < count; ++k)
        sum = quint8(sum + byteAt(k));
    if (quint8(~sum) != byteAt(count)) return SLine::BadChecksum;
    out.type = type;
    out.address = 0;
    for (int k = 1; k <= addressBytes; ++k)
        out.address = out.address << 8 | byteAt(k);
    out.data.resize(count - addressBytes - 1);
    for (qsizetype k = 0; k < out.data.size(); ++k)
        out.data[k] = char(byteAt(1 + addressBytes + k));
    return SLine::Ok;
}

QString sDamageText(SLine what, int line)
{
    switch (what) {
    case SLine::CutShort:
        return QCoreApplication::translate("firmware", "S记录文件记录不完整: 第 %1 行").arg(line);
    case SLine::BadChecksum:
        return QCoreApplication::translate("firmware", "S记录文件校验和错误: 第 %1 行").arg(line);
    default:
        return QCoreApplication::translate("firmware", "S记录文件格式错误: 第 %1 行").arg(line);
    }
}

// Splits text into lines (CR LF, CR and LF each end one), calling take(line, number) for
// every line that is not blank. take returns false to stop.
template <typename Take> void forEachLine(QByteArrayView text, Take take)
{
    int number = 1;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool atEnd = i == text.size();
        if (!atEnd && text[i] != '\r' && text[i] != '\n') continue;
        const QByteArrayView line = text.sliced(start, i - start);
        if (!line.trimmed().isEmpty() && !take(line, number)) return;
        if (!atEnd && text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        ++number;
        start = i + 1;
    }
}

Loaded sRecordsFrom(QByteArrayView text)
{
    Loaded r;
    r.format = Format::SRecord;
    r.status = Status::Loaded;
    qint64 dataRecords = 0;
    int lastLine = 0;
    bool ended = false;
    forEachLine(text, [&](QByteArrayView line, int number) {
        lastLine = number;
        SRecord rec;
        if (const SLine s = parseSRecord(line.trimmed(), rec); s != SLine::Ok) {
            r = refused(Status::Damaged, Format::SRecord, sDamageText(s, number), number);
            return false;
        }
        switch (rec.type) {
        case 1:
        case 2:
        case 3:
            ++dataRecords;
            if (!r.image.place(rec.address, rec.data, number)) {
                r = refused(Status::TooLarge, Format::SRecord, tooLargeText());
                return false;
            }
            return true;
        case 5:
        case 6:
            if (rec.address != dataRecords) {
                r = refused(
                    Status::Damaged, Format::SRecord,
                    QCoreApplication::translate(
                        "firmware",
                        "S记录文件的记录数与第 %1 行的 S%2 记录不符: 记录 %3 条，实有 %4 条")
                        .arg(number)
                        .arg(rec.type)
                        .arg(rec.address)
                        .arg(dataRecords),
                    number);
                return false;
            }
            return true;
        case 7:
        case 8:
        case 9:
            r.entry = rec.address;
            ended = true;
            return false;
        default: // S0: the header
            return true;
        }
    });
    if (r.status != Status::Loaded) return r;
    if (lastLine == 0) return refused(Status::Empty, Format::SRecord, emptyText());
    if (!ended)
        return refused(Status::Damaged, Format::SRecord,
                       QCoreApplication::translate(
                           "firmware", "S记录文件没有结束记录 (S7/S8/S9): 文件止于第 %1 行")
                           .arg(lastLine),
                       lastLine);
    return finish(std::move(r));
}

// ---- ELF ----

QString elfDamage(const QString &what)
{
    return QCoreApplication::translate("firmware", "ELF文件损坏: %1").arg(what);
}

Loaded elfFrom(QByteArrayView bytes)
{
    static std::once_flag once;
    std::call_once(once, [] { elf_version(EV_CURRENT); });
    // libelf reads from memory the caller owns; a private copy keeps it off shared data.
    QByteArray copy = bytes.toByteArray();
    Elf *elf = elf_memory(copy.data(), size_t(copy.size()));
    struct Closer
    {
        Elf *e;
        ~Closer()
        {
            if (e) elf_end(e);
        }
    } closer{elf};
    const auto damaged = [](const QString &what) {
        return refused(Status::Damaged, Format::Elf, elfDamage(what));
    };
    GElf_Ehdr header;
    if (!elf || elf_kind(elf) != ELF_K_ELF || !gelf_getehdr(elf, &header))
        return damaged(QCoreApplication::translate("firmware", "文件头不完整或无效"));
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0)
        return damaged(QCoreApplication::translate("firmware", "程序头表无效"));
    Loaded r;
    r.format = Format::Elf;
    r.status = Status::Loaded;
    r.entry = header.e_entry;
    struct Placed
    {
        quint64 first, end;
        size_t index;
    };
    QList<Placed> placed;
    const auto fileSize = quint64(copy.size());
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr ph;
        if (!gelf_getphdr(elf, int(i), &ph))
            return damaged(QCoreApplication::translate("firmware", "程序头 %1 无法读取").arg(i));
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0) continue; // RAM only: nothing to write
        if (ph.p_offset > fileSize || ph.p_filesz > fileSize - ph.p_offset)
            return damaged(QCoreApplication::translate("firmware", "段 %1 超出文件末尾").arg(i));
        if (ph.p_filesz > ph.p_memsz)
            return damaged(
                QCoreApplication::translate("firmware", "段 %1 的文件大小大于内存大小").arg(i));
        const quint64 first = ph.p_paddr;
        const quint64 end = first + ph.p_filesz;
        if (end < first)
            return damaged(QCoreApplication::translate("firmware", "段 %1 超出地址空间").arg(i));
        placed.append({first, end, i});
        if (!r.image.place(
                first, QByteArrayView(copy).sliced(qsizetype(ph.p_offset), qsizetype(ph.p_filesz))))
            return refused(Status::TooLarge, Format::Elf, tooLargeText());
    }
    // Segments that share addresses: sorted by address, each against the furthest end before it
    // (a pairwise check would take quadratic time on a file of many segments).
    std::sort(placed.begin(), placed.end(),
              [](const Placed &a, const Placed &b) { return a.first < b.first; });
    for (qsizetype k = 1, far = 0; k < placed.size(); ++k) {
        const Placed &p = placed[far], &q = placed[k];
        if (q.first < p.end)
            return damaged(
                QCoreApplication::translate("firmware", "段 %1 和段 %2 的地址重叠 (%3..%4)")
                    .arg(std::min(p.index, q.index))
                    .arg(std::max(p.index, q.index))
                    .arg(hexAddress(q.first), hexAddress(std::min(q.end, p.end) - 1)));
        if (q.end > p.end) far = k;
    }
    if (r.image.empty())
        return refused(Status::Empty, Format::Elf,
                       QCoreApplication::translate("firmware", "ELF文件中没有带数据的可加载段"));
    return finish(std::move(r));
}

// Reads a whole file of at most kMaxFileSize bytes.
std::optional<QByteArray> readAll(QIODevice &device)
{
    // A file is read at its size; only a stream needs room for more than it may hold.
    if (!device.isSequential() && device.size() - device.pos() > kMaxFileSize) return std::nullopt;
    QByteArray all = device.isSequential() ? device.read(kMaxFileSize + 1) : device.readAll();
    if (all.size() > kMaxFileSize) return std::nullopt;
    return all;
}

} // namespace

// ---- Image ----

bool Image::place(quint64 address, QByteArrayView data, int origin)
{
    if (data.isEmpty()) return true;
    const quint64 end = address + quint64(data.size());
    if (end < address) return false;
    auto it = pieces_.upper_bound(address);
    if (it != pieces_.begin()) {
        auto before = std::prev(it);
        if (before->first + quint64(before->second.data.size()) > address) it = before;
    }
    qsizetype held = bytes_ + data.size();
    for (auto scan = it; scan != pieces_.end() && scan->first < end; ++scan) {
        const quint64 pe = scan->first + quint64(scan->second.data.size());
        held -= qsizetype(std::min(end, pe) - std::max(address, scan->first));
    }
    if (held > kMaxImageBytes || qsizetype(pieces_.size()) + 2 > kMaxPieces) return false;
    while (it != pieces_.end() && it->first < end) {
        const quint64 ps = it->first;
        Piece p = std::move(it->second);
        it = pieces_.erase(it);
        const quint64 pe = ps + quint64(p.data.size());
        const quint64 os = std::max(address, ps), oe = std::min(end, pe);
        if (!overlap_ && origin > 0 && p.origin > 0) {
            for (quint64 a = os; a < oe; ++a) {
                if (p.data[qsizetype(a - ps)] != data[qsizetype(a - address)]) {
                    overlap_ = Overlap{a, p.origin, origin};
                    break;
                }
            }
        }
        if (ps < address)
            pieces_.emplace(ps, Piece{p.data.left(qsizetype(address - ps)), p.origin});
        if (pe > end) pieces_.emplace(end, Piece{p.data.mid(qsizetype(end - ps)), p.origin});
    }
    // Bytes without lines that continue the stretch before them join it (a binary or an ELF
    // segment is one piece however it was read).
    if (const auto next = pieces_.lower_bound(address); origin == 0 && next != pieces_.begin()) {
        auto before = std::prev(next);
        if (before->second.origin == 0 &&
            before->first + quint64(before->second.data.size()) == address) {
            before->second.data.append(data.data(), data.size());
            bytes_ = held;
            return true;
        }
    }
    pieces_.emplace(address, Piece{data.toByteArray(), origin});
    bytes_ = held;
    return true;
}

QList<Range> Image::ranges() const
{
    QList<Range> out;
    for (const auto &[address, piece] : pieces_) {
        if (!out.isEmpty() && out.back().end() == address)
            out.back().data.append(piece.data);
        else
            out.append(Range{address, piece.data});
    }
    return out;
}

quint64 Image::lowest() const
{
    return pieces_.empty() ? 0 : pieces_.begin()->first;
}

quint64 Image::end() const
{
    if (pieces_.empty()) return 0;
    const auto &last = *pieces_.rbegin();
    return last.first + quint64(last.second.data.size());
}

bool Image::holdsAny(quint64 address, quint64 length) const
{
    if (length == 0) return false;
    const quint64 end = address + length < address ? ~quint64(0) : address + length;
    auto it = pieces_.upper_bound(address);
    if (it != pieces_.begin()) {
        auto before = std::prev(it);
        if (before->first + quint64(before->second.data.size()) > address) return true;
    }
    return it != pieces_.end() && it->first < end;
}

// ---- Formats ----

bool isIntelHexName(const QString &path)
{
    return nameEndsWith(path, {".hex", ".ihx"});
}

Format formatOf(QByteArrayView head, const QString &name)
{
    if (head.startsWith("\x7f"
                        "ELF"))
        return Format::Elf;
    if (isIntelHexName(name)) return Format::IntelHex;
    if (nameEndsWith(name, {".srec", ".s19", ".s28", ".s37", ".mot"})) return Format::SRecord;
    if (head.startsWith("S0") || head.startsWith("S1") || head.startsWith("S3")) {
        qsizetype n = 0;
        while (n < head.size() && head[n] != '\r' && head[n] != '\n')
            ++n;
        SRecord rec;
        if (n < head.size() && parseSRecord(head.first(n), rec) == SLine::Ok)
            return Format::SRecord;
    }
    return Format::Binary;
}

Format formatOf(const QString &path)
{
    // Only a regular file is opened: a named pipe would block the reader.
    QFile file(path);
    QByteArray head;
    if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly))
        head = file.read(kMaxSRecordChars + 2);
    return formatOf(head, path);
}

QString formatName(Format format)
{
    switch (format) {
    case Format::IntelHex:
        return QStringLiteral("Intel HEX");
    case Format::SRecord:
        return QStringLiteral("S-record");
    case Format::Elf:
        return QStringLiteral("ELF");
    case Format::Binary:
        break;
    }
    return QStringLiteral("binary");
}

Loaded readIntelHex(QIODevice &device)
{
    Loaded r;
    r.format = Format::IntelHex;
    r.status = Status::Loaded;
    quint64 linear = 0, segment = 0;
    bool full = false;
    const firmwarefile::HexOutcome read =
        firmwarefile::readHex(device, [&](const hextext::HexRecord &rec, int line) {
            switch (rec.type) {
            case hextext::kHexLinearBase:
                linear = quint64(rec.value) << 16;
                return true;
            case hextext::kHexSegmentBase:
                segment = quint64(rec.value) << 4;
                return true;
            case hextext::kHexData:
                full = !r.image.place(linear + segment + rec.offset, rec.data, line);
                return !full;
            default:
                return true;
            }
        });
    using firmwarefile::HexStatus;
    switch (read.status) {
    case HexStatus::Complete:
        return finish(std::move(r));
    case HexStatus::NoRecords:
        return refused(Status::Empty, Format::IntelHex, emptyText());
    case HexStatus::TooLarge:
        return refused(Status::TooLarge, Format::IntelHex,
                       QCoreApplication::translate("firmware", "HEX文件太大，不能超过 64 MB"));
    case HexStatus::Stopped:
        return refused(Status::TooLarge, Format::IntelHex, tooLargeText());
    case HexStatus::Unreadable:
        return refused(Status::Unreadable, Format::IntelHex, firmwarefile::unreadableText());
    default:
        return refused(Status::Damaged, Format::IntelHex, firmwarefile::damageText(read),
                       read.line);
    }
}

Loaded readSRecords(QIODevice &device)
{
    const std::optional<QByteArray> text = readAll(device);
    if (!text)
        return refused(Status::TooLarge, Format::SRecord,
                       QCoreApplication::translate("firmware", "S记录文件太大，不能超过 64 MB"));
    return sRecordsFrom(*text);
}

Loaded readElf(QByteArrayView bytes)
{
    if (bytes.size() > kMaxFileSize)
        return refused(Status::TooLarge, Format::Elf,
                       QCoreApplication::translate("firmware", "ELF文件太大，不能超过 64 MB"));
    return elfFrom(bytes);
}

Loaded readBinary(QIODevice &device, quint64 address)
{
    // A binary is one stretch; a file larger than any image is not read.
    if (!device.isSequential() && device.size() - device.pos() > kMaxImageBytes)
        return refused(Status::TooLarge, Format::Binary, tooLargeText());
    const QByteArray bytes =
        device.isSequential() ? device.read(kMaxImageBytes + 1) : device.readAll();
    if (bytes.size() > kMaxImageBytes)
        return refused(Status::TooLarge, Format::Binary, tooLargeText());
    Loaded r;
    r.format = Format::Binary;
    r.status = Status::Loaded;
    if (!r.image.place(address, bytes))
        return refused(Status::TooLarge, Format::Binary, tooLargeText());
    return finish(std::move(r));
}

Loaded load(const QString &path, quint64 binaryAddress)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return refused(Status::Missing, Format::Binary,
                       QCoreApplication::translate("firmware", "文件不存在"));
    if (!info.isFile())
        return refused(Status::NotAFile, Format::Binary,
                       QCoreApplication::translate("firmware", "所选的不是文件"));
    const Format format = formatOf(path);
    if (info.size() > kMaxFileSize)
        return refused(Status::TooLarge, format,
                       QCoreApplication::translate("firmware", "文件太大，不能超过 64 MB"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refused(Status::Unreadable, format, firmwarefile::unreadableText());
    Loaded r;
    switch (format) {
    case Format::IntelHex:
        r = readIntelHex(file);
        break;
    case Format::SRecord:
        r = readSRecords(file);
        break;
    case Format::Elf: {
        const std::optional<QByteArray> all = readAll(file);
        r = all ? readElf(*all)
                : refused(Status::TooLarge, format,
                          QCoreApplication::translate("firmware", "ELF文件太大，不能超过 64 MB"));
        break;
    }
    case Format::Binary:
        r = readBinary(file, binaryAddress);
        break;
    }
    if (file.error() != QFileDevice::NoError)
        return refused(Status::Unreadable, format, firmwarefile::unreadableText());
    return r;
}

// ---- Texts ----

QString hexAddress(quint64 address)
{
    return QStringLiteral("0x") + QString::number(address, 16).toUpper().rightJustified(8, u'0');
}

QString overlapWarning(Format format, const Overlap &o)
{
    const QString what = format == Format::SRecord
                             ? QCoreApplication::translate("firmware", "S记录文件")
                             : QCoreApplication::translate("firmware", "HEX文件");
    return QCoreApplication::translate(
               "firmware", "警告: %1第 %2 行和第 %3 行给地址 %4 不同的数据，写入的是第 %3 行的")
        .arg(what)
        .arg(o.earlierLine)
        .arg(o.laterLine)
        .arg(hexAddress(o.address));
}

QString outsideText(quint64 first, quint64 last, quint64 windowFirst, quint64 windowLast)
{
    return QCoreApplication::translate("firmware",
                                       "映像数据 %1..%2 不在芯片的 Flash 范围 %3..%4 内")
        .arg(hexAddress(first), hexAddress(last), hexAddress(windowFirst), hexAddress(windowLast));
}

QByteArray sRecordText(const Image &image, quint32 entry)
{
    if (!image.empty() && image.end() - 1 > 0xFFFFFFFFull) return {};
    QByteArray out;
    const auto record = [&out](int type, quint32 address, QByteArrayView data) {
        const int width = kAddressBytes[type];
        QByteArray body;
        body.append(char(width + data.size() + 1));
        for (int k = width - 1; k >= 0; --k)
            body.append(char(address >> (8 * k)));
        body.append(data.data(), data.size());
        quint8 sum = 0;
        for (const char c : body)
            sum = quint8(sum + quint8(c));
        body.append(char(quint8(~sum)));
        out += 'S' + QByteArray::number(type) + body.toHex().toUpper() + "\r\n";
    };
    record(0, 0, {});
    constexpr qsizetype kPerRecord = 32;
    for (const Range &r : image.ranges())
        for (qsizetype at = 0; at < r.data.size(); at += kPerRecord)
            record(3, quint32(r.address + quint64(at)),
                   QByteArrayView(r.data).sliced(at, std::min(kPerRecord, r.data.size() - at)));
    record(7, entry, {});
    return out;
}

std::optional<Range> outside(const Image &image, quint64 first, quint64 last)
{
    for (const Range &r : image.ranges())
        if (r.address < first || r.end() - 1 > last) return r;
    return std::nullopt;
}

QByteArray flatten(const Image &image, quint64 base, char fill)
{
    QByteArray out;
    for (const Range &r : image.ranges())
        hextext::placeData(out, qsizetype(r.address - base), r.data, fill);
    return out;
}

} // namespace firmware
