// Faults of the board and of the line, and unusable firmware files, through the command line:
// the program runs as a separate process against simulated boards on pseudo-terminals.
//
// For each family, a board that falls silent while the image is written, one that answers
// with junk, one that refuses a block or item, an adapter pulled out in the middle of the
// write, and a port that another program holds: the exit status (1 failed, 3 port), the
// family's failure line as the last line on standard output, the port message on standard
// error, and then a download on a fresh board that succeeds. The processes of all three
// families run side by side, so the families' real time-outs are waited for once.
//
// Files the program cannot use end with exit status 2 before the board hears a byte.
#include "platform/SerialPort.h"
#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/FaultPlans.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace faultplans;
using firmware::patternWithoutZero;
using testsupport::PtyPeer;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPort = 3;
// Start-up and shut-down of a process, generous for sanitizer builds.
constexpr qint64 kProcessSlackMs = 5000;

const QString kPortBusyLine = QStringLiteral(
    "Tramelo: 当前串口号已经被占用，或其它错误 ！ 请选择其它串口，或检查串口设置是否正确。");
// The family's board and faults, and how the command line names its device.
struct Family : BoardPlan
{
    QString device;
    QStringList options;
};

Family family(BoardPlan plan, const char *device, QStringList options)
{
    Family f;
    static_cast<BoardPlan &>(f) = std::move(plan);
    f.device = QString::fromLatin1(device);
    f.options = std::move(options);
    return f;
}

Family stm32Family()
{
    return family(stm32Plan(21), "stm32", {"--baud", "115200"});
}

Family lpcFamily()
{
    return family(lpcPlan(22), "lpc2136", {"--timeout", "1"});
}

// The connect time-out; its first second may be cut short (the tick timer runs from the
// controller's creation on).
Family stcFamily()
{
    return family(stcPlan(23), "stc89c52rc", {"--timeout", "3"});
}

struct Run
{
    int code = -1;
    QString out, err;
    qint64 ms = -1;
    QStringList lines() const { return out.split(u'\n', Qt::SkipEmptyParts); }
};

// One process and the board at the far end of its own pseudo-terminal.
struct Lane : FaultLane
{
    const Family *family = nullptr;
    QString file;
    std::unique_ptr<QProcess> process;
    QElapsedTimer clock;
    Run run;

    QString what(const QString &problem) const
    {
        return family->device + QStringLiteral(", ") + name + QStringLiteral(": ") + problem +
               QStringLiteral("\nstdout: ") + run.out +
               QStringLiteral("stderr: ") + run.err;
    }
};

} // namespace

Q_DECLARE_METATYPE(Family)

class TestFaultsCli : public QObject
{
    Q_OBJECT

    QTemporaryDir home_;

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        return testenv::writeFile(home_.path(), name, bytes);
    }

    std::unique_ptr<QProcess> start(const QStringList &args)
    {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home_.path());
        env.insert("XDG_CONFIG_HOME", home_.filePath("config"));
        env.insert("TRAMELO_LANG", "zh"); // the lines checked are the Chinese ones
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(TRAMELO_BINARY), args);
        return p;
    }

    static Run collect(QProcess &p, qint64 ms)
    {
        Run r;
        r.ms = ms;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    // Starts every lane's process at once and waits for all of them, with the event loop
    // running (the pulled adapters are pulled from it).
    bool runAll(std::vector<std::unique_ptr<Lane>> &lanes, qint64 limitMs)
    {
        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            QStringList args = {QStringLiteral("download"),
                                QStringLiteral("--device"),
                                lane.family->device,
                                QStringLiteral("--port"),
                                lane.peer->slavePath(),
                                QStringLiteral("--no-reset")};
            args << lane.family->options << lane.file;
            lane.run = {};
            lane.clock.start();
            lane.process = start(args);
        }
        const auto finished = [&] {
            bool all = true;
            for (auto &lanePtr : lanes) {
                Lane &lane = *lanePtr;
                if (lane.run.code != -1) continue;
                if (lane.process->state() == QProcess::NotRunning) {
                    lane.run = collect(*lane.process, lane.clock.elapsed());
                    if (lane.run.code == -1) lane.run.code = -3; // failed to start
                } else {
                    all = false;
                }
            }
            return all;
        };
        const bool ok = QTest::qWaitFor(finished, int(limitMs));
        for (auto &lanePtr : lanes) {
            if (lanePtr->process->state() != QProcess::NotRunning) {
                lanePtr->process->kill();
                lanePtr->process->waitForFinished(2000);
            }
        }
        return ok;
    }

private slots:
    // The three families' processes all run at once: each lane is held to its own family's
    // time limit.
    void faultsEndWithTheirExitStatusAndTheNextDownloadWorks()
    {
        const Family families[] = {stm32Family(), lpcFamily(), stcFamily()};
        std::vector<std::unique_ptr<Lane>> lanes;
        qint64 longestMs = 0;
        for (const Family &family : families) {
            const QString file =
                writeFile(family.device + QStringLiteral("-faults") + family.fileName.right(4),
                          family.fileBytes);
            longestMs = std::max(longestMs, family.maxAttemptMs);
            for (const Trouble t : kTroubles) {
                auto lane = std::make_unique<Lane>();
                lane->family = &family;
                lane->file = file;
                lane->prepare(family, t);
                if (t == Trouble::PortTaken) QVERIFY(lane->takePort());
                if (pulled(t)) lane->armPull(family);
                lanes.push_back(std::move(lane));
            }
        }

        QVERIFY(runAll(lanes, longestMs + kProcessSlackMs));
        for (auto &lanePtr : lanes) {
            const Lane &lane = *lanePtr;
            const Family &family = *lane.family;
            QVERIFY2(lane.run.ms <= family.maxAttemptMs + kProcessSlackMs,
                     qPrintable(lane.what(QStringLiteral("ended after %1 ms").arg(lane.run.ms))));
            if (lane.trouble == Trouble::PortTaken) {
                QVERIFY2(lane.run.code == kExitPort, qPrintable(lane.what("exit status")));
                QVERIFY2(lane.run.err.contains(kPortBusyLine), qPrintable(lane.what("message")));
                QVERIFY2(lane.peer->receivedCount() == 0, qPrintable(lane.what("bytes sent")));
                QVERIFY2(!lane.run.out.contains(family.doneLine), qPrintable(lane.what("done?")));
            } else {
                QVERIFY2(lane.run.code == kExitFailed, qPrintable(lane.what("exit status")));
                QVERIFY2(!lane.run.lines().isEmpty() &&
                             lane.run.lines().last() == lane.expectedLine,
                         qPrintable(lane.what("last line")));
                QVERIFY2(!lane.run.err.contains(QStringLiteral("Tramelo:")),
                         qPrintable(lane.what("message box")));
            }
        }

        // Again, each on a fresh board (and a new adapter where the old one was pulled).
        for (auto &lanePtr : lanes) {
            lanePtr->renew(*lanePtr->family);
        }
        QVERIFY(runAll(lanes, 30000));
        for (auto &lanePtr : lanes) {
            const Lane &lane = *lanePtr;
            const Family &family = *lane.family;
            QVERIFY2(lane.run.code == kExitOk, qPrintable(lane.what("next: exit status")));
            QVERIFY2(lane.run.lines().last() == family.doneLine, qPrintable(lane.what("next")));
            QVERIFY2(family.flash(*lane.board, family.image.size()) == family.image,
                     qPrintable(lane.what("next: flash")));
        }
        for (auto &lanePtr : lanes)
            lanePtr->peer->attach(nullptr);
    }

    // SIGTERM, SIGINT, SIGHUP or SIGQUIT while the image is written or the flash read (the board
    // then falls silent, so only the signal can end the run early) ends the run within moments, not
    // at the board's time-out, with 128+signal, the port's line settings restored, its
    // exclusive mode cleared and its lock released. A second signal ends the run at once, with
    // the same status. The line names the signal by its own name, whatever the C library's
    // locale would call it; a read leaves the file it was to replace as it was.
    void signalsEndTheDownloadAndReleaseThePort_data()
    {
        QTest::addColumn<Family>("family");
        QTest::addColumn<int>("sig");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("reading"); // tramelo read instead of download
        QTest::addColumn<QString>("said"); // on standard error
        QTest::newRow("STM32 SIGTERM")
            << stm32Family() << int(SIGTERM) << 1 << false << "tramelo: SIGTERM: 下载被中止\n";
        QTest::newRow("LPC2000 SIGINT")
            << lpcFamily() << int(SIGINT) << 1 << false << "tramelo: SIGINT: 下载被中止\n";
        QTest::newRow("STC 8051 SIGHUP")
            << stcFamily() << int(SIGHUP) << 1 << false << "tramelo: SIGHUP: 下载被中止\n";
        QTest::newRow("STM32 SIGTERM twice") << stm32Family() << int(SIGTERM) << 2 << false << "";
        QTest::newRow("STM32 read, SIGHUP")
            << stm32Family() << int(SIGHUP) << 1 << true << "tramelo: SIGHUP: 读取被中止\n";
        QTest::newRow("STM32 read, SIGINT")
            << stm32Family() << int(SIGINT) << 1 << true << "tramelo: SIGINT: 读取被中止\n";
        QTest::newRow("STM32 SIGQUIT")
            << stm32Family() << int(SIGQUIT) << 1 << false << "tramelo: SIGQUIT: 下载被中止\n";
        QTest::newRow("STM32 read, SIGQUIT")
            << stm32Family() << int(SIGQUIT) << 1 << true << "tramelo: SIGQUIT: 读取被中止\n";
    }

    void signalsEndTheDownloadAndReleaseThePort()
    {
        QFETCH(Family, family);
        QFETCH(int, sig);
        QFETCH(int, count);
        QFETCH(bool, reading);
        QFETCH(QString, said);
        const QString file =
            writeFile(QStringLiteral("signal") + family.fileName, family.fileBytes);
        const QByteArray old = "the last good read";
        const QString readFile = writeFile(QStringLiteral("signal-read.bin"), old);
        const std::unique_ptr<sim::BootLoaderSim> board = family.makeSim();
        PtyPeer peer;
        peer.setReplyDelay(std::chrono::milliseconds(20)); // the write lasts long enough to see
        peer.attach(board.get());
        const QByteArray slave = QFile::encodeName(peer.slavePath());
        const int fd = ::open(slave.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(fd >= 0);
        const auto closeFd = qScopeGuard([fd] { ::close(fd); });
        termios before{};
        QVERIFY(::tcgetattr(fd, &before) == 0);

        QStringList args{reading ? "read" : "download",
                         "--device",
                         family.device,
                         "--port",
                         peer.slavePath(),
                         "--no-reset"};
        args << family.options << (reading ? readFile : file);
        const std::unique_ptr<QProcess> p = start(args);
        const auto busy = [&] {
            if (!reading) return family.writing(*board);
            const auto commands = static_cast<const sim::Stm32Sim &>(*board).commands();
            return std::count_if(commands.begin(), commands.end(),
                                 [](const auto &c) { return c.code == 0x11; }) >= 4;
        };
        QVERIFY(QTest::qWaitFor([&] { return busy() || p->state() == QProcess::NotRunning; },
                                int(family.maxAttemptMs)));
        peer.setSilent(true);
        QVERIFY2(p->state() == QProcess::Running,
                 qPrintable(p->readAllStandardOutput() + p->readAllStandardError()));
        QElapsedTimer sinceSignal;
        sinceSignal.start();
        for (int i = 0; i < count; ++i)
            QCOMPARE(::kill(pid_t(p->processId()), sig), 0);
        QVERIFY(p->waitForFinished(int(kProcessSlackMs)));
        const Run r = collect(*p, sinceSignal.elapsed());
        const QString what = QStringLiteral("status %1 after %2 ms\nstdout: %3stderr: %4")
                                 .arg(r.code)
                                 .arg(r.ms)
                                 .arg(r.out, r.err);
        QVERIFY2(r.code == 128 + sig, qPrintable(what));
        QVERIFY2(r.ms < kProcessSlackMs / 2, qPrintable(what));
        QVERIFY2(!r.out.contains(family.doneLine) && !r.out.contains("读取完成"), qPrintable(what));
        QVERIFY2(r.err.contains(said), qPrintable(what));
        QFile kept(readFile);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), old);
        if (count == 1) {
            termios after{};
            QVERIFY(::tcgetattr(fd, &after) == 0);
            QCOMPARE(::cfgetospeed(&after), ::cfgetospeed(&before));
            QCOMPARE(after.c_cflag, before.c_cflag);
            QCOMPARE(after.c_lflag, before.c_lflag);
            int exclusive = -1;
            QVERIFY(::ioctl(fd, TIOCGEXCL, &exclusive) == 0);
            QCOMPARE(exclusive, 0);
        }
        platform::SerialPort next;
        QCOMPARE(next.open(peer.slavePath()), platform::OpenResult::Ok);
        peer.attach(nullptr);
    }

    // Files that cannot be used end the run with status 2 and a reason, before the port is
    // opened: the board hears nothing.
    void unusableFilesAreRefusedBeforeTheBoardIsTouched_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("sparseSize"); // > 0: a sparse file of this size; -1: a FIFO
        QTest::addColumn<QString>("reason");

        const QByteArray eof = firmware::kEndOfFile;
        const QByteArray data = firmware::hexRecord(0, 0, patternWithoutZero(16, 3));
        QTest::newRow("STM32: empty binary")
            << "stm32"
            << "empty.bin" << QByteArray() << qint64(0) << "empty.bin: 文件中没有可下载的数据";
        QTest::newRow("STM32: 200 MB binary")
            << "stm32"
            << "huge.bin" << QByteArray() << qint64(200) * 1024 * 1024
            << "huge.bin: 文件太大，不能超过2048 KB";
        QTest::newRow("STM32: HEX aimed at RAM (04 record 0x2000)")
            << "stm32"
            << "ram.hex" << firmware::linearBase(0x2000) + data + eof << qint64(0)
            << "ram.hex: HEX文件的地址超出Flash范围: 0x20000000";
        QTest::newRow("LPC: HEX aimed at 0xFFFF0000 (04 record 0xFFFF)")
            << "lpc2136"
            << "high.hex" << firmware::linearBase(0xFFFF) + data + eof << qint64(0)
            << "high.hex: 文件太大，不能用于500K Flash的LPC ARM";
        QTest::newRow("LPC: bad character in the second record")
            << "lpc2136"
            << "bad.hex" << data + ":04001000010G0304E4\r\n" + eof << qint64(0)
            << "bad.hex: HEX文件格式错误: 第 2 行";
        QTest::newRow("STC: binary junk named .hex")
            << "stc89c52rc"
            << "junk.hex" << QByteArray::fromHex("7F454C4602010100") + patternWithoutZero(4000, 9)
            << qint64(0) << "junk.hex: ELF文件损坏: 程序头表无效"; // read as ELF by its magic
        QTest::newRow("STC: HEX placed above 64 KiB (04 record 0x0800)")
            << "stc89c52rc"
            << "high.hex" << firmware::linearBase(0x0800) + data + eof << qint64(0)
            << "high.hex: 64 KiB 映像范围内没有数据";
        QTest::newRow("STM32: a named pipe")
            << "stm32"
            << "pipe.hex" << QByteArray() << qint64(-1) << "pipe.hex: 不是普通文件";
        QTest::newRow("STC: 200 MB HEX") << "stc89c52rc"
                                         << "huge.hex" << QByteArray() << qint64(200) * 1024 * 1024
                                         << "huge.hex: HEX文件太大，不能超过 64 MB";
    }

    void unusableFilesAreRefusedBeforeTheBoardIsTouched()
    {
        QFETCH(QString, device);
        QFETCH(QString, fileName);
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, sparseSize);
        QFETCH(QString, reason);

        QString path = home_.filePath(fileName);
        if (sparseSize < 0)
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else
            path = writeFile(fileName, bytes);
        QVERIFY(!path.isEmpty());
        if (sparseSize > 0) {
            // Only the size is set: no byte is written to disk.
            QFile f(path);
            QVERIFY(f.resize(sparseSize));
        }
        sim::Stm32Sim board; // any board: it must not hear a byte
        PtyPeer peer;
        peer.attach(&board);
        const std::unique_ptr<QProcess> p =
            start({"download", "--device", device, "--port", peer.slavePath(), "--no-reset", path});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(p->waitForFinished(int(kProcessSlackMs)));
        const Run r = collect(*p, clock.elapsed());
        QCOMPARE(r.code, kExitUsage);
        QVERIFY2(r.err.contains(QStringLiteral("tramelo: ") + home_.path() + u'/' + reason),
                 qPrintable(r.err));
        QCOMPARE(peer.receivedCount(), 0);
        peer.attach(nullptr);
        QFile::remove(path);
    }
};

QTEST_GUILESS_MAIN(TestFaultsCli)
#include "tst_faults_cli.moc"
