// Icon 128: the application's icon, one picture at 32 x 32 and one at 16 x 16.
#pragma once

#include <QIcon>
#include <QImage>

QIcon AppIcon();
QImage AppIconImage(int size);
