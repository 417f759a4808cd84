#include "platform/region.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// The region drawn as text, one line per row of the rectangle: '#' inside, '.' outside.
std::string Picture(const std::vector<RegionSpan>& spans, int width, int height) {
    std::vector<std::string> rows(static_cast<std::size_t>(height), std::string(width, '.'));
    for (const auto& s : spans) {
        EXPECT_GE(s.y, 0);
        EXPECT_LT(s.y, height);
        EXPECT_GE(s.left, 0);
        EXPECT_LE(s.right, width);
        for (int x = s.left; x < s.right; ++x)
            rows[static_cast<std::size_t>(s.y)][static_cast<std::size_t>(x)] = '#';
    }
    std::string picture;
    for (const auto& row : rows)
        picture += row + "\n";
    return picture;
}

TEST(RoundRectRegion, CornerShapes) {
    const struct {
        const char* name;
        int width, height, ellipseWidth, ellipseHeight;
        const char* picture;
    } cases[] = {
        {"five by five corners", 10, 6, 5, 5,
         "..######..\n"
         ".########.\n"
         "##########\n"
         "##########\n"
         ".########.\n"
         "..######..\n"},
        {"square corners below two pixels", 4, 3, 1, 5,
         "####\n"
         "####\n"
         "####\n"},
        {"three by three corners", 5, 4, 3, 3,
         ".###.\n"
         "#####\n"
         "#####\n"
         ".###.\n"},
        {"ellipse larger than the rectangle is shrunk to it", 5, 5, 50, 50,
         "..#..\n"
         ".###.\n"
         "#####\n"
         ".###.\n"
         "..#..\n"},
        {"wide flat ellipse", 12, 4, 9, 3,
         "....####....\n"
         "############\n"
         "############\n"
         "....####....\n"},
        {"one pixel", 1, 1, 5, 5, "#\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Picture(RoundRectRegion(0, 0, c.width, c.height, c.ellipseWidth, c.ellipseHeight),
                          c.width, c.height),
                  c.picture);
    }
}

TEST(RoundRectRegion, OffsetAndReversedCornersGiveTheSameShape) {
    const auto atOrigin = RoundRectRegion(0, 0, 30, 20, 5, 5);
    auto shifted = RoundRectRegion(7, 3, 37, 23, 5, 5);
    ASSERT_EQ(shifted.size(), atOrigin.size());
    for (std::size_t i = 0; i < shifted.size(); ++i)
        EXPECT_EQ((RegionSpan{shifted[i].y - 3, shifted[i].left - 7, shifted[i].right - 7}),
                  atOrigin[i]);
    EXPECT_EQ(RoundRectRegion(37, 23, 7, 3, 5, 5), shifted);
    EXPECT_EQ(RoundRectRegion(0, 0, 30, 20, -5, -5), atOrigin);
}

TEST(RoundRectRegion, EmptyRectangleHasNoPixels) {
    EXPECT_TRUE(RoundRectRegion(0, 0, 0, 10, 5, 5).empty());
    EXPECT_TRUE(RoundRectRegion(0, 0, 10, 0, 5, 5).empty());
    EXPECT_TRUE(RoundRectRegion(4, 4, 4, 4, 0, 0).empty());
}

} // namespace
