#include "engines/StcSeriesEngine.h"

#include "engines/BoardEntry.h"
#include "engines/StcTexts.h"
#include "engines/Texts.h"
#include "logic/FirmwareFile.h"
#include "logic/StcFrames.h"
#include "logic/StcProtocols.h"
#include "serial/SPComm.h"
#include "serial/Vok_ComDrv.h"

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;
using namespace stctexts;

namespace {

constexpr int kPercent = 100;

QString mhz(qint64 hz)
{
    return QString::number(double(hz) / 1e6, 'g', 6);
}

} // namespace

StcSeriesEngine::StcSeriesEngine(QObject *parent)
    : Engine(parent), port_(new TComm(this)), pause_(new QTimer(this)), pulse_(new QTimer(this)),
      wait_(new QTimer(this)), action_(std::make_unique<stc::Action>()),
      power_(new boardentry::PowerCommand(this))
{
    connect(power_, &boardentry::PowerCommand::ended, this, &StcSeriesEngine::powerEnded);
    for (QTimer *t : {pause_, pulse_, wait_})
        t->setTimerType(Qt::PreciseTimer);
    pause_->setSingleShot(true);
    wait_->setSingleShot(true);
    // A pause before the bytes (the chip changes its rate after answering).
    connect(pause_, &QTimer::timeout, this, &StcSeriesEngine::send);
    connect(pulse_, &QTimer::timeout, this, [this] {
        if (!awaiting_ || !action_->pulse) return;
        const char b = char(*action_->pulse);
        port_->WriteData(&b, 1);
    });
    connect(wait_, &QTimer::timeout, this, &StcSeriesEngine::timedOut);
    // Every line is the stage shown in the status bar too; the last one says how it ended.
    connect(this, &Engine::line, this, &Engine::status);
    // The port failed under the download (its adapter was unplugged): it ends at once.
    port_->OnRequestHangup = [this](TComm *) {
        if (!running_) return;
        emit line(texts::portVanished());
        fail(DownloadResult::Failed, kUploadFailed);
    };

    port_->setByteSize(TByteSize::_8);
    port_->setParity(TParity::None);
    port_->setStopBits(TStopBits::_1);
    port_->setOutx_CtsFlow(false);
    port_->setOutx_DsrFlow(false);
    port_->setOutx_XonXoffFlow(false);
    port_->setInx_XonXoffFlow(false);
    port_->setDtrControl(TDtrControl::DtrDisable);
    port_->setRtsControl(TRtsControl::RtsDisable);
    port_->setXonLimit(kXonXoffLimit);
    port_->setXoffLimit(kXonXoffLimit);
    port_->setReadIntervalTimeout(kReadAtOnce);
    port_->setReadTotalTimeoutMultiplier(0);
    port_->setReadTotalTimeoutConstant(0);
    port_->OnReceiveData = [this](TComm *, const char *buffer, quint16 length) {
        received(buffer, length);
    };
}

StcSeriesEngine::~StcSeriesEngine()
{
    port_->OnReceiveData = nullptr;
    port_->StopPort();
}

void StcSeriesEngine::start(const DownloadChoices &choices)
{
    if (running_) return;
    running_ = true;
    chip_.clear();
    uniqueId_.clear();
    openStage_ = -1;
    awaiting_ = false;

    const stc::ImageLoad load = stc::loadImage(choices.file, choices.binaryAddress);
    if (load.status != stc::ImageLoad::Loaded) {
        const QString why = imageRefusal(load, stc::kMaxSeriesImage);
        emit imageSize(QString());
        emit portHeld(false);
        emit line(why);
        emit progress(0, kPercent);
        running_ = false;
        emit finished(DownloadResult::RefusedFile);
        return;
    }
    emit imageSize(stc::sizeLabel(load.image.size()));
    if (!load.warning.isEmpty()) emit line(load.warning);
    emit line(kTargetCode);

    try {
        port_->setCommName(choices.portName.isEmpty()
                               ? QStringLiteral("COM%1").arg(choices.port + 1)
                               : choices.portName);
        port_->setParity(TParity::None);
        port_->setBaudRate(kHandshakeBaud);
        port_->StartPort();
    } catch (const std::exception &e) {
        const QString reason = portOpenReason(e);
        emit line(texts::portOpenFailedLine(reason));
        emit notice(texts::portOpenFailedFor(port_->CommName(), reason));
        emit releaseWindow();
        running_ = false;
        emit finished(DownloadResult::PortNotOpened);
        return;
    }
    baud_ = kHandshakeBaud;
    parity_ = false;
    emit portHeld(true);

    const auto entered = boardentry::enterStc(*this, choices, *port_);
    if (!entered) {
        fail(DownloadResult::Failed, kBadResetTime);
        return;
    }
    linesNoted_ = *entered == boardentry::Entered::LinesRefused;
    exit_ = boardentry::exitSteps(choices, {});
    // The chip must see the handshake pulses as it starts: the power command runs meanwhile,
    // and nothing after the handshake is sent before it has ended well.
    connected_ = false;
    heldSend_ = false;
    powerTimeoutMs_ = choices.powerCycleTimeoutMs;
    if (!choices.powerCycle.isEmpty()) {
        emit line(boardentry::commandLine(choices.powerCycle));
        power_->startFor(choices);
    }

    stc::Choices c;
    c.image = load.image;
    c.handshakeBaud = kHandshakeBaud;
    c.transferBaud = choices.baud.chosen() ? qint32(choices.baud.bps()) : kDefaultTransferBaud;
    if (choices.clockMhz > 0) c.clockHz = qRound64(choices.clockMhz * 1e6);
    c.options.eraseEeprom = choices.eraseEeprom;
    c.options.resetPinEnabled = choices.resetPinEnabled;
    c.options.lowVoltageReset = choices.lowVoltageReset;
    bool isNumber = false;
    int seconds = choices.timeout.toInt(&isNumber);
    if (!isNumber || seconds <= 0) seconds = kDefaultConnectSeconds;
    c.connectTimeout = std::chrono::seconds(seconds);
    transferBaud_ = c.transferBaud;
    targetHz_ = c.clockHz.value_or(0);
    session_ = std::make_unique<stc::Session>(c);
    carry(session_->start());
}

void StcSeriesEngine::carry(const stc::Action &action)
{
    *action_ = action;
    awaiting_ = false;
    showEvents();
    if (action.pauseBefore > 0ms) {
        pause_->start(action.pauseBefore);
    } else {
        send();
    }
}

void StcSeriesEngine::powerEnded(const boardentry::CommandResult &r)
{
    if (!running_) return;
    for (const QString &l : boardentry::resultLines(r, powerTimeoutMs_))
        emit line(l);
    if (!r.ok()) {
        fail(DownloadResult::Failed, kUploadFailed);
        return;
    }
    if (heldSend_) {
        heldSend_ = false;
        send();
        return;
    }
    // The chip starts when the power comes back: the wait for it starts again.
    if (!connected_ && awaiting_ && wait_->isActive()) wait_->start();
}

void StcSeriesEngine::send()
{
    if (connected_ && power_->busy()) {
        heldSend_ = true;
        return;
    }
    const stc::Action &a = *action_;
    setLine(a.sendLine);
    if (!a.bytes.isEmpty()) {
        port_->WriteData(a.bytes.constData(), quint16(a.bytes.size()));
        queued_.start();
        queuedBytes_ = a.bytes.size();
    }
    if (a.finished) {
        end();
        return;
    }
    awaitAnswer();
}

void StcSeriesEngine::awaitAnswer()
{
    const stc::Action &a = *action_;
    if (a.answerLine.baud != baud_) {
        drain(); // the frame leaves at the old rate before the port changes
        setLine(a.answerLine);
        port_->PurgeReceive(); // what came at the old rate is noise at the new one
    } else {
        setLine(a.answerLine);
    }
    awaiting_ = true;
    wait_->start(std::max(a.timeout, 1ms));
    if (a.pulse && a.pulseInterval > 0ms) {
        if (a.bytes.isEmpty()) {
            const char b = char(*a.pulse);
            port_->WriteData(&b, 1);
        }
        pulse_->start(a.pulseInterval);
    }
}

void StcSeriesEngine::received(const char *bytes, quint16 length)
{
    if (!awaiting_ || !session_ || !bytes) return;
    std::optional<stc::Action> next = session_->received(QByteArrayView(bytes, length));
    if (!next) return;
    pulse_->stop();
    wait_->stop();
    carry(*next);
}

void StcSeriesEngine::timedOut()
{
    if (!awaiting_ || !session_) return;
    if (!connected_ && power_->busy()) {
        wait_->start(); // the chip has not had its power back yet
        return;
    }
    pulse_->stop();
    carry(session_->timedOut());
}

void StcSeriesEngine::showEvents()
{
    if (!session_) return;
    for (const stc::Event &e : session_->takeEvents())
        showEvent(e);
}

void StcSeriesEngine::showEvent(const stc::Event &e)
{
    using stc::Stage;
    if (openStage_ == int(Stage::Handshake) && e.stage != Stage::Handshake) {
        emit line(kControlDone);
        openStage_ = -1;
    }
    switch (e.stage) {
    case Stage::Connecting: emit line(kConnecting); break;
    case Stage::Connected:
        connected_ = true;
        emit line(kConnected.text().arg(e.text));
        break;
    case Stage::Identified:
        chip_ = e.text;
        emit line(e.value > 0 ? kClockShown.text().arg(e.text, mhz(e.value)) : e.text);
        break;
    case Stage::Handshake:
        emit line(kControlStart);
        openStage_ = int(Stage::Handshake);
        break;
    case Stage::Calibrating: emit line(kCalibrating); break;
    case Stage::Calibrated: emit line(kCalibrated.text().arg(mhz(e.value))); break;
    case Stage::RateTest: break;
    case Stage::RateTestDone: emit line(kStep1Done); break;
    case Stage::RateSwitch: emit line(kStep2Start); break;
    case Stage::RateSwitched: emit line(kStep2Done); break;
    case Stage::Erasing: emit line(kEraseStart); break;
    case Stage::Erased: emit line(kEraseDone); break;
    case Stage::Uploading: emit line(kUploadStart); break;
    case Stage::Progress: emit progress(int(std::clamp<qint64>(e.value, 0, kPercent)), kPercent); break;
    case Stage::SettingOptions: emit line(kOptionStart); break;
    case Stage::OptionsSet: emit line(kOptionDone); break;
    case Stage::EndFlag: emit line(kEndFlag); break;
    case Stage::Done: emit line(kUploadDone); break;
    }
}

void StcSeriesEngine::end()
{
    const stc::Outcome o = session_->outcome();
    uniqueId_ = QString::fromLatin1(o.uid.toHex().toUpper());
    if (o.done) {
        // The end flag leaves before the lines change.
        if (!exit_.isEmpty() && port_->IsOpen()) {
            drain();
            boardentry::leave(*this, exit_, boardentry::linesOf(*port_), linesNoted_);
        }
        stopAll();
        running_ = false;
        emit finished(DownloadResult::Written);
        return;
    }
    using stc::Failure;
    using stc::Stage;
    const auto failed = [this](const QString &why, DownloadResult result = DownloadResult::Failed) {
        emit line(why);
        fail(result, kUploadFailed);
    };
    switch (o.failure) {
    case Failure::None:
    case Failure::NoAnswer:
        if (o.unanswered) emit line(stc::noAnswerLine(*o.unanswered));
        switch (o.stage) {
        case Stage::Connecting: fail(DownloadResult::Failed, kConnectTimeout); break;
        case Stage::Calibrating:
        case Stage::Calibrated: fail(DownloadResult::Failed, kCalibrationTimeout); break;
        case Stage::RateTest:
        case Stage::RateTestDone: fail(DownloadResult::Failed, kStep1Timeout); break;
        case Stage::RateSwitch:
        case Stage::RateSwitched: fail(DownloadResult::Failed, kStep2Timeout); break;
        case Stage::Erasing:
        case Stage::Erased: fail(DownloadResult::Failed, kEraseTimeout); break;
        case Stage::Uploading:
        case Stage::Progress: fail(DownloadResult::Failed, kUploadTimeout); break;
        case Stage::SettingOptions:
        case Stage::OptionsSet:
        case Stage::EndFlag:
        case Stage::Done: fail(DownloadResult::Failed, kOptionTimeout); break;
        case Stage::Connected:
        case Stage::Identified:
        case Stage::Handshake: fail(DownloadResult::Failed, kControlTimeout); break;
        }
        break;
    case Failure::BadFrame:
    case Failure::WrongAnswer: failed(kBadAnswer.text().arg(o.detail)); break;
    case Failure::UnknownModel: fail(DownloadResult::Failed, kUnsupportedMcu); break;
    case Failure::TooLarge: failed(o.detail, DownloadResult::RefusedFile); break;
    case Failure::NeedsClock: failed(kNeedsClock); break;
    case Failure::ClockUnreachable:
        failed(kClockUnreachable.text().arg(mhz(targetHz_)));
        break;
    case Failure::RateUnreachable: failed(kRateUnreachable.text().arg(transferBaud_)); break;
    case Failure::Locked: failed(kLocked); break;
    }
}

void StcSeriesEngine::fail(DownloadResult result, const QString &why)
{
    stopAll();
    emit line(why);
    emit releaseWindow();
    running_ = false;
    emit finished(result);
}

void StcSeriesEngine::setLine(const stc::Line &l)
{
    const bool even = l.parity == stc::Parity::Even;
    if (even != parity_) port_->setParity(even ? TParity::Even : TParity::None);
    if (l.baud != baud_) port_->setBaudRate(quint32(l.baud));
    else if (even != parity_) port_->ApplyLineSettings();
    baud_ = l.baud;
    parity_ = even;
}

void StcSeriesEngine::drain()
{
    port_->WaitUntilSent(kFrameLeaveMs);
    if (!queued_.isValid() || baud_ <= 0) return;
    const qint64 bits = parity_ ? 11 : 10;
    const qint64 wireMs = (queuedBytes_ * bits * 1000 + baud_ - 1) / baud_;
    const qint64 rest = wireMs + kHandOnMarginMs - queued_.elapsed();
    if (rest > 0) QThread::msleep(static_cast<unsigned long>(rest));
}

void StcSeriesEngine::stopAll()
{
    heldSend_ = false;
    pause_->stop();
    pulse_->stop();
    wait_->stop();
    awaiting_ = false;
    emit progress(0, kPercent);
    emit portHeld(false);
    // The last frame (the end flag) leaves before the port stops.
    if (port_->IsOpen()) drain();
    port_->StopPort();
    queued_.invalidate();
}

void StcSeriesEngine::cancel()
{
    if (!running_) {
        port_->StopPort();
        return;
    }
    pause_->stop();
    pulse_->stop();
    wait_->stop();
    awaiting_ = false;
    emit progress(0, kPercent);
    emit portHeld(false);
    port_->StopPort();
    running_ = false;
    emit finished(DownloadResult::Failed);
}
