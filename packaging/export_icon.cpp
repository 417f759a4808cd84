// Writes the program's icon as PNG files for the desktop's icon theme:
//   tarvel_export_icon <folder>  ->  <folder>/<n>x<n>/apps/tarvel.png for each size installed.
#include "pictures.h"

#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    for (const int size : {32, 48, 128}) {
        const QString folder =
            QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        if (!QDir().mkpath(folder) ||
            !AppIconImage(size).save(folder + QStringLiteral("/tarvel.png"), "PNG")) {
            std::fprintf(stderr, "cannot write the %d-pixel icon into %s\n", size,
                         qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
