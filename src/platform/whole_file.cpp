#include "platform/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <exception>
#include <optional>
#include <utility>

#include "platform/unique_fd.h"

namespace {

// The error the last failed system call left, taken before anything else can change it. Never
// empty: a failure must not read as success even where a step failed without setting errno.
std::error_code LastError() {
    const int error = errno;
    return {error != 0 ? error : EIO, std::generic_category()};
}

// Removes the new file unless it has taken the old one's place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : m_path(std::move(path)) {}
    ~TemporaryFile() {
        if (!m_kept) {
            ::unlink(m_path.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    void Keep() { m_kept = true; }

private:
    std::filesystem::path m_path;
    bool m_kept = false;
};

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool IsRegularFile(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

std::filesystem::path DirectoryOf(const std::filesystem::path& file) {
    std::filesystem::path directory = file.parent_path();
    return directory.empty() ? std::filesystem::path(".") : directory;
}

// The name of a save's new file: hidden, beside the real one, with the saving process's id.
std::string TemporaryNamePrefix(const std::filesystem::path& file) {
    std::string prefix = ".";
    prefix += file.filename().string();
    prefix += ".new-";
    return prefix;
}

// The process id in a new file's name after its prefix ("<pid>-<count>"), if the rest is that.
std::optional<pid_t> TemporaryFileOwner(std::string_view rest) {
    pid_t pid = 0;
    const auto [afterPid, error] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
    if (error != std::errc() || pid <= 0 || afterPid == rest.data() + rest.size() ||
        *afterPid != '-') {
        return std::nullopt;
    }
    const std::string_view count =
        rest.substr(static_cast<std::size_t>(afterPid - rest.data()) + 1);
    if (count.empty() || count.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return pid;
}

} // namespace

// The type is tested before opening, as opening a pipe waits for a writer, and again on the open
// descriptor, which cannot block, in case the name changed between.
bool ReadWholeFile(const std::filesystem::path& file, std::string& contents, std::size_t largest) {
    contents.clear();
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    UniqueFd in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (in.Get() < 0) {
        return false;
    }
    if (!IsRegularFile(in.Get())) {
        errno = EINVAL;
        return false;
    }
    // Read straight into the text's own room, which a reused text already has.
    std::size_t length = 0;
    for (;;) {
        if (length == contents.size()) {
            // Room for one byte past the bound at most: enough to tell a file that is too long.
            const std::size_t most =
                largest == std::numeric_limits<std::size_t>::max() ? largest : largest + 1;
            contents.resize(std::min(std::max<std::size_t>(4096, 2 * contents.size()), most));
        }
        const ssize_t got = ::read(in.Get(), contents.data() + length, contents.size() - length);
        if (got == 0) {
            contents.resize(length);
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            contents.clear();
            return false;
        }
        length += static_cast<std::size_t>(got);
        if (length > largest) {
            contents.clear();
            errno = EFBIG;
            return false;
        }
    }
}

// A save that was killed leaves its new file behind for good. Those of processes that no longer
// exist are removed; a file of a live process (or of one whose state cannot be told) stays.
void RemoveStaleTemporaryFiles(const std::filesystem::path& file) {
    const std::string prefix = TemporaryNamePrefix(file);
    std::error_code error;
    for (std::filesystem::directory_iterator it(DirectoryOf(file), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::optional<pid_t> owner =
            TemporaryFileOwner(std::string_view(name).substr(prefix.size()));
        if (!owner || *owner == ::getpid() || ::kill(*owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == std::filesystem::file_type::regular) {
            ::unlink(it->path().c_str());
        }
    }
}

std::error_code ReplaceFileContents(const std::filesystem::path& file, std::string_view contents,
                                    const std::function<bool()>& beforeReplace) try {
    static std::atomic<unsigned> counter{0};
    const std::filesystem::path directory = DirectoryOf(file);

    struct stat old {};
    const bool replacing = ::stat(file.c_str(), &old) == 0;
    RemoveStaleTemporaryFiles(file);

    // A new file beside the old one, so that the rename stays on one file system.
    std::optional<TemporaryFile> temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        // Built up piece by piece: GCC 12 warns falsely about the chained operator+ form.
        std::string name = TemporaryNamePrefix(file);
        name += std::to_string(::getpid());
        name += '-';
        name += std::to_string(counter.fetch_add(1));
        std::filesystem::path candidate = directory / name;
        fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            temporary.emplace(std::move(candidate));
        } else if (errno != EEXIST) {
            return LastError();
        }
    }
    if (fd < 0) {
        return std::make_error_code(std::errc::file_exists);
    }
    UniqueFd out(fd);
    if (replacing) {
        if (::fchmod(out.Get(), old.st_mode & 07777) != 0) {
            return LastError();
        }
        // Only possible for the owner or the administrator; otherwise the file stays ours.
        if (::fchown(out.Get(), old.st_uid, old.st_gid) != 0) {
            errno = 0;
        }
    }

    // The whole text on disk before it becomes visible under the real name.
    if (!WriteAll(out.Get(), contents) || ::fsync(out.Get()) != 0 || !out.Close()) {
        return LastError();
    }
    if (beforeReplace && !beforeReplace()) {
        return std::make_error_code(std::errc::operation_canceled);
    }

    // The rename swaps the files in one step.
    if (::rename(temporary->path().c_str(), file.c_str()) != 0) {
        return LastError();
    }
    temporary->Keep();
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) {
        ::fsync(dir.Get());
    }
    return {};
} catch (const std::exception&) {
    // The new file, if made, is removed on the way out.
    return std::make_error_code(std::errc::not_enough_memory);
}
