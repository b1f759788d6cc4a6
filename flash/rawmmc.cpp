// Display names are turned into short names, and a name becomes /mnt/rawfs/<name> (rawmmc its
// /dev node) only when it stays one entry of that folder. Transfers seek, then loop until every
// byte has moved; the size comes from an ioctl.
#include "flash/rawmmc.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Seeks to offset, then reads or writes (op) until length bytes are moved.
// length; a failing seek or op gives its negative result; an op that moves
// nothing (end of the area) gives -1.
template <typename Byte, typename Op>
int transfer(int fd, Byte *p, int32_t offset, int32_t length, Op op) {
    if (length < 0 || (p == nullptr && length > 0)) return -1;
    off_t at = lseek(fd, offset, SEEK_SET);
    if (at < 0) return static_cast<int>(at);
    int32_t done = 0;
    while (done < length) {
        ssize_t n = op(fd, p + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return static_cast<int>(n);
        if (n == 0) return -1;
        done += static_cast<int32_t>(n);
    }
    return length;
}

} // namespace

const char *raw_area_name(const char *name) {
    if (name == nullptr) return name;
    std::string_view given(name);
    for (const raw_area_row &row : raw_areas)
        if (given == row.display || given == row.short_name) return row.short_name;
    return name;
}

bool raw_area_name_valid(const char *name) {
    if (name == nullptr) return false;
    const std::string_view given(name);
    return !given.empty() && given != "." && given != ".." &&
           given.find('/') == std::string_view::npos;
}

int raw_area_path(const char *name, char *path, size_t size) {
    if (!raw_area_name_valid(name) || path == nullptr) return -1;
    int n = strcmp(name, raw_mmc_name) == 0 ? snprintf(path, size, "/dev/%s", raw_mmc_device)
                                            : snprintf(path, size, "%s/%s", raw_area_root, name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

int mmc_open(const char *name, int flags) {
    char path[raw_area_path_size];
    if (raw_area_path(name, path, sizeof path) != 0) return -1;
    int fd = open(path, flags | O_CLOEXEC);
    return fd < 0 ? -1 : fd;
}

int mmc_close(int fd) {
    if (fd < 0) return fd;
    return close(fd);
}

int mmc_read_buffer(int fd, void *buffer, int32_t offset, int32_t length) {
    return transfer(fd, static_cast<unsigned char *>(buffer), offset, length, ::read);
}

int mmc_write_buffer(int fd, const void *buffer, int32_t offset, int32_t length) {
    return transfer(fd, static_cast<const unsigned char *>(buffer), offset, length, ::write);
}

int mmc_size(int fd) {
    int32_t size = 0;
    int r = ioctl(fd, raw_area_size_request, &size);
    return r < 0 ? r : size;
}
