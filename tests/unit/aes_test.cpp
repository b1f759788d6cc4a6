// AES decryption against published known answers and OpenSSL's CBC encryption for every key
// size; the chaining across calls, bytes short of a block, and the key sizes and key records
// that must be refused.
#include "crypto/aes.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bytes decrypt_block(const bytes &key, const bytes &in) {
    aes_context ctx;
    EXPECT_EQ(aes_set_decrypt_key(&ctx, key.data(), unsigned(8 * key.size())), 0);
    bytes out(16);
    aes_decrypt_block(&ctx, in.data(), out.data());
    return out;
}

TEST(Aes, Fips197KnownAnswers) {
    struct {
        const char *key, *plaintext, *ciphertext;
    } cases[] = {
        // Appendix B, then C.1 to C.3.
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
         "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decrypt_block(from_hex(c.key), from_hex(c.ciphertext)), from_hex(c.plaintext))
            << "key " << c.key;
}

// NIST SP 800-38A, F.2.2, F.2.4 and F.2.6: the same plaintext under three keys.
TEST(AesCbc, Sp800_38aKnownAnswers) {
    const bytes iv = from_hex("000102030405060708090a0b0c0d0e0f");
    const bytes plaintext = from_hex("6bc1bee22e409f96e93d7e117393172a"
                                     "ae2d8a571e03ac9c9eb76fac45af8e51"
                                     "30c81c46a35ce411e5fbc1191a0a52ef"
                                     "f69f2445df4f9b17ad2b417be66c3710");
    struct {
        const char *key, *ciphertext;
    } cases[] = {
        {"2b7e151628aed2a6abf7158809cf4f3c",
         "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
         "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
        {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
         "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
         "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
        {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
         "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    };
    for (const auto &c : cases) {
        const bytes key = from_hex(c.key);
        aes_context ctx;
        ASSERT_EQ(aes_set_decrypt_key(&ctx, key.data(), unsigned(8 * key.size())), 0);
        bytes buffer = from_hex(c.ciphertext);
        aes_cbc_decrypt(&ctx, buffer.data(), buffer.size(), iv.data());
        EXPECT_EQ(buffer, plaintext) << "key " << c.key;
    }
}

TEST(AesCbc, MatchesOpenSslForEveryKeySize) {
    std::mt19937_64 rng(5);
    for (size_t key_size : {16, 24, 32}) {
        for (int round = 0; round < 20; round++) {
            const bytes key = random_bytes(rng, key_size), iv = random_bytes(rng, 16);
            const bytes plaintext = random_bytes(rng, 16 * (1 + rng() % 64));
            bytes buffer = oracle_cbc_encrypt(key, iv, plaintext);
            aes_context ctx;
            ASSERT_EQ(aes_set_decrypt_key(&ctx, key.data(), unsigned(8 * key_size)), 0);
            aes_cbc_decrypt(&ctx, buffer.data(), buffer.size(), iv.data());
            ASSERT_EQ(buffer, plaintext) << "key " << to_hex(key.data(), key.size());
        }
    }
}

TEST(AesCbc, ChainingValueKeptByTheCallerAcrossCalls) {
    std::mt19937_64 rng(6);
    const bytes key = random_bytes(rng, 16), iv = random_bytes(rng, 16);
    const bytes plaintext = random_bytes(rng, 16 * 40);
    const bytes ciphertext = oracle_cbc_encrypt(key, iv, plaintext);
    aes_context ctx;
    ASSERT_EQ(aes_set_decrypt_key(&ctx, key.data(), 128), 0);

    // Pieces of 1, 3, 0, 7, ... blocks, each call given the last cipher block
    // of the one before; the iv passed in is never changed.
    bytes buffer = ciphertext;
    unsigned char chain[16];
    memcpy(chain, iv.data(), 16);
    const size_t pieces[] = {1, 3, 0, 7, 2, 16, 11};
    size_t at = 0;
    for (size_t blocks : pieces) {
        const size_t n = 16 * blocks;
        unsigned char next[16], before[16];
        if (n) memcpy(next, buffer.data() + at + n - 16, 16);
        memcpy(before, chain, 16);
        aes_cbc_decrypt(&ctx, buffer.data() + at, n, chain);
        EXPECT_EQ(memcmp(before, chain, 16), 0);
        if (n) memcpy(chain, next, 16);
        at += n;
    }
    ASSERT_EQ(at, buffer.size());
    EXPECT_EQ(buffer, plaintext);
}

TEST(AesCbc, FirstBlocksAgainstTheBlockDecryption) {
    std::mt19937_64 rng(7);
    const bytes key = random_bytes(rng, 16), iv = random_bytes(rng, 16);
    const bytes cipher = random_bytes(rng, 32);
    aes_context ctx;
    ASSERT_EQ(aes_set_decrypt_key(&ctx, key.data(), 128), 0);
    unsigned char d0[16], d1[16];
    aes_decrypt_block(&ctx, cipher.data(), d0);
    aes_decrypt_block(&ctx, cipher.data() + 16, d1);

    bytes one(cipher.begin(), cipher.begin() + 16);
    aes_cbc_decrypt(&ctx, one.data(), 16, iv.data());
    bytes two = cipher;
    aes_cbc_decrypt(&ctx, two.data(), 32, iv.data());
    for (size_t i = 0; i < 16; i++) {
        EXPECT_EQ(one[i], d0[i] ^ iv[i]);
        EXPECT_EQ(two[i], d0[i] ^ iv[i]);
        EXPECT_EQ(two[16 + i], d1[i] ^ cipher[i]);
    }
}

TEST(AesCbc, BytesShortOfABlockAreLeftAlone) {
    std::mt19937_64 rng(8);
    const bytes key = random_bytes(rng, 16), iv = random_bytes(rng, 16);
    const bytes cipher = random_bytes(rng, 16 + 9);
    aes_context ctx;
    ASSERT_EQ(aes_set_decrypt_key(&ctx, key.data(), 128), 0);
    bytes buffer = cipher;
    aes_cbc_decrypt(&ctx, buffer.data(), buffer.size(), iv.data());
    EXPECT_NE(bytes(buffer.begin(), buffer.begin() + 16),
              bytes(cipher.begin(), cipher.begin() + 16));
    EXPECT_EQ(bytes(buffer.begin() + 16, buffer.end()), bytes(cipher.begin() + 16, cipher.end()));

    bytes small = random_bytes(rng, 15), copy = small;
    aes_cbc_decrypt(&ctx, small.data(), small.size(), iv.data());
    EXPECT_EQ(small, copy);
}

TEST(AesKey, SizesOtherThan128_192_256AreRefused) {
    const bytes key(32, 0x42);
    for (unsigned bits : {0u, 64u, 120u, 160u, 224u, 257u, 512u}) {
        aes_context ctx;
        memset(&ctx, 0x5c, sizeof ctx);
        const aes_context before = ctx;
        EXPECT_EQ(aes_set_decrypt_key(&ctx, key.data(), bits), 1) << bits;
        EXPECT_EQ(memcmp(&ctx, &before, sizeof ctx), 0) << bits;
    }
    aes_context ctx;
    EXPECT_EQ(aes_set_decrypt_key(&ctx, key.data(), 128), 0);
    EXPECT_EQ(ctx.rounds, 10);
    EXPECT_EQ(aes_set_decrypt_key(&ctx, key.data(), 192), 0);
    EXPECT_EQ(ctx.rounds, 12);
    EXPECT_EQ(aes_set_decrypt_key(&ctx, key.data(), 256), 0);
    EXPECT_EQ(ctx.rounds, 14);
}

TEST(AesKey, RecordMustHoldTheKeyItAnnounces) {
    const bytes block = from_hex("69c4e0d86a7b0430d8cdb78070b4c55a");
    bytes record = from_hex("8000 000102030405060708090a0b0c0d0e0f");
    aes_context ctx;
    ASSERT_EQ(aes_set_key_record(&ctx, record.data(), record.size()), 0);
    unsigned char out[16];
    aes_decrypt_block(&ctx, block.data(), out);
    EXPECT_EQ(to_hex(out, 16), "00112233445566778899aabbccddeeff");

    struct {
        const char *record;
        size_t size;
    } refused[] = {
        {"c000 000102030405060708090a0b0c0d0e0f", 18}, // 192 bits announced in 18 bytes
        {"0001 000102030405060708090a0b0c0d0e0f", 18}, // 256 bits announced in 18 bytes
        {"a000 000102030405060708090a0b0c0d0e0f", 18}, // 160 bits
        {"8000 000102030405060708090a0b0c0d0e", 17},   // one key byte short
        {"80", 1},
        {"", 0},
    };
    for (const auto &c : refused) {
        bytes r = from_hex(c.record);
        ASSERT_EQ(r.size(), c.size);
        EXPECT_EQ(aes_set_key_record(&ctx, r.data(), r.size()), 1) << c.record;
    }
}

} // namespace
