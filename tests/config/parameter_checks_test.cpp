#include "config/parameter_checks.h"
#include "config/stored_settings.h"

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
        // IPv4 written as IPv6: refused, so the check never passes what the relay cannot bind.
        {"v6_mapped_v4", "::ffff:1.2.3.4", false, nullptr},
        {"v6_mapped_v4_in_hex", "::ffff:7f00:1", false, nullptr},
        {"v6_compatible_v4_is_plain_v6", "::127.0.0.1", false, "[::127.0.0.1]"},
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
    StoredSettings settings;
    settings.parameters = Parameters{true, false, "127.0.0.2", 70000, "127.0.0.3", 6000};
    EXPECT_FALSE(CheckSettings(settings).plan.has_value());
}

// Where the relay program serves its metrics: an IPv4 address as inet_pton reads it, or an IPv6
// literal in brackets, and a port of 1 to 65535.
TEST(ListenEndpointFromText, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"127.0.0.1:9100", "127.0.0.1:9100"},
        {"0.0.0.0:65535", "0.0.0.0:65535"},
        {"[::1]:1", "[::1]:1"},
        {"[fe80::1%lo]:9100", "[fe80::1%lo]:9100"},
        {"127.0.0.1", nullptr},
        {"127.0.0.1:", nullptr},
        {"127.0.0.1:0", nullptr},
        {"127.0.0.1:65536", nullptr},
        {"127.0.0.1:+80", nullptr},
        {"127.0.0.1: 80", nullptr},
        {"010.0.0.1:80", nullptr},
        {"::1:9100", nullptr},
        {"[127.0.0.1]:80", nullptr},
        {"[::1]", nullptr},
        {"localhost:80", nullptr},
    };
    for (const auto& [text, endpoint] : cases) {
        SCOPED_TRACE(text);
        const std::optional<Endpoint> read = ListenEndpointFromText(text);
        ASSERT_EQ(read.has_value(), endpoint != nullptr);
        if (read) {
            EXPECT_EQ(EndpointText(*read), endpoint);
        }
    }
}

} // namespace
