#include "controls/button_xp.h"

#include <QPainter>

#include "controls/hls_color.h"
#include "controls/pixel_rules.h"
#include "desktop/fonts.h"
#include "desktop/system_colors.h"

CButtonXP::CButtonXP(QWidget* parent) : QPushButton(parent) {}

CButtonXP::~CButtonXP() = default;

void CButtonXP::PreSubclassWindow() {
    m_ownerDrawn = true;
    m_tracker.owner = this;
    // Moves must arrive without a button held down for the hover look to follow the pointer.
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool CButtonXP::event(QEvent* e) {
    // Default processing first, then the hover bookkeeping.
    const bool handled = QPushButton::event(e);
    if (m_ownerDrawn)
        FeedHoverEvent(m_tracker, this, e);
    return handled;
}

void CButtonXP::paintEvent(QPaintEvent* e) {
    if (!m_ownerDrawn) {
        QPushButton::paintEvent(e);
        return;
    }
    Draw(m_buffer.Image(size()), {isDown(), !isEnabled(), hasFocus()});
    m_buffer.CopyTo(*this);
}

void CButtonXP::Draw(QImage& image, const State& state) const {
    const bool hovered = m_tracker.hover != 0;

    // Frame and face.
    COLORREF frame = 0;
    COLORREF face = 0;
    if (state.disabled || (!hovered && !state.pressed)) {
        // Qt's default flag stands for the dialog's default button.
        const bool dark = state.focused || isDefault();
        frame = GetSystemColor(dark ? SystemColor::DarkShadow : SystemColor::ButtonShadow);
        face = TintColor(GetSystemColor(SystemColor::ButtonFace), 15, 100);
    } else {
        frame = GetSystemColor(SystemColor::Highlight);
        face = state.pressed ? TintColor(frame, 50, 50) : TintColor(frame, 80, 34);
    }

    // Text colour, first match wins.
    COLORREF text = GetSystemColor(SystemColor::ButtonText);
    if (state.disabled)
        text = GetSystemColor(SystemColor::GrayText);
    else if (state.pressed)
        text = RGB(240, 240, 240);
    else if (hovered)
        text = RGB(0, 0, 0);

    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::TextAntialiasing, false);
        painter.setFont(ButtonFont());
        const QRect rect = image.rect();
        DrawFrame(painter, rect, ToQColor(frame), ToQColor(face));
        DrawCaption(painter, rect, this->text(), ToQColor(text));
    }
    if (state.focused)
        InvertDottedFrame(image, image.rect().adjusted(2, 2, -2, -2));
}
