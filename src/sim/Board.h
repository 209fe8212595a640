// A virtual board: one simulated boot loader as a program on the far end of a pty meets it
// (`tramelo simulate`, the demonstration window, the tests of both).
//
// The board passes the host's bytes to its chip and tells, one line each, what the chip did:
// every command it carried out and every byte or frame it rejected (narrate()). It serves one
// download after the other: a real board is reset into its boot loader before each session,
// by hand or by the adapter's modem lines. A pty has no modem lines, so this board resets its
// chip whenever the host opens the port (every programmer and flasher opens it for each
// session), and on reset() (a test's or the demonstration's reset wiring). A quiet line
// resets nothing: a chip keeps its state however long the host pauses, as a person typing
// commands in a terminal does.
//
// Threads: feed() and hostOpened() run on the peer's thread; the narrator is called there and
// on the thread that calls reset(). flash() may be called from any thread (the simulators
// lock their state).
#pragma once

#include "sim/Device.h"
#include "sim/LpcSim.h"
#include "sim/StcSeriesSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"

#include <atomic>
#include <functional>
#include <memory>

namespace sim {

class VirtualBoard : public Device
{
public:
    using Narrator = std::function<void(const QString &line)>;

    static std::unique_ptr<VirtualBoard> stm32(Stm32Sim::Config config);
    static std::unique_ptr<VirtualBoard> lpc(LpcSim::Config config);
    static std::unique_ptr<VirtualBoard> stc(StcSim::Config config);
    static std::unique_ptr<VirtualBoard> stcSeries(StcSeriesSim::Config config);

    QByteArray feed(QByteArrayView bytesFromHost) final;
    std::chrono::microseconds answerDelay() const final;
    // A chip that has taken bytes since its last reset is reset ("-- reset: the port was
    // opened").
    void hostOpened() final;
    // The reset button or the reset wiring: the chip starts its boot loader afresh.
    void reset();

    // Set before the board is attached to a peer.
    void setNarrator(Narrator narrator) { narrator_ = std::move(narrator); }

    // The whole flash, as the chip holds it now.
    virtual QByteArray flash() const = 0;
    virtual BootLoaderSim &chip() = 0;
    virtual const BootLoaderSim &chip() const = 0;
    // Sessions begun so far: first bytes after the start or a reset.
    int sessions() const { return sessions_; }

protected:
    VirtualBoard() = default;
    // One line for each command carried out since the last call.
    virtual QStringList newCommands() = 0;

private:
    void resetChip(const QString &why);

    Narrator narrator_;
    std::atomic<int> sessions_{0};
    std::atomic<bool> fresh_{true}; // no byte since the start or the last reset
};

// The lines the boards narrate, one per command (exposed for the tests).
QString describe(const Stm32Sim::Command &command);
QString describe(const LpcSim::Command &command);
QString describe(const StcSim::Frame &frame);
QString describe(const StcSeriesSim::Frame &frame);

} // namespace sim

namespace sim {

// The demonstration's firmware for the STM32 board: a vector table (initial stack pointer
// at the top of 20 KB of RAM, reset handler right after the table), a reset handler that
// idles in a loop, and a table of sine values, 8 KB in all, so a download takes a moment
// and its progress can be watched. exampleHex() is the same image as Intel HEX from
// 0x08000000 (16-byte records, as linkers write them).
QByteArray exampleImage();
QByteArray exampleHex();

} // namespace sim
