// The table in use starts as the defaults (print to standard output, the C library's calls);
// registering a table replaces each entry it sets and gives the others their defaults. main's
// table prints to standard error, flushed after each print.
#include "core/hostops.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int print_stdout(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vprintf(format, ap);
    va_end(ap);
    return n;
}

int print_stderr(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stderr, format, ap);
    va_end(ap);
    fflush(stderr);
    return n;
}

off_t tell_fd(int fd) {
    return lseek(fd, 0, SEEK_CUR);
}
int open_path(const char *path, int flags, mode_t mode) {
    return open(path, flags, mode);
}

constexpr host_operations defaults{print_stdout, tell_fd, ::system, ::close,
                                   open_path,    ::lseek, {}};

host_operations current = defaults;

} // namespace

int register_host_operations(const host_operations *table) {
    if (table == nullptr) return -1;
    current.print = table->print ? table->print : defaults.print;
    current.tell = table->tell ? table->tell : defaults.tell;
    current.system = table->system ? table->system : defaults.system;
    current.close = table->close ? table->close : defaults.close;
    current.open = table->open ? table->open : defaults.open;
    current.seek = table->seek ? table->seek : defaults.seek;
    return 0;
}

const host_operations &host() {
    return current;
}

host_operations main_host_operations() {
    return host_operations{print_stderr, tell_fd, ::system, ::close, open_path, ::lseek, {}};
}
