// Host operations: how the system library prints, runs commands and reaches
// files. main builds the table and registers it; the library keeps a copy.
#pragma once

#include <sys/types.h>

struct host_operations {
    int (*print)(const char *format, ...) __attribute__((format(printf, 1, 2)));
    off_t (*tell)(int fd);
    int (*system)(const char *command);
    int (*close)(int fd);
    int (*open)(const char *path, int flags, mode_t mode);
    off_t (*seek)(int fd, off_t offset, int whence);
    // Further operations; main leaves this group empty and nothing reads it.
    void *further[4];
};

// Copies slots print ... seek of table, giving each empty slot its default
// (print: formatted output to standard output; the others: the plain system
// call). Returns 0, or -1 for a null table.
int register_host_operations(const host_operations *table);

// The operations registered last (the defaults before any registration).
const host_operations &host();

// The table main registers: print goes to standard error, flushed after each
// call; the other slots are the system calls.
host_operations main_host_operations();
