#include "headless/relay_log.h"

#include <chrono>
#include <ctime>

void RelayLog::Line(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    std::lock_guard lock(m_mutex);
    std::fprintf(m_out, "%s.%03d %s\n", stamp, static_cast<int>(millis.count()), text.c_str());
    std::fflush(m_out);
}
