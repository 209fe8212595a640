#include "cli/Cli.h"
#include "cli/EndSignals.h"
#include "cli/EntryOptions.h"
#include "cli/Files.h"
#include "cli/Messages.h"
#include "cli/Read.h"
#include "cli/Report.h"
#include "cli/Simulate.h"

#include "app/Language.h"
#include "engines/FileCheck.h"
#include "engines/LpcEngine.h"
#include "engines/StcEngine.h"
#include "engines/StcSeriesEngine.h"
#include "engines/Stm32Engine.h"
#include "engines/Texts.h"
#include "hexlib/StcHexLib.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/FirmwareImage.h"
#include "logic/LpcImage.h"
#include "logic/StcFrames.h"
#include "logic/StcProtocols.h"
#include "logic/Stm32Image.h"

#include "platform/PortNames.h"
#include "serial/Vok_ComDrv.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace cli {

namespace {

constexpr int kWatchdogMs = 60 * 60 * 1000; // no download takes an hour
constexpr quint16 kWaitInReadMs = 100;     // the longest the event loop waits for a board
constexpr int kComNames = 8;                 // COM1..COM8: one per board of a run
constexpr int kProgressWidth = 30;

const char kUsage[] =
    "Usage: tramelo download --device DEV --port PORT [--port PORT...] [--board DEV,PORT,FILE...]\n"
    "                        [--baud RATE] [--no-reset]\n"
    "                        [--reset-ms N] [--timeout N] [--6t] [--verify] [--unprotect]\n"
    "                        [--clock MHZ] [--crystal KHZ] [--option NAME=on|off...]\n"
    "                        [--entry SEQ] [--exit SEQ] [--swap-rts-dtr] [--invert rts|dtr]\n"
    "                        [--power-cycle CMD]\n"
    "                        [--address A] [--report FILE] [--serial ADDR[:START[:STEP]]]\n"
    "                        [--serial-format u32le|ascii:N] [--serial-state FILE] FILE\n"
    "       tramelo read --device stm32|lpc... --port PORT [--baud RATE] [--no-reset]\n"
    "                    [--entry SEQ] [--exit SEQ] [--swap-rts-dtr] [--invert rts|dtr]\n"
    "                    [--power-cycle CMD]\n"
    "                    [--address A] [--length N] FILE\n"
    "       tramelo ports\n"
    "       tramelo simulate --device DEV [--id ID] [--get-checksum] [--link PATH] [--dump FILE]\n"
    "                        [--baud N]\n"
    "       tramelo --demo\n"
    "       tramelo --help | --version\n";

const char kHelp[] =
    "Tramelo programs microcontroller boards through their serial boot loaders.\n"
    "Started without arguments it opens its window. The command line reads only the [Ports]\n"
    "section of the settings file (the COM names' device paths) and writes nothing to it.\n"
    "\n"
    "  download      write FILE to the board: Intel HEX (.hex .ihx), Motorola S-records\n"
    "                (.srec .s19 .s28 .s37 .mot, or a first line S0/S1/S3), ELF (by its\n"
    "                content: the file bytes of every load segment at its load address)\n"
    "                or binary\n"
    "    --board DEV,PORT,FILE  one more board of the run, of any family, with its own\n"
    "                   file (repeatable; --device, --port and FILE may then be left out)\n"
    "    --device DEV   an entry of the device list, case-insensitive, or the start of one:\n"
    "                   stm32 (any STM32: the chip says which), lpc2214 lpc2292 lpc2131\n"
    "                   lpc2132 lpc2136 lpc2138, lpc (any NXP LPC with the UART ISP: the\n"
    "                   chip says which),\n"
    "                   stc89c51rc stc89c52rc stc89c55rd+ stc89c516rd+,\n"
    "                   stc12 stc15 stc8 (any model of the series: the chip says which)\n"
    "    --port PORT    COM1..COM8 (resolved as in the window) or a device path; given\n"
    "                   several times, every board is written at once, each line starts\n"
    "                   with its port, a table ends the run and the worst result counts\n"
    "    --baud RATE    110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600\n"
    "                   115200 (default 9600; STM32 uses at least 19200, lpc2xxx at most 57600;\n"
    "                   stc12/stc15/stc8: the transfer rate, default 115200); STM32 also\n"
    "                   230400 460800 921600 1000000 (a chip that does not synchronise at\n"
    "                   such a rate: try 115200)\n"
    "    --no-reset     leave RTS/DTR alone: no reset into the boot loader, and no\n"
    "                   restart into the new firmware at the end (STM32)\n"
    "    --reset-ms N   length of the STC reset pulse, 1-999 ms (default 680)\n"
    "    --entry SEQ    the lines that bring the board into its boot loader, instead of\n"
    "                   the family's; SEQ is a comma-separated list of rts -rts dtr -dtr\n"
    "                   (assert/release), brk -brk (start/end a break) and NNms (wait,\n"
    "                   0-10000); '' for none. The defaults: STM32 dtr,rts,500ms,-dtr,500ms;\n"
    "                   LPC rts,50ms,dtr,300ms,-dtr; STC rts,680ms,-rts (680: --reset-ms)\n"
    "    --exit SEQ     the lines after a written image (default: STM32 dtr,5ms,-rts; the\n"
    "                   others none)\n"
    "    --swap-rts-dtr  the adapter's RTS and DTR are wired the other way round\n"
    "    --invert rts|dtr  the adapter inverts that line (repeatable); with the swap,\n"
    "                   the line as it leaves the adapter\n"
    "    --power-cycle CMD  run CMD with /bin/sh -c when the chip must be reset (STM32,\n"
    "                   LPC: before the entry sequence; STC: during the synchronisation),\n"
    "                   30 s at most; its output is shown, and a failure ends the attempt\n"
    "                   before anything is written; TRAMELO_PORTS names the boards' ports;\n"
    "                   several boards of a run share one run of it, once all are ready\n"
    "    --timeout N    1-99: STC connect time-out in s, LPC pause factor (default 5)\n"
    "    --6t           stc89: set the double-speed (6T) clock mode instead of 12T\n"
    "    --clock MHZ    stc15, stc8: trim the RC oscillator to MHZ (1-45; default: keep\n"
    "                   the chip's trim); the frequency reached is shown\n"
    "    --option NAME=on|off  stc12, stc15, stc8: change one option byte (repeatable):\n"
    "                   eeprom-erase, reset-pin (off: P5.4/P3.6 is an I/O pin),\n"
    "                   low-voltage-reset; the others are kept as the chip has them\n"
    "    --crystal KHZ  LPC: the oscillator in kHz sent in the handshake (default 11059.2;\n"
    "                   Cortex-M parts run the boot loader at 12000)\n"
    "    --verify       STM32: read every block back and compare (rewritten up to 3 times);\n"
    "                   lpc: compare every block (M), or one CRC-32 (S) on the LPC8xx\n"
    "    --unprotect    STM32: remove read-out protection first; the chip erases its whole\n"
    "                   flash\n"
    "    --write-unprotect  STM32: remove the flash's write protection before the erase\n"
    "    --protect      STM32: turn read-out protection on after the image is written\n"
    "                   (--6t, --clock, --crystal, --option, --verify and --unprotect apply to the\n"
    "                   boards whose family takes them; no such board is a usage error)\n"
    "    --address A    a binary FILE goes to address A (decimal or 0x hex) instead of the\n"
    "                   flash start: STM32 and LPC the flash address, STC the code address\n"
    "  read          STM32, LPC: read the flash into FILE (Intel HEX when it ends in .hex); the\n"
    "                file is replaced only when the whole read succeeded\n"
    "    --baud RATE    a rate of the list above (default 57600; at least 19200; the fast\n"
    "                   rates for STM32 only)\n"
    "    --no-reset     do not pulse RTS/DTR\n"
    "    --entry, --exit, --swap-rts-dtr, --invert, --power-cycle  as for download (no\n"
    "                   exit sequence unless one is given)\n"
    "    --address A, --length N   the range inside the chip's flash (default: all of it;\n"
    "                   from A: to its end), decimal or 0x hex\n"
    "    --crystal KHZ  LPC: as for download\n"
    "  ports         list the serial ports present and the COM names they answer to\n"
    "  simulate      serve a virtual board of DEV's family on a new pseudo-terminal until\n"
    "                SIGINT, SIGTERM, SIGHUP or SIGQUIT; prints its path, then one line per\n"
    "                command it gets\n"
    "    --id ID        STM32: the product id the board answers (hex: 410 414 440 422 413\n"
    "                   460), which chooses its line; default 414\n"
    "    --get-checksum  STM32: the board lists Get Checksum (0xA1): --verify then checks\n"
    "                   the CRC of each written range instead of reading it back\n"
    "    --link PATH    also name the terminal by this symbolic link (an old link of a board\n"
    "                   that has ended is replaced)\n"
    "    --dump FILE    write the board's flash to FILE at the end (opened at the start; a\n"
    "                   symbolic link is not followed)\n"
    "    --baud N       pace the board's answers like a UART at N baud\n"
    "  --demo        open the window with a virtual STM32 board as COM1 and a virtual\n"
    "                LPC2136 board as COM2 (for the terminal page)\n"
    "\n"
    "Exit status: 0 written, 1 failed, 2 usage error or unusable file, 3 port not opened,\n"
    "128+n ended by signal n (SIGHUP, SIGINT, SIGQUIT, SIGTERM).\n";

// parseDownload's answer when it printed the help: the program ends with status 0.
constexpr int kHelpShown = -1;

void printHelp()
{
    std::fputs(kUsage, stdout);
    std::fputs("\n", stdout);
    std::fputs(kHelp, stdout);
}

int usage(const QString &problem)
{
    writeText(stderr, QStringLiteral("tramelo: %1\n").arg(problem));
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int exitStatus(DownloadResult result)
{
    switch (result) {
    case DownloadResult::Written:
        return kExitOk;
    case DownloadResult::RefusedFile:
        return kExitUsage;
    case DownloadResult::PortNotOpened:
        return kExitPort;
    case DownloadResult::Failed:
        break;
    }
    return kExitFailed;
}

// One board of a run: --device, --port and FILE, or one --board.
struct BoardOption
{
    QString device, port, file;
};

struct DownloadOptions
{
    QString device, file;
    QStringList ports;
    QList<BoardOption> boards; // --board DEV,PORT,FILE
    BaudRate baud;
    bool noReset = false, sixT = false, verify = false, unprotect = false;
    bool writeUnprotect = false, protect = false; // --write-unprotect, --protect (STM32)
    QString resetMs, timeout;
    double clockMhz = 0; // --clock
    QString crystalKhz;  // --crystal
    std::optional<bool> eraseEeprom, resetPin, lowVoltageReset; // --option
    EntryOptions entry; // --entry, --exit, --swap-rts-dtr, --invert, --power-cycle
    // Firmware files and station records.
    std::optional<quint64> binaryAddress; // --address
    QString report;                       // --report
    std::optional<quint32> serialAddress; // --serial ADDR[:START[:STEP]]
    quint64 serialStart = 1, serialStep = 1;
    int serialDigits = 0; // --serial-format ascii:N; 0: 32-bit little endian
    QString serialState;  // --serial-state
};

// Numbers of the numeric fields: digits only, within the field's range.
bool validNumber(const QString &text, int max)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok && v >= 1 && v <= max && text == QString::number(v);
}

} // namespace

// The oscillator of an LPC in kHz as the handshake sends it: digits, at most one decimal point
// with digits after it ("11059.2", "12000"), 1 to 100000.
bool lpcCrystalText(const QString &text)
{
    const qsizetype dot = text.indexOf(QLatin1Char('.'));
    const QString whole = dot < 0 ? text : text.left(dot);
    const QString fraction = dot < 0 ? QString() : text.mid(dot + 1);
    const auto digits = [](const QString &t, qsizetype most) {
        return !t.isEmpty() && t.size() <= most &&
               std::all_of(t.begin(), t.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    };
    if (!digits(whole, 6) || (dot >= 0 && !digits(fraction, 3))) return false;
    const double v = text.toDouble();
    return v >= 1 && v <= 100000;
}

namespace {

int parseDownload(const QStringList &args, DownloadOptions &o)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&](QString &into) { return takeValue(args, i, into); };
        QString v;
        if (a == "--help" || a == "-h") {
            printHelp();
            return kHelpShown;
        } else if (a == "--device") {
            if (!value(o.device))
                return usage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
        } else if (a == "--port") {
            if (!value(v)) return usage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
            if (o.ports.contains(v))
                return usage(QCoreApplication::translate("cli", "串口重复: %1").arg(v));
            o.ports << v;
        } else if (a == "--board") {
            if (!value(v)) return usage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
            const qsizetype first = v.indexOf(QLatin1Char(','));
            const qsizetype second = first < 0 ? -1 : v.indexOf(QLatin1Char(','), first + 1);
            if (first <= 0 || second <= first + 1 || second + 1 >= v.size())
                return usage(
                    QCoreApplication::translate("cli", "--board 的格式为 DEV,PORT,FILE: %1")
                        .arg(v));
            o.boards << BoardOption{v.left(first), v.mid(first + 1, second - first - 1),
                                    v.mid(second + 1)};
        } else if (a == "--baud") {
            if (!value(v)) return usage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
            o.baud = baudOf(v); // the last --baud counts, and must be of the list or fast
            if (!o.baud.chosen())
                return usage(QCoreApplication::translate("cli", "不支持的波特率: %1").arg(v));
        } else if (a == "--no-reset") {
            o.noReset = true;
        } else if (a == "--reset-ms") {
            if (!value(o.resetMs) || !validNumber(o.resetMs, 999))
                return usage(QCoreApplication::translate("cli", "--reset-ms 取 1 到 999 的整数"));
        } else if (a == "--timeout") {
            if (!value(o.timeout) || !validNumber(o.timeout, 99))
                return usage(QCoreApplication::translate("cli", "--timeout 取 1 到 99 的整数"));
        } else if (a == "--6t") {
            o.sixT = true;
        } else if (a == "--verify") {
            o.verify = true;
        } else if (a == "--unprotect") {
            o.unprotect = true;
        } else if (a == "--write-unprotect" || a == "--protect") {
            (a == "--protect" ? o.protect : o.writeUnprotect) = true;
        } else if (a == "--clock") {
            bool ok = false;
            if (value(v)) o.clockMhz = v.toDouble(&ok);
            // NaN and infinity fail every comparison: only a finite number is in range.
            if (!ok || !std::isfinite(o.clockMhz) || o.clockMhz < 1 || o.clockMhz > 45)
                return usage(QCoreApplication::translate("cli", "--clock 取 1 到 45 的频率 (MHz)"));
        } else if (a == "--crystal") {
            if (!value(o.crystalKhz) || !lpcCrystalText(o.crystalKhz))
                return usage(QCoreApplication::translate("cli", "--crystal 取以 kHz 为单位的晶振频率 (1 到 100000，例如 11059.2)"));
        } else if (a == "--option") {
            if (!value(v)) return usage(QCoreApplication::translate("cli", "%1 缺少参数值").arg(a));
            const QString name = v.section('=', 0, 0), state = v.section('=', 1);
            std::optional<bool> *target = name == u"eeprom-erase"        ? &o.eraseEeprom
                                          : name == u"reset-pin"         ? &o.resetPin
                                          : name == u"low-voltage-reset" ? &o.lowVoltageReset
                                                                         : nullptr;
            if (!target || (state != u"on" && state != u"off"))
                return usage(QCoreApplication::translate(
                                 "cli", "--option 取 eeprom-erase、reset-pin 或 low-voltage-reset，"
                                        "=on 或 =off: %1")
                                 .arg(v));
            *target = state == u"on";
        } else if (const auto problem = takeEntryOption(args, i, o.entry)) {
            if (!problem->isEmpty()) return usage(*problem);
        // Firmware files and station records.
        } else if (a == "--address") {
            const std::optional<quint32> at = value(v) ? addressNumber(v) : std::nullopt;
            if (!at)
                return usage(QCoreApplication::translate(
                    "cli", "--address 需要一个地址 (十进制或 0x 十六进制)"));
            o.binaryAddress = *at;
        } else if (a == "--report") {
            if (!value(o.report))
                return usage(QCoreApplication::translate("cli", "--report 缺少文件名"));
        } else if (a == "--serial") {
            const QStringList parts = value(v) ? v.split(u':') : QStringList();
            bool startOk = true, stepOk = true;
            if (parts.size() > 1) o.serialStart = parts[1].toULongLong(&startOk);
            if (parts.size() > 2) o.serialStep = parts[2].toULongLong(&stepOk);
            o.serialAddress = parts.isEmpty() ? std::nullopt : addressNumber(parts[0]);
            if (!o.serialAddress || parts.size() > 3 || !startOk || !stepOk || o.serialStep == 0)
                return usage(QCoreApplication::translate(
                    "cli", "--serial 的格式是 ADDR[:START[:STEP]] (STEP 至少为 1)"));
        } else if (a == "--serial-format") {
            bool ok = false;
            if (value(v) && v == u"u32le") {
                o.serialDigits = 0;
            } else if (v.startsWith(u"ascii:") && (o.serialDigits = v.mid(6).toInt(&ok), ok) &&
                       o.serialDigits >= 1 && o.serialDigits <= 20) {
            } else {
                return usage(QCoreApplication::translate(
                    "cli", "--serial-format 只能是 u32le 或 ascii:N (N 为 1 到 20)"));
            }
        } else if (a == "--serial-state") {
            if (!value(o.serialState))
                return usage(QCoreApplication::translate("cli", "--serial-state 缺少文件名"));
        } else if (a.startsWith("-") && a != "-") {
            return usage(QCoreApplication::translate("cli", "未知选项: %1").arg(a));
        } else if (o.file.isEmpty()) {
            o.file = a;
        } else {
            return usage(QCoreApplication::translate("cli", "多于一个文件: %1").arg(a));
        }
    }
    if (o.boards.isEmpty() || !o.ports.isEmpty() || !o.device.isEmpty() || !o.file.isEmpty()) {
        if (o.device.isEmpty()) return usage(QCoreApplication::translate("cli", "缺少 --device"));
        if (o.ports.isEmpty()) return usage(QCoreApplication::translate("cli", "缺少 --port"));
        if (o.file.isEmpty()) return usage(QCoreApplication::translate("cli", "缺少固件文件"));
    }
    if (o.ports.size() + o.boards.size() > kComNames)
        return usage(QCoreApplication::translate("cli", "一次最多八个串口"));
    if (const QString why = entryConflict(o.entry, o.noReset); !why.isEmpty()) return usage(why);
    if (o.serialAddress && o.serialState.isEmpty() && o.report.isEmpty())
        return usage(QCoreApplication::translate(
            "cli", "--serial 需要 --serial-state FILE 或 --report FILE (计数文件在报告旁边)"));
    return kExitOk;
}

// The file is checked with the family's own loader before the board is touched, so a file
// that cannot be used never starts an erase (the window checks it the same way).
QString unusableFile(devices::Family family, const QString &path,
                     std::optional<quint64> address = std::nullopt)
{
    const filecheck::Verdict v = filecheck::check(family, path, address);
    if (!v.note.isEmpty()) writeText(stderr, QStringLiteral("tramelo: %1\n").arg(v.note));
    return v.refusal;
}

class ProgressLine
{
public:
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}
    void status(const QString &s)
    {
        status_ = s;
        draw();
    }
    void progress(int value, int max)
    {
        percent_ = max > 0 ? int(qint64(value) * 100 / max) : 0;
        draw();
    }
    void clear()
    {
        if (enabled_ && drawn_) writeText(stderr, QStringLiteral("\r\033[K"));
        drawn_ = false;
    }

private:
    void draw()
    {
        if (!enabled_) return;
        const int filled = percent_ * kProgressWidth / 100;
        writeText(stderr, QStringLiteral("\r\033[K[%1%2] %3% %4")
                        .arg(QString(filled, QLatin1Char('#')),
                             QString(kProgressWidth - filled, QLatin1Char(' ')))
                        .arg(percent_, 3)
                        .arg(status_));
        drawn_ = true;
    }
    bool enabled_;
    bool drawn_ = false;
    int percent_ = 0;
    QString status_;
};

// Opens the driver as the window's download button sets the line for the family: 8 data
// bits, 1 stop bit; LPC no parity and at most 57600 baud, STM32 even parity and at least
// 19200 baud. False (with the window's line and notice) when the port cannot be opened.
bool openDriver(TVokCommDriver &d, devices::Family family, const DownloadChoices &c, Engine &e)
{
    quint32 baud = c.baud.chosen() ? c.baud.bps() : kBaudRates[br9600];
    // The LPC2000 entries keep their 57600 limit; the entry for any part takes the list's
    // rates (the Cortex-M boot loaders run from a 12 MHz oscillator that autobauds to 115200).
    if (family == devices::Family::Lpc && !devices::lpcAnyPart(c.device))
        baud = std::min(baud, kBaudRates[br57600]);
    if (family == devices::Family::Stm32) baud = std::max(baud, kBaudRates[br19200]);
    d.setComPort(TComPortNumber(c.port));
    d.setComPortRate(baud);
    d.setComPortDataBits(db8BITS);
    d.setComPortStopBits(sb1BITS);
    d.setComPortParity(family == devices::Family::Stm32 ? ptEVEN : ptNONE);
    d.BufferedCount = 0;
    // The STM32 engine goes on from each answer at once and the board's thread has nothing
    // else to serve: the driver waits for the answers in its own read (signals, time-outs and
    // a stop still run within kWaitInReadMs). The LPC engine also goes on from pauses of its
    // own timers, which such a wait would hold back.
    d.WaitInReadMs = family == devices::Family::Stm32 ? kWaitInReadMs : 0;
    if (d.Connect()) return true;
    const QString reason = d.lastError();
    if (!reason.isEmpty()) emit e.line(texts::portOpenFailedLine(reason));
    emit e.notice(texts::portOpenFailedFor(c.portName, reason));
    return false;
}

// What the boards of a run share with the main thread. Everything here is guarded by the
// run's own lock (not by Qt's event queue, which a thread checker cannot see into); a board
// that ends writes a byte into the wake pipe and the main thread looks.
struct RunState
{
    std::mutex mutex;
    int wakeFd[2] = {-1, -1};
    qsizetype ended = 0;
    QString error; // an exception that left an engine
    ~RunState()
    {
        for (const int fd : wakeFd)
            if (fd >= 0) ::close(fd);
    }
    void wake() const
    {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd[1], &byte, 1);
    }
};

// One board of a download run: its port, the engine that writes it, and how it ended. The
// engine and its driver are made, run and deleted on the lane's own thread when several
// boards are written at once (the families' fixed pauses block only their own board), else
// on the main thread. Message lines go straight from there to the output.
class Lane
{
public:
    int device = 0;
    devices::Family family = devices::Family::Stm32;
    QString file;
    QString given;     // --port as given
    int portIndex = 0; // COMn - 1
    QString portName;  // what the STC engine opens: COMn or the device path
    DownloadChoices choices;
    QString prefix;                 // before each output line: the port when several run
    ProgressLine *progress = nullptr; // only for a single board on the main thread
    RunState *state = nullptr;
    std::unique_ptr<QThread> thread;
    int stopFd[2] = {-1, -1}; // the main thread asks the lane's thread to stop

    // Under state->mutex once the lane runs.
    bool ended = false;
    DownloadResult result = DownloadResult::Failed;
    QString chip;
    double seconds = 0;
    QString uniqueId;    // the engine's typed report of the chip's unique id
    QString lastMessage; // the last message line
    QString started;     // ISO 8601, when the board's attempt began
    QString serial;      // the serial number written into this board's image
    std::unique_ptr<QTemporaryFile> serialImage; // the image with it, as S-records

    ~Lane()
    {
        for (const int fd : stopFd)
            if (fd >= 0) ::close(fd);
    }

    // On the lane's thread: makes the driver and the engine and starts the download.
    void setUp()
    {
        switch (family) {
        case devices::Family::Stm32:
            driver_ = new TVokCommDriver(nullptr);
            engine_ = new Stm32Engine(driver_);
            break;
        case devices::Family::Lpc:
            driver_ = new TVokCommDriver(nullptr);
            engine_ = new LpcEngine(driver_);
            break;
        case devices::Family::Stc:
            engine_ = new StcEngine;
            break;
        case devices::Family::StcSeries:
            engine_ = new StcSeriesEngine;
            break;
        }
        if (stopFd[0] >= 0) {
            stopNotifier_ = new QSocketNotifier(stopFd[0], QSocketNotifier::Read);
            QObject::connect(stopNotifier_, &QSocketNotifier::activated, engine_, [this] {
                char bytes[8];
                [[maybe_unused]] const ssize_t n = ::read(stopFd[0], bytes, sizeof bytes);
                stop();
            });
        }
        Engine *e = engine_;
        const auto print = [this](FILE *f, const QString &text) {
            if (progress) progress->clear();
            writeText(f, prefix + text + QLatin1Char('\n'));
        };
        const auto remember = [this](const QString &t) {
            const std::lock_guard lock(state->mutex);
            lastMessage = t;
        };
        QObject::connect(e, &Engine::line, e, [print, remember](const QString &t) {
            remember(t);
            print(stdout, t);
        });
        QObject::connect(e, &Engine::firstLine, e, [print, remember](const QString &t) {
            remember(t);
            print(stdout, t);
        });
        QObject::connect(e, &Engine::hint, e, [print](const QString &t) {
            print(stderr, QStringLiteral("tramelo: %1").arg(t));
        });
        QObject::connect(e, &Engine::notice, e, [print](const QString &t) {
            print(stderr, QStringLiteral("Tramelo: %1").arg(QString(t).replace('\r', ' ')));
        });
        if (progress) {
            QObject::connect(e, &Engine::status, e, [this](const QString &t) { progress->status(t); });
            QObject::connect(e, &Engine::progress, e,
                             [this](int value, int max) { progress->progress(value, max); });
        }
        QObject::connect(e, &Engine::finished, e, [this](DownloadResult r) { end(r); });
        {
            const std::lock_guard lock(state->mutex);
            started = QDateTime::currentDateTime().toOffsetFromUtc(
                QDateTime::currentDateTime().offsetFromUtc()).toString(Qt::ISODate);
        }
        clock_.start();
        try {
            if (driver_ && !openDriver(*driver_, family, choices, *e)) {
                end(DownloadResult::PortNotOpened);
                return;
            }
            e->start(choices);
        } catch (const std::exception &ex) {
            if (choices.sharedPower) choices.sharedPower->leave(choices.powerTicket);
            const std::lock_guard lock(state->mutex);
            state->error = QString::fromLocal8Bit(ex.what());
            if (!ended) {
                ended = true;
                ++state->ended;
            }
            state->wake();
        }
    }

    // On the lane's thread: ends the download the way closing the window does: the STC
    // engine stops its port, the shared driver closes.
    void stop()
    {
        // The STC engines hold their own ports.
        if (engine_ && !driver_) engine_->cancel();
        if (driver_) driver_->Disconnect();
    }

    // On the lane's thread: what a board that did not end got to, then its objects go.
    void tearDown()
    {
        {
            const std::lock_guard lock(state->mutex);
            if (!ended && engine_) {
                chip = engine_->chipFound();
                uniqueId = engine_->uniqueId();
                seconds = double(clock_.nsecsElapsed()) / 1e9;
            }
        }
        // A download stopped by a signal or the watchdog says nothing more as it goes.
        if (engine_) QObject::disconnect(engine_, nullptr, nullptr, nullptr);
        if (engine_ && engine_->running()) engine_->cancel();
        delete stopNotifier_;
        delete engine_;
        delete driver_;
        stopNotifier_ = nullptr;
        engine_ = nullptr;
        driver_ = nullptr;
    }

private:
    void end(DownloadResult r)
    {
        // The port goes at once; the engine's own objects go with the lane.
        if (driver_) driver_->Disconnect();
        // A board that ended before its chip was to be reset is not waited for.
        if (choices.sharedPower) choices.sharedPower->leave(choices.powerTicket);
        const QString found = engine_ ? engine_->chipFound() : QString();
        const QString uid = engine_ ? engine_->uniqueId() : QString();
        const std::lock_guard lock(state->mutex);
        if (ended) return;
        ended = true;
        result = r;
        chip = found;
        uniqueId = uid;
        seconds = double(clock_.nsecsElapsed()) / 1e9;
        ++state->ended;
        state->wake();
    }

    Engine *engine_ = nullptr;
    TVokCommDriver *driver_ = nullptr;
    QSocketNotifier *stopNotifier_ = nullptr;
    QElapsedTimer clock_;
};

// A board's own thread: makes the lane's objects, serves them until the run ends, deletes them.
class LaneThread : public QThread
{
public:
    explicit LaneThread(Lane &lane) : lane_(lane) {}

protected:
    void run() override
    {
        lane_.setUp();
        exec();
        // The run's lock orders the main thread's quit() (which wakes this thread's event
        // loop) before what this thread does next, and this thread's last writes before the
        // main thread's use of the lane after wait(): a thread checker sees into neither Qt's
        // wake-up nor its wait.
        { const std::lock_guard lock(lane_.state->mutex); }
        lane_.tearDown();
        { const std::lock_guard lock(lane_.state->mutex); }
    }

private:
    Lane &lane_;
};

QString resultName(DownloadResult result)
{
    switch (result) {
    case DownloadResult::Written:
        return QCoreApplication::translate("cli", "已写入");
    case DownloadResult::RefusedFile:
        return QCoreApplication::translate("cli", "文件不可用");
    case DownloadResult::PortNotOpened:
        return QCoreApplication::translate("cli", "串口未打开");
    case DownloadResult::Failed:
        break;
    }
    return QCoreApplication::translate("cli", "失败");
}

int download(const QStringList &args)
{
    DownloadOptions o;
    if (const int rc = parseDownload(args, o); rc != kExitOk)
        return rc == kHelpShown ? kExitOk : rc;

    QList<BoardOption> boards;
    for (const QString &port : std::as_const(o.ports))
        boards << BoardOption{o.device, port, o.file};
    boards += o.boards;

    // The ports: COMn as in the window, or a device path given to a COM name that no other
    // port of the run uses.
    std::vector<std::unique_ptr<Lane>> lanes;
    QList<int> taken;
    QStringList given;
    for (const BoardOption &board : std::as_const(boards)) {
        auto lane = std::make_unique<Lane>();
        lane->device = devices::findDevice(board.device);
        if (lane->device < 0)
            return usage(
                QCoreApplication::translate("cli", "未知或不唯一的器件: %1").arg(board.device));
        lane->family = *devices::familyAt(lane->device);
        lane->file = board.file;
        lane->given = board.port;
        if (given.contains(board.port))
            return usage(QCoreApplication::translate("cli", "串口重复: %1").arg(board.port));
        given << board.port;
        if (board.port.startsWith('/')) {
            lane->portIndex = -1;
            lane->portName = board.port;
        } else {
            const QString p = board.port.toUpper();
            bool ok = p.startsWith("COM");
            const int index = ok ? p.mid(3).toInt(&ok) - 1 : -1;
            if (!ok || index < 0 || index >= kComNames)
                return usage(QCoreApplication::translate("cli", "--port 取 COM1..COM8 或设备路径"));
            if (taken.contains(index))
                return usage(QCoreApplication::translate("cli", "串口重复: %1").arg(board.port));
            lane->portIndex = index;
            lane->portName = QStringLiteral("COM%1").arg(index + 1);
            taken << index;
        }
        lanes.push_back(std::move(lane));
    }
    for (auto &lane : lanes) {
        if (lane->portIndex >= 0) continue;
        int free = 0;
        while (taken.contains(free))
            ++free;
        taken << free;
        lane->portIndex = free;
        platform::setPortAlias(QStringLiteral("COM%1").arg(free + 1), lane->portName);
    }
    const bool several = lanes.size() > 1;
    // One device under two names (a symbolic link and its target, COMn and its path): the
    // second open would reset the board the first one is writing.
    for (size_t i = 0; i < lanes.size(); ++i) {
        const auto id = platform::deviceIdentity(lanes[i]->portName);
        for (size_t k = 0; id && k < i; ++k)
            if (platform::deviceIdentity(lanes[k]->portName) == id)
                return usage(QCoreApplication::translate("cli", "串口重复: %1 与 %2 是同一个设备")
                                 .arg(lanes[k]->given, lanes[i]->given));
    }
    // Options of some families only: each applies to the boards whose family takes it, and
    // a run where no board takes it is refused.
    const auto isStm32 = [](int d) { return devices::familyAt(d) == devices::Family::Stm32; };
    const auto isStc89 = [](int d) { return devices::familyAt(d) == devices::Family::Stc; };
    const auto isSeries = [](int d) { return devices::familyAt(d) == devices::Family::StcSeries; };
    const auto isLpc = [](int d) { return devices::familyAt(d) == devices::Family::Lpc; };
    const auto verifies = [](int d) {
        return devices::familyAt(d) == devices::Family::Stm32 ||
               devices::familyAt(d) == devices::Family::Lpc;
    };
    const struct
    {
        bool given;
        const char *option, *devices;
        std::function<bool(int)> takes;
        std::function<void(DownloadChoices &)> drop;
    } familyOptions[] = {
        {o.verify, "--verify", "STM32, LPC", verifies,
         [](DownloadChoices &c) { c.verify = false; }},
        {o.unprotect, "--unprotect", "STM32", isStm32,
         [](DownloadChoices &c) { c.unprotect = false; }},
        {o.writeUnprotect, "--write-unprotect", "STM32", isStm32,
         [](DownloadChoices &c) { c.writeUnprotect = false; }},
        {o.protect, "--protect", "STM32", isStm32, [](DownloadChoices &c) { c.protect = false; }},
        {o.sixT, "--6t", "stc89", isStc89, [](DownloadChoices &c) { c.sixT = false; }},
        {o.clockMhz > 0, "--clock", "stc15, stc8", devices::trimsClock,
         [](DownloadChoices &c) { c.clockMhz = 0; }},
        {!o.crystalKhz.isEmpty(), "--crystal", "LPC", isLpc,
         [](DownloadChoices &c) { c.crystalKhz.clear(); }},
        {o.eraseEeprom || o.resetPin || o.lowVoltageReset, "--option", "stc12, stc15, stc8",
         isSeries,
         [](DownloadChoices &c) {
             c.eraseEeprom.reset();
             c.resetPinEnabled.reset();
             c.lowVoltageReset.reset();
         }},
    };
    for (const auto &rule : familyOptions) {
        if (!rule.given) continue;
        QStringList names;
        bool anyTakes = false;
        for (size_t i = 0; i < lanes.size(); ++i) {
            anyTakes = anyTakes || rule.takes(lanes[i]->device);
            names << boards[qsizetype(i)].device;
        }
        if (!anyTakes)
            return usage(QCoreApplication::translate("cli", "%1 只用于 %2 器件: %3")
                             .arg(QLatin1String(rule.option), QLatin1String(rule.devices),
                                  names.join(QStringLiteral(", "))));
    }
    // A fast rate goes to every board of the run: only STM32 boot loaders take it.
    QStringList slowOnly;
    for (size_t i = 0; i < lanes.size(); ++i)
        if (!isStm32(lanes[i]->device)) slowOnly << boards[qsizetype(i)].device;
    if (const QString why = fastRateRefusal(o.baud, slowOnly); !why.isEmpty()) return usage(why);

    const EndSignals endSignals;
    DownloadChoices choices;
    choices.baud = o.baud;
    choices.reset = !o.noReset;
    choices.restartWhenDone = !o.noReset;
    choices.resetMs = o.resetMs.isEmpty() ? QStringLiteral("680") : o.resetMs;
    choices.timeout = o.timeout.isEmpty() ? QStringLiteral("5") : o.timeout;
    choices.sixT = o.sixT;
    choices.verify = o.verify;
    choices.unprotect = o.unprotect;
    choices.writeUnprotect = o.writeUnprotect;
    choices.protect = o.protect;
    choices.clockMhz = o.clockMhz;
    choices.crystalKhz = o.crystalKhz;
    choices.eraseEeprom = o.eraseEeprom;
    choices.resetPinEnabled = o.resetPin;
    choices.lowVoltageReset = o.lowVoltageReset;
    applyEntryOptions(o.entry, choices);
    choices.binaryAddress = o.binaryAddress;
    if (o.unprotect)
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::unprotectNotice()));

    bool stc = false;
    for (const auto &lane : lanes) {
        try {
            if (const QString bad = unusableFile(lane->family, lane->file, o.binaryAddress);
                !bad.isEmpty()) {
                writeText(stderr, QStringLiteral("tramelo: %1\n").arg(bad));
                return kExitUsage;
            }
        } catch (const std::exception &e) {
            writeText(stderr,
                      QStringLiteral("tramelo: %1\n").arg(QString::fromLocal8Bit(e.what())));
            return kExitFailed;
        }
        stc = stc || lane->family == devices::Family::Stc;
    }
    if (stc) {
        if (const QString why = StcEngine::installDecoder(); !why.isEmpty())
            writeText(stderr, QStringLiteral("tramelo: %1\n").arg(why));
    }

    // The station's record is opened before any board is touched.
    std::unique_ptr<report::Report> record;
    if (!o.report.isEmpty()) {
        QString why;
        record = report::Report::open(o.report, why);
        if (!record) {
            writeText(stderr, QStringLiteral("tramelo: %1\n")
                                  .arg(QCoreApplication::translate("cli", "%1: 无法打开报告文件: %2")
                                           .arg(o.report, why)));
            return kExitUsage;
        }
    }

    // Serial numbers: each board's image with its number, as S-records in a file of its own,
    // made before any board is touched; the numbers are taken under the counter's lock.
    if (o.serialAddress) {
        const int width = o.serialDigits == 0 ? 4 : o.serialDigits;
        QList<firmware::Image> images;
        QList<quint64> entries;
        for (const auto &lane : lanes) {
            const quint64 base = lane->family == devices::Family::Stm32 ? stm32::kFlashStart : 0;
            firmware::Loaded f = firmware::load(lane->file, o.binaryAddress.value_or(base));
            if (!f.ok()) {
                writeText(stderr, QStringLiteral("tramelo: %1: %2\n").arg(lane->file, f.reason));
                return kExitUsage;
            }
            if (f.image.holdsAny(*o.serialAddress, quint64(width))) {
                writeText(stderr, QStringLiteral("tramelo: %1\n")
                                      .arg(QCoreApplication::translate(
                                               "cli", "%1: 序列号的地址 %2 处已有映像的数据")
                                               .arg(lane->file,
                                                    firmware::hexAddress(*o.serialAddress))));
                return kExitUsage;
            }
            images << f.image;
            entries << f.entry.value_or(0);
        }
        const QString state =
            o.serialState.isEmpty() ? o.report + QStringLiteral(".serial") : o.serialState;
        QString why;
        const std::optional<QList<quint64>> numbers = report::SerialCounter::take(
            state, o.serialStart, o.serialStep, int(lanes.size()), why);
        if (!numbers) {
            writeText(stderr,
                      QStringLiteral("tramelo: %1\n")
                          .arg(QCoreApplication::translate("cli", "%1: 无法取得序列号: %2")
                                   .arg(state, why)));
            return kExitUsage;
        }
        for (qsizetype i = 0; i < qsizetype(lanes.size()); ++i) {
            Lane &lane = *lanes[size_t(i)];
            const std::optional<QByteArray> bytes = report::serialBytes((*numbers)[i], o.serialDigits);
            if (!bytes || !images[i].place(*o.serialAddress, *bytes)) {
                writeText(stderr, QStringLiteral("tramelo: %1\n")
                                      .arg(QCoreApplication::translate("cli", "序列号 %1 放不下")
                                               .arg((*numbers)[i])));
                return kExitUsage;
            }
            lane.serial = QString::number((*numbers)[i]);
            lane.serialImage = std::make_unique<QTemporaryFile>(
                QDir::temp().filePath(QStringLiteral("tramelo-XXXXXX.srec")));
            const QByteArray text = firmware::sRecordText(images[i], quint32(entries[i]));
            if (text.isEmpty() || !lane.serialImage->open() ||
                lane.serialImage->write(text) != text.size() || !lane.serialImage->flush()) {
                writeText(stderr, QStringLiteral("tramelo: %1\n")
                                      .arg(QCoreApplication::translate(
                                               "cli", "%1: 无法写出带序列号的映像")
                                               .arg(lane.file)));
                return kExitFailed;
            }
        }
    }

    ProgressLine progress(!several && isatty(STDERR_FILENO) == 1);
    int exitCode = -1;
    RunState state;
    if (::pipe2(state.wakeFd, O_CLOEXEC | O_NONBLOCK) != 0) {
        writeText(stderr, QStringLiteral("tramelo: %1\n")
                              .arg(QCoreApplication::translate("cli", "无法创建管道 (%1)")
                                       .arg(QString::fromLocal8Bit(::strerror(errno)))));
        return kExitFailed;
    }
    // Several boards share one power command (a hub or a supply feeds them all): it runs once,
    // when every board is ready for it, never while another board is being written.
    std::shared_ptr<boardentry::SharedPower> sharedPower;
    if (several && !choices.powerCycle.isEmpty())
        sharedPower = std::make_shared<boardentry::SharedPower>(
            choices.powerCycle, choices.powerCycleTimeoutMs, int(lanes.size()));
    for (auto &lanePtr : lanes) {
        Lane &lane = *lanePtr;
        lane.state = &state;
        lane.prefix = several ? lane.given + QStringLiteral(": ") : QString();
        lane.progress = several ? nullptr : &progress;
        lane.choices = choices;
        for (const auto &rule : familyOptions)
            if (!rule.takes(lane.device)) rule.drop(lane.choices);
        lane.choices.device = lane.device;
        lane.choices.file = lane.serialImage ? lane.serialImage->fileName()
                                             : QFileInfo(lane.file).absoluteFilePath();
        lane.choices.port = lane.portIndex;
        lane.choices.portName = lane.portName;
        lane.choices.sharedPower = sharedPower;
        lane.choices.powerTicket = int(&lanePtr - &lanes[0]);
        if (several) {
            if (::pipe2(lane.stopFd, O_CLOEXEC | O_NONBLOCK) != 0) return kExitFailed;
            lane.thread = std::make_unique<LaneThread>(lane);
            lane.thread->setObjectName(QStringLiteral("lane %1").arg(lane.given));
        }
    }
    // Asks every board that has not ended to stop; a board on the main thread stops at once.
    const auto stopAll = [&lanes, &sharedPower] {
        // A board waiting for the shared command stops waiting; the command does not run.
        if (sharedPower) sharedPower->abandon();
        for (auto &lane : lanes) {
            if (!lane->thread) {
                lane->stop();
                continue;
            }
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(lane->stopFd[1], &byte, 1);
        }
    };

    QSocketNotifier woken(state.wakeFd[0], QSocketNotifier::Read);
    QObject::connect(&woken, &QSocketNotifier::activated, &woken, [&] {
        char bytes[64];
        while (::read(state.wakeFd[0], bytes, sizeof bytes) > 0) {
        }
        const std::lock_guard lock(state.mutex);
        if (!state.error.isEmpty()) {
            writeText(stderr, QStringLiteral("tramelo: %1\n").arg(state.error));
            state.error.clear();
            if (exitCode < 0) exitCode = kExitFailed;
            QCoreApplication::exit(0);
        }
        if (state.ended == qsizetype(lanes.size())) QCoreApplication::exit(0);
    });
    QSocketNotifier signalled(endSignals.readFd(), QSocketNotifier::Read);
    signalled.setEnabled(endSignals.installed());
    QObject::connect(&signalled, &QSocketNotifier::activated, &signalled, [&] {
        const int sig = EndSignals::take();
        if (sig == 0) return;
        signalled.setEnabled(false);
        exitCode = 128 + sig;
        progress.clear();
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::downloadEnded(sig)));
        stopAll();
        QCoreApplication::exit(0);
    });
    QTimer::singleShot(kWatchdogMs, &woken, [&] {
        writeText(stderr, QStringLiteral("tramelo: %1\n")
                              .arg(QCoreApplication::translate("cli", "下载一小时内没有结束")));
        exitCode = kExitFailed;
        QCoreApplication::exit(0);
    });
    // Every board starts from the event loop: one on the main thread, several each on its own.
    QTimer::singleShot(0, &woken, [&lanes] {
        for (auto &lane : lanes) {
            if (lane->thread)
                lane->thread->start();
            else
                lane->setUp();
        }
    });
    QCoreApplication::exec();
    progress.clear();

    // Boards still running (a signal, the watchdog) are stopped; each lane's objects go on
    // its own thread, then the thread.
    stopAll();
    for (auto &lane : lanes) {
        if (lane->thread) {
            {
                const std::lock_guard lock(state.mutex);
                lane->thread->quit();
            }
            lane->thread->wait();
            const std::lock_guard lock(state.mutex);
        } else {
            lane->tearDown();
        }
    }
    // An error that left an engine after its board had ended is said here at the latest.
    if (!state.error.isEmpty()) {
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(state.error));
        if (exitCode < 0) exitCode = kExitFailed;
    }
    if (exitCode < 0) {
        exitCode = kExitOk;
        for (const auto &lane : lanes)
            exitCode = std::max(exitCode, lane->ended ? exitStatus(lane->result) : kExitFailed);
    }
    if (record) {
        QList<report::Row> rows;
        for (const auto &lane : lanes) {
            report::Row row;
            row.time = lane->started;
            row.port = lane->given;
            row.device = boards[qsizetype(&lane - &lanes[0])].device;
            row.chip = lane->chip;
            row.uniqueId = lane->uniqueId;
            row.file = QFileInfo(lane->file).absoluteFilePath();
            row.serial = lane->serial;
            report::describeFile(row.file, row.sha256, row.size);
            row.result = report::resultKey(exitStatus(lane->result), lane->ended);
            row.seconds = lane->seconds;
            row.message = lane->lastMessage;
            rows << row;
        }
        if (QString why; !record->append(rows, why)) {
            writeText(stderr, QStringLiteral("tramelo: %1\n")
                                  .arg(QCoreApplication::translate("cli", "%1: 无法写入报告: %2")
                                           .arg(o.report, why)));
            exitCode = std::max(exitCode, kExitFailed);
        }
    }
    if (several) {
        writeText(stdout, QStringLiteral("\n%1 %2 %3 %4\n")
                              .arg(QCoreApplication::translate("cli", "串口"), -20)
                              .arg(QCoreApplication::translate("cli", "芯片"), -22)
                              .arg(QCoreApplication::translate("cli", "结果"), -16)
                              .arg(QCoreApplication::translate("cli", "秒")));
        for (const auto &lane : lanes)
            writeText(stdout, QStringLiteral("%1 %2 %3 %4\n")
                                  .arg(lane->given, -20)
                                  .arg(lane->chip.isEmpty() ? QStringLiteral("-") : lane->chip, -22)
                                  .arg(lane->ended ? resultName(lane->result)
                                                   : QCoreApplication::translate("cli", "未结束"),
                                       -16)
                                  .arg(lane->seconds, 7, 'f', 2));
    }
    return exitCode;
}

int ports()
{
    // Which COM names answer to each device: the settings file's [Ports] and the order.
    const QList<platform::PortInfo> present = platform::presentPorts();
    QHash<QString, QStringList> names;
    for (int n = 1; n <= 8; ++n) {
        const QString com = QStringLiteral("COM%1").arg(n);
        const QString path = platform::resolvePortName(com, present);
        if (!path.isEmpty()) names[path] << com;
    }
    QStringList paths;
    for (const platform::PortInfo &p : present)
        paths << p.path;
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        if (!paths.contains(it.key())) paths << it.key();
    for (const QString &path : paths) {
        const QString com = names.value(path).join(',');
        writeText(stdout, QStringLiteral("%1\t%2\t%3\n")
                        .arg(com.isEmpty() ? QStringLiteral("-") : com, path,
                             platform::describePort(path, present)));
    }
    return kExitOk;
}

} // namespace

bool takeValue(const QStringList &args, int &i, QString &into)
{
    // An option name where the value should be (read --port --no-reset) is a usage error.
    if (i + 1 >= args.size() || args[i + 1].startsWith(QLatin1String("--"))) return false;
    into = args[++i];
    return true;
}

std::optional<quint32> addressNumber(const QString &text)
{
    bool ok = false;
    const qulonglong v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                             ? text.mid(2).toULongLong(&ok, 16)
                             : text.toULongLong(&ok, 10);
    if (!ok || v > 0xFFFFFFFFull) return std::nullopt;
    return quint32(v);
}

BaudRate baudOf(const QString &text)
{
    bool ok = false;
    const BaudRate rate = BaudRate::bitsPerSecond(text.toUInt(&ok));
    // Digits only, as written in the lists ("+9600" and "09600" are not rates).
    if (!ok || text != QString::number(rate.bps())) return {};
    return rate.listIndex() >= 0 || rate.fast() ? rate : BaudRate();
}

QString fastRateRefusal(BaudRate rate, const QStringList &others)
{
    if (!rate.fast() || others.isEmpty()) return {};
    return QCoreApplication::translate("cli",
                                       "--baud %1 只用于 STM32 器件 (%2 取 110 到 115200 的波特率: "
                                       "110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 "
                                       "57600 115200)")
        .arg(rate.bps())
        .arg(others.join(QStringLiteral(", ")));
}

bool wantsCommandLine(int argc, char **argv)
{
    return argc > 1 && std::strcmp(argv[1], "--demo") != 0;
}

int run(int argc, char **argv)
{
    // Standard error carries the program's own lines; the toolkit's notes about its
    // environment (no XDG_RUNTIME_DIR on a production station) would only confuse scripts.
    if (qEnvironmentVariableIsEmpty("TRAMELO_DEBUG"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                writeText(stderr, QStringLiteral("tramelo: %1\n").arg(msg));
        });
    // Arguments are the file system's bytes: a file name that is not UTF-8 (the FILE of
    // --board DEV,PORT,FILE included) is reached through files::argumentPath().
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        const qsizetype second = arg.indexOf(',', arg.indexOf(',') + 1);
        if (i > 1 && std::strcmp(argv[i - 1], "--board") == 0 && second > 0)
            args << QString::fromUtf8(arg.left(second + 1)) +
                        files::argumentPath(arg.mid(second + 1));
        else
            args << files::argumentPath(arg);
    }
    if (args[0] == "--help" || args[0] == "-h") {
        printHelp();
        return kExitOk;
    }
    if (args[0] == "--version") {
        std::printf("tramelo %s\n", "1.60");
        return kExitOk;
    }
    if (args[0] == "simulate") return simulate(args.mid(1));
    // No window and no display: the engines run under the core application. Its event loop
    // serves only the ports, timers and signal pipes of this process, and Qt's own dispatcher
    // wakes for each answer of a boot loader with less work than GLib's.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);
    if (args[0] != "download" && args[0] != "ports" && args[0] != "read")
        return usage(QCoreApplication::translate("cli", "未知命令: %1").arg(args[0]));
    if (args[0] == "ports")
        return args.size() == 1 ? ports()
                                : usage(QCoreApplication::translate("cli", "ports 不带参数"));
    if (args[0] == "read") return readFlash(args.mid(1));
    return download(args.mid(1));
}

void writeText(FILE *f, const QString &text)
{
    static std::mutex mutex;
    const QByteArray bytes = text.toUtf8();
    const std::lock_guard guard(mutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
    std::fflush(f);
}

} // namespace cli
