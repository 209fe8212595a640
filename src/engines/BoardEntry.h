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
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class Engine;
class QProcess;
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

// How a power command ended.
struct CommandResult
{
    enum End { Succeeded, Failed, Crashed, TimedOut, NotStarted } end = NotStarted;
    int exitCode = 0;
    QStringList output; // stdout and stderr as they came, line by line (at most kMaxLines)
    static constexpr int kMaxLines = 200;
    bool ok() const { return end == Succeeded; }
};

// The message lines of a result: its output, then for a failure the reason.
QStringList resultLines(const CommandResult &r, int timeoutMs);
QString commandLine(const QString &command); // "running the power command: ..."

// A command run through /bin/sh -c in a process group of its own; at the time-out the whole
// group is killed.
class PowerCommand : public QObject
{
    Q_OBJECT
public:
    explicit PowerCommand(QObject *parent = nullptr);
    ~PowerCommand() override;
    // Starts it and returns; ended() comes once (also when it could not start).
    void start(const QString &command, int timeoutMs);
    // Runs it to its end on the calling thread (no event loop needed).
    CommandResult runToEnd(const QString &command, int timeoutMs);
    bool busy() const;
    // Kills a running command without reporting it.
    void stop();

signals:
    void ended(const boardentry::CommandResult &result);

private:
    void setUp(const QString &command);
    CommandResult collect(CommandResult::End end);
    void killGroup();

    QProcess *process_ = nullptr;
    QTimer *timer_ = nullptr;
    bool reported_ = true;
};

} // namespace boardentry
Q_DECLARE_METATYPE(boardentry::CommandResult)
