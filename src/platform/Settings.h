// The settings store: one INI file per user, $XDG_CONFIG_HOME/Tramelo/Tramelo.conf
// (~/.config/Tramelo/Tramelo.conf by default). "The key exists" means the file exists;
// creating the key creates the file and its folder.
//
// Integer values are decimal numbers; an integer that is missing or whose text is not an
// integer reads as "missing or of the wrong type" (nullopt). A missing string reads as "".
// Group [Ports] holds optional device paths for COM1..COM8 and is only read by the program.
//
// Only a regular file of at most kMaxFileSize bytes is read or written. Anything else at the
// path (a named pipe, whose opening would wait for a writer for ever; a device; a folder) and
// a larger file (the reader would hold all of it in memory) is left alone: the program runs
// with its defaults and no [Ports] paths.
#pragma once

#include <QString>
#include <memory>
#include <optional>

class QSettings;

namespace platform {

class SettingsStore
{
public:
    enum class FileState { Missing, Usable, NotRegular, TooLarge };
    static constexpr qint64 kMaxFileSize = 1024 * 1024;

    static QString filePath();
    // What is at the path, found without opening it.
    static FileState fileState();
    // The file is there and may be read and written (FileState::Usable).
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
    bool contains(const char *name) const;
    void writeInt(const char *name, qint32 value);
    void writeString(const char *name, const QString &value);
    // Writes everything to the file; throws std::runtime_error with the reason on failure.
    void flush();

private:
    std::unique_ptr<QSettings> s_;
};

} // namespace platform
