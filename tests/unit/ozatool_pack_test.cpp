// ozatool pack, info, verify and keystore. The files pack makes are checked
// against OpenSSL (digest, RSA public operation, AES-CBC deciphering with
// the openssl program) and against layouts written out by hand here, so the
// format is pinned by more than the tool's own reader.
#include "core/byteorder.h"
#include "crypto/keyrec.h"

#include "tests/support/oracle.h"
#include "tests/support/ozatool.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

// The start of a manifest: signature of the slot, the unit, 4.0.28.
std::string head(int slot = 1, const std::string &extra = "", const std::string &unit = "a004") {
    return "\"signature\": {\"slot\": " + std::to_string(slot) + ", \"key\": \"" +
           key("slot" + std::to_string(slot) + ".pem") + "\"}, \"unit\": \"" + unit +
           "\", \"version\": \"4.0.28\"" + extra;
}

// Options that let pack write a file the device refuses or misreads, for
// tests of the layout of such files.
const std::vector<std::string> refused_ok = {"--allow-refused"};

struct packed {
    run_result run;
    bytes file;
};

// Writes the manifest into dir and packs it.
packed pack(const scratch_dir &dir, const std::string &manifest,
            const std::vector<std::string> &options = {}) {
    write_text(dir.at("m.json"), manifest);
    std::remove(dir.at("out.oza").c_str());
    std::vector<std::string> args = {"pack", dir.at("m.json"), "-o", dir.at("out.oza")};
    args.insert(args.end(), options.begin(), options.end());
    packed p{ozatool(args), {}};
    p.file = read_bytes(dir.at("out.oza"));
    return p;
}

bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
bytes u32(uint32_t v) {
    bytes b(4);
    store_le32(b.data(), v);
    return b;
}
bytes text(const std::string &s) {
    return bytes(s.begin(), s.end());
}
// A NUL-padded field of n bytes.
bytes field(const std::string &s, size_t n = 256) {
    bytes b(n, 0);
    memcpy(b.data(), s.data(), s.size());
    return b;
}
bytes chunk(const char *fourcc, const bytes &payload) {
    return text(fourcc) + u32(uint32_t(8 + payload.size())) + payload;
}

// The signature check with OpenSSL's numbers: the block raised to the
// public exponent modulo the modulus gives the MD5 digest of bytes 140 on
// in its 16 low bytes.
bool signed_by(const bytes &file, const std::string &pem) {
    unique_pkey k = load_pem_key(pem);
    if (!k || file.size() < 140) return false;
    const auto digest = oracle_md5(file.data() + 140, file.size() - 140);
    unique_bn s = bn_from_le(file.data() + 12, 128), m(BN_new());
    unique_bn_ctx ctx(BN_CTX_new());
    BN_mod_exp(m.get(), s.get(), rsa_exponent(k.get()).get(), rsa_modulus(k.get()).get(),
               ctx.get());
    const bytes r = bn_to_le(m.get(), 128);
    return std::equal(digest.begin(), digest.end(), r.begin());
}

// Deciphers bytes with the openssl program (AES-CBC, no padding).
bytes openssl_decipher(const scratch_dir &dir, const bytes &record, const bytes &iv,
                       const bytes &data) {
    const std::string in = dir.at("cipher.bin"), out = dir.at("plain.bin");
    write_text(in, std::string(data.begin(), data.end()));
    const unsigned bits = load_le16(record.data());
    run_result r = run_program("/usr/bin/openssl",
                               {"openssl", "enc", "-d", "-aes-" + std::to_string(bits) + "-cbc",
                                "-nopad", "-K", to_hex(record.data() + 2, bits / 8), "-iv",
                                to_hex(iv.data(), 16), "-in", in, "-out", out});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_bytes(out);
}

const bytes iv = from_hex("000102030405060708090a0b0c0d0e0f");
const std::string iv_hex = "\"000102030405060708090a0b0c0d0e0f\"";

// Every chunk type with its fields: the bytes pack writes for it, and
// whether it takes a progress weight (the count of the computed "TIME").
TEST(OzatoolPack, EveryChunkTypeHasItsLayout) {
    scratch_dir dir;
    write_text(dir.at("data/blob"), "0123456789");
    bytes tags = u32(5) + u32(0x54410001) + u32(1) + u32(2) + u32(3) + u32(0) + u32(0);
    struct {
        const char *json;
        bytes expected;
        uint32_t weight; // its computed weight, 0 for none
    } cases[] = {
        {R"({"type": "EXT0", "value": 1})", chunk("EXT0", u32(1)), 100},
        {R"({"type": "BOOT", "value": "0x10"})", chunk("BOOT", u32(16)), 100},
        {R"({"type": "ADEL", "value": 1})", chunk("ADEL", u32(1)), 100},
        {R"({"type": "HDDL", "value": 0})", chunk("HDDL", u32(0)), 100},
        {R"({"type": "MVER", "version": [4, 1, 2]})", chunk("MVER", u32(4) + u32(1) + u32(2)), 0},
        {R"({"type": "COPY", "index": "system", "path": "bin/x", "file": "data/blob"})",
         chunk("COPY", u32(1) + field("bin/x") + u32(10) + text("0123456789")), 100},
        {R"({"type": "COPY", "index": 3, "path": "big", "hex": "ab", "size": 3})",
         chunk("COPY", u32(3) + field("big") + u32(3) + from_hex("ababab")), 100},
        {R"({"type": "MOVE", "from_index": 2, "from_path": "a", "to_index": "cache", "to_path": "b"})",
         chunk("MOVE", u32(2) + field("a") + u32(4) + field("b")), 100},
        {R"({"type": "DLET", "index": 0, "path": "/x"})", chunk("DLET", u32(0) + field("/x")), 100},
        {R"({"type": "EXT2", "index": 1, "path": "bin/x", "mode": "0755"})",
         chunk("EXT2", u32(1) + field("bin/x") + u32(0755)), 0},
        {R"({"type": "MSGB", "text": "Hello"})", chunk("MSGB", field("Hello")), 100},
        {R"({"type": "SHEL", "command": "echo hi"})", chunk("SHEL", u32(7) + text("echo hi")), 0},
        {R"({"type": "FRMT", "format": 2, "cleanup": true})", chunk("FRMT", u32(2) + u32(1)), 100},
        {R"({"type": "FLSH", "address": "0x10000", "text": "abc"})",
         chunk("FLSH", u32(0x10000) + u32(3) + text("abc")), 100},
        {R"({"type": "MMCF", "area": "Boot Logo", "offset": 512, "text": "xy"})",
         chunk("MMCF", field("Boot Logo") + u32(512) + u32(2) + text("xy")), 100},
        {R"({"type": "EXT3", "offset": 16400, "hex": "01"})",
         chunk("EXT3", field("params") + u32(16400) + u32(1) + from_hex("01")), 100},
        {R"({"type": "TAGP", "entries": [{"tag": "0x54410001", "words": [1, 2, 3]}]})",
         chunk("TAGP", u32(uint32_t(tags.size())) + tags), 100},
        {R"({"type": "TAGP", "entries": [{"tag": 7, "hex": "0102", "size": 9}], "terminator": false})",
         chunk("TAGP", u32(12) + u32(9) + u32(7) + from_hex("01020000")), 100},
        {R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": 300})",
         chunk("PARM", u32(12) + field("uint8") + field("300")), 100},
        {R"({"type": "FPAR", "id": 3, "value_type": "string", "value": "on"})",
         chunk("FPAR", u32(3) + field("string") + field("on")), 100},
        {R"({"type": "EXTA"})", chunk("EXTA", {}), 0},
        {R"({"type": "raw", "fourcc": "EXT1", "text": "zz"})", chunk("EXT1", text("zz")), 0},
        {R"({"type": "raw", "fourcc": "QQQQ", "hex": "01", "weight": 5})",
         chunk("QQQQ", from_hex("01")), 5},
    };
    const bytes fixed = chunk("UNIT", field("a004", 32)) + chunk("VERS", u32(4) + u32(0) + u32(28));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        packed p = pack(dir, std::string("{").append(head()) + ", \"chunks\": [" + c.json + "]}",
                        refused_ok);
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        // Head, UNIT, VERS, TIME, the chunk.
        const size_t time_size = c.weight ? 16 : 12;
        ASSERT_EQ(p.file.size(), 140 + fixed.size() + time_size + c.expected.size());
        EXPECT_EQ(bytes(p.file.begin(), p.file.begin() + 4), text("OZA2"));
        EXPECT_EQ(bytes(p.file.begin() + 4, p.file.begin() + 12), text("SIG0") + u32(136));
        EXPECT_EQ(bytes(p.file.begin() + 140, p.file.begin() + 140 + long(fixed.size())), fixed);
        const uint8_t *time = p.file.data() + 140 + fixed.size();
        EXPECT_EQ(bytes(time, time + 8), text("TIME") + u32(uint32_t(time_size)));
        EXPECT_EQ(load_le32(time + 8), c.weight ? 1u : 0u);
        if (c.weight) {
            EXPECT_EQ(load_le32(time + 12), c.weight);
        }
        EXPECT_EQ(bytes(p.file.end() - long(c.expected.size()), p.file.end()), c.expected);
        EXPECT_TRUE(signed_by(p.file, key("slot1.pem")));
    }
}

TEST(OzatoolPack, WeightsAreSizesInKibOrGiven) {
    scratch_dir dir;
    // 300 KiB + 1 byte of data: a chunk of 307,473 bytes weighs 301; the
    // message weighs the least weight, 100; the explicit weight stays.
    packed p = pack(dir, std::string("{").append(head()) + R"(, "chunks": [
        {"type": "COPY", "index": 1, "path": "x", "hex": "00", "size": 307201},
        {"type": "MSGB", "text": "m"},
        {"type": "DLET", "index": 1, "path": "x", "weight": 7},
        {"type": "SHEL", "command": ""}]})");
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    const uint8_t *time = p.file.data() + 140 + 40 + 20;
    ASSERT_EQ(bytes(time, time + 4), text("TIME"));
    EXPECT_EQ(load_le32(time + 8), 3u);
    EXPECT_EQ(load_le32(time + 12), (8 + 264 + 307201 + 1023) / 1024);
    EXPECT_EQ(load_le32(time + 16), 100u);
    EXPECT_EQ(load_le32(time + 20), 7u);

    // An explicit list, a wrong count over computed weights.
    p = pack(dir, std::string("{").append(head()) + R"(, "time": [1, 2, 3], "chunks": []})",
             refused_ok);
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    EXPECT_EQ(bytes(p.file.begin() + 200, p.file.end()),
              chunk("TIME", u32(3) + u32(1) + u32(2) + u32(3)));
    p = pack(dir, std::string("{").append(head()) + R"(, "time": {"declared": 9},
                  "chunks": [{"type": "BOOT", "value": 1}]})",
             refused_ok);
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    EXPECT_EQ(bytes(p.file.begin() + 200, p.file.begin() + 216), chunk("TIME", u32(9) + u32(100)));
    p = pack(dir, std::string("{").append(head()) + R"(, "time": null, "chunks": []})", refused_ok);
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    EXPECT_EQ(p.file.size(), 200u);
}

TEST(OzatoolPack, EverySlotSignsWithItsKeyAndOnlyTheSignedRegionCounts) {
    scratch_dir dir;
    for (int slot = 1; slot <= 5; slot++) {
        SCOPED_TRACE(slot);
        packed p = pack(dir, std::string("{").append(head(slot)) +
                                 R"(, "chunks": [{"type": "MSGB", "text": "x"}]})");
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        EXPECT_EQ(bytes(p.file.begin() + 4, p.file.begin() + 8),
                  text("SIG" + std::to_string(slot - 1)));
        const std::string pem = key("slot" + std::to_string(slot) + ".pem");
        EXPECT_TRUE(signed_by(p.file, pem));
        EXPECT_FALSE(signed_by(p.file, key(slot == 1 ? "slot2.pem" : "slot1.pem")));
        const std::string rec = key("slot" + std::to_string(slot) + ".keyrec");
        EXPECT_EQ(ozatool({"verify", dir.at("out.oza"), "--key", rec}).status, 0);

        // A changed signature length field is outside the signed region; a
        // changed byte anywhere from 140 on is not.
        bytes f = p.file;
        f[8] ^= 0xff;
        EXPECT_TRUE(signed_by(f, pem));
        for (size_t at : {size_t(140), f.size() - 1, size_t(200)}) {
            bytes g = p.file;
            g[at] ^= 1;
            EXPECT_FALSE(signed_by(g, pem)) << at;
            write_text(dir.at("bad.oza"), std::string(g.begin(), g.end()));
            run_result r = ozatool({"verify", dir.at("bad.oza"), "--key", rec});
            EXPECT_EQ(r.status, 1) << at;
            EXPECT_NE(r.out.find("207"), std::string::npos) << r.out;
        }
    }
    // Another key on the command line signs instead of the manifest's.
    packed p = pack(dir, std::string("{").append(head(1)) + R"(, "chunks": []})",
                    {"-k", key("slot3.pem")});
    EXPECT_TRUE(signed_by(p.file, key("slot3.pem")));
}

// Each chunk from "UNIT" on is padded to whole blocks and enciphered by
// itself from the IV; openssl deciphers each one alone.
TEST(OzatoolPack, EncipheredChunksDecipherOneByOneWithOpenssl) {
    scratch_dir dir;
    ASSERT_EQ(ozatool({"aeskey", "-b", "256", dir.at("aes256")}).status, 0);
    for (const std::string &record : {key("aes.keyrec"), dir.at("aes256")}) {
        SCOPED_TRACE(record);
        const std::string chunks = R"(, "chunks": [
            {"type": "COPY", "index": 1, "path": "x", "text": "hello world"},
            {"type": "SHEL", "command": "true"},
            {"type": "EXT4"}]})";
        packed plain = pack(dir, std::string("{").append(head(2)) + chunks);
        ASSERT_EQ(plain.run.status, 0) << plain.run.err;
        packed p = pack(dir, std::string("{").append(head(2)) + ", \"cipher\": {\"key\": \"" +
                                 record + "\", \"iv\": " + iv_hex + "}" + chunks);
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        EXPECT_TRUE(signed_by(p.file, key("slot2.pem")));
        EXPECT_EQ(bytes(p.file.begin() + 140, p.file.begin() + 168),
                  text("CIPH") + u32(28) + u32(784729) + iv);

        // Walk both files side by side: the enciphered chunk is the plain
        // one padded with zero bytes, its length the padded length.
        const bytes aes = read_bytes(record);
        size_t at = 168, plain_at = 140;
        int count = 0;
        while (at < p.file.size()) {
            ASSERT_LE(at + 16, p.file.size());
            const bytes first = openssl_decipher(
                dir, aes, iv, bytes(p.file.begin() + long(at), p.file.begin() + long(at) + 16));
            const uint32_t length = load_le32(first.data() + 4);
            ASSERT_EQ(length % 16, 0u);
            ASSERT_LE(at + length, p.file.size());
            bytes whole = openssl_decipher(
                dir, aes, iv, bytes(p.file.begin() + long(at), p.file.begin() + long(at + length)));
            const uint32_t plain_length = load_le32(plain.file.data() + plain_at + 4);
            EXPECT_EQ(length, (plain_length + 15) / 16 * 16);
            bytes expected(plain.file.begin() + long(plain_at),
                           plain.file.begin() + long(plain_at + plain_length));
            store_le32(expected.data() + 4, length);
            expected.resize(length, 0);
            EXPECT_EQ(whole, expected) << "chunk " << count;
            at += length;
            plain_at += plain_length;
            count++;
        }
        EXPECT_EQ(at, p.file.size());
        EXPECT_EQ(plain_at, plain.file.size());
        EXPECT_EQ(count, 6); // UNIT, VERS, TIME, COPY, SHEL, EXT4
        EXPECT_EQ(
            ozatool({"verify", dir.at("out.oza"), "--key", key("slot2.keyrec"), "--aes", record})
                .status,
            0);
    }
}

TEST(OzatoolPack, CipherChunkWithAnotherMarkerLeavesTheFilePlain) {
    scratch_dir dir;
    packed p = pack(dir, std::string("{").append(head(5)) +
                             ", \"cipher\": {\"marker\": 1, \"iv\": " + iv_hex +
                             R"(}, "chunks": [{"type": "MSGB", "text": "m"}]})");
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    EXPECT_EQ(bytes(p.file.begin() + 140, p.file.begin() + 168),
              text("CIPH") + u32(28) + u32(1) + iv);
    EXPECT_EQ(bytes(p.file.begin() + 168, p.file.begin() + 208), chunk("UNIT", field("a004", 32)));
    run_result r = ozatool({"info", dir.at("out.oza"), "--key", key("slot5.keyrec")});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("marker 1 (plain)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verifies"), std::string::npos) << r.out;
}

// The escape hatches for files the device must refuse.
TEST(OzatoolPack, MalformedFilesOnRequest) {
    scratch_dir dir;
    const bytes fixed_end =
        chunk("UNIT", field("a004", 32)) + chunk("VERS", u32(4) + u32(0) + u32(28));
    struct {
        const char *name;
        std::string manifest;
        bytes tail; // the file from offset 200 on (after UNIT and VERS)
    } cases[] = {
        {"length override and padding",
         R"("time": null, "chunks": [{"type": "ADEL", "value": 1, "length": 3, "pad": 2}])",
         text("ADEL") + u32(3) + u32(1) + from_hex("0000")},
        {"declared size",
         R"("time": null, "chunks": [{"type": "COPY", "index": 1, "path": "p", "text": "ab", "declared": 99}])",
         chunk("COPY", u32(1) + field("p") + u32(99) + text("ab"))},
        {"garbage after the end", R"("time": null, "chunks": [], "trailer": {"hex": "ffee"})",
         from_hex("ffee")},
        {"truncated", R"("time": null, "chunks": [{"type": "MSGB", "text": "m"}], "truncate": 210)",
         text("MSGB") + u32(264) + from_hex("6d00")},
        {"a second UNIT", R"("time": null, "chunks": [{"type": "UNIT", "name": "b"}])",
         chunk("UNIT", field("b", 32))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        packed p = pack(dir, std::string("{").append(head()) + ", " + c.manifest + "}", refused_ok);
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        ASSERT_GE(p.file.size(), 200u);
        EXPECT_EQ(bytes(p.file.begin() + 140, p.file.begin() + 200), fixed_end);
        EXPECT_EQ(bytes(p.file.begin() + 200, p.file.end()), c.tail);
        EXPECT_TRUE(signed_by(p.file, key("slot1.pem"))); // signed after the change
    }

    // Head fields: no UNIT, a raw signature block, another fourcc and length.
    packed p = pack(dir, R"({"signature": {"fourcc": "SIG9", "block": "0102", "length": 7},
                            "unit": null, "version": null, "time": null,
                            "chunks": [{"type": "VERS", "version": "1.2.3"}],
                            "tamper": [{"offset": 0, "hex": "4f5a4133"}]})",
                    refused_ok);
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    bytes block(128, 0);
    block[0] = 1, block[1] = 2;
    EXPECT_EQ(p.file, text("OZA3SIG9") + u32(7) + block + chunk("VERS", u32(1) + u32(2) + u32(3)));
}

TEST(OzatoolPack, RefusesBadManifestsNamingTheField) {
    scratch_dir dir;
    const std::string h = head();
    struct {
        std::string manifest;
        const char *message;
    } cases[] = {
        {"{\n  \"unit\": \"a004\",\n  ,\n}", "line 3, column 3"},
        {"[]", "expected a JSON object"},
        {R"({"unit": "a004", "version": "4.0.28"})", "signature: missing"},
        {R"({"signature": {"slot": 6, "key": "k"}, "unit": "a", "version": "1.0.0"})",
         "signature.slot: expected 1 to 5"},
        {R"({"signature": {"slot": 1}, "unit": "a", "version": "1.0.0"})", "signature.key: give"},
        {R"({"signature": {"slot": 1, "key": "k"}, "version": "1.0.0"})", "unit: missing"},
        {R"({"signature": {"slot": 1, "key": "k"}, "unit": "0123456789abcdef", "version": "1.0.0"})",
         "unit: holds 16 bytes; at most 15 fit"},
        {R"({"signature": {"slot": 1, "key": "k"}, "unit": "a", "version": "1.0"})",
         "version: expected"},
        {"{" + h + R"(, "chunks": [{"type": "COPX"}]})",
         "chunks[0].type: unknown chunk type \"COPX\""},
        {"{" + h + R"(, "chunks": [{"index": 1}]})", "chunks[0].type: missing"},
        {"{" + h + R"(, "chunks": [{}, {"type": "DLET", "index": -1, "path": "x"}]})",
         "chunks[0].type: missing"},
        {"{" + h + R"(, "chunks": [{"type": "DLET", "index": -1, "path": "x"}]})",
         "chunks[0].index: expected an unsigned number"},
        {"{" + h + R"(, "chunks": [{"type": "DLET", "index": "home", "path": "x"}]})",
         "chunks[0].index: expected a mount-point number or one of"},
        {"{" + h + R"(, "chunks": [{"type": "DLET", "index": 1, "paht": "x"}]})",
         "chunks[0].path: missing"},
        {"{" + h + R"(, "chunks": [{"type": "DLET", "index": 1, "path": "x", "paht": "y"}]})",
         "chunks[0].paht: unknown field"},
        {"{" + h + R"(, "chunks": [{"type": "EXT0", "value": 4294967296}]})",
         "chunks[0].value: value 4294967296 is above 4294967295"},
        {"{" + h + R"(, "chunks": [{"type": "MSGB", "text": ")" + std::string(256, 'x') + "\"}]}",
         "chunks[0].text: holds 256 bytes; at most 255 fit"},
        {"{" + h + R"(, "chunks": [{"type": "EXT2", "index": 1, "path": "x", "mode": "0789"}]})",
         "chunks[0].mode: expected octal"},
        {"{" + h + R"(, "chunks": [{"type": "COPY", "index": 1, "path": "x", "file": "nothere"}]})",
         "chunks[0].file: cannot read"},
        {"{" + h +
             R"(, "chunks": [{"type": "COPY", "index": 1, "path": "x", "text": "a", "hex": "01"}]})",
         "chunks[0].file: give one of"},
        {"{" + h + R"(, "chunks": [{"type": "SHEL", "command": "x", "weight": 1}]})",
         "chunks[0].weight: SHEL takes no progress weight"},
        {"{" + h + R"(, "time": [1], "chunks": [{"type": "BOOT", "value": 1, "weight": 1}]})",
         "chunks[0].weight: the file has no \"TIME\" chunk whose weights pack computes"},
        {"{" + h + R"(, "time": [1, -2]})", "time.weights[1]: expected an unsigned 32-bit number"},
        {"{" + h +
             R"(, "chunks": [{"type": "TAGP", "entries": [{"tag": 1, "words": [1], "hex": "00"}]}]})",
         "chunks[0].entries[0].words: give \"words\" or \"hex\", not both"},
        {"{" + h + R"(, "chunks": [{"type": "raw", "fourcc": "ABC"}]})",
         "chunks[0].fourcc: expected four characters"},
        {"{" + h + R"(, "cipher": {"key": "k", "iv": "0011"}})", "cipher.iv: expected 16 bytes"},
        {"{" + h + R"(, "cipher": {"iv": )" + iv_hex + "}}", "cipher.key: missing"},
        {"{" + h + R"(, "truncate": 100000})", "truncate: 100000 is beyond the file's"},
        {"{" + h + R"(, "tamper": [{"offset": 100000, "hex": "00"}]})", "tamper: bytes at 100000"},
        {"{" + h + R"(, "extra": 1})", "extra: unknown field"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.manifest);
        packed p = pack(dir, c.manifest);
        EXPECT_EQ(p.run.status, 1);
        EXPECT_NE(p.run.err.find(dir.at("m.json") + ": "), std::string::npos) << p.run.err;
        EXPECT_NE(p.run.err.find(c.message), std::string::npos) << p.run.err;
        EXPECT_FALSE(file_exists(dir.at("out.oza")));
    }
    // A signing key that is no private key.
    packed p = pack(dir, std::string("{").append(head()) + "}", {"-k", key("slot1.keyrec")});
    EXPECT_EQ(p.run.status, 1);
    EXPECT_NE(p.run.err.find("cannot read a PEM private key"), std::string::npos) << p.run.err;
}

// What the device would make of a file, as info and verify tell it.
TEST(OzatoolVerify, PredictsTheDevicesResult) {
    scratch_dir dir;
    const std::string cipher =
        ", \"cipher\": {\"key\": \"" + key("aes.keyrec") + "\", \"iv\": " + iv_hex + "}";
    struct {
        const char *name;
        std::string manifest;
        int status; // of verify with the slot's key and the store's AES key
        const char *out;
    } cases[] = {
        {"valid",
         std::string("{").append(head(1)) + R"(, "chunks": [{"type": "HDDL", "value": 1}]})", 0,
         "valid"},
        {"valid enciphered",
         std::string("{").append(head(2)) + cipher +
             R"(, "chunks": [{"type": "COPY", "index": 1, "path": "x"}]})",
         0, "valid"},
        {"gate",
         std::string("{").append(head(2)) + R"(, "chunks": [{"type": "HDDL", "value": 1}]})", 1,
         "stops with 256"},
        {"gate of slot 3",
         std::string("{").append(head(3)) +
             R"(, "chunks": [{"type": "COPY", "index": 1, "path": "x"}]})",
         1, "stops with 256"},
        {"unknown",
         std::string("{").append(head(1)) + R"(, "chunks": [{"type": "raw", "fourcc": "EXT1"}]})",
         1, "stops with 209"},
        {"short ADEL",
         std::string("{").append(head(1)) +
             R"(, "chunks": [{"type": "raw", "fourcc": "ADEL", "hex": "01"}]})",
         1, "stops with 222"},
        {"short COPY data",
         std::string("{").append(head(1)) + cipher +
             R"(, "chunks": [{"type": "COPY", "index": 1, "path": "x", "declared": 100}]})",
         1, "stops with 214"},
        {"end after UNIT",
         "{\"signature\": {\"slot\": 1, \"key\": \"" + key("slot1.pem") +
             R"("}, "unit": "a004", "version": null, "time": null})",
         1, "stops with 252"},
        {"no TIME",
         std::string("{").append(head(1)) + R"(, "time": null, "chunks": [{"type": "EXT4"}]})", 1,
         "stops with 244"},
        {"zero length",
         std::string("{").append(head(1)) + R"(, "chunks": [{"type": "EXT4", "length": 0}]})", 1,
         "stops with 209"},
        {"past the end",
         std::string("{").append(head(1)) + R"(, "chunks": [{"type": "EXT4", "length": 9}]})", 1,
         "stops with 209"},
        {"trailing bytes", std::string("{").append(head(1)) + R"(, "trailer": {"hex": "00"}})", 1,
         "stops with 209"},
        {"bad fourcc",
         std::string("{").append(head(1)) + R"(, "tamper": [{"offset": 4, "hex": "58"}]})", 1,
         "stops with 204"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // pack refuses to write what verify refuses.
        EXPECT_EQ(pack(dir, c.manifest).run.status, c.status ? 1 : 0);
        packed p = pack(dir, c.manifest, refused_ok);
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        const char slot = char(p.file[7]) + 1;
        const std::vector<std::string> keys = {
            "--key", key(std::string("slot") + (slot > '5' ? '1' : slot) + ".keyrec"), "--aes",
            key("aes.keyrec")};
        std::vector<std::string> args = {"verify", dir.at("out.oza")};
        args.insert(args.end(), keys.begin(), keys.end());
        run_result r = ozatool(args);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        args[0] = "info";
        run_result info = ozatool(args);
        EXPECT_EQ(info.status, c.status) << info.out << info.err;
    }

    // Without a key it cannot tell; an enciphered file without its AES key
    // is not read.
    packed p = pack(dir, std::string("{").append(head(1)) + cipher + "}", refused_ok);
    run_result r = ozatool({"verify", dir.at("out.oza")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("not checked"), std::string::npos) << r.out;
    r = ozatool({"info", dir.at("out.oza"), "--key", key("slot1.keyrec")});
    EXPECT_NE(r.out.find("cannot decipher"), std::string::npos) << r.out;
    EXPECT_EQ(ozatool({"verify", dir.at("out.oza"), "--key", key("slot1.keyrec")}).status, 2);
    EXPECT_EQ(ozatool({"verify", dir.at("nothere.oza")}).status, 2);
}

TEST(OzatoolInfo, ListsOffsetsLengthsAndFields) {
    scratch_dir dir;
    packed p = pack(dir, std::string("{").append(head(2)) + R"(, "chunks": [
        {"type": "COPY", "index": 1, "path": "bin/x", "text": "abc"},
        {"type": "TAGP", "entries": [{"tag": "0x54410001", "words": [1]}]},
        {"type": "HDDL", "value": 1}]})",
                    refused_ok);
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    run_result r = ozatool({"info", dir.at("out.oza"), "--key", key("slot2.keyrec")});
    ASSERT_EQ(r.status, 1) << r.err;
    for (const std::string &line : std::vector<std::string>{
             "signature: slot 2, verifies with the key record " + key("slot2.keyrec"),
             "         0          4  OZA2  magic",
             "         4        136  SIG1  signature slot 2",
             "       140         40  UNIT  name \"a004\"",
             "       180         20  VERS  4.0.28",
             "       200         24  TIME  3 weights: 100 100 100 (total 300)",
             "       224        275  COPY  index 1 (/mnt/system/) path \"bin/x\", 3 bytes",
             "       499         32  TAGP  20 bytes: 0x54410001(3 words) end",
             "       531         12  HDDL  value 1",
             "! 256 type: not allowed in files of signature slot 2",
             "result: the device stops with 256",
         })
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// A key store read the way the device reads it: unit name, AES key and the
// slot's record from the store, fallbacks from the built-in records.
TEST(OzatoolVerify, TakesKeysFromAKeyStoreLikeTheDevice) {
    scratch_dir dir;
    const std::string img = dir.at("mmc.img");
    run_result r = ozatool({"keystore", "--keys", VARITOOL_SOURCE_DIR "/keys/development", "--unit",
                            "a005", "--mmc", img, "--length", "1000"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string cipher =
        ", \"cipher\": {\"key\": \"" + key("aes.keyrec") + "\", \"iv\": " + iv_hex + "}";
    const std::string builtin = VARITOOL_SOURCE_DIR "/keys/development";
    struct {
        const char *name;
        std::string manifest;
        int status;
        const char *out;
    } cases[] = {
        {"slot 3, unit a005", std::string("{").append(head(3, cipher, "a005")) + "}", 0, "valid"},
        {"unit a004", std::string("{").append(head(1, cipher)) + "}", 1, "stops with 212"},
        {"slot 5 from the built-in key", std::string("{").append(head(5, "", "a005")) + "}", 0,
         "built-in slot 5"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        packed p = pack(dir, c.manifest);
        ASSERT_EQ(p.run.status, 0) << p.run.err;
        r = ozatool({"verify", dir.at("out.oza"), "--mmc", img, "--builtin", builtin});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }

    // An image without a store: the fallback key, unit "a004" and the
    // built-in AES key, which deciphers nothing made with the store's key.
    write_text(dir.at("empty.img"), std::string(516, '\0'));
    packed p = pack(dir, std::string("{").append(head(1)) + R"(, "chunks": []})",
                    {"-k", key("fallback.pem"), "--allow-refused"});
    r = ozatool({"verify", dir.at("out.oza"), "--mmc", dir.at("empty.img"), "--builtin", builtin});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("fallback"), std::string::npos) << r.out;
    p = pack(dir, std::string("{").append(head(1, cipher)) + "}",
             {"-k", key("fallback.pem"), "--allow-refused"});
    r = ozatool({"verify", dir.at("out.oza"), "--mmc", dir.at("empty.img"), "--builtin", builtin});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("stops with 210"), std::string::npos) << r.out;
    p = pack(dir,
             "{" +
                 head(1, ", \"cipher\": {\"key\": \"" + key("aes_default.keyrec") +
                             "\", \"iv\": " + iv_hex + "}") +
                 "}",
             {"-k", key("fallback.pem"), "--allow-refused"});
    r = ozatool({"verify", dir.at("out.oza"), "--mmc", dir.at("empty.img"), "--builtin", builtin});
    EXPECT_EQ(r.status, 0) << r.out;
}

TEST(OzatoolKeystore, WritesTheRecordsAtTheirOffsets) {
    scratch_dir dir;
    const std::string block = dir.at("store.bin");
    run_result r =
        ozatool({"keystore", "--unit", "a004", "--aes", key("aes.keyrec"), "--image-key",
                 key("image.keyrec"), "--slot", "2=" + key("slot2.keyrec"), "--block", block});
    ASSERT_EQ(r.status, 0) << r.err;
    bytes expected(8192, 0);
    auto put = [&](size_t at, const bytes &b) {
        std::copy(b.begin(), b.end(), expected.begin() + long(at));
    };
    put(0, text("a004"));
    put(34, read_bytes(key("aes.keyrec")));
    put(52, read_bytes(key("image.keyrec")));
    put(340, read_bytes(key("slot2.keyrec")));
    EXPECT_EQ(read_bytes(block), expected);

    // An existing block keeps what is not written again.
    ASSERT_EQ(ozatool({"keystore", "--slot", "4=" + key("slot4.keyrec"), "--block", block}).status,
              0);
    put(628, read_bytes(key("slot4.keyrec")));
    EXPECT_EQ(read_bytes(block), expected);
    r = ozatool({"keystore", "--block", block});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("unit name      \"a004\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("slot 1 (196)   empty"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("slot 4 (628)   RSA, 1024-bit modulus, exponent 65537"), std::string::npos)
        << r.out;

    // On an MMC image: L at byte 512, the store at 520 + L.
    const std::string img = dir.at("mmc.img");
    ASSERT_EQ(ozatool({"keystore", "--unit", "a004", "--mmc", img, "--length", "0x100"}).status, 0);
    bytes image = read_bytes(img);
    ASSERT_EQ(image.size(), 520u + 256 + 8192);
    EXPECT_EQ(load_le32(image.data() + 512), 256u);
    ASSERT_EQ(ozatool({"keystore", "--slot", "1=" + key("slot1.keyrec"), "--mmc", img}).status, 0);
    image = read_bytes(img);
    EXPECT_EQ(bytes(image.begin() + 776, image.begin() + 780), text("a004"));
    EXPECT_EQ(bytes(image.begin() + 776 + 196, image.begin() + 776 + 340),
              read_bytes(key("slot1.keyrec")));

    // What the device could not use is refused.
    write_text(dir.at("bad.keyrec"), std::string(144, 'x'));
    ASSERT_EQ(ozatool({"aeskey", "-b", "256", dir.at("aes256")}).status, 0);
    const std::vector<std::vector<std::string>> refused = {
        {"--slot", "5=" + key("slot5.keyrec"), "--block", block},
        {"--slot", "1=" + key("aes.keyrec"), "--block", block},
        {"--slot", "1=" + dir.at("bad.keyrec"), "--block", block},
        {"--aes", dir.at("aes256"), "--block", block},
        {"--unit", "0123456789abcdef", "--block", block},
        {"--unit", "a", "--block", block, "--mmc", img},
        {"--unit", "a", "--block", block, "--length", "4"},
        {"--unit", "a", "--mmc", dir.at("short.img")},
    };
    write_text(dir.at("short.img"), "tiny");
    const bytes before = read_bytes(block);
    for (const auto &args : refused) {
        std::vector<std::string> a = {"keystore"};
        a.insert(a.end(), args.begin(), args.end());
        EXPECT_NE(ozatool(a).status, 0) << args[0] << ' ' << args[1];
    }
    EXPECT_EQ(read_bytes(block), before);
}

// The checked-in samples: pack rebuilds each byte for byte from its
// manifest, and each verifies with the development keys.
TEST(OzatoolSamples, RebuildExactlyAndVerify) {
    scratch_dir dir;
    const std::string samples = VARITOOL_SOURCE_DIR "/tests/data/updates/";
    const std::string keys = VARITOOL_SOURCE_DIR "/keys/development";
    for (const char *name : {"every-chunk", "enciphered", "slot5-cipher-marker"}) {
        SCOPED_TRACE(name);
        const std::string out = dir.at(std::string(name) + ".oza");
        run_result r = ozatool({"pack", samples + name + ".json", "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const bytes stored = read_bytes(samples + name + ".oza");
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(read_bytes(out), stored);
        write_text(dir.at("store"), "");
        ASSERT_EQ(
            ozatool({"keystore", "--keys", keys, "--unit", "a004", "--block", dir.at("store")})
                .status,
            0);
        r = ozatool(
            {"verify", samples + name + ".oza", "--block", dir.at("store"), "--builtin", keys});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }
}

} // namespace

namespace {

// info and verify read what they are given within its bounds: every prefix
// of an enciphered file (the sanitizer build watches the reads) is listed,
// and verify refuses it or cannot tell, never accepts it.
TEST(OzatoolInfo, EveryTruncationIsReadSafely) {
    scratch_dir dir;
    packed p = pack(dir, std::string("{").append(head(1)) + ", \"cipher\": {\"key\": \"" +
                             key("aes.keyrec") + "\", \"iv\": " + iv_hex + R"(}, "chunks": [
        {"type": "COPY", "index": 1, "path": "x", "text": "data"},
        {"type": "TAGP", "entries": [{"tag": 1, "words": [2]}]}]})");
    ASSERT_EQ(p.run.status, 0) << p.run.err;
    for (size_t size = 0; size < p.file.size(); size += size < 200 ? 1 : 7) {
        SCOPED_TRACE(size);
        write_text(dir.at("cut.oza"), std::string(p.file.begin(), p.file.begin() + long(size)));
        run_result r = ozatool(
            {"info", dir.at("cut.oza"), "--key", key("slot1.keyrec"), "--aes", key("aes.keyrec")});
        ASSERT_EQ(r.status, 1) << r.err;
        ASSERT_NE(r.out.find("result: the device stops with"), std::string::npos) << r.out;
    }
}

} // namespace
