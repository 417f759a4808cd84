#include "platform/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string DefaultLockDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return runtime;
    return "/tmp";
}

} // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& applicationName,
                                       const std::string& lockDirectory) {
    const std::string dir = lockDirectory.empty() ? DefaultLockDirectory() : lockDirectory;
    const std::string path = dir + "/" + applicationName + ".lock";
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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
