// Little-endian integers in byte buffers, whatever the host's byte order and
// whatever the buffer's alignment.
#pragma once

#include <cstdint>

inline uint16_t load_le16(const unsigned char *p) {
    return uint16_t(p[0] | p[1] << 8);
}

inline uint32_t load_le32(const unsigned char *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void store_le16(unsigned char *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void store_le32(unsigned char *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
