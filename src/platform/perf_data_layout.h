#pragma once

#include <cstddef>
#include <cstdint>

// Field offsets of the published performance-data layout. Every field is 4 bytes unless noted,
// every integer little-endian, and every offset relative to the structure that holds it.

namespace perf_data_block {
inline constexpr std::size_t Size = 88;
inline constexpr std::size_t Signature = 0; // 4 UTF-16 units, "PERF"
inline constexpr std::size_t LittleEndian = 8;
inline constexpr std::size_t Version = 12;
inline constexpr std::size_t Revision = 16;
inline constexpr std::size_t TotalByteLength = 20;
inline constexpr std::size_t HeaderLength = 24; // the first object lies here
inline constexpr std::size_t NumObjectTypes = 28;
inline constexpr std::size_t DefaultObject = 32;
inline constexpr std::size_t SystemTime = 36;      // 8 x 16-bit
inline constexpr std::size_t PerfTime = 56;        // 8 bytes
inline constexpr std::size_t PerfFreq = 64;        // 8 bytes
inline constexpr std::size_t PerfTime100nSec = 72; // 8 bytes
inline constexpr std::size_t SystemNameLength = 80;
inline constexpr std::size_t SystemNameOffset = 84;
} // namespace perf_data_block

namespace perf_object_type {
inline constexpr std::size_t Size = 64;
inline constexpr std::size_t TotalByteLength = 0;  // offset to the next object
inline constexpr std::size_t DefinitionLength = 4; // offset to the first instance
inline constexpr std::size_t HeaderLength = 8;     // offset to the first counter definition
inline constexpr std::size_t ObjectNameTitleIndex = 12;
inline constexpr std::size_t ObjectNameTitle = 16;
inline constexpr std::size_t ObjectHelpTitleIndex = 20;
inline constexpr std::size_t ObjectHelpTitle = 24;
inline constexpr std::size_t DetailLevel = 28;
inline constexpr std::size_t NumCounters = 32;
inline constexpr std::size_t DefaultCounter = 36;
inline constexpr std::size_t NumInstances = 40; // signed; below 1 means no instances
inline constexpr std::size_t CodePage = 44;
inline constexpr std::size_t PerfTime = 48; // 8 bytes
inline constexpr std::size_t PerfFreq = 56; // 8 bytes
} // namespace perf_object_type

namespace perf_counter_definition {
inline constexpr std::size_t Size = 40;
inline constexpr std::size_t ByteLength = 0; // offset to the next definition
inline constexpr std::size_t CounterNameTitleIndex = 4;
inline constexpr std::size_t CounterNameTitle = 8;
inline constexpr std::size_t CounterHelpTitleIndex = 12;
inline constexpr std::size_t CounterHelpTitle = 16;
inline constexpr std::size_t DefaultScale = 20;
inline constexpr std::size_t DetailLevel = 24;
inline constexpr std::size_t CounterType = 28;
inline constexpr std::size_t CounterSize = 32;
inline constexpr std::size_t CounterOffset = 36; // inside each instance's counter block
} // namespace perf_counter_definition

namespace perf_instance_definition {
inline constexpr std::size_t Size = 24;
inline constexpr std::size_t ByteLength = 0; // offset to the instance's counter block
inline constexpr std::size_t ParentObjectTitleIndex = 4;
inline constexpr std::size_t ParentObjectInstance = 8;
inline constexpr std::size_t UniqueID = 12;
inline constexpr std::size_t NameOffset = 16; // zero-terminated UTF-16 name
inline constexpr std::size_t NameLength = 20; // bytes, terminator included
} // namespace perf_instance_definition

namespace perf_counter_block {
inline constexpr std::size_t Size = 4;
inline constexpr std::size_t ByteLength = 0; // the whole block, counters included
} // namespace perf_counter_block

// Title indexes of the Network Interface object and the two counters the program reads.
inline constexpr std::uint32_t kNetworkInterfaceObjectIndex = 510;
inline constexpr std::uint32_t kBytesTotalCounterIndex = 388;
inline constexpr std::uint32_t kCurrentBandwidthCounterIndex = 520;

// Results of the query, as the registry call gives them.
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_MORE_DATA = 234;

inline std::uint32_t ReadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint16_t ReadLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline void WriteLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void WriteLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void WriteLe64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
