// The engine's file primitives: plain POSIX values in and out, a debug trace
// on failure, and the flushing rules that make every write of an update
// reach the storage before the next chunk runs. File offsets are 64-bit, so
// update files larger than 2 GiB work.
#pragma once

#include "core/unique.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// open with close-on-exec (shell commands the engine starts inherit nothing).
// The descriptor, or negative.
int file_open(const char *path, int flags, mode_t mode);
// One read: bytes read, 0 at end of file, -1 on an error.
ssize_t file_read(int fd, void *buffer, size_t count);
// One write: bytes written, or -1 on an error.
ssize_t file_write(int fd, const void *buffer, size_t count);
// The resulting offset, or -1.
int64_t file_seek(int fd, int64_t offset, int whence);
// The current offset, or -1.
int64_t file_tell(int fd);
// Closes fd. When it was open for writing, its data is flushed first
// (flush_and_close) and sync is called afterwards (also after a failure).
// 0, or -1 when the flush or the close failed.
int file_close(int fd);
// Unlinks path, then calls sync whatever the outcome. unlink's result.
int file_remove(const char *path);

// Reads until count bytes or the end of the file: the bytes read, or -1 when
// an error came before any byte.
ssize_t file_read_full(int fd, void *buffer, size_t count);
// Writes all count bytes: true, or false on an error (or a write that stores
// nothing).
bool file_write_full(int fd, const void *buffer, size_t count);

// What tells one state of a file from another: a file rewritten in place
// keeps its inode but not its modification and change times.
struct file_identity {
    uint64_t device = 0, inode = 0;
    int64_t size = 0;
    int64_t modified_s = 0, modified_ns = 0, changed_s = 0, changed_ns = 0;
};

// The identity of the open file fd: false when fstat fails or fd is not a
// regular file.
bool file_identity_of(int fd, file_identity &identity);
// True when both identities are the same in every field.
bool same_file_identity(const file_identity &a, const file_identity &b);

// A descriptor opened with file_open and closed with file_close.
using oza_file = fd_owner<file_close>;
