// Simulated NXP LPC2000 boot loader speaking the UART ISP protocol.
//
// Sources of the answers: the LPC213x user manual UM10120 (chapter "Flash memory system and
// programming": "ISP commands" and "ISP Return Codes Summary") and the LPC2119/2129/2194/
// 2292/2294 user manual UM10114 (the same chapter; Table 205 "Copy RAM to Flash"). The two
// boot loaders answer alike except where a rule below names one of them.
//
// Synchronisation (both manuals, the ISP communication protocol): the chip waits for
// '?', answers "Synchronized" CR LF (optionally after some noise), and expects the host to
// send back "Synchronized" CR LF, answered "OK"; then the crystal frequency in kHz (a decimal
// number such as "11059.2"), answered "OK". Echo is on from the start (command "A", default
// on): every byte the host sends is sent back until "A 0" switches it off.
// A wrong synchronisation string sends the chip back to waiting for '?', without an answer.
//
// Commands are text lines ended by CR LF (a lone LF is accepted too); each is answered by a
// decimal return code on a line of its own (codes from "ISP Return Codes Summary"):
//   U 23130        unlock (another code: 16 INVALID_CODE)
//   A 0 | A 1      echo off / on
//   J              "0", then the part identification in decimal
//   K              "0", then the boot code version as the chip sends it: the minor number on
//                  one line, then the major number (the order the chips use, though the user
//                  manual suggests otherwise)
//   P a b          prepare sectors a..b for writing (7 INVALID_SECTOR)
//   E a b          erase sectors a..b; each must be prepared (9), needs unlock (15 CMD_LOCKED)
//   I a b          blank check sectors a..b (command "Blank check sectors"): "0", or
//                  8 SECTOR_NOT_BLANK and then, each on a line of its own, the offset of the
//                  first word that is not 0xFFFFFFFF and that word's contents, both decimal.
//                  The manuals do not say where the offset counts from; here from the first
//                  sector checked. Sector 0 never reads blank: its first 64 bytes are the boot
//                  block's (UM10120: "Blank check on sector 0 always fails"). 7 for a bad range.
//   W addr n       write n bytes to RAM: addr word aligned (13 ADDR_ERROR), within RAM above
//                  the boot loader's own 0x200 bytes (14 ADDR_NOT_MAPPED), n a multiple of 4
//                  (6 COUNT_ERROR); then uuencoded lines, a decimal checksum line after every
//                  20 lines and after the last one, answered "OK" or "RESEND" (the group is
//                  then expected again)
//   C dst src n    copy RAM to flash under the part's copy rule (Part::copyCounts): n one of
//                  its counts (6 COUNT_ERROR), dst on a boundary of the smallest (3
//                  DST_ADDR_ERROR); LPC213x (UM10120) 256 | 512 | 1024 | 4096 on 256 bytes,
//                  LPC21xx/22xx (UM10114 Table 205) 512 | 1024 | 4096 | 8192 on 512 bytes.
//                  src word aligned (2), both ranges mapped (5, 4), every sector it touches
//                  prepared (9), needs unlock (15)
//   M a1 a2 n      compare n bytes at a1 and a2 (flash or RAM): both word aligned (2, 3),
//                  n a multiple of 4 (6), both mapped (4, 5); "0", or 10 COMPARE_ERROR and
//                  the offset of the first difference on a line of its own. In ISP mode the
//                  first 64 bytes of flash read as the boot block's vectors, not the user's.
//   R addr n       read n bytes (word aligned 13, a multiple of 4 6, mapped 14): "0", then
//                  uuencoded lines and a checksum line after every 20 lines and after the
//                  last; the host answers each checksum "OK" (next group) or "RESEND" (the
//                  group again), as it does for W the other way round
//   B baud stop    acknowledged, nothing changes; G addr A|T: acknowledged, the chip then
//                  runs the application and ignores the line until reset()
//   anything else  1 INVALID_COMMAND; wrong argument count or a non-number: 12 PARAM_ERROR
// The Cortex-M parts (LPC17xx UM10360 ch. 32, LPC11xx UM10398 ch. 26, LPC11Uxx UM10462 ch. 20,
// LPC13xx UM10375 ch. 21, LPC81x UM10601, LPC82x UM10800 ch. 25, LPC84x UM11029 ch. 5) answer
// the same commands with these differences, each a field of Part:
//   * RAM at 0x10000000; W may write from the address its manual's "RAM used by ISP command
//     handler" leaves free (0x10000200 on the LPC17xx, 0x10000300 on the LPC11xx/11Uxx/13xx,
//     0x10000270 on the LPC81x/82x (UM10800 §25.7.2.3), 0x10000600 on the LPC84x (UM11029
//     Table 16)); lower addresses are answered 14 ADDR_NOT_MAPPED like any unmapped one.
//   * Compare and read see the boot code in the first 64 bytes of flash, as on the ARM7 parts
//     (UM10120 "Compare": "First 64 bytes are re-mapped to flash boot sector"); lpc21isp's
//     verify leaves out exactly these 64 bytes on every family and works on the real Cortex-M
//     chips. (Tramelo's own compare leaves out 512 there, a margin: see the device table.)
//   * LPC8xx (binaryData): after "W a n" is answered 0 the next n bytes are the data, raw (no
//     lines, no checksums), echoed while echo is on; "R a n" answers 0 and then n raw bytes
//     (UM10800 ch. 25, "Write to RAM" and "Read Memory").
//   * C takes the counts of Part::copyCounts: 64 | 128 | 256 | 512 | 1024 on the LPC8xx (UM10800
//     "Copy RAM to flash"), 256 | 512 | 1024 | 4096 on the other Cortex-M parts.
//   * S a n (crc, LPC8xx; UM10800 and UM11029 "Read CRC checksum"): a and n word aligned (13,
//     6), mapped (14); "0" and the CRC-32 of the range (zlib's) in decimal. N (UM10360 §32.7.13
//     Table 585 "ISP Read device serial number command", the same command in UM10462 ch. 20
//     and the LPC8xx manuals): CMD_SUCCESS followed by the serial number "in 4 decimal ASCII
//     groups, each representing a 32-bit value", each on a line of its own. Parts without them answer 1
//     INVALID_COMMAND, as a boot loader without the command does.
// After reset the chip starts user code only when the eight words of the vector table add up
// to zero (wouldStartUserCode; "Criterion for valid user code" in both manuals); otherwise it
// stays in the boot loader.
// A prepare is used up by the erase or copy it allows, as on the chip. Flash is programmed
// as flash is: bits only go from 1 to 0, so copying onto sectors that were not erased leaves
// a wrong image (flash holds oldContents until erased).
// The boot loader keeps its state however long the line is quiet: only a reset (power, the
// RESET pin, a host that opens the port anew: see VirtualBoard) starts it again.
#pragma once

#include "sim/Device.h"

#include <QList>
#include <array>
#include <QStringView>
#include <optional>

namespace sim {

class LpcSim : public BootLoaderSim
{
public:
    enum class Step {
        Autobaud,     // "Synchronized" after '?'
        Synchronized, // "OK" after the host's "Synchronized"
        Frequency,    // "OK" after the crystal frequency
        Unlock,       // U
        Echo,         // A
        PartId,       // J
        BootVersion,  // K
        BlankCheck,   // I
        Prepare,      // P
        Erase,        // E
        WriteCommand, // W
        DataChecksum, // "OK" after a right checksum line (occurrence n = the n-th of them)
        Copy,         // C
        Compare,      // M
        OtherCommand, // B, G and unknown commands
    };

    struct Part
    {
        QByteArray id;              // decimal, as "J" answers it
        QList<quint32> sectorSizes; // user sectors from flash address 0
        quint32 ramSize = 0;        // RAM from 0x40000000
        // "Copy RAM to Flash": the counts taken, smallest first; the destination must lie on
        // a boundary of the smallest.
        QList<quint32> copyCounts = {256, 512, 1024, 4096};
        quint32 ramBase = 0x40000000;      // first byte of the RAM
        quint32 ramFirstFree = 0x40000200; // W below this is refused
        quint32 remappedBytes = 64;        // flash from 0 that reads as the boot code's
        bool binaryData = false;           // W/R data raw (LPC8xx)
        bool crc = false;                  // has S
        bool serial = false;               // has N
    };
    // LPC213x (UM10120): 4 KB, 32 KB, 4 KB sectors, copies of 256 to 4096 bytes;
    // LPC22xx (UM10114): 8 KB, 64 KB, 8 KB sectors, copies of 512 to 8192 bytes.
    static Part lpc2131();
    static Part lpc2132();
    static Part lpc2136();
    static Part lpc2138();
    static Part lpc2214();
    static Part lpc2292();
    // The boards of the Cortex-M families and two more ARM7 parts.
    static Part lpc1768();
    static Part lpc1114();
    static Part lpc11u24();
    static Part lpc1343();
    static Part lpc812();
    static Part lpc845();
    static Part lpc2378();
    static Part lpc2148();
    // A board by its part name, without regard to case ("lpc1768", "LPC2136"); nullopt for a
    // name no board has.
    static std::optional<Part> partNamed(QStringView name);

    struct Config
    {
        Part part = lpc2136();
        int bootMajor = 2;
        int bootMinor = 1;
        QByteArray syncNoise;      // sent before "Synchronized" CR LF
        quint8 oldContents = 0x00; // flash before the first erase
        int refusalCode = 11;      // BUSY: the return code of Fault::Refuse for commands
        // The device serial number "N" answers on the parts that have it (Part::serial).
        std::array<quint32, 4> serialNumber{0x1A2B3C4D, 0x0000FFFF, 4294967295u, 7};
    };

    static constexpr quint32 kRamBase = 0x40000000;
    static constexpr quint32 kRamFirstFree = 0x40000200;
    static constexpr int kLinesPerChecksum = 20;
    static constexpr int kMaxLineBytes = 45;

    // ISP return codes.
    static constexpr quint32 kBootVectorBytes = 64; // flash 0..63 as read in ISP mode
    static constexpr int kSuccess = 0;
    static constexpr int kInvalidCommand = 1;
    static constexpr int kSrcAddrError = 2;
    static constexpr int kDstAddrError = 3;
    static constexpr int kSrcAddrNotMapped = 4;
    static constexpr int kDstAddrNotMapped = 5;
    static constexpr int kCountError = 6;
    static constexpr int kInvalidSector = 7;
    static constexpr int kSectorNotBlank = 8;
    static constexpr int kSectorNotPrepared = 9;
    static constexpr int kCompareError = 10;
    static constexpr int kBusy = 11;
    static constexpr int kParamError = 12;
    static constexpr int kAddrError = 13;
    static constexpr int kAddrNotMapped = 14;
    static constexpr int kCmdLocked = 15;
    static constexpr int kInvalidCode = 16;

    LpcSim();
    explicit LpcSim(Config config);

    void failAt(Step step, Fault fault, int occurrence = 1)
    {
        planFault(static_cast<int>(step), fault, occurrence);
    }

    // Command lines the chip took (without CR LF), in order, with the code it answered.
    // The synchronisation steps are logged too, with the text the chip answered them with
    // in answer ("?" answered "Synchronized"); commands answer a return code.
    struct Command
    {
        QByteArray line;
        int code = 0;
        QByteArray answer; // synchronisation only
        bool operator==(const Command &) const = default;
    };
    QList<Command> commands() const;
    // Forgets the command log (a board that serves for hours keeps only what it has not
    // narrated yet).
    void forgetCommands()
    {
        auto guard = lock();
        commands_.clear();
    }
    // The occurrence-th copy (from 1) stores the byte at offset of the copy wrongly (a worn
    // cell) and still answers success.
    void storeWrongly(int occurrence, quint32 offset);
    // The vector table in flash adds up to zero: after reset the chip would run the code.
    bool wouldStartUserCode() const;
    bool isSynchronised() const; // frequency accepted
    bool echo() const;
    int checksumsAccepted() const;
    int resendsSent() const;
    qint64 echoedBytes() const; // bytes sent back while echo was on, since construction
    QList<int> erasedSectors() const; // in the order erased
    QByteArray flash() const;
    QByteArray flash(quint32 address, qsizetype length) const;
    QByteArray ram() const;
    quint32 sectorStart(int sector) const;

    const Config &config() const { return config_; }

protected:
    QByteArray process(QByteArrayView bytes) override;
    void resetState() override;

private:
    enum class State {
        AwaitQuestion,
        AwaitSyncString,
        AwaitFrequency,
        Command,
        Data,
        ReadAnswer, // R: a group was sent, the host's "OK" or "RESEND" is awaited
        BinaryData, // W on the LPC8xx: raw bytes until the count is reached
        Running
    };

    QByteArray takeByte(char c);
    QByteArray takeLine(const QByteArray &line, bool overflow);
    QByteArray syncLine(const QByteArray &line);
    QByteArray frequencyLine(const QByteArray &line);
    QByteArray commandLine(const QByteArray &line);
    QByteArray dataLine(const QByteArray &line, bool overflow);
    QByteArray checksumLine(const QByteArray &line);
    int execute(char letter, const QList<quint32> &args, QByteArray *payload);
    int prepare(const QList<quint32> &args);
    int erase(const QList<quint32> &args);
    int blankCheck(const QList<quint32> &args, QByteArray *payload) const;
    int writeToRam(const QList<quint32> &args);
    int copyToFlash(const QList<quint32> &args);
    int compare(const QList<quint32> &args, QByteArray *payload);
    int readMemory(const QList<quint32> &args);
    int crcOf(const QList<quint32> &args, QByteArray *payload) const;
    // The next group of at most 20 uuencoded lines of a read, with its checksum line.
    QByteArray readGroup() const;
    QByteArray readAnswerLine(const QByteArray &line);
    // Bytes at a mapped address as the host can read them; nullopt when not mapped.
    std::optional<QByteArray> readMapped(quint32 address, quint32 count) const;
    int sectorOf(quint32 address) const;
    void restartGroup();
    bool expectingChecksum() const;
    static QByteArray codeLine(int code);

    Config config_;
    QByteArray flash_;
    QByteArray ram_;

    State state_ = State::AwaitQuestion;
    bool echo_ = true;
    bool unlocked_ = false;
    QByteArray line_;
    bool lineOverflow_ = false;
    QList<bool> prepared_;
    QList<Command> commands_;
    QList<int> erased_;
    int checksumsAccepted_ = 0;
    int copies_ = 0;
    // Read in progress: what remains to be sent, from the group last sent on.
    QByteArray readLeft_;
    int wrongCopy_ = 0;
    quint32 wrongCopyOffset_ = 0;
    int resends_ = 0;
    qint64 echoed_ = 0;

    // Write to RAM in progress: the current group of at most 20 lines starts at groupStart_
    // (offset in RAM); writeLeft_ bytes of the write command are not yet acknowledged.
    quint32 binaryLeft_ = 0; // raw bytes of a W still to come (LPC8xx)
    quint32 groupStart_ = 0;
    quint32 writeLeft_ = 0;
    quint32 groupBytes_ = 0;
    quint32 groupSum_ = 0;
    int groupLines_ = 0;
    bool groupBad_ = false;
};

} // namespace sim
