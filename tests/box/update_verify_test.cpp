// Opening an update file in device boxes: the signature over bytes 140 to
// the end with the key of each slot and the fallbacks of an unusable key
// store, enciphered files (chunk by chunk, truncated at every byte), and
// the light checks OZA_check_file and OZA_check_coldflash.
#include "tests/box/engine_box.h"

#include "core/byteorder.h"
#include "crypto/keyrec.h"
#include "tests/support/oracle.h"

#include <fstream>
#include <map>
#include <random>

namespace {

using namespace engine_box;

const std::string after = R"({"type": "COPY", "index": "data", "path": "after", "text": "a"})";

// Writes bytes at offset of a box file.
void poke(const device_box &box, const std::string &box_path, long offset,
          const std::string &bytes) {
    std::fstream f(box.host_path(box_path), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Where each chunk of a run started, from its status lines: fourcc -> (start, length).
std::map<std::string, std::pair<long, long>> chunk_places(const std::vector<std::string> &out) {
    std::map<std::string, std::pair<long, long>> places;
    for (const std::string &l : starting(out, "status chunk ")) {
        // "status chunk XXXX at 00000224  len 00000012"
        places[l.substr(13, 4)] = {std::stol(l.substr(21, 8)), std::stol(l.substr(35, 8))};
    }
    return places;
}

// Runs every file in one driver process; the result of each, in order.
std::vector<int> results_of(const update_box &u, const std::vector<std::string> &paths) {
    std::vector<std::string> args;
    for (const std::string &p : paths) {
        if (!args.empty()) args.push_back("+");
        args.insert(args.end(), {"run", "--quiet", p});
    }
    std::vector<int> codes;
    for (const std::string &l : starting(u.drive(args), "result "))
        codes.push_back(std::stoi(l.substr(7)));
    return codes;
}

TEST_F(Engine, AnyChangedByteFrom140OnBreaksTheSignature) {
    // Unused bytes inside a chunk and a skipped chunk are signed like the rest.
    const manifest good = {.chunks = R"({"type": "MSGB", "text": "m", "pad": 32},
                                        {"type": "EXT4", "pad": 16}, )" +
                                     after};
    const std::vector<std::string> out = install(good);
    ASSERT_EQ(result(out), 0);
    const auto places = chunk_places(out);
    const long msgb = places.at("MSGB").first, ext4 = places.at("EXT4").first;
    const long size = static_cast<long>(file("/cache/u.oza").size());
    const struct {
        const char *what;
        long offset;
        int code;
    } cases[] = {
        {"signature chunk length", 8, 0},
        {"signature block", 12, 207},
        {"first signed byte", 140, 207},
        {"unit name", 150, 207},
        {"unused bytes of a chunk", msgb + 8 + 256 + 5, 207},
        {"skipped chunk", ext4 + 8 + 3, 207},
        {"last byte", size - 1, 207},
    };
    std::vector<std::string> paths;
    for (const auto &c : cases) {
        manifest m = good;
        m.extra = R"("tamper": [{"offset": )" + std::to_string(c.offset) + R"(, "hex": "5a"}])";
        paths.push_back("/cache/t" + std::to_string(paths.size()) + ".oza");
        pack(m, paths.back());
    }
    const std::vector<int> codes = results_of(*this, paths);
    ASSERT_EQ(codes.size(), std::size(cases));
    for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(codes[i], cases[i].code) << cases[i].what;
}

TEST_F(Engine, EachSlotVerifiesWithItsOwnKeyOnly) {
    const struct {
        int slot;
        const char *key;
        int code;
    } cases[] = {
        {1, "slot1.pem", 0},   {2, "slot2.pem", 0},      {3, "slot3.pem", 0},
        {4, "slot4.pem", 0},   {5, "slot5.pem", 0},      {1, "slot2.pem", 207},
        {5, "slot1.pem", 207}, {4, "fallback.pem", 207}, {3, "image.pem", 207},
    };
    std::vector<std::string> paths;
    for (const auto &c : cases) {
        paths.push_back("/cache/s" + std::to_string(paths.size()) + ".oza");
        pack({.slot = c.slot, .key = keys + c.key, .chunks = R"({"type": "EXT0", "value": 1})"},
             paths.back());
    }
    const std::vector<int> codes = results_of(*this, paths);
    ASSERT_EQ(codes.size(), std::size(cases));
    for (size_t i = 0; i < codes.size(); ++i)
        EXPECT_EQ(codes[i], cases[i].code) << "slot " << cases[i].slot << " " << cases[i].key;
}

// Without a readable key store, slots 1 to 4 check against the built-in
// fallback key, the unit name is "a004" and the built-in AES key deciphers.
TEST_F(Engine, AnUnreadableKeyStoreFallsBackToTheBuiltInKeys) {
    ASSERT_EQ(unlink(box.host_path("/dev/mmcblk0").c_str()), 0);
    const std::string fallback = keys + "fallback.pem";
    const struct {
        const char *what;
        manifest m;
        int code;
    } cases[] = {
        {"fallback key, a004, built-in AES key",
         {.key = fallback, .unit = "\"a004\"", .cipher = enciphered("aes_default.keyrec")},
         0},
        {"slot 3, plain",
         {.slot = 3,
          .key = fallback,
          .unit = "\"a004\"",
          .chunks = R"({"type": "EXT0", "value": 1})"},
         0},
        {"slot 5 keeps its key", {.slot = 5, .unit = "\"a004\""}, 0},
        {"the stored key of slot 1", {.unit = "\"a004\""}, 207},
        {"the box's unit name", {.key = fallback}, 212},
        {"the stored AES key", {.key = fallback, .unit = "\"a004\"", .cipher = enciphered()}, 210},
    };
    std::vector<std::string> paths;
    for (const auto &c : cases) {
        manifest m = c.m;
        if (m.chunks.empty()) m.chunks = after;
        paths.push_back("/cache/k" + std::to_string(paths.size()) + ".oza");
        pack(m, paths.back());
    }
    const std::vector<int> codes = results_of(*this, paths);
    ASSERT_EQ(codes.size(), std::size(cases));
    for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(codes[i], cases[i].code) << cases[i].what;
    EXPECT_EQ(file("/data/after"), "a");
}

TEST_F(Engine, AStoredKeyWithABadChecksumFallsBack) {
    // The checksum of slot 2's record: key store at 520 + 1024, record at 340.
    poke(box, "/dev/mmcblk0", 520 + 1024 + 340 + 140, "\x5a");
    std::vector<std::string> paths = {"/cache/a.oza", "/cache/b.oza", "/cache/c.oza"};
    pack({.slot = 2}, paths[0]);
    pack({.slot = 2, .key = keys + "fallback.pem"}, paths[1]);
    pack({.slot = 1}, paths[2]);
    EXPECT_EQ(results_of(*this, paths), (std::vector<int>{207, 0, 0}));
}

// Key records that pass their checksum but cannot be used, and a key whose
// arithmetic cannot run: whatever the signature block holds, nothing
// verifies. Each file's block simply holds the digest of its signed region,
// which a check that left a failed block in place would accept.
TEST(EngineKeys, AKeyThatCannotBeUsedVerifiesNothing) {
    constexpr size_t slot1_record = 520 + 1024 + 196; // key store, then slot 1's record
    const struct {
        const char *what;
        void (*spoil)(unsigned char *record); // null: the stored key as it is
        bool bignum_held;
    } rows[] = {
        {"modulus of 65 words", [](unsigned char *r) { store_le16(r, 65); }, false},
        {"modulus of 65535 words", [](unsigned char *r) { store_le16(r, 0xFFFF); }, false},
        {"exponent of 5 words", [](unsigned char *r) { store_le16(r + 130, 5); }, false},
        {"exponent of 65535 words", [](unsigned char *r) { store_le16(r + 130, 0xFFFF); }, false},
        {"zero modulus", [](unsigned char *r) { memset(r + 2, 0, 128); }, false},
        {"no modulus words", [](unsigned char *r) { store_le16(r, 0); }, false},
        {"no memory for the arithmetic", nullptr, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        update_box u;
        if (row.spoil != nullptr) {
            const std::string mmc = u.file("/dev/mmcblk0");
            ASSERT_GE(mmc.size(), slot1_record + key_record_size);
            unsigned char record[key_record_size];
            memcpy(record, mmc.data() + slot1_record, sizeof record);
            row.spoil(record);
            store_le32(record + key_record_checksum_offset, key_record_checksum(record));
            ASSERT_TRUE(key_record_valid(record));
            u.box.patch("/dev/mmcblk0", slot1_record,
                        std::string(reinterpret_cast<const char *>(record), sizeof record));
        }
        u.pack({.chunks = after}, "/cache/u.oza");
        const std::string file = u.file("/cache/u.oza");
        const auto digest = oracle_md5(file.data() + 140, file.size() - 140);
        std::string block(128, '\0');
        memcpy(block.data(), digest.data(), digest.size());
        u.box.patch("/cache/u.oza", 12, block);

        std::vector<std::string> args = {"run"};
        if (row.bignum_held) args.push_back("--bignum-held");
        args.push_back("/cache/u.oza");
        const std::vector<std::string> out = u.drive(args);
        EXPECT_EQ(result(out), 207);
        EXPECT_FALSE(has(out, "status parsing cipher")) << "the run went on past the signature";
        EXPECT_FALSE(u.exists("/data/after"));
        // The same file signed properly: refused with an unusable key, taken
        // with the box's own.
        u.pack({.chunks = after}, "/cache/signed.oza");
        EXPECT_EQ(result(u.drive({"run", "--quiet", "/cache/signed.oza"})),
                  row.spoil != nullptr ? 207 : 0);
        EXPECT_EQ(u.exists("/data/after"), row.spoil == nullptr);
    }
}

TEST_F(Engine, ACipherChunkWithAnotherMarkerLeavesTheFilePlain) {
    const std::vector<std::string> out =
        install({.time = "[1]",
                 .cipher = std::string(R"({"marker": 1, "iv": ")") + iv + "\"}",
                 .chunks = R"({"type": "EXT0", "value": 1})"});
    EXPECT_EQ(result(out), 0);
    // "UNIT" at 168, 40 bytes; "VERS" 20; "TIME" 16: the chunk starts at 244.
    EXPECT_TRUE(has(out, "status chunk EXT0 at 00000244  len 00000012"));
}

// The same chunks, plain and enciphered, do the same: the walk reads each
// header right whether the chunk before was read to its end or not.
TEST_F(Engine, AnEncipheredFileAppliesLikeThePlainOne) {
    std::mt19937_64 rng(7);
    std::string data(30000, '\0');
    for (char &c : data) c = static_cast<char>(rng());
    write_text(work.at("data.bin"), data);
    const std::string chunks = R"(
        {"type": "MSGB", "text": "not read to its end", "pad": 200},
        {"type": "COPY", "index": "data", "path": "big", "file": "data.bin"},
        {"type": "COPY", "index": "data", "path": "odd", "file": "data.bin", "size": 12289},
        {"type": "EXT2", "index": "data", "path": "odd", "mode": "0600", "pad": 40},
        {"type": "COPY", "index": "system", "path": "empty", "text": ""},
        {"type": "EXT0", "value": 7})";
    std::vector<std::vector<std::string>> runs;
    for (const std::string &cipher : {std::string(), enciphered()}) {
        box.shell("rm -f /data/big /data/odd /mnt/system/empty");
        runs.push_back(install({.cipher = cipher, .chunks = chunks}));
        EXPECT_EQ(result(runs.back()), 0);
        EXPECT_EQ(file("/data/big"), data);
        EXPECT_EQ(file("/data/odd"), data.substr(0, 12289));
        EXPECT_TRUE(exists("/mnt/system/empty"));
    }
    for (const char *prefix : {"message", "progress", "create_file", "result"})
        EXPECT_EQ(starting(runs[0], prefix), starting(runs[1], prefix)) << prefix;
    auto fourccs = [](const std::vector<std::string> &out) {
        std::vector<std::string> f;
        for (const std::string &l : starting(out, "status chunk ")) f.push_back(l.substr(13, 4));
        return f;
    };
    EXPECT_EQ(fourccs(runs[0]), fourccs(runs[1]));
    EXPECT_EQ(fourccs(runs[1]).size(), 6u);
}

// An enciphered file cut (and signed again) at every byte: each run ends,
// with the code of the part that was cut short.
TEST_F(Engine, AnEncipheredFileCutAtEveryByte) {
    const manifest full = {.cipher = enciphered(),
                           .chunks = R"({"type": "ADEL", "value": 0}, {"type": "EXT0", "value": 3},
                                        {"type": "COPY", "index": "data", "path": "c", "text": "abcd"},
                                        {"type": "MVER", "version": "4.0.1"})"};
    const std::vector<std::string> out = install(full);
    ASSERT_EQ(result(out), 0);
    const long size = static_cast<long>(file("/cache/u.oza").size());

    // Each chunk is a whole number of blocks, and only whole blocks are read.
    struct part {
        long start, length;
        size_t fixed; // payload read before any data
        int short_code, data_code;
    };
    std::vector<part> parts = {
        {168, 48, 32, 211, 0}, {216, 32, 12, 235, 0}, {248, 32, 4, 245, 246}};
    const std::map<std::string, std::pair<size_t, std::pair<int, int>>> ops = {
        {"ADEL", {4, {222, 0}}},
        {"EXT0", {4, {270, 0}}},
        {"COPY", {264, {215, 214}}},
        {"MVER", {12, {235, 0}}}};
    for (const auto &[fourcc, place] : chunk_places(out)) {
        const auto &op = ops.at(fourcc);
        parts.push_back({place.first, place.second, op.first, op.second.first, op.second.second});
    }
    auto expected = [&](long n) {
        if (n < 4) return 203;
        if (n < 140) return 205;
        if (n < 168) return 247;
        if (n == size) return 0;
        for (const part &p : parts) {
            if (n < p.start || n >= p.start + p.length) continue;
            const long delivered = (n - p.start) / 16 * 16;
            if (p.start == 168) return 211;                   // "UNIT": 40 bytes or 211
            if (n == p.start) return p.start < 280 ? 252 : 0; // a file ending at a chunk
            if (delivered < 8) return 209;
            if (delivered < long(8 + p.fixed)) return p.short_code;
            return p.data_code;
        }
        return -1;
    };
    ASSERT_EQ(parts[3].start, 280) << "the operation chunks follow TIME";

    std::vector<std::string> args = {"timeout", "600", driver};
    for (long n = 0; n <= size; ++n) {
        manifest m = full;
        m.extra = "\"truncate\": " + std::to_string(n);
        const std::string path = "/cache/cut" + std::to_string(n) + ".oza";
        pack(m, path);
        if (n > 0) args.push_back("+");
        args.insert(args.end(), {"run", "--quiet", path});
    }
    run_result r = box.run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "a sanitizer report or a driver failure";
    const std::vector<std::string> codes = starting(lines(r.out), "result ");
    ASSERT_EQ(codes.size(), size_t(size + 1));
    for (long n = 0; n <= size; ++n)
        EXPECT_EQ(std::stoi(codes[size_t(n)].substr(7)), expected(n)) << "cut at " << n;
}

// A file changed after its digest was checked stops the walk before the
// next chunk with the short-digest-read code; nothing after the change is
// installed. Reading it, or a host's copy of the same size after FRMT, is no
// change.
TEST_F(Engine, AnUpdateFileChangedAfterItsCheckStopsBeforeTheNextChunk) {
    const struct {
        const char *what;
        std::string command;
        std::vector<std::string> options;
        int code;
    } cases[] = {
        {"rewritten in place",
         R"({"type": "SHEL", "command": "printf X | dd of=/cache/u.oza bs=1 seek=200 conv=notrunc 2>/dev/null"})",
         {},
         206},
        {"appended to", R"({"type": "SHEL", "command": "printf X >> /cache/u.oza"})", {}, 206},
        {"touched", R"({"type": "SHEL", "command": "touch /cache/u.oza"})", {}, 206},
        {"read", R"({"type": "SHEL", "command": "cat /cache/u.oza > /dev/null"})", {}, 0},
        {"copied by the host",
         R"({"type": "FRMT", "format": 2, "cleanup": 0})",
         {"--format-copy", "0"},
         0},
        {"copied by the host, longer",
         R"({"type": "FRMT", "format": 2, "cleanup": 0})",
         {"--format-copy", "1"},
         206},
    };
    for (const auto &c : cases) {
        box.run({"/bin/busybox", "rm", "-f", "/data/before", "/data/after"});
        pack({.chunks = R"({"type": "COPY", "index": "data", "path": "before", "text": "a"}, )" +
                        c.command +
                        R"(, {"type": "COPY", "index": "data", "path": "after", "text": "b"})"},
             "/cache/u.oza");
        std::vector<std::string> args = {"run"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back("/cache/u.oza");
        const std::vector<std::string> out = drive(args);
        EXPECT_EQ(result(out), c.code) << c.what;
        EXPECT_EQ(file("/data/before"), "a") << c.what;
        EXPECT_EQ(exists("/data/after"), c.code == 0) << c.what;
    }
}

// Only a regular file is opened as an update file: a FIFO would block the
// open, a directory or a device has no size to check.
TEST_F(Engine, AnUpdateFileThatIsNoRegularFileCannotBeOpened) {
    box.run({"/bin/busybox", "mkfifo", "/cache/fifo"});
    for (const char *path : {"/cache", "/cache/fifo", "/dev/zero"}) {
        run_result r = box.run({"/usr/bin/timeout", "60", driver, "run", path});
        EXPECT_EQ(result(lines(r.out)), 201) << path << r.err;
    }
}

TEST_F(Engine, CheckFileAndColdFlashWithSeveralMverAndExt0) {
    const std::string chunks = R"(
        {"type": "MVER", "version": "4.0.1"}, {"type": "EXT0", "value": 1},
        {"type": "COPY", "index": "data", "path": "x", "text": "x"},
        {"type": "MVER", "version": "4.0.27"}, {"type": "EXT0", "value": 0},
        {"type": "MVER", "version": "3.9.99"}, {"type": "EXT0", "value": 7})";
    pack({.slot = 2, .chunks = chunks}, "/cache/p.oza");
    pack({.slot = 2, .cipher = enciphered(), .chunks = chunks}, "/cache/e.oza");
    pack({.slot = 5, .chunks = R"({"type": "MVER", "version": "4.0.1"})"}, "/cache/none.oza");
    pack({.chunks = R"({"type": "EXT0", "value": 1}, {"type": "MVER", "version": "4.0.1"})",
          .extra = "\"truncate\": 247"},
         "/cache/short-mver.oza");
    pack({.chunks = R"({"type": "EXT0", "value": 1})", .extra = "\"truncate\": 226"},
         "/cache/short-ext0.oza");
    pack({.chunks = R"({"type": "EXT0", "value": 1}, {"type": "EXT4", "length": 4})"},
         "/cache/length.oza");
    pack({.chunks = R"({"type": "EXT0", "value": 1})",
          .extra = R"("tamper": [{"offset": 220, "hex": "00"}])"},
         "/cache/tampered.oza");
    const struct {
        const char *file, *version;
        int check, coldflash;
    } cases[] = {
        {"p", "4.0.28", 0, 7},           {"p", "4.0.27", 0, 7},
        {"p", "4.0.26", 283, 7},         {"p", "3.0.0", 283, 7},
        {"e", "4.0.27", 0, 7},           {"e", "4.0.26", 283, 7},
        {"none", "4.0.1", 0, 0},         {"none", "4.0.0", 283, 0},
        {"short-mver", "9.0.0", 235, 1}, {"short-ext0", "1.0.0", 0, -1},
        {"length", "4.0.28", 209, -1},   {"tampered", "4.0.28", 207, -1},
        {"missing", "4.0.28", 201, -1},
    };
    for (const auto &c : cases) {
        const std::string path = std::string("/cache/") + c.file + ".oza";
        unsigned major = 0, minor = 0, revision = 0;
        sscanf(c.version, "%u.%u.%u", &major, &minor, &revision);
        const std::vector<std::string> out =
            drive({"check-file", std::to_string(major), std::to_string(minor),
                   std::to_string(revision), path, "+", "coldflash", path});
        EXPECT_EQ(out, (std::vector<std::string>{"check-file " + std::to_string(c.check),
                                                 "coldflash " + std::to_string(c.coldflash)}))
            << c.file << " at " << c.version;
    }
}

} // namespace
