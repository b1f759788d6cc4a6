// The PNG loader exists in the full build only.
#include "devtools/png_picture.h"

#if VARITOOL_HAVE_PNG

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <png.h>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

struct png_spec {
    int width = 3, height = 2;
    int bit_depth = 8;
    int color_type = PNG_COLOR_TYPE_RGB;
    bool interlaced = false;
    std::vector<png_color> palette;
    std::vector<png_byte> trns_alpha; // palette transparency
    bool rgb_key = false;             // RGB transparency: the colour 1, 2, 3
};

int channels(const png_spec &s) {
    switch (s.color_type) {
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA: return 4;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    default: return 1;
    }
}

// The sample of channel c of pixel (x, y) as written.
png_byte sample(int x, int y, int c) {
    return static_cast<png_byte>(16 * y + 4 * x + c + 1);
}

// Writes a PNG with libpng. Pixel (0, 0) of an RGB picture with a colour key
// is the key colour; palette pictures use index (x + y) % palette size.
void write_png(const std::string &path, const png_spec &s) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    png_set_IHDR(png, info, s.width, s.height, s.bit_depth, s.color_type,
                 s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!s.palette.empty())
        png_set_PLTE(png, info, s.palette.data(), static_cast<int>(s.palette.size()));
    if (!s.trns_alpha.empty())
        png_set_tRNS(png, info, s.trns_alpha.data(), static_cast<int>(s.trns_alpha.size()),
                     nullptr);
    png_color_16 key{0, 1, 2, 3, 0};
    if (s.rgb_key) png_set_tRNS(png, info, nullptr, 0, &key);
    png_write_info(png, info);
    size_t bytes = static_cast<size_t>(channels(s)) * (s.bit_depth / 8);
    size_t row_bytes = (static_cast<size_t>(s.width) * channels(s) * s.bit_depth + 7) / 8;
    std::vector<std::vector<png_byte>> rows(s.height, std::vector<png_byte>(row_bytes));
    for (int y = 0; y < s.height && bytes > 0; ++y)
        for (int x = 0; x < s.width; ++x)
            for (size_t c = 0; c < bytes; ++c) {
                png_byte v = sample(x, y, static_cast<int>(c));
                if (s.color_type == PNG_COLOR_TYPE_PALETTE)
                    v = static_cast<png_byte>((x + y) % s.palette.size());
                if (s.rgb_key && x == 0 && y == 0) v = static_cast<png_byte>(c + 1);
                rows[y][x * bytes + c] = v;
            }
    std::vector<png_bytep> pointers;
    for (auto &r : rows) pointers.push_back(r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(f);
}

// The loaded pixel (x, y) as R, G, B, A.
std::vector<int> pixel(const picture &p, int x, int y) {
    const unsigned char *px = p.pixels.get() + (static_cast<size_t>(y) * p.stride + x) * 4;
    return {px[0], px[1], px[2], px[3]};
}

const std::vector<png_color> palette{{10, 20, 30}, {40, 50, 60}, {70, 80, 90}};

class PngPicture : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string file = dir.at("picture.png");
    picture p;

    int load(const png_spec &s) {
        write_png(file, s);
        return load_png_picture(file.c_str(), p);
    }
};

TEST_F(PngPicture, RgbGetsAnOpaqueFourthByte) {
    png_spec s;
    ASSERT_EQ(load(s), 0);
    EXPECT_EQ(p.width, 3);
    EXPECT_EQ(p.height, 2);
    EXPECT_EQ(p.stride, 3);
    EXPECT_EQ(p.size, 3u * 2 * 4);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(pixel(p, x, y),
                      (std::vector<int>{sample(x, y, 0), sample(x, y, 1), sample(x, y, 2), 255}));
}

TEST_F(PngPicture, RgbaKeepsItsAlpha) {
    png_spec s;
    s.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
    ASSERT_EQ(load(s), 0);
    EXPECT_EQ(pixel(p, 2, 1), (std::vector<int>{sample(2, 1, 0), sample(2, 1, 1), sample(2, 1, 2),
                                                sample(2, 1, 3)}));
}

TEST_F(PngPicture, PaletteIsExpanded) {
    png_spec s;
    s.color_type = PNG_COLOR_TYPE_PALETTE;
    s.palette = palette;
    ASSERT_EQ(load(s), 0);
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<int>{10, 20, 30, 255}));
    EXPECT_EQ(pixel(p, 1, 0), (std::vector<int>{40, 50, 60, 255}));
    EXPECT_EQ(pixel(p, 2, 1), (std::vector<int>{10, 20, 30, 255}));
}

TEST_F(PngPicture, PaletteTransparencyBecomesAlpha) {
    png_spec s;
    s.color_type = PNG_COLOR_TYPE_PALETTE;
    s.palette = palette;
    s.trns_alpha = {0, 128}; // entries past the list are opaque
    ASSERT_EQ(load(s), 0);
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<int>{10, 20, 30, 0}));
    EXPECT_EQ(pixel(p, 1, 0), (std::vector<int>{40, 50, 60, 128}));
    EXPECT_EQ(pixel(p, 2, 0), (std::vector<int>{70, 80, 90, 255}));
}

TEST_F(PngPicture, RgbColourKeyIsReadAsFourByteRows) {
    png_spec s;
    s.rgb_key = true;
    s.width = 40; // rows long enough that a 3-byte reading would show
    ASSERT_EQ(load(s), 0);
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<int>{1, 2, 3, 0}));
    EXPECT_EQ(pixel(p, 39, 1),
              (std::vector<int>{sample(39, 1, 0), sample(39, 1, 1), sample(39, 1, 2), 255}));
}

TEST_F(PngPicture, InterlacedPicturesAreReadWhole) {
    png_spec s;
    s.width = 9;
    s.height = 9;
    s.interlaced = true;
    ASSERT_EQ(load(s), 0);
    bool all = true;
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 9; ++x)
            all = all && pixel(p, x, y) == std::vector<int>{sample(x, y, 0), sample(x, y, 1),
                                                            sample(x, y, 2), 255};
    EXPECT_TRUE(all);
}

TEST_F(PngPicture, OnlyEightBitColourPictures) {
    struct {
        const char *name;
        int bit_depth, color_type;
    } cases[] = {
        {"16-bit RGB", 16, PNG_COLOR_TYPE_RGB},
        {"16-bit RGBA", 16, PNG_COLOR_TYPE_RGB_ALPHA},
        {"grey", 8, PNG_COLOR_TYPE_GRAY},
        {"grey and alpha", 8, PNG_COLOR_TYPE_GRAY_ALPHA},
        {"4-bit palette", 4, PNG_COLOR_TYPE_PALETTE},
    };
    for (const auto &c : cases) {
        png_spec s;
        s.bit_depth = c.bit_depth;
        s.color_type = c.color_type;
        if (c.color_type == PNG_COLOR_TYPE_PALETTE) s.palette = palette;
        EXPECT_EQ(load(s), -7) << c.name;
        EXPECT_FALSE(p.pixels) << c.name;
    }
}

// A PNG with its IHDR width and height replaced (and its checksum fixed).
std::string with_size(std::string png, uint32_t width, uint32_t height) {
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + i] = static_cast<char>(v >> (24 - 8 * i));
    };
    put(16, width);
    put(20, height);
    uLong crc = crc32(0, reinterpret_cast<const Bytef *>(png.data() + 12), 17);
    put(29, static_cast<uint32_t>(crc));
    return png;
}

TEST_F(PngPicture, BrokenFiles) {
    png_spec s;
    write_png(file, s);
    std::string good = read_text(file);
    std::string corrupt_header = good;
    corrupt_header[20] ^= 1; // IHDR checksum no longer matches
    struct {
        const char *name;
        std::string contents; // nullptr-like: "" with missing = true
        bool missing;
        int result;
    } cases[] = {
        {"missing file", "", true, -1},
        {"seven bytes", good.substr(0, 7), false, -2},
        {"empty", "", false, -2},
        {"not a PNG", "GIF89a this is not a PNG file", false, -3},
        {"cut in the middle of the data", good.substr(0, good.size() - 20), false, -6},
        {"cut after the signature", good.substr(0, 8), false, -6},
        {"damaged header", corrupt_header, false, -6},
        {"too large to hold", with_size(good, 100000, 100000), false, -8},
    };
    for (const auto &c : cases) {
        std::string path = dir.at(c.missing ? "nowhere.png" : "broken.png");
        if (!c.missing) write_text(path, c.contents);
        picture q;
        EXPECT_EQ(load_png_picture(path.c_str(), q), c.result) << c.name;
        EXPECT_FALSE(q.pixels) << c.name;
    }
}

} // namespace

#endif
