// adev in device boxes: its command line, the daemon, and the storage, misc
// and USB filters acting on real netlink uevents.
#include "core/config.h"

#include "tests/box/adev_daemon.h"
#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>

namespace {

using namespace std::string_literals;

const std::string usage_full = "Usage: adev -d\t: daemonize adev\n"
                               "       adev -k\t: stop adev daemon\n"
                               "       adev -s\t: show supported hdmi displays\n"
                               "       adev -v\t: run (ultra) verbose\n";
const std::string usage_basic = "Usage: adev -d\t: daemonize adev\n"
                                "       adev -k\t: stop adev daemon\n"
                                "       adev -v\t: run (ultra) verbose\n";
const std::string usage = basic_build ? usage_basic : usage_full;
const std::string starting = basic_build ? "" : "Starting ADEV...\n";
const char charge_level[] =
    "/sys/devices/platform/omap/omap_i2c.1/i2c-1/1-0049/twl6030_bci/charge_level";

uevent_args usb_switch(const std::string &state) {
    return uevent("change", "/devices/virtual/switch/USB_SWITCH",
                  {"SUBSYSTEM=switch", "SWITCH_NAME=USB_SWITCH", "SWITCH_STATE=" + state});
}

class BoxAdev : public adev_box_test {};

TEST_F(BoxAdev, UsageErrorsPrintTheUsage) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    std::vector<std::vector<std::string>> cases = {
        {"adev", "-d", "-d"}, {"adev", "-d", "-k"}, {"adev", "-x"}, {"adev", "-v", "-d", "-d"}};
    if constexpr (basic_build) cases.push_back({"adev", "-s"});
    for (const auto &args : cases) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 255) << args.back();
        EXPECT_EQ(r.out, usage) << args.back();
    }
}

TEST_F(BoxAdev, KillStopsTheProcessOfThePidFile) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    const std::string adev = shell_quote(device_box::executable()) + " adev";
    // Contents that name no process to kill leave the file, and the shell
    // (in the caller's process group) alive.
    run_result r = box.shell(adev +
                             " -k; echo \"none $?\"\n"
                             "for text in 0 -1 abc '' 99999 '12 34' 7x; do\n"
                             "  echo \"$text\" > /tmp/adev.pid\n"
                             "  " +
                             adev +
                             " -k; echo \"'$text' $? $(cat /tmp/adev.pid)\"\n"
                             "done\n"
                             "sleep 100 & echo $! > /tmp/adev.pid\n" +
                             adev +
                             " -k; echo \"live $?\"\n"
                             "wait $!; echo \"killed $?\"\n"
                             "test -e /tmp/adev.pid && echo kept || echo removed\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "none 255\n"
                     "'0' 255 0\n"
                     "'-1' 255 -1\n"
                     "'abc' 255 abc\n"
                     "'' 255 \n"
                     "'99999' 255 99999\n"
                     "'12 34' 255 12 34\n"
                     "'7x' 255 7x\n"
                     "live 0\n"
                     "killed 137\n"
                     "removed\n");
}

TEST_F(BoxAdev, ForegroundRunAppliesTheSwitchStateAndReturns) {
    SKIP_UNLESS_ROOT();
    struct start_case {
        std::vector<std::string> init;
        std::string state; // USB switch state file
        std::string level; // charge level file afterwards
        std::string err;
    };
    const start_case cases[] = {
        {{}, "ATTACHED_VBUS\n", "2\0"s, ""},
        {{}, "ATTACHED_CHARGER\n", "3\0"s, ""},
        {{}, "DETACHED", "0\0"s, ""},
        {{}, "", "0\0"s, "get_charge_level_from_mode HALP \"\"\n"},
        {{}, "OTG\n", "0\0"s, "get_charge_level_from_mode HALP \"OTG\n\"\n"},
        // A USB-DC charger sets its own level.
        {{"--charger", "twl-usb-dc"}, "ATTACHED_CHARGER\n", "9", ""},
    };
    for (const start_case &c : cases) {
        device_box box(c.init);
        ASSERT_EQ(box.init_result().status, 0);
        box.write("/sys/class/switch/USB_SWITCH/state", c.state);
        box.write(charge_level, "9");
        run_result r = box.applet({"adev"});
        EXPECT_EQ(r.status, 0) << c.state;
        EXPECT_EQ(r.out, starting);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(box.read(charge_level), c.level) << c.state;
    }
    // Without a state file there is nothing to apply.
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    box.write(charge_level, "9");
    ASSERT_EQ(unlink(box.host_path("/sys/class/switch/USB_SWITCH/state").c_str()), 0);
    EXPECT_EQ(box.applet({"adev", "-v"}).status, 0);
    EXPECT_EQ(box.read(charge_level), "9");
}

// A field of /proc/PID/stat (1-based, after the command name).
std::string stat_field(const std::string &stat, int n) {
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= n; ++i) in >> field;
    return field;
}

TEST_F(BoxAdev, DaemonDetachesWritesItsPidAndIsKilled) {
    SKIP_UNLESS_ROOT();
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--usb-switch", "ATTACHED_CHARGER"}));
    device_box &box = daemon_box();
    const int pid = adev_pid(box);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(box.read("/tmp/adev.pid"), std::to_string(pid) + "\n");
    run_result r = box.exec_shell("cat /proc/" + std::to_string(pid) + "/stat; grep Umask /proc/" +
                                  std::to_string(pid) + "/status; readlink /proc/" +
                                  std::to_string(pid) + "/cwd");
    std::istringstream lines(r.out);
    std::string stat, umask, cwd;
    std::getline(lines, stat);
    std::getline(lines, umask);
    std::getline(lines, cwd);
    EXPECT_EQ(stat_field(stat, 6), std::to_string(pid)) << "leads a session of its own";
    EXPECT_EQ(umask, "Umask:\t0000");
    EXPECT_EQ(cwd, "/");
    // The start handler applied the switch state.
    EXPECT_TRUE(wait_until([&] { return box.read(charge_level) == "3\0"s; }));
    EXPECT_EQ(box.read("/tmp/adev.out"), starting);

    run_result k = box.exec({device_box::executable(), "adev", "-k"});
    EXPECT_EQ(k.status, 0);
    EXPECT_FALSE(box.exists("/tmp/adev.pid"));
    EXPECT_TRUE(wait_until(
        [&] { return box.exec_shell("test -e /proc/" + std::to_string(pid)).status != 0; }));
}

TEST_F(BoxAdev, DaemonOutlivesTheReaderOfItsOutput) {
    SKIP_UNLESS_ROOT();
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    ASSERT_TRUE(box.start());
    // The daemon's output goes to a reader that goes away once it runs; the
    // logger then writes to a pipe without a reader.
    ASSERT_EQ(box.exec_shell("mkfifo /tmp/out; cat /tmp/out > /dev/null 2>&1 < /dev/null & echo $! "
                             "> /tmp/reader\n" +
                             shell_quote(device_box::executable()) +
                             " adev -d -v < /dev/null > /tmp/out 2>&1")
                  .status,
              0);
    ASSERT_TRUE(send_events(box, {}));
    ASSERT_EQ(box.exec_shell("kill $(cat /tmp/reader)").status, 0);
    ASSERT_TRUE(send_events(box, {usb_switch("ATTACHED_VBUS"), usb_switch("DETACHED")}));
    EXPECT_EQ(box.exec_shell("kill -0 $(cat /tmp/adev.pid)").status, 0);
    ASSERT_TRUE(send_events(box, {usb_switch("ATTACHED_CHARGER")}));
    EXPECT_EQ(box.read(charge_level), "3\0"s);
}

TEST_F(BoxAdev, StartUpStopsWhenTheSocketCannotBeBound) {
    SKIP_UNLESS_ROOT();
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    const std::string probe = shell_quote(device_box::built("tests/box-probe"));
    const std::string adev = shell_quote(device_box::executable()) + " adev";
    // The port id the listener binds is its process id: hold it (in the
    // foreground the shell's own, which exec keeps).
    run_result r =
        box.shell(probe +
                  " netlink-hold $$ 1 /tmp/held &\n"
                  "for i in $(seq 3000); do test -e /tmp/held && break; sleep 0.01; done\n"
                  "exec " +
                  adev);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, starting + "Unable to bind uevent socket: Address already in use\n");

    // The daemon's process id is one of the next few: it reports, removes its
    // pid file and ends.
    r = box.shell(probe +
                  " netlink-hold $(($$ + 1)) 400 /tmp/held-range &\n"
                  "for i in $(seq 3000); do test -e /tmp/held-range && break; sleep 0.01; done\n" +
                  adev +
                  " -d > /tmp/adev.out 2>&1; echo \"parent $?\"\n"
                  "for i in $(seq 3000); do\n"
                  "  grep -q Unable /tmp/adev.out && ! test -e /tmp/adev.pid && break\n"
                  "  sleep 0.01\n"
                  "done\n"
                  "running() {\n"
                  "  for p in /proc/[0-9]*; do\n"
                  "    test \"$(readlink $p/exe)\" = " +
                  shell_quote(device_box::executable()) +
                  " && return 0\n"
                  "  done\n"
                  "  return 1\n"
                  "}\n"
                  "for i in $(seq 3000); do running || break; sleep 0.01; done\n"
                  "cat /tmp/adev.out; test -e /tmp/adev.pid && echo pid file\n"
                  "running && echo running\n"
                  "true");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "parent 0\n" + starting + "Unable to bind uevent socket: Address already in use\n");
}

// The lines of out without the logger's dumps of events whose summary lacks
// marker (in a root box the host kernel's events reach the daemon too).
std::string without_other_events(const std::string &out, const std::string &marker) {
    std::istringstream in(out);
    std::string kept, line;
    bool skipping = false, summary = false;
    std::string block;
    for (std::string l; std::getline(in, l);) {
        if (l == "uevent_logger_callback:") {
            skipping = false;
            summary = true;
            block = l + "\n";
            continue;
        }
        if (summary) {
            summary = false;
            skipping = l.find(marker) == std::string::npos;
            if (!skipping) kept += block;
        }
        if (skipping && l.rfind("\t- ", 0) == 0) continue;
        skipping = false;
        kept += l + "\n";
    }
    return kept;
}

TEST_F(BoxAdev, VerboseLoggerRunsFirstAndRecordsNeedEveryPair) {
    SKIP_UNLESS_ROOT();
    ASSERT_NO_FATAL_FAILURE(start_daemon({}, {"-v"}));
    device_box &box = daemon_box();
    box.write(charge_level, "9");
    const std::string hdmi = "/devices/virtual/switch/hdmi";
    // Matches the HDMI filter and the USB switch monitor: the logger prints
    // it first, then the HDMI filter (full build) runs, then the monitor.
    ASSERT_TRUE(send_events(
        box,
        {uevent("change", hdmi, {"SUBSYSTEM=switch", "SWITCH_NAME=USB_SWITCH", "SWITCH_STATE=0"}),
         // ACTION=add and a missing SWITCH_NAME reach no filter.
         uevent("add", hdmi + "-a",
                {"SUBSYSTEM=switch", "SWITCH_NAME=USB_SWITCH", "SWITCH_STATE=ATTACHED_VBUS"}),
         uevent("change", hdmi + "-b", {"SUBSYSTEM=switch", "SWITCH_STATE=ATTACHED_VBUS"})}));
    const std::string dump = "uevent_logger_callback:\n\t- change@" + hdmi +
                             "\n\t- ACTION=change\n\t- DEVPATH=" + hdmi +
                             "\n\t- SUBSYSTEM=switch\n\t- SWITCH_NAME=USB_SWITCH\n\t- "
                             "SWITCH_STATE=0\n";
    const std::string hdmi_line = basic_build ? "" : "ADEV : Disabling HDMI\n";
    const std::string expected =
        starting + dump + hdmi_line + "get_charge_level_from_mode HALP \"0\"\n" +
        "uevent_logger_callback:\n\t- add@" + hdmi + "-a\n\t- ACTION=add\n\t- DEVPATH=" + hdmi +
        "-a\n\t- SUBSYSTEM=switch\n\t- SWITCH_NAME=USB_SWITCH\n\t- SWITCH_STATE=ATTACHED_VBUS\n" +
        "uevent_logger_callback:\n\t- change@" + hdmi +
        "-b\n\t- ACTION=change\n\t- DEVPATH=" + hdmi +
        "-b\n\t- SUBSYSTEM=switch\n\t- SWITCH_STATE=ATTACHED_VBUS\n";
    EXPECT_EQ(without_other_events(box.read("/tmp/adev.out"), hdmi), expected);
    EXPECT_EQ(box.read(charge_level), "0\0"s);
}

const std::string ehci = "/devices/platform/omap/usbhs_omap/ehci-omap.0/usb1/1-1/";
const std::string hub1 = ehci + "1-1.1/1-1.1:1.0/host0/target0:0:0/0:0:0:0/block/";
const std::string port = ehci + "1-1:1.0/host1/target1:0:0/1:0:0:0/block/";
const std::string hub2 = ehci + "1-1.2/1-1.2:1.0/host2/target2:0:0/2:0:0:0/block/";
const std::string otg = "/devices/platform/omap/musb-omap2430/musb-hdrc/usb2/2-1/2-1:1.0/host3/"
                        "target3:0:0/3:0:0:0/block/";

// The storage links under /dev: name -> target.
std::map<std::string, std::string> storage_links(const device_box &box) {
    std::map<std::string, std::string> links;
    for (const char *base : {"hdd", "storage_ehci", "storage_otg"})
        for (const char *n : {"", "1", "2", "7", "12"}) {
            std::string path = "/dev/"s + base + n;
            std::string target = link_target(box, path);
            if (!target.empty()) links[path] = target;
        }
    return links;
}

void remove_storage_links(const device_box &box) {
    for (const auto &[path, target] : storage_links(box)) unlink(box.host_path(path).c_str());
}

uevent_args block_add(const std::string &devpath) {
    return uevent("add", devpath, {"SUBSYSTEM=block"});
}

TEST_F(BoxAdev, BlockFilterLinksUsbDisksByPort) {
    SKIP_UNLESS_ROOT();
    struct link_case {
        const char *what;
        std::vector<uevent_args> events;
        std::map<std::string, std::string> links;
    };
    const std::string long_tail(300 - hub1.size(), 'x');
    const link_case cases[] = {
        {"disk on the hub's first port", {block_add(hub1 + "sda")}, {{"/dev/hdd", "/dev/sda"}}},
        {"its partition", {block_add(hub1 + "sda/sda1")}, {{"/dev/hdd1", "/dev/sda1"}}},
        {"disk on the port itself", {block_add(port + "sdb")}, {{"/dev/storage_ehci", "/dev/sdb"}}},
        {"partition on the hub's second port",
         {block_add(hub2 + "sdc/sdc2")},
         {{"/dev/storage_ehci2", "/dev/sdc2"}}},
        {"disk on the OTG port", {block_add(otg + "sdd")}, {{"/dev/storage_otg", "/dev/sdd"}}},
        {"partition 12 keeps its number",
         {block_add(hub1 + "sda/sda12")},
         {{"/dev/hdd12", "/dev/sda12"}}},
        {"a repeated add keeps the first link",
         {block_add(hub1 + "sda"), block_add(hub1 + "sdb")},
         {{"/dev/hdd", "/dev/sda"}}},
        {"a disk on no port of the table",
         {block_add("/devices/platform/omap/omap_hsmmc.1/mmc_host/mmc1/mmc1:0001/block/mmcblk1")},
         {}},
        {"a removal", {uevent("remove", hub1 + "sda", {"SUBSYSTEM=block"})}, {}},
        {"no ACTION", {{"add@" + hub1 + "sda", "DEVPATH=" + hub1 + "sda", "SUBSYSTEM=block"}}, {}},
        {"no DEVPATH", {{"add@" + hub1 + "sda", "ACTION=add", "SUBSYSTEM=block"}}, {}},
        {"no block/ in DEVPATH", {block_add(ehci + "1-1.1/sda")}, {}},
        {"a name two levels deep", {block_add(hub1 + "sda/sda1/holders")}, {}},
        {"a partition name without a number", {block_add(hub1 + "sda/sdaX")}, {}},
        {"a DEVPATH over 255 characters", {block_add(hub1 + long_tail)}, {}},
        {"a kernel name over 35 characters", {block_add(hub1 + std::string(36, 's'))}, {}},
        {"a kernel name of 35 characters",
         {block_add(hub1 + std::string(35, 's'))},
         {{"/dev/hdd", "/dev/" + std::string(35, 's')}}},
        {"a partition name over 31 characters",
         {block_add(hub1 + "s/" + std::string(31, 'p') + "7")},
         {}},
        {"a partition name of 31 characters",
         {block_add(hub1 + "s/" + std::string(30, 'p') + "7")},
         {{"/dev/hdd7", "/dev/" + std::string(30, 'p') + "7"}}},
    };
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    device_box &box = daemon_box();
    for (const link_case &c : cases) {
        remove_storage_links(box);
        ASSERT_TRUE(send_events(box, c.events)) << c.what;
        EXPECT_EQ(storage_links(box), c.links) << c.what;
    }
}

TEST_F(BoxAdev, MiscNodesReplaceWhatIsThere) {
    SKIP_UNLESS_ROOT();
    struct node_case {
        const char *what;
        uevent_args event;
        const char *name; // the node's path below /dev
        dev_t device;     // 0: the old file is left as it was
    };
    auto misc = [](const std::string &action, const std::vector<std::string> &entries) {
        std::vector<std::string> e = {"SUBSYSTEM=misc"};
        e.insert(e.end(), entries.begin(), entries.end());
        return uevent(action, "/devices/virtual/misc/node", e);
    };
    const node_case cases[] = {
        {"10:60", misc("add", {"MAJOR=10", "MINOR=60", "DEVNAME=watchdog"}), "watchdog", 2620},
        {"a minor above 255", misc("add", {"MAJOR=10", "MINOR=300", "DEVNAME=big"}), "big",
         makedev(10, 300)},
        {"below a folder", misc("add", {"MAJOR=10", "MINOR=200", "DEVNAME=net/tun"}), "net/tun",
         makedev(10, 200)},
        {"no MAJOR", misc("add", {"MINOR=60", "DEVNAME=nomajor"}), "nomajor", 0},
        {"no MINOR", misc("add", {"MAJOR=10", "DEVNAME=nominor"}), "nominor", 0},
        {"a MINOR that is no number", misc("add", {"MAJOR=10", "MINOR=6x", "DEVNAME=odd"}), "odd",
         0},
        {"a removal", misc("remove", {"MAJOR=10", "MINOR=60", "DEVNAME=gone"}), "gone", 0},
        {"another subsystem",
         uevent("add", "/devices/virtual/tty/x",
                {"SUBSYSTEM=tty", "MAJOR=4", "MINOR=1", "DEVNAME=tty9"}),
         "tty9", 0},
    };
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    ASSERT_EQ(mkdir(box.host_path("/dev/net").c_str(), 0755), 0);
    for (const node_case &c : cases) box.write("/dev/"s + c.name, "old");
    ASSERT_TRUE(start_adev(box));
    for (const node_case &c : cases) {
        ASSERT_TRUE(send_events(box, {c.event})) << c.what;
        struct stat st;
        ASSERT_EQ(lstat(box.host_path("/dev/"s + c.name).c_str(), &st), 0) << c.what;
        if (c.device == 0) {
            EXPECT_EQ(box.read("/dev/"s + c.name), "old") << c.what;
            continue;
        }
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << c.what;
        EXPECT_EQ(st.st_mode & 07777, 0u) << c.what;
        EXPECT_EQ(st.st_rdev, c.device) << c.what;
    }
    // Names leading out of /dev, or too long for the path, make nothing.
    ASSERT_TRUE(
        send_events(box, {misc("add", {"MAJOR=10", "MINOR=60", "DEVNAME=../escape"}),
                          misc("add", {"MAJOR=10", "MINOR=60", "DEVNAME=/escape"}),
                          misc("add", {"MAJOR=10", "MINOR=60", "DEVNAME=net/../../escape"}),
                          misc("add", {"MAJOR=10", "MINOR=60", "DEVNAME=" + std::string(251, 'n')}),
                          misc("add", {"MAJOR=10", "MINOR=60", "DEVNAME=" + std::string(250, 'm')}),
                          misc("add", {"MAJOR=10", "MINOR=60"})}));
    EXPECT_FALSE(box.exists("/escape"));
    EXPECT_FALSE(box.exists("/dev/" + std::string(251, 'n')));
    EXPECT_TRUE(box.exists("/dev/" + std::string(250, 'm')));
}

TEST_F(BoxAdev, UsbSwitchStatesSetTheChargeLevel) {
    SKIP_UNLESS_ROOT();
    struct level_case {
        uevent_args event;
        std::string level; // "9": not written
        std::string err;
    };
    const level_case cases[] = {
        {usb_switch("ATTACHED_VBUS"), "2\0"s, ""},
        {usb_switch("ATTACHED_CHARGER"), "3\0"s, ""},
        {usb_switch("DETACHED"), "0\0"s, ""},
        {usb_switch("USB ATTACHED_VBUS 500mA"), "2\0"s, ""},
        {usb_switch("ATTACHED_OTG"), "0\0"s, "get_charge_level_from_mode HALP \"ATTACHED_OTG\"\n"},
        {usb_switch(""), "0\0"s, "get_charge_level_from_mode HALP \"\"\n"},
        {uevent("change", "/devices/virtual/switch/USB_SWITCH",
                {"SUBSYSTEM=switch", "SWITCH_NAME=USB_SWITCH"}),
         "9", ""},
        {uevent("add", "/devices/virtual/switch/USB_SWITCH",
                {"SUBSYSTEM=switch", "SWITCH_NAME=USB_SWITCH", "SWITCH_STATE=ATTACHED_VBUS"}),
         "9", ""},
    };
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--usb-switch", "DETACHED"}));
    device_box &box = daemon_box();
    ASSERT_TRUE(wait_until([&] { return box.read(charge_level) == "0\0"s; }));
    size_t seen = box.read("/tmp/adev.out").size();
    for (const level_case &c : cases) {
        box.write(charge_level, "9");
        ASSERT_TRUE(send_events(box, {c.event})) << c.event.back();
        EXPECT_EQ(box.read(charge_level), c.level) << c.event.back();
        std::string out = box.read("/tmp/adev.out");
        EXPECT_EQ(out.substr(seen), c.err) << c.event.back();
        seen = out.size();
    }
}

TEST_F(BoxAdev, UsbSwitchLeavesAUsbDcChargerAlone) {
    SKIP_UNLESS_ROOT();
    device_box box({"--charger", "twl-usb-dc", "--usb-switch", "ATTACHED_VBUS"});
    ASSERT_EQ(box.init_result().status, 0);
    box.write(charge_level, "9");
    ASSERT_TRUE(start_adev(box));
    ASSERT_TRUE(send_events(box, {usb_switch("ATTACHED_CHARGER"), usb_switch("OTG")}));
    EXPECT_EQ(box.read(charge_level), "9");
    EXPECT_EQ(box.read("/tmp/adev.out"), starting);
}

TEST_F(BoxAdev, GadgetDetectorSwitchesHostPortPower) {
    SKIP_UNLESS_ROOT();
    if constexpr (basic_build) GTEST_SKIP() << "the basic build has no gadget detect filter";
    const char *port_control = "/sys/bus/usb/devices/1-1/power/control";
    const char *host_control = "/sys/bus/usb/devices/usb1/power/control";
    auto gadget = [](const std::string &action, const std::string &driver) {
        return uevent(action, "/devices/platform/norvel_gadget_detect",
                      {"SUBSYSTEM=platform", "DRIVER=" + driver});
    };
    struct gadget_case {
        uevent_args event;
        const char *control; // in both files afterwards
    };
    const gadget_case cases[] = {
        {gadget("online", "norvel_gadget_detect"), "on"},
        {gadget("offline", "norvel_gadget_detect"), "auto"},
        {gadget("change", "norvel_gadget_detect"), "x"},
        {gadget("online", "other_driver"), "x"},
    };
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    device_box &box = daemon_box();
    for (const gadget_case &c : cases) {
        box.write(port_control, "x");
        box.write(host_control, "x");
        ASSERT_TRUE(send_events(box, {c.event}));
        EXPECT_EQ(box.read(port_control), c.control) << c.event[0];
        EXPECT_EQ(box.read(host_control), c.control) << c.event[0];
    }
}

// Raw messages: only whole entries count, and a message longer than the
// receive buffer is dropped rather than handled cut short.
TEST_F(BoxAdev, MessagesAreReadWithinTheirBytes) {
    SKIP_UNLESS_ROOT();
    auto misc = [](const std::string &name, size_t size) {
        std::string m = "add@/devices/virtual/misc/" + name +
                        "\0ACTION=add\0SUBSYSTEM=misc\0MAJOR=10\0MINOR=60\0"s;
        const std::string tail = "DEVNAME=" + name + '\0';
        if (size > 0) m += "PAD=" + std::string(size - m.size() - tail.size() - 5, 'p') + '\0';
        return m + tail;
    };
    struct raw_case {
        std::string message;
        const char *name;
        bool made;
    };
    const raw_case cases[] = {
        {misc("whole", 0), "whole", true},
        {misc("unterminated", 0).substr(0, misc("unterminated", 0).size() - 1), "unterminated",
         false},
        {misc("cutname", 0).substr(0, misc("cutname", 0).size() - 4), "cutna", false},
        {"add@x\0ACTION=add\0SUBSYSTEM=misc\0MAJOR=10\0MINOR=60\0DEVNAME"s, "DEVNAME", false},
        {misc("fit", 65536), "fit", true},
        {misc("over", 65537), "over", false},
    };
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    device_box &box = daemon_box();
    for (const raw_case &c : cases) {
        run_result sent = box.exec({"/box/bin/uevent", "--raw"}, c.message);
        ASSERT_EQ(sent.status, 0) << c.name << sent.err;
        ASSERT_TRUE(send_events(box, {})) << c.name;
        EXPECT_EQ(box.exists("/dev/"s + c.name), c.made) << c.name;
    }
    EXPECT_EQ(box.exec_shell("kill -0 $(cat /tmp/adev.pid)").status, 0);
}

TEST_F(BoxAdev, DaemonSurvivesAFloodOfOddMessages) {
    SKIP_UNLESS_ROOT();
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    device_box &box = daemon_box();
    const int pid = adev_pid(box);
    run_result r = box.exec({device_box::built("tests/box-flood"), "20000", "20240601"});
    ASSERT_EQ(r.status, 0) << r.err;
    unsigned long sent = 0, ok = 0;
    ASSERT_EQ(sscanf(r.out.c_str(), "sent %lu ok %lu", &sent, &ok), 2) << r.out;
    EXPECT_EQ(sent, 20000u);
    run_result count = box.exec_shell(
        "ls /dev | grep -c '^ok-'; ls /dev | grep '^cut-\\|^big-\\|^bad-'; ls / | grep escape; "
        "kill -0 " +
        std::to_string(pid) + " && echo alive");
    EXPECT_EQ(count.out, std::to_string(ok) + "\nalive\n");
    // And it goes on handling events.
    box.write(charge_level, "9");
    ASSERT_TRUE(send_events(box, {usb_switch("ATTACHED_CHARGER")}));
    EXPECT_EQ(box.read(charge_level), "3\0"s);
}

} // namespace
