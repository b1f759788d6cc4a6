// insmod maps the module file, locks it in memory and hands it to init_module, keeping the
// load's errno over that of the clean-up; rmmod gives 1 when a non-blocking removal finds the
// module busy (EAGAIN).
#include "flash/module.h"

#include "core/unique.h"
#include "flash/trace.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

// The C library's wrappers of the module system calls; no header declares them.
extern "C" int init_module(void *image, unsigned long length, const char *params);
extern "C" int delete_module(const char *name, unsigned flags);

namespace {

void trace_load_failure(const char *path, const char *params, int error) {
    const char *why = nullptr;
    switch (error) {
    case EPERM: why = "must have permission"; break;
    case ENOENT: why = "unknown symbol in module"; break;
    case ESRCH: why = "module has wrong symbol version"; break;
    case EINTR: why = "only one module load at a time, please"; break;
    case ENOEXEC: why = "invalid module format"; break;
    case EINVAL: why = "invalid parameters"; break;
    default: why = strerror(error);
    }
    flash_trace("insmod %s \"%s\": %s\r\n", path, params, why);
}

} // namespace

int insmod(const char *path, const char *params) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        flash_trace("insmod %s \"%s\": open: %s\r\n", path, params, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        int error = errno;
        flash_trace("insmod %s \"%s\": fstat: %s\r\n", path, params, strerror(error));
        errno = error;
        return -1;
    }
    size_t size = static_cast<size_t>(st.st_size);
    unique_map image(mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0), size);
    if (!image.valid()) {
        int error = errno;
        flash_trace("insmod %s \"%s\": mmap: %s\r\n", path, params, strerror(error));
        errno = error;
        return -1;
    }
    if (mlock(image.addr, size) != 0) flash_trace("insmod: mlock: %s\r\n", strerror(errno));

    int result = init_module(image.addr, size, params);
    int error = errno;
    if (result != 0) trace_load_failure(path, params, error);

    if (munlock(image.addr, size) != 0) flash_trace("insmod: munlock: %s\r\n", strerror(errno));
    if (image.reset() != 0)
        flash_trace("insmod %s \"%s\": munmap: %s\r\n", path, params, strerror(errno));
    fd.reset();
    // The caller looks at the load's errno (EEXIST), not at the clean-up's.
    errno = error;
    return result;
}

int rmmod(const char *name, unsigned flags) {
    int result = delete_module(name, flags);
    if (result == 0) return 0;
    int error = errno;
    flash_trace("rmmod %s %u: %s\r\n", name, flags, strerror(error));
    errno = error;
    if ((flags & O_NONBLOCK) != 0 && error == EAGAIN) return 1;
    return result;
}
