// The stand-in library: each kernel interface it answers inside a box, the
// log of its answers, and the kernel's own answers for everything else.
#include "core/config.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

namespace {

const std::string probe = device_box::built("tests/box-probe");

// A box with the probe at hand: probe({"flash", "3"}) runs box-probe in it.
class StandIn : public ::testing::Test {
protected:
    device_box box;

    run_result probe_run(const std::vector<std::string> &args) const {
        std::vector<std::string> argv = {probe};
        argv.insert(argv.end(), args.begin(), args.end());
        return box.run(argv);
    }
    std::string out(const std::vector<std::string> &args) const { return probe_run(args).out; }
    void load_flash_module() const { box.write("/box/modules", "flashrw\n"); }
};

TEST_F(StandIn, FlashDeviceOpensOnlyWithItsModule) {
    EXPECT_EQ(out({"flash", "3"}), "error ENXIO\n");
    load_flash_module();
    EXPECT_EQ(out({"flash", "3"}), "65536\n");
    EXPECT_EQ(box.log(), std::vector<std::string>{"flashrw max-sector"});
}

TEST_F(StandIn, FlashGeometry) {
    load_flash_module();
    const struct {
        const char *address, *answer;
    } cases[] = {
        {"0", "0 0 65536\n"},
        {"65535", "0 0 65536\n"},
        {"4128767", "62 4063232 65536\n"},
        {"4128768", "63 4128768 8192\n"},
        {"4194303", "70 4186112 8192\n"},
        {"4194304", "error EINVAL\n"},
    };
    for (const auto &c : cases) EXPECT_EQ(out({"flash", "2", c.address}), c.answer) << c.address;
    std::string info = out({"flash", "1"});
    EXPECT_EQ(info.substr(0, 16), "0000400047000000") << "size 4194304, 71 sectors";
}

TEST_F(StandIn, FlashWriteReadAndErase) {
    load_flash_module();
    EXPECT_EQ(out({"flash", "4", "0x1fffe", "00112233"}), "ok\n");
    EXPECT_EQ(out({"flash", "5", "0x1fffc", "8"}), "ffff00112233ffff\n");
    std::string flash = box.read("/dev/flashrw");
    EXPECT_EQ(flash.substr(0x1fffe, 4), std::string("\x00\x11\x22\x33", 4));
    // Sector 70 is the last 8 KiB; erase-range clears exactly its bytes.
    EXPECT_EQ(out({"flash", "4", "4186110", "aaaaaaaa"}), "ok\n");
    EXPECT_EQ(out({"flash", "6", "70"}), "ok\n");
    EXPECT_EQ(out({"flash", "5", "4186110", "4"}), "aaaaffff\n");
    EXPECT_EQ(out({"flash", "7", "0x1fffe", "1"}), "ok\n");
    EXPECT_EQ(out({"flash", "5", "0x1fffe", "2"}), "ff11\n");
    EXPECT_EQ(out({"flash", "6", "71"}), "error EINVAL\n");
    EXPECT_EQ(out({"flash", "4", "4194302", "000000"}), "error EINVAL\n") << "past the end";
    EXPECT_EQ(box.log().front(), "flashrw write 0x1fffe 4");
}

TEST_F(StandIn, FlashRefusesTheProtectedRangeWithErrno300) {
    load_flash_module();
    box.set("flash_protect", "0:0x80000");
    const struct {
        std::vector<std::string> args;
        const char *answer;
    } cases[] = {
        {{"flash", "4", "0x7ffff", "00"}, "error 300\n"},
        {{"flash", "4", "0x80000", "00"}, "ok\n"},
        {{"flash", "6", "7"}, "error 300\n"},
        {{"flash", "6", "8"}, "ok\n"},
        {{"flash", "7", "0x7f000", "0x2000"}, "error 300\n"},
        {{"flash", "5", "0", "2"}, "ffff\n"},
    };
    for (const auto &c : cases) EXPECT_EQ(out(c.args), c.answer) << c.args[1] << " " << c.args[2];
    EXPECT_EQ(box.read("/dev/flashrw").substr(0x7ffff, 1), "\xff") << "a refused write wrote";
}

TEST_F(StandIn, FlashChecksTheRequestLength) {
    load_flash_module();
    EXPECT_EQ(out({"flash", "2", "0", "len=19"}), "error EINVAL\n");
    EXPECT_EQ(out({"flash", "1", "len=29"}), "error EINVAL\n");
    EXPECT_EQ(out({"flash", "5", "0", "2", "len=15"}), "error EINVAL\n");
    EXPECT_EQ(box.log().back(), "flashrw request 5 length 15: EINVAL");
    // Requests the driver does not have reach the kernel: a file says ENOTTY.
    EXPECT_EQ(out({"flash", "8"}), "error ENOTTY\n");
}

TEST_F(StandIn, RawAreaSizeRequest) {
    EXPECT_EQ(out({"rawfs-size", "params"}), "65536\n");
    EXPECT_EQ(out({"rawfs-size", "recovery"}), "8388608\n");
    EXPECT_EQ(box.log(),
              (std::vector<std::string>{"rawfs size params 65536", "rawfs size recovery 8388608"}));
}

TEST_F(StandIn, DiskGeometryAndPartitionReread) {
    EXPECT_EQ(out({"disk", "geo"}), "255 63 130 0\n");
    box.set("disk_geometry", "16,63,1000,2048");
    EXPECT_EQ(out({"disk", "geo"}), "16 63 1000 2048\n");
    EXPECT_EQ(out({"disk", "rrpart"}), "ok\n");
    box.set("blkrrpart_errno", "16");
    EXPECT_EQ(out({"disk", "rrpart"}), "error EBUSY\n");
    EXPECT_EQ(box.log(),
              (std::vector<std::string>{"HDIO_GETGEO /dev/sda", "HDIO_GETGEO /dev/sda",
                                        "BLKRRPART /dev/sda", "BLKRRPART /dev/sda: EBUSY"}));
}

TEST_F(StandIn, Framebuffer) {
    EXPECT_EQ(out({"fb"}), "800 480 32 3200 1536000\n");
    EXPECT_EQ(out({"fb", "4"}), "ok\n");
    EXPECT_EQ(out({"fb", "0"}), "ok\n");
    EXPECT_EQ(box.log(), (std::vector<std::string>{"FBIOGET_VSCREENINFO", "FBIOGET_FSCREENINFO",
                                                   "FBIOBLANK 4", "FBIOBLANK 0"}));
    device_box small({"--fb", "480x272x16x1024"});
    EXPECT_EQ(small.run({probe, "fb"}).out, "480 272 16 1024 278528\n");
}

TEST_F(StandIn, InputDevicesOpenAtOnceAndFailOnceRemoved) {
    box.set("input_name", "touchscreen");
    EXPECT_EQ(out({"evname", "/dev/input/event1", "remove"}), "12 touchscreen\nerror ENODEV\n");
    EXPECT_FALSE(box.exists("/dev/input/event1"));
    EXPECT_EQ(box.log(), (std::vector<std::string>{"EVIOCGNAME /dev/input/event1",
                                                   "EVIOCGNAME /dev/input/event1: ENODEV"}));
    // A read-only open of another FIFO still blocks as the kernel's does.
    run_result r = box.shell("mkfifo /tmp/f; timeout 1 cat /tmp/f; echo $?");
    EXPECT_EQ(r.out, "124\n");
}

TEST_F(StandIn, InputEventsFromOutsideWakeAReader) {
    EXPECT_FALSE(box.input_event(0)) << "nobody reads the FIFO yet";
    ASSERT_TRUE(box.start());
    ASSERT_TRUE(box.spawn({probe, "evwait", "/dev/input/event0", "60"}, "/tmp/evwait"));
    bool sent = false;
    for (int i = 0; i < 600 && !sent; ++i) {
        sent = box.input_event(0);
        if (!sent) usleep(50000);
    }
    EXPECT_TRUE(sent);
    run_result r = box.exec_shell("for i in $(seq 600); do test -s /tmp/evwait && break; "
                                  "sleep 0.05; done; cat /tmp/evwait");
    EXPECT_EQ(r.out, "24\n");
}

TEST_F(StandIn, DisplayQueryAndSetup) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic configuration has no display driver";
    EXPECT_EQ(out({"dss-query", "50"}), "max 148500 current 1280x720/13468 count 6\n"
                                        "60 1920x1080 6734 0\n"
                                        "30 1920x1080 13468 0\n"
                                        "60 1280x720 13468 0\n"
                                        "50 1280x720 13468 0\n"
                                        "60 720x480 37037 0\n"
                                        "60 1920x1080 13468 1\n");
    EXPECT_EQ(out({"dss-query", "2"}), "max 148500 current 1280x720/13468 count 2\n"
                                       "60 1920x1080 6734 0\n"
                                       "30 1920x1080 13468 0\n");
    std::string block = "01000000000000003c0000008007000038040000";
    EXPECT_EQ(out({"dss-setup", block}), "ok\n");
    EXPECT_EQ(box.log().back(), "dsscomp setup " + block + std::string(80, '0'));
    box.set("dsscomp_setup_errno", "22");
    EXPECT_EQ(out({"dss-setup", block}), "error EINVAL\n");

    device_box custom({"--hdmi-mode", "50,1280,720,13468,0", "--hdmi-max-pixclock", "74250"});
    EXPECT_EQ(custom.run({probe, "dss-query", "50"}).out,
              "max 74250 current 1280x720/13468 count 1\n50 1280x720 13468 0\n");
}

TEST_F(StandIn, ModulesLoadAndUnloadAgainstTheList) {
    const struct {
        std::vector<std::string> args;
        const char *answer, *log;
    } steps[] = {
        {{"insmod", "call", "/lib/modules/flashrw.ko"}, "ok\n", "init_module flashrw"},
        {{"insmod", "syscall", "/lib/modules/flashrw.ko"},
         "error EEXIST\n",
         "init_module flashrw: EEXIST"},
        {{"rmmod", "flashrw", "nonblock"}, "ok\n", "delete_module flashrw O_NONBLOCK"},
        {{"rmmod", "flashrw"}, "error ENOENT\n", "delete_module flashrw 0: ENOENT"},
        {{"insmod", "fd", "/lib/modules/flashrw.ko", "debug=1"},
         "ok\n",
         "init_module flashrw \"debug=1\""},
        {{"insmod", "call", "/etc/fstab"}, "error ENOEXEC\n", "init_module ?: ENOEXEC"},
    };
    for (const auto &s : steps) {
        box.clear_log();
        EXPECT_EQ(out(s.args), s.answer) << s.args[0] << " " << s.args[1];
        EXPECT_EQ(box.log(), std::vector<std::string>{s.log});
    }
    EXPECT_EQ(box.read("/box/modules"), "flashrw\n");
    box.set("modules_busy", "flashrw");
    EXPECT_EQ(out({"rmmod", "flashrw", "nonblock"}), "error EAGAIN\n");
    // Through the distribution's busybox too.
    box.set("modules_busy", "");
    EXPECT_EQ(box.shell("busybox rmmod flashrw && busybox insmod /lib/modules/flashrw.ko && "
                        "cat /box/modules")
                  .out,
              "flashrw\n");
}

// Requests the stand-ins do not answer behave as on the kernel: the same
// answer inside a box as outside it.
TEST_F(StandIn, OtherRequestsReachTheKernel) {
    scratch_dir host;
    write_text(host.at("file"), "12345");
    const struct {
        const char *request; // FIONREAD, FBIOBLANK, the size request, EVIOCGNAME
    } requests[] = {{"0x541B"}, {"0x4611"}, {"0x80046d01"}, {"0x80ff4506"}};
    for (const auto &q : requests) {
        run_result outside = run_program(probe, {probe, "ioctl", host.at("file"), q.request});
        box.write("/tmp/file", "12345");
        run_result inside = box.run({probe, "ioctl", "/tmp/file", q.request});
        EXPECT_EQ(inside.out, outside.out) << q.request;
    }
    EXPECT_EQ(box.run({probe, "ioctl", "/etc/fstab", "0x80046d01"}).out, "error ENOTTY\n");
    EXPECT_TRUE(box.log().empty());
}

} // namespace
