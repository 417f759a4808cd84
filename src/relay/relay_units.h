#pragma once

// What the TCP and the UDP relay share: how much one receive takes and what is forwarded of it.

#include <cstddef>
#include <cstring>

// The relay buffer one receive goes into.
inline constexpr std::size_t RELAY_BUFFER_SIZE = 4096;

// One byte of the buffer is kept for the zero put after what a receive took, so the forwarded text
// never runs into bytes of an earlier receive.
inline constexpr std::size_t kMaxReceive = RELAY_BUFFER_SIZE - 1;

// The text of a received unit: its bytes up to the first zero byte.
inline std::size_t TextLength(const char* data, std::size_t received) noexcept {
    const void* zero = std::memchr(data, 0, received);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - data)
                           : received;
}
