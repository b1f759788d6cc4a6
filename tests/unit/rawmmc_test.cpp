// Raw-area names and paths, names that would leave the raw-area folder among them; reads and
// writes on a scratch file; and the storage calls' name translation and dispatch through a
// recording table.
#include "flash/rawmmc.h"
#include "flash/storage.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

TEST(RawAreaName, DisplayAndShortNamesGiveTheShortName) {
    const struct {
        const char *given, *used;
    } cases[] = {
        {"Stage 1", "stage1"},
        {"Stage 2", "stage2"},
        {"Store 5", "store5"},
        {"Store x", "storex"},
        {"Store xf", "storexflat"},
        {"Boot Logo", "logo"},
        {"Init Kernel", "init"},
        {"Recovery Kernel", "recovery"},
        {"recovery", "recovery"},
        {"Data File System", "data"},
        {"recovery kernel", "recovery kernel"}, // another letter case passes through
        {"Recovery Kernel ", "Recovery Kernel "},
        {"params", "params"},
        {"rawmmc", "rawmmc"},
        {"", ""},
    };
    for (const auto &c : cases) EXPECT_STREQ(raw_area_name(c.given), c.used) << c.given;
}

TEST(RawAreaPath, RawmmcIsTheDeviceAndOtherNamesLieUnderRawfs) {
    const struct {
        const char *name, *path;
    } cases[] = {
        {"rawmmc", "/dev/mmcblk0"},
        {"recovery", "/mnt/rawfs/recovery"},
        {"Recovery Kernel", "/mnt/rawfs/Recovery Kernel"}, // no translation here
        {"RAWMMC", "/mnt/rawfs/RAWMMC"},
    };
    char path[raw_area_path_size];
    for (const auto &c : cases) {
        ASSERT_EQ(raw_area_path(c.name, path, sizeof path), 0) << c.name;
        EXPECT_STREQ(path, c.path);
    }
    std::string long_name(raw_area_path_size, 'a');
    EXPECT_EQ(raw_area_path(long_name.c_str(), path, sizeof path), -1);
    EXPECT_EQ(raw_area_path("params", path, 17), -1) << "/mnt/rawfs/params needs 18 bytes";
    EXPECT_EQ(raw_area_path("params", path, 18), 0);
}

// A name becomes one entry of the raw-area folder or nothing: "/" and the
// folder's own entries would reach other files.
TEST(RawAreaPath, NamesThatWouldLeaveTheFolderAreRefused) {
    const struct {
        const char *name;
        bool valid;
    } cases[] = {
        {"", false},
        {".", false},
        {"..", false},
        {"../../data/victim", false},
        {"/etc/passwd", false},
        {"params/", false},
        {"a/b", false},
        {"...", true},
        {"..params", true},
        {"params..", true},
        {"Boot Logo", true},
        {"rawmmc", true},
    };
    char path[raw_area_path_size];
    for (const auto &c : cases) {
        EXPECT_EQ(raw_area_name_valid(c.name), c.valid) << c.name;
        EXPECT_EQ(raw_area_path(c.name, path, sizeof path), c.valid ? 0 : -1) << c.name;
    }
    EXPECT_FALSE(raw_area_name_valid(nullptr));
    EXPECT_EQ(mmc_open("../params", O_RDONLY), -1);
}

class MmcBuffer : public ::testing::Test {
protected:
    scratch_dir dir;
    int fd = -1;

    void SetUp() override {
        write_text(dir.at("area"), "0123456789");
        fd = open(dir.at("area").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { EXPECT_EQ(mmc_close(fd), 0); }
};

TEST_F(MmcBuffer, ReadsExactlyTheLengthOrFails) {
    char b[16] = {};
    EXPECT_EQ(mmc_read_buffer(fd, b, 2, 8), 8);
    EXPECT_EQ(std::string(b, 8), "23456789");
    EXPECT_EQ(mmc_read_buffer(fd, b, 3, 8), -1) << "end of the area before the length";
    EXPECT_EQ(mmc_read_buffer(fd, b, 10, 0), 0);
    EXPECT_EQ(mmc_read_buffer(fd, b, -1, 1), -1);
    EXPECT_EQ(mmc_read_buffer(fd, b, 0, -1), -1);
    EXPECT_EQ(mmc_read_buffer(-1, b, 0, 1), -1);
}

TEST_F(MmcBuffer, WritesAllBytesAtTheOffset) {
    EXPECT_EQ(mmc_write_buffer(fd, "ab", 8, 2), 2);
    EXPECT_EQ(mmc_write_buffer(fd, "xyz", 12, 3), 3);
    EXPECT_EQ(read_text(dir.at("area")), std::string("01234567ab\0\0xyz", 15));
    EXPECT_EQ(mmc_write_buffer(fd, "a", -2, 1), -1);
    EXPECT_EQ(mmc_write_buffer(fd, nullptr, 0, 1), -1);
}

TEST(MmcClose, NegativeDescriptorIsReturnedUnchanged) {
    EXPECT_EQ(mmc_close(-1), -1);
    EXPECT_EQ(mmc_close(-7), -7);
}

// A table that records what it was asked, to see the public operations'
// name translation and dispatch.
std::string last_name;
int recorded_read(const char *area, int32_t, void *, int32_t length) {
    last_name = area;
    return length;
}
int recorded_size(const char *record) {
    last_name = record;
    return 77;
}

TEST(StorageOperations, TranslateTheNameAndCallTheSelectedSlot) {
    storage_operations table = {};
    table.flash_read = recorded_read;
    table.param_size_max = recorded_size;
    const storage_operations *before = storage_select(&table);
    EXPECT_EQ(before, &storage_default_operations());
    EXPECT_EQ(flash_read("Recovery Kernel", 0, nullptr, 5), 5);
    EXPECT_EQ(last_name, "recovery");
    EXPECT_EQ(param_size_max("ParamStore_3b"), 77);
    EXPECT_EQ(last_name, "ParamStore_3b");
    // Empty slots fail.
    EXPECT_EQ(flash_write("recovery", 0, "x", 1), -1);
    EXPECT_EQ(keystore_read("ParamStore_5", 0, nullptr, 0), -1);
    EXPECT_EQ(storage_select(nullptr), &table);
    EXPECT_EQ(storage_select(nullptr), &storage_default_operations());
}

TEST(StorageOperations, DefaultTableSharesTheParameterAndKeyStoreSlots) {
    const storage_operations &d = storage_default_operations();
    EXPECT_EQ(d.keystore_read, d.param_read);
    EXPECT_EQ(d.keystore_write, d.param_write);
    EXPECT_EQ(d.keystore_size_max, d.param_size_max);
}

} // namespace
