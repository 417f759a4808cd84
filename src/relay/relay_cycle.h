#pragma once

// What the TCP and the UDP relay cycle share: how much one receive takes and what is forwarded.

#include <cstddef>
#include <cstring>

#include "relay/relay_state.h"

// One byte of the buffer is kept for the zero put after what a receive took, so the forwarded text
// never runs into bytes of an earlier receive.
inline constexpr std::size_t kMaxReceive = RELAY_BUFFER_SIZE - 1;

// The text of a received unit: its bytes up to the first zero byte.
inline std::size_t TextLength(const char* data, std::size_t received) noexcept {
    const void* zero = std::memchr(data, 0, received);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - data)
                           : received;
}

// What one receive took, before the zero that ends it.
struct ReceivedUnit {
    const char* data;
    std::size_t length;
};

// Leaves the relay buffer as receiving `count` units into it one after another would: each byte
// is the one of the last unit (or that unit's terminating zero) that reached that far, copied
// once. `unitAt(i)` gives unit i.
template <class UnitAt> void CopyUnitsIntoRelayBuffer(std::size_t count, UnitAt unitAt) noexcept {
    std::size_t covered = 0;
    for (std::size_t i = count; i-- > 0;) {
        const ReceivedUnit unit = unitAt(i);
        if (unit.length + 1 > covered) {
            std::memcpy(g_relayBuffer.data() + covered, unit.data + covered, unit.length - covered);
            g_relayBuffer[unit.length] = '\0';
            covered = unit.length + 1;
        }
    }
}
