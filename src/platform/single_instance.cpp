#include "platform/single_instance.h"

#include "platform/error_reason.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// `folder`, made with mode 0700 when missing; empty when it is anything but a directory of this
// user's own, which is then closed to others again. A folder others can reach would let anyone
// take or hold the lock.
std::filesystem::path OwnPrivateFolder(const std::filesystem::path& folder) {
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

} // namespace

std::filesystem::path UserLockDirectory(const char* runtimeDirectory,
                                        const std::filesystem::path& temporary) {
    if (runtimeDirectory && *runtimeDirectory)
        return runtimeDirectory;
    // A shared folder would let one user's lock keep every other user from starting.
    return OwnPrivateFolder(temporary / ("tarvel-" + std::to_string(::getuid())));
}

std::filesystem::path FallbackLockDirectory(const char* home) {
    if (!home || *home != '/')
        return {};
    const std::filesystem::path cache = std::filesystem::path(home) / ".cache";
    // The cache folder itself is only made, never changed: it holds other programs' files too.
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return OwnPrivateFolder(cache / "tarvel");
}

SingleInstanceLock::SingleInstanceLock(const std::string& lockName,
                                       const std::filesystem::path& lockDirectory) {
    if (!lockDirectory.empty()) {
        if (!TryFolder(lockDirectory, lockName)) {
            const int error = errno;
            m_warning = "无法在 " + lockDirectory.string() + " 中建立单实例锁 (" +
                        ErrorReasonText(error) + "), 不能保证只运行一个实例";
        }
        return;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::filesystem::path user = UserLockDirectory(runtime);
    const std::string userText =
        user.empty() ? "/tmp/tarvel-" + std::to_string(::getuid()) + " (不是本用户专有的目录)"
                     : user.string();
    if (!user.empty() && TryFolder(user, lockName))
        return;
    const std::filesystem::path fallback = FallbackLockDirectory(std::getenv("HOME"));
    if (!fallback.empty() && TryFolder(fallback, lockName)) {
        m_warning = "单实例锁目录 " + userText + " 不可用, 改用 " + fallback.string();
        return;
    }
    m_warning = "单实例锁目录 " + userText + " 和 $HOME/.cache/tarvel 都不可用, " +
                "不能保证只运行一个实例";
}

bool SingleInstanceLock::TryFolder(const std::filesystem::path& folder,
                                   const std::string& lockName) {
    const std::filesystem::path path = folder / (lockName + ".lock");
    m_lockFile = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!m_lockFile.Valid())
        return false;
    const bool locked = ::flock(m_lockFile.Get(), LOCK_EX | LOCK_NB) == 0;
    if (!locked && errno == EWOULDBLOCK)
        m_firstInstance = false;
    // Only the holder may take the socket's place; a later start finds it there.
    if (locked || !m_firstInstance)
        m_requestPath = folder / (lockName + ".sock");
    return true;
}

std::string ApplicationNameFromPath(const std::string& executablePath) {
    return std::filesystem::path(executablePath).stem().string();
}

std::string LockNameFor(const std::string& applicationName, const std::filesystem::path& owner) {
    // FNV-1a: short, and the same in every build, so that any two relays agree on the name.
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : owner.string()) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return applicationName + "-" + text;
}
