// The settings reader: any file content where the settings file is expected must give a
// window that starts, keeps every list selection inside its list, and closes.
#include "FuzzApp.h"
#include "app/Main.h"

#include "app/Ui.h"
#include "platform/Settings.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzapp::init();
    ui::setMessageHandler([](const ui::MessageRequest &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = platform::SettingsStore::filePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        f.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    ApplicationWindows w = CreateApplicationWindows();
    for (QComboBox *c : {w.main->ComboBox1, w.main->ComboBox2, w.main->ComboBox3, w.main->ComboBox4,
                         w.main->ComboBox5})
        if (c->currentIndex() < 0 || c->currentIndex() >= c->count()) std::abort();
    w.main->close();
    return 0;
}
