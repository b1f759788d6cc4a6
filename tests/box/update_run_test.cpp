// The update engine's pipeline in device boxes: stage texts, the fixed
// chunks, the walk, the callback table, auto-delete, and one malformed file
// for every result code a file can cause, each checked for its code and for
// what changed on the box.
#include "tests/box/engine_box.h"

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace engine_box;

// Files of the malformed table put one chunk before the fault and one after
// it: the first has run when the walk got that far, the second never runs.
const std::string before = R"({"type": "COPY", "index": "data", "path": "before", "text": "b"})";
const std::string after = R"({"type": "COPY", "index": "data", "path": "after", "text": "a"})";

std::string around(const std::string &chunk) {
    return before + ", " + chunk + ", " + after;
}
std::string last(const std::string &chunk) {
    return before + ", " + chunk;
}

// Writes bytes at offset of a box file.
void poke(const device_box &box, const std::string &box_path, long offset,
          const std::string &bytes) {
    std::fstream f(box.host_path(box_path), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The AES key record of the box's key store (520 + L + 34, L = 1024).
constexpr long aes_record = 520 + 1024 + 34;

// A parameter file: the word nobody reads, then (length, id, value) records.
std::string parameter_file(const std::string &records) {
    return std::string(4, '\0') + records;
}
std::string record(uint16_t id, const std::string &value) {
    const auto length = static_cast<uint16_t>(4 + value.size());
    return std::string{char(length & 0xff), char(length >> 8), char(id & 0xff), char(id >> 8)} +
           value;
}

struct malformed {
    const char *what;
    int code;
    manifest m;
    bool walked;                      // the chunk before the fault ran
    unsigned cut = 0;                 // bytes cut from the end of the signed file
    std::vector<std::string> options; // of the driver
    void (*setup)(const device_box &) = nullptr;
};

// Packs a row's file (cut short when asked: the cut is signed too).
void pack_row(update_box &u, const malformed &row) {
    manifest m = row.m;
    if (row.cut > 0) {
        u.pack(m, "/cache/u.oza");
        const size_t size = u.file("/cache/u.oza").size();
        m.extra += std::string(m.extra.empty() ? "" : ", ") +
                   "\"truncate\": " + std::to_string(size - row.cut);
    }
    u.pack(m, "/cache/u.oza");
}

// Runs each row's file in a box of its own and checks its result code and
// which of the chunks around the fault ran.
void check_rows(const std::vector<malformed> &rows) {
    for (const malformed &row : rows) {
        SCOPED_TRACE(row.what);
        update_box u;
        if (row.setup != nullptr) row.setup(u.box);
        if (row.code != 201) pack_row(u, row);
        std::vector<std::string> args = {"run"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back("/cache/u.oza");
        const std::vector<std::string> out = u.drive(args);
        EXPECT_EQ(result(out), row.code);
        EXPECT_EQ(u.exists("/data/before"), row.walked);
        EXPECT_FALSE(u.exists("/data/after"));
    }
}

// The malformed files: one row per result code a file can cause (a plain
// file of slot 1 unless the row says otherwise).
TEST(EngineMalformed, TheHeadAndTheFixedChunks) {
    check_rows({
        {"no file at the path", 201, {}, false},
        {"magic",
         203,
         {.chunks = around("{\"type\": \"EXT4\"}"),
          .extra = R"("tamper": [{"offset": 0, "hex": "4f5a4133"}])"},
         false},
        {"signature fourcc", 204, {.chunks = after, .fourcc = "SIG9"}, false},
        {"signature chunk cut", 205, {.chunks = after, .extra = "\"truncate\": 139"}, false},
        {"changed byte",
         207,
         {.chunks = after, .extra = R"("tamper": [{"offset": 200, "hex": "00"}])"},
         false},
        {"cipher chunk cut",
         247,
         {.unit = "null",
          .version = "null",
          .time = "null",
          .extra = R"("trailer": {"hex": "43495048"})"},
         false},
        {"stored AES key of 256 bits",
         250,
         {.cipher = enciphered(), .chunks = after},
         false,
         0,
         {},
         [](const device_box &b) { poke(b, "/dev/mmcblk0", aes_record, le32(256).substr(0, 2)); }},
        {"stored AES key of 192 bits",
         250,
         {.cipher = enciphered(), .chunks = after},
         false,
         0,
         {},
         [](const device_box &b) { poke(b, "/dev/mmcblk0", aes_record, le32(192).substr(0, 2)); }},
        {"no UNIT", 210, {.unit = "null", .chunks = after}, false},
        {"UNIT cut", 211, {.version = "null", .time = "null"}, false, 1},
        {"other unit", 212, {.unit = "\"gx4dew\"", .chunks = after}, false},
        {"end after UNIT", 252, {.version = "null", .time = "null"}, false},
        {"VERS header cut",
         209,
         {.version = "null", .time = "null", .extra = R"("trailer": {"hex": "5645"})"},
         false},
        {"no VERS", 236, {.version = "null", .chunks = after}, false},
        {"VERS payload cut", 235, {.time = "null"}, false, 1},
        {"minimum version not given", 236, {.chunks = after}, false, 0, {"--min-fail"}},
        {"version below the minimum", 221, {.version = "\"4.0.24\"", .chunks = after}, false},
        {"end after VERS", 252, {.time = "null"}, false},
        {"no TIME", 244, {.time = "null", .chunks = after}, false},
        {"TIME count cut",
         245,
         {.time = "null", .extra = R"("trailer": {"hex": "54494d4508000000"})"},
         false},
        {"TIME list past the end",
         246,
         {.time = R"({"type": "TIME", "declared": 100000})", .chunks = after},
         false},
    });
}

TEST(EngineMalformed, TheWalkAndTheFlagChunks) {
    check_rows({
        {"unknown chunk", 209, {.chunks = around(R"({"type": "raw", "fourcc": "EXT1"})")}, true},
        {"UNIT again", 209, {.chunks = around(R"({"type": "UNIT", "name": "gx4dev"})")}, true},
        {"length below 8", 209, {.chunks = around(R"({"type": "EXT5", "length": 4})")}, true},
        {"header cut at the end",
         209,
         {.chunks = before, .extra = R"("trailer": {"hex": "455854"})"},
         true},
        {"not in the slot's gate",
         256,
         {.slot = 2, .chunks = around(R"({"type": "HDDL", "value": 0})")},
         true},
        {"EXT0 cut", 270, {.chunks = last(R"({"type": "EXT0", "value": 1})")}, true, 1},
        {"BOOT cut", 270, {.chunks = last(R"({"type": "BOOT", "value": 1})")}, true, 1},
        {"ADEL cut", 222, {.chunks = last(R"({"type": "ADEL", "value": 0})")}, true, 1},
        {"HDDL cut", 253, {.chunks = last(R"({"type": "HDDL", "value": 0})")}, true, 1},
        {"HDDL without a parameter area",
         254,
         {.chunks = around(R"({"type": "HDDL", "value": 1})")},
         true,
         0,
         {},
         [](const device_box &b) { unlink(b.host_path("/mnt/rawfs/params").c_str()); }},
        {"MVER cut", 235, {.chunks = last(R"({"type": "MVER", "version": "4.0.1"})")}, true, 1},
        {"MVER above the system",
         283,
         {.chunks = around(R"({"type": "MVER", "version": "4.0.29"})")},
         true},
        {"system version not given",
         236,
         {.chunks = around(R"({"type": "MVER", "version": "4.0.1"})")},
         true,
         0,
         {"--sys-fail"}},
    });
}

TEST(EngineMalformed, FileChunks) {
    check_rows({
        {"COPY header cut",
         215,
         {.chunks = last(R"({"type": "COPY", "index": "data", "path": "c", "text": ""})")},
         true,
         1},
        {"COPY data cut",
         214,
         {.chunks = last(
              R"({"type": "COPY", "index": "data", "path": "c", "text": "abc", "declared": 100})")},
         true},
        {"COPY onto a directory",
         214,
         {.chunks = around(R"({"type": "COPY", "index": "data", "path": "dir", "text": "abc"})")},
         true,
         0,
         {},
         [](const device_box &b) { mkdir(b.host_path("/data/dir").c_str(), 0755); }},
        {"MOVE cut",
         223,
         {.chunks = last(
              R"({"type": "MOVE", "from_index": 2, "from_path": "before", "to_index": 2, "to_path": "x"})")},
         true,
         1},
        {"MOVE without a source",
         224,
         {.chunks = around(
              R"({"type": "MOVE", "from_index": 2, "from_path": "none", "to_index": 2, "to_path": "x"})")},
         true},
        {"MOVE onto a directory",
         225,
         {.chunks = around(
              R"({"type": "MOVE", "from_index": 2, "from_path": "before", "to_index": 4, "to_path": "dir"})")},
         true,
         0,
         {},
         [](const device_box &b) { mkdir(b.host_path("/cache/dir").c_str(), 0755); }},
        {"MOVE onto a full device",
         225,
         {.chunks = around(
              R"({"type": "MOVE", "from_index": 2, "from_path": "before", "to_index": 0, "to_path": "/../../dev/full"})")},
         true},
        {"MOVE from an unreadable source",
         226,
         {.chunks = around(
              R"({"type": "MOVE", "from_index": 0, "from_path": "/../../proc/self/mem", "to_index": 2, "to_path": "x"})")},
         true},
        {"DLET cut",
         227,
         {.chunks = last(R"({"type": "DLET", "index": 2, "path": "x"})")},
         true,
         1},
        {"EXT2 cut",
         209,
         {.chunks = last(R"({"type": "EXT2", "index": 2, "path": "before", "mode": "0600"})")},
         true,
         1},
        {"MSGB cut", 229, {.chunks = last(R"({"type": "MSGB", "text": "hello"})")}, true, 1},
        {"FRMT cut",
         237,
         {.chunks = last(R"({"type": "FRMT", "format": 1, "cleanup": 0})")},
         true,
         1},
        {"format fails",
         240,
         {.chunks = around(R"({"type": "FRMT", "format": 2, "cleanup": 0})")},
         true,
         0,
         {"--format-result", "240"}},
        {"SHEL command cut",
         279,
         {.chunks = last(R"({"type": "SHEL", "command": "true", "declared": 1000})")},
         true},
        {"SHEL length cut", 279, {.chunks = last(R"({"type": "SHEL", "command": ""})")}, true, 1},
        {"SHEL exits 3", 282, {.chunks = around(R"({"type": "SHEL", "command": "exit 3"})")}, true},
    });
}

TEST(EngineMalformed, FlashAreaAndParameterChunks) {
    check_rows({
        {"FLSH header cut",
         217,
         {.chunks = last(R"({"type": "FLSH", "address": 0, "hex": ""})")},
         true,
         1},
        {"MMCF header cut",
         217,
         {.chunks = last(R"({"type": "MMCF", "area": "custom", "hex": ""})")},
         true,
         1},
        {"EXT3 header cut",
         217,
         {.chunks = last(R"({"type": "EXT3", "offset": 0, "hex": ""})")},
         true,
         1},
        {"TAGP header cut", 217, {.chunks = last(R"({"type": "TAGP", "hex": ""})")}, true, 1},
        {"FLSH range wraps",
         219,
         {.chunks =
              around(R"({"type": "FLSH", "address": "0xfffffff0", "hex": "00", "size": 32})")},
         true},
        {"FLSH without the flash module",
         219,
         {.chunks = around(R"({"type": "FLSH", "address": 0, "hex": "00"})")},
         true,
         0,
         {},
         [](const device_box &b) { b.set("init_module_errno", "1"); }},
        {"FLSH data cut",
         220,
         {.chunks = last(R"({"type": "FLSH", "address": 0, "hex": "00", "declared": 1000})")},
         true},
        {"MMCF data cut",
         220,
         {.chunks = last(R"({"type": "MMCF", "area": "custom", "hex": "00", "declared": 1000})")},
         true},
        {"MMCF data past 4 GiB",
         220,
         {.chunks =
              last(R"({"type": "MMCF", "area": "custom", "hex": "00", "declared": "0xffffffff"})")},
         true},
        {"TAGP data cut",
         220,
         {.chunks = last(R"({"type": "TAGP", "hex": "00", "declared": 1000})")},
         true},
        {"MMCF onto no area",
         220,
         {.chunks = around(R"({"type": "MMCF", "area": "nosuch", "hex": "00"})")},
         true},
        {"PARM cut",
         231,
         {.chunks = last(R"({"type": "PARM", "id": 1, "value_type": "uint8", "value": 1})")},
         true,
         1},
        {"PARM without the parameter file",
         232,
         {.chunks = around(R"({"type": "PARM", "id": 1, "value_type": "uint8", "value": 1})")},
         true},
        {"PARM file over 32768 bytes",
         232,
         {.chunks = around(R"({"type": "PARM", "id": 1, "value_type": "uint8", "value": 1})")},
         true,
         0,
         {},
         [](const device_box &b) {
             b.write("/mnt/storage/System/System.bin",
                     parameter_file(record(1, "\x05\x00")) + std::string(32763, '\0'));
         }},
        {"PARM of an unknown type",
         232,
         {.chunks = around(R"({"type": "PARM", "id": 1, "value_type": "float", "value": 1})")},
         true,
         0,
         {},
         [](const device_box &b) {
             b.write("/mnt/storage/System/System.bin", parameter_file(record(1, "\x05\x00")));
         }},
        {"FPAR cut",
         233,
         {.chunks = last(R"({"type": "FPAR", "id": 1, "value_type": "uint8", "value": 1})")},
         true,
         1},
        {"FPAR without a parameter area",
         234,
         {.chunks = around(R"({"type": "FPAR", "id": 1, "value_type": "uint8", "value": 1})")},
         true,
         0,
         {},
         [](const device_box &b) { unlink(b.host_path("/mnt/rawfs/params").c_str()); }},
    });
}

// Allocations that fail: a file whose data fits in it but not in the
// memory the process may take (ulimit; the sanitizers' allocator is told
// to refuse instead).
TEST(EngineMalformed, NoMemory) {
    constexpr unsigned big = 24 << 20;
    const std::string size = std::to_string(big);
    const malformed rows[] = {
        {"MMCF data",
         218,
         {.chunks =
              last(R"({"type": "MMCF", "area": "custom", "hex": "00", "size": )" + size + "}")},
         true},
        // The length (24 MiB), then that many bytes of the same pattern.
        {"SHEL command",
         280,
         {.chunks = last(R"({"type": "raw", "fourcc": "SHEL", "hex": "00008001", "size": )" +
                         std::to_string(big + 4) + "}")},
         true},
        {"TIME list",
         244,
         {.time = R"({"type": "TIME", "declared": )" + std::to_string(big / 4) + "}",
          .chunks = last(R"({"type": "EXT4", "pad": )" + size + "}")},
         false},
    };
    const std::string limit =
        VARITOOL_SANITIZED ? "export ASAN_OPTIONS=\"$ASAN_OPTIONS:allocator_may_return_null=1:"
                             "max_allocation_size_mb=16\"; "
                           : "ulimit -v 20000; ";
    for (const malformed &row : rows) {
        SCOPED_TRACE(row.what);
        update_box u;
        pack_row(u, row);
        run_result r = u.box.shell(limit + shell_quote(driver) + " run /cache/u.oza");
        EXPECT_EQ(result(lines(r.out)), row.code) << r.err;
        EXPECT_EQ(u.exists("/data/before"), row.walked);
    }
}

// A stage text for each step, a line for each chunk, progress in weights.
TEST_F(Engine, StageTextsChunkLinesAndProgress) {
    const std::vector<std::string> out = install({
        .time = "[1, 2, 1]",
        .chunks = R"({"type": "EXT0", "value": 1}, {"type": "BOOT", "value": 2},
                     {"type": "ADEL", "value": 0}, {"type": "MVER", "version": "4.0.25"},
                     {"type": "EXT9"})",
    });
    EXPECT_EQ(out, (std::vector<std::string>{
                       "status opening oza file",
                       "status parsing riff",
                       "status parsing sign",
                       "status parsing cipher",
                       "status parsing unit",
                       "status parsing version",
                       "status parsing duration",
                       "status chunk EXT0 at 00000224  len 00000012",
                       "progress 250 1000",
                       "status chunk BOOT at 00000236  len 00000012",
                       "progress 750 1000",
                       "status chunk ADEL at 00000248  len 00000012",
                       "progress 1000 1000",
                       "status chunk MVER at 00000260  len 00000020",
                       "status chunk EXT9 at 00000280  len 00000008",
                       "result 0",
                       "flags 2 0",
                   }));
}

TEST_F(Engine, AFileEndingAfterTimeInstallsNothing) {
    const std::vector<std::string> out = install({});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(starting(out, "status chunk"), std::vector<std::string>{});
    EXPECT_EQ(out.at(out.size() - 3), "status parsing duration");
}

// Weights that run out or sum to 0: no division by zero, nothing read past
// the list.
TEST_F(Engine, ProgressWhenWeightsRunOutOrSumToZero) {
    const std::string three = R"({"type": "MSGB", "text": "1"}, {"type": "MSGB", "text": "2"},
                                 {"type": "MSGB", "text": "3"})";
    const struct {
        const char *time;
        std::vector<std::string> progress;
    } cases[] = {
        {"[0, 0, 0]", {}},
        {"[]", {}},
        {"[5]", {"progress 1000 1000", "progress 1000 1000", "progress 1000 1000"}},
        {"[1, 1, 2]", {"progress 250 1000", "progress 500 1000", "progress 1000 1000"}},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> out = install({.time = c.time, .chunks = three});
        EXPECT_EQ(result(out), 0) << c.time;
        EXPECT_EQ(starting(out, "progress"), c.progress) << c.time;
        EXPECT_EQ(starting(out, "message").size(), 3u);
    }
}

TEST_F(Engine, AnIncompleteCallbackTableEndsTheRunWith255) {
    pack({.chunks = after}, "/cache/u.oza");
    for (const char *slot : {"table", "progress", "status", "trace", "message", "aux", "removed",
                             "create_file", "load_hdd_param", "load_flash_param", "format",
                             "get_min_sys_version", "get_sys_version"}) {
        const std::vector<std::string> out = drive({"run", "--missing", slot, "/cache/u.oza"});
        EXPECT_EQ(result(out), 255) << slot;
        EXPECT_EQ(starting(out, "status"), std::vector<std::string>{}) << slot;
    }
    EXPECT_FALSE(exists("/data/after"));
    // Only the mount-point resolver may be left out: the built-in table serves.
    EXPECT_EQ(result(drive({"run", "--missing", "get_mountpoint", "/cache/u.oza"})), 0);
    EXPECT_EQ(file("/data/after"), "a");
}

TEST_F(Engine, AHostsMountPointsReplaceTheBuiltInTable) {
    const std::vector<std::string> out =
        install({.chunks = after + R"(, {"type": "COPY", "index": 1, "path": "x", "text": "x"})"},
                {"--mount", "2=/cache/"});
    EXPECT_EQ(result(out), 0);
    EXPECT_EQ(file("/cache/after"), "a");
    EXPECT_FALSE(exists("/data/after"));
    EXPECT_FALSE(exists("/mnt/system/x")) << "index 1 is unknown to this host";
}

TEST_F(Engine, AutoDeleteOnEveryPathOnceAValueWasRead) {
    const std::string adel = R"({"type": "ADEL", "value": 1})";
    const std::string unknown = R"({"type": "raw", "fourcc": "EXT1"})";
    const struct {
        const char *what;
        std::string chunks;
        int code;
        bool removed;
    } cases[] = {
        {"success", adel, 0, true},
        {"failure after ADEL", adel + ", " + unknown, 209, true},
        {"failure before ADEL", unknown + ", " + adel, 209, false},
        {"ADEL 0", R"({"type": "ADEL", "value": 0})", 0, false},
        {"the last value counts", adel + R"(, {"type": "ADEL", "value": 0})", 0, false},
    };
    for (const auto &c : cases) {
        const std::vector<std::string> out = install({.chunks = c.chunks});
        EXPECT_EQ(result(out), c.code) << c.what;
        EXPECT_EQ(has(out, "removed /cache/u.oza"), c.removed) << c.what;
        EXPECT_EQ(exists("/cache/u.oza"), !c.removed) << c.what;
    }
}

} // namespace
