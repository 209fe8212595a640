#include "logic/HexText.h"

#include <algorithm>

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

namespace {

// Two digits a byte, each pair followed by separator when one is given.
QString hexDigits(QByteArrayView bytes, QChar separator)
{
    const qsizetype width = separator.isNull() ? 2 : 3;
    QString s(bytes.size() * width, Qt::Uninitialized);
    QChar *out = s.data();
    for (char c : bytes) {
        const auto b = quint8(c);
        *out++ = QLatin1Char(kDigits[b >> 4]);
        *out++ = QLatin1Char(kDigits[b & 0x0F]);
        if (width == 3) *out++ = separator;
    }
    return s;
}

} // namespace

QString toHex(QByteArrayView bytes)
{
    return hexDigits(bytes, QChar());
}

QString toSpacedHex(QByteArrayView bytes)
{
    return hexDigits(bytes, QLatin1Char(' '));
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

HexRecordStatus parseHexRecord(QByteArrayView text, HexRecord &out)
{
    if (text.isEmpty() || text.front() != ':') return HexRecordStatus::NotARecord;
    // The digits run from position 1 to the first blank or line end; only blanks and line
    // ends may follow them.
    qsizetype digits = 1;
    while (digits < text.size() && digitValue(char16_t(quint8(text[digits]))) >= 0)
        ++digits;
    for (qsizetype i = digits; i < text.size(); ++i)
        if (!isHexBlank(text[i])) return HexRecordStatus::Malformed;
    const QByteArrayView hex = text.sliced(1, digits - 1);
    if (hex.size() > kHexMaxRecordDigits) return HexRecordStatus::Malformed;
    if (hex.size() < 2) return HexRecordStatus::CutShort;

    const auto byteAt = [&hex](qsizetype i) {
        return quint8(digitValue(char16_t(quint8(hex[2 * i]))) << 4 |
                      digitValue(char16_t(quint8(hex[2 * i + 1]))));
    };
    const qsizetype count = byteAt(0);
    const qsizetype needed = kHexRecordOverhead + 2 * count;
    if (hex.size() < needed) return HexRecordStatus::CutShort;
    if (hex.size() > needed) return HexRecordStatus::Malformed;
    quint8 sum = 0;
    for (qsizetype i = 0; i < needed / 2; ++i)
        sum += byteAt(i);
    if (sum != 0) return HexRecordStatus::BadChecksum;

    constexpr qsizetype kOffsetByte = 1, kTypeByte = 3, kDataByte = 4;
    const quint32 type = byteAt(kTypeByte);
    if ((type == kHexSegmentBase || type == kHexLinearBase) && count != 2)
        return HexRecordStatus::Malformed;
    out.type = type;
    out.offset = quint32(byteAt(kOffsetByte)) << 8 | byteAt(kOffsetByte + 1);
    out.value = 0;
    out.data.clear();
    if (type == kHexData) {
        out.data.resize(count);
        for (qsizetype i = 0; i < count; ++i)
            out.data[i] = char(byteAt(kDataByte + i));
    } else {
        out.offset = 0;
        if (type == kHexSegmentBase || type == kHexLinearBase)
            out.value = quint32(byteAt(kDataByte)) << 8 | byteAt(kDataByte + 1);
    }
    return HexRecordStatus::Ok;
}

HexRecordStatus parseHexRecord(QStringView text, HexRecord &out)
{
    // A character beyond Latin-1 is no digit: it becomes one that is no digit either.
    QByteArray latin1(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        latin1[i] = text[i].unicode() < 0x80 ? char(text[i].unicode()) : '\x7F';
    return parseHexRecord(QByteArrayView(latin1), out);
}

void placeData(QByteArray &image, qsizetype offset, QByteArrayView data, char fill)
{
    const qsizetype end = offset + data.size();
    if (end > image.size()) {
        const qsizetype old = image.size();
        image.resize(end);
        std::fill(image.begin() + old, image.end(), fill);
    }
    std::copy(data.begin(), data.end(), image.begin() + offset);
}

} // namespace hextext
