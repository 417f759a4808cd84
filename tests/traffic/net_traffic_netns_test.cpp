// The live sampler in a network namespace this test makes: loopback and one veth card, whose
// other end lies in a second namespace holding the card's test host. The sampler runs in a probe
// started with `ip netns exec`, so nothing else on the machine sees either namespace.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_namespaces.h"

namespace {

// The probe's "key value..." lines.
std::map<std::string, std::string> ParseReport(const std::string& output) {
    std::map<std::string, std::string> report;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t space = line.find(' ');
        report[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return report;
}

double Number(const std::map<std::string, std::string>& report, const std::string& key) {
    const auto found = report.find(key);
    return found == report.end() ? -1.0 : std::stod(found->second);
}

TEST(NetTrafficNamespace, VethCardIsListedFirstAndCountsWhatWasSentToItsTestHost) {
    TestNamespaces ns;
    std::string reason;
    if (!ns.Create(reason))
        GTEST_SKIP() << "cannot create network namespaces here: " << reason;
    ASSERT_EQ(ns.Connect({"198.51.100.1/24"}, {"198.51.100.2/24"}), "");
    const std::string card = ns.Card();

    constexpr std::size_t kBytes = 4u << 20;
    const CommandResult probe =
        RunCommand("ip netns exec " + ns.CardNamespace() + " " TARVEL_NETNS_PROBE " " +
                   ns.HostNamespace() + " 198.51.100.2 " + std::to_string(kBytes));
    ASSERT_EQ(probe.status, 0) << probe.output;
    const auto report = ParseReport(probe.output);
    SCOPED_TRACE(probe.output);

    // Kernel order is lo, card; the card comes first and loopback last.
    EXPECT_EQ(report.at("listed"), card + " lo");
    // Loopback traffic leaves the card's graph flat: a few neighbour-discovery packets at most.
    ASSERT_EQ(Number(report, "loopback-bytes"), kBytes);
    EXPECT_LT(Number(report, "first-during-loopback"), 16 * 1024);
    // Everything sent to the test host crossed the card, headers on top.
    ASSERT_EQ(Number(report, "card-bytes"), kBytes);
    EXPECT_GE(Number(report, "first-during-card"), kBytes);
    // A card that went down stays listed in the running sampler but counts nothing more; a new
    // sampler does not list it.
    EXPECT_EQ(Number(report, "first-after-down"), 0.0);
    EXPECT_EQ(report.at("listed-after-down"), "lo");
}

} // namespace
