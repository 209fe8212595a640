// Simulated devices on the far end of a serial line.
//
// A Device is a pure byte-stream state machine: feed() takes whatever bytes the host sent
// (in any split: a frame may arrive one byte at a time or several frames at once) and returns
// the bytes the device answers. It does no I/O, so a simulator can be tested by feeding bytes
// directly, and the same object can sit behind a PtyPeer for an end-to-end test.
//
// BootLoaderSim is the common base of the three boot-loader simulators. It checks nothing by
// itself; it gives every simulator the same fault injection and the same diagnostics:
//   * silent after N host bytes, or from a chosen step on (the chip hangs or loses power);
//   * junk instead of the answer at a chosen step (line noise, a wrong baud rate);
//   * refusal at a chosen step (the protocol's negative answer: STM32 NACK, an LPC error
//     code or RESEND; the STC boot loader has no negative answer and ignores the frame).
//   A step is a simulator's own enum value; the occurrence counts from 1 (the 5th data block
//   is occurrence 5), 0 means every occurrence.
//   * protocolErrors(): every host byte or frame the simulated chip rejected, and why. A test
//     of a programmer should end with QVERIFY(sim.protocolErrors().isEmpty()).
//   * takeNotes(): what the chip did that is no command carried out and no fault of the host
//     (a refusal its rules demand, a host that connects again), for a board's narration.
//
// Threads: feed() runs on the peer's thread. Everything a test reads from a simulator goes
// through accessors that take the simulator's mutex, so reading while the peer runs is safe.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>

namespace sim {

class Device
{
public:
    Device() = default;
    virtual ~Device() = default;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Bytes the host sent in; bytes the device answers out (possibly none).
    virtual QByteArray feed(QByteArrayView bytesFromHost) = 0;
    // How long the device waits before it sends the answer of the last feed() (a chip that
    // changes its baud rate answers only once the host has had time to follow). The peer
    // adds it to its own reply delay.
    virtual std::chrono::microseconds answerDelay() const { return {}; }
    // The host opened the port (the peer sees every open of its line); called before any
    // byte the host writes after that open is fed.
    virtual void hostOpened() {}
};

enum class Fault {
    Silent, // from this step on the device answers nothing and takes nothing in
    Junk,   // the answer is replaced by the junk bytes; the step is not carried out
    Refuse, // the protocol's negative answer; the step is not carried out
};

class BootLoaderSim : public Device
{
public:
    QByteArray feed(QByteArrayView bytesFromHost) final;
    std::chrono::microseconds answerDelay() const final;

    // The device takes in the first hostBytes bytes (counted from construction or reset())
    // and is silent from then on. Negative: no limit.
    void setSilentAfter(qint64 hostBytes);
    // Bytes sent in place of an answer by Fault::Junk.
    void setJunk(QByteArray junk);
    // Forgets every planned fault and lifts silence.
    void clearFaults();

    // Power cycle: back to the state after reset, memory contents kept, counts of steps and
    // host bytes restarted. Faults stay planned; silence is lifted.
    void reset();

    qint64 hostBytesTaken() const;
    QStringList protocolErrors() const;
    // Forgets the protocol errors told so far (a board that serves for hours).
    void forgetProtocolErrors();
    // The notes since the last call.
    QStringList takeNotes();

protected:
    BootLoaderSim();

    // Each simulator's byte handling, called by feed() with the mutex held.
    virtual QByteArray process(QByteArrayView bytes) = 0;
    // Each simulator's power-on state, called by reset() with the mutex held.
    virtual void resetState() = 0;

    // Simulators expose these with their own Step type.
    void planFault(int step, Fault fault, int occurrence);
    // Counts one occurrence of the step and returns the fault planned for it, if any.
    // Fault::Silent takes effect here (the device goes silent).
    std::optional<Fault> faultAt(int step);
    // The answer for a step that met a fault: nothing (silent), junk, or the refusal.
    QByteArray faultAnswer(Fault fault, QByteArrayView refusal) const;

    void protocolError(const QString &what);
    void note(const QString &what);
    // Delays the answer of the current feed() by at least this long.
    void delayAnswer(std::chrono::microseconds delay)
    {
        answerDelay_ = std::max(answerDelay_, delay);
    }
    // True once a fault or the byte limit has silenced the device; process() stops taking
    // bytes then.
    bool silenced() const { return silent_; }

    std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }

private:
    struct Plan
    {
        Fault fault;
        int occurrence; // 0 = every occurrence
    };

    mutable std::mutex mutex_;
    std::multimap<int, Plan> plans_;
    std::map<int, int> stepCounts_;
    QByteArray junk_;
    QStringList errors_;
    QStringList notes_;
    std::chrono::microseconds answerDelay_{0};
    qint64 hostBytes_ = 0;
    qint64 silentAfter_ = -1;
    bool silent_ = false;
};

} // namespace sim
