#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Stands in for the wide-to-narrow conversion: UTF-16 in, the narrow code page (UTF-8 here) out.
// Fails when the result and its terminating zero need more than `outputBytes` bytes. A lone
// surrogate becomes U+FFFD.
std::optional<std::string> WideToNarrow(std::u16string_view text, std::size_t outputBytes = 255);

// The reverse, for building answers: invalid UTF-8 bytes become U+FFFD.
std::u16string NarrowToWide(std::string_view text);
