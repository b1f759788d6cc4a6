// The device's rules in pack and verify: every mistake a manifest can make
// that the device would refuse, skip or misread is an error naming its
// line, column and field, and the same manifest without the mistake packs
// and verifies. Also the JSON document of info and verify, the diagnoses,
// and the tool's own tables held against the device's.
#include "core/byteorder.h"
#include "tools/ozatool/format.h"
#include "update/chunks.h"
#include "update/mountpoint.h"

#include "tests/support/oracle.h"
#include "tests/support/ozatool.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>

namespace {

using json = nlohmann::json;

// A manifest laid out one part a line, so that a test knows where each
// field stands.
struct manifest_lines {
    int slot = 1;
    std::string pem; // the signing key as written ("": the slot's development key)
    std::string unit = "\"a004\"", version = "\"4.0.28\"", time = "\"auto\"";
    std::string cipher; // a cipher object, or ""
    std::string chunk;  // the chunk objects, on one line

    std::vector<std::string> lines() const {
        std::vector<std::string> l = {
            "{",
            "  \"signature\": {\"slot\": " + std::to_string(slot) + ", \"key\": \"" +
                (pem.empty() ? key("slot" + std::to_string(slot) + ".pem") : pem) + "\"},",
            "  \"unit\": " + unit + ",",
            "  \"version\": " + version + ",",
            "  \"time\": " + time + "," + (cipher.empty() ? "" : " \"cipher\": " + cipher + ","),
            "  \"chunks\": [",
            "    " + chunk,
            "  ]",
            "}"};
        return l;
    }
    std::string text() const {
        std::string t;
        for (const std::string &l : lines()) t += l + "\n";
        return t;
    }
};

// "line L, column C" of the value of key on line (1-based) of m ("2:key":
// of its second value), or of the first object on the line when key is "".
std::string place(const manifest_lines &m, int line, std::string field) {
    const std::string l = m.lines()[size_t(line - 1)];
    const bool second = field.rfind("2:", 0) == 0;
    if (second) field.erase(0, 2);
    size_t at = field.empty() ? l.find('{') : l.find("\"" + field + "\": ");
    if (second && at != std::string::npos) at = l.find("\"" + field + "\": ", at + 1);
    if (at == std::string::npos) return "(no " + field + " on line " + std::to_string(line) + ")";
    if (!field.empty()) at += field.size() + 4;
    return "line " + std::to_string(line) + ", column " + std::to_string(at + 1);
}

const std::string iv_hex = "\"000102030405060708090a0b0c0d0e0f\"";

// A parameter file holding parameter 12 with a 16-bit value, and a
// ParamStore_3b holding parameter 3 the same way.
std::string parameter_file() {
    return std::string(4, '\0') + std::string("\x06\x00\x0c\x00\x01\x00", 6);
}
std::string typed_records() {
    std::string r = le32_text(0) + le32_text(14) + std::string("\x06\x00\x03\x00\x01\x00", 6);
    r.resize(2032, '\0');
    return r;
}

struct mistake {
    const char *name;
    manifest_lines bad, good;
    int line;          // where the fault is named
    const char *field; // the key whose value is named there ("" for the object)
    const char *path;  // the field's JSON path
    const char *text;  // in the message
    std::vector<std::string> options = {};
    std::vector<std::string> good_options = {}; // for good when they differ
};

std::vector<mistake> mistakes(const scratch_dir &dir) {
    auto with = [](std::string chunk) {
        manifest_lines m;
        m.chunk = std::move(chunk);
        return m;
    };
    auto top = [](const char *field, std::string value) {
        manifest_lines m;
        if (strcmp(field, "unit") == 0) m.unit = value;
        if (strcmp(field, "version") == 0) m.version = value;
        if (strcmp(field, "time") == 0) m.time = value;
        m.chunk = R"({"type": "MSGB", "text": "m"})";
        return m;
    };
    manifest_lines slot2 = with(R"({"type": "HDDL", "value": 1})");
    slot2.slot = 2;
    manifest_lines two_weights =
        with(R"({"type": "MSGB", "text": "a"}, {"type": "BOOT", "value": 1})");
    two_weights.time = "[5]";
    manifest_lines two_weights_good = two_weights;
    two_weights_good.time = "[5, 6]";
    const std::string params = "--params-file=" + dir.at("System.bin");
    const std::string image = "--params-image=" + dir.at("ParamStore_3b");
    return {
        {"unknown raw area", with(R"({"type": "MMCF", "area": "lgo", "text": "x"})"),
         with(R"({"type": "MMCF", "area": "logo", "text": "x"})"), 7, "area", "chunks[0].area",
         "no raw area \"lgo\": its write fails (did you mean \"logo\"?) [the device stops with "
         "220]"},
        {"unknown value type of PARM",
         with(R"({"type": "PARM", "id": 12, "value_type": "uint9", "value": "1"})"),
         with(R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": "1"})"), 7,
         "value_type", "chunks[0].value_type", "unknown value type \"uint9\""},
        {"unknown value type of FPAR",
         with(R"({"type": "FPAR", "id": 3, "value_type": "strnig", "value": "on"})"),
         with(R"({"type": "FPAR", "id": 3, "value_type": "string", "value": "on"})"), 7,
         "value_type", "chunks[0].value_type",
         "leaves the record unchanged (did you mean \"string\"?)"},
        {"a value atoi reads otherwise",
         with(R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": "12x"})"),
         with(R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": "12"})"), 7, "value",
         "chunks[0].value", "not a decimal number without a sign: the device reads it as 12"},
        {"a value out of range",
         with(R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": 300})"),
         with(R"({"type": "PARM", "id": 12, "value_type": "uint16", "value": 300})"), 7, "value",
         "chunks[0].value", "out of the range of uint8 (0 to 255): the device stores 44"},
        {"a negative unsigned value",
         with(R"({"type": "FPAR", "id": 3, "value_type": "uint16", "value": "-1"})"),
         with(R"({"type": "FPAR", "id": 3, "value_type": "int16", "value": "-1"})"), 7, "value",
         "chunks[0].value", "the device reads it as 65535"},
        {"a 32-bit value that saturates",
         with(R"({"type": "FPAR", "id": 3, "value_type": "int32", "value": "0x80000000"})"),
         with(R"({"type": "FPAR", "id": 3, "value_type": "uint32", "value": "0x80000000"})"), 7,
         "value", "chunks[0].value", "the device stores 2147483647"},
        {"an octal value with an 8",
         with(R"({"type": "FPAR", "id": 3, "value_type": "uint32", "value": "018"})"),
         with(R"({"type": "FPAR", "id": 3, "value_type": "uint32", "value": "017"})"), 7, "value",
         "chunks[0].value", "the device reads it as 1"},
        {"an identifier no record can have",
         with(R"({"type": "FPAR", "id": 70000, "value_type": "uint8", "value": "1"})"),
         with(R"({"type": "FPAR", "id": 7000, "value_type": "uint8", "value": "1"})"), 7, "id",
         "chunks[0].id", "above 65535: it matches no record"},
        {"a path stepping out with ..",
         with(R"({"type": "COPY", "index": "system", "path": "etc/../../x", "text": "a"})"),
         with(R"({"type": "COPY", "index": "system", "path": "etc/x", "text": "a"})"), 7, "path",
         "chunks[0].path", "steps out of its mount point with \"..\""},
        {"an absolute path", with(R"({"type": "DLET", "index": "cache", "path": "/old"})"),
         with(R"({"type": "DLET", "index": "cache", "path": "old"})"), 7, "path", "chunks[0].path",
         "an absolute path: paths are relative to the mount point, so the device "
         "reads /cache//old (did you mean \"old\"?)"},
        {"a rawfs path without its slash",
         with(R"({"type": "COPY", "index": "rawfs", "path": "tags", "text": "a"})"),
         with(R"({"type": "COPY", "index": "rawfs", "path": "/tags", "text": "a"})"), 7, "path",
         "chunks[0].path", "the device reads /mnt/rawfstags"},
        {"an index with no mount point",
         with(R"({"type": "EXT2", "index": 7, "path": "x", "mode": "0644"})"),
         with(R"({"type": "EXT2", "index": 4, "path": "x", "mode": "0644"})"), 7, "index",
         "chunks[0].index", "names no mount point"},
        {"a file name ending in a slash",
         with(R"({"type": "COPY", "index": "data", "path": "dir/", "text": "a"})"),
         with(R"({"type": "COPY", "index": "data", "path": "dir/a", "text": "a"})"), 7, "path",
         "chunks[0].path", "ends in \"/\": the device cannot write a file of that name"},
        {"deleting a whole mount point", with(R"({"type": "DLET", "index": "system", "path": ""})"),
         with(R"({"type": "DLET", "index": "system", "path": "tmp"})"), 7, "path", "chunks[0].path",
         "removes everything under /mnt/system/"},
        {"a version below the full build's floor", top("version", "\"4.0.24\""),
         top("version", "\"4.0.25\""), 4, "version", "version",
         "below 4.0.25, the oldest the full build accepts [the device stops with 221]"},
        {"a version below the basic build's floor",
         top("version", "\"3.2.79\""),
         top("version", "\"3.2.80\""),
         4,
         "version",
         "version",
         "the oldest the basic build accepts",
         {"--target", "basic"}},
        {"a system version the full build is not", with(R"({"type": "MVER", "version": "4.0.29"})"),
         with(R"({"type": "MVER", "version": "4.0.28"})"), 7, "version", "chunks[0].version",
         "the full build is version 4.0.28, below the 4.0.29 this chunk requires [the device "
         "stops with 283]"},
        {"a system version the basic build is not",
         with(R"({"type": "MVER", "version": "4.0.8"})"),
         with(R"({"type": "MVER", "version": "4.0.7"})"),
         7,
         "version",
         "chunks[0].version",
         "the basic build is version 4.0.7",
         {"--target", "basic"}},
        {"another unit",
         top("unit", "\"a004\""),
         top("unit", "\"gx4dev\""),
         3,
         "unit",
         "unit",
         "the unit name \"a004\" is not the device's \"gx4dev\" (--unit) [the device stops with "
         "212]",
         {"--unit", "gx4dev"}},
        {"a chunk the slot does not allow", slot2,
         [&] {
             manifest_lines m = slot2;
             m.slot = 4;
             return m;
         }(),
         7, "type", "chunks[0].type", "not allowed in files of signature slot 2"},
        {"weights for too few chunks", two_weights, two_weights_good, 5, "time", "time",
         "\"TIME\" holds 1 weights for the 2 chunks that take one"},
        {"a format over the update file's copy",
         with(R"({"type": "FRMT", "format": 2, "cleanup": true})"),
         with(R"({"type": "FRMT", "format": 2, "cleanup": true})"),
         7,
         "format",
         "chunks[0].format",
         "the copy overwrites or removes it [the device stops with 238]",
         {"--update-path", "/mnt/system/temporary.oza"},
         {"--update-path", "/cache/u.oza"}},
        {"a raw write under the update file",
         with(R"({"type": "MMCF", "area": "Data File System", "text": "x"})"),
         with(R"({"type": "MMCF", "area": "recovery", "text": "x"})"),
         7,
         "area",
         "chunks[0].area",
         "overwrites the file system that holds the update file (/data/u.oza) without the copy "
         "aside that a FRMT makes",
         {"--update-path", "/data/u.oza"}},
        {"a patch of another area than params",
         with(R"({"type": "EXT3", "area": "prods", "offset": 0, "hex": "01"})"),
         with(R"({"type": "EXT3", "area": "params", "offset": 0, "hex": "01"})"), 7, "area",
         "chunks[0].area", "leaves \"prods\" unchanged (did you mean \"params\"?)"},
        {"a patch past the parameter image",
         with(R"({"type": "EXT3", "offset": 32767, "hex": "0102"})"),
         with(R"({"type": "EXT3", "offset": 32766, "hex": "0102"})"), 7, "offset",
         "chunks[0].offset", "runs past the 32768-byte parameter image"},
        {"a NUL in a command", with(R"({"type": "SHEL", "command": "echo a\u0000b"})"),
         with(R"({"type": "SHEL", "command": "echo ab"})"), 7, "command", "chunks[0].command",
         "holds a NUL byte at 6"},
        {"flash past the last address",
         with(R"({"type": "FLSH", "address": "0xfffffff0", "hex": "00", "size": 32})"),
         with(R"({"type": "FLSH", "address": "0xffffffe0", "hex": "00", "size": 32})"), 7,
         "address", "chunks[0].address", "runs past the last flash address"},
        {"a tag entry shorter than its header",
         with(R"({"type": "TAGP", "entries": [{"tag": 9, "words": [], "size": 1}]})"),
         with(R"({"type": "TAGP", "entries": [{"tag": 9, "words": []}]})"), 7, "entries",
         "chunks[0].entries", "the device leaves the area unchanged"},
        {"a parameter the file does not hold",
         with(R"({"type": "PARM", "id": 13, "value_type": "uint8", "value": 1})"),
         with(R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": 1})"),
         7,
         "id",
         "chunks[0].id",
         "holds no parameter 13",
         {params}},
        {"a parameter the record does not hold",
         with(R"({"type": "FPAR", "id": 4, "value_type": "uint8", "value": 1})"),
         with(R"({"type": "FPAR", "id": 3, "value_type": "uint8", "value": 1})"),
         7,
         "id",
         "chunks[0].id",
         "holds no parameter 4",
         {image}},
        {"a value too wide for its record",
         with(R"({"type": "PARM", "id": 12, "value_type": "uint32", "value": 1})"),
         with(R"({"type": "PARM", "id": 12, "value_type": "uint16", "value": 1})"),
         7,
         "value",
         "chunks[0].value",
         "too short for a uint32 value",
         {params}},
        {"a key given twice", with(R"({"type": "DLET", "index": 2, "path": "a", "path": "b"})"),
         with(R"({"type": "DLET", "index": 2, "path": "b"})"), 7, "2:path", "chunks[0].path",
         "given a second time (first at line 7, column "},
        {"a misspelt field", with(R"({"type": "DLET", "index": 2, "paht": "a"})"),
         with(R"({"type": "DLET", "index": 2, "path": "a"})"), 7, "", "chunks[0].path", "missing"},
        {"an unknown field", with(R"({"type": "DLET", "index": 2, "path": "a", "pth": "b"})"),
         with(R"({"type": "DLET", "index": 2, "path": "a"})"), 7, "pth", "chunks[0].pth",
         "unknown field (did you mean \"path\"?"},
        {"a misspelt chunk type", with(R"({"type": "COPI", "index": 2, "path": "a"})"),
         with(R"({"type": "COPY", "index": 2, "path": "a"})"), 7, "type", "chunks[0].type",
         "did you mean \"COPY\"?"},
        {"a misspelt mount point", with(R"({"type": "DLET", "index": "sytem", "path": "a"})"),
         with(R"({"type": "DLET", "index": "system", "path": "a"})"), 7, "index", "chunks[0].index",
         "(did you mean \"system\"?)"},
        {"a missing signing key",
         [&] {
             manifest_lines m = with(R"({"type": "MSGB", "text": "m"})");
             m.pem = "keys/nothere.pem";
             return m;
         }(),
         with(R"({"type": "MSGB", "text": "m"})"), 2, "key", "signature.key",
         "cannot read the signing key \"keys/nothere.pem\" ("},
    };
}

TEST(OzatoolRules, EveryMistakeIsNamedWhereItStandsAndItsFixPacks) {
    scratch_dir dir;
    write_text(dir.at("System.bin"), parameter_file());
    write_text(dir.at("ParamStore_3b"), typed_records());
    for (const mistake &c : mistakes(dir)) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"pack", dir.at("m.json"), "-o", dir.at("out.oza")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::remove(dir.at("out.oza").c_str());
        write_text(dir.at("m.json"), c.bad.text());
        run_result r = ozatool(args);
        EXPECT_EQ(r.status, 1) << r.err;
        const std::string expected =
            dir.at("m.json") + ": " + place(c.bad, c.line, c.field) + ": " + c.path + ": ";
        EXPECT_NE(r.err.find(expected), std::string::npos) << expected << "\n" << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        EXPECT_FALSE(file_exists(dir.at("out.oza")));

        // Written anyway, verify refuses it and names the field.
        args.push_back("--allow-refused");
        if (ozatool(args).status == 0) {
            std::vector<std::string> check = {"verify", dir.at("out.oza")};
            check.insert(check.end(), c.options.begin(), c.options.end());
            r = ozatool(check);
            EXPECT_EQ(r.status, 1) << r.out;
            // A chunk's field, or the field a top-level shorthand stands for.
            const std::string path = c.path;
            const std::string field = path == "unit"      ? "name"
                                      : path == "version" ? "version"
                                      : path == "time"    ? "weights"
                                                          : path.substr(path.rfind('.') + 1);
            EXPECT_NE(r.out.find(", " + field + ": "), std::string::npos) << r.out;
        }

        // Without the mistake the file packs, and verify finds nothing to refuse.
        args.resize(4);
        const std::vector<std::string> &good = c.good_options.empty() ? c.options : c.good_options;
        args.insert(args.end(), good.begin(), good.end());
        write_text(dir.at("m.json"), c.good.text());
        r = ozatool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("error"), std::string::npos) << r.err;
        std::vector<std::string> check = {"verify", dir.at("out.oza"), "--key",
                                          key("slot" + std::to_string(c.good.slot) + ".keyrec")};
        check.insert(check.end(), good.begin(), good.end());
        r = ozatool(check);
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

// Warnings name what the device does that was probably not meant; --strict
// makes them errors.
TEST(OzatoolRules, WarningsPassUnlessStrict) {
    scratch_dir dir;
    for (
        const char *chunk :
        {R"({"type": "HDDL", "value": 0})", R"({"type": "FRMT", "format": 0, "cleanup": false})",
         R"({"type": "FRMT", "format": 7, "cleanup": false})", R"({"type": "MSGB", "text": ""})",
         R"({"type": "EXT2", "index": 1, "path": "x", "mode": "017777"})",
         R"({"type": "MOVE", "from_index": 1, "from_path": "a", "to_index": 1, "to_path": "a"})"}) {
        SCOPED_TRACE(chunk);
        manifest_lines m;
        m.chunk = chunk;
        write_text(dir.at("m.json"), m.text());
        run_result r = ozatool({"pack", dir.at("m.json"), "-o", dir.at("out.oza")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("warning: " + dir.at("m.json") + ": line 7, column "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(": chunks[0]."), std::string::npos) << r.err;
        r = ozatool({"verify", dir.at("out.oza"), "--key", key("slot1.keyrec")});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("warning"), std::string::npos) << r.out;
        EXPECT_EQ(
            ozatool({"verify", dir.at("out.oza"), "--key", key("slot1.keyrec"), "--strict"}).status,
            1);
        EXPECT_EQ(ozatool({"pack", dir.at("m.json"), "-o", dir.at("out.oza"), "--strict"}).status,
                  1);
    }
}

// verify states what it could not check from what it was given.
TEST(OzatoolRules, VerifyNamesWhatItCouldNotCheck) {
    scratch_dir dir;
    manifest_lines m;
    m.chunk = R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": 1}, )"
              R"({"type": "FPAR", "id": 3, "value_type": "uint8", "value": 1}, )"
              R"({"type": "TAGP", "entries": [{"tag": 9, "words": [1]}]})";
    write_text(dir.at("m.json"), m.text());
    ASSERT_EQ(ozatool({"pack", dir.at("m.json"), "-o", dir.at("out.oza")}).status, 0);
    run_result r = ozatool({"verify", dir.at("out.oza"), "--key", key("slot1.keyrec")});
    EXPECT_EQ(r.status, 0);
    for (const char *line : {"unchecked: unit:", "unchecked: target:", "unchecked: PARM:",
                             "unchecked: FPAR:", "unchecked: TAGP:"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    r = ozatool({"verify", dir.at("out.oza"), "--key", key("slot1.keyrec"), "--unit", "a004",
                 "--target", "full"});
    EXPECT_EQ(r.out.find("unchecked: unit:"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("unchecked: target:"), std::string::npos) << r.out;
    // No key: it cannot tell, and says why.
    r = ozatool({"verify", dir.at("out.oza")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("unchecked: signature: no key given"), std::string::npos) << r.out;
}

// Every chunk type's fields in the JSON document are the manifest's.
TEST(OzatoolJson, FieldsOfEveryChunkTypeRoundTrip) {
    scratch_dir dir;
    write_text(dir.at("blob"), "0123456789");
    struct {
        const char *manifest; // as the manifest gives it
        const char *fields;   // what the document holds
    } cases[] = {
        {R"({"type": "EXT0", "value": 1})", R"({"type": "EXT0", "value": 1})"},
        {R"({"type": "BOOT", "value": "0x10"})", R"({"type": "BOOT", "value": 16})"},
        {R"({"type": "ADEL", "value": 0})", R"({"type": "ADEL", "value": 0})"},
        {R"({"type": "HDDL", "value": 1})", R"({"type": "HDDL", "value": 1})"},
        {R"({"type": "MVER", "version": [4, 0, 2]})", R"({"type": "MVER", "version": "4.0.2"})"},
        {R"({"type": "COPY", "index": "system", "path": "bin/x", "file": "blob"})",
         R"({"type": "COPY", "index": 1, "path": "bin/x", "size": 10})"},
        {R"({"type": "MOVE", "from_index": 2, "from_path": "a", "to_index": "cache", "to_path": "b"})",
         R"({"type": "MOVE", "from_index": 2, "from_path": "a", "to_index": 4, "to_path": "b"})"},
        {R"({"type": "DLET", "index": 0, "path": "/x"})",
         R"({"type": "DLET", "index": 0, "path": "/x"})"},
        {R"({"type": "EXT2", "index": 1, "path": "bin/x", "mode": "0755"})",
         R"({"type": "EXT2", "index": 1, "path": "bin/x", "mode": "0755"})"},
        {R"({"type": "MSGB", "text": "Hello \"you\""})",
         R"({"type": "MSGB", "text": "Hello \"you\""})"},
        {R"({"type": "SHEL", "command": "echo hi"})", R"({"type": "SHEL", "command": "echo hi"})"},
        {R"({"type": "FRMT", "format": 2, "cleanup": true})",
         R"({"type": "FRMT", "format": 2, "cleanup": 1})"},
        {R"({"type": "FLSH", "address": 65536, "text": "abc"})",
         R"({"type": "FLSH", "address": "0x00010000", "size": 3})"},
        {R"({"type": "MMCF", "area": "Boot Logo", "offset": 512, "text": "xy"})",
         R"({"type": "MMCF", "area": "Boot Logo", "offset": 512, "size": 2})"},
        {R"({"type": "EXT3", "offset": 16400, "hex": "01"})",
         R"({"type": "EXT3", "area": "params", "offset": 16400, "size": 1})"},
        {R"({"type": "TAGP", "entries": [{"tag": "0x54410001", "words": [1, 2, 3]}]})",
         R"({"type": "TAGP", "entries": [{"tag": "0x54410001", "words": [1, 2, 3]}]})"},
        {R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": 200})",
         R"({"type": "PARM", "id": 12, "value_type": "uint8", "value": "200"})"},
        {R"({"type": "FPAR", "id": 3, "value_type": "string", "value": "on"})",
         R"({"type": "FPAR", "id": 3, "value_type": "string", "value": "on"})"},
        {R"({"type": "EXTA"})", R"({"type": "EXTA"})"},
    };
    std::string chunks;
    for (const auto &c : cases) chunks += std::string(chunks.empty() ? "" : ", ") + c.manifest;
    write_text(dir.at("m.json"),
               "{\"signature\": {\"slot\": 1, \"key\": \"" + key("slot1.pem") +
                   "\"}, \"cipher\": {\"key\": \"" + key("aes.keyrec") + "\", \"iv\": " + iv_hex +
                   "}, \"unit\": \"a004\", \"version\": \"4.0.28\", \"time\": \"auto\", "
                   "\"chunks\": [" +
                   chunks + "]}");
    ASSERT_EQ(ozatool({"pack", dir.at("m.json"), "-o", dir.at("out.oza"), "--allow-refused", "-q"})
                  .status,
              0);
    for (const char *command : {"info", "verify"}) {
        SCOPED_TRACE(command);
        run_result r = ozatool({command, dir.at("out.oza"), "--json", "--key", key("slot1.keyrec"),
                                "--aes", key("aes.keyrec"), "--unit", "a004"});
        const json doc = json::parse(r.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << r.out;
        EXPECT_EQ(r.status, doc["status"].get<int>());
        EXPECT_EQ(doc["head"]["signature"]["state"], "valid");
        EXPECT_EQ(doc["head"]["cipher"]["marker"], 784729);
        // The magic, the signature and cipher chunks, UNIT, VERS, TIME, then the cases.
        const json &listed = doc["chunks"];
        ASSERT_EQ(listed.size(), 6 + std::size(cases));
        EXPECT_EQ(listed[3]["fields"], json::parse(R"({"type": "UNIT", "name": "a004"})"));
        EXPECT_EQ(listed[4]["fields"], json::parse(R"({"type": "VERS", "version": "4.0.28"})"));
        EXPECT_EQ(listed[5]["fields"]["weights"].size(), 15u);
        uint64_t offset = 168;
        for (size_t i = 0; i < std::size(cases); i++) {
            SCOPED_TRACE(cases[i].manifest);
            const json &c = listed[6 + i];
            EXPECT_EQ(c["fields"], json::parse(cases[i].fields));
            EXPECT_EQ(c["fourcc"], json::parse(cases[i].fields)["type"]);
            EXPECT_EQ(c["length"].get<uint64_t>() % 16, 0u);
            offset = c["offset"].get<uint64_t>();
        }
        EXPECT_EQ(offset + listed.back()["length"].get<uint64_t>(), doc["size"].get<uint64_t>());
        // The device stops at HDDL? No: slot 1 allows it; it walks everything.
        EXPECT_EQ(doc["result"]["code"], 0);
        EXPECT_TRUE(doc["accepted"].get<bool>());
    }
}

// The document names where the device stops and why.
TEST(OzatoolJson, ResultNamesTheChunkOffsetAndReason) {
    scratch_dir dir;
    manifest_lines m;
    m.slot = 2;
    m.chunk = R"({"type": "MSGB", "text": "a"}, {"type": "HDDL", "value": 1})";
    write_text(dir.at("m.json"), m.text());
    ASSERT_EQ(ozatool({"pack", dir.at("m.json"), "-o", dir.at("out.oza"), "--allow-refused", "-q"})
                  .status,
              0);
    run_result r = ozatool({"verify", dir.at("out.oza"), "--json", "--key", key("slot2.keyrec")});
    EXPECT_EQ(r.status, 1);
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["verdict"], "refused");
    EXPECT_EQ(doc["result"]["code"], 256);
    const int chunk = doc["result"]["chunk"].get<int>();
    EXPECT_EQ(doc["chunks"][size_t(chunk)]["fourcc"], "HDDL");
    EXPECT_EQ(doc["result"]["offset"], doc["chunks"][size_t(chunk)]["offset"]);
    EXPECT_EQ(doc["result"]["reason"], "not allowed in files of signature slot 2");
    EXPECT_EQ(doc["findings"][0]["field"], "type");
}

// The likely cause comes first: a wrong AES key, a cut file before a
// digest that does not match.
TEST(OzatoolJson, DiagnosesNameTheLikelyCause) {
    scratch_dir dir;
    manifest_lines m;
    m.cipher = "{\"key\": \"" + key("aes.keyrec") + "\", \"iv\": " + iv_hex + "}";
    m.chunk = R"({"type": "COPY", "index": 1, "path": "x", "hex": "00", "size": 5000})";
    write_text(dir.at("m.json"), m.text());
    ASSERT_EQ(ozatool({"pack", dir.at("m.json"), "-o", dir.at("out.oza")}).status, 0);
    const bytes file = read_bytes(dir.at("out.oza"));

    run_result r = ozatool({"verify", dir.at("out.oza"), "--json", "--key", key("slot1.keyrec"),
                            "--aes", key("aes_default.keyrec")});
    json doc = json::parse(r.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(doc["result"]["code"], 210);
    ASSERT_FALSE(doc["diagnoses"].empty());
    EXPECT_NE(doc["diagnoses"][0].get<std::string>().find("the AES key (the AES key record " +
                                                          key("aes_default.keyrec") +
                                                          ") is probably wrong"),
              std::string::npos)
        << doc["diagnoses"];

    // Cut 1000 bytes short: the device stops at the digest, and the cause is the cut.
    write_text(dir.at("cut.oza"), std::string(file.begin(), file.end() - 1000));
    r = ozatool({"verify", dir.at("cut.oza"), "--json", "--key", key("slot1.keyrec"), "--aes",
                 key("aes.keyrec")});
    doc = json::parse(r.out);
    EXPECT_EQ(doc["result"]["code"], 207);
    ASSERT_GE(doc["diagnoses"].size(), 2u);
    EXPECT_EQ(doc["diagnoses"][0], "the file is truncated: its chunks announce " +
                                       std::to_string(file.size()) + " bytes, it has " +
                                       std::to_string(file.size() - 1000) + " (1000 missing)");
    EXPECT_NE(doc["diagnoses"][1].get<std::string>().find("the digest does not match"),
              std::string::npos);

    // Signed for slot 1 but named slot 2: the key that verifies it is named.
    bytes swapped = file;
    swapped[7] = '1';
    write_text(dir.at("swapped.oza"), std::string(swapped.begin(), swapped.end()));
    write_text(dir.at("store"), "");
    ASSERT_EQ(ozatool({"keystore", "--keys", VARITOOL_SOURCE_DIR "/keys/development", "--unit",
                       "a004", "--block", dir.at("store")})
                  .status,
              0);
    r = ozatool({"verify", dir.at("swapped.oza"), "--json", "--block", dir.at("store")});
    doc = json::parse(r.out);
    EXPECT_EQ(doc["result"]["code"], 207);
    EXPECT_NE(
        doc["diagnoses"][0].get<std::string>().find("verifies with the key store's slot 1 key"),
        std::string::npos)
        << doc["diagnoses"];
}

// The tool's chunk table is its own, an independent description; its slots,
// weights, fixed payload sizes and short-payload results must be the
// device's, for every fourcc of capitals and digits.
TEST(OzatoolTables, ChunkTableAndMountPointsAreTheDevices) {
    size_t count = 0;
    const oza_chunk_type *all = oza_types(&count);
    size_t operations = 0;
    for (size_t i = 0; i < count; i++) operations += all[i].slots != 0;
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    size_t found = 0;
    unsigned char f[5] = {};
    for (const char a : std::string(alphabet))
        for (const char b : std::string(alphabet))
            for (const char c : std::string(alphabet))
                for (const char d : std::string(alphabet)) {
                    f[0] = a, f[1] = b, f[2] = c, f[3] = d;
                    const chunk_type *device = chunk_find(f);
                    const oza_chunk_type *tool = oza_find_type(reinterpret_cast<const char *>(f));
                    const bool operation = tool && tool->slots != 0;
                    ASSERT_EQ(device != nullptr, operation) << f;
                    if (!device) continue;
                    found++;
                    EXPECT_EQ(device->slots, tool->slots) << f;
                    EXPECT_EQ(device->weight != chunk_weight::none, tool->weighted) << f;
                    EXPECT_EQ(device->fixed, tool->fixed) << f;
                    EXPECT_EQ(device->short_code, tool->short_code) << f;
                }
    EXPECT_EQ(found, operations);
    for (uint32_t index : {0u, 1u, 2u, 3u, 4u, 5u, 0x80000000u}) {
        const char *device = nullptr;
        const int r = get_mountpoint(index, &device);
        const char *tool = oza_mount_point(index);
        ASSERT_EQ(r == 0, tool != nullptr) << index;
        if (tool) {
            EXPECT_STREQ(device, tool);
        }
    }
}

} // namespace
