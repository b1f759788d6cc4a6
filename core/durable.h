// Writes that are done only when the storage says so: what was written is
// flushed to the storage and the descriptor closed, and a failure of either
// is the write's failure (a close that fails can mean lost data).
#pragma once

// Flushes the data written through fd (fdatasync). Files that cannot be
// flushed at all (pipes, sockets, character devices: EINVAL or EROFS) have
// nothing to flush; on a regular file or a block device every failure counts.
// 0, or -1 with errno set.
int flush_written(int fd);

// flush_written, then close, whatever the flush gave: 0, or -1 with the
// errno of the first failure. fd is closed in every case.
int flush_and_close(int fd);

// Flushes the directory that holds path, so that a file created in it,
// renamed into it or removed from it stays so after a power loss. 0, or -1
// with errno set.
int flush_parent(const char *path);
