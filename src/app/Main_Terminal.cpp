// The serial terminal page: opening the shared port, sending (text, HEX, new line, on key
// press, timed) and receiving (text or HEX view of everything received, counters).
#include "app/Main.h"

#include "app/Ui.h"
#include "engines/LpcEngine.h"
#include "engines/Stm32Engine.h"
#include "engines/Texts.h"
#include "logic/ShownText.h"
#include "platform/PortNames.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextDocument>

namespace {
constexpr int kTerminalPage = 1;
constexpr int kPreciseTimerBelowMs = 50;
// The open/close button's caption carries the port's state; it is set from and compared with
// the same translated text.
QString captionOpen()
{
    return QCoreApplication::translate("TMainForm", "打开串口");
}
QString captionClose()
{
    return QCoreApplication::translate("TMainForm", "关闭串口");
}
const ShownText kWriteFailedText{
    "TMainForm",
    QT_TRANSLATE_NOOP("TMainForm",
                      "当前串口号操作错误 ！\r请选择其它串口，或检查串口是否已经无效。")};
const ShownText kPortHeldText{"TMainForm",
                              QT_TRANSLATE_NOOP("TMainForm", "下载正在使用 %1，请等下载结束")};
const ShownText kReadFailedText{
    "TMainForm", QT_TRANSLATE_NOOP("TMainForm", "串口读取失败（设备已拔出？），已关闭串口")};

} // namespace

// ---- sending ---------------------------------------------------------------------------

// Why the terminal may not open, close or reopen its port now, "" when it may: a running
// download holds the shared driver (whatever port it is on: opening it again would take the
// download's settings and its received bytes) or the STC programmer holds the terminal's port.
QString TMainForm::terminalPortHeld() const
{
    const HeldPort held = DownloadPort();
    if (held.name.isEmpty()) return {};
    const QString mine = ComboBox1->currentText();
    if (!held.shared && held.name != mine &&
        platform::resolvePortName(held.name) != platform::resolvePortName(mine))
        return {};
    return QString(kPortHeldText).arg(held.name);
}

void TMainForm::BitBtn3Click()
{
    if (const QString why = terminalPortHeld(); !why.isEmpty()) {
        SetStatus(why);
        return;
    }
    if (BitBtn3->text() == captionOpen()) {
        if (!ComPort_Open()) return;
        BitBtn3->setText(captionClose());
        CheckBox3Click();
        CheckBox4Click();
        CheckBox5Click();
        SentCount = 0;
        StatusBar1->setPanelText(1, QStringLiteral("S:0"));
    } else {
        BitBtn3->setText(captionOpen());
        ComPort_Close();
    }
}

void TMainForm::ComboBox1Change()
{
    ComboBox6->setCurrentIndex(ComboBox1->currentIndex());
    ComboBox7->setCurrentIndex(ComboBox2->currentIndex());
    if (ComPortActive) {
        if (const QString why = terminalPortHeld(); !why.isEmpty()) {
            SetStatus(why);
            return;
        }
        ComPort_Close();
        // A port that cannot be opened again stays closed, and the button must say so.
        if (!ComPort_Open()) BitBtn3->setText(captionOpen());
    }
}

void TMainForm::CheckBox3Click()
{
    if (ComPortActive) ComDriver->SetDTR(CheckBox3->isChecked());
}

void TMainForm::CheckBox4Click()
{
    if (ComPortActive) ComDriver->SetRTS(CheckBox4->isChecked());
}

void TMainForm::terminalWriteFailed()
{
    ComPort_Close();
    BitBtn3->setText(captionOpen());
    InfoBox(kWriteFailedText);
}

// The port failed under a read (its adapter was unplugged): it is closed as after a failed
// write, told in the status bar rather than a box, since nobody asked for anything.
void TMainForm::terminalReadFailed()
{
    // Under a download on the shared driver the download ends at once and says why.
    if (Stm32->running() || Lpc->running()) {
        SetStatus(kReadFailedText);
        endDownloadNow(texts::portVanished());
        return;
    }
    ComPort_Close();
    BitBtn3->setText(captionOpen());
    SetStatus(kReadFailedText);
}

void TMainForm::BitBtn4Click()
{
    if (!ComPortActive) return;
    if (CheckHexTXD->isChecked()) {
        SendHex(SendAreaText());
    } else {
        const QByteArray text = terminal::encodeGbk(SendAreaText());
        const QByteArray out = CheckBox7->isChecked() ? text + NewLine : text;
        if (ComDriver->SendString(out) == TVokCommDriver::kWriteFailed) terminalWriteFailed();
        SentCount += qint32(text.size());
        StatusBar1->setPanelText(1, QStringLiteral("S:%1").arg(SentCount));
    }
    if (CheckBox8->isChecked()) Memo2->clear();
}

void TMainForm::SendHex(const QString &text)
{
    const QByteArray bytes = terminal::sendHexBytes(text);
    // Input beyond one encoder block goes out in several writes; nothing is cut.
    for (const QByteArray &block : terminal::splitSendBlocks(bytes)) {
        if (ComDriver->SendData(block.constData(), qint32(block.size())) ==
            TVokCommDriver::kWriteFailed) {
            terminalWriteFailed();
            break;
        }
    }
    SentCount += qint32(bytes.size());
    StatusBar1->setPanelText(1, QStringLiteral("S:%1").arg(SentCount));
}

bool TMainForm::Memo2KeyDown(int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (CheckBox6->isChecked()) {
        if (const auto code = terminal::virtualKeyCode(qtKey, modifiers))
            ComDriver->SendString(QByteArray(1, char(*code)));
        if (CheckBox8->isChecked()) Memo2->clear();
    }
    return false; // the key still goes into the send area
}

void TMainForm::CheckBox5Click()
{
    const bool on = CheckBox5->isChecked();
    Edit1->setEnabled(!on);
    Label11->setEnabled(!on);
    if (!on) {
        Timer1->stop();
        return;
    }
    bool ok = false;
    const int interval = Edit1->text().toInt(&ok);
    if (!ok) {
        // Only a pasted text gets here; the conversion error goes to the default handler.
        Timer1->stop();
        ui::reportException(std::runtime_error(
            ui::toStd(QStringLiteral("'%1' is not a valid integer value").arg(Edit1->text()))));
        return;
    }
    // A zero interval never ticks. Short intervals need a precise timer: a coarse one may
    // fire up to 5 % late, which is whole milliseconds on each of many ticks.
    Timer1->setTimerType(interval < kPreciseTimerBelowMs ? Qt::PreciseTimer : Qt::CoarseTimer);
    if (interval > 0)
        Timer1->start(interval);
    else
        Timer1->stop();
}

void TMainForm::Timer1Timer()
{
    if (RzPageControl1->currentIndex() == kTerminalPage) BitBtn4Click();
}

void TMainForm::CheckHexTXDClick()
{
    CheckBox7->setEnabled(!CheckHexTXD->isChecked());
    CheckBox6->setEnabled(!CheckHexTXD->isChecked());
}

void TMainForm::BitBtn6Click()
{
    const QString path =
        ui::chooseFile({this, QString(), QStringLiteral("TXT (*.TXT *.txt);;ALL (*)"),
                        QStringLiteral("bin"), false});
    if (path.isEmpty()) return;
    const terminal::SendFileResult r = terminal::loadSendFile(path);
    if (!r.ok) {
        ui::reportException(std::runtime_error(ui::toStd(r.error)));
        return;
    }
    Memo2->setToolTip(path);
    Memo2->setPlainText(QString(r.text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TMainForm::BitBtn8Click()
{
    Memo2->clear();
    SentCount = 0;
    StatusBar1->setPanelText(1, QStringLiteral("S:0"));
}

// ---- receiving -------------------------------------------------------------------------

void TMainForm::ComDriverReceiveData(TVokCommDriver *, const quint8 *DataPtr, qint32 DataSize)
{
    if (RzPageControl1->currentIndex() != kTerminalPage || DataSize <= 0) return;
    // The boot loader's answers to a download on the shared driver are the programmer's.
    if (DownloadPort().shared) return;
    const QByteArrayView chunk(reinterpret_cast<const char *>(DataPtr), DataSize);
    const bool full = terminal::receiveLimitExceeded(ReceivedCount, DataSize);
    ReceivedBytes.append(chunk);
    ReceivedCount += DataSize;
    if (full) {
        BitBtn5Click();
        return;
    }

    // The area shows the whole store. When nothing else has written to it since the last
    // chunk, appending this chunk's text gives the same result as rebuilding it. Appends are
    // gathered and drawn together a few times a second: at 115200 baud a chunk comes every
    // 5 ms, and laying out the area for each would cost far more than the eye can see.
    if (!receiveArea_.shows(Memo1->document()->revision())) {
        StatusBar1->setPanelText(2, QStringLiteral("R:%1").arg(ReceivedCount));
        redrawReceiveArea();
        return;
    }
    receiveArea_.append(chunk);
    if (!receiveFlush_.isActive()) receiveFlush_.start();
}

void TMainForm::flushReceiveArea()
{
    StatusBar1->setPanelText(2, QStringLiteral("R:%1").arg(ReceivedCount));
    // Text gathered for the area is drawn only while the terminal owns it.
    if (RzPageControl1->currentIndex() != kTerminalPage) {
        releaseReceiveArea();
        return;
    }
    if (!receiveArea_.hasPending()) return;
    if (!receiveArea_.shows(Memo1->document()->revision())) {
        // Something else wrote to the area meanwhile: show the whole store again.
        redrawReceiveArea();
        return;
    }
    QTextCursor end(Memo1->document());
    end.movePosition(QTextCursor::End);
    end.insertText(receiveArea_.takePending());
    Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
    receiveArea_.drawn(Memo1->document()->revision());
}

// Another page takes the area: what was gathered is not drawn (the store keeps it), but the
// count of what came before the change is shown.
void TMainForm::releaseReceiveArea()
{
    StatusBar1->setPanelText(2, QStringLiteral("R:%1").arg(ReceivedCount));
    receiveFlush_.stop();
    receiveArea_.release();
}

void TMainForm::redrawReceiveArea()
{
    // The area shows another page's text: the terminal's is drawn when its page is back.
    if (RzPageControl1->currentIndex() != kTerminalPage) {
        releaseReceiveArea();
        return;
    }
    const auto mode =
        CheckHexRXD->isChecked() ? terminal::ReceiveMode::Hex : terminal::ReceiveMode::Text;
    receiveFlush_.stop();
    Memo1->setPlainText(receiveArea_.rebuild(ReceivedBytes, mode));
    Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
    receiveArea_.drawn(Memo1->document()->revision());
}

void TMainForm::CheckHexRXDClick()
{
    redrawReceiveArea();
}

void TMainForm::BitBtn5Click()
{
    ReceivedBytes.clear();
    receiveArea_.reset();
    receiveFlush_.stop();
    Memo1->clear();
    receiveArea_.drawn(Memo1->document()->revision());
    ReceivedCount = 0;
    StatusBar1->setPanelText(2, QStringLiteral("R:0"));
}

void TMainForm::BitBtn9Click()
{
    const QString path = ui::chooseFile(
        {this, QString(), QStringLiteral("Txt (*.Txt *.txt)"), QStringLiteral("Txt"), true});
    if (path.isEmpty()) return;
    // Exactly what the area shows, in the form shown: the text form of the store (with its
    // own line ends) when the area shows the store, else the area's text. Both forms are
    // written in the terminal's code page: a HEX view is plain ASCII, but the area may show a
    // page's own Chinese text instead.
    flushReceiveArea();
    QString shown;
    if (receiveArea_.shows(Memo1->document()->revision()))
        shown = terminal::receiveText(ReceivedBytes, CheckHexRXD->isChecked()
                                                         ? terminal::ReceiveMode::Hex
                                                         : terminal::ReceiveMode::Text);
    else
        shown = Memo1->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QFile f(path);
    const QByteArray bytes = terminal::encodeGbk(shown);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size() ||
        !f.flush())
        ui::reportException(std::runtime_error(
            ui::toStd(QStringLiteral("Cannot create file \"%1\". %2").arg(path, f.errorString()))));
}
