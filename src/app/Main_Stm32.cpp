// The STM32F10x programmer: an eleven-state machine over the shared polling driver, driven
// by Timer5 (3 ms, evaluates what the driver gathered) and OvertimeT (1 s, time-out count),
// and the loading of the firmware file into StmImage.
#include "app/Main.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <cstring>

namespace {
constexpr int kResetPulseMs = 500;
constexpr int kRestartPulseMs = 5;
// The sync ACK must come before the first OvertimeT tick; every later step gets seven ticks.
constexpr quint8 kTimeoutStartCount = 6;
constexpr quint8 kTimeoutLimit = 7;
constexpr int kProgressRange = 100;

const QString kSearching = QStringLiteral("正在查找设备。。。");
const QString kConnected = QStringLiteral("已成功连接");
const QString kNoContact = QStringLiteral("无法和设备通讯，请重新复位");
const QString kLoading = QStringLiteral("加载文件。。。");
const QString kErasing = QStringLiteral("正在擦除。。。");
const QString kStartWriting = QStringLiteral("开始写入。。。");
const QString kDone = QStringLiteral("上载完成！");
const QString kFailed = QStringLiteral("连机失败 ！");
} // namespace

void TMainForm::STM32UP()
{
    if (!ComPort_Open()) {
        DownloadEnded(DownloadResult::PortNotOpened);
        return;
    }
    BitBtn1->setEnabled(false);
    if (CheckBox2->isChecked()) {
        ComDriver->SetDTR(true);
        ComDriver->SetRTS(true);
        QThread::msleep(kResetPulseMs);
        ComDriver->SetDTR(false);
        QThread::msleep(kResetPulseMs);
    }
    StmState = int(stm32::State::SyncAck);
    StmFrame[0] = stm32::kSync;
    ComDriver->SendData(StmFrame.data(), 1);
    ComDriver->BufferedCount = 0;
    SetStatus(kSearching);
    SetMessages(kSearching);
    StmTimeoutCount = kTimeoutStartCount;
    OvertimeT->start();
    Timer5->start();
}

void TMainForm::stmSend(QByteArrayView bytes)
{
    // Every command is built in StmFrame and sent from there.
    const auto n = std::min<qsizetype>(bytes.size(), qsizetype(StmFrame.size()));
    std::memcpy(StmFrame.data(), bytes.data(), size_t(n));
    ComDriver->SendData(StmFrame.data(), qint32(n));
}

void TMainForm::Timer5Timer()
{
    using stm32::State;
    const auto state = State(StmState);
    const qsizetype gathered = ComDriver->BufferedCount;
    if (gathered < stm32::replyLength(state)) return;

    // All gathered bytes are consumed here, accepted or not. The copy into StmFrame stops at
    // its end; the tests look at the whole gathered reply.
    const QByteArray reply(reinterpret_cast<const char *>(ComDriver->ReceiveBuffer), gathered);
    std::memcpy(StmFrame.data(), reply.constData(),
                size_t(std::min<qsizetype>(gathered, qsizetype(StmFrame.size()))));
    ComDriver->BufferedCount = 0;

    switch (state) {
    case State::SyncAck:
        if (!stm32::syncAccepted(reply)) {
            SetStatus(kNoContact);
            return;
        }
        StmTimeoutCount = 0;
        SetStatus(kConnected);
        AppendLine(kConnected);
        stmSend(stm32::commandFrame(stm32::kCmdGet));
        StmState = int(State::GetReply);
        return;
    case State::GetReply: {
        const auto version = stm32::acceptGetReply(reply);
        if (!version) return;
        StmTimeoutCount = 0;
        SetStatus(stm32::versionLine(*version));
        AppendLine(stm32::versionLine(*version));
        stmSend(stm32::commandFrame(stm32::kCmdGetId));
        StmState = int(State::GetIdReply);
        return;
    }
    case State::GetIdReply: {
        const auto id = stm32::acceptGetIdReply(reply);
        if (!id) return;
        StmTimeoutCount = 0;
        AppendLine(stm32::productIdLine(*id));
        AppendLine(stm32::familyLine(*id));
        stmSend(stm32::commandFrame(stm32::kCmdReadMemory));
        StmState = int(State::ReadMemoryAck);
        return;
    }
    case State::ReadMemoryAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::addressFrame(stm32::kFlashSizeRegister));
        StmState = int(State::ReadAddressAck);
        return;
    case State::ReadAddressAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::readCountFrame(stm32::kFlashSizeRegisterBytes));
        StmState = int(State::ReadData);
        return;
    case State::ReadData: {
        const auto kib = stm32::acceptFlashSizeReply(reply);
        if (!kib) return;
        StmTimeoutCount = 0;
        AppendLine(stm32::flashSizeLine(*kib));
        stmSend(stm32::commandFrame(stm32::kCmdErase));
        StmState = int(State::EraseAck);
        return;
    }
    case State::EraseAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmLoadAndErase();
        return;
    case State::BlockAck:
        if (!stm32::ackFirst(reply)) return;
        StmTimeoutCount = 0;
        stmSend(stm32::commandFrame(stm32::kCmdWriteMemory));
        StmState = int(State::WriteMemoryAck);
        return;
    case State::WriteMemoryAck:
        if (!stm32::ackFirst(reply)) return;
        SetStatus(stm32::writeAddressStatus(StmAddress));
        stmSend(stm32::addressFrame(StmAddress));
        StmState = int(State::WriteAddressAck);
        return;
    case State::WriteAddressAck:
        if (!stm32::ackFirst(reply)) return;
        stmSendBlock();
        StmState = int(StmRemaining > 0 ? State::BlockAck : State::LastBlockAck);
        return;
    case State::LastBlockAck:
        if (!stm32::ackFirst(reply)) return;
        stmSucceeded();
        return;
    }
}

void TMainForm::stmLoadAndErase()
{
    Timer5->stop();
    AppendLine(kLoading);
    if (!RenewedlyLoadFile()) return;
    StmAddress = stm32::kFlashStart;
    StmOffset = 0;
    StmRemaining = qint32(StmImage.size());
    const stm32::EraseList erase = stm32::erasePageList(StmImage.size());
    stmSend(erase.frame);
    SetStatus(kErasing);
    AppendLine(stm32::eraseLine(erase.pageCount));
    AppendLine(kStartWriting);
    StmState = int(stm32::State::BlockAck);
    Timer5->start();
}

void TMainForm::stmSendBlock()
{
    const auto block = stm32::blockAt(StmImage, StmOffset);
    if (!block) {
        StmRemaining = 0;
        return;
    }
    // Three writes: the count byte, the data, the checksum.
    const auto n = qint32(block->data.size());
    StmFrame[0] = block->countByte;
    ComDriver->SendData(StmFrame.data(), 1);
    ComDriver->SendData(block->data.constData(), n);
    StmFrame[0] = block->checksum;
    ComDriver->SendData(StmFrame.data(), 1);
    StmRemaining -= n;
    StmAddress += quint32(n);
    StmOffset += quint32(n);
    ProgressBar1->setValue(int(StmOffset));
}

void TMainForm::stmEnd()
{
    StmState = int(stm32::State::SyncAck);
    ProgressBar1->setValue(0);
    ProgressBar1->setMaximum(kProgressRange);
    OvertimeT->stop();
    Timer5->stop();
}

void TMainForm::stmSucceeded()
{
    stmEnd();
    SetStatus(kDone);
    AppendLine(kDone);
    // Let the board run its new firmware.
    ComDriver->SetDTR(true);
    QThread::msleep(kRestartPulseMs);
    ComDriver->SetRTS(false);
    ComPort_Close();
    BitBtn1->setEnabled(true);
    ComboBox1->setEnabled(true);
    ComboBox2->setEnabled(true);
    if (CheckBox1->isChecked()) {
        SetStayOnTop(false);
        MinimiseApplication();
    }
    DownloadEnded(DownloadResult::Written);
}

void TMainForm::OvertimeTTimer()
{
    ++StmTimeoutCount;
    if (StmTimeoutCount < kTimeoutLimit) return;
    stmEnd();
    SetStatus(kFailed);
    AppendLine(kFailed);
    ComPort_Close();
    BitBtn1->setEnabled(true);
    ComboBox1->setEnabled(true);
    ComboBox2->setEnabled(true);
    DownloadEnded(DownloadResult::Failed);
}

bool TMainForm::RenewedlyLoadFile()
{
    stm32::LoadResult r = stm32::loadImage(Edit2->text());
    if (!r.ok()) {
        // Every refusal ends the attempt at once with its reason, before anything is erased:
        // waiting for the time-out would only replace the reason with "连机失败 ！".
        stmEnd();
        ComPort_Close();
        SetStatus(r.statusText);
        AppendLine(r.statusText);
        BitBtn1->setEnabled(true);
        ComboBox1->setEnabled(true);
        ComboBox2->setEnabled(true);
        DownloadEnded(DownloadResult::RefusedFile);
        return false;
    }
    StmImage = std::move(r.image);
    ProgressBar1->setMaximum(int(StmImage.size()));
    AppendLine(stm32::sizeLine(StmImage.size()));
    SetStatus(r.statusText);
    return true;
}
