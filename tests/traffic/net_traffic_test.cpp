#include "traffic/net_traffic.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "push_through.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUp = "0x1003";
constexpr const char* kDown = "0x1002";
constexpr const char* kLoopbackUp = "0x9";
constexpr const char* kLoopbackDown = "0x8";

// One interface of the fake system: a line of /proc/net/dev and its /sys folder.
struct FakeInterface {
    std::string name;
    const char* flags = kUp;     // nullptr: no flags file
    const char* speed = nullptr; // nullptr: no speed file
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
};

FakeInterface Loopback(const char* flags = kLoopbackUp) {
    return {"lo", flags, nullptr, 3267, 3267};
}

// A fake /proc/net/dev and /sys/class/net in a temporary folder.
class FakeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("tarvel-net-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_root);
        m_paths.netDev = (m_root / "dev").string();
        m_paths.sysClassNet = (m_root / "class").string();
    }
    void TearDown() override { fs::remove_all(m_root); }

    static void Write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }

    // The interface table alone, as a later sample reads it.
    void WriteTable(const std::vector<FakeInterface>& interfaces) {
        std::string text = "Inter-|   Receive                                                |  "
                           "Transmit\n face |bytes    packets errs drop fifo frame compressed "
                           "multicast|bytes    packets errs drop fifo colls carrier compressed\n";
        for (const auto& i : interfaces) {
            char line[256];
            std::snprintf(line, sizeof line,
                          "%6s:%8llu %7u %4u %4u %4u %5u %10u %9u %8llu %7u %4u %4u %4u %5u %7u "
                          "%10u\n",
                          i.name.c_str(), static_cast<unsigned long long>(i.received), 1u, 0u, 0u,
                          0u, 0u, 0u, 0u, static_cast<unsigned long long>(i.sent), 1u, 0u, 0u, 0u,
                          0u, 0u, 0u);
            text += line;
        }
        Write(m_root / "dev", text);
    }

    // Byte totals of interfaces named if0, if1, ... (all up), in that order.
    void WriteTotals(const std::vector<std::uint64_t>& totals) {
        std::vector<FakeInterface> interfaces;
        for (std::size_t i = 0; i < totals.size(); ++i)
            interfaces.push_back({"if" + std::to_string(i), kUp, nullptr, totals[i], 0});
        WriteTable(interfaces);
    }

    // The table and a /sys folder per interface.
    void Install(const std::vector<FakeInterface>& interfaces) {
        fs::remove_all(m_root / "class");
        fs::create_directories(m_root / "class");
        for (const auto& i : interfaces) {
            if (i.flags)
                Write(m_root / "class" / i.name / "flags", std::string(i.flags) + "\n");
            if (i.speed)
                Write(m_root / "class" / i.name / "speed", i.speed);
        }
        WriteTable(interfaces);
    }

    // Interfaces if0 ... if<count - 1>, all up, every byte total 0.
    void InstallNumbered(std::size_t count) {
        std::vector<FakeInterface> interfaces;
        for (std::size_t i = 0; i < count; ++i)
            interfaces.push_back({"if" + std::to_string(i)});
        Install(interfaces);
    }

    fs::path m_root;
    NetDevPaths m_paths;
};

TEST_F(FakeSystem, ListsUpInterfacesInKernelOrderWithLoopbackLast) {
    const struct {
        const char* row;
        std::vector<FakeInterface> kernel;
        std::vector<std::string> listed;
    } cases[] = {
        {"loopback first goes last", {Loopback(), {"eth0"}}, {"eth0", "lo"}},
        {"down cards are absent",
         {Loopback(), {"ifb0", kDown}, {"ifb1", kDown}, {"eth0"}},
         {"eth0", "lo"}},
        {"kernel order kept",
         {{"wlan0"}, Loopback(), {"eth1"}, {"eth0", kDown}, {"br0"}},
         {"wlan0", "eth1", "br0", "lo"}},
        {"only loopback", {Loopback()}, {"lo"}},
        {"loopback down, nothing else up", {Loopback(kLoopbackDown), {"eth0", kDown}}, {"lo"}},
        {"loopback down, a card up", {Loopback(kLoopbackDown), {"eth0"}}, {"eth0"}},
        {"no flags to read counts as down", {Loopback(), {"eth0", nullptr}}, {"lo"}},
        {"names with dot, dash, 15 characters and wide characters",
         {Loopback(), {"eth0.100"}, {"br-lan"}, {"enp0s31f6-12345"}, {"网卡2"}},
         {"eth0.100", "br-lan", "enp0s31f6-12345", "网卡2", "lo"}},
        {"no interfaces", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        Install(c.kernel);
        NetTraffic traffic(m_paths);
        EXPECT_EQ(traffic.InterfaceNames(), c.listed);
    }
}

TEST_F(FakeSystem, UnreadableTableListsNothingAndSamplesZeroWithoutReading) {
    NetTraffic traffic(m_paths); // no table written
    EXPECT_TRUE(traffic.InterfaceNames().empty());
    EXPECT_FALSE(traffic.EnumerateInterfaces());
    // A read of the missing table would answer 1.0: with nothing listed, nothing is read.
    for (int position : {-1, 0, 1, 100})
        EXPECT_EQ(traffic.SampleTraffic(position), 0.0) << position;
    for (int position : {-1, 0, 1})
        EXPECT_EQ(traffic.GetInterfaceCounterValue(position), 0u) << position;

    Install({Loopback()});
    EXPECT_TRUE(traffic.EnumerateInterfaces());
}

TEST_F(FakeSystem, ByteTotalIsReceivedPlusSentInItsLowThirtyTwoBits) {
    const struct {
        std::uint64_t received, sent;
        std::uint32_t total;
    } cases[] = {
        {3267, 3267, 6534},          {89854264, 89138, 89943402},
        {4294967295ull, 10, 9},      {5000000000ull, 1, 705032705u},
        {1ull << 32, 1ull << 33, 0}, {18446744073709551615ull, 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.received) + " + " + std::to_string(c.sent));
        Install({{"eth0", kUp, nullptr, c.received, c.sent}});
        NetTraffic traffic(m_paths);
        ASSERT_EQ(traffic.SampleTraffic(0), 0.0);
        EXPECT_EQ(traffic.GetInterfaceCounterValue(0), c.total);
    }
}

TEST_F(FakeSystem, LinesWithoutBothByteCountsAreSkipped) {
    Install({Loopback(), {"eth0"}, {"eth1"}});
    Write(m_root / "dev", "Inter-|   Receive |  Transmit\n"
                          " face |bytes    packets|bytes    packets\n"
                          "  eth0: 1 2 3 4 5 6 7 8\n"      // the sent bytes are missing
                          "  eth1: 1 2 3 4 5 6 7 8 9 10\n" // enough
                          "     : 1 2 3 4 5 6 7 8 9\n"     // no name
                          "    lo:x 2 3 4 5 6 7 8 9\n");   // not a number
    NetTraffic traffic(m_paths);
    EXPECT_EQ(traffic.InterfaceNames(), std::vector<std::string>{"eth1"});
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 10u);
}

TEST_F(FakeSystem, SamplesReadOnlyTheTableAndKeepTheFirstList) {
    Install({Loopback(), {"eth0", kUp, "1000", 100, 0}, {"eth1", kDown, "100", 5, 0}});
    NetTraffic traffic(m_paths);
    ASSERT_EQ(traffic.InterfaceNames(), (std::vector<std::string>{"eth0", "lo"}));
    ASSERT_EQ(traffic.SampleTraffic(0), 0.0);

    // /sys disappears and eth1 is up now: neither is looked at again.
    fs::remove_all(m_root / "class");
    WriteTable({{"lo", nullptr, nullptr, 10, 10}, {"eth0", nullptr, nullptr, 700, 0}, {"eth1"}});
    EXPECT_EQ(traffic.SampleTraffic(0), 600.0);
    EXPECT_EQ(traffic.InterfaceNames(), (std::vector<std::string>{"eth0", "lo"}));
    EXPECT_EQ(traffic.SampleTraffic(1), 0.0);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(1), 20u);
}

// Successive samples of one interface against the byte totals the kernel reports.
TEST_F(FakeSystem, SampleIsTheDifferenceOfSuccessiveReadings) {
    const struct {
        const char* name;
        std::vector<std::uint64_t> totals;
        std::vector<double> expected;
    } cases[] = {
        {"first primes, second is the difference", {1000, 1500, 1500}, {0.0, 500.0, 0.0}},
        {"top bit only is 2^31, not negative", {0, 0x80000000u}, {0.0, 2147483648.0}},
        {"full range stays unsigned", {1, 0xFFFFFFFFu}, {0.0, 4294967294.0}},
        {"a decrease gives a negative result", {300, 100}, {0.0, -200.0}},
        {"past 2^32 the counter wraps and is not corrected",
         {0xFFFFFF00u, 0x100000100ull},
         {0.0, -4294966784.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallNumbered(1);
        NetTraffic traffic(m_paths);
        for (std::size_t i = 0; i < c.totals.size(); ++i) {
            WriteTotals({c.totals[i]});
            EXPECT_EQ(traffic.SampleTraffic(0), c.expected[i]) << "sample " << i;
        }
    }
}

TEST_F(FakeSystem, SwitchingInterfacesPrimesAgain) {
    InstallNumbered(2);
    NetTraffic traffic(m_paths);
    WriteTotals({10, 20});
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);
    WriteTotals({110, 220});
    EXPECT_EQ(traffic.SampleTraffic(1), 0.0);
    WriteTotals({1110, 2220});
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);
    // Now primed for 0 with 1110.
    WriteTotals({1111, 2220});
    EXPECT_EQ(traffic.SampleTraffic(0), 1.0);
}

TEST_F(FakeSystem, UnreadableTableGivesOneAndAGoneInterfaceZeroLeavingThePairAlone) {
    InstallNumbered(1);
    NetTraffic traffic(m_paths);
    WriteTotals({100});
    ASSERT_EQ(traffic.SampleTraffic(0), 0.0);

    fs::remove(m_root / "dev");
    EXPECT_EQ(traffic.SampleTraffic(0), 1.0);

    // The interface is gone: 0.0, and the pair still belongs to if0 at 100.
    WriteTable({{"other", kUp, nullptr, 5000, 0}});
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);

    WriteTotals({150});
    EXPECT_EQ(traffic.SampleTraffic(0), 50.0);
}

TEST_F(FakeSystem, RemovedInterfaceSamplesZeroAndTheOthersAreStillFoundByName) {
    Install({Loopback(), {"eth0", kUp, nullptr, 100, 0}, {"eth1", kUp, nullptr, 50, 0}});
    NetTraffic traffic(m_paths);
    ASSERT_EQ(traffic.InterfaceNames(), (std::vector<std::string>{"eth0", "eth1", "lo"}));
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);
    WriteTable({Loopback(), {"eth0", kUp, nullptr, 1100, 0}, {"eth1", kUp, nullptr, 50, 0}});
    EXPECT_EQ(traffic.SampleTraffic(0), 1000.0);

    // eth0 is gone from the table; eth1 and lo are still found by name.
    WriteTable({Loopback(), {"eth1", kUp, nullptr, 80, 0}});
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);
    EXPECT_EQ(traffic.SampleTraffic(1), 0.0);
    WriteTable({Loopback(), {"eth1", kUp, nullptr, 95, 0}});
    EXPECT_EQ(traffic.SampleTraffic(1), 15.0);
}

TEST_F(FakeSystem, ReadingsAreStoredByPositionAmongThePresentUpToTheMatch) {
    InstallNumbered(3);
    NetTraffic traffic(m_paths);
    WriteTotals({10, 20, 30});
    ASSERT_EQ(traffic.SampleTraffic(2), 0.0);
    ASSERT_EQ(traffic.GetInterfaceCounterValue(2), 30u);

    // if0 is gone: sampling if2 stores if1's reading at position 0 and its own at position 1.
    WriteTable({{"if1", kUp, nullptr, 25, 0}, {"if2", kUp, nullptr, 37, 0}});
    EXPECT_EQ(traffic.SampleTraffic(2), 7.0);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 25u);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(1), 37u);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(2), 30u);

    // Sampling if0 stores nothing past the match.
    WriteTotals({11, 21, 31});
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 11u);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(1), 37u);
}

TEST_F(FakeSystem, NamesCompareByteForByte) {
    Install({{"eth0", kUp, nullptr, 0, 0}});
    NetTraffic traffic(m_paths);
    for (const char* lookalike : {"ETH0", "eth0.1", "eth"}) {
        WriteTable({{lookalike, kUp, nullptr, 10, 0}});
        EXPECT_EQ(traffic.SampleTraffic(0), 0.0) << lookalike;
    }
    // None of them primed the pair.
    WriteTable({{"eth0", kUp, nullptr, 10, 0}});
    EXPECT_EQ(traffic.SampleTraffic(0), 0.0);
    WriteTable({{"eth0", kUp, nullptr, 15, 0}});
    EXPECT_EQ(traffic.SampleTraffic(0), 5.0);
}

TEST_F(FakeSystem, CounterValueSamplesOnlyWhenTheStoredReadingIsZero) {
    InstallNumbered(2);
    NetTraffic traffic(m_paths);
    WriteTotals({0, 70});

    for (int position : {-1, 2, 1000})
        EXPECT_EQ(traffic.GetInterfaceCounterValue(position), 0u) << position;

    // Reading 0 at position 1: a sample, which also primes the pair for if1.
    EXPECT_EQ(traffic.GetInterfaceCounterValue(1), 70u);
    // Now stored: the table is not read again, though the system moved on.
    WriteTotals({0, 90});
    EXPECT_EQ(traffic.GetInterfaceCounterValue(1), 70u);
    EXPECT_EQ(traffic.SampleTraffic(1), 20.0);

    // A reading that is still 0 is sampled every time it is asked for.
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 0u);
    WriteTotals({8, 90});
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 8u);
}

TEST_F(FakeSystem, ManyInterfaces) {
    std::vector<FakeInterface> interfaces;
    for (std::uint64_t i = 0; i < 1000; ++i)
        interfaces.push_back({"veth" + std::to_string(i), kUp, nullptr, i, i});
    Install(interfaces);
    NetTraffic traffic(m_paths);
    ASSERT_EQ(traffic.InterfaceNames().size(), 1000u);
    EXPECT_EQ(traffic.InterfaceNames()[999], "veth999");
    EXPECT_EQ(traffic.GetInterfaceCounterValue(999), 2u * 999u);
}

TEST(NetTrafficLive, LoopbackSampleGrowsByTheBytesSent) {
    NetTraffic traffic;
    const auto& names = traffic.InterfaceNames();
    const auto lo = std::find(names.begin(), names.end(), "lo");
    ASSERT_NE(lo, names.end());
    const int position = static_cast<int>(lo - names.begin());

    ASSERT_EQ(traffic.SampleTraffic(position), 0.0);
    constexpr std::size_t kBytes = 1 << 20;
    ASSERT_EQ(traffictest::PushThrough("127.0.0.1", kBytes), kBytes);
    double grown = traffic.SampleTraffic(position);
    // Other users of loopback may have wrapped the 32-bit counter meanwhile.
    if (grown < 0)
        grown += 4294967296.0;
    // Loopback counts every byte twice, once sent and once received.
    EXPECT_GE(grown, 2.0 * kBytes);
}

} // namespace
