#include "controls/hls_color.h"

#include <algorithm>

namespace {

// Truncation toward zero, then the low 8 bits.
std::uint32_t LowByte(float v) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(v)) & 0xFFu;
}

} // namespace

HLSCOLOR RgbToHls(COLORREF color) {
    const int r = GetRValue(color);
    const int g = GetGValue(color);
    const int b = GetBValue(color);
    const int max = std::max({r, g, b});
    const int min = std::min({r, g, b});
    const float delta = static_cast<float>(max - min);
    const float sum = static_cast<float>(max + min);
    const float l = sum / 510.0f;
    float h = 0.0f;
    float s = 0.0f;
    if (max != min) {
        const float rc = static_cast<float>(max - r) / delta;
        const float gc = static_cast<float>(max - g) / delta;
        const float bc = static_cast<float>(max - b) / delta;
        s = l <= 0.5f ? delta / sum : delta / (510.0f - sum);
        // Later matches win, so a tie between channels takes the last one.
        if (r == max)
            h = (6.0f + bc - gc) * 60.0f;
        if (g == max)
            h = (2.0f + rc - bc) * 60.0f;
        if (b == max)
            h = (4.0f + gc - rc) * 60.0f;
        // 360 itself stays, so pure red packs to hue 255 rather than 0.
        if (h > 360.0f)
            h -= 360.0f;
    }
    return LowByte(s * 255.0f) << 16 | LowByte(l * 255.0f) << 8 | LowByte(h * 255.0f / 360.0f);
}

std::uint8_t HueToValue(float m1, float m2, float hue) {
    if (hue > 360.0f)
        hue -= 360.0f;
    else if (hue < 0.0f)
        hue += 360.0f;
    float v = m1;
    if (hue < 60.0f)
        v = m1 + hue * (m2 - m1) / 60.0f;
    else if (hue < 180.0f)
        v = m2;
    else if (hue < 240.0f)
        v = m1 + (m2 - m1) * (240.0f - hue) / 60.0f;
    return static_cast<std::uint8_t>(LowByte(v * 255.0f));
}

COLORREF HlsToRgb(HLSCOLOR hls) {
    const float h = static_cast<float>(HLS_H(hls)) * 360.0f / 255.0f;
    const float l = static_cast<float>(HLS_L(hls)) / 255.0f;
    const float s = static_cast<float>(HLS_S(hls)) / 255.0f;
    if (s == 0.0f) {
        const int grey = HLS_L(hls);
        return RGB(grey, grey, grey);
    }
    const float m2 = l <= 0.5f ? l + l * s : l + s - l * s;
    const float m1 = 2.0f * l - m2;
    return RGB(HueToValue(m1, m2, h + 120.0f), HueToValue(m1, m2, h),
               HueToValue(m1, m2, h - 120.0f));
}

COLORREF TintColor(COLORREF color, int lighten, int saturation) {
    const HLSCOLOR hls = RgbToHls(color);
    const int l = HLS_L(hls);
    const int lightened = (l + ((255 - l) * lighten) / 100) & 0xFF;
    const int saturated = ((HLS_S(hls) * saturation) / 100) & 0xFF;
    return HlsToRgb(HLS(HLS_H(hls), lightened, saturated));
}
