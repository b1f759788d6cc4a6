// The operation chunks: one table keyed by fourcc, and each row is the whole
// description of its type: the signature slots whose files may carry it, the
// size of its fixed payload and the result when that comes short, how it
// takes its progress weight, and its handler. The walk looks a chunk up,
// checks the slot, reads the fixed payload into a bounded buffer, and calls
// the handler with it; the reader then stands just after the fixed part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct oza_engine;

using fixed_payload = std::span<const unsigned char>;

// A handler: 0 to go on with the next chunk, else the result that ends the
// run. The handler of a chunk_weight::one row may also return chunk_skipped:
// go on without taking the weight. The others pass their hosts' callback
// values through untouched, so the walk never reads -1 as a skip from them.
using chunk_handler = int (*)(oza_engine &e, fixed_payload fixed);
inline constexpr int chunk_skipped = -1;

enum class chunk_weight : uint8_t {
    none,    // takes no weight
    one,     // the walk takes one weight after the handler succeeded
    always,  // the walk takes one weight after the handler, whatever its result
    handler, // the handler takes its one weight itself (in parts, or before its callbacks)
};

// The largest fixed payload of any type (MOVE: two index and path pairs).
inline constexpr size_t chunk_fixed_max = 520;

struct chunk_type {
    char fourcc[5];      // with a NUL after it, for the table's literals
    uint8_t slots;       // bit s - 1 set when files of signature slot s may carry it
    uint16_t fixed;      // payload bytes the walk reads before the handler
    uint16_t short_code; // the result when fewer come
    chunk_weight weight;
    const char *traced; // non-null: the read is traced "read <traced> subchunk..."
    bool flash;         // the flash layer is held around the read and the handler
    chunk_handler handler;
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
int chunk_ext0(oza_engine &e, fixed_payload fixed);
int chunk_boot(oza_engine &e, fixed_payload fixed);
int chunk_adel(oza_engine &e, fixed_payload fixed);
int chunk_hddl(oza_engine &e, fixed_payload fixed);
int chunk_mver(oza_engine &e, fixed_payload fixed);
int chunk_skip(oza_engine &e, fixed_payload fixed);
// File chunks (file_chunks.cpp, shell_chunks.cpp).
int chunk_copy(oza_engine &e, fixed_payload fixed);
int chunk_move(oza_engine &e, fixed_payload fixed);
int chunk_delete(oza_engine &e, fixed_payload fixed);
int chunk_chmod(oza_engine &e, fixed_payload fixed);
int chunk_message(oza_engine &e, fixed_payload fixed);
int chunk_shell(oza_engine &e, fixed_payload fixed);
int chunk_format(oza_engine &e, fixed_payload fixed);
// Flash, area and parameter chunks (flash_chunks.cpp, param_chunks.cpp).
int chunk_flash(oza_engine &e, fixed_payload fixed);
int chunk_mmcflash(oza_engine &e, fixed_payload fixed);
int chunk_mmcpatch(oza_engine &e, fixed_payload fixed);
int chunk_tagpatch(oza_engine &e, fixed_payload fixed);
int chunk_parm(oza_engine &e, fixed_payload fixed);
int chunk_fpar(oza_engine &e, fixed_payload fixed);
