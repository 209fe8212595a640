// The terminal page through the real window and a pseudo-terminal: what goes out for each
// way of sending and line ending, the counters, what the receive area shows (and that it
// leaves other pages' text alone), time stamps, saving and loading files, the log, the plot,
// an adapter that vanishes and comes back.
#include "app/Main.h"

#include "support/PtyPeer.h"
#include "support/TestEnv.h"
#include "support/Window.h"

#include "logic/Terminal.h"
#include "platform/SerialPort.h"

#include "app/PlotWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QInputMethodEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSpinBox>
#include <unistd.h>
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

    // Send on key press sends what is typed: characters (GBK), Enter as the chosen line
    // ending, Backspace 0x08, Tab 0x09; nothing for a modifier alone; every byte counted.
    void sendOnKeyPress()
    {
        Rig r;
        r.m->CheckBox6->setChecked(true);
        QApplication::setActiveWindow(r.m);
        r.m->Memo2->setFocus();
        QTest::keyClicks(r.m->Memo2, "abc.,-/");
        QTest::keyClick(r.m->Memo2, 'A', Qt::ShiftModifier);
        QTest::keyClick(r.m->Memo2, Qt::Key_Shift);
        QTest::keyClick(r.m->Memo2, Qt::Key_Control);
        QTest::keyClick(r.m->Memo2, Qt::Key_Return);
        QTest::keyClick(r.m->Memo2, Qt::Key_Backspace);
        QTest::keyClick(r.m->Memo2, Qt::Key_Tab);
        QCOMPARE(r.m->focusWidget(), r.m->Memo2); // Tab was sent, not a move
        QInputMethodEvent chinese;
        chinese.setCommitString(QStringLiteral("你"));
        QApplication::sendEvent(r.m->Memo2, &chinese);
        const QByteArray expected("abc.,-/A\r\n\x08\t\xC4\xE3");
        QVERIFY(r.peer.waitForReceived(expected.size(), 2000));
        QTest::qWait(50);
        QCOMPARE(r.peer.received(), expected);
        QCOMPARE(r.sent(), QStringLiteral("S:%1").arg(expected.size()));
        // Ctrl+Tab moves the focus on and sends nothing.
        QTest::keyClick(r.m->Memo2, Qt::Key_Tab, Qt::ControlModifier);
        QVERIFY(r.m->focusWidget() != r.m->Memo2);
        QCOMPARE(r.m->RzPageControl1->currentIndex(), 1);
        // With clear after send only the last typed character stays.
        r.m->CheckBox8->setChecked(true);
        r.m->Memo2->clear();
        r.m->Memo2->setFocus();
        QTest::keyClicks(r.m->Memo2, "xyz");
        QCOMPARE(r.m->Memo2->toPlainText(), QStringLiteral("z"));
    }

    // The chosen line ending goes out with the send button (发送新行), the timer and Enter
    // under send on key press; CR LF is the default.
    void lineEndingsOnTheWire_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("ending");
        QTest::newRow("CR") << 0 << QByteArray("\r");
        QTest::newRow("LF") << 1 << QByteArray("\n");
        QTest::newRow("CR LF") << 2 << QByteArray("\r\n");
    }

    void lineEndingsOnTheWire()
    {
        QFETCH(int, index);
        QFETCH(QByteArray, ending);
        Rig r;
        QCOMPARE(r.m->LineEndList->currentIndex(), 2);
        r.m->LineEndList->setCurrentIndex(index);
        r.m->CheckBox7->setChecked(true);
        r.m->Memo2->setPlainText("go");
        r.m->BitBtn4Click();
        const QByteArray once = "go" + ending;
        QVERIFY(r.peer.waitForReceived(once.size(), 2000));
        QCOMPARE(r.peer.received(), once);
        QCOMPARE(r.sent(), QStringLiteral("S:2"));
        r.peer.clearLog();
        r.m->Edit1->setText("40");
        r.m->CheckBox5->setChecked(true);
        QVERIFY(r.peer.waitForReceived(2 * once.size(), 3000));
        r.m->CheckBox5->setChecked(false);
        QVERIFY(r.peer.received().startsWith(once + once));
        QTest::qWait(100);
        r.peer.clearLog();
        r.m->Memo2->clear();
        r.m->CheckBox6->setChecked(true);
        r.m->Memo2->setFocus();
        QTest::keyClick(r.m->Memo2, Qt::Key_Return);
        QVERIFY(r.peer.waitForReceived(ending.size(), 2000));
        QCOMPARE(r.peer.received(), ending);
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

    // A device that vanishes (its pseudo-terminal ends) and comes back under the same link:
    // the page says so, keeps its text and its button, and reopens the port with the same
    // line settings; closing the port by hand ends the wait.
    void reconnectsUnderTheSameLink()
    {
        TestEnv env;
        auto peer = std::make_unique<PtyPeer>();
        const QString link = env.root() + QStringLiteral("/board");
        QVERIFY(QFile::link(peer->slavePath(), link));
        env.mapPort(1, link);
        ApplicationWindows w = CreateApplicationWindows();
        TMainForm *m = w.main.get();
        m->show();
        m->RzPageControl1->setCurrentIndex(1);
        m->ComboBox3->setCurrentIndex(2); // 7 data bits
        m->ComboBox5->setCurrentIndex(1); // odd parity
        m->BitBtn3Click();
        QVERIFY(m->ComPortActive);
        peer->send("before");
        QVERIFY(QTest::qWaitFor([&] { return m->ReceivedCount == 6; }, 2000));

        // Every reconnection below is asserted within a deadline of its own.
        for (int round = 0; round < 2; ++round) {
            peer->closeMaster();
            QVERIFY(QTest::qWaitFor([&] { return m->TerminalReconnecting(); }, 2000));
            QVERIFY(!m->ComPortActive);
            QCOMPARE(m->BitBtn3->text(), QStringLiteral("关闭串口"));
            QVERIFY(m->Status().contains(QStringLiteral("等待它重新连接")));
            QVERIFY(m->Memo1->toPlainText().startsWith(QStringLiteral("before")));
            QVERIFY(env.messages.isEmpty());
            peer = std::make_unique<PtyPeer>();
            QFile::remove(link);
            QVERIFY(QFile::link(peer->slavePath(), link));
            QVERIFY(QTest::qWaitFor([&] { return m->ComPortActive; }, 3000));
            QVERIFY(!m->TerminalReconnecting());
            QCOMPARE(m->ComDriver->ComPortDataBits(), TComPortDataBits(2));
            QCOMPARE(m->ComDriver->ComPortParity(), TComPortParity(1));
            peer->send("+");
            QVERIFY(QTest::qWaitFor(
                [&] { return m->ReceivedCount == 7 + round; }, 2000));
            m->Memo2->setPlainText("hi");
            m->BitBtn4Click();
            QVERIFY(peer->waitForReceived(2, 2000));
        }
        QVERIFY(QTest::qWaitFor(
            [&] { return m->Memo1->toPlainText().startsWith(QStringLiteral("before++")); },
            2000));

        // Closed by hand while waiting: nothing reopens it.
        peer->closeMaster();
        QVERIFY(QTest::qWaitFor([&] { return m->TerminalReconnecting(); }, 2000));
        m->BitBtn3Click();
        QCOMPARE(m->BitBtn3->text(), QStringLiteral("打开串口"));
        QVERIFY(!m->TerminalReconnecting());
        peer = std::make_unique<PtyPeer>();
        QFile::remove(link);
        QVERIFY(QFile::link(peer->slavePath(), link));
        QTest::qWait(600);
        QVERIFY(!m->ComPortActive);
    }

    // Time stamps are the arrival of each line's first byte: two lines sent 400 ms apart carry
    // stamps at least that far apart (less a poll), and a rebuild (HEX and back, as after a
    // page change) draws the same stamps again. The counters count the bytes only, and the
    // saved area keeps the stamps.
    void timeStampsTakenAtArrival()
    {
        Rig r;
        r.m->CheckStamps->setChecked(true);
        QVERIFY(r.m->StampGap->isEnabled());
        r.peer.send("one\r\n");
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount == 5; }, 2000));
        QTest::qWait(400);
        r.peer.send("two");
        QVERIFY(QTest::qWaitFor([&] { return r.shown().contains("two"); }, 2000));
        const QStringList lines = r.shown().split('\n');
        QCOMPARE(lines.size(), 2);
        const QRegularExpression stamp(QStringLiteral("^\\[(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})\\] "));
        const auto msOf = [&](const QString &line) {
            const auto m = stamp.match(line);
            return m.hasMatch() ? ((m.captured(1).toInt() * 60 + m.captured(2).toInt()) * 60 +
                                   m.captured(3).toInt()) * 1000 + m.captured(4).toInt()
                                : -1;
        };
        QVERIFY2(msOf(lines[0]) >= 0 && lines[0].endsWith(" one"), qPrintable(lines[0]));
        QVERIFY2(msOf(lines[1]) >= 0 && lines[1].endsWith(" two"), qPrintable(lines[1]));
        const int apart = (msOf(lines[1]) - msOf(lines[0]) + 86400000) % 86400000;
        QVERIFY2(apart >= 390, qPrintable(QString::number(apart)));
        QCOMPARE(r.m->StatusBar1->panelText(2), QStringLiteral("R:8"));
        const QString shown = r.shown();
        r.m->CheckHexRXD->setChecked(true);
        QVERIFY(r.shown().startsWith(lines[0].left(15) + "6F 6E 65 0D 0A "));
        r.m->CheckHexRXD->setChecked(false);
        QCOMPARE(r.shown(), shown);
        const QString saved = r.env.root() + "/rx.txt";
        r.env.fileAnswers << saved;
        r.m->BitBtn9Click();
        QFile f(saved);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), (lines[0] + "\r\n" + lines[1]).toLatin1());
    }

    // The log: what arrives (and, marked, what is sent) reaches the file within a second; a
    // removed folder stops it with a message while the terminal goes on receiving.
    void logStopsWhenItsFolderGoes()
    {
        Rig r;
        const QString folder = r.env.root() + "/logs";
        QVERIFY(QDir().mkpath(folder));
        r.env.fileAnswers << folder + "/session.log";
        r.m->LogSent->setChecked(true);
        r.m->LogToFile->trigger();
        QVERIFY(r.m->LogToFile->isChecked());
        r.peer.send("hello\r\n");
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount == 7; }, 2000));
        r.m->Memo2->setPlainText("AT");
        r.m->BitBtn4Click();
        QFile f(folder + "/session.log");
        QVERIFY(QTest::qWaitFor(
            [&] {
                return f.open(QIODevice::ReadOnly) && (f.readAll() == "hello\r\n>> AT\r\n" ||
                                                       (f.close(), false));
            },
            3000));
        f.close();
        QVERIFY(QDir(folder).removeRecursively());
        r.peer.send("more");
        QVERIFY(QTest::qWaitFor([&] { return !r.m->LogToFile->isChecked(); }, 3000));
        QVERIFY(r.m->Status().contains(QStringLiteral("记录已停止")));
        r.peer.send("!");
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount == 12; }, 2000));
        QVERIFY(r.m->ComPortActive);
    }

    // A full disk (a small tmpfs, which only root can mount) stops the log the same way.
    void logStopsOnAFullDisk()
    {
        if (::geteuid() != 0) QSKIP("mounting a small tmpfs needs root");
        TestEnv scratch;
        const QString disk = scratch.root() + "/disk";
        QVERIFY(QDir().mkpath(disk));
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", disk}) != 0)
            QSKIP("this system refuses to mount a tmpfs");
        const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {disk}); });
        Rig r;
        r.env.fileAnswers << disk + "/session.log";
        r.m->LogToFile->trigger();
        QVERIFY(r.m->LogToFile->isChecked());
        const QByteArray block(1000, 'x');
        for (int i = 0; i < 100 && r.m->LogToFile->isChecked(); ++i) {
            r.peer.send(block);
            QTest::qWait(20);
        }
        QVERIFY(QTest::qWaitFor([&] { return !r.m->LogToFile->isChecked(); }, 3000));
        QVERIFY(r.m->Status().contains(QStringLiteral("记录已停止")));
        QVERIFY(r.m->ComPortActive);
        const qint32 before = r.m->ReceivedCount;
        r.peer.send("ok");
        QVERIFY(QTest::qWaitFor([&] { return r.m->ReceivedCount != before; }, 2000));
    }

    // The terminal's later choices are stored after the older keys and come back; a file
    // written before them (here: without them) loads with their defaults.
    void laterChoicesAreStored()
    {
        TestEnv env;
        {
            auto w = CreateApplicationWindows();
            QCOMPARE(w.main->LineEndList->currentIndex(), 2);
            QVERIFY(!w.main->CheckStamps->isChecked());
            QCOMPARE(w.main->StampGap->value(), 20);
            QVERIFY(!w.main->LogSent->isChecked());
            w.main->LineEndList->setCurrentIndex(1);
            w.main->CheckStamps->setChecked(true);
            w.main->StampGap->setValue(75);
            w.main->LogSent->setChecked(true);
            w.main->PlotButtonClick();
            w.main->PlotWindow->setWindowSeconds(42);
            w.main->close();
        }
        QFile f(env.settingsFile());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        f.close();
        const qsizetype clock = text.indexOf("ClockMHz=");
        QVERIFY(clock > 0);
        for (const char *key : {"LineEnd=1", "Stamps=1", "StampGapMs=75", "LogSent=1",
                                "PlotSeconds=42"})
            QVERIFY2(text.indexOf(key) > clock, key);
        {
            auto w = CreateApplicationWindows();
            QCOMPARE(w.main->LineEndList->currentIndex(), 1);
            QCOMPARE(w.main->NewLine, QByteArray("\n"));
            QVERIFY(w.main->CheckStamps->isChecked());
            QCOMPARE(w.main->StampGap->value(), 75);
            QVERIFY(w.main->LogSent->isChecked());
            w.main->PlotButtonClick();
            QCOMPARE(w.main->PlotWindow->windowSeconds(), 42);
        }
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text.left(text.indexOf("LineEnd=")));
        f.close();
        auto w = CreateApplicationWindows();
        QCOMPARE(w.main->LineEndList->currentIndex(), 2);
        QCOMPARE(w.main->NewLine, QByteArray("\r\n"));
        QVERIFY(!w.main->CheckStamps->isChecked());
        QCOMPARE(w.main->StampGap->value(), 20);
    }

    // The plot reads the numbers of each received line; its CSV export holds exactly the values
    // sent, garbage lines give no curve.
    void plotExportsWhatWasSent()
    {
        Rig r;
        r.m->PlotButtonClick();
        TPlotWindow *plot = r.m->PlotWindow;
        QVERIFY(plot && plot->isVisible());
        QByteArray stream("booting...\r\n");
        QByteArray expected("time_s,a,b\r\n");
        for (int i = 0; i < 200; ++i) {
            const QByteArray a = QByteArray::number(i * 0.25), b = QByteArray::number(-i);
            stream += "a:" + a + ",b:" + b + "\r\n";
            if (i % 50 == 7) stream += "oops 1\n";
            expected += "," + a + "," + b + "\r\n";
        }
        r.peer.send(stream);
        QVERIFY(QTest::qWaitFor([&] { return plot->data().rowCount() == 200; }, 3000));
        QCOMPARE(plot->data().curveCount(), 2);
        plot->redraw();
        QByteArray csv = plot->shownCsv();
        // The times are the arrival of the lines; compare the values.
        QList<QByteArray> rows = csv.split('\n');
        for (QByteArray &row : rows)
            if (row.contains(',') && !row.startsWith("time_s")) row = row.mid(row.indexOf(','));
        QCOMPARE(rows.join('\n'), expected);
        plot->pause->setChecked(true);
        r.peer.send("a:1000,b:1\r\n");
        QVERIFY(QTest::qWaitFor([&] { return plot->data().rowCount() == 201; }, 2000));
    }
};

QTEST_MAIN(TestTerminalWindow)
#include "tst_terminal_window.moc"
