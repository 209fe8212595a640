#include "support/TestEnv.h"

#include "app/Ui.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace testenv {

TestEnv::TestEnv()
{
    oldHome_ = qgetenv("HOME");
    oldXdg_ = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", dir_.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (dir_.path() + QStringLiteral("/config")).toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       dir_.path() + QStringLiteral("/config"));
    ui::setMessageHandler([this](const ui::MessageRequest &r) {
        messages.append({r.caption, r.text});
    });
    ui::setQuestionHandler([this](const ui::MessageRequest &r) {
        questions.append({r.caption, r.text});
        return questionAnswers.isEmpty() || questionAnswers.takeFirst();
    });
    ui::setUrlHandler([this](const QString &url) { openedUrls.append(url); });
    ui::setFileHandler([this](const ui::FileRequest &) {
        return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
    });
}

TestEnv::~TestEnv()
{
    ui::setMessageHandler(nullptr);
    ui::setQuestionHandler(nullptr);
    ui::setFileHandler(nullptr);
    ui::setUrlHandler(nullptr);
    qputenv("HOME", oldHome_);
    if (oldXdg_.isEmpty())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", oldXdg_);
}

QString TestEnv::settingsFile() const
{
    return platform::SettingsStore::filePath();
}

void TestEnv::writeSettings(const QString &iniText) const
{
    const QString path = settingsFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(iniText.toUtf8());
}

void TestEnv::mapPort(int n, const QString &path) const
{
    QSettings s(settingsFile(), QSettings::IniFormat);
    s.setValue(QStringLiteral("Ports/COM%1").arg(n), path);
    s.sync();
}

QString writeFile(const QString &folder, const QString &name, const QByteArray &bytes)
{
    const QString path = folder + QLatin1Char('/') + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(bytes);
    return path;
}

QString TestEnv::file(const QString &name, const QByteArray &bytes) const
{
    // The path is returned even where the file could not be written.
    writeFile(dir_.path(), name, bytes);
    return dir_.path() + QLatin1Char('/') + name;
}

} // namespace testenv
