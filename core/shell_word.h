// Command lines for the shell. The program's own words go in as they stand;
// every text that came from outside (a file, a device, an event, the command
// line) goes in as one shell word, so the program started receives it as
// exactly one argument with its bytes unchanged, whatever it holds.
#pragma once

#include <cstddef>
#include <string_view>

// A command line built in a caller's fixed buffer, always NUL-terminated.
struct command_line {
    char *text;
    size_t size;       // capacity, the terminator included
    size_t length = 0; // characters so far
};

// How a word is written: bare when the shell reads each of its characters as
// itself (letters, digits and "/._+-,:@%"), or always between quotes.
enum class shell_quoting { when_needed, always };

// Starts the line over with words, the program's own text as it stands.
// False when it does not fit (the line is then empty).
bool command_start(command_line &line, std::string_view words);

// Appends the program's own words. False, the line unchanged, when they do
// not fit.
bool command_append(command_line &line, std::string_view words);

// Appends text as one shell word: bare or between double quotes with '"',
// '\\', '$' and '`' escaped (inside double quotes the shell reads every other
// byte, newlines included, as itself). False, the line unchanged, when the
// word does not fit whole.
bool command_append_word(command_line &line, std::string_view text, shell_quoting quoting);

// Appends text as one double-quoted word, cutting the text (never the
// quoting, and never inside a UTF-8 sequence) so that the word fits. Returns
// how many bytes of text it holds; the closing quote is always written, so
// nothing is appended when not even the empty word "" fits.
size_t command_append_cut(command_line &line, std::string_view text);
