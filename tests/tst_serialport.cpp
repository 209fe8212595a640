// The serial layer on pseudo-terminals: open rules, line settings read back from the kernel,
// reads and writes at their limits, and the trace seam.
//
// termios2 is read back with the kernel header, so this file uses posix_openpt rather than
// <pty.h>, which would pull in <termios.h>.
#include "engines/BoardEntry.h"
#include "logic/ResetSequence.h"
#include "platform/PortNames.h"
#include "platform/SerialPort.h"
#include "platform/Settings.h"
#include "support/RawPty.h"
#include "support/SerialTrace.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>
#include <vector>

using platform::LineSettings;
using platform::OpenResult;
using platform::SerialPort;
using platform::SerialTraceEvent;

Q_DECLARE_METATYPE(LineSettings)

namespace {

using Pty = testsupport::RawPty;

termios2 kernelLine(int fd)
{
    termios2 t{};
    ::ioctl(fd, TCGETS2, &t);
    return t;
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).count());
}

} // namespace

class tst_SerialPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resolvePortName_data();
    void resolvePortName();
    void presentPortsInComOrder();
    void termiosFlagsOfEveryLineSetting_data();
    void termiosFlagsOfEveryLineSetting();
    void ratesReadBackFromKernel_data();
    void ratesReadBackFromKernel();
    void refusedSettingsAreReportedNotFatal();
    void failedOpens_data();
    void failedOpens();
    void accessDeniedNamesTheGroup_data();
    void accessDeniedNamesTheGroup();
    void secondOpenIsBusy();
    void closeRestoresSavedLine();
    void modemLinesFailQuietlyOnPty();
    void readWaitsAtMostWaitMs();
    void readDropsNullsWhenAsked();
    void writeGivesUpAfterStall();
    void vanishedDeviceFailsReadAndWrite();
    void tracerSeesEveryOperationInOrder();
    void lineSequenceText_data();
    void lineSequenceText();
    void lineSequenceReachesThePort_data();
    void lineSequenceReachesThePort();
    void powerCommandEnds_data();
    void powerCommandEnds();

private:
    QTemporaryDir config_;
};

// The settings file lives in a folder of the test's own; [Ports] maps COM3 to a path.
void tst_SerialPort::initTestCase()
{
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config_.path()));
    const QString path = platform::SettingsStore::filePath();
    QVERIFY(path.startsWith(config_.path()));
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile ini(path);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Ports]\nCOM3=/dev/ttyConfigured3\nCOM5=\n");
}

void tst_SerialPort::resolvePortName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a path stands for itself") << "/dev/ttyUSB7"
                                              << "/dev/ttyUSB7";
    QTest::newRow("a path with blanks around it") << "  /dev/pts/3 "
                                                  << "/dev/pts/3";
    QTest::newRow("[Ports] value") << "COM3"
                                   << "/dev/ttyConfigured3";
    QTest::newRow("[Ports] value, name in lower case") << "com3"
                                                       << "/dev/ttyConfigured3";
    QTest::newRow("no such port present") << "COM999"
                                          << "";
    QTest::newRow("COM0 names nothing") << "COM0"
                                        << "";
    QTest::newRow("not a port name") << "LPT1"
                                     << "";
    for (const char *bad : {"COM", "COM03", "COM1000", "COM3x", "COM 3", "COM-3", "XCOM3"})
        QTest::newRow(qPrintable(QStringLiteral("names nothing: %1").arg(bad))) << bad << "";
    QTest::newRow("empty") << ""
                           << "";
}

void tst_SerialPort::resolvePortName()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(platform::resolvePortName(name), expected);
}

// Without a [Ports] value, COMn is the n-th present port: USB adapters, then CDC-ACM devices,
// then on-board ports, each group in device-number order.
void tst_SerialPort::presentPortsInComOrder()
{
    const QList<platform::PortInfo> ports = platform::presentPorts();
    auto group = [](const QString &path) {
        if (path.startsWith(QLatin1String("/dev/ttyUSB"))) return 0;
        if (path.startsWith(QLatin1String("/dev/ttyACM"))) return 1;
        if (path.startsWith(QLatin1String("/dev/ttyS"))) return 2;
        return -1;
    };
    auto number = [](const QString &path) {
        qsizetype i = path.size();
        while (i > 0 && path.at(i - 1).isDigit())
            --i;
        return path.mid(i).toInt();
    };
    for (qsizetype i = 0; i < ports.size(); ++i) {
        QVERIFY2(group(ports[i].path) >= 0, qPrintable(ports[i].path));
        if (i == 0) continue;
        const int g0 = group(ports[i - 1].path), g1 = group(ports[i].path);
        QVERIFY(g0 < g1 || (g0 == g1 && number(ports[i - 1].path) < number(ports[i].path)));
    }
    // COM5 has an empty [Ports] value, so it falls back to the fifth present port.
    QCOMPARE(platform::resolvePortName(QStringLiteral("COM5")),
             ports.size() >= 5 ? ports[4].path : QString());
    if (!ports.isEmpty())
        QCOMPARE(platform::resolvePortName(QStringLiteral("COM1")), ports[0].path);
    QCOMPARE(platform::describePort(QStringLiteral("/dev/null")), QString());
}

// Every value of every line setting against the flags it must set, each row changing one
// setting from 8N1 without flow control. A pseudo-terminal keeps no parity, so only the mapping
// itself can show even parity sent as odd. The read-back mapping gives the setting again.
void tst_SerialPort::termiosFlagsOfEveryLineSetting_data()
{
    QTest::addColumn<LineSettings>("line");
    QTest::addColumn<quint32>("cflag");
    QTest::addColumn<quint32>("iflag");
    using platform::Parity;
    using platform::StopBits;
    const auto row = [](const char *name, auto change, quint32 cflag, quint32 iflag) {
        LineSettings s;
        change(s);
        QTest::newRow(name) << s << cflag << iflag;
    };
    row(
        "5 data bits", [](LineSettings &s) { s.dataBits = 5; }, CS5, 0);
    row(
        "6 data bits", [](LineSettings &s) { s.dataBits = 6; }, CS6, 0);
    row(
        "7 data bits", [](LineSettings &s) { s.dataBits = 7; }, CS7, 0);
    row(
        "8 data bits", [](LineSettings &) {}, CS8, 0);
    row(
        "4 data bits count as 8", [](LineSettings &s) { s.dataBits = 4; }, CS8, 0);
    row(
        "9 data bits count as 8", [](LineSettings &s) { s.dataBits = 9; }, CS8, 0);
    row(
        "odd parity", [](LineSettings &s) { s.parity = Parity::Odd; }, CS8 | PARENB | PARODD, 0);
    row(
        "even parity", [](LineSettings &s) { s.parity = Parity::Even; }, CS8 | PARENB, 0);
    row(
        "mark parity", [](LineSettings &s) { s.parity = Parity::Mark; },
        CS8 | PARENB | PARODD | CMSPAR, 0);
    row(
        "space parity", [](LineSettings &s) { s.parity = Parity::Space; }, CS8 | PARENB | CMSPAR,
        0);
    row(
        "7E2 (a mixed line)",
        [](LineSettings &s) {
            s.dataBits = 7;
            s.parity = Parity::Even;
            s.stopBits = StopBits::Two;
        },
        CS7 | PARENB | CSTOPB, 0);
    row(
        "1.5 stop bits", [](LineSettings &s) { s.stopBits = StopBits::OneAndHalf; }, CS8 | CSTOPB,
        0);
    row(
        "2 stop bits", [](LineSettings &s) { s.stopBits = StopBits::Two; }, CS8 | CSTOPB, 0);
    row(
        "RTS/CTS", [](LineSettings &s) { s.rtsCts = true; }, CS8 | CRTSCTS, 0);
    row(
        "XON/XOFF out", [](LineSettings &s) { s.xonXoffOut = true; }, CS8, IXON);
    row(
        "XON/XOFF in", [](LineSettings &s) { s.xonXoffIn = true; }, CS8, IXOFF);
    row(
        "parity check", [](LineSettings &s) { s.parityCheck = true; }, CS8, INPCK);
}

void tst_SerialPort::termiosFlagsOfEveryLineSetting()
{
    QFETCH(LineSettings, line);
    QFETCH(quint32, cflag);
    QFETCH(quint32, iflag);
    const platform::TermiosFlags flags = platform::termiosFlags(line);
    QCOMPARE(flags.cflag, cflag);
    QCOMPARE(flags.iflag, iflag);
    const platform::TermiosFlags mask = platform::termiosFlagMask();
    QCOMPARE(flags.cflag & ~mask.cflag, 0u);
    QCOMPARE(flags.iflag & ~mask.iflag, 0u);
    LineSettings back;
    back.baud = 0; // the flags carry no rate: it must stay as it was
    platform::lineFromTermiosFlags(flags, back);
    LineSettings expected = line;
    expected.baud = 0;
    if (expected.dataBits < 5 || expected.dataBits > 8) expected.dataBits = 8;
    if (expected.stopBits == platform::StopBits::OneAndHalf)
        expected.stopBits = platform::StopBits::Two;
    QVERIFY(back == expected);
}

void tst_SerialPort::ratesReadBackFromKernel_data()
{
    QTest::addColumn<quint32>("baud");
    for (quint32 rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u,
                         56000u, 57600u, 115200u})
        QTest::addRow("%u bit/s", rate) << rate;
}

void tst_SerialPort::ratesReadBackFromKernel()
{
    QFETCH(quint32, baud);
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    LineSettings s;
    s.baud = baud;
    QVERIFY(port.applyLine(s));
    const termios2 t = kernelLine(pty.slave());
    QCOMPARE(t.c_ospeed, baud);
    QCOMPARE(t.c_ispeed, baud);
    QCOMPARE(t.c_cflag & CBAUD, tcflag_t(BOTHER));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QVERIFY(t.c_cflag & CLOCAL);
    QVERIFY(t.c_cflag & CREAD);
    QCOMPARE(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    LineSettings back;
    QVERIFY(port.readLine(back));
    QCOMPARE(back.baud, baud);
}

// A pty keeps 8 data bits and no parity whatever it is asked: the layer must say the request
// did not hold, keep the port usable and take the speed of the same request.
void tst_SerialPort::refusedSettingsAreReportedNotFatal()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    LineSettings s;
    s.baud = 19200;
    s.dataBits = 7;
    s.parity = platform::Parity::Even;
    QVERIFY(!port.applyLine(s));
    QVERIFY(port.isOpen());
    QCOMPARE(kernelLine(pty.slave()).c_ospeed, 19200u);
    LineSettings back;
    QVERIFY(port.readLine(back));
    QVERIFY(back.parity == platform::Parity::None);
    QCOMPARE(back.dataBits, 8);
    QVERIFY(pty.send("ok"));
    char buf[4] = {};
    QCOMPARE(port.read(buf, sizeof buf, 1000), 2);
    QCOMPARE(QByteArray(buf, 2), QByteArray("ok"));
}

void tst_SerialPort::failedOpens_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<OpenResult>("expected");
    QTest::newRow("character device that is not a tty")
        << QStringLiteral("/dev/null") << OpenResult::NotATty;
    QTest::newRow("regular file") << QString() << OpenResult::NotATty;
    QTest::newRow("missing device")
        << QStringLiteral("/dev/ttyNoSuchPort7") << OpenResult::NotFound;
    QTest::newRow("empty name") << QStringLiteral("") << OpenResult::NotFound;
}

void tst_SerialPort::failedOpens()
{
    QFETCH(QString, path);
    QFETCH(OpenResult, expected);
    QTemporaryFile file;
    if (path.isNull()) {
        QVERIFY(file.open());
        path = file.fileName();
    }
    const int before = openDescriptors();
    SerialPort port;
    QCOMPARE(port.open(path), expected);
    QVERIFY(!port.isOpen());
    QVERIFY(!port.errorString().isEmpty());
    QCOMPARE(openDescriptors(), before); // every failure path closes what it opened
}

// Root opens anything, so the check runs in a child that has given up root. The advice names
// the group the device itself belongs to, not an assumed one: a group the user can join
// (usermod), or root's, where only the administrator can help.
void tst_SerialPort::accessDeniedNamesTheGroup_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("advice");
    QTest::newRow("dialout") << "dialout"
                             << "usermod -aG dialout";
    QTest::newRow("root") << "root"
                          << "请管理员";
}

void tst_SerialPort::accessDeniedNamesTheGroup()
{
    QFETCH(QString, group);
    QFETCH(QString, advice);
    const struct group *owner = ::getgrnam(group.toLocal8Bit().constData());
    if (!owner) QSKIP("no such group on this machine");
    Pty pty;
    QVERIFY(pty.ok());
    if (::fchown(pty.slave(), uid_t(-1), owner->gr_gid) != 0) QSKIP("changing a group needs root");
    QVERIFY(::fchmod(pty.slave(), 0660) == 0);
    const QString expected = QStringLiteral("'%1'").arg(group);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        if (::getuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(3);
        SerialPort port;
        const OpenResult r = port.open(pty.path());
        if (r != OpenResult::AccessDenied) ::_exit(1);
        const QString why = port.errorString();
        ::_exit(why.contains(expected) && why.contains(advice) ? 0 : 2);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
}

void tst_SerialPort::secondOpenIsBusy()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort first, second;
    QCOMPARE(first.open(pty.path()), OpenResult::Ok);
    const int before = openDescriptors();
    QCOMPARE(second.open(pty.path()), OpenResult::Busy);
    QVERIFY(!second.isOpen());
    QCOMPARE(openDescriptors(), before);
    first.close();
    QCOMPARE(second.open(pty.path()), OpenResult::Ok);
}

void tst_SerialPort::closeRestoresSavedLine()
{
    Pty pty;
    QVERIFY(pty.ok());
    termios2 original = kernelLine(pty.slave());
    original.c_cflag = (original.c_cflag & ~tcflag_t(CBAUD)) | BOTHER;
    original.c_ispeed = original.c_ospeed = 4800;
    original.c_lflag |= ECHO | ICANON;
    QCOMPARE(::ioctl(pty.slave(), TCSETS2, &original), 0);
    original = kernelLine(pty.slave());

    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    LineSettings s;
    s.baud = 115200;
    port.applyLine(s);
    QCOMPARE(kernelLine(pty.slave()).c_ospeed, 115200u);
    QCOMPARE(kernelLine(pty.slave()).c_lflag & ICANON, tcflag_t(0));
    port.close();

    const termios2 after = kernelLine(pty.slave());
    QCOMPARE(after.c_ospeed, original.c_ospeed);
    QCOMPARE(after.c_cflag, original.c_cflag);
    QCOMPARE(after.c_lflag, original.c_lflag);
    QCOMPARE(after.c_iflag, original.c_iflag);
}

void tst_SerialPort::modemLinesFailQuietlyOnPty()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    QVERIFY(!port.setDtr(true));
    QVERIFY(!port.setRts(false));
    platform::LineCounters c;
    QVERIFY(!port.counters(c));
    bool dcd = true, ring = true;
    QVERIFY(!port.modemInputs(dcd, ring));
    // The port goes on working after the refused calls.
    QCOMPARE(port.write("x", 1), 1);
    QCOMPARE(pty.receive(200), QByteArray("x"));
}

void tst_SerialPort::readWaitsAtMostWaitMs()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    char buf[16];
    QElapsedTimer t;
    t.start();
    QCOMPARE(port.read(buf, sizeof buf, 150), 0);
    QVERIFY2(t.elapsed() >= 140 && t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(pty.send("abc"));
    t.restart();
    QCOMPARE(port.read(buf, sizeof buf, 2000), 3);
    QVERIFY(t.elapsed() < 1000);
    QCOMPARE(QByteArray(buf, 3), QByteArray("abc"));
}

void tst_SerialPort::readDropsNullsWhenAsked()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    char buf[16];
    QVERIFY(pty.send(QByteArray("a\0b", 3)));
    QCOMPARE(port.read(buf, sizeof buf, 1000), 3);
    QCOMPARE(QByteArray(buf, 3), QByteArray("a\0b", 3));

    LineSettings s;
    s.ignoreNull = true;
    port.applyLine(s);
    QVERIFY(pty.send(QByteArray("\0c\0\0d", 5)));
    QTest::qWait(50);
    QCOMPARE(port.read(buf, sizeof buf, 1000), 2);
    QCOMPARE(QByteArray(buf, 2), QByteArray("cd"));
}

// The master never reads: once the pty's buffer is full the write must give up after stallMs
// without progress and report what the kernel took.
void tst_SerialPort::writeGivesUpAfterStall()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    const QByteArray data(1 << 20, 'w');
    QElapsedTimer t;
    t.start();
    const qint64 n = port.write(data.constData(), data.size(), 300);
    const qint64 took = t.elapsed();
    QVERIFY2(n > 0 && n < data.size(), qPrintable(QString::number(n)));
    QVERIFY2(took >= 290 && took < 2000, qPrintable(QString::number(took)));
    QCOMPARE(pty.receive(100).size(), n);
}

void tst_SerialPort::vanishedDeviceFailsReadAndWrite()
{
    Pty pty;
    QVERIFY(pty.ok());
    SerialPort port;
    QCOMPARE(port.open(pty.path()), OpenResult::Ok);
    pty.closeMaster();
    char buf[8];
    QElapsedTimer t;
    t.start();
    QCOMPARE(port.read(buf, sizeof buf, 1000), -1);
    QVERIFY(t.elapsed() < 500);
    QCOMPARE(port.write("x", 1, 1000), -1);
    port.close();
    QVERIFY(!port.isOpen());
}

void tst_SerialPort::tracerSeesEveryOperationInOrder()
{
    Pty pty;
    QVERIFY(pty.ok());
    std::vector<SerialTraceEvent> events;
    {
        testsupport::TraceRecorder log;
        SerialPort port;
        QCOMPARE(port.open(pty.path()), OpenResult::Ok);
        LineSettings s;
        s.baud = 14400;
        port.applyLine(s);
        port.setDtr(true);
        port.setRts(false);
        port.purge(true, false);
        port.write("hi", 2);
        port.close();
        events = log.all();
    }
    using K = SerialTraceEvent::Kind;
    const std::vector<K> expected = {K::Open,  K::Line,  K::Dtr,  K::Rts,
                                     K::Purge, K::Write, K::Close};
    QCOMPARE(events.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(events[i].kind, expected[i]);
        QCOMPARE(events[i].path, pty.path());
        if (i > 0) QVERIFY(events[i].msecs >= events[i - 1].msecs);
    }
    QCOMPARE(events[1].line.baud, 14400u);
    QCOMPARE(events[2].on, true);
    QCOMPARE(events[3].on, false);
    QVERIFY(events[4].rx && !events[4].tx);
    QCOMPARE(events[5].data, QByteArray("hi"));
}

// ---- Line sequences: text, wiring, the order and waits the serial layer issues -----------

void tst_SerialPort::lineSequenceText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QString>("badStep");
    QTest::addColumn<QString>("canonical");
    using R = resetseq::Refusal;
    // The families' defaults as the README writes them.
    QTest::newRow("STM32 entry") << "dtr,rts,500ms,-dtr,500ms" << int(R::None) << "" << "dtr,rts,500ms,-dtr,500ms";
    QTest::newRow("blanks and case") << " DTR , -Rts,100ms ,Brk,0ms,-brk " << int(R::None) << ""
                                     << "dtr,-rts,100ms,brk,0ms,-brk";
    QTest::newRow("nothing") << "" << int(R::None) << "" << "";
    QTest::newRow("longest wait, leading zeros") << "0010000ms" << int(R::None) << "" << "10000ms";
    QTest::newRow("10001ms") << "rts,10001ms" << int(R::WaitTooLong) << "10001ms" << "";
    QTest::newRow("a wait past int") << "99999999999ms" << int(R::WaitTooLong) << "99999999999ms" << "";
    QTest::newRow("unknown word") << "rts,cts" << int(R::UnknownStep) << "cts" << "";
    QTest::newRow("ms without digits") << "ms" << int(R::UnknownStep) << "ms" << "";
    QTest::newRow("negative wait") << "-5ms" << int(R::UnknownStep) << "-5ms" << "";
    QTest::newRow("blank inside a wait") << "5 ms" << int(R::UnknownStep) << "5 ms" << "";
    QTest::newRow("empty step") << "rts,,dtr" << int(R::EmptyStep) << "" << "";
    QTest::newRow("trailing comma") << "rts," << int(R::EmptyStep) << "" << "";
}

void tst_SerialPort::lineSequenceText()
{
    QFETCH(QString, text);
    QFETCH(int, refusal);
    QFETCH(QString, badStep);
    QFETCH(QString, canonical);
    const resetseq::Parsed p = resetseq::parse(text);
    QCOMPARE(int(p.refusal), refusal);
    QCOMPARE(p.badStep, badStep);
    QCOMPARE(resetseq::format(p.steps), canonical);
    QCOMPARE(p.ok(), refusal == 0);
    if (!p.ok()) {
        QVERIFY(p.steps.isEmpty());
        QVERIFY(!resetseq::refusalText(p).isEmpty());
        if (p.refusal == resetseq::Refusal::EmptyStep) QCOMPARE(p.badIndex, 2);
    } else {
        QCOMPARE(resetseq::parse(canonical).steps, p.steps); // formatting reads back
    }

    // Each default, written as the README shows it, is the family's sequence.
    QCOMPARE(resetseq::format(resetseq::stm32Entry()), QStringLiteral("dtr,rts,500ms,-dtr,500ms"));
    QCOMPARE(resetseq::format(resetseq::stm32Exit()), QStringLiteral("dtr,5ms,-rts"));
    QCOMPARE(resetseq::format(resetseq::lpcEntry()), QStringLiteral("rts,50ms,dtr,300ms,-dtr"));
    QCOMPARE(resetseq::format(resetseq::stcEntry(680)), QStringLiteral("rts,680ms,-rts"));

    // Wiring: swap first, then the inversion of the line as it leaves the adapter; breaks
    // are never changed.
    const resetseq::Sequence s = resetseq::parse(u"dtr,-rts,brk").steps;
    const auto wired = [&](bool swap, bool rts, bool dtr) {
        return resetseq::format(resetseq::applyWiring(s, {swap, rts, dtr}));
    };
    QCOMPARE(wired(false, false, false), QStringLiteral("dtr,-rts,brk"));
    QCOMPARE(wired(true, false, false), QStringLiteral("rts,-dtr,brk"));
    QCOMPARE(wired(false, true, false), QStringLiteral("dtr,rts,brk"));
    QCOMPARE(wired(false, false, true), QStringLiteral("-dtr,-rts,brk"));
    QCOMPARE(wired(true, true, false), QStringLiteral("-rts,-dtr,brk"));
}

void tst_SerialPort::lineSequenceReachesThePort_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("wiring"); // s: swap, r/d: invert RTS/DTR
    QTest::addColumn<QString>("issued"); // the line changes the layer reports, in order
    QTest::newRow("STM32 entry") << resetseq::format(resetseq::stm32Entry()) << ""
                                 << "dtr,rts,-dtr";
    QTest::newRow("STM32 exit") << resetseq::format(resetseq::stm32Exit()) << "" << "dtr,-rts";
    QTest::newRow("LPC entry") << resetseq::format(resetseq::lpcEntry()) << "" << "rts,dtr,-dtr";
    QTest::newRow("STC entry") << resetseq::format(resetseq::stcEntry(150)) << "" << "rts,-rts";
    QTest::newRow("user, break, swapped and inverted")
        << "dtr,-rts,20ms,brk,30ms,-brk,-dtr" << "sr" << "-rts,-dtr,brk,-brk,rts";
}

void tst_SerialPort::lineSequenceReachesThePort()
{
    QFETCH(QString, text);
    QFETCH(QString, wiring);
    QFETCH(QString, issued);
    Pty pty;
    QVERIFY(pty.ok());
    const resetseq::Sequence steps = resetseq::applyWiring(
        resetseq::parse(text).steps,
        {wiring.contains(u's'), wiring.contains(u'r'), wiring.contains(u'd')});
    std::vector<SerialTraceEvent> events;
    bool taken = true;
    {
        SerialPort port;
        QCOMPARE(port.open(pty.path()), OpenResult::Ok);
        testsupport::TraceRecorder log;
        taken = boardentry::run(steps, boardentry::linesOf(port));
        events = log.all();
    }
    // A pseudo-terminal has no modem lines: the run goes on and says so.
    QVERIFY(!taken);
    QStringList seen;
    for (const SerialTraceEvent &e : events) {
        const char *name = e.kind == SerialTraceEvent::Rts   ? "rts"
                           : e.kind == SerialTraceEvent::Dtr ? "dtr"
                           : e.kind == SerialTraceEvent::Break ? "brk"
                                                               : "?";
        seen << (e.on ? QString() : QStringLiteral("-")) + QLatin1String(name);
    }
    QCOMPARE(seen.join(u','), issued);
    // Every change comes no earlier than the waits before it; between the steps' times the
    // waits of the sequence lie in order.
    qsizetype at = 0;
    int waited = 0;
    for (const resetseq::Step &s : steps) {
        if (s.kind == resetseq::Step::Wait) {
            waited += s.ms;
            continue;
        }
        if (at > 0) QVERIFY2(events[size_t(at)].msecs - events[size_t(at - 1)].msecs >= waited,
                             qPrintable(QStringLiteral("step %1").arg(at)));
        waited = 0;
        ++at;
    }
}

void tst_SerialPort::powerCommandEnds_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<bool>("async");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("output");
    using E = boardentry::CommandResult;
    const QString twoLines = QStringLiteral("echo relay off; echo relay on >&2");
    QTest::newRow("succeeds, both streams") << twoLines << 5000 << false << int(E::Succeeded) << 0
                                            << QStringList{"relay off", "relay on"};
    QTest::newRow("succeeds, while the engine goes on") << twoLines << 5000 << true
                                                        << int(E::Succeeded) << 0
                                                        << QStringList{"relay off", "relay on"};
    QTest::newRow("exit status 3") << "echo no hub; exit 3" << 5000 << false << int(E::Failed) << 3
                                   << QStringList{"no hub"};
    QTest::newRow("exit status 3, while the engine goes on")
        << "echo no hub; exit 3" << 5000 << true << int(E::Failed) << 3 << QStringList{"no hub"};
    QTest::newRow("killed by a signal") << "kill -9 $$" << 5000 << false << int(E::Crashed) << 0
                                        << QStringList{};
    // The shell's child is killed with it: the time-out does not wait for the sleep.
    QTest::newRow("time-out") << "echo waiting; sleep 30; echo late" << 300 << false
                              << int(E::TimedOut) << 0 << QStringList{"waiting"};
    QTest::newRow("time-out, while the engine goes on")
        << "echo waiting; sleep 30; echo late" << 300 << true << int(E::TimedOut) << 0
        << QStringList{"waiting"};
}

void tst_SerialPort::powerCommandEnds()
{
    QFETCH(QString, command);
    QFETCH(int, timeoutMs);
    QFETCH(bool, async);
    QFETCH(int, end);
    QFETCH(int, exitCode);
    QFETCH(QStringList, output);
    QElapsedTimer deadline;
    deadline.start();
    boardentry::PowerCommand p;
    boardentry::CommandResult r;
    if (async) {
        QSignalSpy ended(&p, &boardentry::PowerCommand::ended);
        p.start(command, timeoutMs);
        QVERIFY(ended.wait(15000));
        r = ended.at(0).at(0).value<boardentry::CommandResult>();
    } else {
        r = p.runToEnd(command, timeoutMs);
    }
    QVERIFY2(deadline.elapsed() < 15000, "the command outlived its time-out");
    QCOMPARE(int(r.end), end);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.output, output);
    QCOMPARE(r.ok(), end == int(boardentry::CommandResult::Succeeded));
    const QStringList shown = boardentry::resultLines(r, timeoutMs);
    QCOMPARE(shown.mid(0, output.size()), output);
    QCOMPARE(shown.size(), output.size() + (r.ok() ? 0 : 1)); // a failure says why
    QVERIFY(!p.busy());
}

QTEST_GUILESS_MAIN(tst_SerialPort)
#include "tst_serialport.moc"
