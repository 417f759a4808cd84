#include "platform/region.h"

#include <algorithm>
#include <cmath>
#include <utility>

std::vector<RegionSpan> RoundRectRegion(int left, int top, int right, int bottom, int ellipseWidth,
                                        int ellipseHeight) {
    if (left > right)
        std::swap(left, right);
    if (top > bottom)
        std::swap(top, bottom);
    const int width = right - left;
    const int height = bottom - top;
    std::vector<RegionSpan> spans;
    if (width <= 0 || height <= 0)
        return spans;

    const int ew = std::min(std::abs(ellipseWidth), width);
    const int eh = std::min(std::abs(ellipseHeight), height);
    const bool rounded = ew >= 2 && eh >= 2;
    // Radii between the centres of the corner box's outer pixels.
    const double rx = (ew - 1) / 2.0;
    const double ry = (eh - 1) / 2.0;

    // How far row k from the top (or bottom) edge is cut in at each end.
    auto inset = [&](int k) {
        if (!rounded || k >= ry)
            return 0;
        const double dy = (ry - k) / ry;
        const double dx = rx * std::sqrt(std::max(0.0, 1.0 - dy * dy));
        // A small tolerance keeps centres that lie exactly on the ellipse inside it.
        return static_cast<int>(std::ceil(rx - dx - 1e-9));
    };

    for (int y = top; y < bottom; ++y) {
        const int k = std::min(y - top, bottom - 1 - y);
        const int cut = inset(k);
        if (2 * cut >= width)
            continue;
        spans.push_back({y, left + cut, right - cut});
    }
    return spans;
}
