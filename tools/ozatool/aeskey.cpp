// ozatool aeskey: an AES key record, the key size in bits as a little-endian
// u16 followed by the key bytes. The device's key store and the built-in
// record hold 128-bit keys (18 bytes in all).
#include "core/byteorder.h"
#include "crypto/keyrec.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/ozatool.h"

#include <cstring>
#include <openssl/rand.h>
#include <unistd.h>

int aeskey_main(int argc, char **argv) {
    const char *name = argv[0];
    uint64_t bits = 128;
    const char *hex = nullptr;
    int opt;
    while ((opt = cli_option(argc, argv, "b:k:", nullptr)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
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
        bytes key;
        if (!parse_hex(hex, &key) || key.size() != key_bytes)
            return fail(name, "key '%s': %zu hexadecimal digits", hex, 2 * key_bytes);
        memcpy(record + 2, key.data(), key_bytes);
    } else if (RAND_bytes(record + 2, int(key_bytes)) != 1) {
        return fail(name, "no random bytes");
    }
    return write_small_output(name, record_path, {}, record, size, 0600);
}
