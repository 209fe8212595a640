// The main window: the settings store (first start, partial and mistyped values, numeric
// fields, the unwritable store), the shared port, tabs, numeric field filter and the
// download button's line forcing per device family.
#include "app/Main.h"

#include "support/PtyPeer.h"
#include "support/TestEnv.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>

using testenv::TestEnv;

namespace {
const char *const kAllValues[] = {
    "Model",      "Port",      "BaudRate", "Data",     "Stop",     "Parity",    "HexRXD",
    "TimeTXD_ch", "TimeTXD_v", "HexTXD",   "SendNewL", "KeySend",  "SendClear", "SendStr",
    "MCUType",    "12T",       "AutoISP",  "AutoRST",  "FileName", "Delay",     "Delay1"};

QSettings storeOf(const TestEnv &env)
{
    return QSettings(env.settingsFile(), QSettings::IniFormat);
}
} // namespace

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
            w.main->close();
        }
        QSettings s = storeOf(env);
        for (const char *name : kAllValues)
            QVERIFY2(s.contains(name), name);
        QCOMPARE(s.value("BaudRate").toInt(), 12);
        QCOMPARE(s.value("Model").toInt(), 2);
        QCOMPARE(s.value("SendStr").toString(), QStringLiteral("第一行\r\nsecond"));
        QCOMPARE(s.value("12T").toString(), QStringLiteral("12T"));
        QCOMPARE(s.value("AutoRST").toInt(), 1);
        QCOMPARE(s.value("Delay1").toString(), QStringLiteral("680"));

        // The next start restores them and opens on the download page.
        auto again = CreateApplicationWindows();
        QCOMPARE(again.main->ComboBox2->currentIndex(), 12);
        QCOMPARE(again.main->ComboBox7->currentIndex(), 12); // mirrored
        QCOMPARE(again.main->RzPageControl1->currentIndex(), 0);
        QCOMPARE(again.main->SendAreaText(), QStringLiteral("第一行\r\nsecond"));
    }

    void readingStopsAtTheFirstBadInteger_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<int>("parity");
        QTest::addColumn<bool>("hexTxd");
        QTest::addColumn<QString>("delay");
        QTest::newRow("only Port to Parity")
            << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=4\n"
            << 4 << false << "5";
        QTest::newRow("mistyped HexRXD")
            << "[General]\nPort=2\nParity=1\nBaudRate=3\nData=1\nStop=2\nHexRXD=yes\n"
               "HexTXD=1\nDelay=42\n"
            << 1 << false << "5";
        QTest::newRow("index outside its list")
            << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=9\nHexTXD=1\n"
            << 0 << false << "5";
        QTest::newRow("complete")
            << "[General]\nPort=2\nBaudRate=3\nData=1\nStop=2\nParity=3\nHexRXD=0\n"
               "TimeTXD_ch=0\nTimeTXD_v=500\nHexTXD=1\nSendNewL=1\nKeySend=0\nSendClear=0\n"
               "SendStr=x\nMCUType=8\n12T=6T\nAutoISP=0\nAutoRST=1\nFileName=/tmp/a.hex\n"
               "Delay=42\nDelay1=100\n"
            << 3 << true << "42";
    }

    void readingStopsAtTheFirstBadInteger()
    {
        QFETCH(QString, ini);
        QFETCH(int, parity);
        QFETCH(bool, hexTxd);
        QFETCH(QString, delay);
        TestEnv env;
        env.writeSettings(ini);
        auto w = CreateApplicationWindows();
        QCOMPARE(w.main->ComboBox1->currentIndex(), 2);
        QCOMPARE(w.main->ComboBox6->currentIndex(), 2);
        QCOMPARE(w.main->ComboBox5->currentIndex(), parity);
        QCOMPARE(w.main->CheckHexTXD->isChecked(), hexTxd);
        // HEX send's click rule ran when it was restored.
        QCOMPARE(w.main->CheckBox7->isEnabled(), !hexTxd);
        QCOMPARE(w.main->Edit3->text(), delay);
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

    void numericFieldKeyFilter()
    {
        TestEnv env;
        auto w = CreateApplicationWindows();
        w.main->Edit3->clear(); // the change rule makes it "1"
        QCOMPARE(w.main->Edit3->text(), QStringLiteral("1"));
        QTest::keyClicks(w.main->Edit3, "a2-b");
        QCOMPARE(w.main->Edit3->text(), QStringLiteral("12"));
        QTest::keyClick(w.main->Edit3, Qt::Key_Backspace);
        QCOMPARE(w.main->Edit3->text(), QStringLiteral("1"));
        QTest::keyClick(w.main->Edit3, Qt::Key_Backspace);
        QCOMPARE(w.main->Edit3->text(), QStringLiteral("1")); // empty becomes 1
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
        // The box keeps its two lines and adds the serial layer's reason; the message area
        // keeps the reason after the box is gone.
        const QString reason = env.root() + "/absent: no such serial port";
        QCOMPARE(env.messages[0].text,
                 QStringLiteral("当前串口号已经被占用，或其它错误 ！\r"
                                "请选择其它串口，或检查串口设置是否正确。\n") +
                     reason);
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
        QCOMPARE(m.Memo1->toPlainText().split('\n').size(), 11);
        QVERIFY(m.Memo1->toPlainText().startsWith(QStringLiteral("目前版本支持MCU设备:")));
        m.RzPageControl1->setCurrentIndex(1);
        QVERIFY(m.Memo1->toPlainText().startsWith(QStringLiteral("接收区")));
        m.RzPageControl1->setCurrentIndex(3); // the forum page returns to the first
        QCOMPARE(m.RzPageControl1->currentIndex(), 0);
        QCOMPARE(env.openedUrls.size(), 1);
        QVERIFY(m.Memo1->toPlainText().startsWith(QStringLiteral("目前版本支持MCU设备:")));
        m.BitBtn10Click();
        QVERIFY(m.Panel1->isVisible() && !m.Memo1->isVisible());
        m.Image3Click();
        QVERIFY(!m.Panel1->isVisible() && m.Memo1->isVisible());
        m.StatusBar1Click();
        QCOMPARE(env.openedUrls.size(), 3);
        QVERIFY(env.openedUrls[1].startsWith("mailto:"));
    }

    void downloadButtonForcesLineSettings_data()
    {
        QTest::addColumn<int>("device");
        QTest::addColumn<int>("baudBefore");
        QTest::addColumn<int>("baudAfter");
        QTest::addColumn<int>("parityAfter");
        QTest::newRow("LPC caps 115200 at 57600") << 0 << 12 << 11 << 0;
        QTest::newRow("LPC keeps 9600") << 5 << 6 << 6 << 0;
        QTest::newRow("STM32 raises 9600 to 19200") << 6 << 6 << 8 << 2;
        QTest::newRow("STM32 keeps 115200") << 6 << 12 << 12 << 2;
        QTest::newRow("STC touches nothing") << 8 << 3 << 3 << 4;
    }

    void downloadButtonForcesLineSettings()
    {
        QFETCH(int, device);
        QFETCH(int, baudBefore);
        QFETCH(int, baudAfter);
        QFETCH(int, parityAfter);
        TestEnv env;
        env.mapPort(1, env.root() + "/absent"); // the programmer cannot open the port
        auto w = CreateApplicationWindows();
        TMainForm &m = *w.main;
        m.MCUType->setCurrentIndex(device);
        m.ComboBox2->setCurrentIndex(baudBefore);
        m.ComboBox7->setCurrentIndex(baudBefore);
        m.ComboBox3->setCurrentIndex(1);
        m.ComboBox4->setCurrentIndex(2);
        m.ComboBox5->setCurrentIndex(4);
        m.Edit2->setText(env.file("fw.hex", ":00000001FF\n"));
        m.BitBtn1Click();
        QCOMPARE(m.ComboBox2->currentIndex(), baudAfter);
        QCOMPARE(m.ComboBox7->currentIndex(), baudAfter);
        QCOMPARE(m.ComboBox5->currentIndex(), parityAfter);
        const bool stc = device >= 7;
        QCOMPARE(m.ComboBox3->currentIndex(), stc ? 1 : 3);
        QCOMPARE(m.ComboBox4->currentIndex(), stc ? 2 : 0);
        QVERIFY(m.BitBtn1->isEnabled());
        QVERIFY(m.BitBtn2->isEnabled() && m.Memo1->isEnabled());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
