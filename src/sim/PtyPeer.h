// PtyPeer: the far end of a simulated serial cable. It carries a virtual board for
// `tramelo simulate` and the demonstration window, and the simulated boards of the tests.
//
// Principles of operation
// -----------------------
// The peer opens a pseudo-terminal pair. The program on the other end (the program under test,
// or any flasher) opens the slave by its path (slavePath()) as it would open /dev/ttyUSB0; the
// peer holds the master. The peer also keeps
// a descriptor of the slave open for its whole life, so the program may close and reopen the
// port without the master seeing a hang-up (EIO). The slave is in raw mode: no byte is
// translated in either direction.
//
// One background thread does all I/O on the master. It waits in ppoll() on the master, on
// a wake pipe and on an inotify watch of the slave's path, which tells of every open of the
// port (the kept slave descriptor hides closes, and a pty has no modem lines: a new open is
// the only sign of a new session the peer can see). It tells the device of each open
// (Device::hostOpened) before it feeds any byte written after it, reads what the host wrote, logs every chunk with its monotonic time and
// direction, hands it to the attached Device and queues the device's answer (after the reply
// delay, if one is set). Bytes given to send() are queued the same way, so the calling thread
// never blocks on the pty and a window under test keeps running. With pacing set, both
// directions run at the speed of a real UART: host bytes are taken from the pty no faster
// than the line carries them (a host that writes a lot waits on the kernel queue as it would
// on a real port) and answers leave at the same rate.
//
// Waiting: waitForReceived() keeps processing Qt events on the calling thread (timers and
// socket notifiers of the window under test go on) and wakes as soon as the peer records
// new host bytes, so round trips are not slowed by a fixed sleep.
//
// Lifetime: an attached device must outlive the peer or be detached first (attach(nullptr)
// waits for a feed in progress). Declare the simulator before the peer in a test. The
// destructor stops the thread and closes every descriptor; closeMaster() does the same
// early, to make the adapter disappear under the program (its reads then fail with EIO).
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sim {

class Device;

class PtyPeer
{
public:
    using Clock = std::chrono::steady_clock;

    enum class Direction { FromHost, ToHost };

    struct Record
    {
        Clock::time_point time; // when the chunk was read from or written to the master
        Direction direction;
        QByteArray bytes;
    };

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    // False when the pty could not be opened, or after closeMaster().
    bool isOpen() const;
    QString slavePath() const;

    // Device that answers the host's bytes; not owned. nullptr detaches (the host's bytes are
    // then only recorded).
    void attach(sim::Device *device);
    // Delay between a chunk from the host and the device's answer to it.
    void setReplyDelay(std::chrono::milliseconds delay);
    // Pace both directions like a UART with this many bits per byte (10 for 8N1, 11 for 8E1)
    // at this baud rate; baud 0 turns pacing off (the default).
    void setPacing(int bitsPerByte, int baud);
    // While silent the host's bytes are recorded but not given to the device, and nothing
    // is answered (a board that is switched off).
    void setSilent(bool silent);

    // Queues bytes for the host; the peer thread writes them (paced, if pacing is on).
    void send(QByteArrayView bytes);
    // Processes events until every queued byte has been written to the master.
    bool waitUntilSent(int timeoutMs);

    // Everything the host has sent so far (each chunk is recorded after the device took it,
    // so a test that sees a byte here also sees its effect on the device).
    QByteArray received() const;
    qsizetype receivedCount() const;
    // Everything written to the host so far (device answers and send()).
    QByteArray sentToHost() const;
    std::vector<Record> log() const;
    // Forgets received bytes, sent bytes and the log.
    void clearLog();
    // Whether traffic is kept for received(), sentToHost() and log() (on by default). A peer
    // that serves for hours turns it off so its memory does not grow with every download;
    // waitForReceived() then sees nothing.
    void setKeepLog(bool keep);

    // Processes Qt events on the calling thread until the host has sent at least count bytes
    // (counted since the last clearLog()) or until the predicate over all received bytes
    // holds. The predicate runs with the peer's lock held: it may read a simulator but must
    // not call the peer.
    bool waitForReceived(qsizetype count, int timeoutMs);
    bool waitForReceived(const std::function<bool(const QByteArray &)> &predicate, int timeoutMs);

    // The adapter disappears: the thread stops and the master and the extra slave descriptor
    // are closed, so the program's next read of the slave fails (EIO/HUP).
    void closeMaster();

private:
    struct Pending
    {
        QByteArray bytes;
        Clock::time_point notBefore;
    };
    // Bytes carried by one direction of the line since it last went busy.
    struct Pacing
    {
        bool busy = false;
        Clock::time_point start;
        qint64 count = 0;
    };

    void run();
    void stopThread();
    void wake();
    void readFromHost(Clock::time_point now, Pacing &rx, Clock::duration perByte);
    // Reads the inotify events; tells the device when the host opened the port.
    void noticeOpens();
    void writeToHost(Clock::time_point now, Pacing &tx, Clock::duration perByte);
    static qint64 bytesDue(const Pacing &pacing, Clock::time_point now, Clock::duration perByte);
    // Bytes served at one wake-up of a paced line: at least one, about kPacingStep of them.
    static qint64 stepBytes(Clock::duration perByte);
    // Processes events until the condition (run with mutex_ held) holds.
    bool waitFor(const std::function<bool()> &condition, int timeoutMs);

    int master_ = -1;
    int slave_ = -1; // kept open so the program's closing the slave never hangs up
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int opens_ = -1; // inotify: IN_OPEN of the slave's path
    QString slavePath_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    std::mutex deviceMutex_; // held while the device is fed
    sim::Device *device_ = nullptr;

    mutable std::mutex mutex_; // everything below
    std::condition_variable changed_;
    quint64 changes_ = 0; // counts every change a waiter may be waiting for
    QByteArray received_;
    QByteArray sent_;
    std::vector<Record> log_;
    std::deque<Pending> queue_;
    std::chrono::milliseconds replyDelay_{0};
    Clock::duration perByte_{};
    bool silent_ = false;
    bool open_ = false;
    bool keepLog_ = true;
};

} // namespace sim
