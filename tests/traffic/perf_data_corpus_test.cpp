#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "platform/perf_data_layout.h"
#include "traffic/perf_data_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Seeds named "valid-*" are well-formed answers, "bad-*" must be refused.
TEST(PerfDataCorpus, EverySeedRunsThroughTheFuzzEntryPoint) {
    int valid = 0;
    int bad = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TARVEL_PERF_CORPUS)) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> seed((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
        EXPECT_EQ(LLVMFuzzerTestOneInput(seed.data(), seed.size()), 0);
        const auto parsed = ParseNetworkObjects(seed, kBytesTotalCounterIndex);
        if (name.starts_with("valid-")) {
            EXPECT_TRUE(parsed);
            ++valid;
        } else if (name.starts_with("bad-")) {
            EXPECT_FALSE(parsed);
            ++bad;
        }
    }
    EXPECT_GE(valid, 3);
    EXPECT_GE(bad, 3);
}

} // namespace
