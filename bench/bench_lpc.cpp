// Time to write a 64 KiB image with the LPC2000 programmer, through the main window, to the
// simulated boot loader on a pseudo-terminal that carries bytes no faster than a 57600-baud
// 8N1 UART in either direction. Printed beside it: the time the same bytes need on the wire
// (both directions, 10 bits per byte) and the ratio of the two. Run once with the time-out
// field at 5 (default: a 15 ms pause after every data line) and once at 1 (3 ms). Every copy
// to flash is followed by a compare ("M") of the block, and its round trip is in the time.
#include "engines/LpcEngine.h"
#include "app/Main.h"

#include "sim/LpcSim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <cstdio>

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
    QEventLoop loop;
    bool ended = false;
    rig.onEnd = [&](DownloadResult result) {
        r.ok = result == DownloadResult::Written;
        ended = true;
        loop.quit();
    };
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(kGiveUpMs);

    QElapsedTimer t;
    t.start();
    m.BitBtn1Click();
    if (!ended) loop.exec();
    r.elapsedMs = t.elapsed();
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
    return status;
}
