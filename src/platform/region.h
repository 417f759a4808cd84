#pragma once

#include <vector>

// One run of pixels of a region: row y, columns left up to right (exclusive).
struct RegionSpan {
    int y;
    int left;
    int right;
    bool operator==(const RegionSpan&) const = default;
};

// The pixels of a rounded-rectangle region, row by row from the top. As with every region made
// from a shape, the right and bottom edges are not part of it: a rectangle (0, 0, w, h) covers
// columns 0 .. w-1 and rows 0 .. h-1. Each corner is the quarter of an ellipse
// `ellipseWidth` x `ellipseHeight` pixels that fits in the corner's pixel box, its extreme
// points on the centres of the box's edge pixels; a pixel belongs to the region when its centre
// lies on or inside that ellipse. An ellipse larger than the rectangle is shrunk to it; one
// narrower or lower than 2 pixels leaves the corner square.
std::vector<RegionSpan> RoundRectRegion(int left, int top, int right, int bottom, int ellipseWidth,
                                        int ellipseHeight);
