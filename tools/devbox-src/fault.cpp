// The device box's fault library, preloaded in front of the stand-in library
// into the command of "devbox run --fault SPEC" (and exec): it fails one
// chosen call, or a run of them, with a chosen errno, or kills the process
// there with SIGKILL, so that tests can see what the program does when the
// storage fails or the power goes at that point. The program under test
// knows nothing of it; which fault to make comes from the environment
// variable BOX_FAULT, which only this library reads:
//   calls=NAME[,NAME]...  the calls counted: open (open, openat, creat),
//                         write (write, pwrite, writev), fsync (fsync,
//                         fdatasync), close, rename (rename, renameat,
//                         renameat2), semop (semop, semtimedop)
//   nth=K                 the K-th counted call is the first one hit (1)
//   times=N               N counted calls from the K-th on are hit (1; 0:
//                         every one)
//   do=ERRNO|kill         fail with that errno (a name such as EIO, or a
//                         number), or raise SIGKILL before the call (EIO)
//   path=PREFIX           count only calls on paths starting with PREFIX (a
//                         descriptor's path is read from /proc/self/fd)
//   writable              count write, fsync and close calls only on
//                         descriptors open for writing
//   exe=NAME              act only in processes whose executable is called
//                         NAME; without it, only in the process the box
//                         started, whose children do not inherit the setting
// A call that is hit does not happen, except close, which closes the
// descriptor and then reports the error (as Linux does). Every hit is logged
// in /box/log as "fault CALL PATH: ENAME" or "fault CALL PATH: kill".
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#define BOX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

enum call_kind : unsigned {
    call_open = 1,
    call_write = 2,
    call_fsync = 4,
    call_close = 8,
    call_rename = 16,
    call_semop = 32,
};

constexpr struct {
    const char *name;
    call_kind kind;
} call_names[] = {
    {"open", call_open},   {"write", call_write},   {"fsync", call_fsync},
    {"close", call_close}, {"rename", call_rename}, {"semop", call_semop},
};

constexpr int kill_action = -1;

struct fault_spec {
    bool active = false;
    unsigned calls = 0;
    long nth = 1, times = 1;
    int action = EIO; // an errno, or kill_action
    bool writable = false;
    char path[256] = {};
};

fault_spec spec;
std::atomic<long> counted{0};

long raw(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
    return ::syscall(number, a, b, c, d);
}

void log_hit(const char *call, const char *path) {
    char line[512];
    const char *outcome = spec.action == kill_action ? "kill" : strerrorname_np(spec.action);
    int n = snprintf(line, sizeof line, "fault %s %s: %s\n", call, path,
                     outcome != nullptr ? outcome : "error");
    if (n < 0) return;
    if (static_cast<size_t>(n) >= sizeof line) n = sizeof line - 1;
    const int saved = errno;
    const long fd = raw(SYS_openat, AT_FDCWD, reinterpret_cast<long>("/box/log"),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        raw(SYS_write, fd, reinterpret_cast<long>(line), n);
        raw(SYS_close, fd);
    }
    errno = saved;
}

// The errno called name (a name such as "EIO" or a number), or 0.
int errno_of(const char *name) {
    char *end = nullptr;
    long n = strtol(name, &end, 10);
    if (*name != '\0' && *end == '\0') return n > 0 && n < 4096 ? static_cast<int>(n) : 0;
    for (int e = 1; e < 200; ++e) {
        const char *known = strerrorname_np(e);
        if (known != nullptr && strcmp(known, name) == 0) return e;
    }
    return 0;
}

// Parses one "key=value" word of BOX_FAULT; false for a malformed one.
bool parse_word(const char *word, size_t length, char *exe, size_t exe_size) {
    char text[256];
    if (length >= sizeof text) return false;
    memcpy(text, word, length);
    text[length] = '\0';
    if (strcmp(text, "writable") == 0) return spec.writable = true;
    char *value = strchr(text, '=');
    if (value == nullptr) return false;
    *value++ = '\0';
    if (strcmp(text, "calls") == 0) {
        for (char *name = strtok(value, ","); name != nullptr; name = strtok(nullptr, ",")) {
            unsigned kind = 0;
            for (const auto &c : call_names)
                if (strcmp(c.name, name) == 0) kind = c.kind;
            if (kind == 0) return false;
            spec.calls |= kind;
        }
        return true;
    }
    if (strcmp(text, "nth") == 0) return (spec.nth = atol(value)) > 0;
    if (strcmp(text, "times") == 0) return (spec.times = atol(value)) >= 0;
    if (strcmp(text, "do") == 0) {
        spec.action = strcmp(value, "kill") == 0 ? kill_action : errno_of(value);
        return spec.action != 0;
    }
    if (strcmp(text, "path") == 0) return snprintf(spec.path, sizeof spec.path, "%s", value) > 0;
    if (strcmp(text, "exe") == 0) return snprintf(exe, exe_size, "%s", value) > 0;
    return false;
}

// True when this process's executable is called name.
bool executable_is(const char *name) {
    char path[4096];
    const long n = raw(SYS_readlinkat, AT_FDCWD, reinterpret_cast<long>("/proc/self/exe"),
                       reinterpret_cast<long>(path), sizeof path - 1);
    if (n <= 0) return false;
    path[n] = '\0';
    const char *base = strrchr(path, '/');
    return strcmp(base != nullptr ? base + 1 : path, name) == 0;
}

__attribute__((constructor)) void read_spec() {
    const char *text = getenv("BOX_FAULT");
    if (text == nullptr) return;
    char exe[256] = {};
    bool good = true;
    for (const char *p = text; *p != '\0';) {
        while (*p == ' ') ++p;
        const char *end = p;
        while (*end != '\0' && *end != ' ') ++end;
        if (end > p) good = good && parse_word(p, static_cast<size_t>(end - p), exe, sizeof exe);
        p = end;
    }
    if (!good || spec.calls == 0) {
        static constexpr char bad[] = "box fault library: malformed BOX_FAULT\n";
        raw(SYS_write, 2, reinterpret_cast<long>(bad), sizeof bad - 1);
        return;
    }
    if (exe[0] != '\0') {
        spec.active = executable_is(exe);
    } else {
        spec.active = true;
        unsetenv("BOX_FAULT");
    }
}

// The path a descriptor names, into path.
void descriptor_path(int fd, char *path, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const long n = raw(SYS_readlinkat, AT_FDCWD, reinterpret_cast<long>(link),
                       reinterpret_cast<long>(path), static_cast<long>(size - 1));
    path[n > 0 ? n : 0] = '\0';
}

// Whether this call is hit. path: the path the call works on, or null for a
// descriptor call on fd (close gives both, its path read before it closes).
bool hit(call_kind kind, const char *call, const char *path, int fd = -1) {
    if (!spec.active || (spec.calls & kind) == 0) return false;
    if (spec.writable && fd >= 0 && (raw(SYS_fcntl, fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        return false;
    char named[4096];
    if (path == nullptr) {
        descriptor_path(fd, named, sizeof named);
        path = named;
    }
    if (spec.path[0] != '\0' && strncmp(path, spec.path, strlen(spec.path)) != 0) return false;
    const long n = ++counted;
    if (n < spec.nth || (spec.times != 0 && n >= spec.nth + spec.times)) return false;
    log_hit(call, path);
    if (spec.action == kill_action) {
        raw(SYS_kill, raw(SYS_getpid), SIGKILL);
        for (;;) pause();
    }
    errno = spec.action;
    return true;
}

template <typename F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

mode_t mode_of(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);

} // namespace

BOX_EXPORT int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_of(flags, ap);
    va_end(ap);
    if (hit(call_open, "open", path)) return -1;
    static const auto real = next<open_fn>("open");
    return real(path, flags, mode);
}
BOX_EXPORT int open64(const char *path, int flags, ...) __attribute__((alias("open")));

BOX_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = mode_of(flags, ap);
    va_end(ap);
    if (hit(call_open, "open", path)) return -1;
    static const auto real = next<openat_fn>("openat");
    return real(dirfd, path, flags, mode);
}
BOX_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
    __attribute__((alias("openat")));

BOX_EXPORT int __open_2(const char *path, int flags) {
    return open(path, flags);
}
BOX_EXPORT int __open64_2(const char *path, int flags) __attribute__((alias("__open_2")));
BOX_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return openat(dirfd, path, flags);
}
BOX_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
    __attribute__((alias("__openat_2")));

BOX_EXPORT int creat(const char *path, mode_t mode) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}
BOX_EXPORT int creat64(const char *path, mode_t mode) __attribute__((alias("creat")));

BOX_EXPORT ssize_t write(int fd, const void *buffer, size_t n) {
    if (hit(call_write, "write", nullptr, fd)) return -1;
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    return real(fd, buffer, n);
}

BOX_EXPORT ssize_t pwrite(int fd, const void *buffer, size_t n, off_t offset) {
    if (hit(call_write, "pwrite", nullptr, fd)) return -1;
    static const auto real = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    return real(fd, buffer, n, offset);
}
BOX_EXPORT ssize_t pwrite64(int fd, const void *buffer, size_t n, off_t offset)
    __attribute__((alias("pwrite")));

BOX_EXPORT ssize_t writev(int fd, const struct iovec *iov, int count) {
    if (hit(call_write, "writev", nullptr, fd)) return -1;
    static const auto real = next<ssize_t (*)(int, const struct iovec *, int)>("writev");
    return real(fd, iov, count);
}

BOX_EXPORT int fsync(int fd) {
    if (hit(call_fsync, "fsync", nullptr, fd)) return -1;
    static const auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

BOX_EXPORT int fdatasync(int fd) {
    if (hit(call_fsync, "fdatasync", nullptr, fd)) return -1;
    static const auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}

BOX_EXPORT int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    if (!spec.active || (spec.calls & call_close) == 0) return real(fd);
    // The path is read before the descriptor goes.
    char path[4096];
    descriptor_path(fd, path, sizeof path);
    if (!hit(call_close, "close", path, fd)) return real(fd);
    const int error = errno;
    real(fd);
    errno = error;
    return -1;
}

BOX_EXPORT int rename(const char *from, const char *to) {
    if (hit(call_rename, "rename", from)) return -1;
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

BOX_EXPORT int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    if (hit(call_rename, "rename", from)) return -1;
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(from_dir, from, to_dir, to);
}

BOX_EXPORT int renameat2(int from_dir, const char *from, int to_dir, const char *to,
                         unsigned flags) {
    if (hit(call_rename, "rename", from)) return -1;
    static const auto real =
        next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2");
    return real(from_dir, from, to_dir, to, flags);
}

BOX_EXPORT int semop(int id, struct sembuf *operations, size_t count) {
    if (hit(call_semop, "semop", "")) return -1;
    static const auto real = next<int (*)(int, struct sembuf *, size_t)>("semop");
    return real(id, operations, count);
}

BOX_EXPORT int semtimedop(int id, struct sembuf *operations, size_t count,
                          const struct timespec *timeout) {
    if (hit(call_semop, "semop", "")) return -1;
    static const auto real =
        next<int (*)(int, struct sembuf *, size_t, const struct timespec *)>("semtimedop");
    return real(id, operations, count, timeout);
}
