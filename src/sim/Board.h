// A virtual board: one simulated boot loader as a program on the far end of a pty meets it
// (`tramelo simulate`, the demonstration window, the tests of both).
//
// The board passes the host's bytes to its chip and tells, one line each, what the chip did:
// every command it carried out and every byte or frame it rejected (narrate()). It serves one
// download after the other: a real board is reset into its boot loader before each session
// (by hand or by the adapter's modem lines, which a pty does not have), and this board does
// the same by itself when the line has been quiet for sessionGap (1 s): the next byte from
// the host then meets a freshly reset chip. No host pauses that long inside a session: the
// longest pauses of the programmers served are a few hundred milliseconds between LPC lines
// and the STC rate switch.
//
// Threads: feed() runs on the peer's thread; the narrator is called there. flash() may be
// called from any thread (the simulators lock their state).
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
    using Clock = std::chrono::steady_clock;
    using Narrator = std::function<void(const QString &line)>;

    static std::unique_ptr<VirtualBoard> stm32(Stm32Sim::Config config);
    static std::unique_ptr<VirtualBoard> lpc(LpcSim::Config config);
    static std::unique_ptr<VirtualBoard> stc(StcSim::Config config);
    static std::unique_ptr<VirtualBoard> stcSeries(StcSeriesSim::Config config);

    QByteArray feed(QByteArrayView bytesFromHost) final;
    std::chrono::milliseconds answerDelay() const final;

    // Set before the board is attached to a peer.
    void setNarrator(Narrator narrator) { narrator_ = std::move(narrator); }
    void setSessionGap(std::chrono::milliseconds gap) { sessionGap_ = gap; }
    // Time one byte takes on the line when the peer paces it (zero: not paced), so that the
    // quiet time is counted from the end of the board's last answer.
    void setByteTime(Clock::duration perByte) { perByte_ = perByte; }

    // The whole flash, as the chip holds it now.
    virtual QByteArray flash() const = 0;
    virtual BootLoaderSim &chip() = 0;
    virtual const BootLoaderSim &chip() const = 0;
    // Sessions begun so far (the first byte after a quiet gap, and the very first byte).
    int sessions() const { return sessions_; }

protected:
    VirtualBoard() = default;
    // One line for each command carried out since the last call.
    virtual QStringList newCommands() = 0;

private:
    Narrator narrator_;
    std::chrono::milliseconds sessionGap_{1000};
    Clock::duration perByte_{};
    std::optional<Clock::time_point> quietFrom_;
    qsizetype errorsSeen_ = 0;
    std::atomic<int> sessions_{0};
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
