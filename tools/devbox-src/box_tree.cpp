// devbox init: the tablet's root file system as a directory tree.
#include "box_tool.h"

#include "crypto/keyrec.h"
#include "tools/ozatool/key_strength.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Image sizes (bytes) and disk layout (512-byte sectors).
constexpr off_t mmc_size = 4 << 20;
constexpr off_t flash_size = 4 << 20;
constexpr unsigned disk_sectors = 2097152; // 1 GiB
constexpr unsigned sda2_start = 1048576;
constexpr unsigned sda1_first = 63;

// Key store: the length L at byte 512 of the MMC, the records at 520 + L.
constexpr unsigned keystore_gap = 1024;
constexpr unsigned keystore_at = 520 + keystore_gap;

struct key_file {
    const char *name;
    unsigned offset, size;
};
constexpr key_file key_files[] = {
    {"aes.keyrec", 34, 18},     {"image.keyrec", 52, 144},  {"slot1.keyrec", 196, 144},
    {"slot2.keyrec", 340, 144}, {"slot3.keyrec", 484, 144}, {"slot4.keyrec", 628, 144},
};

struct raw_area {
    const char *name;
    off_t size;
};
constexpr raw_area raw_areas[] = {
    {"stage1", 131072},      {"stage2", 262144},  {"store5", 1 << 20}, {"storex", 1 << 20},
    {"storexflat", 1 << 20}, {"logo", 1 << 20},   {"init", 8 << 20},   {"recovery", 8 << 20},
    {"data", 16 << 20},      {"params", 65536},   {"prod", 131072},    {"banner", 1 << 20},
    {"tags", 4096},          {"custom", 8 << 20},
};

struct charger_kind {
    const char *name, *text; // text nullptr: no charger-type file
};
constexpr charger_kind chargers[] = {
    {"dcin", "CHARGER_DCIN\n"},
    {"twl-usb", "CHARGER_TWL6030USB\n"},
    {"twl-usb-dc", "CHARGER_TWL6030USB_DC\n"},
    {"bq24167", "CHARGER_BQ24167\n"},
    {"none", "CHARGER_NONE\n"},
    {"other", "CHARGER_OTHER\n"},
    {"missing", nullptr},
};

// The modes a television reports when none are given: 1080p60, a low-rate
// 1080p, 720p60, 720p50, 480p and an interlaced 1080i.
constexpr const char *default_modes[] = {
    "60,1920,1080,6734,0", "30,1920,1080,13468,0", "60,1280,720,13468,0",
    "50,1280,720,13468,0", "60,720,480,37037,0",   "60,1920,1080,13468,1",
};

bool parse_mac(const std::string &text, unsigned char out[6]) {
    unsigned v[6];
    char tail;
    if (sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
               &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 255) return false;
        out[i] = static_cast<unsigned char>(v[i]);
    }
    return true;
}

std::string cpuinfo(const init_options &o) {
    return "Processor\t: ARMv7 Processor rev 10 (v7l)\n"
           "processor\t: 0\n"
           "BogoMIPS\t: 1194.86\n\n"
           "processor\t: 1\n"
           "BogoMIPS\t: 1194.86\n\n"
           "Features\t: swp half thumb fastmult vfp edsp thumbee neon vfpv3 tls\n"
           "CPU implementer\t: 0x41\n"
           "CPU architecture: 7\n"
           "CPU variant\t: 0x2\n"
           "CPU part\t: 0xc09\n"
           "CPU revision\t: 10\n\n"
           "Hardware\t: OMAP4 " +
           o.board + " board\nRevision\t: " + o.revision + "\nSerial\t\t: 0000000000000000\n";
}

std::string config(const init_options &o) {
    unsigned line = o.fb_line != 0 ? o.fb_line : o.fb_width * o.fb_bpp / 8;
    std::string c = "# Device box settings: the stand-in library reads them on every call.\n";
    c += "board=" + o.board + "\nrevision=" + o.revision + "\n";
    c += std::string("basic=") + (o.basic ? "1" : "0") + "\n";
    c += std::string("loop=") + (o.loop ? "1" : "0") + "\n";
    c += "disk_geometry=255,63," + std::to_string(disk_sectors / (255 * 63)) + ",0\n";
    c += "blkrrpart_errno=0\n";
    c += "fb=" + std::to_string(o.fb_width) + "," + std::to_string(o.fb_height) + "," +
         std::to_string(o.fb_bpp) + "," + std::to_string(line) + "\n";
    c += "input_name=box input\n";
    c += "flash_protect=" + o.flash_protect + "\n";
    c += "modules_busy=\ninit_module_errno=0\n";
    if (!o.basic) {
        c += "hdmi_max_pixclock=" + std::to_string(o.hdmi_max_pixclock) + "\n";
        c += "hdmi_current=1280,720,13468\n";
        c += "dsscomp_query_errno=0\ndsscomp_setup_errno=0\n";
        if (o.hdmi_modes.empty())
            for (const char *m : default_modes) c += std::string("hdmi_mode=") + m + "\n";
        for (const std::string &m : o.hdmi_modes) c += "hdmi_mode=" + m + "\n";
    }
    return c;
}

// The sysfs attributes: plain files the program rewrites and reads back.
bool make_sys(const init_options &o, const std::string &root) {
    const charger_kind *charger = nullptr;
    for (const charger_kind &k : chargers)
        if (o.charger == k.name) charger = &k;
    if (charger == nullptr) {
        box_error("unknown charger type %s", o.charger.c_str());
        return false;
    }
    const std::string ps = "/sys/class/power_supply/";
    const bool dcin = o.charger == "dcin";
    const bool twl_ac = o.charger == "twl-usb-dc" || o.charger == "bq24167";
    const char *usb_online = o.usb_switch.find("ATTACHED_VBUS") != std::string::npos      ? "3\n"
                             : o.usb_switch.find("ATTACHED_CHARGER") != std::string::npos ? "4\n"
                                                                                          : "0\n";
    const std::string volt = std::to_string(o.voltage) + "\n";
    const std::string curr = std::to_string(o.current) + "\n";
    std::vector<std::pair<std::string, std::string>> files = {
        {ps + "ac/online", dcin ? "1\n" : "0\n"},
        {ps + "ac/voltage_now", "0\n"},
        {ps + "ac/current_now", "0\n"},
        {ps + "twl6030_ac/online", twl_ac ? "1\n" : "0\n"},
        {ps + "twl6030_ac/voltage_now", "0\n"},
        {ps + "twl6030_ac/current_now", "0\n"},
        {ps + "twl6030_usb/online", usb_online},
        {ps + "twl6030_usb/voltage_now", "0\n"},
        {ps + "twl6030_usb/current_now", "0\n"},
        {ps + "twl6030_battery/online", "1\n"},
        {ps + "twl6030_battery/voltage_now", volt},
        {ps + "twl6030_battery/current_now", curr},
        {ps + "battery/online", "1\n"},
        {ps + "battery/voltage_now", volt},
        {ps + "battery/current_now", curr},
        {"/sys/class/switch/USB_SWITCH/state", o.usb_switch + "\n"},
        {"/sys/devices/platform/omap/omap_i2c.1/i2c-1/1-0049/twl6030_bci/charge_level", "0\n"},
        {"/sys/class/leds/power/trigger", "none\n"},
        {"/sys/class/leds/power/delay_on", "500\n"},
        {"/sys/class/leds/power/delay_off", "500\n"},
        {"/sys/block/sda/sda2/start", std::to_string(sda2_start) + "\n"},
        {"/sys/class/backlight/panel/brightness", "60\n"},
        {"/sys/class/backlight/panel/max_brightness", "255\n"},
    };
    if (charger->text != nullptr)
        files.push_back({"/sys/devices/platform/battery/charger_type", charger->text});
    if (!o.basic) {
        // HDMI output, display subsystem and the USB host port's power control
        // exist only on the full configuration's devices.
        const std::string dss = "/sys/devices/platform/omapdss/";
        const std::string panel = std::to_string(o.fb_width) + "," + std::to_string(o.fb_height);
        for (int i = 0; i < 4; ++i) {
            std::string ov = dss + "overlay" + std::to_string(i) + "/";
            files.push_back({ov + "enabled", i == 0 ? "1\n" : "0\n"});
            files.push_back({ov + "manager", i == 0 ? "lcd\n" : "lcd2\n"});
            files.push_back({ov + "input_size", panel + "\n"});
            files.push_back({ov + "position", "0,0\n"});
            files.push_back({ov + "output_size", panel + "\n"});
            files.push_back({ov + "x_decim", "1..16\n"});
            files.push_back({ov + "y_decim", "1..16\n"});
            files.push_back({ov + "zorder", std::to_string(i) + "\n"});
        }
        files.push_back({dss + "display1/enabled", "1\n"});
        files.push_back({"/sys/class/graphics/fb0/overlays", "0\n"});
        files.push_back({"/sys/devices/virtual/switch/hdmi/state", "0\n"});
        files.push_back({"/sys/bus/usb/devices/1-1/power/control", "auto\n"});
        files.push_back({"/sys/bus/usb/devices/usb1/power/control", "auto\n"});
    }
    for (const auto &[path, text] : files)
        if (!put_file(root + path, text)) return false;
    return true;
}

// /dev/mmcblk0 with the key store: unit name, AES key record and the five
// public-key records of the development keys.
bool make_mmc(const init_options &o, const std::string &root) {
    const std::string mmc = root + "/dev/mmcblk0";
    if (!make_sparse(mmc, mmc_size) || !put_at(mmc, 512, le32(keystore_gap))) return false;
    if (o.unit.size() > 15) {
        box_error("unit name %s is longer than 15 characters", o.unit.c_str());
        return false;
    }
    if (!put_at(mmc, keystore_at, o.unit + std::string(16 - o.unit.size(), '\0'))) return false;
    std::string missing;
    for (const key_file &k : key_files) {
        std::string path = o.keys + "/" + k.name, data;
        if (!get_file(path, data)) {
            missing += std::string(" ") + k.name;
            continue;
        }
        if (data.size() != k.size) {
            box_error("%s: %zu bytes, expected %u", path.c_str(), data.size(), k.size);
            return false;
        }

        if (!put_at(mmc, keystore_at + k.offset, data)) return false;
    }
    if (!missing.empty())
        fprintf(stderr, "devbox: warning: missing in %s:%s (their key-store bytes stay zero)\n",
                o.keys.c_str(), missing.c_str());
    return true;
}

// The parameter image of "params": boot selection and typed parameter
// records.
std::string params_image(const init_options &o) {
    std::string img(65536, '\0');
    img.replace(24576, 8, le32(0x6FC59AE8) + le32(static_cast<unsigned>(o.boot_entry)));
    // ParamStore_3b at 16400: a word, the end offset, then records of
    // (length, identifier, value).
    std::string records;
    auto record = [&](unsigned id, const std::string &value) {
        unsigned len = 4 + static_cast<unsigned>(value.size());
        records += static_cast<char>(len & 0xFF);
        records += static_cast<char>(len >> 8);
        records += static_cast<char>(id & 0xFF);
        records += static_cast<char>(id >> 8);
        records += value;
    };
    record(1, std::string(2, '\0'));
    record(2, le32(0));
    record(3, std::string("\x01\x00", 2));
    img.replace(16400, 8 + records.size(),
                le32(0) + le32(8 + static_cast<unsigned>(records.size())) + records);
    return img;
}

// "prod": the MAC store and a WLAN calibration block.
bool prod_image(const init_options &o, std::string &img) {
    unsigned char wifi[6], eth[6];
    if (!parse_mac(o.wifi_mac, wifi) || !parse_mac(o.eth_mac, eth)) {
        box_error("bad MAC address");
        return false;
    }
    img.assign(131072, '\0');
    std::string store = le32(0x822C0003);
    for (int i = 5; i >= 0; --i) store += static_cast<char>(wifi[i]);
    for (int i = 5; i >= 0; --i) store += static_cast<char>(eth[i]);
    img.replace(0, store.size(), store);
    std::string cal = le32(0x5796B702) + le32(0);
    for (int i = 0; i < 412; ++i) cal += static_cast<char>((i * 7 + 3) & 0xFF);
    img.replace(24, cal.size(), cal);
    return true;
}

// "tags": a boot tag list (core, memory, revision, end).
std::string tags_image(const init_options &o) {
    std::string img(4096, '\0');
    std::string list = le32(5) + le32(0x54410001) + le32(1) + le32(4096) + le32(0);
    list += le32(4) + le32(0x54410002) + le32(0x40000000) + le32(0x80000000);
    list += le32(3) + le32(0x54410007) + le32(static_cast<unsigned>(atoi(o.revision.c_str())));
    list += le32(0) + le32(0);
    img.replace(0, list.size(), list);
    return img;
}

bool make_rawfs(const init_options &o, const std::string &root) {
    for (const raw_area &a : raw_areas)
        if (!make_sparse(root + "/mnt/rawfs/" + a.name, a.size)) return false;
    std::string prod;
    return prod_image(o, prod) && put_at(root + "/mnt/rawfs/prod", 0, prod) &&
           put_at(root + "/mnt/rawfs/params", 0, params_image(o)) &&
           put_at(root + "/mnt/rawfs/tags", 0, tags_image(o));
}

bool make_dev(const init_options &o, const std::string &root) {
    const std::string dev = root + "/dev/";
    unsigned line = o.fb_line != 0 ? o.fb_line : o.fb_width * o.fb_bpp / 8;
    if (!make_mmc(o, root) || !put_file(dev + "flashrw", std::string(flash_size, '\xFF')) ||
        !make_sparse(dev + "sda", static_cast<off_t>(disk_sectors) * 512) ||
        !make_sparse(dev + "sda1", static_cast<off_t>(sda2_start - sda1_first) * 512) ||
        !make_sparse(dev + "fb0", static_cast<off_t>(line) * o.fb_height) ||
        !make_dirs(dev + "input"))
        return false;
    if (!o.basic && !put_file(dev + "dsscomp", "")) return false;
    for (int i = 0; i < o.inputs; ++i) {
        std::string fifo = dev + "input/event" + std::to_string(i);
        if (mkfifo(fifo.c_str(), 0660) != 0) {
            box_error("mkfifo %s: %s", fifo.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

// /bin, /sbin and /lib: the stand-ins, the distribution's tools, and links to
// the host's libraries (its /usr is bound read-only into the box).
bool make_programs(const std::string &root) {
    const std::string zui = "#!/bin/sh\n# Stand-in for the UI client: logs its command line.\n"
                            "echo \"zui $*\" >> /box/log\nexit 0\n";
    const std::string reboot = "#!/bin/sh\n# Stand-in for reboot: logs its command line.\n"
                               "echo \"reboot${*:+ $*}\" >> /box/log\nexit 0\n";
    char sh[4096] = {};
    if (realpath("/bin/sh", sh) == nullptr) strcpy(sh, "/usr/bin/sh");
    if (!exists("/usr/bin/busybox"))
        fprintf(stderr, "devbox: warning: /usr/bin/busybox missing (install busybox)\n");
    if (!put_file(root + "/bin/zui", zui, 0755) || !put_file(root + "/sbin/reboot", reboot, 0755) ||
        !make_link("/usr/bin/busybox", root + "/bin/busybox") || !make_link(sh, root + "/bin/sh") ||
        !make_link("/usr/bin/cp", root + "/bin/cp") ||
        !make_link("/usr/sbin/mkdosfs", root + "/sbin/mkdosfs"))
        return false;
    // A module image: the module name is what the stand-in's init_module reads.
    static constexpr char module[] = "\x7f"
                                     "ELF\x01\x01\x01\0\0\0\0\0\0\0\0\0"
                                     "license=GPL\0name=flashrw\0vermagic=box";
    if (!put_file(root + "/lib/modules/flashrw.ko", std::string(module, sizeof module)))
        return false;
    DIR *d = opendir("/usr/lib");
    if (d == nullptr) return false;
    bool ok = true;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "modules") continue;
        ok = ok && make_link("/usr/lib/" + name, root + "/lib/" + name);
    }
    closedir(d);
    for (const char *lib : {"lib32", "lib64", "libx32"})
        if (ok && exists(std::string("/") + lib))
            ok = make_link(std::string("usr/") + lib, root + "/" + lib);
    return ok;
}

bool make_etc(const std::string &root) {
    return put_file(root + "/etc/fstab",
                    "# <device>\t<mount point>\t<type>\t<options>\t<dump>\t<pass>\n"
                    "/dev/sda1\t/mnt/data\tvfat\tdefaults\t0\t0\n") &&
           put_file(root + "/etc/passwd", "root:x:0:0:root:/:/bin/sh\n") &&
           put_file(root + "/etc/group", "root:x:0:\n") && put_file(root + "/etc/ld.so.cache", "");
}

bool empty_or_absent(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return errno == ENOENT;
    bool empty = true;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = false;
    closedir(d);
    return empty;
}

// Refuses weak public keys (tools/ozatool/key_strength.h) before anything is
// made, unless they are allowed; a warning names each one allowed. Only
// records the device would use are held to the rule: one whose checksum is
// wrong, or whose numbers cannot be loaded, is stored as it is (the device
// falls back or refuses, and tests of that need such records).
bool keys_strong_enough(const init_options &o) {
    for (const key_file &k : key_files) {
        std::string data;
        if (k.size != 144 || !get_file(o.keys + "/" + k.name, data) || data.size() != 144) continue;
        const auto *record = reinterpret_cast<const unsigned char *>(data.data());
        unsigned bits = 0;
        uint64_t exponent = 0;
        if (!key_record_valid(record) || !key_record_numbers(record, &bits, &exponent)) continue;
        const std::string weak = key_weakness(bits, exponent);
        if (weak.empty()) continue;
        if (!o.allow_weak_key) {
            box_error("%s/%s: refused: %s (%s stores it for tests)", o.keys.c_str(), k.name,
                      weak.c_str(), allow_weak_key_option);
            return false;
        }
        fprintf(stderr, "devbox: warning: %s/%s: a weak key, stored on request: %s\n",
                o.keys.c_str(), k.name, weak.c_str());
    }
    return true;
}

} // namespace

int box_init(const init_options &o) {
    if (o.dir.empty() || o.dir[0] != '/' || o.dir == "/") {
        box_error("init: give the box folder as an absolute path other than /");
        return 1;
    }
    if (!empty_or_absent(o.dir)) {
        box_error("init: %s is not empty", o.dir.c_str());
        return 1;
    }
    if (o.boot_entry < 0 || o.boot_entry > 2 || o.inputs < 0 || o.inputs > 32 ||
        o.fb_bpp % 8 != 0 || o.fb_bpp == 0) {
        box_error("init: option out of range");
        return 1;
    }
    if (!keys_strong_enough(o)) return 1;
    const std::string &root = o.dir;
    for (const char *d : {"/usr", "/proc", "/tmp", "/mnt/system", "/mnt/storage", "/mnt/data",
                          "/mnt/fcache", "/data", "/cache", "/box/bin", "/box/lib", "/box/run"})
        if (!make_dirs(root + d)) return 1;
    chmod((root + "/tmp").c_str(), 01777);
    bool ok = make_etc(root) && make_programs(root) && make_sys(o, root) && make_dev(o, root) &&
              make_rawfs(o, root) && put_file(root + "/spx", "") &&
              put_file(root + "/box/cpuinfo", cpuinfo(o)) &&
              put_file(root + "/box/config", config(o)) && put_file(root + "/box/modules", "") &&
              put_file(root + "/box/log", "");
    return ok ? 0 : 1;
}
