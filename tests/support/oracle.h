// Test support: OpenSSL as an independent oracle for the crypto modules, and
// reproducible random bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <random>
#include <string>
#include <vector>

using bytes = std::vector<unsigned char>;

struct openssl_free {
    void operator()(BIGNUM *b) const { BN_free(b); }
    void operator()(BN_CTX *c) const { BN_CTX_free(c); }
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using unique_bn = std::unique_ptr<BIGNUM, openssl_free>;
using unique_bn_ctx = std::unique_ptr<BN_CTX, openssl_free>;
using unique_pkey = std::unique_ptr<EVP_PKEY, openssl_free>;

// A little-endian byte string as a BIGNUM, and back as n bytes (zero-padded).
unique_bn bn_from_le(const unsigned char *data, size_t n);
bytes bn_to_le(const BIGNUM *b, size_t n);
// The value of b when it fits 64 bits (BN_get_word holds only a machine word,
// 32 bits on armhf); throws otherwise.
uint64_t bn_to_u64(const BIGNUM *b);

// The private or public key in a PEM file (null when unreadable).
unique_pkey load_pem_key(const std::string &path);
// The RSA key's modulus and public exponent.
unique_bn rsa_modulus(EVP_PKEY *key);
unique_bn rsa_exponent(EVP_PKEY *key);

// The textbook RSA private operation on a 128-byte little-endian block:
// what a signer produces for the block (which must be below the modulus).
bytes rsa_private_block(EVP_PKEY *key, const bytes &block);

std::array<unsigned char, 16> oracle_md5(const void *data, size_t n);
// AES-CBC encryption of whole blocks without padding.
bytes oracle_cbc_encrypt(const bytes &key, const bytes &iv, const bytes &plaintext);

// The layout of a 144-byte public-key record, built here from OpenSSL's
// numbers and checked field by field (the checksum is left to the caller).
void expect_key_record_layout(const bytes &record, EVP_PKEY *key, unsigned exponent_words);

// The whole contents of path (empty when it cannot be read).
bytes read_bytes(const std::string &path);
// Path of a file in the repository's keys/development.
std::string development_key(const std::string &file);

// Bytes from "hex text" (spaces ignored).
bytes from_hex(const std::string &hex);
std::string to_hex(const unsigned char *data, size_t n);

// n random bytes from a generator the test seeds, so a failure can be replayed.
bytes random_bytes(std::mt19937_64 &rng, size_t n);
// The same as text: n bytes from a generator seeded with seed.
std::string random_text(size_t n, uint64_t seed);
// v as four little-endian bytes of text.
std::string le32_text(uint32_t v);
