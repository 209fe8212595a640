// The STM32 programmer end to end: the real main window (offscreen) presses its download
// button against the simulated boot loader on a pseudo-terminal. The simulator checks every
// frame as the chip does; the tests check the bytes on the line, the flash contents, the
// message lines and status texts, the modem-line pulses (through the serial layer's tracer),
// the time-out paths and that every kind of end leaves the window ready for the next download.
#include "app/Main.h"
#include "engines/Stm32Engine.h"
#include "serial/Vok_ComDrv.h"

#include "logic/Devices.h"
#include "platform/SerialPort.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/SerialTrace.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

using sim::Fault;
using sim::Stm32Sim;
using testenv::TestEnv;
using testsupport::steadyMs;
using testsupport::TraceRecorder;
using testsupport::waitUntil;

namespace {

constexpr quint32 kFlash = 0x08000000;
constexpr int kDownloadTimeoutMs = 20000;

const QString kSearching = QStringLiteral("正在查找设备。。。");
const QString kConnected = QStringLiteral("已成功连接");
const QString kLoading = QStringLiteral("加载文件。。。");
const QString kErasing = QStringLiteral("正在擦除。。。");
const QString kStartWriting = QStringLiteral("开始写入。。。");
const QString kDone = QStringLiteral("上载完成！");
const QString kFailed = QStringLiteral("连机失败 ！");
const QString kNoContact = QStringLiteral("无法和设备通讯，请重新复位");

QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

quint8 xorOf(QByteArrayView v)
{
    quint8 x = 0;
    for (const char c : v)
        x ^= quint8(c);
    return x;
}

QByteArray addressFrame(quint32 a)
{
    QByteArray f;
    for (int shift = 24; shift >= 0; shift -= 8)
        f.append(char(quint8(a >> shift)));
    return f + char(xorOf(f));
}

// Deterministic bytes that differ from block to block (and are rarely 0xFF, so a block
// written to the wrong place or not at all shows).
using firmware::hexRecord;
using firmware::kEndOfFile;
using firmware::linearBase;
using firmware::pattern;

// Everything the host sends before the file is loaded: sync, Get, Get ID, Read Memory of the
// flash-size register (command, address, count) and of the unique id; then Erase and the page
// list.
const QByteArray kUpToLoad = bytes("7F 00FF 02FD 11EE 1FFFF7E0F7 01FE 11EE 1FFFF7E8FF 0BF4");
const QByteArray kUpToErase = kUpToLoad + bytes("43BC");

// The bytes a correct programmer sends for an image after the page list: per block of at
// most 256 bytes Write Memory, the address frame, count - 1, the data and the checksum.
QByteArray expectedBlocks(const QByteArray &image)
{
    QByteArray out;
    for (qsizetype off = 0; off < image.size(); off += 256) {
        const QByteArray data = image.mid(off, 256);
        const char count = char(data.size() - 1);
        out += bytes("31CE") + addressFrame(kFlash + quint32(off)) + count + data +
               char(quint8(count) ^ xorOf(data));
    }
    return out;
}

QString writeAddress(quint32 a)
{
    return QStringLiteral("写地址: 0x") + QString::number(a, 16).toUpper().rightJustified(8, u'0');
}

// The message lines of a download that ends after the file was loaded.
QStringList devicePart(const QString &version, const QString &id, const QString &family,
                       const QString &flash)
{
    return {kSearching, kConnected, version, id, family, flash, kLoading};
}

const QStringList kStandardDevice =
    devicePart(QStringLiteral("Bootloader 版本 2.2"), QStringLiteral("Product ID: 0414"),
               QStringLiteral("STM32F10xxExx 家族"), QStringLiteral("存储容量 Flash:512 KB"));

// The window with the simulated board on COM1, the STM32 entry selected, automatic reset off.
struct Rig : testsupport::BoardRig<Stm32Sim>
{
    explicit Rig(const Stm32Sim::Config &config = {}) : BoardRig(config)
    {
        m = &main();
        onEnd = [this](DownloadResult r) {
            ended = r == DownloadResult::Written;
            result = r;
            endedAtSteadyMs = steadyMs();
        };
        select(testsupport::kStm32Entry);
        setAutomaticReset(false);
    }

    // Presses the download button for the file.
    void start(const QString &file)
    {
        ended.reset();
        peer.clearLog();
        WindowRig::start(file);
    }
    bool waitEnd(int timeoutMs = kDownloadTimeoutMs)
    {
        return waitUntil([this] { return ended.has_value(); }, timeoutMs);
    }

    TMainForm *m = nullptr;
    std::optional<bool> ended;
    DownloadResult result = DownloadResult::Failed;
    qint64 endedAtSteadyMs = -1;
};

// After any end: nothing runs, the port is closed and the buttons are usable.
void verifyIdle(const Rig &r)
{
    QVERIFY(r.m->BitBtn1->isEnabled());
    QVERIFY(r.m->ComboBox1->isEnabled());
    QVERIFY(r.m->ComboBox2->isEnabled());
    QVERIFY(!r.m->ComDriver->Connected());
    QVERIFY(!r.m->ComPortActive);
    QVERIFY(!r.m->Stm32->running());
    QVERIFY(!r.m->Stm32->OvertimeT->isActive());
    QCOMPARE(r.m->Stm32->StmState, 1);
    const QString progress =
        testsupport::keptProgressProblem(*r.m, r.result == DownloadResult::Written);
    QVERIFY2(progress.isEmpty(), qPrintable(progress));
    // The window's hint may follow a failure's last line in the message area.
    QStringList area = r.m->Memo1->toPlainText().split(u'\n');
    if (area.size() == r.lines.size() + 1 && area.last().startsWith(QStringLiteral("提示：")))
        area.removeLast();
    QCOMPARE(area, r.lines);
}

// The board is reset and a good image goes down after whatever ended before.
void verifyNextDownloadWorks(Rig &r)
{
    r.sim.clearFaults();
    r.sim.reset();
    const QByteArray image = pattern(1000, 77);
    r.start(r.env.file(QStringLiteral("next.bin"), image));
    QVERIFY(r.waitEnd());
    QCOMPARE(*r.ended, true);
    const QString verified = r.sim.config().checksum ? stm32::checksumVerifiedLine(1)
                                                     : stm32::verifiedLine(4);
    QCOMPARE(r.lines.last(), r.m->CheckBox9->isChecked() ? verified : kDone);
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
    verifyIdle(r);
}

// Puts a noise burst longer than any reply buffer in front of the first answer of the device
// (line noise while the board comes out of reset).
class NoisyFirstAnswer : public sim::Device
{
public:
    NoisyFirstAnswer(sim::Device &inner, QByteArray noise) : inner_(inner), noise_(std::move(noise))
    {
    }
    QByteArray feed(QByteArrayView in) override
    {
        QByteArray out = inner_.feed(in);
        if (!out.isEmpty() && !noise_.isEmpty()) {
            out.prepend(noise_);
            noise_.clear();
        }
        return out;
    }

private:
    sim::Device &inner_;
    QByteArray noise_;
};

// Holds back the answer to the Erase command's page list (a chip erasing a large flash
// takes seconds), once.
class SlowErase : public sim::Device
{
public:
    static constexpr std::chrono::milliseconds kAnswerDelay{8};
    SlowErase(sim::Device &inner, std::chrono::milliseconds delay,
              std::chrono::milliseconds later = kAnswerDelay)
        : inner_(inner), delay_(delay), later_(later)
    {
    }
    QByteArray feed(QByteArrayView in) override
    {
        QByteArray out = inner_.feed(in);
        seen_ += in;
        if (state_ == Before && seen_.endsWith(QByteArrayView("\x43\xBC", 2))) {
            state_ = Erasing;
        } else if (state_ == Erasing && !out.isEmpty()) {
            state_ = After;
            std::this_thread::sleep_for(delay_);
        } else if (state_ == After && !out.isEmpty()) {
            // Every later answer takes a while too, so the write phase lasts seconds.
            std::this_thread::sleep_for(later_);
        }
        return out;
    }

private:
    sim::Device &inner_;
    std::chrono::milliseconds delay_, later_;
    QByteArray seen_;
    enum { Before, Erasing, After } state_ = Before;
};

} // namespace

Q_DECLARE_METATYPE(sim::Stm32Sim::Config)

class TestStm32 : public QObject
{
    Q_OBJECT

private slots:
    void downloadWritesTheImage_data();
    void downloadWritesTheImage();
    void onlyTheFilesDataIsTouched_data();
    void onlyTheFilesDataIsTouched();
    void junkToEverySyncEndsAtTheFirstTick();
    void syncRetriesAndFastRates_data();
    void syncRetriesAndFastRates();
    void silenceDuringWritingEndsAfterSevenTicks();
    void slowEraseThenEveryBlockGetsItsOwnTime();
    void imageOf256PagesErasesGlobally();
    void refusedFileEndsAtOnce_data();
    void refusedFileEndsAtOnce();
    void noiseLongerThanTheFrameBeforeTheSyncAck();
    void noModemLineChangeWithoutAutomaticReset();
    void automaticResetPulsesBeforeTheSync();
    void windowSequencesAndTheTerminalsPort_data();
    void windowSequencesAndTheTerminalsPort();
    void restartPulseOnlyWhenAsked_data();
    void restartPulseOnlyWhenAsked();
    void everyFamilyThroughTheWindow_data();
    void everyFamilyThroughTheWindow();
    void trustRules_data();
    void trustRules();
    void eepromRecordsAreWritten();
    void dataPastTheFlashIsNamed_data();
    void dataPastTheFlashIsNamed();
    void flashSizeReadDeclined_data();
    void flashSizeReadDeclined();
    void uniqueIdIsRead_data();
    void uniqueIdIsRead();
};

void TestStm32::downloadWritesTheImage_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("image"); // what the flash must hold from 0x08000000
    QTest::addColumn<Stm32Sim::Config>("device");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QString>("loadedStatus");
    QTest::addColumn<QByteArray>("pageList");
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("lastCountByte");
    QTest::addColumn<QByteArray>("secondAddressFrame"); // empty: a single block

    const QString binStatus = QStringLiteral("下载目标代码");
    const QString hexStatus = QStringLiteral("下载目标代码。。。");
    auto lines = [](QStringList device, const char *size, const char *erase) {
        return device << QString::fromUtf8(size) << QString::fromUtf8(erase) << kStartWriting
                      << kDone;
    };

    const QByteArray b3000 = pattern(3000, 1);
    // 0414 erases 2 KiB pages: exactly the pages the image covers.
    QTest::newRow("3000-byte binary: two 2 KiB pages, twelve blocks")
        << "fw.bin" << b3000 << b3000 << Stm32Sim::Config{}
        << lines(kStandardDevice, "文件尺寸: 3000 Byte / 2 KB", "擦除页 0 .. 1") << binStatus
        << bytes("01 00 01 00") << 12 << 0xB7 << bytes("08 00 01 00 09");

    const QByteArray b2048 = pattern(2048, 2);
    QTest::newRow("2048-byte binary fills exactly one page")
        << "fw.bin" << b2048 << b2048 << Stm32Sim::Config{}
        << lines(kStandardDevice, "文件尺寸: 2048 Byte / 2 KB", "擦除页 0 .. 0") << binStatus
        << bytes("00 00 00") << 8 << 0xFF << bytes("08 00 01 00 09");

    const QByteArray b1 = bytes("5A");
    QTest::newRow("one-byte binary padded to a word with 0xFF")
        << "fw.BIN" << b1 << bytes("5A FF FF FF") << Stm32Sim::Config{}
        << lines(kStandardDevice, "文件尺寸: 4 Byte / 0 KB", "擦除页 0 .. 0") << binStatus
        << bytes("00 00 00") << 1 << 0x03 << QByteArray();

    // A medium-density part: id 0410, 1 KB pages, 128 KB; the download goes on.
    Stm32Sim::Config medium;
    medium.productId = 0x0410;
    medium.version = 0x21;
    medium.flashSizeKb = 128;
    medium.pageSize = 1024;
    medium.oldContents = 0xA5;
    QTest::newRow("id 0410: 1 KiB pages, its line named")
        << "fw.bin" << b3000 << b3000 << medium
        << lines(devicePart(
                     QStringLiteral("Bootloader 版本 2.1"), QStringLiteral("Product ID: 0410"),
                     QStringLiteral("STM32F10xx8/B 家族"), QStringLiteral("存储容量 Flash:128 KB")),
                 "文件尺寸: 3000 Byte / 2 KB", "擦除页 0 .. 2")
        << binStatus << bytes("02 00 01 02 01") << 12 << 0xB7 << bytes("08 00 01 00 09");


    // No base records: addresses from 0 are offsets from the flash start; 38 data bytes are
    // padded with 0xFF (erased flash) to 40.
    const QByteArray d3 = pattern(38, 5);
    QTest::newRow("HEX from address 0, padded to a multiple of 4")
        << "fw.HEX"
        << hexRecord(0, 0x0000, d3.left(16)) + hexRecord(0, 0x0010, d3.mid(16, 16)) +
               hexRecord(0, 0x0020, d3.mid(32)) + kEndOfFile
        << d3 + QByteArray(2, char(0xFF)) << Stm32Sim::Config{}
        << lines(kStandardDevice, "文件尺寸: 40 Byte / 0 KB", "擦除页 0 .. 0") << hexStatus
        << bytes("00 00 00") << 1 << 0x27 << QByteArray();
}

// A HEX file is erased and written where it has data and nowhere else: an application linked
// behind a boot loader leaves the boot loader's pages as they were, and a hole between records
// keeps what the chip held there. The boards start with 0xA5 in every byte, so an erase or a
// write where none belongs shows.
void TestStm32::onlyTheFilesDataIsTouched_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<quint32>("first");     // address of the first record's data
    QTest::addColumn<QByteArray>("data1");
    QTest::addColumn<quint32>("second");    // address of a second stretch (0: none)
    QTest::addColumn<QByteArray>("data2");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("eraseLine");
    QTest::addColumn<QList<int>>("units");  // erased, in order
    QTest::addColumn<int>("blocks");        // Write Memory commands
    const QByteArray app = pattern(3000, 9);
    QTest::newRow("behind a 16 KiB boot loader, 2 KiB pages")
        << 0x414 << kFlash + 0x4000 << app << 0u << QByteArray() << false << "擦除页 8 .. 9"
        << QList<int>{8, 9} << 12;
    QTest::newRow("behind a 16 KiB boot loader, verified")
        << 0x414 << kFlash + 0x4000 << app << 0u << QByteArray() << true << "擦除页 8 .. 9"
        << QList<int>{8, 9} << 12;
    QTest::newRow("behind a 16 KiB boot loader, F4 sector 1 only")
        << 0x413 << kFlash + 0x4000 << app << 0u << QByteArray() << false << "擦除扇区 1 .. 1"
        << QList<int>{1} << 12;
    QTest::newRow("two records 4 KiB apart: the page between keeps its contents")
        << 0x414 << kFlash << pattern(16, 3) << kFlash + 0x1000 << pattern(16, 4) << false
        << "擦除页 0 .. 0, 2 .. 2" << QList<int>{0, 2} << 2;
}

void TestStm32::onlyTheFilesDataIsTouched()
{
    QFETCH(int, productId);
    QFETCH(quint32, first);
    QFETCH(QByteArray, data1);
    QFETCH(quint32, second);
    QFETCH(QByteArray, data2);
    QFETCH(bool, verify);
    QFETCH(QString, eraseLine);
    QFETCH(QList<int>, units);
    QFETCH(int, blocks);

    Stm32Sim::Config config = Stm32Sim::Config::profile(quint16(productId));
    config.oldContents = 0xA5;
    Rig r(config);
    r.m->CheckBox9->setChecked(verify);
    QByteArray hex = firmware::intelHexAt(data1, first, 32, true);
    if (second != 0) hex.chop(kEndOfFile.size()), hex += firmware::intelHexAt(data2, second, 32, true);
    r.start(r.env.file(QStringLiteral("app.hex"), hex));
    QVERIFY(r.waitEnd(30000));
    QVERIFY2(r.ended.value_or(false), qPrintable(r.lines.join('\n')));
    QVERIFY2(r.sim.protocolErrors().isEmpty(), qPrintable(r.sim.protocolErrors().join('\n')));
    QVERIFY2(r.lines.contains(eraseLine), qPrintable(r.lines.join('\n')));
    QVERIFY(r.lines.contains(stm32::sizeLine(data1.size() + data2.size())));

    QList<int> erased;
    int writes = 0;
    quint32 lowestWrite = ~0u;
    for (const Stm32Sim::Command &c : r.sim.commands()) {
        if (c.code == stm32::kCmdErase || c.code == stm32::kCmdExtendedErase) erased += c.units;
        if (c.code == stm32::kCmdWriteMemory) {
            ++writes;
            lowestWrite = std::min(lowestWrite, c.address);
        }
    }
    QCOMPARE(erased, units);
    QCOMPARE(writes, blocks);
    QCOMPARE(lowestWrite, first);
    // Below the first record and in the hole's unerased page the chip's old bytes remain.
    QCOMPARE(r.sim.flash(kFlash, qsizetype(first - kFlash)),
             QByteArray(qsizetype(first - kFlash), char(0xA5)));
    QCOMPARE(r.sim.flash(first, data1.size()), data1);
    if (second != 0) {
        QCOMPARE(r.sim.flash(second, data2.size()), data2);
        QCOMPARE(r.sim.flash(kFlash + 0x800, 0x800), QByteArray(0x800, char(0xA5)));
    }
}

void TestStm32::downloadWritesTheImage()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, image);
    QFETCH(Stm32Sim::Config, device);
    QFETCH(QStringList, expectedLines);
    QFETCH(QString, loadedStatus);
    QFETCH(QByteArray, pageList);
    QFETCH(int, blocks);
    QFETCH(int, lastCountByte);
    QFETCH(QByteArray, secondAddressFrame);

    Rig r(device);
    QSignalSpy progress(r.m->ProgressBar1, &QProgressBar::valueChanged);
    const QString path = r.env.file(fileName, file);

    for (int attempt = 1; attempt <= 2; ++attempt) {
        progress.clear();
        r.start(path);
        QVERIFY(!r.m->BitBtn1->isEnabled()); // a download runs
        QVERIFY(r.waitEnd());
        QCOMPARE(*r.ended, true);
        QVERIFY2(r.sim.protocolErrors().isEmpty(), qPrintable(r.sim.protocolErrors().join('\n')));
        QCOMPARE(r.lines, expectedLines);

        // The line, byte for byte.
        const QByteArray sent = r.peer.received();
        QVERIFY(sent.startsWith(kUpToErase + pageList));
        const QByteArray writes = sent.mid(kUpToErase.size() + pageList.size());
        QCOMPARE(writes, expectedBlocks(image));
        const qsizetype firstBlock = 2 + 5 + 1 + std::min<qsizetype>(image.size(), 256) + 1;
        QCOMPARE(qsizetype(writes.size()),
                 qsizetype(blocks) * (2 + 5 + 1 + 1) + image.size()); // frames around the data
        if (!secondAddressFrame.isEmpty())
            QCOMPARE(writes.mid(firstBlock + 2, 5), secondAddressFrame);
        const qsizetype lastBlockStart =
            writes.lastIndexOf(bytes("31CE") + addressFrame(kFlash + quint32(blocks - 1) * 256));
        QVERIFY(lastBlockStart >= 0);
        QCOMPARE(int(quint8(writes[lastBlockStart + 7])), lastCountByte);

        // The device.
        QCOMPARE(r.sim.flash(kFlash, image.size()), image);
        QList<int> pagesNamed;
        for (int p = 0; p < int(quint8(pageList[0])) + 1; ++p)
            pagesNamed << p;
        QCOMPARE(r.sim.erasedPages().mid(r.sim.erasedPages().size() - pagesNamed.size()),
                 pagesNamed);

        // Status texts in order, one write address per block.
        QStringList statuses{kSearching, kConnected, expectedLines[2], loadedStatus, kErasing};
        for (int b = 0; b < blocks; ++b)
            statuses << writeAddress(kFlash + quint32(b) * 256);
        statuses << kDone;
        QCOMPARE(r.statuses, statuses);

        // The progress bar counts the bytes sent, block by block, and stays full; the second
        // press empties it first.
        QList<int> expectedProgress;
        if (attempt == 2) expectedProgress << 0;
        for (int b = 1; b <= blocks; ++b)
            expectedProgress << int(std::min<qsizetype>(qsizetype(b) * 256, image.size()));
        QList<int> seen;
        for (const auto &args : progress)
            seen << args.at(0).toInt();
        QCOMPARE(seen, expectedProgress);

        verifyIdle(r);
        if (QTest::currentTestFailed()) return;
        r.sim.reset(); // the board restarts; the next press downloads again
    }
}

void TestStm32::junkToEverySyncEndsAtTheFirstTick()
{
    // A line at the wrong rate: every 0x7F is answered with junk. The 0x7F goes out again
    // every 200 ms, five times in all, and the attempt still ends at the first tick.
    Rig r;
    r.sim.failAt(Stm32Sim::Step::Sync, Fault::Junk, 0);
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(3000, 1)));
    QVERIFY(waitUntil([&] { return r.m->Status() == kNoContact; }, 900));
    QVERIFY(!r.ended.has_value());
    QVERIFY(r.waitEnd(3000));
    QCOMPARE(*r.ended, false);
    // The first OvertimeT tick, about 1 s after the start.
    QVERIFY2(r.endedAfterMs >= 900 && r.endedAfterMs <= 1600,
             qPrintable(QString::number(r.endedAfterMs)));
    // Each junk answer says so in the status bar.
    QCOMPARE(r.statuses, (QStringList{kSearching, kNoContact, kNoContact, kNoContact, kNoContact,
                                      kNoContact, kFailed}));
    // The line before the end names the step left without an answer.
    QCOMPARE(r.lines, (QStringList{kSearching, QStringLiteral("无应答: 0x7F"), kFailed}));
    QCOMPARE(r.peer.received(), bytes("7F 7F 7F 7F 7F"));
    verifyIdle(r);
    if (QTest::currentTestFailed()) return;
    verifyNextDownloadWorks(r);
}

void TestStm32::silenceDuringWritingEndsAfterSevenTicks()
{
    Rig r;
    // The board stops answering at the fifth data block.
    r.sim.failAt(Stm32Sim::Step::WriteData, Fault::Silent, 5);
    const QByteArray image = pattern(3000, 1);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(12000));
    QCOMPARE(*r.ended, false);
    QStringList expected = kStandardDevice;
    expected << QStringLiteral("文件尺寸: 3000 Byte / 2 KB") << QStringLiteral("擦除页 0 .. 1")
             << kStartWriting << QStringLiteral("无应答: Write Memory (0x31)") << kFailed;
    QCOMPARE(r.lines, expected);
    QCOMPARE(r.m->Status(), kFailed);

    // The count was last reset by the ACK to the fourth block, just before the fifth block
    // left; seven one-second ticks later the attempt ends.
    const auto log = r.peer.log();
    QVERIFY(!log.empty());
    const auto lastFromHost =
        std::find_if(log.rbegin(), log.rend(), [](const testsupport::PtyPeer::Record &rec) {
            return rec.direction == testsupport::PtyPeer::Direction::FromHost;
        });
    QVERIFY(lastFromHost != log.rend());
    const qint64 lastHostMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastFromHost->time.time_since_epoch())
            .count();
    const qint64 silentFor = r.endedAtSteadyMs - lastHostMs;
    QVERIFY2(silentFor >= 5900 && silentFor <= 7600, qPrintable(QString::number(silentFor)));

    QCOMPARE(r.sim.flash(kFlash, 1024), image.left(1024)); // four blocks arrived
    QCOMPARE(r.sim.flash(kFlash + 1024, 256), QByteArray(256, char(0xFF)));
    verifyIdle(r);
    if (QTest::currentTestFailed()) return;
    verifyNextDownloadWorks(r);
}

void TestStm32::slowEraseThenEveryBlockGetsItsOwnTime()
{
    // The erase answers after 5.5 s, within the seven ticks that the ACK to Erase gave it; the
    // page list's ACK starts the count again and each block after it has its own seven ticks,
    // so a write phase of several seconds that follows does not run into the time-out.
    Rig r;
    SlowErase slow(r.sim, std::chrono::milliseconds(5500));
    r.peer.attach(&slow);
    const auto detach = qScopeGuard([&] { r.peer.attach(&r.sim); });
    const QByteArray image = pattern(64 * 1024, 11);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(30000));
    QCOMPARE(*r.ended, true);
    QVERIFY2(r.endedAfterMs > 7000, qPrintable(QString::number(r.endedAfterMs)));
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
    QVERIFY(r.sim.protocolErrors().isEmpty());
    verifyIdle(r);
}

void TestStm32::imageOf256PagesErasesGlobally()
{
    // 510 KiB and one word need 256 pages of the F10x high-density line: more than a page list
    // can name (0xFF as its count asks for a global erase), and all of the board's 512 KiB, so
    // the whole flash is erased with FF 00. Its answer comes after 8 s, past the seven ticks
    // of a page list but within what a whole-flash erase is given.
    Rig r;
    SlowErase slow(r.sim, std::chrono::milliseconds(8000), std::chrono::milliseconds(0));
    r.peer.attach(&slow);
    const auto detach = qScopeGuard([&] { r.peer.attach(&r.sim); });
    const QByteArray image = pattern(510 * 1024 + 4, 12);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(60000));
    QVERIFY2(*r.ended, qPrintable(r.lines.join('\n')));
    QVERIFY(r.endedAfterMs > 8000);
    QVERIFY(r.peer.received().startsWith(kUpToErase + bytes("FF 00") + bytes("31CE")));
    QVERIFY(r.lines.contains(QStringLiteral("擦除页 0 .. 255 (整片擦除)")));
    const QList<Stm32Sim::Command> commands = r.sim.commands();
    const auto erase = std::find_if(commands.begin(), commands.end(),
                                    [](const Stm32Sim::Command &c) { return c.code == 0x43; });
    QVERIFY(erase != commands.end());
    QCOMPARE(erase->length, -1);
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
    QCOMPARE(r.sim.flash(kFlash + quint32(image.size()), 2044), QByteArray(2044, char(0xFF)));
    QVERIFY(r.sim.protocolErrors().isEmpty());
    verifyIdle(r);
}

void TestStm32::refusedFileEndsAtOnce_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("file"); // null: no file; "dir": a directory of that name
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing file") << "absent.bin" << QByteArray() << QStringLiteral("文件不存在");
    QTest::newRow("a directory") << "folder.bin" << QByteArray("dir")
                                 << QStringLiteral("不是普通文件");
    QTest::newRow("empty binary") << "empty.bin" << QByteArray("")
                                  << QStringLiteral("文件中没有可下载的数据");
    QTest::newRow("binary over 2 MiB")
        << "big.bin" << QByteArray(0x200001, '\x11') << QStringLiteral("文件太大，不能超过2048 KB");
    QTest::newRow("HEX without data")
        << "empty.hex" << kEndOfFile << QStringLiteral("文件中没有可下载的数据");
    QTest::newRow("HEX data in RAM")
        << "ram.hex" << linearBase(0x2000) + hexRecord(0, 0, bytes("01020304")) + kEndOfFile
        << QStringLiteral("HEX文件的地址超出Flash范围: 0x20000000");
    QTest::newRow("HEX data past the 2 MiB image")
        << "far.hex" << linearBase(0x0820) + hexRecord(0, 0, bytes("01020304")) + kEndOfFile
        << QStringLiteral("HEX文件的地址超出Flash范围: 0x08200000");
}

void TestStm32::refusedFileEndsAtOnce()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);

    Rig r;
    QString path = r.env.root() + QLatin1Char('/') + fileName;
    if (file == "dir")
        QVERIFY(QDir().mkpath(path));
    else if (!file.isNull())
        path = r.env.file(fileName, file);

    r.start(path);
    QVERIFY(r.waitEnd(3000));
    QCOMPARE(*r.ended, false);
    // At once: no time-out tick was waited for.
    QVERIFY2(r.endedAfterMs < 900, qPrintable(QString::number(r.endedAfterMs)));
    // The window checks the file before the port is opened, in the command line's words.
    QCOMPARE(r.lines, QStringList{path + QStringLiteral(": ") + reason});
    QCOMPARE(r.m->Status(), r.lines[0]);
    // The board heard nothing.
    QVERIFY(r.peer.received().isEmpty());
    QVERIFY(r.sim.erasedPages().isEmpty());
    verifyIdle(r); // the time-out timer is stopped too: nothing more is reported later
    if (QTest::currentTestFailed()) return;
    verifyNextDownloadWorks(r);
}

void TestStm32::noiseLongerThanTheFrameBeforeTheSyncAck()
{
    // 700 noise bytes and the ACK arrive together: more than StmFrame holds. The sync test
    // looks at the last byte, the copy stays inside the frame and the download goes on.
    Rig r;
    NoisyFirstAnswer noisy(r.sim, QByteArray(700, '\x55'));
    r.peer.attach(&noisy);
    const auto detach = qScopeGuard([&] { r.peer.attach(&r.sim); });
    const QByteArray image = pattern(600, 9);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd());
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.lines.mid(0, 3), kStandardDevice.mid(0, 3));
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
    QVERIFY(r.sim.protocolErrors().isEmpty());
    verifyIdle(r);
}

void TestStm32::noModemLineChangeWithoutAutomaticReset()
{
    TraceRecorder trace;
    Rig r;
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(300, 3)));
    QVERIFY(r.waitEnd());
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.peer.received().left(1), bytes("7F"));

    const auto events = trace.events(r.peer.slavePath());
    const auto firstWrite = std::find_if(events.begin(), events.end(), [](const auto &e) {
        return e.kind == platform::SerialTraceEvent::Write;
    });
    QVERIFY(firstWrite != events.end());
    QCOMPARE(firstWrite->data.left(1), bytes("7F"));
    // Before the sync byte only the open happened: it leaves DTR and RTS low and purges; the
    // programmer itself touches no modem line.
    QVERIFY(firstWrite != events.begin());
    QCOMPARE(int((firstWrite - 1)->kind), int(platform::SerialTraceEvent::Purge));
    for (auto it = events.begin(); it != firstWrite; ++it) {
        if (it->kind == platform::SerialTraceEvent::Dtr ||
            it->kind == platform::SerialTraceEvent::Rts)
            QVERIFY2(!it->on, "a modem line was raised before the sync byte");
    }
}

void TestStm32::automaticResetPulsesBeforeTheSync()
{
    using Ev = platform::SerialTraceEvent;
    TraceRecorder trace;
    Rig r;
    r.setAutomaticReset(true);
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(300, 3)));
    QVERIFY(r.waitEnd());
    QCOMPARE(*r.ended, true);

    const auto events = trace.events(r.peer.slavePath());
    auto find = [&](auto from, Ev::Kind kind, std::optional<bool> on = std::nullopt) {
        return std::find_if(from, events.end(),
                            [&](const Ev &e) { return e.kind == kind && (!on || e.on == *on); });
    };
    const auto opened = find(events.begin(), Ev::Open);
    QVERIFY(opened != events.end());
    const auto dtrOn = find(opened, Ev::Dtr, true);
    const auto rtsOn = find(opened, Ev::Rts, true);
    const auto dtrOff = find(dtrOn, Ev::Dtr, false);
    const auto sync = find(opened, Ev::Write);
    QVERIFY(dtrOn != events.end() && rtsOn != events.end() && dtrOff != events.end() &&
            sync != events.end());
    QVERIFY(dtrOn < rtsOn && rtsOn < dtrOff && dtrOff < sync);
    QCOMPARE(sync->data.left(1), bytes("7F"));
    QVERIFY2(rtsOn->msecs - dtrOn->msecs < 100, "DTR and RTS go on together");
    const qint64 high = dtrOff->msecs - rtsOn->msecs;
    const qint64 settle = sync->msecs - dtrOff->msecs;
    QVERIFY2(high >= 495 && high <= 900, qPrintable(QString::number(high)));
    QVERIFY2(settle >= 495 && settle <= 900, qPrintable(QString::number(settle)));
    // RTS stays on until the end, where DTR goes on, then RTS off about 5 ms later, then the
    // port closes.
    const auto rtsOff = find(sync, Ev::Rts, false);
    QVERIFY(rtsOff != events.end());
    const auto endDtr = rtsOff - 1;
    QCOMPARE(int(endDtr->kind), int(Ev::Dtr));
    QVERIFY(endDtr->on);
    QVERIFY2(rtsOff->msecs - endDtr->msecs >= 4,
             qPrintable(QString::number(rtsOff->msecs - endDtr->msecs)));
    QVERIFY(find(rtsOff, Ev::Close) != events.end());
    QVERIFY(find(sync, Ev::Rts) == rtsOff); // nothing touched RTS in between
}

// The window's editor: its sequences and wiring are what reaches the port before the sync byte
// and after the last block; none runs while the terminal page holds the port.
void TestStm32::windowSequencesAndTheTerminalsPort_data()
{
    QTest::addColumn<QString>("entry"); // "" keeps the default
    QTest::addColumn<bool>("swap");
    QTest::addColumn<bool>("terminalHolds");
    QTest::addColumn<QString>("before"); // line changes between the open and the sync byte
    QTest::addColumn<QString>("after");  // line changes after the last byte
    QTest::addColumn<QString>("hint");   // what the window says beside the reset box
    const QString refused = QStringLiteral("串口不能设置 RTS/DTR");
    QTest::newRow("default") << "" << false << false << "dtr,rts,-dtr" << "dtr,-rts" << refused;
    QTest::newRow("user entry, swapped") << "dtr,20ms,-dtr,brk,5ms,-brk" << true << false
                                         << "rts,-rts,brk,-brk" << "rts,-dtr" << refused;
    QTest::newRow("terminal holds the port") << "dtr,20ms,-dtr" << false << true << "" << ""
                                             << "请把 BOOT0 接高电平";
}

void TestStm32::windowSequencesAndTheTerminalsPort()
{
    using Ev = platform::SerialTraceEvent;
    QFETCH(QString, entry);
    QFETCH(bool, swap);
    QFETCH(bool, terminalHolds);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(QString, hint);
    Rig r;
    r.setAutomaticReset(true);
    const int device = r.m->MCUType->currentIndex();
    if (!entry.isEmpty()) r.m->EntrySetup.entry[device] = entry;
    r.m->EntrySetup.wiring.swapRtsDtr = swap;
    if (terminalHolds) QVERIFY(r.m->ComPort_Open());
    TraceRecorder trace;
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(300, 3)));
    QVERIFY(r.waitEnd());
    QCOMPARE(*r.ended, true);
    const auto events = trace.events(r.peer.slavePath());
    const auto named = [](const Ev &e) {
        const char *n = e.kind == Ev::Rts ? "rts" : e.kind == Ev::Dtr ? "dtr" : "brk";
        return (e.on ? QString() : QStringLiteral("-")) + QLatin1String(n);
    };
    const auto isLine = [](const Ev &e) {
        return e.kind == Ev::Rts || e.kind == Ev::Dtr || e.kind == Ev::Break;
    };
    qsizetype firstWrite = -1, lastWrite = -1, lastPurge = -1;
    for (qsizetype i = 0; i < qsizetype(events.size()); ++i) {
        if (events[size_t(i)].kind == Ev::Write) {
            if (firstWrite < 0) firstWrite = i;
            lastWrite = i;
        }
        if (events[size_t(i)].kind == Ev::Purge && firstWrite < 0) lastPurge = i;
    }
    QVERIFY(firstWrite >= 0);
    QStringList seenBefore;
    for (qsizetype i = lastPurge + 1; i < firstWrite; ++i)
        if (isLine(events[size_t(i)])) seenBefore << named(events[size_t(i)]);
    QCOMPARE(seenBefore.join(u','), before);
    // The close itself lowers both lines (as it always has); only what comes before it counts.
    const auto close = std::find_if(events.begin() + lastWrite, events.end(),
                                    [](const Ev &e) { return e.kind == Ev::Close; });
    QStringList beforeClose;
    for (auto it = events.begin() + lastWrite + 1; it < close; ++it)
        if (isLine(*it)) beforeClose << named(*it);
    QCOMPARE(beforeClose.join(u','), after);
    QVERIFY2(r.m->LastHint.startsWith(hint), qPrintable(r.m->LastHint));
}

// The engine as the command line drives it: after a written image DTR goes on, then RTS off
// about 5 ms later, unless the run was told to leave the lines alone (--no-reset). The answers
// are also taken in the driver's own read (WaitInReadMs), as on the command line.
void TestStm32::restartPulseOnlyWhenAsked_data()
{
    QTest::addColumn<bool>("restart");
    QTest::newRow("restart into the firmware") << true;
    QTest::newRow("lines left alone") << false;
}

void TestStm32::restartPulseOnlyWhenAsked()
{
    using Ev = platform::SerialTraceEvent;
    QFETCH(bool, restart);
    TraceRecorder trace;
    testenv::TestEnv env;
    Stm32Sim board;
    testsupport::PtyPeer peer;
    peer.attach(&board);
    const auto detach = qScopeGuard([&] { peer.attach(nullptr); });
    env.mapPort(1, peer.slavePath());
    TVokCommDriver driver(nullptr);
    driver.setComPortSpeed(br115200);
    driver.setComPortParity(ptEVEN);
    driver.WaitInReadMs = 100;
    QVERIFY(driver.Connect());
    Stm32Engine engine(&driver);
    std::optional<DownloadResult> end;
    connect(&engine, &Engine::finished, &engine, [&](DownloadResult r) { end = r; });
    DownloadChoices choices;
    choices.reset = false;
    choices.restartWhenDone = restart;
    const QByteArray image = pattern(700, 5);
    choices.file = env.file(QStringLiteral("fw.bin"), image);
    engine.start(choices);
    QVERIFY(QTest::qWaitFor([&] { return end.has_value(); }, kDownloadTimeoutMs));
    QCOMPARE(*end, DownloadResult::Written);
    QCOMPARE(board.flash(Stm32Sim::kFlashBase, image.size()), image);
    driver.Disconnect();

    const auto events = trace.events(peer.slavePath());
    const auto raised = std::find_if(events.begin(), events.end(), [](const Ev &e) {
        return (e.kind == Ev::Dtr || e.kind == Ev::Rts) && e.on;
    });
    QCOMPARE(raised != events.end(), restart);
    if (!restart) return;
    QCOMPARE(int(raised->kind), int(Ev::Dtr));
    const auto rtsOff = std::find_if(raised, events.end(),
                                     [](const Ev &e) { return e.kind == Ev::Rts && !e.on; });
    QVERIFY(rtsOff != events.end());
    QVERIFY2(rtsOff->msecs - raised->msecs >= 4, qPrintable(QString::number(rtsOff->msecs - raised->msecs)));
}

// The engine as the command line drives it, at the rate it gives the port. The 0x7F is sent
// again while no ACK comes; a NACK to a repeated 0x7F means the loader was already listening
// for commands. A connection above 115200 that does not synchronise suggests 115200.
void TestStm32::syncRetriesAndFastRates_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("board"); // silent, junk once, left synchronised
    QTest::addColumn<QByteArray>("sent"); // the host's first bytes
    QTest::addColumn<QStringList>("ending"); // the last lines
    const QString noAnswer = QStringLiteral("无应答: 0x7F");
    const QString slower = QStringLiteral("在 921600 波特率下未能同步: 芯片可能不支持这么高的速率，"
                                          "请用 115200 波特率再试 (--baud 115200)");
    QTest::newRow("silent at 921600: 115200 suggested")
        << 921600 << "silent" << bytes("7F 7F 7F 7F 7F") << QStringList{noAnswer, slower, kFailed};
    QTest::newRow("silent at 115200: nothing suggested")
        << 115200 << "silent" << bytes("7F 7F 7F 7F 7F") << QStringList{noAnswer, kFailed};
    QTest::newRow("junk to the first 0x7F at 921600: the second synchronises")
        << 921600 << "junk once" << bytes("7F 7F 00FF") << QStringList{kDone};
    QTest::newRow("loader left synchronised: NACK to the second 0x7F")
        << 1000000 << "left synchronised" << bytes("7F 7F 00FF") << QStringList{kDone};
}

void TestStm32::syncRetriesAndFastRates()
{
    QFETCH(int, rate);
    QFETCH(QString, board);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, ending);
    testenv::TestEnv env;
    Stm32Sim chip;
    if (board == "silent") chip.setSilentAfter(0);
    if (board == "junk once") chip.failAt(Stm32Sim::Step::Sync, Fault::Junk, 1);
    if (board == "left synchronised") chip.feed(bytes("7F")); // an earlier session's sync
    testsupport::PtyPeer peer;
    peer.attach(&chip);
    const auto detach = qScopeGuard([&] { peer.attach(nullptr); });
    env.mapPort(1, peer.slavePath());
    TVokCommDriver driver(nullptr);
    driver.setComPortRate(quint32(rate));
    driver.setComPortParity(ptEVEN);
    driver.WaitInReadMs = 100;
    QVERIFY(driver.Connect());
    QCOMPARE(driver.ComPortRate(), quint32(rate));
    Stm32Engine engine(&driver);
    QStringList lines;
    std::optional<DownloadResult> end;
    connect(&engine, &Engine::line, &engine, [&](const QString &l) { lines << l; });
    connect(&engine, &Engine::finished, &engine, [&](DownloadResult r) { end = r; });
    DownloadChoices choices;
    choices.reset = false;
    choices.restartWhenDone = false;
    const QByteArray image = pattern(700, 6);
    choices.file = env.file(QStringLiteral("fw.bin"), image);
    engine.start(choices);
    QVERIFY(QTest::qWaitFor([&] { return end.has_value(); }, kDownloadTimeoutMs));
    driver.Disconnect();
    QVERIFY2(lines.size() >= ending.size() && lines.mid(lines.size() - ending.size()) == ending,
             qPrintable(lines.join('\n')));
    QVERIFY2(peer.received().startsWith(sent), qPrintable(peer.received().toHex(' ')));
    QCOMPARE(*end, ending.last() == kDone ? DownloadResult::Written : DownloadResult::Failed);
    if (*end == DownloadResult::Written)
        QCOMPARE(chip.flash(Stm32Sim::kFlashBase, image.size()), image);
    QVERIFY2(chip.protocolErrors().isEmpty(), qPrintable(chip.protocolErrors().join('\n')));
}

void TestStm32::everyFamilyThroughTheWindow_data()
{
    QTest::addColumn<int>("productId"); // the simulator's profile
    QTest::addColumn<QString>("entry"); // device list entry (command-line name)
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("flash");
    QTest::addColumn<QString>("erase");
    QTest::addColumn<int>("eraseCommand");
    // Units erased by one mass or bank erase (FF 00, FFFF, FFFE, FFFD); 0: none was sent.
    QTest::addColumn<int>("bulk");

    QTest::newRow("F10x 0410, Erase, verify")
        << 0x410 << "stm32" << 5000 << true << "STM32F10xx8/B 家族"
        << "存储容量 Flash:128 KB"
        << "擦除页 0 .. 4" << 0x43 << 0;
    QTest::newRow("F0 0440, Extended Erase")
        << 0x440 << "stm32-other" << 3001 << false << "STM32F030x8/F05xxx 家族"
        << "存储容量 Flash:64 KB"
        << "擦除页 0 .. 2" << 0x44 << 0;
    QTest::newRow("F3 0422, verify")
        << 0x422 << "stm32-other" << 6000 << true << "STM32F302xB/C/F303xB/C 家族"
        << "存储容量 Flash:256 KB"
        << "擦除页 0 .. 2" << 0x44 << 0;
    QTest::newRow("F4 0413 sectors, verify")
        << 0x413 << "stm32-other" << 70 * 1024 << true << "STM32F40xxx/41xxx 家族"
        << "存储容量 Flash:1024 KB"
        << "擦除扇区 0 .. 4" << 0x44 << 0;
    QTest::newRow("G0 0460 double words, verify")
        << 0x460 << "stm32-other" << 5001 << true << "STM32G07xxx/08xxx 家族"
        << "存储容量 Flash:128 KB"
        << "擦除页 0 .. 2" << 0x44 << 0;
    QTest::newRow("G0 from the F10x entry")
        << 0x460 << "stm32" << 2052 << false << "STM32G07xxx/08xxx 家族"
        << "存储容量 Flash:128 KB"
        << "擦除页 0 .. 1" << 0x44 << 0;
    // The lines added later: each on its own board (erased to 0x00 on L0/L1, flash words of
    // 8, 16 and 32 bytes whose last one the loader completes with 0xFF).
    QTest::newRow("L0 0417 128-byte pages, erased to 0x00, verify")
        << 0x417 << "stm32-other" << 1001 << true << "STM32L05xxx/06xxx 家族"
        << "存储容量 Flash:64 KB" << "擦除页 0 .. 7" << 0x44 << 0;
    QTest::newRow("L1 0436 256-byte pages, verify")
        << 0x436 << "stm32-other" << 1001 << true << "STM32L1xxxD 家族"
        << "存储容量 Flash:384 KB" << "擦除页 0 .. 3" << 0x44 << 0;
    QTest::newRow("H7 0450 32-byte words, verify")
        << 0x450 << "stm32-other" << 5001 << true << "STM32H74xxx/75xxx 家族"
        << "存储容量 Flash:2048 KB" << "擦除扇区 0 .. 0" << 0x44 << 0;
    QTest::newRow("H7A3 0480 8 KiB sectors, 16-byte words, verify")
        << 0x480 << "stm32-other" << 9001 << true << "STM32H7A3xx/7B3xx/7B0xx 家族"
        << "存储容量 Flash:2048 KB" << "擦除页 0 .. 1" << 0x44 << 0;
    QTest::newRow("C0 0443") << 0x443 << "stm32-other" << 2049 << false << "STM32C011xx 家族"
                             << "存储容量 Flash:32 KB" << "擦除页 0 .. 1" << 0x44 << 0;
    QTest::newRow("WB 0495 4 KiB pages, verify")
        << 0x495 << "stm32-other" << 4097 << true << "STM32WB30xx/35xx/50xx/55xx 家族"
        << "存储容量 Flash:1024 KB" << "擦除页 0 .. 1" << 0x44 << 0;
    QTest::newRow("U5 0482 8 KiB pages, 16-byte words, verify")
        << 0x482 << "stm32-other" << 9001 << true << "STM32U575xx/585xx 家族"
        << "存储容量 Flash:2048 KB" << "擦除页 0 .. 1" << 0x44 << 0;
    // An image that fills the flash, or a bank of it, is erased by one command where the line
    // has it (AN3155 §3.7, §3.8); L0/L1 have none, and an image one unit short erases by units.
    QTest::newRow("F10x 0410 whole flash: FF 00")
        << 0x410 << "stm32" << 128 * 1024 << false << "STM32F10xx8/B 家族"
        << "存储容量 Flash:128 KB" << "擦除页 0 .. 127 (整片擦除)" << 0x43 << 128;
    QTest::newRow("L0 0417 whole flash: page by page, never FFFF")
        << 0x417 << "stm32-other" << 64 * 1024 << false << "STM32L05xxx/06xxx 家族"
        << "存储容量 Flash:64 KB" << "擦除页 0 .. 511" << 0x44 << 0;
    QTest::newRow("H7 0450 all of bank 1: FFFE")
        << 0x450 << "stm32-other" << 1024 * 1024 << false << "STM32H74xxx/75xxx 家族"
        << "存储容量 Flash:2048 KB" << "擦除扇区 0 .. 7 (存储区 1 整体擦除)" << 0x44 << 8;
    QTest::newRow("G0B 0467 both banks: FFFF")
        << 0x467 << "stm32-other" << 512 * 1024 << false << "STM32G0B1xx/0C1xx 家族"
        << "存储容量 Flash:512 KB" << "擦除页 0 .. 255 (整片擦除)" << 0x44 << 256;
    QTest::newRow("C0 0443 one page short of the flash: pages")
        << 0x443 << "stm32-other" << 30 * 1024 << false << "STM32C011xx 家族"
        << "存储容量 Flash:32 KB" << "擦除页 0 .. 14" << 0x44 << 0;
}

void TestStm32::everyFamilyThroughTheWindow()
{
    QFETCH(int, productId);
    QFETCH(QString, entry);
    QFETCH(int, imageBytes);
    QFETCH(bool, verify);
    QFETCH(QString, family);
    QFETCH(QString, flash);
    QFETCH(QString, erase);
    QFETCH(int, eraseCommand);
    QFETCH(int, bulk);

    Rig r(Stm32Sim::Config::profile(quint16(productId)));
    r.m->MCUType->setCurrentIndex(devices::findDevice(entry));
    r.m->CheckBox9->setChecked(verify);
    const QByteArray image = pattern(imageBytes, quint32(productId));
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(30000));
    QVERIFY2(r.sim.protocolErrors().isEmpty(), qPrintable(r.sim.protocolErrors().join('\n')));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.lines.mid(4, 2), (QStringList{family, flash}));
    QVERIFY2(r.lines.contains(erase), qPrintable(r.lines.join('\n')));
    // With verify the log ends by saying every block was read back.
    QCOMPARE(r.lines.at(r.lines.size() - (verify ? 2 : 1)), kDone);
    if (verify) QCOMPARE(r.lines.last(), stm32::verifiedLine((imageBytes + 255) / 256));

    // The image, padded with erased flash to whole write units, and nothing written beyond.
    const int unit = std::max(r.sim.config().writeUnit, 4);
    const qsizetype padded = (imageBytes + unit - 1) / unit * unit;
    QCOMPARE(r.sim.flash(kFlash, padded), image + QByteArray(padded - imageBytes, char(0xFF)));
    // Past it, the rest of its last erase unit reads erased; a unit it does not reach (the
    // other bank of a bank erase) keeps the board's old contents.
    const devices::Stm32Part &part = stm32::partFor(quint16(productId));
    const bool sameUnit = stm32::eraseUnitAt(part, padded) == stm32::eraseUnitAt(part, padded - 1);
    if (padded < qsizetype(r.sim.config().flashSizeKb) * 1024)
        QCOMPARE(r.sim.flash(kFlash + quint32(padded), 16),
                 QByteArray(16, char(sameUnit ? r.sim.config().erasedValue
                                              : r.sim.config().oldContents)));

    // The erase command the loader listed; with verify, one read-back per block and no more.
    const QList<Stm32Sim::Command> commands = r.sim.commands();
    int erases = 0, writes = 0, reads = 0;
    QList<int> bulkUnits;
    for (const Stm32Sim::Command &c : commands) {
        erases += c.code == 0x43 || c.code == 0x44;
        if ((c.code == 0x43 || c.code == 0x44) && c.length < 0) bulkUnits << int(c.units.size());
        QVERIFY(c.code != (eraseCommand == 0x43 ? 0x44 : 0x43));
        writes += c.code == 0x31;
        reads += c.code == 0x11 && c.address >= kFlash && c.address < kFlash + quint32(padded);
    }
    QVERIFY(erases >= 1);
    QCOMPARE(bulkUnits, bulk > 0 ? QList<int>{bulk} : QList<int>{});
    QCOMPARE(writes, int((padded + 255) / 256));
    QCOMPARE(reads, verify ? writes : 0);
    verifyIdle(r);
}

void TestStm32::trustRules_data()
{
    QTest::addColumn<Stm32Sim::Config>("device");
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<bool>("verify");
    QTest::addColumn<int>("failStep"); // -1: none; else a refusal at that step's occurrence
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<QStringList>("tail"); // the last message lines
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("erased"); // whether any erase command reached the chip

    const int none = -1;
    const auto written = int(DownloadResult::Written);
    const auto failed = int(DownloadResult::Failed);
    const auto refused = int(DownloadResult::RefusedFile);
    const QString how =
        QStringLiteral("解除读保护: tramelo download --unprotect ... (芯片将擦除整片 Flash)");
    const QString protectedLine =
        QStringLiteral("芯片的 Flash 处于读保护状态: 不能读取、擦除或写入");

    Stm32Sim::Config f0 = Stm32Sim::Config::profile(0x440);
    QTest::newRow("image larger than the flash: refused before erase")
        << f0 << 64 * 1024 + 4 << false << none << 0
        << QStringList{QStringLiteral("文件尺寸: 65540 Byte / 64 KB"),
                       QStringLiteral(
                           "文件太大: 映像 65540 Byte，芯片 Flash 只有 64 KB (65536 Byte)")}
        << refused << false;
    QTest::newRow("image of exactly the flash is written")
        << f0 << 64 * 1024 << false << none << 0 << QStringList{kStartWriting, kDone} << written
        << true;
    QTest::newRow("NACK to Erase")
        << Stm32Sim::Config{} << 3000 << false << int(Stm32Sim::Step::EraseCommand) << 1
        << QStringList{QStringLiteral("设备拒绝擦除: 芯片可能处于读保护或写保护状态"),
                       stm32::reasonHowToWriteUnprotect(), kFailed}
        << failed << false;
    QTest::newRow("NACK to the page list")
        << Stm32Sim::Config{} << 3000 << false << int(Stm32Sim::Step::ErasePages) << 1
        << QStringList{kStartWriting,
                       QStringLiteral("设备拒绝擦除: 芯片可能处于读保护或写保护状态"),
                       stm32::reasonHowToWriteUnprotect(), kFailed}
        << failed << false;
    QTest::newRow("NACK to the second block names its address")
        << Stm32Sim::Config{} << 3000 << false << int(Stm32Sim::Step::WriteData) << 2
        << QStringList{kStartWriting,
                       QStringLiteral(
                           "设备拒绝写入地址 0x08000100: Flash 可能处于保护状态或未被擦除"),
                       stm32::reasonHowToWriteUnprotect(), kFailed}
        << failed << true;
    QTest::newRow("NACK to Write Memory")
        << f0 << 3000 << true << int(Stm32Sim::Step::WriteCommand) << 3
        << QStringList{kStartWriting,
                       QStringLiteral(
                           "设备拒绝写入地址 0x08000200: Flash 可能处于保护状态或未被擦除"),
                       kFailed}
        << failed << true;
    Stm32Sim::Config locked = Stm32Sim::Config::profile(0x413);
    locked.readProtected = true;
    QTest::newRow("read-protected chip: said plainly, with the way out")
        << locked << 3000 << false << none << 0 << QStringList{protectedLine, how, kFailed}
        << failed << false;
    // L0/L1 and H7 have levels: the loader's protection is Level 1, and going back to Level 0
    // erases the flash (on L0/L1 the data EEPROM too).
    Stm32Sim::Config lockedL0 = Stm32Sim::Config::profile(0x417);
    lockedL0.readProtected = true;
    QTest::newRow("read-protected L0: Level 1, the EEPROM erased on the way out")
        << lockedL0 << 3000 << false << none << 0
        << QStringList{QStringLiteral("芯片的 Flash 处于读保护 Level 1: 不能读取、擦除或写入"),
                       QStringLiteral("回到 Level 0: tramelo download --unprotect ... (芯片将擦除整片 Flash 和数据 EEPROM)"),
                       kFailed}
        << failed << false;
    QTest::newRow("NACK to Erase on H7 names Level 1")
        << Stm32Sim::Config::profile(0x483) << 3000 << false << int(Stm32Sim::Step::EraseCommand) << 1
        << QStringList{QStringLiteral("设备拒绝擦除: 芯片可能处于读保护 Level 1 或写保护状态"),
                       stm32::reasonHowToWriteUnprotect(), kFailed}
        << failed << false;
    // A block stored wrongly: flash takes no second write over programmed cells (F4 only
    // clears bits, F10x refuses), so the repair erases the block's sector or page and writes
    // the image's data in it again, then reads it back.
    const QString verified = stm32::verifiedLine(12);
    const QString repairF4 =
        QStringLiteral("地址 0x08000200 的数据与文件不符: 擦除扇区 0 .. 0，重写其中的数据");
    Stm32Sim::Config weakF4 = Stm32Sim::Config::profile(0x413);
    weakF4.weakBlocks = {{kFlash + 0x200, 3}};
    QTest::newRow("F4: verify repairs a weak block three times")
        << weakF4 << 3000 << true << none << 0 << QStringList{repairF4, kDone, verified}
        << written << true;
    weakF4.weakBlocks = {{kFlash + 0x200, 4}};
    QTest::newRow("verify gives up after three repairs, naming the address")
        << weakF4 << 3000 << true << none << 0
        << QStringList{repairF4,
                       QStringLiteral("校验失败: 地址 0x08000200 的数据与文件不符 (已重写 3 次)"),
                       QStringLiteral("校验失败 ！")}
        << failed << true;
    // The repair count starts again once the repaired block reads back right: a neighbour
    // that needs one repair after a block that needed three is still written.
    weakF4.weakBlocks = {{kFlash + 0x200, 3}, {kFlash + 0x300, 1}};
    QTest::newRow("F4: a weak neighbour after three repairs is repaired too")
        << weakF4 << 3000 << true << none << 0
        << QStringList{QStringLiteral(
                           "地址 0x08000300 的数据与文件不符: 擦除扇区 0 .. 0，重写其中的数据"),
                       kDone, verified}
        << written << true;
    Stm32Sim::Config weakF1;
    weakF1.weakBlocks = {{kFlash + 0x100, 1}};
    QTest::newRow("F10x: verify repairs a weak block by erasing its page")
        << weakF1 << 3000 << true << none << 0
        << QStringList{QStringLiteral(
                           "地址 0x08000100 的数据与文件不符: 擦除页 0 .. 0，重写其中的数据"),
                       kDone, verified}
        << written << true;
    // Where the Get list names Get Checksum, verify compares the CRC of the written range
    // instead of reading back; a wrong block shows as a CRC mismatch (no repair then).
    Stm32Sim::Config crcF1;
    crcF1.checksum = true;
    QTest::newRow("Get Checksum listed: verify by CRC")
        << crcF1 << 3000 << true << none << 0
        << QStringList{kDone, stm32::checksumVerifiedLine(1)} << written << true;
    crcF1.weakBlocks = {{kFlash + 0x100, 1}};
    QTest::newRow("Get Checksum: a weak block fails the CRC")
        << crcF1 << 3000 << true << none << 0 << QStringList{QStringLiteral("校验失败 ！")}
        << failed << true;
    QTest::newRow("without verify a weak block goes unnoticed")
        << weakF1 << 3000 << false << none << 0 << QStringList{kStartWriting, kDone} << written
        << true;
}

// L0/L1: HEX records at the data EEPROM's addresses are written there, without an erase of
// anything but the flash pages the file touches, and read back with verify.
void TestStm32::eepromRecordsAreWritten()
{
    Rig r(Stm32Sim::Config::profile(0x417));
    r.m->CheckBox9->setChecked(true);
    const QByteArray code = pattern(300, 3);
    const QByteArray data = pattern(16, 4);
    const QByteArray file = firmware::intelHexAt(code, kFlash, 32, true).chopped(kEndOfFile.size()) +
                            firmware::intelHexAt(data, 0x08080010, 16);
    r.start(r.env.file(QStringLiteral("fw.hex"), file));
    QVERIFY(r.waitEnd(30000));
    QVERIFY2(*r.ended, qPrintable(r.lines.join('\n')));
    QVERIFY2(r.lines.contains(stm32::eepromLine(16, 0x08080010)), qPrintable(r.lines.join('\n')));
    QCOMPARE(r.sim.flash(kFlash, code.size()), code);
    QCOMPARE(r.sim.eeprom().mid(0x10, 16), data);
    QCOMPARE(r.sim.eeprom().left(0x10), QByteArray(0x10, '\0'));
    QCOMPARE(r.sim.erasedPages(), (QList<int>{0, 1, 2}));
    QVERIFY2(r.sim.protocolErrors().isEmpty(), qPrintable(r.sim.protocolErrors().join('\n')));
}

// Data past the flash's end, apart from the rest (a HEX record for another memory), is
// refused before anything is erased with its address named; an image that merely runs on
// past the end is refused by its size alone.
void TestStm32::dataPastTheFlashIsNamed_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("tail");
    const QByteArray four = bytes("01020304");
    const QByteArray app = linearBase(0x0800) + hexRecord(0, 0, four);
    QTest::newRow("L0: a record past its 2 KiB data EEPROM")
        << 0x417 << app + linearBase(0x0808) + hexRecord(0, 0x800, four) + kEndOfFile
        << QStringList{QStringLiteral("文件在 0x08080800 有数据: 芯片 Flash 到 0x0800FFFF 为止"),
                       stm32::reasonImageTooLarge(0x80804, 64)};
    QTest::newRow("F0: a record past its 64 KiB")
        << 0x440 << app + linearBase(0x0802) + hexRecord(0, 0x10, four) + kEndOfFile
        << QStringList{QStringLiteral("文件在 0x08020010 有数据: 芯片 Flash 到 0x0800FFFF 为止"),
                       stm32::reasonImageTooLarge(0x20014, 64)};
    QTest::newRow("F0: an image running past its end")
        << 0x440 << firmware::intelHexAt(pattern(65 * 1024), kFlash, 32)
        << QStringList{stm32::sizeLine(65 * 1024), stm32::reasonImageTooLarge(65 * 1024, 64)};
}

void TestStm32::dataPastTheFlashIsNamed()
{
    QFETCH(int, productId);
    QFETCH(QByteArray, file);
    QFETCH(QStringList, tail);
    Rig r(Stm32Sim::Config::profile(quint16(productId)));
    r.start(r.env.file(QStringLiteral("fw.hex"), file));
    QVERIFY(r.waitEnd(10000));
    QCOMPARE(*r.ended, false);
    QCOMPARE(r.lines.mid(r.lines.size() - 2), tail);
    QVERIFY(r.sim.erasedPages().isEmpty());
}

// A loader that declines the flash-size read (every read of its system area, as some lines
// do) is programmed with the device table's size for its id, and the message area says so;
// an id the table does not know ends at Get ID with the id named, before any read or erase.
void TestStm32::flashSizeReadDeclined_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<QString>("sizeLine"); // empty: the download ends
    QTest::addColumn<int>("imageBytes");
    QTest::newRow("F4: the table's 1024 KB")
        << 0x413 << stm32::flashSizeFromTableLine(0x1FFF7A22, 1024) << 3000;
    QTest::newRow("F0: the table's 64 KB")
        << 0x440 << stm32::flashSizeFromTableLine(0x1FFFF7CC, 64) << 3000;
    // A size the chip did not report never leads to a mass erase: the pages go one by one.
    QTest::newRow("F0: the table's 64 KB filled, page by page")
        << 0x440 << stm32::flashSizeFromTableLine(0x1FFFF7CC, 64) << 64 * 1024;
    QTest::newRow("unknown id: refused") << 0x999 << QString() << 3000;
}

void TestStm32::flashSizeReadDeclined()
{
    QFETCH(int, productId);
    QFETCH(QString, sizeLine);
    QFETCH(int, imageBytes);
    Rig r(Stm32Sim::Config::profile(quint16(productId)));
    r.sim.failAt(Stm32Sim::Step::ReadCount, Fault::Refuse);
    const QByteArray image = pattern(imageBytes, 7);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(30000));
    if (sizeLine.isEmpty()) {
        QCOMPARE(int(r.result), int(DownloadResult::Failed));
        QCOMPARE(r.lines.mid(r.lines.size() - 2),
                 (QStringList{stm32::reasonUnknownProductId(QStringLiteral("0999")), kFailed}));
        for (const Stm32Sim::Command &c : r.sim.commands())
            QVERIFY2(c.code <= 0x02 || c.code == 0x7F, qPrintable(QString::number(c.code, 16)));
        return;
    }
    QCOMPARE(int(r.result), int(DownloadResult::Written));
    QVERIFY2(r.lines.contains(sizeLine), qPrintable(r.lines.join('\n')));
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
    for (const Stm32Sim::Command &c : r.sim.commands())
        QVERIFY(c.code != 0x44 || c.length > 0);
}

// The 96-bit unique id for the station's record: read as the line's loader allows, and a
// loader that refuses it costs the id only, never the download.
void TestStm32::uniqueIdIsRead_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<int>("refusedRead"); // the Read Memory count refused (0: none)
    QTest::addColumn<QString>("uid");
    QTest::addColumn<quint32>("shortRead"); // where the 12-byte read went (0: none made)
    const QString id = QStringLiteral("37FFD8054B52383123581043");
    QTest::newRow("F10x: 12 bytes at 0x1FFFF7E8") << 0x414 << 0 << id << 0x1FFFF7E8u;
    QTest::newRow("F4: inside the 256-byte read, no short read") << 0x413 << 0 << id << 0u;
    QTest::newRow("L0: inside the 128-byte read") << 0x417 << 0 << id << 0u;
    QTest::newRow("H7: 12 bytes at 0x1FF1E800") << 0x450 << 0 << id << 0x1FF1E800u;
    QTest::newRow("H7A3: 12 bytes at 0x08FFF800") << 0x480 << 0 << id << 0x08FFF800u;
    QTest::newRow("F10x: the id read refused, written without it")
        << 0x414 << 2 << QString() << 0u;
    QTest::newRow("F4: the area read refused, no short read either")
        << 0x413 << 1 << QString() << 0u;
}

void TestStm32::uniqueIdIsRead()
{
    QFETCH(int, productId);
    QFETCH(int, refusedRead);
    QFETCH(QString, uid);
    QFETCH(quint32, shortRead);
    Rig r(Stm32Sim::Config::profile(quint16(productId)));
    if (refusedRead > 0) r.sim.failAt(Stm32Sim::Step::ReadCount, Fault::Refuse, refusedRead);
    const QByteArray image = pattern(3000, 9);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(30000));
    QCOMPARE(int(r.result), int(DownloadResult::Written));
    QCOMPARE(r.m->Stm32->uniqueId(), uid);
    QList<quint32> shortReads;
    for (const Stm32Sim::Command &c : r.sim.commands())
        if (c.code == 0x11 && c.length == 12) shortReads << c.address;
    QCOMPARE(shortReads, shortRead ? QList<quint32>{shortRead} : QList<quint32>{});
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
}

void TestStm32::trustRules()
{
    QFETCH(Stm32Sim::Config, device);
    QFETCH(int, imageBytes);
    QFETCH(bool, verify);
    QFETCH(int, failStep);
    QFETCH(int, occurrence);
    QFETCH(QStringList, tail);
    QFETCH(int, result);
    QFETCH(bool, erased);

    Rig r(device);
    if (failStep >= 0) r.sim.failAt(Stm32Sim::Step(failStep), Fault::Refuse, occurrence);
    r.m->CheckBox9->setChecked(verify);
    const QByteArray image = pattern(imageBytes, 5);
    r.start(r.env.file(QStringLiteral("fw.bin"), image));
    QVERIFY(r.waitEnd(30000));
    QCOMPARE(int(r.result), result);
    QCOMPARE(r.lines.mid(r.lines.size() - tail.size()), tail);
    // A refusal ends the attempt at once, not through the seven-second time-out.
    QVERIFY2(r.endedAfterMs < 5000, qPrintable(QString::number(r.endedAfterMs)));
    bool anyErase = false;
    for (const Stm32Sim::Command &c : r.sim.commands())
        anyErase |= c.code == 0x43 || c.code == 0x44;
    QCOMPARE(anyErase, erased);
    // The chip found nothing wrong with any frame: a repair never writes over programmed flash.
    QVERIFY2(r.sim.protocolErrors().isEmpty(), qPrintable(r.sim.protocolErrors().join('\n')));
    // Which verify ran: with Get Checksum listed no written flash is read back.
    for (const Stm32Sim::Command &c : r.sim.commands())
        if (device.checksum && c.code == 0x11) QVERIFY(c.address < kFlash || c.address >= 0x08100000);
    const bool written = result == int(DownloadResult::Written);
    if (written)
        QCOMPARE(r.sim.flash(kFlash, image.size()) == image, verify || device.weakBlocks.isEmpty());
    verifyIdle(r);
    if (QTest::currentTestFailed()) return;
    if (!device.readProtected && device.weakBlocks.isEmpty()) verifyNextDownloadWorks(r);
}

QTEST_MAIN(TestStm32)
#include "tst_stm32.moc"
