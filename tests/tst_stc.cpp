// The STC 8051 programmer through the real windows, against the simulated boot loader on a
// pseudo-terminal: complete downloads, the frames and rates of each oscillator class, the
// clock-mode option, chip recognition, every failure with its clean-up, and the download
// after each failure; and the recorded download of a real STC89C52RC, replayed answer by
// answer.
#include "StcLine.h"

#include "hexlib/StcHexLib.h"
#include "logic/Devices.h"
#include "sim/StcSeriesSim.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

using namespace stctest;
using sim::StcSim;

namespace {

const QString kPortBusy =
    QStringLiteral("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");

// The lines of a download that succeeds, from the connection to the end.
QStringList successLines(const QString &version, const QString &chip, bool doubleSpeed)
{
    return {QStringLiteral("下载目标代码"),
            QStringLiteral("正在连机 。。。"),
            QStringLiteral("连机成功! 固件版本:") + version,
            chip,
            QStringLiteral("调整波特率一完成 ！"),
            QStringLiteral("第二次调整波特率 。。。"),
            QStringLiteral("调整波特率二完成 ！"),
            QStringLiteral("正在发送控制信息 。。。"),
            QStringLiteral("发送控制信息完成 ！"),
            QStringLiteral("正在擦除芯片 。。。"),
            QStringLiteral("擦除芯片完成 ！"),
            QStringLiteral("正在上载数据 。。。"),
            doubleSpeed ? QStringLiteral("设置为双倍速 ！") : QStringLiteral("设置为单倍速 ！"),
            doubleSpeed ? QStringLiteral("设置为双倍速完成 ！")
                        : QStringLiteral("设置为单倍速完成 ！"),
            QStringLiteral("发送结束标志 ！"),
            QStringLiteral("上载数据成功 ！")};
}

const QString kDefaultChip = QStringLiteral("STC89C52RC/时钟频率: 11.0592M");

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The status frame of a real STC89C52RC, boot loader 4.3C, as it came at 2400 baud
// (real-chips/recorded/stc89c52rc.txt, first chip answer).
const QByteArray kRecordedStatus =
    hex("68003B0025E625E625E625E625E625E625E225E64343FCF00282") + QByteArray(31, '\0') +
    hex("ED16");

QByteArray frameBytes(QStringView hex)
{
    return QByteArray::fromHex(hex.toLatin1());
}

// Host frames the chip took, as the bytes of a correct host frame.
QList<QByteArray> hostFrames(const StcSim &sim)
{
    QList<QByteArray> out;
    for (const StcSim::Frame &f : sim.frames())
        out.append(StcSim::hostFrame(f.command, f.payload));
    return out;
}

QByteArray payloadOf(const StcSim &sim, quint8 command)
{
    for (const StcSim::Frame &f : sim.frames())
        if (f.command == command) return f.payload;
    return {};
}

// The download has returned; the pty may still hold the last bytes on their way to the chip.
bool endFlagArrives(StcLine &line)
{
    const QByteArray endFlag = frameBytes(stc::kEndFlagFrame);
    const bool ok =
        line.peer.waitForReceived([&](const QByteArray &r) { return r.endsWith(endFlag); }, 2000) &&
        line.sim.endFlagSeen();
    if (!ok) qWarning() << "last bytes the chip got:" << line.peer.received().right(24).toHex();
    return ok;
}

// The download recorded on a real STC89C52RC, boot loader 4.3C, answer by answer: the chip
// frames of real-chips/recorded/stc89c52rc.txt (answers to the image "123456789" filled with
// FF to 512 bytes) and a fifth control answer, as in recorded/doc-traces/trace-stc89c52rc.txt
// whose host sent five like this one. Each row: the command and length field of the frame the
// programmer must send there, and the chip's answer as it came over the wire. The step and
// option answers repeat the payload of the host that was recorded, not ours.
struct RecordedRow
{
    quint8 command;
    quint16 length;
    const char *answer;
};
const RecordedRow kRecordedSession[] = {
    {0x8F, 0x0C, "46B968000C8FFDF802102881B316"},
    {0x8E, 0x0B, "46B968000B8EFDF80210283016"},
    // The recorded host's control frames had 6 payload bytes (00 00 36 01 F0 02, length 0C);
    // ours have 4. The chip answered 80 to each.
    {0x80, 0x0A, "46B968000680EE16"},
    {0x80, 0x0A, "46B968000680EE16"},
    {0x80, 0x0A, "46B968000680EE16"},
    {0x80, 0x0A, "46B968000680EE16"},
    {0x80, 0x0A, "46B968000680EE16"},
    {0x84, 0x0D, "46B968000680EE16"},
    {0x00, 0x8C, "46B968000780665516"},
    {0x00, 0x8C, "46B968000780806F16"},
    {0x00, 0x8C, "46B968000780806F16"},
    {0x00, 0x8C, "46B968000780806F16"},
    {0x8D, 0x0A, "46B968000A8DFCFFF6FFEF16"},
    {0x50, 0x06, "46B968001010C016F6FFF103FF4343FCC816"},
    {0x82, 0x06, "46B968000680EE16"},
};
constexpr qsizetype kRecordedRows = sizeof kRecordedSession / sizeof kRecordedSession[0];

// The recorded status with its eight counts replaced: its counts were taken at 2400 baud on a
// chip at 19.96 MHz, for which the programmer has no class (unrecognisedChip). These are the
// counts of a chip at 11.0592 MHz in 6T mode, as its option byte FC says, at 1200 baud.
QByteArray recordedStatusAt11MHz()
{
    QByteArray status = kRecordedStatus;
    for (int i = 0; i < 8; ++i)
        status.replace(4 + 2 * i, 2, hex("2A00"));
    quint8 sum = 0;
    for (qsizetype i = 0; i < status.size() - 2; ++i)
        sum = quint8(sum + quint8(status[i]));
    status[status.size() - 2] = char(sum);
    return status;
}

// A board that plays the recorded chip: the status after the first handshake byte, then for
// each whole host frame the next recorded answer, after checking the frame's command and
// length against the row. Bytes between frames (handshake 7F, the end flag's FE) are skipped.
// A frame that does not match is an error and goes unanswered.
class RecordedChip : public sim::Device
{
public:
    QByteArray feed(QByteArrayView bytes) override
    {
        const std::lock_guard lock(mutex_);
        delay_ = {};
        QByteArray out;
        for (const char c : bytes) {
            if (!statusSent_) {
                statusSent_ = quint8(c) == 0x7F;
                if (statusSent_) out += recordedStatusAt11MHz();
                continue;
            }
            if (frame_.isEmpty() && quint8(c) != 0x46) continue;
            frame_.append(c);
            if (frame_.size() < 5) continue;
            const qsizetype total = (quint8(frame_[3]) << 8 | quint8(frame_[4])) + 2;
            if (frame_.size() >= total) out += answer(std::exchange(frame_, {}));
        }
        return out;
    }
    std::chrono::microseconds answerDelay() const override
    {
        const std::lock_guard lock(mutex_);
        return delay_;
    }
    QStringList errors() const
    {
        const std::lock_guard lock(mutex_);
        return errors_;
    }
    qsizetype rowsTaken() const
    {
        const std::lock_guard lock(mutex_);
        return next_;
    }
    QList<quint16> dataAddresses() const
    {
        const std::lock_guard lock(mutex_);
        return addresses_;
    }

private:
    QByteArray answer(const QByteArray &frame)
    {
        const QString got = QString::fromLatin1(frame.left(6).toHex(' ').toUpper());
        if (next_ >= kRecordedRows) {
            errors_ << QStringLiteral("frame %1 after the recorded session").arg(got);
            return {};
        }
        const RecordedRow &row = kRecordedSession[next_];
        quint8 sum = 0;
        for (qsizetype i = 2; i < frame.size() - 2; ++i)
            sum = quint8(sum + quint8(frame[i]));
        if (!frame.startsWith(hex("46B96A")) || frame.size() < 8 || quint8(frame[5]) != row.command ||
            frame.size() != row.length + 2 || quint8(frame.back()) != 0x16 ||
            quint8(frame[frame.size() - 2]) != sum) {
            errors_ << QStringLiteral("frame %1 (%2 bytes) where row %3 has command %4, length %5")
                           .arg(got)
                           .arg(frame.size())
                           .arg(next_ + 1)
                           .arg(row.command, 2, 16, QChar(u'0'))
                           .arg(row.length, 2, 16, QChar(u'0'));
            return {};
        }
        if (row.command == 0x00) addresses_ << quint16(quint8(frame[8]) << 8 | quint8(frame[9]));
        // The chip answers the baud-rate steps at the new rate, once the host has followed.
        if (row.command == kCmdBaudStep1 || row.command == kCmdBaudStep2) delay_ = kChipSwitchTime;
        ++next_;
        return hex(row.answer);
    }

    mutable std::mutex mutex_;
    bool statusSent_ = false;
    QByteArray frame_;
    qsizetype next_ = 0;
    QStringList errors_;
    QList<quint16> addresses_;
    std::chrono::milliseconds delay_{0};
};

} // namespace

class TestStc : public QObject
{
    Q_OBJECT

private:
    // The next download after a failure: the board reset by the pulse, a fresh image, every
    // stage done and the flash holding the image.
    static void nextDownloadWorks(StcLine &line)
    {
        line.sim.clearFaults();
        line.peer.setSilent(false);
        const QByteArray image = sampleImage(200);
        line.useImage(image);
        line.main().CheckBox2->setChecked(true);
        line.download();
        QCOMPARE(line.ends, QList<bool>{true});
        QCOMPARE(line.lines.last(), QStringLiteral("上载数据成功 ！"));
        QVERIFY(endFlagArrives(line));
        QCOMPARE(line.sim.flash(0, image.size()), image);
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());
    }

    // Nothing was sent and the port was never opened.
    static void nothingSent(StcLine &line)
    {
        QCOMPARE(line.peer.receivedCount(), 0);
        for (const StcLine::TraceEvent &t : line.trace())
            QVERIFY(t.event.kind != platform::SerialTraceEvent::Open);
    }

private slots:
    void downloadWritesTheImage_data()
    {
        QTest::addColumn<QByteArray>("hexFile");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("image"); // what the flash must hold from address 0
        QTest::addColumn<QList<quint16>>("addresses");
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<QString>("sizeLabel");
        QTest::addColumn<QByteArray>("model"); // empty: the STC89C52RC

        const QByteArray b100 = sampleImage(100);
        QTest::newRow("100 bytes: one frame at 0000")
            << intelHex(b100) << "fw.hex" << b100 << QList<quint16>{0x0000} << QList<int>{100}
            << "0.1 KB" << QByteArray();
        const QByteArray b128 = sampleImage(128);
        QTest::newRow("128 bytes: one frame, no padding")
            << intelHex(b128) << "fw.hex" << b128 << QList<quint16>{0x0000} << QList<int>{100}
            << "0.1 KB" << QByteArray();
        const QByteArray b129 = sampleImage(129);
        QTest::newRow("129 bytes: second frame at 0080, padded")
            << intelHex(b129) << "fw.hex" << b129 << QList<quint16>{0x0000, 0x0080}
            << QList<int>{50, 100} << "0.1 KB" << QByteArray();
        const QByteArray b300 = sampleImage(300);
        QTest::newRow("300 bytes: three frames, progress rounded")
            << intelHex(b300) << "fw.hex" << b300 << QList<quint16>{0x0000, 0x0080, 0x0100}
            << QList<int>{33, 67, 100} << "0.3 KB" << QByteArray();
        QByteArray trailingZeros = sampleImage(130);
        trailingZeros.append(QByteArray(70, '\0'));
        QTest::newRow("zero run at the end is cut")
            << intelHex(trailingZeros) << "fw.hex" << sampleImage(130)
            << QList<quint16>{0x0000, 0x0080} << QList<int>{50, 100} << "0.1 KB" << QByteArray();
        QTest::newRow("'.bin' file is the image itself")
            << b100 << "fw.bin" << b100 << QList<quint16>{0x0000} << QList<int>{100}
            << "0.1 KB" << QByteArray();
        // A binary keeps its zeros at the end: they are bytes of the file, not a decoder's fill.
        const QByteArray zeroTail = b100 + QByteArray(60, '\0');
        QTest::newRow("'.bin' file keeps its trailing zeros")
            << zeroTail << "fw.bin" << zeroTail << QList<quint16>{0x0000, 0x0080}
            << QList<int>{50, 100} << "0.1 KB" << QByteArray();
        const QByteArray low = sampleImage(0x100);
        const QByteArray high = sampleImage(0x100);
        QByteArray gap = low + QByteArray(0x1000 - 0x100, '\0') + high;
        QList<quint16> gapAddresses;
        QList<int> gapProgress;
        for (int i = 0; i < 34; ++i) {
            gapAddresses.append(quint16(i * 128));
            gapProgress.append(stc::progress(i, 34));
        }
        QTest::newRow("gap between 0100 and 0FFF filled with zeros: 34 frames")
            << intelHex({{0x0000, low}, {0x1000, high}}) << "fw.hex" << gap << gapAddresses
            << gapProgress << "4.2 KB" << QByteArray();
        // The whole flash of the model is written; one byte more is refused (the rows of
        // refusedAfterConnecting).
        const QByteArray kib = sampleImage(1024);
        QTest::newRow("exactly the 1 KiB flash of the 12C1052")
            << intelHex(kib) << "fw.hex" << kib
            << QList<quint16>{0x0000, 0x0080, 0x0100, 0x0180, 0x0200, 0x0280, 0x0300, 0x0380}
            << QList<int>{12, 25, 38, 50, 62, 75, 88, 100} << "1.0 KB"
            << QByteArray::fromHex("F20183");
    }
    void downloadWritesTheImage()
    {
        QFETCH(QByteArray, hexFile);
        QFETCH(QString, fileName);
        QFETCH(QByteArray, image);
        QFETCH(QList<quint16>, addresses);
        QFETCH(QList<int>, progress);
        QFETCH(QString, sizeLabel);
        QFETCH(QByteArray, model);

        StcSim::Config config;
        if (!model.isEmpty()) config.modelCode = model;
        StcLine line(config);
        line.useFile(fileName, hexFile);
        QList<int> seen;
        QObject::connect(line.main().ProgressBar1, &QProgressBar::valueChanged,
                         [&seen](int v) { seen.append(v); });
        line.download();

        const QString chip =
            model.isEmpty() ? kDefaultChip
                            : stc::modelName(stc::findModel(QString::fromLatin1(model.toHex())
                                                                .toUpper())) +
                                  QStringLiteral("/时钟频率: 11.0592M");
        QCOMPARE(line.lines, successLines(QStringLiteral("4.3C"), chip, false));
        QCOMPARE(line.main().Memo1->toPlainText().split(u'\n'), line.lines);
        QCOMPARE(line.ends, QList<bool>{true});
        QCOMPARE(line.sim.protocolErrors(), QStringList());
        QCOMPARE(line.sim.dataAddresses(), addresses);
        const qsizetype written = addresses.size() * 128;
        QCOMPARE(line.sim.flash(0, image.size()), image);
        QCOMPARE(line.sim.flash(image.size(), written - image.size()),
                 QByteArray(written - image.size(), '\0'));                // the padding
        const qsizetype unwritten = std::min<qsizetype>(64, line.sim.flash().size() - written);
        QCOMPARE(line.sim.flash(written, 64), QByteArray(unwritten, char(0xFF))); // erased
        // The end flag left the port before it was stopped.
        QVERIFY(endFlagArrives(line));
        QCOMPARE(seen, progress);
        QCOMPARE(line.main().Label10->text(), sizeLabel);
        QCOMPARE(line.stc().StcImageLength, quint32(image.size()));
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(line.main().Memo1->isEnabled());
        QVERIFY(line.main().BitBtn2->isEnabled());
        QVERIFY(!line.portOpen());
        // The last complete reception was the answer to the option follow-up, or the chip's
        // answer to the end flag when it came before the port stopped (the programmer does
        // not wait for it).
        const QString hint = line.main().Memo1->property("Hint").toString();
        QVERIFY2(hint == QStringLiteral("46B968001010C016F6FFF103FF4343FDC916") ||
                     hint == QStringLiteral("46B968000680EE16"),
                 qPrintable(hint));
    }

    void framesAndRatesOfEachChip_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<qint64>("crystal"); // 12T
        QTest::addColumn<QString>("chipLine");
        QTest::addColumn<QString>("step1");
        QTest::addColumn<QString>("step2");
        QTest::addColumn<quint32>("rate");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("erase");

        const QString c14 = stc::kControlModel1to4.toString();
        QTest::newRow("89C52RC at 11.0592 MHz")
            << QByteArray::fromHex("F00282") << qint64(11059200)
            << "STC89C52RC/时钟频率: 11.0592M"
            << "46B96A000C8FFFFD00062881B016"
            << "46B96A000B8EFFFD0006282D16" << 115200u << c14 << "46B96A000D84053333333333333216";
        QTest::newRow("89C55RD+ at 11.0592 MHz")
            << QByteArray::fromHex("F10582") << qint64(11059200)
            << "STC89C55RD+/时钟频率: 11.0592M"
            << "46B96A000C8FFFFD00062881B016"
            << "46B96A000B8EFFFD0006282D16" << 115200u << c14 << "46B96A000D840C3333333333333916";
        QTest::newRow("89C516RD+ at 18.432 MHz")
            << QByteArray::fromHex("F11082") << qint64(18432000)
            << "STC89C516RD+/时钟频率: 18.432M"
            << "46B96A000C8FFFFB000A2881B216"
            << "46B96A000B8EFFFB000A282F16" << 115200u << c14 << "46B96A000D840C3333333333333916";
        QTest::newRow("89C51RC at 22.1184 MHz")
            << QByteArray::fromHex("F00182") << qint64(22118400)
            << "STC89C51RC/时钟频率: 22.1184M"
            << "46B96A000C8FFFFA000C2880B216"
            << "46B96A000B8EFFFA000C283016" << 115200u << c14 << "46B96A000D84053333333333333216";
        QTest::newRow("89C52RC at 36.864 MHz")
            << QByteArray::fromHex("F00282") << qint64(36864000)
            << "STC89C52RC/时钟频率: 36.864M"
            << "46B96A000C8FFFF600142880B616"
            << "46B96A000B8EFFF60014283416" << 115200u << c14 << "46B96A000D84053333333333333216";
        QTest::newRow("89C52RC at 12 MHz: 38400 baud")
            << QByteArray::fromHex("F00282") << qint64(12000000)
            << "STC89C52RC/时钟频率: 12.000M"
            << "46B96A000C8FFFF600142881B716"
            << "46B96A000B8EFFF60014283416" << 38400u << c14 << "46B96A000D84053333333333333216";
        QTest::newRow("89C52RC at 24 MHz: 57600 baud")
            << QByteArray::fromHex("F00282") << qint64(24000000)
            << "STC89C52RC/时钟频率: 24.000M"
            << "46B96A000C8FFFF3001A2881BA16"
            << "46B96A000B8EFFF3001A283716" << 57600u << c14 << "46B96A000D84053333333333333216";
        QTest::newRow("12C1052 at 11.0592 MHz: frames of its own")
            << QByteArray::fromHex("F20183") << qint64(11059200)
            << "STC12C1052/时钟频率: 11.0592M"
            << "46B96A000C8FC0FA3F0C2883B516"
            << "46B96A000B8EC0FA3F0C283016" << 115200u << stc::kControlModel5.toString()
            << stc::kEraseModel5.toString();
    }
    void framesAndRatesOfEachChip()
    {
        QFETCH(QByteArray, model);
        QFETCH(qint64, crystal);
        QFETCH(QString, chipLine);
        QFETCH(QString, step1);
        QFETCH(QString, step2);
        QFETCH(quint32, rate);
        QFETCH(QString, control);
        QFETCH(QString, erase);

        StcSim::Config config;
        config.modelCode = model;
        config.crystalHz = crystal;
        StcLine line(config);
        const QByteArray image = sampleImage(129);
        line.useImage(image);
        line.download();

        QCOMPARE(line.lines, successLines(QStringLiteral("4.3C"), chipLine, false));
        QCOMPARE(line.ends, QList<bool>{true});
        QCOMPARE(line.sim.protocolErrors(), QStringList());
        QCOMPARE(line.sim.flash(0, image.size()), image);

        QVERIFY(endFlagArrives(line));
        const QList<QByteArray> frames = hostFrames(line.sim);
        QCOMPARE(frames.size(), 2 + 5 + 1 + 2 + 2 + 1);
        QCOMPARE(frames[0], frameBytes(step1));
        QCOMPARE(frames[1], frameBytes(step2));
        for (int i = 2; i < 7; ++i)
            QCOMPARE(frames[i], frameBytes(control));
        QCOMPARE(frames[7], frameBytes(erase));
        QCOMPARE(frames[8].left(10), frameBytes(u"46B96A008C0000000000"));
        QCOMPARE(frames[9].left(10), frameBytes(u"46B96A008C0000000080"));
        QCOMPARE(frames[10], frameBytes(stc::kOption12T));
        QCOMPARE(frames[11], frameBytes(stc::kOptionFollowUp));
        QCOMPARE(frames[12], frameBytes(u"46B96A000682F216"));

        // 1200 baud for the handshake and each step frame, the chip's rate after each step.
        QCOMPARE(line.rates(), (QList<quint32>{1200, rate, 1200, rate}));
        quint32 current = 0;
        bool stepSeen = false;
        for (const StcLine::TraceEvent &t : line.trace()) {
            const platform::SerialTraceEvent &ev = t.event;
            if (ev.kind == platform::SerialTraceEvent::Line) current = ev.line.baud;
            if (ev.kind != platform::SerialTraceEvent::Write) continue;
            if (ev.data.contains(frameBytes(step1)) || ev.data.contains(frameBytes(step2))) {
                QCOMPARE(current, 1200u);
                stepSeen = true;
            }
            if (ev.data.startsWith(frameBytes(u"46B96A008C")) ||
                ev.data.contains(frameBytes(control)) || ev.data.contains(frameBytes(erase)))
                QCOMPARE(current, rate);
        }
        QVERIFY(stepSeen);
        QVERIFY(!line.portOpen());
    }

    void clockModeOption_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("doubleSpeed");
        QTest::newRow("6T: double speed") << "6T" << QByteArray::fromHex("FCFFFAFF") << true;
        QTest::newRow("12T: single speed") << "12T" << QByteArray::fromHex("FDFFFDFF") << false;
    }
    void clockModeOption()
    {
        QFETCH(QString, caption);
        QFETCH(QByteArray, payload);
        QFETCH(bool, doubleSpeed);

        StcLine line;
        line.main().BitBtn7->setText(caption);
        line.useImage(sampleImage(10));
        line.download();
        QCOMPARE(line.lines, successLines(QStringLiteral("4.3C"), kDefaultChip, doubleSpeed));
        QCOMPARE(payloadOf(line.sim, stc::kCmdOption), payload);
        QVERIFY(line.sim.commands().contains(stc::kCmdOptionFollowUp));
        QCOMPARE(line.sim.protocolErrors(), QStringList());
    }

    void statusFrameRecognition_data()
    {
        QTest::addColumn<QByteArray>("status"); // empty: built from the config below
        QTest::addColumn<int>("statusLength");
        QTest::addColumn<int>("versionByte");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("chipLine");

        // Status frames of another layout than that of boot loader 4.3C (type 50, codes at
        // fixed places): the texts are found anywhere, the version is placed by the length.
        // One with both model codes and both 11.0592 and 12 MHz codes in it:
        QByteArray both = QByteArray::fromHex("46B968001E50F002821C0014F201831C00160000");
        both.append("\x43"
                    "C"); // bytes 20 and 21
        both.append(QByteArray::fromHex("000000000000000016"));
        QTest::newRow("two model and two clock codes: the last rows win")
            << both << 0 << 0 << "4.3C"
            << "STC12C1052/时钟频率: 12.000M";
        QTest::newRow("32-byte frame: version at bytes 20 and 21")
            << QByteArray() << 32 << 0x43 << "4.3C" << kDefaultChip;
        QTest::newRow("29-byte frame: still bytes 20 and 21")
            << QByteArray() << 29 << 0x51 << "5.1C" << kDefaultChip;
        QTest::newRow("28-byte frame: 8th and 7th byte from the end")
            << QByteArray() << 28 << 0x62 << "6.2C" << kDefaultChip;
        QTest::newRow("20-byte frame: 8th and 7th byte from the end")
            << QByteArray() << 20 << 0x43 << "4.3C" << kDefaultChip;
        // The frame starts at its 68, however closely the bytes before it come.
        QTest::newRow("an echo of the handshake just before the status")
            << hex("7F7F") + StcSim::buildStatusFrame({}) << 0 << 0 << "4.3C" << kDefaultChip;
    }
    void statusFrameRecognition()
    {
        QFETCH(QByteArray, status);
        QFETCH(int, statusLength);
        QFETCH(int, versionByte);
        QFETCH(QString, version);
        QFETCH(QString, chipLine);

        if (status.isEmpty()) {
            // 46 B9 68, length, 50, model code F0 02 82, oscillator code 1C 00 14, the version
            // byte and 'C' at bytes 20 and 21 or at the 8th and 7th byte from the end.
            status = QByteArray(statusLength, '\0');
            status.replace(0, 12, hex("46B968000050F002821C0014"));
            status[4] = char(statusLength - 2);
            const int at = statusLength >= 29 ? 20 : statusLength - 8;
            status[at] = char(versionByte);
            status[at + 1] = 'C';
            quint8 sum = 0;
            for (int i = 2; i < statusLength - 2; ++i)
                sum = quint8(sum + quint8(status[i]));
            status[statusLength - 2] = char(sum);
            status[statusLength - 1] = char(0x16);
        }
        StcLine line;
        line.sim.setStatusFrame(status);
        line.useImage(sampleImage(10));
        line.download();
        QCOMPARE(line.lines, successLines(version, chipLine, false));
        QCOMPARE(line.ends, QList<bool>{true});
        QCOMPARE(line.sim.protocolErrors(), QStringList());
    }

    void recordedSessionOfARealChip()
    {
        RecordedChip chip; // outlives the line, which detaches it
        StcLine line;
        line.peer.attach(&chip);
        line.boardErrors = [&chip] { return chip.errors(); };
        QByteArray image("123456789");
        image.append(QByteArray(512 - image.size(), char(0xFF)));
        line.useImage(image);
        line.download();

        QCOMPARE(line.lines, successLines(QStringLiteral("4.3C"),
                                          QStringLiteral("STC89C52RC/时钟频率: 22.1184M"), false));
        QCOMPARE(line.ends, QList<bool>{true});
        // Every recorded answer was asked for, the end frame's too, and nothing else.
        QVERIFY(line.peer.waitForReceived(
            [&chip](const QByteArray &) { return chip.rowsTaken() == kRecordedRows; }, 2000));
        QCOMPARE(chip.errors(), QStringList());
        QCOMPARE(chip.dataAddresses(), (QList<quint16>{0x0000, 0x0080, 0x0100, 0x0180}));
        QVERIFY(!line.portOpen());
    }

    void answerCutAtItsInnerByte16()
    {
        // The answer to the option follow-up carries a 16 in its payload (10 C0 16 ...). When
        // the line pauses right after that byte, the reception ends there; the download waits
        // for the rest, which the frame's length announces, before it sends the end flag.
        StcLine line;
        line.useImage(sampleImage(10));
        const QByteArray answer = hex("46B968001010C016F6FFF103FF4343FDC916");
        line.sim.setJunk(answer.left(8));
        line.sim.failAt(StcSim::Step::OptionFollowUp, sim::Fault::Junk);
        bool tailSent = false;
        QTimer tail;
        tail.setInterval(10);
        QObject::connect(&tail, &QTimer::timeout, [&] {
            if (tailSent || !line.peer.sentToHost().endsWith(answer.left(8))) return;
            tailSent = true;
            QTimer::singleShot(400, [&] { line.peer.send(answer.mid(8)); });
        });
        tail.start();
        // The last reception the window knows of when the download ends (the chip's answer
        // to the end flag may follow it).
        QString hintAtEnd;
        line.onEnd = [&](DownloadResult result) {
            line.ends.append(result == DownloadResult::Written);
            hintAtEnd = line.main().Memo1->property("Hint").toString();
        };
        line.download();
        tail.stop();

        QCOMPARE(line.lines, successLines(QStringLiteral("4.3C"), kDefaultChip, false));
        QCOMPARE(hintAtEnd, QString::fromLatin1(answer.toHex().toUpper()));
        QVERIFY(endFlagArrives(line));
        const std::vector<testsupport::PtyPeer::Record> log = line.peer.log();
        qsizetype tailAt = -1, endFlagAt = -1;
        for (qsizetype i = 0; i < qsizetype(log.size()); ++i) {
            if (log[i].bytes == answer.mid(8)) tailAt = i;
            if (log[i].bytes.contains(hex("FEFEFEFE")) && endFlagAt < 0) endFlagAt = i;
        }
        QVERIFY(tailAt >= 0);
        QVERIFY2(endFlagAt > tailAt, qPrintable(QStringLiteral("%1 %2").arg(tailAt).arg(endFlagAt)));
    }

    void statusFrameInTwoParts_data()
    {
        QTest::addColumn<int>("cutAt");     // bytes in the first part
        QTest::addColumn<bool>("after16");  // the first part ends in a 16 inside the frame
        QTest::addColumn<int>("pauseMs");   // between the parts
        QTest::addColumn<bool>("whole");    // the frame is taken whole, else only its second part
        // Handshake ticks come every 20 ms; the line quiet for 100 ms ends a reception that
        // is not the whole status frame, and the next tick clears it.
        QTest::newRow("counts, version, option byte, model code; a long pause")
            << 26 << false << 400 << false;
        QTest::newRow("cut after a 16 inside it; a short pause") << 41 << true << 10 << true;
    }
    void statusFrameInTwoParts()
    {
        QFETCH(int, cutAt);
        QFETCH(bool, after16);
        QFETCH(int, pauseMs);
        QFETCH(bool, whole);

        StcLine line;
        line.useImage(sampleImage(10));
        line.peer.setSilent(true); // the test answers in the chip's place
        // An unknown model ends the download right after the status.
        StcSim::Config unknownModel;
        unknownModel.modelCode = QByteArray::fromHex("D12345");
        QByteArray status = StcSim::buildStatusFrame(unknownModel);
        if (after16) status[cutAt - 1] = char(0x16); // one of its unused zeros
        quint8 sum = 0;
        for (qsizetype i = 0; i < status.size() - 2; ++i)
            sum = quint8(sum + quint8(status[i]));
        status[status.size() - 2] = char(sum);
        const QByteArray head = status.left(cutAt);
        const QByteArray tail = status.mid(cutAt);
        QTimer::singleShot(300, [&] { line.peer.send(head); });
        QTimer::singleShot(300 + pauseMs, [&] { line.peer.send(tail); });
        line.download();

        const QString taken = QString::fromLatin1((whole ? status : tail).toHex().toUpper());
        QCOMPARE(line.main().Memo1->property("Hint").toString(), taken);
        QCOMPARE(line.lines.value(2), QStringLiteral("连机成功! 固件版本:") +
                                          stc::versionDisplay(stc::versionText(taken)));
        QCOMPARE(line.lines.value(3), QStringLiteral("未支持的 MCU ！"));
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(!line.portOpen());
    }

    void libraryCannotBeInstalled()
    {
        // A file where the library folder should be: the library is neither installed nor
        // found next to the test program. The program's carried copy is loaded from memory
        // instead, the status bar says so, and the download goes on.
        StcLine line({}, [](const testenv::TestEnv &env) { env.file(".local", "not a folder"); });
        QVERIFY(line.main().Status().startsWith(QStringLiteral("Unable to install iHexToBin")));
        line.useImage(sampleImage(10));
        QStringList statuses;
        line.main().OnStatusText = [&](const QString &s) { statuses << s; };
        line.download();
        QVERIFY(line.env.messages.isEmpty());
        QVERIFY2(statuses.value(0).startsWith(QStringLiteral("使用程序内置的HEX解码库")),
                 qPrintable(statuses.join(" | ")));
        QCOMPARE(line.ends, QList<bool>{true});
        QCOMPARE(line.sim.flash(0, 10), sampleImage(10));
        QVERIFY(!line.portOpen());
    }

    void unrecognisedChip_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("versionLine");
        QTest::addColumn<QString>("failureLine");
        QTest::addColumn<bool>("thenDownload"); // the next download works (once: one path)

        const QString mcuBox =
            QStringLiteral("当前版本支持 MCU: 12C1052/89C51RC/89C52RC/89C55RD+/89C516RD+ ！");
        const QString oscBox =
            QStringLiteral("当前版本支持 Oscillator: 11.0592/12.00/18.432/22.1184/24.00/36.864 ！");
        StcSim::Config unknownModel;
        unknownModel.modelCode = QByteArray::fromHex("D12345");

        QTest::newRow("unknown model")
            << StcSim::buildStatusFrame(unknownModel) << mcuBox << "连机成功! 固件版本:4.3C"
            << "未支持的 MCU ！" << true;
        // Its counts, taken at 2400 baud, give 19.96 MHz at 1200 baud: no class.
        QTest::newRow("recorded STC89C52RC status: unknown oscillator")
            << kRecordedStatus << oscBox << "连机成功! 固件版本:4.3C"
            << "未支持的 Oscillator ！" << false;
        // Three bytes: too short for the version rule, which must not read beyond them.
        QTest::newRow("three-byte reply: no version, no model")
            << QByteArray::fromHex("46B916") << mcuBox << "连机成功! 固件版本:"
            << "未支持的 MCU ！" << false;
    }
    void unrecognisedChip()
    {
        QFETCH(QByteArray, status);
        QFETCH(QString, box);
        QFETCH(QString, versionLine);
        QFETCH(QString, failureLine);
        QFETCH(bool, thenDownload);

        StcLine line;
        line.sim.setStatusFrame(status);
        line.useImage(sampleImage(10));
        line.main().SetStayOnTop(true);
        line.download();

        QCOMPARE(line.lines,
                 (QStringList{QStringLiteral("下载目标代码"), QStringLiteral("正在连机 。。。"),
                              versionLine, failureLine}));
        QCOMPARE(line.env.messages.size(), 1);
        QCOMPARE(line.env.messages[0].caption, QStringLiteral("Tramelo"));
        QCOMPARE(line.env.messages[0].text, box);
        QCOMPARE(line.main().Memo1->property("Hint").toString(),
                 QString::fromLatin1(status.toHex().toUpper()));
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(line.sim.frames().isEmpty());
        QVERIFY(!line.main().StayOnTop());
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());
        QVERIFY(!line.stc().SeekTimer->isActive());

        if (!thenDownload) return;
        line.sim.setStatusFrame(StcSim::buildStatusFrame({}));
        nextDownloadWorks(line);
    }

    void connectTimeout_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::addColumn<bool>("thenDownload"); // the next download works (one row per path)
        // The tick counter is not restarted when its timer already runs, so the first tick
        // may come early: n seconds end after n - 1 to n seconds.
        QTest::newRow("1 s") << "1" << 0 << 1500 << true;
        QTest::newRow("2 s") << "2" << 1000 << 2500 << false;
        QTest::newRow("0: ends on the first pass") << "0" << 0 << 300 << true;
        QTest::newRow("not a number: 3 s") << "x" << 2000 << 3500 << false;
    }
    void connectTimeout()
    {
        QFETCH(QString, field);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        QFETCH(bool, thenDownload);

        StcLine line;
        {
            // Set by program past the field's own rule, as pasting could.
            const QSignalBlocker block(line.main().Edit3);
            line.main().Edit3->setText(field);
        }
        line.useImage(sampleImage(10));
        line.peer.setSilent(true);
        line.main().SetStayOnTop(true);
        QElapsedTimer timer;
        timer.start();
        line.download();
        const qint64 elapsed = timer.elapsed();

        QCOMPARE(line.lines,
                 (QStringList{QStringLiteral("下载目标代码"), QStringLiteral("正在连机 。。。"),
                              QStringLiteral("无应答: 状态包 (0x7F 同步脉冲之后)"),
                              QStringLiteral("连接超时 ！")}));
        QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(line.main().StayOnTop()); // this path leaves the form style alone
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());
        QVERIFY(!line.stc().SeekTimer->isActive());
        const QByteArray sent = line.peer.received();
        if (field != "0") {
            QVERIFY(sent.size() >= 2);
            QCOMPARE(sent, QByteArray(sent.size(), char(0x7F)));
        }
        if (!thenDownload) return;

        {
            const QSignalBlocker block(line.main().Edit3);
            line.main().Edit3->setText(QStringLiteral("5"));
        }
        nextDownloadWorks(line);
    }

    void replyTimeout()
    {
        StcLine line;
        line.sim.failAt(StcSim::Step::Control, sim::Fault::Silent, 3);
        line.useImage(sampleImage(10));
        line.main().SetStayOnTop(true);
        QElapsedTimer timer;
        timer.start();
        line.download();
        const qint64 elapsed = timer.elapsed();

        QStringList expected = successLines(QStringLiteral("4.3C"), kDefaultChip, false).mid(0, 8);
        expected << QStringLiteral("无应答: 控制信息 (0x80)") << QStringLiteral("写控制信息超时 ！");
        QCOMPARE(line.lines, expected);
        QVERIFY2(elapsed >= 5000 && elapsed <= 8500, qPrintable(QString::number(elapsed)));
        QCOMPARE(line.sim.commands().count(stc::kCmdControl), 3);
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(!line.main().StayOnTop());
        QVERIFY(testsupport::keptProgressProblem(line.main(), false).isEmpty());
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());

        nextDownloadWorks(line);
    }

    // The STC12/STC15/STC8 programmer names the step a silent chip left unanswered, before
    // the stage's time-out line: the status packet (time-out field 1 s) and a trim round.
    void seriesSilentChipNamesTheStep_data()
    {
        QTest::addColumn<int>("silentAt"); // sim::StcSeriesSim::Step
        QTest::addColumn<QString>("clock");
        QTest::addColumn<QStringList>("tail");
        using Step = sim::StcSeriesSim::Step;
        QTest::newRow("status packet")
            << int(Step::Status) << ""
            << QStringList{"无应答: 状态包 (0x7F 同步脉冲之后)", "连接超时 ！"};
        QTest::newRow("first trim round")
            << int(Step::Calibration) << "11.0592"
            << QStringList{"正在校准时钟 。。。", "无应答: 时钟校准 (0x00)", "校准时钟超时 ！"};
    }
    void seriesSilentChipNamesTheStep()
    {
        QFETCH(int, silentAt);
        QFETCH(QString, clock);
        QFETCH(QStringList, tail);

        testsupport::BoardRig<sim::StcSeriesSim> r(sim::StcSeriesSim::Config::stc15l104w());
        r.sim.failAt(sim::StcSeriesSim::Step(silentAt), sim::Fault::Silent);
        r.select(devices::findDevice(u"stc15"), testsupport::kBaud115200Index);
        r.setAutomaticReset(false);
        r.main().ClockEdit->setText(clock);
        {
            const QSignalBlocker block(r.main().Edit3);
            r.main().Edit3->setText(QStringLiteral("1"));
        }
        r.start(r.env.file("fw.bin", sampleImage(300)));
        QVERIFY(r.waitForEnds(1, 15000));
        QCOMPARE(r.results, QList<DownloadResult>{DownloadResult::Failed});
        QCOMPARE(r.lines.mid(r.lines.size() - tail.size()), tail);
        QVERIFY(r.sim.protocolErrors().isEmpty());
    }

    void missingFile()
    {
        StcLine line;
        line.main().Edit2->setText(line.env.root() + QStringLiteral("/no-such-file.hex"));
        line.main().SetStayOnTop(true);
        line.download();
        QCOMPARE(line.lines, QStringList{QStringLiteral("上载文件不存在 ！")});
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(line.main().StayOnTop());
        QVERIFY(line.main().BitBtn1->isEnabled());
        nothingSent(line);

        nextDownloadWorks(line);
    }

    void refusedImage_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("message"); // "": the no-data message
        QTest::addColumn<bool>("thenDownload"); // the next download works (one row per path)
        QTest::newRow("text not starting with ':' named .hex") << QByteArray("0102030405")
                                    << "fw.hex"
                                    << "the decoder rejects a text not starting with ':'"
                                    << QStringLiteral("HEX文件格式错误: 第 1 行") << true;
        QTest::newRow("empty binary") << QByteArray() << "fw.bin" << "no byte" << QString() << true;
        QTest::newRow("binary over 64 KiB") << QByteArray(0x10001, '\x55') << "fw.bin"
                                            << "past the decoding buffer"
                                            << QStringLiteral("文件太大，不能超过64 KB") << false;
        QTest::newRow("empty file") << QByteArray() << "fw.hex"
                                    << "nothing to decode" << QString() << false;
        QTest::newRow("data only at offset 0")
            << QByteArray(":0100000055AA\r\n:00000001FF\r\n") << "fw.hex"
            << "offset 0 is not examined" << QString() << false;
        QTest::newRow("zeros only") << intelHex(QByteArray(64, '\0')) << "fw.hex"
                                    << "no non-zero byte" << QString() << true;
    }
    void refusedImage()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFETCH(bool, thenDownload);

        StcLine line;
        line.main().Label10->setText(QStringLiteral("9.9 KB"));
        line.useFile(name, file);
        line.download();
        QCOMPARE(line.lines,
                 QStringList{message.isEmpty() ? stc::kNoImageMessage.toString() : message});
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(line.main().Label10->text().isEmpty());
        QVERIFY(line.stc().StcBlocks.isEmpty());
        nothingSent(line);

        if (thenDownload) nextDownloadWorks(line);
    }

    void portTakenByAnotherOpener()
    {
        StcLine line;
        line.useImage(sampleImage(10));
        line.main().SetStayOnTop(true);
        platform::SerialPort other;
        QCOMPARE(other.open(line.peer.slavePath()), platform::OpenResult::Ok);
        line.download();

        QCOMPARE(line.env.messages.size(), 1);
        QCOMPARE(line.env.messages[0].caption, QStringLiteral("Tramelo"));
        const QString reason = line.peer.slavePath() + " 正被其它程序占用";
        QCOMPARE(line.env.messages[0].text, kPortBusy + "\n" + reason);
        QCOMPARE(line.lines, (QStringList{QStringLiteral("下载目标代码"),
                                          QStringLiteral("串口打开失败：") + reason}));
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(!line.main().StayOnTop());
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());
        QCOMPARE(line.peer.receivedCount(), 0);

        other.close();
        nextDownloadWorks(line);
    }

    void portHeldThroughTheSpeedSteps()
    {
        StcLine line;
        const QByteArray image = sampleImage(300);
        line.useImage(image);
        // Another program polls the port from the moment the download has opened it, as a
        // terminal waiting for the port would; it must not get it before the download ends.
        std::atomic<bool> polling{true}, started{false};
        std::atomic<int> attempts{0};
        std::thread poller;
        line.onTrace = [&](const platform::SerialTraceEvent &ev) {
            if (ev.kind != platform::SerialTraceEvent::Open || started.exchange(true)) return;
            poller = std::thread([&] {
                while (polling.load()) {
                    platform::SerialPort other;
                    (void)other.open(line.peer.slavePath());
                    ++attempts;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            });
        };
        line.download();
        polling = false;
        if (poller.joinable()) poller.join();
        line.onTrace = nullptr;

        QCOMPARE(line.lines, successLines(QStringLiteral("4.3C"), kDefaultChip, false));
        QCOMPARE(line.ends, QList<bool>{true});
        QCOMPARE(line.sim.flash(0, image.size()), image);
        QVERIFY2(attempts > 100, qPrintable(QString::number(attempts)));
        // Every open of the port is traced, the poller's too: until the first close only the
        // download's own open, and the four rates were set on that open port.
        int opensBeforeClose = 0;
        QList<quint32> rates;
        for (const StcLine::TraceEvent &t : line.trace()) {
            if (t.event.kind == platform::SerialTraceEvent::Close) break;
            opensBeforeClose += t.event.kind == platform::SerialTraceEvent::Open;
            if (t.event.kind == platform::SerialTraceEvent::Line &&
                (rates.isEmpty() || rates.back() != t.event.line.baud))
                rates.append(t.event.line.baud);
        }
        QCOMPARE(opensBeforeClose, 1);
        QCOMPARE(rates, (QList<quint32>{1200, 115200, 1200, 115200}));
        QVERIFY(!line.portOpen());
    }

    // The chip's answers to data frames and the model's flash: a wrong or missing answer
    // ends with the block's address, an image larger than the model is refused before the
    // erase; the usual failure clean-up follows, and the next download works.
    void refusedAfterConnecting_data()
    {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("wrongSumAt");   // data answer with a wrong sum (0: none)
        QTest::addColumn<int>("junkAt");       // data answer replaced by junk (0: none)
        QTest::addColumn<QStringList>("tail"); // the lines after the chip line
        QTest::addColumn<int>("dataFrames");   // data frames the chip took
        QTest::addColumn<bool>("thenDownload"); // the next download works (one row per path)

        const QByteArray c52 = QByteArray::fromHex("F00282");
        const QString failed = QStringLiteral("上载数据失败 ！");
        const QStringList erase = {
            QStringLiteral("调整波特率一完成 ！"), QStringLiteral("第二次调整波特率 。。。"),
            QStringLiteral("调整波特率二完成 ！"), QStringLiteral("正在发送控制信息 。。。"),
            QStringLiteral("发送控制信息完成 ！"), QStringLiteral("正在擦除芯片 。。。"),
            QStringLiteral("擦除芯片完成 ！"),     QStringLiteral("正在上载数据 。。。")};
        QTest::newRow("wrong sum for the second block")
            << c52 << 300 << 2 << 0
            << erase + QStringList{QStringLiteral(
                                       "地址 0x0080 的数据块: 芯片收到的校验和 0x%1，应为 0x%2"),
                                   failed}
            << 2 << true;
        QTest::newRow("junk instead of the third answer")
            << c52 << 400 << 0 << 3
            << erase + QStringList{QStringLiteral("地址 0x0100 的数据块: 芯片的应答不是有效的帧"),
                                   failed}
            << 3 << true;
        QTest::newRow("8 KiB + 1 on the 89C52RC: refused before anything")
            << c52 << 8193 << 0 << 0
            << QStringList{QStringLiteral(
                               "文件太大: 映像 8193 字节，STC89C52RC 的 Flash 只有 8192 字节"),
                           failed}
            << 0 << true;
        QTest::newRow("1 KiB + 1 on the 12C1052")
            << QByteArray::fromHex("F20183") << 1025 << 0 << 0
            << QStringList{QStringLiteral(
                               "文件太大: 映像 1025 字节，STC12C1052 的 Flash 只有 1024 字节"),
                           failed}
            << 0 << false;
        QTest::newRow("20 KiB + 1 on the 89C55RD+")
            << QByteArray::fromHex("F10582") << 20 * 1024 + 1 << 0 << 0
            << QStringList{QStringLiteral(
                               "文件太大: 映像 20481 字节，STC89C55RD+ 的 Flash 只有 20480 字节"),
                           failed}
            << 0 << false;
    }
    void refusedAfterConnecting()
    {
        QFETCH(QByteArray, model);
        QFETCH(int, size);
        QFETCH(int, wrongSumAt);
        QFETCH(int, junkAt);
        QFETCH(QStringList, tail);
        QFETCH(int, dataFrames);
        QFETCH(bool, thenDownload);

        StcSim::Config config;
        config.modelCode = model;
        StcLine line(config);
        const QByteArray image = sampleImage(size);
        line.useImage(image);
        if (wrongSumAt > 0) {
            line.sim.answerWrongSum(wrongSumAt);
            // The line names what the chip said and what the block holds.
            const QByteArray block = image.mid((wrongSumAt - 1) * 128, 128);
            quint8 sum = 0;
            for (char b : block)
                sum = quint8(sum + quint8(b));
            const auto hex2 = [](quint8 v) {
                return QString::number(v, 16).toUpper().rightJustified(2, u'0');
            };
            tail[tail.size() - 2] = tail[tail.size() - 2].arg(hex2(quint8(sum + 1)), hex2(sum));
        }
        if (junkAt > 0) {
            line.sim.setJunk(QByteArray::fromHex("55AA16"));
            line.sim.failAt(StcSim::Step::Data, sim::Fault::Junk, junkAt);
        }
        line.main().SetStayOnTop(true);
        line.download();

        QCOMPARE(line.lines.mid(4), tail);
        QCOMPARE(line.ends, QList<bool>{false});
        QCOMPARE(line.sim.commands().count(stc::kCmdData), dataFrames);
        if (dataFrames == 0) QVERIFY(line.sim.frames().isEmpty()); // not even a speed step
        QVERIFY(!line.sim.endFlagSeen());
        QVERIFY(!line.main().StayOnTop());
        QVERIFY(testsupport::keptProgressProblem(line.main(), false).isEmpty());
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());
        QCOMPARE(line.sim.protocolErrors(), QStringList());

        line.sim.answerWrongSum(0);
        if (thenDownload) nextDownloadWorks(line);
    }

    void resetTimeNotANumber()
    {
        StcLine line;
        line.useImage(sampleImage(10));
        {
            const QSignalBlocker block(line.main().Edit4);
            line.main().Edit4->setText(QStringLiteral("6x"));
        }
        line.download();
        QCOMPARE(line.lines,
                 (QStringList{QStringLiteral("下载目标代码"), QStringLiteral("复位时间无效 ！")}));
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.portOpen());
        QCOMPARE(line.peer.receivedCount(), 0);

        {
            const QSignalBlocker block(line.main().Edit4);
            line.main().Edit4->setText(QStringLiteral("20"));
        }
        nextDownloadWorks(line);
    }

    void resetPulse_data()
    {
        QTest::addColumn<bool>("autoReset");
        QTest::addColumn<int>("resetMs");
        QTest::newRow("automatic reset, 150 ms") << true << 150;
        QTest::newRow("automatic reset, 900 ms") << true << 900;
        QTest::newRow("no automatic reset") << false << 0;
    }
    void resetPulse()
    {
        QFETCH(bool, autoReset);
        QFETCH(int, resetMs);

        StcLine line;
        line.useImage(sampleImage(10));
        line.main().CheckBox2->setChecked(autoReset);
        line.main().Edit4->setText(QString::number(resetMs));
        // The window's thread goes on serving its events while the programmer holds RTS.
        QList<qint64> windowTicks;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout,
                         [&] { windowTicks.append(testsupport::steadyMs()); });
        tick.setTimerType(Qt::PreciseTimer);
        tick.start(5);
        line.download();
        tick.stop();
        QCOMPARE(line.ends, QList<bool>{true});

        const std::vector<StcLine::TraceEvent> trace = line.trace();
        qint64 rtsOn = -1, rtsOff = -1, firstWrite = -1;
        int pulses = 0;
        quint32 rate = 0;
        for (const StcLine::TraceEvent &t : trace) {
            const platform::SerialTraceEvent &ev = t.event;
            if (ev.kind == platform::SerialTraceEvent::Line) rate = ev.line.baud;
            if (ev.kind == platform::SerialTraceEvent::Rts && ev.on) {
                ++pulses;
                rtsOn = ev.msecs;
                QCOMPARE(rate, 1200u);
            }
            if (ev.kind == platform::SerialTraceEvent::Rts && !ev.on && rtsOn >= 0 && rtsOff < 0)
                rtsOff = ev.msecs;
            if (ev.kind == platform::SerialTraceEvent::Write && firstWrite < 0)
                firstWrite = ev.msecs;
        }
        if (!autoReset) {
            QCOMPARE(pulses, 0);
            return;
        }
        QCOMPARE(pulses, 1);
        QVERIFY(rtsOff - rtsOn >= resetMs);
        QVERIFY(rtsOff - rtsOn < resetMs + 200);
        QVERIFY(firstWrite >= rtsOff); // the handshake starts after the pulse
        const auto during = std::count_if(windowTicks.cbegin(), windowTicks.cend(),
                                          [&](qint64 t) { return t > rtsOn && t < rtsOff; });
        QVERIFY2(during > 0, qPrintable(QString::number(windowTicks.size())));
    }

    void windowClosesDuringDownload_data()
    {
        QTest::addColumn<bool>("whileSeeking");
        QTest::newRow("while seeking the chip") << true;
        QTest::newRow("while waiting for a reply") << false;
    }
    void windowClosesDuringDownload()
    {
        QFETCH(bool, whileSeeking);

        StcLine line;
        line.useImage(sampleImage(10));
        if (whileSeeking)
            line.peer.setSilent(true);
        else
            line.sim.failAt(StcSim::Step::Erase, sim::Fault::Silent);
        line.main().show();
        bool closed = false;
        // Closes the window once the download is under way.
        QTimer closer;
        closer.setInterval(20);
        QObject::connect(&closer, &QTimer::timeout, [&] {
            const bool ready = whileSeeking ? line.peer.receivedCount() > 0
                                            : line.sim.commands().contains(stc::kCmdErase);
            if (ready && !closed) {
                closed = true;
                line.main().close();
            }
        });
        closer.start();
        QElapsedTimer timer;
        timer.start();
        line.download();
        closer.stop();

        QVERIFY(closed);
        QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(line.ends, QList<bool>{false});
        QVERIFY(!line.portOpen());
        QVERIFY(line.main().BitBtn1->isEnabled());
        QVERIFY(!line.stc().SeekTimer->isActive());
    }
};

QTEST_MAIN(TestStc)
#include "tst_stc.moc"
