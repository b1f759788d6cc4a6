#include "adev/event.h"

std::optional<std::string_view> event_value(std::string_view message, std::string_view key) {
    while (!message.empty()) {
        size_t end = message.find('\0');
        if (end == std::string_view::npos) end = message.size();
        std::string_view entry = message.substr(0, end);
        if (entry.size() > key.size() && entry.starts_with(key) && entry[key.size()] == '=')
            return entry.substr(key.size() + 1);
        message.remove_prefix(end < message.size() ? end + 1 : end);
    }
    return std::nullopt;
}
