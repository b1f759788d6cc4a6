// Fuzzes the update file after its signature check: the fixed chunks and the
// walk over the operation chunks with every handler. The harness signs each
// input with a development key, so that the engine accepts it, and runs
// OZA_run on it.
//
// It runs only inside a device box (README, "Fuzzing"): the engine works on
// the tablet's fixed paths (the flash device, the store lock, busybox for
// shell chunks, the key store) and files named by the input, which must
// never reach this machine. Inside the box, the mount points are folders of
// a scratch tree made afresh for each input, and the raw areas (and so the
// parameter records) are copies in memory, taken from the box's areas when
// first touched, so that one input cannot change what the next one sees.
//
// Input: one byte of options, then the file from byte 140 (right after the
// signature chunk). Options: bits 0-2 the signature slot (value % 5 + 1,
// the key keys/development/slot<N>.pem), bit 3 enciphered (the harness puts
// a cipher chunk for the box's AES key before the rest and enciphers it chunk
// by chunk, each chunk as its length field says), bit 4 the message callback
// fails, bit 5 the format callback fails, bit 6 the version callbacks fail.
#include "core/byteorder.h"
#include "flash/storage.h"
#include "fuzz/fuzz_support.h"
#include "update/engine.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char update_path[] = "/tmp/fuzz-update/u.oza";
constexpr char scratch[] = "/tmp/fuzz-update/mnt";
constexpr const char *mount_names[] = {"rawfs", "system", "data", "storage", "cache"};
constexpr size_t signed_start = 140, cipher_chunk = 28;
constexpr uint32_t cipher_marker = 784729;
constexpr unsigned char cipher_iv[16] = {0x8e, 0x5d, 0x2a, 0x41, 0x07, 0xc3, 0xf6, 0xb9,
                                         0xd1, 0xe0, 0xa2, 0x73, 0x5c, 0x48, 0xb9, 0x1f};

struct options {
    bool message_fails = false, format_fails = false, version_fails = false;
} opts;

// The mount points: scratch/<name>/.
std::string mount_paths[std::size(mount_names)];

int get_mountpoint(uint32_t index, const char **path) {
    if (index >= std::size(mount_paths)) return 1;
    *path = mount_paths[index].c_str();
    return 0;
}

void on_progress(int done, int total) {
    if (done < 0 || done > total || total != 1000) abort();
}
void on_text(const char *text) {
    if (text == nullptr || strlen(text) > 4096) abort();
}
int on_message(const char *text) {
    on_text(text);
    return opts.message_fails ? 1 : 0;
}
void on_aux(const void *) {}
void on_nothing() {}
int on_format(uint32_t, uint32_t, const char *path, int *fd) {
    on_text(path);
    if (fd == nullptr) abort();
    return opts.format_fails ? 1 : 0;
}
int on_version(uint32_t *major, uint32_t *minor, uint32_t *revision, uint32_t value) {
    if (opts.version_fails) return -1;
    *major = 4;
    *minor = 0;
    *revision = value;
    return 0;
}
int on_min_version(uint32_t *major, uint32_t *minor, uint32_t *revision) {
    return on_version(major, minor, revision, 25);
}
int on_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision) {
    return on_version(major, minor, revision, 28);
}

const oza_callbacks callbacks = {
    .progress = on_progress,
    .status = on_text,
    .trace = on_text,
    .message = on_message,
    .aux = on_aux,
    .removed = on_text,
    .create_file = on_text,
    .load_hdd_param = on_nothing,
    .load_flash_param = on_nothing,
    .format = on_format,
    .get_min_sys_version = on_min_version,
    .get_sys_version = on_sys_version,
    .get_mountpoint = get_mountpoint,
};

// Raw areas in memory: each area is copied from the box's on first touch
// and dropped after every input.
std::map<std::string, std::vector<unsigned char>> areas;

std::vector<unsigned char> *area(const char *name) {
    auto it = areas.find(name);
    if (it != areas.end()) return &it->second;
    const storage_operations &box = storage_default_operations();
    const int size = box.flash_size_max(name);
    if (size < 0) return nullptr;
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (box.flash_read(name, 0, bytes.data(), size) < 0) return nullptr;
    return &areas.emplace(name, std::move(bytes)).first->second;
}

// The part [offset, offset + length) of the area, or null when it leaves it.
unsigned char *area_part(const char *name, int32_t offset, int32_t length) {
    std::vector<unsigned char> *a = area(name);
    if (a == nullptr || offset < 0 || length < 0 || uint64_t(offset) + uint64_t(length) > a->size())
        return nullptr;
    return a->data() + offset;
}

int memory_read(const char *name, int32_t offset, void *buffer, int32_t length) {
    unsigned char *p = area_part(name, offset, length);
    if (p == nullptr) return -1;
    if (length > 0) memcpy(buffer, p, size_t(length));
    return 0;
}
int memory_write(const char *name, int32_t offset, const void *buffer, int32_t length) {
    unsigned char *p = area_part(name, offset, length);
    if (p == nullptr) return -1;
    if (length > 0) memcpy(p, buffer, size_t(length));
    return 0;
}
int memory_read_progress(const char *name, int32_t offset, void *buffer, int32_t length,
                         storage_progress progress, void *context) {
    const int r = memory_read(name, offset, buffer, length);
    if (r == 0 && progress != nullptr) progress(100, context);
    return r;
}
int memory_write_progress(const char *name, int32_t offset, const void *buffer, int32_t length,
                          storage_progress progress, void *context) {
    if (progress != nullptr) progress(0, context);
    const int r = memory_write(name, offset, buffer, length);
    if (r == 0 && progress != nullptr) progress(100, context);
    return r;
}
int memory_size(const char *name) {
    std::vector<unsigned char> *a = area(name);
    return a != nullptr ? static_cast<int>(a->size()) : -1;
}
int memory_erase(const char *name, int) {
    const unsigned char zeros[partition_erase_block] = {};
    return memory_write(name, 0, zeros, partition_erase_block);
}

// The parameter records and the key store keep the box's operations: they
// reach the areas through flash_read and flash_write, so through the table.
storage_operations memory_table() {
    storage_operations t = storage_default_operations();
    t.flash_read = memory_read;
    t.flash_write = memory_write;
    t.flash_read_with_progress = memory_read_progress;
    t.flash_write_with_progress = memory_write_progress;
    t.flash_size_max = memory_size;
    t.flash_partition_erase = memory_erase;
    return t;
}

int remove_entry(const char *path, const struct stat *, int, FTW *) {
    remove(path);
    return 0;
}

// A fresh scratch tree: the mount points and a parameter file with three
// typed records (ids 1, 2, 3: a u16, a u32, a 16-byte string).
void fresh_tree() {
    nftw(scratch, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    mkdir(scratch, 0755);
    for (const std::string &p : mount_paths) mkdir(p.c_str(), 0755);
    const std::string system = mount_paths[3] + "System";
    mkdir(system.c_str(), 0755);
    unsigned char file[4 + 6 + 8 + 20] = {};
    unsigned char *r = file + 4;
    store_le16(r, 6), store_le16(r + 2, 1), store_le16(r + 4, 7);
    store_le16(r + 6, 8), store_le16(r + 8, 2), store_le32(r + 10, 70000);
    store_le16(r + 14, 20), store_le16(r + 16, 3), memcpy(r + 18, "name", 4);
    FILE *out = fopen((system + "/System.bin").c_str(), "wb");
    if (out == nullptr || fwrite(file, 1, sizeof file, out) != sizeof file) abort();
    fclose(out);
}

// Enciphers body (the file from the first chunk after the cipher chunk)
// chunk by chunk: each chunk, from its start, as a chain of its own, as far
// as its length field reaches (whole blocks only).
void encipher(std::vector<unsigned char> &file, size_t start,
              const std::vector<unsigned char> &key) {
    for (size_t at = start; at < file.size();) {
        const uint32_t length = at + 8 <= file.size() ? load_le32(file.data() + at + 4) : 0;
        const size_t end =
            length >= 8 ? std::min<uint64_t>(at + uint64_t(length), file.size()) : file.size();
        encipher_blocks(key, cipher_iv, file.data() + at, end - at);
        at = end;
    }
}

} // namespace

// The engine calls sync after each file it writes or removes: on this
// machine that flushes every disk of the host, hundreds of times a second.
// The harness's sync does nothing.
extern "C" void sync() {}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The box's own stand-in tree, never this machine's.
    if (access("/box/config", F_OK) != 0) {
        fprintf(stderr, "fuzz_update_walk runs only inside a device box: see README, Fuzzing\n");
        exit(2);
    }
    mkdir("/tmp/fuzz-update", 0755);
    for (size_t i = 0; i < std::size(mount_names); ++i)
        mount_paths[i] = std::string(scratch) + "/" + mount_names[i] + "/";
    static const storage_operations table = memory_table();
    storage_select(&table);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<unsigned char> aes_key = development_file("aes.keyrec");
    if (size < 1) return 0;
    const uint8_t choice = data[0];
    const int slot = choice % 8 % 5 + 1;
    const bool enciphered = (choice & 8) != 0;
    opts = {(choice & 16) != 0, (choice & 32) != 0, (choice & 64) != 0};

    std::vector<unsigned char> file(signed_start, 0);
    memcpy(file.data(), "OZA2", 4);
    file[4] = 'S', file[5] = 'I', file[6] = 'G', file[7] = char('0' + slot - 1);
    store_le32(file.data() + 8, 136);
    size_t body = signed_start;
    if (enciphered) {
        file.resize(signed_start + cipher_chunk);
        unsigned char *c = file.data() + signed_start;
        memcpy(c, "CIPH", 4);
        store_le32(c + 4, cipher_chunk);
        store_le32(c + 8, cipher_marker);
        memcpy(c + 12, cipher_iv, sizeof cipher_iv);
        body += cipher_chunk;
    }
    file.insert(file.end(), data + 1, data + size);
    if (enciphered) encipher(file, body, aes_key);
    sign_update_block("slot" + std::to_string(slot) + ".pem", file.data() + signed_start,
                      file.size() - signed_start, file.data() + 12);

    fresh_tree();
    FILE *out = fopen(update_path, "wb");
    if (out == nullptr || fwrite(file.data(), 1, file.size(), out) != file.size()) abort();
    fclose(out);

    oza_context context = {};
    memcpy(context.path, update_path, sizeof update_path);
    const int r = OZA_run(&context, &callbacks);
    // Dropped here, not before the next input: an input that ends holding
    // more memory than it began with costs a leak check.
    areas.clear();
    if (r != 0 && (r < 201 || r > 283) && !(opts.message_fails || opts.format_fails)) abort();
    return 0;
}
