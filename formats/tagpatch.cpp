// Each entry of the patch replaces the list's entry of its tag, which must be of the same size,
// or takes the terminator's place with a new terminator after it. The work is done on a copy,
// written back only when the whole patch applied.
#include "formats/tagpatch.h"

#include "core/byteorder.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t entry_header = 8; // size in words, tag

// The list entry carrying tag, or else the terminator, in list[0, limit):
// its offset and whether it is the tag's. False when the list is malformed
// before either is found.
bool find_entry(const unsigned char *list, size_t limit, uint32_t tag, size_t &at, bool &found) {
    for (at = 0;;) {
        if (at + 4 > limit) return false;
        const uint64_t words = load_le32(list + at);
        if (words == 0) {
            found = false;
            return true;
        }
        if (words < 2 || words * 4 > limit - at) return false;
        if (load_le32(list + at + 4) == tag) {
            found = true;
            return true;
        }
        at += static_cast<size_t>(words * 4);
    }
}

} // namespace

bool tag_patch_apply(unsigned char *area, size_t limit, const unsigned char *patch,
                     size_t patch_size) {
    if (limit > tag_area_size) limit = tag_area_size;
    // Entries go into a copy, so that a patch failing half-way leaves the area as it was.
    unsigned char list[tag_area_size];
    memcpy(list, area, limit);
    for (size_t pp = 0; pp + 4 <= patch_size;) {
        const uint64_t words = load_le32(patch + pp);
        if (words == 0) break;
        if (words < 2 || words * 4 > patch_size - pp) return false;
        const size_t bytes = static_cast<size_t>(words * 4);
        size_t at = 0;
        bool found = false;
        if (!find_entry(list, limit, load_le32(patch + pp + 4), at, found)) return false;
        if (found) {
            if (load_le32(list + at) != words) return false;
            memcpy(list + at, patch + pp, bytes);
        } else {
            const size_t end = at + bytes;
            if (end + entry_header >= tag_area_size || end + entry_header > limit) return false;
            memcpy(list + at, patch + pp, bytes);
            memset(list + end, 0, entry_header);
        }
        pp += bytes;
    }
    memcpy(area, list, limit);
    return true;
}
