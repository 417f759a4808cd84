#pragma once

#include <cstdio>
#include <mutex>
#include <string>

// What the relay without a window says: one line per event, each with the local time, written
// whole even when the worker's thread and the main thread speak at once.
class RelayLog {
public:
    explicit RelayLog(std::FILE* out = stderr) : m_out(out) {}

    void Line(const std::string& text);

private:
    std::mutex m_mutex;
    std::FILE* m_out;
};
