// ozatool keyrec: the 144-byte record of an existing RSA key given in PEM,
// private (PKCS #8 or PKCS #1) or public (SubjectPublicKeyInfo).
#include "update/keyrec.h"
#include "tools/ozatool/ozatool.h"

#include <openssl/pem.h>

int keyrec_main(int argc, char **argv) {
    const char *name = argv[0];
    if (argc != 3) return usage(name);
    const char *pem_path = argv[1], *record_path = argv[2];

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
    if (!write_bytes(record_path, record, sizeof record))
        return fail(name, "cannot write %s", record_path);
    return 0;
}
