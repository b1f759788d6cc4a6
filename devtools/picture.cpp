// The framebuffer is mapped whole after its screen information is read. Picture buffers are
// sized in 64 bits, and drawing clips each row to the screen, to its memory and to the
// picture's own bytes.
#include "devtools/picture.h"

#include "core/fullio.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Picture buffers are sized in 64 bits and refused beyond what the address
// space can hold, so that a large geometry never wraps to a small buffer.
bool buffer_size(long long rows, long long row_bytes, size_t &size) {
    if (rows < 0 || row_bytes < 0) return false;
    unsigned long long n =
        static_cast<unsigned long long>(rows) * static_cast<unsigned long long>(row_bytes);
    if (row_bytes != 0 &&
        n / static_cast<unsigned long long>(row_bytes) != static_cast<unsigned long long>(rows))
        return false;
    if (n > PTRDIFF_MAX) return false;
    size = static_cast<size_t>(n);
    return true;
}

} // namespace

int framebuffer_open(const char *path, framebuffer &fb) {
    fb.fd.reset(open(path, O_RDWR | O_CLOEXEC));
    if (!fb.fd.valid()) return -1;
    fb_fix_screeninfo fix{};
    fb_var_screeninfo var{};
    if (ioctl(fb.fd.get(), FBIOGET_FSCREENINFO, &fix) < 0) return -1;
    if (ioctl(fb.fd.get(), FBIOGET_VSCREENINFO, &var) < 0) return -1;
    screen_geometry g{};
    g.xres = static_cast<int>(std::min<uint32_t>(var.xres, INT32_MAX));
    g.yres = static_cast<int>(std::min<uint32_t>(var.yres, INT32_MAX));
    g.bytes_per_pixel = static_cast<int>(var.bits_per_pixel / 8);
    g.line_length = static_cast<int>(std::min<uint32_t>(fix.line_length, INT32_MAX));
    g.size = fix.smem_len;
    if (g.bytes_per_pixel <= 0 || g.size == 0) return -1;
    void *mem = mmap(nullptr, g.size, PROT_READ | PROT_WRITE, MAP_SHARED, fb.fd.get(), 0);
    if (mem == MAP_FAILED) return -1;
    fb.memory.reset();
    fb.memory.addr = mem;
    fb.memory.length = g.size;
    fb.geometry = g;
    return 0;
}

std::span<unsigned char> framebuffer_memory(const framebuffer &fb) {
    if (!fb.memory.valid()) return {};
    return {static_cast<unsigned char *>(fb.memory.addr), fb.memory.length};
}

int read_screen_picture(int fd, const screen_geometry &g, picture &p) {
    size_t size;
    if (!buffer_size(g.yres, g.line_length, size)) return -1;
    byte_buffer pixels = make_buffer(size);
    if (!pixels) return -1;
    if (full_read(fd, pixels.get(), size) != static_cast<ssize_t>(size)) return -1;
    p.width = g.xres;
    p.height = g.yres;
    // A raw screen dump has the screen's own row pitch.
    p.stride = g.bytes_per_pixel > 0 ? g.line_length / g.bytes_per_pixel : 0;
    p.pixels = std::move(pixels);
    p.size = size;
    return 0;
}

int load_raw_picture(const char *path, const screen_geometry &g, picture &p) {
    unique_file file(fopen(path, "rb"));
    if (!file) return -1;
    size_t size;
    if (!buffer_size(g.yres, 4LL * g.xres, size)) return -2;
    byte_buffer pixels = make_zeroed_buffer(size);
    if (!pixels) return -2;
    fread(pixels.get(), 1, size, file.get());
    p.width = g.xres;
    p.height = g.yres;
    p.stride = g.xres;
    p.pixels = std::move(pixels);
    p.size = size;
    return 0;
}

void draw_picture(std::span<unsigned char> screen, const screen_geometry &g, const picture &p,
                  bool reversed) {
    // Pixels are copied in the screen's size, whatever the source holds.
    const long long bpp = g.bytes_per_pixel;
    if (bpp <= 0 || g.line_length <= 0 || p.width <= 0 || p.height <= 0 || !p.pixels) return;
    const long long pitch = g.line_length;
    const long long columns = std::min<long long>(g.xres, pitch / bpp);
    const long long x0 = g.xres / 2 - p.width / 2;
    const long long y0 = g.yres / 2 - p.height / 2;
    const long long screen_size = static_cast<long long>(screen.size());
    const long long source_size = static_cast<long long>(p.size);
    const long long source_pitch = static_cast<long long>(p.stride) * bpp;

    // Visible columns j of the picture: 0 <= x0 + j < columns.
    const long long j_begin = std::max(0LL, -x0);
    const long long j_end = std::min<long long>(p.width, columns - x0);
    if (j_begin >= j_end) return;
    for (long long r = 0; r < p.height; ++r) {
        long long y = y0 + r;
        if (y < 0 || y >= g.yres || y * pitch >= screen_size) continue;
        // The last columns of the last row may lie past the screen memory.
        long long end = std::min(j_end, (screen_size - y * pitch) / bpp - x0);
        if (j_begin >= end) continue;
        long long row = reversed ? p.height - 1 - r : r;
        long long source_row = row * source_pitch;
        unsigned char *line = screen.data() + y * pitch;
        if (!reversed) {
            if (source_row + end * bpp > source_size) continue;
            memcpy(line + (x0 + j_begin) * bpp, p.pixels.get() + source_row + j_begin * bpp,
                   static_cast<size_t>((end - j_begin) * bpp));
            continue;
        }
        // Screen column x0 + j shows source pixel width - 1 - j.
        if (source_row + (p.width - j_begin) * bpp > source_size) continue;
        const unsigned char *source = p.pixels.get() + source_row;
        for (long long j = j_begin; j < end; ++j)
            memcpy(line + (x0 + j) * bpp, source + (p.width - 1 - j) * bpp,
                   static_cast<size_t>(bpp));
    }
}
