#include "relay/relay_state.h"

#include <cstring>

SharedRelaySettings g_relaySettings;
std::atomic<int> g_stopRelay{0};
std::atomic<int> g_c2sTcpWaiting{0};
std::atomic<int> g_s2cTcpWaiting{0};
std::array<char, RELAY_BUFFER_SIZE> g_relayBuffer{};

namespace {
std::atomic<std::uint32_t> g_publishedHead{0};
}

RelaySettings SharedRelaySettings::Get() const {
    std::lock_guard lock(m_mutex);
    return m_settings;
}

void SharedRelaySettings::Set(const RelaySettings& settings) {
    std::lock_guard lock(m_mutex);
    m_settings = settings;
}

void SharedRelaySettings::SetClientAddress(const std::string& address) {
    std::lock_guard lock(m_mutex);
    m_settings.clientAddress = address;
}

void SharedRelaySettings::SetServerAddress(const std::string& address) {
    std::lock_guard lock(m_mutex);
    m_settings.serverAddress = address;
}

void SharedRelaySettings::SetClientPort(std::int32_t port) {
    std::lock_guard lock(m_mutex);
    m_settings.clientPort = port;
}

void SharedRelaySettings::SetServerPort(std::int32_t port) {
    std::lock_guard lock(m_mutex);
    m_settings.serverPort = port;
}

void PublishRelayBufferHead() {
    std::uint32_t head = 0;
    std::memcpy(&head, g_relayBuffer.data(), sizeof head);
    g_publishedHead.store(head, std::memory_order_relaxed);
}

std::array<std::uint8_t, 4> RelayBufferHead() {
    const std::uint32_t head = g_publishedHead.load(std::memory_order_relaxed);
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &head, sizeof head);
    return bytes;
}
