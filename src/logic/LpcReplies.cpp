#include "logic/LpcReplies.h"

#include <array>

namespace lpc {

namespace {

constexpr int kFirstStep = 1;
constexpr int kBootVersionStep = 7;
constexpr int kWriteStep = 10;
// Indexed by step 1..10.
constexpr std::array<int, kWriteStep + 1> kReplyLength{-1, 14, 18, 13, 12, 8, 5, 5, 3, 3, 3};
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
    if (step < kFirstStep || step > kWriteStep) return -1;
    return kReplyLength[std::size_t(step)];
}

bool replyComplete(int step, QByteArrayView reply, bool compareItem)
{
    if (!reply.endsWith(kIspLineEnd)) return false;
    if (step == kBootVersionStep) return bootVersionComplete(reply);
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

std::optional<quint32> partIdValue(QStringView partId)
{
    return decimalLine(partId.toLatin1());
}

} // namespace lpc
