// ozatool extract: an update file taken apart into a folder: every payload
// deciphered into a file of its own and a manifest.json that packs back to
// the same bytes. Each chunk is written with the manifest fields of its
// type when pack would lay those fields out exactly as the file holds them
// (checked by reading the chunk's object back through the manifest reader),
// and otherwise as a raw chunk holding its payload as stored. Whatever the
// walk cannot read as chunks (bytes after the last one, a chunk cut short)
// becomes the trailer, as stored. By default the manifest keeps the file's
// signature block; --key-path names a signing key instead, so that an
// edited manifest is signed again. The folder's manifest is packed back and
// compared with the file before extract reports success.
#include "tools/ozatool/check_options.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/fields.h"
#include "tools/ozatool/manifest.h"
#include "tools/ozatool/pack.h"

#include "core/byteorder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using json = nlohmann::json;
using ordered = nlohmann::ordered_json;

namespace {

struct fd_owner {
    int fd;
    ~fd_owner() {
        if (fd >= 0) close(fd);
    }
};

bool make_dirs(const std::string &path) {
    for (size_t at = 1; at <= path.size(); at++)
        if (at == path.size() || path[at] == '/') {
            const std::string part = path.substr(0, at);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    return true;
}

bool write_file(const std::string &path, const unsigned char *data, size_t n, unsigned mode) {
    output_file out;
    std::string error;
    return out.open(path, {}, mode, &error) && out.write(data, n) && out.commit(&error);
}

bool utf8_valid(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n;
    }
    return true;
}

bool texts_valid(const json &j) {
    if (j.is_string()) return utf8_valid(j.get_ref<const std::string &>());
    if (j.is_object() || j.is_array())
        for (const json &v : j)
            if (!texts_valid(v)) return false;
    return true;
}

// The chunk types whose data follows the fixed part and goes to a file.
bool carries_data(const std::string &fourcc) {
    return fourcc == "COPY" || fourcc == "FLSH" || fourcc == "MMCF" || fourcc == "EXT3";
}

// Reads object as the one chunk of a manifest whose other parts are left
// out, into *c (a data file it names must exist already).
bool as_packed(const json &object, const std::string &dir, packed_chunk *c) {
    json m = {{"signature", {{"fourcc", "SIG0"}, {"block", ""}}},
              {"unit", nullptr},
              {"version", nullptr},
              {"time", nullptr},
              {"chunks", json::array({object})}};
    pack_plan plan;
    std::string error;
    if (!read_manifest("extract", m.dump(), dir, &plan, &error) || plan.chunks.size() != 1)
        return false;
    *c = plan.chunks[0];
    return true;
}

// True when pack lays c out as the chunk holds it: the length, the fixed
// part, the bytes given in the manifest, then zero bytes; rest is the
// payload without the bytes of a data file.
bool same_layout(const packed_chunk &c, const bytes &rest, bool enciphered, uint64_t length) {
    const uint64_t unpadded = oza_header_size + c.payload_size();
    const uint64_t stored =
        enciphered ? (unpadded + oza_block - 1) / oza_block * oza_block : unpadded;
    if (stored != length || c.length) return false;
    if (c.fixed.size() > rest.size() || !std::equal(c.fixed.begin(), c.fixed.end(), rest.begin()))
        return false;
    size_t at = c.fixed.size();
    if (c.data.file.empty()) {
        if (c.data.size > rest.size() - at || c.data.given.size() != c.data.size ||
            !std::equal(c.data.given.begin(), c.data.given.end(), rest.begin() + long(at)))
            return false;
        at += size_t(c.data.size);
    }
    for (; at < rest.size(); at++)
        if (rest[at] != 0) return false;
    return true;
}

// The object with its fields in the order a person writes them ("type" first).
ordered in_manifest_order(const json &object) {
    static const char *const order[] = {
        "type",       "fourcc", "name",   "reserved",   "version",    "weights",
        "value",      "index",  "path",   "from_index", "from_path",  "to_index",
        "to_path",    "mode",   "text",   "command",    "format",     "cleanup",
        "address",    "area",   "offset", "id",         "value_type", "entries",
        "terminator", "file",   "hex",    "size",       "pad"};
    ordered out = ordered::object();
    for (const char *k : order)
        if (object.contains(k)) out[k] = ordered::parse(object[k].dump());
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!out.contains(it.key())) out[it.key()] = ordered::parse(it.value().dump());
    return out;
}

} // namespace

int extract_main(int argc, char **argv) {
    const char *name = argv[0];
    std::string dir, key_path;
    enum { opt_key_path = 0x30000 };
    static const option own[] = {{"directory", required_argument, nullptr, 'd'},
                                 {"key-path", required_argument, nullptr, opt_key_path},
                                 {nullptr, 0, nullptr, 0}};
    check_options check;
    const std::vector<option> options = with_check_options(own, {"json"});
    int opt;
    while ((opt = cli_option(argc, argv, "d:", options.data())) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case cli_bad: return usage(name);
        case 'd': dir = optarg; break;
        case opt_key_path: key_path = optarg; break;
        default: {
            const int r = check_option(name, opt, optarg, &check);
            if (r < 0) return 2;
            if (r == 0) return usage(name);
        }
        }
    }
    if (argc - optind != 1 || dir.empty()) return usage(name);
    if (!check_finish(name, &check)) return 2;
    const std::string input = argv[optind];
    if (!folder_empty_or_absent(dir))
        return fail(name, "%s: the folder must be absent or empty", dir.c_str()), 2;

    fd_owner source{open(input.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (source.fd < 0 || fstat(source.fd, &st) != 0)
        return fail(name, "cannot read %s: %s", input.c_str(), strerror(errno)), 2;
    const uint64_t size = uint64_t(st.st_size);
    inspection r;
    inspect_file(source.fd, size, check.keys, check.device, &r);
    if (!r.readable)
        return fail(name,
                    "%s: the chunks cannot be deciphered: give --aes or the device's key store",
                    input.c_str()),
               2;
    unsigned char head[oza_signed_start + oza_cipher_chunk_size] = {};
    if (size < oza_signed_start ||
        pread(source.fd, head, sizeof head, 0) < ssize_t(oza_signed_start) ||
        memcmp(head, oza_magic, 4) != 0)
        return fail(name, "%s: not an update file (no \"OZA2\" head of 140 bytes)", input.c_str());
    if (!make_dirs(dir + "/data"))
        return fail(name, "cannot make %s: %s", dir.c_str(), strerror(errno));

    ordered manifest = ordered::object();
    manifest["comment"] = "extracted from " + input + " by ozatool extract";
    ordered signature = ordered::object();
    const std::string fourcc(reinterpret_cast<const char *>(head + 4), 4);
    if (r.slot && key_path.empty())
        signature["fourcc"] = fourcc;
    else if (r.slot)
        signature["slot"] = r.slot;
    else
        signature["fourcc"] = fourcc;
    if (!utf8_valid(fourcc))
        return fail(name, "%s: the signature fourcc is not text", input.c_str());
    if (load_le32(head + 8) != oza_signature_length) signature["length"] = load_le32(head + 8);
    if (key_path.empty())
        signature["block"] = hex_text(head + oza_signature_block, oza_signature_block_size);
    else
        signature["key"] = absolute_path(key_path);
    manifest["signature"] = signature;

    uint64_t p = oza_signed_start;
    bytes aes;
    const unsigned char *ciph = head + oza_signed_start;
    if (size >= oza_signed_start + oza_cipher_chunk_size && memcmp(ciph, "CIPH", 4) == 0) {
        ordered cipher = {{"iv", hex_text(ciph + 12, oza_iv_size)}};
        if (load_le32(ciph + 8) != oza_cipher_marker) cipher["marker"] = load_le32(ciph + 8);
        if (load_le32(ciph + 4) != oza_cipher_chunk_size) cipher["length"] = load_le32(ciph + 4);
        if (r.enciphered) {
            // The key the inspection deciphered with: given, the store's, or the built-in one.
            if (check.keys.aes) {
                aes = *check.keys.aes;
            } else {
                aes.resize(store_aes_size);
                if (!check.keys.store ||
                    !store_read(check.store, store_aes, store_aes_size, aes.data()))
                    aes = check.keys.builtin_aes ? *check.keys.builtin_aes : bytes();
            }
            // The manifest names the key by a file of the folder.
            if (!write_file(dir + "/aes.keyrec", aes.data(), aes.size(), 0600))
                return fail(name, "cannot write %s/aes.keyrec: %s", dir.c_str(), strerror(errno));
            cipher["key"] = "aes.keyrec";
        }
        manifest["cipher"] = cipher;
        p += oza_cipher_chunk_size;
    }

    // The chunks the walk read whole, in order, from the first after the head.
    ordered chunks = ordered::array();
    const char *fixed_names[] = {"unit", "version", "time"};
    int fixed_seen = 0;
    size_t index = 0;
    const bytes *key = r.enciphered ? &aes : nullptr;
    for (const inspected_chunk &c : r.chunks) {
        if (c.offset < p || c.fourcc.empty()) continue;
        if (c.offset != p || c.length < oza_header_size || c.length > size - c.offset) break;
        if (r.enciphered && c.length % oza_block != 0) break;
        const oza_chunk_type *t = c.known ? oza_find_type(c.fourcc.c_str()) : nullptr;
        const bool data_chunk = t && carries_data(c.fourcc);
        const uint64_t fixed = t ? t->fixed : 0;
        const uint64_t data_size = data_chunk ? c.fields.value("size", uint64_t(0)) : 0;
        char file_name[64];
        snprintf(
            file_name, sizeof file_name, "data/%03zu-%s.bin", index,
            oza_fourcc_text(reinterpret_cast<const unsigned char *>(c.fourcc.c_str())).c_str());
        for (char &ch : file_name)
            if (ch == '\\' || ch == '/') ch = '_';
        memcpy(file_name, "data/", 5);
        const std::string data_path = dir + "/" + file_name;

        // One pass: a data chunk's data into its file, the rest of the
        // payload kept (up to a bound).
        std::string error;
        output_file data;
        if (data_chunk && !data.open(data_path, {}, 0644, &error))
            return fail(name, "%s", error.c_str());
        bytes rest;
        bool rest_kept = true;
        uint64_t q = 0; // payload offset of the next byte
        const bool ok =
            read_chunk_stream(source.fd, size, c.offset, c.length, key, ciph + 12,
                              [&](const unsigned char *b, size_t n) {
                                  for (size_t i = 0; i < n; i++) {
                                      if (q + i < oza_header_size) continue;
                                      const uint64_t at = q + i - oza_header_size;
                                      if (data_chunk && at >= fixed && at < fixed + data_size) {
                                          // Runs of data bytes go to the file at once.
                                          const size_t run = size_t(
                                              std::min<uint64_t>(n - i, fixed + data_size - at));
                                          if (!data.write(b + i, run)) return false;
                                          i += run - 1;
                                      } else if (rest.size() < payload_tail_kept + 65536) {
                                          rest.push_back(b[i]);
                                      } else {
                                          rest_kept = false;
                                      }
                                  }
                                  q += n;
                                  return true;
                              });
        if (!ok)
            return fail(name, "cannot read the chunk at %llu of %s: %s",
                        static_cast<unsigned long long>(c.offset), input.c_str(), strerror(errno));

        // The chunk's own fields, when pack lays them out to the same bytes.
        json object;
        bool structured = false;
        if (t && c.fields.is_object() && texts_valid(c.fields) && rest_kept &&
            (!data_chunk || data.commit(&error))) {
            object = c.fields;
            if (data_chunk) {
                object.erase("size");
                object["file"] = file_name;
            }
            packed_chunk packed;
            if (!object.contains("size") && as_packed(object, dir, &packed)) {
                const uint64_t unpadded = oza_header_size + packed.payload_size();
                const uint64_t natural =
                    r.enciphered ? (unpadded + oza_block - 1) / oza_block * oza_block : unpadded;
                if (natural < c.length) {
                    object["pad"] = c.length - unpadded;
                    structured = as_packed(object, dir, &packed) &&
                                 same_layout(packed, rest, r.enciphered, c.length);
                } else {
                    structured = same_layout(packed, rest, r.enciphered, c.length);
                }
            }
        }
        if (!structured) {
            // The payload as it is, in the file.
            if (!utf8_valid(c.fourcc)) break;
            output_file raw;
            if (!raw.open(data_path, {}, 0644, &error)) return fail(name, "%s", error.c_str());
            uint64_t at = 0;
            if (!read_chunk_stream(source.fd, size, c.offset, c.length, key, ciph + 12,
                                   [&](const unsigned char *b, size_t n) {
                                       const size_t skip =
                                           at < oza_header_size
                                               ? size_t(std::min<uint64_t>(n, oza_header_size - at))
                                               : 0;
                                       at += n;
                                       return raw.write(b + skip, n - skip);
                                   }) ||
                !raw.commit(&error))
                return fail(name, "cannot write %s: %s", data_path.c_str(), strerror(errno));
            object = {{"type", "raw"}, {"fourcc", c.fourcc}, {"file", file_name}};
        }
        const char *expected = fixed_seen == 0 ? "UNIT" : fixed_seen == 1 ? "VERS" : "TIME";
        if (fixed_seen < 3 && chunks.empty() && c.fourcc == expected && structured) {
            object.erase("type");
            manifest[fixed_names[fixed_seen++]] = in_manifest_order(object);
        } else {
            for (; fixed_seen < 3; fixed_seen++) manifest[fixed_names[fixed_seen]] = nullptr;
            chunks.push_back(in_manifest_order(object));
        }
        p += c.length;
        index++;
    }
    for (; fixed_seen < 3; fixed_seen++) manifest[fixed_names[fixed_seen]] = nullptr;
    manifest["chunks"] = chunks;
    if (p < size) {
        // The rest of the file, as stored.
        output_file rest;
        std::string error;
        if (!rest.open(dir + "/data/trailer.bin", {}, 0644, &error))
            return fail(name, "%s", error.c_str());
        unsigned char piece[65536];
        for (uint64_t at = p; at < size;) {
            const ssize_t n = pread(source.fd, piece,
                                    size_t(std::min<uint64_t>(sizeof piece, size - at)), off_t(at));
            if (n <= 0 || !rest.write(piece, size_t(n)))
                return fail(name, "cannot copy the end of %s: %s", input.c_str(), strerror(errno));
            at += uint64_t(n);
        }
        if (!rest.commit(&error)) return fail(name, "%s", error.c_str());
        manifest["trailer"] = {{"file", "data/trailer.bin"}};
    }
    const std::string manifest_path = dir + "/manifest.json";
    const std::string text = manifest.dump(2, ' ', false, ordered::error_handler_t::replace) + "\n";
    if (!write_file(manifest_path, reinterpret_cast<const unsigned char *>(text.data()),
                    text.size(), 0644))
        return fail(name, "cannot write %s: %s", manifest_path.c_str(), strerror(errno));

    // The manifest packs back to the file itself.
    pack_settings again;
    again.output = dir + "/.repacked.oza";
    again.allow_refused = true;
    const int saved = verbosity;
    verbosity = 0;
    const int status = pack_text(name, manifest_path, text, dir, again);
    verbosity = saved;
    bool same = status == 0;
    if (same) {
        fd_owner back{open(again.output.c_str(), O_RDONLY | O_CLOEXEC)};
        unsigned char a[65536], b[65536];
        for (uint64_t at = 0; same;) {
            const ssize_t na = pread(source.fd, a, sizeof a, off_t(at));
            const ssize_t nb = pread(back.fd, b, sizeof b, off_t(at));
            same = na == nb && na >= 0 && memcmp(a, b, size_t(na)) == 0;
            if (na <= 0) break;
            at += uint64_t(na);
        }
    }
    unlink(again.output.c_str());
    if (!same) {
        if (!key_path.empty())
            fprintf(stderr,
                    "ozatool %s: warning: %s packs back to other bytes: its signature was "
                    "not made with %s\n",
                    name, manifest_path.c_str(), key_path.c_str());
        else
            return fail(name, "%s does not pack back to the same bytes", manifest_path.c_str());
    }
    if (verbosity > 0)
        printf("%s: %zu chunks into %s (manifest.json packs back to the same bytes)\n",
               input.c_str(), index, dir.c_str());
    return 0;
}
