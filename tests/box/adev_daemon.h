// Test helpers for adev in a device box: the daemon started in a persistent
// box, uevents sent into it, and waiting until the daemon has handled them.
#pragma once

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The arguments of one /box/bin/uevent command: the summary and KEY=VALUE
// entries.
using uevent_args = std::vector<std::string>;

// An event with ACTION and DEVPATH entries and the given others.
inline uevent_args uevent(const std::string &action, const std::string &devpath,
                          std::vector<std::string> entries = {}) {
    uevent_args a = {action + "@" + devpath, "ACTION=" + action, "DEVPATH=" + devpath};
    a.insert(a.end(), entries.begin(), entries.end());
    return a;
}

// True once done() holds, checking every few milliseconds for up to ms.
inline bool wait_until(const std::function<bool()> &done, int ms = 30000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline std::string uevent_command(const uevent_args &a) {
    std::string c = "/box/bin/uevent";
    for (const std::string &s : a) c.append(" ").append(shell_quote(s));
    return c + "\n";
}

// Sends events into the running box, then misc events for /dev/sync-N until
// the daemon has made that node: it handles events in order, so it has
// handled the others then. False when it does not answer.
inline bool send_events(const device_box &box, const std::vector<uevent_args> &events) {
    static int syncs = 0;
    const std::string name = "sync-" + std::to_string(++syncs);
    const std::string sync =
        uevent_command(uevent("add", "/devices/virtual/misc/" + name,
                              {"SUBSYSTEM=misc", "MAJOR=10", "MINOR=201", "DEVNAME=" + name}));
    std::string script;
    for (const uevent_args &e : events) script += uevent_command(e);
    for (int tries = 0; tries < 40; ++tries) {
        if (box.exec_shell(script + sync).status != 0) return false;
        script.clear();
        if (wait_until([&] { return box.exists("/dev/" + name); }, 250)) return true;
    }
    return false;
}

// Starts a persistent box and adev -d with args in it, its output in
// /tmp/adev.out; true once the daemon handles events.
inline bool start_adev(device_box &box, const std::vector<std::string> &args = {}) {
    std::vector<std::string> argv = {device_box::executable(), "adev", "-d"};
    argv.insert(argv.end(), args.begin(), args.end());
    return box.start() && box.spawn(argv, "/tmp/adev.out") && send_events(box, {});
}

// The process id in the daemon's pid file (0 when there is none).
inline int adev_pid(const device_box &box) {
    return atoi(box.read("/tmp/adev.pid").c_str());
}

// The target of the symbolic link at a box path, "" when it is none.
inline std::string link_target(const device_box &box, const std::string &path) {
    char target[256];
    ssize_t n = readlink(box.host_path(path).c_str(), target, sizeof target);
    return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

// Skips a test that needs the host's root: the listener forces its socket
// buffer size and the misc filter makes device nodes.
#define SKIP_UNLESS_ROOT()                                                                         \
    if (geteuid() != 0) GTEST_SKIP() << "adev in a box needs root (socket buffer, device nodes)"

// The fixture of the adev and HDMI box tests: start_daemon makes a device
// box with `devbox init` options, checks it, and starts adev -d with args in
// it; the box is then daemon_box().
class adev_box_test : public ::testing::Test {
protected:
    void start_daemon(std::vector<std::string> init = {},
                      const std::vector<std::string> &args = {}) {
        box_.emplace(std::move(init));
        ASSERT_EQ(box_->init_result().status, 0);
        ASSERT_TRUE(start_adev(*box_, args));
    }
    device_box &daemon_box() { return *box_; }

private:
    std::optional<device_box> box_;
};
