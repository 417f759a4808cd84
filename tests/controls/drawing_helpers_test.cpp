#include <gtest/gtest.h>

#include <QWidget>

#include "controls/buffer_dc.h"
#include "controls/hover_tracker.h"
#include "controls/selected_objects.h"

namespace {

constexpr COLORREF kPaper = RGB(250, 250, 250);
constexpr COLORREF kRed = RGB(200, 0, 0);
constexpr COLORREF kBlue = RGB(0, 0, 200);

struct Target {
    QImage image{20, 16, QImage::Format_RGB32};
    CDC dc{&image};
    Target() { dc.FillSolidRect(RECT{0, 0, 20, 16}, kPaper); }
};

TEST(SelectedObjects, PutThePreviousObjectsBackInReverseOrder) {
    Target t;
    const HPEN pen0 = t.dc.GetCurrentPen();
    const HBRUSH brush0 = t.dc.GetCurrentBrush();
    const HFONT font0 = t.dc.GetCurrentFont();
    t.dc.SetTextColor(kBlue);
    {
        SelectedFont font;
        font.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        font.dc = &t.dc;
        font.previous = t.dc.SelectObject(font.font);
        font.previousTextColor = t.dc.SetTextColor(kRed);
        SelectedPen pen(&t.dc, kRed);
        SelectedBrush brush(&t.dc, kNoColor);
        EXPECT_EQ(t.dc.GetCurrentBrush(), GetStockObject(NULL_BRUSH));
        // Changing colours keeps the first previous object as the one to restore.
        pen.SetColor(kBlue);
        brush.SetColor(kRed);
        brush.SetColor(kBlue);
        EXPECT_EQ(t.dc.GetCurrentPen()->color, kBlue);
        EXPECT_EQ(t.dc.GetCurrentBrush()->color, kBlue);
        EXPECT_EQ(t.dc.GetCurrentFont(), font.font);
        t.dc.Rectangle(RECT{0, 0, 6, 6});
    }
    EXPECT_EQ(t.dc.GetCurrentPen(), pen0);
    EXPECT_EQ(t.dc.GetCurrentBrush(), brush0);
    EXPECT_EQ(t.dc.GetCurrentFont(), font0);
    EXPECT_EQ(t.dc.GetTextColor(), kBlue);
    EXPECT_EQ(t.dc.GetPixel(0, 0), kBlue);
    EXPECT_EQ(t.dc.GetPixel(3, 3), kBlue);
}

TEST(SelectedObjects, HollowBrushLeavesTheInsideAndFontWithoutColourKeepsTextColour) {
    Target t;
    t.dc.SetTextColor(kBlue);
    {
        SelectedFont font; // nothing selected: nothing to restore
        font.dc = &t.dc;
        SelectedPen pen(&t.dc, kRed);
        SelectedBrush brush(&t.dc, kNoColor);
        t.dc.Rectangle(RECT{2, 2, 10, 10});
        t.dc.SetTextColor(kRed);
    }
    EXPECT_EQ(t.dc.GetPixel(2, 2), kRed);
    EXPECT_EQ(t.dc.GetPixel(5, 5), kPaper);
    EXPECT_EQ(t.dc.GetTextColor(), kRed);
}

TEST(BufferDC, CopiesOnlyTheBufferedRectangleAndOnlyAtTheEnd) {
    Target t;
    {
        const RECT area{4, 3, 12, 9};
        CBufferDC buffer(&t.dc, &area);
        EXPECT_EQ(buffer.Surface()->width(), 12);
        EXPECT_EQ(buffer.Surface()->height(), 9);
        buffer.FillSolidRect(RECT{0, 0, 20, 16}, kRed); // spills outside on purpose
        EXPECT_EQ(t.dc.GetPixel(5, 5), kPaper) << "nothing reaches the target before the end";
        EXPECT_EQ(buffer.GetPixel(4, 3), kRed);
        EXPECT_EQ(buffer.GetPixel(3, 3), CLR_INVALID) << "left of the rectangle is clipped";
        EXPECT_EQ(buffer.GetPixel(4, 2), CLR_INVALID) << "above the rectangle is clipped";
    }
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= 4 && x < 12 && y >= 3 && y < 9;
            EXPECT_EQ(t.dc.GetPixel(x, y), inside ? kRed : kPaper) << x << "," << y;
        }
}

TEST(BufferDC, EmptyRectangleBuffersTheTargetClipBoxAndOriginRectangleExcludesNothing) {
    Target t;
    const QRegion clip(QRect(5, 2, 6, 7));
    t.dc.SelectClipRgn(&clip);
    {
        CBufferDC buffer(&t.dc, nullptr);
        const RECT& r = buffer.BufferedRect();
        EXPECT_EQ(r.left, 5);
        EXPECT_EQ(r.top, 2);
        EXPECT_EQ(r.right, 11);
        EXPECT_EQ(r.bottom, 9);
        buffer.FillSolidRect(RECT{0, 0, 20, 16}, kBlue);
    }
    EXPECT_EQ(t.dc.GetPixel(5, 2), kBlue);
    EXPECT_EQ(t.dc.GetPixel(10, 8), kBlue);
    t.dc.SelectClipRgn(nullptr);
    EXPECT_EQ(t.dc.GetPixel(4, 2), kPaper);
    EXPECT_EQ(t.dc.GetPixel(11, 8), kPaper);

    const RECT origin{0, 0, 7, 5};
    CBufferDC whole(&t.dc, &origin);
    RECT box{};
    EXPECT_EQ(whole.GetClipBox(&box), SIMPLEREGION);
    EXPECT_EQ(box.left, 0);
    EXPECT_EQ(box.top, 0);
    EXPECT_EQ(box.right, 7);
    EXPECT_EQ(box.bottom, 5);
}

TEST(HoverTracker, ControlAndChildCountAsOneAreaAndStaleLeavesAreIgnored) {
    QWidget owner;
    QWidget child(&owner);
    QWidget other;
    HoverTracker tracker;
    tracker.owner = &owner;
    tracker.flags = 1;

    struct Step {
        const char* what;
        bool leave;
        QWidget* window;
        int hover;
        QWidget* tracked;
    };
    const Step steps[] = {
        {"move over the control", false, nullptr, 1, &owner},
        {"move again", false, &owner, 1, &owner},
        {"move into the child", false, &child, 1, &child},
        {"stale leave of the control", true, nullptr, 1, &child},
        {"leave of an unrelated window", true, &other, 1, &child},
        {"leave of the child", true, &child, 0, &child},
        {"back over the control", false, nullptr, 1, &owner},
        {"leave of the control", true, &owner, 0, &owner},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.leave)
            EndHover(tracker, s.window);
        else
            TrackHover(tracker, s.window);
        EXPECT_EQ(tracker.hover, s.hover);
        EXPECT_EQ(tracker.tracked, s.tracked);
    }
}

} // namespace
