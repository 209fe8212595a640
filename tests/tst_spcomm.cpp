// TComm on pseudo-terminals: reads cut by the time-outs, ordered writes, the empty-queue
// notice, the open/stop rules, line settings applied at once, and a device that vanishes.
//
// The speed is read back with the kernel's termios2, so this file opens ptys with posix_openpt
// rather than <pty.h> (which pulls in <termios.h>).
#include "platform/SerialPort.h"
#include "serial/SPComm.h"
#include "support/Firmware.h"
#include "support/RawPty.h"
#include "support/SerialTrace.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::SerialTraceEvent;

namespace {

using Pty = testsupport::RawPty;

// What the events of one component delivered, with the time of each delivery.
struct Recorder
{
    struct Chunk
    {
        QByteArray bytes;
        qint64 at;
        bool zeroAfter;
    };
    QElapsedTimer clock;
    std::vector<Chunk> chunks;
    int sendEmpty = 0;
    int hangups = 0;
    bool offThread = false;

    explicit Recorder(TComm &comm)
    {
        clock.start();
        comm.OnReceiveData = [this](TComm *, const char *buffer, quint16 length) {
            offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
            chunks.push_back({QByteArray(buffer, length), clock.elapsed(), buffer[length] == 0});
        };
        comm.OnSendDataEmpty = [this](TComm *) {
            offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
            ++sendEmpty;
        };
        comm.OnRequestHangup = [this](TComm *) {
            offThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
            ++hangups;
        };
    }
    QByteArray received() const
    {
        QByteArray all;
        for (const auto &c : chunks)
            all += c.bytes;
        return all;
    }
};

using firmware::pattern;

QString commsError(TComm &comm)
{
    try {
        comm.StartPort();
    } catch (const ECommsError &e) {
        return QString::fromLatin1(e.what());
    }
    return {};
}

} // namespace

class tst_SPComm : public QObject
{
    Q_OBJECT

private slots:
    void defaultsOfTheProperties();
    void burstArrivesInReadsOfAtMost2048();
    void readCompletion_data();
    void readCompletion();
    void totalTimeoutNeverCompletesEmpty();
    void writesArriveInOrder();
    void sendDataEmptyOncePerDrain();
    void startTwiceKeepsThePortOpen();
    void writeDataRefused_data();
    void writeDataRefused();
    void nothingWrittenAfterStopPort();
    void lineChangesApplyAtOnceButParityWaits();
    void rtsFollowsTransmission();
    void startFailures_data();
    void startFailures();
    void secondComponentOnSamePortFails();
    void purgeReceiveKeepsThePortAndDropsOnlyOldBytes();
    void vanishedDeviceRaisesOneHangup();
    void waitUntilSentWaitsForTheQueue();
    void restartAfterStop();
    void destructorStopsAndReleases();
};

void tst_SPComm::defaultsOfTheProperties()
{
    TComm c;
    QCOMPARE(c.CommName(), QStringLiteral("COM2"));
    QCOMPARE(c.BaudRate(), 9600u);
    QCOMPARE(c.DtrControl(), TDtrControl::DtrEnable);
    QCOMPARE(c.RtsControl(), TRtsControl::RtsEnable);
    QVERIFY(c.TxContinueOnXoff() && c.Outx_XonXoffFlow() && c.Inx_XonXoffFlow());
    QVERIFY(!c.ParityCheck() && !c.Outx_CtsFlow() && !c.Outx_DsrFlow() && !c.DsrSensitivity());
    QVERIFY(!c.ReplaceWhenParityError() && !c.IgnoreNullChar());
    QCOMPARE(c.XonLimit(), quint16(500));
    QCOMPARE(c.XoffLimit(), quint16(500));
    QCOMPARE(c.ByteSize(), TByteSize::_8);
    QCOMPARE(c.Parity(), TParity::None);
    QCOMPARE(c.StopBits(), TStopBits::_1);
    QCOMPARE(c.XonChar(), char(0x11));
    QCOMPARE(c.XoffChar(), char(0x13));
    QCOMPARE(c.ReplacedChar(), char(0));
    QCOMPARE(c.ReadIntervalTimeout(), 100u);
    QCOMPARE(c.ReadTotalTimeoutMultiplier() + c.ReadTotalTimeoutConstant() +
                 c.WriteTotalTimeoutMultiplier() + c.WriteTotalTimeoutConstant(),
             0u);
    QVERIFY(!c.IsOpen());
}

void tst_SPComm::burstArrivesInReadsOfAtMost2048()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    // The pattern holds XON and XOFF bytes, which XON/XOFF flow control (on by default) takes.
    comm.setOutx_XonXoffFlow(false);
    comm.setInx_XonXoffFlow(false);
    comm.StartPort();
    const QByteArray data = pattern(5000);
    QVERIFY(pty.send(data));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received().size(), data.size(), 5000);
    QCOMPARE(rec.received(), data);
    QVERIFY2(rec.chunks.size() >= 3, qPrintable(QString::number(rec.chunks.size())));
    for (const auto &c : rec.chunks) {
        QVERIFY(c.bytes.size() >= 1 && c.bytes.size() <= 2048);
        QVERIFY(c.zeroAfter);
    }
    QVERIFY(!rec.offThread);
    comm.StopPort();
}

// pieces of 2 bytes are sent gapMs apart; the deliveries and the delay from the last piece to
// the first delivery are checked.
void tst_SPComm::readCompletion_data()
{
    QTest::addColumn<quint32>("interval");
    QTest::addColumn<quint32>("multiplier");
    QTest::addColumn<quint32>("constant");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("deliveries");
    QTest::addColumn<int>("minDelayMs");
    QTest::addColumn<int>("maxDelayMs");
    constexpr quint32 kMax = 0xFFFFFFFFu;
    QTest::newRow("default: 100 ms after the last byte, gaps of 40 ms join")
        << 100u << 0u << 0u << 5 << 40 << 1 << 90 << 300;
    QTest::newRow("interval 200 ms, gaps of 60 ms join")
        << 200u << 0u << 0u << 4 << 60 << 1 << 190 << 400;
    QTest::newRow("interval 50 ms, gaps of 150 ms split")
        << 50u << 0u << 0u << 3 << 150 << 3 << 40 << 200;
    QTest::newRow("huge totals leave the interval in charge")
        << 100u << kMax << kMax << 3 << 30 << 1 << 90 << 300;
    QTest::newRow("MAXDWORD interval, totals 0: at once")
        << kMax << 0u << 0u << 1 << 0 << 1 << 0 << 80;
    QTest::newRow("MAXDWORD interval and multiplier, constant: at the first byte")
        << kMax << kMax << 1000u << 1 << 0 << 1 << 0 << 80;
}

void tst_SPComm::readCompletion()
{
    QFETCH(quint32, interval);
    QFETCH(quint32, multiplier);
    QFETCH(quint32, constant);
    QFETCH(int, pieces);
    QFETCH(int, gapMs);
    QFETCH(int, deliveries);
    QFETCH(int, minDelayMs);
    QFETCH(int, maxDelayMs);

    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    comm.setReadIntervalTimeout(interval);
    comm.setReadTotalTimeoutMultiplier(multiplier);
    comm.setReadTotalTimeoutConstant(constant);
    comm.StartPort();

    qint64 lastSent = 0;
    for (int i = 0; i < pieces; ++i) {
        if (i > 0) QTest::qWait(gapMs);
        QVERIFY(pty.send(QByteArray(2, char('a' + i))));
        lastSent = rec.clock.elapsed();
    }
    QTRY_COMPARE_WITH_TIMEOUT(rec.received().size(), 2 * pieces, 3000);
    QTest::qWait(300); // nothing more may come
    QCOMPARE(int(rec.chunks.size()), deliveries);
    const qint64 delay = rec.chunks.back().at - lastSent;
    QVERIFY2(delay >= minDelayMs && delay <= maxDelayMs, qPrintable(QString::number(delay)));
    comm.StopPort();
}

// Interval 0 and a total of 300 ms: a read ends 300 ms after it began with whatever came, and
// a read that ends with nothing is not delivered but followed by the next one.
void tst_SPComm::totalTimeoutNeverCompletesEmpty()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    comm.setReadIntervalTimeout(0);
    comm.setReadTotalTimeoutConstant(300);
    const qint64 started = rec.clock.elapsed();
    comm.StartPort();
    QTest::qWait(50);
    QVERIFY(pty.send("abc"));
    QTest::qWait(100);
    QVERIFY(pty.send("def"));
    QTRY_COMPARE_WITH_TIMEOUT(int(rec.chunks.size()), 1, 2000);
    QCOMPARE(rec.chunks[0].bytes, QByteArray("abcdef"));
    const qint64 at = rec.chunks[0].at - started;
    QVERIFY2(at >= 280 && at <= 600, qPrintable(QString::number(at)));

    QTest::qWait(800); // several empty reads pass
    QCOMPARE(int(rec.chunks.size()), 1);
    const qint64 sent = rec.clock.elapsed();
    QVERIFY(pty.send("g"));
    QTRY_COMPARE_WITH_TIMEOUT(int(rec.chunks.size()), 2, 2000);
    QCOMPARE(rec.chunks[1].bytes, QByteArray("g"));
    QVERIFY(rec.chunks[1].at - sent <= 400);
    comm.StopPort();
}

void tst_SPComm::writesArriveInOrder()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    comm.setCommName(pty.path());
    comm.StartPort();
    QVERIFY(comm.WriteData("first,", 6));
    QVERIFY(comm.WriteData("second,", 7));
    const QByteArray third = pattern(3000);
    QVERIFY(comm.WriteData(third.constData(), quint16(third.size())));
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < 13 + third.size() && t.elapsed() < 3000)
        got += pty.receive(100);
    QCOMPARE(got, QByteArray("first,second,") + third);
    comm.StopPort();
}

void tst_SPComm::sendDataEmptyOncePerDrain()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    comm.StartPort();
    QTRY_COMPARE_WITH_TIMEOUT(rec.sendEmpty, 1, 2000);
    QTest::qWait(300);
    QCOMPARE(rec.sendEmpty, 1); // idle: not again

    QVERIFY(comm.WriteData("x", 1));
    QTRY_COMPARE_WITH_TIMEOUT(rec.sendEmpty, 2, 2000);
    QTest::qWait(300);
    QCOMPARE(rec.sendEmpty, 2);

    QVERIFY(comm.WriteData("a", 1));
    QVERIFY(comm.WriteData("b", 1));
    QVERIFY(comm.WriteData("c", 1));
    QTRY_VERIFY_WITH_TIMEOUT(rec.sendEmpty >= 3, 2000);
    QTest::qWait(300);
    QVERIFY(rec.sendEmpty >= 3 && rec.sendEmpty <= 5);
    QCOMPARE(pty.receive(100), QByteArray("xabc"));
    QVERIFY(!rec.offThread);
    comm.StopPort();
}

void tst_SPComm::startTwiceKeepsThePortOpen()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    comm.setCommName(pty.path());
    comm.StartPort();
    QCOMPARE(commsError(comm), QStringLiteral("This serial port already opened"));
    QVERIFY(comm.IsOpen());
    QVERIFY(comm.WriteData("still", 5));
    QCOMPARE(pty.receive(300), QByteArray("still"));
    comm.StopPort();
    QVERIFY(!comm.IsOpen());
    comm.StopPort(); // on a closed component: nothing
    QVERIFY(!comm.IsOpen());
}

void tst_SPComm::writeDataRefused_data()
{
    QTest::addColumn<int>("when");
    QTest::newRow("before StartPort") << 0;
    QTest::newRow("length 0 while open") << 1;
    QTest::newRow("after StopPort") << 2;
}

void tst_SPComm::writeDataRefused()
{
    QFETCH(int, when);
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    comm.setCommName(pty.path());
    if (when == 0) QVERIFY(!comm.WriteData("abc", 3));
    comm.StartPort();
    if (when == 1) QVERIFY(!comm.WriteData("abc", 0));
    comm.StopPort();
    if (when == 2) QVERIFY(!comm.WriteData("abc", 3));
    QCOMPARE(pty.receive(200), QByteArray());
}

// The master does not read, so the transmit thread is held in the middle of a long write when
// StopPort comes; StopPort must end it promptly and nothing may be written afterwards.
void tst_SPComm::nothingWrittenAfterStopPort()
{
    Pty pty;
    QVERIFY(pty.ok());
    testsupport::TraceRecorder log;
    TComm comm;
    comm.setCommName(pty.path());
    comm.StartPort();
    const QByteArray big = pattern(60000);
    QVERIFY(comm.WriteData(big.constData(), quint16(big.size())));
    QVERIFY(comm.WriteData(big.constData(), 100));
    QTRY_VERIFY_WITH_TIMEOUT(!log.events(SerialTraceEvent::Write).empty(), 2000);
    QTest::qWait(100);
    QElapsedTimer t;
    t.start();
    comm.StopPort();
    log.mark();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    const QByteArray before = pty.receive(100);
    QVERIFY(before.size() < big.size() + 100);
    QCOMPARE(before, big.left(before.size()));
    QTest::qWait(300);
    QCOMPARE(pty.receive(100), QByteArray());
    QCOMPARE(log.countAfterMark(SerialTraceEvent::Write), 0);
}

void tst_SPComm::lineChangesApplyAtOnceButParityWaits()
{
    Pty pty;
    QVERIFY(pty.ok());
    testsupport::TraceRecorder log;
    TComm comm;
    comm.setCommName(pty.path());
    comm.setBaudRate(1200); // closed: stored only
    QVERIFY(log.events(SerialTraceEvent::Line).empty());
    comm.StartPort();
    QCOMPARE(log.events(SerialTraceEvent::Line).size(), 1u);
    QCOMPARE(pty.speed(), 1200u);

    comm.setBaudRate(19200);
    auto lines = log.events(SerialTraceEvent::Line);
    QCOMPARE(lines.size(), 2u);
    QCOMPARE(lines.back().line.baud, 19200u);
    QCOMPARE(pty.speed(), 19200u);

    comm.setBaudRate(19200); // unchanged: nothing
    comm.setParity(TParity::Even);
    comm.setCommName(QStringLiteral("/dev/null"));
    QCOMPARE(log.events(SerialTraceEvent::Line).size(), 2u);

    comm.setStopBits(TStopBits::_2);
    lines = log.events(SerialTraceEvent::Line);
    QCOMPARE(lines.size(), 3u);
    QVERIFY(lines.back().line.parity == platform::Parity::Even);
    QVERIFY(lines.back().line.stopBits == platform::StopBits::Two);
    QCOMPARE(lines.back().line.baud, 19200u);

    comm.setByteSize(TByteSize::_7);
    comm.setOutx_XonXoffFlow(false);
    lines = log.events(SerialTraceEvent::Line);
    QCOMPARE(lines.size(), 5u);
    QCOMPARE(lines.back().line.dataBits, 7);
    QVERIFY(!lines.back().line.xonXoffOut);
    QVERIFY(lines.back().line.xonXoffIn);
    comm.StopPort();
}

void tst_SPComm::rtsFollowsTransmission()
{
    Pty pty;
    QVERIFY(pty.ok());
    testsupport::TraceRecorder log;
    TComm comm;
    comm.setCommName(pty.path());
    comm.setRtsControl(TRtsControl::RtsTransmissionAvailable);
    comm.setDtrControl(TDtrControl::DtrDisable);
    comm.StartPort();
    QTRY_COMPARE_WITH_TIMEOUT(int(log.events(SerialTraceEvent::Rts).size()), 1, 1000);
    QCOMPARE(log.events(SerialTraceEvent::Rts)[0].on, false);
    QCOMPARE(log.events(SerialTraceEvent::Dtr).back().on, false);

    QVERIFY(comm.WriteData("abc", 3));
    QTRY_COMPARE_WITH_TIMEOUT(int(log.events(SerialTraceEvent::Rts).size()), 3, 2000);
    std::vector<SerialTraceEvent::Kind> order;
    std::vector<bool> levels;
    for (const auto &e : log.all()) {
        if (e.kind == SerialTraceEvent::Rts || e.kind == SerialTraceEvent::Write) {
            order.push_back(e.kind);
            levels.push_back(e.on);
        }
    }
    const std::vector<SerialTraceEvent::Kind> expected = {
        SerialTraceEvent::Rts, SerialTraceEvent::Rts, SerialTraceEvent::Write,
        SerialTraceEvent::Rts};
    QVERIFY(order == expected);
    QVERIFY(!levels[0] && levels[1] && !levels[3]);
    QCOMPARE(pty.receive(100), QByteArray("abc"));
    comm.StopPort();
}

void tst_SPComm::startFailures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    const QString notComm = QStringLiteral("File handle is not a comm handle ");
    const QString openFailed = QStringLiteral("Error opening serial port");
    QTest::newRow("not a tty: /dev/null") << QStringLiteral("/dev/null") << notComm;
    QTest::newRow("not a tty: regular file") << QString() << notComm;
    QTest::newRow("missing device") << QStringLiteral("/dev/ttyNoSuchPort7") << openFailed;
    QTest::newRow("name resolving to nothing") << QStringLiteral("no such port") << openFailed;
}

void tst_SPComm::startFailures()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QTemporaryFile file;
    if (name.isNull()) {
        QVERIFY(file.open());
        name = file.fileName();
    }
    TComm comm;
    comm.setCommName(name);
    QCOMPARE(commsError(comm), message);
    QVERIFY(!comm.IsOpen());
    QVERIFY(!comm.WriteData("x", 1));
    comm.StopPort();
}

void tst_SPComm::secondComponentOnSamePortFails()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm first, second;
    first.setCommName(pty.path());
    second.setCommName(pty.path());
    first.StartPort();
    QCOMPARE(commsError(second), QStringLiteral("Error opening serial port"));
    QVERIFY(!second.IsOpen());
    QVERIFY(first.WriteData("ok", 2));
    QCOMPARE(pty.receive(300), QByteArray("ok"));
    first.StopPort();
    QCOMPARE(commsError(second), QString());
    second.StopPort();
}

// A speed change on the open port: what came before the purge (in the kernel or in the read
// in progress) is dropped, what comes after it is kept, and the port is never let go, so a
// second opener fails all along.
void tst_SPComm::purgeReceiveKeepsThePortAndDropsOnlyOldBytes()
{
    Pty pty;
    QVERIFY(pty.ok());
    testsupport::TraceRecorder trace;
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    comm.StartPort();
    // A read in progress: bytes in, the 100 ms quiet time not yet over.
    QVERIFY(pty.send("old"));
    QTest::qWait(30);
    comm.setBaudRate(115200);
    comm.PurgeReceive();
    QVERIFY(pty.send("new"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received(), QByteArray("new"), 2000);
    QTest::qWait(200);
    QCOMPARE(rec.received(), QByteArray("new"));
    TComm other;
    other.setCommName(pty.path());
    QCOMPARE(commsError(other), QStringLiteral("Error opening serial port"));
    // A second purge works as the first; on a closed port it does nothing.
    QVERIFY(pty.send("stale"));
    QTest::qWait(20);
    comm.PurgeReceive();
    QVERIFY(pty.send("!"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.received(), QByteArray("new!"), 2000);
    comm.StopPort();
    comm.PurgeReceive();
    QCOMPARE(trace.events(SerialTraceEvent::Open).size(), std::size_t(1));
    QCOMPARE(trace.events(SerialTraceEvent::Close).size(), std::size_t(1));
    QCOMPARE(trace.events(SerialTraceEvent::Line).back().line.baud, 115200u);
    QVERIFY(!rec.offThread);
}

void tst_SPComm::vanishedDeviceRaisesOneHangup()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    comm.StartPort();
    QTRY_COMPARE_WITH_TIMEOUT(rec.sendEmpty, 1, 2000);
    pty.closeMaster();
    QTRY_COMPARE_WITH_TIMEOUT(rec.hangups, 1, 2000);
    // The transmit thread meets the same failure; the hang-up is still reported once.
    comm.WriteData("lost", 4);
    QTest::qWait(300);
    QCOMPARE(rec.hangups, 1);
    QVERIFY(!rec.offThread);
    QVERIFY(comm.IsOpen()); // until StopPort
    QVERIFY(!comm.WaitUntilSent(200));
    QElapsedTimer t;
    t.start();
    comm.StopPort();
    QVERIFY(t.elapsed() < 1000);
    QVERIFY(!comm.IsOpen());
}

void tst_SPComm::waitUntilSentWaitsForTheQueue()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    comm.setCommName(pty.path());
    comm.StartPort();
    const QByteArray big = pattern(60000);
    QVERIFY(comm.WriteData(big.constData(), quint16(big.size())));
    QVERIFY(comm.WriteData("end", 3));

    QElapsedTimer t;
    t.start();
    QVERIFY(!comm.WaitUntilSent(300)); // the master does not read: the pty is full
    QVERIFY(t.elapsed() >= 290 && t.elapsed() < 1500);

    QByteArray got;
    std::thread reader([&] {
        QElapsedTimer r;
        r.start();
        while (got.size() < big.size() + 3 && r.elapsed() < 5000)
            got += pty.receive(50);
    });
    const bool sent = comm.WaitUntilSent(5000);
    reader.join();
    QVERIFY(sent);
    QCOMPARE(got, big + "end");
    comm.StopPort();
    QVERIFY(comm.WaitUntilSent(0)); // closed: nothing to wait for
}

void tst_SPComm::restartAfterStop()
{
    Pty pty;
    QVERIFY(pty.ok());
    TComm comm;
    Recorder rec(comm);
    comm.setCommName(pty.path());
    for (int round = 0; round < 3; ++round) {
        comm.StartPort();
        const QByteArray out = QByteArray("out") + QByteArray::number(round);
        QVERIFY(comm.WriteData(out.constData(), quint16(out.size())));
        QCOMPARE(pty.receive(200), out);
        const QByteArray in = QByteArray("in") + QByteArray::number(round);
        QVERIFY(pty.send(in));
        QTRY_VERIFY_WITH_TIMEOUT(rec.received().endsWith(in), 2000);
        comm.StopPort();
    }
}

// Destroying an open component stops it; received data still waiting for the user-interface
// thread is released with it (the leak checker sees it otherwise), and the port is free again.
void tst_SPComm::destructorStopsAndReleases()
{
    Pty pty;
    QVERIFY(pty.ok());
    bool called = false;
    {
        auto comm = std::make_unique<TComm>();
        comm->OnReceiveData = [&called](TComm *, const char *, quint16) { called = true; };
        comm->setCommName(pty.path());
        comm->StartPort();
        QVERIFY(pty.send("pending"));
        QVERIFY(comm->WriteData("queued", 6));
        QThread::msleep(300); // the read completes and is posted, but no event is handled
    }
    QCoreApplication::processEvents();
    QVERIFY(!called);
    platform::SerialPort port;
    QCOMPARE(port.open(pty.path()), platform::OpenResult::Ok);
}

QTEST_GUILESS_MAIN(tst_SPComm)
#include "tst_spcomm.moc"
