// The applets run in a device box against the tablet's files.
#include "core/config.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
