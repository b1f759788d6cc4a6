// The key store: values read through the storage table and cached under one mutex once good,
// public-key records read again, up to keystore_key_tries times, until their checksum holds;
// the built-in values otherwise.
#include "flash/keystore.h"

#include "crypto/keyrec.h"
#include "flash/params.h"
#include "flash/storage.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex cache_mutex;

char unit_name[keystore_unit_size];
bool unit_cached = false;

unsigned char aes_key[aes_key_record_size];
bool aes_cached = false;

constexpr int32_t public_key_offsets[] = {
    keystore_image_key_offset, keystore_slot_key_offsets[0], keystore_slot_key_offsets[1],
    keystore_slot_key_offsets[2], keystore_slot_key_offsets[3]};
constexpr int public_key_count = sizeof public_key_offsets / sizeof public_key_offsets[0];
unsigned char public_keys[public_key_count][key_record_size];
bool public_cached[public_key_count] = {};

int store_read(int32_t offset, void *buffer, int32_t length) {
    return keystore_read(param_keystore, offset, buffer, length);
}

} // namespace

bool key_record_fetch(int (*read)(int32_t, void *, int32_t), int32_t offset, unsigned char *out) {
    for (int i = 0; i < keystore_key_tries; ++i) {
        if (read(offset, out, key_record_size) < 0) return false;
        if (key_record_valid(out)) return true;
    }
    return false;
}

const char *keystore_unit_name() {
    std::lock_guard<std::mutex> guard(cache_mutex);
    if (!unit_cached) {
        char name[keystore_unit_size];
        if (store_read(keystore_unit_offset, name, keystore_unit_size) < 0)
            return keystore_default_unit;
        name[keystore_unit_size - 1] = '\0';
        memcpy(unit_name, name, sizeof name);
        unit_cached = true;
    }
    return unit_name;
}

const unsigned char *keystore_aes_key() {
    std::lock_guard<std::mutex> guard(cache_mutex);
    if (!aes_cached) {
        unsigned char record[aes_key_record_size];
        if (store_read(keystore_aes_offset, record, aes_key_record_size) < 0)
            return builtin_aes_key;
        memcpy(aes_key, record, sizeof record);
        aes_cached = true;
    }
    return aes_key;
}

const unsigned char *keystore_public_key(int32_t offset) {
    int slot = 0;
    while (slot < public_key_count && public_key_offsets[slot] != offset) ++slot;
    if (slot == public_key_count) return builtin_fallback_key;
    std::lock_guard<std::mutex> guard(cache_mutex);
    if (!public_cached[slot]) {
        unsigned char record[key_record_size];
        if (!key_record_fetch(store_read, offset, record)) return builtin_fallback_key;
        memcpy(public_keys[slot], record, sizeof record);
        public_cached[slot] = true;
    }
    return public_keys[slot];
}
