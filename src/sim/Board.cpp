#include "sim/Board.h"

namespace sim {

namespace {

QString hex32(quint32 value)
{
    return QStringLiteral("0x%1").arg(QString::number(value, 16).toUpper().rightJustified(8, '0'));
}

// A board of one family: the chip and how its command log reads.
template <class Chip, class Entry> class FamilyBoard final : public VirtualBoard
{
public:
    using Log = QList<Entry> (Chip::*)() const;
    FamilyBoard(typename Chip::Config config, Log log) : chip_(std::move(config)), log_(log) {}

    QByteArray flash() const override { return chip_.flash(); }
    BootLoaderSim &chip() override { return chip_; }
    const BootLoaderSim &chip() const override { return chip_; }

protected:
    QStringList newCommands() override
    {
        const QList<Entry> all = (chip_.*log_)();
        if (all.size() < seen_) seen_ = 0; // the log was restarted
        QStringList lines;
        for (qsizetype i = seen_; i < all.size(); ++i)
            lines << describe(all[i]);
        seen_ = all.size();
        return lines;
    }

private:
    Chip chip_;
    Log log_;
    qsizetype seen_ = 0;
};

} // namespace

std::unique_ptr<VirtualBoard> VirtualBoard::stm32(Stm32Sim::Config config)
{
    return std::make_unique<FamilyBoard<Stm32Sim, Stm32Sim::Command>>(std::move(config),
                                                                      &Stm32Sim::commands);
}

std::unique_ptr<VirtualBoard> VirtualBoard::lpc(LpcSim::Config config)
{
    return std::make_unique<FamilyBoard<LpcSim, LpcSim::Command>>(std::move(config),
                                                                  &LpcSim::commands);
}

std::unique_ptr<VirtualBoard> VirtualBoard::stc(StcSim::Config config)
{
    return std::make_unique<FamilyBoard<StcSim, StcSim::Frame>>(std::move(config), &StcSim::frames);
}

std::unique_ptr<VirtualBoard> VirtualBoard::stcSeries(StcSeriesSim::Config config)
{
    return std::make_unique<FamilyBoard<StcSeriesSim, StcSeriesSim::Frame>>(std::move(config),
                                                                            &StcSeriesSim::frames);
}

QByteArray VirtualBoard::feed(QByteArrayView bytesFromHost)
{
    BootLoaderSim &c = chip();
    const Clock::time_point now = Clock::now();
    if (!quietFrom_ || now - *quietFrom_ >= sessionGap_) {
        if (quietFrom_ && c.hostBytesTaken() > 0) {
            c.reset();
            if (narrator_) narrator_(QStringLiteral("-- reset: the line was quiet"));
        }
        ++sessions_;
    }
    const QByteArray answer = c.feed(bytesFromHost);
    quietFrom_ = now + c.answerDelay() + answer.size() * perByte_;
    if (narrator_) {
        for (const QString &line : newCommands())
            narrator_(line);
        const QStringList errors = c.protocolErrors();
        for (qsizetype i = std::min(errorsSeen_, errors.size()); i < errors.size(); ++i)
            narrator_(QStringLiteral("!! %1").arg(errors[i]));
        errorsSeen_ = errors.size();
    }
    return answer;
}

std::chrono::milliseconds VirtualBoard::answerDelay() const
{
    return chip().answerDelay();
}

QString describe(const Stm32Sim::Command &command)
{
    const QString code = QStringLiteral("%1").arg(command.code, 2, 16, QLatin1Char('0')).toUpper();
    switch (command.code) {
    case Stm32Sim::kSync:
        return QStringLiteral("7F synchronised");
    case 0x00:
        return QStringLiteral("00 Get");
    case 0x01:
        return QStringLiteral("01 Get Version");
    case 0x02:
        return QStringLiteral("02 Get ID");
    case 0x11:
        return QStringLiteral("11 Read Memory %1, %2 bytes")
            .arg(hex32(command.address))
            .arg(command.length);
    case 0x21:
        return QStringLiteral("21 Go %1").arg(hex32(command.address));
    case 0x31:
        return QStringLiteral("31 Write Memory %1, %2 bytes")
            .arg(hex32(command.address))
            .arg(command.length);
    case 0x43:
    case 0x44:
        return command.length < 0
                   ? QStringLiteral("%1 Erase: all").arg(code)
                   : QStringLiteral("%1 Erase: %2 pages").arg(code).arg(command.length);
    case 0x63:
        return QStringLiteral("63 Write Protect");
    case 0x73:
        return QStringLiteral("73 Write Unprotect");
    case 0x82:
        return QStringLiteral("82 Readout Protect");
    case 0x92:
        return QStringLiteral("92 Readout Unprotect");
    default:
        return QStringLiteral("%1").arg(code);
    }
}

QString describe(const LpcSim::Command &command)
{
    return QStringLiteral("%1 -> %2").arg(QString::fromLatin1(command.line)).arg(command.code);
}

QString describe(const StcSim::Frame &frame)
{
    const QString code = QStringLiteral("%1").arg(frame.command, 2, 16, QLatin1Char('0')).toUpper();
    switch (frame.command) {
    case 0x8F:
    case 0x8E:
        return QStringLiteral("%1 baud rate").arg(code);
    case 0x80:
        return QStringLiteral("80 control");
    case 0x84:
        return QStringLiteral("84 erase");
    case 0x00: {
        const auto byte = [&](int i) {
            return i < frame.payload.size() ? quint8(frame.payload[i]) : 0;
        };
        return QStringLiteral("00 data at 0x%1, %2 bytes")
            .arg(quint16(byte(2) << 8 | byte(3)), 4, 16, QLatin1Char('0'))
            .arg(std::max<qsizetype>(frame.payload.size() - 6, 0));
    }
    case 0x8D:
        return QStringLiteral("8D options");
    case 0x50:
        return QStringLiteral("50 options follow-up");
    case 0x82:
        return QStringLiteral("82 end");
    default:
        return code;
    }
}

QString describe(const StcSeriesSim::Frame &frame)
{
    const QString code = QString::number(frame.command, 16).rightJustified(2, u'0').toUpper();
    return QStringLiteral("%1, %2 bytes").arg(code).arg(frame.payload.size());
}

} // namespace sim

#include <cmath>

namespace sim {

namespace {

constexpr qsizetype kExampleSize = 8 * 1024;
constexpr quint32 kExampleStack = Stm32Sim::kRamBase + 20 * 1024;
constexpr quint32 kExampleReset = 0x08000100; // after the 64-word vector table

void putWord(QByteArray &image, qsizetype at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        image[at + i] = char(value >> (8 * i));
}

QByteArray hexRecord(quint8 type, quint16 offset, QByteArrayView data)
{
    QByteArray record;
    record.append(char(data.size())).append(char(offset >> 8)).append(char(offset));
    record.append(char(type)).append(data.data(), data.size());
    quint8 sum = 0;
    for (const char c : record)
        sum += quint8(c);
    record.append(char(quint8(-sum)));
    return ':' + record.toHex().toUpper() + "\r\n";
}

} // namespace

QByteArray exampleImage()
{
    QByteArray image(kExampleSize, '\0');
    putWord(image, 0, kExampleStack);
    putWord(image, 4, kExampleReset | 1); // Thumb
    for (qsizetype v = 2; v < 64; ++v)    // every other exception ends in the same loop
        putWord(image, v * 4, kExampleReset | 1);
    const qsizetype code = kExampleReset - Stm32Sim::kFlashBase;
    image[code] = char(0xFE); // b . (0xE7FE)
    image[code + 1] = char(0xE7);
    const qsizetype table = code + 16;
    const qsizetype entries = (kExampleSize - table) / 2;
    for (qsizetype i = 0; i < entries; ++i) {
        const double angle = 2 * M_PI * double(i) / double(entries);
        const auto value = quint16(std::lround(32767.5 + 32767.0 * std::sin(angle)));
        image[table + 2 * i] = char(value);
        image[table + 2 * i + 1] = char(value >> 8);
    }
    return image;
}

QByteArray exampleHex()
{
    const QByteArray image = exampleImage();
    QByteArray text = hexRecord(4, 0, QByteArray::fromHex("0800"));
    for (qsizetype at = 0; at < image.size(); at += 16)
        text +=
            hexRecord(0, quint16(at),
                      QByteArrayView(image).sliced(at, std::min<qsizetype>(16, image.size() - at)));
    return text + hexRecord(1, 0, {});
}

} // namespace sim
