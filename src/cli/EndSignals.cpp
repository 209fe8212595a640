#include "cli/EndSignals.h"

#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace cli {

namespace {

volatile sig_atomic_t endSignal = 0;
int endSignalPipe[2] = {-1, -1};
constexpr int kEndSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};

void onEndSignal(int sig)
{
    if (endSignal != 0) ::_exit(128 + sig);
    endSignal = sig;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(endSignalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals()
{
    static_assert(std::size(kEndSignals) == sizeof previous_ / sizeof previous_[0]);
    if (::pipe2(endSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action = {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kEndSignals); ++i)
        ::sigaction(kEndSignals[i], &action, &previous_[i]);
    installed_ = true;
}

EndSignals::~EndSignals()
{
    if (!installed_) return;
    // After an end signal the program is on its way out with 128+signal; a second signal
    // during that must end it with the same status, not by the signal's default action,
    // so the handler (which then only calls _exit) stays.
    const bool ending = endSignal != 0;
    if (!ending)
        for (size_t i = 0; i < std::size(kEndSignals); ++i)
            ::sigaction(kEndSignals[i], &previous_[i], nullptr);
    ::close(endSignalPipe[0]);
    ::close(endSignalPipe[1]);
    endSignalPipe[0] = endSignalPipe[1] = -1;
    if (!ending) endSignal = 0;
}

int EndSignals::readFd() const
{
    return endSignalPipe[0];
}

int EndSignals::take()
{
    char bytes[16];
    while (endSignalPipe[0] >= 0 && ::read(endSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    return endSignal;
}

QString signalName(int sig)
{
    switch (sig) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    case SIGQUIT:
        return QStringLiteral("SIGQUIT");
    default:
        return QStringLiteral("signal %1").arg(sig);
    }
}

} // namespace cli
