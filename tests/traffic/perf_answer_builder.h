#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/perf_data_layout.h"
#include "platform/wide_text.h"

// Builds performance-data answers in the published layout for tests, with every length right,
// and remembers where each structure went so a test can then break one field on purpose.
struct TestCounter {
    std::uint32_t index;  // counter name index
    std::uint32_t offset; // inside the counter block
};

struct TestInstance {
    std::u16string name;
    std::vector<std::uint32_t> block; // the counter block after its length word
};

struct TestObject {
    std::uint32_t titleIndex = kNetworkInterfaceObjectIndex;
    std::vector<TestCounter> counters;
    std::vector<TestInstance> instances;
    std::size_t padding = 0; // extra bytes after the instances, inside the object
};

struct TestAnswer {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> objectAt;
    std::vector<std::vector<std::size_t>> counterAt;
    std::vector<std::vector<std::size_t>> instanceAt;
    std::vector<std::vector<std::size_t>> counterBlockAt;

    void Patch(std::size_t position, std::uint32_t value) {
        WriteLe32(bytes.data() + position, value);
    }
};

inline TestAnswer BuildAnswer(const std::vector<TestObject>& objects) {
    TestAnswer answer;
    std::vector<std::uint8_t>& out = answer.bytes;
    out.reserve(4096);
    auto put32 = [&out](std::size_t at, std::uint32_t v) { WriteLe32(out.data() + at, v); };
    auto grow = [&out](std::size_t n) {
        const std::size_t at = out.size();
        out.resize(at + n, 0);
        return at;
    };

    grow(perf_data_block::Size);
    const char16_t signature[] = u"PERF";
    for (int i = 0; i < 4; ++i)
        WriteLe16(out.data() + 2 * i, signature[i]);
    put32(perf_data_block::LittleEndian, 1);
    put32(perf_data_block::HeaderLength, perf_data_block::Size);
    put32(perf_data_block::NumObjectTypes, static_cast<std::uint32_t>(objects.size()));

    for (const auto& object : objects) {
        const std::size_t start = grow(perf_object_type::Size);
        answer.objectAt.push_back(start);
        put32(start + perf_object_type::HeaderLength, perf_object_type::Size);
        put32(start + perf_object_type::ObjectNameTitleIndex, object.titleIndex);
        put32(start + perf_object_type::NumCounters,
              static_cast<std::uint32_t>(object.counters.size()));
        put32(start + perf_object_type::NumInstances,
              static_cast<std::uint32_t>(object.instances.size()));
        answer.counterAt.emplace_back();
        for (const auto& counter : object.counters) {
            const std::size_t at = grow(perf_counter_definition::Size);
            answer.counterAt.back().push_back(at);
            put32(at + perf_counter_definition::ByteLength, perf_counter_definition::Size);
            put32(at + perf_counter_definition::CounterNameTitleIndex, counter.index);
            put32(at + perf_counter_definition::CounterSize, 4);
            put32(at + perf_counter_definition::CounterOffset, counter.offset);
        }
        put32(start + perf_object_type::DefinitionLength,
              static_cast<std::uint32_t>(out.size() - start));
        answer.instanceAt.emplace_back();
        answer.counterBlockAt.emplace_back();
        for (const auto& instance : object.instances) {
            const std::size_t nameBytes = 2 * (instance.name.size() + 1);
            const std::size_t at = grow(perf_instance_definition::Size + nameBytes);
            answer.instanceAt.back().push_back(at);
            put32(at + perf_instance_definition::ByteLength,
                  static_cast<std::uint32_t>(perf_instance_definition::Size + nameBytes));
            put32(at + perf_instance_definition::NameOffset, perf_instance_definition::Size);
            put32(at + perf_instance_definition::NameLength, static_cast<std::uint32_t>(nameBytes));
            for (std::size_t i = 0; i < instance.name.size(); ++i)
                WriteLe16(out.data() + at + perf_instance_definition::Size + 2 * i,
                          instance.name[i]);
            const std::size_t blockLength = 4 + 4 * instance.block.size();
            const std::size_t block = grow(blockLength);
            answer.counterBlockAt.back().push_back(block);
            put32(block, static_cast<std::uint32_t>(blockLength));
            for (std::size_t i = 0; i < instance.block.size(); ++i)
                put32(block + 4 + 4 * i, instance.block[i]);
        }
        grow(object.padding);
        put32(start + perf_object_type::TotalByteLength,
              static_cast<std::uint32_t>(out.size() - start));
    }
    put32(perf_data_block::TotalByteLength, static_cast<std::uint32_t>(out.size()));
    return answer;
}

// One interface as the usual object lists it: Bytes Total at offset 4, Current Bandwidth at 8.
struct TestInterface {
    std::string name;
    std::uint32_t bytesTotal = 0;
    std::uint32_t bandwidth = 0;
};

inline TestObject InterfaceObject(const std::vector<TestInterface>& interfaces) {
    TestObject object;
    object.counters = {{kBytesTotalCounterIndex, 4}, {kCurrentBandwidthCounterIndex, 8}};
    for (const auto& i : interfaces)
        object.instances.push_back({NarrowToWide(i.name), {i.bytesTotal, i.bandwidth}});
    return object;
}

// A query that answers with whatever answer the test holds at the moment, and records its calls.
// `setsNeededSize` chooses how it answers a buffer that is too small: with the needed length in
// the size (as the Linux source does), or leaving the size as it was.
class ScriptedQuery {
public:
    struct State {
        std::vector<std::uint8_t> answer;
        long failWith = ERROR_SUCCESS; // anything but 0 makes every call fail with it
        bool setsNeededSize = true;
        std::optional<std::uint32_t> claimedSize; // answers "more data" with this size, always
        std::vector<std::uint32_t> sizesSeen;
        std::vector<std::string> valueNames;
        int calls() const { return static_cast<int>(sizesSeen.size()); }
    };

    ScriptedQuery() : m_state(std::make_shared<State>()) {}

    State& state() { return *m_state; }
    void Answer(std::vector<std::uint8_t> bytes) { m_state->answer = std::move(bytes); }

    long operator()(const char* valueName, std::uint8_t* data, std::uint32_t* size) const {
        State& s = *m_state;
        s.sizesSeen.push_back(*size);
        s.valueNames.emplace_back(valueName);
        if (s.failWith != ERROR_SUCCESS)
            return s.failWith;
        if (s.claimedSize) {
            *size = *s.claimedSize;
            return ERROR_MORE_DATA;
        }
        const auto needed = static_cast<std::uint32_t>(s.answer.size());
        if (*size < needed) {
            if (s.setsNeededSize)
                *size = needed;
            return ERROR_MORE_DATA;
        }
        if (!s.answer.empty())
            std::memcpy(data, s.answer.data(), s.answer.size());
        *size = needed;
        return ERROR_SUCCESS;
    }

private:
    std::shared_ptr<State> m_state;
};
