// The value lookup: the first entry "KEY=VALUE" among the message's strings. A last string
// without its NUL was cut short and is not looked at.
#include "adev/event.h"

std::optional<std::string_view> event_value(std::string_view message, std::string_view key) {
    // Only whole entries: a last string without its NUL was cut short.
    for (size_t end; (end = message.find('\0')) != std::string_view::npos;) {
        std::string_view entry = message.substr(0, end);
        if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=')
            return entry.substr(key.size() + 1);
        message.remove_prefix(end + 1);
    }
    return std::nullopt;
}
