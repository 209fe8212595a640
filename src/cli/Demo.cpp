#include "cli/Demo.h"

#include "app/Language.h"
#include "app/Main.h"
#include "app/Ui.h"
#include "cli/Cli.h"
#include "cli/Simulate.h"
#include "logic/Devices.h"
#include "platform/PortNames.h"
#include "sim/Board.h"
#include "sim/PtyPeer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

namespace cli {

namespace {

// The demonstration board's line: fast enough that the example downloads in about a second,
// slow enough that the progress bar can be watched.
constexpr int kDemoBaud = 115200;

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

int demo(int argc, char **argv)
{
    if (argc != 2) {
        // A usage error in the interface language, before any window (or display) is needed.
        int coreArgc = 1;
        QCoreApplication core(coreArgc, argv);
        language::install(core);
        writeText(stderr, QStringLiteral("tramelo: %1\n")
                              .arg(QCoreApplication::translate("cli", "--demo 不带参数")));
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
        writeText(stderr, QStringLiteral("tramelo: the demonstration board could not be set up\n"));
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
