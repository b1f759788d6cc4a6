// cmake --install lays out the executable and one symbolic link per applet;
// the applets run through the links.
#include "core/applet.h"
#include "core/config.h"

#include "tests/support/install.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

const std::string component = basic_build ? "varitool-basic" : "varitool";

class Install : public ::testing::Test {
protected:
    scratch_dir root;
    std::string sbin = root.path + install_dir;

    void SetUp() override {
        run_result r = install_component(root.path, component);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
};

TEST_F(Install, ExecutableAndOneLinkPerRegisteredApplet) {
    std::set<std::string> expected = {component};
    const applet_table &t = registered_applets();
    for (int i = 0; i < t.count; ++i) expected.insert(t.records[i]->name);

    std::set<std::string> found;
    for (const fs::directory_entry &e : fs::directory_iterator(sbin)) {
        const std::string name = e.path().filename();
        found.insert(name);
        if (name == component) {
            EXPECT_FALSE(e.is_symlink());
            EXPECT_TRUE(e.is_regular_file());
            struct stat st;
            ASSERT_EQ(stat(e.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0111, 0111u) << "executable by everyone";
        } else {
            // Relative, so that the tree works wherever it is mounted.
            ASSERT_TRUE(e.is_symlink()) << name;
            EXPECT_EQ(fs::read_symlink(e.path()), component) << name;
        }
    }
    EXPECT_EQ(found, expected);
    // Only this configuration: the other's executable stays out.
    EXPECT_FALSE(file_exists(sbin + "/" + (basic_build ? "varitool" : "varitool-basic")));
}

TEST_F(Install, AppletsRunThroughTheirLinks) {
    // led's usage names the applet as invoked; it touches no device file.
    const std::string led = sbin + "/led";
    run_result r = run_program(led, {led, "-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind("Usage: " + led + " -s <boolean>", 0), 0u) << r.out;
    // The executable's own name is no applet: it takes the applet from its
    // first argument.
    const std::string exe = sbin + "/" + component;
    r = run_program(exe, {exe, "led", "-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind("Usage: led -s <boolean>", 0), 0u) << r.out;
}

// The host tool is a component of its own, outside the device's tree.
TEST(InstallOzatool, ComponentOfItsOwn) {
    scratch_dir root;
    run_result r = install_component(root.path, "ozatool");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string tool = root.path + "/bin/ozatool";
    r = run_program(tool, {tool, "--version"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("ozatool ", 0), 0u) << r.out;
    std::set<std::string> found;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(root.path))
        if (!e.is_directory()) found.insert(e.path().lexically_relative(root.path));
    EXPECT_EQ(found, std::set<std::string>{"bin/ozatool"});
}

TEST_F(Install, TheDevicesTreeHoldsNoHostTool) {
    EXPECT_FALSE(file_exists(root.path + "/bin/ozatool"));
}

TEST_F(Install, InstallingAgainReplacesTheLinks) {
    // A stale file in a link's place (an older tool of that name) goes.
    fs::remove(sbin + "/led");
    write_text(sbin + "/led", "old");
    run_result r = install_component(root.path, component);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::read_symlink(sbin + "/led"), component);
}

} // namespace
