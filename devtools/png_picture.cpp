// PNG loading through the PNG library: 8-bit RGB, RGBA and palette pictures, each read as R, G,
// B, A rows. The library's error jump lands in a frame that owns nothing with a destructor.
#include "devtools/png_picture.h"

#if VARITOOL_HAVE_PNG

#include <cstdint>
#include <cstdio>
#include <png.h>

namespace {

// The read and information structures, destroyed together.
struct png_reader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_reader() = default;
    png_reader(const png_reader &) = delete;
    png_reader &operator=(const png_reader &) = delete;
    ~png_reader() {
        if (png != nullptr)
            png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    }
};

// Pictures whose buffer would pass this size are refused as unallocatable.
constexpr unsigned long long png_max_buffer = 256ULL << 20;

// The library's error return lands in this frame, which therefore owns no
// object with a destructor: everything it fills belongs to the caller.
// Returns 0, png_read_error, png_unsupported or png_no_memory.
int png_read_picture(png_structp png, png_infop info, FILE *file, picture &p) {
    if (setjmp(png_jmpbuf(png)) != 0) return png_read_error;
    png_init_io(png, file);
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);

    png_uint_32 width = png_get_image_width(png, info);
    png_uint_32 height = png_get_image_height(png, info);
    int color_type = png_get_color_type(png, info);
    if (png_get_bit_depth(png, info) != 8) return png_unsupported;
    if (color_type != PNG_COLOR_TYPE_RGB && color_type != PNG_COLOR_TYPE_RGB_ALPHA &&
        color_type != PNG_COLOR_TYPE_PALETTE)
        return png_unsupported;
    unsigned long long size = 4ULL * width * height;
    if (size > png_max_buffer || width > INT32_MAX || height > INT32_MAX) return png_no_memory;
    p.pixels = make_buffer(static_cast<size_t>(size));
    if (!p.pixels) return png_no_memory;
    p.size = static_cast<size_t>(size);
    p.width = static_cast<int>(width);
    p.height = static_cast<int>(height);
    p.stride = p.width;

    // Every picture becomes R, G, B, A: palettes are expanded, transparency
    // (of a palette or of an RGB picture) becomes the alpha channel, and
    // pictures without one get an opaque fourth byte.
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0)
        png_set_tRNS_to_alpha(png);
    else if (color_type != PNG_COLOR_TYPE_RGB_ALPHA)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != 4ULL * width) return png_unsupported;

    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 r = 0; r < height; ++r)
            png_read_row(png, p.pixels.get() + 4ULL * width * r, nullptr);
    return png_loaded;
}

} // namespace

int load_png_picture(const char *path, picture &p) {
    unique_file file(fopen(path, "rb"));
    if (!file) return png_cannot_open;
    png_byte signature[8];
    if (fread(signature, 1, sizeof signature, file.get()) != sizeof signature) return png_too_short;
    if (png_sig_cmp(signature, 0, sizeof signature) != 0) return png_not_png;

    png_reader reader;
    // The library checks that the version it was built as matches ours.
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (reader.png == nullptr) return png_no_read_struct;
    reader.info = png_create_info_struct(reader.png);
    if (reader.info == nullptr) return png_no_info_struct;

    picture loaded;
    int r = png_read_picture(reader.png, reader.info, file.get(), loaded);
    if (r == png_loaded) p = std::move(loaded);
    return r;
}

#endif
