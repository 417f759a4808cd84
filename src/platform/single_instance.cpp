#include "platform/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::filesystem::path UserLockDirectory(const char* runtimeDirectory,
                                        const std::filesystem::path& temporary) {
    if (runtimeDirectory && *runtimeDirectory)
        return runtimeDirectory;
    // A shared folder would let one user's lock keep every other user from starting.
    const std::filesystem::path folder = temporary / ("tarvel-" + std::to_string(::getuid()));
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    // Whoever made the folder first owns it: anyone else's folder, or a link, is not used.
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != ::getuid())
        return {};
    if ((status.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)
        return {};
    return folder;
}

SingleInstanceLock::SingleInstanceLock(const std::string& applicationName,
                                       const std::filesystem::path& lockDirectory) {
    const std::filesystem::path folder =
        lockDirectory.empty() ? UserLockDirectory(std::getenv("XDG_RUNTIME_DIR")) : lockDirectory;
    if (folder.empty())
        return;
    const std::filesystem::path path = folder / (applicationName + ".lock");
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0)
        return;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        m_firstInstance = false;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string ApplicationNameFromPath(const std::string& executablePath) {
    return std::filesystem::path(executablePath).stem().string();
}
