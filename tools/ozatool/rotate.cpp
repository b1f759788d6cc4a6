// ozatool rotate: the update file that replaces keys (or the unit name) in
// a device's key store. The store is not a record the engine can write: the
// file writes its bytes with MMCF chunks into "rawmmc", the whole MMC
// device, at 520 + L + the field's offset, L being the u32 at byte 512 of
// that device. L is read from the device's MMC image (--mmc, --box), so the
// place is never typed by hand. The file is signed with the key the device
// holds now (MMCF is allowed in slots 1 and 2), and enciphered with its
// current AES key when asked; the next update is signed with the new key.
// The procedure is in docs/update-format.md ("Rotating keys").
#include "tools/ozatool/check_options.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/key_strength.h"
#include "tools/ozatool/pack.h"

#include "core/byteorder.h"
#include "crypto/keyrec.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using json = nlohmann::json;

namespace {

struct new_field {
    size_t offset;
    bytes value;
    std::string what;
};

bool read_file(const char *name, const std::string &path, bytes *out) {
    if (read_whole(path, out)) return true;
    fail(name, "cannot read %s: %s", path.c_str(), strerror(errno));
    return false;
}

} // namespace

int rotate_main(int argc, char **argv) {
    const char *name = argv[0];
    std::string old_key, output, old_aes, iv, file_unit, version;
    std::optional<uint32_t> length;
    int file_slot = 1;
    bool print_manifest = false, allow_weak = false;
    std::vector<new_field> fields;
    enum {
        opt_slot = 0x30000,
        opt_image,
        opt_new_aes,
        opt_old_aes,
        opt_iv,
        opt_unit,
        opt_file_unit,
        opt_version,
        opt_length,
        opt_file_slot,
        opt_manifest,
        opt_allow_weak,
    };
    static const option own[] = {{"output", required_argument, nullptr, 'o'},
                                 {"slot", required_argument, nullptr, opt_slot},
                                 {"image-key", required_argument, nullptr, opt_image},
                                 {"aes", required_argument, nullptr, opt_new_aes},
                                 {"old-aes", required_argument, nullptr, opt_old_aes},
                                 {"iv", required_argument, nullptr, opt_iv},
                                 {"unit", required_argument, nullptr, opt_unit},
                                 {"file-unit", required_argument, nullptr, opt_file_unit},
                                 {"version", required_argument, nullptr, opt_version},
                                 {"length", required_argument, nullptr, opt_length},
                                 {"slot-of-file", required_argument, nullptr, opt_file_slot},
                                 {"manifest", no_argument, nullptr, opt_manifest},
                                 {"allow-weak-key", no_argument, nullptr, opt_allow_weak},
                                 {nullptr, 0, nullptr, 0}};
    check_options check;
    const std::vector<option> options =
        with_check_options(own, {"key", "aes", "unit", "json", "params-file", "params-image"});
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--allow-weak-key") == 0) allow_weak = true;
    // A public-key record for the store: whole, checked, and not weak.
    auto public_record = [&](const char *path, size_t offset, const std::string &what) {
        bytes record;
        if (!read_file(name, path, &record)) return false;
        if (record.size() != key_record_size || !key_record_valid(record.data()))
            return fail(name,
                        "%s: not a key record with a valid checksum (ozatool keyrec makes one)",
                        path),
                   false;
        const std::string weak = key_record_weakness(record.data());
        if (!weak.empty() && !allow_weak)
            return fail(name, "%s: refused: %s (--allow-weak-key stores it for tests)", path,
                        weak.c_str()),
                   false;
        if (!weak.empty() && verbosity > 0)
            fprintf(stderr, "ozatool %s: warning: %s: a weak key, stored on request: %s\n", name,
                    path, weak.c_str());
        fields.push_back({offset, record, what});
        return true;
    };
    int opt;
    while ((opt = cli_option(argc, argv, "k:o:", options.data())) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case cli_bad: return usage(name);
        case 'k': old_key = optarg; break;
        case 'o': output = optarg; break;
        case opt_slot: {
            const char *eq = strchr(optarg, '=');
            if (!eq || eq - optarg != 1 || optarg[0] < '1' || optarg[0] > '4')
                return fail(name,
                            "--slot '%s': N=RECORD with N from 1 to 4 (slot 5's key is "
                            "built into the program)",
                            optarg),
                       2;
            if (!public_record(eq + 1, oza_slot_key_offset(optarg[0] - '0'),
                               std::string("slot ") + optarg[0] + " key"))
                return 1;
            break;
        }
        case opt_image:
            if (!public_record(optarg, store_image_key, "image key")) return 1;
            break;
        case opt_new_aes: {
            bytes record;
            if (!read_file(name, optarg, &record)) return 1;
            if (record.size() != store_aes_size || load_le16(record.data()) != 128)
                return fail(name,
                            "%s: the key store holds an 18-byte record of a 128-bit key "
                            "(ozatool aeskey makes one)",
                            optarg);
            fields.push_back({store_aes, record, "AES key"});
            break;
        }
        case opt_old_aes: old_aes = optarg; break;
        case opt_iv: iv = optarg; break;
        case opt_unit: {
            if (strlen(optarg) >= oza_unit_name_size)
                return fail(name, "--unit '%s': at most 15 characters", optarg), 2;
            bytes unit(oza_unit_name_size, 0);
            memcpy(unit.data(), optarg, strlen(optarg));
            fields.push_back({store_unit, unit, "unit name"});
            break;
        }
        case opt_file_unit: file_unit = optarg; break;
        case opt_version: version = optarg; break;
        case opt_length: {
            uint64_t v;
            if (!parse_u64(optarg, &v) || v > UINT32_MAX)
                return fail(name, "--length '%s': an unsigned 32-bit number", optarg), 2;
            length = uint32_t(v);
            break;
        }
        case opt_file_slot:
            if (strcmp(optarg, "1") != 0 && strcmp(optarg, "2") != 0)
                return fail(name,
                            "--slot-of-file '%s': 1 or 2 (the slots whose files may write "
                            "raw areas)",
                            optarg),
                       2;
            file_slot = optarg[0] - '0';
            break;
        case opt_manifest: print_manifest = true; break;
        case opt_allow_weak: break;
        default: {
            const int r = check_option(name, opt, optarg, &check);
            if (r < 0) return 2;
            if (r == 0) return usage(name);
        }
        }
    }
    if (argc != optind || old_key.empty() || (output.empty() && !print_manifest) || fields.empty())
        return usage(name);
    if (check.block) return fail(name, "--block holds no MMC layout: give --mmc or --box"), 2;
    if (!check_finish(name, &check)) return 2;

    // The key store's place on the device.
    uint64_t base = 0;
    if (check.mmc || check.box) {
        const std::string mmc = check.mmc ? check.mmc : std::string(check.box) + "/dev/mmcblk0";
        const int fd = open(mmc.c_str(), O_RDONLY | O_CLOEXEC);
        unsigned char field[4];
        const bool ok = fd >= 0 && pread(fd, field, 4, store_length_field) == 4;
        if (fd >= 0) close(fd);
        if (!ok) return fail(name, "%s: no key-store location (byte 512)", mmc.c_str());
        if (length && *length != load_le32(field))
            return fail(name, "--length %u disagrees with the %u at byte 512 of %s", *length,
                        load_le32(field), mmc.c_str());
        base = store_base + uint64_t(load_le32(field));
    } else if (length) {
        base = store_base + *length;
    } else {
        return fail(name, "the key store's place: give the device's MMC image (--mmc, --box) or "
                          "--length"),
               2;
    }
    if (file_unit.empty()) {
        if (!check.device.unit)
            return fail(name, "the unit the file is for: give --file-unit (or the device's "
                              "MMC image, whose store names it)"),
                   2;
        file_unit = *check.device.unit;
    }
    const oza_target &target =
        check.device.target ? *check.device.target : *oza_find_target("full");
    if (version.empty())
        version = std::to_string(target.own.major) + "." + std::to_string(target.own.minor) + "." +
                  std::to_string(target.own.revision);

    json chunks = json::array();
    for (const new_field &f : fields)
        chunks.push_back(
            {{"type", "MMCF"},
             {"area", "rawmmc"},
             {"offset", base + f.offset},
             {"hex", hex_text(f.value.data(), f.value.size())},
             {"comment", f.what + " at offset " + std::to_string(f.offset) + " of the key store"}});
    json manifest = {{"comment", "key rotation made by ozatool rotate: the key store at byte " +
                                     std::to_string(base) + " of the MMC"},
                     {"signature", {{"slot", file_slot}, {"key", absolute_path(old_key)}}},
                     {"unit", file_unit},
                     {"version", version},
                     {"time", "auto"},
                     {"chunks", chunks}};
    if (!old_aes.empty()) {
        if (iv.empty()) return fail(name, "--old-aes needs --iv (32 hexadecimal digits)"), 2;
        manifest["cipher"] = {{"key", absolute_path(old_aes)}, {"iv", iv}};
    }
    const std::string text = manifest.dump(2) + "\n";
    if (print_manifest) {
        fputs(text.c_str(), stdout);
        return 0;
    }
    pack_settings s;
    s.output = output;
    s.check = std::move(check);
    if (s.check.box || s.check.mmc) s.check.keys.store = &s.check.store;
    return pack_text(name, "rotation manifest", text, ".", s);
}
