// The device's key store as the tool reads it: an 8192-byte block in a file
// of its own, or inside an MMC image at 520 + L (L being the u32 at byte 512).
#pragma once

#include "tools/ozatool/ozatool.h"

#include <string>

struct key_store {
    bytes data;         // the bytes that could be read (fewer than 8192 when the image ends)
    std::string origin; // "FILE" or "IMAGE, key store at byte N", for messages
};

// Loads the store from a block file (block) or an MMC image (mmc); exactly
// one of them is non-null. False with a message when the file cannot be
// read or the image has no location field.
bool load_key_store(const char *block, const char *mmc, key_store *store, std::string *error);

// Copies n bytes at offset of the store; false, like the device's failed
// read, when the store does not hold them all.
bool store_read(const key_store &store, size_t offset, size_t n, unsigned char *out);

// One line about a 144-byte public-key record: modulus size, exponent and
// whether its checksum holds ("empty" for all zero bytes).
std::string describe_key_record(const unsigned char *record);
