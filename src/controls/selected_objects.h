#pragma once

#include "platform/gdi.h"

// Scoped selections: each selects an object into a context and puts the previous one back when
// it ends, so paint code cannot leave a context holding a pen, brush or font it no longer owns.

class SelectedPen {
public:
    // A solid pen one pixel wide.
    SelectedPen(HDC dc, COLORREF color);
    ~SelectedPen();
    SelectedPen(const SelectedPen&) = delete;
    SelectedPen& operator=(const SelectedPen&) = delete;
    void SetColor(COLORREF color);

private:
    void Select(COLORREF color);
    CPen m_pen;
    HDC m_dc;
    HGDIOBJ m_previous = nullptr;
};

class SelectedBrush {
public:
    // kNoColor (-1) selects the stock hollow brush; any other colour a solid brush.
    SelectedBrush(HDC dc, COLORREF color);
    ~SelectedBrush();
    SelectedBrush(const SelectedBrush&) = delete;
    SelectedBrush& operator=(const SelectedBrush&) = delete;
    void SetColor(COLORREF color);

private:
    void Select(COLORREF color);
    CBrush m_brush;
    HDC m_dc;
    HGDIOBJ m_previous = nullptr;
};

// Filled in by its user. When it ends: if `previous` is set it is selected back and a font made
// for this selection (kept in `owned`) is released; stock fonts are never released. Then the
// previous text colour is put back unless it is kNoColor.
struct SelectedFont {
    HFONT font = nullptr;
    CFont owned;
    HDC dc = nullptr;
    HGDIOBJ previous = nullptr;
    COLORREF previousTextColor = kNoColor;

    SelectedFont() = default;
    SelectedFont(const SelectedFont&) = delete;
    SelectedFont& operator=(const SelectedFont&) = delete;
    ~SelectedFont();
};
