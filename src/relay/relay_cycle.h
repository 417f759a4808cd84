#pragma once

// What the TCP and the UDP relay cycle share: how much one receive takes and what is forwarded.

#include <cstddef>
#include <cstring>

#include "relay/relay_state.h"

// One byte of the buffer is kept for the zero put after what a receive took, so the forwarded text
// never runs into bytes of an earlier receive.
inline constexpr std::size_t kMaxReceive = RELAY_BUFFER_SIZE - 1;

// Terminates what was received and returns the length to forward: the text up to its first zero
// byte, plus that zero byte.
inline std::size_t TerminateReceived(char* buffer, std::size_t received) noexcept {
    buffer[received] = '\0';
    const void* zero = std::memchr(buffer, 0, received);
    const std::size_t text = zero != nullptr
                                 ? static_cast<std::size_t>(static_cast<const char*>(zero) - buffer)
                                 : received;
    return text + 1;
}
