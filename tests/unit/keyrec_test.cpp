// The key record checksum against lookup3 over bytes 0 to 139, the development records against
// their PEM keys through OpenSSL, and the built-in records against the configured key directory.
#include "core/byteorder.h"
#include "crypto/aes.h"
#include "crypto/keyrec.h"
#include "crypto/lookup3.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(KeyRecord, ChecksumCoversBytesZeroTo139) {
    bytes record = read_bytes(development_key("slot1.keyrec"));
    ASSERT_EQ(record.size(), key_record_size);
    ASSERT_TRUE(key_record_valid(record.data()));
    EXPECT_EQ(key_record_checksum(record.data()), hashlittle(record.data(), 140, 0x0BADC0DE));
    for (size_t i = 0; i < key_record_size; i++) {
        record[i] ^= 0x10;
        EXPECT_FALSE(key_record_valid(record.data())) << "byte " << i;
        record[i] ^= 0x10;
    }
}

TEST(DevelopmentKeys, RecordsMatchTheirPrivateKeys) {
    struct {
        const char *name;
        unsigned exponent_words;
        uint64_t exponent;
    } keys[] = {
        {"image", 2, 65537},
        {"slot1", 2, 65537},
        {"slot2", 2, 65537},
        {"slot3", 2, 65537},
        {"slot4", 2, 65537},
        {"slot5", 1, 65521},
        {"fallback", 4, 18446744073709551557ull},
    };
    for (const auto &k : keys) {
        SCOPED_TRACE(k.name);
        unique_pkey pkey = load_pem_key(development_key(std::string(k.name) + ".pem"));
        ASSERT_TRUE(pkey);
        EXPECT_EQ(bn_to_u64(rsa_exponent(pkey.get()).get()), k.exponent);
        EXPECT_EQ(BN_num_bits(rsa_modulus(pkey.get()).get()), 1024);
        const bytes record = read_bytes(development_key(std::string(k.name) + ".keyrec"));
        expect_key_record_layout(record, pkey.get(), k.exponent_words);
        EXPECT_EQ(load_le16(record.data()), 64);
        EXPECT_TRUE(key_record_valid(record.data()));
    }
}

TEST(DevelopmentKeys, AesRecordsHoldDifferent128BitKeys) {
    const bytes stored = read_bytes(development_key("aes.keyrec"));
    const bytes builtin = read_bytes(development_key("aes_default.keyrec"));
    ASSERT_EQ(stored.size(), aes_key_record_size);
    ASSERT_EQ(builtin.size(), aes_key_record_size);
    EXPECT_EQ(load_le16(stored.data()), 128);
    EXPECT_EQ(load_le16(builtin.data()), 128);
    EXPECT_NE(stored, builtin);
}

// The built-in records are those of the key directory the build was
// configured with, whatever keys a deployment put there.
TEST(BuiltinKeys, ComeFromTheConfiguredKeyDirectory) {
    const std::string dir = std::string(VARITOOL_KEY_DIR) + "/";
    EXPECT_EQ(bytes(builtin_slot5_key, builtin_slot5_key + key_record_size),
              read_bytes(dir + "slot5.keyrec"));
    EXPECT_EQ(bytes(builtin_fallback_key, builtin_fallback_key + key_record_size),
              read_bytes(dir + "fallback.keyrec"));
    EXPECT_EQ(bytes(builtin_aes_key, builtin_aes_key + aes_key_record_size),
              read_bytes(dir + "aes_default.keyrec"));

    EXPECT_EQ(load_le16(builtin_slot5_key), 64);
    EXPECT_EQ(load_le16(builtin_slot5_key + 130), 1);
    EXPECT_EQ(load_le16(builtin_fallback_key), 64);
    EXPECT_EQ(load_le16(builtin_fallback_key + 130), 4);
    aes_context ctx;
    EXPECT_EQ(aes_set_key_record(&ctx, builtin_aes_key, aes_key_record_size), 0);
    EXPECT_EQ(ctx.rounds, 10);
}

} // namespace
