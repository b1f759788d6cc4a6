// The tag patch on tag areas built here: an entry replaced in place, one appended where the
// terminator stood up to the area's limit, and refusals that leave the area as it was.
#include "formats/tagpatch.h"

#include "core/byteorder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

using words = std::vector<uint32_t>;

// A list as the "tags" area holds it: entries, then the two-word terminator.
struct area {
    unsigned char bytes[tag_area_size] = {};
    explicit area(const words &w) {
        for (size_t i = 0; i < w.size(); ++i) store_le32(bytes + 4 * i, w[i]);
    }
    uint32_t word(size_t i) const { return load_le32(bytes + 4 * i); }
};

std::vector<unsigned char> patch(const words &w) {
    std::vector<unsigned char> b(4 * w.size());
    for (size_t i = 0; i < w.size(); ++i) store_le32(b.data() + 4 * i, w[i]);
    return b;
}

bool patch_area(area &a, const std::vector<unsigned char> &p, size_t limit = tag_area_size) {
    return tag_patch_apply(a.bytes, limit, p.data(), p.size());
}

// core (5 words), memory (4 words), terminator.
const words list = {5, 0x54410001, 1, 4096, 0, 4, 0x54410002, 0x40000000, 0x80000000, 0, 0};

TEST(TagPatch, ReplacesAnEntryInPlace) {
    area a(list);
    ASSERT_TRUE(patch_area(a, patch({4, 0x54410002, 0x10000000, 0x90000000, 0})));
    EXPECT_EQ(a.word(7), 0x10000000u);
    EXPECT_EQ(a.word(8), 0x90000000u);
    EXPECT_EQ(a.word(0), 5u);
    EXPECT_EQ(a.word(9), 0u);
}

TEST(TagPatch, AppendsWhereTheTerminatorStood) {
    area a(list);
    ASSERT_TRUE(patch_area(a, patch({3, 0x54410007, 20, 0})));
    EXPECT_EQ(a.word(9), 3u);
    EXPECT_EQ(a.word(10), 0x54410007u);
    EXPECT_EQ(a.word(11), 20u);
    EXPECT_EQ(a.word(12), 0u);
    EXPECT_EQ(a.word(13), 0u);
}

TEST(TagPatch, AnAppendedEntryEndsAtByte500OrEarlier) {
    // The list ends at byte 36; entries of 464 and 468 bytes end at 500 and 504.
    area fits(list), too_long(list);
    words at500 = {116, 0x54410009}, at504 = {117, 0x54410009};
    at500.resize(116, 0x61616161);
    at504.resize(117, 0x61616161);
    EXPECT_TRUE(patch_area(fits, patch(at500)));
    EXPECT_EQ(fits.word(125), 0u);
    const area before(list);
    EXPECT_FALSE(patch_area(too_long, patch(at504)));
    EXPECT_EQ(memcmp(too_long.bytes, before.bytes, tag_area_size), 0);
}

TEST(TagPatch, AFailingEntryLeavesEarlierOnesUnapplied) {
    area a(list);
    const area before(list);
    words p = {4, 0x54410002, 7, 7}; // applies
    words big = {200, 0x54410009};   // does not fit
    big.resize(200);
    p.insert(p.end(), big.begin(), big.end());
    EXPECT_FALSE(patch_area(a, patch(p)));
    EXPECT_EQ(memcmp(a.bytes, before.bytes, tag_area_size), 0);
}

TEST(TagPatch, RefusesWhatCannotBeReadInsideItsBytes) {
    const struct {
        const char *what;
        words area_list, patch_words;
        size_t limit;
    } cases[] = {
        {"patch entry longer than the patch", list, {4, 0x54410002, 1}, tag_area_size},
        {"patch entry of one word", list, {1, 0x54410002}, tag_area_size},
        {"entry of another size than the one it replaces", list, {3, 0x54410002, 1}, tag_area_size},
        {"list without a terminator in the bytes read",
         {5, 0x54410001, 1, 4096, 0},
         {3, 0x54410007, 1},
         20},
        {"list entry running past the bytes read",
         {200, 0x54410001},
         {3, 0x54410007, 1},
         tag_area_size},
        {"list entry of one word", {1, 0x54410001, 0, 0}, {3, 0x54410007, 1}, tag_area_size},
    };
    for (const auto &c : cases) {
        area a(c.area_list);
        const area before(c.area_list);
        EXPECT_FALSE(patch_area(a, patch(c.patch_words), c.limit)) << c.what;
        EXPECT_EQ(memcmp(a.bytes, before.bytes, tag_area_size), 0) << c.what;
    }
}

TEST(TagPatch, EmptyPatchesWriteTheListUnchanged) {
    for (const words &p : {words{0, 0x54410002, 1, 2}, words{}, words{0}}) {
        area a(list);
        const area before(list);
        EXPECT_TRUE(patch_area(a, patch(p)));
        EXPECT_EQ(memcmp(a.bytes, before.bytes, tag_area_size), 0);
    }
    // The patch's bytes end without a terminator: the entries before count.
    area a(list);
    EXPECT_TRUE(patch_area(a, patch({3, 0x54410007, 9})));
    EXPECT_EQ(a.word(11), 9u);
}

} // namespace
