// The main window: the settings store (first start, partial and mistyped values, numeric
// fields, the unwritable store, files that are refused), the shared port, tabs, numeric field
// filter, line breaks in boxes and tooltips, the download button's line forcing per device
// family, and the interface in both languages.
#include "app/Language.h"
#include "app/FileField.h"
#include "app/Main.h"

#include "logic/Devices.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"
#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"
#include "support/WindowRig.h"

#include "app/Ui.h"
#include "platform/PortNames.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QTranslator>
#include <QUrl>
#include <sys/stat.h>

using testenv::TestEnv;

Q_DECLARE_METATYPE(language::Environment)
Q_DECLARE_METATYPE(language::Language)

namespace {
QSettings storeOf(const TestEnv &env)
{
    return QSettings(env.settingsFile(), QSettings::IniFormat);
}

// Every stored value and the control it belongs to, in the order of the store: a list index
// ('i'), a check box ('c', stored 0/1), a field's text ('t'), the send text ('s'), the 12T/6T
// caption ('b'), and the page ('p'), which is written but not read (the window opens on the
// download page).
struct StoredControl
{
    const char *name;
    char kind;
    QWidget *(*control)(TMainForm &);
};
const StoredControl kStoredControls[] = {
    {"Model", 'p', [](TMainForm &w) -> QWidget * { return w.RzPageControl1; }},
    {"Port", 'i', [](TMainForm &w) -> QWidget * { return w.ComboBox1; }},
    {"BaudRate", 'i', [](TMainForm &w) -> QWidget * { return w.ComboBox2; }},
    {"Data", 'i', [](TMainForm &w) -> QWidget * { return w.ComboBox3; }},
    {"Stop", 'i', [](TMainForm &w) -> QWidget * { return w.ComboBox4; }},
    {"Parity", 'i', [](TMainForm &w) -> QWidget * { return w.ComboBox5; }},
    {"HexRXD", 'c', [](TMainForm &w) -> QWidget * { return w.CheckHexRXD; }},
    {"TimeTXD_ch", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox5; }},
    {"TimeTXD_v", 't', [](TMainForm &w) -> QWidget * { return w.Edit1; }},
    {"HexTXD", 'c', [](TMainForm &w) -> QWidget * { return w.CheckHexTXD; }},
    {"SendNewL", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox7; }},
    {"KeySend", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox6; }},
    {"SendClear", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox8; }},
    {"SendStr", 's', [](TMainForm &w) -> QWidget * { return w.Memo2; }},
    {"MCUType", 'i', [](TMainForm &w) -> QWidget * { return w.MCUType; }},
    {"12T", 'b', [](TMainForm &w) -> QWidget * { return w.BitBtn7; }},
    {"AutoISP", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox1; }},
    {"AutoRST", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox2; }},
    {"FileName", 't', [](TMainForm &w) -> QWidget * { return w.Edit2; }},
    {"Delay", 't', [](TMainForm &w) -> QWidget * { return w.Edit3; }},
    {"Delay1", 't', [](TMainForm &w) -> QWidget * { return w.Edit4; }},
    {"Verify", 'c', [](TMainForm &w) -> QWidget * { return w.CheckBox9; }},
    {"ClockMHz", 't', [](TMainForm &w) -> QWidget * { return w.ClockEdit; }},
    {"OptionEeprom", 'o', [](TMainForm &w) -> QWidget * { return w.OptionEeprom; }},
    {"OptionResetPin", 'o', [](TMainForm &w) -> QWidget * { return w.OptionResetPin; }},
    {"OptionLowVoltage", 'o', [](TMainForm &w) -> QWidget * { return w.OptionLowVoltage; }},
    {"BinaryAddress", 't', [](TMainForm &w) -> QWidget * { return w.AddressEdit; }},
};

// The control's value as the store writes it.
QString storedText(TMainForm &w, const StoredControl &c)
{
    QWidget *control = c.control(w);
    switch (c.kind) {
    case 'p':
        return QString::number(static_cast<QTabWidget *>(control)->currentIndex());
    case 'i':
        return QString::number(static_cast<QComboBox *>(control)->currentIndex());
    case 'c':
        return QString::number(int(static_cast<QCheckBox *>(control)->isChecked()));
    case 'o': { // on, off, or the chip's own value
        const Qt::CheckState state = static_cast<QCheckBox *>(control)->checkState();
        return state == Qt::Checked ? "1" : state == Qt::Unchecked ? "0" : "";
    }
    case 't':
        return static_cast<QLineEdit *>(control)->text();
    case 's':
        return w.SendAreaText();
    default:
        return static_cast<QPushButton *>(control)->text();
    }
}

void setStored(TMainForm &w, const StoredControl &c, const QString &value)
{
    QWidget *control = c.control(w);
    switch (c.kind) {
    case 'p':
        return static_cast<QTabWidget *>(control)->setCurrentIndex(value.toInt());
    case 'i':
        return static_cast<QComboBox *>(control)->setCurrentIndex(value.toInt());
    case 'c':
        return static_cast<QCheckBox *>(control)->setChecked(value == "1");
    case 'o':
        return static_cast<QCheckBox *>(control)->setCheckState(
            value == "1" ? Qt::Checked : value == "0" ? Qt::Unchecked : Qt::PartiallyChecked);
    case 't':
        return static_cast<QLineEdit *>(control)->setText(value);
    case 's':
        return w.Memo2->setPlainText(value);
    default:
        return static_cast<QPushButton *>(control)->setText(value);
    }
}

// A drag of urls (with their text, as file managers give it) entering target and dropped
// there; true when both were taken.
bool dropOn(QWidget *target, const QList<QUrl> &urls)
{
    QMimeData mime;
    mime.setUrls(urls);
    mime.setText(urls.isEmpty() ? QString() : urls.front().toString());
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, {});
    QApplication::sendEvent(target, &drop);
    return enter.isAccepted() && drop.isAccepted();
}

bool hasChinese(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x2E80 && u <= 0x9FFF) || (u >= 0x3000 && u <= 0x303F) ||
               (u >= 0xFF00 && u <= 0xFFEF);
    });
}

// What one page shows that is not in the given language or does not fit: every visible
// control's caption, tooltip and list entries, the tab titles, the message area, the status
// text and the window caption; each caption must fit its control, and no two visible
// controls of a page may overlap.
QStringList pageProblems(TMainForm &m, bool english)
{
    QStringList problems;
    const auto text = [&](const QString &where, const QString &t) {
        if (english && hasChinese(t)) problems << where + ": " + t;
    };
    const auto fits = [&](QWidget *w, const QString &t, int needed) {
        if (needed > w->width())
            problems << QStringLiteral("%1 \"%2\" needs %3 px, has %4")
                            .arg(w->objectName(), t)
                            .arg(needed)
                            .arg(w->width());
    };
    text("caption", m.windowTitle());
    text("status", m.Status());
    text("marquee", m.RzMarqueeStatus1->text());
    text("message area", m.Memo1->toPlainText());
    for (int i = 0; i < m.RzPageControl1->count(); ++i)
        text("tab", m.RzPageControl1->tabText(i));
    if (m.RzPageControl1->tabBar()->sizeHint().width() > m.RzPageControl1->width())
        problems << QStringLiteral("the tabs do not fit");
    QWidget *page = m.RzPageControl1->currentWidget();
    const QList<QWidget *> controls = page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *w : controls) {
        if (!w->isVisible()) continue;
        const QString name = w->objectName().isEmpty() ? QStringLiteral("label") : w->objectName();
        text(name + " tooltip", w->toolTip());
        text(name + " accessible name", w->accessibleName());
        const QFontMetrics fm(w->font());
        if (auto *l = qobject_cast<QLabel *>(w)) {
            text(name, l->text());
            fits(w, l->text(), fm.horizontalAdvance(l->text()));
        } else if (auto *c = qobject_cast<QCheckBox *>(w)) {
            text(name, c->text());
            const QStyle *st = c->style();
            fits(w, c->text(),
                 st->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c) +
                     st->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c) +
                     fm.horizontalAdvance(c->text()));
        } else if (auto *b = qobject_cast<QAbstractButton *>(w)) {
            const QString caption = QString(b->text()).remove(QLatin1Char('&'));
            text(name, caption);
            const int icon = b->icon().isNull() ? 0 : b->iconSize().width() + 4;
            fits(w, caption, fm.horizontalAdvance(caption) + icon + 8);
        } else if (auto *c = qobject_cast<QComboBox *>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(c);
            for (int i = 0; i < c->count(); ++i) {
                text(name, c->itemText(i));
                const QSize content(fm.horizontalAdvance(c->itemText(i)), fm.height());
                fits(w, c->itemText(i),
                     c->style()->sizeFromContents(QStyle::CT_ComboBox, &opt, content, c).width());
            }
        } else if (auto *e = qobject_cast<QPlainTextEdit *>(w)) {
            text(name, e->toPlainText());
        }
        // Empty labels too: one that draws nothing still takes the clicks meant for what it
        // covers.
        for (QWidget *other : controls)
            if (other != w && other->isVisible() && w < other &&
                w->geometry().intersects(other->geometry()))
                problems << QStringLiteral("%1 overlaps %2").arg(name, other->objectName());
    }
    return problems;
}
} // namespace

// The English translation installed for one test when asked, and removed at its end.
class EnglishFor
{
public:
    explicit EnglishFor(bool english)
    {
        ready_ = !english || (translator_.load(language::translationFile()) &&
                              QCoreApplication::installTranslator(&translator_));
    }
    ~EnglishFor() { QCoreApplication::removeTranslator(&translator_); }
    EnglishFor(const EnglishFor &) = delete;
    EnglishFor &operator=(const EnglishFor &) = delete;
    bool ready() const { return ready_; }

private:
    QTranslator translator_;
    bool ready_ = false;
};

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void firstStartCreatesEmptyStoreAndCloseWritesAllValues()
    {
        TestEnv env;
        {
            auto w = CreateApplicationWindows();
            QVERIFY(QFile::exists(env.settingsFile()));
            QCOMPARE(QFileInfo(env.settingsFile()).size(), 0);
            QCOMPARE(w.main->windowTitle(), QStringLiteral("Orvel-ISP V1.60  Orvel科技"));
            QCOMPARE(w.main->Status(), QStringLiteral("就绪"));
            QCOMPARE(w.main->MCUType->currentIndex(), 6);
            QVERIFY(!w.main->BitBtn7->isEnabled()); // STM32 entry: no 12T/6T
            w.main->ComboBox2->setCurrentIndex(12);
            w.main->Memo2->setPlainText(QStringLiteral("第一行\nsecond"));
            w.main->RzPageControl1->setCurrentIndex(2);
            QVERIFY(!w.main->CheckBox9->isChecked()); // verify is off by default
            w.main->CheckBox9->setChecked(true);
            w.main->close();
        }
        QSettings s = storeOf(env);
        for (const StoredControl &c : kStoredControls)
            QVERIFY2(s.contains(c.name), c.name);
        QCOMPARE(s.value("BaudRate").toInt(), 12);
        QCOMPARE(s.value("Model").toInt(), 2);
        QCOMPARE(s.value("SendStr").toString(), QStringLiteral("第一行\r\nsecond"));
        QCOMPARE(s.value("12T").toString(), QStringLiteral("12T"));
        QCOMPARE(s.value("AutoRST").toInt(), 1);
        QCOMPARE(s.value("Delay1").toString(), QStringLiteral("680"));
        QCOMPARE(s.value("Verify").toInt(), 1); // written after the 21

        // The next start restores them and opens on the download page.
        auto again = CreateApplicationWindows();
        QCOMPARE(again.main->ComboBox2->currentIndex(), 12);
        QCOMPARE(again.main->ComboBox7->currentIndex(), 12); // mirrored
        QCOMPARE(again.main->RzPageControl1->currentIndex(), 0);
        QCOMPARE(again.main->SendAreaText(), QStringLiteral("第一行\r\nsecond"));
        QVERIFY(again.main->CheckBox9->isChecked());
    }

    // The sequence editor shows the device entry's sequence, says what each step does as the
    // lines will see it (wiring applied), refuses a bad step, and its choices are stored after
    // the other values and come back into the next download's choices.
    void entryEditorExplainsAndStores()
    {
        TestEnv env;
        const int stm32 = testsupport::kStm32Entry;
        {
            auto w = CreateApplicationWindows();
            TMainForm &m = *w.main;
            m.MCUType->setCurrentIndex(stm32);
            EntryDialog d(m.EntrySetup, stm32, QStringLiteral("680"), &m);
            auto *entry = d.findChild<QLineEdit *>(QStringLiteral("EntrySequence"));
            auto *explained = d.findChild<QLabel *>(QStringLiteral("StepsExplained"));
            auto *swap = d.findChild<QCheckBox *>(QStringLiteral("SwapRtsDtr"));
            QPushButton *ok = d.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
            QVERIFY(entry && explained && swap && ok);
            QCOMPARE(entry->text(), QStringLiteral("dtr,rts,500ms,-dtr,500ms"));
            QVERIFY2(explained->text().contains(QStringLiteral("DTR 有效 → RTS 有效 → 等待 500 ms")),
                     qPrintable(explained->text()));
            entry->setText(QStringLiteral("rts,,dtr"));
            QVERIFY(!ok->isEnabled());
            QVERIFY(explained->text().contains(QStringLiteral("第 2 步是空的")));
            entry->setText(QStringLiteral(" DTR,100ms"));
            swap->setChecked(true);
            QVERIFY(ok->isEnabled());
            QVERIFY2(explained->text().contains(QStringLiteral("RTS 有效 → 等待 100 ms")),
                     qPrintable(explained->text()));
            m.EntrySetup = d.result();
            QCOMPARE(m.EntrySetup.entry.value(stm32), QStringLiteral("dtr,100ms"));
            QVERIFY(!m.EntrySetup.exit.contains(stm32)); // the default is not stored
            m.close();
        }
        QCOMPARE(storeOf(env).value(QStringLiteral("EntrySeq%1").arg(stm32)).toString(),
                 QStringLiteral("dtr,100ms"));
        auto again = CreateApplicationWindows();
        again.main->MCUType->setCurrentIndex(stm32);
        const DownloadChoices c = again.main->ChosenDownload();
        QVERIFY(c.entrySequence && !c.exitSequence);
        QCOMPARE(resetseq::format(*c.entrySequence), QStringLiteral("dtr,100ms"));
        QVERIFY(c.wiring.swapRtsDtr && !c.wiring.invertRts);
    }

    // The file field keeps the last eight files across starts, newest first, and the message
    // area is saved as a log.
    void firmwareFileHistoryAndLog()
    {
        TestEnv env;
        QStringList files;
        for (int i = 0; i < 10; ++i)
            files << testenv::writeFile(env.root(), QStringLiteral("fw%1.elf").arg(i), "x");
        {
            auto w = CreateApplicationWindows();
            for (const QString &f : files)
                w.main->Edit2->setText(f);
            w.main->Edit2->setText(files[5]); // again: moves to the front
            QCOMPARE(filefield::recent(w.main->Edit2),
                     (QStringList{files[5], files[9], files[8], files[7], files[6], files[4],
                                  files[3], files[2]}));
            // A typed path counts once it is typed, not each part of it on the way.
            w.main->Edit2->clear();
            QTest::keyClicks(w.main->Edit2, files[1]);
            QCOMPARE(filefield::recent(w.main->Edit2).value(0), files[5]);
            QTest::keyClick(w.main->Edit2, Qt::Key_Return);
            QCOMPARE(filefield::recent(w.main->Edit2).mid(0, 3),
                     (QStringList{files[1], files[5], files[9]}));
            w.main->Edit2->setText(files[5]);

            w.main->Memo1->setPlainText(QStringLiteral("第一行\n上载完成！"));
            const QString log = env.root() + QStringLiteral("/messages.log");
            QCOMPARE(filefield::saveLog(w.main->Memo1, log), QString());
            QFile f(log);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromUtf8(f.readAll()), QStringLiteral("第一行\n上载完成！\n"));
            QVERIFY(!filefield::saveLog(w.main->Memo1, env.root() + "/no/such/dir.log").isEmpty());
            w.main->close();
        }
        auto again = CreateApplicationWindows();
        QCOMPARE(again.main->Edit2->text(), files[5]);
        QCOMPARE(filefield::recent(again.main->Edit2).size(), filefield::kRecentFiles);
        QCOMPARE(filefield::recent(again.main->Edit2).value(1), files[1]);
    }

    // A file dropped on the window or on the file field is taken as the dialog's choice is
    // (into the field, first of the recent files, the address field offered for a binary);
    // a folder, two files and a web address are not, and the field gets no dropped text.
    void droppedFileIsTaken_data()
    {
        QTest::addColumn<bool>("onField");
        QTest::addColumn<QString>("what");
        QTest::addColumn<bool>("taken");
        for (const bool onField : {false, true}) {
            const char *where = onField ? "field: " : "window: ";
            QTest::addRow("%slocal binary", where) << onField << "bin" << true;
            QTest::addRow("%slocal HEX", where) << onField << "hex" << true;
            QTest::addRow("%sfolder", where) << onField << "folder" << false;
            QTest::addRow("%stwo files", where) << onField << "two" << false;
            QTest::addRow("%sweb address", where) << onField << "web" << false;
        }
    }

    void droppedFileIsTaken()
    {
        QFETCH(bool, onField);
        QFETCH(QString, what);
        QFETCH(bool, taken);
        TestEnv env;
        const QString bin = env.file("fw.bin", firmware::pattern(64));
        const QString hex = testenv::writeFile(env.root(), "fw.hex", ":00000001FF\n");
        const QString before = env.file("before.bin", firmware::pattern(32));
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.Edit2->setText(before);
        const QHash<QString, QList<QUrl>> drops = {
            {"bin", {QUrl::fromLocalFile(bin)}},
            {"hex", {QUrl::fromLocalFile(hex)}},
            {"folder", {QUrl::fromLocalFile(env.root())}},
            {"two", {QUrl::fromLocalFile(bin), QUrl::fromLocalFile(hex)}},
            {"web", {QUrl(QStringLiteral("https://example.org/fw.bin"))}},
        };
        QCOMPARE(dropOn(onField ? static_cast<QWidget *>(m.Edit2) : &m, drops.value(what)), taken);
        const QString now = taken ? drops.value(what).front().toLocalFile() : before;
        QCOMPARE(m.Edit2->text(), now);
        QCOMPARE(filefield::recent(m.Edit2).value(0), now);
        QCOMPARE(m.AddressEdit->isHidden(), what == "hex");
    }

    // Every stored value goes out and comes back into its own control. The values differ from
    // the defaults and from their neighbours, and the check boxes take both states over the
    // two rows, so a value written under another name or read into another control shows.
    void everyValueComesBackIntoItsOwnControl_data()
    {
        QTest::addColumn<QStringList>("values"); // in the order of kStoredControls
        // Model|Port|BaudRate|Data|Stop|Parity|HexRXD|TimeTXD_ch|TimeTXD_v|HexTXD|SendNewL|KeySend|
        // SendClear|SendStr|MCUType|12T|AutoISP|AutoRST|FileName|Delay|Delay1|Verify|ClockMHz|
        // OptionEeprom|OptionResetPin|OptionLowVoltage|BinaryAddress
        QTest::newRow("first") << QStringLiteral(
                                      "1|5|11|1|2|4|1|0|1234|1|0|1|0|A1 发送|3|6T|1|0|"
                                      "/tmp/a/fw-a.hex|37|321|1|11.0592|1|0|1|0x08004000")
                                      .split(u'|');
        QTest::newRow("second, check boxes turned over")
            << QStringLiteral("2|7|2|0|1|3|0|1|987|0|1|0|1|B2 send|9|fast|0|1|/tmp/b/fw-b.bin|73|"
                              "123|0|24|0|1|0|2000")
                   .split(u'|');
    }

    void everyValueComesBackIntoItsOwnControl()
    {
        QFETCH(QStringList, values);
        QCOMPARE(values.size(), qsizetype(std::size(kStoredControls)));
        TestEnv env;
        {
            auto w = CreateApplicationWindows();
            for (size_t i = 0; i < std::size(kStoredControls); ++i) {
                const StoredControl &c = kStoredControls[i];
                if (c.kind != 'c' && c.kind != 'o') // a box has a row with its default
                    QVERIFY2(storedText(*w.main, c) != values[i], c.name); // not the default
                if (i > 0 && c.kind == kStoredControls[i - 1].kind)
                    QVERIFY2(values[i] != values[i - 1], c.name); // nor the neighbour's
                setStored(*w.main, c, values[i]);
            }
            w.main->close();
        }
        {
            QSettings s = storeOf(env);
            for (size_t i = 0; i < std::size(kStoredControls); ++i)
                QCOMPARE(s.value(kStoredControls[i].name).toString(), values[i]);
        }
        auto again = CreateApplicationWindows();
        for (size_t i = 0; i < std::size(kStoredControls); ++i) {
            const StoredControl &c = kStoredControls[i];
            if (c.kind != 'p') QCOMPARE(storedText(*again.main, c), values[i]);
        }
    }

    void readingStopsAtTheFirstBadInteger_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("parity");
        QTest::addColumn<bool>("hexTxd");
        QTest::addColumn<QString>("delay");
        QTest::addColumn<bool>("verify"); // read on its own: a stop among the 21 leaves it
        QTest::newRow("only Port to Parity")
            << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=4\n"
            << 2 << 4 << false << "5" << false;
        QTest::newRow("mistyped HexRXD")
            << "[General]\nPort=2\nParity=1\nBaudRate=3\nData=1\nStop=2\nHexRXD=yes\n"
               "HexTXD=1\nDelay=42\nVerify=1\n"
            << 2 << 1 << false << "5" << true;
        // An index outside its list leaves that list alone; reading goes on.
        const QString rest = "HexRXD=0\nTimeTXD_ch=0\nTimeTXD_v=500\nHexTXD=1\nSendNewL=1\n"
                             "KeySend=0\nSendClear=0\nSendStr=x\nMCUType=8\n12T=6T\n"
                             "AutoISP=0\nAutoRST=1\nFileName=/tmp/a.hex\nDelay=42\nDelay1=100\n";
        QTest::newRow("Parity outside its list")
            << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=9\n" + rest << 2 << 0 << true
            << "42" << false;
        QTest::newRow("Port -1") << "[General]\nPort=-1\nBaudRate=3\nData=1\nStop=2\nParity=3\n" +
                                        rest
                                 << 0 << 3 << true << "42" << false;
        QTest::newRow("Port 8") << "[General]\nPort=8\nBaudRate=3\nData=1\nStop=2\nParity=3\n" +
                                       rest
                                << 0 << 3 << true << "42" << false;
        QTest::newRow("complete") << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=3\n" +
                                         rest
                                  << 2 << 3 << true << "42" << false;
        QTest::newRow("complete, verify after the 21")
            << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=3\n" + rest + "Verify=1\n"
            << 2 << 3 << true << "42" << true;
    }

    void readingStopsAtTheFirstBadInteger()
    {
        QFETCH(QString, ini);
        QFETCH(int, port);
        QFETCH(int, parity);
        QFETCH(bool, hexTxd);
        QFETCH(QString, delay);
        QFETCH(bool, verify);
        TestEnv env;
        env.writeSettings(ini);
        auto w = CreateApplicationWindows();
        QCOMPARE(w.main->ComboBox1->currentIndex(), port);
        QCOMPARE(w.main->ComboBox6->currentIndex(), port);
        QCOMPARE(w.main->ComboBox5->currentIndex(), parity);
        QCOMPARE(w.main->CheckHexTXD->isChecked(), hexTxd);
        // HEX send's click rule ran when it was restored.
        QCOMPARE(w.main->CheckBox7->isEnabled(), !hexTxd);
        QCOMPARE(w.main->Edit3->text(), delay);
        QCOMPARE(w.main->CheckBox9->isChecked(), verify);
        QVERIFY(env.messages.isEmpty());
    }

    // A settings file that is not a regular file (a named pipe would block its reader and
    // writer for ever) or that is larger than 1 MiB is neither read nor written: the window
    // starts with its defaults, says so once, and [Ports] paths in it are not used.
    void unusableSettingsFileIsLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("named pipe") << "fifo";
        QTest::newRow("folder") << "dir";
        QTest::newRow("dangling link") << "link";
        QTest::newRow("larger than 1 MiB") << "large";
    }

    void unusableSettingsFileIsLeftAlone()
    {
        QFETCH(QString, kind);
        TestEnv env;
        const QString path = env.settingsFile();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QByteArray large = "[General]\nPort=2\n[Ports]\nCOM1=/dev/tramelo-no-such-port\n";
        if (kind == "fifo") QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (kind == "dir") QVERIFY(QDir().mkpath(path));
        if (kind == "link") QVERIFY(QFile::link(env.root() + "/nowhere/x.conf", path));
        if (kind == "large") {
            large += ';' + QByteArray(1024 * 1024, 'x') + '\n';
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(large) == large.size());
        }
        {
            auto w = CreateApplicationWindows();
            QCOMPARE(env.messages.size(), 1);
            QVERIFY(env.messages[0].text.contains(path));
            QCOMPARE(w.main->ComboBox1->currentIndex(), 0);
            QCOMPARE(w.main->Status(), QStringLiteral("就绪"));
            QVERIFY(platform::resolvePortName("COM1") != "/dev/tramelo-no-such-port");
            w.main->close();
        }
        QCOMPARE(env.messages.size(), 1);
        const QFileInfo after(path);
        QCOMPARE(after.isFile(), kind == "large");
        if (kind == "large") QCOMPARE(after.size(), large.size());
    }

    void numericFieldsAndCaptionFromStore()
    {
        TestEnv env;
        env.writeSettings("[General]\nPort=0\nBaudRate=6\nData=3\nStop=0\nParity=0\nHexRXD=0\n"
                          "TimeTXD_ch=0\nTimeTXD_v=0\nHexTXD=0\nSendNewL=0\nKeySend=0\n"
                          "SendClear=0\nSendStr=\nMCUType=9\n12T=fast\nAutoISP=0\nAutoRST=0\n"
                          "FileName=\nDelay=\nDelay1=00\n");
        auto w = CreateApplicationWindows();
        QCOMPARE(w.main->Edit1->text(), QStringLiteral("1")); // "0" -> "1"
        QCOMPARE(w.main->Edit3->text(), QStringLiteral("1")); // "" -> "1"
        QCOMPARE(w.main->Edit4->text(), QStringLiteral("00"));
        QCOMPARE(w.main->BitBtn7->text(), QStringLiteral("fast"));
        QVERIFY(w.main->BitBtn7->isEnabled()); // an STC entry
        QVERIFY(!w.main->Edit4->isEnabled());  // automatic reset off
        w.main->BitBtn7Click();
        QCOMPARE(w.main->BitBtn7->text(), QStringLiteral("6T"));
        w.main->BitBtn7Click();
        QCOMPARE(w.main->BitBtn7->text(), QStringLiteral("12T"));
    }

    // Typed characters other than digits are refused; the editing keys work. Edit3 holds at
    // most two digits and turns an empty text into "1".
    void numericFieldKeyFilter_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QList<int>>("keys");
        QTest::addColumn<QString>("after");
        QTest::newRow("letters, signs, blank")
            << "1" << QList<int>{Qt::Key_A, Qt::Key_2, Qt::Key_Minus, Qt::Key_B, Qt::Key_Space}
            << "12";
        QTest::newRow("backspace") << "12" << QList<int>{Qt::Key_Backspace} << "1";
        QTest::newRow("backspace to empty") << "1" << QList<int>{Qt::Key_Backspace} << "1";
        QTest::newRow("home, digit") << "5" << QList<int>{Qt::Key_Home, Qt::Key_4} << "45";
        QTest::newRow("left, digit") << "5" << QList<int>{Qt::Key_Left, Qt::Key_4} << "45";
        QTest::newRow("home, end, digit")
            << "5" << QList<int>{Qt::Key_Home, Qt::Key_End, Qt::Key_4} << "54";
        QTest::newRow("home, delete") << "42" << QList<int>{Qt::Key_Home, Qt::Key_Delete} << "2";
        QTest::newRow("home, right, backspace")
            << "42" << QList<int>{Qt::Key_Home, Qt::Key_Right, Qt::Key_Backspace} << "2";
    }

    void numericFieldKeyFilter()
    {
        QFETCH(QString, before);
        QFETCH(QList<int>, keys);
        QFETCH(QString, after);
        TestEnv env;
        auto w = CreateApplicationWindows();
        w.main->Edit3->setText(before);
        for (int key : keys)
            QTest::keyClick(w.main->Edit3, Qt::Key(key));
        QCOMPARE(w.main->Edit3->text(), after);
    }

    // Texts that break their lines with a lone CR show those breaks in Qt's message boxes and
    // tooltips; the texts themselves keep their CRs.
    void loneCrBreaksLinesWhereShown()
    {
        TestEnv env;
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.show();
        m.RzPageControl1->setCurrentIndex(1);
        QVERIFY(m.CheckBox6->toolTip().contains('\r'));
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), m.CheckBox6->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(m.CheckBox6, &help);
        QCOMPARE(QToolTip::text(), QStringLiteral("选用后：\n于发送区窗口键入的字符即时发送，\n回车发送所选的行结束符"));
        QToolTip::hideText();

        ui::setMessageHandler(nullptr); // the real box
        QString boxText;
        QTimer::singleShot(0, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxText = box->text();
                box->accept();
            }
        });
        m.InfoBox(QStringLiteral("当前串口号操作错误 ！\r请选择\r\n其它串口"));
        QCOMPARE(boxText, QStringLiteral("当前串口号操作错误 ！\n请选择\n其它串口"));
    }

    void unwritableStoreShowsTheRegistrationBox()
    {
        TestEnv env;
        // A file where the settings folder should be: the store cannot be created.
        QFile blocker(QFileInfo(env.settingsFile()).absolutePath());
        QDir().mkpath(QFileInfo(blocker.fileName()).absolutePath());
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        auto w = CreateApplicationWindows();
        QCOMPARE(env.messages.size(), 1);
        QCOMPARE(env.messages[0].caption, QStringLiteral("注册软件"));
        QCOMPARE(env.messages[0].text, QStringLiteral("未知的原因，创建注册信息失败！"));
        QVERIFY(w.main->Status().isEmpty()); // the rest of the start-up did not run
        w.main->close();                     // nothing is written, nothing fails
        QCOMPARE(env.messages.size(), 1);
    }

    void sharedPortOpenAndClose()
    {
        TestEnv env;
        testsupport::PtyPeer peer;
        env.mapPort(2, peer.slavePath());
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.ComboBox1->setCurrentIndex(0); // COM1 resolves to nothing mapped... or a real port
        env.mapPort(1, env.root() + "/absent");
        QVERIFY(!m.ComPort_Open());
        QVERIFY(!m.ComPortActive);
        QCOMPARE(env.messages.size(), 1);
        QCOMPARE(env.messages[0].caption, QStringLiteral("Tramelo"));
        // The box of a port that does not exist (not one "in use") adds the serial layer's
        // reason; the message area keeps the reason after the box is gone.
        const QString reason = env.root() + "/absent: 串口不存在";
        QCOMPARE(env.messages[0].text,
                 QStringLiteral("串口不存在 ！\r请选择其它串口，或检查设备是否已连接。\n") + reason);
        QVERIFY(m.Memo1->toPlainText().endsWith(QStringLiteral("串口打开失败：") + reason));
        m.ComboBox1->setCurrentIndex(1);
        QVERIFY(m.ComPort_Open());
        QVERIFY(m.ComPortActive);
        QVERIFY(m.ComDriver->Connected());
        QVERIFY(m.ComPort_Close());
        QVERIFY(!m.ComPortActive);
        QVERIFY(!m.ComDriver->Connected());
    }

    void tabsAndPictures()
    {
        TestEnv env;
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.show();
        // The introduction names every family and line of today.
        const QString intro = m.Memo1->toPlainText();
        QVERIFY(intro.startsWith(QStringLiteral("目前版本支持MCU设备:")));
        for (const char *named : {"LPC2138", "STM32", "F0", "F4", "G0", "G4", "L4", "STC89C52RC",
                                  "STC10/11/12", "STC15", "STC8"}) {
            QVERIFY2(intro.contains(QLatin1String(named)), named);
            QVERIFY2(m.Memo6->toPlainText().contains(QLatin1String(named)) ||
                         QByteArray(named).startsWith("LPC") || QByteArray(named).startsWith("STC89"),
                     named);
        }
        m.RzPageControl1->setCurrentIndex(1);
        QVERIFY(m.Memo1->toPlainText().startsWith(QStringLiteral("接收区")));
        // Each page keeps its own text: the download log is there again on its page.
        m.AppendLine(QStringLiteral("log line"));
        QVERIFY(!m.Memo1->toPlainText().contains(QStringLiteral("log line")));
        m.RzPageControl1->setCurrentIndex(3); // the forum page returns to the first
        QCOMPARE(m.RzPageControl1->currentIndex(), 0);
        QCOMPARE(env.openedUrls.size(), 1);
        QVERIFY(m.Memo1->toPlainText().startsWith(QStringLiteral("目前版本支持MCU设备:")));
        QVERIFY(m.Memo1->toPlainText().endsWith(QStringLiteral("\nlog line")));
        m.BitBtn10Click();
        QVERIFY(m.Panel1->isVisible() && !m.Memo1->isVisible());
        m.Image3Click();
        QVERIFY(!m.Panel1->isVisible() && m.Memo1->isVisible());
        // The help picture goes with a page change: the results are not hidden under it.
        m.RzPageControl1->setCurrentIndex(1);
        m.BitBtn10Click();
        QVERIFY(m.Panel1->isVisible());
        m.RzPageControl1->setCurrentIndex(0);
        QVERIFY(!m.Panel1->isVisible() && m.Memo1->isVisible());
        m.StatusBar1Click();
        QCOMPARE(env.openedUrls.size(), 3);
        QVERIFY(env.openedUrls[1].startsWith("mailto:"));
        // Every way of starting the window (the demonstration too) gives it the icon and the
        // tooltip colour.
        QVERIFY(!QApplication::windowIcon().isNull());
        QCOMPARE(QToolTip::palette().color(QPalette::ToolTipBase), QColor(11, 255, 11));
    }

    // TRAMELO_LANG forces either language; otherwise Chinese for Chinese locales and for
    // C/POSIX or none (scripts parse today's lines), English for every other locale.
    void languageRule_data()
    {
        using language::Environment;
        using language::Language;
        QTest::addColumn<Environment>("env");
        QTest::addColumn<Language>("expected");
        const auto lang = [](const char *v) { return Environment{{}, {}, {}, {}, v}; };
        QTest::newRow("no locale") << Environment{} << Language::Chinese;
        QTest::newRow("C") << lang("C") << Language::Chinese;
        QTest::newRow("C.UTF-8") << lang("C.UTF-8") << Language::Chinese;
        QTest::newRow("POSIX") << lang("POSIX") << Language::Chinese;
        QTest::newRow("zh_CN.UTF-8") << lang("zh_CN.UTF-8") << Language::Chinese;
        QTest::newRow("zh_TW.UTF-8") << lang("zh_TW.UTF-8") << Language::Chinese;
        QTest::newRow("en_US.UTF-8") << lang("en_US.UTF-8") << Language::English;
        QTest::newRow("de_DE.UTF-8") << lang("de_DE.UTF-8") << Language::English;
        QTest::newRow("LC_ALL before LANG")
            << Environment{{}, {}, "en_GB.UTF-8", {}, "zh_CN.UTF-8"} << Language::English;
        QTest::newRow("LC_MESSAGES before LANG")
            << Environment{{}, {}, {}, "zh_CN.UTF-8", "en_US.UTF-8"} << Language::Chinese;
        QTest::newRow("LANGUAGE under de_DE")
            << Environment{{}, "zh_CN:en", {}, {}, "de_DE.UTF-8"} << Language::Chinese;
        QTest::newRow("LANGUAGE ignored under C")
            << Environment{{}, "en_US", {}, {}, "C"} << Language::Chinese;
        QTest::newRow("TRAMELO_LANG=en under zh_CN")
            << Environment{"en", {}, {}, {}, "zh_CN.UTF-8"} << Language::English;
        QTest::newRow("TRAMELO_LANG=zh under en_US")
            << Environment{"zh", {}, "en_US.UTF-8", {}, {}} << Language::Chinese;
    }

    void languageRule()
    {
        QFETCH(language::Environment, env);
        QFETCH(language::Language, expected);
        QCOMPARE(language::choose(env), expected);
    }

    // Each page in Chinese and in English: in English nothing visible is left untranslated,
    // and in both every caption fits its control of the window's fixed layout.
    void everyPageInBothLanguages_data()
    {
        QTest::addColumn<bool>("english");
        QTest::newRow("Chinese") << false;
        QTest::newRow("English") << true;
    }

    void everyPageInBothLanguages()
    {
        QFETCH(bool, english);
        TestEnv env;
        const EnglishFor english_(english);
        QVERIFY(english_.ready());
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        QCOMPARE(hasChinese(m.BitBtn1->text()), !english);
        // The download button's red caption turns grey while it is disabled (a download runs).
        const auto redPixels = [&m] {
            const QImage shot = m.BitBtn1->grab().toImage();
            int n = 0;
            for (int y = 0; y < shot.height(); ++y)
                for (int x = 0; x < shot.width(); ++x) {
                    const QColor c = shot.pixelColor(x, y);
                    n += c.red() > 150 && c.green() < 90 && c.blue() < 90;
                }
            return n;
        };
        QVERIFY(redPixels() > 0);
        m.BitBtn1->setEnabled(false);
        QCOMPARE(redPixels(), 0);
        m.BitBtn1->setEnabled(true);
        // A status text longer than its panel is cut short there and shown whole as the
        // panel's tooltip; the status itself keeps it whole.
        const QString longStatus = QStringLiteral("串口打开失败：") + env.root() +
                                   QStringLiteral("/a/rather/long/device/path: 串口不存在");
        m.SetStatus(longStatus);
        QCOMPARE(m.Status(), longStatus);
        QLabel *panel0 = nullptr;
        for (QLabel *l : m.StatusBar1->findChildren<QLabel *>())
            if (!panel0 || l->x() < panel0->x()) panel0 = l;
        QVERIFY(panel0);
        QVERIFY(panel0->fontMetrics().horizontalAdvance(panel0->text()) + panel0->indent() +
                    2 * panel0->frameWidth() <=
                panel0->width());
        QCOMPARE(panel0->toolTip(), longStatus);
        m.SetStatus(QStringLiteral("OK"));
        QCOMPARE(panel0->text(), QStringLiteral("OK"));
        QVERIFY(panel0->toolTip().isEmpty());
        // A binary file chosen: its address field is on the page too.
        m.Edit2->setText(env.file("fw.bin", firmware::pattern(16)));
        QVERIFY(m.AddressEdit->isVisible());
        for (const int page : {0, 1, 2}) {
            m.RzPageControl1->setCurrentIndex(page);
            QCoreApplication::processEvents();
            const QStringList problems = pageProblems(m, english);
            QVERIFY2(problems.isEmpty(), qPrintable(QStringLiteral("page %1: ").arg(page) +
                                                    problems.join(QStringLiteral("\n"))));
        }
        // The port button's caption carries its state in either language: open, then close.
        testsupport::PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        m.RzPageControl1->setCurrentIndex(1);
        m.ComboBox1->setCurrentIndex(0);
        const QString closedCaption = m.BitBtn3->text();
        m.BitBtn3->click();
        QVERIFY(m.ComDriver->Connected());
        QVERIFY(m.BitBtn3->text() != closedCaption);
        QCOMPARE(hasChinese(m.BitBtn3->text()), !english);
        m.BitBtn3->click();
        QVERIFY(!m.ComDriver->Connected());
        QCOMPARE(m.BitBtn3->text(), closedCaption);
        m.close();
    }

    // Tab and Shift+Tab go through every enabled control of a page in reading order; Tab in the
    // send area moves on rather than typing a tab into the text to send.
    void tabGoesThroughEveryControl_data()
    {
        QTest::addColumn<int>("page");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("download") << 0
                                  << QStringList{"MCUType",   "Edit2",     "BitBtn2",
                                                 "ComboBox6", "ComboBox7", "Edit3",
                                                 "CheckBox9", "CheckBox2", "Edit4",
                                                 "CheckBox1", "BitBtn7",   "BitBtn1",
                                                 "StopButton"};
        QTest::newRow("download, a binary file and its address")
            << -2 << QStringList{"MCUType",   "Edit2",     "AddressEdit", "BitBtn2",
                                 "ComboBox6", "ComboBox7", "Edit3",       "CheckBox9",
                                 "CheckBox2", "Edit4",     "CheckBox1",   "BitBtn1"};
        QTest::newRow("download, STC15 options")
            << -1
            << QStringList{"MCUType", "ClockEdit", "Edit2", "BitBtn2", "ComboBox6", "ComboBox7",
                           "Edit3", "CheckBox2", "Edit4", "CheckBox1", "BitBtn1",
                           "OptionEeprom", "OptionResetPin", "OptionLowVoltage"};
        QTest::newRow("terminal") << 1
                                  << QStringList{"ComboBox1", "ComboBox2",   "ComboBox3",
                                                 "ComboBox4", "ComboBox5",   "BitBtn3",
                                                 "CheckBox3", "CheckBox4",   "CheckHexRXD",
                                                 "BitBtn5",   "BitBtn9",     "Memo2",
                                                 "CheckStamps", "StampGap",  "LogButton",
                                                 "PlotButton", "BitBtn4",   "BitBtn6",
                                                 "BitBtn8",   "CheckHexTXD", "CheckBox7",
                                                 "LineEndList", "CheckBox6",
                                                 "CheckBox8", "CheckBox5",   "Edit1",
                                                 "BitBtn10"};
    }

    void tabGoesThroughEveryControl()
    {
        QFETCH(int, page);
        QFETCH(QStringList, order);
        TestEnv env;
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.show();
        m.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&m));
        if (page == -2) { // the download page with a binary file
            page = 0;
            m.Edit2->setText(env.file("fw.bin", firmware::pattern(16)));
        }
        if (page == -1) { // the download page with an STC15 entry
            page = 0;
            const int stc15 = devices::findDevice(u"stc15");
            m.MCUType->setCurrentIndex(stc15);
            emit m.MCUType->activated(stc15);
        }
        m.RzPageControl1->setCurrentIndex(page);
        const QString sendText = m.Memo2->toPlainText();
        // Disabled or hidden controls take no focus (the 12T/6T button for the STM32 entry,
        // the stop button while nothing runs, the STC options for other entries).
        order.erase(std::remove_if(order.begin(), order.end(),
                                   [&](const QString &name) {
                                       const QWidget *w = m.findChild<QWidget *>(name);
                                       return !w->isEnabled() || !w->isVisible();
                                   }),
                    order.end());
        m.findChild<QWidget *>(order.first())->setFocus(Qt::TabFocusReason);
        QStringList forward{QApplication::focusWidget()->objectName()};
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            forward << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(forward, order);
        QStringList backward{forward.last()};
        for (int i = 1; i < order.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
            backward.prepend(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(backward, order);
        QCOMPARE(m.Memo2->toPlainText(), sendText);
    }

    // Qt's own texts (the buttons of message boxes, file dialogs) follow the interface language.
    void qtTextsFollowTheLanguage_data() { everyPageInBothLanguages_data(); }

    void qtTextsFollowTheLanguage()
    {
        QFETCH(bool, english);
        const QByteArray before = qgetenv("TRAMELO_LANG");
        qputenv("TRAMELO_LANG", english ? "en" : "zh");
        const auto restore = qScopeGuard([&] {
            qputenv("TRAMELO_LANG", before);
            for (QTranslator *t : qApp->findChildren<QTranslator *>()) {
                QCoreApplication::removeTranslator(t);
                delete t;
            }
        });
        QCOMPARE(language::install(*qApp),
                 english ? language::Language::English : language::Language::Chinese);
        QDialogButtonBox box(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        const QString ok = box.button(QDialogButtonBox::Ok)->text();
        const QString cancel = box.button(QDialogButtonBox::Cancel)->text();
        QCOMPARE(hasChinese(ok), !english);
        QCOMPARE(hasChinese(cancel), !english);
    }

    // A whole STM32 download (with read-back verification) against a simulated board speaks
    // the interface's language in every message line and status text, and every status text
    // fits the status bar's fixed first panel.
    void downloadInBothLanguages_data() { everyPageInBothLanguages_data(); }

    void downloadInBothLanguages()
    {
        QFETCH(bool, english);
        TestEnv env;
        const EnglishFor english_(english);
        QVERIFY(english_.ready());
        sim::Stm32Sim board;
        testsupport::PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        peer.attach(&board);
        auto w = CreateApplicationWindows();
        const auto detach = qScopeGuard([&] { peer.attach(nullptr); });
        TMainForm &m = *w.main;
        QStringList shown;
        QStringList statuses;
        std::optional<DownloadResult> ended;
        m.OnLine = [&](const QString &line) { shown << line; };
        m.OnStatusText = [&](const QString &text) { statuses << text; };
        m.OnDownloadEnded = [&](DownloadResult r) { ended = r; };
        m.MCUType->setCurrentIndex(devices::firstIndexOf(devices::Family::Stm32));
        m.ComboBox1->setCurrentIndex(0);
        m.CheckBox2->setChecked(false);
        m.CheckBox2Click();
        m.CheckBox9->setChecked(true);
        m.Edit2->setText(env.file(QStringLiteral("fw.bin"), firmware::pattern(3000)));
        m.show();
        QVERIFY(QTest::qWaitForWindowExposed(&m));
        m.BitBtn1->click();
        QTRY_VERIFY_WITH_TIMEOUT(ended.has_value(), 20000);
        QCOMPARE(*ended, DownloadResult::Written);
        QVERIFY(shown.size() > 5);
        for (const QString &t : shown + statuses)
            QVERIFY2(hasChinese(t) != english || t.startsWith(QLatin1String("Product ID")),
                     qPrintable(t));
        QList<QLabel *> panels = m.StatusBar1->findChildren<QLabel *>();
        QVERIFY(!panels.isEmpty());
        QLabel *first = *std::min_element(panels.cbegin(), panels.cend(),
                                          [](auto *a, auto *b) { return a->x() < b->x(); });
        const QFontMetrics fm(first->font());
        for (const QString &t : statuses) {
            const int needed = fm.horizontalAdvance(t) + first->indent() + 2 * first->frameWidth();
            QVERIFY2(needed <= first->width(),
                     qPrintable(QStringLiteral("\"%1\" needs %2 px, has %3")
                                    .arg(t)
                                    .arg(needed)
                                    .arg(first->width())));
        }
        const QStringList problems = pageProblems(m, english);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QStringLiteral("\n"))));
        m.close();
    }

    // A binary goes to the address the field beside the file names (hex, as the command line's
    // --address takes it): the image lands there; one over the boot loader, into the boot
    // block or past the flash is refused, named, before the board hears a byte.
    void binaryAddressField_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("refused"); // the address the refusal names; "": written
        const int stm32 = testsupport::kStm32Entry;
        QTest::newRow("STM32 at 0x08004000") << stm32 << "0x08004000"
                                             << "";
        QTest::newRow("STM32 over the boot loader") << stm32 << "1FFFF000"
                                                    << "0x1FFFF000";
        QTest::newRow("STM32 past the flash") << stm32 << "0x081FFF00"
                                              << "0x081FFF00";
        QTest::newRow("LPC2136 into the boot block") << testsupport::kLpc2136Entry << "7cf00"
                                                     << "0x0007CF00";
    }

    void binaryAddressField()
    {
        QFETCH(int, device);
        QFETCH(QString, address);
        QFETCH(QString, refused);
        testsupport::BoardRig<sim::Stm32Sim> r;
        TMainForm &m = r.main();
        r.select(device, testsupport::kBaud115200Index);
        m.MCUTypeChange();
        r.setAutomaticReset(false);
        const QByteArray image = firmware::pattern(2000);
        const QString file = r.env.file("fw.bin", image);
        m.Edit2->setText(file);
        QVERIFY(!m.AddressEdit->isHidden());
        QTest::keyClicks(m.AddressEdit, address + "zz"); // as typed: only hex digits get in
        QCOMPARE(m.AddressEdit->text(), address);
        const QByteArray below = r.sim.flash(0x08000000, 0x4000);
        r.start(file);
        QVERIFY(r.waitForEnds(1, 20000));
        if (refused.isEmpty()) {
            QCOMPARE(r.results.last(), DownloadResult::Written);
            QCOMPARE(r.sim.flash(0x08004000, image.size()), image);
            QCOMPARE(r.sim.flash(0x08000000, 0x4000), below); // untouched
        } else {
            QCOMPARE(r.results.last(), DownloadResult::RefusedFile);
            QCOMPARE(r.peer.receivedCount(), 0);
            QVERIFY2(r.lines.last().contains(refused), qPrintable(r.lines.join('\n')));
        }
    }

    // A download sets the line its family needs on the port only: the terminal's lists (7
    // data bits, 2 stop bits, odd parity) and the stored values stay the user's. The stop
    // button ends it where it is and releases the port; device, file, port and 12T wait.
    void downloadLeavesTheTerminalLineAndStops_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("baud");       // the lists' rate
        QTest::addColumn<int>("portBaud");   // the port's during the download; -1: own port
        QTest::addColumn<int>("portParity");
        QTest::newRow("LPC caps 115200 at 57600") << 0 << 12 << 11 << 0;
        QTest::newRow("LPC keeps 9600") << 5 << 6 << 6 << 0;
        QTest::newRow("STM32 raises 9600 to 19200") << 6 << 6 << 8 << 2;
        QTest::newRow("STM32 keeps 115200") << 6 << 12 << 12 << 2;
        QTest::newRow("STC89 opens its own port") << 8 << 3 << -1 << -1;
        QTest::newRow("STC12 opens its own port") << devices::findDevice(u"stc12") << 12 << -1 << -1;
    }

    void downloadLeavesTheTerminalLineAndStops()
    {
        QFETCH(int, device);
        QFETCH(int, baud);
        QFETCH(int, portBaud);
        QFETCH(int, portParity);
        TestEnv env;
        testsupport::PtyPeer peer; // nobody answers: the download waits until it is stopped
        env.mapPort(1, peer.slavePath());
        {
            auto w = CreateApplicationWindows();
            TMainForm &m = *w.main;
            m.MCUType->setCurrentIndex(device);
            m.MCUTypeChange();
            m.ComboBox2->setCurrentIndex(baud);
            m.ComboBox7->setCurrentIndex(baud);
            m.ComboBox3->setCurrentIndex(2);
            m.ComboBox4->setCurrentIndex(2);
            m.ComboBox5->setCurrentIndex(1);
            m.CheckBox2->setChecked(false);
            m.Edit2->setText(env.file("fw.bin", firmware::pattern(2000)));
            QStringList lines;
            std::optional<DownloadResult> ended;
            m.OnLine = [&](const QString &line) { lines << line; };
            m.OnDownloadEnded = [&](DownloadResult r) { ended = r; };
            m.BitBtn1->click();
            QTRY_VERIFY(m.DownloadRunning() && peer.receivedCount() > 0);
            if (portBaud >= 0) {
                QCOMPARE(int(m.ComDriver->ComPortSpeed()), portBaud);
                QCOMPARE(int(m.ComDriver->ComPortDataBits()), 3);
                QCOMPARE(int(m.ComDriver->ComPortStopBits()), 0);
                QCOMPARE(int(m.ComDriver->ComPortParity()), portParity);
            }
            for (QWidget *c :
                 std::initializer_list<QWidget *>{m.MCUType, m.Edit2, m.AddressEdit, m.BitBtn2,
                                                  m.ComboBox6, m.BitBtn7, m.BitBtn1})
                QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
            QVERIFY(m.StopButton->isEnabled());
            // A file dropped meanwhile is not taken.
            const QString chosen = m.Edit2->text();
            QVERIFY(!dropOn(&m, {QUrl::fromLocalFile(env.file("other.bin", "x"))}));
            QCOMPARE(m.Edit2->text(), chosen);
            m.StopButton->click();
            QTRY_VERIFY_WITH_TIMEOUT(ended.has_value(), 10000);
            QCOMPARE(*ended, DownloadResult::Failed);
            QVERIFY2(lines.last().startsWith(QStringLiteral("已停止下载，停在：")),
                     qPrintable(lines.join('\n')));
            QVERIFY(m.MCUType->isEnabled() && m.Edit2->isEnabled() && m.BitBtn1->isEnabled());
            QVERIFY(!m.StopButton->isEnabled());
            // The port is free again: the terminal opens it.
            QVERIFY(!m.ComDriver->Connected());
            QVERIFY(m.ComPort_Open());
            QVERIFY(m.ComPort_Close());
            QCOMPARE(m.ComboBox2->currentIndex(), baud);
            QCOMPARE(m.ComboBox7->currentIndex(), baud);
            QCOMPARE(m.ComboBox3->currentIndex(), 2);
            QCOMPARE(m.ComboBox4->currentIndex(), 2);
            QCOMPARE(m.ComboBox5->currentIndex(), 1);
            m.close();
        }
        QSettings s = storeOf(env);
        QCOMPARE(s.value("BaudRate").toInt(), baud);
        QCOMPARE(s.value("Data").toInt(), 2);
        QCOMPARE(s.value("Parity").toInt(), 1);
    }

    // An STC download to a name that stands for no port present says so in the interface's
    // language, in the line and in the box (which does not call the port "in use").
    void stcPortThatIsNotThereInBothLanguages_data() { everyPageInBothLanguages_data(); }

    void stcPortThatIsNotThereInBothLanguages()
    {
        QFETCH(bool, english);
        TestEnv env;
        if (platform::presentPorts().size() >= 8) QSKIP("COM8 stands for a port of this machine");
        const EnglishFor english_(english);
        QVERIFY(english_.ready());
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        QStringList lines;
        std::optional<DownloadResult> ended;
        m.OnLine = [&](const QString &line) { lines << line; };
        m.OnDownloadEnded = [&](DownloadResult r) { ended = r; };
        m.MCUType->setCurrentIndex(devices::findDevice(u"stc12"));
        m.ComboBox6->setCurrentIndex(7);
        m.ComboBox6Change();
        m.Edit2->setText(env.file("fw.bin", firmware::pattern(500)));
        m.BitBtn1->click();
        QTRY_VERIFY(ended.has_value());
        QCOMPARE(*ended, DownloadResult::PortNotOpened);
        QCOMPARE(env.messages.size(), 1);
        QVERIFY(env.messages[0].text.startsWith(english ? QStringLiteral("The port does not exist")
                                                        : QStringLiteral("串口不存在")));
        for (const QString &t : lines + QStringList{env.messages[0].text})
            QVERIFY2(hasChinese(t) != english, qPrintable(t));
        QVERIFY(lines.last().contains(QStringLiteral("COM8")));
    }

    // The window grows and shrinks back to its designed size, which is its smallest; the
    // message area takes the room, the tabs and the status strip stay at the bottom, and the
    // size comes back at the next start.
    void windowGrowsAndRemembersItsSize()
    {
        TestEnv env;
        {
            auto w = CreateApplicationWindows();
            TMainForm &m = *w.main;
            m.show();
            QVERIFY(QTest::qWaitForWindowExposed(&m));
            QCOMPARE(m.size(), QSize(580, 373));
            const QRect memo = m.Memo1->geometry(), tabs = m.RzPageControl1->geometry();
            m.resize(800, 600);
            QTRY_COMPARE(m.Memo1->geometry().size(), memo.size() + QSize(220, 227));
            QCOMPARE(m.RzPageControl1->geometry().top(), tabs.top() + 227);
            QCOMPARE(m.StatusBar1->geometry().bottom(), m.centralWidget()->height() - 1);
            QCOMPARE(m.BitBtn1->geometry().right(), 563 + 220); // keeps its place at the right
            m.resize(100, 100);
            QTRY_COMPARE(m.size(), QSize(580, 373));
            QCOMPARE(m.Memo1->geometry(), memo);
            m.resize(700, 500);
            QTRY_COMPARE(m.size(), QSize(700, 500));
            m.close();
        }
        QCOMPARE(storeOf(env).value("WindowWidth").toInt(), 700);
        auto again = CreateApplicationWindows();
        QCOMPARE(again.main->size(), QSize(700, 500));
    }

    // A port that comes or goes shows in both lists without opening them: the folder of a
    // name's device is watched as /dev is (here a [Ports] link such as socat makes).
    void portListsFollowPlugAndUnplug()
    {
        TestEnv env;
        testsupport::PtyPeer peer;
        QVERIFY(QDir().mkpath(env.root() + "/ports"));
        const QString link = env.root() + "/ports/ttyV0";
        env.mapPort(3, link);
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        const auto absent = [&m] {
            QList<bool> shown;
            for (QComboBox *c : {m.ComboBox1, m.ComboBox6})
                shown << c->itemData(2, Qt::ToolTipRole)
                             .toString()
                             .contains(QStringLiteral("(不存在)"));
            return shown;
        };
        QCOMPARE(absent(), (QList<bool>{true, true}));
        QVERIFY(QFile::link(peer.slavePath(), link)); // plugged in
        QTRY_COMPARE_WITH_TIMEOUT(absent(), (QList<bool>{false, false}), 5000);
        QVERIFY(QFile::remove(link)); // pulled out
        QTRY_COMPARE_WITH_TIMEOUT(absent(), (QList<bool>{true, true}), 5000);
    }

    // The port lists show the device each name stands for now and which names stand for
    // nothing; the STC12/15/8 entries bring their option boxes (in the strip's row) and the
    // command line's 115200.
    void portListsAndStcOptions()
    {
        TestEnv env;
        testsupport::PtyPeer peer;
        env.mapPort(1, peer.slavePath());
        env.mapPort(2, env.root() + "/gone");
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.show();
        m.refreshPortLists();
        for (QComboBox *c : {m.ComboBox1, m.ComboBox6}) {
            QVERIFY(c->itemData(0, Qt::ToolTipRole).toString().startsWith(peer.slavePath()));
            QVERIFY(c->itemData(1, Qt::ToolTipRole).toString().contains(QStringLiteral("(不存在)")));
        }
        const int stc15 = devices::findDevice(u"stc15");
        QVERIFY(!m.OptionEeprom->isVisible() && m.RzMarqueeStatus1->isVisible());
        m.ComboBox7->setCurrentIndex(6);
        m.MCUType->setCurrentIndex(stc15);
        emit m.MCUType->activated(stc15);
        QVERIFY(m.OptionEeprom->isVisible() && !m.RzMarqueeStatus1->isVisible());
        QCOMPARE(m.ComboBox7->currentIndex(), 12);
        QCOMPARE(m.ComboBox2->currentIndex(), 12);
        m.OptionResetPin->setCheckState(Qt::Unchecked);
        m.OptionLowVoltage->setCheckState(Qt::Checked);
        const DownloadChoices c = m.ChosenDownload();
        QVERIFY(!c.eraseEeprom.has_value());
        QCOMPARE(c.resetPinEnabled, std::optional<bool>(false));
        QCOMPARE(c.lowVoltageReset, std::optional<bool>(true));
        m.MCUType->setCurrentIndex(6);
        emit m.MCUType->activated(6);
        QVERIFY(!m.OptionEeprom->isVisible() && m.RzMarqueeStatus1->isVisible());
        QVERIFY(!m.ChosenDownload().resetPinEnabled.has_value());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
