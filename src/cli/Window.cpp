// The window program, started by `tramelo` when it is given no command.
#include "app/Language.h"
#include "app/Main.h"
#include "app/Ui.h"
#include "cli/Demo.h"

#include <cstring>

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--demo") == 0) return cli::demo(argc, argv);

    ui::Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);
    QGuiApplication::setDesktopFileName(QStringLiteral("example.orvel.Tramelo"));
    ApplicationWindows windows = CreateApplicationWindows();
    windows.main->show();
    return app.exec();
}
