// Boxes made with --loop (root only): host loop devices serve as the box's
// /dev/loop0..7 and as its /dev/sda1, and are released when the box ends.
#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <unistd.h>

namespace {

const std::string probe = device_box::built("tests/box-probe");

// Host loop devices whose backing file lies below dir.
std::vector<std::string> loops_backed_from(const std::string &dir) {
    std::vector<std::string> out;
    DIR *d = opendir("/sys/block");
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind("loop", 0) != 0) continue;
        std::string backing = read_text("/sys/block/" + name + "/loop/backing_file");
        if (backing.rfind(dir, 0) == 0) out.push_back(name);
    }
    closedir(d);
    return out;
}

class BoxLoop : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    }
};

TEST_F(BoxLoop, DataPartitionIsABlockDevice) {
    device_box box({"--loop"});
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.shell("test -b /dev/sda1 && test -b /dev/loop7 && echo block; "
                             "mke2fs -q /dev/sda1 && mount /dev/sda1 /mnt/data && "
                             "mkdir /mnt/data/Music && " +
                             probe + " disk rrpart; umount /mnt/data && " + probe + " disk rrpart");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "block\nerror EBUSY\nok\n") << "BLKRRPART while a partition is mounted";
    // What the box wrote reached the image file.
    run_result ls =
        run_program("/usr/sbin/debugfs", {"debugfs", "-R", "ls -l /", box.host_path("/dev/sda1")});
    EXPECT_NE(ls.out.find("Music"), std::string::npos) << ls.out << ls.err;
    EXPECT_TRUE(loops_backed_from(box.root()).empty());
}

TEST_F(BoxLoop, LoopDevicesAreReleasedWhenTheBoxEnds) {
    device_box box({"--loop"});
    ASSERT_EQ(box.init_result().status, 0);
    // A loop mount left in place when the command ends.
    run_result r = box.shell("dd if=/dev/zero of=/tmp/img bs=1M count=4 2>/dev/null && "
                             "mke2fs -q /tmp/img && busybox mount -o loop /tmp/img /mnt/system && "
                             "grep -c '^/dev/loop. /mnt/system ext2' /proc/mounts");
    EXPECT_EQ(r.out, "1\n") << r.err;
    EXPECT_TRUE(loops_backed_from(box.root()).empty());

    ASSERT_TRUE(box.start());
    EXPECT_EQ(box.exec_shell("busybox mount -o loop /tmp/img /mnt/system && echo mounted").out,
              "mounted\n");
    EXPECT_FALSE(loops_backed_from(box.root()).empty());
    box.stop();
    EXPECT_TRUE(loops_backed_from(box.root()).empty());
}

} // namespace
