// One process-wide deciphering state. The ring is refilled a whole piece at a time while it has
// room, each piece decrypted in CBC from the last cipher block before it; bytes short of a block
// at the end of the file are dropped.
#include "update/reader.h"

#include "crypto/aes.h"
#include "update/fileio.h"

#include <algorithm>
#include <cstring>

namespace {

struct decipher_state {
    aes_context aes;
    unsigned char iv[oza_iv_size];      // the file's IV: where every chain starts
    unsigned char running[oza_iv_size]; // the last cipher block read
    unsigned char ring[oza_ring_size];
    size_t read_at = 0, write_at = 0; // equal when empty
};

decipher_state state;

size_t ring_used() {
    return (state.write_at + oza_ring_size - state.read_at) % oza_ring_size;
}

size_t ring_free() {
    return oza_ring_size - 1 - ring_used();
}

void ring_take(unsigned char *out, size_t n) {
    const size_t first = std::min(n, oza_ring_size - state.read_at);
    memcpy(out, state.ring + state.read_at, first);
    memcpy(out + first, state.ring, n - first);
    state.read_at = (state.read_at + n) % oza_ring_size;
}

void ring_put(const unsigned char *in, size_t n) {
    const size_t first = std::min(n, oza_ring_size - state.write_at);
    memcpy(state.ring + state.write_at, in, first);
    memcpy(state.ring, in + first, n - first);
    state.write_at = (state.write_at + n) % oza_ring_size;
}

ssize_t deciphering_read(int fd, void *buffer, size_t n) {
    auto *out = static_cast<unsigned char *>(buffer);
    size_t delivered = 0;
    while (delivered < n) {
        const size_t take = std::min({n - delivered, oza_cipher_piece, ring_used()});
        ring_take(out + delivered, take);
        delivered += take;
        if (delivered == n || ring_free() <= oza_cipher_piece) continue;

        unsigned char piece[oza_cipher_piece];
        const ssize_t got = file_read_full(fd, piece, sizeof piece);
        if (got <= 0) break;
        // Bytes short of a whole block at the end of the file are dropped.
        const size_t whole = static_cast<size_t>(got) / aes_block_size * aes_block_size;
        if (whole == 0) break;
        unsigned char last[aes_block_size];
        memcpy(last, piece + whole - aes_block_size, aes_block_size);
        aes_cbc_decrypt(&state.aes, piece, whole, state.running);
        memcpy(state.running, last, aes_block_size);
        ring_put(piece, whole);
    }
    return static_cast<ssize_t>(delivered);
}

int64_t deciphering_seek(int fd, int64_t position, int whence) {
    state.read_at = state.write_at = 0;
    memcpy(state.running, state.iv, oza_iv_size);
    return file_seek(fd, position, whence);
}

ssize_t plain_read(int fd, void *buffer, size_t n) {
    return file_read_full(fd, buffer, n);
}

} // namespace

const chunk_reader plain_reader = {plain_read, file_seek};
const chunk_reader deciphering_reader = {deciphering_read, deciphering_seek};

int decipher_setup(const unsigned char iv[oza_iv_size], const unsigned char *key_record,
                   size_t size) {
    state.read_at = state.write_at = 0;
    memcpy(state.iv, iv, oza_iv_size);
    memcpy(state.running, iv, oza_iv_size);
    return aes_set_key_record(&state.aes, key_record, size) == 0 ? 0 : 1;
}
