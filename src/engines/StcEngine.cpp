#include "engines/StcEngine.h"

#include "engines/BoardEntry.h"
#include "engines/StcTexts.h"
#include "engines/Texts.h"
#include "hexlib/StcHexLib.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/FirmwareImage.h"
#include "logic/StcProtocols.h"
#include "logic/HexText.h"
#include "logic/ShownText.h"
#include "serial/SPComm.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <utility>

using namespace std::chrono_literals;
using namespace stctexts;

namespace {

constexpr int kPercent = 100;

// ---- timers, line settings and waits -----------------------------------------------------
constexpr auto kSeekInterval = 20ms;   // one handshake "7F7F" per tick while seeking
constexpr auto kTickInterval = 1000ms; // one StcTicks count per tick
const QString kDefaultPort = QStringLiteral("COM1");
// While seeking, a reception ends 100 ms after its last byte (QuietTM) unless the status frame
// completes it first: the status frame comes at 1200 baud between handshake ticks that clear
// what is pending, and must arrive as one reception. At most one read of the port's receive
// thread (2048 bytes) is one reception.
constexpr auto kQuietInterval = 100ms;
constexpr qsizetype kSeekReceptionBytes = 2048;
// Waits for a reply, in TimeOutTM ticks (seconds).
constexpr int kStepWaitTicks = 6;
constexpr int kControlWaitTicks = 6;
constexpr int kEraseWaitTicks = 12;
constexpr int kDataWaitTicks = 10;
constexpr int kOptionWaitTicks = 10;
constexpr int kControlRepeats = 5;
// 8N1: start bit, eight data bits, stop bit.
constexpr qint64 kBitsPerByte = 10;

} // namespace

StcEngine::StcEngine(QObject *parent)
    : Engine(parent), SeekTimer(new QTimer(this)), QuietTM(new QTimer(this)),
      TimeOutTM(new QTimer(this)), ComPort1(new TComm(this)),
      power_(new boardentry::PowerCommand(this))
{
    connect(power_, &boardentry::PowerCommand::ended, this,
            [this](const boardentry::CommandResult &r) {
                powerResult_ = r;
                powerShown_ = false;
            });
    SeekTimer->setInterval(kSeekInterval);
    SeekTimer->setTimerType(Qt::PreciseTimer);
    QuietTM->setInterval(kQuietInterval);
    QuietTM->setTimerType(Qt::PreciseTimer);
    QuietTM->setSingleShot(true);
    TimeOutTM->setInterval(kTickInterval);
    connect(SeekTimer, &QTimer::timeout, this, &StcEngine::SeekTimerTimer);
    connect(QuietTM, &QTimer::timeout, this, &StcEngine::QuietTMTimer);
    connect(TimeOutTM, &QTimer::timeout, this, &StcEngine::TimeOutTMTimer);
    // Every line is the stage shown in the status bar too; the last one says how it ended.
    connect(this, &Engine::line, this, &Engine::status);
    // The port failed under the download (its adapter was unplugged): the wait ends at once.
    ComPort1->OnRequestHangup = [this](TComm *) {
        if (!downloading_) return;
        portLost_ = true;
        closeRequested_ = true;
    };

    ComPort1->setByteSize(TByteSize::_8);
    ComPort1->setParity(TParity::None);
    ComPort1->setStopBits(TStopBits::_1);
    ComPort1->setOutx_CtsFlow(false);
    ComPort1->setOutx_DsrFlow(false);
    ComPort1->setOutx_XonXoffFlow(false);
    ComPort1->setInx_XonXoffFlow(false);
    ComPort1->setDtrControl(TDtrControl::DtrDisable);
    ComPort1->setRtsControl(TRtsControl::RtsDisable);
    ComPort1->setXonLimit(kXonXoffLimit);
    ComPort1->setXoffLimit(kXonXoffLimit);
    // Every byte is handed on at once; the engine itself sees the line fall quiet.
    ComPort1->setReadIntervalTimeout(kReadAtOnce);
    ComPort1->setReadTotalTimeoutMultiplier(0);
    ComPort1->setReadTotalTimeoutConstant(0);
    ComPort1->setWriteTotalTimeoutMultiplier(0);
    ComPort1->setWriteTotalTimeoutConstant(0);
    ComPort1->OnReceiveData = [this](TComm *sender, const char *buffer, quint16 length) {
        ComPort1ReceiveData(sender, buffer, length);
    };

    FormCreate();
    TimeOutTM->start();
}

StcEngine::~StcEngine()
{
    ComPort1->OnReceiveData = nullptr;
    ComPort1->StopPort();
}

QString StcEngine::installDecoder()
{
    // A library that cannot be installed is reported once and not in the way: loading then
    // looks in the program's folder too, and a download reports its own error if that fails.
    return hexlib::installLibrary();
}

void StcEngine::FormCreate()
{
    ComPort1->setCommName(kDefaultPort);
    ComPort1->setBaudRate(stc::kLowBaudRate);
    StcTicks = 0;
    StcBlocks.clear();
}

void StcEngine::cancel()
{
    if (downloading_) closeRequested_ = true;
    ComPort1->StopPort();
}

bool StcEngine::running() const
{
    return downloading_;
}

void StcEngine::StcSendHex(QStringView hexText)
{
    const QByteArray bytes = hextext::fromHex(hexText);
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<quint16>::max()) return;
    ComPort1->WriteData(bytes.constData(), quint16(bytes.size()));
}

void StcEngine::SeekTimerTimer()
{
    StcSendHex(stc::kHandshakeFrame);
    StcReceiver.clearPending();
}

void StcEngine::TimeOutTMTimer()
{
    ++StcTicks;
}

void StcEngine::ComPort1ReceiveData(TComm *, const char *Buffer, quint16 BufferLength)
{
    if (!Buffer) return;
    if (StcSeeking) {
        seekReceived(QByteArrayView(Buffer, BufferLength));
        return;
    }
    if (!StcReceiver.feed(QByteArrayView(Buffer, BufferLength))) return;
    // A 0x16 inside a frame from the chip (its sum or checksum) ends a reception early when
    // bytes are handed on as they come; the frame's own length says more is due, and the
    // next reception continues it. The only place an answer is joined: no wait ever sees a
    // part of one. The length is bounded, so this ends.
    if (stc::answerIncomplete(StcReceiver.lastFrame())) {
        StcReceiver.resumeLast();
        return;
    }
    frameCompleted();
}

void StcEngine::seekReceived(QByteArrayView bytes)
{
    if (bytes.isEmpty()) return;
    StcSeekRx.append(bytes);
    QuietTM->start();
    if (const std::optional<stc::FramePlace> frame = stc::findStatusFrame(StcSeekRx)) {
        // Complete by its own length; what came before its start is not part of it.
        StcReceiver.clearPending();
        StcReceiver.feed(QByteArrayView(StcSeekRx).sliced(frame->at, frame->size));
        frameCompleted();
        return;
    }
    if (StcSeekRx.size() >= kSeekReceptionBytes) QuietTMTimer();
}

void StcEngine::QuietTMTimer()
{
    QuietTM->stop();
    const QByteArray reception = std::exchange(StcSeekRx, QByteArray());
    if (!StcSeeking || reception.isEmpty()) return;
    // Not the status frame: the reception is complete if its last byte is 0x16.
    if (StcReceiver.feed(reception)) frameCompleted();
}

void StcEngine::frameCompleted()
{
    emit frameReceived(StcReceiver.lastFrame());
    StcSeeking = false;
    StcAwaitingReply = false;
    QuietTM->stop();
    StcSeekRx.clear();
    // The wait that expects this frame goes on now: an event dispatcher that delivers the
    // reception at the start of its pass would otherwise block again before returning.
    if (QAbstractEventDispatcher *d = QAbstractEventDispatcher::instance()) d->interrupt();
}

void StcEngine::pumpEvents()
{
    // Blocks until something happens: a reception, a timer tick or the user. At least one
    // of SeekTimer and TimeOutTM runs in every wait, so the loop always wakes again.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void StcEngine::releasePort()
{
    emit progress(0, kPercent);
    StcSeeking = false;
    QuietTM->stop();
    StcSeekRx.clear();
    emit portHeld(false);
    SeekTimer->stop();
    TimeOutTM->stop();
    ComPort1->StopPort();
}

bool StcEngine::failAfterOpen(const QString &line)
{
    releasePort();
    emit this->line(line);
    emit releaseWindow();
    return false;
}

bool StcEngine::powerEndedWell()
{
    if (!powerResult_) return true;
    if (!powerShown_) {
        powerShown_ = true;
        for (const QString &l : boardentry::resultLines(*powerResult_, choices_.powerCycleTimeoutMs))
            emit line(l);
    }
    return powerResult_->ok();
}

bool StcEngine::abandonedByClose()
{
    if (!closeRequested_) return false;
    releasePort();
    if (std::exchange(portLost_, false)) {
        emit line(texts::portVanished());
        emit releaseWindow();
    }
    return true;
}

bool StcEngine::WhileMcuResponse(int limit, const QString &message, const stc::Unanswered &step)
{
    StcTicks = 0;
    if (!TimeOutTM->isActive()) TimeOutTM->start();
    for (;;) {
        if (!StcAwaitingReply) {
            TimeOutTM->stop();
            return true;
        }
        pumpEvents();
        if (abandonedByClose()) return false;
        if (StcTicks >= limit) break;
    }
    emit line(stc::noAnswerLine(step));
    return failAfterOpen(message);
}

void StcEngine::letFrameLeave(const QElapsedTimer &queued, qsizetype frameBytes)
{
    // Stopping the port discards what has not left yet, and a speed change changes the
    // speed under it. A step frame takes 117 ms at 1200 baud, longer than the pause before
    // the change. The kernel's queue is waited for first; what it has already
    // handed on cannot be seen, so the frame's own time on the wire since it was queued is
    // waited for as well.
    ComPort1->WaitUntilSent(kFrameLeaveMs);
    const qint64 rate = std::max<qint64>(ComPort1->BaudRate(), 1);
    const qint64 wireMs = (frameBytes * kBitsPerByte * 1000 + rate - 1) / rate;
    const qint64 rest = wireMs + kHandOnMarginMs - queued.elapsed();
    if (rest > 0) QThread::msleep(static_cast<unsigned long>(rest));
}

void StcEngine::changeRate(quint32 baudRate)
{
    // The port stays open, and locked, across the change: closing it between the steps would
    // let any program polling the port take it. What arrived at the old speed is dropped,
    // as opening the port afresh would.
    ComPort1->setBaudRate(baudRate);
    ComPort1->PurgeReceive();
}

bool StcEngine::sendStep(QStringView frame, quint32 rate, const QString &timeoutMessage,
                         const stc::Unanswered &step)
{
    StcAwaitingReply = true;
    QElapsedTimer queued;
    queued.start();
    StcSendHex(frame);
    // The chip answers at the new rate once the whole frame is in and it has switched; the
    // port switches the moment the frame has left, so no answer byte is missed.
    letFrameLeave(queued, frame.size() / 2);
    changeRate(rate);
    return WhileMcuResponse(kStepWaitTicks, timeoutMessage, step);
}

bool StcEngine::awaitDataAnswer(int block)
{
    const auto address = quint16(block * stc::kBlockSize);
    const QString &blockHex = StcBlocks.at(block);
    // The reception has joined an answer cut at a 0x16 inside it, so it is never incomplete
    // here.
    if (!WhileMcuResponse(kDataWaitTicks, kUploadTimeout,
                          {stc::Unanswered::Block, stc::kCmdData, address}))
        return false;
    const QString answer = StcReceiver.lastFrame();
    switch (stc::checkDataAnswer(answer, blockHex)) {
    case stc::DataAnswer::Good:
        return true;
    case stc::DataAnswer::Incomplete:
    case stc::DataAnswer::Malformed:
        emit line(stc::malformedAnswerLine(address));
        return failAfterOpen(kUploadFailed);
    case stc::DataAnswer::WrongSum:
        emit line(stc::wrongSumLine(address, answer, stc::blockSum(blockHex)));
        return failAfterOpen(kUploadFailed);
    }
    return failAfterOpen(kUploadFailed);
}

bool StcEngine::connectToChip()
{
    emit line(kConnecting);
    StcSeekRx.clear();
    // The first handshake goes at once; the timer repeats it until the chip answers.
    SeekTimerTimer();
    SeekTimer->start();
    StcTicks = 0;
    StcSeeking = true;
    while (StcSeeking) {
        pumpEvents();
        if (abandonedByClose()) return false;
        if (!TimeOutTM->isActive()) TimeOutTM->start();
        // The time-out counts from the end of the power command: the chip starts then.
        if (power_->busy()) StcTicks = 0;
        if (!powerEndedWell()) {
            releasePort();
            emit line(kUploadFailed);
            return false;
        }
        bool isNumber = false;
        int limit = choices_.timeout.toInt(&isNumber);
        if (!isNumber) limit = kDefaultConnectSeconds;
        if (StcTicks >= limit) {
            releasePort();
            emit line(stc::noAnswerLine({stc::Unanswered::Status}));
            emit line(kConnectTimeout);
            return false;
        }
    }
    SeekTimer->stop();
    TimeOutTM->stop();
    emit line(kConnected.text().arg(stc::versionDisplay(StcReceiver.versionText())));
    return true;
}

bool StcEngine::runDownload()
{
    failure_ = DownloadResult::RefusedFile;
    if (!StcPrepareImage()) return false;
    failure_ = DownloadResult::PortNotOpened;

    try {
        ComPort1->setCommName(choices_.portName.isEmpty()
                                  ? QStringLiteral("COM%1").arg(choices_.port + 1)
                                  : choices_.portName);
        ComPort1->setBaudRate(stc::kLowBaudRate);
        ComPort1->StartPort();
    } catch (const std::exception &e) {
        const QString reason = portOpenReason(e);
        emit line(texts::portOpenFailedLine(reason));
        emit notice(texts::portOpenFailedFor(ComPort1->CommName(), reason));
        emit releaseWindow();
        return false;
    }
    failure_ = DownloadResult::Failed;

    emit portHeld(true);
    ComPort1->setParity(TParity::None);
    ComPort1->setBaudRate(stc::kLowBaudRate);

    const auto entered = boardentry::enterStc(*this, choices_, *ComPort1);
    if (!entered) return failAfterOpen(kBadResetTime);
    linesNoted_ = *entered == boardentry::Entered::LinesRefused;
    // The chip must see the handshake as it starts: the power command runs meanwhile.
    powerResult_.reset();
    if (!choices_.powerCycle.isEmpty()) {
        emit line(boardentry::commandLine(choices_.powerCycle));
        power_->startFor(choices_);
    }

    if (!connectToChip()) return false;
    // Nothing is written before the command has ended well.
    while (power_->busy() || (!choices_.powerCycle.isEmpty() && !powerResult_)) {
        pumpEvents();
        if (abandonedByClose()) return false;
    }
    if (!powerEndedWell()) return failAfterOpen(kUploadFailed);

    const QString lastFrame = StcReceiver.lastFrame();
    const int model = stc::findModel(lastFrame);
    const int clock = stc::findClock(lastFrame);
    if (model != 0) chip_ = stc::modelName(model);
    if (model == 0) {
        emit notice(kUnsupportedMcuBox);
        return failAfterOpen(kUnsupportedMcu);
    }
    if (clock == 0) {
        emit notice(kUnsupportedOscillatorBox);
        return failAfterOpen(kUnsupportedOscillator);
    }
    emit line(stc::modelName(model) + stc::clockText(clock));
    if (const devices::StcModel *row = devices::stcModel(model);
        row && StcImageLength > row->flashBytes) {
        // Refused before anything is erased: the chip keeps what it holds.
        failure_ = DownloadResult::RefusedFile;
        emit line(stc::tooLargeForModelLine(StcImageLength, row->name, row->flashBytes));
        return failAfterOpen(kUploadFailed);
    }
    const auto rate = quint32(stc::clockRate(clock));

    if (!sendStep(stc::step1Frame(model, clock), rate, kStep1Timeout,
                  {stc::Unanswered::RateTest, stc::kCmdBaudStep1}))
        return false;
    emit line(kStep1Done);
    emit line(kStep2Start);
    // After its answer to the test frame the chip listens at 1200 baud again at once; the port
    // stays open, so no pause is owed to reopening it.
    changeRate(stc::kLowBaudRate);
    if (!sendStep(stc::step2Frame(model, clock), rate, kStep2Timeout,
                  {stc::Unanswered::RateSwitch, stc::kCmdBaudStep2}))
        return false;
    emit line(kStep2Done);

    emit line(kControlStart);
    for (int n = 0; n < kControlRepeats; ++n) {
        StcAwaitingReply = true;
        StcSendHex(stc::controlFrame(model));
        if (!WhileMcuResponse(kControlWaitTicks, kControlTimeout,
                              {stc::Unanswered::Control, stc::kCmdControl}))
            return false;
    }
    emit line(kControlDone);

    emit line(kEraseStart);
    StcAwaitingReply = true;
    StcSendHex(stc::eraseFrame(model));
    if (!WhileMcuResponse(kEraseWaitTicks, kEraseTimeout, {stc::Unanswered::Erase, stc::kCmdErase}))
        return false;
    emit line(kEraseDone);

    StcAwaitingReply = false;
    emit line(kUploadStart);
    const auto blocks = int(StcBlocks.size());
    for (int i = 0; i < blocks; ++i) {
        const QString frame = stc::dataFrame(i, StcBlocks.at(i));
        StcAwaitingReply = true;
        StcSendHex(frame);
        emit progress(stc::progress(i, blocks), kPercent);
        if (!awaitDataAnswer(i)) return false;
    }

    const QString caption = choices_.sixT ? QStringLiteral("6T") : QStringLiteral("12T");
    const auto doubleSpeed = [&caption] { return caption == stc::kDoubleSpeedCaption; };
    emit line(doubleSpeed() ? kDoubleSpeed : kSingleSpeed);
    StcAwaitingReply = true;
    StcSendHex(stc::optionFrame(caption));
    if (!WhileMcuResponse(kOptionWaitTicks, kOptionTimeout,
                          {stc::Unanswered::Options, stc::kCmdOption}))
        return false;
    emit line(doubleSpeed() ? kDoubleSpeedDone : kSingleSpeedDone);
    StcAwaitingReply = true;
    StcSendHex(stc::kOptionFollowUp);
    if (!WhileMcuResponse(kOptionWaitTicks, kOptionTimeout,
                          {stc::Unanswered::OptionFollowUp, stc::kCmdOptionFollowUp}))
        return false;

    emit line(kEndFlag);
    StcAwaitingReply = true;
    QElapsedTimer endFlagQueued;
    endFlagQueued.start();
    StcSendHex(stc::kEndFlagFrame);
    emit line(kUploadDone);

    emit progress(0, kPercent);
    emit portHeld(false);
    // The end flag leaves at the chip's rate before the port stops; the rate goes back to
    // 1200 only on the closed port, so it never changes under the last bytes.
    letFrameLeave(endFlagQueued, stc::kEndFlagFrame.size() / 2);
    boardentry::leave(*this, boardentry::exitSteps(choices_, {}), boardentry::linesOf(*ComPort1),
                      linesNoted_);
    ComPort1->StopPort();
    ComPort1->setBaudRate(stc::kLowBaudRate);
    return true;
}

void StcEngine::start(const DownloadChoices &choices)
{
    // A second start while a download runs (an automatic re-download that slips through) is
    // not a download of its own.
    if (downloading_) return;
    downloading_ = true;
    closeRequested_ = false;
    portLost_ = false;
    choices_ = choices;
    chip_.clear();
    bool success = false;
    try {
        success = runDownload();
    } catch (...) {
        if (ComPort1->IsOpen()) releasePort();
        downloading_ = false;
        emit finished(failure_);
        throw;
    }
    downloading_ = false;
    emit finished(success ? DownloadResult::Written : failure_);
}

bool StcEngine::StcPrepareImage()
{
    const QString fileName = choices_.file;
    const auto refuse = [this](const QString &text) {
        emit portHeld(false);
        emit line(text);
        emit progress(0, kPercent);
        return false;
    };
    if (!QFileInfo(fileName).isFile()) return refuse(kNoFile);
    const firmware::Format format = firmware::formatOf(fileName);
    if (format != firmware::Format::IntelHex &&
        (format != firmware::Format::Binary || choices_.binaryAddress)) {
        // S-records, ELF and a binary placed at an address come from the image model, laid
        // out as the decoding library lays out HEX: from address 0, holes 0x00.
        const stc::ImageLoad load =
            stc::fromImage(firmware::load(fileName, choices_.binaryAddress.value_or(0)), '\0');
        QString why = imageRefusal(load, stc::kImageBufferSize);
        const std::optional<qsizetype> length = stc::imageLength(load.image);
        if (why.isEmpty() && !length) why = stc::noImageMessage();
        if (!why.isEmpty()) {
            forgetImage();
            return refuse(why);
        }
        if (!load.warning.isEmpty()) emit line(load.warning);
        useImage(load.image.left(*length));
        StcSplitBlocks();
        emit line(kTargetCode);
        return true;
    }
    if (format != firmware::Format::IntelHex) {
        // A binary file is the image as it stands.
        stc::BinaryImage binary = stc::readBinaryImage(fileName);
        if (!binary.refusal.isEmpty()) {
            forgetImage();
            return refuse(binary.refusal);
        }
        useImage(std::move(binary.bytes));
        StcSplitBlocks();
        emit line(kTargetCode);
        return true;
    }
    // The decoding library reads whatever it is given; a file it would read wrongly is
    // refused here, before it and before the port.
    if (const QString why = firmwarefile::decoderRefusal(fileName); !why.isEmpty()) {
        forgetImage();
        return refuse(why);
    }
    // Records that give one address different bytes: the library keeps the later, as the
    // other families do, and the user hears of it.
    if (const QString warning = firmware::load(fileName).warning; !warning.isEmpty())
        emit line(warning);
    if (!StcLoadImage(fileName)) return refuse(stc::noImageMessage());
    StcSplitBlocks();
    emit line(kTargetCode);
    return true;
}

bool StcEngine::StcLoadImage(const QString &fileName)
{
    QByteArray buffer(stc::kImageBufferSize, '\0');
    // The result is not looked at: a file without an end record, for one, still gives the
    // data it holds. The buffer is used with whatever the decoder wrote into it.
    hexlib::LoadNotes notes;
    hexlib::decodeHexFile(fileName, reinterpret_cast<quint8 *>(buffer.data()), &notes);
    // Copies passed over and the carried copy loaded instead are said in the status bar.
    if (const QString note = notes.statusText(); !note.isEmpty()) emit status(note);

    const std::optional<qsizetype> length = stc::imageLength(buffer);
    if (!length) {
        forgetImage();
        return false;
    }
    useImage(buffer.left(*length));
    return true;
}

void StcEngine::useImage(QByteArray image)
{
    StcImageLength = quint32(image.size());
    emit imageSize(stc::sizeLabel(image.size()));
    StcImage = std::move(image);
}

void StcEngine::forgetImage()
{
    StcImage.clear();
    StcImageLength = 0;
    StcBlocks.clear();
    emit imageSize(QString());
}

void StcEngine::StcSplitBlocks()
{
    StcBlocks = stc::splitBlocks(StcImage);
}
