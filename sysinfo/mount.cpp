// Mounting by the static table's entry: option words to flags and data, a loop device from the
// first of eight that is not mounted, a read-only retry for a write-protected device, and each
// type the kernel lists for "auto". Unmounting a loop device's mount point releases it.
#include "sysinfo/mount.h"

#include "core/hostops.h"
#include "core/unique.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

static_assert(sizeof(loop_info64) == 232);
static_assert(offsetof(loop_info64, lo_file_name) == 56);
static_assert(MS_RDONLY == 0x1 && MS_NOSUID == 0x2 && MS_NODEV == 0x4 && MS_NOEXEC == 0x8 &&
              MS_SYNCHRONOUS == 0x10 && MS_REMOUNT == 0x20 && MS_NOATIME == 0x400 &&
              MS_NODIRATIME == 0x800 && MS_BIND == 0x1000);

// An option word that sets or clears mount flags.
struct option_word {
    const char *word;
    unsigned long set, clear;
};

constexpr option_word option_words[] = {
    {"defaults", 0, 0},
    {"noauto", 0, 0},
    {"async", 0, MS_SYNCHRONOUS},
    {"sync", MS_SYNCHRONOUS, 0},
    {"atime", 0, MS_NOATIME},
    {"noatime", MS_NOATIME, 0},
    {"dev", 0, MS_NODEV},
    {"nodev", MS_NODEV, 0},
    {"diratime", 0, MS_NODIRATIME},
    {"nodiratime", MS_NODIRATIME, 0},
    {"exec", 0, MS_NOEXEC},
    {"noexec", MS_NOEXEC, 0},
    {"suid", 0, MS_NOSUID},
    {"nosuid", MS_NOSUID, 0},
    {"rw", 0, MS_RDONLY},
    {"ro", MS_RDONLY, 0},
    {"bind", MS_BIND, 0},
    {"remount", MS_REMOUNT, 0},
};

constexpr int loop_device_count = 8;

// Applies one option word (already cut to option_word_max characters).
void apply_option_word(const char *word, mount_options &out) {
    if (strcmp(word, "loop") == 0) {
        out.loop = true;
        return;
    }
    for (const option_word &o : option_words) {
        if (strcmp(word, o.word) != 0) continue;
        out.flags = (out.flags & ~o.clear) | o.set;
        return;
    }
    size_t used = strlen(out.data);
    size_t left = sizeof out.data - used;
    size_t len = strlen(word);
    if (len + 2 >= left) {
        host().print("No space left for option %s\n\r", word);
        return;
    }
    if (used > 0) out.data[used++] = ',';
    memcpy(out.data + used, word, len + 1);
}

// Whether the kernel reports the block device at path as read-only.
bool is_read_only_block_device(const char *path) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    int ro = 0;
    return ioctl(fd.get(), BLKROGET, &ro) == 0 && ro != 0;
}

const char *loop_device_prefix() {
    return access("/dev/loop0", F_OK) == 0 ? "/dev/loop" : "/dev/block/loop";
}

bool is_loop_device(const char *device) {
    return strncmp(device, "/dev/loop", 9) == 0 || strncmp(device, "/dev/block/loop", 15) == 0;
}

// Mounts device with every type of the kernel's list in turn until one
// succeeds; the last attempt's result (-1 when none was made).
int probe_and_mount(const char *device, const char *mount_point, unsigned long flags,
                    const char *data, const mount_tables &tables) {
    unique_file list(fopen(tables.filesystems, "re"));
    if (!list) {
        host().print("fopen %s: %s\n\r", tables.filesystems, strerror(errno));
        return -1;
    }
    int result = -1;
    char type[32];
    while (next_probe_type(list.get(), type)) {
        host().print("\ttrying fs type %s\n\r", type);
        result = mount_with_ro_retry(device, mount_point, type, flags, data);
        if (result == 0) break;
    }
    return result;
}

} // namespace

void parse_mount_options(const char *words, mount_options &out) {
    out.flags = 0;
    out.data[0] = '\0';
    out.loop = false;
    if (words == nullptr) return;
    const char *p = words;
    while (*p != '\0') {
        size_t len = strcspn(p, ",");
        if (len > 0) {
            char word[option_word_max + 1];
            size_t kept = len < sizeof word - 1 ? len : sizeof word - 1;
            memcpy(word, p, kept);
            word[kept] = '\0';
            apply_option_word(word, out);
        }
        p += len;
        if (*p == ',') ++p;
    }
}

void normalise_mount_point(const char *path, char (&out)[256]) {
    size_t len = strnlen(path, sizeof out - 1);
    memcpy(out, path, len);
    // "/" itself stays the root.
    if (len > 1 && out[len - 1] == '/') --len;
    out[len] = '\0';
}

int find_fstab_entry(const char *path, fstab_entry &out, const mount_tables &tables) {
    char wanted[256];
    normalise_mount_point(path, wanted);
    unique_file table(setmntent(tables.fstab, "r"));
    if (!table) {
        host().print("Could not setmntent()\n\r");
        return mount_failed;
    }
    while (getmntent_r(table.get(), &out.fields, out.text, sizeof out.text) != nullptr)
        if (strcmp(out.fields.mnt_dir, wanted) == 0) return mount_ok;
    host().print("%s is not a known mount point\n\r", path);
    return mount_not_listed;
}

int mount_mount_point(const char *path, const mount_tables &tables) {
    fstab_entry entry;
    int r = find_fstab_entry(path, entry, tables);
    if (r != 0) return r;
    return mount_entry(entry.fields, tables);
}

int mount_entry(const mntent &entry, const mount_tables &tables) {
    mount_options options;
    parse_mount_options(entry.mnt_opts, options);

    const char *device = entry.mnt_fsname;
    char loop_device[64];
    if (options.loop) {
        if (setup_loop_device(entry.mnt_fsname, loop_device, tables) != 0) return -1;
        options.flags |= MS_RDONLY;
        device = loop_device;
    }

    int result;
    if (strcmp(entry.mnt_type, "auto") != 0)
        result =
            mount_with_ro_retry(device, entry.mnt_dir, entry.mnt_type, options.flags, options.data);
    else
        result = probe_and_mount(device, entry.mnt_dir, options.flags, options.data, tables);

    if (options.loop && result != 0) release_loop_device(loop_device);
    return result;
}

int mount_with_ro_retry(const char *device, const char *mount_point, const char *type,
                        unsigned long flags, const char *data) {
    if (mount(device, mount_point, type, flags, data) == 0) return 0;
    int err = errno;
    // The kernel refuses a read-write mount of a write-protected block device
    // with EACCES; some file systems answer EROFS.
    if (err == EROFS ||
        (err == EACCES && (flags & MS_RDONLY) == 0 && is_read_only_block_device(device))) {
        host().print("%s is a read-only file system, reattempting to mount read-only\n\r", device);
        flags |= MS_RDONLY;
        if (mount(device, mount_point, type, flags, data) == 0) return 0;
        host().print("mount read-only %s on %s type=%s flags=%u: %s\n\r", device, mount_point, type,
                     static_cast<unsigned>(flags), strerror(errno));
        return -1;
    }
    host().print("mount %s on %s type=%s flags=%u: %s\n\r", device, mount_point, type,
                 static_cast<unsigned>(flags), strerror(err));
    return -1;
}

bool next_probe_type(FILE *list, char (&type)[32]) {
    char line[256];
    while (fgets(line, sizeof line, list) != nullptr) {
        if (strncmp(line, "nodev", 5) == 0) continue;
        if (sscanf(line, "%31s", type) == 1) return true;
    }
    return false;
}

void loop_status_record(const char *image, loop_info64 &out) {
    memset(&out, 0, sizeof out);
    size_t len = strnlen(image, sizeof out.lo_file_name - 1);
    memcpy(out.lo_file_name, image, len);
}

int loop_number_mounted(int n, const mount_tables &tables) {
    unique_file mounts(setmntent(tables.mounts, "r"));
    if (!mounts) {
        host().print("Could not setmntent()\n\r");
        return -1;
    }
    char name[16];
    snprintf(name, sizeof name, "loop%d", n);
    mntent fields;
    char text[4096];
    while (getmntent_r(mounts.get(), &fields, text, sizeof text) != nullptr)
        if (strstr(fields.mnt_fsname, name) != nullptr) return 1;
    return 0;
}

namespace {

// A loop device attached to its file, detached again unless kept: a set-up
// that fails half-way leaves no device attached.
class loop_attachment {
public:
    explicit loop_attachment(int loop) : loop_(loop) {}
    loop_attachment(const loop_attachment &) = delete;
    loop_attachment &operator=(const loop_attachment &) = delete;
    ~loop_attachment() { detach(); }
    void keep() { loop_ = -1; }
    void detach() {
        if (loop_ >= 0) ioctl(loop_, LOOP_CLR_FD, 0);
        loop_ = -1;
    }

private:
    int loop_;
};

} // namespace

int setup_loop_device(const char *image, char (&device)[64], const mount_tables &tables) {
    for (int n = 0; n < loop_device_count; ++n) {
        if (loop_number_mounted(n, tables) != 0) continue;
        snprintf(device, sizeof device, "%s%d", loop_device_prefix(), n);

        unique_fd file(open(image, O_RDONLY | O_CLOEXEC));
        if (!file.valid()) {
            host().print("open %s: %s\n\r", image, strerror(errno));
            return -1;
        }
        unique_fd loop(open(device, O_RDONLY | O_CLOEXEC));
        if (!loop.valid()) {
            host().print("open %s: %s\n\r", device, strerror(errno));
            return -1;
        }
        if (ioctl(loop.get(), LOOP_SET_FD, file.get()) != 0) {
            // Attached by someone who has not mounted it: try the next one.
            if (errno == EBUSY) continue;
            host().print("ioctl LOOP_SET_FD: %s\n\r", strerror(errno));
            host().print("Could not setup %s for %s\n\r", device, image);
            return -1;
        }
        loop_attachment attached(loop.get());
        loop_info64 status;
        loop_status_record(image, status);
        if (ioctl(loop.get(), LOOP_SET_STATUS64, &status) != 0) {
            host().print("ioctl LOOP_SET_STATUS: %s\n\r", strerror(errno));
            attached.detach();
            host().print("Could not setup %s for %s\n\r", device, image);
            return -1;
        }
        attached.keep();
        return 0;
    }
    host().print("no loop device available\n");
    return -1;
}

int release_loop_device(const char *path) {
    unique_fd loop(open(path, O_RDONLY | O_CLOEXEC));
    if (!loop.valid()) {
        host().print("open %s: %s\n\r", path, strerror(errno));
        return mount_failed;
    }
    if (ioctl(loop.get(), LOOP_CLR_FD, 0) != 0) {
        host().print("ioctl LOOP_CLR_FD: %s\n\r", strerror(errno));
        return mount_release_failed;
    }
    return mount_ok;
}

int umount_mount_point(const char *path, const mount_tables &tables) {
    char wanted[256];
    normalise_mount_point(path, wanted);
    unique_file mounts(setmntent(tables.mounts, "r"));
    if (!mounts) {
        host().print("Could not setmntent()\n\r");
        return mount_failed;
    }
    // The last line for the mount point is the mount on top, the one that
    // unmounting removes.
    fstab_entry line;
    char device[sizeof line.text] = {};
    bool found = false;
    while (getmntent_r(mounts.get(), &line.fields, line.text, sizeof line.text) != nullptr) {
        if (strcmp(line.fields.mnt_dir, wanted) != 0) continue;
        found = true;
        size_t len = strnlen(line.fields.mnt_fsname, sizeof device - 1);
        memcpy(device, line.fields.mnt_fsname, len);
        device[len] = '\0';
    }
    mounts.reset();
    if (!found) {
        host().print("%s is not an actual mount point\n\r", path);
        return mount_not_mounted;
    }
    if (umount(path) != 0) {
        host().print("umount %s: %s\n\r", path, strerror(errno));
        return mount_unmount_failed;
    }
    if (is_loop_device(device)) release_loop_device(device);
    return mount_ok;
}
