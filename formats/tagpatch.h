// The boot tag list of the "tags" area (ARM Linux boot tags: u32 entry size
// in 32-bit words with the header, u32 tag, data; an entry of size 0 ends
// the list) and the patch a "TAGP" chunk applies to it.
#pragma once

#include <cstddef>

// The list lives in the first 512 bytes of the area.
inline constexpr size_t tag_area_size = 512;

// Applies the entries of patch (patch_size bytes, up to an entry of size 0
// or the end of the bytes) to the list in the first `limit` bytes of area
// (at most tag_area_size): an entry whose tag is in the list replaces that
// entry, which must have the same size; any other entry is appended where
// the terminator stood, followed by a new terminator (two zero words), and
// must end 8 bytes short of byte 512. Nothing is read outside the patch's
// bytes or the area's `limit` bytes. True when applied; false, with area
// unchanged, when an entry does not fit, a size disagrees, or an entry of
// the list or the patch is malformed.
bool tag_patch_apply(unsigned char *area, size_t limit, const unsigned char *patch,
                     size_t patch_size);
