// Firmware files that are not what they should be, given to each programmer through the
// window: empty files, data placed far beyond the flash by an extended address record, a
// 200 MB file, a directory, a named pipe, a file that cannot be read and (STC, whose decoding
// library reads only a text that begins with a record) a blank first line; and one table over
// the three families, through the window and the command line, of damaged HEX files (binary
// junk named .hex, characters that are not hexadecimal digits, a record cut short, a byte
// count far beyond the data, no end-of-file record, a checksum that does not match, a NUL
// byte, records of letters, a loop of symbolic links) and of the line ends every family
// reads alike (CR only, no line breaks at all).
//
// Each family answers with its message, never crashes, never writes what the file does not
// hold, and never blocks the window: the event loop must run at least once a second
// throughout, and the file must be loaded within a second of the moment the programmer
// reaches for it. A damaged file is refused before the port is opened: the board hears
// nothing.
#include "engines/LpcEngine.h"
#include "app/Main.h"
#include "engines/Stm32Engine.h"
#include "engines/StcEngine.h"
#include "serial/SPComm.h"

#include "platform/PortNames.h"
#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <QtEndian>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include <sys/stat.h>

using testenv::TestEnv;
using namespace testsupport;

namespace {

constexpr qint64 kMaxFreezeMs = 1000;
constexpr qint64 kHugeFileSize = qint64(200) * 1024 * 1024;
constexpr int kLpcTimeoutMs = 8000;

const QString kStmLoading = QStringLiteral("加载文件。。。");
const QString kStmEmpty = QStringLiteral("文件中没有可下载的数据");
const QString kLpcEmpty = QStringLiteral("文件中没有可下载的数据");
const QString kLpcTooLarge = QStringLiteral("文件太大，不能用于500K Flash的LPC ARM");
const QString kLpcMissing = QStringLiteral("文件不存在");
const QString kStcNoData = QStringLiteral("文件中没有可上载的数据 ！");
const QString kStcNoFile = QStringLiteral("上载文件不存在 ！");

// The lines of an LPC attempt up to the part identification, which loads the file.
const QStringList kLpcUpToPartId = {QStringLiteral("正在查找。。。"), QStringLiteral("已成功连接"),
                                    QStringLiteral("同步已建立"), QStringLiteral("波特率发送成功"),
                                    QStringLiteral("解锁成功")};

enum class BadFile {
    Empty,
    Junk,          // an executable's bytes, named .hex
    BadCharacters, // the middle record holds 'G' and 'Z' among its data digits
    TruncatedLine, // the file ends in the middle of a record
    HugeByteCount, // count FF, five data bytes
    NoEndRecord,   // three good records and no end-of-file record
    BadChecksum,   // the middle record's checksum does not match
    NulByte,       // a NUL byte between the first and the second record
    LetterRecords, // records of the right length made of letters that are no hex digits
    CrLineEnds,    // a good file with CR alone ending each line
    NoLineBreaks,  // a good file with its records one after the other on one line
    SymlinkLoop,   // two symbolic links naming each other
    BlankFirst,    // a good file after a blank line
    AddressRam,    // 04 record 0x2000, then data
    AddressTop,    // 04 record 0xFFFF, then data
    Huge,          // 200 MB (sparse)
    Directory,
    Fifo,       // a named pipe nobody writes to: opening it to read would wait for ever
    Unreadable, // a good file without read permission
};

// Reproducible image bytes without 0x00, so an STC image is never cut short.
const auto pattern = firmware::patternWithoutZero;

const QByteArray kFirst = pattern(16, 1); // at 0x0000
const QByteArray kThird = pattern(16, 3); // at 0x0020

// At 0x0010: with kFirst, the eight 32-bit words from address 0 sum to zero, as an LPC2000
// boot loader wants of an image it starts, so any family writes these bytes as they are.
QByteArray balancedSecond()
{
    QByteArray second = pattern(16, 2);
    const QByteArray words = kFirst + second;
    quint32 sum = 0;
    for (int w = 0; w < 8; ++w)
        if (w != 5) sum += qFromLittleEndian<quint32>(words.constData() + 4 * w);
    qToLittleEndian<quint32>(quint32(0) - sum, second.data() + 4);
    return second;
}
const QByteArray kSecond = balancedSecond();
const QByteArray kGoodImage = kFirst + kSecond + kThird;
QByteArray goodHex()
{
    return firmware::hexRecord(0, 0x0000, kFirst) + firmware::hexRecord(0, 0x0010, kSecond) +
           firmware::hexRecord(0, 0x0020, kThird) + firmware::kEndOfFile;
}
// The middle record at 0x0010: fourteen good bytes, then "GZ" and "10".
const QByteArray kBadRecord = ":100010000102030405060708090A0B0C0D0EGZ1077\r\n";
// The start of a record at 0x0010 whose data the file's end cuts after four bytes.
const QByteArray kCutRecord = ":1000100011223344";
const QByteArray kJunk = QByteArray::fromHex("7F454C4602010100") + pattern(4096, 9);

QByteArray contentOf(BadFile kind)
{
    switch (kind) {
    case BadFile::Empty:
    case BadFile::Huge:
    case BadFile::Directory:
    case BadFile::Fifo:
        return {};
    case BadFile::Junk:
        return kJunk;
    case BadFile::BadCharacters:
        return firmware::hexRecord(0, 0x0000, kFirst) + kBadRecord +
               firmware::hexRecord(0, 0x0020, kThird) + firmware::kEndOfFile;
    case BadFile::TruncatedLine:
        return firmware::hexRecord(0, 0x0000, kFirst) + kCutRecord;
    case BadFile::HugeByteCount:
        return ":FF0000000102030405\r\n" + firmware::kEndOfFile;
    case BadFile::NoEndRecord:
        return QByteArray(goodHex()).replace(firmware::kEndOfFile, "");
    case BadFile::BadChecksum: {
        QByteArray second = firmware::hexRecord(0, 0x0010, kSecond);
        second[second.size() - 3] = second[second.size() - 3] == '0' ? '1' : '0';
        return firmware::hexRecord(0, 0x0000, kFirst) + second +
               firmware::hexRecord(0, 0x0020, kThird) + firmware::kEndOfFile;
    }
    case BadFile::NulByte:
        return firmware::hexRecord(0, 0x0000, kFirst) + QByteArray(1, '\0') +
               firmware::hexRecord(0, 0x0010, kSecond) + firmware::kEndOfFile;
    case BadFile::LetterRecords:
        return ":10000000QRSTUVWXYZQRSTUVWXYZQRSTUVWXYZQRZZ\r\n"
               ":10001000WXYZQRSTUVWXYZQRSTUVWXYZQRSTUVZZ\r\n" +
               firmware::kEndOfFile;
    case BadFile::CrLineEnds:
        return QByteArray(goodHex()).replace("\r\n", "\r");
    case BadFile::NoLineBreaks:
        return QByteArray(goodHex()).replace("\r\n", "");
    case BadFile::SymlinkLoop:
        return {};
    case BadFile::BlankFirst:
        return "\r\n" + goodHex();
    case BadFile::AddressRam:
        return firmware::linearBase(0x2000) + firmware::hexRecord(0, 0, kFirst) +
               firmware::kEndOfFile;
    case BadFile::AddressTop:
        return firmware::linearBase(0xFFFF) + firmware::hexRecord(0, 0, kFirst) +
               firmware::kEndOfFile;
    case BadFile::Unreadable:
        return firmware::hexRecord(0, 0x0000, kFirst) + firmware::kEndOfFile;
    }
    return {};
}

// Makes the file in dir. Empty when it could not be made; for Unreadable, *readable tells
// whether this process can read it all the same (root can).
QString makeBadFile(const QString &dir, BadFile kind, const QString &name, bool *readable = nullptr)
{
    const QString path = dir + QLatin1Char('/') + name;
    if (kind == BadFile::Directory) return QDir().mkpath(path) ? path : QString();
    if (kind == BadFile::Fifo)
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0 ? path : QString();
    if (kind == BadFile::SymlinkLoop) {
        const QString other = path + QStringLiteral(".other");
        return QFile::link(other, path) && QFile::link(path, other) ? path : QString();
    }
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(contentOf(kind));
    if (kind == BadFile::Huge && !f.resize(kHugeFileSize)) return {}; // sparse: nothing written
    f.close();
    if (kind == BadFile::Unreadable) {
        if (!f.setPermissions(QFileDevice::Permissions())) return {};
        QFile probe(path);
        if (readable) *readable = probe.open(QIODevice::ReadOnly);
    }
    return path;
}

// One file given to the LPC programmer and what it must end with.
struct LpcCase
{
    const char *name;
    BadFile kind;
    QString fileName;
    QString message; // "" = dropped without a message
    QString end;     // the attempt's last line after the message ("": the message ends it)
};

// One window and one simulated board on COM1.
template <typename Board> struct Rig : testsupport::BoardRig<Board>
{
    explicit Rig(int entry)
    {
        this->select(entry, kBaud115200Index);
        TMainForm &m = this->main();
        m.MCUTypeChange();
        m.ComboBox6->setCurrentIndex(0);
        // STC: the connect time-out, counted by a timer that ticks from the controller's
        // creation on, so its first second may be cut short.
        m.Edit3->setText(QStringLiteral("3"));
        this->setAutomaticReset(false);
        this->onLine = [this](const QString &) { lineMs << this->clock.elapsed(); };
        this->onEnd = [this](DownloadResult result) {
            ends << (result == DownloadResult::Written);
        };
    }

    bool waitEnd(int ms)
    {
        return QTest::qWaitFor([this] { return !ends.isEmpty(); }, ms);
    }
    // Time from the line `before` to the line after it.
    qint64 msAfterLine(const QString &before) const
    {
        const qsizetype i = this->lines.indexOf(before);
        return i >= 0 && i + 1 < lineMs.size() ? lineMs[i + 1] - lineMs[i] : -1;
    }

    QList<qint64> lineMs;
    QList<bool> ends;
};

// Gives the file to one family's programmer through the window and checks the end: refused
// at once with the line and nothing sent, or written whole.
template <typename Board>
void downloadThroughWindow(int entry, BadFile kind, const QString &refusal,
                           const std::function<QByteArray(const Board &, qsizetype)> &flashOf)
{
    Rig<Board> rig(entry);
    // STC: a connect time-out that a loaded machine does not reach.
    rig.main().Edit3->setText(QStringLiteral("10"));
    const QString path = makeBadFile(rig.env.root(), kind, QStringLiteral("fw.hex"));
    QVERIFY(!path.isEmpty());
    rig.start(path);
    QVERIFY(rig.waitEnd(30000));
    QTest::qWait(20); // a second end would show here
    TMainForm &m = rig.main();
    if (refusal.isEmpty()) {
        QVERIFY2(rig.results == QList<DownloadResult>{DownloadResult::Written},
                 qPrintable(rig.lines.join(QStringLiteral(" | "))));
        QCOMPARE(flashOf(rig.sim, kGoodImage.size()), kGoodImage);
    } else {
        QCOMPARE(rig.results, QList<DownloadResult>{DownloadResult::RefusedFile});
        // (STM32 and LPC: in the command line's words, naming the file.)
        QCOMPARE(rig.lines.size(), 1);
        QVERIFY2(rig.lines[0].endsWith(refusal), qPrintable(rig.lines[0]));
        QCOMPARE(rig.peer.receivedCount(), 0); // the port was never opened
    }
    QVERIFY(m.BitBtn1->isEnabled());
    QVERIFY(!m.ComDriver->Connected());
    QVERIFY(!rig.windows.stc->ComPort1->IsOpen());
    QCOMPARE(rig.sim.protocolErrors(), QStringList());
}

} // namespace

Q_DECLARE_METATYPE(BadFile)

class TestBadFiles : public QObject
{
    Q_OBJECT

private slots:
    // STM32: a refused file ends the attempt at once with its reason, before anything is
    // erased.
    void stm32_data()
    {
        QTest::addColumn<BadFile>("kind");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("empty .hex") << BadFile::Empty << "empty.hex" << kStmEmpty;
        QTest::newRow("empty .bin") << BadFile::Empty << "empty.bin" << kStmEmpty;
        QTest::newRow("04 record 0x2000: data in RAM")
            << BadFile::AddressRam << "ram.hex"
            << QStringLiteral("HEX文件的地址超出Flash范围: 0x20000000");
        QTest::newRow("04 record 0xFFFF: data at the top of the address space")
            << BadFile::AddressTop << "top.hex"
            << QStringLiteral("HEX文件的地址超出Flash范围: 0xFFFF0000");
        QTest::newRow("200 MB .hex")
            << BadFile::Huge << "huge.hex" << QStringLiteral("文件太大，不能用于2048K Flash");
        QTest::newRow("200 MB .bin")
            << BadFile::Huge << "huge.bin" << QStringLiteral("文件太大，不能超过2048 KB");
        QTest::newRow("a directory")
            << BadFile::Directory << "firmware.bin" << QStringLiteral("所选的不是文件");
        QTest::newRow("a named pipe")
            << BadFile::Fifo << "pipe.hex" << QStringLiteral("所选的不是文件");
        QTest::newRow("no read permission")
            << BadFile::Unreadable << "locked.hex" << QStringLiteral("文件无法读取");
    }

    void stm32()
    {
        QFETCH(BadFile, kind);
        QFETCH(QString, fileName);
        QFETCH(QString, refusal);

        Rig<sim::Stm32Sim> rig(kStm32Entry);
        bool readable = false;
        const QString path = makeBadFile(rig.env.root(), kind, fileName, &readable);
        QVERIFY(!path.isEmpty());
        if (kind == BadFile::Unreadable && readable)
            QSKIP("this process reads files without read permission (root); nothing to refuse");
        FreezeWatch freeze;
        rig.start(path);
        QVERIFY(rig.waitEnd(10000));
        QTest::qWait(20); // a second end would show here

        // The download button checks the file before the port is opened, as the command line
        // checks it: one line names the file and why, and the board hears nothing.
        QCOMPARE(rig.ends, QList<bool>{false});
        QCOMPARE(rig.lines.size(), 1);
        QVERIFY2(rig.lines[0].startsWith(path + QStringLiteral(": ")) &&
                     (rig.lines[0].endsWith(refusal) || kind == BadFile::Directory ||
                      kind == BadFile::Fifo),
                 qPrintable(rig.lines[0]));
        QCOMPARE(rig.statuses.last(), rig.lines[0]);
        QCOMPARE(rig.peer.receivedCount(), 0);
        QVERIFY(rig.sim.erasedPages().isEmpty()); // nothing erased
        TMainForm &m = rig.main();
        QVERIFY(m.BitBtn1->isEnabled());
        QVERIFY(!m.ComDriver->Connected());
        QVERIFY(!m.Stm32->running());
        QVERIFY(!m.Stm32->OvertimeT->isActive());
        QCOMPARE(m.ProgressBar1->value(), 0);
        QCOMPARE(rig.sim.protocolErrors(), QStringList());
        QVERIFY2(freeze.worstMs() < kMaxFreezeMs, qPrintable(QString::number(freeze.worstMs())));
    }

    // STC: a file the decoding library cannot read as it is meant, or that leaves no data
    // within the 64 KiB image, is refused before the port is opened.
    void stc_data()
    {
        QTest::addColumn<BadFile>("kind");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("empty file") << BadFile::Empty << "empty.hex" << kStcNoData;
        // The library reads only a text that begins with a record.
        QTest::newRow("blank line before the first record")
            << BadFile::BlankFirst << "blank.hex" << QStringLiteral("HEX文件格式错误: 第 1 行");
        QTest::newRow("04 record 0x2000: nothing within 64 KiB")
            << BadFile::AddressRam << "ram.hex" << kStcNoData;
        QTest::newRow("04 record 0xFFFF: nothing within 64 KiB")
            << BadFile::AddressTop << "top.hex" << kStcNoData;
        QTest::newRow("200 MB file")
            << BadFile::Huge << "huge.hex" << QStringLiteral("HEX文件太大，不能超过 64 MB");
        QTest::newRow("a directory") << BadFile::Directory << "firmware.hex" << kStcNoFile;
        QTest::newRow("a named pipe") << BadFile::Fifo << "pipe.hex" << kStcNoFile;
        QTest::newRow("no read permission")
            << BadFile::Unreadable << "locked.hex" << QStringLiteral("文件无法读取");
    }

    void stc()
    {
        QFETCH(BadFile, kind);
        QFETCH(QString, fileName);
        QFETCH(QString, refusal);

        Rig<sim::StcSim> rig(kStc89C52Entry);
        bool readable = false;
        const QString path = makeBadFile(rig.env.root(), kind, fileName, &readable);
        QVERIFY(!path.isEmpty());
        if (kind == BadFile::Unreadable && readable)
            QSKIP("this process reads files without read permission (root); nothing to refuse");
        FreezeWatch freeze;
        rig.start(path);
        QVERIFY(rig.waitEnd(15000));

        // The file is decoded, or refused, within a second of the press of the button.
        QVERIFY(!rig.lines.isEmpty());
        QVERIFY2(rig.lineMs.first() < kMaxFreezeMs,
                 qPrintable(QString::number(rig.lineMs.first())));
        TMainForm &m = rig.main();
        QCOMPARE(rig.lines, QStringList{refusal});
        QCOMPARE(rig.ends, QList<bool>{false});
        QCOMPARE(rig.peer.receivedCount(), 0); // the port was never opened
        QVERIFY(!rig.windows.stc->ComPort1->IsOpen());
        QVERIFY(m.BitBtn1->isEnabled());
        QVERIFY(m.BitBtn2->isEnabled());
        QVERIFY(m.Memo1->isEnabled());
        QCOMPARE(rig.sim.protocolErrors(), QStringList());
        QVERIFY2(freeze.worstMs() < kMaxFreezeMs, qPrintable(QString::number(freeze.worstMs())));
    }

    // LPC: the file is loaded when the part identification arrives. A file without data or
    // too large for the flash ends the attempt at once with its message (no time-out first),
    // and nothing is erased; so does a directory, which is no file. The files run side by
    // side, each in a window of its own with its own board.
    void lpc()
    {
        TestEnv env;
        const QList<LpcCase> cases = {
            {"empty file", BadFile::Empty, "empty.hex", kLpcEmpty, {}},
            {"04 record 0x2000", BadFile::AddressRam, "ram.hex", kLpcTooLarge, {}},
            {"04 record 0xFFFF", BadFile::AddressTop, "top.hex", kLpcTooLarge, {}},
            {"200 MB file", BadFile::Huge, "huge.hex", kLpcTooLarge, {}},
            {"a directory", BadFile::Directory, "firmware.hex", {}, kLpcMissing},
            {"a named pipe", BadFile::Fifo, "pipe.hex", {}, kLpcMissing},
        };
        runLpcCases(env, cases);
    }

    void lpcUnreadableFile()
    {
        TestEnv env;
        bool readable = false;
        QVERIFY(!makeBadFile(env.root(), BadFile::Unreadable, "probe.hex", &readable).isEmpty());
        if (readable)
            QSKIP("this process reads files without read permission (root); nothing to refuse");
        // Refused at the part identification, at once.
        runLpcCases(env, {{"no read permission",
                           BadFile::Unreadable,
                           "locked.hex",
                           QStringLiteral("文件无法读取"),
                           {}}});
    }

    // Damaged HEX files are refused by every family before its port is opened, naming the
    // line: through the window the attempt ends at once (RefusedFile) and the board hears
    // nothing; the command line exits 2 with the reason and the board hears nothing either.
    // Files whose records end at CR alone or at the next ':' are written whole by every family.
    void damagedHexFiles_data()
    {
        QTest::addColumn<BadFile>("kind");
        QTest::addColumn<QString>("refusal");   // the window's line; "" = written
        QTest::addColumn<QString>("cliReason"); // the command line's reason

        const auto damaged = [](const char *name, BadFile kind, const QString &text) {
            QTest::newRow(name) << kind << text << text;
        };
        damaged("binary junk named .hex", BadFile::Junk,
                QStringLiteral("HEX文件格式错误: 第 1 行"));
        damaged("characters that are no hex digits", BadFile::BadCharacters,
                QStringLiteral("HEX文件格式错误: 第 2 行"));
        damaged("records of letters", BadFile::LetterRecords,
                QStringLiteral("HEX文件格式错误: 第 1 行"));
        damaged("a NUL byte between records", BadFile::NulByte,
                QStringLiteral("HEX文件格式错误: 第 2 行"));
        damaged("file cut inside a record", BadFile::TruncatedLine,
                QStringLiteral("HEX文件记录不完整: 第 2 行"));
        damaged("byte count FF with five data bytes", BadFile::HugeByteCount,
                QStringLiteral("HEX文件记录不完整: 第 1 行"));
        damaged("no end-of-file record", BadFile::NoEndRecord,
                QStringLiteral("HEX文件没有结束记录: 文件止于第 3 行"));
        damaged("checksum does not match", BadFile::BadChecksum,
                QStringLiteral("HEX文件校验和错误: 第 2 行"));
        QTest::newRow("symbolic links in a loop")
            << BadFile::SymlinkLoop << QStringLiteral("文件路径中的符号链接形成循环")
            << QStringLiteral("文件路径中的符号链接形成循环");
        QTest::newRow("CR line ends: written") << BadFile::CrLineEnds << QString() << QString();
        QTest::newRow("no line breaks: written") << BadFile::NoLineBreaks << QString() << QString();
    }

    void damagedHexFiles()
    {
        QFETCH(BadFile, kind);
        QFETCH(QString, refusal);
        QFETCH(QString, cliReason);

        downloadThroughWindow<sim::Stm32Sim>(kStm32Entry, kind, refusal,
                                             [](const sim::Stm32Sim &b, qsizetype n) {
                                                 return b.flash(sim::Stm32Sim::kFlashBase, n);
                                             });
        if (QTest::currentTestFailed()) return;
        downloadThroughWindow<sim::LpcSim>(
            kLpc2136Entry, kind, refusal,
            [](const sim::LpcSim &b, qsizetype n) { return b.flash(0, n); });
        if (QTest::currentTestFailed()) return;
        downloadThroughWindow<sim::StcSim>(
            kStc89C52Entry, kind, refusal,
            [](const sim::StcSim &b, qsizetype n) { return b.flash(0, n); });
        if (QTest::currentTestFailed() || refusal.isEmpty()) return;

        // The command line, the three families side by side.
        TestEnv env;
        const QString path = makeBadFile(env.root(), kind, QStringLiteral("fw.hex"));
        QVERIFY(!path.isEmpty());
        struct Run
        {
            const char *device = nullptr;
            PtyPeer peer;
            QProcess process;
        };
        std::array<Run, 3> runs;
        runs[0].device = "stm32";
        runs[1].device = "lpc2136";
        runs[2].device = "stc89c52rc";
        for (Run &r : runs) {
            r.process.setProcessChannelMode(QProcess::SeparateChannels);
            r.process.start(QStringLiteral(TRAMELO_BINARY),
                            {QStringLiteral("download"), QStringLiteral("--device"),
                             QString::fromLatin1(r.device), QStringLiteral("--port"),
                             r.peer.slavePath(), QStringLiteral("--no-reset"), path});
        }
        for (Run &r : runs) {
            QVERIFY2(r.process.waitForFinished(15000), r.device);
            const QString err = QString::fromUtf8(r.process.readAllStandardError());
            QVERIFY2(r.process.exitStatus() == QProcess::NormalExit && r.process.exitCode() == 2,
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(r.device), err)));
            QVERIFY2(err.contains(QStringLiteral("tramelo: %1: %2").arg(path, cliReason)),
                     qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(r.device), err)));
            QCOMPARE(r.peer.receivedCount(), 0);
        }
    }

private:
    static void runLpcCases(TestEnv &env, const QList<LpcCase> &cases)
    {
        struct Lane
        {
            const LpcCase *c = nullptr;
            sim::LpcSim board;
            PtyPeer peer;
            ApplicationWindows windows;
            QStringList lines;
            QList<bool> ends;
        };
        std::vector<std::unique_ptr<Lane>> lanes;
        FreezeWatch freeze;
        for (const LpcCase &c : cases) {
            auto lane = std::make_unique<Lane>();
            Lane *self = lane.get();
            lane->c = &c;
            lane->peer.attach(&lane->board);
            lane->windows = CreateApplicationWindows();
            TMainForm &m = *lane->windows.main;
            m.MCUType->setCurrentIndex(kLpc2136Entry);
            m.MCUTypeChange();
            m.ComboBox1->setCurrentIndex(0);
            m.ComboBox2->setCurrentIndex(kBaud57600Index);
            m.Edit3->setText(QStringLiteral("1"));
            m.CheckBox2->setChecked(false);
            m.CheckBox2Click();
            m.OnLine = [self](const QString &line) { self->lines << line; };
            m.OnDownloadEnded = [self](DownloadResult result) {
                const bool ok = result == DownloadResult::Written;
                self->ends << ok;
            };
            const QString path = makeBadFile(env.root(), c.kind, c.fileName);
            QVERIFY2(!path.isEmpty(), c.name);
            m.Edit2->setText(path);
            // COM1 names this lane's pty while its port is opened.
            platform::setPortAlias(QStringLiteral("COM1"), lane->peer.slavePath());
            m.BitBtn1->click();
            lanes.push_back(std::move(lane));
        }
        platform::setPortAlias(QStringLiteral("COM1"), QString());
        const bool ended = QTest::qWaitFor(
            [&] {
                return std::all_of(lanes.begin(), lanes.end(),
                                   [](const auto &l) { return !l->ends.isEmpty(); });
            },
            kLpcTimeoutMs + 5000);
        QTest::qWait(20);
        QVERIFY(ended);
        for (const auto &lanePtr : lanes) {
            Lane &lane = *lanePtr;
            const LpcCase &c = *lane.c;
            // Checked by the download button before the port is opened, as the command line
            // checks it, naming the file and, where the programmer has words for it, why.
            QVERIFY2(lane.lines.size() == 1 &&
                         lane.lines[0].contains(QStringLiteral("/%1: ").arg(c.fileName)) &&
                         (c.message.isEmpty() || lane.lines[0].endsWith(c.message)),
                     qPrintable(QStringLiteral("%1: %2").arg(c.name, lane.lines.join(" | "))));
            QVERIFY2(lane.ends == QList<bool>{false}, c.name);
            // Nothing was erased or written.
            for (const sim::LpcSim::Command &cmd : lane.board.commands())
                QVERIFY2(!cmd.line.startsWith('P') && !cmd.line.startsWith('E') &&
                             !cmd.line.startsWith('W'),
                         qPrintable(QStringLiteral("%1: %2").arg(c.name, cmd.line)));
            TMainForm &m = *lane.windows.main;
            const LpcEngine &l = *lane.windows.lpc;
            QVERIFY2(m.BitBtn1->isEnabled(), c.name);
            QVERIFY2(!m.ComDriver->Connected() && !m.ComPortActive, c.name);
            QVERIFY2(!l.Timer1->isActive() && !l.Timer2->isActive() && !l.Timer3->isActive() &&
                         !l.running(),
                     c.name);
            QVERIFY2(!l.LpcImageLoaded, c.name);
            QVERIFY2(lane.board.protocolErrors().isEmpty(), c.name);
        }
        QVERIFY2(freeze.worstMs() < kMaxFreezeMs, qPrintable(QString::number(freeze.worstMs())));
        for (auto &lanePtr : lanes) {
            lanePtr->windows = {};
            lanePtr->peer.attach(nullptr);
        }
    }
};

QTEST_MAIN(TestBadFiles)
#include "tst_badfiles.moc"
