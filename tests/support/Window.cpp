#include "support/Window.h"

#include "logic/Devices.h"

#include <QEventLoop>
#include <algorithm>
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

TraceRecorder::TraceRecorder()
{
    platform::setSerialTracer([this](const platform::SerialTraceEvent &e) {
        std::lock_guard guard(mutex_);
        events_.push_back(e);
    });
}

TraceRecorder::~TraceRecorder()
{
    platform::setSerialTracer(nullptr);
}

std::vector<platform::SerialTraceEvent> TraceRecorder::events(const QString &path) const
{
    std::lock_guard guard(mutex_);
    std::vector<platform::SerialTraceEvent> out;
    for (const auto &e : events_)
        if (e.path == path) out.push_back(e);
    return out;
}

int TraceRecorder::count(std::initializer_list<platform::SerialTraceEvent::Kind> kinds) const
{
    std::lock_guard guard(mutex_);
    return int(std::count_if(events_.begin(), events_.end(), [&](const auto &e) {
        return std::find(kinds.begin(), kinds.end(), e.kind) != kinds.end();
    }));
}

void TraceRecorder::clear()
{
    std::lock_guard guard(mutex_);
    events_.clear();
}

} // namespace testsupport
