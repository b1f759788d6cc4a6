// The master boot record byte for byte, and the disk steps on a disk tree in a scratch
// directory with the host print and commands captured: start sector, partition table, media
// directories, clean-up and the mkdosfs command.
#include "sysinfo/board.h"
#include "sysinfo/disk.h"

#include "tests/support/host_capture.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> bytes_of(const master_boot_record &mbr) {
    const auto *p = reinterpret_cast<const uint8_t *>(&mbr);
    return std::vector<uint8_t>(p, p + sizeof mbr);
}

TEST(MasterBootRecord, IsBuiltByteForByte) {
    struct {
        unsigned sectors;
        uint64_t geometry_start, system_start;
        uint32_t first, count;
    } cases[] = {
        {63, 0, 4000000, 63, 3999937},
        {32, 2048, 1000000, 2080, 997920},
        {255, 0, 0xFFFFFFFF, 255, 0xFFFFFFFF - 255},
        {63, 0, 64, 63, 1},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> expected(512, 0);
        const struct {
            size_t offset;
            uint8_t value;
        } fixed[] = {
            {446, 0x00}, {447, 1},    {448, 1},    {449, 0},    {450, 0x0C},
            {451, 0xFE}, {452, 0xFF}, {453, 0xFF}, {510, 0x55}, {511, 0xAA},
        };
        for (const auto &f : fixed) expected[f.offset] = f.value;
        for (int i = 0; i < 4; ++i) {
            expected[454 + i] = static_cast<uint8_t>(c.first >> (8 * i));
            expected[458 + i] = static_cast<uint8_t>(c.count >> (8 * i));
        }
        master_boot_record mbr;
        memset(&mbr, 0xEE, sizeof mbr);
        ASSERT_EQ(build_master_boot_record(c.sectors, c.geometry_start, c.system_start, mbr), 0)
            << c.system_start;
        EXPECT_EQ(bytes_of(mbr), expected) << c.system_start;
    }
}

TEST(MasterBootRecord, RefusesALayoutWithoutRoomForPartitionOne) {
    struct {
        unsigned sectors;
        uint64_t geometry_start, system_start;
    } cases[] = {
        {63, 0, 63},                  // partition 2 starts where partition 1 would
        {63, 0, 0},                   // an unreadable start
        {63, 2048, 100},              // partition 2 in front of partition 1
        {63, 0, 0x100000000},         // the start does not fit 32 bits
        {63, 0xFFFFFFFF, 0xFFFFFFFF}, // nor does the first sector
    };
    for (const auto &c : cases) {
        master_boot_record mbr;
        memset(&mbr, 0xEE, sizeof mbr);
        EXPECT_EQ(build_master_boot_record(c.sectors, c.geometry_start, c.system_start, mbr), -1)
            << c.system_start;
        EXPECT_EQ(bytes_of(mbr), std::vector<uint8_t>(512, 0xEE)) << c.system_start;
    }
}

// A disk tree in a scratch directory.
class Disk : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string disk = dir.at("sda"), partition = dir.at("sda1"), start = dir.at("sda2_start"),
                volume = dir.at("data/"), staged = dir.at("temporary.oza");
    disk_paths paths{disk.c_str(), partition.c_str(), start.c_str(), volume.c_str(),
                     staged.c_str()};
};

TEST_F(Disk, StartSectorOfPartitionTwo) {
    struct {
        const char *text;
        uint64_t start;
    } cases[] = {{"4000000\n", 4000000}, {"63", 63}, {"123456789012", 12345678901}};
    for (const auto &c : cases) {
        write_text(start, c.text);
        uint64_t value = 0;
        host_capture out;
        EXPECT_EQ(system_fs_start_sector(&value, paths), 0) << c.text;
        EXPECT_EQ(value, c.start) << c.text;
        EXPECT_EQ(out.printed, "") << c.text;
    }
}

TEST_F(Disk, StartSectorFailures) {
    uint64_t value = 7;
    {
        host_capture out;
        EXPECT_EQ(system_fs_start_sector(&value, paths), -1);
        EXPECT_EQ(out.printed, "system_fs_start_sector: Could not open " + start + "\n");
    }
    mkdir(start.c_str(), 0755); // opens, but cannot be read
    host_capture out;
    EXPECT_EQ(system_fs_start_sector(&value, paths), -1);
    EXPECT_EQ(out.printed, "system_fs_start_sector: Could not read " + start + "\n");
    EXPECT_EQ(value, 7u);
}

TEST_F(Disk, PartitionTableNeedsTheDiskAndItsGeometry) {
    write_text(start, "4000000\n");
    {
        host_capture out;
        EXPECT_EQ(write_partition_table(paths), -1);
        EXPECT_EQ(out.printed, "write_partition_table: Could not open " + disk + "\n");
    }
    // A plain file has no geometry: nothing is written.
    const std::string contents(4096, 'x');
    write_text(disk, contents);
    host_capture out;
    EXPECT_EQ(write_partition_table(paths), -1);
    EXPECT_EQ(out.printed, "write_partition_table: Could not get disk geometry\n");
    EXPECT_EQ(read_text(disk), contents);
}

TEST_F(Disk, MediaDirectoriesAreMadeInOrderAndMayExist) {
    mkdir(volume.c_str(), 0755);
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    std::string expected;
    for (const char *name : media_directories)
        expected += std::string("create_root_fs_directories: mkdir ") + name + "\n";
    for (int round = 0; round < 2; ++round) {
        host_capture out;
        EXPECT_EQ(create_root_fs_directories(paths), 0) << round;
        EXPECT_EQ(out.printed, expected) << round;
        for (const char *name : media_directories) {
            struct stat st;
            ASSERT_EQ(stat((volume + name).c_str(), &st), 0) << name;
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << name;
        }
        char after[4096];
        ASSERT_NE(getcwd(after, sizeof after), nullptr);
        EXPECT_STREQ(after, before);
    }
}

TEST_F(Disk, AFileInPlaceOfAMediaDirectoryFails) {
    write_text(volume + "Music", "not a directory");
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    host_capture out;
    testing::internal::CaptureStderr();
    EXPECT_EQ(create_root_fs_directories(paths), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "mkdir: File exists\n");
    EXPECT_EQ(out.printed, "create_root_fs_directories: mkdir System\n"
                           "create_root_fs_directories: mkdir Video\n"
                           "create_root_fs_directories: mkdir Music\n");
    EXPECT_TRUE(file_exists(volume + "Video"));
    EXPECT_FALSE(file_exists(volume + "Pictures"));
    char after[4096];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(after, before);
}

TEST_F(Disk, MissingMediaVolume) {
    host_capture out;
    EXPECT_EQ(create_root_fs_directories(paths), -1);
    EXPECT_EQ(out.printed, "create_root_fs_directories: Could not chdir to " + volume + "\n");
}

TEST_F(Disk, CleanupRemovesTheStagedUpdate) {
    write_text(staged, "update");
    for (int round = 0; round < 2; ++round) {
        host_capture out;
        EXPECT_EQ(cleanup_system_fs(paths), 0);
        EXPECT_EQ(out.printed, "cleanup_system_fs\n");
        EXPECT_FALSE(file_exists(staged));
    }
}

TEST_F(Disk, FormatCommandCarriesTheBoardLabel) {
    write_text(dir.at("cpuinfo"), "cpu\t: 0\nHardware\t: OMAP4 ZEMO board\nRevision\t: 0020\n");
    ASSERT_EQ(identify_board(dir.at("cpuinfo").c_str()), 0);
    host_capture out;
    out.system_status = 256;
    EXPECT_EQ(format_media_partition(paths), 256);
    EXPECT_EQ(out.commands,
              std::vector<std::string>{"/sbin/mkdosfs -F 32 -n ZEMO_MEDIA " + partition});
    EXPECT_EQ(format_media_partition(), 256);
    EXPECT_EQ(out.commands.back(), "/sbin/mkdosfs -F 32 -n ZEMO_MEDIA /dev/sda1");
}

} // namespace
