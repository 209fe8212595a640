#include "logic/TerminalLog.h"

#include <QCoreApplication>
#include <QFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace terminal {

bool LogWriter::start(const QString &path, QString *error)
{
    stop();
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        if (error) *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error)
            *error = QCoreApplication::translate("terminal", "不是普通文件");
        return false;
    }
    path_ = path;
    fd_ = fd;
    waiting_.clear();
    stopping_ = false;
    failed_ = false;
    worker_ = std::thread([this] { run(); });
    return true;
}

void LogWriter::write(QByteArrayView bytes)
{
    if (bytes.isEmpty() || !running()) return;
    std::lock_guard lock(mutex_);
    if (failed_ || stopping_) return;
    waiting_.append(bytes);
}

void LogWriter::stop()
{
    if (!running()) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    worker_.join();
    ::close(fd_);
    fd_ = -1;
}

bool LogWriter::writeAll(const QByteArray &bytes, QString &reason)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, size_t(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

void LogWriter::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(kFlushMs), [this] { return stopping_; });
        const bool last = stopping_;
        const QByteArray bytes = std::exchange(waiting_, QByteArray());
        const bool tooMuch = bytes.size() > kMaxWaiting;
        lock.unlock();
        QString reason;
        struct stat st{};
        // A file whose folder was removed (or that was removed itself) has no name left:
        // writing on would fill a file nobody can find.
        if (::fstat(fd_, &st) == 0 && st.st_nlink == 0)
            reason = QCoreApplication::translate("terminal", "记录文件或其文件夹已被删除");
        else if (tooMuch)
            reason = QCoreApplication::translate("terminal", "磁盘写入跟不上接收");
        else if (!bytes.isEmpty())
            writeAll(bytes, reason);
        lock.lock();
        if (!reason.isEmpty()) {
            failed_ = true;
            waiting_.clear();
            if (!last && onFailed) {
                lock.unlock();
                onFailed(reason);
                lock.lock();
            }
            // Wait for the caller to stop the log; nothing more is written.
            wake_.wait(lock, [this] { return stopping_; });
            return;
        }
        if (last) return;
    }
}

} // namespace terminal
