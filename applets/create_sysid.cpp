// create_sysid: writes the system identity file System/id.sys below the
// storage root.
#include "core/applet.h"
#include "core/config.h"
#include "core/durable.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "devtools/mac_store.h"
#include "devtools/sysid.h"
#include "sysinfo/board.h"
#include "sysinfo/sysversion.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int sysid_usage(const char *self) {
    printf("Usage: %s -p <path>\t: specify sysid hdd root\n", self);
    return -1;
}

bool is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int create_sysid_main(int argc, char **argv) {
    const char *root = "/mnt/storage";
    optind = 1;
    int opt;
    while ((opt = getopt(argc, argv, "p")) != -1) {
        // -p takes the word after it as the root directory.
        if (opt != 'p' || argc < 3 || !is_directory(argv[2])) return sysid_usage(argv[0]);
        root = argv[2];
    }

    unsigned char record[sysid_record_size];
    sysid_facts facts{};
    if (!device_identity(facts.identity))
        fprintf(stderr, "create_sysid: no device-unique value, the identity is not unique\n");
    size_t length = device_identity_size;
    if constexpr (!basic_build) {
        if (get_min_sys_version(&facts.min_version.major, &facts.min_version.minor,
                                &facts.min_version.revision) != 0)
            facts.min_version = {};
        facts.product_name = board_product_name();
        facts.ethernet = board_has_ethernet();
        length = sysid_record_size;
    }
    sysid_build_record(record, facts);

    char directory[PATH_MAX], file[PATH_MAX];
    const int dn = snprintf(directory, sizeof directory, "%s/%s/", root, "System");
    const int fn = snprintf(file, sizeof file, "%sid.sys", directory);
    if (dn < 0 || fn < 0 || static_cast<size_t>(fn) >= sizeof file) {
        fprintf(stderr, "create_sysid: %s/System/id.sys: %s\n", root, strerror(ENAMETOOLONG));
        return 1;
    }
    mkdir(directory, 0777);

    unique_fd fd(open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        fprintf(stderr, "create_sysid: cannot open %s: %s\n", file, strerror(errno));
        return 1;
    }
    // The file is saved once the storage has confirmed it.
    if (full_write(fd.get(), record, length) < 0 || flush_and_close(fd.release()) != 0) {
        printf("Save File Error! %d \r\n", 1);
        return 1;
    }
    return 0;
}

} // namespace

VARITOOL_APPLET(create_sysid, create_sysid_main);
