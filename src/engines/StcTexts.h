// What the STC programmers (the STC89 one and the STC12/STC15/STC8 one) share, each defined
// here once: the message lines of the stages both show with the same words, and how they use
// their port.
#pragma once

#include "logic/FirmwareFile.h"
#include "logic/ShownText.h"
#include "logic/StcProtocols.h"
#include "serial/SPComm.h"

#include <exception>

namespace stctexts {

inline const ShownText kNoFile{"stc", QT_TRANSLATE_NOOP("stc", "上载文件不存在 ！")};
inline const ShownText kTargetCode{"stc", QT_TRANSLATE_NOOP("stc", "下载目标代码")};
inline const ShownText kConnecting{"stc", QT_TRANSLATE_NOOP("stc", "正在连机 。。。")};
inline const ShownText kConnectTimeout{"stc", QT_TRANSLATE_NOOP("stc", "连接超时 ！")};
inline const ShownText kConnected{"stc", QT_TRANSLATE_NOOP("stc", "连机成功! 固件版本:%1")};
inline const ShownText kUnsupportedMcuBox{
    "stc",
    QT_TRANSLATE_NOOP("stc", "当前版本支持 MCU: 12C1052/89C51RC/89C52RC/89C55RD+/89C516RD+ ！")};
inline const ShownText kUnsupportedMcu{"stc", QT_TRANSLATE_NOOP("stc", "未支持的 MCU ！")};
inline const ShownText kUnsupportedOscillatorBox{
    "stc", QT_TRANSLATE_NOOP(
               "stc", "当前版本支持 Oscillator: 11.0592/12.00/18.432/22.1184/24.00/36.864 ！")};
inline const ShownText kUnsupportedOscillator{"stc", QT_TRANSLATE_NOOP("stc", "未支持的 Oscillator ！")};
inline const ShownText kStep1Timeout{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率一超时 ！")};
inline const ShownText kStep1Done{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率一完成 ！")};
inline const ShownText kStep2Start{"stc", QT_TRANSLATE_NOOP("stc", "第二次调整波特率 。。。")};
inline const ShownText kStep2Timeout{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率二超时 ！")};
inline const ShownText kStep2Done{"stc", QT_TRANSLATE_NOOP("stc", "调整波特率二完成 ！")};
inline const ShownText kControlStart{"stc", QT_TRANSLATE_NOOP("stc", "正在发送控制信息 。。。")};
inline const ShownText kControlTimeout{"stc", QT_TRANSLATE_NOOP("stc", "写控制信息超时 ！")};
inline const ShownText kControlDone{"stc", QT_TRANSLATE_NOOP("stc", "发送控制信息完成 ！")};
inline const ShownText kEraseStart{"stc", QT_TRANSLATE_NOOP("stc", "正在擦除芯片 。。。")};
inline const ShownText kEraseTimeout{"stc", QT_TRANSLATE_NOOP("stc", "擦除芯片超时 ！")};
inline const ShownText kEraseDone{"stc", QT_TRANSLATE_NOOP("stc", "擦除芯片完成 ！")};
inline const ShownText kUploadStart{"stc", QT_TRANSLATE_NOOP("stc", "正在上载数据 。。。")};
inline const ShownText kUploadTimeout{"stc", QT_TRANSLATE_NOOP("stc", "上载数据超时 ！")};
inline const ShownText kDoubleSpeed{"stc", QT_TRANSLATE_NOOP("stc", "设置为双倍速 ！")};
inline const ShownText kSingleSpeed{"stc", QT_TRANSLATE_NOOP("stc", "设置为单倍速 ！")};
inline const ShownText kOptionTimeout{"stc", QT_TRANSLATE_NOOP("stc", "设置选项超时 ！")};
inline const ShownText kDoubleSpeedDone{"stc", QT_TRANSLATE_NOOP("stc", "设置为双倍速完成 ！")};
inline const ShownText kSingleSpeedDone{"stc", QT_TRANSLATE_NOOP("stc", "设置为单倍速完成 ！")};
inline const ShownText kEndFlag{"stc", QT_TRANSLATE_NOOP("stc", "发送结束标志 ！")};
inline const ShownText kUploadDone{"stc", QT_TRANSLATE_NOOP("stc", "上载数据成功 ！")};
// Ends that the boot-loader dialogue itself never reports.
inline const ShownText kBadResetTime{"stc", QT_TRANSLATE_NOOP("stc", "复位时间无效 ！")};
// Final line of a download refused or failed after a reason line.
inline const ShownText kUploadFailed{"stc", QT_TRANSLATE_NOOP("stc", "上载数据失败 ！")};

// Lines of the STC12/STC15/STC8 programmer alone.
inline const ShownText kClockShown{"stc", QT_TRANSLATE_NOOP("stc", "%1/时钟频率: %2M")};
inline const ShownText kCalibrating{"stc", QT_TRANSLATE_NOOP("stc", "正在校准时钟 。。。")};
inline const ShownText kCalibrated{"stc", QT_TRANSLATE_NOOP("stc", "校准时钟完成: %1M ！")};
inline const ShownText kCalibrationTimeout{"stc", QT_TRANSLATE_NOOP("stc", "校准时钟超时 ！")};
inline const ShownText kOptionStart{"stc", QT_TRANSLATE_NOOP("stc", "正在设置选项 。。。")};
inline const ShownText kOptionDone{"stc", QT_TRANSLATE_NOOP("stc", "设置选项完成 ！")};
inline const ShownText kBadAnswer{"stc", QT_TRANSLATE_NOOP("stc", "芯片应答错误: %1")};
inline const ShownText kNeedsClock{
    "stc", QT_TRANSLATE_NOOP("stc", "芯片的 RC 时钟从未校准，请选择时钟频率 ！")};
inline const ShownText kClockUnreachable{
    "stc", QT_TRANSLATE_NOOP("stc", "无法把 RC 时钟校准到 %1M ！")};
inline const ShownText kRateUnreachable{
    "stc", QT_TRANSLATE_NOOP("stc", "芯片时钟无法产生波特率 %1 ！")};
inline const ShownText kImageTooLarge{"stc", QT_TRANSLATE_NOOP("stc", "文件太大，不能超过 %1 KB ！")};
inline const ShownText kLocked{"stc", QT_TRANSLATE_NOOP("stc", "芯片拒绝下载 (已加锁) ！")};

// ---- How both STC programmers use their port -------------------------------------------------

// Every byte is handed on the moment it is in; a frame is complete when its end byte has come
// and, for a frame from the chip, its own length is satisfied.
inline constexpr quint32 kReadAtOnce = 0xFFFFFFFF;
inline constexpr quint16 kXonXoffLimit = 500;
// The port settles after opening before the reset pulse drives its RTS line.
inline constexpr unsigned long kSettleMs = 100;
// The reset time field holds at most three digits.
inline constexpr int kMaxResetMs = 999;
// Connection time-out in seconds when the time-out field is not a number.
inline constexpr int kDefaultConnectSeconds = 3;
// Longest wait for queued bytes to leave the port before a rate change or the port's end: a
// full data frame takes 1.2 s at 1200 baud.
inline constexpr int kFrameLeaveMs = 2000;
// Added to the bytes' own time on the wire, for what the kernel has already handed on (a USB
// adapter's own FIFO, a pseudo-terminal's flip buffer).
inline constexpr qint64 kHandOnMarginMs = 20;

// Why the port component did not open: the serial layer's detail where it gives one (the
// component's own message is generic).
inline QString portOpenReason(const std::exception &e)
{
    const auto *comms = dynamic_cast<const ECommsError *>(&e);
    return comms && !comms->detail().isEmpty() ? comms->detail()
                                                : QString::fromLocal8Bit(e.what());
}

// Why an image could not be loaded (limit: the image's largest size in bytes); "" when it was.
inline QString imageRefusal(const stc::ImageLoad &load, qsizetype limit)
{
    switch (load.status) {
    case stc::ImageLoad::Loaded: return {};
    case stc::ImageLoad::Missing: return kNoFile;
    case stc::ImageLoad::Unreadable: return firmwarefile::unreadableText();
    case stc::ImageLoad::Damaged: return load.damage;
    case stc::ImageLoad::TooLarge:
        return load.damage.isEmpty() ? kImageTooLarge.text().arg(limit / 1024) : load.damage;
    case stc::ImageLoad::Empty: break;
    }
    return stc::noImageMessage();
}

} // namespace stctexts
