#pragma once

#include <QFont>
#include <QRect>

// Converts the templates' dialog units to pixels. Dialog units scale with the dialog font: four
// horizontal units make one average character width, eight vertical units one character height.
struct DialogBaseUnits {
    int cx = 0;
    int cy = 0;
};

DialogBaseUnits BaseUnitsForFont(const QFont& font);

// number x numerator / denominator, the exact quotient rounded half away from zero.
int ScaleRounded(int number, int numerator, int denominator);

int DialogUnitsToPixelsX(const DialogBaseUnits& units, int x);
int DialogUnitsToPixelsY(const DialogBaseUnits& units, int y);
// Position and size are mapped independently, as the dialog manager places controls.
QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy);
