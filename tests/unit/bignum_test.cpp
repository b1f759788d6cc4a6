// The big numbers against OpenSSL's: byte order, arithmetic and its 2048-bit limit, the work
// area's rules, and powmod and mulmod on random keys and edge values.
#include "crypto/bignum.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// A random number of `limbs` limbs; its top limb may come out 0.
bignum random_number(std::mt19937_64 &rng, int limbs) {
    bytes b = random_bytes(rng, size_t(2 * limbs));
    bignum x;
    bn_from_bytes(&x, b.data(), b.size());
    return x;
}

bignum from_openssl(const BIGNUM *b, int limbs) {
    bytes le = bn_to_le(b, size_t(2 * limbs));
    bignum x;
    bn_from_bytes(&x, le.data(), le.size());
    return x;
}

unique_bn to_openssl(const bignum &x) {
    unsigned char le[2 * bn_limbs];
    bn_to_bytes(&x, le, sizeof le);
    return bn_from_le(le, sizeof le);
}

std::string text(const BIGNUM *b) {
    char *hex = BN_bn2hex(b);
    std::string s = hex;
    OPENSSL_free(hex);
    return s;
}

std::string text(const bignum &x) {
    return text(to_openssl(x).get());
}

// The normal form after arithmetic: bits = 16 x the limbs up to the highest
// non-zero one, nothing set above.
void expect_normal(const bignum &x) {
    int n = 0;
    for (int i = 0; i < bn_limbs; i++)
        if (x.limbs[i]) n = i + 1;
    EXPECT_EQ(x.bits, uint32_t(16 * n)) << text(x);
}

// Work area held for the scope.
struct work_area_hold {
    work_area_hold() { EXPECT_EQ(bn_acquire(), 0); }
    ~work_area_hold() { bn_release(); }
};

// The work area has one holder at a time; a holder that was refused must not
// give back the area another holds.
TEST(BignumWork, OneHolderAtATimeAndBackAtTheEndOfItsScope) {
    {
        bn_work_hold first;
        ASSERT_TRUE(first.held());
        {
            bn_work_hold second;
            EXPECT_FALSE(second.held());
        }
        EXPECT_NE(bn_acquire(), 0) << "the refused holder gave back the first one's area";
    }
    bn_work_hold again;
    EXPECT_TRUE(again.held());
}

TEST(Bignum, BytesMapOntoLimbsLittleEndian) {
    bytes block(128);
    for (size_t i = 0; i < block.size(); i++) block[i] = uint8_t(i + 1);
    bignum x;
    bn_from_bytes(&x, block.data(), block.size());
    EXPECT_EQ(x.bits, 1024u);
    EXPECT_EQ(x.limbs[0], 0x0201);
    EXPECT_EQ(x.limbs[63], 0x807f);
    EXPECT_EQ(x.limbs[64], 0);
    bytes back(130, 0xee);
    bn_to_bytes(&x, back.data(), back.size());
    EXPECT_EQ(bytes(back.begin(), back.begin() + 128), block);
    EXPECT_EQ(back[128], 0);
    EXPECT_EQ(back[129], 0);

    bn_from_bytes(&x, block.data(), 3); // an odd count fills half a limb
    EXPECT_EQ(x.bits, 32u);
    EXPECT_EQ(x.limbs[1], 0x03);
}

TEST(Bignum, ArithmeticMatchesOpenSsl) {
    std::mt19937_64 rng(10);
    unique_bn_ctx ctx(BN_CTX_new());
    for (int round = 0; round < 3000; round++) {
        const bignum a = random_number(rng, int(rng() % 65)),
                     b = random_number(rng, int(rng() % 65));
        unique_bn oa = to_openssl(a), ob = to_openssl(b), expected(BN_new());
        SCOPED_TRACE(text(a) + " , " + text(b));

        EXPECT_EQ(bn_compare(&a, &b), BN_cmp(oa.get(), ob.get()) >= 0 ? 1 : 0);
        EXPECT_EQ(bn_compare(&a, &a), 1);

        bignum sum = a;
        bn_add(&sum, &b);
        BN_add(expected.get(), oa.get(), ob.get());
        EXPECT_EQ(text(sum), text(expected.get()));
        expect_normal(sum);

        bignum diff = bn_compare(&a, &b) ? a : b;
        bn_subtract(&diff, bn_compare(&a, &b) ? &b : &a);
        BN_sub(expected.get(), oa.get(), ob.get());
        BN_set_negative(expected.get(), 0);
        EXPECT_EQ(text(diff), text(expected.get()));
        expect_normal(diff);

        bignum product = a;
        bn_multiply(&product, &b);
        BN_mul(expected.get(), oa.get(), ob.get(), ctx.get());
        EXPECT_EQ(text(product), text(expected.get()));
        expect_normal(product);

        bignum shifted = a;
        bn_shift_right_8(&shifted);
        BN_rshift(expected.get(), oa.get(), 8);
        EXPECT_EQ(text(shifted), text(expected.get()));
        EXPECT_EQ(shifted.bits, a.bits >= 8 ? a.bits - 8 : 0);
    }
}

TEST(Bignum, SumsAndProductsAreKeptTo2048Bits) {
    bytes ones(256, 0xff);
    bignum a, one;
    bn_from_bytes(&a, ones.data(), ones.size());
    bn_clear(&one);
    one.limbs[0] = 1;
    one.bits = 16;
    bn_add(&a, &one); // 2^2048 - 1 + 1: the carry out of limb 127 is dropped
    EXPECT_EQ(a.bits, 0u);
    for (uint16_t limb : a.limbs) EXPECT_EQ(limb, 0);

    std::mt19937_64 rng(11);
    unique_bn_ctx ctx(BN_CTX_new());
    for (int round = 0; round < 50; round++) {
        bignum x = random_number(rng, 65 + int(rng() % 64)), y = random_number(rng, 100);
        unique_bn expected(BN_new());
        BN_mul(expected.get(), to_openssl(x).get(), to_openssl(y).get(), ctx.get());
        BN_mask_bits(expected.get(), 2048);
        bn_multiply(&x, &y);
        EXPECT_EQ(text(x), text(expected.get()));
        EXPECT_LE(x.bits, 2048u);
    }
}

TEST(Bignum, CompareLooksAtTheHighestLimbEitherUses) {
    bignum a, b;
    bn_clear(&a);
    bn_clear(&b);
    a.limbs[0] = 5;
    a.bits = 1024; // longer than its value
    b.limbs[0] = 6;
    b.bits = 16;
    EXPECT_EQ(bn_compare(&a, &b), 0);
    EXPECT_EQ(bn_compare(&b, &a), 1);
    b.limbs[0] = 5;
    EXPECT_EQ(bn_compare(&a, &b), 1);
    EXPECT_EQ(bn_compare(&b, &a), 1);
}

TEST(BignumWorkArea, AcquiredOnceAndNeededForModularArithmetic) {
    bignum n, r;
    bn_clear(&n);
    n.limbs[0] = 7;
    n.bits = 16;
    bn_clear(&r);
    EXPECT_NE(bn_prepare(&n), 0);
    EXPECT_EQ(bn_mulmod(&r, &r, &n), -1);
    EXPECT_EQ(bn_powmod(&r, &r, &n), -1);

    ASSERT_EQ(bn_acquire(), 0);
    EXPECT_EQ(bn_acquire(), -1);
    EXPECT_EQ(bn_powmod(&r, &r, &n), -1); // no table yet
    EXPECT_EQ(bn_prepare(&n), 0);
    EXPECT_EQ(bn_powmod(&r, &r, &n), 0);
    bn_release();
    EXPECT_EQ(bn_powmod(&r, &r, &n), -1);
    ASSERT_EQ(bn_acquire(), 0);
    bn_release();
}

TEST(BignumWorkArea, PrepareRefusesZeroAndOverlongModuli) {
    work_area_hold hold;
    bignum n;
    bn_clear(&n);
    n.bits = 1024;
    EXPECT_NE(bn_prepare(&n), 0); // no multiple of 0 ever exceeds n^2 / 256

    std::mt19937_64 rng(12);
    n = random_number(rng, 65);
    n.limbs[64] = 1;
    EXPECT_NE(bn_prepare(&n), 0);
    n.limbs[64] = 0; // 64 limbs in use, even with bits saying 65
    EXPECT_EQ(bn_prepare(&n), 0);
}

// r^e mod n with both implementations; r may be any value of up to 1024 bits.
void expect_powmod(const bignum &r, const bignum &e, const bignum &n, BN_CTX *ctx) {
    unique_bn expected(BN_new());
    ASSERT_TRUE(BN_mod_exp(expected.get(), to_openssl(r).get(), to_openssl(e).get(),
                           to_openssl(n).get(), ctx));
    ASSERT_EQ(bn_prepare(&n), 0);
    bignum result = r;
    ASSERT_EQ(bn_powmod(&result, &e, &n), 0);
    ASSERT_EQ(text(result), text(expected.get()))
        << "r " << text(r) << "\ne " << text(e) << "\nn " << text(n);
    EXPECT_EQ(result.bits, n.bits);
}

bool is_zero(const bignum &x) {
    for (uint16_t limb : x.limbs)
        if (limb) return false;
    return true;
}

bignum small(uint64_t v, int words) {
    bignum x;
    bn_clear(&x);
    for (int i = 0; i < words; i++) x.limbs[i] = uint16_t(v >> (16 * i));
    x.bits = uint32_t(16 * words);
    return x;
}

TEST(BignumPowmod, MatchesOpenSslOnRandomKeysAndValues) {
    std::mt19937_64 rng(13);
    unique_bn_ctx ctx(BN_CTX_new());
    work_area_hold hold;
    const bignum exponents[] = {small(0, 1),     small(1, 1),     small(3, 1),    small(65537, 2),
                                small(65537, 4), small(~0ull, 4), small(65521, 1)};
    for (int round = 0; round < 1000; round++) {
        // Half full-size moduli, half shorter, some with zero top limbs.
        int limbs = round % 2 ? 64 : 1 + int(rng() % 63);
        bignum n = random_number(rng, limbs);
        if (round % 8 == 1) n.limbs[limbs - 1] = 0;
        if (is_zero(n)) continue;
        const bignum e = round % 3 ? exponents[round % std::size(exponents)]
                                   : random_number(rng, 1 + int(rng() % 4));
        // A value below n, and one of 1024 bits that usually is not.
        unique_bn on = to_openssl(n), below(BN_new());
        BN_rand_range(below.get(), on.get());
        expect_powmod(from_openssl(below.get(), 64), e, n, ctx.get());
        expect_powmod(random_number(rng, 64), e, n, ctx.get());
    }
}

TEST(BignumPowmod, EdgeValues) {
    std::mt19937_64 rng(14);
    unique_bn_ctx ctx(BN_CTX_new());
    work_area_hold hold;
    for (int limbs : {1, 2, 17, 63, 64}) {
        bignum n = random_number(rng, limbs);
        n.limbs[limbs - 1] |= 0x8000;
        unique_bn on = to_openssl(n), v(BN_new());
        const bignum e = small(65537, 2);
        expect_powmod(small(0, 1), e, n, ctx.get());
        expect_powmod(small(1, 1), e, n, ctx.get());
        BN_sub(v.get(), on.get(), BN_value_one()); // n - 1
        expect_powmod(from_openssl(v.get(), 64), e, n, ctx.get());
        expect_powmod(n, e, n, ctx.get()); // n itself
        BN_add(v.get(), on.get(), BN_value_one());
        expect_powmod(from_openssl(v.get(), 65), e, n, ctx.get());
        bytes top(128, 0xff); // 2^1024 - 1
        bignum big;
        bn_from_bytes(&big, top.data(), top.size());
        expect_powmod(big, e, n, ctx.get());
        expect_powmod(big, small(1, 1), n, ctx.get()); // exponent 1: value mod n
    }
    // The smallest moduli: 1 (every result 0), 2, 3.
    for (uint64_t m : {1, 2, 3, 255, 256, 257}) {
        for (uint64_t r : {0, 1, 2, 200, 65535}) {
            expect_powmod(small(r, 1), small(0, 1), small(m, 1), ctx.get());
            expect_powmod(small(r, 1), small(5, 1), small(m, 1), ctx.get());
        }
    }
}

TEST(BignumMulmod, MatchesOpenSsl) {
    std::mt19937_64 rng(15);
    unique_bn_ctx ctx(BN_CTX_new());
    work_area_hold hold;
    for (int round = 0; round < 300; round++) {
        bignum n = random_number(rng, 1 + int(rng() % 64));
        n.limbs[0] |= 1;
        ASSERT_EQ(bn_prepare(&n), 0);
        unique_bn on = to_openssl(n), a(BN_new()), b(BN_new()), expected(BN_new());
        BN_rand_range(a.get(), on.get());
        BN_rand_range(b.get(), on.get());
        BN_mod_mul(expected.get(), a.get(), b.get(), on.get(), ctx.get());
        bignum x = from_openssl(a.get(), 64), y = from_openssl(b.get(), 64);
        ASSERT_EQ(bn_mulmod(&x, &y, &n), 0);
        EXPECT_EQ(text(x), text(expected.get()));
    }
}

} // namespace
