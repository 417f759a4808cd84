#include "traffic/traffic_graph.h"

#include <gtest/gtest.h>

// Readable failure messages for bar lists.
void PrintTo(const TrafficGraph::Bar& b, std::ostream* os) {
    *os << "{" << b.left << "," << b.top << "," << b.right << "," << b.bottom << "}";
}

namespace {

using Bar = TrafficGraph::Bar;

TEST(TrafficGraph, EachTickShiftsTheHistoryAndKeepsTheLargestSample) {
    TrafficGraph graph;
    graph.SetUp(6); // three bars of two pixels
    ASSERT_EQ(graph.PlotCount(), 3u);
    EXPECT_EQ(graph.History(), (std::vector<double>{0, 0, 0, 0}));
    EXPECT_EQ(graph.StatusText(), "");

    const struct {
        double sample;
        std::vector<double> history; // the last slot is not drawn yet
        double maximum;
        const char* text;
    } ticks[] = {
        {100, {0, 0, 0, 100}, 100, "0.1 / 0.1 KB/sec"},
        {307200, {0, 0, 100, 307200}, 307200, "300.0 / 300.0 KB/sec"},
        {204800, {0, 100, 307200, 204800}, 307200, "200.0 / 300.0 KB/sec"},
        {0, {100, 307200, 204800, 0}, 307200, "0.0 / 300.0 KB/sec"},
        {-1024, {307200, 204800, 0, -1024}, 307200, "-1.0 / 300.0 KB/sec"},
        {0, {204800, 0, -1024, 0}, 307200, "0.0 / 300.0 KB/sec"},
        {1.0, {0, -1024, 0, 1.0}, 307200, "0.0 / 300.0 KB/sec"},
    };
    for (const auto& t : ticks) {
        SCOPED_TRACE(t.sample);
        graph.AddSample(t.sample);
        EXPECT_EQ(graph.History(), t.history);
        EXPECT_EQ(graph.Maximum(), t.maximum);
        EXPECT_EQ(graph.StatusText(), t.text);
    }
}

TEST(TrafficGraph, BarsAreScaledToTheMaximumEvenAfterItScrolledOut) {
    TrafficGraph graph;
    graph.SetUp(6);
    const TrafficGraph::Panel panel{0, 0, 6, 90};
    for (double sample : {100.0, 300.0, 200.0, 0.0, 0.0})
        graph.AddSample(sample);
    // Drawn: 300, 200, 0.
    EXPECT_EQ(graph.Bars(panel), (std::vector<Bar>{{0, 0, 2, 90}, {2, 30, 4, 90}}));
    graph.AddSample(0.0);
    // The 300 is gone; the 200 stays at two thirds of the height.
    EXPECT_EQ(graph.Maximum(), 300.0);
    EXPECT_EQ(graph.Bars(panel), (std::vector<Bar>{{0, 30, 2, 90}}));
}

TEST(TrafficGraph, NewSampleShowsInTheTextAtOnceAndInTheBarsOneTickLater) {
    TrafficGraph graph;
    graph.SetUp(8);
    const TrafficGraph::Panel panel{10, 5, 18, 45}; // bars start at the panel's left edge
    EXPECT_TRUE(graph.Bars(panel).empty());
    graph.AddSample(2048);
    EXPECT_EQ(graph.StatusText(), "2.0 / 2.0 KB/sec");
    EXPECT_TRUE(graph.Bars(panel).empty());
    graph.AddSample(1024);
    EXPECT_EQ(graph.StatusText(), "1.0 / 2.0 KB/sec");
    EXPECT_EQ(graph.Bars(panel), (std::vector<Bar>{{16, 5, 18, 45}}));
    graph.AddSample(0);
    EXPECT_EQ(graph.Bars(panel), (std::vector<Bar>{{14, 5, 16, 45}, {16, 25, 18, 45}}));
}

TEST(TrafficGraph, PlotCountIsOneBarPerTwoPixels) {
    const struct {
        int width;
        unsigned plotCount;
    } cases[] = {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {201, 100}, {-5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        TrafficGraph graph;
        graph.SetUp(c.width);
        EXPECT_EQ(graph.PlotCount(), c.plotCount);
        EXPECT_EQ(graph.History().size(), c.plotCount + 1);
        graph.AddSample(512);
        graph.AddSample(512);
        EXPECT_EQ(graph.Bars({0, 0, c.width, 50}).size(), c.plotCount == 0 ? 0u : 1u);
        EXPECT_EQ(graph.StatusText(), "0.5 / 0.5 KB/sec");
    }
}

TEST(TrafficGraph, ClearForgetsEverySlotAndTheMaximum) {
    TrafficGraph graph;
    graph.SetUp(4);
    for (double sample : {5000.0, 7000.0, 9000.0})
        graph.AddSample(sample);
    graph.Clear();
    EXPECT_EQ(graph.History(), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(graph.Maximum(), 0.0);
    EXPECT_TRUE(graph.Bars({0, 0, 4, 10}).empty());
    graph.AddSample(10);
    graph.AddSample(0);
    EXPECT_EQ(graph.Maximum(), 10.0);
    EXPECT_EQ(graph.Bars({0, 0, 4, 10}), (std::vector<Bar>{{2, 0, 4, 10}}));
}

TEST(TrafficGraph, GridScrollsThroughElevenOffsets) {
    TrafficGraph graph;
    std::vector<int> offsets;
    for (int tick = 0; tick < 24; ++tick) {
        offsets.push_back(graph.GridOffsetX());
        EXPECT_EQ(graph.GridOffsetY(), 0);
        graph.AdvanceGrid();
    }
    EXPECT_EQ(offsets, (std::vector<int>{0,  10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                                         10, 9,  8, 7, 6, 5, 4, 3, 2, 1, 0, 10}));
}

TEST(TrafficGraph, GridLinePositions) {
    TrafficGraph graph;
    EXPECT_EQ(graph.VerticalGridLines(35), (std::vector<int>{0, 10, 20, 30}));
    EXPECT_EQ(graph.VerticalGridLines(9), (std::vector<int>{0}));
    EXPECT_EQ(graph.HorizontalGridLines(25), (std::vector<int>{23, 13, 3}));
    EXPECT_EQ(graph.HorizontalGridLines(30), (std::vector<int>{28, 18, 8, -2}));
    graph.AdvanceGrid();
    EXPECT_EQ(graph.VerticalGridLines(35), (std::vector<int>{10, 20, 30, 40}));
    graph.AdvanceGrid();
    EXPECT_EQ(graph.VerticalGridLines(35), (std::vector<int>{9, 19, 29, 39}));
    EXPECT_EQ(graph.HorizontalGridLines(25), (std::vector<int>{23, 13, 3}));
}

TEST(TrafficGraph, PatternRowsRunFromGreenToRed) {
    const struct {
        int y, height;
        COLORREF colour;
    } cases[] = {
        {0, 100, RGB(0, 255, 64)}, {50, 100, RGB(127, 127, 64)}, {99, 100, RGB(252, 2, 64)},
        {0, 1, RGB(0, 255, 64)},   {1, 2, RGB(127, 127, 64)},    {2, 3, RGB(170, 85, 64)},
        {44, 45, RGB(249, 5, 64)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrafficGraph::PatternRowColour(c.y, c.height), c.colour)
            << "row " << c.y << " of " << c.height;
}

} // namespace
