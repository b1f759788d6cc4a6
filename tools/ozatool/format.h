// The update-file layout as ozatool writes and reads it: the fixed head, the
// chunk types with their payload sizes, the signature slots that may carry
// them, their progress weights and the result code the device gives when a
// chunk's payload is cut short.
#pragma once

#include "crypto/keyrec.h"
#include "flash/keystore.h"
#include "flash/param_records.h"
#include "sysinfo/sysversion.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr char oza_magic[] = "OZA2";
inline constexpr size_t oza_signature_offset = 4; // fourcc "SIG0" ... "SIG4"
inline constexpr size_t oza_signature_block = 12; // 128-byte little-endian number
inline constexpr size_t oza_signature_block_size = 128;
inline constexpr uint32_t oza_signature_length = 136; // what a writer puts at offset 8
inline constexpr size_t oza_signed_start = 140;       // the signed region runs from here
inline constexpr size_t oza_cipher_chunk_size = 28;   // "CIPH", length, marker, IV
inline constexpr uint32_t oza_cipher_marker = 784729; // marker of an enciphered file
inline constexpr size_t oza_iv_size = 16;
inline constexpr size_t oza_header_size = 8;  // fourcc, length of the whole chunk
inline constexpr size_t oza_block = 16;       // enciphered chunks are whole blocks
inline constexpr size_t oza_text_field = 256; // path, area, type and text fields
inline constexpr size_t oza_unit_name_size = 16;
inline constexpr int oza_slots = 5;

// What a chunk type's payload holds after its fixed part.
enum oza_tail {
    tail_none,  // fixed size only
    tail_bytes, // a u32 at size_field gives the number of data bytes that follow
    tail_words, // a u32 at size_field gives the number of u32 weights that follow (TIME)
};

struct oza_chunk_type {
    char fourcc[5];
    unsigned slots;      // bit s - 1 set when files of signature slot s may carry it
    uint32_t fixed;      // payload bytes read in any case
    oza_tail tail;       // what follows the fixed part
    uint32_t size_field; // offset in the payload of the tail's size (tail_bytes, tail_words)
    bool weighted;       // takes one progress weight when it succeeds
    int short_code;      // the device's result when the fixed part is cut short
    int data_code;       // ... and when the tail is (0 for tail_none)
    const char *what;    // what it does, for listings
};

// This table is the tool's own on purpose: written apart from the device's
// handler table (update/chunks.cpp), it is an oracle for it, and a unit test
// holds its slots, weights, fixed sizes and short-payload results against
// the device's rows so that the two cannot drift apart. It also describes
// what the device's table has no use for: the fixed chunks, each type's
// tail, and the texts of the listings.
//
// The fixed chunks ("UNIT", "VERS", "TIME") have slots 0: they are valid
// only in their places, and met among the operation chunks they are unknown.
const oza_chunk_type *oza_find_type(const char *fourcc);
// Every known type, in the order of the listing in docs/update-format.md.
const oza_chunk_type *oza_types(size_t *count);

// Signature fourcc "SIG0" ... "SIG4" -> slot 1 ... 5; 0 for anything else.
int oza_slot_of(const char *fourcc);
// Offset in the key store of the public key of slot 1 to 4 (0 for slot 5,
// whose key is built into the program).
size_t oza_slot_key_offset(int slot);

// Key-store layout: unit name, AES key record, public-key records, as the
// device's store reader places them (flash/keystore.h, flash/param_records.h).
inline constexpr size_t store_size = 8192; // the size of record ParamStore_5
inline constexpr size_t store_unit = keystore_unit_offset;
inline constexpr size_t store_aes = keystore_aes_offset;
inline constexpr size_t store_aes_size = aes_key_record_size;
inline constexpr size_t store_image_key = keystore_image_key_offset;
// The key store lives on the MMC at 520 + L, L being the u32 at byte 512.
inline constexpr size_t store_length_field = keystore_length_at;
inline constexpr size_t store_base = keystore_data_start;

// Mount-point paths for indices 0 to 4; null for any other index.
const char *oza_mount_point(uint32_t index);
// Index of a mount-point name ("rawfs", "system", "data", "storage",
// "cache"); -1 when the name is none of them.
int oza_mount_index(const std::string &name);

// The build a file is checked for: its name ("full", "basic"), the oldest
// version it accepts ("VERS") and its own version ("MVER"), the device's
// own triples (sysinfo/sysversion.h).
struct oza_target {
    const char *name;
    version_triple min, own;
};
const oza_target *oza_find_target(const std::string &name);

// True when the device has a raw area of this name for MMCF to write: a
// display or short name of the device's area table (flash/rawmmc.h), or an
// area the program names itself ("params", "prod", "banner", "tags",
// "custom", and "rawmmc", the whole device).
bool oza_area_known(const std::string &name);
// Every name oza_area_known accepts.
std::vector<std::string> oza_area_names();

// The parameter types of PARM and FPAR ("int8" ... "string").
std::vector<std::string> oza_value_types();

// The fourcc as printable text: its four characters, or \xNN escapes for
// bytes outside printable ASCII.
std::string oza_fourcc_text(const unsigned char *fourcc);

// A short text for an engine result code ("" for an unknown code).
const char *oza_result_text(int code);
