#include "sim/Stm32Sim.h"

#include <algorithm>

namespace sim {

namespace {

constexpr quint8 kCmdGet = 0x00;
constexpr quint8 kCmdGetVersion = 0x01;
constexpr quint8 kCmdGetId = 0x02;
constexpr quint8 kCmdRead = 0x11;
constexpr quint8 kCmdGo = 0x21;
constexpr quint8 kCmdWrite = 0x31;
constexpr quint8 kCmdErase = 0x43;
constexpr quint8 kCmdExtendedErase = 0x44;
constexpr quint8 kCmdWriteProtect = 0x63;
constexpr quint8 kCmdWriteUnprotect = 0x73;
constexpr quint8 kCmdReadoutProtect = 0x82;
constexpr quint8 kCmdReadoutUnprotect = 0x92;
// The commands the Get answer lists, in the order the boot loader lists them; the erase
// command is Erase or, from protocol version 3.0 on, Extended Erase.
QByteArray offeredCommands(bool extendedErase)
{
    const quint8 list[] = {kCmdGet,
                           kCmdGetVersion,
                           kCmdGetId,
                           kCmdRead,
                           kCmdGo,
                           kCmdWrite,
                           extendedErase ? kCmdExtendedErase : kCmdErase,
                           kCmdWriteProtect,
                           kCmdWriteUnprotect,
                           kCmdReadoutProtect,
                           kCmdReadoutUnprotect};
    return QByteArray(reinterpret_cast<const char *>(list), sizeof list);
}
// Extended Erase numbers from 0xFFF0 on are special: FFFF mass erase, FFFE bank 1, FFFD
// bank 2, the rest reserved.
constexpr quint16 kExtSpecial = 0xFFF0;
constexpr quint16 kExtMass = 0xFFFF;
constexpr quint16 kExtBank1 = 0xFFFE;
constexpr quint16 kExtBank2 = 0xFFFD;

constexpr quint8 kGlobalErase = 0xFF;
constexpr quint8 kGlobalEraseChecksum = 0x00;
constexpr quint8 kErased = 0xFF;
constexpr qsizetype kAddressFrame = 5; // four address bytes and their XOR
constexpr quint32 kBootLoaderRam = 0x200;
constexpr quint32 kSystemInfoSize = 0x30; // 0x1FFFF7E0 .. 0x1FFFF80F on F10x
constexpr qsizetype kOptionOffset = Stm32Sim::kOptionBytes - Stm32Sim::kFlashSizeRegister;
// Option bytes of an unprotected chip: RDP = 0xA5, every other byte 0xFF, each with its
// complement.
constexpr quint8 kOptionBytesValue[] = {0xA5, 0x5A, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                        0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};

QString hex(quint32 value, int digits = 2)
{
    return QStringLiteral("0x") +
           QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

bool within(quint32 address, qsizetype length, quint32 base, qsizetype size)
{
    const quint64 start = address;
    const quint64 end = start + quint64(length);
    return start >= base && end <= quint64(base) + quint64(size);
}

} // namespace

Stm32Sim::Config Stm32Sim::Config::profile(quint16 productId)
{
    Config c;
    c.productId = productId;
    switch (productId) {
    case 0x410: // F10x medium density
        c.flashSizeKb = 128;
        c.pageSize = 1024;
        break;
    case 0x440: // F030x8/F05x
        c.version = 0x31;
        c.flashSizeKb = 64;
        c.pageSize = 1024;
        c.flashSizeRegister = 0x1FFFF7CC;
        c.extendedErase = true;
        break;
    case 0x422: // F302xB/C, F303xB/C
        c.version = 0x31;
        c.flashSizeKb = 256;
        c.pageSize = 2048;
        c.flashSizeRegister = 0x1FFFF7CC;
        c.extendedErase = true;
        break;
    case 0x413: // F40x/F41x: 4 x 16 KiB, 64 KiB, 7 x 128 KiB
        c.version = 0x31;
        c.flashSizeKb = 1024;
        c.pageSize = 0;
        c.sectorKib = {16, 16, 16, 16, 64, 128, 128, 128, 128, 128, 128, 128};
        c.flashSizeRegister = 0x1FFF7A22;
        c.extendedErase = true;
        c.programming = Programming::ClearBits;
        break;
    case 0x460: // G07x/G08x
        c.version = 0x31;
        c.flashSizeKb = 128;
        c.pageSize = 2048;
        c.flashSizeRegister = 0x1FFF75E0;
        c.extendedErase = true;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = 8;
        break;
    default:
        break;
    }
    return c;
}

Stm32Sim::Stm32Sim() : Stm32Sim(Config{}) {}

Stm32Sim::Stm32Sim(Config config)
    : config_(config), flash_(qsizetype(config.flashSizeKb) * 1024, char(config.oldContents)),
      ram_(qsizetype(config.ramSize), '\0'), systemInfo_(kSystemInfoSize, '\0'),
      offered_(offeredCommands(config.extendedErase))
{
    if (config_.pageSize == 0 && config_.sectorKib.isEmpty()) config_.pageSize = 1024;
    if (config_.writeUnit < 1) config_.writeUnit = 1;
    systemInfo_[0] = char(config_.flashSizeKb & 0xFF);
    systemInfo_[1] = char(config_.flashSizeKb >> 8);
    if (config_.flashSizeRegister == kFlashSizeRegister) {
        for (qsizetype i = 0; i < qsizetype(sizeof kOptionBytesValue); ++i)
            systemInfo_[kOptionOffset + i] = char(kOptionBytesValue[i]);
    }
}

bool Stm32Sim::offers(quint8 command) const
{
    return offered_.contains(char(command));
}

int Stm32Sim::unitCount() const
{
    if (config_.sectorKib.isEmpty()) return int(flash_.size() / config_.pageSize);
    qsizetype at = 0;
    int n = 0;
    for (const quint16 kib : config_.sectorKib) {
        if (at + qsizetype(kib) * 1024 > flash_.size()) break;
        at += qsizetype(kib) * 1024;
        ++n;
    }
    return n;
}

std::pair<qsizetype, qsizetype> Stm32Sim::unitSpan(int unit) const
{
    if (config_.sectorKib.isEmpty())
        return {qsizetype(unit) * config_.pageSize, qsizetype(config_.pageSize)};
    qsizetype at = 0;
    for (int s = 0; s < unit; ++s)
        at += qsizetype(config_.sectorKib[s]) * 1024;
    return {at, qsizetype(config_.sectorKib[unit]) * 1024};
}

bool Stm32Sim::isReadProtected() const
{
    auto guard = lock();
    return config_.readProtected;
}

bool Stm32Sim::isSynchronised() const
{
    auto guard = lock();
    return state_ != State::AwaitSync;
}

QList<Stm32Sim::Command> Stm32Sim::commands() const
{
    auto guard = lock();
    return commands_;
}

QList<int> Stm32Sim::erasedPages() const
{
    auto guard = lock();
    return erasedPages_;
}

QByteArray Stm32Sim::flash() const
{
    auto guard = lock();
    return flash_;
}

QByteArray Stm32Sim::flash(quint32 address, qsizetype length) const
{
    auto guard = lock();
    if (address < kFlashBase || length < 0) return {};
    return flash_.mid(qsizetype(address - kFlashBase), length);
}

void Stm32Sim::setFlash(quint32 address, QByteArrayView data)
{
    auto guard = lock();
    if (address < kFlashBase) return;
    const qsizetype at = qsizetype(address - kFlashBase);
    if (at >= flash_.size()) return;
    const qsizetype n = std::min(data.size(), flash_.size() - at);
    std::copy_n(data.data(), n, flash_.begin() + at);
}

QByteArray Stm32Sim::ram() const
{
    auto guard = lock();
    return ram_;
}

void Stm32Sim::resetState()
{
    state_ = State::AwaitSync;
    frame_.clear();
}

QByteArray Stm32Sim::process(QByteArrayView bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        if (silenced()) break;
        out += takeByte(quint8(c));
    }
    return out;
}

QByteArray Stm32Sim::takeByte(quint8 b)
{
    switch (state_) {
    case State::AwaitSync:
        if (b != kSync) {
            protocolError(QStringLiteral("byte %1 before the synchronisation byte").arg(hex(b)));
            return {};
        }
        if (auto f = faultAt(int(Step::Sync))) return faultAnswer(*f, QByteArray(1, char(kNack)));
        commands_.append({kSync, 0, 0});
        state_ = State::AwaitCommand;
        return QByteArray(1, char(kAck));
    case State::AwaitCommand:
        command_ = b;
        state_ = State::AwaitComplement;
        return {};
    case State::AwaitComplement:
        if (b != quint8(command_ ^ 0xFF))
            return refuse(QStringLiteral("command %1 followed by %2 instead of its complement")
                              .arg(hex(command_), hex(b)));
        return dispatch(command_);
    case State::ReadAddress:
    case State::GoAddress:
    case State::WriteAddress:
        frame_.append(char(b));
        if (frame_.size() < kAddressFrame) return {};
        if (state_ == State::ReadAddress) return finishReadAddress();
        if (state_ == State::GoAddress) return finishGoAddress();
        return finishWriteAddress();
    case State::ReadCount:
        frame_.append(char(b));
        return frame_.size() < 2 ? QByteArray() : finishReadCount();
    case State::WriteCount:
        frame_ = QByteArray(1, char(b));
        expected_ = 1 + (qsizetype(b) + 1) + 1; // count, data, checksum
        state_ = State::WriteData;
        return {};
    case State::WriteData:
        frame_.append(char(b));
        return frame_.size() < expected_ ? QByteArray() : finishWriteData();
    case State::EraseCount:
        frame_ = QByteArray(1, char(b));
        if (b == kGlobalErase) {
            state_ = State::EraseGlobalChecksum;
        } else {
            expected_ = 1 + (qsizetype(b) + 1) + 1; // count, pages, checksum
            state_ = State::ErasePages;
        }
        return {};
    case State::EraseGlobalChecksum: {
        if (b != kGlobalEraseChecksum)
            return refuse(
                QStringLiteral("global erase FF followed by %1 instead of 00").arg(hex(b)));
        if (auto a = faulted(Step::ErasePages)) return *a;
        flash_.fill(char(kErased));
        const int pages = unitCount();
        for (int p = 0; p < pages; ++p)
            erasedPages_.append(p);
        commands_.append({kCmdErase, 0, -1});
        state_ = State::AwaitCommand;
        return QByteArray(1, char(kAck));
    }
    case State::ExtEraseCount:
        frame_.append(char(b));
        if (frame_.size() < 2) return {};
        if (const quint16 n = quint16(quint8(frame_[0]) << 8 | quint8(frame_[1]));
            n >= kExtSpecial) {
            state_ = State::ExtEraseSpecialChecksum;
        } else {
            expected_ = 2 + 2 * (qsizetype(n) + 1) + 1; // count, numbers, checksum
            state_ = State::ExtErasePages;
        }
        return {};
    case State::ExtEraseSpecialChecksum:
    case State::ExtErasePages:
        frame_.append(char(b));
        if (state_ == State::ExtErasePages && frame_.size() < expected_) return {};
        return finishExtendedErase();
    case State::ErasePages:
        frame_.append(char(b));
        return frame_.size() < expected_ ? QByteArray() : finishErasePages();
    case State::ProtectCount:
        frame_ = QByteArray(1, char(b));
        expected_ = 1 + (qsizetype(b) + 1) + 1;
        state_ = State::ProtectSectors;
        return {};
    case State::ProtectSectors: {
        frame_.append(char(b));
        if (frame_.size() < expected_) return {};
        const quint8 x = frameXor();
        if (x != quint8(frame_.back()))
            return refuse(QStringLiteral("write-protect sector list checksum %1, expected %2")
                              .arg(hex(quint8(frame_.back())), hex(x)));
        commands_.append({kCmdWriteProtect, 0, int(frame_.size() - 2)});
        state_ = State::AwaitSync; // the chip resets after changing its option bytes
        return QByteArray(1, char(kAck));
    }
    case State::Running:
        return {};
    }
    return {};
}

std::optional<QByteArray> Stm32Sim::faulted(Step step)
{
    if (auto f = faultAt(int(step))) {
        state_ = State::AwaitCommand;
        return faultAnswer(*f, QByteArray(1, char(kNack)));
    }
    return std::nullopt;
}

quint8 Stm32Sim::frameXor() const
{
    quint8 x = 0;
    for (qsizetype i = 0; i + 1 < frame_.size(); ++i)
        x ^= quint8(frame_[i]);
    return x;
}

QByteArray Stm32Sim::dispatch(quint8 command)
{
    frame_.clear();
    const QByteArray ack(1, char(kAck));
    const QByteArray nack(1, char(kNack));

    if (!offers(command))
        return refuse(
            QStringLiteral("command %1 is not offered by this boot loader").arg(hex(command)));
    // With read-out protection on, the loader refuses everything that touches the flash.
    const bool touchesFlash = command == kCmdRead || command == kCmdGo || command == kCmdWrite ||
                              command == kCmdErase || command == kCmdExtendedErase;
    if (config_.readProtected && touchesFlash) {
        state_ = State::AwaitCommand;
        return nack;
    }

    switch (command) {
    case kCmdGet: {
        if (auto a = faulted(Step::Get)) return *a;
        QByteArray out = ack;
        out.append(char(offered_.size()));
        out.append(char(config_.version));
        out.append(offered_);
        out.append(char(kAck));
        commands_.append({command, 0, 0});
        state_ = State::AwaitCommand;
        return out;
    }
    case kCmdGetVersion: {
        if (auto a = faulted(Step::GetVersion)) return *a;
        QByteArray out = ack;
        out.append(char(config_.version));
        out.append(2, '\0'); // option bytes of an unprotected chip, as the boot loader reports
        out.append(char(kAck));
        commands_.append({command, 0, 0});
        state_ = State::AwaitCommand;
        return out;
    }
    case kCmdGetId: {
        if (auto a = faulted(Step::GetId)) return *a;
        QByteArray out = ack;
        out.append(char(1)); // number of id bytes - 1
        out.append(char(config_.productId >> 8));
        out.append(char(config_.productId & 0xFF));
        out.append(char(kAck));
        commands_.append({command, 0, 0});
        state_ = State::AwaitCommand;
        return out;
    }
    case kCmdRead:
        if (auto a = faulted(Step::ReadCommand)) return *a;
        state_ = State::ReadAddress;
        return ack;
    case kCmdGo:
        if (auto a = faulted(Step::GoCommand)) return *a;
        state_ = State::GoAddress;
        return ack;
    case kCmdWrite:
        if (auto a = faulted(Step::WriteCommand)) return *a;
        state_ = State::WriteAddress;
        return ack;
    case kCmdErase:
        if (auto a = faulted(Step::EraseCommand)) return *a;
        state_ = State::EraseCount;
        return ack;
    case kCmdExtendedErase:
        if (auto a = faulted(Step::EraseCommand)) return *a;
        state_ = State::ExtEraseCount;
        return ack;
    case kCmdWriteProtect:
        if (auto a = faulted(Step::OtherCommand)) return *a;
        state_ = State::ProtectCount;
        return ack;
    case kCmdWriteUnprotect:
    case kCmdReadoutProtect:
    case kCmdReadoutUnprotect:
        if (auto a = faulted(Step::OtherCommand)) return *a;
        // Removing the readout protection erases the whole flash first.
        if (command == kCmdReadoutUnprotect) {
            flash_.fill(char(kErased));
            config_.readProtected = false;
        }
        if (command == kCmdReadoutProtect) config_.readProtected = true;
        commands_.append({command, 0, 0});
        state_ = State::AwaitSync; // the chip resets after changing its option bytes
        return ack + ack;
    default:
        return refuse(
            QStringLiteral("command %1 is not offered by this boot loader").arg(hex(command)));
    }
}

std::optional<quint32> Stm32Sim::addressFromFrame() const
{
    quint32 address = 0;
    quint8 x = 0;
    for (qsizetype i = 0; i < 4; ++i) {
        address = (address << 8) | quint8(frame_[i]);
        x ^= quint8(frame_[i]);
    }
    if (x != quint8(frame_[4])) return std::nullopt;
    return address;
}

QByteArray Stm32Sim::finishReadAddress()
{
    const auto address = addressFromFrame();
    if (!address) return refuse(QStringLiteral("Read Memory address checksum wrong"));
    qsizetype offset = 0;
    if (!readableRegion(*address, 1, &offset))
        return refuse(QStringLiteral("Read Memory address %1 not readable").arg(hex(*address, 8)));
    if (auto a = faulted(Step::ReadAddress)) return *a;
    address_ = *address;
    frame_.clear();
    state_ = State::ReadCount;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishReadCount()
{
    const quint8 n = quint8(frame_[0]);
    if (quint8(frame_[1]) != quint8(n ^ 0xFF))
        return refuse(
            QStringLiteral("Read Memory count %1 followed by %2 instead of its complement")
                .arg(hex(n), hex(quint8(frame_[1]))));
    qsizetype offset = 0;
    const QByteArray *memory = readableRegion(address_, qsizetype(n) + 1, &offset);
    if (!memory)
        return refuse(QStringLiteral("Read Memory of %1 bytes at %2 leaves the memory")
                          .arg(int(n) + 1)
                          .arg(hex(address_, 8)));
    if (auto a = faulted(Step::ReadCount)) return *a;
    commands_.append({kCmdRead, address_, int(n) + 1});
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kAck)) + memory->mid(offset, qsizetype(n) + 1);
}

QByteArray Stm32Sim::finishGoAddress()
{
    const auto address = addressFromFrame();
    if (!address) return refuse(QStringLiteral("Go address checksum wrong"));
    qsizetype offset = 0;
    if (!readableRegion(*address, 4, &offset) || *address >= config_.flashSizeRegister)
        return refuse(QStringLiteral("Go address %1 holds no code").arg(hex(*address, 8)));
    if (auto a = faulted(Step::GoAddress)) return *a;
    commands_.append({kCmdGo, *address, 0});
    state_ = State::Running;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishWriteAddress()
{
    const auto address = addressFromFrame();
    if (!address) return refuse(QStringLiteral("Write Memory address checksum wrong"));
    qsizetype offset = 0;
    if (!region(*address, 1, &offset))
        return refuse(QStringLiteral("Write Memory address %1 not writable").arg(hex(*address, 8)));
    if (auto a = faulted(Step::WriteAddress)) return *a;
    address_ = *address;
    state_ = State::WriteCount;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishWriteData()
{
    const qsizetype length = frame_.size() - 2;
    const quint8 x = frameXor();
    if (x != quint8(frame_.back()))
        return refuse(QStringLiteral("Write Memory block at %1: checksum %2, expected %3")
                          .arg(hex(address_, 8), hex(quint8(frame_.back())), hex(x)));
    qsizetype offset = 0;
    QByteArray *memory = region(address_, length, &offset);
    if (!memory)
        return refuse(QStringLiteral("Write Memory of %1 bytes at %2 leaves the memory")
                          .arg(length)
                          .arg(hex(address_, 8)));
    const QByteArrayView data = QByteArrayView(frame_).sliced(1, length);
    const bool toFlash = memory == &flash_;
    const qsizetype unit = config_.writeUnit;
    if (toFlash && (length % unit != 0 || offset % unit != 0))
        return refuse(QStringLiteral("Write Memory of %1 bytes at %2: not whole %3-byte units")
                          .arg(length)
                          .arg(hex(address_, 8))
                          .arg(unit));
    if (toFlash) {
        for (qsizetype i = 0; i < length; ++i) {
            const bool erased = quint8(flash_[offset + i]) == kErased;
            bool refused = false;
            switch (config_.programming) {
            case Programming::RefuseUnerased:
                refused = !erased && quint8(data[i]) != kErased;
                break;
            case Programming::ClearBits:
                break;
            case Programming::DoubleWordOnce:
                refused = !erased;
                break;
            }
            if (refused)
                return refuse(QStringLiteral("Write Memory at %1: flash not erased")
                                  .arg(hex(address_ + quint32(i), 8)));
        }
    }
    if (auto a = faulted(Step::WriteData)) return *a;
    for (qsizetype i = 0; i < length; ++i) {
        // Flash bits only go from 1 to 0; RAM takes the byte as it is.
        if (toFlash)
            (*memory)[offset + i] = char(quint8((*memory)[offset + i]) & quint8(data[i]));
        else
            (*memory)[offset + i] = data[i];
    }
    if (toFlash && config_.weakWrites > 0 && address_ == config_.weakBlockAddress) {
        --config_.weakWrites;
        for (qsizetype i = 0; i < length; ++i) {
            if (quint8(data[i]) != kErased) {
                (*memory)[offset + i] = char(kErased);
                break;
            }
        }
    }
    commands_.append({kCmdWrite, address_, int(length)});
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishErasePages()
{
    const quint8 x = frameXor();
    if (x != quint8(frame_.back()))
        return refuse(QStringLiteral("Erase page list checksum %1, expected %2")
                          .arg(hex(quint8(frame_.back())), hex(x)));
    const int units = unitCount();
    QList<int> pages;
    for (qsizetype i = 1; i + 1 < frame_.size(); ++i) {
        const int page = quint8(frame_[i]);
        if (page >= units)
            return refuse(QStringLiteral("Erase of page %1 beyond the flash (%2 pages)")
                              .arg(page)
                              .arg(units));
        pages.append(page);
    }
    return eraseUnits(pages, int(pages.size()));
}

QByteArray Stm32Sim::finishExtendedErase()
{
    const quint8 x = frameXor();
    if (x != quint8(frame_.back()))
        return refuse(QStringLiteral("Extended Erase checksum %1, expected %2")
                          .arg(hex(quint8(frame_.back())), hex(x)));
    const quint16 n = quint16(quint8(frame_[0]) << 8 | quint8(frame_[1]));
    const int units = unitCount();
    QList<int> list;
    if (n >= kExtSpecial) {
        // One bank here: a bank 1 erase is a mass erase, bank 2 does not exist.
        if (n != kExtMass && n != kExtBank1)
            return refuse(QStringLiteral("Extended Erase code %1 not supported").arg(hex(n, 4)));
        for (int u = 0; u < units; ++u)
            list.append(u);
        return eraseUnits(list, -1);
    }
    for (qsizetype i = 2; i + 1 < frame_.size(); i += 2) {
        const int unit = quint8(frame_[i]) << 8 | quint8(frame_[i + 1]);
        if (unit >= units)
            return refuse(QStringLiteral("Extended Erase of unit %1 beyond the flash (%2 units)")
                              .arg(unit)
                              .arg(units));
        list.append(unit);
    }
    return eraseUnits(list, int(list.size()));
}

QByteArray Stm32Sim::eraseUnits(const QList<int> &units, int logged)
{
    if (auto a = faulted(Step::ErasePages)) return *a;
    for (const int unit : units) {
        const auto [start, size] = unitSpan(unit);
        flash_.replace(start, size, QByteArray(size, char(kErased)));
    }
    erasedPages_.append(units);
    commands_.append({command_, 0, logged});
    frame_.clear();
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::refuse(const QString &why)
{
    protocolError(why);
    frame_.clear();
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kNack));
}

QByteArray *Stm32Sim::region(quint32 address, qsizetype length, qsizetype *offset)
{
    if (within(address, length, kFlashBase, flash_.size())) {
        *offset = qsizetype(address - kFlashBase);
        return &flash_;
    }
    if (within(address, length, kRamBase + kBootLoaderRam,
               std::max<qsizetype>(0, ram_.size() - kBootLoaderRam))) {
        *offset = qsizetype(address - kRamBase);
        return &ram_;
    }
    return nullptr;
}

const QByteArray *Stm32Sim::readableRegion(quint32 address, qsizetype length,
                                           qsizetype *offset) const
{
    if (within(address, length, kFlashBase, flash_.size())) {
        *offset = qsizetype(address - kFlashBase);
        return &flash_;
    }
    if (within(address, length, kRamBase, ram_.size())) {
        *offset = qsizetype(address - kRamBase);
        return &ram_;
    }
    if (within(address, length, config_.flashSizeRegister, systemInfo_.size())) {
        *offset = qsizetype(address - config_.flashSizeRegister);
        return &systemInfo_;
    }
    return nullptr;
}

} // namespace sim
