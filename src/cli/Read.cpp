// tramelo read: the flash of an STM32 read back through its boot loader into a file.
//
// A short synchronous conversation on the port, without the window: sync, Get (the command
// list must name Read Memory), Get ID (the device table gives the flash-size register), the
// flash size, then Read Memory in blocks of 256 bytes. Binary output, or Intel HEX when the
// file name ends in .hex. The file is replaced only by a whole read that was written out
// completely; SIGTERM, SIGINT, SIGHUP and SIGQUIT end the read as they end a download.
#include "cli/Read.h"

#include "cli/Cli.h"
#include "cli/EndSignals.h"
#include "cli/EntryOptions.h"
#include "cli/Files.h"
#include "engines/BoardEntry.h"
#include "cli/Messages.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/LpcReplies.h"
#include "logic/ShownText.h"
#include "logic/Stm32Image.h"
#include "platform/PortNames.h"
#include "platform/SerialPort.h"
#include "serial/Vok_ComDrv.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

constexpr int kReplyTimeoutMs = 1000;
constexpr quint32 kMinBaud = 19200; // the boot loader's line as the programmer sets it
constexpr quint32 kDefaultBaud = 57600;

const char kReadUsage[] =
    "Usage: tramelo read --device stm32|lpc... --port PORT [--baud RATE] [--no-reset]\n"
    "                    [--entry SEQ] [--exit SEQ] [--swap-rts-dtr] [--invert rts|dtr]\n"
    "                    [--power-cycle CMD]\n"
    "                    [--address A] [--length N] [--crystal KHZ] FILE\n"
    "  reads the flash (default: all of it, from the flash start) into FILE,\n"
    "  binary, or Intel HEX when FILE ends in .hex; A and N in decimal or 0x hexadecimal;\n"
    "  STM32: 8E1 at RATE, a rate of download's list (default 57600, at least 19200)\n"
    "  or 230400 460800 921600 1000000;\n"
    "  LPC: 8N1 at RATE, A and N multiples of 4, the part as its answer names it,\n"
    "  --crystal KHZ as for download;\n"
    "  FILE is replaced only when the whole read succeeded\n";

int readUsage(const QString &problem)
{
    writeText(stderr, QStringLiteral("tramelo: %1\n").arg(problem));
    std::fputs(kReadUsage, stderr);
    return kExitUsage;
}

std::optional<quint32> number(const QString &text)
{
    return addressNumber(text);
}

struct ReadOptions
{
    QString device, port, file;
    std::optional<quint32> address, length;
    quint32 baud = kDefaultBaud;
    BaudRate rate; // as --baud gave it
    bool reset = true;
    QByteArray crystal = QByteArrayLiteral("11059.2"); // LPC: the handshake's oscillator, kHz
    EntryOptions entry; // --entry, --exit, --swap-rts-dtr, --invert, --power-cycle
};

constexpr int kHelpShown = -1;

int parseRead(const QStringList &args, ReadOptions &o)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        QString v;
        if (a == "--help" || a == "-h") {
            std::fputs(kReadUsage, stdout);
            return kHelpShown;
        } else if (a == "--device" || a == "--port" || a == "--address" || a == "--length" ||
                   a == "--baud") {
            if (!takeValue(args, i, v))
                return readUsage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
            if (a == "--device") o.device = v;
            if (a == "--port") o.port = v;
            if (a == "--address" && !(o.address = number(v)))
                return readUsage(
                    QCoreApplication::translate("cli", "--address 取一个数: %1").arg(v));
            if (a == "--length" && (!(o.length = number(v)) || *o.length == 0))
                return readUsage(
                    QCoreApplication::translate("cli", "--length 取大于 0 的数: %1").arg(v));
            if (a == "--baud") {
                o.rate = baudOf(v);
                if (!o.rate.chosen())
                    return readUsage(
                        QCoreApplication::translate("cli", "不支持的波特率: %1").arg(v));
                o.baud = std::max(o.rate.bps(), kMinBaud);
            }
        } else if (a == "--no-reset") {
            o.reset = false;
        } else if (a == "--crystal") {
            if (!takeValue(args, i, v) || !lpcCrystalText(v))
                return readUsage(QCoreApplication::translate(
                    "cli", "--crystal 取以 kHz 为单位的晶振频率 (1 到 100000，例如 11059.2)"));
            o.crystal = v.toLatin1();
        } else if (const auto problem = takeEntryOption(args, i, o.entry)) {
            if (!problem->isEmpty()) return readUsage(*problem);
        } else if (a.startsWith('-') && a != "-") {
            return readUsage(QCoreApplication::translate("cli", "未知选项: %1").arg(a));
        } else if (o.file.isEmpty()) {
            o.file = a;
        } else {
            return readUsage(QCoreApplication::translate("cli", "多于一个文件: %1").arg(a));
        }
    }
    if (o.device.isEmpty()) return readUsage(QCoreApplication::translate("cli", "缺少 --device"));
    const auto family = devices::familyAt(devices::findDevice(o.device));
    if (family != devices::Family::Stm32 && family != devices::Family::Lpc)
        return readUsage(
            QCoreApplication::translate("cli", "read 只用于 STM32 和 LPC 器件: %1").arg(o.device));
    if (family != devices::Family::Stm32)
        if (const QString why = fastRateRefusal(o.rate, {o.device}); !why.isEmpty())
            return readUsage(why);
    // The LPC boot loaders read whole words from word addresses.
    if (family == devices::Family::Lpc &&
        (o.address.value_or(0) % 4 != 0 || o.length.value_or(0) % 4 != 0))
        return readUsage(QCoreApplication::translate("cli", "LPC: --address 与 --length 须为 4 的倍数"));
    if (o.port.isEmpty()) return readUsage(QCoreApplication::translate("cli", "缺少 --port"));
    if (const QString why = entryConflict(o.entry, !o.reset); !why.isEmpty()) return readUsage(why);
    if (o.file.isEmpty()) return readUsage(QCoreApplication::translate("cli", "缺少输出文件"));
    // Without --length the range ends where the chip's flash ends, known once it answers.
    const quint32 flashStart = family == devices::Family::Lpc ? 0 : devices::kStm32FlashStart;
    if (o.length && quint64(o.address.value_or(flashStart)) + *o.length > 0x100000000ull)
        return readUsage(QCoreApplication::translate("cli", "读取范围超出 32 位地址空间"));
    return kExitOk;
}

// Why the read flash cannot go to file ("" when it can), found before the board is touched:
// where the name leads (through symbolic links, a dangling one's target included) is, where
// it exists, a regular file that may be written, in a folder that exists and may be written
// (the new contents go to a file beside it first).
QString unusableOutput(const QString &file)
{
    if (firmwarefile::isSymlinkLoop(file)) return messages::symlinkLoop(file);
    const QByteArray target = files::finalTarget(QFile::encodeName(file));
    if (target.isEmpty()) return messages::symlinkLoop(file);
    struct stat st = {};
    const bool exists = ::stat(target.constData(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return messages::notRegularFile(file);
    if (exists && ::access(target.constData(), W_OK) != 0) return messages::cannotWrite(file);
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArray(".") : target.left(std::max<qsizetype>(slash, 1));
    if (::stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        ::access(folder.constData(), W_OK | X_OK) != 0)
        return messages::folderNotWritable(QFile::decodeName(folder));
    return {};
}

// The range lies outside the flash the chip has: said once for every family.
int rangeOutsideFlash(quint64 from, quint64 count, quint64 flashStart, quint64 flashEnd)
{
    const auto hex = [](quint64 v) {
        return QStringLiteral("0x%1").arg(QString::number(v, 16).toUpper().rightJustified(8, u'0'));
    };
    writeText(stderr, QStringLiteral("tramelo: %1\n")
                          .arg(QCoreApplication::translate(
                                   "cli", "读取范围 %1 .. %2 不在芯片的 Flash (%3 .. %4) 之内")
                                   .arg(hex(from), hex(from + count - (count > 0)),
                                        hex(flashStart), hex(flashEnd - 1))));
    return kExitUsage;
}

// The flash read from address `from` to the file (Intel HEX when its name says so), put in
// place only when every write succeeded, and the line that says so.
int writeRead(const ReadOptions &o, quint32 from, const QByteArray &data)
{
    const QByteArray bytes = stm32::isHexFileName(o.file) ? stm32::intelHexText(from, data) : data;
    // Written where the name leads, in the file system's own bytes.
    const QByteArray target = files::finalTarget(QFile::encodeName(o.file));
    if (target.isEmpty() || !files::replaceFile(target, bytes)) {
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::cannotWrite(o.file)));
        return kExitFailed;
    }
    writeText(stdout, QCoreApplication::translate("stm32", "读取完成: %1 Byte 自 0x%2")
                              .arg(data.size())
                              .arg(QString::number(from, 16).toUpper().rightJustified(8, u'0')) +
                          QLatin1Char('\n'));
    return kExitOk;
}

// An end signal arrived during the conversation.
struct Ended
{
    int sig;
};

void checkEnded()
{
    if (const int sig = EndSignals::take()) throw Ended{sig};
}

// How a request of the boot loader went wrong. Refused: Read Memory itself (read protection);
// Declined: the address or the count (a range the loader does not read).
enum class Trouble { None, Silent, Refused, Declined, Other };

// The boot loader's side of the conversation.
class Loader
{
public:
    explicit Loader(platform::SerialPort &port) : port_(port) {}

    // Sends bytes and gathers exactly n bytes of answer (fewer on silence). A NACK as the
    // first byte ends the gathering at once. Throws Ended when an end signal arrives.
    QByteArray ask(QByteArrayView send, qsizetype n, int waitMs = kReplyTimeoutMs)
    {
        checkEnded();
        if (!send.isEmpty() && port_.write(send.data(), send.size()) != send.size()) return {};
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < n && clock.elapsed() < waitMs) {
            char buf[512];
            const qint64 r = port_.read(buf, std::min<qint64>(sizeof buf, n - got.size()), 20);
            checkEnded();
            if (r < 0) return got;
            got.append(buf, r);
            if (got.size() == 1 && quint8(got[0]) == stm32::kNack) return got;
        }
        return got;
    }

    // Read Memory of 1..256 bytes; nullopt with the trouble set otherwise. Refused: the chip
    // said NACK to the command or instead of the data (read protection says so); Silent: the
    // answer stopped short, however far it had come.
    std::optional<QByteArray> read(quint32 address, int n, Trouble &trouble)
    {
        trouble = Trouble::None;
        const QByteArray cmd = ask(stm32::commandFrame(stm32::kCmdReadMemory), 1);
        if (!stm32::ackFirst(cmd)) {
            trouble = cmd.isEmpty()           ? Trouble::Silent
                      : stm32::nackFirst(cmd) ? Trouble::Refused
                                              : Trouble::Other;
            return std::nullopt;
        }
        const QByteArray at = ask(stm32::addressFrame(address), 1);
        if (!stm32::ackFirst(at)) {
            trouble = at.isEmpty()           ? Trouble::Silent
                      : stm32::nackFirst(at) ? Trouble::Declined
                                             : Trouble::Other;
            return std::nullopt;
        }
        const QByteArray data = ask(stm32::readCountFrame(n), 1 + n);
        auto block = stm32::acceptReadBack(data, n);
        if (!block)
            trouble = stm32::nackFirst(data) ? Trouble::Declined
                      : data.size() < 1 + n  ? Trouble::Silent
                                             : Trouble::Other;
        return block;
    }

private:
    platform::SerialPort &port_;
};

// The conversation on an open port and the file at its end.
void readHint(const QString &t)
{
    writeText(stderr, QStringLiteral("tramelo: %1\n").arg(t));
}

// As a download enters the boot loader: the power command, then the entry sequence (the
// family's own unless one was given; none under --no-reset); stale input is dropped. False
// when the power command failed (its lines are printed).
bool enterBootLoader(platform::SerialPort &port, const ReadOptions &o,
                     const resetseq::Sequence &familyEntry, boardentry::Family family)
{
    const EntryOptions &e = o.entry;
    const int timeoutMs = DownloadChoices().powerCycleTimeoutMs;
    if (!e.powerCycle.isEmpty()) {
        writeText(stdout, boardentry::commandLine(e.powerCycle) + QLatin1Char('\n'));
        boardentry::PowerCommand command;
        const boardentry::CommandResult r =
            command.runToEnd(e.powerCycle, timeoutMs, {port.path()});
        for (const QString &l : boardentry::resultLines(r, timeoutMs))
            writeText(stdout, l + QLatin1Char('\n'));
        if (!r.ok()) return false;
    }
    const resetseq::Sequence entry =
        o.reset ? resetseq::applyWiring(e.entry.value_or(familyEntry), e.wiring)
                : resetseq::Sequence();
    if (!entry.isEmpty() && !boardentry::run(entry, boardentry::linesOf(port)))
        readHint(boardentry::linesRefusedHint());
    if (entry.isEmpty() && e.powerCycle.isEmpty()) readHint(boardentry::byHandHint(family));
    port.purge(true, false);
    return true;
}

// Only a sequence given with --exit: reading leaves the board as it is otherwise.
void leaveBootLoader(platform::SerialPort &port, const ReadOptions &o)
{
    const EntryOptions &e = o.entry;
    if (o.reset && e.exit &&
        !boardentry::run(resetseq::applyWiring(*e.exit, e.wiring), boardentry::linesOf(port)))
        readHint(boardentry::linesRefusedHint());
}

int readBoard(platform::SerialPort &port, const ReadOptions &o)
{
    platform::LineSettings line;
    line.baud = o.baud;
    line.parity = platform::Parity::Even;
    port.applyLine(line);
    // The last line says what failed: the connection, until the chip has said who it is,
    // then the read.
    bool connected = false;
    // The step whose answer stopped short, named before the reason as the download names it.
    QString unansweredLine;
    auto fail = [&](const QString &why) {
        if (!unansweredLine.isEmpty()) writeText(stdout, unansweredLine + QLatin1Char('\n'));
        writeText(stdout, why + QLatin1Char('\n'));
        writeText(stdout, (connected ? stm32::kReadFailedText : stm32::kFailedText).text() +
                              QLatin1Char('\n'));
        return kExitFailed;
    };
    if (!enterBootLoader(port, o, resetseq::stm32Entry(), boardentry::Family::Stm32)) {
        writeText(stdout, stm32::kFailedText.text() + QLatin1Char('\n'));
        return kExitFailed;
    }

    Loader loader(port);
    // The 0x7F again while no ACK comes, as the download does.
    const char sync = char(stm32::kSync);
    bool synced = false;
    for (int attempt = 1; attempt <= stm32::kSyncAttempts && !synced; ++attempt) {
        if (attempt > 1) port.purge(true, false); // the rest of a wrong answer
        synced = stm32::syncAnswered(loader.ask(QByteArrayView(&sync, 1), 1, stm32::kSyncRetryMs),
                                     attempt);
    }
    if (!synced) {
        unansweredLine = stm32::noAnswerLine(stm32::State::SyncAck);
        const QString fast = stm32::reasonNoSyncAtRate(o.baud);
        return fail(fast.isEmpty() ? stm32::kNoContactText.text()
                                   : stm32::kNoContactText.text() + QLatin1Char('\n') + fast);
    }
    const QByteArray get = loader.ask(stm32::commandFrame(stm32::kCmdGet), 2);
    const QByteArray getReply = get + loader.ask({}, stm32::getReplyLength(get) - get.size());
    const auto version = stm32::acceptGetReply(getReply);
    // An answer that stopped short (a NACK is an answer, however short).
    const auto cutShort = [](const QByteArray &got, qsizetype n) {
        return got.size() < n && !stm32::nackFirst(got);
    };
    if (cutShort(getReply, stm32::getReplyLength(get)))
        unansweredLine = stm32::noAnswerLine(stm32::State::GetReply);
    if (!version) return fail(stm32::kNoContactText.text());
    const QByteArray commands = stm32::offeredCommands(getReply);
    for (const quint8 c : {stm32::kCmdGetId, stm32::kCmdReadMemory})
        if (!commands.contains(char(c))) return fail(stm32::reasonCommandMissing(c));
    const QByteArray idReply = loader.ask(stm32::commandFrame(stm32::kCmdGetId), 5);
    const auto id = stm32::acceptGetIdReply(idReply);
    if (cutShort(idReply, 5)) unansweredLine = stm32::noAnswerLine(stm32::State::GetIdReply);
    if (!id) return fail(stm32::kNoContactText.text());
    const devices::Stm32Part &part = stm32::partFor(quint16(id->toUInt(nullptr, 16)));
    connected = true;
    writeText(stdout, stm32::versionLine(*version) + QLatin1Char('\n'));
    writeText(stdout, stm32::productIdLine(*id) + QLatin1Char('\n'));
    writeText(stdout, stm32::familyLine(*id) + QLatin1Char('\n'));

    // What a failed Read Memory at address means: silence is no answer (the read's step named
    // first), a refusal of the first block of a whole-flash read is read protection.
    auto failedAt = [&](quint32 address, Trouble trouble, bool first, const QString &step) {
        if (trouble == Trouble::Silent) {
            unansweredLine = step;
            return fail(stm32::kNoContactText.text());
        }
        if (trouble == Trouble::Refused && first)
            return fail(stm32::reasonReadProtected(part.rdp) + QLatin1Char('\n') +
                        stm32::reasonHowToUnprotect(part.rdp));
        return fail(stm32::reasonReadRefused(address));
    };
    Trouble trouble = Trouble::None;
    // The flash-size register as the line's loader lets it be read (the device table's plan);
    // a loader that declines even that gives the table's size, as the download does.
    const stm32::SizeReadPlan plan = stm32::sizeReadPlan(part);
    const auto sizeBytes = loader.read(plan.address, plan.count, trouble);
    quint32 kib = part.tableFlashKib;
    if (sizeBytes) {
        kib = stm32::flashKibIn(*sizeBytes, plan).value_or(0);
    } else if (trouble == Trouble::Declined && kib > 0) {
        writeText(stdout, stm32::flashSizeFromTableLine(part.flashSizeRegister, kib) +
                              QLatin1Char('\n'));
    } else {
        return failedAt(part.flashSizeRegister, trouble, true,
                        stm32::noAnswerLine(stm32::State::ReadMemoryAck));
    }
    writeText(stdout, stm32::flashSizeLine(kib) + QLatin1Char('\n'));
    // The unique id, read as the download reads it; a loader that keeps it costs the line only.
    const stm32::UniqueIdPlan uidPlan = stm32::uniqueIdPlan(part, plan);
    QString uid;
    if (uidPlan.inSizeRead && sizeBytes) {
        uid = stm32::uniqueIdIn(*sizeBytes, uidPlan.offset);
    } else if (!uidPlan.inSizeRead && uidPlan.address != 0) {
        Trouble uidTrouble = Trouble::None;
        if (const auto b = loader.read(uidPlan.address, stm32::kUniqueIdBytes, uidTrouble))
            uid = stm32::uniqueIdIn(*b);
        else if (uidTrouble == Trouble::Silent)
            return failedAt(uidPlan.address, uidTrouble, false,
                            stm32::noAnswerLine(stm32::State::UidReadAck));
    }
    if (!uid.isEmpty()) writeText(stdout, stm32::uniqueIdLine(uid) + QLatin1Char('\n'));
    // The range lies inside the flash the chip reports, checked before any of it is read.
    const quint32 from = o.address.value_or(devices::kStm32FlashStart);
    const quint64 flashEnd = quint64(devices::kStm32FlashStart) + quint64(kib) * 1024;
    // Or inside the L0/L1 data EEPROM, which the loader reads as it reads flash.
    const stm32::Span eeprom = stm32::eepromSpan(part);
    const quint64 eepromStart = quint64(devices::kStm32FlashStart) + quint64(eeprom.offset);
    const quint64 eepromEnd = eepromStart + quint64(eeprom.length);
    const bool fromEeprom = eeprom.length > 0 && from >= eepromStart && from < eepromEnd;
    const quint64 end = fromEeprom ? eepromEnd : flashEnd;
    const quint64 count = o.length.value_or(quint32(end - std::min<quint64>(from, end)));
    if ((!fromEeprom && from < devices::kStm32FlashStart) || quint64(from) + count > end ||
        count == 0) {
        port.close();
        return rangeOutsideFlash(from, count, devices::kStm32FlashStart, flashEnd);
    }

    QByteArray data;
    // Room for what the chip can hold: a --length past its flash ends in a refusal long
    // before the buffer would be full, and must not reserve gigabytes up front.
    data.reserve(qsizetype(std::min<quint64>(count, quint64(kib) * 1024)));
    for (quint64 at = 0; at < count;) {
        const int n = int(std::min<quint64>(stm32::kBlockSize, count - at));
        const quint32 a = from + quint32(at);
        const auto block = loader.read(a, n, trouble);
        if (!block)
            return failedAt(a, trouble, at == 0 && !o.address, stm32::noAnswerReadLine(a));
        data += *block;
        at += quint64(n);
    }
    // Only a sequence given with --exit: reading leaves the board as it is otherwise.
    leaveBootLoader(port, o);
    port.close();

    return writeRead(o, from, data);
}

// ---- LPC: the UART ISP's "R" ----

// Gathers the answer to a sent text until done() says it is whole (or the time is up).
template <typename Done>
QByteArray lpcAsk(platform::SerialPort &port, const QByteArray &send, Done done, int waitMs)
{
    checkEnded();
    if (!send.isEmpty() && port.write(send.constData(), send.size()) != send.size()) return {};
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (!done(got) && clock.elapsed() < waitMs) {
        char buf[512];
        const qint64 r = port.read(buf, sizeof buf, 20);
        checkEnded();
        if (r < 0) return got;
        got.append(buf, r);
    }
    return got;
}

int readLpcBoard(platform::SerialPort &port, const ReadOptions &o)
{
    platform::LineSettings line;
    line.baud = o.baud;
    port.applyLine(line);
    // The command whose answer did not come whole in time, as sent: named before the reason,
    // as the download names it.
    QByteArray unanswered;
    auto fail = [&](const QString &why) {
        if (!unanswered.isEmpty())
            writeText(stdout, ::noAnswerLine(QString::fromLatin1(unanswered)) + QLatin1Char('\n'));
        writeText(stdout, why + QLatin1Char('\n'));
        return kExitFailed;
    };
    const QString noContact = QCoreApplication::translate("lpc", "LPC通信超时!");
    if (!enterBootLoader(port, o, resetseq::lpcEntry(), boardentry::Family::Lpc))
        return fail(QCoreApplication::translate("lpc", "LPC通信超时!"));
    const QByteArray end = lpc::kIspLineEnd;
    const auto lines = [&](int n) {
        return [n, end](const QByteArray &got) { return got.count(end) >= n; };
    };
    // Time for a text of n bytes at the line's rate, and a second for the chip.
    const auto waitFor = [&](qsizetype n) { return 1000 + int(n * 10 * 1000 / o.baud); };
    bool synced = false;
    for (int i = 0; i < 10 && !synced; ++i)
        synced = lpc::isSynchronizedAnswer(lpcAsk(port, lpc::kAutobaud, lines(1), 300));
    if (!synced) unanswered = lpc::kAutobaud;
    // A command and its two lines of answer (the echo and the code, or the code and a value).
    auto ask = [&](const QByteArray &command) {
        const QByteArray got = lpcAsk(port, command + end, lines(2), waitFor(64));
        if (!lines(2)(got)) unanswered = command;
        return got;
    };
    auto echoed = [&](const QByteArray &command, const QByteArray &answer) {
        return lpc::isEchoed(ask(command), command, answer);
    };
    if (!synced || !echoed(lpc::kSynchronized, lpc::kOk) || !echoed(o.crystal, lpc::kOk) ||
        !echoed(lpc::kUnlock, lpc::kSuccessCode) || !echoed(lpc::kEchoOff, lpc::kSuccessCode))
        return fail(noContact);
    const std::optional<QString> partId = lpc::partIdOf(ask(lpc::kReadPartId));
    if (!partId) return fail(noContact);
    const std::optional<quint32> id = lpc::partIdValue(*partId);
    const devices::LpcChip *chip = id ? devices::lpcChip(*id) : nullptr;
    if (!chip)
        return fail(QCoreApplication::translate("lpc", "未知的器件ID: %1 (0x%2)，器件表中没有这个型号")
                        .arg(*partId, id ? QString::number(*id, 16).toUpper() : QStringLiteral("?")));
    writeText(stdout, QStringLiteral("%1, Flash %2 KB\n").arg(chip->name).arg(chip->flashKib));
    const quint32 from = o.address.value_or(0);
    const quint32 count = o.length.value_or(quint32(chip->flashBytes()) - std::min(from, quint32(chip->flashBytes())));
    // The range is checked against the part before the first R.
    if (count == 0 || quint64(from) + count > quint64(chip->flashBytes())) {
        port.close();
        return rangeOutsideFlash(from, count, 0, quint64(chip->flashBytes()));
    }
    const bool binary = chip->family->binaryData;
    // Uuencoded: one group of 16 lines (720 bytes, a multiple of 4) per R; raw: 1 KiB.
    const quint32 chunk = binary ? 1024 : 720;
    QByteArray data;
    data.reserve(qsizetype(count));
    const QByteArray ok = lpc::kSuccessCode + end;
    for (quint32 at = 0; at < count;) {
        const quint32 n = std::min(chunk, count - at);
        const QByteArray command = "R " + QByteArray::number(from + at) + ' ' +
                                   QByteArray::number(n);
        // The code line, then the data whole; a code other than success ends with its line.
        const auto whole = [&](const QByteArray &g) {
            if (!g.startsWith(ok)) return g.endsWith(end);
            const QByteArrayView rest = QByteArrayView(g).sliced(ok.size());
            return binary ? rest.size() >= qsizetype(n)
                          : lpc::readGroupComplete(rest, qsizetype(n));
        };
        std::optional<QByteArray> bytes;
        for (int attempt = 0; attempt < 3 && !bytes; ++attempt) {
            const QByteArray sent = attempt == 0 ? command : lpc::kResend;
            const QByteArray got = lpcAsk(port, sent + end, whole, waitFor(qsizetype(n) * 2));
            // The last command sent is the one left unanswered, a resend's included.
            unanswered = whole(got) ? QByteArray() : sent;
            const QByteArray payload = attempt == 0 ? got.mid(ok.size()) : got;
            if (attempt == 0 && !got.startsWith(ok)) {
                // No code line at all: the R went unanswered, which no resend mends.
                if (!unanswered.isEmpty()) break;
                return fail(QCoreApplication::translate("lpc", "读取被拒绝: 地址 0x%1 (返回码 %2)")
                                .arg(QString::number(from + at, 16).toUpper(),
                                     QString::fromLatin1(got.trimmed())));
            }
            if (binary) {
                if (payload.size() == qsizetype(n)) bytes = payload;
                break;
            }
            bytes = lpc::decodeReadGroup(payload, qsizetype(n));
        }
        if (!bytes) return fail(noContact);
        if (!binary) lpcAsk(port, lpc::kOk + end, [](const QByteArray &) { return true; }, 0);
        data += *bytes;
        at += n;
    }
    leaveBootLoader(port, o);
    port.close();
    return writeRead(o, from, data);
}

} // namespace

int readFlash(const QStringList &args)
{
    ReadOptions o;
    if (const int rc = parseRead(args, o); rc != kExitOk) return rc == kHelpShown ? kExitOk : rc;
    if (const QString why = unusableOutput(o.file); !why.isEmpty()) {
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(why));
        return kExitUsage;
    }

    const EndSignals endSignals;
    const QString path =
        o.port.startsWith('/') ? o.port : platform::resolvePortName(o.port.toUpper());
    platform::SerialPort port;
    if (path.isEmpty() || port.open(path) != platform::OpenResult::Ok) {
        writeText(stderr, QStringLiteral("tramelo: %1\n")
                              .arg(messages::portNotOpened(o.port, port.errorString())));
        return kExitPort;
    }
    try {
        if (devices::familyAt(devices::findDevice(o.device)) == devices::Family::Lpc)
            return readLpcBoard(port, o);
        return readBoard(port, o);
    } catch (const Ended &e) {
        // As a download ends: the port's line settings restored, its lock released.
        port.close();
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::readEnded(e.sig)));
        return 128 + e.sig;
    }
}

} // namespace cli
