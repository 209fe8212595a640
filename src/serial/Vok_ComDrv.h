// TVokCommDriver: the polling serial driver shared by the terminal and the LPC and STM32
// programmers.
//
// Principles of operation
// -----------------------
// * Everything runs on the user-interface thread. While bytes are arriving a 5 ms timer runs
//   PollReceive, which takes whatever the port holds (one non-blocking read of at most
//   ComPortInBufSize bytes) and delivers it twice: to the OnReceiveData handler as one chunk,
//   and into ReceiveBuffer at BufferedCount. Protocols look at BufferedCount from their own
//   timers and set it to 0 to consume what was gathered. When a chunk would reach 1024 bytes
//   in ReceiveBuffer, the gathered bytes are dropped and the buffer starts again with it.
// * The poll timer sleeps while the line is quiet: a poll that finds nothing stops it and a
//   socket notifier on the port starts it again (with an immediate poll) when the next byte
//   comes. So a stream is still read every ComPortPollingDelay ms, in the same chunks, while
//   an idle open port costs no wake-ups. A poll delay of 0 reads nothing at all (a zero
//   timer never ticks).
// * ReadOnArrival (off by default) is for a protocol that waits for each answer: every poll
//   that found bytes goes back to sleep on the notifier at once, so each arrival is read the
//   moment it comes instead of at the next 5 ms tick. OnGathered then tells that protocol,
//   after OnReceiveData, that ReceiveBuffer has grown.
// * WaitInReadMs (0 by default; the command line's STM32 boards set it) goes one step
//   further for a thread that has nothing else to do meanwhile: after an arrival has been
//   handed on, the driver waits for the next one in poll() and read() itself instead of
//   going back through the event loop, whose dispatch between an answer and the next command
//   added about 15 us to each exchange on the benchmark's boards. The wait ends after WaitInReadMs in all, when the line
//   stays quiet that long, or at a signal, and the event loop (time-outs, signals, a stop)
//   runs again: nothing waits longer than that for it.
// * A read that fails (adapter unplugged) stops the polling and is reported once through
//   OnReadFailed: the descriptor of a vanished device reports itself readable without end and
//   every read fails again. The port stays open until its user disconnects it.
// * Writes block until the kernel has taken every byte. A write that transfers nothing
//   (device gone, or no progress for OutputTimeout ms) returns kWriteFailed (0x7FFFFFFF).
// * Line properties set while the port is open are applied at once (ApplySettings), which
//   also purges both directions. ComPort and ComPortInBufSize are accepted only while closed.
// * The port is named "COM1".."COM8" by ComPort and resolved to a device path at each
//   Connect (platform/PortNames.h).
#pragma once

#include "platform/SerialPort.h"
#include "serial/BaudRate.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>

enum TComPortNumber { pnCOM1, pnCOM2, pnCOM3, pnCOM4, pnCOM5, pnCOM6, pnCOM7, pnCOM8 };
enum TComPortDataBits { db5BITS, db6BITS, db7BITS, db8BITS };
enum TComPortStopBits { sb1BITS, sb1HALFBITS, sb2BITS };
enum TComPortParity { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking { hhNONE, hhRTSCTS };
enum TComPortSwHandshaking { shNONE, shXONXOFF };


class TVokCommDriver : public QObject
{
public:
    using TComPortReceiveDataEvent =
        std::function<void(TVokCommDriver *Sender, const quint8 *DataPtr, qint32 DataSize)>;
    using TComPortReadFailedEvent = std::function<void(TVokCommDriver *Sender)>;

    static constexpr qint32 kWriteFailed = 0x7FFFFFFF;
    static constexpr int kReceiveBufferSize = 1024;

    explicit TVokCommDriver(QObject *owner);
    ~TVokCommDriver() override;

    // Published properties.
    TComPortNumber ComPort() const { return comPort_; }
    void setComPort(TComPortNumber v);
    // The window's list entry (for a rate off the list: the highest entry below it).
    TComPortBaudRate ComPortSpeed() const { return speed_; }
    void setComPortSpeed(TComPortBaudRate v);
    // The rate itself, also one off the list (the command line's fast STM32 rates).
    quint32 ComPortRate() const { return rate_; }
    void setComPortRate(quint32 bitsPerSecond);
    TComPortDataBits ComPortDataBits() const { return dataBits_; }
    void setComPortDataBits(TComPortDataBits v);
    TComPortStopBits ComPortStopBits() const { return stopBits_; }
    void setComPortStopBits(TComPortStopBits v);
    TComPortParity ComPortParity() const { return parity_; }
    void setComPortParity(TComPortParity v);
    TComPortHwHandshaking ComPortHwHandshaking() const { return hw_; }
    void setComPortHwHandshaking(TComPortHwHandshaking v);
    TComPortSwHandshaking ComPortSwHandshaking() const { return sw_; }
    void setComPortSwHandshaking(TComPortSwHandshaking v);
    quint16 ComPortInBufSize() const { return inBufSize_; }
    void setComPortInBufSize(quint16 v);
    quint16 ComPortOutBufSize() const { return outBufSize_; }
    void setComPortOutBufSize(quint16 v);
    quint16 ComPortPollingDelay() const { return pollingDelay_; }
    void setComPortPollingDelay(quint16 v);
    bool EnableDTROnOpen = false;
    quint16 OutputTimeout = 4000;
    TComPortReceiveDataEvent OnReceiveData;
    TComPortReadFailedEvent OnReadFailed; // may disconnect the driver
    bool ReadOnArrival = false;
    std::function<void(TVokCommDriver *Sender)> OnGathered;
    // With ReadOnArrival: after an arrival, wait for the next one in the read itself, for
    // at most this many ms in all before the event loop runs again. 0 (the default) never
    // waits. For a thread that serves one protocol and nothing else meanwhile.
    quint16 WaitInReadMs = 0;

    bool Connect();
    void Disconnect();
    bool Connected() const { return port_.isOpen(); }
    bool ApplySettings();
    void PurgeBuffers(bool receive, bool transmit);
    quint16 OutputFreeSpace() const;
    qint32 SendData(const void *data, qint32 count);
    qint32 SendString(const QByteArray &text);
    void ReadBuffered(QByteArray &out) const;
    // False when the port is closed or its device has no such line (a pseudo-terminal).
    bool SetDTR(bool on);
    bool SetRTS(bool on);
    bool SetBreak(bool on);
    // Reads and drops what is waiting in the kernel's input queue, without handing it to
    // anyone, and empties ReceiveBuffer (BufferedCount 0). Returns the bytes dropped.
    qint64 DropInput();
    void PollReceive();

    // Gathered bytes; users read BufferedCount and set it to 0 to discard them.
    quint16 BufferedCount = 0;
    quint8 ReceiveBuffer[kReceiveBufferSize] = {};

    // Device path of the open port, or of the last attempt, and why that attempt failed.
    QString devicePath() const { return path_; }
    QString lastError() const { return error_; }

private:
    platform::LineSettings lineSettings() const;
    void lineChanged();
    void startPolling();
    void portReadable();
    // Takes the result of one read: a failure is reported, bytes are gathered and handed on.
    // False when nothing was delivered.
    bool deliver(qint64 n);

    TComPortNumber comPort_ = pnCOM1;
    TComPortBaudRate speed_ = br9600;
    quint32 rate_ = 9600;
    TComPortDataBits dataBits_ = db8BITS;
    TComPortStopBits stopBits_ = sb1BITS;
    TComPortParity parity_ = ptNONE;
    TComPortHwHandshaking hw_ = hhNONE;
    TComPortSwHandshaking sw_ = shNONE;
    quint16 inBufSize_ = 1024;
    quint16 outBufSize_ = 512;
    quint16 pollingDelay_ = 5;

    platform::SerialPort port_;
    QTimer pollTimer_;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<quint8[]> readBuf_;
    QString path_;
    QString error_;
};
