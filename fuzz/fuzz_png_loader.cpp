// Fuzzes the PNG loader with arbitrary file contents.
#include "devtools/png_picture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The loader takes a path: the input lives in an anonymous memory file.
    static int fd = memfd_create("fuzz_png_loader", 0);
    static char path[64];
    if (fd < 0) abort();
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();

    picture p;
    int r = load_png_picture(path, p);
    if (r == 0) {
        // A loaded picture fills its buffer exactly with 4-byte pixels.
        if (p.width <= 0 || p.height <= 0 || p.stride != p.width ||
            p.size != 4ULL * p.width * p.height || !p.pixels)
            abort();
    } else if (r < -8 || r > 0 || p.pixels) {
        abort();
    }
    return 0;
}
