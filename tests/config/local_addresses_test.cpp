#include "config/local_addresses.h"

#include "test_namespaces.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using AddressList = std::optional<std::vector<std::string>>;

// The addresses `ip` lists for interfaces that are up, of one family ("-4" or "-6"), in its
// order; IPv6 link-local ones with their interface, as the lists show them.
AddressList AddressesShownByIp(const std::string& family) {
    const CommandResult shown = RunCommand("ip " + family + " -o addr show up");
    if (shown.status != 0)
        return std::nullopt;
    // Lines read "<index>: <name>    inet[6] <address>/<prefix> scope <scope> ...".
    std::vector<std::string> addresses;
    std::istringstream lines(shown.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string index, name, kind, address, scopeWord, scope;
        words >> index >> name >> kind >> address >> scopeWord >> scope;
        address = address.substr(0, address.find('/'));
        if (scope == "link")
            address += "%" + name;
        addresses.push_back(address);
    }
    return addresses;
}

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1";
}

TEST(EnumerateLocalAddresses, MatchesTheSystemsListsIPv4FirstLoopbackBehind) {
    const AddressList v4 = AddressesShownByIp("-4");
    const AddressList v6 = AddressesShownByIp("-6");
    if (!v4 || !v6)
        GTEST_SKIP() << "the ip tool is not available";
    const AddressList listed = EnumerateLocalAddresses();
    ASSERT_TRUE(listed.has_value());

    // Each family in the system's order, its loopback addresses moved behind the others.
    std::vector<std::string> expected = *v4;
    std::stable_partition(expected.begin(), expected.end(),
                          [](const std::string& a) { return !IsLoopback(a); });
    std::vector<std::string> six = *v6;
    std::stable_partition(six.begin(), six.end(),
                          [](const std::string& a) { return !IsLoopback(a); });
    expected.insert(expected.end(), six.begin(), six.end());
    EXPECT_EQ(*listed, expected);
    EXPECT_TRUE(std::any_of(listed->begin(), listed->end(), IsLoopback))
        << "the loopback interface is always up";
}

// Runs `act` in the network namespace `name` (this thread only) and comes back.
template <class Act> bool InNamespace(const std::string& name, Act act) {
    const int own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int other = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = own >= 0 && other >= 0 && ::setns(other, CLONE_NEWNET) == 0;
    if (entered) {
        act();
        ::setns(own, CLONE_NEWNET);
    }
    ::close(own);
    ::close(other);
    return entered;
}

// A card with an IPv4 and an IPv6 address: both lists hold its IPv4 address, then loopback's, then
// its IPv6 address and its link-local one with the card's name, then ::1.
TEST(EnumerateLocalAddresses, BothFamiliesOfACardInANamespace) {
    TestNamespaces ns;
    std::string reason;
    if (!ns.Create(reason))
        GTEST_SKIP() << "cannot create network namespaces here: " << reason;
    ASSERT_EQ(
        ns.Connect({"198.51.100.1/24", "2001:db8::1/64"}, {"198.51.100.2/24", "2001:db8::2/64"}),
        "");
    const std::string card = ns.Card();

    // The kernel gives the card its link-local address a moment after the link comes up: the
    // list is read again until it is there (or the time is up).
    AddressList listed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
        ASSERT_TRUE(InNamespace(ns.CardNamespace(), [&] { listed = EnumerateLocalAddresses(); }));
        ASSERT_TRUE(listed.has_value());
        if (listed->size() >= 5 || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(listed->size(), 5u) << ::testing::PrintToString(*listed);
    EXPECT_EQ((*listed)[0], "198.51.100.1");
    EXPECT_EQ((*listed)[1], "127.0.0.1");
    EXPECT_EQ((*listed)[2], "2001:db8::1");
    EXPECT_EQ((*listed)[3].rfind("fe80::", 0), 0u);
    EXPECT_TRUE((*listed)[3].ends_with("%" + card)) << (*listed)[3];
    EXPECT_EQ((*listed)[4], "::1");
}

} // namespace
