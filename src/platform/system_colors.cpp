#include "platform/system_colors.h"

#include <QApplication>
#include <QPalette>

// The one place where system colours meet palette roles.
COLORREF GetSysColor(int index) {
    const QPalette palette = QApplication::palette();
    QColor c;
    switch (index) {
    case COLOR_WINDOW:
        c = palette.color(QPalette::Active, QPalette::Base);
        break;
    case COLOR_HIGHLIGHT:
        c = palette.color(QPalette::Active, QPalette::Highlight);
        break;
    case COLOR_BTNFACE:
        c = palette.color(QPalette::Active, QPalette::Button);
        break;
    case COLOR_BTNSHADOW:
        c = palette.color(QPalette::Active, QPalette::Dark);
        break;
    case COLOR_GRAYTEXT:
        c = palette.color(QPalette::Disabled, QPalette::ButtonText);
        break;
    case COLOR_BTNTEXT:
        c = palette.color(QPalette::Active, QPalette::ButtonText);
        break;
    case COLOR_BTNHIGHLIGHT:
        c = palette.color(QPalette::Active, QPalette::Light);
        break;
    case COLOR_3DDKSHADOW:
        c = palette.color(QPalette::Active, QPalette::Shadow);
        break;
    default:
        return RGB(0, 0, 0);
    }
    return RGB(c.red(), c.green(), c.blue());
}
