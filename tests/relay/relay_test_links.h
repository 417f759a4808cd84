#pragma once

// Running one worker between test peers: which endpoint each worker waits on, and the sockets the
// tests use on either side of it.

#include <atomic>
#include <ostream>
#include <string>

#include "relay/relay_control.h"
#include "relay/relay_workers.h"
#include "relay_test_peers.h"

namespace relaytest {

struct WorkerCase {
    const char* name;
    RelayWorkerProc proc;
    bool tcp;
    // The side the worker listens or binds on; data always leaves from the other one for UDP and
    // from the client side for TCP.
    bool waitsOnServer;
    std::atomic<int>* waiting; // TCP only
};

inline const WorkerCase kUdpClientToServer{"UdpClientToServer", UdpClientToServerThread, false,
                                           true, nullptr};
inline const WorkerCase kTcpClientToServer{"TcpClientToServer", TcpClientToServerThread, true, true,
                                           &g_c2sTcpWaiting};
inline const WorkerCase kTcpServerToClient{"TcpServerToClient", TcpServerToClientThread, true,
                                           false, &g_s2cTcpWaiting};
inline const WorkerCase kUdpServerToClient{"UdpServerToClient", UdpServerToClientThread, false,
                                           false, nullptr};

inline const WorkerCase kAllWorkers[] = {kUdpClientToServer, kTcpClientToServer, kTcpServerToClient,
                                         kUdpServerToClient};
inline const WorkerCase kTcpWorkers[] = {kTcpClientToServer, kTcpServerToClient};

inline std::string CaseName(const WorkerCase& c) {
    return c.name;
}
inline void PrintTo(const WorkerCase& c, std::ostream* out) {
    *out << c.name;
}

struct Endpoint {
    const char* address;
    int port;
};

// Picks free ports for both endpoints and puts them into the shared settings.
struct Endpoints {
    Endpoint client{kClientAddress, 0};
    Endpoint server{kServerAddress, 0};

    static Endpoints Pick(bool tcp) {
        Endpoints endpoints;
        const int type = tcp ? SOCK_STREAM : SOCK_DGRAM;
        endpoints.client.port = FreePort(kClientAddress, type);
        endpoints.server.port = FreePort(kServerAddress, type);
        UseEndpoints(endpoints.client.port, endpoints.server.port);
        return endpoints;
    }
    Endpoint WaitSide(const WorkerCase& c) const { return c.waitsOnServer ? server : client; }
    Endpoint OtherSide(const WorkerCase& c) const { return c.waitsOnServer ? client : server; }
};

// A worker with its peers, ready to carry data.
struct Link {
    // TCP: the connection on the client endpoint (the source) and on the server endpoint (the
    // destination). UDP: the socket that sends to the worker and the one bound where it forwards.
    SocketHandle source;
    SocketHandle destination;
    Endpoint workerEndpoint{};

    bool Ready() const { return source.Valid() && destination.Valid(); }

    void Send(const WorkerCase& c, std::string_view data) const {
        if (c.tcp) {
            SendAll(source.Get(), data);
        } else {
            SendDatagram(source.Get(), data, workerEndpoint.address, workerEndpoint.port);
        }
    }
};

// Starts a worker the way Run does: the stop flag is cleared first.
inline void RunWorker(RelayWorkerProc proc) {
    g_stopRelay = 0;
    StartRelayWorker(proc);
}

// Starts the worker and connects peers to it on the given endpoints.
inline Link StartLinked(const WorkerCase& c, const Endpoints& endpoints) {
    Link link;
    link.workerEndpoint = endpoints.WaitSide(c);
    const Endpoint other = endpoints.OtherSide(c);
    if (c.tcp) {
        SocketHandle listening = ListenOn(other.address, other.port);
        RunWorker(c.proc);
        SocketHandle incoming =
            ConnectWithin(link.workerEndpoint.address, link.workerEndpoint.port);
        SocketHandle outgoing = AcceptWithin(listening.Get());
        // TCP data always goes from the client endpoint to the server endpoint.
        link.source = std::move(c.waitsOnServer ? outgoing : incoming);
        link.destination = std::move(c.waitsOnServer ? incoming : outgoing);
    } else {
        link.destination = BindUdp(other.address, other.port);
        RunWorker(c.proc);
        if (WaitUntil([&] {
                return IsUdpBound(link.workerEndpoint.address, link.workerEndpoint.port);
            })) {
            link.source = BindUdp(other.address, 0);
        }
    }
    return link;
}

// What arrived at the destination: for UDP one datagram, for TCP the next `expected` bytes.
inline std::string ReadForwarded(const WorkerCase& c, const Link& link, std::size_t expected,
                                 std::chrono::milliseconds timeout = kTimeout) {
    if (c.tcp) {
        return ReadStream(link.destination.Get(), expected, timeout).data;
    }
    const auto datagram = ReceiveDatagram(link.destination.Get(), timeout);
    return datagram ? datagram->data : std::string();
}

// True when nothing at all arrives at the destination for a while (a TCP close counts as nothing).
inline bool NothingForwarded(const WorkerCase& c, const Link& link) {
    if (c.tcp) {
        return ReadUntilClosed(link.destination.Get(), kQuiet).data.empty();
    }
    return !ReceiveDatagram(link.destination.Get(), kQuiet).has_value();
}

} // namespace relaytest
