// ozatool keystore: writes the unit name, the AES key record and the
// public-key records into a key-store block, either a file of its own or
// the store on an MMC image (at 520 + L, L being the u32 at byte 512; an
// option sets L on a fresh image). Without anything to write it lists what
// the store holds.
#include "tools/ozatool/keystore.h"

#include "core/byteorder.h"
#include "crypto/keyrec.h"
#include "tools/ozatool/cli.h"
#include "tools/ozatool/format.h"
#include "tools/ozatool/key_strength.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

bool load_key_store(const char *block, const char *mmc, key_store *store, std::string *error) {
    store->data.clear();
    if (block) {
        store->origin = block;
        if (read_whole(block, &store->data)) return true;
        *error = std::string("cannot read ") + block + ": " + strerror(errno);
        return false;
    }
    int fd = open(mmc, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::string("cannot open ") + mmc + ": " + strerror(errno);
        return false;
    }
    unsigned char length[4];
    bool ok = pread(fd, length, 4, store_length_field) == 4;
    if (ok) {
        const uint64_t at = store_base + uint64_t(load_le32(length));
        store->origin = std::string(mmc) + ", key store at byte " + std::to_string(at);
        store->data.resize(store_size);
        ssize_t n = pread(fd, store->data.data(), store_size, off_t(at));
        store->data.resize(n > 0 ? size_t(n) : 0);
    } else {
        *error = std::string(mmc) + " has no key-store location (it ends before byte 516)";
    }
    close(fd);
    return ok;
}

bool store_read(const key_store &store, size_t offset, size_t n, unsigned char *out) {
    if (offset > store.data.size() || n > store.data.size() - offset) return false;
    memcpy(out, store.data.data() + offset, n);
    return true;
}

std::string describe_key_record(const unsigned char *record) {
    bool empty = true;
    for (size_t i = 0; i < key_record_size; i++) empty = empty && record[i] == 0;
    if (empty) return "empty";
    const unsigned m = load_le16(record), x = load_le16(record + key_record_exponent_words);
    char text[160];
    if (m > key_record_max_modulus_words || x > key_record_max_exponent_words) {
        snprintf(text, sizeof text, "not a key record (%u modulus words, %u exponent words)", m, x);
        return text;
    }
    unsigned bits = 0;
    for (unsigned i = 0; i < m; i++)
        for (unsigned b = 0; b < 16; b++)
            if (load_le16(record + key_record_modulus + 2 * i) >> b & 1) bits = 16 * i + b + 1;
    uint64_t e = 0;
    for (unsigned i = 0; i < x; i++)
        e |= uint64_t(load_le16(record + key_record_exponent + 2 * i)) << (16 * i);
    snprintf(text, sizeof text, "RSA, %u-bit modulus, exponent %llu, checksum %08x %s", bits,
             static_cast<unsigned long long>(e), load_le32(record + key_record_checksum_offset),
             key_record_valid(record) ? "(valid)" : "(WRONG: the device uses its fallback key)");
    return text;
}

namespace {

struct setting {
    size_t offset;
    bytes value;
    std::string what; // for messages
};

// Whether weak public keys may be stored (--allow-weak-key).
bool allow_weak = false;

// A public-key record file: 144 bytes with a valid checksum, of a key that
// is not weak.
bool public_record(const char *name, const std::string &path, size_t offset,
                   std::vector<setting> &out) {
    bytes record;
    if (!read_whole(path, &record))
        return fail(name, "cannot read %s: %s", path.c_str(), strerror(errno)), false;
    if (record.size() != key_record_size)
        return fail(name, "%s holds %zu bytes: a key record has 144 (make one with ozatool keyrec)",
                    path.c_str(), record.size()),
               false;
    if (!key_record_valid(record.data()))
        return fail(name, "%s: the record's checksum is wrong; the device would not use it",
                    path.c_str()),
               false;
    const std::string weak = key_record_weakness(record.data());
    if (!weak.empty() && !allow_weak)
        return fail(name, "%s: refused: %s (--allow-weak-key stores it for tests)", path.c_str(),
                    weak.c_str()),
               false;
    if (!weak.empty() && verbosity > 0)
        fprintf(stderr, "ozatool %s: warning: %s: a weak key, stored on request: %s\n", name,
                path.c_str(), weak.c_str());
    out.push_back({offset, record, path});
    return true;
}

// An AES key record file: the store holds 18 bytes, a 128-bit key.
bool aes_record(const char *name, const std::string &path, std::vector<setting> &out) {
    bytes record;
    if (!read_whole(path, &record))
        return fail(name, "cannot read %s: %s", path.c_str(), strerror(errno)), false;
    if (record.size() != store_aes_size || load_le16(record.data()) != 128)
        return fail(name,
                    "%s: the key store holds an 18-byte record of a 128-bit key (u16 128, 16 key "
                    "bytes; make one with ozatool aeskey)",
                    path.c_str()),
               false;
    out.push_back({store_aes, record, path});
    return true;
}

// The records of a key directory laid out like keys/development.
bool key_directory(const char *name, const std::string &dir, std::vector<setting> &out) {
    const size_t before = out.size();
    struct stat st;
    auto present = [&](const std::string &file) {
        return stat((dir + "/" + file).c_str(), &st) == 0;
    };
    if (present("image.keyrec") &&
        !public_record(name, dir + "/image.keyrec", store_image_key, out))
        return false;
    for (int slot = 1; slot <= 4; slot++) {
        const std::string file = "slot" + std::to_string(slot) + ".keyrec";
        if (present(file) && !public_record(name, dir + "/" + file, oza_slot_key_offset(slot), out))
            return false;
    }
    if (present("aes.keyrec") && !aes_record(name, dir + "/aes.keyrec", out)) return false;
    if (out.size() == before)
        return fail(name,
                    "%s holds none of image.keyrec, slot1.keyrec ... slot4.keyrec, aes.keyrec",
                    dir.c_str()),
               false;
    return true;
}

void show(const key_store &store) {
    printf("key store: %s (%zu bytes)\n", store.origin.c_str(), store.data.size());
    unsigned char unit[oza_unit_name_size];
    if (store_read(store, store_unit, sizeof unit, unit)) {
        unit[15] = 0;
        printf("  %-14s \"%s\"\n", "unit name", reinterpret_cast<char *>(unit));
    } else {
        printf("  %-14s unreadable: the device uses \"a004\"\n", "unit name");
    }
    unsigned char aes[store_aes_size];
    if (store_read(store, store_aes, sizeof aes, aes))
        printf("  %-14s %u-bit key %s%s\n", "AES key (34)", load_le16(aes),
               hex_text(aes + 2, 16).c_str(),
               load_le16(aes) == 128 ? "" : "  (the device accepts only 128 bits here)");
    else
        printf("  %-14s unreadable: the device uses its built-in key\n", "AES key (34)");
    struct {
        const char *label;
        size_t offset;
    } records[] = {{"image (52)", store_image_key},
                   {"slot 1 (196)", oza_slot_key_offset(1)},
                   {"slot 2 (340)", oza_slot_key_offset(2)},
                   {"slot 3 (484)", oza_slot_key_offset(3)},
                   {"slot 4 (628)", oza_slot_key_offset(4)}};
    for (const auto &r : records) {
        unsigned char record[key_record_size];
        if (store_read(store, r.offset, sizeof record, record))
            printf("  %-14s %s\n", r.label, describe_key_record(record).c_str());
        else
            printf("  %-14s unreadable: the device uses its fallback key\n", r.label);
    }
}

// Writes the settings into the block file, created as 8192 zero bytes when
// it does not exist.
int write_block(const char *name, const char *path, const std::vector<setting> &settings) {
    bytes block;
    if (!read_whole(path, &block)) {
        if (errno != ENOENT) return fail(name, "cannot read %s: %s", path, strerror(errno));
        block.clear();
    }
    if (block.size() > store_size)
        return fail(name, "%s holds %zu bytes: a key-store block has %zu", path, block.size(),
                    store_size);
    block.resize(store_size, 0);
    for (const setting &s : settings)
        memcpy(block.data() + s.offset, s.value.data(), s.value.size());
    return write_small_output(name, path, {}, block.data(), block.size());
}

// Writes the settings into the image's key store; with a length, first
// stores it at byte 512 (creating the image when it does not exist) and
// makes the image long enough to hold the whole store.
int write_mmc(const char *name, const char *path, const std::optional<uint32_t> &length,
              const std::vector<setting> &settings) {
    int fd = open(path, O_RDWR | O_CLOEXEC | (length ? O_CREAT : 0), 0644);
    if (fd < 0) return fail(name, "cannot open %s: %s", path, strerror(errno));
    unsigned char field[4];
    bool ok = true;
    if (length) {
        store_le32(field, *length);
        struct stat st;
        const off_t end = off_t(store_base + uint64_t(*length) + store_size);
        ok = pwrite(fd, field, 4, store_length_field) == 4 && fstat(fd, &st) == 0 &&
             (st.st_size >= end || ftruncate(fd, end) == 0);
    } else if (pread(fd, field, 4, store_length_field) != 4) {
        close(fd);
        return fail(name, "%s has no key-store location (it ends before byte 516): give --length",
                    path);
    }
    const uint64_t base = store_base + uint64_t(load_le32(field));
    for (const setting &s : settings)
        ok = ok && pwrite(fd, s.value.data(), s.value.size(), off_t(base + s.offset)) ==
                       ssize_t(s.value.size());
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok) return fail(name, "cannot write %s: %s", path, strerror(errno));
    return 0;
}

} // namespace

int keystore_main(int argc, char **argv) {
    const char *name = argv[0];
    const char *block = nullptr, *mmc = nullptr;
    std::optional<uint32_t> length;
    std::vector<setting> settings;
    enum {
        opt_keys = 256,
        opt_unit,
        opt_aes,
        opt_image,
        opt_slot,
        opt_block,
        opt_mmc,
        opt_length,
        opt_allow_weak
    };
    static const option long_options[] = {{"keys", required_argument, nullptr, opt_keys},
                                          {"unit", required_argument, nullptr, opt_unit},
                                          {"aes", required_argument, nullptr, opt_aes},
                                          {"image-key", required_argument, nullptr, opt_image},
                                          {"slot", required_argument, nullptr, opt_slot},
                                          {"block", required_argument, nullptr, opt_block},
                                          {"mmc", required_argument, nullptr, opt_mmc},
                                          {"length", required_argument, nullptr, opt_length},
                                          {"allow-weak-key", no_argument, nullptr, opt_allow_weak},
                                          {nullptr, 0, nullptr, 0}};
    // The records are checked as they come: the flag goes first.
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--allow-weak-key") == 0) allow_weak = true;
    int opt;
    while ((opt = cli_option(argc, argv, "", long_options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case opt_allow_weak: break;
        case opt_keys:
            if (!key_directory(name, optarg, settings)) return 1;
            break;
        case opt_unit: {
            if (strlen(optarg) >= oza_unit_name_size)
                return fail(name, "unit name '%s': at most 15 characters", optarg);
            bytes unit(oza_unit_name_size, 0);
            memcpy(unit.data(), optarg, strlen(optarg));
            settings.push_back({store_unit, unit, "unit name"});
            break;
        }
        case opt_aes:
            if (!aes_record(name, optarg, settings)) return 1;
            break;
        case opt_image:
            if (!public_record(name, optarg, store_image_key, settings)) return 1;
            break;
        case opt_slot: {
            const char *eq = strchr(optarg, '=');
            if (!eq || eq - optarg != 1 || optarg[0] < '1' || optarg[0] > '4')
                return fail(name,
                            "--slot '%s': expected N=RECORD with N from 1 to 4 (slot 5's key "
                            "is built into the program)",
                            optarg);
            if (!public_record(name, eq + 1, oza_slot_key_offset(optarg[0] - '0'), settings))
                return 1;
            break;
        }
        case opt_block: block = optarg; break;
        case opt_mmc: mmc = optarg; break;
        case opt_length: {
            uint64_t v;
            if (!parse_u64(optarg, &v) || v > UINT32_MAX)
                return fail(name, "--length '%s': an unsigned 32-bit number", optarg);
            length = uint32_t(v);
            break;
        }
        default: return usage(name);
        }
    }
    if (optind != argc || !block == !mmc) return usage(name);
    if (length && !mmc) return fail(name, "--length sets the location on an MMC image (--mmc)");

    if (settings.empty() && !length) {
        key_store store;
        std::string error;
        if (!load_key_store(block, mmc, &store, &error)) return fail(name, "%s", error.c_str());
        show(store);
        return 0;
    }
    return block ? write_block(name, block, settings) : write_mmc(name, mmc, length, settings);
}
