#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Where the live system's figures are read; tests point these elsewhere.
struct PerfDataPaths {
    std::string netDev = "/proc/net/dev";
    std::string sysClassNet = "/sys/class/net";
};

// Stands in for reading the Network Interface object from the registry's performance data.
//
// The first answer fixes which interfaces are listed, as the sampler lists them only once: those
// that are up, in the kernel's order, with loopback moved to the end (loopback alone when nothing
// else is up), so that position 0 is a network card wherever one is up. Their link speeds and the
// host name are read then too. Every answer after that reads the kernel's interface table once
// and nothing else: it holds the listed interfaces that still exist, in the same order, with
// their current byte totals. A card that goes down later stays listed, but its counter no longer
// moves.
class NetworkPerfData {
public:
    explicit NetworkPerfData(PerfDataPaths paths = {});

    // `valueName` must be "510". `*size` is the buffer's capacity on entry and the answer's length
    // on success. Returns 0 on success, 234 (more data) with `*size` set to the needed length when
    // the buffer is too small, any other value on failure. A null `data` asks only for the length.
    long Query(const char* valueName, std::uint8_t* data, std::uint32_t* size);

private:
    struct Interface {
        std::string name;
        std::u16string wideName;
        std::uint32_t bandwidthBitsPerSec = 0; // 0 when the link speed is unknown
        std::uint32_t bytesTotal = 0;          // received + sent, low 32 bits
        bool present = false;                  // in the last reading of the table
    };

    std::string_view Table() const { return {m_table.data(), m_tableLength}; }
    void Enumerate();
    void TakeCounters();
    std::size_t HeaderLength() const; // the data block with the host name, padded
    std::size_t AnswerLength() const;
    void WriteAnswer(std::uint8_t* data, std::size_t length) const;

    PerfDataPaths m_paths;
    bool m_enumerated = false;
    // The last reading was answered with "more data"; the caller's retry gets the same reading.
    bool m_readingPending = false;
    std::vector<char> m_table; // reused by every reading, so it grows only with the table
    std::size_t m_tableLength = 0;
    std::u16string m_systemName;
    std::vector<Interface> m_interfaces; // in the answer's order
    std::vector<std::size_t> m_byName;   // positions in m_interfaces, sorted by name
};
