#include "platform/scan_unsigned.h"

std::optional<std::uint32_t> ScanUnsigned(std::string_view text) {
    std::size_t i = 0;
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return std::nullopt;
    // Unsigned arithmetic wraps, which is what the conversion does with overlong input too.
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    return negative ? 0u - value : value;
}

std::string OutOfRangeMessage(std::uint32_t minValue, std::uint32_t maxValue) {
    return "请输入一个在 " + std::to_string(minValue) + " 和 " + std::to_string(maxValue) +
           " 之间的整数。";
}
