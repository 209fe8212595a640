// The STM32 programmer's pure logic: frames and checksums as the boot loader checks them,
// reply checks, message texts, HEX placement and the loading of firmware files (through the
// shared HEX reader: its line ends and its refusal of damaged files are checked here).
#include "logic/Stm32Image.h"

#include "logic/Devices.h"
#include "support/Firmware.h"

#include <QBuffer>
#include <QMap>
#include <QSet>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace stm32;

namespace {

QByteArray bytes(const char *spacedHex)
{
    return QByteArray::fromHex(QByteArray(spacedHex).replace(' ', ""));
}

const auto record = firmware::hexRecord;
using firmware::linearBase;
using firmware::segmentBase;
const QByteArray &kEof = firmware::kEndOfFile;

// A HEX text for data placed from an absolute address, in 32-byte records, with an extended
// linear address record at every 64 KiB boundary.
QByteArray hexFor(const QByteArray &data, quint32 address)
{
    return firmware::intelHexAt(data, address, 32);
}

using firmware::pattern;

LoadResult loadHexText(const QByteArray &text, qsizetype limit = kHexSizeLimit)
{
    QByteArray copy = text;
    QBuffer buf(&copy);
    buf.open(QIODevice::ReadOnly);
    return loadHex(buf, limit);
}

} // namespace

Q_DECLARE_METATYPE(stm32::Span)

class TestStm32Image : public QObject
{
    Q_OBJECT

private slots:
    void checksumOfWritten_data();
    void checksumOfWritten();
    void frames_data();
    void frames();
    void erasePlan_data();
    void erasePlan();
    void bulkErase_data();
    void bulkErase();
    void partsMatchTheirSources_data();
    void partsMatchTheirSources();
    void partsAreConsistent();
    void blocksOf3000ByteImage();
    void blockAtOutside();
    void sparseImages_data();
    void sparseImages();
    void syncReply_data();
    void syncReply();
    void getReply_data();
    void getReply();
    void getIdReply_data();
    void getIdReply();
    void flashSizeReply_data();
    void flashSizeReply();
    void texts_data();
    void texts();
    void writeUnitsAndReadBack_data();
    void writeUnitsAndReadBack();
    void parseLine_data();
    void parseLine();
    void loadHex_data();
    void loadHex();
    void hexSizeLimit_data();
    void hexSizeLimit();
    void overlongLineRefusesTheFile();
    void fileKind_data();
    void fileKind();
    void fileRefusals_data();
    void fileRefusals();
};

void TestStm32Image::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("Get") << commandFrame(kCmdGet) << bytes("00 FF");
    QTest::newRow("Get ID") << commandFrame(kCmdGetId) << bytes("02 FD");
    QTest::newRow("Read Memory") << commandFrame(kCmdReadMemory) << bytes("11 EE");
    QTest::newRow("Erase") << commandFrame(kCmdErase) << bytes("43 BC");
    QTest::newRow("Write Memory") << commandFrame(kCmdWriteMemory) << bytes("31 CE");
    QTest::newRow("flash-size register address")
        << addressFrame(kFlashSizeRegister) << bytes("1F FF F7 E0 F7");
    QTest::newRow("second block address")
        << addressFrame(kFlashStart + kBlockSize) << bytes("08 00 01 00 09");
    QTest::newRow("flash start address") << addressFrame(kFlashStart) << bytes("08 00 00 00 08");
    QTest::newRow("read 2 bytes") << readCountFrame(kFlashSizeRegisterBytes) << bytes("01 FE");
    QTest::newRow("read 256 bytes") << readCountFrame(256) << bytes("FF 00");
    QTest::newRow("read count clamped below") << readCountFrame(0) << bytes("00 FF");
    QTest::newRow("read count clamped above") << readCountFrame(1000) << bytes("FF 00");
}

void TestStm32Image::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void TestStm32Image::bulkErase_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<int>("flashKib");     // what the chip reports
    QTest::addColumn<QList<int>>("spans"); // KiB from the flash start: offset, length, ...
    QTest::addColumn<QByteArray>("firstFrame");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("line");

    const QList<int> mib2{0, 2048};
    // H74x/75x: two banks of 8 x 128 KiB; FFFF both, FFFE bank 1, FFFD bank 2.
    QTest::newRow("H7 both banks: FFFF") << 0x450 << true << 2048 << mib2 << bytes("FF FF 00") << 1
                                         << "擦除扇区 0 .. 15 (整片擦除)";
    QTest::newRow("H7 all of bank 1: FFFE") << 0x450 << true << 2048 << QList<int>{0, 1024}
                                            << bytes("FF FE 01") << 1
                                            << "擦除扇区 0 .. 7 (存储区 1 整体擦除)";
    QTest::newRow("H7 all of bank 2: FFFD") << 0x450 << true << 2048 << QList<int>{1024, 1024}
                                            << bytes("FF FD 02") << 1
                                            << "擦除扇区 8 .. 15 (存储区 2 整体擦除)";
    QTest::newRow("H7 bank 1 and a sector of bank 2: FFFE, sector 8")
        << 0x450 << true << 2048 << QList<int>{0, 1025} << bytes("FF FE 01") << 2
        << "擦除扇区 0 .. 8 (存储区 1 整体擦除)";
    QTest::newRow("H7 bank 1 one sector short: sectors")
        << 0x450 << true << 2048 << QList<int>{0, 896} << bytes("00 00 00 00 00") << 7
        << "擦除扇区 0 .. 6";
    QTest::newRow("H7 sparse, a hole over sector 9: FFFE, sectors")
        << 0x450 << true << 2048 << QList<int>{0, 1100, 1300, 748} << bytes("FF FE 01") << 8
        << "擦除扇区 0 .. 8, 10 .. 15 (存储区 1 整体擦除)";
    // A smaller part of a two-bank line may have one bank: only its whole flash counts.
    QTest::newRow("H7 reporting 1 MiB, all of it: FFFF")
        << 0x450 << true << 1024 << QList<int>{0, 1024} << bytes("FF FF 00") << 1
        << "擦除扇区 0 .. 7 (整片擦除)";
    QTest::newRow("H7 reporting 1 MiB, its first half: sectors")
        << 0x450 << true << 1024 << QList<int>{0, 512} << bytes("00 00 00 00 00") << 4
        << "擦除扇区 0 .. 3";
    QTest::newRow("H72x one bank, all of it: FFFF") << 0x483 << true << 1024 << QList<int>{0, 1024}
                                                  << bytes("FF FF 00") << 1
                                                  << "擦除扇区 0 .. 7 (整片擦除)";
    // F42x/F43x 2 MiB: one mass erase for all 24 sectors, no bank codes.
    QTest::newRow("F42x 2 MiB, all of it: FFFF") << 0x419 << true << 2048 << mib2
                                               << bytes("FF FF 00") << 1
                                               << "擦除扇区 0 .. 23 (整片擦除)";
    QTest::newRow("F42x 2 MiB, the first 1 MiB: sectors")
        << 0x419 << true << 2048 << QList<int>{0, 1024} << bytes("00 00 00 00 00") << 12
        << "擦除扇区 0 .. 11";
    QTest::newRow("G0B all of bank 2: FFFD") << 0x467 << true << 512 << QList<int>{256, 256}
                                             << bytes("FF FD 02") << 1
                                             << "擦除页 128 .. 255 (存储区 2 整体擦除)";
    // L0/L1 have no mass erase: the whole flash goes page by page.
    QTest::newRow("L0 whole flash: pages, never FFFF")
        << 0x417 << true << 64 << QList<int>{0, 64} << bytes("00 1F 00 00 00 01") << 16
        << "擦除页 0 .. 511";
    QTest::newRow("L1 whole flash: pages") << 0x416 << true << 128 << QList<int>{0, 128}
                                           << bytes("00 1F 00 00 00 01") << 16 << "擦除页 0 .. 511";
    // F10x Erase (0x43): the whole flash with FF 00, one page short by page lists.
    QTest::newRow("F10x whole 64 KiB: FF 00") << 0x410 << false << 64 << QList<int>{0, 64}
                                             << bytes("FF 00") << 1 << "擦除页 0 .. 63 (整片擦除)";
    QTest::newRow("F10x one page short: page lists") << 0x410 << false << 64 << QList<int>{0, 63}
                                                    << bytes("1F 00 01") << 2 << "擦除页 0 .. 62";
}

void TestStm32Image::bulkErase()
{
    QFETCH(int, productId);
    QFETCH(bool, extended);
    QFETCH(int, flashKib);
    QFETCH(QList<int>, spans);
    QFETCH(QByteArray, firstFrame);
    QFETCH(int, frames);
    QFETCH(QString, line);

    QList<Span> list;
    for (qsizetype i = 0; i + 1 < spans.size(); i += 2)
        list << Span{qsizetype(spans[i]) * 1024, qsizetype(spans[i + 1]) * 1024};
    const devices::Stm32Part &part = partFor(quint16(productId));
    const ErasePlan plan = stm32::erasePlan(part, extended, list, qint64(flashKib) * 1024);
    QCOMPARE(plan.frames.value(0).left(firstFrame.size()).toHex(' '), firstFrame.toHex(' '));
    QCOMPARE(int(plan.frames.size()), frames);
    QCOMPARE(eraseLine(plan), line);
    // A bulk frame only ever leads the plan; a repair (no flash size) never sends one.
    for (qsizetype i = 1; i < plan.frames.size(); ++i)
        QVERIFY(!bulkEraseFrame(plan.frames[i]));
    for (const QByteArray &f : stm32::erasePlan(part, extended, list).frames)
        QVERIFY(!bulkEraseFrame(f));
}

void TestStm32Image::erasePlan_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<bool>("extended");
    QTest::addColumn<qsizetype>("length");
    QTest::addColumn<int>("units");
    QTest::addColumn<bool>("global");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QByteArray>("firstFrame"); // empty: checked by its structure only
    QTest::addColumn<QString>("line");

    // F10x with Erase: exactly the pages the image covers, by the id's page size.
    QTest::newRow("0410 (1 KiB pages): 3000 bytes")
        << 0x410 << false << qsizetype(3000) << 3 << false << 1 << bytes("02 00 01 02 01")
        << "擦除页 0 .. 2";
    QTest::newRow("0410: 64 KiB on a 64 KiB part, pages 0..63, two commands")
        << 0x410 << false << qsizetype(64 * 1024) << 64 << false << 2 << QByteArray()
        << "擦除页 0 .. 63";
    QTest::newRow("0414 (2 KiB pages): 2048 bytes is one page")
        << 0x414 << false << qsizetype(2048) << 1 << false << 1 << bytes("00 00 00")
        << "擦除页 0 .. 0";
    QTest::newRow("0414: 2049 bytes") << 0x414 << false << qsizetype(2049) << 2 << false << 1
                                      << bytes("01 00 01 00") << "擦除页 0 .. 1";
    QTest::newRow("unknown id: 1 KiB pages") << 0x999 << false << qsizetype(1025) << 2 << false << 1
                                             << bytes("01 00 01 00") << "擦除页 0 .. 1";
    QTest::newRow("255 pages: largest lists") << 0x410 << false << qsizetype(255 * 1024) << 255
                                              << false << 8 << QByteArray() << "擦除页 0 .. 254";
    QTest::newRow("256 pages: global erase") << 0x410 << false << qsizetype(255 * 1024 + 1) << 256
                                             << true << 1 << bytes("FF 00") << "擦除页 0 .. 255";
    // Extended Erase: two-byte numbers.
    QTest::newRow("G0 extended: 5000 bytes on 2 KiB pages")
        << 0x460 << true << qsizetype(5000) << 3 << false << 1
        << bytes("00 02 00 00 00 01 00 02 01") << "擦除页 0 .. 2";
    QTest::newRow("F0 extended: 300 pages need no global erase")
        << 0x440 << true << qsizetype(300 * 1024) << 300 << false << 10 << QByteArray()
        << "擦除页 0 .. 299";
    // F4 sectors: 16, 16, 16, 16, 64, 128 KiB...; one sector per command.
    QTest::newRow("F4: 64 KiB fills sectors 0..3")
        << 0x413 << true << qsizetype(64 * 1024) << 4 << false << 4 << bytes("00 00 00 00 00")
        << "擦除扇区 0 .. 3";
    QTest::newRow("F4: one byte more needs the 64 KiB sector 4")
        << 0x413 << true << qsizetype(64 * 1024 + 1) << 5 << false << 5 << QByteArray()
        << "擦除扇区 0 .. 4";
    QTest::newRow("F4: 1 MiB is sectors 0..11")
        << 0x413 << true << qsizetype(0x100000) << 12 << false << 12 << QByteArray()
        << "擦除扇区 0 .. 11";
}

void TestStm32Image::erasePlan()
{
    QFETCH(int, productId);
    QFETCH(bool, extended);
    QFETCH(qsizetype, length);
    QFETCH(int, units);
    QFETCH(bool, global);
    QFETCH(int, frames);
    QFETCH(QByteArray, firstFrame);
    QFETCH(QString, line);

    const devices::Stm32Part &part = partFor(quint16(productId));
    const ErasePlan plan = stm32::erasePlan(part, extended, length);
    QCOMPARE(plan.units, units);
    QCOMPARE(plan.global, global);
    QCOMPARE(plan.command, extended ? kCmdExtendedErase : kCmdErase);
    QCOMPARE(int(plan.frames.size()), frames);
    QCOMPARE(eraseLine(plan), line);
    if (!firstFrame.isEmpty()) QCOMPARE(plan.frames[0].toHex(' '), firstFrame.toHex(' '));
    // The units cover the image and no more than the last one needs.
    QVERIFY(plan.coveredBytes >= length);
    QVERIFY(global || eraseUnitBytes(part, units - 1) < length);
    if (global) return;
    // Each frame: N - 1, the next N unit numbers, and a checksum that makes the XOR zero.
    const int width = extended ? 2 : 1;
    int next = 0;
    for (const QByteArray &f : plan.frames) {
        QVERIFY(f.size() <= (extended ? 1024 : kFrameSize));
        auto at = [&](qsizetype i) {
            return width == 2 ? quint8(f[i]) << 8 | quint8(f[i + 1]) : int(quint8(f[i]));
        };
        const int n = at(0) + 1;
        QCOMPARE(f.size(), qsizetype(width * (n + 1) + 1));
        for (int k = 0; k < n; ++k)
            QCOMPARE(at(width * (k + 1)), next++);
        quint8 x = 0;
        for (char c : f)
            x ^= quint8(c);
        QCOMPARE(x, quint8(0));
    }
    QCOMPARE(next, units);
}

// Every STM32 line of the device table against the documents, transcribed here on their own:
//   erase pages: stm32flash's device table (dev_table.c, the "PSize" column, from AN2606's
//     "Bootloader device-dependent parameters"); sectors: the reference manuals' flash module
//     organisation tables (RM0033 F2, RM0090 F40x/F42x, RM0368 F401, RM0383 F411, RM0390
//     F446, RM0401 F410, RM0385 F74x), up to the largest part of the line;
//   flash-size register: the "Device electronic signature" chapters (RM0008 F10x, RM0091
//     and RM0360 F0, RM0316 and RM0313 and RM0365 F3, RM0033/RM0090/RM0368/RM0383/RM0390/
//     RM0401 F2/F4, RM0385 F7, RM0444 and RM0454 G0, RM0440 G4, RM0351 and RM0394 L4);
//   write unit: what the flash controller programs at once (F10x/F0/F3 half-words; F2/F4/F7
//     words at the x32 parallelism of 2.7 V to 3.6 V; G0/G4/L4 64-bit double words).
// The lines added later, from the same kinds of documents: L0 (RM0377/RM0367/RM0451: 128-byte
//   pages, words, no mass erase in the loader (AN2606 L0 chapter), size 0x1FF8007C read from
//   0x1FF80000 (stm32loader issue #61), data EEPROM from the data sheets); L1 (RM0038: 256-byte
//   pages, size register 0x1FF8004C on Cat.1/2 and 0x1FF800CC from Cat.3); H7 (RM0433/RM0468:
//   128 KiB sectors, 256-bit flash words, size 0x1FF1E880); C0 (RM0490: 2 KiB pages, double
//   words, size 0x1FFF75A0); G0B/G0C (RM0444: two banks of 2 KiB pages); WB (RM0434: 4 KiB
//   pages on WB5x, 2 KiB on WB1x); WL (RM0453); L5 (RM0438: double words, size 0x0BFA05E0);
//   U5 (RM0456: quad words, 8 KiB pages, size 0x0BFA07A0); flash sizes of the largest part
//   from the data sheets.
void TestStm32Image::partsMatchTheirSources_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<QList<int>>("sectorKib");
    QTest::addColumn<quint32>("sizeRegister");
    QTest::addColumn<int>("writeUnit");
    QTest::addColumn<int>("flashKib");    // the line's largest part
    QTest::addColumn<quint32>("readFrom"); // where the size read starts; 0: the register
    QTest::addColumn<int>("massErase");    // devices::Stm32MassErase
    QTest::addColumn<int>("eeprom");       // data EEPROM bytes

    const QList<int> f4{16, 16, 16, 16, 64, 128, 128, 128, 128, 128, 128, 128};
    const QList<int> h7(8, 128);
    constexpr auto none = devices::Stm32MassErase::PageOnly;
    constexpr auto banks = devices::Stm32MassErase::Banks;
    const struct
    {
        int id, page;
        QList<int> sectors;
        quint32 size;
        int unit, kib;
        quint32 readFrom;
        devices::Stm32MassErase mass = devices::Stm32MassErase::Whole;
        int eeprom = 0;
    } rows[] = {
        // clang-format off
        {0x412, 1024, {}, 0x1FFFF7E0, 2, 32, 0}, {0x410, 1024, {}, 0x1FFFF7E0, 2, 128, 0},
        {0x414, 2048, {}, 0x1FFFF7E0, 2, 512, 0}, {0x418, 2048, {}, 0x1FFFF7E0, 2, 256, 0},
        {0x420, 1024, {}, 0x1FFFF7E0, 2, 128, 0}, {0x428, 2048, {}, 0x1FFFF7E0, 2, 512, 0},
        {0x430, 2048, {}, 0x1FFFF7E0, 2, 1024, 0}, {0x440, 1024, {}, 0x1FFFF7CC, 2, 64, 0},
        {0x444, 1024, {}, 0x1FFFF7CC, 2, 32, 0}, {0x445, 1024, {}, 0x1FFFF7CC, 2, 32, 0},
        {0x448, 2048, {}, 0x1FFFF7CC, 2, 128, 0}, {0x442, 2048, {}, 0x1FFFF7CC, 2, 256, 0},
        {0x422, 2048, {}, 0x1FFFF7CC, 2, 256, 0}, {0x432, 2048, {}, 0x1FFFF7CC, 2, 256, 0},
        {0x438, 2048, {}, 0x1FFFF7CC, 2, 64, 0}, {0x439, 2048, {}, 0x1FFFF7CC, 2, 64, 0},
        {0x446, 2048, {}, 0x1FFFF7CC, 2, 512, 0}, {0x411, 0, f4, 0x1FFF7A22, 4, 1024, 0x1FFF7A00},
        {0x413, 0, f4, 0x1FFF7A22, 4, 1024, 0x1FFF7A00},    {0x419, 0, f4 + f4, 0x1FFF7A22, 4, 2048, 0x1FFF7A00},
        {0x423, 0, f4.first(6), 0x1FFF7A22, 4, 256, 0x1FFF7A00},
        {0x433, 0, f4.first(8), 0x1FFF7A22, 4, 512, 0x1FFF7A00},
        {0x431, 0, f4.first(8), 0x1FFF7A22, 4, 512, 0x1FFF7A00},
        {0x421, 0, f4.first(8), 0x1FFF7A22, 4, 512, 0x1FFF7A00},
        {0x458, 0, f4.first(5), 0x1FFF7A22, 4, 128, 0x1FFF7A00},
        {0x449, 0, {32, 32, 32, 32, 128, 256, 256, 256}, 0x1FF0F442, 4, 1024, 0},
        {0x460, 2048, {}, 0x1FFF75E0, 8, 128, 0}, {0x466, 2048, {}, 0x1FFF75E0, 8, 64, 0},
        {0x456, 2048, {}, 0x1FFF75E0, 8, 64, 0}, {0x468, 2048, {}, 0x1FFF75E0, 8, 128, 0},
        {0x415, 2048, {}, 0x1FFF75E0, 8, 1024, 0}, {0x435, 2048, {}, 0x1FFF75E0, 8, 256, 0},
        {0x462, 2048, {}, 0x1FFF75E0, 8, 512, 0}, {0x464, 2048, {}, 0x1FFF75E0, 8, 128, 0},
        {0x461, 2048, {}, 0x1FFF75E0, 8, 1024, 0},
        {0x457, 128, {}, 0x1FF8007C, 4, 16, 0x1FF80000, none, 512},
        {0x425, 128, {}, 0x1FF8007C, 4, 32, 0x1FF80000, none, 1024},
        {0x417, 128, {}, 0x1FF8007C, 4, 64, 0x1FF80000, none, 2048},
        {0x447, 128, {}, 0x1FF8007C, 4, 192, 0x1FF80000, none, 6144},
        {0x416, 256, {}, 0x1FF8004C, 4, 128, 0, none, 4096},
        {0x429, 256, {}, 0x1FF8004C, 4, 128, 0, none, 4096},
        {0x427, 256, {}, 0x1FF800CC, 4, 256, 0, none, 8192},
        {0x436, 256, {}, 0x1FF800CC, 4, 384, 0, none, 12288},
        {0x437, 256, {}, 0x1FF800CC, 4, 512, 0, none, 16384},
        {0x450, 0, h7 + h7, 0x1FF1E880, 32, 2048, 0, banks},
        {0x483, 0, h7, 0x1FF1E880, 32, 1024, 0},
        {0x443, 2048, {}, 0x1FFF75A0, 8, 32, 0}, {0x453, 2048, {}, 0x1FFF75A0, 8, 32, 0},
        {0x467, 2048, {}, 0x1FFF75E0, 8, 512, 0, banks},
        {0x494, 2048, {}, 0x1FFF75E0, 8, 320, 0}, {0x495, 4096, {}, 0x1FFF75E0, 8, 1024, 0},
        {0x497, 2048, {}, 0x1FFF75E0, 8, 256, 0},
        {0x472, 2048, {}, 0x0BFA05E0, 8, 512, 0, banks},
        {0x482, 8192, {}, 0x0BFA07A0, 16, 2048, 0, banks},
        {0x480, 8192, {}, 0x08FFF80C, 16, 2048, 0, banks},
        // clang-format on
    };
    for (const auto &r : rows)
        QTest::addRow("%03X", r.id) << r.id << r.page << r.sectors << r.size << r.unit << r.kib
                                  << r.readFrom << int(r.mass) << r.eeprom;
    // The device table has no line that is not checked here.
    QCOMPARE(devices::stm32Parts().size(), std::size(rows));
}

void TestStm32Image::partsMatchTheirSources()
{
    QFETCH(int, productId);
    QFETCH(int, pageSize);
    QFETCH(QList<int>, sectorKib);
    QFETCH(quint32, sizeRegister);
    QFETCH(int, writeUnit);
    QFETCH(int, flashKib);
    QFETCH(quint32, readFrom);
    QFETCH(int, massErase);
    QFETCH(int, eeprom);
    const devices::Stm32Part *part = devices::stm32Part(quint16(productId));
    QVERIFY(part);
    QCOMPARE(int(part->pageSize), pageSize);
    // The table may list sectors past the largest part of the line; never other ones.
    QVERIFY(part->sectorKib.size() >= std::size_t(sectorKib.size()));
    QCOMPARE(QList<int>(part->sectorKib.begin(), part->sectorKib.begin() + sectorKib.size()),
             sectorKib);
    QCOMPARE(part->flashSizeRegister, sizeRegister);
    QCOMPARE(part->writeUnit, writeUnit);
    QCOMPARE(int(part->tableFlashKib), flashKib);
    // The size read covers the register's two bytes, from where the loader answers.
    const SizeReadPlan plan = sizeReadPlan(*part);
    QCOMPARE(plan.address, readFrom ? readFrom : sizeRegister);
    QCOMPARE(plan.address + quint32(plan.offset), sizeRegister);
    QVERIFY(plan.offset + kFlashSizeRegisterBytes <= plan.count && plan.count <= kBlockSize);
    QCOMPARE(int(part->massErase), massErase);
    QCOMPARE(int(part->eepromBytes), eeprom);
    // The 96-bit unique id beside the size register of the same electronic signature
    // chapter; read inside the size read's area where the loader refuses shorter reads.
    static const QMap<quint32, quint32> uidBySize{
        {0x1FFFF7E0, 0x1FFFF7E8}, {0x1FFFF7CC, 0x1FFFF7AC}, {0x1FFF7A22, 0x1FFF7A10},
        {0x1FF0F442, 0x1FF0F420}, {0x1FFF75E0, 0x1FFF7590}, {0x1FF8007C, 0x1FF80050},
        {0x1FF8004C, 0x1FF80050}, {0x1FF800CC, 0x1FF800D0}, {0x1FF1E880, 0x1FF1E800},
        {0x1FFF75A0, 0x1FFF7550}, {0x0BFA05E0, 0x0BFA0590}, {0x0BFA07A0, 0x0BFA0700},
        {0x08FFF80C, 0x08FFF800}};
    QCOMPARE(part->uniqueIdRegister, uidBySize.value(sizeRegister));
    const UniqueIdPlan uid = uniqueIdPlan(*part, plan);
    QCOMPARE(uid.inSizeRead, readFrom != 0);
    QCOMPARE(uid.inSizeRead ? plan.address + quint32(uid.offset) : uid.address,
             part->uniqueIdRegister);
    // Read-out protection levels on L0/L1 (with the data EEPROM) and H7; one state elsewhere.
    const auto rdp = eeprom > 0 ? devices::Stm32Rdp::Eeprom
                     : (productId == 0x450 || productId == 0x483 || productId == 0x480)
                         ? devices::Stm32Rdp::Levels
                                                                    : devices::Stm32Rdp::Single;
    QCOMPARE(int(part->rdp), int(rdp));
}

// What every row must hold whatever its source: one row per id, a write unit the protocol's
// blocks divide, a geometry that covers the line's largest flash (pages that divide it, or
// sectors that reach it), and data EEPROM only on lines that erase page by page (L0/L1).
void TestStm32Image::partsAreConsistent()
{
    QSet<int> ids;
    for (const devices::Stm32Part &p : devices::stm32Parts()) {
        const QString id = QString::number(p.productId, 16);
        QVERIFY2(!ids.contains(p.productId), qPrintable(id));
        ids.insert(p.productId);
        QVERIFY2(QList<int>({2, 4, 8, 16, 32}).contains(p.writeUnit), qPrintable(id));
        QCOMPARE(kBlockSize % p.writeUnit, 0);
        const qint64 flash = qint64(p.tableFlashKib) * 1024;
        QVERIFY2(flash > 0, qPrintable(id));
        if (p.sectorKib.empty()) {
            QVERIFY2(p.pageSize >= 128 && (p.pageSize & (p.pageSize - 1)) == 0, qPrintable(id));
            QCOMPARE(flash % p.pageSize, 0);
        } else {
            QCOMPARE(p.pageSize, 0u);
            QVERIFY2(eraseUnitBytes(p, int(p.sectorKib.size())) >= flash, qPrintable(id));
        }
        QVERIFY2(p.eepromBytes == 0 || p.massErase == devices::Stm32MassErase::PageOnly,
                 qPrintable(id));
    }
}

void TestStm32Image::blocksOf3000ByteImage()
{
    const QByteArray image = pattern(3000);
    QList<QByteArray> addresses;
    QByteArray rebuilt;
    qsizetype offset = 0;
    int blocks = 0;
    quint8 lastCount = 0;
    while (const auto b = blockAt(image, offset)) {
        ++blocks;
        addresses.append(addressFrame(kFlashStart + quint32(offset)));
        QCOMPARE(qsizetype(b->countByte) + 1, b->data.size());
        quint8 x = b->countByte ^ b->checksum;
        for (char c : b->data)
            x ^= quint8(c);
        QCOMPARE(x, quint8(0));
        rebuilt += b->data;
        offset += b->data.size();
        lastCount = b->countByte;
        QVERIFY(blocks <= 12);
    }
    QCOMPARE(blocks, 12);
    QCOMPARE(lastCount, quint8(0xB7));
    QCOMPARE(rebuilt, image);
    QCOMPARE(addresses.at(1).toHex(' '), bytes("08 00 01 00 09").toHex(' '));
    QCOMPARE(addresses.last().toHex(' '), bytes("08 00 0B 00 03").toHex(' '));
    QCOMPARE(writeAddressStatus(kFlashStart + 0xB00), QStringLiteral("写地址: 0x08000B00"));
}

void TestStm32Image::blockAtOutside()
{
    const QByteArray image = pattern(10);
    QVERIFY(!blockAt(image, 10));
    QVERIFY(!blockAt(image, -1));
    QVERIFY(!blockAt(QByteArrayView(), 0));
    QCOMPARE(blockAt(image, 9)->data.size(), qsizetype(1));
}

// A HEX file that leaves flash out (an application behind a boot loader, a table far above the
// code) is erased and written where it has data and nowhere else.
void TestStm32Image::sparseImages_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<QByteArray>("hex");
    QTest::addColumn<QString>("spans");  // offset+length, ...
    QTest::addColumn<QString>("line");   // the erase line ("" when the plan is refused)
    QTest::addColumn<QString>("blocks"); // offsets of the blocks written, ...

    const QByteArray app = pattern(20 * 1024);
    QTest::newRow("behind a 16 KiB boot loader, 1 KiB pages")
        << 0x410 << firmware::intelHexAt(app, kFlashStart + 0x4000, 32) << "16384+20480"
        << "擦除页 16 .. 35" << "16384..36608 step 256";
    QTest::newRow("behind a 16 KiB boot loader, F4 sectors")
        << 0x413 << firmware::intelHexAt(app, kFlashStart + 0x4000, 32) << "16384+20480"
        << "擦除扇区 1 .. 2" << "16384..36608 step 256";
    QTest::newRow("two stretches: code at 0, a table at 0x2000, hole between")
        << 0x410
        << firmware::intelHex({{0x0000, pattern(300)}, {0x2002, pattern(6)}})
        << "0+300,8192+8" << "擦除页 0 .. 0, 8 .. 8" << "0,256,8192";
    QTest::newRow("odd record ends are widened to whole double words")
        << 0x460 << firmware::intelHex({{0x0803, pattern(3)}}) << "2048+8" << "擦除页 1 .. 1" << "2048";
    QTest::newRow("page 300 behind the image's start needs the whole flash: refused")
        << 0x430 << firmware::intelHexAt(pattern(16), kFlashStart + 300 * 2048 + 0x800, 16)
        << "616448+16" << "" << "616448";
}

void TestStm32Image::sparseImages()
{
    QFETCH(int, productId);
    QFETCH(QByteArray, hex);
    QFETCH(QString, spans);
    QFETCH(QString, line);
    QFETCH(QString, blocks);

    QBuffer file(&hex);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const LoadResult r = stm32::loadHex(file, kImageCapacity);
    QVERIFY2(r.ok(), qPrintable(r.statusText));
    const devices::Stm32Part &part = partFor(quint16(productId));
    const QList<Span> aligned = alignSpans(r.spans, part.writeUnit, r.image.size());
    QStringList got;
    for (const Span &s : aligned)
        got << QStringLiteral("%1+%2").arg(s.offset).arg(s.length);
    QCOMPARE(got.join(u','), spans);

    const ErasePlan plan = stm32::erasePlan(
        part, part.flashSizeRegister != devices::kStm32DefaultFlashSizeRegister, aligned);
    QCOMPARE(plan.unreachable, line.isEmpty());
    if (!line.isEmpty()) QCOMPARE(eraseLine(plan), line);

    QStringList written;
    qsizetype first = -1, last = -1;
    QByteArray rebuilt(r.image.size(), char(0xFF));
    for (auto at = nextDataOffset(aligned, 0); at; at = nextDataOffset(aligned, *at)) {
        const auto b = dataBlockAt(r.image, aligned, *at);
        QVERIFY(b);
        // Every block lies in erased units and holds the file's bytes.
        QVERIFY(plan.unreachable || plan.unitList.contains(eraseUnitAt(part, *at)));
        std::copy(b->data.begin(), b->data.end(), rebuilt.begin() + *at);
        written << QString::number(*at);
        if (first < 0) first = *at;
        last = *at;
        *at += b->data.size();
    }
    if (blocks.contains(u"step"))
        QCOMPARE(QStringLiteral("%1..%2 step 256").arg(first).arg(last), blocks);
    else
        QCOMPARE(written.join(u','), blocks);
    for (const Span &s : aligned)
        QCOMPARE(rebuilt.mid(s.offset, s.length), r.image.mid(s.offset, s.length));
}

void TestStm32Image::syncReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("ACK") << bytes("79") << true;
    QTest::newRow("noise then ACK") << bytes("00 1F 79") << true;
    QTest::newRow("NACK") << bytes("1F") << false;
    QTest::newRow("ACK then noise") << bytes("79 00") << false;
    QTest::newRow("nothing") << QByteArray() << false;
}

void TestStm32Image::syncReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    QCOMPARE(syncAccepted(reply), accepted);
}

void TestStm32Image::getReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("line"); // empty: refused
    const QByteArray good = bytes("79 0B 22 00 01 02 11 21 31 43 63 73 82 92 79");
    QTest::newRow("version 2.2") << good << QStringLiteral("Bootloader 版本 2.2");
    QByteArray v31 = good;
    v31[2] = char(0x31);
    QTest::newRow("version 3.1") << v31 << QStringLiteral("Bootloader 版本 3.1");
    QByteArray v = good;
    v[0] = char(kNack);
    QTest::newRow("NACK first") << v << QString();
    v = good;
    v[1] = 0x0C;
    QTest::newRow("wrong count") << v << QString();
    v = good;
    v[3] = 0x01;
    QTest::newRow("first command code not Get") << v << QString();
    v = good;
    v[14] = char(kNack);
    QTest::newRow("no closing ACK") << v << QString();
    QTest::newRow("one byte short") << good.left(14) << QString();
    // Later loaders list more commands: the count says how long the reply is.
    QTest::newRow("twelve commands") << bytes("79 0C 31 00 01 02 11 21 31 44 63 73 82 92 A1 79")
                                     << QStringLiteral("Bootloader 版本 3.1");
    QTest::newRow("twelve commands, cut short")
        << bytes("79 0C 31 00 01 02 11 21 31 44 63 73 82 92 A1") << QString();
}

void TestStm32Image::getReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, line);
    const auto version = acceptGetReply(reply);
    QCOMPARE(version.has_value(), !line.isEmpty());
    if (version) QCOMPARE(versionLine(*version), line);
    // The loader's command list comes with an accepted reply, never without one.
    const QByteArray listed = offeredCommands(reply);
    QCOMPARE(listed.isEmpty(), !version.has_value());
    if (!version) return;
    QCOMPARE(listed, reply.mid(3, quint8(reply[1])));
    QCOMPARE(getReplyLength(reply.left(2)), qMax<qsizetype>(15, quint8(reply[1]) + 4));
}

void TestStm32Image::getIdReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("id"); // empty: refused
    QTest::addColumn<QString>("family");
    QTest::newRow("high density") << bytes("79 01 04 14 79") << QStringLiteral("0414")
                                  << QStringLiteral("STM32F10xxExx 家族");
    QTest::newRow("medium density named by the table")
        << bytes("79 01 04 10 79") << QStringLiteral("0410")
        << QStringLiteral("STM32F10xx8/B 家族");
    QTest::newRow("F4") << bytes("79 01 04 13 79") << QStringLiteral("0413")
                        << QStringLiteral("STM32F40xxx/41xxx 家族");
    QTest::newRow("G0") << bytes("79 01 04 60 79") << QStringLiteral("0460")
                        << QStringLiteral("STM32G07xxx/08xxx 家族");
    QTest::newRow("hex digits upper case")
        << bytes("79 01 0A BC 79") << QStringLiteral("0ABC") << QStringLiteral("未知的设备");
    QTest::newRow("NACK") << bytes("1F 01 04 14 79") << QString() << QString();
    QTest::newRow("wrong count") << bytes("79 02 04 14 79") << QString() << QString();
    QTest::newRow("no closing ACK") << bytes("79 01 04 14 1F") << QString() << QString();
    QTest::newRow("short") << bytes("79 01 04 14") << QString() << QString();
}

void TestStm32Image::getIdReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, id);
    QFETCH(QString, family);
    const auto got = acceptGetIdReply(reply);
    QCOMPARE(got.has_value(), !id.isEmpty());
    if (got) {
        QCOMPARE(*got, id);
        QCOMPARE(productIdLine(*got), QStringLiteral("Product ID: ") + id);
        QCOMPARE(familyLine(*got), family);
    }
}

void TestStm32Image::flashSizeReply_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("line"); // empty: refused
    QTest::newRow("512 KB") << 0x414 << bytes("79 00 02") << QStringLiteral("存储容量 Flash:512 KB");
    QTest::newRow("128 KB, little endian")
        << 0x410 << bytes("79 80 00") << QStringLiteral("存储容量 Flash:128 KB");
    QTest::newRow("NACK") << 0x414 << bytes("1F 00 02") << QString();
    QTest::newRow("short") << 0x414 << bytes("79 00") << QString();
    // F4: 256 bytes from 0x1FFF7A00, the size at offset 0x22.
    QByteArray area(257, char(0x11));
    area[0] = char(0x79);
    area[1 + 0x22] = char(0x00);
    area[1 + 0x23] = char(0x04);
    QTest::newRow("F4 area") << 0x413 << area << QStringLiteral("存储容量 Flash:1024 KB");
    QTest::newRow("F4 area cut short") << 0x413 << area.first(200) << QString();
}

void TestStm32Image::flashSizeReply()
{
    QFETCH(int, productId);
    QFETCH(QByteArray, reply);
    QFETCH(QString, line);
    const auto kib = acceptFlashSizeReply(reply, sizeReadPlan(partFor(quint16(productId))));
    QCOMPARE(kib.has_value(), !line.isEmpty());
    if (kib) QCOMPARE(flashSizeLine(*kib), line);
}

void TestStm32Image::texts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    const devices::Stm32Part &f4 = partFor(0x413);
    const QList<Span> app{{0x4000, 0x9000}};
    QTest::newRow("repair: the sector of the block, the image's data inside it")
        << repairLine(kFlashStart + 0x8100,
                      stm32::erasePlan(f4, true, clipSpans(app, unitSpan(f4, 2))))
        << QStringLiteral("地址 0x08008100 的数据与文件不符: 擦除扇区 2 .. 2，重写其中的数据");
    QTest::newRow("repair stretch: sector 2 holds 0x8000..0xBFFF of it")
        << QStringLiteral("%1+%2")
               .arg(clipSpans(app, unitSpan(f4, 2)).value(0).offset)
               .arg(clipSpans(app, unitSpan(f4, 2)).value(0).length)
        << QStringLiteral("32768+16384");
    QTest::newRow("repair stretch: page 17 of 1 KiB pages")
        << QStringLiteral("%1+%2")
               .arg(clipSpans(app, unitSpan(partFor(0x410), 17)).value(0).offset)
               .arg(clipSpans(app, unitSpan(partFor(0x410), 17)).value(0).length)
        << QStringLiteral("17408+1024");
    QTest::newRow("no sector 24 on F4") << QString::number(unitSpan(f4, 24).length) << "0";
    QTest::newRow("verified line") << verifiedLine(256)
                                   << QStringLiteral("校验完成: 全部 256 个数据块已读回，与文件一致");
    QTest::newRow("size line") << sizeLine(5000) << QStringLiteral("文件尺寸: 5000 Byte / 4 KB");
    QTest::newRow("size line under 1 KB")
        << sizeLine(12) << QStringLiteral("文件尺寸: 12 Byte / 0 KB");
    QTest::newRow("write address")
        << writeAddressStatus(0x08000100) << QStringLiteral("写地址: 0x08000100");
    QTest::newRow("write address upper case")
        << writeAddressStatus(0x0800ABC0) << QStringLiteral("写地址: 0x0800ABC0");
    QTest::newRow("erase line") << eraseLine(3) << QStringLiteral("擦除页 0 .. 2");
    QTest::newRow("image larger than the chip")
        << reasonImageTooLarge(66000, 64)
        << QStringLiteral("文件太大: 映像 66000 Byte，芯片 Flash 只有 64 KB (65536 Byte)");
    using devices::Stm32Rdp;
    QTest::newRow("read protection, one state")
        << reasonReadProtected(Stm32Rdp::Single)
        << QStringLiteral("芯片的 Flash 处于读保护状态: 不能读取、擦除或写入");
    QTest::newRow("read protection, levels")
        << reasonReadProtected(Stm32Rdp::Eeprom)
        << QStringLiteral("芯片的 Flash 处于读保护 Level 1: 不能读取、擦除或写入");
    QTest::newRow("unprotect, H7") << reasonHowToUnprotect(Stm32Rdp::Levels)
        << QStringLiteral("回到 Level 0: tramelo download --unprotect ... (芯片将擦除整片 Flash)");
    QTest::newRow("unprotect, L0/L1: the data EEPROM too") << unprotectingLine(Stm32Rdp::Eeprom)
        << QStringLiteral("正在解除读保护 (Level 1 → Level 0)，芯片擦除整片 Flash 和数据 EEPROM。。。");
    QTest::newRow("unprotect, F10x") << unprotectingLine(Stm32Rdp::Single)
        << QStringLiteral("正在解除读保护，芯片擦除整片 Flash。。。");
    QTest::newRow("protect sets Level 1, never 2") << protectedLine(Stm32Rdp::Levels)
        << QStringLiteral("已开启读保护 Level 1 (不是 Level 2): Flash 不能再被读出 (回到 Level 0 时芯片擦除整片 Flash)");
    QTest::newRow("write refused, levels") << reasonWriteRefused(0x08000100, Stm32Rdp::Levels)
        << QStringLiteral("设备拒绝写入地址 0x08000100: Flash 可能处于读保护 Level 1、写保护状态或未被擦除");
    QTest::newRow("erase refused, one state") << reasonEraseRefused(Stm32Rdp::Single)
        << QStringLiteral("设备拒绝擦除: 芯片可能处于读保护或写保护状态");
    QTest::newRow("unique id: 12 bytes at the offset, address order")
        << uniqueIdIn(bytes("00 00 37 FF D8 05 4B 52 38 31 23 58 10 43 00"), 2)
        << QStringLiteral("37FFD8054B52383123581043");
    QTest::newRow("unique id: too few bytes") << uniqueIdIn(bytes("37 FF D8 05 4B 52 38 31 23 58 10"))
                                              << QString();
    QTest::newRow("verify failure names the address")
        << reasonVerifyFailed(0x08000300)
        << QStringLiteral("校验失败: 地址 0x08000300 的数据与文件不符 (已重写 3 次)");
}

void TestStm32Image::writeUnitsAndReadBack_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<int>("writeUnit");
    QTest::addColumn<QByteArray>("padded");
    QTest::newRow("5 bytes to a word")
        << bytes("01 02 03 04 05") << 2 << bytes("01 02 03 04 05 FF FF FF");
    QTest::newRow("whole words stay") << bytes("01 02 03 04") << 4 << bytes("01 02 03 04");
    QTest::newRow("HEX image to a double word")
        << bytes("01 02 03 04 05 00 00 00") << 8 << bytes("01 02 03 04 05 00 00 00");
    QTest::newRow("12 bytes to a double word")
        << bytes("01 02 03 04 05 06 07 08 09 0A 0B 0C") << 8
        << bytes("01 02 03 04 05 06 07 08 09 0A 0B 0C FF FF FF FF");
}

void TestStm32Image::writeUnitsAndReadBack()
{
    QFETCH(QByteArray, image);
    QFETCH(int, writeUnit);
    QFETCH(QByteArray, padded);
    QByteArray got = image;
    padToWriteUnit(got, writeUnit);
    QCOMPARE(got.toHex(' '), padded.toHex(' '));
    // What tramelo read writes as HEX loads back into the same bytes, also across a 64 KiB
    // boundary.
    const QByteArray flash = pattern(0x10000 + image.size() * 7);
    const LoadResult back = loadHexText(intelHexText(kFlashStart, flash));
    QVERIFY(back.ok());
    QCOMPARE(back.image.left(flash.size()), flash);
    const LoadResult high = loadHexText(intelHexText(kFlashStart + 0xFFF8, image));
    QVERIFY(high.ok());
    QCOMPARE(high.image.mid(0xFFF8, image.size()), image);
}

void TestStm32Image::texts()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(text, expected);
}

void TestStm32Image::parseLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("image");
    using L = HexLine;
    QTest::newRow("data") << QStringLiteral(":0400000001020304F2") << int(L::Data)
                          << bytes("01 02 03 04");
    QTest::newRow("data, lower case")
        << QStringLiteral(":04000000a1b2c3d412") << int(L::Data) << bytes("A1 B2 C3 D4");
    QTest::newRow("blanks and a line end after the checksum")
        << QStringLiteral(":0400000001020304F2 \t\r\n") << int(L::Data) << bytes("01 02 03 04");
    QTest::newRow("bad checksum") << QStringLiteral(":040000000102030400") << int(L::Invalid)
                                  << QByteArray();
    QTest::newRow("no checksum at all")
        << QStringLiteral(":0400000001020304") << int(L::Invalid) << QByteArray();
    QTest::newRow("a digit more than the count asks for")
        << QStringLiteral(":0400000001020304F20") << int(L::Invalid) << QByteArray();
    QTest::newRow("text after the checksum")
        << QStringLiteral(":0400000001020304F2 ok") << int(L::Invalid) << QByteArray();
    QTest::newRow("blank inside the record")
        << QStringLiteral(":04000000 01020304F2") << int(L::Invalid) << QByteArray();
    QTest::newRow("linear base of four bytes")
        << QStringLiteral(":0400000408000000F0") << int(L::Invalid) << QByteArray();
    QTest::newRow("non-hex data character")
        << QStringLiteral(":04000000010G0304F2") << int(L::Invalid) << QByteArray();
    QTest::newRow("count runs past the line")
        << QStringLiteral(":10000000010203") << int(L::Invalid) << QByteArray();
    QTest::newRow("truncated header") << QStringLiteral(":0400") << int(L::Invalid) << QByteArray();
    QTest::newRow("colon alone") << QStringLiteral(":") << int(L::Invalid) << QByteArray();
    QTest::newRow("bad offset") << QStringLiteral(":04XY000001020304F2") << int(L::Invalid)
                                << QByteArray();
    QTest::newRow("bad type") << QStringLiteral(":040000Z001020304F2") << int(L::Invalid)
                              << QByteArray();
    QTest::newRow("blank") << QString() << int(L::Ignored) << QByteArray();
    QTest::newRow("comment") << QStringLiteral("; :0400000001020304F2") << int(L::Ignored)
                             << QByteArray();
    QTest::newRow("end of file") << QStringLiteral(":00000001FF") << int(L::EndOfFile)
                                 << QByteArray();
    QTest::newRow("start address record")
        << QStringLiteral(":0400000508000000EF") << int(L::Ignored) << QByteArray();
    QTest::newRow("linear base") << QStringLiteral(":020000040800F2") << int(L::Address)
                                 << QByteArray();
    QTest::newRow("linear base, bad digits")
        << QStringLiteral(":0200000408G0F2") << int(L::Invalid) << QByteArray();
    QTest::newRow("offset 0x10") << QStringLiteral(":0400100001020304E2") << int(L::Data)
                                 << QByteArray(16, '\xFF') + bytes("01 02 03 04");
}

void TestStm32Image::parseLine()
{
    QFETCH(QString, line);
    QFETCH(int, result);
    QFETCH(QByteArray, image);
    StmHexImage placed;
    QCOMPARE(int(ParseStmHexLine(line, placed)), result);
    QCOMPARE(placed.image().toHex(' '), image.toHex(' '));
}

void TestStm32Image::loadHex_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("image");   // expected image when loaded
    QTest::addColumn<QString>("statusText"); // expected text (checked when not empty)

    const QByteArray d16 = pattern(16);
    const QByteArray d4a = bytes("11 22 33 44");
    const QByteArray d4b = bytes("AA BB CC DD");
    const QString loaded = QStringLiteral("下载目标代码。。。");

    // Padded with erased flash, never with 0x00 (AN3155 Write Memory).
    QTest::newRow("10 data bytes padded to 12 with 0xFF")
        << record(0, 0, pattern(10)) + kEof << int(LoadStatus::Loaded)
        << pattern(10) + QByteArray(2, char(0xFF)) << loaded;
    QTest::newRow("16 data bytes unpadded")
        << record(0, 0, d16) + kEof << int(LoadStatus::Loaded) << d16 << loaded;
    QTest::newRow("contiguous from flash start: records in file order")
        << linearBase(0x0800) + record(0, 0, d16) + record(0, 16, d4a) + record(0, 20, d4b) + kEof
        << int(LoadStatus::Loaded) << d16 + d4a + d4b << loaded;
    QTest::newRow("LF line ends") << QByteArray(record(0, 0, d4a) + kEof).replace("\r\n", "\n")
                                  << int(LoadStatus::Loaded) << d4a << loaded;
    // A record ends at CR, LF or the next ':'.
    QTest::newRow("CR line ends")
        << QByteArray(record(0, 0, d4a) + record(0, 4, d4b) + kEof).replace("\r\n", "\r")
        << int(LoadStatus::Loaded) << d4a + d4b << loaded;
    QTest::newRow("no line breaks between records")
        << QByteArray(record(0, 0, d4a) + record(0, 4, d4b) + kEof).replace("\r\n", "")
        << int(LoadStatus::Loaded) << d4a + d4b << loaded;
    QTest::newRow("blank lines and blanks between records")
        << "\r\n  \t\n" + record(0, 0, d4a) + "\n\n" + record(0, 4, d4b) + " \r\n" + kEof
        << int(LoadStatus::Loaded) << d4a + d4b << loaded;
    // Damaged files are refused whole, naming the line where the reading stopped.
    QTest::newRow("no end-of-file record")
        << record(0, 0, d4a) + record(0, 4, d4b) << int(LoadStatus::Damaged) << QByteArray()
        << QStringLiteral("HEX文件没有结束记录: 文件止于第 2 行");
    QTest::newRow("checksum does not match")
        << record(0, 0, d4a) + QByteArray(record(0, 4, d4b)).replace("\r\n", "").chopped(2) +
               "00\r\n" + kEof
        << int(LoadStatus::Damaged) << QByteArray() << QStringLiteral("HEX文件校验和错误: 第 2 行");
    QTest::newRow("record cut short by the next record")
        << record(0, 0, d4a) + ":04000400AABB" + record(0, 8, d4b) + kEof
        << int(LoadStatus::Damaged) << QByteArray() << QStringLiteral("HEX文件记录不完整: 第 2 行");
    QTest::newRow("file ends inside a record")
        << record(0, 0, d4a) + "\r\n:04000400AABB" << int(LoadStatus::Damaged) << QByteArray()
        << QStringLiteral("HEX文件记录不完整: 第 3 行");
    QTest::newRow("NUL byte between records, CR line ends")
        << QByteArray(record(0, 0, d4a) + QByteArray(1, '\0') + record(0, 4, d4b) + kEof)
               .replace("\r\n", "\r")
        << int(LoadStatus::Damaged) << QByteArray() << QStringLiteral("HEX文件格式错误: 第 2 行");
    QTest::newRow("a comment line")
        << "; built by hand\r\n" + record(0, 0, d4a) + kEof << int(LoadStatus::Damaged)
        << QByteArray() << QStringLiteral("HEX文件格式错误: 第 1 行");
    QTest::newRow("gap filled with erased flash")
        << linearBase(0x0800) + record(0, 0, d4a) + record(0, 0x10, d4b) + kEof
        << int(LoadStatus::Loaded) << d4a + QByteArray(12, '\xFF') + d4b << QString();
    QTest::newRow("4 KiB apart: placed, not concatenated")
        << linearBase(0x0800) + record(0, 0, d16) + record(0, 0x1000, d16) + kEof
        << int(LoadStatus::Loaded) << d16 + QByteArray(0x1000 - 16, '\xFF') + d16 << QString();
    QTest::newRow("first record above the flash start")
        << linearBase(0x0800) + record(0, 0x100, d4a) + kEof << int(LoadStatus::Loaded)
        << QByteArray(0x100, '\xFF') + d4a << QString();
    QTest::newRow("out of order") << linearBase(0x0800) + record(0, 4, d4b) + record(0, 0, d4a) +
                                         kEof
                                  << int(LoadStatus::Loaded) << d4a + d4b << QString();
    QTest::newRow("overlap: later record wins")
        << record(0, 0, d4a + d4a) + record(0, 2, bytes("EE")) + kEof << int(LoadStatus::Loaded)
        << bytes("11 22 EE 44 11 22 33 44") << QString();
    QTest::newRow("based at 0x00000000, no base records")
        << record(0, 0, d4a) + record(0, 4, d4b) + kEof << int(LoadStatus::Loaded) << d4a + d4b
        << QString();
    QTest::newRow("based at 0x00000000 with a zero linear base")
        << linearBase(0) + record(0, 0, d4a) + kEof << int(LoadStatus::Loaded) << d4a << QString();
    QTest::newRow("second 64 KiB through the linear base")
        << linearBase(0x0801) + record(0, 0, d4a) + kEof << int(LoadStatus::Loaded)
        << QByteArray(0x10000, '\xFF') + d4a << QString();
    QTest::newRow("segment base") << segmentBase(0x0010) + record(0, 0, d4a) + kEof
                                  << int(LoadStatus::Loaded) << QByteArray(0x100, '\xFF') + d4a
                                  << QString();
    QTest::newRow("bad data character refuses the file")
        << record(0, 0, d4a) + QByteArray(record(0, 4, d4b)).replace("AABB", "AAXB") +
               record(0, 8, d4a) + kEof
        << int(LoadStatus::Damaged) << QByteArray() << QStringLiteral("HEX文件格式错误: 第 2 行");
    QTest::newRow("bad data character in the last record")
        << record(0, 0, d4a) + QByteArray(record(0, 4, d4b)).replace("AABB", "AAXB") + kEof
        << int(LoadStatus::Damaged) << QByteArray() << QStringLiteral("HEX文件格式错误: 第 2 行");
    QTest::newRow("nothing after the end-of-file record is read")
        << record(0, 0, d4a) + kEof + record(0, 4, d4b) + "junk" << int(LoadStatus::Loaded) << d4a
        << QString();
    QTest::newRow("255-byte record accepted whole")
        << record(0, 0, pattern(255)) + kEof << int(LoadStatus::Loaded)
        << pattern(255) + QByteArray(1, char(0xFF)) << QString();
    QTest::newRow("option bytes refused")
        << linearBase(0x0800) + record(0, 0, d4a) + linearBase(0x1FFF) +
               record(0, 0xF800, bytes("A5 5A")) + kEof
        << int(LoadStatus::OutOfRange) << QByteArray()
        << QStringLiteral("HEX文件的地址超出Flash范围: 0x1FFFF800");
    QTest::newRow("RAM address refused")
        << linearBase(0x2000) + record(0, 0, d4a) + kEof << int(LoadStatus::OutOfRange)
        << QByteArray() << QStringLiteral("HEX文件的地址超出Flash范围: 0x20000000");
    QTest::newRow("past the 2 MiB window")
        << linearBase(0x0820) + record(0, 0, d4a) + kEof << int(LoadStatus::OutOfRange)
        << QByteArray() << QString();
    QTest::newRow("low address beside flash data refused")
        << linearBase(0x0800) + record(0, 0, d4a) + linearBase(0) + record(0, 0x40, d4b) + kEof
        << int(LoadStatus::OutOfRange) << QByteArray()
        << QStringLiteral("HEX文件的地址超出Flash范围: 0x00000040");
    QTest::newRow("record running into the flash start")
        << linearBase(0x07FF) + record(0, 0xFFFE, d4a) + kEof << int(LoadStatus::OutOfRange)
        << QByteArray() << QString();
    QTest::newRow("inside 1 MiB but past 256 KiB")
        << linearBase(0x0804) + record(0, 0, d4a) + kEof << int(LoadStatus::HexTooLarge)
        << QByteArray() << QStringLiteral("文件太大，不能用于256K Flash");
    QTest::newRow("empty file") << QByteArray() << int(LoadStatus::Empty) << QByteArray()
                                << QStringLiteral("文件中没有可下载的数据");
    QTest::newRow("end-of-file record only")
        << kEof << int(LoadStatus::Empty) << QByteArray() << QString();
    QTest::newRow("only invalid records")
        << QByteArray(":04000000ZZ020304F2\r\nhello\r\n") << int(LoadStatus::Damaged)
        << QByteArray() << QStringLiteral("HEX文件格式错误: 第 1 行");
    QTest::newRow("blank lines only") << QByteArray("\r\n\r\n") << int(LoadStatus::Empty)
                                      << QByteArray() << QStringLiteral("文件中没有可下载的数据");
    QTest::newRow("zero-length data records only")
        << record(0, 0x100, {}) + kEof << int(LoadStatus::Empty) << QByteArray() << QString();
}

void TestStm32Image::loadHex()
{
    QFETCH(QByteArray, text);
    QFETCH(int, status);
    QFETCH(QByteArray, image);
    QFETCH(QString, statusText);

    const LoadResult r = loadHexText(text);
    QCOMPARE(int(r.status), status);
    QVERIFY(r.hex);
    if (!statusText.isEmpty()) QCOMPARE(r.statusText, statusText);
    QVERIFY(!r.statusText.isEmpty());
    if (r.ok()) {
        QCOMPARE(r.image.size(), image.size());
        QCOMPARE(r.image, image);
        QCOMPARE(r.image.size() % 4, qsizetype(0));
    } else {
        QVERIFY(r.image.isEmpty());
    }
}

// The HEX limit is the whole 1 MiB image on every line, F10x and unknown ids included: the
// chip's flash size, read before the erase, refuses what does not fit.
void TestStm32Image::hexSizeLimit_data()
{
    QTest::addColumn<quint16>("productId");
    QTest::addColumn<qsizetype>("dataBytes");
    QTest::addColumn<quint32>("address");
    QTest::addColumn<int>("status");
    QTest::addColumn<qsizetype>("imageSize");
    QTest::addColumn<QString>("refusal");
    const LoadStatus ok = LoadStatus::Loaded;
    const struct {
        const char *name;
        quint16 id;
        qsizetype bytes;
        quint32 address;
        LoadStatus status;
        qsizetype image;
        QString refusal;
    } rows[] = {
        {"F10x: 262,144 bytes accepted", 0x410, 262144, kFlashStart, ok, 262144, {}},
        {"F10x: 262,144 bytes from address 0", 0x414, 262144, 0, ok, 262144, {}},
        {"F10x: 262,145 bytes (a 512 KB F103 holds them)", 0x414, 262145, kFlashStart, ok,
         262148, {}},
        {"F10x: 300 KiB", 0x414, 300 * 1024, kFlashStart, ok, 300 * 1024, {}},
        {"F10x: 262,141 bytes padded", 0x410, 262141, kFlashStart, ok, 262144, {}},
        {"unknown id: 262,145 bytes", 0x999, 262145, kFlashStart, ok, 262148, {}},
        {"F10x: past 2 MiB out of range", 0x430, 0x200001, kFlashStart, LoadStatus::OutOfRange,
         0, QStringLiteral("HEX文件的地址超出Flash范围: 0x08200000")},
        {"F4: 300,001 bytes padded", 0x413, 300001, kFlashStart, ok, 300004, {}},
        {"G0: 262,145 bytes from address 0", 0x460, 262145, 0, ok, 262148, {}},
        {"F4: 1 MiB and one word accepted", 0x419, 0x100004, kFlashStart, ok, 0x100004, {}},
        {"H7: 2 MiB accepted", 0x450, 0x200000, kFlashStart, ok, 0x200000, {}},
        {"H7: past 2 MiB out of range", 0x450, 0x200001, kFlashStart, LoadStatus::OutOfRange, 0,
         QStringLiteral("HEX文件的地址超出Flash范围: 0x08200000")},
    };
    for (const auto &r : rows)
        QTest::newRow(r.name) << r.id << r.bytes << r.address << int(r.status) << r.image
                              << r.refusal;
}

void TestStm32Image::hexSizeLimit()
{
    QFETCH(quint16, productId);
    QFETCH(qsizetype, dataBytes);
    QFETCH(quint32, address);
    QFETCH(int, status);
    QFETCH(qsizetype, imageSize);
    QFETCH(QString, refusal);
    const QByteArray data = pattern(dataBytes);
    const LoadResult r =
        loadHexText(hexFor(data, address), stm32::hexSizeLimit(stm32::partFor(productId)));
    QCOMPARE(int(r.status), status);
    QCOMPARE(r.image.size(), imageSize);
    if (r.ok())
        QCOMPARE(r.image.left(dataBytes), data);
    else
        QCOMPARE(r.statusText, refusal);
}

void TestStm32Image::overlongLineRefusesTheFile()
{
    // A full 255-byte record followed by 3000 characters of trailing junk on the same line,
    // then an ordinary record: the junk is never taken for a record, and the file is refused
    // at the line that holds it. Digits that run on past any record's length, too.
    QByteArray first = record(0, 0, pattern(255));
    first.chop(2);
    const QByteArray next = record(0, 256, bytes("11 22 33 44")) + kEof;
    for (const QByteArray &junk : {QByteArray(3000, 'Z'), QByteArray(3000, '0')}) {
        const LoadResult r = loadHexText(first + junk + ":04000000DEADBEEF00\r\n" + next);
        QCOMPARE(int(r.status), int(LoadStatus::Damaged));
        QCOMPARE(r.statusText, QStringLiteral("HEX文件格式错误: 第 1 行"));
    }
}

void TestStm32Image::fileKind_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hex");
    QTest::newRow(".hex") << QStringLiteral("x.hex") << true;
    QTest::newRow(".HEX") << QStringLiteral("x.HEX") << true;
    QTest::newRow(".Hex is binary") << QStringLiteral("x.Hex") << false;
    QTest::newRow(".bin") << QStringLiteral("x.bin") << false;
    QTest::newRow("no extension") << QStringLiteral("x") << false;
    QTest::newRow("dot in folder name only") << QStringLiteral("a.hex/x") << false;
    QTest::newRow("double extension") << QStringLiteral("x.hex.bin") << false;
}

void TestStm32Image::fileKind()
{
    QFETCH(QString, name);
    QFETCH(bool, hex);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(name);
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    // Valid HEX text: as HEX it is 4 data bytes, as binary it is its own characters.
    const QByteArray text = record(0, 0, bytes("11 22 33 44")) + kEof;
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
    f.close();

    QCOMPARE(isHexFileName(path), hex);
    const LoadResult r = loadImage(path);
    QCOMPARE(int(r.status), int(LoadStatus::Loaded));
    QCOMPARE(r.hex, hex);
    if (hex) {
        QCOMPARE(r.image, bytes("11 22 33 44"));
        QCOMPARE(r.statusText, QStringLiteral("下载目标代码。。。"));
    } else {
        QCOMPARE(r.image, text);
        QCOMPARE(r.statusText, QStringLiteral("下载目标代码"));
    }
}

void TestStm32Image::fileRefusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("size"); // -1: a folder, -2: not created
    QTest::addColumn<int>("status");
    QTest::addColumn<qsizetype>("imageSize");
    QTest::newRow("binary of 5 bytes, no padding")
        << QStringLiteral("a.bin") << qint64(5) << int(LoadStatus::Loaded) << qsizetype(5);
    QTest::newRow("binary of exactly 1 MiB")
        << QStringLiteral("a.bin") << qint64(kImageCapacity) << int(LoadStatus::Loaded)
        << qsizetype(kImageCapacity);
    QTest::newRow("binary over 1 MiB") << QStringLiteral("a.bin") << qint64(kImageCapacity + 1)
                                       << int(LoadStatus::FileTooLarge) << qsizetype(0);
    QTest::newRow("binary of 200 MB, not read") << QStringLiteral("a.bin") << (qint64(200) << 20)
                                                << int(LoadStatus::FileTooLarge) << qsizetype(0);
    QTest::newRow("HEX text of 200 MB, not read") << QStringLiteral("a.hex") << (qint64(200) << 20)
                                                  << int(LoadStatus::FileTooLarge) << qsizetype(0);
    QTest::newRow("empty binary") << QStringLiteral("a.bin") << qint64(0) << int(LoadStatus::Empty)
                                  << qsizetype(0);
    QTest::newRow("empty HEX") << QStringLiteral("a.hex") << qint64(0) << int(LoadStatus::Empty)
                               << qsizetype(0);
    QTest::newRow("folder") << QStringLiteral("d.hex") << qint64(-1) << int(LoadStatus::NotAFile)
                            << qsizetype(0);
    QTest::newRow("missing") << QStringLiteral("m.bin") << qint64(-2) << int(LoadStatus::Missing)
                             << qsizetype(0);
    QTest::newRow("empty name") << QString() << qint64(-2) << int(LoadStatus::Missing)
                                << qsizetype(0);
}

void TestStm32Image::fileRefusals()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(int, status);
    QFETCH(qsizetype, imageSize);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = name.isEmpty() ? QString() : dir.filePath(name);
    if (size == -1) {
        QVERIFY(QDir().mkpath(path));
    } else if (size >= 0) {
        // Sparse: a size check that reads the whole file would take visibly long here.
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size));
    }
    const LoadResult r = loadImage(path);
    QCOMPARE(int(r.status), status);
    QCOMPARE(r.image.size(), imageSize);
    QVERIFY(!r.statusText.isEmpty());
    if (status == int(LoadStatus::Missing)) QCOMPARE(r.statusText, QStringLiteral("文件不存在"));
    if (status == int(LoadStatus::Loaded)) QCOMPARE(r.image, QByteArray(imageSize, '\0'));
}

// Get Checksum's CRC (the chip's CRC unit) and the ranges it is asked for.
void TestStm32Image::checksumOfWritten_data()
{
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<quint32>("crc");
    QTest::addColumn<QList<Span>>("spans");
    QTest::addColumn<QList<Span>>("ranges");
    // The word 0 gives the value ST's CRC unit documents; words "4321" "8765" put the bytes
    // "12345678" MSB first through CRC-32/MPEG-2 (check of "123456789": 0x0376E6E7).
    QTest::newRow("zero word, one span") << QByteArray(4, '\0') << 0xC704DD7Bu
                                         << QList<Span>{{0, 4}} << QList<Span>{{0, 4}};
    QTest::newRow("MPEG-2 bytes; half-word spans widened and joined")
        << QByteArray("43218765") << 0x49E3C2FBu << QList<Span>{{2, 4}, {8, 2}, {20, 4}}
        << QList<Span>{{0, 12}, {20, 4}};
}

void TestStm32Image::checksumOfWritten()
{
    QFETCH(QByteArray, words);
    QFETCH(quint32, crc);
    QFETCH(QList<Span>, spans);
    QFETCH(QList<Span>, ranges);
    QCOMPARE(checksumOfWords(words), crc);
    QCOMPARE(checksumRanges(spans), ranges);
    // The answer: ACK, ACK, the CRC MSB first and its XOR; a wrong XOR is no answer.
    QByteArray reply = QByteArray::fromHex("7979") + QByteArray::fromHex("C704DD7B");
    QCOMPARE(acceptChecksumReply(reply + char(0xC7 ^ 0x04 ^ 0xDD ^ 0x7B)), 0xC704DD7Bu);
    QVERIFY(!acceptChecksumReply(reply + char(0)));
    // Past the image's end the range holds erased flash.
    QCOMPARE(checksumBytes(QByteArray("ab"), {0, 4}), QByteArray("ab\xFF\xFF"));
}

QTEST_GUILESS_MAIN(TestStm32Image)
#include "tst_stm32image.moc"
