// The controls of the main window, their places, and every connect() of the window.
#include "app/Main.h"
#include "app/FileField.h"
#include "app/Pictures.h"
#include "app/Ui.h"
#include "logic/Devices.h"

#include "platform/PortNames.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHelpEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTextDocument>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>

#include <algorithm>

namespace {

constexpr int kClientWidth = 580;
constexpr int kClientHeight = 373;
constexpr int kMarqueeStepMs = 60;
constexpr int kMarqueeStepPx = 3;
constexpr int kReceiveDrawMs = 100; // the terminal draws received text ten times a second
// How a control follows the window's size.
enum AnchorHow { kGrow, kBottomStretch, kBottom, kBottomRight, kStretch, kRight };

QFont songFont(int pointSize = 9, bool bold = false)
{
    QFont f;
    f.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"),
                   QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC")});
    f.setPointSize(pointSize);
    f.setBold(bold);
    return f;
}

QLabel *label(QWidget *parent, const QString &text, int x, int y, int w, int h = 20)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

// A numeric field stands right after its label ("超时值      sec", "复位时间     ms").
void placeAfter(QLineEdit *field, QLabel *l, int fieldWidth)
{
    const int w = QFontMetrics(l->font()).horizontalAdvance(l->text()) + 4;
    l->resize(w, l->height());
    field->setGeometry(l->x() + w, l->y() - 1, fieldWidth, 22);
}

QComboBox *combo(QWidget *parent, const char *name, const QStringList &items, int index, int x,
                 int y, int w)
{
    auto *c = new QComboBox(parent);
    c->setObjectName(QLatin1String(name));
    c->addItems(items);
    c->setCurrentIndex(index);
    c->setGeometry(x, y, w, 22);
    return c;
}

QCheckBox *check(QWidget *parent, const char *name, const QString &text, bool on, int x, int y,
                 int w)
{
    auto *c = new QCheckBox(text, parent);
    c->setObjectName(QLatin1String(name));
    c->setChecked(on);
    c->setGeometry(x, y, w, 20);
    return c;
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, int x, int y, int w,
                    int h = 24)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(x, y, w, h);
    return b;
}

// What each port name stands for now, kept in its entry (shown beside the name in the open
// list and as the entry's tooltip): the device path and its description, or "no device".
constexpr int kPortDeviceRole = Qt::UserRole + 1;
constexpr int kPortPresentRole = Qt::UserRole + 2;

// The open port list shows each name with the device it stands for; a name that stands for
// nothing present is greyed (it can still be chosen: an adapter may be plugged in later).
class TPortDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString device = index.data(kPortDeviceRole).toString();
        if (!device.isEmpty()) option->text += QStringLiteral("   ") + device;
        if (!index.data(kPortPresentRole).toBool())
            option->palette.setColor(QPalette::Text,
                                     option->palette.color(QPalette::Disabled, QPalette::Text));
    }
};

// The port lists: the names' devices are read again when the list opens and whenever a device
// appears or goes (refreshPortLists), so an adapter plugged in meanwhile is shown.
class TPortCombo : public QComboBox
{
public:
    explicit TPortCombo(QWidget *parent) : QComboBox(parent)
    {
        setItemDelegate(new TPortDelegate(this));
    }
    std::function<void()> OnPopup;
    void showPopup() override
    {
        if (OnPopup) OnPopup();
        // The open list is as wide as its widest entry with its device.
        int widest = width();
        const QFontMetrics fm(view()->font());
        for (int i = 0; i < count(); ++i)
            widest = std::max(widest, fm.horizontalAdvance(
                                          itemText(i) + QStringLiteral("   ") +
                                          itemData(i, kPortDeviceRole).toString()) +
                                          32);
        view()->setMinimumWidth(widest);
        QComboBox::showPopup();
    }
};

QStringList portNames()
{
    QStringList l;
    for (int i = 1; i <= 8; ++i)
        l << QStringLiteral("COM%1").arg(i);
    return l;
}

QStringList baudNames()
{
    QStringList l;
    for (quint32 r : kBaudRates)
        l << QString::number(r);
    return l;
}

TPortCombo *portCombo(QWidget *parent, const char *name, int x, int y, int w)
{
    auto *c = new TPortCombo(parent);
    c->setObjectName(QLatin1String(name));
    c->addItems(portNames());
    c->setCurrentIndex(0);
    c->setGeometry(x, y, w, 22);
    return c;
}

} // namespace

// ---- small widgets ---------------------------------------------------------------------

void TClickLabel::mousePressEvent(QMouseEvent *event)
{
    QLabel::mousePressEvent(event);
    if (OnClick) OnClick();
}

TMarquee::TMarquee(QWidget *parent) : QWidget(parent)
{
    step_.setInterval(kMarqueeStepMs);
    connect(&step_, &QTimer::timeout, this, [this] {
        offset_ += kMarqueeStepPx;
        if (offset_ > width() + fontMetrics().horizontalAdvance(text_)) offset_ = 0;
        update();
    });
}

void TMarquee::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    step_.start();
}

void TMarquee::hideEvent(QHideEvent *event)
{
    step_.stop();
    QWidget::hideEvent(event);
}

void TMarquee::setText(const QString &text)
{
    text_ = text;
    offset_ = 0;
    update();
}

void TMarquee::toggleColour()
{
    menuColour_ = !menuColour_;
    update();
}

void TMarquee::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QPalette &pal = palette();
    p.fillRect(rect(), menuColour_ ? pal.color(QPalette::WindowText) : pal.color(QPalette::Window));
    p.setPen(QColor(0, 160, 0));
    p.setFont(font());
    p.drawText(QRect(width() - offset_, 0, 4000, height()), Qt::AlignVCenter | Qt::AlignLeft,
               text_);
}

void TMarquee::mousePressEvent(QMouseEvent *)
{
    if (OnClick) OnClick();
}

TStatusBar::TStatusBar(QWidget *parent) : QWidget(parent)
{
    static constexpr int kWidths[] = {180, 50, 50, 128};
    int x = 0;
    for (int i = 0; i < 4; ++i) {
        auto *panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setGeometry(x, 2, kWidths[i], 22);
        panel->setIndent(3);
        x += kWidths[i] + 2;
        panels_[size_t(i)] = panel;
    }
    setPanelText(1, QStringLiteral("S:0"));
    setPanelText(2, QStringLiteral("R:0"));
    setPanelText(3, QStringLiteral("12:00:00"));
}

void TStatusBar::setPanelText(int index, const QString &text)
{
    if (index < 0 || index >= 4) return;
    QLabel *panel = panels_[size_t(index)];
    texts_[size_t(index)] = text;
    // A text longer than its panel is cut with an ellipsis and shown whole as the tooltip.
    const int room = panel->width() - panel->indent() - 2 * panel->frameWidth();
    const QString shown = panel->fontMetrics().elidedText(text, Qt::ElideRight, room);
    panel->setText(shown);
    panel->setToolTip(shown == text ? QString() : text);
}

QString TStatusBar::panelText(int index) const
{
    return index >= 0 && index < 4 ? texts_[size_t(index)] : QString();
}

void TStatusBar::mousePressEvent(QMouseEvent *)
{
    if (OnClick) OnClick();
}

TNumberEdit::TNumberEdit(const QString &text, int maxLength, QWidget *parent)
    : QLineEdit(text, parent)
{
    setMaxLength(maxLength);
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (OnChange) OnChange();
    });
}

void TNumberEdit::keyPressEvent(QKeyEvent *event)
{
    // Of the typed characters only the digits get in; keys that type nothing (the cursor
    // keys, Home, End, Delete, Backspace, shortcuts) keep their usual editing meaning.
    const QString t = event->text();
    const bool typed = !t.isEmpty() && t.at(0).isPrint();
    if (!typed || (t.size() == 1 && t[0] >= u'0' && t[0] <= u'9')) QLineEdit::keyPressEvent(event);
}

// ---- the window ------------------------------------------------------------------------

void TMainForm::buildLayout()
{
    setFont(songFont());
    // The designed size is the default and the smallest; the window grows from it and the
    // text areas take the room (placeForSize).
    resize(kClientWidth, kClientHeight);
    setMinimumSize(kClientWidth, kClientHeight);
    auto *central = new QWidget(this);
    setCentralWidget(central);

    Image1 = pictures::portClosed();
    Image2 = pictures::portOpen();

    Memo1 = new QPlainTextEdit(central);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setUndoRedoEnabled(false); // nobody edits it; an undo history would only grow
    Memo1->setGeometry(4, 2, 572, 170);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setPlainText(tr("接收区\r\nhttp://www.orvel.example"));
    Memo1->setTabChangesFocus(true);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    Memo1->setAccessibleName(tr("信息区"));
    // Each page's text lives in a document of its own, owned by the window (the area would
    // delete its own first document when it is given another); the area shows the current
    // page's.
    const auto pageDocument = [this](const QString &text) {
        auto *doc = new QTextDocument(this);
        doc->setDocumentLayout(new QPlainTextDocumentLayout(doc));
        doc->setDefaultFont(Memo1->document()->defaultFont());
        doc->setUndoRedoEnabled(false);
        doc->setPlainText(text);
        return doc;
    };
    terminalDoc_ = pageDocument(Memo1->toPlainText());
    downloadDoc_ = pageDocument(SupportedDevicesText());
    aboutDoc_ = pageDocument(AboutText());
    Memo1->setDocument(downloadDoc_); // the first page

    Panel1 = new TClickLabel(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(4, 2, 572, 170);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setPixmap(pictures::db9Help(QSize(560, 168)));
    Panel1->setToolTip(tr("DB9串口信号线定义"));
    Panel1->hide();

    RzPageControl1 = new QTabWidget(central);
    RzPageControl1->setObjectName(QStringLiteral("RzPageControl1"));
    RzPageControl1->setGeometry(2, 176, 576, 169);

    // ---- page 0: download -----------------------------------------------------------
    auto *download = new QWidget;
    download->setFont(font());
    label(download, tr("MCU 设备"), 8, 8, 56);
    QStringList deviceNames = devices::deviceNames();
    for (QString &name : deviceNames)
        name = devices::shownName(name);
    MCUType = combo(download, "MCUType", deviceNames, devices::firstIndexOf(devices::Family::Stm32),
                    66, 6, 160);
    // The list is as wide as its longest entry needs (the English names are longer); the file
    // name's label and field follow it, the field taking what is left before the file button.
    MCUType->resize(std::max(MCUType->width(), MCUType->sizeHint().width()),
                    MCUType->height());
    // Beside the list: the clock an STC15 or STC8 is trimmed to (empty: the chip keeps its own).
    QLabel *clockLabel = label(download, tr("时钟"), MCUType->geometry().right() + 6, 8, 0);
    clockLabel->resize(QFontMetrics(clockLabel->font()).horizontalAdvance(clockLabel->text()) + 4,
                       clockLabel->height());
    ClockEdit = new QLineEdit(download);
    ClockEdit->setObjectName(QStringLiteral("ClockEdit"));
    ClockEdit->setMaxLength(7);
    ClockEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,2}(\\.[0-9]{0,4})?")), ClockEdit));
    ClockEdit->setPlaceholderText(QStringLiteral("MHz"));
    ClockEdit->setToolTip(tr("STC15/STC8: RC 时钟频率 (MHz)，空白则保持芯片原有的频率"));
    ClockEdit->setGeometry(clockLabel->geometry().right() + 2, 6, 52, 22);
    ClockEdit->setEnabled(devices::trimsClock(MCUType->currentIndex()));
    // In its place for the LPC entries: the oscillator in kHz the handshake sends (empty:
    // 11059.2).
    CrystalEdit = new QLineEdit(download);
    CrystalEdit->setObjectName(QStringLiteral("CrystalEdit"));
    CrystalEdit->setMaxLength(10);
    CrystalEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,6}(\\.[0-9]{0,3})?")), CrystalEdit));
    CrystalEdit->setPlaceholderText(QStringLiteral("kHz"));
    CrystalEdit->setToolTip(tr("LPC: 晶振频率 (kHz)，空白为 11059.2；Cortex-M 芯片用 12000"));
    CrystalEdit->setGeometry(ClockEdit->geometry());
    CrystalEdit->setVisible(devices::familyAt(MCUType->currentIndex()) == devices::Family::Lpc);
    ClockEdit->setVisible(!CrystalEdit->isVisibleTo(download));
    QLabel *fileLabel = label(download, tr("文件名称"), ClockEdit->geometry().right() + 8, 8, 0);
    fileLabel->resize(QFontMetrics(fileLabel->font()).horizontalAdvance(fileLabel->text()) + 4,
                      fileLabel->height());
    // No file at first start (a stored "FileName" replaces that as it was stored); a path may
    // be typed or pasted as well as chosen with the button.
    Edit2 = new QLineEdit(download);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setPlaceholderText(tr("选择或输入目标文件 (*.bin, *.hex)"));
    Edit2->setAccessibleName(tr("文件名称"));
    const int edit2Left = fileLabel->geometry().right() + 2;
    Edit2->setGeometry(edit2Left, 6, 526 - edit2Left, 22);
    BitBtn2 = button(download, "BitBtn2", QStringLiteral("..."), 530, 5, 34);
    // At the field's right end while a binary file is chosen (the field gives it the room).
    AddressEdit = new QLineEdit(download);
    AddressEdit->setObjectName(QStringLiteral("AddressEdit"));
    AddressEdit->setMaxLength(10);
    AddressEdit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("(0[xX])?[0-9A-Fa-f]{0,8}")), AddressEdit));
    {
        // As wide as the longest address it takes needs, so the file field keeps the rest.
        const int width =
            AddressEdit->fontMetrics().horizontalAdvance(QStringLiteral("0x00000000")) + 12;
        AddressEdit->setGeometry(526 - width, 6, width, 22);
    }
    AddressEdit->setToolTip(
        tr("二进制文件写入的地址 (十六进制，如 0x08004000)\r空白：从 Flash 起始地址写入"));
    AddressEdit->setAccessibleName(tr("二进制文件的地址"));
    AddressEdit->hide();
    // Dropped files, the last eight files, the message area saved as a log.
    filefield::attach(this, Edit2, Memo1);
    BitBtn2->setToolTip(tr("选择目标文件"));

    label(download, tr("串口号"), 8, 36, 56);
    ComboBox6 = portCombo(download, "ComboBox6", 66, 34, 80);
    label(download, tr("波特率"), 156, 36, 44);
    ComboBox7 = combo(download, "ComboBox7", baudNames(), 6, 202, 34, 80);
    QLabel *timeoutLabel = label(download, tr("超时值      sec"), 288, 36, 110);
    Edit3 = new TNumberEdit(QStringLiteral("5"), 2, download);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    placeAfter(Edit3, timeoutLabel, 28); // two digits
    Edit3->setToolTip(QStringLiteral("1 ~ 99"));

    CheckBox2 = check(download, "CheckBox2", tr("自动复位"), true, 8, 64, 90);
    CheckBox2->setToolTip(
        tr("选用时：\r上载前 RTS=ON(10ms)DTR=ON(50ms)DTR=OFF (600ms)开始同步命令"));
    // The editor of the entry and exit sequences is the box's context menu (the right mouse
    // button, or the menu key while it has the focus), so the page's layout stays as it is.
    CheckBox2->setContextMenuPolicy(Qt::CustomContextMenu);
    Label4 = label(download, tr("复位时间     ms"), 104, 64, 110);
    Edit4 = new TNumberEdit(QStringLiteral("680"), 3, download);
    Edit4->setObjectName(QStringLiteral("Edit4"));
    placeAfter(Edit4, Label4, 36);
    Edit4->setToolTip(QStringLiteral("1 ~ 999"));
    CheckBox1 = check(download, "CheckBox1", tr("自动程序上载"), false, 250, 64, 110);
    CheckBox1->setToolTip(tr("选用后：\r目标文件(*.bin或*.hex)更新时，自动进行上载操作。"));
    // The verify box follows the time-out field and is as wide as its caption needs.
    CheckBox9 =
        check(download, "CheckBox9", tr("校验"), false, Edit3->geometry().right() + 3, 36, 0);
    CheckBox9->resize(CheckBox9->sizeHint().width(), CheckBox9->height());
    CheckBox9->setToolTip(tr("STM32: 每块写入后读回比较，不符时重写 (通信量加倍)"));
    BitBtn7 = button(download, "BitBtn7", QStringLiteral("12T"), 388, 60, 50, 26);
    BitBtn7->setToolTip(tr(" 6T / 双倍速\r12T / 单倍速"));
    BitBtn1 = button(download, "BitBtn1", tr("下载"), 446, 32, 118, 54);
    BitBtn1->setIcon(pictures::downloadIcon());
    BitBtn1->setFont(songFont(12, true));
    {
        // Red while it can be pressed; disabled (a download runs) in the style's grey.
        QPalette p = BitBtn1->palette();
        for (const auto group : {QPalette::Active, QPalette::Inactive})
            p.setColor(group, QPalette::ButtonText, QColor(0xc0, 0, 0));
        BitBtn1->setPalette(p);
    }

    ProgressBar1 = new QProgressBar(download);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(8, 92, 300, 16);
    ProgressBar1->setAccessibleName(tr("下载进度"));
    // Beside the bar: how far and for how long, the image size, and the stop button.
    ProgressText = label(download, QString(), 312, 90, 84);
    ProgressText->setObjectName(QStringLiteral("ProgressText"));
    ProgressText->setAccessibleName(tr("下载进度与用时"));
    StopButton = button(download, "StopButton", tr("停止"), 488, 88, 76, 24);
    StopButton->setToolTip(tr("停止正在进行的下载"));
    StopButton->setAccessibleName(tr("停止下载"));
    StopButton->setEnabled(false);
    // The image size, right of the progress bar it belongs with (and clear of every control).
    Label10 = label(download, QString(), 398, 90, 86);
    Label10->setObjectName(QStringLiteral("Label10"));
    Label10->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    {
        QPalette p = Label10->palette();
        p.setColor(QPalette::WindowText, Qt::red);
        Label10->setPalette(p);
        Label10->setFont(songFont(8));
    }
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    RzMarqueeStatus1 = new TMarquee(download);
    RzMarqueeStatus1->setObjectName(QStringLiteral("RzMarqueeStatus1"));
    RzMarqueeStatus1->setGeometry(0, 116, 572, 22);
    {
        QFont f;
        f.setFamilies({QStringLiteral("楷体_GB2312"), QStringLiteral("KaiTi"),
                       QStringLiteral("AR PL UKai CN"), QStringLiteral("Noto Serif CJK SC")});
        f.setPointSize(10);
        f.setBold(true);
        RzMarqueeStatus1->setFont(f);
    }
    // STC12, STC15, STC8: the option bytes a user may change, in the strip's row while such an
    // entry is chosen. Partly checked leaves the value the chip reports.
    {
        const QString keep = tr("\r(■ 部分选中：保持芯片原有设置)");
        int x = 8;
        const auto option = [&](const char *name, const QString &text, const QString &tip) {
            QCheckBox *box = check(download, name, text, false, x, 118, 0);
            box->setTristate(true);
            box->setCheckState(Qt::PartiallyChecked);
            box->resize(box->sizeHint().width(), box->height());
            box->setToolTip(tip + keep);
            box->setAccessibleName(text);
            box->hide();
            x += box->width() + 16;
            return box;
        };
        OptionEeprom = option("OptionEeprom", tr("擦除 EEPROM"),
                              tr("STC12/15/8: 下载时一并擦除 EEPROM 区 (eeprom-erase)"));
        OptionResetPin = option("OptionResetPin", tr("RST 脚用作复位"),
                                tr("STC12/15/8: 复位脚作复位 (选中) 或作 I/O 口 (不选) (reset-pin)"));
        OptionLowVoltage = option("OptionLowVoltage", tr("低压复位"),
                                  tr("STC12/15/8: 电压过低时复位 (low-voltage-reset)"));
    }
    RzPageControl1->addTab(download, tr(" 程序下载(ISP)"));

    // ---- page 1: terminal -----------------------------------------------------------
    auto *term = new QWidget;
    label(term, tr("串口号"), 4, 4, 40);
    ComboBox1 = portCombo(term, "ComboBox1", 46, 2, 72);
    label(term, tr("波特率"), 4, 28, 40);
    ComboBox2 = combo(term, "ComboBox2", baudNames(), 6, 46, 26, 72);
    label(term, tr("数据位"), 4, 52, 40);
    ComboBox3 = combo(term, "ComboBox3", {"5", "6", "7", "8"}, 3, 46, 50, 72);
    label(term, tr("停止位"), 4, 76, 40);
    ComboBox4 = combo(term, "ComboBox4", {"1", "1.5", "2"}, 0, 46, 74, 72);
    label(term, tr("奇偶位"), 4, 100, 40);
    ComboBox5 = combo(term, "ComboBox5", {"None", "Odd", "Even", "Mark", "Space"}, 0, 46, 98, 72);

    BitBtn3 = button(term, "BitBtn3", tr("打开串口"), 124, 2, 84, 30);
    BitBtn3->setLayoutDirection(Qt::RightToLeft); // icon right of the caption
    BitBtn3->setIconSize(QSize(24, 16));
    CheckBox3 = check(term, "CheckBox3", QStringLiteral("DTR"), false, 124, 36, 46);
    CheckBox4 = check(term, "CheckBox4", QStringLiteral("RTS"), false, 170, 36, 44);
    CheckHexRXD = check(term, "CheckHexRXD", tr("HEX显示"), false, 126, 58, 84);
    BitBtn5 = button(term, "BitBtn5", tr("清空接收区"), 124, 80, 84);
    BitBtn9 = button(term, "BitBtn9", tr("保存接收区"), 124, 106, 84);

    Memo2 = new QPlainTextEdit(term);
    Memo2->setObjectName(QStringLiteral("Memo2"));
    Memo2->setGeometry(214, 2, 218, 80);
    Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo2->setPlainText(tr("发送区\nhttp://www.orvel.example"));
    Memo2->setTabChangesFocus(true); // Tab moves on; it is not a character to send
    // Under the send area: time stamps, the log and the plot.
    CheckStamps = check(term, "CheckStamps", tr("时间戳"), false, 214, 85, 64);
    CheckStamps->setToolTip(tr("接收的每一行（HEX显示时每一段）前加上\r第一个字节到达的时间"));
    StampGap = new QSpinBox(term);
    StampGap->setObjectName(QStringLiteral("StampGap"));
    StampGap->setRange(1, 9999);
    StampGap->setValue(terminal::kDefaultBurstGapMs);
    StampGap->setSuffix(QStringLiteral(" ms"));
    StampGap->setGeometry(278, 84, 56, 22);
    StampGap->setEnabled(false);
    StampGap->setToolTip(tr("HEX显示时：静默超过此时间后收到的数据\r另起一行并加时间戳"));
    StampGap->setAccessibleName(tr("时间戳间隔 (ms)"));
    LogButton = new QToolButton(term);
    LogButton->setObjectName(QStringLiteral("LogButton"));
    LogButton->setText(tr("记录"));
    LogButton->setGeometry(336, 84, 48, 22);
    LogButton->setPopupMode(QToolButton::InstantPopup);
    LogButton->setFocusPolicy(Qt::StrongFocus);
    auto *logMenu = new QMenu(LogButton);
    LogToFile = logMenu->addAction(tr("记录到文件…"));
    LogToFile->setObjectName(QStringLiteral("LogToFile"));
    LogToFile->setCheckable(true);
    LogSent = logMenu->addAction(tr("同时记录发送的数据"));
    LogSent->setObjectName(QStringLiteral("LogSent"));
    LogSent->setCheckable(true);
    LogButton->setMenu(logMenu);
    LogButton->setToolTip(LogToFile->text());
    LogButton->setAccessibleName(tr("记录到文件"));
    PlotButton = button(term, "PlotButton", tr("曲线图"), 386, 84, 46, 22);
    PlotButton->setToolTip(tr("把接收的每一行中的数值画成曲线"));
    BitBtn4 = button(term, "BitBtn4", tr("发送(&S)"), 214, 110, 70);
    BitBtn6 = button(term, "BitBtn6", tr("读入文件"), 288, 110, 70);
    BitBtn8 = button(term, "BitBtn8", tr("清空发送区"), 362, 110, 70);

    CheckHexTXD = check(term, "CheckHexTXD", tr("HEX发送"), false, 438, 2, 130);
    CheckBox7 = check(term, "CheckBox7", tr("发送新行"), false, 438, 22, 72);
    LineEndList = combo(term, "LineEndList", {"CR", "LF", "CRLF"},
                        terminal::kDefaultLineEndIndex, 510, 22, 62);
    LineEndList->resize(LineEndList->width(), 20); // between HEX发送 and 按键即发
    LineEndList->setToolTip(tr("发送新行、定时发送和按键即发的回车所用的行结束符"));
    LineEndList->setAccessibleName(tr("行结束符"));
    CheckBox6 = check(term, "CheckBox6", tr("按键即发"), false, 438, 42, 130);
    CheckBox6->setToolTip(tr("选用后：\r于发送区窗口键入的字符即时发送，\r回车发送所选的行结束符"));
    CheckBox8 = check(term, "CheckBox8", tr("发送后清空发送区"), false, 438, 62, 130);
    CheckBox5 = check(term, "CheckBox5", tr("定时发送"), false, 438, 84, 76);
    Edit1 = new TNumberEdit(QStringLiteral("1000"), 4, term);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(438, 106, 40, 22);
    Edit1->setToolTip(QStringLiteral("1 ~ 9999"));
    Label11 = label(term, tr("ms/次"), 482, 108, 40);
    BitBtn10 = button(term, "BitBtn10", tr("帮助"), 524, 106, 44);
    BitBtn10->setToolTip(tr("DB9串口信号线定义"));
    RzPageControl1->addTab(term, tr(" 串口调试助手"));

    // ---- page 2: about ---------------------------------------------------------------
    auto *about = new QWidget;
    Memo6 = new QPlainTextEdit(about);
    Memo6->setObjectName(QStringLiteral("Memo6"));
    Memo6->setReadOnly(true);
    Memo6->setGeometry(2, 2, 566, 136);
    Memo6->setPlainText(AboutText());
    Memo6->setTabChangesFocus(true);
    RzPageControl1->addTab(about, tr(" 关于"));

    // ---- page 3: forum ---------------------------------------------------------------
    RzPageControl1->addTab(new QWidget, tr(" Orvel 论坛 bbs.orvel.example"));

    // ---- status strip ----------------------------------------------------------------
    StatusBar1 = new TStatusBar(central);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setGeometry(2, 347, 416, 26);
    Image5 = new TClickLabel(central);
    Image5->setObjectName(QStringLiteral("Image5"));
    Image5->setGeometry(kClientWidth - 206 - 2, 349, 206, 22);
    Image5->setPixmap(pictures::logo(QSize(206, 22)));
    Image5->setCursor(Qt::PointingHandCursor);

    // ---- timers ----------------------------------------------------------------------
    TimerSec = new QTimer(this);
    TimerSec->setInterval(1000);
    AutoIspTimer = new QTimer(this);
    // The settle time: a changed file is downloaded once it has stayed the same this long.
    AutoIspTimer->setInterval(300);
    Timer1 = new QTimer(this);

    ComDriver = new TVokCommDriver(this);

    // Ports appear and go with their adapters: the lists follow /dev, a moment after the
    // change has settled (udev makes the by-id links after the device).
    portRefresh_ = new QTimer(this);
    portRefresh_->setSingleShot(true);
    portRefresh_->setInterval(300);
    portWatcher_ = new QFileSystemWatcher(this);
    for (QComboBox *c : {ComboBox1, ComboBox6})
        static_cast<TPortCombo *>(c)->OnPopup = [this] { refreshPortLists(); };
    refreshPortLists();

    receiveFlush_.setSingleShot(true);
    receiveFlush_.setInterval(kReceiveDrawMs);
}

void TMainForm::wireEvents()
{
    connect(TimerSec, &QTimer::timeout, this, &TMainForm::TimerSecTimer);
    connect(&receiveFlush_, &QTimer::timeout, this, &TMainForm::flushReceiveArea);
    connect(AutoIspTimer, &QTimer::timeout, this, &TMainForm::AutoIspTimerTimer);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    connect(RzPageControl1, &QTabWidget::currentChanged, this, &TMainForm::RzPageControl1Change);
    connect(portWatcher_, &QFileSystemWatcher::directoryChanged, portRefresh_,
            qOverload<>(&QTimer::start));
    connect(portRefresh_, &QTimer::timeout, this, &TMainForm::refreshPortLists);
    connect(Memo1, &QWidget::customContextMenuRequested, this, &TMainForm::Memo1ContextMenu);
    connect(StopButton, &QPushButton::clicked, this, &TMainForm::StopClick);

    StatusBar1->OnClick = [this] { StatusBar1Click(); };
    Image5->OnClick = [this] { Image4Click(); };
    RzMarqueeStatus1->OnClick = [this] { RzMarqueeStatus1Click(); };
    Panel1->OnClick = [this] { Image3Click(); };
    Edit3->OnChange = [this] { Edit3Change(); };
    Edit4->OnChange = [this] { Edit1Change(Edit4); };
    Edit1->OnChange = [this] { Edit1Change(Edit1); };

    // download page
    connect(BitBtn1, &QPushButton::clicked, this, [this] {
        autoStarted_ = false; // pressed by the user
        BitBtn1Click();
    });
    connect(BitBtn2, &QPushButton::clicked, this, &TMainForm::BitBtn2Click);
    connect(BitBtn7, &QPushButton::clicked, this, &TMainForm::BitBtn7Click);
    connect(CheckBox2, &QWidget::customContextMenuRequested, this, [this](const QPoint &at) {
        QMenu menu(this);
        menu.addAction(tr("复位序列…"), this, &TMainForm::EntryButtonClick);
        menu.exec(CheckBox2->mapToGlobal(at));
    });
    // The STC12/STC15/STC8 transfer rate starts at 115200, as on the command line, when the
    // user chooses such an entry after another family's (before the change rule notes it).
    connect(MCUType, &QComboBox::activated, this, [this](int index) {
        if (devices::familyAt(index) == devices::Family::StcSeries &&
            devices::familyAt(deviceBefore_) != devices::Family::StcSeries) {
            ComboBox7->setCurrentIndex(br115200);
            ComboBox7Change();
        }
    });
    connect(MCUType, &QComboBox::activated, this, &TMainForm::MCUTypeChange);
    connect(CheckBox2, &QCheckBox::toggled, this, &TMainForm::CheckBox2Click);
    connect(ComboBox6, &QComboBox::activated, this, &TMainForm::ComboBox6Change);
    // The image size shown belongs to the file named and to the STC entries that measure it
    // (TimerSecTimer also drops it once the file changes on disk).
    connect(Edit2, &QLineEdit::textChanged, Label10, &QLabel::clear);
    connect(MCUType, &QComboBox::activated, this, [this] {
        if (devices::familyAt(MCUType->currentIndex()) != devices::Family::Stc) Label10->clear();
    });
    connect(ComboBox7, &QComboBox::activated, this, &TMainForm::ComboBox7Change);

    // terminal page: user changes of the lists run the change rule (activated), changes
    // made by program do not.
    for (QComboBox *c : {ComboBox1, ComboBox2, ComboBox3, ComboBox4, ComboBox5})
        connect(c, &QComboBox::activated, this, &TMainForm::ComboBox1Change);
    connect(BitBtn3, &QPushButton::clicked, this, &TMainForm::BitBtn3Click);
    connect(CheckBox3, &QCheckBox::toggled, this, &TMainForm::CheckBox3Click);
    connect(CheckBox4, &QCheckBox::toggled, this, &TMainForm::CheckBox4Click);
    connect(BitBtn4, &QPushButton::clicked, this, &TMainForm::BitBtn4Click);
    connect(CheckBox5, &QCheckBox::toggled, this, &TMainForm::CheckBox5Click);
    connect(CheckHexTXD, &QCheckBox::toggled, this, &TMainForm::CheckHexTXDClick);
    connect(BitBtn6, &QPushButton::clicked, this, &TMainForm::BitBtn6Click);
    connect(BitBtn8, &QPushButton::clicked, this, &TMainForm::BitBtn8Click);
    connect(CheckHexRXD, &QCheckBox::toggled, this, &TMainForm::CheckHexRXDClick);
    connect(BitBtn5, &QPushButton::clicked, this, &TMainForm::BitBtn5Click);
    connect(BitBtn9, &QPushButton::clicked, this, &TMainForm::BitBtn9Click);
    connect(BitBtn10, &QPushButton::clicked, this, &TMainForm::BitBtn10Click);
    connect(LineEndList, &QComboBox::currentIndexChanged, this, &TMainForm::LineEndListChange);
    connect(CheckStamps, &QCheckBox::toggled, this, &TMainForm::CheckStampsClick);
    connect(StampGap, &QSpinBox::valueChanged, this, &TMainForm::CheckStampsClick);
    connect(LogToFile, &QAction::triggered, this, &TMainForm::LogToFileClick);
    connect(PlotButton, &QPushButton::clicked, this, &TMainForm::PlotButtonClick);
    connect(&reconnect_, &QTimer::timeout, this, &TMainForm::reconnectTick);
    Memo2->installEventFilter(this);
    // A file dropped on the window or on the file field is taken as the dialog's choice is
    // (the field would otherwise insert the file's address as text).
    setAcceptDrops(true);
    Edit2->installEventFilter(this);
    connect(Edit2, &QLineEdit::textChanged, this, &TMainForm::Edit2Change);
    // Tab and Shift+Tab go through each page's controls row by row (download page) and
    // column by column (terminal page).
    const auto chain = [](std::initializer_list<QWidget *> order) {
        QWidget *before = nullptr;
        for (QWidget *w : order) {
            if (before) setTabOrder(before, w);
            before = w;
        }
    };
    chain({MCUType, ClockEdit, Edit2, AddressEdit, BitBtn2, ComboBox6, ComboBox7, Edit3, CheckBox9,
           CheckBox2, Edit4, CheckBox1, BitBtn7, BitBtn1, StopButton, OptionEeprom, OptionResetPin,
           OptionLowVoltage});
    chain({ComboBox1, ComboBox2, ComboBox3, ComboBox4, ComboBox5, BitBtn3, CheckBox3, CheckBox4,
           CheckHexRXD, BitBtn5, BitBtn9, Memo2, CheckStamps, StampGap, LogButton, PlotButton,
           BitBtn4, BitBtn6, BitBtn8, CheckHexTXD, CheckBox7, LineEndList, CheckBox6, CheckBox8,
           CheckBox5, Edit1, BitBtn10});
    // Tooltips that break their lines with a lone CR are shown broken (eventFilter).
    for (QWidget *w : findChildren<QWidget *>())
        if (w->toolTip().contains(QLatin1Char('\r'))) w->installEventFilter(this);

    ComDriver->OnReceiveData = [this](TVokCommDriver *s, const quint8 *p, qint32 n) {
        ComDriverReceiveData(s, p, n);
    };
    ComDriver->OnReadFailed = [this](TVokCommDriver *) { terminalReadFailed(); };
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event)
{
    // Key-down in the send area: send on key press looks at the key, then the key goes on
    // to the area as usual (Tab and Ctrl+Tab under send on key press excepted). Text from an
    // input method (Chinese typed through it) is sent as typed keys are.
    if (watched == Memo2 && event->type() == QEvent::KeyPress) {
        const auto *k = static_cast<QKeyEvent *>(event);
        if (Memo2KeyDown(k->key(), k->modifiers(), k->text())) return true;
    }
    if (watched == Memo2 && event->type() == QEvent::InputMethod) {
        const auto *im = static_cast<QInputMethodEvent *>(event);
        if (!im->commitString().isEmpty())
            Memo2KeyDown(Qt::Key_unknown, Qt::NoModifier, im->commitString());
    }
    if (watched == Edit2 && (event->type() == QEvent::DragEnter ||
                             event->type() == QEvent::DragMove || event->type() == QEvent::Drop)) {
        auto *drop = static_cast<QDropEvent *>(event);
        // Text dragged into the field stays the field's; files are the window's.
        if (drop->mimeData() && drop->mimeData()->hasUrls()) {
            if (event->type() == QEvent::DragEnter)
                dragEnterEvent(static_cast<QDragEnterEvent *>(drop));
            else if (event->type() == QEvent::DragMove)
                dragMoveEvent(static_cast<QDragMoveEvent *>(drop));
            else
                dropEvent(drop);
            return true;
        }
    }
    if (event->type() == QEvent::ToolTip) {
        auto *w = qobject_cast<QWidget *>(watched);
        if (w && w->toolTip().contains(QLatin1Char('\r'))) {
            const auto *help = static_cast<QHelpEvent *>(event);
            QToolTip::showText(help->globalPos(), ui::shownLineBreaks(w->toolTip()), w);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::refreshPortLists()
{
    const QList<platform::PortInfo> present = platform::presentPorts();
    QStringList paths;
    for (QComboBox *c : {ComboBox1, ComboBox6}) {
        for (int i = 0; i < c->count(); ++i) {
            const QString path = platform::resolvePortName(c->itemText(i), present);
            paths << path;
            const bool there = !path.isEmpty() && QFileInfo::exists(path);
            const QString device =
                path.isEmpty() ? tr("(无设备)")
                               : QStringLiteral("%1 %2").arg(path, platform::describePort(path, present))
                                     .trimmed() +
                                     (there ? QString() : QStringLiteral(" ") + tr("(不存在)"));
            c->setItemData(i, device, kPortDeviceRole);
            c->setItemData(i, there, kPortPresentRole);
            c->setItemData(i, device, Qt::ToolTipRole);
        }
        c->setToolTip(c->currentData(kPortDeviceRole).toString());
    }
    watchPortFolders(paths);
}

void TMainForm::watchPortFolders(const QStringList &paths)
{
    if (!portWatcher_) return;
    QStringList folders{QStringLiteral("/dev"), QStringLiteral("/dev/serial/by-id")};
    for (const QString &path : paths)
        if (!path.isEmpty()) folders << QFileInfo(path).absolutePath();
    // A folder that appears later (by-id, with the first USB adapter) is added then.
    const QStringList watched = portWatcher_->directories();
    for (const QString &dir : std::as_const(folders))
        if (!watched.contains(dir) && QFileInfo(dir).isDir()) portWatcher_->addPath(dir);
}

void TMainForm::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    placeForSize();
}

void TMainForm::placeForSize()
{
    QWidget *central = centralWidget();
    if (!central || !Memo1) return;
    // Every control's place in the designed size, taken once; the extra room goes to the
    // message area (both ways), the file field, the progress bar and the send area (across).
    if (anchors_.empty()) {
        const auto add = [this](QWidget *w, int how) {
            anchors_.push_back({w, w->geometry(), how});
        };
        add(Memo1, kGrow);
        add(Panel1, kGrow);
        add(RzPageControl1, kBottomStretch);
        add(StatusBar1, kBottom);
        add(Image5, kBottomRight);
        add(Edit2, kStretch);
        add(ProgressBar1, kStretch);
        add(RzMarqueeStatus1, kStretch);
        add(Memo6, kStretch);
        for (QWidget *w : std::initializer_list<QWidget *>{BitBtn2, AddressEdit, BitBtn1,
                                                           ProgressText, Label10, StopButton})
            add(w, kRight);
        // The terminal page: the send area widens; what stands right of it moves with the edge.
        add(Memo2, kStretch);
        for (QWidget *w : Memo2->parentWidget()->findChildren<QWidget *>(
                 Qt::FindDirectChildrenOnly))
            if (w != Memo2 && w->x() >= Memo2->geometry().right()) add(w, kRight);
    }
    const int dx = std::max(0, central->width() - kClientWidth);
    const int dy = std::max(0, central->height() - kClientHeight);
    for (const auto &a : anchors_) {
        QRect r = a.base;
        switch (a.how) {
        case kGrow: r.setSize(r.size() + QSize(dx, dy)); break;
        case kBottomStretch: r.translate(0, dy); r.setWidth(r.width() + dx); break;
        case kBottom: r.translate(0, dy); break;
        case kBottomRight: r.translate(dx, dy); break;
        case kStretch: r.setWidth(r.width() + dx); break;
        case kRight: r.translate(dx, 0); break;
        }
        a.w->setGeometry(r);
    }
    // The address field, when offered, takes the file field's right end.
    if (!AddressEdit->isHidden()) Edit2->resize(AddressEdit->x() - 4 - Edit2->x(), Edit2->height());
    Panel1->setPixmap(pictures::db9Help(Panel1->size() - QSize(12, 2)));
}
