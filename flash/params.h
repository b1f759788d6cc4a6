// The parameter store: named records inside raw MMC areas (MAC store and WLAN
// calibration, update keys and unit name, boot selection, typed parameters),
// each read and written under the store lock (flash/store_lock.h).
#pragma once

#include "flash/storage.h"

#include <cstdint>

// Record names.
inline constexpr const char param_keystore[] = "ParamStore_5";
inline constexpr const char param_prod[] = "ParamStore_Prod";
inline constexpr const char param_typed[] = "ParamStore_3b";
inline constexpr const char param_flags[] = "ParamStore_3c";
inline constexpr const char param_boot[] = "ParamStore_4";

// ParamStore_Prod: MAC store and WLAN calibration block.
inline constexpr int32_t prod_mac_store_offset = 0, prod_mac_store_size = 24;
inline constexpr uint32_t prod_mac_store_magic = 0x822C; // upper 16 bits of the first word
inline constexpr int32_t prod_calibration_offset = 24, prod_calibration_size = 1056;
inline constexpr uint32_t prod_calibration_valid = 0x5796B702;
inline constexpr uint32_t prod_calibration_legacy = 0x5796B71F;

// ParamStore_4: magic, then the boot entry index (0 to 2).
inline constexpr uint32_t boot_selection_magic = 0x6FC59AE8;
inline constexpr int boot_selection_entries = 3;

// The "params" area starts with the 32 KiB parameter image.
inline constexpr uint32_t param_image_size = 32768;

// Slots 7 to 12 of the default storage table. An unknown record, a range
// outside the record (negative offset or length, or offset + length past its
// size) or a missing buffer gives -1 and touches nothing. Reads go on without
// the store lock when it cannot be had; writes are refused (-1) then, so
// that no update is lost to an unserialised read-modify-write.
// The record's reader: 0 (or a non-negative area result) or negative.
int param_store_read(const char *record, int32_t offset, void *buffer, int32_t length);
// The record's writer: 0 (or a non-negative area result) or negative.
int param_store_write(const char *record, int32_t offset, const void *buffer, int32_t length);
// The record's size, or the size of the raw area named like the record when
// the record has none (Logo). Negative for an unknown record.
int param_store_size_max(const char *record);

// Rewrites a whole record under one hold of the store lock: reads it, lets
// edit change the bytes (a non-zero result from edit writes nothing and is
// returned), writes it back. 0, the editor's result, or negative.
int param_update(const char *record, int (*edit)(unsigned char *bytes, int32_t size, void *context),
                 void *context);

// Patches length bytes at offset of the parameter image under the store lock
// (a range past the image gives -1 and writes nothing). 0 or negative.
int param_image_patch(uint32_t offset, const void *data, uint32_t length);

// True for the raw areas that hold parameter records ("params", "prod",
// "banner"; display names are translated first).
bool param_area(const char *area);

// Writes a raw area as flash_write_with_progress does; an area that holds
// parameter records is written under the store lock, so that no record
// writer's read-modify-write overwrites it, and refused (-1) when the lock
// cannot be had. The write's result, or -1.
int param_area_write(const char *area, int32_t offset, const void *buffer, int32_t length,
                     storage_progress progress, void *context);

// The boot entry index stored in ParamStore_4, or -1 when the record cannot
// be read or its magic is wrong.
int boot_selection_read();
// Stores index (0 to 2, else -1 with nothing written) with the magic: reads
// the record first (a failed read gives its result), then writes. 0 or the
// write's negative result.
int boot_selection_write(int index);
