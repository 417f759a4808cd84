#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What Run says when it refuses the operator's input.
inline constexpr char kBadAddressMessage[] = "IP地址输入有误!";
inline constexpr char kBadPortMessage[] = "端口号输入有误!";
inline constexpr char kNoModeMessage[] = "请选择一种传输模式!";
inline constexpr char kNoProtocolMessage[] = "请选择一种传输协议!";

// The largest port the dialog's data exchange accepts; the smallest is 0.
inline constexpr std::uint32_t kLargestPort = 10000;

// Whether Run accepts an address text: fewer than 100 bytes, split on runs of dots (dots at the
// ends ignored) into exactly four parts of decimal digits, each worth at most 255.
bool IsValidIpText(std::string text);

// True when every byte is a decimal digit; the empty text is true.
bool IsAllDigits(std::string_view text);
