// The id.sys record is built section by section. The device identity is the unit name's first
// four characters (non-alphanumeric or missing ones as '_'), then hex of the MD5 of the CID
// file's text, or of the stored Wi-Fi address when that file gives nothing.
#include "devtools/sysid.h"

#include "core/byteorder.h"
#include "core/sysfile.h"
#include "crypto/md5.h"
#include "devtools/mac_store.h"
#include "flash/keystore.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t unit_part = 4;
constexpr char mac_placeholder[18] = "FF:FF:FF:FF:FF:FF"; // with its zero byte

// Appends a section (tag, length, data) at at; returns the offset after it.
size_t put_section(unsigned char *record, size_t at, const char tag[5], const void *data,
                   uint32_t length) {
    memcpy(record + at, tag, 4);
    store_le32(record + at + 4, length);
    memcpy(record + at + 8, data, length);
    return at + 8 + length;
}

} // namespace

size_t sysid_build_record(unsigned char record[sysid_record_size], const sysid_facts &facts) {
    memset(record, 0, sysid_record_size);
    memcpy(record, facts.identity, device_identity_size);
    size_t at = device_identity_size;

    unsigned char versions[version_size];
    store_version(versions, facts.min_version);
    at = put_section(record, at, "DGMN", versions, sizeof versions);

    unsigned char product[12] = {};
    if (facts.product_name != nullptr)
        memcpy(product, facts.product_name, strnlen(facts.product_name, sizeof product));
    at = put_section(record, at, "PNPN", product, sizeof product);

    unsigned char macs[2 * sizeof mac_placeholder];
    memcpy(macs, mac_placeholder, sizeof mac_placeholder);
    memcpy(macs + sizeof mac_placeholder, mac_placeholder, sizeof mac_placeholder);
    at = put_section(record, at, "MACS", macs, facts.ethernet ? 36 : 18);

    const size_t hdcp = at;
    unsigned char three[4];
    store_le32(three, 3);
    put_section(record, at, "HDCP", three, sizeof three);
    return hdcp;
}

void device_identity_of(const char *unit, const unsigned char *unique, size_t n,
                        char identity[device_identity_size]) {
    size_t i = 0;
    for (; i < unit_part && unit != nullptr && unit[i] != '\0'; ++i)
        identity[i] = isalnum(static_cast<unsigned char>(unit[i])) ? unit[i] : '_';
    for (; i < unit_part; ++i) identity[i] = '_';

    md5_context ctx;
    unsigned char digest[md5_digest_size];
    md5_init(&ctx);
    md5_update(&ctx, unique, n);
    md5_final(&ctx, digest);
    static const char hex[] = "0123456789abcdef";
    for (size_t k = 0; k < (device_identity_size - unit_part) / 2; ++k) {
        identity[unit_part + 2 * k] = hex[digest[k] >> 4];
        identity[unit_part + 2 * k + 1] = hex[digest[k] & 15];
    }
}

bool device_identity(char identity[device_identity_size], const char *cid_file) {
    unsigned char value[64];
    int n = read_file(cid_file, value, sizeof value);
    while (n > 0 && isspace(value[n - 1])) --n;
    if (n <= 0) {
        unsigned char store[mac_store_size];
        n = mac_store_check(store, false, false) == 0 ? 6 : 0;
        memcpy(value, store + mac_store_wifi, 6);
    }
    device_identity_of(keystore_unit_name(), value, static_cast<size_t>(n), identity);
    return n > 0;
}
