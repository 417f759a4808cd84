#include "app/input_checks.h"

#include <gtest/gtest.h>

namespace {

struct AddressCase {
    std::string name;
    std::string text;
    bool accepted;
};

std::vector<AddressCase> AddressCases() {
    // Four parts of at most 255 in 99 bytes: long runs of leading zeros.
    const std::string part(24, '0');
    const std::string longValid =
        part + "1." + part + "2." + part + "3." + part.substr(0, 20) + "4";
    return {
        {"plain", "192.168.1.10", true},
        {"empty_parts_between_dots", "1..2.3.4", true},
        {"dots_at_both_ends", ".1.2.3.4.", true},
        {"octal_looking_part", "010.1.1.1", true},
        {"largest_parts", "255.255.255.255", true},
        {"three_parts", "1.2.3", false},
        {"five_parts", "1.2.3.4.5", false},
        {"part_above_255", "256.1.1.1", false},
        {"leading_blank", " 1.2.3.4", false},
        {"trailing_blank", "1.2.3.4 ", false},
        {"letters", "1.2.3.a", false},
        {"sign", "1.2.3.+4", false},
        {"empty", "", false},
        {"only_dots", "...", false},
        {"99_bytes_four_parts", longValid, true},
        {"100_bytes", longValid + "0", false},
        {"part_beyond_32_bits", "1.2.3.99999999999999999999", false},
        {"part_wrapping_to_small", "1.2.3.4294967297", false},
    };
}

TEST(IsValidIpText, AddressTable) {
    for (const AddressCase& c : AddressCases()) {
        EXPECT_EQ(IsValidIpText(c.text), c.accepted)
            << c.name << " (" << c.text.size() << " bytes)";
    }
    EXPECT_EQ(AddressCases()[14].text.size(), 99u);
}

TEST(IsAllDigits, SignedFormOfPortMembers) {
    EXPECT_TRUE(IsAllDigits(""));
    EXPECT_TRUE(IsAllDigits("2147483647"));
    EXPECT_TRUE(IsAllDigits("10001"));
    EXPECT_FALSE(IsAllDigits("-1"));
    EXPECT_FALSE(IsAllDigits("-2147483648"));
    EXPECT_FALSE(IsAllDigits("12a"));
}

} // namespace
