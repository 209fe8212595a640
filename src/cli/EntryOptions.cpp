#include "cli/EntryOptions.h"

#include "cli/Cli.h"

#include <QCoreApplication>

namespace cli {

namespace {

QString sequenceProblem(const QString &option, const resetseq::Parsed &p)
{
    switch (p.refusal) {
    case resetseq::Refusal::None: return {};
    case resetseq::Refusal::UnknownStep:
        return QCoreApplication::translate("cli", "%1: 未知的步骤 '%2' (步骤: rts -rts dtr -dtr brk -brk NNms)")
            .arg(option, p.badStep);
    case resetseq::Refusal::WaitTooLong:
        return QCoreApplication::translate("cli", "%1: 步骤 '%2' 的等待超过 10000ms").arg(option, p.badStep);
    case resetseq::Refusal::EmptyStep:
        return QCoreApplication::translate("cli", "%1: 第 %2 步是空的").arg(option).arg(p.badIndex);
    }
    return {};
}

} // namespace

std::optional<QString> takeEntryOption(const QStringList &args, int &i, EntryOptions &o)
{
    const QString &a = args[i];
    QString v;
    if (a == "--entry" || a == "--exit") {
        if (!takeValue(args, i, v)) return QCoreApplication::translate("cli", "%1 缺少参数值").arg(a);
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
            return QCoreApplication::translate("cli", "--invert 取 rts 或 dtr");
        (v == u"rts" ? o.wiring.invertRts : o.wiring.invertDtr) = true;
        return QString();
    }
    if (a == "--power-cycle") {
        if (!takeValue(args, i, v) || v.trimmed().isEmpty())
            return QCoreApplication::translate("cli", "--power-cycle 缺少命令");
        o.powerCycle = v;
        return QString();
    }
    return std::nullopt;
}

QString entryConflict(const EntryOptions &o, bool noReset)
{
    if (noReset && (o.entry || o.exit))
        return QCoreApplication::translate(
            "cli", "--no-reset 表示不用任何序列: 不能与 --entry 或 --exit 一起用");
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
