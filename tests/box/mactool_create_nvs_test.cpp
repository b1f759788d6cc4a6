// mactool and create_nvs in device boxes, on the MAC store and the WLAN
// calibration block of the box's "prod" area.
#include "core/config.h"

#include "tests/support/devbox.h"
#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string prod = "/mnt/rawfs/prod";

uint32_t load_le32(const std::string &s, size_t at) {
    const auto b = [&](size_t i) { return uint32_t(static_cast<unsigned char>(s[at + i])); };
    return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

std::string store_of(const device_box &box) {
    return box.read(prod).substr(0, 24);
}

// The MAC store's first word, and removing the area altogether.
void set_word(const device_box &box, uint32_t word) {
    box.patch(prod, 0, le32_text(word));
}
void remove_prod(const device_box &box) {
    box.run({"/bin/busybox", "rm", prod});
}

constexpr const char store_magic_line[] =
    "Store magic error %x (param->magic & MAC_STORE_MASK) != MAC_STORE_MAGIC\n";

std::string magic_error(uint32_t word) {
    char line[128];
    snprintf(line, sizeof line, store_magic_line, word);
    return line;
}

// A generated address: the prefix, a fifth octet d0 to d3 and a sixth other
// than ff, in lower-case hexadecimal.
void expect_generated(const std::string &mac) {
    ASSERT_EQ(mac.size(), 17u) << mac;
    EXPECT_EQ(mac.substr(0, 12), "02:a7:3e:5d:");
    const unsigned fifth = std::stoul(mac.substr(12, 2), nullptr, 16);
    const unsigned sixth = std::stoul(mac.substr(15, 2), nullptr, 16);
    EXPECT_GE(fifth, 0xd0u);
    EXPECT_LE(fifth, 0xd3u);
    EXPECT_NE(sixth, 0xffu);
    EXPECT_EQ(mac.find_first_of("ABCDEF"), std::string::npos);
}

// The address's octets as the store keeps them (last first).
std::string stored(const std::string &mac) {
    std::string out;
    for (int i = 5; i >= 0; --i) out += char(std::stoul(mac.substr(3 * i, 2), nullptr, 16));
    return out;
}

// ---- mactool, full build ----

TEST(BoxMactool, ReadstoreOnTheEthernetAndAWifiOnlyBoard) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build has no Ethernet";
    device_box zemo;
    run_result r = zemo.applet({"mactool", "readstore", "mac"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "WIFI : 02:00:00:b0:c5:01\nETH : 02:00:00:b0:c5:02\n");
    EXPECT_EQ(r.err, "");
    // Words that begin with a sub-command's name count as it.
    EXPECT_EQ(zemo.applet({"mactool", "readstorefoo", "mac"}).out, r.out);

    device_box wifi({"--board", "MIRKEL", "--wifi-mac", "12:34:56:78:9a:bc"});
    r = wifi.applet({"mactool", "readstore", "mac"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "WIFI : 12:34:56:78:9a:bc\n");
}

TEST(BoxMactool, StoreCheckMessages) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build checks silently";
    struct check_case {
        const char *board;
        uint32_t word;
        std::string message; // "" when the store passes
    } cases[] = {
        {"ZEMO", 0x822C0003, ""},
        {"ZEMO", 0x822C0001, "Device should have Ethernet bit\n"},
        {"MIRKEL", 0x822C0001, ""},
        {"ZEMO", 0x822C0002, "Device should have Wifi bit\n"},
        {"MIRKEL", 0x822C0000, "Device should have Wifi bit\n"},
        {"ZEMO", 0x12AB0003, magic_error(0x12AB0003)},
        {"MIRKEL", 0x822D0001, magic_error(0x822D0001)},
        {"MIRKEL", 0, magic_error(0)},
    };
    for (const check_case &c : cases) {
        SCOPED_TRACE(std::string(c.board) + " " + std::to_string(c.word));
        device_box box({"--board", c.board});
        set_word(box, c.word);
        run_result r = box.applet({"mactool", "readstore", "mac"});
        EXPECT_EQ(r.status, 0);
        if (c.message.empty()) {
            EXPECT_EQ(r.out.substr(0, 7), "WIFI : ");
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.message + "read mac returned -1\n");
        }
    }
    device_box box;
    remove_prod(box);
    run_result r = box.applet({"mactool", "readstore", "mac"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Couldn't read store\nread mac returned -1\n");
}

TEST(BoxMactool, CommandLines) {
    if constexpr (basic_build) GTEST_SKIP() << "the basic build takes one sub-command";
    device_box box;
    const std::string usage = "mactool : readstore | checkstore\n";
    struct line_case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"mactool"}, 1, usage},
        {{"mactool", "readstore"}, 1, usage},
        {{"mactool", "readstore", "foo"}, 1, usage},
        {{"mactool", "readstore", "mac", "mac"}, 1, usage},
        {{"mactool", "nothing", "mac"}, 0, ""},
        {{"mactool", "checkstore", "readstore", "mac"}, 1, "Mac address present\n" + usage},
        {{"mactool", "checkstore", "other", "checkstore"},
         0,
         "Mac address present\nMac address present\n"},
    };
    for (const line_case &c : cases) {
        run_result r = box.applet(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.size();
        EXPECT_EQ(r.err, c.err) << c.args.size();
        EXPECT_EQ(r.out, "");
    }
}

TEST(BoxMactool, CheckstoreKeepsAValidStore) {
    device_box box;
    const std::string before = box.read(prod);
    run_result r = box.applet({"mactool", "checkstore"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Mac address present\n");
    EXPECT_TRUE(box.read(prod) == before);
}

TEST(BoxMactool, CheckstoreGeneratesAnAddressForAMissingStore) {
    for (const char *board : {"ZEMO", "MIRKEL"}) {
        SCOPED_TRACE(board);
        device_box box({"--board", board});
        set_word(box, 0x12345678);
        const std::string before = store_of(box);
        run_result r = box.applet({"mactool", "checkstore"});
        EXPECT_EQ(r.status, 0);
        const std::string generated_line = "Generated Mac address : ";
        const size_t at = r.err.find(generated_line);
        ASSERT_NE(at, std::string::npos) << r.err;
        const std::string mac = r.err.substr(at + generated_line.size(), 17);
        expect_generated(mac);
        const bool ethernet = !basic_build && std::string(board) == "ZEMO";
        const std::string checked = basic_build ? "" : magic_error(0x12345678);
        EXPECT_EQ(r.err, checked + generated_line + mac + "\n");

        const std::string after = store_of(box);
        EXPECT_EQ(load_le32(after, 0), ethernet ? 0x822C0003u : 0x822C0001u);
        EXPECT_EQ(after.substr(4, 6), stored(mac));
        EXPECT_EQ(after.substr(10), before.substr(10)) << "the other bytes stay as read";
        const std::string printed = basic_build ? mac + "\n" : "WIFI : " + mac + "\n";
        const std::vector<std::string> readstore =
            basic_build ? std::vector<std::string>{"mactool", "readstore"}
                        : std::vector<std::string>{"mactool", "readstore", "mac"};
        EXPECT_EQ(box.applet(readstore).out.substr(0, printed.size()), printed);
    }
}

TEST(BoxMactool, CheckstoreReportsAFailedWrite) {
    device_box box;
    remove_prod(box);
    run_result r = box.applet({"mactool", "checkstore"});
    EXPECT_NE(r.err.find("Generated Mac address : 02:a7:3e:5d:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 22), "write mac returned -1\n");
    EXPECT_EQ(r.status, basic_build ? 255 : 0);
    if constexpr (!basic_build) {
        EXPECT_EQ(r.err.substr(0, 20), "Couldn't read store\n");
    }
}

// ---- mactool, basic build ----

TEST(BoxMactool, BasicSubCommands) {
    if constexpr (!basic_build) GTEST_SKIP() << "the basic build's sub-commands";
    device_box box;
    run_result r = box.applet({"mactool", "readstore"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "02:00:00:b0:c5:01\n");
    EXPECT_EQ(r.err, "");

    r = box.applet({"mactool", "checkstore"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Mac address present\n");

    r = box.applet({"mactool", "erasestore"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(store_of(box), std::string(24, '\0'));
    r = box.applet({"mactool", "readstore"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "read mac returned -1\n");
    // Only the magic and the Wi-Fi bit count.
    set_word(box, 0x822C0001);
    EXPECT_EQ(box.applet({"mactool", "readstore"}).status, 0);

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"mactool"}, std::vector<std::string>{"mactool", "other"}}) {
        r = box.applet(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "mactool : readstore | checkstore\n");
    }
    remove_prod(box);
    r = box.applet({"mactool", "erasestore"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "erase store returned -1\n");
}

// ---- create_nvs ----

// The calibration the box's "prod" area holds, and the NVS section made
// from it with the box's Wi-Fi address.
std::string box_calibration() {
    std::string c;
    for (int i = 0; i < 412; ++i) c += char((i * 7 + 3) & 0xFF);
    return c;
}

std::string section(const std::string &mac_bytes, const std::string &calibration) {
    std::string s =
        "\x01\x6d\x54" + mac_bytes.substr(0, 4) + "\x01\x71\x54" + mac_bytes.substr(4, 2);
    s += std::string(12, '\0') + calibration;
    s += std::string("\x02\x13", 2) + std::string(20, '\0');
    s += std::string("\xaa\x03\x00\x00\x00\x02\xff\xff\x00\x00", 10);
    return s;
}

const std::string box_mac("\x01\xc5\xb0\x00\x00\x02", 6);
const std::string default_mac("\x02\x30\x50\xdc\x18\x00", 6);

std::string reference_file(size_t n) {
    std::string r;
    for (size_t i = 0; i < n; ++i) r += char(i * 13 + 1);
    return r;
}

TEST(BoxCreateNvs, SectionFromTheStore) {
    device_box box;
    run_result r = box.applet({"create_nvs", "-e", "/tmp/nvs"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(box.read("/tmp/nvs") == section(box_mac, box_calibration()));
}

TEST(BoxCreateNvs, IniSectionOfTheReferenceFile) {
    device_box box;
    const std::string reference = reference_file(1200);
    box.write("/tmp/ref", reference);
    struct chip {
        const char *name;
        size_t ini;
    } chips[] = {{"wl127x", 444}, {"wl128x", basic_build ? 444u : 645u}};
    for (const chip &c : chips) {
        run_result r = box.applet({"create_nvs", "-e", "/tmp/nvs", "-w", c.name, "-t", "/tmp/ref"});
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.err, "");
        const std::string file = box.read("/tmp/nvs");
        EXPECT_EQ(file.size(), 468 + c.ini) << c.name;
        EXPECT_TRUE(file == section(box_mac, box_calibration()) + reference.substr(468, c.ini));
    }
}

TEST(BoxCreateNvs, FailuresRemoveTheOutput) {
    device_box box;
    box.write("/tmp/ref", reference_file(468 + 644));
    struct failure {
        std::vector<std::string> args;
        int result;
    } failures[] = {
        {{"-w", "wl127x"}, 468}, // no reference file: only the section
        {{"-w", basic_build ? "wl127x" : "wl128x", "-t", "/tmp/none"}, 1},
        {{"-w", basic_build ? "wl127x" : "wl128x", "-t", "/tmp/short"}, 1},
        // Only a regular file is read: the open of a FIFO would wait.
        {{"-w", basic_build ? "wl127x" : "wl128x", "-t", "/tmp/fifo"}, 1},
    };
    box.write("/tmp/short", reference_file(basic_build ? 468 + 443 : 468 + 644));
    ASSERT_EQ(box.run({"/bin/busybox", "mkfifo", "/tmp/fifo"}).status, 0);
    for (const failure &f : failures) {
        std::vector<std::string> args = {"create_nvs", "-e", "/tmp/nvs"};
        args.insert(args.end(), f.args.begin(), f.args.end());
        box.write("/tmp/nvs", "old");
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, f.result & 255) << f.args.back();
        EXPECT_EQ(r.err, "\ncreate_nvs: fail, cleaning (" + std::to_string(f.result) + ")\n");
        EXPECT_FALSE(box.exists("/tmp/nvs")) << f.args.back();
    }
}

TEST(BoxCreateNvs, LegacyModeAndDummyCalibration) {
    struct calibration_case {
        uint32_t magic;
        std::string full_messages; // before the legacy or dummy line
    } cases[] = {
        {0, ""},
        {0x5796B71F, "Ignoring legacy calibration.\n"},
    };
    for (const calibration_case &c : cases) {
        SCOPED_TRACE(c.magic);
        device_box box;
        box.patch(prod, 24, le32_text(c.magic));
        run_result r = box.applet({"create_nvs", "-e", "/tmp/nvs"});
        const std::string legacy = "make_nvs_buff : legacy mode : no tx bip, exit.\n";
        if constexpr (basic_build) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, legacy);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, c.full_messages + "create_nvs: set dummy calibration\n" + legacy);
        }
        EXPECT_TRUE(box.read("/tmp/nvs") == section(box_mac, "").substr(0, 24));

        // With a chip the whole section is written, the calibration zero.
        box.write("/tmp/ref", reference_file(1200));
        r = box.applet({"create_nvs", "-e", "/tmp/nvs", "-w", "wl127x", "-t", "/tmp/ref"});
        EXPECT_EQ(r.status, basic_build ? 0 : 1);
        EXPECT_TRUE(box.read("/tmp/nvs") == section(box_mac, std::string(412, '\0')) +
                                                reference_file(1200).substr(468, 444));
    }
}

TEST(BoxCreateNvs, DefaultMacWhenTheStoreHasNone) {
    for (uint32_t word : {0x12345678u, 0x822C0002u}) {
        device_box box;
        set_word(box, word);
        run_result r = box.applet({"create_nvs", "-e", "/tmp/nvs"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, basic_build ? "" : "create_nvs: set default mac address\n");
        EXPECT_TRUE(box.read("/tmp/nvs") == section(default_mac, box_calibration()));
    }
    device_box box;
    remove_prod(box);
    run_result r = box.applet({"create_nvs", "-e", "/tmp/nvs"});
    if constexpr (basic_build) {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "make_nvs_buff : legacy mode : no tx bip, exit.\n");
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Read MAC from store Failed.\n"
                         "create_nvs: set default mac address\n"
                         "Read Calib from store Failed.\n"
                         "create_nvs: set dummy calibration\n"
                         "make_nvs_buff : legacy mode : no tx bip, exit.\n");
    }
    EXPECT_TRUE(box.read("/tmp/nvs") == section(default_mac, "").substr(0, 24));
}

TEST(BoxCreateNvs, OutputPlaces) {
    device_box box;
    // -l makes the directories first; without it the file cannot be opened.
    run_result r = box.applet({"create_nvs", "-l", "-e", "/data/misc/wifi/nvs.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.read("/data/misc/wifi/nvs.bin").size(), 468u);

    const std::string cleaning = "\ncreate_nvs: fail, cleaning (-1)\n";
    r = box.applet({"create_nvs", "-e", "/tmp/a/b/nvs.bin"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, basic_build
                         ? cleaning
                         : "create_nvs: error can't open file /tmp/a/b/nvs.bin \n" + cleaning);
    // An output that cannot be opened is not removed.
    box.run({"/bin/busybox", "mkdir", "/tmp/dir"});
    EXPECT_EQ(box.applet({"create_nvs", "-e", "/tmp/dir"}).status, 255);
    EXPECT_TRUE(box.exists("/tmp/dir"));
    // A write that stores nothing is a failure.
    r = box.applet({"create_nvs", "-e", "/dev/full"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "create_nvs: could not write nvs @ /dev/full (0) \n" + cleaning);
}

TEST(BoxCreateNvs, CommandLinesThatEndAtOnce) {
    device_box box;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"create_nvs"},
          std::vector<std::string>{"create_nvs", "-w", "wl127x"},
          std::vector<std::string>{"create_nvs", "-e", "/tmp/nvs", "-w", "wl129x"}}) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 255) << args.size();
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(box.exists("/tmp/nvs"));
    }
}

} // namespace
