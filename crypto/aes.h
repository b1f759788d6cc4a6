// AES decryption (FIPS-197) for 128, 192 and 256-bit keys, one block at a time
// or in CBC mode. The lookup tables are computed the first time a key is set
// up; the program stores none.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t aes_block_size = 16;

struct aes_context {
    uint32_t enc_keys[60]; // expanded encryption schedule, 4 words a round
    uint32_t dec_keys[60]; // round keys of the equivalent inverse cipher
    int rounds;            // 10, 12 or 14
};

// Expands key (bits / 8 bytes) for decryption. Returns 0, or 1 when bits is
// not 128, 192 or 256 (the context is then left untouched).
int aes_set_decrypt_key(aes_context *ctx, const unsigned char *key, unsigned bits);

// Expands the key of an AES key record of size bytes (u16 key size in bits,
// little-endian, then the key bytes). Returns 0, or 1 when the size is not
// 128, 192 or 256 bits or the record is too short for the key it announces.
int aes_set_key_record(aes_context *ctx, const unsigned char *record, size_t size);

// Decrypts one 16-byte block; in and out may be the same block.
void aes_decrypt_block(const aes_context *ctx, const unsigned char in[aes_block_size],
                       unsigned char out[aes_block_size]);

// Decrypts the length / 16 whole blocks of buffer in place in CBC mode:
// plaintext i = decrypt(C_i) XOR C_(i-1), with C_(-1) = iv. Trailing bytes
// short of a block are left as they are. iv is not changed: to go on with
// the next call, the caller passes the last cipher block of this one.
void aes_cbc_decrypt(const aes_context *ctx, unsigned char *buffer, size_t length,
                     const unsigned char iv[aes_block_size]);
