#include "controls/traffic_button.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "controls/pixel_rules.h"

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 60;
constexpr COLORREF kBackground = RGB(0, 0, 75);
constexpr COLORREF kText = RGB(0, 255, 255);
constexpr COLORREF kGrid = RGB(32, 64, 32);
constexpr COLORREF kMagenta = RGB(255, 0, 255);

COLORREF PixelAt(const QImage& image, int x, int y) {
    const QRgb px = image.pixel(x, y);
    return RGB(qRed(px), qGreen(px), qBlue(px));
}

// A /proc/net/dev and /sys/class/net listing one card, eth0, whose byte total the test sets.
class FixtureTree {
public:
    FixtureTree() {
        const std::filesystem::path root = m_folder.path().toStdString();
        std::filesystem::create_directories(root / "class" / "eth0");
        std::ofstream(root / "class" / "eth0" / "flags") << "0x1003\n";
        m_paths = {(root / "dev").string(), (root / "class").string()};
        Total(0);
    }
    void Total(std::uint32_t bytes) const {
        std::ofstream(m_paths.netDev) << "Inter-| Receive | Transmit\n face |bytes |bytes\n"
                                      << "  eth0: " << bytes << " 0 0 0 0 0 0 0 0 0 0 0\n";
    }
    // From now on every sample fails to read the table.
    void Remove() const { std::filesystem::remove(m_paths.netDev); }
    const NetDevPaths& Paths() const { return m_paths; }

private:
    QTemporaryDir m_folder;
    NetDevPaths m_paths;
};

int TimerPeriod(const TrafficButton& button, const char* name) {
    const auto* timer = button.findChild<QTimer*>(QString::fromLatin1(name));
    return timer != nullptr && timer->isActive() ? timer->interval() : -1;
}

// What Draw paints, on magenta.
QImage Paint(const TrafficButton& button, QSize size = {kWidth, kHeight}) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    button.Draw(painter);
    return image;
}

class TrafficButtonTest : public testing::Test {
protected:
    TrafficButtonTest() : button(&parent, tree.Paths()) {}

    void SetUp() override {
        QPalette palette = QApplication::palette();
        palette.setColor(QPalette::Button, QColor(236, 233, 216));
        QApplication::setPalette(palette);
        parent.resize(kWidth + 20, kHeight + 20);
        button.setGeometry(0, 0, kWidth, kHeight);
        button.setObjectName(QStringLiteral("trafficGraph"));
        button.PreSubclassWindow();
    }

    // The next sampling tick reads this byte total from the only interface.
    void Tick(std::uint32_t total) {
        tree.Total(total);
        button.OnSamplingTick();
    }

    FixtureTree tree;
    QWidget parent;
    TrafficButton button;
};

TEST_F(TrafficButtonTest, SetUpShapesTheWindowAndStartsBothTimers) {
    EXPECT_EQ(button.Graph().PlotCount(), 100u);
    EXPECT_EQ(button.Graph().History().size(), 101u);
    EXPECT_EQ(TimerPeriod(button, "redrawTimer"), 50);
    EXPECT_EQ(TimerPeriod(button, "samplingTimer"), 1000);
    EXPECT_EQ(button.mask(), RoundedRectRegion(QRect(0, 0, kWidth, kHeight), 5, 5));
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

    // Before any redraw tick the grid is at offset 0: vertical lines at x = 0, 10, ...;
    // horizontal ones at y = 58, 48, ...
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

TEST_F(TrafficButtonTest, OnlyTheOutlineReachesTheScreen) {
    parent.setAutoFillBackground(true);
    QPalette magenta = parent.palette();
    magenta.setColor(QPalette::Window, Qt::magenta);
    parent.setPalette(magenta);
    const QImage image = parent.grab(QRect(0, 0, kWidth, kHeight)).toImage();
    const QRegion outline = button.mask();
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            EXPECT_EQ(PixelAt(image, x, y) == kMagenta, !outline.contains(QPoint(x, y)))
                << x << "," << y;
}

TEST_F(TrafficButtonTest, RedrawTicksScrollTheGridAndPaintsDoNot) {
    // The horizontal line at y 58 stays; the vertical lines move left by one per tick.
    const int expectedOffsets[] = {0, 10, 9, 8};
    for (const int offset : expectedOffsets) {
        for (int paint = 0; paint < 2; ++paint) {
            const QImage image = Paint(button);
            EXPECT_EQ(PixelAt(image, 100 + offset, 40), kGrid) << offset;
            EXPECT_EQ(PixelAt(image, 101 + offset, 40), kBackground) << offset;
            EXPECT_EQ(PixelAt(image, 77, 58), kGrid);
        }
        button.OnRedrawTick();
    }
    // A sampling tick leaves the grid where it is.
    Tick(5);
    EXPECT_EQ(PixelAt(Paint(button), 107, 40), kGrid);
}

TEST_F(TrafficButtonTest, SelectInterfaceClearsTheGraphAndPrimesTheSampler) {
    Tick(1000);
    Tick(5000);
    Tick(9000);
    ASSERT_GT(button.Graph().Maximum(), 0.0);

    button.SelectInterface(0);
    EXPECT_EQ(button.Graph().Maximum(), 0.0);
    for (double slot : button.Graph().History())
        EXPECT_EQ(slot, 0.0);
    // Primed: the next tick already gives a difference.
    Tick(9500);
    EXPECT_EQ(button.Graph().History().back(), 500.0);
    EXPECT_EQ(button.Graph().Maximum(), 500.0);

    button.SetTimerIntervals(1000, 100);
    EXPECT_EQ(TimerPeriod(button, "redrawTimer"), 100);
    EXPECT_EQ(TimerPeriod(button, "samplingTimer"), 1000);
}

TEST_F(TrafficButtonTest, UnreadableCountersFillEveryBarAndShowZero) {
    tree.Remove();
    for (int i = 0; i < 3; ++i)
        button.OnSamplingTick();
    EXPECT_EQ(button.Graph().Maximum(), 1.0);
    EXPECT_EQ(button.Graph().StatusText(), "0.0 / 0.0 KB/sec");
    const QImage image = Paint(button);
    // Slots 98 and 99 hold 1.0: full height, tip at the top.
    EXPECT_EQ(PixelAt(image, 196, 0), kText);
    EXPECT_EQ(PixelAt(image, 194, 30), kBackground);
}

TEST(TrafficButtonBeforeSetUp, PaintsNothingOfItsOwnAndLaterPaintsBars) {
    FixtureTree tree;
    TrafficButton button(nullptr, tree.Paths());
    button.resize(40, 20);
    EXPECT_EQ(PixelAt(Paint(button, {40, 20}), 20, 10), kMagenta);
    EXPECT_EQ(TimerPeriod(button, "samplingTimer"), -1);

    button.PreSubclassWindow();
    tree.Remove(); // each sample 1.0: full-height bars
    for (int i = 0; i < 3; ++i)
        button.OnSamplingTick();
    const QImage image = Paint(button, {40, 20});
    EXPECT_EQ(PixelAt(image, 36, 0), kText);
    EXPECT_EQ(PixelAt(image, 38, 10), TrafficGraph::PatternRowColour(10, 20));
}

} // namespace
