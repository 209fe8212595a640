// Start-up time to a shown window: the benchmark starts itself as a child process several
// times; each child creates the application and the windows as the program does, shows the
// main window and reports when it is exposed. The parent measures from starting the process
// (so loading the libraries counts) to that report, and prints the median.
#include "app/Main.h"

#include "support/TestEnv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr int kRuns = 7;
}

int main(int argc, char **argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--child") {
        QElapsedTimer t;
        t.start();
        QApplication app(argc, argv);
        testenv::TestEnv env;
        ApplicationWindows w = CreateApplicationWindows();
        w.main->show();
        if (!QTest::qWaitForWindowExposed(w.main.get(), 5000)) return 1;
        QApplication::processEvents();
        std::printf("shown %lld\n", static_cast<long long>(t.elapsed()));
        return 0;
    }
    QCoreApplication app(argc, argv);
    std::vector<double> total, inside;
    for (int i = 0; i < kRuns; ++i) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (!env.contains("QT_QPA_PLATFORM")) env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        QElapsedTimer t;
        t.start();
        p.start(QCoreApplication::applicationFilePath(), {"--child"});
        if (!p.waitForFinished(30000) || p.exitCode() != 0) {
            std::fprintf(stderr, "child failed\n");
            return 1;
        }
        const QByteArray line = p.readAllStandardOutput().trimmed();
        if (!line.startsWith("shown ")) return 1;
        // The parent's clock stops at process exit; the child's figure is to its window.
        inside.push_back(line.mid(6).toDouble());
        total.push_back(double(t.elapsed()));
    }
    std::sort(total.begin(), total.end());
    std::sort(inside.begin(), inside.end());
    std::printf("start-up to a shown window, median of %d runs (offscreen platform)\n", kRuns);
    std::printf("  from main() to the window exposed: %.0f ms\n", inside[kRuns / 2]);
    std::printf("  whole process, start to exit:       %.0f ms\n", total[kRuns / 2]);
    std::printf("RESULT startup_ms %.0f\n", inside[kRuns / 2]);
    return 0;
}
