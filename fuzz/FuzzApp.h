// Shared set-up of the fuzz targets that drive the windows: an offscreen application and a
// throw-away home folder, made once per process.
#pragma once

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdlib>

namespace fuzzapp {

inline QTemporaryDir &home()
{
    static QTemporaryDir dir;
    return dir;
}

inline void init()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("HOME", home().path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home().path() + "/config").toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home().path() + "/config");
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    // Made once and never destroyed: the fuzzer ends the process through exit(), and a static
    // application would be destroyed among the exit handlers, after statics that Qt GUI's
    // clean-up routines still use. The program's own application ends with main().
    static QApplication *app = new QApplication(argc, argv);
    Q_UNUSED(app);
}

} // namespace fuzzapp
