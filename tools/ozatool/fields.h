// A chunk's payload decoded into the fields a pack manifest gives for it
// ("index", "path", "area", "value_type"...), so that info --json and
// extract speak the manifest's language, and into a one-line summary.
#pragma once

#include "tools/ozatool/format.h"
#include "tools/ozatool/ozatool.h"

#include <nlohmann/json.hpp>
#include <string>

// What the walk read of one chunk's payload: the fixed part and, when the
// chunk has one and it is small enough to keep, its tail (the SHEL text,
// the TAGP entries, the TIME weights).
struct payload_view {
    const oza_chunk_type *type;
    const unsigned char *fixed; // type->fixed bytes
    uint64_t tail_size;         // bytes of the tail the payload announces
    const bytes *tail;          // all of them, or null when not read
};

// The largest tail the walk keeps to decode.
inline constexpr uint64_t payload_tail_kept = 1u << 20;

// The manifest's fields of the chunk ("type" first). Texts are cut at their
// NUL; data-carrying chunks give their data as "size".
nlohmann::json payload_fields(const payload_view &v);

// One line: the decoded fields in words.
std::string payload_summary(const payload_view &v);

// A NUL-terminated field of at most n bytes as a string (up to its NUL).
std::string field_text(const unsigned char *p, size_t n);
// Printable text of such a field, in quotes, with C escapes for other bytes;
// long texts are cut.
std::string quoted(const unsigned char *p, size_t n, size_t limit = 120);
