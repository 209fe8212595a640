// Pieces for tests and benchmarks that drive the real main window: waiting on its event loop,
// watching that loop for stalls, and the device and baud list indices the window is set to.
#pragma once

#include "serial/Vok_ComDrv.h"

#include <QElapsedTimer>
#include <QStringView>
#include <QTimer>
#include <functional>

namespace testsupport {

// Runs the event loop until done() holds or the time is up. Unlike QTest::qWaitFor, which
// sleeps 10 ms between looks, this keeps the window's 3 ms and 5 ms timers on time, so a
// download runs at the speed it has in the program.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// Milliseconds of the steady clock, comparable across threads and with the pty peer's log.
qint64 steadyMs();

// The device-list index of an entry, found in the device table by the name the command line
// accepts ("stm32", "lpc2136", "stc89c52rc"). A name the table does not know stops the
// program: every test that uses it would test the wrong device.
int deviceEntry(QStringView name);

// The entries the tests and benchmarks download to.
inline const int kStm32Entry = deviceEntry(u"stm32");
inline const int kLpc2136Entry = deviceEntry(u"lpc2136");
inline const int kLpcAnyEntry = deviceEntry(u"lpc");
inline const int kStc89C52Entry = deviceEntry(u"stc89c52rc");

// Indices of the download and terminal baud lists: the driver's own enumeration.
inline constexpr int kBaud57600Index = br57600;
inline constexpr int kBaud115200Index = br115200;

// Measures the longest time the event loop went without running a 5 ms timer: a handler
// that blocks (a file load, a port that will not close, a wait that does not pump) shows
// here as a long gap.
class FreezeWatch
{
public:
    FreezeWatch();
    qint64 worstMs() const { return worst_; }

private:
    QTimer timer_;
    QElapsedTimer since_;
    qint64 worst_ = 0;
};

} // namespace testsupport
