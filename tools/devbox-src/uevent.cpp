// uevent: sends one kernel-format uevent message to the netlink uevent
// multicast group 1 of the caller's network namespace, as the kernel does
// when a device changes:
//   uevent ACTION@DEVPATH [KEY=VALUE]...
// The message is the summary "ACTION@DEVPATH" followed by the KEY=VALUE
// strings, each terminated by a NUL byte. ACTION and DEVPATH entries are not
// added: give them as KEY=VALUE arguments like every other key.
//   uevent --raw
// sends standard input as it is, as one message (any bytes, any length the
// socket takes): for messages the kernel would never send.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/netlink.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool read_all(int fd, std::string &to) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        to.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

int main(int argc, char **argv) {
    const bool raw = argc == 2 && strcmp(argv[1], "--raw") == 0;
    if (!raw && (argc < 2 || strchr(argv[1], '@') == nullptr)) {
        fprintf(stderr, "usage: %s ACTION@DEVPATH [KEY=VALUE]...\n       %s --raw < MESSAGE\n",
                argv[0], argv[0]);
        return 2;
    }
    std::string message;
    if (raw && !read_all(0, message)) {
        fprintf(stderr, "%s: read: %s\n", argv[0], strerror(errno));
        return 1;
    }
    for (int i = 1; i < argc && !raw; ++i) {
        if (i > 1 && strchr(argv[i], '=') == nullptr) {
            fprintf(stderr, "%s: '%s' is not KEY=VALUE\n", argv[0], argv[i]);
            return 2;
        }
        message.append(argv[i]);
        message.push_back('\0');
    }
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        fprintf(stderr, "%s: socket: %s\n", argv[0], strerror(errno));
        return 1;
    }
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 1;
    ssize_t n =
        sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    int err = errno;
    close(fd);
    if (n != static_cast<ssize_t>(message.size())) {
        fprintf(stderr, "%s: send: %s\n", argv[0], n < 0 ? strerror(err) : "short send");
        return 1;
    }
    return 0;
}
