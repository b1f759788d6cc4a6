// Mount points and target paths: every file an update file names is a
// mount-point index and a path relative to that mount point.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int oza_mount_count = 5;
inline constexpr size_t oza_mount_slot = 32;    // each table entry: a zero-filled 32-byte slot
inline constexpr size_t oza_name_field = 256;   // path, area, type and text fields of a chunk
inline constexpr size_t oza_path_size = 4096;   // buffers of built paths
inline constexpr uint32_t oza_system_index = 1; // files here are reported to the host

// The built-in table: 0 "/mnt/rawfs" (no trailing slash), 1 "/mnt/system/",
// 2 "/data/", 3 "/mnt/storage/", 4 "/cache/". Stores the path (valid for the
// life of the process) and returns 0 for indices 0 to 4; returns 1 and a null
// path for any other index.
int get_mountpoint(uint32_t index, const char **path);

// Writes mount_point immediately followed by the relative path of a 256-byte
// chunk field (read up to its NUL or the field's end) into out: plain
// concatenation, no separator, no normalisation. 0, or -1 when it does not
// fit in size bytes.
int oza_target_path(const char *mount_point, const char *field, char *out, size_t size);

// Creates the parent directory of path (everything before its last '/') with
// the shell command "mkdir -p" and the directory as one shell word. The
// command's result is not looked at: a failure shows when the file is opened.
void oza_make_parent(const char *path);
