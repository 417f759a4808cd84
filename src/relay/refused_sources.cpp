#include "relay/refused_sources.h"

#include <algorithm>

namespace {

// Addresses beyond this many are only counted, so a scan of a whole network cannot grow the list
// without end.
constexpr std::size_t kSourcesNamed = 1024;

// The source's address alone: each connection of one host comes from a port of its own.
Endpoint AddressOnly(const Endpoint& source) {
    sockaddr_storage address{};
    std::copy_n(reinterpret_cast<const char*>(source.Address()), source.Length(),
                reinterpret_cast<char*>(&address));
    if (source.Family() == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&address)->sin_port = 0;
    } else if (source.Family() == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_port = 0;
        v6->sin6_flowinfo = 0;
    }
    return Endpoint::FromSockaddr(reinterpret_cast<const sockaddr*>(&address), source.Length());
}

} // namespace

RefusedSources::RefusedSources(std::chrono::steady_clock::duration summaryInterval)
    : m_summaryInterval(summaryInterval) {}

void RefusedSources::Refused(RelayWorker& worker, RelaySide side, const Endpoint& endpoint,
                             const Endpoint& source) {
    worker.CountRefused(1);
    const Endpoint address = AddressOnly(source);
    const bool named = std::find(m_named.begin(), m_named.end(), address) != m_named.end();
    if (!named && m_named.size() < kSourcesNamed) {
        m_named.push_back(address);
        worker.Report({RelayEvent::Kind::Refused, side, endpoint, source});
        return;
    }
    ++m_unreported;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastSummary >= m_summaryInterval) {
        worker.Report({RelayEvent::Kind::RefusedMore, side, endpoint, {}, m_unreported});
        m_unreported = 0;
        m_lastSummary = now;
    }
}
