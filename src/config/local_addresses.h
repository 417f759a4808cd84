#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The machine's addresses of the interfaces that are up, as the operator writes them: first the
// IPv4 ones in dotted-decimal text, in the system's order, their loopback addresses behind the
// others; then the IPv6 ones (global and unique-local; link-local with its interface, as in
// "fe80::1%eth0"), in the system's order, ::1 last. nullopt when the interfaces cannot be listed.
std::optional<std::vector<std::string>> EnumerateLocalAddresses();

using LocalAddressEnumerator = std::function<std::optional<std::vector<std::string>>()>;

// What the dialog says when the addresses cannot be listed.
inline constexpr char kAddressListFailedMessage[] = "获得IP名错误！";
