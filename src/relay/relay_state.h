#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The two endpoints a relay uses. The client endpoint is (clientAddress, clientPort), the server
// endpoint (serverAddress, serverPort). Addresses are dotted-decimal text.
struct RelaySettings {
    std::string clientAddress;
    std::string serverAddress;
    std::int32_t clientPort = 0;
    std::int32_t serverPort = 0;
};

// The dialog thread writes the endpoint record while a worker may be reading it during its set-up,
// so every access goes through a lock and readers take a copy.
class SharedRelaySettings {
public:
    RelaySettings Get() const;
    void Set(const RelaySettings& settings);
    void SetClientAddress(const std::string& address);
    void SetServerAddress(const std::string& address);
    void SetClientPort(std::int32_t port);
    void SetServerPort(std::int32_t port);

private:
    mutable std::mutex m_mutex;
    RelaySettings m_settings;
};

extern SharedRelaySettings g_relaySettings;

// Only the value 1 means "stop"; a worker puts the flag back to 0 on its way out.
extern std::atomic<int> g_stopRelay;
// 1 while the matching TCP worker waits for its one incoming connection.
extern std::atomic<int> g_c2sTcpWaiting;
extern std::atomic<int> g_s2cTcpWaiting;

inline constexpr std::size_t RELAY_BUFFER_SIZE = 4096;

// Written only by the one live worker. Never cleared: a new run starts with what the last one left.
extern std::array<char, RELAY_BUFFER_SIZE> g_relayBuffer;

// The lamps show the buffer's first four bytes. The worker publishes a copy of them after each
// receive so the dialog thread never reads the buffer itself while it is being written.
void PublishRelayBufferHead();
std::array<std::uint8_t, 4> RelayBufferHead();
