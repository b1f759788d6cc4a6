// The e2fsck and mke2fs parsers against single lines, counter texts and recorded output (in
// tests/fixtures), and against the distribution's mke2fs and e2fsck run on an image in a
// scratch directory.
#include "devtools/ext3_progress.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> sent;

int record(const char *command) {
    sent.emplace_back(command);
    return 0;
}

std::string fixture(const std::string &name) {
    return read_text(std::string(VARITOOL_SOURCE_DIR) + "/tests/fixtures/" + name);
}

// The first of /usr/sbin, /sbin, /usr/bin, /bin that holds the program.
std::string find_program(const std::string &name) {
    for (const char *dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// The progress values among the commands sent with the given prefix, and the
// other commands in order.
struct split_commands {
    std::vector<int> progress;
    std::vector<std::string> others;
};

split_commands split(const std::vector<std::string> &commands, const std::string &prefix) {
    split_commands s;
    for (const std::string &c : commands) {
        if (c.compare(0, prefix.size(), prefix) == 0)
            s.progress.push_back(std::stoi(c.substr(prefix.size())));
        else
            s.others.push_back(c);
    }
    return s;
}

bool non_decreasing(const std::vector<int> &v) {
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i] < v[i - 1]) return false;
    return true;
}

class Ext3Progress : public ::testing::Test {
protected:
    zui_client client{record, 0};
    void SetUp() override { sent.clear(); }

    std::vector<std::string> fsck(const std::string &input, bool banner = false) {
        sent.clear();
        FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
        if (input.empty()) in = fopen("/dev/null", "r");
        EXPECT_EQ(fsck_parse_stream(in, client, banner), 0);
        fclose(in);
        return sent;
    }

    // Runs the mke2fs parser over input; console holds its standard output.
    std::vector<std::string> mkfs(const std::string &input, const char *disk = "",
                                  bool banner = false, std::string *console = nullptr) {
        sent.clear();
        FILE *in = input.empty() ? fopen("/dev/null", "r")
                                 : fmemopen(const_cast<char *>(input.data()), input.size(), "r");
        mkfs_parser p;
        mkfs_parser_init(p, client, banner, disk);
        testing::internal::CaptureStdout();
        EXPECT_EQ(mkfs_parse_stream(in, p), 0);
        std::string out = testing::internal::GetCapturedStdout();
        if (console) *console = out;
        fclose(in);
        return sent;
    }
};

const std::string progress = "/bin/zui -c progress -f ";
const std::string formatting = "/bin/zui -c message -t \"Formating Disk...\"";
const std::string please_wait = "/bin/zui -c message -t \"Formating Disk, Please wait...\"";

std::string mkfs_progress(int value) {
    return progress + std::to_string(value) + " ";
}

TEST_F(Ext3Progress, FsckLinesGiveTwoHundredPerPass) {
    struct {
        const char *line;
        int value; // -1: nothing sent
    } cases[] = {
        {"3 50 100 /dev/sda1\n", 500},
        {"5 64 64 img\n", 1000},
        {"1 0 32 img\n", 0},
        {"1 1 3 /dev/sda1\n", 66},   // 66.67 truncated
        {"2 2 3 /dev/sda1\n", 333},  // 200 + 133.33
        {"6 1 1 /dev/sda1\n", 1200}, // beyond five passes: sent as it is
        {"  4 1 2 d", 700},          // leading blanks are skipped
        {"3 50 100\n", -1},          // three numbers only
        {"3 50 0 /dev/sda1\n", -1},  // maximum 0
        {"0 0 0 x\n", -1},
        {"Pass 1: Checking inodes, blo", -1},
        {"img2: 11/65536 files (0.0% no", -1},
        {"2147483647 1 1 d\n", -1}, // beyond the int range
        {"\n", -1},
    };
    for (const auto &c : cases) {
        sent.clear();
        bool was_sent = fsck_parse_piece(client, false, c.line);
        std::vector<std::string> expected;
        if (c.value >= 0) expected.push_back("/bin/zui -c progress -f " + std::to_string(c.value));
        EXPECT_EQ(sent, expected) << c.line;
        EXPECT_EQ(was_sent, c.value >= 0) << c.line;
    }
}

TEST_F(Ext3Progress, FsckBannerForm) {
    EXPECT_EQ(fsck("3 50 100 /dev/sda1\n", true),
              (std::vector<std::string>{"/bin/zui -c bannerprogress -f 500"}));
}

TEST_F(Ext3Progress, FsckReadsLongLinesInPieces) {
    // The first 31 characters are parsed with the device name cut; the rest
    // of a line is a piece of its own, parsed again from its start.
    std::string long_name(40, 'n');
    std::string text(31, 'x');
    EXPECT_EQ(fsck("1 1 2 " + long_name + "\n" + text + "2 1 2 dev\n"),
              (std::vector<std::string>{progress.substr(0, progress.size() - 1) + " 100",
                                        "/bin/zui -c progress -f 300"}));
}

TEST_F(Ext3Progress, FsckRecordedOutputRunsToOneThousand) {
    split_commands s = split(fsck(fixture("e2fsck-256m.out")), "/bin/zui -c progress -f ");
    EXPECT_TRUE(s.others.empty());
    ASSERT_EQ(s.progress.size(), 148u); // every completion line, none of the six texts
    EXPECT_TRUE(non_decreasing(s.progress));
    EXPECT_EQ(s.progress.front(), 0);
    EXPECT_EQ(s.progress.back(), 1000);
}

TEST_F(Ext3Progress, EmptyInputSendsNothing) {
    EXPECT_TRUE(fsck("").empty());
    std::string console;
    EXPECT_TRUE(mkfs("", "", false, &console).empty());
    EXPECT_EQ(console, "");
}

TEST_F(Ext3Progress, MkfsFollowsTheRedrawnCounter) {
    std::string input = "Writing inode tables: ";
    for (int i = 0; i < 8; ++i) input += std::to_string(i) + "/8\b\b\b";
    input += "done\nCreating journal (4096 blocks): done\n12/34\b\b\b\b\b";
    std::string console;
    std::vector<std::string> expected{formatting};
    for (int v : {125, 250, 375, 500, 625, 750, 875}) expected.push_back(mkfs_progress(v));
    expected.push_back(mkfs_progress(1000));
    expected.push_back(please_wait);
    EXPECT_EQ(mkfs(input, "", false, &console), expected);
    EXPECT_EQ(console, "creating inodes\ncreating blocks\n");
}

TEST_F(Ext3Progress, MkfsCounterTexts) {
    struct {
        const char *name, *input;
        std::vector<int> progress; // before the closing 1000
    } cases[] = {
        {"maximum 0 sends nothing", "x\b1/0\b\b\b3/4\b\b\b", {750}},
        {"a first text that does not parse sends nothing", "x\b   \b\b\b1/4\b\b\b", {250}},
        {"a text that does not parse repeats the last values", "x\b1/4\b\b\b   \b\b\b", {250, 250}},
        {"a half-parsed text keeps the old maximum", "x\b1/4\b\b\b3/x\b\b\b", {250, 750}},
        {"values are limited to 1000", "x\b9/4\b\b\b", {1000}},
        {"counters above two million do not overflow", "x\b4000000/8000000\b", {500}},
        {"blanks before the counter are skipped", "x\b  3/16\b\b\b\b\b\b", {187}},
        {"a backspace straight after a backspace is ignored", "x\b\b\b\b2/4\b", {500}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> expected{formatting};
        for (int v : c.progress) expected.push_back(mkfs_progress(v));
        expected.push_back(mkfs_progress(1000));
        expected.push_back(please_wait);
        EXPECT_EQ(mkfs(std::string(c.input) + "done\n"), expected) << c.name;
    }
}

TEST_F(Ext3Progress, MkfsKeepsTheBeginningOfAnOverlongText) {
    std::string input = "x\b5/10" + std::string(400, 'x') + "\bdone\n";
    EXPECT_EQ(mkfs(input), (std::vector<std::string>{formatting, mkfs_progress(500),
                                                     mkfs_progress(1000), please_wait}));
}

TEST_F(Ext3Progress, MkfsMessagesNameTheDisk) {
    const char *input = "x\b1/2\bdone\n";
    EXPECT_EQ(mkfs(input, "USB"),
              (std::vector<std::string>{"/bin/zui -c message -t \"Formating USB Disk...\"",
                                        mkfs_progress(500), mkfs_progress(1000),
                                        "/bin/zui -c message -t \"Formating USB Disk, Please "
                                        "wait...\""}));
    EXPECT_EQ(mkfs(input, "USB", true),
              (std::vector<std::string>{
                  "/bin/zui -c bannerprogress -t \"Formating USB Disk...\"",
                  "/bin/zui -c bannerprogress -f 500", "/bin/zui -c bannerprogress -f 1000",
                  "/bin/zui -c bannerprogress -t \"Formating USB Disk, Please wait...\""}));
    // Names are cut to 31 characters; quotes and shell characters reach the UI as they are.
    std::string name = std::string(31, 'n') + "cut";
    EXPECT_EQ(mkfs(input, name.c_str()).front(),
              "/bin/zui -c message -t \"Formating " + std::string(31, 'n') + " Disk...\"");
    EXPECT_EQ(mkfs(input, "a\"b$c`d\\").front(),
              "/bin/zui -c message -t \"Formating a\\\"b\\$c\\`d\\\\ Disk...\"");
}

TEST_F(Ext3Progress, MkfsRecordedOutput) {
    // The discard counter comes first; its closing blanks do not parse and no
    // earlier values exist.
    EXPECT_EQ(mkfs(fixture("mke2fs-256m.out")),
              (std::vector<std::string>{formatting, mkfs_progress(1000), please_wait}));
    // A counter redrawn several times; its closing blanks repeat the last value.
    std::vector<std::string> expected{formatting};
    for (int v : {125, 250, 375, 625, 750, 750}) expected.push_back(mkfs_progress(v));
    expected.push_back(mkfs_progress(1000));
    expected.push_back(please_wait);
    EXPECT_EQ(mkfs(fixture("mke2fs-1g-steps.out")), expected);
}

// The distribution's mke2fs and e2fsck on an image in a scratch directory. The
// counter is redrawn at most once a second, so mke2fs runs under an
// accelerated clock to show several steps.
TEST_F(Ext3Progress, RealMke2fsAndE2fsck) {
    std::string mke2fs = find_program("mke2fs"), e2fsck = find_program("e2fsck"),
                faketime = find_program("faketime");
    ASSERT_FALSE(mke2fs.empty());
    ASSERT_FALSE(e2fsck.empty());
    ASSERT_FALSE(faketime.empty());
    scratch_dir dir;
    std::string image = dir.at("disk.img");
    ASSERT_EQ(truncate(image.c_str(), 0), -1); // not there yet
    write_text(image, "");
    ASSERT_EQ(truncate(image.c_str(), 1LL << 30), 0);

    run_result made = run_program(faketime, {"faketime", "-f", "+0 x200000", mke2fs, "-F", "-t",
                                             "ext3", "-E", "lazy_itable_init=0,nodiscard", image});
    ASSERT_EQ(made.status, 0) << made.err;
    split_commands s = split(mkfs(made.out), progress);
    EXPECT_EQ(s.others, (std::vector<std::string>{formatting, please_wait})) << made.out;
    ASSERT_GE(s.progress.size(), 4u) << made.out;
    EXPECT_TRUE(non_decreasing(s.progress)) << made.out;
    EXPECT_EQ(s.progress.back(), 1000);

    // At normal speed the order of the messages and the end stay the same.
    made = run_program(mke2fs, {"mke2fs", "-F", "-t", "ext3", image});
    ASSERT_EQ(made.status, 0) << made.err;
    s = split(mkfs(made.out, "", false), progress);
    EXPECT_EQ(s.others, (std::vector<std::string>{formatting, please_wait})) << made.out;
    ASSERT_FALSE(s.progress.empty());
    EXPECT_EQ(s.progress.back(), 1000);

    run_result checked = run_program(e2fsck, {"e2fsck", "-f", "-n", "-C", "1", image});
    ASSERT_EQ(checked.status, 0) << checked.err;
    s = split(fsck(checked.out), "/bin/zui -c progress -f ");
    EXPECT_TRUE(s.others.empty());
    ASSERT_GE(s.progress.size(), 5u) << checked.out;
    EXPECT_TRUE(non_decreasing(s.progress)) << checked.out;
    EXPECT_EQ(s.progress.back(), 1000);
}

} // namespace
