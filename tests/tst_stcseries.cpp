// The STC12, STC15 and STC8 dialects against what real chips answered: each recorded session
// (tests/recorded, converted from stcgal's replay recordings) is replayed against the host
// session, every host frame the session makes is checked against the recording's host frame,
// and the simulated chips are checked against the same recordings.
#include "logic/StcProtocols.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

using namespace stc;

namespace {

struct Recorded
{
    bool host = false;
    QString kind;     // host: the frame kind of the recording ("write block (02) addr 0040 ...")
    QByteArray bytes; // host: the frame; chip: the wire frame
};

// The host frames and chip answers of a recording, in order; sync pulses and comments left out.
// Answers after the host's end frame were not read by the recording's host and are dropped.
QList<Recorded> readRecording(const QString &name)
{
    QFile f(QStringLiteral(TRAMELO_RECORDED_DIR "/%1.txt").arg(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QList<Recorded> out;
    while (!f.atEnd()) {
        const QString l = QString::fromLatin1(f.readLine()).trimmed();
        const bool host = l.startsWith(u"host: ");
        if (!host && !l.startsWith(u"chip: ")) continue;
        const QStringList parts = l.mid(6).split(u'|');
        if (parts.size() < 2 || (host && parts[0].startsWith(u"sync pulse"))) continue;
        QString bytes = parts.last().trimmed();
        if (!host) bytes.remove(QStringLiteral("wire:"));
        out.append({host, parts[0].trimmed(), QByteArray::fromHex(bytes.toLatin1())});
        if (host && parts[0].startsWith(u"end / reset")) break;
    }
    return out;
}

QByteArray image123()
{
    return QByteArrayLiteral("123456789");
}

} // namespace

class TstStcSeries : public QObject
{
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void replay_data();
    void replay();
};

// Frames as the captures show them, built and read back; damaged copies are refused.
void TstStcSeries::frames_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("width");
    QTest::addColumn<quint8>("direction");
    QTest::addColumn<QByteArray>("wire");
    // stc15l104w.txt: prepare answer; stc12c2052ad.txt: the 1-byte-sum option answer;
    // stc12c5a60s2.txt: the handshake start.
    QTest::newRow("STC15 05") << QByteArray::fromHex("05") << 2 << quint8(0x68)
                              << QByteArray::fromHex("46B968000705007416");
    QTest::newRow("STC12A 80") << QByteArray::fromHex("80") << 1 << quint8(0x68)
                               << QByteArray::fromHex("46B968000680EE16");
    QTest::newRow("STC12 50") << QByteArray::fromHex("5000003601D17E") << 2 << quint8(0x6A)
                              << QByteArray::fromHex("46B96A000D5000003601D17E024D16");
}

void TstStcSeries::frames()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, width);
    QFETCH(quint8, direction);
    QFETCH(QByteArray, wire);
    QCOMPARE(buildFrame(direction, payload, width), wire);
    const FrameScan whole = scanFrame(wire, direction, width);
    QCOMPARE(whole.status, FrameScan::Complete);
    QCOMPARE(whole.payload, payload);
    QCOMPARE(whole.size, wire.size());
    for (qsizetype cut = 1; cut < wire.size(); ++cut)
        QCOMPARE(scanFrame(wire.first(cut), direction, width).status, FrameScan::Incomplete);
    for (qsizetype i = 0; i < wire.size(); ++i) {
        QByteArray bad = wire;
        bad[i] = char(bad[i] ^ 0x01);
        // A damaged length byte may only make the frame look longer (incomplete).
        const FrameScan s = scanFrame(bad, direction, width);
        QVERIFY2(s.status != FrameScan::Complete, qPrintable(QString::number(i)));
    }
}

// Each recording: the session with the recording's host parameters meets the recorded answers.
void TstStcSeries::replay_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<qint32>("handshake");
    QTest::addColumn<qint32>("transfer");
    QTest::addColumn<qint64>("target"); // 0: none chosen
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("failure");
    QTest::addColumn<qint64>("clock"); // reached
    // stc12c5a60s2.txt: the block answers (00 03, 00 00 ...) are those of the trace's own image
    // (a program whose first block sums to 03, the rest 00 padding); this image has those sums.
    QByteArray traceImage(512, '\0');
    traceImage[0] = 0x03;
    QTest::newRow("STC12C2052AD") << "stc12c2052ad" << 2400 << 2400 << qint64(0) << image123()
                                  << "STC12C2052AD" << int(Failure::None) << qint64(5182971);
    QTest::newRow("STC12C5A60S2") << "stc12c5a60s2" << 9600 << 9600 << qint64(0) << traceImage
                                  << "STC12C5A60S2" << int(Failure::None) << qint64(19950171);
    QTest::newRow("STC15L104W") << "stc15l104w" << 9600 << 9600 << qint64(0) << image123()
                                << "STC15L104W" << int(Failure::None) << qint64(5990400);
    QTest::newRow("IAP15F2K61S2") << "iap15f2k61s2" << 9600 << 9600 << qint64(22118400)
                                  << image123() << "IAP15F2K61S2" << int(Failure::None)
                                  << qint64(22118400);
    QTest::newRow("STC15W4K56S4") << "stc15w4k56s4" << 2400 << 2400 << qint64(11059200)
                                  << image123() << "STC15W4K56S4" << int(Failure::None)
                                  << qint64(11047200);
    QTest::newRow("STC8A8K64S4A12") << "stc8a8k64s4a12" << 2400 << 2400 << qint64(24990000)
                                    << image123() << "STC8A8K64S4A12" << int(Failure::None)
                                    << qint64(24990000);
    QTest::newRow("STC8F2K08S2 untrimmed")
        << "stc8f2k08s2-untrimmed" << 9600 << 9600 << qint64(0) << image123() << "STC8F2K08S2"
        << int(Failure::NeedsClock) << qint64(0);
}

void TstStcSeries::replay()
{
    QFETCH(QString, file);
    QFETCH(qint32, handshake);
    QFETCH(qint32, transfer);
    QFETCH(qint64, target);
    QFETCH(QByteArray, image);
    QFETCH(QString, model);
    QFETCH(int, failure);
    QFETCH(qint64, clock);
    const QList<Recorded> rec = readRecording(file);
    QVERIFY(!rec.isEmpty());

    Choices c;
    c.image = image;
    c.handshakeBaud = handshake;
    c.transferBaud = transfer;
    if (target) c.clockHz = target;
    Session s(c);
    Action a = s.start();
    QVERIFY(a.pulse == quint8(0x7F) && a.bytes.isEmpty() && a.awaitsAnswer);
    const bool ownImage = image == image123();
    int hostFrames = 0;
    for (const Recorded &l : rec) {
        if (l.host) {
            // The session sends this frame now: same command and length, and byte for byte
            // unless the blocks carry another image than the recording's host sent.
            ++hostFrames;
            QCOMPARE(a.bytes.size(), l.bytes.size());
            QCOMPARE(quint8(a.bytes.at(5)), quint8(l.bytes.at(5))); // the command
            if (ownImage || !l.kind.startsWith(u"write block"))
                QCOMPARE(a.bytes.toHex(' '), l.bytes.toHex(' '));
            if (a.finished) break;
            continue;
        }
        QVERIFY2(!a.finished, qPrintable(s.outcome().detail));
        QVERIFY(a.awaitsAnswer);
        // Byte by byte for the first half, then the rest at once.
        const qsizetype half = l.bytes.size() / 2;
        std::optional<Action> next;
        for (qsizetype i = 0; i < half; ++i)
            QVERIFY(!s.received(l.bytes.sliced(i, 1)));
        next = s.received(l.bytes.sliced(half));
        QVERIFY2(next, qPrintable(l.bytes.toHex(' ')));
        a = *next;
    }
    QVERIFY(a.finished);
    QVERIFY(hostFrames > 0);
    QCOMPARE(int(s.outcome().failure), failure);
    QCOMPARE(s.outcome().done, failure == int(Failure::None));
    QVERIFY(s.status());
    QCOMPARE(s.status()->model->name.toString(), model);
    QCOMPARE(s.outcome().clockHz, clock);
}

QTEST_APPLESS_MAIN(TstStcSeries)
#include "tst_stcseries.moc"
