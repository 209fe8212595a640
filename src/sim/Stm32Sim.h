// Simulated STM32F10x system-memory boot loader on USART1 (the protocol of ST's AN3155).
//
// Everything the host sends is checked as the chip checks it: the 0x7F that fixes the baud
// rate, each command byte against its complement, addresses against their XOR checksum and
// the memory map, counts against their complement, page lists and data blocks against their
// XOR checksums. A byte that fails a check is answered with NACK 0x1F and logged as a
// protocol error; the boot loader then waits for the next command, as the chip does.
//
// Memory map: flash at 0x08000000 (flashSizeKb, pages of pageSize bytes; it holds
// oldContents until erased, so a programmer that forgets to erase leaves a wrong image),
// RAM at 0x20000000 (writes from 0x20000200 on; the boot loader uses the first 512 bytes),
// the flash-size register at 0x1FFFF7E0 (flash size in KB, little endian, then zeros up to
// 0x1FFFF7FF) and the option bytes at 0x1FFFF800. Writing flash that is not erased (a byte
// that is neither 0xFF nor being written as 0xFF) fails with NACK, as the flash controller's
// programming error does.
//
// Commands: Get 00, Get Version 01, Get ID 02, Read Memory 11, Go 21, Write Memory 31,
// Erase 43 (page list or global FF 00), Write Protect 63, Write Unprotect 73, Readout
// Protect 82, Readout Unprotect 92 (the protection commands are acknowledged and reset the
// boot loader, which then waits for 0x7F again). Extended Erase 44 is not offered by this
// boot-loader version and is NACKed. After Go the chip runs the application and ignores the
// line until reset().
#pragma once

#include "sim/Device.h"

#include <QList>

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
        EraseCommand, // ACK to 43 BC
        ErasePages,   // ACK to the page list or FF 00
        WriteCommand, // ACK to 31 CE
        WriteAddress, // ACK to the address
        WriteData,    // ACK to count, data and checksum (occurrence n = the n-th block)
        OtherCommand, // the protection commands
    };

    struct Config
    {
        quint8 version = 0x22;
        quint16 productId = 0x0414;
        quint16 flashSizeKb = 512;
        quint32 pageSize = 2048; // high-density parts (0x414) have 2 KB pages, others 1 KB
        quint32 ramSize = 64 * 1024;
        quint8 oldContents = 0x00;
    };

    static constexpr quint8 kAck = 0x79;
    static constexpr quint8 kNack = 0x1F;
    static constexpr quint8 kSync = 0x7F;
    static constexpr quint32 kFlashBase = 0x08000000;
    static constexpr quint32 kRamBase = 0x20000000;
    static constexpr quint32 kFlashSizeRegister = 0x1FFFF7E0;
    static constexpr quint32 kOptionBytes = 0x1FFFF800;

    // One command the boot loader carried out (NACKed ones are not listed).
    struct Command
    {
        quint8 code = 0;     // 0x7F for the synchronisation
        quint32 address = 0; // Read, Go, Write
        int length = 0;      // bytes read or written, pages erased (-1: global erase)
        bool operator==(const Command &) const = default;
    };

    Stm32Sim();
    explicit Stm32Sim(Config config);

    void failAt(Step step, Fault fault, int occurrence = 1)
    {
        planFault(static_cast<int>(step), fault, occurrence);
    }

    bool isSynchronised() const;
    QList<Command> commands() const;
    // Page numbers in the order the Erase commands named them (a global erase lists all).
    QList<int> erasedPages() const;
    // Copy of the whole flash, or of a range of it (addresses from kFlashBase; a range that
    // leaves the flash is cut at its end).
    QByteArray flash() const;
    QByteArray flash(quint32 address, qsizetype length) const;
    QByteArray ram() const;

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
        ProtectCount,
        ProtectSectors,
        Running, // after Go: the application runs, the line is ignored
    };

    QByteArray takeByte(quint8 b);
    QByteArray dispatch(quint8 command);
    QByteArray finishReadAddress();
    QByteArray finishReadCount();
    QByteArray finishGoAddress();
    QByteArray finishWriteAddress();
    QByteArray finishWriteData();
    QByteArray finishErasePages();
    QByteArray refuse(const QString &why);
    std::optional<quint32> addressFromFrame() const;
    // Pointer range [address, address + length) in one memory region, or nullptr.
    QByteArray *region(quint32 address, qsizetype length, qsizetype *offset);
    const QByteArray *readableRegion(quint32 address, qsizetype length, qsizetype *offset) const;

    Config config_;
    QByteArray flash_;
    QByteArray ram_;
    QByteArray systemInfo_; // 0x1FFFF7E0 .. 0x1FFFF80F

    State state_ = State::AwaitSync;
    quint8 command_ = 0;
    QByteArray frame_; // bytes gathered for the current phase
    qsizetype expected_ = 0;
    quint32 address_ = 0;
    QList<Command> commands_;
    QList<int> erasedPages_;
};

} // namespace sim
