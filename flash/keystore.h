// Values of the key store, record ParamStore_5: the unit name, the AES key
// record and the public-key records. Each getter keeps the first value it
// read successfully for the life of the process; when the store cannot give
// a good value it answers with the built-in default, which is not kept, so
// the next call reads the store again. The getters never fail.
#pragma once

#include <cstdint>

// Places inside ParamStore_5.
inline constexpr int32_t keystore_unit_offset = 0, keystore_unit_size = 16;
inline constexpr int32_t keystore_aes_offset = 34;
// Public key that checks kernel and cramfs images.
inline constexpr int32_t keystore_image_key_offset = 52;
// Public keys of signature slots 1 to 4 (update-file fourccs SIG0 to SIG3).
inline constexpr int32_t keystore_slot_key_offsets[4] = {196, 340, 484, 628};
// A public-key record is read at most this many times until its checksum holds.
inline constexpr int keystore_key_tries = 2;
inline constexpr const char keystore_default_unit[] = "a004";

// The unit name (at most 15 characters, NUL-terminated): the first 16 bytes
// of the store with byte 15 forced to NUL, or "a004".
const char *keystore_unit_name();

// The 18-byte AES key record at offset 34, or the built-in one.
const unsigned char *keystore_aes_key();

// The 144-byte public-key record at offset (52 or a slot key offset) whose
// checksum holds, or the built-in fallback record (also for other offsets).
const unsigned char *keystore_public_key(int32_t offset);

// Reads the record at offset with read up to keystore_key_tries times until
// its checksum holds. True with the record in out; false when a read failed
// or every copy was bad.
bool key_record_fetch(int (*read)(int32_t offset, void *buffer, int32_t length), int32_t offset,
                      unsigned char *out);
