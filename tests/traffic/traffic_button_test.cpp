#include "traffic/traffic_button.h"

#include <QApplication>
#include <QPalette>

#include <gtest/gtest.h>

#include "perf_answer_builder.h"
#include "platform/region.h"
#include "traffic/mem_dc.h"

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 60;
constexpr COLORREF kBackground = RGB(0, 0, 75);
constexpr COLORREF kText = RGB(0, 255, 255);
constexpr COLORREF kGrid = RGB(32, 64, 32);

COLORREF PixelAt(const QImage& image, int x, int y) {
    const QRgb px = image.pixel(x, y);
    return RGB(qRed(px), qGreen(px), qBlue(px));
}

class TrafficButtonTest : public testing::Test {
protected:
    TrafficButtonTest() : button(nullptr, query) {}

    void SetUp() override {
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::Button, QColor(236, 233, 216));
        QApplication::setPalette(palette);
        button.setGeometry(0, 0, kWidth, kHeight);
        button.setObjectName(QStringLiteral("trafficGraph"));
        button.PreSubclassWindow();
    }

    // The next sampling tick reads this byte total from the only interface.
    void Tick(std::uint32_t total) {
        query.Answer(BuildAnswer({InterfaceObject({{"eth0", total, 0}})}).bytes);
        button.OnTimer(TrafficButton::kSamplingTimer);
    }

    // A paint into an image that starts in a colour the control never uses.
    QImage Paint() {
        QImage image(kWidth, kHeight, QImage::Format_RGB32);
        image.fill(Qt::magenta);
        DrawOwnerDrawnItem(image, image.size(), 0,
                           [this](DRAWITEMSTRUCT& item) { button.DrawItem(&item); });
        return image;
    }

    ScriptedQuery query = [] {
        ScriptedQuery q;
        q.Answer(BuildAnswer({InterfaceObject({{"eth0", 0, 0}})}).bytes);
        return q;
    }();
    TrafficButton button;
};

TEST_F(TrafficButtonTest, SetUpShapesTheWindowAndStartsBothTimers) {
    EXPECT_EQ(button.Graph().PlotCount(), 100u);
    EXPECT_EQ(button.Graph().History().size(), 101u);
    EXPECT_EQ(button.Timers().Period(TrafficButton::kRedrawTimer), 50);
    EXPECT_EQ(button.Timers().Period(TrafficButton::kSamplingTimer), 1000);

    QRegion expected;
    for (const auto& s : RoundRectRegion(0, 0, kWidth, kHeight, 5, 5))
        expected += QRect(s.left, s.y, s.right - s.left, 1);
    EXPECT_EQ(button.mask(), expected);
    EXPECT_EQ(button.ClipRegion(), expected);
    EXPECT_FALSE(button.mask().contains(QPoint(0, 0)));
    EXPECT_FALSE(button.mask().contains(QPoint(kWidth - 1, kHeight - 1)));
    EXPECT_TRUE(button.mask().contains(QPoint(2, 0)));
}

TEST_F(TrafficButtonTest, GrabShowsPanelGridBarsAndTips) {
    // Samples 6000 and then 3000 bytes: the 6000 scales the bars, the 3000 is half the height.
    Tick(1000);  // primes: 0.0
    Tick(7000);  // 6000
    Tick(10000); // 3000
    Tick(10000); // 0: the 3000 moves into the rightmost drawn slot
    ASSERT_EQ(button.Graph().Maximum(), 6000.0);

    const QImage image = button.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(image.size(), QSize(kWidth, kHeight));

    // The first paint draws the grid at offset 0: vertical lines at x = 0, 10, ...; horizontal
    // ones at y = 58, 48, ...
    EXPECT_EQ(PixelAt(image, 155, 53), kBackground);
    EXPECT_EQ(PixelAt(image, 150, 53), kGrid);
    EXPECT_EQ(PixelAt(image, 155, 58), kGrid);
    EXPECT_EQ(PixelAt(image, 155, 59), kBackground);

    // Rightmost bar (slot 99 at x 198..199): 3000 of 6000 is 30 of 60 rows; its tip is the text
    // colour; below it the pattern, anchored at the bottom edge: d rows above the bottom show
    // pattern row 60 - d.
    EXPECT_EQ(PixelAt(image, 198, 30), kText);
    EXPECT_EQ(PixelAt(image, 199, 30), TrafficGraph::PatternRowColour(30, kHeight));
    EXPECT_EQ(PixelAt(image, 198, 31), TrafficGraph::PatternRowColour(31, kHeight));
    EXPECT_EQ(PixelAt(image, 199, 57), RGB(242, 12, 64));
    // The corners lie outside the outline: no panel, grid or bar colour there.
    for (const QPoint corner : {QPoint(0, 0), QPoint(kWidth - 1, 0), QPoint(0, kHeight - 1),
                                QPoint(kWidth - 1, kHeight - 1)}) {
        const COLORREF c = PixelAt(image, corner.x(), corner.y());
        EXPECT_NE(c, kBackground) << corner.x() << "," << corner.y();
        EXPECT_NE(c, kGrid) << corner.x() << "," << corner.y();
        EXPECT_NE(c, RGB(250, 4, 64)) << corner.x() << "," << corner.y();
    }
    EXPECT_EQ(PixelAt(image, 198, 29), kBackground);
    // The 6000 bar (slot 98) fills the whole height; the top row is the tip.
    EXPECT_EQ(PixelAt(image, 196, 0), kText);
    EXPECT_EQ(PixelAt(image, 197, 1), TrafficGraph::PatternRowColour(1, kHeight));
    // No other bar.
    EXPECT_EQ(PixelAt(image, 194, 55), kBackground);

    // The status text is in the text colour somewhere near the top left.
    int textPixels = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 150; ++x)
            textPixels += PixelAt(image, x, y) == kText ? 1 : 0;
    EXPECT_GT(textPixels, 20);
    EXPECT_EQ(button.Graph().StatusText(), "0.0 / 5.9 KB/sec");
}

TEST_F(TrafficButtonTest, CornersOutsideTheOutlineAreNotPainted) {
    const QImage image = Paint();
    const QRegion outline = button.ClipRegion();
    int unpaintedInside = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const bool painted = PixelAt(image, x, y) != RGB(255, 0, 255);
            if (!outline.contains(QPoint(x, y)))
                EXPECT_FALSE(painted) << x << "," << y;
            else
                unpaintedInside += painted ? 0 : 1;
        }
    EXPECT_EQ(unpaintedInside, 0);
    for (const QPoint corner : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(kWidth - 1, 0),
                                QPoint(0, kHeight - 1), QPoint(kWidth - 2, kHeight - 1)})
        EXPECT_FALSE(outline.contains(corner)) << corner.x() << "," << corner.y();
}

TEST_F(TrafficButtonTest, EachPaintScrollsTheGrid) {
    // The horizontal line at y 58 stays; the vertical lines move left by one per paint.
    const int expectedOffsets[] = {0, 10, 9, 8};
    for (const int offset : expectedOffsets) {
        const QImage image = Paint();
        EXPECT_EQ(PixelAt(image, 100 + offset, 40), kGrid) << offset;
        EXPECT_EQ(PixelAt(image, 101 + offset, 40), kBackground) << offset;
        EXPECT_EQ(PixelAt(image, 77, 58), kGrid);
    }
}

TEST_F(TrafficButtonTest, SelectInterfaceClearsTheGraphAndPrimesTheSampler) {
    Tick(1000);
    Tick(5000);
    Tick(9000);
    ASSERT_GT(button.Graph().Maximum(), 0.0);
    const int calls = query.state().calls();

    button.SelectInterface(0);
    EXPECT_EQ(button.Graph().Maximum(), 0.0);
    for (double slot : button.Graph().History())
        EXPECT_EQ(slot, 0.0);
    EXPECT_EQ(query.state().calls(), calls + 2);
    // Primed: the next tick already gives a difference.
    Tick(9500);
    EXPECT_EQ(button.Graph().History().back(), 500.0);
    EXPECT_EQ(button.Graph().Maximum(), 500.0);

    button.SetTimerIntervals(1000, 100);
    EXPECT_EQ(button.Timers().Period(TrafficButton::kRedrawTimer), 100);
    EXPECT_EQ(button.Timers().Period(TrafficButton::kSamplingTimer), 1000);
}

TEST_F(TrafficButtonTest, FailedQueryFillsEveryBarAndShowsZero) {
    query.state().failWith = 5;
    for (int i = 0; i < 3; ++i)
        button.OnTimer(TrafficButton::kSamplingTimer);
    EXPECT_EQ(button.Graph().Maximum(), 1.0);
    EXPECT_EQ(button.Graph().StatusText(), "0.0 / 0.0 KB/sec");
    const QImage image = Paint();
    // Slots 98 and 99 hold 1.0: full height, tip at the top.
    EXPECT_EQ(PixelAt(image, 196, 0), kText);
    EXPECT_EQ(PixelAt(image, 194, 30), kBackground);
}

TEST(TrafficButtonBeforeSetUp, PaintsNothingOfItsOwnAndLaterPaintsBars) {
    ScriptedQuery query;
    query.Answer(BuildAnswer({InterfaceObject({{"eth0", 0, 0}})}).bytes);
    TrafficButton button(nullptr, query);
    button.resize(40, 20);
    QImage image(40, 20, QImage::Format_RGB32);
    auto paint = [&] {
        image.fill(Qt::magenta);
        DrawOwnerDrawnItem(image, image.size(), 0,
                           [&](DRAWITEMSTRUCT& item) { button.DrawItem(&item); });
    };
    paint();
    EXPECT_EQ(PixelAt(image, 20, 10), RGB(255, 0, 255));
    EXPECT_FALSE(button.Timers().IsActive(TrafficButton::kSamplingTimer));

    // The early paint had no height to make the bar pattern of; the first real one makes it.
    button.PreSubclassWindow();
    query.state().failWith = 5; // each sample 1.0: full-height bars
    for (int i = 0; i < 3; ++i)
        button.OnTimer(TrafficButton::kSamplingTimer);
    paint();
    EXPECT_EQ(PixelAt(image, 36, 0), RGB(0, 255, 255));
    EXPECT_EQ(PixelAt(image, 38, 10), TrafficGraph::PatternRowColour(10, 20));
}

TEST(CMemDCTest, CopiesTheDrawingToTheTargetWithinItsClip) {
    QImage image(20, 10, QImage::Format_RGB32);
    image.fill(Qt::black);
    CDC target(&image);
    const QRegion clip(QRect(5, 2, 10, 6));
    target.SelectClipRgn(&clip);
    {
        CMemDC mem(&target);
        EXPECT_EQ(mem.Rect().left, 5);
        EXPECT_EQ(mem.Rect().top, 2);
        EXPECT_EQ(mem.Rect().right, 15);
        EXPECT_EQ(mem.Rect().bottom, 8);
        // Logical coordinates are the target's.
        mem.FillSolidRect(RECT{0, 0, 20, 10}, RGB(255, 255, 255));
        mem.SetPixelV(5, 2, RGB(255, 0, 0));
        // Nothing reaches the target before the end.
        EXPECT_EQ(PixelAt(image, 6, 3), RGB(0, 0, 0));
    }
    EXPECT_EQ(PixelAt(image, 5, 2), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(image, 6, 3), RGB(255, 255, 255));
    EXPECT_EQ(PixelAt(image, 14, 7), RGB(255, 255, 255));
    EXPECT_EQ(PixelAt(image, 4, 2), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(image, 15, 7), RGB(0, 0, 0));
    EXPECT_EQ(PixelAt(image, 5, 8), RGB(0, 0, 0));
}

} // namespace
