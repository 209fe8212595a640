#include "logic/StcProtocols.h"

#include "logic/FirmwareFile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

using namespace std::chrono_literals;

namespace stc {

namespace {

constexpr qsizetype kHeadBytes = 5; // 46 B9, direction, length

// Waits. Sync pulses go out every 30 ms until the chip answers; the chip measures them, so any
// spacing works. The trim rounds are answered once the chip has measured a few FE pulses (the
// captures show 11-15 pulses, about half a second). Erasing took 0.4 s (STC15L104W) to 3.5 s
// (IAP15F2K61S2) in the captures; blocks a few hundred milliseconds.
constexpr auto kPulseInterval = 30ms;
constexpr auto kCalibrationWait = 2000ms;
constexpr auto kAnswerWait = 6000ms;
constexpr auto kEraseWait = 15000ms;
constexpr auto kBlockWait = 10000ms;
// The STC12 rate frames: the chip answers at the new rate after the delay byte of the frame
// (0x80), so the host changes its rate as soon as the frame has left (a later change could
// miss the answer). The STC15 answers 01 at the old rate and changes its own rate after it;
// the host gives it 100 ms before sending at the new rate. The STC8 changes at once.
constexpr auto kRateSwitchPause = 100ms;

constexpr quint8 kSyncPulse = 0x7F;
constexpr quint8 kCalibrationPulse = 0xFE;
constexpr qint64 kProgramClock15 = 22118400; // STC15 programs at 22.1184 MHz
constexpr qint64 kProgramClock8 = 24000000;  // STC8 programs at 24 MHz
constexpr qsizetype kPadUnit = 512;
constexpr quint8 kFill = 0xFF;
constexpr int kStc12Block = 128;
constexpr int kStc15Block = 64;
constexpr int kStc12Pings = 4;
constexpr quint8 kV72 = 0x72; // boot loaders from 7.2 on want 5A A5 in their frames

quint16 be16(QByteArrayView b, qsizetype at)
{
    return quint16(quint8(b[at]) << 8 | quint8(b[at + 1]));
}

quint32 be32(QByteArrayView b, qsizetype at)
{
    return quint32(be16(b, at)) << 16 | be16(b, at + 2);
}

void put16(QByteArray &b, quint32 v)
{
    b.append(char(v >> 8));
    b.append(char(v & 0xFF));
}

void put32(QByteArray &b, quint32 v)
{
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}

quint8 setBit(quint8 byte, int bit, bool one)
{
    return one ? quint8(byte | (1u << bit)) : quint8(byte & ~(1u << bit));
}

QByteArray bytesOf(std::initializer_list<char> list)
{
    return QByteArray(list.begin(), qsizetype(list.size()));
}

QString hex(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex(' ').toUpper());
}

} // namespace

Series seriesOf(StcProtocol protocol)
{
    switch (protocol) {
    case StcProtocol::Stc12A:
    case StcProtocol::Stc12:
    case StcProtocol::Stc12B:
        return Series::Stc12;
    case StcProtocol::Stc15:
        return Series::Stc15;
    default:
        return Series::Stc8;
    }
}

Parity parityOf(StcProtocol protocol)
{
    return protocol == StcProtocol::Stc12A ? Parity::None : Parity::Even;
}

int checksumBytes(StcProtocol protocol)
{
    return protocol == StcProtocol::Stc12A ? 1 : 2;
}

QByteArray buildFrame(quint8 direction, QByteArrayView payload, int checksumBytes)
{
    const qsizetype length = 1 + 2 + payload.size() + checksumBytes + 1;
    QByteArray f;
    f.reserve(length + 2);
    f.append(char(kFrameStart1));
    f.append(char(kFrameStart2));
    f.append(char(direction));
    put16(f, quint32(length));
    f.append(payload);
    quint32 sum = 0;
    for (qsizetype i = 2; i < f.size(); ++i)
        sum += quint8(f[i]);
    if (checksumBytes == 2)
        put16(f, sum & 0xFFFF);
    else
        f.append(char(sum & 0xFF));
    f.append(char(kFrameEnd));
    return f;
}

FrameScan scanFrame(QByteArrayView bytes, quint8 direction, int checksumBytes)
{
    FrameScan s;
    const quint8 head[] = {kFrameStart1, kFrameStart2, direction};
    for (qsizetype i = 0; i < 3 && i < bytes.size(); ++i)
        if (quint8(bytes[i]) != head[i]) {
            s.problem = QStringLiteral("frame start %1").arg(hex(bytes.first(i + 1)));
            return s;
        }
    if (bytes.size() < kHeadBytes) {
        s.status = FrameScan::Incomplete;
        return s;
    }
    const qsizetype total = qsizetype(be16(bytes, 3)) + 2;
    if (total < kHeadBytes + 1 + checksumBytes + 1 || total > kMaxSeriesFrame) {
        s.problem = QStringLiteral("length field %1").arg(hex(bytes.sliced(3, 2)));
        return s;
    }
    if (bytes.size() < total) {
        s.status = FrameScan::Incomplete;
        return s;
    }
    if (quint8(bytes[total - 1]) != kFrameEnd) {
        s.problem = QStringLiteral("end byte %1").arg(hex(bytes.sliced(total - 1, 1)));
        return s;
    }
    const qsizetype sumAt = total - 1 - checksumBytes;
    quint32 sum = 0;
    for (qsizetype i = 2; i < sumAt; ++i)
        sum += quint8(bytes[i]);
    const quint32 got = checksumBytes == 2 ? be16(bytes, sumAt) : quint8(bytes[sumAt]);
    const quint32 want = checksumBytes == 2 ? (sum & 0xFFFF) : (sum & 0xFF);
    if (got != want) {
        s.problem = QStringLiteral("checksum %1, expected %2")
                        .arg(got, checksumBytes * 2, 16, QLatin1Char('0'))
                        .arg(want, checksumBytes * 2, 16, QLatin1Char('0'));
        return s;
    }
    s.status = FrameScan::Complete;
    s.payload = bytes.sliced(kHeadBytes, sumAt - kHeadBytes).toByteArray();
    s.size = total;
    return s;
}

// ---- Status ----------------------------------------------------------------------------------

std::optional<StcProtocol> protocolOfCode(quint16 code)
{
    const devices::StcSeriesModel *m = devices::stcSeriesModel(code);
    return m ? std::optional(m->protocol) : std::nullopt;
}

std::optional<Status> parseStatus(QByteArrayView p, qint32 handshakeBaud, QString *problem)
{
    auto refuse = [problem](const QString &why) -> std::optional<Status> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    // Every dialect: model code at 20-21, version at 17, stepping at 18; stcgal needs 23 bytes.
    constexpr qsizetype kMinStatus = 23;
    if (p.size() < kMinStatus)
        return refuse(QStringLiteral("status packet of %1 bytes").arg(p.size()));
    Status s;
    s.modelCode = be16(p, 20);
    s.model = devices::stcSeriesModel(s.modelCode);
    if (!s.model)
        return refuse(QStringLiteral("model code %1").arg(s.modelCode, 4, 16, QLatin1Char('0')));
    s.protocol = s.model->protocol;
    s.version = quint8(p[17]);
    // F294 and F2D4 also name the STC15F/L104E, whose 6.x boot loaders speak the older STC15A
    // dialect (other handshake and trim rounds, 58-byte status); stcgal tells them apart by the
    // version. That dialect is not spoken here.
    if ((s.modelCode == 0xF294 || s.modelCode == 0xF2D4) && s.version < 0x70)
        return refuse(QStringLiteral("STC15x104E (boot loader %1): STC15A dialect")
                          .arg(s.version, 2, 16, QLatin1Char('0')));
    s.stepping = p[18];
    s.payload = p.toByteArray();
    const auto at = [&p](qsizetype i) { return p[i]; };
    // Stc12*: eight counts at 1-16 of the host's 7F pulses, f = h * mean * 12 / 7.
    auto countsClock = [&]() {
        qint64 sum = 0;
        for (int i = 0; i < 8; ++i)
            sum += be16(p, 1 + 2 * i);
        return qint64(double(handshakeBaud) * double(sum) / 8.0 * 12.0 / 7.0);
    };
    switch (s.protocol) {
    case StcProtocol::Stc12A:
    case StcProtocol::Stc12B:
    case StcProtocol::Stc12: {
        const bool a = s.protocol == StcProtocol::Stc12A;
        const quint8 type = a ? 0x00 : 0x50;
        const qsizetype m3 = s.protocol == StcProtocol::Stc12A ? 29 : 27;
        if (quint8(p[0]) != type || p.size() <= m3)
            return refuse(QStringLiteral("STC12 status type %1, %2 bytes")
                              .arg(quint8(p[0]), 2, 16, QLatin1Char('0'))
                              .arg(p.size()));
        s.clockHz = countsClock();
        s.options = bytesOf({at(23), at(24), at(25), at(m3)});
        break;
    }
    case StcProtocol::Stc15: {
        if (quint8(p[0]) != 0x50) return refuse(QStringLiteral("STC15 status type"));
        s.patch = quint8(p[22]) & 0x0F;
        s.factoryTrim24 = quint8(p[4]);
        s.externalClock = (quint8(p[7]) & 0x01) == 0;
        if (s.externalClock)
            s.clockHz = qint64(handshakeBaud) * be16(p, 13);
        else
            s.clockHz = be32(p, 8) == 0xFFFFFFFF ? 0 : be32(p, 8);
        // MCSY (core voltage) is reported at 37 by the STC15W4 parts only.
        const bool w4 =
            s.model->name.startsWith(u"STC15W4") || s.model->name.startsWith(u"IAP15W4");
        s.options =
            bytesOf({at(5), at(6), at(7), at(12), w4 && p.size() > 37 ? at(37) : char(kFill)});
        break;
    }
    default: {
        // STC8: stcgal reads up to byte 39.
        if (quint8(p[0]) != 0x50 || p.size() < 40)
            return refuse(QStringLiteral("STC8 status of %1 bytes").arg(p.size()));
        s.patch = quint8(p[22]) & 0x0F;
        s.clockHz = be32(p, 1) == 0xFFFFFFFF ? 0 : be32(p, 1);
        s.options = bytesOf({at(9), at(10), at(11), at(15), at(16)});
        break;
    }
    }
    return s;
}

QString versionShown(const Status &status)
{
    QString v = QStringLiteral("%1.%2").arg(status.version >> 4).arg(status.version & 0x0F);
    if (status.patch >= 0) v += QStringLiteral(".%1").arg(status.patch);
    const char c = status.stepping;
    v += (c >= 0x20 && c < 0x7F) ? QChar(c) : QChar(u'?');
    return v;
}

// ---- Arithmetic ------------------------------------------------------------------------------

std::optional<quint8> stc12BaudWord(qint64 clockHz, qint32 baud)
{
    if (baud <= 0) return std::nullopt;
    const qint64 brt = 256 - std::llround(double(clockHz) / (16.0 * baud));
    if (brt < 2 || brt > 255) return std::nullopt;
    return quint8(brt);
}

quint8 iapWait(qint64 clockHz)
{
    constexpr std::array<std::pair<qint64, quint8>, 7> kTable{{{1000000, 0x87},
                                                               {2000000, 0x86},
                                                               {3000000, 0x85},
                                                               {6000000, 0x84},
                                                               {12000000, 0x83},
                                                               {20000000, 0x82},
                                                               {24000000, 0x81}}};
    for (const auto &[below, wait] : kTable)
        if (clockHz < below) return wait;
    return 0x80;
}

std::optional<Challenge> bracketTrim(const QList<Challenge> &ch, const QList<quint16> &counts,
                                     qint64 target)
{
    const qsizetype n = std::min(ch.size(), counts.size());
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const qint64 a = counts[i], b = counts[i + 1];
        if (!((a <= target && target <= b) || (b <= target && target <= a)) || a == b) continue;
        const double m = double(ch[i + 1].trim - ch[i].trim) / double(b - a);
        const qint64 trim = std::llround(ch[i].trim + m * double(target - a));
        return Challenge{quint8(std::clamp<qint64>(trim, 0, 255)), ch[i + 1].range};
    }
    return std::nullopt;
}

int closestCount(const QList<quint16> &counts, qint64 target)
{
    int best = -1;
    qint64 bestDiff = std::numeric_limits<qint64>::max();
    for (int i = 0; i < counts.size(); ++i) {
        const qint64 d = std::abs(qint64(counts[i]) - target);
        if (d < bestDiff) {
            bestDiff = d;
            best = i;
        }
    }
    return best;
}

// ---- Session ---------------------------------------------------------------------------------

namespace {

// The challenges of a round frame (00 n pairs...), as many as it holds.
QList<Challenge> challengesOf(const QByteArray &frame)
{
    QList<Challenge> out;
    for (qsizetype i = 2; i + 1 < frame.size(); i += 2)
        out.append({quint8(frame[i]), quint8(frame[i + 1])});
    return out;
}

// The counts of a round answer (00 n counts...); nullopt when it is shorter than its own count
// field says.
std::optional<QList<quint16>> countsOf(const QByteArray &answer)
{
    if (answer.size() < 2 || quint8(answer[0]) != 0x00) return std::nullopt;
    const int n = quint8(answer[1]);
    if (answer.size() < 2 + 2 * n) return std::nullopt;
    QList<quint16> out;
    for (int i = 0; i < n; ++i)
        out.append(be16(answer, 2 + 2 * i));
    return out;
}

} // namespace

Session::Session(Choices choices) : choices_(std::move(choices)) {}

Line Session::handshakeLine() const
{
    return {choices_.handshakeBaud, status_ ? parityOf(status_->protocol) : Parity::None};
}

Line Session::transferLine() const
{
    return {choices_.transferBaud, status_ ? parityOf(status_->protocol) : Parity::None};
}

bool Session::v72() const
{
    return status_ && status_->version >= kV72;
}

int Session::blockSize() const
{
    return seriesOf(status_->protocol) == Series::Stc12 ? kStc12Block : kStc15Block;
}

QByteArray Session::frame(QByteArrayView payload) const
{
    return buildFrame(kDirHostToChip, payload, checksumBytes(status_->protocol));
}

void Session::emitEvent(Stage stage, QString text, qint64 value)
{
    if (stage != Stage::Progress) stage_ = stage;
    events_.append({stage, std::move(text), value});
}

QList<Event> Session::takeEvents()
{
    return std::exchange(events_, {});
}

Action Session::start()
{
    emitEvent(Stage::Connecting);
    await_ = Await::Status;
    // The status packet is read at 8N1 whatever the dialect: a chip sending 8E1 puts its parity
    // bit where an 8N1 receiver looks for the stop bit, so the data bytes arrive intact, and an
    // STC12Cx052 sends 8N1 anyway. The chip measures the 7F pulses, not their parity.
    Action a;
    a.sendLine = a.answerLine = answerLine_ = {choices_.handshakeBaud, Parity::None};
    a.pulse = kSyncPulse;
    a.pulseInterval = kPulseInterval;
    a.awaitsAnswer = true;
    a.timeout = choices_.connectTimeout;
    return a;
}

Action Session::exchange(QByteArrayView payload, Await await, std::chrono::milliseconds timeout)
{
    await_ = await;
    lastCommand_ = payload.isEmpty() ? 0 : quint8(payload[0]);
    Action a;
    a.sendLine = a.answerLine = answerLine_;
    a.bytes = frame(payload);
    a.awaitsAnswer = true;
    a.timeout = timeout;
    return a;
}

Action Session::pulsedExchange(QByteArrayView payload, Await await)
{
    Action a = exchange(payload, await, kCalibrationWait);
    // The STC8G boot loader gets 66 bytes after its round frames (12 after the first, 19 after
    // the second), as stcgal sends them; their purpose is unknown.
    if (status_->protocol == StcProtocol::Stc8G)
        a.bytes.append(QByteArray(await == Await::Calibration1 ? 12 : 19, char(0x66)));
    a.pulse = kCalibrationPulse;
    a.pulseInterval = kPulseInterval;
    lastChallenge_ = payload.toByteArray();
    return a;
}

QByteArray Session::endFrame() const
{
    const quint8 end = seriesOf(status_->protocol) == Series::Stc8 ? 0xFF : 0x82;
    return frame(QByteArrayView(reinterpret_cast<const char *>(&end), 1));
}

Action Session::fail(Failure failure, const QString &detail)
{
    outcome_.failure = failure;
    outcome_.stage = stage_;
    outcome_.detail = detail;
    await_ = Await::Nothing;
    Action a;
    a.sendLine = a.answerLine = answerLine_;
    // Once the chip has spoken, it is told the session is over, as stcgal does after any error:
    // the boot loader then starts whatever program the flash holds.
    if (status_) a.bytes = endFrame();
    a.finished = true;
    return a;
}

Action Session::finish()
{
    emitEvent(Stage::EndFlag);
    Action a;
    a.sendLine = a.answerLine = answerLine_;
    a.bytes = endFrame();
    a.finished = true;
    outcome_.done = true;
    outcome_.stage = Stage::Done;
    outcome_.clockHz = reachedHz_;
    await_ = Await::Nothing;
    emitEvent(Stage::Done);
    return a;
}

Action Session::timedOut()
{
    if (await_ == Await::Nothing) return fail(Failure::NoAnswer, QStringLiteral("no wait"));
    using U = Unanswered;
    U u{U::Status, lastCommand_};
    switch (await_) {
    case Await::Status: u.step = U::Status; break;
    case Await::HandshakeAck: u.step = U::Handshake; break;
    case Await::Ping: u.step = U::Control; break;
    case Await::RateTest: u.step = U::RateTest; break;
    case Await::RateSwitch:
    case Await::Switch: u.step = U::RateSwitch; break;
    case Await::Calibration1:
    case Await::Calibration2: u.step = U::Calibration; break;
    case Await::Prepare: u.step = U::Prepare; break;
    case Await::Erase: u.step = U::Erase; break;
    case Await::Block:
        u.step = U::Block;
        u.address = qint64(nextBlock_) * blockSize();
        break;
    case Await::WriteFinish: u.step = U::WriteFinish; break;
    case Await::Options: u.step = U::Options; break;
    case Await::OptionFollowUp: u.step = U::OptionFollowUp; break;
    case Await::Nothing: break;
    }
    if (u.step == U::Status) u.command = 0;
    outcome_.unanswered = u;
    return fail(Failure::NoAnswer, QStringLiteral("no answer"));
}

std::optional<Action> Session::received(QByteArrayView bytes)
{
    if (await_ == Await::Nothing) return std::nullopt;
    rx_.append(bytes);
    if (await_ == Await::Status) {
        // While syncing, anything that is not a status frame is line noise: skip to the next
        // frame start.
        while (!rx_.isEmpty()) {
            const qsizetype start = rx_.indexOf(QByteArrayView("\x46\xB9\x68", 3));
            if (start < 0) {
                rx_ = rx_.right(2); // a start may be split over two receptions
                return std::nullopt;
            }
            rx_.remove(0, start);
            // STC12Cx052 frames carry a 1-byte checksum, the others 2 bytes.
            FrameScan s = scanFrame(rx_, kDirChipToHost, 2);
            if (s.status == FrameScan::Malformed) {
                const FrameScan one = scanFrame(rx_, kDirChipToHost, 1);
                if (one.status == FrameScan::Complete) s = one;
            }
            if (s.status == FrameScan::Incomplete) return std::nullopt;
            if (s.status == FrameScan::Malformed) {
                rx_.remove(0, 1);
                continue;
            }
            rx_.clear();
            QString problem;
            status_ = parseStatus(s.payload, choices_.handshakeBaud, &problem);
            if (!status_) {
                // The version is still worth showing when the model is unknown.
                if (s.payload.size() > 18) {
                    Status raw;
                    raw.version = quint8(s.payload[17]);
                    raw.stepping = s.payload[18];
                    emitEvent(Stage::Connected, versionShown(raw));
                }
                const bool known = s.payload.size() < 23 ||
                                   (devices::stcSeriesModel(quint16(quint8(s.payload[20]) << 8 |
                                                                    quint8(s.payload[21]))) &&
                                    !problem.contains(u"STC15A"));
                return fail(known ? Failure::WrongAnswer : Failure::UnknownModel, problem);
            }
            if (checksumBytes(status_->protocol) != (s.payload.size() + 8 == s.size ? 2 : 1)) {
                status_.reset();
                return fail(Failure::BadFrame, QStringLiteral("status checksum width"));
            }
            return afterStatus();
        }
        return std::nullopt;
    }
    const FrameScan s = scanFrame(rx_, kDirChipToHost, checksumBytes(status_->protocol));
    if (s.status == FrameScan::Incomplete) return std::nullopt;
    if (s.status == FrameScan::Malformed) {
        rx_.clear();
        return fail(Failure::BadFrame, s.problem);
    }
    if (s.size != rx_.size()) {
        const QString extra = hex(QByteArrayView(rx_).sliced(s.size));
        rx_.clear();
        return fail(Failure::BadFrame, QStringLiteral("bytes after the answer: %1").arg(extra));
    }
    rx_.clear();
    return onAnswer(s.payload);
}

Action Session::afterStatus()
{
    const Status &st = *status_;
    answerLine_ = handshakeLine();
    emitEvent(Stage::Connected, versionShown(st));
    emitEvent(Stage::Identified, st.model->name.toString(), st.clockHz);
    if (choices_.image.size() > st.model->codeBytes)
        return fail(Failure::TooLarge, tooLargeForModelLine(choices_.image.size(), st.model->name,
                                                            st.model->codeBytes));
    // The image goes out padded with FF to whole 512-byte pages (never beyond the flash).
    image_ = choices_.image;
    qsizetype padded = (image_.size() + kPadUnit - 1) / kPadUnit * kPadUnit;
    if (padded > st.model->codeBytes)
        padded = (image_.size() + blockSize() - 1) / blockSize() * blockSize();
    image_.append(QByteArray(padded - image_.size(), char(kFill)));
    nextBlock_ = 0;

    const QByteArray code = bytesOf({char(st.modelCode >> 8), char(st.modelCode & 0xFF)});
    switch (st.protocol) {
    case StcProtocol::Stc12A: {
        emitEvent(Stage::RateTest);
        return rateSwitchFrame();
    }
    case StcProtocol::Stc12:
    case StcProtocol::Stc12B:
        emitEvent(Stage::Handshake);
        return exchange(QByteArray::fromHex("5000003601") + code, Await::HandshakeAck, kAnswerWait);
    case StcProtocol::Stc15:
        if (st.externalClock) {
            emitEvent(Stage::RateSwitch, {}, choices_.transferBaud);
            return rateSwitchFrame();
        }
        [[fallthrough]];
    default: {
        if (st.clockHz == 0 && !choices_.clockHz)
            return fail(Failure::NeedsClock, QStringLiteral("RC oscillator never trimmed"));
        targetHz_ = choices_.clockHz.value_or(st.clockHz);
        emitEvent(Stage::Calibrating, {}, targetHz_);
        QByteArray round1;
        switch (st.protocol) {
        case StcProtocol::Stc15:
            round1 = QByteArray::fromHex("000C00C080C0FFC0008080"
                                         "80FF80004080"
                                         "40FF40000080"
                                         "00C000");
            break;
        case StcProtocol::Stc8:
            round1 = QByteArray::fromHex("000C");
            for (int i = 0; i < 12; ++i) {
                round1.append(char(i == 11 ? 0xFF : 23 * i));
                round1.append('\0');
            }
            break;
        case StcProtocol::Stc8D:
            round1 = QByteArray::fromHex("00080000FF000010FF100020FF200030FF30");
            break;
        default: // Stc8G
            round1 = QByteArray::fromHex("000500008000008080"
                                         "80FF00");
            break;
        }
        return pulsedExchange(round1, Await::Calibration1);
    }
    }
}

Action Session::rateSwitchFrame()
{
    const Status &st = *status_;
    const qint32 baud = choices_.transferBaud;
    if (seriesOf(st.protocol) == Series::Stc12) {
        const auto brt = stc12BaudWord(st.clockHz, baud);
        if (!brt)
            return fail(Failure::RateUnreachable,
                        QStringLiteral("%1 Bd from %2 Hz").arg(baud).arg(st.clockHz));
        // C0 and 3F are constants of every captured frame; the check byte is 2 * (256 - BRT);
        // 80 is the delay the chip waits before answering at the new rate.
        QByteArray p = bytesOf(
            {char(0xC0), char(*brt), char(0x3F), char((2 * (256 - *brt)) & 0xFF), char(0x80)});
        const bool test = await_ != Await::RateTest;
        if (test) p.append(char(iapWait(st.clockHz)));
        p.prepend(char(test ? 0x8F : 0x8E));
        Action a = exchange(p, test ? Await::RateTest : Await::RateSwitch, kAnswerWait);
        a.sendLine = handshakeLine();
        a.answerLine = answerLine_ = transferLine();
        return a;
    }
    QByteArray p(1, char(0x01));
    auto word = [&p, this](double value) {
        if (value < 1 || value > 65535) return false;
        put16(p, quint32(value));
        return true;
    };
    bool ok = true;
    if (st.protocol == StcProtocol::Stc15 && st.externalClock) {
        p.append(char(st.factoryTrim24));
        p.append(char(0x40));
        ok = word(std::trunc(65536.0 - double(st.clockHz) / baud / 4.0));
        p.append(QByteArray(2, '\0'));
        p.append(char(iapWait(st.clockHz)));
        reachedHz_ = st.clockHz;
    } else if (st.protocol == StcProtocol::Stc15) {
        p.append(char(programTrim_->trim));
        p.append(char(programTrim_->range));
        // The STC15F/L10xW (model codes F2xx) have no hardware UART: their boot loader takes
        // two timer reloads instead of one, and no user trim.
        if ((st.modelCode >> 8) == 0xF2) {
            ok = word(std::trunc(65536.0 - double(kProgramClock15) / baud)) &&
                 word(std::trunc(65536.0 - double(kProgramClock15) * 1.5 / baud));
        } else {
            ok = word(std::trunc(65536.0 - double(kProgramClock15) / (4.0 * baud)));
            p.append(char(userTrim_->range));
            p.append(char(userTrim_->trim));
        }
        p.append(char(iapWait(kProgramClock15)));
    } else {
        p.append(QByteArray(2, '\0'));
        ok = word(std::round(65536.0 - double(kProgramClock8) / (4.0 * baud)));
        p.append(char(userTrim_->range));
        p.append(char(userTrim_->trim));
        // The STC8H/STC8G boot loaders take 98 (stcgal's value for the STC8A8K64D4).
        p.append(char(st.protocol == StcProtocol::Stc8 ? iapWait(kProgramClock8) : 0x98));
    }
    if (!ok) return fail(Failure::RateUnreachable, QStringLiteral("%1 Bd").arg(baud));
    // Answered 01 at the old rate.
    return exchange(p, Await::Switch, kAnswerWait);
}

Action Session::prepareFrame()
{
    emitEvent(Stage::Handshake);
    QByteArray p(1, char(0x05));
    if (v72()) p.append(QByteArray::fromHex("00005AA5"));
    Action a = exchange(p, Await::Prepare, kAnswerWait);
    a.pauseBefore = status_->protocol == StcProtocol::Stc15 ? kRateSwitchPause : 0ms;
    a.sendLine = a.answerLine = answerLine_ = transferLine();
    return a;
}

Action Session::afterCalibration1(const QByteArray &payload)
{
    const Status &st = *status_;
    const auto counts = countsOf(payload);
    if (!counts)
        return fail(Failure::WrongAnswer, QStringLiteral("trim round 1: %1").arg(hex(payload)));
    const QList<Challenge> ch = challengesOf(lastChallenge_);
    QByteArray round2 = QByteArray::fromHex("000C");
    auto pair = [&round2](int trim, quint8 range) {
        round2.append(char(trim & 0xFF));
        round2.append(char(range));
    };
    const qint32 h = choices_.handshakeBaud;
    if (st.protocol == StcProtocol::Stc15) {
        // Counts are in units of half the handshake rate.
        userTrim_ = bracketTrim(ch, *counts, std::llround(double(targetHz_) / (h / 2.0)));
        programTrim_ = bracketTrim(ch, *counts, std::llround(double(kProgramClock15) / (h / 2.0)));
        if (!userTrim_ || !programTrim_)
            return fail(Failure::ClockUnreachable, QStringLiteral("%1 Hz").arg(targetHz_));
        for (int t = userTrim_->trim - 3; t < userTrim_->trim + 3; ++t)
            pair(t, userTrim_->range);
        for (int t = programTrim_->trim - 3; t < programTrim_->trim + 3; ++t)
            pair(t, programTrim_->range);
        return pulsedExchange(round2, Await::Calibration2);
    }
    // STC8: the RC runs between about 20 and 30 MHz; lower clocks use a divider 1..5.
    const bool d = st.protocol != StcProtocol::Stc8;
    const double unit = d ? h : h / 2.0;
    const qint64 target = std::llround(double(targetHz_) / unit);
    userTrim_.reset();
    for (divider_ = 1; divider_ <= 5 && !userTrim_; ++divider_) {
        if (!d) {
            userTrim_ = bracketTrim(ch, *counts, target * divider_);
        } else {
            // Pairs (trim 00, trim FF or 80) per range, counts rising with the trim.
            for (qsizetype i = 0; i + 1 < std::min(ch.size(), counts->size()); i += 2) {
                const qint64 a = (*counts)[i], b = (*counts)[i + 1];
                const qint64 t = target * divider_;
                if (a > t || t > b || a == b) continue;
                const qint64 trim = std::llround(
                    double(t - a) * (ch[i + 1].trim - ch[i].trim) / double(b - a) + ch[i].trim);
                if (trim < 6 || trim > 250)
                    return fail(Failure::ClockUnreachable, QStringLiteral("trim %1").arg(trim));
                userTrim_ = Challenge{quint8(trim), ch[i + 1].range};
                break;
            }
        }
        if (userTrim_) break;
    }
    if (!userTrim_) return fail(Failure::ClockUnreachable, QStringLiteral("%1 Hz").arg(targetHz_));
    if (!d) {
        for (quint8 range = 0; range < 4; ++range)
            for (int t = userTrim_->trim - 1; t <= userTrim_->trim + 1; ++t)
                pair(t, range);
    } else {
        for (int t = userTrim_->trim - 6; t < userTrim_->trim + 6; ++t)
            pair(t, userTrim_->range);
    }
    return pulsedExchange(round2, Await::Calibration2);
}

Action Session::afterCalibration2(const QByteArray &payload)
{
    const Status &st = *status_;
    const auto counts = countsOf(payload);
    const QList<Challenge> ch = challengesOf(lastChallenge_);
    if (!counts || counts->size() > ch.size() || counts->isEmpty())
        return fail(Failure::WrongAnswer, QStringLiteral("trim round 2: %1").arg(hex(payload)));
    const qint32 h = choices_.handshakeBaud;
    if (st.protocol == StcProtocol::Stc15) {
        const double unit = h / 2.0;
        const int user = closestCount(*counts, std::llround(double(targetHz_) / unit));
        const int prog = closestCount(*counts, std::llround(double(kProgramClock15) / unit));
        userTrim_ = ch[user];
        programTrim_ = ch[prog];
        reachedHz_ = std::llround((*counts)[user] * unit);
    } else {
        // Compared with target * divider: the RC runs that fast and the divider brings it down.
        const double unit = st.protocol == StcProtocol::Stc8 ? h / 2.0 : h;
        const int user = closestCount(*counts, std::llround(double(targetHz_) / unit) * divider_);
        userTrim_ = ch[user];
        reachedHz_ = std::llround((*counts)[user] * unit / divider_);
    }
    emitEvent(Stage::Calibrated, {}, reachedHz_);
    emitEvent(Stage::RateSwitch, {}, choices_.transferBaud);
    return rateSwitchFrame();
}

Action Session::nextBlockOrFinish()
{
    const int size = blockSize();
    const int blocks = int(image_.size() / size);
    const Status &st = *status_;
    if (nextBlock_ < blocks) {
        const int i = nextBlock_;
        QByteArray p;
        if (seriesOf(st.protocol) == Series::Stc12) {
            p = QByteArray::fromHex("000000");
            put16(p, quint32(i * size));
            put16(p, quint32(size));
        } else {
            p.append(char(i == 0 ? 0x22 : 0x02));
            put16(p, quint32(i * size));
            if (v72()) p.append(QByteArray::fromHex("5AA5"));
        }
        p.append(image_.mid(qsizetype(i) * size, size));
        return exchange(p, Await::Block, kBlockWait);
    }
    if (st.protocol == StcProtocol::Stc12 || st.protocol == StcProtocol::Stc12B) {
        const QByteArray code = bytesOf({char(st.modelCode >> 8), char(st.modelCode & 0xFF)});
        return exchange(QByteArray::fromHex("6900003601") + code, Await::WriteFinish, kAnswerWait);
    }
    if (seriesOf(st.protocol) != Series::Stc12 && v72())
        return exchange(QByteArray::fromHex("0700005AA5"), Await::WriteFinish, kAnswerWait);
    return sendOptions();
}

QByteArray Session::optionBytes() const
{
    const Status &st = *status_;
    QByteArray o = st.options;
    const OptionChanges &c = choices_.options;
    auto change = [&o](const std::optional<bool> &want, int index, int bit, bool oneMeansYes) {
        if (want) o[index] = char(setBit(quint8(o[index]), bit, *want == oneMeansYes));
    };
    switch (st.protocol) {
    case StcProtocol::Stc12A:
    case StcProtocol::Stc12B:
        change(c.eraseEeprom, 2, 1, false); // MCS2 bit 1 = 0: erase the EEPROM
        break;
    case StcProtocol::Stc12:
        change(c.resetPinEnabled, 0, 0, true); // MCS0 bit 0 = 1: the RST pin resets
        change(c.lowVoltageReset, 0, 6, false);
        change(c.eraseEeprom, 3, 1, false);
        break;
    case StcProtocol::Stc15:
        change(c.resetPinEnabled, 2, 4, false); // MCS2 bit 4 = 0: the RST pin resets
        change(c.lowVoltageReset, 1, 6, false);
        change(c.eraseEeprom, 3, 1, true); // MCSX bit 1 = 1: erase (positive here)
        break;
    default:
        change(c.resetPinEnabled, 2, 4, false);
        change(c.lowVoltageReset, 2, 6, false);
        change(c.eraseEeprom, 0, 1, true);
        break;
    }
    return o;
}

QByteArray Session::optionPayload() const
{
    const Status &st = *status_;
    const QByteArray m = optionBytes();
    QByteArray p;
    const QByteArray ff = QByteArray(1, char(kFill));
    switch (st.protocol) {
    case StcProtocol::Stc12: {
        // The last option byte twice: its place is not the same on every part (stcgal).
        p = QByteArray(1, char(0x8D)) + m + ff.repeated(4) + m.right(1) + ff.repeated(7);
        put32(p, quint32(st.clockHz));
        break;
    }
    case StcProtocol::Stc12A:
    case StcProtocol::Stc12B: {
        QByteArray clock;
        put32(clock, quint32(st.clockHz));
        p = QByteArray(1, char(0x8D)) + m.left(3) + ff + m.right(1) + clock + m.right(1) + ff +
            m.left(2) + ff.repeated(4) + m.mid(2, 1) + ff.repeated(7) + clock + ff.repeated(3);
        break;
    }
    case StcProtocol::Stc15: {
        p = QByteArray::fromHex("040000");
        if (v72()) p.append(QByteArray::fromHex("5AA5"));
        QByteArray b = ff.repeated(64);
        for (int i = 0; i < 4; ++i)
            b[23 + 2 * i] = char(quint32(reachedHz_) >> (24 - 8 * i));
        b[31] = m[3];
        b[55] = m[4];
        const Challenge trim = st.externalClock ? Challenge{st.factoryTrim24, 0x40} : *userTrim_;
        b[59] = char(trim.trim);
        b[60] = char(trim.range + 0x3F);
        b.replace(61, 3, m.left(3));
        if (st.externalClock) {
            // Back on the RC later, the chip runs its factory 24 MHz trim.
            for (int i = 0; i < 4; ++i)
                b[23 + 2 * i] = char(quint32(kProgramClock8) >> (24 - 8 * i));
        }
        p.append(b);
        break;
    }
    default: {
        p = QByteArray::fromHex("0400005AA5");
        QByteArray b = ff.repeated(40);
        b[3] = b[6] = b[22] = '\0';
        for (int i = 0; i < 4; ++i)
            b[24 + i] = char(quint32(reachedHz_) >> (24 - 8 * i));
        b[28] = char(userTrim_->trim);
        b[29] = char(userTrim_->range);
        b[30] = char(divider_);
        b[32] = m[0];
        b.replace(36, 4, m.mid(1, 4));
        p.append(b);
        break;
    }
    }
    return p;
}

Action Session::sendOptions()
{
    emitEvent(Stage::SettingOptions);
    return exchange(optionPayload(), Await::Options, kAnswerWait);
}

Action Session::onAnswer(const QByteArray &payload)
{
    const Status &st = *status_;
    const quint8 code = payload.isEmpty() ? 0 : quint8(payload[0]);
    auto wrong = [&]() {
        return fail(Failure::WrongAnswer, QStringLiteral("answer %1").arg(hex(payload)));
    };
    auto expect = [&](quint8 c) { return !payload.isEmpty() && code == c; };
    const bool s12 = seriesOf(st.protocol) == Series::Stc12;
    switch (await_) {
    case Await::HandshakeAck:
        if (!expect(0x8F)) return wrong();
        emitEvent(Stage::RateTest);
        return rateSwitchFrame();
    case Await::RateTest:
        if (!expect(0x8F)) return wrong();
        emitEvent(Stage::RateTestDone);
        emitEvent(Stage::RateSwitch, {}, choices_.transferBaud);
        answerLine_ = handshakeLine(); // back to the handshake rate for the switch frame
        return rateSwitchFrame();
    case Await::RateSwitch:
        // The STC12Cx052 echoes 8E; the others answer 84 with the rest of the frame.
        if (!expect(st.protocol == StcProtocol::Stc12A ? 0x8E : 0x84)) return wrong();
        emitEvent(Stage::RateSwitched);
        if (st.protocol != StcProtocol::Stc12A) return stc12Erase();
        emitEvent(Stage::Handshake);
        pings_ = 0;
        return pingOrErase();
    case Await::Ping:
        if (!expect(0x80)) return wrong();
        return pingOrErase();
    case Await::Calibration1:
        return afterCalibration1(payload);
    case Await::Calibration2:
        return afterCalibration2(payload);
    case Await::Switch:
        if (!expect(0x01)) return wrong();
        emitEvent(Stage::RateSwitched);
        return prepareFrame();
    case Await::Prepare:
        if (expect(0x0F)) return fail(Failure::Locked, QStringLiteral("answer 0F"));
        if (!expect(0x05)) return wrong();
        emitEvent(Stage::Erasing);
        {
            QByteArray p = QByteArray::fromHex("0300");
            if (v72()) p.append(QByteArray::fromHex("005AA5"));
            return exchange(p, Await::Erase, kEraseWait);
        }
    case Await::Erase:
        // STC12Cx052 answers 80, STC12 00 (+ UID on some), STC15/STC8 03 + the 7-byte UID.
        if (!expect(st.protocol == StcProtocol::Stc12A ? 0x80 : s12 ? 0x00 : 0x03)) return wrong();
        if (!s12 && payload.size() < 8) return wrong();
        if (!s12) outcome_.uid = payload.mid(1, 7); // 03, then the chip's 7-byte UID
        emitEvent(Stage::Erased);
        emitEvent(Stage::Uploading);
        return nextBlockOrFinish();
    case Await::Block: {
        const int size = blockSize();
        const QByteArray block = image_.mid(qsizetype(nextBlock_) * size, size);
        if (s12) {
            // 80 (STC12Cx052) or 00, then the 8-bit sum of the block's bytes.
            quint8 sum = 0;
            for (char b : block)
                sum = quint8(sum + quint8(b));
            if (!expect(st.protocol == StcProtocol::Stc12A ? 0x80 : 0x00) || payload.size() < 2 ||
                quint8(payload[1]) != sum)
                return wrong();
        } else if (!expect(0x02) || payload.size() < 2 || quint8(payload[1]) != 0x54) {
            return wrong();
        }
        ++nextBlock_;
        emitEvent(Stage::Progress, {}, progress(nextBlock_ - 1, int(image_.size() / size)));
        return nextBlockOrFinish();
    }
    case Await::WriteFinish:
        if (s12 ? !expect(0x8D)
                : (!expect(0x07) || payload.size() < 2 || quint8(payload[1]) != 0x54))
            return wrong();
        return sendOptions();
    case Await::Options:
        if (st.protocol == StcProtocol::Stc12) {
            if (!expect(0x50)) return wrong();
        } else if (s12) {
            if (!expect(0x80)) return wrong();
            // Newer STC12 boot loaders (6.6 on) follow the option frame with 50, answered 10.
            if (st.version >= 0x66)
                return exchange(QByteArray(1, char(0x50)), Await::OptionFollowUp, kAnswerWait);
        } else if (!expect(0x04) || payload.size() < 2 || quint8(payload[1]) != 0x54) {
            return wrong();
        }
        emitEvent(Stage::OptionsSet);
        if (s12) reachedHz_ = st.clockHz;
        return finish();
    case Await::OptionFollowUp:
        if (!expect(0x10)) return wrong();
        emitEvent(Stage::OptionsSet);
        reachedHz_ = st.clockHz;
        return finish();
    default:
        return wrong();
    }
}

Action Session::pingOrErase()
{
    const Status &st = *status_;
    if (pings_++ < kStc12Pings) {
        const QByteArray mc = bytesOf({char(st.modelCode >> 8), char(st.modelCode & 0xFF)});
        return exchange(QByteArray::fromHex("8000003601") + mc, Await::Ping, kAnswerWait);
    }
    return stc12Erase();
}

Action Session::stc12Erase()
{
    emitEvent(Stage::Erasing);
    // 84 FF 00, the blocks of the download and of the code flash (both in 256-byte units
    // rounded to 512), 12 zeros and the descending run 80..0E.
    QByteArray p = QByteArray::fromHex("84FF00");
    const auto pages = [](qsizetype bytes) {
        return char(2 * ((bytes + kPadUnit - 1) / kPadUnit));
    };
    p.append(pages(image_.size()));
    p.append(QByteArray(2, '\0'));
    p.append(pages(status_->model->codeBytes));
    p.append(QByteArray(12, '\0'));
    for (int b = 0x80; b >= 0x0E; --b)
        p.append(char(b));
    return exchange(p, Await::Erase, kEraseWait);
}

// ---- The image -------------------------------------------------------------------------------

ImageLoad fromImage(const firmware::Loaded &file, char fill)
{
    ImageLoad r;
    switch (file.status) {
    case firmware::Status::Loaded:
        break;
    case firmware::Status::Missing:
    case firmware::Status::NotAFile:
        r.status = ImageLoad::Missing;
        return r;
    case firmware::Status::Unreadable:
        r.status = ImageLoad::Unreadable;
        return r;
    case firmware::Status::TooLarge:
        r.status = ImageLoad::TooLarge;
        return r;
    case firmware::Status::Empty:
        r.status = ImageLoad::Empty;
        return r;
    case firmware::Status::Damaged:
        r.status = ImageLoad::Damaged;
        r.damage = file.reason;
        return r;
    }
    if (const auto out = firmware::outside(file.image, 0, kMaxSeriesImage - 1)) {
        r.status = ImageLoad::TooLarge;
        if (file.format != firmware::Format::IntelHex)
            r.damage = firmware::outsideText(out->address, out->end() - 1, 0, kMaxSeriesImage - 1);
        return r;
    }
    r.status = ImageLoad::Loaded;
    r.image = firmware::flatten(file.image, 0, fill);
    r.warning = file.warning;
    return r;
}

ImageLoad loadImage(const QString &path, std::optional<quint64> binaryAddress)
{
    ImageLoad r;
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile()) return r;
    if (firmware::formatOf(path) != firmware::Format::Binary || binaryAddress)
        return fromImage(firmware::load(path, binaryAddress.value_or(0)), char(kFill));
    static_assert(kMaxSeriesImage == kImageBufferSize);
    BinaryImage b = readBinaryImage(path);
    switch (b.status) {
    case BinaryImage::Loaded:
        r.status = ImageLoad::Loaded;
        break;
    case BinaryImage::Unreadable:
        r.status = ImageLoad::Unreadable;
        break;
    case BinaryImage::Empty:
        r.status = ImageLoad::Empty;
        break;
    case BinaryImage::TooLarge:
        r.status = ImageLoad::TooLarge;
        break;
    }
    r.image = std::move(b.bytes);
    return r;
}

} // namespace stc
