// The equivalent inverse cipher: four tables of InvSubBytes and InvMixColumns for a byte of
// each row, built from GF(2^8) arithmetic on the first key set-up, and the expanded key
// reversed, its inner round keys through InvMixColumns.
#include "crypto/aes.h"

#include "core/byteorder.h"

#include <cstring>

namespace {

// Tables built from the field arithmetic of GF(2^8) on first use. Words hold
// a column's four bytes little-endian: row 0 in the low byte.
struct aes_tables {
    uint8_t sbox[256];
    uint8_t inv_sbox[256];
    uint8_t rcon[10];
    uint32_t td[4][256]; // InvSubBytes + InvMixColumns of one byte in row r
};

aes_tables tab;

inline uint8_t xtime(uint8_t x) {
    return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1b : 0));
}

uint8_t gf_multiply(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1) p ^= a;
    return p;
}

// Rotation left by k = 0 to 31 bits.
inline uint32_t rotl(uint32_t x, int k) {
    return (x << k) | (x >> ((32 - k) & 31));
}

void build_tables() {
    // Powers and logarithms of the generator 3 give the multiplicative inverses.
    uint8_t pow[255], log[256] = {};
    uint8_t x = 1;
    for (int i = 0; i < 255; i++) {
        pow[i] = x;
        log[x] = uint8_t(i);
        x ^= xtime(x);
    }
    for (int i = 0; i < 256; i++) {
        uint8_t inv = i ? pow[(255 - log[i]) % 255] : 0;
        // Affine transformation: b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63.
        unsigned s = inv;
        s ^= (s << 1) ^ (s << 2) ^ (s << 3) ^ (s << 4);
        s = (s ^ (s >> 8) ^ 0x63) & 0xff;
        tab.sbox[i] = uint8_t(s);
        tab.inv_sbox[s] = uint8_t(i);
    }
    x = 1;
    for (uint8_t &r : tab.rcon) {
        r = x;
        x = xtime(x);
    }
    for (int i = 0; i < 256; i++) {
        uint8_t s = tab.inv_sbox[i];
        uint32_t w = uint32_t(gf_multiply(s, 0x0e)) | uint32_t(gf_multiply(s, 0x09)) << 8 |
                     uint32_t(gf_multiply(s, 0x0d)) << 16 | uint32_t(gf_multiply(s, 0x0b)) << 24;
        for (int r = 0; r < 4; r++) tab.td[r][i] = rotl(w, 8 * r);
    }
}

inline uint32_t sub_word(uint32_t w) {
    return uint32_t(tab.sbox[w & 0xff]) | uint32_t(tab.sbox[(w >> 8) & 0xff]) << 8 |
           uint32_t(tab.sbox[(w >> 16) & 0xff]) << 16 | uint32_t(tab.sbox[w >> 24]) << 24;
}

// InvMixColumns of one column: the inverse tables undo the S-box they start
// with when fed S-box outputs.
inline uint32_t inv_mix_column(uint32_t w) {
    return tab.td[0][tab.sbox[w & 0xff]] ^ tab.td[1][tab.sbox[(w >> 8) & 0xff]] ^
           tab.td[2][tab.sbox[(w >> 16) & 0xff]] ^ tab.td[3][tab.sbox[w >> 24]];
}

inline uint32_t b0(uint32_t w) {
    return w & 0xff;
}
inline uint32_t b1(uint32_t w) {
    return (w >> 8) & 0xff;
}
inline uint32_t b2(uint32_t w) {
    return (w >> 16) & 0xff;
}
inline uint32_t b3(uint32_t w) {
    return w >> 24;
}

// One block through the equivalent inverse cipher; in and out may overlap.
inline void decrypt(const aes_context *ctx, const unsigned char *in, unsigned char *out) {
    const uint32_t *rk = ctx->dec_keys;
    const uint32_t(&t0)[256] = tab.td[0], (&t1)[256] = tab.td[1];
    const uint32_t(&t2)[256] = tab.td[2], (&t3)[256] = tab.td[3];
    uint32_t s0 = load_le32(in) ^ rk[0], s1 = load_le32(in + 4) ^ rk[1];
    uint32_t s2 = load_le32(in + 8) ^ rk[2], s3 = load_le32(in + 12) ^ rk[3];
    // InvShiftRows moves row r of column c to column c + r, so output column c
    // takes row r from input column c - r.
    for (int round = 1; round < ctx->rounds; round++) {
        rk += 4;
        uint32_t u0 = t0[b0(s0)] ^ t1[b1(s3)] ^ t2[b2(s2)] ^ t3[b3(s1)] ^ rk[0];
        uint32_t u1 = t0[b0(s1)] ^ t1[b1(s0)] ^ t2[b2(s3)] ^ t3[b3(s2)] ^ rk[1];
        uint32_t u2 = t0[b0(s2)] ^ t1[b1(s1)] ^ t2[b2(s0)] ^ t3[b3(s3)] ^ rk[2];
        uint32_t u3 = t0[b0(s3)] ^ t1[b1(s2)] ^ t2[b2(s1)] ^ t3[b3(s0)] ^ rk[3];
        s0 = u0, s1 = u1, s2 = u2, s3 = u3;
    }
    rk += 4;
    const uint8_t *is = tab.inv_sbox;
    auto last = [is](uint32_t r0, uint32_t r1, uint32_t r2, uint32_t r3, uint32_t k) {
        return (uint32_t(is[b0(r0)]) | uint32_t(is[b1(r1)]) << 8 | uint32_t(is[b2(r2)]) << 16 |
                uint32_t(is[b3(r3)]) << 24) ^
               k;
    };
    store_le32(out, last(s0, s3, s2, s1, rk[0]));
    store_le32(out + 4, last(s1, s0, s3, s2, rk[1]));
    store_le32(out + 8, last(s2, s1, s0, s3, rk[2]));
    store_le32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

} // namespace

int aes_set_decrypt_key(aes_context *ctx, const unsigned char *key, unsigned bits) {
    if (bits != 128 && bits != 192 && bits != 256) return 1;
    static const bool built = (build_tables(), true);
    (void)built;

    const int nk = int(bits / 32);
    const int rounds = nk + 6;
    const int words = 4 * (rounds + 1);
    uint32_t *w = ctx->enc_keys;
    for (int i = 0; i < nk; i++) w[i] = load_le32(key + 4 * i);
    for (int i = nk; i < words; i++) {
        uint32_t t = w[i - 1];
        if (i % nk == 0)
            t = sub_word(rotl(t, 24)) ^ tab.rcon[i / nk - 1]; // RotWord is a right turn here
        else if (nk > 6 && i % nk == 4)
            t = sub_word(t);
        w[i] = w[i - nk] ^ t;
    }
    ctx->rounds = rounds;

    // Round keys in reverse order, the inner ones through InvMixColumns.
    uint32_t *d = ctx->dec_keys;
    for (int round = 0; round <= rounds; round++) {
        const uint32_t *e = w + 4 * (rounds - round);
        for (int c = 0; c < 4; c++)
            d[4 * round + c] = (round == 0 || round == rounds) ? e[c] : inv_mix_column(e[c]);
    }
    return 0;
}

int aes_set_key_record(aes_context *ctx, const unsigned char *record, size_t size) {
    if (size < 2) return 1;
    const unsigned bits = load_le16(record);
    if (size - 2 < bits / 8) return 1;
    return aes_set_decrypt_key(ctx, record + 2, bits);
}

void aes_decrypt_block(const aes_context *ctx, const unsigned char in[aes_block_size],
                       unsigned char out[aes_block_size]) {
    decrypt(ctx, in, out);
}

void aes_cbc_decrypt(const aes_context *ctx, unsigned char *buffer, size_t length,
                     const unsigned char iv[aes_block_size]) {
    unsigned char chain[aes_block_size], cipher[aes_block_size];
    memcpy(chain, iv, aes_block_size);
    for (size_t n = length / aes_block_size; n > 0; n--, buffer += aes_block_size) {
        memcpy(cipher, buffer, aes_block_size);
        decrypt(ctx, buffer, buffer);
        for (size_t i = 0; i < aes_block_size; i++) buffer[i] ^= chain[i];
        memcpy(chain, cipher, aes_block_size);
    }
}
