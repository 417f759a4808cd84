#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Reads a port number the way the dialog's data exchange does, as formatted input with "%u":
// leading white space skipped, an optional sign, digits up to the first other character, the rest
// ignored. A minus sign wraps the value modulo 2^32 (so "-1" is 4294967295). Empty when no digit
// can be read.
std::optional<std::uint32_t> ScanUnsigned(std::string_view text);

// What the data exchange says of a number outside minValue..maxValue.
std::string OutOfRangeMessage(std::uint32_t minValue, std::uint32_t maxValue);
