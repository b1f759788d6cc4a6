// Opening an update file: size, magic, the signature over bytes 140 to the
// end, and the optional cipher chunk that selects the chunk reader.
#include "core/byteorder.h"
#include "core/trace.h"
#include "crypto/keyrec.h"
#include "crypto/md5.h"
#include "crypto/rsa.h"
#include "flash/keystore.h"
#include "update/engine_state.h"
#include "update/fileio.h"
#include "update/results.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>

namespace {

constexpr char magic[] = "OZA2";
constexpr size_t signature_chunk = 136; // fourcc, length, 128-byte block
constexpr int64_t signed_start = 140;
constexpr size_t digest_piece = 16384, md5_piece = 1024;
constexpr size_t cipher_chunk = 28;
constexpr uint32_t cipher_marker = 784729;
constexpr int slot_count = 5;

void announce_stage(oza_engine &e, bool announce, const char *text) {
    if (announce) e.cb.status(text);
}

// Signature slot 1 to 5 of the fourcc "SIG0" to "SIG4", or 0.
int slot_of(const unsigned char *fourcc) {
    if (memcmp(fourcc, "SIG", 3) != 0 || fourcc[3] < '0' || fourcc[3] > '4') return 0;
    return fourcc[3] - '0' + 1;
}

const unsigned char *slot_key(int slot) {
    if (slot == slot_count) return builtin_slot5_key;
    return keystore_public_key(keystore_slot_key_offsets[slot - 1]);
}

int check_signature(oza_engine &e) {
    unsigned char chunk[signature_chunk];
    if (plain_reader.read(e.fd, chunk, sizeof chunk) != static_cast<ssize_t>(sizeof chunk))
        return oza_signature_short;
    const int slot = slot_of(chunk);
    if (slot == 0) return oza_bad_signature_fourcc;
    e.slot = slot;

    // A key that cannot be used (a record that cannot be loaded, a zero
    // modulus, no memory for the arithmetic) proves nothing: the block is
    // then left as stored, and a block that simply holds the digest must not
    // pass, so the check fails whatever the block holds.
    unsigned char *block = chunk + 8;
    const bool transformed = rsa_transform(slot_key(slot), block) == 0;

    md5_stream(md5_stage_init, nullptr, 0, nullptr);
    unsigned char piece[digest_piece];
    for (int64_t left = e.size - signed_start; left > 0;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(left, digest_piece));
        if (plain_reader.read(e.fd, piece, want) != static_cast<ssize_t>(want))
            return oza_digest_read_short;
        for (size_t at = 0; at < want; at += md5_piece)
            md5_stream(md5_stage_update, piece + at, std::min(md5_piece, want - at), nullptr);
        left -= static_cast<int64_t>(want);
    }
    unsigned char digest[md5_digest_size];
    md5_stream(md5_stage_final, nullptr, 0, digest);
    if (!transformed || memcmp(digest, block, md5_digest_size) != 0) return oza_signature_mismatch;
    if (plain_reader.seek(e.fd, signed_start, SEEK_SET) != signed_start)
        return oza_digest_read_short;
    return oza_ok;
}

int setup_cipher(oza_engine &e) {
    const int64_t start = file_tell(e.fd);
    unsigned char chunk[cipher_chunk];
    if (plain_reader.read(e.fd, chunk, sizeof chunk) != static_cast<ssize_t>(sizeof chunk))
        return oza_cipher_short;
    e.reader = plain_reader;
    if (memcmp(chunk, "CIPH", 4) != 0) {
        plain_reader.seek(e.fd, start, SEEK_SET);
        return oza_ok;
    }
    if (load_le32(chunk + 8) != cipher_marker) return oza_ok;
    // The stored record has room for a 128-bit key only: one announcing more
    // is refused rather than read past.
    if (decipher_setup(chunk + 12, keystore_aes_key(), aes_key_record_size) != 0)
        return oza_cipher_key;
    e.reader = deciphering_reader;
    return oza_ok;
}

} // namespace

int oza_open_and_verify(oza_engine &e, const char *path, bool announce) {
    e.size = 0;
    e.reader = plain_reader;
    announce_stage(e, announce, "opening oza file");
    // Only a regular file is read (a FIFO's open does not wait for a writer),
    // and its identity is kept for the checks before each chunk.
    e.fd = path != nullptr ? file_open(path, O_RDONLY | O_NONBLOCK, 0) : -1;
    if (e.fd < 0 || !file_identity_of(e.fd, e.verified)) return oza_open_failed;
    e.size = file_seek(e.fd, 0, SEEK_END);
    if (e.size < 0 || file_seek(e.fd, 0, SEEK_SET) != 0) return oza_open_failed;

    announce_stage(e, announce, "parsing riff");
    unsigned char head[4];
    if (plain_reader.read(e.fd, head, sizeof head) != static_cast<ssize_t>(sizeof head) ||
        memcmp(head, magic, sizeof head) != 0)
        return oza_bad_magic;

    announce_stage(e, announce, "parsing sign");
    int r = check_signature(e);
    if (r != oza_ok) return r;

    announce_stage(e, announce, "parsing cipher");
    return setup_cipher(e);
}

void oza_close(oza_engine &e) {
    if (e.fd >= 0) file_close(e.fd);
    e.fd = -1;
}
