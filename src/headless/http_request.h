#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The head of an HTTP/1.x request as the status endpoint reads it: strictly, with a bound on its
// size, and only what it needs to answer (the method and the path).
struct HttpRequestHead {
    enum class State {
        Incomplete, // no blank line yet: more bytes may come
        Complete,
        Malformed, // not an HTTP/1.x request head
        TooLarge,  // no end within the bound
    };
    State state = State::Incomplete;
    std::string method;
    std::string path; // the request target without its query
};

// The largest request head taken, blank line included.
inline constexpr std::size_t kLargestRequestHead = 8192;

// Reads the head at the start of `received`. A request line of a method token, an origin-form
// target starting with "/" and "HTTP/1.0" or "HTTP/1.1", each separated by one space, then header
// lines of a name, a colon and a value, each line ended by CRLF (a bare LF is taken too), then an
// empty line. Nothing past the head is looked at.
HttpRequestHead ParseRequestHead(std::string_view received);
