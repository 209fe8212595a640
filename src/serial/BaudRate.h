// Line rates. The window's rate lists offer kBaudRates and its settings store an index into
// them (TComPortBaudRate); that list and the meaning of the stored indices never change. A
// download carries the rate itself (BaudRate), so that the command line can also give the
// STM32 boot loaders the faster rates of kFastBaudRates, which are on no list.
#pragma once

#include <QtGlobal>
#include <iterator>

enum TComPortBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200
};

// Bits per second of each TComPortBaudRate.
inline constexpr quint32 kBaudRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                         14400, 19200, 38400, 56000, 57600, 115200};
inline constexpr int kBaudRateCount = int(std::size(kBaudRates));

// Rates above the list that the command line takes for STM32 devices only. ST tests its
// USART boot loaders up to 115200 (AN2606, baud-rate detection); the lines whose loaders
// detect the rate in hardware reach these, the others may not synchronise at all.
inline constexpr quint32 kFastBaudRates[] = {230400, 460800, 921600, 1000000};

// A rate in bits per second, or none chosen (0).
class BaudRate
{
public:
    constexpr BaudRate() = default;
    static constexpr BaudRate bitsPerSecond(quint32 bps) { return BaudRate(bps); }
    // The list's entry at index; none for an index off the list (-1: the list's choice kept).
    static constexpr BaudRate ofListIndex(int index)
    {
        return index >= 0 && index < kBaudRateCount ? BaudRate(kBaudRates[index]) : BaudRate();
    }
    constexpr bool chosen() const { return bps_ > 0; }
    constexpr quint32 bps() const { return bps_; }
    // The index of the window's list entry for this rate; -1 for a rate the list lacks.
    constexpr int listIndex() const
    {
        for (int i = 0; i < kBaudRateCount; ++i)
            if (kBaudRates[i] == bps_) return i;
        return -1;
    }
    // One of kFastBaudRates.
    constexpr bool fast() const
    {
        for (const quint32 r : kFastBaudRates)
            if (r == bps_) return true;
        return false;
    }
    constexpr bool operator==(const BaudRate &) const = default;

private:
    constexpr explicit BaudRate(quint32 bps) : bps_(bps) {}
    quint32 bps_ = 0;
};
