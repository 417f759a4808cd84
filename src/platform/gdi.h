#pragma once

// A small drawing-context facade with the pixel rules of the drawing calls the controls were
// designed around: no antialiasing, lines without their end point, rectangles whose frame lies
// inside the given bounds, brush patterns anchored at a brush origin. Everything draws into a
// QImage, so any pixel can be read back.

#include <QFont>
#include <QImage>
#include <QRegion>
#include <QString>

#include <functional>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/colorref.h"

struct POINT {
    int x = 0;
    int y = 0;
};

struct RECT {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

inline bool IsRectEmpty(const RECT& r) {
    return r.right <= r.left || r.bottom <= r.top;
}
inline void InflateRect(RECT& r, int dx, int dy) {
    r.left -= dx;
    r.top -= dy;
    r.right += dx;
    r.bottom += dy;
}
inline QRect ToQRect(const RECT& r) {
    return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
}

constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;

// Pen styles: every pen here is solid.
constexpr int PS_SOLID = 0;

// Background modes.
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

// Stock objects.
constexpr int NULL_BRUSH = 5;
constexpr int DEFAULT_GUI_FONT = 17;

// Text drawing formats; without DT_CENTER text starts at the left.
constexpr unsigned DT_CENTER = 0x0001;
constexpr unsigned DT_VCENTER = 0x0004;
constexpr unsigned DT_SINGLELINE = 0x0020;

// Raster operation of BitBlt: only plain copies are needed.
constexpr unsigned SRCCOPY = 0x00CC0020;

// Clip region kinds returned by the clipping calls.
constexpr int NULLREGION = 1;
constexpr int SIMPLEREGION = 2;
constexpr int COMPLEXREGION = 3;

// Owner-draw item states.
constexpr unsigned ODS_SELECTED = 0x0001;
constexpr unsigned ODS_DISABLED = 0x0004;
constexpr unsigned ODS_FOCUS = 0x0010;

// System metrics the controls size themselves with.
constexpr int SM_CXHTHUMB = 10;
int GetSystemMetrics(int index);

// Character set asked of CreateFontA; a font here is its face whatever the set.
constexpr int DEFAULT_CHARSET = 1;

// ---- Drawing objects -------------------------------------------------------------------------

struct GdiObject {
    enum class Kind { Pen, Brush, Font, Bitmap };
    explicit GdiObject(Kind k) : kind(k) {}
    virtual ~GdiObject() = default;
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;
    const Kind kind;
};

struct GdiPen final : GdiObject {
    explicit GdiPen(COLORREF c) : GdiObject(Kind::Pen), color(c) {}
    COLORREF color;
};

struct GdiBrush final : GdiObject {
    GdiBrush() : GdiObject(Kind::Brush) {}
    bool hollow = false;
    COLORREF color = 0;
    QImage pattern; // non-null for pattern brushes
};

struct GdiFont final : GdiObject {
    explicit GdiFont(QFont f) : GdiObject(Kind::Font), font(std::move(f)) {}
    QFont font;
};

struct GdiBitmap final : GdiObject {
    explicit GdiBitmap(QImage img) : GdiObject(Kind::Bitmap), image(std::move(img)) {}
    QImage image;
};

using HGDIOBJ = GdiObject*;
using HPEN = GdiPen*;
using HBRUSH = GdiBrush*;
using HFONT = GdiFont*;
using HBITMAP = GdiBitmap*;

class CDC;
using HDC = CDC*;

// Stock objects live for the whole process and are never deleted.
HGDIOBJ GetStockObject(int index);

// Owners of one drawing object each; the object dies with its owner, as DeleteObject would end it.
template <class Handle> class CGdiObjectT {
public:
    CGdiObjectT() = default;
    CGdiObjectT(const CGdiObjectT&) = delete;
    CGdiObjectT& operator=(const CGdiObjectT&) = delete;
    operator Handle() const { return m_object.get(); }
    Handle GetSafeHandle() const { return m_object.get(); }
    bool DeleteObject() {
        const bool had = m_object != nullptr;
        m_object.reset();
        return had;
    }

protected:
    std::unique_ptr<std::remove_pointer_t<Handle>> m_object;
};

class CPen : public CGdiObjectT<HPEN> {
public:
    // Every pen is solid and 1 pixel wide, whatever the style and width asked for.
    bool CreatePen(int style, int width, COLORREF color);
};

class CBitmap : public CGdiObjectT<HBITMAP> {
public:
    bool CreateCompatibleBitmap(CDC* dc, int width, int height);
};

class CBrush : public CGdiObjectT<HBRUSH> {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    bool CreateSolidBrush(COLORREF color);
    // The brush copies the bitmap's pixels; the bitmap may be deleted afterwards.
    bool CreatePatternBrush(const CBitmap* bitmap);
};

class CFont : public CGdiObjectT<HFONT> {
public:
    bool CreateFontA(int height, int width, int escapement, int orientation, int weight,
                     bool italic, bool underline, bool strikeOut, int charSet, int outPrecision,
                     int clipPrecision, int quality, int pitchAndFamily, const char* faceName);
    // Size in tenths of a point, converted to a pixel height for the given context's resolution.
    bool CreatePointFont(int pointSize, const char* faceName, CDC* dc = nullptr);
};

// ---- The drawing context ---------------------------------------------------------------------

class CDC {
public:
    // An empty context; CreateCompatibleDC makes it a memory context.
    CDC();
    // A context drawing straight into an image owned by the caller (e.g. a widget's paint buffer).
    explicit CDC(QImage* target);
    virtual ~CDC();
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    bool CreateCompatibleDC(CDC* dc);
    bool DeleteDC();
    // The image the context draws into (the selected bitmap of a memory context).
    QImage* Surface() const;

    HGDIOBJ SelectObject(HGDIOBJ object);
    HPEN SelectObject(HPEN pen);
    HBRUSH SelectObject(HBRUSH brush);
    HFONT SelectObject(HFONT font);
    HBITMAP SelectObject(HBITMAP bitmap);
    HGDIOBJ SelectStockObject(int index);
    HPEN GetCurrentPen() const { return m_state.pen; }
    HBRUSH GetCurrentBrush() const { return m_state.brush; }
    HFONT GetCurrentFont() const { return m_state.font; }

    COLORREF SetTextColor(COLORREF color);
    COLORREF GetTextColor() const { return m_state.textColor; }
    COLORREF SetBkColor(COLORREF color);
    COLORREF GetBkColor() const { return m_state.bkColor; }
    int SetBkMode(int mode);
    int GetBkMode() const { return m_state.bkMode; }

    bool SetBrushOrgEx(int x, int y, POINT* previous);
    bool GetBrushOrgEx(POINT* origin) const;
    // Logical point (x,y) lands on device pixel (0,0).
    POINT SetWindowOrg(int x, int y);

    int SaveDC();
    bool RestoreDC(int saved);

    // Clip regions are in device coordinates; null removes the clip region.
    int SelectClipRgn(const QRegion* region);
    int ExcludeClipRect(int left, int top, int right, int bottom);
    int GetClipBox(RECT* box) const;

    bool MoveToEx(int x, int y, POINT* previous);
    bool LineTo(int x, int y);
    bool Rectangle(const RECT& r);
    void FillRect(const RECT& r, HBRUSH brush);
    void FillSolidRect(const RECT& r, COLORREF color);
    bool SetPixelV(int x, int y, COLORREF color);
    COLORREF GetPixel(int x, int y) const;
    void DrawFocusRect(const RECT& r);

    // Narrow text is UTF-8 here.
    bool TextOutA(int x, int y, std::string_view utf8);
    int DrawText(const QString& text, RECT* r, unsigned format);

    bool BitBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, unsigned rop);

private:
    struct State {
        HPEN pen = nullptr;
        HBRUSH brush = nullptr;
        HFONT font = nullptr;
        HBITMAP bitmap = nullptr;
        COLORREF textColor = RGB(0, 0, 0);
        COLORREF bkColor = RGB(255, 255, 255);
        int bkMode = OPAQUE;
        POINT brushOrg;
        POINT windowOrg;
        POINT position;
        bool clipped = false;
        QRegion clip; // device coordinates, used when clipped
    };

    QRect SurfaceRect() const;
    QRegion EffectiveClip() const;
    void Fill(const QRect& logical, HBRUSH brush);
    void FillColor(const QRect& logical, COLORREF color);
    bool Visible(int x, int y) const;
    QFont CurrentQFont() const;

    QImage* m_target = nullptr; // borrowed surface; else the selected bitmap is the surface
    bool m_memory = false;
    std::unique_ptr<GdiBitmap> m_defaultBitmap;
    State m_state;
    std::vector<State> m_saved;
};

// What an owner-drawn control gets to paint itself: its state (ODS_ bits), its rectangle and the
// context to draw into.
struct DRAWITEMSTRUCT {
    unsigned itemState = 0;
    RECT rcItem;
    HDC hDC = nullptr;
};

// Runs one owner-draw paint of a control of `size`: `drawItem` paints through the record's
// context into `buffer`, which the control keeps so that its paints reuse the same memory.
const QImage& DrawOwnerDrawnItem(QImage& buffer, QSize size, unsigned itemState,
                                 const std::function<void(DRAWITEMSTRUCT&)>& drawItem);

QColor ToQColor(COLORREF color);
