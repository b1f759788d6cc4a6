// sysinfo-driver: runs one system-information function, named on the command
// line, with the product's fixed paths, for tests that run inside the device
// box. The function's messages go to standard error as in the program; its
// result is printed on standard output as "result=<n>" (with any value it
// returns through an out parameter), and the exit status is 0 when the
// result is 0, else 1.
#include "core/hostops.h"
#include "install/format_utility.h"
#include "sysinfo/board.h"
#include "sysinfo/disk.h"
#include "sysinfo/mount.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

int report(int result) {
    printf("result=%d\n", result);
    return result == 0 ? 0 : 1;
}

int run_board(char **) {
    int result = identify_board();
    printf("product_name=%s\nmanufacturer=%s\noza_filename=%s\nmedia_partitionlabel=%s\n"
           "revision=%d\n",
           board_product_name(), board_manufacturer(), board_oza_filename(),
           board_media_partitionlabel(), read_board_revision());
    return report(result);
}

int run_mount(char **args) {
    return report(mount_mount_point(args[0]));
}
int run_umount(char **args) {
    return report(umount_mount_point(args[0]));
}
int run_release(char **args) {
    return report(release_loop_device(args[0]));
}
int run_mount_ro_retry(char **args) {
    unsigned long flags = strtoul(args[3], nullptr, 0);
    return report(mount_with_ro_retry(args[0], args[1], args[2], flags, args[4]));
}
int run_start_sector(char **) {
    uint64_t start = 0;
    int result = system_fs_start_sector(&start);
    printf("start=%llu\n", static_cast<unsigned long long>(start));
    return report(result);
}
int run_write_table(char **) {
    return report(write_partition_table());
}
int run_format(char **) {
    return report(format_media_partition());
}
int run_directories(char **) {
    return report(create_root_fs_directories());
}
int run_cleanup(char **) {
    return report(cleanup_system_fs());
}

// format_utility TYPE CLEANUP PATH OFFSET: opens PATH, moves to OFFSET and
// hands the descriptor to the format utility; prints where the descriptor it
// gave back stands and whether it is the file opening handed in ("same"),
// another one ("new") or none.
int run_format_utility(char **args) {
    int fd = open(args[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0 || lseek(fd, strtol(args[3], nullptr, 0), SEEK_SET) < 0) return report(-100);
    const int kept = dup(fd); // shares the position of the opening handed in
    int result = format_utility(static_cast<uint32_t>(strtoul(args[0], nullptr, 0)),
                                static_cast<uint32_t>(strtoul(args[1], nullptr, 0)), args[2], &fd);
    if (fd < 0) {
        printf("position=-1\ndescriptor=none\n");
    } else {
        const off_t at = lseek(fd, 0, SEEK_CUR);
        lseek(fd, at + 1, SEEK_SET);
        const bool same = lseek(kept, 0, SEEK_CUR) == at + 1;
        printf("position=%lld\ndescriptor=%s\n", static_cast<long long>(at), same ? "same" : "new");
        close(fd);
    }
    close(kept);
    return report(result);
}

struct command {
    const char *name;
    int arguments;
    const char *usage;
    int (*run)(char **args);
};

constexpr command commands[] = {
    {"identify_board", 0, "", run_board},
    {"mount_mount_point", 1, "PATH", run_mount},
    {"umount_mount_point", 1, "PATH", run_umount},
    {"release_loop_device", 1, "DEVICE", run_release},
    {"mount_with_ro_retry", 5, "DEVICE MOUNT_POINT TYPE FLAGS DATA", run_mount_ro_retry},
    {"system_fs_start_sector", 0, "", run_start_sector},
    {"write_partition_table", 0, "", run_write_table},
    {"format_media_partition", 0, "", run_format},
    {"create_root_fs_directories", 0, "", run_directories},
    {"cleanup_system_fs", 0, "", run_cleanup},
    {"format_utility", 4, "TYPE CLEANUP PATH OFFSET", run_format_utility},
};

int usage(const char *self) {
    fprintf(stderr, "usage:\n");
    for (const command &c : commands) fprintf(stderr, "  %s %s %s\n", self, c.name, c.usage);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    host_operations ops = main_host_operations();
    register_host_operations(&ops);
    if (argc < 2) return usage(argv[0]);
    for (const command &c : commands) {
        if (strcmp(argv[1], c.name) != 0) continue;
        if (argc - 2 != c.arguments) return usage(argv[0]);
        int status = c.run(argv + 2);
        fflush(stdout);
        return status;
    }
    return usage(argv[0]);
}
