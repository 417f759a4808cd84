#pragma once

// Ways a settings file can refuse to be written, each set up in a scratch folder: a read-only
// file, a read-only folder and a full file system. The last two need a file system of their own
// when the test runs as the administrator (who may write into any folder); it is mounted in a
// mount namespace of this thread, so nothing outside the test sees it.

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace savefailure {

// A tmpfs mounted on `folder` with `options`; an empty text when it is there, else why not.
inline std::string MountTmpfs(const std::filesystem::path& folder, unsigned long flags,
                              const char* options) {
    static bool privateNamespace = false;
    if (!privateNamespace) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("no mount namespace of its own: ") + std::strerror(errno);
        }
        privateNamespace = true;
    }
    if (::mount("tmpfs", folder.c_str(), "tmpfs", flags, options) != 0) {
        return std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    return {};
}

struct Case {
    const char* name;
    int error; // what the save reports
    // Puts `contents` into folder/file so that a later write of it fails; an empty text when it
    // could, else why the case cannot run here.
    std::string (*prepare)(const std::filesystem::path& folder, const std::string& file,
                           const std::string& contents);
};

inline void Write(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

inline const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"ReadOnlyFile", EACCES,
         [](const std::filesystem::path& folder, const std::string& file,
            const std::string& contents) {
             Write(folder / file, contents);
             ::chmod((folder / file).c_str(), 0444);
             return std::string();
         }},
        {"ReadOnlyFolder", ::geteuid() == 0 ? EROFS : EACCES,
         [](const std::filesystem::path& folder, const std::string& file,
            const std::string& contents) {
             if (::geteuid() == 0) {
                 if (std::string why = MountTmpfs(folder, 0, "size=1m"); !why.empty()) {
                     return why;
                 }
                 Write(folder / file, contents);
                 return MountTmpfs(folder, MS_REMOUNT | MS_RDONLY, "size=1m");
             }
             Write(folder / file, contents);
             ::chmod(folder.c_str(), 0555);
             return std::string();
         }},
        {"FullDisk", ENOSPC,
         [](const std::filesystem::path& folder, const std::string& file,
            const std::string& contents) {
             // A file system of a few pages, filled up after the file was written.
             if (std::string why = MountTmpfs(folder, 0, "size=16k"); !why.empty()) {
                 return why;
             }
             Write(folder / file, contents);
             std::ofstream filler(folder / "filler", std::ios::binary);
             const std::string block(4096, 'f');
             for (int i = 0; i < 64 && filler; ++i) {
                 filler.write(block.data(), static_cast<std::streamsize>(block.size()));
                 filler.flush();
             }
             return std::string();
         }},
    };
    return cases;
}

// Undoes what prepare did to the folder, so it can be removed.
inline void Restore(const std::filesystem::path& folder) {
    ::chmod(folder.c_str(), 0755);
    while (::umount2(folder.c_str(), MNT_DETACH) == 0) {
    }
}

} // namespace savefailure
