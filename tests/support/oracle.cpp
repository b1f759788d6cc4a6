// OpenSSL's side: big numbers as little-endian bytes, PEM keys, the raw RSA private operation,
// MD5 and AES-CBC without padding, and the key record layout checked against a key's numbers;
// then hex and random-byte helpers.
#include "tests/support/oracle.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <stdexcept>

unique_bn bn_from_le(const unsigned char *data, size_t n) {
    return unique_bn(BN_lebin2bn(data, int(n), nullptr));
}

bytes bn_to_le(const BIGNUM *b, size_t n) {
    bytes out(n);
    if (BN_bn2lebinpad(b, out.data(), int(n)) < 0) throw std::runtime_error("number too long");
    return out;
}

uint64_t bn_to_u64(const BIGNUM *b) {
    const bytes le = bn_to_le(b, 8);
    uint64_t v = 0;
    for (size_t i = 8; i-- > 0;) v = v << 8 | le[i];
    return v;
}

unique_pkey load_pem_key(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (!f) return nullptr;
    EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    if (!key) {
        rewind(f);
        key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
    }
    fclose(f);
    return unique_pkey(key);
}

namespace {

unique_bn rsa_param(EVP_PKEY *key, const char *name) {
    BIGNUM *b = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &b) != 1) throw std::runtime_error("not an RSA key");
    return unique_bn(b);
}

} // namespace

unique_bn rsa_modulus(EVP_PKEY *key) {
    return rsa_param(key, OSSL_PKEY_PARAM_RSA_N);
}
unique_bn rsa_exponent(EVP_PKEY *key) {
    return rsa_param(key, OSSL_PKEY_PARAM_RSA_E);
}

bytes rsa_private_block(EVP_PKEY *key, const bytes &block) {
    unique_bn n = rsa_modulus(key), d = rsa_param(key, OSSL_PKEY_PARAM_RSA_D);
    unique_bn m = bn_from_le(block.data(), block.size());
    unique_bn s(BN_new());
    unique_bn_ctx ctx(BN_CTX_new());
    if (!BN_mod_exp(s.get(), m.get(), d.get(), n.get(), ctx.get()))
        throw std::runtime_error("BN_mod_exp failed");
    return bn_to_le(s.get(), 128);
}

std::array<unsigned char, 16> oracle_md5(const void *data, size_t n) {
    std::array<unsigned char, 16> digest;
    unsigned size = 0;
    if (!EVP_Digest(data, n, digest.data(), &size, EVP_md5(), nullptr) || size != 16)
        throw std::runtime_error("EVP_Digest failed");
    return digest;
}

bytes oracle_cbc_encrypt(const bytes &key, const bytes &iv, const bytes &plaintext) {
    const EVP_CIPHER *cipher = key.size() == 16   ? EVP_aes_128_cbc()
                               : key.size() == 24 ? EVP_aes_192_cbc()
                                                  : EVP_aes_256_cbc();
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    bytes out(plaintext.size() + 16);
    int n = 0, tail = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv.data()) &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) &&
              EVP_EncryptUpdate(ctx, out.data(), &n, plaintext.data(), int(plaintext.size())) &&
              EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) throw std::runtime_error("AES-CBC encryption failed");
    out.resize(size_t(n + tail));
    return out;
}

void expect_key_record_layout(const bytes &record, EVP_PKEY *key, unsigned exponent_words) {
    ASSERT_EQ(record.size(), 144u);
    unique_bn n = rsa_modulus(key), e = rsa_exponent(key);
    EXPECT_EQ(record[0] | record[1] << 8, (BN_num_bits(n.get()) + 15) / 16);
    EXPECT_EQ(bytes(record.begin() + 2, record.begin() + 130), bn_to_le(n.get(), 128));
    EXPECT_EQ(record[130] | record[131] << 8, int(exponent_words));
    EXPECT_EQ(bytes(record.begin() + 132, record.begin() + 140), bn_to_le(e.get(), 8));
}

bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), {});
}

std::string development_key(const std::string &file) {
    return std::string(VARITOOL_SOURCE_DIR) + "/keys/development/" + file;
}

bytes from_hex(const std::string &hex) {
    bytes out;
    std::string digits;
    std::copy_if(hex.begin(), hex.end(), std::back_inserter(digits),
                 [](char c) { return c != ' '; });
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

std::string to_hex(const unsigned char *data, size_t n) {
    std::string s;
    char buf[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(buf, sizeof buf, "%02x", data[i]);
        s += buf;
    }
    return s;
}

bytes random_bytes(std::mt19937_64 &rng, size_t n) {
    bytes out(n);
    for (unsigned char &b : out) b = uint8_t(rng());
    return out;
}

std::string random_text(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    const bytes b = random_bytes(rng, n);
    return std::string(b.begin(), b.end());
}

std::string le32_text(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}
