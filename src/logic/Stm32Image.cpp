#include "logic/Stm32Image.h"

#include "logic/FirmwareFile.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace stm32 {

namespace {

constexpr quint64 kFlashWindowEnd = quint64(kFlashStart) + quint64(kImageCapacity);

// Writes data at offset into buf, growing it with erased-flash bytes over any hole.
void writeAt(QByteArray &buf, qsizetype offset, QByteArrayView data)
{
    const qsizetype end = offset + data.size();
    if (end > buf.size()) {
        const qsizetype old = buf.size();
        buf.resize(end);
        std::fill(buf.begin() + old, buf.end(), kGapByte);
    }
    std::copy(data.begin(), data.end(), buf.begin() + offset);
}

QString hexAddress(quint64 address)
{
    return QStringLiteral("0x") + QString::number(address, 16).toUpper().rightJustified(8, u'0');
}

LoadResult refuse(LoadStatus status, QString text, bool hex)
{
    LoadResult r;
    r.status = status;
    r.hex = hex;
    r.statusText = std::move(text);
    return r;
}

QString statusNotAFile()
{
    return QStringLiteral("所选的不是文件");
}
QString statusBinaryTooLarge()
{
    return QStringLiteral("文件太大，不能超过1024 KB");
}
QString statusEmpty()
{
    return QStringLiteral("文件中没有可下载的数据");
}
QString statusOutOfRange(quint64 address)
{
    return QStringLiteral("HEX文件的地址超出Flash范围: ") + hexAddress(address);
}

} // namespace

// ---- Reply tests ----

bool syncAccepted(QByteArrayView reply)
{
    return !reply.isEmpty() && quint8(reply.back()) == kAck;
}

std::optional<quint8> acceptGetReply(QByteArrayView reply)
{
    if (reply.size() < replyLength(State::GetReply)) return std::nullopt;
    if (quint8(reply[0]) != kAck || quint8(reply[1]) != kGetReplyCount ||
        quint8(reply[3]) != kCmdGet || quint8(reply[14]) != kAck)
        return std::nullopt;
    return quint8(reply[2]);
}

std::optional<QString> acceptGetIdReply(QByteArrayView reply)
{
    if (reply.size() < replyLength(State::GetIdReply)) return std::nullopt;
    if (quint8(reply[0]) != kAck || quint8(reply[1]) != kGetIdReplyCount ||
        quint8(reply[4]) != kAck)
        return std::nullopt;
    return hextext::toHex(reply.sliced(2, 2));
}

std::optional<quint32> acceptFlashSizeReply(QByteArrayView reply)
{
    if (reply.size() < replyLength(State::ReadData) || quint8(reply[0]) != kAck)
        return std::nullopt;
    return quint32(quint8(reply[2])) * 256 + quint8(reply[1]);
}

bool ackFirst(QByteArrayView reply)
{
    return !reply.isEmpty() && quint8(reply[0]) == kAck;
}

// ---- Frames ----

QByteArray commandFrame(quint8 command)
{
    return QByteArray{} + char(command) + char(quint8(~command));
}

QByteArray addressFrame(quint32 address)
{
    QByteArray f;
    f.reserve(5);
    for (int shift = 24; shift >= 0; shift -= 8)
        f.append(char(quint8(address >> shift)));
    f.append(char(xorChecksum(f)));
    return f;
}

QByteArray readCountFrame(int byteCount)
{
    const auto n = quint8(std::clamp(byteCount, 1, kBlockSize) - 1);
    return QByteArray{} + char(n) + char(quint8(~n));
}

quint8 xorChecksum(QByteArrayView bytes)
{
    quint8 x = 0;
    for (char c : bytes)
        x ^= quint8(c);
    return x;
}

EraseList erasePageList(qsizetype imageLength)
{
    EraseList e;
    e.pageCount = int(std::max<qsizetype>(imageLength, 0) / kPageSize + 1);
    if (e.pageCount > kMaxPageListPages) {
        e.global = true;
        e.frame = QByteArray{} + char(kGlobalEraseCount) + char(kGlobalEraseChecksum);
        return e;
    }
    e.frame.reserve(e.pageCount + 2);
    e.frame.append(char(quint8(e.pageCount - 1)));
    for (int page = 0; page < e.pageCount; ++page)
        e.frame.append(char(quint8(page)));
    e.frame.append(char(xorChecksum(e.frame)));
    return e;
}

std::optional<Block> blockAt(QByteArrayView image, qsizetype offset)
{
    if (offset < 0 || offset >= image.size()) return std::nullopt;
    Block b;
    const qsizetype n = std::min<qsizetype>(image.size() - offset, kBlockSize);
    b.data = image.sliced(offset, n).toByteArray();
    b.countByte = quint8(n - 1);
    b.checksum = b.countByte ^ xorChecksum(b.data);
    return b;
}

// ---- Message texts ----

QString versionLine(quint8 version)
{
    return QStringLiteral("Bootloader 版本 %1.%2").arg(version >> 4).arg(version & 0x0F);
}

QString productIdLine(const QString &productId)
{
    return QStringLiteral("Product ID: ") + productId;
}

QString familyLine(const QString &productId)
{
    return productId == QLatin1String(kExpectedProductId) ? QStringLiteral("STM32F10xxExx 家族")
                                                          : QStringLiteral("未知的设备");
}

QString flashSizeLine(quint32 kib)
{
    return QStringLiteral("存储容量 Flash:%1 KB").arg(kib);
}

QString sizeLine(qsizetype length)
{
    return QStringLiteral("文件尺寸: %1 Byte / %2 KB").arg(length).arg(length / 1024);
}

QString writeAddressStatus(quint32 address)
{
    return QStringLiteral("写地址: ") + hexAddress(address);
}

QString eraseLine(int pageCount)
{
    return QStringLiteral("擦除页 0 .. %1").arg(pageCount - 1);
}

// ---- Intel HEX ----

StmHexImage::Place StmHexImage::place(quint64 address, QByteArrayView data)
{
    if (data.isEmpty()) return Place::Ok;
    const quint64 end = address + quint64(data.size());
    if (address >= kFlashStart) {
        if (end > kFlashWindowEnd) {
            refused_ = address;
            return Place::OutOfRange;
        }
        if (end - kFlashStart > quint64(kHexSizeLimit)) {
            refused_ = address;
            return Place::TooLarge;
        }
        writeAt(flash_, qsizetype(address - kFlashStart), data);
        return Place::Ok;
    }
    // Below the flash start: the file may be linked for the alias at 0. A record that runs
    // into the flash start belongs to neither window.
    if (end > quint64(kImageCapacity)) {
        refused_ = address;
        return Place::OutOfRange;
    }
    if (end > quint64(kHexSizeLimit)) {
        refused_ = address;
        return Place::TooLarge;
    }
    writeAt(low_, qsizetype(address), data);
    lowestLow_ = std::min(lowestLow_, address);
    return Place::Ok;
}

QByteArray StmHexImage::image() const
{
    if (mixed()) return {};
    return flash_.isEmpty() ? low_ : flash_;
}

HexLine ParseStmHexLine(QStringView line, StmHexImage &image)
{
    hextext::HexRecord r;
    switch (hextext::parseHexRecord(line, r)) {
    case hextext::HexRecordStatus::NotARecord:
        return HexLine::Ignored;
    case hextext::HexRecordStatus::Ok:
        return ParseStmHexLine(r, image);
    default:
        return HexLine::Invalid;
    }
}

HexLine ParseStmHexLine(const hextext::HexRecord &r, StmHexImage &image)
{
    switch (r.type) {
    case hextext::kHexData:
        switch (image.place(image.base() + r.offset, r.data)) {
        case StmHexImage::Place::Ok:
            return HexLine::Data;
        case StmHexImage::Place::OutOfRange:
            return HexLine::OutOfRange;
        case StmHexImage::Place::TooLarge:
            return HexLine::TooLarge;
        }
        return HexLine::Invalid;
    case hextext::kHexEndOfFile:
        return HexLine::EndOfFile;
    case hextext::kHexSegmentBase:
        image.setSegmentBase(r.value);
        return HexLine::Address;
    case hextext::kHexLinearBase:
        image.setLinearBase(r.value);
        return HexLine::Address;
    default:
        return HexLine::Ignored;
    }
}

// ---- Loading ----

QString statusMissing()
{
    return QStringLiteral("文件不存在");
}
QString statusBinaryLoaded()
{
    return QStringLiteral("下载目标代码");
}
QString statusHexLoaded()
{
    return QStringLiteral("下载目标代码。。。");
}
QString statusHexTooLarge()
{
    return QStringLiteral("文件太大，不能用于256K Flash");
}

bool isHexFileName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0) return false;
    const QStringView ext = QStringView(name).sliced(dot);
    return ext == QLatin1String(".hex") || ext == QLatin1String(".HEX");
}

namespace {

// Turns what the reader found into the result: the placed image, or why there is none.
LoadResult finishHex(const firmwarefile::HexOutcome &read, const StmHexImage &placed,
                     HexLine refused)
{
    using firmwarefile::HexStatus;
    switch (read.status) {
    case HexStatus::Complete:
        break;
    case HexStatus::NoRecords:
        return refuse(LoadStatus::Empty, statusEmpty(), true);
    case HexStatus::TooLarge:
        return refuse(LoadStatus::FileTooLarge, statusHexTooLarge(), true);
    case HexStatus::Unreadable:
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), true);
    case HexStatus::Stopped:
        if (refused == HexLine::TooLarge)
            return refuse(LoadStatus::HexTooLarge, statusHexTooLarge(), true);
        return refuse(LoadStatus::OutOfRange, statusOutOfRange(placed.refusedAddress()), true);
    default:
        return refuse(LoadStatus::Damaged, firmwarefile::damageText(read), true);
    }
    if (placed.mixed())
        return refuse(LoadStatus::OutOfRange, statusOutOfRange(placed.lowestLowAddress()), true);
    QByteArray image = placed.image();
    if (image.isEmpty()) return refuse(LoadStatus::Empty, statusEmpty(), true);
    if (const qsizetype rest = image.size() % kImagePadding; rest != 0)
        image.append(kImagePadding - rest, kPadByte);
    if (image.size() > kHexSizeLimit)
        return refuse(LoadStatus::HexTooLarge, statusHexTooLarge(), true);

    LoadResult r;
    r.status = LoadStatus::Loaded;
    r.hex = true;
    r.image = std::move(image);
    r.statusText = statusHexLoaded();
    return r;
}

// Reads records with read (a device or a file) into a placed image.
template <typename Read> LoadResult readAndPlace(Read read)
{
    StmHexImage placed;
    HexLine refused = HexLine::Data;
    const firmwarefile::HexOutcome outcome = read([&](const hextext::HexRecord &r, int) {
        const HexLine result = ParseStmHexLine(r, placed);
        if (result != HexLine::OutOfRange && result != HexLine::TooLarge) return true;
        refused = result;
        return false;
    });
    return finishHex(outcome, placed, refused);
}

} // namespace

LoadResult loadHex(QIODevice &device)
{
    return readAndPlace([&device](const firmwarefile::RecordHandler &onRecord) {
        return firmwarefile::readHex(device, onRecord);
    });
}

LoadResult loadBinary(QIODevice &device)
{
    if (!device.isSequential() && device.size() - device.pos() > kImageCapacity)
        return refuse(LoadStatus::FileTooLarge, statusBinaryTooLarge(), false);
    QByteArray image = device.read(kImageCapacity + 1);
    if (image.size() > kImageCapacity)
        return refuse(LoadStatus::FileTooLarge, statusBinaryTooLarge(), false);
    if (!device.isSequential() && device.pos() != device.size())
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), false);
    if (image.isEmpty()) return refuse(LoadStatus::Empty, statusEmpty(), false);

    LoadResult r;
    r.status = LoadStatus::Loaded;
    r.hex = false;
    r.image = std::move(image);
    r.statusText = statusBinaryLoaded();
    return r;
}

LoadResult loadImage(const QString &path)
{
    const bool hex = isHexFileName(path);
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) return refuse(LoadStatus::Missing, statusMissing(), hex);
    if (!info.isFile()) return refuse(LoadStatus::NotAFile, statusNotAFile(), hex);
    if (hex) {
        return readAndPlace([&path](const firmwarefile::RecordHandler &onRecord) {
            return firmwarefile::readHexFile(path, onRecord);
        });
    }
    if (info.size() > kImageCapacity)
        return refuse(LoadStatus::FileTooLarge, statusBinaryTooLarge(), hex);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), hex);
    LoadResult r = loadBinary(file);
    if (file.error() != QFileDevice::NoError)
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), hex);
    return r;
}

} // namespace stm32
