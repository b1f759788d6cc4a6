// The operation chunks: one table keyed by fourcc, each row holding the
// handler, the signature slots whose files may carry the chunk, and how it
// takes its progress weight. The walk looks a chunk up, checks the slot,
// and calls the handler with the chunk reader just after the chunk header.
#pragma once

#include <cstdint>

struct oza_engine;

// A handler: 0 to go on with the next chunk, else the result that ends the run.
using chunk_handler = int (*)(oza_engine &e);

enum class chunk_weight : uint8_t {
    none,   // takes no weight
    one,    // takes one weight when it has done its work
    spread, // takes one weight and hands it out in parts while it works
};

struct chunk_type {
    char fourcc[4];
    chunk_handler handler;
    uint8_t slots; // bit s - 1 set when files of signature slot s may carry it
    chunk_weight weight;
};

// Slot bits.
inline constexpr uint8_t slot_bit(int slot) {
    return static_cast<uint8_t>(1u << (slot - 1));
}
inline constexpr uint8_t all_slots = 0x1f;

// The row of fourcc, or nullptr for an unknown type ("UNIT", "VERS" and
// "TIME" are not operation chunks, "EXT1" is none).
const chunk_type *chunk_find(const unsigned char fourcc[4]);
// True when files of signature slot may carry the chunk.
inline bool chunk_allowed(const chunk_type &type, int slot) {
    return slot >= 1 && slot <= 5 && (type.slots & slot_bit(slot)) != 0;
}

// Handlers of the flag and version chunks (flag_chunks.cpp).
int chunk_ext0(oza_engine &e);
int chunk_boot(oza_engine &e);
int chunk_adel(oza_engine &e);
int chunk_hddl(oza_engine &e);
int chunk_mver(oza_engine &e);
int chunk_skip(oza_engine &e);
// File chunks (file_chunks.cpp, shell_chunks.cpp).
int chunk_copy(oza_engine &e);
int chunk_move(oza_engine &e);
int chunk_delete(oza_engine &e);
int chunk_chmod(oza_engine &e);
int chunk_message(oza_engine &e);
int chunk_shell(oza_engine &e);
int chunk_format(oza_engine &e);
// Flash, area and parameter chunks (flash_chunks.cpp, param_chunks.cpp).
int chunk_flash(oza_engine &e);
int chunk_mmcflash(oza_engine &e);
int chunk_mmcpatch(oza_engine &e);
int chunk_tagpatch(oza_engine &e);
int chunk_parm(oza_engine &e);
int chunk_fpar(oza_engine &e);
