// The installed executable and links in the tablet's tree: scripts call the
// applets by their /sbin names, or by name through PATH.
#include "core/config.h"

#include "tests/support/devbox.h"
#include "tests/support/install.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BoxInstall, ScriptsRunTheInstalledApplets) {
    device_box box({"--voltage", "3812345"});
    ASSERT_EQ(box.init_result().status, 0);
    const std::string component = basic_build ? "varitool-basic" : "varitool";
    run_result installed = install_component(box.root(), component);
    ASSERT_EQ(installed.status, 0) << installed.err;

    const std::string sbin = install_dir;
    const char *trigger = "/sys/class/leds/power/trigger";
    EXPECT_EQ(box.run({sbin + "/led", "-s", "1"}).status, 10);
    EXPECT_EQ(box.read(trigger), "default-on");

    run_result r = box.shell("led -b && bat");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3812345");
    EXPECT_EQ(box.read(trigger), "timer");

    // The executable's own name takes the applet from the first argument.
    r = box.run({sbin + "/" + component, "led", "-s", "0"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(box.read(trigger), "none");
}

} // namespace
