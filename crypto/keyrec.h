// Stored key records: the 144-byte RSA public-key record with its lookup3
// checksum, the AES key record, and the records built into the program.
#pragma once

#include <cstddef>
#include <cstdint>

// Public-key record, all integers little-endian:
//   0   u16 m, modulus length in 16-bit words (at most 64)
//   2   64 u16 modulus words, least significant first (the first m are used)
//   130 u16 x, exponent length in 16-bit words (at most 4)
//   132 4 u16 exponent words, least significant first
//   140 u32 checksum: hashlittle of bytes 0 to 139 with key_record_seed
inline constexpr size_t key_record_size = 144;
inline constexpr size_t key_record_modulus = 2;
inline constexpr size_t key_record_exponent_words = 130;
inline constexpr size_t key_record_exponent = 132;
inline constexpr size_t key_record_checksum_offset = 140;
inline constexpr unsigned key_record_max_modulus_words = 64;
inline constexpr unsigned key_record_max_exponent_words = 4;
inline constexpr uint32_t key_record_seed = 0x0BADC0DE;

// AES key record: u16 key size in bits, then the key bytes. The stored one
// and the built-in one hold a 128-bit key.
inline constexpr size_t aes_key_record_size = 18;

// The checksum a public-key record should carry (hashlittle of its first 140 bytes).
uint32_t key_record_checksum(const unsigned char *record);
// True when the record's stored checksum matches its contents.
bool key_record_valid(const unsigned char *record);

// Deployment data built into the program: the public key of signature slot 5
// (one exponent word), the fallback public key used when a stored record is
// unusable (four exponent words), and the default AES key record.
extern const unsigned char builtin_slot5_key[key_record_size];
extern const unsigned char builtin_fallback_key[key_record_size];
extern const unsigned char builtin_aes_key[aes_key_record_size];
