#include "support/Window.h"

#include "logic/Devices.h"

#include <QEventLoop>
#include <chrono>

namespace testsupport {

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done()) return true;
    QEventLoop loop;
    QElapsedTimer clock;
    clock.start();
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() >= timeoutMs) loop.quit();
    });
    check.start(1);
    loop.exec();
    return done();
}

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int deviceEntry(QStringView name)
{
    const int index = devices::findDevice(name);
    if (index < 0 || devices::entryAt(index)->cliName != name)
        qFatal("the device table has no entry named %s", qPrintable(name.toString()));
    return index;
}

FreezeWatch::FreezeWatch()
{
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout,
                     [this] { worst_ = std::max(worst_, since_.restart()); });
    since_.start();
    timer_.start(5);
}

} // namespace testsupport
