// The fade against a backlight that records every write, blank and pause: the steps, the
// framebuffer through 0, an unreadable brightness and extreme targets.
#include "devtools/fade.h"

#include <gtest/gtest.h>

#include <linux/fb.h>
#include <string>
#include <vector>

namespace {

// A backlight whose every write, blank and pause is recorded in order.
int brightness;
bool readable;
std::vector<std::string> calls;

int read_brightness(const char *) {
    return readable ? brightness : -1;
}
int write_brightness(const char *, int value) {
    brightness = value;
    calls.push_back(std::to_string(value));
    return 1;
}
void blank(int mode) {
    calls.push_back(mode == FB_BLANK_POWERDOWN ? "blank" : "unblank");
}
int pauses;
void pause(unsigned usec) {
    EXPECT_EQ(usec, 10000u);
    ++pauses;
}

const backlight_operations recorder{read_brightness, write_brightness, blank, pause};

std::vector<std::string> writes(std::initializer_list<int> values) {
    std::vector<std::string> v;
    for (int x : values) v.push_back(std::to_string(x));
    return v;
}

class Fade : public ::testing::Test {
protected:
    backlight light{&recorder, "brightness", true};
    void SetUp() override {
        calls.clear();
        pauses = 0;
        readable = true;
    }
    std::vector<std::string> run(int from, int to, bool steps) {
        calls.clear();
        pauses = 0;
        brightness = from;
        fade(light, to, steps);
        return calls;
    }
};

TEST_F(Fade, StepsTowardsTheTarget) {
    struct {
        int from, to;
        std::vector<std::string> expected;
        int pauses;
    } cases[] = {
        // -70 / 25 truncates to -2: 25 writes from the current value, then the target.
        {100, 30, writes({100, 98, 96, 94, 92, 90, 88, 86, 84, 82, 80, 78, 76,
                          74,  72, 70, 68, 66, 64, 62, 60, 58, 56, 54, 52, 30}),
         25},
        // Fewer than 25 apart: one step of 1 per unit.
        {40, 30, writes({40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30}), 10},
        {30, 60, writes({30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42,
                         43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 60}),
         25},
        {59, 60, writes({59, 60}), 1},
        // Exactly 25 apart: 25 steps of 1.
        {5, 30, writes({5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
                        18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30}),
         25},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(run(c.from, c.to, true), c.expected) << c.from << " -> " << c.to;
        EXPECT_EQ(pauses, c.pauses) << c.from << " -> " << c.to;
    }
}

TEST_F(Fade, WithoutStepsWritesTheTargetOnly) {
    EXPECT_EQ(run(100, 30, false), writes({30}));
    EXPECT_EQ(pauses, 0);
}

TEST_F(Fade, NothingHappensAtTheTarget) {
    EXPECT_TRUE(run(30, 30, true).empty());
    EXPECT_TRUE(run(0, 0, false).empty()); // no second blank either
}

TEST_F(Fade, FramebufferFollowsTheBacklightThroughZero) {
    EXPECT_EQ(run(60, 0, false), (std::vector<std::string>{"0", "blank"}));
    EXPECT_EQ(run(0, 60, false), (std::vector<std::string>{"unblank", "60"}));
    std::vector<std::string> up = run(0, 2, true);
    EXPECT_EQ(up, (std::vector<std::string>{"unblank", "0", "1", "2"}));
}

TEST_F(Fade, WithoutBlankingTheFramebufferIsNeverTouched) {
    light.blanking = false;
    EXPECT_EQ(run(60, 0, false), writes({0}));
    EXPECT_EQ(run(0, 60, false), writes({60}));
}

TEST_F(Fade, UnreadableBrightnessWritesTheTargetDirectly) {
    readable = false;
    EXPECT_EQ(run(77, 30, true), (std::vector<std::string>{"unblank", "30"}));
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(run(77, 0, true), (std::vector<std::string>{"0", "blank"}));
    light.blanking = false;
    EXPECT_EQ(run(77, 30, true), writes({30}));
}

TEST_F(Fade, ExtremeTargetsStayBetweenCurrentAndTarget) {
    std::vector<std::string> down = run(999999999, -2147483647 - 1, true);
    ASSERT_EQ(down.size(), 26u);
    EXPECT_EQ(down.front(), "999999999");
    EXPECT_EQ(down.back(), std::to_string(-2147483647 - 1));
}

} // namespace
