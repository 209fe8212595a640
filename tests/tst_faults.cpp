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
// wait). The STM32 and LPC attempts are driven by window timers and the STC ones run on each
// window's programmer thread, so the five faults of a family run side by side, each in a
// window of its own on a pseudo-terminal of its own; the STM32 and STC lanes run together
// too. The LPC lanes run on their own: their pauses block the event loop.
#include "engines/LpcEngine.h"
#include "app/Main.h"
#include "engines/Stm32Engine.h"
#include "engines/StcEngine.h"
#include "serial/SPComm.h"

#include "platform/PortNames.h"
#include "platform/SerialPort.h"
#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/FaultPlans.h"
#include "engines/Texts.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/WindowRig.h"
#include "support/Window.h"

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

using namespace faultplans;
using testenv::TestEnv;
using namespace testsupport;

namespace {

// Longest stretch the event loop may go without running a timer.
constexpr qint64 kMaxFreezeMs = 1000;

const QString kPortBusy =
    QStringLiteral("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");

// Threads of this process, from the kernel's own list.
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

struct Lane;

// The family's board and faults, and what the window adds: its device entry and how its
// port and timers are seen.
struct Family : BoardPlan
{
    int entry = 0;
    // LPC: the pause factor of each data line. STC: the connect time-out in seconds, counted
    // by a timer that ticks from the controller's creation on, so its first second may be
    // cut short: three leave the handshake room.
    QString timeoutField = QStringLiteral("1");
    // Each data item is written in one call with a blocking pause after every line (LPC):
    // several windows writing at once add their pauses up, so the stall bound is not checked
    // here (the bad-file tests check it while the LPC file is loaded).
    bool pausesWhileWriting = false;
    // What is still open or running after the end of an attempt ("" when nothing is).
    std::function<QString(Lane &)> leftovers;
};

// One window with its own board on its own pseudo-terminal.
struct Lane : FaultLane
{
    const Family *family = nullptr;
    ApplicationWindows windows;
    QStringList lines;
    QList<bool> ends;
    QElapsedTimer clock;
    qint64 endedAfterMs = -1;
    bool stcPortOpened = false;

    TMainForm &main() const { return *windows.main; }
    QString what(const QString &problem) const
    {
        return main().MCUType->currentText() + QStringLiteral(", ") + name + QStringLiteral(": ") +
               problem;
    }
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
    static_cast<BoardPlan &>(f) = stm32Plan(11);
    f.entry = kStm32Entry;
    f.leftovers = [](Lane &lane) {
        TMainForm &m = lane.main();
        if (m.Stm32->running() || m.Stm32->OvertimeT->isActive()) return QStringLiteral("timer running");
        if (!m.ComboBox1->isEnabled() || !m.ComboBox2->isEnabled())
            return QStringLiteral("port lists disabled");
        return busLeftovers(lane);
    };
    return f;
}

Family lpcFamily()
{
    Family f;
    static_cast<BoardPlan &>(f) = lpcPlan(12);
    f.entry = kLpc2136Entry;
    f.pausesWhileWriting = true;
    f.leftovers = [](Lane &lane) {
        const LpcEngine &l = *lane.windows.lpc;
        if (l.Timer1->isActive() || l.Timer2->isActive() || l.Timer3->isActive() ||
            l.running())
            return QStringLiteral("timer running");
        if (l.LpcState != LpcEngine::StepSync) return QStringLiteral("state not back at 1");
        return busLeftovers(lane);
    };
    return f;
}

Family stcFamily()
{
    Family f;
    static_cast<BoardPlan &>(f) = stcPlan(13);
    f.entry = kStc89C52Entry;
    f.timeoutField = QStringLiteral("3");
    f.leftovers = [](Lane &lane) {
        const StcEngine &s = *lane.windows.stc;
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
        lane.stcPortOpened = false;
        lane.clock.start();
        lane.main().BitBtn1->click();
        // The STC programmer opens its port on its own thread: COM1 names this lane's
        // pseudo-terminal until it has done so, or ended.
        if (lane.main().MCUType->currentIndex() == kStc89C52Entry)
            QVERIFY(QTest::qWaitFor([&] { return lane.stcPortOpened || !lane.ends.isEmpty(); },
                                    5000));
    }

    static void setUp(Lane &lane, const Family &f, TestEnv &env)
    {
        lane.windows = CreateApplicationWindows();
        TMainForm &m = lane.main();
        m.MCUType->setCurrentIndex(f.entry);
        m.MCUTypeChange();
        m.ComboBox1->setCurrentIndex(0);
        m.ComboBox6->setCurrentIndex(0);
        const int baud = f.entry == kLpc2136Entry ? kBaud57600Index : kBaud115200Index;
        m.ComboBox2->setCurrentIndex(baud);
        m.ComboBox7->setCurrentIndex(baud);
        m.Edit3->setText(f.timeoutField);
        m.CheckBox2->setChecked(false);
        m.CheckBox2Click();
        m.Edit2->setText(
            env.file(QStringLiteral("%1-%2").arg(int(lane.trouble)).arg(f.fileName), f.fileBytes));
        Lane *self = &lane;
        QObject::connect(lane.windows.stc, &Engine::portHeld, &m, [self](bool open) {
            if (open) self->stcPortOpened = true;
        });
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
        QTest::addColumn<QList<Family>>("families");
        QTest::newRow("STM32F10x (STM32F10xxxxx 家族) and STC 8051 (STC89C52RC)")
            << QList<Family>{stm32Family(), stcFamily()};
        QTest::newRow("LPC2000 (LPC2136)") << QList<Family>{lpcFamily()};
    }

    void everyFaultEndsCleanlyAndTheNextDownloadWorks()
    {
        QFETCH(const QList<Family>, families);
        TestEnv env;
        std::vector<std::unique_ptr<Lane>> lanes;
        qint64 longestMs = 0;
        for (const Family &family : families) {
            longestMs = std::max(longestMs, family.maxAttemptMs);
            for (const Trouble t : kTroubles) {
                auto lane = std::make_unique<Lane>();
                lane->family = &family;
                lane->prepare(family, t);
                // The window ends a download whose port vanished at once, whatever the family.
                if (t == Trouble::Vanish || t == Trouble::VanishUnanswered)
                    lane->expectedLine = texts::portVanished();
                setUp(*lane, family, env);
                lanes.push_back(std::move(lane));
            }
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
            const Family &family = *lane.family;
            if (lane.trouble == Trouble::PortTaken) QVERIFY(lane.takePort());
            if (pulled(lane.trouble)) lane.armPull(family);
            start(lane);
        }
        const auto allEnded = [&] {
            return std::all_of(lanes.begin(), lanes.end(),
                               [](const auto &l) { return !l->ends.isEmpty(); });
        };
        QVERIFY(QTest::qWaitFor(allEnded, int(longestMs) + 5000));
        // A late second end would show here.
        QTest::qWait(50);

        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            const Family &family = *lane.family;
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
                // (A failure's hint may follow in the message area, as a line of its own.)
                const QString area = lane.main().LogText();
                QVERIFY2(area.endsWith(lane.expectedLine) ||
                             area.section(u'\n', 0, -2).endsWith(lane.expectedLine),
                         qPrintable(lane.what("message area")));
            }
            QVERIFY2(lane.main().BitBtn1->isEnabled(), qPrintable(lane.what("button disabled")));
            const QString left = family.leftovers(lane);
            QVERIFY2(left.isEmpty(), qPrintable(lane.what(left)));
            const QString progress = keptProgressProblem(lane.main(), false);
            QVERIFY2(progress.isEmpty(), qPrintable(lane.what(progress)));
        }
        // Exactly one message box for each family: the port that was taken.
        QCOMPARE(env.messages.size(), families.size());
        for (const auto &message : env.messages) {
            QCOMPARE(message.caption, QStringLiteral("Tramelo"));
            QVERIFY2(message.text.startsWith(kPortBusy + "\n") &&
                         message.text.endsWith("正被其它程序占用"),
                     qPrintable(message.text));
        }
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
            const Family &family = *lane.family;
            lane.renew(family);
            start(lane);
        }
        QVERIFY(QTest::qWaitFor(allEnded, 30000));
        for (auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            const Family &family = *lane.family;
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
        QCOMPARE(env.messages.size(), families.size());
        QVERIFY(threadsSettled());
        const qint64 stall = freeze.worstMs();
        qInfo("longest stall of the event loop: %lld ms", static_cast<long long>(stall));
        if (std::none_of(families.begin(), families.end(),
                         [](const Family &f) { return f.pausesWhileWriting; }))
            QVERIFY2(stall < kMaxFreezeMs,
                     qPrintable(QStringLiteral("event loop stalled for %1 ms").arg(stall)));
        for (auto &lanePtr : lanes)
            lanePtr->peer->attach(nullptr);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
