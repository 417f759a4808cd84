#include "controls/selected_objects.h"

SelectedPen::SelectedPen(HDC dc, COLORREF color) : m_dc(dc) {
    Select(color);
}

SelectedPen::~SelectedPen() {
    if (m_dc != nullptr)
        m_dc->SelectObject(m_previous);
    m_pen.DeleteObject();
}

void SelectedPen::Select(COLORREF color) {
    m_pen.CreatePen(PS_SOLID, 1, color);
    if (m_dc != nullptr)
        m_previous = m_dc->SelectObject(m_pen.GetSafeHandle());
}

void SelectedPen::SetColor(COLORREF color) {
    // The old pen must leave the context before it is deleted.
    if (m_dc != nullptr)
        m_dc->SelectObject(m_previous);
    m_pen.DeleteObject();
    Select(color);
}

SelectedBrush::SelectedBrush(HDC dc, COLORREF color) : m_dc(dc) {
    Select(color);
}

SelectedBrush::~SelectedBrush() {
    if (m_dc != nullptr)
        m_dc->SelectObject(m_previous);
    m_brush.DeleteObject();
}

void SelectedBrush::Select(COLORREF color) {
    HGDIOBJ brush = GetStockObject(NULL_BRUSH);
    if (color != kNoColor) {
        m_brush.CreateSolidBrush(color);
        brush = m_brush.GetSafeHandle();
    }
    if (m_dc != nullptr)
        m_previous = m_dc->SelectObject(brush);
}

void SelectedBrush::SetColor(COLORREF color) {
    if (m_dc != nullptr)
        m_dc->SelectObject(m_previous);
    m_brush.DeleteObject();
    Select(color);
}

SelectedFont::~SelectedFont() {
    if (previous != nullptr && dc != nullptr) {
        dc->SelectObject(previous);
        owned.DeleteObject();
    }
    if (previousTextColor != kNoColor && dc != nullptr)
        dc->SetTextColor(previousTextColor);
}
