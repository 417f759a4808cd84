#pragma once

#include <filesystem>
#include <string>

// Keeps the dialog to one copy per user: an exclusive lock on a file named after the application,
// in a folder of the user's own. The kernel drops the lock when the process ends,
// however it ends.
class SingleInstanceLock {
public:
    // Takes the lock for `applicationName`; `IsFirstInstance` tells whether it was free.
    // The lock file lives in `lockDirectory`, or in UserLockDirectory() when that is empty.
    explicit SingleInstanceLock(const std::string& applicationName,
                                const std::filesystem::path& lockDirectory = {});
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

// The user's folder for the lock: `runtimeDirectory` ($XDG_RUNTIME_DIR) when given and not empty,
// else `<temporary>/tarvel-<uid>`, made with mode 0700 when missing. A folder of that name that is
// not a directory of this user's own is refused: the result is then empty.
std::filesystem::path UserLockDirectory(const char* runtimeDirectory,
                                        const std::filesystem::path& temporary = "/tmp");

// The application name: the executable's file name without its extension.
std::string ApplicationNameFromPath(const std::string& executablePath);
