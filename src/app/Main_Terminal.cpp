// The serial terminal page: opening the shared port, sending (text, HEX, new line, on key
// press, timed) and receiving (text or HEX view of everything received, time stamps,
// counters), the log file, the plot, and reopening a port whose device vanished.
#include "app/Main.h"

#include "app/PlotWindow.h"

#include "app/Ui.h"
#include "engines/LpcEngine.h"
#include "engines/Stm32Engine.h"
#include "engines/Texts.h"
#include "logic/ShownText.h"
#include "platform/PortNames.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QFileInfo>
#include <QSpinBox>
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
#include <QToolButton>

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
const ShownText kVanishedText{
    "TMainForm", QT_TRANSLATE_NOOP("TMainForm", "串口设备已断开（已拔出？），等待它重新连接 …")};
const ShownText kReconnectedText{"TMainForm",
                                 QT_TRANSLATE_NOOP("TMainForm", "串口设备已重新连接：%1")};
const ShownText kLogStoppedText{"TMainForm",
                                QT_TRANSLATE_NOOP("TMainForm", "记录已停止：%1 (%2)")};
const ShownText kLogFailedText{"TMainForm",
                               QT_TRANSLATE_NOOP("TMainForm", "不能打开记录文件：%1 (%2)")};
const ShownText kLoggingText{"TMainForm", QT_TRANSLATE_NOOP("TMainForm", "记录到文件：%1")};
// A vanished device is looked for this often; it is reopened within this time of its return.
constexpr int kReconnectMs = 200;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

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
        reconnectPath_ = ComDriver->devicePath();
        reconnectById_ = terminal::byIdName(reconnectPath_);
        BitBtn3->setText(captionClose());
        CheckBox3Click();
        CheckBox4Click();
        CheckBox5Click();
        SentCount = 0;
        StatusBar1->setPanelText(1, QStringLiteral("S:0"));
    } else {
        // Closing by hand ends the wait for a vanished device, and the log.
        reconnect_.stop();
        BitBtn3->setText(captionOpen());
        ComPort_Close();
        stopLog(QString());
    }
}

void TMainForm::ComboBox1Change()
{
    ComboBox6->setCurrentIndex(ComboBox1->currentIndex());
    ComboBox7->setCurrentIndex(ComboBox2->currentIndex());
    if (reconnect_.isActive()) {
        // Waiting for a vanished device: another port chosen is the one waited for now.
        reconnectPath_ = platform::resolvePortName(ComboBox1->currentText());
        reconnectById_ = terminal::byIdName(reconnectPath_);
    }
    if (ComPortActive) {
        if (const QString why = terminalPortHeld(); !why.isEmpty()) {
            SetStatus(why);
            return;
        }
        ComPort_Close();
        // A port that cannot be opened again stays closed, and the button must say so.
        if (!ComPort_Open()) {
            BitBtn3->setText(captionOpen());
            return;
        }
        reconnectPath_ = ComDriver->devicePath();
        reconnectById_ = terminal::byIdName(reconnectPath_);
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

// The port failed under a read: its device vanished (an adapter unplugged, a board that
// re-enumerates). The page keeps what it shows and its button, says so, and reopens the same
// device with the same line settings when it is back, until the user closes the port.
void TMainForm::terminalReadFailed()
{
    // Under a download on the shared driver the download ends at once and says why.
    if (Stm32->running() || Lpc->running()) {
        SetStatus(kReadFailedText);
        endDownloadNow(texts::portVanished());
        return;
    }
    ComPort_Close();
    // Under a download on the shared driver the port was the download's: it stays closed.
    if (DownloadPort().shared || BitBtn3->text() != captionClose()) {
        BitBtn3->setText(captionOpen());
        SetStatus(kReadFailedText);
        return;
    }
    SetStatus(kVanishedText);
    reconnect_.start(kReconnectMs);
}

// Opens the terminal's port with its own line settings, quietly: a device that is not back
// yet is tried again at the next tick.
bool TMainForm::terminalReopen()
{
    ComDriver->setComPort(TComPortNumber(ComboBox1->currentIndex()));
    ComDriver->setComPortSpeed(TComPortBaudRate(ComboBox2->currentIndex()));
    ComDriver->setComPortDataBits(TComPortDataBits(ComboBox3->currentIndex()));
    ComDriver->setComPortStopBits(TComPortStopBits(ComboBox4->currentIndex()));
    ComDriver->setComPortParity(TComPortParity(ComboBox5->currentIndex()));
    ComDriver->BufferedCount = 0;
    if (!ComDriver->Connect()) return false;
    ComPortActive = true;
    ShowPortPicture(true);
    return true;
}

void TMainForm::reconnectTick()
{
    // A download on this port (or on the shared driver) goes first; the port's rules for
    // downloads are its own.
    if (!terminalPortHeld().isEmpty() || ComDriver->Connected()) return;
    // The same device: under its by-id name when it has one (an adapter may come back as
    // another ttyUSBn), else under the same path.
    const QString comName = ComboBox1->currentText();
    QString device = reconnectById_.isEmpty() ? reconnectPath_ : reconnectById_;
    if (device.isEmpty()) device = platform::resolvePortName(comName);
    if (device.isEmpty() || !QFileInfo::exists(device)) return;
    const bool other = QFileInfo(platform::resolvePortName(comName)).canonicalFilePath() !=
                       QFileInfo(device).canonicalFilePath();
    if (other) platform::setPortAlias(comName, device);
    const bool opened = terminalReopen();
    if (other) platform::setPortAlias(comName, QString());
    if (!opened) return;
    reconnect_.stop();
    CheckBox3Click();
    CheckBox4Click();
    SetStatus(QString(kReconnectedText).arg(device));
}

void TMainForm::terminalSent(const QByteArray &bytes, qsizetype count)
{
    SentCount += qint32(count);
    StatusBar1->setPanelText(1, QStringLiteral("S:%1").arg(SentCount));
    if (log_.running() && LogSent->isChecked() && logForm_)
        log_.write(logForm_->sent(bytes, nowMs()));
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
        terminalSent(out, text.size());
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
    terminalSent(bytes, bytes.size());
}

// Send on key press sends what the key types (a terminal's keyboard), not the key's code:
// the characters in GBK, Enter as the chosen line ending, Backspace 0x08 and Tab 0x09, and
// nothing for a key that types nothing. Every byte sent is counted. While it is on, Tab is a
// character to send; Ctrl+Tab (Ctrl+Shift+Tab) moves the focus instead.
bool TMainForm::Memo2KeyDown(int qtKey, Qt::KeyboardModifiers modifiers, const QString &text)
{
    if (!CheckBox6->isChecked()) return false;
    const bool tab = qtKey == Qt::Key_Tab || qtKey == Qt::Key_Backtab;
    if (tab && modifiers.testFlag(Qt::ControlModifier)) {
        focusNextPrevChild(!modifiers.testFlag(Qt::ShiftModifier) && qtKey != Qt::Key_Backtab);
        return true;
    }
    const QByteArray bytes =
        terminal::keyPressBytes(qtKey, text, terminal::lineEndAt(LineEndList->currentIndex()));
    if (!bytes.isEmpty() && ComPortActive) {
        ComDriver->SendString(bytes);
        terminalSent(bytes, bytes.size());
    }
    if (!bytes.isEmpty() && CheckBox8->isChecked()) Memo2->clear();
    if (tab) {
        Memo2->insertPlainText(QStringLiteral("\t"));
        return true; // not a move of the focus
    }
    return false; // the key still goes into the send area
}

void TMainForm::LineEndListChange()
{
    NewLine = terminal::lineEndBytes(terminal::lineEndAt(LineEndList->currentIndex()));
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
    // The time a chunk is taken from the port is its bytes' arrival: the driver reads as
    // they come (every 5 ms while a stream runs).
    const qint64 ms = nowMs();
    if (log_.running() && logForm_) log_.write(logForm_->received(chunk, ms));
    if (PlotWindow && PlotWindow->isVisible()) PlotWindow->feed(chunk, ms);
    const bool full = terminal::receiveLimitExceeded(ReceivedCount, DataSize);
    ReceivedBytes.append(chunk);
    ReceivedCount += DataSize;
    arrivals_.append({ReceivedBytes.size(), ms});
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
    receiveArea_.append(chunk, ms);
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
    Memo1->setPlainText(receiveArea_.rebuild(ReceivedBytes, arrivals_, mode));
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
    arrivals_.clear();
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
    if (receiveArea_.shows(Memo1->document()->revision()) && receiveArea_.stamps().on)
        // With time stamps the file holds the lines as shown, stamps included.
        shown = Memo1->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    else if (receiveArea_.shows(Memo1->document()->revision()))
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

// ---- time stamps, the log, the plot ----------------------------------------------------

void TMainForm::CheckStampsClick()
{
    receiveArea_.setStamps({CheckStamps->isChecked(), StampGap->value()});
    StampGap->setEnabled(CheckStamps->isChecked());
    if (RzPageControl1->currentIndex() == kTerminalPage &&
        receiveArea_.shows(Memo1->document()->revision()))
        redrawReceiveArea();
}

void TMainForm::LogToFileClick(bool on)
{
    if (!on) {
        stopLog(QString());
        return;
    }
    const QString path = ui::chooseFile({this, QString(),
                                         QStringLiteral("Log (*.log *.txt);;ALL (*)"),
                                         QStringLiteral("log"), true});
    log_.onFailed = [this](const QString &reason) {
        QMetaObject::invokeMethod(this, [this, reason] { stopLog(reason); }, Qt::QueuedConnection);
    };
    QString error;
    if (path.isEmpty() || !log_.start(path, &error)) {
        if (!path.isEmpty()) SetStatus(QString(kLogFailedText).arg(path, error));
        const QSignalBlocker quiet(LogToFile);
        LogToFile->setChecked(false);
        return;
    }
    // The log takes the form the view has now: stamped when time stamps are on.
    logForm_ = std::make_unique<terminal::LogForm>(
        CheckStamps->isChecked(),
        CheckHexRXD->isChecked() ? terminal::ReceiveMode::Hex : terminal::ReceiveMode::Text,
        StampGap->value());
    LogButton->setToolTip(QString(kLoggingText).arg(path));
    SetStatus(QString(kLoggingText).arg(path));
}

// Stops the log; a reason (a failure) is told in the status bar.
void TMainForm::stopLog(const QString &why)
{
    if (!log_.running()) return;
    const QString path = log_.path();
    log_.stop();
    logForm_.reset();
    const QSignalBlocker quiet(LogToFile);
    LogToFile->setChecked(false);
    LogButton->setToolTip(LogToFile->text());
    if (!why.isEmpty()) SetStatus(QString(kLogStoppedText).arg(path, why));
}

void TMainForm::PlotButtonClick()
{
    if (!PlotWindow) {
        PlotWindow = new TPlotWindow(this);
        PlotWindow->setWindowSeconds(plotSeconds_);
    }
    PlotWindow->show();
    PlotWindow->raise();
    PlotWindow->activateWindow();
}
