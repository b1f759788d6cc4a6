// The sysfs helpers on files in a scratch directory: read_int's literal forms, reads without a
// terminator, writes that never create, pid files in either build, and make_path.
#include "core/config.h"
#include "core/sysfile.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ReadInt, ParsesLikeACIntegerLiteral) {
    scratch_dir dir;
    struct {
        const char *text;
        int value;
    } cases[] = {
        {"42", 42},
        {"42\n", 42},
        {"0x1f\n", 31},
        {"010", 8},
        {"-5\n", -5},
        {"", 0},
        {"123456789012", 123456789}, // 9 bytes read
        {"7 8", 7},
        {"abc", 0},
    };
    for (const auto &c : cases) {
        write_text(dir.at("v"), c.text);
        EXPECT_EQ(read_int(dir.at("v").c_str()), c.value) << '"' << c.text << '"';
    }
}

TEST(ReadInt, UnreadableFileGivesMinusOne) {
    scratch_dir dir;
    EXPECT_EQ(read_int(dir.at("missing").c_str()), -1);
    EXPECT_EQ(read_int(dir.path.c_str()), -1); // a directory cannot be read
}

TEST(ReadFile, ReadsAtMostNBytesWithoutTerminating) {
    scratch_dir dir;
    write_text(dir.at("f"), "abcdef");
    char buf[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(read_file(dir.at("f").c_str(), buf, 4), 4);
    EXPECT_EQ(std::string(buf, 8), "abcdxxxx");
    EXPECT_EQ(read_file(dir.at("none").c_str(), buf, 4), -1);
}

TEST(WriteFile, RefusesToCreateAndTruncatesExisting) {
    scratch_dir dir;
    EXPECT_EQ(write_file(dir.at("new").c_str(), "on", 2), -1);
    EXPECT_FALSE(file_exists(dir.at("new")));

    write_text(dir.at("attr"), "default-on");
    EXPECT_EQ(write_file(dir.at("attr").c_str(), "none", 4), 4);
    EXPECT_EQ(read_text(dir.at("attr")), "none");
}

TEST(WriteInt, WritesDecimalWithoutNewline) {
    scratch_dir dir;
    write_text(dir.at("attr"), "something long");
    EXPECT_EQ(write_int(dir.at("attr").c_str(), 1000), 4);
    EXPECT_EQ(read_text(dir.at("attr")), "1000");
    EXPECT_EQ(write_int(dir.at("attr").c_str(), -1234567), 8);
    EXPECT_EQ(read_text(dir.at("attr")), "-1234567");
}

TEST(WriteInt, RefusesValuesLongerThanEightCharacters) {
    scratch_dir dir;
    write_text(dir.at("attr"), "30");
    EXPECT_EQ(write_int(dir.at("attr").c_str(), 123456789), -1);
    EXPECT_EQ(read_text(dir.at("attr")), "30");
}

TEST(WritePidFile, HoldsThePidAndANewline) {
    scratch_dir dir;
    std::string pid_file = dir.at("x.pid");
    write_text(pid_file, "99999999 stale contents that are longer\n");
    ASSERT_EQ(write_pid_file(pid_file.c_str()), 0);
    EXPECT_EQ(read_text(pid_file), std::to_string(getpid()) + "\n");
}

TEST(WritePidFile, FullBuildReplacesAnExistingFile) {
    scratch_dir dir;
    std::string pid_file = dir.at("x.pid");
    std::string other = dir.at("other");
    write_text(other, "keep");
    ASSERT_EQ(symlink(other.c_str(), pid_file.c_str()), 0);
    ASSERT_EQ(write_pid_file(pid_file.c_str()), 0);
    if constexpr (basic_build) {
        // The basic build truncates through the existing name.
        EXPECT_EQ(read_text(other), std::to_string(getpid()) + "\n");
    } else {
        // The full build removes the old name first.
        EXPECT_EQ(read_text(other), "keep");
        EXPECT_EQ(read_text(pid_file), std::to_string(getpid()) + "\n");
    }
}

TEST(WritePidFile, FailsWhereTheDirectoryIsMissing) {
    scratch_dir dir;
    EXPECT_EQ(write_pid_file(dir.at("no/such/x.pid").c_str()), -1);
}

TEST(MakePath, CreatesEveryPrefixAndAcceptsExistingOnes) {
    scratch_dir dir;
    std::string deep = dir.at("a/b/c");
    EXPECT_EQ(make_path(deep.c_str(), 0755, getuid(), getgid()), 0);
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // A second run over existing directories succeeds too.
    EXPECT_EQ(make_path(deep.c_str(), 0755, getuid(), getgid()), 0);
    EXPECT_EQ(make_path((dir.path + "/a/b/c/").c_str(), 0755, getuid(), getgid()), 0);
}

TEST(MakePath, ResultIsTheLastChown) {
    scratch_dir dir;
    write_text(dir.at("file"), "x");
    // A prefix that is a file: the directories below it cannot be made.
    EXPECT_EQ(make_path(dir.at("file/sub").c_str(), 0755, getuid(), getgid()), -1);
}

} // namespace
