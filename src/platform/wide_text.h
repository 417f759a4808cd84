#pragma once

// Converts a parameter file saved as UTF-16 to and from the program's UTF-8 text.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What happens to a surrogate without its partner: it becomes U+FFFD, or it is kept as the
// three-byte sequence of its own code point, so that a whole file converted to UTF-8 and back
// comes back unchanged.
enum class LoneSurrogates { Replace, Keep };

// UTF-16 in, UTF-8 out. Fails when the result and its terminating zero need more than `outputBytes`
// bytes.
std::optional<std::string> WideToNarrow(std::u16string_view text, std::size_t outputBytes = 255,
                                        LoneSurrogates lone = LoneSurrogates::Replace);

// The reverse: invalid UTF-8 bytes become U+FFFD; so do surrogate code points unless kept.
std::u16string NarrowToWide(std::string_view text, LoneSurrogates lone = LoneSurrogates::Replace);
