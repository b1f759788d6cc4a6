// PNG pictures for the framebuffer (full build only: the basic build links no
// image library).
#pragma once

#include "devtools/picture.h"

// Loader results.
enum {
    png_loaded = 0,
    png_cannot_open = -1,    // the file cannot be opened
    png_too_short = -2,      // fewer than 8 bytes
    png_not_png = -3,        // no PNG signature
    png_no_read_struct = -4, // the library's read structure cannot be made
    png_no_info_struct = -5, // nor its information structure
    png_read_error = -6,     // the library failed while reading
    png_unsupported = -7,    // not 8 bits per channel RGB, RGBA or palette
    png_no_memory = -8,      // the picture buffer cannot be allocated
};

// Loads the PNG file at path as 4-byte pixels R, G, B, A (alpha 0xFF where the
// file has no transparency), stride = width. Returns png_loaded or one of the
// negative codes above; p is left untouched on failure.
int load_png_picture(const char *path, picture &p);
