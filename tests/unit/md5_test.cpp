// MD5 against the published test suite and OpenSSL's digest (every length across the padding
// boundaries, uneven pieces), the cleared context, and the module-wide stream.
#include "crypto/md5.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string digest_of(const void *data, size_t n) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, n);
    unsigned char digest[16];
    md5_final(&ctx, digest);
    return to_hex(digest, 16);
}

TEST(Md5, Rfc1321TestSuite) {
    struct {
        const char *message, *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(digest_of(c.message, strlen(c.message)), c.digest) << '"' << c.message << '"';
}

TEST(Md5, MatchesOpenSslAcrossThePaddingBoundaries) {
    std::mt19937_64 rng(1);
    const bytes data = random_bytes(rng, 300);
    for (size_t n = 0; n <= data.size(); n++) {
        auto expected = oracle_md5(data.data(), n);
        EXPECT_EQ(digest_of(data.data(), n), to_hex(expected.data(), 16)) << n << " bytes";
    }
}

TEST(Md5, UnevenPiecesGiveTheDigestOfOnePass) {
    std::mt19937_64 rng(2);
    const bytes data = random_bytes(rng, 200000);
    const auto expected = oracle_md5(data.data(), data.size());
    const size_t pattern[] = {1, 63, 64, 65, 0, 127, 3, 1024, 4095, 7, 64 * 100 + 5};
    md5_context ctx;
    md5_init(&ctx);
    size_t done = 0;
    for (size_t i = 0; done < data.size(); i++) {
        size_t n = std::min(pattern[i % std::size(pattern)], data.size() - done);
        md5_update(&ctx, data.data() + done, n);
        done += n;
    }
    unsigned char digest[16];
    md5_final(&ctx, digest);
    EXPECT_EQ(to_hex(digest, 16), to_hex(expected.data(), 16));
}

TEST(Md5, FinalClearsTheContext) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "secret", 6);
    unsigned char digest[16];
    md5_final(&ctx, digest);
    const md5_context zero = {};
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Md5Stream, StagesDigestThroughTheModuleContext) {
    std::mt19937_64 rng(4);
    const bytes data = random_bytes(rng, 5000);
    const auto expected = oracle_md5(data.data(), data.size());

    ASSERT_EQ(md5_stream(md5_stage_init, nullptr, 0, nullptr), 0);
    for (size_t done = 0; done < data.size(); done += 1024)
        ASSERT_EQ(md5_stream(md5_stage_update, data.data() + done,
                             std::min<size_t>(1024, data.size() - done), nullptr),
                  0);
    unsigned char digest[16];
    ASSERT_EQ(md5_stream(md5_stage_final, nullptr, 0, digest), 0);
    EXPECT_EQ(to_hex(digest, 16), to_hex(expected.data(), 16));

    // A new stream starts from scratch.
    md5_stream(md5_stage_init, nullptr, 0, nullptr);
    md5_stream(md5_stage_update, "abc", 3, nullptr);
    md5_stream(md5_stage_final, nullptr, 0, digest);
    EXPECT_EQ(to_hex(digest, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Stream, UnknownStageFails) {
    EXPECT_EQ(md5_stream(0, nullptr, 0, nullptr), -1);
    EXPECT_EQ(md5_stream(4, nullptr, 0, nullptr), -1);
}

} // namespace
