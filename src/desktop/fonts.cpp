#include "desktop/fonts.h"

#include <QApplication>
#include <QStringList>

namespace {

// The Song face the program's "宋体" stands for, then a CJK face that most desktops have.
const QStringList kSongFaces{QStringLiteral("AR PL UMing CN"),
                             QStringLiteral("WenQuanYi Micro Hei")};

// Logical resolution the point sizes are converted at.
constexpr int kDotsPerInch = 96;

QFont HardEdged(const QString& face, int pixelSize) {
    QFont font(face);
    font.setPixelSize(pixelSize);
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

// A plain face of the given style, every attribute stated.
QFont Plain(QFont font) {
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

} // namespace

void InstallDialogLook() {
    QFont::insertSubstitutions(QStringLiteral("宋体"), kSongFaces);
    // The dialog font of a Simplified Chinese system is the Song face too.
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg"), kSongFaces);
    QApplication::setStyle(QStringLiteral("Windows"));
}

QFont ButtonFont() {
    return HardEdged(QStringLiteral("宋体"), 12);
}

QFont LampFont() {
    return Plain(HardEdged(QStringLiteral("宋体"), kDotsPerInch * 12 / 72));
}

QFont GraphFont() {
    QFont font = Plain(HardEdged(QStringLiteral("Arial"), 10));
    font.setWeight(QFont::Thin);
    return font;
}
