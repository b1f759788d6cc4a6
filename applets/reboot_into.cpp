// reboot_into: stores the boot entry for the next start and reboots.
#include "core/applet.h"
#include "flash/params.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

namespace {

// Boot entries in the order of their index in the boot selection.
constexpr const char *boot_entries[] = {"android", "recovery", "zed"};
static_assert(sizeof boot_entries / sizeof boot_entries[0] == boot_selection_entries);

int reboot_usage(const char *self) {
    printf("Usage: %s [options] <android|zed|recovery>\n\n"
           "Options:\n"
           "-s                       Do not reboot, just set the boot entry for next boot\n",
           self);
    return 1;
}

int reboot_into_main(int argc, char **argv) {
    if (argc < 2) return reboot_usage(argv[0]);
    const bool set_only = argc >= 3;
    if (set_only && strcmp(argv[1], "-s") != 0) return reboot_usage(argv[0]);
    const char *entry = set_only ? argv[2] : argv[1];

    int index = 0;
    while (index < boot_selection_entries && strcmp(boot_entries[index], entry) != 0) ++index;
    if (index == boot_selection_entries) {
        printf("%s is not a valid argument\n\n", entry);
        return reboot_usage(argv[0]);
    }
    const int r = boot_selection_write(index);
    if (r < 0) {
        fprintf(stderr, "Cannot set boot entry %s: %s (%d)\n", entry, strerror(r), r);
        return 1;
    }
    if (set_only) {
        printf("Boot entry set to %s...\n", entry);
        return 0;
    }
    printf("Rebooting into %s...\n", entry);
    fflush(stdout);
    // A reboot that cannot be started leaves the device running: say so.
    const int status = system("reboot");
    if (status == 0) return 0;
    const int code = status == -1        ? -1
                     : WIFEXITED(status) ? WEXITSTATUS(status)
                                         : 128 + WTERMSIG(status);
    fprintf(stderr, "Cannot reboot (%d)\n", code);
    return 1;
}

} // namespace

VARITOOL_APPLET(reboot_into, reboot_into_main);
