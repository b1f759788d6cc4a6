// ozatool pack: an update file from a manifest. The chunks are laid out in
// manifest order after the head; in an enciphered file each chunk from
// "UNIT" on is padded with zero bytes to whole 16-byte blocks and enciphered
// by itself with the cipher chunk's IV. The signature block is the textbook
// RSA private operation on the MD5 digest of bytes 140 to the end (the
// digest in the 16 low bytes of a little-endian number, the rest zero). The
// output depends on the manifest alone: no time, no random bytes.
//
// The file is written as it is made, data streamed from its files and
// digested on the way, into a temporary file beside the output; then it is
// read back the way the device reads it and held to the device's rules. A
// file the device would refuse, skip or misread is not put in place (unless
// --allow-refused), and every fault is named by its manifest line, column
// and field.
#include "tools/ozatool/pack.h"

#include "core/byteorder.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/manifest.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

struct ssl_free {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

// The weight of a chunk that the manifest gives none: its stored size in
// KiB, rounded up, and at least 100 so that the handlers that report in
// hundredths of their weight still move the progress bar.
uint32_t auto_weight(uint64_t stored_size) {
    return uint32_t(
        std::min<uint64_t>(UINT32_MAX, std::max<uint64_t>(100, (stored_size + 1023) / 1024)));
}

uint64_t stored_size(const packed_chunk &c, bool enciphered) {
    const uint64_t n = oza_header_size + c.payload_size();
    return enciphered ? (n + oza_block - 1) / oza_block * oza_block : n;
}

// Fills the payload of the "TIME" chunks whose weights are computed: one
// weight for every weight-taking chunk of the file, in file order.
bool fill_weights(pack_plan &plan, std::string *error) {
    bool computed = false;
    for (const packed_chunk &c : plan.chunks) computed = computed || c.auto_weights;
    bytes list;
    uint32_t count = 0;
    for (const packed_chunk &c : plan.chunks) {
        if (c.weight && !computed) {
            *error = plan.message(c.where + ".weight",
                                  "the file has no \"TIME\" chunk whose weights pack computes");
            return false;
        }
        if (!c.weighted) continue;
        unsigned char w[4];
        store_le32(w, c.weight ? *c.weight : auto_weight(stored_size(c, plan.enciphered())));
        list.insert(list.end(), w, w + 4);
        count++;
    }
    for (packed_chunk &c : plan.chunks) {
        if (!c.auto_weights) continue;
        c.fixed.resize(4);
        store_le32(c.fixed.data(), c.declared ? *c.declared : count);
        c.data.given = list;
        c.data.size = c.data.stored = list.size();
    }
    return true;
}

// The cipher of an AES key record (u16 bits, key bytes), or null.
const EVP_CIPHER *record_cipher(const bytes &record, std::string *error) {
    const unsigned bits = record.size() >= 2 ? load_le16(record.data()) : 0;
    if ((bits != 128 && bits != 192 && bits != 256) || record.size() < 2 + bits / 8) {
        *error = "not an AES key record (u16 key size 128, 192 or 256, then the key bytes)";
        return nullptr;
    }
    return bits == 128 ? EVP_aes_128_cbc() : bits == 192 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
}

// Writes the file's bytes in order: cuts them at the truncation, digests
// those of the signed region.
struct file_writer {
    output_file &out;
    EVP_MD_CTX *md;
    std::optional<uint64_t> limit;
    progress_line &progress;
    uint64_t at = 0;

    uint64_t size() const { return limit ? std::min(at, *limit) : at; }

    bool put(const unsigned char *p, size_t n) {
        uint64_t keep = n;
        if (limit) keep = at >= *limit ? 0 : std::min<uint64_t>(n, *limit - at);
        if (keep > 0) {
            const uint64_t skip =
                at < oza_signed_start ? std::min<uint64_t>(keep, oza_signed_start - at) : 0;
            if (keep > skip && EVP_DigestUpdate(md, p + skip, size_t(keep - skip)) != 1)
                return false;
            if (!out.write(p, size_t(keep))) return false;
        }
        at += n;
        progress.update(at);
        return true;
    }
};

// One chunk's bytes, enciphered by themselves when cipher is set.
struct chunk_sink {
    file_writer &w;
    EVP_CIPHER_CTX *cipher; // null for a plain file
    unsigned char buffer[65536 + 32];

    bool put(const unsigned char *p, size_t n) {
        if (!cipher) return w.put(p, n);
        while (n > 0) {
            const size_t piece = std::min<size_t>(n, 65536);
            int out = 0;
            if (EVP_EncryptUpdate(cipher, buffer, &out, p, int(piece)) != 1) return false;
            if (out > 0 && !w.put(buffer, size_t(out))) return false;
            p += piece;
            n -= piece;
        }
        return true;
    }
    bool zeros(uint64_t n) {
        static const unsigned char zero[4096] = {};
        for (; n > 0;) {
            const size_t piece = size_t(std::min<uint64_t>(n, sizeof zero));
            if (!put(zero, piece)) return false;
            n -= piece;
        }
        return true;
    }
};

struct key_free {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    void operator()(BIO *b) const { BIO_free(b); }
};

// The public-key record of a PEM private key.
bool public_record(const std::string &pem, bytes *record, std::string *error) {
    std::unique_ptr<BIO, key_free> in(BIO_new_file(pem.c_str(), "r"));
    std::unique_ptr<EVP_PKEY, key_free> key(
        in ? PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key) {
        *error = "cannot read a PEM private key from " + pem;
        return false;
    }
    record->resize(144);
    if (!make_key_record("pack", key.get(), record->data())) {
        *error = pem + ": the key does not fit a key record";
        return false;
    }
    return true;
}

struct placed_chunk {
    uint64_t offset;
    std::string where;
    std::string shorthand = ""; // a field given as the chunk's object itself
};

// Writes the whole file into out; the offsets of its chunks in placed.
bool write_file(pack_plan &plan, output_file &out, std::vector<placed_chunk> *placed,
                uint64_t *size, std::string *error) {
    uint64_t total = oza_signed_start + (plan.has_cipher ? oza_cipher_chunk_size : 0);
    for (const packed_chunk &c : plan.chunks) total += stored_size(c, plan.enciphered());
    progress_line progress("pack", total + plan.trailer.size);
    std::unique_ptr<EVP_MD_CTX, ssl_free> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), EVP_md5(), nullptr) != 1) {
        *error = "MD5 failed";
        return false;
    }
    file_writer w{out, md.get(), plan.truncate, progress};
    const auto write_error = [&]() {
        *error = "cannot write " + (out.path == "-" ? std::string("the output") : out.path) + ": " +
                 strerror(errno);
        return false;
    };

    unsigned char head[oza_signed_start + oza_cipher_chunk_size] = {};
    memcpy(head, oza_magic, 4);
    memcpy(head + 4, plan.signature_fourcc, 4);
    store_le32(head + 8, plan.signature_length);
    size_t head_size = oza_signed_start;
    placed->push_back({0, ""});
    placed->push_back({oza_signature_offset, "signature"});
    if (plan.has_cipher) {
        unsigned char *c = head + oza_signed_start;
        memcpy(c, "CIPH", 4);
        store_le32(c + 4, plan.cipher_length);
        store_le32(c + 8, plan.marker);
        memcpy(c + 12, plan.iv, oza_iv_size);
        head_size += oza_cipher_chunk_size;
        placed->push_back({oza_signed_start, "cipher"});
    }
    if (!w.put(head, head_size)) return write_error();

    bytes record;
    const EVP_CIPHER *cipher = nullptr;
    if (plan.enciphered()) {
        if (!read_whole(plan.aes_key, &record)) {
            *error = plan.message("cipher.key",
                                  "cannot read the AES key record \"" +
                                      (plan.aes_key_as.empty() ? plan.aes_key : plan.aes_key_as) +
                                      "\": " + strerror(errno));
            return false;
        }
        std::string why;
        if (!(cipher = record_cipher(record, &why))) {
            *error = plan.message("cipher.key", plan.aes_key + ": " + why);
            return false;
        }
    }
    for (const packed_chunk &c : plan.chunks) {
        const uint64_t stored = stored_size(c, plan.enciphered());
        if (stored > UINT32_MAX) {
            *error = plan.message(c.where, "the chunk exceeds the 4 GiB a length field can give");
            return false;
        }
        placed->push_back({w.at, c.where, c.shorthand});
        std::unique_ptr<EVP_CIPHER_CTX, ssl_free> ctx;
        if (cipher) {
            ctx.reset(EVP_CIPHER_CTX_new());
            if (!ctx ||
                EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, record.data() + 2, plan.iv) != 1 ||
                EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
                *error = plan.message(c.where, "enciphering failed");
                return false;
            }
        }
        chunk_sink sink{w, ctx.get(), {}};
        unsigned char header[oza_header_size];
        memcpy(header, c.fourcc, 4);
        store_le32(header + 4, c.length ? *c.length : uint32_t(stored));
        const uint64_t unpadded = oza_header_size + c.payload_size();
        if (!sink.put(header, sizeof header) || !sink.put(c.fixed.data(), c.fixed.size()))
            return write_error();
        errno = 0;
        if (!c.data.stream([&](const unsigned char *p, size_t n) { return sink.put(p, n); })) {
            if (!c.data.file.empty())
                *error = plan.message(c.where + ".file", "cannot read " + c.data.file + ": " +
                                                             strerror(errno ? errno : EIO));
            else
                write_error();
            return false;
        }
        if (!sink.zeros(c.pad + (stored - unpadded))) return write_error();
    }
    if (!plan.trailer.stream([&](const unsigned char *p, size_t n) { return w.put(p, n); })) {
        *error = plan.message("trailer", std::string("cannot write it: ") + strerror(errno));
        return false;
    }
    progress.done();
    if (plan.truncate && *plan.truncate > w.at) {
        *error =
            plan.message("truncate", std::to_string(*plan.truncate) + " is beyond the file's " +
                                         std::to_string(w.at) + " bytes");
        return false;
    }
    *size = w.size();

    unsigned char digest[16];
    unsigned digest_size = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &digest_size) != 1) {
        *error = "MD5 failed";
        return false;
    }
    unsigned char block[oza_signature_block_size];
    if (plan.block) {
        memcpy(block, plan.block->data(), sizeof block);
    } else if (!sign_digest(plan.signing_key, digest, block, error)) {
        return false;
    }
    // A file cut inside the head keeps what fits of the block.
    if (*size > oza_signature_block &&
        !out.write_at(oza_signature_block, block,
                      size_t(std::min<uint64_t>(sizeof block, *size - oza_signature_block))))
        return write_error();
    for (const pack_plan::patch &t : plan.tamper) {
        if (t.offset > *size || t.data.size() > *size - t.offset) {
            *error = plan.message("tamper", "bytes at " + std::to_string(t.offset) +
                                                " lie beyond the file's " + std::to_string(*size) +
                                                " bytes");
            return false;
        }
        if (!out.write_at(t.offset, t.data.data(), t.data.size())) return write_error();
    }
    return true;
}

// The manifest place of a finding: the chunk's path and the field.
std::string manifest_path(const inspection &r, const std::vector<placed_chunk> &placed,
                          const finding &f) {
    if (f.chunk < 0) return "";
    const uint64_t offset = r.chunks[size_t(f.chunk)].offset;
    std::string where, shorthand;
    bool found = false;
    for (const placed_chunk &p : placed)
        if (p.offset == offset) {
            where = p.where;
            shorthand = p.shorthand;
            found = true;
        }
    if (!found) return offset >= r.size ? "truncate" : "trailer";
    if (f.field.empty() || f.field == shorthand) return where;
    return where.empty() ? f.field : where + "." + f.field;
}

} // namespace

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (path == "-" || slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int pack_text(const char *command, const std::string &name, const std::string &text,
              const std::string &base, pack_settings &s) {
    pack_plan plan;
    std::string error;
    if (!read_manifest(name, text, base, &plan, &error)) return fail(command, "%s", error.c_str());
    // Keys on the command line stand in for the manifest's.
    if (s.key) {
        plan.signing_key = plan.signing_key_as = *s.key;
        plan.block.reset();
    }
    if (s.aes) plan.aes_key = plan.aes_key_as = *s.aes;
    if (plan.enciphered() && plan.aes_key.empty())
        return fail(command, "%s",
                    plan.message("cipher.key", "missing (the AES key record that enciphers the "
                                               "file, or -a RECORD)")
                        .c_str());
    check_options &check = s.check;
    if (!plan.block) {
        bytes record;
        if (!public_record(plan.signing_key, &record, &error)) {
            const std::string as =
                plan.signing_key_as.empty() ? plan.signing_key : plan.signing_key_as;
            return fail(command, "%s",
                        s.key ? ("-k " + *s.key + ": " + error).c_str()
                              : plan.message("signature.key", error + " (\"" + as + "\")").c_str());
        }
        // Without the device's key store the file is checked against the key that signs it.
        if (!check.keys.store) {
            check.keys.key = record;
            check.keys.key_from = "the public key of " + plan.signing_key;
        }
    }
    if (plan.enciphered() && !check.keys.store) {
        bytes aes;
        if (read_whole(plan.aes_key, &aes)) {
            check.keys.aes = aes;
            check.keys.aes_from = "the AES key record " + plan.aes_key;
        }
    }
    if (!fill_weights(plan, &error)) return fail(command, "%s", error.c_str());

    std::vector<std::string> inputs = plan.inputs();
    inputs.push_back(name);
    inputs.insert(inputs.end(), check.inputs.begin(), check.inputs.end());
    output_file out;
    if (!out.open(s.output, inputs, 0644, &error)) return fail(command, "%s", error.c_str());
    std::vector<placed_chunk> placed;
    uint64_t size = 0;
    if (!write_file(plan, out, &placed, &size, &error)) return fail(command, "%s", error.c_str());

    inspection r;
    inspect_file(out.fd, size, check.keys, check.device, &r);
    const size_t faults = r.faults(check.strict);
    const bool refused = r.result != 0 || faults > 0;
    for (const finding &f : r.findings) {
        if (f.level == severity_note) continue;
        const bool fault = f.level == severity_error || check.strict;
        if ((!fault || s.allow_refused) && verbosity == 0) continue;
        std::string line = plan.message(manifest_path(r, placed, f), f.text);
        if (!f.suggestion.empty()) line += " (did you mean \"" + f.suggestion + "\"?)";
        if (f.code) line += " [the device stops with " + std::to_string(f.code) + "]";
        fprintf(stderr, "ozatool %s: %s%s\n", command,
                fault && !s.allow_refused ? "" : "warning: ", line.c_str());
    }
    if (verbosity > 1 || refused)
        for (const std::string &d : r.diagnoses)
            fprintf(stderr, "ozatool %s: likely cause: %s\n", command, d.c_str());
    if (verbosity > 1)
        for (const std::string &u : r.unchecked)
            fprintf(stderr, "ozatool %s: unchecked: %s\n", command, u.c_str());
    if (refused && !s.allow_refused)
        return fail(command,
                    "%s: not written: the device would refuse or misread it (%zu fault%s; "
                    "--allow-refused writes it anyway)",
                    name.c_str(), std::max<size_t>(faults, 1), faults == 1 ? "" : "s");
    if (refused && verbosity > 0)
        fprintf(stderr,
                "ozatool %s: warning: %s: written although the device would refuse or "
                "misread it (--allow-refused)\n",
                command, name.c_str());
    if (!out.commit(&error)) return fail(command, "%s", error.c_str());
    return 0;
}

int pack_main(int argc, char **argv) {
    const char *name = argv[0];
    pack_settings s;
    enum { opt_allow = 0x30000 };
    static const option own[] = {{"output", required_argument, nullptr, 'o'},
                                 {"key", required_argument, nullptr, 'k'},
                                 {"aes", required_argument, nullptr, 'a'},
                                 {"allow-refused", no_argument, nullptr, opt_allow},
                                 {nullptr, 0, nullptr, 0}};
    const std::vector<option> options = with_check_options(own, {"key", "aes", "json"});
    int opt;
    while ((opt = cli_option(argc, argv, "o:k:a:", options.data())) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case cli_bad: return usage(name);
        case 'o': s.output = optarg; break;
        case 'k': s.key = optarg; break;
        case 'a': s.aes = optarg; break;
        case opt_allow: s.allow_refused = true; break;
        default: {
            const int r = check_option(name, opt, optarg, &s.check);
            if (r < 0) return 2;
            if (r == 0) return usage(name);
        }
        }
    }
    if (argc - optind != 1 || s.output.empty()) return usage(name);
    if (!check_finish(name, &s.check)) return 2;
    const std::string manifest_path = argv[optind];
    bytes text;
    if (!read_whole(manifest_path, &text))
        return fail(name, "cannot read %s: %s", manifest_path.c_str(), strerror(errno));
    return pack_text(name, manifest_path == "-" ? "<stdin>" : manifest_path,
                     std::string(text.begin(), text.end()), directory_of(manifest_path), s);
}
