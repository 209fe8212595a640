#include "cli/Cli.h"
#include "cli/EndSignals.h"
#include "cli/Messages.h"
#include "cli/Read.h"
#include "cli/Simulate.h"

#include "app/Language.h"
#include "app/Main.h"
#include "app/STC.h"
#include "hexlib/StcHexLib.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/LpcImage.h"
#include "logic/StcFrames.h"
#include "logic/Stm32Image.h"

#include "app/Ui.h"
#include "platform/PortNames.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace cli {

namespace {

constexpr int kWatchdogMs = 60 * 60 * 1000; // no download takes an hour
constexpr int kProgressWidth = 30;

const char kUsage[] =
    "Usage: tramelo download --device DEV --port PORT [--baud RATE] [--no-reset]\n"
    "                        [--reset-ms N] [--timeout N] [--6t] [--verify] [--unprotect]\n"
    "                        FILE\n"
    "       tramelo read --device stm32 --port PORT [--baud RATE] [--no-reset]\n"
    "                    [--address A] [--length N] FILE\n"
    "       tramelo ports\n"
    "       tramelo simulate --device DEV [--id ID] [--link PATH] [--dump FILE] [--baud N]\n"
    "       tramelo --demo\n"
    "       tramelo --help | --version\n";

const char kHelp[] =
    "Tramelo programs microcontroller boards through their serial boot loaders.\n"
    "Started without arguments it opens its window. The command line reads only the [Ports]\n"
    "section of the settings file (the COM names' device paths) and writes nothing to it.\n"
    "\n"
    "  download      write FILE (binary or Intel HEX) to the board\n"
    "    --device DEV   an entry of the device list, case-insensitive, or the start of one:\n"
    "                   stm32 (any STM32: the chip says which), lpc2214 lpc2292 lpc2131\n"
    "                   lpc2132 lpc2136 lpc2138,\n"
    "                   stc89c51rc stc89c52rc stc89c55rd+ stc89c516rd+\n"
    "    --port PORT    COM1..COM8 (resolved as in the window) or a device path\n"
    "    --baud RATE    110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600\n"
    "                   115200 (default 9600; STM32 uses at least 19200, LPC at most 57600)\n"
    "    --no-reset     do not pulse RTS/DTR to reset the board into its boot loader\n"
    "    --reset-ms N   length of the STC reset pulse, 1-999 ms (default 680)\n"
    "    --timeout N    1-99: STC connect time-out in s, LPC pause factor (default 5)\n"
    "    --6t           STC: set the double-speed (6T) clock mode instead of 12T\n"
    "    --verify       STM32: read every block back and compare (rewritten up to 3 times)\n"
    "    --unprotect    STM32: remove read-out protection first; the chip erases its whole\n"
    "                   flash\n"
    "  read          STM32: read the flash into FILE (Intel HEX when it ends in .hex); the\n"
    "                file is replaced only when the whole read succeeded\n"
    "    --baud RATE    a rate of the list above (default 57600; at least 19200)\n"
    "    --no-reset     do not pulse RTS/DTR\n"
    "    --address A, --length N   the range (default: the whole flash), decimal or 0x hex\n"
    "  ports         list the serial ports present and the COM names they answer to\n"
    "  simulate      serve a virtual board of DEV's family on a new pseudo-terminal until\n"
    "                SIGINT, SIGTERM, SIGHUP or SIGQUIT; prints its path, then one line per\n"
    "                command it gets\n"
    "    --id ID        STM32: the product id the board answers (hex: 410 414 440 422 413\n"
    "                   460), which chooses its line; default 414\n"
    "    --link PATH    also name the terminal by this symbolic link (an old link of a board\n"
    "                   that has ended is replaced)\n"
    "    --dump FILE    write the board's flash to FILE at the end (opened at the start; a\n"
    "                   symbolic link is not followed)\n"
    "    --baud N       pace the board's answers like a UART at N baud\n"
    "  --demo        open the window with a virtual STM32 board as COM1 and a virtual\n"
    "                LPC2136 board as COM2 (for the terminal page)\n"
    "\n"
    "Exit status: 0 written, 1 failed, 2 usage error or unusable file, 3 port not opened,\n"
    "128+n ended by signal n (SIGHUP, SIGINT, SIGTERM).\n";

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

struct DownloadOptions
{
    QString device, port, file;
    int baudIndex = -1;
    bool noReset = false, sixT = false, verify = false, unprotect = false;
    QString resetMs, timeout;
};

// Numbers of the numeric fields: digits only, within the field's range.
bool validNumber(const QString &text, int max)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    return ok && v >= 1 && v <= max && text == QString::number(v);
}

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
            if (!value(o.device)) return usage("--device needs a value");
        } else if (a == "--port") {
            if (!value(o.port)) return usage("--port needs a value");
        } else if (a == "--baud") {
            if (!value(v)) return usage("--baud needs a value");
            o.baudIndex = baudIndexOf(v); // the last --baud counts, and must be of the list
            if (o.baudIndex < 0) return usage(QStringLiteral("unsupported rate: %1").arg(v));
        } else if (a == "--no-reset") {
            o.noReset = true;
        } else if (a == "--reset-ms") {
            if (!value(o.resetMs) || !validNumber(o.resetMs, 999))
                return usage("--reset-ms takes a number from 1 to 999");
        } else if (a == "--timeout") {
            if (!value(o.timeout) || !validNumber(o.timeout, 99))
                return usage("--timeout takes a number from 1 to 99");
        } else if (a == "--6t") {
            o.sixT = true;
        } else if (a == "--verify") {
            o.verify = true;
        } else if (a == "--unprotect") {
            o.unprotect = true;
        } else if (a.startsWith("-") && a != "-") {
            return usage(QStringLiteral("unknown option: %1").arg(a));
        } else if (o.file.isEmpty()) {
            o.file = a;
        } else {
            return usage(QStringLiteral("more than one file: %1").arg(a));
        }
    }
    if (o.device.isEmpty()) return usage("--device is missing");
    if (o.port.isEmpty()) return usage("--port is missing");
    if (o.file.isEmpty()) return usage("the firmware file is missing");
    if (o.unprotect && devices::familyAt(devices::findDevice(o.device)) != devices::Family::Stm32)
        return usage(QStringLiteral("--unprotect is for STM32 devices: %1").arg(o.device));
    return kExitOk;
}

// The file is checked with the family's own loader before the board is touched, so a file
// that cannot be used never starts an erase.
QString unusableFile(devices::Family family, const QString &path)
{
    const QFileInfo info(path);
    if (firmwarefile::isSymlinkLoop(path)) return messages::symlinkLoop(path);
    if (!info.exists()) return messages::noSuchFile(path);
    if (!info.isFile()) return messages::notRegularFile(path);
    if (!info.isReadable()) return messages::notReadable(path);
    switch (family) {
    case devices::Family::Lpc: {
        const lpc::LoadResult r = lpc::loadImage(path);
        if (!r.ok()) return QStringLiteral("%1: %2").arg(path, r.statusText);
        break;
    }
    case devices::Family::Stm32: {
        // The chip is not known yet: its line's HEX limit applies once it has answered.
        const stm32::LoadResult r = stm32::loadImage(path, stm32::kImageCapacity);
        if (!r.ok()) return QStringLiteral("%1: %2").arg(path, r.statusText);
        break;
    }
    case devices::Family::Stc: {
        // The same check as the window's, before the decoding library reads the file.
        if (const QString why = firmwarefile::decoderRefusal(path); !why.isEmpty())
            return QStringLiteral("%1: %2").arg(path, why);
        std::vector<quint8> image(stc::kImageBufferSize, 0);
        hexlib::LoadNotes notes;
        hexlib::decodeHexFile(path, image.data(), &notes);
        if (const QString note = notes.statusText(); !note.isEmpty())
            writeText(stderr, QStringLiteral("tramelo: %1\n").arg(note));
        if (!stc::imageLength(QByteArrayView(reinterpret_cast<const char *>(image.data()),
                                             qsizetype(image.size()))))
            return messages::noDataInImage(path);
        break;
    }
    }
    return {};
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

int download(const QStringList &args)
{
    DownloadOptions o;
    if (const int rc = parseDownload(args, o); rc != kExitOk)
        return rc == kHelpShown ? kExitOk : rc;

    const int device = devices::findDevice(o.device);
    if (device < 0) return usage(QStringLiteral("unknown or ambiguous device: %1").arg(o.device));

    // The port: COMn as in the window, or a device path given to COM1 for this run.
    int portIndex = 0;
    if (o.port.startsWith('/')) {
        platform::setPortAlias(QStringLiteral("COM1"), o.port);
    } else {
        const QString p = o.port.toUpper();
        bool ok = p.startsWith("COM");
        portIndex = ok ? p.mid(3).toInt(&ok) - 1 : -1;
        if (!ok || portIndex < 0 || portIndex > 7)
            return usage(QStringLiteral("--port takes COM1..COM8 or a device path"));
    }

    const EndSignals endSignals;
    ApplicationWindows windows = CreateApplicationWindows(false);
    TMainForm &w = *windows.main;
    DownloadChoices choices;
    choices.device = device;
    choices.port = portIndex;
    choices.baudIndex = o.baudIndex;
    choices.reset = !o.noReset;
    choices.resetMs = o.resetMs;
    choices.timeout = o.timeout;
    choices.sixT = o.sixT;
    choices.file = QFileInfo(o.file).absoluteFilePath();
    choices.verify = o.verify;
    choices.unprotect = o.unprotect;
    w.SetDownloadChoices(choices);
    if (o.unprotect)
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::unprotectNotice()));

    try {
        if (const QString bad = unusableFile(*devices::familyAt(device), o.file); !bad.isEmpty()) {
            writeText(stderr, QStringLiteral("tramelo: %1\n").arg(bad));
            return kExitUsage;
        }
    } catch (const std::exception &e) {
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(ui::fromStd(e.what())));
        return kExitFailed;
    }

    ProgressLine progress(isatty(STDERR_FILENO) == 1);
    int exitCode = -1;
    ui::setMessageHandler([&](const ui::MessageRequest &r) {
        progress.clear();
        const QString text = QString(r.text).replace(QLatin1Char('\r'), QLatin1Char(' '));
        writeText(stderr, QStringLiteral("%1: %2\n").arg(r.caption, text));
    });
    ui::setFileHandler([](const ui::FileRequest &) { return QString(); });
    w.OnLine = [&](const QString &line) {
        progress.clear();
        writeText(stdout, line + QLatin1Char('\n'));
    };
    w.OnStatusText = [&](const QString &s) { progress.status(s); };
    QObject::connect(w.ProgressBar1, &QProgressBar::valueChanged, &w,
                     [&](int v) { progress.progress(v, w.ProgressBar1->maximum()); });
    w.OnDownloadEnded = [&](DownloadResult result) {
        if (exitCode < 0) exitCode = exitStatus(result);
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    };

    QSocketNotifier signalled(endSignals.readFd(), QSocketNotifier::Read);
    signalled.setEnabled(endSignals.installed());
    QObject::connect(&signalled, &QSocketNotifier::activated, &w, [&] {
        const int sig = EndSignals::take();
        if (sig == 0) return;
        signalled.setEnabled(false);
        exitCode = 128 + sig;
        progress.clear();
        writeText(stderr, QStringLiteral("tramelo: %1\n").arg(messages::downloadEnded(sig)));
        windows.stc->FormClose();
        w.ComPort_Close();
        QCoreApplication::exit(0);
    });

    QTimer::singleShot(0, &w, [&] {
        try {
            w.BitBtn1Click();
        } catch (const std::exception &e) {
            writeText(stderr, QStringLiteral("tramelo: %1\n").arg(ui::fromStd(e.what())));
            if (exitCode < 0) exitCode = kExitFailed;
            QCoreApplication::exit(0);
        }
    });
    QTimer::singleShot(kWatchdogMs, qApp, [&] {
        writeText(stderr, QStringLiteral("tramelo: the download did not end within an hour\n"));
        exitCode = kExitFailed;
        QCoreApplication::exit(0);
    });
    QCoreApplication::exec();
    progress.clear();
    ui::setMessageHandler(nullptr);
    ui::setFileHandler(nullptr);
    if (exitCode < 0) exitCode = kExitFailed;
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

int baudIndexOf(const QString &text)
{
    for (int k = 0; k < kBaudRateCount; ++k)
        if (text == QString::number(kBaudRates[k])) return k;
    return -1;
}

bool wantsCommandLine(int argc, char **)
{
    return argc > 1;
}

int run(int argc, char **argv)
{
    if (std::strcmp(argv[1], "--demo") == 0) return demo(argc, argv);
    // No display is needed: the window's controls run on Qt's offscreen platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Standard error carries the program's own lines; the toolkit's notes about its
    // environment (no XDG_RUNTIME_DIR on a production station) would only confuse scripts.
    if (qEnvironmentVariableIsEmpty("TRAMELO_DEBUG"))
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                writeText(stderr, QStringLiteral("tramelo: %1\n").arg(msg));
        });
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args[0] == "--help" || args[0] == "-h") {
        printHelp();
        return kExitOk;
    }
    if (args[0] == "--version") {
        std::printf("tramelo %s\n", "1.60");
        return kExitOk;
    }
    if (args[0] == "simulate") return simulate(args.mid(1));
    if (args[0] != "download" && args[0] != "ports" && args[0] != "read")
        return usage(QStringLiteral("unknown command: %1").arg(args[0]));
    int qtArgc = 1;
    ui::Application app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);
    if (args[0] == "ports") return args.size() == 1 ? ports() : usage("ports takes no arguments");
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
