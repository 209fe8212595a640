// The download page: the speed button per device entry, the download port and baud lists as
// mirrors of the terminal's, the file button, the automatic reset box, and the automatic
// re-download when the firmware file changes (size or modification time) and has settled,
// driven end to end with the STM32 programmer against the simulated boot loader on a
// pseudo-terminal.
#include "app/Main.h"

#include "app/Ui.h"
#include "logic/Devices.h"
#include "platform/SerialPort.h"
#include "sim/StcSeriesSim.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/SerialTrace.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>

using sim::Stm32Sim;
Q_DECLARE_METATYPE(sim::StcSeriesSim::Config)
using testenv::TestEnv;
using testsupport::waitUntil;

namespace {

constexpr quint32 kFlash = 0x08000000;
using testsupport::kStm32Entry;
const QString kSearching = QStringLiteral("正在查找设备。。。");
const QString kDone = QStringLiteral("上载完成！");

using firmware::pattern;

// A whole settings store with automatic re-download on, automatic reset off, the STM32 entry
// and the given firmware file.
QString autoDownloadSettings(const QString &file)
{
    return QStringLiteral("[General]\nModel=0\nPort=0\nBaudRate=%1\nData=3\nStop=0\nParity=2\n"
                          "HexRXD=0\nTimeTXD_ch=0\nTimeTXD_v=500\nHexTXD=0\nSendNewL=0\n"
                          "KeySend=0\nSendClear=0\nSendStr=\nMCUType=%2\n12T=12T\nAutoISP=1\n"
                          "AutoRST=0\nFileName=%3\nDelay=5\nDelay1=680\n")
        .arg(testsupport::kBaud115200Index)
        .arg(kStm32Entry)
        .arg(file);
}

// Sets the file's last-write time (to the millisecond).
bool setModified(const QString &path, const QDateTime &t)
{
    const qint64 ms = t.toMSecsSinceEpoch();
    timespec times[2];
    times[0] = {time_t(ms / 1000), long(ms % 1000) * 1000000L};
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// The window with the simulated STM32 board on COM1. Each download that ends restarts the
// board, as the programmer's closing pulse does on a real board.
struct Rig : testsupport::BoardRig<Stm32Sim>
{
    explicit Rig(const std::function<QString(const TestEnv &)> &settings = {})
        : BoardRig({}, [&settings](const TestEnv &env) {
              if (settings) env.writeSettings(settings(env));
          })
    {
        m = &main();
        onLine = [this](const QString &line) {
            if (line != kSearching) return;
            ++downloads;
            onTopAtStart = m->StayOnTop();
            startedAfterMs = clock.isValid() ? clock.elapsed() : -1;
        };
        onEnd = [this](DownloadResult result) {
            ended = result == DownloadResult::Written;
            sim.reset();
        };
    }

    // Started with automatic re-download on for fw.bin holding the image, last written at
    // the given time.
    Rig(const QByteArray &image, const QDateTime &written)
        : Rig([&](const TestEnv &env) {
              const QString f = env.file(QStringLiteral("fw.bin"), image);
              setModified(f, written);
              return autoDownloadSettings(f);
          })
    {
        file = env.root() + QStringLiteral("/fw.bin");
    }

    // Waits for the end of download number n (counted from 1).
    bool waitForEnd(int n, int timeoutMs = 15000) { return waitForEnds(n, timeoutMs); }

    TMainForm *m = nullptr;
    QString file;      // the firmware file of automatic re-download
    int downloads = 0; // started
    std::optional<bool> ended;
    bool onTopAtStart = false;
    qint64 startedAfterMs = -1;
};

// A whole second one hour ago: file times from it are distinct from any time the file system
// gives a freshly written file.
QDateTime hourAgo()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    return QDateTime::fromMSecsSinceEpoch(now - now % 1000 - 3600 * 1000);
}

// A window started with automatic re-download on: it downloads the file once shortly after
// start. Returns after that download ended, the window shown.
void startWithAutomaticDownload(Rig &r)
{
    r.m->show();
    QVERIFY(r.m->AutoIspTimer->isActive());
    QVERIFY(r.waitForEnd(1));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.downloads, 1);
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void speedButtonOnlyForStcEntries_data();
    void speedButtonOnlyForStcEntries();
    void downloadListsCopyWithoutReopening_data();
    void downloadListsCopyWithoutReopening();
    void noEntrySelectedOnlyEmptiesTheMessages();
    void automaticResetBoxEnablesTheResetTime();
    void fileButton();
    void automaticDownloadAtStart();
    void fileChangeStartsADownloadWithinASecond();
    void changeDuringADownloadStartsTheNextAfterItEnds();
    void savesWithinOneSecondAreTwoChanges();
    void fileWrittenInPiecesIsDownloadedOnceComplete();
    void terminalPageNoticesNoChange();
    void pressDuringThePendingAutomaticStartStartsOneDownload();
    void terminalLeavesARunningDownloadAlone_data();
    void terminalLeavesARunningDownloadAlone();
    void closingDuringADownloadAsksFirst_data();
    void closingDuringADownloadAsksFirst();
    void stcSeriesThroughTheWindow_data();
    void stcSeriesThroughTheWindow();
    void terminalIsItselfAfterADownload_data();
    void terminalIsItselfAfterADownload();
    void failedAutomaticDownloadComesToTheFront();
    void fileIsCheckedBeforeTheBoard_data();
    void fileIsCheckedBeforeTheBoard();
    void unpluggedAdapterEndsTheDownloadAtOnce_data();
    void unpluggedAdapterEndsTheDownloadAtOnce();
    void progressStaysAndTheLogIsSaved();
};

void TestDownload::speedButtonOnlyForStcEntries_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("enabled");
    const char *entries[] = {"LPC2214",
                             "LPC2292",
                             "LPC2131",
                             "LPC2132",
                             "LPC2136",
                             "LPC2138",
                             "STM32F10xxxxx 家族",
                             "STC89C51RC",
                             "STC89C52RC",
                             "STC89C55RD+",
                             "STC89C516RD+",
                             "STM32 (其它系列)",
                             "STC10/11/12",
                             "STC15",
                             "STC8",
                             "NXP LPC (任意型号)"};
    for (int i = 0; i < 16; ++i)
        QTest::newRow(entries[i]) << i << (i >= 7 && i <= 10);
}

void TestDownload::speedButtonOnlyForStcEntries()
{
    QFETCH(int, index);
    QFETCH(bool, enabled);
    TestEnv env;
    auto w = CreateApplicationWindows();
    TMainForm &m = *w.main;
    QCOMPARE(m.MCUType->count(), 16);
    QCOMPARE(m.MCUType->itemText(index), QString::fromUtf8(QTest::currentDataTag()));
    // From the opposite state, so the change rule must act.
    const int other = enabled ? 0 : 10;
    m.MCUType->setCurrentIndex(other);
    emit m.MCUType->activated(other);
    QCOMPARE(m.BitBtn7->isEnabled(), !enabled);
    m.MCUType->setCurrentIndex(index);
    emit m.MCUType->activated(index);
    QCOMPARE(m.BitBtn7->isEnabled(), enabled);
    // Verification (校验): the STM32 and LPC programmers.
    const auto family = devices::familyAt(index);
    QCOMPARE(m.CheckBox9->isEnabled(),
             family == devices::Family::Stm32 || family == devices::Family::Lpc);
    // The clock field is for the chips with an RC oscillator to trim: STC15 and STC8; the
    // LPC entries show the crystal field in its place.
    QCOMPARE(m.ClockEdit->isEnabled(), index == 13 || index == 14);
    QCOMPARE(!m.CrystalEdit->isHidden(), family == devices::Family::Lpc);
    QCOMPARE(m.ClockEdit->isHidden(), family == devices::Family::Lpc);
}

void TestDownload::downloadListsCopyWithoutReopening_data()
{
    QTest::addColumn<bool>("portList");
    QTest::addColumn<int>("index");
    QTest::newRow("port list: COM2") << true << 1;
    QTest::newRow("baud list: 115200") << false << 12;
    QTest::newRow("baud list: 110") << false << 0;
}

void TestDownload::downloadListsCopyWithoutReopening()
{
    QFETCH(bool, portList);
    QFETCH(int, index);
    TestEnv env;
    testsupport::PtyPeer first;
    testsupport::PtyPeer second;
    env.mapPort(1, first.slavePath());
    env.mapPort(2, second.slavePath());
    auto w = CreateApplicationWindows();
    TMainForm &m = *w.main;
    m.RzPageControl1->setCurrentIndex(1);
    m.BitBtn3Click(); // the terminal opens COM1
    QVERIFY(m.ComDriver->Connected());
    QCOMPARE(m.BitBtn3->text(), QStringLiteral("关闭串口"));

    testsupport::TraceRecorder trace;
    QComboBox *download = portList ? m.ComboBox6 : m.ComboBox7;
    QComboBox *terminal = portList ? m.ComboBox1 : m.ComboBox2;
    download->setCurrentIndex(index);
    emit download->activated(index);
    QCOMPARE(terminal->currentIndex(), index);
    // The open port stays as it is: no close, no open.
    QCOMPARE(trace.count({platform::SerialTraceEvent::Open, platform::SerialTraceEvent::Close}), 0);
    QVERIFY(m.ComDriver->Connected());
    QCOMPARE(m.ComDriver->devicePath(), first.slavePath());
    QCOMPARE(m.BitBtn3->text(), QStringLiteral("关闭串口"));
}

void TestDownload::noEntrySelectedOnlyEmptiesTheMessages()
{
    Rig r;
    testsupport::TraceRecorder trace;
    r.m->MCUType->setCurrentIndex(-1);
    r.m->Memo1->setPlainText(QStringLiteral("old text"));
    r.m->BitBtn1->click();
    QVERIFY(r.m->Memo1->toPlainText().isEmpty());
    QCOMPARE(trace.count({platform::SerialTraceEvent::Open, platform::SerialTraceEvent::Close}), 0);
    QVERIFY(r.m->BitBtn1->isEnabled());
    QVERIFY(r.env.messages.isEmpty());
}

void TestDownload::automaticResetBoxEnablesTheResetTime()
{
    TestEnv env;
    auto w = CreateApplicationWindows();
    TMainForm &m = *w.main;
    QVERIFY(m.CheckBox2->isChecked()); // on by default
    QVERIFY(m.Edit4->isEnabled() && m.Label4->isEnabled());
    m.CheckBox2->click();
    QVERIFY(!m.CheckBox2->isChecked());
    QVERIFY(!m.Edit4->isEnabled() && !m.Label4->isEnabled());
    m.CheckBox2->click();
    QVERIFY(m.Edit4->isEnabled() && m.Label4->isEnabled());
}

void TestDownload::fileButton()
{
    TestEnv env;
    auto w = CreateApplicationWindows();
    TMainForm &m = *w.main;
    QList<ui::FileRequest> requests;
    QStringList answers{QStringLiteral("/data/fw/新固件.hex"), QString()};
    ui::setFileHandler([&](const ui::FileRequest &request) {
        requests << request;
        return answers.takeFirst();
    });
    const QString before = m.Edit2->text();
    m.BitBtn2->click();
    QCOMPARE(m.Edit2->text(), QStringLiteral("/data/fw/新固件.hex"));
    m.BitBtn2->click(); // cancelled: the field keeps its text
    QCOMPARE(m.Edit2->text(), QStringLiteral("/data/fw/新固件.hex"));
    QCOMPARE(requests.size(), 2);
    // No file at first start: the dialog starts on its own name in the home folder (the
    // test's own HOME).
    QVERIFY(before.isEmpty());
    QCOMPARE(requests[0].preset, QDir::home().filePath("TEST.pin"));
    QVERIFY(requests[0].preset.startsWith(env.root()));
    QCOMPARE(requests[1].preset, QStringLiteral("/data/fw/新固件.hex"));
    QCOMPARE(requests[0].defaultSuffix, QStringLiteral("bin"));
    QVERIFY(!requests[0].save);
    for (const char *pattern : {"*.bin", "*.pin", "*.hex", "*.ihx", "(*)"})
        QVERIFY2(requests[0].filter.contains(QLatin1String(pattern)), pattern);
    // A path is typed or pasted as well.
    m.Edit2->clear();
    QVERIFY(!m.Edit2->isReadOnly());
    QTest::keyClicks(m.Edit2, QStringLiteral("/data/fw/typed.bin"));
    QCOMPARE(m.Edit2->text(), QStringLiteral("/data/fw/typed.bin"));

    // The whole button takes clicks: nothing lies over it, the image size label included.
    QWidget *page = m.BitBtn2->parentWidget();
    const QRect button = m.BitBtn2->geometry();
    for (const QPoint at : {button.center(), button.bottomLeft() + QPoint(2, -2),
                            button.bottomRight() - QPoint(2, 2)})
        QCOMPARE(page->childAt(at), m.BitBtn2);
    // The image size shown is the current file's: gone when another file is named, when the
    // file changes on disk, or when a family that does not measure it is chosen.
    const QString fw = env.file(QStringLiteral("fw.hex"), ":00000001FF\n");
    answers << fw;
    m.BitBtn2->click();
    m.LastFileTime = m.FormattedFileTime(fw); // as the download that measured it saw it
    m.DownloadEnded(DownloadResult::Written);
    m.Label10->setText(QStringLiteral("4.3 KB"));
    m.TimerSecTimer();
    QCOMPARE(m.Label10->text(), QStringLiteral("4.3 KB"));
    env.file(QStringLiteral("fw.hex"), ":0100000001FE\n:00000001FF\n");
    m.TimerSecTimer();
    QVERIFY(m.Label10->text().isEmpty());
    m.Label10->setText(QStringLiteral("4.3 KB"));
    answers << env.file(QStringLiteral("other.hex"), ":00000001FF\n");
    m.BitBtn2->click();
    QVERIFY(m.Label10->text().isEmpty());
    m.Label10->setText(QStringLiteral("4.3 KB"));
    m.MCUType->setCurrentIndex(kStm32Entry);
    emit m.MCUType->activated(kStm32Entry);
    QVERIFY(m.Label10->text().isEmpty());
}

void TestDownload::automaticDownloadAtStart()
{
    const QDateTime base = hourAgo();
    const QByteArray image = pattern(3000, 1);
    Rig r(image, base);
    QVERIFY(r.m->CheckBox1->isChecked());
    QCOMPARE(r.m->LastFileTime, r.m->FormattedFileTime(r.m->Edit2->text()));
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;
    QCOMPARE(r.sim.flash(kFlash, image.size()), image);
    // A successful automatic download leaves the window normal and minimised.
    QVERIFY(!r.m->StayOnTop());
    QVERIFY(r.m->isMinimized());
    // The file did not change: the checks start nothing more.
    r.m->TimerSecTimer();
    QVERIFY(!r.m->AutoIspTimer->isActive());
}

void TestDownload::fileChangeStartsADownloadWithinASecond()
{
    const QDateTime base = hourAgo();
    const QByteArray image = pattern(3000, 1);
    Rig r(image, base);
    const QString file = r.file;
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;

    // The file is saved again (new contents, new time); the one-second check runs by itself.
    const QByteArray next = pattern(2000, 2);
    r.env.file(QStringLiteral("fw.bin"), next);
    QVERIFY(setModified(file, base.addMSecs(10000)));
    r.clock.start();
    QVERIFY(waitUntil([&] { return r.downloads == 2; }, 3000));
    // The next check (within a second) and the settle time.
    QVERIFY2(r.startedAfterMs >= 290 && r.startedAfterMs <= 1500,
             qPrintable(QString::number(r.startedAfterMs)));
    QVERIFY(r.onTopAtStart); // brought on top for the download
    QVERIFY(r.waitForEnd(2));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.sim.flash(kFlash, next.size()), next);
    QVERIFY(!r.m->StayOnTop());
    QVERIFY(r.sim.protocolErrors().isEmpty());
}

void TestDownload::changeDuringADownloadStartsTheNextAfterItEnds()
{
    const QDateTime base = hourAgo();
    Rig r(pattern(3000, 1), base);
    const QString file = r.file;
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;

    r.peer.setReplyDelay(std::chrono::milliseconds(25)); // a download now lasts over a second
    QVERIFY(setModified(file, base.addMSecs(10000)));
    r.m->TimerSecTimer();
    QVERIFY(r.m->AutoIspTimer->isActive());
    QVERIFY(waitUntil([&] { return !r.m->BitBtn1->isEnabled(); }, 1000));

    // Saved again while the download runs: nothing starts under it, but once it has ended
    // the new contents are downloaded.
    const QByteArray next = pattern(2000, 3);
    r.env.file(QStringLiteral("fw.bin"), next);
    QVERIFY(setModified(file, base.addMSecs(20000)));
    r.m->TimerSecTimer();
    QVERIFY(!r.m->AutoIspTimer->isActive());
    QVERIFY(r.waitForEnd(2));
    QCOMPARE(*r.ended, true);
    r.peer.setReplyDelay(std::chrono::milliseconds(0));
    QVERIFY(r.waitForEnd(3));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.downloads, 3);
    QCOMPARE(r.sim.flash(kFlash, next.size()), next);
    r.m->TimerSecTimer(); // nothing changed since
    QVERIFY(!r.m->AutoIspTimer->isActive());
}

void TestDownload::savesWithinOneSecondAreTwoChanges()
{
    const QDateTime base = hourAgo();
    Rig r(pattern(1000, 1), base);
    const QString file = r.file;
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;

    QVERIFY(setModified(file, base.addMSecs(50100)));
    r.m->TimerSecTimer();
    QVERIFY(r.m->AutoIspTimer->isActive());
    QVERIFY(r.waitForEnd(2));
    // Saved again within the same second: a change all the same.
    QVERIFY(setModified(file, base.addMSecs(50800)));
    r.m->TimerSecTimer();
    QVERIFY(r.m->AutoIspTimer->isActive());
    QVERIFY(r.waitForEnd(3));
    QCOMPARE(r.downloads, 3);
    QCOMPARE(*r.ended, true);
    // The same size and time once more: no change.
    QVERIFY(setModified(file, base.addMSecs(50800)));
    r.m->TimerSecTimer();
    QVERIFY(!r.m->AutoIspTimer->isActive());
}

void TestDownload::fileWrittenInPiecesIsDownloadedOnceComplete()
{
    // A compiler writes the new file in nine pieces over 0.8 s, and a check lands after the
    // first piece: the download starts only once the file has stayed the same for the settle
    // time, and writes the whole file.
    const QDateTime base = hourAgo();
    Rig r(pattern(3000, 1), base);
    const QString file = r.file;
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;

    constexpr int kPieces = 9;
    constexpr int kPieceMs = 100;
    const QByteArray next = pattern(4500, 4);
    const qsizetype pieceSize = next.size() / kPieces;
    int written = 0;
    qint64 lastPieceMs = -1;
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QTimer writer;
    writer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&writer, &QTimer::timeout, [&] {
        const qsizetype from = written * pieceSize;
        const qsizetype n = written + 1 == kPieces ? next.size() - from : pieceSize;
        out.write(next.mid(from, n));
        out.flush();
        lastPieceMs = r.clock.elapsed();
        if (++written == 1) r.m->TimerSecTimer(); // the check sees a part of the file
        if (written == kPieces) writer.stop();
    });
    r.clock.start();
    writer.start(kPieceMs);
    QVERIFY(waitUntil([&] { return r.downloads == 2; }, 5000));
    QCOMPARE(written, kPieces);
    QVERIFY2(r.startedAfterMs - lastPieceMs >= 280,
             qPrintable(
                 QStringLiteral("%1 ms after the last piece").arg(r.startedAfterMs - lastPieceMs)));
    QVERIFY(r.waitForEnd(2));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.sim.flash(kFlash, next.size()), next);
    // The checks of the next second find the version that was written.
    QTest::qWait(1200);
    QCOMPARE(r.downloads, 2);
}

void TestDownload::terminalPageNoticesNoChange()
{
    const QDateTime base = hourAgo();
    Rig r(pattern(1000, 1), base);
    const QString file = r.file;
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;

    const QString seen = r.m->LastFileTime;
    r.m->RzPageControl1->setCurrentIndex(1);
    QVERIFY(setModified(file, base.addMSecs(10000)));
    r.m->TimerSecTimer();
    QVERIFY(!r.m->AutoIspTimer->isActive());
    QTest::qWait(1100); // the clock's own check too
    QCOMPARE(r.m->LastFileTime, seen);
    QCOMPARE(r.downloads, 1);

    // Back on the download page the next check sees the change.
    r.m->RzPageControl1->setCurrentIndex(0);
    r.m->TimerSecTimer();
    QVERIFY(r.m->AutoIspTimer->isActive());
    QVERIFY(r.waitForEnd(2));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.downloads, 2);
}

void TestDownload::pressDuringThePendingAutomaticStartStartsOneDownload()
{
    // A change was seen and the automatic start waits out the settle time when the user
    // presses the download button: the running download is not started a second time under
    // itself, and reads that version of the file, so nothing follows it.
    const QDateTime base = hourAgo();
    Rig r(pattern(3000, 1), base);
    const QString file = r.file;
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;

    r.peer.setReplyDelay(std::chrono::milliseconds(20)); // the download outlasts the 300 ms
    QVERIFY(setModified(file, base.addMSecs(10000)));
    r.m->TimerSecTimer();
    QVERIFY(r.m->AutoIspTimer->isActive());
    r.m->BitBtn1->click();
    QVERIFY(!r.m->BitBtn1->isEnabled());
    QVERIFY(waitUntil([&] { return !r.m->AutoIspTimer->isActive(); }, 1000));
    QVERIFY(r.waitForEnd(2));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.downloads, 2);
    QVERIFY2(r.sim.protocolErrors().isEmpty(), qPrintable(r.sim.protocolErrors().join('\n')));
    QTest::qWait(300);
    QCOMPARE(r.results.size(), 2);
}

// While a download runs on the shared port, the terminal page's port controls leave it alone:
// the status bar says why, the button keeps its caption, the download ends written, and the
// boot loader's answers stay out of the receive area.
void TestDownload::terminalLeavesARunningDownloadAlone_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("terminalHadThePort"); // opened by the terminal before the download
    QTest::newRow("open button") << "button" << false;
    QTest::newRow("close button, the terminal's port") << "button" << true;
    QTest::newRow("baud list") << "list" << true;
    // The terminal page picked a second name (another port) first: the download's driver is
    // shared, so its open button must leave it alone too.
    QTest::newRow("open button, the terminal on a second name") << "second name" << false;
}

void TestDownload::terminalLeavesARunningDownloadAlone()
{
    QFETCH(QString, action);
    QFETCH(bool, terminalHadThePort);
    Rig r;
    testsupport::PtyPeer second;
    r.env.mapPort(2, second.slavePath());
    r.select(kStm32Entry, testsupport::kBaud115200Index);
    r.setAutomaticReset(false);
    r.m->show();
    r.peer.setReplyDelay(std::chrono::milliseconds(5));
    if (terminalHadThePort) {
        r.m->RzPageControl1->setCurrentIndex(1);
        r.m->BitBtn3Click();
        QVERIFY(r.m->ComPortActive);
        r.m->RzPageControl1->setCurrentIndex(0);
    }
    const QString caption = r.m->BitBtn3->text();
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(3000, 2)));
    QVERIFY(!r.m->BitBtn1->isEnabled());
    r.m->RzPageControl1->setCurrentIndex(1);
    if (action == "button") {
        r.m->BitBtn3->click();
    } else if (action == "second name") {
        r.m->ComboBox1->setCurrentIndex(1);
        emit r.m->ComboBox1->activated(1);
        r.m->BitBtn3->click();
    } else {
        r.m->ComboBox2->setCurrentIndex(testsupport::kBaud115200Index - 1);
        emit r.m->ComboBox2->activated(testsupport::kBaud115200Index - 1);
    }
    QCOMPARE(r.m->Status(), QStringLiteral("下载正在使用 COM1，请等下载结束"));
    QCOMPARE(r.m->BitBtn3->text(), caption);
    QVERIFY(r.waitForEnd(1));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.sim.flash(kFlash, 3000), pattern(3000, 2));
    QCOMPARE(r.m->ReceivedCount, 0);
    QVERIFY(r.env.messages.isEmpty());
    QCOMPARE(second.receivedCount(), 0);
    // The download wrote only to its own log, which is whole on its page again.
    QVERIFY(!r.m->Memo1->toPlainText().contains(kDone));
    r.m->RzPageControl1->setCurrentIndex(0);
    QCOMPARE(r.m->Memo1->toPlainText().split(u'\n'), r.lines);
}

// Closing the window while a download runs asks first. Declined, the download goes on to its
// end; confirmed, the port is given back at once and the window goes.
void TestDownload::closingDuringADownloadAsksFirst_data()
{
    QTest::addColumn<bool>("confirm");
    QTest::newRow("declined") << false;
    QTest::newRow("confirmed") << true;
}

void TestDownload::closingDuringADownloadAsksFirst()
{
    QFETCH(bool, confirm);
    Rig r;
    r.select(kStm32Entry, testsupport::kBaud115200Index);
    r.setAutomaticReset(false);
    r.m->show();
    r.peer.setReplyDelay(std::chrono::milliseconds(5));
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(3000, 4)));
    QVERIFY(!r.m->BitBtn1->isEnabled());
    r.env.questionAnswers << confirm;
    r.m->close();
    QCOMPARE(r.env.questions.size(), 1);
    QCOMPARE(r.env.questions[0].caption, QStringLiteral("Tramelo"));
    if (confirm) {
        QVERIFY(waitUntil([&] { return !r.m->isVisible(); }, 1000));
        QVERIFY(!r.m->ComDriver->Connected());
        QVERIFY(!r.m->ComPortActive);
        return;
    }
    QVERIFY(r.m->isVisible());
    QVERIFY(r.waitForEnd(1));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.sim.flash(kFlash, 3000), pattern(3000, 4));
    r.m->close(); // nothing runs now: no question
    QCOMPARE(r.env.questions.size(), 1);
    QVERIFY(!r.m->isVisible());
}

// After a download the terminal is what it shows: its port, closed for the download on it,
// is open again with its own line (7 data bits, 2 stop bits, odd parity, 9600 baud) and sends;
// a terminal that was closed stays closed.
void TestDownload::terminalIsItselfAfterADownload_data()
{
    QTest::addColumn<bool>("terminalOpen");
    QTest::newRow("terminal open") << true;
    QTest::newRow("terminal closed") << false;
}

void TestDownload::terminalIsItselfAfterADownload()
{
    QFETCH(bool, terminalOpen);
    Rig r;
    r.select(kStm32Entry, testsupport::kBaud115200Index);
    r.setAutomaticReset(false);
    r.m->ComboBox2->setCurrentIndex(br9600);
    r.m->ComboBox7->setCurrentIndex(br9600);
    r.m->ComboBox3->setCurrentIndex(db7BITS);
    r.m->ComboBox4->setCurrentIndex(sb2BITS);
    r.m->ComboBox5->setCurrentIndex(ptODD);
    r.m->show();
    if (terminalOpen) {
        r.m->RzPageControl1->setCurrentIndex(1);
        r.m->BitBtn3->click();
        QVERIFY(r.m->ComPortActive);
        r.m->RzPageControl1->setCurrentIndex(0);
    }
    const QString caption = r.m->BitBtn3->text();
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(2000, 3)));
    QVERIFY(r.waitForEnd(1));
    QCOMPARE(*r.ended, true);
    QCOMPARE(r.m->BitBtn3->text(), caption);
    QCOMPARE(r.m->ComPortActive, terminalOpen);
    QCOMPARE(r.m->ComDriver->Connected(), terminalOpen);
    QCOMPARE(r.m->ComboBox5->currentIndex(), int(ptODD));
    QCOMPARE(r.m->ComboBox2->currentIndex(), int(br9600));
    if (!terminalOpen) return;
    QCOMPARE(r.m->ComDriver->ComPortParity(), ptODD);
    QCOMPARE(r.m->ComDriver->ComPortDataBits(), db7BITS);
    QCOMPARE(r.m->ComDriver->ComPortSpeed(), br9600);
    r.m->RzPageControl1->setCurrentIndex(1);
    const qsizetype before = r.peer.receivedCount();
    r.m->Memo2->setPlainText(QStringLiteral("abc"));
    r.m->BitBtn4Click();
    QCOMPARE(r.m->StatusBar1->panelText(1), QStringLiteral("S:3"));
    QVERIFY(r.peer.waitForReceived(before + 3, 2000));
}

// After a written automatic download the window is minimised and its caption says so; a
// failed one (here a file emptied by the compiler) brings it back with its message.
void TestDownload::failedAutomaticDownloadComesToTheFront()
{
    const QDateTime base = hourAgo();
    Rig r(pattern(3000, 1), base);
    startWithAutomaticDownload(r);
    if (QTest::currentTestFailed()) return;
    QVERIFY(r.m->isMinimized());
    QVERIFY2(r.m->windowTitle().startsWith(QStringLiteral("下载成功 ")),
             qPrintable(r.m->windowTitle()));
    QFile f(r.file);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.close();
    QVERIFY(setModified(r.file, base.addSecs(10)));
    r.m->TimerSecTimer();
    QVERIFY(waitUntil([&] { return r.results.size() == 2; }, 5000));
    QCOMPARE(r.results.last(), DownloadResult::RefusedFile);
    QVERIFY(!r.m->isMinimized());
    QCOMPARE(r.m->windowTitle(), QStringLiteral("Orvel-ISP V1.60  Orvel科技"));
    QVERIFY(r.m->Memo1->toPlainText().contains(r.file));
}

// The file is checked as the command line checks it, before the port is opened: the board
// hears nothing and the line names the problem.
void TestDownload::fileIsCheckedBeforeTheBoard_data()
{
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes"); // empty name: no file at all
    QTest::addColumn<QString>("why");
    const QByteArray big(0x80001, '\x55');
    QTest::newRow("STM32, missing") << kStm32Entry << "gone.bin" << QByteArray() << "文件不存在";
    QTest::newRow("STM32, empty") << kStm32Entry << "fw.bin" << QByteArray("") << "";
    QTest::newRow("STM32, damaged HEX") << kStm32Entry << "fw.hex" << QByteArray(":0100000001FF\n")
                                        << "";
    QTest::newRow("LPC, larger than any part") << 0 << "fw.bin" << big << "";
    QTest::newRow("STC89, HEX without data") << devices::findDevice(u"stc89c52rc") << "fw.hex"
                                             << QByteArray(":00000001FF\n") << "没有";
    QTest::newRow("STC15, beyond 64 KiB") << devices::findDevice(u"stc15") << "fw.bin" << big
                                          << "64 KB";
}

void TestDownload::fileIsCheckedBeforeTheBoard()
{
    QFETCH(int, entry);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    Rig r;
    testsupport::TraceRecorder trace;
    r.select(entry, testsupport::kBaud115200Index);
    const QString path = name == "gone.bin" ? r.env.root() + "/gone.bin" : r.env.file(name, bytes);
    r.start(path);
    QVERIFY(r.waitForEnds(1, 5000));
    QCOMPARE(r.results.last(), DownloadResult::RefusedFile);
    QCOMPARE(trace.count({platform::SerialTraceEvent::Open}), 0);
    // STM32 and LPC read their file after meeting the board: the window checks it first, in
    // the command line's words; the STC programmers check theirs before opening their port.
    const bool stc = devices::familyAt(entry) == devices::Family::Stc ||
                     devices::familyAt(entry) == devices::Family::StcSeries;
    QVERIFY2(!r.lines.isEmpty() && (stc || r.lines[0].startsWith(path + ": ")) &&
                 r.lines.last().contains(why),
             qPrintable(r.lines.join(u'\n')));
    QCOMPARE(r.statuses.last(), r.lines.last());
    QVERIFY(r.m->BitBtn1->isEnabled());
}

// The adapter unplugged in the middle of a download: it ends at once, saying the port went
// and the chip may be partly written, and the window is ready for the next try.
void TestDownload::unpluggedAdapterEndsTheDownloadAtOnce_data()
{
    QTest::addColumn<bool>("stc");
    QTest::newRow("STM32 on the shared driver") << false;
    QTest::newRow("STC12 on its own port") << true;
}

void TestDownload::unpluggedAdapterEndsTheDownloadAtOnce()
{
    QFETCH(bool, stc);
    std::unique_ptr<testsupport::WindowRig> rig;
    if (stc)
        rig = std::make_unique<testsupport::BoardRig<sim::StcSeriesSim>>(
            sim::StcSeriesSim::Config::stc12c5a60s2());
    else
        rig = std::make_unique<testsupport::BoardRig<Stm32Sim>>();
    testsupport::WindowRig &r = *rig;
    r.select(stc ? devices::findDevice(u"stc12") : kStm32Entry, testsupport::kBaud115200Index);
    r.setAutomaticReset(false);
    r.main().Edit3->setText(QStringLiteral("30")); // a time-out far beyond the test's wait
    r.peer.setReplyDelay(std::chrono::milliseconds(5));
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(8000, 5)));
    QVERIFY(waitUntil([&] { return r.main().ProgressBar1->value() > 0; }, 15000));
    r.peer.closeMaster();
    QVERIFY(r.waitForEnds(1, 15000));
    QCOMPARE(r.results.last(), DownloadResult::Failed);
    // The bar stays where the download stopped.
    QVERIFY(r.main().ProgressBar1->value() > 0);
    QVERIFY(testsupport::keptProgressProblem(r.main(), false).isEmpty());
    QVERIFY2(r.lines.contains(QStringLiteral(
                 "串口已消失（适配器被拔出？），下载中止；芯片可能只写入了一部分 ！")),
             qPrintable(r.lines.join(u'\n')));
    QVERIFY(r.main().BitBtn1->isEnabled() && !r.main().StopButton->isEnabled());
}

// The figures beside the bar stay at the end of a download; the log is saved (and
// emptied) from the message area's context menu.
void TestDownload::progressStaysAndTheLogIsSaved()
{
    Rig r;
    r.select(kStm32Entry, testsupport::kBaud115200Index);
    r.setAutomaticReset(false);
    r.start(r.env.file(QStringLiteral("fw.bin"), pattern(3000, 6)));
    QVERIFY(r.waitForEnd(1));
    QCOMPARE(*r.ended, true);
    QVERIFY2(r.m->ProgressText->text().startsWith(QStringLiteral("100%  0:")),
             qPrintable(r.m->ProgressText->text()));
    const QString log = r.env.root() + QStringLiteral("/log.txt");
    r.env.fileAnswers << log;
    r.m->SaveLog();
    QFile f(log);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(f.readAll()), r.lines.join(QStringLiteral("\r\n")) + "\r\n");
    r.m->ClearLog();
    QVERIFY(r.m->LogText().isEmpty());
}

QTEST_MAIN(TestDownload)
// The STC12, STC15 and STC8 entries, each against a board answering as one of the recorded
// chips: binary and HEX files, the clock field, and the ends that leave the flash alone.
void TestDownload::stcSeriesThroughTheWindow_data()
{
    using Config = sim::StcSeriesSim::Config;
    QTest::addColumn<Config>("chip");
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("clock"); // the clock field
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("line"); // the last line
    QTest::addColumn<int>("junkAt");   // a step the chip answers with junk; -1: none
    const int stc12 = devices::findDevice(u"stc12"), stc15 = devices::findDevice(u"stc15"),
              stc8 = devices::findDevice(u"stc8");
    const int written = int(DownloadResult::Written);
    QTest::newRow("STC12C5A60S2, binary") << Config::stc12c5a60s2() << stc12 << "" << "fw.bin"
                                          << 1500 << written << "上载数据成功 ！" << -1;
    QTest::newRow("STC12C2052AD: 8N1, 1-byte sums, HEX")
        << Config::stc12c2052ad() << stc12 << "" << "fw.hex" << 1500 << written << "上载数据成功 ！" << -1;
    QTest::newRow("STC15L104W keeps its trim") << Config::stc15l104w() << stc15 << "" << "fw.hex"
                                               << 1500 << written << "上载数据成功 ！" << -1;
    QTest::newRow("IAP15F2K61S2 at 22.1184 MHz") << Config::iap15f2k61s2() << stc15 << "22.1184"
                                                 << "fw.bin" << 1500 << written << "上载数据成功 ！" << -1;
    QTest::newRow("STC15W4K56S4 at 11.0592 MHz") << Config::stc15w4k56s4() << stc15 << "11.0592"
                                                 << "fw.hex" << 1500 << written << "上载数据成功 ！" << -1;
    QTest::newRow("STC8A8K64S4A12 at 24 MHz") << Config::stc8a8k64s4a12() << stc8 << "24"
                                              << "fw.bin" << 1500 << written << "上载数据成功 ！" << -1;
    QTest::newRow("STC15W4K56S4 never trimmed, no clock chosen")
        << Config::stc15w4k56s4() << stc15 << "" << "fw.bin" << 1500 << int(DownloadResult::Failed)
        << "上载数据失败 ！" << -1;
    QTest::newRow("STC15L104W: image larger than its 4 KB")
        << Config::stc15l104w() << stc15 << "" << "fw.bin" << 5000
        << int(DownloadResult::RefusedFile) << "上载数据失败 ！" << -1;
    QTest::newRow("STC12: a file beyond 64 KiB")
        << Config::stc12c5a60s2() << stc12 << "" << "fw.bin" << 0x10001
        << int(DownloadResult::RefusedFile) << "文件太大，不能超过 64 KB ！" << -1;
    QTest::newRow("STC8: junk for a block")
        << Config::stc8a8k64s4a12() << stc8 << "" << "fw.bin" << 1500
        << int(DownloadResult::Failed) << "上载数据失败 ！" << int(sim::StcSeriesSim::Step::Block);
}

void TestDownload::stcSeriesThroughTheWindow()
{
    QFETCH(sim::StcSeriesSim::Config, chip);
    QFETCH(int, entry);
    QFETCH(QString, clock);
    QFETCH(QString, file);
    QFETCH(int, size);
    QFETCH(int, result);
    QFETCH(QString, line);
    QFETCH(int, junkAt);
    testsupport::BoardRig<sim::StcSeriesSim> r(chip);
    if (junkAt >= 0) r.sim.failAt(sim::StcSeriesSim::Step(junkAt), sim::Fault::Junk, 2);
    const QByteArray image = pattern(size, 7);
    const QString path = r.env.file(
        file, file.endsWith(u".hex") ? firmware::intelHex(image) : image);
    r.select(entry, testsupport::kBaud115200Index);
    r.setAutomaticReset(false);
    r.main().ClockEdit->setText(clock);
    r.start(path);
    QVERIFY(r.waitForEnds(1, 30000));
    QCOMPARE(int(r.results.last()), result);
    QVERIFY2(!r.lines.isEmpty() && r.lines.last().endsWith(line), qPrintable(r.lines.join(u'\n')));
    // Under a failure the log says what to try (the chip powered off and on).
    QCOMPARE(r.main().LogText().endsWith(QStringLiteral("\n提示：先按下载，再给芯片断电后重新上电 (冷启动)。")),
             result == int(DownloadResult::Failed));
    // The status bar follows the stages and says how it ended.
    QVERIFY2(r.statuses.size() > 1 || result == int(DownloadResult::RefusedFile),
             qPrintable(r.statuses.join(u'\n')));
    QVERIFY2(r.statuses.last().endsWith(line), qPrintable(r.statuses.join(u'\n')));
    const QByteArray flash = r.sim.flash();
    if (result == int(DownloadResult::Written)) {
        QCOMPARE(flash.left(size), image);
        if (!clock.isEmpty())
            QCOMPARE(r.lines.filter(QStringLiteral("校准时钟完成: ")).size(), 1);
    } else if (junkAt < 0) {
        QCOMPARE(flash, QByteArray(flash.size(), char(0xFF))); // never erased or written
    } else {
        QCOMPARE(r.lines.filter(QStringLiteral("芯片应答错误")).size(), 1);
    }
    QVERIFY(r.sim.protocolErrors().isEmpty());
}

#include "tst_download.moc"
