#pragma once

#include <QFont>
#include <QRect>

// Dialog units scale with the dialog font: four horizontal units make one average character
// width, eight vertical units one character height.
struct DialogBaseUnits {
    int cx = 0;
    int cy = 0;
};

DialogBaseUnits BaseUnitsForFont(const QFont& font);

// Rounds as the platform's MulDiv does: the exact quotient, half away from zero.
int MulDiv(int number, int numerator, int denominator);

int DialogUnitsToPixelsX(const DialogBaseUnits& units, int x);
int DialogUnitsToPixelsY(const DialogBaseUnits& units, int y);
// Position and size are mapped independently, as the dialog manager places controls.
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy);
