// box-probe: makes one kernel call the way the product does and prints the
// answer, so that the box tests can check the stand-ins from inside a box.
// Every command prints "error ENAME" when the call fails.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <linux/input.h>
#include <linux/netlink.h>
#include <linux/reboot.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

extern "C" int init_module(void *image, unsigned long length, const char *params);
extern "C" int delete_module(const char *name, unsigned flags);

namespace {

int failed() {
    const char *name = strerrorname_np(errno);
    printf("error %s\n", name != nullptr ? name : std::to_string(errno).c_str());
    return 1;
}

unsigned long num(const char *s) {
    return strtoul(s, nullptr, 0);
}

uint32_t get32(const unsigned char *b, size_t at) {
    uint32_t v;
    memcpy(&v, b + at, 4);
    return v;
}
void put32(unsigned char *b, size_t at, uint32_t v) {
    memcpy(b + at, &v, 4);
}

std::string hex(const unsigned char *b, size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

std::vector<unsigned char> unhex(const char *s) {
    std::vector<unsigned char> out;
    for (size_t i = 0; s[i] && s[i + 1]; i += 2) {
        char byte[3] = {s[i], s[i + 1], 0};
        out.push_back(static_cast<unsigned char>(strtoul(byte, nullptr, 16)));
    }
    return out;
}

// flash REQUEST [ARG...]: one flash driver request on /dev/flashrw with a
// request buffer laid out as the product lays it out on this machine.
int flash(int argc, char **argv) {
    int fd = open("/dev/flashrw", O_RDWR);
    if (fd < 0) return failed();
    unsigned long request = num(argv[0]);
    unsigned char b[32] = {};
    std::vector<unsigned char> data;
    switch (request) {
    case 1: b[0] = 30; break;
    case 2:
        b[0] = 20;
        put32(b, 4, static_cast<uint32_t>(num(argv[1])));
        break;
    case 3:
    case 6:
        b[0] = 8;
        if (argc > 1) put32(b, 4, static_cast<uint32_t>(num(argv[1])));
        break;
    case 4:
    case 5: {
        b[0] = static_cast<unsigned char>(12 + sizeof(void *));
        put32(b, 4, static_cast<uint32_t>(num(argv[1])));
        data = request == 4 ? unhex(argv[2]) : std::vector<unsigned char>(num(argv[2]));
        put32(b, 8, static_cast<uint32_t>(data.size()));
        unsigned char *p = data.data();
        memcpy(b + 12, &p, sizeof p);
        break;
    }
    default:
        b[0] = 16;
        if (argc > 2) {
            put32(b, 4, static_cast<uint32_t>(num(argv[1])));
            put32(b, 8, static_cast<uint32_t>(num(argv[2])));
        }
    }
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "len=", 4) == 0) b[0] = static_cast<unsigned char>(num(argv[i] + 4));
    if (ioctl(fd, request, b) != 0) return failed();
    switch (request) {
    case 1: printf("%s\n", hex(b + 2, 28).c_str()); break;
    case 2: printf("%u %u %u\n", get32(b, 8), get32(b, 12), get32(b, 16)); break;
    case 3: printf("%u\n", get32(b, 4)); break;
    case 5: printf("%s\n", hex(data.data(), data.size()).c_str()); break;
    default: printf("ok\n");
    }
    return 0;
}

// ioctl PATH REQUEST [INT]: a request with an int argument (or a 256-byte
// buffer) on any file, to compare with the kernel's own answer.
int raw_ioctl(char **argv) {
    int fd = open(argv[0], O_RDONLY);
    if (fd < 0) return failed();
    unsigned char buffer[256] = {};
    int r = ioctl(fd, num(argv[1]), buffer);
    if (r < 0) return failed();
    printf("%d %s\n", r, hex(buffer, 8).c_str());
    return 0;
}

int rawfs_size(const char *area) {
    int fd = open((std::string("/mnt/rawfs/") + area).c_str(), O_RDONLY);
    int32_t size = 0;
    if (fd < 0 || ioctl(fd, 0x80046d01, &size) != 0) return failed();
    printf("%d\n", size);
    return 0;
}

int disk(const char *what) {
    int fd = open("/dev/sda", O_RDWR);
    if (fd < 0) return failed();
    if (strcmp(what, "geo") == 0) {
        hd_geometry g{};
        if (ioctl(fd, HDIO_GETGEO, &g) != 0) return failed();
        printf("%u %u %u %lu\n", g.heads, g.sectors, g.cylinders, g.start);
        return 0;
    }
    if (ioctl(fd, BLKRRPART) != 0) return failed();
    printf("ok\n");
    return 0;
}

int fb(int argc, char **argv) {
    int fd = open("/dev/fb0", O_RDWR);
    if (fd < 0) return failed();
    if (argc > 0) {
        if (ioctl(fd, FBIOBLANK, static_cast<int>(num(argv[0]))) != 0) return failed();
        printf("ok\n");
        return 0;
    }
    fb_var_screeninfo v{};
    fb_fix_screeninfo f{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0 || ioctl(fd, FBIOGET_FSCREENINFO, &f) != 0)
        return failed();
    void *map = mmap(nullptr, f.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return failed();
    munmap(map, f.smem_len);
    printf("%u %u %u %u %u\n", v.xres, v.yres, v.bits_per_pixel, f.line_length, f.smem_len);
    return 0;
}

// evname PATH [remove]: opens an input device read-only, asks its name, and
// with "remove" removes it and asks again.
int evname(int argc, char **argv) {
    int fd = open(argv[0], O_RDONLY);
    if (fd < 0) return failed();
    char name[255] = {};
    int n = ioctl(fd, EVIOCGNAME(sizeof name), name);
    if (n < 0) return failed();
    printf("%d %s\n", n, name);
    if (argc > 1) {
        unlink(argv[0]);
        if (ioctl(fd, EVIOCGNAME(sizeof name), name) < 0) return failed();
        printf("still %s\n", name);
    }
    return 0;
}

// evwait PATH SECONDS: opens an input device read-only, waits for it to
// become readable and prints how many bytes one read gave.
int evwait(char **argv) {
    int fd = open(argv[0], O_RDONLY);
    if (fd < 0) return failed();
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(num(argv[1])) * 1000);
    if (ready < 0) return failed();
    if (ready == 0) {
        printf("timeout\n");
        return 1;
    }
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) return failed();
    printf("%zd\n", n);
    return 0;
}

// dss-query CAPACITY: the display query; prints the head fields and modes.
int dss_query(const char *capacity) {
    int fd = open("/dev/dsscomp", O_RDWR);
    if (fd < 0) return failed();
    std::vector<unsigned char> b(120 + 50 * 56);
    put32(b.data(), 0, 1);
    put32(b.data(), 112, static_cast<uint32_t>(num(capacity)));
    if (ioctl(fd, 0xC0784F83, b.data()) != 0) return failed();
    uint16_t w, h;
    memcpy(&w, &b[28], 2);
    memcpy(&h, &b[30], 2);
    uint32_t count = get32(b.data(), 112);
    printf("max %u current %ux%u/%u count %u\n", get32(b.data(), 24), w, h, get32(b.data(), 32),
           count);
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char *m = &b[120 + i * 56];
        printf("%u %ux%u %u %u\n", get32(m, 4), get32(m, 8), get32(m, 12), get32(m, 16),
               get32(m, 48));
    }
    return 0;
}

int dss_setup(const char *data) {
    int fd = open("/dev/dsscomp", O_RDWR);
    if (fd < 0) return failed();
    std::vector<unsigned char> b = unhex(data);
    b.resize(60);
    if (ioctl(fd, 0x403C4F86, b.data()) != 0) return failed();
    printf("ok\n");
    return 0;
}

// insmod HOW PATH [PARAMS]: HOW is "call", "syscall" or "fd".
int insmod(int argc, char **argv) {
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) return failed();
    const char *params = argc > 2 ? argv[2] : "";
    int r;
    if (strcmp(argv[0], "fd") == 0) {
        r = static_cast<int>(syscall(SYS_finit_module, fd, params, 0));
    } else {
        struct stat st;
        fstat(fd, &st);
        std::vector<char> image(static_cast<size_t>(st.st_size));
        if (read(fd, image.data(), image.size()) != st.st_size) return failed();
        r = strcmp(argv[0], "syscall") == 0
                ? static_cast<int>(syscall(SYS_init_module, image.data(), image.size(), params))
                : init_module(image.data(), image.size(), params);
    }
    if (r != 0) return failed();
    printf("ok\n");
    return 0;
}

int rmmod(int argc, char **argv) {
    unsigned flags = argc > 1 && strcmp(argv[1], "nonblock") == 0 ? O_NONBLOCK : 0;
    if (delete_module(argv[0], flags) != 0) return failed();
    printf("ok\n");
    return 0;
}

// sem KEY: creates a System V semaphore with KEY (inside a box), or says
// whether one exists (outside).
int sem(int argc, char **argv) {
    key_t key = static_cast<key_t>(num(argv[0]));
    int id = argc > 1 ? semget(key, 1, IPC_CREAT | 0600) : semget(key, 0, 0);
    if (id < 0) return failed();
    printf("ok\n");
    return 0;
}

// uevent-listen TEXT SECONDS READYFILE: receives uevents until one contains
// TEXT (other events, such as the host kernel's in a root box, are skipped)
// or SECONDS pass, and prints that one with its NULs shown as '|'.
int uevent_listen(char **argv) {
    int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl me{};
    me.nl_family = AF_NETLINK;
    me.nl_groups = 0xFFFFFFFF;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) return failed();
    close(open(argv[2], O_WRONLY | O_CREAT, 0644));
    const std::string text = argv[0];
    int ms = static_cast<int>(num(argv[1])) * 1000;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return 1;
        char buf[8192];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::string message(buf, static_cast<size_t>(n));
        if (message.find(text) == std::string::npos) continue;
        for (char &c : message)
            if (c == '\0') c = '|';
        printf("%s\n", message.c_str());
        return 0;
    }
}

// netlink-hold FIRST COUNT READYFILE: binds uevent sockets to the port ids
// FIRST ... FIRST + COUNT - 1, creates READYFILE and waits to be killed, so
// that a program whose process id is among them cannot bind its own.
int netlink_hold(char **argv) {
    unsigned first = static_cast<unsigned>(num(argv[0])),
             count = static_cast<unsigned>(num(argv[1]));
    for (unsigned i = 0; i < count; ++i) {
        int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl me{};
        me.nl_family = AF_NETLINK;
        me.nl_pid = first + i;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) return failed();
    }
    close(open(argv[2], O_WRONLY | O_CREAT, 0644));
    for (;;) pause();
}

// watch-writes IDLE READYFILE DIR...: prints "DIR/NAME" for every file of
// the directories closed after writing, in order, until IDLE seconds pass
// without one.
int watch_writes(int argc, char **argv) {
    int fd = inotify_init1(IN_CLOEXEC);
    if (fd < 0) return failed();
    std::vector<std::string> dirs(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
        int wd = inotify_add_watch(fd, argv[i], IN_CLOSE_WRITE);
        if (wd < 0) return failed();
        if (static_cast<size_t>(wd) > dirs.size()) dirs.resize(static_cast<size_t>(wd));
        dirs[static_cast<size_t>(wd) - 1] = argv[i];
    }
    close(open(argv[1], O_WRONLY | O_CREAT, 0644));
    int ms = static_cast<int>(num(argv[0])) * 1000;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return 0;
        alignas(inotify_event) char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        for (ssize_t at = 0; at < n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(buf + at);
            printf("%s/%s\n", dirs[static_cast<size_t>(e->wd) - 1].c_str(), e->name);
            at += static_cast<ssize_t>(sizeof *e + e->len);
        }
        fflush(stdout);
    }
}

// reboot PIDNS: restarts the machine through reboot(2), but only when this
// process is not in the PID namespace PIDNS (the caller's own): inside a box
// that ends the box.
int do_reboot(const char *host_ns) {
    char ns[64] = {};
    if (readlink("/proc/self/ns/pid", ns, sizeof ns - 1) <= 0 || strcmp(ns, host_ns) == 0) {
        printf("refused: not in a box\n");
        return 2;
    }
    fflush(stdout);
    reboot(RB_AUTOBOOT);
    return failed();
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    std::string cmd = argv[1];
    int n = argc - 2;
    char **a = argv + 2;
    if (cmd == "flash" && n >= 1) return flash(n, a);
    if (cmd == "ioctl" && n == 2) return raw_ioctl(a);
    if (cmd == "rawfs-size" && n == 1) return rawfs_size(a[0]);
    if (cmd == "disk" && n == 1) return disk(a[0]);
    if (cmd == "fb") return fb(n, a);
    if (cmd == "evname" && n >= 1) return evname(n, a);
    if (cmd == "evwait" && n == 2) return evwait(a);
    if (cmd == "dss-query" && n == 1) return dss_query(a[0]);
    if (cmd == "dss-setup" && n == 1) return dss_setup(a[0]);
    if (cmd == "insmod" && n >= 2) return insmod(n, a);
    if (cmd == "rmmod" && n >= 1) return rmmod(n, a);
    if (cmd == "sem" && n >= 1) return sem(n, a);
    if (cmd == "uevent-listen" && n == 3) return uevent_listen(a);
    if (cmd == "netlink-hold" && n == 3) return netlink_hold(a);
    if (cmd == "watch-writes" && n >= 3) return watch_writes(n, a);
    if (cmd == "reboot" && n == 1) return do_reboot(a[0]);
    fprintf(stderr, "box-probe: bad command\n");
    return 2;
}
