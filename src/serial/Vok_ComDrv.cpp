#include "serial/Vok_ComDrv.h"

#include "platform/PortNames.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstring>

namespace {
constexpr int kMaxPortNumber = pnCOM8;
static_assert(int(ptSPACE) == int(platform::Parity::Space) &&
              int(ptMARK) == int(platform::Parity::Mark));
static_assert(int(sb2BITS) == int(platform::StopBits::Two) &&
              int(sb1HALFBITS) == int(platform::StopBits::OneAndHalf));
} // namespace

TVokCommDriver::TVokCommDriver(QObject *owner)
    : QObject(owner), readBuf_(std::make_unique<quint8[]>(inBufSize_))
{
    pollTimer_.setTimerType(Qt::PreciseTimer);
    connect(&pollTimer_, &QTimer::timeout, this, &TVokCommDriver::PollReceive);
}

TVokCommDriver::~TVokCommDriver()
{
    Disconnect();
}

void TVokCommDriver::setComPort(TComPortNumber v)
{
    if (Connected()) return;
    comPort_ = TComPortNumber(std::clamp(int(v), 0, kMaxPortNumber));
}

void TVokCommDriver::lineChanged()
{
    if (Connected()) ApplySettings();
}

void TVokCommDriver::setComPortSpeed(TComPortBaudRate v)
{
    speed_ = TComPortBaudRate(std::clamp(int(v), 0, kBaudRateCount - 1));
    rate_ = kBaudRates[speed_];
    lineChanged();
}

void TVokCommDriver::setComPortRate(quint32 bitsPerSecond)
{
    if (bitsPerSecond == 0) return;
    rate_ = bitsPerSecond;
    int entry = 0;
    while (entry + 1 < kBaudRateCount && kBaudRates[entry + 1] <= rate_)
        ++entry;
    speed_ = TComPortBaudRate(entry);
    lineChanged();
}
void TVokCommDriver::setComPortDataBits(TComPortDataBits v)
{
    dataBits_ = TComPortDataBits(std::clamp(int(v), 0, int(db8BITS)));
    lineChanged();
}
void TVokCommDriver::setComPortStopBits(TComPortStopBits v)
{
    stopBits_ = TComPortStopBits(std::clamp(int(v), 0, int(sb2BITS)));
    lineChanged();
}
void TVokCommDriver::setComPortParity(TComPortParity v)
{
    parity_ = TComPortParity(std::clamp(int(v), 0, int(ptSPACE)));
    lineChanged();
}
void TVokCommDriver::setComPortHwHandshaking(TComPortHwHandshaking v)
{
    hw_ = v;
    lineChanged();
}
void TVokCommDriver::setComPortSwHandshaking(TComPortSwHandshaking v)
{
    sw_ = v;
    lineChanged();
}

void TVokCommDriver::setComPortInBufSize(quint16 v)
{
    // One poll must fit ReceiveBuffer after an overflow reset, so reads never exceed it.
    if (Connected() || v == 0) return;
    inBufSize_ = std::min<quint16>(v, kReceiveBufferSize);
    readBuf_ = std::make_unique<quint8[]>(inBufSize_);
}

void TVokCommDriver::setComPortOutBufSize(quint16 v)
{
    // Only the free-space figure depends on it; it takes effect at once.
    outBufSize_ = v;
}

void TVokCommDriver::setComPortPollingDelay(quint16 v)
{
    if (v == pollingDelay_) return;
    pollingDelay_ = v;
    if (Connected()) {
        pollTimer_.stop();
        startPolling();
    }
}

platform::LineSettings TVokCommDriver::lineSettings() const
{
    platform::LineSettings s;
    s.baud = rate_;
    s.dataBits = int(dataBits_) + 5;
    s.parity = platform::Parity(parity_);
    s.stopBits = platform::StopBits(stopBits_);
    s.rtsCts = hw_ == hhRTSCTS;
    s.xonXoffOut = s.xonXoffIn = sw_ == shXONXOFF;
    return s;
}

bool TVokCommDriver::Connect()
{
    if (Connected()) return true;
    const QString name = QStringLiteral("COM%1").arg(int(comPort_) + 1);
    path_ = platform::resolvePortName(name);
    if (path_.isEmpty()) {
        error_ = QCoreApplication::translate("serial", "%1 不是本机上的串口名").arg(name);
        return false;
    }
    if (port_.open(path_) != platform::OpenResult::Ok) {
        error_ = port_.errorString();
        return false;
    }
    error_.clear();
    if (!ApplySettings()) return false;
    readable_ = std::make_unique<QSocketNotifier>(port_.fd(), QSocketNotifier::Read, this);
    readable_->setEnabled(false);
    connect(readable_.get(), &QSocketNotifier::activated, this, &TVokCommDriver::portReadable);
    startPolling();
    return true;
}

void TVokCommDriver::Disconnect()
{
    if (!Connected()) return;
    pollTimer_.stop();
    // Disconnect may run inside the notifier's own signal (a read failure reported from
    // portReadable): the notifier goes once control has left it.
    if (readable_) {
        readable_->setEnabled(false);
        readable_.release()->deleteLater();
    }
    port_.close();
}

bool TVokCommDriver::ApplySettings()
{
    if (!Connected()) return false;
    // Refused settings (a pseudo-terminal refuses parity, some adapters mark/space) leave
    // the port with what the device accepted; that is not a failure here.
    port_.applyLine(lineSettings());
    // Writing the line settings also sets the modem lines: DTR follows EnableDTROnOpen and
    // RTS is low unless RTS/CTS handshaking drives it (Linux raises both on open).
    port_.setDtr(EnableDTROnOpen);
    if (hw_ != hhRTSCTS) port_.setRts(false);
    PurgeBuffers(true, true);
    return true;
}

void TVokCommDriver::PurgeBuffers(bool receive, bool transmit)
{
    if (Connected()) port_.purge(receive, transmit);
}

quint16 TVokCommDriver::OutputFreeSpace() const
{
    if (!Connected()) return 0xFFFF;
    return quint16(outBufSize_ - quint16(port_.outputQueued()));
}

qint32 TVokCommDriver::SendData(const void *data, qint32 count)
{
    if (!Connected()) return 0;
    const auto *bytes = static_cast<const char *>(data);
    QElapsedTimer wait;
    wait.start();
    qint32 sent = 0;
    while (count > 0) {
        if (OutputFreeSpace() != 0) {
            const qint64 written = port_.write(bytes + sent, count, OutputTimeout);
            if (written <= 0) return kWriteFailed;
            sent += qint32(written);
            count -= qint32(written);
            wait.restart();
        } else if (wait.elapsed() > OutputTimeout) {
            return -sent;
        } else {
            QThread::msleep(1);
        }
    }
    return sent;
}

qint32 TVokCommDriver::SendString(const QByteArray &text)
{
    return SendData(text.constData(), qint32(text.size()));
}

void TVokCommDriver::ReadBuffered(QByteArray &out) const
{
    out = QByteArray(reinterpret_cast<const char *>(ReceiveBuffer),
                     std::min<int>(BufferedCount, kReceiveBufferSize));
}

bool TVokCommDriver::SetDTR(bool on)
{
    return Connected() && port_.setDtr(on);
}

bool TVokCommDriver::SetRTS(bool on)
{
    return Connected() && port_.setRts(on);
}

bool TVokCommDriver::SetBreak(bool on)
{
    return Connected() && port_.setBreak(on);
}

qint64 TVokCommDriver::DropInput()
{
    BufferedCount = 0;
    qint64 dropped = 0;
    // Bounded: a line that never goes quiet is left after a few buffers' worth.
    for (int i = 0; i < 16 && Connected(); ++i) {
        const qint64 n = port_.read(readBuf_.get(), inBufSize_, 0);
        if (n <= 0) break;
        dropped += n;
    }
    return dropped;
}

void TVokCommDriver::startPolling()
{
    // Start with one poll for what is there already; it goes to sleep if nothing is.
    if (pollingDelay_ == 0) {
        if (readable_) readable_->setEnabled(false);
        return;
    }
    pollTimer_.start(pollingDelay_);
    PollReceive();
}

void TVokCommDriver::portReadable()
{
    if (pollingDelay_ == 0) {
        readable_->setEnabled(false);
        return;
    }
    // Read on arrival: the notifier stays armed and every arrival is read at once.
    if (ReadOnArrival) {
        PollReceive();
        return;
    }
    readable_->setEnabled(false);
    pollTimer_.start(pollingDelay_);
    PollReceive();
}

void TVokCommDriver::PollReceive()
{
    if (!Connected()) return;
    const qint64 n = port_.read(readBuf_.get(), inBufSize_, 0);
    if ((n == 0 || (n > 0 && ReadOnArrival)) && readable_) {
        // The line is quiet (or every arrival is wanted at once): sleep until the next byte.
        if (pollTimer_.isActive()) pollTimer_.stop();
        if (!readable_->isEnabled()) readable_->setEnabled(true);
    }
    if (!deliver(n) || WaitInReadMs == 0) return;

    // Wait for the next arrival here, within one slice, while a protocol waits for answers.
    // deliver() may have ended the protocol (ReadOnArrival off) or closed the port.
    QElapsedTimer slice;
    slice.start();
    while (ReadOnArrival && Connected()) {
        const qint64 left = WaitInReadMs - slice.elapsed();
        if (left <= 0) return;
        const qint64 m = port_.read(readBuf_.get(), inBufSize_, int(left), true);
        if (m == 0) return; // quiet, or a signal: the notifier takes the next arrival
        if (!deliver(m)) return;
    }
}

bool TVokCommDriver::deliver(qint64 n)
{
    if (n < 0) {
        pollTimer_.stop();
        if (readable_) readable_->setEnabled(false);
        if (OnReadFailed) OnReadFailed(this);
        return false;
    }
    if (n == 0) return false;
    if (BufferedCount + n >= kReceiveBufferSize) BufferedCount = 0;
    std::memcpy(ReceiveBuffer + BufferedCount, readBuf_.get(), size_t(n));
    BufferedCount = quint16(BufferedCount + n);
    if (OnReceiveData) OnReceiveData(this, readBuf_.get(), qint32(n));
    if (OnGathered) OnGathered(this);
    return true;
}
