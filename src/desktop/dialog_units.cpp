#include "desktop/dialog_units.h"

#include <QFontMetrics>

#include <cstdlib>

DialogBaseUnits BaseUnitsForFont(const QFont& font) {
    // The average width is measured over the 52 Latin letters and rounded.
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

int ScaleRounded(int number, int numerator, int denominator) {
    const long long product = static_cast<long long>(number) * numerator;
    const long long half = std::llabs(denominator) / 2;
    const long long rounded = (product >= 0) == (denominator > 0)
                                  ? (std::llabs(product) + half) / std::llabs(denominator)
                                  : -((std::llabs(product) + half) / std::llabs(denominator));
    return static_cast<int>(rounded);
}

int DialogUnitsToPixelsX(const DialogBaseUnits& units, int x) {
    return ScaleRounded(x, units.cx, 4);
}

int DialogUnitsToPixelsY(const DialogBaseUnits& units, int y) {
    return ScaleRounded(y, units.cy, 8);
}

QRect MapDialogRect(const DialogBaseUnits& units, int x, int y, int cx, int cy) {
    return {DialogUnitsToPixelsX(units, x), DialogUnitsToPixelsY(units, y),
            DialogUnitsToPixelsX(units, cx), DialogUnitsToPixelsY(units, cy)};
}
