// The textbook RSA public operation (no padding scheme) with keys loaded from
// 144-byte key records (crypto/keyrec.h).
#pragma once

#include "crypto/bignum.h"

#include <cstddef>

inline constexpr size_t rsa_block_size = 128; // a 1024-bit value, little-endian

struct rsa_key {
    bignum modulus;  // at most 1024 bits
    bignum exponent; // at most 64 bits
};

// Loads a key record (its checksum is not looked at): modulus bits = 16 m,
// exponent bits = 16 x. Returns 0, or 1 when record is null, m > 64 or x > 4
// (a record has room for 4 exponent words and nothing is read past it).
int rsa_load_key(rsa_key *key, const unsigned char *record);

// value = value^exponent mod modulus, within bn_acquire / bn_release.
// Returns 0, or 1 when the reduction table cannot be built (a zero modulus)
// or the work area is not held.
int rsa_public_op(const rsa_key *key, bignum *value);

// Replaces the 128-byte little-endian block by the public operation's result
// with the key of record, taking and giving back the work area. Returns 0;
// 1 on any failure, the block then left as it was.
int rsa_transform(const unsigned char *record, unsigned char block[rsa_block_size]);
