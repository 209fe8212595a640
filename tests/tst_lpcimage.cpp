// The LPC2000 programmer's pure logic: HEX image building, padding and the size limit,
// uuencoding, the sector layouts, the send list that the ISP protocol is spoken from, the
// vector-table checksum and the checks of the boot loader's replies.
#include "logic/Devices.h"
#include "logic/LpcImage.h"
#include "logic/LpcReplies.h"
#include "support/Firmware.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace lpc;

namespace {

QByteArray bytes(const char *spacedHex)
{
    return QByteArray::fromHex(QByteArray(spacedHex).replace(' ', ""));
}

const auto record = firmware::hexRecord;

QByteArray word(quint16 v)
{
    return QByteArray{} + char(v >> 8) + char(v & 0xFF);
}

const QByteArray &kEof = firmware::kEndOfFile;

using firmware::pattern;

// Data from address 0 in 64-byte records, crossing 64 KiB with extended linear records.
QByteArray hexFor(const QByteArray &data)
{
    return firmware::intelHexAt(data, 0, 64, false);
}

LoadResult loadText(const QByteArray &text)
{
    QByteArray copy = text;
    QBuffer buf(&copy);
    buf.open(QIODevice::ReadOnly);
    return loadHex(buf);
}

// Inverse of the line encoding, written from the uuencoding rules, to check that the lines of
// a send list carry exactly the image.
QByteArray uuDecode(const QByteArray &line)
{
    const auto value = [](char c) { return quint8((c - 0x20) & 0x3F); };
    const int n = value(line.at(0));
    QByteArray out;
    for (qsizetype i = 1; i + 3 < line.size() && out.size() < n; i += 4) {
        const quint8 a = value(line[i]), b = value(line[i + 1]), c = value(line[i + 2]),
                     d = value(line[i + 3]);
        out.append(char(quint8(a << 2 | b >> 4)));
        out.append(char(quint8(b << 4 | c >> 2)));
        out.append(char(quint8(c << 6 | d)));
    }
    return out.left(n);
}

struct Walk
{
    QByteArray data; // bytes carried by the data lines, in order
    QList<int> dataLinesPerItem;
    bool checksumsRight = true;
    bool linesBounded = true;
};

Walk walk(const LpcSendList &list)
{
    Walk w;
    for (const LpcSendItem &item : list.items) {
        for (const QByteArray &l : item.lines)
            w.linesBounded = w.linesBounded && l.size() <= 64 && l.endsWith("\r\n");
        w.linesBounded = w.linesBounded && item.lineCount() <= 21;
        if (item.kind != ItemKind::DataItem) continue;
        quint32 sum = 0;
        for (int i = 0; i + 1 < item.lineCount(); ++i) {
            const QByteArray raw = uuDecode(item.lines[i].chopped(2));
            for (char c : raw)
                sum += quint8(c);
            w.data += raw;
        }
        w.checksumsRight =
            w.checksumsRight && item.lines.last() == QByteArray::number(sum) + "\r\n";
        w.dataLinesPerItem.append(item.lineCount() - 1);
    }
    return w;
}

} // namespace

class TestLpcImage : public QObject
{
    Q_OBJECT

private slots:
    void uuChar_data();
    void uuChar();
    void uuEncodeLine_data();
    void uuEncodeLine();
    void padImage_data();
    void padImage();
    void sectorChoice_data();
    void sectorChoice();
    void sectorLayouts_data();
    void sectorLayouts();
    void sendListShape_data();
    void sendListShape();
    void tenThousandByteExample();
    void sendListRefusals();
    void vectorChecksum_data();
    void vectorChecksum();
    void replies_data();
    void replies();
    void pauseAfterLine_data();
    void pauseAfterLine();
    void parseLine_data();
    void parseLine();
    void loadHex_data();
    void loadHex();
    void imageLimit_data();
    void imageLimit();
    void overlongLineRefusesTheFile();
    void loadFile_data();
    void loadFile();
    void partFacts_data();
    void partFacts();
    void partTableInvariants();
    void partSendList_data();
    void partSendList();
    void crcAndPartIdAnswers_data();
    void crcAndPartIdAnswers();
    void readGroups_data();
    void readGroups();
};

void TestLpcImage::uuChar_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<char>("expected");
    QTest::newRow("zero is a grave accent") << 0 << '`';
    QTest::newRow("one") << 1 << '!';
    QTest::newRow("45, a full line's length") << 45 << 'M';
    QTest::newRow("63") << 63 << '_';
    QTest::newRow("64 keeps six bits") << 64 << '`';
}

void TestLpcImage::uuChar()
{
    QFETCH(int, value);
    QFETCH(char, expected);
    QCOMPARE(UuChar(quint8(value)), expected);
}

void TestLpcImage::uuEncodeLine_data()
{
    // Expected lines as Python's binascii.b2a_uu(data, backtick=True) gives them.
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<quint32>("sum");
    QTest::newRow("abc") << QByteArray("abc") << QByteArray("#86)C\r\n") << quint32(294);
    QTest::newRow("zero bytes are grave accents")
        << QByteArray(3, '\0') << QByteArray("#````\r\n") << quint32(0);
    QTest::newRow("one zero byte: the 7-character line")
        << QByteArray(1, '\0') << QByteArray("!````\r\n") << quint32(0);
    QTest::newRow("one byte 0x01") << bytes("01") << QByteArray("!`0``\r\n") << quint32(1);
    QTest::newRow("padding not counted")
        << QByteArray("abcd") << QByteArray("$86)C9```\r\n") << quint32(394);
    QTest::newRow("45 bytes of 0xFF")
        << QByteArray(45, '\xFF') << "M" + QByteArray(60, '_') + "\r\n"
        << quint32(11475);
    QByteArray ramp;
    for (int i = 0; i < 45; ++i)
        ramp.append(char(i));
    QTest::newRow("45 bytes 0..44")
        << ramp
        << QByteArray("M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL\r\n")
        << quint32(990);
}

void TestLpcImage::uuEncodeLine()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, line);
    QFETCH(quint32, sum);
    const UuLine u = UuEncodeLine(raw);
    QCOMPARE(u.text, line);
    QCOMPARE(u.sum, sum);
    QCOMPARE(uuDecode(u.text.chopped(2)), raw);
}

void TestLpcImage::padImage_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<qsizetype>("padded");
    QTest::newRow("remainder 180: one fill byte, then three") << qsizetype(180) << qsizetype(184);
    QTest::newRow("remainder 178") << qsizetype(178) << qsizetype(180);
    QTest::newRow("remainder 898") << qsizetype(898) << qsizetype(900);
    QTest::newRow("remainder 45") << qsizetype(45) << qsizetype(48);
    QTest::newRow("block plus 90") << qsizetype(4096 + 90) << qsizetype(4096 + 92);
    QTest::newRow("exact block") << qsizetype(4096) << qsizetype(4096);
    QTest::newRow("two exact blocks") << qsizetype(8192) << qsizetype(8192);
    QTest::newRow("multiple of 4 already") << qsizetype(10000) << qsizetype(10000);
    QTest::newRow("253949") << qsizetype(253949) << qsizetype(253952);
    QTest::newRow("empty") << qsizetype(0) << qsizetype(0);
}

void TestLpcImage::padImage()
{
    QFETCH(qsizetype, size);
    QFETCH(qsizetype, padded);
    QByteArray image = pattern(size);
    lpc::padImage(image);
    QCOMPARE(image.size(), padded);
    QCOMPARE(image.left(size), pattern(size));
    // Erased flash reads 0xFF: padding must not program zeros behind the image.
    QCOMPARE(image.mid(size), QByteArray(padded - size, char(0xFF)));
}

void TestLpcImage::sectorChoice_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("layout");
    QTest::addColumn<QString>("lastSector");
    QTest::addColumn<int>("smallestCopy"); // the part's copy rule: 256 LPC213x, 512 LPC22xx
    QTest::newRow("4293984018") << "4293984018" << int(Layout::B) << "14" << 512;
    QTest::newRow("196353") << "196353" << int(Layout::B) << "7" << 256;
    QTest::newRow("196369") << "196369" << int(Layout::B) << "8" << 256;
    QTest::newRow("196387") << "196387" << int(Layout::B) << "14" << 256;
    QTest::newRow("196389") << "196389" << int(Layout::B) << "26" << 256;
    QTest::newRow("LPC2214 0x0601FF13") << "100794131" << int(Layout::A) << "16" << 512;
    QTest::newRow("LPC2292 0x0401FF13") << "67239699" << int(Layout::A) << "16" << 512;
    QTest::newRow("unknown") << "12345" << int(Layout::A) << "16" << 512;
    QTest::newRow("leading blank") << " 196387" << int(Layout::A) << "16" << 512;
    QTest::newRow("trailing CR") << "196387\r" << int(Layout::A) << "16" << 512;
    QTest::newRow("hexadecimal spelling") << "0x0002FF23" << int(Layout::A) << "16" << 512;
    QTest::newRow("empty") << "" << int(Layout::A) << "16" << 512;
}

void TestLpcImage::sectorChoice()
{
    QFETCH(QString, id);
    QFETCH(int, layout);
    QFETCH(QString, lastSector);
    QFETCH(int, smallestCopy);
    const SectorChoice c = sectorChoiceFor(id);
    QCOMPARE(int(c.layout), layout);
    QCOMPARE(c.lastSector, lastSector);
    QCOMPARE(c.copy.smallest(), smallestCopy);
}

void TestLpcImage::sectorLayouts_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<int>("entry");
    QTest::addColumn<int>("sector");
    const int a = int(Layout::A), b = int(Layout::B);
    // Layout A: 8 KB sectors 0-7, 64 KB sectors 8-9, 8 KB sectors 10-16.
    QTest::newRow("A entry 1") << a << 1 << 0;
    QTest::newRow("A entry 2") << a << 2 << 0;
    QTest::newRow("A entry 3") << a << 3 << 1;
    QTest::newRow("A entry 16") << a << 16 << 7;
    QTest::newRow("A entry 17") << a << 17 << 8;
    QTest::newRow("A entry 32") << a << 32 << 8;
    QTest::newRow("A entry 33") << a << 33 << 9;
    QTest::newRow("A entry 48") << a << 48 << 9;
    QTest::newRow("A entry 49") << a << 49 << 10;
    QTest::newRow("A entry 62") << a << 62 << 16;
    QTest::newRow("A entry 63 unused") << a << 63 << 0;
    // Layout B: 4 KB sectors 0-7, 32 KB sectors 8-21, 4 KB sectors 22-26.
    QTest::newRow("B entry 1") << b << 1 << 0;
    QTest::newRow("B entry 8") << b << 8 << 7;
    QTest::newRow("B entry 9") << b << 9 << 8;
    QTest::newRow("B entry 16") << b << 16 << 8;
    QTest::newRow("B entry 17") << b << 17 << 9;
    QTest::newRow("B entry 120") << b << 120 << 21;
    QTest::newRow("B entry 121") << b << 121 << 22;
    QTest::newRow("B entry 125") << b << 125 << 26;
    QTest::newRow("B entry 126 unused") << b << 126 << 0;
}

void TestLpcImage::sectorLayouts()
{
    QFETCH(int, layout);
    QFETCH(int, entry);
    QFETCH(int, sector);
    QCOMPARE(int(sectorLayout(Layout(layout))[std::size_t(entry)]), sector);
}

void TestLpcImage::sendListShape_data()
{
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<int>("sendCount");
    QTest::addColumn<int>("fullBlocks");
    QTest::addColumn<QList<int>>("dataLines"); // data lines per data item, in order
    QTest::addColumn<QByteArray>("lastLine");  // last data line of the image
    QTest::addColumn<int>("copy");             // bytes written and copied for the last block
    QTest::addColumn<int>("smallestCopy");     // the part's copy rule: 256 LPC213x, 512 LPC22xx
    // A partial block is filled with 0xFF to the smallest copy count of the part that holds it.
    QTest::newRow("remainder 184: filled to 256")
        << qsizetype(184) << 6 << 0 << QList<int>{6} << QByteArray("?") << 256 << 256;
    QTest::newRow("remainder 256: no fill")
        << qsizetype(256) << 6 << 0 << QList<int>{6} << QByteArray("?") << 256 << 256;
    QTest::newRow("remainder 260: filled to 512")
        << qsizetype(260) << 6 << 0 << QList<int>{12} << QByteArray("1") << 512 << 256;
    QTest::newRow("remainder 900: filled to 1024, a second item")
        << qsizetype(900) << 7 << 0 << QList<int>{20, 3} << QByteArray("B") << 1024 << 256;
    QTest::newRow("remainder 1028: filled to a whole block")
        << qsizetype(1028) << 10 << 0 << QList<int>{20, 20, 20, 20, 12} << QByteArray("!") << 4096
        << 256;
    QTest::newRow("one exact block") << qsizetype(4096) << 10 << 1
                                     << QList<int>{20, 20, 20, 20, 12} << QByteArray("!") << 4096
                                     << 256;
    QTest::newRow("block and 100 bytes")
        << qsizetype(4196) << 15 << 1 << QList<int>{20, 20, 20, 20, 12, 6} << QByteArray("?")
        << 256 << 256;
    QTest::newRow("two exact blocks")
        << qsizetype(8192) << 19 << 2 << QList<int>{20, 20, 20, 20, 12, 20, 20, 20, 20, 12}
        << QByteArray("!") << 4096 << 256;
    QTest::newRow("62 blocks, all of layout A")
        << qsizetype(62 * 4096) << 559 << 62 << QList<int>() << QByteArray("!") << 4096 << 256;
    // LPC22xx: no copy of 256 bytes, so a remainder of up to 256 bytes goes as 512.
    QTest::newRow("LPC22xx remainder 184: filled to 512")
        << qsizetype(184) << 6 << 0 << QList<int>{12} << QByteArray("1") << 512 << 512;
    QTest::newRow("LPC22xx block and 256 bytes: filled to 512")
        << qsizetype(4096 + 256) << 15 << 1 << QList<int>{20, 20, 20, 20, 12, 12}
        << QByteArray("1") << 512 << 512;
    QTest::newRow("LPC22xx remainder 1028: filled to a whole block")
        << qsizetype(1028) << 10 << 0 << QList<int>{20, 20, 20, 20, 12} << QByteArray("!") << 4096
        << 512;
}

void TestLpcImage::sendListShape()
{
    QFETCH(qsizetype, size);
    QFETCH(int, sendCount);
    QFETCH(int, fullBlocks);
    QFETCH(QList<int>, dataLines);
    QFETCH(QByteArray, lastLine);
    QFETCH(int, copy);
    QFETCH(int, smallestCopy);

    const QByteArray image = pattern(size);
    const devices::LpcCopyRule rule =
        smallestCopy == 256 ? devices::kLpc213xCopy : devices::kLpc22xxCopy;
    const auto list = BuildLpcSendList(image, sectorLayout(Layout::A), rule);
    QVERIFY(list);
    QCOMPARE(list->LpcSendCount(), sendCount);
    QCOMPARE(list->LpcFullBlocks, fullBlocks);
    const qsizetype lastStart = (size - 1) / kBlockSize * kBlockSize;
    const Walk w = walk(*list);
    QCOMPARE(w.data, image + QByteArray(lastStart + copy - size, char(0xFF)));
    QVERIFY(w.checksumsRight);
    QVERIFY(w.linesBounded);
    if (!dataLines.isEmpty()) QCOMPARE(w.dataLinesPerItem, dataLines);

    // The last data item's last data line starts with the length character of its bytes.
    const LpcSendItem &lastData = list->item(list->LpcSendCount() - 4);
    QCOMPARE(int(lastData.kind), int(ItemKind::DataItem));
    QCOMPARE(lastData.lines.at(lastData.lineCount() - 2).left(1), lastLine);

    // The group of the last block: write, ..., prepare, copy, compare (behind the boot
    // block's 64 bytes at address 0).
    const int lastEntry = int(lastStart / kBlockSize) + 1;
    const QByteArray s = QByteArray::number(sectorLayout(Layout::A)[std::size_t(lastEntry)]);
    const QByteArray n = QByteArray::number(copy);
    QCOMPARE(list->item(list->LpcSendCount() - 3).lines,
             QList<QByteArray>{"P " + s + ' ' + s + "\r\n"});
    QCOMPARE(list->item(list->LpcSendCount() - 2).lines,
             QList<QByteArray>{"C " + QByteArray::number(lastStart) + " 1073742336 " + n + "\r\n"});
    const LpcSendItem &compare = list->item(list->LpcSendCount() - 1);
    QCOMPARE(int(compare.kind), int(ItemKind::CompareItem));
    const int skip = lastStart == 0 ? 64 : 0;
    QCOMPARE(compare.flashAddress, quint32(lastStart + skip));
    QCOMPARE(compare.lines, QList<QByteArray>{"M " + QByteArray::number(lastStart + skip) + ' ' +
                                              QByteArray::number(1073742336 + skip) + ' ' +
                                              QByteArray::number(copy - skip) + "\r\n"});
    int firstOfGroup = list->LpcSendCount() - 1;
    while (list->item(firstOfGroup).kind != ItemKind::CommandItem ||
           !list->item(firstOfGroup).lines.at(0).startsWith("W "))
        --firstOfGroup;
    QCOMPARE(list->item(firstOfGroup).lines, QList<QByteArray>{"W 1073742336 " + n + "\r\n"});
}

void TestLpcImage::tenThousandByteExample()
{
    const QByteArray image = pattern(10000);
    const auto list = BuildLpcSendList(image, sectorLayout(Layout::A), devices::kLpc22xxCopy);
    QVERIFY(list);
    QCOMPARE(list->LpcSendCount(), 28);
    QCOMPARE(list->LpcFullBlocks, 2);
    QCOMPARE(codeSizeLine(image.size()), QStringLiteral("CodeSize: 9 KB"));

    const auto command = [&](int pos) {
        const LpcSendItem &it = list->item(pos);
        return it.kind != ItemKind::DataItem && it.lineCount() == 1 ? it.lines.at(0)
                                                                    : QByteArray("<data>");
    };
    const auto dataLines = [&](int pos) {
        const LpcSendItem &it = list->item(pos);
        return it.kind == ItemKind::DataItem ? it.lineCount() - 1 : -1;
    };
    // Three blocks of nine items; the remainder of 1808 bytes is more than 1024, so it is
    // filled to a whole block.
    const QByteArray compares[] = {"M 64 1073742400 4032\r\n", "M 4096 1073742336 4096\r\n",
                                   "M 8192 1073742336 4096\r\n"};
    const QByteArray prepares[] = {"P 0 0\r\n", "P 0 0\r\n", "P 1 1\r\n"}; // entries 1-3
    for (int block = 0; block < 3; ++block) {
        const int base = block * 9;
        QCOMPARE(command(base + 1), QByteArray("W 1073742336 4096\r\n"));
        for (int k = 2; k <= 5; ++k)
            QCOMPARE(dataLines(base + k), 20);
        QCOMPARE(dataLines(base + 6), 12);
        QCOMPARE(command(base + 7), prepares[block]);
        QCOMPARE(command(base + 8),
                 "C " + QByteArray::number(block * 4096) + " 1073742336 4096\r\n");
        QCOMPARE(command(base + 9), compares[block]);
    }
    // Full data lines are 63 characters; a block's last line carries one byte in 7.
    QCOMPARE(list->item(2).lines.at(0).size(), qsizetype(63));
    QCOMPARE(list->item(6).lines.at(11).size(), qsizetype(7));

    const Walk w = walk(*list);
    QCOMPARE(w.data, image + QByteArray(3 * 4096 - 10000, char(0xFF)));
    QVERIFY(w.checksumsRight);

    // Layout B puts the three blocks into sectors 0, 1 and 2.
    const auto b = BuildLpcSendList(image, sectorLayout(Layout::B), devices::kLpc213xCopy);
    QVERIFY(b);
    QCOMPARE(b->item(7).lines.at(0), QByteArray("P 0 0\r\n"));
    QCOMPARE(b->item(16).lines.at(0), QByteArray("P 1 1\r\n"));
    QCOMPARE(b->item(25).lines.at(0), QByteArray("P 2 2\r\n"));
}

void TestLpcImage::vectorChecksum_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("patched");
    QTest::addColumn<quint32>("value");
    // Eight little-endian words; word 5 (0x14) is the reserved vector.
    const auto words = [](std::initializer_list<quint32> list) {
        QByteArray b;
        for (quint32 v : list)
            for (int i = 0; i < 4; ++i)
                b.append(char((v >> (8 * i)) & 0xFF));
        return b;
    };
    const QByteArray ldrPc = words(
        {0xE59FF018, 0xE59FF018, 0xE59FF018, 0xE59FF018, 0xE59FF018, 0, 0xE59FF018, 0xE59FF018});
    QTest::newRow("compiler image, word 0x14 left 0")
        << ldrPc + pattern(100) << true << quint32(0u - 7u * 0xE59FF018u);
    QTest::newRow("word 0x14 already right: written again")
        << words({1, 2, 3, 4, 5, 0xFFFFFFEB, 6, 0}) << true << quint32(0xFFFFFFEB);
    QTest::newRow("a wrong word 0x14 is replaced")
        << words({1, 0, 0, 0, 0, 0x12345678, 0, 0}) << true << quint32(0xFFFFFFFF);
    QTest::newRow("sum wraps round 32 bits")
        << words({0x80000000, 0x80000000, 1, 0, 0, 0, 0, 0}) << true << quint32(0xFFFFFFFF);
    QTest::newRow("all zero: no vector table") << QByteArray(64, '\0') << false << quint32(0);
    QTest::newRow("shorter than the table") << pattern(31) << false << quint32(0);
}

void TestLpcImage::vectorChecksum()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, patched);
    QFETCH(quint32, value);
    const QByteArray before = image;
    const std::optional<quint32> got = applyVectorChecksum(image);
    QCOMPARE(got.has_value(), patched);
    QCOMPARE(image.size(), before.size());
    if (!patched) {
        QCOMPARE(image, before);
        return;
    }
    QCOMPARE(*got, value);
    quint32 sum = 0;
    for (int i = 0; i < 8; ++i)
        sum += qFromLittleEndian<quint32>(image.constData() + 4 * i);
    QCOMPARE(sum, 0u);
    QCOMPARE(image.left(0x14), before.left(0x14)); // only word 0x14 changes
    QCOMPARE(image.mid(0x18), before.mid(0x18));
    QVERIFY(vectorChecksumLine(value).contains(
        QString::number(value, 16).toUpper().rightJustified(8, QLatin1Char('0'))));
}

void TestLpcImage::replies_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("compare"); // the item answered is a compare
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("meaning"); // what the step's check makes of it

    QTest::newRow("sync with noise")
        << 1 << QByteArray("\x55Synchronized\r\n") << false << true << "synchronized";
    QTest::newRow("sync: other text")
        << 1 << QByteArray("Synchronised\r\n") << false << true << "-";
    QTest::newRow("echo and OK") << 2 << QByteArray("Synchronized\r\nOK\r\n") << false << true
                                 << "echoed";
    QTest::newRow("echo with a trailing byte")
        << 2 << QByteArray("Synchronized\r\nOK\r\nx\r\n") << false << true << "-";
    QTest::newRow("part id") << 6 << QByteArray("0\r\n196387\r\n") << false << true << "id 196387";
    QTest::newRow("part id after an error code")
        << 6 << QByteArray("1\r\n196387\r\n") << false << true << "-";
    QTest::newRow("boot version: code only") << 7 << QByteArray("0\r\n") << false << false << "";
    QTest::newRow("boot version: one line")
        << 7 << QByteArray("0\r\n1\r\n") << false << false << "";
    QTest::newRow("boot version: minor then major")
        << 7 << QByteArray("0\r\n1\r\n2\r\n") << false << true << "version 2.1";
    QTest::newRow("boot version: error code is whole")
        << 7 << QByteArray("11\r\n") << false << true << "-";
    QTest::newRow("not ended by CR LF") << 8 << QByteArray("0\r") << false << false << "";
    QTest::newRow("compare: same") << 10 << QByteArray("0\r\n") << true << true << "same";
    QTest::newRow("compare: difference waits for its offset")
        << 10 << QByteArray("10\r\n") << true << false << "";
    QTest::newRow("compare: difference at 260")
        << 10 << QByteArray("10\r\n260\r\n") << true << true << "different at 260";
    QTest::newRow("compare: unreadable offset")
        << 10 << QByteArray("10\r\nx\r\n") << true << true << "different at ?";
    QTest::newRow("compare: busy") << 10 << QByteArray("11\r\n") << true << true << "-";
    QTest::newRow("copy answered 10 is not held back")
        << 10 << QByteArray("10\r\n") << false << true << "-";
    QTest::newRow("data accepted") << 10 << QByteArray("OK\r\n") << false << true << "ok";
    QTest::newRow("serial: three words wait for the fourth")
        << 11 << QByteArray("0\r\n1\r\n2\r\n3\r\n") << false << false << "";
    QTest::newRow("serial: four words")
        << 11 << QByteArray("0\r\n439041101\r\n65535\r\n4294967295\r\n7\r\n") << false << true
        << "serial 1A2B3C4D0000FFFFFFFFFFFF00000007";
    QTest::newRow("serial: a word past 32 bits")
        << 11 << QByteArray("0\r\n1\r\n2\r\n4294967296\r\n4\r\n") << false << true << "-";
    QTest::newRow("serial: a word that is no number")
        << 11 << QByteArray("0\r\n1\r\n2\r\nx\r\n4\r\n") << false << true << "-";
    QTest::newRow("serial: five words") << 11 << QByteArray("0\r\n1\r\n2\r\n3\r\n4\r\n5\r\n")
                                        << false << true << "-";
    QTest::newRow("serial: refused is whole") << 11 << QByteArray("1\r\n") << false << true << "-";
}

void TestLpcImage::replies()
{
    QFETCH(int, step);
    QFETCH(QByteArray, reply);
    QFETCH(bool, compare);
    QFETCH(bool, complete);
    QFETCH(QString, meaning);

    QCOMPARE(replyComplete(step, reply, compare), complete);
    if (!complete) return;
    QString got = QStringLiteral("-");
    switch (step) {
    case 1:
        if (isSynchronizedAnswer(reply)) got = QStringLiteral("synchronized");
        break;
    case 2:
        if (isEchoed(reply, kSynchronized, kOk)) got = QStringLiteral("echoed");
        break;
    case 6:
        if (const auto id = partIdOf(reply)) got = QStringLiteral("id ") + *id;
        break;
    case 7:
        if (const auto v = bootVersionOf(reply)) got = QStringLiteral("version ") + *v;
        break;
    case 10:
        if (compare) {
            const CompareAnswer a = compareAnswerOf(reply);
            if (a.kind == CompareAnswer::Same) got = QStringLiteral("same");
            if (a.kind == CompareAnswer::Different)
                got = QStringLiteral("different at ") +
                      (a.offset ? QString::number(*a.offset) : QStringLiteral("?"));
        } else if (isDataAccepted(reply)) {
            got = QStringLiteral("ok");
        }
        break;
    case 11:
        if (const auto n = serialNumberOf(reply)) got = QStringLiteral("serial ") + *n;
        break;
    default:
        break;
    }
    QCOMPARE(got, meaning);
}

// A pause is waited out only where it is longer than the line's own time on the wire.
void TestLpcImage::pauseAfterLine_data()
{
    QTest::addColumn<uint>("pauseMs");
    QTest::addColumn<int>("lineBytes");
    QTest::addColumn<uint>("bitsPerSecond");
    QTest::addColumn<bool>("waited");
    // A full uuencoded line with its line end: 63 bytes, 5.47 ms at 115200, 10.9 ms at 57600.
    QTest::newRow("3 ms at 115200") << 3u << 63 << 115200u << false;
    QTest::newRow("6 ms at 115200") << 6u << 63 << 115200u << true;
    QTest::newRow("15 ms at 57600") << 15u << 63 << 57600u << true;
    QTest::newRow("9 ms at 57600") << 9u << 63 << 57600u << false;
    QTest::newRow("equal: 5 ms for 64 bytes at 128000") << 5u << 64 << 128000u << false;
    QTest::newRow("just longer: 5 ms for 63 bytes at 128000") << 5u << 63 << 128000u << true;
    QTest::newRow("no pause") << 0u << 1 << 921600u << false;
    QTest::newRow("rate unknown: the pause as asked") << 3u << 63 << 0u << true;
}

void TestLpcImage::pauseAfterLine()
{
    QFETCH(uint, pauseMs);
    QFETCH(int, lineBytes);
    QFETCH(uint, bitsPerSecond);
    QFETCH(bool, waited);
    QCOMPARE(lpc::pauseAfterLine(pauseMs, lineBytes, bitsPerSecond), waited);
}

void TestLpcImage::sendListRefusals()
{
    // The minimum gathered before a look, by step (the steps outside 1..11 look at nothing).
    QCOMPARE((QList<int>{replyLength(0), replyLength(1), replyLength(2), replyLength(7),
                         replyLength(10), replyLength(11), replyLength(12)}),
             (QList<int>{-1, 14, 18, 5, 3, 3, -1}));
    QVERIFY(!BuildLpcSendList(QByteArray(), sectorLayout(Layout::A), devices::kLpc22xxCopy));
    QVERIFY(!BuildLpcSendList(QByteArray(kImageLimit + 1, '\0'), sectorLayout(Layout::B),
                              devices::kLpc213xCopy));
}

void TestLpcImage::parseLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("result");
    using L = HexLine;
    QTest::newRow("data") << QStringLiteral(":0400000001020304F2") << int(L::Data);
    QTest::newRow("blank") << QString() << int(L::Ignored);
    QTest::newRow("comment") << QStringLiteral("# :0400000001020304F2") << int(L::Ignored);
    QTest::newRow("end of file") << QStringLiteral(":00000001FF") << int(L::Ignored);
    QTest::newRow("start segment record")
        << QStringLiteral(":0400000300001000E9") << int(L::Ignored);
    QTest::newRow("linear base") << QStringLiteral(":020000040001F9") << int(L::Address);
    QTest::newRow("segment base") << QStringLiteral(":020000021000EC") << int(L::Address);
    QTest::newRow("bad checksum") << QStringLiteral(":040000000102030400") << int(L::Malformed);
    QTest::newRow("text after the checksum")
        << QStringLiteral(":0400000001020304F2;") << int(L::Malformed);
    QTest::newRow("non-hex data") << QStringLiteral(":04000000010203G4F2") << int(L::Malformed);
    QTest::newRow("non-hex count") << QStringLiteral(":0G00000001020304F2") << int(L::Malformed);
    QTest::newRow("non-hex type") << QStringLiteral(":040000X001020304F2") << int(L::Malformed);
    QTest::newRow("non-hex offset") << QStringLiteral(":04000Q0001020304F2") << int(L::Malformed);
    QTest::newRow("count past the line") << QStringLiteral(":FF00000001") << int(L::Malformed);
    QTest::newRow("colon alone") << QStringLiteral(":") << int(L::Malformed);
    QTest::newRow("base digits missing") << QStringLiteral(":02000004") << int(L::Malformed);
    QTest::newRow("RAM address") << QStringLiteral(":020000044000BA") << int(L::Address);
}

void TestLpcImage::parseLine()
{
    QFETCH(QString, line);
    QFETCH(int, result);
    LpcHexState state;
    state.image = QByteArray("keep");
    const LpcHexState before = state;
    QCOMPARE(int(ParseLpcHexLine(line, state)), result);
    if (result == int(HexLine::Malformed) || result == int(HexLine::Ignored)) {
        QCOMPARE(state.image, before.image);
        QCOMPARE(state.LpcExtLinear, before.LpcExtLinear);
        QCOMPARE(state.LpcExtSegment, before.LpcExtSegment);
    }
}

void TestLpcImage::loadHex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("image"); // expected padded image when loaded
    QTest::addColumn<int>("line");         // line of a malformed record

    const QByteArray d4 = bytes("11 22 33 44");
    const QByteArray d8 = pattern(8);
    const int ok = int(LoadStatus::Loaded);

    QTest::newRow("first record at 0x0100: 256 leading zeros")
        << record(0, 0x100, d4) + kEof << ok << QByteArray(256, '\0') + d4 << 0;
    QTest::newRow("extended linear 0001: 64 KiB higher")
        << record(4, 0, word(0x0001)) + record(0, 0, d4) + kEof << ok
        << QByteArray(0x10000, '\0') + d4 << 0;
    QTest::newRow("extended segment 1000: 64 KiB higher")
        << record(2, 0, word(0x1000)) + record(0, 0, d4) + kEof << ok
        << QByteArray(0x10000, '\0') + d4 << 0;
    QTest::newRow("both bases add up")
        << record(4, 0, word(0x0001)) + record(2, 0, word(0x1000)) + record(0, 0, d4) + kEof << ok
        << QByteArray(0x20000, '\0') + d4 << 0;
    QTest::newRow("out of order records land at their addresses")
        << record(0, 8, d8) + record(0, 0, d4) + kEof << ok << d4 + QByteArray(4, '\0') + d8 << 0;
    QTest::newRow("overlap: later record wins")
        << record(0, 0, d8) + record(0, 2, bytes("EE FF")) + kEof << ok
        << d8.left(2) + bytes("EE FF") + d8.mid(4) << 0;
    QTest::newRow("nothing after the end-of-file record is read")
        << record(0, 0, d4) + kEof + record(0, 4, d4) << ok << d4 << 0;
    QTest::newRow("blank lines between records")
        << "\r\n" + record(0, 0, d4) + "\r\n\r\n" + kEof << ok << d4 << 0;
    QTest::newRow("CR line ends")
        << QByteArray(record(0, 0, d4) + record(0, 4, d8) + kEof).replace("\r\n", "\r") << ok
        << d4 + d8 << 0;
    QTest::newRow("no line breaks between records")
        << QByteArray(record(0, 0, d4) + record(0, 4, d8) + kEof).replace("\r\n", "") << ok
        << d4 + d8 << 0;
    QTest::newRow("a comment line refuses the file")
        << "\r\n; comment\r\n" + record(0, 0, d4) + kEof << int(LoadStatus::Malformed)
        << QByteArray() << 2;
    QTest::newRow("lower-case digits")
        << QByteArray(":04000000a1b2c3d412\n") + kEof << ok << bytes("A1 B2 C3 D4") << 0;
    QTest::newRow("checksum checked") << QByteArray(":0400000011223344FF\n") + kEof
                                      << int(LoadStatus::Malformed) << QByteArray() << 1;
    QTest::newRow("no end-of-file record: the last line named")
        << record(0, 0, d4) + record(0, 4, d4) + "\r\n"
        << int(LoadStatus::Malformed) << QByteArray() << 2;
    QTest::newRow("255-byte record")
        << record(0, 0, pattern(255)) + kEof << ok << pattern(255) + QByteArray(1, char(0xFF)) << 0;
    QTest::newRow("non-hex data stops the load at its line")
        << record(0, 0, d4) + record(0, 4, d4) + ":04000800112G3344FF\r\n" + record(0, 12, d4)
        << int(LoadStatus::Malformed) << QByteArray() << 3;
    QTest::newRow("truncated record") << record(0, 0, d4) + ":10000000112233\r\n"
                                      << int(LoadStatus::Malformed) << QByteArray() << 2;
    QTest::newRow("record cut by the end of the file")
        << record(0, 0, d4) + ":0400040011" << int(LoadStatus::Malformed) << QByteArray() << 2;
    QTest::newRow("empty file") << QByteArray() << int(LoadStatus::Empty) << QByteArray() << 0;
    QTest::newRow("end-of-file record only") << kEof << int(LoadStatus::Empty) << QByteArray() << 0;
    QTest::newRow("zero-length data record only")
        << record(0, 0x100, {}) + kEof << int(LoadStatus::Empty) << QByteArray() << 0;
    QTest::newRow("RAM address: too large at once")
        << record(4, 0, word(0x4000)) + record(0, 0x200, d4) + kEof << int(LoadStatus::TooLarge)
        << QByteArray() << 0;
    QTest::newRow("bases near 4 GiB do not wrap round")
        << record(4, 0, word(0xFFFF)) + record(2, 0, word(0x1000)) + record(0, 0x0010, d4) + kEof
        << int(LoadStatus::TooLarge) << QByteArray() << 0;
}

void TestLpcImage::loadHex()
{
    QFETCH(QByteArray, text);
    QFETCH(int, status);
    QFETCH(QByteArray, image);
    QFETCH(int, line);
    const LoadResult r = loadText(text);
    QCOMPARE(int(r.status), status);
    QVERIFY(!r.statusText.isEmpty());
    if (r.ok()) {
        QCOMPARE(r.image.size(), image.size());
        QCOMPARE(r.image, image);
        QCOMPARE(r.statusText, QStringLiteral("下载目标代码"));
    } else {
        QVERIFY(r.image.isEmpty());
    }
    if (status == int(LoadStatus::Malformed)) QCOMPARE(r.malformedLine, line);
    if (status == int(LoadStatus::TooLarge))
        QCOMPARE(r.statusText, QStringLiteral("文件太大，不能用于500K Flash的LPC ARM"));
}

void TestLpcImage::imageLimit_data()
{
    QTest::addColumn<qsizetype>("dataBytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<qsizetype>("imageSize");
    QTest::newRow("512,000 accepted")
        << qsizetype(512000) << int(LoadStatus::Loaded) << qsizetype(512000);
    QTest::newRow("512,001 refused")
        << qsizetype(512001) << int(LoadStatus::TooLarge) << qsizetype(0);
    QTest::newRow("511,997 padded and accepted")
        << qsizetype(511997) << int(LoadStatus::Loaded) << qsizetype(512000);
}

void TestLpcImage::imageLimit()
{
    QFETCH(qsizetype, dataBytes);
    QFETCH(int, status);
    QFETCH(qsizetype, imageSize);
    const QByteArray data = pattern(dataBytes, 5);
    const LoadResult r = loadText(hexFor(data));
    QCOMPARE(int(r.status), status);
    QCOMPARE(r.image.size(), imageSize);
    if (!r.ok()) return;
    QCOMPARE(r.image.left(dataBytes), data);
    const auto list = BuildLpcSendList(r.image, sectorLayout(Layout::B), devices::kLpc213xCopy);
    QVERIFY(list);
    QCOMPARE(list->LpcFullBlocks, 125);
    QCOMPARE(list->LpcSendCount(), 125 * 9 + 1);
    QCOMPARE(list->item(list->LpcSendCount() - 3).lines.at(0), QByteArray("P 26 26\r\n"));
}

void TestLpcImage::overlongLineRefusesTheFile()
{
    // A record followed by junk far beyond any record's length on the same line: the junk is
    // never read as a record of its own, and the file is refused at that line.
    QByteArray text = record(0, 0, bytes("11 22 33 44"));
    text.chop(2);
    text += QByteArray(5000, 'x') + ":04000400GGGGGGGGFF\r\n" + record(0, 4, bytes("55 66 77 88"));
    const LoadResult r = loadText(text + kEof);
    QCOMPARE(int(r.status), int(LoadStatus::Malformed));
    QCOMPARE(r.malformedLine, 1);
    QCOMPARE(r.statusText, QStringLiteral("HEX文件格式错误: 第 1 行"));
}

void TestLpcImage::loadFile_data()
{
    QTest::addColumn<QString>("name");
    // 0 HEX text, 1 folder, 2 none, 3 sparse 200 MB, 4 the bytes themselves, 5 HEX text whose
    // data start at 0x40 (an application behind a boot loader's vector table)
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("vectors"); // the file gave bytes of the vector table
    const int loaded = int(LoadStatus::Loaded);
    QTest::newRow("HEX by its name") << "fw.hex" << 0 << loaded << true;
    QTest::newRow("HEX named in capitals") << "FW.HEX" << 0 << loaded << true;
    QTest::newRow("a .bin file is the image from address 0") << "fw.bin" << 4 << loaded << true;
    QTest::newRow("HEX text named .bin is bytes too") << "fw.bin" << 0 << loaded << true;
    QTest::newRow("HEX data from 0x40 only: no vector table")
        << "app.hex" << 5 << loaded << false;
    QTest::newRow("missing") << "none.hex" << 2 << int(LoadStatus::Missing) << false;
    QTest::newRow("folder") << "dir.hex" << 1 << int(LoadStatus::Missing) << false;
    QTest::newRow("200 MB HEX, not read") << "big.hex" << 3 << int(LoadStatus::TooLarge) << false;
    QTest::newRow("200 MB binary, not read")
        << "big.bin" << 3 << int(LoadStatus::TooLarge) << false;
}

void TestLpcImage::loadFile()
{
    QFETCH(QString, name);
    QFETCH(int, kind);
    QFETCH(int, status);
    QFETCH(bool, vectors);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(name);
    QFile f(path);
    const QByteArray content = kind == 0   ? record(0, 0, bytes("11 22 33 44")) + kEof
                               : kind == 4 ? bytes("11 22 33 44")
                                           : record(0, 0x40, bytes("11 22 33 44")) + kEof;
    switch (kind) {
    case 0:
    case 4:
    case 5:
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        break;
    case 1:
        QVERIFY(QDir().mkpath(path));
        break;
    case 3:
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(200) << 20));
        f.close();
        break;
    default:
        break;
    }
    const LoadResult r = loadImage(path);
    QCOMPARE(int(r.status), status);
    if (status == int(LoadStatus::Missing)) QCOMPARE(r.statusText, QStringLiteral("文件不存在"));
    QCOMPARE(r.vectorData, vectors);
    if (!r.ok()) return;
    if (kind == 5) {
        QCOMPARE(r.image.mid(0x40), bytes("11 22 33 44"));
    } else if (name.endsWith(u".bin")) {
        QByteArray padded = content; // the file's own bytes, padded as every image is
        lpc::padImage(padded);
        QCOMPARE(r.image, padded);
    } else {
        QCOMPARE(r.image, bytes("11 22 33 44"));
    }
}

// Facts of the user manuals, written here once and compared with the device table: the
// identification, flash, sectors, the RAM W may write from, how data travel, the valid-code
// word and the bytes one W/C pair moves.
void TestLpcImage::partFacts_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("flashKib");
    QTest::addColumn<int>("sectors");
    QTest::addColumn<int>("lastSectorKib");
    QTest::addColumn<quint32>("ramFree");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<quint32>("checksumWord");
    QTest::addColumn<int>("block");
    QTest::addColumn<bool>("crc");
    // UM10360 ch. 32: 16 x 4 KiB + 14 x 32 KiB, ISP RAM up to 0x100001FF.
    QTest::newRow("LPC1768") << 0x26013F37u << "LPC1768" << 512 << 30 << 32 << 0x10000200u
                             << false << 0x1Cu << 4096 << false;
    QTest::newRow("LPC1751") << 0x25001118u << "LPC1751" << 32 << 8 << 4 << 0x10000200u << false
                             << 0x1Cu << 4096 << false;
    // UM10398: 4 KiB sectors, W from 0x10000300; 2 KiB of RAM hold a 512-byte copy only.
    QTest::newRow("LPC1114/302") << 0x2540102Bu << "LPC1114/302" << 32 << 8 << 4 << 0x10000300u
                                 << false << 0x1Cu << 4096 << false;
    QTest::newRow("LPC1111/101") << 0x041E502Bu << "LPC1111/101" << 8 << 2 << 4 << 0x10000300u
                                 << false << 0x1Cu << 512 << false;
    QTest::newRow("LPC11U24/401") << 0x2980002Bu << "LPC11U24/401" << 32 << 8 << 4
                                  << 0x10000300u << false << 0x1Cu << 4096 << false;
    QTest::newRow("LPC1343") << 0x3D00002Bu << "LPC1343" << 32 << 8 << 4 << 0x10000300u << false
                             << 0x1Cu << 4096 << false;
    // UM10601/UM10800/UM11029: 1 KiB sectors, raw data, S; the LPC810's 1 KiB of RAM
    // holds a 64-byte copy.
    QTest::newRow("LPC812") << 0x00008120u << "LPC812M101JDH16" << 16 << 16 << 1 << 0x10000270u
                            << true << 0x1Cu << 1024 << true;
    QTest::newRow("LPC810") << 0x00008100u << "LPC810M021FN8" << 4 << 4 << 1 << 0x10000270u
                            << true << 0x1Cu << 64 << true;
    QTest::newRow("LPC824") << 0x00008241u << "LPC824M201JHI33" << 32 << 32 << 1 << 0x10000270u
                            << true << 0x1Cu << 1024 << true;
    QTest::newRow("LPC845") << 0x00008451u << "LPC845M301JBD64" << 64 << 64 << 1 << 0x10000600u
                            << true << 0x1Cu << 1024 << true;
    // UM10211/UM10237: 8 x 4 + 14 x 32 + 6 x 4 KiB; UM10139: 5 x 4 KiB at the end.
    QTest::newRow("LPC2378") << 0x1700FD25u << "LPC2378" << 504 << 28 << 4 << 0x40000200u
                             << false << 0x14u << 4096 << false;
    QTest::newRow("LPC2148") << 0x0402FF25u << "LPC2148" << 500 << 27 << 4 << 0x40000200u
                             << false << 0x14u << 4096 << false;
    // UM10114: 8 x 8 + 2 x 64 + 7 x 8 KiB.
    QTest::newRow("LPC2294") << 0x0501FF13u << "LPC2294" << 248 << 17 << 8 << 0x40000200u
                             << false << 0x14u << 4096 << false;
    QTest::newRow("LPC2106") << 0xFFF0FF32u << "LPC2106" << 120 << 15 << 8 << 0x40000200u
                             << false << 0x14u << 4096 << false;
}

void TestLpcImage::partFacts()
{
    QFETCH(quint32, id);
    QFETCH(QString, name);
    QFETCH(int, flashKib);
    QFETCH(int, sectors);
    QFETCH(int, lastSectorKib);
    QFETCH(quint32, ramFree);
    QFETCH(bool, binary);
    QFETCH(quint32, checksumWord);
    QFETCH(int, block);
    QFETCH(bool, crc);
    const devices::LpcChip *chip = devices::lpcChip(id);
    QVERIFY(chip);
    QCOMPARE(chip->name.toString(), name);
    QCOMPARE(int(chip->flashKib), flashKib);
    QCOMPARE(chip->sectorCount(), sectors);
    QCOMPARE(chip->sectorSize(sectors - 1), qint64(lastSectorKib) * 1024);
    QCOMPARE(chip->family->ramFree, ramFree);
    QCOMPARE(chip->family->binaryData, binary);
    QCOMPARE(chip->family->checksumWord(), checksumWord);
    QCOMPARE(chip->blockBytes(), block);
    QCOMPARE(chip->family->has(devices::kLpcCmdCrc), crc);
    QCOMPARE(devices::lpcChipNamed(name), chip);
    // A part the table does not know has no row.
    QVERIFY(!devices::lpcChip(id ^ 0x5A000000u));
}

void TestLpcImage::partTableInvariants()
{
    QSet<quint32> ids;
    for (const devices::LpcChip &c : devices::lpcChips()) {
        const QString at = c.name.toString();
        QVERIFY2(!ids.contains(c.id), qPrintable(at));
        ids.insert(c.id);
        QVERIFY2(!c.family->manual.isEmpty(), qPrintable(at));
        // Whole sectors make up the flash, and the next sector would lie past it.
        const int n = c.sectorCount();
        QVERIFY2(n > 0 && c.sectorStart(n) == c.flashBytes(), qPrintable(at));
        QCOMPARE(c.sectorOf(c.flashBytes() - 1), n - 1);
        QCOMPARE(c.sectorOf(c.flashBytes()), -1);
        // A block is a copy count, fits the RAM behind the ISP's own and never spans sectors.
        const int block = c.blockBytes();
        QVERIFY2(std::find(c.family->copyCounts.begin(), c.family->copyCounts.end(), block) !=
                     c.family->copyCounts.end() && block > 0,
                 qPrintable(at));
        QVERIFY2(c.family->ramFree + quint32(block) <= c.family->ramStart + c.ramKib * 1024u,
                 qPrintable(at));
        for (int s = 0; s < n; ++s)
            QVERIFY2(c.sectorSize(s) % block == 0 && c.sectorStart(s) % block == 0,
                     qPrintable(at));
        QVERIFY2(c.family->ramFree > c.family->ramStart, qPrintable(at));
    }
    // The LPC2000 entries' own layouts cover what the table says of the same parts.
    for (const auto &[text, id] : {std::pair{u"196353", 0x0002FF01u}, {u"196369", 0x0002FF11u},
                                   {u"196387", 0x0002FF23u}, {u"196389", 0x0002FF25u}})
        QCOMPARE(flashBytesFor(text), devices::lpcChip(id)->flashBytes());
}

void TestLpcImage::partSendList_data()
{
    QTest::addColumn<quint32>("id");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("verify");
    QTest::addColumn<QStringList>("commands"); // command lines, data left out
    const int none = int(Verify::None), compare = int(Verify::Compare), crc = int(Verify::Crc);
    // LPC1768: 4096-byte blocks to 0x10000200; the 100-byte rest fills a 256-byte copy; the
    // compare leaves the boot ROM's 512 bytes out.
    QTest::newRow("LPC1768, compare")
        << 0x26013F37u << 4196 << compare
        << QStringList{"W 268435968 4096", "P 0 0", "C 0 268435968 4096",
                       "M 512 268436480 3584", "W 268435968 256", "P 1 1",
                       "C 4096 268435968 256", "M 4096 268435968 256"};
    QTest::newRow("LPC1768 past its 4 KiB sectors, unverified")
        << 0x26013F37u << 65536 + 8 << none
        << QStringList{"W 268435968 256", "P 16 16", "C 65536 268435968 256"};
    // LPC845: raw 1 KiB blocks from 0x10000600, one S at the end.
    QTest::newRow("LPC845, CRC") << 0x00008451u << 1500 << crc
                                 << QStringList{"W 268436992 1024", "P 0 0",
                                                "C 0 268436992 1024", "W 268436992 512",
                                                "P 1 1", "C 1024 268436992 512", "S 512 1024"};
    QTest::newRow("LPC810: 64-byte copies, no compare inside the boot ROM's bytes")
        << 0x00008100u << 128 << compare
        << QStringList{"W 268436080 64", "P 0 0", "C 0 268436080 64", "W 268436080 64",
                       "P 0 0", "C 64 268436080 64"};
    QTest::newRow("LPC2294: 8 KiB sectors") << 0x0501FF13u << 12288 << none
                                            << QStringList{"W 1073742336 4096", "P 0 0",
                                                           "C 0 1073742336 4096",
                                                           "W 1073742336 4096", "P 0 0",
                                                           "C 4096 1073742336 4096",
                                                           "W 1073742336 4096", "P 1 1",
                                                           "C 8192 1073742336 4096"};
}

void TestLpcImage::partSendList()
{
    QFETCH(quint32, id);
    QFETCH(int, size);
    QFETCH(int, verify);
    QFETCH(QStringList, commands);
    const devices::LpcChip &chip = *devices::lpcChip(id);
    const QByteArray image = pattern(size, 7);
    const std::optional<LpcSendList> list = buildPartSendList(image, chip, Verify(verify));
    QVERIFY(list);
    QStringList got;
    QByteArray data; // what the data items carry, in order
    for (int i = 1; i < list->LpcSendCount(); ++i) {
        const LpcSendItem &item = list->item(i);
        if (item.kind == ItemKind::BinaryItem) {
            data += item.lines.value(0);
        } else if (item.kind == ItemKind::DataItem) {
            for (qsizetype l = 0; l + 1 < item.lines.size(); ++l)
                data += uuDecode(item.lines[l].chopped(2));
        } else {
            got << QString::fromLatin1(item.lines.value(0).chopped(2));
            if (item.kind == ItemKind::CrcItem) {
                QByteArray flash = image;
                flash.append(data.size() - image.size(), char(0xFF));
                QCOMPARE(item.expectedCrc, crc32(flash.mid(item.flashAddress, item.byteCount)));
            }
        }
    }
    // Only the parts with "S" are sent one.
    QCOMPARE(got.filter(QRegularExpression("^S ")).isEmpty(),
             !(verify == int(Verify::Crc) && chip.family->has(devices::kLpcCmdCrc)));
    if (size == 65536 + 8) got = got.mid(got.size() - 3); // the blocks before are alike
    QCOMPARE(got, commands);
    // The data are the image, then erased flash up to the last copy's count.
    QCOMPARE(data.left(size), image);
    QCOMPARE(data.mid(size), QByteArray(data.size() - size, char(0xFF)));
    // An image larger than the part is refused before anything is built.
    QVERIFY(!buildPartSendList(QByteArray(chip.flashBytes() + 4, 'x'), chip, Verify::None));
}

void TestLpcImage::crcAndPartIdAnswers_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<qint64>("crc"); // -1: no CRC in it
    QTest::newRow("success and value") << QByteArray("0\r\n3421780262\r\n") << true
                                       << qint64(3421780262);
    QTest::newRow("value still to come") << QByteArray("0\r\n") << false << qint64(-1);
    QTest::newRow("error code") << QByteArray("14\r\n") << true << qint64(-1);
    QTest::newRow("no number") << QByteArray("0\r\n12a\r\n") << true << qint64(-1);
    QTest::newRow("too large") << QByteArray("0\r\n4294967296\r\n") << true << qint64(-1);
}

void TestLpcImage::crcAndPartIdAnswers()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, complete);
    QFETCH(qint64, crc);
    QCOMPARE(crcComplete(reply), complete);
    const std::optional<quint32> got = crcAnswerOf(reply);
    QCOMPARE(got.has_value(), crc >= 0);
    if (got) QCOMPARE(qint64(*got), crc);
    // The check value of the CRC that "S" answers (zlib's CRC-32 of "123456789").
    QCOMPARE(crc32("123456789"), 0xCBF43926u);
    QCOMPARE(partIdValue(u"637615927"), std::optional<quint32>(0x26013F37u));
    QCOMPARE(partIdValue(u"0x26013F37"), std::nullopt);
    QCOMPARE(partIdValue(u""), std::nullopt);
}

// A group of an R answer, encoded here by the programmer's own encoder (whose output the
// uuencoding tests check against the rules).
void TestLpcImage::readGroups_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<bool>("whole");
    const QByteArray data = pattern(100, 3);
    QByteArray lines;
    quint32 sum = 0;
    for (qsizetype at = 0; at < data.size(); at += 45) {
        const UuLine l = UuEncodeLine(data.mid(at, 45));
        lines += l.text;
        sum += l.sum;
    }
    const QByteArray sumLine = QByteArray::number(sum) + "\r\n";
    QTest::newRow("whole") << lines + sumLine << 100 << true << true;
    QTest::newRow("sum line still to come") << lines << 100 << false << false;
    QTest::newRow("wrong sum") << lines + QByteArray::number(sum + 1) + "\r\n" << 100 << true
                               << false;
    QByteArray changed = lines;
    changed[5] = changed[5] == '!' ? '"' : '!';
    QTest::newRow("a byte changed") << changed + sumLine << 100 << true << false;
    QTest::newRow("fewer bytes than asked") << lines + sumLine << 104 << false << false;
    QTest::newRow("no uuencoding") << QByteArray("hello world\r\n1\r\n") << 4 << true << false;
}

void TestLpcImage::readGroups()
{
    QFETCH(QByteArray, text);
    QFETCH(int, count);
    QFETCH(bool, complete);
    QFETCH(bool, whole);
    QCOMPARE(readGroupComplete(text, count), complete);
    const std::optional<QByteArray> got = decodeReadGroup(text, count);
    QCOMPARE(got.has_value(), whole);
    if (whole) QCOMPARE(*got, pattern(100, 3));
}

QTEST_GUILESS_MAIN(TestLpcImage)
#include "tst_lpcimage.moc"
