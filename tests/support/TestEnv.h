// A throw-away environment for one test: HOME, the settings folder and the library folder
// point into a temporary directory, message boxes are recorded instead of shown, and file
// dialogs and yes/no questions answer from queues.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testenv {

// Writes a file with the given bytes in a folder; returns its path ("" when it cannot).
QString writeFile(const QString &folder, const QString &name, const QByteArray &bytes);

struct Message
{
    QString caption;
    QString text;
};

class TestEnv
{
public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv &) = delete;
    TestEnv &operator=(const TestEnv &) = delete;

    QString root() const { return dir_.path(); }
    // The settings file as the program names it.
    QString settingsFile() const;
    // Writes a settings file with these lines (INI text) before the window is created.
    void writeSettings(const QString &iniText) const;
    // Maps "COMn" to a device path through the settings file's [Ports] group.
    void mapPort(int n, const QString &path) const;
    // A file in the temporary folder with the given bytes; returns its path.
    QString file(const QString &name, const QByteArray &bytes) const;

    QList<Message> messages;
    QList<Message> questions;   // yes/no questions asked
    QList<bool> questionAnswers; // answers of the next questions (yes when none is left)
    QStringList fileAnswers; // answers of the next file dialogs ("" = cancelled)
    QStringList openedUrls;

private:
    QTemporaryDir dir_;
    QByteArray oldHome_, oldXdg_;
};

} // namespace testenv
