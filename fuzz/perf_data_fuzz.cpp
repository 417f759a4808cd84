// Feeds arbitrary bytes to the performance-data parser and to the sampler as the query's answer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/perf_data_layout.h"
#include "traffic/net_traffic.h"
#include "traffic/perf_data_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> answer(data, size);
    for (std::uint32_t counter : {kBytesTotalCounterIndex, kCurrentBandwidthCounterIndex})
        ParseNetworkObjects(answer, counter);

    const auto length = static_cast<std::uint32_t>(size);
    NetTraffic traffic([&](const char*, std::uint8_t* buffer, std::uint32_t* inOut) -> long {
        if (*inOut < length) {
            *inOut = length;
            return ERROR_MORE_DATA;
        }
        if (size != 0)
            std::memcpy(buffer, data, size);
        *inOut = length;
        return ERROR_SUCCESS;
    });
    const int count = static_cast<int>(traffic.InterfaceNames().size());
    for (int i = 0; i < count && i < 4; ++i) {
        traffic.SampleTraffic(i);
        traffic.GetInterfaceCounterValue(i);
    }
    return 0;
}
