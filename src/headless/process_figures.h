#pragma once

#include <cstdint>

// What the system says of this process, for the metrics every monitored program gives under the
// same names.
struct ProcessFigures {
    std::uint64_t openDescriptors = 0;
    std::uint64_t descriptorLimit = 0;
    std::uint64_t residentBytes = 0;
    double cpuSeconds = 0; // user and system
    double startTime = 0;  // seconds since 1970
};

// Read from /proc/self now; a figure the system will not give stays 0.
ProcessFigures ReadProcessFigures();
