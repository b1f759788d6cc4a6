// Helpers shared by the ozatool subcommands.
#include "core/byteorder.h"
#include "tools/ozatool/ozatool.h"
#include "update/keyrec.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <unistd.h>

int fail(const char *name, const char *format, ...) {
    fprintf(stderr, "ozatool %s: ", name);
    va_list ap;
    va_start(ap, format);
    vfprintf(stderr, format, ap);
    va_end(ap);
    fputc('\n', stderr);
    ERR_print_errors_fp(stderr);
    return 1;
}

bool parse_u64(const char *text, uint64_t *value) {
    if (!*text || *text == '-' || *text == '+') return false;
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno || *end) return false;
    *value = v;
    return true;
}

bool write_bytes(const std::string &path, const void *data, size_t n, unsigned mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write(fd, data, n) == ssize_t(n);
    ok = close(fd) == 0 && ok;
    return ok;
}

namespace {

struct bn_free_ {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using unique_bn = std::unique_ptr<BIGNUM, bn_free_>;

unique_bn get_bn(EVP_PKEY *key, const char *param) {
    BIGNUM *b = nullptr;
    EVP_PKEY_get_bn_param(key, param, &b);
    return unique_bn(b);
}

} // namespace

bool make_key_record(const char *name, EVP_PKEY *key, unsigned char record[144]) {
    unique_bn n = get_bn(key, OSSL_PKEY_PARAM_RSA_N), e = get_bn(key, OSSL_PKEY_PARAM_RSA_E);
    if (!n || !e) return fail(name, "not an RSA key"), false;
    const int n_bits = BN_num_bits(n.get()), e_bits = BN_num_bits(e.get());
    if (n_bits > 16 * int(key_record_max_modulus_words))
        return fail(name, "modulus of %d bits: a record holds at most 1024", n_bits), false;
    if (e_bits > 16 * int(key_record_max_exponent_words))
        return fail(name, "exponent of %d bits: a record holds at most 64", e_bits), false;

    memset(record, 0, key_record_size);
    store_le16(record, uint16_t((n_bits + 15) / 16));
    BN_bn2lebinpad(n.get(), record + key_record_modulus, 128);
    store_le16(record + key_record_exponent_words, uint16_t((e_bits + 15) / 16));
    BN_bn2lebinpad(e.get(), record + key_record_exponent, 8);
    store_le32(record + key_record_checksum_offset, key_record_checksum(record));
    return true;
}
