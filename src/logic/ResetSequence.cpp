#include "logic/ResetSequence.h"

#include "logic/ShownText.h"
#include "logic/Stm32Image.h"

#include <utility>

namespace resetseq {

namespace {

const ShownText kUnknown{"lines", QT_TRANSLATE_NOOP("lines", "未知的步骤: “%1”")};
const ShownText kTooLong{"lines", QT_TRANSLATE_NOOP("lines", "等待时间超出 0-10000 ms: “%1”")};
const ShownText kEmpty{"lines", QT_TRANSLATE_NOOP("lines", "第 %1 步是空的")};
const ShownText kAssertRts{"lines", QT_TRANSLATE_NOOP("lines", "RTS 有效")};
const ShownText kReleaseRts{"lines", QT_TRANSLATE_NOOP("lines", "RTS 无效")};
const ShownText kAssertDtr{"lines", QT_TRANSLATE_NOOP("lines", "DTR 有效")};
const ShownText kReleaseDtr{"lines", QT_TRANSLATE_NOOP("lines", "DTR 无效")};
const ShownText kBreakOn{"lines", QT_TRANSLATE_NOOP("lines", "开始 break（发送线保持低电平）")};
const ShownText kBreakOff{"lines", QT_TRANSLATE_NOOP("lines", "结束 break")};
const ShownText kWait{"lines", QT_TRANSLATE_NOOP("lines", "等待 %1 ms")};

struct Word
{
    const char *text;
    Line line;
    bool on;
};
constexpr Word kWords[] = {
    {"rts", Line::Rts, true},  {"-rts", Line::Rts, false}, {"dtr", Line::Dtr, true},
    {"-dtr", Line::Dtr, false}, {"brk", Line::Break, true}, {"-brk", Line::Break, false},
};

Step set(Line line, bool on)
{
    return Step{Step::Set, line, on, 0};
}
Step wait(int ms)
{
    return Step{Step::Wait, Line::Rts, false, ms};
}

} // namespace

Parsed parse(QStringView text)
{
    Parsed p;
    if (text.trimmed().isEmpty()) return p;
    int index = 0;
    for (QStringView raw : text.split(u',')) {
        const QStringView word = raw.trimmed();
        ++index;
        const auto refuse = [&](Refusal r) {
            p.steps.clear();
            p.refusal = r;
            p.badStep = word.toString();
            p.badIndex = index;
            return p;
        };
        if (word.isEmpty()) return refuse(Refusal::EmptyStep);
        bool known = false;
        for (const Word &w : kWords) {
            if (word.compare(QLatin1String(w.text), Qt::CaseInsensitive) == 0) {
                p.steps << set(w.line, w.on);
                known = true;
                break;
            }
        }
        if (known) continue;
        if (!word.endsWith(QLatin1String("ms"), Qt::CaseInsensitive)) return refuse(Refusal::UnknownStep);
        const QStringView digits = word.chopped(2);
        if (digits.isEmpty()) return refuse(Refusal::UnknownStep);
        for (QChar c : digits)
            if (c < u'0' || c > u'9') return refuse(Refusal::UnknownStep);
        // Digits only: a long run of them is simply too long a wait.
        const QStringView significant = [&] {
            qsizetype i = 0;
            while (i + 1 < digits.size() && digits[i] == u'0')
                ++i;
            return digits.mid(i);
        }();
        if (significant.size() > 5) return refuse(Refusal::WaitTooLong);
        const int ms = significant.toInt();
        if (ms > kMaxWaitMs) return refuse(Refusal::WaitTooLong);
        p.steps << wait(ms);
    }
    return p;
}

QString formatStep(const Step &step)
{
    if (step.kind == Step::Wait) return QStringLiteral("%1ms").arg(step.ms);
    const char *name = step.line == Line::Rts ? "rts" : step.line == Line::Dtr ? "dtr" : "brk";
    return (step.on ? QString() : QStringLiteral("-")) + QLatin1String(name);
}

QString format(const Sequence &steps)
{
    QStringList words;
    for (const Step &s : steps)
        words << formatStep(s);
    return words.join(u',');
}

QString refusalText(const Parsed &parsed)
{
    switch (parsed.refusal) {
    case Refusal::None: return {};
    case Refusal::UnknownStep: return kUnknown.text().arg(parsed.badStep);
    case Refusal::WaitTooLong: return kTooLong.text().arg(parsed.badStep);
    case Refusal::EmptyStep: return kEmpty.text().arg(parsed.badIndex);
    }
    return {};
}

QString describe(const Step &step)
{
    if (step.kind == Step::Wait) return kWait.text().arg(step.ms);
    switch (step.line) {
    case Line::Rts: return step.on ? kAssertRts : kReleaseRts;
    case Line::Dtr: return step.on ? kAssertDtr : kReleaseDtr;
    case Line::Break: return step.on ? kBreakOn : kBreakOff;
    }
    return {};
}

Sequence applyWiring(Sequence steps, const Wiring &wiring)
{
    for (Step &s : steps) {
        if (s.kind != Step::Set || s.line == Line::Break) continue;
        if (wiring.swapRtsDtr) s.line = s.line == Line::Rts ? Line::Dtr : Line::Rts;
        if ((s.line == Line::Rts && wiring.invertRts) || (s.line == Line::Dtr && wiring.invertDtr))
            s.on = !s.on;
    }
    return steps;
}

int totalWaitMs(const Sequence &steps)
{
    int total = 0;
    for (const Step &s : steps)
        if (s.kind == Step::Wait) total += s.ms;
    return total;
}

Sequence stm32Entry()
{
    const int ms = int(stm32::kResetPulseMs);
    return {set(Line::Dtr, true), set(Line::Rts, true), wait(ms), set(Line::Dtr, false), wait(ms)};
}

Sequence stm32Exit()
{
    return {set(Line::Dtr, true), wait(5), set(Line::Rts, false)};
}

Sequence lpcEntry()
{
    return {set(Line::Rts, true), wait(50), set(Line::Dtr, true), wait(300), set(Line::Dtr, false)};
}

Sequence stcEntry(int resetMs)
{
    return {set(Line::Rts, true), wait(resetMs), set(Line::Rts, false)};
}

} // namespace resetseq
