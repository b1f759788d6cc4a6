// hashlittle against the published self-test values, at every alignment, and with each input
// byte changed in turn.
#include "crypto/lookup3.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Hashlittle, PublishedSelfTestValues) {
    const char *text = "Four score and seven years ago";
    struct {
        const char *data;
        size_t length;
        uint32_t initval, hash;
    } cases[] = {
        {"", 0, 0, 0xdeadbeef},
        {"", 0, 0xdeadbeef, 0xbd5b7dde},
        {text, 30, 0, 0x17770551},
        {text, 30, 1, 0xcd628161},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hashlittle(c.data, c.length, c.initval), c.hash)
            << '"' << c.data << "\" " << c.initval;
}

TEST(Hashlittle, ResultDoesNotDependOnAlignment) {
    std::mt19937_64 rng(3);
    const bytes data = random_bytes(rng, 64);
    alignas(8) unsigned char buffer[80];
    for (size_t length = 0; length <= data.size(); length++) {
        memcpy(buffer, data.data(), length);
        const uint32_t aligned = hashlittle(buffer, length, 0x0BADC0DE);
        for (size_t offset = 1; offset < 8; offset++) {
            memcpy(buffer + offset, data.data(), length);
            EXPECT_EQ(hashlittle(buffer + offset, length, 0x0BADC0DE), aligned)
                << "length " << length << " offset " << offset;
        }
    }
}

TEST(Hashlittle, EveryInputByteCounts) {
    // Each byte position of each tail length (the last block is 1 to 12 bytes).
    for (size_t length = 1; length <= 40; length++) {
        bytes data(length, 0x5a);
        const uint32_t base = hashlittle(data.data(), length, 0);
        for (size_t i = 0; i < length; i++) {
            data[i] ^= 1;
            EXPECT_NE(hashlittle(data.data(), length, 0), base) << length << " byte " << i;
            data[i] ^= 1;
        }
    }
}

} // namespace
