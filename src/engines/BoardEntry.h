// Bringing a board into its boot loader: the line sequences issued through the serial layer,
// the user's power command, and what is said when nothing resets the board.
//
// Every engine goes through here, so the order of things is the same for all families:
// the power command (STM32, LPC: before the entry sequence; STC: while the programmer sends
// its synchronisation pulses, the engine starts it asynchronously), then the entry sequence
// with the wiring applied, then stale input is dropped before the first synchronisation byte.
#pragma once

#include "engines/Download.h"
#include "logic/ResetSequence.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class Engine;
class QProcess;
class QThread;
class QTimer;
class TComm;
class TVokCommDriver;
namespace platform {
class SerialPort;
}

namespace boardentry {

// The three controls a sequence needs of a port; each returns whether the device took it.
struct LineOps
{
    std::function<bool(bool)> rts, dtr, brk;
};
LineOps linesOf(TVokCommDriver &port);
LineOps linesOf(TComm &port);
LineOps linesOf(platform::SerialPort &port);

// Issues the steps in order, sleeping out each wait on the calling thread. True when every
// line change was taken by the device.
bool run(const resetseq::Sequence &steps, const LineOps &lines);

// The sequences the choices put in force for a family with these defaults, wiring applied:
// none without reset (restartWhenDone for the exit).
resetseq::Sequence entrySteps(const DownloadChoices &c, const resetseq::Sequence &familyDefault);
resetseq::Sequence exitSteps(const DownloadChoices &c, const resetseq::Sequence &familyDefault);

enum class Family { Stm32, Lpc, Stc };

// What to do by hand when nothing resets the board, and the note that the port could not set
// its lines.
QString byHandHint(Family family);
QString linesRefusedHint();

// Runs the entry sequence (and, for STM32/LPC, the power command before it) and reports on
// the engine: the command's lines, one hint when the device refused the line changes, or the
// hint what to do by hand when neither a sequence nor a command resets the board. Failed: the
// command failed, its lines have been shown and nothing may be written.
enum class Entered { Ok, LinesRefused, Failed };
Entered enter(Engine &engine, Family family, const DownloadChoices &c,
              const resetseq::Sequence &familyDefault, const LineOps &lines);
// The entry of both STC programmers on their open port: the reset time field gives the default
// (rts, that many ms, -rts), the port settles before a sequence and what came during it is
// purged; the power command is left to the engine (it runs during the handshake). nullopt:
// the default was wanted but the reset time field holds no valid time.
std::optional<Entered> enterStc(Engine &engine, const DownloadChoices &c, TComm &port);

// The exit sequence (exitSteps()) after a written image, with the same hint on a refusal
// unless the entry has given it already (one note per attempt).
void leave(Engine &engine, const resetseq::Sequence &steps, const LineOps &lines, bool noted);

class SharedPower;

// How a power command ended (Abandoned: the run was stopped before or while it ran).
struct CommandResult
{
    enum End { Succeeded, Failed, Crashed, TimedOut, NotStarted, Abandoned } end = NotStarted;
    int exitCode = 0;
    QStringList output; // stdout and stderr as they came, line by line (at most kMaxLines)
    static constexpr int kMaxLines = 200;
    bool ok() const { return end == Succeeded; }
};

// The message lines of a result: its output, then for a failure the reason.
QStringList resultLines(const CommandResult &r, int timeoutMs);
QString commandLine(const QString &command); // "running the power command: ..."

// The port a board's choices name, as the power command is told it: the device path where
// the name leads to one, else the name.
QString portOf(const DownloadChoices &c);

// A command run through /bin/sh -c in a process group of its own; at the time-out the whole
// group is killed. The ports of the boards it resets are in its environment as TRAMELO_PORTS
// (separated by spaces), so a script can power-cycle just those.
class PowerCommand : public QObject
{
    Q_OBJECT
public:
    explicit PowerCommand(QObject *parent = nullptr);
    ~PowerCommand() override;
    // Starts it and returns; ended() comes once (also when it could not start).
    void start(const QString &command, int timeoutMs, const QStringList &ports = {});
    // The command of a board's choices: its own (start()), or, when the run's boards share one
    // (c.sharedPower), the board is ready for the shared command; ended() comes once either way.
    void startFor(const DownloadChoices &c);
    // Runs it to its end on the calling thread (no event loop needed).
    CommandResult runToEnd(const QString &command, int timeoutMs, const QStringList &ports = {});
    // Its own command runs, or the shared command has not ended yet.
    bool busy() const;
    // Kills a running command without reporting it (a shared one runs on for the others).
    void stop();
    // From any thread: kills the process group of a command runToEnd() is running.
    void killNow();

signals:
    void ended(const boardentry::CommandResult &result);

private:
    void setUp(const QString &command, const QStringList &ports);
    CommandResult collect(CommandResult::End end);
    void killGroup();

    QProcess *process_ = nullptr;
    QTimer *timer_ = nullptr;
    bool reported_ = true;
    std::atomic<qint64> pid_{0};
    std::shared_ptr<SharedPower> shared_; // the run's shared command this board waits for
    int ticket_ = -1;
};

// One power command for the boards of a run (a hub or a supply that feeds them all, where a
// command per board would cut the power of a board another one is writing). It runs once, on a
// thread of its own, when every board of the run has either reached the moment its chip must
// be reset (STM32/LPC before the entry sequence, STC with its synchronisation pulses going) or
// ended without reaching it; every board that waited gets its result. TRAMELO_PORTS names the
// ports of the boards that waited. Thread-safe.
class SharedPower
{
public:
    SharedPower(QString command, int timeoutMs, int boards);
    ~SharedPower();
    SharedPower(const SharedPower &) = delete;
    SharedPower &operator=(const SharedPower &) = delete;

    int timeoutMs() const { return timeoutMs_; }
    // The board `ticket` (0 .. boards - 1) is ready; returns once the command has ended.
    CommandResult arriveAndWait(int ticket, const QString &port);
    // The same without waiting: ended is called on context's thread (dropped when withdrawn).
    void arrive(int ticket, const QString &port, QObject *context,
                std::function<void(const CommandResult &)> ended);
    // A board that arrived no longer wants the result (its engine goes).
    void withdraw(int ticket);
    // The board has ended: one that never arrived is no longer waited for.
    void leave(int ticket);
    // The run is stopped: the command does not start, a running one is killed, every board
    // still waiting gets an Abandoned result.
    void abandon();

private:
    void startIfReady();
    void deliver(const CommandResult &r);

    enum class Board { Coming, Arrived, Left };
    struct Waiter
    {
        QPointer<QObject> context;
        std::function<void(const CommandResult &)> ended;
    };
    const QString command_;
    const int timeoutMs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Board> boards_;
    std::vector<QString> ports_;
    std::map<int, Waiter> waiters_;
    std::optional<CommandResult> result_;
    bool started_ = false;
    PowerCommand *running_ = nullptr; // on the runner's thread, while it runs
    std::unique_ptr<QThread> runner_; // runs the command (a QProcess needs a QThread)
};

} // namespace boardentry
Q_DECLARE_METATYPE(boardentry::CommandResult)
