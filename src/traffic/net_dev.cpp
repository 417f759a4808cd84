#include "traffic/net_dev.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

namespace {

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

// A small attribute file of /sys: its first token, or empty when it cannot be read.
std::string ReadAttribute(const NetDevPaths& paths, std::string_view name, const char* attribute) {
    std::vector<char> buffer;
    std::string_view text;
    if (!ReadWholeFile(paths.sysClassNet + "/" + std::string(name) + "/" + attribute, buffer, text))
        return {};
    return std::string(text.substr(0, text.find_first_of(" \n")));
}

std::uint32_t InterfaceFlags(const NetDevPaths& paths, std::string_view name) {
    const std::string text = ReadAttribute(paths, name, "flags");
    std::uint32_t flags = 0;
    if (text.size() > 2 && text.starts_with("0x"))
        std::from_chars(text.data() + 2, text.data() + text.size(), flags, 16);
    return flags;
}

std::uint32_t LinkSpeedBits(const NetDevPaths& paths, std::string_view name) {
    const std::string text = ReadAttribute(paths, name, "speed");
    long long mbits = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), mbits);
    if (error != std::errc() || end != text.data() + text.size() || mbits <= 0)
        return 0;
    // Links beyond 4294 Mbit/s do not fit 32 bits; they read as the largest value.
    constexpr long long kLargest = std::numeric_limits<std::uint32_t>::max();
    return mbits > kLargest / 1'000'000 ? static_cast<std::uint32_t>(kLargest)
                                        : static_cast<std::uint32_t>(mbits * 1'000'000);
}

} // namespace

bool ReadWholeFile(const std::string& path, std::vector<char>& buffer, std::string_view& text) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0)
        return false;
    std::size_t length = 0;
    for (;;) {
        if (length == buffer.size())
            buffer.resize(std::max<std::size_t>(4096, 2 * buffer.size()));
        const ssize_t n = read(file.Get(), buffer.data() + length, buffer.size() - length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            text = std::string_view(buffer.data(), length);
            return true;
        }
        length += static_cast<std::size_t>(n);
    }
}

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
        NetworkCard card{std::string(name), 0};
        if ((flags & IFF_UP) != 0)
            (loopback ? loopbacksUp : cards).push_back(std::move(card));
        else if (loopback)
            loopbacksDown.push_back(std::move(card));
    });
    cards.insert(cards.end(), loopbacksUp.begin(), loopbacksUp.end());
    // With nothing else up, loopback still gives the graph something to show.
    if (cards.empty())
        cards = std::move(loopbacksDown);
    for (NetworkCard& card : cards)
        card.bandwidth = LinkSpeedBits(paths, card.name);
    return cards;
}
