// The settings store: one INI file per user, $XDG_CONFIG_HOME/Tramelo/Tramelo.conf
// (~/.config/Tramelo/Tramelo.conf by default). "The key exists" means the file exists;
// creating the key creates the file and its folder.
//
// Integer values are decimal numbers; an integer that is missing or whose text is not an
// integer reads as "missing or of the wrong type" (nullopt). A missing string reads as "".
// Group [Ports] holds optional device paths for COM1..COM8 and is only read by the program.
#pragma once

#include <QString>
#include <memory>
#include <optional>

class QSettings;

namespace platform {

class SettingsStore
{
public:
    static QString filePath();
    static bool exists();
    // Creates the folder and an empty file; false when that is not possible.
    static bool create();
    // The device path configured for "COM1".."COM8" in [Ports], or "".
    static QString portOverride(const QString &comName);

    SettingsStore();
    ~SettingsStore();
    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    std::optional<qint32> readInt(const char *name) const;
    QString readString(const char *name) const;
    void writeInt(const char *name, qint32 value);
    void writeString(const char *name, const QString &value);
    // Writes everything to the file; throws std::runtime_error with the reason on failure.
    void flush();

private:
    std::unique_ptr<QSettings> s_;
};

} // namespace platform
