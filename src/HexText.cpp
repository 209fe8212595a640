#include "HexText.h"

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

} // namespace hextext
