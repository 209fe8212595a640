// The program's real main window with a board at the far end of a pseudo-terminal that the
// settings store maps to COM1, and what the window reported: its message lines, its status
// texts and the result of every download that ended. BoardRig adds a simulated boot loader
// as the board.
#pragma once

#include "app/Main.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"

#include <QElapsedTimer>
#include <QList>
#include <QStringList>
#include <functional>

namespace testsupport {

class WindowRig
{
public:
    using Prepare = std::function<void(const testenv::TestEnv &)>;

    // prepare runs in the throw-away environment before the windows exist (a settings file
    // of its own, a file where a folder should be); COM1 is mapped after it.
    explicit WindowRig(const Prepare &prepare = {});
    // A class that attaches a board to the peer detaches it in its own destructor, before
    // the board is gone.
    virtual ~WindowRig();
    WindowRig(const WindowRig &) = delete;
    WindowRig &operator=(const WindowRig &) = delete;

    TMainForm &main() const { return *windows.main; }

    // The device entry and COM1 on the download page; the download and terminal baud lists
    // too where an index is given.
    void select(int entry, int baudIndex = -1);
    void setAutomaticReset(bool on);
    // Names the file and presses the download button, forgetting the lines and status texts
    // of the attempt before; clock starts.
    void start(const QString &file);
    // Runs the event loop until `count` downloads have ended since the rig was made.
    bool waitForEnds(qsizetype count, int timeoutMs);

    testenv::TestEnv env;
    PtyPeer peer;
    ApplicationWindows windows;

    QStringList lines;
    QStringList statuses;
    QList<DownloadResult> results; // every end, in order
    qint64 endedAfterMs = -1;      // the last end, after the start of the clock
    QElapsedTimer clock;
    // Called after the rig recorded a line or an end.
    std::function<void(const QString &)> onLine;
    std::function<void(DownloadResult)> onEnd;
};

// The window with a simulated boot loader (sim::Stm32Sim, sim::LpcSim, sim::StcSim) as the
// board on COM1.
template <typename Board> class BoardRig : public WindowRig
{
public:
    explicit BoardRig(const typename Board::Config &config = {}, const Prepare &prepare = {})
        : WindowRig(prepare), sim(config)
    {
        peer.attach(&sim);
    }
    ~BoardRig() override { peer.attach(nullptr); }

    Board sim;
};

// Once an attempt has ended the progress bar keeps where it got to, as the figures beside it
// say: all of it after a written image, where it stopped after a failure (empty for a file
// refused before the start). "" when it does, else what is wrong.
QString keptProgressProblem(const TMainForm &m, bool written);

} // namespace testsupport
