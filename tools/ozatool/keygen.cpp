// ozatool keygen: a new RSA key pair, the private key in PEM (PKCS #8) and the
// public key as a 144-byte record. The exponent takes as many 16-bit words
// in the record as its value needs (65537: two; a 64-bit value: four).
// Weak keys (key_strength.h) are refused unless --allow-weak-key.
#include "crypto/keyrec.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/key_strength.h"
#include "tools/ozatool/ozatool.h"

#include <memory>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

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
    bool allow_weak = false;
    enum { opt_allow_weak = 0x30000 };
    static const option options[] = {{"allow-weak-key", no_argument, nullptr, opt_allow_weak},
                                     {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = cli_option(argc, argv, "e:b:", options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case 'e':
            if (!parse_u64(optarg, &exponent) || exponent < 3 || exponent % 2 == 0)
                return fail(name, "exponent '%s': an odd number from 3 to 2^64 - 1", optarg);
            break;
        case 'b':
            if (!parse_u64(optarg, &bits) || bits < 512 || bits > 1024)
                return fail(name, "modulus size '%s': 512 to 1024 bits", optarg);
            break;
        case opt_allow_weak: allow_weak = true; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 2) return usage(name);
    const char *pem_path = argv[optind], *record_path = argv[optind + 1];
    const std::string weak = key_weakness(unsigned(bits), exponent);
    if (!weak.empty() && !allow_weak)
        return fail(name, "refused: %s (--allow-weak-key makes such a key for tests)",
                    weak.c_str());
    if (!weak.empty() && verbosity > 0)
        fprintf(stderr,
                "ozatool %s: warning: a weak key, on request: %s; never put it on a "
                "device\n",
                name, weak.c_str());

    owned<EVP_PKEY> key = generate(unsigned(bits), exponent);
    if (!key) return fail(name, "key generation failed");
    unsigned char record[key_record_size];
    if (!make_key_record(name, key.get(), record)) return 1;

    // The private key is readable by its owner only; both files are put in
    // place only once they are written whole.
    owned<BIO> mem(BIO_new(BIO_s_mem()));
    if (!mem ||
        !PEM_write_bio_PrivateKey(mem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        return fail(name, "cannot write the private key");
    char *pem = nullptr;
    const long pem_size = BIO_get_mem_data(mem.get(), &pem);
    output_file out;
    std::string error;
    if (!out.open(pem_path, {}, 0600, &error) || !out.write(pem, size_t(pem_size)))
        return fail(name, "cannot write %s: %s", pem_path, error.c_str());
    if (int status = write_small_output(name, record_path, {pem_path}, record, sizeof record))
        return status;
    if (!out.commit(&error)) return fail(name, "%s", error.c_str());
    return 0;
}
