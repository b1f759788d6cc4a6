// The compression function unrolled, with F and G in shorter forms that give the same bits.
// Whole blocks are digested straight from the caller's bytes; only a partial block is buffered.
#include "crypto/md5.h"

#include "core/byteorder.h"

#include <cstring>

namespace {

inline uint32_t rol(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// The 16 little-endian message words of a block.
inline void load_block(uint32_t x[16], const unsigned char *p) {
    for (int i = 0; i < 16; i++) x[i] = load_le32(p + 4 * i);
}

// The four rounds' steps. F and G are written in forms with fewer dependent
// operations than the textbook ones; both give the same bits. In G the two
// masked terms never share a bit, so they can be added instead of or-ed.
#define STEP_F(a, b, c, d, x, s, t) a = b + rol(a + (d ^ (b & (c ^ d))) + x + t, s)
#define STEP_G(a, b, c, d, x, s, t) a = b + rol(a + (~d & c) + x + t + (d & b), s)
#define STEP_H(a, b, c, d, x, s, t) a = b + rol(a + (b ^ c ^ d) + x + t, s)
#define STEP_I(a, b, c, d, x, s, t) a = b + rol(a + (c ^ (b | ~d)) + x + t, s)

// Runs the compression function over n consecutive 64-byte blocks.
void transform(uint32_t state[4], const unsigned char *p, size_t n) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; n > 0; n--, p += 64) {
        uint32_t x[16];
        load_block(x, p);
        const uint32_t aa = a, bb = b, cc = c, dd = d;

        STEP_F(a, b, c, d, x[0], 7, 0xd76aa478);
        STEP_F(d, a, b, c, x[1], 12, 0xe8c7b756);
        STEP_F(c, d, a, b, x[2], 17, 0x242070db);
        STEP_F(b, c, d, a, x[3], 22, 0xc1bdceee);
        STEP_F(a, b, c, d, x[4], 7, 0xf57c0faf);
        STEP_F(d, a, b, c, x[5], 12, 0x4787c62a);
        STEP_F(c, d, a, b, x[6], 17, 0xa8304613);
        STEP_F(b, c, d, a, x[7], 22, 0xfd469501);
        STEP_F(a, b, c, d, x[8], 7, 0x698098d8);
        STEP_F(d, a, b, c, x[9], 12, 0x8b44f7af);
        STEP_F(c, d, a, b, x[10], 17, 0xffff5bb1);
        STEP_F(b, c, d, a, x[11], 22, 0x895cd7be);
        STEP_F(a, b, c, d, x[12], 7, 0x6b901122);
        STEP_F(d, a, b, c, x[13], 12, 0xfd987193);
        STEP_F(c, d, a, b, x[14], 17, 0xa679438e);
        STEP_F(b, c, d, a, x[15], 22, 0x49b40821);

        STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
        STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
        STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
        STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
        STEP_G(d, a, b, c, x[10], 9, 0x02441453);
        STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
        STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
        STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
        STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
        STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
        STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
        STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
        STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
        STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        STEP_H(a, b, c, d, x[5], 4, 0xfffa3942);
        STEP_H(d, a, b, c, x[8], 11, 0x8771f681);
        STEP_H(c, d, a, b, x[11], 16, 0x6d9d6122);
        STEP_H(b, c, d, a, x[14], 23, 0xfde5380c);
        STEP_H(a, b, c, d, x[1], 4, 0xa4beea44);
        STEP_H(d, a, b, c, x[4], 11, 0x4bdecfa9);
        STEP_H(c, d, a, b, x[7], 16, 0xf6bb4b60);
        STEP_H(b, c, d, a, x[10], 23, 0xbebfbc70);
        STEP_H(a, b, c, d, x[13], 4, 0x289b7ec6);
        STEP_H(d, a, b, c, x[0], 11, 0xeaa127fa);
        STEP_H(c, d, a, b, x[3], 16, 0xd4ef3085);
        STEP_H(b, c, d, a, x[6], 23, 0x04881d05);
        STEP_H(a, b, c, d, x[9], 4, 0xd9d4d039);
        STEP_H(d, a, b, c, x[12], 11, 0xe6db99e5);
        STEP_H(c, d, a, b, x[15], 16, 0x1fa27cf8);
        STEP_H(b, c, d, a, x[2], 23, 0xc4ac5665);

        STEP_I(a, b, c, d, x[0], 6, 0xf4292244);
        STEP_I(d, a, b, c, x[7], 10, 0x432aff97);
        STEP_I(c, d, a, b, x[14], 15, 0xab9423a7);
        STEP_I(b, c, d, a, x[5], 21, 0xfc93a039);
        STEP_I(a, b, c, d, x[12], 6, 0x655b59c3);
        STEP_I(d, a, b, c, x[3], 10, 0x8f0ccc92);
        STEP_I(c, d, a, b, x[10], 15, 0xffeff47d);
        STEP_I(b, c, d, a, x[1], 21, 0x85845dd1);
        STEP_I(a, b, c, d, x[8], 6, 0x6fa87e4f);
        STEP_I(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        STEP_I(c, d, a, b, x[6], 15, 0xa3014314);
        STEP_I(b, c, d, a, x[13], 21, 0x4e0811a1);
        STEP_I(a, b, c, d, x[4], 6, 0xf7537e82);
        STEP_I(d, a, b, c, x[11], 10, 0xbd3af235);
        STEP_I(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        STEP_I(b, c, d, a, x[9], 21, 0xeb86d391);

        a += aa, b += bb, c += cc, d += dd;
    }
    state[0] = a, state[1] = b, state[2] = c, state[3] = d;
}

#undef STEP_F
#undef STEP_G
#undef STEP_H
#undef STEP_I

md5_context stream_context;

} // namespace

void md5_init(md5_context *ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->count[0] = ctx->count[1] = 0;
}

void md5_update(md5_context *ctx, const void *data, size_t length) {
    if (length == 0) return;
    const auto *p = static_cast<const unsigned char *>(data);
    size_t used = (ctx->count[0] >> 3) & 63;
    uint64_t bits = (uint64_t(ctx->count[1]) << 32 | ctx->count[0]) + (uint64_t(length) << 3);
    ctx->count[0] = uint32_t(bits);
    ctx->count[1] = uint32_t(bits >> 32);

    if (used > 0) {
        size_t take = 64 - used;
        if (length < take) {
            memcpy(ctx->buffer + used, p, length);
            return;
        }
        memcpy(ctx->buffer + used, p, take);
        transform(ctx->state, ctx->buffer, 1);
        p += take;
        length -= take;
    }
    // Whole blocks straight from the caller's bytes, the rest into the buffer.
    transform(ctx->state, p, length / 64);
    memcpy(ctx->buffer, p + (length & ~size_t(63)), length & 63);
}

void md5_final(md5_context *ctx, unsigned char digest[md5_digest_size]) {
    unsigned char tail[72] = {0x80};
    unsigned char length[8];
    store_le32(length, ctx->count[0]);
    store_le32(length + 4, ctx->count[1]);
    // Pad with 0x80 and zeros to 56 bytes modulo 64, then the bit length.
    size_t used = (ctx->count[0] >> 3) & 63;
    md5_update(ctx, tail, used < 56 ? 56 - used : 120 - used);
    md5_update(ctx, length, 8);
    for (int i = 0; i < 4; i++) store_le32(digest + 4 * i, ctx->state[i]);
    memset(ctx, 0, sizeof *ctx);
}

int md5_stream(int stage, const void *data, size_t length, unsigned char *digest) {
    switch (stage) {
    case md5_stage_init: md5_init(&stream_context); return 0;
    case md5_stage_update: md5_update(&stream_context, data, length); return 0;
    case md5_stage_final: md5_final(&stream_context, digest); return 0;
    default: return -1;
    }
}
