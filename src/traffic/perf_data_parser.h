#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One instance of a Network Interface object, with the value of the counter that was asked for.
struct NetworkInstance {
    std::string name; // narrow form; empty when it does not fit the 255-byte conversion
    std::uint32_t value = 0;
};

// One Network Interface object of an answer. When the object has no definition of the wanted
// counter, `counterFound` is false, it has no instances listed, and it is the last object
// returned: neither enumeration nor sampling looks past it.
struct NetworkObject {
    bool counterFound = false;
    std::vector<NetworkInstance> instances;
};

// Walks a performance-data answer and returns its Network Interface objects, read for the
// counter with name index `counterIndex` (the last of several matching definitions counts).
// Every length, count and offset is checked against the answer's size before it is followed;
// an answer that fails a check gives std::nullopt and is then treated as a failed query.
std::optional<std::vector<NetworkObject>> ParseNetworkObjects(std::span<const std::uint8_t> answer,
                                                              std::uint32_t counterIndex);
