#include "sim/StcSeriesSim.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr quint8 kSync = 0x7F;
constexpr quint8 kCalibrationPulse = 0xFE;
constexpr quint8 kStart1 = 0x46;
constexpr quint8 kStart2 = 0xB9;
constexpr quint8 kHost = 0x6A;
constexpr quint8 kChip = 0x68;
constexpr quint8 kEnd = 0x16;
constexpr qsizetype kMaxFrame = 512;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QString spaced(QByteArrayView b)
{
    return QString::fromLatin1(b.toByteArray().toHex(' ').toUpper());
}

quint16 be16(QByteArrayView b, qsizetype at)
{
    return quint16(quint8(b[at]) << 8 | quint8(b[at + 1]));
}

// Round-1 points: the challenge frame the chip answered, paired with its counts.
QList<StcSeriesSim::RcPoint> points(const char *challenges, const char *counts)
{
    const QByteArray ch = hex(challenges), c = hex(counts);
    QList<StcSeriesSim::RcPoint> out;
    for (qsizetype i = 0; 2 * i + 1 < ch.size() && 2 * i + 1 < c.size(); ++i)
        out.append({quint8(ch[2 * i]), quint8(ch[2 * i + 1]), be16(c, 2 * i)});
    return out;
}

// The 11 challenges of the vendor tool's first STC15 round (real-chips/recorded/stc15l104w.txt
// note; doc-traces/trace-stc15l104w.txt): trims 00/80/FF in ranges C0, 80, 40, then 00, 80 in 00.
constexpr const char *kStc15Round1 = "00C080C0FFC0008080"
                                     "80FF80004080"
                                     "40FF4000008000";

} // namespace

// ---- The recorded chips ----------------------------------------------------------------------

StcSeriesSim::Config StcSeriesSim::Config::stc12c2052ad()
{
    // real-chips/recorded/stc12c2052ad.txt (BSL 5.8D, 2400 Bd, 8N1): status (answer 1), the
    // answer 10 ... to the option follow-up 50 (answer 14). 2 KiB code flash (stcgal models).
    Config c;
    c.name = QStringLiteral("STC12C2052AD");
    c.dialect = Dialect::Stc12A;
    c.status = hex("0004EC04EC04EC04EC04EC04EC04EB04EB584400F21283FDF7F7FFFFFFBFFFFDF7F7FF");
    c.recordedBaud = 2400;
    c.flashSize = 2048;
    c.optionAnswer = hex("10C016F7FFBF03FF5844FDF7F7FFFFFFBFFFFDF7F7FF");
    return c;
}

StcSeriesSim::Config StcSeriesSim::Config::stc12c5a60s2()
{
    // real-chips/recorded/stc12c5a60s2.txt (BSL 6.2I, 9600 Bd): status (answer 1), the answer
    // to the option frame (answer 11). 60 KiB code flash.
    Config c;
    c.name = QStringLiteral("STC12C5A60S2");
    c.dialect = Dialect::Stc12;
    c.status = hex("5004BD04BC04BC04BD04BC04BC04BC04BC624900D17E8CFF7FF7FFFFFF00000003"
                   "00B0022E6B00CD800000");
    c.recordedBaud = 9600;
    c.flashSize = 61440;
    c.eraseAnswer = hex("00");
    c.optionAnswer = hex("50FF7FF7FFFF03FF6249FF7FF7FFFFFFFF01000300B0022E6B00CD800000");
    return c;
}

StcSeriesSim::Config StcSeriesSim::Config::stc15l104w()
{
    // real-chips/recorded/stc15l104w.txt (BSL 7.1.4Q, 9600 Bd, RC trimmed to 5.99 MHz).
    Config c;
    c.name = QStringLiteral("STC15L104W");
    c.dialect = Dialect::Stc15;
    c.status = hex("50663C93BAF7BB9F005B6800FD000000007151"
                   "03F2D40406"
                   "58BA022A3132383080141004D9");
    c.recordedBaud = 9600;
    c.flashSize = 4096;
    c.eraseAnswer = hex("030C00001701A0E0");
    c.rc = points(kStc15Round1, "030A044F059E062008B90B5C0C6A117E16791377"
                                "1AB1");
    return c;
}

StcSeriesSim::Config StcSeriesSim::Config::iap15f2k61s2()
{
    // real-chips/recorded/iap15f2k61s2.txt (BSL 7.1.4S, 9600 Bd, never trimmed: FF FF FF FF).
    Config c;
    c.name = QStringLiteral("IAP15F2K61S2");
    c.dialect = Dialect::Stc15;
    c.status = hex("5087D3759CF53B17FFFFFFFFFF09810000715300F44904"
                   "06589C020E14171919"
                   "00F4F404D2");
    c.recordedBaud = 9600;
    c.flashSize = 62464;
    c.eraseAnswer = hex("030D000021022632");
    c.rc = points(kStc15Round1, "0337049A0602066B09270BE80D0A125A179B148F"
                                "1C96");
    return c;
}

StcSeriesSim::Config StcSeriesSim::Config::stc15w4k56s4()
{
    // real-chips/recorded/stc15w4k56s4.txt (BSL 7.3.4T, 2400 Bd, never trimmed; 5A A5 frames).
    Config c;
    c.name = QStringLiteral("STC15W4K56S4");
    c.dialect = Dialect::Stc15;
    c.status = hex("508DFF7396F57B9FFFFFFFFFFF27ED0000735400F528040670960215191C1E2300"
                   "ECE004D7F873BFFFFF15092560");
    c.recordedBaud = 2400;
    c.flashSize = 57344;
    c.eraseAnswer = hex("03F52800A5032749");
    c.rc = points(kStc15Round1, "0D2112BC183E1A0524FA2FB334D14A525EC052DB"
                                "731A");
    return c;
}

StcSeriesSim::Config StcSeriesSim::Config::stc8a8k64s4a12()
{
    // real-chips/recorded/stc8a8k64s4a12.txt (BSL 7.3.9U, 2400 Bd, RC at 23.989 MHz).
    Config c;
    c.name = QStringLiteral("STC8A8K64S4A12");
    c.dialect = Dialect::Stc8;
    c.status = hex("50016E0BD0780001FFFF8BBFFF2843F7FE735500F62809"
                   "85E35F8007202020010000FE053A"
                   "17052591FF");
    c.recordedBaud = 2400;
    c.flashSize = 65024;
    c.eraseAnswer = hex("03F62802BC2698DF");
    c.rc = points("00001700"
                  "2E004500"
                  "5C007300"
                  "8A00A100"
                  "B800CF00"
                  "E600FF00",
                  "37493B8D"
                  "3FE04457"
                  "489E4D06"
                  "51355594"
                  "59CF5DDA"
                  "623C66DA");
    // Round 2 at trim 8A: 5159, 5171, 5177, 5162 for ranges 00..03.
    c.rangeFactor = {1.0, 20849.0 / 20825.0, 20855.0 / 20825.0, 20834.0 / 20825.0};
    return c;
}

std::optional<StcSeriesSim::Config> StcSeriesSim::Config::forSeries(QStringView name)
{
    if (name.compare(u"stc12", Qt::CaseInsensitive) == 0) return stc12c5a60s2();
    if (name.compare(u"stc15", Qt::CaseInsensitive) == 0) return stc15w4k56s4();
    if (name.compare(u"stc8", Qt::CaseInsensitive) == 0) return stc8a8k64s4a12();
    return std::nullopt;
}

// ---- The chip --------------------------------------------------------------------------------

StcSeriesSim::StcSeriesSim(Config config)
    : config_(std::move(config)), status_(config_.status),
      flash_(config_.flashSize, char(config_.oldContents))
{
    // STC12 counts: f * 7 / (12 * h) for the chip's clock f; the recorded ones were measured at
    // the recording's rate.
    if (stc12() && config_.recordedBaud > 0 && config_.handshakeBaud != config_.recordedBaud &&
        status_.size() > 16) {
        for (int i = 0; i < 8; ++i) {
            const double count =
                double(be16(status_, 1 + 2 * i)) * config_.recordedBaud / config_.handshakeBaud;
            const auto c = quint16(std::clamp<double>(std::round(count), 0, 0xFFFF));
            status_[1 + 2 * i] = char(c >> 8);
            status_[2 + 2 * i] = char(c & 0xFF);
        }
    }
}

QList<StcSeriesSim::Frame> StcSeriesSim::frames() const
{
    auto guard = lock();
    return frames_;
}

QByteArray StcSeriesSim::flash() const
{
    auto guard = lock();
    return flash_;
}

QByteArray StcSeriesSim::statusPayload() const
{
    auto guard = lock();
    return status_;
}

bool StcSeriesSim::v72() const
{
    return status_.size() > 17 && quint8(status_[17]) >= 0x72;
}

double StcSeriesSim::rcCount(quint8 trim, quint8 range) const
{
    // STC8: the range byte is a fine adjust of a few counts (recorded round 2).
    double factor = 1.0;
    if (config_.dialect == Dialect::Stc8) {
        factor = range < config_.rangeFactor.size() ? config_.rangeFactor[range] : 1.0;
        range = 0;
    }
    QList<RcPoint> pts;
    for (const RcPoint &p : config_.rc)
        if (p.range == range) pts.append(p);
    if (pts.size() < 2) return 0;
    std::sort(pts.begin(), pts.end(),
              [](const RcPoint &a, const RcPoint &b) { return a.trim < b.trim; });
    // Piecewise linear through the recorded points, straight on beyond the ends.
    qsizetype i = 0;
    while (i + 2 < pts.size() && trim > pts[i + 1].trim)
        ++i;
    const RcPoint &a = pts[i], &b = pts[i + 1];
    const double count =
        a.count + double(b.count - a.count) * (double(trim) - a.trim) / double(b.trim - a.trim);
    return count * factor;
}

quint16 StcSeriesSim::countFor(quint8 trim, quint8 range) const
{
    // The chip counts its RC clock against half the handshake rate it measured
    // (CLOCK = COUNTER * BAUD / 2, stc15-protocol notes; the same unit on the STC8).
    const double c = rcCount(trim, range) * config_.recordedBaud / config_.handshakeBaud;
    return quint16(std::clamp<double>(std::round(c), 0, 0xFFFF));
}

QByteArray StcSeriesSim::frameOf(quint8 direction, QByteArrayView payload) const
{
    const int cs = checksumBytes();
    const qsizetype length = 3 + payload.size() + cs + 1;
    QByteArray f;
    f.append(char(kStart1)).append(char(kStart2)).append(char(direction));
    f.append(char(length >> 8)).append(char(length & 0xFF));
    f.append(payload);
    quint32 sum = 0;
    for (qsizetype i = 2; i < f.size(); ++i)
        sum += quint8(f[i]);
    if (cs == 2) f.append(char((sum >> 8) & 0xFF));
    f.append(char(sum & 0xFF));
    f.append(char(kEnd));
    return f;
}

QByteArray StcSeriesSim::answer(QByteArrayView payload) const
{
    return frameOf(kChip, payload);
}

void StcSeriesSim::resetState()
{
    state_ = State::Sync;
    syncRun_ = 0;
    frame_.clear();
    frameTotal_ = 0;
    pendingRound_.clear();
}

QByteArray StcSeriesSim::process(QByteArrayView bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        if (silenced()) break;
        out += takeByte(quint8(c));
    }
    return out;
}

QByteArray StcSeriesSim::takeByte(quint8 b)
{
    switch (state_) {
    case State::Sync:
        // The chip measures 7F pulses and then sends its status packet (every recording).
        if (b != kSync) {
            protocolError(
                QStringLiteral("byte %1 instead of the sync pulse 7F").arg(spaced({&b, 1})));
            syncRun_ = 0;
            return {};
        }
        if (++syncRun_ < config_.syncBytes) return {};
        syncRun_ = 0;
        if (auto f = faultAt(int(Step::Status))) return faultAnswer(*f, {});
        state_ = State::Hunt;
        return answer(status_);
    case State::Hunt:
        if (b == kStart1) {
            frame_ = QByteArray(1, char(b));
            frameTotal_ = 0;
            state_ = State::Frame;
        } else if (b == kCalibrationPulse && !pendingRound_.isEmpty()) {
            // A trim round is answered once the chip has measured FE pulses with the trims
            // (stc15-protocol notes; 11-15 pulses in the captures, one suffices here).
            const QByteArray round = std::exchange(pendingRound_, {});
            QByteArray counts = round.left(2);
            for (qsizetype i = 2; i + 1 < round.size(); i += 2) {
                const quint16 c = countFor(quint8(round[i]), quint8(round[i + 1]));
                counts.append(char(c >> 8)).append(char(c & 0xFF));
            }
            return answer(counts);
        } else if (b != kSync && b != kCalibrationPulse) {
            protocolError(QStringLiteral("stray byte %1 between frames").arg(spaced({&b, 1})));
        }
        return {};
    case State::Frame: {
        frame_.append(char(b));
        const qsizetype n = frame_.size();
        if ((n == 2 && b != kStart2) || (n == 3 && b != kHost)) {
            protocolError(QStringLiteral("frame start %1").arg(spaced(frame_)));
            state_ = State::Hunt;
            return {};
        }
        if (n == 5) {
            frameTotal_ = qsizetype(be16(frame_, 3)) + 2;
            if (frameTotal_ < 7 + checksumBytes() || frameTotal_ > kMaxFrame) {
                protocolError(
                    QStringLiteral("frame length field %1").arg(spaced(frame_.sliced(3))));
                state_ = State::Hunt;
            }
            return {};
        }
        if (n < 5 || n < frameTotal_) return {};
        state_ = State::Hunt;
        const qsizetype sumAt = n - 1 - checksumBytes();
        quint32 sum = 0;
        for (qsizetype i = 2; i < sumAt; ++i)
            sum += quint8(frame_[i]);
        const quint32 got = checksumBytes() == 2 ? be16(frame_, sumAt) : quint8(frame_[sumAt]);
        if (quint8(frame_[n - 1]) != kEnd ||
            got != (sum & (checksumBytes() == 2 ? 0xFFFF : 0xFF))) {
            protocolError(QStringLiteral("frame %1: bad checksum or end byte").arg(spaced(frame_)));
            return {};
        }
        return carryOut(frame_.sliced(5, sumAt - 5));
    }
    case State::Running:
        return {};
    }
    return {};
}

QByteArray StcSeriesSim::carryOut(const QByteArray &p)
{
    const quint8 cmd = quint8(p[0]);
    const qsizetype n = p.size();
    const bool s12 = stc12(), a = config_.dialect == Dialect::Stc12A;
    const qsizetype magic = v72() ? 2 : 0; // 5A A5 in the frames of boot loaders 7.2 and later
    auto refuse = [&](const QString &why) {
        protocolError(
            QStringLiteral("frame %1: %2").arg(spaced(p.first(std::min<qsizetype>(n, 8))), why));
        return QByteArray();
    };
    Step step = Step::Other;
    bool sizeOk = false;
    // Frame sizes each dialect takes (the recordings' host frames; stc-protocols notes 4-7).
    switch (cmd) {
    case 0x50:
        step = Step::Handshake;
        sizeOk = a ? n == 1 : n == 7;
        break;
    case 0x80:
        step = Step::Handshake;
        sizeOk = a && n == 7;
        break;
    case 0x8F:
        step = Step::RateFrame;
        sizeOk = s12 && n == 7;
        break;
    case 0x8E:
        step = Step::RateFrame;
        sizeOk = s12 && n == 6;
        break;
    case 0x84:
        step = Step::Erase;
        sizeOk = s12 && n == 134;
        break;
    case 0x69:
        step = Step::Options;
        sizeOk = config_.dialect == Dialect::Stc12 && n == 7;
        break;
    case 0x8D:
        step = Step::Options;
        sizeOk = s12 && n == (a ? 33 : 21);
        break;
    case 0x82:
        step = Step::End;
        sizeOk = config_.dialect != Dialect::Stc8 && n == 1;
        break;
    case 0xFF:
        step = Step::End;
        sizeOk = config_.dialect == Dialect::Stc8 && n == 1;
        break;
    case 0x00:
        if (s12) {
            step = Step::Block;
            sizeOk = n == 7 + 128 && be16(p, 5) == 128;
        } else {
            step = Step::Calibration;
            sizeOk = n >= 4 && n == 2 + 2 * qsizetype(quint8(p[1]));
        }
        break;
    case 0x01:
        step = Step::RateFrame;
        sizeOk = !s12 && n >= 6;
        break;
    case 0x05:
        step = Step::Handshake;
        sizeOk = !s12 && n == 1 + 2 * magic;
        break;
    case 0x03:
        step = Step::Erase;
        sizeOk = !s12 && n == 2 + (magic ? 3 : 0);
        break;
    case 0x22:
    case 0x02:
        step = Step::Block;
        sizeOk = !s12 && (n == 3 + magic + 64 || n == 3 + magic + 128);
        break;
    case 0x07:
        step = Step::Options;
        sizeOk = !s12 && magic && n == 5;
        break;
    case 0x04:
        step = Step::Options;
        sizeOk = !s12 && n == 3 + magic + (config_.dialect == Dialect::Stc8 ? 40 : 64);
        break;
    default:
        break;
    }
    if (!sizeOk) return refuse(QStringLiteral("not a frame of this boot loader (%1 bytes)").arg(n));
    if (magic &&
        (cmd == 0x05 || cmd == 0x03 || cmd == 0x02 || cmd == 0x22 || cmd == 0x04 || cmd == 0x07)) {
        if (be16(p, 3) != 0x5AA5) return refuse(QStringLiteral("5A A5 missing"));
    }
    frames_.append({cmd, p.mid(1)});
    if (auto f = faultAt(int(step))) return faultAnswer(*f, {});

    switch (cmd) {
    case 0x50:
        // STC12: 8F at the handshake rate (stc12c5a60s2.txt answer 2); STC12Cx052: 10 ...
        // (stc12c2052ad.txt answer 14).
        return answer(a ? config_.optionAnswer : hex("8F"));
    case 0x80: // stc12c2052ad.txt answers 4-7
        return answer(hex("80"));
    case 0x8F:
    case 0x8E: {
        // Echoed at the new rate (stc12c5a60s2.txt answers 3-4, stc12c2052ad.txt 2-3); the STC12
        // answers the switch with 84 in place of 8E.
        delayAnswer(config_.baudSwitchDelay);
        QByteArray echo = p;
        if (cmd == 0x8E && !a) echo[0] = char(0x84);
        return answer(echo);
    }
    case 0x84: // erase: 80 (stc12c2052ad.txt answer 8), 00 (stc12c5a60s2.txt answer 5)
        flash_.fill(char(0xFF));
        return answer(a ? hex("80") : config_.eraseAnswer);
    case 0x00: {
        if (!s12) {
            // A trim round: answered after the FE pulses that follow it.
            pendingRound_ = p;
            return {};
        }
        // 80/00 and the 8-bit sum of the 128 bytes (stc12c2052ad.txt answers 9-12; the STC12
        // trace answers 00 03, 00 00 for its blocks).
        const quint16 address = be16(p, 3);
        if (address + 128 > flash_.size()) return refuse(QStringLiteral("beyond the flash"));
        quint8 sum = 0;
        for (int i = 0; i < 128; ++i) {
            flash_[address + i] = char(quint8(flash_[address + i]) & quint8(p[7 + i]));
            sum = quint8(sum + quint8(p[7 + i]));
        }
        return answer(QByteArray(1, a ? char(0x80) : '\0') + char(sum));
    }
    case 0x69: // stc12c5a60s2.txt answer 10
        return answer(hex("8D"));
    case 0x8D: {
        // The options come back in the next status packet.
        status_.replace(23, 3, p.mid(1, 3));
        status_[a ? 29 : 27] = p[a ? 5 : 4];
        if (a) return answer(hex("80"));       // stc12c2052ad.txt answer 13 (wire frame)
        QByteArray ans = config_.optionAnswer; // stc12c5a60s2.txt answer 11
        ans.replace(1, 4, p.mid(1, 4));
        return answer(ans);
    }
    case 0x82:
    case 0xFF:
        // No answer read by stcgal; the STC12Cx052 answered 80 (stc12c2052ad.txt answer 15).
        state_ = State::Running;
        return a ? answer(hex("80")) : QByteArray();
    case 0x01: // 01 at the old rate (stc15l104w.txt, stc8a8k64s4a12.txt)
        return answer(hex("01"));
    case 0x05: // stc15l104w.txt answer 6
        return answer(hex("05"));
    case 0x03: // 03 and the 7-byte UID (every STC15/STC8 recording)
        flash_.fill(char(0xFF));
        return answer(config_.eraseAnswer);
    case 0x22:
    case 0x02: {
        const quint16 address = be16(p, 1);
        const QByteArray data = p.mid(3 + magic);
        if (address + data.size() > flash_.size())
            return refuse(QStringLiteral("beyond the flash"));
        for (qsizetype i = 0; i < data.size(); ++i)
            flash_[address + i] = char(quint8(flash_[address + i]) & quint8(data[i]));
        return answer(hex("0254")); // 02 54 (stc15l104w.txt answers 8-15)
    }
    case 0x07: // stc15w4k56s4.txt, stc8a8k64s4a12.txt
        return answer(hex("0754"));
    case 0x04: {
        const QByteArray b = p.mid(3 + magic);
        if (config_.dialect == Dialect::Stc8) {
            status_.replace(1, 4, b.mid(24, 4)); // frequency
            status_.replace(5, 3, b.mid(28, 3)); // trim, range, divider
            status_[9] = b[32];
            status_.replace(10, 2, b.mid(36, 2));
            status_.replace(15, 2, b.mid(38, 2));
        } else {
            for (int i = 0; i < 4; ++i)
                status_[8 + i] = b[23 + 2 * i];
            status_.replace(5, 3, b.mid(61, 3));
            status_[12] = b[31];
            if (status_.size() > 37) status_[37] = b[55];
        }
        return answer(hex("0454"));
    }
    default:
        return {};
    }
}

} // namespace sim
