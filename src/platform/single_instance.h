#pragma once

#include <string>

// Stands in for the named mutex: an exclusive lock on a file named after the application.
// The kernel drops the lock when the process ends, however it ends.
class SingleInstanceLock {
public:
    // Takes the lock for `applicationName`; `IsFirstInstance` tells whether it was free.
    // The lock file lives in `lockDirectory`, or in $XDG_RUNTIME_DIR (else /tmp) when empty.
    explicit SingleInstanceLock(const std::string& applicationName,
                                const std::string& lockDirectory = {});
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // False only when another process holds the lock; any other failure lets the program run,
    // as a failed mutex creation does.
    bool IsFirstInstance() const { return m_firstInstance; }

private:
    int m_fd = -1;
    bool m_firstInstance = true;
};

// The application name: the executable's file name without its extension.
std::string ApplicationNameFromPath(const std::string& executablePath);
