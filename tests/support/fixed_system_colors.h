#pragma once

#include <QApplication>
#include <QPalette>

#include "platform/colorref.h"

// System colours every pixel check in these tests is written against.
namespace fixed {
constexpr COLORREF kBtnFace = RGB(236, 233, 216);
constexpr COLORREF kBtnShadow = RGB(172, 168, 153);
constexpr COLORREF kDkShadow = RGB(113, 111, 100);
constexpr COLORREF kBtnHighlight = RGB(255, 255, 255);
constexpr COLORREF kHighlight = RGB(49, 106, 197);
constexpr COLORREF kGrayText = RGB(141, 141, 141);
constexpr COLORREF kBtnText = RGB(0, 0, 0);
constexpr COLORREF kWindow = RGB(255, 255, 255);

// Tints of the colours above, worked out by hand from the tint rule.
constexpr COLORREF kIdleFace = RGB(238, 235, 221);    // face, lightened 15 %
constexpr COLORREF kPressedTint = RGB(169, 185, 208); // highlight, 50 % / 50 %
constexpr COLORREF kHoverFace = RGB(222, 226, 233);   // highlight, 80 % / 34 %
constexpr COLORREF kHotTint = RGB(204, 212, 225);     // highlight, 70 % / 43 %

inline QColor Q(COLORREF c) {
    return QColor(GetRValue(c), GetGValue(c), GetBValue(c));
}

inline void UseFixedSystemColors() {
    QPalette p = QApplication::palette();
    for (const QPalette::ColorGroup g :
         {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        p.setColor(g, QPalette::Button, Q(kBtnFace));
        p.setColor(g, QPalette::Window, Q(kBtnFace));
        p.setColor(g, QPalette::Dark, Q(kBtnShadow));
        p.setColor(g, QPalette::Shadow, Q(kDkShadow));
        p.setColor(g, QPalette::Light, Q(kBtnHighlight));
        p.setColor(g, QPalette::Highlight, Q(kHighlight));
        p.setColor(g, QPalette::ButtonText, Q(g == QPalette::Disabled ? kGrayText : kBtnText));
        p.setColor(g, QPalette::Base, Q(kWindow));
    }
    QApplication::setPalette(p);
}
} // namespace fixed

inline COLORREF PixelAt(const QImage& image, int x, int y) {
    const QRgb px = image.pixel(x, y);
    return RGB(qRed(px), qGreen(px), qBlue(px));
}

inline int CountPixels(const QImage& image, COLORREF color) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += PixelAt(image, x, y) == color ? 1 : 0;
    return n;
}
