// autodim: lower the backlight after a while without input, raise it again on
// the next input event; a second invocation stops the running daemon.
#include "core/applet.h"
#include "core/config.h"
#include "core/sysfile.h"
#include "core/unique.h"
#include "devtools/fade.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

constexpr const char autodim_pid_path[] = "/tmp/autodim.pid";
constexpr int input_device_count = 32;
constexpr const char *autodim_options = basic_build ? "p:i:a:t:ks" : "p:i:a:t:b:ks";

struct autodim_settings {
    char brightness_path[256]; // at most 255 characters of -p
    int idle = 30;
    int active = 60;
    int timeout = 20;
    int blanking = 1;
    bool kill_daemon = false;
    bool stop_daemon = false;
};

// The open input event devices.
struct input_devices {
    unique_fd fds[input_device_count];
    int count = 0;
};

volatile sig_atomic_t autodim_running;

void autodim_on_sigint(int) {
    autodim_running = 0;
}

// Opens /dev/input/event0..31 (read-only, never blocking the daemon on a
// read); returns how many opened.
int open_input_devices(input_devices &devices) {
    devices.count = 0;
    for (int i = 0; i < input_device_count; ++i) {
        char path[32];
        snprintf(path, sizeof path, "/dev/input/event%d", i);
        unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        // select can only watch descriptors below FD_SETSIZE.
        if (fd.valid() && fd.get() < FD_SETSIZE) devices.fds[devices.count++] = std::move(fd);
    }
    return devices.count;
}

void close_input_devices(input_devices &devices) {
    for (int i = 0; i < devices.count; ++i) devices.fds[i].reset();
    devices.count = 0;
}

// True while every open device still answers its name query.
bool input_devices_alive(const input_devices &devices) {
    for (int i = 0; i < devices.count; ++i) {
        char name[255];
        if (ioctl(devices.fds[i].get(), EVIOCGNAME(sizeof name), name) < 0) return false;
    }
    return true;
}

// Waits up to timeout seconds for input, draining what arrived. Returns 1 for
// input, 0 for a timeout, -1 when the wait was interrupted (SIGINT, blocked
// outside the wait, arrives only here).
int wait_for_input(const input_devices &devices, int timeout, const sigset_t &wait_mask) {
    fd_set readable;
    FD_ZERO(&readable);
    int top = -1;
    for (int i = 0; i < devices.count; ++i) {
        FD_SET(devices.fds[i].get(), &readable);
        if (devices.fds[i].get() > top) top = devices.fds[i].get();
    }
    timespec wait{timeout > 0 ? timeout : 0, 0}; // a negative timeout would fail every wait
    int ready = pselect(top + 1, &readable, nullptr, nullptr, &wait, &wait_mask);
    if (ready < 0) return -1;
    for (int i = 0; i < devices.count; ++i) {
        if (!FD_ISSET(devices.fds[i].get(), &readable)) continue;
        char events[512];
        [[maybe_unused]] ssize_t n = read(devices.fds[i].get(), events, sizeof events);
    }
    return ready > 0 ? 1 : 0;
}

// -k and -s: signal the daemon named by the pid file.
int autodim_signal(const autodim_settings &s) {
    int pid = read_int(autodim_pid_path);
    if constexpr (!basic_build) unlink(autodim_pid_path);
    // A missing or damaged pid file must never turn into kill(0) or kill(-1).
    if (pid <= 0) return 1;
    return kill(pid, s.kill_daemon ? SIGKILL : SIGINT);
}

// The daemon's loop; returns its exit status.
int autodim_daemon(const autodim_settings &s, input_devices &devices, const sigset_t &wait_mask) {
    backlight light{&backlight_device, s.brightness_path, !basic_build && s.blanking != 0};
    fade(light, s.active, false);
    while (autodim_running) {
        if constexpr (!basic_build) {
            if (!input_devices_alive(devices)) {
                close_input_devices(devices);
                if (open_input_devices(devices) == 0) return -1;
            }
        }
        int input = wait_for_input(devices, s.timeout, wait_mask);
        if (input < 0) continue;
        fade(light, input ? s.active : s.idle, true);
    }
    fade(light, 0, false);
    close_input_devices(devices);
    if constexpr (basic_build) unlink(autodim_pid_path);
    return 0;
}

int autodim_start(const autodim_settings &s) {
    if (s.brightness_path[0] == '\0') return -1;
    struct sigaction on_int {};
    on_int.sa_handler = autodim_on_sigint;
    sigemptyset(&on_int.sa_mask);
    sigaction(SIGINT, &on_int, nullptr);
    autodim_running = 1;

    input_devices devices;
    if (open_input_devices(devices) == 0) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) return 0;
    if (setsid() < 0) return -1;
    write_pid_file(autodim_pid_path);

    // SIGINT is taken only while waiting for input, so a stop that arrives
    // during a fade ends the very next wait instead of being missed.
    sigset_t interrupt, wait_mask;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_BLOCK, &interrupt, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    return autodim_daemon(s, devices, wait_mask);
}

int autodim_main(int argc, char **argv) {
    autodim_settings s{};
    optind = 1;
    for (int c; (c = getopt(argc, argv, autodim_options)) != -1;) {
        switch (c) {
        case 'p': snprintf(s.brightness_path, sizeof s.brightness_path, "%s", optarg); break;
        case 'i': s.idle = atoi(optarg); break;
        case 'a': s.active = atoi(optarg); break;
        case 't': s.timeout = atoi(optarg); break;
        case 'b': s.blanking = atoi(optarg); break;
        case 'k': s.kill_daemon = true; break;
        case 's': s.stop_daemon = true; break;
        default: return -1;
        }
    }
    if (s.kill_daemon || s.stop_daemon) return autodim_signal(s);
    return autodim_start(s);
}

} // namespace

VARITOOL_APPLET(autodim, autodim_main);
