// The chunk reader: a read and a seek function over the update file, either
// plain or deciphering. The deciphering pair reads the file in 12,288-byte
// pieces into a 24,592-byte ring and decrypts them with AES-CBC; every seek
// empties the ring and restarts the chain from the file's IV, which is why
// each chunk of an enciphered file is enciphered by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct chunk_reader {
    // Up to n bytes: fewer only at the end of the file; -1 on an error
    // before any byte.
    ssize_t (*read)(int fd, void *buffer, size_t n);
    // The new position, or -1.
    int64_t (*seek)(int fd, int64_t position, int whence);
};

inline constexpr size_t oza_ring_size = 24592;
inline constexpr size_t oza_cipher_piece = 12288;
inline constexpr size_t oza_iv_size = 16;

extern const chunk_reader plain_reader;
extern const chunk_reader deciphering_reader;

// Prepares the deciphering pair: empties the ring, takes iv as the initial
// and the running IV, and expands the key of the AES key record (size bytes:
// u16 bits, then the key). 0, or 1 when the record's size is not accepted
// (the record must hold the key it announces).
int decipher_setup(const unsigned char iv[oza_iv_size], const unsigned char *key_record,
                   size_t size);
