// devbox run, start, exec and stop: a box is a mount, PID, IPC, UTS and
// network namespace (and a user namespace when the caller is not root) whose
// root is the box folder. The box's init is PID 1 there; when it ends, the
// kernel ends every process of the box.
#include "box_config.h"
#include "box_tool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <map>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int setup_failed = 125;
constexpr int box_loop_count = 8;
constexpr const char *box_devices[] = {"null", "zero", "full", "random", "urandom", "tty"};

struct bind_mount {
    std::string source, target; // target: path inside the box
    bool read_only;
};

std::string run_dir(const std::string &dir) {
    return dir + "/box/run";
}
std::string state_path(const std::string &dir) {
    return run_dir(dir) + "/state";
}
std::string loops_path(const std::string &dir) {
    return run_dir(dir) + "/loops";
}

int exit_status(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return setup_failed;
}

// Reads one byte from fd (a readiness pipe); false at end of file.
bool read_byte(int fd) {
    char c = 0;
    ssize_t n;
    do n = read(fd, &c, 1);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

bool write_text(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) close(fd);
    return ok;
}

// ---- process identity: a pid with the start time it had, so that a reused
// pid is not taken for the box's init ----

struct proc_stat {
    char state = '?';
    unsigned long long start = 0;
};

bool read_proc_stat(pid_t pid, proc_stat &out) {
    std::string text;
    if (!get_file("/proc/" + std::to_string(pid) + "/stat", text)) return false;
    size_t paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 >= text.size()) return false;
    out.state = text[paren + 2];
    // Fields after the name: state is field 3, start time field 22.
    std::vector<std::string> fields = box_split(text.substr(paren + 2), ' ');
    if (fields.size() < 20) return false;
    out.start = strtoull(fields[19].c_str(), nullptr, 10);
    return true;
}

struct box_state {
    pid_t init = 0;
    unsigned long long init_start = 0;
    pid_t supervisor = 0;
};

bool read_state(const std::string &dir, box_state &s) {
    auto settings = box_read_config(state_path(dir).c_str());
    s.init = atoi(box_setting_of(settings, "init").c_str());
    s.init_start = strtoull(box_setting_of(settings, "init_start").c_str(), nullptr, 10);
    s.supervisor = atoi(box_setting_of(settings, "supervisor").c_str());
    return s.init > 0;
}

bool init_alive(const box_state &s) {
    proc_stat st;
    return s.init > 0 && read_proc_stat(s.init, st) && st.start == s.init_start && st.state != 'Z';
}

// ---- loop devices (root only): the box gets free host loop devices as its
// /dev/loop0..7, and /dev/sda1 becomes a loop device over its image ----

std::vector<std::string> free_loops(size_t n) {
    std::vector<std::string> out;
    int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    for (int i = 0; out.size() < n && i < 256; ++i) {
        std::string path = "/dev/loop" + std::to_string(i);
        if (!exists(path) && control >= 0) ioctl(control, LOOP_CTL_ADD, i);
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        loop_info64 info;
        if (ioctl(fd, LOOP_GET_STATUS64, &info) != 0 && errno == ENXIO) out.push_back(path);
        close(fd);
    }
    if (control >= 0) close(control);
    return out;
}

bool attach_loop(const std::string &device, const std::string &file) {
    int backing = open(file.c_str(), O_RDWR | O_CLOEXEC);
    int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    bool ok = false;
    if (backing >= 0 && fd >= 0) {
        loop_config config{};
        config.fd = static_cast<__u32>(backing);
        snprintf(reinterpret_cast<char *>(config.info.lo_file_name), LO_NAME_SIZE, "%s",
                 file.c_str());
        ok = ioctl(fd, LOOP_CONFIGURE, &config) == 0;
    }
    if (fd >= 0) close(fd);
    if (backing >= 0) close(backing);
    return ok;
}

// Detaches the loop devices recorded for the box in dir (those it was given
// and whatever the box attached to them), then forgets them.
void release_loops(const std::string &dir) {
    for (const box_setting &s : box_read_config(loops_path(dir).c_str())) {
        int fd = open(s.value.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        ioctl(fd, LOOP_CLR_FD, 0);
        close(fd);
    }
    unlink(loops_path(dir).c_str());
}

// Takes the loop devices of a root box whose settings ask for them, records
// them for release_loops, and returns their bind mounts.
bool take_loops(const std::string &dir, std::vector<bind_mount> &binds) {
    auto settings = box_read_config((dir + "/box/config").c_str());
    if (geteuid() != 0 || box_setting_of(settings, "loop") != "1") return true;
    std::vector<std::string> loops = free_loops(box_loop_count + 4);
    std::string sda1;
    for (auto it = loops.begin(); it != loops.end(); ++it) {
        if (attach_loop(*it, dir + "/dev/sda1")) {
            sda1 = *it;
            loops.erase(it);
            break;
        }
    }
    // Recorded at once, so that release_loops detaches it on every path.
    std::string record = sda1.empty() ? "" : "sda1=" + sda1 + "\n";
    if (!put_file(loops_path(dir), record)) return false;
    if (sda1.empty() || loops.size() < box_loop_count) {
        box_error("no free loop devices for the box");
        return false;
    }
    binds.push_back({sda1, "/dev/sda1", false});
    for (int i = 0; i < box_loop_count; ++i) {
        std::string name = "loop" + std::to_string(i);
        record += name + "=" + loops[i] + "\n";
        binds.push_back({loops[i], "/dev/" + name, false});
    }
    return put_file(loops_path(dir), record);
}

// ---- the box's root ----

// The host paths bound into the box: /usr and the library cache read-only,
// the project's tree and the caller's folders read-only, the host's null,
// zero and random devices.
std::vector<bind_mount> host_binds(const run_options &o) {
    std::vector<bind_mount> out = {{"/usr", "/usr", true},
                                   {"/etc/ld.so.cache", "/etc/ld.so.cache", true},
                                   {"/etc/alternatives", "/etc/alternatives", true}};
    for (const char *d : box_devices)
        out.push_back({std::string("/dev/") + d, std::string("/dev/") + d, false});
    std::vector<std::string> trees = o.binds;
    if (const char *root = getenv("DEVBOX_ROOT"); root != nullptr && *root != '\0')
        trees.push_back(root);
    std::vector<std::string> real;
    for (const std::string &t : trees) {
        char buf[4096];
        if (realpath(t.c_str(), buf) != nullptr && strcmp(buf, "/") != 0) real.push_back(buf);
    }
    std::sort(real.begin(), real.end());
    std::vector<std::string> kept = {"/usr"};
    for (const std::string &t : real) {
        bool inside = false;
        for (const std::string &k : kept)
            inside = inside || t == k || t.compare(0, k.size() + 1, k + "/") == 0;
        if (inside) continue;
        kept.push_back(t);
        out.push_back({t, t, true});
    }
    std::vector<bind_mount> present;
    for (const bind_mount &b : out)
        if (exists(b.source)) present.push_back(b);
    return present;
}

bool bind_into(const std::string &root, const bind_mount &b) {
    const std::string target = root + b.target;
    bool dir_source = is_dir(b.source);
    if (dir_source ? !make_dirs(target) : (!exists(target) && !put_file(target, ""))) return false;
    if (mount(b.source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        box_error("bind %s: %s", b.source.c_str(), strerror(errno));
        return false;
    }
    if (!b.read_only) return true;
    // A read-only remount must keep the flags the source mount has locked.
    struct statvfs vfs;
    unsigned long flags = MS_BIND | MS_REMOUNT | MS_RDONLY;
    if (statvfs(target.c_str(), &vfs) == 0) {
        if (vfs.f_flag & ST_NOSUID) flags |= MS_NOSUID;
        if (vfs.f_flag & ST_NODEV) flags |= MS_NODEV;
        if (vfs.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
        if (vfs.f_flag & ST_NOATIME) flags |= MS_NOATIME;
        if (vfs.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
        if (vfs.f_flag & ST_RELATIME) flags |= MS_RELATIME;
    }
    if (mount(nullptr, target.c_str(), nullptr, flags, nullptr) != 0) {
        box_error("read-only %s: %s", b.source.c_str(), strerror(errno));
        return false;
    }
    return true;
}

void loopback_up() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return;
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
        ifr.ifr_flags |= IFF_UP;
        ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    close(s);
}

// Makes dir the root of this (new) mount namespace, with the binds, a /proc
// of the box's PID namespace and the box's cpuinfo over /proc/cpuinfo.
bool enter_root(const std::string &dir, const std::vector<bind_mount> &binds) {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        box_error("mount %s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    for (const bind_mount &b : binds)
        if (!bind_into(dir, b)) return false;
    if (mount("proc", (dir + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) !=
        0) {
        box_error("mount /proc: %s", strerror(errno));
        return false;
    }
    if (!bind_into(dir, {dir + "/box/cpuinfo", "/proc/cpuinfo", true})) return false;
    sethostname("tablet", 6);
    loopback_up();
    if (chdir(dir.c_str()) != 0 || syscall(SYS_pivot_root, ".", ".") != 0 ||
        umount2(".", MNT_DETACH) != 0 || chdir("/") != 0) {
        box_error("pivot_root %s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// ---- the command ----

// The command's environment: a clean one with the box's PATH, the stand-in
// library preloaded (behind the fault library when a fault is asked for)
// and the sanitizers told to accept it.
std::vector<std::string> command_env(const run_options &o) {
    std::map<std::string, std::string> env = {
        {"PATH", "/sbin:/bin:/usr/sbin:/usr/bin:/box/bin"},
        {"HOME", "/"},
        {"LD_PRELOAD", "/box/lib/libdevbox.so"},
    };
    for (const char *name : {"TERM", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char *v = getenv(name)) env[name] = v;
    const char *asan = getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] =
        std::string("verify_asan_link_order=0") + (asan && *asan ? std::string(":") + asan : "");
    for (const std::string &e : o.env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos) env[e.substr(0, eq)] = e.substr(eq + 1);
    }
    if (!o.fault.empty()) {
        env["LD_PRELOAD"] = "/box/lib/libfault.so:" + env["LD_PRELOAD"];
        env["BOX_FAULT"] = o.fault;
    }
    std::vector<std::string> out;
    for (const auto &[k, v] : env) out.push_back(k + "=" + v);
    return out;
}

[[noreturn]] void exec_command(const run_options &o) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD}) signal(sig, SIG_DFL);
    if (chdir("/") != 0) _exit(setup_failed);
    std::vector<std::string> env = command_env(o);
    clearenv();
    for (std::string &e : env) putenv(e.data());
    std::vector<char *> argv;
    for (const std::string &a : o.command) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    fprintf(stderr, "devbox: %s: %s\n", argv[0], strerror(errno));
    _exit(errno == ENOENT ? 127 : 126);
}

// PID 1 of a box that runs one command: runs it, reaps orphans, and ends
// (taking the whole box with it) when the command ends.
int init_for_command(const run_options &o) {
    pid_t child = fork();
    if (child < 0) return setup_failed;
    if (child == 0) exec_command(o);
    for (;;) {
        int status = 0;
        pid_t p = waitpid(-1, &status, 0);
        if (p == child) return exit_status(status);
        if (p < 0 && errno != EINTR) return setup_failed;
    }
}

// PID 1 of a persistent box: reaps orphans until told to stop.
int init_persistent() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    for (;;) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig == SIGCHLD) {
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        } else if (sig > 0) {
            return 0;
        }
    }
}

bool write_id_map(const char *file, const std::string &text) {
    if (write_text(std::string("/proc/self/") + file, text)) return true;
    box_error("%s: %s", file, strerror(errno));
    return false;
}

// Creates the box's namespaces and forks its init, which sets up the root and
// then runs body. Returns the init's pid once the root is ready, or -1.
template <class Body>
pid_t launch(const std::string &dir, const std::vector<bind_mount> &binds, Body body) {
    if (geteuid() != 0) {
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER) != 0) {
            box_error("user namespace: %s (the kernel does not allow them here)", strerror(errno));
            return -1;
        }
        if (!write_id_map("setgroups", "deny") ||
            !write_id_map("uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_id_map("gid_map", "0 " + std::to_string(gid) + " 1"))
            return -1;
    }
    // The init takes a mount namespace of its own, so that its pivot_root
    // leaves this process on the host's tree.
    if (unshare(CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS | CLONE_NEWNET) != 0) {
        box_error("namespaces: %s", strerror(errno));
        return -1;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        close(ready[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (unshare(CLONE_NEWNS) != 0) {
            box_error("mount namespace: %s", strerror(errno));
            _exit(setup_failed);
        }
        if (!enter_root(dir, binds)) _exit(setup_failed);
        if (write(ready[1], "1", 1) != 1) _exit(setup_failed);
        close(ready[1]);
        _exit(body());
    }
    close(ready[1]);
    bool up = read_byte(ready[0]);
    close(ready[0]);
    if (!up) {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

// Checks dir and puts the current stand-ins (built beside this tool) into it.
bool prepare(const run_options &o) {
    if (!exists(o.dir + "/box/config")) {
        box_error("%s is not a device box (run devbox init first)", o.dir.c_str());
        return false;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    std::string tools(self, static_cast<size_t>(n));
    tools.resize(tools.rfind('/'));
    return install_file(tools + "/libdevbox.so", o.dir + "/box/lib/libdevbox.so", 0755) &&
           install_file(tools + "/libfault.so", o.dir + "/box/lib/libfault.so", 0755) &&
           install_file(tools + "/uevent", o.dir + "/box/bin/uevent", 0755);
}

volatile sig_atomic_t box_init_pid = 0;

void kill_box(int) {
    if (box_init_pid > 0) kill(box_init_pid, SIGKILL);
}

} // namespace

int box_run(const run_options &o) {
    box_state running;
    if (read_state(o.dir, running) && init_alive(running)) {
        box_error("a persistent box is running in %s: use devbox exec", o.dir.c_str());
        return setup_failed;
    }
    if (!prepare(o)) return setup_failed;
    std::vector<bind_mount> binds = host_binds(o);
    if (!take_loops(o.dir, binds)) {
        release_loops(o.dir);
        return setup_failed;
    }
    pid_t init = launch(o.dir, binds, [&] { return init_for_command(o); });
    int result = setup_failed;
    if (init > 0) {
        // The command gets the terminal's signals itself; a signal sent to
        // this tool ends the box.
        box_init_pid = init;
        signal(SIGINT, SIG_IGN);
        signal(SIGQUIT, SIG_IGN);
        signal(SIGTERM, kill_box);
        signal(SIGHUP, kill_box);
        int status = 0;
        while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
        }
        result = exit_status(status);
    }
    release_loops(o.dir);
    return result;
}

int box_start(const run_options &o) {
    box_state old;
    if (read_state(o.dir, old) && init_alive(old)) {
        box_error("a box is already running in %s", o.dir.c_str());
        return setup_failed;
    }
    if (!prepare(o)) return setup_failed;
    int notify[2];
    if (pipe2(notify, O_CLOEXEC) != 0) return setup_failed;
    fflush(nullptr);
    pid_t supervisor = fork();
    if (supervisor < 0) return setup_failed;
    if (supervisor == 0) {
        // The supervisor: owns the box's init, releases what the box held
        // when it ends, and ends it when the owner process is gone.
        close(notify[0]);
        setsid();
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        int errors = open((run_dir(o.dir) + "/errors").c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        dup2(null, 0);
        dup2(null, 1);
        dup2(errors >= 0 ? errors : null, 2);
        std::vector<bind_mount> binds = host_binds(o);
        pid_t init = -1;
        if (take_loops(o.dir, binds)) init = launch(o.dir, binds, init_persistent);
        proc_stat st;
        if (init <= 0 || !read_proc_stat(init, st) ||
            !put_file(state_path(o.dir), "init=" + std::to_string(init) +
                                             "\ninit_start=" + std::to_string(st.start) +
                                             "\nsupervisor=" + std::to_string(getpid()) + "\n")) {
            if (init > 0) kill(init, SIGKILL);
            release_loops(o.dir);
            _exit(setup_failed);
        }
        if (write(notify[1], "1", 1) != 1) kill(init, SIGKILL);
        close(notify[1]);
        for (;;) {
            if (waitpid(init, nullptr, WNOHANG) == init) break;
            if (o.owner > 0 && kill(o.owner, 0) != 0 && errno == ESRCH) kill(init, SIGKILL);
            usleep(100000);
        }
        release_loops(o.dir);
        unlink(state_path(o.dir).c_str());
        _exit(0);
    }
    close(notify[1]);
    bool up = read_byte(notify[0]);
    close(notify[0]);
    if (!up) {
        waitpid(supervisor, nullptr, 0);
        std::string errors;
        get_file(run_dir(o.dir) + "/errors", errors);
        fputs(errors.c_str(), stderr);
        box_error("the box in %s did not start", o.dir.c_str());
        return setup_failed;
    }
    return 0;
}

int box_exec(const run_options &o) {
    box_state s;
    if (!read_state(o.dir, s) || !init_alive(s)) {
        box_error("no box is running in %s (devbox start)", o.dir.c_str());
        return setup_failed;
    }
    if (!prepare(o)) return setup_failed;
    const std::string ns = "/proc/" + std::to_string(s.init) + "/ns/";
    struct stat mine, theirs;
    bool own_user = stat("/proc/self/ns/user", &mine) == 0 &&
                    stat((ns + "user").c_str(), &theirs) == 0 && mine.st_ino == theirs.st_ino;
    std::vector<int> fds;
    for (const char *name : {"user", "ipc", "uts", "net", "pid", "mnt"}) {
        if (strcmp(name, "user") == 0 && own_user) continue;
        int fd = open((ns + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            box_error("%s%s: %s", ns.c_str(), name, strerror(errno));
            return setup_failed;
        }
        fds.push_back(fd);
    }
    for (int fd : fds) {
        if (setns(fd, 0) != 0) {
            box_error("setns: %s", strerror(errno));
            return setup_failed;
        }
        close(fd);
    }
    pid_t child = fork();
    if (child < 0) return setup_failed;
    if (child == 0) exec_command(o);
    box_init_pid = 0;
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return exit_status(status);
}

int box_stop(const std::string &dir) {
    box_state s;
    if (!read_state(dir, s)) {
        box_error("no box is running in %s", dir.c_str());
        return 1;
    }
    if (init_alive(s)) kill(s.init, SIGKILL);
    // The supervisor releases the loop devices and removes the state file.
    for (int i = 0; i < 100 && exists(state_path(dir)); ++i) usleep(50000);
    if (exists(state_path(dir))) {
        if (s.supervisor > 0) kill(s.supervisor, SIGKILL);
        release_loops(dir);
        unlink(state_path(dir).c_str());
    }
    return 0;
}
