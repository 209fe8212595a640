// Start-up, tabs, clock, links, numeric fields and the two operations through which the
// shared serial port opens and closes.
#include "app/Main.h"

#include "app/Pictures.h"
#include "engines/LpcEngine.h"
#include "engines/StcEngine.h"
#include "engines/StcSeriesEngine.h"
#include "engines/Stm32Engine.h"
#include "engines/Texts.h"
#include "app/Ui.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QSaveFile>
#include <QTextCursor>
#include <QTextDocument>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QIcon>
#include <QPalette>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTime>
#include <QToolTip>

namespace {
const QString kWebAddress = QStringLiteral("http://www.orvel.example");
const QString kForumAddress = QStringLiteral("http://bbs.orvel.example");
const QString kMailAddress = QStringLiteral("author@orvel.example");
constexpr int kPageDownload = 0;
constexpr int kPageTerminal = 1;
constexpr int kPageAbout = 2;
constexpr int kPageForum = 3;
constexpr QColor kTooltipColour(11, 255, 11);

// The application's icon and tooltip colour, set when the window first shows, for every way
// of starting it (the program, its demonstration, the tests); a window that is never shown
// (the command line's) draws no icon.
void applyApplicationLook()
{
    if (QApplication::windowIcon().isNull()) {
        QIcon icon;
        for (const int size : {16, 32, 48, 64, 128})
            icon.addPixmap(QPixmap::fromImage(pictures::appIcon(size)));
        QApplication::setWindowIcon(icon);
    }
    QPalette tips = QToolTip::palette();
    tips.setColor(QPalette::ToolTipBase, kTooltipColour);
    QToolTip::setPalette(tips);
}
} // namespace

TMainForm::TMainForm(bool useSettingsStore, QWidget *parent)
    : QMainWindow(parent), useSettingsStore_(useSettingsStore)
{
    buildLayout();
    createEngines();
    wireEvents();
    FormCreate();
    // Installed before any download can start: the STC thread decodes with it only once a
    // press of the button has queued a start there.
    if (const QString installError = StcEngine::installDecoder(); !installError.isEmpty())
        SetStatus(installError);
    TimerSec->start();
}

TMainForm::~TMainForm()
{
    // The engines go before the window's driver; the STC ones with their thread.
    endStcThread();
    delete Lpc;
    delete Stm32;
}

QString TMainForm::SupportedDevicesText()
{
    const QStringList lines = {
        tr("目前版本支持MCU设备:"),
        QString(),
        tr("■ARM7 32位处理器     【LPC2214、LPC2292、LPC2131、LPC2132、LPC2136、LPC2138】"),
        tr("■ARM Cortex-M 处理器 【STM32 F0、F1、F2、F3、F4、F7、G0、G4、L0、L1、L4、L5、U5、H7、C0、WB、WL】"),
        tr("■STC 8051 微处理器   【STC89C51RC、STC89C52RC、STC89C55RD+、STC89C516RD+】"),
        tr("■STC 8051 增强型     【STC10/11/12、STC15、STC8 系列，型号由芯片自报】"),
        QString(),
        tr("以上各类中的型号选择，在ISP下载时可以忽略型号，软件自动识别并控制相应的下载命令。"),
        tr("STC15、STC8 的内部 RC 时钟按\"时钟\"栏的频率校准；STC12/15/8 的选项在下方选择。"),
        QString(),
        tr("STC89 支持的 Oscillator:"),
        tr("8.000M、11.0592M、12.00M、18.432M、22.1184M、24.00M、36.864M ！"),
    };
    return lines.join(QStringLiteral("\r\n"));
}

QString TMainForm::AboutText()
{
    return tr("您好！欢迎使用 Tramelo —— 单片机串口下载与调试工具。\r\n"
              "\r\n"
              "主要功能：\r\n"
              " 1. 串口ISP下载 STC 8051 单片机：STC89C51RC/52RC/55RD+/516RD+，\r\n"
              "    STC10/11/12、STC15、STC8 系列 (任意型号，由芯片自报)；\r\n"
              " 2. 串口ISP下载 NXP LPC2000 ARM7 (LPC2214/2292/2131/2132/2136/2138)；\r\n"
              " 3. 串口ISP下载 STM32 (F0/F1/F2/F3/F4/F7、G0/G4、L0/L1/L4/L5、U5、H7、C0、WB/WL 的 USART 引导程序)；\r\n"
              " 4. 自动识别芯片型号与晶振频率，型号可不选；STC15/STC8 校准内部 RC 时钟；\r\n"
              " 5. 支持 BIN 与 Intel HEX 目标文件，下载前先检查文件；\r\n"
              " 6. 下载前可用 RTS/DTR 自动复位目标板；STM32 可写后读回校验；\r\n"
              " 7. 目标文件更新时自动重新下载，失败时窗口自动弹出；\r\n"
              " 8. 下载过程在状态栏、信息区与进度条 (百分比与用时) 上实时显示，可随时停止；\r\n"
              " 9. 下载信息可保存为文件 (右键菜单)；\r\n"
              "10. 串口调试：COM1 ~ COM8 (显示对应的设备)，110 ~ 115200 波特；\r\n"
              "11. 数据位 5~8、停止位 1/1.5/2、校验 None/Odd/Even/Mark/Space；\r\n"
              "12. 接收数据以文本或十六进制(HEX)显示；\r\n"
              "13. 以文本或十六进制(HEX)发送；\r\n"
              "14. 可选发送新行(回车换行)；\r\n"
              "15. 按键即发：于发送区按键即发送该字符；\r\n"
              "16. 定时发送，间隔 1 ~ 9999 ms；\r\n"
              "17. 读入文件到发送区，保存接收区到文件；\r\n"
              "18. 手动控制 DTR、RTS 信号线；发送(S:)与接收(R:)字节计数；\r\n"
              "19. 关闭时保存设置与窗口大小，启动时自动载入；\r\n"
              "20. 中文显示不乱码；命令行 (tramelo download/read/ports/simulate) 与虚拟目标板。\r\n"
              "\r\n"
              "声明：本软件按“现状”提供，作者不对使用本软件造成的任何损失负责。\r\n"
              "欢迎提出意见和建议：author@orvel.example");
}

void TMainForm::FormCreate()
{
    ShowPortPicture(false);
    baseTitle_ = tr("Orvel-ISP V1.60  Orvel科技");
    setWindowTitle(baseTitle_);
    RzMarqueeStatus1->setText(
        tr("Orvel科技 —— 专注单片机开发工具：ISP下载、串口调试，一个工具全部搞定！   "
           "欢迎访问 www.orvel.example"));
    ReceivedBytes.clear();

    if (useSettingsStore_ && !readSettings()) {
        ui::message({this, tr("注册软件"), tr("未知的原因，创建注册信息失败！"),
                     ui::Icon::Exclamation, true});
        return;
    }

    SetStatus(tr("就绪"));
    ComboBox6->setCurrentIndex(ComboBox1->currentIndex());
    ComboBox7->setCurrentIndex(ComboBox2->currentIndex());
    MCUTypeChange();
    if (CheckBox1->isChecked()) {
        AutoIspTimer->start();
        LastFileTime =
            QFileInfo::exists(Edit2->text()) ? FormattedFileTime(Edit2->text()) : QString();
    }
}

void TMainForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        applyApplicationLook();
        if (const QScreen *s = screen()) move(s->availableGeometry().center() - rect().center());
        FormShow();
    }
}

void TMainForm::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // The last result in the caption is for the minimised window only.
    if (event->type() == QEvent::WindowStateChange && !isMinimized() && !baseTitle_.isEmpty())
        setWindowTitle(baseTitle_);
}

void TMainForm::FormShow()
{
    RzPageControl1Change();
}

void TMainForm::closeEvent(QCloseEvent *event)
{
    // Closing in the middle of a download leaves the chip partly written: asked first, and the
    // download goes on (the question runs no event loop under it) unless the user confirms.
    // Confirmed, it ends as an end signal ends it on the command line: the programmers' ports
    // are given back (line settings restored, exclusive use and lock released) before the
    // window goes.
    if (!closed_ && !endConfirmed_ && DownloadRunning()) {
        event->ignore();
        if (askingToEnd_) return;
        askingToEnd_ = true;
        ui::ask({this, QStringLiteral("Tramelo"),
                 tr("正在下载，关闭窗口将中止下载，芯片中的程序将不完整。\r确定要关闭吗？"),
                 ui::Icon::Exclamation, false},
                [this](bool yes) {
                    askingToEnd_ = false;
                    if (!yes) return;
                    endConfirmed_ = true;
                    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
                });
        return;
    }
    if (!closed_ && endConfirmed_) {
        for (Engine *e : std::initializer_list<Engine *>{Stm32, Lpc})
            if (e && e->running()) e->cancel();
        for (Engine *e : std::initializer_list<Engine *>{Stc, StcSeries})
            if (engineRunning(e)) cancelOnStcThread(e);
        ComPort_Close();
    }
    if (!closed_) {
        closed_ = true;
        // A write error goes to the default error handler; the window closes all the same.
        try {
            FormClose();
        } catch (const std::exception &e) {
            ui::reportException(e);
        }
    }
    event->accept();
}

void TMainForm::FormClose()
{
    cancelOnStcThread(Stc);
    cancelOnStcThread(StcSeries);
    if (useSettingsStore_) writeSettings();
}

void TMainForm::RzPageControl1Change()
{
    // The terminal redraws from its store with the next chunk it receives on its page.
    releaseReceiveArea();
    // The help picture belongs to the terminal page; the page shown gets the area back.
    Image3Click();
    // Each page keeps its own text (the download log goes on filling while another page is
    // shown): the area shows that page's document.
    const auto show = [this](QTextDocument *doc) {
        if (Memo1->document() == doc) return;
        Memo1->setDocument(doc);
        Memo1->moveCursor(QTextCursor::End);
        Memo1->ensureCursorVisible();
    };
    switch (RzPageControl1->currentIndex()) {
    case kPageDownload:
        show(downloadDoc_);
        break;
    case kPageTerminal:
        show(terminalDoc_);
        break;
    case kPageAbout:
        show(aboutDoc_);
        break;
    case kPageForum:
        RzPageControl1->setCurrentIndex(kPageDownload);
        ui::openUrl(kForumAddress);
        break;
    default:
        break;
    }
}

void TMainForm::TimerSecTimer()
{
    StatusBar1->setPanelText(3, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
    if (DownloadRunning()) updateProgressText();
    // The image size shown is dropped once the file differs from the version the last
    // download read (a running download shows the size of the version it reads).
    if (BitBtn1->isEnabled() && !Label10->text().isEmpty() &&
        FormattedFileTime(Edit2->text()) != imageSizeStamp_)
        Label10->clear();
    CheckFileChanged();
}

void TMainForm::Edit3Change()
{
    Edit1Change(Edit3);
}

void TMainForm::Edit1Change(TNumberEdit *field)
{
    if (field->text().isEmpty()) field->setText(QStringLiteral("1"));
    if (field->text() == QStringLiteral("0")) field->setText(QStringLiteral("1"));
}

void TMainForm::StatusBar1Click()
{
    ui::openUrl(QStringLiteral("mailto:%1?&cc=&bcc=&subject=%2&body=%3")
                    .arg(kMailAddress, tr("欢迎使用 Tramelo"), tr("测试报告:")) +
                QStringLiteral("%0d"));
    Image4Click();
}

void TMainForm::Image4Click()
{
    ui::openUrl(kWebAddress);
}

void TMainForm::RzMarqueeStatus1Click()
{
    RzMarqueeStatus1->toggleColour();
}

void TMainForm::BitBtn10Click()
{
    if (Panel1->isHidden()) {
        Panel1->show();
        Memo1->hide();
    } else {
        Panel1->hide();
        Memo1->show();
    }
}

void TMainForm::Image3Click()
{
    Panel1->hide();
    Memo1->show();
}

void TMainForm::InfoBox(const QString &text)
{
    ui::message({this, QStringLiteral("Tramelo"), text, ui::Icon::Information, false});
}

void TMainForm::AppendLine(const QString &line)
{
    // The download log is written whatever page is shown; shown, it scrolls to the new line.
    if (Memo1->document() == downloadDoc_) {
        Memo1->appendPlainText(line);
    } else {
        QTextCursor end(downloadDoc_);
        end.movePosition(QTextCursor::End);
        if (!downloadDoc_->isEmpty()) end.insertBlock();
        end.insertText(line);
    }
    if (OnLine) OnLine(line);
}

void TMainForm::SetMessages(const QString &line)
{
    downloadDoc_->setPlainText(line);
    if (OnLine) OnLine(line);
}

QString TMainForm::LogText() const
{
    return downloadDoc_->toPlainText();
}

void TMainForm::Memo1ContextMenu(const QPoint &at)
{
    std::unique_ptr<QMenu> menu(Memo1->createStandardContextMenu(at));
    // The download log can be kept and emptied; the other pages' texts have their own buttons.
    if (Memo1->document() == downloadDoc_) {
        menu->addSeparator();
        QAction *save = menu->addAction(tr("保存日志(&S)…"), this, &TMainForm::SaveLog);
        save->setObjectName(QStringLiteral("SaveLogAction"));
        QAction *clear = menu->addAction(tr("清空日志(&C)"), this, &TMainForm::ClearLog);
        clear->setObjectName(QStringLiteral("ClearLogAction"));
        save->setEnabled(!downloadDoc_->isEmpty());
        clear->setEnabled(!downloadDoc_->isEmpty());
    }
    menu->exec(Memo1->viewport()->mapToGlobal(at));
}

void TMainForm::SaveLog()
{
    const QString path = ui::chooseFile(
        {this, QDir::home().filePath(QStringLiteral("tramelo-log.txt")),
         QStringLiteral("Txt (*.txt);;%1 (*)").arg(tr("所有文件")), QStringLiteral("txt"), true});
    if (path.isEmpty()) return;
    // UTF-8 with the lines ended as the message area's own text is (CR LF).
    const QByteArray bytes =
        LogText().replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toUtf8() + "\r\n";
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit())
        ui::reportException(std::runtime_error(
            ui::toStd(QStringLiteral("Cannot create file \"%1\". %2").arg(path, f.errorString()))));
}

void TMainForm::ClearLog()
{
    downloadDoc_->clear();
}

void TMainForm::SetStatus(const QString &text)
{
    StatusBar1->setPanelText(0, text);
    if (OnStatusText) OnStatusText(text);
}

void TMainForm::DownloadEnded(DownloadResult result)
{
    // The version of the file this download read (the image size shown, if any, is its).
    imageSizeStamp_ = LastFileTime;
    // An automatic download runs while the window is minimised: a failure brings it back with
    // its message, and the caption of the minimised window says how the last one ended.
    if (std::exchange(autoStarted_, false) && shown_ && !closed_) {
        if (result != DownloadResult::Written) {
            if (isMinimized()) showNormal();
            raise();
            activateWindow();
        }
        if (isMinimized())
            setWindowTitle(
                QStringLiteral("%1 %2 - %3")
                    .arg(result == DownloadResult::Written ? tr("下载成功") : tr("下载失败"),
                         QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), baseTitle_));
        else
            setWindowTitle(baseTitle_);
    }
    if (OnDownloadEnded) OnDownloadEnded(result);
    // A file that changed during the download is downloaded next, once it has settled (not
    // by a window that is closing).
    if (!closed_) CheckFileChanged();
}

QString TMainForm::SendAreaText() const
{
    return Memo2->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
}

void TMainForm::SetStayOnTop(bool on)
{
    if (StayOnTop() == on) return;
    const bool visible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, on);
    if (visible) show();
}

bool TMainForm::StayOnTop() const
{
    return windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

void TMainForm::MinimiseApplication()
{
    if (isVisible()) showMinimized();
}

void TMainForm::ShowPortPicture(bool open)
{
    BitBtn3->setIcon(open ? Image2 : Image1);
}

TMainForm::LineSettings TMainForm::TerminalLine() const
{
    return {ComboBox1->currentIndex(), ComboBox2->currentIndex(), ComboBox3->currentIndex(),
            ComboBox4->currentIndex(), ComboBox5->currentIndex()};
}

bool TMainForm::ComPort_Open()
{
    return OpenSharedPort(TerminalLine());
}

bool TMainForm::OpenSharedPort(const LineSettings &line)
{
    ComPortActive = ComDriver->Connected();
    ComDriver->setComPort(TComPortNumber(line.port));
    ComDriver->setComPortSpeed(TComPortBaudRate(line.baud));
    ComDriver->setComPortDataBits(TComPortDataBits(line.data));
    ComDriver->setComPortStopBits(TComPortStopBits(line.stop));
    ComDriver->setComPortParity(TComPortParity(line.parity));
    ComDriver->BufferedCount = 0;
    if (!ComDriver->Connect()) {
        const QString reason = ComDriver->lastError();
        // The reason stays on show after the box is gone: in the download log, or on the
        // terminal page (where the area holds received data, saved as such) in the status bar.
        if (!reason.isEmpty()) {
            if (RzPageControl1->currentIndex() == kPageTerminal)
                SetStatus(texts::portOpenFailedLine(reason));
            else
                AppendLine(texts::portOpenFailedLine(reason));
        }
        InfoBox(texts::portOpenFailedFor(QStringLiteral("COM%1").arg(line.port + 1), reason));
        return false;
    }
    ComPortActive = true;
    ShowPortPicture(true);
    return true;
}

bool TMainForm::ComPort_Close()
{
    ShowPortPicture(false);
    repaint();
    if (ComPortActive) {
        ComPortActive = false;
        ComDriver->Disconnect();
    }
    return true;
}

ApplicationWindows CreateApplicationWindows(bool useSettingsStore)
{
    ApplicationWindows w;
    w.main = std::make_unique<TMainForm>(useSettingsStore);
    w.lpc = w.main->Lpc;
    w.stc = w.main->Stc;
    return w;
}
