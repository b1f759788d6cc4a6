// The device box's settings file (/box/config inside the box): one
// "key=value" per line, '#' starts a comment. Shared by the box tool, which
// writes it, and the stand-in library, which reads it on every call so that
// a test can change a setting while the box runs.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

struct box_setting {
    std::string key, value;
};

// All settings of the file at path in file order (empty when unreadable).
inline std::vector<box_setting> box_read_config(const char *path) {
    std::vector<box_setting> out;
    FILE *f = fopen(path, "re");
    if (f == nullptr) return out;
    char line[1024];
    while (fgets(line, sizeof line, f) != nullptr) {
        std::string_view s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        if (s.empty() || s.front() == '#') continue;
        size_t eq = s.find('=');
        if (eq == std::string_view::npos) continue;
        out.push_back({std::string(s.substr(0, eq)), std::string(s.substr(eq + 1))});
    }
    fclose(f);
    return out;
}

// The last value of key, or fallback when the key is absent.
inline std::string box_setting_of(const std::vector<box_setting> &settings, std::string_view key,
                                  std::string_view fallback = "") {
    std::string v(fallback);
    for (const box_setting &s : settings)
        if (s.key == key) v = s.value;
    return v;
}

// Splits text at sep.
inline std::vector<std::string> box_split(std::string_view text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(sep, start);
        out.emplace_back(text.substr(start, at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return out;
}

// Parses a C integer literal (decimal, 0x hexadecimal); false when text is
// empty or has trailing characters.
inline bool box_parse_number(const std::string &text, unsigned long long &out) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    out = strtoull(text.c_str(), &end, 0);
    return errno == 0 && end != nullptr && *end == '\0';
}

// Parses text as a list of numbers separated by sep; false on any bad field.
inline bool box_parse_numbers(std::string_view text, char sep,
                              std::vector<unsigned long long> &out) {
    out.clear();
    for (const std::string &field : box_split(text, sep)) {
        unsigned long long n = 0;
        if (!box_parse_number(field, n)) return false;
        out.push_back(n);
    }
    return true;
}
