// ozatool against device boxes: try reports exactly what a known update
// changes; a rotation file replaces a stored key so that the new key's
// files install and the old key's are refused; files the tools call valid
// install whole; the box refuses weak keys as the tools do; and the raw
// areas the tools accept are the areas of the device.
#include "core/config.h"
#include "flash/rawmmc.h"
#include "tools/ozatool/format.h"

#include "tests/support/devbox.h"
#include "tests/support/oracle.h"
#include "tests/support/ozatool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>

namespace {

using json = nlohmann::json;

const char *const unit = "gx4dev"; // the box's unit name

std::string manifest(int slot, const std::string &chunks, const std::string &pem = "",
                     const std::string &extra = "") {
    return "{\"signature\": {\"slot\": " + std::to_string(slot) + ", \"key\": \"" +
           (pem.empty() ? key("slot" + std::to_string(slot) + ".pem") : pem) + "\"}, \"unit\": \"" +
           unit + "\", \"version\": \"4.0.28\"" + extra + ", \"chunks\": [" + chunks + "]}";
}

// The installer's exit status for the update file at box path in box.
int install(const device_box &box, const std::string &path) {
    return box.applet({"ozaparser", "-f", path, "--text"}).status;
}

// try on a known update: exactly its changes, as one JSON document.
TEST(BoxOzatoolTry, ReportsExactlyTheChangesOfAKnownUpdate) {
    scratch_dir dir;
    write_text(dir.at("System.bin"),
               std::string(4, '\0') + std::string("\x06\x00\x0c\x00\x01\x00", 6));
    write_text(dir.at("stale.txt"), "stale\n");
    write_text(dir.at("m.json"), manifest(1, R"(
        {"type": "MSGB", "text": "Trying"},
        {"type": "FRMT", "format": 2, "cleanup": true},
        {"type": "COPY", "index": "system", "path": "etc/motd", "text": "Hello\n"},
        {"type": "EXT2", "index": "system", "path": "etc/motd", "mode": "0600"},
        {"type": "DLET", "index": "cache", "path": "stale.txt"},
        {"type": "PARM", "id": 12, "value_type": "uint8", "value": 200},
        {"type": "FPAR", "id": 3, "value_type": "uint16", "value": "0x1234"},
        {"type": "MMCF", "area": "logo", "offset": 4, "text": "LOGO"},
        {"type": "FLSH", "address": "0x20000", "hex": "a5", "size": 16})"));
    ASSERT_EQ(ozatool({"pack", dir.at("m.json"), "-o", dir.at("u.oza")}).status, 0);
    auto try_args = [&](const std::string &keep, bool as_json) {
        std::vector<std::string> args = {
            "try",      dir.at("u.oza"),
            "--exe",    device_box::executable(),
            "--devbox", DEVBOX_TOOL,
            "--file",   "/mnt/storage/System/System.bin=" + dir.at("System.bin"),
            "--file",   "/cache/stale.txt=" + dir.at("stale.txt"),
            "--keep",   keep};
        if (as_json) args.push_back("--json");
        if (basic_build) args.push_back("--basic");
        return args;
    };
    run_result r = ozatool(try_args(dir.at("box"), true));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["result"]["exit_status"], 0);
    EXPECT_EQ(doc["result"]["code"], 0);
    EXPECT_EQ(doc["result"]["predicted"], 0);

    std::vector<std::string> files;
    for (const json &f : doc["files"])
        files.push_back(f["change"].get<std::string>() + " " + f["path"].get<std::string>());
    EXPECT_EQ(files, (std::vector<std::string>{"removed /cache/stale.txt", "new /mnt/data/Data",
                                               "new /mnt/data/Info", "new /mnt/data/Music",
                                               "new /mnt/data/PDF", "new /mnt/data/Pictures",
                                               "new /mnt/data/System", "new /mnt/data/Video",
                                               "changed /mnt/storage/System/System.bin",
                                               "new /mnt/system/etc", "new /mnt/system/etc/motd"}));
    const json &motd = doc["files"].back();
    EXPECT_EQ(motd["mode"], "0600");
    EXPECT_EQ(motd["size"], 6);
    EXPECT_EQ(motd["text"], "Hello\\n");

    std::map<std::string, json> raw;
    for (const json &a : doc["raw_areas"]) raw[a["area"]] = a;
    EXPECT_EQ(raw.size(), 2u); // logo and params
    EXPECT_EQ(raw["logo"]["ranges"], json::parse(R"([{"offset": 4, "length": 4}])"));
    EXPECT_EQ(doc["parameters"], json::parse(R"([
        {"record": "ParamStore_3b", "id": 3, "before": "0100", "after": "3412"},
        {"record": "System.bin", "id": 12, "before": "0100", "after": "c800"}])"));
    EXPECT_EQ(doc["flash"]["ranges"], json::parse(R"([{"offset": 131072, "length": 16}])"));
    EXPECT_TRUE(doc["key_store"].empty());
    EXPECT_TRUE(doc["partition_table"].is_null());
    EXPECT_EQ(doc["volume"]["after"]["file_system"], "FAT32");
    EXPECT_NE(doc["volume"]["after"]["label"], "");
    EXPECT_TRUE(doc["volume"]["before"].is_null() ||
                doc["volume"]["before"]["file_system"].is_null());
    std::vector<std::string> messages;
    for (const json &l : doc["ui"])
        if (l.get<std::string>().find("-c message") != std::string::npos) messages.push_back(l);
    EXPECT_EQ(messages.back(), "zui -c message -a centered -t Trying");
    EXPECT_EQ(doc["ui"].back(), "zui -c progress -f 1000");
    // --keep left the box where it was asked, as the installer left it.
    EXPECT_EQ(read_text(dir.at("box") + "/mnt/system/etc/motd"), "Hello\n");

    // The text report says the same.
    r = ozatool(try_args(dir.at("box2"), false));
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *line :
         {"exit status 0 (result 0: success)",
          "  new       /mnt/system/etc/motd  (6 bytes, mode 0600)  \"Hello\\n\"",
          "  logo       4 bytes changed at 4-7", "  ParamStore_3b id 3: 0x0100 -> 0x3412",
          "  System.bin id 12: 0x0100 -> 0xc800", "key store: unchanged"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

// A failing update: the exit status is the installer's, the report shows
// what ran before the failure.
TEST(BoxOzatoolTry, AFailureShowsWhatRanBeforeIt) {
    scratch_dir dir;
    write_text(dir.at("m.json"), manifest(1, R"(
        {"type": "COPY", "index": "data", "path": "first", "text": "1"},
        {"type": "PARM", "id": 12, "value_type": "uint8", "value": 1})"));
    // The box has no System.bin: pack says so, and the device stops with 232.
    run_result r = ozatool(
        {"pack", dir.at("m.json"), "-o", dir.at("u.oza"), "--unit", unit, "--allow-refused"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> args = {"try",      dir.at("u.oza"),          "--json",
                                     "--exe",    device_box::executable(), "--devbox",
                                     DEVBOX_TOOL};
    if (basic_build) args.push_back("--basic");
    r = ozatool(args);
    EXPECT_EQ(r.status, 232) << r.err;
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["result"]["code"], 232);
    EXPECT_EQ(doc["files"].size(), 1u);
    EXPECT_EQ(doc["files"][0]["path"], "/data/first");
}

// Keys rotated with the tools alone: the rotation file, signed with the
// key the device holds, replaces it; then files signed with the new key
// install and files signed with the old one are refused.
TEST(BoxOzatoolRotate, TheNewKeyInstallsAndTheOldIsRefused) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    scratch_dir dir;
    ASSERT_EQ(ozatool({"keygen", dir.at("new.pem"), dir.at("new.keyrec")}).status, 0);
    ASSERT_EQ(ozatool({"aeskey", dir.at("new.aes")}).status, 0);
    run_result r = ozatool({"rotate", "--box", box.root(), "-k", key("slot1.pem"), "--slot",
                            "1=" + dir.at("new.keyrec"), "--aes", dir.at("new.aes"), "--old-aes",
                            key("aes.keyrec"), "--iv", "000102030405060708090a0b0c0d0e0f", "-o",
                            box.host_path("/cache/rotate.oza")});
    ASSERT_EQ(r.status, 0) << r.err;
    // The key store's place was read from the box's MMC (L at byte 512).
    r = ozatool({"info", box.host_path("/cache/rotate.oza"), "--box", box.root()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("MMCF  area \"rawmmc\", offset 1740, 144 bytes"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("MMCF  area \"rawmmc\", offset 1578, 18 bytes"), std::string::npos)
        << r.out;
    ASSERT_EQ(install(box, "/cache/rotate.oza"), 0);
    const std::string mmc = box.read("/dev/mmcblk0");
    EXPECT_EQ(mmc.substr(1740, 144), read_text(dir.at("new.keyrec")));
    EXPECT_EQ(mmc.substr(1578, 18), read_text(dir.at("new.aes")));

    const std::string chunks = R"({"type": "COPY", "index": "data", "path": "x", "text": "x"})";
    const std::string cipher = ", \"cipher\": {\"key\": \"" + dir.at("new.aes") +
                               "\", \"iv\": \"000102030405060708090a0b0c0d0e0f\"}";
    write_text(dir.at("new.json"), manifest(1, chunks, dir.at("new.pem"), cipher));
    write_text(dir.at("old.json"), manifest(1, chunks, key("slot1.pem"), cipher));
    // pack checks against the box's store: the new key passes, the old one not.
    r = ozatool(
        {"pack", dir.at("new.json"), "-o", box.host_path("/cache/new.oza"), "--box", box.root()});
    EXPECT_EQ(r.status, 0) << r.err;
    r = ozatool(
        {"pack", dir.at("old.json"), "-o", box.host_path("/cache/old.oza"), "--box", box.root()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[the device stops with 207]"), std::string::npos) << r.err;
    r = ozatool({"pack", dir.at("old.json"), "-o", box.host_path("/cache/old.oza"),
                 "--allow-refused", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(install(box, "/cache/new.oza"), 0);
    EXPECT_EQ(box.read("/data/x"), "x");
    EXPECT_EQ(install(box, "/cache/old.oza"), 207);

    // The place of the store comes from the device, never typed against it.
    r = ozatool({"rotate", "--box", box.root(), "--length", "5", "-k", key("slot1.pem"), "--slot",
                 "2=" + dir.at("new.keyrec"), "-o", dir.at("r.oza")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("disagrees with the 1024 at byte 512"), std::string::npos) << r.err;
}

// Files that pack and verify call valid against a box install whole there.
TEST(BoxOzatoolValid, FilesTheToolsCallValidInstall) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    box.write("/mnt/storage/System/System.bin",
              std::string(4, '\0') + std::string("\x06\x00\x0c\x00\x01\x00", 6));
    box.write("/cache/old/file", "old");
    scratch_dir dir;
    const std::string cipher = ", \"cipher\": {\"key\": \"" + key("aes.keyrec") +
                               "\", \"iv\": \"000102030405060708090a0b0c0d0e0f\"}";
    struct {
        const char *name;
        std::string manifest;
        const char *check_path;
        std::string expected; // what the file starts with afterwards
    } cases[] = {
        {"files",
         manifest(2, R"({"type": "COPY", "index": "data", "path": "a/b", "text": "ab"},
                        {"type": "MOVE", "from_index": "data", "from_path": "a/b",
                         "to_index": "cache", "to_path": "b"},
                        {"type": "EXT2", "index": "cache", "path": "b", "mode": "0640"},
                        {"type": "DLET", "index": "cache", "path": "old"})",
                  "", cipher),
         "/cache/b", "ab"},
        {"parameters",
         manifest(1, R"({"type": "PARM", "id": 12, "value_type": "uint16", "value": "0x0203"},
                        {"type": "FPAR", "id": 3, "value_type": "int16", "value": "-2"},
                        {"type": "EXT3", "offset": 24576, "hex": "e89ac56f01000000"},
                        {"type": "HDDL", "value": 1})"),
         "/mnt/storage/System/System.bin",
         std::string("\x00\x00\x00\x00\x06\x00\x0c\x00\x03\x02", 10)},
        {"raw areas and flags",
         manifest(1, R"({"type": "MMCF", "area": "Boot Logo", "text": "LOGO"},
                        {"type": "TAGP", "entries": [{"tag": "0x54410009", "hex": "6100"}]},
                        {"type": "MVER", "version": "4.0.7"}, {"type": "EXT0", "value": 1},
                        {"type": "BOOT", "value": 1}, {"type": "MSGB", "text": "done"},
                        {"type": "EXT9"})"),
         "/mnt/rawfs/logo", "LOGO"},
        {"slot 5", manifest(5, R"({"type": "COPY", "index": "data", "path": "five", "text": "5"})"),
         "/data/five", "5"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_text(dir.at("m.json"), c.manifest);
        // Warnings only for slot 5, whose built-in key has a one-word exponent.
        const std::vector<std::string> strict = c.manifest.find("\"slot\": 5") == std::string::npos
                                                    ? std::vector<std::string>{"--strict"}
                                                    : std::vector<std::string>{};
        std::vector<std::string> args = {
            "pack",     dir.at("m.json"), "-o",          box.host_path("/cache/u.oza"), "--box",
            box.root(), "--update-path",  "/cache/u.oza"};
        args.insert(args.end(), strict.begin(), strict.end());
        run_result r = ozatool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        args = {"verify", box.host_path("/cache/u.oza"), "--box", box.root()};
        args.insert(args.end(), strict.begin(), strict.end());
        r = ozatool(args);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(install(box, "/cache/u.oza"), 0);
        EXPECT_EQ(box.read(c.check_path).substr(0, c.expected.size()), c.expected);
    }
}

// devbox init holds the records of --keys to the tools' rule.
TEST(BoxOzatoolKeys, TheBoxRefusesWeakKeysUnlessAllowed) {
    scratch_dir keys;
    struct {
        const char *name, *exponent, *bits;
        bool weak;
    } cases[] = {{"exponent 3", "3", "1024", true},
                 {"exponent 17", "17", "1024", true},
                 {"exponent 65535", "65535", "1024", true},
                 {"512 bits", "65537", "512", true},
                 {"exponent 65537", "65537", "1024", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        run_result r = ozatool({"keygen", "--allow-weak-key", "-e", c.exponent, "-b", c.bits,
                                dir.at("k.pem"), dir.at("slot2.keyrec")});
        ASSERT_EQ(r.status, 0) << r.err;
        device_box refused({"--keys", dir.path});
        EXPECT_EQ(refused.init_result().status, c.weak ? 1 : 0) << refused.init_result().err;
        if (!c.weak) continue;
        EXPECT_NE(refused.init_result().err.find("slot2.keyrec: refused"), std::string::npos)
            << refused.init_result().err;
        device_box allowed({"--keys", dir.path, "--allow-weak-key"});
        EXPECT_EQ(allowed.init_result().status, 0) << allowed.init_result().err;
        EXPECT_NE(allowed.init_result().err.find("warning"), std::string::npos);
        const std::string mmc = allowed.read("/dev/mmcblk0");
        EXPECT_EQ(mmc.substr(520 + 1024 + 340, 144), read_text(dir.at("slot2.keyrec")));
    }
}

// The raw areas pack accepts are the device's: every name opens a file of
// the box, and every area file of the box has a name pack accepts.
TEST(BoxOzatoolAreas, TheNamesTheToolsAcceptAreTheDevicesAreas) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    for (const std::string &name : oza_area_names()) {
        const std::string area = raw_area_name(name.c_str());
        const std::string path = area == raw_mmc_name ? "/dev/mmcblk0" : "/mnt/rawfs/" + area;
        EXPECT_TRUE(box.exists(path)) << name;
    }
    DIR *d = opendir(box.host_path("/mnt/rawfs").c_str());
    ASSERT_NE(d, nullptr);
    size_t files = 0;
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        files++;
        EXPECT_TRUE(oza_area_known(e->d_name)) << e->d_name;
    }
    closedir(d);
    EXPECT_EQ(files, 14u);
}

} // namespace
