// Walks an update file like the device: head, signature, cipher chunk, the
// fixed chunks, then every chunk up to the end of the file. The digest, the
// RSA operation and the deciphering are the product's own code, so what this
// reports is what the device computes.
#include "tools/ozatool/inspect.h"

#include "core/byteorder.h"
#include "tools/ozatool/format.h"
#include "update/aes.h"
#include "update/keyrec.h"
#include "update/md5.h"
#include "update/rsa.h"

#include <algorithm>
#include <cstring>

namespace {

// Printable text of a NUL-terminated field (at most n bytes), in quotes,
// with C escapes for other bytes; long texts are cut.
std::string quoted(const unsigned char *p, size_t n, size_t limit = 120) {
    std::string text = "\"";
    size_t i = 0;
    for (; i < n && p[i] && i < limit; i++) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            text += '\\';
            text += char(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c >= 0x20 && c < 0x7f) {
            text += char(c);
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", c);
            text += escape;
        }
    }
    text += '"';
    if (i == limit && i < n && p[i]) text += "...";
    return text;
}

std::string number(uint64_t v) {
    return std::to_string(v);
}

std::string version_text(const unsigned char *p) {
    return number(load_le32(p)) + "." + number(load_le32(p + 4)) + "." + number(load_le32(p + 8));
}

// "index 1 (/mnt/system/) "bin/x"" for a mount-point index and a path field.
std::string target_text(const unsigned char *p) {
    const uint32_t index = load_le32(p);
    const char *mount = oza_mount_point(index);
    return "index " + number(index) + " (" + (mount ? mount : "unknown: the device skips it") +
           ") path " + quoted(p + 4, oza_name_field);
}

// The boot tag entries of a TAGP patch, as far as they lie inside it.
std::string tag_entries(const unsigned char *p, size_t n) {
    std::string text;
    size_t at = 0;
    while (at + 8 <= n) {
        const uint32_t size = load_le32(p + at), tag = load_le32(p + at + 4);
        if (size == 0) return text + " end";
        char entry[48];
        snprintf(entry, sizeof entry, " 0x%08x(%u words)", tag, size);
        text += entry;
        if (size > (n - at) / 4) return text + " [runs past the patch]";
        at += size_t(size) * 4;
    }
    return text + " [no end entry]";
}

// The decoded fixed part of a chunk's payload (all of it present).
std::string decode(const oza_chunk_type &t, const unsigned char *p) {
    const std::string f = t.fourcc;
    if (f == "UNIT") return "name " + quoted(p, oza_unit_name_size);
    if (f == "VERS" || f == "MVER") return version_text(p);
    if (f == "EXT0" || f == "BOOT" || f == "ADEL" || f == "HDDL")
        return "value " + number(load_le32(p));
    if (f == "COPY") return target_text(p) + ", " + number(load_le32(p + 260)) + " bytes";
    if (f == "MOVE") return "from " + target_text(p) + " to " + target_text(p + 260);
    if (f == "DLET") return target_text(p);
    if (f == "EXT2") {
        char mode[24];
        snprintf(mode, sizeof mode, ", mode 0%o", load_le32(p + 260));
        return target_text(p) + mode;
    }
    if (f == "MSGB") return quoted(p, oza_name_field);
    if (f == "FRMT")
        return "format " + number(load_le32(p)) + ", cleanup " + number(load_le32(p + 4));
    if (f == "FLSH") {
        char text[64];
        snprintf(text, sizeof text, "address 0x%08x, %u bytes", load_le32(p), load_le32(p + 4));
        return text;
    }
    if (f == "MMCF" || f == "EXT3")
        return "area " + quoted(p, oza_name_field) + ", offset " + number(load_le32(p + 256)) +
               ", " + number(load_le32(p + 260)) + " bytes";
    if (f == "PARM" || f == "FPAR")
        return "id " + number(load_le32(p)) + ", type " + quoted(p + 4, oza_name_field) +
               ", value " + quoted(p + 260, oza_name_field);
    if (f == "SHEL") return number(load_le32(p)) + " bytes";
    if (f == "TAGP") return number(load_le32(p)) + " bytes";
    return "";
}

struct walker {
    const bytes &file;
    inspection &out;
    aes_context aes{};
    unsigned char iv[oza_iv_size] = {};

    // Bytes the chunk reader can deliver from p after a seek there: in an
    // enciphered file only whole blocks.
    uint64_t available(uint64_t p) const {
        if (p >= file.size()) return 0;
        const uint64_t n = file.size() - p;
        return out.enciphered ? n / oza_block * oza_block : n;
    }

    // What the chunk reader delivers after a seek to p: at most n bytes,
    // deciphered from p on with the IV in an enciphered file.
    bytes read(uint64_t p, uint64_t n) const {
        const uint64_t k = std::min(n, available(p));
        if (k == 0) return {};
        if (!out.enciphered) return bytes(file.begin() + long(p), file.begin() + long(p + k));
        const uint64_t whole = std::min(available(p), (k + oza_block - 1) / oza_block * oza_block);
        bytes b(file.begin() + long(p), file.begin() + long(p + whole));
        aes_cbc_decrypt(&aes, b.data(), b.size(), iv);
        b.resize(k);
        return b;
    }

    // Notes a finding; the first one with a code is where the device stops.
    void note(inspected_chunk &c, int code, const std::string &text) {
        c.findings.push_back({code, text});
        if (code != 0 && out.result == 0) {
            out.result = code;
            out.result_offset = c.offset;
            out.result_text = text;
        }
    }

    inspected_chunk &add(uint64_t offset, uint64_t length, const std::string &fourcc,
                         const std::string &fields) {
        out.chunks.push_back({offset, length, fourcc, fields, {}});
        return out.chunks.back();
    }
};

// The key the device checks the signature of this slot with, or none.
std::optional<bytes> signature_key(const inspect_keys &keys, int slot, std::string *from) {
    if (keys.key) {
        *from = "the key record given";
        return keys.key;
    }
    if (slot == 5) {
        *from = "the built-in slot 5 key";
        if (keys.builtin_slot5) return keys.builtin_slot5;
        *from = "no key: slot 5's key is built into the program (give --key or --builtin)";
        return std::nullopt;
    }
    if (!keys.store) {
        *from = "no key given (--key, --block or --mmc)";
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
        *from = "the AES key record given";
        return keys.aes;
    }
    if (keys.store) {
        bytes record(store_aes_size);
        if (store_read(*keys.store, store_aes, store_aes_size, record.data())) {
            *from = "the key store's AES key";
            return record;
        }
    }
    if (keys.builtin_aes && (keys.store || !keys.key)) {
        *from = "the built-in AES key";
        return keys.builtin_aes;
    }
    *from = "no AES key (give --aes, --block, --mmc or --builtin)";
    return std::nullopt;
}

void check_signature(walker &w, inspected_chunk &c, const inspect_keys &keys) {
    inspection &out = w.out;
    std::string from;
    std::optional<bytes> key = signature_key(keys, out.slot, &from);
    if (!key) {
        out.signature_text = "not checked: " + from;
        return;
    }
    if (key->size() != key_record_size) {
        out.signature_text =
            "not checked: the key record holds " + number(key->size()) + " bytes, not 144";
        return;
    }
    unsigned char block[oza_signature_block_size], digest[md5_digest_size];
    memcpy(block, w.file.data() + oza_signature_block, sizeof block);
    md5_context md5;
    md5_init(&md5);
    md5_update(&md5, w.file.data() + oza_signed_start, w.file.size() - oza_signed_start);
    md5_final(&md5, digest);
    const bool transformed = rsa_transform(key->data(), block) == 0;
    if (transformed && memcmp(block, digest, sizeof digest) == 0) {
        out.signature = signature_valid;
        out.signature_text = "verifies with " + from;
    } else {
        out.signature = signature_invalid;
        out.signature_text = "does NOT verify with " + from;
        w.note(c, 207, "checked with " + from);
    }
}

// The cipher chunk; false when the chunks after it cannot be read.
bool check_cipher(walker &w, const inspect_keys &keys, uint64_t *p) {
    inspection &out = w.out;
    if (w.file.size() < oza_signed_start + oza_cipher_chunk_size) {
        inspected_chunk &c = w.add(oza_signed_start, 0, "", "");
        w.note(c, 247, "the file ends before the 28 bytes of a cipher chunk could be read");
        return false;
    }
    const unsigned char *ciph = w.file.data() + oza_signed_start;
    *p = oza_signed_start;
    if (memcmp(ciph, "CIPH", 4) != 0) return true;
    *p += oza_cipher_chunk_size;
    const uint32_t marker = load_le32(ciph + 8);
    out.enciphered = marker == oza_cipher_marker;
    inspected_chunk &c =
        w.add(oza_signed_start, load_le32(ciph + 4), "CIPH",
              "marker " + number(marker) + (out.enciphered ? " (enciphered)" : " (plain)") +
                  ", iv " + hex_text(ciph + 12, oza_iv_size));
    if (!out.enciphered) return true;
    memcpy(w.iv, ciph + 12, oza_iv_size);
    std::string from;
    std::optional<bytes> key = cipher_key(keys, &from);
    if (!key) {
        w.note(c, 0, "cannot decipher the chunks: " + from);
        out.readable = false;
        return false;
    }
    if (aes_set_key_record(&w.aes, key->data(), key->size()) != 0) {
        w.note(c, 250, "the AES key record is not accepted (" + from + ")");
        out.readable = false;
        return false;
    }
    c.fields += ", deciphered with " + from;
    return true;
}

// Reads the header at p; fills fourcc and length; false when fewer than 8
// bytes can be read.
bool header(walker &w, uint64_t p, unsigned char fourcc[4], uint32_t *length) {
    bytes h = w.read(p, oza_header_size);
    if (h.size() < oza_header_size) return false;
    memcpy(fourcc, h.data(), 4);
    *length = load_le32(h.data() + 4);
    return true;
}

// Checks and decodes the payload of a chunk of a known type at p.
// weights (for "TIME") receives the list.
void payload(walker &w, inspected_chunk &c, const oza_chunk_type &t, uint64_t p, uint32_t length,
             std::vector<uint32_t> *weights) {
    const uint64_t fixed_end = oza_header_size + uint64_t(t.fixed);
    bytes b = w.read(p, fixed_end);
    if (b.size() < fixed_end) {
        w.note(c, t.short_code,
               "the payload's " + number(t.fixed) + " bytes run past the end of the file");
        return;
    }
    const unsigned char *fixed = b.data() + oza_header_size;
    c.fields = decode(t, fixed);
    uint64_t need = fixed_end;
    if (t.tail != tail_none) {
        const uint64_t n = load_le32(fixed + t.size_field);
        need += t.tail == tail_words ? 4 * n : n;
        if (w.available(p) < need) {
            w.note(c, t.data_code,
                   "the " + number(n) + (t.tail == tail_words ? " weights" : " data bytes") +
                       " announced run past the end of the file");
        } else if (t.tail == tail_words || strcmp(t.fourcc, "SHEL") == 0 ||
                   strcmp(t.fourcc, "TAGP") == 0) {
            bytes all = w.read(p, need);
            const unsigned char *tail = all.data() + fixed_end;
            if (t.tail == tail_words) {
                uint64_t total = 0;
                std::string list;
                for (uint64_t i = 0; i < n; i++) {
                    weights->push_back(load_le32(tail + 4 * i));
                    total += weights->back();
                    if (i < 12) list += " " + number(weights->back());
                }
                c.fields = number(n) + " weights:" + list + (n > 12 ? " ..." : "") + " (total " +
                           number(total) + ")";
            } else if (t.fourcc[0] == 'S') {
                std::string command(tail, tail + n);
                c.fields = quoted(reinterpret_cast<const unsigned char *>(command.c_str()),
                                  command.size() + 1);
            } else {
                c.fields += ":" + tag_entries(tail, size_t(n));
            }
        }
    }
    if (length < need)
        w.note(c, 0,
               "the length field (" + number(length) + ") is shorter than header and payload (" +
                   number(need) + "): the payload is read on past the chunk's end");
}

void walk(walker &w, const inspect_keys &keys, uint64_t p) {
    inspection &out = w.out;
    const uint64_t size = w.file.size();
    const unsigned slot_bit = out.slot ? 1u << (out.slot - 1) : 0;
    std::vector<uint32_t> weights;
    bool have_time = false;
    uint64_t weighted = 0;

    // The fixed chunks, then the operation chunks.
    const char *fixed[] = {"UNIT", "VERS", "TIME"};
    const int missing[] = {210, 236, 244};
    for (int step = 0;; step++) {
        unsigned char fourcc[4];
        uint32_t length = 0;
        if (step > 0 && p == size) {
            if (step < 3) {
                inspected_chunk &c = w.add(p, 0, "", "");
                w.note(c, 252,
                       std::string("the file ends where \"") + fixed[step] + "\" should be");
            }
            break;
        }
        if (!header(w, p, fourcc, &length)) {
            inspected_chunk &c = w.add(p, 0, "", "");
            if (step == 0)
                w.note(c, 211, "the \"UNIT\" chunk's 40 bytes run past the end of the file");
            else
                w.note(c, 209,
                       p > size ? "the previous chunk's length runs past the end of the file"
                                : "fewer than 8 bytes remain for a chunk header");
            break;
        }
        const std::string name = oza_fourcc_text(fourcc);
        inspected_chunk &c = w.add(p, length, name, "");
        const oza_chunk_type *t = oza_find_type(reinterpret_cast<const char *>(fourcc));
        if (step == 0 && w.available(p) < oza_header_size + 32) {
            w.note(c, 211, "the \"UNIT\" chunk's 40 bytes run past the end of the file");
            break;
        }
        if (step < 3) {
            if (name != fixed[step]) {
                // The device stops here, and what follows may be noise.
                w.note(c, missing[step], std::string("expected \"") + fixed[step] + "\" here");
                break;
            } else {
                payload(w, c, *t, p, length, &weights);
                have_time = have_time || step == 2;
                if (step == 0 && keys.store && !c.fields.empty()) {
                    unsigned char unit[oza_unit_name_size] = "a004";
                    if (store_read(*keys.store, store_unit, sizeof unit, unit)) unit[15] = 0;
                    bytes b = w.read(p, 40);
                    if (strncmp(reinterpret_cast<const char *>(b.data() + 8),
                                reinterpret_cast<const char *>(unit), oza_unit_name_size) != 0)
                        w.note(c, 212, "the device's unit name is " + quoted(unit, sizeof unit));
                }
            }
        } else if (!t || t->slots == 0) {
            w.note(c, 209, "unknown chunk type");
        } else {
            if (out.slot && !(t->slots & slot_bit))
                w.note(c, 256, "not allowed in files of signature slot " + number(out.slot));
            payload(w, c, *t, p, length, &weights);
            if (t->weighted) weighted++;
            if (c.fields.empty() && t->fixed == 0) c.fields = t->what;
        }
        if (out.enciphered && length % oza_block != 0)
            w.note(c, 0, "the length is not a whole number of 16-byte blocks");
        if (length < oza_header_size) {
            w.note(c, -1, "a length below 8: the walk cannot move past this chunk");
            break;
        }
        p += length;
    }
    if (have_time && weights.size() != weighted && !out.chunks.empty())
        w.note(out.chunks.back(), 0,
               "\"TIME\" holds " + number(weights.size()) + " weights for " + number(weighted) +
                   " weight-taking chunks");
}

} // namespace

void inspect_file(const bytes &file, const inspect_keys &keys, inspection *out) {
    *out = inspection();
    out->size = file.size();
    walker w{file, *out};
    if (file.size() < 4 || memcmp(file.data(), oza_magic, 4) != 0) {
        w.note(w.add(0, 4, "", ""), 203, "the magic \"OZA2\" is missing");
        return;
    }
    w.add(0, 4, "OZA2", "magic");
    if (file.size() < oza_signed_start) {
        w.note(w.add(oza_signature_offset, 0, "", ""), 205,
               "the file ends inside the signature chunk");
        return;
    }
    const unsigned char *sig = file.data() + oza_signature_offset;
    out->slot = oza_slot_of(reinterpret_cast<const char *>(sig));
    inspected_chunk &c = w.add(oza_signature_offset, load_le32(sig + 4), oza_fourcc_text(sig),
                               out->slot ? "signature slot " + number(out->slot) : "");
    if (!out->slot) {
        w.note(c, 204, "not a signature fourcc (SIG0 to SIG4)");
        out->signature_text = "not checked: unknown signature fourcc";
    } else {
        check_signature(w, c, keys);
    }
    uint64_t p;
    if (check_cipher(w, keys, &p)) walk(w, keys, p);
}
