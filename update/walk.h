// The chunks after the head: the fixed "UNIT", "VERS" and "TIME" chunks,
// then the walk over the operation chunks.
#pragma once

#include "core/version.h"
#include "update/chunks.h"

#include <cstddef>
#include <cstdint>
#include <span>

struct oza_engine;

inline constexpr size_t oza_header_size = 8; // fourcc, length of the whole chunk

// True when version a is at least b.
inline bool version_at_least(const version_triple &a, const version_triple &b) {
    return a >= b;
}

// The chunk header at the reader's position: fourcc and length.
struct chunk_header {
    unsigned char fourcc[4];
    uint32_t length;
};
// Reads a header through the chunk reader; false when fewer than 8 bytes came.
bool read_chunk_header(oza_engine &e, chunk_header &h);

// Reads the fixed payload of a chunk of type into buffer, with the row's
// trace texts around it: 0 with fixed its bytes, or the row's short result.
int read_fixed(oza_engine &e, const chunk_type &type, std::span<unsigned char> buffer,
               fixed_payload &fixed);

// "UNIT": the file's unit name must be the device's. 0 or 210, 211, 212.
int parse_unit(oza_engine &e);
// "VERS": the file's version must be at least the host's minimum.
// 0 or 252, 209, 236, 235, 221.
int parse_version(oza_engine &e);
// "TIME": loads the progress weights. 0 or 252, 209, 244, 245, 246.
int parse_duration(oza_engine &e);
// One step of the walk: the chunk at the reader's position, looked up,
// gated and handled; the reader then stands at the next chunk. 0 to go on,
// 252 at the end of the file, else the result that ends the run.
int walk_step(oza_engine &e);
