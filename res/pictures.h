#pragma once

#include <QIcon>
#include <QImage>
#include <QPixmap>

// Bitmap 130: the 160 x 44 logo at the top left of the main dialog, 24 bits per pixel.
QImage LoadLogoBitmap();

// Icon 128: the program's 32 x 32 icon.
QIcon LoadAppIcon();
// The icon's picture, drawn `size` pixels square (the installed icons come in several sizes).
QImage AppIconImage(int size = 32);

// The picture of a dialog item by its resource id: bitmap 130 or icon 128 (32 x 32).
QPixmap LoadPicture(int resourceId);
