// The applet registry: matching invoked names, ordered insertion, a full table, and the
// registrations of both configurations against the applet list.
#include "core/applet.h"
#include "core/config.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct name_case {
    const char *invoked;
    const char *applet;
    bool matches;
};

TEST(AppletName, MatchesTailAfterSlashOnly) {
    const name_case cases[] = {
        {"led", "led", true},        {"/bin/led", "led", true},
        {"./led", "led", true},      {"/usr/local/sbin/mkfs.ext3_parser", "mkfs.ext3_parser", true},
        {"xled", "led", false},      {"led.old", "led", false},
        {"le", "led", false},        {"", "led", false},
        {"/bin/xled", "led", false}, {"led/", "led", false},
    };
    for (const name_case &c : cases)
        EXPECT_EQ(applet_name_matches(c.invoked, c.applet), c.matches)
            << c.invoked << " vs " << c.applet;
}

int no_entry(int, char **) {
    return 0;
}

std::vector<std::string> names_of(const applet_table &t) {
    std::vector<std::string> names;
    for (int i = 0; i < t.count; ++i) names.emplace_back(t.records[i]->name);
    return names;
}

TEST(AppletTable, InsertKeepsTheFixedOrderWhateverTheArrivalOrder) {
    static const applet led{"led", "", no_entry}, acat{"acat", "", no_entry},
        reboot{"reboot_into", "", no_entry}, adev{"adev", "", no_entry},
        extra1{"zz_extra", "", no_entry}, extra2{"aa_extra", "", no_entry};
    applet_table t{};
    for (const applet *a : {&extra1, &led, &reboot, &extra2, &acat, &adev})
        ASSERT_EQ(applet_table_insert(t, a), a);
    EXPECT_EQ(names_of(t), (std::vector<std::string>{"acat", "adev", "led", "reboot_into",
                                                     "zz_extra", "aa_extra"}));
}

TEST(AppletTable, RefusesTheSixtyFifthRecord) {
    static const applet a{"acat", "", no_entry};
    applet_table t{};
    for (int i = 0; i < applet_table_capacity; ++i) ASSERT_NE(applet_table_insert(t, &a), nullptr);
    EXPECT_EQ(applet_table_insert(t, &a), nullptr);
    EXPECT_EQ(t.count, applet_table_capacity);
}

TEST(AppletTable, RegisteredAppletsFollowTheFixedOrder) {
    std::vector<std::string> expected;
    std::vector<std::string> registered = names_of(registered_applets());
    for (const char *name : applet_order)
        for (const std::string &r : registered)
            if (r == name) expected.push_back(r);
    EXPECT_EQ(registered, expected) << "every applet is in applet_order, in that order";
    EXPECT_LE(registered.size(), std::size(applet_order));
}

TEST(AppletTable, EveryListedAppletIsRegistered) {
    // The install rule makes a link per listed name: a line without its
    // applet would install a link that runs nothing.
    std::vector<std::string> listed(std::begin(applet_order), std::end(applet_order));
    EXPECT_EQ(names_of(registered_applets()), listed);
}

TEST(AppletTable, FindReturnsTheEntryOfTheNamedApplet) {
    ASSERT_NE(find_applet("led"), nullptr);
    EXPECT_EQ(find_applet("/sbin/led"), find_applet("led"));
    EXPECT_EQ(find_applet("nosuch"), nullptr);
    EXPECT_EQ(find_applet(nullptr), nullptr);
}

// The dispatcher, through the real executable of this configuration.
class Dispatch : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string exe = VARITOOL_EXECUTABLE;

    // A symbolic link to the executable named name in the scratch directory.
    std::string link(const std::string &name) {
        std::string path = dir.at(name);
        EXPECT_EQ(symlink(exe.c_str(), path.c_str()), 0);
        return path;
    }
};

const char led_usage[] = "Usage: %s -s <boolean>\t: turn on/off led\n"
                         "       %s -b\t\t: make the led blink (T=1s)\n";

std::string usage_for(const std::string &self) {
    char text[1024];
    snprintf(text, sizeof text, led_usage, self.c_str(), self.c_str());
    return text;
}

TEST_F(Dispatch, FirstArgumentNamesTheAppletWhichSeesItsOwnName) {
    run_result r = run_program(exe, {exe, "led", "-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, usage_for("led"));
}

TEST_F(Dispatch, InvocationNameNamesTheAppletWithTheFullArgv) {
    std::string led = link("led");
    for (const std::string &argv0 : {led, std::string("led"), std::string("./led")}) {
        run_result r = run_program(led, {argv0, "-h"});
        EXPECT_EQ(r.status, 255) << argv0;
        EXPECT_EQ(r.out, usage_for(argv0)) << argv0;
    }
}

TEST_F(Dispatch, UnknownInvocationNamesAreNotApplets) {
    for (const char *name : {"xled", "led.old"}) {
        std::string path = link(name);
        run_result r = run_program(path, {path});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "varitool: '" + path + "' command not provided\n");
    }
}

TEST_F(Dispatch, MessageNamesArgvZeroNotTheUnknownArgument) {
    run_result none = run_program(exe, {exe});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "varitool: '" + exe + "' command not provided\n");

    run_result unknown = run_program(exe, {exe, "nosuch"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "varitool: '" + exe + "' command not provided\n");
    EXPECT_EQ(unknown.err, "");
}

TEST_F(Dispatch, ExitStatusIsTheAppletResultModulo256) {
    // led without an option returns -1.
    run_result r = run_program(exe, {exe, "led"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
}

} // namespace
