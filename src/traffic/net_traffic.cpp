#include "traffic/net_traffic.h"

#include <algorithm>
#include <numeric>

#include "platform/whole_file.h"

NetTraffic::NetTraffic(NetDevPaths paths) : m_paths(std::move(paths)) {
    EnumerateInterfaces();
}

NetTraffic::~NetTraffic() = default;

bool NetTraffic::EnumerateInterfaces() {
    if (!ReadWholeFile(m_paths.netDev, m_table))
        return false;
    for (NetworkCard& card : ListCards(m_table, m_paths)) {
        m_interfaceNames.push_back(std::move(card.name));
        m_interfaceCounterReadings.push_back(0);
    }
    m_byName.resize(m_interfaceNames.size());
    std::iota(m_byName.begin(), m_byName.end(), std::size_t{0});
    std::sort(m_byName.begin(), m_byName.end(), [this](std::size_t a, std::size_t b) {
        return m_interfaceNames[a] < m_interfaceNames[b];
    });
    m_present.assign(m_interfaceNames.size(), false);
    m_totals.assign(m_interfaceNames.size(), 0);
    return true;
}

bool NetTraffic::ReadCounters() {
    if (!ReadWholeFile(m_paths.netDev, m_table))
        return false;
    std::fill(m_present.begin(), m_present.end(), false);
    ForEachByteTotal(m_table, [this](std::string_view name, std::uint32_t bytes) {
        const auto found = std::lower_bound(
            m_byName.begin(), m_byName.end(), name,
            [this](std::size_t i, std::string_view n) { return m_interfaceNames[i] < n; });
        if (found == m_byName.end() || m_interfaceNames[*found] != name)
            return;
        m_present[*found] = true;
        m_totals[*found] = bytes;
    });
    return true;
}

double NetTraffic::SampleTraffic(int interfaceNumber) {
    if (interfaceNumber < 0 || static_cast<std::size_t>(interfaceNumber) >= m_interfaceNames.size())
        return 0.0;
    if (!ReadCounters())
        return 1.0;
    const std::string& wanted = m_interfaceNames[static_cast<std::size_t>(interfaceNumber)];
    // Readings are stored by position among the interfaces still there, up to and including the
    // wanted one: an interface that is gone moves the later readings one place forward.
    std::size_t k = 0;
    for (std::size_t i = 0; i < m_interfaceNames.size(); ++i) {
        if (!m_present[i])
            continue;
        m_interfaceCounterReadings[k++] = m_totals[i];
        if (m_interfaceNames[i] != wanted)
            continue;
        // Unsigned conversion: a reading with the top bit set stays positive.
        const double reading = static_cast<double>(m_totals[i]);
        double result = 0.0;
        if (m_lastSampledInterface == interfaceNumber)
            result = reading - m_lastCounterReading;
        else
            m_lastSampledInterface = interfaceNumber;
        m_lastCounterReading = reading;
        return result;
    }
    return 0.0;
}

std::uint32_t NetTraffic::GetInterfaceCounterValue(int interfaceNumber) {
    if (interfaceNumber < 0 ||
        static_cast<std::size_t>(interfaceNumber) >= m_interfaceCounterReadings.size())
        return 0;
    const auto position = static_cast<std::size_t>(interfaceNumber);
    if (m_interfaceCounterReadings[position] == 0)
        SampleTraffic(interfaceNumber);
    return m_interfaceCounterReadings[position];
}
