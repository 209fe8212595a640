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

QByteArray sRecord(int type, quint32 address, QByteArrayView data)
{
    static constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const int width = kAddressBytes[type];
    QByteArray body;
    body.append(char(width + data.size() + 1));
    for (int k = width - 1; k >= 0; --k)
        body.append(char(address >> (8 * k)));
    body.append(data.data(), data.size());
    quint8 sum = 0;
    for (const char c : body)
        sum = quint8(sum + quint8(c));
    body.append(char(quint8(~sum)));
    return "S" + QByteArray::number(type) + body.toHex().toUpper() + "\r\n";
}

QByteArray elfFile(const QList<ElfSegment> &segments, bool is64, bool bigEndian)
{
    QByteArray out;
    const auto put = [&](quint64 value, int bytes) {
        for (int k = 0; k < bytes; ++k) {
            const int shift = 8 * (bigEndian ? bytes - 1 - k : k);
            out.append(char(value >> shift));
        }
    };
    const int word = is64 ? 8 : 4;
    const int headerSize = is64 ? 64 : 52, entrySize = is64 ? 56 : 32;
    out.append("\x7f" "ELF", 4);
    out.append(char(is64 ? 2 : 1)).append(char(bigEndian ? 2 : 1)).append(char(1));
    out.append(QByteArray(9, '\0'));
    put(2, 2);                 // e_type: executable
    put(is64 ? 62 : 40, 2);    // e_machine: x86-64 or ARM (nothing here depends on it)
    put(1, 4);                 // e_version
    put(segments.isEmpty() ? 0 : segments.front().paddr, word); // e_entry
    put(quint64(headerSize), word);                             // e_phoff
    put(0, word);                                               // e_shoff: no sections
    put(0, 4);                                                  // e_flags
    put(quint64(headerSize), 2);
    put(quint64(entrySize), 2);
    put(quint64(segments.size()), 2);
    put(is64 ? 64 : 40, 2); // e_shentsize
    put(0, 2);
    put(0, 2);
    quint64 offset = quint64(headerSize + entrySize * segments.size());
    for (const ElfSegment &s : segments) {
        const quint64 mem = std::max<quint64>(s.memSize, quint64(s.bytes.size()));
        put(s.type, 4);
        if (is64) put(5, 4); // p_flags
        put(s.bytes.isEmpty() ? 0 : offset, word);
        put(s.vaddr, word);
        put(s.paddr, word);
        put(quint64(s.bytes.size()), word);
        put(mem, word);
        if (!is64) put(5, 4);
        put(4, word); // p_align
        offset += quint64(s.bytes.size());
    }
    for (const ElfSegment &s : segments)
        out.append(s.bytes);
    return out;
}

} // namespace firmware

