// The polling driver against a pseudo-terminal: gathering and overflow, reads with zero bytes,
// writes on closed and vanished ports, reads on a vanished port, reconfiguration while open,
// exclusive use.
#include "serial/Vok_ComDrv.h"

#include "support/PtyPeer.h"
#include "support/TestEnv.h"

#include "platform/SerialPort.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <mutex>

using testsupport::PtyPeer;

// The longest stream of answers the driver's wait-in-read row sends.
constexpr int kStreamAnswers = 20000;

class TestDriver : public QObject
{
    Q_OBJECT

    // Polls until the driver has gathered at least n bytes (or the timeout passes).
    static bool gathered(TVokCommDriver &d, int n, int timeoutMs = 2000)
    {
        return QTest::qWaitFor([&] { return d.BufferedCount >= n; }, timeoutMs);
    }

    // Read system calls of this process so far (Linux /proc/self/io), -1 when unknown.
    static qint64 readCalls()
    {
        QFile io(QStringLiteral("/proc/self/io"));
        if (!io.open(QIODevice::ReadOnly)) return -1;
        for (const QByteArray &line : io.readAll().split('\n'))
            if (line.startsWith("syscr:")) return line.mid(6).trimmed().toLongLong();
        return -1;
    }

private slots:
    void overflowDropsGatheredBytesButHandlerSeesEveryChunk()
    {
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        TVokCommDriver d(nullptr);
        QList<QByteArray> chunks;
        d.OnReceiveData = [&](TVokCommDriver *, const quint8 *p, qint32 n) {
            chunks.append(QByteArray(reinterpret_cast<const char *>(p), n));
        };
        QVERIFY(d.Connect());
        const QByteArray first(1000, 'a');
        peer.send(first);
        QVERIFY(gathered(d, 1000));
        QCOMPARE(d.BufferedCount, quint16(1000));
        const QByteArray second(30, 'b');
        peer.send(second);
        QVERIFY(QTest::qWaitFor([&] { return chunks.join().size() == 1030; }, 2000));
        // 1000 + 30 reaches 1024: the gathered bytes start again with the second chunk.
        QCOMPARE(d.BufferedCount, quint16(30));
        QByteArray buffered;
        d.ReadBuffered(buffered);
        QCOMPARE(buffered, second);
        QCOMPARE(chunks.join(), first + second);
        for (const QByteArray &c : chunks)
            QVERIFY(c.size() <= d.ComPortInBufSize());
    }

    void readBufferedKeepsZeroBytes()
    {
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        TVokCommDriver d(nullptr);
        QByteArray out("junk");
        d.ReadBuffered(out);
        QVERIFY(out.isEmpty());
        QVERIFY(d.Connect());
        peer.send(QByteArray("A\0B", 3));
        QVERIFY(gathered(d, 3));
        d.ReadBuffered(out);
        QCOMPARE(out, QByteArray("A\0B", 3));
        QCOMPARE(d.BufferedCount, quint16(3)); // reading does not consume
    }

    void sendResults()
    {
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        TVokCommDriver d(nullptr);
        QCOMPARE(d.SendString("abc"), 0); // closed port
        QCOMPARE(d.OutputFreeSpace(), quint16(0xFFFF));
        QVERIFY(d.Connect());
        QCOMPARE(d.SendData("x", 0), 0);
        QCOMPARE(d.SendString("hello"), 5);
        QVERIFY(peer.waitForReceived(5, 2000));
        QCOMPARE(peer.received(), QByteArray("hello"));
        // The adapter disappears: the write transfers nothing.
        peer.closeMaster();
        d.OutputTimeout = 300;
        QCOMPARE(d.SendString("more"), TVokCommDriver::kWriteFailed);
        d.Disconnect();
        QVERIFY(!d.Connected());
    }

    // The adapter vanishes while the port is idle: the first failed read is reported once and
    // the dead descriptor is not polled again (it would read as failed every 5 ms). The
    // handler may disconnect the driver from inside the notification, as the window does.
    void failedReadIsReportedOnceAndStopsPolling_data()
    {
        QTest::addColumn<bool>("disconnectInHandler");
        QTest::addColumn<bool>("waitInRead"); // the device goes while the driver waits in read
        QTest::newRow("port left open") << false << false;
        QTest::newRow("handler disconnects") << true << false;
        QTest::newRow("gone during a wait in the read") << false << true;
        QTest::newRow("gone during a wait, handler disconnects") << true << true;
    }

    void failedReadIsReportedOnceAndStopsPolling()
    {
        QFETCH(bool, disconnectInHandler);
        QFETCH(bool, waitInRead);
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        TVokCommDriver d(nullptr);
        int failures = 0;
        d.OnReadFailed = [&](TVokCommDriver *sender) {
            QCOMPARE(sender, &d);
            ++failures;
            if (disconnectInHandler) d.Disconnect();
        };
        if (waitInRead) {
            // The device vanishes right after the first arrival, while the driver waits in
            // its own read for the next one.
            d.ReadOnArrival = true;
            d.WaitInReadMs = 1000;
            d.OnGathered = [&](TVokCommDriver *) { peer.closeMaster(); };
        }
        QVERIFY(d.Connect());
        peer.send("live");
        QVERIFY(gathered(d, 4));
        if (!waitInRead) peer.closeMaster();
        QVERIFY(QTest::qWaitFor([&] { return failures > 0; }, 2000));
        const qint64 readsBefore = readCalls();
        QTest::qWait(300);
        QCOMPARE(failures, 1);
        QCOMPARE(d.Connected(), !disconnectInHandler);
        // Polling every 5 ms would take about 60 reads here.
        QVERIFY2(readCalls() - readsBefore < 15,
                 qPrintable(QString::number(readCalls() - readsBefore)));
        d.Disconnect();
        QVERIFY(!d.Connected());
    }

    // WaitInReadMs: each answer provokes the next; a timer due at once shows how many answers
    // were taken before the event loop ran again.
    void waitInReadTakesAnswersInTurn_data()
    {
        QTest::addColumn<int>("waitMs");
        // answers in all; 0: a stream until the timer has run, of at most kStreamAnswers
        QTest::addColumn<int>("rounds");
        QTest::addColumn<int>("beforeLoop"); // answers taken before the timer ran; -1: any
        QTest::newRow("no wait: the event loop between answers") << 0 << 20 << 1;
        QTest::newRow("answers taken in the read") << 1000 << 20 << 20;
        QTest::newRow("a stream without pause still lets the loop run") << 30 << 0 << -1;
    }

    void waitInReadTakesAnswersInTurn()
    {
        QFETCH(int, waitMs);
        QFETCH(int, rounds);
        QFETCH(int, beforeLoop);
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        TVokCommDriver d(nullptr);
        d.ReadOnArrival = true;
        d.WaitInReadMs = quint16(waitMs);
        int taken = 0;
        int takenWhenTimerRan = -1;
        d.OnGathered = [&](TVokCommDriver *sender) {
            sender->BufferedCount = 0;
            if (++taken == 1)
                QTimer::singleShot(0, sender, [&] { takenWhenTimerRan = taken; });
            // The stream ends after kStreamAnswers even when the driver never lets the loop
            // run, so that such a driver fails here instead of hanging the test.
            if (rounds == 0 ? takenWhenTimerRan < 0 && taken < kStreamAnswers : taken < rounds)
                peer.send("a");
        };
        QVERIFY(d.Connect());
        peer.send("a");
        QVERIFY(QTest::qWaitFor([&] { return takenWhenTimerRan >= 0; }, 10000));
        if (rounds > 0) QVERIFY(QTest::qWaitFor([&] { return taken == rounds; }, 10000));
        if (beforeLoop >= 0) QCOMPARE(takenWhenTimerRan, beforeLoop);
        // A wait of 30 ms holds the loop back for one slice, far fewer answers than the whole
        // stream: the loop ran while answers still came.
        if (rounds == 0)
            QVERIFY2(takenWhenTimerRan < kStreamAnswers,
                     qPrintable(QString::number(takenWhenTimerRan)));
        QTest::qWait(50);
        QCOMPARE(taken, rounds > 0 ? rounds : taken);
        d.Disconnect();
    }

    void reconfigurationWhileOpenPurgesAndAppliesAtOnce()
    {
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        TVokCommDriver d(nullptr);
        QList<platform::SerialTraceEvent> trace;
        std::mutex m;
        platform::setSerialTracer([&](const platform::SerialTraceEvent &e) {
            std::lock_guard lock(m);
            trace.append(e);
        });
        QVERIFY(d.Connect());
        d.setComPortPollingDelay(0); // a zero poll delay reads nothing: the bytes wait unread
        peer.send("unread");
        QVERIFY(peer.waitUntilSent(2000));
        QTest::qWait(50);
        QCOMPARE(d.BufferedCount, quint16(0));
        d.setComPortSpeed(br115200);
        d.setComPortPollingDelay(5);
        QTest::qWait(100);
        QCOMPARE(d.BufferedCount, quint16(0)); // the unread input was discarded
        peer.send("fresh");                    // and the quiet port wakes for the next bytes
        QVERIFY(gathered(d, 5));
        {
            std::lock_guard lock(m);
            QVERIFY(std::any_of(trace.begin(), trace.end(), [](const auto &e) {
                return e.kind == platform::SerialTraceEvent::Line && e.line.baud == 115200;
            }));
            trace.clear();
        }
        // Connect on an open driver changes nothing.
        QVERIFY(d.Connect());
        // The port number is ignored while open, also after a later reconnect.
        d.setComPort(pnCOM3);
        QCOMPARE(d.ComPort(), pnCOM1);
        d.Disconnect();
        QVERIFY(d.Connect());
        QCOMPARE(d.devicePath(), peer.slavePath());
        {
            std::lock_guard lock(m);
            QCOMPARE(std::count_if(
                         trace.begin(), trace.end(),
                         [](const auto &e) { return e.kind == platform::SerialTraceEvent::Open; }),
                     1);
        }
        platform::setSerialTracer(nullptr);
    }

    void exclusiveOpenAndMissingPorts()
    {
        testenv::TestEnv env;
        PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        env.mapPort(2, env.file("plain.txt", "not a tty"));
        env.mapPort(3, env.root() + "/no-such-device");
        TVokCommDriver a(nullptr), b(nullptr);
        QVERIFY(a.Connect());
        QVERIFY(!b.Connect()); // the same port, already open
        QVERIFY(!b.Connected());
        a.Disconnect();
        QVERIFY(b.Connect());
        b.Disconnect();
        for (auto port : {pnCOM2, pnCOM3}) {
            TVokCommDriver c(nullptr);
            c.setComPort(port);
            QVERIFY(!c.Connect());
            QVERIFY(!c.lastError().isEmpty());
        }
    }
};

QTEST_MAIN(TestDriver)
#include "tst_driver.moc"
