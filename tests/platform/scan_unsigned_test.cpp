#include "platform/scan_unsigned.h"

#include <gtest/gtest.h>

namespace {

struct ScanCase {
    const char* text;
    std::optional<std::uint32_t> expected;
};

class ScanUnsignedTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanUnsignedTest, ReadsAsFormattedInputDoes) {
    EXPECT_EQ(ScanUnsigned(GetParam().text), GetParam().expected) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(Table, ScanUnsignedTest,
                         testing::Values(ScanCase{"80", 80u}, ScanCase{" 80", 80u},
                                         ScanCase{"\t80", 80u}, ScanCase{"80abc", 80u},
                                         ScanCase{"+7", 7u}, ScanCase{"-1", 4294967295u},
                                         ScanCase{"-5", 4294967291u},
                                         ScanCase{"4294967295", 4294967295u},
                                         ScanCase{"4294967296", 0u}, ScanCase{"10001", 10001u},
                                         ScanCase{"", std::nullopt}, ScanCase{"abc", std::nullopt},
                                         ScanCase{"-", std::nullopt}, ScanCase{" ", std::nullopt},
                                         ScanCase{"- 5", std::nullopt}));

} // namespace
