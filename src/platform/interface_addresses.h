#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

// One IPv4 or IPv6 address of one of this machine's interfaces.
struct InterfaceAddress {
    sockaddr_storage address{}; // AF_INET or AF_INET6, without a port
    int prefixLength = 0;       // of its network, as its netmask says
    bool up = false;
    bool loopback = false;
    std::string interfaceName;

    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address); }
    int Family() const { return address.ss_family; }
};

// The one place that asks which addresses are this machine's: every IPv4 and IPv6 address of its
// interfaces, in the system's order. None when the interfaces cannot be listed.
std::optional<std::vector<InterfaceAddress>> ReadInterfaceAddresses();
