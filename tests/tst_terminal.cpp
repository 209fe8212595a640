// Terminal logic: HEX send bytes, GBK text, receive text forms and their incremental
// rendering, the receive area's line breaks, key codes, loading a file into the send area.
#include "logic/Terminal.h"

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
    void virtualKeyCode_data();
    void virtualKeyCode();
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

void TstTerminal::virtualKeyCode_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("mods");
    QTest::addColumn<int>("code"); // -1: no code
    using M = Qt::KeyboardModifiers;
    QTest::newRow("A") << int(Qt::Key_A) << M() << 0x41;
    QTest::newRow("Shift+A") << int(Qt::Key_A) << M(Qt::ShiftModifier) << 0x41;
    QTest::newRow("Z") << int(Qt::Key_Z) << M() << 0x5A;
    QTest::newRow("0") << int(Qt::Key_0) << M() << 0x30;
    QTest::newRow("9") << int(Qt::Key_9) << M() << 0x39;
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << M(Qt::ShiftModifier) << 0x10;
    QTest::newRow("Control") << int(Qt::Key_Control) << M() << 0x11;
    QTest::newRow("Alt") << int(Qt::Key_Alt) << M() << 0x12;
    QTest::newRow("Enter (Return)") << int(Qt::Key_Return) << M() << 0x0D;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << M(Qt::KeypadModifier) << 0x0D;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << M() << 0x08;
    QTest::newRow("Tab") << int(Qt::Key_Tab) << M() << 0x09;
    QTest::newRow("Shift+Tab") << int(Qt::Key_Backtab) << M(Qt::ShiftModifier) << 0x09;
    QTest::newRow("Esc") << int(Qt::Key_Escape) << M() << 0x1B;
    QTest::newRow("Space") << int(Qt::Key_Space) << M() << 0x20;
    QTest::newRow("Left") << int(Qt::Key_Left) << M() << 0x25;
    QTest::newRow("Up") << int(Qt::Key_Up) << M() << 0x26;
    QTest::newRow("Right") << int(Qt::Key_Right) << M() << 0x27;
    QTest::newRow("Down") << int(Qt::Key_Down) << M() << 0x28;
    QTest::newRow("Insert") << int(Qt::Key_Insert) << M() << 0x2D;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << M() << 0x2E;
    QTest::newRow("Home") << int(Qt::Key_Home) << M() << 0x24;
    QTest::newRow("End") << int(Qt::Key_End) << M() << 0x23;
    QTest::newRow("PgUp") << int(Qt::Key_PageUp) << M() << 0x21;
    QTest::newRow("PgDn") << int(Qt::Key_PageDown) << M() << 0x22;
    QTest::newRow("F1") << int(Qt::Key_F1) << M() << 0x70;
    QTest::newRow("F5") << int(Qt::Key_F5) << M() << 0x74;
    QTest::newRow("F12") << int(Qt::Key_F12) << M() << 0x7B;
    QTest::newRow("keypad 0") << int(Qt::Key_0) << M(Qt::KeypadModifier) << 0x60;
    QTest::newRow("keypad 3") << int(Qt::Key_3) << M(Qt::KeypadModifier) << 0x63;
    QTest::newRow("keypad 9") << int(Qt::Key_9) << M(Qt::KeypadModifier) << 0x69;
    QTest::newRow("keypad *") << int(Qt::Key_Asterisk) << M(Qt::KeypadModifier) << 0x6A;
    QTest::newRow("keypad +") << int(Qt::Key_Plus) << M(Qt::KeypadModifier) << 0x6B;
    QTest::newRow("keypad -") << int(Qt::Key_Minus) << M(Qt::KeypadModifier) << 0x6D;
    QTest::newRow("keypad .") << int(Qt::Key_Period) << M(Qt::KeypadModifier) << 0x6E;
    QTest::newRow("keypad /") << int(Qt::Key_Slash) << M(Qt::KeypadModifier) << 0x6F;
    QTest::newRow("keypad Home (NumLock off)")
        << int(Qt::Key_Home) << M(Qt::KeypadModifier) << 0x24;
    QTest::newRow(";") << int(Qt::Key_Semicolon) << M() << 0xBA;
    QTest::newRow(":") << int(Qt::Key_Colon) << M(Qt::ShiftModifier) << 0xBA;
    QTest::newRow("=") << int(Qt::Key_Equal) << M() << 0xBB;
    QTest::newRow("+ main keyboard") << int(Qt::Key_Plus) << M(Qt::ShiftModifier) << 0xBB;
    QTest::newRow(",") << int(Qt::Key_Comma) << M() << 0xBC;
    QTest::newRow("<") << int(Qt::Key_Less) << M(Qt::ShiftModifier) << 0xBC;
    QTest::newRow("- main keyboard") << int(Qt::Key_Minus) << M() << 0xBD;
    QTest::newRow("_") << int(Qt::Key_Underscore) << M(Qt::ShiftModifier) << 0xBD;
    QTest::newRow(".") << int(Qt::Key_Period) << M() << 0xBE;
    QTest::newRow("/") << int(Qt::Key_Slash) << M() << 0xBF;
    QTest::newRow("?") << int(Qt::Key_Question) << M(Qt::ShiftModifier) << 0xBF;
    QTest::newRow("`") << int(Qt::Key_QuoteLeft) << M() << 0xC0;
    QTest::newRow("~") << int(Qt::Key_AsciiTilde) << M(Qt::ShiftModifier) << 0xC0;
    QTest::newRow("[") << int(Qt::Key_BracketLeft) << M() << 0xDB;
    QTest::newRow("{") << int(Qt::Key_BraceLeft) << M(Qt::ShiftModifier) << 0xDB;
    QTest::newRow("backslash") << int(Qt::Key_Backslash) << M() << 0xDC;
    QTest::newRow("|") << int(Qt::Key_Bar) << M(Qt::ShiftModifier) << 0xDC;
    QTest::newRow("]") << int(Qt::Key_BracketRight) << M() << 0xDD;
    QTest::newRow("'") << int(Qt::Key_Apostrophe) << M() << 0xDE;
    QTest::newRow("\" (not PgDn)") << int(Qt::Key_QuoteDbl) << M(Qt::ShiftModifier) << 0xDE;
    QTest::newRow("! is the 1 key") << int(Qt::Key_Exclam) << M(Qt::ShiftModifier) << 0x31;
    QTest::newRow("@ is the 2 key") << int(Qt::Key_At) << M(Qt::ShiftModifier) << 0x32;
    QTest::newRow("* is the 8 key") << int(Qt::Key_Asterisk) << M(Qt::ShiftModifier) << 0x38;
    QTest::newRow(") is the 0 key") << int(Qt::Key_ParenRight) << M(Qt::ShiftModifier) << 0x30;
    QTest::newRow("unknown") << int(Qt::Key_unknown) << M() << -1;
    QTest::newRow("input method key") << int(Qt::Key_Zenkaku_Hankaku) << M() << -1;
}

void TstTerminal::virtualKeyCode()
{
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, mods);
    QFETCH(int, code);
    const auto got = terminal::virtualKeyCode(key, mods);
    QCOMPARE(got ? int(*got) : -1, code);
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
