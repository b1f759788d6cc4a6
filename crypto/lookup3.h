// The 2006 public-domain lookup3 hash, used as the checksum of stored records.
#pragma once

#include <cstddef>
#include <cstdint>

// lookup3 hashlittle of length bytes at key with the given initial value:
// the input is read as little-endian 32-bit words whatever the host's byte
// order, so the result does not depend on the input's alignment either.
uint32_t hashlittle(const void *key, size_t length, uint32_t initval);
