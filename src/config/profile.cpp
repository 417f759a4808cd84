#include "config/profile.h"

#include "platform/whole_file.h"
#include "platform/wide_text.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

enum class LineKind { Blank, Comment, Section, Key, Other };

// One line of the file. Offsets are into the whole text; `bodyEnd` stops before the line's
// terminator ("\n" or "\r\n"), `end` after it.
struct Line {
    std::size_t begin = 0;
    std::size_t bodyEnd = 0;
    std::size_t end = 0;
    LineKind kind = LineKind::Blank;
    std::string_view name;      // section name or key, trimmed
    std::size_t valueBegin = 0; // key lines: first character of the value after the blanks
};

Line ParseLine(std::string_view text, std::size_t begin) {
    Line line;
    line.begin = begin;
    const std::size_t newline = text.find('\n', begin);
    if (newline == std::string_view::npos) {
        line.bodyEnd = text.size();
        line.end = text.size();
    } else {
        line.end = newline + 1;
        line.bodyEnd = (newline > begin && text[newline - 1] == '\r') ? newline - 1 : newline;
    }
    const std::string_view body = text.substr(begin, line.bodyEnd - begin);
    const std::string_view trimmed = Trim(body);
    if (trimmed.empty()) {
        line.kind = LineKind::Blank;
    } else if (trimmed.front() == ';') {
        line.kind = LineKind::Comment;
    } else if (trimmed.front() == '[') {
        line.kind = LineKind::Section;
        std::string_view name = trimmed.substr(1);
        const std::size_t close = name.find(']');
        if (close != std::string_view::npos) {
            name = name.substr(0, close);
        }
        line.name = Trim(name);
    } else if (const std::size_t equals = body.find('='); equals != std::string_view::npos) {
        line.kind = LineKind::Key;
        line.name = Trim(body.substr(0, equals));
        std::size_t value = begin + equals + 1;
        while (value < line.bodyEnd && IsBlank(text[value])) {
            ++value;
        }
        line.valueBegin = value;
    } else {
        line.kind = LineKind::Other;
    }
    return line;
}

// Where a key sits, or where it would go.
struct Location {
    bool sectionFound = false;
    std::optional<Line> keyLine;
    // End of the section's last line that is neither blank nor a comment: trailing blank lines
    // and comments usually introduce the next section, so a new key goes before them.
    std::size_t insertAt = 0;
    bool insertNeedsNewline = false;
};

// Editors on other systems like to start a UTF-8 file with a byte order mark; it is kept but
// not taken for part of the first line.
std::size_t FirstLineStart(std::string_view text) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    return text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
}

Location Find(std::string_view text, std::string_view section, std::string_view key) {
    Location where;
    bool inSection = false;
    for (std::size_t pos = FirstLineStart(text); pos < text.size();) {
        const Line line = ParseLine(text, pos);
        pos = line.end;
        if (line.kind == LineKind::Section) {
            if (inSection) {
                break;
            }
            inSection = SameProfileName(line.name, section);
        }
        if (!inSection) {
            continue;
        }
        where.sectionFound = true;
        if (line.kind == LineKind::Key && SameProfileName(line.name, key)) {
            where.keyLine = line;
            return where;
        }
        if (line.kind != LineKind::Blank && line.kind != LineKind::Comment) {
            where.insertAt = line.end;
            where.insertNeedsNewline = line.end == line.bodyEnd;
        }
    }
    return where;
}

std::string_view LineEnding(std::string_view text) {
    const std::size_t newline = text.find('\n');
    if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r') {
        return "\r\n";
    }
    return "\n";
}

// A file's text as the profile functions see it. A file that starts with the UTF-16LE byte order
// mark holds UTF-16 text: it is read and written as such, the values going to and from the
// program's 8-bit text. Any other file is taken byte for byte.
struct StoredText {
    std::string text;
    bool utf16 = false;
    std::string oddByte; // a UTF-16 file's last byte without its partner, kept where it was
};

constexpr std::string_view kUtf16LeMark = "\xFF\xFE";

StoredText Decode(std::string&& bytes) {
    if (!bytes.starts_with(kUtf16LeMark)) {
        return {std::move(bytes), false, {}};
    }
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    std::size_t i = kUtf16LeMark.size();
    for (; i + 1 < bytes.size(); i += 2) {
        wide += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    // Lone surrogates are kept so that the lines a write does not touch come back unchanged.
    std::string text = WideToNarrow(wide, std::string::npos, LoneSurrogates::Keep).value_or("");
    return {std::move(text), true, bytes.substr(i)};
}

std::string Encode(const StoredText& stored) {
    if (!stored.utf16) {
        return stored.text;
    }
    const std::u16string wide = NarrowToWide(stored.text, LoneSurrogates::Keep);
    std::string bytes(kUtf16LeMark);
    bytes.reserve(bytes.size() + 2 * wide.size() + stored.oddByte.size());
    for (const char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes + stored.oddByte;
}

std::optional<StoredText>
ReadStoredText(const std::filesystem::path& file,
               std::size_t largest = std::numeric_limits<std::size_t>::max()) {
    std::string bytes;
    if (!ReadWholeFile(file, bytes, largest)) {
        return std::nullopt;
    }
    return Decode(std::move(bytes));
}

// The error the last failed system call left, taken before anything else can change it. Never
// empty: a failure must not read as success even where a step failed without setting errno.
std::error_code LastError() {
    const int error = errno;
    return {error != 0 ? error : EIO, std::generic_category()};
}

// A rename replaces a symbolic link itself; the settings belong in the file it points to.
std::filesystem::path ResolveLinks(const std::filesystem::path& file) {
    std::error_code error;
    if (std::filesystem::is_symlink(file, error)) {
        std::filesystem::path target = std::filesystem::canonical(file, error);
        if (!error) {
            return target;
        }
    }
    return file;
}

} // namespace

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameProfileName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view ProfileValueText(std::string_view written) {
    std::string_view value = Trim(written);
    // A value in a matching pair of quotes reads without them.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
}

std::string ReadProfileValue(std::string_view contents, std::string_view section,
                             std::string_view key, ValueLength length) {
    const Location where = Find(contents, section, key);
    if (!where.keyLine) {
        return {};
    }
    const Line& line = *where.keyLine;
    const std::string_view value =
        ProfileValueText(contents.substr(line.valueBegin, line.bodyEnd - line.valueBegin));
    return std::string(length == ValueLength::Whole ? value
                                                    : value.substr(0, kProfileValueBufferSize - 1));
}

std::string WriteProfileValue(std::string_view contents, std::string_view section,
                              std::string_view key, std::string_view value) {
    const Location where = Find(contents, section, key);
    const std::string_view eol = LineEnding(contents);
    std::string result;
    result.reserve(contents.size() + section.size() + key.size() + value.size() + 8);

    if (where.keyLine) {
        // The key, the blanks around "=" and the line ending stay as they were.
        const Line& line = *where.keyLine;
        result.append(contents.substr(0, line.valueBegin));
        result.append(value);
        result.append(contents.substr(line.bodyEnd));
        return result;
    }

    std::size_t insertAt = contents.size();
    bool needsNewline = contents.size() > FirstLineStart(contents) && contents.back() != '\n';
    if (where.sectionFound) {
        insertAt = where.insertAt;
        needsNewline = where.insertNeedsNewline;
    }
    result.append(contents.substr(0, insertAt));
    if (needsNewline) {
        result.append(eol);
    }
    if (!where.sectionFound) {
        result.append("[").append(section).append("]").append(eol);
    }
    result.append(key).append("=").append(value).append(eol);
    result.append(contents.substr(insertAt));
    return result;
}

std::optional<std::string> ReadProfileText(const std::filesystem::path& file,
                                           std::error_code& error, std::size_t largest) {
    try {
        std::optional<StoredText> stored = ReadStoredText(file, largest);
        if (!stored) {
            error = LastError();
            return std::nullopt;
        }
        error.clear();
        return std::move(stored->text);
    } catch (const std::exception&) {
        error = std::make_error_code(std::errc::not_enough_memory);
        return std::nullopt;
    }
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    const std::filesystem::path& file) {
    std::error_code error;
    const std::optional<std::string> text = ReadProfileText(file, error);
    return text ? ReadProfileValue(*text, section, key) : std::string();
}

bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::filesystem::path& file) {
    const ProfileEntry entry{std::string(section), std::string(key), std::string(value)};
    return !WriteProfileEntries({&entry, 1}, file);
}

std::error_code WriteProfileEntries(std::span<const ProfileEntry> entries,
                                    const std::filesystem::path& file) try {
    const std::filesystem::path target = ResolveLinks(file);
    StoredText stored;
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            return std::make_error_code(S_ISDIR(status.st_mode) ? std::errc::is_a_directory
                                                                : std::errc::invalid_argument);
        }
        if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return std::make_error_code(std::errc::permission_denied);
        }
        if (::access(target.c_str(), W_OK) != 0) {
            return LastError();
        }
        std::optional<StoredText> old = ReadStoredText(target);
        if (!old) {
            return LastError();
        }
        stored = std::move(*old);
    } else if (errno != ENOENT) {
        return LastError();
    }
    const std::string original = stored.text;
    for (const ProfileEntry& entry : entries) {
        stored.text = WriteProfileValue(stored.text, entry.section, entry.key, entry.value);
    }
    if (stored.text == original && !original.empty()) {
        RemoveStaleTemporaryFiles(target); // a save that changes nothing still tidies up
        return {};
    }
    return ReplaceFileContents(target, Encode(stored));
} catch (const std::exception&) {
    // No memory for the file's text: nothing is written.
    return std::make_error_code(std::errc::not_enough_memory);
}
