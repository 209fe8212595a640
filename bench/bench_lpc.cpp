// Time to write a 64 KiB image with the LPC2000 programmer, through the main window, to the
// simulated boot loader on a pseudo-terminal that carries bytes no faster than a 57600-baud
// 8N1 UART in either direction. Printed beside it: the time the same bytes need on the wire
// (both directions, 10 bits per byte) and the ratio of the two. Run once with the time-out
// field at 5 (default: a 15 ms pause after every data line) and once at 1 (3 ms). Every copy
// to flash is followed by a compare ("M") of the block, and its round trip is in the time.
// Then the entry for any part at 115200 baud: an LPC1768 board written with 256 KiB, beside
// lpc21isp writing the same image to the same board (the peer's time measured the same way),
// and an LPC845 board written with 64 KiB without and with the verify through "S".
#include "engines/LpcEngine.h"
#include "app/Main.h"

#include "sim/LpcSim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr int kBaud = 57600;
constexpr int kBaudIndex = testsupport::kBaud57600Index;
constexpr int kBitsPerByte = 10;
constexpr int kImageBytes = 64 * 1024;
using testsupport::kLpc2136Entry;
constexpr int kHexRecordBytes = 16;
constexpr int kGiveUpMs = 180000;

// The same image in every run (seed 0 starts the generator at 1).
QByteArray image()
{
    return firmware::pattern(kImageBytes, 0);
}

QByteArray toHex(const QByteArray &bytes)
{
    return firmware::intelHex(bytes, kHexRecordBytes);
}

// Presses 下载 and waits for the download's end (or kGiveUpMs): its milliseconds, and whether
// it wrote the image.
qint64 pressDownload(testsupport::BoardRig<sim::LpcSim> &rig, bool &written)
{
    QEventLoop loop;
    bool ended = false;
    written = false;
    rig.onEnd = [&](DownloadResult result) {
        written = result == DownloadResult::Written;
        ended = true;
        loop.quit();
    };
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(kGiveUpMs);
    QElapsedTimer t;
    t.start();
    rig.main().BitBtn1Click();
    if (!ended) loop.exec();
    rig.onEnd = nullptr;
    return t.elapsed();
}

struct Result
{
    bool ok = false;
    bool written = false;
    qint64 elapsedMs = 0;
    qsizetype hostBytes = 0;
    qsizetype deviceBytes = 0;
    int compares = 0; // compares the chip answered "0"
};

Result run(const QString &timeoutField, const QByteArray &img)
{
    testsupport::BoardRig<sim::LpcSim> rig;
    sim::LpcSim &chip = rig.sim;
    testsupport::PtyPeer &peer = rig.peer;
    peer.setPacing(kBitsPerByte, kBaud);
    rig.select(kLpc2136Entry, kBaudIndex);
    TMainForm &m = rig.main();
    m.CheckBox2->setChecked(false); // the reset pulse is a fixed 350 ms; not measured here
    m.Edit3->setText(timeoutField);
    m.Edit2->setText(rig.env.file(QStringLiteral("fw.hex"), toHex(img)));

    Result r;
    r.elapsedMs = pressDownload(rig, r.ok);
    peer.attach(nullptr);
    r.hostBytes = peer.received().size();
    r.deviceBytes = peer.sentToHost().size();
    // The programmer sets the reserved vector (word 0x14) so that the board starts the code.
    QByteArray flash = chip.flash(0, img.size());
    r.written = chip.wouldStartUserCode() &&
                flash.remove(0x14, 4) == QByteArray(img).remove(0x14, 4) &&
                chip.protocolErrors().isEmpty();
    for (const sim::LpcSim::Command &c : chip.commands())
        r.compares += c.line.startsWith("M ") && c.code == 0;
    return r;
}

// ---- the entry for any part ----

struct AnyRun
{
    bool ok = false;
    qint64 elapsedMs = 0;
    qsizetype wireBytes = 0; // both directions
    qsizetype hostBytes = 0;
    qint64 echoedBytes = 0; // of the device's bytes, the echo of the host's
    // Time the line was quiet in both directions, by what was sent last before the pause:
    // the host's last line ("W", "P", "C", "M", "S", "data" for a uuencoded line, "sum" for a
    // checksum line) when the host waited for the chip, "answer" when the chip had answered
    // and the host had not yet sent.
    std::map<std::string, double> quietS;
    std::map<std::string, int> quietCount;
};

// Sums the pauses of a paced line's log: a chunk's bytes were on the wire for perByte each
// before its time, so the line was quiet from the end of one chunk to the start of the next.
void addQuiet(AnyRun &r, const std::vector<sim::PtyPeer::Record> &log, double perByteS)
{
    using Dir = sim::PtyPeer::Direction;
    std::string lastHost = "start";
    QByteArray partial;
    double busyUntil = -1;
    const auto t0 = log.empty() ? sim::PtyPeer::Clock::time_point{} : log.front().time;
    bool lastFromHost = true;
    for (const auto &rec : log) {
        const double at = std::chrono::duration<double>(rec.time - t0).count();
        const double start = at - double(rec.bytes.size()) * perByteS;
        // Shorter gaps are the peer thread's wake-up jitter, not a quiet line.
        if (busyUntil >= 0 && start > busyUntil + 2 * perByteS) {
            const std::string key = lastFromHost ? lastHost : std::string("answer");
            r.quietS[key] += start - busyUntil;
            ++r.quietCount[key];
        }
        busyUntil = std::max(busyUntil, at);
        lastFromHost = rec.direction == Dir::FromHost;
        if (!lastFromHost) continue;
        partial += rec.bytes;
        qsizetype end;
        while ((end = partial.indexOf('\n')) >= 0) {
            const QByteArray l = partial.left(end).trimmed();
            partial.remove(0, end + 1);
            if (l.isEmpty()) continue;
            if (l.contains(' ')) lastHost = std::string(1, l[0]);
            else if (std::all_of(l.begin(), l.end(), [](char c) { return c >= '0' && c <= '9'; }))
                lastHost = "sum";
            else
                lastHost = "data";
        }
    }
}

// Tramelo through the window: the any-part entry, 115200 baud, pause factor 1.
AnyRun anyPart(const sim::LpcSim::Part &part, const QByteArray &img, bool verify)
{
    sim::LpcSim::Config config;
    config.part = part;
    config.oldContents = 0xFF;
    testsupport::BoardRig<sim::LpcSim> rig(config);
    rig.peer.setPacing(kBitsPerByte, 115200);
    rig.select(testsupport::kLpcAnyEntry, testsupport::kBaud115200Index);
    TMainForm &m = rig.main();
    m.CheckBox2->setChecked(false);
    m.Edit3->setText(QStringLiteral("1"));
    m.CrystalEdit->setText(QStringLiteral("12000"));
    m.CheckBox9->setChecked(verify);
    m.Edit2->setText(rig.env.file(QStringLiteral("fw.bin"), img));
    AnyRun r;
    r.elapsedMs = pressDownload(rig, r.ok);
    rig.peer.attach(nullptr);
    r.wireBytes = rig.peer.received().size() + rig.peer.sentToHost().size();
    r.hostBytes = rig.peer.received().size();
    r.echoedBytes = rig.sim.echoedBytes();
    addQuiet(r, rig.peer.log(), double(kBitsPerByte) / 115200.0);
    QByteArray flash = rig.sim.flash(0, img.size());
    r.ok = r.ok && rig.sim.wouldStartUserCode() &&
           flash.remove(0x1C, 4) == QByteArray(img).remove(0x1C, 4);
    return r;
}

// lpc21isp on the same kind of board: the same image, rate and oscillator; its own time from
// start to exit. Not run when lpc21isp is not installed (ok false, elapsed 0).
AnyRun peer(const sim::LpcSim::Part &part, const QByteArray &img)
{
    AnyRun r;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("fw.bin"));
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(img) != img.size()) return r;
    f.close();
    sim::LpcSim::Config config;
    config.part = part;
    config.oldContents = 0xFF;
    sim::LpcSim chip(config);
    testsupport::PtyPeer line;
    line.setPacing(kBitsPerByte, 115200);
    line.attach(&chip);
    QProcess p;
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral("lpc21isp"), {QStringLiteral("-bin"), QStringLiteral("-donotstart"),
                                         file, line.slavePath(), QStringLiteral("115200"),
                                         QStringLiteral("12000")});
    if (!p.waitForStarted(5000)) return r;
    // The pty's pacing runs on the peer's thread; wait here without an event loop of our own.
    p.waitForFinished(kGiveUpMs);
    r.elapsedMs = t.elapsed();
    line.attach(nullptr);
    r.wireBytes = line.received().size() + line.sentToHost().size();
    r.hostBytes = line.received().size();
    r.echoedBytes = chip.echoedBytes();
    addQuiet(r, line.log(), double(kBitsPerByte) / 115200.0);
    QByteArray flash = chip.flash(0, img.size());
    r.ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 &&
           flash.remove(0x1C, 4) == QByteArray(img).remove(0x1C, 4);
    return r;
}

int anyPartRows()
{
    int status = 0;
    const double bitsAt115200 = double(kBitsPerByte) / 115200.0;
    const QByteArray img256 = firmware::pattern(256 * 1024, 1);
    const AnyRun ours = anyPart(sim::LpcSim::lpc1768(), img256, false);
    const AnyRun theirs = peer(sim::LpcSim::lpc1768(), img256);
    const double oursS = double(ours.elapsedMs) / 1000.0;
    const double wire = double(ours.wireBytes) * bitsAt115200;
    const double theirsS = double(theirs.elapsedMs) / 1000.0;
    std::printf("\nLPC1768, 256 KiB at 115200 baud (any-part entry, pause factor 1)\n");
    std::printf("%-10s %-6s %10s %12s %7s\n", "program", "result", "total s", "wire min s",
                "ratio");
    std::printf("%-10s %-6s %10.2f %12.2f %7.2f\n", "tramelo", ours.ok ? "ok" : "failed", oursS,
                wire, wire > 0 ? oursS / wire : 0.0);
    std::printf("%-10s %-6s %10.2f %12.2f %7.2f\n", "lpc21isp", theirs.ok ? "ok" : "failed",
                theirsS, double(theirs.wireBytes) * bitsAt115200,
                theirs.wireBytes > 0 ? theirsS / (double(theirs.wireBytes) * bitsAt115200) : 0.0);
    std::printf("RESULT lpc1768_256k_115200_wire_ratio %.3f\n", wire > 0 ? oursS / wire : 0.0);
    if (theirs.ok)
        std::printf("RESULT lpc1768_256k_115200_vs_lpc21isp %.3f\n",
                    theirsS > 0 ? oursS / theirsS : 0.0);
    // The wire figure counts every byte seen in either direction, the echo too. On a line that
    // carries both directions at once an echo overlaps the bytes it echoes, so for a program
    // that leaves echo on the figure is more than the time the line needs.
    for (const auto *run : {&ours, &theirs})
        std::printf("%s: host %lld bytes, chip %lld bytes of which echo %lld\n",
                    run == &ours ? "tramelo" : "lpc21isp", static_cast<long long>(run->hostBytes),
                    static_cast<long long>(run->wireBytes - run->hostBytes),
                    static_cast<long long>(run->echoedBytes));
    for (const auto *run : {&ours, &theirs}) {
        std::printf("%s, the line quiet in both directions after:", run == &ours ? "tramelo" : "lpc21isp");
        for (const auto &[what, seconds] : run->quietS)
            std::printf(" %s %.2f s/%d", what.c_str(), seconds, run->quietCount.at(what));
        std::printf("\n");
    }
    if (!ours.ok) status = 1;

    const QByteArray img64 = firmware::pattern(64 * 1024, 2);
    const AnyRun plain = anyPart(sim::LpcSim::lpc845(), img64, false);
    const AnyRun verified = anyPart(sim::LpcSim::lpc845(), img64, true);
    std::printf("\nLPC845, 64 KiB at 115200 baud, raw data\n");
    std::printf("%-10s %-6s %10s\n", "verify", "result", "total s");
    std::printf("%-10s %-6s %10.2f\n", "none", plain.ok ? "ok" : "failed",
                double(plain.elapsedMs) / 1000.0);
    std::printf("%-10s %-6s %10.2f\n", "S (CRC)", verified.ok ? "ok" : "failed",
                double(verified.elapsedMs) / 1000.0);
    std::printf("RESULT lpc845_64k_verify_s_overhead %.3f\n",
                plain.elapsedMs > 0 ? double(verified.elapsedMs) / double(plain.elapsedMs) - 1.0
                                    : 0.0);
    if (!plain.ok || !verified.ok) status = 1;
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QByteArray img = image();
    std::printf("LPC2000 download of %d bytes, pty paced at %d baud, %d bits per byte\n",
                kImageBytes, kBaud, kBitsPerByte);
    std::printf("%-8s %-6s %10s %10s %10s %12s %7s %9s\n", "timeout", "result", "host B",
                "device B", "total s", "wire min s", "ratio", "compares");
    int status = 0;
    if (argc > 1 && QByteArray(argv[1]) == "any") return anyPartRows();
    for (const char *field : {"5", "1"}) {
        const Result r = run(QString::fromLatin1(field), img);
        const double total = double(r.elapsedMs) / 1000.0;
        const double wire = double(r.hostBytes + r.deviceBytes) * kBitsPerByte / double(kBaud);
        const char *result = r.ok && r.written ? "ok" : (r.ok ? "wrong" : "failed");
        std::printf("%-8s %-6s %10lld %10lld %10.2f %12.2f %7.2f %9d\n", field, result,
                    static_cast<long long>(r.hostBytes), static_cast<long long>(r.deviceBytes),
                    total, wire, wire > 0 ? total / wire : 0.0, r.compares);
        std::printf("RESULT lpc_64k_57600_timeout%s_ratio %.2f\n", field,
                    wire > 0 ? total / wire : 0.0);
        if (!(r.ok && r.written)) status = 1;
    }
    if (anyPartRows() != 0) status = 1;
    return status;
}
