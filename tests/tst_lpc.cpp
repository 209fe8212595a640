// The LPC2000 programmer through the real window: the download button of the main window
// against the simulated boot loader on a pseudo-terminal. The simulator checks every line it
// receives as a chip would (uuencoding, checksums, prepared sectors, copy targets), so a
// wrong item fails there as well as here; it reads the first 64 bytes of flash as the boot
// block, so a compare of sector 0 from address 0 fails, and it tells whether the vector table
// it holds would let the board start.
#include "engines/LpcEngine.h"
#include "app/Main.h"

#include "platform/SerialPort.h"
#include "sim/LpcSim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>
#include <QTimer>
#include <QtEndian>
#include <mutex>

Q_DECLARE_METATYPE(sim::LpcSim::Part)

using sim::Fault;
using sim::LpcSim;
using testenv::TestEnv;
using testsupport::PtyPeer;

namespace {

using testsupport::kBaud57600Index;
using testsupport::kLpc2136Entry;
constexpr int kHexRecordBytes = 16;
constexpr int kCommTimeoutMs = 8000;

const QString kNoContact = QStringLiteral("无法和设备通讯，请重新复位");
const QString kFailed = QStringLiteral("下载的过程中出错");
const QString kTimedOut = QStringLiteral("LPC通信超时!");
const QString kDone = QStringLiteral("写入完成");

using firmware::hexRecord;
using firmware::pattern;

// Intel HEX text of an image from flash address 0 (at most 64 KiB).
QByteArray toHex(const QByteArray &image)
{
    return firmware::intelHex(image, kHexRecordBytes);
}

// The lines the host sent, line ends removed.
QList<QByteArray> hostLines(const QByteArray &stream)
{
    QList<QByteArray> lines = stream.split('\n');
    for (QByteArray &l : lines)
        if (l.endsWith('\r')) l.chop(1);
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

bool isDecimal(const QByteArray &line)
{
    return !line.isEmpty() &&
           std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// What the host sent after the erase command, as tokens: command lines as they stand, and
// each group of uuencoded lines closed by its checksum line as "lines/bytes" (the bytes read
// from each line's length character). Command lines carry spaces; uuencoded ones never do.
QStringList writeTokens(const QByteArray &stream)
{
    const QList<QByteArray> lines = hostLines(stream);
    qsizetype i = 0;
    while (i < lines.size() && !lines[i].startsWith("E 0 "))
        ++i;
    QStringList tokens;
    int groupLines = 0;
    int groupBytes = 0;
    for (++i; i < lines.size(); ++i) {
        const QByteArray &l = lines[i];
        if (l.contains(' ')) {
            tokens << QString::fromLatin1(l);
        } else if (isDecimal(l) && groupLines > 0) {
            tokens << QStringLiteral("%1/%2").arg(groupLines).arg(groupBytes);
            groupLines = 0;
            groupBytes = 0;
        } else if (!l.isEmpty()) {
            ++groupLines;
            groupBytes += (l[0] - 0x20) & 0x3F;
        }
    }
    return tokens;
}

// The compare after a copy: sector 0 from address 64, behind the boot block.
QString compareToken(int address, int count)
{
    const int skip = address == 0 ? 64 : 0;
    return QStringLiteral("M %1 %2 %3")
        .arg(address + skip)
        .arg(1073742336 + skip)
        .arg(count - skip);
}

QStringList blockTokens(int block, int sector)
{
    const QString c = QStringLiteral("C %1 1073742336 4096").arg(block * 4096);
    return {QStringLiteral("W 1073742336 4096"),
            QStringLiteral("20/900"),
            QStringLiteral("20/900"),
            QStringLiteral("20/900"),
            QStringLiteral("20/900"),
            QStringLiteral("12/496"),
            QStringLiteral("P %1 %1").arg(sector),
            c,
            compareToken(block * 4096, 4096)};
}

// The reserved vector that makes the eight vector words of an image add up to zero.
quint32 vectorBalance(const QByteArray &image)
{
    quint32 sum = 0;
    for (int i = 0; i < 8; ++i)
        if (i != 5) sum += qFromLittleEndian<quint32>(image.constData() + 4 * i);
    return 0u - sum;
}

// The flash holds the image, its reserved vector set so that the board starts it.
bool holdsImage(const LpcSim &sim, const QByteArray &image)
{
    QByteArray expected = image;
    const quint32 v = vectorBalance(image);
    qToLittleEndian(v, expected.data() + 0x14);
    const bool ok = sim.flash(0, image.size()) == expected && sim.wouldStartUserCode();
    if (!ok) qWarning() << "flash differs from the image, or the vectors do not add up";
    return ok;
}

// The main window, its LPC controller and a simulated board on COM1.
struct Rig : testsupport::BoardRig<LpcSim>
{
    explicit Rig(const LpcSim::Config &config = {}) : BoardRig(config)
    {
        select(kLpc2136Entry, kBaud57600Index);
        main().Edit3->setText(QStringLiteral("1"));
        main().CheckBox2->setChecked(false);
        onEnd = [this](DownloadResult result) { ends << (result == DownloadResult::Written); };
    }
    ~Rig() override { platform::setSerialTracer(nullptr); }

    LpcEngine &lpc() const { return *windows.lpc; }

    void useImage(const QByteArray &image) { useFile(toHex(image)); }
    void useFile(const QByteArray &text)
    {
        main().Edit2->setText(env.file(QStringLiteral("fw.hex"), text));
    }

    // Presses the download button and runs the event loop until the attempt ends.
    bool download(int timeoutMs = 20000)
    {
        const qsizetype before = ends.size();
        startedAt.start();
        main().BitBtn1Click();
        return waitForEnd(before, timeoutMs);
    }
    bool waitForEnd(qsizetype before, int timeoutMs)
    {
        return testsupport::waitUntil([&] { return ends.size() > before; }, timeoutMs);
    }
    // The board resets whenever DTR rises, as the reset wiring of a board does.
    void resetBoardOnDtr()
    {
        platform::setSerialTracer([this](const platform::SerialTraceEvent &e) {
            if (e.kind == platform::SerialTraceEvent::Dtr && e.on) sim.reset();
        });
    }
    // Nothing left running, the port closed, the button usable.
    void verifyIdle() const
    {
        QVERIFY(!lpc().Timer1->isActive());
        QVERIFY(!lpc().Timer2->isActive());
        QVERIFY(!lpc().Timer3->isActive());
        QVERIFY(!lpc().running());
        QVERIFY(lpc().Timer4->isActive());
        QVERIFY(!main().ComDriver->Connected());
        QVERIFY(!main().ComPortActive);
        QVERIFY(main().BitBtn1->isEnabled());
        const QString progress =
            testsupport::keptProgressProblem(main(), ends.value(ends.size() - 1));
        QVERIFY2(progress.isEmpty(), qPrintable(progress));
        QCOMPARE(lpc().LpcState, qint32(LpcEngine::StepSync));
    }

    QList<bool> ends;
    QElapsedTimer startedAt;
};

// Passes the simulator's answers through, but holds back the last line of the answer to "K"
// until the test releases it: a reply that arrives in two parts.
class HeldBootVersion : public sim::Device
{
public:
    explicit HeldBootVersion(LpcSim &chip) : chip_(chip) {}
    QByteArray feed(QByteArrayView bytes) override
    {
        QByteArray out = chip_.feed(bytes);
        std::lock_guard guard(mutex_);
        if (!held_.isEmpty() || !out.startsWith("0\r\n") || out.count("\r\n") != 3) return out;
        const qsizetype cut = out.indexOf("\r\n", 3) + 2;
        held_ = out.mid(cut);
        return out.left(cut);
    }
    QByteArray take()
    {
        std::lock_guard guard(mutex_);
        return std::exchange(held_, QByteArray("-"));
    }
    bool holding()
    {
        std::lock_guard guard(mutex_);
        return !held_.isEmpty() && held_ != "-";
    }

private:
    LpcSim &chip_;
    std::mutex mutex_;
    QByteArray held_;
};

} // namespace

class TestLpc : public QObject
{
    Q_OBJECT

private slots:
    // The entry for any part: each board's family written as its row says, through the window
    // with the crystal field and 校验; the flash holds the image, its valid-code word set.
    void anyPartDownload_data()
    {
        QTest::addColumn<LpcSim::Part>("part");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("verify");
        QTest::addColumn<QString>("crystal");
        QTest::addColumn<int>("checksumAt");
        QTest::addColumn<QByteArray>("verifyCommand"); // the command that verifies, if any
        QTest::newRow("LPC1768, M") << LpcSim::lpc1768() << 70000 << true << "12000" << 0x1C
                                    << QByteArray("M ");
        QTest::newRow("LPC845, one S") << LpcSim::lpc845() << 5003 << true << "12000" << 0x1C
                                       << QByteArray("S ");
        QTest::newRow("LPC812, unverified") << LpcSim::lpc812() << 3000 << false << "" << 0x1C
                                            << QByteArray();
        QTest::newRow("LPC1114") << LpcSim::lpc1114() << 9000 << true << "12000" << 0x1C
                                 << QByteArray("M ");
        QTest::newRow("LPC11U24") << LpcSim::lpc11u24() << 4100 << true << "12000.5" << 0x1C
                                  << QByteArray("M ");
        QTest::newRow("LPC1343") << LpcSim::lpc1343() << 300 << false << "12000" << 0x1C
                                 << QByteArray();
        QTest::newRow("LPC2378, default crystal") << LpcSim::lpc2378() << 40000 << true << ""
                                                  << 0x14 << QByteArray("M ");
        QTest::newRow("LPC2148") << LpcSim::lpc2148() << 9000 << false << "14745.6" << 0x14
                                 << QByteArray();
    }
    void anyPartDownload()
    {
        QFETCH(LpcSim::Part, part);
        QFETCH(int, size);
        QFETCH(bool, verify);
        QFETCH(QString, crystal);
        QFETCH(int, checksumAt);
        QFETCH(QByteArray, verifyCommand);
        LpcSim::Config config;
        config.part = part;
        config.oldContents = 0xFF;
        Rig r(config);
        r.select(testsupport::kLpcAnyEntry, testsupport::kBaud115200Index);
        r.main().CrystalEdit->setText(crystal);
        r.main().CheckBox9->setChecked(verify);
        const QByteArray image = pattern(size, 5);
        r.useFile(firmware::intelHexAt(image, 0, 64, false));
        QVERIFY(r.download(60000));
        QCOMPARE(r.ends, QList<bool>{true});
        QCOMPARE(r.sim.protocolErrors(), QStringList());
        QVERIFY(r.sim.wouldStartUserCode());
        QCOMPARE(r.sim.flash(0, size).remove(checksumAt, 4), QByteArray(image).remove(checksumAt, 4));
        // The any-part entry keeps the rate chosen: 115200.
        QCOMPARE(r.main().ComboBox2->currentIndex(), testsupport::kBaud115200Index);
        const QList<QByteArray> sent = hostLines(r.peer.received());
        QVERIFY(sent.contains(crystal.isEmpty() ? QByteArray("11059.2") : crystal.toLatin1()));
        const auto commands = r.sim.commands();
        const bool verified = std::any_of(commands.begin(), commands.end(), [&](const auto &c) {
            return c.line.startsWith("M ") || c.line.startsWith("S ");
        });
        QCOMPARE(verified, !verifyCommand.isEmpty());
        if (verified) {
            // M on every part without S, S only where the part has it.
            QVERIFY(std::all_of(commands.begin(), commands.end(), [&](const auto &c) {
                return !(c.line.startsWith("M ") || c.line.startsWith("S ")) ||
                       c.line.startsWith(verifyCommand);
            }));
        }
        QVERIFY(r.lines.contains(QStringLiteral("写入完成")));
        QVERIFY(std::any_of(r.lines.begin(), r.lines.end(), [](const QString &l) {
            return l.startsWith(QStringLiteral("器件: ")) && l.contains(QStringLiteral("Flash"));
        }));
        r.verifyIdle();
    }

    // A part no row knows and an image larger than the part end before anything is erased.
    void anyPartRefusedBeforeErase_data()
    {
        QTest::addColumn<LpcSim::Part>("part");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("reason");
        LpcSim::Part unknown = LpcSim::lpc1768();
        unknown.id = "123456";
        QTest::newRow("unknown id") << unknown << 4096
                                    << QStringLiteral("未知的器件ID: 123456 (0x0001E240)");
        unknown.id = "12x";
        QTest::newRow("id that is no number") << unknown << 4096
                                              << QStringLiteral("未知的器件ID: 12x (0x?)");
        QTest::newRow("image larger than the part")
            << LpcSim::lpc812() << 16 * 1024 + 4
            << QStringLiteral("文件太大: 映像 16388 字节，芯片 Flash 只有 16384 字节");
        QTest::newRow("image fits") << LpcSim::lpc812() << 16 * 1024 << QString();
    }
    void anyPartRefusedBeforeErase()
    {
        QFETCH(LpcSim::Part, part);
        QFETCH(int, size);
        QFETCH(QString, reason);
        LpcSim::Config config;
        config.part = part;
        Rig r(config);
        r.select(testsupport::kLpcAnyEntry, testsupport::kBaud57600Index);
        r.useImage(pattern(size, 9));
        QVERIFY(r.download(60000));
        QCOMPARE(r.ends, QList<bool>{reason.isEmpty()});
        QCOMPARE(r.sim.erasedSectors().isEmpty(), !reason.isEmpty());
        if (!reason.isEmpty())
            QVERIFY2(std::any_of(r.lines.begin(), r.lines.end(),
                                 [&](const QString &l) { return l.startsWith(reason); }),
                     qPrintable(r.lines.join('\n')));
        r.verifyIdle();
    }

    void writesTenThousandByteImage()
    {
        Rig r;
        const QByteArray image = pattern(10000);
        r.useImage(image);
        QList<int> progress;
        connect(r.main().ProgressBar1, &QProgressBar::valueChanged, this,
                [&](int v) { progress << v; });

        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(holdsImage(r.sim, image));
        // The last copy carries 0xFF past the image, not what RAM held from block 2.
        QCOMPARE(r.sim.flash(10000, 3 * 4096 - 10000), QByteArray(3 * 4096 - 10000, char(0xFF)));
        QCOMPARE(r.sim.protocolErrors(), QStringList());
        QCOMPARE(r.lpc().LpcSendCount(), 28);
        QCOMPARE(r.sim.checksumsAccepted(), 15);

        const QStringList expectedLines = {
            QStringLiteral("正在查找。。。"),
            QStringLiteral("已成功连接"),
            QStringLiteral("同步已建立"),
            QStringLiteral("波特率发送成功"),
            QStringLiteral("解锁成功"),
            QStringLiteral("CodeSize: 9 KB"),
            QStringLiteral("向量表校验和 0x%1 (写入地址 0x14)")
                .arg(QString::number(vectorBalance(image), 16).toUpper().rightJustified(8, u'0')),
            QStringLiteral("下载目标代码"),
            QStringLiteral("读器件ID成功:196387"),
            QStringLiteral("读Boot代码版本成功:2.1"),
            QStringLiteral("正在擦除。。。"),
            QStringLiteral("擦除成功"),
            QStringLiteral("开始写入。。。"),
            kDone,
        };
        QCOMPARE(r.lines, expectedLines);
        QCOMPARE(r.main().Memo1->toPlainText().split(QLatin1Char('\n')), expectedLines);
        QCOMPARE(r.main().Status(), kDone);
        QVERIFY(r.statuses.contains(QStringLiteral("已准备")));
        QVERIFY(r.statuses.contains(QStringLiteral("正在将RAM内容复制到Flash")));
        QCOMPARE(r.lpc().LpcPartId, QStringLiteral("196387"));
        QCOMPARE(r.lpc().LpcPartIdHint, QStringLiteral("SectorAmount: 14"));

        // Block 1 and 2 whole, then the 1808-byte remainder at 8192 filled to a whole block
        // (no copy count between 1024 and 4096), each block in the sector that layout B gives
        // it, each copy compared.
        const QStringList expectedItems = blockTokens(0, 0) + blockTokens(1, 1) + blockTokens(2, 2);
        QCOMPARE(writeTokens(r.peer.received()), expectedItems);

        const QList<QByteArray> start = hostLines(r.peer.received()).mid(0, 6);
        QCOMPARE(start,
                 (QList<QByteArray>{"?Synchronized", "11059.2", "U 23130", "A 0", "J", "K"}));
        QCOMPARE(r.sim.erasedSectors().size(), 15);

        // Progress: only while writing, never past the bar's end, full at the end.
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last(), 100);
        for (int v : progress)
            QVERIFY(v >= 0 && v <= 100);
        r.verifyIdle();
    }

    void refusalsSendItemAgain_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QList<int>>("occurrences"); // of the step, refused
        QTest::addColumn<QList<int>>("again");       // writeTokens index of each item sent again
        QTest::newRow("RESEND for the third data group")
            << int(LpcSim::Step::DataChecksum) << QList<int>{3} << QList<int>{3};
        QTest::newRow("error code for the first copy")
            << int(LpcSim::Step::Copy) << QList<int>{1} << QList<int>{7};
        QTest::newRow("error code for the second write command")
            << int(LpcSim::Step::WriteCommand) << QList<int>{2} << QList<int>{9};
        // The prepare before the erase is the first one.
        QTest::newRow("error code for the last prepare")
            << int(LpcSim::Step::Prepare) << QList<int>{4} << QList<int>{21};
        QTest::newRow("error code for the second compare")
            << int(LpcSim::Step::Compare) << QList<int>{2} << QList<int>{17};
        // Seven data groups refused three times each: 21 refusals in all, but every item is
        // accepted at its fourth sending, so each item's count starts again from zero.
        QList<int> occurrences, again;
        const int groups[] = {1, 2, 3, 4, 5, 10, 11};
        for (int k = 0; k < 7; ++k)
            for (int i = 0; i < 3; ++i) {
                occurrences << 4 * k + 1 + i;
                again << groups[k];
            }
        QTest::newRow("seven data groups RESENT three times each")
            << int(LpcSim::Step::DataChecksum) << occurrences << again;
    }
    void refusalsSendItemAgain()
    {
        QFETCH(int, step);
        QFETCH(QList<int>, occurrences);
        QFETCH(QList<int>, again);
        Rig r;
        for (const int occurrence : occurrences)
            r.sim.failAt(LpcSim::Step(step), Fault::Refuse, occurrence);
        const QByteArray image = pattern(8192 + 1000, 7);
        r.useImage(image);
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(holdsImage(r.sim, image));

        // The remainder of 1000 bytes goes as 1024, the smallest copy that holds it.
        QStringList expected = blockTokens(0, 0) + blockTokens(1, 1);
        expected << QStringLiteral("W 1073742336 1024") << QStringLiteral("20/900")
                 << QStringLiteral("3/124") << QStringLiteral("P 2 2")
                 << QStringLiteral("C 8192 1073742336 1024") << compareToken(8192, 1024);
        for (qsizetype i = again.size() - 1; i >= 0; --i)
            expected.insert(again[i], expected.at(again[i]));
        QCOMPARE(writeTokens(r.peer.received()), expected);
        if (LpcSim::Step(step) == LpcSim::Step::DataChecksum)
            QCOMPARE(r.sim.resendsSent(), occurrences.size());
        QCOMPARE(r.lines.last(), kDone);
    }

    void twentyRefusalsFailThenNextDownloadWorks_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("refusedItem");
        QTest::newRow("every copy refused")
            << int(LpcSim::Step::Copy) << QStringLiteral("C 0 1073742336 4096");
        QTest::newRow("every data group answered RESEND")
            << int(LpcSim::Step::DataChecksum) << QStringLiteral("20/900");
    }
    void twentyRefusalsFailThenNextDownloadWorks()
    {
        QFETCH(int, step);
        QFETCH(QString, refusedItem);
        Rig r;
        r.main().CheckBox2->setChecked(true);
        r.resetBoardOnDtr();
        r.sim.failAt(LpcSim::Step(step), Fault::Refuse, 0);
        const QByteArray image = pattern(4096, 3);
        r.useImage(image);
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{false});
        QCOMPARE(r.lines.last(), kFailed);
        QCOMPARE(r.main().Status(), kFailed);
        QCOMPARE(writeTokens(r.peer.received()).count(refusedItem), 20);
        r.verifyIdle();

        // The next download gets its own twenty tries, from its very first item: a refused
        // first write command is sent again.
        r.sim.clearFaults();
        r.sim.failAt(LpcSim::Step::WriteCommand, Fault::Refuse, 1);
        r.peer.clearLog();
        r.lines.clear();
        QVERIFY(r.download());
        QCOMPARE(r.ends, (QList<bool>{false, true}));
        QCOMPARE(r.lines.last(), kDone);
        QVERIFY(holdsImage(r.sim, image));
        QStringList expected = blockTokens(0, 0);
        expected.prepend(expected.first());
        QCOMPARE(writeTokens(r.peer.received()), expected);
    }

    void silentBoardTimesOut()
    {
        Rig r;
        r.peer.setSilent(true);
        r.useImage(pattern(100));
        QVERIFY(r.download(kCommTimeoutMs + 3000));
        const qint64 elapsed = r.startedAt.elapsed();
        QCOMPARE(r.ends, QList<bool>{false});
        QCOMPARE(r.lines, (QStringList{QStringLiteral("正在查找。。。"), kTimedOut}));
        QCOMPARE(r.main().Status(), kTimedOut);
        QVERIFY2(elapsed >= kCommTimeoutMs - 10 && elapsed <= kCommTimeoutMs + 1000,
                 qPrintable(QString::number(elapsed)));
        // "?" at the start and then every 300 ms.
        const qsizetype asked = r.peer.received().count('?');
        QVERIFY2(asked >= 20 && asked <= 30, qPrintable(QString::number(asked)));
        QCOMPARE(r.peer.received().count('?'), r.peer.received().size());
        r.verifyIdle();
    }

    void noiseBeforeSynchronized_data()
    {
        QTest::addColumn<QByteArray>("noise");
        QTest::newRow("a line of noise") << QByteArray("\x55\xAA junk\r\n");
        QTest::newRow("noise without a line end") << QByteArray("\x00\xFF\x13", 3);
        QTest::newRow("a lone line end") << QByteArray("\r\n");
    }
    void noiseBeforeSynchronized()
    {
        QFETCH(QByteArray, noise);
        LpcSim::Config c;
        c.syncNoise = noise;
        Rig r(c);
        const QByteArray image = pattern(300, 5);
        r.useImage(image);
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(holdsImage(r.sim, image));
    }

    void wrongSyncAnswers250TimesThenSynchronises()
    {
        Rig r;
        r.sim.setJunk(QByteArrayLiteral("Synchronised?!\r\n")); // 16 bytes, never accepted
        r.sim.failAt(LpcSim::Step::Autobaud, Fault::Junk, 0);
        qsizetype questionsAtMessage = -1;
        r.onLine = [&](const QString &l) {
            if (l != kNoContact || questionsAtMessage >= 0) return;
            questionsAtMessage = r.peer.received().count('?');
            r.sim.clearFaults(); // the board answers from now on
        };
        const QByteArray image = pattern(200, 9);
        r.useImage(image);
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(holdsImage(r.sim, image));
        QCOMPARE(r.lines.count(kNoContact), 1);
        QCOMPARE(r.lines.at(1), kNoContact);
        // 250 answers were looked at: the first "?" and 249 more, plus the 300 ms repeats.
        QVERIFY2(questionsAtMessage >= 250 && questionsAtMessage < 290,
                 qPrintable(QString::number(questionsAtMessage)));
        QVERIFY(r.statuses.contains(QStringLiteral("正在查找设备  \\")));
        QVERIFY(r.statuses.contains(QStringLiteral("正在查找设备  /")));
    }

    void unexpectedSetupAnswerEndsByTimeout_data()
    {
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("waitingStep");
        QTest::addColumn<QString>("status");
        QTest::newRow("junk after the crystal value")
            << int(LpcSim::Step::Frequency) << int(Fault::Junk) << int(LpcEngine::StepCrystal)
            << QStringLiteral("波特率发送失败");
        QTest::newRow("unlock refused")
            << int(LpcSim::Step::Unlock) << int(Fault::Refuse) << int(LpcEngine::StepUnlock)
            << QStringLiteral("波特率发送成功");
        QTest::newRow("part identification refused")
            << int(LpcSim::Step::PartId) << int(Fault::Refuse) << int(LpcEngine::StepPartId)
            << QStringLiteral("已准备");
        QTest::newRow("erase refused")
            << int(LpcSim::Step::Erase) << int(Fault::Refuse) << int(LpcEngine::StepErase)
            << QStringLiteral("正在擦除。。。");
    }
    void unexpectedSetupAnswerEndsByTimeout()
    {
        QFETCH(int, step);
        QFETCH(int, fault);
        QFETCH(int, waitingStep);
        QFETCH(QString, status);
        Rig r;
        r.sim.failAt(LpcSim::Step(step), Fault(fault));
        r.useImage(pattern(100));
        r.main().BitBtn1Click();
        QVERIFY(QTest::qWaitFor([&] { return r.lpc().LpcState == waitingStep; }, 5000));
        // The answer comes and goes; the step stays and the time-out keeps running.
        const QByteArray answer = fault == int(Fault::Junk) ? "\x55\xAA\r\n" : "11\r\n";
        QVERIFY(QTest::qWaitFor([&] { return r.peer.sentToHost().endsWith(answer); }, 5000));
        QTest::qWait(150);
        QCOMPARE(r.lpc().LpcState, waitingStep);
        QCOMPARE(r.main().Status(), status);
        QVERIFY(r.lpc().Timer1->isActive());
        QVERIFY(r.ends.isEmpty());

        r.lpc().Timer1->setInterval(100);
        QVERIFY(r.waitForEnd(0, 3000));
        r.lpc().Timer1->setInterval(kCommTimeoutMs);
        QCOMPARE(r.ends, QList<bool>{false});
        QCOMPARE(r.lines.last(), kTimedOut);
        r.verifyIdle();
    }

    void partIdSelectsLayout_data()
    {
        QTest::addColumn<LpcSim::Part>("part");
        QTest::addColumn<QString>("lastSector");
        QTest::addColumn<QList<int>>("sectors"); // of blocks 0..3
        QTest::addColumn<int>("image");          // bytes; the tail is 1..256 bytes
        QTest::addColumn<QByteArray>("lastCopy");
        const QList<int> b{0, 1, 2, 3};
        const QList<int> a{0, 0, 1, 1};
        LpcSim::Part big = LpcSim::lpc2136();
        big.id = "4293984018";
        // The LPC213x copy 256 bytes; the LPC22xx take 512 at least (the board refuses 256).
        const QByteArray c256 = "C 12288 1073742336 256", c512 = "C 12288 1073742336 512";
        QTest::newRow("LPC2131 196353: B") << LpcSim::lpc2131() << "7" << b << 12488 << c256;
        QTest::newRow("LPC2132 196369: B") << LpcSim::lpc2132() << "8" << b << 12488 << c256;
        QTest::newRow("LPC2136 196387: B") << LpcSim::lpc2136() << "14" << b << 12488 << c256;
        QTest::newRow("LPC2138 196389: B") << LpcSim::lpc2138() << "26" << b << 12488 << c256;
        QTest::newRow("4293984018: B") << big << "14" << b << 12488 << c512;
        QTest::newRow("LPC2214, not in the table: A")
            << LpcSim::lpc2214() << "16" << a << 12488 << c512;
        QTest::newRow("LPC2292, not in the table: A")
            << LpcSim::lpc2292() << "16" << a << 12288 + 256 << c512;
    }
    void partIdSelectsLayout()
    {
        QFETCH(LpcSim::Part, part);
        QFETCH(QString, lastSector);
        QFETCH(QList<int>, sectors);
        QFETCH(int, image);
        QFETCH(QByteArray, lastCopy);
        LpcSim::Config c;
        c.part = part;
        Rig r(c);
        const QByteArray bytes = pattern(image, 11);
        r.useImage(bytes);
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(holdsImage(r.sim, bytes));
        QCOMPARE(r.sim.protocolErrors(), QStringList());
        QCOMPARE(r.lpc().LpcPartId, QString::fromLatin1(part.id));
        QCOMPARE(r.lpc().LpcPartIdHint, QStringLiteral("SectorAmount: ") + lastSector);

        QList<QByteArray> commands;
        for (const LpcSim::Command &cmd : r.sim.commands())
            commands << cmd.line;
        QVERIFY(commands.contains("P 0 " + lastSector.toLatin1()));
        QVERIFY(commands.contains("E 0 " + lastSector.toLatin1()));
        QVERIFY(commands.contains(lastCopy));
        QList<int> prepared;
        for (const QByteArray &line : commands)
            if (line.startsWith("P ") && !line.startsWith("P 0 " + lastSector.toLatin1()))
                prepared << line.split(' ').at(1).toInt();
        QCOMPARE(prepared, sectors);
    }

    // What makes "written" trustworthy: a block the chip stored wrongly is found by the
    // compare, an image larger than the part is refused before the erase, and an image
    // without a vector table is written as it is.
    void trustChecks_data()
    {
        QTest::addColumn<LpcSim::Part>("part");
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<int>("wrongCopy"); // the copy the chip stores wrongly (0: none)
        QTest::addColumn<QStringList>("lastLines");
        QTest::addColumn<bool>("erased");
        const QByteArray threeBlocks = pattern(3 * 4096, 21);
        QTest::newRow("second block stored wrongly: its address")
            << LpcSim::lpc2136() << threeBlocks << 2
            << QStringList{QStringLiteral("比较失败: Flash 地址 0x00001104 的内容与写入的数据不同"),
                           kFailed}
            << true;
        QTest::newRow("first block stored wrongly behind the boot block")
            << LpcSim::lpc2136() << threeBlocks << 1
            << QStringList{QStringLiteral("比较失败: Flash 地址 0x00000104 的内容与写入的数据不同"),
                           kFailed}
            << true;
        QTest::newRow("40 KiB on LPC2131's 32 KiB: refused before the erase")
            << LpcSim::lpc2131() << pattern(40 * 1024, 22) << 0
            << QStringList{QStringLiteral("文件太大: 映像 40960 字节，芯片 Flash 只有 32768 字节"),
                           kFailed}
            << false;
        QTest::newRow("32 KiB on LPC2131 fits")
            << LpcSim::lpc2131() << pattern(32 * 1024, 23) << 0 << QStringList{kDone} << true;
        QTest::newRow("no vector table: written as it is, no checksum line")
            << LpcSim::lpc2136() << QByteArray(32, '\0') + pattern(300, 24) << 0
            << QStringList{QStringLiteral("CodeSize: 0 KB"), QStringLiteral("下载目标代码")}
            << true;
    }
    void trustChecks()
    {
        QFETCH(LpcSim::Part, part);
        QFETCH(QByteArray, image);
        QFETCH(int, wrongCopy);
        QFETCH(QStringList, lastLines);
        QFETCH(bool, erased);
        LpcSim::Config c;
        c.part = part;
        Rig r(c);
        // The wrong byte lies 260 bytes into the copy: behind the boot block in sector 0.
        if (wrongCopy > 0) r.sim.storeWrongly(wrongCopy, 260);
        r.useImage(image);
        QVERIFY(r.download());
        QVERIFY2(r.startedAt.elapsed() < kCommTimeoutMs, "ended by the time-out");
        const bool written = lastLines.last() != kFailed;
        QCOMPARE(r.ends, QList<bool>{written});
        QCOMPARE(!r.sim.erasedSectors().isEmpty(), erased);
        r.verifyIdle();
        if (lastLines.size() == 2 && lastLines.first().startsWith(QStringLiteral("CodeSize"))) {
            // No vector table: the image as it is, and no line about a checksum.
            QCOMPARE(r.sim.flash(0, image.size()), image);
            const qsizetype at = r.lines.indexOf(lastLines.first());
            QVERIFY(at >= 0);
            QCOMPARE(r.lines.at(at + 1), lastLines.last());
            QCOMPARE(r.lines.last(), kDone);
            return;
        }
        QCOMPARE(r.lines.mid(r.lines.size() - lastLines.size()), lastLines);
        if (written) {
            QVERIFY(holdsImage(r.sim, image));
            return;
        }
        if (wrongCopy > 0) {
            // Nothing is sent after the failed compare.
            const QStringList tokens = writeTokens(r.peer.received());
            QVERIFY(tokens.last().startsWith(QStringLiteral("M ")));
            QCOMPARE(tokens.count(QStringLiteral("W 1073742336 4096")), wrongCopy);
        }
        QCOMPARE(r.sim.protocolErrors(), QStringList());
    }

    void missingFileEndsAtOnce()
    {
        Rig r;
        r.main().Edit2->setText(r.env.root() + QStringLiteral("/absent.hex"));
        QVERIFY(r.download());
        QVERIFY(r.startedAt.elapsed() < 3000);
        QCOMPARE(r.ends, QList<bool>{false});
        // Checked before the port is opened, in the command line's words.
        const QString line = r.env.root() + QStringLiteral("/absent.hex: 文件不存在");
        QCOMPARE(r.lines.last(), line);
        QCOMPARE(r.main().Status(), line);
        QCOMPARE(r.peer.receivedCount(), 0);
        r.verifyIdle();
        QVERIFY(r.sim.erasedSectors().isEmpty());
        QTest::qWait(100);
        QCOMPARE(r.ends.size(), 1);
    }

    void refusedFileEndsAtOnce_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message"); // the line the refusal shows
        QTest::addColumn<bool>("damaged");    // refused by the programmer before its port
        QTest::newRow("data past 512000 bytes")
            << QByteArray(":020000040007F3\r\n:04E000000102030412\r\n:00000001FF\r\n")
            << QStringLiteral("文件太大，不能用于500K Flash的LPC ARM") << false;
        QTest::newRow("no data bytes")
            << QByteArray(":00000001FF\r\n") << QStringLiteral("文件中没有可下载的数据") << false;
        QTest::newRow("non-hex character") << QByteArray(":0400000001G203040E\r\n")
                                           << QStringLiteral("HEX文件格式错误: 第 1 行") << true;
        QTest::newRow("truncated record") << QByteArray(":10000000010203\r\n")
                                          << QStringLiteral("HEX文件记录不完整: 第 1 行") << true;
        QTest::newRow("byte count past the line")
            << QByteArray(":FF00000001\r\n") << QStringLiteral("HEX文件记录不完整: 第 1 行")
            << true;
    }
    void refusedFileEndsAtOnce()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        QFETCH(bool, damaged);
        Rig r;
        r.useFile(file);
        r.startedAt.start();
        r.main().BitBtn1Click();
        // The download button checks the file before the port is opened, as the command line
        // does, and names it.
        QCOMPARE(r.ends, QList<bool>{false});
        QCOMPARE(r.lines.size(), 1);
        QVERIFY2(r.lines[0].endsWith(QStringLiteral(": ") + message), qPrintable(r.lines[0]));
        QCOMPARE(r.peer.receivedCount(), 0);
        r.verifyIdle();
        if (damaged) {
            // Damaged after the download button looked at it: the programmer refuses it when
            // it reads it, at once and before anything is erased.
            r.main().LpcUp();
            QVERIFY(r.waitForEnd(1, 5000));
            QCOMPARE(r.ends, (QList<bool>{false, false}));
            QCOMPARE(r.lines.last(), message);
            QVERIFY(r.startedAt.elapsed() < kCommTimeoutMs);
            QVERIFY(r.sim.erasedSectors().isEmpty());
            r.verifyIdle();
            return;
        }
        // The programmer started without the button's check reads it once the part
        // identification has been answered and refuses it at once with its reason: no
        // time-out, nothing erased.
        r.main().LpcUp();
        QVERIFY(r.waitForEnd(1, 5000));
        QVERIFY(r.startedAt.elapsed() < kCommTimeoutMs);
        QCOMPARE(r.ends, (QList<bool>{false, false}));
        QVERIFY(!r.lpc().LpcImageLoaded);
        QCOMPARE(r.lines.last(), message);
        QVERIFY(!r.lines.contains(kTimedOut));
        QVERIFY(r.sim.erasedSectors().isEmpty());
        r.verifyIdle();
    }

    void nonNumericTimeoutFieldFails()
    {
        Rig r;
        r.useImage(pattern(500));
        r.main().Edit3->setText(QStringLiteral("x"));
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{false});
        QCOMPARE(r.lines.last(), kFailed);
        // The write command went out, no data line after it.
        QCOMPARE(writeTokens(r.peer.received()), QStringList{QStringLiteral("W 1073742336 512")});
        r.verifyIdle();
    }

    void portThatCannotBeOpened()
    {
        Rig r;
        r.env.mapPort(1, r.env.root() + QStringLiteral("/absent"));
        r.useImage(pattern(100));
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{false});
        QCOMPARE(r.env.messages.size(), 1);
        QCOMPARE(r.env.messages.first().caption, QStringLiteral("Tramelo"));
        // The only line is the reason, which the message area keeps after the box.
        const QString reason = r.env.root() + QStringLiteral("/absent: 串口不存在");
        QCOMPARE(r.lines, QStringList{QStringLiteral("串口打开失败：") + reason});
        QVERIFY(r.env.messages.first().text.endsWith(QStringLiteral("\n") + reason));
        r.verifyIdle();
    }

    void resetPulse_data()
    {
        QTest::addColumn<bool>("autoReset");
        QTest::newRow("automatic reset on") << true;
        QTest::newRow("automatic reset off") << false;
    }
    void resetPulse()
    {
        QFETCH(bool, autoReset);
        Rig r;
        r.main().CheckBox2->setChecked(autoReset);
        const QString path = r.peer.slavePath();
        using K = platform::SerialTraceEvent;
        QList<K> events;
        platform::setSerialTracer([&](const K &e) {
            if (e.kind == K::Dtr || e.kind == K::Rts || e.kind == K::Purge || e.kind == K::Write)
                events << e;
        });
        r.useImage(pattern(100));
        QVERIFY(r.download());
        platform::setSerialTracer(nullptr);
        QCOMPARE(r.ends, QList<bool>{true});

        // Opening the port writes the line settings (DTR and RTS low) and purges; the pulse
        // lies between that and the first "?".
        qsizetype firstWrite = 0;
        while (firstWrite < events.size() && events[firstWrite].kind != K::Write)
            ++firstWrite;
        QVERIFY(firstWrite < events.size());
        QCOMPARE(events[firstWrite].data, QByteArray("?"));
        qsizetype opened = firstWrite;
        while (opened > 0 && events[opened - 1].kind != K::Purge)
            --opened;
        QVERIFY(opened > 0);
        const QList<K> pulse = events.mid(opened, firstWrite - opened);
        for (const K &e : pulse)
            QCOMPARE(e.path, path);
        for (qsizetype i = firstWrite; i < events.size(); ++i)
            QCOMPARE(events[i].kind, K::Write); // no line changes while the download runs
        if (!autoReset) {
            QVERIFY(pulse.isEmpty());
            return;
        }
        QCOMPARE(pulse.size(), 3);
        QCOMPARE(pulse[0].kind, K::Rts);
        QVERIFY(pulse[0].on);
        QCOMPARE(pulse[1].kind, K::Dtr);
        QVERIFY(pulse[1].on);
        QCOMPARE(pulse[2].kind, K::Dtr);
        QVERIFY(!pulse[2].on);
        QVERIFY(pulse[1].msecs - pulse[0].msecs >= 50);
        QVERIFY(pulse[2].msecs - pulse[1].msecs >= 300);
    }

    void automaticRedownloadMinimisesOnSuccessOnly_data()
    {
        QTest::addColumn<bool>("succeed");
        QTest::newRow("completed") << true;
        QTest::newRow("failed") << false;
    }
    void automaticRedownloadMinimisesOnSuccessOnly()
    {
        QFETCH(bool, succeed);
        Rig r;
        if (!succeed) r.sim.failAt(LpcSim::Step::Copy, Fault::Refuse, 0);
        r.useImage(pattern(100));
        r.main().show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.main()));
        // As when a changed file started the download: on top, and the change already seen.
        r.main().SetStayOnTop(true);
        r.main().LastFileTime = r.main().FormattedFileTime(r.main().Edit2->text());
        r.main().CheckBox1->setChecked(true);
        QVERIFY(r.download());
        r.main().CheckBox1->setChecked(false);
        QCOMPARE(r.ends, QList<bool>{succeed});
        QCOMPARE(r.main().StayOnTop(), !succeed);
        QCOMPARE(r.main().isMinimized(), succeed);
    }

    void bootVersionInTwoParts()
    {
        Rig r;
        HeldBootVersion device(r.sim);
        r.peer.attach(&device);
        const auto detach = qScopeGuard([&] { r.peer.attach(nullptr); });
        QTimer release;
        int ticks = 0;
        connect(&release, &QTimer::timeout, this, [&] {
            // Long after the first part was polled: release the major number.
            if (device.holding() && ++ticks == 5) r.peer.send(device.take());
        });
        release.start(20);
        const QByteArray image = pattern(100);
        r.useImage(image);
        QVERIFY(r.download());
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(r.lines.contains(QStringLiteral("读Boot代码版本成功:2.1")));
        QVERIFY(holdsImage(r.sim, image));
    }

    void answersTrickleInAtLowRate()
    {
        Rig r;
        r.peer.setPacing(10, 1200);
        const QByteArray image = pattern(96, 13);
        r.useImage(image);
        QVERIFY(r.download(30000));
        QCOMPARE(r.ends, QList<bool>{true});
        QVERIFY(holdsImage(r.sim, image));
        QCOMPARE(r.sim.protocolErrors(), QStringList());
        QVERIFY(r.lines.contains(QStringLiteral("读Boot代码版本成功:2.1")));
    }
};

QTEST_MAIN(TestLpc)
#include "tst_lpc.moc"
