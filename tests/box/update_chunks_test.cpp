// The operation chunks in device boxes: which slots may carry each, and
// what each does to the box's files, flash, raw areas and parameters.
#include "tests/box/engine_box.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace engine_box;

const std::string msgb = R"({"type": "MSGB", "text": "next"})";
const std::string storage_driver = STORAGE_DRIVER;

std::string repeat(const std::string &pattern, size_t n) {
    std::string s;
    while (s.size() < n) s += pattern;
    s.resize(n);
    return s;
}

// A typed parameter record: length (header included), identifier, value.
std::string record(uint16_t id, const std::string &value) {
    return le16(static_cast<uint16_t>(4 + value.size())) + le16(id) + value;
}

// The box's parameter image: ParamStore_3b at 16400, ParamStore_3c at 18432.
constexpr size_t typed_at = 16400, typed_size = 2032, flags_at = 18432;

TEST_F(Engine, EachChunkPassesTheGateOfItsSlotsOnly) {
    box.write("/mnt/storage/System/System.bin", std::string(4, '\0'));
    const struct {
        std::string chunk;
        const char *slots;
    } rows[] = {
        {R"({"type": "EXT0", "value": 0})", "12345"},
        {R"({"type": "EXT2", "index": 9, "path": "x", "mode": "0644"})", "12345"},
        {R"({"type": "EXT3", "area": "tags", "offset": 0, "hex": "00"})", "12"},
        {R"({"type": "MSGB", "text": "m"})", "12345"},
        {R"({"type": "MOVE", "from_index": 9, "from_path": "x", "to_index": 9, "to_path": "y"})",
         "125"},
        {R"({"type": "MMCF", "area": "custom", "hex": "00"})", "12"},
        {R"({"type": "FLSH", "address": "0x100000", "hex": "00"})", "12"},
        {R"({"type": "HDDL", "value": 0})", "14"},
        {R"({"type": "ADEL", "value": 0})", "12345"},
        {R"({"type": "SHEL", "command": "true"})", "12"},
        {R"({"type": "PARM", "id": 9999, "value_type": "uint8", "value": 1})", "12"},
        {R"({"type": "TAGP", "entries": []})", "12"},
        {R"({"type": "FPAR", "id": 9999, "value_type": "uint8", "value": 1})", "12"},
        {R"({"type": "MVER", "version": "4.0.0"})", "123"},
        {R"({"type": "DLET", "index": 9, "path": "x"})", "125"},
        {R"({"type": "FRMT", "format": 0, "cleanup": 0})", "12"},
        {R"({"type": "BOOT", "value": 0})", "12345"},
        {R"({"type": "COPY", "index": 9, "path": "x", "text": "x"})", "125"},
    };
    std::vector<std::string> chunks;
    std::vector<std::string> allowed;
    for (const auto &r : rows) {
        chunks.push_back(r.chunk);
        allowed.push_back(r.slots);
    }
    for (const char *skipped : {"EXT4", "EXT5", "EXT6", "EXT7", "EXT8", "EXT9", "EXTA", "EXTB",
                                "EXTC", "EXTD", "EXTE", "EXTF"}) {
        chunks.push_back(std::string(R"({"type": ")") + skipped + "\"}");
        allowed.push_back("12345");
    }
    // Not operation chunks: unknown in every slot.
    for (const char *unknown : {"EXT1", "UNIT", "VERS", "TIME"}) {
        chunks.push_back(std::string(R"({"type": "raw", "fourcc": ")") + unknown + "\"}");
        allowed.push_back("");
    }
    std::vector<std::string> args;
    for (int slot = 1; slot <= 5; ++slot) {
        for (size_t i = 0; i < chunks.size(); ++i) {
            const std::string path =
                "/cache/g" + std::to_string(slot) + "-" + std::to_string(i) + ".oza";
            pack({.slot = slot, .chunks = chunks[i]}, path);
            if (!args.empty()) args.push_back("+");
            args.insert(args.end(), {"run", "--quiet", path});
        }
    }
    const std::vector<std::string> out = starting(drive(args), "result ");
    ASSERT_EQ(out.size(), 5 * chunks.size());
    for (int slot = 1; slot <= 5; ++slot) {
        for (size_t i = 0; i < chunks.size(); ++i) {
            const bool unknown = allowed[i].empty();
            const bool passes = allowed[i].find(char('0' + slot)) != std::string::npos;
            EXPECT_EQ(out[(slot - 1) * chunks.size() + i], unknown  ? "result 209"
                                                           : passes ? "result 0"
                                                                    : "result 256")
                << "slot " << slot << ": " << chunks[i];
        }
    }
}

// ---- COPY, MOVE, DLET, EXT2 ----

TEST_F(Engine, CopySpreadsItsWeightOverEachWholeMebibyte) {
    const struct {
        size_t size;
        std::vector<std::string> progress;
    } cases[] = {
        {0, {"progress 1000 1000"}},
        {1048576, {"progress 1000 1000", "progress 1000 1000"}},
        {1048577, {"progress 500 1000", "progress 1000 1000"}},
        {3 * 1048576 + 5,
         {"progress 250 1000", "progress 500 1000", "progress 750 1000", "progress 1000 1000"}},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> out = install(
            {.time = "[1000]",
             .chunks =
                 R"({"type": "COPY", "index": "system", "path": "bin/f", "hex": "a55a01", "size": )" +
                 std::to_string(c.size) + "}"});
        EXPECT_EQ(result(out), 0) << c.size;
        EXPECT_EQ(starting(out, "progress"), c.progress) << c.size;
        EXPECT_EQ(file("/mnt/system/bin/f"), repeat("\xa5\x5a\x01", c.size)) << c.size;
        EXPECT_TRUE(has(out, "create_file /mnt/system/bin/f")) << c.size;
    }
}

TEST_F(Engine, CopyReplacesCreatesAndSkips) {
    box.write("/data/old", std::string(100, 'o'));
    const std::vector<std::string> out =
        install({.time = "[1000, 1000, 1000, 1000]",
                 .chunks = R"({"type": "COPY", "index": "data", "path": "old", "text": "new"},
                      {"type": "COPY", "index": "cache", "path": "a/b c/d", "text": "deep"},
                      {"type": "COPY", "index": 5, "path": "x", "text": "skipped"},
                      {"type": "COPY", "index": "rawfs", "path": "/custom", "text": "raw"}, )" +
                           msgb});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(file("/data/old"), "new") << "replaced, not overwritten in place";
    EXPECT_EQ(file("/cache/a/b c/d"), "deep") << "parents made";
    EXPECT_EQ(file("/mnt/rawfs/custom"), "raw");
    struct stat st;
    ASSERT_EQ(stat(box.host_path("/cache/a/b c/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(starting(out, "create_file"), std::vector<std::string>{}) << "no index 1";
    // The skipped chunk takes no weight: four weights for four chunks.
    EXPECT_EQ(starting(out, "progress").back(), "progress 1000 1000");
}

// The pieces written before the data ran out stay; the short one is not written.
TEST_F(Engine, ACopyCutShortLeavesWhatItWrote) {
    const std::vector<std::string> out = install(
        {.chunks =
             R"({"type": "COPY", "index": "data", "path": "c", "text": "abc", "size": 16387, "declared": 20000})"});
    EXPECT_EQ(result(out), 214);
    EXPECT_EQ(file("/data/c"), repeat("abc", 16384));
}

TEST_F(Engine, MoveCopiesThenRemovesTheSource) {
    box.write("/mnt/system/a", "new");
    box.write("/data/longer", "old old old");
    box.write("/data/b", "bee");
    const std::vector<std::string> out = install(
        {.chunks =
             R"({"type": "MOVE", "from_index": 1, "from_path": "a", "to_index": 2, "to_path": "longer"},
                      {"type": "MOVE", "from_index": 2, "from_path": "b", "to_index": 1, "to_path": "x/y"},
                      {"type": "MOVE", "from_index": 7, "from_path": "b", "to_index": 2, "to_path": "z"},
                      {"type": "MOVE", "from_index": 2, "from_path": "longer", "to_index": 7, "to_path": "z"})"});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(file("/data/longer"), "new old old") << "the tail of a longer file stays";
    EXPECT_FALSE(exists("/mnt/system/a"));
    EXPECT_EQ(file("/mnt/system/x/y"), "bee");
    EXPECT_FALSE(exists("/data/b"));
    struct stat st;
    ASSERT_EQ(stat(box.host_path("/mnt/system/x/y").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(starting(out, "removed"), std::vector<std::string>{"removed /mnt/system/a"});
    EXPECT_EQ(starting(out, "create_file"),
              std::vector<std::string>{"create_file /mnt/system/x/y"});
    EXPECT_EQ(starting(out, "progress").size(), 2u) << "skipped moves take no weight";
}

TEST_F(Engine, MoveKeepsTheSourceWhenItCannotFinish) {
    box.write("/data/same", "kept");
    box.write("/data/src", "source");
    box.write("/data/other", "other");
    // A file moved onto itself stays.
    pack(
        {.chunks =
             R"({"type": "MOVE", "from_index": 2, "from_path": "same", "to_index": 2, "to_path": "/same"})"},
        "/cache/same.oza");
    // The source cannot be removed: it is a mount point.
    pack(
        {.chunks =
             R"({"type": "MOVE", "from_index": 2, "from_path": "src", "to_index": 4, "to_path": "dst"})"},
        "/cache/busy.oza");
    run_result r = box.shell(shell_quote(driver) + " run --quiet /cache/same.oza && " +
                             "mount --bind /data/other /data/src && " + shell_quote(driver) +
                             " run --quiet /cache/busy.oza && umount /data/src");
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{"result 0", "result 226"})) << r.err;
    EXPECT_EQ(file("/data/same"), "kept");
    EXPECT_EQ(file("/data/src"), "source");
    EXPECT_EQ(file("/cache/dst"), "other") << "copied from what the path showed";
}

TEST_F(Engine, DeleteRemovesATreeButNotWhatItLinksTo) {
    box.write("/data/t/a/b/file", "1");
    box.write("/data/t/c", "2");
    box.write("/cache/keep/file", "3");
    ASSERT_EQ(symlink("/cache/keep", box.host_path("/data/t/a/link").c_str()), 0);
    const std::vector<std::string> out =
        install({.time = "[1000, 1000, 1000]",
                 .chunks = R"({"type": "DLET", "index": 2, "path": "t"},
                      {"type": "DLET", "index": 1, "path": "none"},
                      {"type": "DLET", "index": 8, "path": "t"}, )" +
                           msgb});
    EXPECT_EQ(result(out), 0);
    EXPECT_FALSE(exists("/data/t"));
    EXPECT_EQ(file("/cache/keep/file"), "3");
    EXPECT_EQ(starting(out, "removed"), std::vector<std::string>{"removed /mnt/system/none"});
    EXPECT_EQ(starting(out, "progress"), (std::vector<std::string>{
                                             "progress 333 1000",
                                             "progress 666 1000",
                                             "progress 1000 1000",
                                         }));
}

TEST_F(Engine, ChmodChangesTheModeOnly) {
    box.write("/cache/f", "f");
    const std::vector<std::string> out =
        install({.time = "[1]",
                 .chunks = R"({"type": "EXT2", "index": 4, "path": "f", "mode": "0640"},
                              {"type": "EXT2", "index": 6, "path": "f", "mode": "0777"},
                              {"type": "EXT2", "index": 4, "path": "none", "mode": "0777"}, )" +
                           msgb});
    EXPECT_EQ(result(out), 0);
    struct stat st;
    ASSERT_EQ(stat(box.host_path("/cache/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(starting(out, "progress"), std::vector<std::string>{"progress 1000 1000"});
}

// ---- MSGB, SHEL, FRMT ----

TEST_F(Engine, TheMessagesResultIsTheChunks) {
    // A text that fills the field without its NUL ends at the field's last byte.
    const std::vector<std::string> out = install(
        {.chunks = R"({"type": "raw", "fourcc": "MSGB", "text": "x", "size": 256, "weight": 1},
                      {"type": "MSGB", "text": "hello", "weight": 1})"},
        {"--message-result", "7"});
    EXPECT_EQ(result(out), 7);
    EXPECT_EQ(starting(out, "message"),
              std::vector<std::string>{"message " + std::string(255, 'x')});
    EXPECT_EQ(starting(out, "progress"), std::vector<std::string>{"progress 500 1000"})
        << "the weight is taken also when the host refuses";
}

TEST_F(Engine, ShellCommandsRunThroughBusyboxWithNothingInherited) {
    const struct {
        const char *command;
        int code;
    } cases[] = {
        {"exit 0", 0},
        {"exit 3", 282},
        {"kill -9 $$", 282},
        {"", 0},
        {"[ -z \"$HOME$USER$LD_PRELOAD\" ]", 0},
        // The shell's own pipe descriptors may close while ls lists them; the
        // update file is looked for by its path (a build tree's may hold "oza").
        {"! ls -l /proc/$$/fd 2>/dev/null | grep -q /cache/u.oza", 0},
        {"echo from the update > /tmp/shel", 0},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> out =
            install({.chunks = std::string(R"({"type": "SHEL", "command": ")") + [&] {
                std::string q;
                for (const char *p = c.command; *p; ++p) {
                    if (*p == '"' || *p == '\\') q += '\\';
                    q += *p;
                }
                return q;
            }() + "\"}"});
        EXPECT_EQ(result(out), c.code) << c.command;
    }
    EXPECT_EQ(file("/tmp/shel"), "from the update\n");
}

TEST_F(Engine, FormatMayReplaceTheUpdateFilesDescriptor) {
    for (const std::string &cipher : {std::string(), enciphered()}) {
        box.shell("rm -f /data/after");
        const std::vector<std::string> out =
            install({.time = "[1, 1]",
                     .cipher = cipher,
                     .chunks = R"({"type": "FRMT", "format": 2, "cleanup": 1},
                          {"type": "COPY", "index": "data", "path": "after", "text": "a"})"},
                    {"--format-reopen"});
        EXPECT_EQ(result(out), 0);
        EXPECT_TRUE(has(out, "format 2 1 /cache/u.oza"));
        EXPECT_TRUE(has(out, "format reopened yes"));
        EXPECT_EQ(file("/data/after"), "a");
        EXPECT_EQ(starting(out, "progress").front(), "progress 500 1000");
    }
}

// ---- FLSH, MMCF, EXT3, TAGP ----

TEST_F(Engine, FlashWritesSectorBySector) {
    const std::vector<std::string> out =
        install({.chunks = R"({"type": "FLSH", "address": "0x1fff0", "hex": "a5", "size": 32})"});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(starting(out, "trace"), (std::vector<std::string>{
                                          "trace flash init...",
                                          "trace read flash subchunk...",
                                          "trace amalloc 00000020...",
                                          "trace read data...",
                                          "trace get flash sector info 0001FFF0...",
                                          "trace flash 0001FFF0...",
                                          "trace get flash sector info 00020000...",
                                          "trace flash 00020000...",
                                          "trace flash ok",
                                      }));
    const std::string flash = file("/dev/flashrw");
    EXPECT_EQ(flash.substr(0x1fff0 - 1, 34), std::string("\xff").append(32, '\xa5').append("\xff"));
    const std::vector<std::string> log = box.log();
    EXPECT_TRUE(has(log, "flashrw write 0x1fff0 16"));
    EXPECT_TRUE(has(log, "flashrw write 0x20000 16"));
    EXPECT_EQ(file("/box/modules"), "") << "the module is removed again";
}

TEST_F(Engine, AFlashSectorTheDriverRefusesEndsTheChunkWithSuccess) {
    box.set("flash_protect", std::to_string(0x20000) + ":65536");
    const std::vector<std::string> out =
        install({.chunks = R"({"type": "FLSH", "address": "0x1fff0", "hex": "a5", "size": 65600},
                      {"type": "COPY", "index": "data", "path": "after", "text": "a"})"});
    EXPECT_EQ(result(out), 0);
    EXPECT_TRUE(has(out, "trace cannot write flash 00020000..."));
    EXPECT_FALSE(has(out, "trace flash ok"));
    EXPECT_FALSE(has(out, "trace flash 00030000..."));
    const std::string flash = file("/dev/flashrw");
    EXPECT_EQ(flash.substr(0x1fff0, 16), std::string(16, '\xa5'));
    EXPECT_EQ(flash.substr(0x20000, 0x10040), std::string(0x10040, '\xff'));
    EXPECT_EQ(file("/data/after"), "a") << "the walk goes on";
}

// The share per sector assumes 64 KiB sectors above 64 KiB; in the last 8
// KiB sectors the progress still never passes the chunk's weight.
TEST_F(Engine, FlashProgressStaysWithinTheWeight) {
    const std::vector<std::string> out = install(
        {.time = "[1000, 1000]",
         .chunks = R"({"type": "FLSH", "address": 4128768, "hex": "01", "size": 32768}, )" + msgb});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(
        starting(out, "progress"),
        (std::vector<std::string>{"progress 500 1000", "progress 500 1000", "progress 500 1000",
                                  "progress 500 1000", "progress 500 1000", "progress 1000 1000"}));
    EXPECT_EQ(starting(out, "trace get flash sector info").size(), 4u);
}

TEST_F(Engine, MmcFlashReportsTheWritesProgressInHundredths) {
    const std::vector<std::string> out =
        install({.time = "[1000, 1000, 1000]",
                 .chunks = R"({"type": "MMCF", "area": "Stage 1", "offset": 16, "text": "stage"},
                      {"type": "MMCF", "area": "custom", "offset": 0, "hex": ""}, )" +
                           msgb});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(file("/mnt/rawfs/stage1").substr(0, 21), std::string(16, '\0') + "stage");
    // Each report replaces the one before it; the final share fits in the weight.
    EXPECT_EQ(starting(out, "progress"),
              (std::vector<std::string>{"progress 0 1000", "progress 333 1000", "progress 333 1000",
                                        "progress 333 1000", "progress 666 1000",
                                        "progress 666 1000", "progress 1000 1000"}));
    EXPECT_EQ(starting(out, "trace"),
              (std::vector<std::string>{
                  "trace read mmcflash subchunk...", "trace amalloc 00000005...",
                  "trace read data...", "trace mmcflash ok", "trace read mmcflash subchunk...",
                  "trace amalloc 00000000...", "trace read data...", "trace mmcflash ok"}));
}

TEST_F(Engine, MmcPatchChangesOnlyTheParameterImage) {
    const std::string params = file("/mnt/rawfs/params");
    const std::string tags = file("/mnt/rawfs/tags");
    const std::vector<std::string> out = install(
        {.time = "[1000, 1000, 1000, 1000]",
         .chunks = R"({"type": "EXT3", "area": "params", "offset": 32764, "hex": "01020304"},
                      {"type": "EXT3", "area": "params", "offset": 32765, "hex": "01020304"},
                      {"type": "EXT3", "area": "tags", "offset": 0, "hex": "01020304"}, )" +
                   msgb});
    EXPECT_EQ(result(out), 0);
    std::string expected = params;
    expected.replace(32764, 4, "\x01\x02\x03\x04");
    EXPECT_TRUE(file("/mnt/rawfs/params") == expected) << "only the first patch fits the image";
    EXPECT_TRUE(file("/mnt/rawfs/tags") == tags);
    EXPECT_EQ(starting(out, "progress"),
              (std::vector<std::string>{"progress 2 1000", "progress 5 1000", "progress 7 1000",
                                        "progress 257 1000"}))
        << "a hundredth of each weight";
}

// Raw writes of "params" (MMCF) and patches of its image (EXT3), one after
// the other, run while three record writers rewrite the whole image again
// and again: every raw write and every patch is still there at the end.
// (Without the store lock around the raw writes, about every second one is
// lost to a record writer that read the image before it.)
TEST_F(Engine, ParameterImageWritersSideBySideLoseNothing) {
    constexpr int writers = 12;
    std::string files;
    for (int i = 0; i < writers; ++i) {
        const std::string n = std::to_string(i);
        pack({.chunks = R"({"type": "MMCF", "area": "params", "offset": )" +
                        std::to_string(1000 + 16 * i) + R"(, "text": "mmcf)" + n + "\"}"},
             "/cache/mmcf" + n + ".oza");
        pack({.chunks = R"({"type": "EXT3", "area": "params", "offset": )" +
                        std::to_string(3000 + 16 * i) + R"(, "text": "ext3)" + n + "\"}"},
             "/cache/ext3" + n + ".oza");
        files += " /cache/mmcf" + n + ".oza /cache/ext3" + n + ".oza";
    }
    run_result r =
        box.shell("D=" + shell_quote(storage_driver) + "; E=" + shell_quote(driver) +
                  "\n"
                  "for w in 'ParamStore_3b 100 2' 'ParamStore_3c 200 3' 'ParamStore_4 16 4'; do\n"
                  "  $D hammer $w 100000000 >>/tmp/hammer &\n"
                  "done\n"
                  "while [ ! -e /tmp/hammering ]; do sleep 0.01; done\n"
                  "for f in" +
                  files +
                  "; do $E run --quiet $f; done >/tmp/runs\n"
                  "touch /tmp/stop; wait\n"
                  "grep -c '^result 0$' /tmp/runs\n"
                  "grep -v '^failures 0$' /tmp/hammer\n");
    EXPECT_EQ(r.out, std::to_string(2 * writers) + "\n") << r.err;
    const std::string image = file("/mnt/rawfs/params");
    for (int i = 0; i < writers; ++i) {
        const std::string raw = "mmcf" + std::to_string(i), patch = "ext3" + std::to_string(i);
        EXPECT_EQ(image.substr(1000 + 16 * i, raw.size()), raw);
        EXPECT_EQ(image.substr(3000 + 16 * i, patch.size()), patch);
    }
}

// Every entry point that turns a raw-area name into a path refuses a name
// that would leave /mnt/rawfs, with its "unknown area" result.
TEST_F(Engine, RawAreaNamesThatLeaveTheFolderAreRefusedEverywhere) {
    box.write("/data/victim", "precious");
    for (const std::string name : {"../../data/victim", "../rawfs/../../data/victim", "..", ".", "",
                                   "/data/victim", "sub/../params"}) {
        EXPECT_EQ(box.applet({"flash_partition_erase", name}).status, 1) << name;
        const std::vector<std::string> out =
            install({.chunks = R"({"type": "MMCF", "area": ")" + name + R"(", "text": "x"})"});
        EXPECT_EQ(result(out), 220) << name;
        run_result r = box.run({storage_driver, "write", name, "0", "00", "+", "read", name, "0",
                                "1", "+", "size", name, "+", "erase", name});
        EXPECT_EQ(r.out, "-1\n-1\n-1\n-1\n") << name;
        EXPECT_EQ(file("/data/victim"), "precious") << name;
    }
}

class TagPatch : public Engine {
protected:
    // The box's list: core (5 words), memory (4), revision (3), terminator at 48.
    std::string tags() const { return file("/mnt/rawfs/tags"); }
    std::string entry(uint32_t words, uint32_t tag, char fill) const {
        return le32(words) + le32(tag) + std::string(4 * (words - 2), fill);
    }
    std::vector<std::string> patch(const std::string &bytes) {
        return install({.chunks = R"({"type": "TAGP", "hex": ")" + hex(bytes) + "\"}"});
    }
};

TEST_F(TagPatch, ReplacesInPlace) {
    std::string expected = tags();
    const std::string memory = entry(4, 0x54410002, 'm');
    EXPECT_EQ(result(patch(memory + le32(0))), 0);
    expected.replace(20, 16, memory);
    EXPECT_TRUE(tags() == expected);
}

TEST_F(TagPatch, AppendsUpToByte500) {
    std::string expected = tags();
    const std::string fits = entry(113, 0x54410009, 'c'); // 48 + 452 = 500
    EXPECT_EQ(result(patch(fits + le32(0))), 0);
    expected.replace(48, 452 + 8, fits + std::string(8, '\0'));
    EXPECT_TRUE(tags() == expected);
}

TEST_F(TagPatch, AnEntryEndingAtByte504LeavesTheAreaUnchanged) {
    const std::string before = tags();
    const std::vector<std::string> out = patch(entry(114, 0x54410009, 'c') + le32(0));
    EXPECT_EQ(result(out), 0) << "the patch's outcome is not the chunk's";
    EXPECT_TRUE(has(out, "trace tagpatch ok"));
    EXPECT_TRUE(tags() == before);
}

TEST_F(TagPatch, EntriesThatClaimMoreThanThePatchHoldsChangeNothing) {
    const std::string before = tags();
    EXPECT_EQ(result(patch(le32(200) + le32(0x54410009) + "abcd")), 0);
    EXPECT_EQ(result(patch(entry(5, 0x54410002, 'x') + le32(0))), 0) << "another size";
    EXPECT_TRUE(tags() == before);
}

// ---- PARM, FPAR, HDDL ----

TEST_F(Engine, ParmSetsEveryRecordOfTheIdentifier) {
    const std::string records = record(1, le16(5)) + record(12, le16(1) + "zz") +
                                record(20, le32(0)) + record(12, le16(2)) + record(30, "abcd") +
                                record(40, "");
    const std::string original = std::string(4, '\x77') + records;
    const struct {
        const char *id, *type, *value;
        int code;
        std::vector<std::pair<size_t, std::string>> changes; // offset in the file, bytes
    } cases[] = {
        {"12", "uint8", "300", 0, {{14, le16(44)}, {30, le16(44)}}}, // 6 bytes: "zz" stays
        {"20", "int32", "-2", 0, {{22, le32(0xfffffffe)}}},
        {"30", "string", "fr", 0, {{36, std::string("fr\0", 3)}}},
        {"30", "string", "abcd", 0, {}}, // no room for the terminator
        {"40", "uint8", "1", 0, {}},     // no room for the value
        {"12", "float", "1", 232, {}},
        {"99", "uint8", "1", 0, {}},
        {"65548", "uint8", "1", 0, {}}, // 12 + 65536
    };
    for (const auto &c : cases) {
        box.write("/mnt/storage/System/System.bin", original);
        const std::vector<std::string> out = install(
            {.time = "[1]",
             .chunks = std::string(R"({"type": "PARM", "id": )") + c.id + R"(, "value_type": ")" +
                       c.type + R"(", "value": ")" + c.value + "\"}"});
        std::string expected = original;
        for (const auto &[at, bytes] : c.changes) expected.replace(at, bytes.size(), bytes);
        EXPECT_EQ(result(out), c.code) << c.id << " " << c.type;
        EXPECT_TRUE(file("/mnt/storage/System/System.bin") == expected) << c.id << " " << c.type;
        EXPECT_EQ(has(out, "load_hdd_param"), c.code == 0) << c.id << " " << c.type;
        EXPECT_EQ(has(out, "progress 1000 1000"), c.code == 0) << c.id << " " << c.type;
    }
}

TEST_F(Engine, FparSetsTheRecordAndRewritesTheRestUnchanged) {
    const std::string params = file("/mnt/rawfs/params");
    const struct {
        const char *id, *type, *value;
        std::vector<std::pair<size_t, std::string>> changes; // offset in ParamStore_3b, bytes
    } cases[] = {
        {"3", "uint16", "0x1234", {{26, le16(0x1234)}}},
        {"2", "int32", "-2", {{18, le32(0xfffffffe)}}},
        {"99", "uint8", "1", {}},
        {"3", "float", "1", {}},
    };
    for (const auto &c : cases) {
        box.write("/mnt/rawfs/params", params);
        box.clear_log();
        const std::vector<std::string> out = install(
            {.time = "[1]",
             .chunks = std::string(R"({"type": "FPAR", "id": )") + c.id + R"(, "value_type": ")" +
                       c.type + R"(", "value": ")" + c.value + "\"}"});
        std::string expected = params;
        for (const auto &[at, bytes] : c.changes)
            expected.replace(typed_at + at, bytes.size(), bytes);
        EXPECT_EQ(result(out), 0) << c.id << " " << c.type;
        EXPECT_TRUE(file("/mnt/rawfs/params") == expected) << c.id << " " << c.type;
        EXPECT_TRUE(has(out, "load_flash_param"));
        EXPECT_TRUE(has(out, "progress 1000 1000"));
    }
}

TEST_F(Engine, HddlInvalidatesTheTypedParametersWhenAsked) {
    const std::string params = file("/mnt/rawfs/params");
    EXPECT_EQ(result(install({.slot = 4, .chunks = R"({"type": "HDDL", "value": 0})"})), 0);
    EXPECT_TRUE(file("/mnt/rawfs/params") == params);
    EXPECT_EQ(result(install({.slot = 4, .chunks = R"({"type": "HDDL", "value": 2})"})), 0);
    std::string expected = params;
    expected.replace(flags_at, 4, std::string(4, '\xff'));
    expected.replace(typed_at, typed_size, std::string(typed_size, '\0'));
    EXPECT_TRUE(file("/mnt/rawfs/params") == expected);
}

} // namespace
