#pragma once

// Pushes a known number of bytes through one TCP connection, for tests that watch the interface
// counters grow.

#include <fcntl.h>
#include <sched.h>

#include <future>
#include <string>
#include <thread>

#include "relay_test_peers.h"

namespace traffictest {

using namespace relaytest;

// Sends `bytes` over one TCP connection to `address`. The receiving end runs on its own thread,
// moved into `peerNamespace` first when one is named. Returns the bytes that arrived.
inline std::size_t PushThrough(const char* address, std::size_t bytes,
                               const std::string& peerNamespace = {}) {
    std::promise<int> listening; // the port, or -1
    std::size_t received = 0;
    std::thread sink([&] {
        if (!peerNamespace.empty()) {
            // Only this thread changes namespace; the sampler stays where it was started.
            const int ns = open(("/run/netns/" + peerNamespace).c_str(), O_RDONLY | O_CLOEXEC);
            const bool entered = ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
            if (ns >= 0)
                close(ns);
            if (!entered) {
                listening.set_value(-1);
                return;
            }
        }
        const UniqueFd listener = ListenOn(address, 0);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (!listener.Valid() ||
            getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            listening.set_value(-1);
            return;
        }
        listening.set_value(ntohs(bound.sin_port));
        const UniqueFd connection = AcceptWithin(listener.Get(), 10s);
        if (connection.Valid())
            received = ReadUntilClosed(connection.Get(), 10s).data.size();
    });
    if (const int port = listening.get_future().get(); port > 0) {
        const UniqueFd sender = ConnectWithin(address, port, 10s);
        if (sender.Valid()) {
            SendAll(sender.Get(), std::string(bytes, 'x'));
            shutdown(sender.Get(), SHUT_WR);
        }
    }
    sink.join();
    return received;
}

} // namespace traffictest
