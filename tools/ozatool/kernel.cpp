// ozatool kernel: a signed kernel image. The 256-byte header holds the
// magic, the signature block, the signed end (by default the image's
// length, so the whole header tail and payload are signed), the initramfs
// offset (256 + kernel size) and size; the kernel follows it, then the
// initramfs.
#include "core/byteorder.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <getopt.h>

int kernel_main(int argc, char **argv) {
    const char *name = argv[0];
    const char *key = nullptr, *output = nullptr, *initramfs = nullptr, *end = nullptr;
    static const option long_options[] = {{"key", required_argument, nullptr, 'k'},
                                          {"output", required_argument, nullptr, 'o'},
                                          {"initramfs", required_argument, nullptr, 'i'},
                                          {"signed-end", required_argument, nullptr, 'e'},
                                          {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = cli_option(argc, argv, "k:o:i:e:", long_options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case 'k': key = optarg; break;
        case 'o': output = optarg; break;
        case 'i': initramfs = optarg; break;
        case 'e': end = optarg; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1 || !key || !output) return usage(name);
    const char *kernel_path = argv[optind];

    bytes kernel, ramdisk;
    if (!read_whole(kernel_path, &kernel))
        return fail(name, "cannot read %s: %s", kernel_path, strerror(errno));
    if (initramfs && !read_whole(initramfs, &ramdisk))
        return fail(name, "cannot read %s: %s", initramfs, strerror(errno));
    if (kernel.size() + ramdisk.size() > UINT32_MAX - kernel_header)
        return fail(name, "the image must stay below 4 GiB");

    bytes image(kernel_header + kernel.size() + ramdisk.size(), 0);
    store_le32(image.data(), kernel_magic);
    store_le32(image.data() + 148, uint32_t(kernel_header + kernel.size()));
    store_le32(image.data() + 152, uint32_t(ramdisk.size()));
    auto at = std::copy(kernel.begin(), kernel.end(), image.begin() + kernel_header);
    std::copy(ramdisk.begin(), ramdisk.end(), at);
    return sign_and_write(name, image, end, 1, key, output,
                          {key, kernel_path, initramfs ? initramfs : ""});
}
