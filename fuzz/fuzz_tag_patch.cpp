// Fuzzes the boot tag patch a "TAGP" chunk applies to the "tags" area. The
// first two bytes give how many bytes the area has (the list's limit), the
// next 512 are the area, the rest is the patch.
#include "core/byteorder.h"
#include "formats/tagpatch.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t limit = load_le16(data) % (tag_area_size + 64);
    const size_t area_bytes = std::min(size - 2, tag_area_size);
    const size_t patch_size = size - 2 - area_bytes;

    // Both in buffers of exactly their size.
    std::unique_ptr<unsigned char[]> area(new unsigned char[limit > 0 ? limit : 1]());
    memcpy(area.get(), data + 2, std::min(limit, area_bytes));
    std::unique_ptr<unsigned char[]> patch(new unsigned char[patch_size > 0 ? patch_size : 1]);
    memcpy(patch.get(), data + 2 + area_bytes, patch_size);
    std::unique_ptr<unsigned char[]> before(new unsigned char[limit > 0 ? limit : 1]);
    memcpy(before.get(), area.get(), limit);

    const bool applied = tag_patch_apply(area.get(), limit, patch.get(), patch_size);
    // A refused patch leaves the area as it was; bytes past the list's 512
    // are never touched.
    if (!applied && memcmp(before.get(), area.get(), limit) != 0) abort();
    if (limit > tag_area_size &&
        memcmp(before.get() + tag_area_size, area.get() + tag_area_size, limit - tag_area_size))
        abort();
    return 0;
}
