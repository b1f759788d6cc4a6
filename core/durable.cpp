// A descriptor that is not on storage (a pipe, a socket, a character device) has nothing to
// flush: EINVAL or EROFS from fdatasync counts as success there. The parent directory is
// flushed through a descriptor of its own.
#include "core/durable.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True when fd is something whose contents live on storage.
bool on_storage(int fd) {
    struct stat st;
    return fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode);
}

} // namespace

int flush_written(int fd) {
    if (fdatasync(fd) == 0) return 0;
    const int error = errno;
    if ((error == EINVAL || error == EROFS) && !on_storage(fd)) return 0;
    errno = error;
    return -1;
}

int flush_and_close(int fd) {
    int r = flush_written(fd);
    int error = errno;
    if (close(fd) != 0 && r == 0) {
        r = -1;
        error = errno;
    }
    errno = error;
    return r;
}

int flush_parent(const char *path) {
    char directory[PATH_MAX];
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) {
        directory[0] = '.';
        directory[1] = '\0';
    } else {
        const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
        if (n >= sizeof directory) {
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(directory, path, n);
        directory[n] = '\0';
    }
    const int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int r = fsync(fd);
    const int error = errno;
    close(fd);
    errno = error;
    return r;
}
