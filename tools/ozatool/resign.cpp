// ozatool resign: an update file signed again, for another signature slot
// or with another key, without its manifest. The signed region (from byte
// 140) stays as it is: only the signature fourcc and the block change. The
// new file is held to the device's rules before it is put in place, so a
// file whose chunks the new slot's gate refuses is not written.
#include "tools/ozatool/check_options.h"
#include "tools/ozatool/cli.h"

#include "core/byteorder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct ssl_free {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    void operator()(BIO *b) const { BIO_free(b); }
};

struct fd_owner {
    int fd;
    ~fd_owner() {
        if (fd >= 0) close(fd);
    }
};

} // namespace

int resign_main(int argc, char **argv) {
    const char *name = argv[0];
    std::string key, output;
    int slot = 0;
    bool allow_refused = false;
    enum { opt_slot = 0x30000, opt_allow };
    static const option own[] = {{"output", required_argument, nullptr, 'o'},
                                 {"slot", required_argument, nullptr, opt_slot},
                                 {"allow-refused", no_argument, nullptr, opt_allow},
                                 {nullptr, 0, nullptr, 0}};
    check_options check;
    const std::vector<option> options = with_check_options(own, {"key", "json"});
    int opt;
    while ((opt = cli_option(argc, argv, "k:o:", options.data())) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case cli_bad: return usage(name);
        case 'k': key = optarg; break;
        case 'o': output = optarg; break;
        case opt_slot:
            if (strlen(optarg) != 1 || optarg[0] < '1' || optarg[0] > '5')
                return fail(name, "--slot '%s': 1 to 5", optarg), 2;
            slot = optarg[0] - '0';
            break;
        case opt_allow: allow_refused = true; break;
        default: {
            const int r = check_option(name, opt, optarg, &check);
            if (r < 0) return 2;
            if (r == 0) return usage(name);
        }
        }
    }
    if (argc - optind != 1 || key.empty() || output.empty()) return usage(name);
    if (!check_finish(name, &check)) return 2;
    const std::string input = argv[optind];

    std::unique_ptr<BIO, ssl_free> in(BIO_new_file(key.c_str(), "r"));
    std::unique_ptr<EVP_PKEY, ssl_free> pkey(
        in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!pkey) return fail(name, "-k %s: cannot read a PEM private key", key.c_str());
    bytes record(144);
    if (!make_key_record(name, pkey.get(), record.data())) return 1;

    fd_owner source{open(input.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (source.fd < 0 || fstat(source.fd, &st) != 0)
        return fail(name, "cannot read %s: %s", input.c_str(), strerror(errno)), 2;
    const uint64_t size = uint64_t(st.st_size);
    unsigned char head[oza_signed_start];
    if (size < oza_signed_start || pread(source.fd, head, sizeof head, 0) != ssize_t(sizeof head) ||
        memcmp(head, oza_magic, 4) != 0)
        return fail(name, "%s: not an update file (no \"OZA2\" head of 140 bytes)", input.c_str());
    if (slot == 0) slot = oza_slot_of(reinterpret_cast<const char *>(head + 4));
    if (slot == 0)
        return fail(name, "%s: the file names no signature slot: give --slot", input.c_str());

    std::vector<std::string> inputs = check.inputs;
    inputs.push_back(input);
    inputs.push_back(key);
    output_file out;
    std::string error;
    if (!out.open(output, inputs, 0644, &error)) return fail(name, "%s", error.c_str());
    // The head with the new fourcc, then the signed region as it is,
    // digested on the way.
    const std::string fourcc = "SIG" + std::to_string(slot - 1);
    memcpy(head + oza_signature_offset, fourcc.data(), 4);
    std::unique_ptr<EVP_MD_CTX, ssl_free> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), EVP_md5(), nullptr) != 1)
        return fail(name, "MD5 failed");
    if (!out.write(head, sizeof head))
        return fail(name, "cannot write %s: %s", output.c_str(), strerror(errno));
    progress_line progress(name, size);
    unsigned char piece[65536];
    for (uint64_t at = oza_signed_start; at < size;) {
        const ssize_t n = pread(source.fd, piece, sizeof piece, off_t(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            return fail(name, "cannot read %s: %s", input.c_str(), strerror(n ? errno : EIO));
        if (EVP_DigestUpdate(md.get(), piece, size_t(n)) != 1 || !out.write(piece, size_t(n)))
            return fail(name, "cannot write %s: %s", output.c_str(), strerror(errno));
        at += uint64_t(n);
        progress.update(at);
    }
    progress.done();
    unsigned char digest[16], block[oza_signature_block_size];
    unsigned digest_size = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &digest_size) != 1) return fail(name, "MD5 failed");
    if (!sign_digest(key, digest, block, &error)) return fail(name, "%s", error.c_str());
    if (!out.write_at(oza_signature_block, block, sizeof block))
        return fail(name, "cannot write %s: %s", output.c_str(), strerror(errno));

    // The new file as the device reads it: without a key store, with the
    // new key; the AES key from --aes or the store.
    if (!check.keys.store) {
        check.keys.key = record;
        check.keys.key_from = "the public key of " + key;
    }
    inspection r;
    inspect_file(out.fd, size, check.keys, check.device, &r);
    if (!r.readable)
        return fail(name,
                    "%s: the chunks cannot be deciphered, so the new slot's gate cannot be "
                    "checked: give --aes or the device's key store",
                    input.c_str()),
               2;
    const bool refused = r.result != 0 || r.faults(check.strict) > 0;
    for (const finding &f : r.findings) {
        if (f.level == severity_note || (f.level == severity_warning && verbosity == 0)) continue;
        std::string line =
            chunk_place(r, f) + (f.field.empty() ? "" : ", " + f.field) + ": " + f.text;
        if (f.code) line += " [the device stops with " + std::to_string(f.code) + "]";
        fprintf(stderr, "ozatool %s: %s%s\n", name,
                f.level == severity_error && !allow_refused ? "" : "warning: ", line.c_str());
    }
    if (refused && !allow_refused)
        return fail(name,
                    "%s: not written: the device would refuse or misread the file signed for "
                    "slot %d (--allow-refused writes it anyway)",
                    input.c_str(), slot);
    if (!out.commit(&error)) return fail(name, "%s", error.c_str());
    return 0;
}
