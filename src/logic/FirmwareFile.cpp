#include "logic/FirmwareFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <optional>

#include <sys/stat.h>

namespace firmwarefile {

namespace {

constexpr qint64 kReadChunk = 64 * 1024;

// Splits the text into records as it arrives, checks each one and hands it on. Keeps at most
// one record's digits, so a line of any length costs no memory.
class HexReader
{
public:
    explicit HexReader(const RecordHandler &onRecord) : onRecord_(onRecord)
    {
        record_.reserve(hextext::kHexMaxRecordDigits + 2);
    }

    // False once the reading is over; outcome() then tells why.
    bool feed(QByteArrayView bytes)
    {
        for (const char c : bytes)
            if (!take(c)) return false;
        return true;
    }

    // The end of the text.
    HexOutcome finish()
    {
        if (outcome_) return *outcome_;
        if (inRecord_ && !endRecord()) return *outcome_;
        if (!sawRecord_) return {HexStatus::NoRecords, 0};
        return {HexStatus::NoEndRecord, lastTextLine_};
    }

    HexOutcome outcome() const { return outcome_.value_or(HexOutcome{}); }
    int line() const { return line_; }

private:
    bool stop(HexStatus status, int line)
    {
        outcome_ = HexOutcome{status, line};
        return false;
    }

    bool take(char c)
    {
        if (inRecord_) {
            if (c == '\r' || c == '\n' || c == ':') {
                if (!endRecord()) return false;
                // The line end or the next record's ':' is read below.
            } else if (hextext::digitValue(char16_t(quint8(c))) >= 0 && !recordBlanks_) {
                if (record_.size() > hextext::kHexMaxRecordDigits)
                    return stop(HexStatus::Malformed, recordLine_);
                record_.append(c);
                return true;
            } else if (hextext::isHexBlank(c)) {
                recordBlanks_ = true;
                return true;
            } else {
                return stop(HexStatus::Malformed, line_);
            }
        }
        if (c == ':') {
            inRecord_ = true;
            recordBlanks_ = false;
            record_.resize(0); // keeps its room: no allocation per record
            record_.append(':');
            recordLine_ = line_;
            lastTextLine_ = line_;
            sawRecord_ = true;
            afterCr_ = false;
            return true;
        }
        if (c == '\r') {
            ++line_;
            afterCr_ = true;
            return true;
        }
        if (c == '\n') {
            if (!afterCr_) ++line_;
            afterCr_ = false;
            return true;
        }
        afterCr_ = false;
        if (hextext::isHexBlank(c)) return true;
        return stop(HexStatus::Malformed, line_);
    }

    bool endRecord()
    {
        inRecord_ = false;
        hextext::HexRecord r;
        switch (hextext::parseHexRecord(QByteArrayView(record_), r)) {
        case hextext::HexRecordStatus::NotARecord:
        case hextext::HexRecordStatus::Malformed:
            return stop(HexStatus::Malformed, recordLine_);
        case hextext::HexRecordStatus::CutShort:
            return stop(HexStatus::CutShort, recordLine_);
        case hextext::HexRecordStatus::BadChecksum:
            return stop(HexStatus::BadChecksum, recordLine_);
        case hextext::HexRecordStatus::Ok:
            break;
        }
        if (r.type == hextext::kHexEndOfFile) return stop(HexStatus::Complete, recordLine_);
        if (onRecord_ && !onRecord_(r, recordLine_)) return stop(HexStatus::Stopped, recordLine_);
        return true;
    }

    const RecordHandler &onRecord_;
    std::optional<HexOutcome> outcome_;
    QByteArray record_; // ':' and the digits read so far
    int line_ = 1;
    int recordLine_ = 0;
    int lastTextLine_ = 0;
    bool inRecord_ = false;
    bool recordBlanks_ = false; // blanks followed the digits: only a line end may come now
    bool afterCr_ = false;      // the LF of a CR LF pair ends no line of its own
    bool sawRecord_ = false;
};

} // namespace

HexOutcome readHex(QIODevice &device, const RecordHandler &onRecord)
{
    HexReader reader(onRecord);
    QByteArray chunk(kReadChunk, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 want = std::min<qint64>(kReadChunk, kMaxHexFileSize + 1 - total);
        const qint64 got = device.read(chunk.data(), want);
        if (got < 0) return {HexStatus::Unreadable, reader.line()};
        if (got == 0) break;
        total += got;
        if (total > kMaxHexFileSize) return {HexStatus::TooLarge, reader.line()};
        if (!reader.feed(QByteArrayView(chunk.constData(), got))) return reader.outcome();
    }
    return reader.finish();
}

HexOutcome readHexFile(const QString &path, const RecordHandler &onRecord)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile()) return {HexStatus::Unreadable, 0};
    if (info.size() > kMaxHexFileSize) return {HexStatus::TooLarge, 0};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {HexStatus::Unreadable, 0};
    const HexOutcome outcome = readHex(file, onRecord);
    if (file.error() != QFileDevice::NoError) return {HexStatus::Unreadable, 0};
    return outcome;
}

QString damageText(const HexOutcome &outcome)
{
    switch (outcome.status) {
    case HexStatus::Malformed:
        return QCoreApplication::translate("firmware", "HEX文件格式错误: 第 %1 行")
            .arg(outcome.line);
    case HexStatus::CutShort:
        return QCoreApplication::translate("firmware", "HEX文件记录不完整: 第 %1 行")
            .arg(outcome.line);
    case HexStatus::BadChecksum:
        return QCoreApplication::translate("firmware", "HEX文件校验和错误: 第 %1 行")
            .arg(outcome.line);
    case HexStatus::NoEndRecord:
        return QCoreApplication::translate("firmware", "HEX文件没有结束记录: 文件止于第 %1 行")
            .arg(outcome.line);
    default:
        return {};
    }
}

QString unreadableText()
{
    return QCoreApplication::translate("firmware", "文件无法读取");
}

QString decoderTooLargeText()
{
    return QCoreApplication::translate("firmware", "HEX文件太大，不能超过 64 MB");
}

QString decoderRefusal(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile()) return unreadableText();
    if (info.size() > kMaxHexFileSize) return decoderTooLargeText();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return unreadableText();
    char first = 0;
    const bool recordFirst = file.peek(&first, 1) == 1 && first == ':';
    HexOutcome outcome = readHex(file, {});
    if (file.error() != QFileDevice::NoError) return unreadableText();
    // The library reads nothing of a file that does not begin with a record.
    if (!recordFirst && outcome.ok()) outcome = {HexStatus::Malformed, 1};
    switch (outcome.status) {
    case HexStatus::Complete:
    case HexStatus::NoRecords:
        return {};
    case HexStatus::TooLarge:
        return decoderTooLargeText();
    case HexStatus::Unreadable:
    case HexStatus::Stopped:
        return unreadableText();
    default:
        return damageText(outcome);
    }
}

bool isHexFileName(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0) return false;
    const QStringView ext = QStringView(name).sliced(dot);
    return ext == QLatin1String(".hex") || ext == QLatin1String(".HEX");
}

bool isSymlinkLoop(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) != 0 && errno == ELOOP;
}

QString symlinkLoopText()
{
    return QCoreApplication::translate("firmware", "文件路径中的符号链接形成循环");
}

QString stampText(const QString &path)
{
    struct stat st
    {
    };
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return {};
    const QDateTime when = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
    return QStringLiteral("%1.%2 / %3 B")
        .arg(when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
        .arg(qint64(st.st_mtim.tv_nsec), 9, 10, QLatin1Char('0'))
        .arg(qint64(st.st_size));
}

} // namespace firmwarefile
