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
        tr("■ARM Cortex-M3 处理器【STM32F10xxExx 家族】"),
        tr("■STC 8051 微处理器   【STC89C51RC、STC89C52RC、STC89C55RD+、STC89C516RD+】"),
        QString(),
        tr("对于\"ARM7 32位处理器\"、\"ARM Cortex-M3 处理器\"、\"STC 8051 微处理器\" 三类中的"),
        tr("各个型号选择，在ISP下载时可以忽略型号，软件自动识别并控制相应的下载命令。"),
        QString(),
        tr("当前版本支持 Oscillator:"),
        tr("8.000M、11.0592M、12.00M、18.432M、22.1184M、24.00M、36.864M ！"),
    };
    return lines.join(QStringLiteral("\r\n"));
}

QString TMainForm::AboutText()
{
    return tr("您好！欢迎使用 Tramelo —— 单片机串口下载与调试工具。\r\n"
              "\r\n"
              "主要功能：\r\n"
              " 1. 串口ISP下载 STC 8051 单片机 (STC89C51RC/52RC/55RD+/516RD+)；\r\n"
              " 2. 串口ISP下载 NXP LPC2000 ARM7 (LPC2214/2292/2131/2132/2136/2138)；\r\n"
              " 3. 串口ISP下载 STM32F10x Cortex-M3 系列；\r\n"
              " 4. 自动识别芯片型号与晶振频率，型号可不选；\r\n"
              " 5. 支持 BIN 与 Intel HEX 目标文件；\r\n"
              " 6. 下载前可用 RTS/DTR 自动复位目标板；\r\n"
              " 7. 目标文件更新时自动重新下载；\r\n"
              " 8. 下载过程在状态栏、信息区与进度条上实时显示；\r\n"
              " 9. 串口调试：COM1 ~ COM8，110 ~ 115200 波特；\r\n"
              "10. 数据位 5~8、停止位 1/1.5/2、校验 None/Odd/Even/Mark/Space；\r\n"
              "11. 接收数据以文本或十六进制(HEX)显示；\r\n"
              "12. 以文本或十六进制(HEX)发送；\r\n"
              "13. 可选发送新行(回车换行)；\r\n"
              "14. 按键即发：于发送区按键即发送该键值；\r\n"
              "15. 定时发送，间隔 1 ~ 9999 ms；\r\n"
              "16. 读入文件到发送区，保存接收区到文件；\r\n"
              "17. 手动控制 DTR、RTS 信号线；\r\n"
              "18. 发送(S:)与接收(R:)字节计数；\r\n"
              "19. 关闭时保存设置，启动时自动载入；\r\n"
              "20. 中文显示不乱码。\r\n"
              "\r\n"
              "声明：本软件按“现状”提供，作者不对使用本软件造成的任何损失负责。\r\n"
              "欢迎提出意见和建议：author@orvel.example");
}

void TMainForm::FormCreate()
{
    ShowPortPicture(false);
    setWindowTitle(tr("Orvel-ISP V1.60  Orvel科技"));
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
    // Each page puts its own text into the area; the terminal redraws from its store with the
    // next chunk it receives on its page.
    releaseReceiveArea();
    switch (RzPageControl1->currentIndex()) {
    case kPageDownload:
        Memo1->setPlainText(SupportedDevicesText());
        break;
    case kPageTerminal:
        Memo1->setPlainText(tr("接收区\r\n%1").arg(kWebAddress));
        break;
    case kPageAbout:
        Memo1->setPlainText(Memo6->toPlainText());
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
    Memo1->appendPlainText(line);
    if (OnLine) OnLine(line);
}

void TMainForm::SetMessages(const QString &line)
{
    Memo1->setPlainText(line);
    if (OnLine) OnLine(line);
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

bool TMainForm::ComPort_Open()
{
    ComPortActive = ComDriver->Connected();
    ComDriver->setComPort(TComPortNumber(ComboBox1->currentIndex()));
    ComDriver->setComPortSpeed(TComPortBaudRate(ComboBox2->currentIndex()));
    ComDriver->setComPortDataBits(TComPortDataBits(ComboBox3->currentIndex()));
    ComDriver->setComPortStopBits(TComPortStopBits(ComboBox4->currentIndex()));
    ComDriver->setComPortParity(TComPortParity(ComboBox5->currentIndex()));
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
        InfoBox(texts::portOpenFailedFor(QStringLiteral("COM%1").arg(ComboBox1->currentIndex() + 1),
                                         reason));
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
