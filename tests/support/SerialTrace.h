// Records every event of the serial layer (opens, closes, line settings, modem lines, writes)
// while it lives, from whichever thread causes it, through platform::setSerialTracer.
#pragma once

#include "platform/SerialPort.h"

#include <QString>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace testsupport {

class TraceRecorder
{
public:
    using Event = platform::SerialTraceEvent;

    TraceRecorder();
    ~TraceRecorder();
    TraceRecorder(const TraceRecorder &) = delete;
    TraceRecorder &operator=(const TraceRecorder &) = delete;

    std::vector<Event> all() const;
    // The events of one port, in order.
    std::vector<Event> events(const QString &path) const;
    // The events of one kind, on any port, in order.
    std::vector<Event> events(Event::Kind kind) const;
    // How many events of these kinds there were, on any port.
    int count(std::initializer_list<Event::Kind> kinds) const;
    void clear();
    // Marks the present moment: countAfterMark counts only the events recorded after it.
    void mark();
    int countAfterMark(Event::Kind kind) const;

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::size_t mark_ = 0;
};

} // namespace testsupport
