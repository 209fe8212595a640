// The download page: device and file choice, the dispatch of the download button to the
// engine of the chosen family, what the window shows of a running engine, and the automatic
// re-download when the file changes.
#include "app/Main.h"

#include "engines/FileCheck.h"
#include "engines/LpcEngine.h"
#include "engines/StcEngine.h"
#include "engines/StcSeriesEngine.h"
#include "engines/Stm32Engine.h"
#include "engines/Texts.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "logic/FirmwareImage.h"
#include "logic/HexText.h"
#include "logic/ShownText.h"
#include "logic/Stm32Image.h"
#include "platform/PortNames.h"
#include "serial/SPComm.h"

#include "app/Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QUrl>

#include <exception>

namespace {
constexpr int kBaud19200 = br19200;
constexpr int kBaud57600 = br57600;
constexpr int kBaud115200 = br115200;

const ShownText kNoFileChosen{"TMainForm",
                              QT_TRANSLATE_NOOP("TMainForm", "请先选择要下载的文件 ！")};
const ShownText kStopped{
    "TMainForm",
    QT_TRANSLATE_NOOP("TMainForm", "已停止下载，停在：%1 (%2%)；芯片中的程序不完整 ！")};
const ShownText kStoppedStatus{"TMainForm", QT_TRANSLATE_NOOP("TMainForm", "下载已停止")};

// The family's line on the shared driver: STM32's boot loader takes even parity and at least
// 19200 baud, the LPC2000's 8N1 at most 57600.
TMainForm::LineSettings forcedLine(int device, TMainForm::LineSettings l)
{
    const std::optional<devices::Family> family = devices::familyAt(device);
    if (family == devices::Family::Lpc) {
        // The entry of any NXP part takes every rate of the list.
        if (!devices::lpcAnyPart(device)) l.baud = std::min(l.baud, kBaud57600);
        l.data = db8BITS;
        l.stop = sb1BITS;
        l.parity = ptNONE;
    } else if (family == devices::Family::Stm32) {
        l.baud = std::max(l.baud, kBaud19200);
        l.data = db8BITS;
        l.stop = sb1BITS;
        l.parity = ptEVEN;
    }
    return l;
}

std::optional<bool> optionChoice(const QCheckBox *box)
{
    switch (box->checkState()) {
    case Qt::Checked: return true;
    case Qt::Unchecked: return false;
    default: return std::nullopt;
    }
}

void setOptionChoice(QCheckBox *box, std::optional<bool> on)
{
    box->setCheckState(!on ? Qt::PartiallyChecked : *on ? Qt::Checked : Qt::Unchecked);
}
} // namespace

TMainForm::LineSettings TMainForm::DownloadLine(int device) const
{
    LineSettings l = TerminalLine();
    l.port = ComboBox6->currentIndex();
    l.baud = ComboBox7->currentIndex();
    l = forcedLine(device, l);
    return l;
}

void TMainForm::BitBtn1Click()
{
    const int device = MCUType->currentIndex();
    const std::optional<devices::Family> family = devices::familyAt(device);
    // A press while a download runs (an automatic start that slips through) leaves it and its
    // log alone.
    if (!BitBtn1->isEnabled()) return;
    downloadDoc_->clear();
    resetProgress();
    Edit2Change(); // the file may have become another format on disk
    if (!family) {
        autoStarted_ = false;
        return;
    }
    // The version of the file this download reads has been seen: only a later change
    // starts an automatic download.
    LastFileTime = FormattedFileTime(Edit2->text());
    // The file is checked with the family's loader before anything is opened, as the command
    // line checks it: a file that cannot be used never resets or erases the board.
    // (The STC programmers check their file themselves before they open their port.)
    const bool meetsBoardFirst =
        family == devices::Family::Stm32 || family == devices::Family::Lpc;
    const filecheck::Verdict file =
        Edit2->text().isEmpty() ? filecheck::Verdict{kNoFileChosen, {}}
        : meetsBoardFirst       ? filecheck::check(*family, Edit2->text(), BinaryAddress())
        // (a loop of symbolic links, which they would take for a missing file, aside)
        : firmwarefile::isSymlinkLoop(Edit2->text())
            ? filecheck::Verdict{filecheck::symlinkLoop(Edit2->text()), {}}
            : filecheck::Verdict{};
    if (!file.note.isEmpty()) AppendLine(file.note);
    if (!file.refusal.isEmpty()) {
        SetStatus(file.refusal);
        AppendLine(file.refusal);
        DownloadEnded(DownloadResult::RefusedFile);
        return;
    }
    beginDownload(device);
    switch (*family) {
    case devices::Family::Lpc: LpcUp(); break;
    case devices::Family::Stm32: STM32UP(); break;
    case devices::Family::Stc: StcUp(); break;
    case devices::Family::StcSeries: StcSeriesUp(); break;
    }
}

bool TMainForm::beginDownload(int device)
{
    const std::optional<devices::Family> family = devices::familyAt(device);
    // The terminal's open port is closed for the download that needs it (the shared driver is
    // one port; an STC programmer opens the same device itself) and opened again after it.
    terminalReopen_ = false;
    if (ComPortActive) {
        const bool shared =
            family == devices::Family::Lpc || family == devices::Family::Stm32;
        const QString open = QStringLiteral("COM%1").arg(int(ComDriver->ComPort()) + 1);
        const QString target = ComboBox6->currentText();
        if (shared || open == target ||
            platform::resolvePortName(open) == platform::resolvePortName(target)) {
            terminalPort_ = int(ComDriver->ComPort());
            terminalReopen_ = true;
            ComPort_Close();
        }
    }
    stopLine_.clear();
    setDownloadControlsEnabled(false);
    resetProgress();
    downloadClock_.start();
    return true;
}

void TMainForm::setDownloadControlsEnabled(bool on)
{
    for (QWidget *w : std::initializer_list<QWidget *>{
             MCUType, Edit2, AddressEdit, BitBtn2, ComboBox6, ComboBox7, BitBtn7, ClockEdit,
             CrystalEdit, CheckBox9, OptionEeprom, OptionResetPin, OptionLowVoltage})
        w->setEnabled(on);
    BitBtn1->setEnabled(on);
    StopButton->setEnabled(!on);
    if (on) MCUTypeChange(); // the family's own rules for what it offers
}

void TMainForm::showProgress(int value, int maximum)
{
    // The bar and the figures show the furthest point of this download and keep it when it
    // ends (the engines report 0 as they let their port go); the next attempt empties them.
    if (maximum <= 0 || qint64(value) * progressMaximum_ < qint64(progressValue_) * maximum) return;
    progressValue_ = value;
    progressMaximum_ = maximum;
    if (ProgressBar1->maximum() != maximum) ProgressBar1->setMaximum(maximum);
    ProgressBar1->setValue(value);
    updateProgressText();
}

void TMainForm::resetProgress()
{
    progressValue_ = 0;
    progressMaximum_ = 100;
    ProgressBar1->setValue(0);
    ProgressBar1->setMaximum(100);
    downloadMs_ = -1;
    updateProgressText();
}

void TMainForm::updateProgressText()
{
    const qint64 ms = DownloadRunning() && downloadClock_.isValid() ? downloadClock_.elapsed()
                                                                     : downloadMs_;
    if (ms < 0) {
        ProgressText->clear();
        return;
    }
    const int percent = progressMaximum_ > 0
                            ? int(qint64(progressValue_) * 100 / progressMaximum_)
                            : 0;
    const qint64 s = ms / 1000;
    ProgressText->setText(QStringLiteral("%1%  %2:%3")
                              .arg(percent)
                              .arg(s / 60)
                              .arg(s % 60, 2, 10, QLatin1Char('0')));
}

void TMainForm::StopClick()
{
    if (!DownloadRunning()) return;
    const int percent =
        progressMaximum_ > 0 ? int(qint64(progressValue_) * 100 / progressMaximum_) : 0;
    endDownloadNow(kStopped.text().arg(Status()).arg(percent));
}

void TMainForm::endDownloadNow(const QString &line)
{
    if (!DownloadRunning()) return;
    stopLine_ = line;
    // As closing the window ends it: the engine stops and gives its port back.
    for (Engine *e : std::initializer_list<Engine *>{Stm32, Lpc})
        if (e->running()) e->cancel();
    for (Engine *e : std::initializer_list<Engine *>{Stc, StcSeries})
        if (engineRunning(e)) cancelOnStcThread(e);
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
        connect(e, &Engine::progress, this, &TMainForm::showProgress);
        connect(e, &Engine::portHeld, this, &TMainForm::ShowPortPicture);
        connect(e, &Engine::notice, this, &TMainForm::InfoBox);
        connect(e, &Engine::hint, this, &TMainForm::ShowHint);
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
    c.port = ComboBox6->currentIndex();
    c.portName = ComboBox6->currentText();
    c.baud = BaudRate::ofListIndex(DownloadLine(c.device).baud);
    c.reset = CheckBox2->isChecked();
    c.resetMs = Edit4->text();
    c.timeout = Edit3->text();
    c.sixT = BitBtn7->text() == QStringLiteral("6T");
    c.file = Edit2->text();
    c.binaryAddress = BinaryAddress();
    c.verify = CheckBox9->isChecked();
    c.unprotect = StmUnprotect;
    if (devices::trimsClock(c.device)) c.clockMhz = ClockEdit->text().toDouble();
    if (devices::familyAt(c.device) == devices::Family::Lpc) {
        // "12." is what the field takes while typing: sent as the number it means.
        QString khz = CrystalEdit->text();
        if (khz.endsWith(QLatin1Char('.'))) khz.chop(1);
        c.crystalKhz = khz;
    }
    EntrySetup.applyTo(c);
    if (devices::familyAt(c.device) == devices::Family::StcSeries) {
        c.eraseEeprom = optionChoice(OptionEeprom);
        c.resetPinEnabled = optionChoice(OptionResetPin);
        c.lowVoltageReset = optionChoice(OptionLowVoltage);
    }
    return c;
}

void TMainForm::STM32UP()
{
    if (Stm32->running()) return;
    if (!OpenSharedPort(DownloadLine(MCUType->currentIndex()))) {
        engineFinished(nullptr, DownloadResult::PortNotOpened);
        return;
    }
    downloadPort_ = ComboBox6->currentText();
    DownloadChoices choices = ChosenDownload();
    // A sequence never runs on a port the terminal page held.
    if (terminalReopen_) choices.reset = choices.restartWhenDone = false;
    StmUnprotect = false; // once: the attempt it was chosen for
    Stm32->start(choices);
}

void TMainForm::LpcUp()
{
    if (Lpc->running()) return; // one download at a time on the shared port
    if (!OpenSharedPort(DownloadLine(MCUType->currentIndex()))) {
        engineFinished(nullptr, DownloadResult::PortNotOpened);
        return;
    }
    downloadPort_ = ComboBox6->currentText();
    DownloadChoices choices = ChosenDownload();
    // A sequence never runs on a port the terminal page held.
    if (terminalReopen_) choices.reset = choices.restartWhenDone = false;
    Lpc->start(choices);
}

void TMainForm::StcUp()
{
    if (stcRunning_) return;
    stcRunning_ = true;
    downloadPort_ = ComboBox6->currentText();
    startOnStcThread(Stc, ChosenDownload());
}

void TMainForm::StcSeriesUp()
{
    if (stcSeriesRunning_) return;
    stcSeriesRunning_ = true;
    downloadPort_ = ComboBox6->currentText();
    startOnStcThread(StcSeries, ChosenDownload());
}

void TMainForm::engineFinished(Engine *engine, DownloadResult result)
{
    if (engine == Stc) stcRunning_ = false;
    if (engine == StcSeries) stcSeriesRunning_ = false;
    downloadPort_.clear();
    // The STM32 and LPC engines ran on the shared driver, which this window opened.
    if (engine != Stc && engine != StcSeries) ComPort_Close();
    downloadMs_ = downloadClock_.isValid() ? downloadClock_.elapsed() : -1;
    if (!stopLine_.isEmpty()) {
        AppendLine(stopLine_);
        SetStatus(stopLine_ == texts::portVanished() ? stopLine_ : QString(kStoppedStatus));
    } else if (result == DownloadResult::Failed) {
        // The window's own advice under the programmer's last line; not a line of the
        // download itself (observers see the programmer's lines only).
        if (const auto family = devices::familyAt(MCUType->currentIndex())) {
            QTextCursor end(downloadDoc_);
            end.movePosition(QTextCursor::End);
            if (!downloadDoc_->isEmpty()) end.insertBlock();
            end.insertText(texts::failureHint(*family));
            if (Memo1->document() == downloadDoc_) Memo1->ensureCursorVisible();
        }
    }
    stopLine_.clear();
    setDownloadControlsEnabled(true);
    // The bar and the figures keep the furthest point the download reached: all of it after a
    // written image, where it stopped after a failure.
    if (result == DownloadResult::Written) {
        progressValue_ = progressMaximum_;
        ProgressBar1->setValue(ProgressBar1->maximum());
    }
    updateProgressText();
    // The terminal's port comes back with the terminal's own settings, or shows closed.
    if (std::exchange(terminalReopen_, false) && !closed_ && !endConfirmed_) {
        LineSettings line = TerminalLine();
        line.port = terminalPort_;
        if (OpenSharedPort(line)) {
            CheckBox3Click();
            CheckBox4Click();
        } else {
            BitBtn3->setText(QCoreApplication::translate("TMainForm", "打开串口"));
        }
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
    CheckBox9->setEnabled(family == devices::Family::Stm32 || family == devices::Family::Lpc);
    ClockEdit->setEnabled(devices::trimsClock(MCUType->currentIndex()));
    CrystalEdit->setVisible(family == devices::Family::Lpc);
    ClockEdit->setVisible(family != devices::Family::Lpc);
    // The STC12/STC15/STC8 option bytes take the strip's row while such an entry is chosen.
    const bool options = family == devices::Family::StcSeries;
    for (QCheckBox *box : {OptionEeprom, OptionResetPin, OptionLowVoltage})
        box->setVisible(options);
    RzMarqueeStatus1->setVisible(!options);
    deviceBefore_ = MCUType->currentIndex();
    // Empty, the binary goes to the start of the family's flash (code space for STC).
    AddressEdit->setPlaceholderText(
        firmware::hexAddress(family == devices::Family::Stm32 ? stm32::kFlashStart : 0));
}

void TMainForm::Edit2Change()
{
    const QString path = Edit2->text();
    Edit2->setToolTip(path); // the whole path, when the field shows only its end
    const bool binary =
        QFileInfo(path).isFile() && firmware::formatOf(path) == firmware::Format::Binary;
    if (binary == !AddressEdit->isHidden()) return;
    AddressEdit->setVisible(binary);
    placeForSize();
}

std::optional<quint64> TMainForm::BinaryAddress() const
{
    // Hexadecimal, with or without 0x (the field takes nothing else); empty: none.
    QString text = AddressEdit->text();
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) text.remove(0, 2);
    if (text.isEmpty()) return std::nullopt;
    return hextext::parseField(text, 0, int(text.size()));
}

QString TMainForm::DroppedFile(const QMimeData *mime) const
{
    // Nothing changes under a running download (the field is disabled then).
    if (!mime || DownloadRunning() || !Edit2->isEnabled()) return {};
    const QList<QUrl> urls = mime->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    const QString path = urls.front().toLocalFile();
    const QFileInfo info(path);
    return info.exists() && !info.isDir() ? path : QString();
}

void TMainForm::dragEnterEvent(QDragEnterEvent *event)
{
    if (DroppedFile(event->mimeData()).isEmpty()) return event->ignore();
    event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent *event)
{
    if (DroppedFile(event->mimeData()).isEmpty()) return event->ignore();
    event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent *event)
{
    const QString path = DroppedFile(event->mimeData());
    if (path.isEmpty()) return event->ignore();
    event->acceptProposedAction();
    // As the dialog's choice: into the field (and its recent files); the checks follow at the
    // download, whatever way the file came.
    Edit2->setText(path);
}

void TMainForm::SetDownloadChoices(const DownloadChoices &c)
{
    MCUType->setCurrentIndex(c.device);
    MCUTypeChange();
    ComboBox1->setCurrentIndex(c.port);
    ComboBox6->setCurrentIndex(c.port);
    if (const int entry = c.baud.listIndex(); entry >= 0) {
        ComboBox2->setCurrentIndex(entry);
        ComboBox7->setCurrentIndex(entry);
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
    CrystalEdit->setText(c.crystalKhz);
    setOptionChoice(OptionEeprom, c.eraseEeprom);
    setOptionChoice(OptionResetPin, c.resetPinEnabled);
    setOptionChoice(OptionLowVoltage, c.lowVoltageReset);
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
    const QString chosen = ui::chooseFile(
        {this, preset,
         QStringLiteral("bin; pin; hex; ihx (*.bin *.pin *.hex *.ihx);;%1 (*)")
             .arg(QCoreApplication::translate("TMainForm", "所有文件")),
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
    autoStarted_ = true;
    BitBtn1Click();
}
