// The decoding rules of the iHexToBin library and its three hex conversions, called through
// the built shared object.
#include "iHexToBin.h"
#include "support/Firmware.h"

#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using Regions = QMap<int, QByteArray>; // image address -> bytes expected there

namespace {

constexpr quint8 kFill = 0xEE; // the caller's "no data" value, distinct from any byte written
constexpr qsizetype kImageSize = IHEXTOBIN_IMAGE_SIZE;

// One record with a correct checksum; data given as hex text.
QByteArray record(quint16 address, quint8 type, const char *hexData)
{
    return firmware::hexRecord(type, address, QByteArray::fromHex(hexData));
}

const QByteArray &kEof = firmware::kEndOfFile;

} // namespace

class TestHexDecode : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void unreadableFile_data();
    void unreadableFile();
    void nullArguments();
    void hexToNumber_data();
    void hexToNumber();

private:
    QString writeFile(const QByteArray &text);
    QTemporaryDir dir_;
    int files_ = 0;
};

QString TestHexDecode::writeFile(const QByteArray &text)
{
    const QString path = dir_.filePath(QStringLiteral("f%1.hex").arg(files_++));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) return {};
    return path;
}

void TestHexDecode::decode_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<Regions>("written");

    QTest::newRow("three bytes at 0x0000") << QByteArray(":0300000002003AC1\r\n:00000001FF\r\n")
                                           << 1 << Regions{{0x0000, QByteArray("\x02\x00\x3A", 3)}};
    QTest::newRow("lower-case digits") << QByteArray(":0310ab00deadbe11\n:00000001ff\n") << 1
                                       << Regions{{0x10AB, QByteArray("\xDE\xAD\xBE")}};
    QTest::newRow("wrong checksum stored")
        << QByteArray(":0100100055FF\r\n") + kEof << 1 << Regions{{0x0010, "\x55"}};
    QTest::newRow("records after end-of-file ignored")
        << record(0x0000, 0, "11") + kEof + record(0x0001, 0, "22") + kEof << 1
        << Regions{{0x0000, "\x11"}};
    QTest::newRow("no end-of-file record") << record(0x0100, 0, "0102") + record(0x0200, 0, "03")
                                           << 2 << Regions{{0x0100, "\x01\x02"}, {0x0200, "\x03"}};
    QTest::newRow("byte-order mark first")
        << QByteArray("\xEF\xBB\xBF") + record(0, 0, "11") + kEof << 2 << Regions{};
    QTest::newRow("blank line first") << "\r\n" + record(0, 0, "11") + kEof << 2 << Regions{};
    QTest::newRow("binary data") << QByteArray("\x02\x00\x3A\xFF", 4) << 2 << Regions{};
    QTest::newRow("empty file") << QByteArray() << 2 << Regions{};
    QTest::newRow("types 10 and 05 passed over")
        << record(0x0002, 0x10, "1122") + record(0x0000, 0, "AA") +
               record(0x0000, 0x05, "00000003") + record(0x0001, 0, "BB") + kEof
        << 1 << Regions{{0x0000, "\xAA\xBB"}};
    QTest::newRow("type 03 stores nothing")
        << record(0x0000, 0x03, "12345678") + record(0x0008, 0, "01") + kEof << 1
        << Regions{{0x0008, "\x01"}};
    QTest::newRow("later record wins")
        << record(0x0040, 0, "010203") + record(0x0041, 0, "22") + kEof << 1
        << Regions{{0x0040, "\x01\x22\x03"}};
    QTest::newRow("address plus count past 0xFFFF")
        << record(0xFFFE, 0, "11223344") + kEof << 1 << Regions{{0xFFFE, "\x11\x22"}};
    QTest::newRow("last address of the image")
        << record(0xFFFF, 0, "5A") + kEof << 1 << Regions{{0xFFFF, "\x5A"}};
    QTest::newRow("byte count past the line")
        << QByteArray(":05000000AABB\r\n:01001000CC23\r\n") + kEof << 1
        << Regions{{0x0000, "\xAA\xBB"}, {0x0010, "\xCC"}};
    QTest::newRow("byte count past the next record on the same line")
        << QByteArray(":05000000AABB:01001000CC23") + kEof << 1
        << Regions{{0x0000, "\xAA\xBB"}, {0x0010, "\xCC"}};
    QTest::newRow("byte count past the text")
        << QByteArray(":05000000AABB") << 2 << Regions{{0x0000, "\xAA\xBB"}};
    QTest::newRow("odd last digit not stored")
        << QByteArray(":03000000AAB") << 2 << Regions{{0x0000, "\xAA"}};
    QTest::newRow("record shorter than its header passed over")
        << QByteArray(":0000\r\n") + record(0x0003, 0, "33") + kEof << 1
        << Regions{{0x0003, "\x33"}};
    QTest::newRow("text ends inside a header") << QByteArray(":1000") << 2 << Regions{};
    QTest::newRow("end-of-file record without checksum")
        << record(0x0000, 0, "11") + ":00000001" << 1 << Regions{{0x0000, "\x11"}};
    QTest::newRow("characters between records passed over")
        << QByteArray(":0100000011EE  junk ;; \t:0100010022DD x") + kEof << 1
        << Regions{{0x0000, "\x11\x22"}};
    QTest::newRow("zero byte ends the text")
        << record(0x0000, 0, "11") + QByteArray(1, '\0') + record(0x0001, 0, "22") + kEof << 2
        << Regions{{0x0000, "\x11"}};
    QTest::newRow("other characters stand for their low four bits")
        << QByteArray(":02000000G1zz00\r\n") + kEof << 1 << Regions{{0x0000, "\x71\xAA"}};
    QTest::newRow("type with non-digit first character passed over")
        << QByteArray(":010000p0FF\r\n:010000 011\r\n") + record(0x0001, 0, "22") + kEof << 1
        << Regions{{0x0001, "\x22"}};
    QTest::newRow("linear base 0001 drops data outside the image")
        << record(0, 0x04, "0001") + record(0x0000, 0, "5566") + kEof << 1 << Regions{};
    QTest::newRow("linear base 0000 keeps data")
        << record(0, 0x04, "0000") + record(0x0000, 0, "5566") + kEof << 1
        << Regions{{0x0000, "\x55\x66"}};
    QTest::newRow("linear base back to 0000 stores again")
        << record(0, 0x04, "0800") + record(0x0000, 0, "77") + record(0, 0x04, "0000") +
               record(0x0001, 0, "88") + kEof
        << 1 << Regions{{0x0001, "\x88"}};
    QTest::newRow("segment base 0100 moves data up by 0x1000")
        << record(0, 0x02, "0100") + record(0x0010, 0, "99") + kEof << 1
        << Regions{{0x1010, "\x99"}};
    QTest::newRow("segment base 1000 drops data outside the image")
        << record(0, 0x02, "1000") + record(0x0000, 0, "99") + kEof << 1 << Regions{};
    QTest::newRow("segment base runs a record off the image end")
        << record(0, 0x02, "0FFF") + record(0x000C, 0, "010203040506") + kEof << 1
        << Regions{{0xFFFC, "\x01\x02\x03\x04"}};
    QTest::newRow("highest linear base with highest address")
        << record(0, 0x04, "FFFF") +
               record(0xFFFF, 0, QByteArray(255, '\x42').toHex().constData()) + kEof
        << 1 << Regions{};
    QTest::newRow("address record too short leaves the base")
        << QByteArray(":02000004\r\n") + record(0x0004, 0, "44") + kEof << 1
        << Regions{{0x0004, "\x44"}};
}

void TestHexDecode::decode()
{
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(Regions, written);

    std::vector<uint8_t> expected(kImageSize, kFill);
    for (auto it = written.cbegin(); it != written.cend(); ++it)
        std::copy(it.value().cbegin(), it.value().cend(), expected.begin() + it.key());

    const QString path = writeFile(text);
    QVERIFY(!path.isEmpty());
    std::vector<uint8_t> image(kImageSize, kFill);
    QCOMPARE(DecodeHex(QFile::encodeName(path).constData(), image.data()), result);
    for (qsizetype a = 0; a < kImageSize; ++a) {
        if (image[a] != expected[a])
            QFAIL(qPrintable(QStringLiteral("image[0x%1] is 0x%2, expected 0x%3")
                                 .arg(a, 4, 16, QLatin1Char('0'))
                                 .arg(image[a], 2, 16, QLatin1Char('0'))
                                 .arg(expected[a], 2, 16, QLatin1Char('0'))));
    }
}

// Every failure to obtain the text gives 0 and leaves the image as it was.
void TestHexDecode::unreadableFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing file") << "missing";
    QTest::newRow("directory") << "directory";
    QTest::newRow("named pipe without writer") << "fifo";
    QTest::newRow("file larger than 64 MiB") << "huge";
}

void TestHexDecode::unreadableFile()
{
    QFETCH(QString, kind);
    const QString path = dir_.filePath(QStringLiteral("unreadable-") + kind);
    const QByteArray name = QFile::encodeName(path);
    if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == QLatin1String("fifo")) {
        QCOMPARE(mkfifo(name.constData(), 0600), 0);
    } else if (kind == QLatin1String("huge")) {
        // Sparse, so it costs no disk space; it starts like a valid HEX file.
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.write(record(0, 0, "11")) > 0);
        QVERIFY(f.resize(qint64(64) * 1024 * 1024 + 1));
    }
    std::vector<uint8_t> image(kImageSize, kFill);
    QCOMPARE(DecodeHex(name.constData(), image.data()), 0);
    QVERIFY(std::all_of(image.cbegin(), image.cend(), [](uint8_t b) { return b == kFill; }));
}

void TestHexDecode::nullArguments()
{
    std::vector<uint8_t> image(kImageSize, kFill);
    QCOMPARE(DecodeHex(nullptr, image.data()), 0);
    const QString path = writeFile(record(0, 0, "11") + kEof);
    QCOMPARE(DecodeHex(QFile::encodeName(path).constData(), nullptr), 0);
}

// The library's digit readers: two, four, or up to eight digits, most significant first.
void TestHexDecode::hexToNumber_data()
{
    QTest::addColumn<int>("digits"); // 2: HexToByte, 4: HexToWord, 8: HexToDword
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint32>("value");
    const struct {
        const char *name;
        int digits;
        const char *text;
        quint32 value;
    } rows[] = {
        {"byte: zero", 2, "00", 0x00},
        {"byte: upper case", 2, "FF", 0xFF},
        {"byte: lower case", 2, "a5", 0xA5},
        {"byte: mixed case", 2, "fB", 0xFB},
        {"byte: digits", 2, "3A", 0x3A},
        {"byte: only two characters read", 2, "12345", 0x12},
        {"byte: non-hex letters by low four bits", 2, "G1", 0x71},
        {"byte: colon and blank", 2, ": ", 0xA0},
        {"word: zero", 4, "0000", 0x0000},
        {"word: most significant first", 4, "1234", 0x1234},
        {"word: mixed case", 4, "abCD", 0xABCD},
        {"word: all ones", 4, "FFFF", 0xFFFF},
        {"word: only four characters read", 4, "123456", 0x1234},
        {"word: colon by low four bits", 4, "12:4", 0x12A4},
        {"dword: empty", 8, "", 0},
        {"dword: one digit", 8, "7", 7},
        {"dword: mixed case", 8, "DEADbeef", 0xDEADBEEF},
        {"dword: nine digits keep the last eight", 8, "123456789", 0x23456789},
        {"dword: shifted out high digits", 8, "FFFFFFFF0", 0xFFFFFFF0},
        {"dword: prefix letters count by low four bits", 8, "0x10", 0x0810},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << r.digits << QByteArray(r.text) << r.value;
}

void TestHexDecode::hexToNumber()
{
    QFETCH(int, digits);
    QFETCH(QByteArray, text);
    QFETCH(quint32, value);
    const char *t = text.constData();
    const quint32 got = digits == 2   ? quint32(HexToByte(t))
                        : digits == 4 ? quint32(HexToWord(t))
                                      : quint32(HexToDword(t));
    QCOMPARE(got, value);
}

QTEST_GUILESS_MAIN(TestHexDecode)
#include "tst_hexdecode.moc"
