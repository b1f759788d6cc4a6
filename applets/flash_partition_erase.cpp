// flash_partition_erase: invalidates the image held in a raw area by
// overwriting its header.
#include "core/applet.h"
#include "flash/storage.h"

#include <cstdio>

namespace {

int flash_partition_erase_main(int argc, char **argv) {
    if (argc < 2) {
        printf("USAGE: %s: PARTITION_NAME\n", argv[0]);
        return 1;
    }
    return flash_partition_erase(argv[1], 0) >= 0 ? 0 : 1;
}

} // namespace

VARITOOL_APPLET(flash_partition_erase, flash_partition_erase_main);
