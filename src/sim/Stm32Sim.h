// Simulated STM32 system-memory boot loader on USART1 (the protocol of ST's AN3155), with
// profiles of several lines chosen by product id (Config::profile): F10x, F0, F3, F4 with
// its sectors, G0 with its double words.
//
// Everything the host sends is checked as the chip checks it: the 0x7F that fixes the baud
// rate, each command byte against its complement, addresses against their XOR checksum and
// the memory map, counts against their complement, page lists and data blocks against their
// XOR checksums. A byte that fails a check is answered with NACK 0x1F and logged as a
// protocol error; the boot loader then waits for the next command, as the chip does.
//
// Memory map (per line, from AN2606's "configuration in system memory boot mode" tables and
// the reference manuals' memory maps and device electronic signature chapters): flash at
// 0x08000000 (flashSizeKb, in pages of pageSize bytes or in the sectors of sectorKib; it holds
// oldContents until erased, so a programmer that forgets to erase leaves a wrong image); RAM
// at 0x20000000, of which the first bootLoaderRam bytes belong to the boot loader and take no
// writes; the system memory that holds the boot loader (with its id byte where AN2606 names
// one); the option bytes; the unique device id and the flash-size register (flash size in KB,
// little endian). All of them can be read; only flash and free RAM can be written.
//
// Programming follows the line's flash controller: F10x/F0/F3 refuse to program a byte that
// is not erased (unless it is written as 0xFF); F2/F4 clear bits and never refuse; G0 takes
// whole double words, aligned, each only while erased. Flash writes must be whole write
// units (4 bytes, 8 on G0, where a trailing half double word is padded). A refused
// programming is answered NACK. With realTimes the erase and programming take as long as the
// data sheets' flash characteristics say (answerDelay()), so a host's time-outs are met as a
// chip would meet them.
//
// Commands, answered only when the Get list names them (NACK otherwise): Get 00, Get Version
// 01, Get ID 02, Read Memory 11, Go 21, Write Memory 31, Erase 43 (page list or global FF 00)
// on the F10x loader, Extended Erase 44 (two-byte counts and numbers, FFFF/FFFE/FFFD mass and
// bank erases) on the others, Write Protect 63, Write Unprotect 73, Readout Protect 82,
// Readout Unprotect 92. The protection commands are acknowledged twice and reset the boot
// loader, which then waits for 0x7F again. While read-out protection is on, Read Memory,
// Write Memory, the erases and Go are answered NACK (the chip's refusal, not a protocol
// error; noted for the narration); Readout Unprotect erases the whole flash and lifts it.
// After Go the chip runs the application and ignores the line until reset().
//
// Fault for verify: the first n writes of a block of weakBlocks (its address → n) leave its
// first programmed byte erased, as a marginal cell would; several blocks may be weak.
#pragma once

#include "sim/Device.h"

#include <QList>
#include <QMap>

namespace sim {

class Stm32Sim : public BootLoaderSim
{
public:
    // The points at which the boot loader answers; each may be given a fault.
    enum class Step {
        Sync,         // ACK to 0x7F
        Get,          // whole Get answer
        GetVersion,   // whole Get Version answer
        GetId,        // whole Get ID answer
        ReadCommand,  // ACK to 11 EE
        ReadAddress,  // ACK to the address
        ReadCount,    // ACK and data to the count
        GoCommand,    // ACK to 21 DE
        GoAddress,    // ACK to the address
        EraseCommand, // ACK to 43 BC or 44 BB
        ErasePages,   // ACK to the page list or FF 00 (or the extended list)
        WriteCommand, // ACK to 31 CE
        WriteAddress, // ACK to the address
        WriteData,    // ACK to count, data and checksum (occurrence n = the n-th block)
        OtherCommand, // the protection commands
    };

    enum class Programming {
        RefuseUnerased, // F10x, F0, F3: a programmed byte takes no new value but 0xFF
        ClearBits,      // F2, F4: bits go from 1 to 0, nothing is refused
        DoubleWordOnce, // G0, L4 and the lines with wider flash words: aligned write units,
                        // each programmed once per erase (while it reads erased)
    };

    // What Extended Erase's special codes do (AN3155 §3.8).
    enum class MassErase {
        Whole,    // FFFF the whole flash, FFFE as FFFF (one bank), FFFD refused
        Banks,    // FFFF the whole flash, FFFE the first half, FFFD the second
        Refused,  // none: the loader erases page by page only (L0, L1)
    };

    struct Config
    {
        quint8 version = 0x22;
        quint16 productId = 0x0414;
        quint16 flashSizeKb = 512;
        quint32 pageSize = 2048;  // high-density parts (0x414) have 2 KB pages, others 1 KB
        QList<quint16> sectorKib; // sector sizes in KiB from sector 0; empty: uniform pages
        quint32 flashSizeRegister = 0x1FFFF7E0;
        bool extendedErase = false; // the Get list offers 44 instead of 43
        Programming programming = Programming::RefuseUnerased;
        MassErase massErase = MassErase::Whole;
        quint8 erasedValue = 0xFF; // 0x00 on L0/L1
        quint32 eepromSize = 0;    // L0/L1 data EEPROM from kEepromBase (erased 0x00)
        int writeUnit = 4;
        quint32 ramSize = 64 * 1024;
        quint32 bootLoaderRam = 0x200;     // from kRamBase: the boot loader's own, no writes
        quint32 systemMemory = 0x1FFFF000; // the boot loader's code
        quint32 systemMemorySize = 0x800;
        quint32 systemMemory2 = 0; // a second piece of system memory (G0B/G0C); size 0: none
        quint32 systemMemory2Size = 0;
        int bootLoaderIdAddress = -1; // where the id byte sits in system memory; -1: none
        quint8 bootLoaderId = 0;
        quint32 uniqueId = 0x1FFFF7E8; // 96-bit unique device id
        quint32 infoArea = 0;          // an area of device facts outside system memory
        quint32 infoAreaSize = 0;
        quint32 infoOtpSize = 0; // its first bytes are erased one-time programmable memory
        // A 256-byte area whose reads are answered only when they start at its first byte
        // (0: none); a read starting elsewhere in it is refused after its count.
        quint32 wholeReadArea = 0;
        quint32 wholeReadSize = 0x100;
        quint32 optionBytes = kOptionBytes; // 0: none mapped (H7, L5, U5 keep them in registers)
        QByteArray optionValues; // the option bytes as read; empty: those of an F10x
        // Flash timing (typical values of the data sheets), used when realTimes is set.
        bool realTimes = false;
        int pageEraseUs = 20'000;      // one page; a sector takes sectorEraseUs
        int sectorEraseUsEach = 0;     // one sector of any size; 0: by its size (F2/F4)
        int massEraseUs = 20'000;      // the whole flash
        int programNsPerByte = 26'250; // programming time of a write unit, per byte
        quint8 oldContents = 0x00;
        bool readProtected = false;
        // The Get list names Get Checksum (0xA1, AN3155 protocol V3.3 and later). No line the
        // profiles serve is documented with it, so only tests and `tramelo simulate
        // --get-checksum` set it.
        bool checksum = false;
        // Every flash page write-protected (option bytes WRP): erases and writes of the flash
        // are answered NACK until Write Unprotect.
        bool writeProtected = false;
        QMap<quint32, int> weakBlocks;

        // The profile of a product id: 0x410/0x414 F10x, 0x440 F0, 0x422 F3, 0x411 F2,
        // 0x413 F4, 0x460 G0, 0x457/0x425/0x417/0x447 L0, 0x416/0x429/0x427/0x436/0x437 L1,
        // 0x450/0x483/0x480 H7, 0x443/0x453 C0, 0x467 G0B, 0x494/0x495 WB, 0x497 WL, 0x472 L5,
        // 0x482 U5; any other id gets the F10x loader with that id.
        static QList<quint16> profiles();
        static Config profile(quint16 productId);
    };

    static constexpr quint8 kAck = 0x79;
    static constexpr quint8 kNack = 0x1F;
    static constexpr quint8 kSync = 0x7F;
    static constexpr quint32 kFlashBase = 0x08000000;
    static constexpr quint32 kRamBase = 0x20000000;
    static constexpr quint32 kEepromBase = 0x08080000;
    static constexpr quint32 kFlashSizeRegister = 0x1FFFF7E0;
    static constexpr quint32 kOptionBytes = 0x1FFFF800;

    // One command the boot loader carried out (NACKed ones are not listed).
    struct Command
    {
        quint8 code = 0;       // 0x7F for the synchronisation
        quint32 address = 0;   // Read, Go, Write
        int length = 0;        // bytes read or written, pages erased (-1: global erase)
        QList<int> units = {}; // the pages or sectors an erase named
        bool sectors = false;  // the erase units are sectors
        bool operator==(const Command &) const = default;
    };

    Stm32Sim();
    explicit Stm32Sim(Config config);

    void failAt(Step step, Fault fault, int occurrence = 1)
    {
        planFault(static_cast<int>(step), fault, occurrence);
    }

    bool isSynchronised() const;
    bool isReadProtected() const;
    QList<Command> commands() const;
    // Page numbers in the order the Erase commands named them (a global erase lists all).
    QList<int> erasedPages() const;
    // Forgets the command log and the erased pages (a board that serves for hours keeps
    // only what it has not narrated yet).
    void forgetCommands();
    // Copy of the whole flash, or of a range of it (addresses from kFlashBase; a range that
    // leaves the flash is cut at its end).
    QByteArray flash() const;
    QByteArray flash(quint32 address, qsizetype length) const;
    QByteArray ram() const;
    QByteArray eeprom() const;
    // The board arrives with this in its flash (a range that leaves the flash is cut).
    void setFlash(quint32 address, QByteArrayView data);

    const Config &config() const { return config_; }

protected:
    QByteArray process(QByteArrayView bytes) override;
    void resetState() override;

private:
    enum class State {
        AwaitSync,
        AwaitCommand,
        AwaitComplement,
        ReadAddress,
        ReadCount,
        GoAddress,
        WriteAddress,
        WriteCount,
        WriteData,
        EraseCount,
        EraseGlobalChecksum,
        ErasePages,
        ExtEraseCount,
        ExtEraseSpecialChecksum,
        ExtErasePages,
        ProtectCount,
        ProtectSectors,
        ChecksumAddress,
        ChecksumSize,
        Running, // after Go: the application runs, the line is ignored
    };

    QByteArray takeByte(quint8 b);
    QByteArray dispatch(quint8 command);
    // The planned fault of step, if any: the answer to give, the command abandoned.
    std::optional<QByteArray> faulted(Step step);
    quint8 frameXor() const; // XOR of the frame gathered so far but its last byte
    QByteArray finishReadAddress();
    QByteArray finishReadCount();
    QByteArray finishChecksum();
    QByteArray refuseWriteProtected(const QString &what);
    QByteArray finishGoAddress();
    QByteArray finishWriteAddress();
    QByteArray finishWriteData();
    QByteArray finishErasePages();
    QByteArray finishExtendedErase();
    QByteArray eraseUnits(const QList<int> &units, int logged);
    bool offers(quint8 command) const;
    int unitCount() const;
    // Offset and size of an erase unit.
    std::pair<qsizetype, qsizetype> unitSpan(int unit) const;
    QByteArray refuse(const QString &why);
    // NACK for a command refused under read-out protection, with a note for the narration.
    QByteArray refuseProtected(quint8 command);
    std::optional<quint32> addressFromFrame() const;
    // Erase time of one unit, in microseconds.
    qint64 eraseUs(int unit) const;
    void takeTime(qint64 us);
    // Pointer range [address, address + length) in one memory region, or nullptr.
    QByteArray *region(quint32 address, qsizetype length, qsizetype *offset);
    const QByteArray *readableRegion(quint32 address, qsizetype length, qsizetype *offset) const;
    bool inRam(quint32 address) const;
    // Puts bytes into the readable area that holds them.
    void put(quint32 address, QByteArrayView bytes);

    // A readable area outside flash and RAM (system memory, option bytes, device id).
    struct Area
    {
        quint32 base;
        QByteArray bytes;
    };

    Config config_;
    QByteArray flash_;
    QByteArray ram_;
    QByteArray eeprom_;
    QList<Area> areas_;
    QByteArray offered_; // the Get list

    State state_ = State::AwaitSync;
    quint8 command_ = 0;
    QByteArray frame_; // bytes gathered for the current phase
    qsizetype expected_ = 0;
    quint32 address_ = 0;
    QList<Command> commands_;
    QList<int> erasedPages_;
};

} // namespace sim
