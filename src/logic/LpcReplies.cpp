#include "logic/LpcReplies.h"

#include <QList>
#include <array>

namespace lpc {

namespace {

constexpr int kFirstStep = 1;
constexpr int kBootVersionStep = 7;
constexpr int kWriteStep = 10;
constexpr int kSerialStep = 11;
// Indexed by step 1..11.
constexpr std::array<int, kSerialStep + 1> kReplyLength{-1, 14, 18, 13, 12, 8, 5, 5, 3, 3, 3, 3};
constexpr qsizetype kSerialLines = 5; // return code and four words
constexpr qsizetype kBootVersionLines = 3;  // return code, minor, major
constexpr qsizetype kCompareErrorLines = 2; // return code, offset
// The version line shows the payload from its fourth character, a dot, then its first two.
constexpr qsizetype kVersionMajorAt = 3;
constexpr qsizetype kVersionMinorChars = 2;
constexpr qsizetype kMaxOffsetDigits = 10;

QByteArray codeLine(int code)
{
    return QByteArray::number(code) + kIspLineEnd;
}

// Lines of a complete reply (each ended by CR LF).
qsizetype lineCount(QByteArrayView reply)
{
    qsizetype n = 0;
    for (qsizetype i = reply.indexOf(kIspLineEnd); i >= 0;
         i = reply.indexOf(kIspLineEnd, i + kIspLineEnd.size()))
        ++n;
    return n;
}

std::optional<quint32> decimalLine(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > kMaxOffsetDigits) return std::nullopt;
    quint64 v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + quint64(c - '0');
    }
    if (v > 0xFFFFFFFFu) return std::nullopt;
    return quint32(v);
}

} // namespace

int replyLength(int step)
{
    if (step < kFirstStep || step > kSerialStep) return -1;
    return kReplyLength[std::size_t(step)];
}

bool replyComplete(int step, QByteArrayView reply, bool compareItem)
{
    if (!reply.endsWith(kIspLineEnd)) return false;
    if (step == kBootVersionStep) return bootVersionComplete(reply);
    if (step == kSerialStep && reply.startsWith(kSuccessCode + kIspLineEnd))
        return lineCount(reply) >= kSerialLines;
    if (step == kWriteStep && compareItem && reply.startsWith(codeLine(kCompareErrorCode)))
        return lineCount(reply) >= kCompareErrorLines;
    return true;
}

QByteArray payloadOf(QByteArrayView reply, qsizetype codeLine, qsizetype lineEnd)
{
    const qsizetype n = reply.size() - codeLine - lineEnd;
    return n > 0 ? reply.sliced(codeLine, n).toByteArray() : QByteArray();
}

bool bootVersionComplete(QByteArrayView reply)
{
    return !reply.startsWith(kSuccessCode + kIspLineEnd) || lineCount(reply) >= kBootVersionLines;
}

bool isSynchronizedAnswer(QByteArrayView reply)
{
    return reply.contains(kSynchronized + kIspLineEnd);
}

bool isEchoed(QByteArrayView reply, QByteArrayView command, QByteArrayView answer)
{
    return reply == command.toByteArray() + kIspLineEnd + answer.toByteArray() + kIspLineEnd;
}

bool isSuccess(QByteArrayView reply)
{
    return reply == kSuccessCode + kIspLineEnd;
}

bool isDataAccepted(QByteArrayView reply)
{
    return reply == kOk + kIspLineEnd;
}

std::optional<QString> partIdOf(QByteArrayView reply)
{
    const QByteArray code = kSuccessCode + kIspLineEnd;
    if (!reply.startsWith(code)) return std::nullopt;
    return QString::fromLatin1(payloadOf(reply, code.size(), kIspLineEnd.size()));
}

std::optional<QString> bootVersionOf(QByteArrayView reply)
{
    const QByteArray code = kSuccessCode + kIspLineEnd;
    if (!reply.startsWith(code)) return std::nullopt;
    const QByteArray payload = payloadOf(reply, code.size(), kIspLineEnd.size());
    QString v = QString::fromLatin1(payload.mid(kVersionMajorAt)) + QLatin1Char('.') +
                QString::fromLatin1(payload.left(kVersionMinorChars));
    // The cut takes the minor number's line end along; the message area holds whole lines.
    v.remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
    return v;
}

std::optional<QString> serialNumberOf(QByteArrayView reply)
{
    const QByteArray code = kSuccessCode + kIspLineEnd;
    if (!reply.startsWith(code) || !reply.endsWith(kIspLineEnd)) return std::nullopt;
    const QList<QByteArray> words =
        payloadOf(reply, code.size(), kIspLineEnd.size()).split('\r');
    if (words.size() != kSerialLines - 1) return std::nullopt;
    QString hex;
    for (qsizetype i = 0; i < words.size(); ++i) {
        // Every line after the first begins with the LF of the line end before it.
        const std::optional<quint32> w = decimalLine(i == 0 ? words[i] : words[i].mid(1));
        if (!w || (i > 0 && !words[i].startsWith('\n'))) return std::nullopt;
        hex += QStringLiteral("%1").arg(*w, 8, 16, QLatin1Char('0')).toUpper();
    }
    return hex;
}

CompareAnswer compareAnswerOf(QByteArrayView reply)
{
    CompareAnswer a;
    if (isSuccess(reply)) {
        a.kind = CompareAnswer::Same;
        return a;
    }
    const QByteArray code = codeLine(kCompareErrorCode);
    if (!reply.startsWith(code)) return a;
    a.kind = CompareAnswer::Different;
    QByteArrayView rest = reply.sliced(code.size());
    const qsizetype end = rest.indexOf(kIspLineEnd);
    if (end >= 0) a.offset = decimalLine(rest.first(end));
    return a;
}

bool crcComplete(QByteArrayView reply)
{
    if (!reply.endsWith(kIspLineEnd)) return false;
    return !reply.startsWith(kSuccessCode + kIspLineEnd) || lineCount(reply) >= 2;
}

std::optional<quint32> crcAnswerOf(QByteArrayView reply)
{
    const QByteArray code = kSuccessCode + kIspLineEnd;
    if (!reply.startsWith(code) || lineCount(reply) != 2) return std::nullopt;
    return decimalLine(payloadOf(reply, code.size(), kIspLineEnd.size()));
}

namespace {

constexpr qsizetype kUuMaxLineBytes = 45;

// The bytes of one uuencoded line (no line end); nullopt for anything else.
std::optional<QByteArray> uuDecodeLine(QByteArrayView line)
{
    const auto value = [](char c) { return quint8((c - 0x20) & 0x3F); };
    if (line.isEmpty()) return std::nullopt;
    for (const char c : line)
        if (c < 0x20 || c > 0x60) return std::nullopt;
    const qsizetype n = value(line[0]);
    if (n == 0 || n > kUuMaxLineBytes || line.size() != 1 + 4 * ((n + 2) / 3)) return std::nullopt;
    QByteArray out;
    for (qsizetype i = 1; i + 3 < line.size(); i += 4) {
        const quint8 a = value(line[i]), b = value(line[i + 1]), c = value(line[i + 2]),
                     d = value(line[i + 3]);
        for (const quint8 byte : {quint8(a << 2 | b >> 4), quint8(b << 4 | c >> 2),
                                  quint8(c << 6 | d)})
            if (out.size() < n) out.append(char(byte));
    }
    return out;
}

} // namespace

bool readGroupComplete(QByteArrayView text, qsizetype count)
{
    // A group holds at most 20 lines of 45 bytes: once the lines' length characters add up to
    // count (or 20 lines came), the next line is the sum.
    qsizetype bytes = 0;
    int lines = 0;
    qsizetype at = 0;
    while (true) {
        const qsizetype end = text.indexOf(kIspLineEnd, at);
        if (end < 0) return false;
        if (bytes >= count || lines == 20) return true; // this line was the sum
        const QByteArrayView line = text.sliced(at, end - at);
        bytes += line.isEmpty() ? 0 : ((line[0] - 0x20) & 0x3F);
        ++lines;
        at = end + kIspLineEnd.size();
    }
}

std::optional<QByteArray> decodeReadGroup(QByteArrayView text, qsizetype count)
{
    QList<QByteArrayView> lines;
    for (qsizetype at = 0; at < text.size();) {
        const qsizetype end = text.indexOf(kIspLineEnd, at);
        if (end < 0) return std::nullopt;
        lines.append(text.sliced(at, end - at));
        at = end + kIspLineEnd.size();
    }
    if (lines.size() < 2 || lines.size() > 21) return std::nullopt;
    QByteArray data;
    quint32 sum = 0;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const std::optional<QByteArray> bytes = uuDecodeLine(lines[i]);
        if (!bytes) return std::nullopt;
        for (const char c : *bytes)
            sum += quint8(c);
        data += *bytes;
    }
    if (data.size() != count || decimalLine(lines.last()) != sum) return std::nullopt;
    return data;
}

std::optional<quint32> partIdValue(QStringView partId)
{
    return decimalLine(partId.toLatin1());
}

} // namespace lpc
