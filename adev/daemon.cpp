// Backgrounding by fork and setsid, buffered output flushed first; stopping by SIGKILL to the
// pid in the pid file, which must be a positive decimal number, then removing the file.
#include "adev/daemon.h"

#include "core/sysfile.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

int become_daemon() {
    // Nothing buffered may be written twice, by parent and child.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid != 0) return pid < 0 ? -1 : static_cast<int>(pid);
    umask(0);
    if (setsid() < 0) return -1;
    if (chdir("/") != 0) return -1;
    return 0;
}

int kill_daemon(const char *pid_file) {
    char text[24];
    int n = read_file(pid_file, text, sizeof text);
    if (n <= 0) return -1;
    // Only "<digits>" and a newline: 0 or a negative number would make kill
    // signal a whole process group or every process.
    std::string_view s(text, static_cast<size_t>(n));
    if (s.back() == '\n') s.remove_suffix(1);
    int pid = 0;
    auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), pid);
    if (err != std::errc() || end != s.data() + s.size() || pid <= 0) return -1;
    if (kill(pid, SIGKILL) != 0) return -1;
    return unlink(pid_file) == 0 ? 0 : -1;
}
