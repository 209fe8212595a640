// TSTCFrm: the hidden controller of the STC 8051 programmer.
//
// Principles of operation
// -----------------------
// The whole download is one call of BitBtn1Click, made by the main window's download button.
// It prepares the image (the file decoded by the iHexToBin library, cut at its last non-zero
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
// Every wait for a reply is a loop on the user-interface thread that blocks until the next
// event (a reception posted by ComPort1's receive thread, a SeekTimer or TimeOutTM tick, or
// anything else the window needs) and handles it, so the window stays alive and no core is
// kept busy. A reception is complete when its last byte is 0x16 and, if it starts a frame
// from the chip, that frame's length is reached; replies are not otherwise checked, except
// the answers to data frames. TimeOutTM counts seconds for the waits
// (StcTicks).
//
// Every end of a download (success, refusal, time-out, port failure, an error that leaves
// the call, the window closing) stops the port, enables the download button again and tells
// the main window once through DownloadEnded.
#pragma once

#include "app/Download.h"
#include "logic/StcFrames.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QElapsedTimer;
class QTimer;
class TComm;
class TMainForm;

class TSTCFrm : public QObject
{
public:
    explicit TSTCFrm(TMainForm *mainForm);
    ~TSTCFrm() override;
    TSTCFrm(const TSTCFrm &) = delete;
    TSTCFrm &operator=(const TSTCFrm &) = delete;

    // ---- handlers --------------------------------------------------------------------
    void FormCreate();
    // Stops the port; a download in progress ends at its next pass.
    void FormClose();
    // Runs one whole download; returns when it has ended. The HEX library's load errors
    // (hexlib::EDLLLoadError, hexlib::EExportError) leave it after the download has been ended.
    void BitBtn1Click();
    // Waits until the awaited reply has come (true) or limit TimeOutTM ticks have passed;
    // a time-out stops the port and appends message (false).
    bool WhileMcuResponse(int limit, const QString &message);
    void ComPort1ReceiveData(TComm *Sender, const char *Buffer, quint16 BufferLength);
    void SeekTimerTimer();
    void TimeOutTMTimer();
    // Sends a frame given as hex text (two digits per byte).
    void StcSendHex(QStringView hexText);

    // ---- image preparation -----------------------------------------------------------
    // Checks and decodes the file named in the main window and splits it into StcBlocks.
    // False when the file is missing, damaged or holds nothing to upload (reported in the
    // message area; the download button is enabled again).
    bool StcPrepareImage();
    // Decodes fileName into StcImage and StcImageLength and shows the size. False when the
    // decoded image has no non-zero byte after offset 0.
    bool StcLoadImage(const QString &fileName);
    // Rebuilds StcBlocks from StcImage.
    void StcSplitBlocks();

    // ---- components ------------------------------------------------------------------
    QTimer *SeekTimer = nullptr;
    QTimer *TimeOutTM = nullptr;
    TComm *ComPort1 = nullptr;

    // ---- state of the programmer -----------------------------------------------------
    // StcRxText (the pending reception), the last-frame text and StcVersionText.
    stc::Receiver StcReceiver;
    bool StcSeeking = false;
    bool StcAwaitingReply = false;
    int StcTicks = 0;
    QByteArray StcImage;
    quint32 StcImageLength = 0;
    QStringList StcBlocks;

private:
    bool runDownload();
    // A refused file leaves no image of an earlier one behind, nor its size on show.
    void forgetImage();
    // How the running download ends if it fails from here on.
    DownloadResult failure_ = DownloadResult::Failed;
    bool connectToChip();
    void changeRate(quint32 baudRate);
    // Waits for the chip's answer to the data frame of a block and checks the sum it carries.
    bool awaitDataAnswer(int block);
    bool sendStep(QStringView frame, quint32 rate, const QString &timeoutMessage);
    void letFrameLeave(const QElapsedTimer &queued, qsizetype frameBytes);
    void releasePort();
    bool failAfterOpen(const QString &line);
    bool abandonedByClose();
    void pumpEvents();

    TMainForm *MainForm;
    bool downloading_ = false;
    bool closeRequested_ = false;
};
