#include "traffic/net_traffic.h"

#include <algorithm>

#include "platform/perf_data_layout.h"
#include "platform/perf_data_linux.h"
#include "traffic/perf_data_parser.h"

namespace {

// The answer's value name is the decimal text of the object index.
constexpr const char* kValueName = "510";

// A query that keeps asking for more would otherwise grow the buffer until memory runs out.
constexpr std::uint32_t kLargestAnswer = 64u * 1024u * 1024u;

} // namespace

PerfDataQuery SystemPerfDataQuery() {
    return [source = NetworkPerfData()](const char* valueName, std::uint8_t* data,
                                        std::uint32_t* size) mutable {
        return source.Query(valueName, data, size);
    };
}

NetTraffic::NetTraffic(PerfDataQuery query) : m_query(std::move(query)) {
    EnumerateInterfaces();
}

NetTraffic::~NetTraffic() = default;

bool NetTraffic::Query(std::vector<std::uint8_t>& answer) {
    std::uint32_t size = kBufferStep;
    answer.assign(size, 0);
    for (;;) {
        std::uint32_t inOut = size;
        const long result = m_query(kValueName, answer.data(), &inOut);
        if (result == ERROR_MORE_DATA) {
            // Grow from whatever the call left in the size; the old contents need not be kept.
            if (inOut > kLargestAnswer - kBufferStep)
                return false;
            size = inOut + kBufferStep;
            answer.assign(size, 0);
            continue;
        }
        if (result != ERROR_SUCCESS)
            return false;
        answer.resize(std::min(inOut, size));
        return true;
    }
}

bool NetTraffic::EnumerateInterfaces() {
    std::vector<std::uint8_t> answer;
    if (!Query(answer))
        return false;
    const auto objects = ParseNetworkObjects(answer, kCurrentBandwidthCounterIndex);
    if (!objects)
        return false;
    for (const auto& object : *objects) {
        // An object without the bandwidth counter ends the enumeration.
        if (!object.counterFound)
            return true;
        for (const auto& instance : object.instances) {
            m_interfaceNames.push_back(instance.name);
            m_interfaceBandwidths.push_back(instance.value);
            m_interfaceCounterReadings.push_back(0);
        }
    }
    return true;
}

double NetTraffic::SampleTraffic(int interfaceNumber) {
    if (interfaceNumber < 0 || static_cast<std::size_t>(interfaceNumber) >= m_interfaceNames.size())
        return 0.0;
    const std::string wanted = m_interfaceNames[static_cast<std::size_t>(interfaceNumber)];

    std::vector<std::uint8_t> answer;
    if (!Query(answer))
        return 1.0;
    const auto objects = ParseNetworkObjects(answer, m_counterIndex);
    if (!objects)
        return 1.0;
    for (const auto& object : *objects) {
        if (!object.counterFound)
            return 1.0;
        // Readings are stored by position in this answer, up to and including the match.
        std::size_t k = 0;
        for (const auto& instance : object.instances) {
            if (k < m_interfaceCounterReadings.size())
                m_interfaceCounterReadings[k] = instance.value;
            ++k;
            if (instance.name != wanted)
                continue;
            // Unsigned conversion: a reading with the top bit set stays positive.
            const double reading = static_cast<double>(instance.value);
            double result = 0.0;
            if (m_lastSampledInterface == interfaceNumber)
                result = reading - m_lastCounterReading;
            else
                m_lastSampledInterface = interfaceNumber;
            m_lastCounterReading = reading;
            return result;
        }
    }
    return 0.0;
}

std::uint32_t NetTraffic::GetInterfaceCounterValue(int interfaceNumber) {
    if (interfaceNumber < 0 ||
        static_cast<std::size_t>(interfaceNumber) >= m_interfaceCounterReadings.size())
        return 0;
    const auto position = static_cast<std::size_t>(interfaceNumber);
    if (m_interfaceCounterReadings[position] != 0)
        return m_interfaceCounterReadings[position];
    SampleTraffic(interfaceNumber);
    return m_interfaceCounterReadings[position];
}

void NetTraffic::SetCounterIndex(std::uint32_t counterIndex) {
    m_counterIndex = counterIndex;
}
