#include "support/SerialTrace.h"

#include <algorithm>

namespace testsupport {

TraceRecorder::TraceRecorder()
{
    platform::setSerialTracer([this](const Event &e) {
        std::lock_guard guard(mutex_);
        events_.push_back(e);
    });
}

TraceRecorder::~TraceRecorder()
{
    platform::setSerialTracer(nullptr);
}

std::vector<TraceRecorder::Event> TraceRecorder::all() const
{
    std::lock_guard guard(mutex_);
    return events_;
}

std::vector<TraceRecorder::Event> TraceRecorder::events(const QString &path) const
{
    std::lock_guard guard(mutex_);
    std::vector<Event> out;
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                 [&](const Event &e) { return e.path == path; });
    return out;
}

std::vector<TraceRecorder::Event> TraceRecorder::events(Event::Kind kind) const
{
    std::lock_guard guard(mutex_);
    std::vector<Event> out;
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(out),
                 [&](const Event &e) { return e.kind == kind; });
    return out;
}

int TraceRecorder::count(std::initializer_list<Event::Kind> kinds) const
{
    std::lock_guard guard(mutex_);
    return int(std::count_if(events_.begin(), events_.end(), [&](const Event &e) {
        return std::find(kinds.begin(), kinds.end(), e.kind) != kinds.end();
    }));
}

void TraceRecorder::clear()
{
    std::lock_guard guard(mutex_);
    events_.clear();
    mark_ = 0;
}

void TraceRecorder::mark()
{
    std::lock_guard guard(mutex_);
    mark_ = events_.size();
}

int TraceRecorder::countAfterMark(Event::Kind kind) const
{
    std::lock_guard guard(mutex_);
    return int(std::count_if(events_.begin() + qsizetype(mark_), events_.end(),
                             [&](const Event &e) { return e.kind == kind; }));
}

} // namespace testsupport
