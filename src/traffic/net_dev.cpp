#include "traffic/net_dev.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include "platform/whole_file.h"

namespace {

// A small attribute file of /sys: its first token, or empty when it cannot be read.
std::string ReadAttribute(const NetDevPaths& paths, std::string_view name, const char* attribute) {
    std::string text;
    if (!ReadWholeFile(paths.sysClassNet + "/" + std::string(name) + "/" + attribute, text))
        return {};
    return text.substr(0, text.find_first_of(" \n"));
}

std::uint32_t InterfaceFlags(const NetDevPaths& paths, std::string_view name) {
    const std::string text = ReadAttribute(paths, name, "flags");
    std::uint32_t flags = 0;
    if (text.size() > 2 && text.starts_with("0x"))
        std::from_chars(text.data() + 2, text.data() + text.size(), flags, 16);
    return flags;
}

} // namespace

void ForEachByteTotal(std::string_view table,
                      const std::function<void(std::string_view name, std::uint32_t bytes)>& take) {
    while (!table.empty()) {
        const std::size_t end = std::min(table.find('\n'), table.size());
        const std::string_view line = table.substr(0, end);
        table.remove_prefix(std::min(end + 1, table.size()));

        // A data line is "name: field field ..."; the two header lines have no colon, and an
        // interface name never holds one.
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string_view name = line.substr(0, colon);
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        // Received bytes are the first field, sent bytes the ninth.
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
        take(name, static_cast<std::uint32_t>(field[0] + field[8]));
    }
}

std::vector<NetworkCard> ListCards(std::string_view table, const NetDevPaths& paths) {
    std::vector<NetworkCard> cards;
    std::vector<NetworkCard> loopbacksUp;
    std::vector<NetworkCard> loopbacksDown;
    ForEachByteTotal(table, [&](std::string_view name, std::uint32_t) {
        const std::uint32_t flags = InterfaceFlags(paths, name);
        const bool loopback = (flags & IFF_LOOPBACK) != 0 || name == "lo";
        NetworkCard card{std::string(name)};
        if ((flags & IFF_UP) != 0)
            (loopback ? loopbacksUp : cards).push_back(std::move(card));
        else if (loopback)
            loopbacksDown.push_back(std::move(card));
    });
    cards.insert(cards.end(), loopbacksUp.begin(), loopbacksUp.end());
    // With nothing else up, loopback still gives the graph something to show.
    if (cards.empty())
        cards = std::move(loopbacksDown);
    return cards;
}
