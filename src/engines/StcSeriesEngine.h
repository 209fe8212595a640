// StcSeriesEngine: the programmer of the STC12, STC15 and STC8 series, on a threaded port
// component of its own.
//
// Principles of operation
// -----------------------
// The dialogue itself is stc::Session (logic/StcProtocols.h), a state machine without I/O or
// time; this engine carries out its Actions on the port and hands it what the chip sends.
// start() reads the image (Intel HEX or binary), opens the port at the handshake rate, 8N1,
// pulses RTS to reset the board if asked, and from then on is driven by events:
//
//   * an Action: after its pause the port takes its send setting (rate and parity), the bytes
//     are queued; an Action that switches the rate after its bytes waits until they have left
//     and for its pause, then the port takes the answer setting;
//   * while an answer is awaited, the Action's pulse byte (7F sync, FE calibration) is sent
//     every pulse interval, and a single-shot timer bounds the wait;
//   * every reception goes to the session the moment it arrives (the component hands each
//     byte on at once); when the session says the answer is complete, the next Action starts
//     at once. A time-out asks the session for its final Action.
//
// The session's events become the STC89 programmer's message lines (stctexts). Every end (the
// session's last Action, a port that cannot be opened, a refused file, cancel()) stops the
// port and emits finished() once; a failure ends as the STC89 programmer's: a line saying
// why, the port released, the window let go.
#pragma once

#include "engines/BoardEntry.h"
#include "engines/Engine.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <atomic>
#include <memory>

class QTimer;
class TComm;

namespace stc {
struct Action;
struct Event;
class Session;
struct Line;
} // namespace stc

class StcSeriesEngine : public Engine
{
    Q_OBJECT

public:
    explicit StcSeriesEngine(QObject *parent = nullptr);
    ~StcSeriesEngine() override;
    StcSeriesEngine(const StcSeriesEngine &) = delete;
    StcSeriesEngine &operator=(const StcSeriesEngine &) = delete;

    // Opens the port and starts the dialogue; returns once the first handshake pulse is queued
    // (or at once, with finished(), when the file or the port is refused).
    void start(const DownloadChoices &choices) override;
    void cancel() override;
    bool running() const override { return running_; }

    // The handshake rate: the chip measures its clock on the sync pulses at this rate.
    static constexpr qint32 kHandshakeBaud = 2400;
    // The transfer rate when the choices name none.
    static constexpr qint32 kDefaultTransferBaud = 115200;

private:
    void carry(const stc::Action &action);
    void send();
    void awaitAnswer();
    void received(const char *bytes, quint16 length);
    void timedOut();
    void showEvents();
    void showEvent(const stc::Event &event);
    void end();
    void fail(DownloadResult result, const QString &line);
    void setLine(const stc::Line &line);
    // Waits until what was queued has left the port (the kernel's queue, then its time on the
    // wire since it was queued).
    void drain();
    void stopAll();
    void powerEnded(const boardentry::CommandResult &result);

    TComm *port_ = nullptr;
    QTimer *pause_ = nullptr;
    QTimer *pulse_ = nullptr;
    QTimer *wait_ = nullptr;
    std::unique_ptr<stc::Session> session_;
    std::unique_ptr<stc::Action> action_; // the one being carried out
    bool awaiting_ = false;
    qint32 transferBaud_ = 0;
    qint64 targetHz_ = 0;
    std::atomic<bool> running_{false}; // read by running() from any thread
    int openStage_ = -1; // a stage whose "done" line is due when the next one starts
    QElapsedTimer queued_; // since the last bytes were queued
    qint64 queuedBytes_ = 0;
    qint32 baud_ = 0;
    bool parity_ = false;
    boardentry::PowerCommand *power_ = nullptr;
    bool connected_ = false; // the chip has answered the handshake
    bool heldSend_ = false;  // a send waits for the power command's end
    int powerTimeoutMs_ = 0;
    bool linesNoted_ = false; // the port's refusal of its lines has been said
    resetseq::Sequence exit_; // the lines after a written image
};
