#pragma once

#include <cstdio>
#include <mutex>
#include <string>

// How much a line matters, as syslog numbers it: the journal files and filters lines by it.
enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

// What the relay without a window says: one line per event, written whole even when the worker's
// thread and the main thread speak at once. On a terminal or in a file each line starts with the
// local time; in the journal, which stamps lines itself, with its priority ("<3>" and so on).
class RelayLog {
public:
    explicit RelayLog(std::FILE* out = stderr);

    void Line(LogLevel level, const std::string& text);
    void Info(const std::string& text) { Line(LogLevel::Info, text); }
    void Warning(const std::string& text) { Line(LogLevel::Warning, text); }
    void Error(const std::string& text) { Line(LogLevel::Error, text); }

private:
    std::mutex m_mutex;
    std::FILE* m_out;
    bool m_toJournal;
};

// Whether `fd` is the stream the journal gave the process: systemd names that stream's device and
// inode in JOURNAL_STREAM ("<device>:<inode>"). A stream redirected since, or inherited by a
// program started elsewhere, no longer matches.
bool IsJournalStream(int fd, const char* journalStream);
