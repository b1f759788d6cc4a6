// From type 2 on, the update file is copied aside (/bin/cp, then flushed) before the disk is
// touched and copied back afterwards, reopened at its position. Type 3 rewrites the partition
// table, 2 and 3 format the data partition, 1 to 3 recreate its directories.
#include "install/format_utility.h"

#include "core/durable.h"
#include "core/hostops.h"
#include "core/shell_word.h"
#include "sysinfo/disk.h"
#include "sysinfo/mount.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *plan_text(uint32_t type) {
    switch (type) {
    case 1: return "create";
    case 2: return "format, create";
    case 3: return "mbr, format, create";
    default: return "not format";
    }
}

// Copies from to to with /bin/cp through the shell, then flushes the copy
// and its folder: true when all of it succeeded, so that the original may go.
bool copy_file(const char *from, const char *to) {
    char command[2048];
    if (!copy_command(from, to, command, sizeof command) || host().system(command) != 0)
        return false;
    const int fd = open(to, O_RDONLY | O_CLOEXEC);
    return fd >= 0 && flush_and_close(fd) == 0 && flush_parent(to) == 0;
}

// Type 3: the partition table, with the system partition unmounted meanwhile.
int rewrite_partition_table() {
    if (umount_mount_point(system_mount_point) != 0 || write_partition_table() != 0 ||
        mount_mount_point(system_mount_point) != 0) {
        mount_mount_point(system_mount_point);
        return format_table_failed;
    }
    return 0;
}

// Steps 3 to 1 of the format for type: the partition table, the data
// partition, the media directories.
int rebuild_media(uint32_t type) {
    if (type == 3) {
        int r = rewrite_partition_table();
        if (r != 0) return r;
    }
    if (type >= 2 && format_media_partition() != 0) return format_media_failed;
    if (create_root_fs_directories() != 0) return format_dirs_failed;
    return 0;
}

} // namespace

bool copy_command(const char *from, const char *to, char *out, size_t n) {
    command_line line{out, n};
    // An operand that starts with '-' would be read as an option.
    const bool options_end = from[0] == '-' || to[0] == '-';
    return command_start(line, options_end ? "/bin/cp -- " : "/bin/cp ") &&
           command_append_word(line, from, shell_quoting::when_needed) &&
           command_append(line, " ") && command_append_word(line, to, shell_quoting::when_needed);
}

int format_utility(uint32_t type, uint32_t cleanup, const char *update_path, int *update_fd) {
    const host_operations &h = host();
    const char *staged = disk_files.staged_update;
    h.print(" * format_utiliy will %s and will %s\n\r", plan_text(type),
            cleanup ? "cleanup" : "not cleanup");

    if (type == 1) {
        if (create_root_fs_directories() != 0) return format_dirs_failed;
    } else if (type >= 2) {
        const off_t position = h.tell(*update_fd);
        if (!copy_file(update_path, staged)) {
            h.print("ERR could not copy OZA from %s to %s\n\r", update_path, staged);
            return format_copy_failed;
        }
        h.close(*update_fd);
        *update_fd = -1;
        if (type <= 3) {
            int r = rebuild_media(type);
            if (r != 0) return r;
        }
        if (!copy_file(staged, update_path)) {
            h.print("ERR could not copy back OZA from %s to %s\n\r", staged, update_path);
            return format_copy_failed;
        }
        if (unlink(staged) != 0) h.print("ERR unlink %s: %s\n\r", staged, strerror(errno));
        *update_fd = h.open(update_path, O_RDONLY | O_CLOEXEC, 0);
        if (*update_fd < 0) {
            h.print("ERR open %s: %s\n\r", update_path, strerror(errno));
            *update_fd = -1;
            return format_reopen_failed;
        }
        h.seek(*update_fd, position, SEEK_SET);
    }
    if (cleanup) cleanup_system_fs();
    return 0;
}
