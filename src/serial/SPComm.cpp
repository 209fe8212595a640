#include "serial/SPComm.h"

#include "platform/PortNames.h"
#include "platform/SerialPort.h"

#include <QCoreApplication>
#include <QEvent>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {
// Line settings convert to the platform's by value: the orders must agree.
static_assert(int(TParity::Odd) == int(platform::Parity::Odd) &&
              int(TParity::Even) == int(platform::Parity::Even) &&
              int(TParity::Mark) == int(platform::Parity::Mark) &&
              int(TParity::Space) == int(platform::Parity::Space));
static_assert(int(TStopBits::_1_5) == int(platform::StopBits::OneAndHalf) &&
              int(TStopBits::_2) == int(platform::StopBits::Two));

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr qsizetype kReadChunk = 2048;        // bytes of one read, so of one OnReceiveData
constexpr quint32 kMaxDword = 0xFFFFFFFFu;    // the time-out value with special meanings
constexpr milliseconds kLinePollInterval{50}; // line errors and modem inputs are polled
constexpr milliseconds kThreadStopWait{10000};
// The receive thread carries out a purge as soon as poll() wakes it; the bound only guards
// against a device call that does not return.
constexpr milliseconds kPurgeWait{1000};
// Bounds on what may wait between the threads and the user-interface thread.
constexpr std::size_t kMaxQueuedWriteBytes = 1u << 20;
constexpr qint64 kMaxPendingReceiveBytes = 1 << 20;
constexpr milliseconds kBackPressureRetry{10};

const QEvent::Type kEvReceiveData = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kEvReceiveError = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kEvRequestHangup = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kEvModemStateChange = QEvent::Type(QEvent::registerEventType());
const QEvent::Type kEvSendDataEmpty = QEvent::Type(QEvent::registerEventType());

// Qt's posting already orders a worker thread's hand-over before its delivery, but Qt is not
// built with ThreadSanitizer, which therefore cannot see that order (nor Qt's lock around its
// event list). Posts are made under a lock of our own and published on an atomic that the
// user-interface thread acquires before it touches an event, so the order is visible to it.
std::mutex postMutex;
std::atomic<quint64> postedCount{0};
void acquirePosted()
{
    (void)postedCount.load(std::memory_order_acquire);
}

// Received bytes posted and not yet handled, shared by a session and its events (which may
// outlive it): the receive thread stops reading while the user-interface thread is this far
// behind, and the bytes wait in the kernel.
struct Handoff
{
    std::atomic<qint64> pendingBytes{0};
};

// One hand-over to the user-interface thread. A data event owns its bytes: length bytes and
// a zero byte after them.
class CommEvent : public QEvent
{
public:
    CommEvent(QEvent::Type type, std::shared_ptr<Handoff> handoff, quint32 value = 0)
        : QEvent(type), handoff_(std::move(handoff)), value_(value)
    {
    }
    CommEvent(std::unique_ptr<char[]> bytes, quint16 length, std::shared_ptr<Handoff> handoff)
        : QEvent(kEvReceiveData), handoff_(std::move(handoff)), bytes_(std::move(bytes)),
          length_(length)
    {
        handoff_->pendingBytes.fetch_add(length_, std::memory_order_relaxed);
    }
    ~CommEvent() override
    {
        acquirePosted();
        if (bytes_) handoff_->pendingBytes.fetch_sub(length_, std::memory_order_relaxed);
    }
    CommEvent(const CommEvent &) = delete;
    CommEvent &operator=(const CommEvent &) = delete;

    quint32 value() const { return value_; }
    const char *bytes() const { return bytes_.get(); }
    quint16 length() const { return length_; }

private:
    std::shared_ptr<Handoff> handoff_;
    quint32 value_ = 0;
    std::unique_ptr<char[]> bytes_;
    quint16 length_ = 0;
};

} // namespace

// Everything an open port's threads share with the user-interface thread. Created by
// StartPort, destroyed by StopPort after both threads have ended.
struct TComm::Session
{
    platform::SerialPort port;
    QObject *notifier = nullptr;
    int wakeFd = -1;  // eventfd: readable once StopPort wants the threads to end
    int purgeFd = -1; // eventfd: PurgeReceive asks the receive thread to drop what it holds
    std::atomic<bool> stop{false};
    std::atomic<bool> hangupPosted{false};

    // The five time-outs as ApplyTimeouts gave them; read by the threads.
    std::atomic<quint32> readInterval{0}, readMultiplier{0}, readConstant{0};
    std::atomic<quint32> writeMultiplier{0}, writeConstant{0};
    std::atomic<int> rtsControl{int(TRtsControl::RtsEnable)};

    std::shared_ptr<Handoff> handoff = std::make_shared<Handoff>();

    // Transmit queue.
    std::mutex mutex;
    std::condition_variable wake;    // transmit thread: data queued or stop
    std::condition_variable settled; // WaitUntilSent: queue done or thread ended
    std::deque<std::vector<char>> queue;
    std::size_t queuedBytes = 0;
    bool writing = false;
    bool writerEnded = false;

    // PurgeReceive: requests made by the user-interface thread and carried out by the
    // receive thread, under purgeMutex.
    std::mutex purgeMutex;
    std::condition_variable purgeDone;
    quint64 purgesRequested = 0;
    quint64 purgesCarriedOut = 0;

    ~Session()
    {
        if (wakeFd >= 0) ::close(wakeFd);
        if (purgeFd >= 0) ::close(purgeFd);
    }

    void post(CommEvent *event)
    {
        const std::lock_guard lock(postMutex);
        postedCount.fetch_add(1, std::memory_order_release);
        QCoreApplication::postEvent(notifier, event);
    }
    void post(QEvent::Type type, quint32 value = 0) { post(new CommEvent(type, handoff, value)); }
    void postHangup()
    {
        if (!hangupPosted.exchange(true)) post(kEvRequestHangup);
    }
    void requestStop()
    {
        stop.store(true);
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t r = ::write(wakeFd, &one, sizeof one);
        {
            // Taking the lock once orders the flag before a transmit thread that has just
            // checked it goes to sleep, so that thread cannot miss the notification.
            const std::lock_guard lock(mutex);
        }
        wake.notify_all();
    }
};

class TComm::Notifier : public QObject
{
public:
    explicit Notifier(TComm *owner) : QObject(owner), owner_(owner) {}
    bool event(QEvent *e) override
    {
        acquirePosted();
        const auto t = e->type();
        if (t == kEvReceiveData || t == kEvReceiveError || t == kEvRequestHangup ||
            t == kEvModemStateChange || t == kEvSendDataEmpty) {
            owner_->dispatch(e);
            return true;
        }
        return QObject::event(e);
    }

private:
    TComm *owner_;
};

// ---------------------------------------------------------------------------------------------
// The two threads

// A worker thread of an open port: Execute() runs on its own std::thread. StopPort waits for
// the end with a bound (waitFinished), then joins.
class TCommThread
{
public:
    explicit TCommThread(TComm::Session &s) : s_(s) {}
    virtual ~TCommThread() { join(); }
    TCommThread(const TCommThread &) = delete;
    TCommThread &operator=(const TCommThread &) = delete;

    // False when the system cannot create the thread.
    bool start()
    {
        try {
            thread_ = std::thread([this] {
                Execute();
                const std::lock_guard lock(doneMutex_);
                done_ = true;
                doneCv_.notify_all();
            });
        } catch (const std::exception &) {
            return false;
        }
        return true;
    }
    bool waitFinished(milliseconds limit)
    {
        std::unique_lock lock(doneMutex_);
        return doneCv_.wait_for(lock, limit, [this] { return done_; });
    }
    void join()
    {
        if (thread_.joinable()) thread_.join();
    }

protected:
    virtual void Execute() = 0;
    TComm::Session &s_;

private:
    std::thread thread_;
    std::mutex doneMutex_;
    std::condition_variable doneCv_;
    bool done_ = false;
};

// ---------------------------------------------------------------------------------------------
// Receive thread

class TReadThread : public TCommThread
{
public:
    using TCommThread::TCommThread;

protected:
    void Execute() override;

private:
    bool handOver(const char *bytes, qsizetype count);
    void checkLine();

    bool haveCounters_ = false, haveModem_ = false;
    platform::LineCounters last_;
    bool lastDcd_ = false, lastRing_ = false;
};

namespace {

struct ReadLimits
{
    bool immediate = false; // complete as soon as any byte is in
    qint64 intervalMs = 0;  // 0: none
    qint64 totalMs = 0;     // 0: none
};

ReadLimits readLimits(quint32 interval, quint32 multiplier, quint32 constant)
{
    ReadLimits l;
    if (interval == kMaxDword && multiplier == 0 && constant == 0) {
        l.immediate = true;
        return l;
    }
    if (interval == kMaxDword && multiplier == kMaxDword && constant != 0 &&
        constant != kMaxDword) {
        l.immediate = true;
        l.totalMs = constant;
        return l;
    }
    l.intervalMs = interval;
    // Beyond 49 days a limit is as good as none; the cap keeps the clock arithmetic in range.
    l.totalMs = std::min<qint64>(qint64(multiplier) * kReadChunk + qint64(constant), kMaxDword);
    return l;
}

qint64 msUntil(Clock::time_point t)
{
    return std::chrono::ceil<milliseconds>(t - Clock::now()).count();
}

} // namespace

bool TReadThread::handOver(const char *bytes, qsizetype count)
{
    std::unique_ptr<char[]> copy(new (std::nothrow) char[std::size_t(count) + 1]);
    if (!copy) return false;
    std::memcpy(copy.get(), bytes, std::size_t(count));
    copy[count] = '\0';
    s_.post(new CommEvent(std::move(copy), quint16(count), s_.handoff));
    return true;
}

void TReadThread::checkLine()
{
    if (haveCounters_) {
        platform::LineCounters now;
        if (s_.port.counters(now)) {
            quint32 errors = 0;
            if (now.bufOverrun != last_.bufOverrun) errors |= kCommErrorRxOver;
            if (now.overrun != last_.overrun) errors |= kCommErrorOverrun;
            if (now.parity != last_.parity) errors |= kCommErrorParity;
            if (now.frame != last_.frame) errors |= kCommErrorFrame;
            if (now.brk != last_.brk) errors |= kCommErrorBreak;
            quint32 modem = 0;
            if (now.dcd != last_.dcd) modem |= kModemCarrierChanged;
            if (now.rng != last_.rng) modem |= kModemRing;
            last_ = now;
            if (errors) s_.post(kEvReceiveError, errors);
            if (modem) s_.post(kEvModemStateChange, modem);
            return;
        }
    }
    if (haveModem_) {
        bool dcd = false, ring = false;
        if (!s_.port.modemInputs(dcd, ring)) return;
        quint32 modem = 0;
        if (dcd != lastDcd_) modem |= kModemCarrierChanged;
        if (ring && !lastRing_) modem |= kModemRing;
        lastDcd_ = dcd;
        lastRing_ = ring;
        if (modem) s_.post(kEvModemStateChange, modem);
    }
}

void TReadThread::Execute()
{
    haveCounters_ = s_.port.counters(last_);
    haveModem_ = s_.port.modemInputs(lastDcd_, lastRing_);
    const bool watchLine = haveCounters_ || haveModem_;

    char buffer[kReadChunk];
    qsizetype count = 0;
    // The time-outs in force when a read begins hold for that read.
    auto beginRead = [this] {
        return readLimits(s_.readInterval.load(), s_.readMultiplier.load(), s_.readConstant.load());
    };
    ReadLimits limits = beginRead();
    auto readStart = Clock::now();
    auto lastByte = readStart;
    auto nextLineCheck = readStart + kLinePollInterval;
    bool failed = false;

    while (!s_.stop.load()) {
        const auto now = Clock::now();
        bool complete = count == kReadChunk || (limits.immediate && count > 0);
        bool expired = false;
        if (!complete && count > 0 && limits.intervalMs > 0 &&
            now - lastByte >= milliseconds(limits.intervalMs))
            complete = true;
        if (!complete && limits.totalMs > 0 && now - readStart >= milliseconds(limits.totalMs)) {
            if (count > 0)
                complete = true;
            else
                expired = true; // never an empty read: the next one begins
        }
        if (complete) {
            if (!handOver(buffer, count)) {
                failed = true;
                break;
            }
            count = 0;
        }
        if (complete || expired) {
            limits = beginRead();
            readStart = Clock::now();
        }
        if (watchLine && now >= nextLineCheck) {
            checkLine();
            nextLineCheck = now + kLinePollInterval;
        }

        // Sleep until data, stop, or the first of the read's limits and the next line check.
        auto wakeAt = Clock::time_point::max();
        if (count > 0 && limits.intervalMs > 0)
            wakeAt = std::min(wakeAt, lastByte + milliseconds(limits.intervalMs));
        if (limits.totalMs > 0) wakeAt = std::min(wakeAt, readStart + milliseconds(limits.totalMs));
        if (watchLine) wakeAt = std::min(wakeAt, nextLineCheck);
        // While the user-interface thread is behind, the bytes wait in the kernel.
        const bool backPressure =
            s_.handoff->pendingBytes.load(std::memory_order_relaxed) >= kMaxPendingReceiveBytes;
        if (backPressure) wakeAt = std::min(wakeAt, Clock::now() + kBackPressureRetry);
        const int timeoutMs =
            wakeAt == Clock::time_point::max()
                ? -1
                : int(std::clamp<qint64>(msUntil(wakeAt), 0, std::numeric_limits<int>::max()));

        pollfd fds[3] = {{s_.wakeFd, POLLIN, 0},
                         {backPressure ? -1 : s_.port.fd(), POLLIN, 0},
                         {s_.purgeFd, POLLIN, 0}};
        const int r = ::poll(fds, 3, timeoutMs);
        if (r < 0) {
            if (errno == EINTR) continue;
            failed = true;
            break;
        }
        if (s_.stop.load() || (fds[0].revents & POLLIN)) break;
        if (fds[2].revents & POLLIN) {
            quint64 requests = 0;
            [[maybe_unused]] const ssize_t got = ::read(s_.purgeFd, &requests, sizeof requests);
            count = 0;
            s_.port.purge(true, false);
            {
                const std::lock_guard lock(s_.purgeMutex);
                s_.purgesCarriedOut = s_.purgesRequested;
            }
            s_.purgeDone.notify_all();
            limits = beginRead();
            readStart = Clock::now();
            continue;
        }
        if (fds[1].revents == 0) continue;

        const qint64 n = s_.port.read(buffer + count, kReadChunk - count, 0);
        if (n < 0) { // the device is gone
            failed = true;
            break;
        }
        if (n > 0) {
            count += qsizetype(n);
            lastByte = Clock::now();
        }
    }
    if (failed && !s_.stop.load()) s_.postHangup();
    s_.port.purge(true, false);
}

// ---------------------------------------------------------------------------------------------
// Transmit thread

class TWriteThread : public TCommThread
{
public:
    using TCommThread::TCommThread;

protected:
    void Execute() override;

private:
    enum class Outcome { Written, Stopped, Failed };
    Outcome writeAll(const std::vector<char> &data);
    bool waitDrained();
};

TWriteThread::Outcome TWriteThread::writeAll(const std::vector<char> &data)
{
    const qint64 size = qint64(data.size());
    qint64 done = 0;
    while (done < size) {
        if (s_.stop.load()) return Outcome::Stopped;
        pollfd fds[2] = {{s_.wakeFd, POLLIN, 0}, {s_.port.fd(), POLLOUT, 0}};
        const int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Outcome::Failed;
        }
        if (s_.stop.load() || (fds[0].revents & POLLIN)) return Outcome::Stopped;
        if (fds[1].revents & POLLNVAL) return Outcome::Failed;
        // Takes what the kernel accepts now; -1 once the device has failed.
        const qint64 n = s_.port.write(data.data() + done, size - done, 0);
        if (n < 0) return Outcome::Failed;
        done += n;
    }
    return Outcome::Written;
}

// RTS of RtsTransmissionAvailable goes down only once the bytes have left the kernel.
bool TWriteThread::waitDrained()
{
    constexpr milliseconds kDrainStep{1};
    while (!s_.stop.load()) {
        if (s_.port.drain(0)) return true;
        std::unique_lock lock(s_.mutex);
        s_.wake.wait_for(lock, kDrainStep, [this] { return s_.stop.load(); });
    }
    return false;
}

void TWriteThread::Execute()
{
    bool failed = false;
    for (;;) {
        std::vector<char> data;
        {
            std::unique_lock lock(s_.mutex);
            // Found empty at the start or after a write: say so once, then sleep until data
            // comes, so an idle thread reports nothing more.
            if (s_.queue.empty()) {
                s_.writing = false;
                s_.settled.notify_all();
                lock.unlock();
                s_.post(kEvSendDataEmpty);
                lock.lock();
                s_.wake.wait(lock, [this] { return s_.stop.load() || !s_.queue.empty(); });
            }
            if (s_.stop.load()) break;
            data = std::move(s_.queue.front());
            s_.queue.pop_front();
            s_.queuedBytes -= data.size();
            s_.writing = true;
        }

        const bool toggleRts = s_.rtsControl.load() == int(TRtsControl::RtsTransmissionAvailable);
        if (toggleRts) s_.port.setRts(true);
        const Outcome outcome = writeAll(data);
        if (toggleRts) {
            if (outcome == Outcome::Written) waitDrained();
            s_.port.setRts(false);
        }
        if (outcome == Outcome::Stopped) break;
        if (outcome == Outcome::Failed) {
            failed = true;
            break;
        }
    }
    if (failed && !s_.stop.load()) s_.postHangup();
    s_.port.purge(false, true);
    {
        const std::lock_guard lock(s_.mutex);
        s_.writing = false;
        s_.writerEnded = true;
    }
    s_.settled.notify_all();
}

// ---------------------------------------------------------------------------------------------
// TComm

TComm::TComm(QObject *parent) : QObject(parent), notifier_(new Notifier(this)) {}

TComm::~TComm()
{
    StopPort();
}

void TComm::dispatch(QEvent *event)
{
    const auto *e = static_cast<CommEvent *>(event);
    const auto t = e->type();
    if (t == kEvReceiveData) {
        if (OnReceiveData) OnReceiveData(this, e->bytes(), e->length());
    } else if (t == kEvReceiveError) {
        if (OnReceiveError) OnReceiveError(this, e->value());
    } else if (t == kEvModemStateChange) {
        if (OnModemStateChange) OnModemStateChange(this, e->value());
    } else if (t == kEvRequestHangup) {
        if (OnRequestHangup) OnRequestHangup(this);
    } else if (t == kEvSendDataEmpty) {
        if (OnSendDataEmpty) OnSendDataEmpty(this);
    }
}

void TComm::StartPort()
{
    if (session_) throw ECommsError(ECommsError::kAlreadyOpen);

    std::unique_ptr<Session> s(new (std::nothrow) Session);
    if (!s) throw ECommsError(ECommsError::kSetupBuffer);
    s->notifier = notifier_;

    const QString path = platform::resolvePortName(CommName_);
    if (path.isEmpty())
        throw ECommsError(ECommsError::kOpenFailed,
                          QCoreApplication::translate("serial", "%1 不是本机上的串口名")
                              .arg(CommName_));
    switch (s->port.open(path)) {
    case platform::OpenResult::Ok:
        break;
    case platform::OpenResult::NotATty:
        throw ECommsError(ECommsError::kNotComm, s->port.errorString());
    default:
        throw ECommsError(ECommsError::kOpenFailed, s->port.errorString());
    }

    s->port.purge(true, true);
    session_ = std::move(s);
    ApplyTimeouts();
    ApplyLineSettings();

    auto closeAll = [this] {
        session_->port.close();
        session_.reset();
    };

    session_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    session_->purgeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (session_->wakeFd < 0 || session_->purgeFd < 0) {
        closeAll();
        throw ECommsError(ECommsError::kCreateEvent);
    }

    readThread_.reset(new (std::nothrow) TReadThread(*session_));
    if (!readThread_ || !readThread_->start()) {
        readThread_.reset();
        closeAll();
        throw ECommsError(ECommsError::kCreateReadThread);
    }
    writeThread_.reset(new (std::nothrow) TWriteThread(*session_));
    if (!writeThread_ || !writeThread_->start()) {
        writeThread_.reset();
        stopThreads();
        closeAll();
        throw ECommsError(ECommsError::kCreateWriteThread);
    }
}

// The threads wake at once from their polls and waits; the bound only guards against a
// device call that does not return.
void TComm::stopThreads()
{
    session_->requestStop();
    if (readThread_) {
        session_->port.purge(true, false);
        if (!readThread_->waitFinished(kThreadStopWait))
            qWarning("TComm: the receive thread did not end within %lld ms",
                     qlonglong(kThreadStopWait.count()));
        readThread_->join();
        readThread_.reset();
    }
    if (writeThread_) {
        session_->port.purge(false, true);
        if (!writeThread_->waitFinished(kThreadStopWait))
            qWarning("TComm: the transmit thread did not end within %lld ms",
                     qlonglong(kThreadStopWait.count()));
        writeThread_->join();
        writeThread_.reset();
    }
}

void TComm::StopPort()
{
    if (!session_) return;
    stopThreads();
    session_->port.close();
    session_.reset();
}

bool TComm::WriteData(const char *Buffer, quint16 Length)
{
    if (!session_ || !writeThread_ || Length == 0 || Buffer == nullptr) return false;
    Session &s = *session_;
    {
        const std::lock_guard lock(s.mutex);
        if (s.writerEnded || s.queuedBytes + Length > kMaxQueuedWriteBytes) return false;
        s.queue.emplace_back(Buffer, Buffer + Length);
        s.queuedBytes += Length;
    }
    s.wake.notify_one();
    return true;
}

bool TComm::WaitUntilSent(int TimeoutMs)
{
    if (!session_) return true;
    Session &s = *session_;
    const auto deadline = Clock::now() + milliseconds(std::max(TimeoutMs, 0));
    {
        std::unique_lock lock(s.mutex);
        const bool settled = s.settled.wait_until(
            lock, deadline, [&s] { return s.writerEnded || (s.queue.empty() && !s.writing); });
        // The transmit thread ends early only on a failure: what it held is lost.
        if (!settled || s.writerEnded) return false;
    }
    return s.port.drain(int(std::max<qint64>(msUntil(deadline), 0)));
}

void TComm::PurgeReceive()
{
    if (!session_) return;
    Session &s = *session_;
    quint64 ticket = 0;
    {
        const std::lock_guard lock(s.purgeMutex);
        ticket = ++s.purgesRequested;
    }
    const quint64 one = 1;
    bool carriedOut = false;
    if (readThread_ && !readThread_->waitFinished(milliseconds(0)) &&
        ::write(s.purgeFd, &one, sizeof one) == sizeof one) {
        std::unique_lock lock(s.purgeMutex);
        carriedOut = s.purgeDone.wait_for(lock, kPurgeWait,
                                          [&s, ticket] { return s.purgesCarriedOut >= ticket; });
    }
    // A receive thread that has ended (the device failed) holds nothing more.
    if (!carriedOut) s.port.purge(true, false);
}

void TComm::ApplyLineSettings()
{
    if (!session_) return;
    platform::LineSettings l;
    l.baud = BaudRate_;
    l.dataBits = int(ByteSize_) + 5;
    l.parity = platform::Parity(Parity_);
    l.stopBits = platform::StopBits(StopBits_);
    l.rtsCts = Outx_CtsFlow_ || RtsControl_ == TRtsControl::RtsHandshake;
    l.xonXoffOut = Outx_XonXoffFlow_;
    l.xonXoffIn = Inx_XonXoffFlow_;
    l.parityCheck = ParityCheck_;
    l.ignoreNull = IgnoreNullChar_;
    l.xonChar = XonChar_;
    l.xoffChar = XoffChar_;
    platform::SerialPort &port = session_->port;
    port.applyLine(l);

    port.setDtr(DtrControl_ != TDtrControl::DtrDisable);
    session_->rtsControl.store(int(RtsControl_));
    switch (RtsControl_) {
    case TRtsControl::RtsEnable:
        port.setRts(true);
        break;
    case TRtsControl::RtsDisable:
        port.setRts(false);
        break;
    case TRtsControl::RtsHandshake:
        break; // the kernel drives RTS
    case TRtsControl::RtsTransmissionAvailable:
        port.setRts(false);
        break;
    }
}

bool TComm::SetDTR(bool on)
{
    DtrControl_ = on ? TDtrControl::DtrEnable : TDtrControl::DtrDisable;
    return session_ && session_->port.setDtr(on);
}

bool TComm::SetRTS(bool on)
{
    RtsControl_ = on ? TRtsControl::RtsEnable : TRtsControl::RtsDisable;
    if (!session_) return false;
    session_->rtsControl.store(int(RtsControl_));
    return session_->port.setRts(on);
}

bool TComm::SetBreak(bool on)
{
    return session_ && session_->port.setBreak(on);
}

void TComm::ApplyTimeouts()
{
    if (!session_) return;
    session_->readInterval.store(ReadIntervalTimeout_);
    session_->readMultiplier.store(ReadTotalTimeoutMultiplier_);
    session_->readConstant.store(ReadTotalTimeoutConstant_);
    session_->writeMultiplier.store(WriteTotalTimeoutMultiplier_);
    session_->writeConstant.store(WriteTotalTimeoutConstant_);
}

template <typename T> void TComm::setLine(T &field, T v)
{
    if (field == v) return;
    field = v;
    ApplyLineSettings();
}

void TComm::setTimeout(quint32 &field, quint32 v)
{
    if (field == v) return;
    field = v;
    ApplyTimeouts();
}

void TComm::setCommName(const QString &v)
{
    CommName_ = v;
}
void TComm::setParity(TParity v)
{
    Parity_ = v;
}
void TComm::setBaudRate(quint32 v)
{
    setLine(BaudRate_, v);
}
void TComm::setParityCheck(bool v)
{
    setLine(ParityCheck_, v);
}
void TComm::setOutx_CtsFlow(bool v)
{
    setLine(Outx_CtsFlow_, v);
}
void TComm::setOutx_DsrFlow(bool v)
{
    setLine(Outx_DsrFlow_, v);
}
void TComm::setDtrControl(TDtrControl v)
{
    setLine(DtrControl_, v);
}
void TComm::setDsrSensitivity(bool v)
{
    setLine(DsrSensitivity_, v);
}
void TComm::setTxContinueOnXoff(bool v)
{
    setLine(TxContinueOnXoff_, v);
}
void TComm::setOutx_XonXoffFlow(bool v)
{
    setLine(Outx_XonXoffFlow_, v);
}
void TComm::setInx_XonXoffFlow(bool v)
{
    setLine(Inx_XonXoffFlow_, v);
}
void TComm::setReplaceWhenParityError(bool v)
{
    setLine(ReplaceWhenParityError_, v);
}
void TComm::setIgnoreNullChar(bool v)
{
    setLine(IgnoreNullChar_, v);
}
void TComm::setRtsControl(TRtsControl v)
{
    setLine(RtsControl_, v);
}
void TComm::setXonLimit(quint16 v)
{
    setLine(XonLimit_, v);
}
void TComm::setXoffLimit(quint16 v)
{
    setLine(XoffLimit_, v);
}
void TComm::setByteSize(TByteSize v)
{
    setLine(ByteSize_, v);
}
void TComm::setStopBits(TStopBits v)
{
    setLine(StopBits_, v);
}
void TComm::setXonChar(char v)
{
    setLine(XonChar_, v);
}
void TComm::setXoffChar(char v)
{
    setLine(XoffChar_, v);
}
void TComm::setReplacedChar(char v)
{
    setLine(ReplacedChar_, v);
}
void TComm::setReadIntervalTimeout(quint32 v)
{
    setTimeout(ReadIntervalTimeout_, v);
}
void TComm::setReadTotalTimeoutMultiplier(quint32 v)
{
    setTimeout(ReadTotalTimeoutMultiplier_, v);
}
void TComm::setReadTotalTimeoutConstant(quint32 v)
{
    setTimeout(ReadTotalTimeoutConstant_, v);
}
void TComm::setWriteTotalTimeoutMultiplier(quint32 v)
{
    setTimeout(WriteTotalTimeoutMultiplier_, v);
}
void TComm::setWriteTotalTimeoutConstant(quint32 v)
{
    setTimeout(WriteTotalTimeoutConstant_, v);
}
