// ozatool pack: an update file from a manifest. The chunks are laid out in
// manifest order after the head; in an enciphered file each chunk from
// "UNIT" on is padded with zero bytes to whole 16-byte blocks and enciphered
// by itself with the cipher chunk's IV. The signature block is the textbook
// RSA private operation on the MD5 digest of bytes 140 to the end (the
// digest in the 16 low bytes of a little-endian number, the rest zero). The
// output depends on the manifest alone: no time, no random bytes.
#include "core/byteorder.h"
#include "tools/ozatool/manifest.h"

#include <cerrno>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <openssl/evp.h>

namespace {

struct cipher_free {
    void operator()(EVP_CIPHER_CTX *c) const { EVP_CIPHER_CTX_free(c); }
};

// The weight of a chunk that the manifest gives none: its stored size in
// KiB, rounded up, and at least 100 so that the handlers that report in
// hundredths of their weight still move the progress bar.
uint32_t auto_weight(size_t stored_size) {
    return uint32_t(std::max<size_t>(100, (stored_size + 1023) / 1024));
}

size_t stored_size(const packed_chunk &c, bool enciphered) {
    size_t n = oza_header_size + c.payload.size();
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
            *error =
                c.where + ".weight: the file has no \"TIME\" chunk whose weights pack computes";
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
        c.payload.resize(4);
        store_le32(c.payload.data(), c.declared ? *c.declared : count);
        c.payload.insert(c.payload.end(), list.begin(), list.end());
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

// Enciphers data (whole blocks) in place, AES-CBC from iv, no padding.
bool encipher(const EVP_CIPHER *cipher, const bytes &record, const unsigned char *iv,
              unsigned char *data, size_t n) {
    std::unique_ptr<EVP_CIPHER_CTX, cipher_free> ctx(EVP_CIPHER_CTX_new());
    int out1 = 0, out2 = 0;
    return ctx && EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, record.data() + 2, iv) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
           EVP_EncryptUpdate(ctx.get(), data, &out1, data, int(n)) == 1 &&
           EVP_EncryptFinal_ex(ctx.get(), data + out1, &out2) == 1 && size_t(out1 + out2) == n;
}

// The signature block of the signed region: its MD5 digest signed.
bool sign(const std::string &pem, const unsigned char *region, size_t n,
          unsigned char block[oza_signature_block_size], std::string *error) {
    unsigned char digest[16];
    unsigned digest_size = 0;
    if (EVP_Digest(region, n, digest, &digest_size, EVP_md5(), nullptr) != 1) {
        *error = "MD5 failed";
        return false;
    }
    return sign_digest(pem, digest, block, error);
}

bool assemble(pack_plan &plan, bytes *file, std::string *error) {
    if (!fill_weights(plan, error)) return false;
    bytes &out = *file;
    out.assign(oza_magic, oza_magic + 4);
    out.insert(out.end(), plan.signature_fourcc, plan.signature_fourcc + 4);
    out.resize(oza_signed_start, 0);
    store_le32(out.data() + 8, plan.signature_length);
    if (plan.has_cipher) {
        out.resize(oza_signed_start + oza_cipher_chunk_size, 0);
        unsigned char *c = out.data() + oza_signed_start;
        memcpy(c, "CIPH", 4);
        store_le32(c + 4, plan.cipher_length);
        store_le32(c + 8, plan.marker);
        memcpy(c + 12, plan.iv, oza_iv_size);
    }

    bytes record;
    const EVP_CIPHER *cipher = nullptr;
    if (plan.enciphered()) {
        if (!read_whole(plan.aes_key, &record)) {
            *error = "cannot read the AES key record " + plan.aes_key + ": " + strerror(errno);
            return false;
        }
        std::string why;
        if (!(cipher = record_cipher(record, &why))) {
            *error = plan.aes_key + ": " + why;
            return false;
        }
    }
    for (const packed_chunk &c : plan.chunks) {
        const size_t start = out.size(), size = stored_size(c, plan.enciphered());
        if (size > UINT32_MAX) {
            *error = c.where + ": the chunk exceeds the 4 GiB a length field can give";
            return false;
        }
        out.resize(start + size, 0);
        unsigned char *p = out.data() + start;
        memcpy(p, c.fourcc, 4);
        store_le32(p + 4, c.length ? *c.length : uint32_t(size));
        if (!c.payload.empty()) memcpy(p + oza_header_size, c.payload.data(), c.payload.size());
        if (cipher && !encipher(cipher, record, plan.iv, p, size)) {
            *error = c.where + ": enciphering failed";
            return false;
        }
    }
    out.insert(out.end(), plan.trailer.begin(), plan.trailer.end());
    if (plan.truncate) {
        if (*plan.truncate > out.size()) {
            *error = "truncate: " + std::to_string(*plan.truncate) + " is beyond the file's " +
                     std::to_string(out.size()) + " bytes";
            return false;
        }
        out.resize(*plan.truncate);
    }

    unsigned char block[oza_signature_block_size];
    if (plan.block) {
        memcpy(block, plan.block->data(), sizeof block);
    } else {
        const size_t start = std::min(out.size(), oza_signed_start);
        if (!sign(plan.signing_key, out.data() + start, out.size() - start, block, error))
            return false;
    }
    // A file cut inside the head keeps what fits of the block.
    if (out.size() > oza_signature_block)
        memcpy(out.data() + oza_signature_block, block,
               std::min(sizeof block, out.size() - oza_signature_block));

    for (const pack_plan::patch &t : plan.tamper) {
        if (t.offset > out.size() || t.data.size() > out.size() - t.offset) {
            *error = "tamper: bytes at " + std::to_string(t.offset) + " lie beyond the file's " +
                     std::to_string(out.size()) + " bytes";
            return false;
        }
        memcpy(out.data() + t.offset, t.data.data(), t.data.size());
    }
    return true;
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (path == "-" || slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

int pack_main(int argc, char **argv) {
    const char *name = argv[0];
    const char *output = nullptr, *key = nullptr, *aes = nullptr;
    static const option long_options[] = {{"output", required_argument, nullptr, 'o'},
                                          {"key", required_argument, nullptr, 'k'},
                                          {"aes", required_argument, nullptr, 'a'},
                                          {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "o:k:a:", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'o': output = optarg; break;
        case 'k': key = optarg; break;
        case 'a': aes = optarg; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1 || !output) return usage(name);
    const std::string manifest_path = argv[optind];

    bytes text;
    if (!read_whole(manifest_path, &text))
        return fail(name, "cannot read %s: %s", manifest_path.c_str(), strerror(errno));
    pack_plan plan;
    std::string error;
    if (!read_manifest(manifest_path == "-" ? "<stdin>" : manifest_path,
                       std::string(text.begin(), text.end()), directory_of(manifest_path), &plan,
                       &error))
        return fail(name, "%s", error.c_str());
    // Keys on the command line stand in for the manifest's.
    if (key) {
        plan.signing_key = key;
        plan.block.reset();
    }
    if (aes) plan.aes_key = aes;
    if (plan.enciphered() && plan.aes_key.empty())
        return fail(name,
                    "%s: cipher.key: missing (the AES key record that enciphers the file, "
                    "or -a RECORD)",
                    manifest_path.c_str());

    bytes file;
    if (!assemble(plan, &file, &error))
        return fail(name, "%s: %s", manifest_path.c_str(), error.c_str());
    if (!write_bytes(output, file.data(), file.size()))
        return fail(name, "cannot write %s: %s", output, strerror(errno));
    return 0;
}
