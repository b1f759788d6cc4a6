// get_info: prints one fact about the board or the system version, for
// scripts (no newline).
#include "core/applet.h"
#include "sysinfo/board.h"
#include "sysinfo/sysversion.h"

#include <cstdio>
#include <cstring>

namespace {

int get_info_usage(const char *self, int result) {
    fprintf(stderr, "Usage: %s [flmprVv]\n", self);
    return result;
}

void print_version(int (*get)(uint32_t *, uint32_t *, uint32_t *)) {
    uint32_t major = 0, minor = 0, revision = 0;
    get(&major, &minor, &revision);
    printf("%d.%d.%02d", int(major), int(minor), int(revision));
}

int get_info_main(int argc, char **argv) {
    if (argc != 2 || strlen(argv[1]) != 1) return get_info_usage(argv[0], 1);
    switch (argv[1][0]) {
    case 'f': printf("%s", board_oza_filename()); break;
    case 'l': printf("%s", board_media_partitionlabel()); break;
    case 'm': printf("%s", board_manufacturer()); break;
    case 'p': printf("%s", board_product_name()); break;
    case 'r': printf("%02x", read_board_revision()); break;
    case 'v': print_version(get_sys_version); break;
    case 'V': print_version(get_min_sys_version); break;
    default: return get_info_usage(argv[0], 2);
    }
    return 0;
}

} // namespace

VARITOOL_APPLET(get_info, get_info_main);
