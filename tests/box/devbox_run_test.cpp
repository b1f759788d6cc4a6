// devbox run / start / exec / stop: the command's view, its isolation from
// the host, and the persistent box's life.
#include "core/config.h"

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <string>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string probe = device_box::built("tests/box-probe");

std::string own_pid_namespace() {
    char ns[64] = {};
    return readlink("/proc/self/ns/pid", ns, sizeof ns - 1) > 0 ? ns : "";
}

TEST(BoxRun, PassesStdioAndTheExitStatus) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.shell("cat; echo oops >&2; exit 3", "some input\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "some input\n");
    EXPECT_EQ(r.err, "oops\n");
    EXPECT_EQ(box.shell("kill -TERM $$").status, 128 + SIGTERM);
    EXPECT_EQ(box.run({"/no/such/program"}).status, 127);
}

TEST(BoxRun, CommandSeesTheBoxAsItsRoot) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.shell("hostname; echo $PATH; echo $LD_PRELOAD; ls /sys/class; "
                             "test -e /sys/kernel || echo no-kernel-sysfs; "
                             "test -e /dev/vda || echo no-host-disk; id -u; echo $$");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "tablet\n/sbin:/bin:/usr/sbin:/usr/bin:/box/bin\n/box/lib/libdevbox.so\n" +
                         std::string(basic_build ? "backlight\nleds\npower_supply\nswitch\n"
                                                 : "backlight\ngraphics\nleds\npower_supply\n"
                                                   "switch\n") +
                         "no-kernel-sysfs\nno-host-disk\n0\n2\n");
    // The product and test programs of the build tree run unchanged.
    EXPECT_EQ(box.run({probe, "rawfs-size", "tags"}).out, "4096\n");
}

TEST(BoxRun, WritesStayInTheBoxTree) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    scratch_dir host;
    write_text(host.at("marker"), "host");
    run_result r = box.shell("test -e " + host.at("marker") + " && echo visible; echo box > " +
                             "/tmp/written; mount -t tmpfs none /mnt/system && echo mounted; "
                             "grep -c /mnt/system /proc/mounts");
    EXPECT_EQ(r.out, "mounted\n1\n") << r.err;
    EXPECT_EQ(box.read("/tmp/written"), "box\n");
    EXPECT_FALSE(file_exists("/tmp/written") && read_text("/tmp/written") == "box\n");
    EXPECT_EQ(read_text("/proc/self/mounts").find(box.host_path("/mnt/system")), std::string::npos)
        << "a mount inside the box shows on the host";
    // The project tree is read-only inside.
    r = box.shell("touch " + shell_quote(std::string(VARITOOL_SOURCE_DIR) + "/box-was-here"));
    EXPECT_NE(r.status, 0);
    EXPECT_FALSE(file_exists(std::string(VARITOOL_SOURCE_DIR) + "/box-was-here"));
}

TEST(BoxRun, SemaphoresStayInTheBox) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    const std::string key = std::to_string(0x5a000000 + getpid() % 0x100000);
    EXPECT_EQ(box.shell(probe + " sem " + key + " create && " + probe + " sem " + key).out,
              "ok\nok\n");
    EXPECT_LT(semget(static_cast<key_t>(std::stol(key)), 0, 0), 0) << "semaphore leaked";
    EXPECT_EQ(errno, ENOENT);
}

TEST(BoxRun, RebootEndsOnlyTheBox) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    // The kernel ends the box's init as by SIGHUP (a restart); this process
    // goes on.
    run_result r = box.shell(probe + " reboot " + own_pid_namespace() + "; sleep 60");
    EXPECT_EQ(r.status, 128 + SIGHUP) << r.out << r.err;
    // The stand-in reboot command only logs.
    EXPECT_EQ(box.shell("reboot -f; echo $?").out, "0\n");
    EXPECT_EQ(box.log(), std::vector<std::string>{"reboot -f"});
}

TEST(BoxRun, UiClientStandInLogsItsCommandLine) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    run_result r = box.shell("/bin/zui -c progress -f 500 && /bin/zui -c message -t \"hi there\"");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.log(),
              (std::vector<std::string>{"zui -c progress -f 500", "zui -c message -t hi there"}));
}

// A host socket that would see uevents sent to the host's namespace.
struct host_listener {
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    host_listener() {
        sockaddr_nl me{};
        me.nl_family = AF_NETLINK;
        me.nl_groups = 1;
        bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me);
    }
    ~host_listener() { close(fd); }
    // True when a message containing text arrived.
    bool saw(const std::string &text) {
        char buf[8192];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) return false;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0 && std::string(buf, static_cast<size_t>(n)).find(text) != std::string::npos)
                return true;
        }
    }
};

TEST(BoxRun, UeventsReachListenersInTheBoxOnly) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    host_listener host;
    const std::string devpath = "/devices/virtual/switch/box" + std::to_string(getpid());
    run_result r =
        box.shell(probe + " uevent-listen " + devpath +
                  " 5 /tmp/ready > /tmp/events & "
                  "for i in $(seq 600); do test -e /tmp/ready && break; sleep 0.05; done; "
                  "uevent change@" +
                  devpath + " ACTION=change DEVPATH=" + devpath +
                  " SUBSYSTEM=switch SWITCH_STATE=1; wait; cat /tmp/events");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "change@" + devpath + "|ACTION=change|DEVPATH=" + devpath +
                         "|SUBSYSTEM=switch|SWITCH_STATE=1|\n");
    EXPECT_FALSE(host.saw(devpath));
    EXPECT_NE(box.run({"/box/bin/uevent", "no-at-sign"}).status, 0);
}

TEST(BoxRun, RawUeventsGoOutByteForByte) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    const std::string devpath = "/devices/virtual/misc/raw" + std::to_string(getpid());
    // No NUL after the last string, a string without '=': as given.
    const std::string message = "add@" + devpath + std::string("\0ACTION=add\0ODD\0KEY=v", 21);
    run_result r = box.shell(probe + " uevent-listen " + devpath +
                                 " 5 /tmp/ready > /tmp/events & "
                                 "for i in $(seq 600); do test -e /tmp/ready && break; sleep 0.05; "
                                 "done; /box/bin/uevent --raw; wait; cat /tmp/events",
                             message);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "add@" + devpath + "|ACTION=add|ODD|KEY=v\n");
    EXPECT_NE(box.run({"/box/bin/uevent", "--raw", "extra"}).status, 0);
}

TEST(BoxRun, PersistentBoxKeepsDaemonsBetweenCommands) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    EXPECT_NE(box.exec({"true"}).status, 0) << "exec without a running box";
    ASSERT_TRUE(box.start());
    EXPECT_FALSE(box.start()) << "a second start on a running box";
    const std::string sleeper = "sleep " + std::to_string(1000 + getpid() % 100000);
    ASSERT_TRUE(box.spawn({"/bin/sh", "-c", "echo $$ > /tmp/daemon.pid; exec " + sleeper},
                          "/tmp/daemon.out"));
    run_result r = box.exec_shell(
        "for i in $(seq 600); do test -s /tmp/daemon.pid && break; sleep 0.05; done; "
        "kill -0 $(cat /tmp/daemon.pid) && echo alive; hostname");
    EXPECT_EQ(r.out, "alive\ntablet\n");
    // Semaphores and files persist across exec.
    const std::string key = std::to_string(0x5b000000 + getpid() % 0x100000);
    EXPECT_EQ(box.exec({probe, "sem", key, "create"}).out, "ok\n");
    EXPECT_EQ(box.exec({probe, "sem", key}).out, "ok\n");
    EXPECT_EQ(box.exec_shell("cat", "to stdin").out, "to stdin");
    EXPECT_EQ(box.exec_shell("exit 7").status, 7);
    EXPECT_NE(box.run({"true"}).status, 0) << "run beside a persistent box";
    std::string state = read_text(box.host_path("/box/run/state"));
    ASSERT_NE(state, "");
    box.stop();
    EXPECT_FALSE(box.exists("/box/run/state"));
    EXPECT_NE(box.exec({"true"}).status, 0) << "exec after stop";
    EXPECT_NE(std::system(("pgrep -fx '" + sleeper + "' >/dev/null").c_str()), 0)
        << "the daemon outlived the box";
}

TEST(BoxRun, PersistentBoxEndsWithItsOwner) {
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    // An owner process that ends at once: the box must follow it.
    pid_t owner = fork();
    if (owner == 0) {
        pause();
        _exit(0);
    }
    run_result r = run_program(VARITOOL_SOURCE_DIR "/tools/devbox",
                               {"devbox", "start", "--owner", std::to_string(owner), box.root()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(box.exists("/box/run/state"));
    kill(owner, SIGKILL);
    waitpid(owner, nullptr, 0);
    for (int i = 0; i < 300 && box.exists("/box/run/state"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(box.exists("/box/run/state")) << "the box outlived its owner";
}

TEST(BoxRun, WorksWithoutPrivileges) {
    if (geteuid() != 0) GTEST_SKIP() << "runs as root to drop to an ordinary user";
    if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups unshare -U true "
                    ">/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the kernel allows no user namespaces to ordinary users";
    device_box box({}, 65534);
    ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
    struct stat st;
    ASSERT_EQ(stat(box.host_path("/dev/flashrw").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    run_result r = box.shell("id -u; grep ^Hardware /proc/cpuinfo; " + probe + " disk geo");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0\nHardware\t: OMAP4 ZEMO board\n255 63 130 0\n");
    ASSERT_TRUE(box.start());
    EXPECT_EQ(box.exec_shell("echo persistent > /tmp/p; cat /tmp/p").out, "persistent\n");
    box.stop();
}

TEST(BoxRun, SanitizerReportsReachTheCaller) {
    if (!VARITOOL_SANITIZED) GTEST_SKIP() << "needs the sanitized build";
    device_box box;
    ASSERT_EQ(box.init_result().status, 0);
    const std::string fault = device_box::built("tests/box-fault");
    run_result heap = box.run({fault, "heap"});
    EXPECT_NE(heap.status, 0);
    EXPECT_NE(heap.err.find("AddressSanitizer: heap-buffer-overflow"), std::string::npos)
        << heap.err;
    run_result overflow = box.run({fault, "overflow"});
    EXPECT_NE(overflow.status, 0);
    EXPECT_NE(overflow.err.find("runtime error: signed integer overflow"), std::string::npos)
        << overflow.err;
}

} // namespace
