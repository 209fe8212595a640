// StcEngine: the STC 8051 programmer, on a threaded port component of its own.
//
// Principles of operation
// -----------------------
// The whole download is one call of start(). It prepares the image (the file decoded by the iHexToBin library, cut at its last non-zero
// byte, split into 128-byte blocks), opens its own threaded port ComPort1 at 1200 baud, pulses
// RTS to reset the board if asked, and sends the handshake "7F7F" every 20 ms (SeekTimer)
// until the boot loader answers with its status frame. From that frame it takes the chip
// model, the oscillator and the firmware version, raises the line speed in two steps (each
// step frame goes out at 1200 baud, then the port changes to the oscillator's rate), sends
// the control information five times, erases, writes the blocks, sets the clock-mode option
// and sends the end flag. The port stays open from the first handshake to the end flag; the
// speed steps change the rate of the open port.
//
// An image larger than the recognised model's flash is refused before anything is erased.
// The chip answers each data frame with the sum of the block it received; a missing frame
// or a wrong sum ends the download with the block's address.
//
// Every wait for a reply is a loop on the engine's thread that blocks until the next event (a
// reception posted by ComPort1's receive thread, a SeekTimer, QuietTM or TimeOutTM tick, or
// anything else that thread serves, a queued cancel() included) and handles it, so no core is
// kept busy. The window runs the engine on a thread of its own, so none of this holds the
// window. The wait ends the moment the awaited answer is complete: the receive thread hands
// every byte on at once, and a reception is complete when its last byte is 0x16 and, for a
// frame from the chip, its length field is satisfied. While seeking, the bytes since the line
// was last quiet for 100 ms (QuietTM) make one reception: the status frame completes it the
// moment its last byte is in (stc::findStatusFrame: its start, length, end byte and
// checksum), and anything else when the line falls quiet, if its last byte is 0x16. Replies
// are not otherwise checked, except the answers to data frames. TimeOutTM counts seconds for
// the waits (StcTicks); it only bounds them.
//
// Every end of a download (success, refusal, time-out, port failure, an error that leaves
// the call, cancel()) stops the port and emits finished() once.
#pragma once

#include "engines/BoardEntry.h"
#include "engines/Engine.h"
#include "logic/StcFrames.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <QStringList>

#include <atomic>

class QElapsedTimer;
class QTimer;
class TComm;

class StcEngine : public Engine
{
    Q_OBJECT

public:
    explicit StcEngine(QObject *parent = nullptr);
    ~StcEngine() override;
    StcEngine(const StcEngine &) = delete;
    StcEngine &operator=(const StcEngine &) = delete;

    // Installs the HEX decoding library (once, at program start); "" or why it failed.
    static QString installDecoder();

    // Runs one whole download; returns when it has ended. The HEX library's load errors
    // (hexlib::EDLLLoadError, hexlib::EExportError) leave it after finished() was emitted.
    void start(const DownloadChoices &choices) override;
    // Stops the port; a download in progress ends at its next pass. Called on the engine's
    // thread: another thread queues the call, which a running download's wait serves.
    void cancel() override;
    bool running() const override;

    // ---- handlers --------------------------------------------------------------------
    void FormCreate();
    // Waits until the awaited reply has come (true) or limit TimeOutTM ticks have passed;
    // a time-out names the step left unanswered, stops the port and reports message (false).
    bool WhileMcuResponse(int limit, const QString &message, const stc::Unanswered &step);
    void ComPort1ReceiveData(TComm *Sender, const char *Buffer, quint16 BufferLength);
    void SeekTimerTimer();
    void QuietTMTimer();
    void TimeOutTMTimer();
    // Sends a frame given as hex text (two digits per byte).
    void StcSendHex(QStringView hexText);

    // ---- image preparation -----------------------------------------------------------
    // Checks and decodes the chosen file and splits it into StcBlocks. False when the file
    // is missing, damaged or holds nothing to upload (reported as a line).
    bool StcPrepareImage();
    // Decodes fileName into StcImage and StcImageLength and shows the size. False when the
    // decoded image has no non-zero byte after offset 0.
    bool StcLoadImage(const QString &fileName);
    // Rebuilds StcBlocks from StcImage.
    void StcSplitBlocks();

    // ---- components ------------------------------------------------------------------
    QTimer *SeekTimer = nullptr;
    QTimer *QuietTM = nullptr; // while seeking: the line has been quiet for 100 ms
    QTimer *TimeOutTM = nullptr;
    TComm *ComPort1 = nullptr;

    // ---- state of the programmer -----------------------------------------------------
    // StcRxText (the pending reception), the last-frame text and StcVersionText.
    stc::Receiver StcReceiver;
    // While seeking: the bytes since the line was last quiet (at most one read of the port).
    QByteArray StcSeekRx;
    bool StcSeeking = false;
    bool StcAwaitingReply = false;
    int StcTicks = 0;
    QByteArray StcImage;
    quint32 StcImageLength = 0;
    QStringList StcBlocks;

signals:
    // A reception completed: the last-frame text.
    void frameReceived(const QString &lastFrame);

private:
    bool runDownload();
    // A refused file leaves no image of an earlier one behind, nor its size on show.
    void forgetImage();
    void useImage(QByteArray image);
    // How the running download ends if it fails from here on.
    DownloadResult failure_ = DownloadResult::Failed;
    bool connectToChip();
    // While seeking: received bytes join the reception, which the status frame completes.
    void seekReceived(QByteArrayView bytes);
    // A reception completed the awaited frame: the wait goes on.
    void frameCompleted();
    void changeRate(quint32 baudRate);
    // Waits for the chip's answer to the data frame of a block and checks the sum it carries.
    bool awaitDataAnswer(int block);
    bool sendStep(QStringView frame, quint32 rate, const QString &timeoutMessage,
                  const stc::Unanswered &step);
    void letFrameLeave(const QElapsedTimer &queued, qsizetype frameBytes);
    void releasePort();
    bool failAfterOpen(const QString &line);
    bool abandonedByClose();
    void pumpEvents();
    // The power command's end: its lines are shown once; false when it failed.
    bool powerEndedWell();

    DownloadChoices choices_;
    // Read by running() from any thread (a window whose engine runs on a thread of its own).
    std::atomic<bool> downloading_{false};
    bool closeRequested_ = false;
    boardentry::PowerCommand *power_ = nullptr;
    std::optional<boardentry::CommandResult> powerResult_;
    bool powerShown_ = false;
    bool linesNoted_ = false; // the port's refusal of its lines has been said
    bool portLost_ = false; // the port failed under the download
};
