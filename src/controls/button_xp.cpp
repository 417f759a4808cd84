#include "controls/button_xp.h"

#include <QPainter>

#include "controls/buffer_dc.h"
#include "controls/hls_color.h"
#include "controls/selected_objects.h"
#include "platform/system_colors.h"

CButtonXP::CButtonXP(QWidget* parent) : QPushButton(parent) {}

CButtonXP::~CButtonXP() = default;

void CButtonXP::PreSubclassWindow() {
    m_ownerDrawn = true;
    m_tracker.owner = this;
    m_tracker.flags = 1;
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
    const unsigned state = (isDown() ? ODS_SELECTED : 0u) | (isEnabled() ? 0u : ODS_DISABLED) |
                           (hasFocus() ? ODS_FOCUS : 0u);
    QPainter(this).drawImage(0, 0,
                             DrawOwnerDrawnItem(m_paintBuffer, size(), state,
                                                [this](DRAWITEMSTRUCT& item) { DrawItem(item); }));
}

void CButtonXP::DrawItem(const DRAWITEMSTRUCT& item) {
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    const bool hovered = m_tracker.hover != 0;

    // Step 1-3: buffer, rectangle, font, pen and brush.
    CBufferDC dc(item.hDC, nullptr);
    RECT rect = item.rcItem;
    SelectedFont font;
    font.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    font.dc = &dc;
    font.previous = dc.SelectObject(font.font);
    SelectedPen pen(&dc, GetSysColor(COLOR_BTNSHADOW));
    SelectedBrush brush(&dc, kNoColor);

    // Step 4-5: frame and face.
    if (disabled || (!hovered && !pressed)) {
        // Qt's default flag stands for the dialog's default-button id.
        const bool dark = focused || isDefault();
        pen.SetColor(GetSysColor(dark ? COLOR_3DDKSHADOW : COLOR_BTNSHADOW));
        brush.SetColor(TintColor(GetSysColor(COLOR_BTNFACE), 15, 100));
    } else {
        const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
        pen.SetColor(highlight);
        brush.SetColor(pressed ? TintColor(highlight, 50, 50) : TintColor(highlight, 80, 34));
    }

    // Step 6: text colour.
    COLORREF textColor = GetSysColor(COLOR_BTNTEXT);
    if (disabled)
        textColor = GetSysColor(COLOR_GRAYTEXT);
    else if (pressed)
        textColor = RGB(240, 240, 240);
    else if (hovered)
        textColor = RGB(0, 0, 0);
    dc.SetTextColor(textColor);

    // Step 7-9: frame with face, caption, focus rectangle.
    dc.Rectangle(rect);
    dc.SetBkMode(TRANSPARENT);
    dc.DrawText(text(), &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    if (focused) {
        InflateRect(rect, -2, -2);
        dc.DrawFocusRect(rect);
    }
    // Step 10: the selections end in reverse order (brush, pen, font), the buffer copies last.
}
