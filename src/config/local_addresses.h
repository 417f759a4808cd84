#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The machine's IPv4 addresses in dotted-decimal text: those of the interfaces that are up, in
// the system's order, loopback addresses after all others. nullopt when the interfaces cannot be
// listed.
std::optional<std::vector<std::string>> EnumerateLocalIPv4Addresses();

using LocalAddressEnumerator = std::function<std::optional<std::vector<std::string>>()>;

// What the dialog says when the addresses cannot be listed.
inline constexpr char kAddressListFailedMessage[] = "获得IP名错误！";
