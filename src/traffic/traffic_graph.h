#pragma once

#include <string>
#include <vector>

#include "platform/colorref.h"

// What the traffic graph shows, without any drawing: the sample history with its maximum, the
// status text, the scrolling grid and the geometry and colours of the bars.
class TrafficGraph {
public:
    struct Bar {
        int left, top, right, bottom; // filled with the pattern; (left, top) is the tip pixel
        bool operator==(const Bar&) const = default;
    };
    struct Panel {
        int left, top, right, bottom;
    };

    // Sizes the history for a panel `width` pixels wide: one slot per bar, plus the slot that
    // holds the newest sample until the next tick. Every slot and the maximum start at 0.
    void SetUp(int width);
    // Every slot, the extra one included, and the maximum back to 0.
    void Clear();
    // One sampling tick: the history moves left by one and `sample` enters the extra slot. The
    // maximum only grows; it is the largest sample since the last clear.
    void AddSample(double sample);

    unsigned PlotCount() const { return m_plotCount; }
    const std::vector<double>& History() const { return m_history; }
    double Maximum() const { return m_maximum; }
    // Empty before the first tick.
    const std::string& StatusText() const { return m_statusText; }

    // Grid lines at the current offsets: x of the vertical lines (running from y 0 to height) and
    // y of the horizontal lines (running from x 0 to width).
    std::vector<int> VerticalGridLines(int width) const;
    std::vector<int> HorizontalGridLines(int height) const;
    int GridOffsetX() const { return m_gridOffsetX; }
    int GridOffsetY() const { return m_gridOffsetY; }
    // Moves the grid one step; the graph's redraw timer does this once a tick.
    void AdvanceGrid();

    // Bars of the drawn slots, oldest at the left; slots of 0 or less have none.
    std::vector<Bar> Bars(const Panel& panel) const;
    // Row y of the bar pattern for a panel `height` rows high: red-tinted at the bottom rows
    // (high y), green at row 0.
    static COLORREF PatternRowColour(int y, int height);

    static constexpr int kBarWidth = 2;
    static constexpr int kGridSpacingX = 10;
    static constexpr int kGridSpacingY = 10;
    static constexpr int kGridStepX = -1;
    static constexpr int kGridStepY = 0;

private:
    unsigned m_plotCount = 0;
    std::vector<double> m_history{0.0};
    double m_maximum = 0.0;
    std::string m_statusText;
    int m_gridOffsetX = 0;
    int m_gridOffsetY = 0;
};
