#include "logic/Devices.h"

#include <array>

namespace devices {

namespace {

using enum Family;

constexpr std::array<DeviceEntry, 11> kDeviceList{{
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
}};

// STM32F10x product ids: low-, medium-, high-density, connectivity, value and XL-density
// lines. Low and medium density and the medium value line erase 1 KiB pages; the others 2 KiB.
constexpr std::array<Stm32Part, 7> kStm32Parts{{
    {0x412, u"STM32F10xx4/6 家族", 1024},
    {0x410, u"STM32F10xx8/B 家族", 1024},
    {0x414, u"STM32F10xxExx 家族", 2048},
    {0x418, u"STM32F105/107 家族", 2048},
    {0x420, u"STM32F100xx8/B 家族", 1024},
    {0x428, u"STM32F100xxE 家族", 2048},
    {0x430, u"STM32F10xxG 家族", 2048},
}};

// Parts whose flash has 4 KB sectors at both ends report these identifications; every other
// part is programmed with layout A up to sector 16.
constexpr std::array<LpcPart, 5> kLpcParts{{
    {u"4293984018", u"LPC2214", LpcLayout::B, 14}, // 0xFFF0FF12
    {u"196353", u"LPC2131", LpcLayout::B, 7},      // 0x0002FF01
    {u"196369", u"LPC2132", LpcLayout::B, 8},      // 0x0002FF11
    {u"196387", u"LPC2136", LpcLayout::B, 14},     // 0x0002FF23
    {u"196389", u"LPC2138", LpcLayout::B, 26},     // 0x0002FF25
}};

constexpr std::array<StcModel, 5> kStcModels{{
    {u"F00282", 1, u"STC89C52RC", 8 * 1024},
    {u"F10582", 2, u"STC89C55RD+", 20 * 1024},
    {u"F11082", 3, u"STC89C516RD+", 62 * 1024},
    {u"F00182", 4, u"STC89C51RC", 4 * 1024},
    {u"F20183", 5, u"STC12C1052", 1 * 1024},
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

const LpcPart *lpcPart(QStringView partId)
{
    for (const LpcPart &p : kLpcParts)
        if (partId == p.partId) return &p;
    return nullptr;
}

std::span<const LpcPart> lpcParts()
{
    return kLpcParts;
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

} // namespace devices
