// Helpers for sysfs and procfs files, pid files and directory paths. They keep
// no state, allocate nothing and report failure by -1 without printing.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Opens path read-only and reads at most n bytes in one read. Returns the
// byte count (the buffer is not terminated) or -1.
int read_file(const char *path, void *buffer, size_t n);

// Reads at most 9 bytes of path and parses them as a C integer literal
// (decimal, 0x hexadecimal or leading-0 octal, stopping at the first other
// character). Returns -1 when the file cannot be read.
int read_int(const char *path);

// Writes n bytes to an existing file, truncating it (the file is never
// created, as with sysfs attributes). Returns the byte count or -1.
int write_file(const char *path, const void *data, size_t n);

// Writes the decimal text of value (no newline) as write_file does. Values
// whose text is longer than 8 characters are refused with -1.
int write_int(const char *path, int value);

// Replaces path by a new file holding the process id and a newline (the basic
// build truncates an existing file instead of removing it). 0 or -1.
int write_pid_file(const char *path);

// Creates every directory prefix of path and then path itself with mode,
// giving each the owner uid:gid; existing directories are fine. Returns the
// result of the last chown.
int make_path(const char *path, mode_t mode, uid_t uid, gid_t gid);
