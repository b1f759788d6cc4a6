// Walks an update file like the device: head, signature, cipher chunk, the
// fixed chunks, then every chunk up to the end of the file, with the
// device's rules on every chunk's fields (rules.cpp). The digest, the RSA
// operation and the deciphering are the product's own code, so what this
// reports is what the device computes. The file is read piece by piece
// through its descriptor.
#include "tools/ozatool/inspect.h"

#include "core/byteorder.h"
#include "crypto/aes.h"
#include "crypto/keyrec.h"
#include "crypto/md5.h"
#include "crypto/rsa.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/key_strength.h"
#include "tools/ozatool/rules.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

using json = nlohmann::json;

size_t inspection::faults(bool strict) const {
    size_t n = 0;
    for (const finding &f : findings)
        n += f.level == severity_error || (strict && f.level == severity_warning);
    return n;
}

namespace {

std::string number(uint64_t v) {
    return std::to_string(v);
}

// Reads up to n bytes at offset; the count read (short at the end of the file).
size_t read_at(int fd, uint64_t offset, unsigned char *buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = pread(fd, buffer + done, n - done, off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += size_t(r);
    }
    return done;
}

struct walker {
    int fd;
    uint64_t size;
    inspection &out;
    aes_context aes{};
    unsigned char iv[oza_iv_size] = {};

    // Bytes the chunk reader can deliver from p after a seek there: in an
    // enciphered file only whole blocks.
    uint64_t available(uint64_t p) const {
        if (p >= size) return 0;
        const uint64_t n = size - p;
        return out.enciphered ? n / oza_block * oza_block : n;
    }

    // What the chunk reader delivers after a seek to p: at most n bytes,
    // deciphered from p on with the IV in an enciphered file.
    bytes read(uint64_t p, uint64_t n) const {
        const uint64_t k = std::min(n, available(p));
        if (k == 0) return {};
        const uint64_t whole =
            out.enciphered ? std::min(available(p), (k + oza_block - 1) / oza_block * oza_block)
                           : k;
        bytes b(size_t(whole), 0);
        b.resize(read_at(fd, p, b.data(), b.size()));
        if (out.enciphered) {
            b.resize(b.size() / oza_block * oza_block);
            aes_cbc_decrypt(&aes, b.data(), b.size(), iv);
        }
        if (b.size() > k) b.resize(size_t(k));
        return b;
    }

    // Records a finding; the first one with a code is where the device stops.
    void note(int chunk, severity level, int code, const std::string &field,
              const std::string &text, const std::string &suggestion = "") {
        out.findings.push_back({level, code, chunk, field, text, suggestion});
        if (code != 0 && out.result == 0) {
            out.result = code;
            out.result_chunk = chunk;
            out.result_offset = chunk >= 0 ? out.chunks[size_t(chunk)].offset : 0;
            out.result_text = text;
        }
    }

    int add(uint64_t offset, uint64_t length, const std::string &fourcc,
            const std::string &summary) {
        out.chunks.push_back({offset, length, fourcc, summary, json(), false});
        return int(out.chunks.size() - 1);
    }
};

// The key the device checks the signature of this slot with, or none.
std::optional<bytes> signature_key(const inspect_keys &keys, int slot, std::string *from) {
    if (keys.key) {
        *from = keys.key_from.empty() ? "the key record given" : keys.key_from;
        return keys.key;
    }
    if (slot == 5) {
        *from = "the built-in slot 5 key";
        if (keys.builtin_slot5) return keys.builtin_slot5;
        *from = "no key: slot 5's key is built into the program (give --key or --builtin)";
        return std::nullopt;
    }
    if (!keys.store) {
        *from = "no key given (--key, --block, --mmc or --box)";
        return std::nullopt;
    }
    bytes record(key_record_size);
    const size_t offset = oza_slot_key_offset(slot);
    if (store_read(*keys.store, offset, key_record_size, record.data()) &&
        key_record_valid(record.data())) {
        *from = "the key store's record at offset " + number(offset);
        return record;
    }
    *from = "the built-in fallback key, since the store's record at offset " + number(offset) +
            " is unreadable or its checksum is wrong";
    if (keys.builtin_fallback) return keys.builtin_fallback;
    *from = "no key: the store's record at offset " + number(offset) +
            " is unusable and the device falls back to its built-in key (give --builtin)";
    return std::nullopt;
}

std::optional<bytes> cipher_key(const inspect_keys &keys, std::string *from) {
    if (keys.aes) {
        *from = keys.aes_from.empty() ? "the AES key record given" : keys.aes_from;
        return keys.aes;
    }
    if (keys.store) {
        bytes record(store_aes_size);
        if (store_read(*keys.store, store_aes, store_aes_size, record.data())) {
            *from = "the key store's AES key";
            return record;
        }
    }
    // The device falls back to its built-in key when its store cannot be read.
    if (keys.builtin_aes && (keys.store || (keys.builtin_given && !keys.key))) {
        *from = "the built-in AES key";
        return keys.builtin_aes;
    }
    *from = "no AES key (give --aes, --block, --mmc, --box or --builtin)";
    return std::nullopt;
}

// Other keys the device knows, for telling which one a file was signed with.
std::vector<std::pair<std::string, bytes>> other_keys(const inspect_keys &keys) {
    std::vector<std::pair<std::string, bytes>> all;
    if (keys.store)
        for (int slot = 1; slot <= 4; slot++) {
            bytes record(key_record_size);
            if (store_read(*keys.store, oza_slot_key_offset(slot), key_record_size,
                           record.data()) &&
                key_record_valid(record.data()))
                all.push_back({"the key store's slot " + number(slot) + " key", record});
        }
    if (keys.builtin_slot5) all.push_back({"the built-in slot 5 key", *keys.builtin_slot5});
    if (keys.builtin_fallback) all.push_back({"the built-in fallback key", *keys.builtin_fallback});
    if (keys.key) all.push_back({"the key record given", *keys.key});
    return all;
}

bool block_matches(const bytes &record, const unsigned char *stored, const unsigned char *digest) {
    unsigned char block[oza_signature_block_size];
    memcpy(block, stored, sizeof block);
    return record.size() == key_record_size && rsa_transform(record.data(), block) == 0 &&
           memcmp(block, digest, md5_digest_size) == 0;
}

void check_signature(walker &w, int chunk, const inspect_keys &keys, const unsigned char *stored) {
    inspection &out = w.out;
    std::string from;
    std::optional<bytes> key = signature_key(keys, out.slot, &from);
    out.signature_key = from;
    if (!key) {
        out.signature_text = "not checked: " + from;
        out.unchecked.push_back("signature: " + from);
        return;
    }
    if (key->size() != key_record_size) {
        out.signature_text =
            "not checked: the key record holds " + number(key->size()) + " bytes, not 144";
        out.unchecked.push_back("signature: " + out.signature_text);
        return;
    }
    const std::string weak = key_record_weakness(key->data());
    if (!weak.empty()) w.note(chunk, severity_warning, 0, "key", "the slot's key is weak: " + weak);

    unsigned char digest[md5_digest_size];
    md5_context md5;
    md5_init(&md5);
    progress_line progress("reading", w.size);
    unsigned char piece[65536];
    for (uint64_t at = oza_signed_start; at < w.size;) {
        const size_t want = size_t(std::min<uint64_t>(sizeof piece, w.size - at));
        const size_t got = read_at(w.fd, at, piece, want);
        if (got < want) {
            w.note(chunk, severity_error, 206, "", "a read failed while digesting the file");
            return;
        }
        md5_update(&md5, piece, got);
        at += got;
        progress.update(at);
    }
    progress.done();
    md5_final(&md5, digest);
    if (block_matches(*key, stored, digest)) {
        out.signature = signature_valid;
        out.signature_text = "verifies with " + from;
        return;
    }
    out.signature = signature_invalid;
    out.signature_text = "does NOT verify with " + from;
    w.note(chunk, severity_error, 207, "",
           "the digest does not match the signature (checked with " + from + ")");
    for (const auto &[name, record] : other_keys(keys)) {
        if (record == *key || !block_matches(record, stored, digest)) continue;
        out.diagnoses.push_back("the signature verifies with " + name +
                                ": the file was signed for another slot than its fourcc names "
                                "(ozatool resign signs it again for the slot it is meant for)");
        return;
    }
    out.diagnoses.push_back("the digest does not match: the file was changed after it was "
                            "signed, or signed with a key other than " +
                            from);
}

// The cipher chunk; false when the chunks after it cannot be read.
bool check_cipher(walker &w, const inspect_keys &keys, const unsigned char *ciph, uint64_t *p) {
    inspection &out = w.out;
    *p = oza_signed_start;
    out.head["cipher"] = nullptr;
    if (w.size < oza_signed_start + oza_cipher_chunk_size) {
        const int c = w.add(oza_signed_start, 0, "", "");
        w.note(c, severity_error, 247, "",
               "the file ends before the 28 bytes of a cipher chunk could be read");
        return false;
    }
    if (memcmp(ciph, "CIPH", 4) != 0) return true;
    *p += oza_cipher_chunk_size;
    const uint32_t marker = load_le32(ciph + 8);
    out.enciphered = marker == oza_cipher_marker;
    const int c =
        w.add(oza_signed_start, load_le32(ciph + 4), "CIPH",
              "marker " + number(marker) + (out.enciphered ? " (enciphered)" : " (plain)") +
                  ", iv " + hex_text(ciph + 12, oza_iv_size));
    out.head["cipher"] = {{"length", load_le32(ciph + 4)},
                          {"marker", marker},
                          {"iv", hex_text(ciph + 12, oza_iv_size)},
                          {"enciphered", out.enciphered}};
    if (!out.enciphered) return true;
    memcpy(w.iv, ciph + 12, oza_iv_size);
    std::string from;
    std::optional<bytes> key = cipher_key(keys, &from);
    out.head["cipher"]["key"] = from;
    if (!key) {
        out.readable = false;
        out.unchecked.push_back("chunks: cannot decipher them: " + from);
        return false;
    }
    if (aes_set_key_record(&w.aes, key->data(), key->size()) != 0) {
        w.note(c, severity_error, 250, "", "the AES key record is not accepted (" + from + ")");
        out.readable = false;
        return false;
    }
    out.chunks[size_t(c)].summary += ", deciphered with " + from;
    return true;
}

bool printable_fourcc(const unsigned char *f) {
    for (int i = 0; i < 4; i++)
        if (!((f[i] >= 'A' && f[i] <= 'Z') || (f[i] >= '0' && f[i] <= '9'))) return false;
    return true;
}

// What the walk read of one chunk, for the rules.
struct read_payload {
    bool whole = false; // the fixed part and the tail are in the file
    bytes fixed;
    uint64_t tail_size = 0;
    std::optional<bytes> tail;
};

// Reads and decodes the payload of a chunk of a known type at p.
read_payload payload(walker &w, int c, const oza_chunk_type &t, uint64_t p, uint32_t length) {
    read_payload r;
    inspected_chunk &chunk = w.out.chunks[size_t(c)];
    const uint64_t fixed_end = oza_header_size + uint64_t(t.fixed);
    bytes b = w.read(p, fixed_end);
    w.out.announced_end = std::max(w.out.announced_end, p + fixed_end);
    if (b.size() < fixed_end) {
        w.note(c, severity_error, t.short_code, "",
               "the payload's " + number(t.fixed) + " bytes run past the end of the file");
        return r;
    }
    r.fixed.assign(b.begin() + oza_header_size, b.end());
    uint64_t need = fixed_end;
    if (t.tail != tail_none) {
        const uint64_t n = load_le32(r.fixed.data() + t.size_field);
        r.tail_size = t.tail == tail_words ? 4 * n : n;
        need += r.tail_size;
        w.out.announced_end = std::max(w.out.announced_end, p + need);
        if (w.available(p) < need) {
            w.note(c, severity_error, t.data_code, "",
                   "the " + number(n) + (t.tail == tail_words ? " weights" : " data bytes") +
                       " announced run past the end of the file");
        } else {
            r.whole = true;
            const bool decoded = t.tail == tail_words || strcmp(t.fourcc, "SHEL") == 0 ||
                                 strcmp(t.fourcc, "TAGP") == 0;
            if (decoded && r.tail_size <= payload_tail_kept) {
                bytes all = w.read(p, need);
                r.tail = bytes(all.begin() + long(fixed_end), all.end());
            }
        }
    } else {
        r.whole = true;
    }
    const payload_view v{&t, r.fixed.data(), r.tail_size, r.tail ? &*r.tail : nullptr};
    chunk.summary = payload_summary(v);
    chunk.fields = payload_fields(v);
    chunk.known = r.whole;
    if (length < need)
        w.note(c, severity_error, 0, "length",
               "the length field (" + number(length) + ") is shorter than header and payload (" +
                   number(need) +
                   "): the device reads the payload on past the chunk's end and "
                   "then walks on inside it");
    return r;
}

void walk(walker &w, const device_state &device, uint64_t p) {
    inspection &out = w.out;
    rule_state rules{device, out.slot};
    int current = -1;
    rule_sink sink{[&](severity level, int code, const std::string &field, const std::string &text,
                       const std::string &suggestion) {
        w.note(current, level, code, field, text, suggestion);
    }};
    bool parm = false, fpar = false, tagp = false;

    const char *fixed[] = {"UNIT", "VERS", "TIME"};
    const int missing[] = {210, 236, 244};
    for (int step = 0;; step++) {
        if (step > 0 && p == w.size) {
            if (step < 3) {
                const int c = w.add(p, 0, "", "");
                w.note(c, severity_error, 252, "",
                       std::string("the file ends where \"") + fixed[step] + "\" should be");
            }
            break;
        }
        bytes h = w.read(p, oza_header_size);
        if (h.size() < oza_header_size) {
            const int c = w.add(p, 0, "", "");
            if (step == 0)
                w.note(c, severity_error, 211, "",
                       "the \"UNIT\" chunk's 40 bytes run past the end of the file");
            else
                w.note(c, severity_error, 209, "",
                       p > w.size ? "the previous chunk's length runs past the end of the file"
                                  : "fewer than 8 bytes remain for a chunk header");
            break;
        }
        const uint32_t length = load_le32(h.data() + 4);
        const std::string name = oza_fourcc_text(h.data());
        current = w.add(p, length, name, "");
        const oza_chunk_type *t = oza_find_type(reinterpret_cast<const char *>(h.data()));
        if (step == 0 && w.available(p) < oza_header_size + 32) {
            w.note(current, severity_error, 211, "",
                   "the \"UNIT\" chunk's 40 bytes run past the end of the file");
            break;
        }
        if (step < 3) {
            if (name != fixed[step]) {
                w.note(current, severity_error, missing[step], "",
                       std::string("expected \"") + fixed[step] + "\" here");
                if (step == 0 && out.enciphered && !printable_fourcc(h.data()))
                    out.diagnoses.push_back(
                        "the first deciphered block is not a chunk header: the AES key (" +
                        out.head["cipher"].value("key", std::string("?")) + ") is probably wrong");
                // The device stops here, and what follows may be noise.
                break;
            }
            w.out.announced_end = std::max(w.out.announced_end, p + length);
            read_payload r = payload(w, current, *t, p, length);
            if (step == 2) rules.time_chunk = current;
            if (r.whole)
                check_fixed({t, r.fixed.data(), r.tail_size, r.tail ? &*r.tail : nullptr}, rules,
                            sink);
        } else if (!t || t->slots == 0) {
            w.out.announced_end = std::max(w.out.announced_end, p + length);
            w.note(current, severity_error, 209, "type", "unknown chunk type");
        } else {
            w.out.announced_end = std::max(w.out.announced_end, p + length);
            if (out.slot && !(t->slots & (1u << (out.slot - 1))))
                w.note(current, severity_error, 256, "type",
                       "not allowed in files of signature slot " + number(out.slot));
            read_payload r = payload(w, current, *t, p, length);
            parm = parm || strcmp(t->fourcc, "PARM") == 0;
            fpar = fpar || strcmp(t->fourcc, "FPAR") == 0;
            tagp = tagp || strcmp(t->fourcc, "TAGP") == 0;
            if (r.whole)
                check_chunk({t, r.fixed.data(), r.tail_size, r.tail ? &*r.tail : nullptr}, rules,
                            sink);
            else if (t->weighted)
                rules.weighted++;
        }
        if (out.enciphered && length % oza_block != 0)
            w.note(current, severity_warning, 0, "length",
                   "the length is not a whole number of 16-byte blocks");
        if (length < oza_header_size) {
            w.note(current, severity_error, 209, "length",
                   "a length below 8: the walk cannot move past this chunk");
            break;
        }
        p += length;
    }
    current = rules.time_chunk;
    check_file(rules, sink);

    if (!device.target)
        out.unchecked.push_back(
            "target: checked for the full build (give --target basic for varitool-basic)");
    if (!device.unit)
        out.unchecked.push_back("unit: the device's unit name is not known (give --unit, or a "
                                "key store with --block, --mmc or --box)");
    if (parm && !device.parameter_file && !device.parameter_file_missing)
        out.unchecked.push_back("PARM: which parameters the device's System.bin holds is not "
                                "known (give --params-file or --box)");
    if (fpar && !device.typed_records)
        out.unchecked.push_back("FPAR: which parameters the device's ParamStore_3b holds is not "
                                "known (give --params-image or --box)");
    if (tagp && !device.tags)
        out.unchecked.push_back("TAGP: the device's boot tag list is not known (give --box): "
                                "replaced entries are not checked");
}

} // namespace

void inspect_file(int fd, uint64_t size, const inspect_keys &keys, const device_state &device,
                  inspection *out) {
    *out = inspection();
    out->size = size;
    out->head = json::object();
    walker w{fd, size, *out};
    unsigned char head[oza_signed_start + oza_cipher_chunk_size] = {};
    const size_t got = read_at(fd, 0, head, sizeof head);
    if (got < 4 || memcmp(head, oza_magic, 4) != 0) {
        const int c = w.add(0, 4, "", "");
        w.note(c, severity_error, 203, "", "the magic \"OZA2\" is missing");
        out->head["magic"] = got >= 4 ? oza_fourcc_text(head) : "";
        return;
    }
    out->head["magic"] = "OZA2";
    w.add(0, 4, "OZA2", "magic");
    if (size < oza_signed_start || got < oza_signed_start) {
        const int c = w.add(oza_signature_offset, 0, "", "");
        w.note(c, severity_error, 205, "", "the file ends inside the signature chunk");
        return;
    }
    const unsigned char *sig = head + oza_signature_offset;
    out->slot = oza_slot_of(reinterpret_cast<const char *>(sig));
    const int c = w.add(oza_signature_offset, load_le32(sig + 4), oza_fourcc_text(sig),
                        out->slot ? "signature slot " + number(out->slot) : "");
    if (!out->slot) {
        w.note(c, severity_error, 204, "fourcc", "not a signature fourcc (SIG0 to SIG4)");
        out->signature_text = "not checked: unknown signature fourcc";
    } else {
        check_signature(w, c, keys, head + oza_signature_block);
    }
    out->head["signature"] = {{"fourcc", oza_fourcc_text(sig)},
                              {"slot", out->slot},
                              {"length", load_le32(sig + 4)},
                              {"state", out->signature == signature_valid     ? "valid"
                                        : out->signature == signature_invalid ? "invalid"
                                                                              : "unchecked"},
                              {"key", out->signature_key}};
    uint64_t p = 0;
    if (check_cipher(w, keys, head + oza_signed_start, &p)) walk(w, device, p);
    if (out->announced_end > size) {
        const uint64_t missing = out->announced_end - size;
        out->diagnoses.insert(out->diagnoses.begin(),
                              "the file is truncated: its chunks announce " +
                                  number(out->announced_end) + " bytes, it has " + number(size) +
                                  " (" + number(missing) + " missing)");
    }
    for (const finding &f : out->findings)
        if (f.code == 212 && device.unit) {
            out->diagnoses.push_back("the file is made for another unit than the device's (" +
                                     f.text + ")");
            break;
        }
}

bool read_chunk_stream(int fd, uint64_t size, uint64_t offset, uint64_t length, const bytes *aes,
                       const unsigned char iv[16],
                       const std::function<bool(const unsigned char *, size_t)> &sink) {
    if (offset > size || length > size - offset) return false;
    aes_context ctx{};
    unsigned char chain[oza_iv_size];
    if (aes) {
        if (aes_set_key_record(&ctx, aes->data(), aes->size()) != 0) return false;
        memcpy(chain, iv, sizeof chain);
    }
    unsigned char piece[65536];
    for (uint64_t done = 0; done < length;) {
        size_t want = size_t(std::min<uint64_t>(sizeof piece, length - done));
        if (aes) want = want / oza_block * oza_block;
        if (want == 0) return false; // a part block at the end is never delivered
        if (read_at(fd, offset + done, piece, want) != want) return false;
        if (aes) {
            unsigned char next[oza_iv_size];
            memcpy(next, piece + want - oza_iv_size, oza_iv_size);
            aes_cbc_decrypt(&ctx, piece, want, chain);
            memcpy(chain, next, oza_iv_size);
        }
        if (!sink(piece, want)) return false;
        done += want;
    }
    return true;
}
