#include "cli/EntryOptions.h"

#include "cli/Cli.h"

namespace cli {

namespace {

QString sequenceProblem(const QString &option, const resetseq::Parsed &p)
{
    switch (p.refusal) {
    case resetseq::Refusal::None: return {};
    case resetseq::Refusal::UnknownStep:
        return QStringLiteral("%1: unknown step '%2' (steps: rts -rts dtr -dtr brk -brk NNms)")
            .arg(option, p.badStep);
    case resetseq::Refusal::WaitTooLong:
        return QStringLiteral("%1: step '%2' waits longer than 10000ms").arg(option, p.badStep);
    case resetseq::Refusal::EmptyStep:
        return QStringLiteral("%1: step %2 is empty").arg(option).arg(p.badIndex);
    }
    return {};
}

} // namespace

std::optional<QString> takeEntryOption(const QStringList &args, int &i, EntryOptions &o)
{
    const QString &a = args[i];
    QString v;
    if (a == "--entry" || a == "--exit") {
        if (!takeValue(args, i, v)) return QStringLiteral("%1 needs a value").arg(a);
        const resetseq::Parsed p = resetseq::parse(v);
        if (!p.ok()) return sequenceProblem(a, p);
        (a == "--entry" ? o.entry : o.exit) = p.steps;
        return QString();
    }
    if (a == "--swap-rts-dtr") {
        o.wiring.swapRtsDtr = true;
        return QString();
    }
    if (a == "--invert") {
        if (!takeValue(args, i, v) || (v != u"rts" && v != u"dtr"))
            return QStringLiteral("--invert takes rts or dtr");
        (v == u"rts" ? o.wiring.invertRts : o.wiring.invertDtr) = true;
        return QString();
    }
    if (a == "--power-cycle") {
        if (!takeValue(args, i, v) || v.trimmed().isEmpty())
            return QStringLiteral("--power-cycle needs a command");
        o.powerCycle = v;
        return QString();
    }
    return std::nullopt;
}

QString entryConflict(const EntryOptions &o, bool noReset)
{
    if (noReset && (o.entry || o.exit))
        return QStringLiteral("--no-reset means no line sequence: it cannot go with --entry or --exit");
    return {};
}

void applyEntryOptions(const EntryOptions &o, DownloadChoices &choices)
{
    choices.entrySequence = o.entry;
    choices.exitSequence = o.exit;
    choices.wiring = o.wiring;
    choices.powerCycle = o.powerCycle;
}

} // namespace cli
