// STC boot-loader frames, recognition tables and image rules.
#include "logic/HexText.h"
#include "logic/StcFrames.h"

#include <QTest>
#include <cmath>

using namespace stc;

namespace {

// Bytes of a frame given as hex text.
QByteArray bytesOf(QStringView hex)
{
    return hextext::fromHex(hex);
}

quint16 word(const QByteArray &b, qsizetype pos)
{
    return quint16((quint8(b[pos]) << 8) | quint8(b[pos + 1]));
}

// A status frame as a chip might send it, with the given texts spliced in at byte boundaries,
// padded to `bytes` bytes and ending in 0x16.
QString statusFrame(const QString &inner, int bytes)
{
    QString s = QStringLiteral("68") + inner;
    while (s.size() < (bytes - 1) * 2)
        s += QStringLiteral("00");
    return s + QStringLiteral("16");
}

// The status frame of a real STC89C52RC (boot loader 4.3C) as it came over the wire at 2400
// baud: no 46 B9 start; 00, eight counts, 43 43, option byte FC, model code F0 02 82
// (real-chips/recorded/stc89c52rc.txt, first chip answer).
const QString kRecordedStatus =
    QStringLiteral("68003B0025E625E625E625E625E625E625E225E64343FCF00282") +
    QStringLiteral("00").repeated(31) + QStringLiteral("ED16");

// The recorded status with all eight counts set to count (bytes 4 .. 19 of the wire), an
// extra text put over its zeros at byte 30, and the checksum made right again unless told.
QString recordedStatusWith(quint16 count, const QString &inZeros = {}, bool rightSum = true)
{
    QByteArray b = bytesOf(kRecordedStatus);
    for (int i = 0; i < 8; ++i) {
        b[4 + 2 * i] = char(count >> 8);
        b[5 + 2 * i] = char(count & 0xFF);
    }
    b.replace(30, inZeros.size() / 2, bytesOf(inZeros));
    quint8 sum = rightSum ? 0 : 1;
    for (int i = 0; i < b.size() - 2; ++i)
        sum = quint8(sum + quint8(b[i]));
    b[b.size() - 2] = char(sum);
    return hextext::toHex(b);
}

} // namespace

class TstStcFrames : public QObject
{
    Q_OBJECT

private slots:
    void fixedFrameLayout_data();
    void fixedFrameLayout();
    void stepFramePayloads_data();
    void stepFramePayloads();
    void eraseModel5MatchesDescription();
    void checksum_data();
    void checksum();
    void stripText_data();
    void stripText();
    void dataFrame_data();
    void dataFrame();
    void dataFrameRejectsBadInput_data();
    void dataFrameRejectsBadInput();
    void findModel_data();
    void findModel();
    void findClock_data();
    void findClock();
    void statusClock_data();
    void statusClock();
    void modelAndClockTexts_data();
    void modelAndClockTexts();
    void frameSelection_data();
    void frameSelection();
    void versionText_data();
    void versionText();
    void versionDisplay_data();
    void versionDisplay();
    void receiverJoinsAndCompletes();
    void receiverBoundsPendingText();
    void statusFrameByLength_data();
    void statusFrameByLength();
    void dataAnswer_data();
    void dataAnswer();
    void imageLength_data();
    void imageLength();
    void sizeLabel_data();
    void sizeLabel();
    void splitBlocks_data();
    void splitBlocks();
    void progress_data();
    void progress();
};

void TstStcFrames::fixedFrameLayout_data()
{
    QTest::addColumn<QString>("frame");
    QTest::addColumn<int>("prefixBytes"); // bytes before the 46 B9 frame start
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("payload"); // as the protocol tables give it

    auto row = [](const char *name, QStringView frame, int prefix, int cmd, const char *payload) {
        QTest::newRow(name) << frame.toString() << prefix << cmd << QString::fromLatin1(payload);
    };
    row("step1 clock1 model1-4", kStep1Clock1Model1to4, 0, 0x8F, "FFFD00062881");
    row("step2 clock1 model1-4", kStep2Clock1Model1to4, 0, 0x8E, "FFFD000628");
    row("step1 clock1 model5", kStep1Clock1Model5, 0, 0x8F, "C0FA3F0C2883");
    row("step2 clock1 model5", kStep2Clock1Model5, 0, 0x8E, "C0FA3F0C28");
    row("step1 clock2", kStep1Clock2, 0, 0x8F, "FFFB000A2881");
    row("step2 clock2", kStep2Clock2, 0, 0x8E, "FFFB000A28");
    row("step1 clock3", kStep1Clock3, 0, 0x8F, "FFFA000C2880");
    row("step2 clock3", kStep2Clock3, 0, 0x8E, "FFFA000C28");
    row("step1 clock4", kStep1Clock4, 0, 0x8F, "FFF600142880");
    row("step2 clock4", kStep2Clock4, 0, 0x8E, "FFF6001428");
    row("step1 clock5", kStep1Clock5, 0, 0x8F, "FFF600142881");
    row("step2 clock5", kStep2Clock5, 0, 0x8E, "FFF6001428");
    row("step1 clock6", kStep1Clock6, 0, 0x8F, "FFF3001A2881");
    row("step2 clock6", kStep2Clock6, 0, 0x8E, "FFF3001A28");
    row("control model1-4", kControlModel1to4, 0, 0x80, "02003601");
    row("control model5", kControlModel5, 0, 0x80, "03003601F201");
    row("erase model1/4", kEraseModel1And4, 0, 0x84, "05333333333333");
    row("erase model2/3", kEraseModel2And3, 0, 0x84, "0C333333333333");
    row("option 6T", kOption6T, 0, 0x8D, "FCFFFAFF");
    row("option 12T", kOption12T, 0, 0x8D, "FDFFFDFF");
    row("option follow-up", kOptionFollowUp, 0, 0x50, "");
    row("end flag", kEndFlagFrame, 4, 0x82, "");
}

// Every fixed frame: start, direction, length field, command, payload, checksum (recomputed
// with stc::checksum, so a typo in a table shows here) and end byte.
void TstStcFrames::fixedFrameLayout()
{
    QFETCH(QString, frame);
    QFETCH(int, prefixBytes);
    QFETCH(int, command);
    QFETCH(QString, payload);

    QCOMPARE(frame, frame.toUpper());
    QCOMPARE(frame.size() % 2, 0);
    const QStringView body = QStringView(frame).mid(prefixBytes * 2);
    const QByteArray b = bytesOf(body);
    QVERIFY(b.size() >= 8);
    QCOMPARE(quint8(b[0]), kFrameStart1);
    QCOMPARE(quint8(b[1]), kFrameStart2);
    QCOMPARE(quint8(b[2]), kDirHostToChip);
    QCOMPARE(int(word(b, 3)), int(b.size() - 2));
    QCOMPARE(int(quint8(b[5])), command);
    QCOMPARE(hextext::toHex(b.mid(6, b.size() - 8)), payload);
    QCOMPARE(quint8(b.back()), kFrameEnd);
    QCOMPARE(stc::checksum(body.chopped(4)), body.right(4).left(2).toString());

    if (prefixBytes > 0)
        QCOMPARE(frame.left(prefixBytes * 2), QStringLiteral("FE").repeated(prefixBytes));
}

void TstStcFrames::stepFramePayloads_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("clock");
    QTest::addColumn<bool>("formula"); // class 1 of model 5 has frames of its own
    for (int clock = 1; clock <= 6; ++clock) {
        for (int model = 1; model <= 5; ++model) {
            QTest::addRow("model %d clock %d", model, clock)
                << model << clock << !(clock == 1 && model == 5);
        }
    }
}

// Payload words against 65536 - F / (32 R), the second word 2 * (65536 - first), and the
// step 2 payload being the step 1 payload without its last byte.
void TstStcFrames::stepFramePayloads()
{
    QFETCH(int, model);
    QFETCH(int, clock);
    QFETCH(bool, formula);

    const QByteArray s1 = bytesOf(stc::step1Frame(model, clock));
    const QByteArray s2 = bytesOf(stc::step2Frame(model, clock));
    QCOMPARE(quint8(s1[5]), kCmdBaudStep1);
    QCOMPARE(quint8(s2[5]), kCmdBaudStep2);
    const QByteArray p1 = s1.mid(6, s1.size() - 8);
    const QByteArray p2 = s2.mid(6, s2.size() - 8);
    QCOMPARE(p1.size(), 6);
    QCOMPARE(p2, p1.chopped(1));

    if (!formula) return;
    const double f = double(stc::clockFrequency(clock));
    const double r = double(stc::clockRate(clock));
    const auto first = int(65536 - std::lround(f / (32 * r)));
    QCOMPARE(int(word(p1, 0)), first);
    QCOMPARE(int(word(p1, 2)), 2 * (65536 - first));
}

void TstStcFrames::eraseModel5MatchesDescription()
{
    QByteArray b = QByteArray::fromHex("46B96A008B84FF0003EA0010");
    b.append(12, '\0');
    for (int v = 0x80; v >= 0x0E; --v)
        b.append(char(v));
    b.append(char(0x5A)).append(char(0x16));
    QCOMPARE(b.size(), 141);
    QCOMPARE(kEraseModel5.toString(), hextext::toHex(b));
    QCOMPARE(stc::checksum(kEraseModel5.chopped(4)), QStringLiteral("5A"));
}

void TstStcFrames::checksum_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty is 1") << QString() << "01";
    QTest::newRow("start bytes only") << "46B9"
                                      << "00";
    QTest::newRow("blanks ignored") << " 46 B9 6A 00 06 82 "
                                    << "F2";
    QTest::newRow("lower case digits") << "46b96a000682"
                                       << "F2";
    QTest::newRow("wraps at 8 bits") << "FFFFFF"
                                     << "FE";
    QTest::newRow("odd last digit ignored") << "46B96A0006827"
                                            << "F2";
}

void TstStcFrames::checksum()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(stc::checksum(text), expected);
}

void TstStcFrames::stripText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("expected");
    QTest::newRow("blanks") << " 46 B9  6A "
                            << " "
                            << "46B96A";
    QTest::newRow("pattern then trim") << "  xa xb x "
                                       << "x"
                                       << "a b";
    QTest::newRow("multi-char pattern") << "7F7F7F"
                                        << "7F"
                                        << "";
    QTest::newRow("empty pattern trims only") << "  a b  "
                                              << ""
                                              << "a b";
}

void TstStcFrames::stripText()
{
    QFETCH(QString, text);
    QFETCH(QString, pattern);
    QFETCH(QString, expected);
    QCOMPARE(stc::stripText(text, pattern), expected);
}

void TstStcFrames::dataFrame_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("address");
    QByteArray ramp(kBlockSize, '\0');
    for (int i = 0; i < kBlockSize; ++i)
        ramp[i] = char(i * 3 + 1);
    QTest::newRow("first block") << 0 << ramp << "0000";
    QTest::newRow("second block") << 1 << QByteArray(kBlockSize, char(0xFF)) << "0080";
    QTest::newRow("block 0x20") << 0x20 << ramp << "1000";
    QTest::newRow("last block of 64 KiB") << 511 << QByteArray(kBlockSize, '\0') << "FF80";
}

void TstStcFrames::dataFrame()
{
    QFETCH(int, index);
    QFETCH(QByteArray, block);
    QFETCH(QString, address);

    const QString frame = stc::dataFrame(index, hextext::toHex(block));
    QCOMPARE(frame.size(), kDataFrameSize * 2);
    QCOMPARE(frame.left(16), QStringLiteral("46B96A008C000000"));
    QCOMPARE(frame.mid(16, 4), address);
    QCOMPARE(frame.mid(20, 4), QStringLiteral("0080"));
    QCOMPARE(frame.mid(24, 256), hextext::toHex(block));
    QCOMPARE(frame.right(2), QStringLiteral("16"));

    // Checksum: the bytes from the direction byte through the block, low 8 bits.
    const QByteArray b = bytesOf(frame);
    quint8 sum = 0;
    for (qsizetype i = 2; i < 140; ++i)
        sum = quint8(sum + quint8(b[i]));
    QCOMPARE(quint8(b[140]), sum);
    QCOMPARE(int(word(b, 3)), kDataFrameSize - 2);
}

void TstStcFrames::dataFrameRejectsBadInput_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("block");
    const QString good = QStringLiteral("00").repeated(kBlockSize);
    QTest::newRow("negative index") << -1 << good;
    QTest::newRow("address beyond 16 bits") << 512 << good;
    QTest::newRow("short block") << 0 << good.left(254);
    QTest::newRow("long block") << 0 << good + "00";
    QTest::newRow("non-hex block") << 0 << QString(good).replace(10, 1, u'G');
}

void TstStcFrames::dataFrameRejectsBadInput()
{
    QFETCH(int, index);
    QFETCH(QString, block);
    QVERIFY(stc::dataFrame(index, block).isEmpty());
}

void TstStcFrames::findModel_data()
{
    QTest::addColumn<QString>("lastFrame");
    QTest::addColumn<int>("model");
    QTest::newRow("none") << statusFrame("0102", 20) << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("89C52RC") << statusFrame("F00282", 20) << 1;
    QTest::newRow("89C55RD+") << statusFrame("F10582", 20) << 2;
    QTest::newRow("89C516RD+") << statusFrame("F11082", 20) << 3;
    QTest::newRow("89C51RC") << statusFrame("F00182", 20) << 4;
    QTest::newRow("12C1052") << statusFrame("F20183", 20) << 5;
    QTest::newRow("both 1 and 5: last row wins") << statusFrame("F20183AAF00282", 20) << 5;
    QTest::newRow("row order, not position") << statusFrame("F00182F10582", 20) << 4;
    // Plain text search: a match may straddle byte boundaries.
    QTest::newRow("off byte boundary") << statusFrame("0F00282A", 20) << 1;
    QTest::newRow("lower case is no match") << statusFrame("f00282", 20) << 0;
    QTest::newRow("recorded STC89C52RC status") << kRecordedStatus << 1;
}

void TstStcFrames::findModel()
{
    QFETCH(QString, lastFrame);
    QFETCH(int, model);
    QCOMPARE(stc::findModel(lastFrame), model);
}

void TstStcFrames::findClock_data()
{
    QTest::addColumn<QString>("lastFrame");
    QTest::addColumn<int>("clock");
    QTest::newRow("none") << statusFrame("1C0015", 20) << 0;
    const char *rows[][2] = {
        {"1C0014", "1"}, {"280014", "1"}, {"390014", "1"}, {"1C0022", "2"}, {"390022", "2"},
        {"1C0029", "3"}, {"390029", "3"}, {"1C0045", "4"}, {"390045", "4"}, {"1C0016", "5"},
        {"390016", "5"}, {"3B0016", "5"}, {"1C002D", "6"}, {"39002D", "6"}, {"3B002D", "6"},
    };
    for (const auto &r : rows)
        QTest::addRow("%s", r[0]) << statusFrame(QString::fromLatin1(r[0]), 20)
                                  << QByteArray(r[1]).toInt();
    QTest::newRow("1C0014 and 1C0016: row 5 wins") << statusFrame("1C00141C0016", 20) << 5;
    QTest::newRow("later row wins over earlier position") << statusFrame("39002D1C0014", 20) << 6;
    QTest::newRow("off byte boundary") << statusFrame("01C00290", 20) << 3;

    // A real status frame (length 3B, type 00, the first count's high byte: "3B0016" is the
    // 12 MHz row). When the table finds nothing, the clock comes from the counts taken on the
    // 1200-baud handshake, count = clock * 7 / (12 * 1200), 3 % either side of a class.
    QTest::newRow("recorded status: 19.96 MHz at 1200 baud, no class") << kRecordedStatus << 0;
    const std::pair<const char *, int> counted[] = {
        {"5365", 1},  // 0x14F5: a 4.3C chip at 11.0592 MHz measuring a little low
        {"5376", 1},  {"8960", 2}, {"10752", 3}, {"17920", 4}, {"5833", 5}, {"11667", 6},
        {"8940", 2},  // 0x22EC: 3B0022 is no row either
        {"5537", 1},  // 11.3904 MHz, 2.996 % above 11.0592
        {"5540", 0},  // 11.3966 MHz, too far from 11.0592 and from 12
        {"5216", 1},  // 10.7246 MHz, 2.63 % below
        {"5200", 0},  // 10.6971 MHz
    };
    for (const auto &[count, clock] : counted)
        QTest::addRow("status counts %s", count)
            << recordedStatusWith(quint16(QByteArray(count).toInt())) << clock;
    QTest::newRow("status with 46 B9 in front")
        << QStringLiteral("46B9") + recordedStatusWith(5376) << 1;
    QTest::newRow("a table text wins over the counts")
        << recordedStatusWith(5376, "1C0016") << 5;
    QTest::newRow("bad checksum: not a status") << recordedStatusWith(5376, {}, false) << 0;
    QTest::newRow("byte after the status: not a status") << recordedStatusWith(5376) + "00"
                                                         << 0;
}

void TstStcFrames::findClock()
{
    QFETCH(QString, lastFrame);
    QFETCH(int, clock);
    QCOMPARE(stc::findClock(lastFrame), clock);
}

void TstStcFrames::statusClock_data()
{
    QTest::addColumn<QString>("lastFrame");
    QTest::addColumn<int>("rate");
    QTest::addColumn<double>("mhz"); // < 0: not a status frame

    // 2400 * 9701.5 * 12 / 7: the recorded chip ran at 19.957 MHz in 6T mode, its UART as a
    // 12T chip at twice that (its host chose the baud-rate word FD F8 for this clock).
    QTest::newRow("recorded, at its 2400 baud") << kRecordedStatus << 2400 << 39.9147;
    QTest::newRow("no rate") << kRecordedStatus << 0 << -1.0;
    QTest::newRow("payload type 50") << QString(kRecordedStatus).replace(6, 2, "50") << 1200
                                     << -1.0;
    QTest::newRow("cut short") << kRecordedStatus.left(56) << 1200 << -1.0;
    QTest::newRow("length field one more") << QString(kRecordedStatus).replace(4, 2, "3C")
                                           << 1200 << -1.0;
    QTest::newRow("empty") << QString() << 1200 << -1.0;
}

void TstStcFrames::statusClock()
{
    QFETCH(QString, lastFrame);
    QFETCH(int, rate);
    QFETCH(double, mhz);
    const std::optional<double> hz = stc::statusClock(lastFrame, rate);
    QCOMPARE(hz.has_value(), mhz >= 0);
    if (hz) QVERIFY2(std::abs(*hz / 1e6 - mhz) < 0.0001, qPrintable(QString::number(*hz)));
}

void TstStcFrames::modelAndClockTexts_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("modelName");
    QTest::addColumn<QString>("clockText");
    QTest::addColumn<int>("rate");
    QTest::newRow("0") << 0 << ""
                       << "" << 0;
    QTest::newRow("1") << 1 << "STC89C52RC"
                       << "/时钟频率: 11.0592M" << 115200;
    QTest::newRow("2") << 2 << "STC89C55RD+"
                       << "/时钟频率: 18.432M" << 115200;
    QTest::newRow("3") << 3 << "STC89C516RD+"
                       << "/时钟频率: 22.1184M" << 115200;
    QTest::newRow("4") << 4 << "STC89C51RC"
                       << "/时钟频率: 36.864M" << 115200;
    QTest::newRow("5") << 5 << "STC12C1052"
                       << "/时钟频率: 12.000M" << 38400;
    QTest::newRow("6") << 6 << ""
                       << "/时钟频率: 24.000M" << 57600;
    QTest::newRow("7") << 7 << ""
                       << "" << 0;
    QTest::newRow("-1") << -1 << ""
                        << "" << 0;
}

void TstStcFrames::modelAndClockTexts()
{
    QFETCH(int, value);
    QFETCH(QString, modelName);
    QFETCH(QString, clockText);
    QFETCH(int, rate);
    QCOMPARE(stc::modelName(value), modelName);
    QCOMPARE(stc::clockText(value), clockText);
    QCOMPARE(stc::clockRate(value), rate);
}

void TstStcFrames::frameSelection_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("clock");
    QTest::addColumn<QString>("step1");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("erase");
    auto s = [](QStringView v) { return v.toString(); };
    QTest::newRow("52RC 11.0592") << 1 << 1 << s(kStep1Clock1Model1to4) << s(kControlModel1to4)
                                  << s(kEraseModel1And4);
    QTest::newRow("55RD+ 18.432") << 2 << 2 << s(kStep1Clock2) << s(kControlModel1to4)
                                  << s(kEraseModel2And3);
    QTest::newRow("516RD+ 22.1184")
        << 3 << 3 << s(kStep1Clock3) << s(kControlModel1to4) << s(kEraseModel2And3);
    QTest::newRow("51RC 36.864") << 4 << 4 << s(kStep1Clock4) << s(kControlModel1to4)
                                 << s(kEraseModel1And4);
    QTest::newRow("12C1052 11.0592")
        << 5 << 1 << s(kStep1Clock1Model5) << s(kControlModel5) << s(kEraseModel5);
    QTest::newRow("12C1052 12.000")
        << 5 << 5 << s(kStep1Clock5) << s(kControlModel5) << s(kEraseModel5);
    QTest::newRow("52RC 24.000") << 1 << 6 << s(kStep1Clock6) << s(kControlModel1to4)
                                 << s(kEraseModel1And4);
    QTest::newRow("unknown model") << 0 << 1 << QString() << QString() << QString();
    QTest::newRow("unknown clock")
        << 1 << 0 << QString() << s(kControlModel1to4) << s(kEraseModel1And4);
}

void TstStcFrames::frameSelection()
{
    QFETCH(int, model);
    QFETCH(int, clock);
    QFETCH(QString, step1);
    QFETCH(QString, control);
    QFETCH(QString, erase);
    QCOMPARE(stc::step1Frame(model, clock).toString(), step1);
    QCOMPARE(stc::step2Frame(model, clock).isEmpty(), step1.isEmpty());
    QCOMPARE(stc::controlFrame(model).toString(), control);
    QCOMPARE(stc::eraseFrame(model).toString(), erase);
}

void TstStcFrames::versionText_data()
{
    QTest::addColumn<QString>("rx");
    QTest::addColumn<QString>("version");

    // 29 bytes: byte 20 = 0x43, byte 21 = 'C'.
    QByteArray b29(29, char(0x11));
    b29[20] = char(0x43);
    b29[21] = 'C';
    b29[28] = char(0x16);
    QTest::newRow("29 bytes: bytes 20 and 21") << hextext::toHex(b29) << "43C";

    // 28 bytes (56 characters, not more): 8th and 7th from the end.
    QByteArray b28(28, char(0x22));
    b28[20] = char(0x99);
    b28[28 - 8] = char(0x51);
    b28[28 - 7] = 'A';
    b28[27] = char(0x16);
    QTest::newRow("28 bytes: from the end") << hextext::toHex(b28) << "51A";

    QByteArray b8 = QByteArray::fromHex("4344000000000016");
    QTest::newRow("8 bytes") << hextext::toHex(b8) << "43D";
    QTest::newRow("7 bytes: too short") << "43440000000016"
                                        << "";
    QTest::newRow("1 byte") << "16"
                            << "";
    QTest::newRow("empty") << ""
                           << "";
    // An odd last character is not a byte: 15 characters are 7 bytes.
    QTest::newRow("odd length, 7 whole bytes") << "434400000000161"
                                               << "";
    QTest::newRow("odd length, 8 whole bytes") << "4344000000000016F"
                                               << "43D";
    QTest::newRow("zero char byte") << "4300000000000016" << QString::fromUtf16(u"43\uFFFD");
    QTest::newRow("0x80 is the euro sign") << "4380000000000016" << QString::fromUtf16(u"43\u20AC");
    QTest::newRow("lead byte alone") << "43C4000000000016" << QString::fromUtf16(u"43\uFFFD");
    QTest::newRow("non-hex char byte") << "43ZZ000000000016" << QString::fromUtf16(u"43\uFFFD");
    // 57 characters: long rule; byte 21 is characters 42..43.
    QTest::newRow("recorded STC89C52RC status") << kRecordedStatus << "43C";
    QTest::newRow("57 characters")
        << QStringLiteral("0").repeated(40) + "4346" + QStringLiteral("1").repeated(13) << "43F";
}

void TstStcFrames::versionText()
{
    QFETCH(QString, rx);
    QFETCH(QString, version);
    QCOMPARE(stc::versionText(rx), version);
}

void TstStcFrames::versionDisplay_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("shown");
    QTest::newRow("43C") << "43C"
                         << "4.3C";
    QTest::newRow("52A") << "52A"
                         << "5.2A";
    QTest::newRow("empty") << ""
                           << "";
}

void TstStcFrames::versionDisplay()
{
    QFETCH(QString, version);
    QFETCH(QString, shown);
    QCOMPARE(stc::versionDisplay(version), shown);
}

void TstStcFrames::receiverJoinsAndCompletes()
{
    stc::Receiver rx;
    QVERIFY(!rx.feed(QByteArray::fromHex("6800")));
    QCOMPARE(rx.pendingText(), QStringLiteral("6800"));
    QVERIFY(!rx.feed(QByteArray())); // nothing received changes nothing
    // A byte 0x16 inside a reception does not complete it; only the last byte counts.
    QVERIFY(!rx.feed(QByteArray::fromHex("16F0")));
    QVERIFY(rx.feed(QByteArray::fromHex("4344000000000016")));
    QCOMPARE(rx.lastFrame(), QStringLiteral("680016F04344000000000016"));
    QCOMPARE(rx.versionText(), QStringLiteral("43D"));
    QVERIFY(rx.pendingText().isEmpty());

    // The handshake tick clears what came before it.
    QVERIFY(!rx.feed(QByteArray::fromHex("AABB")));
    rx.clearPending();
    QVERIFY(rx.feed(QByteArray::fromHex("16")));
    QCOMPARE(rx.lastFrame(), QStringLiteral("16"));
    QCOMPARE(rx.versionText(), QString());
}

void TstStcFrames::receiverBoundsPendingText()
{
    stc::Receiver rx;
    const QByteArray noise(1000, char(0x55));
    for (int i = 0; i < 100; ++i)
        QVERIFY(!rx.feed(noise));
    QCOMPARE(rx.pendingText().size(), stc::Receiver::kMaxPendingChars);
    // A single huge reception is bounded too, and still completes on its last byte.
    QByteArray huge(100000, char(0x33));
    huge.back() = char(0x16);
    QVERIFY(rx.feed(huge));
    QCOMPARE(rx.lastFrame().size(), stc::Receiver::kMaxPendingChars);
    QVERIFY(rx.lastFrame().endsWith(QStringLiteral("333316")));
    QCOMPARE(rx.versionText(), QStringLiteral("333"));
}

void TstStcFrames::statusFrameByLength_data()
{
    QTest::addColumn<QString>("rx");
    QTest::addColumn<int>("at");   // -1: no whole status frame in yet
    QTest::addColumn<int>("size");

    const QString inner16 = recordedStatusWith(0x1616); // 16 inside, at byte 4 first
    QTest::newRow("recorded STC89C52RC status") << kRecordedStatus << 0 << 59;
    QTest::newRow("recorded status less its end byte") << kRecordedStatus.chopped(2) << -1 << 0;
    QTest::newRow("bytes after it") << kRecordedStatus + QStringLiteral("7F16") << 0 << 59;
    QTest::newRow("handshake echo before it") << QStringLiteral("7F7F") + kRecordedStatus << 2
                                              << 59;
    QTest::newRow("noise ending in 16 before it") << QStringLiteral("5516") + kRecordedStatus
                                                  << 2 << 59;
    QTest::newRow("noise 68 with a wild length before it")
        << QStringLiteral("68FF") + kRecordedStatus << 2 << 59;
    QTest::newRow("with the 46 B9 start") << QStringLiteral("0046B9680006006E16") << 1 << 8;
    QTest::newRow("cut after an inner 16") << inner16.left(10) << -1 << 0;
    QTest::newRow("cut after its checksum 16")
        << recordedStatusWith(0x25E6, QStringLiteral("29")).chopped(2) << -1 << 0;
    QTest::newRow("16 inside, whole") << inner16 << 0 << 59;
    QTest::newRow("wrong checksum") << recordedStatusWith(0x25E6, {}, false) << -1 << 0;
    QTest::newRow("length below a status") << QStringLiteral("680005006D16") << -1 << 0;
    QTest::newRow("beyond the longest status")
        << QStringLiteral("680081") + QStringLiteral("00").repeated(124) + QStringLiteral("E916")
        << -1 << 0;
    QTest::newRow("a host frame") << QStringLiteral("46B96A0006006F16") << -1 << 0;
    QTest::newRow("nothing") << QString() << -1 << 0;
}

void TstStcFrames::statusFrameByLength()
{
    QFETCH(QString, rx);
    QFETCH(int, at);
    QFETCH(int, size);
    const std::optional<FramePlace> place = findStatusFrame(bytesOf(rx));
    QCOMPARE(place.has_value(), at >= 0);
    if (!place) return;
    QCOMPARE(place->at, at);
    QCOMPARE(place->size, size);
}

void TstStcFrames::dataAnswer_data()
{
    QTest::addColumn<QString>("rx");
    QTest::addColumn<QString>("block"); // empty: 01 02 13 and 125 zeros, sum 0x16 (the end byte)
    QTest::addColumn<int>("answer");    // stc::DataAnswer
    QTest::addColumn<int>("resumeAt");  // > 0: the answer arrives cut after this many digits

    // A real STC89C52RC answers 80 and the sum of the 128 bytes it got. Its first block and
    // answer of real-chips/recorded/doc-traces/trace-stc89c52rc.txt: 80 program bytes, 48
    // zeros, sum 03.
    const QString helloBlock =
        QStringLiteral("02000812003F80FE75810712004CE5826003020003E478FFF6D8FD020003AE82AF83"
                       "8E048F051EBEFF011FEC4D600F7C907D011CBCFF011DEC4D70F780E4229003E812"
                       "001EE580F4F58080F375820022") +
        QStringLiteral("00").repeated(48);
    QTest::newRow("recorded answer 80 03") << QStringLiteral("46B96800078003F216") << helloBlock
                                           << int(stc::DataAnswer::Good) << 0;
    const QString good = QStringLiteral("46B968000780160516");
    QTest::newRow("sum right") << good << QString() << int(stc::DataAnswer::Good) << 0;
    QTest::newRow("cut at the sum byte 16") << good << QString() << int(stc::DataAnswer::Good)
                                            << 14;
    QTest::newRow("sum wrong") << QStringLiteral("46B968000780170616") << QString()
                               << int(stc::DataAnswer::WrongSum) << 0;
    QTest::newRow("bad checksum") << QStringLiteral("46B968000780160616") << QString()
                                  << int(stc::DataAnswer::Malformed) << 0;
    QTest::newRow("answer code 00 instead of 80")
        << QStringLiteral("46B968000700168516") << QString() << int(stc::DataAnswer::Malformed)
        << 0;
    QTest::newRow("the answer to control and erase frames")
        << QStringLiteral("46B968000680EE16") << QString() << int(stc::DataAnswer::Malformed)
        << 0;
    QTest::newRow("host direction byte") << QStringLiteral("46B96A000780160716") << QString()
                                         << int(stc::DataAnswer::Malformed) << 0;
    QTest::newRow("noise before the frame") << QStringLiteral("0046B968000780160516")
                                            << QString() << int(stc::DataAnswer::Malformed) << 0;
    QTest::newRow("byte after the frame") << QStringLiteral("46B96800078016051616") << QString()
                                          << int(stc::DataAnswer::Malformed) << 0;
    QTest::newRow("length beyond any answer") << QStringLiteral("46B968FFFF8016") << QString()
                                              << int(stc::DataAnswer::Malformed) << 0;
    QTest::newRow("only 0x16") << QStringLiteral("16") << QString()
                               << int(stc::DataAnswer::Malformed) << 0;
}

void TstStcFrames::dataAnswer()
{
    QFETCH(QString, rx);
    QFETCH(QString, block);
    QFETCH(int, answer);
    QFETCH(int, resumeAt);

    if (block.isEmpty()) {
        block = QStringLiteral("010213");
        block += QString(2 * 125, u'0');
        QCOMPARE(stc::blockSum(block), quint8(0x16));
    }
    QCOMPARE(block.size(), kBlockHexChars);
    QVERIFY(!stc::answerIncomplete(rx));
    if (resumeAt == 0) {
        QCOMPARE(int(stc::checkDataAnswer(rx, block)), answer);
        return;
    }
    // A reception ends at the 0x16 of the sum: the frame is incomplete, and the rest joins it.
    stc::Receiver r;
    QVERIFY(r.feed(QByteArray::fromHex(rx.left(resumeAt).toLatin1())));
    QCOMPARE(stc::checkDataAnswer(r.lastFrame(), block), stc::DataAnswer::Incomplete);
    QVERIFY(stc::answerIncomplete(r.lastFrame()));
    r.resumeLast();
    QVERIFY(r.feed(QByteArray::fromHex(rx.mid(resumeAt).toLatin1())));
    QCOMPARE(r.lastFrame(), rx);
    QCOMPARE(int(stc::checkDataAnswer(r.lastFrame(), block)), answer);
}

void TstStcFrames::imageLength_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<qsizetype>("length"); // -1: no image

    QByteArray zeros(kImageBufferSize, '\0');
    QTest::newRow("all zero: no image") << zeros << qsizetype(-1);
    QByteArray only0 = zeros;
    only0[0] = char(0x02);
    QTest::newRow("only offset 0: no image") << only0 << qsizetype(-1);
    QByteArray at1 = zeros;
    at1[1] = char(0x01);
    QTest::newRow("offset 1") << at1 << qsizetype(2);
    QByteArray trailing = zeros;
    for (int i = 0; i < 300; ++i)
        trailing[i] = char(i % 7 + 1);
    trailing[150] = 0;
    QTest::newRow("stops before trailing zeros") << trailing << qsizetype(300);
    QByteArray gap = zeros;
    for (int i = 0; i < 0x100; ++i)
        gap[i] = char(0xA5);
    for (int i = 0x1000; i < 0x1100; ++i)
        gap[i] = char(0x5A);
    QTest::newRow("gap, end 0x10FF") << gap << qsizetype(0x1100);
    QByteArray full = zeros;
    full[0xFFFF] = char(0xFF);
    QTest::newRow("byte at 0xFFFF") << full << qsizetype(0x10000);
    QByteArray shortBuf(10, '\0');
    shortBuf[9] = 1;
    QTest::newRow("short buffer") << shortBuf << qsizetype(10);
    QByteArray longBuf(kImageBufferSize + 10, '\0');
    longBuf[kImageBufferSize + 5] = 1; // beyond the decoding buffer: not part of the image
    longBuf[7] = 1;
    QTest::newRow("bytes beyond 64 KiB ignored") << longBuf << qsizetype(8);
    QTest::newRow("empty buffer") << QByteArray() << qsizetype(-1);
    QTest::newRow("one byte buffer") << QByteArray(1, char(9)) << qsizetype(-1);
}

void TstStcFrames::imageLength()
{
    QFETCH(QByteArray, buffer);
    QFETCH(qsizetype, length);
    const auto got = stc::imageLength(buffer);
    QCOMPARE(got.value_or(-1), length);
}

void TstStcFrames::sizeLabel_data()
{
    QTest::addColumn<qsizetype>("length");
    QTest::addColumn<QString>("label");
    QTest::newRow("1536") << qsizetype(1536) << "1.5 KB";
    QTest::newRow("1100 (remainder 76)") << qsizetype(1100) << "1.7 KB";
    QTest::newRow("1024") << qsizetype(1024) << "1.0 KB";
    QTest::newRow("2") << qsizetype(2) << "0.2 KB";
    QTest::newRow("1023") << qsizetype(1023) << "0.1 KB";
    QTest::newRow("65536") << qsizetype(65536) << "64.0 KB";
    QTest::newRow("0x1100") << qsizetype(0x1100) << "4.2 KB";
}

void TstStcFrames::sizeLabel()
{
    QFETCH(qsizetype, length);
    QFETCH(QString, label);
    QCOMPARE(stc::sizeLabel(length), label);
}

void TstStcFrames::splitBlocks_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("blocks");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("1 byte") << 1 << 1;
    QTest::newRow("128 bytes") << 128 << 1;
    QTest::newRow("129 bytes") << 129 << 2;
    QTest::newRow("0x1100 bytes") << 0x1100 << 34;
    QTest::newRow("65536 bytes") << 65536 << 512;
}

// Blocks hold the image in order, 256 digits each, the last padded with "00"; the data frame
// of each block carries address index * 128.
void TstStcFrames::splitBlocks()
{
    QFETCH(int, size);
    QFETCH(int, blocks);
    QByteArray image(size, '\0');
    for (int i = 0; i < size; ++i)
        image[i] = char((i * 7 + 3) & 0xFF);

    const QStringList list = stc::splitBlocks(image);
    QCOMPARE(list.size(), blocks);
    QString all;
    for (const QString &b : list) {
        QCOMPARE(b.size(), kBlockHexChars);
        all += b;
    }
    const QByteArray joined = hextext::fromHex(all);
    QCOMPARE(joined.left(size), image);
    QCOMPARE(joined.mid(size), QByteArray(joined.size() - size, '\0'));
    QCOMPARE(joined.size() - size, blocks == 0 ? 0 : (kBlockSize - size % kBlockSize) % kBlockSize);
    for (int i = 0; i < list.size(); ++i) {
        const QString frame = stc::dataFrame(i, list[i]);
        QCOMPARE(hextext::parseField(frame, 16, 4).value(), quint32(i * kBlockSize));
    }
}

void TstStcFrames::progress_data()
{
    QTest::addColumn<int>("i");
    QTest::addColumn<int>("n");
    QTest::addColumn<int>("percent");
    QTest::newRow("1 of 1") << 0 << 1 << 100;
    QTest::newRow("1 of 2") << 0 << 2 << 50;
    QTest::newRow("1 of 3") << 0 << 3 << 33;
    QTest::newRow("2 of 3") << 1 << 3 << 67;
    QTest::newRow("12.5 to even 12") << 0 << 8 << 12;
    QTest::newRow("37.5 to even 38") << 2 << 8 << 38;
    QTest::newRow("62.5 to even 62") << 4 << 8 << 62;
    QTest::newRow("87.5 to even 88") << 6 << 8 << 88;
    QTest::newRow("0.5 to even 0") << 0 << 200 << 0;
    QTest::newRow("1.5 to even 2") << 2 << 200 << 2;
    QTest::newRow("2.5 to even 2 (1/40)") << 0 << 40 << 2;
    QTest::newRow("0.195 of 512") << 0 << 512 << 0;
    QTest::newRow("last of 512") << 511 << 512 << 100;
    QTest::newRow("34 blocks, 17th = 50") << 16 << 34 << 50;
    QTest::newRow("no blocks") << 0 << 0 << 0;
    QTest::newRow("past the end clamps") << 5 << 2 << 100;
}

void TstStcFrames::progress()
{
    QFETCH(int, i);
    QFETCH(int, n);
    QFETCH(int, percent);
    QCOMPARE(stc::progress(i, n), percent);
}

QTEST_GUILESS_MAIN(TstStcFrames)
#include "tst_stcframes.moc"
