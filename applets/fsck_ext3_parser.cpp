// fsck.ext3_parser: e2fsck completion output on standard input becomes UI
// progress, 200 per mille for each of e2fsck's passes.
#include "core/applet.h"
#include "devtools/ext3_progress.h"

#include <cstdio>
#include <getopt.h>

namespace {

int fsck_ext3_parser_main(int argc, char **argv) {
    static const option long_options[] = {{"usebanner", no_argument, nullptr, 'b'},
                                          {nullptr, 0, nullptr, 0}};
    bool banner = false;
    optind = 1;
    // Unrecognised options are ignored.
    for (int c; (c = getopt_long(argc, argv, "b", long_options, nullptr)) != -1;)
        if (c == 'b') banner = true;
    return fsck_parse_stream(stdin, zui(), banner);
}

} // namespace

VARITOOL_APPLET(fsck_ext3_parser, fsck_ext3_parser_main);
