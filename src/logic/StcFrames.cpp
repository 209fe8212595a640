#include "logic/StcFrames.h"

#include "logic/Devices.h"
#include "logic/HexText.h"
#include "logic/ShownText.h"

#include "logic/FirmwareFile.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <array>
#include <cmath>

namespace stc {

namespace {

struct ClockRow
{
    std::array<QStringView, 3> search; // unused slots are empty
    int clock;
    QStringView text; // the frequency as the status line shows it
    qint32 rate;
    qint64 frequency;
};

constexpr std::array<ClockRow, 6> kClockTable{{
    {{u"1C0014", u"280014", u"390014"}, 1, u"11.0592M", 115200, 11059200},
    {{u"1C0022", u"390022", {}}, 2, u"18.432M", 115200, 18432000},
    {{u"1C0029", u"390029", {}}, 3, u"22.1184M", 115200, 22118400},
    {{u"1C0045", u"390045", {}}, 4, u"36.864M", 115200, 36864000},
    {{u"1C0016", u"390016", u"3B0016"}, 5, u"12.000M", 38400, 12000000},
    {{u"1C002D", u"39002D", u"3B002D"}, 6, u"24.000M", 57600, 24000000},
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

QString stripText(QStringView text, QStringView pattern)
{
    QString s = text.toString();
    if (!pattern.isEmpty()) s.remove(pattern.toString());
    return s.trimmed();
}

QString checksum(QStringView frameWithoutChecksum)
{
    const QString stripped = stripText(frameWithoutChecksum, u" ");
    quint8 sum = 1;
    for (char b : hextext::fromHex(stripped))
        sum = quint8(sum + quint8(b));
    return hextext::toHex(QByteArray(1, char(sum)));
}

QString dataFrame(int index, QStringView block)
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
    frame += checksum(frame);
    frame += kFrameEndText;
    return frame;
}

int findModel(QStringView lastFrame)
{
    int model = 0;
    // Every row found overwrites the result, so the last one found wins.
    for (const devices::StcModel &row : devices::stcModels())
        if (lastFrame.contains(row.code)) model = row.model;
    return model;
}

std::optional<double> statusClock(QStringView lastFrame, qint32 rate)
{
    constexpr qsizetype kHeadBytes = 3;      // 68, length (2)
    constexpr qsizetype kMinPayload = 23;    // type, eight counts, version (2), option, model
    constexpr qsizetype kCounts = 8;
    constexpr quint8 kStatusType = 0x00;
    if (rate <= 0) return std::nullopt;
    QByteArray bytes = hextext::fromHex(lastFrame);
    // The STC89 sends its status without the frame start; other boot loaders with it.
    if (bytes.startsWith("\x46\xB9")) bytes.remove(0, 2);
    const auto at = [&bytes](qsizetype i) { return quint8(bytes[i]); };
    if (bytes.size() < kHeadBytes + kMinPayload + 2 || at(0) != kDirChipToHost)
        return std::nullopt;
    const qsizetype total = qsizetype(at(1)) << 8 | at(2);
    if (total != bytes.size() || at(total - 1) != kFrameEnd) return std::nullopt;
    quint8 sum = 0;
    for (qsizetype i = 0; i < total - 2; ++i)
        sum = quint8(sum + at(i));
    if (sum != at(total - 2) || at(kHeadBytes) != kStatusType) return std::nullopt;
    qint64 counts = 0;
    for (qsizetype i = 0; i < kCounts; ++i)
        counts += qint64(at(kHeadBytes + 1 + 2 * i)) << 8 | at(kHeadBytes + 2 + 2 * i);
    return double(rate) * (double(counts) / kCounts) * 12.0 / 7.0;
}

int clockClass(double clockHz)
{
    constexpr double kTolerance = 0.03;
    for (const ClockRow &row : kClockTable)
        if (std::abs(clockHz - double(row.frequency)) <= kTolerance * double(row.frequency))
            return row.clock;
    return 0;
}

int findClock(QStringView lastFrame)
{
    int clock = 0;
    for (const ClockRow &row : kClockTable)
        for (QStringView s : row.search)
            if (!s.isEmpty() && lastFrame.contains(s)) clock = row.clock;
    if (clock != 0) return clock;
    if (const std::optional<double> hz = statusClock(lastFrame, kLowBaudRate))
        return clockClass(*hz);
    return 0;
}

QString modelName(int model)
{
    const devices::StcModel *row = devices::stcModel(model);
    return row ? row->name.toString() : QString();
}

QString clockText(int clock)
{
    for (const ClockRow &row : kClockTable)
        if (row.clock == clock)
            return QCoreApplication::translate("stc", "/时钟频率: %1").arg(row.text);
    return {};
}

qint32 clockRate(int clock)
{
    for (const ClockRow &row : kClockTable)
        if (row.clock == clock) return row.rate;
    return 0;
}

qint64 clockFrequency(int clock)
{
    for (const ClockRow &row : kClockTable)
        if (row.clock == clock) return row.frequency;
    return 0;
}

QStringView step1Frame(int model, int clock)
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

QStringView step2Frame(int model, int clock)
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

QStringView controlFrame(int model)
{
    if (model >= 1 && model <= 4) return kControlModel1to4;
    if (model == 5) return kControlModel5;
    return {};
}

QStringView eraseFrame(int model)
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

QStringView optionFrame(QStringView clockModeCaption)
{
    return clockModeCaption == kDoubleSpeedCaption ? kOption6T : kOption12T;
}

QString versionText(QStringView rxText)
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

QString noImageMessage()
{
    return QCoreApplication::translate("stc",
                                       reinterpret_cast<const char *>(kNoImageMessage.data()));
}

QString versionDisplay(QStringView versionText)
{
    if (versionText.isEmpty()) return {};
    QString shown = versionText.left(1).toString();
    shown += u'.';
    shown += versionText.mid(1, 2);
    return shown;
}

bool replyComplete(QStringView rxText)
{
    return rxText.endsWith(kFrameEndText);
}

bool Receiver::feed(QByteArrayView bytes)
{
    if (bytes.isEmpty()) return false;
    // Only the newest kMaxPendingChars characters can ever matter; take no more than that.
    const qsizetype keepBytes = std::min<qsizetype>(bytes.size(), kMaxPendingChars / 2);
    m_pending += hextext::toHex(bytes.last(keepBytes));
    if (m_pending.size() > kMaxPendingChars)
        m_pending.remove(0, m_pending.size() - kMaxPendingChars); // both even: whole bytes
    if (quint8(bytes.back()) != kFrameEnd) return false;
    m_lastFrame = m_pending;
    m_version = stc::versionText(m_lastFrame);
    m_pending.clear();
    return true;
}

std::optional<FramePlace> findStatusFrame(QByteArrayView bytes)
{
    constexpr qsizetype kMinLength = 6; // 68, length (2), status type, checksum, 16
    const auto at = [&bytes](qsizetype i) { return quint8(bytes[i]); };
    for (qsizetype dir = 0; dir + 2 < bytes.size(); ++dir) {
        if (at(dir) != kDirChipToHost) continue;
        const qsizetype length = qsizetype(at(dir + 1)) << 8 | at(dir + 2);
        const bool framed = dir >= 2 && at(dir - 2) == kFrameStart1 && at(dir - 1) == kFrameStart2;
        const qsizetype start = framed ? dir - 2 : dir;
        const qsizetype size = length + (dir - start);
        if (length < kMinLength || size > kMaxStatusBytes || dir + length > bytes.size())
            continue;
        const qsizetype end = dir + length - 1;
        if (at(end) != kFrameEnd) continue;
        quint8 sum = 0;
        for (qsizetype i = dir; i < end - 1; ++i)
            sum = quint8(sum + at(i));
        if (sum == at(end - 1)) return FramePlace{start, size};
    }
    return std::nullopt;
}

Answer parseAnswer(QStringView rxText)
{
    constexpr qsizetype kHeadBytes = 5;     // start (2), direction, length (2)
    constexpr qsizetype kMinFrameBytes = 8; // head, command, checksum, end
    Answer a;
    const QByteArray bytes = hextext::fromHex(rxText);
    const auto at = [&bytes](qsizetype i) { return quint8(bytes[i]); };
    const quint8 head[] = {kFrameStart1, kFrameStart2, kDirChipToHost};
    for (qsizetype i = 0; i < qsizetype(sizeof head) && i < bytes.size(); ++i)
        if (at(i) != head[i]) return a;
    if (bytes.size() < kHeadBytes) {
        a.status = Answer::Incomplete;
        return a;
    }
    const qsizetype total = (qsizetype(at(3)) << 8 | at(4)) + 2;
    if (total < kMinFrameBytes || total > kMaxAnswerBytes) return a;
    if (bytes.size() < total) {
        a.status = Answer::Incomplete;
        return a;
    }
    if (bytes.size() > total || at(total - 1) != kFrameEnd) return a;
    quint8 sum = 0;
    for (qsizetype i = 2; i < total - 2; ++i)
        sum = quint8(sum + at(i));
    if (sum != at(total - 2)) return a;
    a.status = Answer::Complete;
    a.command = at(kHeadBytes);
    a.payload = bytes.mid(kHeadBytes + 1, total - kMinFrameBytes);
    return a;
}

bool answerIncomplete(QStringView rxText)
{
    return parseAnswer(rxText).status == Answer::Incomplete;
}

quint8 blockSum(QStringView blockHex)
{
    quint8 sum = 0;
    for (const char b : hextext::fromHex(blockHex))
        sum = quint8(sum + quint8(b));
    return sum;
}

DataAnswer checkDataAnswer(QStringView rxText, QStringView blockHex)
{
    const Answer a = parseAnswer(rxText);
    if (a.status == Answer::Incomplete) return DataAnswer::Incomplete;
    if (a.status != Answer::Complete || a.command != kAnswerDone || a.payload.isEmpty())
        return DataAnswer::Malformed;
    return quint8(a.payload[0]) == blockSum(blockHex) ? DataAnswer::Good : DataAnswer::WrongSum;
}

namespace {
QString hex2(quint32 v, int digits)
{
    return QString::number(v, 16).toUpper().rightJustified(digits, u'0');
}
} // namespace

QString noAnswerLine(const Unanswered &u)
{
    const char *step = "";
    switch (u.step) {
    case Unanswered::Status: step = QT_TRANSLATE_NOOP("stc", "状态包 (0x7F 同步脉冲之后)"); break;
    case Unanswered::Handshake: step = QT_TRANSLATE_NOOP("stc", "握手"); break;
    case Unanswered::Calibration: step = QT_TRANSLATE_NOOP("stc", "时钟校准"); break;
    case Unanswered::RateTest: step = QT_TRANSLATE_NOOP("stc", "波特率测试"); break;
    case Unanswered::RateSwitch: step = QT_TRANSLATE_NOOP("stc", "波特率切换"); break;
    case Unanswered::Control: step = QT_TRANSLATE_NOOP("stc", "控制信息"); break;
    case Unanswered::Prepare: step = QT_TRANSLATE_NOOP("stc", "准备写入"); break;
    case Unanswered::Erase: step = QT_TRANSLATE_NOOP("stc", "擦除"); break;
    case Unanswered::Block: step = QT_TRANSLATE_NOOP("stc", "写数据块 0x%1"); break;
    case Unanswered::WriteFinish: step = QT_TRANSLATE_NOOP("stc", "写入结束"); break;
    case Unanswered::Options: step = QT_TRANSLATE_NOOP("stc", "写选项"); break;
    case Unanswered::OptionFollowUp: step = QT_TRANSLATE_NOOP("stc", "选项确认"); break;
    }
    const auto digits = [](quint64 v, int width) {
        return QString::number(v, 16).toUpper().rightJustified(width, u'0');
    };
    QString text = QCoreApplication::translate("stc", step);
    if (u.step == Unanswered::Block) text = text.arg(digits(quint64(std::max<qint64>(u.address, 0)), 4));
    if (u.step != Unanswered::Status) text += QStringLiteral(" (0x%1)").arg(digits(u.command, 2));
    return ::noAnswerLine(text);
}

QString malformedAnswerLine(quint16 address)
{
    return QCoreApplication::translate("stc", "地址 0x%1 的数据块: 芯片的应答不是有效的帧")
        .arg(hex2(address, 4));
}

QString wrongSumLine(quint16 address, QStringView rxText, quint8 expected)
{
    const Answer a = parseAnswer(rxText);
    const quint8 got = a.payload.isEmpty() ? 0 : quint8(a.payload[0]);
    return QCoreApplication::translate("stc",
                                       "地址 0x%1 的数据块: 芯片收到的校验和 0x%2，应为 0x%3")
        .arg(hex2(address, 4), hex2(got, 2), hex2(expected, 2));
}

QString tooLargeForModelLine(qsizetype imageBytes, QStringView modelName, qint64 flashBytes)
{
    return QCoreApplication::translate("stc", "文件太大: 映像 %1 字节，%2 的 Flash 只有 %3 字节")
        .arg(imageBytes)
        .arg(modelName)
        .arg(flashBytes);
}

std::optional<qsizetype> imageLength(QByteArrayView buffer)
{
    const qsizetype top = std::min<qsizetype>(kImageBufferSize, buffer.size()) - 1;
    for (qsizetype i = top; i >= 1; --i)
        if (buffer[i] != 0) return i + 1;
    return std::nullopt;
}

BinaryImage readBinaryImage(const QString &path)
{
    BinaryImage r;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.refusal = firmwarefile::unreadableText();
        return r;
    }
    r.bytes = file.read(kImageBufferSize + 1);
    if (file.error() != QFileDevice::NoError) {
        r.refusal = firmwarefile::unreadableText();
    } else if (r.bytes.size() > kImageBufferSize) {
        r.status = BinaryImage::TooLarge;
        r.refusal = QCoreApplication::translate("stc", "文件太大，不能超过64 KB");
    } else if (r.bytes.isEmpty()) {
        r.status = BinaryImage::Empty;
        r.refusal = noImageMessage();
    } else {
        r.status = BinaryImage::Loaded;
        return r;
    }
    r.bytes.clear();
    return r;
}

QString sizeLabel(qsizetype length)
{
    if (length < 0) length = 0;
    const QString remainder = QString::number(length % kKilobyte);
    return QStringLiteral("%1.%2 KB").arg(length / kKilobyte).arg(remainder.left(1));
}

QStringList splitBlocks(QByteArrayView image)
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

int progress(int i, int n)
{
    if (n <= 0 || i < 0) return 0;
    const qint64 num = (qint64(i) + 1) * 100;
    qint64 q = num / n;
    const qint64 r2 = (num % n) * 2;
    if (r2 > n || (r2 == n && (q & 1))) ++q;
    return int(std::min<qint64>(q, 100));
}

} // namespace stc
