#include "traffic/net_traffic.h"

#include <gtest/gtest.h>

#include "perf_answer_builder.h"
#include "traffic/perf_data_parser.h"

namespace {

// A sampler over a scripted query that first answers with `interfaces`.
struct Fixture {
    ScriptedQuery query;
    std::unique_ptr<NetTraffic> traffic;

    explicit Fixture(const std::vector<TestInterface>& interfaces) {
        query.Answer(BuildAnswer({InterfaceObject(interfaces)}).bytes);
        traffic = std::make_unique<NetTraffic>(query);
    }
    // The next answers report these byte totals, by position.
    void Counters(const std::vector<std::uint32_t>& totals) {
        std::vector<TestInterface> interfaces;
        for (std::size_t i = 0; i < totals.size(); ++i)
            interfaces.push_back({"if" + std::to_string(i), totals[i], 0});
        query.Answer(BuildAnswer({InterfaceObject(interfaces)}).bytes);
    }
};

TEST(NetTrafficEnumerate, ListsNamesAndBandwidthsOfEveryNetworkObjectInOrder) {
    TestObject other; // not the Network Interface object: skipped
    other.titleIndex = 238;
    other.counters = {{kCurrentBandwidthCounterIndex, 4}};
    other.instances = {{u"cpu0", {1}}};
    other.padding = 12;
    ScriptedQuery query;
    query.Answer(BuildAnswer({InterfaceObject({{"eth0", 5, 1000000000}, {"网卡 2", 6, 100000000}}),
                              other, InterfaceObject({{"lo", 7, 0}})})
                     .bytes);

    NetTraffic traffic(query);

    EXPECT_EQ(traffic.InterfaceNames(), (std::vector<std::string>{"eth0", "网卡 2", "lo"}));
    EXPECT_EQ(traffic.InterfaceBandwidths(),
              (std::vector<std::uint32_t>{1000000000, 100000000, 0}));
    EXPECT_EQ(query.state().valueNames, (std::vector<std::string>{"510"}));
    // Readings are stored by the position within each object: sampling "lo" in the third object
    // stores its reading at position 0, so position 2 stays 0.
    EXPECT_EQ(traffic.GetInterfaceCounterValue(2), 0u);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 7u);
}

TEST(NetTrafficEnumerate, ObjectWithoutBandwidthCounterEndsTheList) {
    TestObject noBandwidth = InterfaceObject({{"eth1", 1, 1}});
    noBandwidth.counters = {{kBytesTotalCounterIndex, 4}};
    const struct {
        const char* name;
        std::vector<TestObject> objects;
        std::vector<std::string> expected;
    } cases[] = {
        {"only object", {noBandwidth}, {}},
        {"later objects not examined", {noBandwidth, InterfaceObject({{"eth2", 1, 1}})}, {}},
        {"earlier objects kept", {InterfaceObject({{"eth0", 1, 1}}), noBandwidth}, {"eth0"}},
        {"no network object at all", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedQuery query;
        query.Answer(BuildAnswer(c.objects).bytes);
        NetTraffic traffic(query);
        EXPECT_EQ(traffic.InterfaceNames(), c.expected);
        EXPECT_EQ(traffic.InterfaceBandwidths().size(), c.expected.size());
    }
}

TEST(NetTrafficEnumerate, ReportsWhetherTheQuerySucceeded) {
    ScriptedQuery query;
    query.Answer(BuildAnswer({}).bytes);
    NetTraffic traffic(query);
    EXPECT_TRUE(traffic.EnumerateInterfaces());

    query.state().failWith = 5;
    NetTraffic failed(query);
    EXPECT_FALSE(failed.EnumerateInterfaces());
    EXPECT_TRUE(failed.InterfaceNames().empty());
    EXPECT_TRUE(failed.InterfaceBandwidths().empty());
}

TEST(NetTrafficSample, EmptyListGivesZeroWithoutQuery) {
    ScriptedQuery query;
    query.state().failWith = 2;
    NetTraffic traffic(query);
    const int callsAfterConstruction = query.state().calls();
    ASSERT_EQ(callsAfterConstruction, 1);
    for (int position : {-1, 0, 1, 100})
        EXPECT_EQ(traffic.SampleTraffic(position), 0.0) << position;
    EXPECT_EQ(query.state().calls(), callsAfterConstruction);
}

// Successive samples of one interface against the raw readings the system reports.
TEST(NetTrafficSample, DifferenceOfSuccessiveReadings) {
    const struct {
        const char* name;
        std::vector<std::uint32_t> readings;
        std::vector<double> expected;
    } cases[] = {
        {"first primes, second is the difference", {1000, 1500, 1500}, {0.0, 500.0, 0.0}},
        {"top bit only is 2^31, not negative", {0, 0x80000000u}, {0.0, 2147483648.0}},
        {"full range stays unsigned", {1, 0xFFFFFFFFu}, {0.0, 4294967294.0}},
        {"a decrease gives a negative result", {300, 100}, {0.0, -200.0}},
        {"a wrap is not corrected", {0xFFFFFF00u, 0x100}, {0.0, -4294966784.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f({{"if0", 0, 0}});
        for (std::size_t i = 0; i < c.readings.size(); ++i) {
            f.Counters({c.readings[i]});
            EXPECT_EQ(f.traffic->SampleTraffic(0), c.expected[i]) << "sample " << i;
        }
    }
}

TEST(NetTrafficSample, SwitchingInterfacesPrimesAgain) {
    Fixture f({{"if0", 0, 0}, {"if1", 0, 0}});
    f.Counters({10, 20});
    EXPECT_EQ(f.traffic->SampleTraffic(0), 0.0);
    f.Counters({110, 220});
    EXPECT_EQ(f.traffic->SampleTraffic(1), 0.0);
    f.Counters({1110, 2220});
    EXPECT_EQ(f.traffic->SampleTraffic(0), 0.0);
    // Now primed for 0 with 1110.
    f.Counters({1111, 2220});
    EXPECT_EQ(f.traffic->SampleTraffic(0), 1.0);
}

TEST(NetTrafficSample, ChangingTheCounterKeepsTheLastReading) {
    Fixture f({{"if0", 0, 0}});
    f.Counters({100});
    ASSERT_EQ(f.traffic->SampleTraffic(0), 0.0);
    // Counter 520 (bandwidth, 0 in Counters) is compared with the Bytes Total reading.
    f.traffic->SetCounterIndex(kCurrentBandwidthCounterIndex);
    EXPECT_EQ(f.traffic->SampleTraffic(0), -100.0);
}

TEST(NetTrafficSample, FailuresGiveOneAndLeaveTheStateAlone) {
    Fixture f({{"if0", 0, 0}});
    f.Counters({100});
    ASSERT_EQ(f.traffic->SampleTraffic(0), 0.0);

    f.query.state().failWith = 1; // any non-zero result but 234
    EXPECT_EQ(f.traffic->SampleTraffic(0), 1.0);
    f.query.state().failWith = ERROR_SUCCESS;

    TestObject missing = InterfaceObject({{"if0", 5000, 0}});
    missing.counters = {{kCurrentBandwidthCounterIndex, 8}};
    f.query.Answer(BuildAnswer({missing}).bytes);
    EXPECT_EQ(f.traffic->SampleTraffic(0), 1.0);

    // The interface is gone: 0.0, and the pair still belongs to if0 at 100.
    f.query.Answer(BuildAnswer({InterfaceObject({{"other", 5000, 0}})}).bytes);
    EXPECT_EQ(f.traffic->SampleTraffic(0), 0.0);

    f.Counters({150});
    EXPECT_EQ(f.traffic->SampleTraffic(0), 50.0);
}

TEST(NetTrafficSample, MatchesByNameAndStoresReadingsByPositionUpToTheMatch) {
    Fixture f({{"a", 0, 0}, {"b", 0, 0}, {"c", 0, 0}});
    // The answer now lists the interfaces in another order: "b" is matched by name.
    f.query.Answer(
        BuildAnswer({InterfaceObject({{"c", 30, 0}, {"b", 20, 0}, {"a", 10, 0}})}).bytes);
    EXPECT_EQ(f.traffic->SampleTraffic(1), 0.0);
    f.query.Answer(
        BuildAnswer({InterfaceObject({{"c", 31, 0}, {"b", 25, 0}, {"a", 11, 0}})}).bytes);
    EXPECT_EQ(f.traffic->SampleTraffic(1), 5.0);
    // Positions 0 and 1 hold the answer's first two readings; the third was not stored.
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(0), 31u);
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(1), 25u);
    // Asking for position 2 samples "c", which is matched first in the answer: its reading goes
    // to position 0 and position 2 still reads 0.
    const int calls = f.query.state().calls();
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(2), 0u);
    EXPECT_EQ(f.query.state().calls(), calls + 1);
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(0), 31u);
}

TEST(NetTrafficSample, NamesCompareByteForByte) {
    Fixture f({{"eth0", 0, 0}});
    for (const char* lookalike : {"ETH0", "eth0 ", "eth"}) {
        f.query.Answer(BuildAnswer({InterfaceObject({{lookalike, 10, 0}})}).bytes);
        EXPECT_EQ(f.traffic->SampleTraffic(0), 0.0) << lookalike;
    }
    // None of them primed the pair.
    f.query.Answer(BuildAnswer({InterfaceObject({{"eth0", 10, 0}})}).bytes);
    EXPECT_EQ(f.traffic->SampleTraffic(0), 0.0);
    f.query.Answer(BuildAnswer({InterfaceObject({{"eth0", 15, 0}})}).bytes);
    EXPECT_EQ(f.traffic->SampleTraffic(0), 5.0);
}

TEST(NetTrafficCounterValue, SamplesOnlyWhenTheStoredReadingIsZero) {
    Fixture f({{"if0", 0, 0}, {"if1", 0, 0}});
    f.Counters({0, 70});
    const int base = f.query.state().calls();

    // Out of range: 0 without a query.
    for (int position : {-1, 2, 1000})
        EXPECT_EQ(f.traffic->GetInterfaceCounterValue(position), 0u) << position;
    EXPECT_EQ(f.query.state().calls(), base);

    // Reading 0 at position 1: one sample, which also primes the pair for if1.
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(1), 70u);
    EXPECT_EQ(f.query.state().calls(), base + 1);
    // Now stored: no further query, even though the system moved on.
    f.Counters({0, 90});
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(1), 70u);
    EXPECT_EQ(f.query.state().calls(), base + 1);
    EXPECT_EQ(f.traffic->SampleTraffic(1), 20.0);

    // A reading that is still 0 after the sample asks again every time.
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(0), 0u);
    EXPECT_EQ(f.traffic->GetInterfaceCounterValue(0), 0u);
    EXPECT_EQ(f.query.state().calls(), base + 4);
}

TEST(NetTrafficSample, LaterOfTwoMatchingDefinitionsCounts) {
    TestObject object;
    object.counters = {{kBytesTotalCounterIndex, 4},
                       {kCurrentBandwidthCounterIndex, 12},
                       {kBytesTotalCounterIndex, 8}};
    object.instances = {{u"if0", {1000, 10, 0}}};
    ScriptedQuery query;
    query.Answer(BuildAnswer({object}).bytes);
    NetTraffic traffic(query);
    ASSERT_EQ(traffic.InterfaceNames().size(), 1u);
    ASSERT_EQ(traffic.SampleTraffic(0), 0.0);
    object.instances = {{u"if0", {5000, 17, 0}}};
    query.Answer(BuildAnswer({object}).bytes);
    EXPECT_EQ(traffic.SampleTraffic(0), 7.0);
}

TEST(NetTrafficQuery, LargeAnswerIsFetchedInBufferSteps) {
    TestObject big = InterfaceObject({{"if0", 1, 0}});
    big.padding = 100000;
    const auto bytes = BuildAnswer({big}).bytes;
    ASSERT_GT(bytes.size(), 2u * NetTraffic::kBufferStep);
    const std::uint32_t step = NetTraffic::kBufferStep;

    // Grown from whatever the call left in the size: the needed length, or the old size.
    const struct {
        bool setsNeededSize;
        std::vector<std::uint32_t> sizes;
    } cases[] = {
        {false, {step, 2 * step, 3 * step}},
        {true, {step, static_cast<std::uint32_t>(bytes.size()) + step}},
    };
    for (const auto& c : cases) {
        ScriptedQuery query;
        query.state().setsNeededSize = c.setsNeededSize;
        query.Answer(bytes);
        NetTraffic traffic(query);
        EXPECT_EQ(traffic.InterfaceNames(), std::vector<std::string>{"if0"});
        EXPECT_EQ(query.state().sizesSeen, c.sizes);
        // The size reached is not kept for the next query.
        query.state().sizesSeen.clear();
        traffic.SampleTraffic(0);
        EXPECT_EQ(query.state().sizesSeen, c.sizes);
    }
}

TEST(NetTrafficQuery, ImplausibleSizeIsAFailedQuery) {
    // A query that keeps asking for more would otherwise grow the buffer without end.
    ScriptedQuery query;
    query.state().claimedSize = 0xFFFFF000u;
    NetTraffic traffic(query);
    EXPECT_FALSE(traffic.EnumerateInterfaces());
    EXPECT_EQ(query.state().sizesSeen,
              (std::vector<std::uint32_t>{NetTraffic::kBufferStep, NetTraffic::kBufferStep}));
}

} // namespace
