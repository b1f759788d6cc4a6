// The format utility behind the "FRMT" chunk: rewrites the data disk's
// partition table, formats the data partition and recreates its
// directories, keeping a copy of the update file on the system partition
// meanwhile. It prints through the host operations.
#pragma once

#include "update/results.h"

#include <cstddef>
#include <cstdint>

// Where the system partition is mounted (from the static mount table).
inline constexpr const char system_mount_point[] = "/mnt/system/";

// Result codes of the format utility (they become the FRMT chunk's result),
// from the engine's table.
enum format_result {
    format_reopen_failed = oza_open_failed,        // the update file could not be opened again
    format_copy_failed = oza_format_copy_failed,   // the update file could not be kept or put back
    format_table_failed = oza_format_table_failed, // unmount, partition table or mount failed
    format_media_failed = oza_format_media_failed, // the data partition could not be formatted
    format_dirs_failed = oza_format_dirs_failed,   // the media directories could not be made
};

// Serves a "FRMT" chunk. type 0 (and 4 and above) formats nothing, 1 makes
// the media directories, 2 formats the data partition first, 3 rewrites the
// partition table before that (unmounting and remounting the system
// partition). From type 2 on the update file at update_path is copied to
// the system partition, *update_fd is closed, the copy is put back and the
// file reopened read-only at the position *update_fd had; the new
// descriptor is stored in *update_fd (-1 once the old one is closed and no
// new one is open). cleanup removes the staged copy at the end. 0, or a
// format_result.
int format_utility(uint32_t type, uint32_t cleanup, const char *update_path, int *update_fd);

// Writes the command "/bin/cp FROM TO" into out (n bytes) with each path as
// one shell word: quoted only when it holds characters the shell would read;
// "/bin/cp -- FROM TO" when a path starts with '-'. False when it does not fit.
bool copy_command(const char *from, const char *to, char *out, size_t n);
