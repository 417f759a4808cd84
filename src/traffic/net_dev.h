#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Where the kernel tells about the network interfaces; tests point these at fixture trees.
struct NetDevPaths {
    std::string netDev = "/proc/net/dev";
    std::string sysClassNet = "/sys/class/net";
};

// An interface the graph can show.
struct NetworkCard {
    std::string name;
};

// The interfaces that are up, in the kernel's order with loopback moved to the end, so that
// position 0 is a network card wherever one is up; with nothing else up, loopback alone (even
// when it is down). `table` is the text of /proc/net/dev; the flags come from /sys.
std::vector<NetworkCard> ListCards(std::string_view table, const NetDevPaths& paths);

// Calls take(name, bytes) for every interface line of /proc/net/dev text, in its order; `bytes`
// is received plus sent, kept to its low 32 bits (the counter wraps there). Lines without both
// byte counts are skipped.
void ForEachByteTotal(std::string_view table,
                      const std::function<void(std::string_view name, std::uint32_t bytes)>& take);
