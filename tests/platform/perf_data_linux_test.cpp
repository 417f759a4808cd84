#include "platform/perf_data_linux.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/perf_data_layout.h"
#include "push_through.h"
#include "traffic/net_traffic.h"
#include "traffic/perf_data_parser.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUp = "0x1003";
constexpr const char* kDown = "0x1002";
constexpr const char* kLoopbackUp = "0x9";
constexpr const char* kLoopbackDown = "0x8";

// One interface of the fake system: a line of the kernel's table and its /sys folder.
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
                 ("tarvel-perf-" + std::to_string(getpid()) + "-" +
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

    // The kernel's table alone, as a later sample reads it.
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

    // A query over the fake system whose first answer lists the interfaces.
    PerfDataQuery FreshQuery() const {
        return [source = NetworkPerfData(m_paths)](const char* name, std::uint8_t* data,
                                                   std::uint32_t* size) mutable {
            return source.Query(name, data, size);
        };
    }

    // One answer with the registry call's contract, asking for the length first.
    static std::vector<std::uint8_t> Answer(NetworkPerfData& source) {
        std::uint32_t size = 0;
        EXPECT_EQ(source.Query("510", nullptr, &size), ERROR_SUCCESS);
        std::vector<std::uint8_t> buffer(size);
        EXPECT_EQ(source.Query("510", buffer.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(size, buffer.size());
        return buffer;
    }

    // The answer's instances read for one counter.
    static std::vector<NetworkInstance> Instances(const std::vector<std::uint8_t>& answer,
                                                  std::uint32_t counterIndex) {
        const auto objects = ParseNetworkObjects(answer, counterIndex);
        if (!objects || objects->size() != 1 || !(*objects)[0].counterFound) {
            ADD_FAILURE() << "the answer holds no Network Interface object with counter "
                          << counterIndex;
            return {};
        }
        return (*objects)[0].instances;
    }

    fs::path m_root;
    PerfDataPaths m_paths;
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
        {"names with dot, dash and 15 characters",
         {Loopback(), {"eth0.100"}, {"br-lan"}, {"enp0s31f6-12345"}},
         {"eth0.100", "br-lan", "enp0s31f6-12345", "lo"}},
        {"no interfaces", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.row);
        Install(c.kernel);
        NetTraffic traffic(FreshQuery());
        EXPECT_EQ(traffic.InterfaceNames(), c.listed);
        EXPECT_EQ(traffic.InterfaceBandwidths().size(), c.listed.size());
    }
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
        NetworkPerfData source(m_paths);
        const auto instances = Instances(Answer(source), kBytesTotalCounterIndex);
        ASSERT_EQ(instances.size(), 1u);
        EXPECT_EQ(instances[0].value, c.total);
    }
}

TEST_F(FakeSystem, LinesWithoutBothByteCountsAreSkipped) {
    Install({Loopback(), {"eth0"}, {"eth1"}});
    Write(m_root / "dev", "Inter-|   Receive |  Transmit\n"
                          " face |bytes    packets|bytes    packets\n"
                          "  eth0: 1 2 3 4 5 6 7 8\n"      // the transmit bytes are missing
                          "  eth1: 1 2 3 4 5 6 7 8 9 10\n" // enough
                          "     : 1 2 3 4 5 6 7 8 9\n"     // no name
                          "    lo:x 2 3 4 5 6 7 8 9\n");   // not a number
    NetTraffic traffic(FreshQuery());
    EXPECT_EQ(traffic.InterfaceNames(), std::vector<std::string>{"eth1"});
    EXPECT_EQ(traffic.GetInterfaceCounterValue(0), 10u);
}

TEST_F(FakeSystem, LinkSpeedsInBitsPerSecond) {
    const struct {
        const char* speed; // nullptr: no speed file
        std::uint32_t bits;
    } cases[] = {
        {"10", 10000000u},
        {"4294", 4294000000u},
        {"4295", 0xFFFFFFFFu},
        {"10000", 0xFFFFFFFFu},
        {"0", 0u},
        {"-1", 0u},
        {"", 0u},
        {nullptr, 0u},
        {"100\n", 100000000u},
        {"garbage\n", 0u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.speed ? c.speed : "(none)");
        Install({{"eth0", kUp, c.speed}});
        NetTraffic traffic(FreshQuery());
        EXPECT_EQ(traffic.InterfaceBandwidths(), std::vector<std::uint32_t>{c.bits});
    }
}

TEST_F(FakeSystem, LaterAnswersReadOnlyTheTableAndKeepTheFirstList) {
    Install({Loopback(), {"eth0", kUp, "1000", 100, 0}, {"eth1", kDown, "100", 5, 0}});
    NetworkPerfData source(m_paths);
    ASSERT_EQ(Instances(Answer(source), kBytesTotalCounterIndex).size(), 2u);

    // /sys disappears and eth1 is up now: neither is looked at again.
    fs::remove_all(m_root / "class");
    WriteTable({{"lo", nullptr, nullptr, 10, 10}, {"eth0", nullptr, nullptr, 700, 0}, {"eth1"}});
    const auto answer = Answer(source);
    const auto bytes = Instances(answer, kBytesTotalCounterIndex);
    const auto bandwidth = Instances(answer, kCurrentBandwidthCounterIndex);
    ASSERT_EQ(bytes.size(), 2u);
    EXPECT_EQ(bytes[0].name, "eth0");
    EXPECT_EQ(bytes[0].value, 700u);
    EXPECT_EQ(bytes[1].name, "lo");
    EXPECT_EQ(bytes[1].value, 20u);
    EXPECT_EQ(bandwidth[0].value, 1000000000u);
}

TEST_F(FakeSystem, RemovedInterfaceSamplesZeroAndTheOthersKeepTheirPositions) {
    Install({Loopback(), {"eth0", kUp, nullptr, 100, 0}, {"eth1", kUp, nullptr, 50, 0}});
    NetTraffic traffic(FreshQuery());
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

TEST_F(FakeSystem, HeaderFieldsFollowTheLayout) {
    Install({Loopback(), {"eth0"}, {"wlan0"}});
    NetworkPerfData source(m_paths);
    const auto answer = Answer(source);
    ASSERT_GE(answer.size(), perf_data_block::Size);
    const std::uint8_t* p = answer.data();
    const char16_t signature[] = u"PERF";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ReadLe16(p + perf_data_block::Signature + 2 * i), signature[i]);
    EXPECT_EQ(ReadLe32(p + perf_data_block::LittleEndian), 1u);
    EXPECT_EQ(ReadLe32(p + perf_data_block::TotalByteLength), answer.size());
    EXPECT_EQ(ReadLe32(p + perf_data_block::NumObjectTypes), 1u);
    const std::uint32_t header = ReadLe32(p + perf_data_block::HeaderLength);
    EXPECT_EQ(header % 8, 0u);
    EXPECT_GE(header, perf_data_block::Size + ReadLe32(p + perf_data_block::SystemNameLength));
    const std::uint8_t* object = p + header;
    EXPECT_EQ(ReadLe32(object + perf_object_type::TotalByteLength), answer.size() - header);
    EXPECT_EQ(ReadLe32(object + perf_object_type::ObjectNameTitleIndex), 510u);
    EXPECT_EQ(ReadLe32(object + perf_object_type::NumCounters), 2u);
    EXPECT_EQ(ReadLe32(object + perf_object_type::NumInstances), 3u);
    EXPECT_EQ(ReadLe32(object + perf_object_type::HeaderLength), perf_object_type::Size);
    const std::uint8_t* instance = object + ReadLe32(object + perf_object_type::DefinitionLength);
    EXPECT_EQ(ReadLe32(instance + perf_instance_definition::NameLength), 10u); // "eth0" and zero
}

TEST_F(FakeSystem, QueryHonoursTheSizeContract) {
    Install({Loopback(), {"eth0", kUp, nullptr, 100, 0}});
    NetworkPerfData source(m_paths);
    std::uint32_t needed = 0;
    ASSERT_EQ(source.Query("510", nullptr, &needed), ERROR_SUCCESS);
    ASSERT_GT(needed, perf_data_block::Size);

    // Too small by one byte: "more data", the needed size, and the buffer left alone.
    std::vector<std::uint8_t> buffer(needed, 0xAB);
    std::uint32_t size = needed - 1;
    EXPECT_EQ(source.Query("510", buffer.data(), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[0], 0xAB);

    // Larger than needed: success with the answer's length.
    buffer.assign(needed + 100, 0xAB);
    size = needed + 100;
    EXPECT_EQ(source.Query("510", buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, needed);

    // Failures are neither 0 nor "more data".
    NetworkPerfData missing({(m_root / "missing").string(), m_paths.sysClassNet});
    for (long result :
         {source.Query("238", buffer.data(), &size), source.Query("510", buffer.data(), nullptr),
          source.Query(nullptr, buffer.data(), &size),
          missing.Query("510", buffer.data(), &size)}) {
        EXPECT_NE(result, ERROR_SUCCESS);
        EXPECT_NE(result, ERROR_MORE_DATA);
    }
}

TEST_F(FakeSystem, RetryAfterMoreDataAnswersFromTheSameReading) {
    Install({Loopback(), {"eth0", kUp, nullptr, 100, 0}});
    NetworkPerfData source(m_paths);
    std::uint32_t size = 8;
    std::vector<std::uint8_t> buffer(size);
    ASSERT_EQ(source.Query("510", buffer.data(), &size), ERROR_MORE_DATA);

    // The caller grows its buffer and asks again: one sample, one reading of the table.
    WriteTable({Loopback(), {"eth0", kUp, nullptr, 900, 0}});
    buffer.assign(size, 0);
    ASSERT_EQ(source.Query("510", buffer.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(Instances(buffer, kBytesTotalCounterIndex)[0].value, 100u);
    // The next sample reads the table again.
    EXPECT_EQ(Instances(Answer(source), kBytesTotalCounterIndex)[0].value, 900u);
}

TEST_F(FakeSystem, SamplerGrowsItsBufferForManyInterfaces) {
    // About 56 bytes per interface: 1000 interfaces need more than one 40960-byte step.
    std::vector<FakeInterface> interfaces;
    for (std::uint64_t i = 0; i < 1000; ++i)
        interfaces.push_back({"veth" + std::to_string(i), kUp, nullptr, i, i});
    Install(interfaces);
    std::vector<std::uint32_t> sizes;
    PerfDataQuery query = FreshQuery();
    NetTraffic traffic([&](const char* name, std::uint8_t* data, std::uint32_t* size) {
        sizes.push_back(*size);
        return query(name, data, size);
    });
    ASSERT_EQ(traffic.InterfaceNames().size(), 1000u);
    EXPECT_EQ(traffic.InterfaceNames()[999], "veth999");
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0], NetTraffic::kBufferStep);
    EXPECT_GT(sizes[1], NetTraffic::kBufferStep);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(999), 2u * 999u);
}

TEST(PerfDataLive, LoopbackSampleGrowsByTheBytesSent) {
    NetTraffic traffic;
    const auto& names = traffic.InterfaceNames();
    const auto lo = std::find(names.begin(), names.end(), "lo");
    ASSERT_NE(lo, names.end());
    const int position = static_cast<int>(lo - names.begin());

    ASSERT_EQ(traffic.SampleTraffic(position), 0.0);
    constexpr std::size_t kBytes = 1 << 20;
    ASSERT_EQ(perftest::PushThrough("127.0.0.1", kBytes), kBytes);
    double grown = traffic.SampleTraffic(position);
    // Other users of loopback may have wrapped the 32-bit counter meanwhile.
    if (grown < 0)
        grown += 4294967296.0;
    // Loopback counts every byte twice, once sent and once received.
    EXPECT_GE(grown, 2.0 * kBytes);
}

} // namespace
