// Owners for the system resources the program takes: each releases its
// resource when it goes out of scope, so every exit path gives it back.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <dirent.h>
#include <memory>
#include <new>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

// A file descriptor owner; negative means none. Close gives the descriptor
// back: plain close(2) for unique_fd, a flushing close where the data must
// reach the storage first.
template <int (*Close)(int)>
struct fd_owner {
    int fd = -1;

    fd_owner() = default;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    fd_owner(fd_owner &&o) noexcept : fd(o.release()) {}
    fd_owner &operator=(fd_owner &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~fd_owner() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    // Gives back the descriptor held (if any) and takes f; Close's result,
    // 0 when nothing was held.
    int reset(int f = -1) {
        int r = 0;
        if (fd >= 0) r = Close(fd);
        fd = f;
        return r;
    }
    int close() { return reset(); }
};

inline int close_descriptor(int fd) {
    return ::close(fd);
}
using unique_fd = fd_owner<close_descriptor>;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
// A stdio stream, closed with fclose.
using unique_file = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
// A directory stream, closed with closedir.
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// A memory mapping, unmapped on destruction.
struct unique_map {
    void *addr = MAP_FAILED;
    size_t length = 0;

    unique_map() = default;
    unique_map(void *a, size_t n) : addr(a), length(n) {}
    unique_map(const unique_map &) = delete;
    unique_map &operator=(const unique_map &) = delete;
    unique_map(unique_map &&o) noexcept : addr(o.addr), length(o.length) { o.addr = MAP_FAILED; }
    ~unique_map() {
        if (addr != MAP_FAILED) munmap(addr, length);
    }
    bool valid() const { return addr != MAP_FAILED; }
    // Unmaps now; returns munmap's result (0 when nothing was mapped).
    int reset() {
        int r = 0;
        if (addr != MAP_FAILED) r = munmap(addr, length);
        addr = MAP_FAILED;
        return r;
    }
};

// A heap buffer of n bytes that does not throw: empty when the allocation failed.
using byte_buffer = std::unique_ptr<unsigned char[]>;
inline byte_buffer make_buffer(size_t n) {
    return byte_buffer(new (std::nothrow) unsigned char[n > 0 ? n : 1]);
}
// The same, zero-filled.
inline byte_buffer make_zeroed_buffer(size_t n) {
    return byte_buffer(new (std::nothrow) unsigned char[n > 0 ? n : 1]());
}

// A semaphore shared by the threads of this process, destroyed with its owner.
class unique_semaphore {
public:
    unique_semaphore() { sem_init(&sem_, 0, 0); }
    unique_semaphore(const unique_semaphore &) = delete;
    unique_semaphore &operator=(const unique_semaphore &) = delete;
    ~unique_semaphore() { sem_destroy(&sem_); }
    // Starts again from a count of 0; nobody may be waiting.
    void reset() {
        sem_destroy(&sem_);
        sem_init(&sem_, 0, 0);
    }
    void post() { sem_post(&sem_); }
    // Waits for a post, through signals.
    void wait() {
        while (sem_wait(&sem_) != 0 && errno == EINTR) {
        }
    }

private:
    sem_t sem_{};
};
