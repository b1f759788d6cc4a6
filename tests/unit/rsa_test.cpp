// The RSA public operation against OpenSSL: key record limits, exponent 1, failures that leave
// the block as stored, and signatures made with every development private key, refused after
// any flipped bit or under another slot's key.
#include "core/byteorder.h"
#include "crypto/keyrec.h"
#include "crypto/md5.h"
#include "crypto/rsa.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A record with m modulus words of 0xabcd and x exponent words of 3; exactly
// 144 bytes on the heap, so that a read past its end is caught under ASan.
bytes record_of(unsigned m, unsigned x) {
    bytes r(key_record_size, 0);
    store_le16(r.data(), uint16_t(m));
    for (unsigned i = 0; i < 64; i++) store_le16(r.data() + 2 + 2 * i, 0xabcd);
    store_le16(r.data() + 130, uint16_t(x));
    for (unsigned i = 0; i < 4; i++) store_le16(r.data() + 132 + 2 * i, 3);
    return r;
}

TEST(RsaLoadKey, RecordLimits) {
    struct {
        unsigned m, x;
        int result;
    } cases[] = {
        {64, 1, 0}, {64, 2, 0}, {64, 4, 0},  {1, 1, 0},     {0, 0, 0},
        {65, 1, 1}, {64, 5, 1}, {64, 64, 1}, {65535, 1, 1}, {1, 65535, 1},
    };
    for (const auto &c : cases) {
        bytes record = record_of(c.m, c.x);
        rsa_key key;
        memset(&key, 0x77, sizeof key);
        ASSERT_EQ(rsa_load_key(&key, record.data()), c.result) << c.m << ' ' << c.x;
        if (c.result != 0) continue;
        EXPECT_EQ(key.modulus.bits, 16 * c.m);
        EXPECT_EQ(key.exponent.bits, 16 * c.x);
        for (unsigned i = 0; i < bn_limbs; i++) {
            EXPECT_EQ(key.modulus.limbs[i], i < c.m ? 0xabcd : 0) << i;
            EXPECT_EQ(key.exponent.limbs[i], i < c.x ? 3 : 0) << i;
        }
    }
    rsa_key key;
    EXPECT_EQ(rsa_load_key(&key, nullptr), 1);
}

TEST(RsaPublicOp, ExponentOneReducesAndZeroStaysZero) {
    bytes record = read_bytes(development_key("slot1.keyrec"));
    unique_pkey pkey = load_pem_key(development_key("slot1.pem"));
    ASSERT_TRUE(pkey);
    store_le16(record.data() + 130, 1); // exponent 1
    store_le16(record.data() + 132, 1);
    rsa_key key;
    ASSERT_EQ(rsa_load_key(&key, record.data()), 0);

    bytes top(128, 0xff);
    bignum value;
    bn_from_bytes(&value, top.data(), top.size());
    ASSERT_EQ(bn_acquire(), 0);
    EXPECT_EQ(rsa_public_op(&key, &value), 0);
    bn_release();
    unique_bn expected(BN_new()), all = bn_from_le(top.data(), top.size());
    unique_bn_ctx ctx(BN_CTX_new());
    BN_mod(expected.get(), all.get(), rsa_modulus(pkey.get()).get(), ctx.get());
    bytes result(128);
    bn_to_bytes(&value, result.data(), result.size());
    EXPECT_EQ(result, bn_to_le(expected.get(), 128));

    bytes zero(128, 0), block = zero;
    EXPECT_EQ(rsa_transform(read_bytes(development_key("slot1.keyrec")).data(), block.data()), 0);
    EXPECT_EQ(block, zero);
}

TEST(RsaPublicOp, FailsWithoutWorkAreaOrWithAZeroModulus) {
    bytes record = record_of(64, 1);
    rsa_key key;
    ASSERT_EQ(rsa_load_key(&key, record.data()), 0);
    bignum value;
    bn_clear(&value);
    EXPECT_EQ(rsa_public_op(&key, &value), 1);

    bytes zero = record_of(0, 1);
    ASSERT_EQ(rsa_load_key(&key, zero.data()), 0);
    ASSERT_EQ(bn_acquire(), 0);
    EXPECT_EQ(rsa_public_op(&key, &value), 1);
    bn_release();
}

TEST(RsaTransform, FailureLeavesTheBlockAsStored) {
    std::mt19937_64 rng(20);
    const bytes stored = random_bytes(rng, 128);
    const bytes overlong = record_of(65, 1), zero_modulus = record_of(0, 1);
    for (const unsigned char *record :
         {static_cast<const unsigned char *>(nullptr), overlong.data(), zero_modulus.data()}) {
        bytes block = stored;
        EXPECT_EQ(rsa_transform(record, block.data()), 1);
        EXPECT_EQ(block, stored);
    }
    // The work area is given back on the failure path as well.
    EXPECT_EQ(bn_acquire(), 0);
    bn_release();
}

// A signed message as a signer makes it: the 128-byte little-endian block
// starts with the MD5 digest and stays below the modulus.
struct signed_message {
    bytes message, block, signature;
};

signed_message sign(EVP_PKEY *key, std::mt19937_64 &rng) {
    signed_message s;
    s.message = random_bytes(rng, 3000);
    auto digest = oracle_md5(s.message.data(), s.message.size());
    s.block = random_bytes(rng, 128);
    memcpy(s.block.data(), digest.data(), 16);
    s.block[127] = 0;
    s.signature = rsa_private_block(key, s.block);
    return s;
}

// The check the update engine and the image checkers make.
bool verifies(const unsigned char *record, bytes signature, const bytes &message) {
    if (rsa_transform(record, signature.data()) != 0) return false;
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, message.data(), message.size());
    unsigned char digest[16];
    md5_final(&ctx, digest);
    return memcmp(digest, signature.data(), 16) == 0;
}

TEST(RsaSignature, OpenSslSignaturesVerifyWithEveryDevelopmentKey) {
    std::mt19937_64 rng(21);
    for (const char *name : {"image", "slot1", "slot2", "slot3", "slot4", "slot5", "fallback"}) {
        SCOPED_TRACE(name);
        unique_pkey pkey = load_pem_key(development_key(std::string(name) + ".pem"));
        ASSERT_TRUE(pkey);
        const bytes record = read_bytes(development_key(std::string(name) + ".keyrec"));
        for (int round = 0; round < 5; round++) {
            signed_message s = sign(pkey.get(), rng);
            bytes block = s.signature;
            ASSERT_EQ(rsa_transform(record.data(), block.data()), 0);
            EXPECT_EQ(block, s.block); // the whole block comes back
            EXPECT_TRUE(verifies(record.data(), s.signature, s.message));
        }
    }
}

TEST(RsaSignature, OneFlippedBitAnywhereFails) {
    std::mt19937_64 rng(22);
    unique_pkey pkey = load_pem_key(development_key("slot2.pem"));
    ASSERT_TRUE(pkey);
    const bytes record = read_bytes(development_key("slot2.keyrec"));
    const signed_message s = sign(pkey.get(), rng);
    ASSERT_TRUE(verifies(record.data(), s.signature, s.message));

    for (size_t bit = 0; bit < 8 * s.signature.size(); bit++) {
        bytes signature = s.signature;
        signature[bit / 8] ^= uint8_t(1 << (bit % 8));
        EXPECT_FALSE(verifies(record.data(), signature, s.message)) << "signature bit " << bit;
    }
    for (size_t byte = 0; byte < s.message.size(); byte += 97) {
        bytes message = s.message;
        message[byte] ^= 0x20;
        EXPECT_FALSE(verifies(record.data(), s.signature, message)) << "message byte " << byte;
    }
    // The key matters too: another slot's key does not accept it.
    EXPECT_FALSE(
        verifies(read_bytes(development_key("slot3.keyrec")).data(), s.signature, s.message));
}

} // namespace
