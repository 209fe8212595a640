#include "engines/Stm32Engine.h"

#include "engines/BoardEntry.h"
#include "logic/ShownText.h"
#include "serial/Vok_ComDrv.h"

#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace {
// The sync ACK must come before the first OvertimeT tick; every later step gets seven ticks.
constexpr quint8 kTimeoutStartCount = 6;
constexpr quint8 kTimeoutLimit = 7;
constexpr int kOvertimeInterval = 1000;
// A mass or bank erase answers only when the whole flash or bank is erased: 8 s typical for a
// 1 MiB F405 at x32 (its data sheet's "Flash memory programming" table), more on 2 MiB parts
// and at the data sheets' maximum times. That one answer gets forty ticks.
constexpr quint8 kBulkEraseLimit = 40;
constexpr int kProgressRange = 100;
// After Readout Unprotect the chip erases its flash and restarts its boot loader; it hears
// nothing before that.
constexpr int kUnprotectRestartMs = 500;

const ShownText kSearching{"stm32", QT_TRANSLATE_NOOP("stm32", "正在查找设备。。。")};
const ShownText kConnected{"stm32", QT_TRANSLATE_NOOP("stm32", "已成功连接")};
const ShownText kLoading{"stm32", QT_TRANSLATE_NOOP("stm32", "加载文件。。。")};
const ShownText kErasing{"stm32", QT_TRANSLATE_NOOP("stm32", "正在擦除。。。")};
const ShownText kStartWriting{"stm32", QT_TRANSLATE_NOOP("stm32", "开始写入。。。")};
const ShownText kDone{"stm32", QT_TRANSLATE_NOOP("stm32", "上载完成！")};
} // namespace

Stm32Engine::Stm32Engine(TVokCommDriver *port, QObject *parent)
    : Engine(parent), OvertimeT(new QTimer(this)), ComDriver(port), restart_(new QTimer(this)),
      syncRetry_(new QTimer(this))
{
    OvertimeT->setObjectName(QStringLiteral("OvertimeT"));
    OvertimeT->setInterval(kOvertimeInterval);
    connect(OvertimeT, &QTimer::timeout, this, &Stm32Engine::OvertimeTTimer);
    restart_->setSingleShot(true);
    restart_->setInterval(kUnprotectRestartMs);
    connect(restart_, &QTimer::timeout, this, &Stm32Engine::stmRestartAfterUnprotect);
    syncRetry_->setSingleShot(true);
    syncRetry_->setInterval(stm32::kSyncRetryMs);
    connect(syncRetry_, &QTimer::timeout, this, [this] {
        if (running_ && StmState == int(stm32::State::SyncAck) &&
            syncAttempt_ < stm32::kSyncAttempts)
            stmSendSync(syncAttempt_ + 1);
    });
}

Stm32Engine::~Stm32Engine()
{
    if (running_) hook(false);
}

bool Stm32Engine::running() const
{
    return running_;
}

void Stm32Engine::hook(bool on)
{
    ComDriver->ReadOnArrival = on;
    if (on)
        ComDriver->OnGathered = [this](TVokCommDriver *) { ComDriverGathered(); };
    else
        ComDriver->OnGathered = nullptr;
}

void Stm32Engine::start(const DownloadChoices &choices)
{
    if (running_) return;
    running_ = true;
    file_ = choices.file;
    binaryAddress_ = choices.binaryAddress;
    chip_.clear();
    uniqueId_.clear();
    StmVerify = choices.verify;
    StmUnprotect = choices.unprotect;
    StmCrcVerify = false;
    StmWriteUnprotect = choices.writeUnprotect;
    StmProtect = choices.protect;
    restartWhenDone_ = choices.restartWhenDone;
    StmPart = nullptr;
    progressMax_ = kProgressRange;
    exit_ = boardentry::exitSteps(choices, resetseq::stm32Exit());
    // The default ends with the time the boot loader needs after the reset before it listens
    // for 0x7F.
    const auto entered = boardentry::enter(*this, boardentry::Family::Stm32, choices,
                                           resetseq::stm32Entry(), boardentry::linesOf(*ComDriver));
    linesNoted_ = entered == boardentry::Entered::LinesRefused;
    if (entered == boardentry::Entered::Failed) {
        stmFinish(DownloadResult::Failed);
        return;
    }
    // What came while the board was reset is noise (some adapters send a 0x00 then).
    ComDriver->DropInput();
    stmSendSync(1);
    emit status(kSearching);
    emit firstLine(kSearching);
    StmTimeoutCount = kTimeoutStartCount;
    OvertimeT->start();
    hook(true);
    // An answer may already wait (a fast board): it is read at the driver's next chance.
    ComDriver->PollReceive();
}

void Stm32Engine::cancel()
{
    if (!running_) return;
    stmFinish(DownloadResult::Failed);
}

void Stm32Engine::stmRestartAfterUnprotect()
{
    if (!running_) return;
    ComDriver->BufferedCount = 0;
    StmTimeoutCount = 0;
    stmSendSync(1);
}

void Stm32Engine::stmSendSync(int attempt)
{
    // What came in answer to an earlier 0x7F goes with it.
    ComDriver->BufferedCount = 0;
    StmState = int(stm32::State::SyncAck);
    syncAttempt_ = attempt;
    stmSend(QByteArray(1, char(stm32::kSync)));
    syncRetry_->start();
}

void Stm32Engine::stmSend(QByteArrayView bytes)
{
    // Commands are built in StmFrame and sent from there; longer frames (an extended erase
    // list) go out from their own buffer.
    if (bytes.size() > qsizetype(StmFrame.size())) {
        ComDriver->SendData(bytes.data(), qint32(bytes.size()));
        return;
    }
    std::memcpy(StmFrame.data(), bytes.data(), size_t(bytes.size()));
    ComDriver->SendData(StmFrame.data(), qint32(bytes.size()));
}

bool Stm32Engine::stmRequire(quint8 command)
{
    if (StmCommands.contains(char(command))) return true;
    stmFinish(DownloadResult::Failed, {stm32::reasonCommandMissing(command)});
    return false;
}

// A NACK where the chip refuses an operation ends the attempt at once with the reason; the
// time-out would only hide it. Returns true when the attempt ended.
bool Stm32Engine::stmRefused(stm32::State state, QByteArrayView reply)
{
    using stm32::State;
    if (!stm32::nackFirst(reply)) return false;
    // The texts name the protection level where the line has levels.
    const devices::Stm32Rdp rdp = StmPart ? StmPart->rdp : devices::Stm32Rdp::Single;
    switch (state) {
    case State::ReadMemoryAck:
        if (StmUnprotect && StmCommands.contains(char(stm32::kCmdReadoutUnprotect))) {
            StmUnprotect = false; // once per attempt
            StmTimeoutCount = 0;
            emit line(stm32::reasonReadProtected(rdp));
            emit line(stm32::unprotectingLine(rdp));
            StmUnprotectCommand = stm32::kCmdReadoutUnprotect;
            stmSend(stm32::commandFrame(stm32::kCmdReadoutUnprotect));
            StmState = int(State::UnprotectAck);
            return true;
        }
        stmFinish(DownloadResult::Failed,
                  {stm32::reasonReadProtected(rdp), stm32::reasonHowToUnprotect(rdp)});
        return true;
    case State::ReadAddressAck:
    case State::ReadData:
        // Lines differ in which reads of their system area they answer; a refusal here is no
        // reason to give up on a chip that answered Get and Get ID.
        stmSizeFromTable();
        return true;
    case State::EraseAck:
        stmFinish(DownloadResult::Failed,
                  {stm32::reasonEraseRefused(rdp), stm32::reasonHowToWriteUnprotect()});
        return true;
    case State::BlockAck:
        if (StmErasing) {
            stmFinish(DownloadResult::Failed,
                      {stm32::reasonEraseRefused(rdp), stm32::reasonHowToWriteUnprotect()});
            return true;
        }
        [[fallthrough]];
    case State::LastBlockAck:
        stmFinish(DownloadResult::Failed,
                  {stm32::reasonWriteRefused(stm32::kFlashStart + StmBlockAt, rdp),
                   stm32::reasonHowToWriteUnprotect()});
        return true;
    case State::WriteMemoryAck:
    case State::WriteAddressAck:
        stmFinish(DownloadResult::Failed, {stm32::reasonWriteRefused(StmAddress, rdp)});
        return true;
    case State::VerifyReadAck:
    case State::VerifyAddressAck:
    case State::VerifyData:
        stmFinish(DownloadResult::Failed,
                  {stm32::reasonReadRefused(stm32::kFlashStart + StmBlockAt)});
        return true;
    case State::UnprotectAck:
        stmFinish(DownloadResult::Failed, {StmUnprotectCommand == stm32::kCmdWriteUnprotect
                                               ? stm32::reasonWriteUnprotectRefused()
                                               : stm32::reasonReadProtected(rdp)});
        return true;
    case State::ProtectAck:
        stmFinish(DownloadResult::Failed, {stm32::reasonProtectRefused()});
        return true;
    case State::UidReadAck:
    case State::UidAddressAck:
    case State::UidData:
        // A loader that keeps its unique id to itself: the id stays unknown, the download
        // goes on.
        StmTimeoutCount = 0;
        stmLoadAndErase();
        return true;
    case State::ChecksumAck:
    case State::ChecksumAddressAck:
    case State::ChecksumReply:
        stmFinish(DownloadResult::Failed,
                  {stm32::reasonReadRefused(stm32::kFlashStart +
                                            quint32(StmCrcRanges.value(StmCrcNext).offset))},
                  stm32::kVerifyFailedText);
        return true;
    case State::SyncAck:
    case State::GetReply:
    case State::GetIdReply:
    case State::ResetWait:
        break;
    }
    return false;
}

void Stm32Engine::ComDriverGathered()
{
    using stm32::State;
    const auto state = State(StmState);
    // While the chip restarts after removing the protection its noise is dropped with
    // everything gathered when the sync byte goes out again.
    if (state == State::ResetWait) return;
    const qsizetype gathered = ComDriver->BufferedCount;
    const QByteArrayView received(reinterpret_cast<const char *>(ComDriver->ReceiveBuffer),
                                  gathered);
    qsizetype needed = stm32::replyLength(state);
    if (state == State::GetReply) needed = stm32::getReplyLength(received);
    if (state == State::VerifyData) needed = 1 + StmBlockLength;
    if (state == State::ReadData) needed = 1 + StmSizeRead.count;
    if (gathered < needed && !(state > State::GetIdReply && stm32::nackFirst(received))) return;

    // All gathered bytes are consumed here, accepted or not. The copy into StmFrame stops at
    // its end; the checks look at the whole gathered reply.
    const QByteArray reply = received.toByteArray();
    std::memcpy(StmFrame.data(), reply.constData(),
                size_t(std::min<qsizetype>(gathered, qsizetype(StmFrame.size()))));
    ComDriver->BufferedCount = 0;
    if (stmRefused(state, reply)) return;

    switch (state) {
    case State::SyncAck:
        if (!stm32::syncAnswered(reply, syncAttempt_)) {
            emit status(stm32::kNoContactText);
            return;
        }
        syncRetry_->stop();
        StmTimeoutCount = 0;
        emit status(kConnected);
        emit line(kConnected);
        stmSend(stm32::commandFrame(stm32::kCmdGet));
        StmState = int(State::GetReply);
        return;
    case State::GetReply: {
        const auto version = stm32::acceptGetReply(reply);
        if (!version) return;
        StmTimeoutCount = 0;
        StmCommands = stm32::offeredCommands(reply);
        emit status(stm32::versionLine(*version));
        emit line(stm32::versionLine(*version));
        if (!stmRequire(stm32::kCmdGetId)) return;
        stmSend(stm32::commandFrame(stm32::kCmdGetId));
        StmState = int(State::GetIdReply);
        return;
    }
    case State::GetIdReply: {
        const auto id = stm32::acceptGetIdReply(reply);
        if (!id) return;
        StmTimeoutCount = 0;
        StmPart = &stm32::partFor(quint16(id->toUInt(nullptr, 16)));
        chip_ = QStringLiteral("STM32 0x%1").arg(*id);
        emit line(stm32::productIdLine(*id));
        emit line(stm32::familyLine(*id));
        // Another line's erase geometry could erase the wrong pages or none: a chip the
        // table does not know is left as it is.
        if (StmPart == &devices::stm32DefaultPart()) {
            stmFinish(DownloadResult::Failed, {stm32::reasonUnknownProductId(*id)});
            return;
        }
        if (!stmRequire(stm32::kCmdReadMemory)) return;
        StmSizeRead = stm32::sizeReadPlan(*StmPart);
        StmUid = stm32::uniqueIdPlan(*StmPart, StmSizeRead);
        stmSend(stm32::commandFrame(stm32::kCmdReadMemory));
        StmState = int(State::ReadMemoryAck);
        return;
    }
    case State::ReadMemoryAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::addressFrame(StmSizeRead.address));
        StmState = int(State::ReadAddressAck);
        return;
    case State::ReadAddressAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::readCountFrame(StmSizeRead.count));
        StmState = int(State::ReadData);
        return;
    case State::ReadData: {
        const auto kib = stm32::acceptFlashSizeReply(reply, StmSizeRead);
        if (!kib) return;
        StmTimeoutCount = 0;
        StmFlashKib = *kib;
        StmFlashFromChip = true;
        emit line(stm32::flashSizeLine(*kib));
        if (StmUid.inSizeRead) uniqueId_ = stm32::uniqueIdIn(reply.sliced(1), StmUid.offset);
        stmReadUniqueId();
        return;
    }
    case State::UidReadAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::addressFrame(StmUid.address));
        StmState = int(State::UidAddressAck);
        return;
    case State::UidAddressAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::readCountFrame(stm32::kUniqueIdBytes));
        StmState = int(State::UidData);
        return;
    case State::UidData: {
        const auto data = stm32::acceptReadBack(reply, stm32::kUniqueIdBytes);
        if (!data) return;
        StmTimeoutCount = 0;
        uniqueId_ = stm32::uniqueIdIn(*data);
        stmLoadAndErase();
        return;
    }
    case State::EraseAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSendErase();
        return;
    case State::BlockAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        if (StmErasing && StmEraseNext < StmErase.frames.size()) {
            stmSend(stm32::commandFrame(StmErase.command));
            StmState = int(State::EraseAck);
            return;
        }
        StmErasing = false;
        if (StmVerify && !StmCrcVerify && StmBlockLength > 0) {
            stmStartVerify();
            return;
        }
        stmSend(stm32::commandFrame(stm32::kCmdWriteMemory));
        StmState = int(State::WriteMemoryAck);
        return;
    case State::WriteMemoryAck:
        if (!stm32::ackFirst(reply)) return;
        // The address goes out first: the chip waits for it while the status text is made.
        stmSend(stm32::addressFrame(StmAddress));
        StmState = int(State::WriteAddressAck);
        emit status(stm32::writeAddressStatus(StmAddress));
        return;
    case State::WriteAddressAck:
        if (!stm32::ackFirst(reply)) return;
        stmSendBlock();
        StmState = int(StmRemaining > 0 ? State::BlockAck : State::LastBlockAck);
        return;
    case State::LastBlockAck:
        if (!stm32::ackFirst(reply)) return;
        if (StmVerify) {
            StmTimeoutCount = 0;
            if (StmCrcVerify)
                stmAskChecksum();
            else
                stmStartVerify();
            return;
        }
        stmWritten();
        return;
    case State::VerifyReadAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::addressFrame(stm32::kFlashStart + StmBlockAt));
        StmState = int(State::VerifyAddressAck);
        return;
    case State::VerifyAddressAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::readCountFrame(StmBlockLength));
        StmState = int(State::VerifyData);
        return;
    case State::VerifyData:
        stmCheckReadBack(reply);
        return;
    case State::ChecksumAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::addressFrame(stm32::kFlashStart + quint32(StmCrcRanges[StmCrcNext].offset)));
        StmState = int(State::ChecksumAddressAck);
        return;
    case State::ChecksumAddressAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        // The size goes in the same frame shape as an address: four bytes and their XOR.
        stmSend(stm32::addressFrame(quint32(StmCrcRanges[StmCrcNext].length)));
        StmState = int(State::ChecksumReply);
        return;
    case State::ChecksumReply: {
        const auto crc = stm32::acceptChecksumReply(reply);
        if (!crc) return;
        StmTimeoutCount = 0;
        const stm32::Span range = StmCrcRanges[StmCrcNext];
        const quint32 expected =
            stm32::checksumOfWords(stm32::checksumBytes(StmImage, range));
        if (*crc != expected) {
            stmFinish(DownloadResult::Failed,
                      {stm32::reasonChecksumMismatch(stm32::kFlashStart + quint32(range.offset),
                                                     range.length, *crc, expected)},
                      stm32::kVerifyFailedText);
            return;
        }
        if (++StmCrcNext < StmCrcRanges.size()) {
            stmAskChecksum();
            return;
        }
        stmWritten();
        return;
    }
    case State::ProtectAck:
        if (!stm32::unprotectAccepted(reply)) return;
        // AN3155 §3.11: the two ACKs, then the chip restarts with the protection on.
        emit line(stm32::protectedLine(StmPart->rdp));
        stmFinish(DownloadResult::Written);
        return;
    case State::UnprotectAck:
        if (!stm32::unprotectAccepted(reply)) return;
        StmTimeoutCount = 0;
        StmState = int(State::ResetWait);
        restart_->start();
        return;
    case State::ResetWait:
        return;
    }
}

void Stm32Engine::stmSizeFromTable()
{
    if (StmPart->tableFlashKib == 0) {
        stmFinish(DownloadResult::Failed, {stm32::reasonReadRefused(StmPart->flashSizeRegister)});
        return;
    }
    StmTimeoutCount = 0;
    StmFlashKib = StmPart->tableFlashKib;
    StmFlashFromChip = false;
    emit line(stm32::flashSizeFromTableLine(StmPart->flashSizeRegister, StmFlashKib));
    emit line(stm32::flashSizeLine(StmFlashKib));
    stmReadUniqueId();
}

void Stm32Engine::stmReadUniqueId()
{
    // Read on its own only where the size read did not hold it; where a refused area read
    // held it, the id stays unknown (the same loader refuses the short read as well).
    if (StmUid.inSizeRead || StmUid.address == 0 || !uniqueId_.isEmpty()) {
        stmLoadAndErase();
        return;
    }
    StmTimeoutCount = 0;
    stmSend(stm32::commandFrame(stm32::kCmdReadMemory));
    StmState = int(stm32::State::UidReadAck);
}

void Stm32Engine::stmLoadAndErase()
{
    emit line(kLoading);
    if (!RenewedlyLoadFile()) return;
    // The image must fit the flash the chip reports; nothing has been erased yet.
    const qint64 flashBytes = qint64(StmFlashKib) * 1024;
    // HEX records for the data EEPROM (L0/L1) are written there; everything else must lie in
    // the flash the chip reports.
    const stm32::Span eeprom = StmHex ? stm32::eepromSpan(*StmPart) : stm32::Span{};
    const bool toEeprom = eeprom.length > 0 && eeprom.offset >= flashBytes;
    const qsizetype holeEnd = toEeprom ? eeprom.offset : stm32::kImageCapacity;
    const QList<stm32::Span> flashSpans = stm32::clipSpans(StmSpans, {0, flashBytes});
    const QList<stm32::Span> eepromSpans =
        toEeprom ? stm32::clipSpans(StmSpans, eeprom) : QList<stm32::Span>{};
    auto stray = stm32::firstDataPast(stm32::clipSpans(StmSpans, {flashBytes, holeEnd - flashBytes}),
                                      flashBytes);
    if (!stray && toEeprom) stray = stm32::firstDataPast(StmSpans, eeprom.end());
    if (stray) {
        QStringList reasons{stm32::reasonImageTooLarge(StmImage.size(), StmFlashKib)};
        // Data apart from the rest, past a hole after the flash's end (a HEX record for
        // another memory): its address is the better reason, said first.
        if (*stray > flashBytes)
            reasons.prepend(
                stm32::reasonDataPastFlash(stm32::kFlashStart + quint32(*stray), StmFlashKib));
        stmFinish(DownloadResult::RefusedFile, reasons);
        return;
    }
    qsizetype eepromData = 0;
    for (const stm32::Span &s : eepromSpans)
        eepromData += s.length;
    if (eepromData > 0)
        emit line(stm32::eepromLine(eepromData,
                                    stm32::kFlashStart + quint32(eepromSpans.front().offset)));
    if (StmWriteUnprotect) {
        // AN3155 §3.10: ACK, the protection of the whole flash removed, ACK, then the chip
        // restarts; the attempt begins again from the sync without asking twice.
        if (!stmRequire(stm32::kCmdWriteUnprotect)) return;
        StmWriteUnprotect = false;
        StmTimeoutCount = 0;
        emit line(stm32::writeUnprotectingLine());
        StmUnprotectCommand = stm32::kCmdWriteUnprotect;
        stmSend(stm32::commandFrame(stm32::kCmdWriteUnprotect));
        StmState = int(stm32::State::UnprotectAck);
        return;
    }
    const bool extended = !StmCommands.contains(char(stm32::kCmdErase));
    if (!stmRequire(extended ? stm32::kCmdExtendedErase : stm32::kCmdErase) ||
        !stmRequire(stm32::kCmdWriteMemory))
        return;
    // Only what the file gave is erased and written: flash below its first record (a boot
    // loader) and in the holes between its records keeps what it holds.
    // Only flash is erased: the data EEPROM takes its words as they come.
    // An image that fills the flash, or one bank of it, is erased by one command; only by the
    // size the chip reported (a part larger than the table's size would lose what lies past
    // the image).
    StmErase = stm32::erasePlan(*StmPart, extended, flashSpans, StmFlashFromChip ? flashBytes : 0);
    if (StmErase.unreachable) {
        stmFinish(DownloadResult::RefusedFile,
                  {stm32::reasonEraseUnreachable(StmErase.unitList.back())});
        return;
    }
    // A sector line whose table ends before the image does (a flash size the table does not
    // describe) cannot be erased by its geometry.
    if (!flashSpans.isEmpty() && StmErase.coveredBytes < flashSpans.back().end()) {
        stmFinish(DownloadResult::RefusedFile,
                  {stm32::reasonImageTooLarge(StmImage.size(), StmFlashKib)});
        return;
    }
    StmCrcVerify = StmVerify && StmCommands.contains(char(stm32::kCmdGetChecksum));
    StmCrcRanges = stm32::checksumRanges(StmSpans);
    StmCrcNext = 0;
    startWriting(StmSpans);
    StmBlockLength = 0;
    StmRewrites = 0;
    StmRepairAt = 0;
    StmEraseNext = 0;
    StmErasing = true;
    stmSend(stm32::commandFrame(StmErase.command));
    StmState = int(stm32::State::EraseAck);
}

void Stm32Engine::stmSendErase()
{
    // The plan holds a frame for every erase command sent; an acknowledgement with no frame
    // left (a chip answering out of turn) ends the attempt rather than reading past the plan.
    if (StmEraseNext >= StmErase.frames.size()) {
        stmFinish(DownloadResult::Failed);
        return;
    }
    const bool first = StmEraseNext == 0;
    stmSend(StmErase.frames.at(StmEraseNext++));
    StmState = int(stm32::State::BlockAck);
    if (!first) return;
    emit status(kErasing);
    if (StmRewrites > 0) return; // a repair: its line named the erase

    emit line(stm32::eraseLine(StmErase));
    emit line(kStartWriting);
}

void Stm32Engine::stmSendBlock()
{
    const auto block = stm32::dataBlockAt(StmImage, StmPending, StmOffset);
    if (!block) {
        StmRemaining = 0;
        StmBlockLength = 0;
        return;
    }
    // The count byte, the data and the checksum leave in one write: the chip takes the block
    // as it comes, and one write is one wake-up for the line instead of three.
    const auto n = qint32(block->data.size());
    QByteArray frame;
    frame.reserve(n + 2);
    frame.append(char(block->countByte)).append(block->data).append(char(block->checksum));
    ComDriver->SendData(frame.constData(), qint32(frame.size()));
    StmRemaining -= n;
    StmBlockAt = StmOffset;
    StmBlockLength = n;
    // The next block starts where this one ended, or at the next stretch of data.
    const auto next = stm32::nextDataOffset(StmPending, StmOffset + quint32(n));
    if (!next) StmRemaining = 0;
    StmOffset = quint32(next.value_or(StmOffset + quint32(n)));
    StmAddress = stm32::kFlashStart + StmOffset;
    emit progress(progressMax_ - StmRemaining, progressMax_);
}

void Stm32Engine::stmStartVerify()
{
    stmSend(stm32::commandFrame(stm32::kCmdReadMemory));
    StmState = int(stm32::State::VerifyReadAck);
    emit status(stm32::verifyAddressStatus(stm32::kFlashStart + StmBlockAt));
}

void Stm32Engine::stmWritten()
{
    if (!StmProtect) {
        stmFinish(DownloadResult::Written);
        return;
    }
    StmProtect = false;
    StmTimeoutCount = 0;
    stmSend(stm32::commandFrame(stm32::kCmdReadoutProtect));
    StmState = int(stm32::State::ProtectAck);
}

void Stm32Engine::stmAskChecksum()
{
    if (StmCrcNext >= StmCrcRanges.size()) {
        stmWritten();
        return;
    }
    stmSend(stm32::commandFrame(stm32::kCmdGetChecksum));
    StmState = int(stm32::State::ChecksumAck);
    emit status(stm32::verifyAddressStatus(stm32::kFlashStart +
                                           quint32(StmCrcRanges[StmCrcNext].offset)));
}

void Stm32Engine::stmCheckReadBack(QByteArrayView reply)
{
    const auto data = stm32::acceptReadBack(reply, StmBlockLength);
    if (!data) return;
    StmTimeoutCount = 0;
    const quint32 start = StmBlockAt;
    if (*data == QByteArrayView(StmImage).sliced(start, StmBlockLength)) {
        // A repair counts until the block that failed reads back right.
        if (start >= StmRepairAt) StmRewrites = 0;
        stmNextBlockOrFinish();
        return;
    }
    // Flash takes no second write over programmed cells (F10x refuses it, F4 only clears
    // bits), so a block that reads back wrongly is repaired by erasing its page or sector and
    // writing everything of the image inside it again, each block read back as before.
    // The data EEPROM has no erase unit to repair with: its mismatch ends the attempt.
    const bool inFlash = start < qint64(StmFlashKib) * 1024;
    const int unit = inFlash ? stm32::eraseUnitAt(*StmPart, start) : -1;
    const stm32::Span within = stm32::unitSpan(*StmPart, unit);
    const bool extended = StmErase.command == stm32::kCmdExtendedErase;
    const stm32::ErasePlan repair =
        stm32::erasePlan(*StmPart, extended, stm32::clipSpans(StmSpans, within));
    if (!inFlash || StmRewrites >= stm32::kVerifyRewrites || repair.unreachable ||
        repair.frames.isEmpty()) {
        stmFinish(DownloadResult::Failed, {stm32::reasonVerifyFailed(stm32::kFlashStart + start)},
                  stm32::kVerifyFailedText);
        return;
    }
    ++StmRewrites;
    StmRepairAt = start;
    emit line(stm32::repairLine(stm32::kFlashStart + start, repair));
    // Left to write: the unit's data, then whatever after the unit was not written yet.
    QList<stm32::Span> pending = stm32::clipSpans(StmSpans, within);
    if (StmRemaining > 0)
        pending += stm32::clipSpans(
            StmPending, {std::max<qsizetype>(within.end(), StmOffset), StmImage.size()});
    startWriting(pending);
    StmBlockLength = 0;
    StmErase = repair;
    StmEraseNext = 0;
    StmErasing = true;
    stmSend(stm32::commandFrame(StmErase.command));
    StmState = int(stm32::State::EraseAck);
}

void Stm32Engine::startWriting(const QList<stm32::Span> &spans)
{
    StmPending = spans;
    StmRemaining = 0;
    for (const stm32::Span &s : StmPending)
        StmRemaining += qint32(s.length);
    StmOffset = StmPending.isEmpty() ? 0 : quint32(StmPending.front().offset);
    StmAddress = stm32::kFlashStart + StmOffset;
}

void Stm32Engine::stmNextBlockOrFinish()
{
    StmBlockLength = 0;
    if (StmRemaining <= 0) {
        stmWritten();
        return;
    }
    stmSend(stm32::commandFrame(stm32::kCmdWriteMemory));
    StmState = int(stm32::State::WriteMemoryAck);
}

void Stm32Engine::stmFinish(DownloadResult result, const QStringList &reasons,
                            const ShownText &ending)
{
    StmState = int(stm32::State::SyncAck);
    StmErasing = false;
    StmUnprotect = false;
    OvertimeT->stop();
    restart_->stop();
    syncRetry_->stop();
    hook(false);
    running_ = false;
    progressMax_ = kProgressRange;
    emit progress(0, kProgressRange);
    for (const QString &reason : reasons)
        emit line(reason);
    switch (result) {
    case DownloadResult::Written:
        emit status(kDone);
        emit line(kDone);
        if (StmVerify)
            emit line(StmCrcVerify ? stm32::checksumVerifiedLine(int(StmCrcRanges.size()))
                                   : stm32::verifiedLine(stm32::blockCount(StmSpans)));
        // Let the board run its new firmware.
        if (!restartWhenDone_) break;
        boardentry::leave(*this, exit_, boardentry::linesOf(*ComDriver), linesNoted_);
        break;
    case DownloadResult::RefusedFile:
        // The reason is the status; nothing was erased.
        if (!reasons.isEmpty()) emit status(reasons.last());
        break;
    case DownloadResult::Failed:
    case DownloadResult::PortNotOpened:
        emit status(ending);
        emit line(ending);
        break;
    }
    emit finished(result);
}

void Stm32Engine::OvertimeTTimer()
{
    ++StmTimeoutCount;
    const bool bulk = StmErasing && StmState == int(stm32::State::BlockAck) && StmEraseNext > 0 &&
                      StmEraseNext <= StmErase.frames.size() &&
                      stm32::bulkEraseFrame(StmErase.frames.at(StmEraseNext - 1));
    if (StmTimeoutCount < (bulk ? kBulkEraseLimit : kTimeoutLimit)) return;
    // The page list is acknowledged in the block state once the chip has erased.
    const auto state = StmErasing ? stm32::State::EraseAck : stm32::State(StmState);
    QStringList reasons{stm32::noAnswerLine(state)};
    if (state == stm32::State::SyncAck)
        if (const QString fast = stm32::reasonNoSyncAtRate(ComDriver->ComPortRate());
            !fast.isEmpty())
            reasons << fast;
    stmFinish(DownloadResult::Failed, reasons);
}

bool Stm32Engine::RenewedlyLoadFile()
{
    stm32::LoadResult r = stm32::loadImage(
        file_, stm32::hexSizeLimit(StmPart ? *StmPart : devices::stm32DefaultPart()),
        binaryAddress_);
    if (!r.ok()) {
        // Every refusal ends the attempt at once with its reason, before anything is erased:
        // waiting for the time-out would only replace the reason with "连机失败 ！".
        stmFinish(DownloadResult::RefusedFile, {r.statusText});
        return false;
    }
    if (!r.warning.isEmpty()) emit line(r.warning);
    StmImage = std::move(r.image);
    StmHex = r.hex;
    const int writeUnit = StmPart ? StmPart->writeUnit : 0;
    stm32::padToWriteUnit(StmImage, writeUnit);
    StmSpans = stm32::alignSpans(r.spans, writeUnit, StmImage.size());
    // The bytes that are written: all of a binary file, what the records of a HEX file give.
    qsizetype bytes = 0;
    for (const stm32::Span &s : StmSpans)
        bytes += s.length;
    progressMax_ = int(bytes);
    emit progress(0, progressMax_);
    emit line(stm32::sizeLine(bytes));
    emit status(r.statusText);
    return true;
}
