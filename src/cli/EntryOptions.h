// The command line's options for bringing a board into its boot loader, shared by download
// and read: --entry SEQ, --exit SEQ, --swap-rts-dtr, --invert rts|dtr, --power-cycle CMD.
#pragma once

#include "engines/Download.h"
#include "logic/ResetSequence.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace cli {

struct EntryOptions
{
    std::optional<resetseq::Sequence> entry, exit;
    resetseq::Wiring wiring;
    QString powerCycle;
};

// Takes args[i] (and its value) when it is one of these options. nullopt: it is not one of
// them; otherwise the usage problem, "" when there is none.
std::optional<QString> takeEntryOption(const QStringList &args, int &i, EntryOptions &o);
// The problem of the options taken together ("" when none): --no-reset means neither sequence.
QString entryConflict(const EntryOptions &o, bool noReset);
void applyEntryOptions(const EntryOptions &o, DownloadChoices &choices);

} // namespace cli
