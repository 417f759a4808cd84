#include "platform/perf_data_linux.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <net/if.h>
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

constexpr std::size_t kDefinitionLength =
    perf_object_type::Size + 2 * perf_counter_definition::Size;

std::size_t Align8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

std::size_t WideBytes(std::u16string_view s) {
    return (s.size() + 1) * 2;
}

void WriteWide(std::uint8_t* p, std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i)
        WriteLe16(p + 2 * i, s[i]);
    WriteLe16(p + 2 * s.size(), 0);
}

std::uint32_t U32(std::size_t n) {
    return static_cast<std::uint32_t>(n);
}

std::size_t InstanceLength(std::u16string_view wideName) {
    return Align8(perf_instance_definition::Size + WideBytes(wideName)) + kCounterBlockLength;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// Reads the whole file into `buffer`, which only ever grows; `length` is what was read.
bool ReadWholeFile(const std::string& path, std::vector<char>& buffer, std::size_t& length) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        return false;
    length = 0;
    for (;;) {
        if (length == buffer.size())
            buffer.resize(std::max<std::size_t>(4096, 2 * buffer.size()));
        const ssize_t n = read(file.Get(), buffer.data() + length, buffer.size() - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        length += static_cast<std::size_t>(n);
    }
}

// A small attribute file of /sys: its first token, or empty when it cannot be read.
std::string ReadAttribute(const PerfDataPaths& paths, std::string_view name,
                          const char* attribute) {
    std::vector<char> buffer;
    std::size_t length = 0;
    const std::string path = paths.sysClassNet + "/" + std::string(name) + "/" + attribute;
    if (!ReadWholeFile(path, buffer, length))
        return {};
    const std::string_view text(buffer.data(), length);
    return std::string(text.substr(0, text.find_first_of(" \n")));
}

std::uint32_t InterfaceFlags(const PerfDataPaths& paths, std::string_view name) {
    const std::string text = ReadAttribute(paths, name, "flags");
    std::uint32_t flags = 0;
    if (text.size() > 2 && text.starts_with("0x"))
        std::from_chars(text.data() + 2, text.data() + text.size(), flags, 16);
    return flags;
}

std::uint32_t LinkSpeedBits(const PerfDataPaths& paths, std::string_view name) {
    const std::string text = ReadAttribute(paths, name, "speed");
    long long mbits = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mbits);
    if (error != std::errc() || end != text.data() + text.size() || mbits <= 0)
        return 0;
    // Links beyond 4294 Mbit/s do not fit the 32-bit counter; they read as its largest value.
    constexpr long long kLargest = std::numeric_limits<std::uint32_t>::max();
    return mbits > kLargest / 1'000'000 ? static_cast<std::uint32_t>(kLargest)
                                        : static_cast<std::uint32_t>(mbits * 1'000'000);
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

// Calls take(name, bytesTotal) for every interface line of the kernel's table, in its order.
// A data line is "name: field field ..."; the two header lines have no colon, and an interface
// name never holds one.
template <class Take> void ForEachInterfaceLine(std::string_view table, Take take) {
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        const std::string_view line = table.substr(0, end);
        table.remove_prefix(std::min(end + 1, table.size()));

        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, colon);
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        // Receive bytes are the first field, transmit bytes the ninth.
        std::uint64_t field[9] = {};
        const char* p = line.data() + colon + 1;
        const char* const last = line.data() + line.size();
        int count = 0;
        for (; count < 9; ++count) {
            while (p < last && *p == ' ')
                ++p;
            const auto [next, error] = std::from_chars(p, last, field[count]);
            if (error != std::errc())
                break;
            p = next;
        }
        if (name.empty() || count < 9)
            continue;
        // The counter keeps the low 32 bits of the sum and wraps as the system's 32-bit counter
        // does.
        take(name, static_cast<std::uint32_t>(field[0] + field[8]));
    }
}

} // namespace

NetworkPerfData::NetworkPerfData(PerfDataPaths paths) : m_paths(std::move(paths)) {}

void NetworkPerfData::Enumerate() {
    std::vector<Interface> cards;
    std::vector<Interface> loopbacksUp;
    std::vector<Interface> loopbacksDown;
    ForEachInterfaceLine(Table(), [&](std::string_view name, std::uint32_t) {
        const std::uint32_t flags = InterfaceFlags(m_paths, name);
        const bool loopback = (flags & IFF_LOOPBACK) != 0 || name == "lo";
        Interface entry;
        entry.name = std::string(name);
        // A card that is down is not listed.
        if ((flags & IFF_UP) != 0)
            (loopback ? loopbacksUp : cards).push_back(std::move(entry));
        else if (loopback)
            loopbacksDown.push_back(std::move(entry));
    });
    // With nothing else up, loopback still gives the graph something to show.
    m_interfaces = std::move(cards);
    m_interfaces.insert(m_interfaces.end(), loopbacksUp.begin(), loopbacksUp.end());
    if (m_interfaces.empty())
        m_interfaces = std::move(loopbacksDown);

    m_byName.clear();
    for (std::size_t i = 0; i < m_interfaces.size(); ++i) {
        Interface& entry = m_interfaces[i];
        entry.wideName = NarrowToWide(entry.name);
        entry.bandwidthBitsPerSec = LinkSpeedBits(m_paths, entry.name);
        m_byName.push_back(i);
    }
    std::sort(m_byName.begin(), m_byName.end(), [this](std::size_t a, std::size_t b) {
        return m_interfaces[a].name < m_interfaces[b].name;
    });
    m_systemName = NarrowToWide(HostName());
    m_enumerated = true;
}

void NetworkPerfData::TakeCounters() {
    for (Interface& entry : m_interfaces)
        entry.present = false;
    ForEachInterfaceLine(Table(), [this](std::string_view name, std::uint32_t bytesTotal) {
        const auto found = std::lower_bound(
            m_byName.begin(), m_byName.end(), name,
            [this](std::size_t i, std::string_view n) { return m_interfaces[i].name < n; });
        if (found == m_byName.end() || m_interfaces[*found].name != name)
            return;
        Interface& entry = m_interfaces[*found];
        entry.bytesTotal = bytesTotal;
        entry.present = true;
    });
}

std::size_t NetworkPerfData::HeaderLength() const {
    return Align8(perf_data_block::Size + WideBytes(m_systemName));
}

std::size_t NetworkPerfData::AnswerLength() const {
    std::size_t length = HeaderLength() + kDefinitionLength;
    for (const Interface& entry : m_interfaces)
        if (entry.present)
            length += InstanceLength(entry.wideName);
    return length;
}

void NetworkPerfData::WriteAnswer(std::uint8_t* data, std::size_t length) const {
    std::fill(data, data + length, std::uint8_t{0});
    const std::size_t headerLength = HeaderLength();
    std::size_t instances = 0;
    for (const Interface& entry : m_interfaces)
        instances += entry.present ? 1 : 0;

    // Data block. No reader looks at its time stamps: they stay zero, so a sample reads no clock.
    std::uint8_t* block = data;
    WriteWide(block + perf_data_block::Signature, u"PERF");
    WriteLe32(block + perf_data_block::LittleEndian, 1);
    WriteLe32(block + perf_data_block::Version, 1);
    WriteLe32(block + perf_data_block::Revision, 1);
    WriteLe32(block + perf_data_block::TotalByteLength, U32(length));
    WriteLe32(block + perf_data_block::HeaderLength, U32(headerLength));
    WriteLe32(block + perf_data_block::NumObjectTypes, 1);
    WriteLe32(block + perf_data_block::DefaultObject, kNetworkInterfaceObjectIndex);
    WriteLe32(block + perf_data_block::SystemNameLength, U32(WideBytes(m_systemName)));
    WriteLe32(block + perf_data_block::SystemNameOffset, U32(perf_data_block::Size));
    WriteWide(block + perf_data_block::Size, m_systemName);

    // The one object.
    std::uint8_t* object = block + headerLength;
    WriteLe32(object + perf_object_type::TotalByteLength, U32(length - headerLength));
    WriteLe32(object + perf_object_type::DefinitionLength, U32(kDefinitionLength));
    WriteLe32(object + perf_object_type::HeaderLength, U32(perf_object_type::Size));
    WriteLe32(object + perf_object_type::ObjectNameTitleIndex, kNetworkInterfaceObjectIndex);
    WriteLe32(object + perf_object_type::ObjectHelpTitleIndex, kNetworkInterfaceHelpIndex);
    WriteLe32(object + perf_object_type::DetailLevel, kPerfDetailNovice);
    WriteLe32(object + perf_object_type::NumCounters, 2);
    WriteLe32(object + perf_object_type::DefaultCounter, 0);
    WriteLe32(object + perf_object_type::NumInstances, U32(instances));
    WriteLe32(object + perf_object_type::CodePage, 0); // names are UTF-16

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

    // One instance per interface still there, each followed by its counter block.
    std::uint8_t* instance = object + kDefinitionLength;
    for (const Interface& entry : m_interfaces) {
        if (!entry.present)
            continue;
        const std::size_t nameBytes = WideBytes(entry.wideName);
        const std::size_t instanceLength = Align8(perf_instance_definition::Size + nameBytes);
        WriteLe32(instance + perf_instance_definition::ByteLength, U32(instanceLength));
        WriteLe32(instance + perf_instance_definition::UniqueID,
                  0xFFFFFFFFu); // named, not numbered
        WriteLe32(instance + perf_instance_definition::NameOffset,
                  U32(perf_instance_definition::Size));
        WriteLe32(instance + perf_instance_definition::NameLength, U32(nameBytes));
        WriteWide(instance + perf_instance_definition::Size, entry.wideName);
        std::uint8_t* counters = instance + instanceLength;
        WriteLe32(counters + perf_counter_block::ByteLength, kCounterBlockLength);
        WriteLe32(counters + kBytesTotalOffset, entry.bytesTotal);
        WriteLe32(counters + kBandwidthOffset, entry.bandwidthBitsPerSec);
        instance = counters + kCounterBlockLength;
    }
}

long NetworkPerfData::Query(const char* valueName, std::uint8_t* data, std::uint32_t* size) {
    if (size == nullptr || valueName == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (std::strcmp(valueName, "510") != 0)
        return ERROR_FILE_NOT_FOUND;
    if (!m_readingPending) {
        if (!ReadWholeFile(m_paths.netDev, m_table, m_tableLength))
            return ERROR_FILE_NOT_FOUND;
        if (!m_enumerated)
            Enumerate();
        TakeCounters();
    }
    const std::size_t length = AnswerLength();
    const std::uint32_t capacity = *size;
    *size = U32(length);
    // A caller told "more data" asks again at once; it gets the reading whose length it was told.
    m_readingPending = data == nullptr || capacity < length;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (m_readingPending)
        return ERROR_MORE_DATA;
    WriteAnswer(data, length);
    return ERROR_SUCCESS;
}
