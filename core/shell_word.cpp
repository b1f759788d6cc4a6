// A word of letters, digits and "/._+-,:@%" only goes in bare, any other in double quotes with
// '"', '\', '$' and '`' escaped. A cut text keeps whole escapes and never the first bytes of a
// UTF-8 sequence without the rest.
#include "core/shell_word.h"

#include <cstring>

namespace {

bool plain_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && strchr("/._+-,:@%", c) != nullptr);
}

bool plain_word(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!plain_char(c)) return false;
    return true;
}

// Characters a double-quoted word needs escaped.
bool escaped_char(char c) {
    return c == '"' || c == '\\' || c == '$' || c == '`';
}

// Room left for characters, the terminator kept aside.
size_t room(const command_line &line) {
    return line.size > line.length ? line.size - line.length - 1 : 0;
}

void put(command_line &line, char c) {
    line.text[line.length++] = c;
    line.text[line.length] = '\0';
}

// The bytes of text, quoted, that fit in room characters besides both quotes:
// whole characters with their escapes, never the first part of a UTF-8
// sequence without the rest.
size_t quoted_fit(std::string_view text, size_t room) {
    size_t used = 0, kept = 0;
    while (kept < text.size()) {
        const size_t cost = escaped_char(text[kept]) ? 2 : 1;
        if (used + cost > room) break;
        used += cost;
        ++kept;
    }
    if (kept < text.size())
        for (int back = 0;
             back < 3 && kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xC0) == 0x80;
             ++back)
            --kept;
    return kept;
}

void put_quoted(command_line &line, std::string_view text) {
    put(line, '"');
    for (char c : text) {
        if (escaped_char(c)) put(line, '\\');
        put(line, c);
    }
    put(line, '"');
}

} // namespace

bool command_start(command_line &line, std::string_view words) {
    line.length = 0;
    if (line.size == 0) return false;
    line.text[0] = '\0';
    return command_append(line, words);
}

bool command_append(command_line &line, std::string_view words) {
    if (words.size() > room(line)) return false;
    for (char c : words) put(line, c);
    return true;
}

bool command_append_word(command_line &line, std::string_view text, shell_quoting quoting) {
    if (quoting == shell_quoting::when_needed && plain_word(text))
        return command_append(line, text);
    const size_t space = room(line);
    if (space < 2 || quoted_fit(text, space - 2) != text.size()) return false;
    put_quoted(line, text);
    return true;
}

size_t command_append_cut(command_line &line, std::string_view text) {
    const size_t space = room(line);
    if (space < 2) return 0;
    const size_t kept = quoted_fit(text, space - 2);
    put_quoted(line, text.substr(0, kept));
    return kept;
}
