#pragma once

// The figures gathered over the rounds, and the table and ratios printed from their medians.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "relay_harness.h"

namespace relaybench {

// One measure of one contender over the rounds: the rounds that gave a figure, and how many failed.
struct Series {
    std::vector<double> values;
    int failed = 0;
    void Add(bool ok, double value) {
        if (ok) {
            values.push_back(value);
        } else {
            ++failed;
        }
    }
    double Median() const { return relaybench::Median(values); }
    double Min() const {
        return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
    }
    double Max() const {
        return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    }
    bool Empty() const { return values.empty(); }
};

struct Figures {
    Series tcp;    // MB/s of input
    Series tcpCpu; // relay CPU seconds per GB of input
    Series udp512; // datagrams delivered per second at full rate
    Series udp1400;
    Series paced; // loss in %
    Series gentle;
    Series tcpP50; // latency in microseconds
    Series tcpP99;
    Series tcpAdded; // p50 over the direct path's in the same round
    Series udpP50;
    Series udpP99;
    Series udpAdded;
    Series tcpStart; // ms from the spawn to the port accepting a connection
    Series udpStart; // ms from the spawn to the port bound
    Series tcpLine;  // ms from the spawn to our waiting line
    Series udpLine;
    Series tcpRss; // MiB, the smallest and largest reading of each measurement
    Series udpRss;
};

void PrintReport(const std::vector<Relay>& relays, const std::vector<Figures>& figures, int rounds,
                 int pacedRate, int gentleRate);

} // namespace relaybench
