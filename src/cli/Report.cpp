#include "cli/Report.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli::report {

namespace {

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

QString secondsText(double s)
{
    return QString::number(s, 'f', 2);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

} // namespace

QString resultKey(int exitStatus, bool ended)
{
    if (!ended) return QStringLiteral("not ended");
    switch (exitStatus) {
    case 0:
        return QStringLiteral("written");
    case 2:
        return QStringLiteral("file refused");
    case 3:
        return QStringLiteral("port not opened");
    default:
        return QStringLiteral("failed");
    }
}

QStringList fieldNames()
{
    return {QStringLiteral("time"),   QStringLiteral("port"),      QStringLiteral("device"),
            QStringLiteral("chip"),   QStringLiteral("unique_id"), QStringLiteral("file"),
            QStringLiteral("sha256"), QStringLiteral("size"),      QStringLiteral("serial"),
            QStringLiteral("result"), QStringLiteral("seconds"),   QStringLiteral("message")};
}

QString csvLine(const Row &r)
{
    const QStringList fields{r.time,
                             r.port,
                             r.device,
                             r.chip,
                             r.uniqueId,
                             r.file,
                             r.sha256,
                             QString::number(r.size),
                             r.serial,
                             r.result,
                             secondsText(r.seconds),
                             r.message};
    QStringList out;
    for (const QString &f : fields)
        out << csvField(f);
    return out.join(QLatin1Char(','));
}

QString jsonLine(const Row &r)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), r.time);
    o.insert(QStringLiteral("port"), r.port);
    o.insert(QStringLiteral("device"), r.device);
    o.insert(QStringLiteral("chip"), r.chip);
    o.insert(QStringLiteral("unique_id"), r.uniqueId);
    o.insert(QStringLiteral("file"), r.file);
    o.insert(QStringLiteral("sha256"), r.sha256);
    o.insert(QStringLiteral("size"), r.size);
    o.insert(QStringLiteral("serial"), r.serial);
    o.insert(QStringLiteral("result"), r.result);
    o.insert(QStringLiteral("seconds"), secondsText(r.seconds).toDouble());
    o.insert(QStringLiteral("message"), r.message);
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

void describeFile(const QString &path, QString &sha256, qint64 &size)
{
    sha256.clear();
    size = -1;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&f)) return;
    sha256 = QString::fromLatin1(hash.result().toHex());
    size = f.size();
}

std::optional<QList<quint64>> SerialCounter::take(const QString &path, quint64 start, quint64 step,
                                                  int count, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    const auto fail = [&](const QString &why) {
        error = why;
        ::close(fd); // releases the lock too
        return std::nullopt;
    };
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n < 0) return fail(QString::fromLocal8Bit(std::strerror(errno)));
    const QByteArray held = QByteArray(text, n).trimmed();
    quint64 next = start;
    if (!held.isEmpty()) {
        bool ok = false;
        next = held.toULongLong(&ok);
        if (!ok) return fail(QCoreApplication::translate("cli", "计数文件中没有数字"));
    }
    QList<quint64> numbers;
    for (int i = 0; i < count; ++i) {
        numbers << next;
        if (next > ~quint64(0) - step)
            return fail(QCoreApplication::translate("cli", "计数已用尽"));
        next += step;
    }
    const QByteArray after = QByteArray::number(next) + '\n';
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, after.constData(), size_t(after.size()), 0) != after.size() ||
        ::fsync(fd) != 0)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return numbers;
}

std::optional<QByteArray> serialBytes(quint64 number, int asciiDigits)
{
    if (asciiDigits == 0) {
        if (number > 0xFFFFFFFFull) return std::nullopt;
        QByteArray b(4, '\0');
        for (int k = 0; k < 4; ++k)
            b[k] = char(number >> (8 * k));
        return b;
    }
    const QByteArray digits = QByteArray::number(number).rightJustified(asciiDigits, '0');
    if (digits.size() > asciiDigits) return std::nullopt;
    return digits;
}

std::unique_ptr<Report> Report::open(const QString &path, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = QCoreApplication::translate("cli", "不是普通文件");
        return nullptr;
    }
    return std::unique_ptr<Report>(
        new Report(fd, path.endsWith(QLatin1String(".csv"), Qt::CaseInsensitive)));
}

Report::~Report()
{
    ::close(fd_);
}

bool Report::append(const QList<Row> &rows, QString &error)
{
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    QByteArray text;
    struct stat st
    {
    };
    if (csv_ && ::fstat(fd_, &st) == 0 && st.st_size == 0)
        text += fieldNames().join(QLatin1Char(',')).toUtf8() + '\n';
    for (const Row &r : rows)
        text += (csv_ ? csvLine(r) : jsonLine(r)).toUtf8() + '\n';
    const bool ok = writeAll(fd_, text) && ::fsync(fd_) == 0;
    if (!ok) error = QString::fromLocal8Bit(std::strerror(errno));
    ::flock(fd_, LOCK_UN);
    return ok;
}

} // namespace cli::report
