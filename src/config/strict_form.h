#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The relay program reads its parameter file strictly: what it does not understand is refused,
// never skipped, so that a typo can never widen who passes or change what is relayed unseen. (The
// dialog reads its own file as it always has: it writes only keys it knows.)

// The largest parameter file the relay program reads. A relay's settings take a few KiB at most;
// the bound keeps a wrong file from costing memory, and a reload from holding the program's loop.
inline constexpr std::size_t kLargestStrictFile = 256 * 1024;

// Where a text leaves the strict form: its line, counted from 1, and what is wrong there.
struct FormFault {
    std::size_t line = 0;
    std::string what;

    // "第 3 行: 未知的节 [Alow]", as the log and --check say it.
    std::string Describe() const;
};

// The first place where `text` leaves the form the relay program reads, or none. Each line is
// blank, a comment (";" first), a section header "[name]" with nothing but blanks after its "]",
// or "key=value" inside a section. Only the sections and keys a parameter file is documented to
// hold are taken, each at most once (names match without regard to letter case, as they are
// read); a value holds no control character but a tab; a forwarding mode is Text or Bytes and
// the dialog's port choice 0 or 1. The other values are checked as settings.
std::optional<FormFault> FindFormFault(std::string_view text);
