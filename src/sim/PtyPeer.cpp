#include "sim/PtyPeer.h"

#include "sim/Device.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::size_t kChunk = 4096;
// Longest sleep of a wait between looks at the Qt event queue: short against the program's
// own 3 ms and 5 ms timers.
constexpr std::chrono::milliseconds kEventSlice{1};
// A paced line is served in steps of whole bytes lasting about this long: one byte at a time
// up to 115200 baud (95 us a byte at 11 bits), several at the faster rates, where a wake-up
// per byte (12 us at 921600) would cost more than the byte itself and slow the line down.
constexpr std::chrono::microseconds kPacingStep{100};

void closeFd(int &fd)
{
    if (fd >= 0) ::close(fd);
    fd = -1;
}

timespec toTimespec(std::chrono::nanoseconds d)
{
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
    return {static_cast<time_t>(s.count()), static_cast<long>((d - s).count())};
}

} // namespace

PtyPeer::PtyPeer()
{
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    master_ = master;
    slave_ = slave;
    std::array<char, PATH_MAX> name{};
    int pipeFds[2] = {-1, -1};
    termios tio{};
    const bool ready =
        ::ptsname_r(master_, name.data(), name.size()) == 0 && ::tcgetattr(slave_, &tio) == 0 &&
        (::cfmakeraw(&tio), ::tcsetattr(slave_, TCSANOW, &tio) == 0) &&
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) == 0 &&
        ::fcntl(master_, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(slave_, F_SETFD, FD_CLOEXEC) == 0 &&
        ::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) == 0;
    if (!ready) {
        closeFd(master_);
        closeFd(slave_);
        closeFd(pipeFds[0]);
        closeFd(pipeFds[1]);
        return;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    slavePath_ = QString::fromLocal8Bit(name.data());
    // Without the watch the peer still carries bytes; the device then never hears of opens.
    opens_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens_ >= 0 && ::inotify_add_watch(opens_, name.data(), IN_OPEN) < 0) closeFd(opens_);
    open_ = true;
    thread_ = std::thread(&PtyPeer::run, this);
}

PtyPeer::~PtyPeer()
{
    stopThread();
    closeFd(master_);
    closeFd(slave_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    closeFd(opens_);
}

bool PtyPeer::isOpen() const
{
    std::lock_guard guard(mutex_);
    return open_;
}

QString PtyPeer::slavePath() const
{
    return slavePath_;
}

void PtyPeer::attach(sim::Device *device)
{
    std::lock_guard guard(deviceMutex_);
    device_ = device;
}

void PtyPeer::setReplyDelay(std::chrono::milliseconds delay)
{
    std::lock_guard guard(mutex_);
    replyDelay_ = std::max(delay, std::chrono::milliseconds(0));
}

void PtyPeer::setPacing(int bitsPerByte, int baud)
{
    {
        std::lock_guard guard(mutex_);
        if (bitsPerByte > 0 && baud > 0)
            perByte_ = std::chrono::duration_cast<Clock::duration>(
                std::chrono::nanoseconds(std::int64_t(1'000'000'000) * bitsPerByte / baud));
        else
            perByte_ = Clock::duration::zero();
    }
    wake();
}

void PtyPeer::setSilent(bool silent)
{
    std::lock_guard guard(mutex_);
    silent_ = silent;
}

void PtyPeer::send(QByteArrayView bytes)
{
    if (bytes.isEmpty()) return;
    {
        std::lock_guard guard(mutex_);
        if (!open_) return;
        queue_.push_back({bytes.toByteArray(), Clock::now()});
    }
    wake();
}

bool PtyPeer::waitUntilSent(int timeoutMs)
{
    return waitFor([this] { return queue_.empty(); }, timeoutMs);
}

QByteArray PtyPeer::received() const
{
    std::lock_guard guard(mutex_);
    return received_;
}

qsizetype PtyPeer::receivedCount() const
{
    std::lock_guard guard(mutex_);
    return received_.size();
}

QByteArray PtyPeer::sentToHost() const
{
    std::lock_guard guard(mutex_);
    return sent_;
}

std::vector<PtyPeer::Record> PtyPeer::log() const
{
    std::lock_guard guard(mutex_);
    return log_;
}

void PtyPeer::setKeepLog(bool keep)
{
    std::lock_guard guard(mutex_);
    keepLog_ = keep;
}

void PtyPeer::clearLog()
{
    std::lock_guard guard(mutex_);
    received_.clear();
    sent_.clear();
    log_.clear();
}

bool PtyPeer::waitForReceived(qsizetype count, int timeoutMs)
{
    return waitFor([this, count] { return received_.size() >= count; }, timeoutMs);
}

bool PtyPeer::waitForReceived(const std::function<bool(const QByteArray &)> &predicate,
                              int timeoutMs)
{
    return waitFor([this, &predicate] { return predicate(received_); }, timeoutMs);
}

void PtyPeer::closeMaster()
{
    stopThread();
    std::lock_guard guard(mutex_);
    closeFd(master_);
    closeFd(slave_);
    queue_.clear();
    open_ = false;
    ++changes_;
    changed_.notify_all();
}

bool PtyPeer::waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    const QDeadlineTimer deadline(std::max(0, timeoutMs), Qt::PreciseTimer);
    for (;;) {
        if (QCoreApplication::instance()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        std::unique_lock lock(mutex_);
        if (condition()) return true;
        if (deadline.hasExpired()) return false;
        const quint64 seen = changes_;
        const auto slice = std::min<std::chrono::nanoseconds>(
            kEventSlice, std::chrono::nanoseconds(deadline.remainingTimeNSecs()));
        changed_.wait_for(lock, slice, [&] { return changes_ != seen; });
    }
}

void PtyPeer::wake()
{
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
}

void PtyPeer::stopThread()
{
    stop_ = true;
    if (thread_.joinable()) {
        wake();
        thread_.join();
    }
}

qint64 PtyPeer::bytesDue(const Pacing &pacing, Clock::time_point now, Clock::duration perByte)
{
    return (now - pacing.start) / perByte - pacing.count;
}

qint64 PtyPeer::stepBytes(Clock::duration perByte)
{
    return std::max<qint64>(1, std::chrono::duration_cast<Clock::duration>(kPacingStep) / perByte);
}

void PtyPeer::run()
{
    // A UART's bytes arrive on time; the kernel's default 50 us slack on every timed wait
    // would add itself to each paced byte and each answer, as if the chip were slow.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
    Pacing rx;
    Pacing tx;
    while (!stop_) {
        const Clock::time_point now = Clock::now();
        Clock::duration perByte;
        std::optional<Clock::time_point> deadline;
        auto until = [&](Clock::time_point t) { deadline = deadline ? std::min(*deadline, t) : t; };
        bool wantWrite = false;
        {
            std::lock_guard guard(mutex_);
            perByte = perByte_;
            if (queue_.empty() || queue_.front().notBefore > now) {
                tx.busy = false;
                if (!queue_.empty()) until(queue_.front().notBefore);
            } else if (perByte == Clock::duration::zero()) {
                wantWrite = true;
            } else {
                if (!tx.busy) tx = {true, now, 0};
                const qint64 step = std::min(stepBytes(perByte), qint64(queue_.front().bytes.size()));
                if (bytesDue(tx, now, perByte) >= step)
                    wantWrite = true;
                else
                    until(tx.start + (tx.count + step) * perByte);
            }
        }
        bool wantRead = true;
        if (perByte == Clock::duration::zero()) {
            rx.busy = false;
        } else if (rx.busy) {
            // The bytes the host has written and the peer not read yet: a step waits for no
            // more than those.
            int waiting = 0;
            if (::ioctl(master_, FIONREAD, &waiting) != 0) waiting = 0;
            const qint64 step = std::clamp<qint64>(waiting, 1, stepBytes(perByte));
            if (bytesDue(rx, now, perByte) < step) {
                wantRead = false;
                until(rx.start + (rx.count + step) * perByte);
            }
        }

        pollfd fds[3] = {{wakeRead_, POLLIN, 0},
                         {master_, short((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
                         {opens_, POLLIN, 0}};
        timespec timeout{};
        if (deadline)
            timeout = toTimespec(std::max(*deadline - Clock::now(), Clock::duration::zero()));
        if (::ppoll(fds, opens_ >= 0 ? 3 : 2, deadline ? &timeout : nullptr, nullptr) < 0)
            continue;

        if (fds[0].revents & POLLIN) {
            std::array<char, 64> drain{};
            while (::read(wakeRead_, drain.data(), drain.size()) > 0) {
            }
        }
        if (stop_) break;
        if (opens_ >= 0 && (fds[2].revents & POLLIN)) noticeOpens();
        const Clock::time_point after = Clock::now();
        if (wantRead && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            readFromHost(after, rx, perByte);
        if (wantWrite && (fds[1].revents & POLLOUT)) writeToHost(after, tx, perByte);
    }
}

void PtyPeer::noticeOpens()
{
    // A watch of one file gets events without a name: 64 of them per read.
    alignas(inotify_event) std::array<char, 64 * sizeof(inotify_event)> events{};
    bool opened = false;
    for (;;) {
        const ssize_t n = ::read(opens_, events.data(), events.size());
        if (n <= 0) break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(events.data() + at);
            opened = opened || (e->mask & IN_OPEN) != 0;
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    if (!opened) return;
    std::lock_guard guard(deviceMutex_);
    if (device_) device_->hostOpened();
}

void PtyPeer::readFromHost(Clock::time_point now, Pacing &rx, Clock::duration perByte)
{
    // The kernel queues an open's event before the opener can write: noticed here first,
    // every open reaches the device before the bytes written after it.
    if (opens_ >= 0) noticeOpens();
    std::array<char, kChunk> buffer{};
    qint64 limit = qint64(buffer.size());
    if (perByte != Clock::duration::zero()) {
        if (!rx.busy) {
            // The first byte of a burst is on the wire for one byte time before it is here.
            rx = {true, now, 0};
            return;
        }
        limit = std::min(limit, bytesDue(rx, now, perByte));
        if (limit <= 0) return;
    }
    const ssize_t n = ::read(master_, buffer.data(), std::size_t(limit));
    if (n <= 0) {
        rx.busy = false;
        // A hang-up without data cannot happen while the peer holds a slave descriptor; if it
        // does anyway, do not spin on it.
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) ::usleep(1000);
        return;
    }
    if (perByte != Clock::duration::zero()) {
        rx.count += n;
        // The kernel queue is empty: the line went idle, and the next burst starts afresh
        // (idle time must not be credited to it).
        int waiting = 0;
        if (n < limit || (::ioctl(master_, FIONREAD, &waiting) == 0 && waiting == 0))
            rx.busy = false;
    }
    const QByteArray chunk(buffer.data(), qsizetype(n));

    bool silent = false;
    {
        std::lock_guard guard(mutex_);
        silent = silent_;
    }
    QByteArray answer;
    std::chrono::microseconds deviceDelay{0};
    if (!silent) {
        std::lock_guard guard(deviceMutex_);
        if (device_) {
            answer = device_->feed(chunk);
            deviceDelay = device_->answerDelay();
        }
    }
    std::lock_guard guard(mutex_);
    if (keepLog_) {
        received_ += chunk;
        log_.push_back({now, Direction::FromHost, chunk});
    }
    if (!answer.isEmpty() && !silent_)
        queue_.push_back({answer, Clock::now() + replyDelay_ + deviceDelay});
    ++changes_;
    changed_.notify_all();
}

void PtyPeer::writeToHost(Clock::time_point now, Pacing &tx, Clock::duration perByte)
{
    std::lock_guard guard(mutex_);
    if (queue_.empty() || queue_.front().notBefore > now) return;
    Pending &front = queue_.front();
    qint64 limit = front.bytes.size();
    if (perByte != Clock::duration::zero()) limit = std::min(limit, bytesDue(tx, now, perByte));
    if (limit <= 0) return;
    const ssize_t n = ::write(master_, front.bytes.constData(), std::size_t(limit));
    if (n <= 0) return;
    if (perByte != Clock::duration::zero()) tx.count += n;
    if (keepLog_) {
        const QByteArray chunk = front.bytes.left(qsizetype(n));
        sent_ += chunk;
        log_.push_back({Clock::now(), Direction::ToHost, chunk});
    }
    front.bytes.remove(0, qsizetype(n));
    if (front.bytes.isEmpty()) queue_.pop_front();
    ++changes_;
    changed_.notify_all();
}

} // namespace sim
