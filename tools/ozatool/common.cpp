// Helpers shared by the ozatool subcommands.
#include "core/byteorder.h"
#include "crypto/keyrec.h"
#include "tools/ozatool/ozatool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
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

bool parse_hex(const std::string &text, bytes *out) {
    out->clear();
    int high = -1;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if ((c == ' ' || c == '\t' || c == '\n' || c == ':') && high < 0)
            continue;
        else
            return false;
        if (high < 0) {
            high = digit;
        } else {
            out->push_back(uint8_t(high << 4 | digit));
            high = -1;
        }
    }
    return high < 0;
}

std::string hex_text(const unsigned char *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; i++) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

bool read_whole(const std::string &path, bytes *out) {
    int fd = path == "-" ? dup(0) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    unsigned char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) out->insert(out->end(), buffer, buffer + n);
    const int saved = errno;
    close(fd);
    errno = saved;
    return n == 0;
}

std::string absolute_path(const std::string &path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

bool folder_empty_or_absent(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return errno == ENOENT;
    bool empty = true;
    while (const dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
    closedir(d);
    return empty;
}

namespace {

struct ssl_free {
    void operator()(BIGNUM *b) const { BN_free(b); }
    void operator()(BN_CTX *c) const { BN_CTX_free(c); }
    void operator()(BIO *b) const { BIO_free(b); }
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using unique_bn = std::unique_ptr<BIGNUM, ssl_free>;

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

bool sign_digest(const std::string &pem, const unsigned char digest[16], unsigned char block[128],
                 std::string *error) {
    std::unique_ptr<BIO, ssl_free> in(BIO_new_file(pem.c_str(), "r"));
    std::unique_ptr<EVP_PKEY, ssl_free> key(
        in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        *error = "cannot read a PEM private key from " + pem;
        return false;
    }
    unique_bn modulus = get_bn(key.get(), OSSL_PKEY_PARAM_RSA_N);
    unique_bn exponent = get_bn(key.get(), OSSL_PKEY_PARAM_RSA_D);
    if (!modulus || !exponent) {
        *error = pem + " holds no RSA private key";
        return false;
    }
    if (BN_num_bits(modulus.get()) > 1024) {
        *error = pem + ": a modulus of " + std::to_string(BN_num_bits(modulus.get())) +
                 " bits; a key record holds at most 1024";
        return false;
    }
    unique_bn m(BN_lebin2bn(digest, 16, nullptr)), s(BN_new());
    std::unique_ptr<BN_CTX, ssl_free> ctx(BN_CTX_new());
    if (!m || !s || !ctx ||
        !BN_mod_exp(s.get(), m.get(), exponent.get(), modulus.get(), ctx.get()) ||
        BN_bn2lebinpad(s.get(), block, 128) < 0) {
        *error = "the RSA operation failed";
        return false;
    }
    return true;
}
