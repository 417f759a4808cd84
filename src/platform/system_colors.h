#pragma once

#include "platform/colorref.h"

// Indices of the system colours the program asks for.
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_HIGHLIGHT = 13;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_BTNSHADOW = 16;
constexpr int COLOR_GRAYTEXT = 17;
constexpr int COLOR_BTNTEXT = 18;
constexpr int COLOR_BTNHIGHLIGHT = 20;
constexpr int COLOR_3DDKSHADOW = 21;

// The current value of a system colour, read from the application palette at every call so
// palette changes show at the next paint. Unknown indices give black.
COLORREF GetSysColor(int index);
