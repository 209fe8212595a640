// CPU cost of the terminal receiving a continuous 115200-baud stream (text and HEX view), and
// of the idle program with the port open. The stream comes through a pseudo-terminal paced
// like a real 8N1 UART; the figure is the CPU time of the user-interface thread (which does
// all the terminal's work) per second of stream.
#include "app/Main.h"

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
