// The download page: device and file choice, the dispatch of the download button to the
// programmer of the chosen family, and the automatic re-download when the file changes.
#include "app/Main.h"

#include "app/LPC.h"
#include "app/STC.h"
#include "logic/Devices.h"
#include "logic/FirmwareFile.h"
#include "serial/SPComm.h"

#include "app/Ui.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTabWidget>

namespace {
constexpr int kBaud19200 = br19200;
constexpr int kBaud57600 = br57600;

// Why the file cannot be downloaded as it stands, found before the programmer opens the port,
// so the board is not reset and hears nothing: a loop of symbolic links (which every
// programmer would take for a missing file) and, for the programmers that read HEX in the
// middle of their dialogue with the boot loader (LPC always, STM32 for .hex files), a damaged
// HEX file. The STC programmer checks its file itself, before the decoding library and the
// port. "" when the programmer may start.
QString refusalBeforeStart(devices::Family family, const QString &path)
{
    if (firmwarefile::isSymlinkLoop(path)) return firmwarefile::symlinkLoopText();
    if (family == devices::Family::Stc) return {};
    if (family == devices::Family::Stm32 && !stm32::isHexFileName(path)) return {};
    return firmwarefile::damageText(firmwarefile::readHexFile(path, {}));
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
        if (LPCFrm) LPCFrm->BitBtn1Click();
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
        Memo1->setEnabled(false);
        BitBtn2->setEnabled(false);
        // Enabled again also when the programmer ends with an error, which then goes on to
        // the default error handler.
        const auto enableAgain = qScopeGuard([this] {
            BitBtn2->setEnabled(true);
            Memo1->setEnabled(true);
        });
        // An error that leaves the programmer (the HEX decoding library cannot be loaded)
        // goes to the default error handler here, rather than unwinding through the toolkit's
        // frames back to the event loop.
        try {
            if (STCFrm) STCFrm->BitBtn1Click();
        } catch (const std::exception &e) {
            ui::reportException(e);
        }
    }
}

TMainForm::HeldPort TMainForm::DownloadPort() const
{
    // A download runs while its programmer keeps the download button disabled.
    if (BitBtn1->isEnabled()) return {};
    if (STCFrm && STCFrm->ComPort1->IsOpen()) return {STCFrm->ComPort1->CommName(), false};
    if (ComDriver->Connected())
        return {QStringLiteral("COM%1").arg(int(ComDriver->ComPort()) + 1), true};
    return {};
}

void TMainForm::MCUTypeChange()
{
    const std::optional<devices::Family> family = devices::familyAt(MCUType->currentIndex());
    BitBtn7->setEnabled(family == devices::Family::Stc);
    CheckBox9->setEnabled(family == devices::Family::Stm32); // only the STM32 programmer verifies
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
