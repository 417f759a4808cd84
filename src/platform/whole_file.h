#pragma once

#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

// Whole files, read and replaced: what the parameter file and the interface counters need of them.

// Reads `file` into `contents`, whose room is reused (reading the same file again allocates
// nothing once the room is there). Only a regular file is read (symbolic links followed), and
// reading never waits on a pipe or device. False, with errno saying why, when it cannot be read:
// ENOENT for a missing file, EISDIR or EINVAL for one that is not a regular file, EFBIG for one
// longer than `largest` bytes (of which no more than that is read).
bool ReadWholeFile(const std::filesystem::path& file, std::string& contents,
                   std::size_t largest = std::numeric_limits<std::size_t>::max());

// Puts `contents` into `file` without ever leaving it half written: the text goes into a new file
// beside it, which then takes its place by a rename, keeping the old file's permissions.
// `beforeReplace` runs between the two steps; when it returns false nothing is replaced (the new
// file is removed) and the call fails. New files that earlier saves of the same file left behind
// when their process was killed are removed first. Empty when the file was replaced, else why not.
std::error_code ReplaceFileContents(const std::filesystem::path& file, std::string_view contents,
                                    const std::function<bool()>& beforeReplace = {});

// Removes the new files that saves of `file` left behind when their process was killed (those of
// processes that no longer exist), as ReplaceFileContents does first.
void RemoveStaleTemporaryFiles(const std::filesystem::path& file);
