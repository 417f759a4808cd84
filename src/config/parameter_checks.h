#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "relay/endpoint.h"

// What Run says when it refuses the operator's input.
inline constexpr char kBadAddressMessage[] = "IP地址输入有误!";
inline constexpr char kNoModeMessage[] = "请选择一种传输模式!";
inline constexpr char kNoProtocolMessage[] = "请选择一种传输协议!";

// The largest port the dialog's data exchange accepts unless 设置 widens its range; the smallest
// is 0. The narrow range is the dialog's own, kept for the operators who rely on its message.
inline constexpr std::uint32_t kLargestPort = 10000;
// The largest port a socket has: the dialog's wide range, and the relay program's always.
inline constexpr std::uint32_t kLargestSocketPort = 65535;

// The written form of an address Run takes: fewer than 100 bytes, split on runs of dots (dots at
// the ends ignored) into exactly four parts of decimal digits, each worth at most 255.
bool IsValidIpText(std::string_view text);

// The endpoint an address text and a port stand for, as the relay uses it. An IPv4 text has the
// written form above (a part with a leading zero is octal); an IPv6 text is a literal such as
// "2001:db8::1", a link-local one with its interface as in "fe80::1%eth0". None when Run refuses
// the text, which includes every text that has the written form but names no address (such as
// "127.0.0.09" or "1..2.3.4"), so that what Run accepts is always what the relay uses. None, too,
// for a port outside 0..65535: its low 16 bits would be a port nobody chose.
std::optional<Endpoint> EndpointFromText(std::string_view address, std::int32_t port);

// An endpoint written as "ADDRESS:PORT" for a service of the relay program's own: a dotted IPv4
// address as inet_pton reads it ("127.0.0.1:9100"), or an IPv6 literal in brackets
// ("[::1]:9100", "[fe80::1%eth0]:9100"), and a port of 1 to 65535 in decimal digits.
std::optional<Endpoint> ListenEndpointFromText(std::string_view text);
