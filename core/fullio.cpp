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
// the end (0); interrupted calls are repeated. The count, or -1; *moved (when
// given) gets the bytes that arrived either way.
template <typename Get>
ssize_t read_all(void *buffer, size_t n, size_t *moved, Get get) {
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    ssize_t r = 0;
    while (done < n) {
        ssize_t got = get(p + done, n - done, done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            r = -1;
            break;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    if (moved != nullptr) *moved = done;
    return r < 0 ? r : static_cast<ssize_t>(done);
}

// Calls put(p, n, done) until all n bytes of data have gone: interrupted
// calls are repeated, and a call that stores nothing is an error (EIO).
// *moved (when given) gets the bytes stored either way.
template <typename Put>
ssize_t write_all(const void *data, size_t n, size_t *moved, Put put) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    ssize_t r = 0;
    while (done < n) {
        ssize_t stored = put(p + done, n - done, done);
        if (stored < 0 && errno == EINTR) continue;
        if (stored == 0) errno = EIO;
        if (stored <= 0) {
            r = -1;
            break;
        }
        done += static_cast<size_t>(stored);
    }
    if (moved != nullptr) *moved = done;
    return r < 0 ? r : static_cast<ssize_t>(done);
}

} // namespace

ssize_t full_read(int fd, void *buffer, size_t n, size_t *moved) {
    return read_all(buffer, n, moved,
                    [fd](unsigned char *p, size_t left, size_t) { return read(fd, p, left); });
}

// An offset past off_t's range reads as the end of the file.
ssize_t full_pread(int fd, void *buffer, size_t n, uint64_t offset) {
    return read_all(buffer, n, nullptr, [fd, offset](unsigned char *p, size_t left, size_t done) {
        const uint64_t at = offset + done;
        if (at < offset || at > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
            return ssize_t(0);
        return pread(fd, p, left, static_cast<off_t>(at));
    });
}

ssize_t full_write(int fd, const void *data, size_t n, size_t *moved) {
    return write_all(data, n, moved, [fd](const unsigned char *p, size_t left, size_t) {
        return write(fd, p, left);
    });
}

ssize_t full_pwrite(int fd, const void *data, size_t n, uint64_t offset) {
    return write_all(
        data, n, nullptr, [fd, offset](const unsigned char *p, size_t left, size_t done) {
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
