// box-engine-<configuration>: runs the update engine inside a device box with
// a callback table that prints every call, one line each ("status parsing
// unit", "progress 500 1000", "create_file /mnt/system/x", ...), and the
// result ("result 0"). Commands are separated by "+" and run in one process:
//
//   run [OPTION]... PATH         OZA_run; then "flags BOOT ADEL"
//     --min M.m.r, --sys M.m.r   what get_min_sys_version and get_sys_version give
//                                (4.0.25 and 4.0.28 by default)
//     --min-fail, --sys-fail     the version callback fails
//     --message-result N         what message returns (0)
//     --format-result N          what format returns (0)
//     --format-reopen            format closes the update file and reopens it
//                                at the same position, as a host that reformats
//     --format-copy EXTRA        the same, but the file reopened is a copy of
//                                the update file (a new file renamed over it)
//                                with EXTRA zero bytes appended
//     --mount N=PATH             a host get_mountpoint with this entry (repeatable);
//                                without it the slot stays empty
//     --missing SLOT             leaves callback SLOT empty ("table" for no table)
//     --quiet                    prints only the result
//     --bignum-held              holds the big-number work area during the run,
//                                so the signature check cannot have it
//   check-file M m r PATH        OZA_check_file
//   coldflash PATH               OZA_check_coldflash
//   truncations PATH COPY        for every size n from 0 to PATH's size: writes
//                                PATH's first n bytes to COPY and runs it quietly;
//                                prints "n result" for each
#include "crypto/bignum.h"
#include "update/engine.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using args = std::vector<std::string>;

struct settings {
    uint32_t min[3] = {4, 0, 25}, sys[3] = {4, 0, 28};
    bool min_fail = false, sys_fail = false, quiet = false, reopen = false, bignum_held = false;
    long copy_extra = -1; // --format-copy
    int message_result = 0, format_result = 0;
    std::map<uint32_t, std::string> mounts;
} set;

void line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void line(const char *format, ...) {
    if (set.quiet) return;
    va_list a;
    va_start(a, format);
    vprintf(format, a);
    va_end(a);
    putchar('\n');
}

void on_progress(int done, int total) {
    line("progress %d %d", done, total);
}
void on_status(const char *text) {
    line("status %s", text);
}
void on_trace(const char *text) {
    line("trace %s", text);
}
int on_message(const char *text) {
    line("message %s", text);
    return set.message_result;
}
void on_aux(const void *) {
    line("aux");
}
void on_removed(const char *path) {
    line("removed %s", path);
}
void on_create_file(const char *path) {
    line("create_file %s", path);
}
void on_load_hdd_param() {
    line("load_hdd_param");
}
void on_load_flash_param() {
    line("load_flash_param");
}

// Replaces the file at path by a copy of it with extra zero bytes appended.
bool replace_by_copy(const char *path, long extra) {
    const std::string copy = std::string(path) + ".copy";
    FILE *in = fopen(path, "rb");
    FILE *out = fopen(copy.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr;
    for (int c; ok && (c = fgetc(in)) != EOF;) ok = fputc(c, out) != EOF;
    for (long i = 0; ok && i < extra; ++i) ok = fputc(0, out) != EOF;
    if (in != nullptr) fclose(in);
    if (out != nullptr && fclose(out) != 0) ok = false;
    return ok && rename(copy.c_str(), path) == 0;
}

int on_format(uint32_t type, uint32_t cleanup, const char *path, int *fd) {
    line("format %u %u %s", type, cleanup, path);
    if (set.copy_extra >= 0 && !replace_by_copy(path, set.copy_extra)) line("format copy failed");
    if (set.reopen || set.copy_extra >= 0) {
        off_t at = lseek(*fd, 0, SEEK_CUR);
        close(*fd);
        *fd = open(path, O_RDONLY | O_CLOEXEC);
        if (*fd >= 0) lseek(*fd, at, SEEK_SET);
        line("format reopened %s", *fd >= 0 ? "yes" : "no");
    }
    return set.format_result;
}

int give(const uint32_t v[3], bool fail, uint32_t *major, uint32_t *minor, uint32_t *revision) {
    if (fail) return -1;
    *major = v[0];
    *minor = v[1];
    *revision = v[2];
    return 0;
}
int on_min_version(uint32_t *major, uint32_t *minor, uint32_t *revision) {
    return give(set.min, set.min_fail, major, minor, revision);
}
int on_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision) {
    return give(set.sys, set.sys_fail, major, minor, revision);
}

int on_mountpoint(uint32_t index, const char **path) {
    auto it = set.mounts.find(index);
    if (it == set.mounts.end()) return 1;
    *path = it->second.c_str();
    return 0;
}

void triple(const std::string &text, uint32_t v[3]) {
    sscanf(text.c_str(), "%u.%u.%u", &v[0], &v[1], &v[2]);
}

// Clears one slot by its name; false for an unknown name.
// Every slot filled with a callback that prints its call; get_mountpoint
// left to the engine's own table.
const oza_callbacks printing_callbacks = {
    .progress = on_progress,
    .status = on_status,
    .trace = on_trace,
    .message = on_message,
    .aux = on_aux,
    .removed = on_removed,
    .create_file = on_create_file,
    .load_hdd_param = on_load_hdd_param,
    .load_flash_param = on_load_flash_param,
    .format = on_format,
    .get_min_sys_version = on_min_version,
    .get_sys_version = on_sys_version,
    .get_mountpoint = nullptr,
};

bool clear_slot(oza_callbacks &c, const std::string &name) {
    const std::map<std::string, void **> slots = {
        {"progress", reinterpret_cast<void **>(&c.progress)},
        {"status", reinterpret_cast<void **>(&c.status)},
        {"trace", reinterpret_cast<void **>(&c.trace)},
        {"message", reinterpret_cast<void **>(&c.message)},
        {"aux", reinterpret_cast<void **>(&c.aux)},
        {"removed", reinterpret_cast<void **>(&c.removed)},
        {"create_file", reinterpret_cast<void **>(&c.create_file)},
        {"load_hdd_param", reinterpret_cast<void **>(&c.load_hdd_param)},
        {"load_flash_param", reinterpret_cast<void **>(&c.load_flash_param)},
        {"format", reinterpret_cast<void **>(&c.format)},
        {"get_min_sys_version", reinterpret_cast<void **>(&c.get_min_sys_version)},
        {"get_sys_version", reinterpret_cast<void **>(&c.get_sys_version)},
        {"get_mountpoint", reinterpret_cast<void **>(&c.get_mountpoint)},
    };
    auto it = slots.find(name);
    if (it == slots.end()) return false;
    *it->second = nullptr;
    return true;
}

int run_update(const args &a) {
    set = settings{};
    oza_callbacks table = printing_callbacks;
    bool no_table = false;
    size_t i = 1;
    for (; i + 1 < a.size(); ++i) {
        const std::string &o = a[i];
        if (o == "--min")
            triple(a.at(++i), set.min);
        else if (o == "--sys")
            triple(a.at(++i), set.sys);
        else if (o == "--min-fail")
            set.min_fail = true;
        else if (o == "--sys-fail")
            set.sys_fail = true;
        else if (o == "--message-result")
            set.message_result = atoi(a.at(++i).c_str());
        else if (o == "--format-result")
            set.format_result = atoi(a.at(++i).c_str());
        else if (o == "--format-reopen")
            set.reopen = true;
        else if (o == "--format-copy")
            set.copy_extra = atol(a.at(++i).c_str());
        else if (o == "--quiet")
            set.quiet = true;
        else if (o == "--bignum-held")
            set.bignum_held = true;
        else if (o == "--mount") {
            const std::string &m = a.at(++i);
            const size_t eq = m.find('=');
            set.mounts[uint32_t(std::stoul(m.substr(0, eq)))] = m.substr(eq + 1);
            table.get_mountpoint = on_mountpoint;
        } else if (o == "--missing") {
            const std::string &slot = a.at(++i);
            if (slot == "table")
                no_table = true;
            else if (!clear_slot(table, slot))
                return 2;
        } else
            return 2;
    }
    if (i >= a.size()) return 2;
    oza_context context = {};
    snprintf(context.path, sizeof context.path, "%s", a[i].c_str());
    if (set.bignum_held && bn_acquire() != 0) return 2;
    const int r = OZA_run(&context, no_table ? nullptr : &table);
    if (set.bignum_held) bn_release();
    printf("result %d\n", r);
    line("flags %u %u", OZA_boot_flag(), OZA_autodelete_flag());
    return 0;
}

int truncations(const args &a) {
    FILE *in = fopen(a.at(1).c_str(), "rb");
    if (in == nullptr) return 1;
    std::vector<char> bytes;
    for (int c; (c = fgetc(in)) != EOF;) bytes.push_back(static_cast<char>(c));
    fclose(in);
    set = settings{};
    set.quiet = true;
    const oza_callbacks &table = printing_callbacks;
    oza_context context = {};
    snprintf(context.path, sizeof context.path, "%s", a.at(2).c_str());
    for (size_t n = 0; n <= bytes.size(); ++n) {
        FILE *out = fopen(context.path, "wb");
        if (out == nullptr || fwrite(bytes.data(), 1, n, out) != n || fclose(out) != 0) return 1;
        printf("%zu %d\n", n, OZA_run(&context, &table));
    }
    return 0;
}

int run(const args &a) {
    if (a[0] == "run") return run_update(a);
    if (a[0] == "check-file" && a.size() == 5) {
        printf("check-file %d\n",
               OZA_check_file(uint32_t(std::stoul(a[1])), uint32_t(std::stoul(a[2])),
                              uint32_t(std::stoul(a[3])), a[4].c_str()));
        return 0;
    }
    if (a[0] == "coldflash" && a.size() == 2) {
        printf("coldflash %d\n", OZA_check_coldflash(a[1].c_str()));
        return 0;
    }
    if (a[0] == "truncations") return truncations(a);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    args command;
    for (int i = 1; i <= argc; ++i) {
        if (i < argc && strcmp(argv[i], "+") != 0) {
            command.push_back(argv[i]);
            continue;
        }
        if (command.empty()) continue;
        int r = run(command);
        if (r == 2) fprintf(stderr, "bad command %s\n", command[0].c_str());
        if (r != 0) return r;
        command.clear();
    }
    return 0;
}
