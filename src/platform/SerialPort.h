// SerialPort: the one serial layer of the program.
//
// Principles of operation
// -----------------------
// Both serial components of the program (the polling driver TVokCommDriver and the threaded
// TComm) sit on this class; nothing else in the program touches a tty.
//
// * open(path): open(O_RDWR|O_NOCTTY|O_NONBLOCK|O_CLOEXEC), isatty, flock(LOCK_EX|LOCK_NB),
//   TIOCEXCL, save the old termios, raw mode with CLOCAL|CREAD. A port that is already open
//   (by this program or by any program that also locks) fails to open. Every failure path
//   closes the descriptor. close() restores the saved termios, TIOCNXCL, unlocks, closes.
// * applyLine(): any rate through termios2/BOTHER (SerialLine.cpp, the only file that
//   includes the kernel header), 5-8 data bits, parity none/odd/even and mark/space through
//   CMSPAR, 1 or 2 stop bits. Linux has no separate 1.5 stop bits: "1.5" sets CSTOPB, which a
//   16550-type UART sends as 1.5 stop bits with 5 data bits and as 2 otherwise. Refused
//   settings are reported by the result but callers of this program do not treat them as
//   fatal (pseudo-terminals refuse parity and data-bit changes; real adapters refuse some too).
// * read(): non-blocking; waits at most waitMs in poll() for the first byte and returns what
//   is there. 0 = nothing arrived, -1 = the device failed (adapter unplugged: EIO/ENXIO/HUP).
//   A signal does not shorten the wait unless the caller asks for that.
// * write(): blocks until the kernel has taken every byte; gives up after stallMs without any
//   progress (a port held by flow control, a peer that stopped reading) and returns the count
//   written so far, or -1 when the device failed before the first byte.
// * setDtr/setRts: TIOCMBIS/TIOCMBIC, one bit at a time. Pseudo-terminals have no modem lines:
//   those calls fail there, quietly (the result says so). setBreak: TIOCSBRK/TIOCCBRK.
//
// * readLine(): the settings the device actually holds (TCGETS2), to compare with a request.
// * counters()/modemInputs(): line-error and modem-line counters (TIOCGICOUNT) and the carrier
//   detect and ring inputs (TIOCMGET), where the device has them.
// * drain(): waits, bounded, until the kernel's output queue (TIOCOUTQ) is empty and, where the
//   driver reports it, the UART's transmitter is empty (TIOCSERGETLSR). Pseudo-terminals report
//   an empty queue at once.
// * close() first lets pending output leave (at most kCloseDrainMs) so that restoring the saved
//   line settings does not change the speed under the last bytes.
//
// One descriptor may be used by two threads at once (TComm reads on one thread and writes on
// another); the class itself keeps no state that changes after open() besides the descriptor
// and the ignore-null flag of the line settings (atomic).
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>

namespace platform {

// Parity bit: none, odd, even, always 1 (mark) or always 0 (space). The ordinals are those of
// the serial components' own parity and stop-bit properties, which convert by value.
enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

struct LineSettings
{
    quint32 baud = 9600;
    int dataBits = 8; // 5..8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool rtsCts = false;
    bool xonXoffOut = false;
    bool xonXoffIn = false;
    bool parityCheck = false;
    bool ignoreNull = false; // received 0x00 bytes are dropped by read()
    char xonChar = 0x11;
    char xoffChar = 0x13;
    bool operator==(const LineSettings &) const = default;
};

// The termios flags of a line setting: in c_cflag the data bits (CS5..CS8; a count outside
// 5..8 counts as 8), the parity (PARENB, PARODD, and CMSPAR for mark and space), CSTOPB and
// CRTSCTS; in c_iflag IXON, IXOFF and INPCK. Pure, so that every setting can be checked
// without a device: a pseudo-terminal keeps no parity and would show none of it.
struct TermiosFlags
{
    quint32 cflag = 0, iflag = 0;
    bool operator==(const TermiosFlags &) const = default;
};
TermiosFlags termiosFlags(const LineSettings &s);
// Every flag termiosFlags() governs: what a request clears first and compares on read-back.
TermiosFlags termiosFlagMask();
// The framing and flow that flags stand for, into s (its rate, flow characters and
// ignoreNull stay). CSTOPB reads as two stop bits.
void lineFromTermiosFlags(const TermiosFlags &f, LineSettings &s);

enum class OpenResult { Ok, NotFound, Busy, AccessDenied, NotATty, Failed };

// Error counters of the line (TIOCGICOUNT) and the modem input lines, where the device has them.
struct LineCounters
{
    quint32 frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    quint32 dcd = 0, rng = 0;
};

class SerialPort
{
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    OpenResult open(const QString &path);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    QString path() const { return path_; }
    // Human-readable reason of the last failed open (on EACCES it names the group
    // that owns the device and how to join it).
    QString errorString() const { return error_; }

    bool applyLine(const LineSettings &s);
    void purge(bool rx, bool tx);
    int outputQueued() const;  // bytes in the kernel's output queue; 0 if unknown
    bool drain(int timeoutMs); // wait until the output queue is empty (bounded)
    bool setDtr(bool on);
    bool setRts(bool on);
    bool setBreak(bool on); // TIOCSBRK/TIOCCBRK: the transmit line held at space, or let go
    bool counters(LineCounters &out) const;        // false where the device cannot report them
    bool modemInputs(bool &dcd, bool &ring) const; // false where the device has no modem lines
    bool readLine(LineSettings &out) const;        // what the device holds now; false when closed

    static constexpr int kCloseDrainMs = 2000;

    // With signalEndsWait a signal that arrives during the wait ends it (0), so that a caller
    // with an event loop to go back to can take the signal there at once.
    qint64 read(void *buf, qint64 max, int waitMs, bool signalEndsWait = false);
    qint64 write(const void *buf, qint64 n, int stallMs = 4000);

private:
    // SerialLine.cpp (termios2)
    bool saveAndMakeRaw(int fd);
    void restoreSaved();
    void traceLine(const LineSettings &s) const;

    int fd_ = -1;
    std::atomic<bool> ignoreNull_{false};
    bool haveSaved_ = false;
    alignas(8) unsigned char saved_[64] = {}; // struct termios2 of the port before open
    QString path_;
    QString error_;
};

// Test seam: every open, close, line change, modem-line change, purge and write of any port
// is reported here (from the calling thread) while a tracer is set. Tests use it to check
// reset pulses and rates, which pseudo-terminals cannot show.
struct SerialTraceEvent
{
    enum Kind { Open, Close, Line, Dtr, Rts, Purge, Write, Break } kind;
    QString path;
    LineSettings line; // for Line
    bool on = false;   // for Dtr, Rts and Break
    bool rx = false;   // for Purge
    bool tx = false;   // for Purge
    QByteArray data;   // for Write
    qint64 msecs = 0;  // monotonic time of the event
};
// Calls are serialised (a tracer needs no lock of its own) and none is in progress once
// setSerialTracer returns; a tracer must not call setSerialTracer. Write reports the bytes the
// kernel took, when it took any.
void setSerialTracer(std::function<void(const SerialTraceEvent &)> tracer);

} // namespace platform
