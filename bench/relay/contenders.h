#pragma once

// The relays measured side by side: ours in text and in bytes mode, the programs a user would
// pick instead where they are installed, and the direct path.

#include <string>
#include <vector>

#include "relay_harness.h"

namespace relaybench {

// The installed programs; `tarvel` is the given path, else the one the build made.
Programs FindPrograms(const std::string& tarvel);

// Every contender whose program is there, the direct path last; says why each missing one is left
// out.
std::vector<Relay> Contenders(const Programs& programs);

} // namespace relaybench
