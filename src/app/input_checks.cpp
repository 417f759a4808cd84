#include "app/input_checks.h"

#include <algorithm>

namespace {

constexpr std::size_t kLongestAddressText = 99;
constexpr unsigned long kLargestAddressPart = 255;
constexpr int kAddressParts = 4;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The part's value, saturated: any part too long for 32 bits counts as larger than 255.
unsigned long PartValue(std::string_view digits) {
    unsigned long value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > kLargestAddressPart)
            return kLargestAddressPart + 1;
    }
    return value;
}

} // namespace

bool IsValidIpText(std::string text) {
    if (text.empty() || text.size() > kLongestAddressText)
        return false;
    int parts = 0;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t start = rest.find_first_not_of('.');
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        const std::string_view part = rest.substr(0, rest.find('.'));
        rest.remove_prefix(part.size());
        ++parts;
        if (!std::all_of(part.begin(), part.end(), IsDigit))
            return false;
        if (PartValue(part) > kLargestAddressPart)
            return false;
    }
    return parts == kAddressParts;
}

bool IsAllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), IsDigit);
}
