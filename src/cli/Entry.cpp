#include "app/Main.h"
#include "cli/Cli.h"

#include "app/Language.h"
#include "app/Ui.h"

#include <QPalette>
#include <QToolTip>

int main(int argc, char *argv[])
{
    if (cli::wantsCommandLine(argc, argv)) return cli::run(argc, argv);

    ui::Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tramelo"));
    language::install(app);
    ApplicationWindows windows = CreateApplicationWindows();
    QPalette tips = QToolTip::palette();
    tips.setColor(QPalette::ToolTipBase, QColor(11, 255, 11));
    QToolTip::setPalette(tips);
    windows.main->show();
    return app.exec();
}
