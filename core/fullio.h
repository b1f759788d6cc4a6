// Reads and writes that do not take a short transfer for a whole one: short
// reads and writes are normal on pipes, sockets and some device files, so
// these loop until every byte has moved, the file ends or an error occurs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Reads until n bytes have arrived or the file ends (interrupted calls are
// repeated). The byte count (below n only at the end of the file), or -1 with
// errno set; *moved, when given, gets the bytes that arrived before an error.
ssize_t full_read(int fd, void *buffer, size_t n, size_t *moved = nullptr);

// The same at offset (pread), leaving the file position alone.
ssize_t full_pread(int fd, void *buffer, size_t n, uint64_t offset);

// Writes all n bytes (interrupted calls are repeated). n, or -1 with errno
// set (a write that stores nothing counts as an error); *moved, when given,
// gets the bytes stored before an error.
ssize_t full_write(int fd, const void *data, size_t n, size_t *moved = nullptr);

// The same at offset (pwrite), leaving the file position alone.
ssize_t full_pwrite(int fd, const void *data, size_t n, uint64_t offset);

// Opens path read-only, close-on-exec, for reading a file whose size bounds
// what is read: without waiting (the open of a FIFO would wait for a
// writer), and only when it is a regular file (else -1 with EISDIR for a
// directory, EINVAL for anything else). The descriptor, with the file's size
// in *size; -1 with errno set.
int open_regular_file(const char *path, uint64_t *size);
