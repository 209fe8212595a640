// The station's record of every board: `tramelo download --report FILE` appends one line per
// board and attempt. CSV with a header line when FILE ends in ".csv", JSON Lines otherwise.
// Several processes of one station append to one file: each run takes an exclusive lock on it
// (flock) for its lines, so no line is torn and a CSV header is written once, into an empty
// file. The file is opened before any board is touched; one that cannot be opened refuses the
// run.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <optional>

namespace cli::report {

// One board's attempt.
struct Row
{
    QString time;     // ISO 8601 with the offset from UTC, when the attempt began
    QString port;     // as given
    QString device;   // the device asked for
    QString chip;     // the chip found ("" when none answered)
    QString uniqueId; // the chip's unique id, hexadecimal ("" when it gave none)
    QString file;     // the image file, absolute
    QString sha256;   // of the file's bytes, hexadecimal
    qint64 size = -1; // the file's bytes
    QString serial;   // the serial number written ("" without --serial)
    QString result;   // resultKey(): the same words in every interface language
    double seconds = 0;
    QString message; // the last message line
};

// A record is read by programs: the result is one of "written", "failed", "file refused",
// "port not opened" (the exit statuses 0, 1, 2, 3) or "not ended" (a signal or the watchdog
// ended the run first), never translated.
QString resultKey(int exitStatus, bool ended);

// The field names, in the order of the CSV columns.
QStringList fieldNames();
// One line without its line end.
QString csvLine(const Row &row);
QString jsonLine(const Row &row);

// The file's SHA-256 and size; "" and -1 when it cannot be read.
void describeFile(const QString &path, QString &sha256, qint64 &size);

// Serial numbers: a counter file holds the next number in decimal. take() hands out count
// numbers (next, next + step, ...) under the file's lock and writes back the one after them,
// so two processes never hand out one number and a number once handed out is never handed
// out again, whatever becomes of its board. A missing or empty file starts at start.
struct SerialCounter
{
    static std::optional<QList<quint64>> take(const QString &path, quint64 start, quint64 step,
                                              int count, QString &error);
};
// The bytes a serial number is written as: 32-bit little endian (asciiDigits 0), or
// asciiDigits decimal digits with leading zeros. nullopt when the number does not fit.
std::optional<QByteArray> serialBytes(quint64 number, int asciiDigits);

class Report
{
public:
    // Opens path for appending (created 0644 if missing). nullptr with the reason in error.
    static std::unique_ptr<Report> open(const QString &path, QString &error);
    ~Report();
    // Appends the rows under the file's lock, the CSV header first when the file is empty.
    // False with the reason when writing failed.
    bool append(const QList<Row> &rows, QString &error);

private:
    Report(int fd, bool csv) : fd_(fd), csv_(csv) {}
    int fd_;
    bool csv_;
};

} // namespace cli::report
