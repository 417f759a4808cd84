#pragma once

// The relays measured side by side: ours in text and in bytes mode, the same relay run by the
// dialog's program, the programs a user would pick instead where they are installed, and the
// direct path.

#include <string>
#include <vector>

#include "relay_harness.h"

namespace relaybench {

// The installed programs beside ours: `relay` (tarvel-relay) and `tarvel` as given.
Programs FindPrograms(const std::string& relay, const std::string& tarvel);

// Every contender whose program is there, the direct path last; says why each missing one is left
// out.
std::vector<Relay> Contenders(const Programs& programs);

} // namespace relaybench
