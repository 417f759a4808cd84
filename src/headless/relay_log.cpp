#include "headless/relay_log.h"

#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <ctime>

bool IsJournalStream(int fd, const char* journalStream) {
    if (journalStream == nullptr) {
        return false;
    }
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    int consumed = 0;
    if (std::sscanf(journalStream, "%" SCNuMAX ":%" SCNuMAX "%n", &device, &inode, &consumed) !=
            2 ||
        journalStream[consumed] != '\0') {
        return false;
    }
    struct stat status {};
    return ::fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

RelayLog::RelayLog(std::FILE* out)
    : m_out(out), m_toJournal(IsJournalStream(::fileno(out), std::getenv("JOURNAL_STREAM"))) {}

void RelayLog::Line(LogLevel level, const std::string& text) {
    char prefix[48];
    if (m_toJournal) {
        std::snprintf(prefix, sizeof prefix, "<%d>", static_cast<int>(level));
    } else {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
        std::tm local{};
        ::localtime_r(&seconds, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        std::snprintf(prefix, sizeof prefix, "%s.%03d ", stamp, static_cast<int>(millis.count()));
    }

    std::lock_guard lock(m_mutex);
    std::fprintf(m_out, "%s%s\n", prefix, text.c_str());
    std::fflush(m_out);
}
