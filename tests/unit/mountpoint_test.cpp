// Target paths from the mount-point table and the name field, and parent directories made in a
// scratch directory without the path ever reaching the shell unquoted.
#include "update/mountpoint.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace {

std::string target(uint32_t index, const std::string &relative) {
    const char *mount = nullptr;
    if (get_mountpoint(index, &mount) != 0) return "(unknown)";
    char field[oza_name_field] = {};
    relative.copy(field, sizeof field);
    char out[oza_path_size];
    return oza_target_path(mount, field, out, sizeof out) == 0 ? out : "(too long)";
}

TEST(TargetPath, TableAndPlainConcatenation) {
    const struct {
        uint32_t index;
        const char *relative, *path;
    } cases[] = {
        {0, "/x", "/mnt/rawfs/x"},
        {1, "bin/x", "/mnt/system/bin/x"},
        {1, "/bin/x", "/mnt/system//bin/x"}, // no normalisation
        {2, "a/../b", "/data/a/../b"},
        {3, "System/System.bin", "/mnt/storage/System/System.bin"},
        {4, "", "/cache/"},
        {5, "x", "(unknown)"},
        {0x80000000u, "x", "(unknown)"},
        {0xffffffffu, "x", "(unknown)"},
    };
    for (const auto &c : cases) EXPECT_EQ(target(c.index, c.relative), c.path) << c.index;
    const char *path = "set";
    EXPECT_EQ(get_mountpoint(7, &path), 1);
    EXPECT_EQ(path, nullptr);
}

TEST(TargetPath, PathFieldEndsAtItsLastByte) {
    // A field with no terminator is read up to its 256th byte and no further.
    char field[oza_name_field + 8];
    memset(field, 'a', sizeof field);
    char out[oza_path_size];
    ASSERT_EQ(oza_target_path("/data/", field, out, sizeof out), 0);
    EXPECT_EQ(std::string(out), "/data/" + std::string(oza_name_field, 'a'));
    EXPECT_EQ(oza_target_path("/data/", field, out, 6 + oza_name_field), -1) << "no room for NUL";
    EXPECT_EQ(oza_target_path("/data/", field, out, 7 + oza_name_field), 0);
}

TEST(TargetPath, ParentDirectoriesWhateverThePathHolds) {
    scratch_dir dir;
    const std::string odd = dir.at("a b/it's/$(touch pwned)/\\\"`touch pwned`/c/file");
    oza_make_parent(odd.c_str());
    struct stat st;
    EXPECT_EQ(stat(dir.at("a b/it's/$(touch pwned)/\\\"`touch pwned`/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(file_exists(dir.at("pwned"))) << "the path reached the shell unquoted";
    EXPECT_FALSE(file_exists(odd)) << "the file itself is not made";
}

} // namespace
