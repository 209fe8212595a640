// The window's settings for bringing a board into its boot loader: per device entry the entry
// and exit line sequences, and for every entry the adapter's wiring and a power command. The
// editor shows the sequence in force and says what each step does.
#pragma once

#include "engines/Download.h"
#include "logic/ResetSequence.h"

#include <QDialog>
#include <QMap>
#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
namespace platform {
class SettingsStore;
}

struct EntrySettings
{
    // Per device index, a sequence that replaces the family's default ("" runs none).
    QMap<int, QString> entry, exit;
    resetseq::Wiring wiring;
    QString powerCycle;

    // The family's defaults of a device entry, as text.
    static QString defaultEntry(int device, const QString &resetMs);
    static QString defaultExit(int device);

    // Stored after the window's other values: "EntrySeqN", "ExitSeqN" (only those set),
    // "SwapRtsDtr", "InvertRts", "InvertDtr", "PowerCycle".
    void read(const platform::SettingsStore &s);
    void write(platform::SettingsStore &s) const;
    // Into the choices of a download of c.device (a stored text that no longer parses counts
    // as not set).
    void applyTo(DownloadChoices &c) const;
};

class EntryDialog : public QDialog
{
    Q_OBJECT
public:
    EntryDialog(const EntrySettings &settings, int device, const QString &resetMs,
                QWidget *parent = nullptr);
    // The settings with this device entry's sequences as edited.
    EntrySettings result() const;

private:
    void explain();

    EntrySettings settings_;
    int device_;
    QString defaultEntry_, defaultExit_;
    QLineEdit *entry_, *exit_, *power_;
    QLabel *explained_;
    QCheckBox *swap_, *invertRts_, *invertDtr_;
    QPushButton *ok_ = nullptr;
};
