// adev's HDMI handling (full build) in device boxes, against the box's
// display-composition stand-in: the mode choice, the set-up and restore
// sequences, the start-up check and -s.
#include "core/config.h"

#include "tests/box/adev_daemon.h"
#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

#define SKIP_IN_BASIC()                                                                            \
    if constexpr (basic_build) GTEST_SKIP() << "the basic build has no HDMI handling"

const std::string dss = "/sys/devices/platform/omapdss/";
const std::string overlay1 = dss + "overlay1/";

uevent_args hdmi(const std::string &state) {
    return uevent("change", "/devices/virtual/switch/hdmi",
                  {"SUBSYSTEM=switch", "SWITCH_NAME=hdmi", "SWITCH_STATE=" + state});
}

// Replaces the display settings of the box's stand-in.
void set_display(const device_box &box, const std::vector<std::string> &modes,
                 const std::string &max_khz = "148500", const std::string &current = "0,0,0") {
    std::istringstream in(box.read("/box/config"));
    std::string config;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("hdmi_", 0) != 0) config += line + "\n";
    config += "hdmi_max_pixclock=" + max_khz + "\nhdmi_current=" + current + "\n";
    for (const std::string &m : modes) config += "hdmi_mode=" + m + "\n";
    box.write("/box/config", config);
}

// The 32-bit words of the set-up blocks the stand-in was given.
std::vector<std::vector<uint32_t>> setups(const device_box &box) {
    std::vector<std::vector<uint32_t>> blocks;
    for (const std::string &line : box.log()) {
        if (line.rfind("dsscomp setup ", 0) != 0) continue;
        std::string hex = line.substr(14);
        std::vector<uint32_t> words;
        for (size_t at = 0; at + 8 <= hex.size(); at += 8) {
            uint32_t w = 0;
            for (int b = 3; b >= 0; --b)
                w = w << 8 |
                    static_cast<uint32_t>(std::stoul(hex.substr(at + b * 2, 2), nullptr, 16));
            words.push_back(w);
        }
        blocks.push_back(words);
    }
    return blocks;
}

// Output of the daemon since the last call.
struct output_reader {
    const device_box &box;
    size_t seen = 0;
    std::string next() {
        std::string out = box.read("/tmp/adev.out");
        std::string fresh = out.substr(std::min(seen, out.size()));
        seen = out.size();
        return fresh;
    }
};

// Every HDMI test needs root and the full build.
class BoxHdmi : public adev_box_test {
protected:
    void SetUp() override {
        SKIP_UNLESS_ROOT();
        SKIP_IN_BASIC();
    }
};

TEST_F(BoxHdmi, ChoosesTheBestModeTheDisplayOffers) {
    struct choice_case {
        const char *what;
        std::vector<std::string> modes; // refresh,w,h,pixclock,vmode,tag (left margin)
        std::string max_khz;
        int tag;         // the mode set up, 0 for none
        std::string out; // what the choice and set-up print
    };
    const std::string p720 = "ADEV: Setup HDMI to mode 1280x720@60\n64,36 1152,648\n";
    const choice_case cases[] = {
        {"1080 lines only at the low rate; 720 lines at 60 and 50 Hz",
         {"60,1920,1080,13468,0,1", "50,1920,1080,13468,0,2", "60,1280,720,13468,0,3",
          "50,1280,720,13468,0,4"},
         "148500",
         3,
         p720},
        {"60 Hz after 50 Hz",
         {"50,1280,720,13468,0,1", "60,1280,720,13468,0,2"},
         "148500",
         2,
         p720},
        {"50 Hz after 60 Hz",
         {"60,1280,720,13468,0,1", "50,1280,720,13468,0,2"},
         "148500",
         1,
         p720},
        {"equal modes: the later",
         {"60,1280,720,13468,0,1", "60,1280,720,13468,0,2"},
         "148500",
         2,
         p720},
        {"interlaced 1080 lines first",
         {"60,1920,1080,6734,1,1", "60,1280,720,13468,0,2"},
         "148500",
         2,
         p720},
        {"a pixel clock over the limit",
         {"60,1920,1080,6734,0,1", "60,1280,720,13468,0,2"},
         "74250",
         2,
         "Pixel Clock 148500 kHz bigger than fclk 74250 kHz - Not supported\n" + p720},
        {"wider but not as tall",
         {"60,1280,720,13468,0,1", "60,1440,576,18518,0,2"},
         "148500",
         1,
         p720},
        {"wider and as tall",
         {"60,1280,720,13468,0,1", "60,1440,720,13000,0,2"},
         "148500",
         2,
         "ADEV: Setup HDMI to mode 1440x720@60\n72,36 1296,648\n"},
        {"narrower",
         {"60,1920,1080,6734,0,1", "60,1280,720,13468,0,2"},
         "148500",
         1,
         "ADEV: Setup HDMI to mode 1920x1080@60\n96,54 1728,972\n"},
        {"as wide and taller",
         {"60,720,480,37037,0,1", "50,720,576,37037,0,2"},
         "148500",
         2,
         "ADEV: Setup HDMI to mode 720x576@50\n36,28 648,519\n"},
        {"a mode without a pixel clock",
         {"60,1920,1080,0,0,1", "60,1280,720,13468,0,2"},
         "148500",
         2,
         p720},
        {"interlaced modes only",
         {"60,1920,1080,6734,1,1", "30,1920,1080,13468,2,2"},
         "148500",
         0,
         "ADEV : HDMI Error couldn't find any proper HDMI mode.\n"},
        {"no modes", {}, "148500", 0, "ADEV HDMI Error EDID is empty\n"},
    };
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--board", "WESKO"}));
    device_box &box = daemon_box();
    output_reader out{box};
    out.next();
    for (const choice_case &c : cases) {
        set_display(box, c.modes, c.max_khz);
        ASSERT_TRUE(send_events(box, {hdmi("0")})) << c.what;
        EXPECT_EQ(out.next(), "ADEV : Disabling HDMI\n") << c.what;
        box.clear_log();
        ASSERT_TRUE(send_events(box, {hdmi("2")})) << c.what;
        EXPECT_EQ(out.next(), c.out) << c.what;
        auto blocks = setups(box);
        if (c.tag == 0) {
            EXPECT_TRUE(blocks.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(blocks.size(), 1u) << c.what;
        EXPECT_EQ(blocks[0][0], 1u) << c.what << ": display index";
        EXPECT_EQ(blocks[0][1 + 5], static_cast<uint32_t>(c.tag)) << c.what;
    }
}

// The display subsystem's attributes a set-up or restore writes.
struct display_files {
    std::vector<std::string> values;
    static display_files of(const device_box &box) {
        display_files f;
        for (const char *o : {"overlay0/", "overlay1/", "overlay2/", "overlay3/"})
            for (const char *a : {"enabled", "manager", "input_size", "position", "output_size",
                                  "x_decim", "y_decim", "zorder"})
                f.values.push_back(std::string(o) + a + "=" + box.read(dss + o + a));
        f.values.push_back("display1/enabled=" + box.read(dss + "display1/enabled"));
        f.values.push_back("fb0/overlays=" + box.read("/sys/class/graphics/fb0/overlays"));
        return f;
    }
    std::string operator[](const std::string &name) const {
        for (const std::string &v : values)
            if (v.rfind(name + "=", 0) == 0) return v.substr(name.size() + 1);
        return "?";
    }
};

TEST_F(BoxHdmi, SetUpRoutesTheFrameBufferToTheTvAndRestoreBringsItBack) {
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--board", "WESKO"}));
    device_box &box = daemon_box();
    output_reader out{box};
    out.next();
    box.clear_log();

    // The default display offers 1920 x 1080 at 60 Hz first.
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(out.next(), "ADEV: Setup HDMI to mode 1920x1080@60\n96,54 1728,972\n");
    const std::vector<std::string> log = box.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], "dsscomp query 6");
    EXPECT_EQ(log[1], "dsscomp setup 01000000" // display 1, then the whole mode entry
                      "00000000"
                      "3c000000"
                      "80070000"
                      "38040000"
                      "4e1a0000" +
                          std::string(9 * 8, '0'));
    display_files f = display_files::of(box);
    for (const char *o : {"overlay0", "overlay2", "overlay3"}) {
        EXPECT_EQ(f[std::string(o) + "/enabled"], "0") << o;
        EXPECT_EQ(f[std::string(o) + "/manager"], "") << o;
    }
    EXPECT_EQ(f["overlay1/enabled"], "1");
    EXPECT_EQ(f["overlay1/manager"], "tv");
    EXPECT_EQ(f["overlay1/input_size"], "1280,720");
    EXPECT_EQ(f["overlay1/output_size"], "1728,972\n");
    EXPECT_EQ(f["overlay1/position"], "96,54\n");
    EXPECT_EQ(f["overlay1/zorder"], "0");
    EXPECT_EQ(f["fb0/overlays"], "1");

    // Set up already: a second "2" or a "1" changes nothing.
    box.clear_log();
    ASSERT_TRUE(send_events(box, {hdmi("2"), hdmi("1"), hdmi("3"), hdmi("")}));
    EXPECT_EQ(out.next(), "");
    for (const std::string &line : box.log())
        EXPECT_EQ(line.rfind("dsscomp setup", 0), std::string::npos);
    EXPECT_EQ(display_files::of(box).values, f.values);

    // Removal: the restore sequence, write by write.
    const std::string probe = shell_quote(device_box::built("tests/box-probe"));
    ASSERT_TRUE(box.exec_shell(probe + " watch-writes 3 /tmp/watching " + dss + "overlay0 " + dss +
                               "overlay1 " + dss + "display1 /sys/class/graphics/fb0" +
                               " > /tmp/writes 2>&1 &")
                    .status == 0);
    ASSERT_TRUE(wait_until([&] { return box.exists("/tmp/watching"); }));
    ASSERT_TRUE(send_events(box, {hdmi("0")}));
    EXPECT_EQ(out.next(), "ADEV : Disabling HDMI\n");
    const std::vector<std::string> sequence = {
        "display1/enabled", "overlay1/position", "overlay1/output_size", "overlay1/x_decim",
        "overlay1/y_decim", "overlay1/manager",  "overlay1/enabled",     "fb0/overlays",
        "display1/enabled", "fb0/overlays",      "overlay0/enabled"};
    std::string expected;
    for (const std::string &s : sequence)
        expected += (s.rfind("fb0", 0) == 0 ? "/sys/class/graphics/" : dss) + s + "\n";
    wait_until([&] { return box.read("/tmp/writes") == expected; }, 3000);
    EXPECT_EQ(box.read("/tmp/writes"), expected);
    f = display_files::of(box);
    EXPECT_EQ(f["display1/enabled"], "1");
    EXPECT_EQ(f["overlay1/position"], "0,0");
    EXPECT_EQ(f["overlay1/output_size"], "0,0");
    EXPECT_EQ(f["overlay1/x_decim"], "1..16");
    EXPECT_EQ(f["overlay1/y_decim"], "1..16");
    EXPECT_EQ(f["overlay1/manager"], "lcd2");
    EXPECT_EQ(f["overlay1/enabled"], "0");
    EXPECT_EQ(f["fb0/overlays"], "1");
    EXPECT_EQ(f["overlay0/enabled"], "1");

    // After the restore a set-up happens again.
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(out.next(), "ADEV: Setup HDMI to mode 1920x1080@60\n96,54 1728,972\n");
}

TEST_F(BoxHdmi, ZemoKeepsAFullHdInput) {
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--board", "ZEMO"}));
    device_box &box = daemon_box();
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(box.read(overlay1 + "input_size"), "1920,1080");
    EXPECT_EQ(box.read(overlay1 + "output_size"), "1728,972\n");
    EXPECT_EQ(box.read(overlay1 + "manager"), "tv");
    EXPECT_EQ(box.read(overlay1 + "enabled"), "1");
}

TEST_F(BoxHdmi, StateOneSetsUpTheCurrentTiming) {
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--board", "WESKO"}));
    device_box &box = daemon_box();
    output_reader out{box};
    out.next();
    const std::vector<std::string> modes = {"60,1920,1080,6734,0,1", "60,1280,720,13468,0,2",
                                            "50,1280,720,13468,0,3"};
    // No mode equal to the current timing: nothing set up, nothing printed.
    set_display(box, modes, "148500", "1024,768,15384");
    box.clear_log();
    ASSERT_TRUE(send_events(box, {hdmi("1")}));
    EXPECT_EQ(out.next(), "");
    EXPECT_TRUE(setups(box).empty());
    // The first mode equal to it.
    set_display(box, modes, "148500", "1280,720,13468");
    ASSERT_TRUE(send_events(box, {hdmi("1")}));
    EXPECT_EQ(out.next(), "ADEV: Setup HDMI to mode 1280x720@60\n64,36 1152,648\n");
    ASSERT_EQ(setups(box).size(), 1u);
    EXPECT_EQ(setups(box)[0][6], 2u);
}

TEST_F(BoxHdmi, StartUpCheckSetsUpADisplayAlreadyPlugged) {
    struct start_case {
        const char *state;
        std::string out;
    };
    const start_case cases[] = {
        {"2\n", "ADEV: Setup HDMI to mode 1920x1080@60\n96,54 1728,972\n"},
        {"1\n", "ADEV: Setup HDMI to mode 1280x720@60\n64,36 1152,648\n"},
        {"0\n", ""},
        {"", ""},
    };
    for (const start_case &c : cases) {
        device_box box({"--board", "WESKO"});
        ASSERT_EQ(box.init_result().status, 0);
        box.write("/sys/devices/virtual/switch/hdmi/state", c.state);
        ASSERT_TRUE(start_adev(box));
        const std::string expected = "Starting ADEV...\n" + c.out;
        EXPECT_TRUE(wait_until([&] { return box.read("/tmp/adev.out") == expected; }, 5000))
            << c.state << box.read("/tmp/adev.out");
    }
}

TEST_F(BoxHdmi, FailuresAreReportedAndLeaveHdmiOff) {
    ASSERT_NO_FATAL_FAILURE(start_daemon({"--board", "WESKO"}));
    device_box &box = daemon_box();
    output_reader out{box};
    out.next();

    box.set("dsscomp_query_errno", "5");
    ASSERT_TRUE(send_events(box, {hdmi("2"), hdmi("1")}));
    EXPECT_EQ(out.next(), "Error : failed to get display info : Input/output error\n"
                          "Error : failed to get display info : Input/output error\n");
    box.set("dsscomp_query_errno", "0");
    box.set("dsscomp_setup_errno", "22");
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(out.next(), "ADEV: Setup HDMI to mode 1920x1080@60\n"
                          "ADEV : HDMI Error failed to set modedb : Invalid argument\n"
                          "ADEV : Couldn't properly enable HDMI\n");
    EXPECT_EQ(box.read(overlay1 + "enabled"), "0");
    // The failed set-up left HDMI off: the next "2" tries again.
    box.set("dsscomp_setup_errno", "0");
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(out.next(), "ADEV: Setup HDMI to mode 1920x1080@60\n96,54 1728,972\n");

    // A restore stops silently at the first attribute that fails.
    ASSERT_EQ(unlink(box.host_path(overlay1 + "x_decim").c_str()), 0);
    ASSERT_TRUE(send_events(box, {hdmi("0")}));
    EXPECT_EQ(out.next(), "ADEV : Disabling HDMI\n");
    EXPECT_EQ(box.read(overlay1 + "output_size"), "0,0");
    EXPECT_EQ(box.read(overlay1 + "manager"), "tv");
    EXPECT_EQ(box.read(overlay1 + "enabled"), "1");

    box.write(overlay1 + "x_decim", "1..16");
    ASSERT_TRUE(send_events(box, {hdmi("0")}));
    EXPECT_EQ(out.next(), "ADEV : Disabling HDMI\n");
    EXPECT_EQ(box.read(overlay1 + "manager"), "lcd2");

    // A set-up stops at the first attribute that cannot be written, without
    // undoing the steps before it.
    ASSERT_EQ(unlink(box.host_path(overlay1 + "position").c_str()), 0);
    ASSERT_EQ(mkdir(box.host_path(overlay1 + "position").c_str(), 0755), 0);
    box.clear_log();
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(out.next(), "ADEV : Couldn't properly enable HDMI\n");
    EXPECT_TRUE(setups(box).empty());
    EXPECT_EQ(box.read(dss + "overlay0/enabled"), "0");
    EXPECT_EQ(box.read(overlay1 + "input_size"), "1280,720");
    ASSERT_EQ(rmdir(box.host_path(overlay1 + "position").c_str()), 0);
    box.write(overlay1 + "position", "0,0");
    ASSERT_TRUE(send_events(box, {hdmi("2"), hdmi("0")}));
    EXPECT_EQ(out.next(), "ADEV: Setup HDMI to mode 1920x1080@60\n96,54 1728,972\n"
                          "ADEV : Disabling HDMI\n");

    // Without the device.
    ASSERT_EQ(unlink(box.host_path("/dev/dsscomp").c_str()), 0);
    ASSERT_TRUE(send_events(box, {hdmi("2")}));
    EXPECT_EQ(out.next(), "Error : failed to open dsscomp\n");
}

TEST_F(BoxHdmi, ListsTheDisplaysModes) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.applet({"adev", "-s"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ADEV : HDMI (0) x:1920 y:1080 pixclock:6734 vmode:0\n"
                     "ADEV : HDMI (1) x:1920 y:1080 pixclock:13468 vmode:0\n"
                     "ADEV : HDMI (2) x:1280 y:720 pixclock:13468 vmode:0\n"
                     "ADEV : HDMI (3) x:1280 y:720 pixclock:13468 vmode:0\n"
                     "ADEV : HDMI (4) x:720 y:480 pixclock:37037 vmode:0\n"
                     "ADEV : HDMI (5) x:1920 y:1080 pixclock:13468 vmode:1\n");
    set_display(box, {});
    r = box.applet({"adev", "-s"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    box.set("dsscomp_query_errno", "5");
    r = box.applet({"adev", "-s"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error : failed to get display info : Input/output error\n");
    ASSERT_EQ(unlink(box.host_path("/dev/dsscomp").c_str()), 0);
    r = box.applet({"adev", "-s"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Error : failed to open dsscomp\n");
}

} // namespace
