// ozatool keyrec: the 144-byte record of an existing RSA key given in PEM,
// private (PKCS #8 or PKCS #1) or public (SubjectPublicKeyInfo). Weak keys
// (key_strength.h) are refused unless --allow-weak-key.
#include "crypto/keyrec.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/key_strength.h"
#include "tools/ozatool/ozatool.h"

#include <openssl/pem.h>

int keyrec_main(int argc, char **argv) {
    const char *name = argv[0];
    bool allow_weak = false;
    enum { opt_allow_weak = 0x30000 };
    static const option options[] = {{"allow-weak-key", no_argument, nullptr, opt_allow_weak},
                                     {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = cli_option(argc, argv, "", options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case opt_allow_weak: allow_weak = true; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 2) return usage(name);
    const char *pem_path = argv[optind], *record_path = argv[optind + 1];

    BIO *in = BIO_new_file(pem_path, "r");
    if (!in) return fail(name, "cannot open %s", pem_path);
    EVP_PKEY *key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    if (!key) {
        BIO_reset(in);
        key = PEM_read_bio_PUBKEY(in, nullptr, nullptr, nullptr);
    }
    BIO_free(in);
    if (!key) return fail(name, "%s holds no PEM key", pem_path);

    unsigned char record[key_record_size];
    bool ok = make_key_record(name, key, record);
    EVP_PKEY_free(key);
    if (!ok) return 1;
    const std::string weak = key_record_weakness(record);
    if (!weak.empty() && !allow_weak)
        return fail(name, "%s: refused: %s (--allow-weak-key writes its record for tests)",
                    pem_path, weak.c_str());
    if (!weak.empty() && verbosity > 0)
        fprintf(stderr, "ozatool %s: warning: the record of a weak key, on request: %s\n", name,
                weak.c_str());
    return write_small_output(name, record_path, {pem_path}, record, sizeof record);
}
