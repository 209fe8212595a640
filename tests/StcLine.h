// The STC programmer on a bench: the program's real windows, a pseudo-terminal as the cable
// and the simulated STC boot loader at its far end. Shared by the STC tests and the STC
// benchmark.
//
// What the cable adds to the simulator:
//  * The chip answers a baud-rate step frame (8F, 8E) at its new rate, so the answer comes
//    only after the chip has switched; the host changes its port to that rate meanwhile.
//    kChipSwitchTime stands for the chip's switching time.
//  * The RTS pulse of the automatic reset power-cycles the simulated chip, as the reset
//    circuit of a board does.
//  * With pacing on, the pty carries bytes at the rate the program has set on its port,
//    10 bits per byte (8N1).
// Every open, close, line change, RTS change and write of the program's port is recorded
// (platform::setSerialTracer), with the time it happened.
//
// A broken protocol ends the case at once instead of waiting out the programmer's time-outs
// (6 to 12 s each, case after case): while download() runs, a watch looks every 20 ms for
//  * a frame the board rejected (boardErrors(): the simulator's protocol errors), and
//  * a programmer that sends nothing for kStuckAfterAnswer after the board's last answer (in
//    every stage the next frame follows an answer within a few hundred milliseconds).
// Either stops the download as closing the window does, and download() fails the case with
// the reason. A case with a silent board is not cut short: its wait follows the programmer's
// frame, not an answer.
#pragma once

#include "app/Main.h"
#include "engines/StcEngine.h"
#include "platform/PortNames.h"
#include "platform/SerialPort.h"
#include "serial/SPComm.h"
#include "sim/StcSim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

namespace stctest {

inline constexpr std::chrono::milliseconds kChipSwitchTime{250};
inline constexpr quint8 kCmdBaudStep1 = 0x8F;
inline constexpr quint8 kCmdBaudStep2 = 0x8E;
inline constexpr int kBitsPerByte = 10;                   // 8N1
inline const int kStcEntry = testsupport::kStc89C52Entry; // "STC89C52RC"
inline constexpr auto kShortResetMs = "20";
inline constexpr std::chrono::milliseconds kStuckAfterAnswer{2000};
inline constexpr int kWatchIntervalMs = 20;
// Longer than the programmer's longest wait (12 s for the erase, the connect time-out field).
inline constexpr int kDownloadLimitMs = 60000;

// The simulated chip as the cable presents it: answers to baud-rate steps come late.
class SwitchingChip : public sim::Device
{
public:
    SwitchingChip(sim::StcSim &chip, testsupport::PtyPeer &peer) : chip_(chip), peer_(peer) {}

    QByteArray feed(QByteArrayView bytes) override
    {
        const qsizetype before = chip_.frames().size();
        QByteArray answer = chip_.feed(bytes);
        const QList<sim::StcSim::Frame> frames = chip_.frames();
        bool step = false;
        for (qsizetype i = before; i < frames.size(); ++i)
            step = step || frames[i].command == kCmdBaudStep1 || frames[i].command == kCmdBaudStep2;
        peer_.setReplyDelay(step ? kChipSwitchTime : std::chrono::milliseconds(0));
        return answer;
    }

private:
    sim::StcSim &chip_;
    testsupport::PtyPeer &peer_;
};

using firmware::intelHex;

// Image bytes with zeros inside but a non-zero last byte.
inline QByteArray sampleImage(qsizetype size)
{
    QByteArray image(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        image[i] = char((i * 37 + 11) & 0xFF);
    if (size > 0 && image.back() == '\0') image.back() = char(0x5A);
    return image;
}

class StcLine : public testsupport::WindowRig
{
public:
    struct TraceEvent
    {
        platform::SerialTraceEvent event;
        testsupport::PtyPeer::Clock::time_point time;
    };

    // prepare runs in the throw-away environment before the windows are created.
    explicit StcLine(const sim::StcSim::Config &config = {}, const Prepare &prepare = {})
        : WindowRig(prepare), sim(config), chip(sim, peer)
    {
        peer.attach(&chip);
        platform::setSerialTracer([this](const platform::SerialTraceEvent &ev) { traced(ev); });
        main().MCUType->setCurrentIndex(kStcEntry);
        main().Edit4->setText(QString::fromLatin1(kShortResetMs));
        onEnd = [this](DownloadResult result) { ends.append(result == DownloadResult::Written); };
    }

    ~StcLine() override
    {
        platform::setSerialTracer(nullptr);
        platform::setPortAlias(QStringLiteral("COM1"), QString());
        peer.attach(nullptr);
    }

    StcEngine &stc() { return *windows.stc; }

    // Writes the file and names it in the file field.
    QString useFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = env.file(name, bytes);
        main().Edit2->setText(path);
        return path;
    }
    QString useImage(const QByteArray &image) { return useFile("image.hex", intelHex(image)); }

    // One press of the download button, and its end; forgets the lines and ends of the one
    // before. Fails the case when the watch stopped a broken protocol.
    void download()
    {
        lines.clear();
        ends.clear();
        const qsizetype errorsBefore = boardErrors().size();
        QString broken;
        QEventLoop loop;
        QElapsedTimer started;
        started.start();
        QTimer watch;
        watch.setInterval(kWatchIntervalMs);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!ends.isEmpty() || started.elapsed() > kDownloadLimitMs) loop.quit();
            if (!broken.isEmpty()) return;
            broken = brokenProtocol(errorsBefore);
            // The programmer runs on a thread of its own; its wait serves the call.
            if (!broken.isEmpty())
                QMetaObject::invokeMethod(&stc(), &StcEngine::cancel, Qt::QueuedConnection);
        });
        // The end reaches the window from the programmer's thread; the rig's record of it
        // comes first.
        const std::function<void(DownloadResult)> recordEnd = main().OnDownloadEnded;
        main().OnDownloadEnded = [&](DownloadResult result) {
            recordEnd(result);
            loop.quit();
        };
        watch.start();
        main().BitBtn1Click();
        if (ends.isEmpty()) loop.exec();
        watch.stop();
        main().OnDownloadEnded = recordEnd;
        QVERIFY2(!ends.isEmpty(), "the download did not end");
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }
    // The frames the board rejected so far; the simulator's protocol errors unless a case puts
    // another board on the line.
    std::function<QStringList()> boardErrors = [this] { return sim.protocolErrors(); };

    std::vector<TraceEvent> trace() const
    {
        const std::lock_guard lock(traceMutex_);
        return trace_;
    }
    void clearTrace()
    {
        const std::lock_guard lock(traceMutex_);
        trace_.clear();
    }
    // Line rates of the program's port in the order it set them, repeats folded.
    QList<quint32> rates() const
    {
        QList<quint32> out;
        for (const TraceEvent &t : trace())
            if (t.event.kind == platform::SerialTraceEvent::Line &&
                (out.isEmpty() || out.back() != t.event.line.baud))
                out.append(t.event.line.baud);
        return out;
    }
    bool portOpen() { return stc().ComPort1->IsOpen(); }

    // The pty carries bytes at the rate the program sets (10 bits per byte) from now on.
    void setPaced(bool on) { paced_ = on; }
    // Called for every traced event of the program's port, on the thread that caused it.
    std::function<void(const platform::SerialTraceEvent &)> onTrace;

    sim::StcSim sim;
    SwitchingChip chip;
    QList<bool> ends;

private:
    QString brokenProtocol(qsizetype errorsBefore) const
    {
        const QStringList errors = boardErrors();
        if (errors.size() > errorsBefore)
            return QStringLiteral("the board rejected a frame: ") + errors.at(errorsBefore);
        const std::vector<testsupport::PtyPeer::Record> log = peer.log();
        if (log.empty() || log.back().direction != testsupport::PtyPeer::Direction::ToHost ||
            testsupport::PtyPeer::Clock::now() - log.back().time < kStuckAfterAnswer)
            return {};
        return QStringLiteral("nothing sent for %1 ms after the board's answer %2")
            .arg(kStuckAfterAnswer.count())
            .arg(QString::fromLatin1(log.back().bytes.toHex(' ').toUpper()));
    }

    void traced(const platform::SerialTraceEvent &ev)
    {
        if (ev.path != peer.slavePath()) return;
        {
            const std::lock_guard lock(traceMutex_);
            trace_.push_back({ev, testsupport::PtyPeer::Clock::now()});
        }
        if (ev.kind == platform::SerialTraceEvent::Rts && ev.on) sim.reset();
        if (ev.kind == platform::SerialTraceEvent::Line && paced_)
            peer.setPacing(kBitsPerByte, int(ev.line.baud));
        if (onTrace) onTrace(ev);
    }

    mutable std::mutex traceMutex_;
    std::vector<TraceEvent> trace_;
    std::atomic<bool> paced_{false};
};

} // namespace stctest
