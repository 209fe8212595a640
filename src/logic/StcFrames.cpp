#include "logic/StcFrames.h"

#include "logic/Devices.h"

#include "logic/HexText.h"

#include <array>

namespace stc {

namespace {

struct ClockRow
{
    std::array<QStringView, 3> search; // unused slots are empty
    int clock;
    QStringView text;
    qint32 rate;
    qint64 frequency;
};

constexpr std::array<ClockRow, 6> kClockTable{{
    {{u"1C0014", u"280014", u"390014"}, 1, u"/时钟频率: 11.0592M", 115200, 11059200},
    {{u"1C0022", u"390022", {}}, 2, u"/时钟频率: 18.432M", 115200, 18432000},
    {{u"1C0029", u"390029", {}}, 3, u"/时钟频率: 22.1184M", 115200, 22118400},
    {{u"1C0045", u"390045", {}}, 4, u"/时钟频率: 36.864M", 115200, 36864000},
    {{u"1C0016", u"390016", u"3B0016"}, 5, u"/时钟频率: 12.000M", 38400, 12000000},
    {{u"1C002D", u"39002D", u"3B002D"}, 6, u"/时钟频率: 24.000M", 57600, 24000000},
}};

constexpr int kModelWithOwnFrames = 5;

// Version rule positions.
constexpr qsizetype kLongReplyChars = 56; // more than this: fixed byte positions
constexpr qsizetype kVersionDigitsByte = 20;
constexpr qsizetype kVersionCharByte = 21;
constexpr qsizetype kVersionDigitsFromEnd = 8;
constexpr qsizetype kVersionCharFromEnd = 7;
constexpr quint8 kGbkEuroByte = 0x80;
constexpr char16_t kEuroSign = u'\u20AC';

constexpr qsizetype kKilobyte = 1024;

QChar versionChar(QStringView rxText, qsizetype byteIndex)
{
    const auto v = hextext::parseField(rxText, byteIndex * 2, 2);
    if (!v || *v == 0x00) return QChar::ReplacementCharacter;
    if (*v < 0x80) return QChar(char16_t(*v));
    if (*v == kGbkEuroByte) return QChar(kEuroSign);
    return QChar::ReplacementCharacter;
}

} // namespace

QString StcStripText(QStringView text, QStringView pattern)
{
    QString s = text.toString();
    if (!pattern.isEmpty()) s.remove(pattern.toString());
    return s.trimmed();
}

QString StcChecksum(QStringView frameWithoutChecksum)
{
    const QString stripped = StcStripText(frameWithoutChecksum, u" ");
    quint8 sum = 1;
    for (char b : hextext::fromHex(stripped))
        sum = quint8(sum + quint8(b));
    return hextext::toHex(QByteArray(1, char(sum)));
}

QString StcDataFrame(int index, QStringView block)
{
    if (index < 0 || index >= kMaxBlocks || block.size() != kBlockHexChars) return {};
    for (QChar c : block)
        if (hextext::digitValue(c.unicode()) < 0) return {};
    const auto address = quint16(index * kBlockSize);
    QString frame;
    frame.reserve(kDataFrameSize * 2);
    frame += kDataFrameHead;
    const char addressBytes[] = {char(address >> 8), char(address & 0xFF)};
    frame += hextext::toHex(QByteArrayView(addressBytes, 2));
    frame += kDataFrameLength;
    frame += block.toString().toUpper();
    frame += StcChecksum(frame);
    frame += kFrameEndText;
    return frame;
}

int StcFindModel(QStringView lastFrame)
{
    int model = 0;
    // Every row found overwrites the result, so the last one found wins.
    for (const devices::StcModel &row : devices::stcModels())
        if (lastFrame.contains(row.code)) model = row.model;
    return model;
}

int StcFindClock(QStringView lastFrame)
{
    int clock = 0;
    for (const ClockRow &row : kClockTable)
        for (QStringView s : row.search)
            if (!s.isEmpty() && lastFrame.contains(s)) clock = row.clock;
    return clock;
}

QString StcModelName(int model)
{
    const devices::StcModel *row = devices::stcModel(model);
    return row ? row->name.toString() : QString();
}

QString StcClockText(int clock)
{
    for (const ClockRow &row : kClockTable)
        if (row.clock == clock) return row.text.toString();
    return {};
}

qint32 StcClockRate(int clock)
{
    for (const ClockRow &row : kClockTable)
        if (row.clock == clock) return row.rate;
    return 0;
}

qint64 StcClockFrequency(int clock)
{
    for (const ClockRow &row : kClockTable)
        if (row.clock == clock) return row.frequency;
    return 0;
}

QStringView StcStep1Frame(int model, int clock)
{
    if (model < 1 || model > 5) return {};
    switch (clock) {
    case 1:
        return model == kModelWithOwnFrames ? kStep1Clock1Model5 : kStep1Clock1Model1to4;
    case 2:
        return kStep1Clock2;
    case 3:
        return kStep1Clock3;
    case 4:
        return kStep1Clock4;
    case 5:
        return kStep1Clock5;
    case 6:
        return kStep1Clock6;
    default:
        return {};
    }
}

QStringView StcStep2Frame(int model, int clock)
{
    if (model < 1 || model > 5) return {};
    switch (clock) {
    case 1:
        return model == kModelWithOwnFrames ? kStep2Clock1Model5 : kStep2Clock1Model1to4;
    case 2:
        return kStep2Clock2;
    case 3:
        return kStep2Clock3;
    case 4:
        return kStep2Clock4;
    case 5:
        return kStep2Clock5;
    case 6:
        return kStep2Clock6;
    default:
        return {};
    }
}

QStringView StcControlFrame(int model)
{
    if (model >= 1 && model <= 4) return kControlModel1to4;
    if (model == 5) return kControlModel5;
    return {};
}

QStringView StcEraseFrame(int model)
{
    switch (model) {
    case 1:
    case 4:
        return kEraseModel1And4;
    case 2:
    case 3:
        return kEraseModel2And3;
    case 5:
        return kEraseModel5;
    default:
        return {};
    }
}

QStringView StcOptionFrame(QStringView clockModeCaption)
{
    return clockModeCaption == kDoubleSpeedCaption ? kOption6T : kOption12T;
}

QString StcVersionText(QStringView rxText)
{
    qsizetype digitsByte = 0;
    qsizetype charByte = 0;
    if (rxText.size() > kLongReplyChars) {
        digitsByte = kVersionDigitsByte;
        charByte = kVersionCharByte;
    } else {
        const qsizetype bytes = rxText.size() / 2;
        if (bytes < kVersionDigitsFromEnd) return {};
        digitsByte = bytes - kVersionDigitsFromEnd;
        charByte = bytes - kVersionCharFromEnd;
    }
    QString v;
    v.reserve(3);
    v += rxText.mid(digitsByte * 2, 2);
    v += versionChar(rxText, charByte);
    return v;
}

QString StcVersionDisplay(QStringView versionText)
{
    if (versionText.isEmpty()) return {};
    QString shown = versionText.left(1).toString();
    shown += u'.';
    shown += versionText.mid(1, 2);
    return shown;
}

bool StcReplyComplete(QStringView rxText)
{
    return rxText.endsWith(kFrameEndText);
}

bool StcReceiver::feed(QByteArrayView bytes)
{
    if (bytes.isEmpty()) return false;
    // Only the newest kMaxPendingChars characters can ever matter; take no more than that.
    const qsizetype keepBytes = std::min<qsizetype>(bytes.size(), kMaxPendingChars / 2);
    m_pending += hextext::toHex(bytes.last(keepBytes));
    if (m_pending.size() > kMaxPendingChars)
        m_pending.remove(0, m_pending.size() - kMaxPendingChars); // both even: whole bytes
    if (quint8(bytes.back()) != kFrameEnd) return false;
    m_lastFrame = m_pending;
    m_version = StcVersionText(m_lastFrame);
    m_pending.clear();
    return true;
}

std::optional<qsizetype> StcImageLength(QByteArrayView buffer)
{
    const qsizetype top = std::min<qsizetype>(kImageBufferSize, buffer.size()) - 1;
    for (qsizetype i = top; i >= 1; --i)
        if (buffer[i] != 0) return i + 1;
    return std::nullopt;
}

QString StcSizeLabel(qsizetype length)
{
    if (length < 0) length = 0;
    const QString remainder = QString::number(length % kKilobyte);
    return QStringLiteral("%1.%2 KB").arg(length / kKilobyte).arg(remainder.left(1));
}

QStringList StcSplitBlocks(QByteArrayView image)
{
    QStringList blocks;
    blocks.reserve((image.size() + kBlockSize - 1) / kBlockSize);
    for (qsizetype pos = 0; pos < image.size(); pos += kBlockSize) {
        QString block =
            hextext::toHex(image.sliced(pos, std::min<qsizetype>(kBlockSize, image.size() - pos)));
        while (block.size() < kBlockHexChars)
            block += u"00";
        blocks.append(block);
    }
    return blocks;
}

int StcProgress(int i, int n)
{
    if (n <= 0 || i < 0) return 0;
    const qint64 num = (qint64(i) + 1) * 100;
    qint64 q = num / n;
    const qint64 r2 = (num % n) * 2;
    if (r2 > n || (r2 == n && (q & 1))) ++q;
    return int(std::min<qint64>(q, 100));
}

} // namespace stc
