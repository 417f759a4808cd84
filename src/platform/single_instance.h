#pragma once

#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

// Keeps the dialog to one copy per user: an exclusive lock on a file named after the application,
// in a folder of the user's own. The kernel drops the lock when the process ends,
// however it ends.
class SingleInstanceLock {
public:
    // Takes the lock `lockName`; `IsFirstInstance` tells whether it was free. The lock file lives
    // in `lockDirectory`, or else in UserLockDirectory() and, when that folder is refused or
    // unusable, in FallbackLockDirectory().
    explicit SingleInstanceLock(const std::string& lockName,
                                const std::filesystem::path& lockDirectory = {});
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // False only when another process holds the lock; any other failure lets the program run,
    // as a failed mutex creation does, but never unsaid: see Warning.
    bool IsFirstInstance() const { return m_firstInstance; }
    // Empty when the lock was taken where it belongs; else which folder could not be used and
    // which one was taken instead, or that no lock could be taken at all. For the operator.
    const std::string& Warning() const { return m_warning; }
    // Where the holder of the lock takes requests of later starts: a local socket beside the lock
    // file. Empty when no lock file could be opened.
    const std::filesystem::path& RequestPath() const { return m_requestPath; }

private:
    // True when the lock file in `folder` could be opened (and so the lock decided).
    bool TryFolder(const std::filesystem::path& folder, const std::string& lockName);

    UniqueFd m_lockFile;
    bool m_firstInstance = true;
    std::string m_warning;
    std::filesystem::path m_requestPath;
};

// The user's folder for the lock: `runtimeDirectory` ($XDG_RUNTIME_DIR) when given and not empty,
// else `<temporary>/tarvel-<uid>`, made with mode 0700 when missing. A folder of that name that is
// not a directory of this user's own is refused: the result is then empty.
std::filesystem::path UserLockDirectory(const char* runtimeDirectory,
                                        const std::filesystem::path& temporary = "/tmp");

// Where the lock goes when the user's folder cannot be used: `<home>/.cache/tarvel`, made with mode
// 0700 when missing, refused like the user's folder when it is not a directory of this user's own.
// Empty when refused or when there is no home.
std::filesystem::path FallbackLockDirectory(const char* home);

// The application name: the executable's file name without its extension.
std::string ApplicationNameFromPath(const std::string& executablePath);

// The lock name of what `owner` (a working folder or parameter file, by its absolute path) holds:
// one per owner, so that several relays, each with its own, run side by side.
std::string LockNameFor(const std::string& applicationName, const std::filesystem::path& owner);
