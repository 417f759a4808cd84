// UDP: datagrams from the source through the relay to the sink, at full speed (what is delivered
// per second) or paced (what is lost). Sender and sink move datagrams in batches so that they leave
// the relay the CPU.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "relay_measurements.h"

namespace relaybench {

namespace {
constexpr std::size_t kBatch = 64; // datagrams per call of the sender and the sink
} // namespace

UdpResult UdpRound(const Relay& relay, const Programs& programs, std::size_t size,
                   Clock::duration duration, int rate) {
    UdpResult result;
    UdpPath path = OpenUdpPath(relay, programs);
    if (!path.Ready()) {
        return result;
    }
    const int sink = path.sink.Get();
    RelayWatch watch(path.relay.get());

    std::atomic<bool> sending{true};
    std::size_t delivered = 0;
    std::thread receiver([&] {
        // The sink takes datagrams in batches so that it leaves the relay as much CPU as it can.
        std::vector<char> chunks(kBatch * 2048);
        std::array<iovec, kBatch> parts{};
        std::array<mmsghdr, kBatch> messages{};
        for (std::size_t i = 0; i < kBatch; ++i) {
            parts[i] = {chunks.data() + i * 2048, 2048};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        auto quietSince = Clock::now();
        const auto deadline = Clock::now() + duration + kTransferTimeout;
        while (Clock::now() < deadline) {
            pollfd entry{sink, POLLIN, 0};
            if (::poll(&entry, 1, 50) == 1) {
                int got = 0;
                while ((got = ::recvmmsg(sink, messages.data(), kBatch, MSG_DONTWAIT, nullptr)) >
                       0) {
                    delivered += static_cast<std::size_t>(got);
                }
                quietSince = Clock::now();
            } else if (!sending && Clock::now() - quietSince > 300ms) {
                break;
            }
        }
    });

    const std::string payload = Letters(size);
    // The sender, too, hands datagrams over in batches.
    iovec part{const_cast<char*>(payload.data()), payload.size()};
    std::array<mmsghdr, kBatch> batch{};
    for (mmsghdr& m : batch) {
        // The kernel only reads the address.
        m.msg_hdr.msg_name = const_cast<sockaddr*>(path.to.Address());
        m.msg_hdr.msg_namelen = path.to.Length();
        m.msg_hdr.msg_iov = &part;
        m.msg_hdr.msg_iovlen = 1;
    }
    std::size_t sent = 0;
    std::size_t skipped = 0;
    const auto start = Clock::now();
    auto now = start;
    while (now - start < duration) {
        std::size_t due = sent + 256;
        if (rate > 0) {
            // Paced by spinning: a sleep can oversleep by milliseconds. A sender held up by the
            // machine catches up by one batch at most and gives up the other slots it missed, so
            // the relay sees a paced stream, never a burst larger than any receive buffer.
            const auto scheduled = static_cast<std::size_t>(Seconds(now - start) * rate);
            skipped = std::max(skipped, scheduled - std::min(scheduled, sent + kBatch));
            due = scheduled - skipped;
        }
        while (sent < due) {
            const auto count = static_cast<unsigned>(std::min<std::size_t>(due - sent, kBatch));
            const int done = ::sendmmsg(path.source.Get(), batch.data(), count, 0);
            if (done > 0) {
                sent += static_cast<std::size_t>(done);
            } else if (rate == 0) {
                break;
            }
        }
        now = Clock::now();
    }
    const double elapsed = Seconds(now - start);
    sending = false;
    receiver.join();
    result.relay = watch.Stop();
    result.ok = sent > 0;
    result.sentPerSecond = static_cast<double>(sent) / elapsed;
    result.deliveredPerSecond = static_cast<double>(delivered) / elapsed;
    result.lossPercent = 100.0 * (1.0 - static_cast<double>(delivered) / static_cast<double>(sent));
    return result;
}

} // namespace relaybench
