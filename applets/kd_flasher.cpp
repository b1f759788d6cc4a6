// kd_flasher: packs a kernel and an initramfs behind a kernel image header
// into one KD image and writes it into the raw area "custom".
#include "core/applet.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "devtools/signed_image.h"
#include "flash/storage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>

namespace {

constexpr const char kd_usage[] = "Usage: %s [options]\n\n"
                                  "Options:\n"
                                  "-k | --kernel <file>     Which kernel to flash\n"
                                  "-i | --initramfs <file>  Which initramfs to flash\n"
                                  "-h | --help              Print this help\n";

constexpr option kd_options[] = {
    {"kernel", required_argument, nullptr, 'k'},
    {"initramfs", required_argument, nullptr, 'i'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Paths are held in buffers of this size; a longer one is refused when it is
// opened rather than cut into another path.
constexpr size_t kd_path_size = 256;

// The image mkflashimage built: too_big set (and no bytes) when the total
// exceeds kd_image_max.
struct kd_image {
    byte_buffer bytes;
    uint64_t total = 0;
    bool too_big = false;
};

// Only regular files are packed: their size bounds what is read.
int open_input(const char *path) {
    if (strlen(path) >= kd_path_size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open_regular_file(path, nullptr);
}

// Reads the whole of a file of size bytes to out, looping over short reads;
// false after printing "error reading <what> file: <reason>".
bool read_input(int fd, unsigned char *out, uint64_t size, const char *what) {
    const ssize_t got = full_read(fd, out, static_cast<size_t>(size));
    if (got == static_cast<ssize_t>(size)) return true;
    fprintf(stderr, "error reading %s file: %s\n", what,
            got < 0 ? strerror(errno) : "unexpected end of file");
    return false;
}

// Builds the KD image from the two files. The size limit is tested before
// anything is allocated or read.
bool mkflashimage(const char *kernel_path, const char *initramfs_path, kd_image &image) {
    unique_fd kernel(open_input(kernel_path));
    if (!kernel.valid()) {
        fprintf(stderr, "cannot open kernel file: %s\n", strerror(errno));
        return false;
    }
    unique_fd initramfs(open_input(initramfs_path));
    if (!initramfs.valid()) {
        fprintf(stderr, "cannot open filesystem file: %s\n", strerror(errno));
        return false;
    }
    struct stat ks, is;
    if (fstat(kernel.get(), &ks) != 0 || fstat(initramfs.get(), &is) != 0) {
        fprintf(stderr, "error reading input file: %s\n", strerror(errno));
        return false;
    }
    const uint64_t kernel_size = static_cast<uint64_t>(ks.st_size);
    const uint64_t initramfs_size = static_cast<uint64_t>(is.st_size);
    image.total = kernel_header_size + kernel_size + initramfs_size;
    if (image.total > kd_image_max) {
        image.too_big = true;
        return true;
    }
    image.bytes = make_buffer(static_cast<size_t>(image.total));
    if (!image.bytes) {
        fprintf(stderr, "cannot write header to output buffer\n");
        return false;
    }
    unsigned char *out = image.bytes.get();
    kd_header_build(out, uint32_t(kernel_size), uint32_t(initramfs_size));
    if (!read_input(kernel.get(), out + kernel_header_size, kernel_size, "input") ||
        !read_input(initramfs.get(), out + kernel_header_size + kernel_size, initramfs_size,
                    "filesystem")) {
        image.bytes.reset();
        return false;
    }
    return true;
}

void print_progress(int percent, void *) {
    printf("%d\n", percent);
    fflush(stdout);
}

int kd_flasher_main(int argc, char **argv) {
    const char *kernel = "zImage";
    const char *initramfs = "initramfs.cpio.gz";
    optind = 1;
    int opt;
    while ((opt = getopt_long(argc, argv, "k:i:h", kd_options, nullptr)) != -1) {
        switch (opt) {
        case 'k': kernel = optarg; break;
        case 'i': initramfs = optarg; break;
        case 'h': printf(kd_usage, argv[0]); return 0;
        default: printf(kd_usage, argv[0]); return 1;
        }
    }

    fprintf(stderr, "Generating KD...\n");
    kd_image image;
    if (!mkflashimage(kernel, initramfs, image)) {
        fprintf(stderr, "mkflashimage failed\n");
        return 1;
    }
    if (image.too_big) {
        fprintf(stderr, "KD too big (%llu). Max is %llu.\n",
                static_cast<unsigned long long>(image.total),
                static_cast<unsigned long long>(kd_image_max));
        printf("Error: KD too big\n");
        fflush(stdout);
        return 0;
    }
    fprintf(stderr, "Updating KD (%llu bytes)...\n", static_cast<unsigned long long>(image.total));
    // A failed write leaves the area without a whole image: say so in the
    // status as well, so that no script takes it for a flashed kernel.
    const int r = flash_write_with_progress(
        "custom", 0, image.bytes.get(), static_cast<int32_t>(image.total), print_progress, nullptr);
    if (r < 0) {
        fprintf(stderr, "KD write failed (%d)\n", r);
        return 1;
    }
    return 0;
}

} // namespace

VARITOOL_APPLET(kd_flasher, kd_flasher_main);
