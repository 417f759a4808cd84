#include <gtest/gtest.h>

#include "controls/hls_color.h"

namespace {

struct HlsCase {
    const char* name;
    COLORREF rgb;
    int h, l, s;
};

TEST(RgbToHls, PacksHueLightnessAndSaturationWithTruncation) {
    const HlsCase cases[] = {
        {"black", RGB(0, 0, 0), 0, 0, 0},
        {"white", RGB(255, 255, 255), 0, 255, 0},
        {"mid grey", RGB(128, 128, 128), 0, 128, 0},
        {"red keeps hue 360", RGB(255, 0, 0), 255, 127, 255},
        {"blue", RGB(0, 0, 255), 170, 127, 255},
        {"highlight blue", RGB(49, 106, 197), 153, 123, 153},
    };
    for (const HlsCase& c : cases) {
        SCOPED_TRACE(c.name);
        const HLSCOLOR hls = RgbToHls(c.rgb);
        EXPECT_EQ(HLS_H(hls), c.h);
        EXPECT_EQ(HLS_L(hls), c.l);
        EXPECT_EQ(HLS_S(hls), c.s);
        EXPECT_EQ(hls >> 24, 0u);
    }
}

TEST(RgbToHls, IgnoresTheTopByte) {
    EXPECT_EQ(RgbToHls(0xAB000000u | RGB(49, 106, 197)), RgbToHls(RGB(49, 106, 197)));
}

TEST(HlsToRgb, RoundTripLosesAUnitThroughTruncation) {
    EXPECT_EQ(HlsToRgb(RgbToHls(RGB(49, 106, 197))), RGB(49, 108, 196));
    EXPECT_EQ(HlsToRgb(HLS(0, 0, 0)), RGB(0, 0, 0));
}

TEST(HlsToRgb, ZeroSaturationGivesTheGreyOfTheLightnessByte) {
    for (const int hue : {0, 77, 200, 255})
        for (const int lightness : {0, 1, 100, 128, 254, 255})
            EXPECT_EQ(HlsToRgb(HLS(hue, lightness, 0)), RGB(lightness, lightness, lightness))
                << "hue " << hue << " lightness " << lightness;
}

TEST(HueToValue, FollowsTheFourHueSegments) {
    // m1 = 0.2, m2 = 0.8: rising, flat high, falling, flat low; out-of-range hues wrap once.
    struct Case {
        float hue;
        int value;
    };
    const Case cases[] = {{0.0f, 51},   {30.0f, 127}, {60.0f, 204},  {179.0f, 204},  {210.0f, 127},
                          {240.0f, 51}, {359.0f, 51}, {390.0f, 127}, {-330.0f, 127}, {-120.0f, 51}};
    for (const Case& c : cases)
        EXPECT_EQ(HueToValue(0.2f, 0.8f, c.hue), c.value) << "hue " << c.hue;
}

struct TintCase {
    const char* name;
    COLORREF base;
    int lighten, saturation;
    COLORREF want;
};

TEST(TintColor, MatchesTheControlTints) {
    const TintCase cases[] = {
        {"pressed face", RGB(49, 106, 197), 50, 50, RGB(169, 185, 208)},
        {"hovered face", RGB(49, 106, 197), 80, 34, RGB(222, 226, 233)},
        {"hot arrow button", RGB(49, 106, 197), 70, 43, RGB(204, 212, 225)},
        {"idle face", RGB(236, 233, 216), 15, 100, RGB(238, 235, 221)},
        {"full lightening is white", RGB(49, 106, 197), 100, 100, RGB(255, 255, 255)},
        {"full lightening of black", RGB(0, 0, 0), 100, 50, RGB(255, 255, 255)},
        {"no change keeps grey", RGB(128, 128, 128), 0, 100, RGB(128, 128, 128)},
        {"saturation dropped is grey", RGB(255, 0, 0), 0, 0, RGB(127, 127, 127)},
    };
    for (const TintCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TintColor(c.base, c.lighten, c.saturation), c.want);
    }
}

} // namespace
