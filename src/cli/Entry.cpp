#include "app/Main.h"
#include "cli/Cli.h"

#include "app/Language.h"
#include "app/Ui.h"

int main(int argc, char *argv[])
{
    if (cli::wantsCommandLine(argc, argv)) return cli::run(argc, argv);

    ui::Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);
    QGuiApplication::setDesktopFileName(QStringLiteral("example.orvel.Tramelo"));
    ApplicationWindows windows = CreateApplicationWindows();
    windows.main->show();
    return app.exec();
}
