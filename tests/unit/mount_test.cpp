// Mount option words, mount-point forms and the loop status record; then, on mount tables in a
// scratch directory with the host print captured, the fstab lookup, probed types, loop numbers,
// unmounting and the refusals of loop release.
#include "sysinfo/mount.h"

#include "tests/support/host_capture.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include "core/unique.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(MountOptions, WordsGiveFlagsDataAndLoop) {
    const std::string long_word(200, 'w');
    struct {
        const char *words; // nullptr: no option field
        unsigned long flags;
        std::string data;
        bool loop;
    } cases[] = {
        {"ro,noatime,uid=1000,loop", 0x401, "uid=1000", true},
        {nullptr, 0, "", false},
        {"", 0, "", false},
        {"defaults,noauto", 0, "", false},
        {"sync", 0x10, "", false},
        {"sync,async", 0, "", false},
        {"noatime", 0x400, "", false},
        {"noatime,atime", 0, "", false},
        {"nodev", 0x4, "", false},
        {"nodev,dev", 0, "", false},
        {"nodiratime", 0x800, "", false},
        {"nodiratime,diratime", 0, "", false},
        {"noexec", 0x8, "", false},
        {"noexec,exec", 0, "", false},
        {"nosuid", 0x2, "", false},
        {"nosuid,suid", 0, "", false},
        {"ro", 0x1, "", false},
        {"ro,rw", 0, "", false},
        {"bind", 0x1000, "", false},
        {"remount,ro", 0x21, "", false},
        {"nodev,nosuid,noexec,sync,nodiratime", 0x81e, "", false},
        {"mode=0755,uid=0,gid=0", 0, "mode=0755,uid=0,gid=0", false},
        {",,ro,,utf8,", 0x1, "utf8", false},
        {"RO,Loop", 0, "RO,Loop", false},
        {long_word.c_str(), 0, std::string(127, 'w'), false},
    };
    for (const auto &c : cases) {
        mount_options o;
        host_capture out;
        parse_mount_options(c.words, o);
        const char *label = c.words ? c.words : "(none)";
        EXPECT_EQ(o.flags, c.flags) << label;
        EXPECT_EQ(std::string(o.data), c.data) << label;
        EXPECT_EQ(o.loop, c.loop) << label;
        EXPECT_EQ(out.printed, "") << label;
    }
}

TEST(MountOptions, DataKeepsOnlyWordsThatFitWithRoomToSpare) {
    // Eight words of 124 characters take 999 bytes and leave 25; a word fits
    // while its length plus 2 is less than the space left.
    std::string first(124, 'a');
    for (int i = 1; i < 8; ++i) first += "," + std::string(124, 'a');
    struct {
        size_t second;
        bool kept;
    } cases[] = {{1, true}, {22, true}, {23, false}, {60, false}};
    for (const auto &c : cases) {
        std::string second(c.second, 'b');
        std::string words = first + "," + second + ",ro";
        mount_options o;
        host_capture out;
        parse_mount_options(words.c_str(), o);
        EXPECT_EQ(o.flags, 0x1u) << c.second;
        if (c.kept) {
            EXPECT_EQ(std::string(o.data), first + "," + second) << c.second;
            EXPECT_EQ(out.printed, "") << c.second;
        } else {
            EXPECT_EQ(std::string(o.data), first) << c.second;
            EXPECT_EQ(out.printed, "No space left for option " + second + "\n\r") << c.second;
        }
    }
}

TEST(MountPoint, OneTrailingSlashIsDropped) {
    const std::string long_path = std::string("/").append(300, 'd');
    struct {
        std::string path, normalised;
    } cases[] = {
        {"/mnt/system/", "/mnt/system"},
        {"/mnt/system", "/mnt/system"},
        {"/mnt/system//", "/mnt/system/"},
        {"/", "/"},
        {"", ""},
        {long_path, long_path.substr(0, 255)},
        {long_path.substr(0, 255) + "/", long_path.substr(0, 255)},
    };
    for (const auto &c : cases) {
        char out[256];
        normalise_mount_point(c.path.c_str(), out);
        EXPECT_EQ(std::string(out), c.normalised) << c.path;
    }
}

// Mount tables in a scratch directory.
class MountTables : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string fstab = dir.at("fstab"), mounts = dir.at("mounts"),
                filesystems = dir.at("filesystems");
    mount_tables tables{fstab.c_str(), mounts.c_str(), filesystems.c_str()};
};

TEST_F(MountTables, FstabLineIsFoundWithOrWithoutTheTrailingSlash) {
    write_text(fstab, "# device mount point type options\n"
                      "/dev/block/mmcblk0p5 /data ext4 noatime,nosuid 0 0\n"
                      "/dev/sda2 /mnt/system vfat ro,utf8 0 0\n"
                      "/dev/sda1 /mnt/data vfat defaults 0 0\n"
                      "/dev/sdb1 /mnt/system ext2 rw 0 0\n");
    for (const char *path : {"/mnt/system/", "/mnt/system"}) {
        fstab_entry e;
        host_capture out;
        ASSERT_EQ(find_fstab_entry(path, e, tables), 0) << path;
        EXPECT_STREQ(e.fields.mnt_fsname, "/dev/sda2") << path;
        EXPECT_STREQ(e.fields.mnt_dir, "/mnt/system") << path;
        EXPECT_STREQ(e.fields.mnt_type, "vfat") << path;
        EXPECT_STREQ(e.fields.mnt_opts, "ro,utf8") << path;
        EXPECT_EQ(out.printed, "") << path;
    }
}

TEST_F(MountTables, UnknownMountPointOrMissingFstab) {
    struct {
        const char *label, *path;
        bool fstab_present;
        int result;
        std::string printed;
    } cases[] = {
        {"unknown", "/mnt/storage/", true, -2, "/mnt/storage/ is not a known mount point\n\r"},
        {"prefix of a known one", "/mnt/sys", true, -2, "/mnt/sys is not a known mount point\n\r"},
        {"no fstab", "/mnt/system/", false, -1, "Could not setmntent()\n\r"},
    };
    for (const auto &c : cases) {
        if (c.fstab_present)
            write_text(fstab, "/dev/sda2 /mnt/system vfat ro 0 0\n");
        else
            std::remove(fstab.c_str());
        fstab_entry e;
        {
            host_capture out;
            EXPECT_EQ(find_fstab_entry(c.path, e, tables), c.result) << c.label;
            EXPECT_EQ(out.printed, c.printed) << c.label;
        }
        // Mounting stops at the same point, before any mount is tried.
        host_capture out;
        EXPECT_EQ(mount_mount_point(c.path, tables), c.result) << c.label;
        EXPECT_EQ(out.printed, c.printed) << c.label;
    }
}

TEST_F(MountTables, ProbedTypesSkipNodevLines) {
    write_text(filesystems, "nodev\tsysfs\nnodev\tproc\n\text3\n\text2\nnodev\ttmpfs\n\tvfat\n"
                            "\t" +
                                std::string(40, 'x') + "\n\n\tsquashfs\n");
    unique_file list(fopen(filesystems.c_str(), "r"));
    ASSERT_TRUE(list);
    std::vector<std::string> types;
    char type[32];
    while (next_probe_type(list.get(), type)) types.emplace_back(type);
    EXPECT_EQ(types,
              (std::vector<std::string>{"ext3", "ext2", "vfat", std::string(31, 'x'), "squashfs"}));
}

TEST_F(MountTables, AutoWithoutTheFileSystemListMountsNothing) {
    char fsname[] = "/dev/sda2", dir_name[] = "/mnt/system", type[] = "auto", opts[] = "ro";
    mntent e{fsname, dir_name, type, opts, 0, 0};
    host_capture out;
    EXPECT_EQ(mount_entry(e, tables), -1);
    EXPECT_EQ(out.printed, "fopen " + filesystems + ": No such file or directory\n\r");
}

TEST_F(MountTables, LoopNumbersNamedByMountedDevicesAreTaken) {
    write_text(mounts, "rootfs / rootfs rw 0 0\n"
                       "/dev/loop2 /mnt/a ext2 ro 0 0\n"
                       "/dev/block/loop5 /mnt/b vfat ro 0 0\n"
                       "/dev/sda1 /mnt/data vfat rw 0 0\n");
    const int taken[] = {0, 0, 1, 0, 0, 1, 0, 0};
    for (int n = 0; n < 8; ++n) EXPECT_EQ(loop_number_mounted(n, tables), taken[n]) << n;

    std::remove(mounts.c_str());
    host_capture out;
    EXPECT_EQ(loop_number_mounted(0, tables), -1);
    EXPECT_EQ(out.printed, "Could not setmntent()\n\r");
}

TEST_F(MountTables, NoLoopDeviceWhenAllEightAreMounted) {
    std::string lines;
    for (int n = 0; n < 8; ++n)
        lines += "/dev/loop" + std::to_string(n) + " /mnt/l" + std::to_string(n) + " ext2 ro 0 0\n";
    write_text(mounts, lines);
    write_text(fstab, "/data/image.bin /mnt/image ext2 loop 0 0\n");
    host_capture out;
    EXPECT_EQ(mount_mount_point("/mnt/image/", tables), -1);
    EXPECT_EQ(out.printed, "no loop device available\n");
}

TEST(LoopStatus, RecordHoldsOnlyTheFileNameAtOffset56) {
    const std::string long_path = std::string("/").append(100, 'p');
    struct {
        std::string image, stored;
    } cases[] = {
        {"/mnt/system/image.bin", "/mnt/system/image.bin"},
        {long_path, long_path.substr(0, 63)},
        {"", ""},
    };
    for (const auto &c : cases) {
        loop_info64 status;
        memset(&status, 0xA5, sizeof status);
        loop_status_record(c.image.c_str(), status);
        std::vector<unsigned char> expected(232, 0);
        memcpy(expected.data() + 56, c.stored.data(), c.stored.size());
        const auto *bytes = reinterpret_cast<const unsigned char *>(&status);
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + sizeof status), expected) << c.image;
    }
}

TEST_F(MountTables, UnmountNeedsAMountedPath) {
    write_text(mounts, "/dev/sda2 /mnt/system vfat ro 0 0\n");
    struct {
        const char *label, *path;
        bool mounts_present;
        int result;
        std::string printed;
    } cases[] = {
        {"not mounted", "/mnt/data/", true, -3, "/mnt/data/ is not an actual mount point\n\r"},
        {"prefix of a mounted path", "/mnt/sys", true, -3,
         "/mnt/sys is not an actual mount point\n\r"},
        {"no mount list", "/mnt/system/", false, -1, "Could not setmntent()\n\r"},
    };
    for (const auto &c : cases) {
        if (!c.mounts_present) std::remove(mounts.c_str());
        host_capture out;
        EXPECT_EQ(umount_mount_point(c.path, tables), c.result) << c.label;
        EXPECT_EQ(out.printed, c.printed) << c.label;
    }
}

TEST(ReleaseLoopDevice, MissingDeviceIsReported) {
    scratch_dir dir;
    std::string path = dir.at("loop9");
    host_capture out;
    EXPECT_EQ(release_loop_device(path.c_str()), -1);
    EXPECT_EQ(out.printed, "open " + path + ": No such file or directory\n\r");
}

TEST(ReleaseLoopDevice, AFileThatIsNoLoopDeviceIsRefused) {
    scratch_dir dir;
    std::string path = dir.at("plain");
    write_text(path, "not a device");
    host_capture out;
    EXPECT_EQ(release_loop_device(path.c_str()), -2);
    EXPECT_EQ(out.printed, "ioctl LOOP_CLR_FD: Inappropriate ioctl for device\n\r");
}

} // namespace
