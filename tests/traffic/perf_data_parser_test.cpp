#include "traffic/perf_data_parser.h"

#include <functional>

#include <gtest/gtest.h>

#include "perf_answer_builder.h"
#include "traffic/net_traffic.h"

namespace {

std::vector<TestInterface> TwoInterfaces() {
    return {{"eth0", 1234, 100}, {"lo", 99, 0}};
}

TEST(PerfDataParser, ReadsTheWantedCounterOfEveryInstance) {
    const auto answer = BuildAnswer({InterfaceObject(TwoInterfaces())});
    const auto bytes = ParseNetworkObjects(answer.bytes, kBytesTotalCounterIndex);
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 1u);
    ASSERT_EQ((*bytes)[0].instances.size(), 2u);
    EXPECT_EQ((*bytes)[0].instances[0].name, "eth0");
    EXPECT_EQ((*bytes)[0].instances[0].value, 1234u);
    EXPECT_EQ((*bytes)[0].instances[1].name, "lo");
    EXPECT_EQ((*bytes)[0].instances[1].value, 99u);

    const auto bandwidth = ParseNetworkObjects(answer.bytes, kCurrentBandwidthCounterIndex);
    ASSERT_TRUE(bandwidth);
    EXPECT_EQ((*bandwidth)[0].instances[0].value, 100u);
}

TEST(PerfDataParser, NamesTooLongForTheNarrowBufferBecomeEmpty) {
    const std::string fits(254, 'a');
    const std::string tooLong(255, 'b');
    std::string chinese;
    for (int i = 0; i < 85; ++i)
        chinese += "网"; // 255 bytes in UTF-8
    const auto answer =
        BuildAnswer({InterfaceObject({{fits, 1, 0}, {tooLong, 2, 0}, {chinese, 3, 0}})});
    const auto objects = ParseNetworkObjects(answer.bytes, kBytesTotalCounterIndex);
    ASSERT_TRUE(objects);
    const auto& instances = (*objects)[0].instances;
    ASSERT_EQ(instances.size(), 3u);
    EXPECT_EQ(instances[0].name, fits);
    EXPECT_EQ(instances[1].name, "");
    EXPECT_EQ(instances[2].name, "");
    EXPECT_EQ(instances[2].value, 3u);
}

TEST(PerfDataParser, NegativeInstanceCountMeansNoInstances) {
    auto answer = BuildAnswer({InterfaceObject({})});
    answer.Patch(answer.objectAt[0] + perf_object_type::NumInstances, 0xFFFFFFFFu);
    const auto objects = ParseNetworkObjects(answer.bytes, kBytesTotalCounterIndex);
    ASSERT_TRUE(objects);
    EXPECT_TRUE((*objects)[0].counterFound);
    EXPECT_TRUE((*objects)[0].instances.empty());
}

// Answers whose lengths, counts or offsets lie: each must be refused as a whole, without a read
// outside the buffer (the sanitizer builds watch that), and the sampler must treat it as a failed
// query.
TEST(PerfDataParser, LyingAnswersAreRefused) {
    using Break = std::function<void(TestAnswer&)>;
    const std::size_t huge = 0x7FFFFFF0u;
    const struct {
        const char* name;
        Break corrupt;
    } cases[] = {
        {"header length past the end",
         [](TestAnswer& a) { a.Patch(perf_data_block::HeaderLength, 0xFFFFFFF0u); }},
        {"object count beyond the objects",
         [](TestAnswer& a) { a.Patch(perf_data_block::NumObjectTypes, 3); }},
        {"huge object count with zero object length",
         [](TestAnswer& a) {
             a.Patch(perf_data_block::NumObjectTypes, 0xFFFFFFFFu);
             a.Patch(a.objectAt[0] + perf_object_type::TotalByteLength, 0);
         }},
        {"counter definitions past the end",
         [](TestAnswer& a) {
             a.Patch(a.objectAt[0] + perf_object_type::HeaderLength, 0xFFFFFFFCu);
         }},
        {"huge counter count",
         [huge](TestAnswer& a) {
             a.Patch(a.objectAt[0] + perf_object_type::NumCounters,
                     static_cast<std::uint32_t>(huge));
         }},
        {"zero definition length with many counters",
         [](TestAnswer& a) {
             a.Patch(a.objectAt[0] + perf_object_type::NumCounters, 1000000);
             a.Patch(a.counterAt[0][0] + perf_counter_definition::ByteLength, 0);
         }},
        {"instances past the end",
         [](TestAnswer& a) {
             a.Patch(a.objectAt[0] + perf_object_type::DefinitionLength, 0x80000000u);
         }},
        {"huge instance count",
         [huge](TestAnswer& a) {
             a.Patch(a.objectAt[0] + perf_object_type::NumInstances,
                     static_cast<std::uint32_t>(huge));
         }},
        {"name offset past the end",
         [](TestAnswer& a) {
             a.Patch(a.instanceAt[0][1] + perf_instance_definition::NameOffset, 0xFFFFFFFFu);
         }},
        {"name without terminator before the end",
         [](TestAnswer& a) {
             a.Patch(a.instanceAt[0][1] + perf_instance_definition::NameOffset,
                     static_cast<std::uint32_t>(a.bytes.size() - a.instanceAt[0][1] - 2));
             a.bytes[a.bytes.size() - 2] = 'x';
         }},
        {"counter block past the end",
         [](TestAnswer& a) {
             a.Patch(a.instanceAt[0][0] + perf_instance_definition::ByteLength, 0xFFFFFFF0u);
         }},
        {"instance length inside its own header",
         [](TestAnswer& a) {
             a.Patch(a.instanceAt[0][0] + perf_instance_definition::ByteLength, 0);
         }},
        {"counter offsets past the block and the answer",
         [](TestAnswer& a) {
             a.Patch(a.counterAt[0][0] + perf_counter_definition::CounterOffset, 0xFFFFFFFEu);
             a.Patch(a.counterAt[0][1] + perf_counter_definition::CounterOffset, 0x7FFFFFFFu);
         }},
        {"counter block length sends the next instance past the end",
         [](TestAnswer& a) { a.Patch(a.counterBlockAt[0][0], 0x40000000u); }},
        {"zero counter block length with many instances",
         [](TestAnswer& a) {
             a.Patch(a.objectAt[0] + perf_object_type::NumInstances, 1000000);
             a.Patch(a.counterBlockAt[0][0], 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestAnswer answer = BuildAnswer({InterfaceObject(TwoInterfaces())});
        ASSERT_TRUE(ParseNetworkObjects(answer.bytes, kBytesTotalCounterIndex));
        c.corrupt(answer);
        EXPECT_FALSE(ParseNetworkObjects(answer.bytes, kBytesTotalCounterIndex));
        EXPECT_FALSE(ParseNetworkObjects(answer.bytes, kCurrentBandwidthCounterIndex));

        // The sampler: enumeration fails, and a sample of a primed sampler gives 1.0.
        ScriptedQuery query;
        query.Answer(answer.bytes);
        NetTraffic broken(query);
        EXPECT_TRUE(broken.InterfaceNames().empty());
        query.Answer(BuildAnswer({InterfaceObject(TwoInterfaces())}).bytes);
        NetTraffic traffic(query);
        ASSERT_EQ(traffic.SampleTraffic(0), 0.0);
        query.Answer(answer.bytes);
        EXPECT_EQ(traffic.SampleTraffic(0), 1.0);
    }
}

TEST(PerfDataParser, EveryTruncatedAnswerIsRefused) {
    // The answer ends with the last instance's bandwidth, after its byte total.
    const auto full = BuildAnswer({InterfaceObject(TwoInterfaces())}).bytes;
    for (std::size_t length = 0; length < full.size(); ++length) {
        // A copy of exactly that length, so a read past it is a heap overflow ASan reports.
        const std::vector<std::uint8_t> prefix(full.begin(),
                                               full.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(ParseNetworkObjects(prefix, kCurrentBandwidthCounterIndex)) << length;
        if (length < full.size() - 4)
            EXPECT_FALSE(ParseNetworkObjects(prefix, kBytesTotalCounterIndex)) << length;
        else
            EXPECT_TRUE(ParseNetworkObjects(prefix, kBytesTotalCounterIndex)) << length;
    }
}

} // namespace
