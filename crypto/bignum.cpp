// Reduction without division: the table's multiples of n are subtracted from the top down, and
// a longer value is brought down a byte at a time. Products are schoolbook, summed a column at
// a time; powmod squares and multiplies from the exponent's lowest bit.
#include "crypto/bignum.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// The reduction table: T0 = n^2 / 256, T1 = 8, and T_i = n x 8^(i-2) for
// i = 2 ... top, where T_top is the first of them above T0. prepare gives up
// when T_372 is still not above T0.
constexpr int table_limit = 372;
constexpr int scratch_count = 4;
constexpr int table_size = 382;

struct work_area {
    bignum scratch[scratch_count]; // powmod's square; accumulator, radix and digit of reduce
    bignum table[table_size];
};
static_assert(sizeof(work_area) == bn_work_area_size);
static_assert(table_limit < table_size);

std::unique_ptr<work_area> work;
int table_top;                 // 0 while no table is prepared
uint8_t table_low[table_size]; // index of the lowest non-zero limb of T_i

// Limbs covered by x's bits field.
inline int used(const bignum *x) {
    int n = int((x->bits + 15) / 16);
    return n < bn_limbs ? n : bn_limbs;
}

// Sets bits to 16 x the limbs up to the highest non-zero one, looking down
// from limb count n.
inline void normalise(bignum *x, int n) {
    while (n > 0 && x->limbs[n - 1] == 0) n--;
    x->bits = uint32_t(16 * n);
}

// Exact bit length of x.
int bit_length(const bignum *x) {
    for (int i = used(x) - 1; i >= 0; i--)
        if (x->limbs[i]) return 16 * i + 32 - __builtin_clz(x->limbs[i]);
    return 0;
}

// Four limbs from i as one 64-bit word, least significant limb lowest.
inline uint64_t load_word(const uint16_t *limbs, int i) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    uint64_t w;
    memcpy(&w, limbs + i, sizeof w);
    return w;
#else
    return uint64_t(limbs[i]) | uint64_t(limbs[i + 1]) << 16 | uint64_t(limbs[i + 2]) << 32 |
           uint64_t(limbs[i + 3]) << 48;
#endif
}

inline void store_word(uint16_t *limbs, int i, uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    memcpy(limbs + i, &w, sizeof w);
#else
    for (int k = 0; k < 4; k++) limbs[i + k] = uint16_t(w >> (16 * k));
#endif
}

// a -= b for b's limbs from `from` (those below it are known to be 0) up to
// its length, the borrow running on into a's higher limbs. The limbs are
// taken four at a time: the reduction spends most of its time here.
void subtract_from(bignum *a, const bignum *b, int from) {
    const int nb = used(b), na = used(a);
    uint16_t *x = a->limbs;
    const uint16_t *y = b->limbs;
    bool borrow = false;
    int i = from;
    for (; i + 4 <= nb; i += 4) {
        uint64_t d;
        bool b1 = __builtin_sub_overflow(load_word(x, i), load_word(y, i), &d);
        bool b2 = __builtin_sub_overflow(d, uint64_t(borrow), &d);
        store_word(x, i, d);
        borrow = b1 | b2;
    }
    for (; i < nb; i++) {
        uint32_t t = uint32_t(x[i]) - y[i] - borrow;
        x[i] = uint16_t(t);
        borrow = t >> 31;
    }
    for (; borrow && i < na; i++) {
        uint32_t t = uint32_t(x[i]) - 1;
        x[i] = uint16_t(t);
        borrow = t >> 31;
    }
    normalise(a, na > nb ? na : nb);
}

// x = x mod n with the table, for x below 256 x T_top: the top level
// subtracts at most 255 times, each lower one at most 7 times.
void table_reduce(bignum *x) {
    const bignum *t = work->table;
    for (int a = table_top; a >= 2; a--)
        while (bn_compare(x, &t[a])) subtract_from(x, &t[a], table_low[a]);
}

// x = x mod n for any x. A value too long for the table alone is brought
// down a byte at a time from its top: acc = acc x 256 + byte stays below
// 256 x n, within the table's reach.
void reduce(bignum *x, const bignum *n) {
    if (bit_length(x) <= bit_length(&work->table[table_top]) + 7) {
        table_reduce(x);
    } else {
        bignum *acc = &work->scratch[1], *radix = &work->scratch[2], *digit = &work->scratch[3];
        unsigned char bytes[2 * bn_limbs];
        const int count = 2 * used(x);
        bn_to_bytes(x, bytes, size_t(count));
        bn_clear(acc);
        bn_clear(radix);
        radix->limbs[0] = 256;
        radix->bits = 16;
        for (int i = count - 1; i >= 0; i--) {
            bn_clear(digit);
            digit->limbs[0] = bytes[i];
            digit->bits = 16;
            bn_multiply(acc, radix);
            bn_add(acc, digit);
            table_reduce(acc);
        }
        bn_copy(x, acc);
    }
    x->bits = n->bits;
}

} // namespace

void bn_clear(bignum *x) {
    memset(x, 0, sizeof *x);
}

void bn_copy(bignum *dst, const bignum *src) {
    if (dst != src) memcpy(dst, src, sizeof *dst);
}

int bn_compare(const bignum *a, const bignum *b) {
    const int na = used(a), nb = used(b);
    for (int i = (na > nb ? na : nb) - 1; i >= 0; i--)
        if (a->limbs[i] != b->limbs[i]) return a->limbs[i] > b->limbs[i];
    return 1;
}

void bn_add(bignum *a, const bignum *b) {
    const int na = used(a), nb = used(b);
    int n = na > nb ? na : nb;
    if (n > bn_max_limbs) n = bn_max_limbs;
    uint32_t carry = 0;
    for (int i = 0; i < n; i++) {
        uint32_t t = uint32_t(a->limbs[i]) + b->limbs[i] + carry;
        a->limbs[i] = uint16_t(t);
        carry = t >> 16;
    }
    if (carry && n < bn_max_limbs) a->limbs[n++] = uint16_t(carry);
    normalise(a, n);
}

void bn_subtract(bignum *a, const bignum *b) {
    subtract_from(a, b, 0);
}

void bn_multiply(bignum *a, const bignum *b) {
    int na = used(a), nb = used(b);
    while (na > 0 && a->limbs[na - 1] == 0) na--;
    while (nb > 0 && b->limbs[nb - 1] == 0) nb--;
    // Schoolbook with 16 x 16 -> 32-bit partial products, summed a column
    // at a time: up to 130 products of 32 bits and the carry fit in 64 bits.
    uint16_t p[bn_max_limbs] = {};
    const int columns = na + nb - 1 < bn_max_limbs ? na + nb - 1 : bn_max_limbs;
    uint64_t acc = 0;
    for (int k = 0; k < columns; k++) {
        const int first = k < nb ? 0 : k - nb + 1, last = k < na ? k : na - 1;
        for (int i = first; i <= last; i++) acc += uint32_t(a->limbs[i]) * b->limbs[k - i];
        p[k] = uint16_t(acc);
        acc >>= 16;
    }
    if (columns >= 0 && columns < bn_max_limbs) p[columns] = uint16_t(acc);
    memcpy(a->limbs, p, bn_max_limbs * sizeof p[0]);
    memset(a->limbs + bn_max_limbs, 0, (bn_limbs - bn_max_limbs) * sizeof p[0]);
    normalise(a, bn_max_limbs);
}

void bn_shift_right_8(bignum *a) {
    const int n = used(a);
    for (int i = 0; i < n; i++) {
        unsigned next = i + 1 < bn_limbs ? a->limbs[i + 1] : 0;
        a->limbs[i] = uint16_t(a->limbs[i] >> 8 | next << 8);
    }
    a->bits = a->bits >= 8 ? a->bits - 8 : 0;
}

void bn_from_bytes(bignum *x, const unsigned char *bytes, size_t n) {
    bn_clear(x);
    if (n > 2 * bn_limbs) n = 2 * bn_limbs;
    for (size_t i = 0; i < n; i++) x->limbs[i / 2] |= uint16_t(bytes[i] << (8 * (i % 2)));
    x->bits = uint32_t(16 * ((n + 1) / 2));
}

void bn_to_bytes(const bignum *x, unsigned char *bytes, size_t n) {
    for (size_t i = 0; i < n; i++)
        bytes[i] = i / 2 < bn_limbs ? uint8_t(x->limbs[i / 2] >> (8 * (i % 2))) : 0;
}

int bn_acquire() {
    if (work) return -1;
    work.reset(new (std::nothrow) work_area);
    table_top = 0;
    return work ? 0 : -1;
}

void bn_release() {
    work.reset();
    table_top = 0;
}

int bn_prepare(const bignum *n) {
    table_top = 0;
    if (!work) return -1;
    int nn = used(n);
    while (nn > 0 && n->limbs[nn - 1] == 0) nn--;
    if (nn > bn_modulus_limbs) return -1;

    bignum *t = work->table;
    bn_copy(&t[0], n);
    bn_multiply(&t[0], n);
    bn_shift_right_8(&t[0]);
    bn_clear(&t[1]);
    t[1].limbs[0] = 8;
    t[1].bits = 4;
    bn_copy(&t[2], n);
    for (int i = 2; i <= table_limit; i++) {
        if (!bn_compare(&t[0], &t[i])) { // T_i > T0
            for (int k = 2; k <= i; k++) {
                int low = 0;
                while (t[k].limbs[low] == 0) low++;
                table_low[k] = uint8_t(low);
            }
            table_top = i;
            return 0;
        }
        if (i == table_limit) break;
        bn_copy(&t[i + 1], &t[i]);
        bn_multiply(&t[i + 1], &t[1]);
    }
    return 1;
}

int bn_mulmod(bignum *a, const bignum *b, const bignum *n) {
    if (!work || table_top == 0) return -1;
    bn_multiply(a, b);
    reduce(a, n);
    return 0;
}

int bn_powmod(bignum *r, const bignum *e, const bignum *n) {
    if (!work || table_top == 0) return -1;
    bignum *s = &work->scratch[0];
    bn_copy(s, r);
    reduce(s, n);
    bn_clear(r);
    r->limbs[0] = 1;
    r->bits = 16;
    reduce(r, n); // 1 mod n: 0 when n = 1
    // The squaring after the highest set bit of e would not change r.
    const int nbits = bit_length(e);
    for (int i = 0; i < nbits; i++) {
        if (e->limbs[i / 16] >> (i % 16) & 1) bn_mulmod(r, s, n);
        if (i + 1 < nbits) bn_mulmod(s, s, n);
    }
    return 0;
}
