#include <gtest/gtest.h>

#include "platform/gdi.h"

namespace {

constexpr COLORREF kPaper = RGB(255, 255, 255);
constexpr COLORREF kInk = RGB(10, 20, 200);
constexpr COLORREF kFill = RGB(0, 160, 0);

// A white memory context of the given size.
struct Canvas {
    CDC dc;
    CBitmap bitmap;
    Canvas(int w, int h) {
        dc.CreateCompatibleDC(nullptr);
        bitmap.CreateCompatibleBitmap(&dc, w, h);
        dc.SelectObject(bitmap.GetSafeHandle());
        dc.FillSolidRect(RECT{0, 0, w, h}, kPaper);
    }
};

struct LineCase {
    const char* name;
    POINT from;
    POINT to;
    std::vector<POINT> drawn;
};

TEST(GdiLine, CoversTheStartButNotTheEndPoint) {
    const std::vector<LineCase> cases = {
        {"rightwards", {2, 3}, {6, 3}, {{2, 3}, {3, 3}, {4, 3}, {5, 3}}},
        {"leftwards", {6, 3}, {2, 3}, {{6, 3}, {5, 3}, {4, 3}, {3, 3}}},
        {"downwards", {4, 1}, {4, 4}, {{4, 1}, {4, 2}, {4, 3}}},
        {"upwards", {4, 4}, {4, 1}, {{4, 4}, {4, 3}, {4, 2}}},
        {"diagonal", {1, 1}, {4, 4}, {{1, 1}, {2, 2}, {3, 3}}},
        {"zero length", {3, 3}, {3, 3}, {}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        Canvas canvas(8, 8);
        CPen pen;
        pen.CreatePen(PS_SOLID, 1, kInk);
        HPEN old = canvas.dc.SelectObject(pen.GetSafeHandle());
        canvas.dc.MoveToEx(c.from.x, c.from.y, nullptr);
        canvas.dc.LineTo(c.to.x, c.to.y);
        canvas.dc.SelectObject(old);
        int inked = 0;
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                inked += canvas.dc.GetPixel(x, y) == kInk ? 1 : 0;
        EXPECT_EQ(inked, static_cast<int>(c.drawn.size()));
        for (const POINT& p : c.drawn)
            EXPECT_EQ(canvas.dc.GetPixel(p.x, p.y), kInk) << p.x << "," << p.y;
        EXPECT_EQ(canvas.dc.GetPixel(c.to.x, c.to.y), kPaper);
    }
}

TEST(GdiRectangle, FramesInsideTheBoundsAndFillsTheInside) {
    Canvas canvas(12, 10);
    CPen pen;
    pen.CreatePen(PS_SOLID, 1, kInk);
    CBrush brush(kFill);
    canvas.dc.SelectObject(pen.GetSafeHandle());
    canvas.dc.SelectObject(brush.GetSafeHandle());
    canvas.dc.Rectangle(RECT{2, 1, 9, 7}); // frame on columns 2..8, rows 1..6

    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 12; ++x) {
            const bool inside = x >= 2 && x <= 8 && y >= 1 && y <= 6;
            const bool edge = inside && (x == 2 || x == 8 || y == 1 || y == 6);
            const COLORREF want = edge ? kInk : inside ? kFill : kPaper;
            EXPECT_EQ(canvas.dc.GetPixel(x, y), want) << x << "," << y;
        }
    }

    // A hollow brush leaves the inside alone.
    Canvas hollow(6, 6);
    hollow.dc.SelectObject(pen.GetSafeHandle());
    hollow.dc.SelectStockObject(NULL_BRUSH);
    hollow.dc.Rectangle(RECT{0, 0, 6, 6});
    EXPECT_EQ(hollow.dc.GetPixel(0, 0), kInk);
    EXPECT_EQ(hollow.dc.GetPixel(5, 5), kInk);
    EXPECT_EQ(hollow.dc.GetPixel(3, 3), kPaper);
}

TEST(GdiPatternBrush, PatternRowZeroLandsOnTheBrushOrigin) {
    // A 2 x 5 pattern whose rows are told apart by their red channel.
    Canvas pattern(2, 5);
    for (int y = 0; y < 5; ++y) {
        pattern.dc.SetPixelV(0, y, RGB(y * 50, 0, 0));
        pattern.dc.SetPixelV(1, y, RGB(y * 50, 99, 0));
    }
    CBrush brush;
    ASSERT_TRUE(brush.CreatePatternBrush(&pattern.bitmap));

    for (const POINT origin : {POINT{0, 0}, POINT{4, 9}, POINT{3, 7}}) {
        SCOPED_TRACE(testing::Message() << "origin " << origin.x << "," << origin.y);
        Canvas canvas(10, 12);
        POINT previous{-1, -1};
        canvas.dc.SetBrushOrgEx(origin.x, origin.y, &previous);
        EXPECT_EQ(previous.x, 0);
        EXPECT_EQ(previous.y, 0);
        RECT area{1, 1, 9, 11};
        canvas.dc.FillRect(area, brush.GetSafeHandle());
        for (int y = area.top; y < area.bottom; ++y) {
            for (int x = area.left; x < area.right; ++x) {
                const int row = ((y - origin.y) % 5 + 5) % 5;
                const int column = ((x - origin.x) % 2 + 2) % 2;
                EXPECT_EQ(canvas.dc.GetPixel(x, y), RGB(row * 50, column == 0 ? 0 : 99, 0))
                    << x << "," << y;
            }
        }
        EXPECT_EQ(canvas.dc.GetPixel(0, 0), kPaper);
        POINT now{};
        canvas.dc.GetBrushOrgEx(&now);
        EXPECT_EQ(now.x, origin.x);
        EXPECT_EQ(now.y, origin.y);
    }
}

} // namespace

namespace {

TEST(GdiContextState, RestoreBringsBackObjectsColoursOriginsAndClipping) {
    Canvas canvas(10, 10);
    CDC& dc = canvas.dc;
    CPen pen;
    pen.CreatePen(PS_SOLID, 1, kInk);
    const HPEN stockPen = dc.GetCurrentPen();
    const int saved = dc.SaveDC();

    dc.SelectObject(pen.GetSafeHandle());
    dc.SetTextColor(kFill);
    dc.SetBkMode(TRANSPARENT);
    dc.SetBrushOrgEx(3, 4, nullptr);
    dc.SetWindowOrg(2, 1);
    const QRegion clip(QRect(0, 0, 5, 5));
    dc.SelectClipRgn(&clip);
    // With the window origin at (2,1), logical (4,3) is device (2,2).
    dc.SetPixelV(4, 3, kInk);
    dc.SetPixelV(9, 9, kInk); // device (7,8): clipped away
    RECT box{};
    EXPECT_EQ(dc.GetClipBox(&box), SIMPLEREGION);
    EXPECT_EQ(box.left, 2);
    EXPECT_EQ(box.top, 1);
    EXPECT_EQ(box.right, 7);
    EXPECT_EQ(box.bottom, 6);

    ASSERT_TRUE(dc.RestoreDC(saved));
    EXPECT_EQ(dc.GetCurrentPen(), stockPen);
    EXPECT_EQ(dc.GetTextColor(), RGB(0, 0, 0));
    EXPECT_EQ(dc.GetBkMode(), OPAQUE);
    POINT brushOrigin{-1, -1};
    dc.GetBrushOrgEx(&brushOrigin);
    EXPECT_EQ(brushOrigin.x, 0);
    EXPECT_EQ(brushOrigin.y, 0);
    EXPECT_EQ(dc.GetPixel(2, 2), kInk) << "the window origin is back at (0,0)";
    EXPECT_EQ(dc.GetPixel(7, 8), kPaper) << "readable again once the clip region is gone";
    EXPECT_FALSE(dc.RestoreDC(-1)) << "nothing left to restore";

    // Copy from one context to another, each with its own window origin.
    Canvas copy(10, 10);
    copy.dc.SetWindowOrg(-1, -1);
    copy.dc.BitBlt(0, 0, 4, 4, &dc, 1, 1, SRCCOPY); // device (1,1) from device (1,1)
    EXPECT_EQ(copy.dc.GetPixel(1, 1), kInk);        // logical (1,1) = device (2,2)
    EXPECT_EQ(copy.dc.GetPixel(0, 0), kPaper);
}

} // namespace
