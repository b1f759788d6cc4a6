// box-flood COUNT SEED: sends COUNT uevent messages into the box's network
// namespace for a running adev daemon: well-formed misc events interleaved
// with truncated, unterminated, oversized, random and otherwise odd messages
// and events for every filter. Messages go out in batches that fit the
// daemon's socket buffer; after each batch a misc event for /dev/sync-PID-N is
// sent (again, until the node appears), so no message is lost to a full
// buffer. Prints "sent N ok M": M well-formed misc events named ok-<i>,
// whose nodes must all exist afterwards, while no node named cut-, big- or
// bad- and no file named escape- may (fit-<i>, a message of exactly 65536
// bytes, may arrive or not). Prints "syncs N resent M" on standard error.
// Exit status 1 when the daemon stops answering.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <linux/netlink.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

int sock = -1;
std::mt19937 rng;

size_t pick(size_t n) {
    return std::uniform_int_distribution<size_t>(0, n - 1)(rng);
}

bool send_message(const std::string &m) {
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 1;
    ssize_t n = sendto(sock, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return n == static_cast<ssize_t>(m.size());
}

std::string misc_event(const std::string &name, const std::string &extra = "") {
    return "add@/devices/virtual/misc/" + name + "\0ACTION=add\0SUBSYSTEM=misc\0"s + extra +
           "MAJOR=10\0MINOR=200\0DEVNAME="s + name + '\0';
}

// What a message costs in the receiver's buffer, generously.
size_t cost_of(const std::string &m) {
    size_t size = 1024;
    while (size < m.size() + 512) size *= 2;
    return size + 512;
}

int sync_number = 0, resends = 0;

// Sends sync events until the daemon has made /dev/sync-PID-N. A sync event
// sent while an oversized message fills the buffer is lost: it is sent again,
// after waiting longer each time.
bool sync_daemon() {
    std::string name = "sync-" + std::to_string(getpid()) + "-" + std::to_string(++sync_number);
    std::string path = "/dev/" + name;
    for (int tries = 0; tries < 100; ++tries) {
        if (tries > 0) ++resends;
        send_message(misc_event(name));
        for (int i = 0; i < 20 * (tries + 1) && i < 500; ++i) {
            struct stat st;
            if (lstat(path.c_str(), &st) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return false;
}

std::string random_bytes(size_t n) {
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(pick(256));
    return s;
}

std::string random_text(size_t n, const char *alphabet) {
    std::string s(n, ' ');
    size_t k = std::char_traits<char>::length(alphabet);
    for (char &c : s) c = alphabet[pick(k)];
    return s;
}

const char *const keys[] = {"ACTION",  "DEVPATH",     "SUBSYSTEM",    "DEVNAME", "MAJOR",
                            "MINOR",   "SWITCH_NAME", "SWITCH_STATE", "DRIVER",  "SEQNUM",
                            "DEVTYPE", "ACTIONS",     "DEVPATH_OLD",  "MAJ"};
const char *const values[] = {
    "add",
    "remove",
    "change",
    "online",
    "offline",
    "block",
    "misc",
    "switch",
    "platform",
    "USB_SWITCH",
    "ATTACHED_VBUS",
    "DETACHED",
    "norvel_gadget_detect",
    "0",
    "1",
    "/devices/platform/omap/usbhs_omap/ehci-omap.0/usb1/1-1/1-1.1/block/sdq",
    "/devices/platform/omap/musb-omap2430/musb-hdrc/usb2/2-1/block/sdq/sdq1",
    "bad-x",
    "10",
    "-1",
    "99999999999",
    ""};

// A message of entries drawn from the keys and values the filters look at,
// some without '=', some with long values.
std::string shuffled_event() {
    std::string m = "change@/devices/odd\0"s;
    size_t n = pick(12);
    for (size_t i = 0; i < n; ++i) {
        std::string key = keys[pick(std::size(keys))];
        switch (pick(6)) {
        case 0: m += key; break; // no '='
        case 1: m += key + "=" + random_text(200 + pick(200), "abc/"); break;
        default: m += key + "=" + values[pick(std::size(values))]; break;
        }
        m += '\0';
    }
    if (pick(2) == 0) m.pop_back();
    return m;
}

std::string filter_event(size_t i) {
    const std::string ehci = "/devices/platform/omap/usbhs_omap/ehci-omap.0/usb1/1-1/1-1.1/block/";
    switch (pick(8)) {
    case 0: return "add@x\0ACTION=add\0SUBSYSTEM=block\0DEVPATH="s + ehci + "sdz\0"s;
    case 1: return "add@x\0ACTION=add\0SUBSYSTEM=block\0DEVPATH="s + ehci + "sdz/sdz7\0"s;
    case 2:
        return "add@x\0ACTION=add\0SUBSYSTEM=block\0DEVPATH="s + ehci + random_text(40, "ab/") +
               '\0';
    case 3:
        return "add@x\0ACTION=add\0SUBSYSTEM=block\0DEVPATH="s + ehci + random_text(300, "ab") +
               '\0';
    case 4:
        return "change@x\0ACTION=change\0SUBSYSTEM=switch\0SWITCH_NAME=USB_SWITCH\0SWITCH_STATE="s +
               (pick(2) ? "ATTACHED_VBUS" : random_text(pick(80), "ABC_ ")) + '\0';
    case 5:
        return "online@x\0ACTION="s + (pick(2) ? "online" : "offline") +
               "\0SUBSYSTEM=platform\0DRIVER=norvel_gadget_detect\0"s;
    case 6:
        return "change@x\0ACTION=change\0SUBSYSTEM=switch\0DEVPATH=/devices/virtual/switch/"
               "hdmi\0SWITCH_STATE="s +
               "012x"[pick(4)] + '\0';
    default:
        // Names that must not lead out of /dev or be cut into another name.
        return misc_event(pick(2) ? "../escape-" + std::to_string(i)
                                  : "bad-" + std::to_string(i) + random_text(260, "x"));
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    long count = strtol(argv[1], nullptr, 0);
    rng.seed(static_cast<unsigned>(strtoul(argv[2], nullptr, 0)));
    sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (sock < 0) return 2;
    int sndbuf = 1 << 20;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof sndbuf);

    const size_t budget = 64 * 1024;
    size_t queued = 0;
    long ok = 0;
    for (long i = 0; i < count; ++i) {
        std::string m;
        long ok_before = ok;
        const std::string name = std::to_string(i);
        switch (pick(10)) {
        case 0:
        case 1:
        case 2: {
            m = misc_event("ok-" + name);
            ++ok;
            break;
        }
        case 3: { // cut short anywhere, or just its last NUL
            std::string whole = misc_event("cut-" + name);
            m = pick(2) ? whole.substr(0, pick(whole.size())) : whole.substr(0, whole.size() - 1);
            break;
        }
        case 4: m = random_bytes(pick(3000)); break;
        case 5: m = shuffled_event(); break;
        case 6:
            if (pick(20) == 0) {
                // Exactly the receive buffer, or one byte more. The kernel
                // queues a message this large only on an empty socket, so
                // whether one arrives depends on timing: not counted.
                bool fits = pick(2) == 0;
                std::string sized_name = (fits ? "fit-" : "big-") + name;
                std::string head = misc_event(sized_name, "PAD=\0"s);
                std::string pad((fits ? 65536 : 65537) - head.size(), 'p');
                m = misc_event(sized_name, "PAD=" + pad + '\0');
            } else {
                m = filter_event(static_cast<size_t>(i));
            }
            break;
        default: m = filter_event(static_cast<size_t>(i)); break;
        }
        size_t cost = cost_of(m);
        if (queued + cost > budget && queued > 0) {
            if (!sync_daemon()) return 1;
            queued = 0;
        }
        // The kernel also takes the message as a request to itself, after
        // the broadcast: random bytes may make that part fail.
        if (!send_message(m) && ok != ok_before) {
            perror("box-flood: send");
            return 2;
        }
        queued += cost;
    }
    if (!sync_daemon()) return 1;
    printf("sent %ld ok %ld\n", count, ok);
    fprintf(stderr, "syncs %d resent %d\n", sync_number, resends);
    return 0;
}
