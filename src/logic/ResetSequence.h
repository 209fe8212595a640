// Line sequences: how a board is brought into its boot loader and out of it again with the
// port's modem lines, written as text a user can read and type.
//
// A sequence is a comma-separated list of steps:
//   rts / -rts   assert / release RTS
//   dtr / -dtr   assert / release DTR
//   brk / -brk   start / end a break (the transmit line held at space)
//   NNms         wait NN milliseconds, 0..10000
// Blanks around a step are allowed and the words take any case; format() writes the canonical
// form (lower case, no blanks). The empty text is the empty sequence: nothing is done.
//
// Each family's default is written here in the same notation, so a user can start from it and
// the programmers run nothing else.
#pragma once

#include <QList>
#include <QString>
#include <QStringView>

namespace resetseq {

enum class Line { Rts, Dtr, Break };

struct Step
{
    enum Kind { Set, Wait } kind = Wait;
    Line line = Line::Rts; // Set
    bool on = false;       // Set: assert (true) or release
    int ms = 0;            // Wait
    bool operator==(const Step &) const = default;
};

using Sequence = QList<Step>;

constexpr int kMaxWaitMs = 10000;

enum class Refusal { None, UnknownStep, WaitTooLong, EmptyStep };

struct Parsed
{
    Sequence steps;
    Refusal refusal = Refusal::None;
    QString badStep; // the step as written (trimmed), for the message
    int badIndex = 0; // its place in the list, from 1
    bool ok() const { return refusal == Refusal::None; }
};

Parsed parse(QStringView text);
QString format(const Sequence &steps);
QString formatStep(const Step &step);

// The refusal as one line naming the step, in the interface language.
QString refusalText(const Parsed &parsed);
// What a step does, for the window's editor (interface language).
QString describe(const Step &step);

// The wiring the adapter or board has: RTS and DTR swapped, and either line inverted. Swapping
// comes first; an inversion then names the line as it leaves the adapter.
struct Wiring
{
    bool swapRtsDtr = false;
    bool invertRts = false;
    bool invertDtr = false;
    bool operator==(const Wiring &) const = default;
};
Sequence applyWiring(Sequence steps, const Wiring &wiring);

// Total of the waits (ms).
int totalWaitMs(const Sequence &steps);

// The families' defaults.
// STM32: DTR and RTS on, 500 ms, DTR off, 500 ms for the boot loader to start listening.
Sequence stm32Entry();
// STM32, after a written image: DTR on, 5 ms, RTS off, so the board runs its new firmware.
Sequence stm32Exit();
// LPC2000: RTS on (the ISP pin), 50 ms, DTR on (reset), 300 ms, DTR off; RTS stays on.
Sequence lpcEntry();
// STC: RTS held for the reset time field's milliseconds (the 100 ms the port settles after
// opening come before any sequence).
Sequence stcEntry(int resetMs);

} // namespace resetseq
