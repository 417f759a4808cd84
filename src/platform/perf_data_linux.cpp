#include "platform/perf_data_linux.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>

#include <unistd.h>

#include "platform/perf_data_layout.h"
#include "platform/wide_text.h"

namespace {

constexpr std::uint32_t kPerfDetailNovice = 100;
constexpr std::uint32_t kPerfCounterCounter = 0x10410400; // 32-bit rate per second
constexpr std::uint32_t kPerfCounterRawcount = 0x00010000;
constexpr std::uint32_t kBytesTotalHelpIndex = 389;
constexpr std::uint32_t kCurrentBandwidthHelpIndex = 521;
constexpr std::uint32_t kNetworkInterfaceHelpIndex = 511;

// Counter block: its length, then Bytes Total, then Current Bandwidth, padded to 8 bytes.
constexpr std::uint32_t kBytesTotalOffset = 4;
constexpr std::uint32_t kBandwidthOffset = 8;
constexpr std::uint32_t kCounterBlockLength = 16;

std::size_t Align8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

std::size_t WideBytes(const std::u16string& s) {
    return (s.size() + 1) * 2;
}

void WriteWide(std::uint8_t* p, const std::u16string& s) {
    for (std::size_t i = 0; i < s.size(); ++i)
        WriteLe16(p + 2 * i, s[i]);
    WriteLe16(p + 2 * s.size(), 0);
}

std::uint32_t U32(std::size_t n) {
    return static_cast<std::uint32_t>(n);
}

std::string ReadFile(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::uint32_t LinkSpeedBits(const PerfDataPaths& paths, const std::string& name) {
    bool ok = false;
    const std::string text = ReadFile(paths.sysClassNet + "/" + name + "/speed", ok);
    if (!ok)
        return 0;
    long long mbits = 0;
    std::istringstream in(text);
    if (!(in >> mbits) || mbits <= 0)
        return 0;
    // Links beyond 4294 Mbit/s do not fit the 32-bit counter; they read as its largest value.
    const long long bits =
        mbits > 1'000'000'000LL ? std::numeric_limits<long long>::max() : mbits * 1'000'000LL;
    return bits > std::numeric_limits<std::uint32_t>::max()
               ? std::numeric_limits<std::uint32_t>::max()
               : static_cast<std::uint32_t>(bits);
}

// 100 ns intervals since 1601-01-01, as the block's time stamp is given.
std::uint64_t FileTimeNow() {
    using namespace std::chrono;
    const auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
    constexpr std::uint64_t kEpochDelta = 116444736000000000ULL;
    return kEpochDelta + static_cast<std::uint64_t>(since1970.count() / 100);
}

void WriteSystemTime(std::uint8_t* p) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&t, &utc);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const int fields[8] = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_wday, utc.tm_mday,
                           utc.tm_hour,        utc.tm_min,     utc.tm_sec,  static_cast<int>(ms)};
    for (int i = 0; i < 8; ++i)
        WriteLe16(p + 2 * i, static_cast<std::uint16_t>(fields[i]));
}

std::uint64_t MonotonicNanoseconds() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

} // namespace

std::vector<InterfaceCounters> ParseNetDev(std::string_view text) {
    std::vector<InterfaceCounters> out;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos)
            lineEnd = text.size();
        const std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;

        // The two header lines have a '|' and no interface; data lines are "name: fields".
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || line.find('|') != std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, colon);
        while (!name.empty() && name.front() == ' ')
            name.remove_prefix(1);
        std::istringstream fields{std::string(line.substr(colon + 1))};
        unsigned long long value[16] = {};
        int count = 0;
        while (count < 16 && fields >> value[count])
            ++count;
        if (name.empty() || count < 9)
            continue;
        InterfaceCounters entry;
        entry.name = std::string(name);
        // Receive bytes are the first field, transmit bytes the ninth; the counter keeps the
        // low 32 bits of their sum and wraps as the system's 32-bit counter does.
        entry.bytesTotal = static_cast<std::uint32_t>(value[0] + value[8]);
        out.push_back(std::move(entry));
    }
    return out;
}

bool ReadInterfaceCounters(const PerfDataPaths& paths, std::vector<InterfaceCounters>& out) {
    bool ok = false;
    const std::string text = ReadFile(paths.netDev, ok);
    if (!ok)
        return false;
    out = ParseNetDev(text);
    for (auto& entry : out)
        entry.bandwidthBitsPerSec = LinkSpeedBits(paths, entry.name);
    return true;
}

std::vector<std::uint8_t> BuildNetworkPerfData(const std::vector<InterfaceCounters>& interfaces,
                                               std::string_view systemName) {
    const std::u16string wideSystemName = NarrowToWide(systemName);
    std::vector<std::u16string> names;
    names.reserve(interfaces.size());
    for (const auto& entry : interfaces)
        names.push_back(NarrowToWide(entry.name));

    // Sizes first, so the buffer is allocated once.
    const std::size_t headerLength = Align8(perf_data_block::Size + WideBytes(wideSystemName));
    const std::size_t definitionLength = perf_object_type::Size + 2 * perf_counter_definition::Size;
    std::size_t objectLength = definitionLength;
    for (const auto& name : names)
        objectLength +=
            Align8(perf_instance_definition::Size + WideBytes(name)) + kCounterBlockLength;
    std::vector<std::uint8_t> buffer(headerLength + objectLength, 0);

    // Data block.
    std::uint8_t* block = buffer.data();
    WriteWide(block + perf_data_block::Signature, u"PERF");
    WriteLe32(block + perf_data_block::LittleEndian, 1);
    WriteLe32(block + perf_data_block::Version, 1);
    WriteLe32(block + perf_data_block::Revision, 1);
    WriteLe32(block + perf_data_block::TotalByteLength, U32(buffer.size()));
    WriteLe32(block + perf_data_block::HeaderLength, U32(headerLength));
    WriteLe32(block + perf_data_block::NumObjectTypes, 1);
    WriteLe32(block + perf_data_block::DefaultObject, kNetworkInterfaceObjectIndex);
    WriteSystemTime(block + perf_data_block::SystemTime);
    const std::uint64_t perfTime = MonotonicNanoseconds();
    constexpr std::uint64_t kPerfFreq = 1'000'000'000ULL;
    WriteLe64(block + perf_data_block::PerfTime, perfTime);
    WriteLe64(block + perf_data_block::PerfFreq, kPerfFreq);
    WriteLe64(block + perf_data_block::PerfTime100nSec, FileTimeNow());
    WriteLe32(block + perf_data_block::SystemNameLength, U32(WideBytes(wideSystemName)));
    WriteLe32(block + perf_data_block::SystemNameOffset, U32(perf_data_block::Size));
    WriteWide(block + perf_data_block::Size, wideSystemName);

    // The one object.
    std::uint8_t* object = block + headerLength;
    WriteLe32(object + perf_object_type::TotalByteLength, U32(objectLength));
    WriteLe32(object + perf_object_type::DefinitionLength, U32(definitionLength));
    WriteLe32(object + perf_object_type::HeaderLength, U32(perf_object_type::Size));
    WriteLe32(object + perf_object_type::ObjectNameTitleIndex, kNetworkInterfaceObjectIndex);
    WriteLe32(object + perf_object_type::ObjectHelpTitleIndex, kNetworkInterfaceHelpIndex);
    WriteLe32(object + perf_object_type::DetailLevel, kPerfDetailNovice);
    WriteLe32(object + perf_object_type::NumCounters, 2);
    WriteLe32(object + perf_object_type::DefaultCounter, 0);
    WriteLe32(object + perf_object_type::NumInstances, U32(interfaces.size()));
    WriteLe32(object + perf_object_type::CodePage, 0); // names are UTF-16
    WriteLe64(object + perf_object_type::PerfTime, perfTime);
    WriteLe64(object + perf_object_type::PerfFreq, kPerfFreq);

    // Its two counter definitions.
    struct Definition {
        std::uint32_t index, help, type, offset;
    };
    const Definition definitions[2] = {
        {kBytesTotalCounterIndex, kBytesTotalHelpIndex, kPerfCounterCounter, kBytesTotalOffset},
        {kCurrentBandwidthCounterIndex, kCurrentBandwidthHelpIndex, kPerfCounterRawcount,
         kBandwidthOffset},
    };
    std::uint8_t* definition = object + perf_object_type::Size;
    for (const auto& d : definitions) {
        WriteLe32(definition + perf_counter_definition::ByteLength,
                  U32(perf_counter_definition::Size));
        WriteLe32(definition + perf_counter_definition::CounterNameTitleIndex, d.index);
        WriteLe32(definition + perf_counter_definition::CounterHelpTitleIndex, d.help);
        WriteLe32(definition + perf_counter_definition::DetailLevel, kPerfDetailNovice);
        WriteLe32(definition + perf_counter_definition::CounterType, d.type);
        WriteLe32(definition + perf_counter_definition::CounterSize, 4);
        WriteLe32(definition + perf_counter_definition::CounterOffset, d.offset);
        definition += perf_counter_definition::Size;
    }

    // One instance per interface, each followed by its counter block.
    std::uint8_t* instance = object + definitionLength;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const std::size_t instanceLength =
            Align8(perf_instance_definition::Size + WideBytes(names[i]));
        WriteLe32(instance + perf_instance_definition::ByteLength, U32(instanceLength));
        WriteLe32(instance + perf_instance_definition::UniqueID,
                  0xFFFFFFFFu); // named, not numbered
        WriteLe32(instance + perf_instance_definition::NameOffset,
                  U32(perf_instance_definition::Size));
        WriteLe32(instance + perf_instance_definition::NameLength, U32(WideBytes(names[i])));
        WriteWide(instance + perf_instance_definition::Size, names[i]);
        std::uint8_t* counters = instance + instanceLength;
        WriteLe32(counters + perf_counter_block::ByteLength, kCounterBlockLength);
        WriteLe32(counters + kBytesTotalOffset, interfaces[i].bytesTotal);
        WriteLe32(counters + kBandwidthOffset, interfaces[i].bandwidthBitsPerSec);
        instance = counters + kCounterBlockLength;
    }
    return buffer;
}

long QueryNetworkPerfData(const char* valueName, std::uint8_t* data, std::uint32_t* size,
                          const PerfDataPaths& paths) {
    if (size == nullptr || valueName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (std::strcmp(valueName, "510") != 0)
        return ERROR_FILE_NOT_FOUND;
    std::vector<InterfaceCounters> interfaces;
    if (!ReadInterfaceCounters(paths, interfaces))
        return ERROR_FILE_NOT_FOUND;
    const std::vector<std::uint8_t> answer = BuildNetworkPerfData(interfaces, HostName());
    const std::uint32_t needed = U32(answer.size());
    if (data == nullptr) {
        *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, answer.data(), answer.size());
    *size = needed;
    return ERROR_SUCCESS;
}
