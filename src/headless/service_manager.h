#pragma once

#include <span>
#include <string_view>

// What a service tells systemd, in the notification protocol systemd documents as a stable
// interface: one datagram of "KEY=value" lines to the socket $NOTIFY_SOCKET names, with
// descriptors attached for its descriptor store. Spoken here directly, as linking the library
// that wraps it would cost the relay program more memory than everything else it does. False
// when there is no service manager to tell, or it could not be told.
bool NotifyServiceManager(std::string_view state, std::span<const int> descriptors = {});
