// ozatool cramfs: a signed cramfs image. The 160-byte header holds the
// magic, the signature block, the signed end (by default the image's
// length) and the system version the image is for (bytes 156 to 158; 0.0.0
// fits every system); the file system image follows it. The digest samples
// every eighth 256 KiB block of the signed region, as the device checks it.
#include "core/byteorder.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

constexpr uint32_t cramfs_step = 8;

bool parse_version(const char *text, unsigned char version[3]) {
    unsigned v[3];
    char tail;
    if (sscanf(text, "%u.%u.%u%c", &v[0], &v[1], &v[2], &tail) != 3) return false;
    for (int i = 0; i < 3; ++i) {
        if (v[i] > 255) return false;
        version[i] = static_cast<unsigned char>(v[i]);
    }
    return true;
}

} // namespace

int cramfs_main(int argc, char **argv) {
    const char *name = argv[0];
    const char *key = nullptr, *output = nullptr, *end = nullptr;
    unsigned char version[3] = {0, 0, 0};
    static const option long_options[] = {{"key", required_argument, nullptr, 'k'},
                                          {"output", required_argument, nullptr, 'o'},
                                          {"version", required_argument, nullptr, 'v'},
                                          {"signed-end", required_argument, nullptr, 'e'},
                                          {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = cli_option(argc, argv, "k:o:v:e:", long_options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case 'k': key = optarg; break;
        case 'o': output = optarg; break;
        case 'v':
            if (!parse_version(optarg, version))
                return fail(name, "version '%s': MAJOR.MINOR.REVISION, each 0 to 255", optarg);
            break;
        case 'e': end = optarg; break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1 || !key || !output) return usage(name);
    const char *input = argv[optind];

    bytes payload;
    if (!read_whole(input, &payload))
        return fail(name, "cannot read %s: %s", input, strerror(errno));
    bytes image(cramfs_header + payload.size(), 0);
    store_le32(image.data(), cramfs_magic);
    memcpy(image.data() + 156, version, sizeof version);
    std::copy(payload.begin(), payload.end(), image.begin() + cramfs_header);
    return sign_and_write(name, image, end, cramfs_step, key, output, {key, input});
}
