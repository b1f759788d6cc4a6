// The display and progress applets' command lines, run as the real program
// where they stop before touching any device path: usage, refused options,
// and parser input that sends nothing to the UI.
#include "core/config.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string exe = VARITOOL_EXECUTABLE;

const char fb_write_usage[] = "Usage: fb_write [OPTION]... \n"
                              "\t-f <file>\t: display file\n"
                              "\t\t--png \t\t: use png format\n"
                              "\t\t--reversed \t: image rotation\n";

enum which { both, full_only, basic_only };

TEST(DisplayCommandLine, StopsBeforeTheDevice) {
    struct {
        const char *name;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
        which builds;
    } cases[] = {
        {"fb_write without arguments", {"fb_write"}, "", 255, fb_write_usage, full_only},
        {"fb_write -h", {"fb_write", "-h"}, "", 255, fb_write_usage, full_only},
        {"fb_write -h after -f", {"fb_write", "-f", "x", "-h"}, "", 255, fb_write_usage, full_only},
        {"autodim without -p", {"autodim", "-i", "10"}, "", 255, "", both},
        {"autodim with an unknown option", {"autodim", "-p", "b", "-x"}, "", 255, "", both},
        // The basic build has no -b (in the full build it would start the daemon).
        {"autodim -b in the basic build",
         {"autodim", "-p", "b", "-b", "0"},
         "",
         255,
         "",
         basic_only},
        {"mkfs.ext3_parser on empty input", {"mkfs.ext3_parser", "-t", "USB"}, "", 0, "", both},
        {"mkfs.ext3_parser before any counter",
         {"mkfs.ext3_parser", "--usebanner", "-q"},
         "mke2fs 1.47.0\nCreating filesystem\n",
         0,
         "",
         both},
        {"fsck.ext3_parser on empty input", {"fsck.ext3_parser"}, "", 0, "", both},
        {"fsck.ext3_parser without completion lines",
         {"fsck.ext3_parser", "-b", "-z"},
         "Pass 1: Checking inodes\n3 50 100\n1 5 0 /dev/sda1\n",
         0,
         "",
         both},
    };
    for (const auto &c : cases) {
        if (c.builds == (basic_build ? full_only : basic_only)) continue;
        std::vector<std::string> argv{exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(exe, argv, c.input);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
    }
}

} // namespace
