// The terminal page through the real window and a pseudo-terminal: what goes out for each
// way of sending, the counters, what the receive area shows (and that it leaves other pages'
// text alone), saving and loading files, an adapter that vanishes.
#include "app/Main.h"

#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"

#include "logic/Terminal.h"
#include "platform/SerialPort.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <mutex>

using testenv::TestEnv;
using testsupport::PtyPeer;

class TestTerminalWindow : public QObject
{
    Q_OBJECT

    struct Rig
    {
        TestEnv env;
        PtyPeer peer;
        ApplicationWindows w;
        TMainForm *m = nullptr;
        Rig()
        {
            env.mapPort(1, peer.slavePath());
            w = CreateApplicationWindows();
            m = w.main.get();
            m->show();
            m->RzPageControl1->setCurrentIndex(1);
            m->Memo2->clear();
            m->BitBtn3Click();
        }
        QString sent() const { return m->StatusBar1->panelText(1); }
        QString shown() const { return m->Memo1->toPlainText(); }
        // Lets a few poll ticks pass so the peer's bytes reach the window.
        void settle(int ms = 160) const { QTest::qWait(ms); }
    };

private slots:
    void openAndClose()
    {
        Rig r;
        QCOMPARE(r.m->BitBtn3->text(), QStringLiteral("关闭串口"));
        QVERIFY(r.m->ComPortActive);
        QCOMPARE(r.sent(), QStringLiteral("S:0"));
        r.m->BitBtn3Click();
        QCOMPARE(r.m->BitBtn3->text(), QStringLiteral("打开串口"));
        QVERIFY(!r.m->ComDriver->Connected());
    }

    void textSendingAndCounter()
    {
        Rig r;
        r.m->BitBtn4Click(); // empty area, no new line: nothing
        r.m->CheckBox7->setChecked(true);
        r.m->BitBtn4Click(); // empty area with new line: CR LF, counter stays
        QVERIFY(r.peer.waitForReceived(2, 2000));
        QCOMPARE(r.peer.received(), QByteArray("\r\n"));
        QCOMPARE(r.sent(), QStringLiteral("S:0"));
        r.peer.clearLog();
        r.m->Memo2->setPlainText("abc\nde");
        r.m->BitBtn4Click();
        QVERIFY(r.peer.waitForReceived(9, 2000));
        QCOMPARE(r.peer.received(), QByteArray("abc\r\nde\r\n"));
        QCOMPARE(r.sent(), QStringLiteral("S:7"));
        // Chinese text goes out as GBK: two bytes a character.
        r.peer.clearLog();
        r.m->CheckBox7->setChecked(false);
        r.m->Memo2->setPlainText(QStringLiteral("你好"));
        r.m->BitBtn4Click();
        QVERIFY(r.peer.waitForReceived(4, 2000));
        QCOMPARE(r.peer.received(), QByteArray("\xC4\xE3\xBA\xC3"));
        QCOMPARE(r.sent(), QStringLiteral("S:11"));
        // Clear after send.
        r.m->CheckBox8->setChecked(true);
        r.m->BitBtn4Click();
        QVERIFY(r.m->Memo2->toPlainText().isEmpty());
    }

    void hexSending()
    {
        Rig r;
        r.m->CheckBox7->setChecked(true);
        r.m->CheckHexTXD->setChecked(true);
        QVERIFY(!r.m->CheckBox7->isEnabled() && r.m->CheckBox7->isChecked());
        r.m->Memo2->setPlainText("0x41 0x42");
        r.m->BitBtn4Click();
        QVERIFY(r.peer.waitForReceived(3, 2000));
        QCOMPARE(r.peer.received(), QByteArray("\x04\x10\x42")); // no new line in HEX mode
        r.peer.clearLog();
        r.m->Memo2->setPlainText("12 34 5");
        r.m->BitBtn4Click();
        QVERIFY(r.peer.waitForReceived(2, 2000));
        QTest::qWait(50);
        QCOMPARE(r.peer.received(), QByteArray("\x12\x34"));
        QCOMPARE(r.sent(), QStringLiteral("S:5"));
        r.m->CheckHexTXD->setChecked(false);
        QVERIFY(r.m->CheckBox7->isEnabled());
    }

    void sendOnKeyPress()
    {
        Rig r;
        r.m->CheckBox6->setChecked(true);
        r.m->Memo2->setFocus();
        QTest::keyClick(r.m->Memo2, Qt::Key_A);
        QTest::keyClick(r.m->Memo2, Qt::Key_A, Qt::ShiftModifier);
        QTest::keyClick(r.m->Memo2, Qt::Key_Shift);
        QTest::keyClick(r.m->Memo2, Qt::Key_Return);
        // Shift+A is Shift going down (0x10) and then the A key, which gives 0x41 as without
        // Shift; Shift alone gives 0x10.
        QVERIFY(r.peer.waitForReceived(5, 2000));
        QCOMPARE(r.peer.received(), QByteArray("\x41\x10\x41\x10\x0D"));
        QCOMPARE(r.sent(), QStringLiteral("S:0")); // key sends are not counted
        // With clear after send only the last typed character stays.
        r.m->CheckBox8->setChecked(true);
        r.m->Memo2->clear();
        QTest::keyClicks(r.m->Memo2, "xyz");
        QCOMPARE(r.m->Memo2->toPlainText(), QStringLiteral("z"));
    }

    void timedSendOnlyOnTheTerminalPage()
    {
        Rig r;
        r.m->Memo2->setPlainText("T");
        r.m->Edit1->setText("50");
        r.m->CheckBox5->setChecked(true);
        QVERIFY(!r.m->Edit1->isEnabled());
        QVERIFY(r.peer.waitForReceived(2, 2000));
        r.m->RzPageControl1->setCurrentIndex(2);
        QTest::qWait(80);
        const qsizetype before = r.peer.receivedCount();
        QTest::qWait(200);
        QCOMPARE(r.peer.receivedCount(), before); // another page: nothing sent
        r.m->RzPageControl1->setCurrentIndex(1);
        QVERIFY(r.peer.waitForReceived(before + 2, 2000));
        r.m->CheckBox5->setChecked(false);
        QVERIFY(!r.m->Timer1->isActive());
        // Intervals under 50 ms tick on a precise timer, longer ones on a coarse one.
        for (const auto &[interval, type] :
             {std::pair{"49", Qt::PreciseTimer}, std::pair{"50", Qt::CoarseTimer},
              std::pair{"5", Qt::PreciseTimer}}) {
            r.m->Edit1->setText(interval);
            r.m->CheckBox5->setChecked(true);
            QCOMPARE(r.m->Timer1->timerType(), type);
            r.m->CheckBox5->setChecked(false);
        }
        // An interval of 00 never ticks.
        r.m->Edit1->setText("00");
        r.m->CheckBox5->setChecked(true);
        QVERIFY(!r.m->Timer1->isActive());
        // A pasted interval that is not a number: the conversion error is reported, no timer.
        r.m->CheckBox5->setChecked(false);
        r.m->Edit1->setText("12a");
        r.m->CheckBox5->setChecked(true);
        QVERIFY(!r.m->Timer1->isActive());
        QCOMPARE(r.env.messages.size(), 1);
        QCOMPARE(r.env.messages[0].text, QStringLiteral("'12a' is not a valid integer value"));
    }

    void receivingTextAndHex()
    {
        Rig r;
        r.peer.send("\xC4");
        r.settle();
        r.peer.send("\xE3");
        r.settle();
        QCOMPARE(r.shown(), QStringLiteral("你"));
        QCOMPARE(r.m->StatusBar1->panelText(2), QStringLiteral("R:2"));
        r.peer.send(QByteArray("A\0B", 3));
        r.settle();
        QCOMPARE(r.shown(), QStringLiteral("你AB"));
        r.m->CheckHexRXD->setChecked(true);
        QCOMPARE(r.shown(), QStringLiteral("C4 E3 41 00 42 "));
        r.m->CheckHexRXD->setChecked(false);
        QCOMPARE(r.shown(), QStringLiteral("你AB"));
        // Chunks that arrive on another page are neither stored nor counted.
        r.m->RzPageControl1->setCurrentIndex(0);
        r.peer.send("zzz");
        r.settle();
        QCOMPARE(r.m->StatusBar1->panelText(2), QStringLiteral("R:5"));
        r.m->RzPageControl1->setCurrentIndex(1);
        r.peer.send("\r\nok");
        r.settle();
        QCOMPARE(r.shown(), QStringLiteral("你AB\nok"));
    }

    // Text received just before a page change is not drawn over the new page's text; the
    // store keeps it and the terminal page shows it with the next chunk.
    void receivedTextStaysOffOtherPages_data()
    {
        QTest::addColumn<int>("page");
        QTest::newRow("download") << 0;
        QTest::newRow("about") << 2;
    }

    void receivedTextStaysOffOtherPages()
    {
        QFETCH(int, page);
        Rig r;
        r.peer.send("first ");
        r.settle(); // drawn: later chunks are gathered and drawn in batches
        r.peer.send("second");
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount == 12; }, 2000));
        r.m->RzPageControl1->setCurrentIndex(page);
        const QString pageText = r.shown();
        r.settle(300); // well past the batch time
        QCOMPARE(r.shown(), pageText);
        QVERIFY(!pageText.contains(QStringLiteral("second")));
        r.m->RzPageControl1->setCurrentIndex(1);
        r.peer.send("!");
        r.settle();
        QCOMPARE(r.shown(), QStringLiteral("first second!"));
    }

    void receiveLimitEmptiesTheStore()
    {
        Rig r;
        const QByteArray block(999, 'x');
        for (int i = 0; i < 10; ++i) {
            r.peer.send(block);
            QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount == (i + 1) * 999; }, 2000));
        }
        QCOMPARE(r.m->ReceivedCount, 9990);
        r.peer.send(QByteArray(10, 'y'));
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount != 9990; }, 2000));
        QCOMPARE(r.m->ReceivedCount, 0);
        QVERIFY(r.m->ReceivedBytes.isEmpty());
        QVERIFY(r.shown().isEmpty());
        QCOMPARE(r.m->StatusBar1->panelText(2), QStringLiteral("R:0"));
    }

    void saveAndLoadFiles()
    {
        Rig r;
        r.peer.send("A\r\n");
        r.settle();
        r.m->CheckHexRXD->setChecked(true);
        const QString hexFile = r.env.root() + "/rx.txt";
        QFile::remove(hexFile);
        r.env.fileAnswers << hexFile;
        r.m->BitBtn9Click();
        QFile f(hexFile);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("41 0D 0A "));
        f.close();
        r.m->CheckHexRXD->setChecked(false);
        r.env.fileAnswers << hexFile; // replaced without a question
        r.m->BitBtn9Click();
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("A\r\n"));
        f.close();

        // After a page change and back the area keeps the page's own text, and the file holds
        // what it shows.
        r.m->CheckHexRXD->setChecked(true);
        r.m->RzPageControl1->setCurrentIndex(0);
        r.m->RzPageControl1->setCurrentIndex(1);
        r.env.fileAnswers << hexFile;
        r.m->BitBtn9Click();
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray pageText = f.readAll();
        f.close();
        QCOMPARE(pageText, QByteArray("41 0D 0A "));
        QCOMPARE(pageText, terminal::encodeGbk(r.shown().replace('\n', QStringLiteral("\r\n"))));
        r.m->CheckHexRXD->setChecked(false);

        const QString in = r.env.file("in.txt", QByteArray("one\rtwo\nthree\0hidden", 20));
        r.env.fileAnswers << in;
        r.m->BitBtn6Click();
        QCOMPARE(r.m->SendAreaText(), QStringLiteral("one\r\ntwo\r\nthree"));
        QCOMPARE(r.m->Memo2->toolTip(), in);
        r.m->BitBtn4Click();
        QVERIFY(r.peer.waitForReceived(15, 2000));
        QCOMPARE(r.sent(), QStringLiteral("S:15"));
    }

    void listChangeReopensThePortWithLinesLow()
    {
        Rig r;
        QList<platform::SerialTraceEvent> trace;
        std::mutex m;
        platform::setSerialTracer([&](const platform::SerialTraceEvent &e) {
            std::lock_guard lock(m);
            trace.append(e);
        });
        r.m->ComboBox2->setCurrentIndex(testsupport::kBaud115200Index);
        r.m->ComboBox1Change();
        platform::setSerialTracer(nullptr);
        QVERIFY(r.m->ComPortActive);
        QCOMPARE(r.m->ComboBox7->currentIndex(), 12);
        QCOMPARE(r.m->BitBtn3->text(), QStringLiteral("关闭串口"));
        std::lock_guard lock(m);
        auto count = [&](platform::SerialTraceEvent::Kind k) {
            return std::count_if(trace.begin(), trace.end(),
                                 [k](const auto &e) { return e.kind == k; });
        };
        QCOMPARE(count(platform::SerialTraceEvent::Close), 1);
        QCOMPARE(count(platform::SerialTraceEvent::Open), 1);
        QVERIFY(std::any_of(trace.begin(), trace.end(), [](const auto &e) {
            return e.kind == platform::SerialTraceEvent::Line && e.line.baud == 115200;
        }));
        // After the reopen DTR and RTS are low whatever the boxes show.
        QVERIFY(std::none_of(trace.begin(), trace.end(), [](const auto &e) {
            return (e.kind == platform::SerialTraceEvent::Dtr ||
                    e.kind == platform::SerialTraceEvent::Rts) &&
                   e.on;
        }));
    }

    // A reopen that fails leaves the port closed, and the button says so. The reason stays
    // in the status bar, not in the receive area (which holds received data, saved as such).
    void listChangeToAMissingPortResetsTheButton()
    {
        Rig r;
        r.peer.send("data");
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount == 4; }, 2000));
        r.env.mapPort(2, r.env.root() + QStringLiteral("/no-such-adapter"));
        r.m->ComboBox1->setCurrentIndex(1);
        r.m->ComboBox1Change();
        QVERIFY(!r.m->ComPortActive);
        QCOMPARE(r.m->BitBtn3->text(), QStringLiteral("打开串口"));
        QCOMPARE(r.env.messages.size(), 1); // the failed open says why
        QVERIFY(r.m->Status().contains(QStringLiteral("no-such-adapter")));
        r.settle();
        QCOMPARE(r.shown(), QStringLiteral("data"));
        const QString saved = r.env.root() + "/rx.txt";
        r.env.fileAnswers << saved;
        r.m->BitBtn9Click();
        QFile f(saved);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("data"));
    }

    void vanishedAdapterFailsTheWrite()
    {
        Rig r;
        r.m->ComDriver->OutputTimeout = 300;
        r.peer.closeMaster();
        r.m->Memo2->setPlainText("hello");
        r.m->BitBtn4Click();
        QCOMPARE(r.env.messages.size(), 1);
        QCOMPARE(r.env.messages[0].text,
                 QStringLiteral("当前串口号操作错误 ！\r请选择其它串口，或检查串口是否已经无效。"));
        QCOMPARE(r.m->BitBtn3->text(), QStringLiteral("打开串口"));
        QVERIFY(!r.m->ComPortActive);
        QCOMPARE(r.sent(), QStringLiteral("S:5")); // counted even though it failed
    }

    // An adapter unplugged while the port is open and nothing is being sent: the first failed
    // read closes the port, resets the button and says so in the status bar.
    void vanishedAdapterClosesThePortOnRead()
    {
        Rig r;
        r.peer.closeMaster();
        QVERIFY(QTest::qWaitFor([&] { return !r.m->ComPortActive; }, 2000));
        QVERIFY(!r.m->ComDriver->Connected());
        QCOMPARE(r.m->BitBtn3->text(), QStringLiteral("打开串口"));
        QCOMPARE(r.m->Status(), QStringLiteral("串口读取失败（设备已拔出？），已关闭串口"));
        QVERIFY(r.env.messages.isEmpty());
    }
};

QTEST_MAIN(TestTerminalWindow)
#include "tst_terminal_window.moc"
