// Unsigned big numbers of 16-bit limbs for the RSA public operation on
// moduli of up to 1024 bits. Operations work in place on their first
// argument. Modular arithmetic needs the work area (bn_acquire) and a
// reduction table built for the modulus (bn_prepare); both are module-wide,
// so one modular computation runs at a time.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int bn_limbs = 130;     // storage of one number
inline constexpr int bn_max_limbs = 128; // sums and products are kept to 2048 bits
inline constexpr int bn_modulus_limbs = 64;
inline constexpr size_t bn_work_area_size = 101904;

struct bignum {
    uint32_t bits;            // length in bits; 16 x the limbs in use after arithmetic
    uint16_t limbs[bn_limbs]; // least significant first; limbs past the length are 0
};
static_assert(sizeof(bignum) == 264);

// x = 0.
void bn_clear(bignum *x);
// dst = src.
void bn_copy(bignum *dst, const bignum *src);
// 1 when a >= b, else 0.
int bn_compare(const bignum *a, const bignum *b);
// a = a + b, kept to 128 limbs (a carry out of the top limb is dropped).
void bn_add(bignum *a, const bignum *b);
// a = a - b; a must not be below b.
void bn_subtract(bignum *a, const bignum *b);
// a = a x b, kept to 128 limbs (higher limbs of the product are dropped).
void bn_multiply(bignum *a, const bignum *b);
// a = a / 256; bits goes down by 8.
void bn_shift_right_8(bignum *a);

// Sets x from n (at most 260) little-endian bytes: byte 2i is the low byte of
// limb i; bits = 16 x the limbs the bytes fill.
void bn_from_bytes(bignum *x, const unsigned char *bytes, size_t n);
// Writes the low n bytes of x little-endian (limbs past storage read as 0).
void bn_to_bytes(const bignum *x, unsigned char *bytes, size_t n);

// Takes the work area: one allocation of bn_work_area_size bytes holding the
// scratch numbers and the reduction table. Returns 0, or -1 when memory is
// short or the area is held already.
int bn_acquire();
// Gives the work area back (and forgets the reduction table).
void bn_release();

// Holds the work area from bn_acquire to the end of the scope.
class bn_work_hold {
public:
    bn_work_hold() : held_(bn_acquire() == 0) {}
    bn_work_hold(const bn_work_hold &) = delete;
    bn_work_hold &operator=(const bn_work_hold &) = delete;
    ~bn_work_hold() {
        if (held_) bn_release();
    }
    bool held() const { return held_; }

private:
    bool held_;
};

// Builds the reduction table for modulus n (at most 64 limbs) in the work
// area. Returns 0, or non-zero without the area, for a longer modulus, or
// when the table cannot be built (n = 0).
int bn_prepare(const bignum *n);
// a = a x b mod n for the prepared n. Returns 0, or -1 when no table is prepared.
int bn_mulmod(bignum *a, const bignum *b, const bignum *n);
// r = r^e mod n for the prepared n, right to left over the bits of e; r may
// be any value, not only one below n. Returns 0, or -1 when no table is prepared.
int bn_powmod(bignum *r, const bignum *e, const bignum *n);
