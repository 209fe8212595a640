#include "sim/Board.h"

namespace sim {

namespace {

QString hex32(quint32 value)
{
    return QStringLiteral("0x%1").arg(QString::number(value, 16).toUpper().rightJustified(8, '0'));
}

// Unit numbers as runs: "0-9, 12".
QString unitRanges(const QList<int> &units)
{
    QStringList runs;
    for (qsizetype i = 0; i < units.size();) {
        qsizetype j = i;
        while (j + 1 < units.size() && units[j + 1] == units[j] + 1)
            ++j;
        runs << (j == i ? QString::number(units[i])
                        : QStringLiteral("%1-%2").arg(units[i]).arg(units[j]));
        i = j + 1;
    }
    return runs.join(QStringLiteral(", "));
}

// A board of one family: the chip and how its command log reads. The board runs for hours:
// what it has narrated is dropped from the chip's log, so a session leaves nothing behind.
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
        chip_.forgetCommands();
        QStringList lines;
        for (const Entry &e : all)
            lines << describe(e);
        return lines;
    }

private:
    Chip chip_;
    Log log_;
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

void VirtualBoard::hostOpened()
{
    if (chip().hostBytesTaken() > 0) resetChip(QStringLiteral("-- reset: the port was opened"));
}

void VirtualBoard::reset()
{
    resetChip(QStringLiteral("-- reset"));
}

void VirtualBoard::resetChip(const QString &why)
{
    chip().reset();
    fresh_ = true;
    if (narrator_) narrator_(why);
}

std::unique_ptr<VirtualBoard> VirtualBoard::stcSeries(StcSeriesSim::Config config)
{
    return std::make_unique<FamilyBoard<StcSeriesSim, StcSeriesSim::Frame>>(std::move(config),
                                                                            &StcSeriesSim::frames);
}

QByteArray VirtualBoard::feed(QByteArrayView bytesFromHost)
{
    BootLoaderSim &c = chip();
    if (fresh_.exchange(false)) ++sessions_;
    const QByteArray answer = c.feed(bytesFromHost);
    // Taken whether or not anyone listens, so the logs never grow.
    const QStringList commands = newCommands();
    const QStringList notes = c.takeNotes();
    const QStringList errors = c.protocolErrors();
    if (!errors.isEmpty()) c.forgetProtocolErrors();
    if (narrator_) {
        for (const QString &line : commands)
            narrator_(line);
        for (const QString &line : notes)
            narrator_(QStringLiteral("-- %1").arg(line));
        for (const QString &line : errors)
            narrator_(QStringLiteral("!! %1").arg(line));
    }
    return answer;
}

std::chrono::microseconds VirtualBoard::answerDelay() const
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
    case 0x44: {
        const QString name =
            command.code == 0x43 ? QStringLiteral("43 Erase") : QStringLiteral("44 Extended Erase");
        const bool one = command.units.size() == 1;
        const QString unit = command.sectors
                                 ? (one ? QStringLiteral("sector") : QStringLiteral("sectors"))
                                 : (one ? QStringLiteral("page") : QStringLiteral("pages"));
        return QStringLiteral("%1: %2%3 %4")
            .arg(name, command.length < 0 ? QStringLiteral("all ") : QString(), unit,
                 unitRanges(command.units));
    }
    case 0x63:
        return QStringLiteral("63 Write Protect");
    case 0x73:
        return QStringLiteral("73 Write Unprotect");
    case 0x82:
        return QStringLiteral("82 Readout Protect");
    case 0x92:
        return QStringLiteral("92 Readout Unprotect");
    case 0xA1:
        return QStringLiteral("A1 Get Checksum %1, %2 bytes")
            .arg(hex32(command.address))
            .arg(command.length);
    default:
        return QStringLiteral("%1").arg(code);
    }
}

QString describe(const LpcSim::Command &command)
{
    return QStringLiteral("%1 -> %2")
        .arg(QString::fromLatin1(command.line),
             command.answer.isEmpty() ? QString::number(command.code)
                                      : QString::fromLatin1(command.answer));
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
