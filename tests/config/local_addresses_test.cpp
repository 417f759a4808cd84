#include "config/local_addresses.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using AddressList = std::optional<std::vector<std::string>>;

// The IPv4 addresses `ip` lists for interfaces that are up, in its order.
std::optional<std::vector<std::string>> AddressesShownByIp() {
    struct PipeCloser {
        void operator()(FILE* f) const { ::pclose(f); }
    };
    std::unique_ptr<FILE, PipeCloser> pipe(::popen("ip -4 -o addr show up 2>/dev/null", "r"));
    if (!pipe) {
        return std::nullopt;
    }
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
        output += buffer;
    }
    if (::pclose(pipe.release()) != 0) {
        return std::nullopt;
    }
    // Lines read "<index>: <name>    inet <address>/<prefix> ...".
    std::vector<std::string> addresses;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        while (words >> word && word != "inet") {
        }
        if (words >> word) {
            addresses.push_back(word.substr(0, word.find('/')));
        }
    }
    return addresses;
}

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0;
}

TEST(EnumerateLocalIPv4Addresses, MatchesTheSystemsListWithLoopbackLast) {
    const AddressList shown = AddressesShownByIp();
    if (!shown) {
        GTEST_SKIP() << "the ip tool is not available";
    }
    const AddressList listed = EnumerateLocalIPv4Addresses();
    ASSERT_TRUE(listed.has_value());

    // Same order as the system's, once loopback addresses are moved behind the others.
    std::vector<std::string> expected = *shown;
    std::stable_partition(expected.begin(), expected.end(),
                          [](const std::string& a) { return !IsLoopback(a); });
    EXPECT_EQ(*listed, expected);
    EXPECT_TRUE(std::any_of(listed->begin(), listed->end(), IsLoopback))
        << "the loopback interface is always up";
}

} // namespace
