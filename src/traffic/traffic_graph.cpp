#include "traffic/traffic_graph.h"

#include <algorithm>
#include <cstdio>

void TrafficGraph::SetUp(int width) {
    m_plotCount = width > 0 ? static_cast<unsigned>(width / kBarWidth) : 0;
    m_history.assign(m_plotCount + 1, 0.0);
    m_maximum = 0.0;
}

void TrafficGraph::Clear() {
    std::fill(m_history.begin(), m_history.end(), 0.0);
    m_maximum = 0.0;
}

void TrafficGraph::AddSample(double sample) {
    for (unsigned i = 0; i < m_plotCount; ++i) {
        m_history[i] = m_history[i + 1];
        if (m_history[i] > m_maximum)
            m_maximum = m_history[i];
    }
    m_history[m_plotCount] = sample;
    if (sample > m_maximum)
        m_maximum = sample;

    char text[128];
    std::snprintf(text, sizeof text, "%.1f / %.1f KB/sec", sample / 1024, m_maximum / 1024);
    m_statusText = text;
}

std::vector<int> TrafficGraph::VerticalGridLines(int width) const {
    std::vector<int> lines;
    for (int i = 0; i <= width / kGridSpacingX; ++i)
        lines.push_back(kGridSpacingX * i + m_gridOffsetX);
    return lines;
}

std::vector<int> TrafficGraph::HorizontalGridLines(int height) const {
    std::vector<int> lines;
    for (int j = 0; j <= height / kGridSpacingY; ++j)
        lines.push_back(height - kGridSpacingY * j + m_gridOffsetY - 2);
    return lines;
}

void TrafficGraph::AdvanceGrid() {
    // Reset when past either end: with a step of -1 the offset runs 0, 10, 9, ..., 1, 0, 10,
    // eleven positions for a spacing of ten.
    m_gridOffsetX += kGridStepX;
    m_gridOffsetY += kGridStepY;
    if (m_gridOffsetX < 0)
        m_gridOffsetX = kGridSpacingX;
    if (m_gridOffsetX > kGridSpacingX)
        m_gridOffsetX = 0;
    if (m_gridOffsetY < 0)
        m_gridOffsetY = kGridSpacingY;
    if (m_gridOffsetY > kGridSpacingY)
        m_gridOffsetY = 0;
}

std::vector<TrafficGraph::Bar> TrafficGraph::Bars(const Panel& panel) const {
    std::vector<Bar> bars;
    const int height = panel.bottom - panel.top;
    // A zero maximum gives an infinite scale, but then no slot is above 0 and nothing uses it.
    const double scale = height / m_maximum;
    for (unsigned i = 0; i < m_plotCount; ++i) {
        const double v = m_history[i];
        if (!(v > 0))
            continue;
        const int x = panel.left + kBarWidth * static_cast<int>(i);
        const int y = panel.bottom - static_cast<int>(v * scale);
        bars.push_back({x, y, x + kBarWidth, panel.bottom});
    }
    return bars;
}

COLORREF TrafficGraph::PatternRowColour(int y, int height) {
    const double k = 255.0 / height;
    const double r = y * k;
    return RGB(static_cast<int>(r), static_cast<int>(255.0 - r), 64);
}
