// Reading and writing the 21 values of the settings store, and the later choices after them
// (verify, clock, the terminal's, the STC options, the window's size).
// Reading and writing the 21 values of the settings store, and the later choices after them.
#include "app/FileField.h"
#include "app/Main.h"

#include "app/PlotWindow.h"
#include "app/Ui.h"
#include "logic/Devices.h"
#include "platform/Settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QAction>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

namespace {

// Reading stops silently at the first integer value that is missing or not an integer: what
// was read before stays applied, the rest keeps the form defaults. A list index outside its
// list (-1, "no entry", included) leaves only that list at its default.
struct StopReading
{
};

using StoreFile = platform::SettingsStore::FileState;

// Said once at start when the settings file is refused.
QString refusedStoreText(StoreFile state, const QString &path)
{
    if (state == StoreFile::TooLarge)
        return QCoreApplication::translate(
                   "TMainForm", "设置文件大于 %1 KB，未读取；本次使用默认设置，关闭时不保存。\n%2")
            .arg(platform::SettingsStore::kMaxFileSize / 1024)
            .arg(path);
    return QCoreApplication::translate(
               "TMainForm", "设置文件不是普通文件，未读取；本次使用默认设置，关闭时不保存。\n%1")
        .arg(path);
}

qint32 needInt(const platform::SettingsStore &s, const char *name)
{
    const auto v = s.readInt(name);
    if (!v) throw StopReading{};
    return *v;
}

void readIndex(const platform::SettingsStore &s, const char *name, QComboBox *list)
{
    const qint32 v = needInt(s, name);
    if (v >= 0 && v < list->count()) list->setCurrentIndex(v);
}

void readCheck(const platform::SettingsStore &s, const char *name, QCheckBox *box)
{
    box->setChecked(needInt(s, name) != 0);
}

} // namespace

bool TMainForm::readSettings()
{
    const StoreFile state = platform::SettingsStore::fileState();
    switch (state) {
    case StoreFile::Missing:
        return platform::SettingsStore::create();
    case StoreFile::NotRegular:
    case StoreFile::TooLarge:
        ui::message({this, QStringLiteral("Tramelo"),
                     refusedStoreText(state, platform::SettingsStore::filePath()),
                     ui::Icon::Exclamation, false});
        return true;
    case StoreFile::Usable:
        break;
    }
    const platform::SettingsStore s;
    try {
        readIndex(s, "Port", ComboBox1);
        readIndex(s, "BaudRate", ComboBox2);
        readIndex(s, "Data", ComboBox3);
        readIndex(s, "Stop", ComboBox4);
        readIndex(s, "Parity", ComboBox5);
        readCheck(s, "HexRXD", CheckHexRXD);
        readCheck(s, "TimeTXD_ch", CheckBox5);
        Edit1->setText(s.readString("TimeTXD_v"));
        readCheck(s, "HexTXD", CheckHexTXD);
        readCheck(s, "SendNewL", CheckBox7);
        readCheck(s, "KeySend", CheckBox6);
        readCheck(s, "SendClear", CheckBox8);
        Memo2->setPlainText(
            s.readString("SendStr").replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        readIndex(s, "MCUType", MCUType);
        BitBtn7->setText(s.readString("12T"));
        readCheck(s, "AutoISP", CheckBox1);
        readCheck(s, "AutoRST", CheckBox2);
        Edit2->setText(s.readString("FileName"));
        QStringList recentFiles{Edit2->text()};
        for (int n = 1; n <= filefield::kRecentFiles; ++n)
            if (const QString f = s.readString(QByteArray("RecentFile" + QByteArray::number(n)).constData());
                !f.isEmpty())
                recentFiles << f;
        filefield::setRecent(Edit2, recentFiles);
        Edit3->setText(s.readString("Delay"));
        Edit4->setText(s.readString("Delay1"));
    } catch (const StopReading &) {
    }
    // Written after the 21 values; a store without it keeps the box's default (off).
    if (const auto verify = s.readInt("Verify")) CheckBox9->setChecked(*verify != 0);
    // Written after "Verify"; a store without it leaves the field empty (the chip's own clock).
    ClockEdit->setText(s.readString("ClockMHz"));
    ClockEdit->setEnabled(devices::trimsClock(MCUType->currentIndex()));
    // The terminal's later choices, written after "ClockMHz"; each one missing keeps its
    // default (CR LF, no stamps, 20 ms, sent bytes not logged, a plot of 10 s).
    if (const auto v = s.readInt("LineEnd"); v && *v >= 0 && *v < LineEndList->count())
        LineEndList->setCurrentIndex(*v);
    if (const auto v = s.readInt("StampGapMs"); v && *v >= StampGap->minimum() &&
                                                *v <= StampGap->maximum())
        StampGap->setValue(*v);
    if (const auto v = s.readInt("Stamps")) CheckStamps->setChecked(*v != 0);
    if (const auto v = s.readInt("LogSent")) LogSent->setChecked(*v != 0);
    if (const auto v = s.readInt("PlotSeconds"); v && *v > 0) plotSeconds_ = *v;
    // Written after "PlotSeconds"; a store without it leaves the field empty (11059.2).
    CrystalEdit->setText(s.readString("CrystalKHz"));
    // Written after the terminal's later choices.
    EntrySetup.read(s);
    // Written after "PlotSeconds": the STC12/STC15/STC8 options ("1" on, "0" off, anything else
    // keeps the chip's value) and the window's size. A store without them keeps the defaults.
    for (const auto &[name, box] : {std::pair{"OptionEeprom", OptionEeprom},
                                    std::pair{"OptionResetPin", OptionResetPin},
                                    std::pair{"OptionLowVoltage", OptionLowVoltage}}) {
        const QString v = s.readString(name);
        box->setCheckState(v == u"1" ? Qt::Checked : v == u"0" ? Qt::Unchecked
                                                                : Qt::PartiallyChecked);
    }
    const auto width = s.readInt("WindowWidth"), height = s.readInt("WindowHeight");
    if (width && height) resize(QSize(*width, *height).expandedTo(minimumSize()).boundedTo({16384, 16384}));
    if (const auto maximised = s.readInt("WindowMaximized"); maximised && *maximised)
        setWindowState(windowState() | Qt::WindowMaximized);
    // Written after the window's size; a store without it leaves the field empty (flash start).
    AddressEdit->setText(s.readString("BinaryAddress"));
    if (!AddressEdit->hasAcceptableInput()) AddressEdit->clear(); // not an address the field takes
    return true;
}

void TMainForm::writeSettings()
{
    if (!platform::SettingsStore::exists()) return;
    platform::SettingsStore s;
    s.writeInt("Model", RzPageControl1->currentIndex());
    s.writeInt("Port", ComboBox1->currentIndex());
    s.writeInt("BaudRate", ComboBox2->currentIndex());
    s.writeInt("Data", ComboBox3->currentIndex());
    s.writeInt("Stop", ComboBox4->currentIndex());
    s.writeInt("Parity", ComboBox5->currentIndex());
    s.writeInt("HexRXD", CheckHexRXD->isChecked());
    s.writeInt("TimeTXD_ch", CheckBox5->isChecked());
    s.writeString("TimeTXD_v", Edit1->text());
    s.writeInt("HexTXD", CheckHexTXD->isChecked());
    s.writeInt("SendNewL", CheckBox7->isChecked());
    s.writeInt("KeySend", CheckBox6->isChecked());
    s.writeInt("SendClear", CheckBox8->isChecked());
    s.writeString("SendStr", SendAreaText());
    s.writeInt("MCUType", MCUType->currentIndex());
    s.writeString("12T", BitBtn7->text());
    s.writeInt("AutoISP", CheckBox1->isChecked());
    s.writeInt("AutoRST", CheckBox2->isChecked());
    s.writeString("FileName", Edit2->text());
    const QStringList recentFiles = filefield::recent(Edit2);
    for (int n = 1; n <= filefield::kRecentFiles; ++n)
        s.writeString(QByteArray("RecentFile" + QByteArray::number(n)).constData(),
                      recentFiles.value(n - 1));
    s.writeString("Delay", Edit3->text());
    s.writeString("Delay1", Edit4->text());
    s.writeInt("Verify", CheckBox9->isChecked());
    s.writeString("ClockMHz", ClockEdit->text());
    s.writeInt("LineEnd", LineEndList->currentIndex());
    s.writeInt("Stamps", CheckStamps->isChecked());
    s.writeInt("StampGapMs", StampGap->value());
    s.writeInt("LogSent", LogSent->isChecked());
    s.writeInt("PlotSeconds", PlotWindow ? PlotWindow->windowSeconds() : plotSeconds_);
    s.writeString("CrystalKHz", CrystalEdit->text());
    EntrySetup.write(s);
    for (const auto &[name, box] : {std::pair{"OptionEeprom", OptionEeprom},
                                    std::pair{"OptionResetPin", OptionResetPin},
                                    std::pair{"OptionLowVoltage", OptionLowVoltage}})
        s.writeString(name, box->checkState() == Qt::Checked     ? QStringLiteral("1")
                            : box->checkState() == Qt::Unchecked ? QStringLiteral("0")
                                                                 : QString());
    // The size of the normal (not maximised) window, and whether it was maximised.
    const QSize size = isMaximized() && normalGeometry().isValid() ? normalGeometry().size()
                                                                   : this->size();
    s.writeInt("WindowWidth", size.width());
    s.writeInt("WindowHeight", size.height());
    s.writeInt("WindowMaximized", isMaximized());
    s.writeString("BinaryAddress", AddressEdit->text());
    s.flush();
}
