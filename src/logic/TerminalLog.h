// The terminal's log file: bytes are handed over at once and written by a thread of the
// writer's own, so a slow, full or vanished disk never holds up the terminal. What was handed
// over reaches the file within kFlushMs, and all of it when the log stops.
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace terminal {

class LogWriter
{
public:
    // Written at least this often while bytes wait.
    static constexpr int kFlushMs = 500;
    // Bytes waiting beyond this mean the disk cannot keep up: the log stops rather than let
    // the program's memory grow.
    static constexpr qsizetype kMaxWaiting = 16 * 1024 * 1024;

    LogWriter() = default;
    ~LogWriter() { stop(); }
    LogWriter(const LogWriter &) = delete;
    LogWriter &operator=(const LogWriter &) = delete;

    // Opens (or creates) the file for appending and starts the writer. False with a reason
    // when it cannot be opened; a log that runs is stopped first.
    bool start(const QString &path, QString *error);
    // Hands bytes over; returns at once. Ignored while no log runs or after a failure.
    void write(QByteArrayView bytes);
    // Writes what waits and closes the file. The failure callback is not called for a log
    // that the caller stops.
    void stop();
    bool running() const { return worker_.joinable(); }
    QString path() const { return path_; }

    // Called once, on the writer's thread, when the log failed and stopped writing: the
    // reason (the system's error, or that the file was removed). The caller still stops it.
    std::function<void(const QString &reason)> onFailed;

private:
    void run();
    // Writes everything in `bytes`; false with a reason on failure.
    bool writeAll(const QByteArray &bytes, QString &reason);

    QString path_;
    int fd_ = -1;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable wake_;
    QByteArray waiting_;
    bool stopping_ = false;
    bool failed_ = false;
};

} // namespace terminal
