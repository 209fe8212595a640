// A bare pseudo-terminal pair for the serial layer's own tests, which need the raw master
// (no peer thread) and the kernel's view of the line. Includes the kernel's termios2 header:
// only for sources that do not include <termios.h>.
#pragma once

#include <QByteArray>
#include <QString>

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace testsupport {

// The far end of a cable: the master of a pty pair, plus a descriptor of the slave kept open
// so that the master never reads EIO while the port under test is closed.
class RawPty
{
public:
    RawPty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        path_ = QString::fromLocal8Bit(::ptsname(master_));
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~RawPty()
    {
        closeMaster();
        if (slave_ >= 0) ::close(slave_);
    }
    RawPty(const RawPty &) = delete;
    RawPty &operator=(const RawPty &) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    QString path() const { return path_; }
    int slave() const { return slave_; }
    void closeMaster()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    bool send(const QByteArray &bytes) const
    {
        return ::write(master_, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    // Everything that arrives until quietMs pass without a byte.
    QByteArray receive(int quietMs) const
    {
        QByteArray out;
        char buf[4096];
        pollfd p{master_, POLLIN, 0};
        while (::poll(&p, 1, quietMs) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, n);
        }
        return out;
    }
    // The output rate the kernel has for the line.
    speed_t speed() const
    {
        termios2 t{};
        ::ioctl(slave_, TCGETS2, &t);
        return t.c_ospeed;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    QString path_;
};

} // namespace testsupport
