// Raw MMC areas: each area of the internal MMC that lies outside any file
// system is a file under /mnt/rawfs named after the area, and "rawmmc" names
// the whole device. These primitives open, read, write and size them.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char raw_area_root[] = "/mnt/rawfs";
inline constexpr const char raw_mmc_name[] = "rawmmc";
inline constexpr const char raw_mmc_device[] = "mmcblk0";
// Size of the buffer that holds an area's path.
inline constexpr size_t raw_area_path_size = 4096;
// Request that stores a raw area's maximum size in a 32-bit integer.
inline constexpr unsigned long raw_area_size_request = 0x80046d01;

// The areas known by two names: an operation given either acts on the short one.
struct raw_area_row {
    const char *display, *short_name;
};
inline constexpr raw_area_row raw_areas[] = {
    {"Stage 1", "stage1"},   {"Stage 2", "stage2"},           {"Store 5", "store5"},
    {"Store x", "storex"},   {"Store xf", "storexflat"},      {"Boot Logo", "logo"},
    {"Init Kernel", "init"}, {"Recovery Kernel", "recovery"}, {"Data File System", "data"},
};

// The short name of an area given by its display or short name ("Recovery
// Kernel" and "recovery" give "recovery"); any other name comes back as given.
const char *raw_area_name(const char *name);

// True when name can name an area: not empty, no "/" and not "." or "..",
// so that its path stays inside the raw-area folder.
bool raw_area_name_valid(const char *name);

// Writes the area's path into path: /dev/mmcblk0 for "rawmmc", else
// /mnt/rawfs/<name>. No name translation. 0, or -1 when the name is not
// valid (raw_area_name_valid) or the path does not fit.
int raw_area_path(const char *name, char *path, size_t size);

// Opens the area (no name translation) with flags, close-on-exec.
// The descriptor, or -1.
int mmc_open(const char *name, int flags);

// Closes fd; a negative fd is returned unchanged. close's result otherwise.
int mmc_close(int fd);

// Reads exactly length bytes at offset. length on success; a failing seek
// or read gives its negative result; the end of the area before length
// bytes (or a negative length) gives -1.
int mmc_read_buffer(int fd, void *buffer, int32_t offset, int32_t length);

// Writes all length bytes at offset. length on success; a failing seek or
// write gives its negative result; a write that stores nothing gives -1.
int mmc_write_buffer(int fd, const void *buffer, int32_t offset, int32_t length);

// The maximum size of the open raw area (size request), or the request's
// negative result.
int mmc_size(int fd);
