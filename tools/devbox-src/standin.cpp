// The device box's stand-in library, preloaded into every command that runs in
// a box. It answers the kernel interfaces that a directory tree cannot
// provide, on the box's stand-in files only:
//   /dev/flashrw        flash driver requests 1-7 (only while module "flashrw"
//                       is loaded)
//   /mnt/rawfs/<area>   raw-area size request 0x80046d01
//   /dev/sda            HDIO_GETGEO, BLKRRPART
//   /dev/fb0            FBIOGET_VSCREENINFO, FBIOGET_FSCREENINFO, FBIOBLANK
//   /dev/input/eventN   EVIOCGNAME (fails once the FIFO is removed); read-only
//                       opens become non-blocking read-write opens
//   /dev/dsscomp        display query 0xC0784F83, display set-up 0x403C4F86
//   init_module, finit_module, delete_module (also through syscall(2))
//                       against the module list /box/modules
// Every other call goes to the kernel unchanged. Each answer is logged as one
// line in /box/log; settings come from /box/config (read on every call).
#include "box_config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <linux/input.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#define BOX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char config_path[] = "/box/config";
constexpr const char log_path[] = "/box/log";
constexpr const char modules_path[] = "/box/modules";
constexpr const char flash_path[] = "/dev/flashrw";

using syscall_fn = long (*)(long, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);

// The next definitions in the lookup order (the C library's, or a
// sanitizer's interceptors in front of it).
syscall_fn real_syscall() {
    static syscall_fn fn = reinterpret_cast<syscall_fn>(dlsym(RTLD_NEXT, "syscall"));
    return fn;
}
ioctl_fn real_ioctl() {
    static ioctl_fn fn = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return fn;
}

int sys_openat(int dirfd, const char *path, int flags, mode_t mode) {
    return static_cast<int>(real_syscall()(SYS_openat, dirfd, path, flags, mode));
}
int sys_close(int fd) {
    return static_cast<int>(real_syscall()(SYS_close, fd));
}

// Fails the call with err.
int fail(int err) {
    errno = err;
    return -1;
}

const char *error_name(int err) {
    const char *name = strerrorname_np(err);
    return name != nullptr ? name : "error";
}

// Appends one line to the box log in a single write.
__attribute__((format(printf, 1, 2))) void box_log(const char *fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (static_cast<size_t>(n) > sizeof line - 2) n = sizeof line - 2;
    line[n++] = '\n';
    int saved = errno;
    int fd = sys_openat(AT_FDCWD, log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!real_syscall()(SYS_write, fd, line, n);
        sys_close(fd);
    }
    errno = saved;
}

// Logs what and its outcome: "what" on success, "what: ENAME" on failure.
int answer(const std::string &what, int err, int result = 0) {
    if (err == 0) {
        box_log("%s", what.c_str());
        return result;
    }
    box_log("%s: %s", what.c_str(), error_name(err));
    return fail(err);
}

std::vector<box_setting> settings() {
    return box_read_config(config_path);
}

// A numeric setting, fallback when absent or malformed.
unsigned long long number_setting(const std::vector<box_setting> &s, const char *key,
                                  unsigned long long fallback) {
    unsigned long long v = 0;
    return box_parse_number(box_setting_of(s, key), v) ? v : fallback;
}

// ---- which box file a descriptor is ----

enum box_kind { kind_other, kind_flash, kind_rawfs, kind_disk, kind_fb, kind_input, kind_dsscomp };

struct box_file {
    box_kind kind = kind_other;
    std::string path; // as the box sees it
    bool removed = false;
};

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// Classifies fd by the path it was opened under. Only regular files and FIFOs
// are stand-ins; real devices bound into the box go to the kernel.
box_file classify(int fd) {
    box_file f;
    struct stat st;
    if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) return f;
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return f;
    f.path.assign(target, static_cast<size_t>(n));
    constexpr std::string_view deleted = " (deleted)";
    if (f.path.size() > deleted.size() && f.path.ends_with(deleted)) {
        f.path.resize(f.path.size() - deleted.size());
        f.removed = true;
    }
    if (st.st_nlink == 0) f.removed = true;
    if (f.path == flash_path)
        f.kind = kind_flash;
    else if (starts_with(f.path, "/mnt/rawfs/") && f.path.find('/', 11) == std::string::npos)
        f.kind = kind_rawfs;
    else if (f.path == "/dev/sda")
        f.kind = kind_disk;
    else if (f.path == "/dev/fb0")
        f.kind = kind_fb;
    else if (starts_with(f.path, "/dev/input/event") && S_ISFIFO(st.st_mode))
        f.kind = kind_input;
    else if (f.path == "/dev/dsscomp")
        f.kind = kind_dsscomp;
    return f;
}

// ---- module list ----

std::vector<std::string> loaded_modules() {
    std::vector<std::string> names;
    FILE *f = fopen(modules_path, "re");
    if (f == nullptr) return names;
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
        line[strcspn(line, " \t\r\n")] = '\0';
        if (line[0] != '\0') names.emplace_back(line);
    }
    fclose(f);
    return names;
}

bool module_loaded(const std::string &name) {
    for (const std::string &m : loaded_modules())
        if (m == name) return true;
    return false;
}

bool save_modules(const std::vector<std::string> &names) {
    FILE *f = fopen(modules_path, "we");
    if (f == nullptr) return false;
    for (const std::string &m : names) fprintf(f, "%s\n", m.c_str());
    return fclose(f) == 0;
}

// The module name a module image declares ("name=NAME" in its module
// information), or "" when it has none.
std::string module_name(const unsigned char *image, size_t n) {
    constexpr char key[] = "name=";
    const size_t k = sizeof key - 1;
    for (size_t i = 0; i + k < n; ++i) {
        if ((i != 0 && image[i - 1] != '\0') || memcmp(image + i, key, k) != 0) continue;
        size_t end = i + k;
        while (end < n && image[end] != '\0') ++end;
        if (end == n || end == i + k) continue;
        return std::string(reinterpret_cast<const char *>(image) + i + k, end - i - k);
    }
    return "";
}

int load_module(const void *image, unsigned long n, const char *params) {
    if (image == nullptr) return answer("init_module", EFAULT);
    std::string name = module_name(static_cast<const unsigned char *>(image), n);
    std::string what = "init_module " + (name.empty() ? std::string("?") : name);
    if (params != nullptr && params[0] != '\0') what += std::string(" \"") + params + "\"";
    if (name.empty()) return answer(what, ENOEXEC);
    auto s = settings();
    if (unsigned long long forced = number_setting(s, "init_module_errno", 0); forced != 0)
        return answer(what, static_cast<int>(forced));
    std::vector<std::string> names = loaded_modules();
    for (const std::string &m : names)
        if (m == name) return answer(what, EEXIST);
    names.push_back(name);
    if (!save_modules(names)) return answer(what, ENOMEM);
    return answer(what, 0);
}

int load_module_fd(int fd, const char *params) {
    struct stat st;
    if (fstat(fd, &st) != 0) return answer("finit_module", EBADF);
    std::vector<unsigned char> image(static_cast<size_t>(st.st_size));
    if (pread(fd, image.data(), image.size(), 0) != st.st_size) return answer("finit_module", EIO);
    return load_module(image.data(), image.size(), params);
}

std::string module_flags(unsigned flags) {
    if (flags == 0) return "0";
    std::string out;
    auto add = [&](unsigned bit, const char *name) {
        if (!(flags & bit)) return;
        if (!out.empty()) out += '|';
        out += name;
        flags &= ~bit;
    };
    add(O_NONBLOCK, "O_NONBLOCK");
    add(O_TRUNC, "O_TRUNC");
    if (flags != 0) {
        if (!out.empty()) out += '|';
        out += std::to_string(flags);
    }
    return out;
}

int unload_module(const char *name, unsigned flags) {
    if (name == nullptr) return answer("delete_module", EFAULT);
    std::string what = std::string("delete_module ") + name + " " + module_flags(flags);
    std::vector<std::string> names = loaded_modules();
    std::vector<std::string> rest;
    for (const std::string &m : names)
        if (m != name) rest.push_back(m);
    if (rest.size() == names.size()) return answer(what, ENOENT);
    for (const std::string &busy : box_split(box_setting_of(settings(), "modules_busy"), ','))
        if (busy == name) return answer(what, EAGAIN); // the kernel answers EWOULDBLOCK
    if (!save_modules(rest)) return answer(what, ENOMEM);
    return answer(what, 0);
}

// ---- flash driver ----

constexpr uint32_t flash_size = 4194304;
constexpr uint32_t flash_sectors = 71;
constexpr uint32_t big_sector = 65536, small_sector = 8192;
constexpr uint32_t small_start = 63 * big_sector; // 4128768
constexpr int errno_refused = 300;

uint32_t get32(const unsigned char *b, size_t at) {
    uint32_t v;
    memcpy(&v, b + at, 4);
    return v;
}
void put32(unsigned char *b, size_t at, uint32_t v) {
    memcpy(b + at, &v, 4);
}

struct sector {
    uint32_t index, start, size;
};

sector sector_at(uint32_t address) {
    if (address >= small_start)
        return {(address - small_start) / small_sector + 63, address / small_sector * small_sector,
                small_sector};
    return {address / big_sector, address / big_sector * big_sector, big_sector};
}

sector sector_number(uint32_t index) {
    if (index < 63) return {index, index * big_sector, big_sector};
    return {index, (index + 441) * small_sector, small_sector};
}

bool in_flash(uint64_t address, uint64_t length) {
    return address <= flash_size && length <= flash_size - address;
}

// True when [address, address + length) meets the write-protected range.
bool protected_range(uint64_t address, uint64_t length) {
    std::vector<unsigned long long> r;
    if (!box_parse_numbers(box_setting_of(settings(), "flash_protect"), ':', r) || r.size() != 2)
        return false;
    return length > 0 && r[1] > 0 && address < r[0] + r[1] && r[0] < address + length;
}

int erase_flash(int fd, uint32_t address, uint32_t length) {
    std::vector<unsigned char> ff(length, 0xFF);
    return pwrite(fd, ff.data(), length, address) == static_cast<ssize_t>(length) ? 0 : EIO;
}

// The buffer pointer of the read and write requests: a pointer-sized field at
// offset 12, 4 bytes wide when the length byte says the caller is 32-bit.
bool transfer_pointer(const unsigned char *b, unsigned char *&out) {
    uintptr_t p = 0;
    if (b[0] >= 12 + sizeof(void *))
        memcpy(&p, b + 12, sizeof(void *));
    else if (b[0] >= 16)
        p = get32(b, 12);
    else
        return false;
    out = reinterpret_cast<unsigned char *>(p);
    return true;
}

int flash_ioctl(int fd, unsigned long request, unsigned char *b) {
    static constexpr unsigned char need[8] = {0, 30, 20, 8, 16, 16, 8, 16};
    char what[96];
    if (b == nullptr) return answer("flashrw request " + std::to_string(request), EFAULT);
    if (b[0] < need[request]) {
        snprintf(what, sizeof what, "flashrw request %lu length %u", request, b[0]);
        return answer(what, EINVAL);
    }
    uint32_t address = get32(b, 4), length = get32(b, 8);
    switch (request) {
    case 1: { // flash information: 28 bytes at offset 2
        unsigned char info[28] = {};
        put32(info, 0, flash_size);
        put32(info, 4, flash_sectors);
        put32(info, 8, big_sector);
        put32(info, 12, 63);
        put32(info, 16, 8);
        memcpy(info + 20, "boxflash", 8);
        memcpy(b + 2, info, sizeof info);
        return answer("flashrw info", 0);
    }
    case 2: {
        snprintf(what, sizeof what, "flashrw sector-info 0x%x", address);
        if (address >= flash_size) return answer(what, EINVAL);
        sector s = sector_at(address);
        put32(b, 8, s.index);
        put32(b, 12, s.start);
        put32(b, 16, s.size);
        return answer(what, 0);
    }
    case 3: put32(b, 4, big_sector); return answer("flashrw max-sector", 0);
    case 4:
    case 5: {
        const bool write = request == 4;
        snprintf(what, sizeof what, "flashrw %s 0x%x %u", write ? "write" : "read", address,
                 length);
        unsigned char *data = nullptr;
        if (!transfer_pointer(b, data)) return answer(what, EINVAL);
        if (!in_flash(address, length)) return answer(what, EINVAL);
        if (length > 0 && data == nullptr) return answer(what, EFAULT);
        if (write && protected_range(address, length)) return answer(what, errno_refused);
        ssize_t n = write ? pwrite(fd, data, length, address) : pread(fd, data, length, address);
        return answer(what, n == static_cast<ssize_t>(length) ? 0 : n < 0 ? errno : EIO);
    }
    case 6: {
        uint32_t index = get32(b, 4);
        snprintf(what, sizeof what, "flashrw erase-sector %u", index);
        if (index >= flash_sectors) return answer(what, EINVAL);
        sector s = sector_number(index);
        if (protected_range(s.start, s.size)) return answer(what, errno_refused);
        return answer(what, erase_flash(fd, s.start, s.size));
    }
    default: { // 7: erase a range
        snprintf(what, sizeof what, "flashrw erase 0x%x %u", address, length);
        if (!in_flash(address, length)) return answer(what, EINVAL);
        if (protected_range(address, length)) return answer(what, errno_refused);
        return answer(what, erase_flash(fd, address, length));
    }
    }
}

// ---- disk, framebuffer, input, display ----

constexpr unsigned long rawfs_size_request = 0x80046d01;
constexpr unsigned long dss_query = 0xC0784F83, dss_setup = 0x403C4F86;

int rawfs_ioctl(int fd, const box_file &f, void *arg) {
    std::string what = "rawfs size " + f.path.substr(11);
    struct stat st;
    if (fstat(fd, &st) != 0) return answer(what, EIO);
    if (arg == nullptr) return answer(what, EFAULT);
    int32_t size = static_cast<int32_t>(st.st_size);
    memcpy(arg, &size, sizeof size);
    return answer(what + " " + std::to_string(size), 0);
}

// True when a partition of the disk is mounted in this box.
bool disk_in_use() {
    FILE *f = fopen("/proc/self/mounts", "re");
    if (f == nullptr) return false;
    char line[4096];
    bool used = false;
    while (!used && fgets(line, sizeof line, f) != nullptr)
        used = strncmp(line, "/dev/sda", 8) == 0;
    fclose(f);
    return used;
}

int disk_ioctl(unsigned long request, void *arg) {
    auto s = settings();
    if (request == HDIO_GETGEO) {
        std::vector<unsigned long long> g;
        if (!box_parse_numbers(box_setting_of(s, "disk_geometry", "255,63,130,0"), ',', g) ||
            g.size() != 4)
            return answer("HDIO_GETGEO /dev/sda", EIO);
        if (arg == nullptr) return answer("HDIO_GETGEO /dev/sda", EFAULT);
        hd_geometry geo{};
        geo.heads = static_cast<unsigned char>(g[0]);
        geo.sectors = static_cast<unsigned char>(g[1]);
        geo.cylinders = static_cast<unsigned short>(g[2]);
        geo.start = static_cast<unsigned long>(g[3]);
        memcpy(arg, &geo, sizeof geo);
        return answer("HDIO_GETGEO /dev/sda", 0);
    }
    // BLKRRPART: refused while a partition is mounted, as the kernel does.
    int err = static_cast<int>(number_setting(s, "blkrrpart_errno", 0));
    if (err == 0 && disk_in_use()) err = EBUSY;
    return answer("BLKRRPART /dev/sda", err);
}

int fb_ioctl(int fd, unsigned long request, void *arg) {
    auto s = settings();
    std::vector<unsigned long long> g;
    if (!box_parse_numbers(box_setting_of(s, "fb", "800,480,32"), ',', g) || g.size() < 3)
        return answer("fb settings", EIO);
    const uint32_t xres = static_cast<uint32_t>(g[0]), yres = static_cast<uint32_t>(g[1]),
                   bpp = static_cast<uint32_t>(g[2]);
    const uint32_t line = g.size() > 3 ? static_cast<uint32_t>(g[3]) : xres * bpp / 8;
    if (request == FBIOBLANK) {
        int mode = static_cast<int>(reinterpret_cast<uintptr_t>(arg));
        return answer("FBIOBLANK " + std::to_string(mode), 0);
    }
    if (arg == nullptr)
        return answer(
            request == FBIOGET_VSCREENINFO ? "FBIOGET_VSCREENINFO" : "FBIOGET_FSCREENINFO", EFAULT);
    if (request == FBIOGET_VSCREENINFO) {
        fb_var_screeninfo v{};
        v.xres = v.xres_virtual = xres;
        v.yres = v.yres_virtual = yres;
        v.bits_per_pixel = bpp;
        if (bpp == 16) {
            v.red = {11, 5, 0};
            v.green = {5, 6, 0};
            v.blue = {0, 5, 0};
        } else {
            v.red = {16, 8, 0};
            v.green = {8, 8, 0};
            v.blue = {0, 8, 0};
            v.transp = {24, 8, 0};
        }
        memcpy(arg, &v, sizeof v);
        return answer("FBIOGET_VSCREENINFO", 0);
    }
    fb_fix_screeninfo fix{};
    memcpy(fix.id, "boxfb", 5);
    struct stat st;
    fix.smem_len = fstat(fd, &st) == 0 ? static_cast<uint32_t>(st.st_size) : line * yres;
    fix.type = FB_TYPE_PACKED_PIXELS;
    fix.visual = FB_VISUAL_TRUECOLOR;
    fix.line_length = line;
    memcpy(arg, &fix, sizeof fix);
    return answer("FBIOGET_FSCREENINFO", 0);
}

int input_ioctl(const box_file &f, unsigned long request, void *arg) {
    std::string what = "EVIOCGNAME " + f.path;
    if (f.removed) return answer(what, ENODEV);
    if (arg == nullptr) return answer(what, EFAULT);
    std::string name = box_setting_of(settings(), "input_name", "box input");
    size_t room = _IOC_SIZE(request);
    size_t n = std::min(room, name.size() + 1);
    if (n > 0) {
        memcpy(arg, name.c_str(), n);
        if (n == room) static_cast<char *>(arg)[n - 1] = '\0';
    }
    return answer(what, 0, static_cast<int>(n));
}

struct hdmi_mode {
    uint32_t words[14];
};

// The modes of the "hdmi_mode" settings (refresh, width, height, pixel clock,
// video mode flags, then optionally left, right, upper, lower margins, hsync
// and vsync lengths, sync flags and flags).
std::vector<hdmi_mode> hdmi_modes(const std::vector<box_setting> &s) {
    std::vector<hdmi_mode> modes;
    for (const box_setting &e : s) {
        std::vector<unsigned long long> v;
        if (e.key != "hdmi_mode" || !box_parse_numbers(e.value, ',', v) || v.size() < 5) continue;
        hdmi_mode m{};
        // entry order: name, refresh, xres, yres, pixclock, left, right, upper,
        // lower, hsync, vsync, sync, vmode, flag
        m.words[1] = static_cast<uint32_t>(v[0]);
        m.words[2] = static_cast<uint32_t>(v[1]);
        m.words[3] = static_cast<uint32_t>(v[2]);
        m.words[4] = static_cast<uint32_t>(v[3]);
        m.words[12] = static_cast<uint32_t>(v[4]);
        for (size_t i = 5; i < v.size() && i < 13; ++i)
            m.words[i == 12 ? 13 : i] = static_cast<uint32_t>(v[i]);
        modes.push_back(m);
    }
    return modes;
}

int dsscomp_ioctl(unsigned long request, unsigned char *b) {
    auto s = settings();
    if (request == dss_setup) {
        std::string what = "dsscomp setup ";
        if (b == nullptr) return answer("dsscomp setup", EFAULT);
        static constexpr char hex[] = "0123456789abcdef";
        for (int i = 0; i < 60; ++i) {
            what += hex[b[i] >> 4];
            what += hex[b[i] & 15];
        }
        return answer(what, static_cast<int>(number_setting(s, "dsscomp_setup_errno", 0)));
    }
    if (b == nullptr) return answer("dsscomp query", EFAULT);
    if (int err = static_cast<int>(number_setting(s, "dsscomp_query_errno", 0)); err != 0)
        return answer("dsscomp query", err);
    std::vector<hdmi_mode> modes = hdmi_modes(s);
    std::vector<unsigned long long> cur;
    if (!box_parse_numbers(box_setting_of(s, "hdmi_current", "0,0,0"), ',', cur) || cur.size() != 3)
        cur = {0, 0, 0};
    put32(b, 24, static_cast<uint32_t>(number_setting(s, "hdmi_max_pixclock", 148500)));
    uint16_t w = static_cast<uint16_t>(cur[0]), h = static_cast<uint16_t>(cur[1]);
    memcpy(b + 28, &w, 2);
    memcpy(b + 30, &h, 2);
    put32(b, 32, static_cast<uint32_t>(cur[2]));
    uint32_t count = std::min<uint32_t>(get32(b, 112), static_cast<uint32_t>(modes.size()));
    for (uint32_t i = 0; i < count; ++i) memcpy(b + 120 + i * 56, modes[i].words, 56);
    put32(b, 112, count);
    return answer("dsscomp query " + std::to_string(count), 0);
}

// The stand-in's answer for fd, or false when the kernel should answer.
bool box_ioctl(int fd, unsigned long request, void *arg, int &result) {
    box_file f = classify(fd);
    switch (f.kind) {
    case kind_flash:
        if (request < 1 || request > 7) return false;
        result = flash_ioctl(fd, request, static_cast<unsigned char *>(arg));
        return true;
    case kind_rawfs:
        if (request != rawfs_size_request) return false;
        result = rawfs_ioctl(fd, f, arg);
        return true;
    case kind_disk:
        if (request != HDIO_GETGEO && request != BLKRRPART) return false;
        result = disk_ioctl(request, arg);
        return true;
    case kind_fb:
        if (request != FBIOGET_VSCREENINFO && request != FBIOGET_FSCREENINFO &&
            request != FBIOBLANK)
            return false;
        result = fb_ioctl(fd, request, arg);
        return true;
    case kind_input:
        if ((request & ~(static_cast<unsigned long>(_IOC_SIZEMASK) << _IOC_SIZESHIFT)) !=
            EVIOCGNAME(0))
            return false;
        result = input_ioctl(f, request, arg);
        return true;
    case kind_dsscomp:
        if (request != dss_query && request != dss_setup) return false;
        result = dsscomp_ioctl(request, static_cast<unsigned char *>(arg));
        return true;
    default: return false;
    }
}

// ---- opening ----

bool same_file(const struct stat &a, const char *path) {
    struct stat b;
    return stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens path as the kernel would, except that a read-only open of a box input
// FIFO becomes a non-blocking read-write open (so it neither waits for a
// writer nor sees end-of-file when the writer goes), and the flash device
// does not open while its module is not loaded.
int box_open(int dirfd, const char *path, int flags, mode_t mode) {
    struct stat st;
    if (path != nullptr && fstatat(dirfd, path, &st, 0) == 0) {
        if (S_ISFIFO(st.st_mode) && (flags & O_ACCMODE) == O_RDONLY &&
            (path[0] == '/' || dirfd == AT_FDCWD)) {
            char *real = realpath(path, nullptr);
            bool input = real != nullptr && strncmp(real, "/dev/input/event", 16) == 0;
            free(real);
            if (input) flags = (flags & ~O_ACCMODE) | O_RDWR | O_NONBLOCK;
        } else if (S_ISREG(st.st_mode) && same_file(st, flash_path) && !module_loaded("flashrw")) {
            return fail(ENXIO);
        }
    }
    return sys_openat(dirfd, path, flags, mode);
}

mode_t mode_argument(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

} // namespace

BOX_EXPORT int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return box_open(AT_FDCWD, path, flags, mode);
}

// The large-file names are the same calls on this machine's ABI.
BOX_EXPORT int open64(const char *path, int flags, ...) __attribute__((alias("open")));

BOX_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_argument(flags, ap);
    va_end(ap);
    return box_open(dirfd, path, flags, mode);
}

BOX_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
    __attribute__((alias("openat")));

// The checked forms that _FORTIFY_SOURCE builds call.
BOX_EXPORT int __open_2(const char *path, int flags) {
    return box_open(AT_FDCWD, path, flags, 0);
}
BOX_EXPORT int __open64_2(const char *path, int flags) __attribute__((alias("__open_2")));
BOX_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return box_open(dirfd, path, flags, 0);
}
BOX_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
    __attribute__((alias("__openat_2")));

BOX_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int result = 0;
    if (box_ioctl(fd, request, arg, result)) return result;
    return real_ioctl()(fd, request, arg);
}

BOX_EXPORT int init_module(void *image, unsigned long length, const char *params) {
    return load_module(image, length, params);
}

BOX_EXPORT int finit_module(int fd, const char *params, int) {
    return load_module_fd(fd, params);
}

BOX_EXPORT int delete_module(const char *name, unsigned flags) {
    return unload_module(name, flags);
}

BOX_EXPORT long syscall(long number, ...) noexcept {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &v : a) v = va_arg(ap, long);
    va_end(ap);
    switch (number) {
    case SYS_init_module:
        return load_module(reinterpret_cast<void *>(a[0]), static_cast<unsigned long>(a[1]),
                           reinterpret_cast<const char *>(a[2]));
    case SYS_finit_module:
        return load_module_fd(static_cast<int>(a[0]), reinterpret_cast<const char *>(a[1]));
    case SYS_delete_module:
        return unload_module(reinterpret_cast<const char *>(a[0]), static_cast<unsigned>(a[1]));
    default: return real_syscall()(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
}
