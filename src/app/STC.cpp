#include "app/STC.h"

#include "app/Main.h"
#include "app/Texts.h"
#include "hexlib/StcHexLib.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/HexText.h"
#include "logic/ShownText.h"
#include "serial/SPComm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>

using namespace std::chrono_literals;

namespace {

// ---- timers, line settings and waits -----------------------------------------------------
constexpr auto kSeekInterval = 20ms;   // one handshake "7F7F" per tick while seeking
constexpr auto kTickInterval = 1000ms; // one StcTicks count per tick
const QString kDefaultPort = QStringLiteral("COM1");
constexpr quint32 kReadIntervalMs = 100; // a reception ends 100 ms after its last byte
constexpr quint16 kXonXoffLimit = 500;
// The pauses around opening the port and around the baud-rate step frames.
constexpr unsigned long kSettleMs = 100;
// The reset time field holds at most three digits.
constexpr int kMaxResetMs = 999;
// Connection time-out in seconds when the time-out field is not a number.
constexpr int kDefaultConnectSeconds = 3;
// Waits for a reply, in TimeOutTM ticks (seconds).
constexpr int kStepWaitTicks = 6;
constexpr int kControlWaitTicks = 6;
constexpr int kEraseWaitTicks = 12;
constexpr int kDataWaitTicks = 10;
constexpr int kOptionWaitTicks = 10;
constexpr int kControlRepeats = 5;
// Longest wait for a queued frame to leave the port before the port is stopped: a full data
// frame takes 1.2 s at 1200 baud.
constexpr int kFrameLeaveMs = 2000;
// 8N1: start bit, eight data bits, stop bit.
constexpr qint64 kBitsPerByte = 10;
// Added to a frame's time on the wire before the port stops, for the bytes that the kernel
// has already handed on (a USB adapter's own FIFO, a pseudo-terminal's flip buffer).
constexpr qint64 kHandOnMarginMs = 20;
// The property of the message area that holds the last-frame text.
constexpr const char *kLastFrameProperty = "Hint";

// ---- messages ----------------------------------------------------------------------------
const ShownText kNoFile{"stc", QT_TRANSLATE_NOOP("stc", "上载文件不存在 ！")};
const ShownText kTargetCode{"stc", QT_TRANSLATE_NOOP("stc", "下载目标代码")};
const ShownText kConnecting{"stc", QT_TRANSLATE_NOOP("stc", "正在连机 。。。")};
const ShownText kConnectTimeout{"stc", QT_TRANSLATE_NOOP("stc", "连接超时 ！")};
const ShownText kConnected{"stc", QT_TRANSLATE_NOOP("stc", "连机成功! 固件版本:%1")};
const ShownText kUnsupportedMcuBox{
    "stc",
    QT_TRANSLATE_NOOP("stc", "当前版本支持 MCU: 12C1052/89C51RC/89C52RC/89C55RD+/89C516RD+ ！")};
const ShownText kUnsupportedMcu{"stc", QT_TRANSLATE_NOOP("stc", "未支持的 MCU ！")};
const ShownText kUnsupportedOscillatorBox{
    "stc", QT_TRANSLATE_NOOP(
               "stc", "当前版本支持 Oscillator: 11.0592/12.00/18.432/22.1184/24.00/36.864 ！")};
const ShownText kUnsupportedOscillator{"stc", QT_TRANSLATE_NOOP("stc", "未支持的 Oscillator ！")};
const ShownText kStep1Timeout{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率一超时 ！")};
const ShownText kStep1Done{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率一完成 ！")};
const ShownText kStep2Start{"stc", QT_TRANSLATE_NOOP("stc", "第二次调整波特率 。。。")};
const ShownText kStep2Timeout{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率二超时 ！")};
const ShownText kStep2Done{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率二完成 ！")};
const ShownText kControlStart{"stc", QT_TRANSLATE_NOOP("stc", "正在发送控制信息 。。。")};
const ShownText kControlTimeout{"stc", QT_TRANSLATE_NOOP("stc", "写控制信息超时 ！")};
const ShownText kControlDone{"stc", QT_TRANSLATE_NOOP("stc", "发送控制信息完成 ！")};
const ShownText kEraseStart{"stc", QT_TRANSLATE_NOOP("stc", "正在擦除芯片 。。。")};
const ShownText kEraseTimeout{"stc", QT_TRANSLATE_NOOP("stc", "擦除芯片超时 ！")};
const ShownText kEraseDone{"stc", QT_TRANSLATE_NOOP("stc", "擦除芯片完成 ！")};
const ShownText kUploadStart{"stc", QT_TRANSLATE_NOOP("stc", "正在上载数据 。。。")};
const ShownText kUploadTimeout{"stc", QT_TRANSLATE_NOOP("stc", "上载数据超时 ！")};
const ShownText kDoubleSpeed{"stc", QT_TRANSLATE_NOOP("stc", "设置为双倍速 ！")};
const ShownText kSingleSpeed{"stc", QT_TRANSLATE_NOOP("stc", "设置为单倍速 ！")};
const ShownText kOptionTimeout{"stc", QT_TRANSLATE_NOOP("stc", "设置选项超时 ！")};
const ShownText kDoubleSpeedDone{"stc", QT_TRANSLATE_NOOP("stc", "设置为双倍速完成 ！")};
const ShownText kSingleSpeedDone{"stc", QT_TRANSLATE_NOOP("stc", "设置为单倍速完成 ！")};
const ShownText kEndFlag{"stc", QT_TRANSLATE_NOOP("stc", "发送结束标志 ！")};
const ShownText kUploadDone{"stc", QT_TRANSLATE_NOOP("stc", "上载数据成功 ！")};
// Ends that the boot-loader dialogue itself never reports.
const ShownText kBadResetTime{"stc", QT_TRANSLATE_NOOP("stc", "复位时间无效 ！")};
// Final line of a download refused or failed after a reason line.
const ShownText kUploadFailed{"stc", QT_TRANSLATE_NOOP("stc", "上载数据失败 ！")};

} // namespace

TSTCFrm::TSTCFrm(TMainForm *mainForm)
    : QObject(mainForm), SeekTimer(new QTimer(this)), TimeOutTM(new QTimer(this)),
      ComPort1(new TComm(this)), MainForm(mainForm)
{
    SeekTimer->setInterval(kSeekInterval);
    SeekTimer->setTimerType(Qt::PreciseTimer);
    TimeOutTM->setInterval(kTickInterval);
    connect(SeekTimer, &QTimer::timeout, this, &TSTCFrm::SeekTimerTimer);
    connect(TimeOutTM, &QTimer::timeout, this, &TSTCFrm::TimeOutTMTimer);

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
    ComPort1->setReadIntervalTimeout(kReadIntervalMs);
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

TSTCFrm::~TSTCFrm()
{
    ComPort1->OnReceiveData = nullptr;
    ComPort1->StopPort();
}

void TSTCFrm::FormCreate()
{
    // A library that cannot be installed is reported once and not in the way: loading then
    // looks in the program's folder too, and a download reports its own error if that fails.
    const QString installError = hexlib::installLibrary();
    if (!installError.isEmpty()) MainForm->SetStatus(installError);
    ComPort1->setCommName(kDefaultPort);
    ComPort1->setBaudRate(stc::kLowBaudRate);
    StcTicks = 0;
    StcBlocks.clear();
}

void TSTCFrm::FormClose()
{
    if (downloading_) closeRequested_ = true;
    ComPort1->StopPort();
}

void TSTCFrm::StcSendHex(QStringView hexText)
{
    const QByteArray bytes = hextext::fromHex(hexText);
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<quint16>::max()) return;
    ComPort1->WriteData(bytes.constData(), quint16(bytes.size()));
}

void TSTCFrm::SeekTimerTimer()
{
    StcSendHex(stc::kHandshakeFrame);
    StcReceiver.clearPending();
}

void TSTCFrm::TimeOutTMTimer()
{
    ++StcTicks;
}

void TSTCFrm::ComPort1ReceiveData(TComm *, const char *Buffer, quint16 BufferLength)
{
    if (!Buffer || !StcReceiver.feed(QByteArrayView(Buffer, BufferLength))) return;
    MainForm->Memo1->setProperty(kLastFrameProperty, StcReceiver.lastFrame());
    StcSeeking = false;
    StcAwaitingReply = false;
}

void TSTCFrm::pumpEvents()
{
    // Blocks until something happens: a reception, a timer tick or the user. At least one
    // of SeekTimer and TimeOutTM runs in every wait, so the loop always wakes again.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TSTCFrm::releasePort()
{
    MainForm->ProgressBar1->setValue(0);
    StcSeeking = false;
    MainForm->BitBtn1->setEnabled(true);
    MainForm->ShowPortPicture(false);
    SeekTimer->stop();
    TimeOutTM->stop();
    ComPort1->StopPort();
}

bool TSTCFrm::failAfterOpen(const QString &line)
{
    releasePort();
    MainForm->AppendLine(line);
    MainForm->SetStayOnTop(false);
    return false;
}

bool TSTCFrm::abandonedByClose()
{
    if (!closeRequested_) return false;
    releasePort();
    return true;
}

bool TSTCFrm::WhileMcuResponse(int limit, const QString &message)
{
    StcTicks = 0;
    if (!TimeOutTM->isActive()) TimeOutTM->start();
    for (;;) {
        if (!StcAwaitingReply && stc::answerIncomplete(StcReceiver.lastFrame())) {
            // A 0x16 inside the answer ended the reception early; the frame's own length
            // says more is due. The length is bounded, so this ends.
            StcReceiver.resumeLast();
            StcAwaitingReply = true;
        }
        if (!StcAwaitingReply) {
            TimeOutTM->stop();
            return true;
        }
        pumpEvents();
        if (abandonedByClose()) return false;
        if (StcTicks >= limit) break;
    }
    return failAfterOpen(message);
}

void TSTCFrm::letFrameLeave(const QElapsedTimer &queued, qsizetype frameBytes)
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

void TSTCFrm::changeRate(quint32 baudRate)
{
    // The port stays open, and locked, across the change: closing it between the steps would
    // let any program polling the port take it. What arrived at the old speed is dropped,
    // as opening the port afresh would.
    ComPort1->setBaudRate(baudRate);
    ComPort1->PurgeReceive();
}

bool TSTCFrm::sendStep(QStringView frame, quint32 rate, const QString &timeoutMessage)
{
    StcAwaitingReply = true;
    QElapsedTimer queued;
    queued.start();
    StcSendHex(frame);
    QThread::msleep(kSettleMs);
    letFrameLeave(queued, frame.size() / 2);
    changeRate(rate);
    return WhileMcuResponse(kStepWaitTicks, timeoutMessage);
}

bool TSTCFrm::awaitDataAnswer(int block)
{
    const auto address = quint16(block * stc::kBlockSize);
    const QString &blockHex = StcBlocks.at(block);
    // The wait has joined an answer cut at a 0x16 inside it, so it is never incomplete here.
    if (!WhileMcuResponse(kDataWaitTicks, kUploadTimeout)) return false;
    const QString answer = StcReceiver.lastFrame();
    switch (stc::checkDataAnswer(answer, blockHex)) {
    case stc::DataAnswer::Good:
        return true;
    case stc::DataAnswer::Incomplete:
    case stc::DataAnswer::Malformed:
        MainForm->AppendLine(stc::malformedAnswerLine(address));
        return failAfterOpen(kUploadFailed);
    case stc::DataAnswer::WrongSum:
        MainForm->AppendLine(stc::wrongSumLine(address, answer, stc::blockSum(blockHex)));
        return failAfterOpen(kUploadFailed);
    }
    return failAfterOpen(kUploadFailed);
}

bool TSTCFrm::connectToChip()
{
    TMainForm &m = *MainForm;
    m.AppendLine(kConnecting);
    SeekTimer->start();
    StcTicks = 0;
    StcSeeking = true;
    while (StcSeeking) {
        pumpEvents();
        if (abandonedByClose()) return false;
        if (!TimeOutTM->isActive()) TimeOutTM->start();
        bool isNumber = false;
        int limit = m.Edit3->text().toInt(&isNumber);
        if (!isNumber) limit = kDefaultConnectSeconds;
        if (StcTicks >= limit) {
            releasePort();
            m.AppendLine(kConnectTimeout);
            return false;
        }
    }
    SeekTimer->stop();
    TimeOutTM->stop();
    m.AppendLine(kConnected.text().arg(stc::versionDisplay(StcReceiver.versionText())));
    m.repaint();
    return true;
}

bool TSTCFrm::runDownload()
{
    failure_ = DownloadResult::RefusedFile;
    if (!StcPrepareImage()) return false;
    failure_ = DownloadResult::PortNotOpened;

    TMainForm &m = *MainForm;
    try {
        m.BitBtn1->setEnabled(false);
        ComPort1->setCommName(m.ComboBox1->currentText());
        ComPort1->setBaudRate(stc::kLowBaudRate);
        ComPort1->StartPort();
    } catch (const std::exception &e) {
        // The component's own message is generic; the serial layer's detail says why.
        const auto *comms = dynamic_cast<const ECommsError *>(&e);
        const QString reason = comms && !comms->detail().isEmpty()
                                   ? comms->detail()
                                   : QString::fromLocal8Bit(e.what());
        m.AppendLine(texts::portOpenFailedLine(reason));
        m.InfoBox(texts::portOpenFailed(reason));
        m.SetStayOnTop(false);
        m.BitBtn1->setEnabled(true);
        return false;
    }
    failure_ = DownloadResult::Failed;

    m.ShowPortPicture(true);
    ComPort1->setParity(TParity::None);
    ComPort1->setBaudRate(stc::kLowBaudRate);
    QThread::msleep(kSettleMs);

    if (m.CheckBox2->isChecked()) {
        bool isNumber = false;
        const int resetMs = m.Edit4->text().toInt(&isNumber);
        if (!isNumber || resetMs < 0 || resetMs > kMaxResetMs) return failAfterOpen(kBadResetTime);
        ComPort1->setRtsControl(TRtsControl::RtsEnable);
        QThread::msleep(static_cast<unsigned long>(resetMs));
        ComPort1->setRtsControl(TRtsControl::RtsDisable);
    }

    if (!connectToChip()) return false;

    const QString lastFrame = StcReceiver.lastFrame();
    const int model = stc::findModel(lastFrame);
    const int clock = stc::findClock(lastFrame);
    if (model == 0) {
        m.InfoBox(kUnsupportedMcuBox);
        return failAfterOpen(kUnsupportedMcu);
    }
    if (clock == 0) {
        m.InfoBox(kUnsupportedOscillatorBox);
        return failAfterOpen(kUnsupportedOscillator);
    }
    m.AppendLine(stc::modelName(model) + stc::clockText(clock));
    if (const devices::StcModel *row = devices::stcModel(model);
        row && StcImageLength > row->flashBytes) {
        // Refused before anything is erased: the chip keeps what it holds.
        failure_ = DownloadResult::RefusedFile;
        m.AppendLine(stc::tooLargeForModelLine(StcImageLength, row->name, row->flashBytes));
        return failAfterOpen(kUploadFailed);
    }
    const auto rate = quint32(stc::clockRate(clock));

    if (!sendStep(stc::step1Frame(model, clock), rate, kStep1Timeout)) return false;
    m.AppendLine(kStep1Done);
    m.AppendLine(kStep2Start);
    changeRate(stc::kLowBaudRate);
    QThread::msleep(kSettleMs);
    if (!sendStep(stc::step2Frame(model, clock), rate, kStep2Timeout)) return false;
    m.AppendLine(kStep2Done);

    m.AppendLine(kControlStart);
    for (int n = 0; n < kControlRepeats; ++n) {
        StcAwaitingReply = true;
        StcSendHex(stc::controlFrame(model));
        if (!WhileMcuResponse(kControlWaitTicks, kControlTimeout)) return false;
    }
    m.AppendLine(kControlDone);

    m.AppendLine(kEraseStart);
    StcAwaitingReply = true;
    StcSendHex(stc::eraseFrame(model));
    if (!WhileMcuResponse(kEraseWaitTicks, kEraseTimeout)) return false;
    m.AppendLine(kEraseDone);

    StcAwaitingReply = false;
    m.AppendLine(kUploadStart);
    const auto blocks = int(StcBlocks.size());
    for (int i = 0; i < blocks; ++i) {
        const QString frame = stc::dataFrame(i, StcBlocks.at(i));
        StcAwaitingReply = true;
        StcSendHex(frame);
        m.ProgressBar1->setValue(stc::progress(i, blocks));
        if (!awaitDataAnswer(i)) return false;
    }

    const auto doubleSpeed = [&m] { return m.BitBtn7->text() == stc::kDoubleSpeedCaption; };
    m.AppendLine(doubleSpeed() ? kDoubleSpeed : kSingleSpeed);
    StcAwaitingReply = true;
    StcSendHex(stc::optionFrame(m.BitBtn7->text()));
    if (!WhileMcuResponse(kOptionWaitTicks, kOptionTimeout)) return false;
    m.AppendLine(doubleSpeed() ? kDoubleSpeedDone : kSingleSpeedDone);
    StcAwaitingReply = true;
    StcSendHex(stc::kOptionFollowUp);
    if (!WhileMcuResponse(kOptionWaitTicks, kOptionTimeout)) return false;

    m.AppendLine(kEndFlag);
    StcAwaitingReply = true;
    QElapsedTimer endFlagQueued;
    endFlagQueued.start();
    StcSendHex(stc::kEndFlagFrame);
    m.AppendLine(kUploadDone);

    m.ProgressBar1->setValue(0);
    m.BitBtn1->setEnabled(true);
    m.ShowPortPicture(false);
    // The end flag leaves at the chip's rate before the port stops; the rate goes back to
    // 1200 only on the closed port, so it never changes under the last bytes.
    letFrameLeave(endFlagQueued, stc::kEndFlagFrame.size() / 2);
    ComPort1->StopPort();
    ComPort1->setBaudRate(stc::kLowBaudRate);
    if (m.CheckBox1->isChecked()) {
        m.SetStayOnTop(false);
        m.MinimiseApplication();
    }
    return true;
}

void TSTCFrm::BitBtn1Click()
{
    // The download button is disabled while a download runs; a second start that slips
    // through (an automatic re-download) is not a download of its own.
    if (downloading_) return;
    downloading_ = true;
    closeRequested_ = false;
    const auto idle = qScopeGuard([this] { downloading_ = false; });

    bool success = false;
    try {
        success = runDownload();
    } catch (...) {
        if (ComPort1->IsOpen())
            releasePort();
        else
            MainForm->BitBtn1->setEnabled(true);
        MainForm->DownloadEnded(failure_);
        throw;
    }
    MainForm->DownloadEnded(success ? DownloadResult::Written : failure_);
}

bool TSTCFrm::StcPrepareImage()
{
    TMainForm &m = *MainForm;
    const QString fileName = m.Edit2->text();
    const auto refuse = [&m](const QString &line) {
        m.ShowPortPicture(false);
        m.AppendLine(line);
        m.ProgressBar1->setValue(0);
        m.BitBtn1->setEnabled(true);
        return false;
    };
    if (!QFileInfo(fileName).isFile()) return refuse(kNoFile);
    // The decoding library reads whatever it is given; a file it would read wrongly is
    // refused here, before it and before the port.
    if (const QString why = firmwarefile::decoderRefusal(fileName); !why.isEmpty()) {
        forgetImage();
        return refuse(why);
    }
    if (!StcLoadImage(fileName)) return refuse(stc::noImageMessage());
    StcSplitBlocks();
    m.AppendLine(kTargetCode);
    return true;
}

bool TSTCFrm::StcLoadImage(const QString &fileName)
{
    QByteArray buffer(stc::kImageBufferSize, '\0');
    // The result is not looked at: a file without an end record, for one, still gives the
    // data it holds. The buffer is used with whatever the decoder wrote into it.
    hexlib::LoadNotes notes;
    hexlib::decodeHexFile(fileName, reinterpret_cast<quint8 *>(buffer.data()), &notes);
    // Copies passed over and the carried copy loaded instead are said in the status bar.
    if (const QString note = notes.statusText(); !note.isEmpty()) MainForm->SetStatus(note);

    const std::optional<qsizetype> length = stc::imageLength(buffer);
    if (!length) {
        forgetImage();
        return false;
    }
    StcImageLength = quint32(*length);
    MainForm->Label10->setText(stc::sizeLabel(*length));
    StcImage = buffer.left(*length);
    return true;
}

void TSTCFrm::forgetImage()
{
    StcImage.clear();
    StcImageLength = 0;
    StcBlocks.clear();
    MainForm->Label10->clear();
}

void TSTCFrm::StcSplitBlocks()
{
    StcBlocks = stc::splitBlocks(StcImage);
}
