// SIGTERM, SIGINT, SIGHUP and SIGQUIT (Ctrl-\) end a command that holds a port the way
// closing the window does: the port's line settings are restored, its exclusive mode cleared
// and its lock released, then the program exits with 128+signal. The handler only notes the
// signal and writes a byte into a pipe (both async-signal-safe); the command sees it on the
// pipe (an event loop through a socket notifier on readFd(), a blocking conversation by
// calling take() between its reads) and does the rest. A second signal ends the program at
// once, with the same status.
#pragma once

#include <QString>
#include <csignal>

namespace cli {

class EndSignals
{
public:
    EndSignals();
    ~EndSignals();
    EndSignals(const EndSignals &) = delete;
    EndSignals &operator=(const EndSignals &) = delete;
    bool installed() const { return installed_; }
    int readFd() const;
    // The signal received (0: none yet); empties the pipe.
    static int take();

private:
    bool installed_ = false;
    struct sigaction previous_[4]{};
};

// The name of a signal as the program's lines give it ("SIGTERM"), whatever the locale.
QString signalName(int sig);

} // namespace cli
