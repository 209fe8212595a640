#include "app/Main.h"
#include "cli/Cli.h"

#include "app/Language.h"
#include "app/Pictures.h"
#include "app/Ui.h"

#include <QIcon>
#include <QPalette>
#include <QToolTip>

int main(int argc, char *argv[])
{
    if (cli::wantsCommandLine(argc, argv)) return cli::run(argc, argv);

    ui::Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(pictures::appIcon(size)));
    QApplication::setWindowIcon(icon);
    QGuiApplication::setDesktopFileName(QStringLiteral("example.orvel.Tramelo"));
    ApplicationWindows windows = CreateApplicationWindows();
    QPalette tips = QToolTip::palette();
    tips.setColor(QPalette::ToolTipBase, QColor(11, 255, 11));
    QToolTip::setPalette(tips);
    windows.main->show();
    return app.exec();
}
