// TMainForm: the program's one visible window.
//
// It holds the message/receive area, the four tab pages (download, terminal, about, forum),
// the status bar, the settings store and the shared polling driver ComDriver. It is the view
// of the programmers (src/engines): it gathers the download choices from its controls, starts
// the family's engine and shows what the engine reports. Its handlers are spread over files
// named for what they hold:
//   Main.cpp           start-up, tabs, clock, links, numeric fields, ComPort_Open/Close
//   Main_Layout.cpp    the controls and their places; every connect() of the window
//   Main_Settings.cpp  reading and writing the settings store
//   Main_Download.cpp  the download page, the engines it drives, the automatic re-download
//   Main_Terminal.cpp  the serial terminal (sending and receiving)
#pragma once

#include "app/EntryDialog.h"
#include "engines/Download.h"
#include "logic/Terminal.h"
#include "logic/TerminalLog.h"
#include "serial/Vok_ComDrv.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPixmap>
#include <QTimer>
#include <array>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QSpinBox;
class QToolButton;
class TPlotWindow;

class QFileSystemWatcher;
class QMimeData;
class QDropEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QPlainTextEdit;
class QProgressBar;
class QTextDocument;
class QPushButton;
class QTabWidget;
class QThread;
class QWidget;
class Engine;
class LpcEngine;
class StcEngine;
class StcSeriesEngine;
class Stm32Engine;

// A label that reports clicks (the logo, the help picture).
class TClickLabel : public QLabel
{
public:
    using QLabel::QLabel;
    std::function<void()> OnClick;

protected:
    void mousePressEvent(QMouseEvent *event) override;
};

// The scrolling text strip along the bottom of the download page.
class TMarquee : public QWidget
{
public:
    explicit TMarquee(QWidget *parent);
    void setText(const QString &text);
    QString text() const { return text_; }
    void toggleColour();
    std::function<void()> OnClick;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    // The strip scrolls only while it can be seen.
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QString text_;
    int offset_ = 0;
    bool menuColour_ = false;
    QTimer step_;
};

// Status bar with fixed-width panels.
class TStatusBar : public QWidget
{
public:
    explicit TStatusBar(QWidget *parent);
    void setPanelText(int index, const QString &text);
    QString panelText(int index) const;
    std::function<void()> OnClick;

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    std::array<QLabel *, 4> panels_{};
    std::array<QString, 4> texts_; // the whole texts (a panel may show one cut short)
};

// A numeric entry field: typed characters other than digits are refused.
class TNumberEdit;

class TMainForm : public QMainWindow
{
    // For tr(): the window's texts are translated in the context "TMainForm".
    Q_OBJECT

public:
    // useSettingsStore = false: the command line's window, which neither reads nor writes
    // the settings store.
    explicit TMainForm(bool useSettingsStore = true, QWidget *parent = nullptr);
    ~TMainForm() override;

    // The programmers, one engine per family. STM32 and LPC run over ComDriver on this
    // window's thread; the STC ones (STC89; STC12, STC15 and STC8) open ports of their own and
    // run on a thread of their own (their downloads wait and sleep in their start()), which
    // the window ends, and the engines with it, when it goes.
    Stm32Engine *Stm32 = nullptr;
    LpcEngine *Lpc = nullptr;
    StcEngine *Stc = nullptr;
    StcSeriesEngine *StcSeries = nullptr;
    // A download runs, on the port named by DownloadPortName (the terminal must leave it).
    bool DownloadRunning() const;
    QString DownloadPortName() const { return downloadPort_; }

    // ---- shared services -------------------------------------------------------------
    // The line settings of the shared driver, as indices of the lists (the driver's values).
    struct LineSettings
    {
        int port = 0, baud = 0, data = 0, stop = 0, parity = 0;
    };
    // The terminal's choices; a download's (the download page's port and rate, and what its
    // family needs), which are set on the port only and never written back into the lists.
    LineSettings TerminalLine() const;
    LineSettings DownloadLine(int device) const;
    bool OpenSharedPort(const LineSettings &line);
    // Opens the shared driver with the terminal's settings.
    bool ComPort_Open();
    bool ComPort_Close();
    // Appends one line to the message area.
    void AppendLine(const QString &line);
    void SetStatus(const QString &text);
    QString Status() const { return StatusBar1->panelText(0); }
    // Form style: stay on top of other windows or not.
    void SetStayOnTop(bool on);
    bool StayOnTop() const;
    // Minimises the application (all its windows).
    void MinimiseApplication();
    // The port button's picture: port closed (Image1) or open (Image2).
    void ShowPortPicture(bool open);
    // Message box captioned "Tramelo" with the information icon, owned by this window.
    void InfoBox(const QString &text);

    // ---- window state ----------------------------------------------------------------
    bool ComPortActive = false;
    qint32 SentCount = 0;
    qint32 ReceivedCount = 0;
    QByteArray ReceivedBytes;
    QString LastFileTime;
    QByteArray NewLine = QByteArrayLiteral("\r\n");

    // ---- controls --------------------------------------------------------------------
    QPlainTextEdit *Memo1 = nullptr;
    TClickLabel *Panel1 = nullptr; // help picture of the 9-pin connector
    QTabWidget *RzPageControl1 = nullptr;
    TStatusBar *StatusBar1 = nullptr;
    TClickLabel *Image5 = nullptr; // logo
    QPixmap Image1, Image2;        // port closed / open

    // download page
    QComboBox *ComboBox6 = nullptr, *ComboBox7 = nullptr, *MCUType = nullptr;
    TNumberEdit *Edit3 = nullptr, *Edit4 = nullptr;
    QLineEdit *Edit2 = nullptr;
    // Beside the file field while a binary file is chosen: the address (hex) the binary goes
    // to, as the command line's --address; empty: the start of flash.
    QLineEdit *AddressEdit = nullptr;
    // STC15, STC8: the clock (MHz) the RC oscillator is trimmed to; empty keeps the chip's.
    QLineEdit *ClockEdit = nullptr;
    QLineEdit *CrystalEdit = nullptr; // LPC: the oscillator in kHz, in ClockEdit's place
    QPushButton *BitBtn1 = nullptr, *BitBtn2 = nullptr, *BitBtn7 = nullptr;
    QCheckBox *CheckBox1 = nullptr, *CheckBox2 = nullptr;
    QCheckBox *CheckBox9 = nullptr;               // verify the STM32 flash after writing (校验)
    QLabel *Label10 = nullptr, *Label4 = nullptr; // Label4: reset time label
    QProgressBar *ProgressBar1 = nullptr;
    QLabel *ProgressText = nullptr;   // percentage and elapsed time of the download
    QPushButton *StopButton = nullptr; // 停止: ends a running download
    // STC12, STC15, STC8: the option bytes a user may change; partly checked leaves the
    // chip's own value.
    QCheckBox *OptionEeprom = nullptr, *OptionResetPin = nullptr, *OptionLowVoltage = nullptr;
    TMarquee *RzMarqueeStatus1 = nullptr;

    // terminal page
    QComboBox *ComboBox1 = nullptr, *ComboBox2 = nullptr, *ComboBox3 = nullptr,
              *ComboBox4 = nullptr, *ComboBox5 = nullptr;
    QPushButton *BitBtn3 = nullptr, *BitBtn4 = nullptr, *BitBtn5 = nullptr, *BitBtn6 = nullptr,
                *BitBtn8 = nullptr, *BitBtn9 = nullptr, *BitBtn10 = nullptr;
    QCheckBox *CheckBox3 = nullptr, *CheckBox4 = nullptr, *CheckBox5 = nullptr,
              *CheckBox6 = nullptr, *CheckBox7 = nullptr, *CheckBox8 = nullptr,
              *CheckHexTXD = nullptr, *CheckHexRXD = nullptr;
    QPlainTextEdit *Memo2 = nullptr;
    TNumberEdit *Edit1 = nullptr;
    QLabel *Label11 = nullptr; // "ms/次"
    QComboBox *LineEndList = nullptr; // CR, LF, CR LF: the line ending every send adds
    QCheckBox *CheckStamps = nullptr; // 时间戳
    QSpinBox *StampGap = nullptr;     // HEX view: ms of silence that start a new stamped line
    QToolButton *LogButton = nullptr; // 记录: to a file, with the sent bytes or without
    QAction *LogToFile = nullptr, *LogSent = nullptr;
    QPushButton *PlotButton = nullptr; // 曲线图
    TPlotWindow *PlotWindow = nullptr; // made when first asked for

    // about page
    QPlainTextEdit *Memo6 = nullptr;

    // timers
    QTimer *TimerSec = nullptr, *AutoIspTimer = nullptr, *Timer1 = nullptr;

    TVokCommDriver *ComDriver = nullptr;

    // ---- handlers: start-up and window (Main.cpp) ------------------------------------
    void FormCreate();
    void FormShow();
    void FormClose();
    void RzPageControl1Change();
    void TimerSecTimer();
    void Edit3Change();
    void Edit1Change(TNumberEdit *field);
    void StatusBar1Click();
    void Image4Click();
    void RzMarqueeStatus1Click();
    void BitBtn10Click();
    void Image3Click();
    // The message area's own context menu and the download log's save and clear.
    void Memo1ContextMenu(const QPoint &at);
    void SaveLog();
    void ClearLog();
    // The download log's text (the download page's message area, whatever page is shown).
    QString LogText() const;

    // ---- download page (Main_Download.cpp) -------------------------------------------
    void BitBtn1Click();
    // Ends the running download where it is (停止).
    void StopClick();
    void MCUTypeChange();
    void BitBtn7Click();
    void BitBtn2Click();
    void CheckBox2Click();
    void AutoIspTimerTimer();
    void ComboBox6Change();
    void ComboBox7Change();
    void CheckFileChanged();
    // The file field's text changed: the address field is offered for a binary file.
    void Edit2Change();
    // The binary's address the download uses, as the field holds it (none: flash start).
    std::optional<quint64> BinaryAddress() const;
    // A file dropped on the window or the file field: exactly one local file, not a folder,
    // and no download running; "" when the drop is not taken.
    QString DroppedFile(const QMimeData *mime) const;
    QString FormattedFileTime(const QString &path) const;

    // ---- terminal (Main_Terminal.cpp) ------------------------------------------------
    void BitBtn3Click();
    void ComboBox1Change();
    void CheckBox3Click();
    void CheckBox4Click();
    void BitBtn4Click();
    void SendHex(const QString &text);
    // True when the key was taken (Tab, Ctrl+Tab under send on key press).
    bool Memo2KeyDown(int qtKey, Qt::KeyboardModifiers modifiers, const QString &text);
    void CheckBox5Click();
    void Timer1Timer();
    void CheckHexTXDClick();
    void BitBtn6Click();
    void BitBtn8Click();
    void ComDriverReceiveData(TVokCommDriver *Sender, const quint8 *DataPtr, qint32 DataSize);
    void CheckHexRXDClick();
    void BitBtn5Click();
    void BitBtn9Click();
    void LineEndListChange();
    void CheckStampsClick();
    void LogToFileClick(bool on);
    void PlotButtonClick();
    // The terminal's port is being reopened after its device vanished.
    bool TerminalReconnecting() const { return reconnect_.isActive(); }

    // ---- the families' starts (Main_Download.cpp) ------------------------------------
    // Each opens what its engine needs and starts it with the page's choices.
    void STM32UP();
    void LpcUp();
    void StcUp();
    void StcSeriesUp();
    // The download page's choices as the controls hold them.
    DownloadChoices ChosenDownload() const;
    // Command line: a read-protected STM32 is unprotected (mass erase) and programmed.
    bool StmUnprotect = false;

    // ---- observers of a download (the command line's face) ---------------------------
    // Called with every line appended to the message area, every status text, and once
    // when a download attempt ends, with how it ended.
    std::function<void(const QString &)> OnLine;
    std::function<void(const QString &)> OnStatusText;
    std::function<void(DownloadResult)> OnDownloadEnded;
    void DownloadEnded(DownloadResult result);
    // The port a running download holds, and whether it is the shared driver (LPC2000,
    // STM32) or the STC programmer's own port; an empty name while no download runs.
    struct HeldPort
    {
        QString name; // "COM1".."COM8" or the device path the STC port was given
        bool shared = false;
    };
    HeldPort DownloadPort() const;
    // Sets the download page's controls from one value, as a user would choose them.
    void SetDownloadChoices(const DownloadChoices &choices);
    // Replaces the message area's text with one line.
    void SetMessages(const QString &line);
    // The send area's text with its lines separated by CR LF.
    QString SendAreaText() const;

    // Entry and exit sequences, wiring and power command (the 复位序列 button's editor).
    EntrySettings EntrySetup;
    void EntryButtonClick(); // opens the editor (the automatic reset box's context menu)
    // Advice of an engine about the board (pressing reset by hand, lines the port refused),
    // shown beside the automatic reset box; the last one stays in LastHint.
    void ShowHint(const QString &text);
    QString LastHint;
    // The port names' tooltips and descriptions in both port lists, from the ports present.
    void refreshPortLists();

    // The supported-device text of the download page.
    static QString SupportedDevicesText();
    static QString AboutText();


protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    void wireEvents();
    bool readSettings(); // false when the store could not be created
    void writeSettings();
    QString terminalPortHeld() const;
    void terminalWriteFailed();
    void terminalReadFailed();
    void redrawReceiveArea();
    void flushReceiveArea();
    void releaseReceiveArea();
    // Bytes the terminal sent: counted in S: (count) and logged when sent bytes are.
    void terminalSent(const QByteArray &bytes, qsizetype count);
    void stopLog(const QString &why);
    bool terminalReopen();
    void reconnectTick();
    void createEngines();
    // Places the controls for the window's size (the default size gives the designed layout).
    void placeForSize();
    // Download start and end around the engines: the terminal's port, the controls, the
    // progress clock.
    bool beginDownload(int device);
    void setDownloadControlsEnabled(bool on);
    void showProgress(int value, int maximum);
    void updateProgressText();
    // The bar and the figures beside it empty for a new attempt.
    void resetProgress();
    // Watches the folders where ports come and go: /dev, /dev/serial/by-id and the folder of
    // each port name's device path (a [Ports] path elsewhere, such as a link socat makes).
    void watchPortFolders(const QStringList &paths);
    // The running download ends now with this line (stop button, vanished port).
    void endDownloadNow(const QString &line);
    // An engine ended: the port it used goes, the controls come back.
    void engineFinished(Engine *engine, DownloadResult result);
    // Whether the engine has a download; for the STC engines, as this window knows it: from
    // the start it queued to the finished() it got back.
    bool engineRunning(const Engine *engine) const;
    // The STC engines' start and cancel, carried out on their thread. The cancel returns
    // once the engine has stopped its port.
    void startOnStcThread(Engine *engine, const DownloadChoices &choices);
    void cancelOnStcThread(Engine *engine);
    // Ends a download still running there, then the thread, which deletes the STC engines.
    void endStcThread();

    QString downloadPort_;
    // The message area shows one page's document at a time; each page keeps its own.
    QTextDocument *terminalDoc_ = nullptr, *downloadDoc_ = nullptr, *aboutDoc_ = nullptr;
    // The terminal's port, closed for a download that needed it, is opened again after it.
    bool terminalReopen_ = false;
    int terminalPort_ = 0;
    bool autoStarted_ = false;
    int deviceBefore_ = -1;       // the device entry the change rule last saw    // the running download was started by a file change
    QString stopLine_;            // the line the running download ends with (stop, vanished)
    QString baseTitle_;           // the caption without a result
    QElapsedTimer downloadClock_; // since the download button
    qint64 downloadMs_ = -1;      // the last download's whole time, once it ended
    int progressValue_ = 0, progressMaximum_ = 100;
    QFileSystemWatcher *portWatcher_ = nullptr;
    struct Anchored
    {
        QWidget *w;
        QRect base; // its place in the designed size
        int how;
    };
    std::vector<Anchored> anchors_;
    QTimer *portRefresh_ = nullptr;
    QThread *stcThread_ = nullptr;
    bool stcRunning_ = false;
    bool stcSeriesRunning_ = false;
    bool useSettingsStore_ = true;
    bool shown_ = false;
    bool closed_ = false;
    bool askingToEnd_ = false; // the question whether to end a download is open
    bool endConfirmed_ = false;
    QString imageSizeStamp_; // the file version the last download read
    terminal::ReceiveArea receiveArea_; // what the area shows of the store, what waits
    QTimer receiveFlush_;               // draws the waiting text a few times a second
    QList<terminal::Arrival> arrivals_; // when each chunk of ReceivedBytes arrived
    terminal::LogWriter log_;
    std::unique_ptr<terminal::LogForm> logForm_;
    QTimer reconnect_;        // looks for the vanished device again
    QString reconnectPath_;   // the device path the terminal had open
    QString reconnectById_;   // its /dev/serial/by-id name, when it has one
    int plotSeconds_ = 10;    // the plot's window, as stored (the plot is made when opened)
};

// Digits-only entry field with the change rule "empty or 0 becomes 1"; the editing keys
// (cursor keys, Home, End, Delete, Backspace) work as in any field.
class TNumberEdit : public QLineEdit
{
public:
    TNumberEdit(const QString &text, int maxLength, QWidget *parent);
    std::function<void()> OnChange;

protected:
    void keyPressEvent(QKeyEvent *event) override;
};

// The main window (which reads the settings and installs the HEX decoding library) and its
// LPC and STC engines.
struct ApplicationWindows
{
    std::unique_ptr<TMainForm> main;
    LpcEngine *lpc = nullptr;
    StcEngine *stc = nullptr;
};
ApplicationWindows CreateApplicationWindows(bool useSettingsStore = true);
