// Simulated STC 8051 (STC89/STC12) serial boot loader.
//
// After reset the chip listens for the handshake byte 0x7F; after handshakeBytes of them in a
// row it sends its status frame once (46 B9 68, length, 0x50, payload, checksum, 16) carrying
// the model code, the oscillator code and the firmware version. From then on it takes frames
// from the host and checks each as the chip does:
//   46 B9 | 6A | length (total - 2, most significant byte first) | command | payload |
//   checksum (low 8 bits of the sum of the bytes from 6A through the payload) | 16
// A frame with a wrong direction byte, length, checksum or end byte is logged as a protocol
// error and ignored (the chip has no negative answer); the chip then hunts for the next
// 46 B9. Stray 0x7F bytes between frames (handshake bytes still on their way) are skipped.
// Each good frame is answered with a short frame 46 B9 68 00 06 <command> <checksum> 16; a
// data frame with 46 B9 68 00 07 00 <sum of the block's 128 bytes, low 8 bits> <checksum> 16,
// so the host can tell the block arrived whole.
//
// Commands it knows: 8F and 8E (baud-rate steps, 6 and 5 payload bytes), 80 (control
// information), 84 (erase: the whole flash becomes 0xFF), 00 (data: 00 00, address, 00 80,
// 128 bytes, programmed into the flash, bits only from 1 to 0), 8D (options, 4 bytes),
// 50 (option follow-up) and 82 (end): the end frame must come right after four bytes 0xFE;
// after it the chip runs the application and ignores the line until reset(). The baud-rate
// change that follows 8F and 8E does nothing here.
#pragma once

#include "sim/Device.h"

#include <QList>

namespace sim {

class StcSim : public BootLoaderSim
{
public:
    enum class Step {
        Handshake,      // the status frame
        BaudStep1,      // 8F
        BaudStep2,      // 8E
        Control,        // 80 (occurrence n = the n-th of the five)
        Erase,          // 84
        Data,           // 00 (occurrence n = the n-th block)
        Option,         // 8D
        OptionFollowUp, // 50
        EndFlag,        // 82 (the chip sends no answer to it anyway)
        OtherCommand,
    };

    struct Config
    {
        QByteArray modelCode = QByteArray::fromHex("F00282");      // STC89C52RC
        QByteArray oscillatorCode = QByteArray::fromHex("1C0014"); // 11.0592 MHz
        quint8 versionByte = 0x43;                                 // shown as 4.3
        quint8 versionLetter = 'C';
        int statusLength = 32; // 20..256; 29 and more: version at bytes 20 and 21,
                               // fewer: at the 8th and 7th byte from the end
        int handshakeBytes = 2;
        // 0: the model's own flash (89C51RC 4 KiB, 89C52RC 8 KiB, 89C55RD+ 20 KiB,
        // 89C516RD+ 62 KiB, 12C1052 1 KiB; 64 KiB for a code it does not know).
        qsizetype flashSize = 0;
        quint8 oldContents = 0x00; // flash before the first erase
        // The chip answers a baud-rate frame (8F, 8E) at the new rate, after the host has
        // changed the rate of its port (it sleeps 100 ms first).
        std::chrono::milliseconds baudSwitchDelay{200};
    };

    static constexpr quint8 kHandshake = 0x7F;
    static constexpr quint8 kStart1 = 0x46;
    static constexpr quint8 kStart2 = 0xB9;
    static constexpr quint8 kHostToChip = 0x6A;
    static constexpr quint8 kChipToHost = 0x68;
    static constexpr quint8 kEnd = 0x16;
    static constexpr quint8 kEndFlagByte = 0xFE;
    static constexpr int kEndFlagCount = 4;
    static constexpr quint8 kStatusCommand = 0x50;
    static constexpr int kBlockSize = 128;

    struct Frame
    {
        quint8 command = 0;
        QByteArray payload;
        bool operator==(const Frame &) const = default;
    };

    StcSim();
    explicit StcSim(Config config);

    void failAt(Step step, Fault fault, int occurrence = 1)
    {
        planFault(static_cast<int>(step), fault, occurrence);
    }
    // The answer to the occurrence-th data frame (from 1, counted from reset) carries a wrong
    // sum, as when the block was damaged on its way; 0: every answer is right.
    void answerWrongSum(int occurrence);
    // Flash of a model code; 64 KiB for a code it does not know.
    static qsizetype modelFlash(const QByteArray &modelCode);

    // The status frame sent after the handshake (built from the config unless replaced).
    QByteArray statusFrame() const;
    // Replaces the status frame sent after the handshake by these exact bytes.
    void setStatusFrame(QByteArray frame);
    static QByteArray buildStatusFrame(const Config &config);
    // A correct host frame (direction 6A) with this command and payload.
    static QByteArray hostFrame(quint8 command, QByteArrayView payload);

    QList<Frame> frames() const;
    QList<quint8> commands() const;
    bool endFlagSeen() const; // FE FE FE FE followed by a good 82 frame
    QList<quint16> dataAddresses() const;
    // Forgets the frame log (a board that serves for hours keeps only what it has not
    // narrated yet).
    void forgetCommands()
    {
        auto guard = lock();
        frames_.clear();
        dataAddresses_.clear();
    }
    QByteArray flash() const;
    QByteArray flash(qsizetype address, qsizetype length) const;

    const Config &config() const { return config_; }

protected:
    QByteArray process(QByteArrayView bytes) override;
    void resetState() override;

private:
    enum class State { AwaitHandshake, Hunt, Frame, Running };

    QByteArray takeByte(quint8 b);
    QByteArray finishFrame();
    QByteArray carryOut(quint8 command, const QByteArray &payload);
    static QByteArray reply(quint8 command, QByteArrayView payload = {});

    const Config config_;
    QByteArray status_;
    QByteArray flash_;

    State state_ = State::AwaitHandshake;
    int handshakeRun_ = 0;
    int endFlagRun_ = 0; // 0xFE bytes right before the current frame
    bool frameAfterEndFlag_ = false;
    QByteArray frame_;
    qsizetype frameTotal_ = 0;
    QList<Frame> frames_;
    QList<quint16> dataAddresses_;
    bool endFlagSeen_ = false;
    int dataFrames_ = 0;
    int wrongSumAt_ = 0;
};

} // namespace sim
