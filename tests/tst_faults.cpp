// Faults of the board and of the line, through the real window, for each programmer family:
// a board that falls silent while the image is written, one that answers with junk, one that
// refuses a block or item, an adapter pulled out in the middle of the write, and a port that
// another program holds before the download starts.
//
// After every fault the window must be ready for the next board: the family's failure line,
// the port closed (and free for any other program), the download button enabled, nothing
// of the attempt still running (timers, the STC port's threads), the event loop never stalled
// for a second, and the next download, on a fresh board, writing the image.
//
// The families' time-outs are real (STM32 seven ticks of 1 s, LPC 8 s, STC 6 to 10 s per
// wait). The STM32 and LPC attempts are driven by window timers, so the five faults of those
// families run side by side, each in a window of its own on a pseudo-terminal of its own;
// the STC download is one blocking call and its faults run one after the other.
#include "app/LPC.h"
#include "app/Main.h"
#include "app/STC.h"
#include "serial/SPComm.h"

#include "platform/PortNames.h"
#include "platform/SerialPort.h"
#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

using sim::Fault;
using testenv::TestEnv;
using testsupport::PtyPeer;

namespace {

constexpr int kLpc2136Entry = 4;
constexpr int kStm32Entry = 6;
constexpr int kStc89C52Entry = 8;
constexpr int kBaud57600 = 11;
constexpr int kBaud115200 = 12;
// Longest stretch the event loop may go without running a timer.
constexpr qint64 kMaxFreezeMs = 1000;

const QString kPortBusy =
    QStringLiteral("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
const QString kStmFailed = QStringLiteral("连机失败 ！");
const QString kStmDone = QStringLiteral("上载完成！");
const QString kLpcTimedOut = QStringLiteral("LPC通信超时!");
const QString kLpcFailed = QStringLiteral("下载的过程中出错");
const QString kLpcDone = QStringLiteral("写入完成");
const QString kStcUploadTimeout = QStringLiteral("上载数据超时 ！");
const QString kStcControlTimeout = QStringLiteral("写控制信息超时 ！");
const QString kStcConnectTimeout = QStringLiteral("连接超时 ！");
const QString kStcDone = QStringLiteral("上载数据成功 ！");

// Reproducible image bytes without 0x00, so an STC image is never cut short.
QByteArray pattern(qsizetype size, quint32 seed)
{
    return firmware::pattern(size, seed).replace('\0', '\x01');
}

// Threads of this process, from the kernel's own list.
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

// Measures the longest time the event loop went without running a 5 ms timer: a handler
// that blocks (a file load, a port that will not close, a wait that does not pump) shows
// here as a long gap.
class FreezeWatch
{
public:
    FreezeWatch()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout,
                         [this] { worst_ = std::max(worst_, since_.restart()); });
        since_.start();
        timer_.start(5);
    }
    qint64 worstMs() const
    {
        qInfo("longest stall of the event loop: %lld ms", static_cast<long long>(worst_));
        return worst_;
    }

private:
    QTimer timer_;
    QElapsedTimer since_;
    qint64 worst_ = 0;
};

enum class Trouble { Silent, Junk, Refuse, Vanish, VanishUnanswered, PortTaken };

bool pulled(Trouble t)
{
    return t == Trouble::Vanish || t == Trouble::VanishUnanswered;
}

QString troubleName(Trouble t)
{
    switch (t) {
    case Trouble::Silent:
        return QStringLiteral("silent while writing");
    case Trouble::Junk:
        return QStringLiteral("junk answer");
    case Trouble::Refuse:
        return QStringLiteral("refused block");
    case Trouble::Vanish:
        return QStringLiteral("adapter pulled while writing");
    case Trouble::VanishUnanswered:
        return QStringLiteral("adapter pulled before a switched-off board answered");
    case Trouble::PortTaken:
        return QStringLiteral("port held by another program");
    }
    return {};
}

struct Lane;

// What differs between the families: the device entry, the board, where its write stage
// lies, its messages and how its port and timers are seen.
struct Family
{
    int entry = 0;
    QString fileName;
    QByteArray image;
    QByteArray fileBytes;
    // LPC: the pause factor of each data line. STC: the connect time-out in seconds, counted
    // by a timer that ticks from the controller's creation on, so its first second may be
    // cut short: three leave the handshake room.
    QString timeoutField = QStringLiteral("1");
    // Each data item is written in one call with a blocking pause after every line (LPC):
    // several windows writing at once add their pauses up, so the stall bound is not checked
    // here (the bad-file tests check it while the LPC file is loaded).
    bool pausesWhileWriting = false;
    std::function<std::unique_ptr<sim::BootLoaderSim>()> makeSim;
    // Plans the fault in the board (the write stage) and returns the expected failure line.
    std::function<QString(sim::BootLoaderSim &, Trouble)> plan;
    // True once the write is well under way: the moment the adapter is pulled.
    std::function<bool(const sim::BootLoaderSim &)> writing;
    std::function<QByteArray(const sim::BootLoaderSim &, qsizetype)> flash;
    QString vanishLine;
    QString doneLine;
    // The longest a failing attempt may take from the press of the button: the family's
    // time-out after the last answer plus the time to get there.
    qint64 maxAttemptMs = 0;
    // What is still open or running after the end of an attempt ("" when nothing is).
    std::function<QString(Lane &)> leftovers;
};

// One window with its own board on its own pseudo-terminal.
struct Lane
{
    Trouble trouble = Trouble::Silent;
    QString name;
    QString expectedLine;
    std::unique_ptr<sim::BootLoaderSim> board;
    std::unique_ptr<PtyPeer> peer;
    ApplicationWindows windows;
    std::unique_ptr<platform::SerialPort> holder;
    std::unique_ptr<QTimer> pullTimer;
    QStringList lines;
    QList<bool> ends;
    QElapsedTimer clock;
    qint64 endedAfterMs = -1;

    TMainForm &main() const { return *windows.main; }
    QString what(const QString &problem) const { return name + QStringLiteral(": ") + problem; }
};

QString busLeftovers(Lane &lane)
{
    TMainForm &m = lane.main();
    if (m.ComDriver->Connected() || m.ComPortActive) return QStringLiteral("port still open");
    return {};
}

Family stm32Family()
{
    Family f;
    f.entry = kStm32Entry;
    f.fileName = QStringLiteral("fw.bin");
    f.image = pattern(2000, 11); // eight blocks of 256 bytes
    f.fileBytes = f.image;
    f.makeSim = [] { return std::make_unique<sim::Stm32Sim>(); };
    f.plan = [](sim::BootLoaderSim &b, Trouble t) {
        auto &s = static_cast<sim::Stm32Sim &>(b);
        using Step = sim::Stm32Sim::Step;
        if (t == Trouble::Silent) s.failAt(Step::WriteData, Fault::Silent, 3);
        if (t == Trouble::VanishUnanswered) s.setSilentAfter(0);
        if (t == Trouble::Junk) s.failAt(Step::WriteData, Fault::Junk, 3);
        if (t == Trouble::Refuse) s.failAt(Step::WriteData, Fault::Refuse, 3);
        return kStmFailed;
    };
    f.writing = [](const sim::BootLoaderSim &b) {
        const auto commands = static_cast<const sim::Stm32Sim &>(b).commands();
        return std::count_if(commands.begin(), commands.end(),
                             [](const sim::Stm32Sim::Command &c) { return c.code == 0x31; }) >= 3;
    };
    f.flash = [](const sim::BootLoaderSim &b, qsizetype n) {
        return static_cast<const sim::Stm32Sim &>(b).flash(sim::Stm32Sim::kFlashBase, n);
    };
    f.vanishLine = kStmFailed;
    f.doneLine = kStmDone;
    f.maxAttemptMs = 7000 + 3000;
    f.leftovers = [](Lane &lane) {
        TMainForm &m = lane.main();
        if (m.Timer5->isActive() || m.OvertimeT->isActive()) return QStringLiteral("timer running");
        if (!m.ComboBox1->isEnabled() || !m.ComboBox2->isEnabled())
            return QStringLiteral("port lists disabled");
        return busLeftovers(lane);
    };
    return f;
}

Family lpcFamily()
{
    Family f;
    f.entry = kLpc2136Entry;
    f.fileName = QStringLiteral("fw.hex");
    f.image = pattern(5000, 12); // one whole 4 KB block and a remainder: 15 items
    f.fileBytes = firmware::intelHex(f.image);
    f.pausesWhileWriting = true;
    f.makeSim = [] { return std::make_unique<sim::LpcSim>(); };
    f.plan = [](sim::BootLoaderSim &b, Trouble t) {
        auto &s = static_cast<sim::LpcSim &>(b);
        using Step = sim::LpcSim::Step;
        if (t == Trouble::Silent) s.failAt(Step::DataChecksum, Fault::Silent, 2);
        if (t == Trouble::VanishUnanswered) s.setSilentAfter(0);
        // Noise without a line end (a board at another rate): no answer is ever complete.
        if (t == Trouble::Junk) {
            s.setJunk(QByteArray::fromHex("55AA00E5"));
            s.failAt(Step::DataChecksum, Fault::Junk, 2);
        }
        // Every checksum answered RESEND: the item goes twenty times, then the attempt fails.
        if (t == Trouble::Refuse) s.failAt(Step::DataChecksum, Fault::Refuse, 0);
        return t == Trouble::Refuse ? kLpcFailed : kLpcTimedOut;
    };
    f.writing = [](const sim::BootLoaderSim &b) {
        return static_cast<const sim::LpcSim &>(b).checksumsAccepted() >= 2;
    };
    // The programmer sets the reserved vector (word 0x14) so that the board starts the code;
    // the rest of the flash is the image.
    f.flash = [image = f.image](const sim::BootLoaderSim &b, qsizetype n) {
        const auto &lpc = static_cast<const sim::LpcSim &>(b);
        QByteArray flash = lpc.flash(0, n);
        if (lpc.wouldStartUserCode() && flash.size() >= 0x18 && image.size() >= 0x18)
            flash.replace(0x14, 4, image.mid(0x14, 4));
        return flash;
    };
    f.vanishLine = kLpcTimedOut;
    f.doneLine = kLpcDone;
    f.maxAttemptMs = 8000 + 3000;
    f.leftovers = [](Lane &lane) {
        const TLPCFrm &l = *lane.windows.lpc;
        if (l.Timer1->isActive() || l.Timer2->isActive() || l.Timer3->isActive() ||
            l.Timer5->isActive())
            return QStringLiteral("timer running");
        if (l.LpcState != TLPCFrm::StepSync) return QStringLiteral("state not back at 1");
        return busLeftovers(lane);
    };
    return f;
}

Family stcFamily()
{
    Family f;
    f.entry = kStc89C52Entry;
    f.fileName = QStringLiteral("fw.hex");
    f.image = pattern(700, 13); // six data frames
    f.fileBytes = firmware::intelHex(f.image);
    f.timeoutField = QStringLiteral("3");
    f.makeSim = [] { return std::make_unique<sim::StcSim>(); };
    f.plan = [](sim::BootLoaderSim &b, Trouble t) {
        auto &s = static_cast<sim::StcSim &>(b);
        using Step = sim::StcSim::Step;
        if (t == Trouble::Silent) s.failAt(Step::Data, Fault::Silent, 3);
        if (t == Trouble::VanishUnanswered) s.setSilentAfter(0);
        // The junk has no final 0x16, so no reception completes.
        if (t == Trouble::Junk) s.failAt(Step::Control, Fault::Junk, 2);
        // The chip has no negative answer: a refused frame is ignored.
        if (t == Trouble::Refuse) s.failAt(Step::Data, Fault::Refuse, 3);
        if (t == Trouble::VanishUnanswered) return kStcConnectTimeout;
        return t == Trouble::Junk ? kStcControlTimeout : kStcUploadTimeout;
    };
    f.writing = [](const sim::BootLoaderSim &b) {
        return static_cast<const sim::StcSim &>(b).dataAddresses().size() >= 3;
    };
    f.flash = [](const sim::BootLoaderSim &b, qsizetype n) {
        return static_cast<const sim::StcSim &>(b).flash(0, n);
    };
    f.vanishLine = kStcUploadTimeout;
    f.doneLine = kStcDone;
    f.maxAttemptMs = 10000 + 4000;
    f.leftovers = [](Lane &lane) {
        const TSTCFrm &s = *lane.windows.stc;
        if (s.ComPort1->IsOpen()) return QStringLiteral("STC port still open");
        // TimeOutTM ticks from the controller's creation on; only the handshake must stop.
        if (s.SeekTimer->isActive()) return QStringLiteral("handshake timer running");
        return QString();
    };
    return f;
}

} // namespace

Q_DECLARE_METATYPE(Family)

class TestFaults : public QObject
{
    Q_OBJECT

    // COM1 stands for the pseudo-terminal of the lane being started: a name is
    // resolved each time a port is opened, so every window may use COM1.
    static void start(Lane &lane)
    {
        platform::setPortAlias(QStringLiteral("COM1"), lane.peer->slavePath());
        lane.lines.clear();
        lane.ends.clear();
        lane.endedAfterMs = -1;
        lane.clock.start();
        lane.main().BitBtn1->click();
    }

    static void setUp(Lane &lane, const Family &f, TestEnv &env)
    {
        lane.board = f.makeSim();
        lane.peer = std::make_unique<PtyPeer>();
        lane.peer->attach(lane.board.get());
        lane.windows = CreateApplicationWindows();
        TMainForm &m = lane.main();
        m.MCUType->setCurrentIndex(f.entry);
        m.MCUTypeChange();
        m.ComboBox1->setCurrentIndex(0);
        m.ComboBox6->setCurrentIndex(0);
        const int baud = f.entry == kLpc2136Entry ? kBaud57600 : kBaud115200;
        m.ComboBox2->setCurrentIndex(baud);
        m.ComboBox7->setCurrentIndex(baud);
        m.Edit3->setText(f.timeoutField);
        m.CheckBox2->setChecked(false);
        m.CheckBox2Click();
        m.Edit2->setText(
            env.file(QStringLiteral("%1-%2").arg(int(lane.trouble)).arg(f.fileName), f.fileBytes));
        Lane *self = &lane;
        m.OnLine = [self](const QString &line) { self->lines << line; };
        m.OnDownloadEnded = [self](DownloadResult result) {
            const bool ok = result == DownloadResult::Written;
            self->ends << ok;
            self->endedAfterMs = self->clock.elapsed();
        };
    }

private slots:
    void cleanup() { platform::setPortAlias(QStringLiteral("COM1"), QString()); }

    void everyFaultEndsCleanlyAndTheNextDownloadWorks_data()
    {
        QTest::addColumn<Family>("family");
        QTest::newRow("STM32F10x (STM32F10xxxxx 家族)") << stm32Family();
        QTest::newRow("LPC2000 (LPC2136)") << lpcFamily();
        QTest::newRow("STC 8051 (STC89C52RC)") << stcFamily();
    }

    void everyFaultEndsCleanlyAndTheNextDownloadWorks()
    {
        QFETCH(Family, family);
        TestEnv env;
        const QList<Trouble> troubles = {Trouble::Silent,           Trouble::Junk,
                                         Trouble::Refuse,           Trouble::Vanish,
                                         Trouble::VanishUnanswered, Trouble::PortTaken};
        std::vector<std::unique_ptr<Lane>> lanes;
        for (const Trouble t : troubles) {
            auto lane = std::make_unique<Lane>();
            lane->trouble = t;
            lane->name = troubleName(t);
            setUp(*lane, family, env);
            if (t == Trouble::Vanish)
                lane->expectedLine = family.vanishLine;
            else if (t != Trouble::PortTaken)
                lane->expectedLine = family.plan(*lane->board, t);
            lanes.push_back(std::move(lane));
        }
        // Threads of the program alone: each open peer runs one thread of the test's own.
        const auto openPeers = [&] {
            return int(std::count_if(lanes.begin(), lanes.end(),
                                     [](const auto &l) { return l->peer->isOpen(); }));
        };
        const int programThreads = threadCount() - openPeers();
        const auto threadsSettled = [&] {
            return QTest::qWaitFor([&] { return threadCount() - openPeers() == programThreads; },
                                   1000);
        };
        FreezeWatch freeze;

        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            if (lane.trouble == Trouble::PortTaken) {
                lane.holder = std::make_unique<platform::SerialPort>();
                QCOMPARE(lane.holder->open(lane.peer->slavePath()), platform::OpenResult::Ok);
            }
            if (pulled(lane.trouble)) {
                // Pulled from the event loop, which the blocking STC download pumps too: while
                // the image is written, or once the first bytes reached the silent board.
                lane.pullTimer = std::make_unique<QTimer>();
                QObject::connect(lane.pullTimer.get(), &QTimer::timeout, [&lane, &family] {
                    if (lane.trouble == Trouble::Vanish ? !family.writing(*lane.board)
                                                        : lane.peer->receivedCount() == 0)
                        return;
                    lane.pullTimer->stop();
                    lane.peer->closeMaster();
                });
                lane.pullTimer->start(5);
            }
            start(lane);
        }
        const auto allEnded = [&] {
            return std::all_of(lanes.begin(), lanes.end(),
                               [](const auto &l) { return !l->ends.isEmpty(); });
        };
        QVERIFY(QTest::qWaitFor(allEnded, int(family.maxAttemptMs) + 5000));
        // A late second end would show here.
        QTest::qWait(50);

        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            QVERIFY2(lane.ends == QList<bool>{false},
                     qPrintable(lane.what(QStringLiteral("ends %1: ").arg(lane.ends.size()) +
                                          lane.lines.join(QStringLiteral(" | ")))));
            QVERIFY2(
                lane.endedAfterMs <= family.maxAttemptMs,
                qPrintable(lane.what(QStringLiteral("ended after %1 ms").arg(lane.endedAfterMs))));
            if (lane.trouble == Trouble::PortTaken) {
                // The board never heard a byte; the window said why.
                QVERIFY2(lane.peer->receivedCount() == 0, qPrintable(lane.what("bytes sent")));
                QVERIFY2(!lane.lines.contains(family.doneLine), qPrintable(lane.what("done?")));
            } else {
                QVERIFY2(!lane.lines.isEmpty() && lane.lines.last() == lane.expectedLine,
                         qPrintable(lane.what(QStringLiteral("lines: ") +
                                              lane.lines.join(QStringLiteral(" | ")))));
                QVERIFY2(lane.main().Memo1->toPlainText().endsWith(lane.expectedLine),
                         qPrintable(lane.what("message area")));
            }
            QVERIFY2(lane.main().BitBtn1->isEnabled(), qPrintable(lane.what("button disabled")));
            const QString left = family.leftovers(lane);
            QVERIFY2(left.isEmpty(), qPrintable(lane.what(left)));
            QVERIFY2(lane.main().ProgressBar1->value() == 0, qPrintable(lane.what("progress")));
        }
        // Exactly one message box: the port that was taken.
        QCOMPARE(env.messages.size(), 1);
        QCOMPARE(env.messages.first().caption, QStringLiteral("Tramelo"));
        QVERIFY2(env.messages.first().text.startsWith(kPortBusy + "\n") &&
                     env.messages.first().text.endsWith("is in use by another program"),
                 qPrintable(env.messages.first().text));
        // No thread of an attempt is left behind (the STC port's receive and transmit ones).
        QVERIFY2(threadsSettled(), qPrintable(QStringLiteral("%1 threads, %2 before")
                                                  .arg(threadCount() - openPeers())
                                                  .arg(programThreads)));

        // The program let go of every port it opened: another program can take it now.
        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            lane.holder.reset();
            if (pulled(lane.trouble)) continue; // that pty is gone
            platform::SerialPort probe;
            QVERIFY2(probe.open(lane.peer->slavePath()) == platform::OpenResult::Ok,
                     qPrintable(lane.what("port still held by the program")));
        }

        // The next download, on a fresh board (and a new adapter where the old one was
        // pulled), writes the image.
        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            if (pulled(lane.trouble)) {
                lane.peer.reset();
                lane.peer = std::make_unique<PtyPeer>();
            } else {
                lane.peer->attach(nullptr);
            }
            lane.board = family.makeSim();
            lane.peer->attach(lane.board.get());
            start(lane);
        }
        QVERIFY(QTest::qWaitFor(allEnded, 30000));
        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            QVERIFY2(lane.ends == QList<bool>{true},
                     qPrintable(lane.what(QStringLiteral("next download: ") +
                                          lane.lines.join(QStringLiteral(" | ")))));
            QVERIFY2(lane.lines.last() == family.doneLine,
                     qPrintable(lane.what("next: last line")));
            QVERIFY2(family.flash(*lane.board, family.image.size()) == family.image,
                     qPrintable(lane.what("next: flash")));
            QVERIFY2(lane.board->protocolErrors().isEmpty(),
                     qPrintable(lane.what(lane.board->protocolErrors().join(u';'))));
            QVERIFY2(lane.main().BitBtn1->isEnabled(), qPrintable(lane.what("next: button")));
            const QString left = family.leftovers(lane);
            QVERIFY2(left.isEmpty(), qPrintable(lane.what(QStringLiteral("next: ") + left)));
        }
        QCOMPARE(env.messages.size(), 1);
        QVERIFY(threadsSettled());
        const qint64 stall = freeze.worstMs();
        qInfo("longest stall of the event loop: %lld ms", static_cast<long long>(stall));
        if (!family.pausesWhileWriting)
            QVERIFY2(stall < kMaxFreezeMs,
                     qPrintable(QStringLiteral("event loop stalled for %1 ms").arg(stall)));
        for (auto &lanePtr : lanes)
            lanePtr->peer->attach(nullptr);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
