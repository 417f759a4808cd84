#include "platform/gdi.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStaticText>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>

namespace {

// Logical resolution the point-size conversions assume.
constexpr int kLogPixelsY = 96;

QFont MakeFont(const QString& face, int pixelSize) {
    QFont font(face);
    font.setPixelSize(std::max(1, pixelSize));
    // Glyph edges stay hard, like every other drawing call here.
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

// The stock objects and the ones a new context starts with.
struct StockObjects {
    GdiBrush hollow;
    // The GUI font of the narrow code page the program was written for.
    GdiFont guiFont{MakeFont(QStringLiteral("宋体"), 12)};
    GdiPen defaultPen{RGB(0, 0, 0)};
    GdiBrush defaultBrush;
    GdiFont defaultFont{MakeFont(QStringLiteral("MS Shell Dlg"), 12)};

    StockObjects() {
        hollow.hollow = true;
        defaultBrush.color = RGB(255, 255, 255);
    }
};

StockObjects& Stock() {
    static StockObjects stock;
    return stock;
}

constexpr QPainter::CompositionMode kCopy = QPainter::CompositionMode_Source;

} // namespace

int GetSystemMetrics(int index) {
    return index == SM_CXHTHUMB ? 16 : 0;
}

QColor ToQColor(COLORREF color) {
    return QColor(GetRValue(color), GetGValue(color), GetBValue(color));
}

HGDIOBJ GetStockObject(int index) {
    StockObjects& s = Stock();
    switch (index) {
    case NULL_BRUSH:
        return &s.hollow;
    case DEFAULT_GUI_FONT:
        return &s.guiFont;
    default:
        return nullptr;
    }
}

// ---- Drawing objects -------------------------------------------------------------------------

bool CPen::CreatePen(int /*style*/, int /*width*/, COLORREF color) {
    if (m_object)
        return false;
    m_object = std::make_unique<GdiPen>(color & 0xFFFFFFu);
    return true;
}

bool CBrush::CreateSolidBrush(COLORREF color) {
    if (m_object)
        return false;
    m_object = std::make_unique<GdiBrush>();
    m_object->color = color & 0xFFFFFFu;
    return true;
}

bool CBrush::CreatePatternBrush(const CBitmap* bitmap) {
    if (m_object || bitmap == nullptr || bitmap->GetSafeHandle() == nullptr)
        return false;
    m_object = std::make_unique<GdiBrush>();
    // Kept in the 32-bit format the drawing surfaces use, so fills can copy its pixels directly.
    m_object->pattern = bitmap->GetSafeHandle()->image.convertToFormat(QImage::Format_RGB32);
    return true;
}

bool CFont::CreateFontA(int height, int /*width*/, int /*escapement*/, int /*orientation*/,
                        int weight, bool italic, bool underline, bool strikeOut, int /*charSet*/,
                        int /*outPrecision*/, int /*clipPrecision*/, int /*quality*/,
                        int /*pitchAndFamily*/, const char* faceName) {
    if (m_object)
        return false;
    // Negative heights are character heights, positive ones cell heights; both are taken as the
    // pixel size, which is close enough for cell heights and exact for character heights.
    QFont font =
        MakeFont(QString::fromUtf8(faceName ? faceName : ""), height == 0 ? 12 : std::abs(height));
    // Weight 0 keeps the face's own weight.
    if (weight != 0)
        font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 100, 900)));
    font.setItalic(italic);
    font.setUnderline(underline);
    font.setStrikeOut(strikeOut);
    m_object = std::make_unique<GdiFont>(font);
    return true;
}

bool CFont::CreatePointFont(int pointSize, const char* faceName, CDC* /*dc*/) {
    // Tenths of a point to pixels at the logical resolution, as a character height.
    const int pixels = kLogPixelsY * pointSize / 720;
    return CreateFontA(-pixels, 0, 0, 0, 0, false, false, false, DEFAULT_CHARSET, 0, 0, 0, 0,
                       faceName);
}

bool CBitmap::CreateCompatibleBitmap(CDC* /*dc*/, int width, int height) {
    if (m_object || width <= 0 || height <= 0)
        return false;
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    m_object = std::make_unique<GdiBitmap>(std::move(image));
    return true;
}

// ---- The drawing context ---------------------------------------------------------------------

CDC::CDC() {
    // A context always holds a pen, a brush and a font: selecting null is refused.
    m_state.pen = &Stock().defaultPen;
    m_state.brush = &Stock().defaultBrush;
    m_state.font = &Stock().defaultFont;
}

CDC::CDC(QImage* target) : CDC() {
    m_target = target;
}

CDC::~CDC() = default;

bool CDC::CreateCompatibleDC(CDC* /*dc*/) {
    if (m_target != nullptr || m_memory)
        return false;
    m_memory = true;
    QImage one(1, 1, QImage::Format_RGB32);
    one.fill(Qt::black);
    m_defaultBitmap = std::make_unique<GdiBitmap>(std::move(one));
    m_state.bitmap = m_defaultBitmap.get();
    return true;
}

bool CDC::DeleteDC() {
    const bool had = m_memory || m_target != nullptr;
    m_target = nullptr;
    m_memory = false;
    m_state.bitmap = nullptr;
    m_saved.clear();
    m_defaultBitmap.reset();
    return had;
}

QImage* CDC::Surface() const {
    if (m_target != nullptr)
        return m_target;
    return m_state.bitmap != nullptr ? &m_state.bitmap->image : nullptr;
}

HGDIOBJ CDC::SelectObject(HGDIOBJ object) {
    if (object == nullptr)
        return nullptr;
    switch (object->kind) {
    case GdiObject::Kind::Pen:
        return SelectObject(static_cast<HPEN>(object));
    case GdiObject::Kind::Brush:
        return SelectObject(static_cast<HBRUSH>(object));
    case GdiObject::Kind::Font:
        return SelectObject(static_cast<HFONT>(object));
    case GdiObject::Kind::Bitmap:
        return SelectObject(static_cast<HBITMAP>(object));
    }
    return nullptr;
}

HPEN CDC::SelectObject(HPEN pen) {
    if (pen == nullptr)
        return nullptr;
    return std::exchange(m_state.pen, pen);
}

HBRUSH CDC::SelectObject(HBRUSH brush) {
    if (brush == nullptr)
        return nullptr;
    return std::exchange(m_state.brush, brush);
}

HFONT CDC::SelectObject(HFONT font) {
    if (font == nullptr)
        return nullptr;
    return std::exchange(m_state.font, font);
}

HBITMAP CDC::SelectObject(HBITMAP bitmap) {
    // Only a memory context holds a bitmap.
    if (bitmap == nullptr || !m_memory)
        return nullptr;
    return std::exchange(m_state.bitmap, bitmap);
}

HGDIOBJ CDC::SelectStockObject(int index) {
    return SelectObject(GetStockObject(index));
}

COLORREF CDC::SetTextColor(COLORREF color) {
    return std::exchange(m_state.textColor, color & 0xFFFFFFu);
}

COLORREF CDC::SetBkColor(COLORREF color) {
    return std::exchange(m_state.bkColor, color & 0xFFFFFFu);
}

int CDC::SetBkMode(int mode) {
    if (mode != TRANSPARENT && mode != OPAQUE)
        return 0;
    return std::exchange(m_state.bkMode, mode);
}

bool CDC::SetBrushOrgEx(int x, int y, POINT* previous) {
    const POINT old = std::exchange(m_state.brushOrg, POINT{x, y});
    if (previous != nullptr)
        *previous = old;
    return true;
}

bool CDC::GetBrushOrgEx(POINT* origin) const {
    if (origin == nullptr)
        return false;
    *origin = m_state.brushOrg;
    return true;
}

POINT CDC::SetWindowOrg(int x, int y) {
    return std::exchange(m_state.windowOrg, POINT{x, y});
}

int CDC::SaveDC() {
    m_saved.push_back(m_state);
    return static_cast<int>(m_saved.size());
}

bool CDC::RestoreDC(int saved) {
    // Negative values count back from the latest save; positive ones name a save.
    const int count = static_cast<int>(m_saved.size());
    const int index = saved < 0 ? count + saved : saved - 1;
    if (index < 0 || index >= count)
        return false;
    m_state = m_saved[static_cast<std::size_t>(index)];
    m_saved.resize(static_cast<std::size_t>(index));
    return true;
}

QRect CDC::SurfaceRect() const {
    const QImage* s = Surface();
    return s != nullptr ? s->rect() : QRect();
}

QRegion CDC::EffectiveClip() const {
    const QRegion whole(SurfaceRect());
    return m_state.clipped ? m_state.clip.intersected(whole) : whole;
}

namespace {
int RegionKind(const QRegion& r) {
    if (r.isEmpty())
        return NULLREGION;
    return r.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}
} // namespace

int CDC::SelectClipRgn(const QRegion* region) {
    if (region == nullptr) {
        m_state.clipped = false;
        m_state.clip = QRegion();
    } else {
        m_state.clipped = true;
        m_state.clip = *region;
    }
    return RegionKind(EffectiveClip());
}

int CDC::ExcludeClipRect(int left, int top, int right, int bottom) {
    const QRect device = ToQRect(RECT{left, top, right, bottom})
                             .translated(-m_state.windowOrg.x, -m_state.windowOrg.y);
    m_state.clip = EffectiveClip().subtracted(QRegion(device));
    m_state.clipped = true;
    return RegionKind(m_state.clip);
}

int CDC::GetClipBox(RECT* box) const {
    const QRegion clip = EffectiveClip();
    if (box != nullptr) {
        const QRect b = clip.boundingRect().translated(m_state.windowOrg.x, m_state.windowOrg.y);
        *box = clip.isEmpty() ? RECT{} : RECT{b.left(), b.top(), b.right() + 1, b.bottom() + 1};
    }
    return RegionKind(clip);
}

bool CDC::Visible(int x, int y) const {
    // Asked once per pixel set: tested without building the clip region.
    const QPoint device(x - m_state.windowOrg.x, y - m_state.windowOrg.y);
    return SurfaceRect().contains(device) && (!m_state.clipped || m_state.clip.contains(device));
}

QFont CDC::CurrentQFont() const {
    return m_state.font->font;
}

namespace {

// Calls write(row, left, right, y) for every run of pixels of `device` that `clip` (null: none)
// lets through, on a 32-bit surface whose rows `write` changes in place. A control's paint is
// hundreds of small fills (grid lines, bars, tips, frames), and a painter for each would cost more
// than the fill itself.
template <class WriteRun>
void ForEachClippedRun(QImage& surface, const QRect& device, const QRegion* clip, WriteRun write) {
    const QRect area = device.intersected(surface.rect());
    if (area.isEmpty())
        return;
    uchar* const bits = surface.bits();
    const qsizetype stride = surface.bytesPerLine();
    const auto runs = [&](const QRect& r) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            write(reinterpret_cast<QRgb*>(bits + y * stride), r.left(), r.right() + 1, y);
    };
    if (clip == nullptr) {
        runs(area);
        return;
    }
    for (const QRect& r : clip->intersected(area))
        runs(r);
}

// The position inside a pattern of `size` pixels that `coordinate` falls on.
int PatternIndex(int coordinate, int origin, int size) {
    const int offset = (coordinate - origin) % size;
    return offset < 0 ? offset + size : offset;
}

} // namespace

void CDC::FillColor(const QRect& logical, COLORREF color) {
    QImage* s = Surface();
    if (s == nullptr || logical.isEmpty())
        return;
    const QRect device = logical.translated(-m_state.windowOrg.x, -m_state.windowOrg.y);
    if (s->format() == QImage::Format_RGB32) {
        const QRgb pixel = ToQColor(color).rgb();
        ForEachClippedRun(*s, device, m_state.clipped ? &m_state.clip : nullptr,
                          [pixel](QRgb* row, int left, int right, int) {
                              // Vertical lines come one pixel per row; a fill loop's set-up
                              // would cost several times the store.
                              if (right - left == 1)
                                  row[left] = pixel;
                              else
                                  std::fill(row + left, row + right, pixel);
                          });
        return;
    }
    QPainter p(s);
    p.setClipRegion(EffectiveClip());
    p.fillRect(device, ToQColor(color));
}

void CDC::Fill(const QRect& logical, HBRUSH brush) {
    if (brush == nullptr || brush->hollow)
        return;
    if (brush->pattern.isNull()) {
        FillColor(logical, brush->color);
        return;
    }
    QImage* s = Surface();
    if (s == nullptr || logical.isEmpty())
        return;
    const QRect device = logical.translated(-m_state.windowOrg.x, -m_state.windowOrg.y);
    // The brush origin is in device coordinates: pattern pixel (0,0) lands on it.
    const POINT origin = m_state.brushOrg;
    const QImage& pattern = brush->pattern;
    if (s->format() == QImage::Format_RGB32 && pattern.format() == QImage::Format_RGB32) {
        ForEachClippedRun(*s, device, m_state.clipped ? &m_state.clip : nullptr,
                          [&pattern, origin](QRgb* row, int left, int right, int y) {
                              const auto* source =
                                  reinterpret_cast<const QRgb*>(pattern.constScanLine(
                                      PatternIndex(y, origin.y, pattern.height())));
                              for (int x = left; x < right; ++x)
                                  row[x] = source[PatternIndex(x, origin.x, pattern.width())];
                          });
        return;
    }
    QPainter p(s);
    p.setClipRegion(EffectiveClip());
    p.setCompositionMode(kCopy);
    p.setBrushOrigin(origin.x, origin.y);
    p.fillRect(device, QBrush(pattern));
}

bool CDC::MoveToEx(int x, int y, POINT* previous) {
    const POINT old = std::exchange(m_state.position, POINT{x, y});
    if (previous != nullptr)
        *previous = old;
    return true;
}

bool CDC::LineTo(int x, int y) {
    const POINT from = std::exchange(m_state.position, POINT{x, y});
    const COLORREF color = m_state.pen->color;
    // The end point itself is never drawn.
    if (from.y == y) {
        if (from.x < x)
            FillColor(QRect(from.x, y, x - from.x, 1), color);
        else if (from.x > x)
            FillColor(QRect(x + 1, y, from.x - x, 1), color);
        return true;
    }
    if (from.x == x) {
        if (from.y < y)
            FillColor(QRect(x, from.y, 1, y - from.y), color);
        else
            FillColor(QRect(x, y + 1, 1, from.y - y), color);
        return true;
    }
    // Sloped lines step pixel by pixel along the major axis.
    const int dx = std::abs(x - from.x);
    const int dy = std::abs(y - from.y);
    const int sx = from.x < x ? 1 : -1;
    const int sy = from.y < y ? 1 : -1;
    int err = dx - dy;
    int cx = from.x;
    int cy = from.y;
    while (cx != x || cy != y) {
        FillColor(QRect(cx, cy, 1, 1), color);
        const int e2 = 2 * err;
        if (e2 > -dy) {
            err -= dy;
            cx += sx;
        }
        if (e2 < dx) {
            err += dx;
            cy += sy;
        }
    }
    return true;
}

bool CDC::Rectangle(const RECT& r) {
    // Either corner may come first.
    const auto [left, right] = std::minmax(r.left, r.right);
    const auto [top, bottom] = std::minmax(r.top, r.bottom);
    Fill(QRect(left + 1, top + 1, right - left - 2, bottom - top - 2), m_state.brush);
    const COLORREF c = m_state.pen->color;
    const int w = right - left;
    const int h = bottom - top;
    FillColor(QRect(left, top, w, 1), c);
    FillColor(QRect(left, bottom - 1, w, 1), c);
    FillColor(QRect(left, top, 1, h), c);
    FillColor(QRect(right - 1, top, 1, h), c);
    return true;
}

void CDC::FillRect(const RECT& r, HBRUSH brush) {
    Fill(ToQRect(r), brush);
}

void CDC::FillSolidRect(const RECT& r, COLORREF color) {
    FillColor(ToQRect(r), color);
}

bool CDC::SetPixelV(int x, int y, COLORREF color) {
    FillColor(QRect(x, y, 1, 1), color);
    return true;
}

COLORREF CDC::GetPixel(int x, int y) const {
    const QImage* s = Surface();
    if (s == nullptr || !Visible(x, y))
        return CLR_INVALID;
    const QRgb px = s->pixel(x - m_state.windowOrg.x, y - m_state.windowOrg.y);
    return RGB(qRed(px), qGreen(px), qBlue(px));
}

void CDC::DrawFocusRect(const RECT& r) {
    QImage* s = Surface();
    if (s == nullptr || IsRectEmpty(r))
        return;
    // A dotted frame that inverts every other pixel, so drawing it twice removes it.
    const QRegion clip = EffectiveClip();
    auto invert = [&](int x, int y) {
        if (((x + y) & 1) != 0)
            return;
        const QPoint d(x - m_state.windowOrg.x, y - m_state.windowOrg.y);
        if (!clip.contains(d))
            return;
        const QRgb px = s->pixel(d);
        s->setPixel(d, px ^ 0x00FFFFFFu);
    };
    for (int x = r.left; x < r.right; ++x) {
        invert(x, r.top);
        if (r.bottom - 1 != r.top)
            invert(x, r.bottom - 1);
    }
    for (int y = r.top + 1; y < r.bottom - 1; ++y) {
        invert(r.left, y);
        if (r.right - 1 != r.left)
            invert(r.right - 1, y);
    }
}

namespace {

// Laying a text out costs far more than drawing it, and the traffic graph draws its text twice a
// paint, ten paints a second, while the text changes once a second: the last few layouts are
// kept. They go when the application does, before the fonts they use.
QStaticText& LaidOutText(const QString& text, const QFont& font) {
    struct Layout {
        QString text;
        QFont font;
        QStaticText laidOut;
    };
    static std::array<std::optional<Layout>, 4> layouts;
    static std::size_t next = 0;
    static const bool released = [] {
        qAddPostRoutine([] { layouts.fill(std::nullopt); });
        return true;
    }();
    (void)released;
    for (auto& layout : layouts)
        if (layout && layout->text == text && layout->font == font)
            return layout->laidOut;
    auto& layout = layouts[next];
    next = (next + 1) % layouts.size();
    layout.emplace(Layout{text, font, QStaticText(text)});
    layout->laidOut.setTextFormat(Qt::PlainText);
    layout->laidOut.prepare(QTransform(), font);
    return layout->laidOut;
}

} // namespace

bool CDC::TextOutA(int x, int y, std::string_view utf8) {
    QImage* s = Surface();
    if (s == nullptr)
        return false;
    const QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    const QFont font = CurrentQFont();
    const QPoint d(x - m_state.windowOrg.x, y - m_state.windowOrg.y);
    QPainter p(s);
    p.setClipRegion(EffectiveClip());
    p.setRenderHint(QPainter::TextAntialiasing, false);
    if (m_state.bkMode == OPAQUE) {
        const QFontMetrics fm(font);
        p.fillRect(QRect(d, QSize(fm.horizontalAdvance(text), fm.height())),
                   ToQColor(m_state.bkColor));
    }
    p.setFont(font);
    p.setPen(ToQColor(m_state.textColor));
    p.drawStaticText(d, LaidOutText(text, font));
    return true;
}

int CDC::DrawText(const QString& text, RECT* r, unsigned format) {
    QImage* s = Surface();
    if (s == nullptr || r == nullptr)
        return 0;
    int flags = (format & DT_CENTER) != 0 ? Qt::AlignHCenter : Qt::AlignLeft;
    if ((format & DT_SINGLELINE) != 0) {
        flags |= Qt::TextSingleLine;
        flags |= (format & DT_VCENTER) != 0 ? Qt::AlignVCenter : Qt::AlignTop;
    } else {
        flags |= Qt::AlignTop;
    }
    // '&' marks the next character as the mnemonic and is not drawn; "&&" draws one '&'.
    flags |= Qt::TextShowMnemonic;

    const QRect device = ToQRect(*r).translated(-m_state.windowOrg.x, -m_state.windowOrg.y);
    const QFont font = CurrentQFont();
    QPainter p(s);
    p.setClipRegion(EffectiveClip().intersected(QRegion(device)));
    p.setRenderHint(QPainter::TextAntialiasing, false);
    p.setFont(font);
    const QRect bounds = p.boundingRect(device, flags, text);
    if (m_state.bkMode == OPAQUE)
        p.fillRect(bounds, ToQColor(m_state.bkColor));
    p.setPen(ToQColor(m_state.textColor));
    p.drawText(device, flags, text);
    return bounds.height();
}

bool CDC::BitBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc,
                 unsigned /*rop*/) {
    QImage* dst = Surface();
    if (dst == nullptr || source == nullptr || source->Surface() == nullptr)
        return false;
    const QRect to(x - m_state.windowOrg.x, y - m_state.windowOrg.y, width, height);
    const QRect from(xSrc - source->m_state.windowOrg.x, ySrc - source->m_state.windowOrg.y, width,
                     height);
    const QImage* const sourceSurface = source->Surface();
    if (sourceSurface != dst && dst->format() == QImage::Format_RGB32 &&
        sourceSurface->format() == QImage::Format_RGB32) {
        // Row by row: a painter clipped to a region of many rows would hand the copy to Qt's
        // thread pool, whose wake-ups cost more than the copy itself.
        const QPoint shift = from.topLeft() - to.topLeft();
        const QRect covered = to.intersected(sourceSurface->rect().translated(-shift));
        ForEachClippedRun(
            *dst, covered, m_state.clipped ? &m_state.clip : nullptr,
            [sourceSurface, shift](QRgb* row, int left, int right, int y) {
                const auto* pixels =
                    reinterpret_cast<const QRgb*>(sourceSurface->constScanLine(y + shift.y()));
                std::copy(pixels + left + shift.x(), pixels + right + shift.x(), row + left);
            });
        return true;
    }
    // Copying within one surface needs a snapshot of the source first.
    const QImage src = source->Surface() == dst ? dst->copy(from) : source->Surface()->copy(from);
    QPainter p(dst);
    p.setClipRegion(EffectiveClip());
    p.setCompositionMode(kCopy);
    p.drawImage(to.topLeft(), src);
    return true;
}

const QImage& DrawOwnerDrawnItem(QImage& buffer, QSize size, unsigned itemState,
                                 const std::function<void(DRAWITEMSTRUCT&)>& drawItem) {
    if (buffer.size() != size)
        buffer = QImage(size, QImage::Format_RGB32);
    CDC itemDc(&buffer);
    DRAWITEMSTRUCT item;
    item.hDC = &itemDc;
    item.itemState = itemState;
    item.rcItem = RECT{0, 0, size.width(), size.height()};
    drawItem(item);
    return buffer;
}
