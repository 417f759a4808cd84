#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

// What a service tells systemd, in the notification protocol systemd documents as a stable
// interface: one datagram of "KEY=value" lines to the socket $NOTIFY_SOCKET names, with
// descriptors attached for its descriptor store. Spoken here directly, as linking the library
// that wraps it would cost the relay program more memory than everything else it does. False
// when there is no service manager to tell (errno ENOENT), or it could not be told (errno says
// why); the same holds for the functions below.
bool NotifyServiceManager(std::string_view state, std::span<const int> descriptors = {});

// A descriptor systemd passed at start ($LISTEN_FDS from 3 on, named by $LISTEN_FDNAMES): here
// the ones an earlier process of the same service left in its descriptor store.
struct PassedDescriptor {
    std::string name;
    UniqueFd descriptor;
};

// What the variables naming passed descriptors gave this process.
struct PassedDescriptors {
    std::vector<PassedDescriptor> descriptors;
    // Why none was taken although the variables named some for this process; empty otherwise.
    std::string refusal;
};

// Takes the descriptors systemd passed to this process and removes the variables that name them,
// so that nothing started later takes them for its own. Every one passed becomes close-on-exec,
// but they are taken only when the variables agree ($LISTEN_PID this process, $LISTEN_FDS a
// count, $LISTEN_FDNAMES as many names) and every one is open: a process that opened nothing yet
// can tell a descriptor it received from one it did not. Called before anything is opened.
PassedDescriptors TakePassedDescriptors();

// Puts `descriptor` into the service's descriptor store under `name` ("FDSTORE=1"), to be passed
// to the service's next process; it stays there until that process takes it out again.
bool StoreDescriptor(std::string_view name, int descriptor);
// Takes every descriptor stored under `name` out of the store ("FDSTOREREMOVE=1"), so that
// systemd holds no copy that would keep a connection open.
bool RemoveStoredDescriptors(std::string_view name);

// Until systemd has dealt with every message sent before ("BARRIER=1"), at most `bound` long:
// a process that exits straight after storing descriptors must not leave before they are stored.
// False when there is no service manager, or it did not answer in time.
bool WaitForServiceManager(std::chrono::milliseconds bound);
