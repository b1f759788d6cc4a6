// fb_write: put a picture (a raw screen dump on standard input, a raw file or
// a PNG file) on the framebuffer, centred, optionally turned by 180 degrees.
#include "core/applet.h"
#include "core/config.h"
#include "devtools/picture.h"
#include "devtools/png_picture.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace {

constexpr const char fb_write_device[] = "/dev/fb0";

int fb_write_usage(const char *self) {
    printf("Usage: %s [OPTION]... \n", self);
    puts("\t-f <file>\t: display file");
    puts("\t\t--png \t\t: use png format");
    puts("\t\t--reversed \t: image rotation");
    return -1;
}

// Opens the framebuffer, gets the picture (from standard input when file is
// empty) and draws it. A loader's failure is reported and returned.
int fb_write_show(const char *file, bool png, bool reversed) {
    framebuffer fb;
    if (framebuffer_open(fb_write_device, fb) < 0) return -1;
    picture p;
    if (file[0] == '\0') {
        if (read_screen_picture(0, fb.geometry, p) < 0) return -1;
    } else {
        int r = -1;
        if constexpr (!basic_build)
            r = png ? load_png_picture(file, p) : load_raw_picture(file, fb.geometry, p);
        if (r != 0) {
            fprintf(stderr, "%s : %d\n", "fb_write", r);
            return r;
        }
    }
    draw_picture(framebuffer_memory(fb), fb.geometry, p, reversed);
    return 0;
}

int fb_write_full(int argc, char **argv) {
    int png_flag = 0, reversed_flag = 0;
    const option long_options[] = {{"png", no_argument, &png_flag, 1},
                                   {"reversed", no_argument, &reversed_flag, 1},
                                   {nullptr, 0, nullptr, 0}};
    if (argc < 2) return fb_write_usage(argv[0]);
    char file[256] = ""; // at most 255 characters of -f
    optind = 1;
    // Other options are ignored.
    for (int c; (c = getopt_long(argc, argv, "hf:", long_options, nullptr)) != -1;) {
        if (c == 'h') return fb_write_usage(argv[0]);
        if (c == 'f') snprintf(file, sizeof file, "%s", optarg);
    }
    return fb_write_show(file, png_flag != 0, reversed_flag != 0);
}

// The basic build: standard input only; turned unless the first argument is
// absent or "--reverse".
int fb_write_basic(int argc, char **argv) {
    bool reversed = argc >= 2 && strcmp(argv[1], "--reverse") != 0;
    return fb_write_show("", false, reversed);
}

int fb_write_main(int argc, char **argv) {
    if constexpr (basic_build)
        return fb_write_basic(argc, argv);
    else
        return fb_write_full(argc, argv);
}

} // namespace

VARITOOL_APPLET(fb_write, fb_write_main);
