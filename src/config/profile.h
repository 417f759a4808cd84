#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

// The parameter file's format: INI-style settings files ("[section]" lines followed by "key=value"
// lines), read and written the way the program has always expected: names match without regard to
// letter case, values come back trimmed, without a matching pair of enclosing quotes, and (the
// original keys' values) cut to what a 255-byte buffer holds, and a write changes one value and
// leaves every other byte of the file as it was.
//
// A file that starts with the UTF-16LE byte order mark is read and written as UTF-16LE, its
// values converted to and from the program's 8-bit text (UTF-8); any other file is taken byte for
// byte, a UTF-8 byte order mark before the first section included. Only regular files are read
// (symbolic links followed); the file functions never block on a pipe or device and never throw.

// Room the caller gives a value, terminating zero included; a value keeps at most 254 characters.
inline constexpr std::size_t kProfileValueBufferSize = 255;

// `text` without the blanks (spaces, tabs, line ends) at either end, as values and names are read.
std::string_view Trim(std::string_view text);

// Whether two section or key names are the same name: letter case does not count.
bool SameProfileName(std::string_view a, std::string_view b);

// A value as written after its "=", as it reads: trimmed, without a matching pair of enclosing
// quotes (the whole of it: no buffer's cut).
std::string_view ProfileValueText(std::string_view written);

// How much of a value is read: what the original keys' 255-byte buffer holds, or all of it. The
// keys this program added are read whole: a list cut where the buffer ends would mean something
// else than was written.
enum class ValueLength { Buffer, Whole };

// The value of `key` in `section` of the file text `contents`: the first matching section and the
// first matching key in it win. A missing section or key gives empty text.
std::string ReadProfileValue(std::string_view contents, std::string_view section,
                             std::string_view key, ValueLength length = ValueLength::Buffer);

// `contents` with `key` in `section` set to `value`: the value is replaced where it stands, or the
// key is added at the end of its section, or the section with its key at the end of the text.
// New lines use the text's own line ending (CRLF when its first line ends so, else LF).
std::string WriteProfileValue(std::string_view contents, std::string_view section,
                              std::string_view key, std::string_view value);

// The text of `file` as the functions here read it (a UTF-16LE file converted to 8-bit text), to
// take several values from with ReadProfileValue. None when it cannot be read, with the reason in
// `error`: ENOENT for a missing file, EISDIR or EINVAL for one that is not a regular file, EFBIG
// for one of more than `largest` bytes.
std::optional<std::string>
ReadProfileText(const std::filesystem::path& file, std::error_code& error,
                std::size_t largest = std::numeric_limits<std::size_t>::max());

// Reads `key` in `section` of `file`. An unreadable or missing file, or one that is not a regular
// file, reads as empty text.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    const std::filesystem::path& file);

// Sets `key` in `section` of `file`, creating the file when it does not exist. Returns false and
// leaves the file untouched when it is read-only (no write permission bit, as the read-only
// attribute is honoured even for the administrator), may not be written, or cannot be replaced.
bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::filesystem::path& file);

// One key to set by WritePrivateProfileStrings.
struct ProfileEntry {
    std::string section;
    std::string key;
    std::string value;
};

// Sets every entry, in order, as WritePrivateProfileString would one after the other, but reads and
// replaces the file once: either all of them reach the file or none does. Empty when they did,
// else why not (a read-only file counts as permission denied).
std::error_code WriteProfileEntries(std::span<const ProfileEntry> entries,
                                    const std::filesystem::path& file);
