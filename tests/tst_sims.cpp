// The boot-loader simulators must accept exactly what the chips accept: a simulator that
// takes a wrong frame would let a faulty programmer pass its end-to-end test. Each table
// feeds right and wrong frames directly, whole and byte by byte; the pty peer is checked
// through a real open of its slave, and the virtual board behind it.
#include "logic/Stm32Image.h"
#include "sim/Board.h"
#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/PtyPeer.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using sim::Fault;
using sim::LpcSim;
using sim::StcSim;
using sim::Stm32Sim;

namespace {

struct Exchange
{
    QByteArray send;
    QByteArray expect;
};
using Conversation = QList<Exchange>;

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Independent uuencoder for the tests (length character, groups of four, grave accent for 0).
QByteArray uuLine(QByteArrayView raw)
{
    auto ch = [](int v) { return char(v == 0 ? 0x60 : v + 0x20); };
    QByteArray out(1, ch(int(raw.size())));
    for (qsizetype i = 0; i < raw.size(); i += 3) {
        const int b0 = quint8(raw[i]);
        const int b1 = i + 1 < raw.size() ? quint8(raw[i + 1]) : 0;
        const int b2 = i + 2 < raw.size() ? quint8(raw[i + 2]) : 0;
        out += ch(b0 >> 2);
        out += ch(((b0 & 0x03) << 4) | (b1 >> 4));
        out += ch(((b1 & 0x0F) << 2) | (b2 >> 6));
        out += ch(b2 & 0x3F);
    }
    return out + "\r\n";
}

QByteArray sumLine(QByteArrayView raw)
{
    quint32 sum = 0;
    for (const char c : raw)
        sum += quint8(c);
    return QByteArray::number(sum) + "\r\n";
}

// Feeds every exchange, once whole and once one byte at a time into a second simulator made
// by the factory, and compares each answer.
template <typename Factory> void converse(Factory make, const Conversation &conversation)
{
    auto whole = make();
    auto bytewise = make();
    for (const Exchange &e : conversation) {
        QCOMPARE(whole->feed(e.send), e.expect);
        QByteArray answer;
        for (const char c : e.send)
            answer += bytewise->feed(QByteArrayView(&c, 1));
        QCOMPARE(answer, e.expect);
    }
}

// LPC conversation up to the command prompt with echo off.
Conversation lpcPrompt()
{
    return {{"?", "Synchronized\r\n"},
            {"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
            {"11059.2\r\n", "11059.2\r\nOK\r\n"},
            {"U 23130\r\n", "U 23130\r\n0\r\n"},
            {"A 0\r\n", "A 0\r\n0\r\n"}};
}

int openSlave(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

// Reads from the slave until count bytes came or the time is up.
QByteArray readSlave(int fd, qsizetype count, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (out.size() < count && clock.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        out.append(buffer, qsizetype(n));
    }
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Conversation)
Q_DECLARE_METATYPE(sim::LpcSim::Part)

class TestSims : public QObject
{
    Q_OBJECT

private slots:
    void stm32Frames_data();
    void stm32Frames();
    void stm32WritesOnlyErasedFlash();
    void stm32Profiles_data();
    void stm32Profiles();
    void stm32ReadProtection();
    void stm32TakesTheChipsTime_data();
    void stm32TakesTheChipsTime();
    void stm32Faults_data();
    void stm32Faults();

    void lpcConversation_data();
    void lpcConversation();
    void lpcWriteReachesFlash();
    void lpcPartRules_data();
    void lpcPartRules();
    void lpcCopyRules_data();
    void lpcCopyRules();

    void stcStatusFrame_data();
    void stcStatusFrame();
    void stcFrames_data();
    void stcFrames();
    void stcDataFrameProgramsErasedFlash();

    void simsSurviveNoise_data();
    void simsSurviveNoise();

    void ptyRoundTripAndReopen();
    void ptyWaitKeepsEventsRunning();
    void ptyDelaysBaudRateAnswer();
    void ptyPacingMatchesBaudRate();
    void ptyCloseMasterGivesHangUp();

    void boardServesSessionAfterSession_data();
    void boardServesSessionAfterSession();
    void exampleFirmwareIsAnImageForTheBoard();
};

void TestSims::stm32Frames_data()
{
    QTest::addColumn<Conversation>("conversation");
    QTest::addColumn<bool>("rejected");

    const Exchange sync{hex("7F"), hex("79")};
    QTest::newRow("get") << Conversation{sync, {hex("00FF"), hex("790B22000102112131436373829279")}}
                         << false;
    QTest::newRow("get with wrong complement")
        << Conversation{sync,
                        {hex("00FE"), hex("1F")},
                        {hex("00FF"), hex("790B22000102112131436373829279")}}
        << true;
    QTest::newRow("get id") << Conversation{sync, {hex("02FD"), hex("7901041479")}} << false;
    QTest::newRow("read flash size") << Conversation{sync,
                                                     {hex("11EE"), hex("79")},
                                                     {hex("1FFFF7E0F7"), hex("79")},
                                                     {hex("03FC"), hex("7900020000")}}
                                     << false;
    QTest::newRow("read with wrong address checksum")
        << Conversation{sync, {hex("11EE"), hex("79")}, {hex("1FFFF7E0F6"), hex("1F")}} << true;
    QTest::newRow("read of unmapped address")
        << Conversation{sync, {hex("11EE"), hex("79")}, {hex("3000000030"), hex("1F")}} << true;
    QTest::newRow("read with wrong count complement")
        << Conversation{sync,
                        {hex("11EE"), hex("79")},
                        {hex("1FFFF7E0F7"), hex("79")},
                        {hex("03FB"), hex("1F")}}
        << true;
    QTest::newRow("erase pages 0..2")
        << Conversation{sync, {hex("43BC"), hex("79")}, {hex("0200010201"), hex("79")}} << false;
    QTest::newRow("erase with wrong page-list checksum")
        << Conversation{sync, {hex("43BC"), hex("79")}, {hex("0200010200"), hex("1F")}} << true;
    QTest::newRow("global erase") << Conversation{sync,
                                                  {hex("43BC"), hex("79")},
                                                  {hex("FF00"), hex("79")}}
                                  << false;
    QTest::newRow("write after erase") << Conversation{sync,
                                                       {hex("43BCFF00"), hex("7979")},
                                                       {hex("31CE"), hex("79")},
                                                       {hex("0800010009"), hex("79")},
                                                       {hex("031122334447"), hex("79")}}
                                       << false;
    QTest::newRow("write with wrong data checksum")
        << Conversation{sync,
                        {hex("43BCFF00"), hex("7979")},
                        {hex("31CE0800010009"), hex("7979")},
                        {hex("031122334408"), hex("1F")}}
        << true;
    QTest::newRow("write with wrong address checksum")
        << Conversation{sync, {hex("31CE"), hex("79")}, {hex("0800010008"), hex("1F")}} << true;
    QTest::newRow("extended erase is not offered")
        << Conversation{sync, {hex("44BB"), hex("1F")}} << true;
    QTest::newRow("command before synchronisation")
        << Conversation{{hex("00FF"), {}}, sync} << true;
}

void TestSims::stm32Frames()
{
    QFETCH(Conversation, conversation);
    QFETCH(bool, rejected);
    converse([] { return std::make_unique<Stm32Sim>(); }, conversation);
    Stm32Sim sim;
    for (const Exchange &e : conversation)
        sim.feed(e.send);
    QCOMPARE(!sim.protocolErrors().isEmpty(), rejected);
}

void TestSims::stm32WritesOnlyErasedFlash()
{
    Stm32Sim::Config config;
    config.flashSizeKb = 64;
    config.pageSize = 1024;
    Stm32Sim sim(config);
    QCOMPARE(sim.feed(hex("7F")), hex("79"));
    // Page 1 (0x08000400) is not erased: the write there must fail and change nothing.
    QCOMPARE(sim.feed(hex("43BC000000")), hex("7979"));
    QCOMPARE(sim.feed(hex("31CE080004000C")), hex("7979"));
    QCOMPARE(sim.feed(hex("03AABBCCDD03")), hex("1F"));
    QCOMPARE(sim.flash(0x08000400, 4), QByteArray(4, '\0'));
    QCOMPARE(sim.feed(hex("31CE0800000008")), hex("7979"));
    QCOMPARE(sim.feed(hex("03AABBCCDD03")), hex("79"));
    QCOMPARE(sim.flash(0x08000000, 5), hex("AABBCCDDFF"));
    QCOMPARE(sim.erasedPages(), QList<int>{0});
    const QList<Stm32Sim::Command> expected{{0x7F, 0, 0}, {0x43, 0, 1, {0}}, {0x31, 0x08000000, 4}};
    QCOMPARE(sim.commands(), expected);
    // 64 pages: page 0x40 does not exist.
    QCOMPARE(sim.feed(hex("43BC004040")), hex("791F"));
    QCOMPARE(sim.erasedPages(), QList<int>{0});
    QCOMPARE(sim.protocolErrors().size(), 2);
}

void TestSims::stm32Profiles_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<Conversation>("conversation");
    QTest::addColumn<bool>("rejected");

    const Exchange sync{hex("7F"), hex("79")};
    const Exchange extended{hex("44BB"), hex("79")};
    QTest::newRow("F4 lists Extended Erase")
        << 0x413 << Conversation{sync, {hex("00FF"), hex("790B31000102112131446373829279")}}
        << false;
    // A NUCLEO-F401RE refuses short reads of the flash size and the unique id after the
    // count and answers 256 bytes from 0x1FFF7A00 (stm32loader pull request #25, issue #43);
    // the refusal is the chip's, no protocol error. Both sides, and F2 alike.
    const QByteArray f4Area = hex("79") + QByteArray(16, char(0xFF)) +
                              hex("37FFD8054B52383123581043 000000000000 0004") +
                              QByteArray(256 - 0x24, '\0');
    QTest::newRow("F4 answers 256 bytes from 0x1FFF7A00")
        << 0x413 << Conversation{sync, {hex("11EE1FFF7A009A"), hex("7979")}, {hex("FF00"), f4Area}}
        << false;
    QTest::newRow("F4 refuses 2 bytes at 0x1FFF7A22")
        << 0x413 << Conversation{sync, {hex("11EE1FFF7A22B8"), hex("7979")}, {hex("01FE"), hex("1F")}}
        << false;
    QTest::newRow("F4 refuses the unique id's 12 bytes at 0x1FFF7A10")
        << 0x413 << Conversation{sync, {hex("11EE1FFF7A108A"), hex("7979")}, {hex("0BF4"), hex("1F")}}
        << false;
    QTest::newRow("F2 refuses 2 bytes at 0x1FFF7A22")
        << 0x411 << Conversation{sync, {hex("11EE1FFF7A22B8"), hex("7979")}, {hex("01FE"), hex("1F")}}
        << false;
    QTest::newRow("F4 refuses Erase, which it does not list")
        << 0x413 << Conversation{sync, {hex("43BC"), hex("1F")}} << true;
    QTest::newRow("F4 erases sector 4")
        << 0x413 << Conversation{sync, extended, {hex("0000000404"), hex("79")}} << false;
    QTest::newRow("F4 has no sector 12")
        << 0x413 << Conversation{sync, extended, {hex("0000000C0C"), hex("1F")}} << true;
    QTest::newRow("F4 extended list with a wrong checksum")
        << 0x413 << Conversation{sync, extended, {hex("0001000000010F"), hex("1F")}} << true;
    QTest::newRow("F0 mass erase")
        << 0x440 << Conversation{sync, extended, {hex("FFFF00"), hex("79")}} << false;
    QTest::newRow("F0 reserved erase code")
        << 0x440 << Conversation{sync, extended, {hex("FFF000"), hex("1F")}} << true;
    QTest::newRow("G0 takes whole double words")
        << 0x460
        << Conversation{sync,
                        extended,
                        {hex("0000000000"), hex("79")},
                        {hex("31CE"), hex("79")},
                        {hex("0800000008"), hex("79")},
                        {hex("07 1122334455667788 8F"), hex("79")}}
        << false;
    // The lines added later. L0/L1 loaders have no mass erase and their flash erases to 0x00
    // (AN2606 L0/L1 chapters, RM0367 §3.3); an L073 refuses a read of 0x1FF8007C and answers
    // 128 bytes from 0x1FF80000 (stm32loader issue #61).
    const Exchange erasePage0{hex("0000000000"), hex("79")};
    const Exchange readFlash4{hex("11EE0800000008"), hex("7979")};
    QTest::newRow("L0 has no mass erase")
        << 0x417 << Conversation{sync, extended, {hex("FFFF00"), hex("1F")}} << true;
    QTest::newRow("L0 erases to 0x00")
        << 0x417
        << Conversation{sync, extended, erasePage0, readFlash4, {hex("03FC"), hex("7900000000")}}
        << false;
    QByteArray l0Area = hex("AA0055FF") + QByteArray(0x4C, '\0') +
                        hex("37FFD8054B52383123581043") + QByteArray(0x20, '\0') + hex("4000");
    l0Area += QByteArray(0x80 - l0Area.size(), '\0');
    QTest::newRow("L0 answers 128 bytes from 0x1FF80000")
        << 0x417 << Conversation{sync, {hex("11EE1FF80000E7"), hex("7979")}, {hex("7F80"), hex("79") + l0Area}}
        << false;
    QTest::newRow("L0 refuses 2 bytes at 0x1FF8007C")
        << 0x417 << Conversation{sync, {hex("11EE1FF8007C9B"), hex("7979")}, {hex("01FE"), hex("1F")}}
        << false;
    // H7: 256-bit flash words; a block ending inside one is completed with 0xFF (AN3155
    // Write Memory), one starting inside one is refused.
    QTest::newRow("H7 completes a flash word with 0xFF")
        << 0x450
        << Conversation{sync, extended, erasePage0,
                        {hex("31CE0800000008"), hex("7979")},
                        {hex("031122334447"), hex("79")},
                        {hex("11EE0800000008"), hex("7979")},
                        {hex("1FE0"), hex("7911223344") + QByteArray(28, char(0xFF))}}
        << false;
    QTest::newRow("H7 refuses a block inside a flash word")
        << 0x450
        << Conversation{sync, extended, erasePage0,
                        {hex("31CE080000040C"), hex("7979")},
                        {hex("031122334447"), hex("1F")}}
        << true;
    QTest::newRow("G0B erases its second bank")
        << 0x467 << Conversation{sync, extended, {hex("FFFD02"), hex("79")}} << false;
    QTest::newRow("WL has no second bank")
        << 0x497 << Conversation{sync, extended, {hex("FFFD02"), hex("1F")}} << true;
    // What every line lets the host read, at its own addresses: option bytes, the boot
    // loader's id byte in system memory, the unique id and the flash-size register.
    QTest::newRow("F10x option bytes") << 0x414
                                       << Conversation{sync,
                                                       {hex("11EE1FFFF80018"), hex("7979")},
                                                       {hex("03FC"), hex("79A55AFF00")}}
                                       << false;
    QTest::newRow("F0 boot loader id")
        << 0x440
        << Conversation{sync, {hex("11EE1FFFF7A6B1"), hex("7979")}, {hex("00FF"), hex("7921")}}
        << false;
    QTest::newRow("F3 boot loader id")
        << 0x422
        << Conversation{sync, {hex("11EE1FFFF79681"), hex("7979")}, {hex("00FF"), hex("7941")}}
        << false;
    QTest::newRow("F4 boot loader id")
        << 0x413
        << Conversation{sync, {hex("11EE1FFF77DE49"), hex("7979")}, {hex("00FF"), hex("7931")}}
        << false;
    QTest::newRow("G0 boot loader id and flash size")
        << 0x460
        << Conversation{sync,
                        {hex("11EE1FFF6FFE71"), hex("7979")},
                        {hex("00FF"), hex("79B4")},
                        {hex("11EE1FFF75E075"), hex("7979")},
                        {hex("01FE"), hex("798000")}}
        << false;
    QTest::newRow("Go to RAM: the chip runs the code and ignores the line")
        << 0x440 << Conversation{sync, {hex("21DE2000100030"), hex("7979")}, {hex("7F00FF"), {}}}
        << false;
    QTest::newRow("Go to system memory is refused")
        << 0x414 << Conversation{sync, {hex("21DE"), hex("79")}, {hex("1FFFF00010"), hex("1F")}}
        << true;
    QTest::newRow("F3 loader keeps its 5 KB of RAM")
        << 0x422 << Conversation{sync, {hex("31CE"), hex("79")}, {hex("2000100030"), hex("1F")}}
        << true;
    QTest::newRow("F3 RAM after the loader's takes a block")
        << 0x422
        << Conversation{sync,
                        {hex("31CE2000140034"), hex("7979")},
                        {hex("031122334447"), hex("79")}}
        << false;
    QTest::newRow("G0 pads half a double word, as stm32flash expects")
        << 0x460
        << Conversation{sync,
                        extended,
                        {hex("0000000000"), hex("79")},
                        {hex("31CE0800000008"), hex("7979")},
                        {hex("031122334447"), hex("79")},
                        {hex("31CE0800000008"), hex("7979")}, // the pad is programmed too
                        {hex("07 FFFFFFFFFFFFFF00 F8"), hex("1F")}}
        << true;
    QTest::newRow("G0 refuses a block off the double-word grid")
        << 0x460
        << Conversation{sync,
                        extended,
                        {hex("0000000000"), hex("79")},
                        {hex("31CE080000040C"), hex("7979")},
                        {hex("031122334447"), hex("1F")}}
        << true;
    QTest::newRow("G0 programs a double word once per erase")
        << 0x460
        << Conversation{sync,
                        extended,
                        {hex("0000000000"), hex("79")},
                        {hex("31CE0800000008"), hex("7979")},
                        {hex("07 FFFFFFFFFFFFFF00 F8"), hex("79")},
                        {hex("31CE0800000008"), hex("7979")},
                        {hex("07 FFFFFFFFFFFFFF00 F8"), hex("1F")}}
        << true;
}

void TestSims::stm32Profiles()
{
    QFETCH(int, productId);
    QFETCH(Conversation, conversation);
    QFETCH(bool, rejected);
    const auto config = Stm32Sim::Config::profile(quint16(productId));
    converse([&] { return std::make_unique<Stm32Sim>(config); }, conversation);
    Stm32Sim sim(config);
    for (const Exchange &e : conversation)
        sim.feed(e.send);
    QCOMPARE(!sim.protocolErrors().isEmpty(), rejected);
}

void TestSims::stm32ReadProtection()
{
    Stm32Sim::Config config;
    config.readProtected = true;
    config.oldContents = 0x5A;
    Stm32Sim sim(config);
    QCOMPARE(sim.feed(hex("7F")), hex("79"));
    // Identification works; everything that touches the flash is refused.
    QCOMPARE(sim.feed(hex("02FD")), hex("7901041479"));
    QCOMPARE(sim.feed(hex("01FE")), hex("7922000079"));
    for (const char *command : {"11EE", "31CE", "43BC", "21DE"})
        QCOMPARE(sim.feed(hex(command)), hex("1F"));
    QCOMPARE(sim.flash(Stm32Sim::kFlashBase, 4), hex("5A5A5A5A"));
    // Readout Unprotect: two ACKs, the flash erased, and the loader waits for the sync byte.
    QCOMPARE(sim.feed(hex("926D")), hex("7979"));
    QVERIFY(!sim.isReadProtected());
    QCOMPARE(sim.flash(), QByteArray(512 * 1024, char(0xFF)));
    QCOMPARE(sim.feed(hex("11EE")), QByteArray());
    QCOMPARE(sim.feed(hex("7F11EE")), hex("7979"));
    QCOMPARE(sim.feed(hex("0800000008 03FC")), hex("79 79FFFFFFFF"));
    // Readout Protect turns it on again.
    QCOMPARE(sim.feed(hex("827D")), hex("7979"));
    QCOMPARE(sim.feed(hex("7F11EE")), hex("791F"));
    QVERIFY(sim.isReadProtected());
    QCOMPARE(sim.protocolErrors().size(), 2); // 11 and EE before the sync byte
    // The refusals are no fault of the host, but each is told.
    QCOMPARE(sim.takeNotes().filter("refused: read-out protection").size(), 5);
    // L0/L1: back to Level 0 erases the data EEPROM too.
    Stm32Sim l0(Stm32Sim::Config::profile(0x417));
    QCOMPARE(l0.feed(hex("7F 31CE 0808000000 03 11223344 47")), hex("79 79 79 79"));
    QCOMPARE(l0.eeprom().left(4), hex("11223344"));
    QCOMPARE(l0.feed(hex("926D")), hex("7979"));
    QCOMPARE(l0.eeprom(), QByteArray(2048, '\0'));
}

void TestSims::stm32TakesTheChipsTime_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("us"); // data sheets' typical times

    const QByteArray block = hex("FF") + QByteArray(256, '\0') + hex("FF");
    QTest::newRow("F10x page erase") << 0x414 << hex("7F") << hex("43BC000000") << 20000;
    QTest::newRow("F10x global erase") << 0x414 << hex("7F") << hex("43BCFF00") << 20000;
    QTest::newRow("F10x 128 half-words") << 0x414 << hex("7F43BCFF0031CE0800000008") << block << 6720;
    QTest::newRow("F4 sectors 0, 1 and 4")
        << 0x413 << hex("7F") << hex("44BB 0002 0000 0001 0004 07") << 1050000;
    QTest::newRow("F4 mass erase") << 0x413 << hex("7F") << hex("44BBFFFF00") << 8000000;
    QTest::newRow("F4 64 words") << 0x413 << hex("7F44BBFFFF0031CE0800000008") << block << 1024;
    QTest::newRow("G0 page erase") << 0x460 << hex("7F") << hex("44BB0000000000") << 22000;
    QTest::newRow("G0 32 double words")
        << 0x460 << hex("7F44BBFFFF0031CE0800000008") << block << 2720;
    // H7: every 128 KiB sector alike, 8 flash words of 32 bytes at 130 us each (4062 ns a
    // byte, whole nanoseconds).
    QTest::newRow("H7 sectors 0 and 9")
        << 0x450 << hex("7F") << hex("44BB 0001 0000 0009 08") << 2200000;
    QTest::newRow("H7 8 flash words") << 0x450 << hex("7F44BBFFFF0031CE0800000008") << block << 1039;
}

void TestSims::stm32TakesTheChipsTime()
{
    QFETCH(int, productId);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, command);
    QFETCH(int, us);
    auto config = Stm32Sim::Config::profile(quint16(productId));
    Stm32Sim unpaced(config);
    config.realTimes = true;
    Stm32Sim sim(config);
    for (Stm32Sim *s : {&unpaced, &sim}) {
        s->feed(before);
        QVERIFY(s->feed(command).endsWith(char(Stm32Sim::kAck)));
    }
    QCOMPARE(sim.answerDelay(), std::chrono::microseconds(us));
    QCOMPARE(unpaced.answerDelay(), std::chrono::microseconds(0));
    QVERIFY(sim.protocolErrors().isEmpty());
}

void TestSims::stm32Faults_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("occurrence");
    QTest::addColumn<QByteArray>("answers"); // answers to sync, Get ID, Get ID, one per byte

    const int refuse = int(Fault::Refuse);
    QTest::newRow("NACK to the sync byte") << int(Stm32Sim::Step::Sync) << refuse << 1 << hex("1F");
    QTest::newRow("second Get ID refused") << int(Stm32Sim::Step::GetId) << refuse << 2
                                           << hex("79"
                                                  "7901041479"
                                                  "1F");
    QTest::newRow("junk to the first Get ID") << int(Stm32Sim::Step::GetId) << int(Fault::Junk) << 1
                                              << hex("79"
                                                     "55AA00E5"
                                                     "7901041479");
    QTest::newRow("silent from the first Get ID")
        << int(Stm32Sim::Step::GetId) << int(Fault::Silent) << 1 << hex("79");
}

void TestSims::stm32Faults()
{
    QFETCH(int, step);
    QFETCH(int, fault);
    QFETCH(int, occurrence);
    QFETCH(QByteArray, answers);
    Stm32Sim sim;
    sim.failAt(Stm32Sim::Step(step), Fault(fault), occurrence);
    QCOMPARE(sim.feed(hex("7F02FD02FD")), answers);
    QVERIFY(sim.protocolErrors().isEmpty() || Fault(fault) == Fault::Refuse);
}

void TestSims::lpcConversation_data()
{
    QTest::addColumn<Conversation>("conversation");
    QTest::addColumn<bool>("rejected");

    QTest::newRow("identify") << lpcPrompt() + Conversation{{"J\r\n", "0\r\n196387\r\n"},
                                                            {"K\r\n", "0\r\n1\r\n2\r\n"}}
                              << false;
    QTest::newRow("wrong synchronisation string starts over")
        << Conversation{{"?", "Synchronized\r\n"},
                        {"Synchronised\r\n", "Synchronised\r\n"},
                        {"Synchronized\r\n", ""},
                        {"?", "Synchronized\r\n"}}
        << true;
    QTest::newRow("frequency that is no number")
        << Conversation{{"?", "Synchronized\r\n"},
                        {"Synchronized\r\n", "Synchronized\r\nOK\r\n"},
                        {"fast\r\n", "fast\r\n"}}
        << true;
    QTest::newRow("erase while locked")
        << Conversation{lpcPrompt().mid(0, 3)} +
               Conversation{{"P 0 1\r\n", "P 0 1\r\n0\r\n"}, {"E 0 1\r\n", "E 0 1\r\n15\r\n"}}
        << true;
    QTest::newRow("prepare and erase")
        << lpcPrompt() + Conversation{{"P 0 14\r\n", "0\r\n"}, {"E 0 14\r\n", "0\r\n"}} << false;
    QTest::newRow("erase without prepare")
        << lpcPrompt() + Conversation{{"E 0 0\r\n", "9\r\n"}} << true;
    QTest::newRow("prepare beyond the last sector")
        << lpcPrompt() + Conversation{{"P 0 15\r\n", "7\r\n"}} << true;
    QTest::newRow("write to RAM with right checksum")
        << lpcPrompt() + Conversation{{"W 1073742336 4\r\n", "0\r\n"},
                                      {uuLine("abcd"), ""},
                                      {sumLine("abcd"), "OK\r\n"},
                                      {"J\r\n", "0\r\n196387\r\n"}}
        << false;
    QTest::newRow("write to RAM with wrong checksum is sent again")
        << lpcPrompt() + Conversation{{"W 1073742336 4\r\n", "0\r\n"},
                                      {uuLine("abcd"), ""},
                                      {"395\r\n", "RESEND\r\n"},
                                      {uuLine("abcd"), ""},
                                      {sumLine("abcd"), "OK\r\n"}}
        << true;
    QTest::newRow("data line longer than the write")
        << lpcPrompt() + Conversation{{"W 1073742336 4\r\n", "0\r\n"},
                                      {uuLine("abcdefgh"), ""},
                                      {sumLine("abcdefgh"), "RESEND\r\n"}}
        << true;
    QTest::newRow("write with count not a multiple of 4")
        << lpcPrompt() + Conversation{{"W 1073742336 6\r\n", "6\r\n"}} << true;
    QTest::newRow("write into the boot loader's RAM")
        << lpcPrompt() + Conversation{{"W 1073741824 4\r\n", "14\r\n"}} << true;
    QTest::newRow("copy without prepare")
        << lpcPrompt() + Conversation{{"C 0 1073742336 4096\r\n", "9\r\n"}} << true;
    QTest::newRow("copy with a count the chip does not take")
        << lpcPrompt() + Conversation{{"P 0 0\r\n", "0\r\n"}, {"C 0 1073742336 100\r\n", "6\r\n"}}
        << true;
    QTest::newRow("unknown command") << lpcPrompt() + Conversation{{"X 1\r\n", "1\r\n"}} << true;
    // Compare: RAM with itself is the same; flash address 0 reads the boot block's vectors.
    QTest::newRow("compare RAM with RAM")
        << lpcPrompt() + Conversation{{"M 1073742336 1073742336 64\r\n", "0\r\n"}} << false;
    QTest::newRow("compare the boot block with RAM")
        << lpcPrompt() + Conversation{{"M 0 1073742336 64\r\n", "10\r\n0\r\n"}} << false;
    QTest::newRow("read back what was written, a RESEND sends it again")
        << lpcPrompt() +
               Conversation{{"W 1073742336 4\r\n", "0\r\n"},
                            {uuLine("abcd"), ""},
                            {sumLine("abcd"), "OK\r\n"},
                            {"R 1073742336 4\r\n", "0\r\n" + uuLine("abcd") + sumLine("abcd")},
                            {"RESEND\r\n", uuLine("abcd") + sumLine("abcd")},
                            {"OK\r\n", ""},
                            {"J\r\n", "0\r\n196387\r\n"}}
        << false;
    QTest::newRow("go in ARM mode: the chip runs the code")
        << lpcPrompt() + Conversation{{"G 0 A\r\n", "0\r\n"}, {"J\r\n", ""}} << false;
    QTest::newRow("go with an unknown mode")
        << lpcPrompt() + Conversation{{"G 0 X\r\n", "12\r\n"}} << true;
    QTest::newRow("compare with a count not a multiple of 4")
        << lpcPrompt() + Conversation{{"M 64 1073742400 6\r\n", "6\r\n"}} << true;
    QTest::newRow("compare beyond the flash")
        << lpcPrompt() + Conversation{{"M 4194304 1073742336 4\r\n", "5\r\n"}} << true;
    // Blank check: 8 SECTOR_NOT_BLANK, the offset and the word; sector 0 reads the boot block
    // (0xE3E2E1E0) in front of the user's vectors.
    QTest::newRow("blank check of erased sectors")
        << lpcPrompt() + Conversation{{"P 1 2\r\n", "0\r\n"},
                                      {"E 1 2\r\n", "0\r\n"},
                                      {"I 1 2\r\n", "0\r\n"}}
        << false;
    QTest::newRow("blank check of a sector never erased")
        << lpcPrompt() + Conversation{{"I 1 1\r\n", "8\r\n0\r\n0\r\n"}} << true;
    QTest::newRow("blank check of sector 0 always fails")
        << lpcPrompt() + Conversation{{"P 0 0\r\n", "0\r\n"},
                                      {"E 0 0\r\n", "0\r\n"},
                                      {"I 0 0\r\n", "8\r\n0\r\n3823296992\r\n"}}
        << true;
    QTest::newRow("blank check beyond the last sector")
        << lpcPrompt() + Conversation{{"I 0 15\r\n", "7\r\n"}} << true;
}

void TestSims::lpcConversation()
{
    QFETCH(Conversation, conversation);
    QFETCH(bool, rejected);
    converse([] { return std::make_unique<LpcSim>(); }, conversation);
    LpcSim sim;
    for (const Exchange &e : conversation)
        sim.feed(e.send);
    QCOMPARE(!sim.protocolErrors().isEmpty(), rejected);
}

// The other families' boards: where W may write, raw data on the LPC8xx, S and N only where
// the part's manual lists them, the LPC8xx copy counts.
void TestSims::lpcPartRules_data()
{
    QTest::addColumn<QString>("part");
    QTest::addColumn<Conversation>("conversation");
    QTest::addColumn<bool>("rejected");
    const QByteArray raw("ab\x00\xff", 4);
    QTest::newRow("LPC845: raw W, raw R, S over RAM")
        << "lpc845"
        << lpcPrompt() + Conversation{{"W 268436992 4\r\n", "0\r\n"},
                                      {raw, ""},
                                      {"R 268436992 4\r\n", "0\r\n" + raw},
                                      {"S 268436992 4\r\n", "0\r\n3297755065\r\n"},
                                      {"J\r\n", "0\r\n33873\r\n"}}
        << false;
    QTest::newRow("LPC812: raw data echoed while echo is on")
        << "lpc812"
        << lpcPrompt().mid(0, 4) + Conversation{{"W 268436080 4\r\n", "W 268436080 4\r\n0\r\n"},
                                                {raw, raw},
                                                {"J\r\n", "J\r\n0\r\n33056\r\n"}}
        << false;
    QTest::newRow("LPC845: W into the ISP's RAM")
        << "lpc845" << lpcPrompt() + Conversation{{"W 268436080 4\r\n", "14\r\n"}} << true;
    QTest::newRow("LPC812: 64-byte copy, 100 bytes refused")
        << "lpc812"
        << lpcPrompt() + Conversation{{"P 0 0\r\n", "0\r\n"},
                                      {"C 64 268436080 64\r\n", "0\r\n"},
                                      {"P 0 0\r\n", "0\r\n"},
                                      {"C 128 268436080 100\r\n", "6\r\n"}}
        << true;
    QTest::newRow("LPC1768: W from 0x10000200, not below")
        << "lpc1768"
        << lpcPrompt() + Conversation{{"W 268435968 4\r\n", "0\r\n"},
                                      {uuLine("abcd"), ""},
                                      {sumLine("abcd"), "OK\r\n"},
                                      {"W 268435712 4\r\n", "14\r\n"}}
        << true;
    QTest::newRow("LPC1114 has neither S nor N")
        << "lpc1114" << lpcPrompt() + Conversation{{"S 0 4\r\n", "1\r\n"}, {"N\r\n", "1\r\n"}}
        << true;
    // Four 32-bit words in decimal (UM10360 Table 585): the board's default serial number.
    QTest::newRow("LPC11U24 answers N")
        << "lpc11u24"
        << lpcPrompt() +
               Conversation{{"N\r\n", "0\r\n439041101\r\n65535\r\n4294967295\r\n7\r\n"}}
        << false;
    QTest::newRow("LPC2378: the 28th sector exists")
        << "lpc2378"
        << lpcPrompt() + Conversation{{"P 27 27\r\n", "0\r\n"}, {"P 28 28\r\n", "7\r\n"}} << true;
}

void TestSims::lpcPartRules()
{
    QFETCH(QString, part);
    QFETCH(Conversation, conversation);
    QFETCH(bool, rejected);
    LpcSim::Config config;
    config.part = *LpcSim::partNamed(part);
    converse([&] { return std::make_unique<LpcSim>(config); }, conversation);
    LpcSim sim(config);
    for (const Exchange &e : conversation)
        sim.feed(e.send);
    QCOMPARE(!sim.protocolErrors().isEmpty(), rejected);
}

void TestSims::lpcWriteReachesFlash()
{
    QCOMPARE(uuLine("abc"), QByteArray("#86)C\r\n")); // the test's own encoder

    // 4096 bytes in 92 lines (91 of 45 bytes, 1 of 1 byte): five groups with checksums.
    QByteArray block(4096, '\0');
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char((i * 7 + 3) & 0xFF);
    LpcSim sim;
    for (const Exchange &e : lpcPrompt())
        sim.feed(e.send);
    QCOMPARE(sim.feed("P 0 1\r\nE 0 1\r\n"), QByteArray("0\r\n0\r\n"));
    QCOMPARE(sim.feed("W 1073742336 4096\r\n"), QByteArray("0\r\n"));
    int lines = 0;
    QByteArray group;
    for (qsizetype at = 0; at < block.size(); at += 45) {
        const QByteArray raw = block.mid(at, 45);
        QCOMPARE(sim.feed(uuLine(raw)), QByteArray());
        group += raw;
        if (++lines == 20 || at + 45 >= block.size()) {
            QCOMPARE(sim.feed(sumLine(group)), QByteArray("OK\r\n"));
            group.clear();
            lines = 0;
        }
    }
    QCOMPARE(sim.checksumsAccepted(), 5);
    sim.storeWrongly(2, 260);
    QCOMPARE(sim.feed("P 0 0\r\nC 0 1073742336 4096\r\n"), QByteArray("0\r\n0\r\n"));
    QCOMPARE(sim.flash(0, 4096), block);
    // Behind the boot block's 64 bytes the flash holds the RAM; the vectors do not add up.
    QCOMPARE(sim.feed("M 64 1073742400 4032\r\n"), QByteArray("0\r\n"));
    QVERIFY(!sim.wouldStartUserCode());
    // The second copy stores byte 260 wrongly; the compare names its offset.
    QCOMPARE(sim.feed("P 1 1\r\nC 4096 1073742336 4096\r\n"), QByteArray("0\r\n0\r\n"));
    QCOMPARE(sim.feed("M 4096 1073742336 4096\r\n"), QByteArray("10\r\n260\r\n"));
    // The copy used up the prepare, as on the chip.
    QCOMPARE(sim.feed("C 0 1073742336 256\r\n"), QByteArray("9\r\n"));
    QCOMPARE(sim.protocolErrors().size(), 1);
}

// "Copy RAM to Flash" as each boot loader takes it: LPC213x 256..4096 bytes on 256-byte
// boundaries (UM10120), LPC21xx/22xx 512..8192 on 512-byte boundaries (UM10114 Table 205).
void TestSims::lpcCopyRules_data()
{
    QTest::addColumn<LpcSim::Part>("part");
    QTest::addColumn<QByteArray>("copy"); // destination and count
    QTest::addColumn<int>("code");
    QTest::newRow("LPC2136: 256 bytes") << LpcSim::lpc2136() << QByteArray("256 256") << 0;
    QTest::newRow("LPC2136: 4096 bytes") << LpcSim::lpc2136() << QByteArray("0 4096") << 0;
    QTest::newRow("LPC2136: no 8192") << LpcSim::lpc2136() << QByteArray("0 8192") << 6;
    QTest::newRow("LPC2136: off the boundary") << LpcSim::lpc2136() << QByteArray("128 256") << 3;
    QTest::newRow("LPC2214: no 256") << LpcSim::lpc2214() << QByteArray("0 256") << 6;
    QTest::newRow("LPC2214: 512 bytes") << LpcSim::lpc2214() << QByteArray("512 512") << 0;
    QTest::newRow("LPC2214: 8192 bytes") << LpcSim::lpc2214() << QByteArray("0 8192") << 0;
    QTest::newRow("LPC2292: 256-byte boundary")
        << LpcSim::lpc2292() << QByteArray("256 512") << 3;
}

void TestSims::lpcCopyRules()
{
    QFETCH(LpcSim::Part, part);
    QFETCH(QByteArray, copy);
    QFETCH(int, code);
    LpcSim::Config config;
    config.part = part;
    LpcSim sim(config);
    for (const Exchange &e : lpcPrompt())
        sim.feed(e.send);
    const QList<QByteArray> args = copy.split(' ');
    QCOMPARE(sim.feed("P 0 1\r\nC " + args[0] + " 1073742336 " + args[1] + "\r\n"),
             "0\r\n" + QByteArray::number(code) + "\r\n");
}

void TestSims::stcStatusFrame_data()
{
    QTest::addColumn<int>("optionByte");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QByteArray>("counts"); // the first two of the eight

    // Status frame of a real STC89C52RC: no 46 B9, length 3B, type 00, eight counts (the
    // seventh 4 less), 43 'C', option byte, F0 02 82, 31 zeros (real-chips/stc89c52rc.md).
    QTest::newRow("11.0592 MHz, 12T, 1200 baud: 5376") << 0xFD << 1200 << hex("15001500");
    QTest::newRow("6T counts twice as many") << 0xFC << 1200 << hex("2A002A00");
    QTest::newRow("2400 baud: half") << 0xFD << 2400 << hex("0A800A80");
}

void TestSims::stcStatusFrame()
{
    QFETCH(int, optionByte);
    QFETCH(int, rate);
    QFETCH(QByteArray, counts);
    StcSim::Config config;
    config.optionByte = quint8(optionByte);
    config.handshakeRate = rate;
    StcSim sim(config);
    QCOMPARE(sim.feed(hex("7F")), QByteArray()); // one handshake byte is not enough
    const QByteArray status = sim.feed(hex("7F"));
    QCOMPARE(status.size(), 59);
    QVERIFY(status.startsWith(hex("68003B00") + counts));
    const auto count = [&status](int i) {
        return quint16(quint8(status[4 + 2 * i]) << 8 | quint8(status[5 + 2 * i]));
    };
    for (int i = 1; i < 8; ++i)
        QCOMPARE(count(i), quint16(count(0) - (i == 6 ? 4 : 0)));
    QCOMPARE(status.mid(20, 6), hex("4343") + char(optionByte) + hex("F00282"));
    QCOMPARE(status.mid(26, 31), QByteArray(31, '\0'));
    quint32 sum = 0;
    for (int i = 0; i < 57; ++i)
        sum += quint8(status[i]);
    QCOMPARE(quint8(status[57]), quint8(sum));
    QCOMPARE(status.back(), char(0x16));
    // Handshake bytes that are still arriving are not an error.
    QCOMPARE(sim.feed(hex("7F7F")), QByteArray());
    QVERIFY(sim.protocolErrors().isEmpty());
}

void TestSims::stcFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("answer");

    // Answers of the recorded STC89C52RC (real-chips/stc89c52rc.md, the session table).
    QTest::newRow("option 12T: payload repeated")
        << hex("46B96A000A8DFDFFFDFFF916") << hex("46B968000A8DFDFFFDFFF716");
    QTest::newRow("option follow-up: 10 C0 16 F6 FF F1 03 FF, version, option byte")
        << hex("46B96A000650C016") << hex("46B968001010C016F6FFF103FF4343FDC916");
    QTest::newRow("baud step 1 at 11.0592 MHz: payload repeated")
        << hex("46B96A000C8FFFFD00062881B016") << hex("46B968000C8FFFFD00062881AE16");
    QTest::newRow("baud step 2: payload repeated")
        << hex("46B96A000B8EFFFD0006282D16") << hex("46B968000B8EFFFD0006282B16");
    QTest::newRow("control: 80") << hex("46B96A000A80020036012D16") << hex("46B968000680EE16");
    QTest::newRow("recorded host's control: 80")
        << hex("46B96A000C8000003601F0021F16") << hex("46B968000680EE16");
    QTest::newRow("erase: 80") << hex("46B96A000D84053333333333333216") << hex("46B968000680EE16");
    QTest::newRow("end flag after FE FE FE FE: 80")
        << hex("FEFEFEFE46B96A000682F216") << hex("46B968000680EE16");
    QTest::newRow("end frame without FE: 80") << hex("46B96A000682F216") << hex("46B968000680EE16");
    QTest::newRow("wrong checksum") << hex("46B96A000A8DFDFFFDFFF816") << QByteArray();
    QTest::newRow("wrong end byte") << hex("46B96A000A8DFDFFFDFFF917") << QByteArray();
    QTest::newRow("wrong direction") << hex("46B968000A8DFDFFFDFFF916") << QByteArray();
    QTest::newRow("length field one short") << hex("46B96A00098DFDFFFDFFF916") << QByteArray();
    QTest::newRow("length field past any frame") << hex("46B96AFFFF8D") << QByteArray();
    QTest::newRow("option frame one byte short") << hex("46B96A00098DFDFFFDF816") << QByteArray();
}

void TestSims::stcFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, answer);
    auto connected = [] {
        auto sim = std::make_unique<StcSim>();
        sim->feed(hex("7F7F"));
        return sim;
    };
    converse(connected, {{frame, answer}});
    auto sim = connected();
    sim->feed(frame);
    QCOMPARE(sim->protocolErrors().isEmpty(), !answer.isEmpty());
    QCOMPARE(sim->endFlagSeen(), frame.startsWith(hex("FE")));
}

void TestSims::stcDataFrameProgramsErasedFlash()
{
    QByteArray block(128, '\0');
    for (int i = 0; i < 128; ++i)
        block[i] = char(255 - i);
    const QByteArray payload = hex("0000"
                                   "0080"
                                   "0080") +
                               block; // 00 00, address, length
    StcSim sim;
    sim.feed(hex("7F7F"));
    // Without an erase the old contents (0x00) stay: flash bits only go from 1 to 0. The
    // answer carries the sum of the bytes received (0xC0), not of what the flash holds.
    QCOMPARE(sim.feed(StcSim::hostFrame(0x00, payload)), hex("46B968000780C0AF16"));
    QCOMPARE(sim.flash(0x80, 128), QByteArray(128, '\0'));
    QCOMPARE(sim.feed(hex("46B96A000D84053333333333333216")), hex("46B968000680EE16"));
    sim.answerWrongSum(2);
    QCOMPARE(sim.feed(StcSim::hostFrame(0x00, payload)), hex("46B968000780C1B016"));
    QCOMPARE(sim.flash(0x80, 128), block);
    QCOMPARE(sim.flash(0, 1), hex("FF"));
    QCOMPARE(sim.dataAddresses(), (QList<quint16>{0x80, 0x80}));
    // A block that would end past the flash is rejected.
    QCOMPARE(sim.feed(StcSim::hostFrame(0x00, hex("0000FFC00080") + block)), QByteArray());
    QCOMPARE(sim.protocolErrors().size(), 1);
}

void TestSims::simsSurviveNoise_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("prefix"); // brings the simulator into a deep state first

    QTest::newRow("STM32 before sync") << 0 << QByteArray();
    QTest::newRow("STM32 inside Write Memory") << 0 << hex("7F31CE0800000008");
    QTest::newRow("LPC before autobaud") << 1 << QByteArray();
    QTest::newRow("LPC inside a write to RAM")
        << 1 << QByteArray("?Synchronized\r\n11059.2\r\nU 23130\r\nA 0\r\nW 1073742336 4096\r\n");
    QTest::newRow("STC before the handshake") << 2 << QByteArray();
    QTest::newRow("STC between frames") << 2 << hex("7F7F");
}

// Random bytes from the line (noise, a wrong baud rate, a confused host) must never take a
// simulator outside its buffers (run under AddressSanitizer) nor grow its logs without end.
void TestSims::simsSurviveNoise()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, prefix);
    // Random runs mixed with pieces of real traffic, so the noise also reaches the frame and
    // line parsers behind the first checks.
    std::unique_ptr<sim::BootLoaderSim> device;
    QList<QByteArray> tokens;
    if (kind == 0) {
        device = std::make_unique<Stm32Sim>();
        tokens = {hex("7F"),         hex("31CE"),       hex("11EE"), hex("43BC"),
                  hex("0800000008"), hex("1FFFF7E0F7"), hex("FF00")};
    } else if (kind == 1) {
        device = std::make_unique<LpcSim>();
        tokens = {"\r\n",
                  "?",
                  "Synchronized\r\n",
                  "W 1073742336 4096\r\n",
                  "P 0 14\r\n",
                  "C 0 1073742336 4096\r\n",
                  "M",
                  "`",
                  "E 0 14\r\n",
                  "U 23130\r\n"};
    } else {
        device = std::make_unique<StcSim>();
        tokens = {hex("46B96A"), hex("46B96A008C00"), hex("FEFEFEFE"), hex("7F7F"), hex("16")};
    }
    device->feed(prefix);
    QRandomGenerator random(20240607);
    QByteArray noise;
    while (noise.size() < 128 * 1024) {
        if (random.bounded(3) == 0) {
            noise += tokens[random.bounded(int(tokens.size()))];
        } else {
            for (int n = random.bounded(1, 40); n > 0; --n)
                noise += char(random.bounded(256));
        }
    }
    qsizetype answered = 0;
    for (qsizetype at = 0; at < noise.size(); at += 61) {
        const qsizetype n = std::min<qsizetype>(61, noise.size() - at);
        answered += device->feed(QByteArrayView(noise).sliced(at, n)).size();
    }
    QVERIFY(answered < 16 * noise.size());
    QVERIFY(device->protocolErrors().size() <= 1000);
    QCOMPARE(device->hostBytesTaken(), prefix.size() + noise.size());
}

void TestSims::ptyRoundTripAndReopen()
{
    Stm32Sim device;
    testsupport::PtyPeer peer;
    QVERIFY(peer.isOpen());
    peer.attach(&device);

    int fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "\x7F", 1), ssize_t(1));
    QCOMPARE(readSlave(fd, 1, 2000), hex("79"));
    ::close(fd);

    // Closing and reopening the port must not hang up the line.
    fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "\x02\xFD", 2), ssize_t(2));
    QCOMPARE(readSlave(fd, 5, 2000), hex("7901041479"));
    peer.send(hex("A55A"));
    QCOMPARE(readSlave(fd, 2, 2000), hex("A55A"));
    ::close(fd);

    QCOMPARE(peer.received(), hex("7F02FD"));
    QCOMPARE(peer.sentToHost(), hex("797901041479A55A"));
    const auto log = peer.log();
    QVERIFY(log.size() >= 4);
    QCOMPARE(log.front().direction, testsupport::PtyPeer::Direction::FromHost);
    for (std::size_t i = 1; i < log.size(); ++i)
        QVERIFY(log[i - 1].time <= log[i].time);
    QVERIFY(device.protocolErrors().isEmpty());
}

void TestSims::ptyWaitKeepsEventsRunning()
{
    testsupport::PtyPeer peer;
    const int fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);
    // The bytes are written by a timer of this thread: they only come if the wait lets the
    // event loop run.
    QTimer::singleShot(20, [fd] { QCOMPARE(::write(fd, "ping", 4), ssize_t(4)); });
    QVERIFY(peer.waitForReceived(4, 2000));
    QVERIFY(peer.waitForReceived([](const QByteArray &r) { return r == "ping"; }, 100));
    QVERIFY(!peer.waitForReceived(5, 50));
    ::close(fd);
}

void TestSims::ptyDelaysBaudRateAnswer()
{
    // The STC chip answers a baud-rate frame only after the host has had time to reopen its
    // port at the new rate; an answer before that would be lost on a real line.
    StcSim::Config config;
    config.baudSwitchDelay = std::chrono::milliseconds(150);
    StcSim device(config);
    testsupport::PtyPeer peer;
    peer.attach(&device);
    const int fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "\x7F\x7F", 2), ssize_t(2));
    QCOMPARE(readSlave(fd, 59, 2000).size(), 59);

    const QByteArray step1 = hex("46B96A000C8FFFFD00062881B016");
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(::write(fd, step1.constData(), step1.size()), ssize_t(step1.size()));
    QCOMPARE(readSlave(fd, 14, 2000), hex("46B968000C8FFFFD00062881AE16"));
    QVERIFY2(clock.elapsed() >= 150, qPrintable(QString::number(clock.elapsed())));

    clock.restart();
    const QByteArray control = hex("46B96A000A80020036012D16");
    QCOMPARE(::write(fd, control.constData(), control.size()), ssize_t(control.size()));
    QCOMPARE(readSlave(fd, 8, 2000), hex("46B968000680EE16"));
    QVERIFY2(clock.elapsed() < 150, qPrintable(QString::number(clock.elapsed())));
    ::close(fd);
    peer.attach(nullptr);
    QVERIFY(device.protocolErrors().isEmpty());
}

void TestSims::ptyPacingMatchesBaudRate()
{
    // 192 bytes at 9600 baud, 10 bits each: 200 ms on a real line.
    constexpr int kBytes = 192;
    constexpr int kExpectedMs = kBytes * 10 * 1000 / 9600;
    constexpr int kSlackMs = 200; // scheduling delays on a loaded machine
    testsupport::PtyPeer peer;
    peer.setPacing(10, 9600);
    const int fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);

    QElapsedTimer clock;
    clock.start();
    peer.send(QByteArray(kBytes, 'x'));
    QCOMPARE(readSlave(fd, kBytes, 2000).size(), kBytes);
    const qint64 toHost = clock.elapsed();

    clock.restart();
    QCOMPARE(::write(fd, QByteArray(kBytes, 'y').constData(), kBytes), ssize_t(kBytes));
    QVERIFY(peer.waitForReceived(kBytes, 2000));
    const qint64 fromHost = clock.elapsed();

    QVERIFY2(toHost >= kExpectedMs * 9 / 10 && toHost < kExpectedMs * 2 + kSlackMs,
             qPrintable(QString::number(toHost)));
    QVERIFY2(fromHost >= kExpectedMs * 9 / 10 && fromHost < kExpectedMs * 2 + kSlackMs,
             qPrintable(QString::number(fromHost)));
    ::close(fd);
}

void TestSims::ptyCloseMasterGivesHangUp()
{
    testsupport::PtyPeer peer;
    const int fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);
    peer.closeMaster();
    QVERIFY(!peer.isOpen());
    pollfd p{fd, POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 1000), 1);
    QVERIFY(p.revents & (POLLHUP | POLLERR));
    char c = 0;
    errno = 0;
    const ssize_t n = ::read(fd, &c, 1);
    QVERIFY(n == 0 || (n < 0 && errno == EIO));
    ::close(fd);
}

void TestSims::boardServesSessionAfterSession_data()
{
    QTest::addColumn<char>("family");
    QTest::addColumn<QByteArrayList>("session");
    QTest::addColumn<QStringList>("narration"); // "!!": any line telling of a rejection

    QTest::newRow("STM32") << 'S' << QByteArrayList{hex("7F"), hex("02FD"), hex("0011")}
                           << QStringList{"7F synchronised", "02 Get ID", "!!"};
    // A host that finds the loader already synchronised (7F 7F, NACK) is no error.
    QTest::newRow("STM32 erase, then the host connects again")
        << 'S' << QByteArrayList{hex("7F"), hex("43BC"), hex("0200010201"), hex("7F"), hex("7F")}
        << QStringList{"7F synchronised", "43 Erase: pages 0-2",
                       "-- 7F 7F: the host connects again; NACK, as the chip answers"};
    QTest::newRow("STM32 read-protected")
        << 'R' << QByteArrayList{hex("7F"), hex("11EE")}
        << QStringList{"7F synchronised", "-- 0x11 refused: read-out protection is on"};
    QTest::newRow("LPC2000") << 'L'
                             << QByteArrayList{"?", "Synchronized\r\n", "12000\r\n", "J\r\n",
                                               "X 1\r\n"}
                             << QStringList{"? -> Synchronized", "Synchronized -> OK",
                                            "12000 -> OK", "J -> 0", "X 1 -> 1", "!!"};
    QTest::newRow("STC89") << 'C'
                           << QByteArrayList{hex("7F7F"), hex("46B96A000A80020036012D16"),
                                             hex("46B96A000A80020036012D17")}
                           << QStringList{"80 control", "!!"};
}

void TestSims::boardServesSessionAfterSession()
{
    QFETCH(char, family);
    QFETCH(QByteArrayList, session);
    QFETCH(QStringList, narration);
    auto make = [family] {
        if (family == 'S') return sim::VirtualBoard::stm32({});
        if (family == 'R') {
            Stm32Sim::Config locked;
            locked.readProtected = true;
            return sim::VirtualBoard::stm32(locked);
        }
        if (family == 'L') return sim::VirtualBoard::lpc({});
        return sim::VirtualBoard::stc({});
    };
    // What a chip fresh from reset answers, fed directly.
    const auto reference = make();
    QByteArrayList answers;
    for (const QByteArray &chunk : session)
        answers << reference->feed(chunk);

    const auto board = make();
    std::mutex mutex;
    QStringList lines;
    board->setNarrator([&](const QString &line) {
        std::lock_guard guard(mutex);
        lines << line;
    });
    testsupport::PtyPeer peer;
    peer.setKeepLog(false); // as a board that serves for hours runs
    peer.attach(board.get());
    const int fd = openSlave(peer.slavePath());
    QVERIFY(fd >= 0);
    for (qsizetype i = 0; i < session.size(); ++i) {
        QCOMPARE(::write(fd, session[i].constData(), size_t(session[i].size())),
                 ssize_t(session[i].size()));
        QCOMPARE(readSlave(fd, answers[i].size(), 2000), answers[i]);
    }
    QTest::qWait(100); // a rejection has no answer to wait for
    {
        std::lock_guard guard(mutex);
        QCOMPARE(lines.size(), narration.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QVERIFY2(narration[i] == "!!" ? lines[i].startsWith("!! ") : lines[i] == narration[i],
                     qPrintable(lines[i]));
        lines.clear();
    }
    QVERIFY(peer.received().isEmpty());
    // What was told is dropped: a board that serves for hours does not grow.
    const sim::BootLoaderSim &chip = board->chip();
    QVERIFY(chip.protocolErrors().isEmpty());
    if (const auto *stm32 = dynamic_cast<const Stm32Sim *>(&chip))
        QVERIFY(stm32->commands().isEmpty() && stm32->erasedPages().isEmpty());
    if (const auto *lpc = dynamic_cast<const LpcSim *>(&chip)) QVERIFY(lpc->commands().isEmpty());
    if (const auto *stc = dynamic_cast<const StcSim *>(&chip)) QVERIFY(stc->frames().isEmpty());

    // A quiet line resets nothing: a person at a terminal pauses longer than a second.
    QTest::qWait(1500);
    QVERIFY(board->chip().hostBytesTaken() > 0);
    QCOMPARE(board->sessions(), 1);
    // The host closes the port and opens it again: the next host meets a chip fresh from
    // reset, whatever state the last one left it in.
    ::close(fd);
    const int again = openSlave(peer.slavePath());
    QVERIFY(again >= 0);
    QCOMPARE(::write(again, session[0].constData(), size_t(session[0].size())),
             ssize_t(session[0].size()));
    QCOMPARE(readSlave(again, answers[0].size(), 2000), answers[0]);
    QCOMPARE(board->sessions(), 2);
    // The reset wiring: the chip starts afresh on the open port.
    board->reset();
    QCOMPARE(board->chip().hostBytesTaken(), 0);
    QCOMPARE(::write(again, session[0].constData(), size_t(session[0].size())),
             ssize_t(session[0].size()));
    QCOMPARE(readSlave(again, answers[0].size(), 2000), answers[0]);
    QCOMPARE(board->sessions(), 3);
    ::close(again);
    peer.attach(nullptr);
    QCOMPARE(lines.value(0), QStringLiteral("-- reset: the port was opened"));
    QVERIFY(lines.contains(QStringLiteral("-- reset")));
}

void TestSims::exampleFirmwareIsAnImageForTheBoard()
{
    QByteArray text = sim::exampleHex();
    QBuffer file(&text);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const stm32::LoadResult loaded = stm32::loadHex(file);
    QVERIFY2(loaded.ok(), qPrintable(loaded.statusText));
    QCOMPARE(loaded.image, sim::exampleImage());
    const auto word = [&](int at) {
        return qFromLittleEndian<quint32>(loaded.image.constData() + at);
    };
    // Stack pointer in RAM, reset handler a Thumb address inside the image.
    QVERIFY(word(0) > Stm32Sim::kRamBase && word(0) <= Stm32Sim::kRamBase + 20 * 1024);
    QCOMPARE(word(4) & 1, 1u);
    QVERIFY(word(4) > Stm32Sim::kFlashBase && word(4) < Stm32Sim::kFlashBase + loaded.image.size());
}

QTEST_GUILESS_MAIN(TestSims)
#include "tst_sims.moc"
