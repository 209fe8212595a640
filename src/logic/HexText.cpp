#include "logic/HexText.h"

namespace hextext {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}

std::optional<quint32> parseField(QStringView text, qsizetype pos, int count)
{
    if (pos < 0 || count <= 0 || count > 8 || pos + count > text.size()) return std::nullopt;
    quint32 v = 0;
    for (int i = 0; i < count; ++i) {
        const int d = digitValue(text[pos + i].unicode());
        if (d < 0) return std::nullopt;
        v = (v << 4) | quint32(d);
    }
    return v;
}

QString toHex(QByteArrayView bytes)
{
    QString s(bytes.size() * 2, Qt::Uninitialized);
    QChar *out = s.data();
    for (char c : bytes) {
        const auto b = quint8(c);
        *out++ = QLatin1Char(kDigits[b >> 4]);
        *out++ = QLatin1Char(kDigits[b & 0x0F]);
    }
    return s;
}

QString toSpacedHex(QByteArrayView bytes)
{
    QString s(bytes.size() * 3, Qt::Uninitialized);
    QChar *out = s.data();
    for (char c : bytes) {
        const auto b = quint8(c);
        *out++ = QLatin1Char(kDigits[b >> 4]);
        *out++ = QLatin1Char(kDigits[b & 0x0F]);
        *out++ = QLatin1Char(' ');
    }
    return s;
}

QString byteHex(quint8 b)
{
    const QChar pair[2] = {QLatin1Char(kDigits[b >> 4]), QLatin1Char(kDigits[b & 0x0F])};
    return QString(pair, 2);
}

QByteArray fromHex(QStringView hex)
{
    QByteArray out;
    out.reserve(hex.size() / 2);
    for (qsizetype i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = digitValue(hex[i].unicode());
        const int lo = digitValue(hex[i + 1].unicode());
        out.append(char(hi < 0 || lo < 0 ? 0 : (hi << 4) | lo));
    }
    return out;
}

QByteArray filterHexBytes(QStringView text)
{
    QByteArray out;
    out.reserve(text.size() / 2);
    int pending = -1;
    for (QChar c : text) {
        const int d = digitValue(c.unicode());
        if (d < 0) continue;
        if (pending < 0) {
            pending = d;
        } else {
            out.append(char((pending << 4) | d));
            pending = -1;
        }
    }
    return out;
}

HexRecordStatus parseHexRecord(QStringView line, HexRecord &out)
{
    constexpr qsizetype kCountPos = 1, kOffsetPos = 3, kTypePos = 7, kDataPos = 9;
    if (line.isEmpty() || line.front() != u':') return HexRecordStatus::NotARecord;
    const auto count = parseField(line, kCountPos, 2);
    const auto type = parseField(line, kTypePos, 2);
    if (!count || !type) return HexRecordStatus::Malformed;
    out.type = *type;
    out.offset = 0;
    out.value = 0;
    out.data.clear();
    switch (*type) {
    case kHexData: {
        const auto offset = parseField(line, kOffsetPos, 4);
        if (!offset) return HexRecordStatus::Malformed;
        out.offset = *offset;
        out.data.resize(qsizetype(*count));
        for (qsizetype i = 0; i < out.data.size(); ++i) {
            const auto b = parseField(line, kDataPos + 2 * i, 2);
            if (!b) return HexRecordStatus::Malformed;
            out.data[i] = char(*b);
        }
        return HexRecordStatus::Ok;
    }
    case kHexSegmentBase:
    case kHexLinearBase: {
        const auto value = parseField(line, kDataPos, 4);
        if (!value) return HexRecordStatus::Malformed;
        out.value = *value;
        return HexRecordStatus::Ok;
    }
    default:
        return HexRecordStatus::Ok;
    }
}

} // namespace hextext
