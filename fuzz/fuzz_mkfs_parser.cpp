// Fuzzes the mke2fs output parser. The first byte chooses the banner form
// (bit 6) and the length of a disk name (its low 6 bits) taken from the
// bytes that follow; the rest is mke2fs's output.
#include "devtools/ext3_progress.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char progress[] = "/bin/zui -c progress -f ";
const char banner_progress[] = "/bin/zui -c bannerprogress -f ";

// Every command fits its buffer, and progress stays between 0 and 1000.
int check(const char *command) {
    if (strlen(command) >= zui_command_size) abort();
    for (const char *prefix : {progress, banner_progress}) {
        size_t n = strlen(prefix);
        if (strncmp(command, prefix, n) != 0) continue;
        int value = atoi(command + n);
        if (value < 0 || value > 1000) abort();
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // "creating inodes" and "creating blocks" are of no interest here.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    bool banner = (data[0] & 0x40) != 0;
    size_t name_length = data[0] & 0x3F;
    if (name_length > size - 1) name_length = size - 1;
    std::string disk(reinterpret_cast<const char *>(data + 1), name_length);
    size_t start = 1 + name_length;
    if (start == size) return 0;

    FILE *in = fmemopen(const_cast<uint8_t *>(data + start), size - start, "r");
    if (in == nullptr) abort();
    zui_client client{check, 0};
    mkfs_parser p;
    mkfs_parser_init(p, client, banner, disk.c_str());
    mkfs_parse_stream(in, p);
    fclose(in);
    if (p.state < mkfs_waiting || p.state > mkfs_done || p.length < 0 || p.length >= mkfs_text_size)
        abort();
    return 0;
}
