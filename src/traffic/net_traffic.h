#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The performance-data query with the registry call's contract: value name, buffer, in/out size;
// 0 on success, 234 when the buffer is too small, anything else on failure.
using PerfDataQuery =
    std::function<long(const char* valueName, std::uint8_t* data, std::uint32_t* size)>;

// A query on the live system (the default). Each call makes a fresh one, which lists the
// interfaces at its first answer: the sampler's enumeration.
PerfDataQuery SystemPerfDataQuery();

// Reads the byte counters of the network interfaces and turns two successive readings of one
// interface into the bytes counted in between. Interfaces are addressed by their position in
// the list made at construction.
class NetTraffic {
public:
    explicit NetTraffic(PerfDataQuery query = SystemPerfDataQuery());
    virtual ~NetTraffic();
    NetTraffic(const NetTraffic&) = delete;
    NetTraffic& operator=(const NetTraffic&) = delete;

    // Fills the interface lists; false when the performance data could not be read.
    bool EnumerateInterfaces();
    // Bytes counted since the previous sample of the same interface. 0.0 for a position out of
    // range and for the first sample after another interface; 1.0 when the query fails or the
    // counter is missing.
    double SampleTraffic(int interfaceNumber);
    // The last raw reading stored for the position; a zero reading takes a sample first.
    std::uint32_t GetInterfaceCounterValue(int interfaceNumber);
    // Counter name index of the sampled counter; the last reading is kept.
    void SetCounterIndex(std::uint32_t counterIndex);

    const std::vector<std::string>& InterfaceNames() const { return m_interfaceNames; }
    const std::vector<std::uint32_t>& InterfaceBandwidths() const { return m_interfaceBandwidths; }

    static constexpr std::uint32_t kBufferStep = 40960;

private:
    // Asks for the Network Interface object; the answer's bytes, or false on failure.
    bool Query(std::vector<std::uint8_t>& answer);

    PerfDataQuery m_query;
    double m_lastCounterReading = 0.0;
    std::vector<std::string> m_interfaceNames;
    std::vector<std::uint32_t> m_interfaceBandwidths;
    std::vector<std::uint32_t> m_interfaceCounterReadings;
    int m_lastSampledInterface = -1;
    std::uint32_t m_counterIndex = 388;
};
