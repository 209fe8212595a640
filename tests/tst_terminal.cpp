// Terminal logic: HEX send bytes, GBK text, receive text forms and their incremental
// rendering, the receive area's line breaks, time stamps, line endings, the bytes of typed
// keys, the log's form and writer, the plot's parser and samples, loading a file.
#include "logic/Plot.h"
#include "logic/Terminal.h"
#include "logic/TerminalLog.h"

#include <QDateTime>
#include <QDir>
#include <atomic>
#include <cmath>

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace terminal;

Q_DECLARE_METATYPE(terminal::ReceiveMode)

namespace {

// Appends chunk by chunk; returns what the area would show.
QString renderInChunks(ReceiveRenderer &r, const QByteArray &store, const QList<qsizetype> &cuts)
{
    QString shown;
    qsizetype pos = 0;
    for (qsizetype cut : cuts) {
        shown += r.append(QByteArrayView(store).sliced(pos, cut - pos));
        pos = cut;
    }
    shown += r.append(QByteArrayView(store).sliced(pos));
    return shown;
}

// A byte stream rich in what makes GBK rendering hard: two-byte characters, lone lead bytes,
// lead bytes followed by invalid trail bytes, zero bytes between a lead and its trail, the
// single-byte euro 0x80, CR and LF, and plain ASCII.
QByteArray randomStream(QRandomGenerator &rng, int length)
{
    static const QByteArray pieces[] = {
        QByteArray("\xC4\xE3"),    QByteArray("\xBA\xC3"),
        QByteArray("\xB0\xA1"),    QByteArray("\x81\x40"),
        QByteArray("\xFE\xFE"),    QByteArray(1, char(0xC4)),
        QByteArray("\xC4\x0A"),    QByteArray("\xC4\x7F"),
        QByteArray("\xC4\xFF"),    QByteArray("\xC4\x00\xE3", 3),
        QByteArray(1, '\0'),       QByteArray(1, char(0x80)),
        QByteArray(1, char(0xFF)), QByteArray("\r\n"),
        QByteArray("\r"),          QByteArray("A"),
        QByteArray("xyz"),         QByteArray("\x81\x30\x81\x30"),
    };
    QByteArray out;
    while (out.size() < length) {
        if (rng.bounded(4) == 0)
            out.append(char(rng.bounded(256)));
        else
            out.append(pieces[rng.bounded(int(std::size(pieces)))]);
    }
    return out;
}

QList<qsizetype> randomCuts(QRandomGenerator &rng, qsizetype size)
{
    QList<qsizetype> cuts;
    qsizetype pos = 0;
    while (true) {
        pos += rng.bounded(1, 9);
        if (pos >= size) break;
        cuts.append(pos);
    }
    return cuts;
}

} // namespace

class TstTerminal : public QObject
{
    Q_OBJECT

private slots:
    void sendHexBytes_data();
    void sendHexBytes();
    void splitSendBlocks_data();
    void splitSendBlocks();
    void gbkRoundTrip_data();
    void gbkRoundTrip();
    void receiveText_data();
    void receiveText();
    void receiveLimit_data();
    void receiveLimit();
    void splitCharacterShownWhole_data();
    void splitCharacterShownWhole();
    void rendererMatchesRebuildAtEverySplit_data();
    void rendererMatchesRebuildAtEverySplit();
    void rendererMatchesRebuildForRandomStreams();
    void rendererContinuesAfterModeSwitch();
    void receiveAreaLineBreaks_data();
    void receiveAreaLineBreaks();
    void keyPressBytes_data();
    void keyPressBytes();
    void lineEnds();
    void stamps_data();
    void stamps();
    void logForm_data();
    void logForm();
    void logWriter();
    void byIdName();
    void plotLines_data();
    void plotLines();
    void plotLineSplitter();
    void plotData();
    void sendFileText_data();
    void sendFileText();
    void loadSendFile();
    void loadSendFileRefusals();
};

void TstTerminal::sendHexBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("0x prefixes are not prefixes") << "0x41 0x42" << QByteArray::fromHex("041042");
    QTest::newRow("separators do not delimit") << "1 23 4f x5" << QByteArray::fromHex("1234F5");
    QTest::newRow("7 digits -> 3 bytes") << "1234567" << QByteArray::fromHex("123456");
    QTest::newRow("ABC") << "ABC" << QByteArray::fromHex("AB");
    QTest::newRow("no digits") << "xyz ,;\r\n" << QByteArray();
    QTest::newRow("Chinese dropped") << QString::fromUtf16(u"4你1好") << QByteArray::fromHex("41");
    QTest::newRow("full-width digits dropped")
        << QString::fromUtf16(u"\uFF14\uFF11") << QByteArray();
    QTest::newRow("lines") << "41 42\r\n43" << QByteArray("ABC");
}

void TstTerminal::sendHexBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(terminal::sendHexBytes(text), bytes);
}

void TstTerminal::splitSendBlocks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("sizes");
    QTest::newRow("empty") << 0 << QList<int>{};
    QTest::newRow("one byte") << 1 << QList<int>{1};
    QTest::newRow("exactly one block") << 50000 << QList<int>{50000};
    QTest::newRow("one past a block") << 50001 << QList<int>{50000, 1};
    QTest::newRow("120000") << 120000 << QList<int>{50000, 50000, 20000};
}

void TstTerminal::splitSendBlocks()
{
    QFETCH(int, size);
    QFETCH(QList<int>, sizes);
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + i / 256);
    const QList<QByteArray> blocks = terminal::splitSendBlocks(bytes);
    QCOMPARE(blocks.size(), sizes.size());
    QByteArray joined;
    for (int i = 0; i < blocks.size(); ++i) {
        QCOMPARE(int(blocks[i].size()), sizes[i]);
        joined += blocks[i];
    }
    QCOMPARE(joined, bytes);
}

void TstTerminal::gbkRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("ASCII") << "abc\r\n" << QByteArray("abc\r\n");
    QTest::newRow("ni hao") << QString::fromUtf16(u"你好") << QByteArray("\xC4\xE3\xBA\xC3");
    QTest::newRow("mixed") << QString::fromUtf16(u"发送区A")
                           << QByteArray("\xB7\xA2\xCB\xCD\xC7\xF8"
                                         "A");
    QTest::newRow("euro") << QString::fromUtf16(u"\u20AC") << QByteArray("\x80");
}

void TstTerminal::gbkRoundTrip()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QVERIFY(terminal::gbkAvailable());
    QCOMPARE(terminal::encodeGbk(text), bytes);
    QCOMPARE(terminal::decodeGbk(bytes), text);
}

void TstTerminal::receiveText_data()
{
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<ReceiveMode>("mode");
    QTest::addColumn<QString>("shown");
    const QByteArray a0b("A\0B", 3);
    QTest::newRow("zero dropped, text") << a0b << ReceiveMode::Text << "AB";
    QTest::newRow("zero kept, hex") << a0b << ReceiveMode::Hex << "41 00 42 ";
    QTest::newRow("CR LF hex") << QByteArray("A\r\n") << ReceiveMode::Hex << "41 0D 0A ";
    QTest::newRow("CR LF text unchanged") << QByteArray("A\r\n") << ReceiveMode::Text << "A\r\n";
    QTest::newRow("GBK pair") << QByteArray("\xC4\xE3") << ReceiveMode::Text
                              << QString::fromUtf16(u"你");
    QTest::newRow("zero inside a pair")
        << QByteArray("\xC4\0\xE3", 3) << ReceiveMode::Text << QString::fromUtf16(u"你");
    QTest::newRow("trailing lead byte waits") << QByteArray("A\xC4") << ReceiveMode::Text << "A";
    QTest::newRow("empty, text") << QByteArray() << ReceiveMode::Text << "";
    QTest::newRow("empty, hex") << QByteArray() << ReceiveMode::Hex << "";
}

void TstTerminal::receiveText()
{
    QFETCH(QByteArray, store);
    QFETCH(ReceiveMode, mode);
    QFETCH(QString, shown);
    QCOMPARE(terminal::receiveText(store, mode), shown);
}

void TstTerminal::receiveLimit_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("exceeded");
    QTest::newRow("9990 + 10") << 9990 << 10 << true;
    QTest::newRow("9989 + 10 = 9999") << 9989 << 10 << false;
    QTest::newRow("0 + 1024") << 0 << 1024 << false;
    QTest::newRow("0 + 10000") << 0 << 10000 << true;
}

void TstTerminal::receiveLimit()
{
    QFETCH(int, before);
    QFETCH(int, chunk);
    QFETCH(bool, exceeded);
    QCOMPARE(terminal::receiveLimitExceeded(before, chunk), exceeded);
}

void TstTerminal::splitCharacterShownWhole_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("appended");
    QTest::newRow("C4 | E3") << QList<QByteArray>{"\xC4", "\xE3"}
                             << QStringList{"", QStringLiteral("你")};
    QTest::newRow("A C4 | E3 B") << QList<QByteArray>{"A\xC4", "\xE3"
                                                               "B"}
                                 << QStringList{"A", QStringLiteral("你B")};
    QTest::newRow("C4 | 00 | E3") << QList<QByteArray>{"\xC4", QByteArray(1, '\0'), "\xE3"}
                                  << QStringList{"", "", QStringLiteral("你")};
}

void TstTerminal::splitCharacterShownWhole()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, appended);
    ReceiveRenderer r(ReceiveMode::Text);
    for (int i = 0; i < chunks.size(); ++i)
        QCOMPARE(r.append(chunks[i]), appended[i]);
}

void TstTerminal::rendererMatchesRebuildAtEverySplit_data()
{
    QTest::addColumn<QByteArray>("store");
    QTest::newRow("Chinese text") << terminal::encodeGbk(u"串口调试助手：你好，世界！\r\nOK");
    QTest::newRow("invalid trails") << QByteArray("\xC4\x0A\xC4\x7F\xC4\xFF\xFF\x80\xC4");
    QTest::newRow("zeros between") << QByteArray("\xC4\0\0\xE3\0A\0", 7);
}

// Every way of cutting a store in two or three pieces gives the text of a full rebuild.
void TstTerminal::rendererMatchesRebuildAtEverySplit()
{
    QFETCH(QByteArray, store);
    for (ReceiveMode mode : {ReceiveMode::Text, ReceiveMode::Hex}) {
        const QString full = terminal::receiveText(store, mode);
        for (qsizetype a = 0; a <= store.size(); ++a) {
            for (qsizetype b = a; b <= store.size(); ++b) {
                ReceiveRenderer r(mode);
                const QString shown = renderInChunks(r, store, {a, b});
                QVERIFY2(shown == full, qPrintable(QStringLiteral("cuts %1 %2").arg(a).arg(b)));
            }
        }
    }
}

void TstTerminal::rendererMatchesRebuildForRandomStreams()
{
    QRandomGenerator rng(20240611);
    for (int round = 0; round < 2000; ++round) {
        const QByteArray store = randomStream(rng, rng.bounded(1, 200));
        const QList<qsizetype> cuts = randomCuts(rng, store.size());
        for (ReceiveMode mode : {ReceiveMode::Text, ReceiveMode::Hex}) {
            ReceiveRenderer r(mode);
            const QString shown = renderInChunks(r, store, cuts);
            if (shown != terminal::receiveText(store, mode))
                QFAIL(qPrintable(QStringLiteral("round %1 store %2")
                                     .arg(round)
                                     .arg(QString::fromLatin1(store.toHex(' ')))));
        }
    }
}

// rebuild() of a prefix (a mode switch, or a redraw on demand) followed by appends of the rest
// equals the full text; reset() starts over as after a clear.
void TstTerminal::rendererContinuesAfterModeSwitch()
{
    QRandomGenerator rng(7);
    for (int round = 0; round < 500; ++round) {
        const QByteArray store = randomStream(rng, rng.bounded(2, 120));
        const qsizetype split = rng.bounded(store.size() + 1);
        const ReceiveMode first = rng.bounded(2) ? ReceiveMode::Hex : ReceiveMode::Text;
        const ReceiveMode second = rng.bounded(2) ? ReceiveMode::Hex : ReceiveMode::Text;
        ReceiveRenderer r(first);
        renderInChunks(r, store.left(split), randomCuts(rng, split));
        QString shown = r.rebuild(store.left(split), second);
        QCOMPARE(r.mode(), second);
        const QByteArray rest = store.mid(split);
        shown += renderInChunks(r, rest, randomCuts(rng, rest.size()));
        QCOMPARE(shown, terminal::receiveText(store, second));
    }

    // After a clear, a pending lead byte from before must not join the next bytes.
    ReceiveRenderer r(ReceiveMode::Text);
    QCOMPARE(r.append("\xC4"), QString());
    r.reset();
    const QString afterClear = r.append("\xE3\xBA");
    QCOMPARE(afterClear, terminal::receiveText("\xE3\xBA", ReceiveMode::Text));
    QCOMPARE(afterClear.size(), 1);
    QVERIFY(!afterClear.contains(QStringLiteral("你")));
}

void TstTerminal::receiveAreaLineBreaks_data()
{
    QTest::addColumn<QByteArray>("store");
    QTest::addColumn<QString>("shown");
    QTest::newRow("CR LF") << QByteArray("a\r\nb") << "a\nb";
    QTest::newRow("lone CR, lone LF") << QByteArray("a\rb\nc") << "a\nb\nc";
    QTest::newRow("CR then CR LF") << QByteArray("a\r\r\nb") << "a\n\nb";
    QTest::newRow("LF CR") << QByteArray("a\n\rb") << "a\n\nb";
    QTest::newRow("CR LF LF") << QByteArray("\r\n\n") << "\n\n";
    QTest::newRow("Chinese lines")
        << terminal::encodeGbk(u"你\r\n好\r") << QStringLiteral("你\n好\n");
}

// The area's text gathered chunk by chunk, drawn after every chunk, is the text of a full
// rebuild for every way of cutting the store in up to three chunks: a CR at the end of one
// chunk and an LF at the start of the next are one line break.
void TstTerminal::receiveAreaLineBreaks()
{
    QFETCH(QByteArray, store);
    QFETCH(QString, shown);
    ReceiveArea whole;
    QCOMPARE(whole.rebuild(store, ReceiveMode::Text), shown);
    for (qsizetype a = 0; a <= store.size(); ++a) {
        for (qsizetype b = a; b <= store.size(); ++b) {
            ReceiveArea area;
            QString drawn = area.rebuild({}, ReceiveMode::Text);
            const QByteArrayView all(store);
            for (QByteArrayView chunk : {all.first(a), all.sliced(a, b - a), all.sliced(b)}) {
                area.append(chunk);
                drawn += area.takePending();
            }
            QVERIFY2(drawn == shown, qPrintable(QStringLiteral("cuts %1 %2").arg(a).arg(b)));
        }
    }
}

void TstTerminal::keyPressBytes_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("lineEnd");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("a") << int(Qt::Key_A) << "a" << 2 << QByteArray("a");
    QTest::newRow("Shift+A") << int(Qt::Key_A) << "A" << 2 << QByteArray("A");
    QTest::newRow(". , - /") << int(Qt::Key_Period) << ".,-/" << 2 << QByteArray(".,-/");
    QTest::newRow("Chinese as GBK") << int(Qt::Key_unknown) << "你" << 2
                                    << QByteArray("\xC4\xE3");
    QTest::newRow("Ctrl+C") << int(Qt::Key_C) << "\x03" << 2 << QByteArray("\x03");
    QTest::newRow("Enter, CR LF") << int(Qt::Key_Return) << "\r" << 2 << QByteArray("\r\n");
    QTest::newRow("Enter, CR") << int(Qt::Key_Return) << "\r" << 0 << QByteArray("\r");
    QTest::newRow("keypad Enter, LF") << int(Qt::Key_Enter) << "\r" << 1 << QByteArray("\n");
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << "\b" << 2 << QByteArray("\x08");
    QTest::newRow("Tab") << int(Qt::Key_Tab) << "\t" << 2 << QByteArray("\t");
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << "" << 2 << QByteArray();
    QTest::newRow("Control alone") << int(Qt::Key_Control) << "" << 2 << QByteArray();
    QTest::newRow("Left") << int(Qt::Key_Left) << "" << 2 << QByteArray();
    QTest::newRow("F5") << int(Qt::Key_F5) << "" << 2 << QByteArray();
}

void TstTerminal::keyPressBytes()
{
    QFETCH(int, key);
    QFETCH(QString, text);
    QFETCH(int, lineEnd);
    QFETCH(QByteArray, bytes);
    QCOMPARE(terminal::keyPressBytes(key, text, terminal::lineEndAt(lineEnd)), bytes);
}

void TstTerminal::lineEnds()
{
    QCOMPARE(lineEndBytes(lineEndAt(0)), QByteArray("\r"));
    QCOMPARE(lineEndBytes(lineEndAt(1)), QByteArray("\n"));
    QCOMPARE(lineEndBytes(lineEndAt(2)), QByteArray("\r\n"));
    QCOMPARE(lineEndBytes(lineEndAt(kDefaultLineEndIndex)), QByteArray("\r\n"));
    QCOMPARE(lineEndBytes(lineEndAt(-1)), QByteArray("\r\n")); // a stored value out of range
    QCOMPARE(lineEndBytes(lineEndAt(7)), QByteArray("\r\n"));
}

// Chunks with their arrival times (ms after a base) and the stamped text shown; in the rows
// "S<n>" stands for the stamp of the time base+n.
void TstTerminal::stamps_data()
{
    QTest::addColumn<ReceiveMode>("mode");
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<int>>("times");
    QTest::addColumn<QString>("shown");
    QTest::newRow("a line in two chunks: its first byte's time")
        << ReceiveMode::Text << QList<QByteArray>{"ab", "c\r\n"} << QList<int>{0, 300}
        << "S0 abc\n";
    QTest::newRow("each line its own, CR, LF and CR LF alike")
        << ReceiveMode::Text << QList<QByteArray>{"a\r", "\nb\nc", "\rd"}
        << QList<int>{0, 10, 20} << "S0 a\nS10 b\nS10 c\nS20 d";
    QTest::newRow("a line waits for its first byte")
        << ReceiveMode::Text << QList<QByteArray>{"x\n", "y"} << QList<int>{5, 900}
        << "S5 x\nS900 y";
    QTest::newRow("HEX: one burst within the gap")
        << ReceiveMode::Hex << QList<QByteArray>{"A", "B"} << QList<int>{0, 20}
        << "S0 41 42 ";
    QTest::newRow("HEX: a gap over 20 ms starts a burst")
        << ReceiveMode::Hex << QList<QByteArray>{"A", "B", "C"} << QList<int>{0, 21, 30}
        << "S0 41 \nS21 42 43 ";
}

void TstTerminal::stamps()
{
    QFETCH(ReceiveMode, mode);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<int>, times);
    QFETCH(QString, shown);
    const qint64 base = QDateTime(QDate(2026, 12, 8), QTime(13, 4, 5, 120)).toMSecsSinceEpoch();
    QString expected = shown;
    for (int t : times)
        expected.replace(QStringLiteral("S%1 ").arg(t), stampText(base + t) + ' ');
    QCOMPARE(stampText(base + 300), QStringLiteral("[13:04:05.420]"));

    // Drawn chunk by chunk, and rebuilt from the store and its arrivals (a mode switch, a
    // page change): the same text with the same stamps. The counters count only the bytes.
    ReceiveArea area(mode);
    area.setStamps({true, kDefaultBurstGapMs});
    QString drawn = area.rebuild({}, mode);
    QByteArray store;
    QList<Arrival> arrivals;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        area.append(chunks[i], base + times[i]);
        drawn += area.takePending();
        store += chunks[i];
        arrivals.append({store.size(), base + times[i]});
    }
    QCOMPARE(drawn, expected);
    ReceiveArea again(mode);
    again.setStamps({true, kDefaultBurstGapMs});
    QCOMPARE(again.rebuild(store, arrivals, mode), expected);
    // Without stamps the text is the plain one.
    ReceiveArea plain(mode);
    QCOMPARE(plain.rebuild(store, arrivals, mode), plain.rebuild(store, mode));
    QVERIFY(!plain.rebuild(store, arrivals, mode).contains('['));
}

void TstTerminal::logForm_data()
{
    QTest::addColumn<bool>("stamped");
    QTest::addColumn<ReceiveMode>("mode");
    QTest::addColumn<QByteArray>("expected");
    // Received "ok\r\nv" at 0, then "AT\r\n" sent at 5, then "=1\n" received at 9.
    QTest::newRow("raw") << false << ReceiveMode::Text
                         << QByteArray("ok\r\nv\r\n>> AT\r\n=1\n");
    QTest::newRow("stamped text")
        << true << ReceiveMode::Text
        << QByteArray("S0 ok\r\nS0 v\r\nS5 >> AT\r\nS9 =1\r\n");
    QTest::newRow("stamped HEX")
        << true << ReceiveMode::Hex
        << QByteArray("S0 6F 6B 0D 0A 76 \r\nS5 >> 41 54 0D 0A \r\nS9 3D 31 0A ");
}

void TstTerminal::logForm()
{
    QFETCH(bool, stamped);
    QFETCH(ReceiveMode, mode);
    QFETCH(QByteArray, expected);
    const qint64 base = QDateTime(QDate(2026, 12, 8), QTime(8, 0)).toMSecsSinceEpoch();
    for (int t : {0, 5, 9})
        expected.replace(QByteArray("S") + QByteArray::number(t) + ' ',
                         stampText(base + t).toLatin1() + ' ');
    LogForm form(stamped, mode, kDefaultBurstGapMs);
    QByteArray log = form.received("ok\r\nv", base);
    log += form.sent("AT\r\n", base + 5);
    log += form.received("=1\n", base + 9);
    QCOMPARE(log, expected);
}

// What was handed over is in the file after stop(); a file removed under the log (its
// folder deleted) stops it with a reason; a folder that cannot take the file is refused.
void TstTerminal::logWriter()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sub/log.txt");
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    LogWriter w;
    QString error;
    QVERIFY(!w.start(dir.filePath("none/log.txt"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(w.start(path, &error));
    QByteArray all;
    for (int i = 0; i < 1000; ++i) {
        const QByteArray line = QByteArray::number(i) + "\r\n";
        w.write(line);
        all += line;
    }
    w.stop();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), all);
    f.close();

    std::atomic<bool> failed = false;
    w.onFailed = [&](const QString &reason) { failed = !reason.isEmpty(); };
    QVERIFY(w.start(path, &error)); // appends
    QVERIFY(QDir(dir.filePath("sub")).removeRecursively());
    w.write("more");
    QVERIFY(QTest::qWaitFor([&] { return failed.load(); }, 5000));
    w.stop();
}

void TstTerminal::byIdName()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("by-id"));
    const QString device = dir.filePath("ttyUSB3");
    QFile(device).open(QIODevice::WriteOnly);
    const QString link = dir.filePath("by-id/usb-FTDI_A50285BI-if00-port0");
    QVERIFY(QFile::link(device, link));
    QCOMPARE(terminal::byIdName(device, dir.filePath("by-id")), link);
    QCOMPARE(terminal::byIdName(link, dir.filePath("by-id")), link);
    QCOMPARE(terminal::byIdName(dir.filePath("ttyS0"), dir.filePath("by-id")), QString());
}

void TstTerminal::plotLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("names"); // empty list and no values: no sample
    QTest::addColumn<QList<double>>("values");
    using V = QList<double>;
    QTest::newRow("blanks") << QByteArray("1 2.5 -3") << QStringList{"", "", ""} << V{1, 2.5, -3};
    QTest::newRow("commas") << QByteArray("10,20,30") << QStringList{"", "", ""} << V{10, 20, 30};
    QTest::newRow("tabs and a trailing comma")
        << QByteArray("1\t2,") << QStringList{"", ""} << V{1, 2};
    QTest::newRow("name:value pairs")
        << QByteArray("temp:21.5 hum:40") << QStringList{"temp", "hum"} << V{21.5, 40};
    QTest::newRow("pairs with commas, name: value")
        << QByteArray("x:1,y: -2e3") << QStringList{"x", "y"} << V{1, -2000};
    QTest::newRow("a mix") << QByteArray("a:1 7") << QStringList{"a", ""} << V{1, 7};
    QTest::newRow("exponent, point first")
        << QByteArray("1e-3 .5 5.") << QStringList{"", "", ""} << V{0.001, 0.5, 5};
    QTest::newRow("garbage: a greeting") << QByteArray("Hello world") << QStringList() << V();
    QTest::newRow("garbage: text with numbers")
        << QByteArray("reset 3 times") << QStringList() << V();
    QTest::newRow("garbage: a cut number") << QByteArray("1.2.3") << QStringList() << V();
    QTest::newRow("garbage: nan, inf, hex") << QByteArray("nan inf 0x10") << QStringList() << V();
    QTest::newRow("garbage: a name without value") << QByteArray("temp:") << QStringList() << V();
    QTest::newRow("garbage: empty name") << QByteArray(":5") << QStringList() << V();
    QTest::newRow("garbage: binary") << QByteArray("\x01\xC4\xE3 5") << QStringList() << V();
    QTest::newRow("garbage: overflow") << QByteArray("1e999") << QStringList() << V();
    QTest::newRow("empty") << QByteArray(" , ") << QStringList() << V();
    QTest::newRow("too many columns")
        << QByteArray("1 ").repeated(plot::kMaxColumns + 1) << QStringList() << V();
}

void TstTerminal::plotLines()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, names);
    QFETCH(QList<double>, values);
    const auto got = plot::parseLine(line);
    QCOMPARE(got.has_value(), !values.isEmpty());
    if (!got) return;
    QCOMPARE(got->names, names);
    QCOMPARE(got->values, values);
}

void TstTerminal::plotLineSplitter()
{
    plot::LineSplitter s;
    QCOMPARE(s.feed("1 2\r"), QList<QByteArray>{"1 2"});
    QCOMPARE(s.feed("\n3"), QList<QByteArray>());
    QCOMPARE(s.feed(" 4\n5\r6\n"), (QList<QByteArray>{"3 4", "5", "6"}));
    // An overlong line is dropped to its end; the next one is whole.
    QCOMPARE(s.feed(QByteArray(plot::LineSplitter::kMaxLine + 5, '7') + "\n8\n"),
             QList<QByteArray>{"8"});
}

// Curves by name and column; the drawn points keep every bucket's extremes; the CSV holds every
// row in the range with its values exactly as sent.
void TstTerminal::plotData()
{
    plot::PlotData d;
    d.add(*plot::parseLine("a:1 b:2"), 0.0);
    d.add(*plot::parseLine("b:0.1"), 0.5);
    d.add(*plot::parseLine("a:-3.25 b:4"), 1.0);
    d.add(*plot::parseLine("5"), 1.5);
    QCOMPARE(d.curveCount(), 3);
    QCOMPARE(d.curveName(2), QStringLiteral("1"));
    QCOMPARE(d.csv(0.5, 1.0),
             QByteArray("time_s,a,b,1\r\n0.500,,0.1,\r\n1.000,-3.25,4,\r\n"));
    QCOMPARE(d.valueRange(0, 1), (std::pair{-3.25, 4.0}));
    QVERIFY(!d.valueRange(5, 6));

    // 10,000 samples of a sine with one spike, drawn in 50 buckets: at most 200 points, the
    // spike among them.
    plot::PlotData many;
    for (int i = 0; i < 10000; ++i) {
        plot::Values v{{"s"}, {i == 4321 ? 1000.0 : std::sin(i / 100.0)}};
        many.add(v, i / 1000.0);
    }
    const QList<QPointF> drawn = many.drawn(0, 0, 10, 50);
    QVERIFY(drawn.size() <= 200);
    QVERIFY(std::any_of(drawn.begin(), drawn.end(), [](QPointF p) { return p.y() == 1000; }));
    QVERIFY(std::is_sorted(drawn.begin(), drawn.end(),
                           [](QPointF a, QPointF b) { return a.x() < b.x(); }));
    QCOMPARE(many.csv(0, 10).count("\r\n"), 10001);
    many.dropBefore(5.0);
    QCOMPARE(many.rowCount(), 5000);
    QCOMPARE(many.csv(0, 10).count("\r\n"), 5001);
    QVERIFY(many.csv(0, 10).contains("\r\n5.000,"));
}

void TstTerminal::sendFileText_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("text");
    QTest::newRow("lone CRs") << QByteArray("a\rb\rc") << "a\r\nb\r\nc";
    QTest::newRow("lone LFs") << QByteArray("a\nb\n") << "a\r\nb\r\n";
    QTest::newRow("CR LF stays") << QByteArray("a\r\nb") << "a\r\nb";
    QTest::newRow("LF CR: both lone") << QByteArray("a\n\rb") << "a\r\n\r\nb";
    QTest::newRow("CR CR LF") << QByteArray("\r\r\n") << "\r\n\r\n";
    QTest::newRow("cut at first zero") << QByteArray("ab\rc\0de\0f", 9) << "ab\r\nc";
    QTest::newRow("zero first") << QByteArray("\0abc", 4) << "";
    QTest::newRow("GBK text") << QByteArray("\xC4\xE3\xBA\xC3\n")
                              << QString::fromUtf16(u"你好\r\n");
    QTest::newRow("empty") << QByteArray() << "";
}

void TstTerminal::sendFileText()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, text);
    QCOMPARE(terminal::sendFileText(content), text);
}

void TstTerminal::loadSendFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("send.txt"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray("AT\rOK\n\xC4\xE3\0tail", 13));
    f.close();

    const SendFileResult r = terminal::loadSendFile(path);
    QVERIFY2(r.ok, qPrintable(r.error));
    QCOMPARE(r.text, QString::fromUtf16(u"AT\r\nOK\r\n你"));

    // A file of exactly the limit is still loaded.
    QFile big(path);
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.write(QByteArray(kMaxSendFileSize, 'x')) == kMaxSendFileSize);
    big.close();
    const SendFileResult atLimit = terminal::loadSendFile(path);
    QVERIFY(atLimit.ok);
    QCOMPARE(atLimit.text.size(), kMaxSendFileSize);
}

void TstTerminal::loadSendFileRefusals()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    // One byte over the limit; a sparse 4 GiB file shows that nothing is read before the check.
    for (qint64 size : {kMaxSendFileSize + 1, qint64(4) << 30}) {
        const QString path = dir.filePath(QStringLiteral("big%1.bin").arg(size));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size));
        f.close();
        const SendFileResult r = terminal::loadSendFile(path);
        QVERIFY(!r.ok);
        QVERIFY(r.text.isEmpty());
        QVERIFY(r.error.contains(QStringLiteral("文件太大")));
    }

    const SendFileResult missing = terminal::loadSendFile(dir.filePath(QStringLiteral("none.txt")));
    QVERIFY(!missing.ok);
    QVERIFY(!missing.error.isEmpty());

    const SendFileResult folder = terminal::loadSendFile(dir.path());
    QVERIFY(!folder.ok);
    QVERIFY(!folder.error.isEmpty());

    // A character device reports size 0 but never ends: refused, not read.
    const SendFileResult device = terminal::loadSendFile(QStringLiteral("/dev/zero"));
    QVERIFY(!device.ok);
}

QTEST_GUILESS_MAIN(TstTerminal)
#include "tst_terminal.moc"
