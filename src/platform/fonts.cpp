#include "platform/fonts.h"

#include <QApplication>
#include <QStringList>

namespace {
// The Song face the program's "宋体" stands for, then a CJK face that most desktops have.
const QStringList kSongFaces{QStringLiteral("AR PL UMing CN"),
                             QStringLiteral("WenQuanYi Micro Hei")};
} // namespace

void InstallDialogLook() {
    QFont::insertSubstitutions(QStringLiteral("宋体"), kSongFaces);
    // The dialog font of a Simplified Chinese system is the Song face too.
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg"), kSongFaces);
    QApplication::setStyle(QStringLiteral("Windows"));
}

QFont DialogFont() {
    QFont font(QStringLiteral("MS Shell Dlg"));
    font.setPointSize(9);
    return font;
}
