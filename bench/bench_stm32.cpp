// Time to write a 64 KiB image with the STM32 programmer, through the main window, to the
// simulated boot loader on a pseudo-terminal that carries bytes no faster than a 115200-baud
// 8E1 UART (11 bits per byte) in either direction, automatic reset off. Three cases: the
// F10x loader (Erase, 2 KiB pages), the same with verify on (every block read back), and
// the F4 loader (Extended Erase, one 16 KiB sector per command).
//
// Printed per run: the time from pressing download to "上载完成！", the time the same bytes
// need on the wire (both directions, 11 bits per byte), their ratio, and where the rest goes:
// the host's turnaround (from the last byte of an answer leaving the device to the first byte
// of the host's next frame arriving), counted over every exchange. The driver reads each
// answer the moment it arrives and the engine sends the next frame from that notice, so the
// turnaround is the pty's and the threads' own latency.
#include "app/Main.h"

#include "platform/SerialPort.h"
#include "sim/Stm32Sim.h"
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
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int kBaud = 115200;
constexpr int kBaudIndex = testsupport::kBaud115200Index;
constexpr int kBitsPerByte = 11;
constexpr int kImageBytes = 64 * 1024;
using testsupport::kStm32Entry;
constexpr int kRuns = 3;
constexpr int kGiveUpMs = 120000;
constexpr quint32 kFlash = 0x08000000;

QByteArray image()
{
    return firmware::pattern(kImageBytes, 7);
}

struct Result
{
    bool ok = false;
    bool written = false;
    double totalMs = 0;
    qsizetype hostBytes = 0;
    qsizetype deviceBytes = 0;
    double turnaroundSumMs = 0;  // host: answer seen to next frame sent
    double deviceTurnSumMs = 0;  // device: frame received to answer sent
    double hostBurstSumMs = 0;   // host frames on the line
    double deviceBurstSumMs = 0; // device answers on the line
    std::vector<double> turnarounds;
    // The host turnaround split at the driver's read of the answer and the host's write of
    // the next frame: waiting for the driver to read it, the engine's work until it writes,
    // and the frame's way through the pty to the device.
    std::vector<double> pollWaits, tickWaits, deliveries;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::size_t(p * double(v.size() - 1) + 0.5)];
}

double msBetween(testsupport::PtyPeer::Clock::time_point a,
                 testsupport::PtyPeer::Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Case
{
    const char *title;
    const char *name; // RESULT name prefix
    sim::Stm32Sim::Config chip;
    bool verify;
};

Result run(const QString &file, const QByteArray &img, const Case &c)
{
    testsupport::BoardRig<sim::Stm32Sim> rig(c.chip);
    sim::Stm32Sim &chip = rig.sim;
    testsupport::PtyPeer &peer = rig.peer;
    peer.setPacing(kBitsPerByte, kBaud);
    rig.select(kStm32Entry, kBaudIndex);
    rig.setAutomaticReset(false); // the reset pulse is a fixed 1 s; not measured here
    TMainForm &m = rig.main();
    m.CheckBox9->setChecked(c.verify);
    m.Edit2->setText(rig.env.file(file, img));

    Result r;
    QEventLoop loop;
    bool ended = false;
    QElapsedTimer t;
    rig.onLine = [&](const QString &line) {
        if (line == QStringLiteral("上载完成！")) r.totalMs = double(t.nsecsElapsed()) / 1e6;
    };
    rig.onEnd = [&](DownloadResult result) {
        r.ok = result == DownloadResult::Written;
        ended = true;
        loop.quit();
    };
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(kGiveUpMs);

    using Clock = testsupport::PtyPeer::Clock;
    std::vector<Clock::time_point> reads;
    std::vector<Clock::time_point> writes;
    const auto terminalReceive = m.ComDriver->OnReceiveData;
    m.ComDriver->OnReceiveData = [&](TVokCommDriver *sender, const quint8 *data, qint32 size) {
        reads.push_back(Clock::now());
        if (terminalReceive) terminalReceive(sender, data, size);
    };
    platform::setSerialTracer([&](const platform::SerialTraceEvent &e) {
        if (e.kind == platform::SerialTraceEvent::Write) writes.push_back(Clock::now());
    });

    t.start();
    m.BitBtn1Click();
    if (!ended) loop.exec();
    platform::setSerialTracer(nullptr);
    peer.attach(nullptr);
    r.hostBytes = peer.received().size();
    r.deviceBytes = peer.sentToHost().size();
    r.written = chip.flash(kFlash, img.size()) == img && chip.protocolErrors().isEmpty();

    // The log split into bursts of one direction. A host frame that follows a device answer:
    // the gap between the last answer byte leaving the device and the frame's first byte
    // arriving is the host's turnaround; the other way round, the device's.
    using Dir = testsupport::PtyPeer::Direction;
    const auto log = peer.log();
    std::size_t burstStart = 0;
    for (std::size_t i = 1; i <= log.size(); ++i) {
        if (i < log.size() && log[i].direction == log[i - 1].direction) continue;
        const double burst = msBetween(log[burstStart].time, log[i - 1].time);
        (log[burstStart].direction == Dir::FromHost ? r.hostBurstSumMs : r.deviceBurstSumMs) +=
            burst;
        if (i < log.size()) {
            const double gap = msBetween(log[i - 1].time, log[i].time);
            if (log[i].direction == Dir::FromHost) {
                r.turnarounds.push_back(gap);
                r.turnaroundSumMs += gap;
                const auto read = std::lower_bound(reads.begin(), reads.end(), log[i - 1].time);
                const auto write = read == reads.end()
                                       ? writes.end()
                                       : std::lower_bound(writes.begin(), writes.end(), *read);
                if (write != writes.end() && *write <= log[i].time) {
                    r.pollWaits.push_back(msBetween(log[i - 1].time, *read));
                    r.tickWaits.push_back(msBetween(*read, *write));
                    r.deliveries.push_back(msBetween(*write, log[i].time));
                }
            } else {
                r.deviceTurnSumMs += gap;
            }
        }
        burstStart = i;
    }
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QByteArray img = image();
    const Case cases[] = {
        {"F10x (0414)", "stm32_64k_115200", sim::Stm32Sim::Config{}, false},
        {"F10x (0414), verify on", "stm32_64k_115200_verify", sim::Stm32Sim::Config{}, true},
        {"F4 (0413)", "stm32_f4_64k_115200", sim::Stm32Sim::Config::profile(0x413), false},
    };
    int status = 0;
    Result last;
    for (const Case &c : cases) {
        std::printf("STM32 download of %d bytes to %s, pty paced at %d baud, %d bits per byte, "
                    "automatic reset off\n",
                    kImageBytes, c.title, kBaud, kBitsPerByte);
        std::printf("%-4s %-6s %8s %8s %8s %10s %6s | %9s %8s %8s %8s | %7s %7s %7s %7s\n", "run",
                    "result", "host B", "dev B", "total s", "wire min s", "ratio", "exchanges",
                    "turn s", "dev s", "lines s", "turn p50", "p90", "mean", "max ms");
        for (int i = 1; i <= kRuns; ++i) {
            last = run(QStringLiteral("fw.bin"), img, c);
            const Result &r = last;
            const double total = r.totalMs / 1000.0;
            const double wire = double(r.hostBytes + r.deviceBytes) * kBitsPerByte / double(kBaud);
            const char *result = r.ok && r.written ? "ok" : (r.ok ? "wrong" : "failed");
            const auto n = r.turnarounds.size();
            std::printf("%-4d %-6s %8lld %8lld %8.2f %10.2f %6.2f | %9zu %8.2f %8.2f %8.2f | %7.2f "
                        "%7.2f %7.2f %7.2f\n",
                        i, result, static_cast<long long>(r.hostBytes),
                        static_cast<long long>(r.deviceBytes), total, wire,
                        wire > 0 ? total / wire : 0.0, n, r.turnaroundSumMs / 1000.0,
                        r.deviceTurnSumMs / 1000.0,
                        (r.hostBurstSumMs + r.deviceBurstSumMs) / 1000.0,
                        percentile(r.turnarounds, 0.5), percentile(r.turnarounds, 0.9),
                        n ? r.turnaroundSumMs / double(n) : 0.0, percentile(r.turnarounds, 1.0));
            if (!(r.ok && r.written)) status = 1;
            if (i == kRuns) {
                std::printf("RESULT %s_total_s %.2f\n", c.name, total);
                std::printf("RESULT %s_wire_min_s %.2f\n", c.name, wire);
                std::printf("RESULT %s_ratio %.2f\n", c.name, wire > 0 ? total / wire : 0.0);
            }
        }
        std::printf("\n");
    }
    std::printf("turn: host turnaround (answer on the line -> next frame on the line), summed and "
                "per exchange;\ndev: device turnaround; lines: time the line carried bytes, per "
                "the pty log\n\n");
    std::printf("host turnaround of the last run split up (ms):\n%-34s %7s %7s %7s %7s\n", "",
                "mean", "p50", "p90", "max");
    auto row = [](const char *name, const std::vector<double> &v) {
        double sum = 0;
        for (const double x : v)
            sum += x;
        std::printf("%-34s %7.2f %7.2f %7.2f %7.2f\n", name, v.empty() ? 0 : sum / double(v.size()),
                    percentile(v, 0.5), percentile(v, 0.9), percentile(v, 1.0));
    };
    row("answer -> driver reads it", last.pollWaits);
    row("read -> engine sends next frame", last.tickWaits);
    row("frame written -> device has it", last.deliveries);
    return status;
}
