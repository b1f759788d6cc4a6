// The power probes on a power-supply tree in a scratch directory: the charger type by its whole
// file, the source and battery readings for each type, and the message when the type cannot be
// read.
#include "core/config.h"
#include "core/power.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A power-supply tree in a scratch directory; files are absent until set.
class Power : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string charger = dir.at("charger_type"), ac = dir.at("ac_online"),
                twl_ac = dir.at("twl_ac_online"), twl_usb = dir.at("twl_usb_online"),
                usb_switch = dir.at("usb_switch_state"), twl_volt = dir.at("twl_voltage"),
                twl_curr = dir.at("twl_current"), volt = dir.at("voltage");
    power_paths paths{charger.c_str(),    ac.c_str(),       twl_ac.c_str(),   twl_usb.c_str(),
                      usb_switch.c_str(), twl_volt.c_str(), twl_curr.c_str(), volt.c_str()};

    void set(const std::string &path, const std::string &text) { write_text(path, text); }
};

TEST_F(Power, ChargerTypeComparesTheWholeFile) {
    struct {
        const char *text;
        int full, basic;
    } cases[] = {
        {"CHARGER_DCIN\n", 2, 2},       {"CHARGER_DCIN", 1, 1},
        {"CHARGER_TWL6030USB\n", 3, 3}, {"CHARGER_TWL6030USB_DC\n", 4, 4},
        {"CHARGER_BQ24167\n", 5, 1},    {"CHARGER_NONE\n", 6, 1},
        {"CHARGER_DCIN\nextra", 1, 1},  {"", 1, 1},
        {"something else\n", 1, 1},
    };
    for (const auto &c : cases) {
        set(charger, c.text);
        EXPECT_EQ(get_charger_type(paths), basic_build ? c.basic : c.full) << '"' << c.text << '"';
    }
}

// The texts the daemon, bat and ozaparser hand over: a line without its
// newline, a name anywhere in a text, and the USB switch's states.
TEST(PowerTexts, LinesNamesAndSwitchStates) {
    EXPECT_EQ(charger_type_of_line("CHARGER_DCIN"), charger_dcin);
    EXPECT_EQ(charger_type_of_line("CHARGER_TWL6030USB_DC"), charger_twl_usb_dc);
    EXPECT_EQ(charger_type_of_line("CHARGER_DCIN\n"), charger_other);
    EXPECT_EQ(charger_type_of_line("CHARGER_NONE"), basic_build ? charger_other : charger_none);

    EXPECT_TRUE(charger_text_names("CHARGER_TWL6030USB_DC\n", charger_twl_usb_dc));
    EXPECT_TRUE(charger_text_names("x CHARGER_TWL6030USB_DC y", charger_twl_usb_dc));
    EXPECT_FALSE(charger_text_names("CHARGER_TWL6030USB\n", charger_twl_usb_dc));
    EXPECT_FALSE(charger_text_names("CHARGER_DCIN\n", charger_other)) << "no text of its own";

    struct {
        const char *text;
        usb_switch_state state;
    } switches[] = {
        {"ATTACHED_VBUS\n", switch_vbus},
        {"ATTACHED_CHARGER", switch_charger},
        {"DETACHED\n", switch_detached},
        {"ATTACHED_OTG\n", switch_unknown},
        {"", switch_unknown},
        {"DETACHED ATTACHED_VBUS", switch_vbus},
    };
    for (const auto &c : switches) EXPECT_EQ(parse_usb_switch(c.text), c.state) << c.text;
    // A text from an event is bounded by its length, not by a NUL.
    EXPECT_EQ(parse_usb_switch(std::string_view("DETACHED\0ATTACHED_VBUS", 22)), switch_vbus);
}

TEST_F(Power, UnreadableChargerTypeIsZeroWithAMessage) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_charger_type(paths), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(basic_build ? "_get_charger_type" : "get_charger_type") +
                       " : could not determine charger type : allow flashing\n");
}

struct source_case {
    const char *name;
    const char *charger; // nullptr: missing file
    const char *ac, *twl_ac, *twl_usb, *usb_switch;
    int source;
};

TEST_F(Power, SourceByChargerType) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build has no power-source probe";
    const source_case cases[] = {
        {"unknown charger", nullptr, nullptr, nullptr, nullptr, nullptr, 1},
        {"dcin online", "CHARGER_DCIN\n", "1\n", nullptr, nullptr, nullptr, 3},
        {"dcin offline", "CHARGER_DCIN\n", "0\n", nullptr, nullptr, nullptr, 0},
        {"dcin unreadable online", "CHARGER_DCIN\n", nullptr, nullptr, nullptr, nullptr, 3},
        {"usb-dc online", "CHARGER_TWL6030USB_DC\n", nullptr, "1", nullptr, nullptr, 3},
        {"usb-dc offline", "CHARGER_TWL6030USB_DC\n", nullptr, "0", nullptr, nullptr, 0},
        {"bq adapter", "CHARGER_BQ24167\n", nullptr, "1", nullptr, "ATTACHED_VBUS", 3},
        {"bq usb host", "CHARGER_BQ24167\n", nullptr, "0", nullptr, "ATTACHED_VBUS", 1},
        {"bq usb charger", "CHARGER_BQ24167\n", nullptr, "0", nullptr, "ATTACHED_CHARGER", 2},
        {"twl usb vbus", "CHARGER_TWL6030USB\n", nullptr, nullptr, "4", "ATTACHED_VBUS\n", 1},
        {"twl usb charger", "CHARGER_TWL6030USB\n", nullptr, nullptr, nullptr, "ATTACHED_CHARGER\n",
         2},
        {"twl usb detached", "CHARGER_TWL6030USB\n", nullptr, nullptr, "4", "DETACHED\n", 0},
        {"twl usb empty switch, online 3", "CHARGER_TWL6030USB\n", nullptr, nullptr, "3", "", 1},
        {"twl usb empty switch, online 4", "CHARGER_TWL6030USB\n", nullptr, nullptr, "4", "", 2},
        {"twl usb empty switch, online 0", "CHARGER_TWL6030USB\n", nullptr, nullptr, "0", "", 0},
        {"twl usb no switch, no online", "CHARGER_TWL6030USB\n", nullptr, nullptr, nullptr, nullptr,
         0},
        {"no charger", "CHARGER_NONE\n", nullptr, nullptr, nullptr, nullptr, 3},
        {"other, vbus", "OTHER\n", nullptr, nullptr, nullptr, "xATTACHED_VBUSx", 1},
        {"other, charger", "OTHER\n", nullptr, nullptr, nullptr, "ATTACHED_CHARGER", 2},
        {"other, no switch file", "OTHER\n", nullptr, nullptr, nullptr, nullptr, 0},
    };
    for (const source_case &c : cases) {
        scratch_dir case_dir;
        std::string files[] = {case_dir.at("c"), case_dir.at("ac"), case_dir.at("tac"),
                               case_dir.at("tusb"), case_dir.at("sw")};
        const char *texts[] = {c.charger, c.ac, c.twl_ac, c.twl_usb, c.usb_switch};
        for (int i = 0; i < 5; ++i)
            if (texts[i]) write_text(files[i], texts[i]);
        power_paths p{files[0].c_str(),
                      files[1].c_str(),
                      files[2].c_str(),
                      files[3].c_str(),
                      files[4].c_str(),
                      "",
                      "",
                      ""};
        testing::internal::CaptureStderr();
        EXPECT_EQ(power_source(p), c.source) << c.name;
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(Power, MissingChargerTypePrintsOncePerCall) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build has no power-source probe";
    testing::internal::CaptureStderr();
    EXPECT_EQ(power_source(paths), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "get_charger_type : could not determine charger type : allow flashing\n");
}

TEST_F(Power, BatteryReadingsByChargerType) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build has no battery probes";
    set(twl_volt, "3900000\n");
    set(twl_curr, "-250000\n");
    set(volt, "3700000\n");
    struct {
        const char *charger;
        int voltage, current;
    } cases[] = {
        {"CHARGER_TWL6030USB\n", 3900000, -250000},
        {"CHARGER_TWL6030USB_DC\n", 3900000, -250000},
        {"CHARGER_BQ24167\n", 3900000, -250000},
        {"CHARGER_NONE\n", 4200000, 0},
        {"CHARGER_DCIN\n", 3700000, 0},
        {"OTHER\n", 3700000, 0},
    };
    for (const auto &c : cases) {
        set(charger, c.charger);
        EXPECT_EQ(battery_voltage(paths), c.voltage) << c.charger;
        EXPECT_EQ(battery_current(paths), c.current) << c.charger;
    }
}

} // namespace
