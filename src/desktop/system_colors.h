#pragma once

#include <QColor>

#include "platform/colorref.h"

// The palette colours the program's own controls are drawn in.
enum class SystemColor {
    Window,
    Highlight,
    ButtonFace,
    ButtonShadow,
    GrayText,
    ButtonText,
    DarkShadow,
};

// The colour's current value, read from the application palette at every call so that palette
// changes show at the next paint.
COLORREF GetSystemColor(SystemColor color);

inline QColor ToQColor(COLORREF color) {
    return QColor(GetRValue(color), GetGValue(color), GetBValue(color));
}
