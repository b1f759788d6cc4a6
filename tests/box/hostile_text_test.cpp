// Texts from outside through every command line the program hands to the
// shell, in device boxes: message texts of update files signed with a
// message-only key, a disk name from the command line, the update file's
// path and the directories of a file it writes. A recording stand-in for the
// UI client keeps every argument vector it receives, byte for byte; each
// text must arrive as exactly one argument (or, past the 254-character cut,
// as a shorter text, still one argument), and nothing the text asks the
// shell to do may happen.
#include "core/config.h"

#include "tests/box/engine_box.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using engine_box::manifest;
using strings = std::vector<std::string>;

// Every text asks for /tmp/pwned one way or another.
const strings hostile = {
    "$(touch /tmp/pwned)",
    "`touch /tmp/pwned`",
    "\"; touch /tmp/pwned; \"",
    "'; touch /tmp/pwned; '",
    "\\\"; touch /tmp/pwned #",
    "x; touch /tmp/pwned",
    "x & touch /tmp/pwned &",
    "x | touch /tmp/pwned",
    "x\ntouch /tmp/pwned",
    "x\\\ntouch /tmp/pwned",
    "${PWD:+$(touch /tmp/pwned)}",
    "back\\slash \\",
    "$HOME $0 $$ ${PATH}",
    "-n",
    "--blocked -c reboot",
    "\"\"\"\"\"\"",
    "''''''",
    "",
    "Hello from the update",
};

// The UI client's stand-in: appends each call's argument count and its
// arguments, NUL-separated (an argument may hold a newline, never a NUL), to
// /box/zui.argv.
void record_ui_arguments(const device_box &box) {
    box.write("/bin/zui", "#!/usr/bin/dash\n"
                          "{ printf '%s' \"$#\"; for a; do printf '\\000%s' \"$a\"; done;"
                          " printf '\\000\\n'; } >> /box/zui.argv\n");
    ASSERT_EQ(chmod(box.host_path("/bin/zui").c_str(), 0755), 0);
}

// The argument vectors the stand-in received, oldest first (without argv[0]).
std::vector<strings> ui_calls(const device_box &box) {
    const std::string all = box.read("/box/zui.argv");
    std::vector<strings> calls;
    size_t at = 0;
    while (at < all.size()) {
        const size_t end = all.find('\0', at);
        if (end == std::string::npos) break;
        const unsigned long count = std::stoul(all.substr(at, end - at));
        strings args;
        at = end;
        for (unsigned long i = 0; i < count && at < all.size(); ++i) {
            const size_t next = all.find('\0', at + 1);
            args.push_back(all.substr(at + 1, next - at - 1));
            at = next;
        }
        EXPECT_EQ(all.compare(at, 2, std::string("\0\n", 2)), 0) << "a malformed record";
        at += 2;
        calls.push_back(args);
    }
    return calls;
}

// The texts of the calls that end with "-t TEXT".
strings ui_texts(const device_box &box) {
    strings texts;
    for (const strings &call : ui_calls(box))
        if (call.size() >= 2 && call[call.size() - 2] == "-t") texts.push_back(call.back());
    return texts;
}

// text as a JSON string.
std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char *const gate_message =
    basic_build ? "Please leave USB cable plugged in during update" : "Update in progress...";

struct text_case {
    std::string text, received; // what the update file holds, what the client gets
};

// room: the longest text the command line holds whole, 254 characters less
// the head and both quotes.
std::vector<text_case> message_cases(size_t room) {
    std::vector<text_case> cases;
    for (const std::string &t : hostile) cases.push_back({t, t});
    const std::string fits(room, 'm');
    cases.push_back({fits, fits});
    cases.push_back({fits + "m", fits});
    cases.push_back({std::string(255, 'm'), std::string(std::min<size_t>(room, 255), 'm')});
    // Each of these takes two characters inside the quotes.
    cases.push_back({std::string(255, '"'), std::string(room / 2, '"')});
    cases.push_back({std::string(255, '$'), std::string(room / 2, '$')});
    // An escape that does not fit whole is left out with its character.
    cases.push_back({std::string(room - 1, 'm') + "\"x", std::string(room - 1, 'm')});
    return cases;
}

// MSGB texts in a file signed for slot 3, whose key may carry only messages
// and flags, in both UI forms of ozaparser.
TEST(HostileTexts, MessageTextsReachTheClientAsOneArgument) {
    for (bool banner : {false, true}) {
        SCOPED_TRACE(banner ? "banner mode" : "message mode");
        const std::string head_text =
            banner ? "/bin/zui -c bannerprogress -t  " : "/bin/zui -c message -a centered -t  ";
        const std::vector<text_case> cases = message_cases(254 - head_text.size() - 2);
        std::string chunks;
        for (const text_case &c : cases)
            chunks += std::string(chunks.empty() ? "" : ", ") + R"({"type": "MSGB", "text": )" +
                      json_string(c.text) + "}";
        engine_box::update_box u;
        ASSERT_EQ(u.box.init_result().status, 0) << u.box.init_result().err;
        record_ui_arguments(u.box);
        u.pack({.slot = 3, .chunks = chunks}, "/cache/u.oza");
        strings args = {"ozaparser", "-f", "/cache/u.oza"};
        if (banner) args.push_back("--banner");
        const run_result r = u.box.applet(args);
        EXPECT_EQ(r.status, 0) << r.err;

        strings expected = {gate_message};
        for (const text_case &c : cases) expected.push_back(c.received);
        if (banner) expected.push_back("Update OK. Device will now reboot.");
        EXPECT_EQ(ui_texts(u.box), expected);
        const strings head = banner ? strings{"-c", "bannerprogress", "-t"}
                                    : strings{"-c", "message", "-a", "centered", "-t"};
        for (const strings &call : ui_calls(u.box)) {
            if (call.size() >= 2 && call[call.size() - 2] == "-f") continue; // progress
            EXPECT_EQ(strings(call.begin(), call.end() - 1), head);
        }
        EXPECT_FALSE(u.box.exists("/tmp/pwned")) << "a text ran as a command";
    }
}

// The banner form of a failure carries the message and the code in one
// argument.
TEST(HostileTexts, TheFailureBannerIsOneArgument) {
    engine_box::update_box u;
    ASSERT_EQ(u.box.init_result().status, 0) << u.box.init_result().err;
    record_ui_arguments(u.box);
    u.pack({.unit = "\"another\""}, "/cache/u.oza");
    EXPECT_EQ(u.box.applet({"ozaparser", "-f", "/cache/u.oza", "--banner"}).status, 212);
    const std::vector<strings> calls = ui_calls(u.box);
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ(calls.back().size(), 5u);
    EXPECT_EQ(calls.back()[0], "--blocked");
    EXPECT_TRUE(calls.back()[4].ends_with(" (212)")) << calls.back()[4];
}

// mkfs.ext3_parser's disk name comes from its command line.
TEST(HostileTexts, TheDiskNameReachesTheClientAsOneArgument) {
    const strings names = {
        "$(touch /tmp/pwned)", "`touch /tmp/pwned`",  "\"; touch /tmp/pwned #",
        "a'b\\c\"d$e",         "x\ntouch /tmp/pwned", "-t",
    };
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    record_ui_arguments(box);
    strings expected;
    for (const std::string &name : names) {
        const run_result r = box.applet({"mkfs.ext3_parser", "-t", name}, "\b1/2\b2/2\n");
        EXPECT_EQ(r.status, 0) << r.err;
        expected.push_back("Formating " + name + " Disk...");
        expected.push_back("Formating " + name + " Disk, Please wait...");
    }
    EXPECT_EQ(ui_texts(box), expected);
    EXPECT_FALSE(box.exists("/tmp/pwned")) << "a name ran as a command";
}

// The copies of the update file to the system partition and back: its path
// stays one argument of cp.
TEST(HostileTexts, TheUpdatePathStaysOneArgumentOfCp) {
    const strings paths = {
        "/cache/$(touch pwned).oza",
        "/cache/`touch pwned` \"it's\".oza",
        "/cache/x;touch pwned;.oza",
        "/cache/a\\\"b$HOME.oza",
    };
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        device_box box;
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        box.write("/system/.keep", "");
        box.write("/etc/fstab", box.read("/etc/fstab") + "/system /mnt/system none bind 0 0\n");
        box.write(path, "the update's bytes");
        // Type 4: only the copy aside and back, then the file reopened.
        const run_result r = box.shell("cd /cache && " + shell_quote(SYSINFO_DRIVER) +
                                       " format_utility 4 1 " + shell_quote(path) + " 0");
        EXPECT_TRUE(r.out.ends_with("result=0\n")) << r.out << r.err;
        EXPECT_EQ(box.read(path), "the update's bytes");
        EXPECT_FALSE(box.exists("/cache/pwned")) << "the path ran as a command";
        EXPECT_FALSE(box.exists("/pwned"));
    }
}

// A file of an update whose directories do not exist yet: they are made
// with their names as they stand.
TEST(HostileTexts, NewDirectoriesKeepTheirNames) {
    const strings directories = {
        "$(touch /tmp/pwned)",
        "`touch /tmp/pwned`",
        "a\"; touch /tmp/pwned; \"b",
        "it's",
        "x\ntouch /tmp/pwned",
        "-p",
        "back\\slash",
    };
    std::string chunks;
    for (const std::string &d : directories)
        chunks += std::string(chunks.empty() ? "" : ", ") +
                  R"({"type": "COPY", "index": "data", "path": )" + json_string(d + "/sub/f") +
                  R"(, "text": "t"})";
    engine_box::update_box u;
    const std::vector<std::string> out = u.install({.chunks = chunks});
    EXPECT_EQ(engine_box::result(out), 0);
    for (const std::string &d : directories) EXPECT_EQ(u.file("/data/" + d + "/sub/f"), "t") << d;
    EXPECT_FALSE(u.exists("/tmp/pwned")) << "a directory name ran as a command";
}

} // namespace
