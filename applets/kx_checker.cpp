// kx_checker: checks the header magic and the signature of a kernel image.
#include "applets/signed_image.h"
#include "core/applet.h"
#include "core/byteorder.h"
#include "core/unique.h"

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

// The whole file, or an empty buffer when it cannot be opened or read or is
// empty.
byte_buffer read_image(const char *path, size_t &size) {
    if (strlen(path) >= kx_path_size) return nullptr;
    unique_file f(fopen(path, "rbe"));
    if (!f || fseek(f.get(), 0, SEEK_END) != 0) return nullptr;
    const long end = ftell(f.get());
    if (end <= 0 || fseek(f.get(), 0, SEEK_SET) != 0) return nullptr;
    size = static_cast<size_t>(end);
    byte_buffer image = make_buffer(size);
    if (!image || fread(image.get(), 1, size, f.get()) != size) return nullptr;
    return image;
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

    size_t size = 0;
    byte_buffer image = read_image(path, size);
    if (!image) {
        printf("%s: could not open %s\n", argv[0], path);
        return 1;
    }
    int result;
    if (magic_only)
        result = size >= 4 && load_le32(image.get()) == kernel_image_magic ? 0 : 1;
    else
        result = kernel_image_verify(nullptr, {image.get(), size}, kernel_image_magic);
    printf(result == 0 ? "\nKx verification OK (%s)\n\n" : "\nKx verification NOK (%s)\n\n", path);
    return result;
}

} // namespace

VARITOOL_APPLET(kx_checker, "kx_checker", "signed kernel checker", kx_checker_main);
