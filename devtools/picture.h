// Pictures for the framebuffer: the screen's geometry, the picture sources
// (a raw screen dump on a descriptor, a raw file) and drawing into screen
// memory, centred and optionally turned by 180 degrees.
#pragma once

#include "core/unique.h"

#include <cstddef>
#include <span>

// What the framebuffer reports about itself.
struct screen_geometry {
    int xres, yres;      // visible pixels
    int bytes_per_pixel; // bits per pixel / 8
    int line_length;     // bytes from one screen row to the next
    size_t size;         // bytes of framebuffer memory
};

// A picture in memory, in the screen's pixel layout (no colour conversion).
struct picture {
    int width = 0, height = 0;
    int stride = 0; // pixels from one source row to the next
    byte_buffer pixels;
    size_t size = 0; // bytes in pixels
};

// An open framebuffer with its memory mapped.
struct framebuffer {
    unique_fd fd;
    unique_map memory;
    screen_geometry geometry{};
};

// Opens the framebuffer device at path read-write, reads its fixed and
// variable information and maps its memory. 0, or -1 on any failure
// (including a geometry with less than one byte per pixel).
int framebuffer_open(const char *path, framebuffer &fb);

// The screen memory of an open framebuffer.
std::span<unsigned char> framebuffer_memory(const framebuffer &fb);

// Reads a raw screen dump (yres rows of line_length bytes) from fd, asking
// each read for the bytes still missing. 0, or -1 when the input ends early,
// a read fails or the buffer cannot be allocated.
int read_screen_picture(int fd, const screen_geometry &g, picture &p);

// Loads a raw file of xres x yres 4-byte pixels; a shorter file leaves the
// rest black. 0, -1 when the file cannot be opened, -2 when the buffer
// cannot be allocated.
int load_raw_picture(const char *path, const screen_geometry &g, picture &p);

// Draws p centred on the screen memory (rows line_length bytes apart), or
// turned by 180 degrees around the screen centre when reversed. Parts of the
// picture outside the screen, the screen memory or the picture's own buffer
// are left out.
void draw_picture(std::span<unsigned char> screen, const screen_geometry &g, const picture &p,
                  bool reversed);
