// hashlittle with its words read a byte at a time, so that the result depends neither on the
// key's alignment nor on the processor's byte order.
#include "crypto/lookup3.h"

namespace {

inline uint32_t rot(uint32_t x, int k) {
    return (x << k) | (x >> (32 - k));
}

// The first n (0 to 4) bytes of p as a little-endian word, missing bytes 0.
inline uint32_t load_le(const unsigned char *p, size_t n) {
    uint32_t w = 0;
    for (size_t i = 0; i < n; i++) w |= uint32_t(p[i]) << (8 * i);
    return w;
}

inline void mix(uint32_t &a, uint32_t &b, uint32_t &c) {
    a -= c, a ^= rot(c, 4), c += b;
    b -= a, b ^= rot(a, 6), a += c;
    c -= b, c ^= rot(b, 8), b += a;
    a -= c, a ^= rot(c, 16), c += b;
    b -= a, b ^= rot(a, 19), a += c;
    c -= b, c ^= rot(b, 4), b += a;
}

inline void final_mix(uint32_t &a, uint32_t &b, uint32_t &c) {
    c ^= b, c -= rot(b, 14);
    a ^= c, a -= rot(c, 11);
    b ^= a, b -= rot(a, 25);
    c ^= b, c -= rot(b, 16);
    a ^= c, a -= rot(c, 4);
    b ^= a, b -= rot(a, 14);
    c ^= b, c -= rot(b, 24);
}

} // namespace

uint32_t hashlittle(const void *key, size_t length, uint32_t initval) {
    const auto *k = static_cast<const unsigned char *>(key);
    uint32_t a, b, c;
    a = b = c = 0xdeadbeef + uint32_t(length) + initval;

    // All but the last block: the last one (1 to 12 bytes) gets final_mix.
    while (length > 12) {
        a += load_le(k, 4);
        b += load_le(k + 4, 4);
        c += load_le(k + 8, 4);
        mix(a, b, c);
        length -= 12;
        k += 12;
    }
    if (length == 0) return c; // only an empty input ends here
    a += load_le(k, length < 4 ? length : 4);
    if (length > 4) b += load_le(k + 4, length < 8 ? length - 4 : 4);
    if (length > 8) c += load_le(k + 8, length - 8);
    final_mix(a, b, c);
    return c;
}
