#include "platform/SerialPort.h"

#include "platform/IoctlRetry.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {

namespace {

// Step of the bounded waits that watch the output queue.
constexpr int kDrainStepMs = 2;

std::mutex tracerMutex;
std::function<void(const SerialTraceEvent &)> tracerFn;
std::atomic<bool> tracerSet{false};

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool tracing()
{
    return tracerSet.load(std::memory_order_acquire);
}

void emitTrace(SerialTraceEvent &ev)
{
    const std::lock_guard lock(tracerMutex);
    if (!tracerFn) return;
    ev.msecs = nowMs();
    tracerFn(ev);
}

void trace(SerialTraceEvent::Kind kind, const QString &path)
{
    if (!tracing()) return;
    SerialTraceEvent ev{kind, path, {}, false, false, false, {}, 0};
    emitTrace(ev);
}

using detail::ioctlRetry;

// poll() that survives signals without waiting longer than asked in total.
int pollFor(pollfd *fds, nfds_t n, int timeoutMs)
{
    const qint64 deadline = nowMs() + std::max(timeoutMs, 0);
    for (;;) {
        const int r = ::poll(fds, n, timeoutMs);
        if (r >= 0 || errno != EINTR) return r;
        timeoutMs = int(std::max<qint64>(deadline - nowMs(), 0));
    }
}

// A system error's own text follows the C library's locale, not the interface's: the serial
// layer's reasons are sentences in the interface language with that text after them.
QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// The serial layer's reasons, in the interface language; a system error's own text (which
// follows the C library's locale, not the interface's) comes after the sentence as its reason.
// A port that another program holds (its lock, or the device's own busy state).
QString inUseText(const QString &path)
{
    return QCoreApplication::translate("serial", "%1 正被其它程序占用").arg(path);
}

bool inGroup(gid_t gid)
{
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Access to a serial device is granted through the group that owns the device node, which
// differs between distributions (dialout, uucp, tty): the advice names the device's own
// group, as the device reports it, rather than assuming one.
QString accessDeniedText(const QString &path, const QByteArray &native)
{
    struct stat st = {};
    if (::stat(native.constData(), &st) != 0)
        return QCoreApplication::translate("serial", "%1: 没有访问权限").arg(path);
    QString name = QString::number(st.st_gid);
    std::vector<char> buffer(16384);
    struct group gr = {};
    struct group *found = nullptr;
    if (::getgrgid_r(st.st_gid, &gr, buffer.data(), buffer.size(), &found) == 0 && found)
        name = QString::fromLocal8Bit(found->gr_name);
    if (st.st_gid == 0)
        return QCoreApplication::translate(
                   "serial",
                   "%1: 没有访问权限。设备属于组 '%2': 请管理员给予访问权限 (用 udev 规则把设备"
                   "交给 dialout 之类的组)。")
            .arg(path, name);
    if (inGroup(st.st_gid))
        return QCoreApplication::translate(
                   "serial",
                   "%1: 没有访问权限，虽然用户在设备的组 '%2' 中: 设备的权限 (%3) 不给该组读写权。")
            .arg(path, name, QString::number(st.st_mode & 07777, 8));
    return QCoreApplication::translate(
               "serial",
               "%1: 没有访问权限。设备属于组 '%2': 把用户加入该组 (sudo usermod -aG %2 $USER) "
               "后重新登录。")
        .arg(path, name);
}

} // namespace

void setSerialTracer(std::function<void(const SerialTraceEvent &)> tracer)
{
    const std::lock_guard lock(tracerMutex);
    tracerFn = std::move(tracer);
    tracerSet.store(bool(tracerFn), std::memory_order_release);
}

SerialPort::~SerialPort()
{
    close();
}

OpenResult SerialPort::open(const QString &path)
{
    if (isOpen()) {
        error_ = QCoreApplication::translate("serial", "%1 已经打开").arg(path_);
        return OpenResult::Failed;
    }
    path_ = path;
    error_.clear();
    haveSaved_ = false;
    if (path.isEmpty()) {
        error_ = QCoreApplication::translate("serial", "没有指定串口");
        return OpenResult::NotFound;
    }

    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            error_ = QCoreApplication::translate("serial", "%1: 串口不存在").arg(path);
            return OpenResult::NotFound;
        case EACCES:
        case EPERM:
            error_ = accessDeniedText(path, native);
            return OpenResult::AccessDenied;
        case EBUSY:
            error_ = inUseText(path);
            return OpenResult::Busy;
        default:
            error_ = QCoreApplication::translate("serial", "%1: 无法打开 (%2)")
                         .arg(path, errnoText(err));
            return OpenResult::Failed;
        }
    }

    auto fail = [&](OpenResult result, const QString &text) {
        ::close(fd);
        haveSaved_ = false;
        error_ = text;
        return result;
    };

    if (!::isatty(fd))
        return fail(OpenResult::NotATty,
                    QCoreApplication::translate("serial", "%1 不是串口").arg(path));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) return fail(OpenResult::Busy, inUseText(path));
        return fail(
            OpenResult::Failed,
            QCoreApplication::translate("serial", "%1: 无法加锁 (%2)").arg(path, errnoText(err)));
    }
    // Keeps other programs that do not lock out (except root); the lock above is what counts.
    ioctlRetry(fd, TIOCEXCL, nullptr);
    if (!saveAndMakeRaw(fd)) {
        const int err = errno;
        ioctlRetry(fd, TIOCNXCL, nullptr); // the flag belongs to the tty, not to this descriptor
        return fail(OpenResult::Failed,
                    QCoreApplication::translate("serial", "%1: 无法设置线路 (%2)")
                        .arg(path, errnoText(err)));
    }
    fd_ = fd;
    trace(SerialTraceEvent::Open, path_);
    return OpenResult::Ok;
}

void SerialPort::close()
{
    if (!isOpen()) return;
    if (outputQueued() > 0) drain(kCloseDrainMs);
    restoreSaved();
    // Traced while the port is still locked: the next program's open always comes after it.
    trace(SerialTraceEvent::Close, path_);
    ioctlRetry(fd_, TIOCNXCL, nullptr);
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

void SerialPort::traceLine(const LineSettings &s) const
{
    if (!tracing()) return;
    SerialTraceEvent ev{SerialTraceEvent::Line, path_, s, false, false, false, {}, 0};
    emitTrace(ev);
}

void SerialPort::purge(bool rx, bool tx)
{
    if (!isOpen() || (!rx && !tx)) return;
    if (tracing()) {
        SerialTraceEvent ev{SerialTraceEvent::Purge, path_, {}, false, rx, tx, {}, 0};
        emitTrace(ev);
    }
    ::tcflush(fd_, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH);
}

int SerialPort::outputQueued() const
{
    if (!isOpen()) return 0;
    int n = 0;
    if (ioctlRetry(fd_, TIOCOUTQ, &n) != 0 || n < 0) return 0;
    return n;
}

bool SerialPort::drain(int timeoutMs)
{
    if (!isOpen()) return false;
    const qint64 deadline = nowMs() + std::max(timeoutMs, 0);
    for (;;) {
        bool empty = outputQueued() == 0;
        if (empty) {
            unsigned int lsr = 0;
            // Drivers without the ioctl (USB adapters, ptys) count as empty here.
            if (ioctlRetry(fd_, TIOCSERGETLSR, &lsr) == 0) empty = (lsr & TIOCSER_TEMT) != 0;
        }
        if (empty) return true;
        if (nowMs() >= deadline) return false;
        ::poll(nullptr, 0, kDrainStepMs);
    }
}

namespace {
bool setModemBit(int fd, bool on, int bit)
{
    return ioctlRetry(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0;
}
} // namespace

bool SerialPort::setDtr(bool on)
{
    if (!isOpen()) return false;
    if (tracing()) {
        SerialTraceEvent ev{SerialTraceEvent::Dtr, path_, {}, on, false, false, {}, 0};
        emitTrace(ev);
    }
    return setModemBit(fd_, on, TIOCM_DTR);
}

bool SerialPort::setRts(bool on)
{
    if (!isOpen()) return false;
    if (tracing()) {
        SerialTraceEvent ev{SerialTraceEvent::Rts, path_, {}, on, false, false, {}, 0};
        emitTrace(ev);
    }
    return setModemBit(fd_, on, TIOCM_RTS);
}

bool SerialPort::setBreak(bool on)
{
    if (!isOpen()) return false;
    if (tracing()) {
        SerialTraceEvent ev{SerialTraceEvent::Break, path_, {}, on, false, false, {}, 0};
        emitTrace(ev);
    }
    return ioctlRetry(fd_, on ? TIOCSBRK : TIOCCBRK, nullptr) == 0;
}

bool SerialPort::counters(LineCounters &out) const
{
    if (!isOpen()) return false;
    serial_icounter_struct ic{};
    if (ioctlRetry(fd_, TIOCGICOUNT, &ic) != 0) return false;
    out.frame = quint32(ic.frame);
    out.overrun = quint32(ic.overrun);
    out.parity = quint32(ic.parity);
    out.brk = quint32(ic.brk);
    out.bufOverrun = quint32(ic.buf_overrun);
    out.dcd = quint32(ic.dcd);
    out.rng = quint32(ic.rng);
    return true;
}

bool SerialPort::modemInputs(bool &dcd, bool &ring) const
{
    if (!isOpen()) return false;
    int bits = 0;
    if (ioctlRetry(fd_, TIOCMGET, &bits) != 0) return false;
    dcd = (bits & TIOCM_CAR) != 0;
    ring = (bits & TIOCM_RNG) != 0;
    return true;
}

qint64 SerialPort::read(void *buf, qint64 max, int waitMs, bool signalEndsWait)
{
    if (!isOpen()) return -1;
    if (buf == nullptr || max <= 0) return 0;
    // The descriptor does not block: without a wait the read itself says whether bytes are
    // there, one system call for a protocol that reads on every arrival.
    pollfd p{fd_, POLLIN, 0};
    if (waitMs > 0) {
        const int r = signalEndsWait ? ::poll(&p, 1, waitMs) : pollFor(&p, 1, waitMs);
        if (r < 0 && signalEndsWait && errno == EINTR) return 0;
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (p.revents & POLLNVAL) return -1;
    }

    const size_t want = size_t(std::min<qint64>(max, SSIZE_MAX));
    ssize_t n;
    do {
        n = ::read(fd_, buf, want);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        if (!ignoreNull_.load(std::memory_order_relaxed)) return n;
        auto *bytes = static_cast<char *>(buf);
        return std::remove(bytes, bytes + n, '\0') - bytes;
    }
    // With VMIN 1 a live tty never reads 0 bytes: 0 is the hang-up of the device.
    if (n == 0) return -1;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    // Nothing there: a device that has hung up says so only to poll().
    if (waitMs <= 0 && pollFor(&p, 1, 0) < 0) return -1;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) ? -1 : 0;
}

qint64 SerialPort::write(const void *buf, qint64 n, int stallMs)
{
    if (!isOpen()) return -1;
    if (buf == nullptr || n <= 0) return 0;
    const auto *bytes = static_cast<const char *>(buf);
    qint64 done = 0;
    bool failed = false;
    qint64 deadline = nowMs() + std::max(stallMs, 0);
    while (done < n) {
        const size_t chunk = size_t(std::min<qint64>(n - done, SSIZE_MAX));
        const ssize_t w = ::write(fd_, bytes + done, chunk);
        if (w > 0) {
            done += w;
            deadline = nowMs() + std::max(stallMs, 0);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const qint64 left = deadline - nowMs();
            if (left <= 0) break; // stalled: no progress for stallMs
            pollfd p{fd_, POLLOUT, 0};
            if (pollFor(&p, 1, int(std::min<qint64>(left, INT_MAX))) < 0) {
                failed = true;
                break;
            }
            if ((p.revents & POLLNVAL) ||
                ((p.revents & (POLLERR | POLLHUP)) && !(p.revents & POLLOUT))) {
                failed = true;
                break;
            }
            continue;
        }
        failed = true; // EIO, ENXIO, ... or a write that took nothing
        break;
    }
    if (done > 0 && tracing()) {
        SerialTraceEvent ev{SerialTraceEvent::Write,
                            path_,
                            {},
                            false,
                            false,
                            false,
                            QByteArray(bytes, qsizetype(done)),
                            0};
        emitTrace(ev);
    }
    return (failed && done == 0) ? -1 : done;
}

} // namespace platform
