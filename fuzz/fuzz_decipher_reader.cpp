// Fuzzes the deciphering chunk reader: its ring, the pieces it reads and the
// seeks that restart the chain. The input is a key record size byte, an
// 18-byte key record (u16 bits, key; longer keys take their bytes from what
// follows), a 16-byte IV, one byte giving how many bytes of operations
// follow, the operations, and the enciphered file. Each operation is a
// 3-byte word: a seek to a position, or a read of a number of bytes. What
// the reader delivers is checked against OpenSSL's AES-CBC decryption of the
// file from the position of the last seek.
#include "core/byteorder.h"
#include "fuzz/fuzz_support.h"
#include "update/fileio.h"
#include "update/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t record_room = 2 + 32, iv_offset = 1 + record_room;
constexpr size_t head = iv_offset + oza_iv_size + 1;

// CBC decryption of the whole blocks of cipher with OpenSSL.
std::vector<unsigned char> oracle(const unsigned char *key, unsigned bits, const unsigned char *iv,
                                  const unsigned char *cipher, size_t n) {
    n -= n % 16;
    const EVP_CIPHER *kind = bits == 128   ? EVP_aes_128_cbc()
                             : bits == 192 ? EVP_aes_192_cbc()
                                           : EVP_aes_256_cbc();
    std::vector<unsigned char> out(n + 16);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int got = 0, last = 0;
    if (ctx == nullptr || EVP_DecryptInit_ex(ctx, kind, nullptr, key, iv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1 ||
        EVP_DecryptUpdate(ctx, out.data(), &got, cipher, static_cast<int>(n)) != 1 ||
        EVP_DecryptFinal_ex(ctx, out.data() + got, &last) != 1)
        abort();
    EVP_CIPHER_CTX_free(ctx);
    out.resize(n);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < head) return 0;
    const size_t record_size = data[0] % (record_room + 1);
    const unsigned char *record = data + 1;
    const unsigned char *iv = data + iv_offset;
    const size_t ops_size = std::min<size_t>(data[head - 1], size - head) / 3 * 3;
    const unsigned char *ops = data + head;
    const unsigned char *file = ops + ops_size;
    const size_t file_size = size - head - ops_size;

    // The record in a buffer of exactly the size it is given as.
    std::unique_ptr<unsigned char[]> rec(new unsigned char[record_size > 0 ? record_size : 1]);
    memcpy(rec.get(), record, record_size);
    const unsigned bits = record_size >= 2 ? load_le16(rec.get()) : 0;
    const bool usable = (bits == 128 || bits == 192 || bits == 256) && record_size >= 2 + bits / 8;
    if (decipher_setup(iv, rec.get(), record_size) != (usable ? 0 : 1)) abort();
    if (!usable) return 0;

    const int fd = file_open(memory_file("decipher", file, file_size), O_RDONLY, 0);
    if (fd < 0) abort();
    std::vector<unsigned char> plain = oracle(record + 2, bits, iv, file, file_size);
    size_t from = 0, delivered = 0; // the last seek's position, bytes read since
    deciphering_reader.seek(fd, 0, SEEK_SET);
    for (size_t i = 0; i < ops_size; i += 3) {
        const uint32_t word = ops[i] | ops[i + 1] << 8 | uint32_t(ops[i + 2]) << 16;
        const size_t value = (word >> 1) & 0xFFFF; // the ring holds less
        if (word & 1) {
            from = value % (file_size + 33);
            delivered = 0;
            if (deciphering_reader.seek(fd, int64_t(from), SEEK_SET) != int64_t(from)) abort();
            plain = from <= file_size ? oracle(record + 2, bits, iv, file + from, file_size - from)
                                      : std::vector<unsigned char>();
            continue;
        }
        std::unique_ptr<unsigned char[]> out(new unsigned char[value > 0 ? value : 1]);
        const ssize_t got = deciphering_reader.read(fd, out.get(), value);
        // Fewer bytes only at the end: everything the whole blocks hold.
        const size_t expected = std::min(value, plain.size() - delivered);
        if (got < 0 || size_t(got) != expected) abort();
        if (expected > 0 && memcmp(out.get(), plain.data() + delivered, expected) != 0) abort();
        delivered += expected;
    }
    close(fd);
    return 0;
}
