#pragma once

#include <string>
#include <string_view>

// Whether Run accepts an address text: fewer than 100 bytes, split on runs of dots (dots at the
// ends ignored) into exactly four parts of decimal digits, each worth at most 255.
bool IsValidIpText(std::string text);

// True when every byte is a decimal digit; the empty text is true.
bool IsAllDigits(std::string_view text);
