// Kernel uevent messages: NUL-terminated strings laid end to end (a summary
// "ACTION@DEVPATH", then KEY=VALUE entries), seen as exactly the received
// bytes. Nothing here reads outside the message.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The value of the first entry "key=value" of message, or none when no entry
// has that key. The key must be followed by '=' (a longer key that merely
// begins with the same letters is another key); the value runs to the entry's
// NUL and may be empty. A last string without its NUL is no entry: it was cut
// short, and its value could name something else.
std::optional<std::string_view> event_value(std::string_view message, std::string_view key);

// Calls visit(text) for each string of message in order, the summary line
// included; a last string without its NUL ends at the message's end, and a
// message ending in a NUL yields no empty string after it.
template <typename Visit>
void for_each_event_string(std::string_view message, Visit visit) {
    while (!message.empty()) {
        size_t end = message.find('\0');
        if (end == std::string_view::npos) end = message.size();
        visit(message.substr(0, end));
        message.remove_prefix(end < message.size() ? end + 1 : end);
    }
}

// Copies text into the fixed field to, NUL-terminated. False, with to left
// empty, when text does not fit: a longer text is refused, never cut.
template <size_t N>
bool copy_event_text(char (&to)[N], std::string_view text) {
    static_assert(N > 0);
    to[0] = '\0';
    if (text.size() >= N) return false;
    text.copy(to, text.size());
    to[text.size()] = '\0';
    return true;
}
