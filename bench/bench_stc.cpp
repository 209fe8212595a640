// Time and CPU cost of an STC download of a 16 KiB image through the main window, to the
// simulated STC89C55RD+ (20 KiB of flash, 11.0592 MHz) on a pseudo-terminal that carries bytes no
// faster than a UART at the rate the program has set on its port (1200 baud for the handshake and
// the step frames, 115200 after the switch), 10 bits per byte. Automatic reset off (its pulse is a
// fixed sleep).
//
// Printed per run: the time from pressing download to its end; the wire-time lower bound
// (every byte the dialogue needs, both directions, at the rate it travels: one handshake pair,
// the status frame and the two step frames at 1200 baud, every other frame and every answer at
// 115200); their ratio; the time of the data phase per block; and the CPU time used during the
// download: by the program (the process less the thread of the pty peer and simulator, taken
// from /proc/self/task/<tid>/schedstat) and by its user-interface thread alone (the programmer
// runs on a thread of its own). The fixed cost of the dialogue is named beside them: the
// simulated chip's switching time before each step answer. The status frame is complete the
// moment its last byte is in.
#include "StcLine.h"

#include <QApplication>
#include <QElapsedTimer>

#include <QDir>
#include <QFile>

#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <set>
#include <unistd.h>

namespace {

constexpr int kImageBytes = 16 * 1024;
constexpr int kRuns = 3;
constexpr double kLowRate = 1200;
constexpr double kChipRate = 115200; // the simulated chip's 11.0592 MHz class
constexpr qsizetype kHandshakeBytes = 2;
constexpr qsizetype kAnswerBytes = 8;     // 46 B9 68 00 06 cmd sum 16
constexpr qsizetype kDataAnswerBytes = 9; // 46 B9 68 00 07 00 block-sum sum 16
constexpr quint8 kCmdData = 0x00;
constexpr qsizetype kFrameOverhead = 8; // 46 B9 6A len len cmd sum 16
constexpr qsizetype kEndFlagPrefix = 4; // FE FE FE FE
constexpr quint8 kCmdEnd = 0x82;

double cpuMs(const rusage &u)
{
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// Threads of this process by id, with their names.
std::map<int, QByteArray> threads()
{
    std::map<int, QByteArray> out;
    const QStringList ids =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &id : ids) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(id));
        if (comm.open(QIODevice::ReadOnly)) out[id.toInt()] = comm.readAll().trimmed();
    }
    return out;
}

// Time a thread has run on a CPU, in ms; 0 when it is gone.
double threadCpuMs(int tid)
{
    QFile stat(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly)) return 0;
    return stat.readAll().split(' ').value(0).toDouble() / 1e6;
}

double wireMs(qsizetype bytes, double rate)
{
    return double(bytes) * stctest::kBitsPerByte * 1000.0 / rate;
}

struct Result
{
    bool ok = false;
    double totalMs = 0;
    double wireMs = 0;
    double dataPhaseMs = 0;
    int blocks = 0;
    double cpuProgramMs = 0;
    double cpuUiThreadMs = 0;
    double cpuPeerMs = 0;
};

Result run(const QByteArray &image)
{
    const std::map<int, QByteArray> before = threads();
    sim::StcSim::Config config;
    config.modelCode = QByteArray::fromHex("F10582"); // STC89C55RD+: the image fits
    stctest::StcLine line(config);
    // The peer's thread: started with the bench line and named like the process (the
    // program's own threads are QThreads).
    std::set<int> peerThreads;
    const QByteArray processName = threads()[int(getpid())];
    for (const auto &[tid, name] : threads())
        if (!before.count(tid) && name == processName) peerThreads.insert(tid);
    line.setPaced(true);
    line.main().CheckBox2->setChecked(false);
    line.useImage(image);

    QElapsedTimer clock;
    double dataStart = 0;
    double dataEnd = 0;
    line.main().OnLine = [&](const QString &text) {
        line.lines.append(text);
        if (text == QStringLiteral("正在上载数据 。。。")) dataStart = double(clock.nsecsElapsed());
        if (text == QStringLiteral("设置为单倍速 ！")) dataEnd = double(clock.nsecsElapsed());
    };

    rusage processBefore{}, threadBefore{}, processAfter{}, threadAfter{};
    double peerBefore = 0;
    for (int tid : peerThreads)
        peerBefore += threadCpuMs(tid);
    getrusage(RUSAGE_SELF, &processBefore);
    getrusage(RUSAGE_THREAD, &threadBefore);
    clock.start();
    line.download();
    const double totalMs = double(clock.nsecsElapsed()) / 1e6;
    getrusage(RUSAGE_SELF, &processAfter);
    getrusage(RUSAGE_THREAD, &threadAfter);
    double peerAfter = 0;
    for (int tid : peerThreads)
        peerAfter += threadCpuMs(tid);

    const QByteArray endFlag = QByteArray::fromHex(stc::kEndFlagFrame.toLatin1());
    const bool endFlagArrived =
        line.peer.waitForReceived([&](const QByteArray &r) { return r.endsWith(endFlag); }, 2000);

    Result r;
    r.ok = line.ends == QList<bool>{true} && endFlagArrived && line.sim.endFlagSeen() &&
           line.sim.flash(0, image.size()) == image && line.sim.protocolErrors().isEmpty();
    r.totalMs = totalMs;
    r.blocks = int(line.sim.dataAddresses().size());
    r.dataPhaseMs = (dataEnd - dataStart) / 1e6;
    r.cpuPeerMs = peerAfter - peerBefore;
    r.cpuProgramMs = cpuMs(processAfter) - cpuMs(processBefore) - r.cpuPeerMs;
    r.cpuUiThreadMs = cpuMs(threadAfter) - cpuMs(threadBefore);
    r.ok = r.ok && !peerThreads.empty();

    double wire = wireMs(kHandshakeBytes + line.sim.statusFrame().size(), kLowRate);
    for (const sim::StcSim::Frame &f : line.sim.frames()) {
        const qsizetype size = f.payload.size() + kFrameOverhead;
        const bool step =
            f.command == stctest::kCmdBaudStep1 || f.command == stctest::kCmdBaudStep2;
        wire += wireMs(size, step ? kLowRate : kChipRate);
        if (f.command == kCmdEnd)
            wire += wireMs(kEndFlagPrefix, kChipRate);
        else
            wire += wireMs(f.command == kCmdData ? kDataAnswerBytes : kAnswerBytes, kChipRate);
    }
    r.wireMs = wire;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QByteArray image = stctest::sampleImage(kImageBytes);
    std::printf("STC download of %d bytes to a simulated STC89C55RD+ at 11.0592 MHz, pty paced at "
                "1200 / 115200 baud, %d bits per byte, automatic reset off\n",
                kImageBytes, stctest::kBitsPerByte);
    std::printf("fixed in the dialogue: 2 x %lld ms simulated chip switch\n",
                static_cast<long long>(stctest::kChipSwitchTime.count()));
    std::printf("%-4s %-6s %7s %9s %11s %7s %13s %13s %13s %13s\n", "run", "result", "blocks",
                "total s", "wire min s", "ratio", "ms per block", "CPU program", "CPU UI thread",
                "CPU peer+sim");
    int status = 0;
    Result sum;
    for (int i = 1; i <= kRuns; ++i) {
        const Result r = run(image);
        std::printf("%-4d %-6s %7d %9.2f %11.2f %7.2f %13.1f %10.0f ms %10.0f ms %10.0f ms\n", i,
                    r.ok ? "ok" : "failed", r.blocks, r.totalMs / 1000.0, r.wireMs / 1000.0,
                    r.totalMs / r.wireMs, r.blocks ? r.dataPhaseMs / r.blocks : 0.0, r.cpuProgramMs,
                    r.cpuUiThreadMs, r.cpuPeerMs);
        if (!r.ok) status = 1;
        sum.totalMs += r.totalMs;
        sum.wireMs += r.wireMs;
        sum.cpuProgramMs += r.cpuProgramMs;
        sum.cpuUiThreadMs += r.cpuUiThreadMs;
    }
    std::printf("RESULT stc_16k_download_s %.2f\n", sum.totalMs / kRuns / 1000.0);
    std::printf("RESULT stc_16k_wire_min_s %.2f\n", sum.wireMs / kRuns / 1000.0);
    std::printf("RESULT stc_16k_ratio %.2f\n", sum.totalMs / sum.wireMs);
    std::printf("RESULT stc_16k_cpu_program_ms %.0f\n", sum.cpuProgramMs / kRuns);
    std::printf("RESULT stc_16k_cpu_ui_thread_ms %.0f\n", sum.cpuUiThreadMs / kRuns);
    return status;
}
