#include "config/parameter_checks.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace {

struct AddressCase {
    std::string name;
    std::string text;
    bool rule;           // the written form Run's check looks for
    const char* relayed; // the address the relay uses, or null when Run refuses the text
};

std::vector<AddressCase> AddressCases() {
    // Four parts of at most 255 in 99 bytes: long runs of leading zeros.
    const std::string part(24, '0');
    const std::string longValid =
        part + "1." + part + "2." + part + "3." + part.substr(0, 20) + "4";
    return {
        {"plain", "192.168.1.10", true, "192.168.1.10"},
        // A leading zero makes a part octal, as it always has.
        {"octal_looking_part", "010.1.1.1", true, "8.1.1.1"},
        {"valid_octal", "0177.0.0.01", true, "127.0.0.1"},
        {"largest_parts", "255.255.255.255", true, "255.255.255.255"},
        {"99_bytes_four_parts", longValid, true, "1.2.3.4"},
        // The written form, but no address the conversion can read: refused, never relayed to
        // 255.255.255.255.
        {"octal_nine", "127.0.0.09", true, nullptr},
        {"empty_parts_between_dots", "1..2.3.4", true, nullptr},
        {"dots_at_both_ends", ".1.2.3.4.", true, nullptr},
        {"three_parts", "1.2.3", false, nullptr},
        {"five_parts", "1.2.3.4.5", false, nullptr},
        {"hexadecimal", "0x7f.1", false, nullptr},
        {"part_above_255", "256.1.1.1", false, nullptr},
        {"leading_blank", " 1.2.3.4", false, nullptr},
        {"trailing_blank", "1.2.3.4 ", false, nullptr},
        {"letters", "1.2.3.a", false, nullptr},
        {"sign", "1.2.3.+4", false, nullptr},
        {"empty", "", false, nullptr},
        {"only_dots", "...", false, nullptr},
        {"100_bytes", longValid + "0", false, nullptr},
        {"part_beyond_32_bits", "1.2.3.99999999999999999999", false, nullptr},
        {"part_wrapping_to_small", "1.2.3.4294967297", false, nullptr},
        // IPv6 literals, printed with brackets around the address.
        {"v6_loopback", "::1", false, "[::1]"},
        {"v6_documentation", "2001:db8::1", false, "[2001:db8::1]"},
        {"v6_link_local_with_interface", "fe80::1%lo", false, "[fe80::1%lo]"},
        {"v6_mapped_v4", "::ffff:1.2.3.4", false, "[::ffff:1.2.3.4]"},
        {"v6_wildcard", "::", false, "[::]"},
        {"v6_nine_groups", "1:2:3:4:5:6:7:8:9", false, nullptr},
        {"v6_in_brackets", "[::1]", false, nullptr},
        {"v6_bad_digit", "2001:db8::g", false, nullptr},
        {"v6_link_local_without_interface", "fe80::1", false, nullptr},
        {"v6_link_local_unknown_interface", "fe80::1%nosuchcard0", false, nullptr},
        {"v6_interface_on_a_global_address", "2001:db8::1%lo", false, nullptr},
        {"v6_blank", " ::1", false, nullptr},
    };
}

// Run's check and the relay's conversion agree on every text: what Run takes is what the relay
// uses.
TEST(EndpointFromText, AddressTable) {
    for (const AddressCase& c : AddressCases()) {
        SCOPED_TRACE(c.name + " (" + std::to_string(c.text.size()) + " bytes)");
        EXPECT_EQ(IsValidIpText(c.text), c.rule);
        const std::optional<Endpoint> endpoint = EndpointFromText(c.text, 5000);
        ASSERT_EQ(endpoint.has_value(), c.relayed != nullptr);
        if (endpoint) {
            EXPECT_EQ(EndpointText(*endpoint), std::string(c.relayed) + ":5000");
            // The text the file keeps reads back as the same endpoint.
            EXPECT_EQ(EndpointFromText(c.text, 5000), endpoint);
        }
    }
    EXPECT_EQ(AddressCases()[4].text.size(), 99u);
}

// A port is used as it is or not at all: its low 16 bits would be a port nobody chose.
TEST(EndpointFromText, APortOutsideSixteenBitsGivesNoEndpoint) {
    struct Case {
        std::int32_t port;
        int used; // -1: no endpoint
    };
    for (const char* address : {"127.0.0.3", "::1"}) {
        for (const Case& c :
             {Case{0, 0}, Case{80, 80}, Case{65535, 65535}, Case{65536, -1}, Case{65536 + 80, -1},
              Case{70000, -1}, Case{-1, -1}, Case{INT32_MIN, -1}, Case{INT32_MAX, -1}}) {
            SCOPED_TRACE(std::string(address) + " port " + std::to_string(c.port));
            const std::optional<Endpoint> endpoint = EndpointFromText(address, c.port);
            ASSERT_EQ(endpoint.has_value(), c.used >= 0);
            if (endpoint) {
                EXPECT_EQ(endpoint->Port(), c.used);
            }
        }
    }
    // Nor does a plan come of it.
    EXPECT_FALSE(
        PlanFromParameters(Parameters{true, false, "127.0.0.2", 70000, "127.0.0.3", 6000}));
}

TEST(PlanFromParameters, ModeDecidesTheSideWaitedOn) {
    Parameters parameters{true, false, "127.0.0.2", 5000, "127.0.0.3", 6000};
    std::optional<RelayPlan> plan = PlanFromParameters(parameters);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->protocol, RelayProtocol::Tcp);
    EXPECT_EQ(plan->waitSide, RelaySide::Server);
    EXPECT_EQ(EndpointText(plan->waitEndpoint), "127.0.0.3:6000");
    EXPECT_EQ(EndpointText(plan->otherEndpoint), "127.0.0.2:5000");

    parameters.clientToServer = false;
    parameters.udp = true;
    plan = PlanFromParameters(parameters);
    ASSERT_TRUE(plan.has_value());
    EXPECT_EQ(plan->protocol, RelayProtocol::Udp);
    EXPECT_EQ(plan->waitSide, RelaySide::Client);
    EXPECT_EQ(EndpointText(plan->waitEndpoint), "127.0.0.2:5000");
    EXPECT_EQ(EndpointText(plan->otherEndpoint), "127.0.0.3:6000");

    parameters.serverAddress = "127.0.0.09";
    EXPECT_FALSE(PlanFromParameters(parameters).has_value());
}

} // namespace
