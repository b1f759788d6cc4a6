// One open, one read or write and one close per call. read_int takes up to 9 characters as
// strtol reads them in base 0; the full build makes a pid file afresh and exclusively.
// make_path makes and chowns every prefix; only the last chown gives the result.
#include "core/sysfile.h"

#include "core/config.h"
#include "core/unique.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

int read_file(const char *path, void *buffer, size_t n) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return -1;
    ssize_t got = read(fd.get(), buffer, n);
    return got < 0 ? -1 : static_cast<int>(got);
}

int read_int(const char *path) {
    char text[10] = {};
    if (read_file(path, text, 9) < 0) return -1;
    return static_cast<int>(strtol(text, nullptr, 0));
}

int write_file(const char *path, const void *data, size_t n) {
    unique_fd fd(open(path, O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (!fd.valid()) return -1;
    ssize_t put = write(fd.get(), data, n);
    return put < 0 ? -1 : static_cast<int>(put);
}

int write_int(const char *path, int value) {
    char text[16];
    int n = snprintf(text, sizeof text, "%d", value);
    if (n < 0 || n > 8) return -1;
    return write_file(path, text, static_cast<size_t>(n));
}

int write_pid_file(const char *path) {
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if constexpr (!basic_build) {
        unlink(path);
        flags |= O_EXCL;
    }
    unique_fd fd(open(path, flags, 0644));
    if (!fd.valid()) return -1;
    char text[24];
    int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (write(fd.get(), text, static_cast<size_t>(n)) != n) return -1;
    return fd.reset() == 0 ? 0 : -1;
}

int make_path(const char *path, mode_t mode, uid_t uid, gid_t gid) {
    char prefix[PATH_MAX];
    size_t len = strlen(path);
    if (len >= sizeof prefix) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (size_t i = 1; i < len; ++i) {
        if (path[i] != '/') continue;
        memcpy(prefix, path, i);
        prefix[i] = '\0';
        mkdir(prefix, mode);
        chown(prefix, uid, gid);
    }
    mkdir(path, mode);
    return chown(path, uid, gid);
}
