// The life-cycle commands of ozatool: extract (a folder whose manifest
// packs back to the same bytes), resign (another slot or key; refused when
// the new slot's gate refuses a chunk) and params (the typed parameter
// records decoded).
#include "core/byteorder.h"

#include "tests/support/oracle.h"
#include "tests/support/ozatool.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

const std::string samples = VARITOOL_SOURCE_DIR "/tests/data/updates/";
const std::string iv = "\"000102030405060708090a0b0c0d0e0f\"";

// Packs a manifest (the device may refuse the file); the file's bytes.
bytes pack(const scratch_dir &dir, const std::string &name, const std::string &manifest) {
    write_text(dir.at(name + ".json"), manifest);
    run_result r = ozatool(
        {"pack", dir.at(name + ".json"), "-o", dir.at(name + ".oza"), "--allow-refused", "-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_bytes(dir.at(name + ".oza"));
}

std::string head(int slot, const std::string &extra = "") {
    return "\"signature\": {\"slot\": " + std::to_string(slot) + ", \"key\": \"" +
           key("slot" + std::to_string(slot) + ".pem") +
           "\"}, \"unit\": \"a004\", \"version\": \"4.0.28\"" + extra;
}

// Every file, however odd, comes apart into a folder whose manifest packs
// back to the same bytes: known chunks with their own fields, others raw,
// what the walk cannot read as the trailer.
TEST(OzatoolExtract, PacksBackByteForByte) {
    scratch_dir dir;
    const std::string cipher =
        ", \"cipher\": {\"key\": \"" + key("aes.keyrec") + "\", \"iv\": " + iv + "}";
    struct {
        const char *name;
        bytes file;
        std::vector<std::string> keys; // how the chunks are read
    } cases[] = {
        {"every chunk type", read_bytes(samples + "every-chunk.oza"), {}},
        {"enciphered", read_bytes(samples + "enciphered.oza"), {"--aes", key("aes.keyrec")}},
        {"plain with a cipher chunk", read_bytes(samples + "slot5-cipher-marker.oza"), {}},
        {"odd chunks",
         pack(dir, "odd", std::string("{").append(head(1)) + R"(, "time": [3, 4], "chunks": [
            {"type": "raw", "fourcc": "QQQQ", "hex": "0102"},
            {"type": "COPY", "index": 1, "path": "x", "text": "abc", "pad": 5},
            {"type": "MSGB", "text": "m", "length": 300},
            {"type": "raw", "fourcc": "MSGB", "hex": "ff41"},
            {"type": "SHEL", "command": "true", "declared": 2}],
            "trailer": {"hex": "0011"}})"),
         {}},
        {"odd enciphered chunks",
         pack(dir, "odd2", std::string("{").append(head(2, cipher)) + R"(, "chunks": [
            {"type": "COPY", "index": 1, "path": "x", "hex": "41", "size": 40000, "pad": 20},
            {"type": "TAGP", "entries": [{"tag": 9, "words": [1]}], "terminator": false},
            {"type": "EXT5"}]})"),
         {"--aes", key("aes.keyrec")}},
        {"cut inside a chunk", {}, {"--aes", key("aes.keyrec")}},
        {"cut after its head", {}, {}},
    };
    const bytes enciphered = read_bytes(samples + "enciphered.oza");
    cases[5].file.assign(enciphered.begin(), enciphered.end() - 100);
    const bytes plain = read_bytes(samples + "every-chunk.oza");
    cases[6].file.assign(plain.begin(), plain.begin() + 150);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.file.empty());
        write_text(dir.at("in.oza"), std::string(c.file.begin(), c.file.end()));
        const std::string out = dir.at(std::string("x-") + c.name);
        std::vector<std::string> args = {"extract", dir.at("in.oza"), "-d", out};
        args.insert(args.end(), c.keys.begin(), c.keys.end());
        run_result r = ozatool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_TRUE(file_exists(out + "/manifest.json"));
        r = ozatool(
            {"pack", out + "/manifest.json", "-o", dir.at("back.oza"), "--allow-refused", "-q"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_bytes(dir.at("back.oza")), c.file);
    }

    // The payloads are the deciphered data, and a manifest that names the
    // signing key signs the same bytes again.
    const std::string out = dir.at("enciphered");
    ASSERT_EQ(ozatool({"extract", samples + "enciphered.oza", "-d", out, "--aes", key("aes.keyrec"),
                       "--key-path", key("slot2.pem")})
                  .status,
              0);
    const json m = json::parse(read_text(out + "/manifest.json"));
    EXPECT_EQ(m["signature"]["slot"], 2);
    EXPECT_EQ(m["signature"]["key"], key("slot2.pem"));
    bool found = false;
    for (const json &chunk : m["chunks"])
        if (chunk["type"] == "COPY") {
            found = true;
            EXPECT_EQ(read_text(out + "/" + chunk["file"].get<std::string>()),
                      read_text(samples + "data/hello.txt"));
        }
    EXPECT_TRUE(found);
    ASSERT_EQ(ozatool({"pack", out + "/manifest.json", "-o", dir.at("resigned.oza")}).status, 0);
    EXPECT_EQ(read_bytes(dir.at("resigned.oza")), enciphered);

    // A folder that holds something, and an enciphered file without its key.
    EXPECT_EQ(ozatool({"extract", samples + "every-chunk.oza", "-d", out}).status, 2);
    EXPECT_EQ(ozatool({"extract", samples + "enciphered.oza", "-d", dir.at("none")}).status, 2);
}

TEST(OzatoolResign, AnotherSlotAndBackGiveTheSameBytes) {
    scratch_dir dir;
    const std::string original = samples + "enciphered.oza"; // slot 2, enciphered
    const std::vector<std::string> aes = {"--aes", key("aes.keyrec")};
    run_result r = ozatool({"resign", original, "-k", key("slot1.pem"), "--slot", "1", "-o",
                            dir.at("slot1.oza"), "--aes", key("aes.keyrec")});
    ASSERT_EQ(r.status, 0) << r.err;
    const bytes one = read_bytes(dir.at("slot1.oza")), two = read_bytes(original);
    EXPECT_EQ(bytes(one.begin(), one.begin() + 8), from_hex("4f5a4132 53494730"));
    EXPECT_EQ(bytes(one.begin() + 140, one.end()), bytes(two.begin() + 140, two.end()));
    EXPECT_EQ(ozatool({"verify", dir.at("slot1.oza"), "--key", key("slot1.keyrec"), "--aes",
                       key("aes.keyrec")})
                  .status,
              0);
    // Back to slot 2 with its key: the original, byte for byte.
    r = ozatool({"resign", dir.at("slot1.oza"), "-k", key("slot2.pem"), "--slot", "2", "-o",
                 dir.at("slot2.oza"), "--aes", key("aes.keyrec")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_bytes(dir.at("slot2.oza")), two);
    // Without --slot the file keeps its slot.
    r = ozatool({"resign", dir.at("slot1.oza"), "-k", key("slot2.pem"), "-o", dir.at("k.oza"),
                 "--aes", key("aes.keyrec"), "--allow-refused"});
    EXPECT_EQ(read_bytes(dir.at("k.oza"))[7], '0');

    // Slot 3 allows neither COPY nor SHEL: refused, and nothing written.
    r = ozatool({"resign", original, "-k", key("slot3.pem"), "--slot", "3", "-o",
                 dir.at("slot3.oza"), "--aes", key("aes.keyrec")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("COPY at offset"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not allowed in files of signature slot 3 [the device stops with 256]"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(file_exists(dir.at("slot3.oza")));
    // An enciphered file whose chunks cannot be read: the gate cannot be checked.
    r = ozatool({"resign", original, "-k", key("slot1.pem"), "--slot", "1", "-o", dir.at("x.oza")});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(file_exists(dir.at("x.oza")));
    // Never over its input.
    r = ozatool({"resign", dir.at("slot1.oza"), "-k", key("slot1.pem"), "-o", dir.at("slot1.oza"),
                 "--aes", key("aes.keyrec")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_bytes(dir.at("slot1.oza")), one);
}

// The records of a params area, of ParamStore_3b alone and of a System.bin,
// with the values as the device's types store them.
TEST(OzatoolParams, DecodesTheTypedRecords) {
    scratch_dir dir;
    auto record = [](unsigned id, const std::string &value) {
        std::string r(4, '\0');
        r[0] = char((4 + value.size()) & 0xff);
        r[1] = char((4 + value.size()) >> 8);
        r[2] = char(id & 0xff);
        r[3] = char(id >> 8);
        return r + value;
    };
    const std::string records = record(1, std::string("\x34\x12", 2)) + std::string(2, '\0') +
                                record(7, std::string("fr\0\0", 4)) +
                                record(9, std::string("\xff\xff\xff\xff", 4));
    std::string typed = le32_text(0) + le32_text(8 + uint32_t(records.size())) + records;
    typed.resize(2032, '\0');
    std::string image(65536, '\0');
    image.replace(16400, typed.size(), typed);
    write_text(dir.at("params"), image);
    write_text(dir.at("ParamStore_3b"), typed);
    write_text(dir.at("System.bin"), std::string(4, '\0') + records + record(3, "x"));
    for (const char *file : {"params", "ParamStore_3b", "System.bin"}) {
        SCOPED_TRACE(file);
        run_result r = ozatool({"params", dir.at(file), "--json"});
        ASSERT_EQ(r.status, 0) << r.err;
        const json doc = json::parse(r.out);
        const json &s = doc["sources"][0];
        EXPECT_EQ(s["record"], std::string(file) == "System.bin" ? "System.bin" : "ParamStore_3b");
        ASSERT_GE(s["records"].size(), 3u);
        EXPECT_EQ(s["records"][0]["id"], 1);
        EXPECT_EQ(s["records"][0]["value"]["u16"], 0x1234);
        EXPECT_EQ(s["records"][1]["offset"], s["records"][0]["offset"].get<int>() + 8); // a gap
        EXPECT_EQ(s["records"][1]["value"]["string"], "fr");
        EXPECT_EQ(s["records"][2]["value"]["u32"], 0xffffffffu);
        EXPECT_EQ(s["records"][2]["value"]["i32"], -1);
    }
    run_result r = ozatool({"params", dir.at("System.bin")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("System.bin (" + dir.at("System.bin") + "): 4 records"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("id 1     at 4       6 bytes  0x3412 (u16 4660, i16 4660)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("id 3"), std::string::npos) << r.out;
    r = ozatool({"params", dir.at("params"), "--id", "7"});
    EXPECT_NE(r.out.find("1 record\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"fr\""), std::string::npos) << r.out;
    // A record that claims more than the file holds.
    write_text(dir.at("cut.bin"), std::string(4, '\0') + record(5, "ab").substr(0, 5));
    r = ozatool({"params", dir.at("cut.bin")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("note: the record at 4 (id 5, 6 bytes) runs past the end at 9"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(ozatool({"params", dir.at("nothere")}).status, 2);
}

} // namespace
