// Fuzzes the static mount table as the mount utilities read it: the lines
// of the table, the lookup of a mount point, and the option words of the
// entry found (flags, file-system data, loop), plus the file-system list
// read when a type is probed. The input is the table; the first line that
// has a mount point is also looked up by that mount point.
#include "core/hostops.h"
#include "fuzz/fuzz_support.h"
#include "sysinfo/mount.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int quiet(const char *, ...) {
    return 0;
}

void check_options(const char *words) {
    mount_options out;
    memset(&out, 'x', sizeof out);
    parse_mount_options(words, out);
    // The data is a terminated text inside its buffer.
    if (strnlen(out.data, sizeof out.data) == sizeof out.data) abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    host_operations ops{};
    ops.print = quiet;
    register_host_operations(&ops);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    check_options(text.c_str());

    const char *path = memory_file("fstab", data, size);
    const mount_tables tables{path, "/nonexistent/mounts", "/nonexistent/filesystems"};
    for (const char *point : {"/mnt/data", "/mnt/storage", "/", ""}) {
        fstab_entry entry;
        if (find_fstab_entry(point, entry, tables) == 0) check_options(entry.fields.mnt_opts);
    }
    // Every line the table reader accepts, looked up by its own mount point.
    FILE *table = setmntent(path, "r");
    if (table == nullptr) abort();
    mntent fields;
    static char buffer[4096];
    for (int n = 0; n < 8 && getmntent_r(table, &fields, buffer, sizeof buffer) != nullptr; ++n) {
        char point[256];
        snprintf(point, sizeof point, "%s", fields.mnt_dir);
        fstab_entry entry;
        if (find_fstab_entry(point, entry, tables) == 0) check_options(entry.fields.mnt_opts);
    }
    endmntent(table);

    // The same bytes as the kernel's file-system list.
    FILE *list = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (list == nullptr) return 0; // fmemopen refuses an empty buffer
    char type[32];
    for (int n = 0; n < 4096 && next_probe_type(list, type); ++n)
        if (strnlen(type, sizeof type) == sizeof type) abort();
    fclose(list);
    return 0;
}
