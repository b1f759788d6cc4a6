// System information inside device boxes: board identification from the
// box's cpuinfo, the partition table on the box's disk, formatting and the
// media directories, and (suite BoxLoopSysinfo, root only) real loop mounts,
// type probing and unmounting. sysinfo-driver calls the functions by name.
#include "core/config.h"
#include "sysinfo/disk.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef SYSINFO_DRIVER
#error "SYSINFO_DRIVER must name the configuration's sysinfo-driver"
#endif

namespace {

std::vector<std::string> driver_argv(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {SYSINFO_DRIVER};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Runs the driver in a new box on the tree.
run_result driver(const device_box &box, const std::vector<std::string> &args) {
    return box.run(driver_argv(args));
}

// Runs the driver in the running box.
run_result driver_exec(const device_box &box, const std::vector<std::string> &args) {
    return box.exec(driver_argv(args));
}

bool logged(const device_box &box, const std::string &line) {
    for (const std::string &l : box.log())
        if (l == line) return true;
    return false;
}

// The first n bytes of a file of the box (the disk images are large).
std::string head_of(const device_box &box, const std::string &path, size_t n) {
    std::ifstream f(box.host_path(path), std::ios::binary);
    std::string bytes(n, '\0');
    f.read(bytes.data(), static_cast<std::streamsize>(n));
    bytes.resize(static_cast<size_t>(f.gcount()));
    return bytes;
}

// Fills the first two sectors of the box's disk with a pattern.
void scribble_disk(const device_box &box) {
    std::fstream f(box.host_path("/dev/sda"), std::ios::in | std::ios::out | std::ios::binary);
    const std::string pattern(1024, '\xEE');
    f.write(pattern.data(), static_cast<std::streamsize>(pattern.size()));
}

TEST(BoxSysinfo, BoardComesFromTheBoxCpuinfo) {
    struct {
        const char *board, *revision;
        int status;
        const char *product, *firmware, *label, *printed_revision, *err;
    } cases[] = {
        {"ZEMO", "0020", 0, "ZEMO", "norvel_gx4", "ZEMO_MEDIA", "20", ""},
        {"TAVRO", "0007", 0, "TAVRO", "norvel_gx3", "TAVRO", "7", ""},
        {"YARLO", "0001", basic_build ? 1 : 0, basic_build ? "WESKO" : "YARLO",
         basic_build ? "norvel_gx4" : "norvel_gx4x", basic_build ? "WESKO" : "YARLO", "1",
         basic_build ? "_get_board_id failed - unknown board -> default board (5021)\n" : ""},
        {"ZEM", "0020", 1, "WESKO", "norvel_gx4", "WESKO", "20",
         "_get_board_id failed - unknown board -> default board (5021)\n"},
    };
    for (const auto &c : cases) {
        device_box box({"--board", c.board, "--revision", c.revision});
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        run_result r = driver(box, {"identify_board"});
        EXPECT_EQ(r.status, c.status) << c.board;
        EXPECT_EQ(r.out, std::string("product_name=") + c.product +
                             "\nmanufacturer=Norvel\noza_filename=" + c.firmware +
                             "\nmedia_partitionlabel=" + c.label + "\nrevision=" +
                             c.printed_revision + "\nresult=" + (c.status == 0 ? "0" : "-1") + "\n")
            << c.board;
        EXPECT_EQ(r.err, c.err) << c.board;
    }
}

TEST(BoxSysinfo, PartitionTableIsWrittenByteForByte) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    box.set("disk_geometry", "255,63,1024,0");
    box.write("/sys/block/sda/sda2/start", "4000000\n");
    scribble_disk(box);

    run_result r = driver(box, {"write_partition_table"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "write_partition_table: About to write partition table on /dev/sda\n"
                     "write_partition_table: Sync'ing /dev/sda\n");

    master_boot_record mbr;
    ASSERT_EQ(build_master_boot_record(63, 0, 4000000, mbr), 0);
    std::string disk = head_of(box, "/dev/sda", 1024);
    EXPECT_EQ(disk.substr(0, 512), std::string(reinterpret_cast<const char *>(&mbr), 512));
    EXPECT_EQ(disk.substr(454, 8), std::string("\x3f\0\0\0\xc1\x08\x3d\0", 8))
        << "first sector 63, 3999937 sectors";
    EXPECT_EQ(disk.substr(512), std::string(512, '\xEE')) << "only sector 0 is written";
    EXPECT_TRUE(logged(box, "HDIO_GETGEO /dev/sda"));
    EXPECT_TRUE(logged(box, "BLKRRPART /dev/sda"));
}

TEST(BoxSysinfo, NothingIsWrittenWithoutGeometryOrStartSector) {
    struct {
        const char *label;
        const char *geometry; // nullptr: the box's
        bool start_file;
        const char *err;
    } cases[] = {
        {"no start file", nullptr, false,
         "system_fs_start_sector: Could not open /sys/block/sda/sda2/start\n"},
        {"no geometry", "unknown", true, "write_partition_table: Could not get disk geometry\n"},
        {"partition 2 in front of partition 1", "255,63,1024,2048", true,
         "write_partition_table: No room for partition 1 in front of sector 1000 on /dev/sda\n"},
    };
    for (const auto &c : cases) {
        device_box box;
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        if (c.geometry) box.set("disk_geometry", c.geometry);
        if (c.start_file)
            box.write("/sys/block/sda/sda2/start", "1000\n");
        else
            unlink(box.host_path("/sys/block/sda/sda2/start").c_str());
        scribble_disk(box);

        run_result r = driver(box, {"write_partition_table"});
        EXPECT_EQ(r.status, 1) << c.label;
        EXPECT_EQ(r.out, "result=-1\n") << c.label;
        EXPECT_EQ(r.err, c.err) << c.label;
        EXPECT_EQ(head_of(box, "/dev/sda", 1024), std::string(1024, '\xEE')) << c.label;
        EXPECT_FALSE(logged(box, "BLKRRPART /dev/sda")) << c.label;
    }
}

TEST(BoxSysinfo, RefusedRereadLeavesTheNewTableWritten) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    box.set("blkrrpart_errno", "16");
    scribble_disk(box);
    run_result r = driver(box, {"write_partition_table"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write_partition_table: About to write partition table on /dev/sda\n"
                     "write_partition_table: Sync'ing /dev/sda\n"
                     "write_partition_table: Could not re-read partition table on /dev/sda "
                     "(disk might be in use: umount its partitions first)\n");
    EXPECT_EQ(head_of(box, "/dev/sda", 512).substr(510), "\x55\xAA");
}

TEST(BoxSysinfo, DataPartitionIsFormattedWithTheBoardLabel) {
    device_box box({"--board", "TAVRO"});
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    run_result r = driver(box, {"format_media_partition"});
    EXPECT_EQ(r.status, 0) << r.err;
    // The distribution's tools read the image back.
    run_result label = run_program("/usr/sbin/fatlabel", {"fatlabel", box.host_path("/dev/sda1")});
    EXPECT_EQ(label.out, "TAVRO\n") << label.err;
    run_result check =
        run_program("/usr/sbin/fsck.fat", {"fsck.fat", "-n", box.host_path("/dev/sda1")});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_EQ(head_of(box, "/dev/sda1", 90).substr(82, 8), "FAT32   ");
}

TEST(BoxSysinfo, MediaDirectoriesAndCleanup) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    std::string expected;
    for (const char *name : media_directories)
        expected += std::string("create_root_fs_directories: mkdir ") + name + "\n";
    for (int round = 0; round < 2; ++round) {
        run_result r = driver(box, {"create_root_fs_directories"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, expected);
    }
    for (const char *name : media_directories)
        EXPECT_TRUE(box.exists(std::string("/mnt/data/") + name)) << name;

    box.write("/mnt/system/temporary.oza", "staged update");
    for (int round = 0; round < 2; ++round) {
        run_result r = driver(box, {"cleanup_system_fs"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "cleanup_system_fs\n");
        EXPECT_FALSE(box.exists("/mnt/system/temporary.oza"));
    }
}

TEST(BoxSysinfo, MountPointsMustBeKnownAndMounted) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    struct {
        std::vector<std::string> args;
        int result;
        const char *err;
    } cases[] = {
        {{"umount_mount_point", "/mnt/system/"},
         -3,
         "/mnt/system/ is not an actual mount point\n\r"},
        {{"mount_mount_point", "/mnt/storage/"},
         -2,
         "/mnt/storage/ is not a known mount point\n\r"},
    };
    for (const auto &c : cases) {
        run_result r = driver(box, c.args);
        EXPECT_EQ(r.out, "result=" + std::to_string(c.result) + "\n") << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST(BoxSysinfo, WithoutDevLoop0TheBlockLoopDevicesAreUsed) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    box.write("/tmp/image.bin", "image");
    box.write("/etc/fstab", "/tmp/image.bin /mnt/system ext2 loop 0 0\n");
    run_result r = driver(box, {"mount_mount_point", "/mnt/system"});
    EXPECT_EQ(r.out, "result=-1\n");
    EXPECT_EQ(r.err, "open /dev/block/loop0: No such file or directory\n\r");
}

// Boxes whose /dev/loop0..7 are host loop devices (root only). The suite
// name puts its tests under the "loop" resource lock.
class BoxLoopSysinfo : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    }

    // An ext2 image of 4 MiB at box path, made by the distribution's mke2fs.
    void make_ext2(const std::string &path) {
        box.write(path, std::string(4 << 20, '\0'));
        run_result r = run_program("/usr/sbin/mke2fs",
                                   {"mke2fs", "-q", "-F", "-t", "ext2", box.host_path(path)});
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // The box's mount lines for mount point dir.
    std::string mounted_at(const std::string &dir) {
        run_result r = box.exec({"/bin/sh", "-c", "grep ' " + dir + " ' /proc/mounts"});
        return r.out;
    }

    device_box box{{"--loop"}};
};

TEST_F(BoxLoopSysinfo, ImageFilesMountReadOnlyOnTheFirstFreeLoopDevice) {
    make_ext2("/tmp/a.ext2");
    make_ext2("/tmp/b.ext2");
    box.write("/etc/fstab", "/tmp/a.ext2 /mnt/system ext2 loop,noatime 0 0\n"
                            "/tmp/b.ext2 /mnt/storage ext2 loop,nodev 0 0\n");
    ASSERT_TRUE(box.start());

    run_result r = driver_exec(box, {"mount_mount_point", "/mnt/system/"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(mounted_at("/mnt/system").starts_with("/dev/loop0 /mnt/system ext2 ro,noatime"))
        << mounted_at("/mnt/system");
    // The distribution's busybox reads the image name back from the device.
    EXPECT_EQ(box.exec({"/bin/busybox", "losetup", "/dev/loop0"}).out,
              "/dev/loop0: 0 /tmp/a.ext2\n");

    r = driver_exec(box, {"mount_mount_point", "/mnt/storage"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    EXPECT_TRUE(mounted_at("/mnt/storage").starts_with("/dev/loop1 /mnt/storage ext2 ro,nodev"))
        << mounted_at("/mnt/storage");

    // Unmounting frees loop0: the next loop mount takes it again.
    r = driver_exec(box, {"umount_mount_point", "/mnt/system/"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(mounted_at("/mnt/system"), "");
    EXPECT_NE(box.exec({"/bin/busybox", "losetup", "/dev/loop0"}).status, 0) << "still attached";
    r = driver_exec(box, {"mount_mount_point", "/mnt/system"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    EXPECT_TRUE(mounted_at("/mnt/system").starts_with("/dev/loop0 ")) << mounted_at("/mnt/system");

    // A device attached by someone else, with nothing mounted from it, is
    // skipped.
    r = box.exec({"/usr/sbin/losetup", "/dev/loop2", "/tmp/b.ext2"});
    ASSERT_EQ(r.status, 0) << r.err;
    box.write("/etc/fstab", "/tmp/a.ext2 /mnt/data ext2 loop 0 0\n");
    r = driver_exec(box, {"mount_mount_point", "/mnt/data"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    EXPECT_TRUE(mounted_at("/mnt/data").starts_with("/dev/loop3 ")) << mounted_at("/mnt/data");

    r = driver_exec(box, {"umount_mount_point", "/mnt/system"});
    EXPECT_EQ(r.out, "result=0\n");
    r = driver_exec(box, {"umount_mount_point", "/mnt/system"});
    EXPECT_EQ(r.out, "result=-3\n");
    EXPECT_EQ(r.err, "/mnt/system is not an actual mount point\n\r");
}

// The block-device types of the box kernel's list, in order.
std::vector<std::string> probe_types(const device_box &box) {
    std::istringstream list(box.exec({"/bin/sh", "-c", "cat /proc/filesystems"}).out);
    std::vector<std::string> types;
    std::string line;
    while (std::getline(list, line)) {
        if (line.rfind("nodev", 0) == 0) continue;
        std::istringstream words(line);
        std::string type;
        if (words >> type) types.push_back(type);
    }
    return types;
}

// The types named by the "trying" lines of the messages, in order.
std::vector<std::string> tried_types(const std::string &messages) {
    std::vector<std::string> tried;
    const std::string prefix = "\ttrying fs type ";
    for (size_t at = messages.find(prefix); at != std::string::npos;
         at = messages.find(prefix, at + 1)) {
        size_t start = at + prefix.size();
        tried.push_back(messages.substr(start, messages.find('\n', start) - start));
    }
    return tried;
}

TEST_F(BoxLoopSysinfo, AutoTriesTheKernelTypesInOrderUntilOneMounts) {
    make_ext2("/tmp/a.ext2");
    box.write("/tmp/blank.img", std::string(4 << 20, '\0'));
    box.write("/etc/fstab", "/tmp/a.ext2 /mnt/system auto loop 0 0\n"
                            "/tmp/blank.img /mnt/storage auto loop 0 0\n");
    ASSERT_TRUE(box.start());
    std::vector<std::string> types = probe_types(box);
    ASSERT_FALSE(types.empty());

    run_result r = driver_exec(box, {"mount_mount_point", "/mnt/system"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    std::vector<std::string> tried = tried_types(r.err);
    ASSERT_FALSE(tried.empty()) << r.err;
    ASSERT_LE(tried.size(), types.size());
    EXPECT_EQ(tried, std::vector<std::string>(types.begin(), types.begin() + tried.size()));
    std::string line = mounted_at("/mnt/system");
    EXPECT_TRUE(line.starts_with("/dev/loop0 /mnt/system " + tried.back() + " ro")) << line;
    // Every attempt before the one that mounted failed with its message.
    for (size_t i = 0; i + 1 < tried.size(); ++i)
        EXPECT_NE(r.err.find("mount /dev/loop0 on /mnt/system type=" + tried[i] + " flags=1: "),
                  std::string::npos)
            << tried[i];

    // An image no type mounts: every type is tried and the loop device is
    // released again (the next mount takes loop1 once more).
    r = driver_exec(box, {"mount_mount_point", "/mnt/storage"});
    EXPECT_EQ(r.out, "result=-1\n");
    EXPECT_EQ(tried_types(r.err), types);
    EXPECT_EQ(mounted_at("/mnt/storage"), "");
    box.write("/etc/fstab", "/tmp/a.ext2 /mnt/storage ext2 loop 0 0\n");
    r = driver_exec(box, {"mount_mount_point", "/mnt/storage"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    EXPECT_TRUE(mounted_at("/mnt/storage").starts_with("/dev/loop1 "))
        << mounted_at("/mnt/storage");
}

TEST_F(BoxLoopSysinfo, AWriteProtectedDeviceIsMountedReadOnlyOnSecondAttempt) {
    make_ext2("/tmp/a.ext2");
    box.write("/etc/fstab", "/dev/loop5 /mnt/system ext2 defaults 0 0\n");
    ASSERT_TRUE(box.start());
    run_result r = box.exec({"/usr/sbin/losetup", "-r", "/dev/loop5", "/tmp/a.ext2"});
    ASSERT_EQ(r.status, 0) << r.err;

    r = driver_exec(box, {"mount_mount_point", "/mnt/system/"});
    EXPECT_EQ(r.out, "result=0\n");
    EXPECT_EQ(r.err, "/dev/loop5 is a read-only file system, reattempting to mount read-only\n\r");
    EXPECT_TRUE(mounted_at("/mnt/system").starts_with("/dev/loop5 /mnt/system ext2 ro"))
        << mounted_at("/mnt/system");

    // Unmounting releases the loop device: it can be attached afresh.
    r = driver_exec(box, {"umount_mount_point", "/mnt/system/"});
    EXPECT_EQ(r.out, "result=0\n") << r.err;
    r = box.exec({"/usr/sbin/losetup", "/dev/loop5", "/tmp/a.ext2"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BoxLoopSysinfo, RereadFailsWhileADataPartitionIsMounted) {
    ASSERT_TRUE(box.start());
    run_result r = box.exec_shell("mke2fs -q /dev/sda1 && mount /dev/sda1 /mnt/data");
    ASSERT_EQ(r.status, 0) << r.err;
    r = driver_exec(box, {"write_partition_table"});
    EXPECT_EQ(r.out, "result=-1\n");
    EXPECT_EQ(r.err, "write_partition_table: About to write partition table on /dev/sda\n"
                     "write_partition_table: Sync'ing /dev/sda\n"
                     "write_partition_table: Could not re-read partition table on /dev/sda "
                     "(disk might be in use: umount its partitions first)\n");
}

} // namespace
