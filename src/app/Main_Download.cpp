// The download page: device and file choice, the dispatch of the download button to the
// engine of the chosen family, what the window shows of a running engine, and the automatic
// re-download when the file changes.
#include "app/Main.h"

#include "engines/LpcEngine.h"
#include "engines/StcEngine.h"
#include "engines/StcSeriesEngine.h"
#include "engines/Stm32Engine.h"
#include "logic/Devices.h"
#include "logic/FirmwareImage.h"
#include "logic/FirmwareFile.h"
#include "serial/SPComm.h"
#include "logic/Stm32Image.h"

#include "app/Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>

#include <exception>

namespace {
constexpr int kBaud19200 = br19200;
constexpr int kBaud57600 = br57600;

// Why the file cannot be downloaded as it stands, found before the programmer opens the port,
// so the board is not reset and hears nothing: a loop of symbolic links (which every
// programmer would take for a missing file) and, for the programmers that read HEX in the
// middle of their dialogue with the boot loader (LPC always, STM32 for .hex files), a damaged
// HEX, S-record or ELF file. The STC programmer checks its file itself, before the decoding library and the
// port. "" when the programmer may start.
QString refusalBeforeStart(devices::Family family, const QString &path)
{
    if (firmwarefile::isSymlinkLoop(path)) return firmwarefile::symlinkLoopText();
    if (family == devices::Family::Stc || family == devices::Family::StcSeries ||
        firmware::formatOf(path) == firmware::Format::Binary)
        return {};
    const firmware::Loaded file = firmware::load(path);
    return file.status == firmware::Status::Damaged ? file.reason : QString();
}
} // namespace

void TMainForm::BitBtn1Click()
{
    Memo1->clear();
    const std::optional<devices::Family> family = devices::familyAt(MCUType->currentIndex());
    if (!family) return;
    // (A press while a download runs reaches the programmers, which ignore it.)
    if (BitBtn1->isEnabled()) {
        // The version of the file this download reads has been seen: only a later change
        // starts an automatic download.
        LastFileTime = FormattedFileTime(Edit2->text());
        if (const QString why = refusalBeforeStart(*family, Edit2->text()); !why.isEmpty()) {
            SetStatus(why);
            AppendLine(why);
            DownloadEnded(DownloadResult::RefusedFile);
            return;
        }
    }
    // The lists are set by program here, which runs none of their change rules: a port the
    // terminal holds open is not reopened, but the driver takes the new settings at once.
    if (family == devices::Family::Lpc) {
        if (ComboBox2->currentIndex() > kBaud57600) {
            ComboBox2->setCurrentIndex(kBaud57600);
            ComboBox7->setCurrentIndex(kBaud57600);
        }
        ComboBox3->setCurrentIndex(db8BITS);
        ComboBox4->setCurrentIndex(sb1BITS);
        ComboBox5->setCurrentIndex(ptNONE);
        LpcUp();
    } else if (family == devices::Family::Stm32) {
        if (ComboBox2->currentIndex() < kBaud19200) {
            ComboBox2->setCurrentIndex(kBaud19200);
            ComboBox7->setCurrentIndex(kBaud19200);
        }
        ComboBox3->setCurrentIndex(db8BITS);
        ComboBox4->setCurrentIndex(sb1BITS);
        ComboBox5->setCurrentIndex(ptEVEN);
        STM32UP();
    } else if (family == devices::Family::Stc) {
        StcUp();
    } else if (family == devices::Family::StcSeries) {
        StcSeriesUp();
    }
}

TMainForm::HeldPort TMainForm::DownloadPort() const
{
    if (!DownloadRunning()) return {};
    // The STC engine holds its own port, by name; the STM32 and LPC engines hold the shared
    // driver, whatever port the terminal would open with it.
    if (stcRunning_ || stcSeriesRunning_) return {downloadPort_, false};
    if (ComDriver->Connected())
        return {QStringLiteral("COM%1").arg(int(ComDriver->ComPort()) + 1), true};
    return {};
}

void TMainForm::createEngines()
{
    Stm32 = new Stm32Engine(ComDriver, this);
    Lpc = new LpcEngine(ComDriver, this);
    // The STC engines wait and sleep inside their start(): they live on a thread of their own,
    // with their ports' components, whose receptions are delivered there. Their reports reach
    // this window queued, in order. The thread's end deletes them.
    stcThread_ = new QThread(this);
    stcThread_->setObjectName(QStringLiteral("stc-engines"));
    Stc = new StcEngine;
    StcSeries = new StcSeriesEngine;
    for (Engine *e : std::initializer_list<Engine *>{Stc, StcSeries}) {
        e->moveToThread(stcThread_);
        connect(stcThread_, &QThread::finished, e, &QObject::deleteLater);
    }
    stcThread_->start();

    for (Engine *e : std::initializer_list<Engine *>{Stm32, Lpc, Stc, StcSeries}) {
        connect(e, &Engine::line, this, &TMainForm::AppendLine);
        connect(e, &Engine::firstLine, this, &TMainForm::SetMessages);
        connect(e, &Engine::status, this, &TMainForm::SetStatus);
        connect(e, &Engine::progress, this, [this](int value, int maximum) {
            if (ProgressBar1->maximum() != maximum) ProgressBar1->setMaximum(maximum);
            ProgressBar1->setValue(value);
        });
        connect(e, &Engine::portHeld, this, &TMainForm::ShowPortPicture);
        connect(e, &Engine::notice, this, &TMainForm::InfoBox);
        connect(e, &Engine::imageSize, Label10, &QLabel::setText);
        connect(e, &Engine::releaseWindow, this, [this] { SetStayOnTop(false); });
        connect(e, &Engine::finished, this,
                [this, e](DownloadResult result) { engineFinished(e, result); });
    }
    // The last complete reception of the STC dialogue, kept where it is never shown.
    connect(Stc, &StcEngine::frameReceived, Memo1,
            [this](const QString &frame) { Memo1->setProperty("Hint", frame); });
}

void TMainForm::endStcThread()
{
    if (!stcThread_) return;
    // A download still running there ends first; then the thread, which deletes the engines.
    cancelOnStcThread(Stc);
    cancelOnStcThread(StcSeries);
    stcThread_->quit();
    stcThread_->wait();
    Stc = nullptr;
    StcSeries = nullptr;
}

bool TMainForm::DownloadRunning() const
{
    return Stm32->running() || Lpc->running() || stcRunning_ || stcSeriesRunning_;
}

bool TMainForm::engineRunning(const Engine *engine) const
{
    if (!engine) return false;
    if (engine == Stc) return stcRunning_;
    if (engine == StcSeries) return stcSeriesRunning_;
    return engine->running();
}

void TMainForm::startOnStcThread(Engine *engine, const DownloadChoices &choices)
{
    QMetaObject::invokeMethod(
        engine,
        [this, engine, choices] {
            try {
                engine->start(choices);
            } catch (...) {
                // An error that leaves the programmer (the HEX decoding library cannot be
                // loaded) comes after its finished() to this window's thread and goes to the
                // default error handler there.
                QMetaObject::invokeMethod(
                    this,
                    [error = std::current_exception()] {
                        try {
                            std::rethrow_exception(error);
                        } catch (const std::exception &e) {
                            ui::reportException(e);
                        }
                    },
                    Qt::QueuedConnection);
            }
        },
        Qt::QueuedConnection);
}

void TMainForm::cancelOnStcThread(Engine *engine)
{
    if (!engine || !stcThread_ || !stcThread_->isRunning()) return;
    // A download running in start() serves the call from its wait; the port is stopped when
    // this returns. The STC thread never waits for this one, so the wait always ends.
    QMetaObject::invokeMethod(engine, [engine] { engine->cancel(); },
                              Qt::BlockingQueuedConnection);
}

DownloadChoices TMainForm::ChosenDownload() const
{
    DownloadChoices c;
    c.device = MCUType->currentIndex();
    c.port = ComboBox1->currentIndex();
    c.portName = ComboBox1->currentText();
    c.baudIndex = ComboBox2->currentIndex();
    c.reset = CheckBox2->isChecked();
    c.resetMs = Edit4->text();
    c.timeout = Edit3->text();
    c.sixT = BitBtn7->text() == QStringLiteral("6T");
    c.file = Edit2->text();
    c.verify = CheckBox9->isChecked();
    c.unprotect = StmUnprotect;
    if (devices::trimsClock(c.device)) c.clockMhz = ClockEdit->text().toDouble();
    return c;
}

void TMainForm::STM32UP()
{
    if (Stm32->running()) return;
    if (!ComPort_Open()) {
        DownloadEnded(DownloadResult::PortNotOpened);
        return;
    }
    BitBtn1->setEnabled(false);
    downloadPort_ = ComboBox1->currentText();
    const DownloadChoices choices = ChosenDownload();
    StmUnprotect = false; // once: the attempt it was chosen for
    Stm32->start(choices);
}

void TMainForm::LpcUp()
{
    if (Lpc->running()) return; // one download at a time on the shared port
    if (!ComPort_Open()) {
        DownloadEnded(DownloadResult::PortNotOpened);
        return;
    }
    BitBtn1->setEnabled(false);
    downloadPort_ = ComboBox1->currentText();
    Lpc->start(ChosenDownload());
}

void TMainForm::StcUp()
{
    if (stcRunning_) return;
    stcRunning_ = true;
    // The message area and the file button wait for the end, whatever it is.
    Memo1->setEnabled(false);
    BitBtn2->setEnabled(false);
    BitBtn1->setEnabled(false);
    downloadPort_ = ComboBox1->currentText();
    startOnStcThread(Stc, ChosenDownload());
}

void TMainForm::StcSeriesUp()
{
    if (stcSeriesRunning_) return;
    stcSeriesRunning_ = true;
    BitBtn1->setEnabled(false);
    downloadPort_ = ComboBox1->currentText();
    startOnStcThread(StcSeries, ChosenDownload());
}

void TMainForm::engineFinished(Engine *engine, DownloadResult result)
{
    if (engine == Stc) {
        stcRunning_ = false;
        BitBtn2->setEnabled(true);
        Memo1->setEnabled(true);
    }
    if (engine == StcSeries) stcSeriesRunning_ = false;
    downloadPort_.clear();
    // The STM32 and LPC engines ran on the shared driver, which this window opened.
    if (engine != Stc && engine != StcSeries) ComPort_Close();
    BitBtn1->setEnabled(true);
    if (engine == Stm32) {
        ComboBox1->setEnabled(true);
        ComboBox2->setEnabled(true);
    }
    if (result == DownloadResult::Written && CheckBox1->isChecked()) {
        SetStayOnTop(false);
        MinimiseApplication();
    }
    DownloadEnded(result);
}

void TMainForm::MCUTypeChange()
{
    const std::optional<devices::Family> family = devices::familyAt(MCUType->currentIndex());
    BitBtn7->setEnabled(family == devices::Family::Stc);
    CheckBox9->setEnabled(family == devices::Family::Stm32); // only the STM32 programmer verifies
    ClockEdit->setEnabled(devices::trimsClock(MCUType->currentIndex()));
}

void TMainForm::SetDownloadChoices(const DownloadChoices &c)
{
    MCUType->setCurrentIndex(c.device);
    MCUTypeChange();
    ComboBox1->setCurrentIndex(c.port);
    ComboBox6->setCurrentIndex(c.port);
    if (c.baudIndex >= 0) {
        ComboBox2->setCurrentIndex(c.baudIndex);
        ComboBox7->setCurrentIndex(c.baudIndex);
    }
    CheckBox2->setChecked(c.reset);
    CheckBox2Click();
    if (!c.resetMs.isEmpty()) Edit4->setText(c.resetMs);
    if (!c.timeout.isEmpty()) Edit3->setText(c.timeout);
    BitBtn7->setText(c.sixT ? QStringLiteral("6T") : QStringLiteral("12T"));
    Edit2->setText(c.file);
    CheckBox9->setChecked(c.verify);
    StmUnprotect = c.unprotect;
    ClockEdit->setText(c.clockMhz > 0 ? QString::number(c.clockMhz) : QString());
}

void TMainForm::BitBtn7Click()
{
    BitBtn7->setText(BitBtn7->text() != QStringLiteral("6T") ? QStringLiteral("6T")
                                                             : QStringLiteral("12T"));
}

void TMainForm::BitBtn2Click()
{
    // The dialog starts on the field's file; with an empty field, on its own default name.
    const QString preset =
        Edit2->text().isEmpty() ? QDir::home().filePath(QStringLiteral("TEST.pin")) : Edit2->text();
    const QString chosen =
        ui::chooseFile({this, preset, QStringLiteral("bin; pin; hex (*.bin *.pin *.hex)"),
                        QStringLiteral("bin"), false});
    if (!chosen.isEmpty()) Edit2->setText(chosen);
}

void TMainForm::CheckBox2Click()
{
    Edit4->setEnabled(CheckBox2->isChecked());
    Label4->setEnabled(CheckBox2->isChecked());
}

void TMainForm::ComboBox6Change()
{
    ComboBox1->setCurrentIndex(ComboBox6->currentIndex());
}

void TMainForm::ComboBox7Change()
{
    ComboBox2->setCurrentIndex(ComboBox7->currentIndex());
}

QString TMainForm::FormattedFileTime(const QString &path) const
{
    // The modification time to the nanosecond and the size: a compiler writing the file in
    // pieces changes one or the other with every piece, however quickly they follow.
    return firmwarefile::stampText(path);
}

void TMainForm::CheckFileChanged()
{
    if (RzPageControl1->currentIndex() != 0 || !CheckBox1->isChecked()) return;
    const QString path = Edit2->text();
    if (!QFileInfo(path).isFile()) return;
    const QString stamp = FormattedFileTime(path);
    if (stamp == LastFileTime) return;
    // A change that lands while a download runs stays unseen until that download has ended
    // (DownloadEnded looks again at once), and then starts the next one.
    if (!BitBtn1->isEnabled()) return;
    LastFileTime = stamp;
    SetStayOnTop(true);
    AutoIspTimer->start(); // a further change restarts the settle time
    repaint();
}

void TMainForm::AutoIspTimerTimer()
{
    AutoIspTimer->stop();
    // The file has to stay the same for the whole settle time: a compiler may still be
    // writing it.
    const QString stamp = FormattedFileTime(Edit2->text());
    if (stamp != LastFileTime) {
        LastFileTime = stamp;
        AutoIspTimer->start();
        return;
    }
    // The user may have pressed the download button while this start was pending: that
    // download reads this version of the file, and a programmer that runs is not started
    // again under itself.
    if (!BitBtn1->isEnabled()) return;
    BitBtn1Click();
}
