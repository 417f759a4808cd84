#pragma once

#include <QRect>

#include <cstdint>

class QPainter;

// The width of the combo box's drop-down button, as wide as a scroll bar's thumb.
constexpr int kDropButtonWidth = 16;

// State word of CDrawButton: the bits its painting reads.
constexpr std::uint32_t kDrawButtonDisabled = 0x100;
constexpr std::uint32_t kDrawButtonPressed = 0x1000;
constexpr std::uint32_t kDrawButtonHot = 0x4000;

// Paints the flat drop-down button of the combo box: a frame, a face tinted while hot or
// pressed, and a small arrow pointing down. Made on the stack at every paint.
class CDrawButton {
public:
    CDrawButton(std::uint32_t state, const QRect& rect) : m_state(state), m_rect(rect) {}

    // State 0 means the state the button was made with.
    void Draw(QPainter& painter, std::uint32_t state = 0) const;

private:
    std::uint32_t m_state;
    QRect m_rect;
};
