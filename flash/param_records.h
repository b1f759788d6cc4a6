// The parameter-record table and the record readers and writers without the
// store lock: params.cpp calls them holding it, tests call them directly.
#pragma once

#include <cstdint>

struct param_record;
using param_reader = int (*)(const param_record &record, int32_t offset, void *buffer,
                             int32_t length);
using param_writer = int (*)(const param_record &record, int32_t offset, const void *buffer,
                             int32_t length);
using param_sizer = int (*)(const param_record &record);

struct param_record {
    const char *name;
    param_reader read;
    param_writer write;
    param_sizer size_max;
    int32_t offset; // place in the store
    int32_t size;   // 0: the size of the area named like the record
};

// Store offset of the parameter image's first byte (image offset 0).
inline constexpr int32_t param_image_base = 32768;
// ParamStore_5's store offset, a marker its reader checks.
inline constexpr int32_t keystore_marker = 65536;
// ParamStore_5 begins at keystore_data_start + L, L being the 32-bit value
// at keystore_length_at of the MMC device.
inline constexpr int32_t keystore_length_at = 512, keystore_data_start = 520;
inline constexpr const char keystore_device[] = "/dev/mmcblk0";
inline constexpr const char keystore_device_fallback[] = "/dev/block/mmcblk0";

// The record called name (exact match), or nullptr.
const param_record *param_find(const char *name);
// True when offset and length are non-negative and, for a record with a
// size, offset + length stays within it.
bool param_range_ok(const param_record &record, int32_t offset, int32_t length);

// The readers and writers of the table (no lock, no range check).
int keystore_reader(const param_record &record, int32_t offset, void *buffer, int32_t length);
int area_reader(const param_record &record, int32_t offset, void *buffer, int32_t length);
int area_writer(const param_record &record, int32_t offset, const void *buffer, int32_t length);
int logo_reader(const param_record &record, int32_t offset, void *buffer, int32_t length);
int logo_writer(const param_record &record, int32_t offset, const void *buffer, int32_t length);
int image_reader(const param_record &record, int32_t offset, void *buffer, int32_t length);
// Reads the whole image, copies the bytes in, writes the whole image back:
// nothing is written when the image cannot be read whole or the range leaves it.
int image_writer(const param_record &record, int32_t offset, const void *buffer, int32_t length);
int not_writable(const param_record &record, int32_t offset, const void *buffer, int32_t length);
int record_size(const param_record &record);

// Copies length bytes at image offset into the 32 KiB image through the
// storage operations (read whole, patch, write whole). 0 or negative.
int image_patch(uint32_t image_offset, const void *data, uint32_t length);
