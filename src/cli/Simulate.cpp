#include "cli/Simulate.h"

#include "app/Language.h"
#include "app/Main.h"
#include "app/Ui.h"
#include "cli/Cli.h"
#include "logic/Devices.h"
#include "platform/PortNames.h"
#include "sim/Board.h"
#include "sim/PtyPeer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli {

namespace {

constexpr int kMaxBaud = 4'000'000;
// The demonstration board's line: fast enough that the example downloads in about a second,
// slow enough that the progress bar can be watched.
constexpr int kDemoBaud = 115200;

// Bits one byte takes on the line of each family's boot loader: the STM32 boot loader runs
// its USART with even parity (8E1), the others 8N1.
int bitsPerByte(devices::Family family)
{
    return family == devices::Family::Stm32 ? 11 : 10;
}

// One line to f; the board's narrator prints from its own thread.
void print(FILE *f, const QString &text)
{
    writeText(f, text + QLatin1Char('\n'));
}

const char kSimulateUsage[] =
    "Usage: tramelo simulate --device DEV [--id ID] [--link PATH] [--dump FILE] [--baud N]\n"
    "  --device  a device of the list, or stc12, stc15, stc8 (STC12C5A60S2, STC15W4K56S4,\n"
    "            STC8A8K64S4A12 as recorded; their boot loaders measure a 2400 Bd handshake)\n"
    "  --id ID   STM32: the product id the board answers (hex), which chooses its line:\n"
    "            410 F10x medium density, 414 F10x high density (default), 440 F0,\n"
    "            422 F3, 413 F4 (sectors), 460 G0 (double words)";

int simulateUsage(const QString &problem)
{
    print(stderr, QStringLiteral("tramelo: %1").arg(problem));
    print(stderr, QString::fromLatin1(kSimulateUsage));
    return kExitUsage;
}

// A new chip of the device's kind: flash erased (0xFF), as it leaves the factory.
std::unique_ptr<sim::VirtualBoard> boardFor(int device, std::optional<quint16> stm32Id)
{
    const devices::DeviceEntry *entry = devices::entryAt(device);
    if (!entry) return nullptr;
    switch (entry->family) {
    case devices::Family::Stm32: {
        sim::Stm32Sim::Config config =
            stm32Id ? sim::Stm32Sim::Config::profile(*stm32Id) : sim::Stm32Sim::Config();
        config.oldContents = 0xFF;
        return sim::VirtualBoard::stm32(config);
    }
    case devices::Family::Lpc: {
        static const std::pair<QStringView, sim::LpcSim::Part (*)()> kParts[] = {
            {u"LPC2214", &sim::LpcSim::lpc2214}, {u"LPC2292", &sim::LpcSim::lpc2292},
            {u"LPC2131", &sim::LpcSim::lpc2131}, {u"LPC2132", &sim::LpcSim::lpc2132},
            {u"LPC2136", &sim::LpcSim::lpc2136}, {u"LPC2138", &sim::LpcSim::lpc2138},
        };
        for (const auto &[name, part] : kParts) {
            if (name != entry->name) continue;
            sim::LpcSim::Config config;
            config.part = part();
            config.oldContents = 0xFF;
            return sim::VirtualBoard::lpc(config);
        }
        return nullptr;
    }
    case devices::Family::Stc:
        for (const devices::StcModel &m : devices::stcModels()) {
            if (m.name != entry->name) continue;
            sim::StcSim::Config config;
            config.modelCode = QByteArray::fromHex(m.code.toLatin1());
            config.flashSize = m.flashBytes;
            config.oldContents = 0xFF;
            return sim::VirtualBoard::stc(config);
        }
        return nullptr;
    }
    return nullptr;
}

// The README's pictures are made from the demonstration (scripts/screenshot.sh); this sets
// the window in motion for them as a user would:
//   download       presses 下载
//   terminal       opens COM2 on the terminal page and talks to its boot loader by hand
//   terminal-hex   the same, the receive area in HEX
void showForPictures(TMainForm &w, const QString &what)
{
    if (what == QLatin1String("download")) {
        QTimer::singleShot(500, &w, [&w] { w.BitBtn1Click(); });
        return;
    }
    if (!what.startsWith(QLatin1String("terminal"))) return;
    w.RzPageControl1->setCurrentIndex(1);
    w.ComboBox1->setCurrentIndex(1);
    w.CheckHexRXD->setChecked(what.endsWith(QLatin1String("-hex")));
    w.CheckBox7->setChecked(false); // '?' goes alone: the boot loader's autobaud character
    w.BitBtn3Click();
    const QStringList lines = {"?", "Synchronized", "12000", "J", "K"};
    for (int i = 0; i < lines.size(); ++i)
        QTimer::singleShot(400 * (i + 1), &w, [&w, line = lines[i], first = i == 0] {
            w.CheckBox7->setChecked(!first);
            w.Memo2->setPlainText(line);
            w.BitBtn4Click();
        });
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() &&
           f.flush();
}

} // namespace

int simulate(const QStringList &args)
{
    QString deviceName, link, dump;
    int baud = 0;
    std::optional<quint16> stm32Id;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto value = [&](QString &into) { return takeValue(args, i, into); };
        QString v;
        if (a == "--help" || a == "-h") {
            print(stdout, QString::fromLatin1(kSimulateUsage));
            return kExitOk;
        } else if (a == "--device") {
            if (!value(deviceName)) return simulateUsage("--device needs a value");
        } else if (a == "--id") {
            bool ok = false;
            const uint id = value(v) ? v.toUInt(&ok, 16) : 0;
            if (!ok || id == 0 || id > 0xFFF)
                return simulateUsage("--id takes a product id in hex, such as 413");
            stm32Id = quint16(id);
        } else if (a == "--link") {
            if (!value(link)) return simulateUsage("--link needs a value");
        } else if (a == "--dump") {
            if (!value(dump)) return simulateUsage("--dump needs a value");
        } else if (a == "--baud") {
            bool ok = false;
            if (value(v)) baud = v.toInt(&ok);
            if (!ok || baud < 1 || baud > kMaxBaud)
                return simulateUsage(
                    QStringLiteral("--baud takes a rate from 1 to %1").arg(kMaxBaud));
        } else {
            return simulateUsage(QStringLiteral("unknown argument: %1").arg(a));
        }
    }
    if (deviceName.isEmpty()) return simulateUsage("--device is missing");
    // stc12, stc15, stc8: a board of the series, answering as its recorded chip; 8E1 on the
    // line (the STC12 board's chip, an STC12C5A60S2, uses even parity too).
    std::optional<sim::StcSeriesSim::Config> series =
        sim::StcSeriesSim::Config::forSeries(deviceName);
    const int device = series ? -1 : devices::findDevice(deviceName);
    if (!series && device < 0)
        return simulateUsage(QStringLiteral("unknown or ambiguous device: %1").arg(deviceName));
    if (stm32Id && devices::familyAt(device) != devices::Family::Stm32)
        return simulateUsage("--id is for an STM32 board");
    std::unique_ptr<sim::VirtualBoard> board =
        series ? sim::VirtualBoard::stcSeries(*series) : boardFor(device, stm32Id);
    if (!board) return simulateUsage(QStringLiteral("no virtual board of %1").arg(deviceName));

    // The signals that end the board are taken by sigwait() below; blocked before the peer's
    // thread starts, so that thread never takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader of the narration that goes away must not end the board before its dump.
    std::signal(SIGPIPE, SIG_IGN);

    sim::PtyPeer peer;
    if (!peer.isOpen()) {
        print(stderr, QStringLiteral("tramelo: no pseudo-terminal: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return kExitFailed;
    }
    peer.setKeepLog(false);
    const int bits = series ? 11 : bitsPerByte(*devices::familyAt(device));
    if (baud > 0) {
        peer.setPacing(bits, baud);
        board->setByteTime(std::chrono::nanoseconds(std::int64_t(1'000'000'000) * bits / baud));
    }
    board->setNarrator([](const QString &line) { print(stdout, line); });
    const QByteArray linkPath = QFile::encodeName(link);
    if (!link.isEmpty()) {
        struct stat st
        {
        };
        // Only a symbolic link (left by an earlier run) is replaced; never a file.
        if (::lstat(linkPath.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(linkPath.constData());
        if (::symlink(QFile::encodeName(peer.slavePath()).constData(), linkPath.constData()) != 0) {
            print(stderr, QStringLiteral("tramelo: %1: %2")
                              .arg(link, QString::fromLocal8Bit(std::strerror(errno))));
            return kExitFailed;
        }
    }
    print(stdout, peer.slavePath());
    peer.attach(board.get());

    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    peer.attach(nullptr);
    int code = kExitOk;
    if (!dump.isEmpty() && !writeFile(dump, board->flash())) {
        print(stderr, QStringLiteral("tramelo: %1: the flash could not be written").arg(dump));
        code = kExitFailed;
    }
    if (!link.isEmpty()) ::unlink(linkPath.constData());
    return code;
}

int demo(int argc, char **argv)
{
    if (argc != 2) {
        print(stderr, QStringLiteral("tramelo: --demo takes no arguments"));
        return kExitUsage;
    }
    int qtArgc = 1;
    ui::Application app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);

    // COM1: the STM32 board the download page is set up for. COM2: an LPC2136 board for the
    // terminal page; its boot loader echoes and answers plain text, so it can be talked to
    // by hand.
    sim::PtyPeer stm32Line, lpcLine;
    QTemporaryDir folder;
    const QString firmware = folder.filePath(QStringLiteral("example.hex"));
    if (!stm32Line.isOpen() || !lpcLine.isOpen() || !folder.isValid() ||
        !writeFile(firmware, sim::exampleHex())) {
        print(stderr, QStringLiteral("tramelo: the demonstration board could not be set up"));
        return kExitFailed;
    }
    // TRAMELO_DEMO_BAUD slows the line (the screenshot script catches a download midway).
    const int baud = qEnvironmentVariableIntValue("TRAMELO_DEMO_BAUD") > 0
                         ? qEnvironmentVariableIntValue("TRAMELO_DEMO_BAUD")
                         : kDemoBaud;
    const int bits = bitsPerByte(devices::Family::Stm32);
    sim::Stm32Sim::Config config;
    config.oldContents = 0xFF;
    std::unique_ptr<sim::VirtualBoard> board = sim::VirtualBoard::stm32(config);
    board->setByteTime(std::chrono::nanoseconds(std::int64_t(1'000'000'000) * bits / baud));
    std::unique_ptr<sim::VirtualBoard> lpcBoard = sim::VirtualBoard::lpc({});
    stm32Line.setKeepLog(false);
    stm32Line.setPacing(bits, baud);
    lpcLine.setKeepLog(false);
    lpcLine.setPacing(bitsPerByte(devices::Family::Lpc), baud);
    stm32Line.attach(board.get());
    lpcLine.attach(lpcBoard.get());
    platform::setPortAlias(QStringLiteral("COM1"), stm32Line.slavePath());
    platform::setPortAlias(QStringLiteral("COM2"), lpcLine.slavePath());

    int code = 0;
    {
        ApplicationWindows windows = CreateApplicationWindows(false);
        TMainForm &w = *windows.main;
        DownloadChoices choices;
        choices.device = devices::firstIndexOf(devices::Family::Stm32);
        choices.port = 0;
        choices.reset = false;
        choices.file = firmware;
        w.SetDownloadChoices(choices);
        w.SetStatus(QCoreApplication::translate("cli", "演示：虚拟板接在 COM1"));
        w.show();
        showForPictures(w, qEnvironmentVariable("TRAMELO_DEMO_SHOW"));
        code = app.exec();
    }
    stm32Line.attach(nullptr);
    lpcLine.attach(nullptr);
    platform::setPortAlias(QStringLiteral("COM1"), QString());
    platform::setPortAlias(QStringLiteral("COM2"), QString());
    return code;
}

} // namespace cli
