// acat, get_info, reboot_into and create_sysid in device boxes.
#include "core/config.h"

#include "tests/support/devbox.h"
#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// ---- acat ----

TEST(BoxAcat, CopiesInBlocksWithProgress) {
    device_box box;
    struct size_case {
        size_t length;
        std::string counts;   // the len, blk and rst lines' numbers
        std::string percents; // progress lines on standard error
        std::vector<std::string> sent;
    } cases[] = {
        {3000,
         "3000 2 952",
         "50/100\n100/100\n",
         {"zui -c progress -f 500", "zui -c progress -f 1000"}},
        {0, "0 0 0", "100/100\n", {"zui -c progress -f 1000"}},
        {1024, "1024 1 0", "100/100\n", {"zui -c progress -f 1000"}},
        {4500,
         "4500 4 404",
         "25/100\n50/100\n75/100\n100/100\n",
         {"zui -c progress -f 250", "zui -c progress -f 500", "zui -c progress -f 750",
          "zui -c progress -f 1000"}},
    };
    for (const size_case &c : cases) {
        const std::string content = random_text(c.length, unsigned(c.length));
        box.write("/tmp/file", content);
        box.clear_log();
        run_result r = box.applet({"acat", "/tmp/file"});
        EXPECT_EQ(r.status, 0) << c.length;
        EXPECT_TRUE(r.out == content) << c.length;
        size_t a = c.counts.find(' '), b = c.counts.rfind(' ');
        EXPECT_EQ(r.err, "acat : len : " + c.counts.substr(0, a) +
                             " \nacat : blk : " + c.counts.substr(a + 1, b - a - 1) +
                             " \nacat : rst : " + c.counts.substr(b + 1) + " \n" + c.percents);
        EXPECT_EQ(box.log(), c.sent) << c.length;
    }
}

TEST(BoxAcat, AnUnreachableUiDoesNotStopTheCopy) {
    device_box box;
    box.write("/bin/zui", "#!/bin/sh\nexit 1\n");
    box.write("/tmp/file", std::string(2048, 'a'));
    run_result r = box.applet({"acat", "/tmp/file"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(2048, 'a'));
    EXPECT_NE(r.err.find("zui_progress: Could not send update progress bar to ZUID !\n"),
              std::string::npos)
        << r.err;
}

TEST(BoxAcat, WrongArgumentsAndMissingFilesGiveOne) {
    device_box box;
    box.write("/tmp/file", "x");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"acat"}, std::vector<std::string>{"acat", "/tmp/none"},
          std::vector<std::string>{"acat", "/tmp/file", "/tmp/file"}}) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.out + r.err, "") << args.size();
    }
}

// ---- get_info ----

TEST(BoxGetInfo, LettersOfTheBoardAndTheVersions) {
    device_box box;
    const std::vector<std::pair<std::string, std::string>> letters = {
        {"f", "norvel_gx4"},
        {"l", "ZEMO_MEDIA"},
        {"m", "Norvel"},
        {"p", "ZEMO"},
        {"r", "14"},
        {"v", basic_build ? "4.0.07" : "4.0.28"},
        {"V", basic_build ? "3.2.80" : "4.0.25"},
    };
    for (const auto &[letter, value] : letters) {
        run_result r = box.applet({"get_info", letter});
        EXPECT_EQ(r.status, 0) << letter;
        EXPECT_EQ(r.out, value) << letter;
        EXPECT_EQ(r.err, "") << letter;
    }
    device_box other({"--board", "MIRKEL", "--revision", "255"});
    EXPECT_EQ(other.applet({"get_info", "r"}).out, "ff");
    EXPECT_EQ(other.applet({"get_info", "l"}).out, "MIRKEL");
}

TEST(BoxGetInfo, Usage) {
    device_box box;
    const std::string usage = "Usage: get_info [flmprVv]\n";
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"get_info"}, 1},           {{"get_info", "pr"}, 1}, {{"get_info", ""}, 1},
        {{"get_info", "p", "r"}, 1}, {{"get_info", "x"}, 2},  {{"get_info", "F"}, 2},
    };
    for (const auto &[args, status] : cases) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, status) << args.size();
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
}

// ---- reboot_into ----

constexpr size_t boot_selection = 24576; // ParamStore_4 in the "params" image

std::string boot_record(const device_box &box) {
    return box.read("/mnt/rawfs/params").substr(boot_selection, 8);
}

bool rebooted(const device_box &box) {
    for (const std::string &line : box.log())
        if (line == "reboot") return true;
    return false;
}

TEST(BoxRebootInto, SetOnlyStoresTheEntry) {
    device_box box;
    run_result r = box.applet({"reboot_into", "-s", "zed"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Boot entry set to zed...\n");
    EXPECT_EQ(boot_record(box), le32_text(0x6FC59AE8) + le32_text(2));
    EXPECT_FALSE(rebooted(box));
    // Words after the entry are ignored.
    EXPECT_EQ(box.applet({"reboot_into", "-s", "recovery", "now"}).status, 0);
    EXPECT_EQ(boot_record(box), le32_text(0x6FC59AE8) + le32_text(1));
}

TEST(BoxRebootInto, StoresTheEntryAndReboots) {
    const std::vector<std::pair<std::string, uint32_t>> entries = {
        {"android", 0}, {"recovery", 1}, {"zed", 2}};
    for (const auto &[entry, index] : entries) {
        device_box box({"--boot-entry", index == 0 ? "2" : "0"});
        run_result r = box.applet({"reboot_into", entry});
        EXPECT_EQ(r.status, 0) << entry;
        EXPECT_EQ(r.out, "Rebooting into " + entry + "...\n");
        EXPECT_EQ(boot_record(box), le32_text(0x6FC59AE8) + le32_text(index));
        EXPECT_TRUE(rebooted(box)) << entry;
    }
}

TEST(BoxRebootInto, Failures) {
    device_box box;
    const std::string usage =
        "Usage: reboot_into [options] <android|zed|recovery>\n\nOptions:\n"
        "-s                       Do not reboot, just set the boot entry for next boot\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"reboot_into"}, usage},
        {{"reboot_into", "-x", "zed"}, usage},
        {{"reboot_into", "zed", "-s"}, usage},
        {{"reboot_into", "Zed"}, "Zed is not a valid argument\n\n" + usage},
        {{"reboot_into", "-s"}, "-s is not a valid argument\n\n" + usage},
        {{"reboot_into", "-s", "normal"}, "normal is not a valid argument\n\n" + usage},
    };
    const std::string before = boot_record(box);
    for (const auto &[args, out] : refused) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.out, out);
    }
    EXPECT_EQ(boot_record(box), before);
    EXPECT_FALSE(rebooted(box));

    // A reboot command that fails is reported.
    box.write("/sbin/reboot", "#!/bin/sh\nexit 3\n");
    run_result r = box.applet({"reboot_into", "recovery"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot reboot (3)\n");

    // Without the parameter area nothing is stored and nothing reboots.
    box.write("/sbin/reboot", "#!/bin/sh\necho reboot >> /box/log\n");
    box.run({"/bin/busybox", "rm", "/mnt/rawfs/params"});
    r = box.applet({"reboot_into", "android"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Cannot set boot entry android: Unknown error -1 (-1)\n");
    EXPECT_FALSE(rebooted(box));
}

// ---- create_sysid ----

const std::string cid_file = "/sys/block/mmcblk0/device/cid";
const std::string id_file = "/mnt/storage/System/id.sys";

// The identity for the box's unit name (gx4dev) and a device-unique value.
std::string identity_of(const std::string &unique) {
    const auto digest = oracle_md5(unique.data(), unique.size());
    return "gx4d" + to_hex(digest.data(), 8);
}

TEST(BoxCreateSysid, RecordOnTheEthernetBoardAndElsewhere) {
    struct board_case {
        const char *board;
        size_t hdcp;
    } boards[] = {{"ZEMO", 104}, {"MIRKEL", 86}};
    for (const board_case &b : boards) {
        SCOPED_TRACE(b.board);
        device_box box({"--board", b.board});
        box.write(cid_file, "150100474e4430324700b4f1d3c7d300\n");
        run_result r = box.applet({"create_sysid"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out + r.err, "");
        const std::string id = box.read(id_file);
        const std::string identity = identity_of("150100474e4430324700b4f1d3c7d300");
        if constexpr (basic_build) {
            EXPECT_EQ(id, identity);
            continue;
        }
        ASSERT_EQ(id.size(), 512u);
        EXPECT_EQ(id.substr(0, 20), identity);
        EXPECT_EQ(id.substr(20, 20),
                  "DGMN" + le32_text(12) + le32_text(4) + le32_text(0) + le32_text(25));
        std::string product = b.board;
        product.resize(12, '\0');
        EXPECT_EQ(id.substr(40, 20), "PNPN" + le32_text(12) + product);
        EXPECT_EQ(id.substr(60, 8), "MACS" + le32_text(b.hdcp == 104 ? 36 : 18));
        EXPECT_EQ(id.substr(b.hdcp, 12), "HDCP" + le32_text(4) + le32_text(3));
        EXPECT_EQ(id.substr(b.hdcp + 12), std::string(512 - b.hdcp - 12, '\0'));
        struct stat st;
        ASSERT_EQ(stat(box.host_path(id_file).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST(BoxCreateSysid, IdentityIsStableAndDeviceUnique) {
    device_box one, other({"--wifi-mac", "02:00:00:b0:c5:77"});
    auto identity = [](const device_box &box) {
        EXPECT_EQ(box.applet({"create_sysid"}).status, 0);
        return box.read(id_file).substr(0, 20);
    };
    // Without a card identification file, the Wi-Fi address is the
    // device-unique value.
    const std::string first = identity(one);
    EXPECT_EQ(first, identity_of(std::string("\x01\xc5\xb0\x00\x00\x02", 6)));
    EXPECT_EQ(identity(one), first);
    EXPECT_NE(identity(other), first);
    // The card identification takes precedence.
    one.write(cid_file, "150100474e4430324700b4f1d3c7d301\n");
    EXPECT_EQ(identity(one), identity_of("150100474e4430324700b4f1d3c7d301"));
    // With neither, the identity cannot be unique, and says so.
    device_box bare;
    bare.run({"/bin/busybox", "rm", "/mnt/rawfs/prod"});
    run_result r = bare.applet({"create_sysid"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "create_sysid: no device-unique value, the identity is not unique\n");
    EXPECT_EQ(bare.read(id_file).substr(0, 20), identity_of(""));
}

TEST(BoxCreateSysid, RootDirectory) {
    device_box box;
    box.run({"/bin/busybox", "mkdir", "/tmp/root"});
    EXPECT_EQ(box.applet({"create_sysid", "-p", "/tmp/root"}).status, 0);
    EXPECT_EQ(box.read("/tmp/root/System/id.sys").size(), basic_build ? 20u : 512u);
    EXPECT_FALSE(box.exists(id_file));

    box.write("/tmp/file", "");
    const std::string usage = "Usage: create_sysid -p <path>\t: specify sysid hdd root\n";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"create_sysid", "-p", "/tmp/none"},
          std::vector<std::string>{"create_sysid", "-p", "/tmp/file"},
          std::vector<std::string>{"create_sysid", "-p"},
          std::vector<std::string>{"create_sysid", "-x"}}) {
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 255) << args.back();
        EXPECT_EQ(r.out, usage);
    }
    // A file that cannot be written is a failure.
    box.write("/tmp/blocked/System", "not a directory");
    run_result r = box.applet({"create_sysid", "-p", "/tmp/blocked"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, 50), "create_sysid: cannot open /tmp/blocked/System/id.s");
}

} // namespace
