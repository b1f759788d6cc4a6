// A system version: major, minor and revision, compared in that order as
// unsigned numbers. Update files, the identity record and the version
// queries all carry it as three little-endian u32.
#pragma once

#include "core/byteorder.h"

#include <compare>
#include <cstddef>
#include <cstdint>

struct version_triple {
    uint32_t major = 0, minor = 0, revision = 0;

    friend constexpr auto operator<=>(const version_triple &, const version_triple &) = default;
};

// The stored form's size.
inline constexpr size_t version_size = 12;

inline version_triple load_version(const unsigned char *p) {
    return {load_le32(p), load_le32(p + 4), load_le32(p + 8)};
}

inline void store_version(unsigned char *p, const version_triple &v) {
    store_le32(p, v.major);
    store_le32(p + 4, v.minor);
    store_le32(p + 8, v.revision);
}
