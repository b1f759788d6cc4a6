// The loops retry after EINTR and stop at end of file; a write that moves nothing is EIO.
// open_regular_file opens without blocking, so that a FIFO cannot hold it, and refuses
// directories (EISDIR) and anything else that is not a regular file (EINVAL).
#include "core/fullio.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

ssize_t full_read(int fd, void *buffer, size_t n) {
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < n) {
        ssize_t got = read(fd, p + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

ssize_t full_pread(int fd, void *buffer, size_t n, uint64_t offset) {
    unsigned char *p = static_cast<unsigned char *>(buffer);
    size_t done = 0;
    while (done < n) {
        const uint64_t at = offset + done;
        if (at > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) break;
        ssize_t got = pread(fd, p + done, n - done, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

ssize_t full_write(int fd, const void *data, size_t n) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t put = write(fd, p + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return -1;
        if (put == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(put);
    }
    return static_cast<ssize_t>(done);
}

ssize_t full_pwrite(int fd, const void *data, size_t n, uint64_t offset) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t done = 0;
    while (done < n) {
        const uint64_t at = offset + done;
        if (at > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
            errno = EFBIG;
            return -1;
        }
        ssize_t put = pwrite(fd, p + done, n - done, static_cast<off_t>(at));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return -1;
        if (put == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(put);
    }
    return static_cast<ssize_t>(done);
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
