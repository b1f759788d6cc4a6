// ozatool aeskey: an AES key record, the key size in bits as a little-endian
// u16 followed by the key bytes. The device's key store and the built-in
// record hold 128-bit keys (18 bytes in all).
#include "core/byteorder.h"
#include "tools/ozatool/ozatool.h"
#include "update/keyrec.h"

#include <cstring>
#include <openssl/rand.h>
#include <unistd.h>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses exactly n bytes of hexadecimal text.
bool parse_hex(const char *text, unsigned char *out, size_t n) {
    if (strlen(text) != 2 * n) return false;
    for (size_t i = 0; i < n; i++) {
        int high = hex_digit(text[2 * i]), low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = uint8_t(high << 4 | low);
    }
    return true;
}

} // namespace

int aeskey_main(int argc, char **argv) {
    const char *name = argv[0];
    uint64_t bits = 128;
    const char *hex = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "b:k:")) != -1) {
        switch (opt) {
        case 'b':
            if (!parse_u64(optarg, &bits) || (bits != 128 && bits != 192 && bits != 256))
                return fail(name, "key size '%s': 128, 192 or 256", optarg);
            break;
        case 'k': hex = optarg; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1) return usage(name);
    const char *record_path = argv[optind];

    unsigned char record[2 + 32];
    const size_t key_bytes = bits / 8, size = 2 + key_bytes;
    store_le16(record, uint16_t(bits));
    if (hex) {
        if (!parse_hex(hex, record + 2, key_bytes))
            return fail(name, "key '%s': %zu hexadecimal digits", hex, 2 * key_bytes);
    } else if (RAND_bytes(record + 2, int(key_bytes)) != 1) {
        return fail(name, "no random bytes");
    }
    if (!write_bytes(record_path, record, size, 0600))
        return fail(name, "cannot write %s", record_path);
    return 0;
}
