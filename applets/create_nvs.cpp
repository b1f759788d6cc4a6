// create_nvs: writes the WLAN chip's NVS file from the MAC store and the
// calibration block of ParamStore_Prod, optionally followed by the INI
// section of a reference NVS file.
#include "core/applet.h"
#include "core/byteorder.h"
#include "core/config.h"
#include "core/durable.h"
#include "core/fullio.h"
#include "core/sysfile.h"
#include "core/unique.h"
#include "devtools/mac_store.h"
#include "devtools/wlan_nvs.h"
#include "flash/params.h"
#include "flash/storage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <unistd.h>

namespace {

constexpr const char self[] = "create_nvs";

struct nvs_options {
    const char *output = nullptr;    // -e
    size_t ini_size = 0;             // -w: INI length of the chip, 0 without -w
    const char *reference = nullptr; // -t
    bool make_directories = false;   // -l
};

// Parses the command line; false when the applet ends at once with -1.
bool parse_options(int argc, char **argv, nvs_options &o) {
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "e:w:t:l")) != -1) {
        switch (opt) {
        case 'e': o.output = optarg; break;
        case 'w':
            if (strcmp(optarg, "wl127x") == 0)
                o.ini_size = nvs_ini_wl127x;
            else if (strcmp(optarg, "wl128x") == 0)
                o.ini_size = basic_build ? nvs_ini_wl127x : nvs_ini_wl128x;
            else
                return false;
            break;
        case 't': o.reference = optarg; break;
        case 'l': o.make_directories = true; break;
        default: break;
        }
    }
    return o.output != nullptr;
}

// The Wi-Fi MAC of the store in store byte order, or the default one.
void store_mac(unsigned char mac[6]) {
    unsigned char store[mac_store_size];
    bool usable = false;
    if (param_read(param_prod, prod_mac_store_offset, store, mac_store_size) < 0) {
        if constexpr (!basic_build) fprintf(stderr, "Read MAC from store Failed.\n");
    } else {
        const uint32_t word = load_le32(store);
        usable = (word & mac_store_mask) == mac_store_magic && (word & mac_store_wifi_bit) != 0;
    }
    if (usable) {
        memcpy(mac, store + mac_store_wifi, 6);
        return;
    }
    if constexpr (!basic_build) fprintf(stderr, "%s: set default mac address\n", self);
    memcpy(mac, nvs_default_mac, 6);
}

// The TX BiP calibration of a valid calibration block into calibration;
// false when there is none.
bool store_calibration(unsigned char calibration[nvs_calibration_size]) {
    unsigned char block[prod_calibration_size];
    if (param_read(param_prod, prod_calibration_offset, block, prod_calibration_size) < 0) {
        if constexpr (!basic_build) fprintf(stderr, "Read Calib from store Failed.\n");
        return false;
    }
    const uint32_t magic = load_le32(block);
    if (magic == prod_calibration_valid) {
        memcpy(calibration, block + 8, nvs_calibration_size);
        return true;
    }
    if (!basic_build && magic == prod_calibration_legacy)
        fprintf(stderr, "Ignoring legacy calibration.\n");
    return false;
}

// Writes n bytes; the result is 0, or after a short write the count that
// was written (-1 when nothing was, so that a failure never reads as 0).
int write_part(int out, const unsigned char *data, size_t n, const char *path) {
    size_t put = 0;
    if (full_write(out, data, n, &put) == static_cast<ssize_t>(n)) return 0;
    fprintf(stderr, "%s: could not write nvs @ %s (%d) \n", self, path, static_cast<int>(put));
    return put > 0 ? static_cast<int>(put) : -1;
}

// Appends the INI section of the reference file: 0, or 1 when the file
// cannot be opened, is not a regular file or is too short, or write_part's
// result.
int append_ini(int out, const nvs_options &o) {
    byte_buffer ini = make_buffer(o.ini_size);
    if (!ini) return static_cast<int>(nvs_section_size);
    unique_fd reference(open_regular_file(o.reference, nullptr));
    if (!reference.valid() || full_pread(reference.get(), ini.get(), o.ini_size, nvs_ini_offset) !=
                                  static_cast<ssize_t>(o.ini_size))
        return 1;
    return write_part(out, ini.get(), o.ini_size, o.output);
}

void make_directories(const char *path) {
    char copy[PATH_MAX];
    if (snprintf(copy, sizeof copy, "%s", path) >= static_cast<int>(sizeof copy)) return;
    make_path(dirname(copy), 0777, 0, 0);
}

int create_nvs_main(int argc, char **argv) {
    nvs_options o;
    if (!parse_options(argc, argv, o)) return -1;
    byte_buffer section = make_buffer(nvs_section_size);
    if (!section) return -1;

    unsigned char mac[6];
    store_mac(mac);
    unsigned char calibration[nvs_calibration_size] = {};
    const bool calibrated = store_calibration(calibration);
    int dummy = 0;
    if (!calibrated) {
        if constexpr (!basic_build) {
            fprintf(stderr, "%s: set dummy calibration\n", self);
            dummy = 1;
        }
    }
    nvs_build_section(section.get(), mac, calibrated ? calibration : nullptr);
    size_t length = nvs_section_size;
    if (o.ini_size == 0 && !calibrated) {
        fprintf(stderr, "%s : legacy mode : no tx bip, exit.\n", "make_nvs_buff");
        length = nvs_head_size;
    }
    if (o.make_directories) make_directories(o.output);

    int result = 0;
    unique_fd out(open(o.output, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    const bool opened = out.valid();
    if (!opened) {
        if constexpr (!basic_build)
            fprintf(stderr, "%s: error can't open file %s \n", self, o.output);
        result = -1;
    } else {
        result = write_part(out.get(), section.get(), length, o.output);
        if (result == 0 && o.ini_size != 0)
            result = o.reference == nullptr ? static_cast<int>(length) : append_ini(out.get(), o);
        // The file is written once the storage has confirmed it.
        if (flush_and_close(out.release()) != 0 && result == 0) {
            fprintf(stderr, "%s: could not write nvs @ %s (%s) \n", self, o.output,
                    strerror(errno));
            result = -1;
        }
    }
    if (result != 0) {
        fprintf(stderr, "\n%s: fail, cleaning (%d)\n", self, result);
        // A file that could not be opened is not this run's to remove.
        if (opened) remove(o.output);
    }
    return result | dummy;
}

} // namespace

VARITOOL_APPLET(create_nvs, create_nvs_main);
