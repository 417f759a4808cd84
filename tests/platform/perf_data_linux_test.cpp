#include "platform/perf_data_linux.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/perf_data_layout.h"
#include "traffic/net_traffic.h"
#include "traffic/perf_data_parser.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kNetDevText =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n"
    "    lo:    3267      29    0    0    0     0          0         0     3267      29    0    "
    "0    0     0       0          0\n"
    "  eth0:89854264    1797    0    0    0     0          0         0    89138    1005    0    "
    "0    0     0       0          0\n"
    "wlan0: 4294967295 1 0 0 0 0 0 0 10 1 0 0 0 0 0 0\n"
    "  br-x: 1 2 3\n"; // too few fields: skipped

TEST(PerfDataLinux, ParsesTheInterfaceTable) {
    const auto interfaces = ParseNetDev(kNetDevText);
    ASSERT_EQ(interfaces.size(), 3u);
    const struct {
        const char* name;
        std::uint32_t bytesTotal;
    } expected[] = {
        {"lo", 6534},
        {"eth0", 89943402},
        {"wlan0", 9}, // the sum wraps at 32 bits, as the system's counter does
    };
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(interfaces[i].name, expected[i].name);
        EXPECT_EQ(interfaces[i].bytesTotal, expected[i].bytesTotal) << expected[i].name;
        EXPECT_EQ(interfaces[i].bandwidthBitsPerSec, 0u);
    }
}

// A fake /proc and /sys in a temporary folder.
class FakeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = fs::temp_directory_path() /
                 ("tarvel-perf-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_root / "class");
        m_paths.netDev = (m_root / "dev").string();
        m_paths.sysClassNet = (m_root / "class").string();
        Write(m_root / "dev", kNetDevText);
    }
    void TearDown() override { fs::remove_all(m_root); }

    static void Write(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void Speed(const std::string& name, const std::string& text) {
        Write(m_root / "class" / name / "speed", text);
    }

    // Runs the query with the registry call's contract, growing as told.
    std::vector<std::uint8_t> Answer() {
        std::uint32_t size = 0;
        EXPECT_EQ(QueryNetworkPerfData("510", nullptr, &size, m_paths), ERROR_SUCCESS);
        std::vector<std::uint8_t> buffer(size);
        EXPECT_EQ(QueryNetworkPerfData("510", buffer.data(), &size, m_paths), ERROR_SUCCESS);
        EXPECT_EQ(size, buffer.size());
        return buffer;
    }

    fs::path m_root;
    PerfDataPaths m_paths;
};

TEST_F(FakeSystem, AnswerHoldsOneInstancePerInterfaceWithBothCounters) {
    Speed("lo", "garbage\n");
    Speed("eth0", "1000\n");
    Speed("wlan0", "-1\n");
    const auto answer = Answer();

    const auto bytes = ParseNetworkObjects(answer, kBytesTotalCounterIndex);
    const auto bandwidth = ParseNetworkObjects(answer, kCurrentBandwidthCounterIndex);
    ASSERT_TRUE(bytes && bandwidth);
    ASSERT_EQ(bytes->size(), 1u);
    const auto& instances = (*bytes)[0].instances;
    ASSERT_EQ(instances.size(), 3u);
    EXPECT_EQ(instances[0].name, "lo");
    EXPECT_EQ(instances[0].value, 6534u);
    EXPECT_EQ(instances[1].name, "eth0");
    EXPECT_EQ(instances[1].value, 89943402u);
    EXPECT_EQ(instances[2].value, 9u);
    EXPECT_EQ((*bandwidth)[0].instances[0].value, 0u);
    EXPECT_EQ((*bandwidth)[0].instances[1].value, 1000000000u);
    EXPECT_EQ((*bandwidth)[0].instances[2].value, 0u);
}

TEST_F(FakeSystem, LinkSpeedsInBitsPerSecond) {
    const struct {
        const char* speed; // nullptr: no speed file
        std::uint32_t bits;
    } cases[] = {
        {"10", 10000000u}, {"4294", 4294000000u}, {"10000", 0xFFFFFFFFu}, {"0", 0u}, {"-1", 0u},
        {"", 0u},          {nullptr, 0u},         {"100\n", 100000000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.speed ? c.speed : "(none)");
        fs::remove_all(m_root / "class");
        fs::create_directories(m_root / "class");
        if (c.speed)
            Speed("eth0", c.speed);
        const auto bandwidth = ParseNetworkObjects(Answer(), kCurrentBandwidthCounterIndex);
        ASSERT_TRUE(bandwidth);
        EXPECT_EQ((*bandwidth)[0].instances[1].value, c.bits);
    }
}

TEST_F(FakeSystem, HeaderFieldsFollowTheLayout) {
    const auto answer = Answer();
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
    EXPECT_EQ(ReadLe32(instance + perf_instance_definition::NameLength), 6u); // "lo" and zero
}

TEST_F(FakeSystem, QueryHonoursTheSizeContract) {
    std::uint32_t needed = 0;
    ASSERT_EQ(QueryNetworkPerfData("510", nullptr, &needed, m_paths), ERROR_SUCCESS);
    ASSERT_GT(needed, perf_data_block::Size);

    // Too small by one byte: "more data", the needed size, and the buffer left alone.
    std::vector<std::uint8_t> buffer(needed, 0xAB);
    std::uint32_t size = needed - 1;
    EXPECT_EQ(QueryNetworkPerfData("510", buffer.data(), &size, m_paths), ERROR_MORE_DATA);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer[0], 0xAB);

    // Larger than needed: success with the answer's length.
    buffer.assign(needed + 100, 0);
    size = needed + 100;
    EXPECT_EQ(QueryNetworkPerfData("510", buffer.data(), &size, m_paths), ERROR_SUCCESS);
    EXPECT_EQ(size, needed);

    // Failures are neither 0 nor "more data".
    for (long result :
         {QueryNetworkPerfData("238", buffer.data(), &size, m_paths),
          QueryNetworkPerfData("510", buffer.data(), nullptr, m_paths),
          QueryNetworkPerfData(nullptr, buffer.data(), &size, m_paths),
          QueryNetworkPerfData("510", buffer.data(), &size,
                               {(m_root / "missing").string(), m_paths.sysClassNet})}) {
        EXPECT_NE(result, ERROR_SUCCESS);
        EXPECT_NE(result, ERROR_MORE_DATA);
    }
}

TEST_F(FakeSystem, SamplerGrowsItsBufferForManyInterfaces) {
    // About 70 bytes per interface: 1000 interfaces need more than one 40960-byte step.
    std::string text = "Inter-|\n face |\n";
    for (int i = 0; i < 1000; ++i)
        text += "veth" + std::to_string(i) + ": " + std::to_string(i) + " 0 0 0 0 0 0 0 " +
                std::to_string(i) + " 0 0 0 0 0 0 0\n";
    Write(m_root / "dev", text);
    std::vector<std::uint32_t> sizes;
    const PerfDataPaths paths = m_paths;
    NetTraffic traffic([&](const char* name, std::uint8_t* data, std::uint32_t* size) {
        sizes.push_back(*size);
        return QueryNetworkPerfData(name, data, size, paths);
    });
    ASSERT_EQ(traffic.InterfaceNames().size(), 1000u);
    EXPECT_EQ(traffic.InterfaceNames()[999], "veth999");
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(sizes[0], NetTraffic::kBufferStep);
    EXPECT_GT(sizes[1], NetTraffic::kBufferStep * 2);
    EXPECT_EQ(traffic.GetInterfaceCounterValue(999), 2u * 999u);
}

TEST(PerfDataLive, InterfacesMatchTheKernelTable) {
    std::ifstream in("/proc/net/dev");
    ASSERT_TRUE(in);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> kernelNames;
    for (const auto& entry : ParseNetDev(text))
        kernelNames.push_back(entry.name);
    ASSERT_FALSE(kernelNames.empty());

    NetTraffic traffic;
    EXPECT_EQ(traffic.InterfaceNames(), kernelNames);
    EXPECT_EQ(traffic.InterfaceBandwidths().size(), kernelNames.size());
}

// Sends `bytes` over a loopback TCP connection and reads them back.
void PushThroughLoopback(std::size_t bytes) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int sender = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const int receiver = accept(listener, nullptr, nullptr);
    ASSERT_GE(receiver, 0);

    std::size_t received = 0;
    std::thread reader([&] {
        char chunk[65536];
        while (received < bytes) {
            const ssize_t n = recv(receiver, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            received += static_cast<std::size_t>(n);
        }
    });
    const std::vector<char> data(bytes, 'x');
    std::size_t sent = 0;
    while (sent < bytes) {
        const ssize_t n = send(sender, data.data() + sent, bytes - sent, 0);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    reader.join();
    close(sender);
    close(receiver);
    close(listener);
    ASSERT_EQ(received, bytes);
}

TEST(PerfDataLive, LoopbackSampleGrowsByTheBytesSent) {
    NetTraffic traffic;
    const auto& names = traffic.InterfaceNames();
    const auto lo = std::find(names.begin(), names.end(), "lo");
    ASSERT_NE(lo, names.end());
    const int position = static_cast<int>(lo - names.begin());

    ASSERT_EQ(traffic.SampleTraffic(position), 0.0);
    constexpr std::size_t kBytes = 1 << 20;
    PushThroughLoopback(kBytes);
    double grown = traffic.SampleTraffic(position);
    // Other users of loopback may have wrapped the 32-bit counter meanwhile.
    if (grown < 0)
        grown += 4294967296.0;
    // Loopback counts every byte twice, once sent and once received.
    EXPECT_GE(grown, 2.0 * kBytes);
}

} // namespace
