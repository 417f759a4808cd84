#include "desktop/system_colors.h"

#include <QApplication>
#include <QPalette>

// The one place where the controls' colours meet palette roles.
COLORREF GetSystemColor(SystemColor color) {
    const QPalette palette = QApplication::palette();
    QColor c;
    switch (color) {
    case SystemColor::Window:
        c = palette.color(QPalette::Active, QPalette::Base);
        break;
    case SystemColor::Highlight:
        c = palette.color(QPalette::Active, QPalette::Highlight);
        break;
    case SystemColor::ButtonFace:
        c = palette.color(QPalette::Active, QPalette::Button);
        break;
    case SystemColor::ButtonShadow:
        c = palette.color(QPalette::Active, QPalette::Dark);
        break;
    case SystemColor::GrayText:
        c = palette.color(QPalette::Disabled, QPalette::ButtonText);
        break;
    case SystemColor::ButtonText:
        c = palette.color(QPalette::Active, QPalette::ButtonText);
        break;
    case SystemColor::DarkShadow:
        c = palette.color(QPalette::Active, QPalette::Shadow);
        break;
    }
    return RGB(c.red(), c.green(), c.blue());
}
