#include "controls/draw_button.h"

#include <QPainter>

#include "controls/hls_color.h"
#include "controls/pixel_rules.h"
#include "desktop/system_colors.h"

void CDrawButton::Draw(QPainter& painter, std::uint32_t state) const {
    if (state == 0)
        state = m_state;
    const bool disabled = (state & kDrawButtonDisabled) != 0;
    const bool pressed = (state & kDrawButtonPressed) != 0;
    const bool hot = !disabled && (state & kDrawButtonHot) != 0;

    // Frame and face.
    const COLORREF highlight = GetSystemColor(SystemColor::Highlight);
    COLORREF frame = GetSystemColor(SystemColor::ButtonShadow);
    COLORREF face = GetSystemColor(SystemColor::ButtonFace);
    if (hot) {
        frame = highlight;
        face = pressed ? TintColor(highlight, 50, 50) : TintColor(highlight, 70, 43);
    }
    DrawFrame(painter, m_rect, ToQColor(frame), ToQColor(face));

    // Arrow colour, first match wins: black shows best on the light hot tint.
    COLORREF arrow = GetSystemColor(SystemColor::ButtonText);
    if (pressed)
        arrow = RGB(240, 240, 240);
    else if (disabled)
        arrow = GetSystemColor(SystemColor::GrayText);
    else if (hot)
        arrow = RGB(0, 0, 0);

    // A solid triangle 7 pixels wide and 4 high, its tip the single pixel (cx, y0).
    const int cx = (m_rect.left() + m_rect.right() + 1) / 2;
    const int y0 = (m_rect.top() + m_rect.bottom() + 1) / 2 + 2;
    for (int i = 0; i < 4; ++i)
        DrawLineWithoutEnd(painter, QPoint(cx - i, y0 - i), QPoint(cx + i + 1, y0 - i),
                           ToQColor(arrow));
}
