#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "traffic/net_dev.h"

// Reads the byte counters of the network interfaces and turns two successive readings of one
// interface into the bytes counted in between. Interfaces are addressed by their position in the
// list made at construction, which never changes afterwards.
class NetTraffic {
public:
    explicit NetTraffic(NetDevPaths paths = {});
    virtual ~NetTraffic();
    NetTraffic(const NetTraffic&) = delete;
    NetTraffic& operator=(const NetTraffic&) = delete;

    // Fills the interface list; false when the kernel's interface table could not be read.
    bool EnumerateInterfaces();
    // Bytes counted since the previous sample of the same interface. 0.0 for a position out of
    // range, for the first sample after another interface and for an interface that is gone; 1.0
    // when the interface table cannot be read.
    double SampleTraffic(int interfaceNumber);
    // The last raw reading stored for the position; a zero reading takes a sample first.
    std::uint32_t GetInterfaceCounterValue(int interfaceNumber);

    const std::vector<std::string>& InterfaceNames() const { return m_interfaceNames; }

private:
    // Reads the table once and notes, by list position, which interfaces it still holds and their
    // byte totals.
    bool ReadCounters();

    NetDevPaths m_paths;
    double m_lastCounterReading = 0.0;
    std::vector<std::string> m_interfaceNames;
    std::vector<std::uint32_t> m_interfaceCounterReadings;
    int m_lastSampledInterface = -1;

    // Reused by every sample, so that sampling allocates nothing.
    std::string m_table;
    std::vector<std::size_t> m_byName; // list positions sorted by name
    std::vector<bool> m_present;
    std::vector<std::uint32_t> m_totals;
};
