#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "relay/relay_state.h"
#include "relay/relay_worker.h"
#include "relay/socket_handle.h"

// An IPv4 socket address from dotted text (inet_addr rules) and a port of which only the low 16
// bits count.
sockaddr_in MakeSocketAddress(const std::string& address, std::int32_t port);

// The endpoint of one side of the settings.
sockaddr_in SideEndpoint(const RelaySettings& settings, RelaySide side);

// Sockets need no start-up here; the routine keeps its place in the workers' sequence.
bool StartSockets();

// Listen on the endpoint, accept exactly one connection and close the listening socket at once.
// The socket is empty when a step fails (recorded with the worker) or the worker was released.
ReleasableSocket AcceptOnServerEndpoint(RelayWorker& worker);
ReleasableSocket AcceptOnClientEndpoint(RelayWorker& worker);

// A TCP socket connected to the endpoint; empty when the connect fails (recorded with the worker)
// or the worker was released.
ReleasableSocket ConnectToClientEndpoint(RelayWorker& worker);
ReleasableSocket ConnectToServerEndpoint(RelayWorker& worker);

// Data never flows back, but what a TCP destination sends is read and dropped: left unread, it
// would turn the final close into a reset. False once the peer has closed (error 0) or the
// socket failed (error set).
bool DropReturnedData(int fd, int& error);

// Closes a TCP destination so that it sees an orderly close after the last byte: the sending side
// is shut down first, then what the peer still sends is dropped until it closes too (or a short
// while passes). Closing with unread input would reset the connection and cut the stream's tail.
void CloseOrderly(ReleasableSocket& destination);

// Completes the pending accept of a worker listening on (address, port) with a connection that is
// closed at once.
void WakeAcceptingWorker(std::string address, int port);
