#include "logic/Devices.h"

#include <QCoreApplication>
#include <array>

namespace devices {

namespace {

using enum Family;

constexpr std::array<DeviceEntry, 16> kDeviceList{{
    {u"LPC2214", Lpc, u"lpc2214"},
    {u"LPC2292", Lpc, u"lpc2292"},
    {u"LPC2131", Lpc, u"lpc2131"},
    {u"LPC2132", Lpc, u"lpc2132"},
    {u"LPC2136", Lpc, u"lpc2136"},
    {u"LPC2138", Lpc, u"lpc2138"},
    {u"STM32F10xxxxx 家族", Stm32, u"stm32"},
    {u"STC89C51RC", Stc, u"stc89c51rc"},
    {u"STC89C52RC", Stc, u"stc89c52rc"},
    {u"STC89C55RD+", Stc, u"stc89c55rd+"},
    {u"STC89C516RD+", Stc, u"stc89c516rd+"},
    // Appended: stored "MCUType" indices of the entries above keep their meaning.
    {u"STM32 (其它系列)", Stm32, u"stm32-other"},
    // Appended likewise. Any model of the series: the chip's status packet names it.
    {u"STC10/11/12", StcSeries, u"stc12"},
    {u"STC15", StcSeries, u"stc15"},
    {u"STC8", StcSeries, u"stc8"},
    // Appended likewise. Any NXP part with the UART ISP: its answer to "J" names it.
    {u"NXP LPC (任意型号)", Lpc, u"lpc"},
}};

// Sector sizes (KiB) of the F2/F4 lines: 4 x 16, 64, then 128 KiB up to 1 MiB; the 2 MiB
// F42x/F43x repeat the pattern in their second bank (sectors 12..23).
constexpr std::array<quint16, 24> kF4Sectors{16, 16, 16, 16, 64, 128, 128, 128, 128, 128, 128, 128,
                                             16, 16, 16, 16, 64, 128, 128, 128, 128, 128, 128, 128};
// F74x/F75x: 4 x 32, 128, then 256 KiB.
constexpr std::array<quint16, 8> kF7Sectors{32, 32, 32, 32, 128, 256, 256, 256};

constexpr quint32 kF1Size = 0x1FFFF7E0;
constexpr quint32 kF0F3Size = 0x1FFFF7CC;
constexpr quint32 kF2F4Size = 0x1FFF7A22;
constexpr quint32 kF7Size = 0x1FF0F442;
constexpr quint32 kG0G4L4Size = 0x1FFF75E0;
// L0: RM0367/RM0377 §"Flash size register"; L1: RM0038 §31.1.1, Cat.1/Cat.2 devices at
// 0x1FF8004C, Cat.3 and later at 0x1FF800CC.
constexpr quint32 kL0Size = 0x1FF8007C;
constexpr quint32 kL1Size = 0x1FF8004C;
constexpr quint32 kL1Cat3Size = 0x1FF800CC;
// H72x/73x/74x/75x: RM0433 §61.2 and RM0468 §66.2.
constexpr quint32 kH7Size = 0x1FF1E880;
// C0: RM0490 §33.2 (FLASHSIZE).
constexpr quint32 kC0Size = 0x1FFF75A0;
// L5 and U5 keep their device facts beside the system memory of TrustZone parts:
// RM0438 §52.2 and RM0456 §75.2.
constexpr quint32 kL5Size = 0x0BFA05E0;
constexpr quint32 kU5Size = 0x0BFA07A0;
// H7A3/B3/B0: RM0455 §65.2 "Flash size", base address 0x08FFF80C.
constexpr quint32 kH7ABSize = 0x08FFF80C;
// H74x/75x: two banks of 8 x 128 KiB (RM0433 §4.2 "Flash memory organization"), numbered 0..15
// by the boot loader as stm32flash numbers them; H72x/73x one bank of 8.
constexpr std::array<quint16, 16> kH7Sectors{128, 128, 128, 128, 128, 128, 128, 128,
                                             128, 128, 128, 128, 128, 128, 128, 128};
constexpr std::span<const quint16> kPages{};

// The 96-bit unique device id, from each reference manual's "Unique device ID register (96
// bits)" in its device electronic signature chapter: RM0008 (F10x), RM0091 and RM0316 (F0,
// F3; the F030/F070 of RM0360 document none, so what is read there has no stated meaning),
// RM0033 and RM0090 (F2, F4), RM0385 (F7), RM0444, RM0440, RM0351, RM0434/RM0473, RM0453
// (G0, G4, L4, WB, WL), RM0377/RM0367 and RM0038 (L0; L1 Cat.1/2 and Cat.3 and later),
// RM0433 (H7), RM0490 (C0), RM0438 (L5), RM0456 (U5). It is read the way the flash-size
// register is (Stm32SizeRead): inside the area read where that area holds it.
constexpr quint32 kF1Uid = 0x1FFFF7E8;
constexpr quint32 kF0F3Uid = 0x1FFFF7AC;
constexpr quint32 kF2F4Uid = 0x1FFF7A10;
constexpr quint32 kF7Uid = 0x1FF0F420;
constexpr quint32 kG0G4L4Uid = 0x1FFF7590;
constexpr quint32 kL0L1Uid = 0x1FF80050;
constexpr quint32 kL1Cat3Uid = 0x1FF800D0;
constexpr quint32 kH7Uid = 0x1FF1E800;
constexpr quint32 kC0Uid = 0x1FFF7550;
constexpr quint32 kL5Uid = 0x0BFA0590;
constexpr quint32 kU5Uid = 0x0BFA0700;
constexpr quint32 kH7ABUid = 0x08FFF800; // RM0455 §65.1

// Read-out protection levels (AN3155 §3.11 Readout Protect: the loader sets Level 1; §3.12
// Readout Unprotect: mass erase, then Level 0). L0: RM0377/RM0367 §3.4.1 "Read protection
// (RDP)": going from Level 1 to Level 0 erases the flash program memory and the data EEPROM.
// L1: RM0038 §3.7.1, the same. H7: RM0433 §4.5.2 "Readout protection (RDP)": Level 1 to 0
// mass-erases the user flash. Level 2 is final on all three, and the boot loader cannot be
// entered then (AN2606 "Bootloader activation": boot from system memory is disabled).
constexpr auto kRdpLevels = Stm32Rdp::Levels;
constexpr auto kRdpEeprom = Stm32Rdp::Eeprom;

// Reading the flash-size register, as the lines' boot loaders answer it:
//   * F0, F1, F3, F7, G0, G4, L4: a 2-byte read of the register itself is answered (stm32loader
//     reads it so on these lines: bootloader.py _get_flash_size_raw with the addresses of
//     device_family.py);
//   * F2/F4 refuse short reads of the unique id (0x1FFF7A10) and of the flash size
//     (0x1FFF7A22) after the count ("NACK 0x11 length failed", a NUCLEO-F401RE: stm32loader
//     pull request #25 and issue #43) and answer 256 bytes from 0x1FFF7A00, the size at offset
//     0x22 (RM0090 §39.2 and RM0033 §32.2 place both registers in that area).
constexpr Stm32SizeRead kDirect = kStm32DirectSizeRead;
constexpr Stm32SizeRead kF2F4Area{0x1FFF7A00, 256};
//   * L05x/L07x refuse a read of 0x1FF8007C and answer 128 bytes from 0x1FF80000, the size at
//     offset 0x7C (an L073, stm32loader issue #61; device_family.py reads L0 that way);
//   * L1, H7, C0, WB, WL, L5, U5: no report either way; the register itself is read, and a
//     refusal takes the table's size.
constexpr Stm32SizeRead kL0Area{0x1FF80000, 128};
constexpr auto kNoMass = Stm32MassErase::PageOnly;
constexpr auto kBanks = Stm32MassErase::Banks;

// The last number of a row is the flash of the line's largest part in KiB (the data sheets;
// the device tables of stm32flash dev_table.c and stm32loader devices.py agree).
// F10x: low and medium density and the medium value line erase 1 KiB pages, the others
// 2 KiB; the flash programs half-words. F0/F3 program half-words too (the boot loader takes
// words); G0, G4 and L4 program 64-bit double words, each once per erase.
// The lines with 128-bit or 256-bit flash words and the L0/L1 lines (the rows after F410):
//   * product ids and line names: AN2606 "Embedded bootloaders" table;
//   * L0 (RM0367, RM0377, RM0451 §3.3): 128-byte pages, 64-byte half pages, words written;
//     the loader has no mass erase (AN2606 "STM32L0xx bootloader": Extended Erase FFFF is
//     answered NACK), erase page by page; data EEPROM 0x08080000 (512 B on L01x/02x, 1 KiB
//     L031/041, 2 KiB L05x/06x, 6 KiB L07x/08x: the data sheets);
//   * L1 (RM0038 §3): 256-byte pages, words; no mass erase; data EEPROM 4 KiB (Cat.1/2),
//     8 KiB (Cat.3), 12 KiB (Cat.4), 16 KiB (Cat.5);
//   * H7 (RM0433 §4.3.9, RM0468): 256-bit flash words, written 32 bytes at a time; bank
//     erases FFFE/FFFD on the two-bank H74x/75x;
//   * C0 (RM0490 §3.3.7), G0B/G0C (RM0444 §3.3.7), WB (RM0434 §3.3.7), WL (RM0453 §3.3.7),
//     L5 (RM0438 §6.3.7): 64-bit double words; G0B/G0C and L5 two banks;
//   * U5 (RM0456 §7.3.7): 128-bit quad words, 8 KiB pages, two banks.
// Pages are numbered from the flash start across both banks, as stm32flash numbers them.
constexpr std::array<Stm32Part, 55> kStm32Parts{{
    {0x412, u"STM32F10xx4/6 家族", kF1Size, kF1Uid, 1024, kPages, 2, 32, kDirect},
    {0x410, u"STM32F10xx8/B 家族", kF1Size, kF1Uid, 1024, kPages, 2, 128, kDirect},
    {0x414, u"STM32F10xxExx 家族", kF1Size, kF1Uid, 2048, kPages, 2, 512, kDirect},
    {0x418, u"STM32F105/107 家族", kF1Size, kF1Uid, 2048, kPages, 2, 256, kDirect},
    {0x420, u"STM32F100xx8/B 家族", kF1Size, kF1Uid, 1024, kPages, 2, 128, kDirect},
    {0x428, u"STM32F100xxE 家族", kF1Size, kF1Uid, 2048, kPages, 2, 512, kDirect},
    {0x430, u"STM32F10xxG 家族", kF1Size, kF1Uid, 2048, kPages, 2, 1024, kDirect},
    {0x440, u"STM32F030x8/F05xxx 家族", kF0F3Size, kF0F3Uid, 1024, kPages, 2, 64, kDirect},
    {0x444, u"STM32F03xxx 家族", kF0F3Size, kF0F3Uid, 1024, kPages, 2, 32, kDirect},
    {0x445, u"STM32F04xxx 家族", kF0F3Size, kF0F3Uid, 1024, kPages, 2, 32, kDirect},
    {0x448, u"STM32F07xxx 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 128, kDirect},
    {0x442, u"STM32F09xxx 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 256, kDirect},
    {0x422, u"STM32F302xB/C/F303xB/C 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 256, kDirect},
    {0x432, u"STM32F37xxx 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 256, kDirect},
    {0x438, u"STM32F303x4/6/8/F334 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 64, kDirect},
    {0x439, u"STM32F301/F302x6/8 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 64, kDirect},
    {0x446, u"STM32F302xD/E/F303xD/E 家族", kF0F3Size, kF0F3Uid, 2048, kPages, 2, 512, kDirect},
    {0x411, u"STM32F2xxxx 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 1024, kF2F4Area},
    {0x413, u"STM32F40xxx/41xxx 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 1024, kF2F4Area},
    {0x419, u"STM32F42xxx/43xxx 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 2048, kF2F4Area},
    {0x423, u"STM32F401xB/C 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 256, kF2F4Area},
    {0x433, u"STM32F401xD/E 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 512, kF2F4Area},
    {0x431, u"STM32F411xx 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 512, kF2F4Area},
    {0x421, u"STM32F446xx 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 512, kF2F4Area},
    {0x449, u"STM32F74xxx/75xxx 家族", kF7Size, kF7Uid, 0, kF7Sectors, 4, 1024, kDirect},
    {0x460, u"STM32G07xxx/08xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 128, kDirect},
    {0x466, u"STM32G03xxx/04xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 64, kDirect},
    {0x456, u"STM32G05xxx/06xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 64, kDirect},
    {0x468, u"STM32G431xx/441xx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 128, kDirect},
    {0x415, u"STM32L47xxx/48xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 1024, kDirect},
    {0x435, u"STM32L43xxx/44xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 256, kDirect},
    {0x462, u"STM32L45xxx/46xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 512, kDirect},
    {0x464, u"STM32L41xxx/42xxx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 128, kDirect},
    {0x461, u"STM32L496xx/4A6xx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 1024, kDirect},
    {0x458, u"STM32F410xx 家族", kF2F4Size, kF2F4Uid, 0, kF4Sectors, 4, 128, kF2F4Area},
    {0x457, u"STM32L01xxx/02xxx 家族", kL0Size, kL0L1Uid, 128, kPages, 4, 16, kL0Area, kNoMass, 512, kRdpEeprom},
    {0x425, u"STM32L031xx/041xx 家族", kL0Size, kL0L1Uid, 128, kPages, 4, 32, kL0Area, kNoMass, 1024, kRdpEeprom},
    {0x417, u"STM32L05xxx/06xxx 家族", kL0Size, kL0L1Uid, 128, kPages, 4, 64, kL0Area, kNoMass, 2048, kRdpEeprom},
    {0x447, u"STM32L07xxx/08xxx 家族", kL0Size, kL0L1Uid, 128, kPages, 4, 192, kL0Area, kNoMass, 6144, kRdpEeprom},
    {0x416, u"STM32L1xxx6/8/B 家族", kL1Size, kL0L1Uid, 256, kPages, 4, 128, kDirect, kNoMass, 4096, kRdpEeprom},
    {0x429, u"STM32L1xxx6/8/BA 家族", kL1Size, kL0L1Uid, 256, kPages, 4, 128, kDirect, kNoMass, 4096, kRdpEeprom},
    {0x427, u"STM32L1xxxC 家族", kL1Cat3Size, kL1Cat3Uid, 256, kPages, 4, 256, kDirect, kNoMass, 8192, kRdpEeprom},
    {0x436, u"STM32L1xxxD 家族", kL1Cat3Size, kL1Cat3Uid, 256, kPages, 4, 384, kDirect, kNoMass, 12288, kRdpEeprom},
    {0x437, u"STM32L1xxxE 家族", kL1Cat3Size, kL1Cat3Uid, 256, kPages, 4, 512, kDirect, kNoMass, 16384, kRdpEeprom},
    {0x450, u"STM32H74xxx/75xxx 家族", kH7Size, kH7Uid, 0, kH7Sectors, 32, 2048, kDirect, kBanks, 0, kRdpLevels},
    {0x483, u"STM32H72xxx/73xxx 家族", kH7Size, kH7Uid, 0, kH7Sectors, 32, 1024, kDirect,
     Stm32MassErase::Whole, 0, kRdpLevels},
    {0x443, u"STM32C011xx 家族", kC0Size, kC0Uid, 2048, kPages, 8, 32, kDirect},
    {0x453, u"STM32C031xx 家族", kC0Size, kC0Uid, 2048, kPages, 8, 32, kDirect},
    {0x467, u"STM32G0B1xx/0C1xx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 512, kDirect, kBanks},
    {0x494, u"STM32WB10xx/15xx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 320, kDirect},
    {0x495, u"STM32WB30xx/35xx/50xx/55xx 家族", kG0G4L4Size, kG0G4L4Uid, 4096, kPages, 8, 1024, kDirect},
    {0x497, u"STM32WLE5xx/WL55xx 家族", kG0G4L4Size, kG0G4L4Uid, 2048, kPages, 8, 256, kDirect},
    {0x472, u"STM32L552xx/562xx 家族", kL5Size, kL5Uid, 2048, kPages, 8, 512, kDirect, kBanks},
    {0x482, u"STM32U575xx/585xx 家族", kU5Size, kU5Uid, 8192, kPages, 16, 2048, kDirect, kBanks},
    // H7A3/B3/B0: 2 MiB in two banks of 8 KiB sectors, written in 128-bit flash words (the
    // OpenOCD commit adding these parts, "page size 8k, write block size 128 bits"; the
    // 8 KiB units of stm32loader's devices.py), numbered from the flash start as the other
    // lines' pages; read-out protection levels as on the other H7 (RM0455 "Readout
    // protection (RDP)"). The flash-size register lies beside the flash: no report says how
    // the loader answers a read of it, so a refusal takes the table's 2048 KiB.
    {0x480, u"STM32H7A3xx/7B3xx/7B0xx 家族", kH7ABSize, kH7ABUid, 8192, kPages, 16, 2048, kDirect,
     kBanks, 0, kRdpLevels},
}};

constexpr Stm32Part kStm32Unknown{
    0, u"", kStm32DefaultFlashSizeRegister, 0, kStm32DefaultPageSize, kPages, 2, 0, kDirect};

// Parts whose flash has 4 KB sectors at both ends report these identifications; every other
// part is programmed with layout A up to sector 16. The copy rules: LPC213x from UM10120;
// 0xFFF0FF12 is no LPC213x identification (lpc21isp's table lists it for the LPC2104/2105/
// 2106), so it gets the stricter UM10114 rule, which every LPC2000 boot loader accepts.
constexpr std::array<LpcPart, 5> kLpcParts{{
    {u"4293984018", u"LPC2214", LpcLayout::B, 14, kLpc22xxCopy}, // 0xFFF0FF12
    {u"196353", u"LPC2131", LpcLayout::B, 7, kLpc213xCopy},      // 0x0002FF01
    {u"196369", u"LPC2132", LpcLayout::B, 8, kLpc213xCopy},      // 0x0002FF11
    {u"196387", u"LPC2136", LpcLayout::B, 14, kLpc213xCopy},     // 0x0002FF23
    {u"196389", u"LPC2138", LpcLayout::B, 26, kLpc213xCopy},     // 0x0002FF25
}};

// ---- NXP LPC, any part ----
//
// Sector runs, from sector 0. A part has the first sectors of its family's runs up to its
// flash size (the boot block is never among them).
// UM10120 (LPC213x) and UM10139 (LPC214x), "Flash memory system and programming", table
// "Sectors in a LPC213x/214x device": 8 x 4 KiB, 14 x 32 KiB, 5 x 4 KiB (500 KiB). UM10211
// (LPC23xx) and UM10237 (LPC24xx), the same chapter's sector table: one more 4 KiB sector
// (504 KiB).
constexpr std::array<LpcSectorRun, 3> kRuns213x{{{8, 4}, {14, 32}, {6, 4}}};
// UM10114 (LPC21x9/22xx), table "Sectors in a LPC2119/2129/2194/2292/2294 device":
// 8 x 8 KiB, 2 x 64 KiB, 7 x 8 KiB (248 KiB).
constexpr std::array<LpcSectorRun, 3> kRuns22xx{{{8, 8}, {2, 64}, {7, 8}}};
// UM10114 and UM10275 (LPC2104/05/06): the 128 KiB parts have 15 x 8 KiB sectors.
constexpr std::array<LpcSectorRun, 1> kRuns8k{{{15, 8}}};
// UM10161 (LPC2101/02/03), sector table: 8 x 4 KiB.
constexpr std::array<LpcSectorRun, 1> kRuns2103{{{8, 4}}};
// UM10360 ch. 32, table "Sectors in a LPC17xx device": 16 x 4 KiB, 14 x 32 KiB.
constexpr std::array<LpcSectorRun, 2> kRuns17xx{{{16, 4}, {14, 32}}};
// UM10398 ch. 26, UM10462 ch. 20, UM10375 ch. 21, "flash configuration" tables: 4 KiB sectors.
constexpr std::array<LpcSectorRun, 1> kRuns4k{{{32, 4}}};
// UM10601, UM10800 ch. 25, UM11029 ch. 5: 1 KiB sectors of sixteen 64-byte pages.
constexpr std::array<LpcSectorRun, 1> kRuns1k{{{64, 1}}};

constexpr std::array<quint16, 5> kCopyArm7Fine{256, 512, 1024, 4096, 0};
constexpr std::array<quint16, 5> kCopyArm7Coarse{512, 1024, 4096, 8192, 0};
constexpr std::array<quint16, 5> kCopyCortexM{256, 512, 1024, 4096, 0};
constexpr std::array<quint16, 5> kCopy8xx{64, 128, 256, 512, 1024};

constexpr quint32 kArm7Ram = 0x40000000;
constexpr quint32 kCortexRam = 0x10000000;
using enum LpcCore;

// name, manual, core, binary data, RAM, first RAM W may write, copy counts, remapped bytes,
// extra commands, sectors.
// ARM7: "the boot block's vectors are mapped to 0..63 during ISP" (UM10114/UM10120, ISP
// "Compare": "First 64 bytes are re-mapped to flash boot sector"); "RAM used by ISP command
// handler": 0x40000120..0x400001FF, so W writes from 0x40000200.
// UM10120 "Copy RAM to Flash": 256 | 512 | 1024 | 4096 bytes on a 256-byte boundary (UM10139,
// UM10161, UM10211, UM10237 the same); UM10114 Table 205 and UM10275: 512 | 1024 | 4096 |
// 8192 on a 512-byte boundary.
constexpr LpcFamily kFam213x{u"LPC213x/214x", u"UM10120, UM10139", Arm7, false, kArm7Ram,
                             0x40000200, kCopyArm7Fine, 64, 0, kRuns213x};
constexpr LpcFamily kFam2103{u"LPC2101/02/03", u"UM10161", Arm7, false, kArm7Ram, 0x40000200,
                             kCopyArm7Fine, 64, 0, kRuns2103};
constexpr LpcFamily kFam22xx{u"LPC21x9/22xx", u"UM10114", Arm7, false, kArm7Ram, 0x40000200,
                             kCopyArm7Coarse, 64, 0, kRuns22xx};
constexpr LpcFamily kFam8k{u"LPC2104/05/06, LPC211x/2212", u"UM10275, UM10114", Arm7, false,
                           kArm7Ram, 0x40000200, kCopyArm7Coarse, 64, 0, kRuns8k};
constexpr LpcFamily kFam23xx{u"LPC23xx/24xx", u"UM10211, UM10237", Arm7, false, kArm7Ram,
                             0x40000200, kCopyArm7Fine, 64, 0, kRuns213x};
// Cortex-M: the manuals warn that a compare of the first bytes of flash sees the boot ROM's
// (the ARM7 manuals say 64 bytes, lpc21isp leaves out 64 on every family); the Cortex-M rows
// leave out 512, a margin that costs nothing but an unchecked vector table, which the boot
// loader's own valid-code check covers. UM10360 §32.3.2.7:
// ISP uses 0x10000118..0x100001FF; UM10398, UM10462, UM10375 ("RAM used by ISP command
// handler"): 0x1000017C..0x1000025B, and W above 0x10000300 under CRP1: W writes from there.
constexpr LpcFamily kFam17xx{u"LPC17xx", u"UM10360 ch. 32", CortexM, false, kCortexRam,
                             0x10000200, kCopyCortexM, 512, kLpcCmdSerial, kRuns17xx};
constexpr LpcFamily kFam11xx{u"LPC11xx/11Cxx", u"UM10398 ch. 26", CortexM, false, kCortexRam,
                             0x10000300, kCopyCortexM, 512, 0, kRuns4k};
constexpr LpcFamily kFam11Uxx{u"LPC11Uxx", u"UM10462 ch. 20", CortexM, false, kCortexRam,
                              0x10000300, kCopyCortexM, 512, kLpcCmdSerial, kRuns4k};
constexpr LpcFamily kFam13xx{u"LPC13xx", u"UM10375 ch. 21", CortexM, false, kCortexRam,
                             0x10000300, kCopyCortexM, 512, 0, kRuns4k};
// LPC8xx: W and R data are raw bytes (UM10800 §25.6.1 "Write to RAM", "Read Memory"); C takes
// 64 | 128 | 256 | 512 | 1024 bytes on a 64-byte boundary. UM10800 §25.7.2.3: the ISP stack
// grows down from 0x10000270 (UM10601 the same for the LPC81x); UM11029 Table 16: W above
// 0x10000600 only, on the LPC84x. S (CRC) and N on all three manuals' command tables; X (page
// erase) on UM11029 Table 15.
constexpr LpcFamily kFam81x{u"LPC81x", u"UM10601", CortexM, true, kCortexRam, 0x10000270,
                            kCopy8xx, 512, kLpcCmdCrc | kLpcCmdSerial, kRuns1k};
constexpr LpcFamily kFam82x{u"LPC82x", u"UM10800 ch. 25", CortexM, true, kCortexRam, 0x10000270,
                            kCopy8xx, 512, kLpcCmdCrc | kLpcCmdSerial, kRuns1k};
constexpr LpcFamily kFam84x{u"LPC84x", u"UM11029 ch. 5", CortexM, true, kCortexRam, 0x10000600,
                            kCopy8xx, 512, kLpcCmdCrc | kLpcCmdSerial | kLpcCmdPageErase,
                            kRuns1k};

// Identification, name, flash KiB (what the sectors hold), RAM KiB at the family's RAM.
// Where one name has several rows, the first is the one a bare model name means.
constexpr LpcChip kLpcChips[] = {
    // UM10275 (LPC2104/05/06), table "LPC2104/05/06 part identification numbers"
    {0xFFF0FF12, u"LPC2104", 120, 16, &kFam8k},
    {0xFFF0FF22, u"LPC2105", 120, 32, &kFam8k},
    {0xFFF0FF32, u"LPC2106", 120, 64, &kFam8k},
    // UM10161 (LPC2101/02/03), table "LPC2101/02/03 part identification numbers"
    {0x0004FF11, u"LPC2103", 32, 8, &kFam2103},
    // UM10114, table "LPC2109/2119/2129/2194/2212/2214/2292/2294 part identification numbers"
    {0x0201FF01, u"LPC2109", 64, 8, &kFam8k},
    {0x0101FF12, u"LPC2114", 120, 16, &kFam8k},
    {0x0201FF12, u"LPC2119", 120, 16, &kFam8k},
    {0x0401FF12, u"LPC2212", 120, 16, &kFam8k},
    {0x0101FF13, u"LPC2124", 248, 16, &kFam22xx},
    {0x0201FF13, u"LPC2129", 248, 16, &kFam22xx},
    {0x0301FF13, u"LPC2194", 248, 16, &kFam22xx},
    {0x0601FF13, u"LPC2214", 248, 16, &kFam22xx},
    {0x0401FF13, u"LPC2292", 248, 16, &kFam22xx},
    {0x0501FF13, u"LPC2294", 248, 16, &kFam22xx},
    // UM10120 ch. "Flash memory system and programming", table "LPC213x part identification
    // numbers"
    {0x0002FF01, u"LPC2131", 32, 8, &kFam213x},
    {0x0002FF11, u"LPC2132", 64, 16, &kFam213x},
    {0x0002FF12, u"LPC2134", 128, 16, &kFam213x},
    {0x0002FF23, u"LPC2136", 256, 32, &kFam213x},
    {0x0002FF25, u"LPC2138", 500, 32, &kFam213x},
    // UM10139, table "LPC214x part identification numbers"
    {0x0402FF01, u"LPC2141", 32, 8, &kFam213x},
    {0x0402FF11, u"LPC2142", 64, 16, &kFam213x},
    {0x0402FF12, u"LPC2144", 128, 16, &kFam213x},
    {0x0402FF23, u"LPC2146", 256, 32, &kFam213x},
    {0x0402FF25, u"LPC2148", 500, 32, &kFam213x},
    // UM10211, table "LPC23xx part identification numbers" (the values of its revisions)
    {0x1600F902, u"LPC2364", 128, 8, &kFam23xx},
    {0x0603FB02, u"LPC2364", 128, 8, &kFam23xx},
    {0x1600E823, u"LPC2365", 256, 32, &kFam23xx},
    {0x1600F923, u"LPC2366", 256, 32, &kFam23xx},
    {0x0603FB23, u"LPC2366", 256, 32, &kFam23xx},
    {0x1600E825, u"LPC2367", 504, 32, &kFam23xx},
    {0x1600F925, u"LPC2368", 504, 32, &kFam23xx},
    {0x0603FB25, u"LPC2368", 504, 32, &kFam23xx},
    {0x1700E825, u"LPC2377", 504, 32, &kFam23xx},
    {0x1700FD25, u"LPC2378", 504, 32, &kFam23xx},
    {0x1600FD25, u"LPC2378", 504, 32, &kFam23xx},
    {0x0703FF25, u"LPC2378", 504, 32, &kFam23xx},
    {0x1800F935, u"LPC2387", 504, 64, &kFam23xx},
    {0x1700FF35, u"LPC2387", 504, 64, &kFam23xx},
    {0x1800FF35, u"LPC2388", 504, 64, &kFam23xx},
    // UM10237, table "LPC24xx part identification numbers"
    {0x1500FF35, u"LPC2458", 504, 64, &kFam23xx},
    {0x1600FF35, u"LPC2468", 504, 64, &kFam23xx},
    {0x1701FF35, u"LPC2478", 504, 64, &kFam23xx},
    // UM10360 ch. 32, table "LPC17xx part identification numbers"; RAM: the local SRAM at
    // 0x10000000 (UM10360 ch. 2 memory map)
    {0x26013F37, u"LPC1768", 512, 32, &kFam17xx},
    {0x26113F37, u"LPC1769", 512, 32, &kFam17xx},
    {0x26012837, u"LPC1767", 512, 32, &kFam17xx},
    {0x26013F33, u"LPC1766", 256, 32, &kFam17xx},
    {0x26013733, u"LPC1765", 256, 32, &kFam17xx},
    {0x26011922, u"LPC1764", 128, 16, &kFam17xx},
    {0x26012033, u"LPC1763", 256, 32, &kFam17xx},
    {0x25113737, u"LPC1759", 512, 32, &kFam17xx},
    {0x25013F37, u"LPC1758", 512, 32, &kFam17xx},
    {0x25011723, u"LPC1756", 256, 16, &kFam17xx},
    {0x25011722, u"LPC1754", 128, 16, &kFam17xx},
    {0x25001121, u"LPC1752", 64, 16, &kFam17xx},
    {0x25001118, u"LPC1751", 32, 8, &kFam17xx},
    // UM10398 ch. 26, table "LPC11xx/LPC11Cxx part identification numbers"
    {0x2540102B, u"LPC1114/302", 32, 8, &kFam11xx},
    {0x0444102B, u"LPC1114/301", 32, 8, &kFam11xx},
    {0x2540902B, u"LPC1114/202", 32, 4, &kFam11xx},
    {0x0444502B, u"LPC1114/201", 32, 4, &kFam11xx},
    {0x041E502B, u"LPC1111/101", 8, 2, &kFam11xx},
    {0x2516D02B, u"LPC1111/102", 8, 2, &kFam11xx},
    {0x0416502B, u"LPC1111/201", 8, 4, &kFam11xx},
    {0x2516902B, u"LPC1111/202", 8, 4, &kFam11xx},
    {0x042D502B, u"LPC1112/101", 16, 2, &kFam11xx},
    {0x2524D02B, u"LPC1112/102", 16, 2, &kFam11xx},
    {0x0425502B, u"LPC1112/201", 16, 4, &kFam11xx},
    {0x2524902B, u"LPC1112/202", 16, 4, &kFam11xx},
    {0x0434502B, u"LPC1113/201", 24, 4, &kFam11xx},
    {0x2532902B, u"LPC1113/202", 24, 4, &kFam11xx},
    {0x0434102B, u"LPC1113/301", 24, 8, &kFam11xx},
    {0x2532102B, u"LPC1113/302", 24, 8, &kFam11xx},
    {0x1421102B, u"LPC11C12/301", 16, 8, &kFam11xx},
    {0x1440102B, u"LPC11C14/301", 32, 8, &kFam11xx},
    {0x1431102B, u"LPC11C22/301", 16, 8, &kFam11xx},
    {0x1430102B, u"LPC11C24/301", 32, 8, &kFam11xx},
    // UM10462 ch. 20, table "LPC11Uxx part identification numbers"; RAM: SRAM0 at 0x10000000
    {0x2988402B, u"LPC11U24/301", 32, 6, &kFam11Uxx},
    {0x2980002B, u"LPC11U24/401", 32, 8, &kFam11Uxx},
    {0x095C802B, u"LPC11U12", 16, 4, &kFam11Uxx},
    {0x295C802B, u"LPC11U12", 16, 4, &kFam11Uxx},
    {0x097A802B, u"LPC11U13", 24, 4, &kFam11Uxx},
    {0x297A802B, u"LPC11U13", 24, 4, &kFam11Uxx},
    {0x0998802B, u"LPC11U14", 32, 4, &kFam11Uxx},
    {0x2998802B, u"LPC11U14", 32, 4, &kFam11Uxx},
    {0x2972402B, u"LPC11U23", 24, 6, &kFam11Uxx},
    {0x0003D440, u"LPC11U34/311", 40, 8, &kFam11Uxx},
    {0x0001CC40, u"LPC11U34/421", 48, 8, &kFam11Uxx},
    {0x0001BC40, u"LPC11U35/401", 64, 8, &kFam11Uxx},
    {0x0000BC40, u"LPC11U35/501", 64, 8, &kFam11Uxx},
    {0x00019C40, u"LPC11U36", 96, 8, &kFam11Uxx},
    {0x00017C40, u"LPC11U37/401", 128, 8, &kFam11Uxx},
    {0x00007C44, u"LPC11U37H", 128, 8, &kFam11Uxx},
    {0x00007C40, u"LPC11U37/501", 128, 8, &kFam11Uxx},
    // UM10375 ch. 21, table "LPC13xx part identification numbers"
    {0x3D00002B, u"LPC1343", 32, 8, &kFam13xx},
    {0x3D01402B, u"LPC1342", 16, 4, &kFam13xx},
    {0x2C40102B, u"LPC1313", 32, 8, &kFam13xx},
    {0x1830102B, u"LPC1313/01", 32, 8, &kFam13xx},
    {0x2C42502B, u"LPC1311", 8, 4, &kFam13xx},
    {0x1816902B, u"LPC1311/01", 8, 4, &kFam13xx},
    // UM10601, table "LPC81x part identification numbers"
    {0x00008120, u"LPC812M101JDH16", 16, 4, &kFam81x},
    {0x00008121, u"LPC812M101JD20", 16, 4, &kFam81x},
    {0x00008122, u"LPC812M101JDH20", 16, 4, &kFam81x},
    {0x00008110, u"LPC811M001JDH16", 8, 2, &kFam81x},
    {0x00008100, u"LPC810M021FN8", 4, 1, &kFam81x},
    // UM10800 ch. 25, table "LPC82x part identification numbers"
    {0x00008241, u"LPC824M201JHI33", 32, 8, &kFam82x},
    {0x00008242, u"LPC824M201JDH20", 32, 8, &kFam82x},
    {0x00008221, u"LPC822M101JHI33", 16, 4, &kFam82x},
    {0x00008222, u"LPC822M101JDH20", 16, 4, &kFam82x},
    // UM11029 §8.6.49 Table 173 (device ID register; the ISP answers the same value)
    {0x00008451, u"LPC845M301JBD64", 64, 16, &kFam84x},
    {0x00008452, u"LPC845M301JBD48", 64, 16, &kFam84x},
    {0x00008453, u"LPC845M301JHI48", 64, 16, &kFam84x},
    {0x00008454, u"LPC845M301JHI33", 64, 16, &kFam84x},
    {0x00008441, u"LPC844M201JBD64", 64, 8, &kFam84x},
    {0x00008442, u"LPC844M201JBD48", 64, 8, &kFam84x},
    {0x00008443, u"LPC844M201JHI48", 64, 8, &kFam84x},
    {0x00008444, u"LPC844M201JHI33", 64, 8, &kFam84x},
};

constexpr std::array<StcModel, 5> kStcModels{{
    {u"F00282", 1, u"STC89C52RC", 8 * 1024},
    {u"F10582", 2, u"STC89C55RD+", 20 * 1024},
    {u"F11082", 3, u"STC89C516RD+", 62 * 1024},
    {u"F00182", 4, u"STC89C51RC", 4 * 1024},
    {u"F20183", 5, u"STC12C1052", 1 * 1024},
}};

// Model codes and flash sizes of the stcgal model database (stcgal/models.py, version 1.10;
// the dialect of each name as stcgal chooses it from the name). Rows marked "recorded" are
// chips whose sessions are recorded (real-chips/recorded/<name>.txt): their status packets
// carry these codes.
constexpr std::array<StcSeriesModel, 45> kStcSeriesModels{{
    {0xF212, u"STC12C2052AD", StcProtocol::Stc12A, 2048, 4096}, // recorded
    {0xE161, u"STC12C5201AD", StcProtocol::Stc12B, 1024, 5120},
    {0xE162, u"STC12C5202AD", StcProtocol::Stc12B, 2048, 4096},
    {0xE164, u"STC12C5204AD", StcProtocol::Stc12B, 4096, 2048},
    {0xE668, u"STC12C5608AD", StcProtocol::Stc12B, 8192, 22528},
    {0xD164, u"STC12C5A08S2", StcProtocol::Stc12, 8192, 55296},
    {0xD168, u"STC12C5A16S2", StcProtocol::Stc12, 16384, 47104},
    {0xD170, u"STC12C5A32S2", StcProtocol::Stc12, 32768, 30720},
    {0xD17C, u"STC12C5A56S2", StcProtocol::Stc12, 57344, 6144},
    {0xD17E, u"STC12C5A60S2", StcProtocol::Stc12, 61440, 2048}, // recorded
    {0xD17F, u"IAP12C5A62S2", StcProtocol::Stc12, 63488, 0},
    {0xF294, u"STC15F104W", StcProtocol::Stc15, 4096, 1024},
    {0xF2A4, u"STC15W104", StcProtocol::Stc15, 4096, 1024},
    {0xF2D4, u"STC15L104W", StcProtocol::Stc15, 4096, 1024}, // recorded
    {0xF514, u"STC15W204S", StcProtocol::Stc15, 4096, 1024},
    {0xF51A, u"STC15W408S", StcProtocol::Stc15, 8192, 5120},
    {0xF51F, u"STC15W408AS", StcProtocol::Stc15, 8192, 5120},
    {0xF401, u"STC15F2K08S2", StcProtocol::Stc15, 8192, 54272},
    {0xF402, u"STC15F2K16S2", StcProtocol::Stc15, 16384, 46080},
    {0xF404, u"STC15F2K32S2", StcProtocol::Stc15, 32768, 29696},
    {0xF408, u"STC15F2K60S2", StcProtocol::Stc15, 61440, 1024},
    {0xF449, u"IAP15F2K61S2", StcProtocol::Stc15, 62464, 0}, // recorded
    {0xF523, u"STC15W4K16S4", StcProtocol::Stc15, 16384, 44032},
    {0xF525, u"STC15W4K32S4", StcProtocol::Stc15, 32768, 27648},
    {0xF527, u"STC15W4K48S4", StcProtocol::Stc15, 49152, 11264},
    {0xF528, u"STC15W4K56S4", StcProtocol::Stc15, 57344, 3072}, // recorded
    {0xF56A, u"IAP15W4K61S4", StcProtocol::Stc15, 62464, 0},
    {0xF664, u"STC8F1K08S2", StcProtocol::Stc8, 8192, 4096},
    {0xF641, u"STC8F2K08S2", StcProtocol::Stc8, 8192, 57344}, // recorded (status only)
    {0xF642, u"STC8F2K16S2", StcProtocol::Stc8, 16384, 49152},
    {0xF644, u"STC8F2K32S2", StcProtocol::Stc8, 32768, 32768},
    {0xF648, u"STC8F2K64S2", StcProtocol::Stc8, 65024, 512},
    {0xF622, u"STC8A8K16S4A12", StcProtocol::Stc8, 16384, 49152},
    {0xF624, u"STC8A8K32S4A12", StcProtocol::Stc8, 32768, 32768},
    {0xF629, u"STC8A8K60S4A12", StcProtocol::Stc8, 61440, 4096},
    {0xF628, u"STC8A8K64S4A12", StcProtocol::Stc8, 65024, 512}, // recorded
    {0xF658, u"STC8A4K64S2A12", StcProtocol::Stc8, 65024, 512},
    {0xF7F4, u"STC8A8K64D4", StcProtocol::Stc8D, 65024, 512},
    {0xF744, u"STC8H3K64S4", StcProtocol::Stc8D, 65024, 512},
    {0xF74C, u"STC8H3K64S2", StcProtocol::Stc8D, 65024, 512},
    {0xF784, u"STC8H8K64U", StcProtocol::Stc8D, 65024, 512},
    {0xF734, u"STC8H1K08", StcProtocol::Stc8G, 8192, 4096},
    {0xF737, u"STC8H1K17", StcProtocol::Stc8G, 17408, 0},
    {0xF774, u"STC8G1K08T", StcProtocol::Stc8G, 8192, 4096},
    {0xF764, u"STC8G2K64S4", StcProtocol::Stc8G, 65024, 512},
}};

} // namespace

std::span<const DeviceEntry> deviceList()
{
    return kDeviceList;
}

QStringList deviceNames()
{
    QStringList names;
    for (const DeviceEntry &e : kDeviceList)
        names << e.name.toString();
    return names;
}

QString shownName(QStringView name)
{
    constexpr QStringView family = u" 家族";
    constexpr QStringView others = u" (其它系列)";
    constexpr QStringView anyPart = u" (任意型号)";
    if (name.endsWith(anyPart))
        return QCoreApplication::translate("devices", "%1 (任意型号)")
            .arg(name.chopped(anyPart.size()));
    if (name.endsWith(family))
        return QCoreApplication::translate("devices", "%1 家族").arg(name.chopped(family.size()));
    if (name.endsWith(others))
        return QCoreApplication::translate("devices", "%1 (其它系列)")
            .arg(name.chopped(others.size()));
    return name.toString();
}

const DeviceEntry *entryAt(int index)
{
    if (index < 0 || index >= int(kDeviceList.size())) return nullptr;
    return &kDeviceList[std::size_t(index)];
}

std::optional<Family> familyAt(int index)
{
    const DeviceEntry *e = entryAt(index);
    if (!e) return std::nullopt;
    return e->family;
}

int firstIndexOf(Family family)
{
    for (std::size_t i = 0; i < kDeviceList.size(); ++i)
        if (kDeviceList[i].family == family) return int(i);
    return -1;
}

bool trimsClock(int index)
{
    const DeviceEntry *e = entryAt(index);
    return e && e->family == StcSeries && e->cliName != u"stc12";
}

int findDevice(QStringView text)
{
    const QStringView want = text.trimmed();
    if (want.isEmpty()) return -1;
    for (std::size_t i = 0; i < kDeviceList.size(); ++i) {
        const DeviceEntry &e = kDeviceList[i];
        if (e.name.compare(want, Qt::CaseInsensitive) == 0 ||
            e.cliName.compare(want, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    int found = -1;
    for (std::size_t i = 0; i < kDeviceList.size(); ++i) {
        const DeviceEntry &e = kDeviceList[i];
        if (e.name.startsWith(want, Qt::CaseInsensitive) ||
            e.cliName.startsWith(want, Qt::CaseInsensitive)) {
            if (found >= 0) return -1; // ambiguous
            found = int(i);
        }
    }
    return found;
}

const Stm32Part *stm32Part(quint16 productId)
{
    for (const Stm32Part &p : kStm32Parts)
        if (p.productId == productId) return &p;
    return nullptr;
}

std::span<const Stm32Part> stm32Parts()
{
    return kStm32Parts;
}

const Stm32Part &stm32DefaultPart()
{
    return kStm32Unknown;
}

const LpcPart *lpcPart(QStringView partId)
{
    for (const LpcPart &p : kLpcParts)
        if (partId == p.partId) return &p;
    return nullptr;
}

qint64 lpcFlashBytes(LpcLayout layout, int lastSector)
{
    qint64 bytes = 0;
    for (int s = 0; s <= lastSector; ++s) {
        if (layout == LpcLayout::A)
            bytes += (s == 8 || s == 9) ? 64 * 1024 : 8 * 1024;
        else
            bytes += (s >= 8 && s <= 21) ? 32 * 1024 : 4 * 1024;
    }
    return bytes;
}

std::span<const StcModel> stcModels()
{
    return kStcModels;
}

const StcModel *stcModel(int model)
{
    for (const StcModel &m : kStcModels)
        if (m.model == model) return &m;
    return nullptr;
}

std::span<const StcSeriesModel> stcSeriesModels()
{
    return kStcSeriesModels;
}

const StcSeriesModel *stcSeriesModel(quint16 code)
{
    for (const StcSeriesModel &m : kStcSeriesModels)
        if (m.code == code) return &m;
    return nullptr;
}

// ---- NXP LPC, any part ----

int LpcChip::sectorCount() const
{
    qint64 bytes = 0;
    int n = 0;
    for (const LpcSectorRun &run : family->sectors)
        for (int i = 0; i < run.count && bytes < flashBytes(); ++i, ++n)
            bytes += qint64(run.kib) * 1024;
    return n;
}

qint64 LpcChip::sectorSize(int sector) const
{
    int n = 0;
    for (const LpcSectorRun &run : family->sectors) {
        if (sector < n + run.count) return sector < n ? 0 : qint64(run.kib) * 1024;
        n += run.count;
    }
    return 0;
}

qint64 LpcChip::sectorStart(int sector) const
{
    qint64 start = 0;
    for (int s = 0; s < sector; ++s)
        start += sectorSize(s);
    return start;
}

int LpcChip::sectorOf(qint64 address) const
{
    if (address < 0 || address >= flashBytes()) return -1;
    qint64 start = 0;
    for (int s = 0; s < sectorCount(); ++s) {
        start += sectorSize(s);
        if (address < start) return s;
    }
    return -1;
}

int LpcChip::blockBytes() const
{
    // The flash commands use the top 32 bytes of RAM and a stack of up to 256 bytes below
    // them (UM10360 §32.3.2.7; UM10398, UM10375 and UM10462 the same).
    constexpr qint64 kTopReserved = 32 + 256;
    const qint64 ramRoom =
        qint64(family->ramStart) + qint64(ramKib) * 1024 - kTopReserved - family->ramFree;
    const qint64 smallestSector = sectorSize(0);
    int best = 0;
    for (const quint16 count : family->copyCounts)
        if (count > 0 && count <= ramRoom && count <= smallestSector && count <= 4096)
            best = count;
    return best;
}

std::span<const LpcChip> lpcChips()
{
    return kLpcChips;
}

const LpcChip *lpcChip(quint32 id)
{
    for (const LpcChip &c : kLpcChips)
        if (c.id == id) return &c;
    return nullptr;
}

const LpcChip *lpcChipNamed(QStringView name)
{
    const QStringView want = name.trimmed();
    if (want.isEmpty()) return nullptr;
    for (const LpcChip &c : kLpcChips)
        if (c.name.compare(want, Qt::CaseInsensitive) == 0) return &c;
    for (const LpcChip &c : kLpcChips)
        if (c.name.startsWith(want, Qt::CaseInsensitive)) return &c;
    return nullptr;
}

bool lpcAnyPart(int index)
{
    const DeviceEntry *e = entryAt(index);
    return e && e->family == Lpc && e->cliName == u"lpc";
}

} // namespace devices
