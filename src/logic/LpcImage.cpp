#include "logic/LpcImage.h"

#include "logic/FirmwareFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace lpc {

namespace {

constexpr quint32 kSegmentScale = 16;
constexpr quint32 kLinearScale = 65536;

// uuencoding: three raw bytes become four characters of six bits each.
constexpr int kUuGroupBytes = 3;
constexpr quint8 kUuSixBits = 0x3F;
constexpr char kUuOffset = 0x20;

QString statusEmpty()
{
    return QCoreApplication::translate("lpc", "文件中没有可下载的数据");
}

LoadResult refuse(LoadStatus status, QString text, int line = 0)
{
    LoadResult r;
    r.status = status;
    r.statusText = std::move(text);
    r.malformedLine = line;
    return r;
}

QByteArray commandLine(const QByteArray &text)
{
    return text + kLineEnd;
}

// Cuts bytes into 45-byte lines (the last one shorter) and groups them into data items of
// at most 20 lines, each closed by the decimal sum of its raw bytes.
void appendDataItems(QList<LpcSendItem> &items, QByteArrayView bytes)
{
    LpcSendItem item{ItemKind::DataItem, {}};
    quint32 sum = 0;
    int lines = 0;
    for (qsizetype pos = 0; pos < bytes.size(); pos += kLineBytes) {
        const UuLine encoded =
            UuEncodeLine(bytes.sliced(pos, std::min<qsizetype>(kLineBytes, bytes.size() - pos)));
        item.lines.append(encoded.text);
        sum += encoded.sum;
        if (++lines == kLinesPerItem) {
            item.lines.append(QByteArray::number(sum) + kLineEnd);
            items.append(std::move(item));
            item = LpcSendItem{ItemKind::DataItem, {}};
            sum = 0;
            lines = 0;
        }
    }
    if (lines > 0) {
        item.lines.append(QByteArray::number(sum) + kLineEnd);
        items.append(std::move(item));
    }
}

// Write to RAM, data, prepare the sector, copy RAM to flash, compare. bytes is the whole
// copy (a block, or the last part filled to its copy size).
void appendBlock(QList<LpcSendItem> &items, QByteArrayView bytes, quint8 sector,
                 qsizetype flashAddress)
{
    const QByteArray ram = QByteArray::number(kRamBuffer);
    const QByteArray s = QByteArray::number(sector);
    const QByteArray count = QByteArray::number(bytes.size());
    items.append({ItemKind::CommandItem, {commandLine("W " + ram + ' ' + count)}});
    appendDataItems(items, bytes);
    items.append({ItemKind::CommandItem, {commandLine("P " + s + ' ' + s)}});
    items.append(
        {ItemKind::CommandItem,
         {commandLine("C " + QByteArray::number(flashAddress) + ' ' + ram + ' ' + count)}});
    const quint32 skip = flashAddress == 0 ? kBootVectorBytes : 0;
    const quint32 from = quint32(flashAddress) + skip;
    LpcSendItem compare{
        ItemKind::CompareItem,
        {commandLine("M " + QByteArray::number(from) + ' ' + QByteArray::number(kRamBuffer + skip) +
                     ' ' + QByteArray::number(bytes.size() - skip))}};
    compare.flashAddress = from;
    items.append(std::move(compare));
}

} // namespace

// ---- Sector layouts ----

SectorTable sectorLayout(Layout layout)
{
    SectorTable t{};
    if (layout == Layout::A) {
        // 8 KB sectors 0-7, 64 KB sectors 8 and 9, 8 KB sectors 10-16.
        for (int block = 0; block < 62; ++block) {
            int sector = 0;
            if (block < 16)
                sector = block / 2;
            else if (block < 32)
                sector = 8;
            else if (block < 48)
                sector = 9;
            else
                sector = 10 + (block - 48) / 2;
            t[std::size_t(block) + 1] = quint8(sector);
        }
    } else {
        // 4 KB sectors 0-7, 32 KB sectors 8-21, 4 KB sectors 22-26.
        for (int block = 0; block < 125; ++block) {
            int sector = 0;
            if (block < 8)
                sector = block;
            else if (block < 120)
                sector = 8 + (block - 8) / 8;
            else
                sector = 22 + (block - 120);
            t[std::size_t(block) + 1] = quint8(sector);
        }
    }
    return t;
}

namespace {

// The part of an identification, or the default layout for one the table does not know.
const devices::LpcPart &partOrDefault(QStringView partId)
{
    const devices::LpcPart *p = devices::lpcPart(partId);
    return p ? *p : devices::kLpcDefaultPart;
}

} // namespace

SectorChoice sectorChoiceFor(QStringView partId)
{
    const devices::LpcPart &p = partOrDefault(partId);
    return {p.layout, QString::number(p.lastSector), p.copy};
}

// ---- Intel HEX ----

HexLine ParseLpcHexLine(QStringView line, LpcHexState &state)
{
    hextext::HexRecord r;
    switch (hextext::parseHexRecord(line, r)) {
    case hextext::HexRecordStatus::NotARecord:
        return HexLine::Ignored;
    case hextext::HexRecordStatus::Ok:
        return ParseLpcHexLine(r, state);
    default:
        return HexLine::Malformed;
    }
}

HexLine ParseLpcHexLine(const hextext::HexRecord &r, LpcHexState &state)
{
    switch (r.type) {
    case hextext::kHexData: {
        // Sum in 64 bits: bases near 4 GiB must not wrap round into the image.
        const quint64 address = quint64(state.LpcExtLinear) + state.LpcExtSegment + r.offset;
        const quint64 end = address + quint64(r.data.size());
        if (end > quint64(state.limit)) return HexLine::TooLarge;
        hextext::placeData(state.image, qsizetype(address), r.data, kFillByte);
        if (!r.data.isEmpty()) state.hasData = true;
        if (!r.data.isEmpty() && address < quint64(kVectorWords) * 4) state.vectorData = true;
        return HexLine::Data;
    }
    case hextext::kHexSegmentBase:
        state.LpcExtSegment = r.value * kSegmentScale;
        return HexLine::Address;
    case hextext::kHexLinearBase:
        state.LpcExtLinear = r.value * kLinearScale;
        return HexLine::Address;
    default:
        return HexLine::Ignored;
    }
}

void padImage(QByteArray &image)
{
    // A remainder that ends exactly on a 45-byte line gets one byte more.
    if (const qsizetype r = image.size() % kBlockSize; r > 0 && r % kLineBytes == 0)
        image.append(kPadByte);
    if (const qsizetype q = image.size() % kImagePadding; q > 0)
        image.append(kImagePadding - q, kPadByte);
}

// ---- Loading ----

QString statusMissing()
{
    return QCoreApplication::translate("lpc", "文件不存在");
}
QString statusLoaded()
{
    return QCoreApplication::translate("lpc", "下载目标代码");
}
QString statusTooLarge(qsizetype limit)
{
    return QCoreApplication::translate("lpc", "文件太大，不能用于%1K Flash的LPC ARM")
        .arg(limit / 1024);
}
QString codeSizeLine(qsizetype imageSize)
{
    return QStringLiteral("CodeSize: %1 KB").arg(imageSize / 1024);
}

namespace {

// Turns what the reader found into the result: the padded image, or why there is none.
LoadResult finishHex(const firmwarefile::HexOutcome &read, LpcHexState &state)
{
    using firmwarefile::HexStatus;
    switch (read.status) {
    case HexStatus::Complete:
        break;
    case HexStatus::NoRecords:
        return refuse(LoadStatus::Empty, statusEmpty());
    case HexStatus::TooLarge:
    case HexStatus::Stopped: // a record would end past the image limit
        return refuse(LoadStatus::TooLarge, statusTooLarge(state.limit));
    case HexStatus::Unreadable:
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText());
    default:
        return refuse(LoadStatus::Malformed, firmwarefile::damageText(read), read.line);
    }
    if (!state.hasData) return refuse(LoadStatus::Empty, statusEmpty());
    padImage(state.image);
    if (state.image.size() > state.limit)
        return refuse(LoadStatus::TooLarge, statusTooLarge(state.limit));

    LoadResult r;
    r.status = LoadStatus::Loaded;
    r.image = std::move(state.image);
    r.vectorData = state.vectorData;
    r.statusText = statusLoaded();
    return r;
}

template <typename Read> LoadResult readAndBuild(Read read, qsizetype limit)
{
    LpcHexState state;
    state.limit = limit;
    const firmwarefile::HexOutcome outcome = read([&state](const hextext::HexRecord &r, int) {
        return ParseLpcHexLine(r, state) != HexLine::TooLarge;
    });
    return finishHex(outcome, state);
}

} // namespace

LoadResult loadHex(QIODevice &device, qsizetype limit)
{
    return readAndBuild(
        [&device](const firmwarefile::RecordHandler &onRecord) {
            return firmwarefile::readHex(device, onRecord);
        },
        limit);
}

LoadResult loadBinary(QIODevice &device, qsizetype limit)
{
    if (!device.isSequential() && device.size() - device.pos() > limit)
        return refuse(LoadStatus::TooLarge, statusTooLarge(limit));
    QByteArray image = device.read(limit + 1);
    if (image.size() > limit) return refuse(LoadStatus::TooLarge, statusTooLarge(limit));
    if (!device.isSequential() && device.pos() != device.size())
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText());
    if (image.isEmpty()) return refuse(LoadStatus::Empty, statusEmpty());
    padImage(image);
    if (image.size() > limit) return refuse(LoadStatus::TooLarge, statusTooLarge(limit));

    LoadResult r;
    r.status = LoadStatus::Loaded;
    r.image = std::move(image);
    r.vectorData = true;
    r.statusText = statusLoaded();
    return r;
}

LoadResult fromImage(const firmware::Loaded &file, qsizetype limit)
{
    switch (file.status) {
    case firmware::Status::Loaded:
        break;
    case firmware::Status::Missing:
    case firmware::Status::NotAFile:
        return refuse(LoadStatus::Missing, statusMissing());
    case firmware::Status::Unreadable:
        return refuse(LoadStatus::Unreadable, file.reason);
    case firmware::Status::TooLarge:
        return refuse(LoadStatus::TooLarge, statusTooLarge(limit));
    case firmware::Status::Empty:
        return refuse(LoadStatus::Empty, statusEmpty());
    case firmware::Status::Damaged:
        return refuse(LoadStatus::Malformed, file.reason, file.line);
    }
    if (const auto out = firmware::outside(file.image, 0, limit - 1)) {
        if (file.format == firmware::Format::IntelHex)
            return refuse(LoadStatus::TooLarge, statusTooLarge(limit));
        return refuse(LoadStatus::TooLarge,
                      firmware::outsideText(out->address, out->end() - 1, 0, limit - 1));
    }
    LoadResult r;
    r.image = firmware::flatten(file.image, 0, kFillByte);
    padImage(r.image);
    if (r.image.size() > limit) return refuse(LoadStatus::TooLarge, statusTooLarge(limit));
    r.status = LoadStatus::Loaded;
    r.vectorData = file.image.holdsAny(0, quint64(kVectorWords) * 4);
    r.statusText = statusLoaded();
    r.warning = file.warning;
    return r;
}

LoadResult loadImage(const QString &path, std::optional<quint64> binaryAddress, qsizetype limit)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || !info.isFile())
        return refuse(LoadStatus::Missing, statusMissing());
    if (const firmware::Format format = firmware::formatOf(path);
        format != firmware::Format::Binary || binaryAddress)
        return fromImage(firmware::load(path, binaryAddress.value_or(0)), limit);
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText());
        LoadResult r = loadBinary(file, limit);
        if (file.error() != QFileDevice::NoError)
            return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText());
        return r;
    }
}

// ---- uuencoding ----

char UuChar(quint8 value)
{
    const quint8 v = value & kUuSixBits;
    return v == 0 ? kUuZero : char(v + kUuOffset);
}

UuLine UuEncodeLine(QByteArrayView bytes)
{
    const qsizetype n = std::min<qsizetype>(bytes.size(), kLineBytes);
    UuLine out;
    out.text.reserve(1 + (n + kUuGroupBytes - 1) / kUuGroupBytes * 4 + 2);
    out.text.append(UuChar(quint8(n)));
    for (qsizetype i = 0; i < n; i += kUuGroupBytes) {
        const auto at = [&](qsizetype k) { return k < n ? quint8(bytes[k]) : quint8(0); };
        const quint8 b0 = at(i), b1 = at(i + 1), b2 = at(i + 2);
        out.text.append(UuChar(b0 >> 2));
        out.text.append(UuChar(quint8((b0 & 0x03) << 4 | b1 >> 4)));
        out.text.append(UuChar(quint8((b1 & 0x0F) << 2 | b2 >> 6)));
        out.text.append(UuChar(b2));
    }
    for (qsizetype i = 0; i < n; ++i)
        out.sum += quint8(bytes[i]);
    out.text.append(kLineEnd);
    return out;
}

// ---- Send list ----

std::optional<LpcSendList> BuildLpcSendList(QByteArrayView image, const SectorTable &table,
                                            const devices::LpcCopyRule &rule)
{
    if (image.isEmpty() || image.size() > kImageLimit) return std::nullopt;
    LpcSendList list;
    list.LpcFullBlocks = int(image.size() / kBlockSize);
    const qsizetype rest = image.size() % kBlockSize;
    const qsizetype lines = (rest + kLineBytes - 1) / kLineBytes;
    list.items.reserve(kItemsPerBlock * list.LpcFullBlocks +
                       (rest > 0 ? (lines + kLinesPerItem - 1) / kLinesPerItem + 4 : 0));

    for (int b = 1; b <= list.LpcFullBlocks; ++b) {
        const qsizetype start = qsizetype(b - 1) * kBlockSize;
        appendBlock(list.items, image.sliced(start, kBlockSize), table[std::size_t(b)], start);
    }
    if (rest > 0) {
        const qsizetype start = qsizetype(list.LpcFullBlocks) * kBlockSize;
        QByteArray last = image.sliced(start, rest).toByteArray();
        last.append(copySizeFor(rest, rule) - rest, kBlockFill);
        appendBlock(list.items, last, table[std::size_t(list.LpcFullBlocks) + 1], start);
    }
    return list;
}

int copySizeFor(qsizetype bytes, const devices::LpcCopyRule &rule)
{
    for (const int size : rule.counts)
        if (bytes <= size && size <= kBlockSize) return size;
    return kBlockSize;
}

bool pauseAfterLine(quint32 pauseMs, qsizetype lineBytes, quint32 bitsPerSecond)
{
    if (bitsPerSecond == 0) return true;
    // Both sides in microseconds: the line's time on the wire against the pause.
    const quint64 lineUs = quint64(std::max<qsizetype>(lineBytes, 0)) * 10u * 1'000'000u / bitsPerSecond;
    return quint64(pauseMs) * 1000u > lineUs;
}

QString compareFailedLine(quint32 address)
{
    return QCoreApplication::translate("lpc", "比较失败: Flash 地址 0x%1 的内容与写入的数据不同")
        .arg(QString::number(address, 16).toUpper().rightJustified(8, QLatin1Char('0')));
}

// ---- Vector table ----

std::optional<quint32> applyVectorChecksum(QByteArray &image, qsizetype at)
{
    if (image.size() < kVectorWords * 4) return std::nullopt;
    const auto word = [&image](int i) {
        const auto *p = reinterpret_cast<const uchar *>(image.constData()) + i * 4;
        return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
    };
    bool any = false;
    quint32 sum = 0;
    for (int i = 0; i < kVectorWords; ++i) {
        any = any || word(i) != 0;
        if (i * 4 != at) sum += word(i);
    }
    if (!any) return std::nullopt;
    const quint32 value = 0u - sum;
    for (int b = 0; b < 4; ++b)
        image[at + b] = char((value >> (8 * b)) & 0xFF);
    return value;
}

QString vectorChecksumLine(quint32 value, qsizetype at)
{
    return QCoreApplication::translate("lpc", "向量表校验和 0x%1 (写入地址 0x%2)")
        .arg(QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0')))
        .arg(QString::number(at, 16).toUpper());
}

// ---- Flash of the part ----

qint64 flashBytesFor(QStringView partId)
{
    const devices::LpcPart &p = partOrDefault(partId);
    return devices::lpcFlashBytes(p.layout, p.lastSector);
}

QString tooLargeForPartLine(qsizetype imageBytes, qint64 flashBytes)
{
    return QCoreApplication::translate("lpc", "文件太大: 映像 %1 字节，芯片 Flash 只有 %2 字节")
        .arg(imageBytes)
        .arg(flashBytes);
}

// ---- Any part ----

quint32 crc32(QByteArrayView bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QString crcFailedLine(quint32 address, quint32 count, quint32 chipCrc, quint32 imageCrc)
{
    const auto hex8 = [](quint32 v) {
        return QString::number(v, 16).toUpper().rightJustified(8, QLatin1Char('0'));
    };
    return QCoreApplication::translate(
               "lpc", "校验失败: Flash 0x%1 起 %2 字节的 CRC-32 为 0x%3，映像的为 0x%4")
        .arg(hex8(address))
        .arg(count)
        .arg(hex8(chipCrc))
        .arg(hex8(imageCrc));
}

std::optional<LpcSendList> buildPartSendList(QByteArrayView image, const devices::LpcChip &chip,
                                             Verify verify)
{
    const devices::LpcFamily &family = *chip.family;
    const int block = chip.blockBytes();
    if (image.isEmpty() || image.size() > chip.flashBytes() || block <= 0) return std::nullopt;
    const QByteArray ram = QByteArray::number(family.ramFree);
    const quint32 skip = family.remappedBytes;
    LpcSendList list;
    list.LpcFullBlocks = int(image.size() / block);
    QByteArray written; // what the copies put into flash, for the CRC
    for (qsizetype start = 0; start < image.size(); start += block) {
        QByteArray bytes = image.sliced(start, std::min<qsizetype>(block, image.size() - start))
                               .toByteArray();
        int copy = block;
        for (const quint16 c : family.copyCounts)
            if (c > 0 && c >= bytes.size()) {
                copy = c;
                break;
            }
        bytes.append(copy - bytes.size(), kBlockFill);
        const QByteArray count = QByteArray::number(copy);
        const QByteArray s = QByteArray::number(chip.sectorOf(start));
        list.items.append({ItemKind::CommandItem, {commandLine("W " + ram + ' ' + count)}});
        if (family.binaryData)
            list.items.append({ItemKind::BinaryItem, {bytes}});
        else
            appendDataItems(list.items, bytes);
        list.items.append({ItemKind::CommandItem, {commandLine("P " + s + ' ' + s)}});
        list.items.append(
            {ItemKind::CommandItem,
             {commandLine("C " + QByteArray::number(start) + ' ' + ram + ' ' + count)}});
        // Bytes below skip read as the boot code's, not as what was written.
        const quint32 from = std::max<quint32>(quint32(start), skip);
        if (verify == Verify::Compare && from < quint32(start) + quint32(copy)) {
            const quint32 offset = from - quint32(start);
            LpcSendItem compare{
                ItemKind::CompareItem,
                {commandLine("M " + QByteArray::number(from) + ' ' +
                             QByteArray::number(family.ramFree + offset) + ' ' +
                             QByteArray::number(quint32(copy) - offset))}};
            compare.flashAddress = from;
            list.items.append(std::move(compare));
        }
        written += bytes;
    }
    if (verify == Verify::Crc && quint32(written.size()) > skip) {
        const quint32 n = quint32(written.size()) - skip;
        LpcSendItem crc{ItemKind::CrcItem,
                        {commandLine("S " + QByteArray::number(skip) + ' ' +
                                     QByteArray::number(n))}};
        crc.flashAddress = skip;
        crc.byteCount = n;
        crc.expectedCrc = crc32(QByteArrayView(written).sliced(skip));
        list.items.append(std::move(crc));
    }
    return list;
}

} // namespace lpc
