#include "headless/http_request.h"

#include <algorithm>

namespace {

// A token character of HTTP: the method and header names are made of these.
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// Visible ASCII: what a request target may hold.
bool IsVisible(char c) {
    return c > ' ' && c < 0x7F;
}

// A header value: visible characters, blanks and tabs, and bytes above ASCII (obsolete text).
bool IsValueChar(char c) {
    return IsVisible(c) || c == ' ' || c == '\t' || static_cast<unsigned char>(c) >= 0x80;
}

// The line at the start of `text` without its end, or none when no line end is there yet.
bool TakeLine(std::string_view& text, std::string_view& line) {
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos) {
        return false;
    }
    line = text.substr(0, newline);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    text.remove_prefix(newline + 1);
    return true;
}

bool ParseRequestLine(std::string_view line, HttpRequestHead& head) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) {
        return false;
    }
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!IsToken(method) || target.empty() || target.front() != '/' ||
        !std::all_of(target.begin(), target.end(), IsVisible) ||
        (version != "HTTP/1.1" && version != "HTTP/1.0")) {
        return false;
    }
    head.method = method;
    head.path = target.substr(0, target.find('?'));
    return true;
}

bool IsHeaderLine(std::string_view line) {
    const std::size_t colon = line.find(':');
    return colon != std::string_view::npos && IsToken(line.substr(0, colon)) &&
           std::all_of(line.begin() + static_cast<std::ptrdiff_t>(colon) + 1, line.end(),
                       IsValueChar);
}

} // namespace

HttpRequestHead ParseRequestHead(std::string_view received) {
    HttpRequestHead head;
    std::string_view rest = received.substr(0, kLargestRequestHead);
    std::string_view line;
    bool requestLine = true;
    while (TakeLine(rest, line)) {
        if (requestLine) {
            if (!ParseRequestLine(line, head)) {
                return {HttpRequestHead::State::Malformed, {}, {}};
            }
            requestLine = false;
        } else if (line.empty()) {
            head.state = HttpRequestHead::State::Complete;
            return head;
        } else if (!IsHeaderLine(line)) {
            return {HttpRequestHead::State::Malformed, {}, {}};
        }
    }
    // No end yet: within the bound more may come; at the bound it never ends in time.
    head.state = received.size() >= kLargestRequestHead ? HttpRequestHead::State::TooLarge
                                                        : HttpRequestHead::State::Incomplete;
    head.method.clear();
    head.path.clear();
    return head;
}
