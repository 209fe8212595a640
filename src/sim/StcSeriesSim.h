// Simulated boot loaders of the STC12, STC15 and STC8 chips, each answering as a recorded real
// chip did (stcgal's recordings, tests/recorded/*.txt; the dialects as described in the STC
// protocol notes: frames 46 B9 | 6A/68 | length | payload | checksum | 16, with a 2-byte
// checksum, or 1 byte on the STC12Cx052).
//
// After reset the chip counts sync bytes 7F; after syncBytes of them it sends the recorded
// status packet (STC12: its pulse counts rescaled when the configured handshake rate differs
// from the recording's). Then it takes the host's frames and answers them; a frame with a
// wrong start, direction, length, checksum or end byte is logged as a protocol error and
// ignored (no source shows a chip's reaction, so the chip stays silent). 7F bytes between
// frames are late sync pulses and are skipped; FE bytes are the calibration pulses the STC15
// and STC8 wait for before they answer a trim round.
//
// The rate changes of the dialect are followed as state only (a pty carries no rate); answers
// the chip sends at a new rate come after baudSwitchDelay, so the host has changed its rate.
// The flash is kept; erase fills it with FF; the option frame is kept and reported in the
// next status packet, with the frequency the host calibrated.
#pragma once

#include "sim/Device.h"

#include <QList>

namespace sim {

class StcSeriesSim : public BootLoaderSim
{
public:
    enum class Dialect { Stc12A, Stc12, Stc15, Stc8 };

    // A trim setting and the count a real chip answered for it (in units of half the
    // recording's handshake rate).
    struct RcPoint
    {
        quint8 trim;
        quint8 range;
        quint16 count;
    };

    struct Config
    {
        QString name;
        Dialect dialect = Dialect::Stc15;
        QByteArray status;           // payload of the recorded status packet
        qint32 recordedBaud = 0;     // handshake rate of the recording
        qint32 handshakeBaud = 2400; // the rate the chip measures on the host's 7F pulses
        qsizetype flashSize = 0;
        QByteArray eraseAnswer;  // recorded
        QByteArray optionAnswer; // recorded (STC12: 50 ..., STC12Cx052: the 10 ... answer to 50)
        QList<RcPoint> rc;       // recorded trim round 1 (STC15, STC8)
        // STC8: the fine adjust (range 00..03) as the count ratio to range 00, from the recorded
        // round 2.
        QList<double> rangeFactor;
        int syncBytes = 2;
        quint8 oldContents = 0xFF;
        std::chrono::milliseconds baudSwitchDelay{200};

        // The recorded chips.
        static Config stc12c2052ad();
        static Config stc12c5a60s2();
        static Config stc15l104w();
        static Config iap15f2k61s2();
        static Config stc15w4k56s4();
        static Config stc8a8k64s4a12();
        // The board of `tramelo simulate --device stc12|stc15|stc8`; nullopt for another name.
        static std::optional<Config> forSeries(QStringView name);
    };

    enum class Step {
        Status,
        Handshake,
        RateFrame,
        Calibration,
        Erase,
        Block,
        Options,
        End,
        Other
    };

    struct Frame
    {
        quint8 command = 0;
        QByteArray payload; // after the command byte
        bool operator==(const Frame &) const = default;
    };

    explicit StcSeriesSim(Config config);

    void failAt(Step step, Fault fault, int occurrence = 1)
    {
        planFault(static_cast<int>(step), fault, occurrence);
    }

    QList<Frame> frames() const;
    // Forgets the frame log (a board that serves for hours keeps only what it has not
    // narrated yet).
    void forgetCommands()
    {
        auto guard = lock();
        frames_.clear();
    }
    QByteArray flash() const;
    // The status packet's payload the chip sends at its next sync.
    QByteArray statusPayload() const;
    // The count the chip answers for a trim setting at the configured handshake rate.
    quint16 countFor(quint8 trim, quint8 range) const;
    // A frame in the chip's dialect (direction 68 for answers, 6A for host frames).
    QByteArray frameOf(quint8 direction, QByteArrayView payload) const;

    const Config &config() const { return config_; }

protected:
    QByteArray process(QByteArrayView bytes) override;
    void resetState() override;

private:
    enum class State { Sync, Hunt, Frame, Running };

    QByteArray takeByte(quint8 b);
    QByteArray carryOut(const QByteArray &payload);
    QByteArray answer(QByteArrayView payload) const;
    int checksumBytes() const { return config_.dialect == Dialect::Stc12A ? 1 : 2; }
    bool v72() const;
    bool stc12() const
    {
        return config_.dialect == Dialect::Stc12A || config_.dialect == Dialect::Stc12;
    }
    double rcCount(quint8 trim, quint8 range) const;

    const Config config_;
    QByteArray status_;
    QByteArray flash_;
    State state_ = State::Sync;
    int syncRun_ = 0;
    QByteArray frame_;
    qsizetype frameTotal_ = 0;
    QByteArray pendingRound_; // a trim round waiting for its FE pulse
    QList<Frame> frames_;
};

} // namespace sim
