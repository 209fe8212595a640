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
#include "cli/Files.h"
#include "cli/Messages.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
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
    "Usage: tramelo read --device stm32 --port PORT [--baud RATE] [--no-reset]\n"
    "                    [--address A] [--length N] FILE\n"
    "  reads the flash (default: all of it, from the flash start) into FILE,\n"
    "  binary, or Intel HEX when FILE ends in .hex; A and N in decimal or 0x hexadecimal;\n"
    "  8E1 at RATE, a rate of download's list (default 57600, at least 19200);\n"
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
    bool reset = true;
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
                const int index = baudIndexOf(v);
                if (index < 0)
                    return readUsage(
                        QCoreApplication::translate("cli", "不支持的波特率: %1").arg(v));
                o.baud = std::max(kBaudRates[index], kMinBaud);
            }
        } else if (a == "--no-reset") {
            o.reset = false;
        } else if (a.startsWith('-') && a != "-") {
            return readUsage(QCoreApplication::translate("cli", "未知选项: %1").arg(a));
        } else if (o.file.isEmpty()) {
            o.file = a;
        } else {
            return readUsage(QCoreApplication::translate("cli", "多于一个文件: %1").arg(a));
        }
    }
    if (o.device.isEmpty()) return readUsage(QCoreApplication::translate("cli", "缺少 --device"));
    if (devices::familyAt(devices::findDevice(o.device)) != devices::Family::Stm32)
        return readUsage(
            QCoreApplication::translate("cli", "read 只用于 STM32 器件: %1").arg(o.device));
    if (o.port.isEmpty()) return readUsage(QCoreApplication::translate("cli", "缺少 --port"));
    if (o.file.isEmpty()) return readUsage(QCoreApplication::translate("cli", "缺少输出文件"));
    // Without --length the range ends where the chip's flash ends, known once it answers.
    if (o.length &&
        quint64(o.address.value_or(devices::kStm32FlashStart)) + *o.length > 0x100000000ull)
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
    QByteArray ask(QByteArrayView send, qsizetype n)
    {
        checkEnded();
        if (!send.isEmpty() && port_.write(send.data(), send.size()) != send.size()) return {};
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < n && clock.elapsed() < kReplyTimeoutMs) {
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
int readBoard(platform::SerialPort &port, const ReadOptions &o)
{
    platform::LineSettings line;
    line.baud = o.baud;
    line.parity = platform::Parity::Even;
    port.applyLine(line);
    // The last line says what failed: the connection, until the chip has said who it is,
    // then the read.
    bool connected = false;
    auto fail = [&](const QString &why) {
        writeText(stdout, why + QLatin1Char('\n'));
        writeText(stdout, (connected ? stm32::kReadFailedText : stm32::kFailedText).text() +
                              QLatin1Char('\n'));
        return kExitFailed;
    };
    if (o.reset) {
        port.setDtr(true);
        port.setRts(true);
        QThread::msleep(stm32::kResetPulseMs);
        port.setDtr(false);
        QThread::msleep(stm32::kResetPulseMs);
    }
    port.purge(true, false);

    Loader loader(port);
    const char sync = char(stm32::kSync);
    if (!stm32::syncAccepted(loader.ask(QByteArrayView(&sync, 1), 1)))
        return fail(stm32::kNoContactText.text());
    const QByteArray get = loader.ask(stm32::commandFrame(stm32::kCmdGet), 2);
    const QByteArray getReply = get + loader.ask({}, stm32::getReplyLength(get) - get.size());
    const auto version = stm32::acceptGetReply(getReply);
    if (!version) return fail(stm32::kNoContactText.text());
    const QByteArray commands = stm32::offeredCommands(getReply);
    for (const quint8 c : {stm32::kCmdGetId, stm32::kCmdReadMemory})
        if (!commands.contains(char(c))) return fail(stm32::reasonCommandMissing(c));
    const auto id = stm32::acceptGetIdReply(loader.ask(stm32::commandFrame(stm32::kCmdGetId), 5));
    if (!id) return fail(stm32::kNoContactText.text());
    const devices::Stm32Part &part = stm32::partFor(quint16(id->toUInt(nullptr, 16)));
    connected = true;
    writeText(stdout, stm32::versionLine(*version) + QLatin1Char('\n'));
    writeText(stdout, stm32::productIdLine(*id) + QLatin1Char('\n'));
    writeText(stdout, stm32::familyLine(*id) + QLatin1Char('\n'));

    // What a failed Read Memory at address means: silence is no answer, a refusal of the
    // first block of a whole-flash read is read protection.
    auto failedAt = [&](quint32 address, Trouble trouble, bool first) {
        if (trouble == Trouble::Silent) return fail(stm32::kNoContactText.text());
        if (trouble == Trouble::Refused && first)
            return fail(stm32::reasonReadProtected() + QLatin1Char('\n') +
                        stm32::reasonHowToUnprotect());
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
        return failedAt(part.flashSizeRegister, trouble, true);
    }
    writeText(stdout, stm32::flashSizeLine(kib) + QLatin1Char('\n'));
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
        const auto hex = [](quint64 v) {
            return QStringLiteral("0x%1").arg(
                QString::number(v, 16).toUpper().rightJustified(8, u'0'));
        };
        port.close();
        writeText(stderr, QStringLiteral("tramelo: %1\n")
                              .arg(QCoreApplication::translate(
                                       "cli", "读取范围 %1 .. %2 不在芯片的 Flash (%3 .. %4) 之内")
                                       .arg(hex(from), hex(quint64(from) + count - (count > 0)),
                                            hex(devices::kStm32FlashStart), hex(flashEnd - 1))));
        return kExitUsage;
    }

    QByteArray data;
    // Room for what the chip can hold: a --length past its flash ends in a refusal long
    // before the buffer would be full, and must not reserve gigabytes up front.
    data.reserve(qsizetype(std::min<quint64>(count, quint64(kib) * 1024)));
    for (quint64 at = 0; at < count;) {
        const int n = int(std::min<quint64>(stm32::kBlockSize, count - at));
        const quint32 a = from + quint32(at);
        const auto block = loader.read(a, n, trouble);
        if (!block) return failedAt(a, trouble, at == 0 && !o.address);
        data += *block;
        at += quint64(n);
    }
    port.close();

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
        return readBoard(port, o);
    } catch (const Ended &e) {
        // As a download ends: the port's line settings restored, its lock released.
        port.close();
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::readEnded(e.sig)));
        return 128 + e.sig;
    }
}

} // namespace cli
