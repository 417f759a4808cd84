#pragma once

#include <cstdint>

#include "platform/colorref.h"

// Hue, lightness and saturation packed into one value: hue in bits 0-7 (0..255 for 0..360
// degrees), lightness in bits 8-15 and saturation in bits 16-23 (0..255 for 0.0..1.0).
using HLSCOLOR = std::uint32_t;

constexpr int HLS_H(HLSCOLOR hls) {
    return static_cast<int>(hls & 0xFF);
}
constexpr int HLS_L(HLSCOLOR hls) {
    return static_cast<int>((hls >> 8) & 0xFF);
}
constexpr int HLS_S(HLSCOLOR hls) {
    return static_cast<int>((hls >> 16) & 0xFF);
}
constexpr HLSCOLOR HLS(int h, int l, int s) {
    return static_cast<HLSCOLOR>((h & 0xFF) | ((l & 0xFF) << 8) | ((s & 0xFF) << 16));
}

// The arithmetic is single precision and every conversion to an integer truncates, so a round
// trip may lose a unit per channel; the tints the controls show depend on exactly that.
HLSCOLOR RgbToHls(COLORREF color);
COLORREF HlsToRgb(HLSCOLOR hls);
// One channel of HlsToRgb; hue in degrees.
std::uint8_t HueToValue(float m1, float m2, float hue);
// Lightens a colour by `lighten` percent towards white and keeps `saturation` percent of its
// saturation (both 0..100).
COLORREF TintColor(COLORREF color, int lighten, int saturation);
