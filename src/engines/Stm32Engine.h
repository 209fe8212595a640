// Stm32Engine: the STM32 programmer, a state machine over a polling driver that its caller
// has opened with the boot loader's line (8E1).
//
// Principles of operation
// -----------------------
// * Each answer is evaluated the moment the driver has read it (ReadOnArrival, OnGathered):
//   once the state's reply length is gathered (or a NACK where a refusal can come) the bytes
//   are consumed, tested, and the next command goes out at once. OvertimeT (1 s) only counts
//   towards the time-out: the sync ACK must come before its first tick, every later step gets
//   seven ticks. The 0x7F goes out again while no ACK comes (stm32::kSyncAttempts).
// * The chip's own answers decide the rules: the product id picks the flash-size register and
//   the erase geometry from the device table, the Get reply's command list picks Erase or
//   Extended Erase (no command the loader did not list is ever sent), and the flash size read
//   from the chip bounds the image before anything is erased.
// * With verify, each block is read back and compared after its ACK; a mismatch writes it
//   again (kVerifyRewrites times at most).
// * Every end of an attempt goes through stmFinish, which lets go of the driver (it stays
//   open: its owner closes it) and emits finished() once.
#pragma once

#include "engines/Engine.h"
#include "logic/Devices.h"
#include "logic/Stm32Image.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QStringList>
#include <array>

class QTimer;
class TVokCommDriver;

class Stm32Engine : public Engine
{
    Q_OBJECT

public:
    Stm32Engine(TVokCommDriver *port, QObject *parent = nullptr);
    ~Stm32Engine() override;

    void start(const DownloadChoices &choices) override;
    void cancel() override;
    bool running() const override;

    // The driver read bytes: evaluates what is gathered for the current state.
    void ComDriverGathered();
    void OvertimeTTimer();
    // Reads the chosen file into StmImage.
    bool RenewedlyLoadFile();

    QTimer *OvertimeT = nullptr;
    int StmState = 1;
    std::array<quint8, 264> StmFrame{};
    quint8 StmTimeoutCount = 0;
    quint32 StmAddress = 0;
    quint32 StmOffset = 0;
    qint32 StmRemaining = 0;
    QByteArray StmImage; // the image to write from the flash start (at most stm32::kImageCapacity)
    QList<stm32::Span> StmSpans;   // what of StmImage the file gave, whole write units
    bool StmHex = false;           // the file was Intel HEX (only HEX reaches the data EEPROM)
    QList<stm32::Span> StmPending; // what is being written: StmSpans, or a repair's share
    quint32 StmBlockAt = 0;        // offset of the block last written
    quint32 StmRepairAt = 0;       // offset of the block a repair is for
    // What the chip said about itself, and the plan made from it.
    QByteArray StmCommands; // the commands the Get reply listed
    const devices::Stm32Part *StmPart = nullptr;
    quint32 StmFlashKib = 0;
    bool StmFlashFromChip = false; // StmFlashKib was read from the chip, not the device table
    stm32::SizeReadPlan StmSizeRead; // how the loader lets the flash-size register be read
    stm32::UniqueIdPlan StmUid;      // and the unique id
    stm32::ErasePlan StmErase;
    int StmEraseNext = 0;    // next frame of StmErase to send
    bool StmErasing = false; // erase frames sent and not all acknowledged
    // Verify: the block last written is read back and compared; a mismatch rewrites it.
    bool StmVerify = false;
    qint32 StmBlockLength = 0; // bytes of the block last written (0: none awaits a check)
    int StmRewrites = 0;
    // Where the loader lists Get Checksum, verify asks for the CRC of each written range
    // after the last block instead of reading every block back.
    bool StmCrcVerify = false;
    QList<stm32::Span> StmCrcRanges;
    int StmCrcNext = 0;
    // A read-protected chip is unprotected (mass erase) and programmed.
    bool StmUnprotect = false;
    bool StmWriteUnprotect = false; // Write Unprotect before the erase, once per attempt
    bool StmProtect = false;        // Readout Protect after a written image
    quint8 StmUnprotectCommand = 0; // the command UnprotectAck waits for

private:
    void stmSend(QByteArrayView bytes);
    void stmLoadAndErase();
    // The loader refused the flash-size read: the device table's size, or the end.
    void stmSizeFromTable();
    // The unique id, where the size read did not give it; then the file and the erase.
    void stmReadUniqueId();
    void stmSendBlock();
    // The one end of an attempt: reason lines, then the final line of the result.
    // ending: the last line of a failure (default: the chip could not be reached).
    void stmFinish(DownloadResult result, const QStringList &reasons = {},
                   const ShownText &ending = stm32::kFailedText);
    bool stmRequire(quint8 command);
    bool stmRefused(stm32::State state, QByteArrayView reply);
    void stmSendErase();
    void stmStartVerify();
    void stmCheckReadBack(QByteArrayView reply);
    void stmNextBlockOrFinish();
    void stmAskChecksum();
    // The image is written (and verified): Readout Protect if asked, then the end.
    void stmWritten();
    // Sets StmPending, StmRemaining, StmOffset and StmAddress to write the stretches.
    void startWriting(const QList<stm32::Span> &spans);
    void stmRestartAfterUnprotect();
    // Sends the attempt-th 0x7F (from 1) and awaits its answer.
    void stmSendSync(int attempt);
    void hook(bool on);

    TVokCommDriver *ComDriver;
    QTimer *restart_ = nullptr; // the chip's restart after Readout Unprotect
    // The 0x7F again while no ACK came (stm32::kSyncAttempts in all).
    QTimer *syncRetry_ = nullptr;
    int syncAttempt_ = 0; // the 0x7F sent last, from 1
    QString file_;
    std::optional<quint64> binaryAddress_; // DownloadChoices::binaryAddress
    int progressMax_ = 100;
    bool running_ = false;
    bool restartWhenDone_ = true;
    resetseq::Sequence exit_; // the lines after a written image
    bool linesNoted_ = false; // the port's refusal of its lines has been said
};
