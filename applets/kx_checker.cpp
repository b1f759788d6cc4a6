// kx_checker: checks the header magic and the signature of a kernel image.
#include "core/applet.h"
#include "core/byteorder.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "devtools/signed_image.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

constexpr const char kx_usage[] = "Usage: %s [options]\n\n"
                                  "Options:\n"
                                  "-f | --file <path>       Image file to check\n"
                                  "-m | --magic             Check the header magic only\n"
                                  "-h | --help              Print this help\n";

constexpr option kx_options[] = {
    {"file", required_argument, nullptr, 'f'},
    {"magic", no_argument, nullptr, 'm'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The path is held in a buffer of this size; a longer one is refused with
// the "could not open" message rather than cut into another path.
constexpr size_t kx_path_size = 128;

// The image file, open: -1 when it cannot be opened, is not a regular file
// or is empty. The image is read where the check needs it, so that no
// allocation follows the file's size.
int open_image(const char *path) {
    if (strlen(path) >= kx_path_size) return -1;
    uint64_t size = 0;
    unique_fd fd(open_regular_file(path, &size));
    return size > 0 ? fd.release() : -1;
}

int kx_checker_main(int argc, char **argv) {
    const char *path = "";
    bool magic_only = false;
    optind = 1;
    int opt;
    while ((opt = getopt_long(argc, argv, "hmf:", kx_options, nullptr)) != -1) {
        switch (opt) {
        case 'f': path = optarg; break;
        case 'm':
            magic_only = true;
            printf("\nHeader magic verification only !\n");
            break;
        case 'h': printf(kx_usage, argv[0]); return 0;
        default: printf(kx_usage, argv[0]); return 1;
        }
    }

    unique_fd image(open_image(path));
    if (!image.valid()) {
        printf("%s: could not open %s\n", argv[0], path);
        return 1;
    }
    const int descriptor = image.get();
    int result;
    if (magic_only) {
        unsigned char magic[4];
        result = full_pread(descriptor, magic, sizeof magic, 0) == sizeof magic &&
                         load_le32(magic) == kernel_image_magic
                     ? 0
                     : 1;
    } else {
        const image_rules rules{kernel_image_magic, kernel_checked_header_size, 1, nullptr,
                                nullptr};
        result = image_verify(image_in_file(&descriptor), rules) == image_valid ? 0 : 1;
    }
    printf(result == 0 ? "\nKx verification OK (%s)\n\n" : "\nKx verification NOK (%s)\n\n", path);
    return result;
}

} // namespace

VARITOOL_APPLET(kx_checker, kx_checker_main);
