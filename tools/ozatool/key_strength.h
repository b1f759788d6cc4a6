// The rule the host tools hold public keys to before they put one into a
// record or a key store. The device compares only the first 16 bytes (the
// low 128 bits) of the transformed signature block with the digest, so with
// a small public exponent a signature can be forged without the private key:
// for e = 3 a cube root of the digest modulo 2^128 is a signature, since its
// cube stays far below the modulus. An exponent of at least 65537 makes the
// power wrap around the modulus, and a modulus of 1024 bits (the most a
// record holds) keeps the key out of reach of factoring. The device itself
// accepts whatever record it is given; only the tools refuse. Header-only:
// ozatool and the device box's tool share it.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint64_t key_least_exponent = 65537;
inline constexpr unsigned key_least_modulus_bits = 1024;

// The option that lets a tool make or store a weak key anyway (for tests
// that need such records); the tool then prints a warning.
inline constexpr const char allow_weak_key_option[] = "--allow-weak-key";

// The reason a key of this size is weak, or "" when it is not.
inline std::string key_weakness(unsigned modulus_bits, uint64_t exponent) {
    std::string why;
    if (exponent < key_least_exponent)
        why = "public exponent " + std::to_string(exponent) +
              " is below 65537: the device compares only the first 16 bytes of the transformed "
              "signature block, so with a small exponent anyone can forge a signature without "
              "the private key";
    if (modulus_bits < key_least_modulus_bits)
        why += std::string(why.empty() ? "" : "; ") + "modulus of " + std::to_string(modulus_bits) +
               " bits is below 1024: a modulus that small can be factored and the private key "
               "recovered";
    return why;
}

// The modulus size in bits and the exponent of a 144-byte public-key
// record (little-endian words: u16 m, 64 modulus words, u16 x, 4 exponent
// words). False when the record announces more words than it holds.
inline bool key_record_numbers(const unsigned char *record, unsigned *modulus_bits,
                               uint64_t *exponent) {
    auto word = [record](unsigned at) { return unsigned(record[at] | record[at + 1] << 8); };
    const unsigned m = word(0), x = word(130);
    if (m > 64 || x > 4) return false;
    *modulus_bits = 0;
    for (unsigned i = 0; i < m; i++)
        for (unsigned b = 0; b < 16; b++)
            if (word(2 + 2 * i) >> b & 1) *modulus_bits = 16 * i + b + 1;
    *exponent = 0;
    for (unsigned i = 0; i < x; i++) *exponent |= uint64_t(word(132 + 2 * i)) << (16 * i);
    return true;
}

// The reason a public-key record is weak or unusable, or "".
inline std::string key_record_weakness(const unsigned char *record) {
    unsigned bits = 0;
    uint64_t exponent = 0;
    if (!key_record_numbers(record, &bits, &exponent))
        return "the record announces more modulus or exponent words than it holds";
    return key_weakness(bits, exponent);
}
