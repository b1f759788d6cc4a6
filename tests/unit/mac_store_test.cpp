// The pure pieces of the MAC tools: the seeded pick, the generated address
// and its place in the store, the printed form.
#include "devtools/mac_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

namespace {

TEST(MacPick, NeverTheLastValueOfTheRange) {
    std::set<int> fifth, sixth;
    for (unsigned seed = 0; seed < 20000; ++seed) {
        fifth.insert(mac_pick(generated_fifth_low, generated_fifth_high, seed));
        sixth.insert(mac_pick(generated_sixth_low, generated_sixth_high, seed));
    }
    EXPECT_EQ(fifth, (std::set<int>{0xd0, 0xd1, 0xd2, 0xd3}));
    EXPECT_EQ(sixth.size(), 255u);
    EXPECT_EQ(*sixth.begin(), 0);
    EXPECT_EQ(*sixth.rbegin(), 0xfe);
}

TEST(MacPick, SameSecondSameDraw) {
    // Both picks of one run take the generator's first value after seeding
    // with the same time.
    for (unsigned seed : {0u, 1u, 1700000000u}) {
        srand(seed);
        const int r = rand();
        EXPECT_EQ(mac_pick(0xd0, 0xd4, seed), 0xd0 + r % 4);
        EXPECT_EQ(mac_pick(0, 255, seed), r % 255);
    }
}

TEST(MacPick, RangesItCannotDrawFrom) {
    EXPECT_EQ(mac_pick(5, 5, 1), -1); // one value: n - 1 would be 0
    EXPECT_EQ(mac_pick(6, 5, 1), -1);
    EXPECT_EQ(mac_pick(0, 256, 1), -1); // 257 values
    EXPECT_GE(mac_pick(0, 1, 1), 0);
    EXPECT_GE(mac_pick_now(0xd0, 0xd4), 0xd0);
}

TEST(GeneratedMac, TextAndStoreOrder) {
    char text[mac_text_length + 1];
    ASSERT_TRUE(generated_mac_text(text, 0xd3, 0x0a));
    EXPECT_STREQ(text, "02:a7:3e:5d:d3:0a");
    unsigned char store[mac_store_size];
    memset(store, 0x55, sizeof store);
    ASSERT_TRUE(mac_text_to_store(text, store));
    const unsigned char expected[6] = {0x0a, 0xd3, 0x5d, 0x3e, 0xa7, 0x02};
    EXPECT_EQ(memcmp(store + mac_store_wifi, expected, 6), 0);
    EXPECT_EQ(store[3], 0x55);
    EXPECT_EQ(store[10], 0x55); // the Ethernet address is left alone

    // A failed pick leaves the bare prefix, which is no address.
    EXPECT_FALSE(generated_mac_text(text, -1, 0x0a));
    EXPECT_STREQ(text, "02:a7:3e:5d:");
    EXPECT_FALSE(generated_mac_text(text, 0xd0, -1));
    memset(store, 0x55, sizeof store);
    for (const char *bad : {"02:a7:3e:5d:", "02:a7:3e:5d:d0:zz", "02:a7:3e:5d:d0:0a0", ""})
        EXPECT_FALSE(mac_text_to_store(bad, store)) << bad;
    EXPECT_EQ(store[mac_store_wifi], 0x55);
}

TEST(MacPrint, LastStoredByteFirstInLowerCase) {
    const unsigned char mac[6] = {0x01, 0xC5, 0xB0, 0x00, 0x00, 0xAB};
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    mac_print(out, mac);
    fclose(out);
    EXPECT_EQ(std::string(text, size), "ab:00:00:b0:c5:01\n");
    free(text);
}

} // namespace
