#include "app/LPC.h"

#include "app/Main.h"
#include "logic/LpcReplies.h"
#include "logic/ShownText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kCommTimeout{8000};
constexpr milliseconds kStatusAnimation{200};
constexpr milliseconds kSyncRepeat{300};
constexpr milliseconds kProgressInterval{300};
constexpr milliseconds kReplyPoll{3};
// Board reset: RTS on, then a DTR pulse; RTS stays on.
constexpr unsigned long kResetRtsToDtrMs = 50;
constexpr unsigned long kResetDtrPulseMs = 300;

constexpr int kMaxSyncTries = 250;
constexpr int kMaxItemTries = 20;
// The pause after each data line is 3 ms per unit of the time-out field (two digits).
constexpr unsigned long kPauseMsPerUnit = 3;
constexpr uint kMaxTimeoutField = 99;
constexpr int kProgressBias = 3;
constexpr int kPercent = 100;
constexpr quint8 kMaxDotPhase = 3;
constexpr int kAboveCentre = 100;

const ShownText kSearching{"lpc", QT_TRANSLATE_NOOP("lpc", "正在查找。。。")};
const ShownText kSearchingDevice{"lpc", QT_TRANSLATE_NOOP("lpc", "正在查找设备  %1")};
const ShownText kNoContact{"lpc", QT_TRANSLATE_NOOP("lpc", "无法和设备通讯，请重新复位")};
const ShownText kConnected{"lpc", QT_TRANSLATE_NOOP("lpc", "已成功连接")};
const ShownText kSynced{"lpc", QT_TRANSLATE_NOOP("lpc", "同步已建立")};
const ShownText kCrystalSent{"lpc", QT_TRANSLATE_NOOP("lpc", "波特率发送成功")};
const ShownText kCrystalFailed{"lpc", QT_TRANSLATE_NOOP("lpc", "波特率发送失败")};
const ShownText kUnlocked{"lpc", QT_TRANSLATE_NOOP("lpc", "解锁成功")};
const ShownText kReady{"lpc", QT_TRANSLATE_NOOP("lpc", "已准备")};
const ShownText kPartIdRead{"lpc", QT_TRANSLATE_NOOP("lpc", "读器件ID成功")};
const ShownText kPartIdLine{"lpc", QT_TRANSLATE_NOOP("lpc", "读器件ID成功:%1")};
const ShownText kBootVersionRead{"lpc", QT_TRANSLATE_NOOP("lpc", "读Boot代码版本成功")};
const ShownText kBootVersionLine{"lpc", QT_TRANSLATE_NOOP("lpc", "读Boot代码版本成功:%1")};
const ShownText kErasing{"lpc", QT_TRANSLATE_NOOP("lpc", "正在擦除。。。")};
const ShownText kErased{"lpc", QT_TRANSLATE_NOOP("lpc", "擦除成功")};
const ShownText kStartWriting{"lpc", QT_TRANSLATE_NOOP("lpc", "开始写入。。。")};
const ShownText kWritingRam{"lpc", QT_TRANSLATE_NOOP("lpc", "正在写RAM数据")};
const ShownText kCopying{"lpc", QT_TRANSLATE_NOOP("lpc", "正在将RAM内容复制到Flash")};
const ShownText kDot{"lpc", QT_TRANSLATE_NOOP("lpc", "。")};
const ShownText kDone{"lpc", QT_TRANSLATE_NOOP("lpc", "写入完成")};
const ShownText kFailed{"lpc", QT_TRANSLATE_NOOP("lpc", "下载的过程中出错")};
const ShownText kTimedOut{"lpc", QT_TRANSLATE_NOOP("lpc", "LPC通信超时!")};
const QString kSectorAmount = QStringLiteral("SectorAmount: ");

// A running timer keeps its interval: the tries of one item share the time-out of its first
// sending.
void ensureRunning(QTimer *timer)
{
    if (!timer->isActive()) timer->start();
}

} // namespace

TLPCFrm::TLPCFrm(TMainForm *mainForm) : QWidget(mainForm, Qt::Window), MainForm(mainForm)
{
    setObjectName(QStringLiteral("LPCFrm"));
    Edit4 = new QLineEdit(this);
    Edit4->setObjectName(QStringLiteral("Edit4"));
    auto makeTimer = [this](const char *name, milliseconds interval, void (TLPCFrm::*handler)()) {
        auto *t = new QTimer(this);
        t->setObjectName(QLatin1String(name));
        t->setInterval(interval);
        connect(t, &QTimer::timeout, this, handler);
        return t;
    };
    Timer1 = makeTimer("Timer1", kCommTimeout, &TLPCFrm::Timer1Timer);
    Timer2 = makeTimer("Timer2", kStatusAnimation, &TLPCFrm::Timer2Timer);
    Timer3 = makeTimer("Timer3", kSyncRepeat, &TLPCFrm::Timer3Timer);
    Timer4 = makeTimer("Timer4", kProgressInterval, &TLPCFrm::Timer4Timer);
    Timer5 = makeTimer("Timer5", kReplyPoll, &TLPCFrm::Timer5Timer);
    Timer5->setTimerType(Qt::PreciseTimer);
    // A coarse timer may fire up to 5 % early: 400 ms off the time-out.
    Timer1->setTimerType(Qt::PreciseTimer);
    FormCreate();
    Timer4->start();
}

TLPCFrm::~TLPCFrm() = default;

void TLPCFrm::FormCreate()
{
    adjustSize();
    if (const QScreen *s = screen()) {
        const QRect area = s->availableGeometry();
        move(area.center().x() - width() / 2, area.center().y() - height() / 2 - kAboveCentre);
    }
    LpcSpinner = true;
    LpcImageLoaded = false;
    LpcSectorTable.fill(0);
    MainForm->NewLine = QByteArray(lpc::kLineEnd);
}

bool TLPCFrm::running() const
{
    return Timer1->isActive() || Timer5->isActive();
}

void TLPCFrm::BitBtn1Click()
{
    if (running()) return; // one download at a time on the shared port
    fileRefused_ = false;
    if (!MainForm->ComPort_Open()) {
        MainForm->DownloadEnded(DownloadResult::PortNotOpened);
        return;
    }
    TVokCommDriver *port = MainForm->ComDriver;
    if (MainForm->CheckBox2->isChecked()) {
        port->SetRTS(true);
        QThread::msleep(kResetRtsToDtrMs);
        port->SetDTR(true);
        QThread::msleep(kResetDtrPulseMs);
        port->SetDTR(false);
    }
    LpcSyncTries = 1;
    LpcState = StepSync;
    port->SendString(lpc::kAutobaud);
    port->BufferedCount = 0;
    showAndAppend(kSearching);
    ensureRunning(Timer3);
    ensureRunning(Timer1);
    ensureRunning(Timer5);
    MainForm->BitBtn1->setEnabled(false);
}

bool TLPCFrm::SectorSet(const QString &partId)
{
    const lpc::SectorChoice choice = lpc::sectorChoiceFor(partId);
    LpcSectorTable = lpc::sectorLayout(choice.layout);
    LpcLastSector = choice.lastSector;
    LpcCopyRule = choice.copy;
    LpcFlashBytes = lpc::flashBytesFor(partId);
    return RenewedlyLoadFile();
}

void TLPCFrm::releaseImage()
{
    LpcImageStream.clear();
    LpcImageLoaded = false;
    LpcSendList = {};
}

bool TLPCFrm::RenewedlyLoadFile()
{
    lpc::LoadResult r = lpc::loadImage(MainForm->Edit2->text());
    releaseImage();
    switch (r.status) {
    case lpc::LoadStatus::Loaded:
        break;
    case lpc::LoadStatus::Missing:
    case lpc::LoadStatus::Malformed: // damaged since the download button checked it
    case lpc::LoadStatus::Unreadable:
        endDownload(r.statusText, DownloadResult::RefusedFile);
        return false;
    case lpc::LoadStatus::TooLarge:
    case lpc::LoadStatus::Empty:
        // Nothing has been erased yet; the time-out ends the attempt.
        fileRefused_ = true;
        showAndAppend(r.statusText);
        return false;
    }
    if (LpcFlashBytes > 0 && r.image.size() > LpcFlashBytes) {
        // Nothing has been erased yet: the chip keeps what it holds.
        MainForm->AppendLine(lpc::tooLargeForPartLine(r.image.size(), LpcFlashBytes));
        endDownload(kFailed, DownloadResult::RefusedFile);
        return false;
    }
    const std::optional<quint32> vectorSum = lpc::applyVectorChecksum(r.image);
    std::optional<lpc::LpcSendList> list = lpc::BuildLpcSendList(r.image, LpcSectorTable, LpcCopyRule);
    if (!list) {
        fileRefused_ = true;
        showAndAppend(lpc::statusTooLarge());
        return false;
    }
    LpcImageStream = std::move(r.image);
    LpcImageLoaded = true;
    LpcSendList = std::move(*list);
    MainForm->AppendLine(lpc::codeSizeLine(LpcImageStream.size()));
    if (vectorSum) MainForm->AppendLine(lpc::vectorChecksumLine(*vectorSum));
    showAndAppend(r.statusText);
    return true;
}

// ---- timers ----

void TLPCFrm::Timer1Timer()
{
    endDownload(kTimedOut, fileRefused_ ? DownloadResult::RefusedFile : DownloadResult::Failed);
}

void TLPCFrm::Timer2Timer()
{
    if (++LpcDotPhase > kMaxDotPhase) LpcDotPhase = 0;
    QString text = LpcWritingRam ? kWritingRam : kCopying;
    if (LpcDotPhase > 0) text += QLatin1Char(' ') + kDot.text().repeated(LpcDotPhase);
    MainForm->SetStatus(text);
}

void TLPCFrm::Timer3Timer()
{
    LpcState = StepSync;
    MainForm->ComDriver->SendString(lpc::kAutobaud);
    MainForm->ComDriver->BufferedCount = 0;
}

void TLPCFrm::Timer4Timer()
{
    if (LpcState != StepWrite) return;
    const int count = LpcSendCount();
    if (count <= 0) return;
    const int value = LpcSendPos * kPercent / count + kProgressBias;
    QProgressBar *bar = MainForm->ProgressBar1;
    bar->setValue(std::clamp(value, bar->minimum(), bar->maximum()));
}

void TLPCFrm::Timer5Timer()
{
    const int minimum = lpc::replyLength(LpcState);
    if (minimum < 0) return;
    TVokCommDriver *port = MainForm->ComDriver;
    if (port->BufferedCount < minimum) return;
    QByteArray reply;
    port->ReadBuffered(reply);
    if (!lpc::replyComplete(LpcState, reply, awaitingCompare())) return; // stays gathered
    port->BufferedCount = 0;
    evaluate(reply);
}

// ---- replies ----

bool TLPCFrm::awaitingCompare() const
{
    return LpcState == StepWrite && LpcSendPos >= 1 && LpcSendPos < LpcSendCount() &&
           LpcSendList.item(LpcSendPos).kind == lpc::ItemKind::CompareItem;
}

void TLPCFrm::evaluate(const QByteArray &reply)
{
    switch (LpcState) {
    case StepSync:
        syncAnswer(reply);
        return;
    case StepSynchronized:
        if (!lpc::isEchoed(reply, lpc::kSynchronized, lpc::kOk)) return;
        accepted();
        showAndAppend(kSynced);
        LpcState = StepCrystal;
        sendCommand(lpc::kCrystalKHz);
        return;
    case StepCrystal:
        if (!lpc::isEchoed(reply, lpc::kCrystalKHz, lpc::kOk)) {
            MainForm->SetStatus(kCrystalFailed);
            return;
        }
        accepted();
        showAndAppend(kCrystalSent);
        LpcState = StepUnlock;
        sendCommand(lpc::kUnlock);
        return;
    case StepUnlock:
        if (!lpc::isEchoed(reply, lpc::kUnlock, lpc::kSuccessCode)) return;
        accepted();
        showAndAppend(kUnlocked);
        LpcState = StepEchoOff;
        sendCommand(lpc::kEchoOff);
        return;
    case StepEchoOff:
        if (!lpc::isEchoed(reply, lpc::kEchoOff, lpc::kSuccessCode)) return;
        accepted();
        MainForm->SetStatus(kReady);
        LpcState = StepPartId;
        sendCommand(lpc::kReadPartId);
        return;
    case StepPartId:
        partIdAnswer(reply);
        return;
    case StepBootVersion:
        bootVersionAnswer(reply);
        return;
    case StepPrepare:
        if (!lpc::isSuccess(reply)) return;
        accepted();
        showAndAppend(kErasing);
        LpcState = StepErase;
        sendCommand(lpc::kEraseFromSector0 + LpcLastSector.toLatin1());
        return;
    case StepErase:
        eraseAnswer(reply);
        return;
    case StepWrite:
        writeAnswer(reply);
        return;
    default:
        return;
    }
}

void TLPCFrm::syncAnswer(const QByteArray &reply)
{
    TVokCommDriver *port = MainForm->ComDriver;
    if (lpc::isSynchronizedAnswer(reply)) {
        accepted();
        showAndAppend(kConnected);
        Timer3->stop();
        LpcState = StepSynchronized;
        sendCommand(lpc::kSynchronized);
        return;
    }
    // Noise or a wrong baud rate: ask again at once. The time-out still counts from the start.
    if (LpcSyncTries < kMaxSyncTries) {
        ++LpcSyncTries;
        port->SendString(lpc::kAutobaud);
        port->BufferedCount = 0;
        MainForm->SetStatus(
            kSearchingDevice.text().arg(LpcSpinner ? QLatin1Char('\\') : QLatin1Char('/')));
        LpcSpinner = !LpcSpinner;
        return;
    }
    showAndAppend(kNoContact);
    LpcSyncTries = 1;
    Timer3->stop();
    port->SendString(lpc::kAutobaud);
    port->BufferedCount = 0;
}

void TLPCFrm::partIdAnswer(const QByteArray &reply)
{
    const std::optional<QString> partId = lpc::partIdOf(reply);
    if (!partId) return;
    Edit4->setText(*partId);
    if (!SectorSet(*partId)) return;
    Edit4->setToolTip(kSectorAmount + LpcLastSector);
    accepted();
    MainForm->SetStatus(kPartIdRead);
    MainForm->AppendLine(kPartIdLine.text().arg(*partId));
    LpcState = StepBootVersion;
    sendCommand(lpc::kReadBootVersion);
}

void TLPCFrm::bootVersionAnswer(const QByteArray &reply)
{
    const std::optional<QString> version = lpc::bootVersionOf(reply);
    if (!version) return;
    accepted();
    MainForm->SetStatus(kBootVersionRead);
    MainForm->AppendLine(kBootVersionLine.text().arg(*version));
    LpcState = StepPrepare;
    sendCommand(lpc::kPrepareFromSector0 + LpcLastSector.toLatin1());
}

void TLPCFrm::eraseAnswer(const QByteArray &reply)
{
    if (!lpc::isSuccess(reply)) return;
    accepted();
    showAndAppend(kErased);
    LpcSendPos = 1;
    LpcRetryCount = 0; // each download's first item gets its own tries
    LpcState = StepWrite;
    if (!sendItem()) return;
    LpcWritingRam = true;
    ensureRunning(Timer2);
    MainForm->AppendLine(kStartWriting);
}

void TLPCFrm::writeAnswer(const QByteArray &reply)
{
    if (LpcSendPos < 1 || LpcSendPos >= LpcSendCount()) return;
    const lpc::LpcSendItem &item = LpcSendList.item(LpcSendPos);
    bool acceptedAnswer = false;
    switch (item.kind) {
    case lpc::ItemKind::DataItem:
        acceptedAnswer = lpc::isDataAccepted(reply);
        break;
    case lpc::ItemKind::CommandItem:
        acceptedAnswer = lpc::isSuccess(reply);
        break;
    case lpc::ItemKind::CompareItem: {
        const lpc::CompareAnswer answer = lpc::compareAnswerOf(reply);
        if (answer.kind == lpc::CompareAnswer::Different) {
            // The flash does not hold what was copied: sending it again cannot repair
            // flash that has been programmed.
            MainForm->AppendLine(
                lpc::compareFailedLine(item.flashAddress + answer.offset.value_or(0)));
            endDownload(kFailed, DownloadResult::Failed);
            return;
        }
        acceptedAnswer = answer.kind == lpc::CompareAnswer::Same;
        break;
    }
    }
    if (acceptedAnswer) {
        accepted();
        ++LpcSendPos;
        if (LpcSendPos < LpcSendCount()) {
            LpcRetryCount = 0;
            sendItem();
        } else {
            endDownload(kDone, DownloadResult::Written);
        }
        return;
    }
    // An error code, or "RESEND" for data: the whole item goes again.
    if (++LpcRetryCount < kMaxItemTries)
        sendItem();
    else
        endDownload(kFailed, DownloadResult::Failed);
}

// ---- sending and ending ----

void TLPCFrm::sendCommand(const QByteArray &text)
{
    MainForm->ComDriver->SendString(text + MainForm->NewLine);
    ensureRunning(Timer1);
}

void TLPCFrm::accepted()
{
    Timer1->stop();
}

bool TLPCFrm::sendItem()
{
    if (LpcSendPos < 1 || LpcSendPos >= LpcSendCount()) {
        endDownload(kFailed, DownloadResult::Failed);
        return false;
    }
    const lpc::LpcSendItem &item = LpcSendList.item(LpcSendPos);
    TVokCommDriver *port = MainForm->ComDriver;
    if (item.kind != lpc::ItemKind::DataItem) {
        const QByteArray line = item.lines.value(0);
        LpcWritingRam = !line.startsWith(lpc::kCopyCommand);
        if (!LpcWritingRam) MainForm->SetStatus(kCopying);
        port->SendData(line.constData(), qint32(line.size()));
    } else {
        // The field holds digits only unless something else was pasted into it; without a
        // number there is no pause to keep, so the attempt ends rather than guess one.
        bool ok = false;
        const uint units = MainForm->Edit3->text().toUInt(&ok);
        if (!ok || units > kMaxTimeoutField) {
            endDownload(kFailed, DownloadResult::Failed);
            return false;
        }
        for (const QByteArray &line : item.lines) {
            port->SendData(line.constData(), qint32(line.size()));
            QThread::msleep(kPauseMsPerUnit * units);
        }
    }
    ensureRunning(Timer1);
    return true;
}

void TLPCFrm::showAndAppend(const QString &text)
{
    MainForm->SetStatus(text);
    MainForm->AppendLine(text);
}

void TLPCFrm::endDownload(const QString &message, DownloadResult result)
{
    LpcState = StepSync;
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    Timer5->stop();
    MainForm->ComPort_Close();
    showAndAppend(message);
    MainForm->ProgressBar1->setValue(0);
    MainForm->BitBtn1->setEnabled(true);
    if (result == DownloadResult::Written && MainForm->CheckBox1->isChecked()) {
        MainForm->SetStayOnTop(false);
        MainForm->MinimiseApplication();
    }
    MainForm->DownloadEnded(result);
}
