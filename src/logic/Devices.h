// The devices Tramelo programs, in one table: the entries of the download page's device list
// (their order is what the settings store keeps as "MCUType") with the family whose programmer
// serves them, and the chip facts each programmer needs once the chip has said what it is:
//   * STM32: product ids (Get ID) with their line name, flash-size register, erase geometry
//     (pages or sectors) and write unit;
//   * LPC2000: part identifications (the decimal answer to "J") with the sector layout, the
//     last sector, the flash that layout covers and the counts "Copy RAM to Flash" takes;
//   * STC 8051: the model codes of the status frame with the model's name and flash size.
// The window's list, the download button's dispatch, the command line's --device, the tests
// and the benchmarks all read this table; nothing else counts list indices.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>
#include <QtGlobal>
#include <array>
#include <optional>
#include <span>

namespace devices {

// Stc: the STC89 programmer; StcSeries: the STC12, STC15 and STC8 programmer (the chip's status
// packet says which dialect it speaks).
enum class Family { Lpc, Stm32, Stc, StcSeries };

struct DeviceEntry
{
    QStringView name; // the list entry (shown through shownName())
    Family family;
    QStringView cliName; // the short name the command line accepts besides the entry itself
};

// The device list, in list order.
std::span<const DeviceEntry> deviceList();
// The entries' texts, in list order (for the window's list).
QStringList deviceNames();
// A list entry or STM32 family line as shown: the table keeps the Chinese words ("家族",
// "其它系列"), translated here for the interface.
QString shownName(QStringView name);
// The entry at a list index; nullptr outside the list.
const DeviceEntry *entryAt(int index);
// The family of a list index; nullopt outside the list.
std::optional<Family> familyAt(int index);
// The first list index of a family (the command line's default entry for it).
int firstIndexOf(Family family);
// True for the entries whose chips run from an RC oscillator that the programmer trims to the
// clock the user chooses (STC15, STC8).
bool trimsClock(int index);
// The list index named by a text: an entry or its short name, case-insensitive, or the start
// of exactly one of them. -1 when nothing or more than one entry matches.
int findDevice(QStringView text);

// ---- STM32 --------------------------------------------------------------------------------
//
// Every STM32 with a USART system boot loader speaks the same protocol; the lines differ in
// where the flash-size register sits, how the flash is erased (uniform pages, or sectors of
// different sizes on F2/F4/F7) and the smallest unit the flash controller programs.

// How a line's boot loader lets the flash-size register be read. Most answer a short read of
// the register itself; some refuse it and answer only a read that starts where the area
// holding the register starts (the value is then taken at its offset in what was read).
struct Stm32SizeRead
{
    quint32 start; // where the read starts; 0: at the register itself
    int count;     // bytes read (1..256)
};
// A 2-byte read of the register itself.
inline constexpr Stm32SizeRead kStm32DirectSizeRead{0, 2};

// What Extended Erase takes besides page or sector numbers (AN3155 §3.8: FFFF mass erase,
// FFFE bank 1, FFFD bank 2).
enum class Stm32MassErase {
    Whole,   // FFFF
    Banks,   // FFFF, FFFE and FFFD: two banks
    PageOnly // no special erase at all: page by page (L0, L1)
};

// Read-out protection as the line's flash controller knows it (AN3155 §3.11, §3.12 and the
// reference manuals' "read protection" sections).
enum class Stm32Rdp : quint8 {
    Single, // protected or not; Readout Unprotect erases the whole flash
    // Levels 0, 1 and 2: Readout Protect sets Level 1 (never Level 2, which is for good and
    // shuts the boot loader out); Readout Unprotect goes back to Level 0 by a mass erase.
    Levels,
    Eeprom, // the same, and going back to Level 0 also erases the data EEPROM (L0, L1)
};

struct Stm32Part
{
    quint16 productId;
    QStringView line;                   // the family line of the message area
    quint32 flashSizeRegister;          // 16-bit flash size in KiB, little endian
    quint32 uniqueIdRegister;           // the 96-bit unique device id (12 bytes)
    quint32 pageSize;                   // erase unit in bytes; 0 for sector lines
    std::span<const quint16> sectorKib; // sector sizes (KiB) from sector 0, for sector lines
    int writeUnit;                      // bytes the flash controller programs at once
    // The largest flash of the line's parts (KiB): the size taken when the loader refuses
    // every read of the flash-size register. 0: no size is known without the register.
    quint32 tableFlashKib;
    Stm32SizeRead sizeRead;
    Stm32MassErase massErase = Stm32MassErase::Whole;
    quint32 eepromBytes = 0; // data EEPROM from kStm32EepromStart (L0, L1; largest part)
    Stm32Rdp rdp = Stm32Rdp::Single;
};
// The part of a product id; nullptr for an id the table does not know.
const Stm32Part *stm32Part(quint16 productId);
std::span<const Stm32Part> stm32Parts();
// Rules for an id the table does not know: those of the first F10x lines.
constexpr quint32 kStm32DefaultPageSize = 1024;
constexpr quint32 kStm32DefaultFlashSizeRegister = 0x1FFFF7E0;
constexpr quint32 kStm32FlashStart = 0x08000000;
// L0/L1 data EEPROM (RM0367 §3.3.1, RM0038 §3.2): erased value 0x00, written by words.
constexpr quint32 kStm32EepromStart = 0x08080000;
// The part used for an id the table does not know.
const Stm32Part &stm32DefaultPart();
// Every STM32 list entry uses the same programmer: the chip's product id decides the rules.

// ---- LPC2000 ------------------------------------------------------------------------------

enum class LpcLayout {
    A, // 8 KB, 64 KB, 8 KB sectors (sectors 0..16 at most)
    B, // 4 KB, 32 KB, 4 KB sectors (sectors 0..26 at most)
};

// "Copy RAM to Flash" (C dst src count): the counts the boot loader takes, smallest first. The
// destination must lie on a boundary of the smallest count; any other count is answered
// COUNT_ERROR (6), any other destination DST_ADDR_ERROR (3).
struct LpcCopyRule
{
    std::array<int, 4> counts;
    int smallest() const { return counts[0]; }
};
// LPC213x user manual (UM10120), ISP command "Copy RAM to Flash": 256 | 512 | 1024 | 4096 bytes
// to a 256-byte boundary.
inline constexpr LpcCopyRule kLpc213xCopy{{256, 512, 1024, 4096}};
// LPC2119/2129/2194/2292/2294 user manual (UM10114), Table 205 "Copy RAM to Flash":
// 512 | 1024 | 4096 | 8192 bytes to a 512-byte boundary. The LPC213x take its first three
// counts too.
inline constexpr LpcCopyRule kLpc22xxCopy{{512, 1024, 4096, 8192}};

struct LpcPart
{
    QStringView partId; // the decimal identification as the boot loader answers "J"
    QStringView name;   // "LPC2136"
    LpcLayout layout;
    int lastSector;   // the last sector erased and written
    LpcCopyRule copy; // what "C" accepts
};
// The part of an identification, compared as text exactly as received; nullptr when the
// table does not know it (such a part is programmed with kLpcDefaultPart's layout).
const LpcPart *lpcPart(QStringView partId);
// Layout, last sector and copy rule used for an identification the table does not know: the
// LPC21xx/22xx parts with 8 KB and 64 KB sectors (LPC2214 0x0601FF13, LPC2292 0x0401FF13 ...).
inline constexpr LpcPart kLpcDefaultPart{u"", u"", LpcLayout::A, 16, kLpc22xxCopy};
// Bytes of flash held by sectors 0..lastSector of a layout.
qint64 lpcFlashBytes(LpcLayout layout, int lastSector);

// ---- NXP LPC, any part with the UART ISP ---------------------------------------------------
//
// The "NXP LPC (any part)" entry programs whatever part answers "J": the identification picks a
// row below, the row its family, and the family says how that boot loader differs from the
// others (where W may write, how data travel, which counts C takes, which word makes the code
// valid, which commands exist). Every row names the user manual and table it comes from.

enum class LpcCore { Arm7, CortexM };

// Commands beyond the set every UART ISP has (U B A W R P C G E I J K M).
enum LpcCommand : quint8 {
    kLpcCmdCrc = 1,       // S address count: CRC-32 of a range
    kLpcCmdSerial = 2,    // N: the unique serial number
    kLpcCmdPageErase = 4, // X: erase pages
};

struct LpcSectorRun
{
    quint16 count;
    quint16 kib; // size of each of the count sectors
};

struct LpcFamily
{
    QStringView name;   // "LPC17xx"
    QStringView manual; // "UM10360 ch. 32"
    LpcCore core;
    bool binaryData;  // W and R carry raw bytes; otherwise uuencoded lines with checksums
    quint32 ramStart; // the RAM that W writes (its first byte)
    quint32 ramFree;  // the lowest address W may write: the ISP handler uses the RAM below
    // "Copy RAM to Flash" counts, smallest first, 0 after the last; the flash address must lie
    // on a boundary of the smallest.
    std::array<quint16, 5> copyCounts;
    // Bytes from flash address 0 that read as the boot code's during ISP, so a compare of them
    // says nothing about what was written.
    quint32 remappedBytes;
    quint8 commands;                  // LpcCommand bits
    std::span<const LpcSectorRun> sectors; // from sector 0; a part has as many as its flash holds
    // The word that makes the first eight vector words add up to zero: the boot loader starts
    // user code only then (0x14 on ARM7, 0x1C on Cortex-M).
    quint32 checksumWord() const { return core == LpcCore::Arm7 ? 0x14 : 0x1C; }
    bool has(LpcCommand c) const { return (commands & c) != 0; }
};

struct LpcChip
{
    quint32 id;       // the answer to "J"
    QStringView name; // "LPC1768"
    quint16 flashKib; // the user flash the sectors hold (no boot block)
    quint16 ramKib;   // the RAM at family->ramStart
    const LpcFamily *family;

    qint64 flashBytes() const { return qint64(flashKib) * 1024; }
    int sectorCount() const;
    qint64 sectorStart(int sector) const;
    qint64 sectorSize(int sector) const;
    int sectorOf(qint64 address) const; // -1 outside the flash
    // Bytes moved by one W/C pair: the largest copy count that fits the RAM W may use (below
    // the top 32 bytes and the 256-byte stack the flash commands use) and the smallest sector,
    // so a block always lies in one sector.
    int blockBytes() const;
};

std::span<const LpcChip> lpcChips();
// The row of an identification; nullptr for one no row knows.
const LpcChip *lpcChip(quint32 id);
// A row by its name without regard to case ("lpc1768"); nullptr when none.
const LpcChip *lpcChipNamed(QStringView name);
// The list entry that takes any LPC part (cliName "lpc").
bool lpcAnyPart(int index);

// ---- STC 8051 -----------------------------------------------------------------------------

struct StcModel
{
    QStringView code; // searched in the status frame's text ("F00282")
    int model;        // StcModel 1..5
    QStringView name; // "STC89C52RC"
    qint64 flashBytes;
};
// Rows in search order: every row found overwrites the result, so the last one found wins.
std::span<const StcModel> stcModels();
// The row of StcModel 1..5; nullptr for any other value.
const StcModel *stcModel(int model);

// ---- STC12, STC15, STC8 -------------------------------------------------------------------
//
// The newer STC boot loaders all put a 16-bit model code at bytes 20-21 of their status
// packet's payload; the code names the model, and the model decides the dialect its boot
// loader speaks (line settings, checksum width, handshake, calibration, option layout).

enum class StcProtocol {
    Stc12A, // STC12Cx052: 8N1, 1-byte checksums, STC89-like answers
    Stc12,  // STC10/11/12C5A: 8E1, 2-byte checksums, 50 handshake, 8F/8E rate frames
    Stc12B, // STC12C52xx/56xx: the Stc12 handshake with the Stc12A option frame
    Stc15,  // STC15F/L/W, IAP15: RC calibration rounds, 64-byte blocks, 64-byte option block
    Stc8,   // STC8A/8F: 24 MHz programming clock, divider, 40-byte option block
    Stc8D,  // STC8H and the STC8A8K..D4: other calibration rounds, counts in f/handshake
    Stc8G,  // STC8G: the Stc8D rounds with a 5-pair first round
};

struct StcSeriesModel
{
    quint16 code;     // status bytes 20-21
    QStringView name; // "STC15W4K56S4"
    StcProtocol protocol;
    qint32 codeBytes;   // program flash; a larger image is refused
    qint32 eepromBytes; // the data flash beside it
};
std::span<const StcSeriesModel> stcSeriesModels();
// The row of a model code; nullptr for a code the table does not know.
const StcSeriesModel *stcSeriesModel(quint16 code);

} // namespace devices
