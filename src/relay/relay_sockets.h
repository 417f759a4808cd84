#pragma once

#include "relay/endpoint.h"
#include "relay/relay_outcome.h"
#include "relay/relay_worker.h"
#include "relay/socket_handle.h"

// Listens on `endpoint`, accepts exactly one connection and closes the listening socket at once.
// Empty when a step fails (recorded with the worker) or the worker was released first.
ReleasableSocket AcceptOne(RelayWorker& worker, RelaySide side, const Endpoint& endpoint);

// A TCP socket connected to `endpoint`; empty when the connect fails (recorded with the worker)
// or the worker was released.
ReleasableSocket ConnectOut(RelayWorker& worker, RelaySide side, const Endpoint& endpoint);

// Data never flows back, but what a TCP destination sends is read and dropped: left unread, it
// would turn the final close into a reset. False once the peer has closed (error 0) or the
// socket failed (error set).
bool DropReturnedData(int fd, int& error);

// Closes a TCP destination so that it sees an orderly close after the last byte: the sending side
// is shut down first, then what the peer still sends is dropped until it closes too (or a short
// while passes). Closing with unread input would reset the connection and cut the stream's tail.
void CloseOrderly(ReleasableSocket& destination);
