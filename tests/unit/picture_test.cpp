// Drawing into screen memory of exactly its size (centred, reversed, clipped, nothing written
// past the screen or read past the picture), screen dumps from a pipe, raw files in a scratch
// directory, and a framebuffer path that is no framebuffer.
#include "devtools/picture.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned char untouched = 0xEE;

// A picture whose pixel (x, y) holds x, y, 0x5A, 0xA5 in its first bytes, so
// that every pixel on the screen tells where it came from.
picture make_picture(int width, int height, int stride, int bpp) {
    picture p;
    p.width = width;
    p.height = height;
    p.stride = stride;
    p.size = static_cast<size_t>(stride) * height * bpp;
    p.pixels = make_buffer(p.size);
    memset(p.pixels.get(), 0x11, p.size);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char px[4] = {static_cast<unsigned char>(x), static_cast<unsigned char>(y),
                                   0x5A, 0xA5};
            memcpy(p.pixels.get() + (static_cast<size_t>(y) * stride + x) * bpp, px,
                   static_cast<size_t>(bpp));
        }
    return p;
}

// Screen memory of exactly g.size bytes (so that a write past it is caught).
struct screen {
    screen_geometry g;
    std::vector<unsigned char> memory;
    explicit screen(screen_geometry geometry) : g(geometry), memory(geometry.size, untouched) {}
    const unsigned char *at(int x, int y) const {
        return memory.data() + static_cast<size_t>(y) * g.line_length +
               static_cast<size_t>(x) * g.bytes_per_pixel;
    }
    // True when the pixel at (x, y) came from picture pixel (px, py).
    bool shows(int x, int y, int px, int py) const {
        const unsigned char *p = at(x, y);
        return p[0] == static_cast<unsigned char>(px) && p[1] == static_cast<unsigned char>(py);
    }
    size_t changed() const {
        size_t n = 0;
        for (unsigned char b : memory) n += b != untouched;
        return n;
    }
};

screen_geometry geometry(int xres, int yres, int bpp, int line_length = 0, size_t size = 0) {
    if (line_length == 0) line_length = xres * bpp;
    if (size == 0) size = static_cast<size_t>(line_length) * yres;
    return {xres, yres, bpp, line_length, size};
}

TEST(Picture, CentredOnTheScreen) {
    screen s(geometry(800, 480, 4));
    picture p = make_picture(100, 50, 100, 4);
    draw_picture(s.memory, s.g, p, false);
    EXPECT_TRUE(s.shows(350, 215, 0, 0));
    EXPECT_TRUE(s.shows(449, 264, 99, 49));
    EXPECT_EQ(s.at(350, 215)[3], 0xA5);
    EXPECT_EQ(s.at(349, 215)[0], untouched);
    EXPECT_EQ(s.at(350, 214)[0], untouched);
    EXPECT_EQ(s.changed(), 100u * 50 * 4);
}

TEST(Picture, ReversedTurnsAroundTheScreenCentre) {
    screen s(geometry(800, 480, 4));
    picture p = make_picture(100, 50, 100, 4);
    draw_picture(s.memory, s.g, p, true);
    bool all = true;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 100; ++x) all = all && s.shows(350 + x, 215 + y, 99 - x, 49 - y);
    EXPECT_TRUE(all);
    EXPECT_EQ(s.at(350, 215)[2], 0x5A); // whole pixels move, bytes stay in order
    EXPECT_EQ(s.changed(), 100u * 50 * 4);
}

TEST(Picture, OddSizesTruncateTheHalves) {
    screen s(geometry(5, 5, 4));
    picture p = make_picture(2, 3, 2, 4);
    draw_picture(s.memory, s.g, p, false);
    EXPECT_TRUE(s.shows(1, 1, 0, 0)); // 5/2 - 2/2, 5/2 - 3/2
    EXPECT_EQ(s.changed(), 2u * 3 * 4);
}

TEST(Picture, LargerPicturesAreClippedToTheScreen) {
    for (bool reversed : {false, true}) {
        screen s(geometry(4, 2, 4));
        picture p = make_picture(10, 6, 10, 4);
        draw_picture(s.memory, s.g, p, reversed);
        // x0 = 2 - 5 = -3, y0 = 1 - 3 = -2: the middle of the picture shows.
        bool all = true;
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x) {
                int px = x + 3, py = y + 2;
                if (reversed) px = 9 - px, py = 5 - py;
                all = all && s.shows(x, y, px, py);
            }
        EXPECT_TRUE(all) << reversed;
    }
}

TEST(Picture, ScreenRowsAreLineLengthApart) {
    // 4 visible pixels of 2 bytes, rows padded to 12 bytes.
    screen s(geometry(4, 3, 2, 12));
    picture p = make_picture(4, 3, 4, 2);
    draw_picture(s.memory, s.g, p, false);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) EXPECT_TRUE(s.shows(x, y, x, y)) << x << "," << y;
        for (int b = 8; b < 12; ++b) EXPECT_EQ(s.memory[y * 12 + b], untouched);
    }
}

TEST(Picture, NothingIsWrittenPastTheScreenMemory) {
    // The memory ends in the middle of the last row.
    screen s(geometry(4, 4, 4, 16, 16 * 3 + 8));
    picture p = make_picture(4, 4, 4, 4);
    draw_picture(s.memory, s.g, p, true);
    EXPECT_TRUE(s.shows(0, 3, 3, 0));
    EXPECT_TRUE(s.shows(1, 3, 2, 0));
    EXPECT_EQ(s.changed(), s.memory.size());
}

TEST(Picture, NothingIsReadPastThePicture) {
    screen s(geometry(4, 4, 4));
    picture p = make_picture(4, 4, 4, 4);
    p.size = 4 * 4 * 2 + 4; // the buffer holds two rows and a pixel
    draw_picture(s.memory, s.g, p, false);
    EXPECT_EQ(s.changed(), 2u * 4 * 4);
    s.memory.assign(s.memory.size(), untouched);
    draw_picture(s.memory, s.g, p, true);
    EXPECT_EQ(s.changed(), 2u * 4 * 4);
}

struct piped {
    int fds[2];
    piped() { EXPECT_EQ(pipe(fds), 0); }
    ~piped() {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    // Writes data in small pieces from another thread, then closes the writing end.
    std::thread feed(std::string data) {
        return std::thread([this, data] {
            for (size_t i = 0; i < data.size(); i += 7)
                EXPECT_GT(write(fds[1], data.data() + i, std::min<size_t>(7, data.size() - i)), 0);
            close(fds[1]);
            fds[1] = -1;
        });
    }
};

TEST(Picture, ScreenDumpFromADescriptor) {
    screen_geometry g = geometry(4, 3, 2, 10); // rows of 10 bytes, 8 visible
    std::string dump;
    for (int i = 0; i < 30; ++i) dump += static_cast<char>(i);
    piped in;
    std::thread writer = in.feed(dump);
    picture p;
    EXPECT_EQ(read_screen_picture(in.fds[0], g, p), 0);
    writer.join();
    ASSERT_EQ(p.size, 30u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.pixels.get()), 30), dump);
    EXPECT_EQ(p.width, 4);
    EXPECT_EQ(p.height, 3);
    EXPECT_EQ(p.stride, 5); // the dump keeps the screen's row pitch

    // Drawn straight, the dump is the screen again.
    screen s(g);
    draw_picture(s.memory, g, p, false);
    for (int y = 0; y < 3; ++y)
        EXPECT_EQ(memcmp(s.memory.data() + y * 10, dump.data() + y * 10, 8), 0);
}

TEST(Picture, ScreenDumpOneByteShortFails) {
    screen_geometry g = geometry(4, 3, 4);
    piped in;
    std::thread writer = in.feed(std::string(4 * 3 * 4 - 1, 'x'));
    picture p;
    EXPECT_EQ(read_screen_picture(in.fds[0], g, p), -1);
    writer.join();
    EXPECT_FALSE(p.pixels);
}

TEST(Picture, RawFiles) {
    scratch_dir dir;
    screen_geometry g = geometry(2, 2, 4);
    picture p;
    EXPECT_EQ(load_raw_picture(dir.at("missing").c_str(), g, p), -1);

    write_text(dir.at("short"), "abcdefghij"); // 10 of 16 bytes
    ASSERT_EQ(load_raw_picture(dir.at("short").c_str(), g, p), 0);
    ASSERT_EQ(p.size, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.pixels.get()), 16),
              std::string("abcdefghij") + std::string(6, '\0'));
    EXPECT_EQ(p.width, 2);
    EXPECT_EQ(p.stride, 2);

    write_text(dir.at("long"), std::string(16, 'a') + "zz");
    ASSERT_EQ(load_raw_picture(dir.at("long").c_str(), g, p), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(p.pixels.get()), 16), std::string(16, 'a'));
}

TEST(Picture, FramebufferThatIsNoFramebufferFails) {
    scratch_dir dir;
    write_text(dir.at("fb0"), std::string(4096, '\0'));
    framebuffer fb;
    EXPECT_EQ(framebuffer_open(dir.at("fb0").c_str(), fb), -1);
    EXPECT_EQ(framebuffer_open(dir.at("missing").c_str(), fb), -1);
    EXPECT_TRUE(framebuffer_memory(fb).empty());
}

} // namespace
