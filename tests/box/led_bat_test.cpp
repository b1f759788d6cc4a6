// led and bat in a device box, against the tablet's LED and battery files.
#include "core/config.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(BoxApplets, LedWritesThePowerLedFiles) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    const char *trigger = "/sys/class/leds/power/trigger";
    EXPECT_EQ(box.applet({"led", "-s", "1"}).status, 10);
    EXPECT_EQ(box.read(trigger), "default-on");
    EXPECT_EQ(box.applet({"led", "-s", "0"}).status, 4);
    EXPECT_EQ(box.read(trigger), "none");
    EXPECT_EQ(box.applet({"led", "-s", "2"}).status, 255);
    EXPECT_EQ(box.read(trigger), "none");
    EXPECT_EQ(box.applet({"led", "-b"}).status, 0);
    EXPECT_EQ(box.read(trigger), "timer");
    EXPECT_EQ(box.read("/sys/class/leds/power/delay_on"), "1000");
    EXPECT_EQ(box.read("/sys/class/leds/power/delay_off"), "1000");
    // Through its link name, as init scripts call it.
    run_result r = box.shell("ln -s " + device_box::executable() + " /tmp/led && /tmp/led -s 1");
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(box.read(trigger), "default-on");
}

TEST(BoxApplets, BatReadsTheBoxBattery) {
    device_box box({"--voltage", "4012345", "--current", "-120000"});
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.applet({"bat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "4012345");
    if constexpr (!basic_build) {
        EXPECT_EQ(box.applet({"bat", "-i"}).out, "-120000");
        // Without a TWL6030 charger the voltage comes from the other supply.
        box.write("/sys/devices/platform/battery/charger_type", "CHARGER_DCIN\n");
        box.write("/sys/class/power_supply/battery/voltage_now", "3700000\n");
        EXPECT_EQ(box.applet({"bat"}).out, "3700000");
    } else {
        box.write("/sys/class/power_supply/ac/online", "1\n");
        box.write("/sys/devices/platform/battery/charger_type", "CHARGER_DCIN\n");
        run_result p = box.applet({"bat", "-p"});
        EXPECT_EQ(p.out, "1\n");
        EXPECT_EQ(p.status, 13);
    }
}

TEST(BoxApplets, LedActsOnTheFirstOptionOnly) {
    device_box box;
    const char *trigger = "/sys/class/leds/power/trigger";
    const std::string usage = "Usage: led -s <boolean>\t: turn on/off led\n"
                              "       led -b\t\t: make the led blink (T=1s)\n";
    EXPECT_EQ(box.applet({"led", "-s", "1", "-s", "0"}).status, 10);
    EXPECT_EQ(box.read(trigger), "default-on");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"led", "-h"},
          std::vector<std::string>{"led", "-x", "-s", "0"}}) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, usage);
    }
    run_result r = box.applet({"led"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(box.read(trigger), "default-on") << "nothing written without a valid option";
    // Without the LED the write's -1 is the result.
    box.run({"/bin/busybox", "rm", trigger});
    EXPECT_EQ(box.applet({"led", "-s", "0"}).status, 255);
}

TEST(BoxApplets, BatOptions) {
    device_box box({"--voltage", "3812345", "--current", "98765"});
    if constexpr (!basic_build) {
        // Any argument but -i gives the voltage.
        EXPECT_EQ(box.applet({"bat", "-c"}).out, "3812345");
        EXPECT_EQ(box.applet({"bat", "-i", "-x"}).out, "98765");
        return;
    }
    const std::string usage = "Usage: bat \t: voltage\n"
                              "       bat -c\t: charger type\n"
                              "       bat -p\t: power supply (type) (-1 to 5)\n";
    run_result r = box.applet({"bat", "-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(box.applet({"bat", "-i"}).out, usage);

    // The box's charger is the TWL6030 USB with host power (online 3).
    r = box.applet({"bat", "-c"});
    EXPECT_EQ(r.out, "CHARGER_TWL6030USB\n");
    EXPECT_EQ(r.status, 19);
    r = box.applet({"bat", "-p"});
    EXPECT_EQ(r.out, "3\n");
    EXPECT_EQ(r.status, 19);

    box.write("/sys/devices/platform/battery/charger_type", "CHARGER_TWL6030USB_DC\n");
    box.write("/sys/class/power_supply/twl6030_ac/online", "1\n");
    r = box.applet({"bat", "-p"});
    EXPECT_EQ(r.out, "1\n");
    EXPECT_EQ(r.status, 22);

    box.write("/sys/devices/platform/battery/charger_type", "CHARGER_BQ24167\n");
    r = box.applet({"bat", "-p"});
    EXPECT_EQ(r.out, "-1");
    EXPECT_EQ(r.status, 255);

    box.run({"/bin/busybox", "rm", "/sys/devices/platform/battery/charger_type"});
    r = box.applet({"bat", "-p"});
    EXPECT_EQ(r.out, "-1\n");
    EXPECT_EQ(r.status, 255);
    r = box.applet({"bat", "-c"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(box.applet({"bat"}).out, "3812345") << "the TWL6030 battery whatever the charger";
}

} // namespace
