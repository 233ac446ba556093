// sonorette-icon-export DIR: writes the application icon as DIR/16x16/sonorette.png and
// DIR/32x32/sonorette.png, for the desktop's icon theme. Run by the build.
#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>

#include "app/AppIcon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: sonorette-icon-export DIR\n", stderr);
        return 2;
    }
    for (const int size : {16, 32}) {
        const QString folder = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/%1x%1").arg(size);
        if (!QDir().mkpath(folder) ||
            !AppIconImage(size).save(folder + QStringLiteral("/sonorette.png"))) {
            std::fprintf(stderr, "sonorette-icon-export: cannot write the %dx%d icon\n", size,
                         size);
            return 1;
        }
    }
    return 0;
}
