#include "logic/Stm32Image.h"

#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/HexText.h"
#include "logic/ShownText.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>

namespace stm32 {

namespace {

constexpr quint64 kFlashWindowEnd = quint64(kFlashStart) + quint64(kImageCapacity);

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
    return QCoreApplication::translate("stm32", "所选的不是文件");
}
QString statusBinaryTooLarge()
{
    return QCoreApplication::translate("stm32", "文件太大，不能超过%1 KB").arg(kImageCapacity / 1024);
}
QString statusEmpty()
{
    return QCoreApplication::translate("stm32", "文件中没有可下载的数据");
}
QString statusOutOfRange(quint64 address)
{
    return QCoreApplication::translate("stm32", "HEX文件的地址超出Flash范围: %1")
        .arg(hexAddress(address));
}

} // namespace

// ---- Reply tests ----

bool syncAccepted(QByteArrayView reply)
{
    return !reply.isEmpty() && quint8(reply.back()) == kAck;
}

bool syncAnswered(QByteArrayView reply, int attempt)
{
    return syncAccepted(reply) || (attempt > 1 && reply.size() == 1 && quint8(reply[0]) == kNack);
}

qsizetype getReplyLength(QByteArrayView gathered)
{
    const qsizetype least = replyLength(State::GetReply);
    if (gathered.size() < 2 || quint8(gathered[0]) != kAck) return least;
    return std::max(least, qsizetype(quint8(gathered[1])) + 4);
}

std::optional<quint8> acceptGetReply(QByteArrayView reply)
{
    if (reply.size() < replyLength(State::GetReply)) return std::nullopt;
    const qsizetype end = qsizetype(quint8(reply[1])) + 3; // index of the closing ACK
    if (quint8(reply[0]) != kAck || quint8(reply[1]) < kGetReplyCount || reply.size() <= end ||
        quint8(reply[3]) != kCmdGet || quint8(reply[end]) != kAck)
        return std::nullopt;
    return quint8(reply[2]);
}

QByteArray offeredCommands(QByteArrayView reply)
{
    if (!acceptGetReply(reply)) return {};
    return reply.sliced(3, quint8(reply[1])).toByteArray();
}

std::optional<QString> acceptGetIdReply(QByteArrayView reply)
{
    if (reply.size() < replyLength(State::GetIdReply)) return std::nullopt;
    if (quint8(reply[0]) != kAck || quint8(reply[1]) != kGetIdReplyCount ||
        quint8(reply[4]) != kAck)
        return std::nullopt;
    return hextext::toHex(reply.sliced(2, 2));
}

SizeReadPlan sizeReadPlan(const devices::Stm32Part &part)
{
    const devices::Stm32SizeRead &r = part.sizeRead;
    if (r.start == 0 || r.start > part.flashSizeRegister ||
        part.flashSizeRegister + kFlashSizeRegisterBytes > quint64(r.start) + quint64(r.count) ||
        r.count > kBlockSize)
        return {part.flashSizeRegister, kFlashSizeRegisterBytes, 0};
    return {r.start, r.count, int(part.flashSizeRegister - r.start)};
}

std::optional<quint32> flashKibIn(QByteArrayView data, const SizeReadPlan &plan)
{
    const qsizetype at = plan.offset;
    if (data.size() < plan.count || at < 0 || at + 2 > data.size()) return std::nullopt;
    return quint32(quint8(data[at + 1])) * 256 + quint8(data[at]);
}

std::optional<quint32> acceptFlashSizeReply(QByteArrayView reply, const SizeReadPlan &plan)
{
    if (reply.isEmpty() || quint8(reply[0]) != kAck) return std::nullopt;
    return flashKibIn(reply.sliced(1), plan);
}

UniqueIdPlan uniqueIdPlan(const devices::Stm32Part &part, const SizeReadPlan &size)
{
    const quint32 at = part.uniqueIdRegister;
    if (at == 0) return {};
    if (size.address <= at && quint64(at) + kUniqueIdBytes <= quint64(size.address) + quint64(size.count))
        return {true, 0, int(at - size.address)};
    return {false, at, 0};
}

QString uniqueIdIn(QByteArrayView data, int offset)
{
    if (offset < 0 || data.size() < qsizetype(offset) + kUniqueIdBytes) return {};
    return QString::fromLatin1(data.sliced(offset, kUniqueIdBytes).toByteArray().toHex().toUpper());
}

QString uniqueIdLine(const QString &uid)
{
    return QCoreApplication::translate("stm32", "芯片唯一 ID: %1").arg(uid);
}

bool ackFirst(QByteArrayView reply)
{
    return !reply.isEmpty() && quint8(reply[0]) == kAck;
}

bool nackFirst(QByteArrayView reply)
{
    return !reply.isEmpty() && quint8(reply[0]) == kNack;
}

std::optional<QByteArray> acceptReadBack(QByteArrayView reply, qsizetype length)
{
    if (length < 1 || reply.size() < length + 1 || quint8(reply[0]) != kAck) return std::nullopt;
    return reply.sliced(1, length).toByteArray();
}

bool unprotectAccepted(QByteArrayView reply)
{
    return reply.size() >= 2 && quint8(reply[0]) == kAck && quint8(reply[1]) == kAck;
}

std::optional<quint32> acceptChecksumReply(QByteArrayView reply)
{
    if (reply.size() < 7 || quint8(reply[0]) != kAck || quint8(reply[1]) != kAck) return {};
    if (xorChecksum(reply.sliced(2, 4)) != quint8(reply[6])) return {};
    quint32 crc = 0;
    for (int i = 2; i < 6; ++i)
        crc = crc << 8 | quint8(reply[i]);
    return crc;
}

quint32 checksumOfWords(QByteArrayView data, quint32 crc)
{
    for (qsizetype i = 0; i + 4 <= data.size(); i += 4) {
        crc ^= quint32(quint8(data[i])) | quint32(quint8(data[i + 1])) << 8 |
               quint32(quint8(data[i + 2])) << 16 | quint32(quint8(data[i + 3])) << 24;
        for (int bit = 0; bit < 32; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

QList<Span> checksumRanges(const QList<Span> &spans)
{
    QList<Span> ranges;
    for (const Span &s : spans) {
        if (s.length <= 0) continue;
        const qsizetype from = s.offset & ~qsizetype(3);
        const qsizetype to = (s.end() + 3) & ~qsizetype(3);
        if (!ranges.isEmpty() && from <= ranges.back().end())
            ranges.back().length = std::max(ranges.back().end(), to) - ranges.back().offset;
        else
            ranges.append({from, to - from});
    }
    return ranges;
}

QByteArray checksumBytes(QByteArrayView image, Span range)
{
    QByteArray bytes(range.length, kPadByte);
    const qsizetype n = std::clamp<qsizetype>(image.size() - range.offset, 0, range.length);
    if (n > 0) std::memcpy(bytes.data(), image.data() + range.offset, size_t(n));
    return bytes;
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

const devices::Stm32Part &partFor(quint16 productId)
{
    const devices::Stm32Part *p = devices::stm32Part(productId);
    return p ? *p : devices::stm32DefaultPart();
}

int eraseUnits(const devices::Stm32Part &part, qsizetype imageLength)
{
    const qint64 length = std::max<qint64>(imageLength, 0);
    if (part.sectorKib.empty()) return int((length + part.pageSize - 1) / part.pageSize);
    qint64 covered = 0;
    int units = 0;
    for (const quint16 kib : part.sectorKib) {
        if (covered >= length) break;
        covered += qint64(kib) * 1024;
        ++units;
    }
    return covered >= length ? units : -1;
}

qint64 eraseUnitBytes(const devices::Stm32Part &part, int units)
{
    if (part.sectorKib.empty()) return qint64(std::max(units, 0)) * part.pageSize;
    qint64 bytes = 0;
    for (int s = 0; s < units && s < int(part.sectorKib.size()); ++s)
        bytes += qint64(part.sectorKib[std::size_t(s)]) * 1024;
    return bytes;
}

int eraseUnitAt(const devices::Stm32Part &part, qsizetype offset)
{
    if (offset < 0) return -1;
    if (part.sectorKib.empty()) return int(offset / part.pageSize);
    qint64 start = 0;
    for (std::size_t s = 0; s < part.sectorKib.size(); ++s) {
        start += qint64(part.sectorKib[s]) * 1024;
        if (offset < start) return int(s);
    }
    return -1;
}

Span unitSpan(const devices::Stm32Part &part, int unit)
{
    if (unit < 0) return {};
    if (part.sectorKib.empty()) return {qsizetype(unit) * part.pageSize, part.pageSize};
    if (unit >= int(part.sectorKib.size())) return {};
    return {qsizetype(eraseUnitBytes(part, unit)),
            qsizetype(part.sectorKib[std::size_t(unit)]) * 1024};
}

QList<Span> clipSpans(const QList<Span> &spans, Span within)
{
    QList<Span> out;
    for (const Span &s : spans) {
        const qsizetype start = std::max(s.offset, within.offset);
        const qsizetype end = std::min(s.end(), within.end());
        if (start < end) out.append(Span{start, end - start});
    }
    return out;
}

ErasePlan erasePlan(const devices::Stm32Part &part, bool extended, qsizetype imageLength)
{
    if (imageLength <= 0) return erasePlan(part, extended, QList<Span>{});
    const int units = eraseUnits(part, imageLength);
    // A sector line's image beyond its last sector: the sectors that exist, as before.
    const qsizetype covered =
        units < 0 ? qsizetype(eraseUnitBytes(part, int(part.sectorKib.size()))) : imageLength;
    return erasePlan(part, extended, QList<Span>{{0, covered}});
}

namespace {
// Units 0 .. n - 1 that make up exactly flashBytes; 0 when no whole number of them does.
int unitsOfFlash(const devices::Stm32Part &part, qint64 flashBytes)
{
    if (flashBytes <= 0) return 0;
    const int n = eraseUnits(part, qsizetype(flashBytes));
    return n > 0 && eraseUnitBytes(part, n) == flashBytes ? n : 0;
}

// Every unit from .. to - 1 is in the ascending list without repeats.
bool listsAll(const QList<int> &units, int from, int to)
{
    const auto first = std::lower_bound(units.begin(), units.end(), from);
    const auto last = std::lower_bound(units.begin(), units.end(), to);
    return to > from && last - first == to - from;
}

QByteArray specialFrame(quint16 code)
{
    QByteArray f;
    f.append(char(quint8(code >> 8))).append(char(quint8(code)));
    return f.append(char(xorChecksum(f)));
}
} // namespace

bool bulkEraseFrame(QByteArrayView frame)
{
    // A page list never names 256 pages (0xFF as N - 1) and an Extended Erase list never
    // 0xFF01 or more units: a first byte 0xFF is the global erase or a special number.
    return !frame.isEmpty() && quint8(frame[0]) == 0xFF;
}

ErasePlan erasePlan(const devices::Stm32Part &part, bool extended, const QList<Span> &spans)
{
    return erasePlan(part, extended, spans, 0);
}

ErasePlan erasePlan(const devices::Stm32Part &part, bool extended, const QList<Span> &spans,
                    qint64 flashBytes)
{
    ErasePlan plan;
    plan.command = extended ? kCmdExtendedErase : kCmdErase;
    plan.sectors = !part.sectorKib.empty();
    for (const Span &span : spans) {
        if (span.length <= 0) continue;
        const int first = eraseUnitAt(part, span.offset);
        int last = eraseUnitAt(part, span.end() - 1);
        if (first < 0) continue;
        if (last < 0) last = int(part.sectorKib.size()) - 1;
        for (int u = std::max(first, plan.unitList.isEmpty() ? 0 : plan.unitList.back() + 1);
             u <= last; ++u)
            plan.unitList << u;
    }
    plan.units = int(plan.unitList.size());
    if (plan.units == 0) return plan;
    plan.coveredBytes = eraseUnitBytes(part, plan.unitList.back() + 1);
    const int total = part.massErase == devices::Stm32MassErase::PageOnly
                          ? 0
                          : unitsOfFlash(part, flashBytes);
    if (total > 0 && listsAll(plan.unitList, 0, total)) {
        plan.wholeFlash = true;
        plan.global = !extended;
        plan.frames << (extended ? specialFrame(kMassEraseCode)
                                 : QByteArray{} + char(kGlobalEraseCount) +
                                       char(kGlobalEraseChecksum));
        return plan;
    }
    // The bank codes only where the chip has the line's two-bank flash, halved between them.
    QList<int> rest = plan.unitList;
    if (total > 0 && extended && part.massErase == devices::Stm32MassErase::Banks &&
        total % 2 == 0 && flashBytes == qint64(part.tableFlashKib) * 1024) {
        const int half = total / 2;
        plan.bank = listsAll(plan.unitList, 0, half) ? 1 : listsAll(plan.unitList, half, total) ? 2 : 0;
        if (plan.bank != 0) {
            plan.frames << specialFrame(plan.bank == 1 ? kBank1EraseCode : kBank2EraseCode);
            rest.removeIf([&](int u) { return plan.bank == 1 ? u < half : u >= half; });
        }
    }
    if (!extended && (plan.unitList.back() > 0xFF || plan.units > kMaxPageListPages)) {
        // Page numbers are single bytes and a list holds at most 255 of them; beyond that only
        // FF 00 (the whole flash) is left. That is sound only when the image starts at page 0:
        // otherwise it would erase what lies below the image (a boot loader, say).
        if (plan.unitList.front() == 0) {
            plan.global = true;
            plan.frames << (QByteArray{} + char(kGlobalEraseCount) + char(kGlobalEraseChecksum));
        } else {
            plan.unreachable = true;
        }
        return plan;
    }
    const int perCommand = plan.sectors ? 1 : kPagesPerEraseCommand;
    for (qsizetype first = 0; first < rest.size(); first += perCommand) {
        const qsizetype n = std::min<qsizetype>(perCommand, rest.size() - first);
        QByteArray f;
        if (extended) {
            f.append(char(quint8((n - 1) >> 8))).append(char(quint8(n - 1)));
            for (qsizetype i = first; i < first + n; ++i)
                f.append(char(quint8(rest[i] >> 8))).append(char(quint8(rest[i])));
        } else {
            f.append(char(quint8(n - 1)));
            for (qsizetype i = first; i < first + n; ++i)
                f.append(char(quint8(rest[i])));
        }
        f.append(char(xorChecksum(f)));
        plan.frames << f;
    }
    return plan;
}

void padToWriteUnit(QByteArray &image, int writeUnit)
{
    const qsizetype unit = std::max(writeUnit, kImagePadding);
    if (const qsizetype rest = image.size() % unit; rest != 0) image.append(unit - rest, kGapByte);
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

std::optional<qsizetype> nextDataOffset(const QList<Span> &spans, qsizetype from)
{
    for (const Span &span : spans) {
        if (from < span.offset) return span.offset;
        if (from < span.end()) return from;
    }
    return std::nullopt;
}

std::optional<Block> dataBlockAt(QByteArrayView image, const QList<Span> &spans,
                                 qsizetype offset)
{
    for (const Span &span : spans) {
        if (offset < span.offset || offset >= span.end()) continue;
        const qsizetype end = std::min<qsizetype>(span.end(), image.size());
        if (offset >= end) return std::nullopt;
        return blockAt(image.first(end), offset);
    }
    return std::nullopt;
}

int blockCount(const QList<Span> &spans)
{
    qsizetype n = 0;
    for (const Span &s : spans)
        n += (s.length + kBlockSize - 1) / kBlockSize;
    return int(n);
}

QList<Span> alignSpans(const QList<Span> &spans, int writeUnit, qsizetype imageSize)
{
    const qsizetype unit = std::max(writeUnit, kImagePadding);
    QList<Span> out;
    for (const Span &span : spans) {
        if (span.length <= 0) continue;
        const qsizetype start = span.offset / unit * unit;
        const qsizetype end = std::min(imageSize, (span.end() + unit - 1) / unit * unit);
        if (end <= start) continue;
        if (!out.isEmpty() && start <= out.back().end())
            out.back().length = std::max(out.back().end(), end) - out.back().offset;
        else
            out.append(Span{start, end - start});
    }
    return out;
}

// ---- Message texts ----

QString versionLine(quint8 version)
{
    return QCoreApplication::translate("stm32", "Bootloader 版本 %1.%2")
        .arg(version >> 4)
        .arg(version & 0x0F);
}

QString productIdLine(const QString &productId)
{
    return QStringLiteral("Product ID: ") + productId;
}

QString familyLine(const QString &productId)
{
    bool ok = false;
    const uint id = productId.toUInt(&ok, 16);
    const devices::Stm32Part *part = ok ? devices::stm32Part(quint16(id)) : nullptr;
    return part ? devices::shownName(part->line)
                : QCoreApplication::translate("stm32", "未知的设备");
}

QString reasonUnknownProductId(const QString &productId)
{
    return QCoreApplication::translate(
               "stm32", "器件表中没有 Product ID 0x%1: 不知道它的 Flash 如何擦除和写入，未做任何改动")
        .arg(productId);
}

QString flashSizeLine(quint32 kib)
{
    return QCoreApplication::translate("stm32", "存储容量 Flash:%1 KB").arg(kib);
}

// Read Memory as its steps are named, with what a read was for after it.
constexpr char kReadMemoryStep[] = "Read Memory (0x11)";

QString noAnswerLine(State state)
{
    const char *step = "";
    const char *readFor = nullptr; // a Read Memory step: what it read
    switch (state) {
    case State::SyncAck: step = "0x7F"; break;
    case State::GetReply: step = "Get (0x00)"; break;
    case State::GetIdReply: step = "Get ID (0x02)"; break;
    case State::ReadMemoryAck:
    case State::ReadAddressAck:
    case State::ReadData: readFor = "Flash size"; break;
    case State::EraseAck: step = "Erase (0x43/0x44)"; break;
    case State::BlockAck:
    case State::WriteMemoryAck:
    case State::WriteAddressAck:
    case State::LastBlockAck: step = "Write Memory (0x31)"; break;
    case State::VerifyReadAck:
    case State::VerifyAddressAck:
    case State::VerifyData: readFor = "verify"; break;
    case State::UnprotectAck:
    case State::ResetWait: step = "Readout Unprotect (0x92)"; break;
    case State::ChecksumAck:
    case State::ChecksumAddressAck:
    case State::ChecksumReply: step = "Get Checksum (0xA1)"; break;
    case State::ProtectAck: step = "Readout Protect (0x82)"; break;
    case State::UidReadAck:
    case State::UidAddressAck:
    case State::UidData: readFor = "unique ID"; break;
    }
    if (readFor)
        return ::noAnswerLine(QStringLiteral("%1, %2").arg(QLatin1StringView(kReadMemoryStep),
                                                           QLatin1StringView(readFor)));
    return ::noAnswerLine(QString::fromLatin1(step));
}

QString noAnswerReadLine(quint32 address)
{
    return ::noAnswerLine(
        QStringLiteral("%1, %2").arg(QLatin1StringView(kReadMemoryStep), hexAddress(address)));
}

QString flashSizeFromTableLine(quint32 registerAddress, quint32 kib)
{
    return QCoreApplication::translate(
               "stm32", "芯片拒绝读取 Flash 容量寄存器 %1，按器件表取 %2 KB")
        .arg(hexAddress(registerAddress))
        .arg(kib);
}

QString sizeLine(qsizetype length)
{
    return QCoreApplication::translate("stm32", "文件尺寸: %1 Byte / %2 KB")
        .arg(length)
        .arg(length / 1024);
}

QString writeAddressStatus(quint32 address)
{
    return QCoreApplication::translate("stm32", "写地址: %1").arg(hexAddress(address));
}

namespace {
// "0 .. 9" for units 0 to 9; runs of consecutive units joined by ", ": "16 .. 25, 40 .. 41".
QString unitRanges(const QList<int> &units)
{
    QStringList runs;
    for (qsizetype i = 0; i < units.size();) {
        qsizetype j = i;
        while (j + 1 < units.size() && units[j + 1] == units[j] + 1)
            ++j;
        runs << QStringLiteral("%1 .. %2").arg(units[i]).arg(units[j]);
        i = j + 1;
    }
    return runs.join(QStringLiteral(", "));
}
} // namespace

QString eraseLine(int pageCount)
{
    return QCoreApplication::translate("stm32", "擦除页 %1")
        .arg(QStringLiteral("0 .. %1").arg(pageCount - 1));
}

QString eraseLine(const ErasePlan &plan)
{
    if ((plan.global && !plan.wholeFlash) || plan.unitList.isEmpty()) return eraseLine(plan.units);
    const QString units = plan.sectors ? QCoreApplication::translate("stm32", "擦除扇区 %1")
                                             .arg(unitRanges(plan.unitList))
                                       : QCoreApplication::translate("stm32", "擦除页 %1")
                                             .arg(unitRanges(plan.unitList));
    if (plan.wholeFlash) return QCoreApplication::translate("stm32", "%1 (整片擦除)").arg(units);
    if (plan.bank != 0)
        return QCoreApplication::translate("stm32", "%1 (存储区 %2 整体擦除)").arg(units).arg(plan.bank);
    return units;
}

QString verifyAddressStatus(quint32 address)
{
    return QCoreApplication::translate("stm32", "校验地址: %1").arg(hexAddress(address));
}

QString verifiedLine(int blocks)
{
    return QCoreApplication::translate("stm32", "校验完成: 全部 %1 个数据块已读回，与文件一致")
        .arg(blocks);
}

QString checksumVerifiedLine(int ranges)
{
    return QCoreApplication::translate("stm32",
                                       "校验完成: 全部 %1 段数据的 CRC (Get Checksum) 与文件一致")
        .arg(ranges);
}

QString reasonChecksumMismatch(quint32 address, qsizetype length, quint32 chip, quint32 file)
{
    return QCoreApplication::translate("stm32", "校验失败: 地址 %1 起 %2 字节的 CRC 为 %3，文件的为 %4")
        .arg(hexAddress(address))
        .arg(length)
        .arg(hexAddress(chip), hexAddress(file));
}

QString repairLine(quint32 address, const ErasePlan &plan)
{
    return QCoreApplication::translate("stm32", "地址 %1 的数据与文件不符: %2，重写其中的数据")
        .arg(hexAddress(address), eraseLine(plan));
}

Span eepromSpan(const devices::Stm32Part &part)
{
    if (part.eepromBytes == 0) return {};
    return {qsizetype(devices::kStm32EepromStart - kFlashStart), qsizetype(part.eepromBytes)};
}

QString eepromLine(qsizetype bytes, quint32 address)
{
    return QCoreApplication::translate("stm32", "数据 EEPROM: %1 Byte 自 %2")
        .arg(bytes)
        .arg(hexAddress(address));
}

std::optional<qsizetype> firstDataPast(const QList<Span> &spans, qsizetype limit)
{
    for (const Span &s : spans)
        if (s.end() > limit) return std::max(s.offset, limit);
    return std::nullopt;
}

QString reasonDataPastFlash(quint32 address, quint32 flashKib)
{
    return QCoreApplication::translate("stm32", "文件在 %1 有数据: 芯片 Flash 到 %2 为止")
        .arg(hexAddress(address))
        .arg(hexAddress(quint64(kFlashStart) + quint64(flashKib) * 1024 - 1));
}

QString reasonImageTooLarge(qsizetype imageBytes, quint32 flashKib)
{
    return QCoreApplication::translate("stm32",
                                       "文件太大: 映像 %1 Byte，芯片 Flash 只有 %2 KB (%3 Byte)")
        .arg(imageBytes)
        .arg(flashKib)
        .arg(qint64(flashKib) * 1024);
}

QString reasonEraseRefused(devices::Stm32Rdp rdp)
{
    if (rdp != devices::Stm32Rdp::Single)
        return QCoreApplication::translate(
            "stm32", "设备拒绝擦除: 芯片可能处于读保护 Level 1 或写保护状态");
    return QCoreApplication::translate("stm32", "设备拒绝擦除: 芯片可能处于读保护或写保护状态");
}

QString reasonEraseUnreachable(int page)
{
    return QCoreApplication::translate(
               "stm32", "第 %1 页只能随整片 Flash 一起擦除，这会擦除文件之前的内容 (如 Bootloader)")
        .arg(page);
}

QString writeUnprotectingLine()
{
    return QCoreApplication::translate("stm32", "正在解除写保护，芯片随后复位。。。");
}

QString protectedLine(devices::Stm32Rdp rdp)
{
    switch (rdp) {
    case devices::Stm32Rdp::Levels:
        return QCoreApplication::translate(
            "stm32", "已开启读保护 Level 1 (不是 Level 2): Flash 不能再被读出 (回到 Level 0 时芯片擦除整片 Flash)");
    case devices::Stm32Rdp::Eeprom:
        return QCoreApplication::translate(
            "stm32", "已开启读保护 Level 1 (不是 Level 2): Flash 不能再被读出 (回到 Level 0 时芯片擦除整片 Flash 和数据 EEPROM)");
    case devices::Stm32Rdp::Single:
        break;
    }
    return QCoreApplication::translate(
        "stm32", "已开启读保护: Flash 不能再被读出 (解除读保护时芯片擦除整片 Flash)");
}

QString reasonHowToWriteUnprotect()
{
    return QCoreApplication::translate("stm32",
                                       "若 Flash 处于写保护状态: tramelo download --write-unprotect ...");
}

QString reasonWriteUnprotectRefused()
{
    return QCoreApplication::translate("stm32", "设备拒绝解除写保护");
}

QString reasonProtectRefused()
{
    return QCoreApplication::translate("stm32", "设备拒绝开启读保护 (文件已写入)");
}

QString reasonWriteRefused(quint32 address, devices::Stm32Rdp rdp)
{
    if (rdp != devices::Stm32Rdp::Single)
        return QCoreApplication::translate(
                   "stm32", "设备拒绝写入地址 %1: Flash 可能处于读保护 Level 1、写保护状态或未被擦除")
            .arg(hexAddress(address));
    return QCoreApplication::translate("stm32",
                                       "设备拒绝写入地址 %1: Flash 可能处于保护状态或未被擦除")
        .arg(hexAddress(address));
}

QString reasonReadProtected(devices::Stm32Rdp rdp)
{
    if (rdp != devices::Stm32Rdp::Single)
        return QCoreApplication::translate(
            "stm32", "芯片的 Flash 处于读保护 Level 1: 不能读取、擦除或写入");
    return QCoreApplication::translate("stm32",
                                       "芯片的 Flash 处于读保护状态: 不能读取、擦除或写入");
}

QString reasonHowToUnprotect(devices::Stm32Rdp rdp)
{
    switch (rdp) {
    case devices::Stm32Rdp::Levels:
        return QCoreApplication::translate(
            "stm32", "回到 Level 0: tramelo download --unprotect ... (芯片将擦除整片 Flash)");
    case devices::Stm32Rdp::Eeprom:
        return QCoreApplication::translate(
            "stm32", "回到 Level 0: tramelo download --unprotect ... (芯片将擦除整片 Flash 和数据 EEPROM)");
    case devices::Stm32Rdp::Single:
        break;
    }
    return QCoreApplication::translate(
        "stm32", "解除读保护: tramelo download --unprotect ... (芯片将擦除整片 Flash)");
}

QString reasonVerifyFailed(quint32 address)
{
    return QCoreApplication::translate("stm32", "校验失败: 地址 %1 的数据与文件不符 (已重写 %2 次)")
        .arg(hexAddress(address))
        .arg(kVerifyRewrites);
}

QString reasonReadRefused(quint32 address)
{
    return QCoreApplication::translate("stm32", "设备拒绝读取地址 %1").arg(hexAddress(address));
}

QString reasonNoSyncAtRate(quint32 baud)
{
    if (baud <= kHighestTestedBaud) return {};
    return QCoreApplication::translate(
               "stm32", "在 %1 波特率下未能同步: 芯片可能不支持这么高的速率，请用 %2 波特率再试 "
                        "(--baud %2)")
        .arg(baud)
        .arg(kHighestTestedBaud);
}

QString reasonCommandMissing(quint8 command)
{
    return QCoreApplication::translate("stm32", "设备的 Bootloader 不支持命令 0x%1")
        .arg(QString::number(command, 16).toUpper().rightJustified(2, u'0'));
}

QString unprotectingLine(devices::Stm32Rdp rdp)
{
    switch (rdp) {
    case devices::Stm32Rdp::Levels:
        return QCoreApplication::translate(
            "stm32", "正在解除读保护 (Level 1 → Level 0)，芯片擦除整片 Flash。。。");
    case devices::Stm32Rdp::Eeprom:
        return QCoreApplication::translate(
            "stm32", "正在解除读保护 (Level 1 → Level 0)，芯片擦除整片 Flash 和数据 EEPROM。。。");
    case devices::Stm32Rdp::Single:
        break;
    }
    return QCoreApplication::translate("stm32", "正在解除读保护，芯片擦除整片 Flash。。。");
}

// ---- Intel HEX ----

namespace {
void markPlaced(QBitArray &has, qsizetype offset, qsizetype length)
{
    if (has.size() < offset + length) has.resize(offset + length);
    has.fill(true, offset, offset + length);
}
} // namespace

StmHexImage::Place StmHexImage::place(quint64 address, QByteArrayView data)
{
    if (data.isEmpty()) return Place::Ok;
    const quint64 end = address + quint64(data.size());
    if (address >= kFlashStart) {
        if (end > kFlashWindowEnd) {
            refused_ = address;
            return Place::OutOfRange;
        }
        if (end - kFlashStart > quint64(limit_)) {
            refused_ = address;
            return Place::TooLarge;
        }
        hextext::placeData(flash_, qsizetype(address - kFlashStart), data, kGapByte);
        markPlaced(flashHas_, qsizetype(address - kFlashStart), data.size());
        return Place::Ok;
    }
    // Below the flash start: the file may be linked for the alias at 0. A record that runs
    // into the flash start belongs to neither window.
    if (end > quint64(kImageCapacity)) {
        refused_ = address;
        return Place::OutOfRange;
    }
    if (end > quint64(limit_)) {
        refused_ = address;
        return Place::TooLarge;
    }
    hextext::placeData(low_, qsizetype(address), data, kGapByte);
    markPlaced(lowHas_, qsizetype(address), data.size());
    lowestLow_ = std::min(lowestLow_, address);
    return Place::Ok;
}

QList<Span> StmHexImage::spans() const
{
    if (mixed()) return {};
    const QBitArray &has = flash_.isEmpty() ? lowHas_ : flashHas_;
    QList<Span> out;
    for (qsizetype i = 0; i < has.size();) {
        if (!has.testBit(i)) {
            ++i;
            continue;
        }
        qsizetype j = i;
        while (j < has.size() && has.testBit(j))
            ++j;
        out.append(Span{i, j - i});
        i = j;
    }
    return out;
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

QByteArray intelHexText(quint32 address, QByteArrayView data)
{
    constexpr qsizetype kPerRecord = 16;
    QByteArray out;
    auto record = [&out](quint8 type, quint16 offset, QByteArrayView bytes) {
        QByteArray r;
        r.append(char(bytes.size())).append(char(offset >> 8)).append(char(offset & 0xFF));
        r.append(char(type)).append(bytes.data(), bytes.size());
        quint8 sum = 0;
        for (const char c : r)
            sum = quint8(sum + quint8(c));
        r.append(char(quint8(-sum)));
        out += ':' + r.toHex().toUpper() + "\r\n";
    };
    quint32 upper = ~quint32(0);
    for (qsizetype at = 0; at < data.size();) {
        const quint32 a = address + quint32(at);
        if ((a >> 16) != upper) {
            upper = a >> 16;
            const char base[] = {char(upper >> 8), char(upper & 0xFF)};
            record(hextext::kHexLinearBase, 0, QByteArrayView(base, 2));
        }
        // A record does not cross a 64 KiB boundary.
        const qsizetype room = qsizetype(0x10000 - (a & 0xFFFF));
        const qsizetype n = std::min({kPerRecord, data.size() - at, room});
        record(hextext::kHexData, quint16(a & 0xFFFF), data.sliced(at, n));
        at += n;
    }
    record(hextext::kHexEndOfFile, 0, {});
    return out;
}

// ---- Loading ----

QString statusMissing()
{
    return QCoreApplication::translate("stm32", "文件不存在");
}
QString statusBinaryLoaded()
{
    return QCoreApplication::translate("stm32", "下载目标代码");
}
QString statusHexLoaded()
{
    return QCoreApplication::translate("stm32", "下载目标代码。。。");
}
QString statusHexTooLarge(qsizetype sizeLimit)
{
    return QCoreApplication::translate("stm32", "文件太大，不能用于%1K Flash")
        .arg(sizeLimit / 1024);
}

qsizetype hexSizeLimit(const devices::Stm32Part &)
{
    return kImageCapacity;
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
        return refuse(LoadStatus::FileTooLarge, statusHexTooLarge(placed.sizeLimit()), true);
    case HexStatus::Unreadable:
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), true);
    case HexStatus::Stopped:
        if (refused == HexLine::TooLarge)
            return refuse(LoadStatus::HexTooLarge, statusHexTooLarge(placed.sizeLimit()), true);
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
    QList<Span> spans = alignSpans(placed.spans(), kImagePadding, image.size());
    if (image.size() > placed.sizeLimit())
        return refuse(LoadStatus::HexTooLarge, statusHexTooLarge(placed.sizeLimit()), true);

    LoadResult r;
    r.status = LoadStatus::Loaded;
    r.hex = true;
    r.image = std::move(image);
    r.spans = std::move(spans);
    r.statusText = statusHexLoaded();
    return r;
}

// Reads records with read (a device or a file) into a placed image.
template <typename Read> LoadResult readAndPlace(qsizetype limit, Read read)
{
    StmHexImage placed(std::clamp<qsizetype>(limit, 0, kImageCapacity));
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

LoadResult loadHex(QIODevice &device, qsizetype hexLimit)
{
    return readAndPlace(hexLimit, [&device](const firmwarefile::RecordHandler &onRecord) {
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
    r.spans = {Span{0, image.size()}};
    r.image = std::move(image);
    r.statusText = statusBinaryLoaded();
    return r;
}

LoadResult fromImage(const firmware::Loaded &file, qsizetype hexLimit)
{
    const bool hex = file.format == firmware::Format::IntelHex;
    switch (file.status) {
    case firmware::Status::Loaded:
        break;
    case firmware::Status::Missing:
        return refuse(LoadStatus::Missing, statusMissing(), hex);
    case firmware::Status::NotAFile:
        return refuse(LoadStatus::NotAFile, statusNotAFile(), hex);
    case firmware::Status::Unreadable:
        return refuse(LoadStatus::Unreadable, file.reason, hex);
    case firmware::Status::TooLarge:
        return refuse(LoadStatus::FileTooLarge,
                      hex ? statusHexTooLarge(std::clamp<qsizetype>(hexLimit, 0, kImageCapacity))
                          : file.reason,
                      hex);
    case firmware::Status::Empty:
        return refuse(LoadStatus::Empty, statusEmpty(), hex);
    case firmware::Status::Damaged:
        return refuse(LoadStatus::Damaged, file.reason, hex);
    }
    const QList<firmware::Range> ranges = file.image.ranges();
    // Outside the HEX rules' window, or data both below and in flash: named by its addresses
    // (a HEX file keeps its own wording).
    const bool low = !ranges.isEmpty() && ranges.front().address < kFlashStart;
    const quint64 first = low ? 0 : kFlashStart;
    if (const auto out = firmware::outside(file.image, first, first + kImageCapacity - 1);
        out && !hex)
        return refuse(LoadStatus::OutOfRange,
                      firmware::outsideText(out->address, out->end() - 1, kFlashStart,
                                            kFlashWindowEnd - 1),
                      hex);
    StmHexImage placed(std::clamp<qsizetype>(hexLimit, 0, kImageCapacity));
    for (const firmware::Range &r : ranges) {
        switch (placed.place(r.address, r.data)) {
        case StmHexImage::Place::Ok:
            continue;
        case StmHexImage::Place::OutOfRange:
            return finishHex({firmwarefile::HexStatus::Stopped, 0}, placed, HexLine::OutOfRange);
        case StmHexImage::Place::TooLarge:
            return finishHex({firmwarefile::HexStatus::Stopped, 0}, placed, HexLine::TooLarge);
        }
    }
    LoadResult r = finishHex({firmwarefile::HexStatus::Complete, 0}, placed, HexLine::Data);
    r.hex = hex;
    if (r.ok() && !hex) r.statusText = statusBinaryLoaded();
    r.warning = file.warning;
    return r;
}

LoadResult loadImage(const QString &path, qsizetype hexLimit, std::optional<quint64> binaryAddress)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) return refuse(LoadStatus::Missing, statusMissing(), false);
    if (!info.isFile()) return refuse(LoadStatus::NotAFile, statusNotAFile(), false);
    const firmware::Format format = firmware::formatOf(path);
    const bool hex = format == firmware::Format::IntelHex;
    if (format != firmware::Format::Binary || binaryAddress)
        return fromImage(firmware::load(path, binaryAddress.value_or(kFlashStart)), hexLimit);
    QFile file(path); // loadBinary refuses a file over the image's size before reading it
    if (!file.open(QIODevice::ReadOnly))
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), hex);
    LoadResult r = loadBinary(file);
    if (file.error() != QFileDevice::NoError)
        return refuse(LoadStatus::Unreadable, firmwarefile::unreadableText(), hex);
    return r;
}

} // namespace stm32
