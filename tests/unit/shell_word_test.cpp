// Command lines with words from outside, read back by the distribution's
// shell: each text is exactly one argument with its bytes unchanged, whatever
// it holds, and a cut text is still one argument.
#include "core/shell_word.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <vector>

namespace {

// Texts that a careless quoting would hand to the shell.
const std::vector<std::string> hostile = {
    "$(touch pwned)",
    "`touch pwned`",
    "\"; touch pwned; \"",
    "'; touch pwned; '",
    "\\\"; touch pwned; #",
    "x;touch pwned",
    "x&touch pwned&",
    "x|touch pwned",
    "x\ntouch pwned\n",
    "x\\\ntouch pwned",
    "${PWD:+$(touch pwned)}",
    "\\",
    "a\\",
    "\\$",
    "\"\"\"\"",
    "''''",
    "\"'\"'",
    "-n",
    "--",
    "-rf /",
    "",
    " ",
    "a  b\tc",
    "*",
    "~",
    "!!",
    "#x",
    "caf\xc3\xa9 \x80\xff",
};

// Runs line (which must set the positional parameters) in a fresh directory
// with the distribution's shell; the arguments it made, and whether the
// directory stayed empty.
struct shell_reading {
    int status;
    std::vector<std::string> words;
    bool untouched;
};

shell_reading read_back(const std::string &line) {
    scratch_dir dir;
    // The words come back NUL-separated: a newline may be part of a word.
    run_result r =
        run_program("/bin/sh", {"sh", "-c",
                                "cd '" + dir.path + "' || exit 9\n" + line +
                                    "\nprintf '%s' \"$#\"; for w; do printf '\\0%s' \"$w\"; done"});
    shell_reading out{r.status, {}, true};
    size_t at = r.out.find('\0');
    while (at != std::string::npos) {
        size_t next = r.out.find('\0', at + 1);
        out.words.push_back(r.out.substr(at + 1, next == std::string::npos ? next : next - at - 1));
        at = next;
    }
    if (r.out.substr(0, r.out.find('\0')) != std::to_string(out.words.size())) out.status = -1;
    DIR *d = opendir(dir.path.c_str());
    for (dirent *e; d != nullptr && (e = readdir(d)) != nullptr;)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") out.untouched = false;
    if (d != nullptr) closedir(d);
    return out;
}

TEST(ShellWord, EveryTextIsOneArgumentWithItsBytes) {
    for (shell_quoting q : {shell_quoting::when_needed, shell_quoting::always}) {
        for (const std::string &text : hostile) {
            char buffer[256];
            command_line line{buffer, sizeof buffer};
            ASSERT_TRUE(command_start(line, "set -- "));
            ASSERT_TRUE(command_append_word(line, text, q)) << text;
            ASSERT_TRUE(command_append(line, " end"));
            const shell_reading r = read_back(buffer);
            EXPECT_EQ(r.status, 0) << buffer;
            EXPECT_EQ(r.words, (std::vector<std::string>{text, "end"})) << buffer;
            EXPECT_TRUE(r.untouched) << "the shell ran part of: " << buffer;
        }
    }
}

TEST(ShellWord, PlainWordsStayBareAndOthersAreQuoted) {
    const struct {
        const char *text, *when_needed, *always;
    } cases[] = {
        {"/mnt/system/temporary.oza", "/mnt/system/temporary.oza", "\"/mnt/system/temporary.oza\""},
        {"ZEMO_MEDIA", "ZEMO_MEDIA", "\"ZEMO_MEDIA\""},
        {"Hello from the update", "\"Hello from the update\"", "\"Hello from the update\""},
        {"it's", "\"it's\"", "\"it's\""},
        {"a\"b\\c$d`e", "\"a\\\"b\\\\c\\$d\\`e\"", "\"a\\\"b\\\\c\\$d\\`e\""},
        {"", "\"\"", "\"\""},
    };
    for (const auto &c : cases) {
        char a[64], b[64];
        command_line la{a, sizeof a}, lb{b, sizeof b};
        ASSERT_TRUE(command_start(la, "") && command_start(lb, ""));
        ASSERT_TRUE(command_append_word(la, c.text, shell_quoting::when_needed));
        ASSERT_TRUE(command_append_word(lb, c.text, shell_quoting::always));
        EXPECT_STREQ(a, c.when_needed);
        EXPECT_STREQ(b, c.always);
    }
}

TEST(ShellWord, AWordThatDoesNotFitLeavesTheLineAsItWas) {
    for (size_t size = 0; size < 12; ++size) {
        char buffer[16] = "untouched";
        command_line line{buffer, size};
        const bool started = command_start(line, "ab ");
        EXPECT_EQ(started, size >= 4) << size;
        if (!started) continue;
        const bool fits = command_append_word(line, "c$d", shell_quoting::always); // "c\$d"
        EXPECT_EQ(fits, size >= 3 + 6 + 1) << size;
        EXPECT_STREQ(buffer, fits ? "ab \"c\\$d\"" : "ab ") << size;
        EXPECT_EQ(line.length, strlen(buffer));
    }
}

TEST(ShellWord, ACutKeepsTheQuotingWhole) {
    // At every room, the cut text is a prefix of the text and the shell still
    // reads one argument: no quote left open, no escape split.
    const std::string texts[] = {"$$\"\"\\\\``ab", "'''\"\"\"", "x;$(touch pwned)`y`"};
    for (const std::string &text : texts) {
        for (size_t size = 10; size <= 10 + 2 * text.size(); ++size) { // "set -- " and ""
            char buffer[64];
            command_line line{buffer, size};
            ASSERT_TRUE(command_start(line, "set -- "));
            const size_t kept = command_append_cut(line, text);
            ASSERT_LE(line.length + 1, size);
            const shell_reading r = read_back(buffer);
            EXPECT_EQ(r.status, 0) << buffer;
            EXPECT_EQ(r.words, std::vector<std::string>{text.substr(0, kept)}) << buffer;
            EXPECT_TRUE(r.untouched) << buffer;
        }
    }
}

TEST(ShellWord, ACutNeverSplitsAUtf8Sequence) {
    const std::string text = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80!"; // 2, 3 and 4 bytes
    const size_t boundaries[] = {0, 2, 5, 9, 10};
    for (size_t room = 0; room <= text.size(); ++room) {
        char buffer[32];
        command_line line{buffer, room + 3}; // both quotes and the terminator
        ASSERT_TRUE(command_start(line, ""));
        const size_t kept = command_append_cut(line, text);
        size_t expected = 0;
        for (size_t b : boundaries)
            if (b <= room) expected = b;
        EXPECT_EQ(kept, expected) << room;
    }
    char small[2];
    command_line none{small, sizeof small};
    ASSERT_TRUE(command_start(none, ""));
    EXPECT_EQ(command_append_cut(none, "x"), 0u);
    EXPECT_STREQ(small, "") << "not even the empty word fits";
}

TEST(ShellWord, BytesThatAreNotUtf8AreCutWhereTheyFit) {
    const std::string text(10, '\x80'); // no sequence start to back up to for long
    char buffer[16];
    command_line line{buffer, 2 + 6 + 1};
    ASSERT_TRUE(command_start(line, ""));
    EXPECT_GE(command_append_cut(line, text), 3u);
}

} // namespace
