#include "sim/StcSim.h"

#include <algorithm>

namespace sim {

namespace {

constexpr quint8 kCmdBaudStep1 = 0x8F;
constexpr quint8 kCmdBaudStep2 = 0x8E;
constexpr quint8 kCmdControl = 0x80;
constexpr quint8 kCmdErase = 0x84;
constexpr quint8 kCmdData = 0x00;
constexpr quint8 kCmdOption = 0x8D;
constexpr quint8 kCmdOptionFollowUp = 0x50;
constexpr quint8 kCmdEnd = 0x82;
constexpr quint8 kErased = 0xFF;

// Payload sizes of the frames the host sends (the STC12 has longer control and erase frames).
constexpr qsizetype kBaudStep1Payload = 6;
constexpr qsizetype kBaudStep2Payload = 5;
constexpr qsizetype kControlPayload = 4;
constexpr qsizetype kControlPayloadStc12 = 6;
constexpr qsizetype kErasePayload = 7;
constexpr qsizetype kErasePayloadStc12 = 133;
constexpr qsizetype kOptionPayload = 4;

// Start (2), direction, length (2), command, checksum, end.
constexpr qsizetype kFrameOverhead = 8;
constexpr qsizetype kLengthOffset = 3;
constexpr qsizetype kCommandOffset = 5;
constexpr qsizetype kPayloadOffset = 6;
constexpr qsizetype kChecksumFrom = 2;
// The longest frame a host sends is the 141-byte erase frame of the STC12; anything longer
// than this is a corrupted length field.
constexpr qsizetype kMaxFrame = 512;

// Status frame of the recorded session (status packet table): 68, length 00 3B, payload,
// checksum, 16, without the 46 B9 start.
constexpr qsizetype kStatusPayload = 54;
constexpr qsizetype kStatusCounts = 8;
constexpr qsizetype kStatusCountsAt = 1; // payload offsets
constexpr qsizetype kStatusVersionAt = 17;
constexpr qsizetype kStatusOptionAt = 19;
constexpr qsizetype kStatusModelAt = 20;
constexpr qsizetype kCodeSize = 3;
// The seventh of the recorded counts is 4 less than the others (25 E2 among 25 E6).
constexpr qsizetype kLowCount = 6;
constexpr int kLowCountBy = 4;
// The answer to the option follow-up 50: 10 C0 16 F6 FF F1 03 FF, then version, stepping and
// option byte (recorded session, row 15).
constexpr quint8 kFollowUpAnswerHead[] = {0x10, 0xC0, 0x16, 0xF6, 0xFF, 0xF1, 0x03, 0xFF};

// Data frame payload: 00 00, address (2), 00 80, 128 bytes.
constexpr qsizetype kDataAddressOffset = 2;
constexpr qsizetype kDataLengthOffset = 4;
constexpr qsizetype kDataBytesOffset = 6;
constexpr qsizetype kDataPayload = kDataBytesOffset + StcSim::kBlockSize;

quint8 checksum(QByteArrayView frame, qsizetype end)
{
    quint32 sum = 0;
    for (qsizetype i = kChecksumFrom; i < end; ++i)
        sum += quint8(frame[i]);
    return quint8(sum & 0xFF);
}

QString hex(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex(' ').toUpper());
}

} // namespace

StcSim::StcSim() : StcSim(Config{}) {}

StcSim::StcSim(Config config)
    : config_(std::move(config)), status_(buildStatusFrame(config_)),
      flash_(config_.flashSize > 0 ? config_.flashSize : modelFlash(config_.modelCode),
             char(config_.oldContents))
{
}

qsizetype StcSim::modelFlash(const QByteArray &modelCode)
{
    constexpr qsizetype kKiB = 1024;
    static const std::pair<QByteArray, qsizetype> kModels[] = {
        {QByteArray::fromHex("F00182"), 4 * kKiB},  {QByteArray::fromHex("F00282"), 8 * kKiB},
        {QByteArray::fromHex("F10582"), 20 * kKiB}, {QByteArray::fromHex("F11082"), 62 * kKiB},
        {QByteArray::fromHex("F20183"), 1 * kKiB},
    };
    for (const auto &[code, size] : kModels)
        if (modelCode == code) return size;
    return 64 * kKiB;
}

void StcSim::answerWrongSum(int occurrence)
{
    auto guard = lock();
    wrongSumAt_ = occurrence;
}

quint16 StcSim::handshakeCount(qint64 crystalHz, quint8 optionByte, qint32 rate)
{
    // A count is 7/T of the crystal's cycles during one bit, T = 12 in 12T mode and 6 in 6T
    // mode (option byte bit 0 clear), stcgal's clock rule: the recorded counts 25 E6 at 2400
    // baud, option byte FC, give the 19.96 MHz for which the recorded host chose its baud-rate
    // word FD F8 (8F frame, row 2 of the recorded session).
    const qint64 cyclesPerCount = (optionByte & 0x01) ? 12 : 6;
    if (rate <= 0) return 0;
    const qint64 count = (crystalHz * 7 + cyclesPerCount * rate / 2) / (cyclesPerCount * rate);
    return quint16(std::clamp<qint64>(count, kLowCountBy, 0xFFFF));
}

QByteArray StcSim::buildStatusFrame(const Config &config)
{
    QByteArray payload(kStatusPayload, '\0');
    payload[0] = char(kStatusType);
    const quint16 count =
        handshakeCount(config.crystalHz, config.optionByte, config.handshakeRate);
    for (qsizetype i = 0; i < kStatusCounts; ++i) {
        const quint16 c = i == kLowCount ? quint16(count - kLowCountBy) : count;
        payload[kStatusCountsAt + 2 * i] = char(c >> 8);
        payload[kStatusCountsAt + 2 * i + 1] = char(c & 0xFF);
    }
    payload[kStatusVersionAt] = char(config.versionByte);
    payload[kStatusVersionAt + 1] = char(config.versionLetter);
    payload[kStatusOptionAt] = char(config.optionByte);
    payload.replace(kStatusModelAt, std::min(kCodeSize, config.modelCode.size()),
                    config.modelCode.left(kCodeSize));
    // The frame of an answer without its first two bytes 46 B9.
    return reply(payload).mid(2);
}

namespace {

// start, direction, length (from the direction byte to the end), command, payload, checksum
// of everything before it, end.
QByteArray frameOf(quint8 direction, quint8 command, QByteArrayView payload)
{
    const qsizetype total = payload.size() + kFrameOverhead;
    QByteArray frame;
    frame.reserve(total);
    frame.append(char(StcSim::kStart1));
    frame.append(char(StcSim::kStart2));
    frame.append(char(direction));
    frame.append(char((total - 2) >> 8));
    frame.append(char((total - 2) & 0xFF));
    frame.append(char(command));
    frame.append(payload);
    frame.append(char(checksum(frame, frame.size())));
    frame.append(char(StcSim::kEnd));
    return frame;
}

} // namespace

QByteArray StcSim::hostFrame(quint8 command, QByteArrayView payload)
{
    return frameOf(kHostToChip, command, payload);
}

QByteArray StcSim::reply(QByteArrayView payload)
{
    return frameOf(kChipToHost, quint8(payload.front()), payload.sliced(1));
}

QByteArray StcSim::statusFrame() const
{
    auto guard = lock();
    return status_;
}

void StcSim::setStatusFrame(QByteArray frame)
{
    auto guard = lock();
    status_ = std::move(frame);
    statusReplaced_ = true;
}

QList<StcSim::Frame> StcSim::frames() const
{
    auto guard = lock();
    return frames_;
}

QList<quint8> StcSim::commands() const
{
    auto guard = lock();
    QList<quint8> out;
    for (const Frame &f : frames_)
        out.append(f.command);
    return out;
}

bool StcSim::endFlagSeen() const
{
    auto guard = lock();
    return endFlagSeen_;
}

QList<quint16> StcSim::dataAddresses() const
{
    auto guard = lock();
    return dataAddresses_;
}

QByteArray StcSim::flash() const
{
    auto guard = lock();
    return flash_;
}

QByteArray StcSim::flash(qsizetype address, qsizetype length) const
{
    auto guard = lock();
    if (address < 0 || length < 0) return {};
    return flash_.mid(address, length);
}

void StcSim::resetState()
{
    state_ = State::AwaitHandshake;
    handshakeRun_ = 0;
    endFlagRun_ = 0;
    frameAfterEndFlag_ = false;
    dataFrames_ = 0;
    frame_.clear();
    frameTotal_ = 0;
}

QByteArray StcSim::process(QByteArrayView bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        if (silenced()) break;
        out += takeByte(quint8(c));
    }
    return out;
}

QByteArray StcSim::takeByte(quint8 b)
{
    switch (state_) {
    case State::AwaitHandshake:
        if (b != kHandshake) {
            protocolError(QStringLiteral("byte %1 instead of the handshake 7F").arg(hex({&b, 1})));
            handshakeRun_ = 0;
            return {};
        }
        if (++handshakeRun_ < config_.handshakeBytes) return {};
        handshakeRun_ = 0;
        if (auto f = faultAt(int(Step::Handshake))) return faultAnswer(*f, {});
        state_ = State::Hunt;
        return status_;
    case State::Hunt:
        if (b == kStart1) {
            frameAfterEndFlag_ = endFlagRun_ == kEndFlagCount;
            endFlagRun_ = 0;
            frame_ = QByteArray(1, char(b));
            frameTotal_ = 0;
            state_ = State::Frame;
        } else if (b == kEndFlagByte) {
            ++endFlagRun_;
        } else if (b == kHandshake) {
            // Handshake bytes the host sent before it saw the status frame.
            endFlagRun_ = 0;
        } else {
            protocolError(QStringLiteral("stray byte %1 between frames").arg(hex({&b, 1})));
            endFlagRun_ = 0;
        }
        return {};
    case State::Frame:
        frame_.append(char(b));
        if (frame_.size() == 2 && b != kStart2) {
            protocolError(QStringLiteral("frame start 46 followed by %1").arg(hex({&b, 1})));
            state_ = State::Hunt;
            return takeByte(b);
        }
        if (frame_.size() == 3 && b != kHostToChip) {
            protocolError(QStringLiteral("frame direction %1 instead of 6A").arg(hex({&b, 1})));
            state_ = State::Hunt;
            return {};
        }
        if (frame_.size() == kLengthOffset + 2) {
            frameTotal_ = ((qsizetype(quint8(frame_[kLengthOffset])) << 8) |
                           quint8(frame_[kLengthOffset + 1])) +
                          2;
            if (frameTotal_ < kFrameOverhead || frameTotal_ > kMaxFrame) {
                protocolError(QStringLiteral("frame length field %1")
                                  .arg(hex(QByteArrayView(frame_).sliced(kLengthOffset, 2))));
                state_ = State::Hunt;
                return {};
            }
        }
        if (frameTotal_ > 0 && frame_.size() == frameTotal_) {
            state_ = State::Hunt;
            return finishFrame();
        }
        return {};
    case State::Running:
        return {};
    }
    return {};
}

QByteArray StcSim::finishFrame()
{
    const qsizetype total = frame_.size();
    const quint8 command = quint8(frame_[kCommandOffset]);
    if (quint8(frame_[total - 1]) != kEnd) {
        protocolError(QStringLiteral("frame %1: end byte %2 instead of 16")
                          .arg(hex({&command, 1}), hex(QByteArrayView(frame_).last(1))));
        return {};
    }
    const quint8 expected = checksum(frame_, total - 2);
    if (quint8(frame_[total - 2]) != expected) {
        protocolError(QStringLiteral("frame %1: checksum %2, expected %3")
                          .arg(hex({&command, 1}), hex(QByteArrayView(frame_).sliced(total - 2, 1)),
                               hex({&expected, 1})));
        return {};
    }
    return carryOut(command, frame_.mid(kPayloadOffset, total - kFrameOverhead));
}

QByteArray StcSim::carryOut(quint8 command, const QByteArray &payload)
{
    auto wrongSize = [&]() {
        protocolError(QStringLiteral("frame %1 with %2 payload bytes")
                          .arg(hex({&command, 1}))
                          .arg(payload.size()));
        return QByteArray();
    };
    Step step = Step::OtherCommand;
    switch (command) {
    case kCmdBaudStep1:
        if (payload.size() != kBaudStep1Payload) return wrongSize();
        step = Step::BaudStep1;
        break;
    case kCmdBaudStep2:
        if (payload.size() != kBaudStep2Payload) return wrongSize();
        step = Step::BaudStep2;
        break;
    case kCmdControl:
        if (payload.size() != kControlPayload && payload.size() != kControlPayloadStc12)
            return wrongSize();
        step = Step::Control;
        break;
    case kCmdErase:
        if (payload.size() != kErasePayload && payload.size() != kErasePayloadStc12)
            return wrongSize();
        step = Step::Erase;
        break;
    case kCmdData: {
        if (payload.size() != kDataPayload) return wrongSize();
        const quint16 address = quint16((quint8(payload[kDataAddressOffset]) << 8) |
                                        quint8(payload[kDataAddressOffset + 1]));
        const quint16 length = quint16((quint8(payload[kDataLengthOffset]) << 8) |
                                       quint8(payload[kDataLengthOffset + 1]));
        if (payload[0] != 0 || payload[1] != 0 || length != kBlockSize) {
            protocolError(QStringLiteral("data frame header %1")
                              .arg(hex(QByteArrayView(payload).first(kDataBytesOffset))));
            return {};
        }
        if (qsizetype(address) + kBlockSize > flash_.size()) {
            protocolError(
                QStringLiteral("data frame for address %1 beyond the flash").arg(address));
            return {};
        }
        step = Step::Data;
        break;
    }
    case kCmdOption:
        if (payload.size() != kOptionPayload) return wrongSize();
        step = Step::Option;
        break;
    case kCmdOptionFollowUp:
        if (!payload.isEmpty()) return wrongSize();
        step = Step::OptionFollowUp;
        break;
    case kCmdEnd:
        // The recorded chip answered an 82 that came without FE bytes before it.
        if (!payload.isEmpty()) return wrongSize();
        step = Step::EndFlag;
        break;
    default:
        protocolError(QStringLiteral("unknown command %1").arg(hex({&command, 1})));
        return {};
    }

    frames_.append({command, payload});
    if (auto f = faultAt(int(step))) return faultAnswer(*f, {});

    // Answers of the recorded session (real-chips/stc89c52rc.md, "The session, frame by
    // frame"; the row numbers are that table's).
    const char done = char(kAnswerDone);
    switch (command) {
    case kCmdErase:
        // Row 9: the erase is answered 80, not 84.
        flash_.fill(char(kErased));
        return reply(QByteArrayView(&done, 1));
    case kCmdData: {
        // Rows 10-13: 80 and the low byte of the sum of the 128 data bytes as received.
        const quint16 address = quint16((quint8(payload[kDataAddressOffset]) << 8) |
                                        quint8(payload[kDataAddressOffset + 1]));
        quint8 sum = 0;
        for (qsizetype i = 0; i < kBlockSize; ++i) {
            const qsizetype at = qsizetype(address) + i;
            const quint8 b = quint8(payload[kDataBytesOffset + i]);
            flash_[at] = char(quint8(flash_[at]) & b);
            sum = quint8(sum + b);
        }
        dataAddresses_.append(address);
        if (++dataFrames_ == wrongSumAt_) sum = quint8(sum + 1);
        const char answer[] = {done, char(sum)};
        return reply(QByteArrayView(answer, 2));
    }
    case kCmdEnd:
        // Row 16: 80; the chip then leaves its boot loader.
        endFlagSeen_ = frameAfterEndFlag_;
        state_ = State::Running;
        return reply(QByteArrayView(&done, 1));
    case kCmdBaudStep1:
    case kCmdBaudStep2:
        // Rows 2 and 3: the payload repeated, sent at the new rate.
        delayAnswer(config_.baudSwitchDelay);
        return reply(QByteArray(1, char(command)) + payload);
    case kCmdOption:
        // Row 14: the payload repeated. The option byte is its first byte: the answer to 50
        // right after it ends with that byte (row 15); it stays for the next status frame.
        config_.optionByte = quint8(payload[0]);
        if (!statusReplaced_) status_ = buildStatusFrame(config_);
        return reply(QByteArray(1, char(command)) + payload);
    case kCmdOptionFollowUp: {
        // Row 15: answer code 10, a 16 inside the payload, version, stepping, option byte.
        QByteArray answer(reinterpret_cast<const char *>(kFollowUpAnswerHead),
                          sizeof kFollowUpAnswerHead);
        answer.append(char(config_.versionByte));
        answer.append(char(config_.versionLetter));
        answer.append(char(config_.optionByte));
        return reply(answer);
    }
    default:
        // Rows 4-8: the control frames are answered 80.
        return reply(QByteArrayView(&done, 1));
    }
}

} // namespace sim
