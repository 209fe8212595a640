#include "engines/LpcEngine.h"

#include "engines/BoardEntry.h"
#include "logic/LpcReplies.h"
#include "logic/ShownText.h"
#include "serial/Vok_ComDrv.h"

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
// Board reset: RTS on, then a DTR pulse; RTS stays on.

constexpr int kMaxSyncTries = 250;
constexpr int kMaxItemTries = 20;
// The pause after each data line is 3 ms per unit of the time-out field (two digits).
constexpr unsigned long kPauseMsPerUnit = 3;
constexpr uint kMaxTimeoutField = 99;
constexpr int kProgressBias = 3;
constexpr int kPercent = 100;
constexpr quint8 kMaxDotPhase = 3;

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
const ShownText kUnknownPart{
    "lpc", QT_TRANSLATE_NOOP("lpc", "未知的器件ID: %1 (0x%2)，器件表中没有这个型号，没有擦除任何内容")};
const ShownText kPartFound{"lpc", QT_TRANSLATE_NOOP("lpc", "器件: %1，Flash %2 KB，RAM %3 KB (%4)")};
const ShownText kNoBlockSize{"lpc", QT_TRANSLATE_NOOP("lpc", "%1 的 RAM 放不下一次复制的数据")};
const ShownText kSerialLine{"lpc", QT_TRANSLATE_NOOP("lpc", "器件序列号: %1")};
const QString kSectorAmount = QStringLiteral("SectorAmount: ");

// A running timer keeps its interval: the tries of one item share the time-out of its first
// sending.
void ensureRunning(QTimer *timer)
{
    if (!timer->isActive()) timer->start();
}

} // namespace

LpcEngine::LpcEngine(TVokCommDriver *port, QObject *parent) : Engine(parent), ComDriver(port)
{
    auto makeTimer = [this](const char *name, milliseconds interval, void (LpcEngine::*handler)()) {
        auto *t = new QTimer(this);
        t->setObjectName(QLatin1String(name));
        t->setInterval(interval);
        connect(t, &QTimer::timeout, this, handler);
        return t;
    };
    Timer1 = makeTimer("Timer1", kCommTimeout, &LpcEngine::Timer1Timer);
    Timer2 = makeTimer("Timer2", kStatusAnimation, &LpcEngine::Timer2Timer);
    Timer3 = makeTimer("Timer3", kSyncRepeat, &LpcEngine::Timer3Timer);
    Timer4 = makeTimer("Timer4", kProgressInterval, &LpcEngine::Timer4Timer);
    // A coarse timer may fire up to 5 % early: 400 ms off the time-out.
    Timer1->setTimerType(Qt::PreciseTimer);
    LpcSpinner = true;
    LpcImageLoaded = false;
    LpcSectorTable.fill(0);
    Timer4->start();
}

LpcEngine::~LpcEngine()
{
    if (running_) hook(false);
}

bool LpcEngine::running() const
{
    return running_;
}

void LpcEngine::hook(bool on)
{
    ComDriver->ReadOnArrival = on;
    if (on)
        ComDriver->OnGathered = [this](TVokCommDriver *) { ComDriverGathered(); };
    else
        ComDriver->OnGathered = nullptr;
}

void LpcEngine::start(const DownloadChoices &choices)
{
    if (running_) return; // one download at a time on a port
    running_ = true;
    file_ = choices.file;
    binaryAddress_ = choices.binaryAddress;
    chip_.clear();
    uniqueId_.clear();
    timeout_ = choices.timeout;
    anyPart_ = devices::lpcAnyPart(choices.device);
    verify_ = choices.verify;
    crystal_ = choices.crystalKhz.isEmpty() ? lpc::kCrystalKHz : choices.crystalKhz.toLatin1();
    LpcChip = nullptr;
    TVokCommDriver *port = ComDriver;
    exit_ = boardentry::exitSteps(choices, {});
    // The default holds the ISP pin (RTS) and leaves reset after 300 ms, the time the chip
    // needs to come out of reset with the boot loader selected.
    const auto entered = boardentry::enter(*this, boardentry::Family::Lpc, choices,
                                           resetseq::lpcEntry(), boardentry::linesOf(*port));
    linesNoted_ = entered == boardentry::Entered::LinesRefused;
    if (entered == boardentry::Entered::Failed) {
        endDownload(kFailed, DownloadResult::Failed);
        return;
    }
    // What came while the board was reset is noise (some adapters send a 0x00 then).
    port->DropInput();
    LpcSyncTries = 1;
    LpcState = StepSync;
    awaited_ = lpc::kAutobaud;
    port->SendString(lpc::kAutobaud);
    port->BufferedCount = 0;
    showAndAppend(kSearching);
    ensureRunning(Timer3);
    ensureRunning(Timer1);
    hook(true);
}

void LpcEngine::cancel()
{
    if (!running_) return;
    endDownload(kFailed, DownloadResult::Failed);
}

bool LpcEngine::SectorSet(const QString &partId)
{
    const lpc::SectorChoice choice = lpc::sectorChoiceFor(partId);
    LpcSectorTable = lpc::sectorLayout(choice.layout);
    LpcLastSector = choice.lastSector;
    LpcCopyRule = choice.copy;
    LpcFlashBytes = lpc::flashBytesFor(partId);
    return RenewedlyLoadFile();
}

void LpcEngine::releaseImage()
{
    LpcImageStream.clear();
    LpcImageLoaded = false;
    LpcSendList = {};
}

bool LpcEngine::RenewedlyLoadFile()
{
    lpc::LoadResult r = lpc::loadImage(file_, binaryAddress_);
    releaseImage();
    switch (r.status) {
    case lpc::LoadStatus::Loaded:
        break;
    case lpc::LoadStatus::Missing:
    case lpc::LoadStatus::Malformed: // damaged since the download button checked it
    case lpc::LoadStatus::Unreadable:
    case lpc::LoadStatus::TooLarge:
    case lpc::LoadStatus::Empty:
        // Nothing has been erased: the attempt ends at once with the reason (waiting for the
        // time-out would only bury it under "LPC通信超时!").
        endDownload(r.statusText, DownloadResult::RefusedFile);
        return false;
    }
    if (LpcFlashBytes > 0 && r.image.size() > LpcFlashBytes) {
        // Nothing has been erased yet: the chip keeps what it holds.
        emit line(lpc::tooLargeForPartLine(r.image.size(), LpcFlashBytes));
        endDownload(kFailed, DownloadResult::RefusedFile);
        return false;
    }
    if (!r.warning.isEmpty()) emit line(r.warning);
    // Word 0x14 balances the vector table only when the table is the file's: an application
    // placed behind a boot loader of its own leaves the vectors alone.
    const std::optional<quint32> vectorSum =
        r.vectorData ? lpc::applyVectorChecksum(r.image) : std::nullopt;
    std::optional<lpc::LpcSendList> list = lpc::BuildLpcSendList(r.image, LpcSectorTable, LpcCopyRule);
    if (!list) {
        endDownload(lpc::statusTooLarge(), DownloadResult::RefusedFile);
        return false;
    }
    LpcImageStream = std::move(r.image);
    LpcImageLoaded = true;
    LpcSendList = std::move(*list);
    emit line(lpc::codeSizeLine(LpcImageStream.size()));
    if (vectorSum) emit line(lpc::vectorChecksumLine(*vectorSum));
    showAndAppend(r.statusText);
    return true;
}

// ---- timers ----

void LpcEngine::Timer1Timer()
{
    // The step the chip left without an answer, for the adapter or wiring that failed there.
    emit line(noAnswerLine(QString::fromLatin1(awaited_)));
    endDownload(kTimedOut, DownloadResult::Failed);
}

void LpcEngine::Timer2Timer()
{
    if (++LpcDotPhase > kMaxDotPhase) LpcDotPhase = 0;
    QString text = LpcWritingRam ? kWritingRam : kCopying;
    if (LpcDotPhase > 0) text += QLatin1Char(' ') + kDot.text().repeated(LpcDotPhase);
    emit status(text);
}

void LpcEngine::Timer3Timer()
{
    LpcState = StepSync;
    awaited_ = lpc::kAutobaud;
    ComDriver->SendString(lpc::kAutobaud);
    ComDriver->BufferedCount = 0;
}

void LpcEngine::Timer4Timer()
{
    if (LpcState != StepWrite) return;
    const int count = LpcSendCount();
    if (count <= 0) return;
    const int value = LpcSendPos * kPercent / count + kProgressBias;
    emit progress(std::clamp(value, 0, kPercent), kPercent);
}

void LpcEngine::ComDriverGathered()
{
    // The crystal's answer is its echo and "OK": its length follows the text sent.
    const int minimum = LpcState == StepCrystal ? int(crystal_.size()) + 6
                                                : lpc::replyLength(LpcState);
    if (minimum < 0) return;
    TVokCommDriver *port = ComDriver;
    if (port->BufferedCount < minimum) return;
    QByteArray reply;
    port->ReadBuffered(reply);
    const bool complete = awaitingCrc() ? lpc::crcComplete(reply)
                                        : lpc::replyComplete(LpcState, reply, awaitingCompare());
    if (!complete) return; // stays gathered
    port->BufferedCount = 0;
    evaluate(reply);
}

// ---- replies ----

bool LpcEngine::awaitingCrc() const
{
    return LpcState == StepWrite && LpcSendPos >= 1 && LpcSendPos < LpcSendCount() &&
           LpcSendList.item(LpcSendPos).kind == lpc::ItemKind::CrcItem;
}

bool LpcEngine::awaitingCompare() const
{
    return LpcState == StepWrite && LpcSendPos >= 1 && LpcSendPos < LpcSendCount() &&
           LpcSendList.item(LpcSendPos).kind == lpc::ItemKind::CompareItem;
}

void LpcEngine::evaluate(const QByteArray &reply)
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
        sendCommand(crystal_);
        return;
    case StepCrystal:
        if (!lpc::isEchoed(reply, crystal_, lpc::kOk)) {
            emit status(kCrystalFailed);
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
        emit status(kReady);
        LpcState = StepPartId;
        sendCommand(lpc::kReadPartId);
        return;
    case StepPartId:
        partIdAnswer(reply);
        return;
    case StepBootVersion:
        bootVersionAnswer(reply);
        return;
    case StepSerial:
        serialAnswer(reply);
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

void LpcEngine::syncAnswer(const QByteArray &reply)
{
    TVokCommDriver *port = ComDriver;
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
        emit status(
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

void LpcEngine::partIdAnswer(const QByteArray &reply)
{
    const std::optional<QString> partId = lpc::partIdOf(reply);
    if (!partId) return;
    LpcPartId = *partId;
    chip_ = QStringLiteral("LPC %1").arg(*partId);
    if (anyPart_ ? !anyPartLoad(*partId) : !SectorSet(*partId)) return;
    LpcPartIdHint = kSectorAmount + LpcLastSector;
    accepted();
    emit status(kPartIdRead);
    emit line(kPartIdLine.text().arg(*partId));
    // A part whose row lacks "N" is not asked: its boot loader would not know the command.
    if (LpcChip && LpcChip->family->has(devices::kLpcCmdSerial)) {
        LpcState = StepSerial;
        sendCommand(lpc::kReadSerial);
        return;
    }
    LpcState = StepBootVersion;
    sendCommand(lpc::kReadBootVersion);
}

void LpcEngine::serialAnswer(const QByteArray &reply)
{
    // The number only goes into the record: a part that refuses it is still programmed.
    const std::optional<QString> serial = lpc::serialNumberOf(reply);
    accepted();
    if (serial) {
        uniqueId_ = *serial;
        emit line(kSerialLine.text().arg(*serial));
    }
    LpcState = StepBootVersion;
    sendCommand(lpc::kReadBootVersion);
}

void LpcEngine::bootVersionAnswer(const QByteArray &reply)
{
    const std::optional<QString> version = lpc::bootVersionOf(reply);
    if (!version) return;
    accepted();
    emit status(kBootVersionRead);
    emit line(kBootVersionLine.text().arg(*version));
    LpcState = StepPrepare;
    sendCommand(lpc::kPrepareFromSector0 + LpcLastSector.toLatin1());
}

void LpcEngine::eraseAnswer(const QByteArray &reply)
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
    emit line(kStartWriting);
}

void LpcEngine::writeAnswer(const QByteArray &reply)
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
    case lpc::ItemKind::BinaryItem: // answered by nothing: never waited for
        return;
    case lpc::ItemKind::CrcItem: {
        const std::optional<quint32> crc = lpc::crcAnswerOf(reply);
        if (crc && *crc != item.expectedCrc) {
            // What the flash holds differs from the image: writing it again would need an
            // erase first, so the attempt ends and says where.
            emit line(lpc::crcFailedLine(item.flashAddress, item.byteCount, *crc,
                                         item.expectedCrc));
            endDownload(kFailed, DownloadResult::Failed);
            return;
        }
        acceptedAnswer = crc.has_value();
        break;
    }
    case lpc::ItemKind::CompareItem: {
        const lpc::CompareAnswer answer = lpc::compareAnswerOf(reply);
        if (answer.kind == lpc::CompareAnswer::Different) {
            // The flash does not hold what was copied: sending it again cannot repair
            // flash that has been programmed.
            emit line(
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
        nextItem();
        return;
    }
    // An error code, or "RESEND" for data: the whole item goes again.
    if (++LpcRetryCount < kMaxItemTries)
        sendItem();
    else
        endDownload(kFailed, DownloadResult::Failed);
}

void LpcEngine::nextItem()
{
    ++LpcSendPos;
    if (LpcSendPos < LpcSendCount()) {
        LpcRetryCount = 0;
        sendItem();
    } else {
        endDownload(kDone, DownloadResult::Written);
    }
}

bool LpcEngine::anyPartLoad(const QString &partId)
{
    const std::optional<quint32> id = lpc::partIdValue(partId);
    LpcChip = id ? devices::lpcChip(*id) : nullptr;
    if (!LpcChip) {
        // Without the part's row nothing says where its sectors lie: nothing is erased.
        emit line(kUnknownPart.text().arg(partId).arg(
            id ? QString::number(*id, 16).toUpper().rightJustified(8, QLatin1Char('0'))
               : QStringLiteral("?")));
        endDownload(kFailed, DownloadResult::Failed);
        return false;
    }
    const devices::LpcChip &chip = *LpcChip;
    chip_ = chip.name.toString();
    emit line(kPartFound.text()
                  .arg(chip.name)
                  .arg(chip.flashKib)
                  .arg(chip.ramKib)
                  .arg(chip.family->name));
    LpcLastSector = QString::number(chip.sectorCount() - 1);
    LpcFlashBytes = chip.flashBytes();
    if (chip.blockBytes() <= 0) {
        emit line(kNoBlockSize.text().arg(chip.name));
        endDownload(kFailed, DownloadResult::Failed);
        return false;
    }

    lpc::LoadResult r = lpc::loadImage(file_, binaryAddress_, lpc::kAnyPartImageLimit);
    releaseImage();
    if (!r.ok()) {
        endDownload(r.statusText, DownloadResult::RefusedFile);
        return false;
    }
    if (r.image.size() > LpcFlashBytes) {
        // Nothing has been erased yet: the chip keeps what it holds.
        emit line(lpc::tooLargeForPartLine(r.image.size(), LpcFlashBytes));
        endDownload(kFailed, DownloadResult::RefusedFile);
        return false;
    }
    const qsizetype checksumAt = chip.family->checksumWord();
    const std::optional<quint32> vectorSum =
        r.vectorData ? lpc::applyVectorChecksum(r.image, checksumAt) : std::nullopt;
    const lpc::Verify verify = !verify_                             ? lpc::Verify::None
                               : chip.family->has(devices::kLpcCmdCrc) ? lpc::Verify::Crc
                                                                      : lpc::Verify::Compare;
    std::optional<lpc::LpcSendList> list = lpc::buildPartSendList(r.image, chip, verify);
    if (!list) {
        endDownload(kFailed, DownloadResult::RefusedFile);
        return false;
    }
    LpcImageStream = std::move(r.image);
    LpcImageLoaded = true;
    LpcSendList = std::move(*list);
    emit line(lpc::codeSizeLine(LpcImageStream.size()));
    if (vectorSum) emit line(lpc::vectorChecksumLine(*vectorSum, checksumAt));
    showAndAppend(r.statusText);
    return true;
}

// ---- sending and ending ----

void LpcEngine::sendCommand(const QByteArray &text)
{
    ComDriver->SendString(text + lpc::kLineEnd);
    awaited_ = text;
    ensureRunning(Timer1);
}

void LpcEngine::accepted()
{
    Timer1->stop();
}

bool LpcEngine::sendItem()
{
    if (LpcSendPos < 1 || LpcSendPos >= LpcSendCount()) {
        endDownload(kFailed, DownloadResult::Failed);
        return false;
    }
    const lpc::LpcSendItem &item = LpcSendList.item(LpcSendPos);
    TVokCommDriver *port = ComDriver;
    if (item.kind == lpc::ItemKind::BinaryItem) {
        // The LPC8xx take the W's bytes raw and answer nothing (echo is off); the next item
        // (the prepare) follows at once, and its answer says the data were taken.
        const QByteArray &raw = item.lines.value(0);
        port->SendData(raw.constData(), qint32(raw.size()));
        nextItem();
        return running_;
    }
    if (item.kind != lpc::ItemKind::DataItem) {
        const QByteArray line = item.lines.value(0);
        LpcWritingRam = !line.startsWith(lpc::kCopyCommand);
        if (!LpcWritingRam) emit status(kCopying);
        awaited_ = line.trimmed();
        if (line.startsWith('W')) lastWrite_ = awaited_;
        port->SendData(line.constData(), qint32(line.size()));
    } else {
        // The field holds digits only unless something else was pasted into it; without a
        // number there is no pause to keep, so the attempt ends rather than guess one.
        bool ok = false;
        const uint units = timeout_.toUInt(&ok);
        if (!ok || units > kMaxTimeoutField) {
            endDownload(kFailed, DownloadResult::Failed);
            return false;
        }
        awaited_ = lastWrite_ + " (data)";
        // The pause after each data line is the user's choice (the time-out field): a slow
        // boot loader needs it to take a line before the next one comes. It is waited out
        // where it is longer than the line itself takes at the port's rate.
        const int speed = int(port->ComPortSpeed());
        const quint32 bps = speed >= 0 && speed < kBaudRateCount ? kBaudRates[speed] : 0;
        const quint32 pauseMs = quint32(kPauseMsPerUnit * units);
        for (const QByteArray &dataLine : item.lines) {
            port->SendData(dataLine.constData(), qint32(dataLine.size()));
            if (lpc::pauseAfterLine(pauseMs, dataLine.size(), bps)) QThread::msleep(pauseMs);
        }
    }
    ensureRunning(Timer1);
    return true;
}

void LpcEngine::showAndAppend(const QString &text)
{
    emit status(text);
    emit line(text);
}

void LpcEngine::endDownload(const QString &message, DownloadResult result)
{
    LpcState = StepSync;
    Timer1->stop();
    Timer2->stop();
    Timer3->stop();
    hook(false);
    running_ = false;
    showAndAppend(message);
    emit progress(0, kPercent);
    if (result == DownloadResult::Written)
        boardentry::leave(*this, exit_, boardentry::linesOf(*ComDriver), linesNoted_);
    emit finished(result);
}
