#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <stdexcept>

namespace platform {

namespace {
QString storePath()
{
    // $XDG_CONFIG_HOME/Tramelo/Tramelo.conf (~/.config/Tramelo/Tramelo.conf by default).
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Tramelo/Tramelo.conf");
}

QSettings *openStore()
{
    return new QSettings(storePath(), QSettings::IniFormat);
}
} // namespace

QString SettingsStore::filePath()
{
    return storePath();
}

SettingsStore::FileState SettingsStore::fileState()
{
    const QFileInfo info(filePath());
    // A link that leads nowhere is not missing: creating the file would follow it.
    if (!info.exists()) return info.isSymLink() ? FileState::NotRegular : FileState::Missing;
    if (!info.isFile()) return FileState::NotRegular;
    if (info.size() > kMaxFileSize) return FileState::TooLarge;
    return FileState::Usable;
}

bool SettingsStore::exists()
{
    return fileState() == FileState::Usable;
}

bool SettingsStore::create()
{
    const QString path = filePath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Append);
}

QString SettingsStore::portOverride(const QString &comName)
{
    if (!exists()) return {};
    const std::unique_ptr<QSettings> s(openStore());
    return s->value(QStringLiteral("Ports/") + comName).toString().trimmed();
}

SettingsStore::SettingsStore() : s_(openStore()) {}
SettingsStore::~SettingsStore() = default;

std::optional<qint32> SettingsStore::readInt(const char *name) const
{
    const QVariant v = s_->value(QLatin1String(name));
    if (!v.isValid()) return std::nullopt;
    bool ok = false;
    const qint32 i = v.toString().trimmed().toInt(&ok, 10);
    if (!ok) return std::nullopt;
    return i;
}

QString SettingsStore::readString(const char *name) const
{
    const QVariant v = s_->value(QLatin1String(name));
    // A hand-edited value with an unquoted comma reads back as a list; keep its text.
    if (v.typeId() == QMetaType::QStringList) return v.toStringList().join(QStringLiteral(", "));
    return v.toString();
}

bool SettingsStore::contains(const char *name) const
{
    return s_->contains(QLatin1String(name));
}

void SettingsStore::writeInt(const char *name, qint32 value)
{
    s_->setValue(QLatin1String(name), value);
}

void SettingsStore::writeString(const char *name, const QString &value)
{
    s_->setValue(QLatin1String(name), value);
}

void SettingsStore::flush()
{
    s_->sync();
    if (s_->status() != QSettings::NoError)
        throw std::runtime_error(QStringLiteral("Failed to write the settings file %1")
                                     .arg(s_->fileName())
                                     .toStdString());
}

} // namespace platform
