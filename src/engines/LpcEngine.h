// LpcEngine: the NXP LPC2000 programmer, over a polling driver that its caller has opened
// with the boot loader's line (8N1, at most 57600 baud).
//
// Principles of operation
// -----------------------
// * The download is a state machine over the driver, driven by the chip's answers: the driver
//   reads every arrival at once (ReadOnArrival) and reports it (OnGathered). Four timers remain,
//   none of them waiting for an answer that has come:
//     Timer1  8000 ms  communication time-out, started with every command sent
//     Timer2   200 ms  animated status text while writing
//     Timer3   300 ms  repeats "?" while synchronising
//     Timer4   300 ms  progress while writing (always running)
// * A reply is looked at only when the step's minimum number of bytes has been gathered and
//   it ends with the line end; it is then consumed and compared with the step's answer. An
//   answer that is not accepted is dropped and the time-out ends the download, except while
//   synchronising ("?" again, up to 250 times) and while writing (the item again, up to 20
//   times).
// * Steps: "?" autobaud, "Synchronized", the crystal in kHz, unlock, echo off, part
//   identification (chooses the sector layout and loads the image into the send list), the
//   serial number where the part's row names "N" (reported as the chip's unique id), boot
//   code version, prepare and erase every sector, then the send list item by item: write to
//   RAM, uuencoded data lines with their checksum line, prepare the block's sector, copy RAM
//   to flash, compare flash with RAM. The image logic lives in LpcImage.h, the reply checks
//   in LpcReplies.h.
// * Before anything is erased the image is checked against the identified part's flash, and
//   its vector table gets the checksum that lets the boot loader start it. A compare that
//   finds the flash different ends the download at once, naming the address.
// * The entry that takes any part ("NXP LPC (any part)") identifies the part by its answer to
//   "J" in the device table and writes it as its row says (where W may write, how data travel,
//   the copy counts, its sectors, the valid-code word); an identification no row knows ends
//   the attempt before anything is erased. With verify on, each copy is compared ("M"), or
//   on parts that have "S" one CRC-32 covers the whole image. The six LPC2000 entries keep
//   the layouts of their own table, byte for byte.
// * The pause after each data line and the reset pulse block the engine's thread.
// * Every end of an attempt stops the timers that drive it, lets go of the driver (its owner
//   closes it), sets the progress to 0 and emits finished() exactly once.
#pragma once

#include "engines/Engine.h"
#include "logic/LpcImage.h"

#include <QByteArray>
#include <QString>

class QTimer;
class TVokCommDriver;

class LpcEngine : public Engine
{
    Q_OBJECT

public:
    // LpcState: the answer being waited for.
    enum Step : qint32 {
        StepSync = 1,         // "?"
        StepSynchronized = 2, // "Synchronized"
        StepCrystal = 3,      // "11059.2"
        StepUnlock = 4,       // "U 23130"
        StepEchoOff = 5,      // "A 0"
        StepPartId = 6,       // "J"
        StepBootVersion = 7,  // "K"
        StepPrepare = 8,      // "P 0 <last sector>"
        StepErase = 9,        // "E 0 <last sector>"
        StepWrite = 10,       // the current send item
        StepSerial = 11,      // "N", on the parts that have it (the entry for any part)
    };

    LpcEngine(TVokCommDriver *port, QObject *parent = nullptr);
    ~LpcEngine() override;

    void start(const DownloadChoices &choices) override;
    void cancel() override;
    bool running() const override;

    // Chooses the sector layout for a part identification and loads the image.
    bool SectorSet(const QString &partId);
    // Loads the chosen firmware file into the image and the send list.
    bool RenewedlyLoadFile();

    // The driver read bytes: evaluates what is gathered for the current step.
    void ComDriverGathered();
    void Timer1Timer();
    void Timer2Timer();
    void Timer3Timer();
    void Timer4Timer();

    QTimer *Timer1 = nullptr;
    QTimer *Timer2 = nullptr;
    QTimer *Timer3 = nullptr;
    QTimer *Timer4 = nullptr;

    // ---- state of the download ----
    qint32 LpcState = StepSync;
    qint32 LpcSyncTries = 1;
    qint32 LpcRetryCount = 0;
    bool LpcSpinner = true;
    bool LpcWritingRam = true;
    quint8 LpcDotPhase = 0;
    QString LpcLastSector;
    QString LpcPartId;       // the part identification as the chip sent it
    QString LpcPartIdHint;   // "SectorAmount: <last>"
    qint64 LpcFlashBytes = 0; // flash of the identified part (sectors 0..last)
    lpc::SectorTable LpcSectorTable{};
    devices::LpcCopyRule LpcCopyRule = devices::kLpc22xxCopy; // of the identified part
    // The entry that takes any part: the row of the identified part (nullptr before "J").
    const devices::LpcChip *LpcChip = nullptr;
    QByteArray LpcImageStream;
    bool LpcImageLoaded = false;
    lpc::LpcSendList LpcSendList;
    quint16 LpcSendPos = 0;
    int LpcSendCount() const { return LpcSendList.LpcSendCount(); }

private:
    void hook(bool on);
    void evaluate(const QByteArray &reply);
    void syncAnswer(const QByteArray &reply);
    void partIdAnswer(const QByteArray &reply);
    void bootVersionAnswer(const QByteArray &reply);
    void serialAnswer(const QByteArray &reply);
    void eraseAnswer(const QByteArray &reply);
    void writeAnswer(const QByteArray &reply);
    // The entry that takes any part: the part's row, its image and send list; false when the
    // attempt ended instead (unknown part, unusable file, image larger than the part).
    bool anyPartLoad(const QString &partId);
    // The item being answered is a CRC ("S").
    bool awaitingCrc() const;
    // Moves on to the next item, or ends the download after the last.
    void nextItem();
    // The item being answered is a compare ("M").
    bool awaitingCompare() const;

    // Sends a command line and starts the time-out.
    void sendCommand(const QByteArray &text);
    // Stops the time-out: an accepted answer gives the next command its full time.
    void accepted();
    // Sends the item at LpcSendPos; false when the download ended instead.
    bool sendItem();
    void showAndAppend(const QString &text);
    void endDownload(const QString &message, DownloadResult result);
    void releaseImage();

    TVokCommDriver *ComDriver;
    QString file_;
    std::optional<quint64> binaryAddress_; // DownloadChoices::binaryAddress
    QString timeout_;
    QByteArray crystal_;   // the frequency sent in the handshake
    bool anyPart_ = false; // the entry that takes any part
    bool verify_ = false;
    bool running_ = false;
    resetseq::Sequence exit_; // the lines after a written image
    bool linesNoted_ = false; // the port's refusal of its lines has been said
    // What the chip was last asked, named when no answer comes: the command line as sent
    // ("?" while synchronising, "W 268435968 4096 (data)" for data lines).
    QByteArray awaited_;
    QByteArray lastWrite_; // the "W" line the data lines belong to
};
