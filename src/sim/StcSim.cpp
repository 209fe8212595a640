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

constexpr int kMinStatusLength = 20;
constexpr int kMaxStatusLength = 256;
constexpr int kLongStatus = 29; // from this length on the version sits at bytes 20 and 21
constexpr qsizetype kLongVersionOffset = 20;
constexpr qsizetype kShortVersionFromEnd = 8;
constexpr qsizetype kModelOffset = 6;
constexpr qsizetype kCodeSize = 3;
constexpr qsizetype kOscillatorOffset = kModelOffset + kCodeSize;

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

QByteArray StcSim::buildStatusFrame(const Config &config)
{
    const int total = std::clamp(config.statusLength, kMinStatusLength, kMaxStatusLength);
    QByteArray frame(total, '\0');
    frame[0] = char(kStart1);
    frame[1] = char(kStart2);
    frame[2] = char(kChipToHost);
    frame[kLengthOffset] = char((total - 2) >> 8);
    frame[kLengthOffset + 1] = char((total - 2) & 0xFF);
    frame[kCommandOffset] = char(kStatusCommand);
    frame.replace(kModelOffset, std::min(kCodeSize, config.modelCode.size()),
                  config.modelCode.left(kCodeSize));
    frame.replace(kOscillatorOffset, std::min(kCodeSize, config.oscillatorCode.size()),
                  config.oscillatorCode.left(kCodeSize));
    const qsizetype version =
        total >= kLongStatus ? kLongVersionOffset : total - kShortVersionFromEnd;
    frame[version] = char(config.versionByte);
    frame[version + 1] = char(config.versionLetter);
    frame[total - 2] = char(checksum(frame, total - 2));
    frame[total - 1] = char(kEnd);
    return frame;
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

QByteArray StcSim::statusFrame() const
{
    auto guard = lock();
    return status_;
}

void StcSim::setStatusFrame(QByteArray frame)
{
    auto guard = lock();
    status_ = std::move(frame);
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
        if (!payload.isEmpty()) return wrongSize();
        if (!frameAfterEndFlag_) {
            protocolError(QStringLiteral("end frame 82 without FE FE FE FE right before it"));
            return {};
        }
        step = Step::EndFlag;
        break;
    default:
        protocolError(QStringLiteral("unknown command %1").arg(hex({&command, 1})));
        return {};
    }

    frames_.append({command, payload});
    if (auto f = faultAt(int(step))) return faultAnswer(*f, {});

    switch (command) {
    case kCmdErase:
        flash_.fill(char(kErased));
        break;
    case kCmdData: {
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
        const char sumByte = char(sum);
        return reply(command, QByteArrayView(&sumByte, 1));
    }
    case kCmdEnd:
        endFlagSeen_ = true;
        state_ = State::Running;
        return {};
    case kCmdBaudStep1:
    case kCmdBaudStep2:
        delayAnswer(config_.baudSwitchDelay);
        break;
    default:
        break;
    }
    return reply(command);
}

QByteArray StcSim::reply(quint8 command, QByteArrayView payload)
{
    return frameOf(kChipToHost, command, payload);
}

} // namespace sim
