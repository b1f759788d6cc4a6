// The primitives retry after EINTR and trace their failures. Closing a descriptor open for
// writing flushes it before the close and runs sync after; removing a file runs sync too. A
// file's identity is its device, inode, size and both times to the nanosecond.
#include "update/fileio.h"

#include "core/durable.h"
#include "core/fullio.h"
#include "core/trace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int file_open(const char *path, int flags, mode_t mode) {
    int fd = open(path, flags | O_CLOEXEC, mode);
    if (fd < 0) oza_debug("file_open %s: %s\r\n", path, strerror(errno));
    return fd;
}

ssize_t file_read(int fd, void *buffer, size_t count) {
    ssize_t n;
    do n = read(fd, buffer, count);
    while (n < 0 && errno == EINTR);
    if (n < 0) oza_debug("file_read: %s", strerror(errno));
    return n;
}

ssize_t file_write(int fd, const void *buffer, size_t count) {
    ssize_t n;
    do n = write(fd, buffer, count);
    while (n < 0 && errno == EINTR);
    if (n < 0) oza_debug("file_write: %s", strerror(errno));
    return n;
}

int64_t file_seek(int fd, int64_t offset, int whence) {
    return lseek(fd, static_cast<off_t>(offset), whence);
}

int64_t file_tell(int fd) {
    return file_seek(fd, 0, SEEK_CUR);
}

int file_close(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    const bool written = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
    // sync reports nothing: what was written counts only once the flush of
    // this descriptor and its close said so.
    int r = written ? flush_and_close(fd) : close(fd);
    if (r != 0) oza_debug("file_close: %s", strerror(errno));
    if (written) {
        const int error = errno;
        sync();
        errno = error;
    }
    return r;
}

int file_remove(const char *path) {
    int r = unlink(path);
    if (r != 0) {
        const int error = errno;
        oza_debug("file_remove %s: %s\n\r", path, strerror(error));
        sync();
        errno = error;
        return r;
    }
    sync();
    return r;
}

ssize_t file_read_full(int fd, void *buffer, size_t count) {
    size_t done = 0;
    const ssize_t n = full_read(fd, buffer, count, &done);
    if (n >= 0) return n;
    oza_debug("file_read: %s", strerror(errno));
    return done > 0 ? static_cast<ssize_t>(done) : -1;
}

bool file_write_full(int fd, const void *buffer, size_t count) {
    if (full_write(fd, buffer, count) == static_cast<ssize_t>(count)) return true;
    oza_debug("file_write: %s", strerror(errno));
    return false;
}

bool file_identity_of(int fd, file_identity &identity) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    identity.device = st.st_dev;
    identity.inode = st.st_ino;
    identity.size = st.st_size;
    identity.modified_s = st.st_mtim.tv_sec;
    identity.modified_ns = st.st_mtim.tv_nsec;
    identity.changed_s = st.st_ctim.tv_sec;
    identity.changed_ns = st.st_ctim.tv_nsec;
    return true;
}

bool same_file_identity(const file_identity &a, const file_identity &b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified_s == b.modified_s && a.modified_ns == b.modified_ns &&
           a.changed_s == b.changed_s && a.changed_ns == b.changed_ns;
}
