// The command line, run as a separate process against simulated boards on pseudo-terminals:
// exit status, output, flash contents, and several boards flashed at once.
#include "cli/Cli.h"
#include "logic/Devices.h"
#include "logic/LpcImage.h"
#include "logic/Stm32Image.h"
#include "platform/SerialPort.h"

#include "sim/Board.h"
#include "sim/LpcSim.h"
#include "sim/StcSeriesSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtEndian>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::PtyPeer;

namespace {

struct Run
{
    int code = -1;
    QString out, err;
};

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

    QTemporaryDir home_;

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        return testenv::writeFile(home_.path(), name, bytes);
    }

    // The language follows TRAMELO_LANG and the locale; tests read the Chinese lines unless
    // a test sets them.
    QProcess *start(const QStringList &args, const QStringList &language = {"TRAMELO_LANG=zh"},
                    std::function<void()> inChild = {},
                    const QString &program = QStringLiteral(TRAMELO_BINARY))
    {
        auto *p = new QProcess(this);
        if (inChild) p->setChildProcessModifier(inChild);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"TRAMELO_LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"})
            env.remove(name);
        for (const QString &setting : language)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        env.insert("HOME", home_.path());
        env.insert("XDG_CONFIG_HOME", home_.filePath("config"));
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        p->setProcessEnvironment(env);
        p->start(program, args);
        return p;
    }

    Run finish(QProcess *p, int timeoutMs = 60000)
    {
        Run r;
        if (!p->waitForFinished(timeoutMs)) p->kill();
        p->waitForFinished(2000);
        r.code = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -2;
        r.out = QString::fromUtf8(p->readAllStandardOutput());
        r.err = QString::fromUtf8(p->readAllStandardError());
        p->deleteLater();
        return r;
    }

    Run run(const QStringList &args, int timeoutMs = 60000)
    {
        return finish(start(args), timeoutMs);
    }

    static QByteArray randomImage(int size, quint32 seed) { return firmware::pattern(size, seed); }
    static QByteArray hexOf(const QByteArray &data) { return firmware::intelHex(data); }

private slots:
    void usageAndHelp_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("stream");
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "tramelo 1.60";
        QTest::newRow("download help") << QStringList{"download", "--help"} << 0 << "--device DEV";
        QTest::newRow("unknown command") << QStringList{"flash"} << 2 << "未知命令: flash";
        QTest::newRow("unknown option")
            << QStringList{"download", "--device", "stm32", "--port", "COM1", "--fast", "x.bin"}
            << 2 << "未知选项: --fast";
        QTest::newRow("missing device")
            << QStringList{"download", "--port", "COM1", "x.bin"} << 2 << "缺少 --device";
        QTest::newRow("ambiguous device")
            << QStringList{"download", "--device", "lpc21", "--port", "COM1", "x.bin"} << 2
            << "未知或不唯一的器件: lpc21";
        QTest::newRow("bad rate") << QStringList{"download", "--device", "stm32", "--port",
                                                 "COM1",     "--baud",   "12345", "x.bin"}
                                  << 2 << "不支持的波特率: 12345";
        QTest::newRow("bad rate after a good one")
            << QStringList{"download", "--device", "stm32",  "--port", "COM1",
                           "--baud",   "9600",     "--baud", "7",      "x.bin"}
            << 2 << "不支持的波特率: 7";
        QTest::newRow("--serial without a counter file")
            << QStringList{"download", "--device", "stm32", "--port", "COM1", "--serial",
                           "0x08001000", "x.bin"}
            << 2 << "--serial 需要 --serial-state";
        QTest::newRow("--serial with step 0")
            << QStringList{"download", "--device", "stm32", "--port", "COM1", "--serial",
                           "0x08001000:1:0", "--report", "r.csv", "x.bin"}
            << 2 << "--serial 的格式是 ADDR";
        QTest::newRow("--serial-format of another kind")
            << QStringList{"download", "--device", "stm32", "--port", "COM1", "--serial-format",
                           "bcd:4", "x.bin"}
            << 2 << "--serial-format 只能是";
        QTest::newRow("missing value")
            << QStringList{"download", "--device"} << 2 << "--device 缺少参数值";
        QTest::newRow("board without its file")
            << QStringList{"download", "--board", "stm32,COM1"} << 2 << "DEV,PORT,FILE";
        QTest::newRow("same port twice")
            << QStringList{"download", "--device",           "stm32", "--port", "COM2",
                           "--board",  "lpc2136,com2,x.hex", "x.bin"}
            << 2 << "串口重复: com2";
        QTest::newRow("simulate without device") << QStringList{"simulate"} << 2 << "缺少 --device";
        QTest::newRow("simulate unknown device")
            << QStringList{"simulate", "--device", "avr"} << 2 << "未知或不唯一的器件: avr";
        QTest::newRow("demo with arguments") << QStringList{"--demo", "x"} << 2 << "--demo 不带参数";
        QTest::newRow("simulate bad rate")
            << QStringList{"simulate", "--device", "stm32", "--baud", "0"} << 2 << "--baud 取 1 到";
        QTest::newRow("simulate --id of an LPC board")
            << QStringList{"simulate", "--device", "lpc2136", "--id", "413"} << 2
            << "--id 只用于 STM32 虚拟板";
        // An option name where a value belongs is not taken as the value.
        QTest::newRow("read --port --no-reset")
            << QStringList{"read", "--device", "stm32", "--port", "--no-reset", "x.bin"} << 2
            << "--port 缺少参数值";
        QTest::newRow("download --device --port")
            << QStringList{"download", "--device", "--port", "COM1", "x.bin"} << 2
            << "--device 缺少参数值";
        QTest::newRow("simulate --dump --link")
            << QStringList{"simulate", "--device", "stm32", "--dump", "--link", "/tmp/x"} << 2
            << "--dump 缺少参数值";
        QTest::newRow("--unprotect of an LPC device")
            << QStringList{"download", "--device",    "lpc2136", "--port",
                           "COM1",     "--unprotect", "x.bin"}
            << 2 << "--unprotect 只用于 STM32 器件: lpc2136";
        QTest::newRow("read: a rate outside the list")
            << QStringList{"read", "--device", "stm32", "--port",
                           "COM1", "--baud",   "12345", "x.bin"}
            << 2 << "不支持的波特率: 12345";
        QTest::newRow("read: a range past 4 GiB, before the port")
            << QStringList{"read",      "--device",   "stm32",    "--port", "/dev/tramelo-none",
                           "--address", "0xFFFFFF00", "--length", "0x101",  "x.bin"}
            << 2 << "读取范围超出 32 位地址空间";
        QTest::newRow("read: a range that ends at 4 GiB is taken")
            << QStringList{"read",      "--device",   "stm32",    "--port", "/dev/tramelo-none",
                           "--address", "0xFFFFFF00", "--length", "0x100",  "x.bin"}
            << 3 << "/dev/tramelo-none: 无法打开串口";
        QTest::newRow("help: read's options")
            << QStringList{"--help"} << 0
            << "tramelo read --device stm32|lpc... --port PORT [--baud RATE] [--no-reset]";
        QTest::newRow("help: simulate --id") << QStringList{"--help"} << 0 << "[--id ID]";
        // The fast rates are for STM32 devices only; other rates off the list for none.
        QTest::newRow("help: the fast STM32 rates")
            << QStringList{"--help"} << 0 << "STM32 also\n                   230400 460800 921600 1000000";
        QTest::newRow("a fast rate for an LPC device")
            << QStringList{"download", "--device", "lpc2136", "--port", "COM1", "--baud",
                           "921600", "x.hex"}
            << 2 << "--baud 921600 只用于 STM32 器件 (lpc2136 取 110 到 115200 的波特率: 110 300";
        QTest::newRow("a fast rate for a run with an STC board")
            << QStringList{"download", "--device", "stm32", "--port", "COM1", "--board",
                           "stc8,COM2,x.hex", "--baud", "460800", "x.bin"}
            << 2 << "--baud 460800 只用于 STM32 器件 (stc8 取";
        QTest::newRow("a rate between the fast ones") << QStringList{"download", "--device", "stm32",
                                                                     "--port", "COM1", "--baud",
                                                                     "250000", "x.bin"}
                                                      << 2 << "不支持的波特率: 250000";
        QTest::newRow("read: a fast rate for an LPC device")
            << QStringList{"read", "--device", "lpc", "--port", "COM1", "--baud", "1000000",
                           "x.bin"}
            << 2 << "--baud 1000000 只用于 STM32 器件 (lpc 取";
        QTest::newRow("read: a fast rate for STM32 is taken")
            << QStringList{"read", "--device", "stm32", "--port", "/dev/tramelo-none", "--baud",
                           "1000000", "x.bin"}
            << 3 << "/dev/tramelo-none: 无法打开串口";
        QTest::newRow("simulate --get-checksum of an LPC board")
            << QStringList{"simulate", "--device", "lpc2136", "--get-checksum"} << 2
            << "--get-checksum 只用于 STM32 虚拟板";
        QTest::newRow("help: the demo's COM2")
            << QStringList{"--help"} << 0 << "LPC2136 board as COM2";
        QTest::newRow("help: [Ports]") << QStringList{"--help"} << 0 << "reads only the [Ports]";
        // Line sequences: a refusal names the step.
        const QStringList dl{"download", "--device", "stm32", "--port", "COM1"};
        QTest::newRow("--entry: unknown step")
            << dl + QStringList{"--entry", "dtr,bogus,5ms", "x.bin"} << 2
            << "--entry: 未知的步骤 'bogus'";
        QTest::newRow("--exit: 10001ms")
            << dl + QStringList{"--exit", "dtr,10001ms", "x.bin"} << 2
            << "--exit: 步骤 '10001ms' 的等待超过 10000ms";
        QTest::newRow("--entry: empty step")
            << dl + QStringList{"--entry", "rts,,dtr", "x.bin"} << 2 << "--entry: 第 2 步是空的";
        QTest::newRow("read --entry: empty last step")
            << QStringList{"read", "--device", "stm32", "--port", "COM1", "--entry", "dtr,rts,",
                           "x.bin"}
            << 2 << "--entry: 第 3 步是空的";
        QTest::newRow("--no-reset with --entry")
            << dl + QStringList{"--no-reset", "--entry", "rts", "x.bin"} << 2
            << "不能与 --entry 或 --exit 一起用";
        QTest::newRow("--invert cts") << dl + QStringList{"--invert", "cts", "x.bin"} << 2
                                      << "--invert 取 rts 或 dtr";
        QTest::newRow("help: --power-cycle") << QStringList{"--help"} << 0 << "--power-cycle CMD";
        // A dump path that cannot take the flash fails at once, not after the session.
        QFile::link(home_.filePath("elsewhere.bin"), home_.filePath("dump-link.bin"));
        QTest::newRow("simulate --dump through a symbolic link")
            << QStringList{"simulate", "--device", "stm32", "--dump",
                           home_.filePath("dump-link.bin")}
            << 2 << "dump-link.bin: 是符号链接，不跟随";
        QTest::newRow("simulate --dump into a missing folder")
            << QStringList{"simulate", "--device", "stm32", "--dump", home_.filePath("no/f.bin")}
            << 2 << "no/f.bin: 无法写入文件";
        // Options of some families are refused where no board of the run takes them.
        const QStringList stc8{"download", "--device", "stc8", "--port", "/dev/tramelo-none"};
        QTest::newRow("--verify with stc8")
            << stc8 + QStringList{"--verify", "x.bin"} << 2
            << "--verify 只用于 STM32, LPC 器件: stc8";
        QTest::newRow("--crystal with stc8")
            << stc8 + QStringList{"--crystal", "12000", "x.bin"} << 2
            << "--crystal 只用于 LPC 器件: stc8";
        QTest::newRow("--crystal that is no frequency")
            << QStringList{"download", "--device", "lpc", "--port", "COM1", "--crystal", "12e3",
                           "x.bin"}
            << 2 << "--crystal 取以 kHz 为单位的晶振频率";
        QTest::newRow("--6t with stc8")
            << stc8 + QStringList{"--6t", "x.bin"} << 2 << "--6t 只用于 stc89 器件: stc8";
        QTest::newRow("--clock nan")
            << stc8 + QStringList{"--clock", "nan", "x.bin"} << 2 << "--clock 取 1 到 45 的频率";
        QTest::newRow("--clock inf")
            << stc8 + QStringList{"--clock", "inf", "x.bin"} << 2 << "--clock 取 1 到 45 的频率";
        QTest::newRow("--clock nan for stm32")
            << QStringList{"download", "--device", "stm32", "--port",
                           "COM1",     "--clock",  "nan",   "x.bin"}
            << 2 << "--clock 取 1 到 45 的频率";
        QTest::newRow("--clock where no board of the run trims")
            << QStringList{"download", "--device", "stm32", "--port",  "COM1",
                           "--clock",  "11",       "x.bin", "--board", "lpc2136,COM2,y.hex"}
            << 2 << "--clock 只用于 stc15, stc8 器件: stm32, lpc2136";
        QTest::newRow("--option where no board of the run takes it")
            << QStringList{"download", "--device",      "stc89c52rc", "--port",  "COM1",
                           "--option", "reset-pin=off", "x.bin",      "--board", "stm32,COM2,y.bin"}
            << 2 << "--option 只用于 stc12, stc15, stc8 器件: stc89c52rc, stm32";
        QTest::newRow("stc15: an image past 64 KiB")
            << QStringList{"download",
                           "--device",
                           "stc15",
                           "--port",
                           "/dev/tramelo-none",
                           writeFile("big.bin", randomImage(64 * 1024 + 1, 3))}
            << 2 << "big.bin: 大于 64 KiB 代码空间";
        // Every refused link is a usage error with one clear reason.
        QFile::link("/tramelo-none/target", home_.filePath("dangling-link"));
        QTest::newRow("simulate --link: a dangling link, not a board's")
            << QStringList{"simulate", "--device", "stm32", "--link",
                           home_.filePath("dangling-link")}
            << 2 << "dangling-link: 指向 /tramelo-none/target，不是虚拟板的终端，不替换";
        QTest::newRow("simulate --link into a missing folder")
            << QStringList{"simulate", "--device", "stm32", "--link", home_.filePath("none/board")}
            << 2 << "none/board: 无法创建符号链接 (";
    }

    void usageAndHelp()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, stream);
        const Run r = run(args);
        QCOMPARE(r.code, code);
        QVERIFY2((r.out + r.err).contains(stream), qPrintable(r.out + r.err));
    }

    void deviceNames()
    {
        using devices::findDevice;
        const auto nameAt = [](int i) { return devices::entryAt(i)->name.toString(); };
        QCOMPARE(nameAt(findDevice(u"stm32")), QStringLiteral("STM32F10xxxxx 家族"));
        QCOMPARE(nameAt(findDevice(u"stm32-other")), QStringLiteral("STM32 (其它系列)"));
        // Appended after the first eleven, then the STC series: stored indices keep their meaning.
        QCOMPARE(findDevice(u"stm32-other"), 11);
        QCOMPARE(findDevice(u"stc12"), 12);
        QCOMPARE(findDevice(u"STC15"), 13);
        QCOMPARE(findDevice(u"stc8"), 14); // a name of its own, though stc89... begin with it
        QCOMPARE(findDevice(u"lpc"), 15); // any NXP part, appended last
        QCOMPARE(nameAt(findDevice(u"LPC")), QStringLiteral("NXP LPC (任意型号)"));
        QCOMPARE(int(devices::deviceList().size()), 16);
        QCOMPARE(nameAt(findDevice(u"STM32F10xxxxx 家族")), QStringLiteral("STM32F10xxxxx 家族"));
        QCOMPARE(nameAt(findDevice(u"lpc2131")), QStringLiteral("LPC2131"));
        QCOMPARE(nameAt(findDevice(u" STC89C516rd+ ")), QStringLiteral("STC89C516RD+"));
        QCOMPARE(nameAt(findDevice(u"stc89c51r")), QStringLiteral("STC89C51RC")); // unique start
        QCOMPARE(findDevice(u"stc89c5"), -1);                                     // ambiguous
        QCOMPARE(findDevice(u"lpc213"), -1);
        QCOMPARE(findDevice(u"avr"), -1);
        QCOMPARE(findDevice(u""), -1);
    }

    void unusableFileAndPort()
    {
        PtyPeer peer;
        Run r = run({"download", "--device", "stm32", "--port", peer.slavePath(),
                     home_.filePath("absent.bin")});
        QCOMPARE(r.code, 2);
        QVERIFY(r.err.contains("absent.bin: 文件不存在"));
        r = run({"download", "--device", "stm32", "--port", peer.slavePath(), home_.path()});
        QCOMPARE(r.code, 2);
        const QString empty = writeFile("empty.bin", {});
        r = run({"download", "--device", "stm32", "--port", peer.slavePath(), empty});
        QCOMPARE(r.code, 2);
        QVERIFY(peer.received().isEmpty()); // the board was never touched
        const QString fw = writeFile("fw.bin", randomImage(100, 1));
        r = run({"download", "--device", "stm32", "--port", home_.filePath("no-tty"), fw});
        QCOMPARE(r.code, 3);
        QVERIFY(r.err.contains("串口不存在 ！"));
        QVERIFY2(r.err.contains("\n" + home_.filePath("no-tty") + ": 串口不存在"),
                 qPrintable(r.err)); // the serial layer's reason, on a line of its own
    }

    // The command line follows the window's language rule, its own lines too. In the
    // arguments FW stands for a firmware file, HOME for the test's folder, HELD for a port
    // that this test holds.
    void languageFollowsTheLocale_data()
    {
        QTest::addColumn<QStringList>("language");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("said");
        // A port that does not exist is not called a port in use.
        const QString zh = QStringLiteral("串口不存在 ！");
        const QString en = QStringLiteral("The port does not exist!");
        const QStringList download{"download", "--device", "stm32", "--port", "HOME/no-tty", "FW"};
        QTest::newRow("no locale") << QStringList{"LANG="} << download << 3 << zh;
        QTest::newRow("C.UTF-8") << QStringList{"LANG=C.UTF-8"} << download << 3 << zh;
        QTest::newRow("zh_CN.UTF-8") << QStringList{"LANG=zh_CN.UTF-8"} << download << 3 << zh;
        QTest::newRow("en_US.UTF-8") << QStringList{"LANG=en_US.UTF-8"} << download << 3 << en;
        QTest::newRow("TRAMELO_LANG=en under C")
            << QStringList{"LANG=C", "TRAMELO_LANG=en"} << download << 3 << en;
        QTest::newRow("TRAMELO_LANG=zh under en_US")
            << QStringList{"LANG=en_US.UTF-8", "TRAMELO_LANG=zh"} << download << 3 << zh;
        const QStringList english{"TRAMELO_LANG=en"};
        QTest::newRow("en: a folder as firmware")
            << english << QStringList{"download", "--device", "stm32", "--port", "HELD", "HOME"}
            << 2 << "HOME: not a regular file\n";
        QTest::newRow("en: --unprotect notice")
            << english << QStringList{"download",    "--device",    "stm32", "--port",
                                      "HOME/no-tty", "--unprotect", "FW"}
            << 3
            << "tramelo: --unprotect: a read-protected chip is unprotected first, which erases "
               "its whole flash\n";
        QTest::newRow("en: a port in use")
            << english << QStringList{"download", "--device", "stm32", "--port", "HELD", "FW"} << 3
            << " is in use by another program\n";
        QTest::newRow("zh: a port in use")
            << QStringList{"TRAMELO_LANG=zh"}
            << QStringList{"download", "--device", "stm32", "--port", "HELD", "FW"} << 3
            << "当前串口号已经被占用，或其它错误 ！";
        QTest::newRow("en: the serial layer's reason")
            << english << download << 3 << "HOME/no-tty: no such serial port\n";
        QTest::newRow("en: a usage error")
            << english << QStringList{"download", "--device", "stm32", "--port", "HELD", "--fast"}
            << 2 << "tramelo: unknown option: --fast\n";
        QTest::newRow("en: --verify where it does not apply")
            << english
            << QStringList{"download", "--device", "stc8", "--port", "HELD", "--verify", "FW"} << 2
            << "--verify is for STM32, LPC devices: stc8\n";
        QTest::newRow("en: read past the 32-bit address space")
            << english << QStringList{"read",      "--device",   "stm32",    "--port", "HELD",
                                      "--address", "0xFFFFFFFF", "--length", "2",      "HOME/f.bin"}
            << 2 << "the range runs past the 32-bit address space\n";
        QTest::newRow("en: simulate, a link in a missing folder")
            << english << QStringList{"simulate", "--device", "stm32", "--link", "HOME/none/board"}
            << 2 << "HOME/none/board: cannot make the symbolic link (";
        QTest::newRow("en: read into a missing folder")
            << english
            << QStringList{"read", "--device", "stm32", "--port", "HELD", "HOME/none/flash.bin"}
            << 2 << "HOME/none: the folder does not exist or cannot be written\n";
        QTest::newRow("zh: read into a missing folder")
            << QStringList{"TRAMELO_LANG=zh"}
            << QStringList{"read", "--device", "stm32", "--port", "HELD", "HOME/none/flash.bin"}
            << 2 << "HOME/none: 文件夹不存在或不可写\n";
    }

    void languageFollowsTheLocale()
    {
        QFETCH(QStringList, language);
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, said);
        const QString fw = writeFile("lang.bin", randomImage(100, 2));
        PtyPeer peer;
        platform::SerialPort held;
        QCOMPARE(held.open(peer.slavePath()), platform::OpenResult::Ok);
        for (QString &a : args) {
            a.replace("HOME", home_.path()).replace("HELD", peer.slavePath());
            if (a == "FW") a = fw;
        }
        const Run r = finish(start(args, language));
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.contains(QString(said).replace("HOME", home_.path())), qPrintable(r.err));
        QCOMPARE(peer.received().size(), 0);
    }

    void stm32DownloadAndSilence()
    {
        const QByteArray image = randomImage(3000, 7);
        const QString fw = writeFile("fw3000.bin", image);
        sim::Stm32Sim board;
        PtyPeer peer;
        peer.attach(&board);
        Run r = run({"download", "--device", "stm32", "--port", peer.slavePath(), "--no-reset",
                     "--baud", "115200", fw});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("上载完成！"), qPrintable(r.out + r.err));
        QVERIFY(r.out.startsWith("正在查找设备。。。\n"));
        QCOMPARE(board.flash(sim::Stm32Sim::kFlashBase, image.size()), image);

        sim::Stm32Sim mute;
        mute.setSilentAfter(0);
        peer.attach(&mute);
        r = run({"download", "--device", "STM32", "--port", peer.slavePath(), "--no-reset", fw});
        QCOMPARE(r.code, 1);
        QVERIFY(r.out.contains("连机失败 ！"));
        QVERIFY(!r.out.contains("未能同步"));
        // Above 115200 the end says so and suggests 115200 (the rate reached the port).
        r = run({"download", "--device", "stm32", "--port", peer.slavePath(), "--no-reset",
                 "--baud", "1000000", fw});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.contains("在 1000000 波特率下未能同步: 芯片可能不支持这么高的速率，请用 "
                                "115200 波特率再试 (--baud 115200)\n连机失败 ！"),
                 qPrintable(r.out));
        peer.attach(nullptr);
    }

    // Any STM32 through --device stm32: the chip's id picks the rules.
    void stm32Families_data()
    {
        QTest::addColumn<int>("productId");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("imageBytes"); // negative: written as Intel HEX
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("lines"); // in stdout, in this order
        using L = QStringList;
        QTest::newRow("F10x 0414, verify") << 0x414 << L{"--verify"} << 3000 << "STM32F10xxExx 家族"
                                           << 0 << L{"擦除页 0 .. 1", "上载完成！"};
        QTest::newRow("F0 0440") << 0x440 << L{} << 2001 << "STM32F030x8/F05xxx 家族" << 0
                                 << L{"擦除页 0 .. 1", "上载完成！"};
        QTest::newRow("F10x 0414 at 921600, verify")
            << 0x414 << L{"--baud", "921600", "--verify"} << 3000 << "STM32F10xxExx 家族" << 0
            << L{"擦除页 0 .. 1", "上载完成！"};
        QTest::newRow("F4 0413 sectors, verify")
            << 0x413 << L{"--verify"} << 40000 << "STM32F40xxx/41xxx 家族" << 0
            << L{"擦除扇区 0 .. 2", "上载完成！"};
        QTest::newRow("G0 0460, verify")
            << 0x460 << L{"--verify"} << 1001 << "STM32G07xxx/08xxx 家族" << 0
            << L{"文件尺寸: 1008 Byte / 0 KB", "上载完成！"};
        QTest::newRow("L0 0447, verify") << 0x447 << L{"--verify"} << 3001
                                         << "STM32L07xxx/08xxx 家族" << 0
                                         << L{"擦除页 0 .. 23", "上载完成！"};
        // An image past 1 MiB where the chip's flash is larger.
        // Bank 1 whole (FFFE), the sectors of bank 2 one by one.
        QTest::newRow("H7 0450: 1.25 MiB, sectors 0..9")
            << 0x450 << L{} << 1280 * 1024 << "STM32H74xxx/75xxx 家族" << 0
            << L{"存储容量 Flash:2048 KB", "擦除扇区 0 .. 9 (存储区 1 整体擦除)", "上载完成！"};
        QTest::newRow("H7A3 0480: 1.25 MiB across both banks, sectors 0..159")
            << 0x480 << L{"--verify"} << 1280 * 1024 << "STM32H7A3xx/7B3xx/7B0xx 家族" << 0
            << L{"存储容量 Flash:2048 KB", "擦除页 0 .. 159 (存储区 1 整体擦除)", "上载完成！"};
        QTest::newRow("H7 0483: 1.25 MiB refused by its 1 MiB flash")
            << 0x483 << L{} << 1280 * 1024 << "STM32H72xxx/73xxx 家族" << 2
            << L{"文件太大: 映像 1310720 Byte，芯片 Flash 只有 1024 KB (1048576 Byte)"};
        QTest::newRow("F0: image larger than its flash")
            << 0x440 << L{} << 65 * 1024 << "STM32F030x8/F05xxx 家族" << 2
            << L{"文件太大: 映像 66560 Byte，芯片 Flash 只有 64 KB (65536 Byte)"};
        // A HEX file is held to the flash the chip reports, on every line.
        QTest::newRow("F10x: 300 KiB HEX written to a 512 KB F103")
            << 0x414 << L{} << -300 * 1024 << "STM32F10xxExx 家族" << 0
            << L{"存储容量 Flash:512 KB", "擦除页 0 .. 149", "上载完成！"};
        QTest::newRow("F4: 257 KiB HEX written")
            << 0x413 << L{} << -257 * 1024 << "STM32F40xxx/41xxx 家族" << 0
            << L{"擦除扇区 0 .. 6", "上载完成！"};
        QTest::newRow("read-protected F4")
            << -0x413 << L{} << 1000 << "STM32F40xxx/41xxx 家族" << 1
            << L{"芯片的 Flash 处于读保护状态: 不能读取、擦除或写入",
                 "解除读保护: tramelo download --unprotect ... (芯片将擦除整片 Flash)",
                 "连机失败 ！"};
        QTest::newRow("read-protected F4, --unprotect")
            << -0x413 << L{"--unprotect"} << 1000 << "STM32F40xxx/41xxx 家族" << 0
            << L{"芯片的 Flash 处于读保护状态: 不能读取、擦除或写入",
                 "正在解除读保护，芯片擦除整片 Flash。。。", "已成功连接", "上载完成！"};
        // An id past 0xFFFF: the same chip with its whole flash write-protected.
        QTest::newRow("write-protected F1: the erase refused, the way out named")
            << 0x10414 << L{} << 1000 << "STM32F10xxExx 家族" << 1
            << L{"设备拒绝擦除: 芯片可能处于读保护或写保护状态",
                 "若 Flash 处于写保护状态: tramelo download --write-unprotect ...", "连机失败 ！"};
        QTest::newRow("write-protected F1, --write-unprotect")
            << 0x10414 << L{"--write-unprotect"} << 1000 << "STM32F10xxExx 家族" << 0
            << L{"正在解除写保护，芯片随后复位。。。", "已成功连接", "上载完成！"};
        QTest::newRow("read-protected L0, --unprotect: back to Level 0")
            << -0x417 << L{"--unprotect"} << 1000 << "STM32L05xxx/06xxx 家族" << 0
            << L{"芯片的 Flash 处于读保护 Level 1: 不能读取、擦除或写入",
                 "正在解除读保护 (Level 1 → Level 0)，芯片擦除整片 Flash 和数据 EEPROM。。。",
                 "已成功连接", "上载完成！"};
        QTest::newRow("H7, --protect: Level 1, never Level 2")
            << 0x483 << L{"--protect"} << 1000 << "STM32H72xxx/73xxx 家族" << 0
            << L{"已开启读保护 Level 1 (不是 Level 2): Flash 不能再被读出 (回到 Level 0 时芯片擦除整片 Flash)",
                 "上载完成！"};
        QTest::newRow("F4, --protect: read-out protection after the image")
            << 0x413 << L{"--protect"} << 1000 << "STM32F40xxx/41xxx 家族" << 0
            << L{"已开启读保护: Flash 不能再被读出 (解除读保护时芯片擦除整片 Flash)", "上载完成！"};
    }

    void stm32Families()
    {
        QFETCH(int, productId);
        QFETCH(QStringList, options);
        QFETCH(int, imageBytes);
        QFETCH(QString, family);
        QFETCH(int, code);
        QFETCH(QStringList, lines);
        auto config = sim::Stm32Sim::Config::profile(quint16(std::abs(productId) & 0xFFFF));
        config.readProtected = productId < 0; // a negative id: the chip is read-protected
        config.writeProtected = std::abs(productId) > 0xFFFF;
        sim::Stm32Sim board(config);
        PtyPeer peer;
        peer.attach(&board);
        const QByteArray image = randomImage(std::abs(imageBytes), quint32(imageBytes));
        const QString fw = imageBytes < 0
            ? writeFile("family.hex", firmware::intelHexAt(image, sim::Stm32Sim::kFlashBase, 32))
                                          : writeFile("family.bin", image);
        const Run r = run(QStringList{"download", "--device", "stm32", "--port", peer.slavePath(),
                                      "--no-reset", "--baud", "115200"} +
                          options + QStringList{fw});
        peer.attach(nullptr);
        QCOMPARE(r.code, code);
        QVERIFY2(r.out.contains(family + '\n'), qPrintable(r.out));
        qsizetype at = 0;
        for (const QString &line : lines) {
            at = r.out.indexOf(line + '\n', at);
            QVERIFY2(at >= 0, qPrintable(line + " in\n" + r.out));
        }
        QVERIFY2(board.protocolErrors().isEmpty(), qPrintable(board.protocolErrors().join('\n')));
        const bool unprotected = options.contains("--unprotect");
        QCOMPARE(
            r.err.contains("tramelo: --unprotect: 读保护的芯片先解除保护，芯片将擦除整片 Flash\n"),
            unprotected);
        bool sent92 = false;
        for (const auto &c : board.commands())
            sent92 |= c.code == 0x92;
        QCOMPARE(sent92, unprotected);
        if (productId >= 0) QCOMPARE(board.config().readProtected, options.contains("--protect"));
        if (code == 0)
            QCOMPARE(board.flash(sim::Stm32Sim::kFlashBase, image.size()), image);
        else
            QVERIFY(board.flash(sim::Stm32Sim::kFlashBase, 16) != image.left(16));
    }

    // tramelo read: the flash comes back as it is, binary or Intel HEX, and replaces the file
    // only then: a failed read, a write that fails (a full disk: here a file size limit) and a
    // file that cannot take it leave the file as it was, the last one before the board hears
    // a byte. A board that falls silent midway is no answer, not a refusal.
    void stm32Read_data()
    {
        QTest::addColumn<int>("productId");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("range");
        QTest::addColumn<quint32>("address"); // expected first address
        QTest::addColumn<int>("length");      // expected length
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("fault"); // "silent" midway, "fsize" limit of 100 bytes
        QTest::addColumn<QString>("said");  // on a failure
        QTest::newRow("F0: whole flash by default, binary")
            << 0x440 << "all.bin" << QStringList{} << 0x08000000u << 64 * 1024 << 0 << ""
            << "";
        QTest::newRow("F4: a range as Intel HEX")
            << 0x413 << "part.hex" << QStringList{"--address", "0x0800FF80", "--length", "300"}
            << 0x0800FF80u << 300 << 0 << ""
            << "";
        QTest::newRow("G0: decimal length, binary, 115200 baud")
            << 0x460 << "g0.bin" << QStringList{"--length", "1000", "--baud", "115200"}
            << 0x08000000u << 1000 << 0 << ""
            << "";
        QTest::newRow("read-protected: refused")
            << -0x440 << "locked.bin" << QStringList{} << 0x08000000u << 0 << 1 << ""
            << "解除读保护";
        QTest::newRow("neither STM32 nor LPC")
            << 0x440 << "x.bin" << QStringList{"--device", "stc89c52rc"} << 0x08000000u << 0 << 2
            << "" << "read 只用于 STM32 和 LPC 器件: stc89c52rc";
        // Silence names the step left unanswered before the reason; a refusal names none.
        QTest::newRow("silent after ten blocks")
            << 0x440 << "silent.bin" << QStringList{} << 0x08000000u << 0 << 1 << "silent"
            << "无应答: Read Memory (0x11), 0x08000A00\n无法和设备通讯，请重新复位\n读取失败 ！\n";
        QTest::newRow("silent at Get ID")
            << 0x440 << "getid.bin" << QStringList{} << 0x08000000u << 0 << 1 << "getid"
            << "无应答: Get ID (0x02)\n无法和设备通讯，请重新复位\n连机失败 ！\n";
        QTest::newRow("a board that never answers: no connection")
            << 0x440 << "mute.bin" << QStringList{} << 0x08000000u << 0 << 1 << "mute"
            << "无应答: 0x7F\n无法和设备通讯，请重新复位\n连机失败 ！\n";
        QTest::newRow("a board that never answers at 460800: 115200 suggested")
            << 0x440 << "mute.bin" << QStringList{"--baud", "460800"} << 0x08000000u << 0 << 1
            << "mute"
            << "无应答: 0x7F\n无法和设备通讯，请重新复位\n在 460800 波特率下未能同步: "
               "芯片可能不支持这么高的速率，请用 115200 波特率再试 (--baud 115200)\n连机失败 ！\n";
        QTest::newRow("G0 at 921600") << 0x460 << "g0fast.bin"
                                       << QStringList{"--length", "2048", "--baud", "921600"}
                                       << 0x08000000u << 2048 << 0 << "" << "";
        // The range is held to the flash the chip reports before any of it is read.
        QTest::newRow("F0: a range past the flash end")
            << 0x440 << "past.bin" << QStringList{"--address", "0x0800FF00", "--length", "0x101"}
            << 0x08000000u << 0 << 2 << "range"
            << "读取范围 0x0800FF00 .. 0x08010000 不在芯片的 Flash (0x08000000 .. 0x0800FFFF) 之内";
        QTest::newRow("F0: a range below the flash")
            << 0x440 << "below.bin" << QStringList{"--address", "0x07FFFF00", "--length", "16"}
            << 0x08000000u << 0 << 2 << "range"
            << "不在芯片的 Flash";
        QTest::newRow("F0: a range that ends where the flash ends")
            << 0x440 << "end.bin" << QStringList{"--address", "0x0800FF00", "--length", "0x100"}
            << 0x0800FF00u << 256 << 0 << ""
            << "";
        QTest::newRow("F0: from an address to the flash end")
            << 0x440 << "tail.bin" << QStringList{"--address", "0x0800FE00"} << 0x0800FE00u << 512
            << 0 << ""
            << "";
        // L0/L1: the data EEPROM is read by its addresses, to its end and no further.
        QTest::newRow("L0: the data EEPROM to its end")
            << 0x417 << "ee.bin" << QStringList{"--address", "0x08080000"} << 0x08080000u << 2048
            << 0 << ""
            << "";
        QTest::newRow("L0: past the data EEPROM's end")
            << 0x417 << "ee-past.bin" << QStringList{"--address", "0x080807F0", "--length", "0x20"}
            << 0x08000000u << 0 << 2 << "range"
            << "不在芯片的 Flash";
        // A symbolic link is written through; its target's folder is checked before contact.
        QFile::link(home_.filePath("none/x.bin"), home_.filePath("dangling.bin"));
        QTest::newRow("a dangling link into a missing folder")
            << 0x440 << home_.filePath("dangling.bin") << QStringList{} << 0x08000000u << 0 << 2
            << "" << home_.path() + "/none: 文件夹不存在或不可写";
        QFile::link(home_.filePath("link-target.bin"), home_.filePath("link-new.bin"));
        QTest::newRow("a dangling link to a new file")
            << 0x440 << home_.filePath("link-new.bin") << QStringList{"--length", "300"}
            << 0x08000000u << 300 << 0 << ""
            << "";
        QTest::newRow("the file cannot grow (a full disk)")
            << 0x440 << "full.bin" << QStringList{"--length", "300"} << 0x08000000u << 0 << 1
            << "fsize"
            << "full.bin: 无法写入文件\n";
        QTest::newRow("a device, not a file: /dev/full")
            << 0x440 << "/dev/full" << QStringList{} << 0x08000000u << 0 << 2 << ""
            << "tramelo: /dev/full: 不是普通文件\n";
    }

    // LPC: R in uuencoded groups or raw (LPC8xx), the range checked against the part that
    // answered before the first R; the old file stays on any failure.
    void lpcRead_data()
    {
        QTest::addColumn<QString>("part");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("range");
        QTest::addColumn<quint32>("address");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("faultStep"); // sim::LpcSim::Step, -1 none
        QTest::addColumn<int>("fault");     // sim::Fault, at its occurrence 2 for OtherCommand
        QTest::addColumn<QString>("said");  // the end of the output on a failure
        const int none = -1, silent = int(sim::Fault::Silent);
        const int read = int(sim::LpcSim::Step::OtherCommand); // R is one of them
        QTest::newRow("LPC845, raw, a range") << "lpc845" << "a.bin"
                                              << QStringList{"--length", "3000"} << 0u << 3000 << 0
                                              << none << 0 << "";
        QTest::newRow("LPC1768, uuencoded, Intel HEX")
            << "lpc1768" << "b.hex" << QStringList{"--address", "0x100", "--length", "2000"}
            << 0x100u << 2000 << 0 << none << 0 << "";
        QTest::newRow("LPC2136: the whole flash") << "lpc2136" << "c.bin" << QStringList{} << 0u
                                                  << 256 * 1024 << 0 << none << 0 << "";
        QTest::newRow("past the part's flash") << "lpc812" << "d.bin"
                                               << QStringList{"--address", "16380", "--length", "8"}
                                               << 0u << 0 << 2 << none << 0 << "";
        QTest::newRow("not word aligned") << "lpc812" << "e.bin"
                                          << QStringList{"--length", "6"} << 0u << 0 << 2 << none
                                          << 0 << "";
        // Silence names the command left unanswered, as sent; a refusal is an answer.
        QTest::newRow("silent at the sync")
            << "lpc2136" << "f.bin" << QStringList{"--length", "1440"} << 0u << 0 << 1
            << int(sim::LpcSim::Step::Autobaud) << silent << "无应答: ?\nLPC通信超时!\n";
        QTest::newRow("silent at the second R, uuencoded")
            << "lpc2136" << "g.bin" << QStringList{"--length", "1440"} << 0u << 0 << 1 << read
            << silent << "无应答: R 720 720\nLPC通信超时!\n";
        QTest::newRow("silent at the second R, raw")
            << "lpc845" << "h.bin" << QStringList{"--address", "4", "--length", "2048"} << 0u << 0
            << 1 << read << silent << "无应答: R 1028 1024\nLPC通信超时!\n";
        QTest::newRow("the unlock refused")
            << "lpc2136" << "i.bin" << QStringList{"--length", "1440"} << 0u << 0 << 1
            << int(sim::LpcSim::Step::Unlock) << int(sim::Fault::Refuse) << "LPC通信超时!\n";
    }
    void lpcRead()
    {
        QFETCH(QString, part);
        QFETCH(QString, file);
        QFETCH(QStringList, range);
        QFETCH(quint32, address);
        QFETCH(int, length);
        QFETCH(int, code);
        QFETCH(int, faultStep);
        QFETCH(int, fault);
        QFETCH(QString, said);
        sim::LpcSim::Config config;
        config.part = *sim::LpcSim::partNamed(part);
        sim::LpcSim board(config);
        PtyPeer peer;
        peer.attach(&board);
        // What the board's flash holds: a download of random bytes through its own loader.
        const QByteArray image = randomImage(4096, 77);
        const QString fw = writeFile("read-src.bin", image);
        QCOMPARE(run({"download", "--device", "lpc", "--port", peer.slavePath(), "--no-reset",
                      "--timeout", "1", fw}).code,
                 0);
        board.reset(); // as a board is reset into its boot loader before the read
        if (faultStep >= 0)
            board.failAt(sim::LpcSim::Step(faultStep), sim::Fault(fault),
                         faultStep == int(sim::LpcSim::Step::OtherCommand) ? 2 : 1);
        const QString out = home_.filePath(file);
        const QByteArray old = "the file before the read";
        writeFile(file, old);
        QStringList args{"read", "--device", "lpc", "--port", peer.slavePath(), "--no-reset"};
        args += range;
        args << out;
        const Run r = run(args, 120000);
        peer.attach(nullptr);
        QVERIFY2(r.code == code, qPrintable(r.out + r.err));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray got = f.readAll();
        if (code != 0) {
            QCOMPARE(got, old);
            QVERIFY2(said.isEmpty() || r.out.endsWith(said), qPrintable(r.out));
            QCOMPARE(r.out.contains("无应答"), said.contains("无应答"));
            return;
        }
        const QByteArray expected = board.flash(address, length);
        QByteArray data = got;
        if (file.endsWith(".hex")) {
            QFile hex(out);
            QVERIFY(hex.open(QIODevice::ReadOnly));
            const lpc::LoadResult loaded = lpc::loadHex(hex, lpc::kAnyPartImageLimit);
            QVERIFY(loaded.ok());
            data = loaded.image.mid(qsizetype(address), length);
        }
        // The first 64 bytes read as the boot code's, as on the chip.
        const qsizetype skip = address < 64 ? 64 - address : 0;
        QCOMPARE(data.size(), qsizetype(length));
        QCOMPARE(data.mid(skip), expected.mid(skip));
        QVERIFY(board.protocolErrors().isEmpty());
    }

    void stm32Read()
    {
        QFETCH(int, productId);
        QFETCH(QString, file);
        QFETCH(QStringList, range);
        QFETCH(quint32, address);
        QFETCH(int, length);
        QFETCH(int, code);
        QFETCH(QString, fault);
        QFETCH(QString, said);
        auto config = sim::Stm32Sim::Config::profile(quint16(std::abs(productId)));
        config.readProtected = productId < 0;
        sim::Stm32Sim board(config);
        board.setFlash(sim::Stm32Sim::kFlashBase,
                       randomImage(int(config.flashSizeKb) * 1024, quint32(productId)));
        // Sync, Get, Get ID, the flash size and the unique id take 23 bytes; each block 9 more.
        if (fault == "silent") board.setSilentAfter(23 + 10 * 9);
        if (fault == "mute") board.setSilentAfter(0);
        if (fault == "getid") board.failAt(sim::Stm32Sim::Step::GetId, sim::Fault::Silent);
        PtyPeer peer;
        peer.attach(&board);
        const QString out = file.startsWith('/') ? file : home_.filePath(file);
        const QByteArray old = "the file before the read";
        if (!file.startsWith('/')) writeFile(file, old);
        QStringList args{"read", "--device", "stm32", "--port", peer.slavePath(), "--no-reset"};
        args += range;
        args << out;
        const Run r =
            finish(start(args, {"TRAMELO_LANG=zh"},
                         [fsize = fault == "fsize"] {
                             if (!fsize) return;
                             const rlimit limit{100, 100};
                             ::setrlimit(RLIMIT_FSIZE, &limit);
                             ::signal(SIGXFSZ, SIG_IGN); // a write fails with EFBIG instead
                         }),
                   120000);
        peer.attach(nullptr);
        QVERIFY2(r.code == code, qPrintable(r.out + r.err));
        if (code != 0) {
            QVERIFY2((r.out + r.err).contains(said), qPrintable(r.out + r.err));
            QCOMPARE(r.out.contains("无应答"), said.contains("无应答"));
            QVERIFY(!r.out.contains("读取完成"));
            if (code == 2 && fault != "range") QCOMPARE(peer.receivedCount(), 0);
            for (const auto &c : board.commands()) // a refused range: no flash was read
                QVERIFY(code != 2 || c.code != 0x11 || c.address < sim::Stm32Sim::kFlashBase ||
                        c.address >= 0x1FF00000);
            if (file.startsWith('/')) return;
            QFile kept(out);
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), old);
            QCOMPARE(QDir(home_.path()).entryList({file + "*"}, QDir::Files), QStringList{file});
            return;
        }
        // The unique id as the line's loader lets it be read (inside the 256-byte read on F4).
        QVERIFY2(r.out.contains("芯片唯一 ID: 37FFD8054B52383123581043"), qPrintable(r.out));
        QFile f(out);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray got = f.readAll();
        const QByteArray expected =
            address >= sim::Stm32Sim::kEepromBase && !board.eeprom().isEmpty()
                ? board.eeprom().mid(address - sim::Stm32Sim::kEepromBase, length)
                : board.flash(address, length);
        QCOMPARE(expected.size(), qsizetype(length));
        if (file.endsWith(".hex")) {
            // Read back by the programmer's own HEX loader: the data lands where it came from.
            QVERIFY(got.endsWith(":00000001FF\r\n"));
            QFile hex(out);
            QVERIFY(hex.open(QIODevice::ReadOnly));
            const stm32::LoadResult loaded = stm32::loadHex(hex);
            QVERIFY(loaded.ok());
            QCOMPARE(loaded.image.mid(address - sim::Stm32Sim::kFlashBase, length), expected);
        } else {
            QCOMPARE(got, expected);
        }
        QVERIFY(r.out.contains(QStringLiteral("读取完成: %1 Byte").arg(length)));
        QCOMPARE(QFileInfo(out).isSymLink(), file.contains("link"));
        QVERIFY(board.protocolErrors().isEmpty());
    }

    void lpcDownload()
    {
        const QByteArray image = randomImage(5000, 3);
        const QString fw = writeFile("lpc.hex", hexOf(image));
        sim::LpcSim board;
        PtyPeer peer;
        peer.attach(&board);
        const Run r = run({"download", "--device", "lpc2138", "--port", peer.slavePath(),
                           "--no-reset", "--timeout", "1", fw},
                          120000);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("写入完成"), qPrintable(r.out + r.err));
        // The reserved vector (word 0x14) is set so that the board starts the code.
        QVERIFY(board.wouldStartUserCode());
        QCOMPARE(board.flash(0, image.size()).remove(0x14, 4), QByteArray(image).remove(0x14, 4));
        peer.attach(nullptr);
    }

    // Under GLib's event dispatcher and under Qt's own, whose pass delivers a reception
    // before it blocks: each answer must end its wait at once under both.
    void stcDownload_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::newRow("GLib dispatcher") << QStringList{"TRAMELO_LANG=zh"};
        QTest::newRow("Qt's own dispatcher") << QStringList{"TRAMELO_LANG=zh", "QT_NO_GLIB=1"};
    }
    void stcDownload()
    {
        QFETCH(QStringList, environment);
        const QByteArray image = randomImage(700, 5).replace('\0', '\x01');
        const QString fw = writeFile("stc.hex", hexOf(image));
        // A board that resets itself after a second of quiet line, as between sessions.
        const std::unique_ptr<sim::VirtualBoard> board = sim::VirtualBoard::stc({});
        PtyPeer peer;
        peer.attach(board.get());
        const Run r = finish(start({"download", "--device", "stc89c52rc", "--port",
                                    peer.slavePath(), "--no-reset", "--timeout", "3", fw},
                                   environment),
                             120000);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("上载数据成功 ！"), qPrintable(r.out + r.err));
        QCOMPARE(board->flash().left(image.size()), image);
        QCOMPARE(board->sessions(), 1);
        peer.attach(nullptr);
    }

    // The STC12, STC15 and STC8 entries against boards answering as the recorded chips.
    void stcSeriesDownload_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("said"); // on stdout, or on stderr for a usage error
        const QByteArray image = randomImage(3000, 9);
        const QString bin = writeFile("series.bin", image), hex = writeFile("series.hex", hexOf(image));
        QTest::newRow("stc12, binary") << "stc12" << QStringList{} << bin << 0 << "上载数据成功 ！";
        QTest::newRow("stc15 --clock 11.0592, HEX")
            << "stc15" << QStringList{"--clock", "11.0592"} << hex << 0 << "校准时钟完成: 11.0";
        QTest::newRow("stc8 at 9600 baud, option changed")
            << "stc8" << QStringList{"--baud", "9600", "--option", "reset-pin=off"} << hex << 0
            << "上载数据成功 ！";
        QTest::newRow("stc15 never trimmed, no --clock")
            << "stc15" << QStringList{} << bin << 1 << "请选择时钟频率";
        QTest::newRow("--clock is refused for stc12")
            << "stc12" << QStringList{"--clock", "11"} << bin << 2
            << "--clock 只用于 stc15, stc8 器件: stc12";
        QTest::newRow("--option is refused for stc89c52rc")
            << "stc89c52rc" << QStringList{"--option", "eeprom-erase=on"} << bin << 2
            << "--option 只用于 stc12, stc15, stc8 器件: stc89c52rc";
    }
    void stcSeriesDownload()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, options);
        QFETCH(QString, file);
        QFETCH(int, code);
        QFETCH(QString, said);
        const auto config = sim::StcSeriesSim::Config::forSeries(device);
        const std::unique_ptr<sim::VirtualBoard> board =
            sim::VirtualBoard::stcSeries(config ? *config : sim::StcSeriesSim::Config::stc15l104w());
        PtyPeer peer;
        peer.attach(board.get());
        const Run r = run(QStringList{"download", "--device", device, "--port", peer.slavePath(),
                                      "--no-reset", "--timeout", "2"} +
                              options + QStringList{file},
                          60000);
        peer.attach(nullptr);
        QVERIFY2(r.code == code, qPrintable(r.out + r.err));
        QVERIFY2((code == 2 ? r.err : r.out).contains(said), qPrintable(r.out + r.err));
        const QByteArray image = randomImage(3000, 9), flash = board->flash();
        QCOMPARE(flash.left(image.size()) == image, code == 0);
        if (code != 0) QCOMPARE(flash, QByteArray(flash.size(), char(0xFF)));
    }

    // `tramelo simulate` as a script uses it: the board's path from its first line, downloads
    // by the program's own command line through the link, the flash dumped on SIGTERM.
    void simulateServesDownloads_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("boardOptions");
        QTest::addColumn<int>("downloads");
        QTest::addColumn<QString>("narrated");
        QTest::addColumn<int>("stop"); // the signal that ends the board
        const QByteArray stm32 = randomImage(3000, 21),
                         lpc = firmware::lpcBootable(randomImage(5000, 22));
        const QByteArray stc = randomImage(700, 23).replace('\0', '\x01');
        QTest::newRow("STM32, two downloads")
            << "stm32" << stm32 << writeFile("sim.bin", stm32) << QStringList{"--baud", "115200"}
            << QStringList{} << 2 << "31 Write Memory 0x08000000, 256 bytes" << int(SIGTERM);
        QTest::newRow("STM32 F4 board, verified")
            << "stm32" << stm32 << writeFile("sim-f4.bin", stm32)
            << QStringList{"--baud", "115200", "--verify"} << QStringList{"--id", "413"} << 1
            << "11 Read Memory 0x08000000, 256 bytes" << int(SIGQUIT);
        // The board lists Get Checksum: --verify asks for CRCs instead of reading back.
        QTest::newRow("STM32 with Get Checksum at 921600, verified")
            << "stm32" << stm32 << writeFile("sim-crc.bin", stm32)
            << QStringList{"--baud", "921600", "--verify"} << QStringList{"--get-checksum"} << 1
            << "A1 Get Checksum 0x08000000, 3000 bytes" << int(SIGTERM);
        QTest::newRow("LPC2138") << "lpc2138" << lpc << writeFile("sim-lpc.hex", hexOf(lpc))
                                 << QStringList{"--timeout", "1"} << QStringList{"--baud", "115200"}
                                 << 1 << "U 23130 -> 0" << int(SIGHUP);
        QTest::newRow("STC89C52RC")
            << "stc89c52rc" << stc << writeFile("sim-stc.hex", hexOf(stc))
            << QStringList{"--timeout", "3"} << QStringList{} << 1 << "84 erase" << int(SIGINT);
    }

    void simulateServesDownloads()
    {
        QFETCH(QString, device);
        QFETCH(QByteArray, image);
        QFETCH(QString, file);
        QFETCH(QStringList, options);
        QFETCH(QStringList, boardOptions);
        QFETCH(int, downloads);
        QFETCH(QString, narrated);
        QFETCH(int, stop);
        const QString dump = home_.filePath(device + ".dump"), link = home_.filePath(device);
        QProcess *board =
            start(QStringList{"simulate", "--device", device, "--dump", dump, "--link", link} +
                  boardOptions);
        QTRY_VERIFY_WITH_TIMEOUT(board->canReadLine(), 10000);
        const QString path = QString::fromUtf8(board->readLine()).trimmed();
        QVERIFY(path.startsWith("/dev/pts/"));
        QCOMPARE(QFileInfo(link).symLinkTarget(), path);
        for (int i = 0; i < downloads; ++i) {
            const Run r =
                run(QStringList{"download", "--device", device, "--port", link, "--no-reset"} +
                        options + QStringList{file},
                    120000);
            QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        }
        QCOMPARE(::kill(pid_t(board->processId()), stop), 0);
        const Run r = finish(board);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(narrated), qPrintable(r.out));
        QCOMPARE(r.out.count("-- reset: the port was opened"), downloads - 1);
        QVERIFY(!r.out.contains("!! "));
        QVERIFY(!QFileInfo::exists(link));
        QFile f(dump);
        QVERIFY(f.open(QIODevice::ReadOnly));
        // An LPC image also gets its reserved vector set, so that the board starts the code.
        QByteArray expected = image;
        if (device.startsWith("lpc")) QVERIFY(lpc::applyVectorChecksum(expected));
        QCOMPARE(f.readAll().left(expected.size()), expected);
    }

    // --link replaces only the link of a board that has ended, never one a running board holds,
    // and a board removes the link at its end only while the link still names it.
    void simulateLinkBelongsToItsBoard()
    {
        const QString link = home_.filePath("shared-board");
        const auto startBoard = [&] {
            QProcess *p = start({"simulate", "--device", "stm32", "--link", link});
            return QTest::qWaitFor([p] { return p->canReadLine(); }, 10000) ? p : nullptr;
        };
        QProcess *first = startBoard();
        QVERIFY(first);
        const QString firstPath = QString::fromUtf8(first->readLine()).trimmed();
        QCOMPARE(QFileInfo(link).symLinkTarget(), firstPath);

        const Run refused = finish(start({"simulate", "--device", "stm32", "--link", link}), 5000);
        QCOMPARE(refused.code, 2);
        QVERIFY2(refused.err.contains(link + ": 指向仍存在的 " + firstPath),
                 qPrintable(refused.err));
        QCOMPARE(QFileInfo(link).symLinkTarget(), firstPath);

        first->kill(); // no clean end: the link stays behind, its terminal gone
        finish(first);
        QVERIFY(QFileInfo(link).isSymLink());
        QProcess *second = startBoard();
        QVERIFY(second);
        const QString secondPath = QString::fromUtf8(second->readLine()).trimmed();
        QCOMPARE(QFileInfo(link).symLinkTarget(), secondPath);

        // The name is given to something else while the board runs: the board leaves it.
        const QString other = writeFile("other-target", "x");
        QVERIFY(QFile::remove(link) && QFile::link(other, link));
        QCOMPARE(::kill(pid_t(second->processId()), SIGTERM), 0);
        QCOMPARE(finish(second).code, 0);
        QCOMPARE(QFileInfo(link).symLinkTarget(), other);
        QFile::remove(link);

        // A killed board's terminal number handed to another program: the link names a
        // terminal that exists but that no board serves, and is replaced.
        testsupport::PtyPeer stranger;
        QVERIFY(QFile::link(stranger.slavePath(), link));
        QProcess *third = startBoard();
        QVERIFY(third);
        const QString thirdPath = QString::fromUtf8(third->readLine()).trimmed();
        QCOMPARE(QFileInfo(link).symLinkTarget(), thirdPath);
        // ...while a link to a running board's terminal still is that board's.
        const Run kept = finish(start({"simulate", "--device", "stm32", "--link", link}), 5000);
        QCOMPARE(kept.code, 2);
        QCOMPARE(QFileInfo(link).symLinkTarget(), thirdPath);
        QCOMPARE(::kill(pid_t(third->processId()), SIGTERM), 0);
        QCOMPARE(finish(third).code, 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    // --address places a binary: written from there, the flash before it neither erased nor
    // written; a binary that would leave the chip's flash (or code space) is refused with its
    // addresses before the board hears anything.
    void binaryAtAddress_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("offset"); // from the flash start; -1: refused
        QTest::addColumn<QString>("refusal");
        QTest::newRow("stm32 behind a boot loader") << "stm32" << "0x08000800" << 0x800 << "";
        QTest::newRow("stm32 as an offset") << "stm32" << "2048" << 0x800 << "";
        QTest::newRow("stc89 at a code address") << "stc89c52rc" << "0x100" << 0x100 << "";
        QTest::newRow("stm32 in RAM: refused")
            << "stm32" << "0x20000000" << -1
            << "映像数据 0x20000000..0x2000012B 不在芯片的 Flash 范围 0x08000000..";
        QTest::newRow("stc89 past the code space: refused")
            << "stc89c52rc" << "0xFF00" << -1
            << "映像数据 0x0000FF00..0x0001002B 不在芯片的 Flash 范围 0x00000000..0x0000FFFF 内";
        QTest::newRow("not a number") << "stm32" << "0x8G" << -1 << "--address 需要一个地址";
    }
    void binaryAtAddress()
    {
        QFETCH(QString, device);
        QFETCH(QString, address);
        QFETCH(int, offset);
        QFETCH(QString, refusal);
        const QByteArray image = randomImage(300, 31).replace('\0', '\x01');
        const QString fw = writeFile("at.bin", image);
        const bool stm32 = device == "stm32";
        sim::Stm32Sim stmBoard;
        sim::StcSim stcBoard;
        const QByteArray before(0x800, '\x5A'); // what a boot loader left below the image
        if (stm32) stmBoard.setFlash(sim::Stm32Sim::kFlashBase, before);
        PtyPeer peer;
        peer.attach(stm32 ? static_cast<sim::BootLoaderSim *>(&stmBoard) : &stcBoard);
        const Run r = run({"download", "--device", device, "--port", peer.slavePath(),
                           "--no-reset", "--timeout", "3", "--address", address, fw},
                          120000);
        peer.attach(nullptr);
        if (offset < 0) {
            QCOMPARE(r.code, 2);
            QVERIFY2(r.err.contains(refusal), qPrintable(r.err));
            QVERIFY(peer.received().isEmpty());
            return;
        }
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        if (stm32) {
            QCOMPARE(stmBoard.flash(sim::Stm32Sim::kFlashBase, 0x800), before);
            QCOMPARE(stmBoard.flash(sim::Stm32Sim::kFlashBase + 0x800, image.size()), image);
            QCOMPARE(stmBoard.erasedPages(), QList<int>{1}); // 2 KiB pages: page 0 kept
        } else {
            QCOMPARE(stcBoard.flash(0, offset), QByteArray(offset, '\0'));
            QCOMPARE(stcBoard.flash(offset, image.size()), image);
        }
    }

    // Images as the toolchains write them, built here by the real cross compilers: a
    // Cortex-M ELF whose .data initialisers lie in flash behind the code (load address other
    // than run address), its S-records from objcopy, an ARM7 ELF for the LPC2000, an 8051 .ihx
    // from SDCC and its S-records. Each is written to its family's board and must equal
    // objcopy -O binary of the same file, the holes as the family leaves them.
    void toolchainImages_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("target"); // cortex-m3, arm7tdmi, mcs51
        QTest::addColumn<QString>("format"); // elf, srec, ihx
        QTest::newRow("stm32 ELF") << "stm32" << "cortex-m3" << "elf";
        QTest::newRow("stm32 S-records") << "stm32" << "cortex-m3" << "srec";
        QTest::newRow("lpc2136 ELF") << "lpc2136" << "arm7tdmi" << "elf";
        QTest::newRow("stc89c52rc .ihx") << "stc89c52rc" << "mcs51" << "ihx";
        QTest::newRow("stc89c52rc S-records") << "stc89c52rc" << "mcs51" << "srec";
    }
    void toolchainImages()
    {
        QFETCH(QString, device);
        QFETCH(QString, target);
        QFETCH(QString, format);
        const bool arm = target != "mcs51";
        const QString cc = QStandardPaths::findExecutable(arm ? "arm-none-eabi-gcc" : "sdcc");
        const QString objcopy =
            QStandardPaths::findExecutable(arm ? "arm-none-eabi-objcopy" : "objcopy");
        if (cc.isEmpty() || objcopy.isEmpty())
            QSKIP("the cross toolchain is not installed (scripts/setup-debian.sh installs it)");
        QTemporaryDir dir;
        const auto tool = [&dir](const QString &program, const QStringList &args) {
            QProcess p;
            p.setWorkingDirectory(dir.path());
            p.start(program, args);
            const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit &&
                            p.exitCode() == 0;
            if (!ok) qWarning() << program << args << p.readAllStandardError();
            return ok;
        };
        const auto put = [&dir](const char *name, const char *text) {
            return !testenv::writeFile(dir.path(), name, text).isEmpty();
        };
        QString built;
        if (arm) {
            // Flash and RAM of the part: the STM32's flash at 0x08000000, the LPC2000's at 0.
            const bool lpc = target == "arm7tdmi";
            QVERIFY(put("app.c",
                        "unsigned int counter = 0x11223344;\n"
                        "unsigned int table[8] = {1, 2, 3, 4, 5, 6, 7, 8};\n"
                        "unsigned int zeroed[16];\n"
                        "extern unsigned int _sidata, _sdata, _edata;\n"
                        "void Reset_Handler(void) {\n"
                        "  unsigned int *s = &_sidata, *d = &_sdata;\n"
                        "  while (d < &_edata) *d++ = *s++;\n"
                        "  for (;;) { counter += table[counter & 7]; zeroed[counter & 15] = counter; }\n"
                        "}\n"
                        "__attribute__((section(\".vectors\"))) const void *vectors[8] =\n"
                        "  {(void *)0x20001000, (void *)Reset_Handler, 0, 0, 0, 0, 0, 0};\n"));
            QVERIFY(put("app.ld",
                        lpc ? "MEMORY { FLASH (rx) : ORIGIN = 0, LENGTH = 128K\n"
                              "  RAM (rwx) : ORIGIN = 0x40000000, LENGTH = 16K }\n"
                            : "MEMORY { FLASH (rx) : ORIGIN = 0x08000000, LENGTH = 64K\n"
                              "  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 8K }\n"));
            QVERIFY(put("sections.ld",
                        "INCLUDE app.ld\nENTRY(Reset_Handler)\nSECTIONS {\n"
                        "  .vectors : { KEEP(*(.vectors)) } > FLASH\n"
                        "  .text : { *(.text*) *(.rodata*) . = ALIGN(4); } > FLASH\n"
                        "  _sidata = LOADADDR(.data);\n"
                        "  .data : { _sdata = .; *(.data*) . = ALIGN(4); _edata = .; } > RAM AT > FLASH\n"
                        "  .bss (NOLOAD) : { *(.bss*) *(COMMON) } > RAM\n}\n"));
            QVERIFY(tool(cc, {"-mcpu=" + target, lpc ? "-marm" : "-mthumb", "-Os", "-nostdlib",
                              "-T", "sections.ld", "app.c", "-o", "app.elf"}));
            QVERIFY(tool(objcopy, {"-O", "binary", "--gap-fill", lpc ? "0x00" : "0xff", "app.elf",
                                   "app.bin"}));
            built = "app.elf";
            if (format == "srec") {
                QVERIFY(tool(objcopy, {"-O", "srec", "app.elf", "app.srec"}));
                built = "app.srec";
            }
        } else {
            QVERIFY(put("stc.c", "__code unsigned char table[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};\n"
                                 "__data unsigned char counter = 5;\n"
                                 "void main(void) { for (;;) counter += table[counter & 7]; }\n"));
            QVERIFY(tool(cc, {"-mmcs51", "stc.c", "-o", "stc.ihx"}));
            QVERIFY(tool(objcopy, {"-I", "ihex", "-O", "binary", "stc.ihx", "app.bin"}));
            built = "stc.ihx";
            if (format == "srec") {
                QVERIFY(tool(objcopy, {"-I", "ihex", "-O", "srec", "stc.ihx", "stc.s19"}));
                built = "stc.s19";
            }
        }
        QFile ref(dir.filePath("app.bin"));
        QVERIFY(ref.open(QIODevice::ReadOnly));
        const QByteArray expected = ref.readAll();
        QVERIFY(expected.size() > 32);

        std::unique_ptr<sim::BootLoaderSim> board;
        std::function<QByteArray()> flash;
        if (device == "stm32") {
            auto *b = new sim::Stm32Sim;
            flash = [b, n = expected.size()] { return b->flash(sim::Stm32Sim::kFlashBase, n); };
            board.reset(b);
        } else if (device == "lpc2136") {
            auto *b = new sim::LpcSim;
            // Word 0x14 is the vector checksum the programmer writes.
            flash = [b, n = expected.size()] { return b->flash(0, n).remove(0x14, 4); };
            board.reset(b);
        } else {
            auto *b = new sim::StcSim;
            flash = [b, n = expected.size()] { return b->flash(0, n); };
            board.reset(b);
        }
        PtyPeer peer;
        peer.attach(board.get());
        const Run r = run({"download", "--device", device, "--port", peer.slavePath(),
                           "--no-reset", "--timeout", "1", "--baud", "38400",
                           dir.filePath(built)},
                          120000);
        peer.attach(nullptr);
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QByteArray want = expected;
        if (device == "lpc2136") want.remove(0x14, 4);
        QCOMPARE(flash().toHex(), want.toHex());
    }

    // A station's record and serial numbers: two processes with three boards between them
    // append to one report and take numbers from one counter at once. Every board gets a
    // line, no line is torn, no number is handed out twice, each board holds its number at
    // ADDR, and a board that fails keeps its number in the report.
    void reportAndSerialNumbers_data()
    {
        QTest::addColumn<QString>("reportName");
        QTest::addColumn<QString>("format"); // --serial-format
        QTest::newRow("CSV, 32-bit little endian") << "station.csv" << "u32le";
        QTest::newRow("JSON Lines, six ASCII digits") << "station.jsonl" << "ascii:6";
    }
    void reportAndSerialNumbers()
    {
        QFETCH(QString, reportName);
        QFETCH(QString, format);
        const QByteArray image = randomImage(2000, 41);
        const QString fw = writeFile("station.bin", image);
        QTemporaryDir dir;
        const QString reportPath = dir.filePath(reportName);
        sim::Stm32Sim a, b, c, mute;
        mute.setSilentAfter(0);
        PtyPeer pa, pb, pc, pm;
        pa.attach(&a);
        pb.attach(&b);
        pc.attach(&c);
        pm.attach(&mute);
        const QStringList common{"download", "--device", "stm32", "--no-reset", "--report",
                                 reportPath, "--serial", "0x08001000:500:2", "--serial-format",
                                 format};
        QProcess *one = start(common + QStringList{"--port", pa.slavePath(), "--port",
                                                   pb.slavePath(), fw});
        QProcess *two = start(common + QStringList{"--port", pc.slavePath(), "--port",
                                                   pm.slavePath(), fw});
        const Run r1 = finish(one), r2 = finish(two);
        QCOMPARE(r1.code, 0);
        QCOMPARE(r2.code, 1); // the silent board
        for (PtyPeer *p : {&pa, &pb, &pc, &pm})
            p->attach(nullptr);

        QFile f(reportPath);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        const bool csv = reportName.endsWith(".csv");
        if (csv) QCOMPARE(lines.takeFirst().section(',', 0, 4), "time,port,device,chip,unique_id");
        QCOMPARE(lines.size(), 4);
        QMap<QString, QString> serialOf, resultOf, uidOf;
        for (const QString &line : std::as_const(lines)) {
            QString port, serial, result, sha, uid;
            if (csv) {
                const QStringList f = line.split(',');
                QCOMPARE(f.size(), 12);
                port = f[1], uid = f[4], sha = f[6], serial = f[8], result = f[9];
            } else {
                const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
                QVERIFY2(!o.isEmpty(), qPrintable(line));
                port = o["port"].toString(), sha = o["sha256"].toString();
                serial = o["serial"].toString(), result = o["result"].toString();
                uid = o["unique_id"].toString();
            }
            uidOf[port] = uid;
            QCOMPARE(sha, QString::fromLatin1(
                              QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
            serialOf[port] = serial;
            resultOf[port] = result;
        }
        QStringList numbers = serialOf.values();
        std::sort(numbers.begin(), numbers.end());
        QCOMPARE(numbers, (QStringList{"500", "502", "504", "506"})); // none twice
        QCOMPARE(resultOf[pm.slavePath()], "failed");
        QCOMPARE(resultOf[pa.slavePath()], "written");
        // The STM32's 96-bit unique id as its loader read it; none from a board that never
        // answered.
        QCOMPARE(uidOf[pa.slavePath()], "37FFD8054B52383123581043");
        QCOMPARE(uidOf[pm.slavePath()], "");
        const auto bytesOf = [&format](const QString &n) {
            if (format == "u32le") {
                QByteArray le(4, '\0');
                qToLittleEndian<quint32>(n.toUInt(), le.data());
                return le;
            }
            return n.rightJustified(6, '0').toLatin1();
        };
        const int width = format == "u32le" ? 4 : 6;
        for (const auto &[board, peer] : {std::pair{&a, &pa}, {&b, &pb}, {&c, &pc}}) {
            QCOMPARE(board->flash(sim::Stm32Sim::kFlashBase, image.size()), image);
            QCOMPARE(board->flash(sim::Stm32Sim::kFlashBase + 0x1000, width),
                     bytesOf(serialOf[peer->slavePath()]));
        }
        QFile counter(reportPath + ".serial");
        QVERIFY(counter.open(QIODevice::ReadOnly));
        QCOMPARE(counter.readAll().trimmed(), QByteArray("508"));
    }

    // Refused before any board is touched: a report that cannot be opened, a serial number
    // where the image has data.
    void reportAndSerialRefusals()
    {
        const QString fw = writeFile("refused.bin", randomImage(300, 42));
        PtyPeer peer;
        Run r = run({"download", "--device", "stm32", "--port", peer.slavePath(), "--report",
                     home_.filePath("no/such/folder/r.csv"), fw});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("r.csv: 无法打开报告文件: "), qPrintable(r.err));
        r = run({"download", "--device", "stm32", "--port", peer.slavePath(), "--serial",
                 "0x08000010", "--serial-state", home_.filePath("counter"), fw});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("序列号的地址 0x08000010 处已有映像的数据"), qPrintable(r.err));
        QVERIFY(!QFile::exists(home_.filePath("counter"))); // no number was taken
        QVERIFY(peer.received().isEmpty());
    }

    // Two boards never share a dump: the second is refused while the first runs. The dump
    // is written beside the file and renamed into place (a new file, not the one opened at
    // the start), and is free again once its board has ended.
    void simulateDumpBelongsToItsBoard()
    {
        const QString dump = home_.filePath("held.dump");
        const auto inode = [&dump] {
            struct stat st = {};
            return ::stat(QFile::encodeName(dump).constData(), &st) == 0 ? st.st_ino : ino_t(0);
        };
        for (int round = 0; round < 2; ++round) {
            QProcess *first = start({"simulate", "--device", "stm32", "--dump", dump});
            QVERIFY(QTest::qWaitFor([first] { return first->canReadLine(); }, 10000));
            const ino_t opened = inode();
            const Run refused =
                finish(start({"simulate", "--device", "stm32", "--dump", dump}), 10000);
            QCOMPARE(refused.code, 2);
            QVERIFY2(refused.err.contains(dump + ": 另一个正在运行的虚拟板使用这个文件"),
                     qPrintable(refused.err));
            QCOMPARE(::kill(pid_t(first->processId()), SIGTERM), 0);
            QCOMPARE(finish(first).code, 0);
            QVERIFY(inode() != opened);
            QFile f(dump);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray flash = f.readAll();
            QVERIFY(!flash.isEmpty());
            QCOMPARE(flash, QByteArray(flash.size(), char(0xFF)));
            QCOMPARE(QDir(home_.path()).entryList({"*held.dump*"}, QDir::Files | QDir::Hidden),
                     QStringList{"held.dump"});
        }
    }

    // One device under two names (a symbolic link and its target) is refused before any
    // board hears a byte; two devices are two boards (severalBoardsInOneProcess).
    void onePortUnderTwoNames()
    {
        PtyPeer peer;
        const QString link = home_.filePath("same-port");
        QVERIFY(QFile::link(peer.slavePath(), link));
        const QString fw = writeFile("twice.bin", randomImage(100, 4));
        const Run r = run({"download", "--device", "stm32", "--no-reset", "--port",
                           peer.slavePath(), "--board", "stm32," + link + "," + fw, fw});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("串口重复: " + peer.slavePath() + " 与 " + link + " 是同一个设备"),
                 qPrintable(r.err));
        QCOMPARE(peer.receivedCount(), 0);
        QFile::remove(link);
    }

    // Options of some families apply to the boards whose family takes them, in a run of
    // several families.
    void familyOptionsApplyPerBoard()
    {
        const QByteArray a = randomImage(3000, 31), c = randomImage(2000, 32);
        const QString fa = writeFile("opt-a.bin", a), fc = writeFile("opt-c.bin", c);
        sim::Stm32Sim stm32;
        const std::unique_ptr<sim::VirtualBoard> stc15 =
            sim::VirtualBoard::stcSeries(*sim::StcSeriesSim::Config::forSeries(u"stc15"));
        PtyPeer pa, pc;
        pa.attach(&stm32);
        pc.attach(stc15.get());
        const Run r = run({"download", "--no-reset", "--timeout", "2", "--verify", "--clock",
                           "11.0592", "--option", "reset-pin=off", "--device", "stm32", "--port",
                           pa.slavePath(), fa, "--board", "stc15," + pc.slavePath() + "," + fc},
                          120000);
        pa.attach(nullptr);
        pc.attach(nullptr);
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QCOMPARE(stm32.flash(sim::Stm32Sim::kFlashBase, a.size()), a);
        QCOMPARE(stc15->flash().left(c.size()), c);
        QVERIFY2(r.out.contains(pc.slavePath() + ": 校准时钟完成"), qPrintable(r.out));
        QVERIFY(r.out.contains(pa.slavePath() + ": 校验完成"));
    }

    // A file name is the file system's bytes: a GBK name (not UTF-8) is read and written.
    void fileNamesAreBytes()
    {
        const QByteArray gbk = QFile::encodeName(home_.path()) + "/\xb9\xcc\xbc\xfe"; // 固件
        const QString printfName = home_.path() + "/\\271\\314\\274\\376";
        const QByteArray image = randomImage(1000, 33);
        {
            const int fd = ::open((gbk + ".bin").constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, image.constData(), size_t(image.size())), ssize_t(image.size()));
            ::close(fd);
        }
        sim::Stm32Sim board;
        PtyPeer peer;
        peer.attach(&board);
        const auto shell = [&](const QString &command, const QString &name) {
            const QString script =
                QStringLiteral("exec \"$0\" %1 --device stm32 --no-reset --baud 115200 "
                               "--port \"$1\" \"$(printf \"$2\")\"")
                    .arg(command);
            return finish(start({"-c", script, QStringLiteral(TRAMELO_BINARY), peer.slavePath(),
                                 printfName + name},
                                {"TRAMELO_LANG=zh"}, {}, QStringLiteral("/bin/sh")),
                          60000);
        };
        Run r = shell("download", ".bin");
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        QCOMPARE(board.flash(sim::Stm32Sim::kFlashBase, image.size()), image);
        sim::Stm32Sim written; // the same chip, after a reset into its boot loader
        written.setFlash(sim::Stm32Sim::kFlashBase, image);
        peer.attach(&written);
        r = shell("read --length 1000", "-read.bin");
        QVERIFY2(r.code == 0, qPrintable(r.out + r.err));
        peer.attach(nullptr);
        QByteArray back(2000, 0);
        const int fd = ::open((gbk + "-read.bin").constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        back.resize(::read(fd, back.data(), size_t(back.size())));
        ::close(fd);
        QCOMPARE(back, image);
    }

    void twoBoardsAtOnce()
    {
        const QByteArray a = randomImage(6000, 11), b = randomImage(4000, 12);
        const QString fa = writeFile("a.bin", a), fb = writeFile("b.bin", b);
        sim::Stm32Sim boardA, boardB;
        PtyPeer peerA, peerB;
        peerA.attach(&boardA);
        peerB.attach(&boardB);
        QProcess *pa =
            start({"download", "--device", "stm32", "--port", peerA.slavePath(), "--no-reset", fa});
        QProcess *pb =
            start({"download", "--device", "stm32", "--port", peerB.slavePath(), "--no-reset", fb});
        const Run ra = finish(pa), rb = finish(pb);
        QCOMPARE(ra.code, 0);
        QCOMPARE(rb.code, 0);
        QCOMPARE(boardA.flash(sim::Stm32Sim::kFlashBase, a.size()), a);
        QCOMPARE(boardB.flash(sim::Stm32Sim::kFlashBase, b.size()), b);
        peerA.attach(nullptr);
        peerB.attach(nullptr);
    }

    // The power command runs before anything is written; its failure ends the attempt with
    // its output and status, and no flash changes. A sequence on a pseudo-terminal is noted
    // once and the download goes on.
    void powerCommandAndSequences_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("said");   // on stdout
        QTest::addColumn<QString>("noted");      // on stderr, exactly once ("" none)
        const QString refused = QStringLiteral("退出码 4");
        const QStringList failing{"--power-cycle", "echo relay stuck; exit 4"};
        QTest::newRow("STM32, command fails")
            << "stm32" << failing << 1 << QStringList{"relay stuck", refused} << "";
        QTest::newRow("LPC, command fails")
            << "lpc2136" << failing << 1 << QStringList{"relay stuck", refused} << "";
        QTest::newRow("STC, command fails during the handshake")
            << "stc89c52rc" << failing << 1 << QStringList{"relay stuck", refused} << "";
        QTest::newRow("STM32, command succeeds, no sequence")
            << "stm32" << QStringList{"--no-reset", "--power-cycle", "echo powered"} << 0
            << QStringList{"运行电源命令: echo powered", "powered", "上载完成！"} << "";
        QTest::newRow("STC, command succeeds during the handshake")
            << "stc89c52rc" << QStringList{"--no-reset", "--power-cycle", "sleep 0.3; echo on"}
            << 0 << QStringList{"on", "上载数据成功 ！"} << "";
        QTest::newRow("STM32, user sequences on a pseudo-terminal")
            << "stm32" << QStringList{"--entry", "dtr,5ms,-dtr", "--exit", "rts", "--swap-rts-dtr"}
            << 0 << QStringList{"上载完成！"} << "串口不能设置 RTS/DTR";
        QTest::newRow("STM32, nothing resets the board")
            << "stm32" << QStringList{"--entry", ""} << 0 << QStringList{"上载完成！"}
            << "请把 BOOT0 接高电平";
        QTest::newRow("STC, nothing resets the board")
            << "stc89c52rc" << QStringList{"--no-reset"} << 0 << QStringList{"上载数据成功 ！"}
            << "请现在关闭目标板的电源";
    }
    void powerCommandAndSequences()
    {
        QFETCH(QString, device);
        QFETCH(QStringList, options);
        QFETCH(int, code);
        QFETCH(QStringList, said);
        QFETCH(QString, noted);
        const QByteArray image = randomImage(900, 31).replace('\0', '\x01');
        const QString fw = writeFile("power.hex", hexOf(image));
        sim::Stm32Sim stm32;
        sim::LpcSim lpc;
        sim::StcSim stc;
        PtyPeer peer;
        const auto family = devices::familyAt(devices::findDevice(device));
        sim::Device *board = family == devices::Family::Stm32 ? static_cast<sim::Device *>(&stm32)
                            : family == devices::Family::Lpc ? static_cast<sim::Device *>(&lpc)
                                                             : static_cast<sim::Device *>(&stc);
        const auto flashNow = [&] {
            return family == devices::Family::Stm32 ? stm32.flash(sim::Stm32Sim::kFlashBase, image.size())
                   : family == devices::Family::Lpc ? lpc.flash(0, image.size())
                                                    : stc.flash().left(image.size());
        };
        const QByteArray before = flashNow();
        peer.attach(board);
        const Run r = run(QStringList{"download", "--device", device, "--port", peer.slavePath(),
                                      "--timeout", "3", "--baud", "57600"} +
                              options + QStringList{fw},
                          60000);
        peer.attach(nullptr);
        QVERIFY2(r.code == code, qPrintable(r.out + r.err));
        qsizetype from = 0;
        for (const QString &s : said) {
            from = r.out.indexOf(s, from);
            QVERIFY2(from >= 0, qPrintable(s + QStringLiteral(" in\n") + r.out + r.err));
        }
        if (!noted.isEmpty()) QCOMPARE(r.err.count(noted), 1);
        if (code == 0) return;
        // Nothing was written: STM32 and LPC boards heard nothing at all.
        if (family != devices::Family::Stc) QCOMPARE(peer.received(), QByteArray());
        QCOMPARE(flashNow(), before);
    }

    // One power command for the boards of a run: it runs once, told the ports of the boards
    // that waited for it; each of them is then written, or fails with the command's status. A
    // board that ends before it is ready (its port held) is not waited for. One board alone
    // gets its own port too.
    void sharedPowerCommand_data()
    {
        QTest::addColumn<QStringList>("devices"); // one board each
        QTest::addColumn<int>("held");            // the board whose port another program holds
        QTest::addColumn<QString>("command");     // LOG: the file each run of it appends to
        QTest::addColumn<int>("code");
        const QStringList all{"stm32", "lpc2136", "stc89c52rc"};
        const QString logs = QStringLiteral("echo \"$TRAMELO_PORTS\" >> LOG; sleep 0.2");
        QTest::newRow("three families, one run of it") << all << -1 << logs << 0;
        QTest::newRow("it fails: every board fails") << all << -1 << logs + "; echo stuck; exit 5" << 1;
        QTest::newRow("a board that never gets ready") << all << 1 << logs << 3;
        QTest::newRow("one board: its own port") << QStringList{"stc89c52rc"} << -1 << logs << 0;
    }
    void sharedPowerCommand()
    {
        QFETCH(QStringList, devices);
        QFETCH(int, held);
        QFETCH(QString, command);
        QFETCH(int, code);
        const QByteArray image = randomImage(700, 41).replace('\0', '\x01');
        const QString fw = writeFile("shared.hex", hexOf(image));
        static int runs = 0;
        const QString log = home_.filePath(QStringLiteral("power-%1.log").arg(++runs));
        QFile::remove(log);
        sim::Stm32Sim stm32;
        sim::LpcSim lpc;
        sim::StcSim stc;
        PtyPeer ps, pl, pc;
        ps.attach(&stm32);
        pl.attach(&lpc);
        pc.attach(&stc);
        const std::map<QString, PtyPeer *> peers{{"stm32", &ps}, {"lpc2136", &pl}, {"stc89c52rc", &pc}};
        QStringList args{"download", "--no-reset", "--timeout", "3", "--baud", "57600",
                         "--power-cycle", QString(command).replace("LOG", log)};
        QStringList waited; // the ports told to the command, in the boards' order
        platform::SerialPort other;
        for (qsizetype i = 0; i < devices.size(); ++i) {
            const QString path = peers.at(devices[i])->slavePath();
            args << "--board" << devices[i] + "," + path + "," + fw;
            if (i == held)
                QCOMPARE(other.open(path), platform::OpenResult::Ok);
            else
                waited << path;
        }
        const Run r = run(args, 60000);
        for (PtyPeer *p : {&ps, &pl, &pc})
            p->attach(nullptr);
        QVERIFY2(r.code == code, qPrintable(r.out + r.err));
        QFile f(log);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()), waited.join(' ') + '\n');
        const QString prefix = devices.size() > 1 ? QStringLiteral("%1: ") : QString();
        for (qsizetype i = 0; i < devices.size(); ++i) {
            if (i == held) continue;
            const QString port = peers.at(devices[i])->slavePath();
            const QString said = prefix.isEmpty() ? QString() : prefix.arg(port);
            if (code == 1) {
                QVERIFY2(r.out.contains(said + "电源命令失败，退出码 5"), qPrintable(r.out));
            } else {
                QVERIFY2(!r.out.contains(said + "电源命令失败"), qPrintable(r.out));
            }
        }
        const bool written = code != 1;
        QCOMPARE(stm32.flash(sim::Stm32Sim::kFlashBase, image.size()) == image,
                 written && devices.contains("stm32"));
        QCOMPARE(lpc.flash(0, image.size()).remove(0x14, 4) == QByteArray(image).remove(0x14, 4),
                 written && devices.contains("lpc2136") && held != devices.indexOf("lpc2136"));
        QCOMPARE(stc.flash().left(image.size()) == image, written && devices.contains("stc89c52rc"));
    }

    // One process writes boards of every family at once: each line names its port, a table
    // ends the run, and the exit status is the worst board's.
    void severalBoardsInOneProcess()
    {
        const QByteArray a = randomImage(6000, 21), l = randomImage(3000, 22);
        const QByteArray c = randomImage(900, 23).replace('\0', '\x01');
        const QString fa = writeFile("m-a.bin", a), fl = writeFile("m-l.hex", hexOf(l)),
                      fc = writeFile("m-c.hex", hexOf(c));
        sim::Stm32Sim stm32, mute;
        mute.setSilentAfter(0);
        sim::LpcSim lpc;
        sim::StcSim stc;
        PtyPeer pa, pm, pl, pc;
        pa.attach(&stm32);
        pm.attach(&mute);
        pl.attach(&lpc);
        pc.attach(&stc);
        Run r = run({"download", "--no-reset", "--timeout", "3", "--device", "stm32", "--port",
                     pa.slavePath(), "--port", pm.slavePath(), fa, "--board",
                     "lpc2136," + pl.slavePath() + "," + fl, "--board",
                     "stc89c52rc," + pc.slavePath() + "," + fc},
                    120000);
        QCOMPARE(r.code, 1);
        QCOMPARE(stm32.flash(sim::Stm32Sim::kFlashBase, a.size()), a);
        QCOMPARE(lpc.flash(0, l.size()).remove(0x14, 4), QByteArray(l).remove(0x14, 4));
        QCOMPARE(stc.flash().left(c.size()), c);
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        const auto tableRow = [&](const QString &port) {
            for (const QString &line : lines)
                if (line.startsWith(port + ' ')) return line.simplified();
            return QString();
        };
        QVERIFY2(lines.contains(pa.slavePath() + ": 上载完成！"), qPrintable(r.out));
        QVERIFY(lines.contains(pm.slavePath() + ": 连机失败 ！"));
        QVERIFY(lines.contains(pl.slavePath() + ": 写入完成"));
        QVERIFY(lines.contains(pc.slavePath() + ": 上载数据成功 ！"));
        // The table in the interface language, header and words.
        QVERIFY2(lines.contains(QStringLiteral("串口 芯片 结果 秒")) ||
                     r.out.contains(QRegularExpression("\n串口 +芯片 +结果 +秒\n")),
                 qPrintable(r.out));
        QVERIFY(tableRow(pa.slavePath()).startsWith(pa.slavePath() + " STM32 0x0414 已写入 "));
        QVERIFY(tableRow(pm.slavePath()).startsWith(pm.slavePath() + " - 失败 "));
        QVERIFY(tableRow(pl.slavePath()).startsWith(pl.slavePath() + " LPC "));
        QVERIFY(tableRow(pc.slavePath()).startsWith(pc.slavePath() + " STC89C52RC 已写入 "));
        for (PtyPeer *p : {&pa, &pm, &pl, &pc})
            p->attach(nullptr);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
