#include "support/Firmware.h"

#include <algorithm>

namespace firmware {

QByteArray pattern(qsizetype size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = char(quint8(x >> 16));
    }
    return out;
}

QByteArray patternWithoutZero(qsizetype size, quint32 seed)
{
    return pattern(size, seed).replace('\0', '\x01');
}

QByteArray lpcBootable(QByteArray image)
{
    if (image.size() < 32) return image;
    quint32 sum = 0;
    for (int i = 0; i < 8; ++i)
        if (i != 5) sum += qFromLittleEndian<quint32>(image.constData() + 4 * i);
    qToLittleEndian<quint32>(0u - sum, image.data() + 0x14);
    return image;
}

QByteArray hexRecord(int type, quint16 offset, QByteArrayView data)
{
    QByteArray raw;
    raw.append(char(data.size()));
    raw.append(char(offset >> 8));
    raw.append(char(offset & 0xFF));
    raw.append(char(type));
    raw.append(data.toByteArray());
    quint8 sum = 0;
    for (const char c : raw)
        sum = quint8(sum + quint8(c));
    raw.append(char(quint8(-sum)));
    return ':' + raw.toHex().toUpper() + "\r\n";
}

QByteArray linearBase(quint16 upper)
{
    return hexRecord(4, 0, QByteArray{} + char(upper >> 8) + char(upper & 0xFF));
}

QByteArray segmentBase(quint16 segment)
{
    return hexRecord(2, 0, QByteArray{} + char(segment >> 8) + char(segment & 0xFF));
}

QByteArray intelHex(const QList<std::pair<quint16, QByteArray>> &segments, int recordBytes)
{
    QByteArray text;
    for (const auto &[address, bytes] : segments)
        for (qsizetype pos = 0; pos < bytes.size(); pos += recordBytes) {
            const qsizetype n = std::min<qsizetype>(recordBytes, bytes.size() - pos);
            text += hexRecord(0, quint16(address + pos), QByteArrayView(bytes).sliced(pos, n));
        }
    return text + kEndOfFile;
}

QByteArray intelHex(const QByteArray &image, int recordBytes)
{
    return intelHex({{0, image}}, recordBytes);
}

QByteArray intelHexAt(QByteArrayView data, quint32 address, int recordBytes, bool baseFirst)
{
    QByteArray text;
    quint32 upper = baseFirst ? 0xFFFFFFFF : 0;
    qsizetype pos = 0;
    while (pos < data.size()) {
        const quint32 a = address + quint32(pos);
        if ((a >> 16) != upper) {
            upper = a >> 16;
            text += linearBase(quint16(upper));
        }
        const qsizetype n = std::min<qsizetype>(
            {qsizetype(recordBytes), data.size() - pos, qsizetype(0x10000 - (a & 0xFFFF))});
        text += hexRecord(0, quint16(a & 0xFFFF), data.sliced(pos, n));
        pos += n;
    }
    return text + kEndOfFile;
}

} // namespace firmware
