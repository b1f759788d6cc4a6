// Inputs become memfd files reached through /proc/self/fd, one per name, rewritten for each
// input. Update blocks are signed with the development private keys (raw RSA over the MD5
// digest) and data enciphered in AES-128-CBC, both through OpenSSL.
#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

const char *memory_file(const char *name, const void *data, size_t size) {
    struct file {
        int fd;
        std::string path;
    };
    static std::map<std::string, file> files;
    auto it = files.find(name);
    if (it == files.end()) {
        const int fd = memfd_create(name, 0);
        if (fd < 0) abort();
        it = files.emplace(name, file{fd, "/proc/self/fd/" + std::to_string(fd)}).first;
    }
    const int fd = it->second.fd;
    if (ftruncate(fd, 0) != 0 ||
        (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)))
        abort();
    return it->second.path.c_str();
}

std::vector<unsigned char> development_file(const std::string &file) {
    const std::string path = std::string(VARITOOL_SOURCE_DIR) + "/keys/development/" + file;
    FILE *in = fopen(path.c_str(), "rb");
    if (in == nullptr) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        abort();
    }
    std::vector<unsigned char> bytes;
    for (int c; (c = fgetc(in)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
    fclose(in);
    return bytes;
}

namespace {

struct bn_free {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using unique_bn = std::unique_ptr<BIGNUM, bn_free>;

struct private_key {
    unique_bn modulus, exponent;
};

private_key load_private_key(const std::string &pem) {
    const std::string path = std::string(VARITOOL_SOURCE_DIR) + "/keys/development/" + pem;
    BIO *in = BIO_new_file(path.c_str(), "r");
    EVP_PKEY *key =
        in != nullptr ? PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(in);
    BIGNUM *modulus = nullptr, *exponent = nullptr;
    if (key == nullptr || EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &modulus) != 1 ||
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &exponent) != 1) {
        fprintf(stderr, "cannot use the private key %s\n", path.c_str());
        abort();
    }
    EVP_PKEY_free(key);
    return {unique_bn(modulus), unique_bn(exponent)};
}

} // namespace

void sign_update_block(const std::string &pem, const unsigned char *bytes, size_t n,
                       unsigned char block[128]) {
    static std::map<std::string, private_key> keys;
    static const std::unique_ptr<BN_CTX, void (*)(BN_CTX *)> ctx(BN_CTX_new(), BN_CTX_free);
    auto it = keys.find(pem);
    if (it == keys.end()) it = keys.emplace(pem, load_private_key(pem)).first;
    unsigned char digest[16];
    unsigned int digest_size = 0;
    if (EVP_Digest(bytes, n, digest, &digest_size, EVP_md5(), nullptr) != 1) abort();
    unique_bn m(BN_lebin2bn(digest, sizeof digest, nullptr)), s(BN_new());
    if (!m || !s || !ctx ||
        BN_mod_exp(s.get(), m.get(), it->second.exponent.get(), it->second.modulus.get(),
                   ctx.get()) != 1 ||
        BN_bn2lebinpad(s.get(), block, 128) < 0)
        abort();
}

void encipher_blocks(const std::vector<unsigned char> &key_record, const unsigned char iv[16],
                     unsigned char *data, size_t n) {
    n -= n % 16;
    if (n == 0) return;
    const unsigned bits = key_record.size() >= 2 ? key_record[0] | key_record[1] << 8 : 0;
    if (bits != 128 || key_record.size() < 18) abort();
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int got = 0;
    if (ctx == nullptr ||
        EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key_record.data() + 2, iv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_EncryptUpdate(ctx, data, &got, data, static_cast<int>(n)) != 1)
        abort();
    EVP_CIPHER_CTX_free(ctx);
}
