#include "sim/LpcSim.h"

#include <algorithm>
#include <numeric>

namespace sim {

namespace {

constexpr char kQuestion = '?';
constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';
const QByteArray kCrLf = QByteArrayLiteral("\r\n");
const QByteArray kSynchronized = QByteArrayLiteral("Synchronized");
const QByteArray kOk = QByteArrayLiteral("OK\r\n");
const QByteArray kResend = QByteArrayLiteral("RESEND\r\n");
constexpr quint32 kUnlockCode = 23130;
constexpr quint8 kErased = 0xFF;
constexpr quint32 kWordSize = 4;
constexpr quint32 kBlankWord = 0xFFFFFFFF;
// A command line or a uuencoded line (61 characters) is far shorter; anything longer is
// garbage and is not kept.
constexpr qsizetype kMaxLine = 256;
constexpr int kMaxChecksumDigits = 10;
constexpr char kUuFirst = 0x20; // space: value 0 in the old form
constexpr char kUuLast = 0x60;  // grave accent: value 0

QList<quint32> sizes(std::initializer_list<std::pair<int, quint32>> runs)
{
    QList<quint32> out;
    for (const auto &[count, size] : runs)
        for (int i = 0; i < count; ++i)
            out.append(size);
    return out;
}

constexpr quint32 kKb = 1024;
// UM10114 Table 205 "Copy RAM to Flash": 512 | 1024 | 4096 | 8192 bytes, 512-byte boundary.
const QList<quint32> kLpc22xxCopyCounts = {512, 1024, 4096, 8192};

std::optional<quint32> decimal(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > kMaxChecksumDigits) return std::nullopt;
    quint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + quint64(c - '0');
    }
    if (value > 0xFFFFFFFFu) return std::nullopt;
    return quint32(value);
}

// A host line as it may appear in an error message: control bytes shown as \xNN, cut short.
QString printable(const QByteArray &line)
{
    constexpr qsizetype kShown = 80;
    QString out;
    for (const char c : line.left(kShown)) {
        if (c >= 0x20 && c < 0x7F)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(quint8(c), 2, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace

LpcSim::Part LpcSim::lpc2131()
{
    return {"196353", sizes({{8, 4 * kKb}}), 8 * kKb};
}
LpcSim::Part LpcSim::lpc2132()
{
    return {"196369", sizes({{8, 4 * kKb}, {1, 32 * kKb}}), 16 * kKb};
}
LpcSim::Part LpcSim::lpc2136()
{
    return {"196387", sizes({{8, 4 * kKb}, {7, 32 * kKb}}), 32 * kKb};
}
LpcSim::Part LpcSim::lpc2138()
{
    return {"196389", sizes({{8, 4 * kKb}, {14, 32 * kKb}, {5, 4 * kKb}}), 32 * kKb};
}
// The LPC22xx identifications as lpc21isp's part table lists them: 0x0601FF13, 0x0401FF13.
LpcSim::Part LpcSim::lpc2214()
{
    return {"100794131", sizes({{8, 8 * kKb}, {2, 64 * kKb}, {7, 8 * kKb}}), 16 * kKb,
            kLpc22xxCopyCounts};
}
LpcSim::Part LpcSim::lpc2292()
{
    return {"67239699", sizes({{8, 8 * kKb}, {2, 64 * kKb}, {7, 8 * kKb}}), 16 * kKb,
            kLpc22xxCopyCounts};
}

// Cortex-M boards. Sectors, RAM and identification from each manual's sector table and
// "Part identification numbers" table; W's first free address from its "RAM used by ISP
// command handler" section (see the header).
namespace {
LpcSim::Part cortexPart(QByteArray id, QList<quint32> sectors, quint32 ramSize, quint32 firstFree)
{
    LpcSim::Part p{std::move(id), std::move(sectors), ramSize};
    p.ramBase = 0x10000000;
    p.ramFirstFree = firstFree;
    return p;
}
// LPC8xx: raw W/R data, 64-byte copies, S and N (UM10601, UM10800 ch. 25, UM11029 ch. 5).
LpcSim::Part lpc8xxPart(QByteArray id, int sectors, quint32 ramSize, quint32 firstFree)
{
    LpcSim::Part p = cortexPart(std::move(id), sizes({{sectors, kKb}}), ramSize, firstFree);
    p.copyCounts = {64, 128, 256, 512, 1024};
    p.binaryData = true;
    p.crc = true;
    p.serial = true;
    return p;
}
} // namespace

// UM10360: 0x26013F37; 16 x 4 KiB and 14 x 32 KiB sectors; 32 KiB local SRAM; W from 0x10000200.
LpcSim::Part LpcSim::lpc1768()
{
    Part p = cortexPart("637615927", sizes({{16, 4 * kKb}, {14, 32 * kKb}}), 32 * kKb,
                        0x10000200);
    p.serial = true;
    return p;
}
// UM10398: LPC1114/302 0x2540102B; 8 x 4 KiB; 8 KiB SRAM; W from 0x10000300.
LpcSim::Part LpcSim::lpc1114()
{
    return cortexPart("624955435", sizes({{8, 4 * kKb}}), 8 * kKb, 0x10000300);
}
// UM10462: LPC11U24/401 0x2980002B; 8 x 4 KiB; 8 KiB SRAM0; W from 0x10000300; has N.
LpcSim::Part LpcSim::lpc11u24()
{
    Part p = cortexPart("696254507", sizes({{8, 4 * kKb}}), 8 * kKb, 0x10000300);
    p.serial = true;
    return p;
}
// UM10375: LPC1343 0x3D00002B; 8 x 4 KiB; 8 KiB SRAM; W from 0x10000300.
LpcSim::Part LpcSim::lpc1343()
{
    return cortexPart("1023410219", sizes({{8, 4 * kKb}}), 8 * kKb, 0x10000300);
}
// UM10601: LPC812M101JDH16 0x00008120; 16 x 1 KiB; 4 KiB SRAM; W from 0x10000270.
LpcSim::Part LpcSim::lpc812()
{
    return lpc8xxPart("33056", 16, 4 * kKb, 0x10000270);
}
// UM11029: LPC845M301JBD64 0x00008451 (§8.6.49 Table 173); 64 x 1 KiB; 16 KiB SRAM; W above
// 0x10000600 (Table 16).
LpcSim::Part LpcSim::lpc845()
{
    return lpc8xxPart("33873", 64, 16 * kKb, 0x10000600);
}
// UM10211: LPC2378 0x1700FD25; 8 x 4, 14 x 32, 6 x 4 KiB; 32 KiB local SRAM at 0x40000000.
LpcSim::Part LpcSim::lpc2378()
{
    return {"385940773", sizes({{8, 4 * kKb}, {14, 32 * kKb}, {6, 4 * kKb}}), 32 * kKb};
}
// UM10139: LPC2148 0x0402FF25; 8 x 4, 14 x 32, 5 x 4 KiB; 32 KiB SRAM at 0x40000000.
LpcSim::Part LpcSim::lpc2148()
{
    return {"67305253", sizes({{8, 4 * kKb}, {14, 32 * kKb}, {5, 4 * kKb}}), 32 * kKb};
}

std::optional<LpcSim::Part> LpcSim::partNamed(QStringView name)
{
    static const std::pair<QStringView, Part (*)()> kParts[] = {
        {u"lpc2214", &lpc2214},   {u"lpc2292", &lpc2292}, {u"lpc2131", &lpc2131},
        {u"lpc2132", &lpc2132},   {u"lpc2136", &lpc2136}, {u"lpc2138", &lpc2138},
        {u"lpc1768", &lpc1768},   {u"lpc1114", &lpc1114}, {u"lpc11u24", &lpc11u24},
        {u"lpc1343", &lpc1343},   {u"lpc812", &lpc812},   {u"lpc845", &lpc845},
        {u"lpc2378", &lpc2378},   {u"lpc2148", &lpc2148},
    };
    for (const auto &[n, part] : kParts)
        if (n.compare(name.trimmed(), Qt::CaseInsensitive) == 0) return part();
    return std::nullopt;
}

LpcSim::LpcSim() : LpcSim(Config{}) {}

LpcSim::LpcSim(Config config) : config_(std::move(config))
{
    const quint64 total =
        std::accumulate(config_.part.sectorSizes.cbegin(), config_.part.sectorSizes.cend(),
                        quint64(0), [](quint64 sum, quint32 size) { return sum + size; });
    flash_ = QByteArray(qsizetype(total), char(config_.oldContents));
    ram_ = QByteArray(qsizetype(config_.part.ramSize), '\0');
    prepared_ = QList<bool>(config_.part.sectorSizes.size(), false);
    setJunk(QByteArrayLiteral("\x55\xAA\r\n"));
}

QList<LpcSim::Command> LpcSim::commands() const
{
    auto guard = lock();
    return commands_;
}

bool LpcSim::isSynchronised() const
{
    auto guard = lock();
    return state_ == State::Command || state_ == State::Data || state_ == State::ReadAnswer ||
           state_ == State::BinaryData || state_ == State::Running;
}

bool LpcSim::echo() const
{
    auto guard = lock();
    return echo_;
}

int LpcSim::checksumsAccepted() const
{
    auto guard = lock();
    return checksumsAccepted_;
}

int LpcSim::resendsSent() const
{
    auto guard = lock();
    return resends_;
}

qint64 LpcSim::echoedBytes() const
{
    auto guard = lock();
    return echoed_;
}

QList<int> LpcSim::erasedSectors() const
{
    auto guard = lock();
    return erased_;
}

QByteArray LpcSim::flash() const
{
    auto guard = lock();
    return flash_;
}

QByteArray LpcSim::flash(quint32 address, qsizetype length) const
{
    auto guard = lock();
    if (length < 0) return {};
    return flash_.mid(qsizetype(address), length);
}

QByteArray LpcSim::ram() const
{
    auto guard = lock();
    return ram_;
}

quint32 LpcSim::sectorStart(int sector) const
{
    quint32 start = 0;
    for (int i = 0; i < sector && i < config_.part.sectorSizes.size(); ++i)
        start += config_.part.sectorSizes[i];
    return start;
}

void LpcSim::resetState()
{
    state_ = State::AwaitQuestion;
    echo_ = true;
    unlocked_ = false;
    line_.clear();
    lineOverflow_ = false;
    prepared_.fill(false);
    copies_ = 0;
    readLeft_.clear();
    writeLeft_ = 0;
    binaryLeft_ = 0;
    restartGroup();
}

QByteArray LpcSim::process(QByteArrayView bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        if (silenced()) break;
        out += takeByte(c);
    }
    return out;
}

QByteArray LpcSim::takeByte(char c)
{
    if (state_ == State::Running) return {};
    if (state_ == State::AwaitQuestion) {
        // The autobaud routine only measures '?'; it neither echoes nor keeps anything else.
        if (c != kQuestion) return {};
        if (auto f = faultAt(int(Step::Autobaud))) return faultAnswer(*f, {});
        state_ = State::AwaitSyncString;
        line_.clear();
        lineOverflow_ = false;
        commands_.append({QByteArray(1, kQuestion), kSuccess, kSynchronized});
        return config_.syncNoise + kSynchronized + kCrLf;
    }
    QByteArray out;
    if (echo_) {
        out.append(c);
        ++echoed_;
    }
    if (state_ == State::BinaryData) {
        ram_[qsizetype(groupStart_)] = c;
        ++groupStart_;
        if (--binaryLeft_ == 0) state_ = State::Command;
        return out;
    }
    if (c != kLineFeed) {
        if (line_.size() < kMaxLine)
            line_.append(c);
        else
            lineOverflow_ = true;
        return out;
    }
    QByteArray line = std::exchange(line_, {});
    const bool overflow = std::exchange(lineOverflow_, false);
    if (line.endsWith(kCarriageReturn)) line.chop(1);
    return out + takeLine(line, overflow);
}

QByteArray LpcSim::takeLine(const QByteArray &line, bool overflow)
{
    switch (state_) {
    case State::AwaitSyncString:
        return syncLine(overflow ? QByteArray() : line);
    case State::AwaitFrequency:
        return frequencyLine(overflow ? QByteArray() : line);
    case State::Command:
        if (overflow) {
            protocolError(QStringLiteral("command line longer than %1 characters").arg(kMaxLine));
            return codeLine(kInvalidCommand);
        }
        return commandLine(line);
    case State::Data:
        return dataLine(line, overflow);
    case State::ReadAnswer:
        return readAnswerLine(overflow ? QByteArray() : line);
    case State::AwaitQuestion:
    case State::Running:
    case State::BinaryData:
        break;
    }
    return {};
}

QByteArray LpcSim::syncLine(const QByteArray &line)
{
    if (line != kSynchronized) {
        protocolError(QStringLiteral("\"%1\" instead of \"Synchronized\"").arg(printable(line)));
        state_ = State::AwaitQuestion;
        return {};
    }
    if (auto f = faultAt(int(Step::Synchronized))) {
        // The chip has no negative answer here: it goes back to waiting for '?'.
        state_ = State::AwaitQuestion;
        return faultAnswer(*f, {});
    }
    state_ = State::AwaitFrequency;
    commands_.append({line, kSuccess, kOk.trimmed()});
    return kOk;
}

QByteArray LpcSim::frequencyLine(const QByteArray &line)
{
    const qsizetype dot = line.indexOf('.');
    const QByteArray whole = dot < 0 ? line : line.left(dot);
    const QByteArray fraction = dot < 0 ? QByteArray("0") : line.mid(dot + 1);
    const auto kHz = decimal(whole);
    if (!kHz || *kHz == 0 || !decimal(fraction)) {
        protocolError(QStringLiteral("\"%1\" is no crystal frequency in kHz").arg(printable(line)));
        return {};
    }
    if (auto f = faultAt(int(Step::Frequency))) return faultAnswer(*f, {});
    state_ = State::Command;
    commands_.append({line, kSuccess, kOk.trimmed()});
    return kOk;
}

QByteArray LpcSim::commandLine(const QByteArray &line)
{
    QList<QByteArray> words = line.split(' ');
    words.removeAll(QByteArray());
    if (words.isEmpty() || words.front().size() != 1) {
        protocolError(QStringLiteral("unknown command \"%1\"").arg(printable(line)));
        commands_.append({line, kInvalidCommand, {}});
        return codeLine(kInvalidCommand);
    }
    const char letter = words.front().at(0);
    Step step = Step::OtherCommand;
    switch (letter) {
    case 'U':
        step = Step::Unlock;
        break;
    case 'A':
        step = Step::Echo;
        break;
    case 'J':
        step = Step::PartId;
        break;
    case 'K':
        step = Step::BootVersion;
        break;
    case 'P':
        step = Step::Prepare;
        break;
    case 'E':
        step = Step::Erase;
        break;
    case 'I':
        step = Step::BlankCheck;
        break;
    case 'W':
        step = Step::WriteCommand;
        break;
    case 'C':
        step = Step::Copy;
        break;
    case 'M':
        step = Step::Compare;
        break;
    default:
        break;
    }

    QList<quint32> args;
    bool numbers = true;
    for (qsizetype i = 1; i < words.size(); ++i) {
        // "G addr mode": the mode is a letter, A for ARM or T for Thumb code.
        if (letter == 'G' && i == 2 && (words[i] == "A" || words[i] == "T")) {
            args.append(0);
            continue;
        }
        const auto value = decimal(words[i]);
        numbers = numbers && value.has_value();
        args.append(value.value_or(0));
    }

    if (auto f = faultAt(int(step))) {
        commands_.append({line, *f == Fault::Refuse ? config_.refusalCode : -1, {}});
        return faultAnswer(*f, codeLine(config_.refusalCode));
    }

    QByteArray payload;
    const int code = numbers ? execute(letter, args, &payload) : kParamError;
    commands_.append({line, code, {}});
    // A difference is an answer about the flash, not a fault of the host's command.
    if (code != kSuccess && code != kCompareError)
        protocolError(
            QStringLiteral("\"%1\" answered with return code %2").arg(printable(line)).arg(code));
    return codeLine(code) + payload;
}

int LpcSim::execute(char letter, const QList<quint32> &args, QByteArray *payload)
{
    auto count = [&](qsizetype n) { return args.size() == n; };
    switch (letter) {
    case 'U':
        if (!count(1)) return kParamError;
        if (args[0] != kUnlockCode) return kInvalidCode;
        unlocked_ = true;
        return kSuccess;
    case 'A':
        if (!count(1) || args[0] > 1) return kParamError;
        echo_ = args[0] == 1;
        return kSuccess;
    case 'J':
        if (!count(0)) return kParamError;
        *payload = config_.part.id + kCrLf;
        return kSuccess;
    case 'K':
        if (!count(0)) return kParamError;
        *payload = QByteArray::number(config_.bootMinor) + kCrLf +
                   QByteArray::number(config_.bootMajor) + kCrLf;
        return kSuccess;
    case 'P':
        return count(2) ? prepare(args) : kParamError;
    case 'E':
        return count(2) ? erase(args) : kParamError;
    case 'I':
        return count(2) ? blankCheck(args, payload) : kParamError;
    case 'W':
        return count(2) ? writeToRam(args) : kParamError;
    case 'C':
        return count(3) ? copyToFlash(args) : kParamError;
    case 'M':
        return count(3) ? compare(args, payload) : kParamError;
    case 'R':
        if (!count(2)) return kParamError;
        if (const int code = readMemory(args); code != kSuccess) return code;
        if (config_.part.binaryData) {
            *payload = std::exchange(readLeft_, {});
            state_ = State::Command;
        } else {
            *payload = readGroup();
        }
        return kSuccess;
    case 'S':
        if (!config_.part.crc) return kInvalidCommand;
        return count(2) ? crcOf(args, payload) : kParamError;
    case 'N':
        if (!config_.part.serial) return kInvalidCommand;
        if (!count(0)) return kParamError;
        payload->clear();
        for (const quint32 word : config_.serialNumber)
            *payload += QByteArray::number(word) + kCrLf;
        return kSuccess;
    case 'B':
        return count(2) ? kSuccess : kParamError;
    case 'G':
        if (!count(2)) return kParamError;
        if (!unlocked_) return kCmdLocked;
        state_ = State::Running;
        return kSuccess;
    default:
        return kInvalidCommand;
    }
}

int LpcSim::prepare(const QList<quint32> &args)
{
    if (args[0] > args[1] || args[1] >= quint32(prepared_.size())) return kInvalidSector;
    for (quint32 s = args[0]; s <= args[1]; ++s)
        prepared_[s] = true;
    return kSuccess;
}

int LpcSim::erase(const QList<quint32> &args)
{
    if (!unlocked_) return kCmdLocked;
    if (args[0] > args[1] || args[1] >= quint32(prepared_.size())) return kInvalidSector;
    for (quint32 s = args[0]; s <= args[1]; ++s)
        if (!prepared_[s]) return kSectorNotPrepared;
    for (quint32 s = args[0]; s <= args[1]; ++s) {
        const quint32 size = config_.part.sectorSizes[s];
        flash_.replace(sectorStart(int(s)), size, QByteArray(size, char(kErased)));
        prepared_[s] = false;
        erased_.append(int(s));
    }
    return kSuccess;
}

int LpcSim::blankCheck(const QList<quint32> &args, QByteArray *payload) const
{
    if (args[0] > args[1] || args[1] >= quint32(prepared_.size())) return kInvalidSector;
    const quint32 from = sectorStart(int(args[0]));
    const quint32 to = sectorStart(int(args[1]) + 1);
    // Read as the host would read it: the boot block stands in sector 0's first 64 bytes.
    const std::optional<QByteArray> bytes = readMapped(from, to - from);
    if (!bytes) return kInvalidSector;
    for (qsizetype at = 0; at + 4 <= bytes->size(); at += 4) {
        const auto *p = reinterpret_cast<const uchar *>(bytes->constData() + at);
        const quint32 word =
            quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
        if (word == kBlankWord) continue;
        *payload = QByteArray::number(at) + kCrLf + QByteArray::number(word) + kCrLf;
        return kSectorNotBlank;
    }
    return kSuccess;
}

int LpcSim::writeToRam(const QList<quint32> &args)
{
    const quint32 address = args[0];
    const quint32 count = args[1];
    if (address % kWordSize != 0) return kAddrError;
    if (count % kWordSize != 0) return kCountError;
    const quint64 end = quint64(address) + count;
    const Part &part = config_.part;
    if (address < part.ramFirstFree || end > quint64(part.ramBase) + quint64(ram_.size()))
        return kAddrNotMapped;
    if (count == 0) return kSuccess;
    groupStart_ = address - part.ramBase;
    if (part.binaryData) {
        state_ = State::BinaryData;
        binaryLeft_ = count;
        return kSuccess;
    }
    state_ = State::Data;
    writeLeft_ = count;
    restartGroup();
    return kSuccess;
}

int LpcSim::copyToFlash(const QList<quint32> &args)
{
    const quint32 destination = args[0];
    const quint32 source = args[1];
    const quint32 count = args[2];
    const QList<quint32> &counts = config_.part.copyCounts;
    if (!unlocked_) return kCmdLocked;
    if (counts.isEmpty() || destination % counts.front() != 0) return kDstAddrError;
    if (source % kWordSize != 0) return kSrcAddrError;
    if (!counts.contains(count)) return kCountError;
    if (quint64(destination) + count > quint64(flash_.size())) return kDstAddrNotMapped;
    const quint32 ramBase = config_.part.ramBase;
    if (source < ramBase || quint64(source) + count > quint64(ramBase) + quint64(ram_.size()))
        return kSrcAddrNotMapped;
    const int first = sectorOf(destination);
    const int last = sectorOf(destination + count - 1);
    for (int s = first; s <= last; ++s)
        if (!prepared_[s]) return kSectorNotPrepared;
    const qsizetype from = qsizetype(source - ramBase);
    for (quint32 i = 0; i < count; ++i) {
        const qsizetype at = qsizetype(destination) + i;
        flash_[at] = char(quint8(flash_[at]) & quint8(ram_[from + i]));
    }
    if (++copies_ == wrongCopy_ && wrongCopyOffset_ < count) {
        const qsizetype at = qsizetype(destination) + wrongCopyOffset_;
        flash_[at] = char(quint8(flash_[at]) ^ 0x5A);
    }
    for (int s = first; s <= last; ++s)
        prepared_[s] = false;
    return kSuccess;
}

std::optional<QByteArray> LpcSim::readMapped(quint32 address, quint32 count) const
{
    const quint64 end = quint64(address) + count;
    if (end <= quint64(flash_.size())) {
        QByteArray bytes = flash_.mid(qsizetype(address), qsizetype(count));
        // The boot code stands in front of the user's in ISP mode.
        for (quint32 i = address; i < config_.part.remappedBytes && i < end; ++i)
            bytes[qsizetype(i - address)] = char(0xE0 + (i & 0x0F));
        return bytes;
    }
    const quint32 ramBase = config_.part.ramBase;
    if (address >= ramBase && end <= quint64(ramBase) + quint64(ram_.size()))
        return ram_.mid(qsizetype(address - ramBase), qsizetype(count));
    return std::nullopt;
}

int LpcSim::compare(const QList<quint32> &args, QByteArray *payload)
{
    const quint32 count = args[2];
    if (args[0] % kWordSize != 0) return kDstAddrError;
    if (args[1] % kWordSize != 0) return kSrcAddrError;
    if (count % kWordSize != 0) return kCountError;
    const std::optional<QByteArray> a = readMapped(args[0], count);
    if (!a) return kDstAddrNotMapped;
    const std::optional<QByteArray> b = readMapped(args[1], count);
    if (!b) return kSrcAddrNotMapped;
    for (quint32 i = 0; i < count; ++i) {
        if (a->at(i) != b->at(i)) {
            *payload = QByteArray::number(i) + kCrLf;
            return kCompareError;
        }
    }
    return kSuccess;
}

int LpcSim::readMemory(const QList<quint32> &args)
{
    if (args[0] % kWordSize != 0) return kAddrError;
    if (args[1] % kWordSize != 0) return kCountError;
    const std::optional<QByteArray> bytes = readMapped(args[0], args[1]);
    if (!bytes) return kAddrNotMapped;
    if (bytes->isEmpty()) return kSuccess;
    readLeft_ = *bytes;
    state_ = State::ReadAnswer;
    return kSuccess;
}

int LpcSim::crcOf(const QList<quint32> &args, QByteArray *payload) const
{
    if (args[0] % kWordSize != 0) return kAddrError;
    if (args[1] % kWordSize != 0) return kCountError;
    const std::optional<QByteArray> bytes = readMapped(args[0], args[1]);
    if (!bytes) return kAddrNotMapped;
    quint32 crc = 0xFFFFFFFFu; // reflected CRC-32, polynomial 0xEDB88320
    for (const char c : *bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    *payload = QByteArray::number(~crc) + kCrLf;
    return kSuccess;
}

QByteArray LpcSim::readGroup() const
{
    const auto uu = [](quint8 v) { return v == 0 ? kUuLast : char(v + kUuFirst); };
    QByteArray out;
    quint32 sum = 0;
    qsizetype at = 0;
    for (int line = 0; line < kLinesPerChecksum && at < readLeft_.size(); ++line) {
        const qsizetype n = std::min<qsizetype>(kMaxLineBytes, readLeft_.size() - at);
        out += uu(quint8(n));
        for (qsizetype g = 0; g < n; g += 3) {
            const auto byte = [&](qsizetype k) {
                return k < n ? quint8(readLeft_[at + k]) : quint8(0);
            };
            const quint8 b0 = byte(g), b1 = byte(g + 1), b2 = byte(g + 2);
            out += uu(b0 >> 2);
            out += uu(quint8((b0 & 0x03) << 4 | b1 >> 4));
            out += uu(quint8((b1 & 0x0F) << 2 | b2 >> 6));
            out += uu(b2 & 0x3F);
        }
        for (qsizetype k = 0; k < n; ++k)
            sum += quint8(readLeft_[at + k]);
        out += kCrLf;
        at += n;
    }
    return out + QByteArray::number(sum) + kCrLf;
}

QByteArray LpcSim::readAnswerLine(const QByteArray &line)
{
    if (line == "RESEND") return readGroup();
    if (line != "OK") {
        protocolError(QStringLiteral("\"%1\" after a group of read data").arg(printable(line)));
        return readGroup();
    }
    const qsizetype sent = std::min<qsizetype>(readLeft_.size(), kLinesPerChecksum * kMaxLineBytes);
    readLeft_.remove(0, sent);
    if (readLeft_.isEmpty()) {
        state_ = State::Command;
        return {};
    }
    return readGroup();
}

void LpcSim::storeWrongly(int occurrence, quint32 offset)
{
    auto guard = lock();
    wrongCopy_ = occurrence;
    wrongCopyOffset_ = offset;
}

bool LpcSim::wouldStartUserCode() const
{
    auto guard = lock();
    constexpr int kVectorWords = 8;
    if (flash_.size() < kVectorWords * 4) return false;
    quint32 sum = 0;
    const auto *p = reinterpret_cast<const uchar *>(flash_.constData());
    for (int i = 0; i < kVectorWords; ++i)
        sum += quint32(p[4 * i]) | quint32(p[4 * i + 1]) << 8 | quint32(p[4 * i + 2]) << 16 |
               quint32(p[4 * i + 3]) << 24;
    return sum == 0;
}

int LpcSim::sectorOf(quint32 address) const
{
    quint64 start = 0;
    for (int s = 0; s < config_.part.sectorSizes.size(); ++s) {
        start += config_.part.sectorSizes[s];
        if (address < start) return s;
    }
    return int(config_.part.sectorSizes.size()) - 1;
}

void LpcSim::restartGroup()
{
    groupBytes_ = 0;
    groupSum_ = 0;
    groupLines_ = 0;
    groupBad_ = false;
}

bool LpcSim::expectingChecksum() const
{
    return groupLines_ >= kLinesPerChecksum || groupBytes_ >= writeLeft_;
}

QByteArray LpcSim::dataLine(const QByteArray &line, bool overflow)
{
    if (expectingChecksum()) return overflow ? checksumLine(QByteArray("x")) : checksumLine(line);

    ++groupLines_;
    // The length character says how many bytes the chip counts for the line, even when the
    // rest of the line is damaged; that decides where it expects the checksum line.
    const int n = line.isEmpty() ? 0 : (line[0] - kUuFirst) & 0x3F;
    const quint32 left = writeLeft_ - groupBytes_;
    auto bad = [&](const QString &why) {
        if (!groupBad_) protocolError(QStringLiteral("data line %1: %2").arg(groupLines_).arg(why));
        groupBad_ = true;
        groupBytes_ += std::min(quint32(n), left);
        return QByteArray();
    };
    if (overflow) return bad(QStringLiteral("longer than %1 characters").arg(kMaxLine));
    if (line.isEmpty()) return bad(QStringLiteral("empty"));
    for (const char c : line)
        if (c < kUuFirst || c > kUuLast)
            return bad(QStringLiteral("character 0x%1 is not uuencoding")
                           .arg(quint8(c), 2, 16, QLatin1Char('0')));
    if (n == 0 || n > kMaxLineBytes) return bad(QStringLiteral("length %1").arg(n));
    const qsizetype groups = (n + 2) / 3;
    if (line.size() != 1 + 4 * groups)
        return bad(QStringLiteral("%1 characters for %2 bytes").arg(line.size()).arg(n));
    if (quint32(n) > left)
        return bad(
            QStringLiteral("%1 bytes where %2 remain of the write command").arg(n).arg(left));
    if (groupBad_) {
        groupBytes_ += quint32(n);
        return {};
    }

    auto value = [&](qsizetype i) { return quint8((line[i] - kUuFirst) & 0x3F); };
    const qsizetype at = qsizetype(groupStart_ + groupBytes_);
    int written = 0;
    for (qsizetype g = 0; g < groups; ++g) {
        const qsizetype i = 1 + 4 * g;
        const quint8 bytes[3] = {quint8((value(i) << 2) | (value(i + 1) >> 4)),
                                 quint8((value(i + 1) << 4) | (value(i + 2) >> 2)),
                                 quint8((value(i + 2) << 6) | value(i + 3))};
        for (const quint8 b : bytes) {
            if (written == n) break;
            ram_[at + written] = char(b);
            groupSum_ += b;
            ++written;
        }
    }
    groupBytes_ += quint32(n);
    return {};
}

QByteArray LpcSim::checksumLine(const QByteArray &line)
{
    const auto sum = decimal(line);
    const bool good = !groupBad_ && sum && *sum == groupSum_;
    if (good) {
        if (auto f = faultAt(int(Step::DataChecksum))) {
            if (*f == Fault::Refuse) ++resends_;
            restartGroup();
            return faultAnswer(*f, kResend);
        }
        ++checksumsAccepted_;
        groupStart_ += groupBytes_;
        writeLeft_ -= groupBytes_;
        restartGroup();
        if (writeLeft_ == 0) state_ = State::Command;
        return kOk;
    }
    if (!groupBad_)
        protocolError(QStringLiteral("checksum line \"%1\", the data sum to %2")
                          .arg(printable(line))
                          .arg(groupSum_));
    ++resends_;
    restartGroup();
    return kResend;
}

QByteArray LpcSim::codeLine(int code)
{
    return QByteArray::number(code) + kCrLf;
}

} // namespace sim
