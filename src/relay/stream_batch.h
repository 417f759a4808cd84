#pragma once

// How a TCP relay takes a run of the stream into its memory and cuts it into what is forwarded.

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cstddef>

#include "relay/relay_plan.h"
#include "relay/relay_units.h"
#include "relay/relay_worker.h"

// Units one receive call takes when the source has more waiting: each is exactly what a receive of
// at most 4095 bytes would have taken at that point of the stream, so the units forwarded are the
// same, with a fraction of the kernel entries.
inline constexpr std::size_t kUnitsPerReceive = 64;

// One receive call's bytes and the parts that forward them. Text: the receive scatters the stream
// into slots of RELAY_BUFFER_SIZE bytes, one unit of at most 4095 bytes each, so that the zero
// after a unit's text is written into the byte after it in place, and whole units without a zero
// of their own lie back to back: a busy stream goes out as one part, not two per unit. Bytes:
// everything as it came, in one part. Allocated once for the worker's life.
struct StreamBatch {
    explicit StreamBatch(ForwardMode mode) : forward(mode) {
        for (std::size_t k = 0; k < kUnitsPerReceive; ++k) {
            slots[k] = {Slot(k), kMaxReceive};
        }
    }

    char* Slot(std::size_t k) { return data.data() + k * RELAY_BUFFER_SIZE; }

    // Receives what the source has waiting, without waiting for more: at most `units` units.
    ssize_t Receive(int source, std::size_t units = kUnitsPerReceive) {
        if (forward == ForwardMode::Bytes) {
            return ::recv(source, data.data(), units * RELAY_BUFFER_SIZE, MSG_DONTWAIT);
        }
        msghdr message{};
        message.msg_iov = slots.data();
        message.msg_iovlen = units;
        return ::recvmsg(source, &message, MSG_DONTWAIT);
    }

    // The parts that forward what was received, how many bytes they hold, and how many bytes the
    // text rule leaves out (those after a unit's first zero).
    std::size_t Cut(std::size_t received, std::size_t& forwardLength, std::size_t& dropped) {
        dropped = 0;
        if (forward == ForwardMode::Bytes) {
            parts[0] = {data.data(), received};
            forwardLength = received;
            return 1;
        }
        std::size_t count = 0;
        forwardLength = 0;
        for (std::size_t k = 0; k * kMaxReceive < received; ++k) {
            char* const unit = Slot(k);
            const std::size_t length = std::min(kMaxReceive, received - k * kMaxReceive);
            const std::size_t text = TextLength(unit, length);
            // A unit's own zero ends its text where it is; otherwise one is put after it.
            if (text == length) {
                unit[length] = '\0';
            } else {
                dropped += length - text - 1;
            }
            const std::size_t forwarded = text + 1;
            if (count > 0 &&
                static_cast<char*>(parts[count - 1].iov_base) + parts[count - 1].iov_len == unit) {
                parts[count - 1].iov_len += forwarded;
            } else {
                parts[count++] = {unit, forwarded};
            }
            forwardLength += forwarded;
        }
        return count;
    }

    // The lamps see the units as successive receives would have left the relay buffer; bytes
    // as one receive of all of them.
    void MoveHead(RelayWorker& worker, std::size_t received) {
        if (forward == ForwardMode::Bytes) {
            worker.HeadAfterReceive(data.data(), received, false);
            return;
        }
        for (std::size_t k = 0; k * kMaxReceive < received; ++k) {
            worker.HeadAfterReceive(Slot(k), std::min(kMaxReceive, received - k * kMaxReceive));
        }
    }

    const ForwardMode forward;
    // Not cleared: a receive writes what is read, and only that is forwarded.
    std::array<char, RELAY_BUFFER_SIZE * kUnitsPerReceive> data;
    std::array<iovec, kUnitsPerReceive> slots{};
    std::array<iovec, kUnitsPerReceive> parts{};
};
