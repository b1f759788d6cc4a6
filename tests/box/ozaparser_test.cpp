// ozaparser in device boxes: the real applet installs update files packed
// by ozatool. The box's /bin/sh is replaced by a shell that records every
// command line given to it, so the UI commands and the copy and format
// commands are read back exactly as the applet ran them.
#include "core/config.h"
#include "sysinfo/disk.h"

#include "tests/box/engine_box.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using engine_box::has;
using engine_box::lines;
using engine_box::manifest;
using engine_box::starting;
using strings = std::vector<std::string>;

const std::string update = "/cache/u.oza";

// The box's /bin/sh becomes a shell that appends each "-c" command line to
// /box/commands before running it.
void record_commands(const device_box &box) {
    const std::string sh = box.host_path("/bin/sh");
    ASSERT_EQ(unlink(sh.c_str()), 0); // a link to the host's shell: never write through it
    box.write("/bin/sh", "#!/usr/bin/dash\n"
                         "[ \"$1\" = -c ] && printf '%s\\n' \"$2\" >> /box/commands\n"
                         "exec /usr/bin/dash \"$@\"\n");
    ASSERT_EQ(chmod(sh.c_str(), 0755), 0);
}

// The recorded command lines that start with prefix.
strings commands(const device_box &box, const std::string &prefix) {
    return starting(lines(box.read("/box/commands")), prefix);
}

strings ui_commands(const device_box &box) {
    return commands(box, "/bin/zui");
}

class OzaParser : public ::testing::Test, public engine_box::update_box {
protected:
    explicit OzaParser(strings init = {}) : update_box(std::move(init)) {}
    void SetUp() override {
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        record_commands(box);
    }
    run_result parser(strings args) {
        args.insert(args.begin(), "ozaparser");
        return box.applet(args);
    }
};

// A small update: a message, then a file for /data.
manifest greeting() {
    return {.chunks = R"({"type": "MSGB", "text": "Hello from the update"},
                         {"type": "COPY", "index": "data", "path": "hello", "text": "hi"})"};
}

// What the power gate of the box's defaults (USB power, 3.9 V) shows.
const char *const gate_message =
    basic_build ? "Please leave USB cable plugged in during update" : "Update in progress...";

TEST_F(OzaParser, TextModePrintsEveryLineAndSendsNothing) {
    pack(greeting(), update);
    run_result r = parser({"-f", update, "--text"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, std::string("ozaparser: ") + gate_message +
                         "\n"
                         "ozaparser: Hello from the update\n"
                         "ozaparser: progress 500\n"
                         "ozaparser: progress 1000\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ui_commands(box), strings{});
    EXPECT_EQ(starting(box.log(), "zui"), strings{});
    EXPECT_EQ(file("/data/hello"), "hi");
}

TEST_F(OzaParser, NormalAndBannerModesSendTheirCommandLines) {
    struct {
        strings options;
        strings sent;
    } cases[] = {
        {{},
         {std::string("/bin/zui -c message -a centered -t  \"") + gate_message + "\"",
          "/bin/zui -c message -a centered -t  \"Hello from the update\"",
          "/bin/zui -c progress -f 500", "/bin/zui -c progress -f 1000"}},
        {{"--banner"},
         {std::string("/bin/zui -c bannerprogress -t  \"") + gate_message + "\"",
          "/bin/zui -c bannerprogress -t  \"Hello from the update\"",
          "/bin/zui -c bannerprogress -f 500", "/bin/zui -c bannerprogress -f 1000",
          "/bin/zui -c bannerprogress -t  \"Update OK. Device will now reboot.\""}},
    };
    pack(greeting(), update);
    for (const auto &c : cases) {
        box.write("/box/commands", "");
        strings args = {"-f", update};
        args.insert(args.end(), c.options.begin(), c.options.end());
        run_result r = parser(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(ui_commands(box), c.sent);
    }
    // The stand-in received the same commands through the shell.
    EXPECT_TRUE(has(box.log(), "zui -c bannerprogress -t Update OK. Device will now reboot."));
}

// Files that fail with each kind of result, and what each mode shows.
TEST_F(OzaParser, EachFailureShowsItsMessageAndExitsWithItsCode) {
    struct {
        const char *label;
        manifest m;       // packed as the update, unless path is given
        const char *path; // run with this path instead (nullptr: the update; "": no -f)
        size_t tamper;    // a byte to change (0: none)
        int result, status;
        const char *text;
    } cases[] = {
        {"no file", {}, "/cache/none.oza", 0, 201, 201, "Error.  Update file is not valid."},
        {"no -f", {}, "", 0, 201, 201, "Error.  Update file is not valid."},
        {"changed byte", greeting(), nullptr, 300, 207, 207, "Error.  Update file is not valid."},
        {"unknown chunk",
         {.chunks = R"({"type": "raw", "fourcc": "EXT1", "hex": "00"})"},
         nullptr,
         0,
         209,
         209,
         "Error.  Update file is not valid."},
        {"other unit",
         {.unit = "\"gx9\""},
         nullptr,
         0,
         212,
         212,
         "Internal error. Press a key to reboot."},
        {"copy",
         {.chunks = R"({"type": "COPY", "index": "data", "path": "x", "text": "abc",
                               "declared": 4096})"},
         nullptr,
         0,
         214,
         214,
         "Internal error. Copy failed. Press a key to reboot"},
        {"too old",
         {.version = "\"3.0.0\""},
         nullptr,
         0,
         221,
         221,
         "This firmware update is too old for your hardware version."},
        {"not in slot 2",
         {.slot = 2, .chunks = R"({"type": "HDDL", "value": 1})"},
         nullptr,
         0,
         256,
         1,
         "Internal error. Press a key to reboot."},
        {"newer system wanted",
         {.chunks = R"({"type": "MVER", "version": "9.9.9"})"},
         nullptr,
         0,
         283,
         27,
         "Internal error. Press a key to reboot."},
    };
    for (const auto &c : cases) {
        std::string path = c.path ? c.path : update;
        if (!c.path) {
            pack(c.m, update);
            if (c.tamper) box.patch(update, c.tamper, "\x5a");
        }
        strings args;
        if (!path.empty()) args = {"-f", path};

        strings text_args = args;
        text_args.push_back("--text");
        run_result r = parser(text_args);
        EXPECT_EQ(r.status, c.status) << c.label;
        strings err = lines(r.err);
        ASSERT_FALSE(err.empty()) << c.label;
        EXPECT_EQ(err.back(), std::string("ozaparser: error - ") + c.text) << c.label;

        box.write("/box/commands", "");
        strings banner_args = args;
        banner_args.push_back("--banner");
        r = parser(banner_args);
        EXPECT_EQ(r.status, c.status) << c.label;
        strings sent = ui_commands(box);
        ASSERT_FALSE(sent.empty()) << c.label;
        EXPECT_EQ(sent.back(), "/bin/zui --blocked -c bannerprogress -t  \"" + std::string(c.text) +
                                   " (" + std::to_string(c.result) + ")\"")
            << c.label;

        // The normal mode shows no error at all.
        box.write("/box/commands", "");
        r = parser(args);
        EXPECT_EQ(r.status, c.status) << c.label;
        EXPECT_EQ(starting(ui_commands(box), "/bin/zui --blocked"), strings{}) << c.label;
        for (const std::string &line : ui_commands(box))
            EXPECT_EQ(line.find(c.text), std::string::npos) << c.label << ": " << line;
    }
}

TEST_F(OzaParser, APathTooLongForTheContextIsNotCutToAnotherFile) {
    // The first 255 characters name an update that would install.
    const std::string dir = "/cache/" + std::string(240, 'd');
    const std::string path = dir + "/u.oza";
    ASSERT_EQ(path.size(), 253u);
    box.shell("mkdir -p " + dir);
    pack(greeting(), path);
    box.shell("cp " + path + " " + path + "xx"); // 255 characters: fits
    run_result r = parser({"-f", path + "xx", "--text"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = parser({"-f", path + "xxx", "--text"}); // 256: would be cut to the one above
    EXPECT_EQ(r.status, 201) << r.err;
    EXPECT_TRUE(r.err.ends_with("ozaparser: error - Error.  Update file is not valid.\n")) << r.err;
}

// ---- the power gate ----

// An update with no chunks: after the gate the run only shows 1000.
manifest empty_update() {
    return {};
}

struct gate_case {
    const char *label;
    strings init;                                           // devbox init options
    std::vector<std::pair<std::string, std::string>> files; // box files written before the run
    strings options;                                        // more ozaparser options
    std::string err;                                        // before "ozaparser: progress 1000"
};

TEST(OzaParserGate, StartsAtOnceWhenPowerIsThere) {
    const std::string ac = "/sys/class/power_supply/ac/online";
    const std::string twl_ac = "/sys/class/power_supply/twl6030_ac/online";
    const std::string usb = "ozaparser: Please leave USB cable plugged in during update\n";
    const std::string dc = "ozaparser: Do not unplug power cable during update.\n";
    const std::string go = "ozaparser: Update in progress...\n";
    const std::string unknown =
        std::string(basic_build ? "_get_charger_type" : "get_charger_type") +
        " : could not determine charger type : allow flashing\n";
    std::vector<gate_case> cases;
    if constexpr (basic_build) {
        cases = {
            {"USB, low battery", {"--voltage", "3000000"}, {}, {}, usb},
            {"DC-in", {"--charger", "dcin", "--voltage", "3000000"}, {}, {}, dc},
            {"USB-DC", {"--charger", "twl-usb-dc"}, {}, {}, dc},
            {"BQ24167 unknown here: the USB switch decides", {"--charger", "bq24167"}, {}, {}, usb},
            {"no charger-type file", {"--charger", "missing"}, {}, {}, unknown + usb},
            {"--force_dc without power", {"--charger", "dcin"}, {{ac, "0\n"}}, {"--force_dc"}, ""},
        };
    } else {
        cases = {
            {"above 3.8 V", {"--voltage", "3800001"}, {}, {}, go},
            {"exactly 3.8 V on USB", {"--voltage", "3800000"}, {}, {}, usb},
            {"exactly 3.8 V on DC-in", {"--charger", "dcin", "--voltage", "3800000"}, {}, {}, dc},
            {"USB-DC", {"--charger", "twl-usb-dc", "--voltage", "3000000"}, {}, {}, dc},
            {"BQ24167 above 3.6 V", {"--charger", "bq24167", "--voltage", "3600001"}, {}, {}, dc},
            {"BQ24167 on USB host power",
             {"--charger", "bq24167", "--voltage", "3000000"},
             {{twl_ac, "0\n"}},
             {},
             usb},
            {"no charger: mains powered",
             {"--charger", "none", "--voltage", "3000000"},
             {},
             {},
             go},
            {"other charger on USB", {"--charger", "other", "--voltage", "3000000"}, {}, {}, usb},
            {"no charger-type file",
             {"--charger", "missing", "--voltage", "3000000"},
             {},
             {},
             unknown + unknown + unknown + unknown + usb},
            {"--force_dc without power",
             {"--charger", "dcin", "--voltage", "3000000"},
             {{ac, "0\n"}},
             {"--force_dc"},
             go},
        };
    }
    for (const gate_case &c : cases) {
        engine_box::update_box b(c.init);
        ASSERT_EQ(b.box.init_result().status, 0) << b.box.init_result().err;
        for (const auto &[path, text] : c.files) b.box.write(path, text);
        b.pack(empty_update(), update);
        strings args = {"ozaparser", "-f", update, "--text"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        run_result r = b.box.applet(args);
        EXPECT_EQ(r.status, 0) << c.label << "\n" << r.err;
        EXPECT_EQ(r.err, c.err + "ozaparser: progress 1000\n") << c.label;
    }
}

struct wait_case {
    const char *label;
    strings init;
    std::vector<std::pair<std::string, std::string>> files; // written before the run
    std::string later_path, later_text;                     // written while it waits
    std::string repeated;                                   // printed once a round
    strings shown;                                          // the other lines, in order
};

TEST(OzaParserGate, WaitsUntilThePowerComes) {
    const std::string ps = "/sys/class/power_supply/";
    const std::string dc = "ozaparser: Do not unplug power cable during update.";
    const std::string usb = "ozaparser: Please leave USB cable plugged in during update";
    const std::string connect_dc = "ozaparser: Please connect DC-in to update your device.";
    const std::string connect_any =
        "ozaparser: Please connect DC-in or USB cable to update your device.";
    std::vector<wait_case> cases;
    if constexpr (basic_build) {
        cases = {
            {"DC-in",
             {"--charger", "dcin"},
             {{ps + "ac/online", "0\n"}},
             ps + "ac/online",
             "1\n",
             "",
             {connect_dc, dc}},
            {"USB",
             {"--charger", "twl-usb"},
             {{ps + "twl6030_usb/online", "0\n"}},
             ps + "twl6030_usb/online",
             "3\n",
             "",
             {connect_any, usb}},
        };
    } else {
        cases = {
            {"DC-in",
             {"--charger", "dcin", "--voltage", "3500000"},
             {{ps + "ac/online", "0\n"}},
             ps + "ac/online",
             "1\n",
             "ozaparser: waiting charger. (vbat = 3500000)",
             {connect_dc, dc}},
            {"USB",
             {"--charger", "twl-usb", "--voltage", "3500000", "--usb-switch", "DETACHED"},
             {},
             "/sys/class/switch/USB_SWITCH/state",
             "ATTACHED_VBUS\n",
             "ozaparser: waiting charger. (vbat = 3500000)",
             {connect_any, usb}},
            {"BQ24167 at exactly 3.6 V charges first",
             {"--charger", "bq24167", "--voltage", "3600000"},
             {},
             ps + "twl6030_battery/voltage_now",
             "3600001\n",
             "vbat too low, looping (3600000)",
             {"ozaparser: Battery level is too low to update your device, charging.", dc}},
        };
    }
    for (const wait_case &c : cases) {
        engine_box::update_box b(c.init);
        ASSERT_EQ(b.box.init_result().status, 0) << b.box.init_result().err;
        for (const auto &[path, text] : c.files) b.box.write(path, text);
        b.pack(empty_update(), update);
        // The power comes once the program is seen waiting: two rounds of its
        // repeated line, or the first line when it repeats none. The new value
        // is renamed into place: a reader never sees the file truncated and
        // still empty, which real sysfs files never are.
        const std::string waiting =
            c.repeated.empty()
                ? "grep -qxF " + shell_quote(c.shown.front()) + " /tmp/err"
                : "test \"$(grep -cxF " + shell_quote(c.repeated) + " /tmp/err)\" -ge 2";
        const std::string later = shell_quote(c.later_path);
        run_result r = b.box.shell(
            "(for i in $(seq 2400); do " + waiting + " && break; sleep 0.05; done; printf " +
            shell_quote(c.later_text) + " > " + later + ".new; mv " + later + ".new " + later +
            ") &\n" + shell_quote(device_box::executable()) + " ozaparser -f " + update +
            " --text 2> /tmp/err\nstatus=$?; cat /tmp/err >&2; exit $status");
        EXPECT_EQ(r.status, 0) << c.label << "\n" << r.err;
        strings err = lines(r.err), others;
        int rounds = 0;
        for (const std::string &l : err) {
            if (!c.repeated.empty() && l == c.repeated)
                ++rounds;
            else
                others.push_back(l);
        }
        if (!c.repeated.empty()) {
            EXPECT_GE(rounds, 2) << c.label << "\n" << r.err;
            EXPECT_EQ(err.front(), c.repeated) << c.label;
        }
        strings shown = c.shown;
        shown.push_back("ozaparser: progress 1000");
        EXPECT_EQ(others, shown) << c.label << "\n" << r.err;
    }
}

// ---- formatting ----

// A box whose system partition is a bind mount of /system, listed in fstab.
void add_system_partition(const device_box &box) {
    box.write("/system/.keep", "");
    box.write("/etc/fstab", box.read("/etc/fstab") + "/system /mnt/system none bind 0 0\n");
}

// The lines the format utility prints for type (and cleanup).
std::string format_lines(int type, bool cleanup) {
    static const char *const plan[] = {"not format", "create", "format, create",
                                       "mbr, format, create"};
    std::string out = std::string(" * format_utiliy will ") + plan[type <= 3 ? type : 0] +
                      " and will " + (cleanup ? "cleanup" : "not cleanup") + "\n\r";
    if (type == 3)
        out += "write_partition_table: About to write partition table on /dev/sda\n"
               "write_partition_table: Sync'ing /dev/sda\n";
    if (type >= 1)
        for (const char *name : media_directories)
            out += std::string("create_root_fs_directories: mkdir ") + name + "\n";
    if (cleanup) out += "cleanup_system_fs\n";
    return out;
}

TEST(OzaParserFormat, EachTypeThenTheRunGoesOn) {
    struct {
        int type;
        bool cleanup, enciphered;
    } cases[] = {
        {0, true, false}, {1, false, false}, {2, true, false}, {3, false, false}, {3, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + (c.enciphered ? ", enciphered" : ""));
        engine_box::update_box b;
        ASSERT_EQ(b.box.init_result().status, 0) << b.box.init_result().err;
        record_commands(b.box);
        add_system_partition(b.box);
        b.box.write("/system/temporary.oza", "left by an earlier run");
        b.pack({.cipher = c.enciphered ? engine_box::enciphered() : "",
                .chunks = R"({"type": "FRMT", "format": )" + std::to_string(c.type) +
                          R"(, "cleanup": )" + (c.cleanup ? "1" : "0") + R"(},
                          {"type": "COPY", "index": "data", "path": "after", "text": "a"})"},
               update);
        const std::string before = b.file(update);

        run_result r =
            b.box.shell("mount /mnt/system && " + device_box::executable() + " ozaparser -f " +
                        update + " --text; s=$?; grep -c ' /mnt/system ' /proc/mounts; exit $s");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, std::string("ozaparser: ") + gate_message + "\n" +
                             format_lines(c.type, c.cleanup) +
                             "ozaparser: progress 500\nozaparser: progress 1000\n");
        EXPECT_EQ(lines(r.out).back(), "1") << "the system partition is mounted again\n" << r.out;
        EXPECT_EQ(b.file("/data/after"), "a") << "the chunk after FRMT ran";
        EXPECT_EQ(b.file(update), before);
        EXPECT_EQ(b.box.exists("/system/temporary.oza"), c.type < 2 && !c.cleanup);

        strings copies, formats;
        if (c.type >= 2) {
            copies = {"/bin/cp /cache/u.oza /mnt/system/temporary.oza",
                      "/bin/cp /mnt/system/temporary.oza /cache/u.oza"};
            formats = {"/sbin/mkdosfs -F 32 -n ZEMO_MEDIA /dev/sda1"};
        }
        EXPECT_EQ(commands(b.box, "/bin/cp"), copies);
        EXPECT_EQ(commands(b.box, "/sbin/mkdosfs"), formats);
        EXPECT_EQ(has(b.box.log(), "BLKRRPART /dev/sda"), c.type == 3);
        EXPECT_EQ(b.box.exists("/mnt/data/PDF"), c.type >= 1);
        if (c.type >= 2) {
            run_result label =
                run_program("/usr/sbin/fatlabel", {"fatlabel", b.box.host_path("/dev/sda1")});
            EXPECT_EQ(label.out, "ZEMO_MEDIA\n") << label.err;
        }
        if (c.type == 3) {
            master_boot_record mbr;
            ASSERT_EQ(build_master_boot_record(63, 0, 1048576, mbr), 0);
            EXPECT_EQ(b.file("/dev/sda").substr(0, 512),
                      std::string(reinterpret_cast<const char *>(&mbr), 512));
        }
    }
}

// The format utility by itself (sysinfo-driver): where the descriptor it
// gives back stands, and each failure.
TEST(OzaParserFormat, TheUpdateFileIsReopenedAtTheSamePlace) {
    struct {
        const char *label;
        int type;
        const char *setup; // shell commands run first in the box
        int result;
        const char *descriptor;
        const char *err; // after the plan line
        bool exact;      // err is all that follows (else: how it ends)
    } cases[] = {
        {"no format", 0, "", 0, "same", "", true},
        {"directories only", 1, "", 0, "same", nullptr, false},
        {"data partition", 2, "", 0, "new", nullptr, false},
        {"partition table", 3, "mount /mnt/system", 0, "new", nullptr, false},
        {"type 4: only the copy", 4, "", 0, "new", "", true},
        {"no system partition", 2, "rm -r /mnt/system", 238, "same",
         "ERR could not copy OZA from /cache/u.oza to /mnt/system/temporary.oza\n\r", false},
        {"system partition not mounted", 3, "", 239, "none",
         "/mnt/system/ is not an actual mount point\n\r", true},
        {"data partition missing", 2, "rm /dev/sda1", 240, "none", nullptr, false},
        {"no data volume", 1, "rm -r /mnt/data", 241, "same",
         "create_root_fs_directories: Could not chdir to /mnt/data/\n", true},
        {"no data volume after formatting", 2, "rm -r /mnt/data", 241, "none",
         "create_root_fs_directories: Could not chdir to /mnt/data/\n", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        device_box box;
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        add_system_partition(box);
        std::string bytes;
        for (int i = 0; i < 5000; ++i) bytes += static_cast<char>('A' + i % 26);
        box.write(update, bytes);

        run_result r =
            box.shell(std::string(c.setup) + (*c.setup ? " && " : "") + SYSINFO_DRIVER +
                      " format_utility " + std::to_string(c.type) + " 0 " + update + " 1234");
        EXPECT_NE(r.out.find(std::string(c.descriptor) == "none"
                                 ? "position=-1\ndescriptor=none\n"
                                 : std::string("position=1234\ndescriptor=") + c.descriptor + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(r.out.ends_with("result=" + std::to_string(c.result) + "\n")) << r.out;
        const std::string all = format_lines(c.type, false);
        const std::string plan = all.substr(0, all.find("\n\r") + 2);
        EXPECT_TRUE(r.err.starts_with(plan)) << r.err;
        if (c.err && c.exact) {
            EXPECT_EQ(r.err, plan + c.err);
        } else if (c.err) {
            EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
        }
        EXPECT_EQ(box.read(update), bytes) << "the update file is kept";
    }
}

} // namespace
