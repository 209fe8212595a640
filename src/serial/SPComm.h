// TComm: a serial port with a receive thread and a transmit thread.
//
// Principles of operation
// -----------------------
// The thread that creates a TComm (the user-interface thread) sets its properties, opens and
// closes the port with StartPort/StopPort and queues bytes with WriteData. While the port is
// open two threads of its own serve it:
//
// * TReadThread blocks in poll() on the port and on a wake eventfd. It gathers received bytes
//   into reads of at most 2048 bytes and completes a read by the five time-outs (below). Every
//   50 ms it also asks the device for its line-error counters (TIOCGICOUNT) and its carrier
//   detect and ring inputs, and reports changes.
// * TWriteThread waits on a queue (mutex + condition variable) and writes each queued buffer
//   completely, in order, waiting in poll() on the port and the wake eventfd. It reports once
//   that its queue ran empty when it starts and after each write that emptied it.
//
// Nothing the threads find is handed over directly: each finding is posted as a QEvent to a
// hidden QObject that lives on the user-interface thread, and that object raises the events
// below there. So every handler runs on the user-interface thread, in the order the threads
// posted, and may touch the user interface. A received-data event owns its bytes (the bytes
// and a zero byte after them) and releases them after the handler returns. While 1 MiB of
// received data waits for the user-interface thread, the receive thread leaves further bytes
// in the kernel (whose buffer then overflows as on a real UART) rather than queue without end.
//
// Events (std::function members; one that is not set is skipped):
//   OnReceiveData(Sender, Buffer, BufferLength)  1..2048 bytes, valid during the call
//   OnReceiveError(Sender, EventMask)             line errors: kCommErrorRxOver, kCommErrorOverrun,
//                                                 kCommErrorParity, kCommErrorFrame,
//                                                 kCommErrorBreak
//   OnModemStateChange(Sender, ModemEvent)        kModemCarrierChanged and/or kModemRing
//   OnRequestHangup(Sender)                       a thread met a failure and ended
//   OnSendDataEmpty(Sender)                       the transmit queue ran empty
//
// Read completion (times in ms; MAXDWORD = 0xFFFFFFFF):
//   a read completes when 2048 bytes are in, when ReadIntervalTimeout passes after a byte
//   without another one (0: no interval limit), or when ReadTotalTimeoutMultiplier * 2048 +
//   ReadTotalTimeoutConstant have passed since the read began (both 0: no total limit).
//   ReadIntervalTimeout = MAXDWORD with both totals 0, or with multiplier MAXDWORD and a
//   constant between 0 and MAXDWORD, completes as soon as any byte is in. A read never
//   completes empty: a total limit that passes with nothing received starts the next read.
//   Defaults: 100 ms after the last byte, or 2048 bytes. Time-outs changed while the port is
//   open hold from the next read on.
//
// Failures of the threads. A thread never throws. When the device fails under it (an adapter
// unplugged, the other end of a pseudo-terminal closed: EIO, hang-up) it ends and
// OnRequestHangup is raised once for the open port, whichever thread met the failure first.
// The port itself stays open until StopPort.
//
// What Linux does not offer, and what stands in:
// * Line errors and carrier-detect/ring changes come from the device's counters. Devices that
//   cannot report them (pseudo-terminals: ENOTTY) never raise OnReceiveError or
//   OnModemStateChange.
// * There are no per-port queue sizes to set: the kernel's buffers are fixed.
// * RtsTransmissionAvailable (RTS only while sending): the transmit thread raises RTS before
//   each write and lowers it once the kernel's output queue has drained.
// * RtsHandshake and Outx_CtsFlow both mean the kernel's RTS/CTS flow control (CRTSCTS).
//   DtrHandshake raises DTR (no DTR/DSR flow control exists). Outx_DsrFlow, DsrSensitivity,
//   TxContinueOnXoff, XonLimit and XoffLimit have no equivalent and are only stored.
//   ParityCheck makes the kernel check parity; a byte received with a parity error then reads
//   as 0x00 (ReplaceWhenParityError and ReplacedChar are only stored). IgnoreNullChar drops
//   received 0x00 bytes.
// * The write time-outs are only stored: a write goes on until every byte has left the
//   thread, as a timed-out overlapped write is restarted with the rest.
// * 1.5 stop bits: see platform/SerialPort.h.
// * Thread priorities: Linux's normal scheduling gives none without privileges; both threads
//   run at the normal priority.
//
// PurgeReceive discards what has been received and not yet handed over (the kernel's input
// queue and the read in progress) without closing the port: a caller that changes the speed
// of an open port starts clean at the new speed and keeps the port, and its lock, throughout.
//
// StopPort stops both threads (each wait bounded by 10 s; the threads wake at once), purges
// both directions and closes the port: bytes not yet written are discarded, and nothing is
// written after StopPort returns. WaitUntilSent lets a caller first wait until everything
// queued has left. Events already posted before StopPort are still delivered afterwards.
// The destructor stops an open port, so no thread outlives the component.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <utility>

class QEvent;

class TComm;

// Ordinals are the line parameters: parity code, stop-bit code, data bits - 5.
enum class TParity { None, Odd, Even, Mark, Space };
enum class TStopBits { _1, _1_5, _2 };
enum class TByteSize { _5, _6, _7, _8 };
enum class TDtrControl { DtrEnable, DtrDisable, DtrHandshake };
enum class TRtsControl { RtsEnable, RtsDisable, RtsHandshake, RtsTransmissionAvailable };

using TReceiveDataEvent =
    std::function<void(TComm *Sender, const char *Buffer, quint16 BufferLength)>;
using TReceiveErrorEvent = std::function<void(TComm *Sender, quint32 EventMask)>;
using TModemStateChangeEvent = std::function<void(TComm *Sender, quint32 ModemEvent)>;
using TNotifyEvent = std::function<void(TComm *Sender)>;
using TSendDataEmptyEvent = std::function<void(TComm *Sender)>;

// Line error flags of OnReceiveError.
constexpr quint32 kCommErrorRxOver = 0x0001;  // the kernel's receive buffer overflowed
constexpr quint32 kCommErrorOverrun = 0x0002; // the UART's receiver overran
constexpr quint32 kCommErrorParity = 0x0004;
constexpr quint32 kCommErrorFrame = 0x0008;
constexpr quint32 kCommErrorBreak = 0x0010;
// Modem bits of OnModemStateChange.
constexpr quint32 kModemRing = 4;
constexpr quint32 kModemCarrierChanged = 8;

// Raised by StartPort; what() is one of the seven messages below. detail() carries the
// system's reason where there is one (for example the group that grants access to ports).
class ECommsError : public std::runtime_error
{
public:
    explicit ECommsError(const char *message, QString detail = {})
        : std::runtime_error(message), detail_(std::move(detail))
    {
    }
    QString detail() const { return detail_; }

    static constexpr const char *kAlreadyOpen = "This serial port already opened";
    static constexpr const char *kOpenFailed = "Error opening serial port";
    static constexpr const char *kNotComm = "File handle is not a comm handle ";
    static constexpr const char *kSetupBuffer = "Cannot setup comm buffer";
    static constexpr const char *kCreateEvent = "Unable to create event";
    static constexpr const char *kCreateReadThread = "Unable to create read thread";
    static constexpr const char *kCreateWriteThread = "Unable to create write thread";

private:
    QString detail_;
};

class TReadThread;
class TWriteThread;

class TComm : public QObject
{
public:
    explicit TComm(QObject *parent = nullptr);
    ~TComm() override;
    TComm(const TComm &) = delete;
    TComm &operator=(const TComm &) = delete;

    // Opens the port named by CommName ("COM1".."COM8" or a device path) with the current
    // properties and starts both threads. Throws ECommsError; after a failure nothing runs
    // and the port is closed ("This serial port already opened" leaves the open port as is).
    void StartPort();
    // Stops both threads and closes the port; does nothing when the port is closed.
    void StopPort();
    bool IsOpen() const { return session_ != nullptr; }

    // Queues a copy of Length bytes and returns at once. False when the port is closed,
    // Length is 0, the transmit thread has ended, or 1 MiB is already waiting.
    bool WriteData(const char *Buffer, quint16 Length);
    // Waits, without pumping events, until every queued byte has been written and the
    // kernel's output queue has drained, at most TimeoutMs. True when all has left (also
    // when the port is closed); false on time-out or when the transmit thread has ended.
    // A USB adapter's own transmit FIFO is not visible to the kernel and not waited for.
    bool WaitUntilSent(int TimeoutMs);
    // Discards every received byte that has not been handed over yet: the kernel's input
    // queue and the receive thread's read in progress. Bytes that arrive after it returns are
    // kept; events already posted are still delivered. No-op when closed.
    void PurgeReceive();
    // One modem line or the break of the open port, set at once. DtrControl and RtsControl
    // follow (enable or disable), so a later ApplyLineSettings keeps the line where it was
    // set. False when closed or the device has no such line (a pseudo-terminal).
    bool SetDTR(bool on);
    bool SetRTS(bool on);
    bool SetBreak(bool on);

    // Give the line properties and the five time-outs to the open port (no-op when closed).
    // Refusals of the device are not reported.
    void ApplyLineSettings();
    void ApplyTimeouts();

    // Published properties. Setting a value equal to the current one does nothing. A line
    // property set while open is applied at once (ApplyLineSettings), a time-out through
    // ApplyTimeouts; CommName and Parity are only stored until the next StartPort or the
    // next application caused by another property.
    QString CommName() const { return CommName_; }
    void setCommName(const QString &v);
    quint32 BaudRate() const { return BaudRate_; }
    void setBaudRate(quint32 v);
    bool ParityCheck() const { return ParityCheck_; }
    void setParityCheck(bool v);
    bool Outx_CtsFlow() const { return Outx_CtsFlow_; }
    void setOutx_CtsFlow(bool v);
    bool Outx_DsrFlow() const { return Outx_DsrFlow_; }
    void setOutx_DsrFlow(bool v);
    TDtrControl DtrControl() const { return DtrControl_; }
    void setDtrControl(TDtrControl v);
    bool DsrSensitivity() const { return DsrSensitivity_; }
    void setDsrSensitivity(bool v);
    bool TxContinueOnXoff() const { return TxContinueOnXoff_; }
    void setTxContinueOnXoff(bool v);
    bool Outx_XonXoffFlow() const { return Outx_XonXoffFlow_; }
    void setOutx_XonXoffFlow(bool v);
    bool Inx_XonXoffFlow() const { return Inx_XonXoffFlow_; }
    void setInx_XonXoffFlow(bool v);
    bool ReplaceWhenParityError() const { return ReplaceWhenParityError_; }
    void setReplaceWhenParityError(bool v);
    bool IgnoreNullChar() const { return IgnoreNullChar_; }
    void setIgnoreNullChar(bool v);
    TRtsControl RtsControl() const { return RtsControl_; }
    void setRtsControl(TRtsControl v);
    quint16 XonLimit() const { return XonLimit_; }
    void setXonLimit(quint16 v);
    quint16 XoffLimit() const { return XoffLimit_; }
    void setXoffLimit(quint16 v);
    TByteSize ByteSize() const { return ByteSize_; }
    void setByteSize(TByteSize v);
    TParity Parity() const { return Parity_; }
    void setParity(TParity v);
    TStopBits StopBits() const { return StopBits_; }
    void setStopBits(TStopBits v);
    char XonChar() const { return XonChar_; }
    void setXonChar(char v);
    char XoffChar() const { return XoffChar_; }
    void setXoffChar(char v);
    char ReplacedChar() const { return ReplacedChar_; }
    void setReplacedChar(char v);
    quint32 ReadIntervalTimeout() const { return ReadIntervalTimeout_; }
    void setReadIntervalTimeout(quint32 v);
    quint32 ReadTotalTimeoutMultiplier() const { return ReadTotalTimeoutMultiplier_; }
    void setReadTotalTimeoutMultiplier(quint32 v);
    quint32 ReadTotalTimeoutConstant() const { return ReadTotalTimeoutConstant_; }
    void setReadTotalTimeoutConstant(quint32 v);
    quint32 WriteTotalTimeoutMultiplier() const { return WriteTotalTimeoutMultiplier_; }
    void setWriteTotalTimeoutMultiplier(quint32 v);
    quint32 WriteTotalTimeoutConstant() const { return WriteTotalTimeoutConstant_; }
    void setWriteTotalTimeoutConstant(quint32 v);

    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;

    struct Session; // the open port and what its threads share

private:
    class Notifier;
    friend class Notifier;

    void dispatch(QEvent *event);
    template <typename T> void setLine(T &field, T v);
    void setTimeout(quint32 &field, quint32 v);
    void stopThreads();

    QString CommName_ = QStringLiteral("COM2");
    quint32 BaudRate_ = 9600;
    bool ParityCheck_ = false;
    bool Outx_CtsFlow_ = false;
    bool Outx_DsrFlow_ = false;
    TDtrControl DtrControl_ = TDtrControl::DtrEnable;
    bool DsrSensitivity_ = false;
    bool TxContinueOnXoff_ = true;
    bool Outx_XonXoffFlow_ = true;
    bool Inx_XonXoffFlow_ = true;
    bool ReplaceWhenParityError_ = false;
    bool IgnoreNullChar_ = false;
    TRtsControl RtsControl_ = TRtsControl::RtsEnable;
    quint16 XonLimit_ = 500;
    quint16 XoffLimit_ = 500;
    TByteSize ByteSize_ = TByteSize::_8;
    TParity Parity_ = TParity::None;
    TStopBits StopBits_ = TStopBits::_1;
    char XonChar_ = 0x11;
    char XoffChar_ = 0x13;
    char ReplacedChar_ = 0x00;
    quint32 ReadIntervalTimeout_ = 100;
    quint32 ReadTotalTimeoutMultiplier_ = 0;
    quint32 ReadTotalTimeoutConstant_ = 0;
    quint32 WriteTotalTimeoutMultiplier_ = 0;
    quint32 WriteTotalTimeoutConstant_ = 0;

    Notifier *notifier_ = nullptr;
    std::unique_ptr<Session> session_;
    std::unique_ptr<TReadThread> readThread_;
    std::unique_ptr<TWriteThread> writeThread_;
};
