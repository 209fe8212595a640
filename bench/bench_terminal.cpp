// CPU cost of the terminal receiving a continuous 115200-baud stream (text and HEX view), of
// the plot drawing a stream of 8 values a line at 1000 lines a second, and of the idle program
// with the port open. The stream comes through a pseudo-terminal paced
// like a real 8N1 UART; the figure is the CPU time of the user-interface thread (which does
// all the terminal's work) per second of stream.
#include "app/Main.h"
#include "app/PlotWindow.h"

#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int kBaud = 115200;
constexpr int kBitsPerByte = 10;
constexpr int kStreamSeconds = 10;

double threadCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Text as a device prints it: ASCII lines with some GBK-encoded Chinese.
QByteArray streamData(qsizetype size)
{
    QByteArray out;
    QRandomGenerator g(42);
    while (out.size() < size) {
        for (int i = 0; i < 40; ++i)
            out.append(char('a' + g.bounded(26)));
        out.append("\xC4\xE3\xBA\xC3 t=");
        out.append(QByteArray::number(g.bounded(100000)));
        out.append("\r\n");
    }
    out.truncate(size);
    return out;
}

double measureStream(TMainForm &m, testsupport::PtyPeer &peer, bool hex)
{
    m.CheckHexRXD->setChecked(hex);
    const QByteArray data = streamData(kBaud / kBitsPerByte * kStreamSeconds);
    const double cpu0 = threadCpuSeconds();
    QElapsedTimer t;
    t.start();
    peer.clearLog();
    peer.send(data);
    // A plain event loop while the stream runs: the waiting itself must not wake the
    // user-interface thread (a check five times a second is all it adds).
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (peer.sentToHost().size() >= data.size() || t.elapsed() > kStreamSeconds * 3000)
            loop.quit();
    });
    check.start(200);
    loop.exec();
    const double wall = double(t.elapsed()) / 1000.0;
    const double cpu = threadCpuSeconds() - cpu0;
    std::printf("  %-5s view: %6.2f s of stream, %.3f CPU s -> %.4f of a core\n",
                hex ? "HEX" : "text", wall, cpu, cpu / wall);
    return cpu / wall;
}

double processCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Lines as a board prints them for a plotter: 8 named values, 1000 lines a second.
constexpr int kPlotLinesPerSecond = 1000;
QByteArray plotLines(int count, qsizetype &lineBytes)
{
    QByteArray out;
    QRandomGenerator g(7);
    for (int i = 0; i < count; ++i)
        for (int v = 0; v < 8; ++v)
            out += QByteArray(1, char('a' + v)) + ':' + QByteArray::number(g.bounded(1000)) +
                   (v == 7 ? "\r\n" : " ");
    lineBytes = out.size() / count;
    return out;
}

// The plot open and following the stream; the line is paced so that 1000 lines arrive each
// second. Both the user-interface thread (the terminal, the parser, the drawing) and the whole
// process (which here also holds the pseudo-terminal's far end) are measured.
void measurePlot(TMainForm &m, testsupport::PtyPeer &peer)
{
    qsizetype lineBytes = 0;
    const QByteArray data = plotLines(kPlotLinesPerSecond * kStreamSeconds, lineBytes);
    peer.setPacing(kBitsPerByte, int(lineBytes) * kBitsPerByte * kPlotLinesPerSecond);
    m.CheckHexRXD->setChecked(false);
    m.PlotButtonClick();
    m.PlotWindow->resize(1280, 720);
    const double thread0 = threadCpuSeconds();
    const double process0 = processCpuSeconds();
    QElapsedTimer t;
    t.start();
    peer.clearLog();
    peer.send(data);
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (peer.sentToHost().size() >= data.size() || t.elapsed() > kStreamSeconds * 3000)
            loop.quit();
    });
    check.start(200);
    loop.exec();
    const double wall = double(t.elapsed()) / 1000.0;
    const double thread = (threadCpuSeconds() - thread0) / wall;
    const double process = (processCpuSeconds() - process0) / wall;
    const qsizetype rows = m.PlotWindow->data().rowCount();
    std::printf("  plot: %lld lines of %lld bytes in %.2f s (%.0f lines/s), %lld rows kept; "
                "window thread %.4f, whole process %.4f of a core\n",
                qlonglong(kPlotLinesPerSecond * kStreamSeconds), qlonglong(lineBytes), wall,
                kPlotLinesPerSecond * kStreamSeconds / wall, qlonglong(rows), thread, process);
    std::printf("RESULT terminal_plot_1000_lines_cpu_per_s %.4f\n", thread);
    std::printf("RESULT terminal_plot_1000_lines_process_cpu_per_s %.4f\n", process);
    m.PlotWindow->hide();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testenv::TestEnv env;
    testsupport::PtyPeer peer;
    env.mapPort(1, peer.slavePath());
    peer.setPacing(kBitsPerByte, kBaud);
    ApplicationWindows w = CreateApplicationWindows();
    TMainForm &m = *w.main;
    m.show();
    m.RzPageControl1->setCurrentIndex(1);
    m.ComboBox2->setCurrentIndex(testsupport::kBaud115200Index);
    m.BitBtn3Click();

    std::printf("terminal receiving a paced %d-baud stream for %d s\n", kBaud, kStreamSeconds);
    const double text = measureStream(m, peer, false);
    const double hex = measureStream(m, peer, true);
    measurePlot(m, peer);

    const double cpu0 = threadCpuSeconds();
    QElapsedTimer t;
    t.start();
    // An event loop, not QTest::qWait (which wakes every 10 ms and would be counted here).
    QEventLoop idleLoop;
    QTimer::singleShot(5000, &idleLoop, &QEventLoop::quit);
    idleLoop.exec();
    const double idle = (threadCpuSeconds() - cpu0) / (double(t.elapsed()) / 1000.0);
    std::printf("  idle, port open: %.4f of a core\n", idle);
    std::printf("RESULT terminal_text_cpu_per_s %.4f\n", text);
    std::printf("RESULT terminal_hex_cpu_per_s %.4f\n", hex);
    std::printf("RESULT idle_cpu_per_s %.4f\n", idle);
    m.BitBtn3Click();
    return 0;
}
