// The newer STC boot-loader dialects: STC12 (STC10/11/12, STC12Cx052, STC12C52/56), STC15
// (STC15F/L/W, IAP15) and STC8 (STC8A/8F, STC8H/8A..D4, STC8G).
//
// They keep the STC89 frame: 46 B9 | direction (6A host, 68 chip) | length (BE16, from the
// direction byte through the end byte) | payload (first byte: command or answer code) |
// checksum | 16. Unlike the STC89 they check it with a 2-byte checksum (the 16-bit sum of
// the bytes from the direction byte through the payload, big endian) and run the line with
// even parity once the status packet is in; only the STC12Cx052 keeps 8N1 and the 1-byte sum.
//
// Session is the host side of one download as a plain state machine: it does no I/O and
// keeps no time. The engine that owns the port asks it for the first Action, carries each
// Action out (pauses, line settings, bytes, pulses while waiting), hands it every byte the
// chip sends, and gets the next Action back when an answer is complete; the last Action is
// marked finished and the outcome says how the download ended. Events tell the engine which
// stage the download reached, so it can show the same lines as the STC89 programmer.
//
// Pure logic, Qt Core only.
#pragma once

#include "logic/Devices.h"
#include "logic/FirmwareImage.h"
#include "logic/StcFrames.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <optional>

namespace stc {

using devices::StcProtocol;

enum class Series { Stc12, Stc15, Stc8 };
Series seriesOf(StcProtocol protocol);

// ---- Line settings and frames --------------------------------------------------------------

enum class Parity { None, Even };
struct Line
{
    qint32 baud = 0;
    Parity parity = Parity::None;
    bool operator==(const Line &) const = default;
};
Parity parityOf(StcProtocol protocol);
int checksumBytes(StcProtocol protocol); // 1 or 2

// The longest frame either side sends (the STC12 erase frame has 141 bytes); a length field
// beyond it is a damaged frame, not a reason to wait for more bytes.
inline constexpr qsizetype kMaxSeriesFrame = 512;

// A whole frame: start, direction (kDirHostToChip, kDirChipToHost of the STC89 frames),
// length, payload, checksum of checksumBytes bytes, end.
QByteArray buildFrame(quint8 direction, QByteArrayView payload, int checksumBytes);

struct FrameScan
{
    enum Status {
        Complete,   // a whole frame at the start of the bytes, checksum and end byte right
        Incomplete, // a frame start whose length says more bytes are due
        Malformed,  // anything else (problem says what)
    } status = Malformed;
    QByteArray payload; // of a complete frame
    qsizetype size = 0; // bytes the frame took
    QString problem;
};
// Reads one frame with this direction and checksum width from the start of bytes.
FrameScan scanFrame(QByteArrayView bytes, quint8 direction, int checksumBytes);

// ---- Status packet ---------------------------------------------------------------------------

struct Status
{
    StcProtocol protocol = StcProtocol::Stc12;
    const devices::StcSeriesModel *model = nullptr;
    quint16 modelCode = 0;
    quint8 version = 0;         // high nibble major, low nibble minor
    char stepping = '?';        // ASCII letter
    int patch = -1;             // third version digit (STC15, STC8), -1 when the dialect has none
    qint64 clockHz = 0;         // measured or stored clock; 0: the RC oscillator was never trimmed
    bool externalClock = false; // STC15: the chip runs from a crystal
    quint8 factoryTrim24 = 0;   // STC15: the trim for 24 MHz (status byte 4)
    // The option bytes as reported, in the order the option frame writes them:
    // Stc12A/Stc12B/Stc12 MCS0..3; Stc15 MCS0..2, MCSX, MCSY (FF when not reported);
    // Stc8* MCS0..4.
    QByteArray options;
    QByteArray payload;
};
// The dialect of a model code; nullopt for a code the device table does not know.
std::optional<StcProtocol> protocolOfCode(quint16 code);
// Parses the payload of the chip's first frame; nullopt when it is too short for its dialect or
// the model code is not in the device table (problem, if given, says which).
std::optional<Status> parseStatus(QByteArrayView payload, qint32 handshakeBaud,
                                  QString *problem = nullptr);
// "7.1.4Q", "6.2I".
QString versionShown(const Status &status);

// ---- Calibration and rate arithmetic (exposed for the tests and the simulators) ---------------

// STC12 baud word for the 8F/8E frames: 256 - round(f / (16 * baud)); nullopt outside 2..255.
std::optional<quint8> stc12BaudWord(qint64 clockHz, qint32 baud);
// The IAP wait byte of the STC12/STC15 tables for a clock.
quint8 iapWait(qint64 clockHz);

struct Challenge
{
    quint8 trim;
    quint8 range;
};
// Linear interpolation between consecutive challenges whose counts bracket target (either
// order); the range of the second. nullopt when no pair brackets it.
std::optional<Challenge> bracketTrim(const QList<Challenge> &challenges,
                                     const QList<quint16> &counts, qint64 target);
// Index of the count closest to target (the first of equals); -1 for no counts.
int closestCount(const QList<quint16> &counts, qint64 target);

// ---- The image -------------------------------------------------------------------------------

// The 8051 code space: no image of these chips goes beyond it.
inline constexpr qsizetype kMaxSeriesImage = 0x10000;

struct ImageLoad
{
    enum Status { Loaded, Missing, Unreadable, Damaged, Empty, TooLarge } status = Missing;
    QByteArray image; // from address 0, up to the last byte the file gives; gaps are FF
    QString damage;   // for Damaged: the reason line naming the record's line; for TooLarge
                      // of a stretch outside the code space: its addresses
    QString warning;  // "" or a line to show before the download (records that overlap)
};
// Reads a firmware file: a binary file as the image from address 0 (or from binaryAddress),
// the other formats through the image model (firmware::load), each read whole or refused whole.
ImageLoad loadImage(const QString &path, std::optional<quint64> binaryAddress = std::nullopt);
// A file read into the image model, laid out from code address 0 with holes of fill; a
// stretch beyond the 64 KiB code space is TooLarge with its addresses in damage.
ImageLoad fromImage(const firmware::Loaded &file, char fill);

// ---- The session -----------------------------------------------------------------------------

// Option bytes a user may change; everything else is written back as the chip reported it.
struct OptionChanges
{
    std::optional<bool> eraseEeprom;     // erase the EEPROM area at the next download
    std::optional<bool> resetPinEnabled; // the RST pin resets (false: it is an I/O pin)
    std::optional<bool> lowVoltageReset; // reset on low voltage (STC12, STC15, STC8)
};

struct Choices
{
    QByteArray image; // from address 0 (a HEX file already decoded)
    qint32 handshakeBaud = 2400;
    qint32 transferBaud = 115200;
    std::optional<qint64> clockHz; // STC15/STC8 RC target; none: keep the chip's frequency
    OptionChanges options;
    std::chrono::milliseconds connectTimeout{5000};
};

enum class Stage {
    Connecting,   // pulses 7F until the status packet comes
    Connected,    // text: the version ("7.3.4T")
    Identified,   // text: the model; value: its clock in Hz (0 when untrimmed)
    Handshake,    // STC12 50 / 80 frames, STC15/STC8 prepare (05)
    Calibrating,  // STC15/STC8 trim rounds
    Calibrated,   // value: the frequency reached, in Hz
    RateTest,     // STC12 8F
    RateTestDone, //
    RateSwitch,   // STC12 8E, STC15/STC8 01; value: the transfer rate
    RateSwitched, //
    Erasing,
    Erased,
    Uploading,
    Progress, // value: percent of the blocks written
    SettingOptions,
    OptionsSet,
    EndFlag,
    Done,
};

struct Event
{
    Stage stage;
    QString text;
    qint64 value = 0;
};

enum class Failure {
    None,
    NoAnswer,         // the wait of the stage ran out
    BadFrame,         // an answer that is not a whole frame with a right checksum
    WrongAnswer,      // a frame with another answer code, length or sum than the step needs
    UnknownModel,     // a model code the device table does not know
    TooLarge,         // the image is larger than the model's flash (refused before erase)
    NeedsClock,       // an RC oscillator never trimmed, and no clock chosen
    ClockUnreachable, // the trim rounds do not bracket the clock chosen
    RateUnreachable,  // the transfer rate cannot be made from the chip's clock
    Locked,           // STC15/STC8 answered 0F to prepare
};

struct Action
{
    // Before anything else: wait this long (the chip changes its rate after answering).
    std::chrono::milliseconds pauseBefore{0};
    Line sendLine;    // the port's setting for sending
    QByteArray bytes; // sent once (may be empty)
    // While waiting, send pulse every pulseInterval (sync 7F, calibration FE).
    std::optional<quint8> pulse;
    std::chrono::milliseconds pulseInterval{0};
    // Once the bytes have left, the port takes answerLine (the STC12 rate frames are answered
    // at the new rate).
    Line answerLine;
    bool awaitsAnswer = false;
    std::chrono::milliseconds timeout{0}; // for the answer, counted once the bytes have left
    bool finished = false;                // the last action: send bytes (if any) and stop
};

struct Outcome
{
    bool done = false; // the download went through
    Failure failure = Failure::None;
    Stage stage = Stage::Connecting; // where it ended
    QString detail;                  // for failures: what was wrong (English, for logs)
    qint64 clockHz = 0;              // the frequency the chip runs at after the download
    QByteArray uid;                  // STC15, STC8: the 7-byte UID of the erase answer
    std::optional<Unanswered> unanswered; // NoAnswer: the step the chip left unanswered
};

class Session
{
public:
    explicit Session(Choices choices);

    // The first action: pulse 7F until the status packet is in.
    Action start();
    // Bytes from the chip. nullopt while the answer is not complete; the next action once it is.
    std::optional<Action> received(QByteArrayView bytes);
    // The awaited answer did not come within the action's timeout (or, while connecting,
    // within connectTimeout): the final action.
    Action timedOut();

    QList<Event> takeEvents();
    const Outcome &outcome() const { return outcome_; }
    const std::optional<Status> &status() const { return status_; }

private:
    enum class Await {
        Status,
        HandshakeAck,
        Ping,
        RateTest,
        RateSwitch,
        Calibration1,
        Calibration2,
        Switch,
        Prepare,
        Erase,
        Block,
        WriteFinish,
        Options,
        OptionFollowUp,
        Nothing
    };

    Action afterStatus();
    Action onAnswer(const QByteArray &payload);
    Action exchange(QByteArrayView payload, Await await, std::chrono::milliseconds timeout);
    Action pulsedExchange(QByteArrayView payload, Await await);
    Action fail(Failure failure, const QString &detail);
    Action finish();
    Action nextBlockOrFinish();
    Action sendOptions();
    Action afterCalibration1(const QByteArray &payload);
    Action afterCalibration2(const QByteArray &payload);
    Action rateSwitchFrame();
    Action pingOrErase();
    Action stc12Erase();
    Action prepareFrame();
    QByteArray optionPayload() const;
    QByteArray optionBytes() const;
    QByteArray endFrame() const;
    QByteArray frame(QByteArrayView payload) const;
    void emitEvent(Stage stage, QString text = {}, qint64 value = 0);
    Line handshakeLine() const;
    Line transferLine() const;
    bool v72() const;
    int blockSize() const;

    Choices choices_;
    std::optional<Status> status_;
    Outcome outcome_;
    QList<Event> events_;
    QByteArray rx_;
    Await await_ = Await::Nothing;
    Stage stage_ = Stage::Connecting;
    Line answerLine_;
    QByteArray image_; // padded
    int nextBlock_ = 0;
    quint8 lastCommand_ = 0; // of the last frame sent
    int pings_ = 0;
    // Calibration.
    QByteArray lastChallenge_;
    std::optional<Challenge> userTrim_, programTrim_;
    int divider_ = 1;
    qint64 targetHz_ = 0;
    qint64 reachedHz_ = 0;
};

} // namespace stc
