#include "traffic/perf_data_parser.h"

#include "platform/perf_data_layout.h"
#include "platform/wide_text.h"

namespace {

// The narrow name buffer, terminator included.
constexpr std::size_t kNarrowNameBytes = 255;

// Bounds-checked reads; positions are 64-bit so that offset sums cannot wrap.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : m_data(data) {}

    bool Has(std::uint64_t position, std::uint64_t length) const {
        return position <= m_data.size() && length <= m_data.size() - position;
    }
    std::optional<std::uint32_t> U32(std::uint64_t position) const {
        if (!Has(position, 4))
            return std::nullopt;
        return ReadLe32(m_data.data() + position);
    }
    // A zero-terminated UTF-16 string. Reading stops after `limit` units without a terminator:
    // such a name cannot fit the narrow conversion anyway, and an unbounded scan per instance
    // would make a crafted answer quadratic.
    std::optional<std::u16string> WideString(std::uint64_t position, std::size_t limit) const {
        std::u16string text;
        while (text.size() <= limit) {
            if (!Has(position, 2))
                return std::nullopt;
            const char16_t c = ReadLe16(m_data.data() + position);
            if (c == 0)
                break;
            text += c;
            position += 2;
        }
        return text;
    }

private:
    std::span<const std::uint8_t> m_data;
};

// The counter offset inside the counter block, from the last matching definition.
std::optional<std::optional<std::uint32_t>>
FindCounterOffset(const Reader& in, std::uint64_t object, std::uint32_t counterIndex) {
    const auto headerLength = in.U32(object + perf_object_type::HeaderLength);
    const auto numCounters = in.U32(object + perf_object_type::NumCounters);
    if (!headerLength || !numCounters)
        return std::nullopt;
    std::optional<std::uint32_t> offset;
    std::uint64_t definition = object + *headerLength;
    for (std::uint32_t i = 0; i < *numCounters; ++i) {
        if (!in.Has(definition, perf_counter_definition::Size))
            return std::nullopt;
        const auto byteLength = *in.U32(definition + perf_counter_definition::ByteLength);
        if (*in.U32(definition + perf_counter_definition::CounterNameTitleIndex) == counterIndex)
            offset = *in.U32(definition + perf_counter_definition::CounterOffset);
        // A definition shorter than its own fields would let a huge count spin in place.
        if (i + 1 < *numCounters && byteLength < perf_counter_definition::Size)
            return std::nullopt;
        definition += byteLength;
    }
    return offset;
}

std::optional<std::vector<NetworkInstance>> ReadInstances(const Reader& in, std::uint64_t object,
                                                          std::uint32_t counterOffset) {
    const auto definitionLength = in.U32(object + perf_object_type::DefinitionLength);
    const auto numInstances = in.U32(object + perf_object_type::NumInstances);
    if (!definitionLength || !numInstances)
        return std::nullopt;
    // The count is signed in the layout: -1 marks an object without instances.
    const auto count = static_cast<std::int32_t>(*numInstances);
    std::vector<NetworkInstance> instances;
    std::uint64_t instance = object + *definitionLength;
    for (std::int32_t k = 0; k < count; ++k) {
        if (!in.Has(instance, perf_instance_definition::Size))
            return std::nullopt;
        const auto byteLength = *in.U32(instance + perf_instance_definition::ByteLength);
        const auto nameOffset = *in.U32(instance + perf_instance_definition::NameOffset);
        const auto wideName = in.WideString(instance + nameOffset, kNarrowNameBytes);
        const std::uint64_t counterBlock = instance + byteLength;
        const auto blockLength = in.U32(counterBlock + perf_counter_block::ByteLength);
        const auto value = in.U32(counterBlock + counterOffset);
        if (!wideName || !blockLength || !value)
            return std::nullopt;
        // Each step must move forward past the headers it read, or a huge count never ends.
        if (byteLength < perf_instance_definition::Size ||
            (k + 1 < count && *blockLength < perf_counter_block::Size))
            return std::nullopt;
        instances.push_back(
            {WideToNarrow(*wideName, kNarrowNameBytes).value_or(std::string()), *value});
        instance = counterBlock + *blockLength;
    }
    return instances;
}

} // namespace

std::optional<std::vector<NetworkObject>> ParseNetworkObjects(std::span<const std::uint8_t> answer,
                                                              std::uint32_t counterIndex) {
    const Reader in(answer);
    if (!in.Has(0, perf_data_block::Size))
        return std::nullopt;
    const std::uint32_t headerLength = *in.U32(perf_data_block::HeaderLength);
    const std::uint32_t numObjects = *in.U32(perf_data_block::NumObjectTypes);

    std::vector<NetworkObject> objects;
    std::uint64_t object = headerLength;
    for (std::uint32_t i = 0; i < numObjects; ++i) {
        if (!in.Has(object, perf_object_type::Size))
            return std::nullopt;
        const std::uint32_t totalLength = *in.U32(object + perf_object_type::TotalByteLength);
        if (*in.U32(object + perf_object_type::ObjectNameTitleIndex) ==
            kNetworkInterfaceObjectIndex) {
            const auto offset = FindCounterOffset(in, object, counterIndex);
            if (!offset)
                return std::nullopt;
            NetworkObject found;
            if (!*offset) {
                objects.push_back(std::move(found));
                return objects;
            }
            auto instances = ReadInstances(in, object, **offset);
            if (!instances)
                return std::nullopt;
            found.counterFound = true;
            found.instances = std::move(*instances);
            objects.push_back(std::move(found));
        }
        if (i + 1 < numObjects && totalLength < perf_object_type::Size)
            return std::nullopt;
        object += totalLength;
    }
    return objects;
}
