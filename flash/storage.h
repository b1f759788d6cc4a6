// Storage operations by raw-area or record name: one table of twelve
// operations, selected process-wide, with a default table working on the raw
// areas (flash/rawmmc.h) and the parameter records (flash/params.h). Offsets
// and lengths are signed 32-bit; buffers belong to the caller.
#pragma once

#include <cstdint>

// Progress report: percent 0 to 100 and the caller's context.
using storage_progress = void (*)(int percent, void *context);

struct storage_operations {
    int (*flash_read)(const char *area, int32_t offset, void *buffer, int32_t length);
    int (*flash_write)(const char *area, int32_t offset, const void *buffer, int32_t length);
    int (*flash_read_with_progress)(const char *area, int32_t offset, void *buffer, int32_t length,
                                    storage_progress progress, void *context);
    int (*flash_write_with_progress)(const char *area, int32_t offset, const void *buffer,
                                     int32_t length, storage_progress progress, void *context);
    int (*flash_size_max)(const char *area);
    int (*flash_partition_erase)(const char *area, int flags);
    int (*param_read)(const char *record, int32_t offset, void *buffer, int32_t length);
    int (*param_write)(const char *record, int32_t offset, const void *buffer, int32_t length);
    int (*param_size_max)(const char *record);
    int (*keystore_read)(const char *record, int32_t offset, void *buffer, int32_t length);
    int (*keystore_write)(const char *record, int32_t offset, const void *buffer, int32_t length);
    int (*keystore_size_max)(const char *record);
};

// Size of the block of zero bytes that flash_partition_erase writes.
inline constexpr int32_t partition_erase_block = 160;

// The default table: the raw-area files and the parameter store.
const storage_operations &storage_default_operations();
// Selects the table every operation below goes through (nullptr selects the
// default table again). Returns the table selected before.
const storage_operations *storage_select(const storage_operations *table);

// Each operation translates the area name (raw_area_name) and calls its slot
// of the selected table; an empty slot gives -1, and so does an area name
// that could leave the raw-area folder (raw_area_name_valid).

// Reads length bytes of the area at offset. 0 or negative.
int flash_read(const char *area, int32_t offset, void *buffer, int32_t length);
// Writes length bytes to the area at offset. 0 or negative.
int flash_write(const char *area, int32_t offset, const void *buffer, int32_t length);
// As flash_read; the default table reports 100 once the read succeeded.
int flash_read_with_progress(const char *area, int32_t offset, void *buffer, int32_t length,
                             storage_progress progress, void *context);
// As flash_write; the default table reports 0 before and 100 after the
// write (a length of 0 writes nothing and reports both).
int flash_write_with_progress(const char *area, int32_t offset, const void *buffer, int32_t length,
                              storage_progress progress, void *context);
// The area's maximum size in bytes, or negative.
int flash_size_max(const char *area);
// Invalidates the area by writing partition_erase_block zero bytes at its
// start (flags are ignored); the default table writes areas holding
// parameter records under the store lock (param_area_write). The write's
// result.
int flash_partition_erase(const char *area, int flags);
// Reads, writes or sizes a parameter record (flash/params.h).
int param_read(const char *record, int32_t offset, void *buffer, int32_t length);
int param_write(const char *record, int32_t offset, const void *buffer, int32_t length);
int param_size_max(const char *record);
// The same for the key store.
int keystore_read(const char *record, int32_t offset, void *buffer, int32_t length);
int keystore_write(const char *record, int32_t offset, const void *buffer, int32_t length);
int keystore_size_max(const char *record);
