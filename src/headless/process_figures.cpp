#include "headless/process_figures.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/unique_fd.h"

namespace {

// The start of a file of /proc: enough for the lines read here. Plain system calls, read on every
// scrape: no stream library in the way.
std::string ReadHead(const char* path) {
    const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
    std::string text(4096, '\0');
    std::size_t got = 0;
    while (file.Valid() && got < text.size()) {
        const ssize_t read = ::read(file.Get(), text.data() + got, text.size() - got);
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    text.resize(got);
    return text;
}

// The system's boot time in seconds since 1970, which a process's start is counted from.
double BootTime() {
    // /proc/stat's lines per processor come first; the boot time is further on.
    const UniqueFd file(::open("/proc/stat", O_RDONLY | O_CLOEXEC));
    std::string text;
    char chunk[4096];
    ssize_t read = 0;
    while (file.Valid() && (read = ::read(file.Get(), chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(read));
    }
    const std::size_t line = text.find("\nbtime ");
    return line == std::string::npos ? 0 : std::strtod(text.c_str() + line + 7, nullptr);
}

std::uint64_t OpenDescriptors() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 0;
    }
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(folder);
    // The folder's own descriptor, open while it was read, is not one of the process's.
    return count > 0 ? count - 1 : 0;
}

} // namespace

ProcessFigures ReadProcessFigures() {
    ProcessFigures figures;
    figures.openDescriptors = OpenDescriptors();
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        figures.descriptorLimit = limit.rlim_cur;
    }

    // The fields after the command name, which is in parentheses and may hold anything: field 3
    // (state) first; utime and stime are fields 14 and 15, starttime 22 and rss 24.
    const std::string stat = ReadHead("/proc/self/stat");
    const std::size_t afterName = stat.rfind(')');
    if (afterName == std::string::npos) {
        return figures;
    }
    double field[25] = {};
    const char* at = stat.c_str() + afterName + 1;
    for (int number = 3; number <= 24 && *at != '\0'; ++number) {
        while (*at == ' ') {
            ++at;
        }
        char* end = nullptr;
        field[number] = std::strtod(at, &end); // the state letter reads as 0
        at = end != at ? end : std::strchr(at, ' ') ? std::strchr(at, ' ') : at + std::strlen(at);
    }
    const auto ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    figures.cpuSeconds = (field[14] + field[15]) / ticksPerSecond;
    figures.startTime = BootTime() + field[22] / ticksPerSecond;
    figures.residentBytes =
        static_cast<std::uint64_t>(field[24]) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    return figures;
}
