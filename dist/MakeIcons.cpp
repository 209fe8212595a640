// Writes the program's icon into a hicolor icon tree at the usual sizes:
//   tramelo_icons OUTPUT-FOLDER SIZE...
// making OUTPUT-FOLDER/SIZExSIZE/apps/tramelo.png for each size. Run at build time, so the
// installed icons are always the window's own.
#include "app/Pictures.h"

#include <QDir>
#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fputs("usage: tramelo_icons OUTPUT-FOLDER SIZE...\n", stderr);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 8 || size > 1024) {
            std::fprintf(stderr, "tramelo_icons: bad size %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        const QString file = folder + QStringLiteral("/tramelo.png");
        if (!QDir().mkpath(folder) || !pictures::appIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "tramelo_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
