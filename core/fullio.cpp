// The loops retry after EINTR and stop at end of file; a write that moves nothing is EIO.
// open_regular_file opens without blocking, so that a FIFO cannot hold it, and refuses
// directories (EISDIR) and anything else that is not a regular file (EINVAL).
#include "core/fullio.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Calls get(p, n, done) until n bytes have arrived in buffer or get reports
// the end (0); interrupted calls are repeated. The count, or -1.
template <typename Get>
ssize_t read_all(void *buffer, size_t n, Get get) {
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t got = get(p + done, n - done, done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// Calls put(p, n, done) until all n bytes of data have gone: interrupted
// calls are repeated, and a call that stores nothing is an error (EIO).
template <typename Put>
ssize_t write_all(const void *data, size_t n, Put put) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t moved = put(p + done, n - done, done);
        if (moved < 0 && errno == EINTR) continue;
        if (moved < 0) return -1;
        if (moved == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(moved);
    }
    return static_cast<ssize_t>(done);
}

} // namespace

ssize_t full_read(int fd, void *buffer, size_t n) {
    return read_all(buffer, n,
                    [fd](unsigned char *p, size_t left, size_t) { return read(fd, p, left); });
}

// An offset past off_t's range reads as the end of the file.
ssize_t full_pread(int fd, void *buffer, size_t n, uint64_t offset) {
    return read_all(buffer, n, [fd, offset](unsigned char *p, size_t left, size_t done) {
        const uint64_t at = offset + done;
        if (at < offset || at > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
            return ssize_t(0);
        return pread(fd, p, left, static_cast<off_t>(at));
    });
}

ssize_t full_write(int fd, const void *data, size_t n) {
    return write_all(
        data, n, [fd](const unsigned char *p, size_t left, size_t) { return write(fd, p, left); });
}

ssize_t full_pwrite(int fd, const void *data, size_t n, uint64_t offset) {
    return write_all(data, n, [fd, offset](const unsigned char *p, size_t left, size_t done) {
        const uint64_t at = offset + done;
        if (at < offset || at > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
            errno = EFBIG;
            return ssize_t(-1);
        }
        return pwrite(fd, p, left, static_cast<off_t>(at));
    });
}

int open_regular_file(const char *path, uint64_t *size) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (error != 0) {
        close(fd);
        errno = error;
        return -1;
    }
    if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
    return fd;
}
