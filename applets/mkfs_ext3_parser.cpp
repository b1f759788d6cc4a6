// mkfs.ext3_parser: mke2fs's terminal output on standard input becomes UI
// messages and the progress of the counter it redraws with backspaces.
#include "core/applet.h"
#include "devtools/ext3_progress.h"

#include <cstdio>
#include <getopt.h>

namespace {

int mkfs_ext3_parser_main(int argc, char **argv) {
    static const option long_options[] = {{"usebanner", no_argument, nullptr, 'b'},
                                          {nullptr, 0, nullptr, 0}};
    bool banner = false;
    const char *disk = "";
    optind = 1;
    // Unrecognised options are ignored.
    for (int c; (c = getopt_long(argc, argv, "bt:", long_options, nullptr)) != -1;) {
        if (c == 'b') banner = true;
        if (c == 't') disk = optarg;
    }
    mkfs_parser parser;
    mkfs_parser_init(parser, zui(), banner, disk);
    return mkfs_parse_stream(stdin, parser);
}

} // namespace

VARITOOL_APPLET(mkfs_ext3_parser, mkfs_ext3_parser_main);
