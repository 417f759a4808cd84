#pragma once

#include "platform/unique_fd.h"

// A new socket of `family` (AF_INET or AF_INET6) and `type` (SOCK_STREAM or SOCK_DGRAM, optionally
// with SOCK_NONBLOCK). It is close-on-exec: a program started from the dialog must never hold a
// relay endpoint or keep a connection from closing.
UniqueFd OpenSocket(int family, int type);

// An IPv6 socket that listens or is bound takes IPv6 peers only: without it, binding the IPv6
// wildcard would take IPv4 peers too, by surprise. Nothing for an IPv4 socket.
void KeepToOwnFamily(const UniqueFd& socket, int family);
