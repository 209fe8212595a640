// tramelo read: the flash of an STM32 read back through its boot loader into a file.
//
// A short synchronous conversation on the port, without the window: sync, Get (the command
// list must name Read Memory), Get ID (the device table gives the flash-size register), the
// flash size, then Read Memory in blocks of 256 bytes. Binary output, or Intel HEX when the
// file name ends in .hex.
#include "cli/Read.h"

#include "cli/Cli.h"
#include "logic/Devices.h"
#include "logic/Stm32Image.h"
#include "platform/PortNames.h"
#include "platform/SerialPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <optional>

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
    "  8E1 at RATE (default 57600, at least 19200)\n";

int readUsage(const QString &problem)
{
    writeText(stderr, QStringLiteral("tramelo: %1\n").arg(problem));
    std::fputs(kReadUsage, stderr);
    return kExitUsage;
}

std::optional<quint32> number(const QString &text)
{
    bool ok = false;
    const qulonglong v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                             ? text.mid(2).toULongLong(&ok, 16)
                             : text.toULongLong(&ok, 10);
    if (!ok || v > 0xFFFFFFFFull) return std::nullopt;
    return quint32(v);
}

// The boot loader's side of the conversation.
class Loader
{
public:
    explicit Loader(platform::SerialPort &port) : port_(port) {}

    // Sends bytes and gathers exactly n bytes of answer (fewer on silence). A NACK as the
    // first byte ends the gathering at once.
    QByteArray ask(QByteArrayView send, qsizetype n)
    {
        if (!send.isEmpty() && port_.write(send.data(), send.size()) != send.size()) return {};
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < n && clock.elapsed() < kReplyTimeoutMs) {
            char buf[512];
            const qint64 r = port_.read(buf, std::min<qint64>(sizeof buf, n - got.size()), 20);
            if (r < 0) return got;
            got.append(buf, r);
            if (got.size() == 1 && quint8(got[0]) == stm32::kNack) return got;
        }
        return got;
    }
    bool ack(QByteArrayView send) { return stm32::ackFirst(ask(send, 1)); }

    // Read Memory of 1..256 bytes; nullopt with refused set when the chip says NACK.
    std::optional<QByteArray> read(quint32 address, int n, bool &refused)
    {
        refused = false;
        const QByteArray cmd = ask(stm32::commandFrame(stm32::kCmdReadMemory), 1);
        if (stm32::nackFirst(cmd)) refused = true;
        if (!stm32::ackFirst(cmd) || !ack(stm32::addressFrame(address))) return std::nullopt;
        const QByteArray data = ask(stm32::readCountFrame(n), 1 + n);
        if (stm32::nackFirst(data)) refused = true;
        return stm32::acceptReadBack(data, n);
    }

private:
    platform::SerialPort &port_;
};

} // namespace

int readFlash(const QStringList &args)
{
    QString device, portName, file;
    std::optional<quint32> address, length;
    quint32 baud = kDefaultBaud;
    bool reset = true;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h") {
            std::fputs(kReadUsage, stdout);
            return kExitOk;
        } else if (a == "--device" || a == "--port" || a == "--address" || a == "--length" ||
                   a == "--baud") {
            if (!hasValue) return readUsage(QStringLiteral("%1 needs a value").arg(a));
            const QString v = args[++i];
            if (a == "--device") device = v;
            if (a == "--port") portName = v;
            if (a == "--address" && !(address = number(v)))
                return readUsage(QStringLiteral("--address takes a number: %1").arg(v));
            if (a == "--length" && (!(length = number(v)) || *length == 0))
                return readUsage(QStringLiteral("--length takes a number above 0: %1").arg(v));
            if (a == "--baud") {
                const auto b = number(v);
                if (!b || *b == 0) return readUsage(QStringLiteral("unsupported rate: %1").arg(v));
                baud = std::max(*b, kMinBaud);
            }
        } else if (a == "--no-reset") {
            reset = false;
        } else if (a.startsWith('-') && a != "-") {
            return readUsage(QStringLiteral("unknown option: %1").arg(a));
        } else if (file.isEmpty()) {
            file = a;
        } else {
            return readUsage(QStringLiteral("more than one file: %1").arg(a));
        }
    }
    if (device.isEmpty()) return readUsage(QStringLiteral("--device is missing"));
    if (devices::familyAt(devices::findDevice(device)) != devices::Family::Stm32)
        return readUsage(QStringLiteral("read knows STM32 devices only: %1").arg(device));
    if (portName.isEmpty()) return readUsage(QStringLiteral("--port is missing"));
    if (file.isEmpty()) return readUsage(QStringLiteral("the output file is missing"));

    const QString path =
        portName.startsWith('/') ? portName : platform::resolvePortName(portName.toUpper());
    platform::SerialPort port;
    if (path.isEmpty() || port.open(path) != platform::OpenResult::Ok) {
        writeText(stderr, QStringLiteral("tramelo: %1: cannot open the port %2\n")
                        .arg(portName, port.errorString()));
        return kExitPort;
    }
    platform::LineSettings line;
    line.baud = baud;
    line.parity = platform::Parity::Even;
    port.applyLine(line);
    auto fail = [&](const QString &why) {
        writeText(stdout, why + QLatin1Char('\n'));
        writeText(stdout, stm32::kFailedText.text() + QLatin1Char('\n'));
        return kExitFailed;
    };
    if (reset) {
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
    writeText(stdout, stm32::versionLine(*version) + QLatin1Char('\n'));
    writeText(stdout, stm32::productIdLine(*id) + QLatin1Char('\n'));
    writeText(stdout, stm32::familyLine(*id) + QLatin1Char('\n'));

    bool refused = false;
    const auto sizeBytes =
        loader.read(part.flashSizeRegister, stm32::kFlashSizeRegisterBytes, refused);
    if (!sizeBytes) {
        if (refused)
            return fail(stm32::reasonReadProtected() + QLatin1Char('\n') +
                        stm32::reasonHowToUnprotect());
        return fail(stm32::reasonReadRefused(part.flashSizeRegister));
    }
    const quint32 kib = quint32(quint8((*sizeBytes)[1])) << 8 | quint8((*sizeBytes)[0]);
    writeText(stdout, stm32::flashSizeLine(kib) + QLatin1Char('\n'));
    const quint32 from = address.value_or(devices::kStm32FlashStart);
    const quint32 count = length.value_or(kib * 1024u);
    if (quint64(from) + count > 0x100000000ull)
        return readUsage(QStringLiteral("the range runs past the 32-bit address space"));

    QByteArray data;
    // Room for what the chip can hold: a --length past its flash ends in a refusal long
    // before the buffer would be full, and must not reserve gigabytes up front.
    data.reserve(qsizetype(std::min<quint64>(count, quint64(kib) * 1024)));
    for (quint64 at = 0; at < count;) {
        const int n = int(std::min<quint64>(stm32::kBlockSize, count - at));
        const quint32 a = from + quint32(at);
        const auto block = loader.read(a, n, refused);
        if (!block) {
            if (refused && at == 0 && !address)
                return fail(stm32::reasonReadProtected() + QLatin1Char('\n') +
                            stm32::reasonHowToUnprotect());
            return fail(stm32::reasonReadRefused(a));
        }
        data += *block;
        at += quint64(n);
    }
    port.close();

    QFile out(file);
    const QByteArray bytes = stm32::isHexFileName(file) ? stm32::intelHexText(from, data) : data;
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size()) {
        writeText(stderr, QStringLiteral("tramelo: %1: cannot write the file\n").arg(file));
        return kExitFailed;
    }
    writeText(stdout, QCoreApplication::translate("stm32", "读取完成: %1 Byte 自 0x%2")
                        .arg(data.size())
                        .arg(QString::number(from, 16).toUpper().rightJustified(8, u'0')) +
                    QLatin1Char('\n'));
    return kExitOk;
}

} // namespace cli
