// ozatool keygen: a new RSA key pair, the private key in PEM (PKCS #8) and the
// public key as a 144-byte record. The exponent takes as many 16-bit words
// in the record as its value needs (65537: two; a 64-bit value: four).
#include "tools/ozatool/ozatool.h"
#include "update/keyrec.h"

#include <fcntl.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

namespace {

struct pkey_free {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    void operator()(EVP_PKEY_CTX *c) const { EVP_PKEY_CTX_free(c); }
    void operator()(BIGNUM *b) const { BN_free(b); }
    void operator()(BIO *b) const { BIO_free(b); }
};
template <class T>
using owned = std::unique_ptr<T, pkey_free>;

owned<EVP_PKEY> generate(unsigned bits, uint64_t exponent) {
    owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    // From bytes, not BN_set_word: a BIGNUM word is 32 bits on 32-bit hosts,
    // which would cut a 64-bit exponent short.
    unsigned char be[8];
    for (int i = 0; i < 8; ++i) be[i] = static_cast<unsigned char>(exponent >> (56 - 8 * i));
    owned<BIGNUM> e(BN_bin2bn(be, sizeof be, nullptr));
    EVP_PKEY *key = nullptr;
    if (!ctx || !e || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) <= 0 ||
        EVP_PKEY_generate(ctx.get(), &key) <= 0)
        return nullptr;
    return owned<EVP_PKEY>(key);
}

} // namespace

int keygen_main(int argc, char **argv) {
    const char *name = argv[0];
    uint64_t exponent = 65537, bits = 1024;
    int opt;
    while ((opt = getopt(argc, argv, "e:b:")) != -1) {
        switch (opt) {
        case 'e':
            if (!parse_u64(optarg, &exponent) || exponent < 3 || exponent % 2 == 0)
                return fail(name, "exponent '%s': an odd number from 3 to 2^64 - 1", optarg);
            break;
        case 'b':
            if (!parse_u64(optarg, &bits) || bits < 512 || bits > 1024)
                return fail(name, "modulus size '%s': 512 to 1024 bits", optarg);
            break;
        default: return usage(name);
        }
    }
    if (argc - optind != 2) return usage(name);
    const char *pem_path = argv[optind], *record_path = argv[optind + 1];

    owned<EVP_PKEY> key = generate(unsigned(bits), exponent);
    if (!key) return fail(name, "key generation failed");
    unsigned char record[key_record_size];
    if (!make_key_record(name, key.get(), record)) return 1;

    // The private key is readable by its owner only.
    unlink(pem_path);
    int fd = open(pem_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    owned<BIO> out(fd >= 0 ? BIO_new_fd(fd, BIO_CLOSE) : nullptr);
    if (!out) {
        if (fd >= 0) close(fd);
        return fail(name, "cannot create %s", pem_path);
    }
    if (!PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        return fail(name, "cannot write %s", pem_path);
    out.reset();
    if (!write_bytes(record_path, record, sizeof record))
        return fail(name, "cannot write %s", record_path);
    return 0;
}
