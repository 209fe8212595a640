// The decoding rules of the iHexToBin library and its three hex conversions, called through
// the built shared object; and the image model every programmer takes its image from (Intel
// HEX, S-records, ELF, binaries at an address).
#include "iHexToBin.h"
#include "logic/FirmwareImage.h"
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
    void imageFiles_data();
    void imageFiles();

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

// Every reader of the image model: what lands where, what is refused with which line or
// segment, and the warning of records that give one address two values.
void TestHexDecode::imageFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("status"); // firmware::Status
    QTest::addColumn<QString>("text"); // the reason, or the warning of a loaded file
    QTest::addColumn<Regions>("regions"); // address (from base) -> bytes
    QTest::addColumn<quint64>("base");

    using firmware::sRecord;
    using firmware::ElfSegment;
    const QByteArray a = firmware::pattern(16, 1), b = firmware::pattern(16, 2);
    const QByteArray c = firmware::pattern(40, 3);
    const int loaded = int(firmware::Status::Loaded), damaged = int(firmware::Status::Damaged);
    const int empty = int(firmware::Status::Empty);
    const QByteArray good = sRecord(0, 0, "hdr") + sRecord(1, 0x0000, a) + sRecord(1, 0x0010, b) +
                            sRecord(5, 2) + sRecord(9, 0);
    QTest::newRow("srec: S0 S1 S1 S5 S9") << "fw.srec" << good << loaded << QString()
                                           << Regions{{0, a + b}} << quint64(0);
    QTest::newRow("srec: S2 and S3 addresses, CR line ends, S8 ends")
        << "fw.S28"
        << QByteArray(sRecord(2, 0x080010, a) + sRecord(3, 0x00080000, b) + sRecord(8, 0x80000))
               .replace("\r\n", "\r")
        << loaded << QString() << Regions{{0, b + a}} << quint64(0x80000);
    QTest::newRow("srec: found by its first line, whatever the name")
        << "fw.bin" << good << loaded << QString() << Regions{{0, a + b}} << quint64(0);
    QTest::newRow("srec: nothing after S9 is read")
        << "fw.mot" << good + "junk\r\n" << loaded << QString() << Regions{{0, a + b}} << quint64(0);
    QByteArray badSum = sRecord(1, 0x0010, b);
    badSum[badSum.size() - 3] = badSum[badSum.size() - 3] == '0' ? '1' : '0';
    QTest::newRow("srec: checksum, line 3")
        << "fw.s19" << sRecord(0, 0) + sRecord(1, 0, a) + badSum + sRecord(9, 0) << damaged
        << "S记录文件校验和错误: 第 3 行" << Regions{} << quint64(0);
    QTest::newRow("srec: cut short, line 2")
        << "fw.srec" << sRecord(0, 0) + sRecord(1, 0, a).left(20) + "\r\n" + sRecord(9, 0)
        << damaged << "S记录文件记录不完整: 第 2 行" << Regions{} << quint64(0);
    QTest::newRow("srec: S4 is no record, line 1")
        << "fw.srec" << QByteArray("S4030000FC\r\n") + sRecord(9, 0) << damaged
        << "S记录文件格式错误: 第 1 行" << Regions{} << quint64(0);
    QTest::newRow("srec: a blank inside a record, line 2")
        << "fw.srec" << sRecord(0, 0) + sRecord(1, 0, a).insert(8, ' ') + sRecord(9, 0) << damaged
        << "S记录文件格式错误: 第 2 行" << Regions{} << quint64(0);
    QTest::newRow("srec: S5 count disagrees")
        << "fw.srec" << sRecord(1, 0, a) + sRecord(1, 0x10, b) + sRecord(5, 3) + sRecord(9, 0)
        << damaged << "S记录文件的记录数与第 3 行的 S5 记录不符: 记录 3 条，实有 2 条" << Regions{}
        << quint64(0);
    QTest::newRow("srec: no S7/S8/S9")
        << "fw.srec" << sRecord(0, 0) + sRecord(1, 0, a) << damaged
        << "S记录文件没有结束记录 (S7/S8/S9): 文件止于第 2 行" << Regions{} << quint64(0);
    QTest::newRow("srec: overlap warned, the later record kept")
        << "fw.srec" << sRecord(1, 0, a) + sRecord(1, 8, b) + sRecord(9, 0) << loaded
        << "警告: S记录文件第 1 行和第 2 行给地址 0x00000008 不同的数据，写入的是第 2 行的"
        << Regions{{0, a.left(8) + b}} << quint64(0);

    // Intel HEX through the same model: .ihx as .hex; overlaps as in S-records.
    QTest::newRow("ihx: read as Intel HEX")
        << "fw.ihx" << firmware::intelHex({{0x20, a}}) << loaded << QString()
        << Regions{{0, a}} << quint64(0x20);
    QByteArray sameBytes = firmware::hexRecord(0, 0, a) + firmware::hexRecord(0, 4, a.mid(4, 4));
    QTest::newRow("hex: the same bytes twice: no warning")
        << "fw.hex" << sameBytes + firmware::kEndOfFile << loaded << QString()
        << Regions{{0, a}} << quint64(0);
    QTest::newRow("hex: overlap of lines 2 and 4 warned once")
        << "fw.hex"
        << firmware::linearBase(0x0800) + firmware::hexRecord(0, 0, a) +
               firmware::hexRecord(0, 0x10, b) + firmware::hexRecord(0, 0x0C, b) +
               firmware::hexRecord(0, 0x1C, a) + firmware::kEndOfFile
        << loaded << "警告: HEX文件第 2 行和第 4 行给地址 0x0800000C 不同的数据，写入的是第 4 行的"
        << Regions{{0, a.left(12) + b + a}} << quint64(0x08000000);

    // ELF: load addresses, file bytes only; damage refused by what it is.
    const QList<ElfSegment> app = {
        {0x08000000, 0x08000000, a + b, 0, 1},
        {0x08000020, 0x20000000, c, 0x100, 1}, // .data: kept at its load address
        {0x20000100, 0x20000100, {}, 0x400, 1}, // .bss and stack: RAM only
        {0, 0, "note", 0, 4},                   // PT_NOTE: not loaded
    };
    const Regions appRegions{{0, a + b + c}};
    QTest::newRow("elf32 little endian") << "app.elf" << firmware::elfFile(app) << loaded
                                         << QString() << appRegions << quint64(0x08000000);
    QTest::newRow("elf64 big endian, any name")
        << "app.hex" << firmware::elfFile(app, true, true) << loaded << QString() << appRegions
        << quint64(0x08000000);
    QTest::newRow("elf: header cut short") << "app.elf" << firmware::elfFile(app).left(30)
                                           << damaged << "ELF文件损坏: 文件头不完整或无效"
                                           << Regions{} << quint64(0);
    const QByteArray whole = firmware::elfFile(app);
    QTest::newRow("elf: a segment past the file's end")
        << "app.elf" << whole.left(whole.size() - 5) << damaged
        << "ELF文件损坏: 段 1 超出文件末尾" << Regions{} << quint64(0);
    QTest::newRow("elf: segments that overlap")
        << "app.elf"
        << firmware::elfFile({{0x08000000, 0x08000000, a + b, 0, 1},
                              {0x08000010, 0x08000010, c, 0, 1}})
        << damaged << "ELF文件损坏: 段 0 和段 1 的地址重叠 (0x08000010..0x0800001F)" << Regions{}
        << quint64(0);
    QTest::newRow("elf: more file bytes than memory")
        << "app.elf" << firmware::elfFile({{0, 0, a, 0, 1}}).replace(52 + 20, 1, "\x04") // p_memsz
        << damaged << "ELF文件损坏: 段 0 的文件大小大于内存大小" << Regions{} << quint64(0);
    QTest::newRow("elf: RAM only") << "app.elf"
                                   << firmware::elfFile({{0x20000000, 0x20000000, {}, 64, 1}})
                                   << empty << "ELF文件中没有带数据的可加载段" << Regions{}
                                   << quint64(0);
}

void TestHexDecode::imageFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(int, status);
    QFETCH(QString, text);
    QFETCH(Regions, regions);
    QFETCH(quint64, base);

    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
    f.close();
    const firmware::Loaded r = firmware::load(path);
    QCOMPARE(int(r.status), status);
    QCOMPARE(r.ok() ? r.warning : r.reason, text);
    if (!r.ok()) return;
    QCOMPARE(r.image.lowest(), base);
    const QList<firmware::Range> ranges = r.image.ranges();
    QCOMPARE(ranges.size(), regions.size());
    qsizetype k = 0;
    for (auto it = regions.cbegin(); it != regions.cend(); ++it, ++k) {
        QCOMPARE(ranges[k].address, base + quint64(it.key()));
        QCOMPARE(ranges[k].data, it.value());
    }
}

QTEST_GUILESS_MAIN(TestHexDecode)
#include "tst_hexdecode.moc"
