#include "app/AppIcon.h"

#include <QPixmap>

#include "resources/sonorette-16.xpm"
#include "resources/sonorette-32.xpm"

QImage AppIconImage(int size) {
    return QImage(size == 16 ? kSonoretteIcon16 : kSonoretteIcon32);
}

QIcon AppIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(AppIconImage(32)));
    icon.addPixmap(QPixmap::fromImage(AppIconImage(16)));
    return icon;
}
