// The display and progress applets in a device box: the dimmer against the
// box's backlight file, input FIFOs and framebuffer stand-in, fb_write on the
// box's framebuffer image, and the progress parsers fed by the real mke2fs and
// e2fsck, sending to the box's UI client stand-in.
#include "core/config.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#if VARITOOL_HAVE_PNG
#include <png.h>
#endif
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string exe = device_box::executable();
const char brightness[] = "/sys/class/backlight/panel/brightness";
const char pid_file[] = "/tmp/autodim.pid";

// Polls condition every 20 ms for up to thirty seconds.
bool eventually(const std::function<bool()> &condition) {
    for (int i = 0; i < 1500; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

bool contains(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A started box holding a dimmer.
class BoxAutodim : public ::testing::Test {
protected:
    device_box box{{"--inputs", "3"}};

    void SetUp() override {
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        ASSERT_TRUE(box.start());
    }

    // Starts the daemon with options; returns the parent's exit status.
    int start(const std::string &options) {
        run_result r = box.exec_shell(shell_quote(exe) + " autodim -p " + brightness + " " +
                                      options + " </dev/null >/tmp/autodim.out 2>&1");
        return r.status;
    }
    std::string level() const { return box.read(brightness); }
    bool level_is(const std::string &v) const {
        return eventually([&] { return level() == v; });
    }
    // The daemon's pid once its pid file holds a whole line: the file is
    // created before the number is written, so a reader can find it empty.
    std::string started_pid() const {
        std::string text;
        eventually([&] {
            text = box.exists(pid_file) ? box.read(pid_file) : "";
            return !text.empty() && text.back() == '\n';
        });
        if (text.empty() || text.back() != '\n') return "";
        text.pop_back();
        return text;
    }
    bool running(const std::string &pid) const {
        return box.exec_shell("kill -0 " + pid).status == 0;
    }
    void input(int device) const { EXPECT_TRUE(box.input_event(device)) << device; }
    std::vector<std::string> blanks() const {
        std::vector<std::string> b;
        for (const std::string &l : box.log())
            if (l.rfind("FBIOBLANK", 0) == 0) b.push_back(l);
        return b;
    }
};

TEST_F(BoxAutodim, DimsWakesAndStopsInOrder) {
    box.write(brightness, "100\n");
    ASSERT_EQ(start("-t 1 -i 30 -a 60"), 0);
    const std::string pid = started_pid();
    ASSERT_FALSE(pid.empty());

    // Active level at once, the idle level after a second without input.
    EXPECT_TRUE(level_is("30")) << level();
    input(1);
    EXPECT_TRUE(level_is("60")) << level();
    EXPECT_TRUE(level_is("30")) << level();
    // The full build asks every device for its name on each pass; the basic
    // build opens them once and never asks.
    bool asked = false;
    for (const std::string &l : box.log()) asked = asked || l.rfind("EVIOCGNAME", 0) == 0;
    EXPECT_EQ(asked, !basic_build);

    box.clear_log();
    EXPECT_EQ(box.exec({exe, "autodim", "-s"}).status, 0);
    EXPECT_TRUE(level_is("0")) << level();
    EXPECT_TRUE(eventually([&] { return !running(pid); }));
    EXPECT_FALSE(box.exists(pid_file));
    EXPECT_EQ(blanks(),
              basic_build ? std::vector<std::string>{} : std::vector<std::string>{"FBIOBLANK 4"});

    // No daemon, no pid file: -k and -s send nothing and say so.
    EXPECT_EQ(box.exec({exe, "autodim", "-k"}).status, 1);
    EXPECT_EQ(box.exec({exe, "autodim", "-s"}).status, 1);

    // The next start leaves 0: the framebuffer is unblanked first.
    box.clear_log();
    ASSERT_EQ(start("-t 30"), 0);
    EXPECT_TRUE(level_is("60")) << level();
    EXPECT_EQ(blanks(),
              basic_build ? std::vector<std::string>{} : std::vector<std::string>{"FBIOBLANK 0"});
    EXPECT_EQ(box.exec({exe, "autodim", "-k"}).status, 0);
}

TEST_F(BoxAutodim, KillLeavesTheBrightnessAsItIs) {
    box.write(brightness, "45\n");
    ASSERT_EQ(start("-t 30 -a 70"), 0);
    ASSERT_TRUE(level_is("70"));
    const std::string pid = started_pid();
    ASSERT_FALSE(pid.empty());
    EXPECT_EQ(box.exec({exe, "autodim", "-k"}).status, 0);
    EXPECT_TRUE(eventually([&] { return !running(pid); }));
    if constexpr (!basic_build) {
        EXPECT_FALSE(box.exists(pid_file));
    }
    EXPECT_EQ(level(), "70");
}

TEST_F(BoxAutodim, WithoutBlankingTheFramebufferIsLeftAlone) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build never blanks";
    box.write(brightness, "0\n");
    ASSERT_EQ(start("-t 30 -b 0"), 0);
    EXPECT_TRUE(level_is("60"));
    ASSERT_FALSE(started_pid().empty());
    EXPECT_EQ(box.exec({exe, "autodim", "-s"}).status, 0);
    EXPECT_TRUE(level_is("0"));
    EXPECT_TRUE(blanks().empty());
}

TEST_F(BoxAutodim, RemovedInputDeviceRebuildsTheList) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build never rescans";
    box.write(brightness, "60\n");
    ASSERT_EQ(start("-t 1"), 0);
    const std::string pid = started_pid();
    ASSERT_FALSE(pid.empty());
    ASSERT_TRUE(level_is("30"));
    ASSERT_EQ(box.exec_shell("rm /dev/input/event2").status, 0);
    // The next pass finds event2 gone and opens the two that are left.
    auto asked = [&](const std::string &device) {
        return contains(box.log(), "EVIOCGNAME /dev/input/" + device);
    };
    EXPECT_TRUE(
        eventually([&] { return contains(box.log(), "EVIOCGNAME /dev/input/event2: ENODEV"); }));
    box.clear_log();
    EXPECT_TRUE(eventually([&] { return asked("event0") && asked("event1"); }));
    EXPECT_FALSE(asked("event2"));
    input(0);
    EXPECT_TRUE(level_is("60")) << level();

    // Without any device left the daemon gives up.
    ASSERT_EQ(box.exec_shell("rm /dev/input/event0 /dev/input/event1").status, 0);
    EXPECT_TRUE(eventually([&] { return !running(pid); }));
}

TEST_F(BoxAutodim, RefusesToStartWithoutInputDevices) {
    ASSERT_EQ(box.exec_shell("rm /dev/input/event*").status, 0);
    EXPECT_EQ(start("-t 1"), 255);
    EXPECT_FALSE(box.exists(pid_file));
}

// Pictures ---------------------------------------------------------------

class BoxFbWrite : public ::testing::Test {
protected:
    device_box box; // 800 x 480, 32 bits per pixel
    void SetUp() override { ASSERT_EQ(box.init_result().status, 0) << box.init_result().err; }
    size_t lit(const std::string &screen) const {
        return static_cast<size_t>(
            std::count_if(screen.begin(), screen.end(), [](char c) { return c != 0; }));
    }
};

#if VARITOOL_HAVE_PNG

struct rgba {
    unsigned char r, g, b, a;
};

bool operator==(const rgba &a, const rgba &b) {
    return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a;
}

// Pixel (x, y) of an 800 x 480 screen of 4-byte pixels.
rgba at(const std::string &screen, int x, int y) {
    const char *p = screen.data() + (static_cast<size_t>(y) * 800 + x) * 4;
    return {static_cast<unsigned char>(p[0]), static_cast<unsigned char>(p[1]),
            static_cast<unsigned char>(p[2]), static_cast<unsigned char>(p[3])};
}

// Writes an 8-bit PNG of the colour type with pixel (x, y) = (x, y, 7, 200)
// (alpha only where the type has it).
std::string png_file(int width, int height, int color_type, int bit_depth = 8) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep data, size_t n) {
            static_cast<std::string *>(png_get_io_ptr(p))
                ->append(reinterpret_cast<char *>(data), n);
        },
        nullptr);
    png_set_IHDR(png, info, width, height, bit_depth, color_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    int channels = color_type == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                   : color_type == PNG_COLOR_TYPE_RGB     ? 3
                                                          : 1;
    std::vector<png_byte> row(static_cast<size_t>(width) * channels * (bit_depth / 8));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            png_byte px[4] = {static_cast<png_byte>(x), static_cast<png_byte>(y), 7, 200};
            memcpy(&row[static_cast<size_t>(x) * channels * (bit_depth / 8)], px,
                   static_cast<size_t>(std::min(channels, 4)));
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

TEST_F(BoxFbWrite, PngCentredAndTurned) {
    box.write("/tmp/rgba.png", png_file(100, 50, PNG_COLOR_TYPE_RGB_ALPHA));
    run_result r = box.applet({"fb_write", "-f", "/tmp/rgba.png", "--png"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string screen = box.read("/dev/fb0");
    ASSERT_EQ(screen.size(), 800u * 480 * 4);
    EXPECT_EQ(at(screen, 350, 215), (rgba{0, 0, 7, 200}));
    EXPECT_EQ(at(screen, 449, 264), (rgba{99, 49, 7, 200}));
    EXPECT_EQ(at(screen, 349, 215), (rgba{0, 0, 0, 0}));

    box.write("/tmp/rgb.png", png_file(100, 50, PNG_COLOR_TYPE_RGB));
    r = box.applet({"fb_write", "--reversed", "--png", "-f", "/tmp/rgb.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    screen = box.read("/dev/fb0");
    EXPECT_EQ(at(screen, 350, 215), (rgba{99, 49, 7, 255}));
    EXPECT_EQ(at(screen, 449, 264), (rgba{0, 0, 7, 255}));
}

TEST_F(BoxFbWrite, LoaderFailuresAreReported) {
    struct {
        const char *name;
        std::string contents;
        int status;
        const char *line;
    } cases[] = {
        {"16-bit", png_file(4, 4, PNG_COLOR_TYPE_RGB, 16), 249, "fb_write : -7\n"},
        {"grey", png_file(4, 4, PNG_COLOR_TYPE_GRAY), 249, "fb_write : -7\n"},
        {"not a PNG", "just some text, no picture", 253, "fb_write : -3\n"},
    };
    for (const auto &c : cases) {
        box.write("/tmp/p.png", c.contents);
        run_result r = box.applet({"fb_write", "--png", "-f", "/tmp/p.png"});
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.err, c.line) << c.name;
        EXPECT_EQ(lit(box.read("/dev/fb0")), 0u) << c.name;
    }
    run_result r = box.applet({"fb_write", "-f", "/tmp/missing"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "fb_write : -1\n");
}

#endif

TEST_F(BoxFbWrite, ScreenDumpOnStandardInput) {
    std::string dump(800u * 480 * 4, '\0');
    for (size_t i = 0; i < dump.size(); ++i) dump[i] = static_cast<char>(i % 251 + 1);
    // One byte short: nothing is drawn. (The full build shows its usage when
    // called without any argument; --png without -f still reads standard input.)
    std::vector<std::string> straight = basic_build ? std::vector<std::string>{"fb_write"}
                                                    : std::vector<std::string>{"fb_write", "--png"};
    run_result r = box.applet(straight, dump.substr(1));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(lit(box.read("/dev/fb0")), 0u);

    r = box.applet(straight, dump);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(box.read("/dev/fb0") == dump);

    std::vector<std::string> turned = basic_build
                                          ? std::vector<std::string>{"fb_write", "x"}
                                          : std::vector<std::string>{"fb_write", "--reversed"};
    r = box.applet(turned, dump);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string screen = box.read("/dev/fb0");
    EXPECT_EQ(screen.substr(0, 4), dump.substr(dump.size() - 4));
    EXPECT_EQ(screen.substr(screen.size() - 4), dump.substr(0, 4));
    if constexpr (basic_build) {
        EXPECT_EQ(box.applet({"fb_write", "--reverse"}, dump).status, 0);
        EXPECT_TRUE(box.read("/dev/fb0") == dump);
    }
}

// Progress parsers ---------------------------------------------------------

// The UI client's command lines from the box log, as "zui <arguments>".
std::vector<std::string> zui_lines(const device_box &box) {
    std::vector<std::string> z;
    for (const std::string &l : box.log())
        if (l.rfind("zui ", 0) == 0) z.push_back(l);
    return z;
}

void expect_progress_run(const std::vector<std::string> &lines, const std::string &progress,
                         const std::vector<std::string> &messages) {
    std::vector<std::string> others;
    std::vector<int> values;
    for (const std::string &l : lines) {
        if (l.rfind(progress, 0) == 0)
            values.push_back(std::stoi(l.substr(progress.size())));
        else
            others.push_back(l);
    }
    EXPECT_EQ(others, messages);
    ASSERT_FALSE(values.empty());
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(values.back(), 1000);
}

TEST(BoxProgress, MkfsParserFollowsRealMke2fs) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    // The counter is redrawn at most once a second: an accelerated clock
    // shows several steps.
    // (libfaketime is preloaded directly: its wrapper needs a semaphore
    // directory that the box does not have.)
    run_result r = box.shell("truncate -s 1G /tmp/disk.img && "
                             "lib=$(echo /usr/lib/*/faketime/libfaketime.so.1) && "
                             "LD_PRELOAD=\"$lib $LD_PRELOAD\" FAKETIME='+0 x200000' "
                             "mke2fs -F -t ext3 -E lazy_itable_init=0,nodiscard /tmp/disk.img | " +
                             shell_quote(exe) + " mkfs.ext3_parser -t USB");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "creating inodes\ncreating blocks\n");
    std::vector<std::string> lines = zui_lines(box);
    expect_progress_run(lines, "zui -c progress -f ",
                        {"zui -c message -t Formating USB Disk...",
                         "zui -c message -t Formating USB Disk, Please wait..."});
    EXPECT_GE(lines.size(), 5u);

    box.clear_log();
    r = box.shell("mke2fs -F -t ext3 /tmp/disk.img | " + shell_quote(exe) +
                  " mkfs.ext3_parser --usebanner");
    EXPECT_EQ(r.status, 0) << r.err;
    expect_progress_run(zui_lines(box), "zui -c bannerprogress -f ",
                        {"zui -c bannerprogress -t Formating Disk...",
                         "zui -c bannerprogress -t Formating Disk, Please wait..."});
}

TEST(BoxProgress, FsckParserFollowsRealE2fsck) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    ASSERT_EQ(
        box.shell("truncate -s 256M /tmp/disk.img && mke2fs -q -F -t ext3 /tmp/disk.img").status,
        0);
    box.clear_log();
    run_result r =
        box.shell("e2fsck -f -n -C 1 /tmp/disk.img | " + shell_quote(exe) + " fsck.ext3_parser");
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = zui_lines(box);
    expect_progress_run(lines, "zui -c progress -f ", {});
    EXPECT_GE(lines.size(), 5u);

    box.clear_log();
    r = box.shell("e2fsck -f -n -C 1 /tmp/disk.img | " + shell_quote(exe) + " fsck.ext3_parser -b");
    EXPECT_EQ(r.status, 0) << r.err;
    expect_progress_run(zui_lines(box), "zui -c bannerprogress -f ", {});
}

} // namespace
