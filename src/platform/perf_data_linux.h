#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One network interface as the kernel reports it.
struct InterfaceCounters {
    std::string name;
    std::uint32_t bytesTotal = 0;          // received + sent, low 32 bits
    std::uint32_t bandwidthBitsPerSec = 0; // 0 when the link speed is unknown
};

// Where the live system's figures are read; tests point these elsewhere.
struct PerfDataPaths {
    std::string netDev = "/proc/net/dev";
    std::string sysClassNet = "/sys/class/net";
};

// Stands in for reading the Network Interface object from the registry's performance data.
// `valueName` must be "510". `*size` is the buffer's capacity on entry and the answer's length
// on success. Returns 0 on success, 234 (more data) with `*size` set to the needed length when
// the buffer is too small, any other value on failure. A null `data` asks only for the length.
long QueryNetworkPerfData(const char* valueName, std::uint8_t* data, std::uint32_t* size,
                          const PerfDataPaths& paths = {});

// Interfaces of a /proc/net/dev text, in its order.
std::vector<InterfaceCounters> ParseNetDev(std::string_view text);

// Reads /proc/net/dev and the link speeds; false when the interface table cannot be read.
bool ReadInterfaceCounters(const PerfDataPaths& paths, std::vector<InterfaceCounters>& out);

// The answer for the given interfaces: one data block holding one Network Interface object with
// the Bytes Total (388) and Current Bandwidth (520) counters and one instance per interface.
std::vector<std::uint8_t> BuildNetworkPerfData(const std::vector<InterfaceCounters>& interfaces,
                                               std::string_view systemName);
