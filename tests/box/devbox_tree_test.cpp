// devbox init: the tablet tree, its variants and the images it holds.
#include "core/config.h"
#include "crypto/keyrec.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

uint32_t le32_at(const std::string &bytes, size_t at) {
    uint32_t v = 0;
    if (at + 4 <= bytes.size()) memcpy(&v, bytes.data() + at, 4);
    return v;
}

off_t size_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(BoxTree, HoldsTheTabletFiles) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    const struct {
        const char *path, *text;
    } files[] = {
        {"/sys/devices/platform/battery/charger_type", "CHARGER_TWL6030USB\n"},
        {"/sys/class/switch/USB_SWITCH/state", "ATTACHED_VBUS\n"},
        {"/sys/class/power_supply/twl6030_usb/online", "3\n"},
        {"/sys/class/power_supply/twl6030_battery/voltage_now", "3900000\n"},
        {"/sys/class/power_supply/battery/voltage_now", "3900000\n"},
        {"/sys/class/power_supply/twl6030_battery/current_now", "250000\n"},
        {"/sys/class/leds/power/trigger", "none\n"},
        {"/sys/block/sda/sda2/start", "1048576\n"},
        {"/sys/devices/platform/omap/omap_i2c.1/i2c-1/1-0049/twl6030_bci/charge_level", "0\n"},
        {"/etc/fstab", "# <device>\t<mount point>\t<type>\t<options>\t<dump>\t<pass>\n"
                       "/dev/sda1\t/mnt/data\tvfat\tdefaults\t0\t0\n"},
        {"/spx", ""},
    };
    for (const auto &f : files) EXPECT_EQ(box.read(f.path), f.text) << f.path;
    const struct {
        const char *path;
        off_t size;
    } images[] = {
        {"/dev/flashrw", 4194304},        {"/dev/mmcblk0", 4194304},
        {"/dev/sda", 1073741824},         {"/dev/sda1", (1048576 - 63) * 512LL},
        {"/dev/fb0", 800 * 480 * 4},      {"/mnt/rawfs/params", 65536},
        {"/mnt/rawfs/prod", 131072},      {"/mnt/rawfs/tags", 4096},
        {"/mnt/rawfs/recovery", 8 << 20},
    };
    for (const auto &i : images) EXPECT_EQ(size_of(box.host_path(i.path)), i.size) << i.path;
    for (const char *d : {"/tmp", "/mnt/system", "/data", "/mnt/storage", "/cache", "/mnt/data",
                          "/mnt/fcache", "/lib/modules"}) {
        struct stat st;
        EXPECT_TRUE(stat(box.host_path(d).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << d;
    }
    struct stat st;
    ASSERT_EQ(stat(box.host_path("/dev/input/event1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(box.read("/dev/flashrw"), std::string(4194304, '\xFF')) << "erased flash";
    EXPECT_EQ(box.exists("/dev/dsscomp"), !basic_build);
    EXPECT_EQ(box.exists("/sys/devices/platform/omapdss/overlay1/manager"), !basic_build);
    EXPECT_EQ(box.exists("/sys/class/graphics/fb0/overlays"), !basic_build);
    EXPECT_EQ(box.exists("/sys/devices/virtual/switch/hdmi/state"), !basic_build);
}

TEST(BoxTree, CpuinfoNamesTheBoard) {
    device_box box({"--board", "KX7", "--revision", "0031"});
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.run({"cat", "/proc/cpuinfo"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nHardware\t: OMAP4 KX7 board\nRevision\t: 0031\n"), std::string::npos)
        << r.out;
    EXPECT_LT(r.out.size(), 1023u) << "the board lines must lie in the first 1023 bytes";
}

TEST(BoxTree, ChargerKinds) {
    const struct {
        const char *kind, *text; // text nullptr: no charger-type file
        const char *ac, *twl_ac;
    } cases[] = {
        {"dcin", "CHARGER_DCIN\n", "1\n", "0\n"},
        {"twl-usb", "CHARGER_TWL6030USB\n", "0\n", "0\n"},
        {"twl-usb-dc", "CHARGER_TWL6030USB_DC\n", "0\n", "1\n"},
        {"bq24167", "CHARGER_BQ24167\n", "0\n", "1\n"},
        {"none", "CHARGER_NONE\n", "0\n", "0\n"},
        {"missing", nullptr, "0\n", "0\n"},
    };
    for (const auto &c : cases) {
        device_box box({"--charger", c.kind});
        ASSERT_EQ(box.init_result().status, 0) << c.kind;
        const char *file = "/sys/devices/platform/battery/charger_type";
        EXPECT_EQ(box.exists(file), c.text != nullptr) << c.kind;
        if (c.text) {
            EXPECT_EQ(box.read(file), c.text) << c.kind;
        }
        EXPECT_EQ(box.read("/sys/class/power_supply/ac/online"), c.ac) << c.kind;
        EXPECT_EQ(box.read("/sys/class/power_supply/twl6030_ac/online"), c.twl_ac) << c.kind;
    }
    device_box bad({"--charger", "solar"});
    EXPECT_NE(bad.init_result().status, 0);
}

// The key store on /dev/mmcblk0: L at 512, the records at 520 + L.
TEST(BoxTree, KeyStoreHoldsTheKeyRecords) {
    scratch_dir keys;
    const struct {
        const char *name;
        size_t offset, size;
    } records[] = {
        {"aes.keyrec", 34, 18},     {"image.keyrec", 52, 144},  {"slot1.keyrec", 196, 144},
        {"slot2.keyrec", 340, 144}, {"slot3.keyrec", 484, 144}, {"slot4.keyrec", 628, 144},
    };
    for (size_t i = 0; i < std::size(records); ++i) {
        if (i == 3) continue; // slot2 missing
        write_text(keys.at(records[i].name), std::string(records[i].size, char('A' + i)));
    }
    device_box box({"--keys", keys.path, "--unit", "unit42"});
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    EXPECT_NE(box.init_result().err.find("missing in " + keys.path + ": slot2.keyrec"),
              std::string::npos)
        << box.init_result().err;
    std::string mmc = box.read("/dev/mmcblk0");
    const size_t L = le32_at(mmc, 512), store = 520 + L;
    ASSERT_LT(store + 8192, mmc.size());
    EXPECT_EQ(mmc.substr(store, 16), std::string("unit42") + std::string(10, '\0'));
    EXPECT_EQ(mmc.substr(store + 16, 18), std::string(18, '\0'));
    for (size_t i = 0; i < std::size(records); ++i) {
        std::string expect(records[i].size, i == 3 ? '\0' : char('A' + i));
        EXPECT_EQ(mmc.substr(store + records[i].offset, records[i].size), expect)
            << records[i].name;
    }

    write_text(keys.at("aes.keyrec"), "short");
    device_box bad({"--keys", keys.path});
    EXPECT_NE(bad.init_result().status, 0);
}

TEST(BoxTree, KeyStoreHoldsTheDevelopmentKeys) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    EXPECT_EQ(box.init_result().err, "") << "every development key file is there";
    std::string mmc = box.read("/dev/mmcblk0");
    const size_t store = 520 + le32_at(mmc, 512);
    EXPECT_EQ(mmc.substr(store, 16), std::string("gx4dev") + std::string(10, '\0'));
    const std::string keys = VARITOOL_SOURCE_DIR "/keys/development/";
    EXPECT_EQ(mmc.substr(store + 34, aes_key_record_size), read_text(keys + "aes.keyrec"));
    const struct {
        const char *name;
        size_t offset;
    } records[] = {{"image.keyrec", 52},
                   {"slot1.keyrec", 196},
                   {"slot2.keyrec", 340},
                   {"slot3.keyrec", 484},
                   {"slot4.keyrec", 628}};
    for (const auto &r : records) {
        std::string stored = mmc.substr(store + r.offset, key_record_size);
        EXPECT_EQ(stored, read_text(keys + r.name)) << r.name;
        EXPECT_TRUE(key_record_valid(reinterpret_cast<const unsigned char *>(stored.data())))
            << r.name;
    }
}

TEST(BoxTree, RawAreasHoldValidRecords) {
    device_box box({"--boot-entry", "2", "--wifi-mac", "02:11:22:33:44:55"});
    ASSERT_EQ(box.init_result().status, 0);
    std::string params = box.read("/mnt/rawfs/params");
    EXPECT_EQ(le32_at(params, 24576), 0x6FC59AE8u) << "boot selection magic";
    EXPECT_EQ(le32_at(params, 24580), 2u);
    // Typed parameter records: end offset, then (length, identifier) headers
    // that walk exactly to it.
    const size_t p3b = 16400;
    uint32_t end = le32_at(params, p3b + 4);
    size_t at = 8, count = 0;
    while (at < end) {
        uint16_t len = static_cast<uint16_t>(le32_at(params, p3b + at) & 0xFFFF);
        ASSERT_GE(len, 4);
        at += len;
        ++count;
    }
    EXPECT_EQ(at, end);
    EXPECT_GT(count, 0u);

    std::string prod = box.read("/mnt/rawfs/prod");
    EXPECT_EQ(le32_at(prod, 0), 0x822C0003u) << "MAC store with both MACs";
    EXPECT_EQ(prod.substr(4, 6), std::string("\x55\x44\x33\x22\x11\x02", 6));
    EXPECT_EQ(le32_at(prod, 24), 0x5796B702u) << "valid WLAN calibration";

    std::string tags = box.read("/mnt/rawfs/tags");
    size_t t = 0;
    while (le32_at(tags, t) != 0) t += 4 * le32_at(tags, t);
    EXPECT_LT(t + 8, 512u) << "the list ends within the first 512 bytes";
    EXPECT_EQ(le32_at(tags, 4), 0x54410001u) << "core tag first";
}

TEST(BoxTree, InitRefusesAFolderInUse) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    run_result again =
        run_program(VARITOOL_SOURCE_DIR "/tools/devbox", {"devbox", "init", box.root()});
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.err.find("not empty"), std::string::npos);
}

} // namespace
