#include "sim/Stm32Sim.h"

#include <algorithm>

namespace sim {

namespace {

constexpr quint8 kCmdGet = 0x00;
constexpr quint8 kCmdGetVersion = 0x01;
constexpr quint8 kCmdGetId = 0x02;
constexpr quint8 kCmdRead = 0x11;
constexpr quint8 kCmdGo = 0x21;
constexpr quint8 kCmdWrite = 0x31;
constexpr quint8 kCmdErase = 0x43;
constexpr quint8 kCmdExtendedErase = 0x44;
constexpr quint8 kCmdWriteProtect = 0x63;
constexpr quint8 kCmdWriteUnprotect = 0x73;
constexpr quint8 kCmdReadoutProtect = 0x82;
constexpr quint8 kCmdReadoutUnprotect = 0x92;
constexpr quint8 kCmdGetChecksum = 0xA1;
// The commands the Get answer lists, in the order the boot loader lists them; the erase
// command is Erase or, from protocol version 3.0 on, Extended Erase.
QByteArray offeredCommands(bool extendedErase)
{
    const quint8 list[] = {kCmdGet,
                           kCmdGetVersion,
                           kCmdGetId,
                           kCmdRead,
                           kCmdGo,
                           kCmdWrite,
                           extendedErase ? kCmdExtendedErase : kCmdErase,
                           kCmdWriteProtect,
                           kCmdWriteUnprotect,
                           kCmdReadoutProtect,
                           kCmdReadoutUnprotect};
    return QByteArray(reinterpret_cast<const char *>(list), sizeof list);
}
// Extended Erase numbers from 0xFFF0 on are special: FFFF mass erase, FFFE bank 1, FFFD
// bank 2, the rest reserved.
constexpr quint16 kExtSpecial = 0xFFF0;
constexpr quint16 kExtMass = 0xFFFF;
constexpr quint16 kExtBank1 = 0xFFFE;
constexpr quint16 kExtBank2 = 0xFFFD;

constexpr quint8 kGlobalErase = 0xFF;
constexpr quint8 kGlobalEraseChecksum = 0x00;
constexpr quint8 kErased = 0xFF;
constexpr qsizetype kAddressFrame = 5;  // four address bytes and their XOR
constexpr qsizetype kUniqueIdSize = 12; // 96 bits
constexpr qsizetype kFlashSizeBytes = 2;
// Option bytes of an unprotected F10x as they leave the factory (RM0008 §2.5 "Option byte
// description"): RDP = 0xA5 (no read protection), every other byte 0xFF, each followed by its
// complement.
constexpr quint8 kF1Options[] = {0xA5, 0x5A, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
// F0/F3: the same layout with RDP level 0 coded 0xAA (RM0360 §4.1, RM0316 §4.1).
constexpr quint8 kF0F3Options[] = {0xAA, 0x55, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                   0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
// F4 (RM0090 §3.6, Table 16): at 0x1FFFC000 the user byte and RDP (0xAA), at 0x1FFFC008 the
// write-protection bits nWRP (all 1: none protected); the values of the FLASH_OPTCR reset
// value 0x0FFFAAED, which is loaded from them.
constexpr quint8 kF4Options[] = {0xED, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// G0 (RM0444 §3.4.1): FLASH_OPTR as it leaves the factory, 0xFFFFFEAA (RDP 0xAA), then the
// other option words unprogrammed; 0x80 bytes up to 0x1FFF787F.
QByteArray g0Options()
{
    QByteArray o(0x80, char(0xFF));
    o[0] = char(0xAA);
    o[1] = char(0xFE);
    return o;
}
// L0/L1 option bytes (RM0367 §3.4.1, RM0038 §3.5): each option half-word is stored with its
// complement in the upper half-word; RDP level 0 is 0xAA. The rest of the area reads 0x00
// here (erased on these lines).
// What L0 and L1 loaders share: protocol V3.1 with Extended Erase and no mass erase (AN2606
// "STM32L0xxxx" and "STM32L1xxxx" configurations), flash erased to 0x00 and written in words,
// each once per erase (RM0367 §3.3, RM0038 §3.3).
void l0l1Flash(Stm32Sim::Config &c, quint16 flashKb, quint32 pageSize)
{
    c.version = 0x31;
    c.flashSizeKb = flashKb;
    c.pageSize = pageSize;
    c.extendedErase = true;
    c.massErase = Stm32Sim::MassErase::Refused;
    c.programming = Stm32Sim::Programming::DoubleWordOnce;
    c.erasedValue = 0x00;
    c.oldContents = 0xFF;
    c.writeUnit = 4;
}

QByteArray l0l1Options(qsizetype size)
{
    QByteArray o(size, '\0');
    o[0] = char(0xAA);
    o[2] = char(0x55);
    o[3] = char(0xFF);
    return o;
}
// A made-up unique id: every chip has its own 96 bits (lot, wafer, position on the wafer).
constexpr quint8 kUniqueId[kUniqueIdSize] = {0x37, 0xFF, 0xD8, 0x05, 0x4B, 0x52,
                                             0x38, 0x31, 0x23, 0x58, 0x10, 0x43};

// Erase time of an F2/F4 sector by its size, x32 parallelism (the 2.7 V to 3.6 V range the
// boot loader uses), typical values of the STM32F405/407 data sheet's "Flash memory
// programming" table: 16 KB 250 ms, 64 KB 550 ms, 128 KB 1 s.
qint64 sectorEraseUs(qsizetype bytes)
{
    if (bytes <= 16 * 1024) return 250'000;
    if (bytes <= 64 * 1024) return 550'000;
    return qint64(1'000'000) * ((bytes + 128 * 1024 - 1) / (128 * 1024));
}

QString hex(quint32 value, int digits = 2)
{
    return QStringLiteral("0x") +
           QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

bool within(quint32 address, qsizetype length, quint32 base, qsizetype size)
{
    const quint64 start = address;
    const quint64 end = start + quint64(length);
    return start >= base && end <= quint64(base) + quint64(size);
}

} // namespace

// The facts of each line, with their sources:
//   * product id, protocol version and the erase command: AN2606 "Embedded bootloaders"
//     table and AN3155 (Extended Erase from V3.0 on);
//   * RAM the boot loader uses, system memory: AN2606, "<line> configuration in system
//     memory boot mode" table of each line;
//   * boot loader id byte and where it sits: AN2606 "Embedded bootloaders" table (none on
//     F10x low, medium and high density);
//   * flash-size register and unique id: the reference manuals' "Device electronic
//     signature" chapter (RM0008 §30, RM0091 §33 for F05x, RM0316 §34, RM0090 §39,
//     RM0444 §40); option bytes: the reference manuals' option byte chapter;
//   * reads of the unique id: answered as any byte of the area that holds it (stm32loader
//     reads the 12 bytes at the id's address on F1, F3, F7, G0, G4, L4, WL and H7 and no
//     refusal is reported: bootloader.py get_uid with device_family.py's addresses); the F2/F4
//     and L0 loaders refuse that short read and answer the area read (wholeReadArea below);
//   * flash and RAM sizes of the largest part of each line (data sheets);
//   * erase and programming times: the data sheets' "Flash memory characteristics" tables,
//     typical values (F103: page 20 ms, half-word 52.5 us; F030/F051 and F303: page 20 ms,
//     half-word 53.5 us; F405: see sectorEraseUs, word 16 us, mass erase 8 s; G071: page
//     22 ms, double word 85 us).
Stm32Sim::Config Stm32Sim::Config::profile(quint16 productId)
{
    Config c;
    c.productId = productId;
    switch (productId) {
    case 0x410: // F10x medium density: 128 KB flash, 20 KB RAM
        c.flashSizeKb = 128;
        c.pageSize = 1024;
        c.ramSize = 20 * 1024;
        break;
    case 0x420: // F100 value lines: boot loader id 0x10
    case 0x428:
        c.bootLoaderIdAddress = 0x1FFFF7D6;
        c.bootLoaderId = 0x10;
        c.flashSizeKb = productId == 0x420 ? 128 : 512;
        c.pageSize = productId == 0x420 ? 1024 : 2048;
        c.ramSize = productId == 0x420 ? 8 * 1024 : 32 * 1024;
        break;
    case 0x440: // F030x8/F05x: 64 KB flash, 8 KB RAM
        c.version = 0x31;
        c.flashSizeKb = 64;
        c.pageSize = 1024;
        c.flashSizeRegister = 0x1FFFF7CC;
        c.extendedErase = true;
        c.ramSize = 8 * 1024;
        c.bootLoaderRam = 2 * 1024;
        c.systemMemory = 0x1FFFEC00;
        c.systemMemorySize = 3 * 1024;
        c.bootLoaderIdAddress = 0x1FFFF7A6;
        c.bootLoaderId = 0x21;
        c.uniqueId = 0x1FFFF7AC;
        c.optionValues =
            QByteArray(reinterpret_cast<const char *>(kF0F3Options), sizeof kF0F3Options);
        c.programNsPerByte = 26'750;
        break;
    case 0x422: // F302xB/C, F303xB/C: 256 KB flash, 40 KB RAM
        c.version = 0x31;
        c.flashSizeKb = 256;
        c.pageSize = 2048;
        c.flashSizeRegister = 0x1FFFF7CC;
        c.extendedErase = true;
        c.ramSize = 40 * 1024;
        c.bootLoaderRam = 5 * 1024;
        c.systemMemory = 0x1FFFD800;
        c.systemMemorySize = 8 * 1024;
        c.bootLoaderIdAddress = 0x1FFFF796;
        c.bootLoaderId = 0x41;
        c.uniqueId = 0x1FFFF7AC;
        c.optionValues =
            QByteArray(reinterpret_cast<const char *>(kF0F3Options), sizeof kF0F3Options);
        c.programNsPerByte = 26'750;
        break;
    case 0x411: // F2: 4 x 16 KiB, 64 KiB, 7 x 128 KiB; 128 KB RAM; boot loader V3.3 (AN2606
                // "STM32F2xxxx configuration in system memory boot mode"), 8 KB of RAM;
                // the same system area as the F4 (RM0033 §2.3 memory map, §32)
    case 0x413: // F40x/F41x: 4 x 16 KiB, 64 KiB, 7 x 128 KiB; 128 KB RAM (SRAM1 and SRAM2);
                // the OTP area 0x1FFF7800-0x1FFF7A0F, then unique id and flash size (RM0090
                // §2.3 memory map, §39)
        c.version = productId == 0x411 ? 0x33 : 0x31;
        c.flashSizeKb = 1024;
        c.pageSize = 0;
        c.sectorKib = {16, 16, 16, 16, 64, 128, 128, 128, 128, 128, 128, 128};
        c.flashSizeRegister = 0x1FFF7A22;
        c.extendedErase = true;
        c.programming = Programming::ClearBits;
        c.ramSize = 128 * 1024;
        c.bootLoaderRam = 8 * 1024; // boot loader V3.1 (id 0x31), V3.3 on F2 (id 0x33)
        c.systemMemory = 0x1FFF0000;
        c.systemMemorySize = 30 * 1024;
        c.bootLoaderIdAddress = 0x1FFF77DE;
        c.bootLoaderId = c.version;
        c.uniqueId = 0x1FFF7A10;
        c.infoArea = 0x1FFF7800;
        // Up to 0x1FFF7AFF: a NUCLEO-F401RE answers 256 bytes from 0x1FFF7A00 (stm32loader
        // pull request #25, issue #43).
        c.infoAreaSize = 0x300;
        c.infoOtpSize = 0x210; // one-time programmable bytes, erased (RM0090 §3.8)
        // The same chip refuses 12 bytes at 0x1FFF7A10 (unique id) and 2 bytes at 0x1FFF7A22
        // (flash size) after the count, "NACK 0x11 length failed" (the same reports): the
        // start of the read decides.
        c.wholeReadArea = 0x1FFF7A00;
        c.optionBytes = 0x1FFFC000;
        c.optionValues = QByteArray(reinterpret_cast<const char *>(kF4Options), sizeof kF4Options);
        c.massEraseUs = 8'000'000;
        c.programNsPerByte = 4'000;
        break;
    case 0x460: // G07x/G08x: 128 KB flash, 36 KB RAM; the engineering bytes 0x1FFF7500-
                // 0x1FFF77FF hold unique id and flash size (RM0444 §2.2 memory map, §40)
        c.version = 0x31;
        c.flashSizeKb = 128;
        c.pageSize = 2048;
        c.flashSizeRegister = 0x1FFF75E0;
        c.extendedErase = true;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = 8;
        c.ramSize = 36 * 1024;
        c.bootLoaderRam = 12 * 1024;
        c.systemMemory = 0x1FFF0000;
        c.systemMemorySize = 28 * 1024;
        c.bootLoaderIdAddress = 0x1FFF6FFE;
        c.bootLoaderId = 0xB4;
        c.uniqueId = 0x1FFF7590;
        c.infoArea = 0x1FFF7500;
        c.infoAreaSize = 0x300;
        c.optionBytes = 0x1FFF7800;
        c.optionValues = g0Options();
        c.pageEraseUs = 22'000;
        c.massEraseUs = 22'100;
        c.programNsPerByte = 10'625;
        break;
    case 0x457: // L0 (RM0377, RM0367, RM0451): 128-byte pages erased to 0x00, words written
    case 0x425: // once per erase; boot loader ids and RAM: AN2606 "STM32L0xxxx configuration
    case 0x417: // in system memory boot mode" (4 KB of RAM from 0x20000000, USART protocol
    case 0x447: // V3.1 with Extended Erase and no mass erase)
        l0l1Flash(c, productId == 0x457 ? 16 : productId == 0x425 ? 32
                     : productId == 0x417 ? 64 : 192, 128);
        c.ramSize = productId == 0x447 ? 20 * 1024 : 8 * 1024;
        c.bootLoaderRam = productId == 0x457 ? 2 * 1024 : 4 * 1024;
        c.systemMemory = 0x1FF00000;
        c.systemMemorySize = productId == 0x447 ? 8 * 1024 : 4 * 1024;
        c.bootLoaderIdAddress = int(c.systemMemory + c.systemMemorySize - 2);
        c.bootLoaderId = productId == 0x447 ? 0x41 : 0xC0;
        // Data EEPROM: 512 B, 1, 2 or 6 KiB (the data sheets of L011, L031, L053, L073).
        c.eepromSize = productId == 0x457 ? 512 : productId == 0x425 ? 1024
                       : productId == 0x417 ? 2048 : 6144;
        // Option bytes, unique id and flash size share 0x1FF80000-0x1FF8007F (RM0367 §3.4,
        // §28.2); an L073 refuses a read of 0x1FF8007C and answers 128 bytes from
        // 0x1FF80000 (stm32loader issue #61).
        c.optionBytes = 0x1FF80000;
        c.optionValues = l0l1Options(0x80);
        c.uniqueId = 0x1FF80050;
        c.flashSizeRegister = 0x1FF8007C;
        c.wholeReadArea = 0x1FF80000;
        c.wholeReadSize = 0x80;
        break;
    case 0x416: // L1 (RM0038): 256-byte pages erased to 0x00, words; AN2606 "STM32L1xxxx":
    case 0x429: // 2 KB (Cat.1) or 4 KB of RAM for the loader, no mass erase; flash size and
    case 0x427: // unique id at 0x1FF8004C/0x1FF80050 (Cat.1, Cat.2) or 0x1FF800CC/0x1FF800D0
    case 0x436: // (Cat.3 and later), RM0038 §31.1, §31.2
    case 0x437: {
        const bool cat12 = productId == 0x416 || productId == 0x429;
        l0l1Flash(c, cat12 ? 128 : productId == 0x427 ? 256 : productId == 0x436 ? 384 : 512, 256);
        c.ramSize = productId == 0x416 ? 16 * 1024 : productId == 0x436 ? 48 * 1024
                    : productId == 0x437 ? 80 * 1024 : 32 * 1024;
        c.bootLoaderRam = productId == 0x416 ? 2 * 1024 : 4 * 1024;
        c.systemMemory = 0x1FF00000;
        c.systemMemorySize = productId == 0x416 ? 4 * 1024 : 8 * 1024;
        c.bootLoaderIdAddress = int(c.systemMemory + c.systemMemorySize - 2);
        c.bootLoaderId = productId == 0x436 ? 0x45 : productId == 0x427 || productId == 0x437
                                                         ? 0x40 : 0x20;
        c.optionBytes = 0x1FF80000;
        c.optionValues = l0l1Options(0x100);
        // Data EEPROM: 4 KiB (Cat.1, Cat.2), 8, 12, 16 KiB (Cat.3, 4, 5): RM0038 §3.1.
        c.eepromSize = cat12 ? 4096 : productId == 0x427 ? 8192 : productId == 0x436 ? 12288
                                                                                  : 16384;
        c.uniqueId = cat12 ? 0x1FF80050 : 0x1FF800D0;
        c.flashSizeRegister = cat12 ? 0x1FF8004C : 0x1FF800CC;
        break;
    }
    case 0x450: // H74x/75x: two banks of 8 x 128 KiB sectors, 256-bit flash words (RM0433
    case 0x483: // §4.3); H72x/73x one bank (RM0468). AN2606 "STM32H74xxx/75xxx": the loader
                // uses 0x20000000-0x200040FF of the DTCM RAM; system memory 0x1FF00000-
                // 0x1FF1E7FF with its id at 0x1FF1E7FE; unique id 0x1FF1E800 and flash size
                // 0x1FF1E880 (RM0433 §61.1, §61.2); option bytes are registers, not memory.
        c.version = 0x31;
        c.flashSizeKb = productId == 0x450 ? 2048 : 1024;
        c.pageSize = 0;
        c.sectorKib = QList<quint16>(productId == 0x450 ? 16 : 8, 128);
        c.extendedErase = true;
        c.massErase = productId == 0x450 ? MassErase::Banks : MassErase::Whole;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = 32;
        c.ramSize = 128 * 1024;
        c.bootLoaderRam = 0x4100;
        c.systemMemory = 0x1FF00000;
        c.systemMemorySize = 0x1E800;
        c.bootLoaderIdAddress = 0x1FF1E7FE;
        c.bootLoaderId = productId == 0x450 ? 0x91 : 0x93;
        c.infoArea = 0x1FF1E800;
        c.infoAreaSize = 0x100;
        c.uniqueId = 0x1FF1E800;
        c.flashSizeRegister = 0x1FF1E880;
        c.optionBytes = 0;
        // Flash times at x32 parallelism (the 2.7 V to 3.6 V range the loader runs in): a
        // 128 KB sector erases in 1.1 s typical, 2.2 s at most (DS12110 "Flash memory
        // programming" table, as ST quotes it in community.st.com thread 734674, "STM32H743
        // Flash EraseSector Reset Problem"). The 130 us a 256-bit flash word and the 6 s of a
        // mass erase are taken as typical values of the same table but are not checked against
        // a copy of it; a bank erase (FFFE, FFFD) is given the mass erase's time.
        c.sectorEraseUsEach = 1'100'000;
        c.massEraseUs = 6'000'000;
        c.programNsPerByte = 130'000 / 32;
        break;
    case 0x443: // C011/C031 (RM0490): 2 KiB pages, double words; AN2606 "STM32C011xx/
    case 0x453: // C031xx": system memory 0x1FFF0000-0x1FFF17FF, id at 0x1FFF17FE, RAM from
                // 0x20001000 (C011) or 0x20002000 (C031) left to the user; engineering
                // bytes 0x1FFF7500-0x1FFF77FF with unique id 0x1FFF7550 and flash size
                // 0x1FFF75A0 (RM0490 §33); option bytes 0x1FFF7800 (RM0490 §3.4)
        c.version = 0x31;
        c.flashSizeKb = 32;
        c.pageSize = 2048;
        c.extendedErase = true;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = 8;
        c.ramSize = productId == 0x443 ? 6 * 1024 : 12 * 1024;
        c.bootLoaderRam = productId == 0x443 ? 4 * 1024 : 8 * 1024;
        c.systemMemory = 0x1FFF0000;
        c.systemMemorySize = 6 * 1024;
        c.bootLoaderIdAddress = 0x1FFF17FE;
        c.bootLoaderId = productId == 0x443 ? 0x51 : 0x52;
        c.infoArea = 0x1FFF7500;
        c.infoAreaSize = 0x300;
        c.uniqueId = 0x1FFF7550;
        c.flashSizeRegister = 0x1FFF75A0;
        c.optionBytes = 0x1FFF7800;
        c.optionValues = g0Options();
        break;
    case 0x467: // G0B1/G0C1 (RM0444): 512 KiB in two banks of 2 KiB pages, double words;
    case 0x494: // WB10/15 (RM0473): 320 KiB of 2 KiB pages; WB30/35/50/55 (RM0434): 1 MiB of
    case 0x495: // 4 KiB pages; WLE5/WL55 (RM0453): 256 KiB of 2 KiB pages; all double
    case 0x497: // words, unique id and flash size in the engineering bytes from 0x1FFF7500
                // (0x1FFF7590; 0x1FFF75E0: RM0473 and RM0434 "Unique device ID register (96
                // bits)", the WB's 0x1FFF7580 being its 64-bit id); loader RAM, system memory
                // and id byte: AN2606's chapters of these lines
        c.version = 0x31;
        c.flashSizeKb = productId == 0x467 ? 512 : productId == 0x494 ? 320
                        : productId == 0x495 ? 1024 : 256;
        c.pageSize = productId == 0x495 ? 4096 : 2048;
        c.extendedErase = true;
        c.massErase = productId == 0x467 ? MassErase::Banks : MassErase::Whole;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = 8;
        c.ramSize = productId == 0x467 ? 144 * 1024 : productId == 0x497 ? 64 * 1024
                    : productId == 0x495 ? 192 * 1024 : 48 * 1024;
        c.bootLoaderRam = productId == 0x497 ? 8 * 1024 : productId == 0x494 ? 20 * 1024
                                                                             : 16 * 1024;
        c.systemMemory = 0x1FFF0000;
        c.systemMemorySize = productId == 0x497 ? 16 * 1024 : 28 * 1024;
        c.bootLoaderIdAddress = productId == 0x497 ? 0x1FFF3EFE
                                : productId == 0x467 ? 0x1FFF9FFE : 0x1FFF6FFE;
        c.bootLoaderId = productId == 0x497 ? 0xC4 : productId == 0x495 ? 0xD5
                         : productId == 0x467 ? 0x92 : 0xB1;
        // G0B1/G0C1: the system memory's second piece, 0x1FFF8000-0x1FFFEFFF, holds the id
        // byte 0x92 at 0x1FFF9FFE (AN2606 "STM32G0B1xx/G0C1xx" table, as stm32loader's
        // devices.py has it: it reads that byte, and a board refusing it stops stm32loader).
        if (productId == 0x467) {
            c.systemMemory2 = 0x1FFF8000;
            c.systemMemory2Size = 0x7000;
        }
        c.infoArea = 0x1FFF7500;
        c.infoAreaSize = 0x300;
        c.uniqueId = 0x1FFF7590;
        c.flashSizeRegister = 0x1FFF75E0;
        c.optionBytes = productId == 0x495 ? 0x1FFF8000 : 0x1FFF7800;
        c.optionValues = g0Options();
        break;
    case 0x472: // L552/562 (RM0438): 512 KiB in two banks of 2 KiB pages, double words;
    case 0x482: // U575/585 (RM0456): 2 MiB in two banks of 8 KiB pages, quad words. AN2606:
                // system memory 0x0BF90000 (32 KB on L5, 64 KB on U5), 16 KB of RAM for the
                // loader; unique id and flash size at 0x0BFA0590/0x0BFA05E0 (RM0438 §52) and
                // 0x0BFA0700/0x0BFA07A0 (RM0456 §75); option bytes are registers
        c.version = 0x31;
        c.flashSizeKb = productId == 0x472 ? 512 : 2048;
        c.pageSize = productId == 0x472 ? 2048 : 8192;
        c.extendedErase = true;
        c.massErase = MassErase::Banks;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = productId == 0x472 ? 8 : 16;
        c.ramSize = productId == 0x472 ? 256 * 1024 : 768 * 1024;
        c.bootLoaderRam = 16 * 1024;
        c.systemMemory = 0x0BF90000;
        c.systemMemorySize = productId == 0x472 ? 32 * 1024 : 64 * 1024;
        c.bootLoaderIdAddress = productId == 0x472 ? 0x0BF97FFE : 0x0BF99EFE;
        c.bootLoaderId = 0x92;
        c.infoArea = productId == 0x472 ? 0x0BFA0500 : 0x0BFA0700;
        c.infoAreaSize = 0x100;
        c.uniqueId = productId == 0x472 ? 0x0BFA0590 : 0x0BFA0700;
        c.flashSizeRegister = productId == 0x472 ? 0x0BFA05E0 : 0x0BFA07A0;
        c.optionBytes = 0;
        break;
    case 0x480: // H7A3/B3/B0 (RM0455): 2 MiB in two banks of 8 KiB sectors, 128-bit flash
                // words (OpenOCD's commit adding the line); unique id 0x08FFF800 and flash
                // size 0x08FFF80C (RM0455 §65.1, §65.2). The loader's RAM (0x20000000-
                // 0x200040FF of the DTCM), system memory 0x1FF00000-0x1FF13FFF and its id
                // byte 0x92 at 0x1FF13FFE as stm32loader's devices.py lists them (from AN2606);
                // option bytes are registers, not memory.
        c.version = 0x31;
        c.flashSizeKb = 2048;
        c.pageSize = 8192;
        c.extendedErase = true;
        c.massErase = MassErase::Banks;
        c.programming = Programming::DoubleWordOnce;
        c.writeUnit = 16;
        c.ramSize = 128 * 1024;
        c.bootLoaderRam = 0x4100;
        c.systemMemory = 0x1FF00000;
        c.systemMemorySize = 0x14000;
        c.bootLoaderIdAddress = 0x1FF13FFE;
        c.bootLoaderId = 0x92;
        c.infoArea = 0x08FFF800;
        c.infoAreaSize = 0x100;
        c.uniqueId = 0x08FFF800;
        c.flashSizeRegister = 0x08FFF80C;
        c.optionBytes = 0;
        break;
    default:
        break;
    }
    return c;
}

QList<quint16> Stm32Sim::Config::profiles()
{
    return {0x410, 0x414, 0x420, 0x428, 0x440, 0x422, 0x411, 0x413, 0x460, 0x457,
            0x425, 0x417, 0x447, 0x416, 0x429, 0x427, 0x436, 0x437, 0x450, 0x483,
            0x443, 0x453, 0x467, 0x494, 0x495, 0x497, 0x472, 0x482, 0x480};
}

Stm32Sim::Stm32Sim() : Stm32Sim(Config{}) {}

Stm32Sim::Stm32Sim(Config config)
    : config_(config), flash_(qsizetype(config.flashSizeKb) * 1024, char(config.oldContents)),
      ram_(qsizetype(config.ramSize), '\0'), eeprom_(qsizetype(config.eepromSize), '\0'),
      offered_(offeredCommands(config.extendedErase))
{
    if (config_.checksum) offered_.append(char(kCmdGetChecksum));
    if (config_.pageSize == 0 && config_.sectorKib.isEmpty()) config_.pageSize = 1024;
    if (config_.writeUnit < 1) config_.writeUnit = 1;
    if (config_.optionValues.isEmpty())
        config_.optionValues =
            QByteArray(reinterpret_cast<const char *>(kF1Options), sizeof kF1Options);
    // System memory: the boot loader's code, which is not ours to show (zeros). The option
    // bytes follow it directly on F10x, F0 and F3 (one area); F4 and G0 keep the unique id
    // and the flash-size register in an area of their own (infoArea).
    areas_.append({config_.systemMemory, QByteArray(qsizetype(config_.systemMemorySize), '\0')});
    if (config_.systemMemory2Size > 0)
        areas_.append({config_.systemMemory2, QByteArray(qsizetype(config_.systemMemory2Size), '\0')});
    if (config_.optionBytes == 0)
        ; // no option bytes in the memory map
    else if (config_.optionBytes == config_.systemMemory + config_.systemMemorySize)
        areas_.first().bytes.append(config_.optionValues);
    else
        areas_.append({config_.optionBytes, config_.optionValues});
    if (config_.infoAreaSize > 0) {
        QByteArray info(qsizetype(config_.infoAreaSize), '\0');
        std::fill_n(info.begin(), std::min<qsizetype>(config_.infoOtpSize, info.size()),
                    char(kErased));
        areas_.append({config_.infoArea, info});
    }
    const char size[kFlashSizeBytes] = {char(config_.flashSizeKb & 0xFF),
                                        char(config_.flashSizeKb >> 8)};
    put(config_.uniqueId, QByteArrayView(reinterpret_cast<const char *>(kUniqueId), kUniqueIdSize));
    put(config_.flashSizeRegister, QByteArrayView(size, kFlashSizeBytes));
    if (config_.bootLoaderIdAddress >= 0)
        put(quint32(config_.bootLoaderIdAddress),
            QByteArrayView(reinterpret_cast<const char *>(&config_.bootLoaderId), 1));
}

void Stm32Sim::put(quint32 address, QByteArrayView bytes)
{
    for (Area &area : areas_) {
        if (within(address, bytes.size(), area.base, area.bytes.size())) {
            std::copy_n(bytes.data(), bytes.size(), area.bytes.begin() + (address - area.base));
            return;
        }
    }
}

bool Stm32Sim::offers(quint8 command) const
{
    return offered_.contains(char(command));
}

int Stm32Sim::unitCount() const
{
    if (config_.sectorKib.isEmpty()) return int(flash_.size() / config_.pageSize);
    qsizetype at = 0;
    int n = 0;
    for (const quint16 kib : config_.sectorKib) {
        if (at + qsizetype(kib) * 1024 > flash_.size()) break;
        at += qsizetype(kib) * 1024;
        ++n;
    }
    return n;
}

std::pair<qsizetype, qsizetype> Stm32Sim::unitSpan(int unit) const
{
    if (config_.sectorKib.isEmpty())
        return {qsizetype(unit) * config_.pageSize, qsizetype(config_.pageSize)};
    qsizetype at = 0;
    for (int s = 0; s < unit; ++s)
        at += qsizetype(config_.sectorKib[s]) * 1024;
    return {at, qsizetype(config_.sectorKib[unit]) * 1024};
}

bool Stm32Sim::isReadProtected() const
{
    auto guard = lock();
    return config_.readProtected;
}

bool Stm32Sim::isSynchronised() const
{
    auto guard = lock();
    return state_ != State::AwaitSync;
}

QList<Stm32Sim::Command> Stm32Sim::commands() const
{
    auto guard = lock();
    return commands_;
}

QList<int> Stm32Sim::erasedPages() const
{
    auto guard = lock();
    return erasedPages_;
}

void Stm32Sim::forgetCommands()
{
    auto guard = lock();
    commands_.clear();
    erasedPages_.clear();
}

QByteArray Stm32Sim::flash() const
{
    auto guard = lock();
    return flash_;
}

QByteArray Stm32Sim::flash(quint32 address, qsizetype length) const
{
    auto guard = lock();
    if (address < kFlashBase || length < 0) return {};
    return flash_.mid(qsizetype(address - kFlashBase), length);
}

void Stm32Sim::setFlash(quint32 address, QByteArrayView data)
{
    auto guard = lock();
    if (address < kFlashBase) return;
    const qsizetype at = qsizetype(address - kFlashBase);
    if (at >= flash_.size()) return;
    const qsizetype n = std::min(data.size(), flash_.size() - at);
    std::copy_n(data.data(), n, flash_.begin() + at);
}

QByteArray Stm32Sim::eeprom() const
{
    auto guard = lock();
    return eeprom_;
}

QByteArray Stm32Sim::ram() const
{
    auto guard = lock();
    return ram_;
}

void Stm32Sim::resetState()
{
    state_ = State::AwaitSync;
    frame_.clear();
}

QByteArray Stm32Sim::process(QByteArrayView bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        if (silenced()) break;
        out += takeByte(quint8(c));
    }
    return out;
}

QByteArray Stm32Sim::takeByte(quint8 b)
{
    switch (state_) {
    case State::AwaitSync:
        if (b != kSync) {
            protocolError(QStringLiteral("byte %1 before the synchronisation byte").arg(hex(b)));
            return {};
        }
        if (auto f = faultAt(int(Step::Sync))) return faultAnswer(*f, QByteArray(1, char(kNack)));
        commands_.append({kSync, 0, 0});
        state_ = State::AwaitCommand;
        return QByteArray(1, char(kAck));
    case State::AwaitCommand:
        command_ = b;
        state_ = State::AwaitComplement;
        return {};
    case State::AwaitComplement:
        // A host that connects again sends 0x7F twice to a loader that is already
        // synchronised: the first is taken as a command byte, the second fails as its
        // complement and is answered NACK (AN3155 §2: every command byte is followed by its
        // complement, else NACK). stm32flash does this on purpose to find out that the
        // loader was left synchronised; it is no fault of the host.
        if (command_ == kSync && b == kSync) {
            note(QStringLiteral("7F 7F: the host connects again; NACK, as the chip answers"));
            state_ = State::AwaitCommand;
            return QByteArray(1, char(kNack));
        }
        if (b != quint8(command_ ^ 0xFF))
            return refuse(QStringLiteral("command %1 followed by %2 instead of its complement")
                              .arg(hex(command_), hex(b)));
        return dispatch(command_);
    case State::ChecksumAddress:
    case State::ChecksumSize:
        frame_.append(char(b));
        if (frame_.size() < kAddressFrame) return {};
        return finishChecksum();
    case State::ReadAddress:
    case State::GoAddress:
    case State::WriteAddress:
        frame_.append(char(b));
        if (frame_.size() < kAddressFrame) return {};
        if (state_ == State::ReadAddress) return finishReadAddress();
        if (state_ == State::GoAddress) return finishGoAddress();
        return finishWriteAddress();
    case State::ReadCount:
        frame_.append(char(b));
        return frame_.size() < 2 ? QByteArray() : finishReadCount();
    case State::WriteCount:
        frame_ = QByteArray(1, char(b));
        expected_ = 1 + (qsizetype(b) + 1) + 1; // count, data, checksum
        state_ = State::WriteData;
        return {};
    case State::WriteData:
        frame_.append(char(b));
        return frame_.size() < expected_ ? QByteArray() : finishWriteData();
    case State::EraseCount:
        frame_ = QByteArray(1, char(b));
        if (b == kGlobalErase) {
            state_ = State::EraseGlobalChecksum;
        } else {
            expected_ = 1 + (qsizetype(b) + 1) + 1; // count, pages, checksum
            state_ = State::ErasePages;
        }
        return {};
    case State::EraseGlobalChecksum: {
        if (b != kGlobalEraseChecksum)
            return refuse(
                QStringLiteral("global erase FF followed by %1 instead of 00").arg(hex(b)));
        QList<int> all;
        for (int p = 0; p < unitCount(); ++p)
            all.append(p);
        return eraseUnits(all, -1);
    }
    case State::ExtEraseCount:
        frame_.append(char(b));
        if (frame_.size() < 2) return {};
        if (const quint16 n = quint16(quint8(frame_[0]) << 8 | quint8(frame_[1]));
            n >= kExtSpecial) {
            state_ = State::ExtEraseSpecialChecksum;
        } else {
            expected_ = 2 + 2 * (qsizetype(n) + 1) + 1; // count, numbers, checksum
            state_ = State::ExtErasePages;
        }
        return {};
    case State::ExtEraseSpecialChecksum:
    case State::ExtErasePages:
        frame_.append(char(b));
        if (state_ == State::ExtErasePages && frame_.size() < expected_) return {};
        return finishExtendedErase();
    case State::ErasePages:
        frame_.append(char(b));
        return frame_.size() < expected_ ? QByteArray() : finishErasePages();
    case State::ProtectCount:
        frame_ = QByteArray(1, char(b));
        expected_ = 1 + (qsizetype(b) + 1) + 1;
        state_ = State::ProtectSectors;
        return {};
    case State::ProtectSectors: {
        frame_.append(char(b));
        if (frame_.size() < expected_) return {};
        const quint8 x = frameXor();
        if (x != quint8(frame_.back()))
            return refuse(QStringLiteral("write-protect sector list checksum %1, expected %2")
                              .arg(hex(quint8(frame_.back())), hex(x)));
        commands_.append({kCmdWriteProtect, 0, int(frame_.size() - 2)});
        state_ = State::AwaitSync; // the chip resets after changing its option bytes
        return QByteArray(1, char(kAck));
    }
    case State::Running:
        return {};
    }
    return {};
}

std::optional<QByteArray> Stm32Sim::faulted(Step step)
{
    if (auto f = faultAt(int(step))) {
        state_ = State::AwaitCommand;
        return faultAnswer(*f, QByteArray(1, char(kNack)));
    }
    return std::nullopt;
}

quint8 Stm32Sim::frameXor() const
{
    quint8 x = 0;
    for (qsizetype i = 0; i + 1 < frame_.size(); ++i)
        x ^= quint8(frame_[i]);
    return x;
}

QByteArray Stm32Sim::dispatch(quint8 command)
{
    frame_.clear();
    const QByteArray ack(1, char(kAck));
    const QByteArray nack(1, char(kNack));

    if (!offers(command))
        return refuse(
            QStringLiteral("command %1 is not offered by this boot loader").arg(hex(command)));
    // With read-out protection on, the loader refuses everything that touches the flash.
    const bool touchesFlash = command == kCmdRead || command == kCmdGo || command == kCmdWrite ||
                              command == kCmdErase || command == kCmdExtendedErase ||
                              command == kCmdGetChecksum;
    if (config_.readProtected && touchesFlash) return refuseProtected(command);

    switch (command) {
    case kCmdGet: {
        if (auto a = faulted(Step::Get)) return *a;
        QByteArray out = ack;
        out.append(char(offered_.size()));
        out.append(char(config_.version));
        out.append(offered_);
        out.append(char(kAck));
        commands_.append({command, 0, 0});
        state_ = State::AwaitCommand;
        return out;
    }
    case kCmdGetVersion: {
        if (auto a = faulted(Step::GetVersion)) return *a;
        QByteArray out = ack;
        out.append(char(config_.version));
        out.append(2, '\0'); // option bytes of an unprotected chip, as the boot loader reports
        out.append(char(kAck));
        commands_.append({command, 0, 0});
        state_ = State::AwaitCommand;
        return out;
    }
    case kCmdGetId: {
        if (auto a = faulted(Step::GetId)) return *a;
        QByteArray out = ack;
        out.append(char(1)); // number of id bytes - 1
        out.append(char(config_.productId >> 8));
        out.append(char(config_.productId & 0xFF));
        out.append(char(kAck));
        commands_.append({command, 0, 0});
        state_ = State::AwaitCommand;
        return out;
    }
    case kCmdRead:
        if (auto a = faulted(Step::ReadCommand)) return *a;
        state_ = State::ReadAddress;
        return ack;
    case kCmdGo:
        if (auto a = faulted(Step::GoCommand)) return *a;
        state_ = State::GoAddress;
        return ack;
    case kCmdWrite:
        if (auto a = faulted(Step::WriteCommand)) return *a;
        state_ = State::WriteAddress;
        return ack;
    case kCmdErase:
        if (auto a = faulted(Step::EraseCommand)) return *a;
        state_ = State::EraseCount;
        return ack;
    case kCmdExtendedErase:
        if (auto a = faulted(Step::EraseCommand)) return *a;
        state_ = State::ExtEraseCount;
        return ack;
    case kCmdGetChecksum:
        if (auto a = faulted(Step::OtherCommand)) return *a;
        state_ = State::ChecksumAddress;
        return ack;
    case kCmdWriteProtect:
        if (auto a = faulted(Step::OtherCommand)) return *a;
        state_ = State::ProtectCount;
        return ack;
    case kCmdWriteUnprotect:
    case kCmdReadoutProtect:
    case kCmdReadoutUnprotect:
        if (auto a = faulted(Step::OtherCommand)) return *a;
        // Removing the readout protection erases the whole flash first (AN3155 §3.12); on
        // L0/L1 going back to Level 0 erases the data EEPROM as well (RM0377/RM0367 §3.4.1,
        // RM0038 §3.7.1).
        if (command == kCmdReadoutUnprotect) {
            flash_.fill(char(config_.erasedValue));
            eeprom_.fill('\0');
            config_.readProtected = false;
        }
        if (command == kCmdReadoutProtect) config_.readProtected = true;
        // AN3155 §3.10 Write Unprotect: the write protection of the whole flash is removed
        // (the option bytes rewritten), then the ACK and a system reset.
        if (command == kCmdWriteUnprotect) config_.writeProtected = false;
        commands_.append({command, 0, 0});
        state_ = State::AwaitSync; // the chip resets after changing its option bytes
        return ack + ack;
    default:
        return refuse(
            QStringLiteral("command %1 is not offered by this boot loader").arg(hex(command)));
    }
}

std::optional<quint32> Stm32Sim::addressFromFrame() const
{
    quint32 address = 0;
    quint8 x = 0;
    for (qsizetype i = 0; i < 4; ++i) {
        address = (address << 8) | quint8(frame_[i]);
        x ^= quint8(frame_[i]);
    }
    if (x != quint8(frame_[4])) return std::nullopt;
    return address;
}

QByteArray Stm32Sim::finishReadAddress()
{
    const auto address = addressFromFrame();
    if (!address) return refuse(QStringLiteral("Read Memory address checksum wrong"));
    qsizetype offset = 0;
    if (!readableRegion(*address, 1, &offset))
        return refuse(QStringLiteral("Read Memory address %1 not readable").arg(hex(*address, 8)));
    if (auto a = faulted(Step::ReadAddress)) return *a;
    address_ = *address;
    frame_.clear();
    state_ = State::ReadCount;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishReadCount()
{
    const quint8 n = quint8(frame_[0]);
    if (quint8(frame_[1]) != quint8(n ^ 0xFF))
        return refuse(
            QStringLiteral("Read Memory count %1 followed by %2 instead of its complement")
                .arg(hex(n), hex(quint8(frame_[1]))));
    qsizetype offset = 0;
    const QByteArray *memory = readableRegion(address_, qsizetype(n) + 1, &offset);
    if (config_.wholeReadArea != 0 && address_ > config_.wholeReadArea &&
        address_ < config_.wholeReadArea + config_.wholeReadSize) {
        // The chip's refusal, not the host's mistake (see Config::profile): noted only.
        note(QStringLiteral("Read Memory at %1 refused: this area is read from %2 only")
                 .arg(hex(address_, 8), hex(config_.wholeReadArea, 8)));
        frame_.clear();
        state_ = State::AwaitCommand;
        return QByteArray(1, char(kNack));
    }
    if (!memory)
        return refuse(QStringLiteral("Read Memory of %1 bytes at %2 leaves the memory")
                          .arg(int(n) + 1)
                          .arg(hex(address_, 8)));
    if (auto a = faulted(Step::ReadCount)) return *a;
    commands_.append({kCmdRead, address_, int(n) + 1});
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kAck)) + memory->mid(offset, qsizetype(n) + 1);
}

// Get Checksum (AN3155, "Get Checksum command"): the start address and the size, each as four
// bytes MSB first and their XOR, both multiples of four; after the size's ACK the loader
// computes and answers ACK, the CRC (MSB first) and its XOR. The CRC is that of the chip's
// CRC unit: polynomial 0x04C11DB7, initial 0xFFFFFFFF, over 32-bit words taken MSB first,
// no reflection and no final XOR (RM0008 "CRC calculation unit").
QByteArray Stm32Sim::finishChecksum()
{
    const auto value = addressFromFrame();
    frame_.clear();
    if (!value) return refuse(QStringLiteral("Get Checksum frame checksum wrong"));
    if (state_ == State::ChecksumAddress) {
        qsizetype at = 0;
        if (*value % 4 != 0 || !readableRegion(*value, 4, &at))
            return refuse(QStringLiteral("Get Checksum address %1").arg(hex(*value, 8)));
        address_ = *value;
        state_ = State::ChecksumSize;
        return QByteArray(1, char(kAck));
    }
    qsizetype offset = 0;
    const QByteArray *memory =
        *value == 0 || *value % 4 != 0 ? nullptr : readableRegion(address_, *value, &offset);
    if (!memory)
        return refuse(QStringLiteral("Get Checksum of %1 bytes at %2")
                          .arg(*value)
                          .arg(hex(address_, 8)));
    quint32 crc = 0xFFFFFFFF;
    for (qsizetype i = offset; i < offset + qsizetype(*value); i += 4) {
        quint32 word = 0;
        for (int b = 3; b >= 0; --b)
            word = word << 8 | quint8(memory->at(i + b)); // little-endian memory
        crc ^= word;
        for (int bit = 0; bit < 32; ++bit)
            crc = crc & 0x80000000u ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    commands_.append({kCmdGetChecksum, address_, int(*value)});
    state_ = State::AwaitCommand;
    QByteArray out(2, char(kAck));
    quint8 x = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.append(char(quint8(crc >> shift)));
        x ^= quint8(crc >> shift);
    }
    return out + char(x);
}

QByteArray Stm32Sim::finishGoAddress()
{
    const auto address = addressFromFrame();
    if (!address) return refuse(QStringLiteral("Go address checksum wrong"));
    // AN3155 §3.5: "The valid addresses for the Go command are in RAM or Flash memory", "user
    // application code located in the internal Flash memory or in SRAM"; the whole RAM, for
    // the loader does not check that the code keeps off its own part (AN2606 leaves that to
    // the application). Anything else is answered NACK.
    const bool inFlash = within(*address, 1, kFlashBase, flash_.size());
    if (!inFlash && !inRam(*address))
        return refuse(QStringLiteral("Go address %1 holds no code").arg(hex(*address, 8)));
    if (auto a = faulted(Step::GoAddress)) return *a;
    commands_.append({kCmdGo, *address, 0});
    state_ = State::Running;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishWriteAddress()
{
    const auto address = addressFromFrame();
    if (!address) return refuse(QStringLiteral("Write Memory address checksum wrong"));
    qsizetype offset = 0;
    if (!region(*address, 1, &offset))
        return refuse(QStringLiteral("Write Memory address %1 not writable").arg(hex(*address, 8)));
    if (auto a = faulted(Step::WriteAddress)) return *a;
    address_ = *address;
    state_ = State::WriteCount;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishWriteData()
{
    qsizetype length = frame_.size() - 2;
    const quint8 x = frameXor();
    if (x != quint8(frame_.back()))
        return refuse(QStringLiteral("Write Memory block at %1: checksum %2, expected %3")
                          .arg(hex(address_, 8), hex(quint8(frame_.back())), hex(x)));
    qsizetype offset = 0;
    QByteArray *memory = region(address_, length, &offset);
    if (!memory)
        return refuse(QStringLiteral("Write Memory of %1 bytes at %2 leaves the memory")
                          .arg(length)
                          .arg(hex(address_, 8)));
    QByteArray data = frame_.sliced(1, length);
    const bool toFlash = memory == &flash_;
    if (toFlash && config_.writeProtected)
        return refuseWriteProtected(QStringLiteral("Write Memory at %1").arg(hex(address_, 8)));
    const qsizetype unit = config_.writeUnit;
    // Lines with flash words wider than 4 bytes (G0 and later: 8, U5: 16, H7: 32) take a block
    // that ends inside a flash word and fill the rest of the word with 0xFF, as AN3155's Write
    // Memory asks of the rest of a flash word; stm32flash pads its blocks to 4 bytes only and
    // relies on it. The block must start on a flash word (AN2606 "bootloader memory
    // management": writes aligned to the programming unit).
    if (toFlash && unit > 4 && length % 4 == 0 && length % unit != 0 && offset % unit == 0) {
        const qsizetype fill = unit - length % unit;
        if (offset + length + fill <= flash_.size()) {
            data.append(fill, char(kErased));
            length += fill;
        }
    }
    if (toFlash && (length % unit != 0 || offset % unit != 0))
        return refuse(QStringLiteral("Write Memory of %1 bytes at %2: not whole %3-byte units")
                          .arg(length)
                          .arg(hex(address_, 8))
                          .arg(unit));
    if (toFlash) {
        for (qsizetype i = 0; i < length; ++i) {
            const bool erased = quint8(flash_[offset + i]) == config_.erasedValue;
            bool refused = false;
            switch (config_.programming) {
            case Programming::RefuseUnerased:
                refused = !erased && quint8(data[i]) != kErased;
                break;
            case Programming::ClearBits:
                break;
            case Programming::DoubleWordOnce:
                refused = !erased;
                break;
            }
            if (refused)
                return refuse(QStringLiteral("Write Memory at %1: flash not erased")
                                  .arg(hex(address_ + quint32(i), 8)));
        }
    }
    if (auto a = faulted(Step::WriteData)) return *a;
    for (qsizetype i = 0; i < length; ++i) {
        // Flash bits only go from 1 to 0 where erased flash reads 0xFF; a write unit taken once
        // per erase (and L0/L1 flash, erased to 0x00) holds what was written; RAM takes the
        // byte as it is.
        if (toFlash && config_.programming != Programming::DoubleWordOnce)
            (*memory)[offset + i] = char(quint8((*memory)[offset + i]) & quint8(data[i]));
        else
            (*memory)[offset + i] = data[i];
    }
    if (auto weak = config_.weakBlocks.find(address_);
        toFlash && weak != config_.weakBlocks.end() && *weak > 0) {
        --*weak;
        for (qsizetype i = 0; i < length; ++i) {
            if (quint8(data[i]) != config_.erasedValue) {
                (*memory)[offset + i] = char(config_.erasedValue);
                break;
            }
        }
    }
    if (toFlash) takeTime(qint64(length) * config_.programNsPerByte / 1000);
    commands_.append({kCmdWrite, address_, int(length)});
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kAck));
}

QByteArray Stm32Sim::finishErasePages()
{
    const quint8 x = frameXor();
    if (x != quint8(frame_.back()))
        return refuse(QStringLiteral("Erase page list checksum %1, expected %2")
                          .arg(hex(quint8(frame_.back())), hex(x)));
    const int units = unitCount();
    QList<int> pages;
    for (qsizetype i = 1; i + 1 < frame_.size(); ++i) {
        const int page = quint8(frame_[i]);
        if (page >= units)
            return refuse(QStringLiteral("Erase of page %1 beyond the flash (%2 pages)")
                              .arg(page)
                              .arg(units));
        pages.append(page);
    }
    return eraseUnits(pages, int(pages.size()));
}

QByteArray Stm32Sim::finishExtendedErase()
{
    const quint8 x = frameXor();
    if (x != quint8(frame_.back()))
        return refuse(QStringLiteral("Extended Erase checksum %1, expected %2")
                          .arg(hex(quint8(frame_.back())), hex(x)));
    const quint16 n = quint16(quint8(frame_[0]) << 8 | quint8(frame_[1]));
    const int units = unitCount();
    QList<int> list;
    if (n >= kExtSpecial) {
        // AN3155 §3.8: FFFF mass erase, FFFE bank 1, FFFD bank 2, the rest reserved. L0/L1
        // loaders have no mass erase (AN2606, STM32L0/L1 chapters: erase page by page); a
        // one-bank line takes FFFE as its whole flash.
        const bool mass = n == kExtMass;
        const bool bank = n == kExtBank1 || n == kExtBank2;
        if ((!mass && !bank) || config_.massErase == MassErase::Refused ||
            (n == kExtBank2 && config_.massErase != MassErase::Banks))
            return refuse(QStringLiteral("Extended Erase code %1 not supported").arg(hex(n, 4)));
        int from = 0;
        int to = units;
        if (bank && config_.massErase == MassErase::Banks) {
            from = n == kExtBank1 ? 0 : units / 2;
            to = n == kExtBank1 ? units / 2 : units;
        }
        for (int u = from; u < to; ++u)
            list.append(u);
        return eraseUnits(list, -1);
    }
    for (qsizetype i = 2; i + 1 < frame_.size(); i += 2) {
        const int unit = quint8(frame_[i]) << 8 | quint8(frame_[i + 1]);
        if (unit >= units)
            return refuse(QStringLiteral("Extended Erase of unit %1 beyond the flash (%2 units)")
                              .arg(unit)
                              .arg(units));
        list.append(unit);
    }
    return eraseUnits(list, int(list.size()));
}

QByteArray Stm32Sim::eraseUnits(const QList<int> &units, int logged)
{
    if (auto a = faulted(Step::ErasePages)) return *a;
    if (config_.writeProtected) return refuseWriteProtected(QStringLiteral("Erase"));
    qint64 us = 0;
    for (const int unit : units) {
        const auto [start, size] = unitSpan(unit);
        flash_.replace(start, size, QByteArray(size, char(config_.erasedValue)));
        us += eraseUs(unit);
    }
    takeTime(logged < 0 ? qint64(config_.massEraseUs) : us);
    erasedPages_.append(units);
    commands_.append({command_, 0, logged, units, !config_.sectorKib.isEmpty()});
    frame_.clear();
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kAck));
}

// A write-protected page is neither erased nor programmed (PM0075 "Write protection": the
// operation is not performed and WRPRTERR is set); the loader answers the frame with NACK
// (AN3155 §3.6 Write Memory, §3.7 Erase Memory: NACK when the operation fails). The chip's
// refusal, not the host's mistake: noted only.
QByteArray Stm32Sim::refuseWriteProtected(const QString &what)
{
    note(QStringLiteral("%1 refused: the flash is write-protected").arg(what));
    frame_.clear();
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kNack));
}

QByteArray Stm32Sim::refuseProtected(quint8 command)
{
    note(QStringLiteral("%1 refused: read-out protection is on").arg(hex(command)));
    frame_.clear();
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kNack));
}

qint64 Stm32Sim::eraseUs(int unit) const
{
    if (config_.sectorKib.isEmpty()) return config_.pageEraseUs;
    if (config_.sectorEraseUsEach > 0) return config_.sectorEraseUsEach;
    return sectorEraseUs(unitSpan(unit).second);
}

void Stm32Sim::takeTime(qint64 us)
{
    if (config_.realTimes && us > 0) delayAnswer(std::chrono::microseconds(us));
}

QByteArray Stm32Sim::refuse(const QString &why)
{
    protocolError(why);
    frame_.clear();
    state_ = State::AwaitCommand;
    return QByteArray(1, char(kNack));
}

bool Stm32Sim::inRam(quint32 address) const
{
    return within(address, 1, kRamBase, ram_.size());
}

QByteArray *Stm32Sim::region(quint32 address, qsizetype length, qsizetype *offset)
{
    if (within(address, length, kFlashBase, flash_.size())) {
        *offset = qsizetype(address - kFlashBase);
        return &flash_;
    }
    // L0/L1 data EEPROM: Write Memory reaches it (AN2606, STM32L0/L1 chapters: the loader's
    // memory areas include the data EEPROM); its bytes take any value without an erase
    // (RM0367 §3.3.4, RM0038 §3.3.4), as RAM does here.
    if (!eeprom_.isEmpty() && within(address, length, kEepromBase, eeprom_.size())) {
        *offset = qsizetype(address - kEepromBase);
        return &eeprom_;
    }
    // The RAM the boot loader uses for itself takes no writes (AN2606, "RAM: n Kbytes,
    // starting from address 0x20000000, are used by the bootloader firmware"; AN3155 §3.6:
    // an invalid address is answered NACK).
    const quint32 reserved = std::min<quint32>(config_.bootLoaderRam, quint32(ram_.size()));
    if (within(address, length, kRamBase + reserved, ram_.size() - qsizetype(reserved))) {
        *offset = qsizetype(address - kRamBase);
        return &ram_;
    }
    return nullptr;
}

const QByteArray *Stm32Sim::readableRegion(quint32 address, qsizetype length,
                                           qsizetype *offset) const
{
    if (within(address, length, kFlashBase, flash_.size())) {
        *offset = qsizetype(address - kFlashBase);
        return &flash_;
    }
    if (within(address, length, kRamBase, ram_.size())) {
        *offset = qsizetype(address - kRamBase);
        return &ram_;
    }
    if (!eeprom_.isEmpty() && within(address, length, kEepromBase, eeprom_.size())) {
        *offset = qsizetype(address - kEepromBase);
        return &eeprom_;
    }
    // AN3155 §3.4: Read Memory reads "any valid memory address" (RAM, flash and the
    // information block: system memory, option bytes, device id).
    for (const Area &area : areas_) {
        if (within(address, length, area.base, area.bytes.size())) {
            *offset = qsizetype(address - area.base);
            return &area.bytes;
        }
    }
    return nullptr;
}

} // namespace sim
