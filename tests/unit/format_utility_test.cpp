// The copy commands of the format utility, read back by the distribution's
// shell: each path stays one word, whatever characters it holds.
#include "install/format_utility.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The words the shell makes of command's arguments, each in brackets.
std::string shell_words(const std::string &command) {
    run_result r = run_program(
        "/bin/sh",
        {"sh", "-c",
         "set -- " + command.substr(command.compare(0, 11, "/bin/cp -- ") == 0 ? 11 : 8) +
             "; for w; do printf '[%s]' \"$w\"; done"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(FormatUtility, CopyCommandKeepsEachPathOneWord) {
    struct {
        const char *from, *command;
    } cases[] = {
        {"/cache/u.oza", "/bin/cp /cache/u.oza /mnt/system/temporary.oza"},
        {"/mnt/storage/my update.oza",
         "/bin/cp \"/mnt/storage/my update.oza\" /mnt/system/temporary.oza"},
        {"/data/it's;rm -rf $HOME`x`.oza",
         "/bin/cp \"/data/it's;rm -rf \\$HOME\\`x\\`.oza\" /mnt/system/temporary.oza"},
        {"", "/bin/cp \"\" /mnt/system/temporary.oza"},
        {"-r.oza", "/bin/cp -- -r.oza /mnt/system/temporary.oza"},
    };
    for (const auto &c : cases) {
        char out[512];
        ASSERT_TRUE(copy_command(c.from, "/mnt/system/temporary.oza", out, sizeof out)) << c.from;
        EXPECT_EQ(std::string(out), c.command);
        EXPECT_EQ(shell_words(out),
                  std::string("[").append(c.from).append("][/mnt/system/temporary.oza]"))
            << c.from;
    }
}

TEST(FormatUtility, CopyCommandThatDoesNotFitIsRefused) {
    const std::string command = "/bin/cp /a /b";
    for (size_t n = 0; n <= command.size(); ++n) {
        char out[32];
        EXPECT_FALSE(copy_command("/a", "/b", out, n)) << n;
    }
    char out[32];
    EXPECT_TRUE(copy_command("/a", "/b", out, command.size() + 1));
    EXPECT_EQ(std::string(out), command);
    EXPECT_FALSE(copy_command("/a b", "/b", out, command.size() + 1)) << "quotes make it longer";
}

} // namespace
